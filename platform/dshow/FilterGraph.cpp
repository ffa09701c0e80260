#include "platform/dshow/FilterGraph.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>

#include "platform/com/ComPtr.h"
#include "platform/dshow/MediaType.h"
#include "platform/dshow/SystemClock.h"

CFilterGraph::CFilterGraph() : CUnknown(L"Filter graph", nullptr) {}

CFilterGraph* CFilterGraph::Create() {
    auto* g = new CFilterGraph();
    g->NonDelegatingAddRef();
    return g;
}

CFilterGraph::~CFilterGraph() {
    std::lock_guard<std::recursive_mutex> g(m_controlLock);
    if (m_state != State_Stopped) {
        if (m_state == State_Running) PauseAll();
        StopAll();
    }
    // Connected pins hold references on each other's filters; the graph breaks those cycles.
    for (Member& m : m_members) DisconnectAll(m.filter);
    for (Member& m : m_members) {
        m.filter->SetSyncSource(nullptr);
        m.filter->JoinFilterGraph(nullptr, nullptr);
        m.filter->Release();
    }
    m_members.clear();
    if (m_clock) m_clock->Release();
}

HRESULT CFilterGraph::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IFilterGraph) return GetInterface(static_cast<IFilterGraph*>(this), ppv);
    if (riid == IID_IMediaEventSink) return GetInterface(static_cast<IMediaEventSink*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

bool CFilterGraph::Contains(IBaseFilter* f) const {
    return std::any_of(m_members.begin(), m_members.end(), [f](const Member& m) { return m.filter == f; });
}

HRESULT CFilterGraph::AddFilter(IBaseFilter* pFilter, LPCWSTR pName) {
    if (!pFilter) return E_POINTER;
    std::lock_guard<std::recursive_mutex> g(m_controlLock);
    if (m_state != State_Stopped) return VFW_E_NOT_STOPPED;
    if (Contains(pFilter)) return E_INVALIDARG;
    std::wstring name = pName ? pName : L"";
    if (name.empty()) {
        FILTER_INFO info{};
        if (SUCCEEDED(pFilter->QueryFilterInfo(&info))) {
            name = info.achName;
            if (info.pGraph) info.pGraph->Release();
        }
        if (name.empty()) name = L"Filter";
    }
    HRESULT result = S_OK;
    auto taken = [this](const std::wstring& n) {
        return std::any_of(m_members.begin(), m_members.end(), [&n](const Member& m) { return m.name == n; });
    };
    if (taken(name)) {
        // Names identify filters in the graph: a repeated one gets a number, as the caller is told.
        std::wstring base = name;
        for (int i = 1; taken(name) && i < 10000; ++i) {
            wchar_t suffix[8];
            std::swprintf(suffix, 8, L" %04d", i);
            name = base + suffix;
        }
        if (taken(name)) return VFW_E_DUPLICATE_NAME;
        result = VFW_S_DUPLICATE_NAME;
    }
    pFilter->AddRef();
    HRESULT hr = pFilter->JoinFilterGraph(this, name.c_str());
    if (FAILED(hr)) {
        pFilter->Release();
        return hr;
    }
    if (m_clock) pFilter->SetSyncSource(m_clock);
    m_members.push_back({pFilter, name});
    return result;
}

HRESULT CFilterGraph::RemoveFilter(IBaseFilter* pFilter) {
    if (!pFilter) return E_POINTER;
    std::lock_guard<std::recursive_mutex> g(m_controlLock);
    if (m_state != State_Stopped) return VFW_E_NOT_STOPPED;
    auto it = std::find_if(m_members.begin(), m_members.end(), [pFilter](const Member& m) { return m.filter == pFilter; });
    if (it == m_members.end()) return VFW_E_NOT_FOUND;
    DisconnectAll(pFilter);
    pFilter->SetSyncSource(nullptr);
    pFilter->JoinFilterGraph(nullptr, nullptr);
    m_members.erase(it);
    pFilter->Release();
    return S_OK;
}

HRESULT CFilterGraph::EnumFilters(IEnumFilters** ppEnum) {
    if (!ppEnum) return E_POINTER;
    *ppEnum = nullptr;
    return E_NOTIMPL;
}

HRESULT CFilterGraph::FindFilterByName(LPCWSTR pName, IBaseFilter** ppFilter) {
    if (!pName || !ppFilter) return E_POINTER;
    std::lock_guard<std::recursive_mutex> g(m_controlLock);
    for (Member& m : m_members) {
        if (m.name == pName) {
            *ppFilter = m.filter;
            m.filter->AddRef();
            return S_OK;
        }
    }
    *ppFilter = nullptr;
    return VFW_E_NOT_FOUND;
}

HRESULT CFilterGraph::ConnectDirect(IPin* ppinOut, IPin* ppinIn, const AM_MEDIA_TYPE* pmt) {
    if (!ppinOut || !ppinIn) return E_POINTER;
    std::lock_guard<std::recursive_mutex> g(m_controlLock);
    if (m_state != State_Stopped) return VFW_E_NOT_STOPPED;
    for (IPin* pin : {ppinOut, ppinIn}) {
        PIN_INFO info{};
        if (FAILED(pin->QueryPinInfo(&info))) return E_FAIL;
        bool member = info.pFilter && Contains(info.pFilter);
        if (info.pFilter) info.pFilter->Release();
        if (!member) return VFW_E_NOT_IN_GRAPH;
    }
    PIN_DIRECTION dir;
    if (FAILED(ppinOut->QueryDirection(&dir)) || dir != PINDIR_OUTPUT) return VFW_E_INVALID_DIRECTION;
    return ppinOut->Connect(ppinIn, pmt);
}

HRESULT CFilterGraph::Reconnect(IPin* ppin) {
    if (!ppin) return E_POINTER;
    std::lock_guard<std::recursive_mutex> g(m_controlLock);
    if (m_state != State_Stopped) return VFW_E_NOT_STOPPED;
    CComPtr<IPin> peer;
    HRESULT hr = ppin->ConnectedTo(&peer);
    if (FAILED(hr)) return hr;
    CMediaType mt;
    FreeMediaType(mt);
    hr = ppin->ConnectionMediaType(&mt);
    if (FAILED(hr)) return hr;
    PIN_DIRECTION dir;
    if (FAILED(ppin->QueryDirection(&dir))) return E_FAIL;
    IPin* out = dir == PINDIR_OUTPUT ? ppin : peer.get();
    IPin* in = dir == PINDIR_OUTPUT ? peer.get() : ppin;
    out->Disconnect();
    in->Disconnect();
    return out->Connect(in, &mt);
}

HRESULT CFilterGraph::Disconnect(IPin* ppin) {
    if (!ppin) return E_POINTER;
    std::lock_guard<std::recursive_mutex> g(m_controlLock);
    return ppin->Disconnect();
}

HRESULT CFilterGraph::SetDefaultSyncSource() {
    CComPtr<IReferenceClock> clock = CComPtr<IReferenceClock>::Attach(CSystemClock::Create());
    return SetSyncSource(clock.get());
}

HRESULT CFilterGraph::SetSyncSource(IReferenceClock* pClock) {
    std::lock_guard<std::recursive_mutex> g(m_controlLock);
    if (m_state != State_Stopped) return VFW_E_NOT_STOPPED;
    if (pClock) pClock->AddRef();
    if (m_clock) m_clock->Release();
    m_clock = pClock;
    for (Member& m : m_members) m.filter->SetSyncSource(pClock);
    return S_OK;
}

void CFilterGraph::SetStartDelay(REFERENCE_TIME delay) {
    std::lock_guard<std::recursive_mutex> g(m_controlLock);
    m_startDelay = delay;
}

REFERENCE_TIME CFilterGraph::StartTime() const {
    std::lock_guard<std::recursive_mutex> g(m_controlLock);
    return m_tStart;
}

void CFilterGraph::DisconnectAll(IBaseFilter* f) {
    CComPtr<IEnumPins> e;
    if (FAILED(f->EnumPins(&e)) || !e) return;
    for (;;) {
        IPin* raw = nullptr;
        ULONG n = 0;
        if (e->Next(1, &raw, &n) != S_OK || n != 1) break;
        CComPtr<IPin> pin = CComPtr<IPin>::Attach(raw);
        CComPtr<IPin> peer;
        if (pin->ConnectedTo(&peer) == S_OK && peer) peer->Disconnect();
        pin->Disconnect();
    }
}

std::vector<IBaseFilter*> CFilterGraph::OrderedFilters() {
    // Downstream filters first: a filter's rank is the length of the longest chain of
    // connections from it to a filter that feeds nothing.
    std::map<IBaseFilter*, std::vector<IBaseFilter*>> downstream;
    for (Member& m : m_members) {
        std::vector<IBaseFilter*>& next = downstream[m.filter];
        CComPtr<IEnumPins> e;
        if (FAILED(m.filter->EnumPins(&e)) || !e) continue;
        for (;;) {
            IPin* raw = nullptr;
            ULONG n = 0;
            if (e->Next(1, &raw, &n) != S_OK || n != 1) break;
            CComPtr<IPin> pin = CComPtr<IPin>::Attach(raw);
            PIN_DIRECTION dir;
            if (FAILED(pin->QueryDirection(&dir)) || dir != PINDIR_OUTPUT) continue;
            CComPtr<IPin> peer;
            if (pin->ConnectedTo(&peer) != S_OK || !peer) continue;
            PIN_INFO info{};
            if (FAILED(peer->QueryPinInfo(&info))) continue;
            if (info.pFilter) {
                if (Contains(info.pFilter)) next.push_back(info.pFilter);
                info.pFilter->Release();
            }
        }
    }
    std::map<IBaseFilter*, int> rank;
    // Bounded by the member count, so a (malformed) cycle cannot recurse for ever.
    const int limit = static_cast<int>(m_members.size());
    std::function<int(IBaseFilter*, int)> rankOf = [&](IBaseFilter* f, int depth) -> int {
        auto it = rank.find(f);
        if (it != rank.end()) return it->second;
        int r = 0;
        if (depth < limit)
            for (IBaseFilter* d : downstream[f]) r = std::max(r, rankOf(d, depth + 1) + 1);
        rank[f] = r;
        return r;
    };
    std::vector<IBaseFilter*> order;
    for (Member& m : m_members) {
        rankOf(m.filter, 0);
        order.push_back(m.filter);
    }
    std::stable_sort(order.begin(), order.end(), [&rank](IBaseFilter* a, IBaseFilter* b) { return rank[a] < rank[b]; });
    return order;
}

std::vector<IBaseFilter*> CFilterGraph::Filters() {
    std::lock_guard<std::recursive_mutex> g(m_controlLock);
    std::vector<IBaseFilter*> order = OrderedFilters();
    for (IBaseFilter* f : order) f->AddRef();
    return order;
}

HRESULT CFilterGraph::StopAll() {
    HRESULT result = S_OK;
    for (IBaseFilter* f : OrderedFilters()) {
        HRESULT hr = f->Stop();
        if (FAILED(hr) && SUCCEEDED(result)) result = hr;
    }
    m_state = State_Stopped;
    return result;
}

HRESULT CFilterGraph::PauseAll() {
    for (IBaseFilter* f : OrderedFilters()) {
        HRESULT hr = f->Pause();
        if (FAILED(hr)) return hr;
    }
    m_state = State_Paused;
    return S_OK;
}

HRESULT CFilterGraph::Run() {
    std::lock_guard<std::recursive_mutex> g(m_controlLock);
    if (m_state == State_Running) return S_OK;
    if (m_state == State_Stopped) {
        HRESULT hr = PauseAll();
        if (FAILED(hr)) {
            StopAll();
            return hr;
        }
    }
    REFERENCE_TIME now = 0;
    if (m_clock && SUCCEEDED(m_clock->GetTime(&now)))
        m_tStart = now + m_startDelay;
    else
        m_tStart = 0;
    for (IBaseFilter* f : OrderedFilters()) {
        HRESULT hr = f->Run(m_tStart);
        if (FAILED(hr)) {
            PauseAll();
            StopAll();
            return hr;
        }
    }
    m_state = State_Running;
    return S_OK;
}

HRESULT CFilterGraph::Pause() {
    std::lock_guard<std::recursive_mutex> g(m_controlLock);
    if (m_state == State_Paused) return S_OK;
    HRESULT hr = PauseAll();
    if (FAILED(hr)) StopAll();
    return hr;
}

HRESULT CFilterGraph::Stop() {
    std::lock_guard<std::recursive_mutex> g(m_controlLock);
    if (m_state == State_Stopped) return S_OK;
    // Running filters pass through paused so that none is asked to stop while it still runs
    // against a clock the others have left.
    if (m_state == State_Running) PauseAll();
    return StopAll();
}

HRESULT CFilterGraph::GetState(LONG msTimeout, FILTER_STATE* pfs) {
    if (!pfs) return E_POINTER;
    std::lock_guard<std::recursive_mutex> g(m_controlLock);
    *pfs = m_state;
    for (Member& m : m_members) {
        FILTER_STATE fs;
        HRESULT hr = m.filter->GetState(static_cast<DWORD>(msTimeout < 0 ? 0xFFFFFFFF : msTimeout), &fs);
        if (hr == VFW_S_STATE_INTERMEDIATE || FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT CFilterGraph::Notify(LONG EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2) {
    {
        std::lock_guard<std::mutex> g(m_eventLock);
        m_events.push_back({EventCode, EventParam1, EventParam2});
    }
    m_eventReady.notify_one();
    return S_OK;
}

HRESULT CFilterGraph::GetEvent(LONG* lEventCode, LONG_PTR* lParam1, LONG_PTR* lParam2, LONG msTimeout) {
    if (!lEventCode || !lParam1 || !lParam2) return E_POINTER;
    std::unique_lock<std::mutex> g(m_eventLock);
    auto ready = [this] { return !m_events.empty(); };
    if (msTimeout < 0)
        m_eventReady.wait(g, ready);
    else if (!m_eventReady.wait_for(g, std::chrono::milliseconds(msTimeout), ready))
        return E_ABORT;
    Event e = m_events.front();
    m_events.pop_front();
    *lEventCode = e.code;
    *lParam1 = e.p1;
    *lParam2 = e.p2;
    return S_OK;
}
