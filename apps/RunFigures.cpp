#include "apps/RunFigures.h"

namespace app {

const char* PhaseName(RunPhase phase) {
    switch (phase) {
    case RunPhase::Starting: return "starting";
    case RunPhase::Held: return "held";
    case RunPhase::Connecting: return "connecting";
    case RunPhase::Streaming: return "streaming";
    case RunPhase::Ended: return "ended";
    }
    return "?";
}

const char* RunSnapshot::connectionState() const {
    if (phase == RunPhase::Held && !status) return "held";
    if (!status) return phase == RunPhase::Ended ? "disconnected" : "connecting";
    switch (*status) {
    case RTMP_STATUS_CONNECTED: return "connected";
    case RTMP_STATUS_RECONNECTING: return "reconnecting";
    default: return phase == RunPhase::Held ? "held" : "disconnected";
    }
}

RunFigures::RunFigures(std::string url) { m_snap.url = std::move(url); }

void RunFigures::SetPhase(RunPhase phase) {
    std::lock_guard<std::mutex> g(m_lock);
    m_snap.phase = phase;
}

void RunFigures::OnStatus(int32_t status, double seconds) {
    std::lock_guard<std::mutex> g(m_lock);
    if (status == RTMP_STATUS_RECONNECTING && m_snap.status != RTMP_STATUS_RECONNECTING) ++m_snap.reconnects;
    if (status != RTMP_STATUS_CONNECTED) {
        // The writer's figures stop with the connection; what was sent stays counted.
        const int32_t size = m_snap.statistics.outputBufferSize;
        m_snap.statistics = RTMPStatistics{};
        m_snap.statistics.outputBufferSize = size;
        m_periodStart.reset();
    } else if (m_snap.status != RTMP_STATUS_CONNECTED) {
        m_periodStart = seconds;
    }
    m_snap.status = status;
}

void RunFigures::OnStatistics(const RTMPStatistics& s, double seconds) {
    std::lock_guard<std::mutex> g(m_lock);
    m_snap.statistics = s;
    m_snap.statisticsSeconds = seconds;
    m_snap.audioMessages += s.audioMessagesSent;
    m_snap.videoMessages += s.videoMessagesSent;
    // The writer's bitrate is the bytes it sent in its own period; over the host's view of that
    // period it gives them back to within the event's latency.
    if (m_periodStart && seconds > *m_periodStart && s.OutputBitrate() > 0)
        m_snap.bytesSent += static_cast<int64_t>(static_cast<double>(s.OutputBitrate()) / 8.0 * (seconds - *m_periodStart));
    m_periodStart = seconds;
}

void RunFigures::SetInput(bool video, int64_t sent, int64_t dropped) {
    std::lock_guard<std::mutex> g(m_lock);
    InputFigures& f = video ? m_snap.video : m_snap.audio;
    f.present = true;
    f.unitsSent = sent;
    f.unitsDropped = dropped;
}

RunSnapshot RunFigures::Snapshot(double seconds) const {
    std::lock_guard<std::mutex> g(m_lock);
    RunSnapshot s = m_snap;
    s.seconds = seconds;
    return s;
}

}  // namespace app
