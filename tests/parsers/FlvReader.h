#pragma once
// The tags of an FLV file as (type, timestamp, body), to compare our bodies with ffmpeg's muxer.
#include <cstdint>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

namespace testflv {

struct Tag {
    uint8_t type = 0;
    uint32_t timestamp = 0;  // ms, extended byte included
    std::vector<uint8_t> body;
};

inline std::vector<uint8_t> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline uint32_t Be24(std::span<const uint8_t> b, size_t at) { return (uint32_t{b[at]} << 16) | (uint32_t{b[at + 1]} << 8) | b[at + 2]; }

// Tags of one type (8 audio, 9 video); empty when the file is not FLV or a tag runs past the
// end (a truncated oracle must fail the test, not shorten it).
inline std::vector<Tag> ReadFlv(const std::string& path, uint8_t type) {
    const std::vector<uint8_t> f = ReadFileBytes(path);
    if (f.size() < 9 || f[0] != 'F' || f[1] != 'L' || f[2] != 'V') return {};
    std::vector<Tag> tags;
    for (size_t pos = (size_t{f[5]} << 24 | Be24(f, 6)) + 4; pos < f.size();) {
        if (pos + 11 > f.size()) return {};
        const uint32_t size = Be24(f, pos + 1);
        Tag t{static_cast<uint8_t>(f[pos] & 0x1F), Be24(f, pos + 4) | (uint32_t{f[pos + 7]} << 24), {}};
        if ((pos += 11) + size + 4 > f.size() || Be24(f, pos + size + 1) != size + 11) return {};
        t.body.assign(f.begin() + static_cast<std::ptrdiff_t>(pos), f.begin() + static_cast<std::ptrdiff_t>(pos + size));
        pos += size + 4;
        if (t.type == type) tags.push_back(std::move(t));
    }
    return tags;
}

}  // namespace testflv
