#pragma once
// What the timestamp models of the H.264 parser share: access units come in decoding order with
// at most the time that arrived with their bytes; a model gives every unit a dts and a pts, fills
// in the times of parameter-set units, sets the frame type and the bit time, and releases the
// units as records in decoding order. The base holds the queue, the bit clock, gap filling and
// the release step; the models (H264TimestampModel.h, H264PocTimestampModel.h) decide the times.
#include <cstdint>
#include <deque>
#include <memory>

#include "foundation/Data.h"
#include "parsers/H264AccessUnit.h"
#include "platform/ReentrantLock.h"

using H264AccessUnitPtr = std::unique_ptr<H264AccessUnit>;

// Selects the timestamp behaviour; the values are the parser's timestamp mode.
enum H264TimestampMode : int32_t {
    H264_TS_SIMPLE = 0,
    H264_TS_ADVANCED = 1,
    H264_TS_PICTURE_ORDER = 2,
};

class CH264TimestampModelBase {
public:
    static constexpr int32_t kBitRate = 1000000;
    static constexpr double kBitClockStart = -1.0;
    // A queue this long means the stream never gives the model what it waits for (a run of B
    // pictures without an anchor, say); the front is then timed without reordering.
    static constexpr size_t kMaxQueue = 128;

    virtual ~CH264TimestampModelBase();

    virtual void PutAccessUnit(H264AccessUnitPtr unit);
    // true and a record (owned by the caller) when one can be released; `out` may be null, the
    // record is then released here.
    bool Get(BS::data_t** out, bool flush);
    virtual void Reset(int32_t mode);
    size_t QueuedUnits();
    // True when the model's times before 0 are meant: pictures decoded before the first one shown.
    // The sink then shifts the whole timeline (every track) so that the first decode time is 0,
    // as a muxer does; raising them to 0 would give the first pictures one decode time.
    virtual bool TimesBeforeZeroAreMeant() const { return false; }

protected:
    // Gives the front unit (at least) its times; false when it has to wait for more units.
    virtual bool Schedule(bool flush) = 0;
    // Last look at a unit whose times are set, just before it becomes a record.
    virtual void BeforeRelease(H264AccessUnit& /*unit*/) {}

    // Index in the queue of the k-th picture, or -1.
    int PictureIndex(int k) const;
    int PictureCount() const;
    // Every run of non-picture units followed by a picture takes that picture's dts.
    void FillGaps();
    // Turns the front unit into its record and pops it.
    BS::data_t* ReleaseFront();
    static int64_t ToMs(double seconds);

    // Guards every member below, taken by Put, Get and Reset; written and read on the thread that
    // calls into the parser (which holds the parser's state and output locks, so this lock comes
    // after them in the lock order and is the innermost).
    platform::CReentrantLock m_Lock;
    std::deque<H264AccessUnitPtr> m_AUQueue;
    double m_fClock = 0.0;                // s, running presentation clock
    double m_fExternalTimeOffset = 0.0;   // s, incoming time stamps minus the clock
    double m_fBitClock = kBitClockStart;  // s
    int32_t m_iBitRate = kBitRate;
    h264::SPS m_Sps;                      // from the last unit put in
};
