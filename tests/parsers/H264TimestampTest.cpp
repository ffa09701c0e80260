// The timestamp models on streams built bit by bit, with the times worked out by hand: the
// running clock of the simple behaviour, the one-frame delay of the advanced behaviour, and the
// picture-order-count model with field pairs, B pyramids, a measured reorder depth and clock jumps.
#include <gtest/gtest.h>

#include <vector>

#include "H264StreamBuilder.h"
#include "H264TestUtil.h"
#include "parsers/H264PocTimestampModel.h"

using namespace h264test;

namespace {

struct Pic {
    int type;  // 0 P, 1 B, 2 I
    int frameNum;
    int poc;
    int ref = 3;
    bool field = false, bottom = false;
    bool idr = false;
    int64_t time = NO_TIME;
};

// Parameter sets in the first chunk, then one chunk per picture with its time.
std::vector<Out> Feed(Parser& p, const SpsSpec& spec, const std::vector<Pic>& pics, bool drainEach = true,
                     std::vector<Out>* beforeFlush = nullptr) {
    std::vector<uint8_t> head;
    Append(head, BuildSps(spec));
    Append(head, BuildPps({}));
    std::vector<Out> out;
    for (size_t i = 0; i < pics.size(); ++i) {
        SliceSpec ss;
        ss.type = pics[i].type;
        ss.frameNum = pics[i].frameNum;
        ss.pocLsb = pics[i].poc;
        ss.nalRefIdc = pics[i].ref;
        ss.field = pics[i].field;
        ss.bottom = pics[i].bottom;
        ss.idr = pics[i].idr;
        std::vector<uint8_t> chunk = i == 0 ? head : std::vector<uint8_t>{};
        Append(chunk, BuildSlice(spec, ss));
        Put(p, chunk, pics[i].time);
        if (drainEach) Drain(p, out, false);
    }
    if (beforeFlush) *beforeFlush = out;
    Drain(p, out, true);
    return out;
}

std::vector<int64_t> Dts(const std::vector<Out>& o) {
    std::vector<int64_t> v;
    for (const auto& r : o) v.push_back(r.dts);
    return v;
}
std::vector<int64_t> Pts(const std::vector<Out>& o) {
    std::vector<int64_t> v;
    for (const auto& r : o) v.push_back(r.pts);
    return v;
}
std::vector<int32_t> Types(const std::vector<Out>& o) {
    std::vector<int32_t> v;
    for (const auto& r : o) v.push_back(r.frame_type);
    return v;
}

class H264Timestamps : public ::testing::Test {
protected:
    PrivateSettings settings;
};

TEST_F(H264Timestamps, SimpleClockWithoutIncomingTimes) {
    Parser p(H264_TS_ADVANCED);
    ASSERT_TRUE(p.Init(Parser::kDefaultBufferSize, H264_TS_SIMPLE, 1, 0));
    const auto out = Feed(p, SpsSpec{}, {{2, 0, 0, 3, false, false, true}, {0, 1, 2}, {0, 2, 4}, {0, 3, 6}});
    EXPECT_EQ(Dts(out), (std::vector<int64_t>{0, 0, 40, 80, 120}));
    EXPECT_EQ(Pts(out), (std::vector<int64_t>{0, 0, 40, 80, 120}));
    EXPECT_EQ(Types(out), (std::vector<int32_t>{FRAME_UNKNOWN, FRAME_I, FRAME_P, FRAME_P, FRAME_P}));
    // The bit clock starts at -1 s and advances by each record's size at 1 Mbit/s.
    double clock = -1.0;
    for (const auto& r : out) {
        EXPECT_EQ(r.bts, static_cast<int64_t>(clock * 1000.0));
        clock += static_cast<double>(r.body.size()) * 8.0 / 1000000.0;
    }
}

TEST_F(H264Timestamps, AdvancedReordersWithAOneFrameDelay) {
    Parser p(H264_TS_ADVANCED);
    ASSERT_TRUE(p.Init(Parser::kDefaultBufferSize, H264_TS_ADVANCED, 1, 0));
    // Decoding order I P B B P B B with every picture carrying its presentation time.
    const std::vector<Pic> pics = {{2, 0, 0, 3, false, false, true, 1000}, {0, 1, 6, 3, false, false, false, 1120},
                                   {1, 2, 2, 0, false, false, false, 1040}, {1, 2, 4, 0, false, false, false, 1080},
                                   {0, 2, 12, 3, false, false, false, 1240}, {1, 3, 8, 0, false, false, false, 1160},
                                   {1, 3, 10, 0, false, false, false, 1200}};
    std::vector<Out> early;
    const auto out = Feed(p, SpsSpec{}, pics, true, &early);
    ASSERT_EQ(out.size(), 8u);
    EXPECT_EQ(out[1].pts, 1000);
    EXPECT_EQ(out[1].dts, 960) << "the I picture decodes one frame before it is shown";
    EXPECT_EQ(out[0].dts, out[1].dts) << "the sequence header takes the first picture's time";
    EXPECT_EQ(out[0].pts, out[1].dts);
    ASSERT_GE(early.size(), 5u);
    const std::vector<int64_t> pts = {1000, 1120, 1040, 1080};
    const std::vector<int64_t> dts = {960, 1000, 1040, 1080};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(early[i + 1].pts, pts[i]) << i;
        EXPECT_EQ(early[i + 1].dts, dts[i]) << i;
    }
    EXPECT_EQ(Types(out), (std::vector<int32_t>{FRAME_UNKNOWN, FRAME_I, FRAME_P, FRAME_B, FRAME_B, FRAME_P, FRAME_B,
                                                FRAME_B}));
}

TEST_F(H264Timestamps, BaselineNeverReorders) {
    Parser p(H264_TS_ADVANCED);
    ASSERT_TRUE(p.Init(Parser::kDefaultBufferSize, H264_TS_ADVANCED, 1, 0));
    SpsSpec spec;
    spec.profile = 66;
    const auto out = Feed(p, spec, {{2, 0, 0, 3, false, false, true, 500}, {0, 1, 2}, {0, 2, 4}, {0, 3, 6}});
    EXPECT_EQ(Dts(out), (std::vector<int64_t>{500, 500, 540, 580, 620}));
    EXPECT_EQ(Pts(out), Dts(out));
}

TEST_F(H264Timestamps, PictureOrderWithFieldPairs) {
    Parser p(H264_TS_PICTURE_ORDER);
    ASSERT_TRUE(p.Init(Parser::kDefaultBufferSize, H264_TS_ADVANCED, 1, 0));
    SpsSpec spec;
    spec.frameMbsOnly = false;
    spec.reorder = 1;
    // Frames in decoding order F0 F3 F1 F2 F4, each as two field pictures; F4's bottom field is
    // shown first. A field lasts 20 ms at 25 frames per second.
    const std::vector<Pic> pics = {
        {2, 0, 0, 3, true, false, true},  {0, 0, 1, 3, true, true},   // F0: IDR top, P bottom
        {0, 1, 6, 3, true, false},        {0, 1, 7, 3, true, true},   // F3
        {1, 2, 2, 0, true, false},        {1, 2, 3, 0, true, true},   // F1
        {1, 2, 4, 0, true, false},        {1, 2, 5, 0, true, true},   // F2
        {0, 2, 9, 3, true, false},        {0, 2, 8, 3, true, true},   // F4, bottom first on screen
    };
    const auto out = Feed(p, spec, pics);
    ASSERT_EQ(out.size(), 11u);
    EXPECT_TRUE(out[0].config);
    EXPECT_EQ(Pts(out), (std::vector<int64_t>{0, 0, 20, 120, 140, 40, 60, 80, 100, 180, 160}));
    EXPECT_EQ(Dts(out), (std::vector<int64_t>{0, 0, 0, 0, 20, 40, 60, 80, 100, 120, 140}));
    for (size_t i = 1; i < out.size(); ++i) EXPECT_EQ(out[i].duration, 20) << i;
    EXPECT_EQ(Types(out), (std::vector<int32_t>{FRAME_UNKNOWN, FRAME_I, FRAME_P, FRAME_P, FRAME_P, FRAME_B, FRAME_B,
                                                FRAME_B, FRAME_B, FRAME_P, FRAME_P}));
}

// I0 P4 B2 b1 b3 P8 B6 b5 b7: a B pyramid two frames deep (picture order count 2 per frame).
const std::vector<Pic> kPyramid = {{2, 0, 0, 3, false, false, true}, {0, 1, 16}, {1, 2, 8, 2}, {1, 3, 4, 0},
                                   {1, 3, 12, 0}, {0, 3, 32}, {1, 4, 24, 2}, {1, 5, 20, 0}, {1, 5, 28, 0}};
const std::vector<int64_t> kPyramidPts = {0, 0, 160, 80, 40, 120, 320, 240, 200, 280};
const std::vector<int64_t> kPyramidDts = {0, 0, 0, 0, 40, 80, 120, 160, 200, 240};

TEST_F(H264Timestamps, PictureOrderWithSignalledDepthStreams) {
    Parser p(H264_TS_PICTURE_ORDER);
    ASSERT_TRUE(p.Init(Parser::kDefaultBufferSize, H264_TS_SIMPLE, 1, 0));
    SpsSpec spec;
    spec.log2MaxPocLsb = 8;
    spec.reorder = 2;
    std::vector<Out> early;
    const auto out = Feed(p, spec, kPyramid, true, &early);
    EXPECT_EQ(Pts(out), kPyramidPts);
    EXPECT_EQ(Dts(out), kPyramidDts);
    EXPECT_GE(early.size(), 5u) << "with the depth known, units leave while the stream runs";
}

TEST_F(H264Timestamps, PictureOrderMeasuresAnUnsignalledDepth) {
    Parser p(H264_TS_PICTURE_ORDER);
    ASSERT_TRUE(p.Init(Parser::kDefaultBufferSize, H264_TS_SIMPLE, 1, 0));
    SpsSpec spec;
    spec.log2MaxPocLsb = 8;
    std::vector<Out> early;
    const auto out = Feed(p, spec, kPyramid, true, &early);
    EXPECT_TRUE(early.empty()) << "held until the depth is known";
    EXPECT_EQ(Pts(out), kPyramidPts);
    EXPECT_EQ(Dts(out), kPyramidDts);
}

TEST_F(H264Timestamps, PictureOrderTypeTwoNeedsNoDelay) {
    Parser p(H264_TS_PICTURE_ORDER);
    ASSERT_TRUE(p.Init(Parser::kDefaultBufferSize, H264_TS_SIMPLE, 1, 0));
    SpsSpec spec;
    spec.pocType = 2;
    std::vector<Out> early;
    const auto out = Feed(p, spec, {{2, 0, 0, 3, false, false, true}, {0, 1, 0}, {0, 2, 0}, {0, 3, 0}}, true, &early);
    EXPECT_EQ(Pts(out), (std::vector<int64_t>{0, 0, 40, 80, 120}));
    EXPECT_EQ(Dts(out), Pts(out));
    EXPECT_EQ(early.size(), 3u);
}

TEST_F(H264Timestamps, PictureOrderFollowsAnIncomingTimeThatJumpsAhead) {
    Parser p(H264_TS_PICTURE_ORDER);
    ASSERT_TRUE(p.Init(Parser::kDefaultBufferSize, H264_TS_SIMPLE, 1, 0));
    SpsSpec spec;
    spec.reorder = 0;
    const auto out = Feed(p, spec,
                         {{2, 0, 0, 3, false, false, true, 1000}, {0, 1, 2}, {2, 0, 0, 3, false, false, true, 2000},
                          {0, 1, 2}, {2, 0, 0, 3, false, false, true, 2050}, {0, 1, 2}});
    // The second IDR is a second late: the clock follows. The third is 10 ms late: noise, kept.
    EXPECT_EQ(Pts(out), (std::vector<int64_t>{1000, 1000, 1040, 2000, 2040, 2080, 2120}));
    EXPECT_EQ(Dts(out), Pts(out));
}

}  // namespace
