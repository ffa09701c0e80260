#pragma once
// Millisecond arithmetic on times that come from the host: saturating, so a time stamp near the
// ends of the 64-bit range gives a wrong order at worst, never undefined behaviour.
#include <cstdint>
#include <limits>

namespace sink {

inline int64_t AddSat(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_add_overflow(a, b, &r)) return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
    return r;
}

inline int64_t SubSat(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_sub_overflow(a, b, &r)) return b < 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
    return r;
}

}  // namespace sink
