// The output side: decode-time order across tracks, readiness, re-basing after a reconnection
// with the config lookup, pacing against the sink clock, and the sink clock itself.
#include <gtest/gtest.h>

#include <future>
#include <initializer_list>
#include <thread>
#include <vector>

#include "SinkTestSupport.h"
#include "platform/Clock.h"
#include "sink/BaseTimer.h"

using namespace sinktest;
using namespace std::chrono_literals;

namespace {

class SinkInterleave : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sink.AddTrack(VideoFormat(), TRACK_TYPE_VIDEO, 0));
        ASSERT_TRUE(sink.AddTrack(AudioFormat(), TRACK_TYPE_AUDIO, 0));
        sink.SetStreamingForTests(true);
    }
    void Put(int32_t track, int64_t dts, bool config = false, uint8_t tag = 0, int32_t type = FRAME_P) {
        ASSERT_TRUE(sink.PutData(Unit(dts, type, config, tag), track, true));
    }
    // Video units at these times, audio at end of stream: one paced pass over them.
    std::vector<Delivered> PacedVideo(std::initializer_list<int64_t> times) {
        sink.SetEndOfStream(1);
        for (int64_t t : times) Put(0, t);
        sink.SetEndOfStream(0);
        sink.Interleave();
        return sink.Media();
    }
    std::vector<std::pair<int32_t, int64_t>> Sent() {
        std::vector<std::pair<int32_t, int64_t>> out;
        for (const auto& d : sink.Media()) out.emplace_back(d.type, d.dts);
        return out;
    }
    TestSink sink;
};

TEST_F(SinkInterleave, UnitsLeaveInDecodeTimeOrderAndTheLowerTrackWinsATie) {
    sink.SetNoWaitForTests(true);
    for (int64_t t : {0, 40, 80}) Put(0, t);
    for (int64_t t : {0, 23, 46, 69, 92}) Put(1, t);
    sink.Interleave();
    // The video queue ran dry after 80: the audio unit at 92 waits for more video.
    EXPECT_EQ(Sent(), (std::vector<std::pair<int32_t, int64_t>>{{9, 0}, {8, 0}, {8, 23}, {9, 40}, {8, 46}, {8, 69}, {9, 80}}));
    EXPECT_EQ(sink.GetQueueSize(1), 1u);
    // A track at end of stream with an empty queue no longer holds the others back.
    sink.SetEndOfStream(0);
    sink.Interleave();
    EXPECT_EQ(Sent().back(), (std::pair<int32_t, int64_t>{8, 92}));
    EXPECT_EQ(sink.VideoMessagesSent(), 3u);
    EXPECT_EQ(sink.AudioMessagesSent(), 5u);
    RTMPStatistics st;
    sink.GetStatistics(&st);
    EXPECT_EQ(st.bufferedVideoPackets, 0);
    EXPECT_EQ(st.bufferedAudioPackets, 0);
}

TEST_F(SinkInterleave, AnInactiveTrackIsNeitherAwaitedNorChosen) {
    sink.SetNoWaitForTests(true);
    ASSERT_TRUE(sink.SetTrackActive(1, false));
    Put(1, 0);
    for (int64_t t : {10, 20}) Put(0, t);
    sink.Interleave();
    EXPECT_EQ(Sent(), (std::vector<std::pair<int32_t, int64_t>>{{9, 10}, {9, 20}}));
    EXPECT_EQ(sink.GetQueueSize(1), 1u);
}

TEST_F(SinkInterleave, NothingIsSentWhenEveryTrackIsAtEndOfStreamAndEmpty) {
    sink.SetNoWaitForTests(true);
    sink.SetEndOfStream(0);
    sink.SetEndOfStream(1);
    EXPECT_FALSE(sink.Interleave());
    EXPECT_TRUE(sink.Media().empty());
}

TEST_F(SinkInterleave, UnitsWithoutTimeAreSkippedUnlessTheyCarryConfiguration) {
    sink.SetNoWaitForTests(true);
    sink.SetEndOfStream(1);
    Put(0, NO_TIME, true, 1);
    Put(0, NO_TIME, false, 2);
    Put(0, 5, false, 3);
    sink.Interleave();
    const auto media = sink.Media();
    ASSERT_EQ(media.size(), 2u);
    EXPECT_EQ(media[0].firstByte, 1);
    EXPECT_EQ(media[1].firstByte, 3);
    // The metadata goes out with the first media message of a connection.
    EXPECT_GE(sink.metadataCalls.load(), 1);
    sink.connected = false;
    Put(0, 10, false, 4);
    sink.Interleave();
    EXPECT_EQ(sink.Media().size(), 2u);  // dropped without a connection
}

TEST_F(SinkInterleave, AfterAReconnectionTheStreamRestartsAtTheFirstConfigUnitRebasedToZero) {
    sink.SetNoWaitForTests(true);
    sink.SimulateReconnectedForTests();
    // No video config yet: the video queue is trimmed, audio keeps only its newest config unit.
    Put(0, 1000, false, 1);
    Put(1, 1000, false, 2);
    Put(1, 1010, true, 3);
    Put(1, 1020, false, 4);
    Put(1, 1030, true, 5);
    Put(1, 1050, false, 6);
    sink.Interleave();
    EXPECT_TRUE(sink.Media().empty());
    EXPECT_EQ(sink.GetQueueSize(0), 0u);
    EXPECT_EQ(sink.GetQueueSize(1), 1u);
    Put(0, 1040, true, 7);
    Put(0, 1040, false, 8, FRAME_I);
    Put(0, 1080, false, 9);
    for (int64_t t : {1043, 1066, 1089}) Put(1, t);
    sink.SetEndOfStream(0);
    sink.SetEndOfStream(1);
    sink.Interleave();
    EXPECT_EQ(Sent(), (std::vector<std::pair<int32_t, int64_t>>{
                          {8, -10}, {9, 0}, {9, 0}, {8, 3}, {8, 26}, {9, 40}, {8, 49}}));
    const auto media = sink.Media();
    EXPECT_EQ(media[0].firstByte, 5);
    EXPECT_EQ(media[1].firstByte, 7);
    EXPECT_EQ(media[0].pts, -10);
}

TEST_F(SinkInterleave, EachUnitWaitsUntilTheClockHasReachedThePreviousOne) {
    const auto media = PacedVideo({0, 100, 200, 300});
    ASSERT_EQ(media.size(), 4u);
    for (size_t k = 1; k < media.size(); ++k) {
        // Sent as soon as the clock passed the previous unit's time (FIRST_TIME is taken just
        // before the first unit is handed over, hence the 1 ms of slack).
        EXPECT_GE(media[k].clock - media[0].clock, media[k - 1].dts - 1) << k;
        EXPECT_LT(media[k].clock - media[0].clock, media[k - 1].dts + 500) << k;
    }
}

// The clock is looked at in 5 ms steps after a send, so units 2 ms apart leave in groups of two
// or three on one wake-up each, roughly one group per 5 ms, and never before the time of the unit
// sent before them. Pacing unit by unit would give 40 separate sends 2 ms apart. (A slow machine
// only merges more.)
TEST_F(SinkInterleave, UnitsFallingDueWithinOnePacingStepLeaveTogether) {
    std::vector<int64_t> times;
    for (int64_t t = 0; t < 80; t += 2) times.push_back(t);
    sink.SetEndOfStream(1);
    for (int64_t t : times) Put(0, t);
    sink.SetEndOfStream(0);
    sink.Interleave();
    const auto media = sink.Media();
    ASSERT_EQ(media.size(), times.size());
    size_t groups = 1;
    for (size_t k = 1; k < media.size(); ++k) {
        EXPECT_GE(media[k].clock - media[0].clock, media[k - 1].dts - 1) << k;
        if (media[k].clock - media[k - 1].clock > 1) ++groups;
    }
    EXPECT_LE(groups, 24u);
    EXPECT_GE(media.back().clock - media[0].clock, 76);
}

TEST_F(SinkInterleave, AnEarlierUnitOnTheSameTrackEndsThePacingWaitAtOnce) {
    sink.SetEndOfStream(1);
    Put(0, 0, false, 1);
    Put(0, 5000, false, 2);
    auto run = std::async(std::launch::async, [&] { sink.Interleave(); });
    ASSERT_TRUE(sink.WaitMedia(2, 2s));
    const auto start = std::chrono::steady_clock::now();
    Put(0, 100, false, 3);
    ASSERT_TRUE(sink.WaitMedia(3, 2s)) << "the wait for dts 5000 was not cut short";
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    sink.SetEndOfStream(0);
    ASSERT_EQ(run.wait_for(3s), std::future_status::ready);
    EXPECT_EQ(sink.Media()[2].firstByte, 3);
}

TEST_F(SinkInterleave, FlushWithSendSendsEverythingBackToBack) {
    sink.SetEndOfStream(1);
    for (int i = 0; i < 30; ++i) Put(0, i * 1000);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(sink.Flush(true, false));
    EXPECT_EQ(sink.Media().size(), 30u);
    // 29 s of media: paced it would take that long.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

TEST_F(SinkInterleave, TimesAtTheEndsOfTheRangeNeitherOverflowNorStopTheStream) {
    sink.SetNoWaitForTests(true);
    sink.SetEndOfStream(1);
    sink.SimulateReconnectedForTests();
    const int64_t huge = NO_TIME - 1;
    const int64_t tiny = -NO_TIME;
    Put(0, tiny, true, 1);  // the config unit sets the re-basing to the smallest time there is
    Put(0, 0, false, 2);
    Put(0, huge, false, 3);
    Put(0, huge, false, 4);  // and the bitrate step sees a span of the whole range
    sink.SetEndOfStream(0);
    sink.Interleave();
    // Re-based against the smallest time, the others saturate to "no time" and are skipped as
    // obsolete; the queue is used up all the same.
    const auto media = sink.Media();
    ASSERT_EQ(media.size(), 1u);
    EXPECT_EQ(media[0].dts, 0);
    EXPECT_EQ(media[0].firstByte, 1);
    EXPECT_EQ(sink.GetQueueSize(0), 0u);
    RTMPStatistics st;
    sink.GetStatistics(&st);
    EXPECT_EQ(st.videoBitrate, 0);  // 48 bytes over the whole range rounds to nothing
}

class FakeClock : public platform::IClock {
public:
    std::atomic<uint32_t> now{0};
    uint32_t Now() override { return now.load(); }
    void Sleep(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};

TEST(SinkClock, AWrapOfTheSystemTickAdvancesTheClockByOneTick) {
    FakeClock clock;
    clock.now = 0xFFFFFFF0u;
    platform::SetClock(&clock);
    {
        BS::CBaseTimer timer;
        ASSERT_TRUE(timer.Start());
        EXPECT_EQ(timer.GetTime(), 0);
        clock.now = 0xFFFFFFFAu;
        EXPECT_EQ(timer.GetTime(), 10);
        clock.now = 5;  // wrapped
        EXPECT_EQ(timer.GetTime(), 10 + static_cast<int64_t>(BS::CBaseTimer::kTickMs));
        clock.now = 9;
        EXPECT_EQ(timer.GetTime(), 18);
        EXPECT_TRUE(timer.Reset());
        EXPECT_EQ(timer.GetTime(), 0);
        clock.now = 109;
        EXPECT_EQ(timer.GetTime(), 100);
        EXPECT_TRUE(timer.Stop());
        EXPECT_FALSE(timer.IsRunning());
        EXPECT_EQ(timer.GetTime(), 0);
    }
    platform::SetClock(nullptr);
}

}  // namespace
