#pragma once
// AMF3 values written inside AMF0 data messages. The 0x11 prefix is AMF0's switch-to-AMF3
// marker; it is written only when the caller asks for it.
#include <cstdint>
#include <string_view>

#include "rtmp/AmfWriter.h"

namespace rtmp::amf3 {

constexpr int32_t U29_MIN = -(1 << 28);
constexpr int32_t U29_MAX = (1 << 28) - 1;
// A string's length is cut to this many bytes so its U29 header stays within three bytes.
constexpr uint32_t MAX_STRING_BYTES = 0xFFFFF;

// The variable-length 29-bit integer: 1 to 4 bytes, 7 bits per byte with a continuation bit,
// the fourth byte carrying 8 bits; negative values in 29-bit two's complement.
bool WriteU29(CAmfWriter& w, uint32_t value);

bool WriteBoolean(CAmfWriter& w, bool value, bool switchMarker);
// Writes nothing and returns false outside U29_MIN..U29_MAX.
bool WriteInteger(CAmfWriter& w, int32_t value, bool switchMarker, bool typeMarker);
bool WriteStringValue(CAmfWriter& w, std::string_view s);
bool WriteString(CAmfWriter& w, std::string_view s, bool switchMarker);
// Dynamic anonymous object: 0x11, 0x0A, traits byte n * 4 + 3, empty class name.
bool WriteObjectStart(CAmfWriter& w, uint32_t n);

}  // namespace rtmp::amf3
