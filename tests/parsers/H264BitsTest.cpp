// Bit-level H.264 pieces against hand-written bytes: Exp-Golomb codes, emulation prevention both
// ways, the RBSP stop bit, parameter-set fields, and the slice-header rewrite.
#include <gtest/gtest.h>

#include <vector>

#include "H264StreamBuilder.h"
#include "parsers/H264Bits.h"
#include "parsers/H264ParamSets.h"
#include "parsers/H264SliceHeader.h"
#include "parsers/RTMPNALUModifier.h"

using namespace h264;
using namespace h264test;

namespace {

TEST(H264Bits, ExpGolombCodesReadAsWritten) {
    // 1 | 010 | 011 | 00100 | 00101 -> ue 0, 1, 2, 3, 4; then se: 010 -> +1, 011 -> -1, 00100 -> +2
    const std::vector<uint8_t> bytes = {0b10100110, 0b01000010, 0b10100110, 0b01000000};
    CBitReader r(bytes);
    EXPECT_EQ(r.ue(), 0u);
    EXPECT_EQ(r.ue(), 1u);
    EXPECT_EQ(r.ue(), 2u);
    EXPECT_EQ(r.ue(), 3u);
    EXPECT_EQ(r.ue(), 4u);
    EXPECT_EQ(r.se(), 1);
    EXPECT_EQ(r.se(), -1);
    EXPECT_EQ(r.se(), 2);
    EXPECT_FALSE(r.failed());

    std::vector<uint8_t> out(4);
    CBitWriter w(out);
    for (uint32_t v : {0u, 1u, 2u, 3u, 4u}) w.ue(v);
    for (int32_t v : {1, -1, 2}) w.se(v);
    w.align(false);
    EXPECT_EQ(out, bytes);
}

TEST(H264Bits, ExtremeCodesAndOverrunsLatchAnError) {
    std::vector<uint8_t> buf(16);
    CBitWriter w(buf);
    w.ue(0xFFFFFFFEu);
    w.se(INT32_MIN + 1);
    CBitReader r(buf);
    EXPECT_EQ(r.ue(), 0xFFFFFFFEu);
    EXPECT_EQ(r.se(), INT32_MIN + 1);
    EXPECT_FALSE(r.failed());

    const std::vector<uint8_t> zeros(8, 0);  // 64 leading zeros: longer than any valid code
    CBitReader z(zeros);
    EXPECT_EQ(z.ue(), 0u);
    EXPECT_TRUE(z.failed());

    const std::vector<uint8_t> one = {0xFF};
    CBitReader o(one);
    EXPECT_EQ(o.u(8), 0xFFu);
    EXPECT_EQ(o.u(1), 0u);
    EXPECT_TRUE(o.failed());

    std::vector<uint8_t> small(1);
    CBitWriter sw(small);
    sw.u(8, 0xAB);
    sw.u(1, 1);
    EXPECT_TRUE(sw.failed());
    EXPECT_EQ(small[0], 0xAB);
}

TEST(H264Bits, EmulationPreventionRemovedAndInserted) {
    const std::vector<uint8_t> escaped = {0x00, 0x00, 0x03, 0x01, 0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x03, 0x00, 0x03};
    const std::vector<uint8_t> raw = {0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x03};
    std::vector<uint8_t> out(32);
    const size_t n = UnescapeRbsp(escaped, out);
    out.resize(n);
    EXPECT_EQ(out, raw);

    std::vector<uint8_t> back(32);
    back.resize(EscapeRbsp(raw, back));
    EXPECT_EQ(back, escaped);

    std::vector<uint8_t> tiny(3);
    EXPECT_EQ(EscapeRbsp(raw, tiny), 0u) << "a too small target is refused, not overrun";
}

TEST(H264Bits, StopBitEndsThePayload) {
    EXPECT_EQ(RbspBitLength(std::vector<uint8_t>{0xA0}), 2u);           // 1 0 | stop
    EXPECT_EQ(RbspBitLength(std::vector<uint8_t>{0x12, 0x80, 0x00}), 8u);  // trailing zero byte ignored
    EXPECT_EQ(RbspBitLength(std::vector<uint8_t>{0x00, 0x00}), 0u);
    const std::vector<uint8_t> b = {0x81};  // 1000000 | stop
    CBitReader r(b, RbspBitLength(b));
    EXPECT_EQ(r.u(7), 0x40u);
    EXPECT_FALSE(r.moreData());
}

TEST(H264ParamSets, SpsFieldsFromAnX264Header) {
    // x264's SPS for 320x240 High@1.3, 25 fps, max_num_reorder_frames 1 (from the fixtures).
    const std::vector<uint8_t> sps = {0x67, 0x64, 0x00, 0x0d, 0xac, 0xd1, 0x01, 0x41, 0xfb, 0x01, 0x10, 0x00,
                                      0x00, 0x03, 0x00, 0x10, 0x00, 0x00, 0x03, 0x03, 0x20, 0xf1, 0x42, 0x91, 0x20};
    SPS s;
    ASSERT_TRUE(ParseSPS(sps, s));
    EXPECT_EQ(s.profile_idc, 100);
    EXPECT_EQ(s.level_idc, 13);
    EXPECT_EQ(s.pic_width_in_mbs * 16, 320);
    EXPECT_EQ(s.pic_height_in_map_units * 16, 240);
    EXPECT_TRUE(s.frame_mbs_only_flag);
    EXPECT_TRUE(s.timing_info_present_flag);
    EXPECT_EQ(s.num_units_in_tick, 1u);
    EXPECT_EQ(s.time_scale, 50u);
    EXPECT_EQ(s.sar_width, 1);
    EXPECT_EQ(s.sar_height, 1);
    EXPECT_TRUE(s.bitstream_restriction_flag);
    EXPECT_EQ(s.max_num_reorder_frames, 1);

    // Truncated anywhere: refused or partial, never out of bounds.
    for (size_t n = 1; n < sps.size(); ++n) {
        SPS t;
        ParseSPS(std::span<const uint8_t>(sps).first(n), t);
    }
}

TEST(H264ParamSets, BuiltParameterSetsRoundTrip) {
    SpsSpec spec;
    spec.frameMbsOnly = false;
    spec.cropping = true;
    spec.cropBottom = 4;
    spec.sarIdc = 255;
    spec.sarW = 4;
    spec.sarH = 3;
    spec.reorder = 3;
    SPS s;
    ASSERT_TRUE(ParseSPS(BuildSps(spec), s));
    EXPECT_FALSE(s.frame_mbs_only_flag);
    EXPECT_FALSE(s.mb_adaptive_frame_field_flag);
    EXPECT_EQ(s.frame_crop_bottom, 4);
    EXPECT_EQ(s.sar_width, 4);
    EXPECT_EQ(s.sar_height, 3);
    EXPECT_EQ(s.max_num_reorder_frames, 3);
    PPS p;
    ASSERT_TRUE(ParsePPS(BuildPps({30, true}), s, p));
    EXPECT_EQ(p.pic_init_qp, 30);
    EXPECT_TRUE(p.entropy_coding_mode_flag);
}

TEST(H264SliceRewrite, QpDeltaChangesAndEverythingElseSurvives) {
    SpsSpec spec;
    SPS sps;
    PPS pps;
    ASSERT_TRUE(ParseSPS(BuildSps(spec), sps));
    ASSERT_TRUE(ParsePPS(BuildPps({26, false}), sps, pps));
    for (int type : {0, 1, 2}) {
        SliceSpec ss;
        ss.type = type;
        ss.idr = type == 2;
        ss.frameNum = type == 2 ? 0 : 3;
        ss.pocLsb = 10;
        ss.qpDelta = 3;
        const auto slice = BuildSlice(spec, ss);
        std::vector<uint8_t> out(slice.size() + 32);
        int32_t written = 0;
        ASSERT_EQ(RTMPNALUModifier::RewriteSlice(slice, sps, pps, 4, out, written), 0) << type;
        out.resize(static_cast<size_t>(written));
        SliceHeader sh;
        ASSERT_EQ(ParseSliceHeader(out, sps, pps, sh), SLICE_OK);
        EXPECT_EQ(sh.slice_qp_delta, 7);
        EXPECT_EQ(sh.slice_type, type);
        EXPECT_EQ(sh.pic_order_cnt_lsb, 10);

        SliceSpec expected = ss;
        expected.qpDelta = 7;
        EXPECT_EQ(out, BuildSlice(spec, expected)) << "slice data and its emulation prevention kept, type " << type;

        std::vector<uint8_t> back(out.size() + 32);
        ASSERT_EQ(RTMPNALUModifier::RewriteSlice(out, sps, pps, -4, back, written), 0);
        back.resize(static_cast<size_t>(written));
        EXPECT_EQ(back, slice);
    }
}

TEST(H264SliceRewrite, OutOfRangeHeadersAreRefused) {
    SpsSpec spec;
    SPS sps;
    PPS pps;
    ASSERT_TRUE(ParseSPS(BuildSps(spec), sps));
    ASSERT_TRUE(ParsePPS(BuildPps({26, false}), sps, pps));
    // slice_type 12 does not exist.
    std::vector<uint8_t> b(8);
    CBitWriter w(b);
    w.ue(0);
    w.ue(12);
    w.trailing();
    std::vector<uint8_t> nal = {0x65};
    nal.insert(nal.end(), b.begin(), b.begin() + static_cast<std::ptrdiff_t>(w.bytes()));
    std::vector<uint8_t> out(64);
    int32_t written = 0;
    EXPECT_EQ(RTMPNALUModifier::RewriteSlice(nal, sps, pps, 4, out, written), SLICE_OUT_OF_RANGE);
    // Truncated header.
    EXPECT_NE(RTMPNALUModifier::RewriteSlice(std::vector<uint8_t>{0x65, 0x88}, sps, pps, 4, out, written), 0);
}

}  // namespace
