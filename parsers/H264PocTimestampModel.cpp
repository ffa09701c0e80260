#include "parsers/H264PocTimestampModel.h"

#include <algorithm>

#include "foundation/Log.h"

void CH264PocTimestampModel::Reset(int32_t mode) {
    platform::CAutoLock lock(m_Lock);
    m_bHaveOpenField = false;
    m_OpenField = Frame{};
    m_Learning.clear();
    m_Waiting.clear();
    CH264TimestampModelBase::Reset(mode);
    m_Poc.Reset();
    m_bStarted = m_bDepthKnown = false;
    m_iReorder = 0;
    m_iDecodeSlot = m_iOutputSlot = m_iBaseMs = m_iPeriod = 0;
    m_iLastOutputPoc = 0;
    m_iLastOutputPeriod = -1;
    m_iLastDts = INT64_MIN;
    m_iLastPoc = 0;
    m_iTick = 1;
    m_iTimeScale = 50;
    m_iFollowCount = m_iLastBackwardTime = 0;
    m_iFollowSum = 0;
    m_iLastIncoming = 0;
    Log(LOG_TIMING, 3, "H264PocDPB::Reset");
}

void CH264PocTimestampModel::SetFallbackFrameRate(uint32_t num, uint32_t den) {
    platform::CAutoLock lock(m_Lock);
    // Two field periods a frame; a rate the clock cannot hold (over 2^31 fps) is refused.
    if (num == 0 || den == 0 || num > 0x7FFFFFFFu) return;
    m_iFallbackTick = den;
    m_iFallbackTimeScale = 2 * num;
}

int32_t CH264PocTimestampModel::ReorderDepth() {
    platform::CAutoLock lock(m_Lock);
    return m_bDepthKnown ? m_iReorder : -1;
}

int64_t CH264PocTimestampModel::SlotMs(int64_t slots) const {
    const __int128 v = static_cast<__int128>(slots) * m_iTick * 1000 / m_iTimeScale;
    if (v > INT64_MAX / 2) return INT64_MAX / 2;
    if (v < INT64_MIN / 2) return INT64_MIN / 2;
    return static_cast<int64_t>(v);
}

void CH264PocTimestampModel::TakeClock(const h264::SPS& sps) {
    if (sps.timing_info_present_flag && sps.num_units_in_tick != 0 && sps.time_scale != 0 &&
        static_cast<uint64_t>(sps.time_scale) >= sps.num_units_in_tick) {
        m_iTick = sps.num_units_in_tick;
        m_iTimeScale = sps.time_scale;
    } else {
        m_iTick = m_iFallbackTick;
        m_iTimeScale = m_iFallbackTimeScale;
    }
    if (sps.bitstream_restriction_flag && sps.max_num_reorder_frames >= 0) {
        m_iReorder = std::min(sps.max_num_reorder_frames, kMaxReorder);
        m_bDepthKnown = true;
    } else if (sps.pic_order_cnt_type == 2) {
        m_iReorder = 0;  // output order is decoding order by construction
        m_bDepthKnown = true;
    }
    Log(LOG_TIMING, 3, "H264PocDPB: field period %u/%u s, reorder depth %d%s", m_iTick, m_iTimeScale, m_iReorder,
        m_bDepthKnown ? "" : " (measuring)");
}

void CH264PocTimestampModel::PutAccessUnit(H264AccessUnitPtr unit) {
    if (!unit) return;
    platform::CAutoLock lock(m_Lock);
    H264AccessUnit* u = unit.get();
    CH264TimestampModelBase::PutAccessUnit(std::move(unit));
    if (!u->isPicture()) return;
    if (!m_bStarted) {
        TakeClock(u->sps);
        m_bStarted = true;
    }
    const h264::SliceHeader& sh = u->slices[0];
    if (sh.valid) {
        u->order.poc = m_Poc.Compute(u->sps, sh).poc;
        u->order.field = sh.field_pic_flag;
        u->order.bottom = sh.bottom_field_flag;
    } else {
        u->order.poc = m_iLastPoc + 2;  // unreadable header: keep decoding order
    }
    m_iLastPoc = u->order.poc;
    const bool newPeriod = sh.valid && (sh.idr || sh.mmco5);

    if (u->order.field) {
        if (m_bHaveOpenField) {
            const H264AccessUnit* first = m_OpenField.pictures[0];
            // The second field of an IDR picture may itself be an IDR unit.
            if ((!newPeriod || first->slices[0].idr) && first->order.bottom != u->order.bottom &&
                first->slices[0].frame_num == sh.frame_num) {
                m_OpenField.pictures[1] = u;
                m_OpenField.count = 2;
                m_OpenField.poc = std::min(m_OpenField.poc, u->order.poc);
                m_bHaveOpenField = false;
                Submit(m_OpenField);
                return;
            }
            CloseOpenField();
        }
        m_OpenField = Frame{};
        m_OpenField.pictures[0] = u;
        m_OpenField.count = 1;
        m_OpenField.poc = u->order.poc;
        m_OpenField.newPeriod = newPeriod;
        m_bHaveOpenField = true;
        return;
    }
    CloseOpenField();
    Frame f;
    f.pictures[0] = u;
    f.count = 1;
    f.poc = u->order.poc;
    f.newPeriod = newPeriod;
    Submit(f);
}

void CH264PocTimestampModel::CloseOpenField() {
    if (!m_bHaveOpenField) return;
    m_bHaveOpenField = false;
    Submit(m_OpenField);
}

void CH264PocTimestampModel::Submit(const Frame& f) {
    if (m_bDepthKnown) {
        Feed(f);
        return;
    }
    m_Learning.push_back(f);
    if (m_Learning.size() >= kLearnFrames) EndLearning();
}

void CH264PocTimestampModel::EndLearning() {
    // Depth needed: for each frame, the frames of its period decoded earlier but shown later.
    int32_t depth = 0;
    size_t periodStart = 0;
    for (size_t i = 0; i < m_Learning.size(); ++i) {
        if (m_Learning[i].newPeriod) periodStart = i;
        int32_t later = 0;
        for (size_t j = periodStart; j < i; ++j) later += m_Learning[j].poc > m_Learning[i].poc ? 1 : 0;
        depth = std::max(depth, later);
    }
    m_iReorder = std::min(depth, kMaxReorder);
    m_bDepthKnown = true;
    Log(LOG_TIMING, 3, "H264PocDPB: reorder depth %d measured on %zu frames", m_iReorder, m_Learning.size());
    std::deque<Frame> held;
    held.swap(m_Learning);
    for (const Frame& f : held) Feed(f);
}

void CH264PocTimestampModel::Feed(const Frame& f) {
    H264AccessUnit* first = f.pictures[0];
    if (m_iDecodeSlot == 0 && m_iOutputSlot == 0 && m_Waiting.empty()) {
        m_iBaseMs = first->time != NO_TIME ? first->time : 0;
    } else if (f.newPeriod) {
        OutputAll();
        ++m_iPeriod;
        if (first->time != NO_TIME) {
            // An incoming time well ahead of the picture clock (the source skipped pictures)
            // moves the clock forward; one behind it is ignored so dts never goes back.
            const int64_t expected = m_iBaseMs + SlotMs(m_iOutputSlot);
            if (first->time - expected > SlotMs(2)) {
                Log(LOG_TIMING, 3, "H264PocDPB: clock moved by %lld ms to the incoming time %lld",
                    static_cast<long long>(first->time - expected), static_cast<long long>(first->time));
                m_iBaseMs += first->time - expected;
                m_iFollowCount = m_iLastBackwardTime = 0;  // the frames before say nothing of the new clock
                m_iFollowSum = 0;
            }
        }
    }
    if (first->time != NO_TIME) FollowIncomingTime(first->time);
    for (int i = 0; i < f.count; ++i) {
        H264AccessUnit* p = f.pictures[i];
        p->order.dts = m_iBaseMs + SlotMs(m_iDecodeSlot + i - 2 * int64_t{m_iReorder});
        p->order.slots = f.count == 2 ? 1 : 2;
        p->data->duration = SlotMs(p->order.slots);
    }
    m_iDecodeSlot += 2;
    if (m_iLastOutputPeriod == m_iPeriod && f.poc < m_iLastOutputPoc && m_iReorder < kMaxReorder) {
        ++m_iReorder;
        Log(LOG_TIMING, 2, "H264PocDPB: picture order count %lld after %lld was shown: reorder depth raised to %d",
            static_cast<long long>(f.poc), static_cast<long long>(m_iLastOutputPoc), m_iReorder);
    }
    m_Waiting.push_back(f);
    while (m_Waiting.size() > static_cast<size_t>(m_iReorder)) OutputSmallest();
}

void CH264PocTimestampModel::FollowIncomingTime(int64_t time) {
    // Far-off times (a broken source) are clamped so the sum cannot overflow.
    constexpr int64_t kLimit = int64_t{1} << 52;
    const int64_t r = std::clamp(time - std::clamp(SlotMs(m_iDecodeSlot), -kLimit, kLimit), -kLimit, kLimit);
    if (m_iFollowCount > 0 && time < m_iLastIncoming) m_iLastBackwardTime = m_iFollowCount;
    m_iLastIncoming = time;
    int64_t& slot = m_Follow[m_iFollowCount % kFollowFrames];
    if (m_iFollowCount >= kFollowFrames) m_iFollowSum -= slot;
    slot = r;
    m_iFollowSum += r;
    ++m_iFollowCount;
    int64_t target = 0, deadband = 0, forward = 0;
    if (m_iLastBackwardTime == 0 || m_iFollowCount - m_iLastBackwardTime > kFollowFrames) {
        // Times in decoding order: arrival times, late by the source's jitter but never early,
        // so the smallest of the last few is the clock; a lost frame is followed within them.
        if (m_iFollowCount < kArrivalFrames) return;
        target = INT64_MAX;
        for (size_t i = 1; i <= kArrivalFrames; ++i) target = std::min(target, m_Follow[(m_iFollowCount - i) % kFollowFrames]);
        deadband = SlotMs(1) / 2;
        forward = (target - m_iBaseMs) / 2;
    } else {
        // Presentation times: only the mean over whole groups of pictures is free of reordering,
        // and until the window is full a part of a group would bias it.
        if (m_iFollowCount < kFollowFrames) return;
        target = static_cast<int64_t>(m_iFollowSum / static_cast<__int128>(kFollowFrames));
        deadband = SlotMs(1);
        forward = (target - m_iBaseMs) / 8;
    }
    const int64_t gap = target - m_iBaseMs;
    if (gap > std::max<int64_t>(deadband, 1)) {
        m_iBaseMs += std::max<int64_t>(forward, 1);
    } else if (gap < -std::max<int64_t>(deadband, 1)) {
        m_iBaseMs -= 1;
    }
}

void CH264PocTimestampModel::OutputSmallest() {
    if (m_Waiting.empty()) return;
    auto it = std::min_element(m_Waiting.begin(), m_Waiting.end(),
                               [](const Frame& a, const Frame& b) { return a.poc < b.poc; });
    Frame f = *it;
    m_Waiting.erase(it);
    H264AccessUnit* shown[2] = {f.pictures[0], f.pictures[1]};
    if (f.count == 2 && shown[1]->order.poc < shown[0]->order.poc) std::swap(shown[0], shown[1]);
    for (int i = 0; i < f.count; ++i) {
        shown[i]->data->pts = m_iBaseMs + SlotMs(m_iOutputSlot + i);
        shown[i]->data->dts = shown[i]->order.dts;
    }
    m_iOutputSlot += 2;
    m_iLastOutputPoc = f.poc;
    m_iLastOutputPeriod = m_iPeriod;
}

void CH264PocTimestampModel::OutputAll() {
    while (!m_Waiting.empty()) OutputSmallest();
}

void CH264PocTimestampModel::Drain() {
    CloseOpenField();
    if (!m_bDepthKnown) EndLearning();
    OutputAll();
}

bool CH264PocTimestampModel::Schedule(bool flush) {
    if (flush || m_AUQueue.size() > kMaxQueue) Drain();
    FillGaps();
    return true;
}

void CH264PocTimestampModel::BeforeRelease(H264AccessUnit& u) {
    BS::data_t& d = *u.data;
    if (m_iLastDts != INT64_MIN && d.dts < m_iLastDts) d.dts = m_iLastDts;
    if (d.pts != NO_TIME && d.dts > d.pts) {
        // A second field shown before its first: decode it at its own presentation time when
        // that keeps the order, otherwise show it late.
        d.dts = std::max(d.pts, m_iLastDts == INT64_MIN ? d.pts : m_iLastDts);
        if (d.dts > d.pts) d.pts = d.dts;
    }
    m_iLastDts = d.dts;
}
