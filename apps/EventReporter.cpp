#include "apps/EventReporter.h"

#include <cinttypes>

namespace app {
namespace {

std::string Rate(int64_t bps) {
    char buf[32];
    if (bps >= 1000000) std::snprintf(buf, sizeof buf, "%.2f Mbit/s", static_cast<double>(bps) / 1e6);
    else std::snprintf(buf, sizeof buf, "%" PRId64 " kbit/s", (bps + 500) / 1000);
    return buf;
}

}  // namespace

EventReporter::EventReporter(Config config, FILE* out, FILE* err) : m_config(config), m_out(out), m_err(err) {}

const char* EventReporter::StatusName(int32_t status) {
    switch (status) {
    case RTMP_STATUS_CONNECTED: return "connected";
    case RTMP_STATUS_DISCONNECTED: return "disconnected";
    case RTMP_STATUS_RECONNECTING: return "reconnecting";
    default: return "unknown";
    }
}

Json::Value EventReporter::StatisticsJson(const RTMPStatistics& s) {
    Json::Value v(Json::objectValue);
    v["outputBufferSize"] = s.outputBufferSize;
    v["outputBufferFillness"] = s.outputBufferFillness;
    v["outputBitrate"] = Json::Int64(s.OutputBitrate());
    v["ackBitrate"] = Json::Int64(s.AckBitrate());
    v["payloadBitrate"] = Json::Int64(s.PayloadBitrate());
    v["roundTripTime"] = s.roundTripTime;
    v["serverAckRate"] = s.serverAckRate;
    v["bufferedAudioPackets"] = s.bufferedAudioPackets;
    v["bufferedVideoPackets"] = s.bufferedVideoPackets;
    v["audioBitrate"] = s.audioBitrate;
    v["videoBitrate"] = s.videoBitrate;
    v["audioMessagesSent"] = s.audioMessagesSent;
    v["videoMessagesSent"] = s.videoMessagesSent;
    return v;
}

std::string EventReporter::StatisticsLine(const RTMPStatistics& s, double seconds) {
    const int total = seconds > 0 ? static_cast<int>(seconds) : 0;
    char buf[256];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d  out %s  video %s  audio %s  sent %d v %d a  queued %d v %d a  buffer %d KiB",
                  total / 3600, total / 60 % 60, total % 60, Rate(s.OutputBitrate()).c_str(), Rate(s.videoBitrate).c_str(),
                  Rate(s.audioBitrate).c_str(), s.videoMessagesSent, s.audioMessagesSent,
                  s.bufferedVideoPackets == INT32_MAX ? 0 : s.bufferedVideoPackets,
                  s.bufferedAudioPackets == INT32_MAX ? 0 : s.bufferedAudioPackets, s.outputBufferFillness / 1024);
    std::string line = buf;
    // The wire figures, once the packet capture has measured any.
    if (s.roundTripTime > 0 || s.AckBitrate() > 0)
        line += "  rtt " + std::to_string(s.roundTripTime) + " ms  acked " + Rate(s.AckBitrate());
    return line;
}

std::string EventReporter::Tag() const {
    return m_config.destination > 0 ? "[" + std::to_string(m_config.destination) + "] " : std::string();
}

void EventReporter::Line(const std::string& text) {
    EndStatsLine();
    std::fprintf(m_err, "rtmpwriter: %s%s\n", Tag().c_str(), text.c_str());
    std::fflush(m_err);
}

void EventReporter::EmitJson(Json::Value v) {
    if (m_config.destination > 0) v["destination"] = m_config.destination;
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["emitUTF8"] = true;
    b["precision"] = 3;
    b["precisionType"] = "decimal";
    const std::string text = Json::writeString(b, v);
    std::fprintf(m_out, "%s\n", text.c_str());
    std::fflush(m_out);
}

void EventReporter::EndStatsLine() {
    if (m_statsLineOpen) {
        std::fputs("\n", m_err);
        m_statsLineOpen = false;
    }
}

void EventReporter::Info(const std::string& line) {
    if (!m_config.statusLines) return;
    Line(line);
}

void EventReporter::Started(const std::string& url, const std::string& video, const std::string& audio) {
    std::lock_guard<std::mutex> g(m_lock);
    if (m_config.json) {
        Json::Value v(Json::objectValue);
        v["event"] = "start";
        v["url"] = url;
        if (!video.empty()) v["video"] = video;
        if (!audio.empty()) v["audio"] = audio;
        EmitJson(v);
    }
    std::string line = "publishing to " + url;
    if (!video.empty()) line += "  video: " + video;
    if (!audio.empty()) line += "  audio: " + audio;
    Info(line);
}

void EventReporter::Status(int32_t status, const std::string& stream) {
    std::lock_guard<std::mutex> g(m_lock);
    if (m_config.json) {
        Json::Value v(Json::objectValue);
        v["event"] = "status";
        v["status"] = StatusName(status);
        v["code"] = status;
        v["stream"] = stream;
        EmitJson(v);
    }
    Info(std::string("status: ") + StatusName(status));
}

void EventReporter::Statistics(const RTMPStatistics& s, double seconds, const TunnelFigures& tunnel) {
    std::lock_guard<std::mutex> g(m_lock);
    if (m_config.json) {
        Json::Value v = StatisticsJson(s);
        v["event"] = "statistics";
        v["time"] = seconds;
        if (tunnel.on) {
            v["tunnelRequests"] = tunnel.requests;
            v["tunnelPollingInterval"] = tunnel.interval;
        }
        EmitJson(v);
    }
    if (!m_config.stats) return;
    std::string line = Tag() + StatisticsLine(s, seconds);
    if (tunnel.on)
        line += "  tunnel " + std::to_string(tunnel.requests) + " req  poll " + std::to_string(tunnel.interval);
    if (m_config.terminal) {
        std::fprintf(m_err, "\r%s\x1b[K", line.c_str());
        m_statsLineOpen = true;
    } else {
        std::fprintf(m_err, "%s\n", line.c_str());
    }
    std::fflush(m_err);
}

void EventReporter::Text(const std::string& category, const std::string& message) {
    std::lock_guard<std::mutex> g(m_lock);
    if (!m_config.json) return;
    Json::Value v(Json::objectValue);
    v["event"] = "text";
    v["category"] = category;
    v["message"] = message;
    EmitJson(v);
}

void EventReporter::Control(const std::string& command, bool ok, const std::string& detail) {
    std::lock_guard<std::mutex> g(m_lock);
    if (m_config.json) {
        Json::Value v(Json::objectValue);
        v["event"] = "control";
        v["command"] = command;
        v["result"] = ok ? "ok" : "error";
        if (!detail.empty()) v["message"] = detail;
        EmitJson(v);
    } else if (!ok) {
        // A bad control line does not stop the stream: say so once, on its own line.
        Line("control: " + detail);
    } else {
        Info("control: " + command + " sent");
    }
}

void EventReporter::Ended(int exitCode, double seconds) {
    std::lock_guard<std::mutex> g(m_lock);
    if (m_config.json) {
        Json::Value v(Json::objectValue);
        v["event"] = "end";
        v["exit"] = exitCode;
        v["time"] = seconds;
        EmitJson(v);
    }
    EndStatsLine();
    std::fflush(m_err);
}

void EventReporter::Error(const std::string& message) {
    std::lock_guard<std::mutex> g(m_lock);
    Line(message);
}

void EventReporter::Notice(const std::string& message) {
    std::lock_guard<std::mutex> g(m_lock);
    if (m_config.json) {
        Json::Value v(Json::objectValue);
        v["event"] = "notice";
        v["message"] = message;
        EmitJson(v);
    }
    Line(message);
}

}  // namespace app
