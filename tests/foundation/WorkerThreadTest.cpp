#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "foundation/Log.h"
#include "foundation/WorkerThread.h"
#include "platform/Event.h"
#include "tests/platform/TempSettings.h"

namespace {

// Polls its running flag, as every worker procedure of the system does.
void Cooperative(void* started, CWorkerThread* self) {
    static_cast<platform::CEvent*>(started)->Set();
    for (int i = 0; i < 100000 && self->IsRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

class WorkerThread : public ::testing::Test {
protected:
    void SetUp() override { LogResetForTests(), CWorkerThread::SetStopGraceForTests(50); }
    void TearDown() override { CWorkerThread::SetStopGraceForTests(2000); }
    qvtest::TempSettings env;  // the warnings are level 0: they reach the captured debugger output
};

}  // namespace

TEST_F(WorkerThread, StopJoinsACooperativeProcedureAndStartStopsTheOldOneFirst) {
    platform::CEvent first, second;
    CWorkerThread t;
    std::atomic<bool> firstEnded{false}, secondSawIt{false};
    ASSERT_FALSE(t.Start([&](void*, CWorkerThread* self) { Cooperative(&first, self), firstEnded = true; }, nullptr,
                         "test:first"));
    ASSERT_TRUE(first.Wait(10000));
    ASSERT_FALSE(t.Start([&](void*, CWorkerThread* self) { secondSawIt = firstEnded.load(), Cooperative(&second, self); },
                         nullptr, "test:second"));
    ASSERT_TRUE(second.Wait(10000));
    EXPECT_TRUE(secondSawIt);
    EXPECT_TRUE(t.IsRunning());
    EXPECT_TRUE(t.Stop(10000));
    EXPECT_FALSE(t.IsCreated());
    EXPECT_EQ(env.Debug().find("WARNING"), std::string::npos) << env.Debug();
    EXPECT_TRUE(t.Stop(10));  // nothing to stop
}

TEST_F(WorkerThread, ProcedureIgnoringStopIsGivenUpAndTheObjectRestarts) {
    std::atomic<bool> release{false}, stubbornEnded{false};
    platform::CEvent started, again;
    CWorkerThread t;
    ASSERT_FALSE(t.Start([&](void*, CWorkerThread*) {
        started.Set();
        for (int i = 0; i < 20000 && !release; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        stubbornEnded = true;
    }, nullptr, "test:stubborn"));
    ASSERT_TRUE(started.Wait(10000));
    EXPECT_TRUE(t.Stop(30));
    EXPECT_FALSE(stubbornEnded);  // given up, not joined
    const std::string debug = env.Debug();
    const size_t w1 = debug.find("***WARNING: Waiting for Thread 0x"), w2 = debug.find("***WARNING: Waiting 30\r\n"),
                 w3 = debug.find("***WARNING: Terminating Thread 0x");
    ASSERT_NE(w3, std::string::npos) << debug;
    EXPECT_LT(w1, w2);
    EXPECT_LT(w2, w3);
    ASSERT_FALSE(t.Start(Cooperative, &again, "test:again"));
    ASSERT_TRUE(again.Wait(10000));
    release = true;
    EXPECT_TRUE(t.Stop(10000));
    for (int i = 0; i < 10000 && !stubbornEnded; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(stubbornEnded);
}

TEST_F(WorkerThread, SelfStopThrowingProcedureAndDestructorAreSafe) {
    platform::CEvent done, thrown, started;
    {
        CWorkerThread t;
        ASSERT_FALSE(t.Start([&](void*, CWorkerThread* self) { self->Stop(1000), done.Set(); }, nullptr, "test:self"));
        ASSERT_TRUE(done.Wait(10000));  // a thread cannot wait for itself: Stop returns at once
        ASSERT_FALSE(t.Start([&](void*, CWorkerThread*) {
            thrown.Set();
            throw std::runtime_error("procedure failed");
        }, nullptr, "test:throw"));
        ASSERT_TRUE(thrown.Wait(10000));
        EXPECT_TRUE(t.Stop(10000));
        EXPECT_NE(env.Debug().find("*** Exception in worker thread 0x"), std::string::npos) << env.Debug();
    }
    std::atomic<bool> ended{false};
    {
        CWorkerThread t;
        ASSERT_FALSE(t.Start([&](void* p, CWorkerThread* self) { Cooperative(p, self), ended = true; }, &started,
                             "test:dtor"));
        ASSERT_TRUE(started.Wait(10000));
    }  // the destructor stops it
    EXPECT_TRUE(ended);
}
