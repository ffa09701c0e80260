// The graph layer end to end: a push source feeding a recording renderer through a graph.
#include <algorithm>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "TestFilters.h"
#include "platform/Clock.h"
#include "platform/com/ComPtr.h"
#include "platform/com/TaskMem.h"
#include "platform/dshow/MediaSample.h"
#include "platform/dshow/FilterGraph.h"
#include "platform/dshow/SystemClock.h"
#include "platform/dshow/Uuids.h"

using namespace qvtest;

namespace {

CMediaType H264Type() {
    CMediaType mt(&MEDIATYPE_Video);
    mt.SetSubtype(&MEDIASUBTYPE_H264);
    mt.SetFormatType(&FORMAT_VideoInfo);
    VIDEOINFOHEADER vih{};
    vih.AvgTimePerFrame = 400000;
    vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    vih.bmiHeader.biWidth = 640;
    vih.bmiHeader.biHeight = 360;
    mt.SetFormat(reinterpret_cast<const BYTE*>(&vih), sizeof vih);
    return mt;
}

CMediaType AacType() {
    CMediaType mt(&MEDIATYPE_Audio);
    mt.SetSubtype(&MEDIASUBTYPE_RAW_AAC1);
    mt.SetFormatType(&FORMAT_WaveFormatEx);
    WAVEFORMATEX wfx{};
    wfx.wFormatTag = WAVE_FORMAT_RAW_AAC1;
    wfx.nChannels = 2;
    wfx.nSamplesPerSec = 48000;
    mt.SetFormat(reinterpret_cast<const BYTE*>(&wfx), sizeof wfx);
    return mt;
}

// A clock the test moves by hand.
class ManualClock : public platform::IClock {
public:
    uint32_t Now() override { return now.load(); }
    void Sleep(uint32_t) override {}
    std::atomic<uint32_t> now{1000};
};

// One source, one renderer, both in a graph; everything released (and checked for leaks) at the end.
class GraphTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_objectsBefore = ComObjectCount();
        graph = CComPtr<CFilterGraph>::Attach(CFilterGraph::Create());
        renderer = CRecordingRenderer::Create(&journal);
        source = CRecordingSource::Create(&journal, sourceTypes);
        ASSERT_EQ(graph->AddFilter(source, L"Source"), S_OK);
        ASSERT_EQ(graph->AddFilter(renderer, L"Renderer"), S_OK);
    }
    void TearDown() override {
        graph->Stop();
        source->Release();
        renderer->Release();
        graph.Release();
        // Every filter, pin peer, allocator, sample and enumerator is gone with the graph.
        EXPECT_EQ(ComObjectCount(), m_objectsBefore);
    }
    HRESULT Connect(const AM_MEDIA_TYPE* pmt = nullptr) {
        return graph->ConnectDirect(&source->Pin(), &renderer->Pin(), pmt);
    }

    std::vector<CMediaType> sourceTypes{H264Type()};
    Journal journal;
    CComPtr<CFilterGraph> graph;
    CRecordingRenderer* renderer = nullptr;
    CRecordingSource* source = nullptr;

private:
    LONG m_objectsBefore = 0;
};

TEST_F(GraphTest, ConnectAgreesOnAnAcceptedTypeAtBothEnds) {
    renderer->Pin().accept = {MEDIASUBTYPE_H264};
    ASSERT_EQ(Connect(), S_OK);
    CComPtr<IPin> peer;
    EXPECT_EQ(renderer->Pin().ConnectedTo(&peer), S_OK);
    EXPECT_EQ(peer.get(), static_cast<IPin*>(&source->Pin()));
    EXPECT_TRUE(renderer->Pin().CurrentMediaType() == H264Type());
    EXPECT_TRUE(source->Pin().CurrentMediaType() == H264Type());
    AM_MEDIA_TYPE mt{};
    ASSERT_EQ(renderer->Pin().ConnectionMediaType(&mt), S_OK);
    EXPECT_EQ(mt.cbFormat, sizeof(VIDEOINFOHEADER));
    FreeMediaType(mt);
    // The agreed allocator is shared: the source lends the renderer's.
    EXPECT_NE(renderer->Pin().PeekAllocator(), nullptr);

    EXPECT_EQ(Connect(), VFW_E_ALREADY_CONNECTED);
    EXPECT_EQ(graph->ConnectDirect(&renderer->Pin(), &source->Pin(), nullptr), VFW_E_INVALID_DIRECTION);
}

TEST_F(GraphTest, RefusedTypeLeavesBothPinsUnconnected) {
    renderer->Pin().accept = {MEDIASUBTYPE_RAW_AAC1};
    EXPECT_EQ(Connect(), VFW_E_NO_ACCEPTABLE_TYPES);
    CMediaType h264 = H264Type();
    EXPECT_EQ(Connect(&h264), VFW_E_TYPE_NOT_ACCEPTED);
    CComPtr<IPin> peer;
    EXPECT_EQ(renderer->Pin().ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(source->Pin().ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
    EXPECT_FALSE(source->Pin().IsConnected());
    // Nothing half-built stays behind: the failed attempts broke their connections again.
    auto lines = journal.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "pin:CompleteConnect"), 0);
    // QueryAccept answers with the check's verdict, never an error.
    EXPECT_EQ(renderer->Pin().QueryAccept(&h264), S_FALSE);
    CMediaType aac = AacType();
    EXPECT_EQ(renderer->Pin().QueryAccept(&aac), S_OK);
}

class TwoTypeGraphTest : public GraphTest {
protected:
    TwoTypeGraphTest() { sourceTypes = {AacType(), H264Type()}; }
};

TEST_F(TwoTypeGraphTest, ReceiverProposalsAreTriedBeforeTheSourceOwn) {
    // The source lists AAC first; the renderer proposes H.264 and accepts either.
    renderer->Pin().propose = {H264Type()};
    ASSERT_EQ(Connect(), S_OK);
    EXPECT_TRUE(*renderer->Pin().CurrentMediaType().Subtype() == MEDIASUBTYPE_H264);
    ASSERT_EQ(graph->Disconnect(&renderer->Pin()), S_OK);
    ASSERT_EQ(graph->Disconnect(&source->Pin()), S_OK);
    // A partial type narrows the choice to matching types.
    renderer->Pin().propose.clear();
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
    EXPECT_EQ(renderer->GetState(0, &fs), S_OK);
    EXPECT_EQ(fs, State_Stopped);
    std::vector<std::string> expected = {
        "renderer:Pause", "pin:Active", "source:Pause",  // run from stopped pauses first
        "renderer:Run",   "pin:Run",    "source:Run",
        "renderer:Pause", "source:Pause",                // stop from running pauses first
        "renderer:Stop",  "pin:Inactive", "source:Stop",
    };
    EXPECT_EQ(journal.Lines(), expected);

    // Pause then run: no second activation of the pins.
    journal.Clear();
    ASSERT_EQ(graph->Pause(), S_OK);
    ASSERT_EQ(graph->Run(), S_OK);
    ASSERT_EQ(graph->GetState(100, &fs), S_OK);
    EXPECT_EQ(fs, State_Running);
    expected = {"renderer:Pause", "pin:Active", "source:Pause", "renderer:Run", "pin:Run", "source:Run"};
    EXPECT_EQ(journal.Lines(), expected);
    // Connections cannot change while the graph runs.
    EXPECT_EQ(graph->Disconnect(&renderer->Pin()), VFW_E_NOT_STOPPED);
}

TEST_F(GraphTest, StreamTimeRunsFromTheStartTimeOnTheClockTick) {
    ManualClock clock;
    platform::SetClock(&clock);
    ASSERT_EQ(Connect(), S_OK);
    ASSERT_EQ(graph->SetDefaultSyncSource(), S_OK);
    graph->SetStartDelay(20 * MILLISECONDS);
    ASSERT_EQ(graph->Run(), S_OK);
    // Stream time 0 is 20 ms after the run, on the platform tick in 100-ns units.
    EXPECT_EQ(graph->StartTime(), (1000 + 20) * MILLISECONDS);
    EXPECT_EQ(renderer->RunStart(), graph->StartTime());
    clock.now = 1520;
    CRefTime t;
    ASSERT_EQ(renderer->StreamTime(t), S_OK);
    EXPECT_EQ(t.m_time, 500 * MILLISECONDS);
    EXPECT_EQ(t.Millisecs(), 500);
    graph->Stop();
    platform::SetClock(nullptr);
}

TEST(SystemClock, WidensTheTickAcrossItsWrapAndNeverGoesBack) {
    ManualClock clock;
    clock.now = 0xFFFFFFF0u;
    platform::SetClock(&clock);
    CComPtr<IReferenceClock> ref = CComPtr<IReferenceClock>::Attach(CSystemClock::Create());
    REFERENCE_TIME a = 0, b = 0, c = 0;
    ref->GetTime(&a);
    EXPECT_EQ(a, static_cast<REFERENCE_TIME>(0xFFFFFFF0u) * MILLISECONDS);
    clock.now = 0x10;  // 32 ms later, past the wrap
    ref->GetTime(&b);
    EXPECT_EQ(b - a, 32 * MILLISECONDS);
    DWORD_PTR cookie = 1;
    EXPECT_EQ(ref->AdviseTime(0, 0, 0, &cookie), E_NOTIMPL);
    EXPECT_EQ(cookie, 0u);
    ref->GetTime(&c);
    EXPECT_GE(c, b);
    platform::SetClock(nullptr);
}

TEST_F(GraphTest, SamplesArriveInOrderWithTimesFlagsAndBytes) {
    ASSERT_EQ(Connect(), S_OK);
    ASSERT_EQ(graph->Run(), S_OK);
    CSourceOutputPin& out = source->Pin();
    out.PushNewSegment(0, MAX_TIME, 1.0);
    constexpr int kCount = 40;
    for (int i = 0; i < kCount; ++i) {
        std::vector<BYTE> data(static_cast<size_t>(1 + i * 37 % 300), static_cast<BYTE>(i));
        REFERENCE_TIME start = i * 400000LL, stop = start + 400000;
        // Every third sample carries only a start time, like an encoder that does not know durations.
        out.PushSample(data, &start, i % 3 == 0 ? nullptr : &stop, i % 10 == 0, i == 0, i == 20);
    }
    out.PushSample({}, nullptr, nullptr, false);  // an empty sample without time
    out.PushEndOfStream();
    ASSERT_TRUE(out.WaitIdle(10000));

    auto got = renderer->Pin().Samples();
    ASSERT_EQ(got.size(), static_cast<size_t>(kCount + 1));
    for (int i = 0; i < kCount; ++i) {
        const ReceivedSample& s = got[static_cast<size_t>(i)];
        ASSERT_EQ(s.data.size(), static_cast<size_t>(1 + i * 37 % 300)) << i;
        EXPECT_TRUE(std::all_of(s.data.begin(), s.data.end(), [i](BYTE b) { return b == static_cast<BYTE>(i); }));
        EXPECT_EQ(s.start, i * 400000LL);
        if (i % 3 == 0) {
            EXPECT_EQ(s.timeResult, VFW_S_NO_STOP_TIME);
        } else {
            EXPECT_EQ(s.timeResult, S_OK);
            EXPECT_EQ(s.stop, s.start + 400000);
        }
        EXPECT_EQ(s.sync, i % 10 == 0) << i;
        EXPECT_EQ(s.preroll, i == 0) << i;
        EXPECT_EQ(s.discontinuity, i == 20) << i;
    }
    EXPECT_TRUE(got.back().data.empty());
    EXPECT_EQ(got.back().timeResult, VFW_E_SAMPLE_TIME_NOT_SET);
    auto results = out.Results();
    EXPECT_EQ(results.size(), static_cast<size_t>(kCount + 3));
    EXPECT_TRUE(std::all_of(results.begin(), results.end(), [](HRESULT h) { return h == S_OK; }));

    // The segment came before the samples, end of stream after, and the graph heard of it.
    auto lines = journal.Lines();
    auto seg = std::find(lines.begin(), lines.end(), "pin:NewSegment");
    auto eos = std::find(lines.begin(), lines.end(), "pin:EndOfStream");
    EXPECT_NE(seg, lines.end());
    EXPECT_NE(eos, lines.end());
    EXPECT_EQ(renderer->Pin().CurrentRate(), 1.0);
    LONG code;
    LONG_PTR p1, p2;
    ASSERT_EQ(graph->GetEvent(&code, &p1, &p2, 5000), S_OK);
    EXPECT_EQ(code, EC_COMPLETE);
    EXPECT_EQ(p1, S_OK);
    // The base class names the reporting filter in the second parameter.
    EXPECT_EQ(p2, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(renderer)));
}

TEST_F(GraphTest, FlushReleasesABlockedSenderAndDropsWhatWasQueued) {
    ASSERT_EQ(Connect(), S_OK);
    ASSERT_EQ(graph->Run(), S_OK);
    CSourceOutputPin& out = source->Pin();
    out.SetStopOnRefusal(false);
    renderer->Pin().blockNextReceive = true;
    REFERENCE_TIME t = 0;
    std::vector<BYTE> one{1};
    out.PushSample(one, &t, nullptr, true);
    ASSERT_TRUE(journal.WaitFor("pin:Blocked", 5000));
    // Queued behind the blocked one: gone with the flush.
    out.PushSample(one, &t, nullptr, false);
    out.PushSample(one, &t, nullptr, false);
    ASSERT_EQ(out.Flush(), S_OK);
    EXPECT_EQ(out.Dropped(), 2u);

    // After the flush the stream goes on.
    std::vector<BYTE> two{2, 2};
    t = 800000;
    out.PushSample(two, &t, nullptr, true);
    ASSERT_TRUE(out.WaitIdle(5000));
    auto got = renderer->Pin().Samples();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].data, two);
    auto lines = journal.Lines();
    auto begin = std::find(lines.begin(), lines.end(), "pin:BeginFlush");
    auto end = std::find(lines.begin(), lines.end(), "pin:EndFlush");
    ASSERT_NE(begin, lines.end());
    ASSERT_NE(end, lines.end());
    EXPECT_LT(begin, end);
    // The blocked delivery was answered "stop sending".
    EXPECT_EQ(out.Results().front(), S_FALSE);
}

TEST_F(GraphTest, SamplesDuringAFlushOrWhileStoppedAreRefused) {
    ASSERT_EQ(Connect(), S_OK);
    IMemInputPin* mem = &renderer->Pin();
    CComPtr<IMediaSample> s = CComPtr<IMediaSample>::Attach(CMediaSample::Create(4));
    EXPECT_EQ(mem->Receive(s.get()), VFW_E_WRONG_STATE);
    ASSERT_EQ(graph->Pause(), S_OK);
    EXPECT_EQ(mem->Receive(s.get()), S_OK);  // paused filters take samples (preroll)
    renderer->Pin().BeginFlush();
    EXPECT_EQ(mem->Receive(s.get()), S_FALSE);
    renderer->Pin().EndFlush();
    EXPECT_EQ(mem->Receive(s.get()), S_OK);
    EXPECT_EQ(mem->Receive(nullptr), E_POINTER);
    EXPECT_EQ(mem->ReceiveCanBlock(), S_OK);  // a renderer may block
}

TEST_F(GraphTest, RefusalStopsTheSourceUntilTheNextFlush) {
    ASSERT_EQ(Connect(), S_OK);
    ASSERT_EQ(graph->Run(), S_OK);
    renderer->Pin().refuseIndex = 2;
    CSourceOutputPin& out = source->Pin();
    std::vector<BYTE> d{7};
    for (int i = 0; i < 6; ++i) {
        REFERENCE_TIME t = i;
        out.PushSample(d, &t, nullptr, false);
    }
    ASSERT_TRUE(out.WaitIdle(5000));
    EXPECT_EQ(renderer->Pin().Samples().size(), 3u);
    EXPECT_EQ(out.Dropped(), 3u);
    std::vector<HRESULT> expected{S_OK, S_OK, S_FALSE};
    EXPECT_EQ(out.Results(), expected);
    out.Flush();
    REFERENCE_TIME t = 9;
    out.PushSample(d, &t, nullptr, false);
    ASSERT_TRUE(out.WaitIdle(5000));
    EXPECT_EQ(renderer->Pin().Samples().size(), 4u);
}

TEST_F(GraphTest, UnacceptableTypeChangeOnASampleAbortsTheStream) {
    renderer->Pin().accept = {MEDIASUBTYPE_H264};
    ASSERT_EQ(Connect(), S_OK);
    ASSERT_EQ(graph->Pause(), S_OK);
    CComPtr<IMediaSample> s = CComPtr<IMediaSample>::Attach(CMediaSample::Create(4));
    CMediaType aac = AacType();
    s->SetMediaType(&aac);
    IMemInputPin* mem = &renderer->Pin();
    EXPECT_EQ(mem->Receive(s.get()), VFW_E_INVALIDMEDIATYPE);
    s->SetMediaType(nullptr);
    EXPECT_EQ(mem->Receive(s.get()), VFW_E_RUNTIME_ERROR);  // until a flush or stop clears it
    LONG code;
    LONG_PTR p1, p2;
    bool sawAbort = false;
    while (graph->GetEvent(&code, &p1, &p2, 200) == S_OK)
        if (code == EC_ERRORABORT && p1 == VFW_E_TYPE_NOT_ACCEPTED) sawAbort = true;
    EXPECT_TRUE(sawAbort);
    renderer->Pin().BeginFlush();
    renderer->Pin().EndFlush();
    EXPECT_EQ(mem->Receive(s.get()), S_OK);
}

TEST_F(GraphTest, PinAndFilterIdentityThroughTheInterfaces) {
    CComPtr<IPin> pin;
    EXPECT_EQ(renderer->FindPin(L"In", &pin), S_OK);
    EXPECT_EQ(pin.get(), static_cast<IPin*>(&renderer->Pin()));
    CComPtr<IPin> miss;
    EXPECT_EQ(renderer->FindPin(L"in", &miss), VFW_E_NOT_FOUND);  // names compare case-sensitively
    EXPECT_FALSE(miss);
    EXPECT_EQ(renderer->FindPin(L"In", nullptr), E_POINTER);

    CComPtr<IEnumPins> e;
    ASSERT_EQ(renderer->EnumPins(&e), S_OK);
    IPin* pins[2] = {nullptr, nullptr};
    ULONG n = 0;
    EXPECT_EQ(e->Next(2, pins, &n), S_FALSE);
    EXPECT_EQ(n, 1u);
    pins[0]->Release();
    renderer->IncrementPinVersion();
    EXPECT_EQ(e->Next(1, pins, &n), VFW_E_ENUM_OUT_OF_SYNC);
    e->Reset();
    EXPECT_EQ(e->Skip(1), S_OK);
    EXPECT_EQ(e->Next(1, pins, &n), S_FALSE);

    // The pin's types come out as independent records.
    CComPtr<IEnumMediaTypes> types;
    ASSERT_EQ(source->Pin().EnumMediaTypes(&types), S_OK);
    AM_MEDIA_TYPE* mt = nullptr;
    ASSERT_EQ(types->Next(1, &mt, nullptr), S_OK);
    EXPECT_TRUE(CMediaType(*mt) == H264Type());
    DeleteMediaType(mt);
    EXPECT_EQ(types->Next(1, &mt, &n), S_FALSE);
    EXPECT_EQ(n, 0u);

    PIN_INFO info{};
    ASSERT_EQ(pin->QueryPinInfo(&info), S_OK);
    EXPECT_EQ(info.dir, PINDIR_INPUT);
    EXPECT_EQ(std::wstring(info.achName), L"In");
    EXPECT_EQ(info.pFilter, static_cast<IBaseFilter*>(renderer));
    info.pFilter->Release();
    LPWSTR id = nullptr;
    ASSERT_EQ(pin->QueryId(&id), S_OK);
    EXPECT_EQ(std::wstring(id), L"In");
    CoTaskMemFree(id);

    FILTER_INFO fi{};
    ASSERT_EQ(renderer->QueryFilterInfo(&fi), S_OK);
    EXPECT_EQ(std::wstring(fi.achName), L"Renderer");
    EXPECT_EQ(fi.pGraph, static_cast<IFilterGraph*>(graph.get()));
    fi.pGraph->Release();
    CComPtr<IBaseFilter> found;
    EXPECT_EQ(graph->FindFilterByName(L"Source", &found), S_OK);
    EXPECT_EQ(found.get(), static_cast<IBaseFilter*>(source));

    // A filter is reached from its pin's IUnknown only through the pin info: the pin's
    // identity is its own, its count the filter's.
    CComPtr<IUnknown> pinUnknown;
    pin.As(IID_IUnknown, pinUnknown);
    CComPtr<IUnknown> filterUnknown;
    CComPtr<IBaseFilter> bf(renderer);
    bf.As(IID_IUnknown, filterUnknown);
    EXPECT_NE(pinUnknown.get(), filterUnknown.get());
}

TEST_F(GraphTest, DuplicateNamesAreNumberedAndRemovalDisconnects) {
    CRecordingRenderer* second = CRecordingRenderer::Create(&journal);
    EXPECT_EQ(graph->AddFilter(second, L"Renderer"), VFW_S_DUPLICATE_NAME);
    CComPtr<IBaseFilter> found;
    EXPECT_EQ(graph->FindFilterByName(L"Renderer 0001", &found), S_OK);
    EXPECT_EQ(found.get(), static_cast<IBaseFilter*>(second));
    found.Release();
    EXPECT_EQ(graph->AddFilter(second, L"Again"), E_INVALIDARG);
    ASSERT_EQ(graph->ConnectDirect(&source->Pin(), &second->Pin(), nullptr), S_OK);
    EXPECT_EQ(graph->RemoveFilter(second), S_OK);
    EXPECT_FALSE(source->Pin().IsConnected());
    EXPECT_FALSE(second->Pin().IsConnected());
    FILTER_INFO fi{};
    second->QueryFilterInfo(&fi);
    EXPECT_EQ(fi.pGraph, nullptr);
    second->Release();
}

TEST(GraphEvents, GetEventWaitsBoundedAndKeepsOrderAcrossThreads) {
    CComPtr<CFilterGraph> graph = CComPtr<CFilterGraph>::Attach(CFilterGraph::Create());
    LONG code = 0;
    LONG_PTR p1 = 0, p2 = 0;
    EXPECT_EQ(graph->GetEvent(&code, &p1, &p2, 0), E_ABORT);
    EXPECT_EQ(graph->GetEvent(&code, &p1, &p2, 30), E_ABORT);
    EXPECT_EQ(graph->GetEvent(nullptr, &p1, &p2, 0), E_POINTER);

    // A waiter is woken by an event posted on another thread.
    std::thread poster([&] { graph->Notify(EC_USER + 1, 11, 22); });
    ASSERT_EQ(graph->GetEvent(&code, &p1, &p2, 10000), S_OK);
    poster.join();
    EXPECT_EQ(code, EC_USER + 1);
    EXPECT_EQ(p1, 11);
    EXPECT_EQ(p2, 22);

    // Two posting threads: each one's events come out in its own order, none lost.
    constexpr int kPer = 500;
    std::thread a([&] {
        for (int i = 0; i < kPer; ++i) graph->Notify(100, i, 0);
    });
    std::thread b([&] {
        for (int i = 0; i < kPer; ++i) graph->Notify(200, i, 0);
    });
    int nextA = 0, nextB = 0;
    for (int i = 0; i < 2 * kPer; ++i) {
        ASSERT_EQ(graph->GetEvent(&code, &p1, &p2, 10000), S_OK);
        if (code == 100) {
            EXPECT_EQ(p1, nextA++);
        } else if (code == 200) {
            EXPECT_EQ(p1, nextB++);
        } else {
            ADD_FAILURE() << code;
        }
    }
    a.join();
    b.join();
    EXPECT_EQ(graph->GetEvent(&code, &p1, &p2, 0), E_ABORT);

    // The graph is the event sink its filters find.
    CComPtr<IMediaEventSink> sink;
    CComPtr<IFilterGraph> fg(graph.get());
    EXPECT_EQ(fg.As(IID_IMediaEventSink, sink), S_OK);
}

}  // namespace
