#include "platform/DebugOutput.h"

#include <cstdio>
#include <mutex>

namespace platform {
namespace {
std::mutex g_mutex;  // guards g_sink; held while the sink runs so lines never interleave
DebugSink g_sink;
}  // namespace

void OutputDebugString(std::string_view text) {
    std::lock_guard<std::mutex> g(g_mutex);
    if (g_sink) {
        g_sink(text);
    } else {
        std::fwrite(text.data(), 1, text.size(), stderr);
    }
}

DebugSink SetDebugOutputSink(DebugSink sink) {
    std::lock_guard<std::mutex> g(g_mutex);
    DebugSink old = std::move(g_sink);
    g_sink = std::move(sink);
    return old;
}

}  // namespace platform
