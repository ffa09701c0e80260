// Media type to track format: the frame-rate table, the codec numbers, the format blocks an
// encoder announces (including truncated and lying ones), and the pins' accept checks.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "FilterTestSupport.h"
#include "filter/TrackFormat.h"

using namespace filtertest;

namespace {

TEST(FrameRate, BroadcastDurationsMapToExactFractions) {
    struct Case {
        int64_t avg;
        double rate;
        int32_t num, den;
    } cases[] = {
        {166666, 60, 60, 1},         {166667, 60, 60, 1},          {166833, 59.94, 60000, 1001},
        {166834, 59.94, 60000, 1001}, {333333, 30, 30, 1},          {333666, 29.97, 30000, 1001},
        {333667, 29.97, 30000, 1001}, {400000, 25, 25, 1},          {416666, 24, 24, 1},
        {416667, 24, 24, 1},          {417014, 23.976, 24000, 1001}, {417083, 23.976, 24000, 1001},
        {500000, 20, 20, 1},          {666666, 15, 15, 1},
    };
    for (const Case& c : cases) {
        BS::FrameRate r = BS::FrameRateFromAvgTime(c.avg);
        EXPECT_DOUBLE_EQ(r.rate, c.rate) << c.avg;
        EXPECT_EQ(r.num, c.num) << c.avg;
        EXPECT_EQ(r.den, c.den) << c.avg;
    }
}

TEST(FrameRate, OtherDurationsAreComputed) {
    BS::FrameRate r = BS::FrameRateFromAvgTime(1000000);  // 10 fps exactly
    EXPECT_EQ(r.num, 10);
    EXPECT_EQ(r.den, 1);
    r = BS::FrameRateFromAvgTime(1000001);  // within 0.01 of 10
    EXPECT_DOUBLE_EQ(r.rate, 10.0);
    r = BS::FrameRateFromAvgTime(800000);  // 12.5 fps
    EXPECT_DOUBLE_EQ(r.rate, 12.5);
    EXPECT_EQ(r.num, 12500);
    EXPECT_EQ(r.den, 1000);
    for (int64_t bad : {0LL, -1LL, -400000LL}) {
        r = BS::FrameRateFromAvgTime(bad);
        EXPECT_DOUBLE_EQ(r.rate, -1.0);
        EXPECT_EQ(r.num, 0);
        EXPECT_EQ(r.den, 1);
    }
}

CMediaType WithSubtype(const GUID& major, const GUID& sub) {
    CMediaType mt(&major);
    mt.SetSubtype(&sub);
    return mt;
}

TEST(TrackFormat, CodecNumbersOfSubtypes) {
    auto fcc = [](const char* s) { return FourCCGuid(MakeFourCC(s[0], s[1], s[2], s[3])); };
    EXPECT_EQ(BS::CodecOfMediaType(WithSubtype(MEDIATYPE_Video, fcc("H264"))), 11);
    EXPECT_EQ(BS::CodecOfMediaType(WithSubtype(MEDIATYPE_Video, fcc("h264"))), 11);
    EXPECT_EQ(BS::CodecOfMediaType(WithSubtype(MEDIATYPE_Video, MEDIASUBTYPE_H264_ALT)), 11);
    EXPECT_EQ(BS::CodecOfMediaType(WithSubtype(MEDIATYPE_Video, fcc("avc1"))), 12);
    EXPECT_EQ(BS::CodecOfMediaType(WithSubtype(MEDIATYPE_Video, MEDIASUBTYPE_MPEG2_VIDEO)), 6);
    EXPECT_EQ(BS::CodecOfMediaType(WithSubtype(MEDIATYPE_Video, fcc("MJPG"))), 24);
    EXPECT_EQ(BS::CodecOfMediaType(WithSubtype(MEDIATYPE_Video, fcc("dvsd"))), 22);
    EXPECT_EQ(BS::CodecOfMediaType(WithSubtype(MEDIATYPE_Audio, MEDIASUBTYPE_AAC)), 30);
    EXPECT_EQ(BS::CodecOfMediaType(WithSubtype(MEDIATYPE_Audio, MEDIASUBTYPE_PCM)), 25);
    EXPECT_EQ(BS::CodecOfMediaType(WithSubtype(MEDIATYPE_Audio, MEDIASUBTYPE_MP3)), 29);
    EXPECT_EQ(BS::CodecOfMediaType(WithSubtype(MEDIATYPE_Audio, MEDIASUBTYPE_MPEG1AudioPayload)), 28);
    EXPECT_EQ(BS::CodecOfMediaType(WithSubtype(MEDIATYPE_Audio, fcc("samr"))), 32);
    EXPECT_EQ(BS::CodecOfMediaType(WithSubtype(MEDIATYPE_Audio, fcc("QQQQ"))), 0);
}

TEST(TrackFormat, VideoInfoBlock) {
    CMediaType mt = VideoType(333667, 640, -360);
    BS::format_t f = BS::BuildTrackFormat(mt);
    EXPECT_EQ(f.kind, BS::FORMAT_KIND_VIDEO);
    EXPECT_EQ(f.codec, 11);
    EXPECT_EQ(f.video.fps_num, 30000);
    EXPECT_EQ(f.video.fps_den, 1001);
    EXPECT_EQ(f.video.width, 640);
    EXPECT_EQ(f.video.height, 360);
    EXPECT_TRUE(f.video.top_down);
    EXPECT_EQ(f.video.bit_count, 24);
    EXPECT_EQ(f.video.aspect_x, 1);
    EXPECT_EQ(f.video.aspect_y, 1);
    EXPECT_EQ(f.bitrate, 500000);
    EXPECT_EQ(f.video.bitrate, 500000);
    EXPECT_EQ(f.codec_private_len, 0);
}

TEST(TrackFormat, Mpeg2VideoBlockCarriesProfileLevelAndSequenceHeader) {
    CMediaType mt(&MEDIATYPE_Video);
    mt.SetSubtype(&MEDIASUBTYPE_AVC1);
    mt.SetFormatType(&FORMAT_MPEG2Video);
    const std::vector<uint8_t> seq = {0, 0x10, 0x67, 0x64, 0, 0x1E, 0xAC, 0xD9};
    std::vector<uint8_t> block(MPEG2VIDEOINFO_HEADER_BYTES + seq.size());
    MPEG2VIDEOINFO m{};
    m.hdr.AvgTimePerFrame = 400000;
    m.hdr.dwPictAspectRatioX = 16;
    m.hdr.dwPictAspectRatioY = 9;
    m.hdr.dwInterlaceFlags = AMINTERLACE_IsInterlaced;
    m.hdr.dwBitRate = 2000000;
    m.hdr.bmiHeader.biWidth = 1280;
    m.hdr.bmiHeader.biHeight = 720;
    m.cbSequenceHeader = 4000;  // claims far more than the block holds
    m.dwProfile = 100;
    m.dwLevel = 31;
    m.dwFlags = 4;
    std::memcpy(block.data(), &m, MPEG2VIDEOINFO_HEADER_BYTES);
    std::memcpy(block.data() + MPEG2VIDEOINFO_HEADER_BYTES, seq.data(), seq.size());
    // The block is shorter than a full MPEG2VIDEOINFO with its first sequence word: padded to it.
    block.resize(std::max<size_t>(block.size(), sizeof(MPEG2VIDEOINFO)));
    mt.SetFormat(block.data(), static_cast<ULONG>(block.size()));
    BS::format_t f = BS::BuildTrackFormat(mt);
    EXPECT_EQ(f.codec, 12);
    EXPECT_EQ(f.video.profile, 100);
    EXPECT_EQ(f.video.level, 31);
    EXPECT_EQ(f.video.flags, 4);
    EXPECT_EQ(f.video.aspect_x, 16);
    EXPECT_EQ(f.video.aspect_y, 9);
    EXPECT_EQ(f.video.interlace_flags, static_cast<int32_t>(AMINTERLACE_IsInterlaced));
    EXPECT_EQ(f.video.fps_num, 25);
    ASSERT_EQ(f.codec_private_len, static_cast<int32_t>(block.size() - MPEG2VIDEOINFO_HEADER_BYTES))
        << "only what the block holds is taken";
    EXPECT_EQ(0, std::memcmp(f.codec_private, seq.data(), seq.size()));
}

TEST(TrackFormat, WaveFormatBlocks) {
    BS::format_t aac = BS::BuildTrackFormat(AudioType(44100, 1, {0x12, 0x08}));
    EXPECT_EQ(aac.kind, BS::FORMAT_KIND_AUDIO);
    EXPECT_EQ(aac.codec, 30);
    EXPECT_EQ(aac.audio.sample_rate, 44100);
    EXPECT_EQ(aac.audio.channels, 1);
    EXPECT_EQ(aac.audio.bits_per_sample, 16);
    EXPECT_EQ(aac.bitrate, 128000);
    ASSERT_EQ(aac.codec_private_len, 2);
    EXPECT_EQ(aac.codec_private[0], 0x12);
    EXPECT_EQ(aac.codec_private[1], 0x08);

    CMediaType pcm = AudioType(48000, 2, {0xAB});
    pcm.SetSubtype(&MEDIASUBTYPE_PCM);
    reinterpret_cast<WAVEFORMATEX*>(pcm.Format())->wFormatTag = WAVE_FORMAT_PCM;
    EXPECT_EQ(BS::BuildTrackFormat(pcm).codec_private_len, 0) << "PCM has no codec data";

    CMediaType ext(&MEDIATYPE_Audio);
    ext.SetSubtype(&MEDIASUBTYPE_PCM);
    ext.SetFormatType(&FORMAT_WaveFormatEx);
    WAVEFORMATEXTENSIBLE w{};
    w.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    w.Format.nChannels = 6;
    w.Format.nSamplesPerSec = 48000;
    w.Format.cbSize = 22;
    w.dwChannelMask = 0x3F;
    ext.SetFormat(reinterpret_cast<const BYTE*>(&w), sizeof(w));
    BS::format_t f = BS::BuildTrackFormat(ext);
    EXPECT_EQ(f.audio.channel_mask, 0x3F);
    EXPECT_EQ(f.audio.channels, 6);
}

// Blocks of every length up to past the largest structure, filled with noise: nothing is read
// outside the block and the codec data never exceeds what the block holds.
TEST(TrackFormat, TruncatedAndNoisyBlocksStayInBounds) {
    std::mt19937 rng(7);
    const GUID* formats[] = {&FORMAT_VideoInfo, &FORMAT_VideoInfo2, &FORMAT_MPEG2Video, &FORMAT_WaveFormatEx};
    for (const GUID* fmt : formats) {
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

TEST(MediaTypeChecks, VideoPinNeedsAVideoFormatBlock) {
    int64_t avg = 0;
    EXPECT_TRUE(BS::IsAcceptedVideoType(VideoType(417083), &avg));
    EXPECT_EQ(avg, 417083);
    CMediaType anySub = VideoType();
    anySub.SetSubtype(&MEDIASUBTYPE_MPEG2_VIDEO);
    EXPECT_TRUE(BS::IsAcceptedVideoType(anySub, nullptr)) << "the subtype is not examined";
    CMediaType noBlock(&MEDIATYPE_Video);
    noBlock.SetFormatType(&FORMAT_VideoInfo);
    EXPECT_FALSE(BS::IsAcceptedVideoType(noBlock, nullptr));
    CMediaType wrongFormat = VideoType();
    wrongFormat.SetFormatType(&FORMAT_WaveFormatEx);
    EXPECT_FALSE(BS::IsAcceptedVideoType(wrongFormat, nullptr));
    EXPECT_FALSE(BS::IsAcceptedVideoType(AudioType(), nullptr));
}

TEST(MediaTypeChecks, AudioPinTakesAacInTheRateRange) {
    EXPECT_TRUE(BS::IsAcceptedAudioType(AudioType(48000)));
    EXPECT_TRUE(BS::IsAcceptedAudioType(AudioType(4000)));
    EXPECT_TRUE(BS::IsAcceptedAudioType(AudioType(96000)));
    EXPECT_FALSE(BS::IsAcceptedAudioType(AudioType(3999)));
    EXPECT_FALSE(BS::IsAcceptedAudioType(AudioType(96001)));
    CMediaType pcm = AudioType(48000);
    pcm.SetSubtype(&MEDIASUBTYPE_PCM);
    EXPECT_FALSE(BS::IsAcceptedAudioType(pcm)) << "another codec with a wave format is refused";
    CMediaType noBlock(&MEDIATYPE_Audio);
    noBlock.SetSubtype(&MEDIASUBTYPE_AAC);
    EXPECT_FALSE(BS::IsAcceptedAudioType(noBlock));
    EXPECT_FALSE(BS::IsAcceptedAudioType(VideoType()));
}

}  // namespace
