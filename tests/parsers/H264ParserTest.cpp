// The H.264 parser on small built streams: access units whatever the chunking, the slice-header
// rewrite, the sequence header, and the timestamp models with times worked out by hand.
#include <climits>
#include <sstream>

#include "ParserTestUtil.h"
#include "parsers/H264Bits.h"

using namespace ptest;
using namespace h264;

namespace {

// Sequence parameter sets written out, with what a slice header needs to know of each. The base:
// High@3.0, 320x240, 4 bits of frame_num, picture order count type 0 with 6 lsb bits, 25 fps
// (fixed rate, 1/50 s ticks), no bitstream restriction; the others differ as named.
struct Sps { Bytes nal; bool frameMbsOnly = true; uint32_t pocType = 0, pocBits = 6; };
const Sps kSps{Hex("6764001eacd94141fa100000030010000003032840")};
const Sps kBaseline{Hex("6742001eeca0a0fd080000030008000003019420")};
const Sps kReorder0{Hex("6764001eacd94141fa1000000300100000030328da08846580")};
const Sps kPoc8{Hex("6764001eacca50507e84000003000400000300ca10"), true, 0, 8};
const Sps kPoc8Reorder2{Hex("6764001eacca50507e84000003000400000300ca3682211658"), true, 0, 8};
const Sps kPocType2{Hex("6764001eacb28283f42000000300200000065080"), true, 2};
const Sps kFields{Hex("6764001eacd94141e5080000030008000003019420"), false};  // no MBAFF
const Sps kFieldsReorder1{Hex("6764001eacd94141e508000003000800000301946d044228b0"), false};
const Sps kFieldsUntimed{Hex("6764001eacd94141e50040"), false};
// Level 4.0, 1920x1088 with 8 rows cropped, 1001/60000 s ticks, square pixels.
const Sps kHd{Hex("67640028acd940780227e5c04400000fa40003a98210")};
const Bytes kPps = Hex("68ce3880"), kPps30 = Hex("68ce0462");  // CAVLC, pic_init_qp 26 / 30

struct Slice {  // type 0 P, 1 B, 2 I; ref: nal_ref_idc
    uint32_t type = 2, ref = 3;
    bool idr = false;
    uint32_t firstMb = 0, frameNum = 0;
    bool field = false, bottom = false;
    uint32_t poc = 0;
    int32_t qpDelta = 0;
};

// A slice header, then a few bytes of slice data that need emulation prevention (they do not decode).
Bytes BuildSlice(const Sps& sps, const Slice& s) {
    static const uint8_t kData[] = {0xA5, 0x5A, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0xFF};
    Bytes b(96), out(200);
    CBitWriter w(b);
    for (uint32_t v : {s.firstMb, s.type + 5, 0u}) w.ue(v);
    w.u(4, s.frameNum);
    if (!sps.frameMbsOnly) w.flag(s.field);
    if (s.field) w.flag(s.bottom);
    if (s.idr) w.ue(0);
    if (sps.pocType == 0) w.u(sps.pocBits, s.poc);
    if (s.type == 1) w.flag(true);
    if (s.type != 2) w.u(s.type == 1 ? 3 : 2, 0);
    if (s.ref != 0) w.u(s.idr ? 2 : 1, 0);
    w.se(s.qpDelta);
    for (uint8_t d : kData) w.u(8, d);
    w.trailing();
    b.resize(w.bytes());
    out[0] = static_cast<uint8_t>((s.ref << 5) | (s.idr ? 5 : 1));
    out.resize(EscapeRbsp(b, std::span<uint8_t>(out).subspan(1)) + 1);
    return out;
}

// NAL units behind start codes (4 or 3 bytes), or as a body: each behind its 4-byte length.
Bytes Stream(std::initializer_list<const Bytes*> nals, int framing = 4) {
    Bytes b;
    for (const Bytes* n : nals) {
        const auto len = static_cast<uint32_t>(n->size());
        if (framing) {
            AppendAnnexB(b, *n, framing == 4);
            continue;
        }
        b.insert(b.end(), {uint8_t(len >> 24), uint8_t(len >> 16), uint8_t(len >> 8), uint8_t(len)});
        b.insert(b.end(), n->begin(), n->end());
    }
    return b;
}
Bytes Body(std::initializer_list<const Bytes*> nals) { return Stream(nals, 0); }

class H264Parser : public ::testing::Test {
protected:
    std::vector<Out> Parse(const Bytes& bytes, const Chunking& next, bool padding = false) {
        Parser p(H264_TS_ADVANCED);
        EXPECT_TRUE(p.Init(Parser::kDefaultBufferSize, H264_TS_SIMPLE, 1, 0));
        p.SetPassthroughPadding(padding);
        return ParseAll(p, bytes, next);
    }
    const Bytes& sps = kSps.nal;
    // The AVC decoder configuration record for kSps and kPps, written out.
    const Bytes record = Hex("0164001effe10015" "6764001eacd94141fa100000030010000003032840" "010004" "68ce3880");
    const Bytes aud = {0x09, 0xF0}, sei = {0x06, 0x05, 0x01, 0xAA, 0x80}, filler = {0x0C, 0xFF, 0xFF, 0xFF, 0x80};
    const Bytes i0 = BuildSlice(kSps, {.idr = true}), i0b = BuildSlice(kSps, {.idr = true, .firstMb = 150}),
                p1 = BuildSlice(kSps, {.type = 0, .frameNum = 1, .poc = 2}),
                p2 = BuildSlice(kSps, {.type = 0, .frameNum = 2, .poc = 4}),
                p7 = BuildSlice(kSps, {.type = 0, .frameNum = 7});
    const Bytes simple = Stream({&sps, &kPps, &i0, &p1, &p2});
};

TEST_F(H264Parser, SequenceHeaderThenOneBodyPerPictureWhateverTheChunking) {
    Bytes big = sps, many, dirty(300, 0xAB);
    big.insert(big.end() - 1, 2000, 0x55);  // too large for the parameter-set store
    for (int i = 0; i < 2000; ++i) AppendAnnexB(many, p7);
    dirty.insert(dirty.end(), {0x00, 0x42, 0x00});
    dirty.insert(dirty.end(), simple.begin(), simple.end());
    // A stream whose PPS changes pic_init_qp to 30 and back: the slices are sent with their
    // slice_qp_delta corrected by +4 meanwhile, against the PPS announced first.
    const Bytes iq = BuildSlice(kSps, {.idr = true, .qpDelta = -2});
    Bytes q[3], q5[2];
    for (uint32_t n = 0; n < 3; ++n) q[n] = BuildSlice(kSps, {.type = 0, .frameNum = n + 1, .qpDelta = 1});
    for (uint32_t n = 0; n < 2; ++n) q5[n] = BuildSlice(kSps, {.type = 0, .frameNum = n + 1, .qpDelta = 5});
    const std::vector<Bytes> plain = {Body({&i0}), Body({&p1}), Body({&p2})};
    const struct {
        const char* what;
        Bytes stream;
        std::vector<Bytes> bodies;  // after the sequence header; empty: nothing at all
        bool padding = false;
    } cases[] = {
        {"plain", simple, plain},
        {"3-byte start codes", Stream({&sps, &kPps, &i0, &p1, &p2}, 3), plain},
        {"garbage in front", dirty, plain},
        {"slices before the parameter sets", Stream({&p7, &aud, &p7, &sps, &kPps, &i0, &p1}), {Body({&i0}), Body({&p1})}},
        {"AUD and SEI open the next unit", Stream({&aud, &sps, &kPps, &sei, &i0, &i0b, &aud, &sei, &p1, &aud}),
         {Body({&i0, &i0b}), Body({&p1})}},
        {"filler dropped", Stream({&sps, &kPps, &i0, &filler, &p1}), {Body({&i0}), Body({&p1})}},
        {"filler passed on", Stream({&sps, &kPps, &i0, &filler, &p1}), {Body({&i0}), Body({&filler, &p1})}, true},
        {"changed initial QP", Stream({&sps, &kPps, &iq, &kPps30, &q[0], &q[1], &kPps, &q[2]}),
         {Body({&iq}), Body({&q5[0]}), Body({&q5[1]}), Body({&q[2]})}},
        {"oversize SPS skipped", Stream({&big, &sps, &kPps, &i0, &p1}), {Body({&i0}), Body({&p1})}},
        {"only an oversize SPS", Stream({&big, &kPps, &i0, &p1}), {}},
        {"no parameter sets, bounded", many, {}},
    };
    for (const auto& c : cases) {
        // (first chunk, the others): whole, bytewise, 7 and 512 bytes; short streams also cut in
        // two at every byte, so start codes are split every way.
        std::vector<std::pair<size_t, size_t>> chunkings = {{1 << 20, 1 << 20}, {1, 1}, {7, 7}, {512, 512}};
        for (size_t cut = 1; c.stream.size() < 200 && cut < c.stream.size(); ++cut) chunkings.emplace_back(cut, 1 << 20);
        for (const auto& [first, rest] : chunkings) {
            SCOPED_TRACE(std::string(c.what) + ", chunks " + std::to_string(first) + "/" + std::to_string(rest));
            const auto out = Parse(c.stream, [first, rest](size_t pos) { return pos ? rest : first; }, c.padding);
            ASSERT_EQ(out.size(), c.bodies.empty() ? 0 : c.bodies.size() + 1);
            if (c.bodies.empty()) continue;
            EXPECT_TRUE(out[0].config);
            EXPECT_EQ(out[0].body, record);
            for (size_t i = 0; i < c.bodies.size(); ++i) {
                EXPECT_FALSE(out[i + 1].config);
                EXPECT_EQ(out[i + 1].body, c.bodies[i]) << i;
            }
        }
    }
}

TEST_F(H264Parser, LastUnitWaitsForTheFlushAndRestartKeepsTheSequenceHeader) {
    Parser p(H264_TS_ADVANCED);
    ASSERT_TRUE(p.Init(Parser::kDefaultBufferSize, H264_TS_SIMPLE, 1, 0));
    Put(p, simple);
    std::vector<Out> out;
    ASSERT_EQ(Drain(p, out).size(), 2u) << "a slice is complete only when a start code follows it";
    ASSERT_EQ(Drain(p, out, true).size(), 4u);
    EXPECT_EQ(out[3].body, Body({&p2}));
    p.Reset(BS::CBaseParser::RESET_RESTART);
    out = ParseAll(p, simple, Fixed(64));
    ASSERT_EQ(out.size(), 3u) << "the repeated sequence header is swallowed";
    EXPECT_EQ(out[0].body, Body({&i0}));
    p.Reset(0);
    out = ParseAll(p, simple, Fixed(64));
    ASSERT_EQ(out.size(), 4u) << "a full reset announces again";
    EXPECT_TRUE(out[0].config);
    // A chunk larger than the buffer resets too: nothing held before (p1 waiting for its end, p2
    // in the buffer) is completed with the bytes that follow.
    Put(p, Stream({&sps, &kPps, &i0, &p1, &p2}));
    Put(p, Bytes(Parser::kDefaultBufferSize, 0x41));
    out = ParseAll(p, simple, Fixed(64));
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[2].body, Body({&p1}));
    EXPECT_EQ(out[3].body, Body({&p2}));
}

TEST_F(H264Parser, TrackFormatFromTheSps) {
    const Bytes hdIdr = BuildSlice(kHd, {.idr = true}), top = BuildSlice(kFieldsUntimed, {.idr = true, .field = true}),
                bottom = BuildSlice(kFieldsUntimed, {.type = 0, .field = true, .bottom = true, .poc = 1});
    const struct { Bytes stream; int64_t duration; int width, height, interlace, aspectX, aspectY; double fps; } cases[] = {
        {Stream({&kHd.nal, &kPps, &hdIdr, &hdIdr}), 33, 1920, 1088, 0, 30, 17, 29.97},  // 1:1 on the coded size
        {Stream({&kFieldsUntimed.nal, &kPps, &top, &bottom}), 20, 320, 480, 1, 0, 0, 25.0},  // 25 fps assumed, halved
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.width);
        Parser p(H264_TS_ADVANCED);
        ASSERT_TRUE(p.Init(Parser::kDefaultBufferSize, H264_TS_SIMPLE, 1, 0));
        const auto out = ParseAll(p, c.stream, Fixed(1 << 20));
        ASSERT_EQ(out.size(), 3u);
        EXPECT_EQ(out[1].duration, c.duration);
        BS::format_t f;
        ASSERT_TRUE(p.GetFormat(&f));
        EXPECT_EQ(std::tuple(f.codec, f.video.width, f.video.height, f.video.interlace_flags),
                  std::tuple(BS::CODEC_H264, c.width, c.height, c.interlace));
        EXPECT_DOUBLE_EQ(f.video.fps, c.fps);
        EXPECT_TRUE(!c.aspectX || std::pair(f.video.aspect_x, f.video.aspect_y) == std::pair(c.aspectX, c.aspectY));
    }
}

struct TimesCase {
    const char* what;
    int32_t model, mode;
    const Sps* sps;
    // One picture per chunk, the parameter sets in the first: I (IDR), P, B (a reference) or b
    // (not one), frame_num.pic_order_cnt_lsb, then t or b for a top or bottom field, @ an input time.
    const char* pics;
    const char* records;  // dts:pts (one number: both the same) from the sequence header on
    const char* types = "";  // I, P, B, U unknown
    int minEarly = 0, maxEarly = INT_MAX;  // records out before the flush
    bool prefix = false;  // the flush times the rest without reordering: not checked
    uint32_t fallbackNum = 0, fallbackDen = 1;  // the caller's frame rate for an SPS without timing
};

const char* kPyramid = "I0.0 P1.16 B2.8 b3.4 b3.12 P3.32 B4.24 b5.20 b5.28";  // two frames deep, 2 per frame
// Pictures decoded before the first one shown get times before 0: the sink shifts the timeline.
const char* kPyrTimes = "-80 -80:0 -40:160 0:80 40 80:120 120:320 160:240 200 240:280";
constexpr int32_t kSimple = H264_TS_SIMPLE, kAdv = H264_TS_ADVANCED, kPoc = H264_TS_PICTURE_ORDER;

const TimesCase kTimes[] = {
    {"SimpleClock", kAdv, kSimple, &kSps, "I0.0 P1.2 P2.4", "0 0 40 80", "UIPP"},
    {"BaselineNeverReorders", kAdv, kAdv, &kBaseline, "I0.0@500 P1.2 P2.4", "500 500 540 580", "UIPP"},
    {"AdvancedOneFrameDelay", kAdv, kAdv, &kSps, "I0.0@1000 P1.6@1120 b2.2@1040 b2.4@1080 P2.12@1240 b3.8@1160 b3.10@1200",
     "960 960:1000 1000:1120 1040 1080", "UIPBBPBB", 5, INT_MAX, true},
    {"AdvancedFieldPairs", kAdv, kAdv, &kFields,
     "I0.0t@1000 P0.1b P1.4t@1040 P1.5b P2.8t@1080 P2.9b P3.12t@1120 P3.13b P4.16t@1160 P4.17b",
     "980 980:1000 1000:1020 1020:1040 1040:1060", "", 5, INT_MAX, true},
    {"PocFieldPairs", kPoc, kAdv, &kFieldsReorder1,  // the last frame shows its bottom field first
     "I0.0t P0.1b P1.6t P1.7b b2.2t b2.3b b2.4t b2.5b P2.9t P2.8b",
     "-40 -40:0 -20:20 0:120 20:140 40 60 80 100 120:180 140:160", "UIPPPBBBBPP"},
    {"PocSignalledDepth", kPoc, kSimple, &kPoc8Reorder2, kPyramid, kPyrTimes, "", 5},
    {"PocMeasuredDepth", kPoc, kSimple, &kPoc8, kPyramid, kPyrTimes, "", 0, 0},
    {"PocType2", kPoc, kSimple, &kPocType2, "I0.0 P1.0 P2.0 P3.0", "0 0 40 80 120", "", 3, 3},
    {"PocClockJumps", kPoc, kSimple, &kReorder0,  // a second late: followed; 10 ms: noise
     "I0.0@1000 P1.2 I0.0@2000 P1.2 I0.0@2050 P1.2", "1000 1000 1040 2000 2040 2080 2120"},
    {"PocFallbackRate", kPoc, kAdv, &kFieldsUntimed,  // 1001/60000 s a field, to the millisecond below
     "I0.0t P0.1b P1.4t P1.5b P2.8t P2.9b", "0 0 16 33 50 66 83", "", 0, INT_MAX, false, 30000, 1001},
};

class H264Times : public ::testing::TestWithParam<TimesCase> {};

TEST_P(H264Times, HandWorkedTimes) {
    const TimesCase& c = GetParam();
    Parser p(c.model);
    ASSERT_TRUE(p.Init(Parser::kDefaultBufferSize, c.mode, 1, 0));
    p.SetFallbackFrameRate(c.fallbackNum, c.fallbackDen);  // 0: none given
    std::vector<Out> out;
    std::istringstream pics(c.pics);
    bool first = true;
    for (std::string t; pics >> t; first = false) {
        const size_t dot = t.find('.'), at = t.find('@');
        const Slice s{.type = t[0] == 'I' ? 2u : t[0] == 'P' ? 0u : 1u, .ref = t[0] == 'b' ? 0u : t[0] == 'B' ? 2u : 3u,
                      .idr = t[0] == 'I', .frameNum = static_cast<uint32_t>(std::stoul(t.substr(1))),
                      .field = t.find_first_of("tb", dot) != std::string::npos, .bottom = t.find('b', dot) != std::string::npos,
                      .poc = static_cast<uint32_t>(std::stoul(t.substr(dot + 1)))};
        Bytes chunk = first ? Stream({&c.sps->nal, &kPps}) : Bytes{};
        AppendAnnexB(chunk, BuildSlice(*c.sps, s));
        Put(p, chunk, at == std::string::npos ? NO_TIME : std::stoll(t.substr(at + 1)));
        Drain(p, out);
    }
    EXPECT_TRUE(out.size() >= size_t(c.minEarly) && out.size() <= size_t(c.maxEarly)) << out.size() << " before the flush";
    Drain(p, out, true);
    std::istringstream records(c.records);
    const std::string_view types(c.types);
    size_t i = 0;
    for (std::string r; records >> r; ++i) {
        ASSERT_LT(i, out.size());
        const size_t colon = r.find(':');
        EXPECT_EQ(out[i].dts, std::stoll(r)) << i;
        EXPECT_EQ(out[i].pts, std::stoll(colon == std::string::npos ? r : r.substr(colon + 1))) << i;
        const int32_t t = out[i].frame_type;
        if (i < types.size()) { EXPECT_EQ(t >= 0 && t < 4 ? "IPBU"[t] : '?', types[i]) << i; }
    }
    EXPECT_TRUE(out.size() == i || (c.prefix && out.size() > i)) << out.size() << " records";
}

INSTANTIATE_TEST_SUITE_P(Models, H264Times, ::testing::ValuesIn(kTimes),
                         [](const auto& info) { return std::string(info.param.what); });


// A live source whose real rate is not the signalled one, or that drops frames: an hour of
// pictures (simulated) keeps every picture within one frame of its incoming time: stamped with
// arrival times as the host does (decode time + reorder delay), or with presentation times.
struct DriftCase {
    const char* what;
    const Sps* sps;
    bool pyramid;        // else P pictures only
    int64_t periodUs;    // real frame period; the stream says 40000
    int dropEvery;       // a frame lost every n (0: none)
    bool presentation = false;
};
const DriftCase kDrift[] = {
    {"SlowerThanSignalled", &kReorder0, false, 40040, 0},
    {"FasterThanSignalled", &kReorder0, false, 39960, 0},
    {"DroppedFramesUnderAPyramid", &kPoc8Reorder2, true, 40000, 61},
    {"PresentationTimesFaster", &kPoc8Reorder2, true, 39960, 0, true},
    {"PresentationTimesSlower", &kPoc8Reorder2, true, 40040, 0, true},
};
class H264Drift : public ::testing::TestWithParam<DriftCase> {};

TEST_P(H264Drift, AnHourOfLiveInputStaysWithinAFrame) {
    const DriftCase& c = GetParam();
    Parser p(H264_TS_PICTURE_ORDER);
    ASSERT_TRUE(p.Init(Parser::kDefaultBufferSize, H264_TS_SIMPLE, 1, 0));
    const int reorder = c.pyramid ? 2 : 0, frames = 1 + 4 * 22500;  // whole groups
    std::vector<int64_t> arrival;
    std::vector<Out> out;
    int64_t tick = 0, worst = 0, last = 0, lastDts = INT64_MIN;
    size_t checked = 0;
    for (int k = 0; k < frames; ++k, ++tick) {
        if (c.dropEvery && k % c.dropEvery == c.dropEvery - 1) ++tick;
        Slice s{.idr = k == 0};
        int64_t shown = tick;
        if (k > 0 && c.pyramid) {  // per group: P +4, B +2 (a reference), b +1, b +3
            const int g = (k - 1) / 4, i = (k - 1) % 4, display[] = {4, 2, 1, 3};
            shown = tick - 1 - i + display[i];
            s = {.type = i == 0 ? 0u : 1u, .ref = i == 0 ? 3u : i == 1 ? 2u : 0u,
                 .frameNum = static_cast<uint32_t>((1 + 2 * g + std::min(i, 2)) % 16),
                 .poc = static_cast<uint32_t>(2 * (4 * g + display[i]) % 256)};
        } else if (k > 0) {
            s = {.type = 0, .frameNum = static_cast<uint32_t>(k % 16), .poc = static_cast<uint32_t>(2 * k % 64)};
        }
        Bytes chunk = k == 0 ? Stream({&c.sps->nal, &kPps}) : Bytes{};
        AppendAnnexB(chunk, BuildSlice(*c.sps, s));
        arrival.push_back((c.presentation ? shown : tick) * c.periodUs / 1000);
        Put(p, chunk, arrival.back());
        Drain(p, out, k == frames - 1);
        for (const Out& o : out) {
            if (o.config) continue;
            ASSERT_GT(o.dts, lastDts) << checked;
            ASSERT_GE(o.pts, o.dts) << checked;
            lastDts = o.dts;
            last = (c.presentation ? o.pts : o.dts + reorder * 40) - arrival[checked++];
            if (checked > 64) worst = std::max(worst, std::abs(last));
        }
        out.clear();
    }
    EXPECT_EQ(checked, size_t(frames));
    // A lost frame shows as one frame of error until the next few arrivals confirm it.
    EXPECT_LE(std::abs(last), 40) << "at the end";
    EXPECT_LE(worst, c.dropEvery ? 50 : 40);
}

INSTANTIATE_TEST_SUITE_P(Live, H264Drift, ::testing::ValuesIn(kDrift),
                         [](const auto& info) { return std::string(info.param.what); });

}  // namespace
