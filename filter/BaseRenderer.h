#pragma once
// BS::CBaseRenderer: the renderer framework. A media-graph filter with a fixed list of input
// pins and one stream sink: each sample a pin receives becomes a data record with millisecond
// times that goes to the sink under the pin's track number; end of stream, flushes and waits
// of the pins go to the sink; the stop/pause/run transitions call the hooks with which the
// concrete filter connects and starts the stream.
//
// Threads: graph control (Stop/Pause/Run, under the filter lock), one streaming thread per pin
// (Receive, EndOfStream, the waits), each pin's watchdog. Lock order: filter lock, then the
// receive lock, then the sink's own locks.
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "foundation/Format.h"
#include "platform/dshow/BaseFilter.h"
#include "platform/dshow/Interfaces.h"
#include "platform/dshow/MediaType.h"
#include "platform/dshow/PosPassThru.h"
#include "sink/PureSink.h"

namespace BS {

class CInputPin;

class CBaseRenderer : public CBaseFilter, public IAMFilterMiscFlags {
public:
    CBaseRenderer(const wchar_t* name, IUnknown* pUnk, REFCLSID clsid);
    ~CBaseRenderer() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    int GetPinCount() override;
    CBasePin* GetPin(int n) override;
    virtual HRESULT ReadyHook() { return S_OK; }
    // One sample of pin `pin`. S_FALSE after a failed connect; E_FAIL when the sink reports a
    // network failure (the graph is told with EC_ERRORABORT).
    virtual HRESULT Receive(IMediaSample* sample, int pin);
    virtual uint32_t QueueSize(int pin);
    virtual HRESULT EndOfStream(int pin);
    virtual void AfterDelivery() {}
    virtual void SetPinActivity(int pin, bool active);
    virtual void FlushSink();
    virtual void WaitForTrack(int pin, platform::CEvent* stopEvent);
    virtual HRESULT PrepareRendering() = 0;
    virtual HRESULT StartRendering() = 0;
    virtual bool StopRendering(bool endOfStream);
    virtual HRESULT CheckMediaType(const CMediaType* mt, int pin) = 0;
    virtual HRESULT GetMediaType(int position, CMediaType* mt, int pin) = 0;
    // The count of connected pins before `pin`; -1 for an unconnected pin or a bad number.
    virtual int TrackOfPin(int pin);
    virtual int64_t GetUTCRefTime() const { return m_iRefUTCTime.load(); }
    virtual void SetUTCRefTime(int64_t ms) { m_iRefUTCTime.store(ms); }

    // IMediaFilter / IBaseFilter
    HRESULT Stop() override;
    HRESULT Pause() override;
    HRESULT Run(REFERENCE_TIME tStart) override;
    HRESULT GetState(DWORD dwMSecs, FILTER_STATE* State) override;
    HRESULT FindPin(LPCWSTR Id, IPin** ppPin) override;
    // IAMFilterMiscFlags: a renderer.
    ULONG GetMiscFlags() override;

    bool HasVideoPin();
    bool HasAudioPin();
    int ConnectedPinCount();
    CInputPin* FirstVideoPin();
    CInputPin* InputPin(int n);
    // The track format of a connected pin (a default record for any other).
    format_t BuildPinFormat(int pin);

    bool IsCapture() const { return m_bCapture.load(); }
    bool SinkInited();
    CPureSink* Sink() const { return m_pSink.get(); }
    platform::CReentrantLock* ReceiveLock() { return &m_csReceive; }
    bool ConnectFailed() const { return m_bConnectFailed.load(); }

protected:
    // Sets the open end-of-stream count to the connected pins; the concrete StartRendering calls it.
    void StartRenderingBase();
    void SetConnectFailed(bool failed) { m_bConnectFailed.store(failed); }
    void SetSink(std::unique_ptr<CPureSink> sink) { m_pSink = std::move(sink); }
    void AddPin(std::unique_ptr<CInputPin> pin);
    void SetAudioOffset(double ms) { m_fAudioOffset.store(ms); }
    double AudioOffset() const { return m_fAudioOffset.load(); }
    void SetCapture(bool on) { m_bCapture.store(on); }

    std::wstring m_FilterName = L"BaseRenderer";

private:
    // The filter lock: guards the state transitions (the CBaseFilter state, clock and start
    // time, the hooks they call). Taken by graph control threads; outermost of the filter's locks.
    platform::CReentrantLock m_csFilter;
    // The receive lock: serialises the pins' deliveries to the sink, the pause from stopped and
    // the watchdogs' activity changes. Taken by streaming threads, graph control and watchdogs;
    // after the filter lock, before the sink's locks.
    platform::CReentrantLock m_csReceive;

    std::atomic<bool> m_bCapture{false};
    std::unique_ptr<CPureSink> m_pSink;
    std::atomic<int32_t> m_iOpenEOS{0};
    // Fixed after construction; index = pin number.
    std::deque<std::unique_ptr<CInputPin>> m_Pins;
    std::atomic<bool> m_bConnectFailed{false};
    std::atomic<double> m_fAudioOffset{0.0};
    uint32_t m_dwPauseTick = 0;
    uint32_t m_dwConstructTick = 0;
    bool m_bFirstRunPending = false;  // filter lock
    std::atomic<int64_t> m_iRefUTCTime;
    // Seeking requests go upstream through the video pin; made on the first such request
    // (under the filter lock) and aggregated into the filter.
    std::unique_ptr<CRendererPosPassThru> m_pPosition;
};

}  // namespace BS
