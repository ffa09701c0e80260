#pragma once
// Runs ffprobe on a media file and returns its JSON report (-of json), for end-to-end checks of
// what a server recorded. Default sections: format and streams.
#include <json/json.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace qvtest {

std::optional<Json::Value> ffprobeJson(const std::string& path,
                                       const std::vector<std::string>& sections = {"-show_format",
                                                                                   "-show_streams"},
                                       std::chrono::milliseconds timeout = std::chrono::seconds(60),
                                       std::string* error = nullptr);

}  // namespace qvtest
