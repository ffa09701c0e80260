// The sink end to end against a private nginx-rtmp that records what it receives: real-time
// pacing, the recorded streams and their metadata, and the host events of a whole session.
#include "SinkIntegrationSupport.h"

using namespace sinkit;

class SinkNginx : public SinkFixture {};

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
    const auto fed = sinktest::Drive(sink, video, audio, {.realTime = false});
    EXPECT_EQ(fed.refused, 0u);
    // The producer was held back by the paced sink, not allowed to run through 20 s at once.
    EXPECT_GT(fed.wallMs, 10000);
    // The stream description as the server took it from the metadata and sequence headers.
    const std::string stats = nginx.fetchStats().value_or("");
    auto el = [](std::string_view xml, const char* tag) { return std::string(qvtest::xmlElement(xml, tag).value_or("")); };
    const std::string vm = el(el(stats, "meta"), "video"), am = el(el(stats, "meta"), "audio");
    EXPECT_EQ(el(vm, "width") + "x" + el(vm, "height") + "@" + el(vm, "frame_rate") + " " + el(vm, "codec"), "320x240@25 H264") << stats;
    EXPECT_EQ(el(am, "codec") + " " + el(am, "sample_rate") + " Hz " + el(am, "channels") + " ch", "AAC 48000 Hz 2 ch");
    ASSERT_TRUE(WaitEmpty(sink, 40s));
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    sink.Flush(true, false);
    // The last unit leaves when the clock reaches the one before it: 20 s less a frame or so, and
    // later only as far as the machine's load delays it.
    EXPECT_GE(elapsed.count(), 19460);
    const uint64_t videoSent = sink.VideoMessagesSent();
    ASSERT_TRUE(sink.Close());

    const auto v = RecordedVideo(nginx, "rt20");
    const std::string rec = nginx.recordFile("rt20");
    auto probe = qvtest::ffprobeJson(rec);
    ASSERT_TRUE(probe) << rec;
    std::vector<std::string> streams;
    for (const auto& st : (*probe)["streams"])
        streams.push_back(st["codec_name"].asString() + " " + st["profile"].asString() + " " +
                          (st["codec_type"] == "video" ? std::to_string(st["width"].asInt()) + "x" + std::to_string(st["height"].asInt())
                                                       : st["sample_rate"].asString() + " Hz " + std::to_string(st["channels"].asInt()) + " ch"));
    std::ranges::sort(streams);
    EXPECT_EQ(streams, (std::vector<std::string>{"aac LC 48000 Hz 2 ch", "h264 Main 320x240"})) << probe->toStyledString();
    EXPECT_NEAR(std::stod((*probe)["format"]["duration"].asString()), 20.0, 0.3);
    // Every access unit arrives but a trailing B frame, which a drain at the end gives up.
    EXPECT_GE(v.size(), 498u);
    EXPECT_LE(v.size(), 500u);
    EXPECT_EQ(v.size(), videoSent - 1);  // the sequence header is not a packet of its own
    int keys = 0;
    for (size_t i = 0; i < v.size(); ++i) {
        keys += v[i].key;
        EXPECT_GE(v[i].pts, v[i].dts) << i;
        EXPECT_GT(v[i].dts, i ? v[i - 1].dts : -1) << i;
    }
    EXPECT_EQ(keys, 10);  // one every 50 frames
    const auto a = Packets(rec, "a:0");
    EXPECT_GE(a.size(), audio.size() - 1);
    for (size_t i = 1; i < a.size(); ++i) EXPECT_GE(a[i].dts, a[i - 1].dts) << i;

    EXPECT_EQ(host.Statuses(), (std::vector<int32_t>{0, 1}));
    uint64_t reported = 0;
    for (const auto& e : host.Events())
        if (e.code == EC_ZEPH_RTMP_WRITER_STATS) reported += static_cast<uint64_t>(e.stats.videoMessagesSent);
    // The statistics count every message sent up to the last period.
    EXPECT_GE(reported, videoSent - 60);
    EXPECT_LE(reported, videoSent);
}
