#include "TestFilters.h"

#include "platform/dshow/Uuids.h"

namespace qvtest {

CRecordingPin::CRecordingPin(CRecordingRenderer* filter, CCritSec* lock, Journal* journal)
    : CBaseInputPin(L"Recording pin", filter, lock, nullptr, L"In"), m_journal(journal) {}

HRESULT CRecordingPin::CheckMediaType(const CMediaType* pmt) {
    if (accept.empty()) return S_OK;
    for (const GUID& g : accept)
        if (*pmt->Subtype() == g) return S_OK;
    return S_FALSE;
}

HRESULT CRecordingPin::GetMediaType(int iPosition, CMediaType* pmt) {
    if (iPosition < 0) return E_INVALIDARG;
    if (static_cast<size_t>(iPosition) >= propose.size()) return VFW_S_NO_MORE_ITEMS;
    *pmt = propose[static_cast<size_t>(iPosition)];
    return S_OK;
}

HRESULT CRecordingPin::CompleteConnect(IPin* pReceivePin) {
    m_journal->Add("pin:CompleteConnect");
    return CBaseInputPin::CompleteConnect(pReceivePin);
}

HRESULT CRecordingPin::BreakConnect() {
    m_journal->Add("pin:BreakConnect");
    return CBaseInputPin::BreakConnect();
}

HRESULT CRecordingPin::Active() {
    m_journal->Add("pin:Active");
    return CBaseInputPin::Active();
}

HRESULT CRecordingPin::Inactive() {
    m_journal->Add("pin:Inactive");
    return CBaseInputPin::Inactive();
}

HRESULT CRecordingPin::Run(REFERENCE_TIME tStart) {
    m_journal->Add("pin:Run");
    return CBaseInputPin::Run(tStart);
}

HRESULT CRecordingPin::Receive(IMediaSample* pSample) {
    HRESULT hr = CBaseInputPin::Receive(pSample);
    if (hr == S_OK) {
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
    }
    std::lock_guard<std::mutex> g(m_mutex);
    m_results.push_back(hr);
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

HRESULT CRecordingPin::NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) {
    m_journal->Add("pin:NewSegment");
    return CBaseInputPin::NewSegment(tStart, tStop, dRate);
}

CRecordingRenderer::CRecordingRenderer(Journal* journal, const wchar_t* name)
    : CBaseFilter(name, nullptr, &m_lock, GUID_NULL), m_journal(journal), m_pin(this, &m_lock, journal) {}

CRecordingRenderer::~CRecordingRenderer() { m_pin.DisconnectInternal(); }

CRecordingRenderer* CRecordingRenderer::Create(Journal* journal, const wchar_t* name) {
    auto* r = new CRecordingRenderer(journal, name);
    r->NonDelegatingAddRef();
    return r;
}

HRESULT CRecordingRenderer::Stop() {
    m_journal->Add("renderer:Stop");
    return CBaseFilter::Stop();
}

HRESULT CRecordingRenderer::Pause() {
    m_journal->Add("renderer:Pause");
    return CBaseFilter::Pause();
}

HRESULT CRecordingRenderer::Run(REFERENCE_TIME tStart) {
    m_journal->Add("renderer:Run");
    return CBaseFilter::Run(tStart);
}

CRecordingSource::CRecordingSource(Journal* journal, std::vector<CMediaType> types, const wchar_t* name)
    : CBaseFilter(name, nullptr, &m_lock, GUID_NULL),
      m_journal(journal),
      m_pin(this, &m_lock, nullptr, L"Out", std::move(types), 4096, 3) {}

CRecordingSource::~CRecordingSource() {
    m_pin.Inactive();
    m_pin.DisconnectInternal();
}

CRecordingSource* CRecordingSource::Create(Journal* journal, std::vector<CMediaType> types, const wchar_t* name) {
    auto* s = new CRecordingSource(journal, std::move(types), name);
    s->NonDelegatingAddRef();
    return s;
}

HRESULT CRecordingSource::Stop() {
    m_journal->Add("source:Stop");
    return CBaseFilter::Stop();
}

HRESULT CRecordingSource::Pause() {
    m_journal->Add("source:Pause");
    return CBaseFilter::Pause();
}

HRESULT CRecordingSource::Run(REFERENCE_TIME tStart) {
    m_journal->Add("source:Run");
    return CBaseFilter::Run(tStart);
}

}  // namespace qvtest
