// The parser framework through a line parser (every '\n'-terminated line becomes one record timed
// by the chunk its first byte arrived in); the ADTS parser and its RTMP audio bodies: hand-written
// frames, then ffmpeg's FLV remux and ffprobe's packet list of real encodes as oracles.
#include <array>
#include <cstdio>

#include "FlvReader.h"
#include "ParserTestUtil.h"
#include "parsers/BaseParser.h"
#include "parsers/ParserAACRTMP.h"

using namespace ptest;

namespace {

struct LineParser : BS::CBaseParser {
    void ParseData(uint8_t*, int32_t, int32_t) override {
        for (int32_t end = 0; end < BufferFill(); ++end) {
            if (Buffer()[end] != '\n') continue;
            int32_t type = FRAME_UNKNOWN;
            m_iCurrentTime = TakeTimeAt(0, type);
            if (end > 0) QueueOutput(MakeOutput(0, end, 0));
            Consume(end + 1);
            end = -1;
        }
    }
    using CBaseParser::ConsumedBytes, CBaseParser::ReceivedBytes;
    void PutS(const std::string& s, int64_t pts = NO_TIME, int32_t type = FRAME_UNKNOWN) {
        Put(*this, std::span(reinterpret_cast<const uint8_t*>(s.data()), s.size()), pts, type);
    }
    // Each record as "text@dts", checking that pts equals dts.
    std::vector<std::string> Lines() {
        std::vector<std::string> out;
        for (const Out& o : Drain(*this)) {
            EXPECT_EQ(o.pts, o.dts);
            out.push_back(std::string(o.body.begin(), o.body.end()) + "@" + std::to_string(o.dts));
        }
        return out;
    }
};

// Overflow drops everything queued; an oversize chunk resets all but the finished records.
TEST(BaseParser, OverflowAndOversizeChunks) {
    LineParser p;
    ASSERT_TRUE(p.Init(16, false));
    p.PutS("done\n0123456789", 10);
    p.PutS("abcdefgh\n", 30);  // 10 pending + 9 > 16
    EXPECT_EQ(p.ReceivedBytes(), 9) << "positions restart with the reset";
    p.PutS("kept\npartial", 40);
    p.PutS(std::string(16, 'Q') + "\n", 50);  // not smaller than the buffer: dropped
    p.PutS("next\n", 60);                     // must not complete "partial"
    EXPECT_EQ(p.Lines(), (std::vector<std::string>{"abcdefgh@30", "kept@40", "next@60"}));
    EXPECT_EQ(p.ConsumedBytes(), 5) << "positions restart with the reset";
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& b : parts) out.insert(out.end(), b.begin(), b.end());
    return out;
}

// An AAC LC ADTS frame; sfi 3: 48 kHz, 4: 44.1 kHz, 15 reserved; blocks: raw data blocks - 1.
// The parser does not check the CRC word.
Bytes Adts(uint32_t sfi, uint32_t channels, bool crc = false, Bytes payload = {0x21, 0x10, 0x05, 0x00}, uint32_t blocks = 0) {
    const uint32_t len = 7 + (crc ? 2 : 0) + static_cast<uint32_t>(payload.size());
    return Cat({{0xFF, static_cast<uint8_t>(0xF0 | (crc ? 0 : 1)), static_cast<uint8_t>((1 << 6) | (sfi << 2) | (channels >> 2)),
                 static_cast<uint8_t>(((channels & 3) << 6) | (len >> 11)), static_cast<uint8_t>(len >> 3),
                 static_cast<uint8_t>(((len & 7) << 5) | 0x1F), static_cast<uint8_t>(0xFC | blocks)},
                crc ? Bytes{0xC3, 0x3C} : Bytes{}, payload});
}

TEST(AacParser, HandWrittenFramesGiveSequenceHeaderAndRawBodies) {
    const struct { const char* frame; size_t header; Bytes config; int sampleRate, channels; } cases[] = {
        {"FFF14C80017FFCDEADBEEF", 7, {0x11, 0x90}, 48000, 2},  // LC 48 kHz stereo; ends where the input does
        {"FFF05040017FFCC33C0A0B", 9, {0x12, 0x08}, 44100, 1},  // LC 44.1 kHz mono with CRC
        {"FFF1DDC0015FFC010203", 7, {0x23, 0xC0}, 22050, 8},     // HE (object type 4), 22.05 kHz, configuration 7
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sampleRate);
        const Bytes frame = Hex(c.frame);
        CParserAACRTMP p;
        ASSERT_TRUE(p.Init(1 << 16, false));
        Put(p, frame);
        const auto out = Drain(p);
        ASSERT_EQ(out.size(), 2u);
        EXPECT_EQ(std::pair(out[0].config, out[1].config), std::pair(true, false));
        EXPECT_EQ(out[0].body, Cat({{0xAF, 0x00}, c.config}));
        EXPECT_EQ(out[1].body, Cat({{0xAF, 0x01}, Bytes(frame.begin() + static_cast<std::ptrdiff_t>(c.header), frame.end())}));
        BS::format_t f;
        ASSERT_TRUE(p.GetFormat(&f));
        EXPECT_EQ(std::tuple(f.codec, f.audio.sample_rate, f.audio.channels),
                  std::tuple(BS::CODEC_AAC, c.sampleRate, c.channels));
        EXPECT_EQ(Bytes(f.codec_private, f.codec_private + f.codec_private_len), c.config);
    }
}

TEST(AacParser, DurationsTimesAndBitClock) {
    CParserAACRTMP p;
    ASSERT_TRUE(p.Init(1 << 16, false));
    const Bytes f = Adts(4, 1), half = Adts(4, 1, false, {0x21, 0x10, 0x05, 0x00}, 2);
    Put(p, Cat({f, f}), 5000);
    Put(p, f, 5100);
    Put(p, Cat({f, half}));  // no time: runs on from the last anchor
    const auto out = Drain(p);
    const int64_t dts[] = {5000, 5000, 5023, 5100, 5123, 5146};  // 23.22 ms a frame
    ASSERT_EQ(out.size(), 6u);
    double bitClock = -0.2;
    for (size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(std::pair(out[i].dts, out[i].pts), std::pair(dts[i], dts[i])) << i;
        if (i == 0) continue;
        EXPECT_DOUBLE_EQ(out[i].duration_s, (i == 5 ? 512.0 : 1024.0) / 44100.0);
        EXPECT_EQ(out[i].duration, i == 5 ? 11 : 23);
        EXPECT_EQ(out[i].bts, static_cast<int64_t>(bitClock * 1000.0)) << i;
        bitClock += static_cast<double>(out[i].body.size()) * 8.0 / 244000.0;
    }
    // Ignoring input times: no times at all, one sequence header.
    ASSERT_TRUE(p.Init(1 << 16, true));
    Put(p, Cat({f, f}), 1234);
    const auto untimed = Drain(p);
    ASSERT_EQ(untimed.size(), 3u);
    for (const Out& o : untimed) EXPECT_EQ(o.dts, NO_TIME);
}

TEST(AacParser, GarbageFalseSyncWordsAndAnyChunkingGiveTheSameRecords) {
    // A lone 0xFF, a sync word announcing 5 bytes (shorter than its header), a layer-1 sync
    // word, a frame with reserved sampling index 15; payloads of 0xFF put false syncs in frames.
    Bytes stream = Cat({Hex("00FF12FFF14C8000BFFCFFF34C80017FFC99"), Adts(15, 2, false, Bytes(50, 1))});
    for (int i = 0; i < 8; ++i) stream = Cat({stream, Adts(4, 2, i % 3 == 0, Bytes(5 + 7 * size_t(i), 0xFF))});
    CParserAACRTMP p;
    ASSERT_TRUE(p.Init(4096, false));
    Put(p, stream);
    const auto whole = Drain(p);
    ASSERT_EQ(whole.size(), 9u);
    EXPECT_EQ(whole[0].body, (Bytes{0xAF, 0x00, 0x12, 0x10}));
    EXPECT_EQ(whole[1].dts, 0) << "the dropped frames add no time";
    EXPECT_EQ(whole[2].dts, 23);
    for (size_t chunk : {1u, 2u, 3u, 7u, 64u}) {
        ASSERT_TRUE(p.Init(4096, false));
        const auto got = ParseAll(p, stream, Fixed(chunk));
        ASSERT_EQ(got.size(), whole.size()) << "chunk " << chunk;
        for (size_t i = 0; i < got.size(); ++i)
            EXPECT_EQ(std::pair(got[i].body, got[i].dts), std::pair(whole[i].body, whole[i].dts)) << chunk << " " << i;
    }
}

TEST(AacParser, RestartKeepsTheAnnouncedSequenceHeaderAndFullResetAnnouncesAgain) {
    CParserAACRTMP p;
    ASSERT_TRUE(p.Init(1 << 16, false));
    int64_t t = 0;
    for (auto [reset, records] : {std::pair{-1, 2u}, {BS::CBaseParser::RESET_RESTART, 1u}, {0, 2u}}) {
        if (reset >= 0) p.Reset(static_cast<uint32_t>(reset));
        Put(p, Adts(3, 2), t += 1000);
        const auto out = Drain(p);
        ASSERT_EQ(out.size(), records) << reset;
        EXPECT_EQ(std::pair(out[0].config, out[0].dts), std::pair(records == 2, t));
    }
}

class AacOracle : public ::testing::TestWithParam<const char*> {};

TEST_P(AacOracle, BodiesCountsAndTimesMatchFfmpegInAnyChunking) {
    const std::string base = FixtureDir() + "/" + GetParam();
    const Bytes adts = testflv::ReadFileBytes(base + ".aac");
    auto tags = testflv::ReadFlv(base + ".flv", 8);
    // ffmpeg writes an empty sequence header (AF 00) before its ADTS filter has run.
    if (!tags.empty() && tags[0].body == Bytes{0xAF, 0x00}) tags.erase(tags.begin());
    // ffprobe's packets (pts_time,dts_time,duration_time,size,flags) as scripts/fixtures.sh wrote them.
    std::vector<std::array<double, 4>> packets;
    std::ifstream in(base + ".packets.csv");
    for (std::string line; std::getline(in, line);)
        if (std::array<double, 4> k{}; std::sscanf(line.c_str(), "%lf,%lf,%lf,%lf", &k[0], &k[1], &k[2], &k[3]) == 4) packets.push_back(k);
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
            ASSERT_EQ(out[i].body, tags[i].body) << "frame " << i;
            EXPECT_NEAR(out[i].duration_s, packets[i - 1][2], 1e-6);
            EXPECT_NEAR(static_cast<double>(out[i].dts), tags[i].timestamp, 1.0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, AacOracle, ::testing::Values("aac48s", "aac44m", "aaccrc"));

}  // namespace
