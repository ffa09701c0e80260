#include "platform/dshow/SourcePin.h"

#include <chrono>
#include <cstring>

CSourceOutputPin::CSourceOutputPin(CBaseFilter* pFilter, CCritSec* pLock, HRESULT* phr, LPCWSTR pName,
                                   std::vector<CMediaType> types, LONG bufferSize, LONG bufferCount)
    : CBaseOutputPin(L"Source output pin", pFilter, pLock, phr, pName),
      m_types(std::move(types)),
      m_bufferSize(bufferSize > 0 ? bufferSize : 1),
      m_bufferCount(bufferCount > 0 ? bufferCount : 1) {}

CSourceOutputPin::~CSourceOutputPin() { StopThread(); }

HRESULT CSourceOutputPin::CheckMediaType(const CMediaType* pmt) {
    if (!pmt) return E_POINTER;
    for (const CMediaType& t : m_types) {
        if (*pmt->Type() != *t.Type() || *pmt->Subtype() != *t.Subtype()) continue;
        if (*t.FormatType() != GUID_NULL && *pmt->FormatType() != *t.FormatType()) continue;
        return S_OK;
    }
    return S_FALSE;
}

HRESULT CSourceOutputPin::GetMediaType(int iPosition, CMediaType* pMediaType) {
    if (!pMediaType) return E_POINTER;
    if (iPosition < 0) return E_INVALIDARG;
    if (static_cast<size_t>(iPosition) >= m_types.size()) return VFW_S_NO_MORE_ITEMS;
    return pMediaType->Set(m_types[static_cast<size_t>(iPosition)]) ? S_OK : E_OUTOFMEMORY;
}

HRESULT CSourceOutputPin::DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pRequest) {
    ALLOCATOR_PROPERTIES want = *pRequest;
    if (want.cBuffers < m_bufferCount) want.cBuffers = m_bufferCount;
    if (want.cbBuffer < m_bufferSize) want.cbBuffer = m_bufferSize;
    if (want.cbAlign < 1) want.cbAlign = 1;
    ALLOCATOR_PROPERTIES actual{};
    HRESULT hr = pAlloc->SetProperties(&want, &actual);
    if (FAILED(hr)) return hr;
    return (actual.cbBuffer < m_bufferSize || actual.cBuffers < 1) ? E_FAIL : S_OK;
}

HRESULT CSourceOutputPin::Active() {
    HRESULT hr = CBaseOutputPin::Active();
    if (FAILED(hr)) return hr;
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_stopRequested = false;
        m_active = true;
        m_refused = false;
    }
    if (!m_thread.joinable()) m_thread = std::thread([this] { ThreadProc(); });
    return S_OK;
}

HRESULT CSourceOutputPin::Inactive() {
    StopThread();
    {
        std::lock_guard<std::mutex> g(m_mutex);
        // What was not delivered by the stop belongs to a stream that has ended.
        for (const Item& i : m_queue)
            if (i.kind == Item::Sample) ++m_dropped;
        m_queue.clear();
    }
    return CBaseOutputPin::Inactive();
}

void CSourceOutputPin::StopThread() {
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_active = false;
        m_stopRequested = true;  // Active clears it again
    }
    m_work.notify_all();
    m_cv.notify_all();  // a producer waiting to deliver drops its sample
    if (!m_thread.joinable()) return;
    // A thread waiting for a free buffer is released by the decommit.
    if (m_pAllocator) m_pAllocator->Decommit();
    m_thread.join();
}

void CSourceOutputPin::Push(Item item) {
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_queue.push_back(std::move(item));
    }
    m_work.notify_one();
    m_cv.notify_all();
}

void CSourceOutputPin::PushSample(std::span<const BYTE> data, const REFERENCE_TIME* start, const REFERENCE_TIME* stop,
                                  bool syncPoint, bool preroll, bool discontinuity) {
    Item item;
    item.kind = Item::Sample;
    item.data.assign(data.begin(), data.end());
    if (start) {
        item.hasStart = true;
        item.start = *start;
        if (stop) {
            item.hasStop = true;
            item.stop = *stop;
        }
    }
    item.sync = syncPoint;
    item.preroll = preroll;
    item.discontinuity = discontinuity;
    Push(std::move(item));
}

HRESULT CSourceOutputPin::DeliverNow(std::span<const BYTE> data, const REFERENCE_TIME* start,
                                     const REFERENCE_TIME* stop, bool syncPoint) {
    {
        std::unique_lock<std::mutex> g(m_mutex);
        m_cv.wait(g, [this] { return !m_active || (m_queue.empty() && !m_busy); });
        if (!m_active || m_refused) {
            ++m_dropped;
            return m_active ? S_FALSE : VFW_E_WRONG_STATE;
        }
        m_busy = true;
    }
    const HRESULT hr = DeliverBytes(data, start, start ? stop : nullptr, syncPoint, false, false);
    bool queued = false;
    {
        std::lock_guard<std::mutex> g(m_mutex);
        Delivered(true, hr);
        queued = !m_queue.empty();
    }
    if (queued) m_work.notify_one();
    m_cv.notify_all();
    return hr;
}

void CSourceOutputPin::Delivered(bool sample, HRESULT hr) {
    m_results.push_back(hr);
    if (m_results.size() > kResultsKept) m_results.pop_front();
    if (sample && hr != S_OK && m_stopOnRefusal) m_refused = true;
    m_busy = false;
}

void CSourceOutputPin::PushNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) {
    Item item;
    item.kind = Item::NewSegment;
    item.start = tStart;
    item.stop = tStop;
    item.rate = dRate;
    Push(std::move(item));
}

void CSourceOutputPin::PushEndOfStream() {
    Item item;
    item.kind = Item::EndOfStream;
    Push(std::move(item));
}

HRESULT CSourceOutputPin::Flush() {
    {
        std::lock_guard<std::mutex> g(m_mutex);
        for (const Item& i : m_queue)
            if (i.kind == Item::Sample) ++m_dropped;
        m_queue.clear();
    }
    DeliverBeginFlush();
    bool idle = false;
    {
        std::unique_lock<std::mutex> g(m_mutex);
        idle = m_cv.wait_for(g, std::chrono::seconds(10), [this] { return !m_busy; });
        m_refused = false;
    }
    DeliverEndFlush();
    return idle ? S_OK : VFW_E_TIMEOUT;
}

bool CSourceOutputPin::WaitIdle(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> g(m_mutex);
    return m_cv.wait_for(g, std::chrono::milliseconds(timeoutMs), [this] { return m_queue.empty() && !m_busy; });
}

bool CSourceOutputPin::WaitRoom(size_t limit, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> g(m_mutex);
    return m_cv.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] {
        size_t samples = m_busy ? 1 : 0;
        for (const Item& i : m_queue) samples += i.kind == Item::Sample;
        return samples < limit;
    });
}

std::vector<HRESULT> CSourceOutputPin::Results() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return {m_results.begin(), m_results.end()};
}

uint32_t CSourceOutputPin::Dropped() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_dropped;
}

void CSourceOutputPin::SetStopOnRefusal(bool stop) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_stopOnRefusal = stop;
}

void CSourceOutputPin::ThreadProc() {
    if (m_threadStart) m_threadStart();
    for (;;) {
        Item item;
        {
            std::unique_lock<std::mutex> g(m_mutex);
            m_work.wait(g, [this] { return m_stopRequested || (!m_queue.empty() && !m_busy); });
            if (m_stopRequested) return;
            item = std::move(m_queue.front());
            m_queue.pop_front();
            if (item.kind == Item::Sample && m_refused) {
                ++m_dropped;
                m_cv.notify_all();
                continue;
            }
            m_busy = true;
        }
        HRESULT hr = DeliverItem(item);
        {
            std::lock_guard<std::mutex> g(m_mutex);
            Delivered(item.kind == Item::Sample, hr);
        }
        m_cv.notify_all();
    }
}

HRESULT CSourceOutputPin::DeliverItem(const Item& item) {
    switch (item.kind) {
        case Item::EndOfStream:
            return DeliverEndOfStream();
        case Item::NewSegment:
            return DeliverNewSegment(item.start, item.stop, item.rate);
        case Item::Sample:
            break;
    }
    const REFERENCE_TIME start = item.start, stop = item.stop;
    return DeliverBytes(item.data, item.hasStart ? &start : nullptr, item.hasStop ? &stop : nullptr, item.sync,
                        item.preroll, item.discontinuity);
}

HRESULT CSourceOutputPin::DeliverBytes(std::span<const BYTE> data, const REFERENCE_TIME* start,
                                       const REFERENCE_TIME* stop, bool sync, bool preroll, bool discontinuity) {
    IMediaSample* sample = nullptr;
    HRESULT hr = GetDeliveryBuffer(&sample, nullptr, nullptr, 0);
    if (FAILED(hr)) return hr;
    BYTE* p = nullptr;
    sample->GetPointer(&p);
    if (data.size() > static_cast<size_t>(sample->GetSize())) {
        sample->Release();
        return VFW_E_BUFFER_OVERFLOW;
    }
    if (!data.empty()) std::memcpy(p, data.data(), data.size());
    sample->SetActualDataLength(static_cast<LONG>(data.size()));
    REFERENCE_TIME t0 = start ? *start : 0, t1 = stop ? *stop : 0;
    sample->SetTime(start ? &t0 : nullptr, stop ? &t1 : nullptr);
    sample->SetSyncPoint(sync);
    sample->SetPreroll(preroll);
    sample->SetDiscontinuity(discontinuity);
    hr = Deliver(sample);
    sample->Release();
    return hr;
}

// ---------------------------------------------------------------------------------------------

// The push source is never registered, so its class id is the null one.
CPushSource::CPushSource(const wchar_t* name, std::vector<PinDesc> pins)
    : CBaseFilter(name, nullptr, &m_lock, GUID_NULL) {
    HRESULT hr = S_OK;
    for (PinDesc& desc : pins)
        m_pins.push_back(std::make_unique<CSourceOutputPin>(this, &m_lock, &hr, desc.name.c_str(), std::move(desc.types),
                                                            desc.bufferSize, desc.bufferCount));
}

CPushSource::~CPushSource() {
    // Pins stop their threads and drop their peers before the filter goes.
    for (auto& pin : m_pins) pin->Inactive();
    for (auto& pin : m_pins) pin->DisconnectInternal();
}

CPushSource* CPushSource::Create(const wchar_t* name, std::vector<PinDesc> pins) {
    auto* f = new CPushSource(name, std::move(pins));
    f->NonDelegatingAddRef();
    return f;
}

CBasePin* CPushSource::GetPin(int n) {
    if (n < 0 || static_cast<size_t>(n) >= m_pins.size()) return nullptr;
    return m_pins[static_cast<size_t>(n)].get();
}
