#include "net/PacketReader.h"

namespace net {
namespace {

constexpr uint16_t kEtherTypeIPv4 = 0x0800;
constexpr uint16_t kEtherTypeVlan = 0x8100;
constexpr uint16_t kEtherTypeQinQ = 0x88a8;
constexpr size_t kMinIpHeader = 20;
constexpr size_t kMinTcpHeader = 20;
constexpr uint8_t kProtocolTcp = 6;

uint16_t Be16(std::span<const uint8_t> b, size_t at) { return static_cast<uint16_t>(b[at] << 8 | b[at + 1]); }
uint32_t Be32(std::span<const uint8_t> b, size_t at) {
    return static_cast<uint32_t>(b[at]) << 24 | static_cast<uint32_t>(b[at + 1]) << 16 |
           static_cast<uint32_t>(b[at + 2]) << 8 | b[at + 3];
}

// The bytes after a link header of `header` bytes whose EtherType-like field sits at `typeAt`.
std::span<const uint8_t> AfterHeader(std::span<const uint8_t> frame, size_t typeAt, size_t header) {
    if (typeAt + 2 > frame.size() || header > frame.size()) return {};
    if (Be16(frame, typeAt) != kEtherTypeIPv4) return {};
    return frame.subspan(header);
}

}  // namespace

std::span<const uint8_t> IpPacketOf(LinkType link, std::span<const uint8_t> frame) {
    switch (link) {
    case LinkType::Raw:
    case LinkType::IPv4:
        return frame;
    case LinkType::Ethernet: {
        size_t typeAt = 12;
        // Up to two VLAN tags sit between the addresses and the real EtherType.
        for (int tags = 0; tags < 2 && typeAt + 2 <= frame.size(); ++tags) {
            const uint16_t t = Be16(frame, typeAt);
            if (t != kEtherTypeVlan && t != kEtherTypeQinQ) break;
            typeAt += 4;
        }
        return AfterHeader(frame, typeAt, typeAt + 2);
    }
    case LinkType::LinuxCooked:
        return AfterHeader(frame, 14, 16);
    case LinkType::LinuxCooked2:
        return AfterHeader(frame, 0, 20);
    }
    return {};
}

PacketVerdict ReadTcpSegment(std::span<const uint8_t> p, TcpSegment* out) {
    const size_t size = p.size();
    if (size < 1) return PacketVerdict::Truncated;
    if ((p[0] >> 4) != 4) return PacketVerdict::NotIPv4;
    const size_t ipHeader = static_cast<size_t>(p[0] & 0x0f) * 4;
    if (ipHeader < kMinIpHeader) return PacketVerdict::Malformed;
    if (ipHeader > size) return PacketVerdict::Truncated;
    if (p[9] != kProtocolTcp) return PacketVerdict::NotTcp;
    const uint16_t fragment = Be16(p, 6);
    if ((fragment & 0x1fff) != 0) return PacketVerdict::Fragment;

    const size_t offset = ipHeader;
    if (kMinTcpHeader > size - offset) return PacketVerdict::Truncated;
    const size_t tcpHeader = static_cast<size_t>(p[offset + 12] >> 4) * 4;
    if (tcpHeader < kMinTcpHeader) return PacketVerdict::Malformed;
    if (tcpHeader > size - offset) return PacketVerdict::Truncated;

    TcpSegment s;
    s.sourceAddress = Be32(p, 12);
    s.destinationAddress = Be32(p, 16);
    s.sourcePort = Be16(p, offset);
    s.destinationPort = Be16(p, offset + 2);
    s.sequenceNumber = Be32(p, offset + 4);
    s.acknowledgementNumber = Be32(p, offset + 8);
    s.flags = p[offset + 13];
    // A total length below the two headers is a lie of the sender: such a packet carries nothing.
    const size_t total = Be16(p, 2);
    s.payloadSize = total >= ipHeader + tcpHeader ? static_cast<uint32_t>(total - ipHeader - tcpHeader) : 0;
    // Kept as the bytes stand, as the capture log has always shown it.
    s.fragmentWord = static_cast<uint16_t>(p[7] << 8 | p[6]);
    if (out) *out = s;
    return PacketVerdict::Segment;
}

const char* VerdictName(PacketVerdict v) {
    switch (v) {
    case PacketVerdict::Segment: return "segment";
    case PacketVerdict::NotIPv4: return "not IPv4";
    case PacketVerdict::NotTcp: return "not TCP";
    case PacketVerdict::Fragment: return "fragment";
    case PacketVerdict::Truncated: return "truncated";
    case PacketVerdict::Malformed: return "malformed";
    }
    return "?";
}

}  // namespace net
