// The receive side without a socket: server bytes go into OnReceive, and the test looks at the
// answers written to the transport (byte for byte) and at the flags the connect sequence reads.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "rtmp/RtmpDefs.h"
#include "tests/rtmp/session/SessionTestSupport.h"

namespace {

class ClientDispatch : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qv-dispatch-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        setenv("QV_SETTINGS_USER", (m_dir + "/user.json").c_str(), 1);
        setenv("QV_SETTINGS_MACHINE", (m_dir + "/machine.json").c_str(), 1);
        m_client = std::make_unique<CapturingClient>();
        m_client->SetReceiveMode(CRTMPClient::RECEIVE_CHUNKS);
    }
    void TearDown() override {
        m_client.reset();
        std::filesystem::remove_all(m_dir);
    }
    Bytes Invoke(std::initializer_list<Bytes> parts) { return ServerMessage(3, RTMP_PT_INVOKE, Join(parts)); }

    std::string m_dir;
    std::unique_ptr<CapturingClient> m_client;
};

TEST_F(ClientDispatch, SetChunkSizeIsAnsweredWith256AndChangesBothDirections) {
    m_client->Feed(ServerMessage(2, RTMP_PT_CHUNK_SIZE, Be32(4096)));
    // Format 0 on chunk stream 2, time 0, length 4, type 1, stream 0, body 256.
    const Bytes expected{0x02, 0, 0, 0, 0, 0, 4, 0x01, 0, 0, 0, 0, 0x00, 0x00, 0x01, 0x00};
    EXPECT_EQ(m_client->Wire(), expected);
    EXPECT_EQ(m_client->RTMPDataChunk.GetReceiveChunkSize(), 4096);
    EXPECT_EQ(m_client->RTMPDataChunk.GetSendChunkSize(), 256);

    // A 300-byte body now leaves as one chunk of 256 and one of 44 (one continuation byte).
    m_client->ClearWire();
    Bytes body(300, 0xAB);
    BS::DataPtr rec(BS::data_t::Create(300, false, 0, 0, NO_TIME));
    std::memcpy(rec->data, body.data(), body.size());
    m_client->Send(rec.get(), CRTMPClient::SEND_MESSAGE, 3, RTMP_PT_INVOKE, 0, true, true);
    Bytes wire = m_client->Wire();
    ASSERT_EQ(wire.size(), 12u + 300u + 1u);
    EXPECT_EQ(wire[12 + 256], 0xC3);

    // Received chunks are now cut at 4096: a 1000-byte message in one chunk is taken whole.
    m_client->ClearWire();
    m_client->Feed(Join({ServerMessage(3, RTMP_PT_NOTIFY, Join({A0Str("onX"), Bytes(990, 1)}), 0, 1, 4096),
                         ServerMessage(2, RTMP_PT_BYTES_READ, Be32(99))}));
    EXPECT_EQ(m_client->GetServerBytesRead(), 99u);
    // A malformed 2-byte Set Chunk Size is refused without an answer.
    m_client->Feed(ServerMessage(2, RTMP_PT_CHUNK_SIZE, {0, 1}));
    EXPECT_TRUE(m_client->Wire().empty());
}

TEST_F(ClientDispatch, BandwidthMessages) {
    // Set Peer Bandwidth 2500000, limit 2: answered with Window Acknowledgement Size 2500000.
    m_client->Feed(ServerMessage(2, RTMP_PT_CLIENT_BW, {0x00, 0x26, 0x25, 0xA0, 0x02}));
    const Bytes expected{0x02, 0, 0, 0, 0, 0, 4, 0x05, 0, 0, 0, 0, 0x00, 0x26, 0x25, 0xA0};
    EXPECT_EQ(m_client->Wire(), expected);
    EXPECT_EQ(m_client->GetPeerBandwidth(), 2500000u);

    // The server's own Window Acknowledgement Size is stored, not answered.
    m_client->ClearWire();
    m_client->Feed(ServerMessage(2, RTMP_PT_SERVER_BW, Be32(5000000)));
    EXPECT_TRUE(m_client->Wire().empty());
    EXPECT_EQ(m_client->GetPeerBandwidth(), 5000000u);

    // The host may announce it back: Set Peer Bandwidth with limit type 2.
    m_client->SetPeerBandwidth();
    const Bytes spb{0x02, 0, 0, 0, 0, 0, 5, 0x06, 0, 0, 0, 0, 0x00, 0x4C, 0x4B, 0x40, 0x02};
    EXPECT_EQ(m_client->Wire(), spb);

    m_client->Feed(ServerMessage(2, RTMP_PT_BYTES_READ, Be32(123456)));
    EXPECT_EQ(m_client->GetServerBytesRead(), 123456u);
}

TEST_F(ClientDispatch, PingIsNotAnsweredWithoutConnection) {
    m_client->Feed(ServerMessage(2, RTMP_PT_USER_CONTROL, Join({{0x00, 0x06}, Be32(777)})));
    EXPECT_TRUE(m_client->Wire().empty());
}

TEST_F(ClientDispatch, ResultCountsForCreateStreamOnlyWithItsTransaction) {
    RTMPClientTestAccess::SetCreateStreamPending(*m_client, true);
    // A late _result of transaction 1 (connect) does not end the createStream wait.
    m_client->Feed(Invoke({A0Str("_result"), A0Num(1), A0Null(), A0Num(9)}));
    EXPECT_FALSE(RTMPClientTestAccess::ReplySet(*m_client));
    EXPECT_EQ(m_client->m_iStreamID.load(), 0);
    // Transaction 3 does, and carries the stream id after the null.
    m_client->Feed(Invoke({A0Str("_result"), A0Num(3), A0Null(), A0Num(7)}));
    EXPECT_TRUE(RTMPClientTestAccess::ReplySet(*m_client));
    EXPECT_EQ(m_client->m_iStreamID.load(), 7);
}

TEST_F(ClientDispatch, TwoMessagesAndPartOfAThirdInOneRead) {
    RTMPClientTestAccess::SetCreateStreamPending(*m_client, true);
    Bytes a = ServerMessage(2, RTMP_PT_SERVER_BW, Be32(1000));
    Bytes b = ServerMessage(2, RTMP_PT_BYTES_READ, Be32(42));
    Bytes c = ServerMessage(3, RTMP_PT_INVOKE, Join({A0Str("_result"), A0Num(3), A0Null(), A0Num(5)}));
    Bytes all = Join({a, b, Bytes(c.begin(), c.begin() + 10)});
    m_client->Feed(all);
    EXPECT_EQ(m_client->GetPeerBandwidth(), 1000u);
    EXPECT_EQ(m_client->GetServerBytesRead(), 42u);
    EXPECT_FALSE(RTMPClientTestAccess::ReplySet(*m_client));
    m_client->Feed(Bytes(c.begin() + 10, c.end()));
    EXPECT_TRUE(RTMPClientTestAccess::ReplySet(*m_client));
    EXPECT_EQ(m_client->m_iStreamID.load(), 5);
    EXPECT_EQ(m_client->GetBytesReceived(), all.size() + c.size() - 10);
}

TEST_F(ClientDispatch, OnStatusFlagsAndStates) {
    auto status = [](const std::string& level, const std::string& code) {
        return ServerMessage(4, RTMP_PT_INVOKE,
                             Join({A0Str("onStatus"), A0Num(0), A0Null(),
                                   A0Obj({A0Prop("level", A0Str(level)), A0Prop("code", A0Str(code))})}),
                             0, 1);
    };
    m_client->Feed(status("error", "NetStream.Publish.BadName"));
    EXPECT_TRUE(RTMPClientTestAccess::BadName(*m_client));
    EXPECT_TRUE(RTMPClientTestAccess::StatusSet(*m_client));
    EXPECT_FALSE(RTMPClientTestAccess::ReplySet(*m_client));

    m_client->m_iConnectionState.store(CRTMPClient::STATE_PUBLISHED);
    m_client->Feed(status("status", "NetStream.Play.Stop"));
    EXPECT_EQ(m_client->m_iConnectionState.load(), CRTMPClient::STATE_STREAM_ENDED);
    m_client->Feed(status("error", "NetStream.Play.StreamNotFound"));
    EXPECT_EQ(m_client->m_iConnectionState.load(), CRTMPClient::STATE_STREAM_NOT_FOUND);
    // "not found" is kept over a later stream end.
    m_client->Feed(ServerMessage(2, RTMP_PT_USER_CONTROL, Join({{0x00, 0x01}, Be32(1)})));
    EXPECT_EQ(m_client->m_iConnectionState.load(), CRTMPClient::STATE_STREAM_NOT_FOUND);
    m_client->m_iConnectionState.store(CRTMPClient::STATE_PUBLISHED);
    m_client->Feed(ServerMessage(2, RTMP_PT_USER_CONTROL, Join({{0x00, 0x01}, Be32(1)})));
    EXPECT_EQ(m_client->m_iConnectionState.load(), CRTMPClient::STATE_STREAM_ENDED);
    m_client->m_iConnectionState.store(CRTMPClient::STATE_PUBLISHED);
    m_client->Feed(ServerMessage(3, RTMP_PT_INVOKE,
                                 Join({A0Str("onPlayStatus"), A0Num(0), A0Null(),
                                       A0Obj({A0Prop("code", A0Str("NetStream.Play.Complete"))})})));
    EXPECT_EQ(m_client->m_iConnectionState.load(), CRTMPClient::STATE_STREAM_ENDED);
}

TEST_F(ClientDispatch, FlexMessagesSkipTheirFormatByte) {
    m_client->Feed(ServerMessage(3, RTMP_PT_FLEX_MESSAGE, Join({{0x00}, A0Str("onFCPublish"), A0Num(0)})));
    EXPECT_TRUE(RTMPClientTestAccess::StatusSet(*m_client));
    // onFCPublish as a plain AMF0 command is not one of ours.
    m_client->ResetReceiveSide();
    m_client->Feed(Invoke({A0Str("onFCPublish"), A0Num(0)}));
    EXPECT_FALSE(RTMPClientTestAccess::StatusSet(*m_client));
}

TEST_F(ClientDispatch, ErrorDescriptionsSetStatesAndAuthentication) {
    auto error = [&](double txn, const std::string& code, const std::string& description) {
        m_client->Feed(Invoke({A0Str("_error"), A0Num(txn), A0Null(),
                               A0Obj({A0Prop("level", A0Str("error")), A0Prop("code", A0Str(code)),
                                      A0Prop("description", A0Str(description))})}));
    };
    error(1, "NetConnection.Connect.Rejected",
          "[ Server.Reject ] : (_defaultRoot_, _defaultVHost_) : Application folder (nope) is missing.");
    EXPECT_EQ(m_client->m_iConnectionState.load(), CRTMPClient::STATE_INVALID_APP);
    EXPECT_TRUE(RTMPClientTestAccess::Error(*m_client));
    EXPECT_TRUE(RTMPClientTestAccess::ReplySet(*m_client));

    m_client->ResetReceiveSide();
    error(1, "NetConnection.Connect.Rejected", "[ AccessManager.Reject ] : [ code=403 ] : ");
    EXPECT_EQ(m_client->m_iConnectionState.load(), CRTMPClient::STATE_ACCESS_REJECTED);
    EXPECT_FALSE(RTMPClientTestAccess::AuthNeeded(*m_client));

    // An answerable refusal is a step of the exchange: no error, scheme switched.
    m_client->m_iConnectionState.store(CRTMPClient::STATE_COMMANDS);
    error(1, "NetConnection.Connect.Rejected", "[ AccessManager.Reject ] : [ code=403 need auth; authmod=llnw ] : ");
    EXPECT_FALSE(RTMPClientTestAccess::Error(*m_client));
    EXPECT_TRUE(RTMPClientTestAccess::AuthNeeded(*m_client));
    EXPECT_TRUE(RTMPClientTestAccess::AuthSwitched(*m_client));
    EXPECT_EQ(m_client->GetAuthMode(), rtmp::AUTH_LLNW);
    EXPECT_EQ(m_client->m_iConnectionState.load(), CRTMPClient::STATE_COMMANDS);

    error(1, "NetConnection.Connect.Rejected",
          "[ AccessManager.Reject ] : [ authmod=llnw ] : ?reason=needauth&user=bob&nonce=XYZ");
    EXPECT_EQ(RTMPClientTestAccess::Nonce(*m_client), "XYZ");

    // While createStream waits, only an _error of transaction 3 ends the wait.
    m_client->ResetReceiveSide();
    RTMPClientTestAccess::SetCreateStreamPending(*m_client, true);
    error(2, "x", "y");
    EXPECT_FALSE(RTMPClientTestAccess::ReplySet(*m_client));
    error(3, "x", "y");
    EXPECT_TRUE(RTMPClientTestAccess::ReplySet(*m_client));

    // _result clears the error and the authentication request.
    RTMPClientTestAccess::SetCreateStreamPending(*m_client, false);
    m_client->Feed(Invoke({A0Str("_result"), A0Num(1), A0Null()}));
    EXPECT_FALSE(RTMPClientTestAccess::Error(*m_client));
    EXPECT_FALSE(RTMPClientTestAccess::AuthNeeded(*m_client));
}

TEST_F(ClientDispatch, HandshakeBlocksInOneRead) {
    m_client->SetReceiveMode(CRTMPClient::RECEIVE_HANDSHAKE);
    Bytes s0s1s2(1 + 2 * 1536, 0x11);
    s0s1s2[0] = 3;
    // The first read stops one byte short of S1: only S0 is there.
    m_client->Feed(Bytes(s0s1s2.begin(), s0s1s2.begin() + 1536));
    EXPECT_TRUE(RTMPClientTestAccess::HandshakeEvent(*m_client, 0));
    EXPECT_FALSE(RTMPClientTestAccess::HandshakeEvent(*m_client, 1));
    m_client->Feed(Bytes(s0s1s2.begin() + 1536, s0s1s2.end()));
    EXPECT_TRUE(RTMPClientTestAccess::HandshakeEvent(*m_client, 1));
    EXPECT_TRUE(RTMPClientTestAccess::HandshakeEvent(*m_client, 2));
    EXPECT_TRUE(m_client->Wire().empty());
}

TEST_F(ClientDispatch, ReceivedMediaIsKeptBounded) {
    for (int i = 0; i < 100; ++i) m_client->Feed(ServerMessage(6, RTMP_PT_AUDIO, Bytes(10, 0xAF), i * 23, 1));
    m_client->Feed(ServerMessage(7, RTMP_PT_VIDEO, Bytes(20, 0x17), 0, 1));
    EXPECT_EQ(m_client->GetReceivedQueueSize(RTMP_PT_AUDIO), CRTMPClient::RECEIVE_QUEUE_LIMIT);
    EXPECT_EQ(m_client->GetReceivedQueueSize(RTMP_PT_VIDEO), 1u);
    // Big messages are bounded by bytes as well: 2 MiB each, at most two kept.
    for (int i = 0; i < 5; ++i) {
        Bytes wire = ServerMessage(7, RTMP_PT_VIDEO, Bytes(2 << 20, 0x27), 40 * i, 1);
        // In reads of 64 KiB, as the transport delivers them.
        for (size_t off = 0; off < wire.size(); off += 65536)
            m_client->Feed(Bytes(wire.begin() + static_cast<std::ptrdiff_t>(off),
                                 wire.begin() + static_cast<std::ptrdiff_t>(std::min(wire.size(), off + 65536))));
    }
    EXPECT_EQ(m_client->GetReceivedQueueSize(RTMP_PT_VIDEO), 2u);
    m_client->Close();
    EXPECT_EQ(m_client->GetReceivedQueueSize(RTMP_PT_AUDIO), 0u);
}

TEST_F(ClientDispatch, TruncatedBodiesAreReadSafely) {
    // Every command cut short at every length: nothing crashes, nothing is answered.
    Bytes full = Join({A0Str("_error"), A0Num(1), A0Null(),
                       A0Obj({A0Prop("code", A0Str("c")), A0Prop("description", A0Str("need auth; authmod=adobe"))})});
    for (size_t n = 0; n <= full.size(); ++n) {
        m_client->Feed(ServerMessage(3, RTMP_PT_INVOKE, Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n))));
        m_client->Feed(ServerMessage(2, RTMP_PT_USER_CONTROL, Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n % 6))));
    }
    EXPECT_TRUE(m_client->Wire().empty());
}

}  // namespace
