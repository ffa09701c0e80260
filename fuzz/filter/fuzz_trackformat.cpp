// Media types as an upstream filter could announce them: a chosen major and format type with
// an arbitrary format block. Building the track format and running the pins' accept checks must
// stay inside the block and keep the codec data within its bounds.
#include <vector>

#include "filter/TrackFormat.h"
#include "fuzz/FuzzSupport.h"
#include "platform/dshow/Uuids.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static const GUID* formats[] = {&FORMAT_VideoInfo, &FORMAT_VideoInfo2, &FORMAT_MPEG2Video, &FORMAT_WaveFormatEx};
    static const GUID* subtypes[] = {&MEDIASUBTYPE_H264, &MEDIASUBTYPE_AAC, &MEDIASUBTYPE_PCM, &MEDIASUBTYPE_MPEG2_VIDEO};
    AM_MEDIA_TYPE mt{};
    mt.majortype = (data[0] & 1) ? MEDIATYPE_Audio : MEDIATYPE_Video;
    mt.formattype = *formats[(data[0] >> 1) & 3];
    mt.subtype = *subtypes[(data[0] >> 3) & 3];
    std::vector<BYTE> block(data + 1, data + size);  // an exact-size copy, so that any read past the block is caught
    mt.cbFormat = static_cast<ULONG>(block.size());
    mt.pbFormat = block.empty() ? nullptr : block.data();
    const BS::format_t f = BS::BuildTrackFormat(mt);
    fuzz::Check(f.codec_private_len >= 0 && f.codec_private_len <= BS::FORMAT_PRIVATE_MAX && size_t(f.codec_private_len) <= block.size());
    int64_t avg = 0;
    BS::IsAcceptedVideoType(mt, &avg);
    BS::IsAcceptedAudioType(mt);
    return 0;
}
