#include <algorithm>
#include <atomic>
#include <string>
#include <sys/stat.h>
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
    // The file format as an administrator would write it by hand.
    TempSettings::WriteText(env.MachineFile(),
                            "{ \"SOFTWARE\\\\Quorvel\\\\RtmpSink\": { \"WaitDelay\": 4000, \"Server\": \"rtmp://h/app\","
                            " \"Neg\": -3, \"Flag\": true } }");
    auto wd = Read(Scope::Machine, "software\\quorvel\\rtmpsink", "waitdelay");
    ASSERT_TRUE(wd);
    EXPECT_EQ(wd->type, Type::Dword);
    EXPECT_EQ(wd->dword, 4000u);
    auto server = Read(Scope::Machine, kSink, "SERVER");
    ASSERT_TRUE(server);
    EXPECT_EQ(server->type, Type::String);
    EXPECT_EQ(server->str, "rtmp://h/app");
    // Types the registry has no word for read as missing.
    EXPECT_FALSE(Read(Scope::Machine, kSink, "Neg"));
    EXPECT_FALSE(Read(Scope::Machine, kSink, "Flag"));
    EXPECT_FALSE(Read(Scope::User, kSink, "WaitDelay"));  // the scopes are separate files

    // A write through another spelling of the key keeps the stored spelling, one key only.
    ASSERT_TRUE(WriteDword(Scope::Machine, "SOFTWARE\\QUORVEL\\RTMPSINK", "waitdelay", 0xFFFFFFFFu));
    EXPECT_EQ(DwordOr(Scope::Machine, kSink, "WaitDelay", 0), 0xFFFFFFFFu);
    const std::string text = TempSettings::ReadText(env.MachineFile());
    EXPECT_NE(text.find("\"SOFTWARE\\\\Quorvel\\\\RtmpSink\""), std::string::npos) << text;
    EXPECT_EQ(text.find("QUORVEL"), std::string::npos) << text;
    EXPECT_NE(text.find("\"WaitDelay\" : 4294967295"), std::string::npos) << text;
    EXPECT_EQ(Read(Scope::Machine, kSink, "Server")->str, "rtmp://h/app");
}

TEST(SettingsStore, KeysValuesAndSubkeys) {
    TempSettings env;
    EXPECT_FALSE(KeyExists(Scope::User, kSink));
    ASSERT_TRUE(CreateKey(Scope::User, "SOFTWARE\\DebugZeph\\app\\"));
    // Creating a key creates its parents, like the registry.
    EXPECT_TRUE(KeyExists(Scope::User, "software"));
    EXPECT_TRUE(KeyExists(Scope::User, "SOFTWARE\\DebugZeph"));
    ASSERT_TRUE(CreateKey(Scope::User, "SOFTWARE\\DebugZeph\\GLOBAL"));
    ASSERT_TRUE(WriteDword(Scope::User, "SOFTWARE\\DebugZeph\\app", "TRACE", 3));
    ASSERT_TRUE(WriteString(Scope::User, "SOFTWARE\\DebugZeph\\app", "LogToFile", "/tmp/x.log"));
    ASSERT_TRUE(WriteString(Scope::User, "SOFTWARE\\DebugZeph\\app", "TRACE", "7"));  // type changes

    auto subs = ListSubkeys(Scope::User, "SOFTWARE\\debugzeph");
    std::sort(subs.begin(), subs.end());
    EXPECT_EQ(subs, (std::vector<std::string>{"GLOBAL", "app"}));
    auto values = ListValues(Scope::User, "SOFTWARE\\DebugZeph\\APP");
    ASSERT_EQ(values.size(), 2u);
    for (auto& [name, v] : values) EXPECT_EQ(v.type, Type::String) << name;

    EXPECT_TRUE(DeleteValue(Scope::User, "SOFTWARE\\DebugZeph\\app", "trace"));
    EXPECT_FALSE(DeleteValue(Scope::User, "SOFTWARE\\DebugZeph\\app", "trace"));
    EXPECT_FALSE(Read(Scope::User, "SOFTWARE\\DebugZeph\\app", "TRACE"));
    EXPECT_TRUE(DeleteKey(Scope::User, "SOFTWARE\\DebugZeph"));
    EXPECT_FALSE(KeyExists(Scope::User, "SOFTWARE\\DebugZeph\\app"));
    EXPECT_FALSE(KeyExists(Scope::User, "SOFTWARE\\DebugZeph\\GLOBAL"));
    EXPECT_TRUE(KeyExists(Scope::User, "SOFTWARE"));
    EXPECT_FALSE(DeleteKey(Scope::User, "SOFTWARE\\DebugZeph"));
}

TEST(SettingsStore, FileLocationsFollowTheEnvironment) {
    TempSettings env;
    EXPECT_EQ(FilePath(Scope::User), env.UserFile());
    EXPECT_EQ(FilePath(Scope::Machine), env.MachineFile());
    ::unsetenv("QV_SETTINGS_USER");
    ::unsetenv("QV_SETTINGS_MACHINE");
    const char* oldXdg = std::getenv("XDG_CONFIG_HOME");
    std::string saved = oldXdg ? oldXdg : "";
    ::setenv("XDG_CONFIG_HOME", env.Dir().c_str(), 1);
    EXPECT_EQ(FilePath(Scope::User), env.Dir() + "/quorvel/settings.json");
    EXPECT_EQ(FilePath(Scope::Machine), "/etc/quorvel/settings.json");
    ASSERT_TRUE(WriteDword(Scope::User, kSink, "Port", 1936));  // parent directories are created
    EXPECT_EQ(DwordOr(Scope::User, kSink, "Port", 0), 1936u);
    if (oldXdg) ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    else ::unsetenv("XDG_CONFIG_HOME");
}

TEST(SettingsStore, MalformedFileReadsEmptyIsReportedOnceAndIsReplacedOnWrite) {
    TempSettings env;
    const std::string bad = "{ \"SOFTWARE\\\\Quorvel\\\\RtmpSink\": { \"WaitDelay\": 40";
    TempSettings::WriteText(env.UserFile(), bad);
    EXPECT_FALSE(Read(Scope::User, kSink, "WaitDelay"));
    EXPECT_FALSE(KeyExists(Scope::User, kSink));
    EXPECT_TRUE(ListValues(Scope::User, kSink).empty());
    const std::string debug = env.Debug();
    size_t first = debug.find(env.UserFile());
    ASSERT_NE(first, std::string::npos) << debug;
    EXPECT_EQ(debug.find(env.UserFile(), first + 1), std::string::npos) << "reported more than once:\n" << debug;

    ASSERT_TRUE(WriteDword(Scope::User, kSink, "WaitDelay", 500));
    EXPECT_EQ(DwordOr(Scope::User, kSink, "WaitDelay", 0), 500u);
    EXPECT_EQ(TempSettings::ReadText(env.UserFile() + ".corrupt"), bad);  // kept for a human

    // Documents of the wrong shape, and absurd nesting, read as empty without a crash.
    for (const std::string& text : {std::string("[1,2,3]"), std::string("{\"SOFTWARE\\\\Quorvel\\\\RtmpSink\": 5}"),
                                    std::string(100000, '['), std::string("\xff\xfe{}"), std::string("")}) {
        TempSettings::WriteText(env.UserFile(), text);
        EXPECT_FALSE(Read(Scope::User, kSink, "WaitDelay"));
        EXPECT_TRUE(ListSubkeys(Scope::User, "SOFTWARE").empty());
    }
    // A key that was hand-edited into a number becomes a key again on write.
    TempSettings::WriteText(env.UserFile(), "{\"SOFTWARE\\\\Quorvel\\\\RtmpSink\": 5}");
    ASSERT_TRUE(WriteString(Scope::User, kSink, "Server", "s"));
    EXPECT_EQ(Read(Scope::User, kSink, "Server")->str, "s");
}

TEST(SettingsStore, ConcurrentWritersFromThreadsAndProcessesLoseNothing) {
    TempSettings env;
    constexpr int kThreads = 6, kProcs = 3, kEach = 20;
    // Processes and threads write at the same time; each value goes through its own
    // read-modify-write of the whole file.
    ASSERT_TRUE(WriteDword(Scope::User, kSink, "Seed", 1));
    std::vector<pid_t> children;
    for (int p = 0; p < kProcs; ++p) {
        pid_t pid = ::fork();
        ASSERT_NE(pid, -1);
        if (pid == 0) {
            bool ok = true;
            for (int i = 0; i < kEach; ++i) {
                ok &= WriteDword(Scope::User, kSink, "P" + std::to_string(p) + "_" + std::to_string(i),
                                 static_cast<uint32_t>(p * 1000 + i));
            }
            ::_exit(ok ? 0 : 1);
        }
        children.push_back(pid);
    }
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < kEach; ++i) {
                if (!WriteString(Scope::User, kSink, "T" + std::to_string(t) + "_" + std::to_string(i),
                                 std::to_string(t * 1000 + i))) {
                    ++failures;
                }
                // Readers in the middle of the storm always see a whole document.
                if (!KeyExists(Scope::User, "SOFTWARE")) ++failures;
            }
        });
    }
    for (auto& th : threads) th.join();
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(failures.load(), 0);
    auto values = ListValues(Scope::User, kSink);
    EXPECT_EQ(values.size(), static_cast<size_t>((kThreads + kProcs) * kEach + 1));
    for (int p = 0; p < kProcs; ++p)
        for (int i = 0; i < kEach; ++i)
            EXPECT_EQ(DwordOr(Scope::User, kSink, "P" + std::to_string(p) + "_" + std::to_string(i), 0xFFFF),
                      static_cast<uint32_t>(p * 1000 + i));
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kEach; ++i) {
            auto v = Read(Scope::User, kSink, "T" + std::to_string(t) + "_" + std::to_string(i));
            ASSERT_TRUE(v);
            EXPECT_EQ(v->str, std::to_string(t * 1000 + i));
        }
    EXPECT_EQ(env.Debug().find("malformed"), std::string::npos) << env.Debug();
}

TEST(SettingsStore, UnwritableLocationFailsWritesCleanly) {
    TempSettings env;
    // Not even root can create a directory here.
    ::setenv("QV_SETTINGS_MACHINE", "/proc/qv-no-such-dir/settings.json", 1);
    EXPECT_FALSE(CreateKey(Scope::Machine, "SOFTWARE\\DebugZeph\\GLOBAL"));
    EXPECT_FALSE(WriteDword(Scope::Machine, "SOFTWARE\\DebugZeph\\GLOBAL", "TRACE", 1));
    EXPECT_FALSE(Read(Scope::Machine, "SOFTWARE\\DebugZeph\\GLOBAL", "TRACE"));
}

TEST(SettingsStore, ReadOnlyFileStillServesExistingKeys) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes through any file mode";
    TempSettings env;
    ASSERT_TRUE(WriteDword(Scope::Machine, "SOFTWARE\\DebugZeph\\GLOBAL", "TRACE", 2));
    const std::string dir = env.Dir() + "/machine";
    ASSERT_EQ(::chmod(dir.c_str(), 0555), 0);
    EXPECT_TRUE(CreateKey(Scope::Machine, "SOFTWARE\\DebugZeph\\GLOBAL"));  // exists: no write needed
    EXPECT_FALSE(CreateKey(Scope::Machine, "SOFTWARE\\DebugZeph\\Other"));
    EXPECT_FALSE(WriteDword(Scope::Machine, "SOFTWARE\\DebugZeph\\GLOBAL", "ERROR", 1));
    EXPECT_EQ(DwordOr(Scope::Machine, "SOFTWARE\\DebugZeph\\GLOBAL", "TRACE", 0), 2u);
    ::chmod(dir.c_str(), 0755);
}
