#include "parsers/H264TimestampModelBase.h"

#include <algorithm>

#include "foundation/Log.h"

CH264TimestampModelBase::~CH264TimestampModelBase() = default;

void CH264TimestampModelBase::PutAccessUnit(H264AccessUnitPtr unit) {
    if (!unit) return;
    platform::CAutoLock lock(m_Lock);
    m_Sps = unit->sps;
    if (!m_AUQueue.empty() && unit->isPicture() && unit->time == NO_TIME) {
        const H264AccessUnit& last = *m_AUQueue.back();
        if (last.useDataOnly && last.time != NO_TIME) {
            Log(LOG_TIMING, 5, "H264AdvancedDPB::PutAccessUnit: correcting au->time (setting to %lld)",
                static_cast<long long>(last.time));
            unit->time = last.time;
        }
    }
    m_AUQueue.push_back(std::move(unit));
}

bool CH264TimestampModelBase::Get(BS::data_t** out, bool flush) {
    platform::CAutoLock lock(m_Lock);
    if (m_AUQueue.empty()) return false;
    if (m_AUQueue.front()->data->dts == NO_TIME && !Schedule(flush)) return false;
    if (m_AUQueue.front()->data->dts == NO_TIME) return false;
    BeforeRelease(*m_AUQueue.front());
    BS::data_t* record = ReleaseFront();
    if (out) *out = record;
    else BS::data_t::Release(record);
    return true;
}

void CH264TimestampModelBase::Reset(int32_t /*mode*/) {
    platform::CAutoLock lock(m_Lock);
    m_AUQueue.clear();  // the units own their records
    m_fClock = 0.0;
    m_fExternalTimeOffset = 0.0;
    m_fBitClock = kBitClockStart;
    m_iBitRate = kBitRate;
}

size_t CH264TimestampModelBase::QueuedUnits() {
    platform::CAutoLock lock(m_Lock);
    return m_AUQueue.size();
}

int CH264TimestampModelBase::PictureIndex(int k) const {
    for (size_t i = 0; i < m_AUQueue.size(); ++i) {
        if (!m_AUQueue[i]->isPicture()) continue;
        if (k-- == 0) return static_cast<int>(i);
    }
    return -1;
}

int CH264TimestampModelBase::PictureCount() const {
    int n = 0;
    for (const auto& u : m_AUQueue) n += u->isPicture() ? 1 : 0;
    return n;
}

void CH264TimestampModelBase::FillGaps() {
    size_t runStart = 0;
    bool inRun = false;
    for (size_t j = 0; j < m_AUQueue.size(); ++j) {
        if (!m_AUQueue[j]->isPicture()) {
            if (!inRun) runStart = j;
            inRun = true;
            continue;
        }
        if (inRun && m_AUQueue[j]->data->dts != NO_TIME) {
            const int64_t dts = m_AUQueue[j]->data->dts;
            Log(LOG_TIMING, 5, "H264AdvancedDPB::FillGaps: m_AUQueue[j]->data->dts = %lld", static_cast<long long>(dts));
            for (size_t i = runStart; i < j; ++i) m_AUQueue[i]->data->dts = m_AUQueue[i]->data->pts = dts;
        }
        inRun = false;
    }
}

BS::data_t* CH264TimestampModelBase::ReleaseFront() {
    H264AccessUnitPtr unit = std::move(m_AUQueue.front());
    m_AUQueue.pop_front();
    BS::data_t* d = unit->data.release();
    if (!unit->isPicture()) {
        d->frame_type = FRAME_UNKNOWN;
    } else {
        switch (unit->pictureType()) {
        case h264::SLICE_P: d->frame_type = FRAME_P; break;
        case h264::SLICE_B: d->frame_type = FRAME_B; break;
        case h264::SLICE_I: d->frame_type = FRAME_I; break;
        default: d->frame_type = FRAME_UNKNOWN; break;
        }
        // Every slice of a picture carries the same value; the largest is taken should one not.
        for (int32_t i = 0; i < unit->num_slices && i < kMaxSlicesPerAccessUnit; ++i)
            d->nal_ref_idc = std::max(d->nal_ref_idc, unit->slices[static_cast<size_t>(i)].nal_ref_idc);
    }
    d->bts = ToMs(m_fBitClock);
    m_fBitClock += static_cast<double>(d->size_actual) * 8.0 / m_iBitRate;
    return d;
}

int64_t CH264TimestampModelBase::ToMs(double seconds) {
    const double ms = seconds * 1000.0;
    // Truncation toward zero; out-of-range clocks (garbage time stamps) saturate.
    if (ms >= 9.2e18) return INT64_MAX - 1;
    if (ms <= -9.2e18) return INT64_MIN + 1;
    return static_cast<int64_t>(ms);
}
