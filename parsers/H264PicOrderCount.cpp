#include "parsers/H264PicOrderCount.h"

#include <algorithm>

namespace h264 {

CPicOrderCount::Result CPicOrderCount::Compute(const SPS& sps, const SliceHeader& sh) {
    Result r;
    const int64_t maxFrameNum = int64_t{1} << sps.log2_max_frame_num;
    const bool isRef = sh.nal_ref_idc != 0;
    const bool frame = !sh.field_pic_flag;

    int64_t frameNumOffset = 0;
    if (sps.pic_order_cnt_type != 0 && !sh.idr) {
        const int64_t prevOffset = m_bPrevMmco5 ? 0 : m_iPrevFrameNumOffset;
        frameNumOffset = m_iPrevFrameNum > sh.frame_num ? prevOffset + maxFrameNum : prevOffset;
    }

    if (sps.pic_order_cnt_type == 0) {
        if (sh.idr) {
            m_iPrevMsb = 0;
            m_iPrevLsb = 0;
        }
        const int64_t maxLsb = int64_t{1} << sps.log2_max_pic_order_cnt_lsb;
        const int64_t lsb = sh.pic_order_cnt_lsb;
        int64_t msb = m_iPrevMsb;
        if (lsb < m_iPrevLsb && m_iPrevLsb - lsb >= maxLsb / 2) msb = m_iPrevMsb + maxLsb;
        else if (lsb > m_iPrevLsb && lsb - m_iPrevLsb > maxLsb / 2) msb = m_iPrevMsb - maxLsb;
        if (frame) {
            r.top = msb + lsb;
            r.bottom = r.top + sh.delta_pic_order_cnt_bottom;
        } else {
            r.top = r.bottom = msb + lsb;  // a field has only its own count
        }
        if (isRef) {
            m_iPrevMsb = msb;
            m_iPrevLsb = lsb;
        }
    } else if (sps.pic_order_cnt_type == 1) {
        const int64_t cycle = sps.num_ref_frames_in_pic_order_cnt_cycle;
        int64_t absFrameNum = cycle != 0 ? frameNumOffset + sh.frame_num : 0;
        if (!isRef && absFrameNum > 0) --absFrameNum;
        int64_t expected = 0;
        if (absFrameNum > 0) {
            int64_t deltaPerCycle = 0;
            for (int64_t i = 0; i < cycle; ++i) deltaPerCycle += sps.offset_for_ref_frame[i];
            const int64_t cycleCnt = (absFrameNum - 1) / cycle;
            const int64_t inCycle = (absFrameNum - 1) % cycle;
            expected = cycleCnt * deltaPerCycle;
            for (int64_t i = 0; i <= inCycle; ++i) expected += sps.offset_for_ref_frame[i];
        }
        if (!isRef) expected += sps.offset_for_non_ref_pic;
        if (frame) {
            r.top = expected + sh.delta_pic_order_cnt[0];
            r.bottom = r.top + sps.offset_for_top_to_bottom_field + sh.delta_pic_order_cnt[1];
        } else if (!sh.bottom_field_flag) {
            r.top = r.bottom = expected + sh.delta_pic_order_cnt[0];
        } else {
            r.top = r.bottom = expected + sps.offset_for_top_to_bottom_field + sh.delta_pic_order_cnt[0];
        }
    } else {
        int64_t temp = 0;
        if (!sh.idr) temp = isRef ? 2 * (frameNumOffset + sh.frame_num) : 2 * (frameNumOffset + sh.frame_num) - 1;
        r.top = r.bottom = temp;
    }
    r.poc = frame ? std::min(r.top, r.bottom) : (sh.bottom_field_flag ? r.bottom : r.top);

    m_iPrevFrameNumOffset = frameNumOffset;
    m_iPrevFrameNum = sh.frame_num;
    m_bPrevMmco5 = false;
    if (sh.mmco5) {
        // The picture counts as 0 from here on: later pictures are ordered against it afresh.
        const int64_t temp = r.poc;
        r.top -= temp;
        r.bottom -= temp;
        r.poc = 0;
        m_bPrevMmco5 = true;
        m_iPrevFrameNum = 0;
        if (isRef) {
            m_iPrevMsb = 0;
            m_iPrevLsb = (!frame && sh.bottom_field_flag) ? 0 : r.top;
        }
    }
    return r;
}

}  // namespace h264
