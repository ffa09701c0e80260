#include "parsers/ParserAACAdts.h"

namespace aac {

bool ParseAdtsHeader(std::span<const uint8_t> b, AdtsHeader& h) {
    if (b.size() < static_cast<size_t>(kAdtsHeaderSize)) return false;
    h.syncword = (uint32_t{b[0]} << 4) | (b[1] >> 4);
    h.id = (b[1] >> 3) & 1;
    h.layer = (b[1] >> 1) & 3;
    h.protection_absent = b[1] & 1;
    h.profile = (b[2] >> 6) & 3;
    h.sampling_frequency_index = (b[2] >> 2) & 0xF;
    h.private_bit = (b[2] >> 1) & 1;
    h.channel_configuration = ((b[2] & 1) << 2) | (b[3] >> 6);
    h.original_copy = (b[3] >> 5) & 1;
    h.home = (b[3] >> 4) & 1;
    h.copyright_identification_bit = (b[3] >> 3) & 1;
    h.copyright_identification_start = (b[3] >> 2) & 1;
    h.aac_frame_length = ((uint32_t{b[3]} & 3) << 11) | (uint32_t{b[4]} << 3) | (b[5] >> 5);
    h.adts_buffer_fullness = ((uint32_t{b[5]} & 0x1F) << 6) | (b[6] >> 2);
    h.number_of_raw_data_blocks_in_frame = b[6] & 3;
    return true;
}

int32_t SampleRateOfIndex(uint32_t index) {
    static constexpr int32_t kRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                           22050, 16000, 12000, 11025, 8000,  7350};
    return index < 13 ? kRates[index] : 0;
}

void MakeAudioSpecificConfig(const AdtsHeader& h, uint8_t out[2]) {
    const uint32_t aot = static_cast<uint32_t>(AudioObjectType(h));
    const uint32_t ch = static_cast<uint32_t>(ChannelsOfConfiguration(h.channel_configuration));
    out[0] = static_cast<uint8_t>((aot << 3) | (h.sampling_frequency_index >> 1));
    out[1] = static_cast<uint8_t>(((h.sampling_frequency_index & 1) << 7) | (ch << 3));
}

}  // namespace aac
