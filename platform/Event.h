#pragma once
// Win32-style event: manual reset (stays set until Reset) or auto reset (one waiter consumes it).
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/Clock.h"

namespace platform {

class CEvent {
public:
    explicit CEvent(bool manualReset = false, bool initialState = false)
        : m_manual(manualReset), m_set(initialState) {}
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

    void Set();
    void Reset();
    // true when the event was signalled within timeoutMs (INFINITE waits for ever).
    bool Wait(uint32_t timeoutMs = INFINITE);
    bool IsSet() const;

private:
    const bool m_manual;
    mutable std::mutex m_mutex;      // guards m_set; innermost of all locks
    std::condition_variable m_cond;
    bool m_set;
};

}  // namespace platform
