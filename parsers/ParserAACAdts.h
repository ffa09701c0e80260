#pragma once
// The 7-byte ADTS frame header (ISO/IEC 14496-3 / 13818-7) and what is derived from it.
// Sans-I/O: bytes in, fields out.
#include <cstdint>
#include <span>

namespace aac {

constexpr int32_t kAdtsHeaderSize = 7;
constexpr int32_t kAdtsCrcSize = 2;

struct AdtsHeader {
    uint32_t syncword = 0;                          // 12 bits, 0xFFF
    uint32_t id = 0;                                // 1: 0 MPEG-4, 1 MPEG-2
    uint32_t layer = 0;                             // 2, always 0 in a real stream
    uint32_t protection_absent = 1;                 // 1: 0 means a CRC follows the header
    uint32_t profile = 0;                           // 2: audio object type - 1
    uint32_t sampling_frequency_index = 0;          // 4
    uint32_t private_bit = 0;                       // 1
    uint32_t channel_configuration = 0;             // 3
    uint32_t original_copy = 0;                     // 1
    uint32_t home = 0;                              // 1
    uint32_t copyright_identification_bit = 0;      // 1
    uint32_t copyright_identification_start = 0;    // 1
    uint32_t aac_frame_length = 0;                  // 13, header included
    uint32_t adts_buffer_fullness = 0;              // 11
    uint32_t number_of_raw_data_blocks_in_frame = 0;  // 2
};

// True when bytes[0..1] start an ADTS header: 0xFF then a high nibble of 0xF.
inline bool IsAdtsSync(uint8_t b0, uint8_t b1) { return b0 == 0xFF && (b1 & 0xF0) == 0xF0; }

// Parses the fixed and variable header from the first 7 bytes. false when fewer are given.
bool ParseAdtsHeader(std::span<const uint8_t> bytes, AdtsHeader& out);

// Bytes in front of the raw frame: 7, or 9 when a CRC is present.
inline int32_t AdtsHeaderLength(const AdtsHeader& h) {
    return h.protection_absent ? kAdtsHeaderSize : kAdtsHeaderSize + kAdtsCrcSize;
}

// Sample rate of a sampling_frequency_index; 0 for the reserved and escape indices 13..15.
int32_t SampleRateOfIndex(uint32_t index);

// Channel count of a channel configuration: the configuration itself, except 7 which is 8.
inline int32_t ChannelsOfConfiguration(uint32_t configuration) {
    return configuration == 7 ? 8 : static_cast<int32_t>(configuration);
}

inline int32_t AudioObjectType(const AdtsHeader& h) { return static_cast<int32_t>(h.profile) + 1; }

// The two-byte AudioSpecificConfig: object type (5 bits), frequency index (4), channels (4).
void MakeAudioSpecificConfig(const AdtsHeader& h, uint8_t out[2]);

}  // namespace aac
