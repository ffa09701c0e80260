#pragma once
// The automation value types the control interfaces exchange: HRESULT codes, BSTR (a
// length-prefixed wide text owned through SysAllocString/SysFreeString), VARIANT with the value
// types this system reads and writes, and the key/value list that a host may pass where an
// automation object is expected.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/com/ComTypes.h"

using OLECHAR = wchar_t;
using BSTR = OLECHAR*;
using VARTYPE = uint16_t;
using VARIANT_BOOL = int16_t;
constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

// BSTR: the characters are preceded by their byte count (uint32) and followed by a 0.
BSTR SysAllocString(const OLECHAR* text);
BSTR SysAllocStringLen(const OLECHAR* text, uint32_t length);
void SysFreeString(BSTR text);
uint32_t SysStringLen(BSTR text);

enum : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_BOOL = 11,
    VT_UNKNOWN = 13,
    VT_I8 = 20,
    VT_UI4 = 19,
    VT_INT = 22,
    VT_UINT = 23,
    // Not an automation type: a key/value list (KeyValueList below) behind the pointer member.
    VT_KEYVALUELIST = 29,
};

struct IDispatch;
struct KeyValueList;

struct VARIANT {
    VARTYPE vt = VT_EMPTY;
    uint16_t reserved1 = 0;
    uint16_t reserved2 = 0;
    uint16_t reserved3 = 0;
    union {
        int32_t lVal;
        uint32_t ulVal;
        int32_t intVal;
        int16_t iVal;
        VARIANT_BOOL boolVal;
        double dblVal;
        float fltVal;
        int64_t llVal;
        BSTR bstrVal;
        IDispatch* pdispVal;
        KeyValueList* pkvlVal;
        void* byref;
    };
    VARIANT() : llVal(0) {}
};

void VariantInit(VARIANT* v);
// Frees what the value owns (BSTR, a reference on an object); the variant becomes VT_EMPTY.
HRESULT VariantClear(VARIANT* v);
// Deep copy (BSTR duplicated, object referenced); the target is cleared first.
HRESULT VariantCopy(VARIANT* dest, const VARIANT* src);

// The list a host passes as a VT_KEYVALUELIST variant: names and values of the same length.
// The list and its entries stay the host's.
struct KeyValueList {
    const wchar_t* const* names = nullptr;
    const VARIANT* values = nullptr;
    uint32_t count = 0;
};

namespace com {
// Wide text to narrow text in the active code page (UTF-8 here), at most maxBytes bytes; false
// when the text cannot be converted or does not fit.
bool WideToNarrow(const wchar_t* text, size_t maxBytes, std::string& out);
// Owns one BSTR.
class CBstr {
public:
    CBstr() = default;
    explicit CBstr(const wchar_t* text) : m_b(SysAllocString(text)) {}
    ~CBstr() { SysFreeString(m_b); }
    CBstr(const CBstr&) = delete;
    CBstr& operator=(const CBstr&) = delete;
    BSTR get() const { return m_b; }
    BSTR* out() { SysFreeString(m_b); m_b = nullptr; return &m_b; }
    BSTR release() { BSTR b = m_b; m_b = nullptr; return b; }

private:
    BSTR m_b = nullptr;
};
}  // namespace com
