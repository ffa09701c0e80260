#pragma once
// The "debugger output" of the system: a process-wide text sink, stderr by default.
// Tests install their own sink to capture what the log sends there.
#include <functional>
#include <string_view>

namespace platform {

using DebugSink = std::function<void(std::string_view text)>;

void OutputDebugString(std::string_view text);
// Installs a sink (an empty function restores stderr). Returns the previous one.
DebugSink SetDebugOutputSink(DebugSink sink);

}  // namespace platform
