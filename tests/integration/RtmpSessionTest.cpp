// The publishing client end to end: against the scriptable fake server (the wire as the server
// recorded it, every way a connection attempt can end, authentication) and a private nginx.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <mutex>

#include "TestServers.h"
#include "foundation/EventCallbacks.h"
#include "foundation/Log.h"
#include "net/TCPResult.h"
#include "platform/Settings.h"
#include "rtmp/RtmpDefs.h"
#include "rtmp/session/RTMPClient.h"

using namespace std::chrono_literals;
using qvtest::FakeRtmpEntry;
using qvtest::FakeRtmpServer;
using testing::Matcher;

namespace {

// Text events as the host receives them. The callback queue is process-wide, so one collector
// serves every test and is cleared per attempt.
struct EventLog {
    static EventLog& Instance() {
        static EventLog log;
        return log;
    }
    void Clear() {
        std::lock_guard<std::mutex> g(mutex);
        events.clear();
    }
    int Count(const std::string& category, const std::string& text) {
        std::lock_guard<std::mutex> g(mutex);
        return static_cast<int>(std::count(events.begin(), events.end(), category + "|" + text));
    }
    EventLog() {
        RegisterEventCallback(this, [](void* ctx, const wchar_t* category, const wchar_t* message) {
            std::string s;
            for (const wchar_t* w = category; w && *w; ++w) s.push_back(static_cast<char>(*w));
            for (s += '|'; message && *message; ++message) s.push_back(static_cast<char>(*message));
            auto* self = static_cast<EventLog*>(ctx);
            std::lock_guard<std::mutex> g(self->mutex);
            self->events.push_back(s);
            return 0;
        });
    }
    std::mutex mutex;
    std::vector<std::string> events;
};

constexpr uint32_t kWaitDelayMs = 1500;

// A private settings store with the client's waits shortened.
class RtmpSession : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_settingsDir.ok());
        setenv("QV_SETTINGS_USER", m_settingsDir.file("user.json").c_str(), 1);
        setenv("QV_SETTINGS_MACHINE", m_settingsDir.file("machine.json").c_str(), 1);
        ASSERT_TRUE(Write("WaitDelay", kWaitDelayMs));
        EventLog::Instance().Clear();
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
    static std::vector<const FakeRtmpEntry*> In(const std::vector<FakeRtmpEntry>& rec, int type, const std::string& name = {}) {
        std::vector<const FakeRtmpEntry*> out;
        for (const auto& e : rec)
            if (e.kind == "message" && e.dir == "in" && e.type == type && (name.empty() || e.name == name))
                out.push_back(&e);
        return out;
    }
    static const FakeRtmpEntry* Block(const std::vector<FakeRtmpEntry>& rec, const std::string& block) {
        for (const auto& e : rec)
            if (e.kind == "handshake" && e.block == block) return &e;
        return nullptr;
    }
    // A command of `size` bytes: its name, then a string that fills the rest.
    static bool SendNamed(CRTMPClient& client, const std::string& name, size_t size = 0) {
        std::vector<uint8_t> body = {0x02, 0x00, static_cast<uint8_t>(name.size())};
        body.insert(body.end(), name.begin(), name.end());
        if (size > body.size() + 3) {
            const size_t fill = size - body.size() - 3;
            body.insert(body.end(), {0x02, static_cast<uint8_t>(fill >> 8), static_cast<uint8_t>(fill)});
            body.resize(size, 'x');
        }
        BS::DataPtr data(BS::data_t::Create(static_cast<int32_t>(body.size()), false, 0, 0, NO_TIME));
        std::memcpy(data->data, body.data(), body.size());
        return client.SendCommandData(data.get(), 3, RTMP_PT_INVOKE);
    }
    static auto UserControl(uint32_t value) {
        return [value](const FakeRtmpEntry& e) {
            return e.dir == "in" && e.type == RTMP_PT_USER_CONTROL && e.raw["value"].asUInt() == value;
        };
    }
    qvtest::TempDir m_settingsDir{"qv-rtmpsession"};
};

TEST_F(RtmpSession, PublishesInOrderAndAnswersTheServersControlMessages) {
    // S1 arrives in two reads and S2 late; createStream is first answered for another transaction.
    FakeRtmpServer server;
    ASSERT_TRUE(Start(server, {"--stream-id", "7", "--create-stream-reply", "stray", "--split-s1", "--s2-delay-ms", "400",
                               "--s1-zero", "99",
                               "--action", R"({"on":"connect","send":"chunk_size","value":4096})",
                               "--action", R"({"on":"connect","send":"window_ack","value":5000000})",
                               "--action", R"({"on":"connect","send":"peer_bandwidth","value":2500000})",
                               "--action", R"({"after":"hello","send":"ping","value":12345})"}));
    CRTMPClient client;
    ASSERT_EQ(client.Connect(Settings(server.port()), 10, false), CRTMPClient::CONNECT_PUBLISHED);
    EXPECT_EQ(client.m_iConnectionState.load(), CRTMPClient::STATE_PUBLISHED);
    EXPECT_EQ(client.m_iStreamID.load(), 7);
    EXPECT_EQ(client.GetPeerBandwidth(), 2500000u);
    // The Acknowledgement is the last thing the connect sequence sends.
    ASSERT_TRUE(server.waitFor([](const FakeRtmpEntry& e) { return e.dir == "in" && e.type == RTMP_PT_BYTES_READ; }, 5s));
    // Our chunk size is in effect: 600 bytes cross two chunk borders at 256.
    ASSERT_TRUE(SendNamed(client, "hello", 600));
    ASSERT_TRUE(server.waitFor(UserControl(12345), 5s));
    client.Close();
    server.stop();
    const auto rec = server.record();
    const FakeRtmpEntry *c0 = Block(rec, "C0"), *c1 = Block(rec, "C1"), *c2 = Block(rec, "C2");
    ASSERT_TRUE(c0 && c1 && c2);
    EXPECT_EQ(c0->raw["version"].asInt(), 3);
    EXPECT_EQ(c1->raw["time"].asInt() + c1->raw["zero"].asInt(), 0);
    EXPECT_TRUE(c2->raw["matches_s1"].asBool());
    EXPECT_EQ(c2->raw["bytes_before_s2"].asInt(), 0);
    const auto cmds = In(rec, RTMP_PT_INVOKE);
    ASSERT_EQ(cmds.size(), 6u);
    const char* names[] = {"connect", "releaseStream", "FCPublish", "createStream", "publish", "hello"};
    const double txns[] = {1, 1, 2, 3, 4};
    for (size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE(names[i]);
        EXPECT_EQ(cmds[i]->name, names[i]);
        EXPECT_EQ(cmds[i]->amf[1].asDouble(), txns[i]);
        EXPECT_EQ(cmds[i]->csid, i < 4 ? 3 : 4);
        EXPECT_EQ(cmds[i]->streamId, i < 4 ? 0 : 7);
    }
    EXPECT_EQ(cmds[0]->amf[2]["tcUrl"].asString(), "rtmp://127.0.0.1/live");
    EXPECT_EQ(cmds[1]->amf[3].asString(), "cam1");
    EXPECT_EQ(cmds[4]->amf[3].asString(), "cam1");
    EXPECT_EQ(cmds[4]->amf[4].asString(), "live");
    EXPECT_EQ(cmds[5]->name, "hello");
    EXPECT_EQ(cmds[5]->raw["chunks"].asInt(), 3);
    EXPECT_EQ(cmds[5]->bytes.size(), 600u);
    // Answers: our chunk size, the window size to Set Peer Bandwidth only, the ping's pong.
    const auto chunkSize = In(rec, RTMP_PT_CHUNK_SIZE), winAck = In(rec, RTMP_PT_SERVER_BW), pong = In(rec, RTMP_PT_USER_CONTROL);
    ASSERT_EQ(chunkSize.size() + winAck.size() + pong.size(), 3u);
    ASSERT_EQ(pong.size(), 1u);
    EXPECT_EQ(chunkSize.at(0)->raw["value"].asInt(), 256);
    EXPECT_EQ(chunkSize[0]->csid, 2);
    EXPECT_EQ(winAck.at(0)->raw["value"].asInt(), 2500000);
    EXPECT_EQ(pong[0]->raw["event"].asInt(), 7);
    EXPECT_EQ(pong[0]->streamId, 0);
    // One Acknowledgement after publish, on chunk stream 2 with the stream's id, counting every
    // byte the client had received.
    const auto acks = In(rec, RTMP_PT_BYTES_READ);
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_GT(acks[0]->seq, cmds[4]->seq);
    EXPECT_EQ(acks[0]->csid, 2);
    EXPECT_EQ(acks[0]->streamId, 7);
    uint64_t sent = 0;
    for (const auto& e : rec)
        if (e.dir == "out" && e.seq < acks[0]->seq) sent += e.kind == "handshake" ? e.bytes.size() : e.raw["wire"].asUInt64();
    EXPECT_EQ(acks[0]->raw["value"].asUInt64(), sent);
}

// Every way a connection attempt can end: result, state, how long it waited, what the host and
// (with authentication) the server concluded, and the app of each connect.
TEST_F(RtmpSession, ConnectionAttemptOutcomes) {
    const auto start = [](const char* trigger, const char* extra = "") {
        return std::string(R"({"on":")") + trigger + R"(","send":"close")" + extra + "}";
    };
    const auto adobe = [](const std::string& user) { return "live?authmod=adobe&user=" + user; };
    const int FAIL = CRTMPClient::CONNECT_SESSION_FAILED, OK = CRTMPClient::CONNECT_PUBLISHED;
    const int32_t PUBLISHED = CRTMPClient::STATE_PUBLISHED, HANDSHAKE = CRTMPClient::STATE_HANDSHAKE,
                  COMMANDS = CRTMPClient::STATE_COMMANDS;
    struct Case {
        const char* what;
        std::vector<std::string> args;
        int result = CRTMPClient::CONNECT_SESSION_FAILED;
        int32_t state = CRTMPClient::STATE_COMMANDS;
        bool waits = false;  // ends by the client's wait
        std::pair<const char*, const char*> event{};
        std::string user{}, password{};
        uint32_t authMode = rtmp::AUTH_ADOBE;
        std::vector<std::string> verdicts{};
        Matcher<std::vector<std::string>> apps = testing::Each("live");
    };
    const Case cases[] = {
        {"no S2", {"--no-s2"}, FAIL, HANDSHAKE, true},
        {"RTMPE answer", {"--s0-version", "6"}, FAIL, HANDSHAKE, false,
         {"error", "RTMPE protocol handshake failed"}},
        {"connect unanswered", {"--connect-reply", "none"}, FAIL, COMMANDS, true, {"info1", "rtmp: ERROR: rtmp server does not reply."}},
        {"no application", {"--connect-reply", "error_app"}, FAIL, CRTMPClient::STATE_INVALID_APP},
        {"access denied", {"--connect-reply", "reject"}, FAIL, CRTMPClient::STATE_ACCESS_REJECTED},
        {"connect dropped", {"--action", start("connect")}},
        {"createStream unanswered", {"--create-stream-reply", "none"}, FAIL, COMMANDS, true, {"error", "RTMP Wait Timeout statusEvent"}},
        // The lost connection cuts the wait short; the host hears of it like a time-out.
        {"createStream dropped", {"--action", start("createStream")}, FAIL, COMMANDS, false, {"error", "RTMP Wait Timeout statusEvent"}},
        {"publish unanswered", {"--publish-reply", "none"}, FAIL, COMMANDS, true},
        // An _error to publish does not wake the wait.
        {"publish refused", {"--publish-reply", "error"}, FAIL, COMMANDS, true},
        {"publish dropped", {"--action", start("publish")}},
        {"adobe", {"--auth", "adobe", "--user", "alice", "--password", "s3cret"}, OK, PUBLISHED, false, {}, "alice", "s3cret", 0,
         {"challenge", "accept"},
         testing::ElementsAre(adobe("alice"), testing::AllOf(testing::StartsWith(adobe("alice") + "&challenge=UXZSTA==&response="),
                                                             testing::EndsWith("&opaque=T3BhcXVlVmFs")))},
        {"adobe without opaque", {"--auth", "adobe", "--opaque", ""}, OK, PUBLISHED, false, {}, "user", "pass", 0, {"challenge", "accept"},
         testing::ElementsAre(adobe("user"), testing::EndsWith("&opaque="))},
        {"llnw by default", {"--auth", "llnw", "--user", "bob", "--password", "pw"}, OK, PUBLISHED, false, {}, "bob", "pw", 1,
         {"challenge", "accept"},
         testing::ElementsAre("live?authmod=llnw&user=bob", testing::HasSubstr("&nonce=4e6f6e6365303031&nc=0000001&cnonce="))},
        {"switch to llnw", {"--auth", "llnw"}, OK, PUBLISHED, false, {}, "user", "pass", 0, {"need_auth", "challenge", "accept"},
         testing::ElementsAre(adobe("user"), "live?authmod=llnw&user=user", testing::HasSubstr("&response="))},
        // Kept open after a refusal, so the failure is the refusal's and not a lost connection's.
        {"wrong password", {"--auth", "adobe", "--keep-open-after-refusal"}, FAIL, CRTMPClient::STATE_ACCESS_REJECTED, false,
         {"flashcode", "NetConnection.Connect.Rejected"}, "user", "wrong", 0, {"challenge", "refuse"}, testing::SizeIs(2)},
        // Only the first pass of an attempt announces the command phase, so the attempt ends in
        // the state the second connection's handshake left.
        {"response unanswered", {"--auth", "adobe", "--connect-reply", "none"}, FAIL, HANDSHAKE, true,
         {"info1", "rtmp: ERROR: rtmp server does not reply."}, "user", "pass", 0, {"challenge", "accept"}, testing::SizeIs(2)},
        // Scheme switch, challenge, then the third connection is dropped: a fourth attempt was needed.
        {"no attempt left", {"--auth", "llnw", "--action", start("connect", R"(,"connection":2)")}, CRTMPClient::CONNECT_RETRY, HANDSHAKE,
         false, {}, "user", "pass", 0, {"need_auth", "challenge"}, testing::SizeIs(3)},
        {"no user name", {"--auth", "adobe", "--keep-open-after-refusal"}, FAIL, COMMANDS, false,
         {}, "", "", 0, {"need_auth"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(Write("DefaultAuthMode", c.authMode));
        FakeRtmpServer server;
        ASSERT_TRUE(Start(server, c.args));
        EventLog::Instance().Clear();
        CRTMPClient client;
        ConnectionSettings s = Settings(server.port());
        s.userName = c.user;
        s.password = c.password;
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(client.Connect(s, 10, false), c.result);
        const auto waited = std::chrono::steady_clock::now() - t0;
        EXPECT_EQ(client.m_iConnectionState.load(), c.state);
        EXPECT_EQ(client.IsConnected(), c.result == CRTMPClient::CONNECT_PUBLISHED);
        if (c.waits) {
            EXPECT_GE(waited, std::chrono::milliseconds(kWaitDelayMs - 50));
        }
        EXPECT_LT(waited, std::chrono::milliseconds(kWaitDelayMs * 2));
        if (c.event.first) {
            EXPECT_GT(EventLog::Instance().Count(c.event.first, c.event.second), 0) << c.event.second;
        }
        const bool handshakeFailed = c.state == HANDSHAKE && c.user.empty();
        EXPECT_EQ(EventLog::Instance().Count("error", "Connection failed") > 0, c.result == FAIL && !handshakeFailed);
        client.Close();
        server.stop();
        const auto rec = server.record();
        EXPECT_EQ(Block(rec, "C2") == nullptr, handshakeFailed);
        std::vector<std::string> apps, verdicts;
        for (const FakeRtmpEntry& e : rec) {
            EXPECT_NE(e.kind, "raw") << "bytes after a handshake the client gave up";
            if (e.kind == "auth") verdicts.push_back(e.raw["event"].asString());
            if (e.dir != "in" || e.name != "connect") continue;
            apps.push_back(e.amf[2]["app"].asString());
            // An authenticating client names the non-private connection type.
            EXPECT_EQ(e.amf[2]["type"].asString(), c.user.empty() ? "" : "nonprivate");
        }
        EXPECT_EQ(verdicts, c.verdicts);
        EXPECT_THAT(apps, c.apps);
    }
}

TEST_F(RtmpSession, RefusedBeforeAnyRtmp) {
    CRTMPClient client;
    auto port = qvtest::freeTcpPort();
    ASSERT_TRUE(port);
    EXPECT_EQ(client.Connect(Settings(*port), 10, false), CRTMPClient::CONNECT_FAILED);  // nothing listens
    EXPECT_EQ(client.m_iConnectionState.load(), CRTMPClient::STATE_TCP);
    EXPECT_EQ(client.Connect(Settings(-1), 10, false), CRTMPClient::CONNECT_SOCKET);  // the resolver refuses the port
    ConnectionSettings bad = Settings(1935);
    bad.url = "http://127.0.0.1/live";
    EXPECT_EQ(client.Connect(bad, 10, false), CRTMPClient::CONNECT_FAILED);
    // The tunnel is not there: refused before any socket is opened.
    EXPECT_EQ(client.Connect(Settings(1935), 10, true), CRTMPClient::CONNECT_FAILED);
    EXPECT_FALSE(client.IsConnected());
    struct TimingOutClient : CRTMPClient {
        using CRTMPClient::Connect;
        int Connect(TCPClientParams) override { return TCP_TIMEOUT; }
    } timingOut;
    EXPECT_EQ(timingOut.Connect(Settings(1935), 10, false), CRTMPClient::CONNECT_TIMEOUT);
    EXPECT_EQ(timingOut.m_iConnectionState.load(), CRTMPClient::STATE_TCP);
}

TEST_F(RtmpSession, BadNameRoundsAndAnUnansweredUnpublish) {
    FakeRtmpServer server;
    ASSERT_TRUE(Start(server, {"--bad-name", "-1", "--no-fcunpublish-reply"}));
    CRTMPClient client;
    ASSERT_EQ(client.Connect(Settings(server.port()), 10, false), CRTMPClient::CONNECT_PUBLISHED);
    EXPECT_EQ(EventLog::Instance().Count("info1", "publish: publish failed with: NetStream.Publish.BadName"), 5);
    EXPECT_EQ(client.m_iStreamID.load(), 5);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.SendFCUnpublish(1, 300));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 290ms);
    client.Close();
    server.stop();
    const auto rec = server.record();
    EXPECT_EQ(FakeRtmpServer::commandNames(rec),
              (std::vector<std::string>{"connect", "releaseStream", "FCPublish", "createStream", "publish", "createStream",
                                        "publish", "createStream", "publish", "createStream", "publish", "createStream",
                                        "publish", "FCUnpublish"}));
    // Each round publishes on the stream its createStream returned.
    int expectedId = 1;
    for (const auto* m : In(rec, RTMP_PT_INVOKE, "publish")) EXPECT_EQ(m->streamId, expectedId++);
}

TEST_F(RtmpSession, EachPublicationStartsAfresh) {
    // onFCPublish comes as an AMF3 command (type 17).
    FakeRtmpServer server;
    ASSERT_TRUE(Start(server, {"--fcpublish-flex"}));
    CRTMPClient client;
    client.SetRecordMode(2);
    ASSERT_EQ(client.Connect(Settings(server.port()), 10, false), CRTMPClient::CONNECT_PUBLISHED);
    BS::format_t video;
    video.kind = BS::FORMAT_KIND_VIDEO;
    video.video.width = video.video.height = 240;
    ASSERT_TRUE(client.SendMetadata(&video, nullptr, false, true));
    EXPECT_TRUE(client.IsMetadataSent());
    // The socket goes away under the session without the client's own Close; the next
    // connection is a new publication all the same.
    client.CTCPClient::Close();
    ASSERT_FALSE(client.IsConnected());
    ASSERT_EQ(client.Connect(Settings(server.port()), 10, false), CRTMPClient::CONNECT_PUBLISHED);
    EXPECT_FALSE(client.IsMetadataSent());
    EXPECT_TRUE(client.SendFCUnpublish(1, 2000));
    EXPECT_TRUE(client.SendFCPublish(1));
    EXPECT_EQ(EventLog::Instance().Count("info1", "rtmp: onFCPublish 0"), 3);  // two connect sequences and one FCPublish
    client.Close();
    server.stop();
    const auto rec = server.record();
    const auto publishes = In(rec, RTMP_PT_INVOKE, "publish");
    ASSERT_EQ(publishes.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(publishes[i]->conn, static_cast<int>(i / 2));
        EXPECT_EQ(publishes[i]->amf[1].asDouble(), static_cast<double>(4 + i % 2));
        EXPECT_EQ(publishes[i]->amf[4].asString(), i % 2 ? "append" : "live");
        EXPECT_EQ(publishes[i]->csid, 4);
    }
    const auto names = FakeRtmpServer::commandNames(rec);
    ASSERT_GE(names.size(), 2u);
    EXPECT_EQ(names[names.size() - 2], "FCUnpublish");
    EXPECT_EQ(names.back(), "FCPublish");
}

TEST_F(RtmpSession, StreamStatesAfterPublish) {
    // Sent once Connect has returned (the connect sequence ends by setting the state to 0). The
    // ping after them is answered, so by then they were dispatched too.
    FakeRtmpServer server;
    ASSERT_TRUE(Start(server, {"--action", R"({"on":"go","send":"user_control","event":1,"value":1,"connection":0})",
                               "--action", R"({"on":"go","send":"on_status","level":"error","code":"NetStream.Play.StreamNotFound","connection":1})",
                               "--action", R"({"on":"go","send":"user_control","event":1,"value":1,"connection":1})",
                               "--action", R"({"on":"go","send":"ping","value":4242})"}));
    // "Stream not found" is kept when the stream then ends.
    const int32_t states[] = {CRTMPClient::STATE_STREAM_ENDED, CRTMPClient::STATE_STREAM_NOT_FOUND};
    for (int conn = 0; conn < 2; ++conn) {
        SCOPED_TRACE(conn);
        CRTMPClient client;
        ASSERT_EQ(client.Connect(Settings(server.port()), 10, false), CRTMPClient::CONNECT_PUBLISHED);
        ASSERT_TRUE(SendNamed(client, "go"));
        ASSERT_TRUE(server.waitFor([&](const FakeRtmpEntry& e) { return UserControl(4242)(e) && e.conn == conn; }, 5s));
        EXPECT_EQ(client.m_iConnectionState.load(), states[conn]);
        client.Close();
    }
}

TEST_F(RtmpSession, PublishesAndUnpublishesTwentyTimesOnOneClientToNginx) {
    qvtest::NginxServer nginx({.record = false});
    std::string error;
    ASSERT_TRUE(nginx.start(&error)) << error;
    CRTMPClient client;
    ConnectionSettings s = Settings(nginx.rtmpPort(), "loop");
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
