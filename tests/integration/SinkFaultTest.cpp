// The sink against network trouble, with the project's fault proxy between it and a private
// nginx: a link slower than the stream (drop and wait modes), and one publication through a cut
// connection, a stalled one, a server restart and reconnection attempts running out.
#include <future>

#include "../sink/FaultProxy.h"
#include "SinkIntegrationSupport.h"

using namespace sinkit;

class SinkFault : public SinkFixture {
protected:
    void SetUp() override {
        SinkFixture::SetUp();
        ASSERT_TRUE(nginx.start(&error)) << error;
        proxy.SetTarget(nginx.rtmpPort());
        ASSERT_TRUE(proxy.Start());
    }
    std::string ProxyUrl(const std::string& stream) { return qvtest::rtmpUrl("127.0.0.1", proxy.Port(), "live", stream); }

    qvtest::NginxServer nginx;
    sinktest::FaultProxy proxy{0};
    std::string error;
};

TEST_F(SinkFault, ASlowLinkDropsFramesButNoKeyFrameInDropModeAndHoldsTheProducerBackInWaitMode) {
    // x264's B-pyramid: the middle B picture of each run is a reference for the two beside it.
    const auto video = sinktest::ReadH264(Fixture("high720.h264"), 30, Fixture("high720.packets.csv"));
    ASSERT_TRUE(platform::settings::WriteDword(platform::settings::Scope::User, KEY_RTMPSINK, "TimestampModel", 2));
    ASSERT_EQ(std::ranges::count_if(video, [](const auto& u) { return u.key; }), 6);
    for (const int32_t mode : {1, 0}) {  // drop, then wait
        const std::string stream = mode ? "drop" : "wait";
        SCOPED_TRACE(stream);
        proxy.Throttle(mode ? 1000000 : 500000);  // against 2.7 Mbit/s of video
        CRTMPSink sink;
        ConnectionSettings s = Settings(ProxyUrl(stream), 1280, 720, 30);
        s.bufferMode = mode;
        // Small transport buffers, so the backlog forms in the sink's queue where the mode acts.
        s.outputBufferSize = 65536;
        s.socketBufferSize = 32768;
        ASSERT_TRUE(InitWithTracks(sink, s, false));
        const int loops = mode ? 2 : 1;
        // In wait mode the link opens up after a while; until then the queue fills and the producer waits.
        auto opener = std::async(std::launch::async, [&] {
            if (mode) return;
            std::this_thread::sleep_for(9s);
            proxy.Throttle(0);
        });
        const auto fed = sinktest::Drive(sink, video, {}, {.audioTrack = -1, .loops = static_cast<double>(loops)});
        opener.wait();
        proxy.Throttle(0);
        EXPECT_EQ(fed.refused, 0u);
        ASSERT_TRUE(WaitEmpty(sink, mode ? 5s : 30s)) << "the backlog outlasts the slow link";
        sink.Flush(true, false);
        const uint64_t sent = sink.VideoMessagesSent(), dropped = sink.DroppedUnits();
        sink.Close();
        const auto v = RecordedVideo(nginx, stream);
        EXPECT_EQ(v.size(), sent - 1);  // the sequence header is not a packet of its own
        EXPECT_EQ(std::ranges::count_if(v, [](const auto& p) { return p.key; }), 6 * loops);
        for (size_t i = 1; i < v.size(); ++i) EXPECT_GT(v[i].dts, v[i - 1].dts) << i;
        if (mode) {
            EXPECT_GT(dropped, 30u);
            EXPECT_LT(v.size(), 2 * video.size() - 60) << "nothing was dropped";
            EXPECT_GT(v.size(), 40u);
        } else {
            EXPECT_GT(fed.totalWaitMs, 1500) << "the producer was never held back";
            EXPECT_EQ(dropped, 0u);
            EXPECT_GE(v.size(), video.size() - 3);  // all but the B frames a drain at the end gives up
        }
    }
}

// The attempts start over after each reconnection; a stall closes nothing, only the send
// time-out tells.
TEST_F(SinkFault, StalledCutAndRestartedConnectionsAreReconnectedUntilTheAttemptsRunOut) {
    HostObserver host;
    CRTMPSink sink(&host);
    ConnectionSettings s = Settings(ProxyUrl("lost"));
    s.reconnectAttempts = 5;
    s.reconnectInterval = 300;
    s.sendTimeout = 1000;
    s.outputBufferSize = 65536;
    ASSERT_TRUE(InitWithTracks(sink, s));
    Feeder feeder(sink, "rt20", "aac20.aac", {.endOfStream = false, .loops = 3});
    // A second of stream on the server before each fault.
    auto streaming = [&](qvtest::NginxServer& server) {
        const uint64_t from = sink.VideoMessagesSent();
        return server.waitPublishing("live", "lost", true, 5s) && WaitUntil([&] { return sink.VideoMessagesSent() >= from + 25; }, 10s);
    };
    ASSERT_TRUE(streaming(nginx));
    proxy.Stall(true);
    ASSERT_TRUE(host.WaitStatus(2, 1, 20s)) << "the stall was not detected";
    proxy.Stall(false);
    ASSERT_TRUE(host.WaitStatus(0, 2, 20s)) << "no reconnection after the stall";

    ASSERT_TRUE(streaming(nginx));
    size_t mark = host.Events().size();
    int accepted = proxy.Accepted();
    proxy.Cut();
    ASSERT_TRUE(host.WaitStatus(0, 1, 10s, mark)) << "no reconnection after the cut";
    EXPECT_EQ(host.Statuses(mark), (std::vector<int32_t>{2, 0}));
    EXPECT_EQ(proxy.Accepted() - accepted, 1);

    ASSERT_TRUE(streaming(nginx));
    EXPECT_EQ(sink.GetSinkStatus(), BS::SINK_OK);  // only once the reconnection has settled
    qvtest::NginxServer second;
    ASSERT_TRUE(second.start(&error)) << error;
    mark = host.Events().size();
    nginx.stop();
    ASSERT_TRUE(host.WaitStatus(2, 2, 10s, mark));  // lost, then a failed attempt
    EXPECT_EQ(sink.GetSinkStatus(), BS::SINK_RECONNECTION);
    proxy.SetTarget(second.rtmpPort());
    ASSERT_TRUE(host.WaitStatus(0, 1, 15s, mark)) << "no reconnection to the restarted server";
    ASSERT_TRUE(streaming(second));
    mark = host.Events().size();
    accepted = proxy.Accepted();
    proxy.SetTarget(0);  // every new connection fails
    proxy.Cut();
    ASSERT_TRUE(host.WaitStatus(1, 1, 15s, mark)) << "the attempts never ran out";
    EXPECT_EQ(proxy.Accepted() - accepted, s.reconnectAttempts);
    EXPECT_EQ(host.Statuses(mark), (std::vector<int32_t>{2, 2, 2, 2, 2, 1}));  // lost, four failed attempts, the last
    std::optional<HostEvent> after;  // the statistics that follow the status are zeroed
    ASSERT_TRUE(WaitUntil([&] {
        const auto ev = host.Events(mark);
        const auto it = std::find_if(std::ranges::find_if(ev, [](const HostEvent& e) { return e.Is(1); }), ev.end(),
                                     [](const HostEvent& e) { return e.code != EC_ZEPH_RTMP_WRITER_STATUS; });
        return it != ev.end() && (after = *it).has_value();
    }, 5s));
    EXPECT_EQ(after->stats.videoMessagesSent, 0);
    EXPECT_EQ(after->stats.OutputBitrate(), 0);
    // A lost connection never stops the producer: input is taken (and discarded) meanwhile.
    EXPECT_EQ(feeder.Stop().refused, 0u);
    sink.Close();
    // The last publication on each server started over at a key frame, re-based to its start.
    for (auto* server : {&nginx, &second}) {
        const auto v = RecordedVideo(*server, "lost");
        const auto a = Packets(server->recordFile("lost"), "a:0");
        ASSERT_GT(v.size(), 20u);
        ASSERT_GT(a.size(), 20u);
        EXPECT_TRUE(v.front().key);
        EXPECT_LT(v.front().dts, 100);
        // Audio starts with the key frame (within one 21.3 ms AAC frame) and neither track has a
        // hole or a burst: no step between packets is longer than two frames.
        EXPECT_LE(std::abs(a.front().dts - v.front().dts), 22) << a.front().dts << " " << v.front().dts;
        for (const auto* p : {&v, &a})
            for (size_t i = 1; i < p->size(); ++i)
                EXPECT_LE((*p)[i].dts - (*p)[i - 1].dts, p == &v ? 80 : 43) << (p == &v ? "video " : "audio ") << i;
    }
}
