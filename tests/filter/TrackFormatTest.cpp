// Media type to track format: the frame-rate table, the codec and format blocks an
// encoder announces (including truncated and lying ones), and the pins' accept checks.
#include <gtest/gtest.h>

#include <random>

#include "FilterTestSupport.h"
#include "filter/TrackFormat.h"

using namespace filtertest;

namespace {

TEST(TrackFormat, FrameRatesFromFrameDurations) {
    struct {
        int64_t avg;
        double rate;
        int32_t num, den;
    } cases[] = {
        {166666, 60, 60, 1},          {166834, 59.94, 60000, 1001}, {333333, 30, 30, 1},   {333666, 29.97, 30000, 1001},
        {333667, 29.97, 30000, 1001}, {400000, 25, 25, 1},          {416667, 24, 24, 1},   {417014, 23.976, 24000, 1001},
        {417083, 23.976, 24000, 1001}, {1000000, 10, 10, 1},        {1000001, 10, 10, 1},  {800000, 12.5, 12500, 1000},
        {0, -1, 0, 1},                {-400000, -1, 0, 1},
    };
    for (const auto& c : cases) {
        const BS::FrameRate r = BS::FrameRateFromAvgTime(c.avg);
        EXPECT_DOUBLE_EQ(r.rate, c.rate) << c.avg;
        EXPECT_EQ(std::tuple(r.num, r.den), std::tuple(c.num, c.den)) << c.avg;
    }
}

TEST(TrackFormat, VideoAndAudioBlocks) {
    BS::format_t f = BS::BuildTrackFormat(VideoType(333667, 640, -360));
    EXPECT_EQ(f.kind, BS::FORMAT_KIND_VIDEO);
    EXPECT_EQ(std::tuple(f.codec, f.video.fps_num, f.video.fps_den, f.video.width, f.video.height, f.video.top_down),
              std::tuple(11, 30000, 1001, 640, 360, true));
    EXPECT_EQ(f.bitrate, 500000);
    BS::format_t aac = BS::BuildTrackFormat(AudioType(44100, 1, {0x12, 0x08}));
    EXPECT_EQ(aac.kind, BS::FORMAT_KIND_AUDIO);
    EXPECT_EQ(std::tuple(aac.codec, aac.audio.sample_rate, aac.audio.channels, aac.bitrate), std::tuple(30, 44100, 1, 128000));
    ASSERT_EQ(aac.codec_private_len, 2);
    EXPECT_EQ(aac.codec_private[0], 0x12);
    EXPECT_EQ(aac.codec_private[1], 0x08);
}

TEST(TrackFormat, Mpeg2VideoBlockCarriesProfileLevelAndOnlyTheSequenceHeaderItHolds) {
    CMediaType mt(&MEDIATYPE_Video);
    mt.SetSubtype(&MEDIASUBTYPE_AVC1);
    mt.SetFormatType(&FORMAT_MPEG2Video);
    const std::vector<uint8_t> seq = {0, 0x10, 0x67, 0x64, 0, 0x1E, 0xAC, 0xD9};
    std::vector<uint8_t> block(std::max<size_t>(MPEG2VIDEOINFO_HEADER_BYTES + seq.size(), sizeof(MPEG2VIDEOINFO)));
    MPEG2VIDEOINFO m{};
    m.hdr.AvgTimePerFrame = 400000;
    m.hdr.dwPictAspectRatioX = 16, m.hdr.dwPictAspectRatioY = 9;
    m.cbSequenceHeader = 4000;  // claims far more than the block holds
    m.dwProfile = 100, m.dwLevel = 31;
    std::memcpy(block.data(), &m, MPEG2VIDEOINFO_HEADER_BYTES);
    std::memcpy(block.data() + MPEG2VIDEOINFO_HEADER_BYTES, seq.data(), seq.size());
    mt.SetFormat(block.data(), static_cast<ULONG>(block.size()));
    BS::format_t f = BS::BuildTrackFormat(mt);
    EXPECT_EQ(std::tuple(f.codec, f.video.profile, f.video.level, f.video.aspect_x, f.video.aspect_y, f.video.fps_num),
              std::tuple(12, 100, 31, 16, 9, 25));
    ASSERT_EQ(f.codec_private_len, static_cast<int32_t>(block.size() - MPEG2VIDEOINFO_HEADER_BYTES));
    EXPECT_EQ(0, std::memcmp(f.codec_private, seq.data(), seq.size()));
}

// Blocks of every length up to past the largest structure, filled with noise: nothing is read
// outside the block and the codec data never exceeds what the block holds.
TEST(TrackFormat, TruncatedAndNoisyBlocksStayInBounds) {
    std::mt19937 rng(7);
    for (const GUID* fmt : {&FORMAT_VideoInfo, &FORMAT_VideoInfo2, &FORMAT_MPEG2Video, &FORMAT_WaveFormatEx}) {
        for (ULONG len = 0; len < 700; len += (len < 160 ? 1 : 37)) {
            CMediaType mt(fmt == &FORMAT_WaveFormatEx ? &MEDIATYPE_Audio : &MEDIATYPE_Video);
            mt.SetFormatType(fmt);
            std::vector<BYTE> noise(len);
            for (auto& b : noise) b = static_cast<BYTE>(rng());
            if (len) mt.SetFormat(noise.data(), len);
            BS::format_t f = BS::BuildTrackFormat(mt);
            ASSERT_GE(f.codec_private_len, 0);
            ASSERT_LE(f.codec_private_len, BS::FORMAT_PRIVATE_MAX);
            ASSERT_LE(static_cast<ULONG>(f.codec_private_len), len);
            int64_t avg = 0;
            BS::IsAcceptedVideoType(mt, &avg);
            BS::IsAcceptedAudioType(mt);
        }
    }
    CMediaType shortVi = VideoType();
    shortVi.ReallocFormatBuffer(sizeof(VIDEOINFOHEADER) - 1);
    EXPECT_EQ(BS::BuildTrackFormat(shortVi).video.width, 0) << "a short block is not read";
}

TEST(TrackFormat, PinsAcceptVideoWithAVideoBlockAndAacInTheRateRange) {
    int64_t avg = 0;
    EXPECT_TRUE(BS::IsAcceptedVideoType(VideoType(417083), &avg));
    EXPECT_EQ(avg, 417083);
    CMediaType noBlock(&MEDIATYPE_Video), wrongFormat = VideoType();
    noBlock.SetFormatType(&FORMAT_VideoInfo);
    wrongFormat.SetFormatType(&FORMAT_WaveFormatEx);
    EXPECT_FALSE(BS::IsAcceptedVideoType(noBlock, nullptr));
    EXPECT_FALSE(BS::IsAcceptedVideoType(wrongFormat, nullptr));
    EXPECT_FALSE(BS::IsAcceptedVideoType(AudioType(), nullptr));
    for (uint32_t rate : {4000u, 48000u, 96000u}) EXPECT_TRUE(BS::IsAcceptedAudioType(AudioType(rate))) << rate;
    for (uint32_t rate : {3999u, 96001u}) EXPECT_FALSE(BS::IsAcceptedAudioType(AudioType(rate))) << rate;
    CMediaType pcm = AudioType(48000), noAudioBlock(&MEDIATYPE_Audio);
    pcm.SetSubtype(&MEDIASUBTYPE_PCM);
    noAudioBlock.SetSubtype(&MEDIASUBTYPE_AAC);
    EXPECT_FALSE(BS::IsAcceptedAudioType(pcm)) << "another codec with a wave format is refused";
    EXPECT_FALSE(BS::IsAcceptedAudioType(noAudioBlock));
    EXPECT_FALSE(BS::IsAcceptedAudioType(VideoType()));
}

}  // namespace
