// Authentication end to end against the fake server's adobe and llnw checks: the challenge
// exchange over two connections, a scheme switch over three, wrong passwords, and the result
// when no attempt is left.
#include <gtest/gtest.h>

#include "RtmpTestSupport.h"
#include "TestServers.h"
#include "rtmp/session/RTMPClient.h"

using qvtest::FakeRtmpEntry;
using qvtest::FakeRtmpOptions;
using qvtest::FakeRtmpServer;
using rtmpit::EventLog;

namespace {

class RtmpAuthSession : public rtmpit::SessionFixture {
protected:
    void Start(std::vector<std::string> args, Json::Value scenario = Json::Value()) {
        FakeRtmpOptions o;
        o.args = std::move(args);
        o.scenario = std::move(scenario);
        std::string error;
        ASSERT_TRUE(m_server.start(o, &error)) << error;
    }
    ConnectionSettings Settings(const std::string& user, const std::string& password) {
        ConnectionSettings s = SessionFixture::Settings("127.0.0.1", m_server.port());
        s.userName = user;
        s.password = password;
        return s;
    }
    // What the server concluded for each connect, in order ("need_auth", "challenge", "accept", "refuse").
    std::vector<std::string> Verdicts() {
        m_server.stop();
        std::vector<std::string> v;
        for (const FakeRtmpEntry& e : m_server.record())
            if (e.kind == "auth") v.push_back(e.raw["event"].asString());
        return v;
    }
    std::vector<std::string> ConnectApps() {
        std::vector<std::string> apps;
        for (const FakeRtmpEntry& e : m_server.record())
            if (e.dir == "in" && e.name == "connect") apps.push_back(e.amf[2]["app"].asString());
        return apps;
    }
    void SetDefaultAuthMode(int mode) {
        ASSERT_TRUE(platform::settings::WriteDword(platform::settings::Scope::User, KEY_RTMPSINK, "DefaultAuthMode",
                                                   static_cast<uint32_t>(mode)));
    }

    FakeRtmpServer m_server;
};

TEST_F(RtmpAuthSession, AdobeChallengeAndResponse) {
    Start({"--auth", "adobe", "--user", "alice", "--password", "s3cret"});
    CRTMPClient client;
    ASSERT_EQ(client.Connect(Settings("alice", "s3cret"), 10, false), CRTMPClient::CONNECT_PUBLISHED);
    EXPECT_EQ(client.m_iConnectionState.load(), CRTMPClient::STATE_PUBLISHED);
    client.Close();
    EXPECT_EQ(Verdicts(), (std::vector<std::string>{"challenge", "accept"}));
    auto apps = ConnectApps();
    ASSERT_EQ(apps.size(), 2u);
    EXPECT_EQ(apps[0], "live?authmod=adobe&user=alice");
    EXPECT_EQ(apps[1].rfind("live?authmod=adobe&user=alice&challenge=UXZSTA==&response=", 0), 0u) << apps[1];
    EXPECT_NE(apps[1].find("&opaque=T3BhcXVlVmFs"), std::string::npos) << apps[1];
    // The connect of an authenticating client names the non-private connection type.
    for (const FakeRtmpEntry& e : m_server.record())
        if (e.dir == "in" && e.name == "connect") {
            EXPECT_EQ(e.amf[2]["type"].asString(), "nonprivate");
        }
}

TEST_F(RtmpAuthSession, AdobeWithoutOpaque) {
    Start({"--auth", "adobe", "--opaque", ""});
    CRTMPClient client;
    ASSERT_EQ(client.Connect(Settings("user", "pass"), 10, false), CRTMPClient::CONNECT_PUBLISHED);
    client.Close();
    EXPECT_EQ(Verdicts(), (std::vector<std::string>{"challenge", "accept"}));
    auto apps = ConnectApps();
    ASSERT_EQ(apps.size(), 2u);
    EXPECT_EQ(apps[1].substr(apps[1].size() - 8), "&opaque=");
}

TEST_F(RtmpAuthSession, LlnwWhenConfiguredAsDefault) {
    SetDefaultAuthMode(1);
    Start({"--auth", "llnw", "--user", "bob", "--password", "pw"});
    CRTMPClient client;
    EXPECT_EQ(client.GetAuthMode(), rtmp::AUTH_LLNW);
    ASSERT_EQ(client.Connect(Settings("bob", "pw"), 10, false), CRTMPClient::CONNECT_PUBLISHED);
    client.Close();
    EXPECT_EQ(Verdicts(), (std::vector<std::string>{"challenge", "accept"}));
    auto apps = ConnectApps();
    ASSERT_EQ(apps.size(), 2u);
    EXPECT_EQ(apps[0], "live?authmod=llnw&user=bob");
    EXPECT_NE(apps[1].find("&nonce=4e6f6e6365303031&nc=0000001&cnonce="), std::string::npos) << apps[1];
}

TEST_F(RtmpAuthSession, SchemeSwitchTakesThreeAttempts) {
    // The client starts with adobe; the server wants llnw.
    Start({"--auth", "llnw"});
    CRTMPClient client;
    ASSERT_EQ(client.Connect(Settings("user", "pass"), 10, false), CRTMPClient::CONNECT_PUBLISHED);
    EXPECT_EQ(client.GetAuthMode(), rtmp::AUTH_LLNW);
    client.Close();
    EXPECT_EQ(Verdicts(), (std::vector<std::string>{"need_auth", "challenge", "accept"}));
    auto apps = ConnectApps();
    ASSERT_EQ(apps.size(), 3u);
    EXPECT_EQ(apps[0], "live?authmod=adobe&user=user");
    EXPECT_EQ(apps[1], "live?authmod=llnw&user=user");
}

TEST_F(RtmpAuthSession, WrongPasswordIsRefused) {
    // The server keeps the connection after a refusal, so the failure is the session's, not a retry.
    Start({"--auth", "adobe", "--keep-open-after-refusal"});
    CRTMPClient client;
    EXPECT_EQ(client.Connect(Settings("user", "wrong"), 10, false), CRTMPClient::CONNECT_SESSION_FAILED);
    EXPECT_EQ(client.m_iConnectionState.load(), CRTMPClient::STATE_ACCESS_REJECTED);
    EXPECT_TRUE(EventLog::Instance().Has("error1", "_error 1"));
    EXPECT_TRUE(EventLog::Instance().Has("flashcode", "NetConnection.Connect.Rejected"));
    client.Close();
    EXPECT_EQ(Verdicts(), (std::vector<std::string>{"challenge", "refuse"}));
}

TEST_F(RtmpAuthSession, UnansweredResponseEndsInTheHandshakeState) {
    // The challenge is answered on a second connection, whose connect the server accepts but
    // never replies to. Only the first pass of an attempt announces the command phase, so the
    // sink learns that the attempt stopped where that connection's handshake left it.
    Start({"--auth", "adobe", "--connect-reply", "none"});
    CRTMPClient client;
    EXPECT_EQ(client.Connect(Settings("user", "pass"), 10, false), CRTMPClient::CONNECT_SESSION_FAILED);
    EXPECT_EQ(client.m_iConnectionState.load(), CRTMPClient::STATE_HANDSHAKE);
    EXPECT_TRUE(EventLog::Instance().Has("info1", "rtmp: ERROR: rtmp server does not reply."));
    EXPECT_TRUE(EventLog::Instance().Has("error", "Connection failed"));
    EXPECT_FALSE(client.IsConnected());
    EXPECT_EQ(Verdicts(), (std::vector<std::string>{"challenge", "accept"}));
}

TEST_F(RtmpAuthSession, NoAttemptLeft) {
    // Scheme switch, challenge, and then the third connection is dropped at connect: the client
    // needed a fourth attempt and reports that.
    Json::Value scenario;
    Json::Value drop;
    drop["on"] = "connect";
    drop["send"] = "close";
    drop["connection"] = 2;
    scenario["actions"].append(drop);
    Start({"--auth", "llnw"}, scenario);
    CRTMPClient client;
    EXPECT_EQ(client.Connect(Settings("user", "pass"), 10, false), CRTMPClient::CONNECT_RETRY);
    EXPECT_FALSE(client.IsConnected());
    EXPECT_EQ(Verdicts(), (std::vector<std::string>{"need_auth", "challenge"}));
    EXPECT_EQ(ConnectApps().size(), 3u);
}

TEST_F(RtmpAuthSession, NoUserNameMeansNoAuthentication) {
    // Kept open after the refusal, so the client sees the refusal and not a lost connection.
    Start({"--auth", "adobe", "--keep-open-after-refusal"});
    CRTMPClient client;
    EXPECT_EQ(client.Connect(Settings("", ""), 10, false), CRTMPClient::CONNECT_SESSION_FAILED);
    EXPECT_TRUE(EventLog::Instance().Has("info1", "rtmp: auth connect 2"));
    auto apps = ConnectApps();
    ASSERT_EQ(apps.size(), 1u);
    EXPECT_EQ(apps[0], "live");
}

}  // namespace
