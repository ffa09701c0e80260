#pragma once
// CTCPSniffer: measures the RTMP connection on the wire. One capture per local IPv4 interface
// sees the connection's segments; the segments going out are remembered by the sequence number
// they start at until the peer acknowledges up to a later one, which yields a smoothed round-trip
// time and the payload the peer really took. Capturing needs CAP_NET_RAW: without it Init fails and nothing runs.
//
// CSnifferPairs is the bookkeeping without any capture, fed one parsed segment at a time, so the
// matching can be driven by hand-made packets.
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "net/PacketReader.h"
#include "net/TCPSnifferStats.h"

namespace net {

class CSnifferPairs {
public:
    // A sent segment older than this (ms) is forgotten, so missed acknowledgements cannot make
    // the map grow without bound.
    static constexpr int32_t kSentSegmentAgeLimitMs = 10001;

    // Registers (local port, remote port); a pair already watched keeps its figures.
    void Watch(uint16_t localPort, uint16_t remotePort);
    // One segment seen on an interface. `fromOwnAddress`: its source is that interface's own
    // address (a segment of the local port sent from elsewhere is not counted as sent).
    void OnSegment(const TcpSegment& s, bool fromOwnAddress, uint32_t nowMs);
    // All zero for a pair that is not watched.
    TCPSnifferStats Statistics(uint16_t localPort, uint16_t remotePort) const;
    // Whether a segment belongs to a watched pair in either direction.
    bool Concerns(const TcpSegment& s) const;
    std::vector<std::pair<uint16_t, uint16_t>> Pairs() const;
    // Grows with every new pair, so the captures know when to renew their kernel filters.
    uint64_t Generation() const { return m_generation.load(std::memory_order_acquire); }
    size_t SentSegments(uint16_t localPort, uint16_t remotePort) const;
    // Payload of the sent segments still waiting for an acknowledgement that matches.
    uint64_t PendingPayload(uint16_t localPort, uint16_t remotePort) const;

private:
    struct Sent {
        uint32_t timeMs;
        uint32_t payload;
    };
    struct Pair {
        TCPSnifferStats stats;
        std::map<uint32_t, Sent> sent;  // sequence number the segment starts at -> when and how much
    };
    using Key = std::pair<uint16_t, uint16_t>;  // local port, remote port
    // m_lock guards m_pairs: written by the capture workers (one segment at a time) and Watch,
    // read by Statistics (the sink's multiplex thread). Leaf lock: nothing is taken under it.
    mutable std::mutex m_lock;
    std::map<Key, Pair> m_pairs;
    std::atomic<uint64_t> m_generation{0};
};

class CTCPSniffer final : public ITCPSniffer {
public:
    static constexpr int kInitFailed = static_cast<int>(0x80004005u);
    // Bytes kept of each frame: the largest link, IP and TCP headers; the payload is never needed.
    static constexpr int kSnapLength = 160;

    CTCPSniffer();
    ~CTCPSniffer() override;
    CTCPSniffer(const CTCPSniffer&) = delete;
    CTCPSniffer& operator=(const CTCPSniffer&) = delete;

    int Init() override;
    void addPortPairToWatch(int localPort, int remotePort) override;
    TCPSnifferStats Statistics(int localPort, int remotePort) override;

    // Why the last Init failed, in words (empty after a successful one).
    std::string FailureReason() const;
    // Every capture filters for the pairs registered so far (they renew within a few ms).
    bool FiltersCurrent() const;
    uint64_t PendingPayload(int localPort, int remotePort) const;
    size_t SentSegments(int localPort, int remotePort) const;
    // Names of the interfaces being captured.
    std::vector<std::string> Interfaces() const;
    // Segments of watched pairs handed to the bookkeeping so far, over all interfaces.
    uint64_t SegmentsSeen() const { return m_uSegmentsSeen.load(); }
    // Frames the kernel dropped because a worker fell behind, as last counted (about once a second).
    uint64_t FramesDropped() const { return m_uDropped.load(); }

private:
    struct Capture;
    void RunningThread(Capture& c);
    void CountDrops(Capture& c);
    void Stop();

    CSnifferPairs m_pairs;
    int m_stopEvent = -1;  // eventfd, readable once the workers are to stop (never reset while they run)
    std::atomic<bool> m_bStop{false};
    std::atomic<uint64_t> m_uSegmentsSeen{0};
    std::atomic<uint64_t> m_uDropped{0};
    // The captures are built by Init and torn down by the destructor, both on the owner's thread;
    // each worker touches only its own record. m_infoLock guards m_sFailure for readers on
    // other threads (leaf lock).
    std::vector<std::unique_ptr<Capture>> m_captures;
    mutable std::mutex m_infoLock;
    std::string m_sFailure;
};

// The sniffer the TCP client makes by default.
std::unique_ptr<ITCPSniffer> MakeTCPSniffer();

}  // namespace net
