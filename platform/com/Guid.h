#pragma once
// GUIDs with the Windows memory layout (Data1..Data4) and the usual text form
// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}".
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

// The guard is shared with the automation header (Dispatch.h), which declares the same GUID.
#ifndef QV_GUID_DEFINED
#define QV_GUID_DEFINED
struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
inline bool operator==(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }
using IID = GUID;
using REFIID = const IID&;
#endif
static_assert(sizeof(GUID) == 16);

using CLSID = GUID;
using REFGUID = const GUID&;
using REFCLSID = const CLSID&;

inline bool IsEqualGUID(const GUID& a, const GUID& b) { return a == b; }
inline bool IsEqualIID(const IID& a, const IID& b) { return a == b; }
inline bool IsEqualCLSID(const CLSID& a, const CLSID& b) { return a == b; }

// Total order so GUIDs can key ordered maps; byte-wise over the fields.
bool GuidLess(const GUID& a, const GUID& b);

inline constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

// "{56A86895-0AD4-11CE-B03A-0020AF0BA770}" (upper case, with braces, as the registry writes it).
std::string GuidToString(const GUID& g);
// Accepts the form with or without braces, any letter case; nullopt for anything else.
std::optional<GUID> GuidFromString(std::string_view text);

// The media subtype GUID that carries a FOURCC or a wave format tag:
// {XXXXXXXX-0000-0010-8000-00AA00389B71}.
constexpr GUID FourCCGuid(uint32_t fourcc) {
    return GUID{fourcc, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}
// FOURCC of four characters, first character in the low byte as in a RIFF tag.
constexpr uint32_t MakeFourCC(char a, char b, char c, char d) {
    return static_cast<uint32_t>(static_cast<uint8_t>(a)) | (static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8) |
           (static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24);
}
