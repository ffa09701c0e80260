#pragma once
// Picture order count of ITU-T H.264 8.2.1 (all three types), kept across pictures in decoding
// order. Used to order pictures for presentation.
#include <cstdint>

#include "parsers/H264ParamSets.h"
#include "parsers/H264SliceHeader.h"

namespace h264 {

class CPicOrderCount {
public:
    struct Result {
        int64_t top = 0;
        int64_t bottom = 0;
        int64_t poc = 0;  // the picture's own count: min of both for a frame
    };

    // `sh` is the picture's first slice header.
    Result Compute(const SPS& sps, const SliceHeader& sh);
    void Reset() { *this = CPicOrderCount{}; }

private:
    int64_t m_iPrevMsb = 0;
    int64_t m_iPrevLsb = 0;
    int64_t m_iPrevFrameNumOffset = 0;
    int32_t m_iPrevFrameNum = 0;
    bool m_bPrevMmco5 = false;
};

}  // namespace h264
