#pragma once
// The slice header (ITU-T H.264 7.3.3): read for the fields the parser and the timestamp models
// keep, and optionally written back element by element with a changed slice_qp_delta, which is
// how slices are made to decode against an earlier picture parameter set with another
// pic_init_qp.
#include <cstdint>
#include <span>

#include "parsers/H264Bits.h"
#include "parsers/H264ParamSets.h"

namespace h264 {

enum SliceType : int32_t { SLICE_P = 0, SLICE_B = 1, SLICE_I = 2, SLICE_SP = 3, SLICE_SI = 4 };

struct SliceHeader {
    bool valid = false;  // the header was read completely
    int32_t first_mb_in_slice = 0;
    int32_t slice_type = 0;  // reduced modulo 5
    int32_t pic_parameter_set_id = 0;
    int32_t frame_num = 0;
    bool field_pic_flag = false;
    bool bottom_field_flag = false;
    int32_t idr_pic_id = 0;
    int32_t pic_order_cnt_lsb = 0;
    int32_t delta_pic_order_cnt_bottom = 0;
    int32_t delta_pic_order_cnt[2] = {0, 0};
    int32_t redundant_pic_cnt = 0;
    int32_t nal_ref_idc = 0;
    bool idr = false;
    bool mmco5 = false;  // memory_management_control_operation 5: picture order count restarts
    int32_t slice_qp_delta = 0;
    int32_t payload_offset = 0;  // byte offset of the slice's NAL unit in the input buffer
};

enum SliceHeaderResult : int {
    SLICE_OK = 0,
    SLICE_OUT_OF_RANGE = 1,  // a syntax element outside the limits the rewrite accepts
    SLICE_TRUNCATED = 2,
};

// Reads a slice header from `r`, positioned just after the NAL header byte. When `w` is given
// every element is written to it with the same coding, slice_qp_delta increased by
// `qpAdjust`. `nalHeader` is the NAL unit's first byte.
SliceHeaderResult WalkSliceHeader(CBitReader& r, CBitWriter* w, const SPS& sps, const PPS& pps,
                                  uint8_t nalHeader, SliceHeader& out, int32_t qpAdjust = 0);

// Parses the header of a slice NAL unit given in escaped form (header byte first).
SliceHeaderResult ParseSliceHeader(std::span<const uint8_t> nal, const SPS& sps, const PPS& pps,
                                   SliceHeader& out);

// first_mb_in_slice: the first ue(v) after the header byte; -1 when unreadable.
int64_t FirstMbInSlice(std::span<const uint8_t> nal);

}  // namespace h264
