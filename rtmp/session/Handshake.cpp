#include "rtmp/session/Handshake.h"

#include <array>
#include <cstring>

namespace rtmp {

namespace {

constexpr std::array<uint8_t, HANDSHAKE_C0C1> MakeC0C1() {
    std::array<uint8_t, HANDSHAKE_C0C1> b{};
    b[0] = HANDSHAKE_VERSION;
    // Bytes 1..8 (time and zero field) stay 0. The filler only has to be fixed; a simple
    // linear congruential sequence keeps it from looking like padding to middleboxes.
    uint32_t x = 0x51765243u;
    for (size_t i = 9; i < b.size(); ++i) {
        x = x * 1664525u + 1013904223u;
        b[i] = static_cast<uint8_t>(x >> 24);
    }
    return b;
}

constexpr std::array<uint8_t, HANDSHAKE_C0C1> kC0C1 = MakeC0C1();

}  // namespace

std::span<const uint8_t, HANDSHAKE_C0C1> HandshakeC0C1() { return kC0C1; }

BS::DataPtr BuildC0C1() {
    BS::DataPtr d(BS::data_t::Create(HANDSHAKE_C0C1, false, 0, 0, 0));
    if (!d) return d;
    std::memcpy(d->data, kC0C1.data(), kC0C1.size());
    d->size_actual = HANDSHAKE_C0C1;
    return d;
}

BS::DataPtr BuildC2(const BS::data_t* s1) {
    if (!s1 || !s1->data || s1->size_actual < HANDSHAKE_BLOCK) return nullptr;
    BS::DataPtr d(BS::data_t::Create(HANDSHAKE_BLOCK, false, 0, 0, 0));
    if (!d) return d;
    std::memcpy(d->data, s1->data, HANDSHAKE_BLOCK);
    d->size_actual = HANDSHAKE_BLOCK;
    return d;
}

}  // namespace rtmp
