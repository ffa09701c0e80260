#include "TestFilters.h"

#include "platform/dshow/Uuids.h"

namespace qvtest {

CRecordingPin::CRecordingPin(CRecordingRenderer* filter, CCritSec* lock, Journal* journal)
    : CBaseInputPin(L"Recording pin", filter, lock, nullptr, L"In"), m_journal(journal) {}

HRESULT CRecordingPin::CheckMediaType(const CMediaType* pmt) {
    for (const GUID& g : accept)
        if (*pmt->Subtype() == g) return S_OK;
    return accept.empty() ? S_OK : S_FALSE;
}

HRESULT CRecordingPin::GetMediaType(int iPosition, CMediaType* pmt) {
    if (iPosition < 0) return E_INVALIDARG;
    if (static_cast<size_t>(iPosition) >= propose.size()) return VFW_S_NO_MORE_ITEMS;
    *pmt = propose[static_cast<size_t>(iPosition)];
    return S_OK;
}

HRESULT CRecordingPin::Receive(IMediaSample* pSample) {
    HRESULT hr = CBaseInputPin::Receive(pSample);
    if (hr != S_OK) return hr;
    ReceivedSample r{};
    BYTE* p = nullptr;
    pSample->GetPointer(&p);
    r.data.assign(p, p + pSample->GetActualDataLength());
    r.timeResult = pSample->GetTime(&r.start, &r.stop);
    r.sync = pSample->IsSyncPoint() == S_OK;
    r.preroll = pSample->IsPreroll() == S_OK;
    r.discontinuity = pSample->IsDiscontinuity() == S_OK;
    std::unique_lock<std::mutex> g(m_mutex);
    if (refuseIndex >= 0 && static_cast<int>(m_samples.size()) == refuseIndex) hr = S_FALSE;
    m_samples.push_back(std::move(r));
    if (blockNextReceive) {
        blockNextReceive = false;
        m_journal->Add("pin:Blocked");
        // Bounded: a flush that never comes fails the test instead of hanging it.
        m_cv.wait_for(g, std::chrono::seconds(10), [this] { return m_flushSeen; });
        hr = S_FALSE;
    }
    return hr;
}

HRESULT CRecordingPin::EndOfStream() {
    HRESULT hr = CheckStreaming();
    m_journal->Add("pin:EndOfStream");
    if (hr == S_OK) m_pFilter->NotifyEvent(EC_COMPLETE, S_OK, 0);
    return hr;
}

HRESULT CRecordingPin::BeginFlush() {
    m_journal->Add("pin:BeginFlush");
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_flushSeen = true;
    }
    m_cv.notify_all();
    return CBaseInputPin::BeginFlush();
}

HRESULT CRecordingPin::EndFlush() {
    m_journal->Add("pin:EndFlush");
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_flushSeen = false;
    }
    return CBaseInputPin::EndFlush();
}

CRecordingRenderer::CRecordingRenderer(Journal* journal, const wchar_t* name)
    : CBaseFilter(name, nullptr, &m_lock, GUID_NULL), m_journal(journal), m_pin(this, &m_lock, journal) {}

CRecordingRenderer* CRecordingRenderer::Create(Journal* journal, const wchar_t* name) {
    auto* r = new CRecordingRenderer(journal, name);
    r->NonDelegatingAddRef();
    return r;
}

CRecordingSource::CRecordingSource(Journal* journal, std::vector<CMediaType> types, const wchar_t* name)
    : CBaseFilter(name, nullptr, &m_lock, GUID_NULL), m_journal(journal),
      m_pin(this, &m_lock, nullptr, L"Out", std::move(types), 4096, 3) {}

CRecordingSource* CRecordingSource::Create(Journal* journal, std::vector<CMediaType> types, const wchar_t* name) {
    auto* s = new CRecordingSource(journal, std::move(types), name);
    s->NonDelegatingAddRef();
    return s;
}

}  // namespace qvtest
