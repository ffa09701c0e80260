// The client without a socket: server bytes go into OnReceive; what it hands the transport is
// checked byte for byte or decoded by a second codec, as a server would.
#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <mutex>
#include <utility>

#include "rtmp/AMF3.h"
#include "rtmp/RtmpDefs.h"
#include "rtmp/session/RTMPClient.h"
#include "tests/rtmp/TestSupport.h"

using namespace rtmptest;

struct RTMPClientTestAccess {
    // Error, bad name, reply and status as letters ('-' where unset).
    static std::string Seen(CRTMPClient& c) {
        return {"-E"[c.m_bError.load()], "-B"[c.m_bBadName.load()], "-R"[c.m_evReply.IsSet()], "-S"[c.m_evStatus.IsSet()]};
    }
    static std::string Handshake(const CRTMPClient& c) { return {"-0"[c.m_evS0.IsSet()], "-1"[c.m_evS1.IsSet()], "-2"[c.m_evS2.IsSet()]}; }
    static void SetCreateStreamPending(CRTMPClient& c, bool on) { c.m_bCreateStreamPending.store(on); }
    static void SetBuffered(CRTMPClient& c, bool on) { c.m_bSendBuffered.store(on); }
};
using A = RTMPClientTestAccess;

namespace {

// Keeps what the client hands the transport, counting blocking and buffered writes.
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
        return ++count, TCP_DATA_PRESENT;
    }
    std::mutex m_mutex;
    Bytes m_wire;
};

Bytes N(double d) { return Num(std::bit_cast<uint64_t>(d)); }
Bytes Obj(std::initializer_list<std::pair<std::string, std::string>> props) {  // string properties
    Bytes b{0x03};
    for (const auto& [k, v] : props) b = Cat({b, K(k), S(v)});
    return Cat({b, END});
}
// One server message: a format-0 header, format-3 continuations every `chunk` bytes.
Bytes Msg(uint8_t cs, uint8_t type, const Bytes& body, uint32_t ts = 0, uint32_t sid = 0, size_t chunk = 128) {
    Bytes b = Cat({{cs}, Slice(Be32(ts), 1, 3), Slice(Be32(uint32_t(body.size())), 1, 3), {type}, Be32(__builtin_bswap32(sid))});
    for (size_t off = 0; off < body.size(); off += chunk) {
        if (off) b.push_back(uint8_t(0xC0 | cs));
        b.insert(b.end(), body.begin() + std::ptrdiff_t(off), body.begin() + std::ptrdiff_t(std::min(body.size(), off + chunk)));
    }
    return b;
}
Bytes Invoke(std::initializer_list<Bytes> parts) { return Msg(3, RTMP_PT_INVOKE, Cat(parts)); }
Bytes Error(double txn, const std::string& description) {
    return Invoke({S("_error"), N(txn), NUL, Obj({{"level", "error"}, {"code", "NetConnection.Connect.Rejected"}, {"description", description}})});
}

// The messages of a wire as a server reads them.
std::vector<std::pair<AMF3::Header, std::string>> Decode(const Bytes& wire) {
    AMF3 codec;
    codec.Init();
    codec.PutData(wire);
    std::vector<std::pair<AMF3::Header, std::string>> out;
    AMF3::Header h;
    while (BS::DataPtr d = codec.GetMessage(AMF3::MODE_CHUNKS, &h)) out.emplace_back(h, std::string(d->data, d->data + d->size_actual));
    return out;
}

class Client : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("QV_SETTINGS_USER", "/nonexistent/qv-user.json", 1);  // defaults only
        setenv("QV_SETTINGS_MACHINE", "/nonexistent/qv-machine.json", 1);
        setenv("TZ", "UTC", 1);  // onFI clock text is local time
        tzset();
        c = std::make_unique<CapturingClient>();
        c->SetReceiveMode(CRTMPClient::RECEIVE_CHUNKS);
        c->m_iStreamID.store(1);
    }
    void SendVideo(int64_t dts) {
        BS::DataPtr v = Record(Bytes(50, 0x65), dts, dts, dts == 0 ? FRAME_I : FRAME_P);
        c->SendBufferedMessage(v.get(), CRTMPClient::SEND_MEDIA, rtmp::CHUNK_STREAM_MEDIA, RTMP_PT_VIDEO, rtmp::SwapStreamId(1), false);
    }
    int State() const { return c->m_iConnectionState.load(); }
    std::unique_ptr<CapturingClient> c;
};

TEST_F(Client, ControlMessagesAreAnsweredAndApplied) {
    c->Feed(Msg(2, RTMP_PT_CHUNK_SIZE, Be32(4096)));  // answered with 256 on chunk stream 2
    EXPECT_EQ(c->Wire(), (Bytes{0x02, 0, 0, 0, 0, 0, 4, 0x01, 0, 0, 0, 0, 0x00, 0x00, 0x01, 0x00}));
    c->Send(Record(Bytes(300, 0xAB), 0).get(), CRTMPClient::SEND_MESSAGE, 3, RTMP_PT_INVOKE, 0, true, true);
    const Bytes wire = c->Wire();
    EXPECT_TRUE(wire.size() == 12u + 300u + 1u && wire[12 + 256] == 0xC3);
    // Received chunks are now cut at 4096: a 1000-byte message in one chunk is taken whole.
    c->Feed(Cat({Msg(3, RTMP_PT_NOTIFY, Cat({S("onX"), Bytes(990, 1)}), 0, 1, 4096), Msg(2, RTMP_PT_BYTES_READ, Be32(99))}));
    EXPECT_EQ(c->GetServerBytesRead(), 99u);
    const struct { Bytes in, answer; uint32_t bandwidth; } steps[] = {
        {Msg(2, RTMP_PT_CHUNK_SIZE, {0, 1}), {}, 0},  // malformed
        {Msg(2, RTMP_PT_CLIENT_BW, {0x00, 0x26, 0x25, 0xA0, 0x02}), {0x02, 0, 0, 0, 0, 0, 4, 0x05, 0, 0, 0, 0, 0x00, 0x26, 0x25, 0xA0}, 2500000},
        {Msg(2, RTMP_PT_SERVER_BW, Be32(5000000)), {}, 5000000},  // stored, not answered
        {Msg(2, RTMP_PT_USER_CONTROL, Cat({{0x00, 0x06}, Be32(777)})), {}, 5000000},  // a ping without a connection
    };
    for (const auto& s : steps) {
        c->Feed(s.in);
        EXPECT_EQ(c->Wire(), s.answer);
        EXPECT_EQ(c->GetPeerBandwidth(), s.bandwidth);
    }
    c->SetPeerBandwidth();
    EXPECT_EQ(c->Wire(), (Bytes{0x02, 0, 0, 0, 0, 0, 5, 0x06, 0, 0, 0, 0, 0x00, 0x4C, 0x4B, 0x40, 0x02}));
}

TEST_F(Client, CreateStreamWaitNeedsItsTransactionAndMayArriveInPieces) {
    A::SetCreateStreamPending(*c, true);
    c->Feed(Invoke({S("_result"), N(1), NUL, N(9)}));  // a late connect answer
    EXPECT_EQ(A::Seen(*c), "----");
    const Bytes third = Invoke({S("_result"), N(3), NUL, N(5)});
    c->Feed(Cat({Msg(2, RTMP_PT_SERVER_BW, Be32(1000)), Msg(2, RTMP_PT_BYTES_READ, Be32(42)), Slice(third, 0, 10)}));
    EXPECT_EQ(c->GetPeerBandwidth() + c->GetServerBytesRead(), 1042u);
    EXPECT_EQ(A::Seen(*c), "----");
    c->Feed(Slice(third, 10, third.size() - 10));
    EXPECT_EQ(A::Seen(*c), "--R-");
    EXPECT_EQ(c->m_iStreamID.load(), 5);
    // Only an _error of transaction 3 ends the wait as well.
    c->ResetReceiveSide();
    c->Feed(Error(2, "y"));
    EXPECT_EQ(A::Seen(*c), "E---");
    c->Feed(Error(3, "y"));
    EXPECT_EQ(A::Seen(*c), "E-R-");
}

TEST_F(Client, StatusAndErrorMessagesSetFlagsStatesAndAuthentication) {
    auto status = [](const std::string& level, const std::string& code) {
        return Msg(4, RTMP_PT_INVOKE, Cat({S("onStatus"), N(0), NUL, Obj({{"level", level}, {"code", code}})}), 0, 1);
    };
    const Bytes streamEnd = Msg(2, RTMP_PT_USER_CONTROL, Cat({{0x00, 0x01}, Be32(1)}));
    const int kept = -1, published = CRTMPClient::STATE_PUBLISHED, commands = CRTMPClient::STATE_COMMANDS;  // kept: not set, not checked
    // restart: 1 resets the receive side, 2 starts a new client.
    const struct { Bytes in; int restart, before, after; const char* seen; } steps[] = {
        {status("error", "NetStream.Publish.BadName"), 0, kept, kept, "-B-S"},
        {status("status", "NetStream.Play.Stop"), 0, published, CRTMPClient::STATE_STREAM_ENDED, "-B-S"},
        {streamEnd, 0, published, CRTMPClient::STATE_STREAM_ENDED, "-B-S"},
        {Invoke({S("onPlayStatus"), N(0), NUL, Obj({{"code", "NetStream.Play.Complete"}})}), 0, published, CRTMPClient::STATE_STREAM_ENDED, "-B-S"},
        {status("error", "NetStream.Play.StreamNotFound"), 0, published, CRTMPClient::STATE_STREAM_NOT_FOUND, "-B-S"},
        {streamEnd, 0, kept, CRTMPClient::STATE_STREAM_NOT_FOUND, "-B-S"},  // "not found" is kept over a later stream end
        {Invoke({S("onFCPublish"), N(0)}), 1, kept, kept, "-B--"},  // only the flex form (format byte first) is ours
        {Msg(3, RTMP_PT_FLEX_MESSAGE, Cat({{0x00}, S("onFCPublish"), N(0)})), 0, kept, kept, "-B-S"},
        {Error(1, "[ Server.Reject ] : (_defaultRoot_, _defaultVHost_) : Application folder (nope) is missing."), 2, kept,
         CRTMPClient::STATE_INVALID_APP, "E-R-"},
        {Error(1, "[ AccessManager.Reject ] : [ code=403 ] : "), 1, kept, CRTMPClient::STATE_ACCESS_REJECTED, "E-R-"},
        // An answerable refusal is a step of the exchange, not an error.
        {Error(1, "[ AccessManager.Reject ] : [ code=403 need auth; authmod=llnw ] : "), 0, commands, commands, "--R-"},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.seen);
        if (s.restart == 1) c->ResetReceiveSide();
        if (s.restart == 2) c = std::make_unique<CapturingClient>(), c->SetReceiveMode(CRTMPClient::RECEIVE_CHUNKS);
        if (s.before != kept) c->m_iConnectionState.store(s.before);
        c->Feed(s.in);
        EXPECT_EQ(s.after == kept ? kept : State(), s.after);
        EXPECT_EQ(A::Seen(*c), s.seen);
    }
    EXPECT_EQ(c->GetAuthMode(), rtmp::AUTH_LLNW);
}

TEST_F(Client, HandshakeInPiecesAndBoundedMediaQueues) {
    c->SetReceiveMode(CRTMPClient::RECEIVE_HANDSHAKE);
    Bytes s0s1s2(1 + 2 * 1536, 0x11);
    s0s1s2[0] = 3;
    c->Feed(Slice(s0s1s2, 0, 1536));  // one byte short of S1
    EXPECT_EQ(A::Handshake(*c), "0--");
    c->Feed(Slice(s0s1s2, 1536, 1536 + 1));
    EXPECT_EQ(A::Handshake(*c), "012");

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
}

TEST_F(Client, TimecodePrecedesVideoAtTheInterval) {
    c->SetTimecode(1577836800, 500000, 1000, 1);  // 2020-01-01 00:00:00.500 UTC, every second
    for (int64_t dts = 0; dts <= 2400; dts += 40) SendVideo(dts);
    std::string order;  // per onFI: the videos before it, a '?' for a wrong header, its clock text
    size_t videos = 0;
    for (const auto& [h, body] : Decode(c->Wire())) {
        if (h.type == RTMP_PT_VIDEO && ++videos) continue;
        const size_t st = body.find("st");  // the date ("sd") is there after 1980
        const bool ok = h.chunkStreamId == rtmp::CHUNK_STREAM_TIMECODE && h.headerSize == 12 && h.streamId == rtmp::SwapStreamId(1) &&
                        body.find("onFI") == 3 && body.find("sd") != std::string::npos && st != std::string::npos;
        order += std::to_string(videos) + (ok ? " " + body.substr(st + 5, 12) : " ?") + ";";
    }
    EXPECT_EQ(order + std::to_string(videos), "0 00:00:00.500;25 00:00:01.500;50 00:00:02.500;61");
    c->SetTimecode(0, 0, 0, 0);  // off
    SendVideo(5000);
    const auto off = Decode(c->Wire());
    EXPECT_TRUE(off.size() == 1 && off[0].first.type == RTMP_PT_VIDEO);
}

TEST_F(Client, CommandDataMetadataAndBufferedSends) {
    BS::data_t empty;
    EXPECT_FALSE(c->SendCommandData(nullptr, 3, RTMP_PT_INVOKE) || c->SendCommandData(&empty, 3, RTMP_PT_INVOKE) ||
                 c->SendCommandData(Record({}, 0).get(), 3, RTMP_PT_INVOKE));
    EXPECT_TRUE(c->Wire().empty());
    BS::DataPtr cmd = Record(S("hello"), NO_TIME);
    EXPECT_TRUE(c->SendCommandData(cmd.get(), 3, RTMP_PT_INVOKE));
    EXPECT_EQ(cmd->dts, NO_TIME);  // the caller's record is untouched
    c->Wire();
    // Neither track: the empty form only when asked for, and not marked as sent.
    EXPECT_FALSE(c->SendMetadata(nullptr, nullptr, false, true));
    EXPECT_TRUE(c->SendMetadata(nullptr, nullptr, true, true));
    EXPECT_FALSE(c->IsMetadataSent());
    auto msgs = Decode(c->Wire());
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_TRUE(msgs[0].first.type == RTMP_PT_NOTIFY && msgs[0].first.chunkStreamId == rtmp::CHUNK_STREAM_MEDIA);
    const Bytes emptyForm = Cat({S("@setDataFrame"), S("onMetaData"), {0x08, 0, 0, 0, 0}, END});
    EXPECT_EQ(msgs[0].second, std::string(emptyForm.begin(), emptyForm.end()));

    // Buffering off: whole blocking writes with full headers. On: the send buffer, short headers.
    SendVideo(0);
    SendVideo(40);
    msgs = Decode(c->Wire());
    EXPECT_TRUE(c->m_buffered == 0 && msgs.size() == 2 && msgs[1].first.headerSize == 12);
    A::SetBuffered(*c, true);
    SendVideo(80);
    EXPECT_EQ(c->m_buffered, 1);
    EXPECT_EQ(c->Wire().at(0), 0x44);
}

}  // namespace
