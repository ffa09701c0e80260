// The diagnostic log and the settings readers, event callbacks to the host, worker threads and
// graph-time rounding, each in a private settings world with the debugger output captured.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/Data.h"
#include "foundation/EventCallbacks.h"
#include "foundation/Log.h"
#include "foundation/WorkerThread.h"
#include "platform/Clock.h"
#include "platform/Event.h"
#include "platform/Settings.h"
#include "tests/platform/TempSettings.h"

using namespace platform::settings;
using qvtest::TempSettings;

namespace {

int g_anchor;  // an address inside this module, as the module's attach code passes one
const std::string kModule = "foundation_test", kShort = kModule.substr(0, 14);  // the prefix: 14 characters
const std::string kModuleKey = "SOFTWARE\\DebugZeph\\" + kModule, kGlobalKey = "SOFTWARE\\DebugZeph\\GLOBAL";
const char* const kSink = "SOFTWARE\\Quorvel\\RtmpSink";

std::string Prefix() {  // of a line from this thread, up to its time column
    char buf[32];
    std::snprintf(buf, sizeof buf, "%4x", platform::GetCurrentThreadId());
    return kShort + "\t(" + buf + ") ";
}

class Foundation : public ::testing::Test {
protected:
    void SetUp() override { LogResetForTests(), ResetEventCallbacksForTests(); }
    void TearDown() override {
        LogResetForTests(), ResetEventCallbacksForTests(), platform::SetClock(nullptr);
        CWorkerThread::SetStopGraceForTests(2000);
    }
    void SetTarget(const std::string& t) { ASSERT_TRUE(WriteString(Scope::User, kModuleKey, "LogToFile", t)); }
    TempSettings env;
};

}  // namespace

TEST(DataRecord, GraphTimeRoundsHalfAwayFromZeroToMilliseconds) {
    // 29.97 fps frame starts: 333667 * n in 100-ns units.
    const std::pair<int64_t, int64_t> cases[] = {{5000, 1},          {4999, 0},     {-5000, -1},    {-4999, 0},
                                                 {333667, 33},       {667334, 67},  {1001001, 100}, {400000000, 40000}};
    for (auto [t, ms] : cases) EXPECT_EQ(BS::GraphTimeToMs(t), ms) << t;
}

TEST_F(Foundation, LogInitCreatesMissingValuesAndThresholdIsTheLargerOfModuleAndGlobal) {
    EXPECT_TRUE(LogEnabled(LOG_ERROR, 0));  // before init only level 0 passes
    EXPECT_FALSE(LogEnabled(LOG_TRACE, 1));
    ASSERT_TRUE(WriteDword(Scope::User, kModuleKey, "TRACE", 1));
    ASSERT_TRUE(WriteDword(Scope::Machine, kGlobalKey, "TRACE", 3));
    ASSERT_TRUE(WriteDword(Scope::User, kModuleKey, "ERROR", 5));
    LogInit(&g_anchor);
    EXPECT_EQ(LogModuleName(), kModule);
    EXPECT_EQ(Read(Scope::Machine, kGlobalKey, "TIMEOUT")->dword, 0xFFFFFFFFu);  // created, and above INT_MAX
    const std::tuple<int, int, bool> cases[] = {
        {LOG_TRACE, 3, true},  {LOG_TRACE, 4, false},  {LOG_ERROR, 5, true},           {LOG_ERROR, 6, false},
        {LOG_MEMORY, 1, false}, {LOG_MEMORY | LOG_ERROR, 5, true}, {0xFF00, 0, false}, {0xFF00 | LOG_TIMING, 0, true}};
    for (auto [cat, level, on] : cases) EXPECT_EQ(LogEnabled(cat, level), on) << cat << " " << level;
}

// The file target: prefixed lines, the previous four files kept as <name>.1.log to .4.log.
TEST_F(Foundation, LogFileLinesHavePrefixTimeAndContinuationAndOlderFilesRotate) {
    struct FakeClock final : platform::IClock {
        std::atomic<uint32_t> now{50000};
        uint32_t Now() override { return now.load(); }
        void Sleep(uint32_t ms) override { now += ms; }
    } clock;
    platform::SetClock(&clock);
    const std::string dir = env.Dir();
    auto numbered = [&](int i) { return dir + "/app" + (i ? "." + std::to_string(i) : "") + ".log"; };
    const char* contents[] = {"zero", "one", "two", "three", "four"};
    for (int i = 0; i < 5; ++i) TempSettings::WriteText(numbered(i), contents[i]);
    SetTarget(numbered(0));
    LogInit(&g_anchor);
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

    const std::string text = TempSettings::ReadText(numbered(0));
    const std::regex header("^\r\n" + kShort + "\t\\( *[0-9a-f]+\\)        0  === zephLogInit === Module: "
                            "\\d{4}-\\d\\d-\\d\\d - \\d\\d:\\d\\d:\\d\\d   " + kModule + "      10000 0\r\n" + kShort +
                            "\t\\( *[0-9a-f]+\\)        0  Module Path: /[^\r]*/" + kModule + "\r\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(text, m, header)) << text;
    const std::string p = Prefix() + "    1234  ";
    EXPECT_EQ(text.substr(m.length(0)), p + "hello world\r\n" + p + "part one" + p + "part two\r\n" + p + "crlf here\r\n" +
                                            p + "wide \xc3\xbc 5\r\n" + Prefix() + "100001234  late\r\nClosing Log: " +
                                            kModule + "\r\n");
    EXPECT_NE(env.Debug().find(Prefix() + "100001234  after close\r\n"), std::string::npos);
    for (int i = 1; i < 5; ++i) EXPECT_EQ(TempSettings::ReadText(numbered(i)), contents[i - 1]);
    EXPECT_NE(::access(numbered(5).c_str(), F_OK), 0);

    // A target without ".log" keeps its old lines and gains no numbered copies.
    LogResetForTests();
    TempSettings::WriteText(dir + "/trace.txt", "old line\n");
    SetTarget(dir + "/trace.txt");
    LogInit(&g_anchor);
    Log(LOG_ERROR, 0, "new line");
    LogClose();
    const std::string appended = TempSettings::ReadText(dir + "/trace.txt");
    EXPECT_EQ(appended.rfind("old line\n\r\n" + kShort + "\t(", 0), 0u) << appended;
    EXPECT_NE(appended.find("  new line\r\n"), std::string::npos);
    EXPECT_NE(::access((dir + "/trace.1.txt").c_str(), F_OK), 0);
}

// The host's file receives whole lines from many threads, each thread's in order.
TEST_F(Foundation, LogRedirectHandsTheOutputToTheHostAndBack) {
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
    constexpr int kThreads = 4, kLines = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) Log(LOG_TRACE, 3, "thread %d line %d %s", t, i, std::string(60, 'x').c_str());
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(LogRedirect(-1, 0, nullptr), 0);
    EXPECT_FALSE(LogEnabled(LOG_TRACE, 3));  // the configured thresholds are back
    Log(LOG_TRACE, 1, "back home");
    EXPECT_EQ(LogRedirect(0, 0, nullptr), 1);  // closes, and takes no handle
    Log(LOG_TRACE, 0, "nowhere but the debugger");

    const std::string hostText = TempSettings::ReadText(host), ownText = TempSettings::ReadText(own);
    EXPECT_EQ(hostText.rfind(Prefix(), 0), 0u) << hostText.substr(0, 200);
    EXPECT_LT(hostText.find("  to host\r\n"), hostText.find("thread "));
    EXPECT_TRUE(hostText.ends_with("\r\nClosing Log: " + kModule + "\r\n")) << hostText.substr(hostText.size() - 200);
    const std::regex line("^" + kShort + "\t\\( *[0-9a-f]+\\) +[0-9]+  thread ([0-9]) line ([0-9]+) x{60}\r$");
    int count[kThreads] = {};
    std::istringstream in(hostText);
    for (std::string l; std::getline(in, l);) {
        if (l.find("thread ") == std::string::npos) continue;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, line)) << "torn line: " << l;
        EXPECT_EQ(std::stoi(m[2].str()), count[std::stoi(m[1].str())]++);
    }
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(count[t], kLines);
    const size_t firstClose = ownText.find("Closing Log: " + kModule + "\r\n"), home = ownText.find("  back home\r\n");
    ASSERT_NE(home, std::string::npos) << ownText;
    EXPECT_LT(firstClose, home);
    EXPECT_EQ(ownText.find("to host"), std::string::npos);
    EXPECT_EQ(ownText.find("nowhere"), std::string::npos);
    EXPECT_NE(env.Debug().find("  nowhere but the debugger\r\n"), std::string::npos);
}

TEST_F(Foundation, LogUnopenableFileAndDebuggerTargetsLeaveTheDebuggerOutput) {
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
    }
}

TEST_F(Foundation, RegistryReadersTryUserBeforeMachineAndParseDecimalText) {
    ASSERT_TRUE(WriteDword(Scope::User, kSink, "WaitDelay", 1500));
    ASSERT_TRUE(WriteDword(Scope::Machine, kSink, "WaitDelay", 9000));
    ASSERT_TRUE(WriteString(Scope::Machine, kSink, "Port", "1936"));  // the user key exists, its "Port" not
    ASSERT_TRUE(WriteDword(Scope::Machine, kSink, "All", 0xFFFFFFFFu));
    for (auto [name, value] : {std::pair{"Neg", "-5"}, {"Bad", "abc"}, {"Spaced", " 42"}, {"Huge", "99999999999999999999"}})
        ASSERT_TRUE(WriteString(Scope::User, kSink, name, value));
    const std::tuple<const char*, const char*, int, int> cases[] = {
        {kSink, "WaitDelay", 10000, 1500}, {"software\\quorvel\\rtmpsink", "waitdelay", 0, 1500},
        {kSink, "Port", 1935, 1936},       {kSink, "Neg", 0, -5},
        {kSink, "Bad", 77, 77},            {kSink, "Spaced", 0, 42},
        {kSink, "All", 0, -1},             {kSink, "Huge", 3, 3},
        {kSink, "Missing", 12, 12},        {"SOFTWARE\\Quorvel\\Nothing", "WaitDelay", -8, -8}};
    for (auto [key, name, def, want] : cases) EXPECT_EQ(getRegistryKey(key, name, def), want) << name;

    char buf[64];
    int hive = -1;
    ASSERT_TRUE(WriteString(Scope::Machine, kSink, "Server", "rtmp://a/b"));
    // name, buffer size, result, text left in the buffer; WaitDelay is no string
    const std::tuple<const char*, uint32_t, int, const char*> reads[] = {
        {"Server", 64, 0, "rtmp://a/b"}, {"Server", 5, 0, "rtmp"}, {"Missing", 64, -1, ""}, {"WaitDelay", 64, -1, ""}};
    for (auto [name, size, ret, text] : reads) {
        EXPECT_EQ(getRegistryString(kSink, name, buf, size, &hive), ret) << name << size;
        EXPECT_STREQ(buf, text) << name << size;
    }
    EXPECT_EQ(hive, 1);
    EXPECT_EQ(getRegistryString(kSink, "Server", buf, 0, &hive), -1);

    ASSERT_TRUE(WriteString(Scope::User, kSink, "Server", "rtmp://user/x"));
    EXPECT_EQ(getRegistryString(kSink, "server", buf, sizeof buf, &hive), 0);
    EXPECT_STREQ(buf, "rtmp://user/x");
    EXPECT_EQ(hive, 0);
}

namespace {
struct Sink {
    std::vector<std::string>* order = nullptr;
    std::string tag;
    std::vector<std::wstring> categories, messages;
};
int Record(void* ctx, const wchar_t* category, const wchar_t* message) {
    auto* s = static_cast<Sink*>(ctx);
    s->categories.emplace_back(category);
    s->messages.emplace_back(message);
    if (s->order) s->order->push_back(s->tag);
    return 0;
}
int Throws(void* ctx, const wchar_t* c, const wchar_t* m) {
    Record(ctx, c, m);
    throw std::runtime_error("host callback failed");
}
}  // namespace

TEST_F(Foundation, EventRegistryKeepsDistinctPairsOnceAndRefusesThe256th) {
    std::vector<Sink> sinks(256);
    EXPECT_EQ(RegisterEventCallback(&sinks[0], Record), 0);  // the same pair twice: kept once
    for (int i = 0; i < 255; ++i) ASSERT_EQ(RegisterEventCallback(&sinks[i], Record), 0) << i;
    EXPECT_EQ(RegisterEventCallback(&sinks[255], Record), 1);
    PostEvent("info", "ping");
    for (int i = 0; i < 255; ++i) EXPECT_EQ(sinks[i].messages.size(), 1u) << i;  // same function, own context each
    EXPECT_TRUE(sinks[255].messages.empty());
}

TEST_F(Foundation, EventPostsArriveAsWideTextInOrderPastAThrowingCallback) {
    std::vector<std::string> order;
    Sink bad{&order, "bad", {}, {}}, good{&order, "good", {}, {}};
    ASSERT_EQ(RegisterEventCallback(&bad, Throws), 0);
    ASSERT_EQ(RegisterEventCallback(&good, Record), 0);
    ASSERT_EQ(RegisterEventCallback(nullptr, nullptr), 0);  // a null function is never called
    PostEvent("warning", "Reconnection failed: try %d to reconnect to %s", 3, "rtmp://h/\xc3\xa9");
    PostEvent(L"error", L"RTMP: %ls %d", L"Authentication failed \u00fc", 7);
    PostEvent("info", "%s", std::string(5000, 'a').c_str());  // cut to the buffer, still delivered
    PostEvent("info", "bad utf8 \xff\xfe end \xc3\xa9");
    EXPECT_EQ(order, (std::vector<std::string>{"bad", "good", "bad", "good", "bad", "good", "bad", "good"}));
    ASSERT_EQ(good.messages.size(), 4u);
    EXPECT_EQ(bad.messages, good.messages);
    EXPECT_EQ(good.categories, (std::vector<std::wstring>{L"warning", L"error", L"info", L"info"}));
    // A multibyte character at the very end of the text is decoded, not replaced.
    EXPECT_EQ(good.messages[0], L"Reconnection failed: try 3 to reconnect to rtmp://h/\u00e9");
    EXPECT_EQ(good.messages[1], L"RTMP: Authentication failed \u00fc 7");
    EXPECT_EQ(good.messages[2], std::wstring(2047, L'a'));
    EXPECT_EQ(good.messages[3], L"bad utf8 \ufffd\ufffd end \u00e9");
}

namespace {
// Polls its running flag, as every worker procedure of the system does.
void Cooperative(void* started, CWorkerThread* self) {
    static_cast<platform::CEvent*>(started)->Set();
    for (int i = 0; i < 100000 && self->IsRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}
}  // namespace

TEST_F(Foundation, WorkerStopJoinsStartStopsTheOldOneFirstAndSelfStopThrowAndDestructorAreSafe) {
    CWorkerThread::SetStopGraceForTests(50);
    platform::CEvent first, second, done, thrown, started;
    std::atomic<bool> firstEnded{false}, secondSawIt{false}, ended{false};
    {
        CWorkerThread t;
        ASSERT_FALSE(t.Start([&](void*, CWorkerThread* self) { Cooperative(&first, self), firstEnded = true; }, nullptr, "t:1"));
        ASSERT_TRUE(first.Wait(10000));
        ASSERT_FALSE(t.Start([&](void*, CWorkerThread* self) { secondSawIt = firstEnded.load(), Cooperative(&second, self); },
                             nullptr, "t:2"));
        ASSERT_TRUE(second.Wait(10000));
        EXPECT_TRUE(secondSawIt);
        EXPECT_TRUE(t.IsRunning());
        EXPECT_TRUE(t.Stop(10000));
        EXPECT_FALSE(t.IsCreated());
        EXPECT_TRUE(t.Stop(10));  // nothing to stop

        ASSERT_FALSE(t.Start([&](void*, CWorkerThread* self) { self->Stop(1000), done.Set(); }, nullptr, "t:self"));
        ASSERT_TRUE(done.Wait(10000));  // a thread cannot wait for itself: Stop returns at once
        ASSERT_FALSE(t.Start([&](void*, CWorkerThread*) {
            thrown.Set();
            throw std::runtime_error("procedure failed");
        }, nullptr, "t:throw"));
        ASSERT_TRUE(thrown.Wait(10000));
        EXPECT_TRUE(t.Stop(10000));
        ASSERT_FALSE(t.Start([&](void* p, CWorkerThread* self) { Cooperative(p, self), ended = true; }, &started, "t:dtor"));
        ASSERT_TRUE(started.Wait(10000));
    }  // the destructor stops it
    EXPECT_TRUE(ended);
}

TEST_F(Foundation, WorkerIgnoringStopIsGivenUpAndTheObjectRestarts) {
    CWorkerThread::SetStopGraceForTests(50);
    std::atomic<bool> release{false}, stubbornEnded{false};
    platform::CEvent started, again;
    CWorkerThread t;
    ASSERT_FALSE(t.Start([&](void*, CWorkerThread*) {
        started.Set();
        for (int i = 0; i < 20000 && !release; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        stubbornEnded = true;
    }, nullptr, "t:stubborn"));
    ASSERT_TRUE(started.Wait(10000));
    EXPECT_TRUE(t.Stop(30));
    EXPECT_FALSE(stubbornEnded);  // given up, not joined
    ASSERT_FALSE(t.Start(Cooperative, &again, "t:again"));
    ASSERT_TRUE(again.Wait(10000));
    release = true;
    EXPECT_TRUE(t.Stop(10000));
    for (int i = 0; i < 10000 && !stubbornEnded; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(stubbornEnded);
}
