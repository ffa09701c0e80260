#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

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

// Two threads hand a token back and forth through two auto-reset events many times: a lost
// wake-up leaves both waiting for ever (the test's time-out reports it), a signal consumed twice
// lets a side run ahead of the other.
TEST(Primitives, AutoResetEventsLoseNoHandOverAndConsumeEachSignalOnce) {
    platform::CEvent ping, pong;
    constexpr int kRounds = 20000;
    int turn = 0;  // written alternately by the two sides, guarded by the hand-over itself
    bool orderBroken = false;
    std::thread other([&] {
        for (int i = 0; i < kRounds; ++i) {
            ping.Wait();
            if (turn != 2 * i + 1) orderBroken = true;
            ++turn;
            pong.Set();
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        if (turn != 2 * i) orderBroken = true;
        ++turn;
        ping.Set();
        pong.Wait();
    }
    other.join();
    EXPECT_FALSE(orderBroken);
    EXPECT_EQ(turn, 2 * kRounds);
    EXPECT_FALSE(ping.IsSet());
    EXPECT_FALSE(pong.IsSet());
}

TEST(Primitives, ManualResetEventReleasesEveryWaiterAndAutoResetOnlyOne) {
    platform::CEvent manual(true, false);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) waiters.emplace_back([&] { released += manual.Wait(10000) ? 1 : 0; });
    manual.Set();
    for (auto& t : waiters) t.join();
    EXPECT_EQ(released.load(), 4);

    platform::CEvent single(false, false);
    std::atomic<int> woken{0};
    std::vector<std::thread> racers;
    for (int i = 0; i < 3; ++i) racers.emplace_back([&] { woken += single.Wait(300) ? 1 : 0; });
    single.Set();
    for (auto& t : racers) t.join();
    EXPECT_EQ(woken.load(), 1);
}

TEST(Primitives, TimedEventWaitLastsItsTimeAndSurvivesTheWaiterDestroyingTheEvent) {
    platform::CEvent never;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(never.Wait(30));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(30));

    // A completion event on the waiter's stack, destroyed the moment the wait returns while the
    // signalling thread may still be inside Set.
    for (int i = 0; i < 2000; ++i) {
        auto done = std::make_unique<platform::CEvent>(false, false);
        platform::CEvent* raw = done.get();
        std::thread setter([raw] { raw->Set(); });
        EXPECT_TRUE(done->Wait(10000));
        done.reset();
        setter.join();
    }
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
