#pragma once
// The reference clock of the graph: the platform's millisecond tick, widened to 64 bits across
// its 2^32 wrap and given in 100-ns units. It never runs backwards.
#include <mutex>

#include "platform/com/Unknown.h"
#include "platform/dshow/Interfaces.h"

class CSystemClock final : public IReferenceClock, public CUnknown {
public:
    CSystemClock();
    // The new clock with one reference held by the caller.
    static CSystemClock* Create();

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    HRESULT GetTime(REFERENCE_TIME* pTime) override;
    // Timed notifications are not offered: nothing in this system waits on the clock, it only
    // reads it. Both answer E_NOTIMPL.
    HRESULT AdviseTime(REFERENCE_TIME baseTime, REFERENCE_TIME streamTime, HEVENT hEvent,
                       DWORD_PTR* pdwAdviseCookie) override;
    HRESULT AdvisePeriodic(REFERENCE_TIME startTime, REFERENCE_TIME periodTime, HSEMAPHORE hSemaphore,
                           DWORD_PTR* pdwAdviseCookie) override;
    HRESULT Unadvise(DWORD_PTR dwAdviseCookie) override;

private:
    // Guards the wrap bookkeeping below; taken by any thread reading the clock; innermost.
    std::mutex m_mutex;
    uint32_t m_lastTick = 0;
    uint64_t m_wraps = 0;     // completed 2^32 ms periods since the clock was made
    REFERENCE_TIME m_last = 0;  // the last time handed out, so time never goes back
};
