#pragma once
// The running-clock timestamp model with its simple behaviour (no reordering, dts = pts) and its
// advanced behaviour (B-picture reordering with a one-frame decoding delay).
#include <cstdint>

#include "parsers/H264TimestampModelBase.h"

// The running-clock model: simple (dts = pts) or advanced (one-frame reordering delay).
class CH264TimestampModel : public CH264TimestampModelBase {
public:
    void Reset(int32_t mode) override;

protected:
    bool Schedule(bool flush) override;

private:
    bool AdvancedActive() const;
    void CalculatePPPTime(int queueIndex);
    void SetTimeStampsPB(int anchorQueueIndex, int64_t delayMs);
    // Queue index of the first non-B picture at picture index >= k, or -1.
    int NextAnchor(int k) const;
    bool ScheduleFrames();
    bool ScheduleFields();

    bool m_bAdvanced = false;
};
