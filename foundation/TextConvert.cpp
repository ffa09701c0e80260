#include "foundation/TextConvert.h"

#include <cstdint>

std::string WideToUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t wc : text) {
        uint32_t c = static_cast<uint32_t>(wc);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::wstring Utf8ToWide(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const uint8_t b = static_cast<uint8_t>(text[i]);
        size_t len;
        uint32_t c;
        uint32_t min;
        if (b < 0x80) {
            out += static_cast<wchar_t>(b);
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            len = 2; c = b & 0x1F; min = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            len = 3; c = b & 0x0F; min = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            len = 4; c = b & 0x07; min = 0x10000;
        } else {
            out += L'\xFFFD';
            ++i;
            continue;
        }
        if (len > text.size() - i) {
            out += L'\xFFFD';
            ++i;
            continue;
        }
        size_t k = 1;
        for (; k < len; ++k) {
            const uint8_t cb = static_cast<uint8_t>(text[i + k]);
            if ((cb & 0xC0) != 0x80) break;
            c = (c << 6) | (cb & 0x3F);
        }
        if (k < len || c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            out += L'\xFFFD';
            ++i;  // resynchronise on the next byte
            continue;
        }
        out += static_cast<wchar_t>(c);
        i += len;
    }
    return out;
}
