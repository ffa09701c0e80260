#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "foundation/Log.h"
#include "platform/Settings.h"
#include "tests/platform/TempSettings.h"

using platform::settings::Scope;
using platform::settings::WriteDword;
using platform::settings::WriteString;
using qvtest::TempSettings;

namespace {
int g_anchor;
const char* const kSink = "SOFTWARE\\Quorvel\\RtmpSink";

class RegistryReaders : public ::testing::Test {
protected:
    void SetUp() override { LogResetForTests(); }
    void TearDown() override { LogResetForTests(); }
    TempSettings env;
};
}  // namespace

TEST_F(RegistryReaders, IntegerReaderPrefersUserAndReadsDecimalText) {
    ASSERT_TRUE(WriteDword(Scope::User, kSink, "WaitDelay", 1500));
    ASSERT_TRUE(WriteDword(Scope::Machine, kSink, "WaitDelay", 9000));
    ASSERT_TRUE(WriteString(Scope::Machine, kSink, "Port", "1936"));
    ASSERT_TRUE(WriteDword(Scope::User, kSink, "Other", 1));  // the user key exists, "Port" in it does not
    ASSERT_TRUE(WriteString(Scope::User, kSink, "Neg", "-5"));
    ASSERT_TRUE(WriteString(Scope::User, kSink, "Bad", "abc"));
    ASSERT_TRUE(WriteString(Scope::User, kSink, "Spaced", " 42"));
    ASSERT_TRUE(WriteDword(Scope::Machine, kSink, "All", 0xFFFFFFFFu));
    ASSERT_TRUE(WriteString(Scope::Machine, kSink, "Huge", "99999999999999999999"));

    EXPECT_EQ(getRegistryKey(kSink, "WaitDelay", 10000), 1500);
    EXPECT_EQ(getRegistryKey("software\\quorvel\\rtmpsink", "waitdelay", 10000), 1500);
    EXPECT_EQ(getRegistryKey(kSink, "Port", 1935), 1936);
    EXPECT_EQ(getRegistryKey(kSink, "Neg", 0), -5);
    EXPECT_EQ(getRegistryKey(kSink, "Bad", 77), 77);
    EXPECT_EQ(getRegistryKey(kSink, "Spaced", 0), 42);
    EXPECT_EQ(getRegistryKey(kSink, "All", 0), -1);
    EXPECT_EQ(getRegistryKey(kSink, "Huge", 3), 3);
    EXPECT_EQ(getRegistryKey(kSink, "Missing", 12), 12);
    EXPECT_EQ(getRegistryKey("SOFTWARE\\Quorvel\\Nothing", "WaitDelay", -8), -8);
}

TEST_F(RegistryReaders, StringReaderReportsTheHiveAndTruncates) {
    ASSERT_TRUE(WriteString(Scope::Machine, kSink, "Server", "rtmp://a/b"));
    ASSERT_TRUE(WriteDword(Scope::User, kSink, "Number", 5));
    char buf[64];
    int hive = -1;
    EXPECT_EQ(getRegistryString(kSink, "Server", buf, sizeof buf, &hive), 0);
    EXPECT_STREQ(buf, "rtmp://a/b");
    EXPECT_EQ(hive, 1);
    ASSERT_TRUE(WriteString(Scope::User, kSink, "Server", "rtmp://user/x"));
    EXPECT_EQ(getRegistryString(kSink, "server", buf, sizeof buf, &hive), 0);
    EXPECT_STREQ(buf, "rtmp://user/x");
    EXPECT_EQ(hive, 0);
    char small[5];
    std::memset(small, 'Z', sizeof small);
    EXPECT_EQ(getRegistryString(kSink, "Server", small, sizeof small, &hive), 0);
    EXPECT_STREQ(small, "rtmp");
    EXPECT_EQ(getRegistryString(kSink, "Missing", buf, sizeof buf, &hive), -1);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(getRegistryString(kSink, "Number", buf, sizeof buf, &hive), -1);
    EXPECT_EQ(getRegistryString(kSink, "Server", buf, 0, &hive), -1);
}

TEST_F(RegistryReaders, ReadersLogWhatTheyReturnAtTraceFive) {
    getRegistryKey(kSink, "WaitDelay", 10000);
    EXPECT_EQ(env.Debug(), "");  // level 5 is above the default threshold
    ASSERT_TRUE(WriteDword(Scope::User, "SOFTWARE\\DebugZeph\\foundation_registry_test", "TRACE", 5));
    LogInit(&g_anchor);
    ASSERT_TRUE(WriteString(Scope::User, kSink, "WaitDelay", "2500"));
    ASSERT_TRUE(WriteString(Scope::User, kSink, "Server", "rtmp://a/b"));
    env.ClearDebug();
    getRegistryKey(kSink, "WaitDelay", 10000);
    char buf[64];
    int hive = -1;
    getRegistryString(kSink, "Server", buf, sizeof buf, &hive);
    const std::string debug = env.Debug();
    EXPECT_NE(debug.find("  getRegistryKey SOFTWARE\\Quorvel\\RtmpSink WaitDelay returns 2500 (default 10000)\r\n"),
              std::string::npos)
        << debug;
    EXPECT_NE(debug.find("  getRegistryKey SOFTWARE\\Quorvel\\RtmpSink Server returns 10 rtmp://a/b\r\n"),
              std::string::npos)
        << debug;
}
