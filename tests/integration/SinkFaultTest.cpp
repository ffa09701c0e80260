// The sink against network trouble, with the project's fault proxy between it and a private
// nginx: a link slower than the stream (drop and wait modes), a cut connection, a server that
// restarts, reconnection attempts running out, and a connection that stalls.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "../sink/FaultProxy.h"
#include "../sink/TestDriver.h"
#include "SinkIntegrationSupport.h"

using namespace std::chrono_literals;
using namespace sinkit;

namespace {

class SinkFault : public SinkFixture {
protected:
    // A private nginx with the fault proxy in front of it.
    bool StartProxied() {
        if (!nginx.start(&error)) return false;
        proxy = std::make_unique<sinktest::FaultProxy>(nginx.rtmpPort());
        return proxy->Start();
    }
    std::string ProxyUrl(const std::string& stream) { return qvtest::rtmpUrl("127.0.0.1", proxy->Port(), "live", stream); }
    // The stream ended: the recording's video packets, its decode checked clean.
    std::vector<PacketInfo> RecordedVideo(qvtest::NginxServer& server, const std::string& stream) {
        EXPECT_TRUE(server.waitPublishing("live", stream, false, 10000ms));
        server.stop();
        EXPECT_EQ(DecodeErrors(server.recordFile(stream)), "");
        return Packets(server.recordFile(stream), "v:0");
    }

    qvtest::NginxServer nginx;
    std::unique_ptr<sinktest::FaultProxy> proxy;
    std::string error;
};

TEST_F(SinkFault, ASlowLinkInDropModeDropsFramesByPolicyButNeverAKeyFrame) {
    ASSERT_TRUE(StartProxied()) << error;
    proxy->Throttle(1000000);
    const auto video = sinktest::ReadH264(Fixture("thr10.h264"), 30, Fixture("thr10.packets.csv"));
    int keys = 0;
    for (const auto& u : video) keys += u.key;
    ASSERT_EQ(keys, 6);
    keys *= 2;  // played twice

    CRTMPSink sink;
    ConnectionSettings s = Settings(ProxyUrl("thr"));
    s.bufferMode = 1;
    // Small transport buffers, so the backlog forms in the sink's queue where the policy acts.
    s.outputBufferSize = 65536;
    s.socketBufferSize = 32768;
    s.videoFormat = VideoFormat(1280, 720, 30);
    ASSERT_TRUE(InitWithTracks(sink, s, false));
    sinktest::DriveOptions o;
    o.audioTrack = -1;
    o.loops = 2;
    const auto fed = sinktest::Drive(sink, video, {}, o);
    EXPECT_EQ(fed.refused, 0u);
    proxy->Throttle(0);
    EXPECT_GT(sink.DroppedUnits(), 30u);
    ASSERT_TRUE(WaitEmpty(sink, 30s));
    sink.Flush(true, false);
    sink.Close();

    const auto v = RecordedVideo(nginx, "thr");
    int recordedKeys = 0;
    for (const auto& p : v) recordedKeys += p.key;
    EXPECT_EQ(recordedKeys, keys);
    // 2.7 Mbit/s through 1 Mbit/s: a good share of the frames had to go.
    EXPECT_LT(v.size(), 2 * video.size() - 60) << "nothing was dropped";
    EXPECT_GT(v.size(), 40u);
    for (size_t i = 1; i < v.size(); ++i) EXPECT_GT(v[i].dts, v[i - 1].dts) << i;
}

TEST_F(SinkFault, ASlowLinkInWaitModeHoldsTheProducerBackAndLosesNothing) {
    ASSERT_TRUE(StartProxied()) << error;
    proxy->Throttle(500000);
    const auto video = sinktest::ReadH264(Fixture("thr10.h264"), 30, Fixture("thr10.packets.csv"));

    CRTMPSink sink;
    ConnectionSettings s = Settings(ProxyUrl("thrwait"));
    s.bufferMode = 0;
    s.outputBufferSize = 65536;
    s.socketBufferSize = 32768;
    s.videoFormat = VideoFormat(1280, 720, 30);
    ASSERT_TRUE(InitWithTracks(sink, s, false));
    sinktest::DriveOptions o;
    o.audioTrack = -1;
    // The link opens up after a while; until then the queue fills and the producer waits.
    auto opener = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(9s);
        proxy->Throttle(0);
    });
    const auto fed = sinktest::Drive(sink, video, {}, o);
    opener.wait();
    EXPECT_GT(fed.totalWaitMs, 1500) << "the producer was never held back";
    EXPECT_EQ(sink.DroppedUnits(), 0u);
    EXPECT_EQ(fed.refused, 0u);
    ASSERT_TRUE(WaitEmpty(sink, 30s));
    sink.Flush(true, false);
    const uint64_t sent = sink.VideoMessagesSent();
    sink.Close();
    const auto v = RecordedVideo(nginx, "thrwait");
    // Nothing dropped: every access unit but the B frames a drain at the end gives up.
    EXPECT_GE(v.size(), video.size() - 3);
    EXPECT_EQ(v.size(), sent - 1);  // the sequence header is not a packet of its own
}

// Feeds rt20 in real time on its own thread until stopped.
class Producer {
public:
    Producer(CRTMPSink& sink) : m_sink(sink) {
        m_video = sinktest::ReadH264(Fixture("rt20.h264"), 25, Fixture("rt20.packets.csv"));
        m_audio = sinktest::ReadAdts(Fixture("aac20.aac"));
        m_run = std::async(std::launch::async, [this] {
            sinktest::DriveOptions o;
            o.stop = &m_stop;
            o.endOfStream = false;
            return sinktest::Drive(m_sink, m_video, m_audio, o);
        });
    }
    ~Producer() { Stop(); }
    sinktest::DriveResult Stop() {
        m_stop.Set();
        if (m_run.valid()) m_result = m_run.get();
        return m_result;
    }

private:
    CRTMPSink& m_sink;
    std::vector<sinktest::MediaUnit> m_video, m_audio;
    platform::CEvent m_stop{true, false};
    std::future<sinktest::DriveResult> m_run;
    sinktest::DriveResult m_result;
};

TEST_F(SinkFault, ACutConnectionIsReconnectedAndPublishingResumesAtAKeyFrame) {
    ASSERT_TRUE(StartProxied()) << error;
    HostObserver host;
    CRTMPSink sink(&host);
    ConnectionSettings s = Settings(ProxyUrl("cut"));
    s.reconnectAttempts = 3;
    s.reconnectInterval = 500;
    ASSERT_TRUE(InitWithTracks(sink, s));
    Producer producer(sink);
    ASSERT_TRUE(nginx.waitPublishing("live", "cut", true, 5000ms));
    std::this_thread::sleep_for(1500ms);  // some stream before the fault
    proxy->Cut();
    ASSERT_TRUE(host.WaitStatus(2, 1, 5s));
    ASSERT_TRUE(host.WaitStatus(0, 2, 10s)) << "no reconnection";
    ASSERT_TRUE(nginx.waitPublishing("live", "cut", true, 5000ms));
    std::this_thread::sleep_for(3s);  // published again for a while
    EXPECT_EQ(sink.GetSinkStatus(), BS::SINK_OK);
    producer.Stop();
    sink.Flush(false, true);
    sink.Close();
    EXPECT_EQ(host.Statuses(), (std::vector<int32_t>{0, 2, 0, 1}));
    EXPECT_EQ(proxy->Accepted(), 2);
    // The recording of the second publication starts at a key frame and decodes cleanly.
    const auto v = RecordedVideo(nginx, "cut");
    ASSERT_GT(v.size(), 25u);
    EXPECT_TRUE(v.front().key);
    EXPECT_LT(v.front().dts, 100);  // re-based to the start of the new publication
}

TEST_F(SinkFault, AServerRestartIsBridgedByReconnectionAttempts) {
    ASSERT_TRUE(StartProxied()) << error;
    auto& first = nginx;
    HostObserver host;
    CRTMPSink sink(&host);
    ConnectionSettings s = Settings(ProxyUrl("restart"));
    s.reconnectAttempts = -1;
    s.reconnectInterval = 300;
    ASSERT_TRUE(InitWithTracks(sink, s));
    Producer producer(sink);
    ASSERT_TRUE(first.waitPublishing("live", "restart", true, 5000ms));
    std::this_thread::sleep_for(1s);
    first.stop();
    ASSERT_TRUE(host.WaitStatus(2, 2, 10s));  // lost, then at least one failed attempt
    EXPECT_EQ(sink.GetSinkStatus(), BS::SINK_RECONNECTION);
    qvtest::NginxServer second;
    std::string error;
    ASSERT_TRUE(second.start(&error)) << error;
    proxy->SetTarget(second.rtmpPort());
    ASSERT_TRUE(host.WaitStatus(0, 2, 15s)) << "no reconnection to the restarted server";
    ASSERT_TRUE(second.waitPublishing("live", "restart", true, 5000ms));
    std::this_thread::sleep_for(2s);
    producer.Stop();
    sink.Flush(false, true);
    sink.Close();
    const auto v = RecordedVideo(second, "restart");
    ASSERT_GT(v.size(), 20u);
    EXPECT_TRUE(v.front().key);
    const auto statuses = host.Statuses();
    EXPECT_EQ(statuses.front(), 0);
    EXPECT_EQ(statuses.back(), 1);
}

TEST_F(SinkFault, WhenReconnectionAttemptsRunOutTheStatusIsDisconnected) {
    ASSERT_TRUE(StartProxied()) << error;
    HostObserver host;
    CRTMPSink sink(&host);
    ConnectionSettings s = Settings(ProxyUrl("giveup"));
    s.reconnectAttempts = 2;
    s.reconnectInterval = 200;
    ASSERT_TRUE(InitWithTracks(sink, s));
    Producer producer(sink);
    ASSERT_TRUE(nginx.waitPublishing("live", "giveup", true, 5000ms));
    proxy->SetTarget(0);  // every new connection fails
    proxy->Cut();
    ASSERT_TRUE(host.WaitStatus(1, 1, 15s));
    const auto statuses = host.Statuses();
    EXPECT_EQ(statuses.front(), 0);
    EXPECT_EQ(statuses.back(), 1);
    EXPECT_GE(statuses.size(), 3u);
    // The statistics that follow the status are zeroed.
    const auto after = host.WaitStatsAfterStatus(1, 5s);
    ASSERT_TRUE(after.has_value());
    EXPECT_EQ(after->code, EC_ZEPH_RTMP_WRITER_STATS);
    EXPECT_EQ(after->stats.videoMessagesSent, 0);
    EXPECT_EQ(after->stats.OutputBitrate(), 0);
    // A lost connection never stops the producer: input is taken (and discarded) meanwhile.
    const auto fed = producer.Stop();
    EXPECT_EQ(fed.refused, 0u);
    EXPECT_EQ(proxy->Accepted(), 3);  // the first connection and two attempts
    sink.Close();
}

TEST_F(SinkFault, AStalledConnectionIsNoticedThroughTheSendTimeOut) {
    ASSERT_TRUE(StartProxied()) << error;
    HostObserver host;
    CRTMPSink sink(&host);
    ConnectionSettings s = Settings(ProxyUrl("stall"));
    s.reconnectAttempts = -1;
    s.reconnectInterval = 500;
    s.sendTimeout = 1000;
    s.outputBufferSize = 65536;
    ASSERT_TRUE(InitWithTracks(sink, s));
    Producer producer(sink);
    ASSERT_TRUE(nginx.waitPublishing("live", "stall", true, 5000ms));
    std::this_thread::sleep_for(1500ms);
    proxy->Stall(true);
    // Nothing is closed: only the send time-out can tell.
    ASSERT_TRUE(host.WaitStatus(2, 1, 20s)) << "the stall was not detected";
    proxy->Stall(false);
    ASSERT_TRUE(host.WaitStatus(0, 2, 20s)) << "no reconnection after the stall";
    producer.Stop();
    sink.Close();
}

}  // namespace
