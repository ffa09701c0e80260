#include "parsers/H264ParamSets.h"

#include <array>

#include "parsers/H264Bits.h"

namespace h264 {
namespace {

// Parameter sets are small; anything longer than this is cut (the stores upstream are smaller).
constexpr size_t kMaxParamSetBytes = 4096;

// Sample aspect ratios of ITU-T H.264 Table E-1, indices 1..16.
constexpr uint16_t kSar[17][2] = {{0, 0},    {1, 1},   {12, 11}, {10, 11}, {16, 11}, {40, 33},
                                  {24, 11},  {20, 11}, {32, 11}, {80, 33}, {18, 11}, {15, 11},
                                  {64, 33},  {160, 99}, {4, 3},  {3, 2},   {2, 1}};

void ScalingList(CBitReader& r, uint8_t* list, int size) {
    int last = 8, next = 8;
    for (int j = 0; j < size && !r.failed(); ++j) {
        if (next != 0) {
            const int32_t delta = r.se();
            if (delta < -128 || delta > 127) return;
            next = (last + delta + 256) % 256;
        }
        list[j] = static_cast<uint8_t>(next == 0 ? last : next);
        last = list[j];
    }
}

bool HrdParameters(CBitReader& r) {
    const uint32_t cpbCnt = r.ue() + 1;
    if (cpbCnt > 32) return false;
    r.skip(8);  // bit_rate_scale, cpb_size_scale
    for (uint32_t i = 0; i < cpbCnt && !r.failed(); ++i) {
        r.ue();
        r.ue();
        r.skip(1);
    }
    r.skip(20);  // four delay/offset length fields
    return !r.failed();
}

void Vui(CBitReader& r, SPS& s) {
    s.aspect_ratio_info_present_flag = r.flag();
    if (s.aspect_ratio_info_present_flag) {
        s.aspect_ratio_idc = static_cast<int32_t>(r.u(8));
        if (s.aspect_ratio_idc == 255) {
            s.sar_width = static_cast<uint16_t>(r.u(16));
            s.sar_height = static_cast<uint16_t>(r.u(16));
        } else if (s.aspect_ratio_idc >= 1 && s.aspect_ratio_idc <= 13) {
            s.sar_width = kSar[s.aspect_ratio_idc][0];
            s.sar_height = kSar[s.aspect_ratio_idc][1];
        } else if (s.aspect_ratio_idc == 0) {
            s.sar_width = 1;
            s.sar_height = 1;
        }
        // 14..254 leave the previous ratio in place.
    }
    s.overscan_info_present_flag = r.flag();
    if (s.overscan_info_present_flag) s.overscan_appropriate_flag = r.flag();
    s.video_signal_type_present_flag = r.flag();
    if (s.video_signal_type_present_flag) {
        s.video_format = static_cast<int32_t>(r.u(3));
        s.video_full_range_flag = r.flag();
        s.colour_description_present_flag = r.flag();
        if (s.colour_description_present_flag) {
            s.colour_primaries = static_cast<uint8_t>(r.u(8));
            s.transfer_characteristics = static_cast<uint8_t>(r.u(8));
            s.matrix_coefficients = static_cast<uint8_t>(r.u(8));
        }
    }
    s.chroma_loc_info_present_flag = r.flag();
    if (s.chroma_loc_info_present_flag) {
        s.chroma_sample_loc_type_top = static_cast<int32_t>(r.ue());
        s.chroma_sample_loc_type_bottom = static_cast<int32_t>(r.ue());
    }
    s.timing_info_present_flag = r.flag();
    if (s.timing_info_present_flag) {
        s.num_units_in_tick = r.u(32);
        s.time_scale = r.u(32);
        s.fixed_frame_rate_flag = r.flag();
    }
    s.nal_hrd_parameters_present_flag = r.flag();
    if (s.nal_hrd_parameters_present_flag && !HrdParameters(r)) return;
    s.vcl_hrd_parameters_present_flag = r.flag();
    if (s.vcl_hrd_parameters_present_flag && !HrdParameters(r)) return;
    if (s.nal_hrd_parameters_present_flag || s.vcl_hrd_parameters_present_flag) r.skip(1);
    r.skip(1);  // pic_struct_present_flag
    const bool restriction = r.flag();
    if (!restriction || r.failed()) return;
    r.skip(1);
    r.ue();
    r.ue();
    r.ue();
    r.ue();
    const uint32_t reorder = r.ue();
    const uint32_t dpb = r.ue();
    if (r.failed() || reorder > 16 || dpb > 16) return;
    s.bitstream_restriction_flag = true;
    s.max_num_reorder_frames = static_cast<int32_t>(reorder);
    s.max_dec_frame_buffering = static_cast<int32_t>(dpb);
}

// Unescapes a NAL unit without its header byte into `buf`; returns the payload bit length.
size_t LoadRbsp(std::span<const uint8_t> nal, std::array<uint8_t, kMaxParamSetBytes>& buf) {
    if (nal.size() < 2) return 0;
    const size_t n = UnescapeRbsp(nal.subspan(1), buf);
    return RbspBitLength(std::span<const uint8_t>(buf.data(), n));
}

}  // namespace

bool ParseSPS(std::span<const uint8_t> nal, SPS& s) {
    std::array<uint8_t, kMaxParamSetBytes> buf;
    const size_t bits = LoadRbsp(nal, buf);
    if (bits == 0) return false;
    CBitReader r(buf, bits);
    s.bitstream_restriction_flag = false;
    s.max_num_reorder_frames = -1;
    s.max_dec_frame_buffering = -1;

    s.nal_header = nal[0];
    s.profile_idc = static_cast<int32_t>(r.u(8));
    s.constraint_set0_flag = r.flag();
    s.constraint_set1_flag = r.flag();
    s.constraint_set2_flag = r.flag();
    s.constraint_set3_flag = r.flag();
    r.skip(4);
    s.level_idc = static_cast<int32_t>(r.u(8));
    const uint32_t id = r.ue();
    if (id > 31) return false;
    s.seq_parameter_set_id = static_cast<int32_t>(id);
    if (s.profile_idc >= 100) {
        const uint32_t chroma = r.ue();
        if (chroma > 3) return false;
        s.chroma_format_idc = static_cast<int32_t>(chroma);
        if (chroma == 3) s.separate_colour_plane_flag = r.flag();
        const uint32_t bdl = r.ue(), bdc = r.ue();
        if (bdl > 6 || bdc > 6) return false;
        s.bit_depth_luma = static_cast<int32_t>(bdl) + 8;
        s.bit_depth_chroma = static_cast<int32_t>(bdc) + 8;
        s.qpprime_y_zero_transform_bypass_flag = r.flag();
        s.seq_scaling_matrix_present_flag = r.flag();
        if (s.seq_scaling_matrix_present_flag) {
            const int lists = chroma != 3 ? 8 : 12;
            for (int i = 0; i < lists && !r.failed(); ++i) {
                if (!r.flag()) continue;
                if (i < 6) ScalingList(r, s.scaling_list_4x4[i], 16);
                else ScalingList(r, s.scaling_list_8x8[i - 6], 64);
            }
        }
    }
    const uint32_t l2fn = r.ue();
    if (l2fn > 12) return false;
    s.log2_max_frame_num = static_cast<int32_t>(l2fn) + 4;
    const uint32_t pocType = r.ue();
    if (pocType > 2) return false;
    s.pic_order_cnt_type = static_cast<int32_t>(pocType);
    if (pocType == 0) {
        const uint32_t l2poc = r.ue();
        if (l2poc > 12) return false;
        s.log2_max_pic_order_cnt_lsb = static_cast<int32_t>(l2poc) + 4;
    } else if (pocType == 1) {
        s.delta_pic_order_always_zero_flag = r.flag();
        s.offset_for_non_ref_pic = r.se();
        s.offset_for_top_to_bottom_field = r.se();
        const uint32_t cycle = r.ue();
        if (cycle > 255) return false;
        s.num_ref_frames_in_pic_order_cnt_cycle = static_cast<int32_t>(cycle);
        for (uint32_t i = 0; i < cycle; ++i) s.offset_for_ref_frame[i] = static_cast<int16_t>(r.se());
    }
    const uint32_t refs = r.ue();
    if (refs > 16) return false;
    s.max_num_ref_frames = static_cast<int32_t>(refs);
    s.gaps_in_frame_num_allowed_flag = r.flag();
    const uint32_t w = r.ue(), h = r.ue();
    if (w > 1023 || h > 1023) return false;  // beyond any level's picture size
    s.pic_width_in_mbs = static_cast<int32_t>(w) + 1;
    s.pic_height_in_map_units = static_cast<int32_t>(h) + 1;
    s.frame_mbs_only_flag = r.flag();
    s.mb_adaptive_frame_field_flag = s.frame_mbs_only_flag ? false : r.flag();
    s.direct_8x8_inference_flag = r.flag();
    s.frame_cropping_flag = r.flag();
    if (s.frame_cropping_flag) {
        s.frame_crop_left = static_cast<int32_t>(r.ue());
        s.frame_crop_right = static_cast<int32_t>(r.ue());
        s.frame_crop_top = static_cast<int32_t>(r.ue());
        s.frame_crop_bottom = static_cast<int32_t>(r.ue());
    }
    s.vui_parameters_present_flag = r.flag();
    if (r.failed()) return false;
    if (s.vui_parameters_present_flag) Vui(r, s);
    return !r.failed();
}

bool ParsePPS(std::span<const uint8_t> nal, const SPS& sps, PPS& p) {
    std::array<uint8_t, kMaxParamSetBytes> buf;
    const size_t bits = LoadRbsp(nal, buf);
    if (bits == 0) return false;
    CBitReader r(buf, bits);
    const uint32_t id = r.ue(), spsId = r.ue();
    if (id > 255 || spsId > 31) return false;
    p.pic_parameter_set_id = static_cast<int32_t>(id);
    p.seq_parameter_set_id = static_cast<int32_t>(spsId);
    p.entropy_coding_mode_flag = r.flag();
    p.bottom_field_pic_order_in_frame_present_flag = r.flag();
    const uint32_t groups = r.ue() + 1;
    if (groups > 8) return false;
    p.num_slice_groups = static_cast<int32_t>(groups);
    if (groups > 1) {
        const uint32_t type = r.ue();
        if (type > 6) return false;
        p.slice_group_map_type = static_cast<int32_t>(type);
        if (type == 0) {
            for (uint32_t i = 0; i < groups; ++i) r.ue();
        } else if (type == 2) {
            for (uint32_t i = 0; i + 1 < groups; ++i) {
                r.ue();
                r.ue();
            }
        } else if (type >= 3 && type <= 5) {
            r.skip(1);
            const uint32_t rate = r.ue();
            if (rate >= static_cast<uint32_t>(sps.picSizeInMapUnits() > 0 ? sps.picSizeInMapUnits() : 1 << 20))
                return false;
            p.slice_group_change_rate = static_cast<int32_t>(rate) + 1;
        } else if (type == 6) {
            const uint32_t units = r.ue() + 1;
            unsigned idBits = 0;
            while ((1u << idBits) < groups) ++idBits;
            if (static_cast<uint64_t>(units) * idBits > r.bitsLeft()) return false;
            r.skip(static_cast<size_t>(units) * idBits);
        }
    }
    const uint32_t l0 = r.ue() + 1, l1 = r.ue() + 1;
    if (l0 > 32 || l1 > 32) return false;
    p.num_ref_idx_l0_default_active = static_cast<int32_t>(l0);
    p.num_ref_idx_l1_default_active = static_cast<int32_t>(l1);
    p.weighted_pred_flag = r.flag();
    p.weighted_bipred_idc = static_cast<int32_t>(r.u(2));
    // Kept as read: a value outside 0..51 is what disables the slice-QP rewrite downstream.
    p.pic_init_qp = 26 + r.se();
    p.pic_init_qs = 26 + r.se();
    p.chroma_qp_index_offset = r.se();
    p.deblocking_filter_control_present_flag = r.flag();
    p.constrained_intra_pred_flag = r.flag();
    p.redundant_pic_cnt_present_flag = r.flag();
    if (r.failed()) return false;
    p.transform_8x8_mode_flag = false;
    p.pic_scaling_matrix_present_flag = false;
    p.second_chroma_qp_index_offset = p.chroma_qp_index_offset;
    if (r.moreData()) {
        p.transform_8x8_mode_flag = r.flag();
        p.pic_scaling_matrix_present_flag = r.flag();
        if (p.pic_scaling_matrix_present_flag) {
            const int lists = 6 + ((sps.chroma_format_idc != 3) ? 2 : 6) * (p.transform_8x8_mode_flag ? 1 : 0);
            for (int i = 0; i < lists && !r.failed(); ++i) {
                if (!r.flag()) continue;
                if (i < 6) ScalingList(r, p.scaling_list_4x4[i], 16);
                else ScalingList(r, p.scaling_list_8x8[i - 6], 64);
            }
        }
        p.second_chroma_qp_index_offset = r.se();
    }
    return !r.failed();
}

}  // namespace h264
