#include "parsers/H264TimestampModel.h"

#include "foundation/Log.h"

void CH264TimestampModel::Reset(int32_t mode) {
    platform::CAutoLock lock(m_Lock);
    CH264TimestampModelBase::Reset(mode);
    m_bAdvanced = mode == H264_TS_ADVANCED;
    Log(LOG_TIMING, 3, "H264AdvancedDPB::Reset");
}

bool CH264TimestampModel::AdvancedActive() const {
    return m_bAdvanced && m_Sps.profile_idc != 66 && !m_Sps.constraint_set0_flag;
}

void CH264TimestampModel::CalculatePPPTime(int qi) {
    H264AccessUnit& u = *m_AUQueue[static_cast<size_t>(qi)];
    if (u.time != NO_TIME) {
        m_fExternalTimeOffset = static_cast<double>(u.time) / 1000.0 - m_fClock;
        Log(LOG_TIMING, 5, "H264SimpleDPB::CalculatePPPTime: m_fExternalTimeOffset = %lld / 1000 - %f",
            static_cast<long long>(u.time), m_fClock);
    }
    u.data->dts = u.data->pts = ToMs(m_fClock + m_fExternalTimeOffset);
    Log(LOG_TIMING, 5, "H264AdvancedDPB::CalculatePPPTime: au->data->dts = (%f + %f) * 1000", m_fClock,
        m_fExternalTimeOffset);
    if (AdvancedActive()) {
        u.data->dts -= u.data->duration;
        Log(LOG_TIMING, 5, "H264AdvancedDPB::CalculatePPPTime: au->data->dts -= %lld",
            static_cast<long long>(u.data->duration));
    }
    m_fClock += static_cast<double>(u.data->duration) / 1000.0;
}

void CH264TimestampModel::SetTimeStampsPB(int anchor, int64_t delay) {
    H264AccessUnit& first = *m_AUQueue[static_cast<size_t>(anchor)];
    first.data->dts = ToMs(m_fClock + m_fExternalTimeOffset) - delay;
    Log(LOG_TIMING, 5, "H264AdvancedDPB::SetTimeStampsPB: first->data->dts = (%f + %f) * 1000 - %lld", m_fClock,
        m_fExternalTimeOffset, static_cast<long long>(delay));
    for (size_t i = static_cast<size_t>(anchor) + 1; i < m_AUQueue.size(); ++i) {
        H264AccessUnit& u = *m_AUQueue[i];
        if (!u.isPicture()) continue;
        if (u.pictureType() != h264::SLICE_B) break;
        if (u.time != NO_TIME) {
            m_fExternalTimeOffset = static_cast<double>(u.time) / 1000.0 - m_fClock;
            Log(LOG_TIMING, 5, "H264SimpleDPB::SetTimeStampsPB: m_fExternalTimeOffset = (au)%lld / 1000 - %f",
                static_cast<long long>(u.time), m_fClock);
        }
        u.data->dts = u.data->pts = ToMs(m_fClock + m_fExternalTimeOffset);
        Log(LOG_TIMING, 5, "H264AdvancedDPB::SetTimeStampsPB: au->data->dts = (%f + %f) * 1000", m_fClock,
            m_fExternalTimeOffset);
        m_fClock += static_cast<double>(u.data->duration) / 1000.0;
    }
    if (first.time != NO_TIME) {
        m_fExternalTimeOffset = static_cast<double>(first.time) / 1000.0 - m_fClock;
        Log(LOG_TIMING, 5, "H264SimpleDPB::SetTimeStampsPB: m_fExternalTimeOffset = (first)%lld / 1000 - %f",
            static_cast<long long>(first.time), m_fClock);
    }
    // Shown after its B pictures; its own frame time is not added here.
    first.data->pts = ToMs(m_fClock + m_fExternalTimeOffset);
}

int CH264TimestampModel::NextAnchor(int k) const {
    for (int qi = PictureIndex(k); qi >= 0 && static_cast<size_t>(qi) < m_AUQueue.size(); ++qi) {
        const H264AccessUnit& u = *m_AUQueue[static_cast<size_t>(qi)];
        if (u.isPicture() && u.pictureType() != h264::SLICE_B) return qi;
    }
    return -1;
}

bool CH264TimestampModel::Schedule(bool flush) {
    const bool advanced = AdvancedActive() && !flush && m_AUQueue.size() <= kMaxQueue;
    if (!advanced) {
        const int p0 = PictureIndex(0);
        if (p0 < 0) return false;
        if (m_AUQueue[static_cast<size_t>(p0)]->data->dts == NO_TIME) CalculatePPPTime(p0);
        FillGaps();
        return true;
    }
    if (m_Sps.frame_mbs_only_flag || m_Sps.mb_adaptive_frame_field_flag) return ScheduleFrames();
    return ScheduleFields();
}

bool CH264TimestampModel::ScheduleFrames() {
    if (PictureCount() < 3) return false;
    const int a = PictureIndex(0), b = PictureIndex(1), c = PictureIndex(2);
    auto isB = [this](int qi) { return m_AUQueue[static_cast<size_t>(qi)]->pictureType() == h264::SLICE_B; };
    if (m_AUQueue[static_cast<size_t>(a)]->data->dts != NO_TIME) {
        FillGaps();
        return true;
    }
    if (isB(a) || (!isB(b) && !isB(c))) {
        CalculatePPPTime(a);
    } else if (!isB(b) && isB(c)) {
        if (NextAnchor(3) < 0) return false;
        CalculatePPPTime(a);
        SetTimeStampsPB(b, m_AUQueue[static_cast<size_t>(a)]->data->duration);
    } else {  // a is an anchor followed by B pictures
        if (NextAnchor(2) < 0) return false;
        SetTimeStampsPB(a, 0);
    }
    FillGaps();
    return true;
}

bool CH264TimestampModel::ScheduleFields() {
    if (PictureCount() < 6) return false;
    const int a = PictureIndex(0), b = PictureIndex(2), c = PictureIndex(4);
    auto isB = [this](int qi) { return m_AUQueue[static_cast<size_t>(qi)]->pictureType() == h264::SLICE_B; };
    if (m_AUQueue[static_cast<size_t>(a)]->data->dts != NO_TIME) {
        FillGaps();
        return true;
    }
    if (isB(a) || (!isB(b) && !isB(c))) {
        CalculatePPPTime(a);
    } else if (!isB(b) && isB(c)) {
        if (NextAnchor(7) < 0) return false;
        CalculatePPPTime(a);
        SetTimeStampsPB(b, m_AUQueue[static_cast<size_t>(a)]->data->duration);
    } else {
        if (NextAnchor(5) < 0) return false;
        SetTimeStampsPB(a, 0);
    }
    FillGaps();
    // Pictures 0 and 1 are the two fields of one frame.
    const int p1 = PictureIndex(1);
    if (p1 >= 0) {
        H264AccessUnit& f0 = *m_AUQueue[static_cast<size_t>(a)];
        H264AccessUnit& f1 = *m_AUQueue[static_cast<size_t>(p1)];
        if (f1.time == NO_TIME || f1.time == f0.time) {
            f1.data->dts = f0.data->dts + f0.data->duration;
            f1.data->pts = f0.data->pts + f0.data->duration;
        }
    }
    return true;
}
