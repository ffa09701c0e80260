// The H.264 parser against ffmpeg on real encodes: sequence header and slices byte for byte as
// ffmpeg's FLV muxer wrote them, the encoder's dts/pts, ffprobe's picture types; and a mid-stream
// PPS with another pic_init_qp: what the writer sends decodes (ffmpeg) to the original frames.
#include <algorithm>
#include <random>

#include "FlvReader.h"
#include "ParserTestUtil.h"
#include "parsers/H264Bits.h"
#include "parsers/H264ParamSets.h"
#include "parsers/H264SliceHeader.h"

using namespace ptest;

namespace {

struct Unit { int64_t dts, pts; bool key; std::vector<Bytes> slices; };
// pyramid: B pictures referenced by other B pictures; msTolerance 1 where a frame is not a whole number of ms.
struct Fixture { const char* name; bool pyramid; int64_t msTolerance = 0; };

// The lines a shell command prints, '#' comments left out; the command must succeed.
std::vector<std::string> Lines(const std::string& cmd) {
    std::vector<std::string> out;
    FILE* f = popen(cmd.c_str(), "r");
    char buf[4096];
    for (std::string l; f && fgets(buf, sizeof(buf), f);)
        if ((l = buf).erase(l.find_last_not_of('\n') + 1); !l.empty() && l[0] != '#') out.push_back(l);
    EXPECT_TRUE(f && pclose(f) == 0) << cmd;
    return out;
}

// Access units as the encoder emitted them: a new one at the first non-slice unit after a
// slice, or at a slice with first_mb_in_slice 0 after a slice.
std::vector<Bytes> SplitAccessUnits(std::span<const uint8_t> stream) {
    std::vector<Bytes> aus(1);
    bool sliceSeen = false;
    for (const auto& nal : SplitAnnexB(stream)) {
        if (sliceSeen && (!IsSlice(nal) || h264::FirstMbInSlice(nal) == 0)) aus.emplace_back(), sliceSeen = false;
        sliceSeen = sliceSeen || IsSlice(nal);
        AppendAnnexB(aus.back(), nal);
    }
    return aus;
}

std::vector<Out> Pictures(const std::vector<Out>& all) {
    std::vector<Out> d;
    std::copy_if(all.begin(), all.end(), std::back_inserter(d), [](const Out& o) { return !o.config; });
    return d;
}

class H264Oracle : public ::testing::TestWithParam<Fixture> {
protected:
    void SetUp() override {
        path = FixtureDir() + "/" + GetParam().name;
        bytes = testflv::ReadFileBytes(path + ".h264");
        ASSERT_FALSE(bytes.empty()) << path;
        for (const auto& t : testflv::ReadFlv(path + ".flv", 9)) {
            ASSERT_GE(t.body.size(), 5u);
            if (t.body[1] == 0) config.assign(t.body.begin() + 5, t.body.end());
            if (t.body[1] != 1) continue;  // sequence header, end of sequence
            const int32_t cts = static_cast<int32_t>(testflv::Be24(t.body, 2) << 8) >> 8;
            Unit u{t.timestamp, int64_t{t.timestamp} + cts, (t.body[0] >> 4) == 1, {}};
            for (auto& nal : SplitLengthPrefixed(std::span<const uint8_t>(t.body).subspan(5)))
                if (IsSlice(nal)) u.slices.push_back(std::move(nal));
            units.push_back(std::move(u));
        }
        ASSERT_FALSE(units.empty());
    }

    // The encoder's first presentation time comes with the first chunk; the rest carry none.
    std::vector<Out> Parse(const Chunking& next) {
        Parser p(H264_TS_PICTURE_ORDER);
        EXPECT_TRUE(p.Init(Parser::kDefaultBufferSize, H264_TS_ADVANCED, 1, 0));
        return ParseAll(p, bytes, next, units.front().pts);
    }

    // One access unit per chunk with its presentation time, as an encoder filter hands them over;
    // `beforeFlush` gets the pictures released without the flush.
    std::vector<Out> PerUnit(int32_t model, std::vector<Out>* beforeFlush = nullptr) {
        Parser p(model);
        EXPECT_TRUE(p.Init(Parser::kDefaultBufferSize, H264_TS_ADVANCED, 1, 0));
        const auto aus = SplitAccessUnits(bytes);
        EXPECT_EQ(aus.size(), units.size());
        std::vector<Out> out;
        for (size_t i = 0; i < aus.size() && i < units.size(); ++i) {
            Put(p, aus[i], units[i].pts);
            Drain(p, out);
        }
        if (beforeFlush) *beforeFlush = Pictures(out);
        return Pictures(Drain(p, out, true));
    }

    void ExpectTimes(const std::vector<Out>& pics, int64_t dtsTolerance) {
        for (size_t i = 0; i < pics.size(); ++i) {
            EXPECT_LE(std::llabs(pics[i].pts - units[i].pts), GetParam().msTolerance) << "unit " << i;
            EXPECT_LE(std::llabs(pics[i].dts - units[i].dts), dtsTolerance) << "unit " << i;
            EXPECT_LE(pics[i].dts, pics[i].pts) << "unit " << i;
            EXPECT_GE(pics[i].dts, i ? pics[i - 1].dts : INT64_MIN) << "unit " << i;
        }
    }

    std::string path;
    Bytes bytes, config;
    std::vector<Unit> units;
};

TEST_P(H264Oracle, BodiesTimesAndPictureTypesMatchFfmpegWhateverTheChunking) {
    const auto all = Parse(Fixed(65536));
    ASSERT_TRUE(!all.empty() && all.front().config) << "the sequence header comes first";
    // ffmpeg adds the High-profile extension after the PPS (4:2:0, 8 bits, no SPS extensions);
    // the record sent here ends with the PPS.
    Bytes record = all.front().body;
    if (record.size() > 12 && record[1] >= 100) record.insert(record.end(), {0xFD, 0xF8, 0xF8, 0x00});
    EXPECT_EQ(record, config);
    auto pics = Pictures(all);
    ASSERT_EQ(pics.size() + 1, all.size()) << "one sequence header";
    ASSERT_EQ(pics.size(), units.size());
    for (size_t i = 0; i < pics.size(); ++i) {
        bool ok = false;
        ASSERT_EQ(SplitLengthPrefixed(pics[i].body, &ok), units[i].slices) << "unit " << i;
        ASSERT_TRUE(ok);
        EXPECT_EQ(pics[i].frame_type == FRAME_I, units[i].key) << "unit " << i;
    }
    ExpectTimes(pics, GetParam().msTolerance);
    // Mostly tiny chunks (start codes split every way), now and then a large one.
    std::mt19937 rng(1234);
    const auto random = Parse([&rng](size_t) { return rng() % 8 ? 1 + rng() % 7 : 1 + rng() % 20000; });
    ASSERT_EQ(random.size(), all.size());
    for (size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(random[i].body, all[i].body) << i;
        EXPECT_EQ(std::pair(random[i].dts, random[i].pts), std::pair(all[i].dts, all[i].pts)) << i;
    }
    // ffprobe's decoded frames are in presentation order.
    const auto frames = Lines("ffprobe -v error -show_frames -show_entries frame=key_frame,pict_type -of csv=p=0 '" + path + ".h264'");
    ASSERT_EQ(frames.size(), pics.size());
    std::stable_sort(pics.begin(), pics.end(), [](const Out& a, const Out& b) { return a.pts < b.pts; });
    for (size_t i = 0; i < frames.size(); ++i) {
        const int32_t t = pics[i].frame_type;
        const std::string type = t == FRAME_I ? "I" : t == FRAME_P ? "P" : t == FRAME_B ? "B" : "?";
        EXPECT_EQ(type, frames[i].substr(2, 1)) << "frame " << i;
        EXPECT_TRUE(frames[i][0] != '1' || type == "I") << "key frame " << i;
    }
}

TEST_P(H264Oracle, IncomingTimesPerAccessUnit) {
    // Times that agree change nothing for the picture-order model.
    const auto poc = PerUnit(H264_TS_PICTURE_ORDER);
    ASSERT_EQ(poc.size(), units.size());
    ExpectTimes(poc, GetParam().msTolerance);
    if (GetParam().pyramid) return;  // the one-frame-delay model cannot order B pyramids
    // The advanced model is right up to its one-frame delay, for the pictures it released
    // itself (the flush times the rest without reordering).
    std::vector<Out> released;
    ASSERT_EQ(PerUnit(H264_TS_ADVANCED, &released).size(), units.size());
    ASSERT_GE(released.size() + 8, units.size());
    ExpectTimes(released, 40);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, H264Oracle,
                         ::testing::Values(Fixture{"high_bnone", false}, Fixture{"high_bpyr", true}, Fixture{"baseline", false},
                                           Fixture{"paff", true}, Fixture{"mbaff", true}, Fixture{"slices4", true},
                                           Fixture{"cavlc", true}, Fixture{"crop1080", true}, Fixture{"high720", true, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

// The PPS with pic_init_qp moved by `by`: the bits before pic_init_qp_minus26 copied (one slice
// group, as the encoder writes), the new value, the rest copied up to the stop bit.
Bytes MovePicInitQp(const Bytes& nal, int32_t by) {
    Bytes rbsp(nal.size()), raw(nal.size() + 8), out(nal.size() * 2 + 8, nal[0]);
    rbsp.resize(h264::UnescapeRbsp(std::span(nal).subspan(1), rbsp));
    h264::CBitReader r(rbsp, h264::RbspBitLength(rbsp));
    h264::CBitWriter w(raw);
    for (int bits : {0, 0, 2, 0, 0, 0, 3}) bits ? w.u(bits, r.u(bits)) : w.ue(r.ue());  // 0: an Exp-Golomb code
    w.se(r.se() + by);
    while (r.moreData()) w.flag(r.flag());
    w.trailing();
    raw.resize(w.bytes());
    out.resize(1 + h264::EscapeRbsp(raw, std::span<uint8_t>(out).subspan(1)));
    return out;
}

class H264PpsChange : public ::testing::TestWithParam<const char*> {};

// From the tenth picture on, a PPS with pic_init_qp + 4 (also where the encoder repeats its
// PPS) and every slice with slice_qp_delta - 4: the same frames. The parser must undo it.
TEST_P(H264PpsChange, RewrittenSlicesDecodeToTheOriginalFrames) {
    TempDir tmp;
    const auto original = testflv::ReadFileBytes(FixtureDir() + "/" + GetParam() + ".h264");
    ASSERT_FALSE(original.empty());
    const auto nals = SplitAnnexB(original);
    h264::SPS sps;
    h264::PPS pps, changed;
    Bytes newPps;
    std::vector<Bytes> origSlices;
    for (const auto& n : nals) {
        const int type = n[0] & 0x1F;
        ASSERT_TRUE(type != 7 || h264::ParseSPS(n, sps));
        if (type == 8) {
            ASSERT_EQ(MovePicInitQp(n, 0), n) << "PPS read and written back";
            ASSERT_TRUE(h264::ParsePPS(n, sps, pps) && h264::ParsePPS(newPps = MovePicInitQp(n, 4), sps, changed));
            ASSERT_EQ(changed.pic_init_qp, pps.pic_init_qp + 4);
        }
        if (IsSlice(n)) origSlices.push_back(n);
    }
    Bytes stream, broken;  // broken: the same slices without the new PPS
    int pictures = 0;
    for (const auto& n : nals) {
        if (IsSlice(n) && h264::FirstMbInSlice(n) == 0 && ++pictures == 10) AppendAnnexB(stream, newPps);
        Bytes out = n;
        if (IsSlice(n) && pictures >= 10) {
            out.resize(n.size() + 32);
            int32_t written = 0;
            ASSERT_EQ(RTMPNALUModifier::RewriteSlice(n, sps, changed, -4, out, written), 0);
            out.resize(static_cast<size_t>(written));
        }
        AppendAnnexB(stream, (n[0] & 0x1F) == 8 && pictures >= 10 ? newPps : out);
        AppendAnnexB(broken, out);
    }
    ASSERT_GE(pictures, 20);
    const auto md5 = [&tmp](const std::string& name, std::span<const uint8_t> b) {
        std::ofstream(tmp.file(name), std::ios::binary).write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
        return Lines("ffmpeg -nostdin -v error -f h264 -i '" + tmp.file(name) + "' -f framemd5 - 2>&1");
    };
    const auto reference = md5("orig.h264", original);
    ASSERT_EQ(static_cast<int>(reference.size()), pictures);
    ASSERT_EQ(md5("changed.h264", stream), reference) << "the changed stream is itself correct";
    ASSERT_NE(md5("broken.h264", broken), reference) << "without the new PPS the pictures differ";

    Parser parser(H264_TS_ADVANCED);
    ASSERT_TRUE(parser.Init(Parser::kDefaultBufferSize, H264_TS_ADVANCED, 1, 0));
    const auto out = ParseAll(parser, stream, Fixed(4096));
    ASSERT_TRUE(!out.empty() && out[0].config);
    // Back to Annex B from the sequence header and the bodies.
    const Bytes& rec = out[0].body;
    const size_t spsLen = testflv::Be24(rec, 5) & 0xFFFF, ppsLen = testflv::Be24(rec, 8 + spsLen) & 0xFFFF;
    ASSERT_GE(rec.size(), 11 + spsLen + ppsLen);
    Bytes rewrapped;
    AppendAnnexB(rewrapped, std::span<const uint8_t>(rec).subspan(8, spsLen));
    AppendAnnexB(rewrapped, std::span<const uint8_t>(rec).subspan(11 + spsLen, ppsLen));
    std::vector<Bytes> sent;
    for (size_t i = 1; i < out.size(); ++i)
        for (const auto& n : SplitLengthPrefixed(out[i].body)) AppendAnnexB(rewrapped, n), sent.push_back(n);
    EXPECT_EQ(sent, origSlices) << "the rewrite takes the slices back to what the encoder made";
    EXPECT_EQ(md5("sent.h264", rewrapped), reference);
}

INSTANTIATE_TEST_SUITE_P(Entropy, H264PpsChange, ::testing::Values("cavlc", "high_bnone"));

}  // namespace
