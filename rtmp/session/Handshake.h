#pragma once
// The client's side of the plain RTMP handshake: the fixed C0+C1 block and C2 built from S1.
// The server blocks are cut out of the byte stream by the chunk codec; the waits live in
// CRTMPClient.
#include <cstdint>
#include <span>

#include "foundation/Data.h"

namespace rtmp {

constexpr int32_t HANDSHAKE_VERSION = 3;        // plain RTMP, also for rtmpe URLs
constexpr int32_t HANDSHAKE_VERSION_RTMPE = 6;  // answered by servers that insist on encryption
constexpr int32_t HANDSHAKE_BLOCK = 1536;
constexpr int32_t HANDSHAKE_C0C1 = 1 + HANDSHAKE_BLOCK;

// Version 3, time 0, zero field 0, then 1528 filler bytes; the same on every connection.
std::span<const uint8_t, HANDSHAKE_C0C1> HandshakeC0C1();

// C0+C1 as a record ready for a raw send. nullptr when it cannot be allocated.
BS::DataPtr BuildC0C1();
// C2: the first 1536 bytes of S1. nullptr when S1 is missing or short.
BS::DataPtr BuildC2(const BS::data_t* s1);

}  // namespace rtmp
