#pragma once
// Builds ADTS frames for the AAC parser tests.
#include <cstdint>
#include <vector>

namespace testaac {

struct FrameSpec {
    uint32_t profile = 1;  // AAC LC
    uint32_t sfi = 3;      // 48000 Hz
    uint32_t channels = 2;
    bool crc = false;
    uint32_t blocks = 0;  // number_of_raw_data_blocks_in_frame
    uint32_t fullness = 0x7FF;
    std::vector<uint8_t> payload{0x21, 0x10, 0x05, 0x00};
};

inline std::vector<uint8_t> BuildAdts(const FrameSpec& s) {
    const uint32_t len = 7 + (s.crc ? 2 : 0) + static_cast<uint32_t>(s.payload.size());
    std::vector<uint8_t> f = {
        0xFF,
        static_cast<uint8_t>(0xF0 | (s.crc ? 0 : 1)),
        static_cast<uint8_t>((s.profile << 6) | (s.sfi << 2) | (s.channels >> 2)),
        static_cast<uint8_t>(((s.channels & 3) << 6) | (len >> 11)),
        static_cast<uint8_t>((len >> 3) & 0xFF),
        static_cast<uint8_t>(((len & 7) << 5) | (s.fullness >> 6)),
        static_cast<uint8_t>(((s.fullness & 0x3F) << 2) | s.blocks),
    };
    if (s.crc) {
        f.push_back(0xC3);  // the parser does not check the word
        f.push_back(0x3C);
    }
    f.insert(f.end(), s.payload.begin(), s.payload.end());
    return f;
}

}  // namespace testaac
