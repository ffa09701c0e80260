#include "apps/ui/Metrics.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>

namespace app::ui {
namespace {

// Whole numbers as integers (a scraper reads 5000000000 as well as 5e+09, a person better); others
// in the shortest text that reads back as the same double.
std::string Number(double v) {
    if (std::floor(v) == v && std::fabs(v) < 9e15) return std::to_string(static_cast<long long>(v));
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

class Writer {
public:
    void Family(const char* name, const char* type, const char* help) {
        m_name = name;
        m_text += std::string("# HELP ") + name + " " + help + "\n";
        m_text += std::string("# TYPE ") + name + " " + type + "\n";
    }
    void Sample(double value) { m_text += m_name + " " + Number(value) + "\n"; }
    void Sample(const char* label, const char* labelValue, double value) {
        m_text += m_name + "{" + label + "=\"" + labelValue + "\"} " + Number(value) + "\n";
    }
    std::string Take() { return std::move(m_text); }

private:
    std::string m_name;
    std::string m_text;
};

}  // namespace

std::string FormatMetrics(const RunSnapshot& s) {
    const RTMPStatistics& st = s.statistics;
    Writer w;
    w.Family("rtmpwriter_connected", "gauge", "Whether the writer is connected to the server (1) or not (0).");
    w.Sample(s.connected() ? 1 : 0);
    w.Family("rtmpwriter_connection_state", "gauge", "The connection state: 1 for the current one, 0 for the others.");
    const std::string state = s.connectionState();
    for (const char* name : kConnectionStates) w.Sample("state", name, state == name ? 1 : 0);
    w.Family("rtmpwriter_reconnects_total", "counter", "Times the writer started reconnecting after losing the server.");
    w.Sample(static_cast<double>(s.reconnects));
    w.Family("rtmpwriter_uptime_seconds", "gauge", "Seconds since the run started.");
    w.Sample(std::round(s.seconds * 1000) / 1000);

    w.Family("rtmpwriter_output_bitrate_bits_per_second", "gauge", "Bits per second sent to the server.");
    w.Sample(static_cast<double>(st.OutputBitrate()));
    w.Family("rtmpwriter_acknowledged_bitrate_bits_per_second", "gauge",
             "Bits per second the server's TCP acknowledged (0 without the packet capture).");
    w.Sample(static_cast<double>(st.AckBitrate()));
    w.Family("rtmpwriter_acknowledged_payload_bitrate_bits_per_second", "gauge",
             "Payload bits per second the server's TCP acknowledged (0 without the packet capture).");
    w.Sample(static_cast<double>(st.PayloadBitrate()));
    w.Family("rtmpwriter_server_acknowledged_bytes_per_second", "gauge",
             "Bytes per second the server acknowledged at the RTMP level.");
    w.Sample(st.serverAckRate);
    w.Family("rtmpwriter_round_trip_time_seconds", "gauge", "Round-trip time to the server (0 without the packet capture).");
    w.Sample(st.roundTripTime / 1000.0);
    w.Family("rtmpwriter_output_buffer_size_bytes", "gauge", "Size of the send buffer.");
    w.Sample(st.outputBufferSize);
    w.Family("rtmpwriter_output_buffer_fill_bytes", "gauge", "Bytes waiting in the send buffer.");
    w.Sample(st.outputBufferFillness);
    w.Family("rtmpwriter_input_bitrate_bits_per_second", "gauge", "Bits per second of each input stream.");
    w.Sample("kind", "video", st.videoBitrate);
    w.Sample("kind", "audio", st.audioBitrate);
    // INT32_MAX is the writer's "no figure yet": such a sample is left out.
    w.Family("rtmpwriter_buffered_packets", "gauge", "Packets of each kind waiting in the writer to be sent.");
    if (st.bufferedVideoPackets != INT32_MAX) w.Sample("kind", "video", st.bufferedVideoPackets);
    if (st.bufferedAudioPackets != INT32_MAX) w.Sample("kind", "audio", st.bufferedAudioPackets);

    w.Family("rtmpwriter_messages_sent_total", "counter", "RTMP messages of each kind sent to the server.");
    w.Sample("kind", "video", static_cast<double>(s.videoMessages));
    w.Sample("kind", "audio", static_cast<double>(s.audioMessages));
    w.Family("rtmpwriter_sent_bytes_total", "counter",
             "Bytes sent to the server, summed from the output bitrate of each statistics period.");
    w.Sample(static_cast<double>(s.bytesSent));
    w.Family("rtmpwriter_frames_sent_total", "counter", "Frames of each input handed to the writer.");
    if (s.video.present) w.Sample("kind", "video", static_cast<double>(s.video.unitsSent));
    if (s.audio.present) w.Sample("kind", "audio", static_cast<double>(s.audio.unitsSent));
    w.Family("rtmpwriter_frames_dropped_total", "counter",
             "Frames of each input that could not be handed to the writer (refused or flushed).");
    if (s.video.present) w.Sample("kind", "video", static_cast<double>(s.video.unitsDropped));
    if (s.audio.present) w.Sample("kind", "audio", static_cast<double>(s.audio.unitsDropped));
    return w.Take();
}

}  // namespace app::ui
