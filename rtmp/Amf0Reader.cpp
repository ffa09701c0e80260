#include "rtmp/Amf0Reader.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>

#include "rtmp/AmfWriter.h"

namespace rtmp {

uint16_t CAmf0Reader::Peek16(size_t at) const {
    return static_cast<uint16_t>((m_body[at] << 8) | m_body[at + 1]);
}

std::string CAmf0Reader::ReadString() {
    if (!Has(3) || m_body[m_pos] != amf0::STRING) return {};
    size_t len = Peek16(m_pos + 1);
    m_pos += 3;
    if (len > MAX_NAME) len = MAX_NAME;
    if (len > Remaining()) len = Remaining();
    std::string s(reinterpret_cast<const char*>(m_body.data() + m_pos), len);
    m_pos += len;
    return s;
}

namespace {
int64_t DoubleToInt64(double d) {
    if (std::isnan(d)) return 0;
    if (d >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
    if (d <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(d);
}
}  // namespace

int64_t CAmf0Reader::ReadNumber() {
    if (!Has(amf0::NUMBER_SIZE) || m_body[m_pos] != amf0::NUMBER) return 0;
    uint64_t bits = 0;
    for (size_t i = 1; i <= 8; ++i) bits = (bits << 8) | m_body[m_pos + i];
    m_pos += amf0::NUMBER_SIZE;
    return DoubleToInt64(std::bit_cast<double>(bits));
}

CAmf0Reader::Marker CAmf0Reader::SkipNullOrObject() {
    if (!Has(1)) return Marker::None;
    if (m_body[m_pos] == amf0::NULL_MARKER) {
        ++m_pos;
        return Marker::Null;
    }
    if (m_body[m_pos] == amf0::OBJECT) {
        ++m_pos;
        return Marker::Object;
    }
    return Marker::None;
}

std::string CAmf0Reader::ReadValueAsText() {
    if (!Has(1)) return {};
    switch (m_body[m_pos]) {
    case amf0::NUMBER: {
        if (!Has(amf0::NUMBER_SIZE)) return {};
        char text[32];
        std::snprintf(text, sizeof text, "%lld", static_cast<long long>(ReadNumber()));
        return text;
    }
    case amf0::BOOLEAN:
        Skip(amf0::BOOLEAN_SIZE);
        return {};
    case amf0::STRING: {
        if (!Has(3)) return {};
        size_t len = Peek16(m_pos + 1);
        m_pos += 3;
        if (len > Remaining()) len = Remaining();
        std::string s(reinterpret_cast<const char*>(m_body.data() + m_pos), len);
        m_pos += len;
        return s;
    }
    default:
        return {};
    }
}

std::string CAmf0Reader::ReadPropertyName() {
    if (!Has(2)) return {};
    size_t len = Peek16(m_pos);
    m_pos += 2;
    // A name cut short by the end of the body takes the rest, so a caller looping over
    // properties always moves on.
    if (len > Remaining()) len = Remaining();
    std::string s(reinterpret_cast<const char*>(m_body.data() + m_pos), len);
    m_pos += len;
    return s;
}

bool CAmf0Reader::AtPropertyListEnd() const {
    if (!Has(3)) return true;
    if (m_body[m_pos] == amf0::OBJECT_END) return true;
    return m_body[m_pos] == 0 && m_body[m_pos + 1] == 0 && m_body[m_pos + 2] == amf0::OBJECT_END;
}

std::string StatusText(std::span<const uint8_t> body) {
    const size_t n = body.size() < 255 ? body.size() : 255;
    std::string s;
    s.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        const uint8_t c = body[i];
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) s.push_back(static_cast<char>(c));
    }
    return s;
}

}  // namespace rtmp
