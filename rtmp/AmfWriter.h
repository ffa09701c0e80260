#pragma once
// Bounded writer of AMF0 values (and the raw big-endian fields the protocol messages need).
// A value is written whole or not at all: when it does not fit, nothing is written, the writer
// remembers the failure and the call returns false, so a builder can refuse the message instead
// of sending a truncated one.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace rtmp {

namespace amf0 {
constexpr uint8_t NUMBER = 0x00;
constexpr uint8_t BOOLEAN = 0x01;
constexpr uint8_t STRING = 0x02;
constexpr uint8_t OBJECT = 0x03;
constexpr uint8_t NULL_MARKER = 0x05;
constexpr uint8_t ECMA_ARRAY = 0x08;
constexpr uint8_t OBJECT_END = 0x09;
constexpr uint8_t SWITCH_TO_AMF3 = 0x11;
// Encoded sizes, used where space is budgeted before writing.
constexpr size_t NUMBER_SIZE = 9;
constexpr size_t BOOLEAN_SIZE = 2;
constexpr size_t NULL_SIZE = 1;
constexpr size_t END_SIZE = 3;
constexpr size_t StringSize(size_t len) { return len + 3; }
constexpr size_t PropertyNameSize(size_t len) { return len + 2; }
}  // namespace amf0

class CAmfWriter {
public:
    explicit CAmfWriter(std::span<uint8_t> out) : m_out(out) {}

    size_t Size() const { return m_pos; }
    size_t Capacity() const { return m_out.size(); }
    size_t Room() const { return m_out.size() - m_pos; }
    bool Failed() const { return m_failed; }

    // AMF0 values.
    bool Number(double v);
    bool Boolean(bool v);
    // Strings of 65536 bytes or more have no short-string form and are refused.
    bool String(std::string_view s);
    bool ObjectStart();
    bool Null();
    bool EcmaArrayStart(uint32_t count);
    bool ObjectEnd();
    bool PropertyName(std::string_view name);

    // A property name followed by its value.
    bool Property(std::string_view name, double v) { return Fits(amf0::PropertyNameSize(name.size()) + amf0::NUMBER_SIZE) && PropertyName(name) && Number(v); }
    bool Property(std::string_view name, bool v) { return Fits(amf0::PropertyNameSize(name.size()) + amf0::BOOLEAN_SIZE) && PropertyName(name) && Boolean(v); }
    bool Property(std::string_view name, std::string_view v) { return Fits(amf0::PropertyNameSize(name.size()) + amf0::StringSize(v.size())) && PropertyName(name) && String(v); }
    bool Property(std::string_view name, const char* v) { return Property(name, std::string_view(v)); }

    // Raw big-endian fields and bytes.
    bool U8(uint8_t v);
    bool U16(uint16_t v);
    bool U24(uint32_t v);
    bool U32(uint32_t v);
    bool Bytes(std::span<const uint8_t> b);
    bool Bytes(std::string_view s);

    // Space check that records a failure, for multi-part values.
    bool Fits(size_t need);

private:
    std::span<uint8_t> m_out;
    size_t m_pos = 0;
    bool m_failed = false;
};

}  // namespace rtmp
