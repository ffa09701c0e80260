#pragma once
// Rotation of the log files that belong to a target: base.log -> base.1.log -> ... ->
// base.<keep-1>.log, the oldest dropped. `base` is the target up to the last "." of its file name.
#include <string>

void RotateLogFiles(const std::string& target, int keep);
// The name a rotated file gets: "<base>.log" for 0, "<base>.<i>.log" otherwise.
std::string RotatedLogName(const std::string& base, int index);
std::string LogBaseName(const std::string& target);
