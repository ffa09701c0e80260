#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/EventCallbacks.h"
#include "foundation/Log.h"
#include "tests/platform/TempSettings.h"

namespace {

struct Sink {
    explicit Sink(std::vector<std::string>* o = nullptr, std::string t = {}) : order(o), tag(std::move(t)) {}
    std::vector<std::string>* order;
    std::string tag;
    std::vector<std::wstring> categories, messages;
    int count = 0;
};
int Record(void* ctx, const wchar_t* category, const wchar_t* message) {
    auto* s = static_cast<Sink*>(ctx);
    s->categories.emplace_back(category);
    s->messages.emplace_back(message);
    ++s->count;
    if (s->order) s->order->push_back(s->tag);
    return 0;
}
int Throws(void* ctx, const wchar_t* c, const wchar_t* m) {
    Record(ctx, c, m);
    throw std::runtime_error("host callback failed");
}

class EventCallbacks : public ::testing::Test {
protected:
    void SetUp() override { LogResetForTests(), ResetEventCallbacksForTests(); }
    void TearDown() override { ResetEventCallbacksForTests(); }
    qvtest::TempSettings env;  // captures the log lines
};

}  // namespace

TEST_F(EventCallbacks, RegistryKeepsDistinctPairsOnceAndRefusesThe256th) {
    std::vector<Sink> sinks(256);
    EXPECT_EQ(RegisterEventCallback(&sinks[0], Record), 0);  // the same pair twice: kept once
    for (int i = 0; i < 255; ++i) ASSERT_EQ(RegisterEventCallback(&sinks[i], Record), 0) << i;
    EXPECT_EQ(env.Debug(), "");
    EXPECT_EQ(RegisterEventCallback(&sinks[255], Record), 1);
    EXPECT_NE(env.Debug().find("Internal Error: callback queue>255\r\n"), std::string::npos) << env.Debug();
    PostEvent("info", "ping");
    for (int i = 0; i < 255; ++i) EXPECT_EQ(sinks[i].count, 1) << i;  // same function, own context each
    EXPECT_EQ(sinks[255].count, 0);
}

TEST_F(EventCallbacks, PostsArriveAsWideTextInOrderPastAThrowingCallback) {
    std::vector<std::string> order;
    Sink bad{&order, "bad"}, good{&order, "good"};
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
    EXPECT_EQ(good.categories[0], L"warning");
    // A multibyte character at the very end of the text is decoded, not replaced.
    EXPECT_EQ(good.messages[0], L"Reconnection failed: try 3 to reconnect to rtmp://h/\u00e9");
    EXPECT_EQ(good.categories[1], L"error");
    EXPECT_EQ(good.messages[1], L"RTMP: Authentication failed \u00fc 7");
    EXPECT_EQ(good.messages[2].size(), 2047u);
    EXPECT_EQ(good.messages[3], L"bad utf8 \ufffd\ufffd end \u00e9");
    const std::string debug = env.Debug();
    const std::string ex = "*** SendEvent Exception!\r\n";
    size_t first = debug.find(ex);
    ASSERT_NE(first, std::string::npos) << debug;
    EXPECT_NE(debug.find(ex, first + 1), std::string::npos) << debug;
}
