#include <atomic>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <regex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/Log.h"
#include "platform/Clock.h"
#include "platform/Settings.h"
#include "tests/platform/TempSettings.h"

using namespace platform::settings;
using qvtest::TempSettings;

namespace {

int g_anchor;  // an address inside this module, as the module's attach code passes one
const std::string kShort = "foundation_log";  // the first 14 characters of the module name
const std::string kModuleKey = "SOFTWARE\\DebugZeph\\foundation_log_test";
const std::string kGlobalKey = "SOFTWARE\\DebugZeph\\GLOBAL";

std::string Tid() {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%4x", platform::GetCurrentThreadId());
    return buf;
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override { LogResetForTests(); }
    void TearDown() override { LogResetForTests(), platform::SetClock(nullptr); }
    void SetTarget(const std::string& t) { ASSERT_TRUE(WriteString(Scope::User, kModuleKey, "LogToFile", t)); }
    TempSettings env;
};

}  // namespace

TEST_F(LogTest, InitCreatesMissingValuesAndThresholdIsTheLargerOfModuleAndGlobal) {
    EXPECT_TRUE(LogEnabled(LOG_ERROR, 0));  // before init only level 0 passes
    EXPECT_FALSE(LogEnabled(LOG_TRACE, 1));
    ASSERT_TRUE(WriteDword(Scope::User, kModuleKey, "TRACE", 1));
    ASSERT_TRUE(WriteDword(Scope::Machine, kGlobalKey, "TRACE", 3));
    ASSERT_TRUE(WriteDword(Scope::User, kModuleKey, "ERROR", 5));
    ASSERT_TRUE(WriteString(Scope::User, kModuleKey, "MEMORY", "9"));  // not a DWORD: replaced by 0
    LogInit(&g_anchor);
    EXPECT_EQ(LogModuleName(), "foundation_log_test");
    EXPECT_EQ(Read(Scope::User, kModuleKey, "LogToFile")->str, "");
    for (const char* name : {"TIMING", "MEMORY", "LOCKING", "CUSTOM1", "CUSTOM2", "CUSTOM3"})
        for (const std::string& key : {kModuleKey, kGlobalKey}) {
            auto v = Read(key == kGlobalKey ? Scope::Machine : Scope::User, key, name);
            ASSERT_TRUE(v && v->type == Type::Dword) << key << name;
            EXPECT_EQ(v->dword, 0u) << key << name;
        }
    EXPECT_EQ(Read(Scope::Machine, kGlobalKey, "TIMEOUT")->dword, 0xFFFFFFFFu);
    const std::tuple<int, int, bool> cases[] = {
        {LOG_TRACE, 3, true},  {LOG_TRACE, 4, false},  {LOG_ERROR, 5, true},           {LOG_ERROR, 6, false},
        {LOG_MEMORY, 1, false}, {LOG_MEMORY | LOG_ERROR, 5, true}, {0xFF00, 0, false}, {0xFF00 | LOG_TIMING, 0, true}};
    for (auto [cat, level, on] : cases) EXPECT_EQ(LogEnabled(cat, level), on) << cat << " " << level;
}

TEST_F(LogTest, FileLinesHavePrefixTimeAndContinuation) {
    struct FakeClock final : platform::IClock {
        std::atomic<uint32_t> now{50000};
        uint32_t Now() override { return now.load(); }
        void Sleep(uint32_t ms) override { now += ms; }
    } clock;
    platform::SetClock(&clock);
    const std::string path = env.Dir() + "/app.log";
    SetTarget(path);
    LogInit(&g_anchor);
    EXPECT_NE(env.Debug().find("Logging to " + path + "\r\n"), std::string::npos) << env.Debug();
    clock.now += 1234;
    Log(LOG_TRACE, 0, "hello %s", "world");
    Log(LOG_TRACE, 0, "part one\\");
    Log(LOG_TRACE, 0, "part two");
    Log(LOG_TRACE, 0, "crlf here\n\\");
    Log(LOG_TRACE, 0, L"wide %ls %d", L"\u00fc", 5);
    LogTrace("above the threshold");
    clock.now += 100000000;
    LogTrace(0, "late");
    LogClose();
    Log(LOG_TRACE, 0, "after close");  // goes to the debugger, not the file

    const std::string text = TempSettings::ReadText(path);
    const std::regex header("^\r\nfoundation_log\t\\( *[0-9a-f]+\\)        0  === zephLogInit === Module: "
                            "\\d{4}-\\d\\d-\\d\\d - \\d\\d:\\d\\d:\\d\\d   foundation_log_test      10000 0\r\n"
                            "foundation_log\t\\( *[0-9a-f]+\\)        0  Module Path: /[^\r]*/foundation_log_test\r\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(text, m, header)) << text;
    const std::string p = kShort + "\t(" + Tid() + ")     1234  ";
    EXPECT_EQ(text.substr(m.length(0)), p + "hello world\r\n" + p + "part one" + p + "part two\r\n" + p +
                                            "crlf here\r\n" + p + "wide \xc3\xbc 5\r\n" + kShort + "\t(" + Tid() +
                                            ") 100001234  late\r\nClosing Log: foundation_log_test\r\n");
    EXPECT_NE(env.Debug().find(kShort + "\t(" + Tid() + ") 100001234  after close\r\n"), std::string::npos);
}

TEST_F(LogTest, RotationKeepsFiveAndOtherTargetsAreAppended) {
    const std::string dir = env.Dir();
    const char* contents[] = {"zero", "one", "two", "three", "four"};
    TempSettings::WriteText(dir + "/app.log", contents[0]);
    for (int i = 1; i < 5; ++i) TempSettings::WriteText(dir + "/app." + std::to_string(i) + ".log", contents[i]);
    SetTarget(dir + "/app.log");
    LogInit(&g_anchor);
    LogClose();
    for (int i = 1; i < 5; ++i) EXPECT_EQ(TempSettings::ReadText(dir + "/app." + std::to_string(i) + ".log"), contents[i - 1]);
    EXPECT_NE(::access((dir + "/app.5.log").c_str(), F_OK), 0);
    EXPECT_EQ(TempSettings::ReadText(dir + "/app.log").rfind("\r\nfoundation_log\t(", 0), 0u);

    // A target without ".log" keeps its old lines and gains no numbered copies.
    LogResetForTests();
    TempSettings::WriteText(dir + "/trace.txt", "old line\n");
    SetTarget(dir + "/trace.txt");
    LogInit(&g_anchor);
    Log(LOG_ERROR, 0, "new line");
    LogClose();
    const std::string appended = TempSettings::ReadText(dir + "/trace.txt");
    EXPECT_EQ(appended.rfind("old line\n\r\nfoundation_log\t(", 0), 0u) << appended;
    EXPECT_NE(appended.find("  new line\r\n"), std::string::npos);
    EXPECT_NE(::access((dir + "/trace.1.txt").c_str(), F_OK), 0);
}

TEST_F(LogTest, RedirectHandsTheOutputToTheHostAndBack) {
    const std::string own = env.Dir() + "/own.log", host = env.Dir() + "/host.log";
    SetTarget(own);
    ASSERT_TRUE(WriteDword(Scope::User, kModuleKey, "TRACE", 1));
    LogInit(&g_anchor);
    const int hostFd = ::open(host.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(hostFd, 0);
    platform::CReentrantLock hostLock;
    EXPECT_EQ(LogRedirect(hostFd, 3, &hostLock), 0);
    ::close(hostFd);  // the log keeps its own descriptor
    EXPECT_TRUE(LogEnabled(LOG_CUSTOM1, 3));
    EXPECT_FALSE(LogEnabled(LOG_MEMORY, 1));
    Log(LOG_TRACE, 3, "to host");
    EXPECT_EQ(LogRedirect(-1, 0, nullptr), 0);
    EXPECT_FALSE(LogEnabled(LOG_TRACE, 3));  // the configured thresholds are back
    Log(LOG_TRACE, 1, "back home");
    EXPECT_EQ(LogRedirect(0, 0, nullptr), 1);  // closes, and takes no handle
    Log(LOG_TRACE, 0, "nowhere but the debugger");

    const std::string hostText = TempSettings::ReadText(host), ownText = TempSettings::ReadText(own);
    EXPECT_EQ(hostText.rfind(kShort + "\t(" + Tid() + ") ", 0), 0u) << hostText;
    EXPECT_NE(hostText.find("  to host\r\nClosing Log: foundation_log_test\r\n"), std::string::npos) << hostText;
    const size_t firstClose = ownText.find("Closing Log: foundation_log_test\r\n"), home = ownText.find("  back home\r\n");
    ASSERT_NE(home, std::string::npos) << ownText;
    EXPECT_LT(firstClose, home);
    EXPECT_NE(ownText.find("=== zephLogInit ===", firstClose), std::string::npos);  // reopened with a header
    EXPECT_EQ(ownText.find("to host"), std::string::npos);
    EXPECT_EQ(ownText.find("nowhere"), std::string::npos);
    EXPECT_NE(env.Debug().find("  nowhere but the debugger\r\n"), std::string::npos);
}

TEST_F(LogTest, LinesFromManyThreadsStayWhole) {
    const std::string path = env.Dir() + "/threads.log";
    SetTarget(path);
    LogInit(&g_anchor);
    constexpr int kThreads = 4, kLines = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) Log(LOG_TRACE, 0, "thread %d line %d %s", t, i, std::string(60, 'x').c_str());
        });
    for (auto& th : threads) th.join();
    LogClose();
    const std::regex line("^foundation_log\t\\( *[0-9a-f]+\\) +[0-9]+  thread ([0-9]) line ([0-9]+) x{60}\r$");
    int count[kThreads] = {};
    std::istringstream in(TempSettings::ReadText(path));
    for (std::string l; std::getline(in, l);) {
        if (l.find("thread ") == std::string::npos) continue;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, line)) << "torn line: " << l;
        EXPECT_EQ(std::stoi(m[2].str()), count[std::stoi(m[1].str())]++);  // each thread's lines in order
    }
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(count[t], kLines);
}

TEST_F(LogTest, UnopenableFileAndDebuggerTargetsLeaveTheDebuggerOutput) {
    for (std::string target : {"Debug", "debugger", "DEB", "NOFILE"}) {
        if (target == "NOFILE") target = env.Dir() + "/no-such-dir/x.log";
        LogResetForTests();
        env.ClearDebug();
        SetTarget(target);
        LogInit(&g_anchor);
        Log(LOG_ERROR, 0, "via debugger");
        const std::string debug = env.Debug();
        EXPECT_NE(debug.find("  via debugger\r\n"), std::string::npos) << target << debug;
        EXPECT_EQ(::access(target.c_str(), F_OK), -1);  // never opened as a file
        if (target[0] == '/')
            EXPECT_NE(debug.find("foundation_log_test - Error 2, Could not open Logfile: " + target + "\r\n\r\n"),
                      std::string::npos) << debug;
        else
            EXPECT_NE(debug.find("=== zephLogInit === Module: "), std::string::npos) << target << debug;
    }
}
