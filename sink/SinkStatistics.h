#pragma once
// What the sink reports to its host: the status and statistics event codes, the 64-byte
// statistics record, the observer that carries both events, and the status handler.
#include <cstdint>

// Event codes in the media graph's user range.
constexpr int32_t EC_ZEPH_RTMP_WRITER_STATS = 0x80B3;
constexpr int32_t EC_ZEPH_RTMP_WRITER_STATUS = 0x80B5;

// Status values carried by EC_ZEPH_RTMP_WRITER_STATUS and the status handler.
constexpr int32_t RTMP_STATUS_CONNECTED = 0;
constexpr int32_t RTMP_STATUS_DISCONNECTED = 1;
constexpr int32_t RTMP_STATUS_RECONNECTING = 2;

// Sixteen int32 fields; the 64-bit figures take two consecutive fields, low word first, so the
// record has the same layout for every reader (filter getters, codec keys, property page).
struct RTMPStatistics {
    int32_t outputBufferSize = 0;       // 0  bytes
    int32_t outputBufferFillness = 0;   // 1  bytes waiting in the transport's send buffer
    int32_t outputBitrateLow = 0;       // 2  bit/s sent
    int32_t outputBitrateHigh = 0;      // 3
    int32_t ackBitrateLow = 0;          // 4  bit/s acknowledged (sniffer)
    int32_t ackBitrateHigh = 0;         // 5
    int32_t payloadBitrateLow = 0;      // 6  bit/s payload acknowledged (sniffer)
    int32_t payloadBitrateHigh = 0;     // 7
    int32_t roundTripTime = 0;          // 8  ms (sniffer)
    int32_t serverAckRate = 0;          // 9  bytes/s acknowledged by the server
    int32_t bufferedAudioPackets = 0;   // 10
    int32_t bufferedVideoPackets = 0;   // 11
    int32_t audioBitrate = 0;           // 12 bit/s of the audio input
    int32_t videoBitrate = 0;           // 13 bit/s of the video input
    int32_t audioMessagesSent = 0;      // 14 since the previous statistics
    int32_t videoMessagesSent = 0;      // 15 since the previous statistics

    static void Set64(int32_t& low, int32_t& high, int64_t v) {
        low = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v) & 0xFFFFFFFFu));
        high = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v) >> 32));
    }
    static int64_t Get64(int32_t low, int32_t high) {
        return static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32) |
                                    static_cast<uint32_t>(low));
    }
    int64_t OutputBitrate() const { return Get64(outputBitrateLow, outputBitrateHigh); }
    int64_t AckBitrate() const { return Get64(ackBitrateLow, ackBitrateHigh); }
    int64_t PayloadBitrate() const { return Get64(payloadBitrateLow, payloadBitrateHigh); }
};
static_assert(sizeof(RTMPStatistics) == 64, "the statistics record is 64 bytes");

// The sink's one outlet for status and statistics events; the filter implements it and forwards
// to the graph's event sink. Returns an HRESULT-style code (negative = failure).
class NotifyEventObserver {
public:
    virtual ~NotifyEventObserver() = default;
    virtual int32_t NotifyEvent(int32_t eventCode, intptr_t param1, intptr_t param2) = 0;
};

// Application status callback: handler(context1, context2, status).
using RTMPStatusNotifyHandler = void (*)(void* context1, void* context2, int32_t status);
