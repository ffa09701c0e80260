#pragma once
// Message type ids and the chunk stream ids this client sends on.
#include <cstdint>

constexpr int32_t RTMP_PT_CHUNK_SIZE = 1;
constexpr int32_t RTMP_PT_BYTES_READ = 3;
constexpr int32_t RTMP_PT_USER_CONTROL = 4;
constexpr int32_t RTMP_PT_SERVER_BW = 5;
constexpr int32_t RTMP_PT_CLIENT_BW = 6;
constexpr int32_t RTMP_PT_AUDIO = 8;
constexpr int32_t RTMP_PT_VIDEO = 9;
constexpr int32_t RTMP_PT_FLEX_MESSAGE = 17;
constexpr int32_t RTMP_PT_NOTIFY = 18;
constexpr int32_t RTMP_PT_INVOKE = 20;

namespace rtmp {

// Only the one-byte basic header is ever written, so every id we send on is below 64.
constexpr int32_t CHUNK_STREAM_CONTROL = 2;  // protocol control messages
constexpr int32_t CHUNK_STREAM_COMMAND = 3;  // connect .. createStream, FCUnpublish, commands
constexpr int32_t CHUNK_STREAM_MEDIA = 4;    // publish, data messages, audio and video
constexpr int32_t CHUNK_STREAM_TIMECODE = 9; // onFI

// The message stream id goes on the wire little-endian: callers swap it before Prepare, which
// writes the field most significant byte first.
constexpr uint32_t SwapStreamId(uint32_t id) {
    return (id >> 24) | ((id >> 8) & 0xFF00u) | ((id << 8) & 0xFF0000u) | (id << 24);
}

}  // namespace rtmp
