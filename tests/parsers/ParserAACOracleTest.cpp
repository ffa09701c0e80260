// The RTMP audio bodies against ffmpeg's own FLV remux of the same ADTS files, byte for byte,
// and the frame count, durations and times against ffprobe's packet list.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "foundation/Data.h"
#include "parsers/ParserAACRTMP.h"
#include "tests/parsers/FlvReader.h"
#include "tests/parsers/PacketList.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string FixtureDir() {
    const char* env = std::getenv("QV_FIXTURE_DIR");
    return env && *env ? env : QV_FIXTURE_DIR;
}

struct Fixture {
    Bytes adts;
    std::vector<testflv::Tag> audioTags;
    std::vector<testflv::Packet> packets;
};

Fixture Load(const std::string& name) {
    Fixture f;
    const std::string base = FixtureDir() + "/" + name;
    f.adts = testflv::ReadFileBytes(base + ".aac");
    auto tags = testflv::ReadFlv(base + ".flv");
    EXPECT_TRUE(tags.has_value()) << base << ".flv unreadable";
    if (tags) f.audioTags = testflv::TagsOfType(*tags, testflv::kTagAudio);
    // ffmpeg writes its header before the ADTS-to-config filter has run and so starts with an
    // empty AAC sequence header (AF 00); the real one follows with the first frame.
    if (!f.audioTags.empty() && f.audioTags[0].body == Bytes{0xAF, 0x00}) f.audioTags.erase(f.audioTags.begin());
    f.packets = testflv::ReadPacketList(base + ".packets.csv");
    EXPECT_FALSE(f.adts.empty()) << base << ".aac missing: run the fixtures target";
    EXPECT_FALSE(f.packets.empty()) << base << ".packets.csv missing";
    return f;
}

struct Rec {
    Bytes body;
    int64_t dts, duration;
    double duration_s;
    bool config;
};

std::vector<Rec> Drain(BS::CBaseParser& p) {
    std::vector<Rec> out;
    BS::data_t* raw = nullptr;
    while (p.GetChunk(&raw, 0)) {
        BS::DataPtr d(raw);
        out.push_back({Bytes(d->data, d->data + d->size_actual), d->dts, d->duration, d->duration_s, d->config});
    }
    return out;
}

void Put(BS::CBaseParser& p, std::span<const uint8_t> bytes, int64_t pts) {
    BS::DataPtr d(BS::data_t::Create(static_cast<int32_t>(bytes.size()), false, pts, pts, NO_TIME));
    ASSERT_TRUE(d);
    std::copy(bytes.begin(), bytes.end(), d->data);
    p.PutChunk(d.get());
}

// Feeds the whole file in chunks whose sizes cycle through `sizes`, without times.
std::vector<Rec> ParseInChunks(const Bytes& adts, const std::vector<size_t>& sizes) {
    CParserAACRTMP p;
    EXPECT_TRUE(p.Init(1048576, false));
    size_t pos = 0;
    for (size_t i = 0; pos < adts.size(); ++i) {
        const size_t n = std::min(sizes[i % sizes.size()], adts.size() - pos);
        Put(p, std::span(adts).subspan(pos, n), NO_TIME);
        pos += n;
    }
    return Drain(p);
}

void CheckAgainstOracles(const Fixture& f, const std::vector<Rec>& out, const std::string& what) {
    SCOPED_TRACE(what);
    ASSERT_EQ(out.size(), f.audioTags.size());
    ASSERT_EQ(out.size(), f.packets.size() + 1);
    ASSERT_TRUE(out[0].config);
    EXPECT_EQ(out[0].body, f.audioTags[0].body) << "sequence header";
    for (size_t i = 1; i < out.size(); ++i) {
        const testflv::Packet& pk = f.packets[i - 1];
        ASSERT_FALSE(out[i].config);
        ASSERT_EQ(out[i].body, f.audioTags[i].body) << "frame " << i - 1;
        EXPECT_EQ(static_cast<int64_t>(out[i].body.size()), pk.size - 7 + 2 - (f.adts[1] & 1 ? 0 : 2));
        EXPECT_NEAR(out[i].duration_s, pk.duration, 1e-6) << "frame " << i - 1;
        EXPECT_EQ(out[i].duration, static_cast<int64_t>(pk.duration * 1000.0));
        // Our time is the running sample count truncated to ms; ffprobe's is exact.
        EXPECT_NEAR(static_cast<double>(out[i].dts), pk.pts * 1000.0, 1.0) << "frame " << i - 1;
        EXPECT_NEAR(static_cast<double>(out[i].dts), static_cast<double>(f.audioTags[i].timestamp), 1.0);
    }
}

class AacOracle : public ::testing::TestWithParam<const char*> {};

TEST_P(AacOracle, BodiesCountsAndTimesMatchFfmpegInAnyChunking) {
    const Fixture f = Load(GetParam());
    ASSERT_FALSE(HasFailure());
    ASSERT_GT(f.packets.size(), 50u);
    CheckAgainstOracles(f, ParseInChunks(f.adts, {f.adts.size()}), "whole file");
    CheckAgainstOracles(f, ParseInChunks(f.adts, {1}), "one byte at a time");
    CheckAgainstOracles(f, ParseInChunks(f.adts, {7, 1, 300, 2, 4096, 9, 33}), "mixed chunks");
}

TEST_P(AacOracle, FrameTimesFollowTheGraphTimesTheyArriveWith) {
    const Fixture f = Load(GetParam());
    ASSERT_FALSE(HasFailure());
    CParserAACRTMP p;
    ASSERT_TRUE(p.Init(1048576, false));
    // One frame per chunk, timed as the FLV muxer timed it, shifted by 10 s.
    size_t pos = 0;
    std::vector<int64_t> sent;
    while (pos + 7 <= f.adts.size()) {
        const size_t len = ((f.adts[pos + 3] & 3u) << 11) | (size_t{f.adts[pos + 4]} << 3) | (f.adts[pos + 5] >> 5);
        ASSERT_GE(len, 7u);
        const int64_t t = 10000 + f.audioTags[sent.size() + 1].timestamp;
        Put(p, std::span(f.adts).subspan(pos, len), t);
        sent.push_back(t);
        pos += len;
    }
    const auto out = Drain(p);
    ASSERT_EQ(out.size(), sent.size() + 1);
    EXPECT_EQ(out[0].dts, sent[0]);
    for (size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(out[i + 1].dts, sent[i]) << i;
}

INSTANTIATE_TEST_SUITE_P(Fixtures, AacOracle, ::testing::Values("aac48s", "aac44m", "aaccrc"));

TEST(AacOracleCrc, CrcStreamCarriesTheSameAudioAsItsSource) {
    const Fixture plain = Load("aac44m");
    const Fixture crc = Load("aaccrc");
    ASSERT_FALSE(HasFailure());
    ASSERT_EQ(crc.adts[1] & 1, 0) << "the CRC fixture has no CRC";
    const auto a = ParseInChunks(plain.adts, {512});
    const auto b = ParseInChunks(crc.adts, {512});
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) EXPECT_EQ(a[i].body, b[i].body) << i;
}

}  // namespace
