#pragma once
// The system's thread wrapper. Every long-running thread is started and stopped through it.
// A procedure polls IsRunning() and returns when it turns false.
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/ReentrantLock.h"

class CWorkerThread {
public:
    using Procedure = std::function<void(void* param, CWorkerThread* self)>;

    CWorkerThread();
    ~CWorkerThread();  // stops a thread that still has a handle, time-out 1000 ms
    CWorkerThread(const CWorkerThread&) = delete;
    CWorkerThread& operator=(const CWorkerThread&) = delete;

    // true when the thread could NOT be created. A running thread is stopped first (1000 ms).
    bool Start(Procedure proc, void* param, const char* name);
    // Clears the running flag and waits; waits again after 2 s; then gives the thread up. Returns true.
    bool Stop(uint32_t timeoutMs);
    bool IsCreated() const;
    bool IsRunning() const;
    // Test hook: the pause between the two waits of Stop (2000 ms unless changed).
    static void SetStopGraceForTests(uint32_t ms);

    struct State;

private:
    platform::CReentrantLock m_lock;  // guards m_state; taken by Start/Stop only, never by the procedure
    std::shared_ptr<State> m_state;   // shared with the thread so a given-up thread never touches freed memory
};
