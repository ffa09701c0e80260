// The client without a socket: server bytes go into OnReceive; what it hands the transport is
// checked byte for byte or decoded by a second codec, as a server would.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <utility>

#include "rtmp/AMF3.h"
#include "rtmp/RtmpDefs.h"
#include "rtmp/session/RTMPClient.h"
#include "tests/rtmp/TestSupport.h"

using namespace rtmptest;
using namespace std::string_literals;

struct RTMPClientTestAccess {
    static bool Error(const CRTMPClient& c) { return c.m_bError.load(); }
    static bool BadName(const CRTMPClient& c) { return c.m_bBadName.load(); }
    static void SetCreateStreamPending(CRTMPClient& c, bool on) { c.m_bCreateStreamPending.store(on); }
    static bool Reply(const CRTMPClient& c) { return c.m_evReply.IsSet(); }
    static bool Status(const CRTMPClient& c) { return c.m_evStatus.IsSet(); }
    static bool Handshake(const CRTMPClient& c, int i) { return (i == 0 ? c.m_evS0 : i == 1 ? c.m_evS1 : c.m_evS2).IsSet(); }
    static std::pair<bool, bool> Auth(CRTMPClient& c) {
        platform::CAutoLock l(c.m_AuthLock);
        return {c.m_Auth.m_bAuthNeeded, c.m_Auth.m_bAuthSwitched};
    }
    static std::string Nonce(CRTMPClient& c) {
        platform::CAutoLock l(c.m_AuthLock);
        return c.m_Auth.m_sNonce;
    }
    static void SetBuffered(CRTMPClient& c, bool on) { c.m_bSendBuffered.store(on); }
};
using A = RTMPClientTestAccess;

namespace {

class CapturingClient : public CRTMPClient {
public:
    using CRTMPClient::Send;
    int Send(const uint8_t* data, int length, bool) override { return Take(data, length, m_blocking); }
    int SendBuffered(const uint8_t* data, int length) override { return Take(data, length, m_buffered); }
    Bytes Wire() {
        std::lock_guard<std::mutex> g(m_mutex);
        return std::exchange(m_wire, {});
    }
    void Feed(const Bytes& b) { OnReceive(b.data(), static_cast<int>(b.size()), nullptr); }
    int m_blocking = 0, m_buffered = 0;

private:
    int Take(const uint8_t* data, int length, int& count) {
        std::lock_guard<std::mutex> g(m_mutex);
        m_wire.insert(m_wire.end(), data, data + length);
        ++count;
        return TCP_DATA_PRESENT;
    }
    std::mutex m_mutex;
    Bytes m_wire;
};

Bytes S(const std::string& s) { return Cat({{0x02, uint8_t(s.size() >> 8), uint8_t(s.size())}, Str(s)}); }
Bytes N(double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, 8);
    return Cat({{0x00}, Be32(uint32_t(bits >> 32)), Be32(uint32_t(bits))});
}
const Bytes NUL = {0x05};
// An AMF0 object of string properties.
Bytes Obj(std::initializer_list<std::pair<std::string, std::string>> props) {
    Bytes b{0x03};
    for (const auto& [k, v] : props) {
        const Bytes p = Cat({{uint8_t(k.size() >> 8), uint8_t(k.size())}, Str(k), S(v)});
        b.insert(b.end(), p.begin(), p.end());
    }
    return Cat({b, {0x00, 0x00, 0x09}});
}

// One server message: a format-0 header, format-3 continuations every `chunk` bytes.
Bytes Msg(uint8_t cs, uint8_t type, const Bytes& body, uint32_t ts = 0, uint32_t sid = 0, size_t chunk = 128) {
    Bytes b = Cat({Slice(Be32(ts), 1, 3), Slice(Be32(uint32_t(body.size())), 1, 3), {type}, Be32(__builtin_bswap32(sid))});
    b.insert(b.begin(), cs);
    for (size_t off = 0; off < body.size(); off += chunk) {
        if (off) b.push_back(uint8_t(0xC0 | cs));
        b.insert(b.end(), body.begin() + std::ptrdiff_t(off), body.begin() + std::ptrdiff_t(std::min(body.size(), off + chunk)));
    }
    return b;
}
Bytes Invoke(std::initializer_list<Bytes> parts, uint8_t cs = 3) { return Msg(cs, RTMP_PT_INVOKE, Cat(parts)); }

struct WireMessage {
    AMF3::Header header;
    std::string body;
};
std::vector<WireMessage> Decode(const Bytes& wire) {
    AMF3 codec;
    codec.Init();
    codec.PutData(wire);
    std::vector<WireMessage> out;
    WireMessage m;
    while (BS::DataPtr d = codec.GetMessage(AMF3::MODE_CHUNKS, &m.header)) out.push_back({m.header, std::string(d->data, d->data + d->size_actual)});
    return out;
}

class Client : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qv-client-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        setenv("QV_SETTINGS_USER", (m_dir + "/user.json").c_str(), 1);
        setenv("QV_SETTINGS_MACHINE", (m_dir + "/machine.json").c_str(), 1);
        setenv("TZ", "UTC", 1);  // onFI clock text is local time
        tzset();
        c = std::make_unique<CapturingClient>();
        c->SetReceiveMode(CRTMPClient::RECEIVE_CHUNKS);
        c->m_iStreamID.store(1);
    }
    void TearDown() override {
        c.reset();
        std::filesystem::remove_all(m_dir);
    }
    void SendVideo(int64_t dts) {
        BS::DataPtr v = Record(Bytes(50, 0x65), dts, dts, dts == 0 ? FRAME_I : FRAME_P);
        c->SendBufferedMessage(v.get(), CRTMPClient::SEND_MEDIA, rtmp::CHUNK_STREAM_MEDIA, RTMP_PT_VIDEO, rtmp::SwapStreamId(1), false);
    }
    std::string m_dir;
    std::unique_ptr<CapturingClient> c;
};

TEST_F(Client, ControlMessagesAreAnsweredAndApplied) {
    c->Feed(Msg(2, RTMP_PT_CHUNK_SIZE, Be32(4096)));  // answered with 256 on chunk stream 2
    EXPECT_EQ(c->Wire(), (Bytes{0x02, 0, 0, 0, 0, 0, 4, 0x01, 0, 0, 0, 0, 0x00, 0x00, 0x01, 0x00}));
    BS::DataPtr rec = Record(Bytes(300, 0xAB), 0);
    c->Send(rec.get(), CRTMPClient::SEND_MESSAGE, 3, RTMP_PT_INVOKE, 0, true, true);
    const Bytes wire = c->Wire();
    ASSERT_EQ(wire.size(), 12u + 300u + 1u);
    EXPECT_EQ(wire[12 + 256], 0xC3);
    // Received chunks are now cut at 4096: a 1000-byte message in one chunk is taken whole.
    c->Feed(Cat({Msg(3, RTMP_PT_NOTIFY, Cat({S("onX"), Bytes(990, 1)}), 0, 1, 4096), Msg(2, RTMP_PT_BYTES_READ, Be32(99))}));
    EXPECT_EQ(c->GetServerBytesRead(), 99u);
    c->Feed(Msg(2, RTMP_PT_CHUNK_SIZE, {0, 1}));  // malformed: no answer
    EXPECT_TRUE(c->Wire().empty());

    c->Feed(Msg(2, RTMP_PT_CLIENT_BW, {0x00, 0x26, 0x25, 0xA0, 0x02}));  // answered with Window Ack Size
    EXPECT_EQ(c->Wire(), (Bytes{0x02, 0, 0, 0, 0, 0, 4, 0x05, 0, 0, 0, 0, 0x00, 0x26, 0x25, 0xA0}));
    EXPECT_EQ(c->GetPeerBandwidth(), 2500000u);
    c->Feed(Msg(2, RTMP_PT_SERVER_BW, Be32(5000000)));  // stored, not answered
    EXPECT_TRUE(c->Wire().empty());
    EXPECT_EQ(c->GetPeerBandwidth(), 5000000u);
    c->SetPeerBandwidth();
    EXPECT_EQ(c->Wire(), (Bytes{0x02, 0, 0, 0, 0, 0, 5, 0x06, 0, 0, 0, 0, 0x00, 0x4C, 0x4B, 0x40, 0x02}));
    c->Feed(Msg(2, RTMP_PT_USER_CONTROL, Cat({{0x00, 0x06}, Be32(777)})));  // ping without a connection
    EXPECT_TRUE(c->Wire().empty());
}

TEST_F(Client, CreateStreamResultNeedsItsTransactionAndMayArriveInPieces) {
    A::SetCreateStreamPending(*c, true);
    c->Feed(Invoke({S("_result"), N(1), NUL, N(9)}));  // a late connect answer
    EXPECT_FALSE(A::Reply(*c));
    const Bytes third = Invoke({S("_result"), N(3), NUL, N(5)});
    const Bytes first = Cat({Msg(2, RTMP_PT_SERVER_BW, Be32(1000)), Msg(2, RTMP_PT_BYTES_READ, Be32(42)), Slice(third, 0, 10)});
    c->Feed(first);
    EXPECT_EQ(c->GetPeerBandwidth(), 1000u);
    EXPECT_EQ(c->GetServerBytesRead(), 42u);
    EXPECT_FALSE(A::Reply(*c));
    c->Feed(Slice(third, 10, third.size() - 10));
    EXPECT_TRUE(A::Reply(*c));
    EXPECT_EQ(c->m_iStreamID.load(), 5);
}

TEST_F(Client, StatusMessagesSetFlagsAndStates) {
    auto status = [](const std::string& level, const std::string& code) {
        return Msg(4, RTMP_PT_INVOKE, Cat({S("onStatus"), N(0), NUL, Obj({{"level", level}, {"code", code}})}), 0, 1);
    };
    const Bytes streamEnd = Msg(2, RTMP_PT_USER_CONTROL, Cat({{0x00, 0x01}, Be32(1)}));
    c->Feed(status("error", "NetStream.Publish.BadName"));
    EXPECT_TRUE(A::BadName(*c));
    EXPECT_TRUE(A::Status(*c));
    EXPECT_FALSE(A::Reply(*c));
    const std::vector<std::pair<Bytes, int>> steps = {
        {status("status", "NetStream.Play.Stop"), CRTMPClient::STATE_STREAM_ENDED},
        {streamEnd, CRTMPClient::STATE_STREAM_ENDED},
        {Invoke({S("onPlayStatus"), N(0), NUL, Obj({{"code", "NetStream.Play.Complete"}})}), CRTMPClient::STATE_STREAM_ENDED},
        {status("error", "NetStream.Play.StreamNotFound"), CRTMPClient::STATE_STREAM_NOT_FOUND},
    };
    for (const auto& [msg, state] : steps) {
        c->m_iConnectionState.store(CRTMPClient::STATE_PUBLISHED);
        c->Feed(msg);
        EXPECT_EQ(c->m_iConnectionState.load(), state);
    }
    c->Feed(streamEnd);  // "not found" is kept over a later stream end
    EXPECT_EQ(c->m_iConnectionState.load(), CRTMPClient::STATE_STREAM_NOT_FOUND);

    c->ResetReceiveSide();
    c->Feed(Invoke({S("onFCPublish"), N(0)}));  // only the flex form (format byte first) is ours
    EXPECT_FALSE(A::Status(*c));
    c->Feed(Msg(3, RTMP_PT_FLEX_MESSAGE, Cat({{0x00}, S("onFCPublish"), N(0)})));
    EXPECT_TRUE(A::Status(*c));
}

TEST_F(Client, ErrorDescriptionsSetStatesAndAuthentication) {
    auto error = [&](double txn, const std::string& description) {
        c->Feed(Invoke({S("_error"), N(txn), NUL, Obj({{"level", "error"}, {"code", "NetConnection.Connect.Rejected"}, {"description", description}})}));
    };
    error(1, "[ Server.Reject ] : (_defaultRoot_, _defaultVHost_) : Application folder (nope) is missing.");
    EXPECT_EQ(c->m_iConnectionState.load(), CRTMPClient::STATE_INVALID_APP);
    EXPECT_TRUE(A::Error(*c));
    EXPECT_TRUE(A::Reply(*c));
    c->ResetReceiveSide();
    error(1, "[ AccessManager.Reject ] : [ code=403 ] : ");
    EXPECT_EQ(c->m_iConnectionState.load(), CRTMPClient::STATE_ACCESS_REJECTED);
    EXPECT_FALSE(A::Auth(*c).first);
    // An answerable refusal is a step of the exchange: no error, scheme switched.
    c->m_iConnectionState.store(CRTMPClient::STATE_COMMANDS);
    error(1, "[ AccessManager.Reject ] : [ code=403 need auth; authmod=llnw ] : ");
    EXPECT_FALSE(A::Error(*c));
    EXPECT_EQ(A::Auth(*c), std::make_pair(true, true));
    EXPECT_EQ(c->GetAuthMode(), rtmp::AUTH_LLNW);
    EXPECT_EQ(c->m_iConnectionState.load(), CRTMPClient::STATE_COMMANDS);
    error(1, "[ AccessManager.Reject ] : [ authmod=llnw ] : ?reason=needauth&user=bob&nonce=XYZ");
    EXPECT_EQ(A::Nonce(*c), "XYZ");
    // While createStream waits, only an _error of transaction 3 ends the wait.
    c->ResetReceiveSide();
    A::SetCreateStreamPending(*c, true);
    error(2, "y");
    EXPECT_FALSE(A::Reply(*c));
    error(3, "y");
    EXPECT_TRUE(A::Reply(*c));
    A::SetCreateStreamPending(*c, false);
    c->Feed(Invoke({S("_result"), N(1), NUL}));  // clears error and authentication request
    EXPECT_FALSE(A::Error(*c));
    EXPECT_FALSE(A::Auth(*c).first);
}

TEST_F(Client, HandshakeMediaQueueAndTruncatedBodies) {
    c->SetReceiveMode(CRTMPClient::RECEIVE_HANDSHAKE);
    Bytes s0s1s2(1 + 2 * 1536, 0x11);
    s0s1s2[0] = 3;
    c->Feed(Slice(s0s1s2, 0, 1536));  // one byte short of S1
    EXPECT_TRUE(A::Handshake(*c, 0));
    EXPECT_FALSE(A::Handshake(*c, 1));
    c->Feed(Slice(s0s1s2, 1536, 1536 + 1));
    EXPECT_TRUE(A::Handshake(*c, 1) && A::Handshake(*c, 2));

    c->SetReceiveMode(CRTMPClient::RECEIVE_CHUNKS);
    for (int i = 0; i < 100; ++i) c->Feed(Msg(6, RTMP_PT_AUDIO, Bytes(10, 0xAF), i * 23, 1));
    c->Feed(Msg(7, RTMP_PT_VIDEO, Bytes(20, 0x17), 0, 1));
    EXPECT_EQ(c->GetReceivedQueueSize(RTMP_PT_AUDIO), CRTMPClient::RECEIVE_QUEUE_LIMIT);
    EXPECT_EQ(c->GetReceivedQueueSize(RTMP_PT_VIDEO), 1u);
    for (int i = 0; i < 5; ++i) {  // 2 MiB each in 64 KiB reads: at most two kept
        const Bytes wire = Msg(7, RTMP_PT_VIDEO, Bytes(2 << 20, 0x27), 40 * i, 1);
        for (size_t off = 0; off < wire.size(); off += 65536) c->Feed(Slice(wire, off, std::min<size_t>(65536, wire.size() - off)));
    }
    EXPECT_EQ(c->GetReceivedQueueSize(RTMP_PT_VIDEO), 2u);
    c->Close();
    EXPECT_EQ(c->GetReceivedQueueSize(RTMP_PT_AUDIO), 0u);

    // Every command cut short at every length: nothing crashes, nothing is answered.
    const Bytes full = Cat({S("_error"), N(1), NUL, Obj({{"code", "c"}, {"description", "need auth; authmod=adobe"}})});
    for (size_t n = 0; n <= full.size(); ++n) c->Feed(Cat({Msg(3, RTMP_PT_INVOKE, Slice(full, 0, n)), Msg(2, RTMP_PT_USER_CONTROL, Slice(full, 0, n % 6))}));
    EXPECT_TRUE(c->Wire().empty());
}

TEST_F(Client, TimecodePrecedesVideoAtTheInterval) {
    c->SetTimecode(1577836800, 500000, 1000, 1);  // 2020-01-01 00:00:00.500 UTC, every second
    for (int64_t dts = 0; dts <= 2400; dts += 40) SendVideo(dts);
    std::string order;  // per onFI: the videos before it and its clock text
    size_t videos = 0;
    for (const WireMessage& m : Decode(c->Wire())) {
        if (m.header.type == RTMP_PT_VIDEO && ++videos) continue;
        EXPECT_EQ(m.header.chunkStreamId, rtmp::CHUNK_STREAM_TIMECODE);
        EXPECT_EQ(m.header.headerSize, 12);
        EXPECT_EQ(m.header.streamId, rtmp::SwapStreamId(1));
        EXPECT_EQ(m.body.find("onFI"), 3u);
        EXPECT_NE(m.body.find("sd"), std::string::npos);  // the date is there after 1980
        const size_t st = m.body.find("st");
        order += std::to_string(videos) + " " + (st == std::string::npos ? "" : m.body.substr(st + 5, 12)) + ";";
    }
    EXPECT_EQ(order + std::to_string(videos), "0 00:00:00.500;25 00:00:01.500;50 00:00:02.500;61");
    c->SetTimecode(0, 0, 0, 0);  // off
    SendVideo(5000);
    const std::vector<WireMessage> off = Decode(c->Wire());
    ASSERT_EQ(off.size(), 1u);
    EXPECT_EQ(off[0].header.type, RTMP_PT_VIDEO);
}

TEST_F(Client, CommandDataMetadataAndBufferedSends) {
    BS::data_t empty;
    EXPECT_FALSE(c->SendCommandData(nullptr, 3, RTMP_PT_INVOKE) || c->SendCommandData(&empty, 3, RTMP_PT_INVOKE) ||
                 c->SendCommandData(Record({}, 0).get(), 3, RTMP_PT_INVOKE));
    EXPECT_TRUE(c->Wire().empty());
    BS::DataPtr cmd = Record(S("hello"), NO_TIME);
    EXPECT_TRUE(c->SendCommandData(cmd.get(), 3, RTMP_PT_INVOKE));
    EXPECT_EQ(cmd->dts, NO_TIME);  // the caller's record is untouched
    std::vector<WireMessage> msgs = Decode(c->Wire());
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].header.headerSize, 12);
    EXPECT_EQ(msgs[0].header.streamId, rtmp::SwapStreamId(1));
    EXPECT_EQ(msgs[0].body, "\x02\x00\x05hello"s);

    BS::format_t video, audio;
    video.kind = BS::FORMAT_KIND_VIDEO, audio.kind = BS::FORMAT_KIND_AUDIO;
    video.video.width = 640, video.video.height = 360, video.video.fps = 25.0, video.video.bitrate = 800000;
    audio.audio.sample_rate = 44100, audio.audio.channels = 2, audio.audio.bitrate = 128000, audio.audio.object_type = 2;
    EXPECT_TRUE(c->SendMetadata(&video, &audio, false, true));
    EXPECT_TRUE(c->IsMetadataSent());
    c->Close();  // neither track: the empty form only when asked for, and not marked as sent
    EXPECT_FALSE(c->IsMetadataSent() || c->SendMetadata(nullptr, nullptr, false, true));
    EXPECT_TRUE(c->SendMetadata(nullptr, nullptr, true, true));
    EXPECT_FALSE(c->IsMetadataSent());
    msgs = Decode(c->Wire());
    ASSERT_EQ(msgs.size(), 2u);
    for (const WireMessage& m : msgs) {
        EXPECT_EQ(m.header.type, RTMP_PT_NOTIFY);
        EXPECT_EQ(m.header.chunkStreamId, rtmp::CHUNK_STREAM_MEDIA);
        EXPECT_EQ(m.body.find("@setDataFrame"), 3u);
    }
    EXPECT_NE(msgs[0].body.find("audiosamplerate"), std::string::npos);
    EXPECT_NE(msgs[0].body.find("avc1"), std::string::npos);
    EXPECT_EQ(msgs[1].body.find("hasAudio"), std::string::npos);

    // Buffering off: whole blocking writes with full headers. On: the send buffer, short headers.
    SendVideo(0);
    SendVideo(40);
    EXPECT_EQ(c->m_buffered, 0);
    msgs = Decode(c->Wire());
    ASSERT_EQ(msgs.size(), 2u);
    EXPECT_EQ(msgs[1].header.headerSize, 12);
    A::SetBuffered(*c, true);
    SendVideo(80);
    EXPECT_EQ(c->m_buffered, 1);
    EXPECT_EQ(c->Wire().at(0), 0x44);
}

}  // namespace
