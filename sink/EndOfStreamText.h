#pragma once
// The "error" text event by which the sink tells its host that the end of a stream did not leave
// within the drain time-out before the connection was closed. The host matches it by this
// beginning.
#include <string_view>

namespace sink {

constexpr std::string_view kUnsentAtEndText = "RTMP: the end of the stream did not leave in time: ";

}  // namespace sink
