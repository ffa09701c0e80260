#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/EventCallbacks.h"
#include "foundation/Log.h"
#include "tests/platform/TempSettings.h"

using qvtest::TempSettings;

namespace {

struct Received {
    std::vector<std::wstring> categories;
    std::vector<std::wstring> messages;
    std::vector<std::string> order;  // which callback ran, across callbacks sharing one log
};

struct Tagged {
    Received* log;
    std::string tag;
};

int Record(void* ctx, const wchar_t* category, const wchar_t* message) {
    auto* t = static_cast<Tagged*>(ctx);
    t->log->categories.emplace_back(category);
    t->log->messages.emplace_back(message);
    t->log->order.push_back(t->tag);
    return 0;
}

int Throws(void* ctx, const wchar_t*, const wchar_t*) {
    static_cast<Tagged*>(ctx)->log->order.push_back(static_cast<Tagged*>(ctx)->tag);
    throw std::runtime_error("host callback failed");
}

int Count(void* ctx, const wchar_t*, const wchar_t*) {
    ++*static_cast<int*>(ctx);
    return 0;
}

class EventCallbacks : public ::testing::Test {
protected:
    void SetUp() override {
        LogResetForTests();
        ResetEventCallbacksForTests();
    }
    void TearDown() override { ResetEventCallbacksForTests(); }
    TempSettings env;  // captures the log lines, which go to the debugger output here
};

}  // namespace

TEST_F(EventCallbacks, RegistryHolds255DistinctPairsAndRefusesThe256th) {
    int counters[256] = {};
    for (int i = 0; i < 255; ++i) ASSERT_EQ(RegisterEventCallback(&counters[i], Count), 0) << i;
    EXPECT_EQ(env.Debug(), "");
    EXPECT_EQ(RegisterEventCallback(&counters[255], Count), 1);
    EXPECT_NE(env.Debug().find("Internal Error: callback queue>255\r\n"), std::string::npos) << env.Debug();
    PostEvent("info", "ping");
    for (int i = 0; i < 255; ++i) EXPECT_EQ(counters[i], 1) << i;
    EXPECT_EQ(counters[255], 0);
}

TEST_F(EventCallbacks, DuplicatePairIsKeptOnceAndContextsAreDistinct) {
    int a = 0, b = 0;
    EXPECT_EQ(RegisterEventCallback(&a, Count), 0);
    EXPECT_EQ(RegisterEventCallback(&a, Count), 0);
    EXPECT_EQ(RegisterEventCallback(&b, Count), 0);
    PostEvent("info", "x");
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 1);
}

TEST_F(EventCallbacks, NarrowAndWidePostsArriveAsWideTextInRegistrationOrder) {
    Received got;
    Tagged first{&got, "first"}, second{&got, "second"};
    ASSERT_EQ(RegisterEventCallback(&first, Record), 0);
    ASSERT_EQ(RegisterEventCallback(&second, Record), 0);
    PostEvent("warning", "Reconnection failed: try %d to reconnect to %s", 3, "rtmp://h/\xc3\xa9");
    PostEvent(L"error", L"RTMP: %ls %d", L"Authentication failed \u00fc", 7);
    ASSERT_EQ(got.order, (std::vector<std::string>{"first", "second", "first", "second"}));
    EXPECT_EQ(got.categories[0], L"warning");
    EXPECT_EQ(got.messages[0], L"Reconnection failed: try 3 to reconnect to rtmp://h/\u00e9");
    EXPECT_EQ(got.messages[1], got.messages[0]);
    EXPECT_EQ(got.categories[2], L"error");
    EXPECT_EQ(got.messages[2], L"RTMP: Authentication failed \u00fc 7");
    // Both forms log what they deliver (TRACE, shown here only at level 0 would it pass the default).
    PostEvent("info", "%s", std::string(5000, 'a').c_str());  // cut to the buffer, still delivered
    ASSERT_EQ(got.messages.size(), 6u);
    EXPECT_EQ(got.messages[4].size(), 2047u);
    PostEvent("info", "bad utf8 \xff\xfe end");
    EXPECT_EQ(got.messages.back(), L"bad utf8 \ufffd\ufffd end");
}

TEST_F(EventCallbacks, ThrowingCallbackDoesNotStopTheNext) {
    Received got;
    Tagged bad{&got, "bad"}, good{&got, "good"};
    ASSERT_EQ(RegisterEventCallback(&bad, Throws), 0);
    ASSERT_EQ(RegisterEventCallback(&good, Record), 0);
    ASSERT_EQ(RegisterEventCallback(nullptr, nullptr), 0);  // a null function is never called
    PostEvent("info", "one");
    PostEvent(L"info", L"two");
    EXPECT_EQ(got.order, (std::vector<std::string>{"bad", "good", "bad", "good"}));
    const std::string debug = env.Debug();
    size_t first = debug.find("*** SendEvent Exception!\r\n");
    ASSERT_NE(first, std::string::npos) << debug;
    EXPECT_NE(debug.find("*** SendEvent Exception!\r\n", first + 1), std::string::npos) << debug;
}
