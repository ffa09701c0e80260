#pragma once
// The sink clock: milliseconds since Start, advanced from the system tick by a worker thread.
// A wrap of the 32-bit tick advances the clock by one tick period instead of going backwards.
#include <atomic>
#include <cstdint>

#include "foundation/WorkerThread.h"
#include "platform/Event.h"
#include "platform/ReentrantLock.h"

namespace BS {

class CBaseTimer {
public:
    // The step a wrap of the system tick counts as.
    static constexpr uint32_t kTickMs = 4;
    // How often the worker refreshes the figure on its own. Reads refresh it anyway, so this
    // only bounds how stale an unread clock gets (and how much a wrap of the 32-bit tick between
    // two refreshes can cost); a faster tick would only add wake-ups to an idle process.
    static constexpr uint32_t kWorkerPeriodMs = 1000;

    CBaseTimer();
    virtual ~CBaseTimer();
    CBaseTimer(const CBaseTimer&) = delete;
    CBaseTimer& operator=(const CBaseTimer&) = delete;

    bool Start();
    bool Stop();
    bool Reset();
    // The current time in ms; NO_TIME after the worker has ended by its stop event.
    int64_t GetTime();
    bool IsRunning();

private:
    void ThreadProc(CWorkerThread* self);
    void UpdateLocked();

    // Guards the worker's start and stop. Taken by the controlling thread (sink Init/Close);
    // lock order: before m_TimeLock, after every sink lock.
    platform::CReentrantLock m_ControlLock;
    // Guards m_iCurrentTime and m_iLastTick. Written by the worker and by readers (GetTime
    // refreshes the figure so it is exact between ticks); innermost of all sink-side locks.
    platform::CReentrantLock m_TimeLock;
    int64_t m_iCurrentTime = 0;
    int64_t m_iLastTick = 0;
    platform::CEvent m_evStop{true, false};
    // Set from Start until the worker ends or Stop; lets readers refresh the figure without the
    // thread object's lock.
    std::atomic<bool> m_bTicking{false};
    CWorkerThread m_Thread;
};

}  // namespace BS
