// The settings store that stands in for the registry, and the lock and event primitives.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Event.h"
#include "platform/ReentrantLock.h"
#include "platform/Settings.h"
#include "tests/platform/TempSettings.h"

using namespace platform::settings;
using qvtest::TempSettings;

namespace {
constexpr const char* kSink = "SOFTWARE\\Quorvel\\RtmpSink";
uint32_t DwordOr(Scope s, std::string_view key, std::string_view name, uint32_t def) {
    auto v = Read(s, key, name);
    return (v && v->type == Type::Dword) ? v->dword : def;
}
}  // namespace

TEST(SettingsStore, ReadsHandWrittenFileAndWritesItBackReadable) {
    TempSettings env;
    TempSettings::WriteText(env.MachineFile(),
                            "{ \"SOFTWARE\\\\Quorvel\\\\RtmpSink\": { \"WaitDelay\": 4000, \"Server\": \"rtmp://h/app\","
                            " \"Neg\": -3, \"Flag\": true, \"Max\": 4294967295 } }");
    EXPECT_EQ(DwordOr(Scope::Machine, "software\\quorvel\\rtmpsink", "waitdelay", 0), 4000u);
    EXPECT_EQ(DwordOr(Scope::Machine, kSink, "Max", 0), 0xFFFFFFFFu);  // above INT_MAX is still a DWORD
    EXPECT_EQ(Read(Scope::Machine, kSink, "SERVER")->str, "rtmp://h/app");
    for (const char* name : {"Neg", "Flag"}) EXPECT_FALSE(Read(Scope::Machine, kSink, name)) << "no registry type";
    EXPECT_FALSE(Read(Scope::User, kSink, "WaitDelay"));  // the scopes are separate files

    // A write through another spelling of the key keeps the stored spelling.
    ASSERT_TRUE(WriteDword(Scope::Machine, "SOFTWARE\\QUORVEL\\RTMPSINK", "waitdelay", 0xFFFFFFFEu));
    EXPECT_EQ(DwordOr(Scope::Machine, kSink, "WaitDelay", 0), 0xFFFFFFFEu);
    const std::string text = TempSettings::ReadText(env.MachineFile());
    EXPECT_EQ(text.find("QUORVEL"), std::string::npos) << text;
    EXPECT_NE(text.find("\"WaitDelay\" : 4294967294"), std::string::npos) << text;
}

TEST(SettingsStore, KeysValuesAndSubkeys) {
    TempSettings env;
    const std::string app = "SOFTWARE\\DebugZeph\\app";
    ASSERT_TRUE(CreateKey(Scope::User, app + "\\"));
    EXPECT_TRUE(KeyExists(Scope::User, "SOFTWARE\\DebugZeph"));  // parents are created
    ASSERT_TRUE(CreateKey(Scope::User, "SOFTWARE\\DebugZeph\\GLOBAL\\Deep"));
    ASSERT_TRUE(WriteDword(Scope::User, app, "TRACE", 3));
    ASSERT_TRUE(WriteString(Scope::User, app, "LogToFile", "/tmp/x.log"));
    ASSERT_TRUE(WriteString(Scope::User, app, "TRACE", "7"));  // type changes

    auto subs = ListSubkeys(Scope::User, "SOFTWARE\\debugzeph");
    std::sort(subs.begin(), subs.end());
    EXPECT_EQ(subs, (std::vector<std::string>{"GLOBAL", "app"}));  // direct children only
    auto values = ListValues(Scope::User, "SOFTWARE\\DebugZeph\\APP");
    ASSERT_EQ(values.size(), 2u);
    for (auto& [name, v] : values) EXPECT_EQ(v.type, Type::String) << name;

    EXPECT_TRUE(DeleteValue(Scope::User, app, "trace"));
    EXPECT_FALSE(DeleteValue(Scope::User, app, "trace"));
    EXPECT_TRUE(DeleteKey(Scope::User, "SOFTWARE\\DebugZeph"));
    EXPECT_FALSE(KeyExists(Scope::User, "SOFTWARE\\DebugZeph\\GLOBAL"));
    EXPECT_TRUE(KeyExists(Scope::User, "SOFTWARE"));
}

TEST(SettingsStore, MalformedFileReadsEmptyAndIsReplacedOnWrite) {
    TempSettings env;
    const std::string bad = "{ \"SOFTWARE\\\\Quorvel\\\\RtmpSink\": { \"WaitDelay\": 40";
    TempSettings::WriteText(env.UserFile(), bad);
    EXPECT_FALSE(Read(Scope::User, kSink, "WaitDelay"));
    EXPECT_FALSE(KeyExists(Scope::User, kSink));
    ASSERT_TRUE(WriteDword(Scope::User, kSink, "WaitDelay", 500));
    EXPECT_EQ(DwordOr(Scope::User, kSink, "WaitDelay", 0), 500u);
    EXPECT_EQ(TempSettings::ReadText(env.UserFile() + ".corrupt"), bad);  // kept for a human

    for (const std::string& text : {std::string("[1,2,3]"), std::string(100000, '['), std::string("\xff\xfe{}"),
                                    std::string(""), std::string("{\"SOFTWARE\\\\Quorvel\\\\RtmpSink\": 5}")}) {
        TempSettings::WriteText(env.UserFile(), text);
        EXPECT_FALSE(Read(Scope::User, kSink, "WaitDelay"));
        EXPECT_TRUE(ListSubkeys(Scope::User, "SOFTWARE").empty());
    }
    // The last one was a key hand-edited into a number: it becomes a key again on write.
    ASSERT_TRUE(WriteString(Scope::User, kSink, "Server", "s"));
    EXPECT_EQ(Read(Scope::User, kSink, "Server")->str, "s");
}

TEST(SettingsStore, ConcurrentWritersFromThreadsAndProcessesLoseNothing) {
    TempSettings env;
    constexpr int kThreads = 4, kProcs = 3, kEach = 20;
    auto name = [](char c, int a, int i) { return c + std::to_string(a) + "_" + std::to_string(i); };
    std::vector<pid_t> children;
    for (int p = 0; p < kProcs; ++p) {
        pid_t pid = ::fork();
        ASSERT_NE(pid, -1);
        if (pid == 0) {
            bool ok = true;
            for (int i = 0; i < kEach; ++i) ok &= WriteDword(Scope::User, kSink, name('P', p, i), p * 1000 + i);
            ::_exit(ok ? 0 : 1);
        }
        children.push_back(pid);
    }
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                if (!WriteDword(Scope::User, kSink, name('T', t, i), t * 1000 + i)) ++failures;
                if (!KeyExists(Scope::User, "SOFTWARE")) ++failures;  // readers see whole documents
            }
        });
    for (auto& th : threads) th.join();
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(ListValues(Scope::User, kSink).size(), static_cast<size_t>((kThreads + kProcs) * kEach));
    for (int i = 0; i < kEach; ++i) {
        for (int p = 0; p < kProcs; ++p) EXPECT_EQ(DwordOr(Scope::User, kSink, name('P', p, i), 0), p * 1000u + i);
        for (int t = 0; t < kThreads; ++t) EXPECT_EQ(DwordOr(Scope::User, kSink, name('T', t, i), 0), t * 1000u + i);
    }
}

TEST(Primitives, ReentrantLockOwnerAndScopedGuard) {
    platform::CReentrantLock lock;
    auto otherGets = [&] {
        bool got = false;
        std::thread([&] {
            if ((got = lock.TryLock())) lock.Unlock();
        }).join();
        return got;
    };
    {
        platform::CAutoLock outer(lock);
        EXPECT_EQ(lock.Owner(), platform::GetCurrentThreadId());
        {
            platform::CAutoLock inner(lock);
            EXPECT_FALSE(inner.Entered());  // the owner passes through
        }
        EXPECT_TRUE(lock.OwnedByCurrentThread());
        EXPECT_FALSE(otherGets());
    }
    EXPECT_EQ(lock.Owner(), 0u);  // the last unlock clears the owner
    EXPECT_FALSE(lock.OwnedByCurrentThread());
    EXPECT_TRUE(otherGets());
}

// Two threads hand a token back and forth: a lost wake-up hangs (the ctest time-out reports it),
// a signal consumed twice lets one side run ahead. Then events that the waiter destroys as soon
// as it wakes, while the setter may still be inside Set.
TEST(Primitives, AutoResetEventsLoseNoHandOverConsumeEachSignalOnceAndSurviveTheirWaiter) {
    platform::CEvent ping, pong;
    constexpr int kRounds = 20000;
    int turn = 0;
    bool orderBroken = false;
    std::thread other([&] {
        for (int i = 0; i < kRounds; ++i) {
            ping.Wait();
            orderBroken |= turn++ != 2 * i + 1;
            pong.Set();
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        orderBroken |= turn++ != 2 * i;
        ping.Set();
        pong.Wait();
    }
    other.join();
    EXPECT_FALSE(orderBroken);
    EXPECT_FALSE(ping.IsSet() || pong.IsSet());
    for (int i = 0; i < 2000; ++i) {
        auto done = std::make_unique<platform::CEvent>(false, false);
        std::thread setter([raw = done.get()] { raw->Set(); });
        EXPECT_TRUE(done->Wait(10000));
        done.reset();
        setter.join();
    }
}

TEST(Primitives, ManualResetWakesEverySleeperAutoResetOnlyOneAndTimedWaitLastsItsTime) {
    platform::CEvent manual(true, false), single(false, false), never;
    std::atomic<int> released{0}, woken{0};
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

    waiters.clear();
    for (int i = 0; i < 3; ++i) waiters.emplace_back([&] { woken += single.Wait(300) ? 1 : 0; });
    single.Set();
    for (auto& t : waiters) t.join();
    EXPECT_EQ(woken.load(), 1);

    const auto t1 = std::chrono::steady_clock::now();
    EXPECT_FALSE(never.Wait(30));
    EXPECT_GE(std::chrono::steady_clock::now() - t1, std::chrono::milliseconds(30));
}
