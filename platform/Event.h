#pragma once
#include <atomic>
#include <cstdint>

#include "platform/Clock.h"

namespace platform {

// A Windows-style event: manual reset (stays signalled, releases every waiter) or auto reset
// (one waiter consumes the signal). Built on one futex word rather than a mutex and condition
// variable: a hand-off then costs one system call on each side and the woken thread never
// blocks again on a lock the signalling thread still holds. Paced streaming hands work over
// dozens of times a second per stream, and on virtual machines each extra wake-up is dear.
class CEvent {
public:
    explicit CEvent(bool manualReset = false, bool initialState = false)
        : m_manual(manualReset), m_word(initialState ? kSignalled : 0u) {}
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

    void Set();
    void Reset();
    // true when the event was signalled within timeoutMs (INFINITE waits for ever).
    bool Wait(uint32_t timeoutMs = INFINITE);
    bool IsSet() const;

private:
    static constexpr uint32_t kSignalled = 1;  // bit 0; the bits above count the sleeping waiters
    static constexpr uint32_t kWaiter = 2;

    bool TryConsume();

    const bool m_manual;
    std::atomic<uint32_t> m_word;
};

}  // namespace platform
