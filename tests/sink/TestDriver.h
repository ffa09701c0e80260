#pragma once
// Feeds the sink as an encoder's output pins would: H.264 Annex B access units on track 0 and
// AAC ADTS frames on track 1, each handed to PutData after WaitForTrack, interleaved by time,
// paced to real time or as fast as the sink takes them.
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/Data.h"
#include "platform/Event.h"
#include "sink/PureSink.h"

namespace sinktest {

struct MediaUnit {
    int64_t time = 0;  // ms, presentation time
    bool key = false;  // has an IDR slice
    std::vector<uint8_t> bytes;
};

// Access units in decoding order; times from `packetsCsv` (the ffprobe packet list of the same
// encode) when it lists as many packets, else index x 1000 / fps.
std::vector<MediaUnit> ReadH264(const std::string& path, double fps, const std::string& packetsCsv = {});
std::vector<MediaUnit> ReadAdts(const std::string& path);

struct DriveOptions {
    bool realTime = true;
    int32_t audioTrack = 1;            // -1: no audio
    bool endOfStream = true;           // SetEndOfStream on the tracks at the end
    platform::CEvent* stop = nullptr;  // set: stop feeding; also handed to WaitForTrack
    double loops = 1.0;                // play the files this many times, times continuing
};

struct DriveResult {
    size_t videoUnits = 0;
    size_t refused = 0;  // PutData returned false
    int64_t wallMs = 0;
    int64_t totalWaitMs = 0;  // in WaitForTrack
};

DriveResult Drive(BS::CPureSink& sink, const std::vector<MediaUnit>& video, const std::vector<MediaUnit>& audio,
                  const DriveOptions& options);

}  // namespace sinktest
