#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Event.h"
#include "platform/ReentrantLock.h"

TEST(Primitives, ReentrantLockOwnerAndScopedGuard) {
    platform::CReentrantLock lock;
    {
        platform::CAutoLock outer(lock);
        EXPECT_EQ(lock.Owner(), platform::GetCurrentThreadId());
        {
            platform::CAutoLock inner(lock);
            EXPECT_FALSE(inner.Entered());  // the owner passes through
        }
        EXPECT_TRUE(lock.OwnedByCurrentThread());
        bool otherGot = true;
        std::thread([&] { otherGot = lock.TryLock(); }).join();
        EXPECT_FALSE(otherGot);
    }
    EXPECT_EQ(lock.Owner(), 0u);  // the last unlock clears the owner
    EXPECT_FALSE(lock.OwnedByCurrentThread());
    bool otherGot = false;
    std::thread([&] {
        if ((otherGot = lock.TryLock())) lock.Unlock();
    }).join();
    EXPECT_TRUE(otherGot);
}

// Two threads hand a token back and forth: a lost wake-up hangs (the ctest time-out reports it),
// a signal consumed twice lets one side run ahead.
TEST(Primitives, AutoResetEventsLoseNoHandOverAndConsumeEachSignalOnce) {
    platform::CEvent ping, pong;
    constexpr int kRounds = 20000;
    int turn = 0;
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
    EXPECT_FALSE(ping.IsSet());
    EXPECT_FALSE(pong.IsSet());
}

TEST(Primitives, ManualResetWakesEverySleeperAndAutoResetOnlyOne) {
    platform::CEvent manual(true, false);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 4; ++i) waiters.emplace_back([&] { released += manual.Wait(20000) ? 1 : 0; });
    // Not synchronisation (the test passes either way): lets the waiters fall asleep, so that a
    // wake-up reaching only one of them leaves the others sleeping out their 20 s.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    manual.Set();
    for (auto& t : waiters) t.join();
    EXPECT_EQ(released.load(), 4);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
    EXPECT_TRUE(manual.Wait(0));  // stays set

    platform::CEvent single(false, false);
    std::atomic<int> woken{0};
    std::vector<std::thread> racers;
    for (int i = 0; i < 3; ++i) racers.emplace_back([&] { woken += single.Wait(300) ? 1 : 0; });
    single.Set();
    for (auto& t : racers) t.join();
    EXPECT_EQ(woken.load(), 1);
}

TEST(Primitives, TimedWaitLastsItsTimeAndSurvivesTheWaiterDestroyingTheEvent) {
    platform::CEvent never;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(never.Wait(30));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(30));
    for (int i = 0; i < 2000; ++i) {
        auto done = std::make_unique<platform::CEvent>(false, false);
        platform::CEvent* raw = done.get();
        std::thread setter([raw] { raw->Set(); });
        EXPECT_TRUE(done->Wait(10000));
        done.reset();
        setter.join();
    }
}
