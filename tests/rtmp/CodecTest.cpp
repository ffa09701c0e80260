// The chunk codec's state (handshake, base time, hostile input, random round trips) and the
// AMF0 cursor reader.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "rtmp/AMF3.h"
#include "rtmp/Amf0Reader.h"
#include "rtmp/RtmpDefs.h"
#include "TestSupport.h"

using namespace rtmptest;

namespace {

class Codec : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(codec.Init()); }
    void Put(const Bytes& b) { codec.PutData(b); }
    BS::DataPtr Next() { return codec.GetMessage(AMF3::MODE_CHUNKS, nullptr); }
    Bytes Hs() {
        BS::DataPtr b = codec.GetMessage(AMF3::MODE_HANDSHAKE, nullptr);
        return b ? ToBytes(*b) : Bytes{};
    }
    Bytes Send(const Bytes& body, int64_t dts, int32_t cs, int32_t type, bool full = false) {
        BS::DataPtr in = Record(body, dts, dts, FRAME_I);
        BS::DataPtr out = codec.Prepare(*in, cs, type, rtmp::SwapStreamId(1), full);
        return out ? ToBytes(*out) : Bytes{};
    }
    AMF3 codec;
};

Bytes HandshakeBlock(uint32_t time, uint32_t zero, uint8_t fill) { return Cat({Be32(time), Be32(zero), Bytes(1528, fill)}); }
Bytes S0(const std::string& s) { return Cat({{0x02, uint8_t(s.size() >> 8), uint8_t(s.size())}, Str(s)}); }

TEST_F(Codec, HandshakeBlocksThenChunks) {
    const Bytes s1 = HandshakeBlock(1234, 0, 0x5A), s2 = HandshakeBlock(99, 7, 0xA5);
    Put(Cat({{0x03}, Slice(s1, 0, 1000)}));
    EXPECT_EQ(Hs(), Bytes{0x03});
    EXPECT_FALSE(codec.IsRtmpe());
    EXPECT_EQ(Hs(), Bytes{});  // S1 not whole yet
    Put(Cat({Slice(s1, 1000, 536), s2, {0x03, 0, 0, 0, 0, 0, 1, 0x14, 0, 0, 0, 0, 0x42}}));
    EXPECT_EQ(Hs(), s1);
    EXPECT_EQ(codec.GetHandshakeTime(), 1234u);
    EXPECT_EQ(Hs(), s2);
    EXPECT_EQ(codec.GetHandshakeZero(), 7u);
    EXPECT_EQ(codec.GetHandshakeState(), AMF3::HS_DONE);
    EXPECT_EQ(Hs(), Bytes{});
    BS::DataPtr m = codec.GetMessage(AMF3::MODE_CHUNKS_ALT, nullptr);
    EXPECT_EQ(m ? ToBytes(*m) : Bytes{}, Bytes{0x42});
    codec.Reset();
    Put({0x05});  // only versions 3 and 6
    EXPECT_EQ(Hs(), Bytes{});
    EXPECT_EQ(codec.GetHandshakeState(), AMF3::HS_WAIT_S0);
    codec.Reset();
    Put({0x06});
    EXPECT_EQ(Hs(), Bytes{0x06});
    EXPECT_TRUE(codec.IsRtmpe());
}

TEST_F(Codec, BaseTimeShiftsTheTimelineFromTheFirstMediaMessage) {
    const int32_t reference = 1700000000;
    codec.SetWallClock([&] { return int64_t{reference} + 60; });
    for (bool on : {false, true}) {
        codec.Reset();
        codec.SetBaseTimeMode(on, reference);
        Put(Cat({{0x03}, HandshakeBlock(0, 0, 0), HandshakeBlock(0, 0, 0)}));
        for (int i = 0; i < 3; ++i) ASSERT_FALSE(Hs().empty());
        EXPECT_EQ(codec.GetBaseTime(), on ? 60000 : 0);
    }
    // 60000 = 0xEA60 in full headers.
    EXPECT_EQ(Send({0x02}, 0, 4, RTMP_PT_INVOKE, true), (Bytes{0x04, 0x00, 0xEA, 0x60, 0, 0, 1, 0x14, 1, 0, 0, 0, 0x02}));
    EXPECT_EQ(Send({0x02}, 0, 4, RTMP_PT_NOTIFY), (Bytes{0x44, 0, 0, 0, 0, 0, 1, 0x12, 0x02}));
    EXPECT_FALSE(codec.IsBaseTimeFixed());
    EXPECT_EQ(Send({}, 40, 4, RTMP_PT_VIDEO), (Bytes{0x44, 0, 0, 0x28, 0, 0, 5, 0x09, 0x17, 0x01, 0, 0, 0}));
    EXPECT_TRUE(codec.IsBaseTimeFixed());
    EXPECT_EQ(Send({0x02}, 10, 4, RTMP_PT_AUDIO), (Bytes{0x04, 0x00, 0xEA, 0x88, 0, 0, 1, 0x08, 1, 0, 0, 0, 0x02}));

    // From the absolute time instead: none before media, then fixed once per connection.
    codec.Reset();
    codec.SetBaseTimeMode(true, 1000);
    codec.SetAbsoluteTime(1005000);
    EXPECT_EQ(Slice(Send({1}, 0, 3, RTMP_PT_INVOKE, true), 1, 3), (Bytes{0, 0, 0}));
    EXPECT_EQ(Slice(Send({1}, 20, 5, RTMP_PT_AUDIO), 1, 3), (Bytes{0x00, 0x13, 0x9C}));  // 5000 + 20
    codec.SetAbsoluteTime(2000000);
    EXPECT_EQ(Slice(Send({1}, 30, 6, RTMP_PT_AUDIO), 1, 3), (Bytes{0x00, 0x13, 0xA6}));
    codec.Reset();
    codec.SetAbsoluteTime(999000);  // before the reference: 0
    EXPECT_EQ(Slice(Send({1}, 30, 6, RTMP_PT_AUDIO), 1, 3), (Bytes{0x00, 0x00, 0x1E}));
}

TEST_F(Codec, SixteenMegabyteMessageIsReassembled) {
    AMF3 writer;
    ASSERT_TRUE(writer.Init());
    const Bytes body = Pattern(AMF3::MAX_MESSAGE_BYTES, 9);
    BS::DataPtr wire = writer.Prepare(*Record(body, 0), 5, RTMP_PT_NOTIFY, 0, false);
    ASSERT_TRUE(wire);
    BS::DataPtr got;
    for (int32_t off = 0; off < wire->size_actual; off += 65536) {
        codec.PutData(std::span<const uint8_t>(wire->data + off, size_t(std::min(65536, wire->size_actual - off))));
        if (BS::DataPtr m = Next()) {
            ASSERT_FALSE(got);
            got = std::move(m);
        }
    }
    ASSERT_TRUE(got);
    ASSERT_EQ(got->size_actual, AMF3::MAX_MESSAGE_BYTES);
    EXPECT_TRUE(std::equal(body.begin(), body.end(), got->data));
}

TEST_F(Codec, HostileInputIsBoundedAndRecoveredFrom) {
    // 16 MiB announced on every chunk stream, a few bytes each; Reset drops them (leak-checked).
    for (uint8_t cs = 2; cs < 64; ++cs) {
        Put(Cat({{cs, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x09, 0, 0, 0, 1}, Pattern(128)}));
        EXPECT_FALSE(Next());
    }
    codec.Reset();
    const Bytes one = {0x03, 0, 0, 0, 0, 0, 1, 0x14, 0, 0, 0, 0, 0x24};
    Put(one);
    EXPECT_TRUE(Next());
    // A chunk that can never be complete fills the buffer; the next read replaces it.
    codec.SetReceiveChunkSize(0x200000);
    Put({0x05, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x09, 0, 0, 0, 0});
    Put(Bytes(AMF3::RECEIVE_CAPACITY - 12, 0x33));
    EXPECT_FALSE(Next());
    Put(one);
    BS::DataPtr m = Next();
    ASSERT_TRUE(m);
    EXPECT_EQ(ToBytes(*m), Bytes{0x24});
    codec.Reset();
    Put(Bytes(AMF3::RECEIVE_CAPACITY + 100, 0x00));  // more than the buffer in one read
    for (int i = 0; Next() && i < 1000000; ++i) {
    }
}

// Random sequences written with Prepare, read back in random pieces. The receiver's clock per
// chunk stream: a format-0 header repeats the chunk stream's previous time (its own only for the
// first message), format-1 deltas continue from the message's own dts.
struct Sent {
    Bytes body;
    int32_t cs, type;
    uint32_t sid, ts;
};

void RoundTrip(uint64_t seed, int count, int32_t chunk, size_t maxBody, size_t maxPiece) {
    std::mt19937_64 rng(seed);
    AMF3 writer, reader;
    ASSERT_TRUE(writer.Init() && reader.Init());
    writer.SetSendChunkSize(chunk);
    reader.SetReceiveChunkSize(chunk);
    struct Cs {
        uint32_t sid = 0;
        int64_t last = 0, receiver = 0;
    };
    std::map<int32_t, Cs> model;
    std::vector<Sent> sent;
    Bytes wire;
    const int32_t types[] = {RTMP_PT_AUDIO, RTMP_PT_VIDEO, RTMP_PT_NOTIFY, RTMP_PT_INVOKE};
    const int32_t csids[] = {3, 4, 5, 9, 63};
    const uint32_t sids[] = {0, rtmp::SwapStreamId(1), 0x12345678};
    const int64_t starts[] = {0, 0xFFFF00, 0xFFFFFFFFLL - 3000, 123456};  // near the 24- and 32-bit limits
    int64_t dts = starts[rng() % 4];
    for (int i = 0; i < count; ++i) {
        const int step = int(rng() % 100);
        dts += step < 70 ? int64_t(rng() % 100) : step < 85 ? -int64_t(rng() % 500) : int64_t(rng() % 0xFFFF00);
        dts = std::max<int64_t>(dts, 0);
        const int32_t type = types[rng() % 4], cs = csids[rng() % 5];
        const uint32_t sid = sids[rng() % 10 < 8 ? 1 : rng() % 3];
        const auto known = model.find(cs);
        // A format-1 delta has 24 bits; a longer gap goes with a full header.
        const bool forced = rng() % 10 == 0 || (known != model.end() && dts - known->second.last >= 0xFFFF00);
        const Bytes body = Pattern(rng() % 8 == 0 ? rng() % (maxBody + 1) : rng() % 600, uint8_t(i));
        const int64_t pts = dts + int64_t(rng() % 200);
        BS::DataPtr in = Record(body, dts, pts, int32_t(rng() % 4), rng() % 20 == 0);
        BS::DataPtr out = writer.Prepare(*in, cs, type, sid, forced);
        ASSERT_TRUE(out);
        wire.insert(wire.end(), out->data, out->data + out->size_actual);
        Cs& c = model[cs];
        if (known == model.end()) c.receiver = dts;
        else if (forced || dts < c.last || sid != c.sid) c.receiver = c.last;
        else c.receiver += dts - c.last;
        c.sid = sid, c.last = dts;
        Sent s{body, cs, type, sid, uint32_t(c.receiver)};
        if (type == RTMP_PT_VIDEO) {
            const uint32_t cts = uint32_t(pts - dts);
            s.body = Cat({{uint8_t(in->frame_type == FRAME_I || in->config ? 0x17 : 0x27), uint8_t(in->config ? 0 : 1),
                           uint8_t(cts >> 16), uint8_t(cts >> 8), uint8_t(cts)}, body});
        }
        sent.push_back(std::move(s));
    }
    size_t next = 0;
    for (size_t off = 0; off < wire.size();) {
        const size_t n = std::min(wire.size() - off, 1 + size_t(rng() % maxPiece));
        reader.PutData(std::span<const uint8_t>(wire.data() + off, n));
        off += n;
        AMF3::Header h;
        while (BS::DataPtr m = reader.GetMessage(AMF3::MODE_CHUNKS, &h)) {
            ASSERT_LT(next, sent.size());
            const Sent& s = sent[next++];
            SCOPED_TRACE("message " + std::to_string(next - 1));
            ASSERT_EQ(ToBytes(*m), s.body);
            EXPECT_EQ(h.chunkStreamId, s.cs);
            EXPECT_EQ(h.type, s.type);
            EXPECT_EQ(h.streamId, s.sid);
            EXPECT_EQ(uint32_t(h.timestamp), s.ts);
            EXPECT_EQ(uint32_t(m->dts), s.ts);
        }
    }
    EXPECT_EQ(next, sent.size());
}

TEST(ChunkRoundTrip, RandomSequencesInRandomPiecesAndByteByByte) {
    const int32_t chunks[] = {128, 129, 256, 1000, 4096, 65536};
    for (uint64_t seed = 1; seed <= 30 && !testing::Test::HasFatalFailure(); ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        RoundTrip(seed, 120, chunks[seed % 6], 300000, 20000);
    }
    for (int32_t chunk : {128, 777, 65536}) {
        SCOPED_TRACE("byte by byte, chunk " + std::to_string(chunk));
        RoundTrip(uint64_t(chunk), 60, chunk, 70000, 1);
    }
}

TEST(Amf0Reader, CursorReadsTruncatedValuesAndText) {
    const Bytes body = Cat({S0("_result"), {0x00, 0x40, 0x08, 0, 0, 0, 0, 0, 0, 0x05}, {0x00, 0x40, 0x08, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x03}});
    rtmp::CAmf0Reader r(body);
    EXPECT_EQ(r.ReadString(), "_result");
    EXPECT_EQ(r.ReadString(), "");  // a number is next: no move
    EXPECT_EQ(r.ReadNumber(), 3);
    EXPECT_EQ(r.ReadNumber(), 0);  // null is next: no move
    EXPECT_EQ(r.SkipNullOrObject(), rtmp::CAmf0Reader::Marker::Null);
    EXPECT_EQ(r.ReadNumber(), 3);  // 3.05 truncates
    EXPECT_EQ(r.SkipNullOrObject(), rtmp::CAmf0Reader::Marker::Object);
    EXPECT_EQ(r.SkipNullOrObject(), rtmp::CAmf0Reader::Marker::None);
    const Bytes longName = Cat({{0x02, 0x01, 0x2C}, Bytes(300, 'n')});  // 255 bytes are taken
    rtmp::CAmf0Reader l(longName);
    EXPECT_EQ(l.ReadString(), std::string(255, 'n'));
    EXPECT_EQ(l.Position(), 3u + 255);
    const Bytes cut = {0x02, 0x00, 0x10, 'a', 'b'}, shortNumber = {0x00, 0x40, 0x08}, unknown = {0x0A, 0x00};
    rtmp::CAmf0Reader c(cut), n(shortNumber), u(unknown);
    EXPECT_EQ(c.ReadString(), "ab");  // length past the end: what is there
    EXPECT_EQ(c.Remaining(), 0u);
    EXPECT_EQ(n.ReadNumber(), 0);
    EXPECT_EQ(n.Position(), 0u);
    EXPECT_EQ(u.ReadValueAsText(), "");
    EXPECT_EQ(u.Position(), 0u);
    const Bytes huge = Cat({{0x00, 0x7F, 0xF0, 0, 0, 0, 0, 0, 0}, {0x00, 0xFF, 0xF8, 0, 0, 0, 0, 0, 0}, {0x00, 0xC3, 0xE0, 0, 0, 0, 0, 0, 0}});
    rtmp::CAmf0Reader h(huge);
    EXPECT_EQ(h.ReadNumber(), INT64_MAX);
    EXPECT_EQ(h.ReadNumber(), 0);  // NaN
    EXPECT_EQ(h.ReadNumber(), INT64_MIN);

    const Bytes obj = Cat({{0x00, 0x05}, Str("level"), S0("error"), {0x00, 0x0E}, Str("objectEncoding"), {0x00, 0x40, 0x08, 0, 0, 0, 0, 0, 0},
                           {0x00, 0x01}, Str("x"), {0x01, 0x01}, {0x00, 0x00, 0x09}});
    rtmp::CAmf0Reader p(obj);
    std::string text;
    for (int guard = 0; !p.AtPropertyListEnd() && guard < 100; ++guard) {
        text += p.ReadPropertyName() + "=";
        text += p.ReadValueAsText() + ";";
    }
    EXPECT_EQ(text, "level=error;objectEncoding=3;x=;");
    const Bytes cutName = {0x00, 0x30, 'a', 'b', 'c'};
    rtmp::CAmf0Reader cn(cutName);
    EXPECT_EQ(cn.ReadPropertyName(), "abc");
    EXPECT_TRUE(cn.AtPropertyListEnd());
    EXPECT_EQ(rtmp::StatusText(Cat({S0("onStatus"), {0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0x05, 0x03, 0x00, 0x04}, Str("code"), S0("NetStream.Play.Stop")})),
              "onStatuscodeNetStreamPlayStop");
    EXPECT_EQ(rtmp::StatusText(Cat({Bytes(250, '.'), Str("abcdefgh")})), "abcde");  // the first 255 bytes only
}

}  // namespace
