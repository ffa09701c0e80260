// The publishing client against the scriptable fake server: every way a connection attempt can
// end (result code and connection state), the commands and answers on the wire as the server
// recorded them, and both authentication schemes.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "RtmpTestSupport.h"
#include "TestServers.h"
#include "net/TCPResult.h"
#include "rtmp/RtmpDefs.h"
#include "rtmp/session/RTMPClient.h"

using namespace std::chrono_literals;
using qvtest::FakeRtmpEntry;
using qvtest::FakeRtmpOptions;
using qvtest::FakeRtmpServer;
using rtmpit::EventLog;

namespace {

class RtmpSession : public rtmpit::SessionFixture {
protected:
    // Starts the fake server with the given flags; the test fails when it cannot.
    void Start(std::vector<std::string> args, Json::Value scenario = Json::Value()) {
        FakeRtmpOptions o;
        o.args = std::move(args);
        o.scenario = std::move(scenario);
        o.timeLimitSeconds = 60;
        std::string error;
        ASSERT_TRUE(m_server.start(o, &error)) << error;
    }
    ConnectionSettings Settings() { return SessionFixture::Settings("127.0.0.1", m_server.port()); }

    // The server's record once the client is gone: stop the script so every line is written.
    std::vector<FakeRtmpEntry> Record() {
        m_server.stop();
        return m_server.record();
    }
    static std::vector<const FakeRtmpEntry*> Messages(const std::vector<FakeRtmpEntry>& rec, const std::string& dir,
                                                      int type = -1) {
        std::vector<const FakeRtmpEntry*> out;
        for (const auto& e : rec)
            if (e.kind == "message" && e.dir == dir && (type < 0 || e.type == type)) out.push_back(&e);
        return out;
    }
    static const FakeRtmpEntry* Find(const std::vector<FakeRtmpEntry>& rec, const std::string& dir,
                                     const std::string& kind, const std::string& blockOrName) {
        for (const auto& e : rec)
            if (e.dir == dir && e.kind == kind && (e.block == blockOrName || e.name == blockOrName)) return &e;
        return nullptr;
    }
    // Polls the record (bounded) until `pred` holds for some entry.
    template <class Pred>
    bool WaitForEntry(Pred pred, std::chrono::milliseconds timeout = 5000ms) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            for (const auto& e : m_server.record())
                if (pred(e)) return true;
            std::this_thread::sleep_for(20ms);  // the record file is the only view of the server
        }
        return false;
    }

    FakeRtmpServer m_server;
    CRTMPClient m_client;
};

TEST_F(RtmpSession, PublishesWithCommandsInOrder) {
    Start({"--stream-id", "7"});
    ASSERT_EQ(m_client.Connect(Settings(), 10, false), CRTMPClient::CONNECT_PUBLISHED);
    EXPECT_EQ(m_client.m_iConnectionState.load(), CRTMPClient::STATE_PUBLISHED);
    EXPECT_EQ(m_client.m_iStreamID.load(), 7);
    EXPECT_TRUE(m_client.IsConnected());
    // The Acknowledgement is the last thing sent; closing at once could reset it away unread.
    ASSERT_TRUE(WaitForEntry([](const FakeRtmpEntry& e) {
        return e.dir == "in" && e.kind == "message" && e.type == RTMP_PT_BYTES_READ;
    }));
    m_client.Close();
    auto rec = Record();

    // Handshake: C0 version 3, C1 time and zero fields 0, C2 = S1, C2 after S2.
    const FakeRtmpEntry* c0 = Find(rec, "in", "handshake", "C0");
    const FakeRtmpEntry* c1 = Find(rec, "in", "handshake", "C1");
    const FakeRtmpEntry* s2 = Find(rec, "out", "handshake", "S2");
    const FakeRtmpEntry* c2 = Find(rec, "in", "handshake", "C2");
    ASSERT_TRUE(c0 && c1 && s2 && c2);
    EXPECT_EQ(c0->raw["version"].asInt(), 3);
    EXPECT_EQ(c1->raw["time"].asInt(), 0);
    EXPECT_EQ(c1->raw["zero"].asInt(), 0);
    EXPECT_TRUE(c2->raw["matches_s1"].asBool());
    EXPECT_LT(s2->seq, c2->seq);

    // Commands with their transaction numbers, chunk streams and message stream ids.
    auto cmds = Messages(rec, "in", RTMP_PT_INVOKE);
    ASSERT_EQ(cmds.size(), 5u);
    const char* names[] = {"connect", "releaseStream", "FCPublish", "createStream", "publish"};
    const double txns[] = {1, 1, 2, 3, 4};
    const int chunkStreams[] = {3, 3, 3, 3, 4};
    const int streams[] = {0, 0, 0, 0, 7};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(cmds[i]->name, names[i]);
        EXPECT_EQ(cmds[i]->amf[1].asDouble(), txns[i]) << names[i];
        EXPECT_EQ(cmds[i]->csid, chunkStreams[i]) << names[i];
        EXPECT_EQ(cmds[i]->streamId, streams[i]) << names[i];
    }
    EXPECT_EQ(cmds[0]->amf[2]["app"].asString(), "live");
    EXPECT_EQ(cmds[0]->amf[2]["tcUrl"].asString(), "rtmp://127.0.0.1/live");
    EXPECT_FALSE(cmds[0]->amf[2].isMember("type"));
    EXPECT_EQ(cmds[1]->amf[3].asString(), "cam1");
    EXPECT_EQ(cmds[4]->amf[3].asString(), "cam1");
    EXPECT_EQ(cmds[4]->amf[4].asString(), "live");

    // One Acknowledgement after publish, on chunk stream 2 with the stream's id, counting every
    // byte the client had received (S0+S1+S2 and the replies before it).
    auto acks = Messages(rec, "in", RTMP_PT_BYTES_READ);
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_GT(acks[0]->seq, cmds[4]->seq);
    EXPECT_EQ(acks[0]->csid, 2);
    EXPECT_EQ(acks[0]->streamId, 7);
    uint64_t sent = 0;
    for (const auto& e : rec)
        if (e.dir == "out" && e.seq < acks[0]->seq) {
            if (e.kind == "handshake") sent += e.bytes.size();
            if (e.kind == "message") sent += 12 + e.bytes.size() + (e.bytes.size() - 1) / 128;
        }
    EXPECT_EQ(acks[0]->raw["value"].asUInt64(), sent);

    auto& ev = EventLog::Instance();
    int i = ev.IndexOf("info1", "rtmp: connect");
    i = ev.IndexOf("info1", "rtmp: createStream", i);
    i = ev.IndexOf("info1", "rtmp: publish", i);
    i = ev.IndexOf("info1", "publish: waiting for onStatus", i);
    EXPECT_GE(i, 0);
    EXPECT_FALSE(ev.Has("error", "Connection failed"));
}

TEST_F(RtmpSession, SendsNothingBeforeS2AndSurvivesSplitBlocks) {
    Start({"--s2-delay-ms", "400", "--handshake-writes", "split", "--s1-zero", "99"});
    ASSERT_EQ(m_client.Connect(Settings(), 10, false), CRTMPClient::CONNECT_PUBLISHED);
    m_client.Close();
    auto rec = Record();
    const FakeRtmpEntry* c2 = Find(rec, "in", "handshake", "C2");
    ASSERT_TRUE(c2);
    EXPECT_EQ(c2->raw["bytes_before_s2"].asInt(), 0);
    EXPECT_TRUE(c2->raw["matches_s1"].asBool());
}

TEST_F(RtmpSession, HandshakeFailures) {
    // No S2: the attempt ends after the wait with result 2 in the handshake state.
    Start({"--no-s2"});
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(m_client.Connect(Settings(), 10, false), CRTMPClient::CONNECT_SESSION_FAILED);
    const auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(m_client.m_iConnectionState.load(), CRTMPClient::STATE_HANDSHAKE);
    EXPECT_GE(waited, std::chrono::milliseconds(kWaitDelayMs - 50));
    EXPECT_LT(waited, std::chrono::milliseconds(kWaitDelayMs * 3));
    EXPECT_FALSE(m_client.IsConnected());  // the failed attempt closed its connection
    auto rec = Record();
    EXPECT_EQ(Find(rec, "in", "handshake", "C2"), nullptr);
    EXPECT_EQ(Find(rec, "in", "raw", ""), nullptr);
}

TEST_F(RtmpSession, RtmpeServerIsRefused) {
    Start({"--s0-version", "6"});
    EXPECT_EQ(m_client.Connect(Settings(), 10, false), CRTMPClient::CONNECT_SESSION_FAILED);
    EXPECT_EQ(m_client.m_iConnectionState.load(), CRTMPClient::STATE_HANDSHAKE);
    EXPECT_TRUE(EventLog::Instance().Has("error", "RTMPE protocol handshake failed"));
    EXPECT_FALSE(m_client.IsConnected());
    auto rec = Record();
    // The server saw C0+C1 and then only the close: no C2, no stray bytes.
    EXPECT_EQ(Find(rec, "in", "handshake", "C2"), nullptr);
    for (const auto& e : rec) {
        EXPECT_FALSE(e.dir == "in" && e.kind == "raw") << e.raw.toStyledString();
    }
}

TEST_F(RtmpSession, ConnectRefusals) {
    struct Case {
        const char* reply;
        int32_t state;
    } cases[] = {{"none", CRTMPClient::STATE_COMMANDS},
                 {"error_app", CRTMPClient::STATE_INVALID_APP},
                 {"reject", CRTMPClient::STATE_ACCESS_REJECTED},
                 {"close", CRTMPClient::STATE_COMMANDS}};
    for (const Case& c : cases) {
        FakeRtmpServer server;
        FakeRtmpOptions o;
        o.args = {"--connect-reply", c.reply};
        std::string error;
        ASSERT_TRUE(server.start(o, &error)) << error;
        EventLog::Instance().Clear();
        CRTMPClient client;
        EXPECT_EQ(client.Connect(SessionFixture::Settings("127.0.0.1", server.port()), 10, false),
                  CRTMPClient::CONNECT_SESSION_FAILED)
            << c.reply;
        EXPECT_EQ(client.m_iConnectionState.load(), c.state) << c.reply;
        // A close may be seen before the wait starts; then the event names the disconnection.
        EXPECT_TRUE(EventLog::Instance().Has("info1", "rtmp: ERROR: rtmp server does not reply.") ||
                    EventLog::Instance().Has("info1", "rtmp: ERROR: rtmp server disconnected."))
            << c.reply;
        EXPECT_TRUE(EventLog::Instance().Has("error", "Connection failed")) << c.reply;
        EXPECT_FALSE(EventLog::Instance().Has("info1", "rtmp: createStream")) << c.reply;
        EXPECT_FALSE(client.IsConnected());
    }
}

TEST_F(RtmpSession, CreateStreamWithoutAnswer) {
    Start({"--create-stream-reply", "none"});
    EXPECT_EQ(m_client.Connect(Settings(), 10, false), CRTMPClient::CONNECT_SESSION_FAILED);
    EXPECT_EQ(m_client.m_iConnectionState.load(), CRTMPClient::STATE_COMMANDS);
    auto& ev = EventLog::Instance();
    int i = ev.IndexOf("info1", "rtmp: connect");
    i = ev.IndexOf("info1", "rtmp: createStream", i);
    i = ev.IndexOf("error", "RTMP Wait Timeout statusEvent", i);
    EXPECT_GE(i, 0);
    EXPECT_FALSE(ev.Has("info1", "rtmp: publish"));
}

TEST_F(RtmpSession, CreateStreamAnsweredByClosing) {
    // The lost connection cuts the createStream wait short; the host hears of it like a time-out.
    Start({"--create-stream-reply", "close"});
    EXPECT_EQ(m_client.Connect(Settings(), 10, false), CRTMPClient::CONNECT_SESSION_FAILED);
    EXPECT_EQ(m_client.m_iConnectionState.load(), CRTMPClient::STATE_COMMANDS);
    EXPECT_FALSE(m_client.IsConnected());
    auto& ev = EventLog::Instance();
    int i = ev.IndexOf("info1", "rtmp: createStream");
    i = ev.IndexOf("error", "RTMP Wait Timeout statusEvent", i);
    i = ev.IndexOf("error", "Connection failed", i);
    EXPECT_GE(i, 0);
    EXPECT_FALSE(ev.Has("info1", "rtmp: publish"));
}

TEST_F(RtmpSession, StrayResultDoesNotEndTheCreateStreamWait) {
    Start({"--create-stream-reply", "stray", "--stream-id", "3"});
    ASSERT_EQ(m_client.Connect(Settings(), 10, false), CRTMPClient::CONNECT_PUBLISHED);
    EXPECT_EQ(m_client.m_iStreamID.load(), 3);  // not the 99 of the stray answer
}

TEST_F(RtmpSession, PublishFailures) {
    for (const char* reply : {"none", "error", "close"}) {
        FakeRtmpServer server;
        FakeRtmpOptions o;
        o.args = {"--publish-reply", reply};
        std::string error;
        ASSERT_TRUE(server.start(o, &error)) << error;
        CRTMPClient client;
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(client.Connect(SessionFixture::Settings("127.0.0.1", server.port()), 10, false),
                  CRTMPClient::CONNECT_SESSION_FAILED)
            << reply;
        EXPECT_EQ(client.m_iConnectionState.load(), CRTMPClient::STATE_COMMANDS) << reply;
        // An _error to publish does not wake the wait: it ends by time-out.
        if (std::string(reply) != "close") {
            EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(kWaitDelayMs - 50));
        }
    }
}

TEST_F(RtmpSession, BadNameRounds) {
    Start({"--bad-name", "-1", "--stream-id", "1"});
    ASSERT_EQ(m_client.Connect(Settings(), 10, false), CRTMPClient::CONNECT_PUBLISHED);
    m_client.Close();
    auto rec = Record();
    std::vector<std::string> names = FakeRtmpServer::commandNames(rec);
    EXPECT_EQ(names, (std::vector<std::string>{"connect", "releaseStream", "FCPublish", "createStream", "publish",
                                               "createStream", "publish", "createStream", "publish", "createStream",
                                               "publish", "createStream", "publish"}));
    EXPECT_EQ(EventLog::Instance().Count("info1", "publish: publish failed with: NetStream.Publish.BadName"), 5);
    // Each round publishes on the stream its createStream returned.
    auto publishes = Messages(rec, "in", RTMP_PT_INVOKE);
    int expectedId = 1;
    for (const auto* m : publishes)
        if (m->name == "publish") {
            EXPECT_EQ(m->streamId, expectedId++);
        }
    EXPECT_EQ(m_client.m_iStreamID.load(), 5);

    // One BadName only: two rounds, then done.
    FakeRtmpServer once;
    FakeRtmpOptions o;
    o.args = {"--bad-name", "1"};
    std::string error;
    ASSERT_TRUE(once.start(o, &error)) << error;
    EventLog::Instance().Clear();
    CRTMPClient client;
    ASSERT_EQ(client.Connect(SessionFixture::Settings("127.0.0.1", once.port()), 10, false),
              CRTMPClient::CONNECT_PUBLISHED);
    EXPECT_EQ(EventLog::Instance().Count("info1", "publish: publish failed with: NetStream.Publish.BadName"), 1);
}

TEST_F(RtmpSession, RecordModePublishesAgain) {
    Start({});
    m_client.SetRecordMode(2);
    ASSERT_EQ(m_client.Connect(Settings(), 10, false), CRTMPClient::CONNECT_PUBLISHED);
    m_client.Close();
    auto rec = Record();
    std::vector<const FakeRtmpEntry*> publishes;
    for (const auto* m : Messages(rec, "in", RTMP_PT_INVOKE))
        if (m->name == "publish") publishes.push_back(m);
    ASSERT_EQ(publishes.size(), 2u);
    EXPECT_EQ(publishes[0]->amf[1].asDouble(), 4);
    EXPECT_EQ(publishes[0]->amf[4].asString(), "live");
    EXPECT_EQ(publishes[1]->amf[1].asDouble(), 5);
    EXPECT_EQ(publishes[1]->amf[4].asString(), "append");
    EXPECT_EQ(publishes[1]->csid, 4);
}

TEST_F(RtmpSession, ControlMessagesAreAnswered) {
    Start({"--chunk-size", "4096", "--peer-bandwidth", "2500000", "--window-ack", "5000000", "--ping", "12345"});
    ASSERT_EQ(m_client.Connect(Settings(), 10, false), CRTMPClient::CONNECT_PUBLISHED);
    // The ping comes after publish; its answer arrives on the receive thread.
    ASSERT_TRUE(WaitForEntry([](const FakeRtmpEntry& e) {
        return e.dir == "in" && e.kind == "message" && e.type == RTMP_PT_USER_CONTROL;
    }));
    // The chunk size answer is in effect: a command longer than 256 bytes crosses a chunk border.
    BS::DataPtr big(BS::data_t::Create(600, false, 0, 0, NO_TIME));
    std::vector<uint8_t> body = {0x02, 0x00, 0x05, 'h', 'e', 'l', 'l', 'o', 0x05, 0x02, 0x02, 0x40};
    body.resize(600, 'x');
    body[9] = 0x02;
    body[10] = 0x02;
    body[11] = 0x4C;  // a string of 588 bytes fills the rest
    std::memcpy(big->data, body.data(), body.size());
    EXPECT_TRUE(m_client.SendCommandData(big.get(), 3, RTMP_PT_INVOKE));
    ASSERT_TRUE(WaitForEntry([](const FakeRtmpEntry& e) { return e.dir == "in" && e.name == "hello"; }));
    m_client.Close();
    auto rec = Record();

    auto chunkSize = Messages(rec, "in", RTMP_PT_CHUNK_SIZE);
    ASSERT_EQ(chunkSize.size(), 1u);
    EXPECT_EQ(chunkSize[0]->raw["value"].asInt(), 256);
    EXPECT_EQ(chunkSize[0]->csid, 2);
    auto winAck = Messages(rec, "in", RTMP_PT_SERVER_BW);
    ASSERT_EQ(winAck.size(), 1u);  // the answer to Set Peer Bandwidth only
    EXPECT_EQ(winAck[0]->raw["value"].asInt(), 2500000);
    auto pong = Messages(rec, "in", RTMP_PT_USER_CONTROL);
    ASSERT_EQ(pong.size(), 1u);
    EXPECT_EQ(pong[0]->raw["event"].asInt(), 7);
    EXPECT_EQ(pong[0]->raw["value"].asInt(), 12345);
    EXPECT_EQ(pong[0]->streamId, 0);
    for (const auto* m : Messages(rec, "in"))
        if (m->name == "hello") {
            EXPECT_EQ(m->raw["chunk_fmts"].size(), 3u);  // 600 bytes at 256 per chunk
            EXPECT_EQ(m->bytes.size(), 600u);
        }
    EXPECT_EQ(m_client.GetPeerBandwidth(), 2500000u);
    EXPECT_TRUE(EventLog::Instance().Has("info1", "CRTMPClient::OnReceive: client_bw: 2500000"));
}

TEST_F(RtmpSession, UnpublishAndRepublishWaitForTheStatus) {
    // onFCPublish comes as an AMF3 command (type 17); FCUnpublish is answered with onStatus.
    Start({"--fcpublish-reply", "flex"});
    ASSERT_EQ(m_client.Connect(Settings(), 10, false), CRTMPClient::CONNECT_PUBLISHED);
    EXPECT_TRUE(m_client.SendFCUnpublish(1, 2000));
    EXPECT_TRUE(m_client.SendFCPublish(1));
    EXPECT_TRUE(EventLog::Instance().Has("info1", "rtmp: onFCPublish 0"));
    m_client.Close();
    auto rec = Record();
    auto names = FakeRtmpServer::commandNames(rec);
    ASSERT_GE(names.size(), 2u);
    EXPECT_EQ(names[names.size() - 2], "FCUnpublish");
    EXPECT_EQ(names.back(), "FCPublish");

    // A server that does not answer: the wait ends at its bound and says so.
    FakeRtmpServer silent;
    FakeRtmpOptions o;
    o.args = {"--fcunpublish-reply", "none"};
    std::string error;
    ASSERT_TRUE(silent.start(o, &error)) << error;
    CRTMPClient client;
    ASSERT_EQ(client.Connect(SessionFixture::Settings("127.0.0.1", silent.port()), 10, false),
              CRTMPClient::CONNECT_PUBLISHED);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.SendFCUnpublish(1, 300));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 290ms);
}

TEST_F(RtmpSession, TcpLevelFailures) {
    // Nothing listens: result 0, state 1.
    auto port = qvtest::freeTcpPort();
    ASSERT_TRUE(port);
    EXPECT_EQ(m_client.Connect(SessionFixture::Settings("127.0.0.1", *port), 10, false), CRTMPClient::CONNECT_FAILED);
    EXPECT_EQ(m_client.m_iConnectionState.load(), CRTMPClient::STATE_TCP);
    // A port the resolver refuses: socket failure, result 5.
    EXPECT_EQ(m_client.Connect(SessionFixture::Settings("127.0.0.1", -1), 10, false), CRTMPClient::CONNECT_SOCKET);
    EXPECT_EQ(m_client.m_iConnectionState.load(), CRTMPClient::STATE_TCP);
    // A URL that is not rtmp.
    ConnectionSettings bad = SessionFixture::Settings("127.0.0.1", 1935);
    bad.url = "http://127.0.0.1/live";
    EXPECT_EQ(m_client.Connect(bad, 10, false), CRTMPClient::CONNECT_FAILED);
    // The tunnel is not there yet: refused before any socket is opened.
    EXPECT_EQ(m_client.Connect(SessionFixture::Settings("127.0.0.1", 1935), 10, true), CRTMPClient::CONNECT_FAILED);
    EXPECT_FALSE(m_client.IsConnected());
}

// The transport reports a time-out while connecting (a time-out the socket layer maps to a
// failed connect in practice): the client's own code for it.
class TimingOutClient : public CRTMPClient {
public:
    using CRTMPClient::Connect;
    int Connect(TCPClientParams) override { return TCP_TIMEOUT; }
};

TEST_F(RtmpSession, TransportTimeoutWhileConnecting) {
    TimingOutClient client;
    EXPECT_EQ(client.Connect(SessionFixture::Settings("127.0.0.1", 1935), 10, false), CRTMPClient::CONNECT_TIMEOUT);
    EXPECT_EQ(client.m_iConnectionState.load(), CRTMPClient::STATE_TCP);
}

TEST_F(RtmpSession, DroppedConnectionDuringCommands) {
    Start({"--drop-after", "create_stream"});
    EXPECT_EQ(m_client.Connect(Settings(), 10, false), CRTMPClient::CONNECT_SESSION_FAILED);
    EXPECT_EQ(m_client.m_iConnectionState.load(), CRTMPClient::STATE_COMMANDS);
    EXPECT_FALSE(m_client.IsConnected());
}

TEST_F(RtmpSession, MetadataMarkIsClearedByEachNewPublication) {
    Start({});
    ASSERT_EQ(m_client.Connect(Settings(), 10, false), CRTMPClient::CONNECT_PUBLISHED);
    BS::format_t video;
    video.kind = BS::FORMAT_KIND_VIDEO;
    video.video.width = 320;
    video.video.height = 240;
    ASSERT_TRUE(m_client.SendMetadata(&video, nullptr, false, true));
    EXPECT_TRUE(m_client.IsMetadataSent());
    // The socket goes away under the session (as when the transport gives up on it) without the
    // client's own Close; the next connection is a new publication all the same.
    m_client.CTCPClient::Close();
    ASSERT_FALSE(m_client.IsConnected());
    ASSERT_EQ(m_client.Connect(Settings(), 10, false), CRTMPClient::CONNECT_PUBLISHED);
    EXPECT_FALSE(m_client.IsMetadataSent());
}

// Waits (bounded) until the client's connection state becomes `state`.
bool WaitForState(CRTMPClient& client, int32_t state) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (client.m_iConnectionState.load() != state && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);  // the state is a plain value; there is nothing to wait on
    return client.m_iConnectionState.load() == state;
}

Json::Value AfterPublish(std::initializer_list<Json::Value> sends) {
    Json::Value scenario;
    // The pause keeps these behind the end of the connect sequence, which sets the state to 0.
    Json::Value pause;
    pause["on"] = "publish";
    pause["send"] = "sleep";
    pause["ms"] = 300;
    scenario["actions"].append(pause);
    for (Json::Value a : sends) {
        a["on"] = "publish";
        scenario["actions"].append(a);
    }
    return scenario;
}

TEST_F(RtmpSession, StreamStatesAfterPublish) {
    Json::Value streamEnd;
    streamEnd["send"] = "user_control";
    streamEnd["event"] = 1;
    streamEnd["value"] = 1;
    Start({}, AfterPublish({streamEnd}));
    ASSERT_EQ(m_client.Connect(Settings(), 10, false), CRTMPClient::CONNECT_PUBLISHED);
    EXPECT_TRUE(WaitForState(m_client, CRTMPClient::STATE_STREAM_ENDED));

    // "Stream not found" is kept when the stream then ends.
    Json::Value notFound;
    notFound["send"] = "on_status";
    notFound["level"] = "error";
    notFound["code"] = "NetStream.Play.StreamNotFound";
    notFound["stream_id"] = 1;
    Json::Value ping;
    ping["send"] = "ping";
    ping["value"] = 4242;
    FakeRtmpServer server;
    FakeRtmpOptions o;
    o.scenario = AfterPublish({notFound, streamEnd, ping});
    std::string error;
    ASSERT_TRUE(server.start(o, &error)) << error;
    CRTMPClient client;
    ASSERT_EQ(client.Connect(SessionFixture::Settings("127.0.0.1", server.port()), 10, false),
              CRTMPClient::CONNECT_PUBLISHED);
    EXPECT_TRUE(WaitForState(client, CRTMPClient::STATE_STREAM_NOT_FOUND));
    // The ping after the Stream End is answered, so by then the Stream End was dispatched too.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    bool answered = false;
    while (!answered && std::chrono::steady_clock::now() < deadline) {
        for (const auto& e : server.record())
            answered = answered || (e.dir == "in" && e.type == RTMP_PT_USER_CONTROL && e.raw["value"].asInt() == 4242);
        if (!answered) std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(answered);
    EXPECT_EQ(client.m_iConnectionState.load(), CRTMPClient::STATE_STREAM_NOT_FOUND);
}

}  // namespace
