#include "platform/dshow/MediaSample.h"

#include "platform/com/TaskMem.h"
#include "platform/dshow/MediaType.h"

CMediaSample* CMediaSample::Create(LONG size) {
    if (size < 0) return nullptr;
    auto* s = new CMediaSample(nullptr, size);
    s->m_cRef = 1;
    return s;
}

CMediaSample::CMediaSample(CMemAllocator* allocator, LONG size)
    : m_pAllocator(allocator), m_buffer(std::make_unique_for_overwrite<BYTE[]>(static_cast<size_t>(size))),
      m_size(static_cast<size_t>(size)),
      m_lActual(size) {}

CMediaSample::~CMediaSample() { DeleteMediaType(m_pMediaType); }

HRESULT CMediaSample::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IMediaSample) return GetInterface(static_cast<IMediaSample*>(this), ppv);
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG CMediaSample::AddRef() { return static_cast<ULONG>(m_cRef.fetch_add(1) + 1); }

ULONG CMediaSample::Release() {
    LONG left = m_cRef.fetch_sub(1) - 1;
    if (left > 0) return static_cast<ULONG>(left);
    if (left < 0) {
        m_cRef.store(0);  // an extra Release: ignore rather than hand the sample back twice
        return 0;
    }
    ResetProperties();
    if (m_pAllocator) {
        // May release the last reference on the allocator, which deletes this sample.
        m_pAllocator->ReleaseBuffer(this);
    } else {
        delete this;
    }
    return 0;
}

void CMediaSample::ResetProperties() {
    m_dwFlags = 0;
    m_lActual = static_cast<LONG>(m_size);
    DeleteMediaType(m_pMediaType);
    m_pMediaType = nullptr;
}

HRESULT CMediaSample::GetPointer(BYTE** ppBuffer) {
    if (!ppBuffer) return E_POINTER;
    *ppBuffer = m_buffer.get();
    return S_OK;
}

LONG CMediaSample::GetSize() { return static_cast<LONG>(m_size); }

HRESULT CMediaSample::GetTime(REFERENCE_TIME* pTimeStart, REFERENCE_TIME* pTimeEnd) {
    if (!pTimeStart || !pTimeEnd) return E_POINTER;
    if (!(m_dwFlags & Sample_TimeValid)) return VFW_E_SAMPLE_TIME_NOT_SET;
    *pTimeStart = m_Start;
    if (!(m_dwFlags & Sample_StopValid)) {
        // Only a start time: the stop reads as one unit later, flagged by the result.
        *pTimeEnd = m_Start + 1;
        return VFW_S_NO_STOP_TIME;
    }
    *pTimeEnd = m_End;
    return S_OK;
}

HRESULT CMediaSample::SetTime(REFERENCE_TIME* pTimeStart, REFERENCE_TIME* pTimeEnd) {
    if (!pTimeStart) {
        if (pTimeEnd) return E_POINTER;  // a stop time without a start time means nothing
        m_dwFlags &= ~(Sample_TimeValid | Sample_StopValid);
        return S_OK;
    }
    m_Start = *pTimeStart;
    m_dwFlags |= Sample_TimeValid;
    if (pTimeEnd) {
        m_End = *pTimeEnd;
        m_dwFlags |= Sample_StopValid;
    } else {
        m_dwFlags &= ~Sample_StopValid;
    }
    return S_OK;
}

HRESULT CMediaSample::IsSyncPoint() { return (m_dwFlags & Sample_SyncPoint) ? S_OK : S_FALSE; }

HRESULT CMediaSample::SetSyncPoint(BOOL b) {
    m_dwFlags = b ? (m_dwFlags | Sample_SyncPoint) : (m_dwFlags & ~Sample_SyncPoint);
    return S_OK;
}

HRESULT CMediaSample::IsPreroll() { return (m_dwFlags & Sample_Preroll) ? S_OK : S_FALSE; }

HRESULT CMediaSample::SetPreroll(BOOL b) {
    m_dwFlags = b ? (m_dwFlags | Sample_Preroll) : (m_dwFlags & ~Sample_Preroll);
    return S_OK;
}

LONG CMediaSample::GetActualDataLength() { return m_lActual; }

HRESULT CMediaSample::SetActualDataLength(LONG length) {
    if (length < 0 || static_cast<size_t>(length) > m_size) return VFW_E_BUFFER_OVERFLOW;
    m_lActual = length;
    return S_OK;
}

HRESULT CMediaSample::GetMediaType(AM_MEDIA_TYPE** ppMediaType) {
    if (!ppMediaType) return E_POINTER;
    if (!(m_dwFlags & Sample_TypeChanged) || !m_pMediaType) {
        *ppMediaType = nullptr;
        return S_FALSE;
    }
    *ppMediaType = CreateMediaType(m_pMediaType);
    return *ppMediaType ? S_OK : E_OUTOFMEMORY;
}

HRESULT CMediaSample::SetMediaType(AM_MEDIA_TYPE* pMediaType) {
    DeleteMediaType(m_pMediaType);
    m_pMediaType = nullptr;
    if (!pMediaType) {
        m_dwFlags &= ~Sample_TypeChanged;
        return S_OK;
    }
    m_pMediaType = CreateMediaType(pMediaType);
    if (!m_pMediaType) {
        m_dwFlags &= ~Sample_TypeChanged;
        return E_OUTOFMEMORY;
    }
    m_dwFlags |= Sample_TypeChanged;
    return S_OK;
}

HRESULT CMediaSample::IsDiscontinuity() { return (m_dwFlags & Sample_Discontinuity) ? S_OK : S_FALSE; }

HRESULT CMediaSample::SetDiscontinuity(BOOL b) {
    m_dwFlags = b ? (m_dwFlags | Sample_Discontinuity) : (m_dwFlags & ~Sample_Discontinuity);
    return S_OK;
}

HRESULT CMediaSample::GetMediaTime(LONGLONG* pTimeStart, LONGLONG* pTimeEnd) {
    if (!pTimeStart || !pTimeEnd) return E_POINTER;
    if (!(m_dwFlags & Sample_MediaTimeValid)) return VFW_E_MEDIA_TIME_NOT_SET;
    *pTimeStart = m_MediaStart;
    *pTimeEnd = m_MediaEnd;
    return S_OK;
}

HRESULT CMediaSample::SetMediaTime(LONGLONG* pTimeStart, LONGLONG* pTimeEnd) {
    if (!pTimeStart) {
        if (pTimeEnd) return E_POINTER;
        m_dwFlags &= ~Sample_MediaTimeValid;
        return S_OK;
    }
    if (!pTimeEnd) return E_POINTER;
    m_MediaStart = *pTimeStart;
    m_MediaEnd = *pTimeEnd;
    m_dwFlags |= Sample_MediaTimeValid;
    return S_OK;
}

// ---------------------------------------------------------------------------------------------

CMemAllocator::CMemAllocator() : CUnknown(L"Memory allocator", nullptr) {}

CMemAllocator::~CMemAllocator() = default;

HRESULT CMemAllocator::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IMemAllocator) return GetInterface(static_cast<IMemAllocator*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CMemAllocator::SetProperties(ALLOCATOR_PROPERTIES* pRequest, ALLOCATOR_PROPERTIES* pActual) {
    if (!pRequest || !pActual) return E_POINTER;
    std::lock_guard<std::mutex> g(m_mutex);
    if (m_bCommitted) return VFW_E_ALREADY_COMMITTED;
    if (m_free.size() != m_samples.size()) return VFW_E_BUFFERS_OUTSTANDING;
    if (pRequest->cbAlign < 1 || (pRequest->cbAlign & (pRequest->cbAlign - 1)) != 0) return VFW_E_BADALIGN;
    if (pRequest->cBuffers < 1 || pRequest->cbBuffer < 0 || pRequest->cbPrefix < 0) return E_INVALIDARG;
    m_props = *pRequest;
    // The buffer size is rounded up to the alignment, as the actual properties tell the caller.
    LONG align = m_props.cbAlign;
    LONG total = m_props.cbBuffer + m_props.cbPrefix;
    if (total % align) m_props.cbBuffer += align - total % align;
    m_bPropsSet = true;
    *pActual = m_props;
    return S_OK;
}

HRESULT CMemAllocator::GetProperties(ALLOCATOR_PROPERTIES* pProps) {
    if (!pProps) return E_POINTER;
    std::lock_guard<std::mutex> g(m_mutex);
    *pProps = m_props;
    return S_OK;
}

HRESULT CMemAllocator::Commit() {
    std::lock_guard<std::mutex> g(m_mutex);
    if (m_bCommitted) return S_OK;
    if (!m_bPropsSet) return VFW_E_SIZENOTSET;
    // Samples still out from before a decommit come back to the same free list, so only a
    // fully returned (or never filled) pool is rebuilt.
    if (m_samples.empty()) {
        for (LONG i = 0; i < m_props.cBuffers; ++i) {
            m_samples.push_back(std::unique_ptr<CMediaSample>(new CMediaSample(this, m_props.cbBuffer)));
            m_free.push_back(m_samples.back().get());
        }
    }
    m_bCommitted = true;
    return S_OK;
}

HRESULT CMemAllocator::Decommit() {
    std::lock_guard<std::mutex> g(m_mutex);
    if (!m_bCommitted) return S_OK;
    m_bCommitted = false;
    // Memory goes when every sample is back; lent samples return to a pool that is then freed.
    if (m_free.size() == m_samples.size()) {
        m_free.clear();
        m_samples.clear();
    }
    m_freed.notify_all();
    return S_OK;
}

HRESULT CMemAllocator::GetBuffer(IMediaSample** ppBuffer, REFERENCE_TIME* pStartTime, REFERENCE_TIME* pEndTime,
                                 DWORD dwFlags) {
    if (!ppBuffer) return E_POINTER;
    *ppBuffer = nullptr;
    CMediaSample* s = nullptr;
    {
        std::unique_lock<std::mutex> g(m_mutex);
        for (;;) {
            if (!m_bCommitted) return VFW_E_NOT_COMMITTED;
            if (!m_free.empty()) break;
            if (dwFlags & AM_GBF_NOWAIT) return VFW_E_TIMEOUT;
            m_freed.wait(g);
        }
        s = m_free.back();
        m_free.pop_back();
        s->m_cRef = 1;
    }
    // A lent sample keeps its allocator alive until it comes back.
    NonDelegatingAddRef();
    if (pStartTime) s->SetTime(pStartTime, pEndTime);
    *ppBuffer = s;
    return S_OK;
}

HRESULT CMemAllocator::ReleaseBuffer(IMediaSample* pBuffer) {
    if (!pBuffer) return E_POINTER;
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_free.push_back(static_cast<CMediaSample*>(pBuffer));
        if (!m_bCommitted && m_free.size() == m_samples.size()) {
            m_free.clear();
            m_samples.clear();
        }
        m_freed.notify_all();
    }
    NonDelegatingRelease();
    return S_OK;
}

LONG CMemAllocator::Outstanding() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return static_cast<LONG>(m_samples.size() - m_free.size());
}
