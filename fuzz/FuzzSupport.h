// What the fuzz targets share: a failed check aborts (libFuzzer keeps the input), log lines go
// nowhere, and input is fed in pieces whose sizes the target picks.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "platform/DebugOutput.h"

namespace fuzz {

inline void Check(bool ok, const char* what = "check failed") {
    if (!ok) std::fprintf(stderr, "%s\n", what), std::abort();
}
// Bad input is logged line by line; writing those lines would be most of the run.
inline void Quiet() { [[maybe_unused]] static const bool once = (platform::SetDebugOutputSink([](std::string_view) {}), true); }
// take(piece, offset) for consecutive pieces of `in`; size(offset) proposes each length, of which
// at least 1 and at most what is left is taken.
template <class Size, class Take>
void Pieces(std::span<const uint8_t> in, Size size, Take take) {
    for (size_t pos = 0; pos < in.size();) {
        const size_t n = std::min(std::max<size_t>(size(pos), 1), in.size() - pos);
        take(in.subspan(pos, n), pos);
        pos += n;
    }
}

}  // namespace fuzz
