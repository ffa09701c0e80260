// The publishing client end to end: against the scriptable fake server (the wire as the server
// recorded it, every way a connection attempt can end, authentication) and a private nginx.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "TestServers.h"
#include "foundation/Log.h"
#include "net/TCPResult.h"
#include "platform/Settings.h"
#include "rtmp/RtmpDefs.h"
#include "rtmp/session/RTMPClient.h"

using namespace std::chrono_literals;
using qvtest::FakeRtmpEntry;
using qvtest::FakeRtmpServer;
using Bytes = std::vector<uint8_t>;
using Record = std::vector<FakeRtmpEntry>;
using Names = std::vector<std::string>;

namespace {

constexpr uint32_t kWaitDelayMs = 1500;

// A private settings store with the client's waits shortened.
class RtmpSession : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_settingsDir.ok());
        setenv("QV_SETTINGS_USER", m_settingsDir.file("user.json").c_str(), 1);
        setenv("QV_SETTINGS_MACHINE", m_settingsDir.file("machine.json").c_str(), 1);
        ASSERT_TRUE(Write("WaitDelay", kWaitDelayMs));
    }
    static bool Write(const char* name, uint32_t value) {
        return platform::settings::WriteDword(platform::settings::Scope::User, KEY_RTMPSINK, name, value);
    }
    static bool Start(FakeRtmpServer& server, std::vector<std::string> args) {
        std::string error;
        return server.start({std::move(args)}, &error) || (ADD_FAILURE() << error, false);
    }
    static ConnectionSettings Settings(int port, const std::string& stream = "cam1") {
        ConnectionSettings s;
        s.url = "rtmp://127.0.0.1/live", s.host = "127.0.0.1", s.app = "live", s.streamName = stream;
        s.port = port, s.connectTimeout = 5;
        return s;
    }
    // The messages the client sent on one connection.
    static std::vector<const FakeRtmpEntry*> In(const Record& rec, int conn) {
        std::vector<const FakeRtmpEntry*> out;
        for (const auto& e : rec)
            if (e.kind == "message" && e.dir == "in" && e.conn == conn) out.push_back(&e);
        return out;
    }
    static const FakeRtmpEntry* Block(const Record& rec, const std::string& block) {
        for (const auto& e : rec)
            if (e.kind == "handshake" && e.block == block) return &e;
        return nullptr;
    }
    qvtest::TempDir m_settingsDir{"qv-rtmpsession"};
};

// Two connections of one client: the socket of the first goes away under the session without the
// client's own Close, and the second is a new publication all the same.
TEST_F(RtmpSession, PublishesInOrderAndAnswersTheServersControlMessages) {
    // createStream is first answered for another transaction; onFCPublish comes as an AMF3
    // command (type 17).
    FakeRtmpServer server;
    ASSERT_TRUE(Start(server, {"--stream-id", "7", "--create-stream-reply", "stray", "--s1-zero", "99",
                               "--fcpublish-flex", "--action", R"({"on":"connect","send":"chunk_size","value":4096})",
                               "--action", R"({"on":"connect","send":"window_ack","value":5000000})",
                               "--action", R"({"on":"connect","send":"peer_bandwidth","value":2500000})",
                               "--action", R"({"on":"hello","send":"user_control","event":6,"value":12345})"}));
    CRTMPClient client;
    client.SetRecordMode(2);
    ASSERT_EQ(client.Connect(Settings(server.port()), 10, false), CRTMPClient::CONNECT_PUBLISHED);
    EXPECT_EQ(client.m_iStreamID.load(), 7);
    EXPECT_EQ(client.GetPeerBandwidth(), 2500000u);
    // The Acknowledgement is the last thing the connect sequence sends. Then our chunk size is in
    // effect: 600 bytes cross two chunk borders at 256.
    ASSERT_TRUE(server.waitFor([](const FakeRtmpEntry& e) { return e.dir == "in" && e.type == RTMP_PT_BYTES_READ; }, 5s));
    const Bytes hello = {0x02, 0x00, 0x05, 'h', 'e', 'l', 'l', 'o', 0x02, 0x02, 0x4D};  // then 0x24D bytes of string
    BS::DataPtr data(BS::data_t::Create(600, false, 0, 0, NO_TIME));
    std::memset(std::copy(hello.begin(), hello.end(), data->data), 'x', 600 - hello.size());
    ASSERT_TRUE(client.SendCommandData(data.get(), 3, RTMP_PT_INVOKE));
    ASSERT_TRUE(server.waitFor([](const FakeRtmpEntry& e) { return e.dir == "in" && e.type == RTMP_PT_USER_CONTROL; }, 5s));
    BS::format_t video;
    video.kind = BS::FORMAT_KIND_VIDEO, video.video.width = video.video.height = 240;
    ASSERT_TRUE(client.SendMetadata(&video, nullptr, false, true));
    EXPECT_TRUE(client.IsMetadataSent());
    client.CTCPClient::Close();
    ASSERT_EQ(client.Connect(Settings(server.port()), 10, false), CRTMPClient::CONNECT_PUBLISHED);
    EXPECT_FALSE(client.IsMetadataSent());
    EXPECT_TRUE(client.SendFCUnpublish(1, 2000));
    EXPECT_TRUE(client.SendFCPublish(1));
    client.Close();
    server.stop();
    const auto rec = server.record();
    const FakeRtmpEntry *c0 = Block(rec, "C0"), *c1 = Block(rec, "C1"), *s1 = Block(rec, "S1"), *c2 = Block(rec, "C2");
    ASSERT_TRUE(c0 && c1 && s1 && c2);
    EXPECT_EQ(c0->bytes, Bytes{3});
    ASSERT_EQ(c1->bytes.size(), 1536u);
    EXPECT_EQ(Bytes(c1->bytes.begin(), c1->bytes.begin() + 8), Bytes(8, 0));  // time and zero field
    EXPECT_EQ(c2->bytes, s1->bytes);
    for (int conn = 0; conn < 2; ++conn) {
        SCOPED_TRACE(conn);
        uint64_t received = 0;  // what the Acknowledgement must count
        for (const auto& e : rec) {
            if (e.conn == conn && e.dir == "in" && e.type == RTMP_PT_BYTES_READ) break;
            if (e.conn == conn && e.dir == "out") received += e.kind == "handshake" ? e.bytes.size() : e.raw["wire"].asUInt64();
        }
        // "type/chunk stream/message stream", then a command's name and transaction or a control
        // message's value. The answers: our chunk size (1), the window size (5) to Set Peer
        // Bandwidth only, the ping's pong (4).
        const auto msgs = In(rec, conn);
        Names got, want = {"20/3/0 connect 1", "1/2/0 256", "5/2/0 2500000", "20/3/0 releaseStream 1", "20/3/0 FCPublish 2",
                           "20/3/0 createStream 3", "20/4/7 publish 4", "20/4/7 publish 5", "3/2/7 " + std::to_string(received)};
        for (const auto* m : msgs)
            got.push_back(std::to_string(m->type) + "/" + std::to_string(m->csid) + "/" + std::to_string(m->streamId) + " " +
                          (m->name.empty() ? std::to_string(m->raw["value"].asUInt64())
                                           : m->name + (m->amf[1].isDouble() ? " " + std::to_string(m->amf[1].asInt()) : "")));
        if (conn == 0) want.insert(want.end(), {"20/3/7 hello", "4/2/0 12345", "18/4/7 @setDataFrame"});
        if (conn == 1) want.insert(want.end(), {"20/3/7 FCUnpublish 1", "20/3/7 FCPublish 1"});
        ASSERT_EQ(got, want);
        EXPECT_EQ(msgs[0]->amf[2]["tcUrl"].asString(), "rtmp://127.0.0.1/live");
        EXPECT_EQ(msgs[3]->amf[3].asString() + msgs[6]->amf[3].asString() + msgs[7]->amf[3].asString(), "cam1cam1cam1");
        EXPECT_EQ(msgs[6]->amf[4].asString() + "," + msgs[7]->amf[4].asString(), "live,append");
        if (conn > 0) continue;
        EXPECT_EQ(msgs[9]->raw["chunks"].asInt(), 3);
        EXPECT_EQ(msgs[9]->bytes.size(), 600u);
        EXPECT_EQ(msgs[10]->raw["event"].asInt(), 7);
    }
}

// Every way a connection attempt can end: result, state, how long it waited, what the server
// concluded (with authentication), and the app of each connect.
TEST_F(RtmpSession, ConnectionAttemptOutcomes) {
    using testing::ElementsAre, testing::EndsWith, testing::HasSubstr, testing::SizeIs;
    const auto adobe = [](const std::string& user) { return "live?authmod=adobe&user=" + user; };
    const int FAIL = CRTMPClient::CONNECT_SESSION_FAILED, OK = CRTMPClient::CONNECT_PUBLISHED;
    const int32_t PUBLISHED = CRTMPClient::STATE_PUBLISHED, HANDSHAKE = CRTMPClient::STATE_HANDSHAKE,
                  COMMANDS = CRTMPClient::STATE_COMMANDS, REJECTED = CRTMPClient::STATE_ACCESS_REJECTED;
    struct Case {
        const char* what;
        std::vector<std::string> args;
        int result;
        int32_t state;
        bool waits = false;  // ends by the client's wait
        std::string user{}, password{};
        uint32_t authMode = rtmp::AUTH_ADOBE;
        Names verdicts{};
        testing::Matcher<Names> apps = testing::Each("live");
        testing::Matcher<Names> commands = testing::_;  // "name@stream id" of each command sent
    };
    Names rounds = {"connect@0", "releaseStream@0", "FCPublish@0"};  // each on the stream its createStream returned
    for (int id = 1; id <= 5; ++id) rounds.insert(rounds.end(), {"createStream@0", "publish@" + std::to_string(id)});
    const Case cases[] = {
        {"no S2", {"--no-s2"}, FAIL, HANDSHAKE, true},
        {"RTMPE answer", {"--s0-version", "6"}, FAIL, HANDSHAKE},
        {"connect unanswered", {"--connect-reply", "none"}, FAIL, COMMANDS, true},
        {"access denied", {"--connect-reply", "[ AccessManager.Reject ] : [ code=403 ] : Access denied."}, FAIL, REJECTED},
        {"createStream unanswered", {"--create-stream-reply", "none"}, FAIL, COMMANDS, true},
        // The lost connection cuts the wait short.
        {"createStream dropped", {"--action", R"({"on":"createStream","send":"close"})"}, FAIL, COMMANDS},
        // An _error to publish does not wake the wait.
        {"publish refused", {"--publish-error"}, FAIL, COMMANDS, true},
        {"adobe", {"--auth", "adobe", "--user", "alice", "--password", "s3cret"}, OK, PUBLISHED, false, "alice", "s3cret", 0,
         {"challenge", "accept"},
         ElementsAre(adobe("alice"), testing::AllOf(testing::StartsWith(adobe("alice") + "&challenge=UXZSTA==&response="),
                                                    EndsWith("&opaque=T3BhcXVlVmFs")))},
        {"llnw by default", {"--auth", "llnw", "--user", "bob", "--password", "pw"}, OK, PUBLISHED, false, "bob", "pw", 1,
         {"challenge", "accept"}, ElementsAre("live?authmod=llnw&user=bob", HasSubstr("&nonce=4e6f6e6365303031&nc=0000001&cnonce="))},
        {"switch to llnw", {"--auth", "llnw"}, OK, PUBLISHED, false, "user", "pass", 0, {"need_auth", "challenge", "accept"},
         ElementsAre(adobe("user"), "live?authmod=llnw&user=user", HasSubstr("&response="))},
        // Kept open after a refusal, so the failure is the refusal's and not a lost connection's.
        {"wrong password", {"--auth", "adobe", "--keep-open-after-refusal"}, FAIL, REJECTED, false, "user", "wrong", 0,
         {"challenge", "refuse"}, SizeIs(2)},
        // Only the first pass of an attempt announces the command phase, so the attempt ends in
        // the state the second connection's handshake left.
        {"response unanswered", {"--auth", "adobe", "--connect-reply", "none"}, FAIL, HANDSHAKE, true, "user", "pass", 0,
         {"challenge", "accept"}, SizeIs(2)},
        // Scheme switch, challenge, then the third connection is dropped: a fourth attempt was needed.
        {"no attempt left", {"--auth", "llnw", "--action", R"({"on":"connect","send":"close","connection":2})"},
         CRTMPClient::CONNECT_RETRY, HANDSHAKE, false, "user", "pass", 0, {"need_auth", "challenge"}, SizeIs(3)},
        {"no user name", {"--auth", "adobe", "--keep-open-after-refusal"}, FAIL, COMMANDS, false, "", "", 0, {"need_auth"}},
        {.what = "BadName every round", .args = {"--bad-name"}, .result = OK, .state = PUBLISHED,
         .commands = testing::ElementsAreArray(rounds)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(Write("DefaultAuthMode", c.authMode));
        FakeRtmpServer server;
        ASSERT_TRUE(Start(server, c.args));
        CRTMPClient client;
        ConnectionSettings s = Settings(server.port());
        s.userName = c.user, s.password = c.password;
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(client.Connect(s, 10, false), c.result);
        const auto waited = std::chrono::steady_clock::now() - t0;
        EXPECT_EQ(client.m_iConnectionState.load(), c.state);
        EXPECT_EQ(client.IsConnected(), c.result == OK);
        if (c.waits) { EXPECT_GE(waited, std::chrono::milliseconds(kWaitDelayMs - 50)); }
        EXPECT_LT(waited, std::chrono::milliseconds(kWaitDelayMs * 2));
        const bool handshakeFailed = c.state == HANDSHAKE && c.user.empty();
        client.Close();
        server.stop();
        const auto rec = server.record();
        EXPECT_EQ(Block(rec, "C2") == nullptr, handshakeFailed);
        Names apps, verdicts, commands;
        for (const FakeRtmpEntry& e : rec) {
            EXPECT_NE(e.kind, "raw") << "bytes after a handshake the client gave up";
            if (e.kind == "auth") verdicts.push_back(e.raw["event"].asString());
            if (e.dir == "in" && e.type == RTMP_PT_INVOKE) commands.push_back(e.name + "@" + std::to_string(e.streamId));
            if (e.dir != "in" || e.name != "connect") continue;
            apps.push_back(e.amf[2]["app"].asString());
            // An authenticating client names the non-private connection type.
            EXPECT_EQ(e.amf[2]["type"].asString(), c.user.empty() ? "" : "nonprivate");
        }
        EXPECT_EQ(verdicts, c.verdicts);
        EXPECT_THAT(apps, c.apps);
        EXPECT_THAT(commands, c.commands);
    }
}

TEST_F(RtmpSession, RefusedBeforeAnyRtmp) {
    CRTMPClient client;
    auto port = qvtest::freeTcpPort();
    ASSERT_TRUE(port);
    EXPECT_EQ(client.Connect(Settings(*port), 10, false), CRTMPClient::CONNECT_FAILED);  // nothing listens
    EXPECT_EQ(client.m_iConnectionState.load(), CRTMPClient::STATE_TCP);
    EXPECT_EQ(client.Connect(Settings(-1), 10, false), CRTMPClient::CONNECT_SOCKET);  // the resolver refuses the port
    ConnectionSettings http = Settings(1935);
    http.url = "http://127.0.0.1/live";
    EXPECT_EQ(client.Connect(http, 10, false), CRTMPClient::CONNECT_FAILED);
    // Nor through the tunnel when nothing listens.
    EXPECT_EQ(client.Connect(Settings(1935), 10, true), CRTMPClient::CONNECT_FAILED);
    EXPECT_FALSE(client.IsConnected());
    struct TimingOutClient : CRTMPClient {
        using CRTMPClient::Connect;
        int Connect(TCPClientParams) override { return TCP_TIMEOUT; }
    } timingOut;
    EXPECT_EQ(timingOut.Connect(Settings(1935), 10, false), CRTMPClient::CONNECT_TIMEOUT);
    EXPECT_EQ(timingOut.m_iConnectionState.load(), CRTMPClient::STATE_TCP);
}

}  // namespace
