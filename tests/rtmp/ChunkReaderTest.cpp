// Incoming bytes: handshake blocks, reassembly, and what a hostile server can send.
#include <gtest/gtest.h>

#include "rtmp/AMF3.h"
#include "rtmp/RtmpDefs.h"
#include "TestSupport.h"

using namespace rtmptest;

namespace {

class ChunkReader : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(codec.Init()); }
    void Put(const Bytes& b) { codec.PutData(b); }
    BS::DataPtr Next(AMF3::Header* h = nullptr) { return codec.GetMessage(AMF3::MODE_CHUNKS, h); }
    AMF3 codec;
};

Bytes HandshakeBlock(uint32_t time, uint32_t zero, uint8_t fill) {
    Bytes b(1536, fill);
    b[0] = uint8_t(time >> 24), b[1] = uint8_t(time >> 16), b[2] = uint8_t(time >> 8), b[3] = uint8_t(time);
    b[4] = uint8_t(zero >> 24), b[5] = uint8_t(zero >> 16), b[6] = uint8_t(zero >> 8), b[7] = uint8_t(zero);
    return b;
}

TEST_F(ChunkReader, HeaderFormatsAndTimestampDeltas) {
    const Bytes a = Pattern(200, 1);
    Put(Cat({
        {0x03, 0x00, 0x00, 0x64, 0x00, 0x00, 0xC8, 0x14, 0x01, 0x00, 0x00, 0x00},  // ts 100, 200 bytes
        Slice(a, 0, 128), {0xC3}, Slice(a, 128, 72),
        {0x43, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x04, 0x12, 'a', 'b', 'c', 'd'},     // +10, 4 bytes, type 18
        {0x83, 0x00, 0x00, 0x05, 'e', 'f', 'g', 'h'},                            // +5, same length and type
        {0xC3, 'i', 'j', 'k', 'l'},                                              // new message, +5 again
    }));
    AMF3::Header h;
    BS::DataPtr m = Next(&h);
    ASSERT_TRUE(m);
    EXPECT_EQ(ToBytes(*m), a);
    EXPECT_EQ(m->dts, 100);
    EXPECT_EQ(h.headerSize, 1);  // the last chunk's header
    EXPECT_EQ(h.chunkStreamId, 3);
    EXPECT_EQ(h.timestamp, 100);
    EXPECT_EQ(h.length, 200);
    EXPECT_EQ(h.type, RTMP_PT_INVOKE);
    EXPECT_EQ(h.streamId, 0x01000000u);
    EXPECT_EQ(h.lastDelta, 0);

    m = Next(&h);
    ASSERT_TRUE(m);
    EXPECT_EQ(ToBytes(*m), Str("abcd"));
    EXPECT_EQ(h.headerSize, 8);
    EXPECT_EQ(h.timestamp, 110);
    EXPECT_EQ(h.type, RTMP_PT_NOTIFY);
    EXPECT_EQ(h.streamId, 0x01000000u);
    EXPECT_EQ(h.lastDelta, 10);

    m = Next(&h);
    ASSERT_TRUE(m);
    EXPECT_EQ(ToBytes(*m), Str("efgh"));
    EXPECT_EQ(h.headerSize, 4);
    EXPECT_EQ(h.timestamp, 115);
    EXPECT_EQ(h.lastDelta, 5);

    m = Next(&h);
    ASSERT_TRUE(m);
    EXPECT_EQ(ToBytes(*m), Str("ijkl"));
    EXPECT_EQ(h.headerSize, 1);
    EXPECT_EQ(h.timestamp, 120);
    EXPECT_EQ(m->dts, 120);
    EXPECT_FALSE(Next());
}

TEST_F(ChunkReader, ExtendedTimestampIsSkippedOnContinuationChunks) {
    const Bytes a = Pattern(200, 2);
    Put(Cat({
        {0x04, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0xC8, 0x09, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00},
        Slice(a, 0, 128), {0xC4, 0x01, 0x00, 0x00, 0x00}, Slice(a, 128, 72),
        // A format-1 header whose delta takes the extended field.
        {0x44, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x01, 0x08, 0x00, 0x00, 0x00, 0x10, 0x7E},
    }));
    AMF3::Header h;
    BS::DataPtr m = Next(&h);
    ASSERT_TRUE(m);
    EXPECT_EQ(ToBytes(*m), a);
    EXPECT_EQ(h.timestamp, 0x01000000);
    m = Next(&h);
    ASSERT_TRUE(m);
    EXPECT_EQ(ToBytes(*m), Bytes{0x7E});
    EXPECT_EQ(h.timestamp, 0x01000010);
    EXPECT_EQ(h.lastDelta, 0x10);
}

TEST_F(ChunkReader, MessagesAcrossReadsAndSeveralPerRead) {
    const Bytes one = {0x05, 0, 0, 1, 0, 0, 3, 0x14, 0, 0, 0, 0, 'x', 'y', 'z'};
    const Bytes two = {0x45, 0, 0, 1, 0, 0, 2, 0x14, 'u', 'v'};
    const Bytes both = Cat({one, two});
    // Byte by byte: nothing until the last byte of a message.
    for (size_t i = 0; i < both.size(); ++i) {
        Put({both[i]});
        BS::DataPtr m = Next();
        if (i == one.size() - 1) {
            ASSERT_TRUE(m);
            EXPECT_EQ(ToBytes(*m), Str("xyz"));
        } else if (i == both.size() - 1) {
            ASSERT_TRUE(m);
            EXPECT_EQ(ToBytes(*m), Str("uv"));
        } else {
            EXPECT_FALSE(m) << "after byte " << i;
        }
    }
    // Two in one read come out of two calls.
    Put(Cat({two, two}));
    EXPECT_TRUE(Next());
    EXPECT_TRUE(Next());
    EXPECT_FALSE(Next());
}

TEST_F(ChunkReader, ReceiveChunkSizeSetsTheCut) {
    codec.SetReceiveChunkSize(4096);
    const Bytes a = Pattern(5000, 4);
    Put(Cat({{0x06, 0, 0, 0, 0x00, 0x13, 0x88, 0x09, 0, 0, 0, 1}, Slice(a, 0, 4096), {0xC6}, Slice(a, 4096, 904)}));
    BS::DataPtr m = Next();
    ASSERT_TRUE(m);
    EXPECT_EQ(ToBytes(*m), a);
    // One chunk larger than the room a new message starts with.
    codec.SetReceiveChunkSize(200000);
    const Bytes big = Pattern(150000, 5);
    Put(Cat({{0x06, 0, 0, 0, 0x02, 0x49, 0xF0, 0x09, 0, 0, 0, 1}, big}));
    m = Next();
    ASSERT_TRUE(m);
    EXPECT_EQ(ToBytes(*m), big);
}

TEST_F(ChunkReader, ZeroOrNegativeChunkSizeFromAServerIsRefused) {
    LogCapture log;
    codec.SetReceiveChunkSize(0);
    codec.SetReceiveChunkSize(static_cast<int32_t>(0x80000000u));
    EXPECT_EQ(codec.GetReceiveChunkSize(), 128);
    EXPECT_TRUE(log.Contains("AMF3::SetReceiveChunkSize: chunk size 0 refused, keeping 128"));
    const Bytes a = Pattern(200, 6);
    Put(Cat({{0x03, 0, 0, 0, 0, 0, 200, 0x14, 0, 0, 0, 0}, Slice(a, 0, 128), {0xC3}, Slice(a, 128, 72)}));
    BS::DataPtr m = Next();
    ASSERT_TRUE(m);
    EXPECT_EQ(ToBytes(*m), a);
}

TEST_F(ChunkReader, ZeroLengthMessageIsDelivered) {
    Put({0x03, 0, 0, 9, 0, 0, 0, 0x14, 0, 0, 0, 0, 0x03, 0, 0, 9, 0, 0, 1, 0x14, 0, 0, 0, 0, 0x55});
    AMF3::Header h;
    BS::DataPtr m = Next(&h);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->size_actual, 0);
    m = Next(&h);
    ASSERT_TRUE(m);
    EXPECT_EQ(ToBytes(*m), Bytes{0x55});
}

TEST_F(ChunkReader, HandshakeBlocksThenChunks) {
    const Bytes s1 = HandshakeBlock(1234, 0, 0x5A);
    const Bytes s2 = HandshakeBlock(99, 7, 0xA5);
    LogCapture log;
    Put(Cat({{0x03}, s1, s2, {0x03, 0, 0, 0, 0, 0, 1, 0x14, 0, 0, 0, 0, 0x42}}));
    EXPECT_FALSE(codec.GetMessage(AMF3::MODE_CHUNKS + 5, nullptr));  // unknown mode
    EXPECT_EQ(codec.GetHandshakeState(), AMF3::HS_WAIT_S0);
    BS::DataPtr b = codec.GetMessage(AMF3::MODE_HANDSHAKE, nullptr);
    ASSERT_TRUE(b);
    EXPECT_EQ(ToBytes(*b), Bytes{0x03});
    EXPECT_EQ(codec.GetHandshakeState(), AMF3::HS_WAIT_S1);
    EXPECT_FALSE(codec.IsRtmpe());
    b = codec.GetMessage(AMF3::MODE_HANDSHAKE, nullptr);
    ASSERT_TRUE(b);
    EXPECT_EQ(ToBytes(*b), s1);
    EXPECT_EQ(codec.GetHandshakeTime(), 1234u);
    EXPECT_EQ(codec.GetHandshakeState(), AMF3::HS_WAIT_S2);
    b = codec.GetMessage(AMF3::MODE_HANDSHAKE, nullptr);
    ASSERT_TRUE(b);
    EXPECT_EQ(ToBytes(*b), s2);
    EXPECT_EQ(codec.GetHandshakeZero(), 7u);
    EXPECT_EQ(codec.GetHandshakeState(), AMF3::HS_DONE);
    EXPECT_FALSE(codec.GetMessage(AMF3::MODE_HANDSHAKE, nullptr));
    BS::DataPtr m = codec.GetMessage(AMF3::MODE_CHUNKS_ALT, nullptr);
    ASSERT_TRUE(m);
    EXPECT_EQ(ToBytes(*m), Bytes{0x42});
}

TEST_F(ChunkReader, HandshakeWaitsForWholeBlocksAndChecksTheVersion) {
    LogCapture log;
    Put({0x05});
    EXPECT_FALSE(codec.GetMessage(AMF3::MODE_HANDSHAKE, nullptr));
    EXPECT_FALSE(codec.GetMessage(AMF3::MODE_HANDSHAKE, nullptr));
    EXPECT_EQ(codec.GetHandshakeState(), AMF3::HS_WAIT_S0);
    EXPECT_TRUE(log.Contains("AMF3::Protocol version 5. We do not support AMF version other than 3 or 6"));

    codec.Reset();
    const Bytes s1 = HandshakeBlock(1, 0, 1);
    Put(Cat({{0x06}, Slice(s1, 0, 1000)}));
    ASSERT_TRUE(codec.GetMessage(AMF3::MODE_HANDSHAKE, nullptr));
    EXPECT_TRUE(codec.IsRtmpe());
    EXPECT_TRUE(log.Contains("AMF3::Protocol version 6 (RTMPE)"));
    EXPECT_FALSE(codec.GetMessage(AMF3::MODE_HANDSHAKE, nullptr));
    Put(Slice(s1, 1000, 536));
    BS::DataPtr b = codec.GetMessage(AMF3::MODE_HANDSHAKE, nullptr);
    ASSERT_TRUE(b);
    EXPECT_EQ(ToBytes(*b), s1);
}

TEST_F(ChunkReader, BaseTimeFromTheHandshakeShiftsTheServersTimeline) {
    const int32_t reference = 1700000000;
    codec.SetWallClock([&] { return int64_t{reference} + 60; });
    codec.SetBaseTimeMode(true, reference);
    Put(Cat({{0x03}, HandshakeBlock(0, 0, 0), HandshakeBlock(0, 0, 0)}));
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(codec.GetMessage(AMF3::MODE_HANDSHAKE, nullptr));
    EXPECT_EQ(codec.GetBaseTime(), 60000);

    const uint32_t sid = rtmp::SwapStreamId(1);
    auto send = [&](const Bytes& body, int64_t dts, int32_t type, bool full) {
        BS::DataPtr in = Record(body, dts, dts, FRAME_I);
        BS::DataPtr out = codec.Prepare(*in, 4, type, sid, full);
        return out ? ToBytes(*out) : Bytes{};
    };
    // publish: the first message on chunk stream 4, 60000 = 0xEA60.
    EXPECT_EQ(send({0x02}, 0, RTMP_PT_INVOKE, true), (Bytes{0x04, 0x00, 0xEA, 0x60, 0, 0, 1, 0x14, 1, 0, 0, 0, 0x02}));
    EXPECT_EQ(send({0x02}, 0, RTMP_PT_NOTIFY, false), (Bytes{0x44, 0, 0, 0, 0, 0, 1, 0x12, 0x02}));
    EXPECT_FALSE(codec.IsBaseTimeFixed());
    EXPECT_EQ(send({}, 40, RTMP_PT_VIDEO, false), (Bytes{0x44, 0, 0, 0x28, 0, 0, 5, 0x09, 0x17, 0x01, 0, 0, 0}));
    EXPECT_TRUE(codec.IsBaseTimeFixed());
    EXPECT_EQ(codec.GetBaseTime(), 60000);
    // A full header later on carries the base time too.
    EXPECT_EQ(send({0x02}, 10, RTMP_PT_AUDIO, false), (Bytes{0x04, 0x00, 0xEA, 0x88, 0, 0, 1, 0x08, 1, 0, 0, 0, 0x02}));

    // Without the mode the handshake leaves the base time at 0.
    codec.Reset();
    codec.SetBaseTimeMode(false, reference);
    Put(Cat({{0x03}, HandshakeBlock(0, 0, 0), HandshakeBlock(0, 0, 0)}));
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(codec.GetMessage(AMF3::MODE_HANDSHAKE, nullptr));
    EXPECT_EQ(codec.GetBaseTime(), 0);
}

TEST_F(ChunkReader, BaseTimeFromTheAbsoluteTimeIsFixedAtTheFirstMediaMessage) {
    codec.SetBaseTimeMode(true, 1000);
    codec.SetAbsoluteTime(1005000);
    BS::DataPtr cmd = Record({0x01}, 0);
    BS::DataPtr out = codec.Prepare(*cmd, 3, RTMP_PT_INVOKE, 0, true);
    ASSERT_TRUE(out);
    EXPECT_EQ(Slice(ToBytes(*out), 1, 3), (Bytes{0, 0, 0}));  // no base before media
    BS::DataPtr audio = Record({0x01}, 20);
    out = codec.Prepare(*audio, 5, RTMP_PT_AUDIO, 0, false);
    ASSERT_TRUE(out);
    EXPECT_EQ(Slice(ToBytes(*out), 1, 3), (Bytes{0x00, 0x13, 0x9C}));  // 5000 + 20
    // Fixed once per connection: a later absolute time does not move it.
    codec.SetAbsoluteTime(2000000);
    audio = Record({0x01}, 30);
    out = codec.Prepare(*audio, 6, RTMP_PT_AUDIO, 0, false);
    ASSERT_TRUE(out);
    EXPECT_EQ(Slice(ToBytes(*out), 1, 3), (Bytes{0x00, 0x13, 0xA6}));
    // An absolute time before the reference gives 0, after a reset.
    codec.Reset();
    codec.SetAbsoluteTime(999000);
    audio = Record({0x01}, 30);
    out = codec.Prepare(*audio, 6, RTMP_PT_AUDIO, 0, false);
    ASSERT_TRUE(out);
    EXPECT_EQ(Slice(ToBytes(*out), 1, 3), (Bytes{0x00, 0x00, 0x1E}));
}

// ------------------------------------------------------------------ hostile input

TEST_F(ChunkReader, SixteenMegabyteMessageIsReassembled) {
    AMF3 writer;
    ASSERT_TRUE(writer.Init());
    const Bytes body = Pattern(AMF3::MAX_MESSAGE_BYTES, 9);
    BS::DataPtr in = Record(body, 0);
    BS::DataPtr wire = writer.Prepare(*in, 5, RTMP_PT_NOTIFY, 0, false);
    ASSERT_TRUE(wire);
    const size_t piece = 65536;
    BS::DataPtr got;
    for (size_t off = 0; off < static_cast<size_t>(wire->size_actual); off += piece) {
        const size_t n = std::min(piece, static_cast<size_t>(wire->size_actual) - off);
        codec.PutData(std::span<const uint8_t>(wire->data + off, n));
        BS::DataPtr m = Next();
        if (m) {
            ASSERT_FALSE(got);
            got = std::move(m);
        }
    }
    ASSERT_TRUE(got);
    ASSERT_EQ(got->size_actual, AMF3::MAX_MESSAGE_BYTES);
    EXPECT_TRUE(std::equal(body.begin(), body.end(), got->data));
}

TEST_F(ChunkReader, AnnouncedButUnsentMessagesAreBoundedAndDropped) {
    // 16 MiB announced on every chunk stream, a few bytes each: no message, no crash, and the
    // half messages go away with Reset (the sanitizer build checks for leaks).
    for (uint8_t cs = 2; cs < 64; ++cs) {
        Put({cs, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x09, 0, 0, 0, 1});
        Put(Pattern(128));
        EXPECT_FALSE(Next());
    }
    codec.Reset();
    Put({0x03, 0, 0, 0, 0, 0, 1, 0x14, 0, 0, 0, 0, 0x01});
    EXPECT_TRUE(Next());
}

TEST_F(ChunkReader, LowChunkStreamIdsAreReadAsOneByteHeaders) {
    // 0 and 1 would announce the two- and three-byte forms; they index chunk streams 0 and 1.
    Put({0x00, 0, 0, 1, 0, 0, 2, 0x14, 0, 0, 0, 0, 'a', 'b', 0x01, 0, 0, 2, 0, 0, 1, 0x12, 0, 0, 0, 0, 'c'});
    AMF3::Header h;
    BS::DataPtr m = Next(&h);
    ASSERT_TRUE(m);
    EXPECT_EQ(h.chunkStreamId, 0);
    EXPECT_EQ(ToBytes(*m), Str("ab"));
    m = Next(&h);
    ASSERT_TRUE(m);
    EXPECT_EQ(h.chunkStreamId, 1);
    EXPECT_EQ(ToBytes(*m), Str("c"));
}

TEST_F(ChunkReader, ContinuationOnAnUnknownChunkStreamIsSkipped) {
    LogCapture log;
    // Format 3 and format 2 on chunk streams that never had a full header, then a good message.
    Put({0xC7, 0x88, 0, 0, 5, 0x03, 0, 0, 0, 0, 0, 1, 0x14, 0, 0, 0, 0, 0x42});
    BS::DataPtr m = Next();
    ASSERT_TRUE(m);
    EXPECT_EQ(ToBytes(*m), Bytes{0x42});
    EXPECT_TRUE(log.Contains("continues a message it never started"));
}

TEST_F(ChunkReader, NewHeaderInTheMiddleOfAMessageStartsOver) {
    LogCapture log;
    const Bytes a = Pattern(200);
    // 128 of 200 bytes, then a fresh 2-byte message on the same chunk stream.
    Put(Cat({{0x03, 0, 0, 0, 0, 0, 200, 0x14, 0, 0, 0, 0}, Slice(a, 0, 128), {0x43, 0, 0, 1, 0, 0, 2, 0x14, 'o', 'k'}}));
    BS::DataPtr m = Next();
    ASSERT_TRUE(m);
    EXPECT_EQ(ToBytes(*m), Str("ok"));
    EXPECT_TRUE(log.Contains("drops a message of 200 bytes with 72 to come"));
}

TEST_F(ChunkReader, FullBufferDropsWhatItHolds) {
    // A chunk that can never be complete fills the buffer; the next read replaces it.
    codec.SetReceiveChunkSize(0x200000);
    Put({0x05, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x09, 0, 0, 0, 0});
    Put(Bytes(AMF3::RECEIVE_CAPACITY - 12, 0x33));
    EXPECT_FALSE(Next());
    Put({0x03, 0, 0, 0, 0, 0, 1, 0x14, 0, 0, 0, 0, 0x24});
    BS::DataPtr m = Next();
    ASSERT_TRUE(m);
    EXPECT_EQ(ToBytes(*m), Bytes{0x24});
    // More than the whole buffer in one read does not overrun it.
    codec.Reset();
    Put(Bytes(AMF3::RECEIVE_CAPACITY + 100, 0x00));  // empty messages on chunk stream 0
    while (Next()) {
    }
}

TEST_F(ChunkReader, NothingWithoutInit) {
    AMF3 bare;
    bare.PutData(Bytes{0x03, 0, 0, 0, 0, 0, 1, 0x14, 0, 0, 0, 0, 0x24});
    EXPECT_FALSE(bare.GetMessage(AMF3::MODE_CHUNKS, nullptr));
    EXPECT_FALSE(bare.GetMessage(AMF3::MODE_HANDSHAKE, nullptr));
}

}  // namespace
