#pragma once
// The abstract sink the renderer framework programs against. The virtual slot order is part of
// the contract with the host side: new operations are only ever appended by implementations.
#include <cstdint>

#include "foundation/Data.h"
#include "foundation/Format.h"
#include "platform/Event.h"
#include "sink/SinkStatistics.h"

struct ConnectionSettings;

namespace BS {

// GetSinkStatus results.
constexpr int32_t SINK_OK = 0;
constexpr int32_t SINK_ERROR = 1;
constexpr int32_t SINK_RECONNECTION = 2;

class CPureSink {
public:
    virtual ~CPureSink() = default;                                                       // 0
    virtual bool IsInited() = 0;                                                          // 1
    virtual bool Lock() = 0;                                                              // 2
    virtual bool Unlock() = 0;                                                            // 3
    virtual bool AddTrack(const format_t& format, int32_t type, int32_t userValue) = 0;   // 4
    virtual int32_t Init(const ConnectionSettings& settings, int32_t* connectTimeMs) = 0; // 5
    virtual bool Close() = 0;                                                             // 6
    virtual bool Flush(bool sendRemaining, bool discard) = 0;                             // 7
    virtual uint32_t GetQueueSize(uint32_t track) = 0;                                    // 8
    virtual bool PutData(data_t* sample, int32_t track, bool owned) = 0;                  // 9
    virtual bool SetEndOfStream(int32_t track) = 0;                                       // 10
    virtual bool WaitForTrack(uint32_t track, platform::CEvent* stopEvent) = 0;           // 11
    virtual int32_t GetSinkStatus() = 0;                                                  // 12
    virtual bool GetStatistics(RTMPStatistics* out) = 0;                                  // 13
    virtual bool SetTrackActive(uint32_t track, bool active) = 0;                         // 14
};

}  // namespace BS
