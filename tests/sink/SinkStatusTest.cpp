// Status and statistics events: what the host sees when the sink starts without a server, runs
// out of reconnection attempts, or reports statistics; and the status handler.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "SinkTestSupport.h"
#include "foundation/EventCallbacks.h"
#include "foundation/Log.h"
#include "platform/Settings.h"

using namespace sinktest;
using namespace std::chrono_literals;

namespace {

struct Event {
    int32_t code = 0;
    int32_t status = -1;
    RTMPStatistics stats;
    std::string text;
};

class RecordingObserver : public NotifyEventObserver {
public:
    int32_t NotifyEvent(int32_t code, intptr_t p1, intptr_t p2) override {
        Event e;
        e.code = code;
        if (code == EC_ZEPH_RTMP_WRITER_STATUS) e.status = *reinterpret_cast<const int32_t*>(p1);
        else e.stats = *reinterpret_cast<const RTMPStatistics*>(p1);
        e.text = reinterpret_cast<const char*>(p2);
        std::lock_guard<std::mutex> g(m);
        events.push_back(e);
        cv.notify_all();
        return 0;
    }
    std::vector<Event> Events() {
        std::lock_guard<std::mutex> g(m);
        return events;
    }
    bool WaitFor(const std::function<bool(const std::vector<Event>&)>& pred, std::chrono::milliseconds t) {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, t, [&] { return pred(events); });
    }
    std::vector<int32_t> Statuses() {
        std::vector<int32_t> s;
        for (const auto& e : Events())
            if (e.code == EC_ZEPH_RTMP_WRITER_STATUS) s.push_back(e.status);
        return s;
    }
    std::mutex m;
    std::condition_variable cv;
    std::vector<Event> events;
};

std::vector<int32_t> g_handlerCalls;
std::mutex g_handlerMutex;
void Handler(void* c1, void* c2, int32_t status) {
    std::lock_guard<std::mutex> g(g_handlerMutex);
    if (c1 == reinterpret_cast<void*>(1) && c2 == reinterpret_cast<void*>(2)) g_handlerCalls.push_back(status);
}

// A loopback port that refuses connections: bound by the kernel, then closed.
int ClosedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

bool ZeroedAfterStatus(const std::vector<Event>& ev, int32_t bufferSize) {
    // Every status other than 0 is followed at once by a statistics event with fields 1..15 at 0.
    for (size_t i = 0; i < ev.size(); ++i) {
        if (ev[i].code != EC_ZEPH_RTMP_WRITER_STATUS || ev[i].status == 0) continue;
        if (i + 1 >= ev.size() || ev[i + 1].code != EC_ZEPH_RTMP_WRITER_STATS) return false;
        RTMPStatistics zero;
        zero.outputBufferSize = bufferSize;
        if (std::memcmp(&zero, &ev[i + 1].stats, sizeof zero) != 0) return false;
    }
    return true;
}

class SinkStatus : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qv-sinkstatus-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        setenv("QV_SETTINGS_USER", (dir + "/user.json").c_str(), 1);
        setenv("QV_SETTINGS_MACHINE", (dir + "/machine.json").c_str(), 1);
        std::lock_guard<std::mutex> g(g_handlerMutex);
        g_handlerCalls.clear();
    }
    void TearDown() override {
        std::remove((dir + "/user.json").c_str());
        std::remove((dir + "/machine.json").c_str());
        rmdir(dir.c_str());
    }
    ConnectionSettings Settings(int32_t attempts) {
        ConnectionSettings s;
        s.host = "127.0.0.1";
        s.port = ClosedPort();
        s.url = "rtmp://127.0.0.1/live";
        s.app = "live";
        s.streamName = "cam";
        s.startWithoutConnection = true;
        s.reconnectAttempts = attempts;
        s.reconnectInterval = 100;
        s.outputBufferSize = 65536;
        s.connectTimeout = 2;
        return s;
    }
    std::string dir;
    RecordingObserver observer;
};

TEST_F(SinkStatus, StartWithoutServerReportsReconnectingThenDisconnectedWhenNoAttemptIsAllowed) {
    TestSink sink(&observer);
    sink.connected = false;
    ASSERT_EQ(sink.SetStatusNotifyHandler(reinterpret_cast<void*>(1), reinterpret_cast<void*>(2), &Handler), S_OK);
    EXPECT_EQ(sink.SetStatusNotifyHandler(nullptr, nullptr, nullptr), E_INVALIDARG);
    ASSERT_EQ(sink.Init(Settings(0), nullptr), 0);
    // The status and the statistics that follow it are two events: wait for both.
    ASSERT_TRUE(observer.WaitFor([](const std::vector<Event>& ev) {
        for (size_t i = 0; i + 1 < ev.size(); ++i)
            if (ev[i].code == EC_ZEPH_RTMP_WRITER_STATUS && ev[i].status == 1) return true;
        return false;
    }, 5s));
    EXPECT_EQ(observer.Statuses(), (std::vector<int32_t>{2, 1}));
    const auto ev = observer.Events();
    EXPECT_TRUE(ZeroedAfterStatus(ev, 65536));
    EXPECT_EQ(ev[0].text, "rtmp://127.0.0.1/live+cam");
    EXPECT_EQ(sink.GetSinkStatus(), BS::SINK_ERROR);
    sink.Close();
    // Close after a status of 1 reports nothing more.
    EXPECT_EQ(observer.Statuses(), (std::vector<int32_t>{2, 1}));
    std::lock_guard<std::mutex> g(g_handlerMutex);
    // The handler kept after the refused null one saw both changes.
    EXPECT_EQ(g_handlerCalls, (std::vector<int32_t>{2, 1}));
}

TEST_F(SinkStatus, ReconnectAttemptsRunOutAfterTheConfiguredCountWithStatusOne) {
    TestSink sink(&observer);
    sink.connected = false;
    ASSERT_EQ(sink.Init(Settings(2), nullptr), 0);
    ASSERT_TRUE(observer.WaitFor([](const std::vector<Event>& ev) {
        return !ev.empty() && ev.size() >= 2 && ev[ev.size() - 2].code == EC_ZEPH_RTMP_WRITER_STATUS &&
               ev[ev.size() - 2].status == 1;
    }, 10s));
    const auto statuses = observer.Statuses();
    ASSERT_GE(statuses.size(), 3u);
    EXPECT_EQ(statuses.front(), 2);
    EXPECT_EQ(statuses.back(), 1);
    for (size_t i = 0; i + 1 < statuses.size(); ++i) EXPECT_EQ(statuses[i], 2) << i;
    EXPECT_TRUE(ZeroedAfterStatus(observer.Events(), 65536));
    // The reconnect thread reports 1 before it withdraws the reconnection signal.
    int32_t status = BS::SINK_RECONNECTION;
    for (int i = 0; i < 200 && status == BS::SINK_RECONNECTION; ++i) {
        status = sink.GetSinkStatus();
        if (status == BS::SINK_RECONNECTION) std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(status, BS::SINK_ERROR);
    EXPECT_EQ(observer.Statuses().back(), 1);
}

TEST_F(SinkStatus, StatisticsArriveEveryPeriodAndNotAtAllWithPeriodZero) {
    ASSERT_TRUE(platform::settings::WriteDword(platform::settings::Scope::User, KEY_RTMPSINK, "NotifyStatisticsTime", 50));
    {
        TestSink sink(&observer);
        sink.connected = false;
        ASSERT_TRUE(sink.AddTrack(VideoFormat(), TRACK_TYPE_VIDEO, 0));
        ASSERT_EQ(sink.Init(Settings(0), nullptr), 0);
        ASSERT_TRUE(observer.WaitFor([](const std::vector<Event>& ev) {
            int n = 0;
            for (size_t i = 1; i < ev.size(); ++i)
                if (ev[i].code == EC_ZEPH_RTMP_WRITER_STATS && ev[i - 1].code == EC_ZEPH_RTMP_WRITER_STATS) ++n;
            return n >= 3;
        }, 5s));
        const auto ev = observer.Events();
        const Event& last = ev.back();
        ASSERT_EQ(last.code, EC_ZEPH_RTMP_WRITER_STATS);
        // No sniffer: the acknowledged and payload figures and the round-trip time stay 0.
        EXPECT_EQ(last.stats.AckBitrate(), 0);
        EXPECT_EQ(last.stats.PayloadBitrate(), 0);
        EXPECT_EQ(last.stats.roundTripTime, 0);
        EXPECT_EQ(last.stats.outputBufferSize, 65536);
        EXPECT_EQ(last.stats.bufferedVideoPackets, 0);
        // Two statistics in the same millisecond: no division by zero, a bitrate of 0.
        sink.SendStatistics(0);
        sink.SendStatistics(0);
        EXPECT_EQ(observer.Events().back().stats.OutputBitrate(), 0);
    }
    ASSERT_TRUE(platform::settings::WriteDword(platform::settings::Scope::User, KEY_RTMPSINK, "NotifyStatisticsTime", 0));
    RecordingObserver quiet;
    TestSink sink(&quiet);
    sink.connected = false;
    ASSERT_EQ(sink.Init(Settings(0), nullptr), 0);
    EXPECT_FALSE(quiet.WaitFor([](const std::vector<Event>& ev) {
        int stats = 0;
        for (const auto& e : ev) stats += e.code == EC_ZEPH_RTMP_WRITER_STATS;
        return stats > 2;  // the two that follow statuses 2 and 1
    }, 400ms));
}

TEST(SinkStatusEvent, WithoutObserverTheStatusStillReachesTheHandler) {
    TestSink sink;
    EXPECT_EQ(sink.SendNotifyEvent(EC_ZEPH_RTMP_WRITER_STATUS, nullptr, ""), -1);
    ASSERT_EQ(sink.SetStatusNotifyHandler(reinterpret_cast<void*>(1), reinterpret_cast<void*>(2), &Handler), S_OK);
    {
        std::lock_guard<std::mutex> g(g_handlerMutex);
        g_handlerCalls.clear();
    }
    const int32_t status = 2;
    EXPECT_EQ(sink.SendNotifyEvent(EC_ZEPH_RTMP_WRITER_STATUS, &status, "x"), 1);
    sink.ClearStatusNotifyHandler();
    EXPECT_EQ(sink.SendNotifyEvent(EC_ZEPH_RTMP_WRITER_STATUS, &status, "x"), 1);
    std::lock_guard<std::mutex> g(g_handlerMutex);
    EXPECT_EQ(g_handlerCalls, (std::vector<int32_t>{2}));
}

std::mutex g_textMutex;
std::vector<std::pair<std::wstring, std::wstring>> g_texts;
int CollectText(void*, const wchar_t* category, const wchar_t* message) {
    std::lock_guard<std::mutex> g(g_textMutex);
    g_texts.emplace_back(category, message);
    return 0;
}

TEST_F(SinkStatus, AFailedConnectReturnsTheConnectionStateAndTellsTheHostWhy) {
    RegisterEventCallback(nullptr, &CollectText);
    {
        std::lock_guard<std::mutex> g(g_textMutex);
        g_texts.clear();
    }
    TestSink sink(&observer);
    ConnectionSettings s = Settings(3);
    s.startWithoutConnection = false;
    // No fallback: the single refused port ends the attempt with "TCP connect failed".
    EXPECT_EQ(sink.Init(s, nullptr), 1);
    EXPECT_FALSE(sink.IsInited());
    EXPECT_TRUE(observer.Statuses().empty());
    std::lock_guard<std::mutex> g(g_textMutex);
    EXPECT_NE(std::find(g_texts.begin(), g_texts.end(),
                        std::make_pair(std::wstring(L"error"), std::wstring(L"RTMP: TCP connect failed: rtmp://127.0.0.1/live"))),
              g_texts.end());
}

}  // namespace
