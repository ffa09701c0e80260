#include "platform/Event.h"

#include <chrono>

namespace platform {

void CEvent::Set() {
    // Notify under the mutex: a waiter that wakes may destroy the event at once (a completion
    // event on its stack), and a notify after unlocking would then touch a dead condition variable.
    std::lock_guard<std::mutex> g(m_mutex);
    m_set = true;
    if (m_manual) m_cond.notify_all();
    else m_cond.notify_one();
}

void CEvent::Reset() {
    std::lock_guard<std::mutex> g(m_mutex);
    m_set = false;
}

bool CEvent::IsSet() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_set;
}

bool CEvent::Wait(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> g(m_mutex);
    auto ready = [this] { return m_set; };
    if (timeoutMs == INFINITE) {
        m_cond.wait(g, ready);
    } else if (!m_cond.wait_for(g, std::chrono::milliseconds(timeoutMs), ready)) {
        return false;
    }
    if (!m_manual) m_set = false;
    return true;
}

}  // namespace platform
