#pragma once
// The per-track format record: built from the pin's media type, updated by the parsers,
// read for the stream metadata. Flat and fixed-size.
#include <cstdint>

namespace BS {

constexpr int32_t FORMAT_KIND_AUDIO = 1;
constexpr int32_t FORMAT_KIND_VIDEO = 2;
constexpr int32_t FORMAT_KIND_OTHER = 3;
constexpr int32_t CODEC_H264 = 11;
constexpr int32_t CODEC_AAC = 30;
constexpr int32_t FORMAT_PRIVATE_MAX = 512;

struct video_format_t {
    double fps = -1.0;
    int32_t fps_num = 0;
    int32_t fps_den = 1;
    int32_t width = 0;
    int32_t height = 0;
    int32_t planes = 0;
    int32_t bit_count = 0;
    int32_t image_size = 0;
    int32_t aspect_x = 1;
    int32_t aspect_y = 1;
    int32_t interlace_flags = 0;
    int32_t bitrate = 0;
    int32_t profile = 0;
    int32_t level = 0;
    int32_t flags = 0;
    bool top_down = false;
};

struct audio_format_t {
    int32_t bits_per_sample = 0;
    int32_t sample_rate = 0;
    int32_t channels = 0;
    int32_t channel_mask = 0;
    int32_t bitrate = 0;
    int32_t object_type = 0;  // AAC audio object type (profile + 1)
};

struct format_t {
    int32_t kind = FORMAT_KIND_OTHER;
    int32_t codec = 0;
    int32_t bitrate = 0;       // bits per second, handed to the parser's SetBitrate
    int32_t fourth = 0;        // the AAC parser keeps the ADTS buffer fullness here
    video_format_t video;
    audio_format_t audio;
    uint8_t codec_private[FORMAT_PRIVATE_MAX] = {};
    int32_t codec_private_len = 0;
    int32_t unset1 = 0x7FFFFFFF;
    int32_t unset2 = 0x7FFFFFFF;
};

}  // namespace BS
