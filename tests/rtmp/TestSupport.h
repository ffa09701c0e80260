#pragma once
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "foundation/Data.h"

namespace rtmptest {

using Bytes = std::vector<uint8_t>;

inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
inline Bytes Str(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline Bytes Slice(const Bytes& b, size_t from, size_t n) { return Bytes(b.begin() + std::ptrdiff_t(from), b.begin() + std::ptrdiff_t(from + n)); }
inline Bytes Be32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }
// AMF0 by hand, independent of the writer under test: property name, string value, number by its bits.
inline Bytes K(const std::string& s) { return Cat({{uint8_t(s.size() >> 8), uint8_t(s.size())}, Str(s)}); }
inline Bytes S(const std::string& s) { return Cat({{0x02}, K(s)}); }
inline Bytes Num(uint64_t bits) { return Cat({{0x00}, Be32(uint32_t(bits >> 32)), Be32(uint32_t(bits))}); }
const Bytes END = {0x00, 0x00, 0x09}, NUL = {0x05};
// A body whose bytes tell their position, so a misplaced chunk shows.
inline Bytes Pattern(size_t n, uint8_t seed = 0) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + seed + (i >> 8));
    return b;
}
inline BS::DataPtr Record(const Bytes& body, int64_t dts, int64_t pts = 0, int32_t frameType = FRAME_UNKNOWN, bool config = false) {
    BS::DataPtr r(BS::data_t::Create(static_cast<int32_t>(body.size()), config, dts, pts, NO_TIME));
    if (!body.empty()) std::memcpy(r->data, body.data(), body.size());
    r->frame_type = frameType;
    return r;
}
inline Bytes ToBytes(const BS::data_t& d) { return Bytes(d.data, d.data + d.size_actual); }
inline Bytes Body(const BS::DataPtr& d) { return d ? ToBytes(*d) : Str("refused"); }

}  // namespace rtmptest
