#include <algorithm>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

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
    EXPECT_FALSE(Read(Scope::Machine, kSink, "Neg"));  // no registry type for these
    EXPECT_FALSE(Read(Scope::Machine, kSink, "Flag"));
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
    ASSERT_TRUE(CreateKey(Scope::User, "SOFTWARE\\DebugZeph\\app\\"));
    EXPECT_TRUE(KeyExists(Scope::User, "SOFTWARE\\DebugZeph"));  // parents are created
    ASSERT_TRUE(CreateKey(Scope::User, "SOFTWARE\\DebugZeph\\GLOBAL\\Deep"));
    ASSERT_TRUE(WriteDword(Scope::User, "SOFTWARE\\DebugZeph\\app", "TRACE", 3));
    ASSERT_TRUE(WriteString(Scope::User, "SOFTWARE\\DebugZeph\\app", "LogToFile", "/tmp/x.log"));
    ASSERT_TRUE(WriteString(Scope::User, "SOFTWARE\\DebugZeph\\app", "TRACE", "7"));  // type changes

    auto subs = ListSubkeys(Scope::User, "SOFTWARE\\debugzeph");
    std::sort(subs.begin(), subs.end());
    EXPECT_EQ(subs, (std::vector<std::string>{"GLOBAL", "app"}));  // direct children only
    auto values = ListValues(Scope::User, "SOFTWARE\\DebugZeph\\APP");
    ASSERT_EQ(values.size(), 2u);
    for (auto& [name, v] : values) EXPECT_EQ(v.type, Type::String) << name;

    EXPECT_TRUE(DeleteValue(Scope::User, "SOFTWARE\\DebugZeph\\app", "trace"));
    EXPECT_FALSE(DeleteValue(Scope::User, "SOFTWARE\\DebugZeph\\app", "trace"));
    EXPECT_TRUE(DeleteKey(Scope::User, "SOFTWARE\\DebugZeph"));
    EXPECT_FALSE(KeyExists(Scope::User, "SOFTWARE\\DebugZeph\\GLOBAL"));
    EXPECT_TRUE(KeyExists(Scope::User, "SOFTWARE"));
}

TEST(SettingsStore, MalformedFileReadsEmptyIsReportedOnceAndIsReplacedOnWrite) {
    TempSettings env;
    const std::string bad = "{ \"SOFTWARE\\\\Quorvel\\\\RtmpSink\": { \"WaitDelay\": 40";
    TempSettings::WriteText(env.UserFile(), bad);
    EXPECT_FALSE(Read(Scope::User, kSink, "WaitDelay"));
    EXPECT_FALSE(KeyExists(Scope::User, kSink));
    const std::string debug = env.Debug();
    size_t first = debug.find(env.UserFile());
    ASSERT_NE(first, std::string::npos) << debug;
    EXPECT_EQ(debug.find(env.UserFile(), first + 1), std::string::npos) << "reported twice:\n" << debug;
    ASSERT_TRUE(WriteDword(Scope::User, kSink, "WaitDelay", 500));
    EXPECT_EQ(DwordOr(Scope::User, kSink, "WaitDelay", 0), 500u);
    EXPECT_EQ(TempSettings::ReadText(env.UserFile() + ".corrupt"), bad);  // kept for a human

    for (const std::string& text : {std::string("[1,2,3]"), std::string("{\"SOFTWARE\\\\Quorvel\\\\RtmpSink\": 5}"),
                                    std::string(100000, '['), std::string("\xff\xfe{}"), std::string("")}) {
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
    for (int a = 0; a < kProcs; ++a)
        for (int i = 0; i < kEach; ++i) {
            EXPECT_EQ(DwordOr(Scope::User, kSink, name('P', a, i), 0), a * 1000u + i);
            EXPECT_EQ(DwordOr(Scope::User, kSink, name('T', a, i), 0), a * 1000u + i);
        }
}
