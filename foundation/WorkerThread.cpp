#include "foundation/WorkerThread.h"

#include <atomic>
#include <string>
#include <thread>

#include "foundation/Log.h"
#include "platform/Clock.h"
#include "platform/Event.h"
#include "platform/ThreadName.h"

// The thread owns a reference to the state, so a thread that had to be given up (Linux has no
// safe forced termination) still finds its flags alive after the object is gone or restarted.
struct CWorkerThread::State {
    std::atomic<bool> running{false};
    platform::CEvent ended{true, false};
    std::thread thread;
    uint32_t handleId = 0;  // a stable number for the log lines
};

namespace {
std::atomic<uint32_t> g_nextHandle{0x100};
std::atomic<uint32_t> g_stopGraceMs{2000};  // the pause between the two waits of Stop
// The state of the worker thread running on this OS thread, so its procedure can poll its own
// flag without the object's lock (which Stop may hold while waiting for it).
thread_local CWorkerThread::State* tls_state = nullptr;
thread_local const CWorkerThread* tls_owner = nullptr;
}

CWorkerThread::CWorkerThread() = default;

CWorkerThread::~CWorkerThread() {
    bool created;
    {
        platform::CAutoLock g(m_lock);
        created = m_state != nullptr;
    }
    if (created) Stop(1000);
}

bool CWorkerThread::Start(Procedure proc, void* param, const char* name) {
    platform::CAutoLock g(m_lock);
    if (m_state) Stop(1000);
    auto state = std::make_shared<State>();
    state->handleId = g_nextHandle.fetch_add(4);
    // Running is set before the thread exists so a Stop right after Start is never missed.
    state->running = true;
    try {
        // The name's last word ("th_send_thread", "m_hMultiplexThread") tells the threads apart.
        std::string label = name ? name : "worker";
        if (const auto colon = label.rfind(':'); colon != std::string::npos) label.erase(0, colon + 1);
        state->thread = std::thread([state, proc = std::move(proc), param, this, label]() {
            platform::SetCurrentThreadName(label);
            tls_state = state.get();
            tls_owner = this;
            try {
                proc(param, this);
            } catch (...) {
                // An escaping exception would end the process; the thread just ends instead.
                Log(LOG_ERROR, 0, "*** Exception in worker thread 0x%X", state->handleId);
            }
            state->running = false;
            state->ended.Set();
        });
    } catch (...) {
        Log(LOG_ERROR, 0, "CWorkerThread::Start: could not create thread %s", name ? name : "");
        return true;
    }
    m_state = std::move(state);
    return false;
}

bool CWorkerThread::Stop(uint32_t timeoutMs) {
    platform::CAutoLock g(m_lock);
    if (!m_state) return true;
    std::shared_ptr<State> st = std::move(m_state);
    st->running = false;
    if (st->thread.get_id() == std::this_thread::get_id()) {
        // A procedure stopping its own object: it cannot wait for itself.
        st->thread.detach();
        return true;
    }
    if (st->ended.Wait(timeoutMs)) {
        Log(LOG_TRACE, 4, "Thread closing normally: 0x%X", st->handleId);
        st->thread.join();
        return true;
    }
    Log(LOG_TRACE, 0, "***WARNING: Waiting for Thread 0x%X", st->handleId);
    platform::Sleep(g_stopGraceMs.load());
    Log(LOG_TRACE, 0, "***WARNING: Waiting %d", static_cast<int>(timeoutMs));
    if (st->ended.Wait(timeoutMs)) {
        Log(LOG_TRACE, 0, "Thread closing normally after wait: 0x%X", st->handleId);
        st->thread.join();
        return true;
    }
    Log(LOG_TRACE, 0, "***WARNING: Terminating Thread 0x%X forcefully", st->handleId);
    st->thread.detach();
    platform::Sleep(100);
    return true;
}

void CWorkerThread::SetStopGraceForTests(uint32_t ms) { g_stopGraceMs = ms; }

bool CWorkerThread::IsCreated() const {
    auto& lock = const_cast<platform::CReentrantLock&>(m_lock);
    platform::CAutoLock g(lock);
    return m_state != nullptr;
}

bool CWorkerThread::IsRunning() const {
    if (tls_owner == this && tls_state) return tls_state->running.load();
    auto& lock = const_cast<platform::CReentrantLock&>(m_lock);
    platform::CAutoLock g(lock);
    return m_state && m_state->running.load();
}
