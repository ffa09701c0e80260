// Which ports and transports Init tries, in which order, as the settings and the URL's scheme
// decide; the connection attempts are recorded at the sink's connect seam.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <utility>
#include <vector>

#include "SinkTestSupport.h"
#include "foundation/Log.h"
#include "platform/Settings.h"

using namespace sinktest;

namespace {

using Attempts = std::vector<std::pair<int32_t, bool>>;  // port, tunnelled

class RecordingConnectSink : public TestSink {
public:
    using TestSink::TestSink;
    bool ConnectClient(const ConnectionSettings& s, bool tunnel) override {
        attempts.emplace_back(s.port, tunnel);
        return static_cast<int>(attempts.size()) - 1 == succeedAt;
    }
    Attempts attempts;
    int succeedAt = -1;
};

class SinkConnection : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qv-sinkconn-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        setenv("QV_SETTINGS_USER", (dir + "/user.json").c_str(), 1);
        setenv("QV_SETTINGS_MACHINE", (dir + "/machine.json").c_str(), 1);
    }
    void TearDown() override {
        std::remove((dir + "/user.json").c_str());
        std::remove((dir + "/machine.json").c_str());
        rmdir(dir.c_str());
    }
    static ConnectionSettings Settings(bool fallbackPorts, bool fallbackTunnel) {
        ConnectionSettings s;
        s.url = "rtmp://example.invalid/live";
        s.host = "example.invalid";
        s.app = "live";
        s.streamName = "cam";
        s.fallbackPortsDefault = fallbackPorts;
        s.fallbackTunnelDefault = fallbackTunnel;
        return s;
    }
    Attempts Run(const ConnectionSettings& s, int32_t* result = nullptr) {
        RecordingConnectSink sink;
        const int32_t r = sink.Init(s, nullptr);
        if (result) *result = r;
        return sink.attempts;
    }
    std::string dir;
};

TEST_F(SinkConnection, APlainUrlTriesItsPortThen443Then80AndFinally80Tunnelled) {
    int32_t result = 0;
    EXPECT_EQ(Run(Settings(true, true), &result), (Attempts{{1935, false}, {443, false}, {80, false}, {80, true}}));
    EXPECT_EQ(result, 1);  // where the client stopped: the TCP connect
    EXPECT_EQ(Run(Settings(false, false)), (Attempts{{1935, false}}));
    EXPECT_EQ(Run(Settings(false, true)), (Attempts{{1935, false}, {80, true}}));
    ConnectionSettings explicitPort = Settings(true, false);
    explicitPort.port = 1940;
    EXPECT_EQ(Run(explicitPort), (Attempts{{1940, false}, {443, false}, {80, false}}));
}

TEST_F(SinkConnection, ATunnelledUrlStartsOnPort80AndEndsWithAPlainConnectionOn1935) {
    ConnectionSettings s = Settings(true, true);
    s.tunnel = true;
    EXPECT_EQ(Run(s), (Attempts{{80, true}, {443, true}, {1935, true}, {1935, false}}));
}

TEST_F(SinkConnection, ASecureUrlFallsBackOnlyWhenTheSettingsAskForIt) {
    ConnectionSettings s = Settings(true, true);
    s.secure = true;
    EXPECT_EQ(Run(s), (Attempts{{443, false}}));
    ASSERT_TRUE(platform::settings::WriteDword(platform::settings::Scope::User, KEY_RTMPSINK, "FallbackPorts", 1));
    EXPECT_EQ(Run(s), (Attempts{{443, false}, {443, false}, {80, false}}));
    ASSERT_TRUE(platform::settings::WriteDword(platform::settings::Scope::User, KEY_RTMPSINK, "FallbackTunnel", 1));
    EXPECT_EQ(Run(s), (Attempts{{443, false}, {443, false}, {80, false}, {80, true}}));
    // The settings also switch a plain URL's defaults off.
    ASSERT_TRUE(platform::settings::WriteDword(platform::settings::Scope::User, KEY_RTMPSINK, "FallbackPorts", 0));
    ASSERT_TRUE(platform::settings::WriteDword(platform::settings::Scope::User, KEY_RTMPSINK, "FallbackTunnel", 0));
    EXPECT_EQ(Run(Settings(true, true)), (Attempts{{1935, false}}));
}

TEST_F(SinkConnection, AFallbackThatConnectsMakesInitSucceedAndReportsConnected) {
    RecordingConnectSink sink;
    sink.succeedAt = 2;
    int32_t ms = -1;
    EXPECT_EQ(sink.Init(Settings(true, true), &ms), 0);
    EXPECT_EQ(sink.attempts, (Attempts{{1935, false}, {443, false}, {80, false}}));
    EXPECT_GE(ms, 0);
    EXPECT_TRUE(sink.IsInited());
    EXPECT_EQ(sink.GetSinkStatus(), BS::SINK_OK);
}

}  // namespace
