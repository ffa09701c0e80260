// The child process wrapper the test servers stand on: output capture, exit codes, bounded
// waits and stopping.
#include <gtest/gtest.h>
#include <signal.h>

#include "ChildProcess.h"
#include "TempDir.h"
#include "TestServers.h"

namespace qvtest {
namespace {

using namespace std::chrono_literals;

TEST(ChildProcess, CapturesLinesAndReportsTheExitCode)
{
    ChildProcess child;
    std::string error;
    ASSERT_TRUE(child.start({.argv = {"sh", "-c", "echo PORT 123; printf 'a\\nb'; exit 3"},
                             .captureStdout = true, .stdoutFile = {}, .stderrFile = {}},
                            &error))
        << error;
    EXPECT_EQ(child.readLine(5s), "PORT 123");
    EXPECT_EQ(child.readLine(5s), "a");
    EXPECT_EQ(child.readLine(5s), "b");  // the last line has no newline
    EXPECT_FALSE(child.readLine(1s).has_value());
    EXPECT_EQ(child.wait(5s), 3);
    EXPECT_EQ(child.wait(0ms), 3);  // asking again gives the same answer
}

TEST(ChildProcess, WaitIsBoundedAndStopEndsTheChild)
{
    ChildProcess child;
    ASSERT_TRUE(child.start({.argv = {"sleep", "30"}, .captureStdout = false, .stdoutFile = {}, .stderrFile = {}}));
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_FALSE(child.wait(100ms).has_value());
    EXPECT_EQ(child.stop(SIGTERM, 5s), 128 + SIGTERM);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
    EXPECT_FALSE(child.signal(SIGTERM));  // nothing left to signal
}

TEST(ChildProcess, StopEscalatesToKillWhenTheSignalIsIgnored)
{
    ChildProcess child;
    ASSERT_TRUE(child.start({.argv = {"sh", "-c", "trap '' TERM; echo ready; while :; do sleep 1; done"},
                             .captureStdout = true, .stdoutFile = {}, .stderrFile = {}}));
    ASSERT_EQ(child.readLine(5s), "ready");
    EXPECT_EQ(child.stop(SIGTERM, 300ms), 128 + SIGKILL);
}

TEST(ChildProcess, MissingProgramsAndFilesAreReportedNotRun)
{
    ChildProcess missing;
    std::string error;
    EXPECT_FALSE(missing.start({.argv = {"qv-no-such-program"}, .captureStdout = false, .stdoutFile = {}, .stderrFile = {}},
                               &error));
    EXPECT_NE(error.find("not found"), std::string::npos) << error;

    TempDir dir("qv-child");
    ChildProcess notExecutable;
    const std::string script = dir.file("script");
    ASSERT_TRUE(writeFile(script, "#!/bin/sh\necho hi\n"));  // not marked executable
    EXPECT_FALSE(notExecutable.start({.argv = {script}, .captureStdout = false, .stdoutFile = {}, .stderrFile = {}},
                                     &error));
    EXPECT_NE(error.find("cannot run"), std::string::npos) << error;

    ChildProcess toFile;
    ASSERT_TRUE(toFile.start({.argv = {"sh", "-c", "echo out; echo err >&2"}, .captureStdout = false,
                              .stdoutFile = dir.file("out.txt"), .stderrFile = dir.file("err.txt")}));
    EXPECT_EQ(toFile.wait(5s), 0);
    EXPECT_EQ(readFile(dir.file("out.txt")), "out\n");
    EXPECT_EQ(readFile(dir.file("err.txt")), "err\n");
}

}  // namespace
}  // namespace qvtest
