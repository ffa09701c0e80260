#pragma once
// A small filter graph for the host and for tests: it holds filters, connects an output pin to
// an input pin by type negotiation, drives stop/pause/run over all filters with one reference
// clock and stream start time, and queues the filters' graph events for the host, which takes
// them with a bounded wait (GetEvent).
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/com/Unknown.h"
#include "platform/dshow/Interfaces.h"

class CFilterGraph final : public IFilterGraph, public IMediaEventSink, public CUnknown {
public:
    // The new graph with one reference held by the caller.
    static CFilterGraph* Create();
    ~CFilterGraph() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // IFilterGraph. Membership and connections change only while the graph is stopped.
    HRESULT AddFilter(IBaseFilter* pFilter, LPCWSTR pName) override;
    HRESULT RemoveFilter(IBaseFilter* pFilter) override;
    HRESULT EnumFilters(IEnumFilters** ppEnum) override;  // E_NOTIMPL: Filters() serves the host
    HRESULT FindFilterByName(LPCWSTR pName, IBaseFilter** ppFilter) override;
    HRESULT ConnectDirect(IPin* ppinOut, IPin* ppinIn, const AM_MEDIA_TYPE* pmt) override;
    HRESULT Reconnect(IPin* ppin) override;
    HRESULT Disconnect(IPin* ppin) override;
    HRESULT SetDefaultSyncSource() override;

    // IMediaEventSink: any thread, any lock held; the event is queued for the host.
    HRESULT Notify(LONG EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2) override;

    // Graph control. Every filter gets each transition, downstream filters (renderers) before
    // the filters that feed them; a stop from running pauses everything first; a run from
    // stopped pauses first. A failing transition stops the whole graph and returns the failure.
    HRESULT Run();
    HRESULT Pause();
    HRESULT Stop();
    HRESULT GetState(LONG msTimeout, FILTER_STATE* pfs);
    // The clock handed to every filter (null: none; the graph then runs unclocked with start time 0).
    HRESULT SetSyncSource(IReferenceClock* pClock);
    // Added to the clock's time to make the stream start time of a run, so that the filters
    // have a moment to start before stream time 0 (10 ms unless changed).
    void SetStartDelay(REFERENCE_TIME delay);
    // The stream start time of the current run (clock time of stream time 0).
    REFERENCE_TIME StartTime() const;

    // Takes the oldest graph event, waiting up to msTimeout ms (negative: for ever);
    // E_ABORT when none came in time.
    HRESULT GetEvent(LONG* lEventCode, LONG_PTR* lParam1, LONG_PTR* lParam2, LONG msTimeout);
    // The parameters of the events here are plain values or pointers the sender owns.
    HRESULT FreeEventParams(LONG, LONG_PTR, LONG_PTR) { return S_OK; }

    // The filters in the order transitions reach them (downstream first); each with a reference.
    std::vector<IBaseFilter*> Filters();

private:
    CFilterGraph();
    struct Member {
        IBaseFilter* filter;  // holds a reference
        std::wstring name;
    };
    struct Event {
        LONG code;
        LONG_PTR p1, p2;
    };
    std::vector<IBaseFilter*> OrderedFilters();  // under m_controlLock; no references added
    HRESULT StopAll();
    HRESULT PauseAll();
    void DisconnectAll(IBaseFilter* f);
    bool Contains(IBaseFilter* f) const;

    // Guards m_members, m_state, m_clock, m_tStart and m_startDelay. Taken by the host's
    // control thread; held while calling into filters, so it comes before every filter lock.
    mutable std::recursive_mutex m_controlLock;
    std::vector<Member> m_members;
    FILTER_STATE m_state = State_Stopped;
    IReferenceClock* m_clock = nullptr;  // holds a reference
    REFERENCE_TIME m_tStart = 0;
    REFERENCE_TIME m_startDelay = 10 * MILLISECONDS;

    // Guards m_events. Taken by any thread posting an event (possibly under its own locks) and
    // by the host taking one; innermost of all: nothing is called while it is held.
    std::mutex m_eventLock;
    std::condition_variable m_eventReady;
    std::deque<Event> m_events;
};
