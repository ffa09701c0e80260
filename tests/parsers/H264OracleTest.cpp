// The H.264 parser against ffmpeg on real encodes: every fixture is parsed, and the sequence
// header and the slices of every video body must equal what ffmpeg's FLV muxer wrote for the same
// encode, byte for byte; the picture-order timestamps must equal the encoder's own dts/pts (as the
// FLV remux of the encoder's NUT output carries them); access units, picture types and key
// frames must match ffprobe's decoded frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>

#include "FlvReader.h"
#include "H264TestUtil.h"
#include "parsers/H264SliceHeader.h"

using namespace h264test;

namespace {

const std::string kDir = QV_FIXTURE_DIR;

struct Expected {
    std::vector<uint8_t> config;  // AVCDecoderConfigurationRecord
    struct Unit {
        int64_t dts, pts;
        bool key;
        std::vector<std::vector<uint8_t>> slices;
    };
    std::vector<Unit> units;
};

Expected FromFlv(const std::string& name) {
    Expected e;
    auto tags = testflv::ReadFlv(kDir + "/" + name + ".flv");
    EXPECT_TRUE(tags.has_value()) << name;
    if (!tags) return e;
    for (const auto& t : testflv::TagsOfType(*tags, testflv::kTagVideo)) {
        EXPECT_GE(t.body.size(), 5u);
        if (t.body.size() < 5) continue;
        if (t.body[1] == 0) {
            e.config.assign(t.body.begin() + 5, t.body.end());
            continue;
        }
        if (t.body[1] == 2) continue;  // the muxer's end-of-sequence tag
        int32_t cts = static_cast<int32_t>(testflv::Be24(t.body, 2));
        if (cts & 0x800000) cts -= 0x1000000;
        Expected::Unit u;
        u.dts = t.timestamp;
        u.pts = static_cast<int64_t>(t.timestamp) + cts;
        u.key = (t.body[0] >> 4) == 1;
        for (auto& nal : SplitLengthPrefixed(std::span<const uint8_t>(t.body).subspan(5)))
            if (IsSlice(nal)) u.slices.push_back(std::move(nal));
        e.units.push_back(std::move(u));
    }
    return e;
}

struct Frame {
    bool key;
    char type;
};

// Decoded frames in presentation order, as ffprobe reports them for the raw stream.
std::vector<Frame> FfprobeFrames(const std::string& path) {
    int status = 0;
    const std::string out = Run("ffprobe -v error -show_frames -show_entries frame=key_frame,pict_type -of csv=p=0 '" +
                                    path + "'",
                                &status);
    EXPECT_EQ(status, 0);
    std::vector<Frame> frames;
    std::stringstream ss(out);
    std::string line;
    while (std::getline(ss, line)) {
        if (line.size() < 3 || line[1] != ',') continue;
        frames.push_back({line[0] == '1', line[2]});
    }
    return frames;
}

char TypeLetter(int32_t t) {
    switch (t) {
    case FRAME_I: return 'I';
    case FRAME_P: return 'P';
    case FRAME_B: return 'B';
    default: return '?';
    }
}

// Access units of an Annex B stream as the encoder emitted them: a new unit begins at the first
// non-slice NAL unit after a slice, or at a slice with first_mb_in_slice 0 after a slice.
std::vector<std::vector<uint8_t>> SplitAccessUnits(std::span<const uint8_t> stream) {
    std::vector<std::vector<uint8_t>> aus(1);
    bool sliceSeen = false;
    for (const auto& nal : SplitAnnexB(stream)) {
        const bool slice = IsSlice(nal);
        if (sliceSeen && (!slice || h264::FirstMbInSlice(nal) == 0)) {
            aus.emplace_back();
            sliceSeen = false;
        }
        sliceSeen = sliceSeen || slice;
        AppendAnnexB(aus.back(), nal);
    }
    return aus;
}

struct Fixture {
    const char* name;
    bool pyramid;       // B pictures referenced by other B pictures
    int64_t msTolerance = 0;  // 1 where a frame is not a whole number of ms (both sides round)
};

void PrintTo(const Fixture& f, std::ostream* os) { *os << f.name; }

class H264Oracle : public ::testing::TestWithParam<Fixture> {
protected:
    void SetUp() override {
        bytes = ReadFile(kDir + "/" + std::string(GetParam().name) + ".h264");
        ASSERT_FALSE(bytes.empty());
        expected = FromFlv(GetParam().name);
        ASSERT_FALSE(expected.units.empty());
        ASSERT_FALSE(expected.config.empty());
    }

    std::vector<Out> ParseWithModel(int32_t model, int32_t mode, const std::function<size_t(size_t)>& next) {
        Parser p(model);
        EXPECT_TRUE(p.Init(Parser::kDefaultBufferSize, mode, 1, 0));
        // The encoder's first presentation time; the rest of the stream carries none.
        return ParseAll(p, bytes, next, expected.units.front().pts);
    }

    static std::vector<Out> Data(const std::vector<Out>& all) {
        std::vector<Out> d;
        for (const Out& o : all)
            if (!o.config) d.push_back(o);
        return d;
    }

    PrivateSettings settings;
    std::vector<uint8_t> bytes;
    Expected expected;
};

TEST_P(H264Oracle, BodiesAndPictureOrderTimesMatchFfmpeg) {
    const auto all = ParseWithModel(H264_TS_PICTURE_ORDER, H264_TS_ADVANCED, [](size_t) { return 65536; });
    ASSERT_FALSE(all.empty());
    ASSERT_TRUE(all.front().config) << "the sequence header comes first";
    // ffmpeg adds the four-byte extension of High profiles (chroma format, bit depths, no SPS
    // extensions) after the PPS; the record sent here ends with the PPS.
    std::vector<uint8_t> config = all.front().body;
    ASSERT_GE(config.size(), 12u);
    if (config[1] >= 100 && expected.config.size() == config.size() + 4) {
        Parser p;
        ASSERT_TRUE(p.Init(Parser::kDefaultBufferSize, H264_TS_ADVANCED, 1, 0));
        Put(p, std::span<const uint8_t>(bytes).first(std::min<size_t>(bytes.size(), 4096)));
        const h264::SPS& sps = p.CurrentSps();
        config.push_back(static_cast<uint8_t>(0xFC | sps.chroma_format_idc));
        config.push_back(static_cast<uint8_t>(0xF8 | (sps.bit_depth_luma - 8)));
        config.push_back(static_cast<uint8_t>(0xF8 | (sps.bit_depth_chroma - 8)));
        config.push_back(0);
    }
    EXPECT_EQ(config, expected.config);
    EXPECT_EQ(std::count_if(all.begin(), all.end(), [](const Out& o) { return o.config; }), 1);

    const auto data = Data(all);
    ASSERT_EQ(data.size(), expected.units.size());
    int64_t lastDts = INT64_MIN;
    for (size_t i = 0; i < data.size(); ++i) {
        bool ok = false;
        const auto nals = SplitLengthPrefixed(data[i].body, &ok);
        ASSERT_TRUE(ok) << "unit " << i;
        ASSERT_EQ(nals, expected.units[i].slices) << "unit " << i;
        EXPECT_LE(std::llabs(data[i].pts - expected.units[i].pts), GetParam().msTolerance) << "unit " << i;
        EXPECT_LE(std::llabs(data[i].dts - expected.units[i].dts), GetParam().msTolerance) << "unit " << i;
        EXPECT_GE(data[i].dts, lastDts) << "unit " << i;
        EXPECT_LE(data[i].dts, data[i].pts) << "unit " << i;
        EXPECT_EQ(data[i].frame_type == FRAME_I, expected.units[i].key) << "unit " << i;
        lastDts = data[i].dts;
    }
}

TEST_P(H264Oracle, PictureTypesAndKeyFramesMatchFfprobe) {
    auto data = Data(ParseWithModel(H264_TS_PICTURE_ORDER, H264_TS_ADVANCED, [](size_t) { return 65536; }));
    const auto frames = FfprobeFrames(kDir + "/" + std::string(GetParam().name) + ".h264");
    ASSERT_EQ(data.size(), frames.size());
    std::stable_sort(data.begin(), data.end(), [](const Out& a, const Out& b) { return a.pts < b.pts; });
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(TypeLetter(data[i].frame_type), frames[i].type) << "frame " << i;
        if (frames[i].key) {
            EXPECT_EQ(data[i].frame_type, FRAME_I) << "frame " << i;
        }
    }
}

TEST_P(H264Oracle, ChunkingDoesNotChangeTheOutput) {
    const auto whole = ParseWithModel(H264_TS_PICTURE_ORDER, H264_TS_ADVANCED, [](size_t) { return 65536; });
    std::mt19937 rng(1234);
    // Mostly tiny chunks (start codes split every way), now and then a large one.
    const auto random = ParseWithModel(H264_TS_PICTURE_ORDER, H264_TS_ADVANCED, [&rng](size_t) {
        return rng() % 8 == 0 ? 1 + rng() % 20000 : 1 + rng() % 7;
    });
    ASSERT_EQ(whole.size(), random.size());
    for (size_t i = 0; i < whole.size(); ++i) {
        EXPECT_EQ(whole[i].body, random[i].body) << i;
        EXPECT_EQ(whole[i].dts, random[i].dts) << i;
        EXPECT_EQ(whole[i].pts, random[i].pts) << i;
    }
}

TEST_P(H264Oracle, PictureOrderTimesIgnoreIncomingTimesThatAgree) {
    // Every access unit delivered on its own with its presentation time, as an encoder filter
    // would hand them over: the result must not change.
    Parser p(H264_TS_PICTURE_ORDER);
    ASSERT_TRUE(p.Init(Parser::kDefaultBufferSize, H264_TS_ADVANCED, 1, 0));
    const auto aus = SplitAccessUnits(bytes);
    ASSERT_EQ(aus.size(), expected.units.size());
    std::vector<Out> out;
    for (size_t i = 0; i < aus.size(); ++i) {
        Put(p, aus[i], expected.units[i].pts);
        Drain(p, out, false);
    }
    Drain(p, out, true);
    const auto data = Data(out);
    ASSERT_EQ(data.size(), expected.units.size());
    for (size_t i = 0; i < data.size(); ++i) {
        EXPECT_LE(std::llabs(data[i].pts - expected.units[i].pts), GetParam().msTolerance) << i;
        EXPECT_LE(std::llabs(data[i].dts - expected.units[i].dts), GetParam().msTolerance) << i;
    }
}

TEST_P(H264Oracle, AdvancedModelMatchesUpToItsOneFrameDelay) {
    if (GetParam().pyramid) GTEST_SKIP() << "the one-frame-delay model cannot order B pyramids";
    Parser p(H264_TS_ADVANCED);
    ASSERT_TRUE(p.Init(Parser::kDefaultBufferSize, H264_TS_ADVANCED, 1, 0));
    const auto aus = SplitAccessUnits(bytes);
    ASSERT_EQ(aus.size(), expected.units.size());
    std::vector<Out> out;
    for (size_t i = 0; i < aus.size(); ++i) {
        Put(p, aus[i], expected.units[i].pts);
        Drain(p, out, false);
    }
    // The units still queued at the end are timed without reordering when flushed; only the
    // ones the model released on its own are held to the oracle.
    const auto reordered = Data(out);
    Drain(p, out, true);
    ASSERT_EQ(Data(out).size(), expected.units.size());
    ASSERT_GE(reordered.size() + 8, expected.units.size());
    const int64_t frame = 40;
    for (size_t i = 0; i < reordered.size(); ++i) {
        EXPECT_EQ(reordered[i].pts, expected.units[i].pts) << i;
        EXPECT_LE(std::llabs(reordered[i].dts - expected.units[i].dts), frame)
            << i << " dts " << reordered[i].dts << " expected " << expected.units[i].dts;
        EXPECT_LE(reordered[i].dts, reordered[i].pts) << i;
        if (i > 0) {
            EXPECT_GE(reordered[i].dts, reordered[i - 1].dts) << i;
        }
    }
}

TEST(H264OracleFormat, CroppedFrameReportsTheCodedHeight) {
    PrivateSettings settings;
    Parser p;
    ASSERT_TRUE(p.Init(Parser::kDefaultBufferSize, H264_TS_ADVANCED, 1, 0));
    const auto bytes = ReadFile(kDir + "/crop1080.h264");
    ASSERT_FALSE(bytes.empty());
    ParseAll(p, bytes, 65536);
    BS::format_t f;
    ASSERT_TRUE(p.GetFormat(&f));
    EXPECT_EQ(f.video.width, 1920);
    EXPECT_EQ(f.video.height, 1088) << "cropping is parsed but not applied";
    EXPECT_TRUE(p.CurrentSps().frame_cropping_flag);
    EXPECT_EQ(p.CurrentSps().frame_crop_bottom, 4);
    EXPECT_DOUBLE_EQ(f.video.fps, 25.0);
    EXPECT_EQ(f.video.profile, 100);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, H264Oracle,
                         ::testing::Values(Fixture{"high_bnone", false}, Fixture{"high_bpyr", true},
                                           Fixture{"baseline", false}, Fixture{"paff", true}, Fixture{"mbaff", true},
                                           Fixture{"slices4", true}, Fixture{"cavlc", true},
                                           Fixture{"crop1080", true}, Fixture{"high720", true, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
