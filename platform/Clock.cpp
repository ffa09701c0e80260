#include "platform/Clock.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {
namespace {

class SteadyClock final : public IClock {
public:
    uint32_t Now() override {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now().time_since_epoch()).count();
        return static_cast<uint32_t>(static_cast<uint64_t>(ms));
    }
    void Sleep(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};

SteadyClock g_steady;
std::atomic<IClock*> g_clock{&g_steady};

}  // namespace

void SetClock(IClock* clock) { g_clock.store(clock ? clock : &g_steady); }
uint32_t timeGetTime() { return g_clock.load()->Now(); }
void Sleep(uint32_t ms) { g_clock.load()->Sleep(ms); }

uint32_t GetCurrentThreadId() {
    thread_local const uint32_t id = static_cast<uint32_t>(::syscall(SYS_gettid));
    return id;
}

}  // namespace platform
