#pragma once
// From a pin's media type to the track format record the sink and the parsers work with: the
// codec number of the subtype, the frame rate of the average frame duration, and the video or
// audio section of the format block. Media types come from upstream filters, so every format
// block is read only after its length has been checked.
#include <cstdint>

#include "foundation/Format.h"
#include "platform/dshow/DShowTypes.h"

namespace BS {

struct FrameRate {
    double rate = -1.0;
    int32_t num = 0;
    int32_t den = 1;
};

// The rate of an average frame duration in 100-ns units; the common broadcast durations map to
// their exact fractions (333666 -> 30000/1001).
FrameRate FrameRateFromAvgTime(int64_t avgTimePerFrame);

// The codec number of a media type's subtype (11 H.264, 30 AAC, ...); 0 when unknown.
int32_t CodecOfMediaType(const AM_MEDIA_TYPE& mt);

// The track format of a connected pin's media type.
format_t BuildTrackFormat(const AM_MEDIA_TYPE& mt);

// The two accept checks of the filter's pins. Video: major type video with a VideoInfo,
// VideoInfo2 or MPEG-2 video format block. Audio: major type audio; a WaveFormatEx block of
// another codec than AAC is refused; the sample rate must lie in 4000..96000 Hz.
bool IsAcceptedVideoType(const AM_MEDIA_TYPE& mt, int64_t* avgTimePerFrame);
bool IsAcceptedAudioType(const AM_MEDIA_TYPE& mt);

}  // namespace BS
