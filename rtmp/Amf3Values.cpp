#include "rtmp/Amf3Values.h"

namespace rtmp::amf3 {

namespace {
constexpr uint8_t MARKER_FALSE = 0x02;
constexpr uint8_t MARKER_TRUE = 0x03;
constexpr uint8_t MARKER_INTEGER = 0x04;
constexpr uint8_t MARKER_STRING = 0x06;
constexpr uint8_t MARKER_OBJECT = 0x0A;
constexpr uint8_t EMPTY_CLASS_NAME = 0x01;
}  // namespace

bool WriteU29(CAmfWriter& w, uint32_t v) {
    v &= 0x1FFFFFFF;
    if (v <= 0x7F) return w.U8(static_cast<uint8_t>(v));
    if (v <= 0x3FFF) {
        if (!w.Fits(2)) return false;
        w.U8(static_cast<uint8_t>((v >> 7) | 0x80));
        return w.U8(static_cast<uint8_t>(v & 0x7F));
    }
    if (v <= 0x1FFFFF) {
        if (!w.Fits(3)) return false;
        w.U8(static_cast<uint8_t>((v >> 14) | 0x80));
        w.U8(static_cast<uint8_t>(((v >> 7) & 0x7F) | 0x80));
        return w.U8(static_cast<uint8_t>(v & 0x7F));
    }
    if (!w.Fits(4)) return false;
    w.U8(static_cast<uint8_t>(((v >> 22) & 0x7F) | 0x80));
    w.U8(static_cast<uint8_t>(((v >> 15) & 0x7F) | 0x80));
    w.U8(static_cast<uint8_t>(((v >> 8) & 0x7F) | 0x80));
    return w.U8(static_cast<uint8_t>(v & 0xFF));
}

bool WriteBoolean(CAmfWriter& w, bool value, bool switchMarker) {
    if (!w.Fits(switchMarker ? 2 : 1)) return false;
    if (switchMarker) w.U8(amf0::SWITCH_TO_AMF3);
    return w.U8(value ? MARKER_TRUE : MARKER_FALSE);
}

bool WriteInteger(CAmfWriter& w, int32_t value, bool switchMarker, bool typeMarker) {
    if (value < U29_MIN || value > U29_MAX) return false;
    const size_t need = (switchMarker ? 1 : 0) + (typeMarker ? 1 : 0) + 4;
    if (!w.Fits(need)) return false;
    if (switchMarker) w.U8(amf0::SWITCH_TO_AMF3);
    if (typeMarker) w.U8(MARKER_INTEGER);
    return WriteU29(w, static_cast<uint32_t>(value));
}

bool WriteStringValue(CAmfWriter& w, std::string_view s) {
    if (s.size() > MAX_STRING_BYTES) s = s.substr(0, MAX_STRING_BYTES);
    if (!w.Fits(3 + s.size())) return false;
    WriteU29(w, static_cast<uint32_t>(s.size() * 2 + 1));
    return w.Bytes(s);
}

bool WriteString(CAmfWriter& w, std::string_view s, bool switchMarker) {
    const size_t len = s.size() > MAX_STRING_BYTES ? MAX_STRING_BYTES : s.size();
    if (!w.Fits((switchMarker ? 2 : 1) + 3 + len)) return false;
    if (switchMarker) w.U8(amf0::SWITCH_TO_AMF3);
    w.U8(MARKER_STRING);
    return WriteStringValue(w, s);
}

bool WriteObjectStart(CAmfWriter& w, uint32_t n) {
    if (!w.Fits(4)) return false;
    w.U8(amf0::SWITCH_TO_AMF3);
    w.U8(MARKER_OBJECT);
    w.U8(static_cast<uint8_t>(n * 4 + 3));
    return w.U8(EMPTY_CLASS_NAME);
}

}  // namespace rtmp::amf3
