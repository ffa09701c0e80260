#include "filter/TrackFormat.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "platform/dshow/FormatBlocks.h"
#include "platform/dshow/Uuids.h"

namespace BS {
namespace {

struct SubtypeCodec {
    GUID subtype;
    int32_t codec;
};

constexpr GUID Tag(uint32_t tag) { return FourCCGuid(tag); }
constexpr GUID Fcc(const char (&s)[5]) { return FourCCGuid(MakeFourCC(s[0], s[1], s[2], s[3])); }

// Codec numbers 7, 8 and 9 belonged to video formats nothing here streams; they are not mapped.
constexpr SubtypeCodec kCodecs[] = {
    {Tag(WAVE_FORMAT_PCM), 25},
    {Tag(WAVE_FORMAT_IEEE_FLOAT), 26},
    {Tag(WAVE_FORMAT_MPEG), 27},
    {MEDIASUBTYPE_MPEG1AudioPayload, 28},
    {Tag(WAVE_FORMAT_MPEGLAYER3), 29},
    {Tag(WAVE_FORMAT_RAW_AAC1), 30},
    {Tag(0x00FE), 31},
    {Fcc("SAMR"), 32},
    {Fcc("samr"), 32},
    {MEDIASUBTYPE_MPEG2_VIDEO, 6},
    {Fcc("H263"), 10},
    {Fcc("H264"), 11},
    {Fcc("h264"), 11},
    {MEDIASUBTYPE_H264_ALT, 11},
    {Fcc("AVC1"), 12},
    {Fcc("avc1"), 12},
    {Fcc("MP4V"), 13},
    {Fcc("mp4v"), 13},
    {Fcc("MP4S"), 14},
    {Fcc("M4S2"), 15},
    {Fcc("MP41"), 16},
    {Fcc("MP42"), 17},
    {Fcc("DIVX"), 18},
    {Fcc("XVID"), 19},
    {Fcc("DV50"), 20},
    {Fcc("dvsl"), 21},
    {Fcc("dvsd"), 22},
    {Fcc("dvhd"), 23},
    {Fcc("MJPG"), 24},
};

// Exact durations of the usual frame rates, whose division would otherwise give 29.97002997...
struct KnownRate {
    int64_t avg;
    double rate;
    int32_t num, den;
};
constexpr KnownRate kKnownRates[] = {
    {166666, 60.0, 60, 1},          {166667, 60.0, 60, 1},          {166833, 59.94, 60000, 1001},
    {166834, 59.94, 60000, 1001},   {333333, 30.0, 30, 1},          {333666, 29.97, 30000, 1001},
    {333667, 29.97, 30000, 1001},   {400000, 25.0, 25, 1},          {416666, 24.0, 24, 1},
    {416667, 24.0, 24, 1},          {417014, 23.976, 24000, 1001},  {417083, 23.976, 24000, 1001},
    {500000, 20.0, 20, 1},          {666666, 15.0, 15, 1},
};

// Copies a fixed-size structure out of a format block that is at least that long (the block
// may be unaligned and comes from another filter).
template <class T>
bool ReadBlock(const AM_MEDIA_TYPE& mt, T& out) {
    if (!mt.pbFormat || mt.cbFormat < sizeof(T)) return false;
    std::memcpy(&out, mt.pbFormat, sizeof(T));
    return true;
}

void FillBitmap(video_format_t& v, const BITMAPINFOHEADER& bmi) {
    v.width = std::abs(bmi.biWidth);
    v.height = std::abs(bmi.biHeight);
    v.top_down = bmi.biHeight < 0;
    v.planes = bmi.biPlanes;
    v.bit_count = bmi.biBitCount;
    v.image_size = static_cast<int32_t>(bmi.biSizeImage);
}

void FillVideo(format_t& f, const AM_MEDIA_TYPE& mt) {
    video_format_t& v = f.video;
    f.codec_private_len = 0;
    std::memset(f.codec_private, 0, sizeof(f.codec_private));
    VIDEOINFOHEADER2 vih2{};
    if (mt.formattype == FORMAT_VideoInfo) {
        VIDEOINFOHEADER vih{};
        if (!ReadBlock(mt, vih)) return;
        FrameRate r = FrameRateFromAvgTime(vih.AvgTimePerFrame);
        v.fps = r.rate, v.fps_num = r.num, v.fps_den = r.den;
        v.bitrate = static_cast<int32_t>(vih.dwBitRate);
        FillBitmap(v, vih.bmiHeader);
        v.aspect_x = v.aspect_y = 1;
    } else if ((mt.formattype == FORMAT_VideoInfo2 || mt.formattype == FORMAT_MPEG2Video) && ReadBlock(mt, vih2)) {
        if (mt.formattype == FORMAT_MPEG2Video && mt.cbFormat < sizeof(MPEG2VIDEOINFO)) return;
        FrameRate r = FrameRateFromAvgTime(vih2.AvgTimePerFrame);
        v.fps = r.rate, v.fps_num = r.num, v.fps_den = r.den;
        v.bitrate = static_cast<int32_t>(vih2.dwBitRate);
        FillBitmap(v, vih2.bmiHeader);
        v.aspect_x = static_cast<int32_t>(vih2.dwPictAspectRatioX);
        v.aspect_y = static_cast<int32_t>(vih2.dwPictAspectRatioY);
        v.interlace_flags = static_cast<int32_t>(vih2.dwInterlaceFlags);
        if (mt.formattype == FORMAT_MPEG2Video) {
            MPEG2VIDEOINFO m{};
            std::memcpy(&m, mt.pbFormat, MPEG2VIDEOINFO_HEADER_BYTES);
            v.profile = static_cast<int32_t>(m.dwProfile);
            v.level = static_cast<int32_t>(m.dwLevel);
            v.flags = static_cast<int32_t>(m.dwFlags);
            // The header claims a length; only what the block really holds is taken.
            size_t avail = mt.cbFormat - MPEG2VIDEOINFO_HEADER_BYTES;
            size_t n = std::min<size_t>({m.cbSequenceHeader, avail, static_cast<size_t>(FORMAT_PRIVATE_MAX)});
            std::memcpy(f.codec_private, mt.pbFormat + MPEG2VIDEOINFO_HEADER_BYTES, n);
            f.codec_private_len = static_cast<int32_t>(n);
        }
    }
    f.bitrate = v.bitrate;
}

void FillAudio(format_t& f, const AM_MEDIA_TYPE& mt) {
    if (mt.formattype != FORMAT_WaveFormatEx) return;
    WAVEFORMATEX wfx{};
    if (!ReadBlock(mt, wfx)) return;
    audio_format_t& a = f.audio;
    a.bits_per_sample = wfx.wBitsPerSample;
    a.sample_rate = static_cast<int32_t>(wfx.nSamplesPerSec);
    a.channels = wfx.nChannels;
    a.bitrate = static_cast<int32_t>(static_cast<uint32_t>(wfx.nAvgBytesPerSec) * 8u);
    WAVEFORMATEXTENSIBLE ext{};
    if (wfx.wFormatTag == WAVE_FORMAT_EXTENSIBLE && ReadBlock(mt, ext))
        a.channel_mask = static_cast<int32_t>(ext.dwChannelMask);
    if (wfx.wFormatTag != WAVE_FORMAT_PCM) {
        size_t avail = mt.cbFormat - sizeof(WAVEFORMATEX);
        size_t n = std::min<size_t>({wfx.cbSize, avail, static_cast<size_t>(FORMAT_PRIVATE_MAX)});
        std::memcpy(f.codec_private, mt.pbFormat + sizeof(WAVEFORMATEX), n);
        f.codec_private_len = static_cast<int32_t>(n);
    }
    f.bitrate = a.bitrate;
}

}  // namespace

FrameRate FrameRateFromAvgTime(int64_t t) {
    if (t <= 0) return {};
    for (const KnownRate& k : kKnownRates)
        if (k.avg == t) return {k.rate, k.num, k.den};
    double rate = 10000000.0 / static_cast<double>(t);
    double n = std::round(rate);
    if (std::fabs(rate - n) < 0.01) return {n, static_cast<int32_t>(n), 1};
    return {rate, static_cast<int32_t>(std::trunc(rate * 1000.0)), 1000};
}

int32_t CodecOfMediaType(const AM_MEDIA_TYPE& mt) {
    for (const SubtypeCodec& c : kCodecs)
        if (c.subtype == mt.subtype) return c.codec;
    return 0;
}

format_t BuildTrackFormat(const AM_MEDIA_TYPE& mt) {
    format_t f;
    if (mt.majortype == MEDIATYPE_Video)
        f.kind = FORMAT_KIND_VIDEO;
    else if (mt.majortype == MEDIATYPE_Audio)
        f.kind = FORMAT_KIND_AUDIO;
    else
        f.kind = FORMAT_KIND_OTHER;
    f.codec = CodecOfMediaType(mt);
    if (f.kind == FORMAT_KIND_VIDEO) FillVideo(f, mt);
    if (f.kind == FORMAT_KIND_AUDIO) FillAudio(f, mt);
    return f;
}

bool IsAcceptedVideoType(const AM_MEDIA_TYPE& mt, int64_t* avgTimePerFrame) {
    if (mt.majortype != MEDIATYPE_Video) return false;
    if (mt.formattype != FORMAT_VideoInfo && mt.formattype != FORMAT_VideoInfo2 && mt.formattype != FORMAT_MPEG2Video)
        return false;
    if (!mt.pbFormat || mt.cbFormat == 0) return false;
    // AvgTimePerFrame sits at the same offset in all three blocks.
    constexpr size_t kAvgOffset = offsetof(VIDEOINFOHEADER, AvgTimePerFrame);
    static_assert(kAvgOffset == offsetof(VIDEOINFOHEADER2, AvgTimePerFrame));
    int64_t avg = 0;
    if (mt.cbFormat >= kAvgOffset + sizeof(int64_t)) std::memcpy(&avg, mt.pbFormat + kAvgOffset, sizeof(avg));
    if (avgTimePerFrame) *avgTimePerFrame = avg;
    return true;
}

bool IsAcceptedAudioType(const AM_MEDIA_TYPE& mt) {
    if (mt.majortype != MEDIATYPE_Audio) return false;
    if (mt.subtype != MEDIASUBTYPE_AAC && mt.formattype == FORMAT_WaveFormatEx && mt.cbFormat > 17) return false;
    constexpr size_t kRateOffset = offsetof(WAVEFORMATEX, nSamplesPerSec);
    if (!mt.pbFormat || mt.cbFormat < kRateOffset + sizeof(uint32_t)) return false;
    uint32_t rate = 0;
    std::memcpy(&rate, mt.pbFormat + kRateOffset, sizeof(rate));
    return rate >= 4000 && rate <= 96000;
}

}  // namespace BS
