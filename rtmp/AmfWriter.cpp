#include "rtmp/AmfWriter.h"

#include <bit>
#include <cstring>

namespace rtmp {

bool CAmfWriter::Fits(size_t need) {
    if (need > m_out.size() - m_pos) {
        m_failed = true;
        return false;
    }
    return true;
}

bool CAmfWriter::U8(uint8_t v) {
    if (!Fits(1)) return false;
    m_out[m_pos++] = v;
    return true;
}

bool CAmfWriter::U16(uint16_t v) {
    if (!Fits(2)) return false;
    m_out[m_pos++] = static_cast<uint8_t>(v >> 8);
    m_out[m_pos++] = static_cast<uint8_t>(v);
    return true;
}

bool CAmfWriter::U24(uint32_t v) {
    if (!Fits(3)) return false;
    m_out[m_pos++] = static_cast<uint8_t>(v >> 16);
    m_out[m_pos++] = static_cast<uint8_t>(v >> 8);
    m_out[m_pos++] = static_cast<uint8_t>(v);
    return true;
}

bool CAmfWriter::U32(uint32_t v) {
    if (!Fits(4)) return false;
    m_out[m_pos++] = static_cast<uint8_t>(v >> 24);
    m_out[m_pos++] = static_cast<uint8_t>(v >> 16);
    m_out[m_pos++] = static_cast<uint8_t>(v >> 8);
    m_out[m_pos++] = static_cast<uint8_t>(v);
    return true;
}

bool CAmfWriter::Bytes(std::span<const uint8_t> b) {
    if (!Fits(b.size())) return false;
    if (!b.empty()) std::memcpy(m_out.data() + m_pos, b.data(), b.size());
    m_pos += b.size();
    return true;
}

bool CAmfWriter::Bytes(std::string_view s) {
    return Bytes(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(s.data()), s.size()));
}

bool CAmfWriter::Number(double v) {
    if (!Fits(amf0::NUMBER_SIZE)) return false;
    const uint64_t bits = std::bit_cast<uint64_t>(v);
    m_out[m_pos++] = amf0::NUMBER;
    for (int shift = 56; shift >= 0; shift -= 8) m_out[m_pos++] = static_cast<uint8_t>(bits >> shift);
    return true;
}

bool CAmfWriter::Boolean(bool v) {
    if (!Fits(amf0::BOOLEAN_SIZE)) return false;
    m_out[m_pos++] = amf0::BOOLEAN;
    m_out[m_pos++] = v ? 1 : 0;
    return true;
}

bool CAmfWriter::String(std::string_view s) {
    if (s.size() > 0xFFFF) {
        m_failed = true;
        return false;
    }
    if (!Fits(amf0::StringSize(s.size()))) return false;
    U8(amf0::STRING);
    U16(static_cast<uint16_t>(s.size()));
    return Bytes(s);
}

bool CAmfWriter::ObjectStart() { return U8(amf0::OBJECT); }
bool CAmfWriter::Null() { return U8(amf0::NULL_MARKER); }

bool CAmfWriter::EcmaArrayStart(uint32_t count) {
    if (!Fits(5)) return false;
    U8(amf0::ECMA_ARRAY);
    return U32(count);
}

bool CAmfWriter::ObjectEnd() {
    if (!Fits(amf0::END_SIZE)) return false;
    U16(0);
    return U8(amf0::OBJECT_END);
}

bool CAmfWriter::PropertyName(std::string_view name) {
    if (name.size() > 0xFFFF) {
        m_failed = true;
        return false;
    }
    if (!Fits(amf0::PropertyNameSize(name.size()))) return false;
    U16(static_cast<uint16_t>(name.size()));
    return Bytes(name);
}

}  // namespace rtmp
