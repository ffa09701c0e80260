#pragma once
#include <cstdint>

// Marks a 64-bit time that is not set; code compares the whole value.
constexpr int64_t NO_TIME = 0x7FFFFFFFFFFFFFFFLL;

enum FrameType : int32_t {
    FRAME_I = 0,        // intra picture / sync point: a key frame on the wire
    FRAME_P = 1,
    FRAME_B = 2,
    FRAME_UNKNOWN = 3,  // all audio, and video before parsing
};

// Track types as the sink numbers them.
constexpr int32_t TRACK_TYPE_AUDIO = 1;
constexpr int32_t TRACK_TYPE_VIDEO = 2;
