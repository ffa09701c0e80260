#include <string>

#include <gtest/gtest.h>

#include "foundation/Log.h"
#include "platform/Settings.h"
#include "tests/platform/TempSettings.h"

using platform::settings::Scope;
using platform::settings::WriteDword;
using platform::settings::WriteString;

namespace {
int g_anchor;
const char* const kSink = "SOFTWARE\\Quorvel\\RtmpSink";
}  // namespace

TEST(RegistryReaders, ReadUserBeforeMachineParseDecimalTextAndLogAtTraceFive) {
    qvtest::TempSettings env;
    LogResetForTests();
    ASSERT_TRUE(WriteDword(Scope::User, kSink, "WaitDelay", 1500));
    ASSERT_TRUE(WriteDword(Scope::Machine, kSink, "WaitDelay", 9000));
    ASSERT_TRUE(WriteString(Scope::Machine, kSink, "Port", "1936"));  // the user key exists, its "Port" not
    ASSERT_TRUE(WriteDword(Scope::Machine, kSink, "All", 0xFFFFFFFFu));
    const std::pair<const char*, std::string> text[] = {{"Neg", "-5"}, {"Bad", "abc"}, {"Spaced", " 42"},
                                                        {"Huge", "99999999999999999999"}};
    for (auto& [name, value] : text) ASSERT_TRUE(WriteString(Scope::User, kSink, name, value));
    const std::tuple<const char*, const char*, int, int> cases[] = {
        {kSink, "WaitDelay", 10000, 1500}, {"software\\quorvel\\rtmpsink", "waitdelay", 0, 1500},
        {kSink, "Port", 1935, 1936},       {kSink, "Neg", 0, -5},
        {kSink, "Bad", 77, 77},            {kSink, "Spaced", 0, 42},
        {kSink, "All", 0, -1},             {kSink, "Huge", 3, 3},
        {kSink, "Missing", 12, 12},        {"SOFTWARE\\Quorvel\\Nothing", "WaitDelay", -8, -8}};
    for (auto [key, name, def, want] : cases) EXPECT_EQ(getRegistryKey(key, name, def), want) << name;
    EXPECT_EQ(env.Debug(), "");  // level 5 is above the default threshold

    char buf[64], small[5];
    int hive = -1;
    ASSERT_TRUE(WriteString(Scope::Machine, kSink, "Server", "rtmp://a/b"));
    EXPECT_EQ(getRegistryString(kSink, "Server", buf, sizeof buf, &hive), 0);
    EXPECT_STREQ(buf, "rtmp://a/b");
    EXPECT_EQ(hive, 1);
    EXPECT_EQ(getRegistryString(kSink, "Server", small, sizeof small, &hive), 0);
    EXPECT_STREQ(small, "rtmp");
    EXPECT_EQ(getRegistryString(kSink, "Missing", buf, sizeof buf, &hive), -1);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(getRegistryString(kSink, "WaitDelay", buf, sizeof buf, &hive), -1);  // not a string
    EXPECT_EQ(getRegistryString(kSink, "Server", buf, 0, &hive), -1);

    ASSERT_TRUE(WriteString(Scope::User, kSink, "Server", "rtmp://user/x"));
    ASSERT_TRUE(WriteDword(Scope::User, "SOFTWARE\\DebugZeph\\foundation_registry_test", "TRACE", 5));
    LogInit(&g_anchor);
    env.ClearDebug();
    getRegistryKey(kSink, "WaitDelay", 10000);
    EXPECT_EQ(getRegistryString(kSink, "server", buf, sizeof buf, &hive), 0);
    EXPECT_STREQ(buf, "rtmp://user/x");
    EXPECT_EQ(hive, 0);
    const std::string debug = env.Debug();
    EXPECT_NE(debug.find("  getRegistryKey SOFTWARE\\Quorvel\\RtmpSink WaitDelay returns 1500 (default 10000)\r\n"),
              std::string::npos) << debug;
    EXPECT_NE(debug.find("  getRegistryKey SOFTWARE\\Quorvel\\RtmpSink server returns 13 rtmp://user/x\r\n"),
              std::string::npos) << debug;
    LogResetForTests();
}
