#include "parsers/H264ParserFactory.h"

#include <cstdio>

#include "foundation/Log.h"

std::unique_ptr<CParserH264RTMP> CreateH264Parser() {
    const int model = getRegistryKey(KEY_RTMPSINK, "TimestampModel", 1);
    Log(LOG_TRACE, 3, "CreateH264Parser: TimestampModel %d", model);
    auto parser =
        std::make_unique<CParserH264RTMP>(model == H264_TS_PICTURE_ORDER ? H264_TS_PICTURE_ORDER : H264_TS_ADVANCED);
    // Off by default: servers and players that expect slices only never see anything else.
    const bool sei = getRegistryKey(KEY_RTMPSINK, "PassthroughSei", 0) != 0;
    parser->SetPassthroughSei(sei);
    Log(LOG_TRACE, 3, "CreateH264Parser: PassthroughSei %d", sei ? 1 : 0);
    // "num/den" or a whole number of frames per second, for streams whose SPS carries no timing.
    char rate[64];
    if (getRegistryString(KEY_RTMPSINK, "FallbackFrameRate", rate, sizeof rate, nullptr) == 0 && rate[0]) {
        unsigned long num = 0, den = 1;
        char slash = 0, rest = 0;
        const int n = std::sscanf(rate, "%lu%c%lu%c", &num, &slash, &den, &rest);
        if ((n == 1 || (n == 3 && slash == '/')) && num > 0 && den > 0 && num <= 0x7FFFFFFFu && den <= 0xFFFFFFFFu) {
            parser->SetFallbackFrameRate(static_cast<uint32_t>(num), static_cast<uint32_t>(den));
            Log(LOG_TRACE, 3, "CreateH264Parser: FallbackFrameRate %lu/%lu", num, den);
        } else {
            Log(LOG_ERROR, 0, "CreateH264Parser: FallbackFrameRate \"%s\" is not num/den; 25 fps it is", rate);
        }
    }
    return parser;
}
