#include "platform/dshow/SystemClock.h"

#include "platform/Clock.h"

CSystemClock::CSystemClock() : CUnknown(L"System clock", nullptr), m_lastTick(platform::timeGetTime()) {}

CSystemClock* CSystemClock::Create() {
    auto* c = new CSystemClock();
    c->NonDelegatingAddRef();
    return c;
}

HRESULT CSystemClock::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IReferenceClock) return GetInterface(static_cast<IReferenceClock*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CSystemClock::GetTime(REFERENCE_TIME* pTime) {
    if (!pTime) return E_POINTER;
    std::lock_guard<std::mutex> g(m_mutex);
    uint32_t tick = platform::timeGetTime();
    // The tick is read often enough (every graph run, every stream-time query) that a single
    // step back means the 32-bit counter wrapped, not that time went backwards.
    if (tick < m_lastTick) ++m_wraps;
    m_lastTick = tick;
    REFERENCE_TIME t = static_cast<REFERENCE_TIME>(((m_wraps << 32) + tick) * static_cast<uint64_t>(MILLISECONDS));
    if (t < m_last) t = m_last;
    m_last = t;
    *pTime = t;
    return S_OK;
}

HRESULT CSystemClock::AdviseTime(REFERENCE_TIME, REFERENCE_TIME, HEVENT, DWORD_PTR* pdwAdviseCookie) {
    if (pdwAdviseCookie) *pdwAdviseCookie = 0;
    return E_NOTIMPL;
}

HRESULT CSystemClock::AdvisePeriodic(REFERENCE_TIME, REFERENCE_TIME, HSEMAPHORE, DWORD_PTR* pdwAdviseCookie) {
    if (pdwAdviseCookie) *pdwAdviseCookie = 0;
    return E_NOTIMPL;
}

HRESULT CSystemClock::Unadvise(DWORD_PTR) { return E_NOTIMPL; }
