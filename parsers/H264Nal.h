#pragma once
// One NAL unit found in the parser's input buffer, and the NAL unit types the parser acts on.
#include <cstdint>

#include "foundation/Types.h"

namespace h264 {

enum NalType : int32_t {
    NAL_SLICE = 1,
    NAL_IDR = 5,
    NAL_SEI = 6,
    NAL_SPS = 7,
    NAL_PPS = 8,
    NAL_AUD = 9,
    NAL_END_SEQ = 10,
    NAL_END_STREAM = 11,
    NAL_FILLER = 12,
};

// Largest parameter set the parser and the writer keep. A larger one is refused where it is
// first seen, so no store ever holds a cut-off copy.
constexpr int32_t kMaxSpsBytes = 1024;
constexpr int32_t kMaxPpsBytes = 1024;

struct NalEntry {
    int32_t start = 0;         // offset of the start code in the input buffer
    int64_t time = NO_TIME;    // ms
    int32_t start_code = 0;    // 3 or 4
    int32_t length = 0;        // start code included, up to the next start code
    int32_t nal_unit_type = 0;
    uint8_t flag = 0;          // the parser's Init flag byte, carried along
    int64_t first_mb = -1;     // first_mb_in_slice of a slice, -1 otherwise or unreadable

    int32_t payloadStart() const { return start + start_code; }
    int32_t payloadLength() const { return length - start_code; }
    bool isSlice() const { return nal_unit_type == NAL_SLICE || nal_unit_type == NAL_IDR; }
};

}  // namespace h264
