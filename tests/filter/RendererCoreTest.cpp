// The renderer framework and its input pins over a recording sink: what reaches the sink for
// each graph sample, how the pins hold the upstream back, the watchdog's time-outs, and the
// stop/pause/run and end-of-stream sequences.
#include <gtest/gtest.h>

#include <chrono>

#include "FilterTestSupport.h"
#include "platform/Clock.h"
#include "platform/dshow/SystemClock.h"

using namespace filtertest;

namespace {

BS::PinOptions QuietPins() {
    BS::PinOptions o;
    o.timeoutEnabled = false;
    o.blockTimeoutEnabled = false;
    return o;
}

class RendererCore : public ::testing::Test {
protected:
    void Make(const BS::PinOptions& o = QuietPins()) { renderer = TestRenderer::Create(o, &sink); }
    void TearDown() override {
        graph.reset();
        if (renderer) renderer->Release();
    }
    // Waits until the source has delivered everything queued.
    void Drain(int pin) { ASSERT_TRUE(graph->Out(pin)->WaitIdle(10000)); }

    std::unique_ptr<SourceGraph> graph = std::make_unique<SourceGraph>();
    TestRenderer* renderer = nullptr;
    FakeSink* sink = nullptr;
};

TEST_F(RendererCore, TrackNumbersFollowConnectedPins) {
    Make();
    EXPECT_EQ(renderer->TrackOfPin(0), -1);
    EXPECT_EQ(renderer->TrackOfPin(1), -1);
    ASSERT_TRUE(graph->Build(renderer, {1}));
    EXPECT_EQ(renderer->TrackOfPin(0), -1);
    EXPECT_EQ(renderer->TrackOfPin(1), 0) << "the audio pin alone is track 0";
    EXPECT_EQ(renderer->TrackOfPin(2), -1);
    EXPECT_EQ(renderer->TrackOfPin(-1), -1);
    IPin* video = nullptr;
    ASSERT_EQ(renderer->FindPin(L"Video", &video), S_OK);
    ASSERT_EQ(graph->graph->ConnectDirect(graph->Out(0), video, nullptr), S_OK);
    video->Release();
    EXPECT_EQ(renderer->TrackOfPin(0), 0);
    EXPECT_EQ(renderer->TrackOfPin(1), 1);
    EXPECT_EQ(renderer->ConnectedPinCount(), 2);
    EXPECT_TRUE(renderer->HasVideoPin());
    EXPECT_TRUE(renderer->HasAudioPin());
}

TEST_F(RendererCore, FilterIdentityAndPinLookup) {
    Make();
    IPin* pin = nullptr;
    EXPECT_EQ(renderer->FindPin(L"video", &pin), VFW_E_NOT_FOUND) << "pin ids compare case-sensitively";
    EXPECT_EQ(renderer->FindPin(L"Audio", nullptr), E_POINTER);
    EXPECT_EQ(renderer->GetState(0, nullptr), E_POINTER);
    IAMFilterMiscFlags* flags = nullptr;
    ASSERT_EQ(renderer->QueryInterface(IID_IAMFilterMiscFlags, reinterpret_cast<void**>(&flags)), S_OK);
    EXPECT_EQ(flags->GetMiscFlags(), AM_FILTER_MISC_FLAGS_IS_RENDERER);
    flags->Release();
    // Seeking goes upstream through the video pin; the pass-through shares the filter's identity.
    IMediaSeeking* seeking = nullptr;
    ASSERT_EQ(renderer->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&seeking)), S_OK);
    IUnknown* a = nullptr;
    IUnknown* b = nullptr;
    seeking->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&a));
    renderer->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&b));
    EXPECT_EQ(a, b);
    a->Release();
    b->Release();
    DWORD caps = 0;
    EXPECT_EQ(seeking->GetCapabilities(&caps), E_NOTIMPL) << "no upstream filter to ask";
    seeking->Release();
    IMediaPosition* position = nullptr;
    ASSERT_EQ(renderer->QueryInterface(IID_IMediaPosition, reinterpret_cast<void**>(&position)), S_OK);
    position->Release();
    IPinConnection* pc = nullptr;
    ASSERT_EQ(renderer->Pin(0)->QueryInterface(IID_IPinConnection, reinterpret_cast<void**>(&pc)), S_OK);
    EXPECT_EQ(pc->DynamicQueryAccept(nullptr), VFW_E_TYPE_NOT_ACCEPTED);
    EXPECT_EQ(pc->IsEndPin(), S_OK);
    pc->Release();
}

TEST_F(RendererCore, SamplesBecomeMillisecondRecords) {
    Make();
    ASSERT_TRUE(graph->Build(renderer, {0, 1}));
    graph->Out(0)->SetStopOnRefusal(false);
    ASSERT_EQ(graph->graph->Run(), S_OK);
    graph->Push(0, {0, 0, 0, 1, 0x65, 0xAA}, 1234567, true);
    graph->Push(0, {9}, -5000);
    graph->Push(0, {8}, 5000);
    graph->Push(0, {7}, 4999);
    graph->Out(0)->PushSample(std::vector<uint8_t>{6, 6}, nullptr, nullptr, false);  // no time
    graph->Out(0)->PushSample(std::vector<uint8_t>{}, nullptr, nullptr, false, true);  // empty, preroll
    graph->Push(1, {0xFF, 0xF1}, 20000000);
    Drain(0);
    Drain(1);
    auto puts = sink->Puts();
    ASSERT_EQ(puts.size(), 7u);
    std::vector<Put> video, audio;
    for (auto& p : puts) (p.track == 0 ? video : audio).push_back(p);
    ASSERT_EQ(video.size(), 6u);
    EXPECT_EQ(video[0].dts, 123);
    EXPECT_EQ(video[0].pts, 123);
    EXPECT_EQ(video[0].frameType, FRAME_I);
    EXPECT_EQ(video[0].bytes, (std::vector<uint8_t>{0, 0, 0, 1, 0x65, 0xAA}));
    EXPECT_EQ(video[1].dts, -1) << "rounds half away from zero";
    EXPECT_EQ(video[1].frameType, FRAME_UNKNOWN);
    EXPECT_EQ(video[2].dts, 1);
    EXPECT_EQ(video[3].dts, 0);
    EXPECT_EQ(video[4].dts, NO_TIME);
    EXPECT_EQ(video[4].pts, NO_TIME);
    EXPECT_EQ(video[5].size, 0);
    EXPECT_TRUE(video[5].preroll);
    ASSERT_EQ(audio.size(), 1u);
    EXPECT_EQ(audio[0].track, 1);
    EXPECT_EQ(audio[0].dts, 2000);
    EXPECT_EQ(audio[0].frameType, FRAME_UNKNOWN);
}

TEST_F(RendererCore, AudioDelayShiftsOnlyTimedAudio) {
    Make();
    renderer->AudioOffset(200.7);
    ASSERT_TRUE(graph->Build(renderer, {0, 1}));
    ASSERT_EQ(graph->graph->Run(), S_OK);
    graph->Push(0, {1}, 10000000);
    graph->Push(1, {2}, 10000000);
    graph->Out(1)->PushSample(std::vector<uint8_t>{3}, nullptr, nullptr, false);
    Drain(0);
    Drain(1);
    int64_t videoDts = 0;
    std::vector<int64_t> audioDts;
    for (auto& p : sink->Puts()) {
        if (p.track == 0) videoDts = p.dts;
        if (p.track == 1) audioDts.push_back(p.dts);
    }
    EXPECT_EQ(videoDts, 1000);
    ASSERT_EQ(audioDts.size(), 2u);
    EXPECT_EQ(audioDts[0], 1200) << "the delay is truncated to whole milliseconds";
    EXPECT_EQ(audioDts[1], NO_TIME) << "an untimed sample stays untimed";
}

TEST_F(RendererCore, FullSinkHoldsSenderUntilRoomOrStop) {
    Make();
    ASSERT_TRUE(graph->Build(renderer, {0}));
    graph->Out(0)->SetStopOnRefusal(false);
    ASSERT_EQ(graph->graph->Run(), S_OK);
    sink->SetBlocked(0, true);
    graph->Push(0, {1}, 0);
    ASSERT_TRUE(sink->WaitFor([&] { return sink->waiting == 1; }));
    EXPECT_TRUE(graph->Out(0)->Results().empty()) << "the sample is not answered while the sink is full";
    sink->SetBlocked(0, false);
    Drain(0);
    ASSERT_EQ(graph->Out(0)->Results(), std::vector<HRESULT>{S_OK});

    // Held again; the pause signals the stop event and the sender is answered S_FALSE.
    sink->SetBlocked(0, true);
    graph->Push(0, {2}, 400000);
    ASSERT_TRUE(sink->WaitFor([&] { return sink->waiting == 1; }));
    ASSERT_EQ(graph->graph->Pause(), S_OK);
    Drain(0);
    auto results = graph->Out(0)->Results();
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[1], S_FALSE);
    EXPECT_EQ(sink->Puts().size(), 2u) << "the held sample was delivered before the wait";
}

TEST_F(RendererCore, FlushReleasesHeldSenderAndRejectsDuringFlush) {
    Make();
    ASSERT_TRUE(graph->Build(renderer, {0}));
    ASSERT_EQ(graph->graph->Run(), S_OK);
    sink->SetBlocked(0, true);
    graph->Push(0, {1}, 0);
    ASSERT_TRUE(sink->WaitFor([&] { return sink->waiting == 1; }));
    ASSERT_EQ(graph->Out(0)->Flush(), S_OK) << "BeginFlush must free the streaming thread";
    EXPECT_EQ(sink->waiting, 0);
    sink->SetBlocked(0, false);
    graph->Push(0, {2}, 400000);
    Drain(0);
    EXPECT_EQ(graph->Out(0)->Results().back(), S_OK) << "EndFlush resets the stop event";
}

TEST_F(RendererCore, BlockTimeoutMarksTrackInactiveUntilNextSample) {
    BS::PinOptions o;
    o.timeoutEnabled = false;  // as with StopIfTimeout 0
    o.blockTimeoutMs = 150;
    o.watchdogPeriodMs = 50;
    Make(o);
    ASSERT_TRUE(graph->Build(renderer, {0}));
    ASSERT_EQ(graph->graph->Run(), S_OK);
    graph->Push(0, {1}, 0);
    ASSERT_TRUE(sink->WaitFor([&] {
        for (auto& a : sink->activity)
            if (a == std::make_pair(0u, false)) return true;
        return false;
    })) << "no inactive mark after the block time-out";
    size_t marks = 0;
    {
        std::lock_guard<std::mutex> g(sink->m);
        marks = sink->activity.size();
    }
    graph->Push(0, {2}, 400000);
    ASSERT_TRUE(sink->WaitFor([&] {
        for (size_t i = marks; i < sink->activity.size(); ++i)
            if (sink->activity[i] == std::make_pair(0u, true)) return true;
        return false;
    })) << "the next sample marks the track active again";
    LONG_PTR code = 0;
    EXPECT_FALSE(graph->WaitEvent(EC_ERRORABORT, &code, 100)) << "the abort time-out is off";
}

TEST_F(RendererCore, AbortTimeoutRaisesPinCodeButNotWhileQueuedOrAfterEndOfStream) {
    BS::PinOptions o;
    o.timeoutMs = 200;
    o.blockTimeoutMs = 100;
    o.watchdogPeriodMs = 50;
    Make(o);
    ASSERT_TRUE(graph->Build(renderer, {0, 1}));
    {
        std::lock_guard<std::mutex> g(sink->m);
        sink->queue[1] = 3;  // the audio track still has queued samples: its clock never runs
    }
    ASSERT_EQ(graph->graph->Run(), S_OK);
    graph->Push(0, {1}, 0);
    graph->Push(1, {1}, 0);
    LONG_PTR code = 0;
    ASSERT_TRUE(graph->WaitEvent(EC_ERRORABORT, &code, 5000));
    EXPECT_EQ(static_cast<HRESULT>(code), BS::E_VIDEO_INPUT_TIMEOUT);
    // The audio pin never times out while the sink holds its samples; after the video pin's end of
    // stream, nothing times out at all.
    graph->Out(0)->PushEndOfStream();
    Drain(0);
    while (graph->WaitEvent(EC_ERRORABORT, &code, 50)) {
    }
    EXPECT_FALSE(graph->WaitEvent(EC_ERRORABORT, &code, 600));
}

TEST_F(RendererCore, AbortTimeoutInsideReceiveDiscardsTheSinkQueue) {
    BS::PinOptions o;
    o.timeoutMs = 200;
    o.blockTimeoutEnabled = false;
    o.watchdogPeriodMs = 50;
    Make(o);
    ASSERT_TRUE(graph->Build(renderer, {0}));
    ASSERT_EQ(graph->graph->Run(), S_OK);
    sink->SetBlocked(0, true);
    graph->Push(0, {1}, 0);
    // The watchdog sees a Receive in progress: it discards the sink's data, which frees the sender.
    Drain(0);
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
    EXPECT_EQ(renderer->starts, 1);
    const int64_t nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_NEAR(static_cast<double>(renderer->GetUTCRefTime()), static_cast<double>(nowMs), 1000.0);
    ASSERT_EQ(graph->graph->Pause(), S_OK);
    ASSERT_EQ(graph->graph->Run(), S_OK);
    EXPECT_EQ(renderer->prepares, 1) << "only a pause from stopped prepares";
    EXPECT_EQ(renderer->starts, 1) << "only the first run starts rendering";
    ASSERT_EQ(graph->graph->Stop(), S_OK);
    EXPECT_EQ(renderer->GetUTCRefTime(), NO_TIME);
    std::lock_guard<std::mutex> g(sink->m);
    EXPECT_EQ(sink->closes, 1);
    ASSERT_FALSE(sink->flushes.empty());
    EXPECT_EQ(sink->flushes.back(), std::make_pair(false, true)) << "a plain stop discards the queue";
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
    const int64_t sysMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch()).count();
    ASSERT_EQ(renderer->Run(now + 5000000), S_OK);
    EXPECT_NEAR(static_cast<double>(renderer->GetUTCRefTime() - sysMs), 500.0, 60.0);
    renderer->Stop();
    renderer->SetSyncSource(nullptr);
    clock->Release();
}

TEST_F(RendererCore, EndOfStreamOnEveryPinFlushesClosesAndCompletes) {
    Make();
    ASSERT_TRUE(graph->Build(renderer, {0, 1}));
    ASSERT_EQ(graph->graph->Run(), S_OK);
    graph->Out(0)->PushEndOfStream();
    Drain(0);
    {
        std::lock_guard<std::mutex> g(sink->m);
        EXPECT_EQ(sink->eos, std::vector<int32_t>{0});
        EXPECT_EQ(sink->closes, 0) << "the audio pin is still open";
    }
    LONG_PTR p = 0;
    EXPECT_FALSE(graph->WaitEvent(EC_COMPLETE, &p, 100));
    graph->Out(1)->PushEndOfStream();
    Drain(1);
    ASSERT_TRUE(graph->WaitEvent(EC_COMPLETE, &p, 5000));
    std::lock_guard<std::mutex> g(sink->m);
    EXPECT_EQ(sink->eos, (std::vector<int32_t>{0, 1}));
    EXPECT_EQ(sink->closes, 1);
    ASSERT_FALSE(sink->flushes.empty());
    EXPECT_EQ(sink->flushes.back(), std::make_pair(true, true)) << "at end of stream the queue is sent";
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
    const size_t before = sink->Puts().size();
    graph->Push(0, {2}, 400000);
    Drain(0);
    EXPECT_EQ(sink->Puts().size(), before) << "nothing reaches a sink that is not up";
    ASSERT_TRUE(graph->WaitEvent(EC_ERRORABORT, &code, 2000));
    EXPECT_EQ(static_cast<HRESULT>(code), E_FAIL);
}

// Drives the tick the pins read, so that "two seconds later" needs no waiting.
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
    std::vector<int64_t> video;
    int64_t audio = 0;
    for (auto& p : sink->Puts()) (p.track == 0 ? video.push_back(p.dts) : void(audio = p.dts));
    ASSERT_EQ(video.size(), 2u);
    EXPECT_EQ(video[0], 0);
    EXPECT_EQ(video[1], 2000) << "20 000 000 units after the first sample, whatever its own stamp";
    EXPECT_EQ(audio, 777) << "audio keeps its stamps";
}

}  // namespace
