#pragma once
// Feeds the sink the way an encoder's output pins would: an H.264 Annex B file cut into access
// units and an AAC ADTS file cut into frames, each handed to PutData with its time (after
// WaitForTrack, as the input pins do), interleaved by time, either paced to real time or as
// fast as the sink takes them.
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/Data.h"
#include "platform/Event.h"
#include "sink/PureSink.h"

namespace sinktest {

struct MediaUnit {
    int64_t time = 0;  // ms: presentation time of the access unit / frame
    bool key = false;  // access unit with an IDR slice
    std::vector<uint8_t> bytes;
};

// Access units of an Annex B stream, in decoding order. A new unit starts at an access unit
// delimiter, a parameter set or SEI after a slice, or a slice whose first_mb_in_slice is 0.
// Times: the presentation times of `packetsCsv` (ffprobe packet list of the same encode) when
// it lists as many packets, else frame index x 1000 / fps.
std::vector<MediaUnit> ReadH264(const std::string& path, double fps, const std::string& packetsCsv = {});
// ADTS frames; times from the sample rate in each header (1024 samples per frame).
std::vector<MediaUnit> ReadAdts(const std::string& path);

struct DriveOptions {
    bool realTime = true;       // hand each unit over no earlier than its time after the start
    int32_t videoTrack = 0;     // -1: no video
    int32_t audioTrack = 1;     // -1: no audio
    bool endOfStream = true;    // SetEndOfStream on both tracks at the end
    platform::CEvent* stop = nullptr;  // set: stop feeding; also handed to WaitForTrack
    double loops = 1.0;         // play the files this many times (times continue)
};

struct DriveResult {
    size_t videoUnits = 0;
    size_t audioUnits = 0;
    size_t refused = 0;         // PutData returned false
    int64_t wallMs = 0;         // time the feeding took
    int64_t maxWaitMs = 0;      // longest WaitForTrack
    int64_t totalWaitMs = 0;    // all WaitForTrack calls together
};

DriveResult Drive(BS::CPureSink& sink, const std::vector<MediaUnit>& video, const std::vector<MediaUnit>& audio,
                  const DriveOptions& options);

}  // namespace sinktest
