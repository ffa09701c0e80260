#pragma once
// Sequence and picture parameter sets: the fields the parser, the timestamp models and the
// slice-header rewrite need, parsed from one NAL unit (header byte included, escaped form).
#include <cstdint>
#include <span>

namespace h264 {

struct SPS {
    uint8_t nal_header = 0;
    int32_t profile_idc = 0;
    bool constraint_set0_flag = false, constraint_set1_flag = false;
    bool constraint_set2_flag = false, constraint_set3_flag = false;
    int32_t level_idc = 0;
    int32_t seq_parameter_set_id = 0;
    int32_t chroma_format_idc = 1;
    bool separate_colour_plane_flag = false;
    int32_t bit_depth_luma = 8;    // value + 8
    int32_t bit_depth_chroma = 8;  // value + 8
    bool qpprime_y_zero_transform_bypass_flag = false;
    bool seq_scaling_matrix_present_flag = false;
    uint8_t scaling_list_4x4[6][16] = {};
    uint8_t scaling_list_8x8[6][64] = {};
    int32_t log2_max_frame_num = 4;          // value + 4
    int32_t pic_order_cnt_type = 0;
    int32_t log2_max_pic_order_cnt_lsb = 4;  // value + 4
    bool delta_pic_order_always_zero_flag = false;
    int32_t offset_for_non_ref_pic = 0;
    int32_t offset_for_top_to_bottom_field = 0;
    int32_t num_ref_frames_in_pic_order_cnt_cycle = 0;
    int16_t offset_for_ref_frame[256] = {};
    int32_t max_num_ref_frames = 0;
    bool gaps_in_frame_num_allowed_flag = false;
    int32_t pic_width_in_mbs = 0;         // value + 1
    int32_t pic_height_in_map_units = 0;  // value + 1
    bool frame_mbs_only_flag = false;
    bool mb_adaptive_frame_field_flag = false;
    bool direct_8x8_inference_flag = false;
    bool frame_cropping_flag = false;
    int32_t frame_crop_left = 0, frame_crop_right = 0, frame_crop_top = 0, frame_crop_bottom = 0;
    bool vui_parameters_present_flag = false;
    bool aspect_ratio_info_present_flag = false;
    int32_t aspect_ratio_idc = 0;
    uint16_t sar_width = 0, sar_height = 0;
    bool overscan_info_present_flag = false, overscan_appropriate_flag = false;
    bool video_signal_type_present_flag = false;
    int32_t video_format = 0;
    bool video_full_range_flag = false;
    bool colour_description_present_flag = false;
    uint8_t colour_primaries = 0, transfer_characteristics = 0, matrix_coefficients = 0;
    bool chroma_loc_info_present_flag = false;
    int32_t chroma_sample_loc_type_top = 0, chroma_sample_loc_type_bottom = 0;
    bool timing_info_present_flag = false;
    uint32_t num_units_in_tick = 0;
    uint32_t time_scale = 0;
    bool fixed_frame_rate_flag = false;
    bool nal_hrd_parameters_present_flag = false;
    bool vcl_hrd_parameters_present_flag = false;
    // Read beyond the two HRD flags only for the picture-order-count timing: the reorder depth.
    bool bitstream_restriction_flag = false;
    int32_t max_num_reorder_frames = -1;  // -1: not signalled
    int32_t max_dec_frame_buffering = -1;

    // ChromaArrayType of ITU-T H.264 7.4.2.1.1.
    int32_t chromaArrayType() const { return separate_colour_plane_flag ? 0 : chroma_format_idc; }
    int32_t picSizeInMapUnits() const { return pic_width_in_mbs * pic_height_in_map_units; }
};

struct PPS {
    int32_t pic_parameter_set_id = 0;
    int32_t seq_parameter_set_id = 0;
    bool entropy_coding_mode_flag = false;
    bool bottom_field_pic_order_in_frame_present_flag = false;
    int32_t num_slice_groups = 1;  // value + 1
    int32_t slice_group_map_type = 0;
    int32_t slice_group_change_rate = 1;  // value + 1
    int32_t num_ref_idx_l0_default_active = 1;  // value + 1
    int32_t num_ref_idx_l1_default_active = 1;  // value + 1
    bool weighted_pred_flag = false;
    int32_t weighted_bipred_idc = 0;
    int32_t pic_init_qp = 26;
    int32_t pic_init_qs = 26;
    int32_t chroma_qp_index_offset = 0;
    bool deblocking_filter_control_present_flag = false;
    bool constrained_intra_pred_flag = false;
    bool redundant_pic_cnt_present_flag = false;
    bool transform_8x8_mode_flag = false;
    bool pic_scaling_matrix_present_flag = false;
    uint8_t scaling_list_4x4[6][16] = {};
    uint8_t scaling_list_8x8[6][64] = {};
    int32_t second_chroma_qp_index_offset = 0;
};

// Both parse a whole NAL unit (header byte first, emulation prevention still in place) into
// `out`, which keeps the values of fields the unit does not carry. false when the unit is
// truncated or carries values outside the ranges the standard allows (the fields read up to
// that point are kept).
bool ParseSPS(std::span<const uint8_t> nal, SPS& out);
bool ParsePPS(std::span<const uint8_t> nal, const SPS& sps, PPS& out);

}  // namespace h264
