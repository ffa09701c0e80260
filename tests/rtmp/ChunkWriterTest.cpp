// Outgoing chunks, byte for byte.
#include <gtest/gtest.h>

#include "rtmp/AMF3.h"
#include "rtmp/ControlMessages.h"
#include "rtmp/RtmpDefs.h"
#include "TestSupport.h"

using namespace rtmptest;

namespace {

constexpr uint32_t SID1 = rtmp::SwapStreamId(1);

class ChunkWriter : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(codec.Init()); }
    Bytes Send(const Bytes& body, int64_t dts, int32_t csid, int32_t type, uint32_t sid, bool full = false,
               int64_t pts = 0, int32_t frameType = FRAME_UNKNOWN, bool config = false) {
        BS::DataPtr in = Record(body, dts, pts, frameType, config);
        BS::DataPtr out = codec.Prepare(*in, csid, type, sid, full);
        EXPECT_TRUE(out);
        return out ? ToBytes(*out) : Bytes{};
    }
    AMF3 codec;
};

TEST_F(ChunkWriter, VideoBodyIsCutWithThePrefixInTheFirstChunk) {
    const Bytes body = Pattern(300);
    const Bytes wire = Send(body, 0, 4, RTMP_PT_VIDEO, SID1, false, 40, FRAME_I);
    const Bytes expected = Cat({
        {0x04, 0x00, 0x00, 0x00, 0x00, 0x01, 0x31, 0x09, 0x01, 0x00, 0x00, 0x00},  // 305 bytes, type 9, id 1
        {0x17, 0x01, 0x00, 0x00, 0x28},                                            // key frame, NALU, cts 40
        Slice(body, 0, 123),
        {0xC4},
        Slice(body, 123, 128),
        {0xC4},
        Slice(body, 251, 49),
    });
    EXPECT_EQ(wire, expected);
}

TEST_F(ChunkWriter, HeaderFormatFollowsStreamIdAndTimeOrder) {
    // First on the chunk stream: full header with its own time.
    EXPECT_EQ(Send({0xAA}, 1000, 4, RTMP_PT_AUDIO, SID1),
              (Bytes{0x04, 0x00, 0x03, 0xE8, 0x00, 0x00, 0x01, 0x08, 0x01, 0x00, 0x00, 0x00, 0xAA}));
    // Same stream id, later time: 8-byte header with the delta.
    EXPECT_EQ(Send({0xBB, 0xCC}, 1040, 4, RTMP_PT_AUDIO, SID1),
              (Bytes{0x44, 0x00, 0x00, 0x28, 0x00, 0x00, 0x02, 0x08, 0xBB, 0xCC}));
    // Going back in time forces a full header; it carries the chunk stream's last time (1040).
    EXPECT_EQ(Send({0xDD}, 1020, 4, RTMP_PT_AUDIO, SID1),
              (Bytes{0x04, 0x00, 0x04, 0x10, 0x00, 0x00, 0x01, 0x08, 0x01, 0x00, 0x00, 0x00, 0xDD}));
    // Deltas continue from the message just sent, not from the header's time.
    EXPECT_EQ(Send({0xEE}, 1060, 4, RTMP_PT_AUDIO, SID1), (Bytes{0x44, 0x00, 0x00, 0x28, 0x00, 0x00, 0x01, 0x08, 0xEE}));
    // Another message stream id: full header again.
    EXPECT_EQ(Send({0x01}, 1070, 4, RTMP_PT_NOTIFY, 0),
              (Bytes{0x04, 0x00, 0x04, 0x24, 0x00, 0x00, 0x01, 0x12, 0x00, 0x00, 0x00, 0x00, 0x01}));
    // The caller may force a full header; same length and type still never give format 2.
    EXPECT_EQ(Send({0x02}, 1080, 4, RTMP_PT_NOTIFY, 0, true),
              (Bytes{0x04, 0x00, 0x04, 0x2E, 0x00, 0x00, 0x01, 0x12, 0x00, 0x00, 0x00, 0x00, 0x02}));
    EXPECT_EQ(Send({0x03}, 1080, 4, RTMP_PT_NOTIFY, 0), (Bytes{0x44, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x12, 0x03}));
    // Chunk streams keep separate state.
    EXPECT_EQ(Send({}, 5, 3, RTMP_PT_INVOKE, 0),
              (Bytes{0x03, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x14, 0x00, 0x00, 0x00, 0x00}));
}

TEST_F(ChunkWriter, StreamIdGoesOutLittleEndian) {
    const Bytes wire = Send({0x00}, 0, 4, RTMP_PT_AUDIO, rtmp::SwapStreamId(0x01020304));
    ASSERT_GE(wire.size(), 12u);
    EXPECT_EQ(Slice(wire, 8, 4), (Bytes{0x04, 0x03, 0x02, 0x01}));
}

TEST_F(ChunkWriter, ExtendedTimestampIsRepeatedAfterEveryContinuationHeader) {
    const Bytes body = Pattern(300, 3);
    const Bytes wire = Send(body, 0x1000000, 4, RTMP_PT_AUDIO, SID1);
    const Bytes expected = Cat({
        {0x04, 0xFF, 0xFF, 0xFF, 0x00, 0x01, 0x2C, 0x08, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00},
        Slice(body, 0, 128),
        {0xC4, 0x01, 0x00, 0x00, 0x00},
        Slice(body, 128, 128),
        {0xC4, 0x01, 0x00, 0x00, 0x00},
        Slice(body, 256, 44),
    });
    EXPECT_EQ(wire, expected);
}

TEST_F(ChunkWriter, ExtendedFieldStartsAtFFFFFF) {
    EXPECT_EQ(Send({0x11}, 0xFFFFFE, 5, RTMP_PT_AUDIO, 0),
              (Bytes{0x05, 0xFF, 0xFF, 0xFE, 0x00, 0x00, 0x01, 0x08, 0x00, 0x00, 0x00, 0x00, 0x11}));
    EXPECT_EQ(Send({0x22}, 0xFFFFFF, 6, RTMP_PT_AUDIO, 0),
              (Bytes{0x06, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x01, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x22}));
    // A format-1 header never uses the extended field, even past 0xFFFFFF.
    EXPECT_EQ(Send({0x33}, 0x1000010, 6, RTMP_PT_AUDIO, 0), (Bytes{0x46, 0x00, 0x00, 0x11, 0x00, 0x00, 0x01, 0x08, 0x33}));
}

TEST_F(ChunkWriter, TimesThatDoNotFitAreTruncatedAndLogged) {
    LogCapture log;
    // 2^32 + 0x10: the low 32 bits are below 0xFFFFFF, so they go in the short field.
    EXPECT_EQ(Send({0x01}, 0x100000010LL, 7, RTMP_PT_AUDIO, 0),
              (Bytes{0x07, 0x00, 0x00, 0x10, 0x00, 0x00, 0x01, 0x08, 0x00, 0x00, 0x00, 0x00, 0x01}));
    EXPECT_TRUE(log.Contains("AMF3::Prepare: Overflow timestamp - sid 0  type 8  size 1  dts 4294967312"));
    // A delta of 0x1000005 keeps its low 24 bits.
    EXPECT_EQ(Send({0x02}, 0x100000010LL + 0x1000005, 7, RTMP_PT_AUDIO, 0),
              (Bytes{0x47, 0x00, 0x00, 0x05, 0x00, 0x00, 0x01, 0x08, 0x02}));
    EXPECT_TRUE(log.Contains("AMF3::Prepare: Overflow duration - sid 0  type 8  size 1"));
    // A negative time wraps to a large 32-bit value, which takes the extended field.
    EXPECT_EQ(Send({0x03}, -5, 8, RTMP_PT_AUDIO, 0),
              (Bytes{0x08, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x01, 0x08, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFB, 0x03}));
}

TEST_F(ChunkWriter, MissingDtsTakesTheChunkStreamsLast) {
    Send({0x01}, 500, 4, RTMP_PT_AUDIO, SID1);
    BS::DataPtr in = Record({0x02}, NO_TIME);
    BS::DataPtr out = codec.Prepare(*in, 4, RTMP_PT_AUDIO, SID1, false);
    ASSERT_TRUE(out);
    EXPECT_EQ(in->dts, 500);
    EXPECT_EQ(out->dts, 500);
    EXPECT_EQ(ToBytes(*out), (Bytes{0x44, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x08, 0x02}));
    // Nothing known on a fresh chunk stream: time 0.
    BS::DataPtr none = Record({0x03}, NO_TIME);
    BS::DataPtr out2 = codec.Prepare(*none, 9, RTMP_PT_NOTIFY, 0, false);
    ASSERT_TRUE(out2);
    EXPECT_EQ(ToBytes(*out2), (Bytes{0x09, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x12, 0x00, 0x00, 0x00, 0x00, 0x03}));
}

TEST_F(ChunkWriter, VideoPrefixCarriesFrameKindAndCompositionTime) {
    LogCapture log;
    // Inter frame, composition time -40 written as 0.
    Bytes wire = Send({0xAB}, 1000, 4, RTMP_PT_VIDEO, SID1, false, 960, FRAME_P);
    EXPECT_EQ(Slice(wire, 12, 6), (Bytes{0x27, 0x01, 0x00, 0x00, 0x00, 0xAB}));
    EXPECT_FALSE(log.Contains("Composition time"));
    // 1200 ms is written and logged.
    wire = Send({0xAB}, 1040, 4, RTMP_PT_VIDEO, SID1, false, 2240, FRAME_B);
    EXPECT_EQ(wire, (Bytes{0x44, 0x00, 0x00, 0x28, 0x00, 0x00, 0x06, 0x09, 0x27, 0x01, 0x00, 0x04, 0xB0, 0xAB}));
    EXPECT_TRUE(log.Contains("AMF3::Prepare: Composition time - sid 1000000  type 9  size 1  pts 2240  dts 1040  diff 1200"));
    // A decoder configuration record: key frame, sequence header.
    wire = Send({0x01, 0x64}, 1080, 4, RTMP_PT_VIDEO, SID1, false, 1080, FRAME_UNKNOWN, true);
    EXPECT_EQ(wire, (Bytes{0x44, 0x00, 0x00, 0x28, 0x00, 0x00, 0x07, 0x09, 0x17, 0x00, 0x00, 0x00, 0x00, 0x01, 0x64}));
    // An empty video body is the prefix alone.
    wire = Send({}, 1120, 4, RTMP_PT_VIDEO, SID1, false, 1120, FRAME_I);
    EXPECT_EQ(wire, (Bytes{0x44, 0x00, 0x00, 0x28, 0x00, 0x00, 0x05, 0x09, 0x17, 0x01, 0x00, 0x00, 0x00}));
}

TEST_F(ChunkWriter, VideoPrefixCountsTowardTheFirstChunkAtEveryBoundary) {
    // 123 body bytes fill the first 128-byte chunk exactly; 124 need a continuation.
    Bytes body = Pattern(123);
    Bytes wire = Send(body, 0, 4, RTMP_PT_VIDEO, SID1, false, 0, FRAME_I);
    EXPECT_EQ(wire.size(), 12u + 5 + 123);
    body = Pattern(124);
    wire = Send(body, 40, 4, RTMP_PT_VIDEO, SID1, false, 40, FRAME_P);
    EXPECT_EQ(wire, Cat({{0x44, 0x00, 0x00, 0x28, 0x00, 0x00, 0x81, 0x09, 0x27, 0x01, 0x00, 0x00, 0x00},
                         Slice(body, 0, 123), {0xC4}, Slice(body, 123, 1)}));
    // Audio has no prefix: exactly one chunk's worth needs no continuation.
    wire = Send(Pattern(128), 0, 5, RTMP_PT_AUDIO, 0);
    EXPECT_EQ(wire.size(), 12u + 128);
}

TEST_F(ChunkWriter, SendChunkSizeCutsOutgoingMessages) {
    codec.SetReceiveChunkSize(4096);
    codec.SetSendChunkSize(256);
    EXPECT_EQ(codec.GetReceiveChunkSize(), 4096);
    EXPECT_EQ(codec.GetSendChunkSize(), 256);
    // The answer to the server's Set Chunk Size announces 256 on chunk stream 2.
    BS::DataPtr scs = rtmp::BuildSetChunkSize(256);
    ASSERT_TRUE(scs);
    BS::DataPtr out = codec.Prepare(*scs, 2, RTMP_PT_CHUNK_SIZE, 0, true);
    ASSERT_TRUE(out);
    EXPECT_EQ(ToBytes(*out), (Bytes{0x02, 0, 0, 0, 0, 0, 4, 0x01, 0, 0, 0, 0, 0x00, 0x00, 0x01, 0x00}));
    const Bytes body = Pattern(600);
    EXPECT_EQ(Send(body, 0, 4, RTMP_PT_AUDIO, SID1),
              Cat({{0x04, 0, 0, 0, 0x00, 0x02, 0x58, 0x08, 0x01, 0, 0, 0}, Slice(body, 0, 256), {0xC4},
                   Slice(body, 256, 256), {0xC4}, Slice(body, 512, 88)}));
    // Nonsense sizes are refused and the current one stays.
    codec.SetSendChunkSize(0);
    codec.SetReceiveChunkSize(-5);
    EXPECT_EQ(codec.GetSendChunkSize(), 256);
    EXPECT_EQ(codec.GetReceiveChunkSize(), 4096);
    codec.Reset();
    EXPECT_EQ(codec.GetSendChunkSize(), 128);
    EXPECT_EQ(codec.GetReceiveChunkSize(), 128);
}

TEST_F(ChunkWriter, MessagesThatCannotBeWrittenAreRefused) {
    BS::DataPtr in = Record({0x01}, 0);
    EXPECT_FALSE(codec.Prepare(*in, 1, RTMP_PT_AUDIO, 0, false));
    EXPECT_FALSE(codec.Prepare(*in, 64, RTMP_PT_AUDIO, 0, false));
    BS::DataPtr big(BS::data_t::Create(0xFFFFFF - 4, false, 100, 100, NO_TIME));
    ASSERT_TRUE(big);
    EXPECT_FALSE(codec.Prepare(*big, 10, RTMP_PT_VIDEO, 0, false));  // the prefix would overflow the length
    // The refusal left chunk stream 10 untouched: the next message is still its first.
    EXPECT_EQ(Send({0x05}, 200, 10, RTMP_PT_AUDIO, 0), (Bytes{0x0A, 0, 0, 0xC8, 0, 0, 1, 0x08, 0, 0, 0, 0, 0x05}));
    // Without the prefix the same body is the longest message there is.
    BS::DataPtr fits = codec.Prepare(*big, 11, RTMP_PT_AUDIO, 0, false);
    ASSERT_TRUE(fits);
    EXPECT_EQ(Slice(ToBytes(*fits), 4, 3), (Bytes{0xFF, 0xFF, 0xFB}));
}

TEST_F(ChunkWriter, ControlMessageBodies) {
    auto body = [](BS::DataPtr d) { return d ? ToBytes(*d) : Bytes{}; };
    EXPECT_EQ(body(rtmp::BuildSetChunkSize(4096)), (Bytes{0x00, 0x00, 0x10, 0x00}));
    EXPECT_EQ(body(rtmp::BuildAcknowledgement(0x01020304)), (Bytes{0x01, 0x02, 0x03, 0x04}));
    EXPECT_EQ(body(rtmp::BuildWindowAckSize(2500000)), (Bytes{0x00, 0x26, 0x25, 0xA0}));
    EXPECT_EQ(body(rtmp::BuildSetPeerBandwidth(2500000)), (Bytes{0x00, 0x26, 0x25, 0xA0, 0x02}));
    BS::DataPtr ping = rtmp::BuildPingResponse(0xCAFEBABE, 777);
    ASSERT_TRUE(ping);
    EXPECT_EQ(ping->dts, 777);
    EXPECT_EQ(ToBytes(*ping), (Bytes{0x00, 0x07, 0xCA, 0xFE, 0xBA, 0xBE}));
}

}  // namespace
