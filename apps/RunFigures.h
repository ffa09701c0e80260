#pragma once
// What one publishing run has seen so far, for readers on other threads (the web API, /metrics):
// the phase of the run, the writer's last status and statistics record, counts kept over the
// whole run (reconnections, messages, estimated bytes), and the units the host handed to the
// writer or dropped, per input. The run's main thread writes; any thread takes a snapshot.
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "sink/SinkStatistics.h"

namespace app {

enum class RunPhase {
    Starting,    // the graph is being built
    Held,        // --hold: built, waiting for a connect from the web page or the API
    Connecting,  // the first connect is under way
    Streaming,   // the graph runs
    Ended,
};
const char* PhaseName(RunPhase phase);

struct InputFigures {
    bool present = false;
    int64_t unitsSent = 0;     // handed to the writer
    int64_t unitsDropped = 0;  // the source pin could not hand over (refused, flushed)
};

struct RunSnapshot {
    RunPhase phase = RunPhase::Starting;
    std::string url;
    std::optional<int32_t> status;  // the writer's last status (RTMP_STATUS_*), none before the first
    double seconds = 0;             // since the run started
    RTMPStatistics statistics;      // the last record while connected (zeroed before)
    double statisticsSeconds = 0;   // when it came
    int64_t reconnects = 0;         // times the writer started reconnecting
    int64_t audioMessages = 0, videoMessages = 0;  // sent, summed over the statistics periods
    int64_t bytesSent = 0;          // the output bitrate summed over the statistics periods
    InputFigures video, audio;

    bool connected() const { return status && *status == RTMP_STATUS_CONNECTED; }
    // "held", "connecting", "connected", "reconnecting" or "disconnected".
    const char* connectionState() const;
};
// Every value connectionState() takes, in a fixed order.
inline constexpr const char* kConnectionStates[] = {"held", "connecting", "connected", "reconnecting", "disconnected"};

class RunFigures {
public:
    explicit RunFigures(std::string url);

    void SetPhase(RunPhase phase);
    void OnStatus(int32_t status, double seconds);
    // A record from the writer while connected.
    void OnStatistics(const RTMPStatistics& s, double seconds);
    void SetInput(bool video, int64_t sent, int64_t dropped);
    RunSnapshot Snapshot(double seconds) const;

private:
    // Guards m_snap and m_periodStart. Written by the run's main thread, read by the web
    // server's threads. Innermost: nothing is called while it is held.
    mutable std::mutex m_lock;
    RunSnapshot m_snap;
    std::optional<double> m_periodStart;  // start of the current statistics period while connected
};

}  // namespace app
