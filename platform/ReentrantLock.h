#pragma once
// The one lock kind of the system: a critical section paired with its owner's thread id.
// Lock()/Unlock() nest like a Win32 critical section; CAutoLock enters only when the calling
// thread is not already the owner, and leaves only if it entered.
#include <atomic>
#include <cstdint>
#include <mutex>

namespace platform {

class CReentrantLock {
public:
    CReentrantLock() = default;
    CReentrantLock(const CReentrantLock&) = delete;
    CReentrantLock& operator=(const CReentrantLock&) = delete;

    void Lock();
    void Unlock();
    bool TryLock();
    bool OwnedByCurrentThread() const;
    uint32_t Owner() const { return m_owner.load(std::memory_order_acquire); }

private:
    std::recursive_mutex m_mutex;
    std::atomic<uint32_t> m_owner{0};
    uint32_t m_depth = 0;  // written only by the owner
};

class CAutoLock {
public:
    explicit CAutoLock(CReentrantLock& lock) : m_lock(lock) {
        if (!m_lock.OwnedByCurrentThread()) {
            m_lock.Lock();
            m_entered = true;
        }
    }
    ~CAutoLock() {
        if (m_entered) m_lock.Unlock();
    }
    CAutoLock(const CAutoLock&) = delete;
    CAutoLock& operator=(const CAutoLock&) = delete;
    bool Entered() const { return m_entered; }

private:
    CReentrantLock& m_lock;
    bool m_entered = false;
};

}  // namespace platform
