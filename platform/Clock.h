#pragma once
// Time and thread identity in the shapes the rest of the system expects from Win32:
// a millisecond tick that wraps at 2^32 like timeGetTime, Sleep in ms, a numeric thread id.
// Everything goes through one replaceable clock so tests can drive time.
#include <cstdint>

namespace platform {

constexpr uint32_t INFINITE = 0xFFFFFFFFu;

// The seam: a test may install its own clock; nullptr restores the real one.
class IClock {
public:
    virtual ~IClock() = default;
    virtual uint32_t Now() = 0;            // milliseconds, wrapping at 2^32
    virtual void Sleep(uint32_t ms) = 0;
};
void SetClock(IClock* clock);

uint32_t timeGetTime();
void Sleep(uint32_t ms);
uint32_t GetCurrentThreadId();

}  // namespace platform
