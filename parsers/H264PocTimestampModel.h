#pragma once
// Timestamp model that derives presentation order from the picture order count, so any
// reordering depth (B pyramids included) and field pictures get exact times on a constant
// picture clock.
//
// Pictures go through the output ("bumping") process of a decoder whose reorder buffer holds R
// frames: a frame, or a pair of fields, is output when more than R are waiting, the one with the
// smallest picture order count first; an IDR picture (or memory_management_control_operation 5)
// outputs everything before it. Each output frame takes the next two field periods of the clock,
// so pts follows the output position; dts follows the decoding position delayed by R frames,
// which never passes the pts. R comes from the sequence parameter set's max_num_reorder_frames
// when it is signalled, is 0 for picture order count type 2, and otherwise is measured on the
// first pictures of the stream (they are held until the depth is known).
//
// The clock's rate comes from the stream, but a live source's real rate does not always match it
// (29.97 against a signalled 30, or dropped frames). The picture clock therefore follows the
// incoming times: (incoming time - the clock's decoding position) says where the clock should
// start, and the start is moved towards it when they differ by more than a fraction of a frame.
// Incoming times that rise in decoding order are arrival times (the smallest of the last few is
// taken, jitter only ever delays); otherwise they are presentation times, and the mean over the
// last frames is taken, since over whole groups of pictures presentation positions are a
// permutation of decoding positions. Forward moves close part of the gap at once; backward ones
// are 1 ms a frame, which keeps decode times strictly rising and presentation times in order.
#include <cstdint>
#include <deque>
#include <vector>

#include "parsers/H264PicOrderCount.h"
#include "parsers/H264TimestampModelBase.h"

class CH264PocTimestampModel : public CH264TimestampModelBase {
public:
    static constexpr int32_t kMaxReorder = 16;
    // Frames held at the start of a stream that does not signal its reorder depth.
    static constexpr size_t kLearnFrames = 32;

    void PutAccessUnit(H264AccessUnitPtr unit) override;
    void Reset(int32_t mode) override;
    // The reorder depth in frames, or -1 while it is still being measured.
    int32_t ReorderDepth();
    bool TimesBeforeZeroAreMeant() const override { return true; }
    // The frame rate the clock runs at when the sequence parameter set carries no timing (25 fps
    // unless set); it takes effect at the next stream start.
    void SetFallbackFrameRate(uint32_t num, uint32_t den);

protected:
    bool Schedule(bool flush) override;
    void BeforeRelease(H264AccessUnit& unit) override;

private:
    // One frame buffer: a frame picture, or the fields of one frame (a pair, or a lone field).
    struct Frame {
        H264AccessUnit* pictures[2] = {nullptr, nullptr};  // owned by the queue
        int count = 0;
        int64_t poc = 0;
        bool newPeriod = false;  // IDR or memory_management_control_operation 5
    };

    void Submit(const Frame& f);
    void Feed(const Frame& f);
    void OutputSmallest();
    void OutputAll();
    void EndLearning();
    void CloseOpenField();
    void Drain();
    int64_t SlotMs(int64_t slots) const;
    void TakeClock(const h264::SPS& sps);
    void FollowIncomingTime(int64_t time);

    h264::CPicOrderCount m_Poc;
    bool m_bHaveOpenField = false;
    Frame m_OpenField;              // a first field waiting for its second
    std::deque<Frame> m_Learning;   // held while the reorder depth is measured
    std::vector<Frame> m_Waiting;   // decoded, not yet output
    bool m_bStarted = false;
    bool m_bDepthKnown = false;
    int32_t m_iReorder = 0;
    int64_t m_iDecodeSlot = 0;      // field periods decoded so far
    int64_t m_iOutputSlot = 0;      // field periods output so far
    int64_t m_iBaseMs = 0;          // time of field period 0
    int64_t m_iPeriod = 0;          // count of IDR/MMCO5 periods
    int64_t m_iLastOutputPoc = 0;
    int64_t m_iLastOutputPeriod = -1;
    int64_t m_iLastDts = INT64_MIN;
    int64_t m_iLastPoc = 0;         // for pictures whose header could not be read
    uint32_t m_iTick = 1;           // one field period is m_iTick / m_iTimeScale seconds
    uint32_t m_iTimeScale = 50;
    uint32_t m_iFallbackTick = 1;   // the field period without timing in the stream
    uint32_t m_iFallbackTimeScale = 50;
    // Incoming time minus the clock's decoding position, for the last kFollowFrames timed frames.
    static constexpr size_t kFollowFrames = 64, kArrivalFrames = 4;
    int64_t m_Follow[kFollowFrames] = {};
    size_t m_iFollowCount = 0;
    size_t m_iLastBackwardTime = 0;  // m_iFollowCount when an incoming time last went back
    int64_t m_iLastIncoming = 0;
    __int128 m_iFollowSum = 0;
};
