#pragma once
// Bodies of the protocol control messages the client writes (all go on chunk stream 2 with a
// full header). Each returns a record of exactly the body's size, or null without memory.
#include <cstdint>

#include "foundation/Data.h"

namespace rtmp {

constexpr uint16_t USER_CONTROL_PING_RESPONSE = 7;
constexpr uint8_t PEER_BANDWIDTH_LIMIT_DYNAMIC = 2;

BS::DataPtr BuildSetChunkSize(int32_t chunkSize);
BS::DataPtr BuildAcknowledgement(uint32_t bytesReceived);
BS::DataPtr BuildWindowAckSize(uint32_t windowSize);
BS::DataPtr BuildSetPeerBandwidth(uint32_t bandwidth);
// Echoes the Ping Request's timestamp; the record is stamped with `dts` (the last sent time).
BS::DataPtr BuildPingResponse(uint32_t timestamp, int64_t dts);

}  // namespace rtmp
