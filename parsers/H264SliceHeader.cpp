#include "parsers/H264SliceHeader.h"

#include <array>

namespace h264 {
namespace {

// Copies each element it reads to the writer when there is one.
class Echo {
public:
    Echo(CBitReader& r, CBitWriter* w) : m_r(r), m_w(w) {}
    uint32_t u(unsigned n) {
        const uint32_t v = m_r.u(n);
        if (m_w) m_w->u(n, v);
        return v;
    }
    bool flag() { return u(1) != 0; }
    uint32_t ue() {
        const uint32_t v = m_r.ue();
        if (m_w) m_w->ue(v);
        return v;
    }
    int32_t se() {
        const int32_t v = m_r.se();
        if (m_w) m_w->se(v);
        return v;
    }
    bool failed() const { return m_r.failed(); }

private:
    CBitReader& m_r;
    CBitWriter* m_w;
};

constexpr int kMaxListOps = 32;

bool RefPicListModification(Echo& e) {
    if (!e.flag()) return true;
    for (int ops = 0;; ++ops) {
        if (ops > kMaxListOps || e.failed()) return false;
        const uint32_t idc = e.ue();
        if (idc > 3) return false;
        if (idc == 3) return true;
        e.ue();  // abs_diff_pic_num_minus1 or long_term_pic_num
    }
}

bool PredWeights(Echo& e, int32_t count, int32_t chromaArrayType) {
    for (int32_t i = 0; i < count && !e.failed(); ++i) {
        if (e.flag()) {
            e.se();
            e.se();
        }
        if (chromaArrayType != 0 && e.flag()) {
            for (int j = 0; j < 2; ++j) {
                e.se();
                e.se();
            }
        }
    }
    return !e.failed();
}

}  // namespace

SliceHeaderResult WalkSliceHeader(CBitReader& r, CBitWriter* w, const SPS& sps, const PPS& pps,
                                  uint8_t nalHeader, SliceHeader& s, int32_t qpAdjust) {
    Echo e(r, w);
    s = SliceHeader{};
    s.nal_ref_idc = (nalHeader >> 5) & 3;
    s.idr = (nalHeader & 0x1F) == 5;
    s.first_mb_in_slice = static_cast<int32_t>(e.ue());
    const uint32_t type = e.ue();
    if (type > 9) return SLICE_OUT_OF_RANGE;
    s.slice_type = static_cast<int32_t>(type % 5);
    const bool isB = s.slice_type == SLICE_B;
    const bool isP = s.slice_type == SLICE_P || s.slice_type == SLICE_SP;
    s.pic_parameter_set_id = static_cast<int32_t>(e.ue());
    if (sps.separate_colour_plane_flag) e.u(2);
    s.frame_num = static_cast<int32_t>(e.u(static_cast<unsigned>(sps.log2_max_frame_num)));
    if (!sps.frame_mbs_only_flag) {
        s.field_pic_flag = e.flag();
        if (s.field_pic_flag) s.bottom_field_flag = e.flag();
    }
    if (s.idr) s.idr_pic_id = static_cast<int32_t>(e.ue());
    if (sps.pic_order_cnt_type == 0) {
        s.pic_order_cnt_lsb = static_cast<int32_t>(e.u(static_cast<unsigned>(sps.log2_max_pic_order_cnt_lsb)));
        if (pps.bottom_field_pic_order_in_frame_present_flag && !s.field_pic_flag)
            s.delta_pic_order_cnt_bottom = e.se();
    }
    if (sps.pic_order_cnt_type == 1 && !sps.delta_pic_order_always_zero_flag) {
        s.delta_pic_order_cnt[0] = e.se();
        if (pps.bottom_field_pic_order_in_frame_present_flag && !s.field_pic_flag)
            s.delta_pic_order_cnt[1] = e.se();
    }
    if (pps.redundant_pic_cnt_present_flag) s.redundant_pic_cnt = static_cast<int32_t>(e.ue());
    if (isB) e.flag();  // direct_spatial_mv_pred_flag
    int32_t refL0 = pps.num_ref_idx_l0_default_active;
    int32_t refL1 = pps.num_ref_idx_l1_default_active;
    if (isP || isB) {
        if (e.flag()) {
            refL0 = static_cast<int32_t>(e.ue()) + 1;
            if (isB) refL1 = static_cast<int32_t>(e.ue()) + 1;
        }
        if (refL0 > 32 || refL1 > 32) return SLICE_OUT_OF_RANGE;
    }
    if (e.failed()) return SLICE_TRUNCATED;
    if (s.slice_type != SLICE_I && s.slice_type != SLICE_SI) {
        if (!RefPicListModification(e)) return e.failed() ? SLICE_TRUNCATED : SLICE_OUT_OF_RANGE;
        if (isB && !RefPicListModification(e)) return e.failed() ? SLICE_TRUNCATED : SLICE_OUT_OF_RANGE;
    }
    if ((pps.weighted_pred_flag && isP) || (pps.weighted_bipred_idc == 1 && isB)) {
        if (e.ue() > 7) return SLICE_OUT_OF_RANGE;  // luma_log2_weight_denom
        const int32_t cat = sps.chromaArrayType();
        if (cat != 0 && e.ue() > 7) return SLICE_OUT_OF_RANGE;
        if (!PredWeights(e, refL0, cat)) return SLICE_TRUNCATED;
        if (isB && !PredWeights(e, refL1, cat)) return SLICE_TRUNCATED;
    }
    if (s.nal_ref_idc != 0) {
        if (s.idr) {
            e.flag();  // no_output_of_prior_pics_flag
            e.flag();  // long_term_reference_flag
        } else if (e.flag()) {  // adaptive_ref_pic_marking_mode_flag
            for (int ops = 0;; ++ops) {
                if (ops > kMaxListOps || e.failed()) return e.failed() ? SLICE_TRUNCATED : SLICE_OUT_OF_RANGE;
                const uint32_t op = e.ue();
                if (op > 6) return SLICE_OUT_OF_RANGE;
                if (op == 0) break;
                if (op == 5) s.mmco5 = true;
                if (op == 1 || op == 3) e.ue();
                if (op == 2) e.ue();
                if (op == 3 || op == 6) e.ue();
                if (op == 4) e.ue();
            }
        }
    }
    if (pps.entropy_coding_mode_flag && s.slice_type != SLICE_I && s.slice_type != SLICE_SI) {
        if (e.ue() > 2) return SLICE_OUT_OF_RANGE;  // cabac_init_idc
    }
    s.slice_qp_delta = r.se();
    if (w) w->se(s.slice_qp_delta + qpAdjust);
    if (s.slice_type == SLICE_SP || s.slice_type == SLICE_SI) {
        if (s.slice_type == SLICE_SP) e.flag();
        e.se();  // slice_qs_delta
    }
    if (pps.deblocking_filter_control_present_flag) {
        const uint32_t idc = e.ue();
        if (idc > 2) return SLICE_OUT_OF_RANGE;
        if (idc != 1) {
            const int32_t alpha = e.se(), beta = e.se();
            if (alpha < -6 || alpha > 6 || beta < -6 || beta > 6) return SLICE_OUT_OF_RANGE;
        }
    }
    if (pps.num_slice_groups > 1 && pps.slice_group_map_type >= 3 && pps.slice_group_map_type <= 5) {
        // Ceil(Log2(PicSizeInMapUnits / SliceGroupChangeRate + 1)) bits.
        const int64_t units = sps.picSizeInMapUnits();
        const int64_t rate = pps.slice_group_change_rate > 0 ? pps.slice_group_change_rate : 1;
        unsigned bits = 0;
        while (bits < 32 && ((int64_t{1} << bits) - 1) * rate < units) ++bits;
        e.u(bits);
    }
    if (e.failed()) return SLICE_TRUNCATED;
    s.valid = true;
    return SLICE_OK;
}

SliceHeaderResult ParseSliceHeader(std::span<const uint8_t> nal, const SPS& sps, const PPS& pps,
                                   SliceHeader& out) {
    out = SliceHeader{};
    if (nal.size() < 2) return SLICE_TRUNCATED;
    // Long reference-list edits and weight tables fit well inside this; the rest of the slice is
    // not needed here.
    std::array<uint8_t, 1024> buf;
    const size_t n = UnescapeRbsp(nal.subspan(1), buf);
    const std::span<const uint8_t> rbsp(buf.data(), n);
    const size_t bits = nal.size() - 1 <= buf.size() ? RbspBitLength(rbsp) : n * 8;
    CBitReader r(rbsp, bits);
    return WalkSliceHeader(r, nullptr, sps, pps, nal[0], out);
}

int64_t FirstMbInSlice(std::span<const uint8_t> nal) {
    if (nal.size() < 2) return -1;
    std::array<uint8_t, 8> buf;
    const size_t n = UnescapeRbsp(nal.subspan(1), buf);
    CBitReader r(std::span<const uint8_t>(buf.data(), n));
    const uint32_t v = r.ue();
    return r.failed() ? -1 : static_cast<int64_t>(v);
}

}  // namespace h264
