// End of stream: the units a parser still holds for look-ahead, the closing flush with send, and
// a flush that meets the multiplex thread in the middle of a pass. Every unit must leave once,
// in decoding order across both tracks, with the time it was queued with.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "SinkTestSupport.h"

using namespace sinktest;
using namespace std::chrono_literals;

namespace {

// Keeps the newest `hold` units back until it is drained, as the H.264 parser keeps the last
// access units until it has seen what follows them.
class HoldBackParser : public PassThroughParser {
public:
    explicit HoldBackParser(int32_t hold) : m_hold(hold) {}
    bool GetChunk(BS::data_t** out, int32_t flush) override {
        if (!flush && GetQueuedCount() <= m_hold) return false;
        return PassThroughParser::GetChunk(out, flush);
    }

private:
    int32_t m_hold;
};

class HoldBackSink : public TestSink {
public:
    using TestSink::TestSink;
    std::unique_ptr<BS::CBaseParser> CreateParser(int32_t type) override {
        if (type != TRACK_TYPE_VIDEO) return TestSink::CreateParser(type);
        auto p = std::make_unique<HoldBackParser>(2);
        p->Init(1 << 16, false);
        return p;
    }
};

// Tags: video units carry 1..n, audio units 101..; times of the fixture-like 25 fps video and
// 48 kHz AAC frames.
int64_t VideoTime(int i) { return i * 40; }
int64_t AudioTime(int i) { return (i * 1024 * 1000 + 24000) / 48000; }

// Every unit of both tracks once, and the whole stream in decoding order (on equal times the
// lower track first).
void ExpectCompleteAndOrdered(const std::vector<Delivered>& media, int videoUnits, int audioUnits) {
    std::vector<int> videoSeen, audioSeen;
    for (size_t i = 0; i < media.size(); ++i) {
        const Delivered& d = media[i];
        if (i > 0) {
            const Delivered& p = media[i - 1];
            EXPECT_TRUE(p.dts < d.dts || (p.dts == d.dts && p.type >= d.type))
                << "message " << i << " (type " << d.type << ", dts " << d.dts << ") after (type " << p.type
                << ", dts " << p.dts << ")";
        }
        if (d.type == 9) {
            EXPECT_EQ(d.dts, VideoTime(d.firstByte - 1)) << "video unit " << int{d.firstByte};
            EXPECT_EQ(d.pts, d.dts);
            videoSeen.push_back(d.firstByte);
        } else {
            EXPECT_EQ(d.dts, AudioTime(d.firstByte - 101)) << "audio frame " << int{d.firstByte};
            audioSeen.push_back(d.firstByte);
        }
    }
    ASSERT_EQ(videoSeen.size(), static_cast<size_t>(videoUnits));
    ASSERT_EQ(audioSeen.size(), static_cast<size_t>(audioUnits));
    for (int i = 0; i < videoUnits; ++i) EXPECT_EQ(videoSeen[static_cast<size_t>(i)], i + 1);
    for (int i = 0; i < audioUnits; ++i) EXPECT_EQ(audioSeen[static_cast<size_t>(i)], i + 101);
}

TEST(SinkEndOfStream, UnitsHeldByTheParserLeaveBeforeLaterUnitsOfTheOtherTrack) {
    HoldBackSink sink;
    ASSERT_TRUE(sink.AddTrack(VideoFormat(), TRACK_TYPE_VIDEO, 0));
    ASSERT_TRUE(sink.AddTrack(AudioFormat(), TRACK_TYPE_AUDIO, 0));
    sink.SetStreamingForTests(true);
    sink.SetNoWaitForTests(true);
    // A live source: both tracks fed by time, the interleaver running between the samples. The
    // video input ends at 200 ms (its last two units still in the parser), the audio input goes
    // on to 234 ms before it ends too.
    constexpr int kVideo = 6, kAudio = 11;
    int v = 0, a = 0;
    while (v < kVideo || a < kAudio) {
        const bool takeVideo = v < kVideo && (a >= kAudio || VideoTime(v) <= AudioTime(a));
        if (takeVideo) {
            ASSERT_TRUE(sink.PutData(Unit(VideoTime(v), v == 0 ? FRAME_I : FRAME_P, v == 0,
                                          static_cast<uint8_t>(v + 1)), 0, true));
            if (++v == kVideo) sink.SetEndOfStream(0);
        } else {
            ASSERT_TRUE(sink.PutData(Unit(AudioTime(a), FRAME_UNKNOWN, false, static_cast<uint8_t>(a + 101)), 1, true));
            ++a;
        }
        sink.Interleave();
    }
    sink.SetEndOfStream(1);
    EXPECT_TRUE(sink.Flush(true, true));
    ExpectCompleteAndOrdered(sink.Media(), kVideo, kAudio);
}

// The first media message is kept in flight (bounded) until another one has been handed over,
// so a second thread sending beside the multiplex thread shows as a message overtaking it.
class InFlightSink : public TestSink {
public:
    using TestSink::TestSink;
    bool ConnectClient(const ConnectionSettings&, bool) override { return true; }
    void DeliverMedia(BS::data_t* unit, int32_t messageType) override {
        bool first = false;
        {
            std::unique_lock<std::mutex> g(m_lock);
            if (!m_firstTaken) {
                m_firstTaken = first = true;
                m_cv.notify_all();
                m_cv.wait_for(g, 400ms, [&] { return m_others > 0; });
            }
        }
        TestSink::DeliverMedia(unit, messageType);
        if (!first) {
            std::lock_guard<std::mutex> g(m_lock);
            ++m_others;
            m_cv.notify_all();
        }
    }
    bool WaitFirstInFlight(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> g(m_lock);
        return m_cv.wait_for(g, timeout, [&] { return m_firstTaken; });
    }

private:
    std::mutex m_lock;
    std::condition_variable m_cv;
    bool m_firstTaken = false;
    int m_others = 0;
};

class SinkEndOfStreamConnected : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qv-sinkeos-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        setenv("QV_SETTINGS_USER", (m_dir + "/user.json").c_str(), 1);
        setenv("QV_SETTINGS_MACHINE", (m_dir + "/machine.json").c_str(), 1);
    }
    void TearDown() override {
        std::remove((m_dir + "/user.json").c_str());
        std::remove((m_dir + "/machine.json").c_str());
        rmdir(m_dir.c_str());
    }
    std::string m_dir;
};

TEST_F(SinkEndOfStreamConnected, ClosingFlushWaitsForThePassOfTheMultiplexThread) {
    InFlightSink sink;
    ConnectionSettings s;
    s.url = "rtmp://127.0.0.1/live";
    s.host = "127.0.0.1";
    s.app = "live";
    s.streamName = "eos";
    s.bufferMode = CRTMPSink::BUFFER_WAIT;
    ASSERT_EQ(sink.Init(s, nullptr), 0);
    ASSERT_TRUE(sink.AddTrack(VideoFormat(), TRACK_TYPE_VIDEO, 0));
    ASSERT_TRUE(sink.AddTrack(AudioFormat(), TRACK_TYPE_AUDIO, 0));
    // The whole stream at once, then end of stream at once: the multiplex thread takes the
    // first unit while the closing flush sends the rest.
    constexpr int kVideo = 25, kAudio = 47;
    int v = 0, a = 0;
    while (v < kVideo || a < kAudio) {
        const bool takeVideo = v < kVideo && (a >= kAudio || VideoTime(v) <= AudioTime(a));
        if (takeVideo) {
            ASSERT_TRUE(sink.PutData(Unit(VideoTime(v), v == 0 ? FRAME_I : FRAME_P, v == 0,
                                          static_cast<uint8_t>(v + 1)), 0, true));
            ++v;
        } else {
            ASSERT_TRUE(sink.PutData(Unit(AudioTime(a), FRAME_UNKNOWN, false, static_cast<uint8_t>(a + 101)), 1, true));
            ++a;
        }
    }
    ASSERT_TRUE(sink.WaitFirstInFlight(5s));
    sink.SetEndOfStream(0);
    sink.SetEndOfStream(1);
    EXPECT_TRUE(sink.Flush(true, true));
    // The flush returns only after the last unit has been handed over.
    EXPECT_EQ(sink.GetQueueSize(0), 0u);
    EXPECT_EQ(sink.GetQueueSize(1), 0u);
    ExpectCompleteAndOrdered(sink.Media(), kVideo, kAudio);
    sink.connected = false;
    sink.Close();
}

}  // namespace
