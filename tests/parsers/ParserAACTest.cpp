// The ADTS parser and the RTMP audio bodies it writes, on hand-built streams.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <span>
#include <vector>

#include "foundation/Data.h"
#include "parsers/ParserAACRTMP.h"
#include "tests/parsers/AACTestFrames.h"

namespace {

using Bytes = std::vector<uint8_t>;
using testaac::BuildAdts;
using testaac::FrameSpec;

struct Rec {
    Bytes body;
    int64_t dts, pts, bts, duration;
    double duration_s;
    bool config;
};

void Put(BS::CBaseParser& p, std::span<const uint8_t> bytes, int64_t pts = NO_TIME) {
    BS::DataPtr d(BS::data_t::Create(static_cast<int32_t>(bytes.size()), false, pts, pts, NO_TIME));
    ASSERT_TRUE(d);
    std::copy(bytes.begin(), bytes.end(), d->data);
    p.PutChunk(d.get());
}

std::vector<Rec> Drain(BS::CBaseParser& p) {
    std::vector<Rec> out;
    BS::data_t* raw = nullptr;
    while (p.GetChunk(&raw, 0)) {
        BS::DataPtr d(raw);
        out.push_back({Bytes(d->data, d->data + d->size_actual), d->dts, d->pts, d->bts, d->duration, d->duration_s,
                       d->config});
    }
    return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& b : parts) out.insert(out.end(), b.begin(), b.end());
    return out;
}

class AacParser : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(parser.Init(1 << 16, false)); }
    CParserAACRTMP parser;
};

TEST_F(AacParser, StereoLc48kGivesSequenceHeaderAndRawBodies) {
    // AAC LC, 48 kHz (index 3), 2 channels, 11-byte frame, fullness 0x7FF, written out by hand.
    const Bytes frame = {0xFF, 0xF1, 0x4C, 0x80, 0x01, 0x7F, 0xFC, 0xDE, 0xAD, 0xBE, 0xEF};
    ASSERT_EQ(frame, BuildAdts(FrameSpec{.payload = {0xDE, 0xAD, 0xBE, 0xEF}}));
    Put(parser, frame);
    auto out = Drain(parser);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].body, (Bytes{0xAF, 0x00, 0x11, 0x90}));
    EXPECT_TRUE(out[0].config);
    EXPECT_EQ(out[1].body, (Bytes{0xAF, 0x01, 0xDE, 0xAD, 0xBE, 0xEF}));
    EXPECT_FALSE(out[1].config);

    BS::format_t f;
    parser.GetFormat(&f);
    EXPECT_EQ(f.kind, BS::FORMAT_KIND_AUDIO);
    EXPECT_EQ(f.codec, BS::CODEC_AAC);
    EXPECT_EQ(f.audio.sample_rate, 48000);
    EXPECT_EQ(f.audio.channels, 2);
    EXPECT_EQ(f.audio.object_type, 2);
    EXPECT_EQ(f.fourth, 0x7FF);
    ASSERT_EQ(f.codec_private_len, 2);
    EXPECT_EQ(f.codec_private[0], 0x11);
    EXPECT_EQ(f.codec_private[1], 0x90);
}

TEST_F(AacParser, CrcProtectedFrameLosesNineHeaderBytes) {
    // 44.1 kHz mono LC with CRC: protection_absent 0, frame length 7 + 2 + 3 = 12.
    const Bytes frame = {0xFF, 0xF0, 0x50, 0x40, 0x01, 0x9F, 0xFC, 0xC3, 0x3C, 0x0A, 0x0B, 0x0C};
    ASSERT_EQ(frame, BuildAdts(FrameSpec{.sfi = 4, .channels = 1, .crc = true, .payload = {0x0A, 0x0B, 0x0C}}));
    Put(parser, Concat({frame, frame}));
    auto out = Drain(parser);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].body, (Bytes{0xAF, 0x00, 0x12, 0x08}));
    EXPECT_EQ(out[1].body, (Bytes{0xAF, 0x01, 0x0A, 0x0B, 0x0C}));
    EXPECT_EQ(out[2].body, out[1].body);
}

TEST_F(AacParser, EightChannelsAndOtherProfilesInTheSequenceHeader) {
    // Configuration 7 means 8 channels; HE profile 3 (object type 4), 22.05 kHz (index 7).
    Put(parser, BuildAdts(FrameSpec{.profile = 3, .sfi = 7, .channels = 7}));
    auto out = Drain(parser);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].body, (Bytes{0xAF, 0x00, 4 * 8 + 3, 128 + 8 * 8}));
    BS::format_t f;
    parser.GetFormat(&f);
    EXPECT_EQ(f.audio.channels, 8);
    EXPECT_EQ(f.audio.object_type, 4);
    EXPECT_EQ(f.audio.sample_rate, 22050);
}

TEST_F(AacParser, DurationsTimesAndBitClockAt44k) {
    FrameSpec s{.sfi = 4, .channels = 1};
    Bytes stream;
    for (int i = 0; i < 5; ++i) {
        s.payload.assign(static_cast<size_t>(20 + i), static_cast<uint8_t>(i));
        Bytes f = BuildAdts(s);
        stream.insert(stream.end(), f.begin(), f.end());
    }
    Put(parser, stream);
    auto out = Drain(parser);
    ASSERT_EQ(out.size(), 6u);
    const double frameS = 1024.0 / 44100.0;
    double bitClock = -0.2;
    for (int i = 0; i < 5; ++i) {
        const Rec& r = out[static_cast<size_t>(i + 1)];
        EXPECT_EQ(r.body.size(), static_cast<size_t>(2 + 20 + i));
        EXPECT_DOUBLE_EQ(r.duration_s, frameS);
        EXPECT_EQ(r.duration, 23);
        EXPECT_EQ(r.dts, static_cast<int64_t>(i * frameS * 1000.0)) << i;  // 0 23 46 69 92
        EXPECT_EQ(r.pts, r.dts);
        EXPECT_EQ(r.bts, static_cast<int64_t>(bitClock * 1000.0)) << i;
        bitClock += static_cast<double>(r.body.size()) * 8.0 / 244000.0;
    }
    EXPECT_EQ(out[1].bts, -200);
    EXPECT_EQ(out[0].dts, 0);
    EXPECT_EQ(out[0].bts, NO_TIME);  // no nominal bit rate was set
    EXPECT_NEAR(parser.RunningTime(), 5 * frameS, 1e-12);
    EXPECT_NEAR(parser.BitClock(), bitClock, 1e-12);
}

TEST_F(AacParser, RawDataBlockFieldCountsQuarterFrames) {
    Put(parser, BuildAdts(FrameSpec{.blocks = 2}));
    auto out = Drain(parser);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_DOUBLE_EQ(out[1].duration_s, 512.0 / 48000.0);
    EXPECT_EQ(out[1].duration, 10);
}

TEST_F(AacParser, SequenceHeaderBitTimeFollowsStreamPosition) {
    parser.SetBitrate(8000);  // one byte per ms
    Put(parser, Concat({Bytes(40, 0x00), BuildAdts(FrameSpec{})}));
    auto out = Drain(parser);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].bts, 40);  // the garbage before it was consumed
    EXPECT_EQ(out[1].bts, -200);
}

TEST_F(AacParser, TimesAnchorToTheChunkThatStartsAFrame) {
    const Bytes f = BuildAdts(FrameSpec{});  // 48 kHz: 21.33 ms per frame
    Put(parser, Concat({f, f}), 5000);
    Put(parser, f, 5100);
    Put(parser, f);  // no time: continues from the last anchor
    auto out = Drain(parser);
    ASSERT_EQ(out.size(), 5u);
    EXPECT_EQ(out[0].dts, 5000);  // sequence header
    EXPECT_EQ(out[1].dts, 5000);
    EXPECT_EQ(out[2].dts, 5021);
    EXPECT_EQ(out[3].dts, 5100);
    // running time 64 ms, the anchor put 42 ms of it at 5100
    EXPECT_EQ(out[4].dts, 5100 + 64 - 42);
}

TEST_F(AacParser, FrameSplitAcrossChunksWaitsForTheRest) {
    const Bytes f = BuildAdts(FrameSpec{.payload = Bytes(30, 0x55)});
    Put(parser, std::span(f).first(20), 700);
    EXPECT_EQ(parser.GetQueuedCount(), 0);
    Put(parser, std::span(f).subspan(20), 900);
    auto out = Drain(parser);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1].body.size(), 32u);
    EXPECT_EQ(out[1].dts, 700);  // the time of the chunk the frame started in
}

TEST_F(AacParser, AnyChunkingGivesTheSameRecords) {
    Bytes stream;
    for (int i = 0; i < 8; ++i) {
        FrameSpec s{.sfi = 4, .crc = (i % 3 == 0), .payload = Bytes(static_cast<size_t>(5 + 7 * i), 0xFF)};
        // Payloads full of 0xFF put false sync words everywhere inside frames.
        Bytes f = BuildAdts(s);
        stream.insert(stream.end(), f.begin(), f.end());
    }
    Put(parser, stream);
    const auto whole = Drain(parser);
    ASSERT_EQ(whole.size(), 9u);
    for (size_t chunk : {1u, 2u, 3u, 7u, 64u}) {
        CParserAACRTMP p;
        ASSERT_TRUE(p.Init(1 << 16, false));
        for (size_t pos = 0; pos < stream.size(); pos += chunk)
            Put(p, std::span(stream).subspan(pos, std::min(chunk, stream.size() - pos)));
        const auto got = Drain(p);
        ASSERT_EQ(got.size(), whole.size()) << "chunk " << chunk;
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].body, whole[i].body) << "chunk " << chunk << " record " << i;
            EXPECT_EQ(got[i].dts, whole[i].dts);
            EXPECT_EQ(got[i].bts, whole[i].bts);
        }
    }
}

TEST_F(AacParser, GarbageAndFalseSyncWordsAreSkipped) {
    const Bytes f = BuildAdts(FrameSpec{.payload = {1, 2, 3}});
    // Garbage with a lone 0xFF, a sync word whose frame length (5) is shorter than its header,
    // and a sync word with layer 1.
    const Bytes garbage = {0x00, 0xFF, 0x12, 0xFF, 0xF1, 0x4C, 0x80, 0x00, 0xBF, 0xFC,
                           0xFF, 0xF3, 0x4C, 0x80, 0x01, 0x7F, 0xFC, 0x99};
    Put(parser, Concat({garbage, f, f}));
    auto out = Drain(parser);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[1].body, (Bytes{0xAF, 0x01, 1, 2, 3}));
    EXPECT_EQ(out[2].body, out[1].body);
    EXPECT_EQ(out[1].dts, 0);
    EXPECT_EQ(out[2].dts, 21);
}

TEST_F(AacParser, EndlessGarbageDoesNotPileUp) {
    CParserAACRTMP p;
    ASSERT_TRUE(p.Init(4096, false));
    Bytes junk(1000);
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<uint8_t>(i * 37 % 251);
    for (int i = 0; i < 50; ++i) Put(p, junk);  // 50 KB through a 4 KB buffer: no overflow reset
    const Bytes tail = Concat({Bytes{0xFF}, BuildAdts(FrameSpec{})});
    Put(p, std::span(tail).first(2));  // 0xFF then the first byte of the sync word
    Put(p, std::span(tail).subspan(2));
    auto out = Drain(p);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1].body.size(), 6u);
}

TEST_F(AacParser, ReservedSamplingIndexDropsTheFrame) {
    const Bytes good = BuildAdts(FrameSpec{.payload = {7, 7}});
    for (uint32_t bad : {13u, 14u, 15u}) {
        CParserAACRTMP p;
        ASSERT_TRUE(p.Init(1 << 16, false));
        Put(p, Concat({BuildAdts(FrameSpec{.sfi = bad, .payload = Bytes(50, 1)}), good, good}));
        auto out = Drain(p);
        ASSERT_EQ(out.size(), 3u) << bad;
        EXPECT_EQ(out[0].body, (Bytes{0xAF, 0x00, 0x11, 0x90}));
        EXPECT_EQ(out[1].body, (Bytes{0xAF, 0x01, 7, 7}));
        EXPECT_EQ(out[1].dts, 0);  // the dropped frame adds no time
        EXPECT_EQ(out[2].dts, 21);
        BS::format_t f;
        p.GetFormat(&f);
        EXPECT_EQ(f.audio.sample_rate, 48000);
    }
    // A stream made only of such frames produces nothing at all.
    Put(parser, Concat({BuildAdts(FrameSpec{.sfi = 15}), BuildAdts(FrameSpec{.sfi = 13})}));
    EXPECT_EQ(parser.GetQueuedCount(), 0);
    EXPECT_EQ(parser.RunningTime(), 0.0);
}

TEST_F(AacParser, RestartKeepsTheAnnouncedSequenceHeader) {
    const Bytes f = BuildAdts(FrameSpec{});
    Put(parser, f, 1000);
    ASSERT_EQ(Drain(parser).size(), 2u);
    EXPECT_EQ(parser.SequenceHeaderTime(), 1000);

    parser.Reset(BS::CBaseParser::RESET_RESTART);
    EXPECT_EQ(parser.SequenceHeaderTime(), 1000);
    Put(parser, f, 3000);
    auto out = Drain(parser);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].body[1], 0x01);
    EXPECT_EQ(out[0].dts, 3000);
    EXPECT_EQ(out[0].bts, -200);  // the bit clock restarts with the reset

    parser.Reset(0);
    EXPECT_EQ(parser.SequenceHeaderTime(), NO_TIME);
    Put(parser, f, 4000);
    out = Drain(parser);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_TRUE(out[0].config);
    EXPECT_EQ(out[0].dts, 4000);
    EXPECT_EQ(parser.SequenceHeaderTime(), 4000);
}

TEST(AacParserIgnoringTimes, RecordsCarryNoTimeAndOneSequenceHeader) {
    CParserAACRTMP p;
    ASSERT_TRUE(p.Init(1 << 16, true));
    const Bytes f = BuildAdts(FrameSpec{});
    Put(p, Concat({f, f}), 1234);
    Put(p, f, 5678);
    auto out = Drain(p);
    ASSERT_EQ(out.size(), 4u);
    EXPECT_TRUE(out[0].config);
    for (const Rec& r : out) {
        EXPECT_EQ(r.dts, NO_TIME);
        EXPECT_EQ(r.pts, NO_TIME);
    }
    EXPECT_EQ(out[3].duration, 21);
}

TEST(AacParserBase, WholeAdtsFrameIsTheRecord) {
    CParserAACBase p;
    ASSERT_TRUE(p.Init(1 << 16, false));
    const Bytes f = BuildAdts(FrameSpec{.crc = true});
    Put(p, Concat({Bytes{0x00, 0x01}, f}));
    auto out = Drain(p);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].body, f);
    EXPECT_FALSE(out[0].config);
    EXPECT_EQ(out[0].duration, 21);
    EXPECT_EQ(out[0].bts, -200);
}

}  // namespace
