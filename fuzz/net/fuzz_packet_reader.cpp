// The packet reader on arbitrary frames of every link type, and the bookkeeping on what it reads:
// no read past the captured bytes, no crash, and a verdict for everything.
#include <cstddef>
#include <cstdint>
#include <span>

#include "net/PacketReader.h"
#include "net/TCPSniffer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static const net::LinkType kLinks[] = {net::LinkType::Raw, net::LinkType::Ethernet, net::LinkType::LinuxCooked,
                                           net::LinkType::LinuxCooked2, net::LinkType::IPv4};
    const net::LinkType link = kLinks[data[0] % 5];
    const std::span<const uint8_t> frame(data + 1, size - 1);
    static net::CSnifferPairs pairs;
    static bool watched = false;
    if (!watched) pairs.Watch(50000, 1935), watched = true;
    net::TcpSegment s;
    if (net::ReadFrame(link, frame, &s) == net::PacketVerdict::Segment) {
        if (s.payloadSize > 65535) __builtin_trap();
        pairs.OnSegment(s, (data[0] & 0x80) != 0, static_cast<uint32_t>(size) * 37u);
    }
    return 0;
}
