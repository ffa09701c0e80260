// The sink end to end against a private nginx-rtmp that records what it receives: real-time
// pacing, the recorded streams and their metadata, and the host events of a whole session.
#include <gtest/gtest.h>

#include "../sink/TestDriver.h"
#include "SinkIntegrationSupport.h"

using namespace std::chrono_literals;
using namespace sinkit;

namespace {

class SinkNginx : public SinkFixture {};

// The text between the first `open` and the following `close`; empty when absent.
std::string Section(const std::string& text, const std::string& open, const std::string& close) {
    const auto a = text.find(open);
    if (a == std::string::npos) return {};
    const auto b = text.find(close, a + open.size());
    return b == std::string::npos ? std::string{} : text.substr(a + open.size(), b - a - open.size());
}

TEST_F(SinkNginx, TwentySecondsOfMediaAreSentInTwentySecondsAndRecordedWhole) {
    qvtest::NginxServer nginx;
    std::string error;
    ASSERT_TRUE(nginx.start(&error)) << error;
    const auto video = sinktest::ReadH264(Fixture("rt20.h264"), 25, Fixture("rt20.packets.csv"));
    const auto audio = sinktest::ReadAdts(Fixture("aac20.aac"));
    ASSERT_EQ(video.size(), 500u);
    ASSERT_GE(audio.size(), 937u);

    HostObserver host;
    CRTMPSink sink(&host);
    ConnectionSettings s = Settings(nginx.url("rt20"));
    s.bufferMode = 0;  // the producer below runs ahead; wait mode holds it back
    int32_t connectMs = -1;
    ASSERT_EQ(sink.Init(s, &connectMs), 0);
    EXPECT_GE(connectMs, 0);
    ASSERT_TRUE(sink.AddTrack(s.videoFormat, TRACK_TYPE_VIDEO, 0) && sink.AddTrack(s.audioFormat, TRACK_TYPE_AUDIO, 0));
    const auto start = std::chrono::steady_clock::now();
    sinktest::DriveOptions o;
    o.realTime = false;
    const auto fed = sinktest::Drive(sink, video, audio, o);
    EXPECT_EQ(fed.refused, 0u);
    // The producer was held back by the paced sink, not allowed to run through 20 s at once.
    EXPECT_GT(fed.wallMs, 10000);
    // The stream description as the server took it from the metadata and sequence headers.
    const std::string stats = nginx.fetchStats().value_or("");
    const std::string videoMeta = Section(stats, "<video>", "</video>");
    const std::string audioMeta = Section(stats, "<audio>", "</audio>");
    EXPECT_EQ(Section(videoMeta, "<width>", "</width>"), "320") << stats;
    EXPECT_EQ(Section(videoMeta, "<height>", "</height>"), "240");
    EXPECT_EQ(Section(videoMeta, "<frame_rate>", "</frame_rate>"), "25");
    EXPECT_EQ(Section(videoMeta, "<codec>", "</codec>"), "H264");
    EXPECT_EQ(Section(audioMeta, "<codec>", "</codec>"), "AAC");
    EXPECT_EQ(Section(audioMeta, "<sample_rate>", "</sample_rate>"), "48000");
    EXPECT_EQ(Section(audioMeta, "<channels>", "</channels>"), "2");
    ASSERT_TRUE(WaitEmpty(sink, 40s));
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    sink.Flush(true, false);
    // The last unit leaves when the clock reaches the one before it: 20 s less a frame or so.
    EXPECT_NEAR(static_cast<double>(elapsed), 19960.0, 500.0);
    const uint64_t videoSent = sink.VideoMessagesSent();
    ASSERT_TRUE(sink.Close());
    ASSERT_TRUE(nginx.waitPublishing("live", "rt20", false, 10000ms));
    nginx.stop();

    const std::string rec = nginx.recordFile("rt20");
    auto probe = qvtest::ffprobeJson(rec);
    ASSERT_TRUE(probe) << rec;
    const Json::Value& streams = (*probe)["streams"];
    ASSERT_EQ(streams.size(), 2u) << probe->toStyledString();
    for (const auto& st : streams) {
        if (st["codec_type"].asString() == "video") {
            EXPECT_EQ(st["codec_name"].asString(), "h264");
            EXPECT_EQ(st["width"].asInt(), 320);
            EXPECT_EQ(st["height"].asInt(), 240);
            EXPECT_EQ(st["profile"].asString(), "Main");
        } else {
            EXPECT_EQ(st["codec_name"].asString(), "aac");
            EXPECT_EQ(st["sample_rate"].asString(), "48000");
            EXPECT_EQ(st["channels"].asInt(), 2);
        }
    }
    EXPECT_NEAR(std::stod((*probe)["format"]["duration"].asString()), 20.0, 0.3);

    const auto v = Packets(rec, "v:0");
    // Every access unit arrives but a trailing B frame, which a drain at the end gives up.
    EXPECT_GE(v.size(), 498u);
    EXPECT_LE(v.size(), 500u);
    EXPECT_EQ(v.size(), videoSent - 1);  // the sequence header is not a packet of its own
    int keys = 0;
    for (size_t i = 0; i < v.size(); ++i) {
        keys += v[i].key;
        EXPECT_GE(v[i].pts, v[i].dts) << i;
        if (i) {
            EXPECT_GT(v[i].dts, v[i - 1].dts) << i;
        }
    }
    EXPECT_EQ(keys, 10);  // one every 50 frames
    const auto a = Packets(rec, "a:0");
    EXPECT_GE(a.size(), audio.size() - 1);
    for (size_t i = 1; i < a.size(); ++i) EXPECT_GE(a[i].dts, a[i - 1].dts) << i;
    EXPECT_EQ(DecodeErrors(rec), "");

    EXPECT_EQ(host.Statuses(), (std::vector<int32_t>{0, 1}));
    uint64_t reported = 0;
    for (const auto& e : host.Events())
        if (e.code == EC_ZEPH_RTMP_WRITER_STATS) reported += static_cast<uint64_t>(e.stats.videoMessagesSent);
    // The statistics count every message sent up to the last period.
    EXPECT_GE(reported, videoSent - 60);
    EXPECT_LE(reported, videoSent);
}

}  // namespace
