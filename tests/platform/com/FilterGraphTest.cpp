// The graph layer end to end: a push source feeding a recording renderer through a graph, and
// seeking passed upstream from the renderer.
#include <functional>

#include <gtest/gtest.h>

#include "TestFilters.h"
#include "platform/Clock.h"
#include "platform/com/ComPtr.h"
#include "platform/dshow/FilterGraph.h"
#include "platform/dshow/MediaSample.h"
#include "platform/dshow/PosPassThru.h"
#include "platform/dshow/SystemClock.h"
#include "platform/dshow/Uuids.h"

using namespace qvtest;

namespace {

// One source, one renderer, both in a graph; everything released and checked for leaks at the end.
class GraphTest : public ::testing::Test {
protected:
    void SetUp() override {
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
    HRESULT Connect(const AM_MEDIA_TYPE* pmt = nullptr) { return graph->ConnectDirect(&source->Pin(), &renderer->Pin(), pmt); }
    void Disconnect() {
        ASSERT_EQ(graph->Disconnect(&renderer->Pin()), S_OK);
        ASSERT_EQ(graph->Disconnect(&source->Pin()), S_OK);
    }
    void Push(BYTE b, REFERENCE_TIME t, bool sync = false) { source->Pin().PushSample(std::vector<BYTE>{b}, &t, nullptr, sync); }

    LONG m_objectsBefore = ComObjectCount();
    Journal journal;
    CComPtr<CFilterGraph> graph = CComPtr<CFilterGraph>::Attach(CFilterGraph::Create());
    CRecordingRenderer* renderer = CRecordingRenderer::Create(&journal);
    CRecordingSource* source = CRecordingSource::Create(&journal, {AacType(), H264Type()});
};

TEST_F(GraphTest, ConnectionAgreesOnATypeBothEndsAcceptOrLeavesBothUnconnected) {
    renderer->Pin().accept = {MEDIASUBTYPE_PCM};
    EXPECT_EQ(Connect(), VFW_E_NO_ACCEPTABLE_TYPES);
    CMediaType h264 = H264Type(), aac = AacType();
    EXPECT_EQ(renderer->Pin().QueryAccept(&h264), S_FALSE);
    renderer->Pin().accept = {MEDIASUBTYPE_H264};
    EXPECT_EQ(Connect(&aac), VFW_E_TYPE_NOT_ACCEPTED);
    CComPtr<IPin> peer;
    EXPECT_EQ(renderer->Pin().ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
    EXPECT_FALSE(source->Pin().IsConnected());
    EXPECT_TRUE(journal.Take().empty());  // no half-built connection was completed

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
    journal.Take();
    ASSERT_EQ(graph->Run(), S_OK);
    FILTER_STATE fs;
    EXPECT_EQ(renderer->GetState(0, &fs), S_OK);
    EXPECT_EQ(fs, State_Running);
    ASSERT_EQ(graph->Stop(), S_OK);
    EXPECT_EQ(journal.Take(), (std::vector<std::string>{
                                  "renderer:Pause", "pin:Active", "source:Pause",  // run from stopped pauses first
                                  "renderer:Run", "pin:Run", "source:Run",
                                  "renderer:Pause", "source:Pause",  // stop from running pauses first
                                  "renderer:Stop", "pin:Inactive", "source:Stop"}));
    ASSERT_EQ(graph->Pause(), S_OK);
    ASSERT_EQ(graph->Run(), S_OK);  // no second activation of the pins
    EXPECT_EQ(journal.Take(), (std::vector<std::string>{"renderer:Pause", "pin:Active", "source:Pause", "renderer:Run",
                                                        "pin:Run", "source:Run"}));
    EXPECT_EQ(graph->Disconnect(&renderer->Pin()), VFW_E_NOT_STOPPED);
}

TEST_F(GraphTest, StreamTimeRunsFromTheStartTimeAndTheClockWidensTheTickAcrossItsWrap) {
    struct ManualClock : platform::IClock {
        uint32_t Now() override { return now.load(); }
        void Sleep(uint32_t) override {}
        std::atomic<uint32_t> now{1000};
    } clock;
    platform::SetClock(&clock);
    ASSERT_EQ(Connect(), S_OK);
    ASSERT_EQ(graph->SetDefaultSyncSource(), S_OK);
    graph->SetStartDelay(20 * MILLISECONDS);
    ASSERT_EQ(graph->Run(), S_OK);
    EXPECT_EQ(graph->StartTime(), (1000 + 20) * MILLISECONDS);  // 20 ms after the run, in 100-ns units
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

TEST_F(GraphTest, RefusalStopsTheSourceUntilAFlushAndAFlushReleasesABlockedSender) {
    ASSERT_EQ(Connect(), S_OK);
    ASSERT_EQ(graph->Run(), S_OK);
    CSourceOutputPin& out = source->Pin();
    renderer->Pin().refuseIndex = 2;
    for (REFERENCE_TIME t = 0; t < 6; ++t) Push(7, t);
    ASSERT_TRUE(out.WaitIdle(5000));
    EXPECT_EQ(renderer->Pin().Samples().size(), 3u);
    EXPECT_EQ(out.Dropped(), 3u);
    EXPECT_EQ(out.Results(), (std::vector<HRESULT>{S_OK, S_OK, S_FALSE}));
    ASSERT_EQ(out.Flush(), S_OK);
    Push(7, 9);
    ASSERT_TRUE(out.WaitIdle(5000));
    EXPECT_EQ(renderer->Pin().Samples().size(), 4u);

    out.SetStopOnRefusal(false);
    renderer->Pin().blockNextReceive = true;
    Push(1, 0, true);
    ASSERT_TRUE(renderer->Pin().blocked.Wait(5000));
    Push(1, 0);  // this one and the next queue behind the blocked one: gone with the flush
    Push(1, 0);
    ASSERT_EQ(out.Flush(), S_OK);
    EXPECT_EQ(out.Dropped(), 3u + 2u);
    out.PushSample(std::vector<BYTE>{2, 2}, nullptr, nullptr, true);  // after the flush the stream goes on
    ASSERT_TRUE(out.WaitIdle(5000));
    auto got = renderer->Pin().Samples();
    ASSERT_EQ(got.size(), 6u);
    EXPECT_EQ(got[5].data, (std::vector<BYTE>{2, 2}));
    EXPECT_EQ(out.Results()[4], S_FALSE);  // the blocked delivery was answered "stop sending"
    // Only the latest results are kept, so a long stream does not grow the pin.
    for (size_t i = 0; i < CSourceOutputPin::kResultsKept; ++i) Push(3, 0);
    ASSERT_TRUE(out.WaitIdle(5000));
    EXPECT_EQ(out.Results(), std::vector<HRESULT>(CSourceOutputPin::kResultsKept, S_OK));
}

// A producer's own thread delivering: after what is queued, in order, answered with the
// downstream result; a refusal and a stopped pin drop what follows.
TEST_F(GraphTest, DeliveryFromTheProducersThreadKeepsOrderResultsAndRefusal) {
    ASSERT_EQ(Connect(), S_OK);
    CSourceOutputPin& out = source->Pin();
    const REFERENCE_TIME t = 0;
    EXPECT_EQ(out.DeliverNow(std::vector<BYTE>{9}, &t, nullptr, true), VFW_E_WRONG_STATE);  // not running
    ASSERT_EQ(graph->Run(), S_OK);
    for (BYTE b = 1; b <= 3; ++b) Push(b, 0);  // queued for the delivery thread
    EXPECT_EQ(out.DeliverNow(std::vector<BYTE>{4}, &t, nullptr, false), S_OK);
    auto got = renderer->Pin().Samples();
    ASSERT_EQ(got.size(), 4u);
    for (BYTE i = 0; i < 4; ++i) EXPECT_EQ(got[i].data, std::vector<BYTE>{static_cast<BYTE>(i + 1)});
    renderer->Pin().refuseIndex = 4;
    EXPECT_EQ(out.DeliverNow(std::vector<BYTE>{5}, &t, nullptr, false), S_FALSE);
    EXPECT_EQ(out.DeliverNow(std::vector<BYTE>{6}, &t, nullptr, false), S_FALSE);  // dropped, not delivered
    EXPECT_EQ(renderer->Pin().Samples().size(), 5u);
    EXPECT_EQ(out.Dropped(), 2u);  // the one before the run and the one after the refusal
    EXPECT_TRUE(out.WaitIdle(0));
}

TEST_F(GraphTest, ReceiveFollowsStateFlushAndTypeChanges) {
    renderer->Pin().accept = {MEDIASUBTYPE_H264};
    ASSERT_EQ(Connect(), S_OK);
    IMemInputPin* mem = &renderer->Pin();
    CComPtr<IMediaSample> s = CComPtr<IMediaSample>::Attach(CMediaSample::Create(4));
    CMediaType aac = AacType();
    const std::pair<std::function<void()>, HRESULT> steps[] = {
        {[] {}, VFW_E_WRONG_STATE},
        {[&] { graph->Pause(); }, S_OK},  // paused filters take samples (preroll)
        {[&] { renderer->Pin().BeginFlush(); }, S_FALSE},
        {[&] { renderer->Pin().EndFlush(); }, S_OK},
        {[&] { s->SetMediaType(&aac); }, VFW_E_INVALIDMEDIATYPE},
        {[&] { s->SetMediaType(nullptr); }, VFW_E_RUNTIME_ERROR},  // until a flush or stop clears it
        {[&] { renderer->Pin().BeginFlush(), renderer->Pin().EndFlush(); }, S_OK}};
    for (size_t i = 0; i < std::size(steps); ++i) {
        steps[i].first();
        EXPECT_EQ(mem->Receive(s.get()), steps[i].second) << "step " << i;
    }
    EXPECT_EQ(mem->Receive(nullptr), E_POINTER);
    LONG code;
    LONG_PTR p1, p2;
    bool sawAbort = false;
    while (graph->GetEvent(&code, &p1, &p2, 200) == S_OK) sawAbort |= code == EC_ERRORABORT && p1 == VFW_E_TYPE_NOT_ACCEPTED;
    EXPECT_TRUE(sawAbort);
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

// An upstream output pin that seeks: 60 s long, stop at 50 s, at 1.2345 ms, forward only.
class CSeekingPin final : public CSourceOutputPin, public IMediaSeeking {
public:
    CSeekingPin(CBaseFilter* f, CCritSec* lock) : CSourceOutputPin(f, lock, nullptr, L"Out", {CMediaType(&MEDIATYPE_Video)}, 16, 1) {}
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
        if (ppv && riid == IID_IMediaSeeking) return GetInterface(static_cast<IMediaSeeking*>(this), ppv);
        return CSourceOutputPin::NonDelegatingQueryInterface(riid, ppv);
    }
    HRESULT GetCapabilities(DWORD* p) override { return *p = AM_SEEKING_CanSeekForwards, S_OK; }
    HRESULT CheckCapabilities(DWORD* p) override { return (*p & ~AM_SEEKING_CanSeekForwards) ? S_FALSE : S_OK; }
    HRESULT IsFormatSupported(const GUID* p) override { return *p == TIME_FORMAT_MEDIA_TIME ? S_OK : S_FALSE; }
    HRESULT QueryPreferredFormat(GUID* p) override { return *p = TIME_FORMAT_MEDIA_TIME, S_OK; }
    HRESULT GetTimeFormat(GUID* p) override { return *p = TIME_FORMAT_MEDIA_TIME, S_OK; }
    HRESULT IsUsingTimeFormat(const GUID* p) override { return IsFormatSupported(p); }
    HRESULT SetTimeFormat(const GUID*) override { return E_NOTIMPL; }
    HRESULT GetDuration(LONGLONG* p) override { return *p = 60 * UNITS, S_OK; }
    HRESULT GetStopPosition(LONGLONG* p) override { return *p = 50 * UNITS, S_OK; }
    HRESULT GetCurrentPosition(LONGLONG* p) override { return *p = 12345, S_OK; }
    HRESULT ConvertTimeFormat(LONGLONG*, const GUID*, LONGLONG, const GUID*) override { return E_NOTIMPL; }
    HRESULT SetPositions(LONGLONG* pCurrent, DWORD cf, LONGLONG* pStop, DWORD sf) override {
        last = {pCurrent ? *pCurrent : -1, cf, pStop ? *pStop : -1, sf};
        return S_OK;
    }
    HRESULT GetPositions(LONGLONG* c, LONGLONG* s) override { return *c = 12345, *s = 50 * UNITS, S_OK; }
    HRESULT GetAvailable(LONGLONG*, LONGLONG*) override { return E_NOTIMPL; }
    HRESULT SetRate(double d) override { return d > 0 ? S_OK : E_INVALIDARG; }
    HRESULT GetRate(double* p) override { return *p = 1.0, S_OK; }
    HRESULT GetPreroll(LONGLONG* p) override { return *p = 0, S_OK; }
    std::tuple<LONGLONG, DWORD, LONGLONG, DWORD> last;  // the last SetPositions: current, flags, stop, flags
};

TEST(PosPassThru, SeekingGoesUpstreamAndRenderedTimeAnswersPosition) {
    LONG before = ComObjectCount();
    Journal journal;
    {
        CComPtr<CFilterGraph> graph = CComPtr<CFilterGraph>::Attach(CFilterGraph::Create());
        auto* source = new CTestFilter<CSeekingPin>(nullptr, "source");
        CRecordingRenderer* renderer = CRecordingRenderer::Create(&journal);
        graph->AddFilter(source, L"S");
        graph->AddFilter(renderer, L"R");
        HRESULT hr = S_OK;
        CRendererPosPassThru pos(L"Position", renderer->GetOwner(), &hr, &renderer->Pin());
        CComPtr<IMediaSample> s = CComPtr<IMediaSample>::Attach(CMediaSample::Create(1));
        REFERENCE_TIME t = 7 * UNITS;
        s->SetTime(&t, nullptr);

        // Each row is one call in order, its result and the value it leaves behind.
        LONGLONG v = 0;
        REFTIME seconds = 0;
        const struct { const char* what; HRESULT hr, wantHr; LONGLONG value, want; } calls[] = {
            {"unconnected: nothing upstream", pos.GetDuration(&v), E_NOTIMPL, 0, 0},
            {"connect", graph->ConnectDirect(&source->Pin(), &renderer->Pin(), nullptr), S_OK, 0, 0},
            {"duration", pos.GetDuration(&v), S_OK, v, 60 * UNITS},
            {"stop time in seconds", pos.get_StopTime(&seconds), S_OK, static_cast<LONGLONG>(seconds * UNITS), 50 * UNITS},
            {"seek to 2.5 s", pos.put_CurrentPosition(2.5), S_OK, std::get<0>(source->Pin().last), 25000000},
            {"absolute seek", S_OK, S_OK, std::get<1>(source->Pin().last), AM_SEEKING_AbsolutePositioning},
            {"stop left alone", S_OK, S_OK, std::get<3>(source->Pin().last), AM_SEEKING_NoPositioning},
            {"rate refused upstream", pos.put_Rate(-1.0), E_INVALIDARG, 0, 0},
            {"upstream's position before rendering", pos.GetCurrentPosition(&v), S_OK, v, 12345},
            {"then the rendered time", (pos.RegisterMediaTime(s.get()), pos.GetCurrentPosition(&v)), S_OK, v, 7 * UNITS},
            {"the stop position at the end", (pos.EOS(), pos.GetCurrentPosition(&v)), S_OK, v, 50 * UNITS}};
        for (const auto& c : calls) {
            EXPECT_EQ(c.hr, c.wantHr) << c.what;
            EXPECT_EQ(c.value, c.want) << c.what;
        }

        // Aggregated into the renderer: its interfaces count on the renderer, share its identity,
        // lead back to it and hide what the renderer does not expose.
        IMediaSeeking* seeking = nullptr;
        ASSERT_EQ(pos.NonDelegatingQueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&seeking)), S_OK);
        const ULONG refs = renderer->AddRef();
        EXPECT_EQ(seeking->AddRef(), refs + 1);
        void *back = nullptr, *id1 = nullptr, *id2 = nullptr, *none = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(seeking->QueryInterface(IID_IBaseFilter, &back), S_OK);
        EXPECT_EQ(back, static_cast<IBaseFilter*>(renderer));
        seeking->QueryInterface(IID_IUnknown, &id1), renderer->QueryInterface(IID_IUnknown, &id2);
        EXPECT_EQ(id1, id2);
        EXPECT_EQ(seeking->QueryInterface(IID_IPin, &none), E_NOINTERFACE);
        EXPECT_EQ(none, nullptr);  // the out pointer is nulled
        EXPECT_EQ(seeking->QueryInterface(IID_IBaseFilter, nullptr), E_POINTER);
        for (void* p : {back, id1, id2}) static_cast<IUnknown*>(p)->Release();
        seeking->Release(), seeking->Release();  // its query and its AddRef
        renderer->Release(), renderer->Release(), source->Release();  // the AddRef above and the creation
    }
    EXPECT_EQ(ComObjectCount(), before);
}

}  // namespace
