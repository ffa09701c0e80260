#include "sink/BaseTimer.h"

#include "foundation/Log.h"
#include "foundation/Types.h"
#include "platform/Clock.h"

namespace BS {

CBaseTimer::CBaseTimer() { m_iLastTick = platform::timeGetTime(); }

CBaseTimer::~CBaseTimer() { Stop(); }

bool CBaseTimer::Start() {
    Stop();
    {
        platform::CAutoLock control(m_ControlLock);
        platform::CAutoLock time(m_TimeLock);
        m_evStop.Reset();
        m_iLastTick = platform::timeGetTime();
        m_iCurrentTime = 0;
        m_bTicking.store(true);
    }
    return !m_Thread.Start([this](void*, CWorkerThread* self) { ThreadProc(self); }, this,
                           "CBaseTimer::Init:working_thread");
}

void CBaseTimer::ThreadProc(CWorkerThread* self) {
    Log(LOG_TIMING, 5, "CBaseTimer::TimerThread");
    while (!m_evStop.Wait(kWorkerPeriodMs)) {
        platform::CAutoLock g(m_TimeLock);
        UpdateLocked();
    }
    platform::CAutoLock g(m_TimeLock);
    m_iCurrentTime = NO_TIME;
    m_bTicking.store(false);
}

void CBaseTimer::UpdateLocked() {
    if (m_iCurrentTime == NO_TIME) return;
    const int64_t now = platform::timeGetTime();
    if (now >= m_iLastTick) {
        m_iCurrentTime += now - m_iLastTick;
    } else {
        // The 32-bit tick wrapped: one tick period stands in for the unknown step.
        Log(LOG_TIMING, 1,
            "CBaseTimer::TimerUpdateInternal(): Time Difference was %lld. curr_timer: %lld prev_timer: %lld",
            static_cast<long long>(now - m_iLastTick), static_cast<long long>(now),
            static_cast<long long>(m_iLastTick));
        m_iCurrentTime += kTickMs;
    }
    m_iLastTick = now;
}

bool CBaseTimer::Stop() {
    m_evStop.Set();
    {
        platform::CAutoLock control(m_ControlLock);
        // The worker sees the event within one wait; Stop's own bound covers a stuck thread.
        m_Thread.Stop(1000);
    }
    platform::CAutoLock time(m_TimeLock);
    m_bTicking.store(false);
    m_iCurrentTime = 0;
    m_iLastTick = platform::timeGetTime();
    return true;
}

bool CBaseTimer::Reset() {
    platform::CAutoLock time(m_TimeLock);
    m_iCurrentTime = 0;
    m_iLastTick = platform::timeGetTime();
    return true;
}

int64_t CBaseTimer::GetTime() {
    platform::CAutoLock time(m_TimeLock);
    // Refreshing on read keeps the clock exact between ticks, so pacing needs no fast tick.
    if (m_bTicking.load()) UpdateLocked();
    return m_iCurrentTime;
}

bool CBaseTimer::IsRunning() {
    platform::CAutoLock control(m_ControlLock);
    return m_Thread.IsRunning();
}

}  // namespace BS
