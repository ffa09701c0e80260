#include "platform/com/Variant.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/com/Dispatch.h"

namespace {
// The byte count sits just before the characters, as the host side of a BSTR expects.
uint32_t* Header(BSTR b) { return reinterpret_cast<uint32_t*>(b) - 1; }
}

BSTR SysAllocStringLen(const OLECHAR* text, uint32_t length) {
    if (length > (UINT32_MAX - sizeof(uint32_t) - sizeof(OLECHAR)) / sizeof(OLECHAR)) return nullptr;
    const size_t bytes = sizeof(uint32_t) + (static_cast<size_t>(length) + 1) * sizeof(OLECHAR);
    // malloc: the BSTR is a C-level allocation handed across the interface boundary.
    auto* block = static_cast<uint32_t*>(std::malloc(bytes));
    if (!block) return nullptr;
    block[0] = length * static_cast<uint32_t>(sizeof(OLECHAR));
    BSTR b = reinterpret_cast<BSTR>(block + 1);
    if (text) std::memcpy(b, text, length * sizeof(OLECHAR));
    else std::memset(b, 0, length * sizeof(OLECHAR));
    b[length] = 0;
    return b;
}

BSTR SysAllocString(const OLECHAR* text) {
    if (!text) return nullptr;
    return SysAllocStringLen(text, static_cast<uint32_t>(std::wcslen(text)));
}

void SysFreeString(BSTR text) {
    if (text) std::free(Header(text));
}

uint32_t SysStringLen(BSTR text) { return text ? *Header(text) / sizeof(OLECHAR) : 0; }

void VariantInit(VARIANT* v) {
    if (!v) return;
    v->vt = VT_EMPTY;
    v->llVal = 0;
}

HRESULT VariantClear(VARIANT* v) {
    if (!v) return E_POINTER;
    if (v->vt == VT_BSTR) SysFreeString(v->bstrVal);
    else if (v->vt == VT_DISPATCH && v->pdispVal) v->pdispVal->Release();
    VariantInit(v);
    return S_OK;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* src) {
    if (!dest || !src) return E_POINTER;
    if (dest == src) return S_OK;
    VariantClear(dest);
    *dest = *src;
    if (src->vt == VT_BSTR && src->bstrVal) {
        dest->bstrVal = SysAllocStringLen(src->bstrVal, SysStringLen(src->bstrVal));
        if (!dest->bstrVal) {
            VariantInit(dest);
            return E_OUTOFMEMORY;
        }
    } else if (src->vt == VT_DISPATCH && src->pdispVal) {
        src->pdispVal->AddRef();
    }
    return S_OK;
}

namespace com {

bool WideToNarrow(const wchar_t* text, size_t maxBytes, std::string& out) {
    out.clear();
    if (!text) return false;
    // UTF-8 is the active code page of this platform; a lone surrogate or a value beyond the
    // Unicode range has no encoding and fails the conversion.
    for (const wchar_t* p = text; *p; ++p) {
        const uint32_t c = static_cast<uint32_t>(*p);
        char buf[4];
        size_t n;
        if (c < 0x80) {
            buf[0] = static_cast<char>(c);
            n = 1;
        } else if (c < 0x800) {
            buf[0] = static_cast<char>(0xC0 | (c >> 6));
            buf[1] = static_cast<char>(0x80 | (c & 0x3F));
            n = 2;
        } else if (c < 0x10000) {
            if (c >= 0xD800 && c <= 0xDFFF) return false;
            buf[0] = static_cast<char>(0xE0 | (c >> 12));
            buf[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            buf[2] = static_cast<char>(0x80 | (c & 0x3F));
            n = 3;
        } else if (c < 0x110000) {
            buf[0] = static_cast<char>(0xF0 | (c >> 18));
            buf[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            buf[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            buf[3] = static_cast<char>(0x80 | (c & 0x3F));
            n = 4;
        } else {
            return false;
        }
        if (n > maxBytes - out.size() || out.size() > maxBytes) return false;
        out.append(buf, n);
    }
    return true;
}

}  // namespace com
