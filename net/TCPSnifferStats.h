#pragma once
// What the traffic sniffer reports for one watched port pair. Until a sniffer is plugged in,
// every figure reads 0.
#include <cstdint>

struct TCPSnifferStats {
    uint64_t packetsSent = 0;
    uint64_t packetsReceived = 0;
    uint64_t segmentsAcknowledged = 0;
    uint32_t roundTripTimeMs = 0;
    uint64_t payloadAcknowledged = 0;
    uint64_t reserved = 0;  // always 0
};

// The interface CTCPClient drives; the raw-socket sniffer implements it.
class ITCPSniffer {
public:
    virtual ~ITCPSniffer() = default;
    virtual int Init() = 0;  // 0, or a negative error code
    virtual void addPortPairToWatch(int localPort, int remotePort) = 0;
    virtual TCPSnifferStats Statistics(int localPort, int remotePort) = 0;
};
