#include "platform/dshow/PosPassThru.h"

#include "platform/com/ComPtr.h"

CPosPassThru::CPosPassThru(const wchar_t* pName, IUnknown* pUnk, HRESULT*, IPin* pPin)
    : CUnknown(pName, pUnk), m_pPin(pPin) {}

HRESULT CPosPassThru::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IMediaSeeking) return GetInterface(static_cast<IMediaSeeking*>(this), ppv);
    if (riid == IID_IMediaPosition || riid == IID_IDispatch)
        return GetInterface(static_cast<IMediaPosition*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

IMediaSeeking* CPosPassThru::PeerSeeking() {
    if (!m_pPin) return nullptr;
    CComPtr<IPin> peer;
    if (m_pPin->ConnectedTo(&peer) != S_OK || !peer) return nullptr;
    IMediaSeeking* seeking = nullptr;
    if (FAILED(peer->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&seeking)))) return nullptr;
    return seeking;
}

// Runs `call` on the upstream seeking interface; E_NOTIMPL without one.
#define QV_PASS_THROUGH(call)                                                                  \
    do {                                                                                       \
        CComPtr<IMediaSeeking> s = CComPtr<IMediaSeeking>::Attach(PeerSeeking());              \
        if (!s) return E_NOTIMPL;                                                              \
        return s->call;                                                                        \
    } while (0)

HRESULT CPosPassThru::GetCapabilities(DWORD* p) { QV_PASS_THROUGH(GetCapabilities(p)); }
HRESULT CPosPassThru::CheckCapabilities(DWORD* p) { QV_PASS_THROUGH(CheckCapabilities(p)); }
HRESULT CPosPassThru::IsFormatSupported(const GUID* p) { QV_PASS_THROUGH(IsFormatSupported(p)); }
HRESULT CPosPassThru::QueryPreferredFormat(GUID* p) { QV_PASS_THROUGH(QueryPreferredFormat(p)); }
HRESULT CPosPassThru::GetTimeFormat(GUID* p) { QV_PASS_THROUGH(GetTimeFormat(p)); }
HRESULT CPosPassThru::IsUsingTimeFormat(const GUID* p) { QV_PASS_THROUGH(IsUsingTimeFormat(p)); }
HRESULT CPosPassThru::SetTimeFormat(const GUID* p) { QV_PASS_THROUGH(SetTimeFormat(p)); }
HRESULT CPosPassThru::GetDuration(LONGLONG* p) { QV_PASS_THROUGH(GetDuration(p)); }
HRESULT CPosPassThru::GetStopPosition(LONGLONG* p) { QV_PASS_THROUGH(GetStopPosition(p)); }
HRESULT CPosPassThru::GetCurrentPosition(LONGLONG* p) { QV_PASS_THROUGH(GetCurrentPosition(p)); }
HRESULT CPosPassThru::ConvertTimeFormat(LONGLONG* pTarget, const GUID* pTargetFormat, LONGLONG Source,
                                        const GUID* pSourceFormat) {
    QV_PASS_THROUGH(ConvertTimeFormat(pTarget, pTargetFormat, Source, pSourceFormat));
}
HRESULT CPosPassThru::SetPositions(LONGLONG* pCurrent, DWORD dwCurrentFlags, LONGLONG* pStop, DWORD dwStopFlags) {
    QV_PASS_THROUGH(SetPositions(pCurrent, dwCurrentFlags, pStop, dwStopFlags));
}
HRESULT CPosPassThru::GetPositions(LONGLONG* pCurrent, LONGLONG* pStop) { QV_PASS_THROUGH(GetPositions(pCurrent, pStop)); }
HRESULT CPosPassThru::GetAvailable(LONGLONG* pEarliest, LONGLONG* pLatest) {
    QV_PASS_THROUGH(GetAvailable(pEarliest, pLatest));
}
HRESULT CPosPassThru::SetRate(double d) { QV_PASS_THROUGH(SetRate(d)); }
HRESULT CPosPassThru::GetRate(double* p) { QV_PASS_THROUGH(GetRate(p)); }
HRESULT CPosPassThru::GetPreroll(LONGLONG* p) { QV_PASS_THROUGH(GetPreroll(p)); }

#undef QV_PASS_THROUGH

HRESULT CPosPassThru::GetTypeInfoCount(uint32_t* count) {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
}
HRESULT CPosPassThru::GetTypeInfo(uint32_t, LCID, ITypeInfo**) { return E_NOTIMPL; }
HRESULT CPosPassThru::GetIDsOfNames(REFIID, wchar_t**, uint32_t, LCID, DISPID*) { return E_NOTIMPL; }
HRESULT CPosPassThru::Invoke(DISPID, REFIID, LCID, uint16_t, DISPPARAMS*, VARIANT*, EXCEPINFO*, uint32_t*) {
    return E_NOTIMPL;
}

namespace {
LONGLONG ToUnits(REFTIME seconds) { return static_cast<LONGLONG>(seconds * static_cast<double>(UNITS)); }
REFTIME ToSeconds(LONGLONG units) { return static_cast<REFTIME>(units) / static_cast<double>(UNITS); }
}  // namespace

HRESULT CPosPassThru::get_Duration(REFTIME* plength) {
    if (!plength) return E_POINTER;
    LONGLONG d = 0;
    HRESULT hr = GetDuration(&d);
    if (SUCCEEDED(hr)) *plength = ToSeconds(d);
    return hr;
}

HRESULT CPosPassThru::put_CurrentPosition(REFTIME llTime) {
    LONGLONG t = ToUnits(llTime);
    return SetPositions(&t, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning);
}

HRESULT CPosPassThru::get_CurrentPosition(REFTIME* pllTime) {
    if (!pllTime) return E_POINTER;
    LONGLONG t = 0;
    HRESULT hr = GetCurrentPosition(&t);
    if (SUCCEEDED(hr)) *pllTime = ToSeconds(t);
    return hr;
}

HRESULT CPosPassThru::get_StopTime(REFTIME* pllTime) {
    if (!pllTime) return E_POINTER;
    LONGLONG t = 0;
    HRESULT hr = GetStopPosition(&t);
    if (SUCCEEDED(hr)) *pllTime = ToSeconds(t);
    return hr;
}

HRESULT CPosPassThru::put_StopTime(REFTIME llTime) {
    LONGLONG t = ToUnits(llTime);
    return SetPositions(nullptr, AM_SEEKING_NoPositioning, &t, AM_SEEKING_AbsolutePositioning);
}

HRESULT CPosPassThru::get_PrerollTime(REFTIME* pllTime) {
    if (!pllTime) return E_POINTER;
    LONGLONG t = 0;
    HRESULT hr = GetPreroll(&t);
    if (SUCCEEDED(hr)) *pllTime = ToSeconds(t);
    return hr;
}

HRESULT CPosPassThru::put_PrerollTime(REFTIME) { return E_NOTIMPL; }  // seeking has no preroll setter
HRESULT CPosPassThru::put_Rate(double dRate) { return SetRate(dRate); }
HRESULT CPosPassThru::get_Rate(double* pdRate) { return GetRate(pdRate); }

HRESULT CPosPassThru::CanSeekForward(LONG* pCanSeekForward) {
    if (!pCanSeekForward) return E_POINTER;
    DWORD caps = AM_SEEKING_CanSeekForwards;
    HRESULT hr = CheckCapabilities(&caps);
    *pCanSeekForward = hr == S_OK ? -1 : 0;  // OATRUE / OAFALSE
    return S_OK;
}

HRESULT CPosPassThru::CanSeekBackward(LONG* pCanSeekBackward) {
    if (!pCanSeekBackward) return E_POINTER;
    DWORD caps = AM_SEEKING_CanSeekBackwards;
    HRESULT hr = CheckCapabilities(&caps);
    *pCanSeekBackward = hr == S_OK ? -1 : 0;
    return S_OK;
}

// ---------------------------------------------------------------------------------------------

CRendererPosPassThru::CRendererPosPassThru(const wchar_t* pName, IUnknown* pUnk, HRESULT* phr, IPin* pPin)
    : CPosPassThru(pName, pUnk, phr, pPin) {}

HRESULT CRendererPosPassThru::RegisterMediaTime(IMediaSample* pMediaSample) {
    if (!pMediaSample) return E_POINTER;
    REFERENCE_TIME start = 0, stop = 0;
    HRESULT hr = pMediaSample->GetTime(&start, &stop);
    if (FAILED(hr)) return hr;  // a sample without time leaves the position as it was
    return RegisterMediaTime(start);
}

HRESULT CRendererPosPassThru::RegisterMediaTime(LONGLONG startTime) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_StartMedia = startTime;
    m_bReset = false;
    return S_OK;
}

HRESULT CRendererPosPassThru::ResetMediaTime() {
    std::lock_guard<std::mutex> g(m_mutex);
    m_StartMedia = 0;
    m_bReset = true;
    return S_OK;
}

HRESULT CRendererPosPassThru::EOS() {
    LONGLONG stop = 0;
    HRESULT hr = CPosPassThru::GetStopPosition(&stop);
    if (FAILED(hr)) {
        ResetMediaTime();
        return S_OK;
    }
    return RegisterMediaTime(stop);
}

HRESULT CRendererPosPassThru::GetCurrentPosition(LONGLONG* pCurrent) {
    if (!pCurrent) return E_POINTER;
    {
        std::lock_guard<std::mutex> g(m_mutex);
        if (!m_bReset) {
            *pCurrent = m_StartMedia;
            return S_OK;
        }
    }
    return CPosPassThru::GetCurrentPosition(pCurrent);
}
