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

using platform::settings::Read;
using platform::settings::Scope;
using platform::settings::Type;
using platform::settings::WriteDword;
using platform::settings::WriteString;
using qvtest::TempSettings;

namespace {

int g_anchor;  // an address inside this module, as the module's attach code passes one

const std::string kModule = "foundation_log_test";  // this executable's file name
const std::string kShort = "foundation_log";         // its first 14 characters
const std::string kModuleKey = "SOFTWARE\\DebugZeph\\foundation_log_test";
const std::string kGlobalKey = "SOFTWARE\\DebugZeph\\GLOBAL";
const char* const kCategories[] = {"TIMING", "TRACE", "MEMORY", "LOCKING", "ERROR", "CUSTOM1", "CUSTOM2", "CUSTOM3"};

class FakeClock final : public platform::IClock {
public:
    std::atomic<uint32_t> now{0};
    uint32_t Now() override { return now.load(); }
    void Sleep(uint32_t ms) override { now += ms; }
};

std::string Tid(const char* fmt = "%4x") {
    char buf[32];
    std::snprintf(buf, sizeof buf, fmt, platform::GetCurrentThreadId());
    return buf;
}

std::string SelfPath() {
    char buf[PATH_MAX];
    char resolved[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    buf[n] = '\0';
    return ::realpath(buf, resolved) ? resolved : buf;
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override { LogResetForTests(); }
    void TearDown() override {
        LogResetForTests();
        platform::SetClock(nullptr);
    }
    void SetTarget(const std::string& target) {
        ASSERT_TRUE(WriteString(Scope::User, kModuleKey, "LogToFile", target));
    }
    TempSettings env;
};

}  // namespace

TEST_F(LogTest, BeforeInitOnlyLevelZeroReachesTheDebugger) {
    EXPECT_TRUE(LogEnabled(LOG_ERROR, 0));
    EXPECT_FALSE(LogEnabled(LOG_TRACE, 1));
    EXPECT_FALSE(LogEnabled(0x100, 0));  // no category bit in the low eight
    EXPECT_FALSE(LogEnabled(0, 0));
    Log(LOG_TRACE, 1, "dropped");
    Log(LOG_ERROR, 0, "kept %d", 7);
    Log(LOG_ERROR, 0, L"wide %ls %d", L"\u00fc", 8);
    EXPECT_EQ(env.Debug(), "\t(" + Tid() + ")  kept 7\r\n" + "\t(" + Tid("%x") + ")  wide \xc3\xbc 8\r\n");
}

TEST_F(LogTest, InitCreatesMissingValuesAndKeepsPresentOnes) {
    ASSERT_TRUE(WriteDword(Scope::User, kModuleKey, "TRACE", 2));
    LogInit(&g_anchor);
    EXPECT_EQ(LogModuleName(), kModule);
    EXPECT_NE(env.Debug().find(kModule + "\r\n"), std::string::npos) << env.Debug();

    auto target = Read(Scope::User, kModuleKey, "LogToFile");
    ASSERT_TRUE(target);
    EXPECT_EQ(target->type, Type::String);
    EXPECT_EQ(target->str, "");
    for (const char* name : kCategories) {
        for (auto [scope, key] : {std::pair{Scope::User, kModuleKey}, std::pair{Scope::Machine, kGlobalKey}}) {
            auto v = Read(scope, key, name);
            ASSERT_TRUE(v) << key << " " << name;
            EXPECT_EQ(v->type, Type::Dword);
            EXPECT_EQ(v->dword, (scope == Scope::User && std::string(name) == "TRACE") ? 2u : 0u) << key << name;
        }
    }
    EXPECT_EQ(Read(Scope::User, kModuleKey, "TIMEOUT")->dword, 0xFFFFFFFFu);
    EXPECT_EQ(Read(Scope::Machine, kGlobalKey, "TIMEOUT")->dword, 0xFFFFFFFFu);
    EXPECT_TRUE(LogEnabled(LOG_TRACE, 2));
    EXPECT_FALSE(LogEnabled(LOG_TRACE, 3));
}

TEST_F(LogTest, ThresholdIsTheLargerOfModuleAndGlobalPerCategory) {
    ASSERT_TRUE(WriteDword(Scope::User, kModuleKey, "TRACE", 1));
    ASSERT_TRUE(WriteDword(Scope::Machine, kGlobalKey, "TRACE", 3));
    ASSERT_TRUE(WriteDword(Scope::User, kModuleKey, "ERROR", 5));
    ASSERT_TRUE(WriteDword(Scope::Machine, kGlobalKey, "CUSTOM3", 2));
    ASSERT_TRUE(WriteString(Scope::User, kModuleKey, "MEMORY", "9"));  // not a DWORD: replaced by 0
    LogInit(&g_anchor);
    EXPECT_TRUE(LogEnabled(LOG_TRACE, 3));
    EXPECT_FALSE(LogEnabled(LOG_TRACE, 4));
    EXPECT_TRUE(LogEnabled(LOG_ERROR, 5));
    EXPECT_FALSE(LogEnabled(LOG_ERROR, 6));
    EXPECT_TRUE(LogEnabled(LOG_CUSTOM3, 2));
    EXPECT_FALSE(LogEnabled(LOG_CUSTOM2, 1));
    EXPECT_FALSE(LogEnabled(LOG_MEMORY, 1));
    EXPECT_EQ(Read(Scope::User, kModuleKey, "MEMORY")->type, Type::Dword);
    // Any named category whose threshold admits the level lets the line through.
    EXPECT_TRUE(LogEnabled(LOG_MEMORY | LOG_ERROR, 5));
    EXPECT_FALSE(LogEnabled(LOG_MEMORY | LOG_TIMING, 1));
    EXPECT_FALSE(LogEnabled(0xFF00 | 0, 0));
    EXPECT_TRUE(LogEnabled(0xFF00 | LOG_TIMING, 0));
}

TEST_F(LogTest, FileLinesHavePrefixTimeAndContinuation) {
    FakeClock clock;
    clock.now = 50000;
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
                            "foundation_log\t\\( *[0-9a-f]+\\)        0  Module Path: ([^\r]*)\r\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(text, m, header)) << text;
    EXPECT_EQ(m[1].str(), SelfPath());
    const std::string p = kShort + "\t(" + Tid() + ")     1234  ";
    const std::string body = p + "hello world\r\n" + p + "part one" + p + "part two\r\n" + p + "crlf here\r\n" + p +
                             "wide \xc3\xbc 5\r\n" + kShort + "\t(" + Tid() + ") 100001234  late\r\n" +
                             "Closing Log: foundation_log_test\r\n";
    EXPECT_EQ(text.substr(m.length(0)), body);
    EXPECT_NE(env.Debug().find(kShort + "\t(" + Tid() + ") 100001234  after close\r\n"), std::string::npos);
}

TEST_F(LogTest, RotationKeepsFiveAndOtherTargetsAreAppended) {
    const std::string dir = env.Dir();
    const char* names[] = {"app.log", "app.1.log", "app.2.log", "app.3.log", "app.4.log"};
    const char* contents[] = {"zero", "one", "two", "three", "four"};
    for (int i = 0; i < 5; ++i) TempSettings::WriteText(dir + "/" + names[i], contents[i]);
    SetTarget(dir + "/app.log");
    LogInit(&g_anchor);
    LogClose();
    EXPECT_EQ(TempSettings::ReadText(dir + "/app.1.log"), "zero");
    EXPECT_EQ(TempSettings::ReadText(dir + "/app.2.log"), "one");
    EXPECT_EQ(TempSettings::ReadText(dir + "/app.3.log"), "two");
    EXPECT_EQ(TempSettings::ReadText(dir + "/app.4.log"), "three");
    EXPECT_NE(::access((dir + "/app.5.log").c_str(), F_OK), 0);
    const std::string fresh = TempSettings::ReadText(dir + "/app.log");
    EXPECT_EQ(fresh.rfind("\r\nfoundation_log\t(", 0), 0u) << fresh;
    EXPECT_EQ(fresh.find("zero"), std::string::npos);

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

TEST_F(LogTest, ConsoleTargetWritesStdoutWithoutPrefix) {
    const std::string capture = env.Dir() + "/stdout.txt";
    std::fflush(stdout);
    const int saved = ::dup(STDOUT_FILENO);
    const int fd = ::open(capture.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ::dup2(fd, STDOUT_FILENO);
    ::close(fd);
    SetTarget("CONSOLE");
    LogInit(&g_anchor);
    Log(LOG_ERROR, 0, "to console %d", 1);
    LogClose();
    Log(LOG_ERROR, 0, "to debugger");
    std::fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    const std::string text = TempSettings::ReadText(capture);
    EXPECT_NE(text.find("Module Path: "), std::string::npos) << text;
    EXPECT_NE(text.find("\r\nto console 1\r\nClosing Log: foundation_log_test\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("to debugger"), std::string::npos);
    EXPECT_NE(env.Debug().find("  to debugger\r\n"), std::string::npos) << env.Debug();
}

TEST_F(LogTest, UnopenableFileLeavesTheDebuggerOutput) {
    const std::string path = env.Dir() + "/no-such-dir/x.log";
    SetTarget(path);
    LogInit(&g_anchor);
    Log(LOG_ERROR, 0, "still heard");
    const std::string debug = env.Debug();
    EXPECT_NE(debug.find("foundation_log_test - Error 2, Could not open Logfile: " + path + "\r\n\r\n"),
              std::string::npos)
        << debug;
    EXPECT_NE(debug.find("  still heard\r\n"), std::string::npos) << debug;
}

TEST_F(LogTest, RedirectHandsTheOutputToTheHostAndBack) {
    const std::string own = env.Dir() + "/own.log";
    const std::string host = env.Dir() + "/host.log";
    SetTarget(own);
    ASSERT_TRUE(WriteDword(Scope::User, kModuleKey, "TRACE", 1));
    LogInit(&g_anchor);
    const int hostFd = ::open(host.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(hostFd, 0);
    platform::CReentrantLock hostLock;
    EXPECT_EQ(LogRedirect(hostFd, 3, &hostLock), 0);
    ::close(hostFd);  // the log keeps its own descriptor
    EXPECT_TRUE(LogEnabled(LOG_TRACE, 3));
    EXPECT_TRUE(LogEnabled(LOG_ERROR, 3));
    EXPECT_TRUE(LogEnabled(LOG_CUSTOM1, 3));
    EXPECT_FALSE(LogEnabled(LOG_MEMORY, 1));
    Log(LOG_TRACE, 3, "to host");
    EXPECT_EQ(LogRedirect(-1, 0, nullptr), 0);
    EXPECT_FALSE(LogEnabled(LOG_TRACE, 3));  // the configured thresholds are back
    EXPECT_TRUE(LogEnabled(LOG_TRACE, 1));
    Log(LOG_TRACE, 1, "back home");
    EXPECT_EQ(LogRedirect(0, 0, nullptr), 1);  // closes, and takes no handle
    Log(LOG_TRACE, 0, "nowhere but the debugger");

    const std::string hostText = TempSettings::ReadText(host);
    EXPECT_EQ(hostText.rfind(kShort + "\t(" + Tid() + ") ", 0), 0u) << hostText;
    EXPECT_NE(hostText.find("  to host\r\nClosing Log: foundation_log_test\r\n"), std::string::npos) << hostText;
    const std::string ownText = TempSettings::ReadText(own);
    const size_t firstClose = ownText.find("Closing Log: foundation_log_test\r\n");
    ASSERT_NE(firstClose, std::string::npos) << ownText;
    const size_t home = ownText.find("  back home\r\n");
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
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) Log(LOG_TRACE, 0, "thread %d line %d %s", t, i, std::string(60, 'x').c_str());
        });
    }
    for (auto& th : threads) th.join();
    LogClose();
    const std::string text = TempSettings::ReadText(path);
    const std::regex line("^foundation_log\t\\( *[0-9a-f]+\\) +[0-9]+  thread ([0-9]) line ([0-9]+) x{60}\r$");
    int count[kThreads] = {};
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        const std::string l = text.substr(pos, end - pos);
        pos = end + 1;
        if (l.find("thread ") == std::string::npos) continue;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, line)) << "torn line: " << l;
        const int t = std::stoi(m[1].str());
        EXPECT_EQ(std::stoi(m[2].str()), count[t]++);  // each thread's lines in its own order
    }
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(count[t], kLines);
}

TEST_F(LogTest, DebuggerTargetsAndUnwritableSettings) {
    for (const char* target : {"Debug", "debugger", "DEB"}) {
        LogResetForTests();
        env.ClearDebug();
        SetTarget(target);
        LogInit(&g_anchor);
        Log(LOG_ERROR, 0, "via debugger");
        const std::string debug = env.Debug();
        EXPECT_NE(debug.find("=== zephLogInit === Module: "), std::string::npos) << target << debug;
        EXPECT_NE(debug.find("  via debugger\r\n"), std::string::npos) << target << debug;
        EXPECT_EQ(::access(target, F_OK), -1);  // never opened as a file in the working directory
    }
    // Settings that cannot be created leave the log on its defaults, with one clear line.
    LogResetForTests();
    env.ClearDebug();
    ::setenv("QV_SETTINGS_USER", "/proc/qv-no-such-dir/user.json", 1);
    ::setenv("QV_SETTINGS_MACHINE", "/proc/qv-no-such-dir/machine.json", 1);
    LogInit(&g_anchor);
    Log(LOG_TRACE, 1, "dropped");
    Log(LOG_TRACE, 0, "still works");
    const std::string debug = env.Debug();
    EXPECT_NE(debug.find("  Could not access module key\r\n"), std::string::npos) << debug;
    EXPECT_NE(debug.find("  still works\r\n"), std::string::npos) << debug;
    EXPECT_EQ(debug.find("dropped"), std::string::npos) << debug;
}
