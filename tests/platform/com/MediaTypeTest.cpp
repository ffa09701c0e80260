// Media types and their format blocks: layouts as encoders write them, deep copies, frees.
#include <cstddef>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "platform/com/TaskMem.h"
#include "platform/dshow/FormatBlocks.h"
#include "platform/dshow/MediaType.h"
#include "platform/dshow/Uuids.h"

namespace {

// Field offsets of the format blocks, as the SDK headers lay them out.
TEST(FormatBlocks, FieldOffsetsMatchTheSdkLayout) {
    EXPECT_EQ(offsetof(VIDEOINFOHEADER, dwBitRate), 32u);
    EXPECT_EQ(offsetof(VIDEOINFOHEADER, AvgTimePerFrame), 40u);
    EXPECT_EQ(offsetof(VIDEOINFOHEADER, bmiHeader), 48u);
    EXPECT_EQ(offsetof(VIDEOINFOHEADER2, dwInterlaceFlags), 48u);
    EXPECT_EQ(offsetof(VIDEOINFOHEADER2, dwPictAspectRatioX), 56u);
    EXPECT_EQ(offsetof(VIDEOINFOHEADER2, dwPictAspectRatioY), 60u);
    EXPECT_EQ(offsetof(VIDEOINFOHEADER2, bmiHeader), 72u);
    EXPECT_EQ(offsetof(MPEG2VIDEOINFO, dwStartTimeCode), 112u);
    EXPECT_EQ(offsetof(MPEG2VIDEOINFO, cbSequenceHeader), 116u);
    EXPECT_EQ(offsetof(MPEG2VIDEOINFO, dwProfile), 120u);
    EXPECT_EQ(offsetof(MPEG2VIDEOINFO, dwLevel), 124u);
    EXPECT_EQ(offsetof(MPEG2VIDEOINFO, dwFlags), 128u);
    EXPECT_EQ(offsetof(WAVEFORMATEX, nSamplesPerSec), 4u);
    EXPECT_EQ(offsetof(WAVEFORMATEX, nAvgBytesPerSec), 8u);
    EXPECT_EQ(offsetof(WAVEFORMATEX, wBitsPerSample), 14u);
    EXPECT_EQ(offsetof(WAVEFORMATEX, cbSize), 16u);
    EXPECT_EQ(offsetof(WAVEFORMATEXTENSIBLE, dwChannelMask), 20u);
    EXPECT_EQ(offsetof(WAVEFORMATEXTENSIBLE, SubFormat), 24u);
}

// A 1280x720 VIDEOINFOHEADER at 25 fps, written out byte for byte (little-endian).
TEST(FormatBlocks, HandWrittenVideoInfoReadsBackField) {
    std::vector<uint8_t> b(88, 0);
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    put32(32, 2500000);              // dwBitRate
    put32(40, 400000);               // AvgTimePerFrame, low half
    put32(48, 40);                   // biSize
    put32(52, 1280);                 // biWidth
    put32(56, static_cast<uint32_t>(-720));  // biHeight: top-down
    b[62] = 24;                      // biBitCount
    put32(64, MakeFourCC('H', '2', '6', '4'));
    VIDEOINFOHEADER vih;
    std::memcpy(&vih, b.data(), sizeof vih);
    EXPECT_EQ(vih.dwBitRate, 2500000u);
    EXPECT_EQ(vih.AvgTimePerFrame, 400000);
    EXPECT_EQ(vih.bmiHeader.biWidth, 1280);
    EXPECT_EQ(vih.bmiHeader.biHeight, -720);
    EXPECT_EQ(vih.bmiHeader.biBitCount, 24);
    EXPECT_EQ(vih.bmiHeader.biCompression, 0x34363248u);
}

CMediaType AacType(uint32_t rate, std::vector<uint8_t> asc) {
    CMediaType mt(&MEDIATYPE_Audio);
    mt.SetSubtype(&MEDIASUBTYPE_RAW_AAC1);
    mt.SetFormatType(&FORMAT_WaveFormatEx);
    BYTE* p = mt.AllocFormatBuffer(static_cast<ULONG>(sizeof(WAVEFORMATEX) + asc.size()));
    WAVEFORMATEX wfx{};
    wfx.wFormatTag = WAVE_FORMAT_RAW_AAC1;
    wfx.nChannels = 2;
    wfx.nSamplesPerSec = rate;
    wfx.cbSize = static_cast<WORD>(asc.size());
    std::memcpy(p, &wfx, sizeof wfx);
    if (!asc.empty()) std::memcpy(p + sizeof wfx, asc.data(), asc.size());
    return mt;
}

TEST(MediaType, CopiesOwnTheirFormatBlock) {
    CMediaType a = AacType(44100, {0x12, 0x10});
    CMediaType b(a);
    ASSERT_EQ(b.FormatLength(), 20u);
    EXPECT_NE(b.Format(), a.Format());
    EXPECT_EQ(std::memcmp(a.Format(), b.Format(), 20), 0);
    EXPECT_TRUE(a == b);
    // Changing the copy's block leaves the original alone, and equality sees it.
    b.Format()[19] = 0x11;
    EXPECT_EQ(a.Format()[19], 0x10);
    EXPECT_FALSE(a == b);

    // Assignment replaces (and frees) the old block; self-assignment is harmless.
    CMediaType c = AacType(48000, {1, 2, 3, 4, 5});
    c = a;
    EXPECT_TRUE(c == a);
    CMediaType& alias = c;
    c = alias;
    EXPECT_TRUE(c == a);

    // A move leaves the source without a block to free.
    CMediaType d(std::move(c));
    EXPECT_EQ(c.Format(), nullptr);
    EXPECT_EQ(c.FormatLength(), 0u);
    EXPECT_TRUE(d == a);
}

TEST(MediaType, CreateAndDeleteHandOutIndependentRecords) {
    CMediaType a = AacType(22050, {9, 8, 7});
    AM_MEDIA_TYPE* p = CreateMediaType(&a);
    ASSERT_NE(p, nullptr);
    EXPECT_NE(p->pbFormat, a.pbFormat);
    EXPECT_EQ(p->cbFormat, a.cbFormat);
    WAVEFORMATEX wfx;
    std::memcpy(&wfx, p->pbFormat, sizeof wfx);
    EXPECT_EQ(wfx.nSamplesPerSec, 22050u);
    EXPECT_EQ(p->pbFormat[18], 9);
    DeleteMediaType(p);
    DeleteMediaType(nullptr);
    // The original still owns a valid block after the copy is gone.
    EXPECT_EQ(a.Format()[20], 7);
}

TEST(MediaType, LengthWithoutBlockIsCarriedAsNoBlock) {
    AM_MEDIA_TYPE src{};
    src.majortype = MEDIATYPE_Video;
    src.cbFormat = 88;  // a block length but no block: a bad record from a careless peer
    src.pbFormat = nullptr;
    CMediaType copy(src);
    EXPECT_EQ(copy.FormatLength(), 0u);
    EXPECT_EQ(copy.Format(), nullptr);
}

// The reference a media type holds in pUnk follows the record through copies and frees.
struct CountingUnknown : IUnknown {
    int refs = 1;
    HRESULT QueryInterface(REFIID, void** ppv) override {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return static_cast<ULONG>(++refs); }
    ULONG Release() override { return static_cast<ULONG>(--refs); }
};

TEST(MediaType, UnknownMemberIsReferencedByEachCopy) {
    CountingUnknown unk;
    {
        AM_MEDIA_TYPE src{};
        src.majortype = MEDIATYPE_Audio;
        src.pUnk = &unk;
        CMediaType a(src);
        EXPECT_EQ(unk.refs, 2);
        AM_MEDIA_TYPE* p = CreateMediaType(&a);
        EXPECT_EQ(unk.refs, 3);
        DeleteMediaType(p);
        EXPECT_EQ(unk.refs, 2);
    }
    EXPECT_EQ(unk.refs, 1);
}

TEST(MediaType, Mpeg2VideoSequenceHeaderSurvivesCopyAndRealloc) {
    CMediaType mt(&MEDIATYPE_Video);
    mt.SetSubtype(&MEDIASUBTYPE_AVC1);
    mt.SetFormatType(&FORMAT_MPEG2Video);
    const uint8_t seq[] = {0x00, 0x0a, 0x67, 0x42, 0xc0, 0x1e, 0xd9, 0x00, 0x00, 0x04, 0x68, 0xce, 0x3c, 0x80};
    ASSERT_NE(mt.AllocFormatBuffer(MPEG2VIDEOINFO_HEADER_BYTES + sizeof seq), nullptr);
    MPEG2VIDEOINFO head{};
    head.hdr.AvgTimePerFrame = 333667;
    head.hdr.dwPictAspectRatioX = 16;
    head.hdr.dwPictAspectRatioY = 9;
    head.cbSequenceHeader = sizeof seq;
    head.dwProfile = 66;
    head.dwLevel = 30;
    std::memcpy(mt.Format(), &head, MPEG2VIDEOINFO_HEADER_BYTES);
    std::memcpy(mt.Format() + MPEG2VIDEOINFO_HEADER_BYTES, seq, sizeof seq);

    CMediaType copy = mt;
    ASSERT_EQ(copy.FormatLength(), MPEG2VIDEOINFO_HEADER_BYTES + sizeof seq);
    MPEG2VIDEOINFO back;
    std::memcpy(&back, copy.Format(), MPEG2VIDEOINFO_HEADER_BYTES);
    EXPECT_EQ(back.hdr.AvgTimePerFrame, 333667);
    EXPECT_EQ(back.cbSequenceHeader, sizeof seq);
    EXPECT_EQ(back.dwLevel, 30u);
    EXPECT_EQ(std::memcmp(copy.Format() + MPEG2VIDEOINFO_HEADER_BYTES, seq, sizeof seq), 0);

    // Growing keeps the leading bytes and zero-fills; shrinking keeps the prefix.
    BYTE* grown = copy.ReallocFormatBuffer(copy.FormatLength() + 8);
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(std::memcmp(grown + MPEG2VIDEOINFO_HEADER_BYTES, seq, sizeof seq), 0);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(grown[MPEG2VIDEOINFO_HEADER_BYTES + sizeof seq + i], 0);
    BYTE* shrunk = copy.ReallocFormatBuffer(MPEG2VIDEOINFO_HEADER_BYTES);
    ASSERT_NE(shrunk, nullptr);
    EXPECT_EQ(copy.FormatLength(), MPEG2VIDEOINFO_HEADER_BYTES);
    EXPECT_EQ(std::memcmp(shrunk, &head, MPEG2VIDEOINFO_HEADER_BYTES), 0);
    EXPECT_EQ(copy.ReallocFormatBuffer(0), nullptr);
    EXPECT_EQ(copy.FormatLength(), 0u);
}

TEST(MediaType, PartialMatchTreatsNullAsWildcard) {
    CMediaType full = AacType(44100, {});
    CMediaType anyAudio(&MEDIATYPE_Audio);
    CMediaType video(&MEDIATYPE_Video);
    CMediaType aacOnly(&MEDIATYPE_Audio);
    aacOnly.SetSubtype(&MEDIASUBTYPE_RAW_AAC1);
    CMediaType pcmOnly(&MEDIATYPE_Audio);
    pcmOnly.SetSubtype(&MEDIASUBTYPE_PCM);
    EXPECT_TRUE(full.MatchesPartial(&anyAudio));
    EXPECT_TRUE(full.MatchesPartial(&aacOnly));
    EXPECT_FALSE(full.MatchesPartial(&pcmOnly));
    EXPECT_FALSE(full.MatchesPartial(&video));
    EXPECT_TRUE(anyAudio.IsPartiallySpecified());
    EXPECT_FALSE(full.IsPartiallySpecified());
    // A partial type naming a format compares the block too.
    CMediaType other = AacType(48000, {});
    EXPECT_FALSE(full.MatchesPartial(&other));
    EXPECT_TRUE(full.MatchesPartial(&full));
}

}  // namespace
