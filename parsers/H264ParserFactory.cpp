#include "parsers/H264ParserFactory.h"

#include "foundation/Log.h"

std::unique_ptr<CParserH264RTMP> CreateH264Parser() {
    const int model = getRegistryKey(KEY_RTMPSINK, "TimestampModel", 1);
    Log(LOG_TRACE, 3, "CreateH264Parser: TimestampModel %d", model);
    return std::make_unique<CParserH264RTMP>(model == H264_TS_PICTURE_ORDER ? H264_TS_PICTURE_ORDER : H264_TS_ADVANCED);
}
