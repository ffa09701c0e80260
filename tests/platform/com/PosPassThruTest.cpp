// Seeking calls on a renderer reach the upstream filter through the pass-through.
#include <gtest/gtest.h>

#include "TestFilters.h"
#include "platform/com/ComPtr.h"
#include "platform/dshow/FilterGraph.h"
#include "platform/dshow/MediaSample.h"
#include "platform/dshow/PosPassThru.h"

using namespace qvtest;

namespace {

// An upstream output pin that seeks: 60 s long, stop at 50 s, at 1.2345 ms, forward only.
class CSeekingPin final : public CSourceOutputPin, public IMediaSeeking {
public:
    CSeekingPin(CBaseFilter* f, CCritSec* lock)
        : CSourceOutputPin(f, lock, nullptr, L"Out", {CMediaType(&MEDIATYPE_Video)}, 16, 1) {}
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
        lastCurrent = pCurrent ? *pCurrent : -1;
        lastCurrentFlags = cf;
        lastStop = pStop ? *pStop : -1;
        lastStopFlags = sf;
        return S_OK;
    }
    HRESULT GetPositions(LONGLONG* c, LONGLONG* s) override { return *c = 12345, *s = 50 * UNITS, S_OK; }
    HRESULT GetAvailable(LONGLONG*, LONGLONG*) override { return E_NOTIMPL; }
    HRESULT SetRate(double d) override { return d > 0 ? (rate = d, S_OK) : E_INVALIDARG; }
    HRESULT GetRate(double* p) override { return *p = rate, S_OK; }
    HRESULT GetPreroll(LONGLONG* p) override { return *p = 0, S_OK; }

    LONGLONG lastCurrent = 0, lastStop = 0;
    DWORD lastCurrentFlags = 0, lastStopFlags = 0;
    double rate = 1.0;
};

class CSeekingSource final : public CBaseFilter {
public:
    CSeekingSource() : CBaseFilter(L"Seeking source", nullptr, &m_lock, GUID_NULL), m_pin(this, &m_lock) {
        NonDelegatingAddRef();
    }
    ~CSeekingSource() override { m_pin.DisconnectInternal(); }
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? &m_pin : nullptr; }
    CSeekingPin& Pin() { return m_pin; }

private:
    CCritSec m_lock;  // the filter lock of the base; graph control threads
    CSeekingPin m_pin;
};

TEST(PosPassThru, SeekingGoesUpstreamAndRenderedTimeAnswersPosition) {
    LONG before = ComObjectCount();
    Journal journal;
    {
        CComPtr<CFilterGraph> graph = CComPtr<CFilterGraph>::Attach(CFilterGraph::Create());
        auto* source = new CSeekingSource();
        CRecordingRenderer* renderer = CRecordingRenderer::Create(&journal);
        graph->AddFilter(source, L"S");
        graph->AddFilter(renderer, L"R");
        HRESULT hr = S_OK;
        IUnknown* rendererUnknown = renderer->GetOwner();
        CRendererPosPassThru pos(L"Position", rendererUnknown, &hr, &renderer->Pin());

        // Unconnected: nothing upstream to ask.
        LONGLONG v = 0;
        EXPECT_EQ(pos.GetDuration(&v), E_NOTIMPL);

        ASSERT_EQ(graph->ConnectDirect(&source->Pin(), &renderer->Pin(), nullptr), S_OK);
        EXPECT_EQ(pos.GetDuration(&v), S_OK);
        EXPECT_EQ(v, 60 * UNITS);
        REFTIME seconds = 0;
        EXPECT_EQ(pos.get_StopTime(&seconds), S_OK);
        EXPECT_DOUBLE_EQ(seconds, 50.0);
        EXPECT_EQ(pos.put_CurrentPosition(2.5), S_OK);
        EXPECT_EQ(source->Pin().lastCurrent, 25000000);
        EXPECT_EQ(source->Pin().lastCurrentFlags, AM_SEEKING_AbsolutePositioning);
        EXPECT_EQ(source->Pin().lastStopFlags, AM_SEEKING_NoPositioning);
        EXPECT_EQ(pos.put_Rate(-1.0), E_INVALIDARG);

        // Position: upstream's until a sample is rendered, then the rendered time.
        EXPECT_EQ(pos.GetCurrentPosition(&v), S_OK);
        EXPECT_EQ(v, 12345);
        CComPtr<IMediaSample> s = CComPtr<IMediaSample>::Attach(CMediaSample::Create(1));
        REFERENCE_TIME t = 7 * UNITS;
        s->SetTime(&t, nullptr);
        pos.RegisterMediaTime(s.get());
        EXPECT_EQ(pos.GetCurrentPosition(&v), S_OK);
        EXPECT_EQ(v, 7 * UNITS);
        pos.EOS();
        pos.GetCurrentPosition(&v);
        EXPECT_EQ(v, 50 * UNITS);

        // Aggregated into the renderer: its interfaces count on the renderer and lead back to it.
        IMediaSeeking* seeking = nullptr;
        ASSERT_EQ(pos.NonDelegatingQueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&seeking)), S_OK);
        IBaseFilter* back = nullptr;
        EXPECT_EQ(seeking->QueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&back)), S_OK);
        EXPECT_EQ(back, static_cast<IBaseFilter*>(renderer));
        back->Release();
        seeking->Release();

        source->Release();
        renderer->Release();
    }
    EXPECT_EQ(ComObjectCount(), before);
}

}  // namespace
