// The sink's queues: refusals, the bitrate figure, dropping and back-pressure, decode-time
// order across tracks, re-basing after a reconnection, pacing, end of stream, the sink clock.
#include <future>
#include <thread>

#include "SinkTestSupport.h"
#include "platform/Clock.h"
#include "sink/BaseTimer.h"

using namespace sinktest;
using namespace std::chrono_literals;

namespace {

class SinkQueue : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sink.AddTrack(Format(true), TRACK_TYPE_VIDEO, 0));
        ASSERT_TRUE(sink.AddTrack(Format(false), TRACK_TYPE_AUDIO, 0));
        sink.SetStreamingForTests(true);
    }
    void Put(int32_t track, int64_t dts, int32_t type = FRAME_P, bool config = false, uint8_t tag = 0) {
        ASSERT_TRUE(sink.PutData(Unit(dts, type, config, tag), track, true));
    }
    void SendAll() {
        sink.SetNoWaitForTests(true);
        sink.SetEndOfStream(0);
        sink.SetEndOfStream(1);
        sink.Interleave();
    }
    std::vector<std::pair<int32_t, int64_t>> Sent() {
        std::vector<std::pair<int32_t, int64_t>> out;
        for (const auto& d : sink.media) out.emplace_back(d.type, d.dts);
        return out;
    }
    TestSink sink;
};

TEST_F(SinkQueue, RefusalsFreeOwnedSamplesOnlyAndReconnectingSwallowsInput) {
    TestSink idle;
    ASSERT_TRUE(idle.AddTrack(Format(true), TRACK_TYPE_VIDEO, 0));
    EXPECT_FALSE(idle.PutData(Unit(0), 0, true));  // not streaming (ASan sees a leak if not freed)
    EXPECT_FALSE(sink.PutData(nullptr, 0, true));
    EXPECT_FALSE(sink.PutData(Unit(0), 2, true));
    BS::DataPtr mine(Unit(0));
    EXPECT_FALSE(sink.PutData(mine.get(), -1, false));
    EXPECT_TRUE(sink.PutData(mine.get(), 0, false));
    sink.SetReconnectingForTests(true);
    EXPECT_TRUE(sink.PutData(Unit(40), 0, true));
    EXPECT_EQ(sink.GetQueueSize(0), 1u);
}

TEST_F(SinkQueue, BitrateIsFirstComputedAtTheUnitThatReachesOneSecondInBits) {
    RTMPStatistics st;
    for (int64_t t = 0; t < 1000; t += 100) ASSERT_TRUE(sink.PutData(Unit(t, FRAME_P, false, 0, 100), 0, true));
    ASSERT_TRUE(sink.GetStatistics(&st));
    EXPECT_EQ(st.videoBitrate, 0);
    ASSERT_TRUE(sink.PutData(Unit(1000, FRAME_P, false, 0, 100), 0, true));
    ASSERT_TRUE(sink.GetStatistics(&st));
    EXPECT_EQ(st.videoBitrate, 8800);  // 11 x 100 bytes over 1000 ms
    for (int64_t t = 1100; t <= 2000; t += 100) ASSERT_TRUE(sink.PutData(Unit(t, FRAME_P, false, 0, 200), 0, true));
    ASSERT_TRUE(sink.GetStatistics(&st));
    EXPECT_EQ(st.videoBitrate, 16000);  // only what came after: 10 x 200 bytes
    EXPECT_EQ(st.audioBitrate, 0);
}

TEST_F(SinkQueue, DropModeAt250DropsPAndBButNotConfigUntilFiftyAreGoneUpToAKeyFrame) {
    // I at 0, 30 and 61; a config P at 5 and an unknown-type unit at 6.
    for (int i = 0; i < 250; ++i) {
        int32_t type = (i == 0 || i == 30 || i == 61) ? FRAME_I : i > 61 || i % 2 ? FRAME_P : FRAME_B;
        Put(0, i * 40, i == 6 ? FRAME_UNKNOWN : type, i == 5, static_cast<uint8_t>(i));
    }
    EXPECT_TRUE(sink.WaitForTrack(0, nullptr));
    EXPECT_EQ(sink.GetBufferMode(), CRTMPSink::BUFFER_DROP);
    ASSERT_EQ(sink.GetQueueSize(0), 193u);  // 27 of 1..29, all of 31..60
    SendAll();
    const auto tags = sink.Tags();
    ASSERT_EQ(tags.size(), 193u);
    EXPECT_EQ(std::vector<uint8_t>(tags.begin(), tags.begin() + 6), (std::vector<uint8_t>{0, 5, 6, 30, 61, 62}));
}

TEST(SinkWait, WaitModeHoldsTheProducerWithoutDroppingUntilStoppedOrDrained) {
    TestSink sink;
    ASSERT_TRUE(sink.AddTrack(Format(true), TRACK_TYPE_VIDEO, 0));
    sink.SetStreamingForTests(true, CRTMPSink::BUFFER_WAIT);
    for (int i = 0; i < 151; ++i) ASSERT_TRUE(sink.PutData(Unit(i * 40, FRAME_B), 0, true));
    platform::CEvent stop(true, false);
    auto blocked = std::async(std::launch::async, [&] { return sink.WaitForTrack(0, &stop); });
    EXPECT_EQ(blocked.wait_for(100ms), std::future_status::timeout);
    EXPECT_EQ(sink.GetQueueSize(0), 151u);
    stop.Set();
    ASSERT_EQ(blocked.wait_for(2s), std::future_status::ready);
    stop.Reset();
    auto second = std::async(std::launch::async, [&] { return sink.WaitForTrack(0, &stop); });
    EXPECT_TRUE(sink.Flush(true, false));
    ASSERT_EQ(second.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(sink.media.size(), 151u);
}

TEST_F(SinkQueue, UnitsLeaveInDecodeTimeOrderAsTheirMessageTypeAndTheLowerTrackWinsATie) {
    sink.SetNoWaitForTests(true);
    for (int64_t t : {0, 40, 80}) Put(0, t);
    for (int64_t t : {0, 23, 46, 69, 92}) Put(1, t);
    sink.Interleave();
    // Video ran dry after 80: audio at 92 waits until video ends.
    EXPECT_EQ(Sent(), (std::vector<std::pair<int32_t, int64_t>>{{9, 0}, {8, 0}, {8, 23}, {9, 40}, {8, 46}, {8, 69}, {9, 80}}));
    sink.SetEndOfStream(0);
    sink.Interleave();
    EXPECT_EQ(Sent().back(), (std::pair<int32_t, int64_t>{8, 92}));
}

TEST_F(SinkQueue, AfterAReconnectionTheStreamRestartsAtTheFirstConfigUnitRebasedToZero) {
    sink.SetNoWaitForTests(true);
    sink.SimulateReconnectedForTests();
    // No video config yet: video is trimmed, audio keeps only its newest config unit.
    Put(0, 1000);
    for (int64_t t : {1000, 1010, 1020, 1030, 1050}) Put(1, t, FRAME_P, t == 1010 || t == 1030, static_cast<uint8_t>(t - 1000));
    sink.Interleave();
    EXPECT_TRUE(sink.media.empty());
    EXPECT_EQ(sink.GetQueueSize(1), 1u);
    Put(0, 1040, FRAME_P, true, 7);
    Put(0, 1040, FRAME_I);
    Put(0, 1080);
    for (int64_t t : {1043, 1066, 1089}) Put(1, t);
    SendAll();
    EXPECT_EQ(Sent(), (std::vector<std::pair<int32_t, int64_t>>{{8, -10}, {9, 0}, {9, 0}, {8, 3}, {8, 26}, {9, 40}, {8, 49}}));
    EXPECT_EQ(sink.Tags()[0], 30);
    EXPECT_EQ(sink.Tags()[1], 7);
}

TEST_F(SinkQueue, EachUnitWaitsUntilTheClockHasReachedThePreviousOne) {
    sink.SetEndOfStream(1);
    for (int64_t t : {0, 100, 200, 300}) Put(0, t);
    sink.SetEndOfStream(0);
    sink.Interleave();
    const auto media = sink.media;
    ASSERT_EQ(media.size(), 4u);
    for (size_t k = 1; k < media.size(); ++k) {  // 1 ms slack: the first time is taken just before
        EXPECT_GE(media[k].clock - media[0].clock, media[k - 1].dts - 1) << k;
        EXPECT_LT(media[k].clock - media[0].clock, media[k - 1].dts + 500) << k;
    }
}

// Keeps the newest two units back until drained, as the H.264 parser holds its look-ahead.
class HoldBackSink : public TestSink {
    struct Parser : PassThroughParser {
        bool GetChunk(BS::data_t** out, int32_t flush) override {
            return (flush || GetQueuedCount() > 2) && PassThroughParser::GetChunk(out, flush);
        }
    };
    std::unique_ptr<BS::CBaseParser> CreateParser(int32_t type) override {
        if (type != TRACK_TYPE_VIDEO) return TestSink::CreateParser(type);
        auto p = std::make_unique<Parser>();
        p->Init(1 << 16, false);
        return p;
    }
};

TEST(SinkEndOfStream, UnitsHeldByTheParserLeaveBeforeLaterUnitsOfTheOtherTrack) {
    HoldBackSink sink;
    ASSERT_TRUE(sink.AddTrack(Format(true), TRACK_TYPE_VIDEO, 0));
    ASSERT_TRUE(sink.AddTrack(Format(false), TRACK_TYPE_AUDIO, 0));
    sink.SetStreamingForTests(true);
    sink.SetNoWaitForTests(true);
    // Video (tags 1..6, 40 ms apart) ends at 200 ms with two units in the parser; audio (101..,
    // 48 kHz AAC frames) goes on to 234 ms; the interleaver runs between the samples.
    auto audioTime = [](int i) { return (i * 1024 * 1000 + 24000) / 48000; };
    int v = 0, a = 0;
    while (v < 6 || a < 11) {
        if (v < 6 && (a >= 11 || v * 40 <= audioTime(a))) {
            ASSERT_TRUE(sink.PutData(Unit(v * 40, v ? FRAME_P : FRAME_I, v == 0, static_cast<uint8_t>(v + 1)), 0, true));
            if (++v == 6) sink.SetEndOfStream(0);
        } else {
            ASSERT_TRUE(sink.PutData(Unit(audioTime(a), FRAME_UNKNOWN, false, static_cast<uint8_t>(a + 101)), 1, true));
            ++a;
        }
        sink.Interleave();
    }
    sink.SetEndOfStream(1);
    EXPECT_TRUE(sink.Flush(true, true));
    std::vector<uint8_t> expected;
    for (v = 0, a = 0; v < 6 || a < 11;)
        expected.push_back(static_cast<uint8_t>(v < 6 && (a >= 11 || v * 40 <= audioTime(a)) ? ++v : 101 + a++));
    EXPECT_EQ(sink.Tags(), expected);
}

class FakeClock : public platform::IClock {
public:
    std::atomic<uint32_t> now{0xFFFFFFF0u};
    uint32_t Now() override { return now.load(); }
    void Sleep(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};

TEST(SinkClock, AWrapOfTheSystemTickAdvancesTheClockByOneTick) {
    FakeClock clock;
    platform::SetClock(&clock);
    {
        BS::CBaseTimer timer;
        ASSERT_TRUE(timer.Start());
        clock.now = 0xFFFFFFFAu;
        EXPECT_EQ(timer.GetTime(), 10);
        clock.now = 5;
        EXPECT_EQ(timer.GetTime(), 10 + static_cast<int64_t>(BS::CBaseTimer::kTickMs));
        clock.now = 9;
        EXPECT_EQ(timer.GetTime(), 18);
        EXPECT_TRUE(timer.Reset());
        clock.now = 109;
        EXPECT_EQ(timer.GetTime(), 100);
    }
    platform::SetClock(nullptr);
}

}  // namespace
