#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "foundation/Log.h"
#include "foundation/WorkerThread.h"
#include "platform/Event.h"
#include "tests/platform/TempSettings.h"

using qvtest::TempSettings;

namespace {

// A procedure that polls its running flag, as every worker procedure of the system does.
void Cooperative(void* param, CWorkerThread* self) {
    auto* started = static_cast<platform::CEvent*>(param);
    started->Set();
    for (int i = 0; i < 100000 && self->IsRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

class WorkerThread : public ::testing::Test {
protected:
    void SetUp() override {
        LogResetForTests();
        CWorkerThread::SetStopGraceForTests(50);
    }
    void TearDown() override { CWorkerThread::SetStopGraceForTests(2000); }
    TempSettings env;  // the warnings are level 0, so they reach the captured debugger output
};

}  // namespace

TEST_F(WorkerThread, StopEndsACooperativeProcedureAndClearsTheHandle) {
    platform::CEvent started;
    CWorkerThread t;
    EXPECT_FALSE(t.IsCreated());
    ASSERT_FALSE(t.Start(Cooperative, &started, "test:cooperative"));
    ASSERT_TRUE(started.Wait(10000));
    EXPECT_TRUE(t.IsCreated());
    EXPECT_TRUE(t.IsRunning());
    EXPECT_TRUE(t.Stop(10000));
    EXPECT_FALSE(t.IsCreated());
    EXPECT_FALSE(t.IsRunning());
    EXPECT_EQ(env.Debug().find("WARNING"), std::string::npos) << env.Debug();
    EXPECT_TRUE(t.Stop(10));  // nothing to stop
}

TEST_F(WorkerThread, ProcedureIgnoringStopIsGivenUpAndTheObjectRestarts) {
    std::atomic<bool> release{false};
    std::atomic<bool> stubbornEnded{false};
    platform::CEvent started;
    auto stubborn = [&](void*, CWorkerThread*) {
        started.Set();
        for (int i = 0; i < 20000 && !release; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        stubbornEnded = true;
    };
    CWorkerThread t;  // after what the procedures use, so it is stopped before they go
    ASSERT_FALSE(t.Start(stubborn, nullptr, "test:stubborn"));
    ASSERT_TRUE(started.Wait(10000));
    EXPECT_TRUE(t.Stop(30));
    EXPECT_FALSE(stubbornEnded);  // it was given up, not joined
    EXPECT_FALSE(t.IsCreated());
    const std::string debug = env.Debug();
    const size_t w1 = debug.find("***WARNING: Waiting for Thread 0x");
    const size_t w2 = debug.find("***WARNING: Waiting 30\r\n");
    const size_t w3 = debug.find("***WARNING: Terminating Thread 0x");
    ASSERT_NE(w1, std::string::npos) << debug;
    ASSERT_NE(w2, std::string::npos) << debug;
    ASSERT_NE(w3, std::string::npos) << debug;
    EXPECT_LT(w1, w2);
    EXPECT_LT(w2, w3);
    EXPECT_NE(debug.find(" forcefully\r\n", w3), std::string::npos);

    // The same object runs a new procedure while the old thread is still out there.
    platform::CEvent again;
    ASSERT_FALSE(t.Start(Cooperative, &again, "test:again"));
    ASSERT_TRUE(again.Wait(10000));
    EXPECT_TRUE(t.IsRunning());
    release = true;
    EXPECT_TRUE(t.Stop(10000));
    for (int i = 0; i < 10000 && !stubbornEnded; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(stubbornEnded);
}

TEST_F(WorkerThread, ProcedureEndingDuringTheGraceIsJoined) {
    CWorkerThread::SetStopGraceForTests(300);
    platform::CEvent started;
    platform::CEvent stopSeen;
    auto slow = [&](void*, CWorkerThread* self) {
        started.Set();
        for (int i = 0; i < 20000 && self->IsRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        stopSeen.Set();
        // Ends during the grace pause, after the first wait gave up.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    };
    CWorkerThread t;
    ASSERT_FALSE(t.Start(slow, nullptr, "test:slow"));
    ASSERT_TRUE(started.Wait(10000));
    EXPECT_TRUE(t.Stop(20));
    EXPECT_TRUE(stopSeen.IsSet());
    const std::string debug = env.Debug();
    EXPECT_NE(debug.find("Thread closing normally after wait: 0x"), std::string::npos) << debug;
    EXPECT_EQ(debug.find("forcefully"), std::string::npos) << debug;
}

TEST_F(WorkerThread, StartOnARunningObjectStopsTheOldThreadFirst) {
    std::atomic<int> firstState{0};  // 1 running, 2 ended
    std::atomic<bool> secondSawFirstEnded{false};
    platform::CEvent firstStarted, secondStarted;
    auto first = [&](void*, CWorkerThread* self) {
        firstState = 1;
        firstStarted.Set();
        for (int i = 0; i < 20000 && self->IsRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        firstState = 2;
    };
    auto second = [&](void*, CWorkerThread* self) {
        secondSawFirstEnded = firstState == 2;
        secondStarted.Set();
        for (int i = 0; i < 20000 && self->IsRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    CWorkerThread t;
    ASSERT_FALSE(t.Start(first, nullptr, "test:first"));
    ASSERT_TRUE(firstStarted.Wait(10000));
    ASSERT_FALSE(t.Start(second, nullptr, "test:second"));
    ASSERT_TRUE(secondStarted.Wait(10000));
    EXPECT_TRUE(secondSawFirstEnded);
    EXPECT_TRUE(t.IsRunning());
    EXPECT_EQ(env.Debug().find("WARNING"), std::string::npos) << env.Debug();
}

TEST_F(WorkerThread, SelfStopThrowingProcedureAndDestructorAreSafe) {
    {
        platform::CEvent done;
        CWorkerThread t;
        ASSERT_FALSE(t.Start([&](void*, CWorkerThread* self) {
            self->Stop(1000);  // cannot wait for itself: returns at once
            done.Set();
        }, nullptr, "test:self"));
        ASSERT_TRUE(done.Wait(10000));
    }
    {
        platform::CEvent done;
        CWorkerThread t;
        ASSERT_FALSE(t.Start([&](void*, CWorkerThread*) {
            done.Set();
            throw std::runtime_error("procedure failed");
        }, nullptr, "test:throw"));
        ASSERT_TRUE(done.Wait(10000));
        EXPECT_TRUE(t.Stop(10000));
        EXPECT_NE(env.Debug().find("*** Exception in worker thread 0x"), std::string::npos) << env.Debug();
    }
    std::atomic<bool> ended{false};
    {
        platform::CEvent started;
        CWorkerThread t;
        ASSERT_FALSE(t.Start([&](void* p, CWorkerThread* self) {
            Cooperative(p, self);
            ended = true;
        }, &started, "test:dtor"));
        ASSERT_TRUE(started.Wait(10000));
    }  // the destructor stops it
    EXPECT_TRUE(ended);
}
