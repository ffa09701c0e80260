// The ADTS parser and its RTMP audio bodies: hand-built frames, then ffmpeg's FLV remux and
// ffprobe's packet list of real encodes as oracles.
#include <array>
#include <cstdio>
#include <fstream>

#include "FlvReader.h"
#include "ParserTestUtil.h"
#include "parsers/ParserAACRTMP.h"

using namespace ptest;

namespace {

struct FrameSpec {
    uint32_t profile = 1;  // AAC LC
    uint32_t sfi = 3;      // 48000 Hz
    uint32_t channels = 2;
    bool crc = false;
    uint32_t blocks = 0;  // raw data blocks - 1
    Bytes payload{0x21, 0x10, 0x05, 0x00};
};

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& b : parts) out.insert(out.end(), b.begin(), b.end());
    return out;
}

Bytes Adts(const FrameSpec& s) {
    const uint32_t len = 7 + (s.crc ? 2 : 0) + static_cast<uint32_t>(s.payload.size());
    Bytes f = {0xFF, static_cast<uint8_t>(0xF0 | (s.crc ? 0 : 1)),
               static_cast<uint8_t>((s.profile << 6) | (s.sfi << 2) | (s.channels >> 2)),
               static_cast<uint8_t>(((s.channels & 3) << 6) | (len >> 11)), static_cast<uint8_t>(len >> 3),
               static_cast<uint8_t>(((len & 7) << 5) | 0x1F), static_cast<uint8_t>(0xFC | s.blocks)};
    const Bytes crc = s.crc ? Bytes{0xC3, 0x3C} : Bytes{};  // the parser does not check the word
    return Cat({f, crc, s.payload});
}


std::vector<Out> Parse(std::span<const uint8_t> bytes, int64_t pts = NO_TIME, bool ignoreTimes = false) {
    CParserAACRTMP p;
    EXPECT_TRUE(p.Init(1 << 20, ignoreTimes));
    Put(p, bytes, pts);
    return Drain(p);
}

TEST(AacParser, HandWrittenFramesGiveSequenceHeaderAndRawBodies) {
    struct Case {
        Bytes frame;  // written out by hand
        FrameSpec spec;
        Bytes config;
        int sampleRate, channels;
    } cases[] = {
        // LC 48 kHz stereo, 11 bytes, and the frame ends exactly where the input does
        {{0xFF, 0xF1, 0x4C, 0x80, 0x01, 0x7F, 0xFC, 0xDE, 0xAD, 0xBE, 0xEF},
         {.payload = {0xDE, 0xAD, 0xBE, 0xEF}}, {0x11, 0x90}, 48000, 2},
        // LC 44.1 kHz mono with CRC: nine header bytes go
        {{0xFF, 0xF0, 0x50, 0x40, 0x01, 0x7F, 0xFC, 0xC3, 0x3C, 0x0A, 0x0B}, {.sfi = 4, .channels = 1, .crc = true,
         .payload = {0x0A, 0x0B}}, {0x12, 0x08}, 44100, 1},
        // HE (object type 4), 22.05 kHz, configuration 7 = 8 channels
        {{0xFF, 0xF1, 0xDD, 0xC0, 0x01, 0x5F, 0xFC, 0x01, 0x02, 0x03}, {.profile = 3, .sfi = 7, .channels = 7,
         .payload = {1, 2, 3}}, {0x23, 0xC0}, 22050, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sampleRate);
        ASSERT_EQ(c.frame, Adts(c.spec));
        CParserAACRTMP p;
        ASSERT_TRUE(p.Init(1 << 16, false));
        Put(p, c.frame);
        const auto out = Drain(p);
        ASSERT_EQ(out.size(), 2u);
        EXPECT_EQ(out[0].body, Cat({{0xAF, 0x00}, c.config}));
        EXPECT_TRUE(out[0].config);
        EXPECT_EQ(out[1].body, Cat({{0xAF, 0x01}, c.spec.payload}));
        EXPECT_FALSE(out[1].config);
        BS::format_t f;
        ASSERT_TRUE(p.GetFormat(&f));
        EXPECT_EQ(f.codec, BS::CODEC_AAC);
        EXPECT_EQ(f.audio.sample_rate, c.sampleRate);
        EXPECT_EQ(f.audio.channels, c.channels);
        ASSERT_EQ(f.codec_private_len, 2);
        EXPECT_EQ(Bytes(f.codec_private, f.codec_private + 2), c.config);
    }
}

TEST(AacParser, DurationsTimesAndBitClock) {
    CParserAACRTMP p;
    ASSERT_TRUE(p.Init(1 << 16, false));
    const Bytes f = Adts({.sfi = 4, .channels = 1}), half = Adts({.sfi = 4, .channels = 1, .blocks = 2});
    Put(p, Cat({f, f}), 5000);
    Put(p, f, 5100);
    Put(p, Cat({f, half}));  // no time: runs on from the last anchor
    const auto out = Drain(p);
    const int64_t dts[] = {5000, 5000, 5023, 5100, 5123, 5146};  // 23.22 ms a frame
    ASSERT_EQ(out.size(), 6u);
    double bitClock = -0.2;
    for (size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(out[i].dts, dts[i]) << i;
        EXPECT_EQ(out[i].pts, dts[i]) << i;
        if (i == 0) continue;
        EXPECT_DOUBLE_EQ(out[i].duration_s, (i == 5 ? 512.0 : 1024.0) / 44100.0);
        EXPECT_EQ(out[i].duration, i == 5 ? 11 : 23);
        EXPECT_EQ(out[i].bts, static_cast<int64_t>(bitClock * 1000.0)) << i;
        bitClock += static_cast<double>(out[i].body.size()) * 8.0 / 244000.0;
    }
    EXPECT_EQ(out[0].bts, NO_TIME) << "no nominal bit rate";
    // Ignoring input times: no times at all, one sequence header.
    const auto untimed = Parse(Cat({f, f}), 1234, true);
    ASSERT_EQ(untimed.size(), 3u);
    for (const Out& o : untimed) EXPECT_EQ(o.dts, NO_TIME);
}

TEST(AacParser, GarbageFalseSyncWordsAndAnyChunkingGiveTheSameRecords) {
    // A lone 0xFF, a sync word announcing 5 bytes (shorter than its header), a layer-1 sync
    // word, a frame with reserved sampling index 15; payloads of 0xFF put false syncs in frames.
    Bytes stream = {0x00, 0xFF, 0x12, 0xFF, 0xF1, 0x4C, 0x80, 0x00, 0xBF, 0xFC,
                    0xFF, 0xF3, 0x4C, 0x80, 0x01, 0x7F, 0xFC, 0x99};
    stream = Cat({stream, Adts({.sfi = 15, .payload = Bytes(50, 1)})});
    for (int i = 0; i < 8; ++i)
        stream = Cat({stream, Adts({.sfi = 4, .crc = i % 3 == 0, .payload = Bytes(5 + 7 * size_t(i), 0xFF)})});
    const auto whole = Parse(stream);
    ASSERT_EQ(whole.size(), 9u);
    EXPECT_EQ(whole[0].body, (Bytes{0xAF, 0x00, 0x12, 0x10}));
    EXPECT_EQ(whole[1].dts, 0) << "the dropped frames add no time";
    EXPECT_EQ(whole[2].dts, 23);
    for (size_t chunk : {1u, 2u, 3u, 7u, 64u}) {
        CParserAACRTMP p;
        ASSERT_TRUE(p.Init(4096, false));
        const auto got = ParseAll(p, stream, chunk);
        ASSERT_EQ(got.size(), whole.size()) << "chunk " << chunk;
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].body, whole[i].body) << "chunk " << chunk << " record " << i;
            EXPECT_EQ(got[i].dts, whole[i].dts);
        }
    }
    // 50 KB of garbage through a 4 KB buffer does not pile up, and a split sync word is found.
    CParserAACRTMP p;
    ASSERT_TRUE(p.Init(4096, false));
    Bytes junk(1000);
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<uint8_t>(i * 37 % 251);
    for (int i = 0; i < 50; ++i) Put(p, junk);
    const Bytes tail = Cat({{0xFF}, Adts({})});
    EXPECT_EQ(ParseAll(p, tail, 2).size(), 2u);
}

TEST(AacParser, RestartKeepsTheAnnouncedSequenceHeaderAndFullResetAnnouncesAgain) {
    CParserAACRTMP p;
    ASSERT_TRUE(p.Init(1 << 16, false));
    int64_t t = 0;
    for (auto [reset, records] : {std::pair{-1, 2u}, {BS::CBaseParser::RESET_RESTART, 1u}, {0, 2u}}) {
        if (reset >= 0) p.Reset(static_cast<uint32_t>(reset));
        Put(p, Adts({}), t += 1000);
        const auto out = Drain(p);
        ASSERT_EQ(out.size(), records) << reset;
        EXPECT_EQ(out[0].config, records == 2);
        EXPECT_EQ(out[0].dts, t);
    }
}

// ffprobe's packets (pts_time,dts_time,duration_time,size,flags) as scripts/fixtures.sh wrote them.
std::vector<std::array<double, 4>> Packets(const std::string& path) {
    std::vector<std::array<double, 4>> out;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::array<double, 4> p{};
        if (std::sscanf(line.c_str(), "%lf,%lf,%lf,%lf", &p[0], &p[1], &p[2], &p[3]) == 4) out.push_back(p);
    }
    return out;
}

class AacOracle : public ::testing::TestWithParam<const char*> {};

TEST_P(AacOracle, BodiesCountsAndTimesMatchFfmpegInAnyChunking) {
    const std::string base = FixtureDir() + "/" + GetParam();
    const Bytes adts = testflv::ReadFileBytes(base + ".aac");
    auto tags = testflv::ReadFlv(base + ".flv", testflv::kTagAudio).value_or(std::vector<testflv::Tag>{});
    // ffmpeg writes an empty sequence header (AF 00) before its ADTS filter has run.
    if (!tags.empty() && tags[0].body == Bytes{0xAF, 0x00}) tags.erase(tags.begin());
    const auto packets = Packets(base + ".packets.csv");
    ASSERT_GT(packets.size(), 50u) << base << ": run the fixtures target";
    ASSERT_EQ(tags.size(), packets.size() + 1);
    const std::vector<size_t> sizes = {7, 1, 300, 2, 4096, 9, 33};
    for (int how = 0; how < 3; ++how) {
        SCOPED_TRACE(how);
        CParserAACRTMP p;
        ASSERT_TRUE(p.Init(1 << 20, false));
        size_t k = 0;
        const auto out = ParseAll(p, adts, [&](size_t) { return how == 0 ? adts.size() : how == 1 ? 1 : sizes[k++ % 7]; });
        ASSERT_EQ(out.size(), tags.size());
        EXPECT_EQ(out[0].body, tags[0].body) << "sequence header";
        for (size_t i = 1; i < out.size(); ++i) {
            const auto& pk = packets[i - 1];
            ASSERT_EQ(out[i].body, tags[i].body) << "frame " << i;
            EXPECT_EQ(static_cast<double>(out[i].body.size()), pk[3] - ((adts[1] & 1) ? 5 : 7));
            EXPECT_NEAR(out[i].duration_s, pk[2], 1e-6);
            EXPECT_NEAR(static_cast<double>(out[i].dts), pk[0] * 1000.0, 1.0) << "frame " << i;
            EXPECT_NEAR(static_cast<double>(out[i].dts), tags[i].timestamp, 1.0);
        }
    }
    // One frame per chunk, each timed as the FLV muxer timed it plus 10 s: those times win.
    CParserAACRTMP p;
    ASSERT_TRUE(p.Init(1 << 20, false));
    size_t pos = 0, n = 0;
    for (; pos + 7 <= adts.size() && n + 1 < tags.size(); ++n) {
        const size_t len = ((adts[pos + 3] & 3u) << 11) | (size_t{adts[pos + 4]} << 3) | (adts[pos + 5] >> 5);
        Put(p, std::span(adts).subspan(pos, len), 10000 + tags[n + 1].timestamp);
        pos += len;
    }
    const auto out = Drain(p);
    ASSERT_EQ(out.size(), n + 1);
    for (size_t i = 1; i <= n; ++i) EXPECT_EQ(out[i].dts, 10000 + tags[i].timestamp) << i;
}

INSTANTIATE_TEST_SUITE_P(Fixtures, AacOracle, ::testing::Values("aac48s", "aac44m", "aaccrc"));

}  // namespace
