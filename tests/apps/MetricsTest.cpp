// /metrics: the run's figures in the Prometheus text format, checked against the text a scraper
// would receive, written out by hand.
#include <gtest/gtest.h>

#include <climits>

#include "apps/ui/Metrics.h"

namespace {

TEST(Metrics, EveryFamilyHasHelpTypeAndUnitsAndUnknownFiguresAreLeftOut) {
    app::RunSnapshot s;
    s.phase = app::RunPhase::Streaming;
    s.status = RTMP_STATUS_CONNECTED;
    s.seconds = 12.3456;
    s.statistics.outputBufferSize = 262144;
    s.statistics.outputBufferFillness = 1024;
    RTMPStatistics::Set64(s.statistics.outputBitrateLow, s.statistics.outputBitrateHigh, 5000000000);  // above 32 bits
    s.statistics.roundTripTime = 25;
    s.statistics.serverAckRate = 350000;
    s.statistics.bufferedAudioPackets = INT32_MAX;  // no figure yet
    s.statistics.bufferedVideoPackets = 3;
    s.statistics.audioBitrate = 128000;
    s.statistics.videoBitrate = 2800000;
    s.reconnects = 2;
    s.videoMessages = 250;
    s.audioMessages = 430;
    s.bytesSent = 4500000;
    s.video = {true, 300, 1};  // no audio input

    EXPECT_EQ(app::ui::FormatMetrics(s),
              "# HELP rtmpwriter_connected Whether the writer is connected to the server (1) or not (0).\n"
              "# TYPE rtmpwriter_connected gauge\n"
              "rtmpwriter_connected 1\n"
              "# HELP rtmpwriter_connection_state The connection state: 1 for the current one, 0 for the others.\n"
              "# TYPE rtmpwriter_connection_state gauge\n"
              "rtmpwriter_connection_state{state=\"held\"} 0\n"
              "rtmpwriter_connection_state{state=\"connecting\"} 0\n"
              "rtmpwriter_connection_state{state=\"connected\"} 1\n"
              "rtmpwriter_connection_state{state=\"reconnecting\"} 0\n"
              "rtmpwriter_connection_state{state=\"disconnected\"} 0\n"
              "# HELP rtmpwriter_reconnects_total Times the writer started reconnecting after losing the server.\n"
              "# TYPE rtmpwriter_reconnects_total counter\n"
              "rtmpwriter_reconnects_total 2\n"
              "# HELP rtmpwriter_uptime_seconds Seconds since the run started.\n"
              "# TYPE rtmpwriter_uptime_seconds gauge\n"
              "rtmpwriter_uptime_seconds 12.346\n"
              "# HELP rtmpwriter_output_bitrate_bits_per_second Bits per second sent to the server.\n"
              "# TYPE rtmpwriter_output_bitrate_bits_per_second gauge\n"
              "rtmpwriter_output_bitrate_bits_per_second 5000000000\n"
              "# HELP rtmpwriter_acknowledged_bitrate_bits_per_second Bits per second the server's TCP acknowledged (0 "
              "without the packet capture).\n"
              "# TYPE rtmpwriter_acknowledged_bitrate_bits_per_second gauge\n"
              "rtmpwriter_acknowledged_bitrate_bits_per_second 0\n"
              "# HELP rtmpwriter_acknowledged_payload_bitrate_bits_per_second Payload bits per second the server's TCP "
              "acknowledged (0 without the packet capture).\n"
              "# TYPE rtmpwriter_acknowledged_payload_bitrate_bits_per_second gauge\n"
              "rtmpwriter_acknowledged_payload_bitrate_bits_per_second 0\n"
              "# HELP rtmpwriter_server_acknowledged_bytes_per_second Bytes per second the server acknowledged at the "
              "RTMP level.\n"
              "# TYPE rtmpwriter_server_acknowledged_bytes_per_second gauge\n"
              "rtmpwriter_server_acknowledged_bytes_per_second 350000\n"
              "# HELP rtmpwriter_round_trip_time_seconds Round-trip time to the server (0 without the packet capture).\n"
              "# TYPE rtmpwriter_round_trip_time_seconds gauge\n"
              "rtmpwriter_round_trip_time_seconds 0.025\n"
              "# HELP rtmpwriter_output_buffer_size_bytes Size of the send buffer.\n"
              "# TYPE rtmpwriter_output_buffer_size_bytes gauge\n"
              "rtmpwriter_output_buffer_size_bytes 262144\n"
              "# HELP rtmpwriter_output_buffer_fill_bytes Bytes waiting in the send buffer.\n"
              "# TYPE rtmpwriter_output_buffer_fill_bytes gauge\n"
              "rtmpwriter_output_buffer_fill_bytes 1024\n"
              "# HELP rtmpwriter_input_bitrate_bits_per_second Bits per second of each input stream.\n"
              "# TYPE rtmpwriter_input_bitrate_bits_per_second gauge\n"
              "rtmpwriter_input_bitrate_bits_per_second{kind=\"video\"} 2800000\n"
              "rtmpwriter_input_bitrate_bits_per_second{kind=\"audio\"} 128000\n"
              "# HELP rtmpwriter_buffered_packets Packets of each kind waiting in the writer to be sent.\n"
              "# TYPE rtmpwriter_buffered_packets gauge\n"
              "rtmpwriter_buffered_packets{kind=\"video\"} 3\n"
              "# HELP rtmpwriter_messages_sent_total RTMP messages of each kind sent to the server.\n"
              "# TYPE rtmpwriter_messages_sent_total counter\n"
              "rtmpwriter_messages_sent_total{kind=\"video\"} 250\n"
              "rtmpwriter_messages_sent_total{kind=\"audio\"} 430\n"
              "# HELP rtmpwriter_sent_bytes_total Bytes sent to the server, summed from the output bitrate of each "
              "statistics period.\n"
              "# TYPE rtmpwriter_sent_bytes_total counter\n"
              "rtmpwriter_sent_bytes_total 4500000\n"
              "# HELP rtmpwriter_frames_sent_total Frames of each input handed to the writer.\n"
              "# TYPE rtmpwriter_frames_sent_total counter\n"
              "rtmpwriter_frames_sent_total{kind=\"video\"} 300\n"
              "# HELP rtmpwriter_frames_dropped_total Frames of each input that could not be handed to the writer "
              "(refused or flushed).\n"
              "# TYPE rtmpwriter_frames_dropped_total counter\n"
              "rtmpwriter_frames_dropped_total{kind=\"video\"} 1\n");
}

TEST(Metrics, TheStateFollowsThePhaseUntilTheWriterReports) {
    struct Row {
        app::RunPhase phase;
        std::optional<int32_t> status;
        const char* state;
    };
    for (const Row& r : {Row{app::RunPhase::Held, std::nullopt, "held"}, Row{app::RunPhase::Held, RTMP_STATUS_DISCONNECTED, "held"},
                         Row{app::RunPhase::Connecting, std::nullopt, "connecting"},
                         Row{app::RunPhase::Streaming, RTMP_STATUS_RECONNECTING, "reconnecting"},
                         Row{app::RunPhase::Streaming, RTMP_STATUS_DISCONNECTED, "disconnected"}}) {
        app::RunSnapshot s;
        s.phase = r.phase;
        s.status = r.status;
        const std::string text = app::ui::FormatMetrics(s);
        EXPECT_NE(text.find(std::string("rtmpwriter_connection_state{state=\"") + r.state + "\"} 1\n"), std::string::npos)
            << r.state;
    }
}

}  // namespace
