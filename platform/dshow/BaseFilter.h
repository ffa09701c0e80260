#pragma once
// The base of every filter: state (stopped, paused, running), the reference clock and stream
// start time, membership in a graph with its event sink, and the pin bookkeeping that derived
// filters fill in through GetPinCount/GetPin.
#include <atomic>
#include <string>

#include "platform/ReentrantLock.h"
#include "platform/com/Unknown.h"
#include "platform/dshow/Interfaces.h"

using CCritSec = platform::CReentrantLock;

class CBasePin;

class CBaseFilter : public CUnknown, public IBaseFilter {
public:
    // pLock: the derived filter's state lock (its declaration says what it guards); it outlives
    // the filter base.
    CBaseFilter(const wchar_t* pName, IUnknown* pUnk, CCritSec* pLock, REFCLSID clsid);
    ~CBaseFilter() override;

    // Declared before everything else so that they directly follow the unknown and the
    // destructor in the object's own slot order.
    virtual HRESULT StreamTime(CRefTime& rtStream);
    virtual LONG GetPinVersion();
    virtual int GetPinCount() = 0;
    virtual CBasePin* GetPin(int n) = 0;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // IPersist
    HRESULT GetClassID(CLSID* pClsID) override;
    // IMediaFilter
    HRESULT Stop() override;
    HRESULT Pause() override;
    HRESULT Run(REFERENCE_TIME tStart) override;
    HRESULT GetState(DWORD dwMSecs, FILTER_STATE* State) override;
    HRESULT SetSyncSource(IReferenceClock* pClock) override;
    HRESULT GetSyncSource(IReferenceClock** pClock) override;
    // IBaseFilter
    HRESULT EnumPins(IEnumPins** ppEnum) override;
    HRESULT FindPin(LPCWSTR Id, IPin** ppPin) override;
    HRESULT QueryFilterInfo(FILTER_INFO* pInfo) override;
    HRESULT JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pName) override;
    HRESULT QueryVendorInfo(LPWSTR* pVendorInfo) override;

    // Posts a graph event to the graph's event sink; E_NOTIMPL outside a graph. For EC_COMPLETE
    // the second parameter becomes this filter, as the graph expects.
    HRESULT NotifyEvent(LONG EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2);

    bool IsActive() const { return m_State != State_Stopped; }
    bool IsStopped() const { return m_State == State_Stopped; }
    FILTER_STATE State() const { return m_State; }
    IFilterGraph* GetFilterGraph() const { return m_pGraph; }
    void IncrementPinVersion() { ++m_PinVersion; }
    const std::wstring& FilterName() const { return m_pName; }
    CCritSec* FilterLock() const { return m_pLock; }

protected:
    // Written under *m_pLock by graph control; read without it by streaming threads and the
    // watchdog, hence atomic.
    std::atomic<FILTER_STATE> m_State{State_Stopped};
    IReferenceClock* m_pClock = nullptr;  // holds a reference; under *m_pLock
    CRefTime m_tStart;                    // stream start (clock time of stream time 0); under *m_pLock
    CLSID m_clsid;
    CCritSec* m_pLock;
    std::wstring m_pName;
    // The graph and its event sink hold references on the filter, so the filter keeps none back.
    IFilterGraph* m_pGraph = nullptr;
    std::atomic<IMediaEventSink*> m_pSink{nullptr};  // read by streaming threads posting events
    std::atomic<LONG> m_PinVersion{1};
};
