#pragma once
// Reads the IPv4 and TCP headers of one captured frame: bytes in, one verdict and (for a TCP
// segment) its figures out. No state, no I/O; every offset is checked against the bytes that
// were actually captured, which may be fewer than the packet's own length says (a short snap
// length keeps only the headers).
#include <cstdint>
#include <span>

namespace net {

// The link layers a capture may hand over (the pcap DLT numbers).
enum class LinkType : int {
    Raw = 12,          // DLT_RAW on Linux: the IP header first
    Ethernet = 1,      // DLT_EN10MB, also Linux's loopback
    LinuxCooked = 113, // DLT_LINUX_SLL
    LinuxCooked2 = 276,// DLT_LINUX_SLL2
    IPv4 = 228,        // DLT_IPV4
};

enum class PacketVerdict {
    Segment,    // a TCP segment; the fields of TcpSegment are set
    NotIPv4,    // another link-layer protocol, or an IP version other than 4
    NotTcp,     // IPv4 but another transport protocol
    Fragment,   // a later fragment of a datagram: it carries no TCP header
    Truncated,  // a header reaches past the captured bytes
    Malformed,  // a header length below its minimum
};

struct TcpSegment {
    uint32_t sourceAddress = 0;       // host order
    uint32_t destinationAddress = 0;  // host order
    uint16_t sourcePort = 0;
    uint16_t destinationPort = 0;
    uint32_t sequenceNumber = 0;
    uint32_t acknowledgementNumber = 0;
    uint8_t flags = 0;                // TCP flags byte: SYN 2, ACK 16
    uint32_t payloadSize = 0;         // from the IP total length; 0 when the lengths do not add up
    uint16_t fragmentWord = 0;        // the IP flags-and-fragment-offset word as it stands on the wire
    bool Ack() const { return (flags & 16) != 0; }
    bool Syn() const { return (flags & 2) != 0; }
    bool Fin() const { return (flags & 1) != 0; }
};

// The IPv4 packet inside a frame of the given link type; empty when the frame carries none.
std::span<const uint8_t> IpPacketOf(LinkType link, std::span<const uint8_t> frame);

// One IPv4 packet, from its first header byte.
PacketVerdict ReadTcpSegment(std::span<const uint8_t> packet, TcpSegment* out);

// Both steps for one captured frame.
inline PacketVerdict ReadFrame(LinkType link, std::span<const uint8_t> frame, TcpSegment* out) {
    const auto ip = IpPacketOf(link, frame);
    if (ip.empty()) return frame.empty() ? PacketVerdict::Truncated : PacketVerdict::NotIPv4;
    return ReadTcpSegment(ip, out);
}

const char* VerdictName(PacketVerdict v);

}  // namespace net
