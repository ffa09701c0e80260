// The client against a real server: a private nginx with the RTMP module lists the stream as
// publishing after Connect and drops it after Close, twenty times on one client object.
#include <gtest/gtest.h>

#include <chrono>

#include "RtmpTestSupport.h"
#include "TestServers.h"
#include "rtmp/session/RTMPClient.h"

using namespace std::chrono_literals;

namespace {

class RtmpNginxPublish : public rtmpit::SessionFixture {};

TEST_F(RtmpNginxPublish, PublishAndUnpublishTwentyTimesOnOneClient) {
    qvtest::NginxOptions options;
    options.record = false;
    qvtest::NginxServer nginx(options);
    std::string error;
    ASSERT_TRUE(nginx.start(&error)) << error;

    CRTMPClient client;
    ConnectionSettings s = Settings("127.0.0.1", nginx.rtmpPort(), "live", "loop");
    // Buffered sending as the sink uses it, so the send thread starts and stops every round too.
    s.outputBufferSize = 256 * 1024;
    s.outputPacketSize = 1400;
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(client.Connect(s, 10, false), CRTMPClient::CONNECT_PUBLISHED);
        EXPECT_EQ(client.m_iConnectionState.load(), CRTMPClient::STATE_PUBLISHED);
        ASSERT_TRUE(nginx.waitPublishing("live", "loop", true, 5000ms));
        // nginx answers FCUnpublish with onFCUnpublish only in some builds; the wait is bounded.
        client.SendFCUnpublish(1, 200);
        client.Close();
        EXPECT_FALSE(client.IsConnected());
        ASSERT_TRUE(nginx.waitPublishing("live", "loop", false, 5000ms));
    }
    // nginx takes the Set Chunk Size answer and the window size without complaint.
    EXPECT_EQ(nginx.errorLog().find("[error]"), std::string::npos) << nginx.errorLog();
}

}  // namespace
