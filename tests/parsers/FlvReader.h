#pragma once
// A small FLV reader for tests: the tags of a file as (type, timestamp, body), so the bodies our
// parsers write can be compared byte for byte with what ffmpeg's FLV muxer writes.
#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace testflv {

constexpr uint8_t kTagAudio = 8;
constexpr uint8_t kTagVideo = 9;
constexpr uint8_t kTagScript = 18;

struct Tag {
    uint8_t type = 0;
    uint32_t timestamp = 0;  // ms, extended byte included
    std::vector<uint8_t> body;
};

inline std::vector<uint8_t> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline uint32_t Be24(std::span<const uint8_t> b, size_t at) {
    return (uint32_t{b[at]} << 16) | (uint32_t{b[at + 1]} << 8) | b[at + 2];
}
inline uint32_t Be32(std::span<const uint8_t> b, size_t at) {
    return (uint32_t{b[at]} << 24) | Be24(b, at + 1);
}

// All tags of an FLV file image; nullopt when the header is wrong or a tag runs past the end
// (a truncated oracle must fail the test, not shorten it).
inline std::optional<std::vector<Tag>> ParseFlv(std::span<const uint8_t> file) {
    if (file.size() < 9 || file[0] != 'F' || file[1] != 'L' || file[2] != 'V') return std::nullopt;
    size_t pos = Be32(file, 5);
    if (pos > file.size() || 4 > file.size() - pos) return std::nullopt;
    pos += 4;  // PreviousTagSize0
    std::vector<Tag> tags;
    while (pos < file.size()) {
        if (11 > file.size() - pos) return std::nullopt;
        Tag t;
        t.type = file[pos] & 0x1F;
        const uint32_t size = Be24(file, pos + 1);
        t.timestamp = Be24(file, pos + 4) | (uint32_t{file[pos + 7]} << 24);
        pos += 11;
        if (size_t{size} + 4 > file.size() - pos) return std::nullopt;
        t.body.assign(file.begin() + static_cast<std::ptrdiff_t>(pos),
                      file.begin() + static_cast<std::ptrdiff_t>(pos + size));
        pos += size;
        if (Be32(file, pos) != size + 11) return std::nullopt;
        pos += 4;
        tags.push_back(std::move(t));
    }
    return tags;
}

inline std::optional<std::vector<Tag>> ReadFlv(const std::string& path) {
    const std::vector<uint8_t> bytes = ReadFileBytes(path);
    return ParseFlv(bytes);
}

// Only the tags of one type, in file order.
inline std::vector<Tag> TagsOfType(const std::vector<Tag>& tags, uint8_t type) {
    std::vector<Tag> out;
    for (const Tag& t : tags)
        if (t.type == type) out.push_back(t);
    return out;
}

}  // namespace testflv
