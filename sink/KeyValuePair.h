#pragma once
// The key/value pair the host passes for metadata and cue points (an array of pointers to pairs).
#include <cstdint>

// Value types of a pair.
constexpr int32_t KVP_TEXT = 0x100;        // narrow text, copied up to 4096 bytes
constexpr int32_t KVP_BOOL = 0x101;        // first byte of the value, non-zero = true
constexpr int32_t KVP_INT32 = 0x102;       // sent as an AMF number
constexpr int32_t KVP_DOUBLE = 0x103;
constexpr int32_t KVP_TEXT_WHOLE = 0x104;  // narrow text, copied whole

struct KeyValuePair {
    const char* key = nullptr;
    const void* value = nullptr;
    int32_t type = 0;
};
