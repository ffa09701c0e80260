#pragma once
// Creates the video track's parser with the timestamp model chosen in the settings:
// TimestampModel under SOFTWARE\Quorvel\RtmpSink, 1 (default) for the running-clock model whose
// behaviour the sink picks through Init's mode, 2 for ordering by picture order count.
#include <memory>

#include "parsers/H264Parser.h"
#include "parsers/RTMPNALUModifier.h"

using CParserH264RTMP = CParserH264Base<RTMPNALUModifier>;

std::unique_ptr<CParserH264RTMP> CreateH264Parser();
