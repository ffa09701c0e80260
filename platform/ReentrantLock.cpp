#include "platform/ReentrantLock.h"

#include "platform/Clock.h"

namespace platform {

void CReentrantLock::Lock() {
    m_mutex.lock();
    if (m_depth++ == 0) m_owner.store(GetCurrentThreadId(), std::memory_order_release);
}

bool CReentrantLock::TryLock() {
    if (!m_mutex.try_lock()) return false;
    if (m_depth++ == 0) m_owner.store(GetCurrentThreadId(), std::memory_order_release);
    return true;
}

void CReentrantLock::Unlock() {
    if (--m_depth == 0) m_owner.store(0, std::memory_order_release);
    m_mutex.unlock();
}

bool CReentrantLock::OwnedByCurrentThread() const {
    return m_owner.load(std::memory_order_acquire) == GetCurrentThreadId();
}

}  // namespace platform
