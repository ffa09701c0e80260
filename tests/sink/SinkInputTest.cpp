// The input side: refusals, queueing, the bitrate figure, back-pressure in wait mode and the
// frame-dropping passes, Flush and ClearNonConfigData.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "SinkTestSupport.h"

using namespace sinktest;
using namespace std::chrono_literals;

namespace {

std::vector<uint8_t> Tags(TestSink& sink, uint32_t track, std::vector<int32_t>* types = nullptr) {
    // Sends the queue out (no pacing) and reads back the tags in queue order.
    sink.SetNoWaitForTests(true);
    sink.SetEndOfStream(0);
    sink.SetEndOfStream(1);
    sink.Interleave();
    std::vector<uint8_t> tags;
    for (const Delivered& d : sink.Media()) {
        if ((track == 0) != (d.type == 9)) continue;
        tags.push_back(d.firstByte);
        if (types) types->push_back(d.frameType);
    }
    return tags;
}

class SinkInput : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sink.AddTrack(VideoFormat(), TRACK_TYPE_VIDEO, 0));
        sink.SetStreamingForTests(true);
    }
    void Put(BS::data_t* d, int32_t track = 0) { ASSERT_TRUE(sink.PutData(d, track, true)); }
    TestSink sink;
};

TEST(SinkInputRefusal, InactiveSinkNullSampleAndBadTrackAreRefusedAndOwnedSamplesFreed) {
    TestSink sink;
    ASSERT_TRUE(sink.AddTrack(VideoFormat(), TRACK_TYPE_VIDEO, 7));
    // Not streaming yet: refused, and the owned sample is still freed (ASan reports a leak otherwise).
    EXPECT_FALSE(sink.PutData(Unit(0), 0, true));
    sink.SetStreamingForTests(true);
    EXPECT_FALSE(sink.PutData(nullptr, 0, true));
    EXPECT_FALSE(sink.PutData(Unit(0), -1, true));
    EXPECT_FALSE(sink.PutData(Unit(0), 1, true));
    EXPECT_EQ(sink.GetQueueSize(0), 0u);
    // A sample that stays the caller's is not freed by a refusal.
    BS::DataPtr mine(Unit(0));
    EXPECT_FALSE(sink.PutData(mine.get(), 5, false));
    EXPECT_TRUE(sink.PutData(mine.get(), 0, false));
    EXPECT_EQ(sink.GetQueueSize(0), 1u);
    EXPECT_EQ(sink.GetQueueSize(1), 0u);
    EXPECT_FALSE(sink.SetTrackActive(1, false));
    EXPECT_TRUE(sink.SetTrackActive(0, true));
    EXPECT_FALSE(sink.AddTrack(VideoFormat(), 3, 0));
    EXPECT_EQ(sink.GetQueueSize(1), 0u);
}

TEST_F(SinkInput, WhileReconnectingInputIsSwallowedWithoutGrowingTheQueue) {
    Put(Unit(0));
    sink.SetReconnectingForTests(true);
    EXPECT_TRUE(sink.PutData(Unit(40), 0, true));
    EXPECT_TRUE(sink.PutData(Unit(80), 0, true));
    EXPECT_EQ(sink.GetQueueSize(0), 1u);
    EXPECT_FALSE(sink.SetTrackActive(0, false));
    sink.SetReconnectingForTests(false);
    // A unit with dts 0 is queued like any other.
    Put(Unit(0));
    EXPECT_EQ(sink.GetQueueSize(0), 2u);
}

TEST_F(SinkInput, BitrateIsFirstComputedAtTheUnitThatReachesOneSecond) {
    RTMPStatistics st;
    for (int64_t t = 0; t < 1000; t += 100) Put(Unit(t, FRAME_P, false, 0, 100));
    ASSERT_TRUE(sink.GetStatistics(&st));
    EXPECT_EQ(st.videoBitrate, 0);
    EXPECT_EQ(st.bufferedVideoPackets, CRTMPSink::kUnknownQueue);
    Put(Unit(1000, FRAME_P, false, 0, 100));
    ASSERT_TRUE(sink.GetStatistics(&st));
    // 11 units of 100 bytes over 1000 ms.
    EXPECT_EQ(st.videoBitrate, 8800);
    // The next figure covers only what came after: 10 units of 200 bytes over 1000 ms.
    for (int64_t t = 1100; t <= 2000; t += 100) Put(Unit(t, FRAME_P, false, 0, 200));
    ASSERT_TRUE(sink.GetStatistics(&st));
    EXPECT_EQ(st.videoBitrate, 16000);
    EXPECT_EQ(st.audioBitrate, 0);
}

TEST_F(SinkInput, VideoQueueOf250DropsPAndBUntilFiftyAreGoneAndStopsAtTheNextKeyFrame) {
    // I at 0, 30 and 61; P/B between; a config P at 5 and an unknown-type unit at 6; P after 61.
    for (int i = 0; i < 250; ++i) {
        int32_t type = (i == 0 || i == 30 || i == 61) ? FRAME_I : i > 61 ? FRAME_P : (i % 2 ? FRAME_P : FRAME_B);
        if (i == 6) type = FRAME_UNKNOWN;
        Put(Unit(i * 40, type, i == 5, static_cast<uint8_t>(i)));
    }
    ASSERT_EQ(sink.GetQueueSize(0), 250u);
    EXPECT_TRUE(sink.WaitForTrack(0, nullptr));
    EXPECT_EQ(sink.GetBufferMode(), CRTMPSink::BUFFER_DROP);
    // 27 of 1..29 and all 30 of 31..60 are gone: 57, then the key frame at 61 ends the pass.
    ASSERT_EQ(sink.GetQueueSize(0), 193u);
    const std::vector<uint8_t> tags = Tags(sink, 0);
    ASSERT_EQ(tags.size(), 193u);
    EXPECT_EQ(std::vector<uint8_t>(tags.begin(), tags.begin() + 6), (std::vector<uint8_t>{0, 5, 6, 30, 61, 62}));
    EXPECT_EQ(tags.back(), 249);
}

TEST_F(SinkInput, VideoQueueOf150IsLeftAnd151DropsOnlyBFramesUpTo25) {
    for (int i = 0; i < 150; ++i) Put(Unit(i * 40, i == 0 || i == 100 ? FRAME_I : (i == 3 ? FRAME_P : FRAME_B), false,
                                           static_cast<uint8_t>(i)));
    EXPECT_TRUE(sink.WaitForTrack(0, nullptr));
    EXPECT_EQ(sink.GetQueueSize(0), 150u);
    Put(Unit(150 * 40, FRAME_B, false, 150));
    EXPECT_TRUE(sink.WaitForTrack(0, nullptr));
    EXPECT_EQ(sink.GetQueueSize(0), 126u);
    EXPECT_EQ(sink.GetBufferMode(), CRTMPSink::BUFFER_DROP);
    const std::vector<uint8_t> tags = Tags(sink, 0);
    // B1, B2 and B4..B26 are gone; the P at 3 stays; B27 onwards stays.
    EXPECT_EQ(std::vector<uint8_t>(tags.begin(), tags.begin() + 3), (std::vector<uint8_t>{0, 3, 27}));
}

TEST_F(SinkInput, APassThatFindsNoKeyFrameDropsEveryPAndBUpToTheNextKeyFrameOnTheNextCall) {
    for (int i = 0; i < 210; ++i) Put(Unit(i * 40, FRAME_P, false, 1));
    EXPECT_TRUE(sink.WaitForTrack(0, nullptr));
    EXPECT_EQ(sink.GetQueueSize(0), 0u);
    EXPECT_EQ(sink.GetBufferMode(), 3);
    // A short queue now: the pending pass still runs, with no limit.
    Put(Unit(9000, FRAME_P, false, 2));
    Put(Unit(9040, FRAME_B, false, 3));
    Put(Unit(9080, FRAME_I, false, 4));
    Put(Unit(9120, FRAME_P, false, 5));
    EXPECT_TRUE(sink.WaitForTrack(0, nullptr));
    EXPECT_EQ(sink.GetBufferMode(), CRTMPSink::BUFFER_DROP);
    EXPECT_EQ(Tags(sink, 0), (std::vector<uint8_t>{4, 5}));
}

TEST_F(SinkInput, VideoQueueAbove400DropsKeyFramesTooUntil200AreGone) {
    for (int i = 0; i < 401; ++i) Put(Unit(i * 40, FRAME_I, i == 1, static_cast<uint8_t>(i)));
    EXPECT_TRUE(sink.WaitForTrack(0, nullptr));
    // The config unit at 1 survives; 200 others go; the key frame met after that stops the pass.
    EXPECT_EQ(sink.GetQueueSize(0), 201u);
    const std::vector<uint8_t> tags = Tags(sink, 0);
    EXPECT_EQ(std::vector<uint8_t>(tags.begin(), tags.begin() + 2), (std::vector<uint8_t>{1, 201}));
}

TEST(SinkInputAudio, AudioQueueOf400IsLeftAnd401DropsFiftyNonConfigUnitsFromTheFront) {
    TestSink sink;
    ASSERT_TRUE(sink.AddTrack(AudioFormat(), TRACK_TYPE_AUDIO, 0));
    sink.SetStreamingForTests(true);
    for (int i = 0; i < 400; ++i) ASSERT_TRUE(sink.PutData(Unit(i * 23, FRAME_UNKNOWN, i == 0 || i == 10,
                                                                static_cast<uint8_t>(i)), 0, true));
    EXPECT_TRUE(sink.WaitForTrack(0, nullptr));
    EXPECT_EQ(sink.GetQueueSize(0), 400u);
    for (int i = 400; i < 420; ++i) ASSERT_TRUE(sink.PutData(Unit(i * 23, FRAME_UNKNOWN, false, 0), 0, true));
    EXPECT_TRUE(sink.WaitForTrack(0, nullptr));
    EXPECT_EQ(sink.GetQueueSize(0), 370u);
    sink.SetNoWaitForTests(true);
    sink.SetEndOfStream(0);
    sink.Interleave();
    const auto media = sink.Media();
    ASSERT_EQ(media.size(), 370u);
    EXPECT_EQ(media[0].firstByte, 0);
    EXPECT_TRUE(media[0].config);
    EXPECT_EQ(media[1].firstByte, 10);
    EXPECT_EQ(media[2].firstByte, 52);
}

TEST(SinkInputWait, WaitModeHoldsTheProducerUntilTheQueueDrainsOrTheStopEventIsSet) {
    TestSink sink;
    ASSERT_TRUE(sink.AddTrack(VideoFormat(), TRACK_TYPE_VIDEO, 0));
    sink.SetStreamingForTests(true, CRTMPSink::BUFFER_WAIT);
    for (int i = 0; i < 151; ++i) ASSERT_TRUE(sink.PutData(Unit(i * 40, FRAME_B), 0, true));
    platform::CEvent stop(true, false);
    auto blocked = std::async(std::launch::async, [&] { return sink.WaitForTrack(0, &stop); });
    EXPECT_EQ(blocked.wait_for(100ms), std::future_status::timeout);
    EXPECT_EQ(sink.GetQueueSize(0), 151u);  // nothing dropped in wait mode
    stop.Set();
    ASSERT_EQ(blocked.wait_for(2s), std::future_status::ready);
    EXPECT_TRUE(blocked.get());

    // Released by the queue draining, too.
    stop.Reset();
    auto second = std::async(std::launch::async, [&] { return sink.WaitForTrack(0, &stop); });
    EXPECT_EQ(second.wait_for(50ms), std::future_status::timeout);
    EXPECT_TRUE(sink.Flush(true, false));
    ASSERT_EQ(second.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(sink.Media().size(), 151u);
}

TEST_F(SinkInput, FlushWithDiscardKeepsOnlyConfigUnitsForSending) {
    Put(Unit(0, FRAME_UNKNOWN, true, 1));
    for (int i = 1; i < 20; ++i) Put(Unit(i * 40, FRAME_P, false, 2));
    Put(Unit(800, FRAME_UNKNOWN, true, 3));
    EXPECT_TRUE(sink.Flush(false, true));
    EXPECT_EQ(sink.GetQueueSize(0), 21u);
    EXPECT_EQ(Tags(sink, 0), (std::vector<uint8_t>{1, 3}));
}

TEST_F(SinkInput, ClearNonConfigDataMovesEarlyUnitsToTheGivenTime) {
    for (int i = 0; i < 5; ++i) Put(Unit(i * 100, FRAME_P, false, static_cast<uint8_t>(i)));
    sink.ClearNonConfigData(250);
    sink.SetNoWaitForTests(true);
    sink.SetEndOfStream(0);
    sink.Interleave();
    const auto media = sink.Media();
    ASSERT_EQ(media.size(), 5u);
    std::vector<int64_t> dts;
    for (const auto& d : media) dts.push_back(d.dts);
    EXPECT_EQ(dts, (std::vector<int64_t>{250, 250, 250, 300, 400}));
}

TEST_F(SinkInput, FlushReturnsFalseWhileTenOrMoreUnitsStayQueued) {
    for (int i = 0; i < 10; ++i) Put(Unit(i * 40, FRAME_P));
    EXPECT_FALSE(sink.Flush(false, false));
    EXPECT_TRUE(sink.Flush(true, false));
    EXPECT_EQ(sink.GetQueueSize(0), 0u);
}

}  // namespace
