#include "platform/Event.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <ctime>

namespace platform {

namespace {

void FutexWake(std::atomic<uint32_t>* word, int count) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

// Sleeps while *word still holds `expected`, at most `timeout` (nullptr: no bound). Returns on a
// wake, a changed word, a signal or the time-out; the caller looks at the word again in every case.
void FutexWait(std::atomic<uint32_t>* word, uint32_t expected, const timespec* timeout) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, timeout, nullptr, 0);
}

}  // namespace

void CEvent::Set() {
    // Nothing of the object may be read after the signal: its waiter can return and destroy it
    // at once (a completion event on the waiter's stack). The wake itself may reach a destroyed
    // event: a private futex wake never touches the memory, and at worst wakes some other waiter
    // at that address spuriously, which every futex user re-checks for.
    const int wakeCount = m_manual ? INT_MAX : 1;
    std::atomic<uint32_t>* const word = &m_word;
    const uint32_t before = word->fetch_or(kSignalled, std::memory_order_acq_rel);
    if ((before & kSignalled) == 0 && before >= kWaiter) FutexWake(word, wakeCount);
}

void CEvent::Reset() { m_word.fetch_and(~kSignalled, std::memory_order_acq_rel); }

bool CEvent::IsSet() const { return (m_word.load(std::memory_order_acquire) & kSignalled) != 0; }

bool CEvent::TryConsume() {
    uint32_t w = m_word.load(std::memory_order_acquire);
    while (w & kSignalled) {
        if (m_manual) return true;
        if (m_word.compare_exchange_weak(w, w & ~kSignalled, std::memory_order_acq_rel, std::memory_order_acquire))
            return true;
    }
    return false;
}

bool CEvent::Wait(uint32_t timeoutMs) {
    if (TryConsume()) return true;
    if (timeoutMs == 0) return false;
    using clock = std::chrono::steady_clock;
    const bool forever = timeoutMs == INFINITE;
    const auto deadline = clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
    for (;;) {
        timespec left{};
        if (!forever) {
            const auto rest = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - clock::now()).count();
            if (rest <= 0) return false;
            left.tv_sec = static_cast<time_t>(rest / 1000000000);
            left.tv_nsec = static_cast<long>(rest % 1000000000);
        }
        // Counted as a waiter before sleeping, so a Set between the test and the sleep either
        // changes the word (the sleep returns at once) or sees the count and wakes us.
        const uint32_t seen = m_word.fetch_add(kWaiter, std::memory_order_acq_rel) + kWaiter;
        if ((seen & kSignalled) == 0) FutexWait(&m_word, seen, forever ? nullptr : &left);
        m_word.fetch_sub(kWaiter, std::memory_order_acq_rel);
        if (TryConsume()) return true;
    }
}

}  // namespace platform
