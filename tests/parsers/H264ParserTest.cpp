// The H.264 pieces on hand-written bytes and streams built bit by bit: Exp-Golomb codes,
// emulation prevention, parameter sets, the slice-header rewrite, access units whatever the
// chunking, the sequence header, and the timestamp models with times worked out by hand.
#include <cctype>
#include <climits>

#include "H264StreamBuilder.h"
#include "ParserTestUtil.h"
#include "foundation/Log.h"
#include "parsers/H264ParamSets.h"
#include "parsers/H264ParserFactory.h"
#include "parsers/H264SliceHeader.h"
#include "platform/Settings.h"

using namespace ptest;
using namespace h264;

namespace {

TEST(H264Bits, ExpGolombAndEmulationPreventionAgainstHandWrittenBytes) {
    // 1 | 010 | 011 | 00100 | 00101 -> ue 0..4; then se 010 +1, 011 -1, 00100 +2
    const Bytes codes = {0b10100110, 0b01000010, 0b10100110, 0b01000000};
    CBitReader r(codes);
    for (uint32_t v : {0u, 1u, 2u, 3u, 4u}) EXPECT_EQ(r.ue(), v);
    for (int32_t v : {1, -1, 2}) EXPECT_EQ(r.se(), v);
    EXPECT_FALSE(r.failed());
    Bytes out(4);
    CBitWriter w(out);
    for (uint32_t v : {0u, 1u, 2u, 3u, 4u}) w.ue(v);
    for (int32_t v : {1, -1, 2}) w.se(v);
    w.align(false);
    EXPECT_EQ(out, codes);
    const Bytes zeros(8, 0);  // 64 leading zeros: longer than any valid code
    CBitReader z(zeros);
    z.ue();
    EXPECT_TRUE(z.failed());

    const Bytes escaped = {0, 0, 3, 1, 0, 0, 3, 0, 0, 3, 3, 0, 3}, raw = {0, 0, 1, 0, 0, 0, 0, 3, 0, 3};
    Bytes buf(32);
    buf.resize(UnescapeRbsp(escaped, buf));
    EXPECT_EQ(buf, raw);
    buf.assign(32, 0);
    buf.resize(EscapeRbsp(raw, buf));
    EXPECT_EQ(buf, escaped);
    Bytes tiny(3);
    EXPECT_EQ(EscapeRbsp(raw, tiny), 0u) << "a too small target is refused, not overrun";
    EXPECT_EQ(RbspBitLength(Bytes{0x12, 0x80, 0x00}), 8u) << "stop bit found, trailing zero byte ignored";
}

TEST(H264ParamSets, SpsFieldsFromAnX264Header) {
    // x264's SPS for 320x240 High@1.3, 25 fps, max_num_reorder_frames 1.
    const Bytes sps = {0x67, 0x64, 0x00, 0x0d, 0xac, 0xd1, 0x01, 0x41, 0xfb, 0x01, 0x10, 0x00, 0x00,
                       0x03, 0x00, 0x10, 0x00, 0x00, 0x03, 0x03, 0x20, 0xf1, 0x42, 0x91, 0x20};
    SPS s;
    ASSERT_TRUE(ParseSPS(sps, s));
    EXPECT_EQ(s.profile_idc, 100);
    EXPECT_EQ(s.level_idc, 13);
    EXPECT_EQ(s.pic_width_in_mbs * 16, 320);
    EXPECT_EQ(s.pic_height_in_map_units * 16, 240);
    EXPECT_EQ(s.time_scale / s.num_units_in_tick, 50u);
    EXPECT_EQ(s.sar_width, 1);
    EXPECT_EQ(s.max_num_reorder_frames, 1);
    for (size_t n = 1; n < sps.size(); ++n) {  // truncated anywhere: never out of bounds (ASan)
        SPS t;
        ParseSPS(std::span<const uint8_t>(sps).first(n), t);
    }
}

TEST(H264SliceRewrite, QpDeltaChangesAndEverythingElseSurvives) {
    const SpsSpec spec;
    SPS sps;
    PPS pps;
    ASSERT_TRUE(ParseSPS(BuildSps(spec), sps));
    ASSERT_TRUE(ParsePPS(BuildPps(), sps, pps));
    for (int type : {0, 1, 2}) {
        SliceSpec ss{.type = type, .idr = type == 2, .frameNum = type == 2 ? 0 : 3, .pocLsb = 10, .qpDelta = 3};
        const auto slice = BuildSlice(spec, ss);
        Bytes out(slice.size() + 32);
        int32_t written = 0;
        ASSERT_EQ(RTMPNALUModifier::RewriteSlice(slice, sps, pps, 4, out, written), 0) << type;
        out.resize(static_cast<size_t>(written));
        ss.qpDelta = 7;
        EXPECT_EQ(out, BuildSlice(spec, ss)) << "slice data and its emulation prevention kept, type " << type;
        Bytes back(out.size() + 32);
        ASSERT_EQ(RTMPNALUModifier::RewriteSlice(out, sps, pps, -4, back, written), 0);
        back.resize(static_cast<size_t>(written));
        EXPECT_EQ(back, slice);
    }
    Bytes out(64);
    int32_t written = 0;
    EXPECT_EQ(RTMPNALUModifier::RewriteSlice(Bytes{0x65, 0x8D, 0x80}, sps, pps, 4, out, written), SLICE_OUT_OF_RANGE)
        << "slice_type 12";
    EXPECT_NE(RTMPNALUModifier::RewriteSlice(Bytes{0x65, 0x88}, sps, pps, 4, out, written), 0) << "truncated";
}

Bytes Body(std::initializer_list<const Bytes*> nals) {
    Bytes b;
    for (const Bytes* n : nals) {
        const auto len = static_cast<uint32_t>(n->size());
        b.insert(b.end(), {uint8_t(len >> 24), uint8_t(len >> 16), uint8_t(len >> 8), uint8_t(len)});
        b.insert(b.end(), n->begin(), n->end());
    }
    return b;
}

Bytes Stream(std::initializer_list<const Bytes*> nals, bool fourByte = true) {
    Bytes b;
    for (const Bytes* n : nals) AppendAnnexB(b, *n, fourByte);
    return b;
}

Bytes ConfigRecord(const Bytes& sps, const Bytes& pps) {
    Bytes c = {1, sps[1], sps[2], sps[3], 0xFF, 0xE1, 0, static_cast<uint8_t>(sps.size())};
    c.insert(c.end(), sps.begin(), sps.end());
    c.insert(c.end(), {1, 0, static_cast<uint8_t>(pps.size())});
    c.insert(c.end(), pps.begin(), pps.end());
    return c;
}

class H264Parser : public ::testing::Test {
protected:
    std::vector<Out> Parse(const Bytes& bytes, const std::function<size_t(size_t)>& next, bool padding = false) {
        Parser p(H264_TS_ADVANCED);
        EXPECT_TRUE(p.Init(Parser::kDefaultBufferSize, H264_TS_SIMPLE, 1, 0));
        p.SetPassthroughPadding(padding);
        return ParseAll(p, bytes, next);
    }
    std::vector<Out> Parse(const Bytes& bytes, size_t chunk = 1 << 20) {
        return Parse(bytes, [chunk](size_t) { return chunk; });
    }
    TempDir settings;
    const SpsSpec spec;
    const Bytes sps = BuildSps(spec), pps = BuildPps(), aud = {0x09, 0xF0}, sei = {0x06, 0x05, 0x01, 0xAA, 0x80},
                filler = {0x0C, 0xFF, 0xFF, 0xFF, 0x80};
    const Bytes i0 = BuildSlice(spec, {.idr = true}), i0b = BuildSlice(spec, {.idr = true, .firstMb = 150}),
                p1 = BuildSlice(spec, {.type = 0, .frameNum = 1, .pocLsb = 2}),
                p2 = BuildSlice(spec, {.type = 0, .frameNum = 2, .pocLsb = 4}),
                p7 = BuildSlice(spec, {.type = 0, .frameNum = 7});
    const Bytes simple = Stream({&sps, &pps, &i0, &p1, &p2});
};

TEST_F(H264Parser, SequenceHeaderThenOneBodyPerPictureWhateverTheChunking) {
    const auto whole = Parse(simple);
    ASSERT_EQ(whole.size(), 4u);
    EXPECT_TRUE(whole[0].config);
    EXPECT_EQ(whole[0].body, ConfigRecord(sps, pps));
    const Bytes* pics[] = {&i0, &p1, &p2};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_FALSE(whole[i + 1].config);
        EXPECT_EQ(whole[i + 1].body, Body({pics[i]})) << i;
        EXPECT_EQ(whole[i + 1].frame_type, i == 0 ? FRAME_I : FRAME_P);
    }
    // Two chunks cut at every byte (start codes split every way), bytewise, 3-byte start codes,
    // and 300 bytes of garbage in front.
    std::vector<std::pair<std::string, std::vector<Out>>> variants;
    for (size_t cut = 1; cut < simple.size(); ++cut)
        variants.emplace_back("cut " + std::to_string(cut), Parse(simple, [cut](size_t pos) { return pos ? 1 << 20 : cut; }));
    variants.emplace_back("bytewise", Parse(simple, 1));
    variants.emplace_back("3-byte start codes", Parse(Stream({&sps, &pps, &i0, &p1, &p2}, false), 7));
    Bytes dirty(300, 0xAB);
    dirty.insert(dirty.end(), {0x00, 0x42, 0x00});
    dirty.insert(dirty.end(), simple.begin(), simple.end());
    variants.emplace_back("garbage", Parse(dirty, 100));
    for (const auto& [name, out] : variants) {
        ASSERT_EQ(out.size(), whole.size()) << name;
        for (size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i].body, whole[i].body) << name;
    }
}

TEST_F(H264Parser, WhatIsDroppedAndWhereUnitsEnd) {
    Bytes big = sps;
    big.insert(big.end() - 1, 2000, 0x55);  // too large for the parameter-set store
    Bytes many;
    for (int i = 0; i < 2000; ++i) AppendAnnexB(many, p7);
    const struct {
        const char* what;
        Bytes stream;
        std::vector<Bytes> bodies;  // after the sequence header; empty: nothing at all
        bool padding = false;
    } cases[] = {
        {"slices before the parameter sets", Stream({&p7, &aud, &p7, &sps, &pps, &i0, &p1}), {Body({&i0}), Body({&p1})}},
        {"AUD and SEI open the next unit", Stream({&aud, &sps, &pps, &sei, &i0, &i0b, &aud, &sei, &p1, &aud}),
         {Body({&i0, &i0b}), Body({&p1})}},
        {"filler dropped", Stream({&sps, &pps, &i0, &filler, &p1}), {Body({&i0}), Body({&p1})}},
        {"filler passed on", Stream({&sps, &pps, &i0, &filler, &p1}), {Body({&i0}), Body({&filler, &p1})}, true},
        {"oversize SPS skipped", Stream({&big, &sps, &pps, &i0, &p1}), {Body({&i0}), Body({&p1})}},
        {"only an oversize SPS", Stream({&big, &pps, &i0, &p1}), {}},
        {"no parameter sets, bounded", many, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto out = Parse(c.stream, [&](size_t) { return 512; }, c.padding);
        ASSERT_EQ(out.size(), c.bodies.empty() ? 0 : c.bodies.size() + 1);
        if (c.bodies.empty()) continue;
        EXPECT_EQ(out[0].body, ConfigRecord(sps, pps));
        for (size_t i = 0; i < c.bodies.size(); ++i) EXPECT_EQ(out[i + 1].body, c.bodies[i]) << i;
    }
}

TEST_F(H264Parser, LastUnitWaitsForTheFlushAndRestartKeepsTheSequenceHeader) {
    Parser p(H264_TS_ADVANCED);
    ASSERT_TRUE(p.Init(Parser::kDefaultBufferSize, H264_TS_SIMPLE, 1, 0));
    Put(p, simple);
    std::vector<Out> out;
    Drain(p, out);
    ASSERT_EQ(out.size(), 2u) << "a slice is complete only when a start code follows it";
    Drain(p, out, true);
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[3].body, Body({&p2}));
    p.Reset(BS::CBaseParser::RESET_RESTART);
    out = ParseAll(p, simple, 64);
    ASSERT_EQ(out.size(), 3u) << "the repeated sequence header is swallowed";
    EXPECT_EQ(out[0].body, Body({&i0}));
    p.Reset(0);
    out = ParseAll(p, simple, 64);
    ASSERT_EQ(out.size(), 4u) << "a full reset announces again";
    EXPECT_TRUE(out[0].config);
}

TEST_F(H264Parser, TrackFormatFromTheSps) {
    const SpsSpec hd{.level = 40, .widthMbs = 120, .heightMapUnits = 68, .numUnitsInTick = 1001, .timeScale = 60000,
                     .cropBottom = 4, .sarIdc = 1};
    const SpsSpec fields{.frameMbsOnly = false, .timing = false};
    const Bytes hdSps = BuildSps(hd), fSps = BuildSps(fields), hdIdr = BuildSlice(hd, {.idr = true}),
                top = BuildSlice(fields, {.idr = true, .field = true}),
                bottom = BuildSlice(fields, {.type = 0, .field = true, .bottom = true, .pocLsb = 1});
    const struct {
        Bytes stream;
        int64_t duration;
        int width, height, interlace, aspectX, aspectY;
        double fps;
    } cases[] = {
        {Stream({&hdSps, &pps, &hdIdr, &hdIdr}), 33, 1920, 1088, 0, 30, 17, 29.97},  // 1:1 on the coded size
        {Stream({&fSps, &pps, &top, &bottom}), 20, 320, 480, 1, 0, 0, 25.0},  // 25 fps assumed, halved
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.width);
        Parser p(H264_TS_ADVANCED);
        ASSERT_TRUE(p.Init(Parser::kDefaultBufferSize, H264_TS_SIMPLE, 1, 0));
        const auto out = ParseAll(p, c.stream, 1 << 20);
        ASSERT_EQ(out.size(), 3u);
        EXPECT_EQ(out[1].duration, c.duration);
        BS::format_t f;
        ASSERT_TRUE(p.GetFormat(&f));
        EXPECT_EQ(f.codec, BS::CODEC_H264);
        EXPECT_EQ(f.video.width, c.width);
        EXPECT_EQ(f.video.height, c.height);
        EXPECT_DOUBLE_EQ(f.video.fps, c.fps);
        EXPECT_EQ(f.video.interlace_flags, c.interlace);
        if (c.aspectX) {
            EXPECT_EQ(f.video.aspect_x, c.aspectX);
            EXPECT_EQ(f.video.aspect_y, c.aspectY);
        }
    }
}

TEST_F(H264Parser, ChangedInitialQpIsFoldedIntoTheSliceQpDelta) {
    const Bytes pps30 = BuildPps(30), idr = BuildSlice(spec, {.idr = true, .qpDelta = -2});
    std::vector<Bytes> ps;
    for (int n = 1; n <= 3; ++n) ps.push_back(BuildSlice(spec, {.type = 0, .frameNum = n, .qpDelta = 1}));
    const auto out = Parse(Stream({&sps, &pps, &idr, &pps30, &ps[0], &ps[1], &pps, &ps[2]}), 11);
    ASSERT_EQ(out.size(), 5u);
    EXPECT_EQ(out[0].body, ConfigRecord(sps, pps));
    SPS s;
    PPS pp;
    ASSERT_TRUE(ParseSPS(sps, s));
    ASSERT_TRUE(ParsePPS(pps, s, pp));
    const int expected[] = {-2, 5, 5, 1};  // +4 while the stream's PPS says 30
    for (size_t i = 0; i < 4; ++i) {
        const auto nals = SplitLengthPrefixed(out[i + 1].body);
        ASSERT_EQ(nals.size(), 1u);
        SliceHeader sh;
        ASSERT_EQ(ParseSliceHeader(nals[0], s, pp, sh), SLICE_OK) << i;
        EXPECT_EQ(sh.slice_qp_delta, expected[i]) << i;
    }
}

TEST(H264ParserFactory, TimestampModelSettingSelectsThePictureOrderModel) {
    TempDir settings;
    auto p = CreateH264Parser();
    ASSERT_TRUE(p->Init(Parser::kDefaultBufferSize, H264_TS_ADVANCED, 1, 0));
    EXPECT_EQ(p->TimestampMode(), H264_TS_ADVANCED) << "default: the sink's mode stands";
    ASSERT_TRUE(platform::settings::WriteDword(platform::settings::Scope::User, KEY_RTMPSINK, "TimestampModel", 2));
    p = CreateH264Parser();
    ASSERT_TRUE(p->Init(Parser::kDefaultBufferSize, H264_TS_SIMPLE, 1, 0));
    EXPECT_EQ(p->TimestampMode(), H264_TS_PICTURE_ORDER);
}

struct Pic {
    int type, frameNum, poc, ref = 3;
    bool field = false, bottom = false, idr = false;
    int64_t time = NO_TIME;
};
const Pic kIdr{2, 0, 0, 3, false, false, true};
Pic At(Pic p, int64_t t) { return p.time = t, p; }

struct TimesCase {
    const char* what;
    int32_t model, mode;
    SpsSpec spec;
    std::vector<Pic> pics;  // one chunk each, the parameter sets in the first
    std::vector<int64_t> dts, pts;  // from the sequence header on
    std::vector<int32_t> types = {};
    int minEarly = 0, maxEarly = INT_MAX;  // records out before the flush
    bool prefix = false;  // the flush times the rest without reordering: not checked
};

// I0 P4 B2 b1 b3 P8 B6 b5 b7: a B pyramid two frames deep (picture order count 2 per frame).
const std::vector<Pic> kPyramid = {kIdr, {0, 1, 16}, {1, 2, 8, 2}, {1, 3, 4, 0}, {1, 3, 12, 0},
                                   {0, 3, 32}, {1, 4, 24, 2}, {1, 5, 20, 0}, {1, 5, 28, 0}};
const std::vector<int64_t> kPyrPts = {0, 0, 160, 80, 40, 120, 320, 240, 200, 280},
                           kPyrDts = {0, 0, 0, 0, 40, 80, 120, 160, 200, 240};
constexpr int32_t I = FRAME_I, P = FRAME_P, B = FRAME_B, U = FRAME_UNKNOWN;
constexpr int32_t kSimple = H264_TS_SIMPLE, kAdv = H264_TS_ADVANCED, kPoc = H264_TS_PICTURE_ORDER;

const TimesCase kTimes[] = {
    {"simple clock", kAdv, kSimple, {}, {kIdr, {0, 1, 2}, {0, 2, 4}}, {0, 0, 40, 80}, {0, 0, 40, 80}, {U, I, P, P}},
    {"baseline never reorders", kAdv, kAdv, {.profile = 66}, {At(kIdr, 500), {0, 1, 2}, {0, 2, 4}},
     {500, 500, 540, 580}, {500, 500, 540, 580}, {U, I, P, P}},
    {"advanced: one frame delay", kAdv, kAdv, {},
     {At(kIdr, 1000), {0, 1, 6, 3, false, false, false, 1120}, {1, 2, 2, 0, false, false, false, 1040},
      {1, 2, 4, 0, false, false, false, 1080}, {0, 2, 12, 3, false, false, false, 1240},
      {1, 3, 8, 0, false, false, false, 1160}, {1, 3, 10, 0, false, false, false, 1200}},
     {960, 960, 1000, 1040, 1080}, {960, 1000, 1120, 1040, 1080}, {U, I, P, B, B, P, B, B}, 5, INT_MAX, true},
    {"advanced: field pairs", kAdv, kAdv, {.frameMbsOnly = false},
     {{2, 0, 0, 3, true, false, true, 1000}, {0, 0, 1, 3, true, true}, {0, 1, 4, 3, true, false, false, 1040},
      {0, 1, 5, 3, true, true}, {0, 2, 8, 3, true, false, false, 1080}, {0, 2, 9, 3, true, true},
      {0, 3, 12, 3, true, false, false, 1120}, {0, 3, 13, 3, true, true}, {0, 4, 16, 3, true, false, false, 1160},
      {0, 4, 17, 3, true, true}},
     {980, 980, 1000, 1020, 1040}, {980, 1000, 1020, 1040, 1060}, {}, 5, INT_MAX, true},
    {"picture order: field pairs", kPoc, kAdv, {.frameMbsOnly = false, .reorder = 1},
     {{2, 0, 0, 3, true, false, true}, {0, 0, 1, 3, true, true}, {0, 1, 6, 3, true}, {0, 1, 7, 3, true, true},
      {1, 2, 2, 0, true}, {1, 2, 3, 0, true, true}, {1, 2, 4, 0, true}, {1, 2, 5, 0, true, true},
      {0, 2, 9, 3, true}, {0, 2, 8, 3, true, true}},  // the last frame shows its bottom field first
     {0, 0, 0, 0, 20, 40, 60, 80, 100, 120, 140}, {0, 0, 20, 120, 140, 40, 60, 80, 100, 180, 160},
     {U, I, P, P, P, B, B, B, B, P, P}},
    {"picture order: signalled depth", kPoc, kSimple, {.log2MaxPocLsb = 8, .reorder = 2}, kPyramid, kPyrDts, kPyrPts,
     {}, 5},
    {"picture order: measured depth", kPoc, kSimple, {.log2MaxPocLsb = 8}, kPyramid, kPyrDts, kPyrPts, {}, 0, 0},
    {"picture order: type 2", kPoc, kSimple, {.pocType = 2}, {kIdr, {0, 1, 0}, {0, 2, 0}, {0, 3, 0}},
     {0, 0, 40, 80, 120}, {0, 0, 40, 80, 120}, {}, 3, 3},
    {"picture order: clock jumps", kPoc, kSimple, {.reorder = 0},  // a second late: followed; 10 ms: noise
     {At(kIdr, 1000), {0, 1, 2}, At(kIdr, 2000), {0, 1, 2}, At(kIdr, 2050), {0, 1, 2}},
     {1000, 1000, 1040, 2000, 2040, 2080, 2120}, {1000, 1000, 1040, 2000, 2040, 2080, 2120}, {}},
};

void PrintTo(const TimesCase& c, std::ostream* os) { *os << c.what; }

class H264Times : public ::testing::TestWithParam<TimesCase> {};

TEST_P(H264Times, HandWorkedTimes) {
    const TimesCase& c = GetParam();
    TempDir settings;
    Parser p(c.model);
    ASSERT_TRUE(p.Init(Parser::kDefaultBufferSize, c.mode, 1, 0));
    const Bytes sps = BuildSps(c.spec), pps = BuildPps();
    std::vector<Out> out;
    for (size_t i = 0; i < c.pics.size(); ++i) {
        const Pic& pc = c.pics[i];
        Bytes chunk = i ? Bytes{} : Stream({&sps, &pps});
        AppendAnnexB(chunk, BuildSlice(c.spec, {.type = pc.type, .nalRefIdc = pc.ref, .idr = pc.idr,
                                                 .frameNum = pc.frameNum, .field = pc.field, .bottom = pc.bottom,
                                                 .pocLsb = pc.poc}));
        Put(p, chunk, pc.time);
        Drain(p, out);
    }
    EXPECT_GE(out.size(), size_t(c.minEarly)) << "records out before the flush";
    EXPECT_LE(out.size(), size_t(c.maxEarly)) << "records out before the flush";
    Drain(p, out, true);
    ASSERT_EQ(out.size() > c.dts.size() ? c.prefix : true, true) << out.size() << " records";
    for (size_t i = 0; i < c.dts.size(); ++i) {
        EXPECT_EQ(out[i].dts, c.dts[i]) << i;
        EXPECT_EQ(out[i].pts, c.pts[i]) << i;
        EXPECT_EQ(i < c.types.size() ? out[i].frame_type : 0, i < c.types.size() ? c.types[i] : 0) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Models, H264Times, ::testing::ValuesIn(kTimes), [](const auto& info) {
    std::string n;
    for (const char* s = info.param.what; *s; ++s) n += std::isalnum(static_cast<unsigned char>(*s)) ? *s : '_';
    return n;
});

}  // namespace
