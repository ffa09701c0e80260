// The H.264 parser on streams built bit by bit: where access units start and end whatever the
// chunking, what is dropped before the parameter sets, the sequence header's bytes, restarts,
// filler units, parameter sets too large to keep, and the track format.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "H264StreamBuilder.h"
#include "H264TestUtil.h"
#include "foundation/Format.h"
#include "foundation/Log.h"
#include "parsers/H264ParamSets.h"
#include "parsers/H264SliceHeader.h"
#include "parsers/H264ParserFactory.h"
#include "platform/Settings.h"

using namespace h264test;

namespace {

struct Stream {
    SpsSpec spsSpec;
    std::vector<uint8_t> sps, pps;
    std::vector<std::vector<uint8_t>> slices;  // in stream order
    std::vector<uint8_t> bytes;
};

// SPS PPS IDR P P P, all frames, first_mb 0.
Stream Simple(bool fourByte = true, int pictures = 4) {
    Stream s;
    s.sps = BuildSps(s.spsSpec);
    s.pps = BuildPps({});
    Append(s.bytes, s.sps, fourByte);
    Append(s.bytes, s.pps, fourByte);
    for (int i = 0; i < pictures; ++i) {
        SliceSpec ss;
        ss.type = i == 0 ? 2 : 0;
        ss.idr = i == 0;
        ss.frameNum = i;
        ss.pocLsb = 2 * i;
        s.slices.push_back(BuildSlice(s.spsSpec, ss));
        Append(s.bytes, s.slices.back(), fourByte);
    }
    return s;
}

std::vector<uint8_t> Body(std::initializer_list<const std::vector<uint8_t>*> nals) {
    std::vector<uint8_t> b;
    for (const auto* n : nals) {
        const auto len = static_cast<uint32_t>(n->size());
        b.insert(b.end(), {static_cast<uint8_t>(len >> 24), static_cast<uint8_t>(len >> 16),
                           static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len)});
        b.insert(b.end(), n->begin(), n->end());
    }
    return b;
}

std::vector<int64_t> Dts(const std::vector<Out>& o) {
    std::vector<int64_t> v;
    for (const auto& r : o) v.push_back(r.dts);
    return v;
}

std::vector<uint8_t> ConfigRecord(const std::vector<uint8_t>& sps, const std::vector<uint8_t>& pps) {
    std::vector<uint8_t> c = {1, sps[1], sps[2], sps[3], 0xFF, 0xE1, static_cast<uint8_t>(sps.size() >> 8),
                              static_cast<uint8_t>(sps.size())};
    c.insert(c.end(), sps.begin(), sps.end());
    c.insert(c.end(), {1, static_cast<uint8_t>(pps.size() >> 8), static_cast<uint8_t>(pps.size())});
    c.insert(c.end(), pps.begin(), pps.end());
    return c;
}

class H264Parser : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(parser.Init(Parser::kDefaultBufferSize, H264_TS_SIMPLE, 1, 0)); }
    PrivateSettings settings;
    Parser parser{H264_TS_ADVANCED};
};

TEST_F(H264Parser, SequenceHeaderThenOneBodyPerPicture) {
    const Stream s = Simple();
    const auto out = ParseAll(parser, s.bytes, s.bytes.size());
    ASSERT_EQ(out.size(), 5u);
    EXPECT_TRUE(out[0].config);
    EXPECT_EQ(out[0].body, ConfigRecord(s.sps, s.pps));
    EXPECT_EQ(out[0].body.size(), 11 + s.sps.size() + s.pps.size());
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_FALSE(out[i + 1].config);
        EXPECT_EQ(out[i + 1].body, Body({&s.slices[i]})) << i;
        EXPECT_EQ(out[i + 1].frame_type, i == 0 ? FRAME_I : FRAME_P);
    }
}

TEST_F(H264Parser, EverySplitOfTheStreamGivesTheSameUnits) {
    // Two chunks, cut at every byte position: boundaries inside start codes included.
    const Stream s = Simple();
    Parser ref(H264_TS_ADVANCED);
    ASSERT_TRUE(ref.Init(Parser::kDefaultBufferSize, H264_TS_SIMPLE, 1, 0));
    const auto whole = ParseAll(ref, s.bytes, s.bytes.size());
    for (size_t cut = 1; cut < s.bytes.size(); ++cut) {
        Parser p(H264_TS_ADVANCED);
        ASSERT_TRUE(p.Init(Parser::kDefaultBufferSize, H264_TS_SIMPLE, 1, 0));
        std::vector<Out> out;
        Put(p, std::span<const uint8_t>(s.bytes).first(cut));
        Drain(p, out, false);
        Put(p, std::span<const uint8_t>(s.bytes).subspan(cut));
        Drain(p, out, true);
        ASSERT_EQ(out.size(), whole.size()) << "cut at " << cut;
        for (size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i].body, whole[i].body) << "cut at " << cut;
    }
    // And one byte at a time.
    Parser p(H264_TS_ADVANCED);
    ASSERT_TRUE(p.Init(Parser::kDefaultBufferSize, H264_TS_SIMPLE, 1, 0));
    const auto bytewise = ParseAll(p, s.bytes, 1);
    ASSERT_EQ(bytewise.size(), whole.size());
    for (size_t i = 0; i < whole.size(); ++i) EXPECT_EQ(bytewise[i].body, whole[i].body);
}

TEST_F(H264Parser, ThreeAndFourByteStartCodesGiveTheSameUnits) {
    const Stream four = Simple(true), three = Simple(false);
    Parser p3(H264_TS_ADVANCED);
    ASSERT_TRUE(p3.Init(Parser::kDefaultBufferSize, H264_TS_SIMPLE, 1, 0));
    const auto a = ParseAll(parser, four.bytes, 7);
    const auto b = ParseAll(p3, three.bytes, 7);
    ASSERT_EQ(a.size(), 5u);
    ASSERT_EQ(b.size(), a.size());
    for (size_t i = 0; i < a.size(); ++i) EXPECT_EQ(a[i].body, b[i].body);
}

TEST_F(H264Parser, LeadingGarbageIsDropped) {
    const Stream s = Simple();
    std::vector<uint8_t> dirty(300, 0xAB);  // more than 256 bytes without a start code
    dirty.insert(dirty.end(), {0x00, 0x42, 0x00});
    dirty.insert(dirty.end(), s.bytes.begin(), s.bytes.end());
    const auto out = ParseAll(parser, dirty, 100);
    ASSERT_EQ(out.size(), 5u);
    EXPECT_EQ(out[0].body, ConfigRecord(s.sps, s.pps));
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(out[i + 1].body, Body({&s.slices[i]}));
}

TEST_F(H264Parser, UnitsBeforeTheParameterSetsAreNotDelivered) {
    const Stream s = Simple();
    std::vector<uint8_t> bytes;
    SliceSpec p;
    p.type = 0;
    p.frameNum = 7;
    for (int i = 0; i < 3; ++i) Append(bytes, BuildSlice(s.spsSpec, p));
    bytes.insert(bytes.end(), s.bytes.begin(), s.bytes.end());
    const auto out = ParseAll(parser, bytes, 5);
    ASSERT_EQ(out.size(), 5u);
    EXPECT_TRUE(out[0].config);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(out[i + 1].body, Body({&s.slices[i]}));

    // Joined mid-way, with delimiters: the sequence header still comes, first.
    const std::vector<uint8_t> aud = {0x09, 0xF0};
    std::vector<uint8_t> joined;
    for (int i = 0; i < 2; ++i) {
        Append(joined, BuildSlice(s.spsSpec, p));
        Append(joined, aud);
    }
    joined.insert(joined.end(), s.bytes.begin(), s.bytes.end());
    Parser j(H264_TS_ADVANCED);
    ASSERT_TRUE(j.Init(Parser::kDefaultBufferSize, H264_TS_SIMPLE, 1, 0));
    const auto jout = ParseAll(j, joined, 5);
    ASSERT_EQ(jout.size(), 5u);
    EXPECT_EQ(jout[0].body, ConfigRecord(s.sps, s.pps));
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(jout[i + 1].body, Body({&s.slices[i]}));

    // Without any parameter set nothing comes out at all, and the list of waiting units stays
    // bounded however long the stream is.
    Parser q(H264_TS_ADVANCED);
    ASSERT_TRUE(q.Init(1 << 20, H264_TS_SIMPLE, 1, 0));
    std::vector<uint8_t> many;
    for (int i = 0; i < 2000; ++i) Append(many, BuildSlice(s.spsSpec, p));
    EXPECT_TRUE(ParseAll(q, many, 4096).empty());
}

TEST_F(H264Parser, AccessUnitDelimiterAndSeiOpenTheNextUnit) {
    const Stream s = Simple();
    const std::vector<uint8_t> aud = {0x09, 0xF0};
    const std::vector<uint8_t> sei = {0x06, 0x05, 0x01, 0xAA, 0x80};
    SliceSpec idr;
    idr.idr = true;
    SliceSpec idr2 = idr;
    idr2.firstMb = 150;  // a second slice of the same picture
    SliceSpec p;
    p.type = 0;
    p.frameNum = 1;
    p.pocLsb = 2;
    const auto s1 = BuildSlice(s.spsSpec, idr), s2 = BuildSlice(s.spsSpec, idr2), s3 = BuildSlice(s.spsSpec, p);
    std::vector<uint8_t> bytes;
    for (const auto* n : {&aud, &s.sps, &s.pps, &sei, &s1, &s2, &aud, &sei, &s3, &aud}) Append(bytes, *n);
    const auto out = ParseAll(parser, bytes, bytes.size());
    ASSERT_EQ(out.size(), 3u);
    EXPECT_TRUE(out[0].config);
    EXPECT_EQ(out[1].body, Body({&s1, &s2}));
    EXPECT_EQ(out[2].body, Body({&s3}));
}

TEST_F(H264Parser, TheLastUnitWaitsForTheFlush) {
    const Stream s = Simple();
    Put(parser, s.bytes);
    std::vector<Out> out;
    Drain(parser, out, false);
    // A picture ends when the next picture's first slice is complete, and the last slice in the
    // buffer is complete only when a start code follows it.
    ASSERT_EQ(out.size(), 3u) << "config and two pictures; the third and fourth are still open";
    Drain(parser, out, true);
    ASSERT_EQ(out.size(), 5u);
    EXPECT_EQ(out[3].body, Body({&s.slices[2]}));
    EXPECT_EQ(out[4].body, Body({&s.slices[3]}));
}

TEST_F(H264Parser, RestartKeepsTheAnnouncedParameterSets) {
    const Stream s = Simple();
    auto first = ParseAll(parser, s.bytes, 64);
    ASSERT_EQ(first.size(), 5u);
    parser.Reset(BS::CBaseParser::RESET_RESTART);
    auto second = ParseAll(parser, s.bytes, 64);
    ASSERT_EQ(second.size(), 4u) << "the repeated sequence header is swallowed";
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(second[i].body, Body({&s.slices[i]}));
    parser.Reset(0);
    auto third = ParseAll(parser, s.bytes, 64);
    ASSERT_EQ(third.size(), 5u) << "a full reset announces again";
    EXPECT_TRUE(third[0].config);
}

TEST_F(H264Parser, FillerUnitsOnlyWithThePaddingFlag) {
    const Stream s = Simple(true, 2);
    const std::vector<uint8_t> filler = {0x0C, 0xFF, 0xFF, 0xFF, 0x80};
    std::vector<uint8_t> bytes;
    for (const auto* n : {&s.sps, &s.pps, &s.slices[0], &filler, &s.slices[1]}) Append(bytes, *n);
    auto out = ParseAll(parser, bytes, bytes.size());
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[1].body, Body({&s.slices[0]}));
    EXPECT_EQ(out[2].body, Body({&s.slices[1]}));

    Parser padded(H264_TS_ADVANCED);
    ASSERT_TRUE(padded.Init(Parser::kDefaultBufferSize, H264_TS_SIMPLE, 1, 0));
    padded.SetPassthroughPadding(true);
    EXPECT_TRUE(padded.GetPassthroughPadding());
    out = ParseAll(padded, bytes, bytes.size());
    ASSERT_EQ(out.size(), 3u);
    // A non-slice unit after the last slice of a picture opens the next one.
    EXPECT_EQ(out[1].body, Body({&s.slices[0]}));
    EXPECT_EQ(out[2].body, Body({&filler, &s.slices[1]}));
}

TEST_F(H264Parser, ParameterSetsTooLargeForTheStoresAreRefused) {
    const Stream s = Simple(true, 2);
    std::vector<uint8_t> big = s.sps;
    big.insert(big.end() - 1, 2000, 0x55);  // still a syntactically plausible unit
    const std::vector<uint8_t>& huge = big;
    std::vector<uint8_t> bytes;
    for (const auto* n : {&huge, &s.pps, &s.slices[0], &s.slices[1]}) Append(bytes, *n);
    EXPECT_TRUE(ParseAll(parser, bytes, 512).empty()) << "no SPS was accepted, so nothing is sent";

    parser.Reset(0);
    bytes.clear();
    for (const auto* n : {&huge, &s.sps, &s.pps, &s.slices[0], &s.slices[1]}) Append(bytes, *n);
    const auto out = ParseAll(parser, bytes, 512);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].body, ConfigRecord(s.sps, s.pps));
}

TEST_F(H264Parser, TrackFormatFromTheSps) {
    SpsSpec spec;
    spec.heightMapUnits = 68;  // 1088 lines, cropped to 1080
    spec.widthMbs = 120;
    spec.cropping = true;
    spec.cropBottom = 4;
    spec.numUnitsInTick = 1001;
    spec.timeScale = 60000;
    spec.sarIdc = 1;
    spec.level = 40;
    std::vector<uint8_t> bytes;
    const auto sps = BuildSps(spec), pps = BuildPps({});
    Append(bytes, sps);
    Append(bytes, pps);
    SliceSpec ss;
    ss.idr = true;
    Append(bytes, BuildSlice(spec, ss));
    Append(bytes, BuildSlice(spec, ss));
    const auto out = ParseAll(parser, bytes, bytes.size());
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[1].duration, 33);
    BS::format_t f;
    ASSERT_TRUE(parser.GetFormat(&f));
    EXPECT_EQ(f.kind, BS::FORMAT_KIND_VIDEO);
    EXPECT_EQ(f.codec, BS::CODEC_H264);
    EXPECT_EQ(f.video.width, 1920);
    EXPECT_EQ(f.video.height, 1088);
    EXPECT_DOUBLE_EQ(f.video.fps, 29.97);
    EXPECT_EQ(f.video.profile, 100);
    EXPECT_EQ(f.video.level, 40);
    EXPECT_EQ(f.video.aspect_x, 30);  // 1:1 samples on the coded 1920x1088
    EXPECT_EQ(f.video.aspect_y, 17);
    // Codec-private data: native 16-bit length, SPS, length, PPS.
    ASSERT_EQ(f.codec_private_len, static_cast<int32_t>(sps.size() + pps.size() + 4));
    uint16_t len = 0;
    std::memcpy(&len, f.codec_private, 2);
    EXPECT_EQ(len, sps.size());
    EXPECT_TRUE(std::equal(sps.begin(), sps.end(), f.codec_private + 2));
    std::memcpy(&len, f.codec_private + 2 + sps.size(), 2);
    EXPECT_EQ(len, pps.size());
    EXPECT_TRUE(std::equal(pps.begin(), pps.end(), f.codec_private + 4 + sps.size()));
}

TEST_F(H264Parser, FieldCodedStreamsHalveTheDurationAndAreFlagged) {
    SpsSpec spec;
    spec.frameMbsOnly = false;
    spec.timing = false;
    std::vector<uint8_t> bytes;
    Append(bytes, BuildSps(spec));
    Append(bytes, BuildPps({}));
    SliceSpec top;
    top.idr = true;
    top.field = true;
    SliceSpec bottom = top;
    bottom.bottom = true;
    bottom.idr = false;
    bottom.type = 0;
    bottom.pocLsb = 1;
    Append(bytes, BuildSlice(spec, top));
    Append(bytes, BuildSlice(spec, bottom));
    const auto out = ParseAll(parser, bytes, bytes.size());
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[1].duration, 20) << "25 fps assumed without timing, halved for fields";
    BS::format_t f;
    parser.GetFormat(&f);
    EXPECT_EQ(f.video.interlace_flags, 1);
    EXPECT_EQ(f.video.height, 2 * 16 * spec.heightMapUnits);
    EXPECT_DOUBLE_EQ(f.video.fps, 25.0);
}

TEST_F(H264Parser, ChangedInitialQpIsFoldedIntoTheSliceQpDelta) {
    const SpsSpec spec;
    const auto sps = BuildSps(spec), pps26 = BuildPps({26, false}), pps30 = BuildPps({30, false});
    SliceSpec idr;
    idr.idr = true;
    idr.qpDelta = -2;
    SliceSpec p;
    p.type = 0;
    p.qpDelta = 1;
    std::vector<uint8_t> bytes;
    Append(bytes, sps);
    Append(bytes, pps26);
    Append(bytes, BuildSlice(spec, idr));
    Append(bytes, pps30);
    p.frameNum = 1;
    Append(bytes, BuildSlice(spec, p));
    p.frameNum = 2;
    Append(bytes, BuildSlice(spec, p));
    Append(bytes, pps26);
    p.frameNum = 3;
    Append(bytes, BuildSlice(spec, p));
    const auto out = ParseAll(parser, bytes, 11);
    ASSERT_EQ(out.size(), 5u);
    EXPECT_EQ(out[0].body, ConfigRecord(sps, pps26));
    h264::SPS s;
    h264::PPS pp;
    ASSERT_TRUE(h264::ParseSPS(sps, s));
    ASSERT_TRUE(h264::ParsePPS(pps26, s, pp));
    const int expected[] = {-2, 5, 5, 1};  // +4 while the stream's PPS says 30, then back to as-is
    for (int i = 0; i < 4; ++i) {
        const auto nals = SplitLengthPrefixed(out[static_cast<size_t>(i) + 1].body);
        ASSERT_EQ(nals.size(), 1u);
        h264::SliceHeader sh;
        ASSERT_EQ(h264::ParseSliceHeader(nals[0], s, pp, sh), h264::SLICE_OK) << i;
        EXPECT_EQ(sh.slice_qp_delta, expected[i]) << i;
    }
}

TEST_F(H264Parser, AdvancedFieldPathPairsTheTwoFieldsOfAFrame) {
    Parser p(H264_TS_ADVANCED);
    ASSERT_TRUE(p.Init(Parser::kDefaultBufferSize, H264_TS_ADVANCED, 1, 0));
    SpsSpec spec;
    spec.frameMbsOnly = false;
    std::vector<uint8_t> bytes;
    Append(bytes, BuildSps(spec));
    Append(bytes, BuildPps({}));
    Put(p, bytes);
    std::vector<Out> out;
    // Top fields carry their frame's time, bottom fields none; 20 ms per field.
    for (int k = 0; k < 5; ++k) {
        for (int bottom = 0; bottom < 2; ++bottom) {
            SliceSpec f;
            f.type = k == 0 && !bottom ? 2 : 0;
            f.idr = k == 0 && !bottom;
            f.field = true;
            f.bottom = bottom != 0;
            f.frameNum = k;
            f.pocLsb = 4 * k + bottom;
            std::vector<uint8_t> chunk;
            Append(chunk, BuildSlice(spec, f));
            Put(p, chunk, bottom ? NO_TIME : 1000 + 40 * k);
            Drain(p, out, false);
        }
    }
    ASSERT_GE(out.size(), 5u);
    EXPECT_EQ(Dts(out).size(), out.size());
    const std::vector<int64_t> dts = {980, 980, 1000, 1020, 1040}, pts = {980, 1000, 1020, 1040, 1060};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(out[i].dts, dts[i]) << i;
        EXPECT_EQ(out[i].pts, pts[i]) << i;
    }
}

TEST(H264ParserFactory, TimestampModelSettingSelectsThePictureOrderModel) {
    PrivateSettings settings;
    auto p = CreateH264Parser();
    ASSERT_TRUE(p->Init(Parser::kDefaultBufferSize, H264_TS_ADVANCED, 1, 0));
    EXPECT_EQ(p->TimestampMode(), H264_TS_ADVANCED) << "default 1: the sink's mode stands";
    ASSERT_TRUE(platform::settings::WriteDword(platform::settings::Scope::User, KEY_RTMPSINK, "TimestampModel", 2));
    p = CreateH264Parser();
    ASSERT_TRUE(p->Init(Parser::kDefaultBufferSize, H264_TS_SIMPLE, 1, 0));
    EXPECT_EQ(p->TimestampMode(), H264_TS_PICTURE_ORDER);
}

}  // namespace
