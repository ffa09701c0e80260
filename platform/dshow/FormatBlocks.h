#pragma once
// The format blocks a media type carries, laid out byte for byte as the Windows SDK lays them
// out (sizes checked below), so a block written by an encoder reads the same here.
#include <cstdint>

#include "platform/com/ComTypes.h"

using REFERENCE_TIME = int64_t;  // 100-ns units

struct RECT {
    LONG left, top, right, bottom;
};

struct BITMAPINFOHEADER {
    DWORD biSize;
    LONG biWidth;
    LONG biHeight;
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression;
    DWORD biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
    DWORD biClrImportant;
};

struct VIDEOINFOHEADER {
    RECT rcSource;
    RECT rcTarget;
    DWORD dwBitRate;
    DWORD dwBitErrorRate;
    REFERENCE_TIME AvgTimePerFrame;
    BITMAPINFOHEADER bmiHeader;
};

// Interlace flags of VIDEOINFOHEADER2.
constexpr DWORD AMINTERLACE_IsInterlaced = 0x00000001;
constexpr DWORD AMINTERLACE_1FieldPerSample = 0x00000002;
constexpr DWORD AMINTERLACE_Field1First = 0x00000004;

struct VIDEOINFOHEADER2 {
    RECT rcSource;
    RECT rcTarget;
    DWORD dwBitRate;
    DWORD dwBitErrorRate;
    REFERENCE_TIME AvgTimePerFrame;
    DWORD dwInterlaceFlags;
    DWORD dwCopyProtectFlags;
    DWORD dwPictAspectRatioX;
    DWORD dwPictAspectRatioY;
    DWORD dwControlFlags;  // dwReserved1 in older headers
    DWORD dwReserved2;
    BITMAPINFOHEADER bmiHeader;
};

// The sequence header follows in place of dwSequenceHeader; cbSequenceHeader gives its length.
struct MPEG2VIDEOINFO {
    VIDEOINFOHEADER2 hdr;
    DWORD dwStartTimeCode;
    DWORD cbSequenceHeader;
    DWORD dwProfile;
    DWORD dwLevel;
    DWORD dwFlags;
    DWORD dwSequenceHeader[1];
};
// Bytes of an MPEG2VIDEOINFO before the sequence header.
constexpr uint32_t MPEG2VIDEOINFO_HEADER_BYTES = 132;

constexpr WORD WAVE_FORMAT_PCM = 0x0001;
constexpr WORD WAVE_FORMAT_IEEE_FLOAT = 0x0003;
constexpr WORD WAVE_FORMAT_MPEG = 0x0050;
constexpr WORD WAVE_FORMAT_MPEGLAYER3 = 0x0055;
constexpr WORD WAVE_FORMAT_RAW_AAC1 = 0x00FF;
constexpr WORD WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

// Packed like the SDK's: 18 bytes, cbSize extra bytes follow.
#pragma pack(push, 1)
struct WAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
};

struct WAVEFORMATEXTENSIBLE {
    WAVEFORMATEX Format;
    union {
        WORD wValidBitsPerSample;
        WORD wSamplesPerBlock;
        WORD wReserved;
    } Samples;
    DWORD dwChannelMask;
    uint8_t SubFormat[16];  // a GUID; bytes here to keep the packed layout free of alignment
};
#pragma pack(pop)

static_assert(sizeof(RECT) == 16);
static_assert(sizeof(BITMAPINFOHEADER) == 40);
static_assert(sizeof(VIDEOINFOHEADER) == 88);
static_assert(sizeof(VIDEOINFOHEADER2) == 112);
static_assert(sizeof(MPEG2VIDEOINFO) == 136);
static_assert(offsetof(MPEG2VIDEOINFO, dwSequenceHeader) == MPEG2VIDEOINFO_HEADER_BYTES);
static_assert(sizeof(WAVEFORMATEX) == 18);
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40);
