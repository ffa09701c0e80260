#pragma once
// One input track of the sink: its format, its parser and the access units waiting to be sent.
#include <cstdint>
#include <deque>
#include <memory>

#include "foundation/Data.h"
#include "foundation/Format.h"
#include "foundation/Types.h"
#include "parsers/BaseParser.h"
#include "platform/ReentrantLock.h"

class CRTMPSink;

namespace BS {

struct track_t {
    virtual ~track_t();

    int32_t type = 0;  // TRACK_TYPE_AUDIO or TRACK_TYPE_VIDEO
    format_t format;
    // Parsed access units waiting to be sent, oldest first; owned here until the interleaver
    // pops them. Guarded by the owning sink's lock.
    std::deque<data_t*> sample_list;
    int64_t time1 = NO_TIME;
    int64_t time2 = NO_TIME;
    int64_t time3 = NO_TIME;
    CRTMPSink* owner = nullptr;
    int32_t index = 0;
    platform::CReentrantLock lock;  // kept with the track; the sink's own paths use the sink lock
    bool end_of_stream = false;
    int64_t last_queued_dts = NO_TIME;  // of the last unit the parser handed over
    // Video after its parser was reset for a reconnection: input up to the next sync-point
    // sample is discarded (key_gate), and the new segment starts at that key frame (key_start),
    // which the config lookup aligns the other track to. A parser fed the pictures before the
    // key frame stamps the key frame with their times, up to a group of pictures early.
    bool key_gate = false;
    bool key_start = false;
    bool sync_marked = false;  // the input has marked a sync point: the gate can rely on it
    std::unique_ptr<CBaseParser> parser;
    bool active = true;
    int32_t user_value = 0;
    uint64_t total_bytes = 0;
    uint64_t bytes_at_last_rate = 0;
    int64_t time_of_last_rate = 0;
    uint64_t bitrate = 2147483647;

    const char* Name() const { return type == TRACK_TYPE_VIDEO ? "VIDEO" : "AUDIO"; }
    // Frees every queued unit.
    void ClearSamples();
};

}  // namespace BS
