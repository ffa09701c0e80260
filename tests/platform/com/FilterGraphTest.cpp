// The graph layer end to end: a push source feeding a recording renderer through a graph.
#include <algorithm>
#include <thread>

#include <gtest/gtest.h>

#include "TestFilters.h"
#include "platform/Clock.h"
#include "platform/com/ComPtr.h"
#include "platform/dshow/FilterGraph.h"
#include "platform/dshow/MediaSample.h"
#include "platform/dshow/SystemClock.h"
#include "platform/dshow/Uuids.h"

using namespace qvtest;

namespace {

template <class Format>
CMediaType TypeOf(const GUID& major, const GUID& sub, const GUID& formatType, const Format& f) {
    CMediaType mt(&major);
    mt.SetSubtype(&sub);
    mt.SetFormatType(&formatType);
    mt.SetFormat(reinterpret_cast<const BYTE*>(&f), sizeof f);
    return mt;
}
CMediaType H264Type() {
    VIDEOINFOHEADER vih{};
    vih.AvgTimePerFrame = 400000;
    vih.bmiHeader.biWidth = 640;
    return TypeOf(MEDIATYPE_Video, MEDIASUBTYPE_H264, FORMAT_VideoInfo, vih);
}
CMediaType AacType() {
    WAVEFORMATEX wfx{};
    wfx.wFormatTag = WAVE_FORMAT_RAW_AAC1;
    wfx.nSamplesPerSec = 48000;
    return TypeOf(MEDIATYPE_Audio, MEDIASUBTYPE_RAW_AAC1, FORMAT_WaveFormatEx, wfx);
}

class ManualClock : public platform::IClock {
public:
    uint32_t Now() override { return now.load(); }
    void Sleep(uint32_t) override {}
    std::atomic<uint32_t> now{1000};
};

// One source, one renderer, both in a graph; everything released and checked for leaks at the end.
class GraphTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_objectsBefore = ComObjectCount();
        graph = CComPtr<CFilterGraph>::Attach(CFilterGraph::Create());
        renderer = CRecordingRenderer::Create(&journal);
        source = CRecordingSource::Create(&journal, {AacType(), H264Type()});
        ASSERT_EQ(graph->AddFilter(source, L"Source"), S_OK);
        ASSERT_EQ(graph->AddFilter(renderer, L"Renderer"), S_OK);
    }
    void TearDown() override {
        graph->Stop();
        source->Release();
        renderer->Release();
        graph.Release();
        EXPECT_EQ(ComObjectCount(), m_objectsBefore);  // filters, allocators, samples, enumerators
    }
    HRESULT Connect(const AM_MEDIA_TYPE* pmt = nullptr) {
        return graph->ConnectDirect(&source->Pin(), &renderer->Pin(), pmt);
    }
    void Disconnect() {
        ASSERT_EQ(graph->Disconnect(&renderer->Pin()), S_OK);
        ASSERT_EQ(graph->Disconnect(&source->Pin()), S_OK);
    }
    Journal journal;
    CComPtr<CFilterGraph> graph;
    CRecordingRenderer* renderer = nullptr;
    CRecordingSource* source = nullptr;

private:
    LONG m_objectsBefore = 0;
};

TEST_F(GraphTest, ConnectionAgreesOnATypeBothEndsAcceptOrLeavesBothUnconnected) {
    renderer->Pin().accept = {MEDIASUBTYPE_PCM};
    EXPECT_EQ(Connect(), VFW_E_NO_ACCEPTABLE_TYPES);
    CMediaType h264 = H264Type();
    EXPECT_EQ(renderer->Pin().QueryAccept(&h264), S_FALSE);
    renderer->Pin().accept = {MEDIASUBTYPE_H264};
    CMediaType aac = AacType();
    EXPECT_EQ(Connect(&aac), VFW_E_TYPE_NOT_ACCEPTED);
    CComPtr<IPin> peer;
    EXPECT_EQ(renderer->Pin().ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
    EXPECT_FALSE(source->Pin().IsConnected());
    EXPECT_TRUE(journal.Lines().empty());  // no half-built connection was completed

    ASSERT_EQ(Connect(), S_OK);  // the source's first type is refused, its second taken
    EXPECT_EQ(renderer->Pin().ConnectedTo(&peer), S_OK);
    EXPECT_EQ(peer.get(), static_cast<IPin*>(&source->Pin()));
    EXPECT_TRUE(renderer->Pin().CurrentMediaType() == h264);
    EXPECT_TRUE(source->Pin().CurrentMediaType() == h264);
    EXPECT_NE(renderer->Pin().PeekAllocator(), nullptr);  // the source lends the renderer's allocator
    EXPECT_EQ(Connect(), VFW_E_ALREADY_CONNECTED);
    EXPECT_EQ(graph->ConnectDirect(&renderer->Pin(), &source->Pin(), nullptr), VFW_E_INVALID_DIRECTION);
    Disconnect();

    // The receiver's proposals come before the source's own; a partial type narrows the choice.
    renderer->Pin().accept.clear();
    renderer->Pin().propose = {h264};
    ASSERT_EQ(Connect(), S_OK);
    EXPECT_TRUE(*renderer->Pin().CurrentMediaType().Subtype() == MEDIASUBTYPE_H264);
    Disconnect();
    CMediaType audioOnly(&MEDIATYPE_Audio);
    ASSERT_EQ(Connect(&audioOnly), S_OK);
    EXPECT_TRUE(*renderer->Pin().CurrentMediaType().Subtype() == MEDIASUBTYPE_RAW_AAC1);
}

TEST_F(GraphTest, TransitionsReachRenderersFirstAndPinsInStep) {
    ASSERT_EQ(Connect(), S_OK);
    journal.Clear();
    ASSERT_EQ(graph->Run(), S_OK);
    FILTER_STATE fs;
    EXPECT_EQ(renderer->GetState(0, &fs), S_OK);
    EXPECT_EQ(fs, State_Running);
    ASSERT_EQ(graph->Stop(), S_OK);
    std::vector<std::string> expected = {
        "renderer:Pause", "pin:Active", "source:Pause",  // run from stopped pauses first
        "renderer:Run",   "pin:Run",    "source:Run",
        "renderer:Pause", "source:Pause",                // stop from running pauses first
        "renderer:Stop",  "pin:Inactive", "source:Stop",
    };
    EXPECT_EQ(journal.Lines(), expected);
    journal.Clear();
    ASSERT_EQ(graph->Pause(), S_OK);
    ASSERT_EQ(graph->Run(), S_OK);  // no second activation of the pins
    expected = {"renderer:Pause", "pin:Active", "source:Pause", "renderer:Run", "pin:Run", "source:Run"};
    EXPECT_EQ(journal.Lines(), expected);
    EXPECT_EQ(graph->Disconnect(&renderer->Pin()), VFW_E_NOT_STOPPED);
}

TEST_F(GraphTest, StreamTimeRunsFromTheStartTimeAndTheClockWidensTheTickAcrossItsWrap) {
    ManualClock clock;
    platform::SetClock(&clock);
    ASSERT_EQ(Connect(), S_OK);
    ASSERT_EQ(graph->SetDefaultSyncSource(), S_OK);
    graph->SetStartDelay(20 * MILLISECONDS);
    ASSERT_EQ(graph->Run(), S_OK);
    EXPECT_EQ(graph->StartTime(), (1000 + 20) * MILLISECONDS);  // 20 ms after the run, in 100-ns units
    EXPECT_EQ(renderer->RunStart(), graph->StartTime());
    clock.now = 1520;
    CRefTime t;
    ASSERT_EQ(renderer->StreamTime(t), S_OK);
    EXPECT_EQ(t.m_time, 500 * MILLISECONDS);
    graph->Stop();

    clock.now = 0xFFFFFFF0u;
    CComPtr<IReferenceClock> ref = CComPtr<IReferenceClock>::Attach(CSystemClock::Create());
    REFERENCE_TIME a = 0, b = 0;
    ref->GetTime(&a);
    clock.now = 0x10;
    ref->GetTime(&b);
    EXPECT_EQ(b - a, 32 * MILLISECONDS);
    platform::SetClock(nullptr);
}

TEST_F(GraphTest, SamplesArriveInOrderWithTimesFlagsAndBytes) {
    ASSERT_EQ(Connect(), S_OK);
    ASSERT_EQ(graph->Run(), S_OK);
    CSourceOutputPin& out = source->Pin();
    out.PushNewSegment(0, MAX_TIME, 1.0);
    constexpr int kCount = 40;
    auto size = [](int i) { return static_cast<size_t>(1 + i * 37 % 300); };
    for (int i = 0; i < kCount; ++i) {
        REFERENCE_TIME start = i * 400000LL, stop = start + 400000;
        // Every third sample carries only a start time, like an encoder that does not know durations.
        out.PushSample(std::vector<BYTE>(size(i), static_cast<BYTE>(i)), &start, i % 3 == 0 ? nullptr : &stop,
                       i % 10 == 0, i == 0, i == 20);
    }
    out.PushSample({}, nullptr, nullptr, false);
    out.PushEndOfStream();
    ASSERT_TRUE(out.WaitIdle(10000));

    auto got = renderer->Pin().Samples();
    ASSERT_EQ(got.size(), static_cast<size_t>(kCount + 1));
    for (int i = 0; i < kCount; ++i) {
        SCOPED_TRACE(i);
        const ReceivedSample& s = got[static_cast<size_t>(i)];
        EXPECT_EQ(s.data, std::vector<BYTE>(size(i), static_cast<BYTE>(i)));
        EXPECT_EQ(s.start, i * 400000LL);
        EXPECT_EQ(s.timeResult, i % 3 == 0 ? VFW_S_NO_STOP_TIME : S_OK);
        if (i % 3) {
            EXPECT_EQ(s.stop, s.start + 400000);
        }
        EXPECT_EQ(s.sync, i % 10 == 0);
        EXPECT_EQ(s.preroll, i == 0);
        EXPECT_EQ(s.discontinuity, i == 20);
    }
    EXPECT_TRUE(got.back().data.empty());
    EXPECT_EQ(got.back().timeResult, VFW_E_SAMPLE_TIME_NOT_SET);
    auto results = out.Results();
    EXPECT_EQ(results, std::vector<HRESULT>(kCount + 3, S_OK));
    auto lines = journal.Lines();
    EXPECT_LT(std::find(lines.begin(), lines.end(), "pin:NewSegment"), std::find(lines.begin(), lines.end(), "pin:EndOfStream"));
    LONG code;
    LONG_PTR p1, p2;
    ASSERT_EQ(graph->GetEvent(&code, &p1, &p2, 5000), S_OK);
    EXPECT_EQ(code, EC_COMPLETE);
    EXPECT_EQ(p2, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(renderer)));  // the reporting filter
}

TEST_F(GraphTest, FlushReleasesABlockedSenderAndDropsWhatWasQueued) {
    ASSERT_EQ(Connect(), S_OK);
    ASSERT_EQ(graph->Run(), S_OK);
    CSourceOutputPin& out = source->Pin();
    out.SetStopOnRefusal(false);
    renderer->Pin().blockNextReceive = true;
    REFERENCE_TIME t = 0;
    out.PushSample(std::vector<BYTE>{1}, &t, nullptr, true);
    ASSERT_TRUE(journal.WaitFor("pin:Blocked", 5000));
    out.PushSample(std::vector<BYTE>{1}, &t, nullptr, false);  // queued behind the blocked one: gone with the flush
    out.PushSample(std::vector<BYTE>{1}, &t, nullptr, false);
    ASSERT_EQ(out.Flush(), S_OK);
    EXPECT_EQ(out.Dropped(), 2u);
    out.PushSample(std::vector<BYTE>{2, 2}, &t, nullptr, true);  // after the flush the stream goes on
    ASSERT_TRUE(out.WaitIdle(5000));
    auto got = renderer->Pin().Samples();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].data, (std::vector<BYTE>{2, 2}));
    auto lines = journal.Lines();
    auto begin = std::find(lines.begin(), lines.end(), "pin:BeginFlush");
    EXPECT_LT(begin, std::find(begin, lines.end(), "pin:EndFlush"));
    EXPECT_EQ(out.Results().front(), S_FALSE);  // the blocked delivery was answered "stop sending"
}

TEST_F(GraphTest, RefusalStopsTheSourceUntilTheNextFlush) {
    ASSERT_EQ(Connect(), S_OK);
    ASSERT_EQ(graph->Run(), S_OK);
    renderer->Pin().refuseIndex = 2;
    CSourceOutputPin& out = source->Pin();
    for (REFERENCE_TIME t = 0; t < 6; ++t) out.PushSample(std::vector<BYTE>{7}, &t, nullptr, false);
    ASSERT_TRUE(out.WaitIdle(5000));
    EXPECT_EQ(renderer->Pin().Samples().size(), 3u);
    EXPECT_EQ(out.Dropped(), 3u);
    EXPECT_EQ(out.Results(), (std::vector<HRESULT>{S_OK, S_OK, S_FALSE}));
    out.Flush();
    REFERENCE_TIME t = 9;
    out.PushSample(std::vector<BYTE>{7}, &t, nullptr, false);
    ASSERT_TRUE(out.WaitIdle(5000));
    EXPECT_EQ(renderer->Pin().Samples().size(), 4u);
}

TEST_F(GraphTest, ReceiveFollowsStateFlushAndTypeChanges) {
    renderer->Pin().accept = {MEDIASUBTYPE_H264};
    ASSERT_EQ(Connect(), S_OK);
    IMemInputPin* mem = &renderer->Pin();
    CComPtr<IMediaSample> s = CComPtr<IMediaSample>::Attach(CMediaSample::Create(4));
    EXPECT_EQ(mem->Receive(s.get()), VFW_E_WRONG_STATE);
    ASSERT_EQ(graph->Pause(), S_OK);
    EXPECT_EQ(mem->Receive(s.get()), S_OK);  // paused filters take samples (preroll)
    renderer->Pin().BeginFlush();
    EXPECT_EQ(mem->Receive(s.get()), S_FALSE);
    renderer->Pin().EndFlush();
    EXPECT_EQ(mem->Receive(nullptr), E_POINTER);

    CMediaType aac = AacType();
    s->SetMediaType(&aac);
    EXPECT_EQ(mem->Receive(s.get()), VFW_E_INVALIDMEDIATYPE);
    s->SetMediaType(nullptr);
    EXPECT_EQ(mem->Receive(s.get()), VFW_E_RUNTIME_ERROR);  // until a flush or stop clears it
    LONG code;
    LONG_PTR p1, p2;
    bool sawAbort = false;
    while (graph->GetEvent(&code, &p1, &p2, 200) == S_OK) sawAbort |= code == EC_ERRORABORT && p1 == VFW_E_TYPE_NOT_ACCEPTED;
    EXPECT_TRUE(sawAbort);
    renderer->Pin().BeginFlush();
    renderer->Pin().EndFlush();
    EXPECT_EQ(mem->Receive(s.get()), S_OK);
}

TEST_F(GraphTest, PinsFiltersAndNamesThroughTheInterfaces) {
    CComPtr<IPin> pin, miss;
    EXPECT_EQ(renderer->FindPin(L"In", &pin), S_OK);
    EXPECT_EQ(renderer->FindPin(L"in", &miss), VFW_E_NOT_FOUND);  // names compare case-sensitively
    CRecordingRenderer* second = CRecordingRenderer::Create(&journal);
    EXPECT_EQ(graph->AddFilter(second, L"Renderer"), VFW_S_DUPLICATE_NAME);
    CComPtr<IBaseFilter> found;
    EXPECT_EQ(graph->FindFilterByName(L"Renderer 0001", &found), S_OK);
    EXPECT_EQ(found.get(), static_cast<IBaseFilter*>(second));
    ASSERT_EQ(graph->ConnectDirect(&source->Pin(), &second->Pin(), nullptr), S_OK);
    EXPECT_EQ(graph->RemoveFilter(second), S_OK);  // removal disconnects
    EXPECT_FALSE(source->Pin().IsConnected());
    FILTER_INFO fi{};
    second->QueryFilterInfo(&fi);
    EXPECT_EQ(fi.pGraph, nullptr);
    found.Release();
    second->Release();
}

TEST(GraphEvents, GetEventWaitsBoundedAndKeepsOrderAcrossThreads) {
    CComPtr<CFilterGraph> graph = CComPtr<CFilterGraph>::Attach(CFilterGraph::Create());
    LONG code = 0;
    LONG_PTR p1 = 0, p2 = 0;
    EXPECT_EQ(graph->GetEvent(&code, &p1, &p2, 30), E_ABORT);
    constexpr int kPer = 500;
    auto post = [&](LONG c) {
        for (int i = 0; i < kPer; ++i) graph->Notify(c, i, 0);
    };
    std::thread a(post, 100), b(post, 200);
    int next[2] = {0, 0};
    for (int i = 0; i < 2 * kPer; ++i) {
        ASSERT_EQ(graph->GetEvent(&code, &p1, &p2, 10000), S_OK);
        ASSERT_TRUE(code == 100 || code == 200) << code;
        EXPECT_EQ(p1, next[code / 200]++);  // each poster's events in its own order, none lost
    }
    a.join();
    b.join();
    EXPECT_EQ(graph->GetEvent(&code, &p1, &p2, 0), E_ABORT);
}

}  // namespace
