// The renderer framework over a recording sink: what reaches the sink for each graph sample, how
// the pins hold the upstream back, the watchdog's time-outs, state changes and end of stream.
#include <gtest/gtest.h>

#include <thread>

#include "FilterTestSupport.h"
#include "platform/Clock.h"
#include "platform/dshow/SystemClock.h"

using namespace filtertest;

namespace {

BS::PinOptions Pins(bool timeout = false, int timeoutMs = 0, bool block = false, int blockMs = 0) {
    BS::PinOptions o;
    o.timeoutEnabled = timeout, o.blockTimeoutEnabled = block, o.watchdogPeriodMs = 50;
    if (timeoutMs) o.timeoutMs = timeoutMs;
    if (blockMs) o.blockTimeoutMs = blockMs;
    return o;
}

class RendererCore : public ::testing::Test {
protected:
    void Make(const BS::PinOptions& o = Pins()) {
        renderer = new TestRenderer(o);
        sink = renderer->fake;
    }
    void TearDown() override {
        graph.reset();
        if (renderer) renderer->Release();
    }
    void Drain(int pin) { ASSERT_TRUE(graph->Out(pin)->WaitIdle(10000)); }
    bool Flushed(std::pair<bool, bool> last) {
        std::lock_guard<std::mutex> g(sink->m);
        return !sink->flushes.empty() && sink->flushes.back() == last;
    }

    std::unique_ptr<SourceGraph> graph = std::make_unique<SourceGraph>();
    TestRenderer* renderer = nullptr;
    FakeSink* sink = nullptr;
};

TEST_F(RendererCore, TrackNumbersFollowConnectedPins) {
    Make();
    ASSERT_TRUE(graph->Build(renderer, {1}));
    EXPECT_EQ(renderer->TrackOfPin(0), -1);
    EXPECT_EQ(renderer->TrackOfPin(1), 0) << "the audio pin alone is track 0";
    EXPECT_EQ(renderer->TrackOfPin(2), -1);
    ASSERT_EQ(graph->Connect(0), S_OK);
    EXPECT_EQ(renderer->TrackOfPin(0), 0);
    EXPECT_EQ(renderer->TrackOfPin(1), 1);
    EXPECT_EQ(renderer->ConnectedPinCount(), 2);
}

TEST_F(RendererCore, SamplesBecomeMillisecondRecordsAndAudioIsDelayed) {
    Make();
    renderer->AudioOffset(200.7);
    ASSERT_TRUE(graph->Build(renderer, {0, 1}));
    graph->Out(0)->SetStopOnRefusal(false);
    ASSERT_EQ(graph->graph->Run(), S_OK);
    graph->Push(0, {0, 0, 0, 1, 0x65, 0xAA}, 1234567, true);
    for (REFERENCE_TIME t : {-5000, 5000, 4999}) graph->Push(0, {9}, t);
    graph->Out(0)->PushSample(std::vector<uint8_t>{6, 6}, nullptr, nullptr, false);
    graph->Out(0)->PushSample(std::vector<uint8_t>{}, nullptr, nullptr, false, true);  // empty preroll
    graph->Push(1, {0xFF, 0xF1}, 20000000);
    graph->Out(1)->PushSample(std::vector<uint8_t>{3}, nullptr, nullptr, false);
    Drain(0);
    Drain(1);
    std::vector<Put> v, a;
    for (auto& p : sink->Puts()) (p.track == 0 ? v : a).push_back(p);
    ASSERT_EQ(v.size(), 6u);
    EXPECT_EQ(v[0].dts, 123);
    EXPECT_EQ(v[0].pts, 123);
    EXPECT_EQ(v[0].frameType, FRAME_I);
    EXPECT_EQ(v[0].bytes, (std::vector<uint8_t>{0, 0, 0, 1, 0x65, 0xAA}));
    EXPECT_EQ(v[1].dts, -1) << "rounds half away from zero";
    EXPECT_EQ(v[1].frameType, FRAME_UNKNOWN);
    EXPECT_EQ(v[2].dts, 1);
    EXPECT_EQ(v[3].dts, 0);
    EXPECT_EQ(v[4].dts, NO_TIME);
    EXPECT_EQ(v[4].pts, NO_TIME);
    EXPECT_EQ(v[5].size, 0);
    EXPECT_TRUE(v[5].preroll);
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(a[0].track, 1);
    EXPECT_EQ(a[0].dts, 2200) << "audio comes 200 ms later, the delay truncated to whole ms";
    EXPECT_EQ(a[1].dts, NO_TIME) << "an untimed sample stays untimed";
}

TEST_F(RendererCore, FullSinkHoldsSenderUntilRoomStopOrFlush) {
    Make();
    ASSERT_TRUE(graph->Build(renderer, {0}));
    graph->Out(0)->SetStopOnRefusal(false);
    ASSERT_EQ(graph->graph->Run(), S_OK);
    auto holdNext = [&](REFERENCE_TIME t) {
        sink->SetBlocked(0, true);
        graph->Push(0, {1}, t);
        ASSERT_TRUE(sink->WaitFor([&] { return sink->waiting == 1; }));
    };
    holdNext(0);
    EXPECT_TRUE(graph->Out(0)->Results().empty()) << "the sample is not answered while the sink is full";
    sink->SetBlocked(0, false);
    Drain(0);
    ASSERT_EQ(graph->Out(0)->Results(), std::vector<HRESULT>{S_OK});

    holdNext(400000);
    ASSERT_EQ(graph->Out(0)->Flush(), S_OK) << "BeginFlush must free the streaming thread";
    EXPECT_EQ(sink->waiting, 0);
    sink->SetBlocked(0, false);
    graph->Push(0, {2}, 800000);
    Drain(0);
    EXPECT_EQ(graph->Out(0)->Results().back(), S_OK) << "EndFlush resets the stop event";

    holdNext(1200000);
    ASSERT_EQ(graph->graph->Pause(), S_OK);
    Drain(0);
    EXPECT_EQ(graph->Out(0)->Results().back(), S_FALSE) << "a pause answers the held sender";
    EXPECT_EQ(sink->Puts().size(), 4u) << "held samples were delivered before the wait";
}

TEST_F(RendererCore, BlockTimeoutMarksTrackInactiveUntilNextSample) {
    Make(Pins(false, 0, true, 150));
    ASSERT_TRUE(graph->Build(renderer, {0}));
    ASSERT_EQ(graph->graph->Run(), S_OK);
    auto marked = [&](size_t from, bool active) {
        return sink->WaitFor([&] {
            for (size_t i = from; i < sink->activity.size(); ++i)
                if (sink->activity[i] == std::make_pair(0u, active)) return true;
            return false;
        });
    };
    graph->Push(0, {1}, 0);
    ASSERT_TRUE(marked(0, false)) << "no inactive mark after the block time-out";
    size_t marks;
    {
        std::lock_guard<std::mutex> g(sink->m);
        marks = sink->activity.size();
    }
    graph->Push(0, {2}, 400000);
    ASSERT_TRUE(marked(marks, true)) << "the next sample marks the track active again";
    LONG_PTR code = 0;
    EXPECT_FALSE(graph->WaitEvent(EC_ERRORABORT, &code, 100)) << "the abort time-out is off";
}

TEST_F(RendererCore, AbortTimeoutRaisesPinCodeButNotWhileQueuedOrAfterEndOfStream) {
    Make(Pins(true, 200, true, 100));
    ASSERT_TRUE(graph->Build(renderer, {0, 1}));
    sink->queue[1] = 3;  // the audio track still has queued samples: its clock never runs
    ASSERT_EQ(graph->graph->Run(), S_OK);
    graph->Push(0, {1}, 0);
    graph->Push(1, {1}, 0);
    LONG_PTR code = 0;
    ASSERT_TRUE(graph->WaitEvent(EC_ERRORABORT, &code, 5000));
    EXPECT_EQ(static_cast<HRESULT>(code), BS::E_VIDEO_INPUT_TIMEOUT);
    graph->Out(0)->PushEndOfStream();
    Drain(0);
    while (graph->WaitEvent(EC_ERRORABORT, &code, 50)) {
    }
    EXPECT_FALSE(graph->WaitEvent(EC_ERRORABORT, &code, 600));
}

TEST_F(RendererCore, AbortTimeoutInsideReceiveDiscardsTheSinkQueue) {
    Make(Pins(true, 200));
    ASSERT_TRUE(graph->Build(renderer, {0}));
    ASSERT_EQ(graph->graph->Run(), S_OK);
    sink->SetBlocked(0, true);
    graph->Push(0, {1}, 0);
    Drain(0);  // only the watchdog's discard can free the sender
    std::lock_guard<std::mutex> g(sink->m);
    ASSERT_FALSE(sink->flushes.empty());
    EXPECT_EQ(sink->flushes.front(), std::make_pair(false, true));
}

TEST_F(RendererCore, StateChangesCallHooksAndStopClosesSink) {
    Make();
    ASSERT_TRUE(graph->Build(renderer, {0, 1}));
    EXPECT_EQ(renderer->GetUTCRefTime(), NO_TIME);
    ASSERT_EQ(graph->graph->Pause(), S_OK);
    EXPECT_EQ(renderer->prepares, 1);
    EXPECT_EQ(renderer->starts, 0);
    ASSERT_EQ(graph->graph->Run(), S_OK);
    const auto nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_NEAR(static_cast<double>(renderer->GetUTCRefTime()), static_cast<double>(nowMs), 1000.0);
    ASSERT_EQ(graph->graph->Pause(), S_OK);
    ASSERT_EQ(graph->graph->Run(), S_OK);
    EXPECT_EQ(renderer->prepares, 1) << "only a pause from stopped prepares";
    EXPECT_EQ(renderer->starts, 1) << "only the first run starts rendering";
    ASSERT_EQ(graph->graph->Stop(), S_OK);
    EXPECT_EQ(renderer->GetUTCRefTime(), NO_TIME);
    EXPECT_EQ(sink->closes, 1);
    EXPECT_TRUE(Flushed({false, true})) << "a plain stop discards the queue";
}

TEST_F(RendererCore, FailedPrepareFailsThePause) {
    Make();
    renderer->failPrepare = true;
    EXPECT_EQ(renderer->Pause(), VFW_E_INVALID_FILE_FORMAT);
    EXPECT_EQ(renderer->Stop(), S_OK);
}

TEST_F(RendererCore, RunStartTimeAheadOfClockShiftsUtcReference) {
    Make();
    CSystemClock* clock = CSystemClock::Create();
    ASSERT_EQ(renderer->SetSyncSource(clock), S_OK);
    ASSERT_EQ(renderer->Pause(), S_OK);
    REFERENCE_TIME now = 0;
    ASSERT_EQ(clock->GetTime(&now), S_OK);
    const auto sysMs = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch()).count();
    ASSERT_EQ(renderer->Run(now + 5000000), S_OK);
    EXPECT_NEAR(static_cast<double>(renderer->GetUTCRefTime() - sysMs), 500.0, 60.0);
    renderer->Stop();
    renderer->SetSyncSource(nullptr);
    clock->Release();
}

TEST_F(RendererCore, EndOfStreamOnEveryPinSendsTheQueueClosesAndCompletes) {
    Make();
    ASSERT_TRUE(graph->Build(renderer, {0, 1}));
    ASSERT_EQ(graph->graph->Run(), S_OK);
    graph->Out(0)->PushEndOfStream();
    Drain(0);
    EXPECT_EQ(sink->eos, std::vector<int32_t>{0});
    EXPECT_EQ(sink->closes, 0) << "the audio pin is still open";
    LONG_PTR p = 0;
    EXPECT_FALSE(graph->WaitEvent(EC_COMPLETE, &p, 100));
    graph->Out(1)->PushEndOfStream();
    Drain(1);
    ASSERT_TRUE(graph->WaitEvent(EC_COMPLETE, &p, 5000));
    EXPECT_EQ(sink->eos, (std::vector<int32_t>{0, 1}));
    EXPECT_EQ(sink->closes, 1);
    EXPECT_TRUE(Flushed({true, true})) << "at end of stream the queue is sent";
}

TEST_F(RendererCore, NetworkFailureAbortsAndSinkDownDropsSamples) {
    Make();
    ASSERT_TRUE(graph->Build(renderer, {0}));
    graph->Out(0)->SetStopOnRefusal(false);
    ASSERT_EQ(graph->graph->Run(), S_OK);
    sink->status = BS::SINK_ERROR;
    graph->Push(0, {1}, 0);
    Drain(0);
    EXPECT_EQ(graph->Out(0)->Results().back(), E_FAIL);
    LONG_PTR code = 0;
    ASSERT_TRUE(graph->WaitEvent(EC_ERRORABORT, &code, 2000));
    EXPECT_EQ(static_cast<HRESULT>(code), E_FAIL);
    sink->status = BS::SINK_OK;
    sink->inited = false;
    graph->Push(0, {2}, 400000);
    Drain(0);
    EXPECT_EQ(sink->Puts().size(), 1u) << "nothing reaches a sink that is not up";
    ASSERT_TRUE(graph->WaitEvent(EC_ERRORABORT, &code, 2000));
    EXPECT_EQ(static_cast<HRESULT>(code), E_FAIL);
}

class ManualClock : public platform::IClock {
public:
    uint32_t Now() override { return now.load(); }
    void Sleep(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
    std::atomic<uint32_t> now{100000};
};

TEST_F(RendererCore, CaptureModeRestampsVideoFromTheWallClock) {
    Make();
    ManualClock clock;
    platform::SetClock(&clock);
    renderer->Capture(true);
    ASSERT_TRUE(graph->Build(renderer, {0, 1}));
    ASSERT_EQ(graph->graph->Run(), S_OK);
    graph->Push(0, {1}, 0);
    Drain(0);
    clock.now += 2000;
    graph->Push(0, {2}, 123456789);
    graph->Push(1, {3}, 7770000);
    Drain(0);
    Drain(1);
    platform::SetClock(nullptr);
    std::vector<int64_t> video, audio;
    for (auto& p : sink->Puts()) (p.track == 0 ? video : audio).push_back(p.dts);
    EXPECT_EQ(video, (std::vector<int64_t>{0, 2000})) << "two wall-clock seconds on, whatever the sample's stamp";
    EXPECT_EQ(audio, std::vector<int64_t>{777}) << "audio keeps its stamps";
}

}  // namespace
