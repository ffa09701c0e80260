#pragma once
// One access unit between the H.264 parser and its timestamp model: the parameter sets that were
// active when it was cut, its parsed slice headers, and the record holding its RTMP video body.
#include <array>
#include <cstdint>

#include "foundation/Data.h"
#include "foundation/Types.h"
#include "parsers/H264ParamSets.h"
#include "parsers/H264SliceHeader.h"

constexpr int32_t kMaxSlicesPerAccessUnit = 64;

struct H264AccessUnit {
    h264::SPS sps;
    h264::PPS pps;
    int64_t time = NO_TIME;  // ms: the time of the first NAL unit that carried one
    int32_t num_slices = 0;
    std::array<h264::SliceHeader, kMaxSlicesPerAccessUnit> slices;
    BS::DataPtr data;         // the RTMP payload; owned until the timestamp model hands it on
    bool useDataOnly = false;  // copy of data->config

    // Kept by the picture-order-count timestamp model only.
    struct OrderInfo {
        int64_t poc = 0;
        int64_t dts = NO_TIME;      // ms, known once the unit has been through the reorder step
        int32_t slots = 0;          // field periods the picture takes: 1 for a field, 2 for a frame
        bool field = false;
        bool bottom = false;
    } order;

    bool isPicture() const { return num_slices > 0; }
    // slice_type modulo 5 of the first slice (the picture's type for the timing models).
    int32_t pictureType() const { return slices[0].slice_type; }
};
