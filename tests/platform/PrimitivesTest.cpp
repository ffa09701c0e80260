#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "platform/Clock.h"
#include "platform/Event.h"
#include "platform/ReentrantLock.h"

namespace {

class FakeClock final : public platform::IClock {
public:
    std::atomic<uint32_t> now{0};
    uint32_t Now() override { return now.load(); }
    void Sleep(uint32_t ms) override { now += ms; }
};

}  // namespace

TEST(Primitives, ReentrantLockOwnerAndScopedGuard) {
    platform::CReentrantLock lock;
    EXPECT_EQ(lock.Owner(), 0u);
    {
        platform::CAutoLock outer(lock);
        EXPECT_TRUE(outer.Entered());
        EXPECT_TRUE(lock.OwnedByCurrentThread());
        EXPECT_EQ(lock.Owner(), platform::GetCurrentThreadId());
        {
            platform::CAutoLock inner(lock);
            EXPECT_FALSE(inner.Entered());  // the owner passes through
        }
        EXPECT_TRUE(lock.OwnedByCurrentThread());  // the inner guard did not leave
        bool otherGot = true;
        std::thread([&] { otherGot = lock.TryLock(); }).join();
        EXPECT_FALSE(otherGot);
    }
    EXPECT_EQ(lock.Owner(), 0u);
    bool otherGot = false;
    std::thread([&] {
        otherGot = lock.TryLock();
        if (otherGot) lock.Unlock();
    }).join();
    EXPECT_TRUE(otherGot);
}

TEST(Primitives, EventsManualAndAutoReset) {
    platform::CEvent manual(true, false);
    EXPECT_FALSE(manual.Wait(0));
    manual.Set();
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(manual.Wait(0));  // stays set
    manual.Reset();
    EXPECT_FALSE(manual.IsSet());

    platform::CEvent autoEv(false, true);
    EXPECT_TRUE(autoEv.Wait(0));
    EXPECT_FALSE(autoEv.Wait(0));  // consumed by the one waiter

    // A waiter on another thread wakes on Set.
    platform::CEvent wake;
    std::atomic<bool> woke{false};
    std::thread t([&] { woke = wake.Wait(10000); });
    wake.Set();
    t.join();
    EXPECT_TRUE(woke);
}

TEST(Primitives, ClockSeamAndWrapAround) {
    FakeClock fake;
    fake.now = 0xFFFFFFF0u;
    platform::SetClock(&fake);
    const uint32_t start = platform::timeGetTime();
    platform::Sleep(0x20);
    const uint32_t later = platform::timeGetTime();
    platform::SetClock(nullptr);
    EXPECT_EQ(later, 0x10u);                 // the tick wrapped at 2^32
    EXPECT_EQ(later - start, 0x20u);         // and differences stay right across the wrap
    EXPECT_NE(platform::GetCurrentThreadId(), 0u);
    uint32_t other = 0;
    std::thread([&] { other = platform::GetCurrentThreadId(); }).join();
    EXPECT_NE(other, platform::GetCurrentThreadId());
}
