#include "platform/dshow/BasePin.h"

#include <cstring>
#include <cwchar>

#include "platform/com/ComPtr.h"
#include "platform/com/TaskMem.h"
#include "platform/dshow/Enumerators.h"

CBasePin::CBasePin(const wchar_t* pObjectName, CBaseFilter* pFilter, CCritSec* pLock, HRESULT*, LPCWSTR pName,
                   PIN_DIRECTION dir)
    : CUnknown(pObjectName, nullptr), m_pName(pName ? pName : L""), m_dir(dir), m_pLock(pLock), m_pFilter(pFilter) {}

CBasePin::~CBasePin() {
    // A pin dying connected would leave the peer pointing at freed memory; the owner must
    // disconnect first, but the reference we hold is dropped either way.
    if (IPin* peer = m_Connected.exchange(nullptr)) peer->Release();
}

HRESULT CBasePin::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IPin) return GetInterface(static_cast<IPin*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

ULONG CBasePin::NonDelegatingAddRef() { return m_pFilter->AddRef(); }

ULONG CBasePin::NonDelegatingRelease() { return m_pFilter->Release(); }

HRESULT CBasePin::SetMediaType(const CMediaType* pmt) {
    if (!pmt) return E_POINTER;
    return m_mt.Set(*pmt) ? S_OK : E_OUTOFMEMORY;
}

HRESULT CBasePin::CheckConnect(IPin* pPin) {
    PIN_DIRECTION pd;
    HRESULT hr = pPin->QueryDirection(&pd);
    if (FAILED(hr)) return hr;
    // An output connects only to an input and the reverse.
    if (pd == m_dir) return VFW_E_INVALID_DIRECTION;
    return S_OK;
}

HRESULT CBasePin::BreakConnect() { return S_OK; }

HRESULT CBasePin::CompleteConnect(IPin*) { return S_OK; }

HRESULT CBasePin::GetMediaType(int, CMediaType*) { return E_UNEXPECTED; }

HRESULT CBasePin::Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) {
    if (!pReceivePin) return E_POINTER;
    platform::CAutoLock lock(*m_pLock);
    if (m_Connected) return VFW_E_ALREADY_CONNECTED;
    if (!IsStopped() && !m_bCanReconnectWhenActive) return VFW_E_NOT_STOPPED;
    if (pmt) {
        CMediaType mt(*pmt);
        return AgreeMediaType(pReceivePin, &mt);
    }
    return AgreeMediaType(pReceivePin, nullptr);
}

HRESULT CBasePin::AttemptConnection(IPin* pReceivePin, const CMediaType* pmt) {
    HRESULT hr = CheckConnect(pReceivePin);
    if (FAILED(hr)) {
        BreakConnect();
        return hr;
    }
    hr = CheckMediaType(pmt);
    if (hr == S_OK) {
        pReceivePin->AddRef();
        m_Connected = pReceivePin;
        hr = SetMediaType(pmt);
        if (SUCCEEDED(hr)) {
            hr = pReceivePin->ReceiveConnection(this, pmt);
            if (SUCCEEDED(hr)) {
                hr = CompleteConnect(pReceivePin);
                if (SUCCEEDED(hr)) return hr;
                pReceivePin->Disconnect();
            }
        }
    } else if (SUCCEEDED(hr) || hr == E_FAIL || hr == E_INVALIDARG) {
        // A plain refusal of the type reads as "type not accepted" to whoever tries the next one.
        hr = VFW_E_TYPE_NOT_ACCEPTED;
    }
    BreakConnect();
    if (IPin* peer = m_Connected.exchange(nullptr)) peer->Release();
    return hr;
}

HRESULT CBasePin::TryMediaTypes(IPin* pReceivePin, const CMediaType* pmt, IEnumMediaTypes* pEnum) {
    HRESULT hr = pEnum->Reset();
    if (FAILED(hr)) return hr;
    HRESULT hrFailure = S_OK;
    for (;;) {
        AM_MEDIA_TYPE* pMediaType = nullptr;
        ULONG fetched = 0;
        hr = pEnum->Next(1, &pMediaType, &fetched);
        if (hr != S_OK || fetched != 1) {
            if (hrFailure == S_OK) hrFailure = VFW_E_NO_ACCEPTABLE_TYPES;
            return hrFailure;
        }
        CMediaType candidate(*pMediaType);
        DeleteMediaType(pMediaType);
        if (pmt == nullptr || candidate.MatchesPartial(pmt)) {
            hr = AttemptConnection(pReceivePin, &candidate);
            if (SUCCEEDED(hr)) return hr;
            // The first failure other than a plain refusal is the telling one.
            if (hrFailure == S_OK && hr != E_FAIL && hr != E_INVALIDARG && hr != VFW_E_TYPE_NOT_ACCEPTED)
                hrFailure = hr;
        }
    }
}

HRESULT CBasePin::AgreeMediaType(IPin* pReceivePin, const CMediaType* pmt) {
    if (pmt && !pmt->IsPartiallySpecified()) return AttemptConnection(pReceivePin, pmt);
    HRESULT hrFailure = VFW_E_NO_ACCEPTABLE_TYPES;
    for (int i = 0; i < 2; ++i) {
        CComPtr<IEnumMediaTypes> e;
        HRESULT hr = (i == static_cast<int>(m_bTryMyTypesFirst)) ? pReceivePin->EnumMediaTypes(&e) : EnumMediaTypes(&e);
        if (FAILED(hr) || !e) continue;
        hr = TryMediaTypes(pReceivePin, pmt, e.get());
        if (SUCCEEDED(hr)) return S_OK;
        if (hr != E_FAIL && hr != E_INVALIDARG && hr != VFW_E_TYPE_NOT_ACCEPTED && hr != VFW_E_NO_ACCEPTABLE_TYPES)
            hrFailure = hr;
    }
    return hrFailure;
}

HRESULT CBasePin::ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt) {
    if (!pConnector || !pmt) return E_POINTER;
    platform::CAutoLock lock(*m_pLock);
    if (m_Connected) return VFW_E_ALREADY_CONNECTED;
    if (!IsStopped() && !m_bCanReconnectWhenActive) return VFW_E_NOT_STOPPED;
    HRESULT hr = CheckConnect(pConnector);
    if (FAILED(hr)) {
        BreakConnect();
        return hr;
    }
    CMediaType mt(*pmt);
    hr = CheckMediaType(&mt);
    if (hr != S_OK) {
        BreakConnect();
        return (SUCCEEDED(hr) || hr == E_FAIL || hr == E_INVALIDARG) ? VFW_E_TYPE_NOT_ACCEPTED : hr;
    }
    pConnector->AddRef();
    m_Connected = pConnector;
    hr = SetMediaType(&mt);
    if (SUCCEEDED(hr)) {
        hr = CompleteConnect(pConnector);
        if (SUCCEEDED(hr)) return S_OK;
    }
    if (IPin* peer = m_Connected.exchange(nullptr)) peer->Release();
    BreakConnect();
    return hr;
}

HRESULT CBasePin::Disconnect() {
    platform::CAutoLock lock(*m_pLock);
    if (!IsStopped()) return VFW_E_NOT_STOPPED;
    return DisconnectInternal();
}

HRESULT CBasePin::DisconnectInternal() {
    platform::CAutoLock lock(*m_pLock);
    if (!m_Connected) {
        BreakConnect();
        return S_FALSE;
    }
    HRESULT hr = BreakConnect();
    if (FAILED(hr)) return hr;
    if (IPin* peer = m_Connected.exchange(nullptr)) peer->Release();
    return S_OK;
}

HRESULT CBasePin::ConnectedTo(IPin** pPin) {
    if (!pPin) return E_POINTER;
    IPin* peer = m_Connected;
    *pPin = peer;
    if (!peer) return VFW_E_NOT_CONNECTED;
    peer->AddRef();
    return S_OK;
}

HRESULT CBasePin::ConnectionMediaType(AM_MEDIA_TYPE* pmt) {
    if (!pmt) return E_POINTER;
    platform::CAutoLock lock(*m_pLock);
    if (!m_Connected) {
        std::memset(pmt, 0, sizeof *pmt);
        return VFW_E_NOT_CONNECTED;
    }
    return CopyMediaType(pmt, &m_mt);
}

HRESULT CBasePin::QueryPinInfo(PIN_INFO* pInfo) {
    if (!pInfo) return E_POINTER;
    pInfo->pFilter = m_pFilter;
    m_pFilter->AddRef();
    std::wcsncpy(pInfo->achName, m_pName.c_str(), MAX_PIN_NAME - 1);
    pInfo->achName[MAX_PIN_NAME - 1] = 0;
    pInfo->dir = m_dir;
    return S_OK;
}

HRESULT CBasePin::QueryDirection(PIN_DIRECTION* pPinDir) {
    if (!pPinDir) return E_POINTER;
    *pPinDir = m_dir;
    return S_OK;
}

HRESULT CBasePin::QueryId(LPWSTR* Id) {
    if (!Id) return E_POINTER;
    size_t bytes = (m_pName.size() + 1) * sizeof(wchar_t);
    *Id = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    if (!*Id) return E_OUTOFMEMORY;
    std::memcpy(*Id, m_pName.c_str(), bytes);
    return S_OK;
}

HRESULT CBasePin::QueryAccept(const AM_MEDIA_TYPE* pmt) {
    if (!pmt) return E_POINTER;
    CMediaType mt(*pmt);
    HRESULT hr = CheckMediaType(&mt);
    // A refusal is an answer here, not an error.
    return FAILED(hr) ? S_FALSE : hr;
}

HRESULT CBasePin::EnumMediaTypes(IEnumMediaTypes** ppEnum) {
    if (!ppEnum) return E_POINTER;
    auto* e = new CEnumMediaTypes(this, nullptr);
    *ppEnum = e;
    e->AddRef();
    return S_OK;
}

HRESULT CBasePin::QueryInternalConnections(IPin**, ULONG*) { return E_NOTIMPL; }

HRESULT CBasePin::EndOfStream() { return S_OK; }

HRESULT CBasePin::NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) {
    m_tStart = tStart;
    m_tStop = tStop;
    m_dRate = dRate;
    return S_OK;
}
