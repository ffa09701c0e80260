// The packet reader on hand-written frames, the acknowledgement bookkeeping on hand-made segment
// sequences, and the capture itself on a real loopback connection checked against the kernel's
// own TCP_INFO figures.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <linux/tcp.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "net/PacketReader.h"
#include "net/TCPSniffer.h"

using namespace net;

namespace {

struct Hdr {
    uint8_t ihl = 5, doff = 5, proto = 6, flags = 0x10;
    uint16_t total = 0;  // 0: the real length
    uint16_t frag = 0x4000;
    uint32_t src = 0x7f000001, dst = 0x7f000001;
    uint16_t sport = 50000, dport = 1935;
    uint32_t seq = 1000, ack = 0;
    size_t payload = 0;
    size_t cut = SIZE_MAX;  // keep only this many bytes
};

void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) { b[at] = v >> 8, b[at + 1] = v & 0xff; }
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    Put16(b, at, static_cast<uint16_t>(v >> 16));
    Put16(b, at + 2, static_cast<uint16_t>(v));
}

std::vector<uint8_t> Ip(const Hdr& h) {
    const size_t ip = h.ihl * 4u, tcp = h.doff * 4u;
    std::vector<uint8_t> b(std::max<size_t>(ip, 20) + std::max<size_t>(tcp, 20) + h.payload, 0);
    b[0] = static_cast<uint8_t>(0x40 | h.ihl);
    Put16(b, 2, h.total ? h.total : static_cast<uint16_t>(ip + tcp + h.payload));
    Put16(b, 6, h.frag);
    b[8] = 64, b[9] = h.proto;
    Put32(b, 12, h.src), Put32(b, 16, h.dst);
    const size_t t = std::max<size_t>(ip, 20);
    Put16(b, t, h.sport), Put16(b, t + 2, h.dport);
    Put32(b, t + 4, h.seq), Put32(b, t + 8, h.ack);
    b[t + 12] = static_cast<uint8_t>(h.doff << 4), b[t + 13] = h.flags;
    if (h.cut < b.size()) b.resize(h.cut);
    return b;
}

std::vector<uint8_t> Ether(const std::vector<uint8_t>& ip, uint16_t type = 0x0800, bool vlan = false) {
    const size_t head = vlan ? 18 : 14;
    std::vector<uint8_t> f(head + ip.size(), 0xaa);
    if (vlan) Put16(f, 12, 0x8100), Put16(f, 14, 5);
    Put16(f, head - 2, type);
    std::copy(ip.begin(), ip.end(), f.begin() + static_cast<std::ptrdiff_t>(head));
    return f;
}

}  // namespace

TEST(PacketReader, HandWrittenFrames) {
    struct Row {
        const char* what;
        LinkType link;
        std::vector<uint8_t> frame;
        PacketVerdict verdict;
        uint32_t payload;
    };
    const std::vector<Row> rows = {
        {"plain segment", LinkType::Raw, Ip({.payload = 1400}), PacketVerdict::Segment, 1400},
        {"zero payload", LinkType::Raw, Ip({}), PacketVerdict::Segment, 0},
        {"options in both headers", LinkType::Raw, Ip({.ihl = 6, .doff = 8, .payload = 7}), PacketVerdict::Segment, 7},
        {"headers only captured", LinkType::Raw, Ip({.payload = 1000, .cut = 40}), PacketVerdict::Segment, 1000},
        {"total below the headers", LinkType::Raw, Ip({.total = 30}), PacketVerdict::Segment, 0},
        {"ethernet", LinkType::Ethernet, Ether(Ip({.payload = 5})), PacketVerdict::Segment, 5},
        {"ethernet with vlan tag", LinkType::Ethernet, Ether(Ip({.payload = 9}), 0x0800, true), PacketVerdict::Segment, 9},
        {"ethernet ARP", LinkType::Ethernet, Ether(Ip({}), 0x0806), PacketVerdict::NotIPv4, 0},
        {"ethernet cut in the type", LinkType::Ethernet, std::vector<uint8_t>(13, 0), PacketVerdict::NotIPv4, 0},
        {"empty frame", LinkType::Raw, {}, PacketVerdict::Truncated, 0},
        {"IPv6", LinkType::Raw, std::vector<uint8_t>{0x60, 0, 0, 0}, PacketVerdict::NotIPv4, 0},
        {"UDP", LinkType::Raw, Ip({.proto = 17}), PacketVerdict::NotTcp, 0},
        {"later fragment", LinkType::Raw, Ip({.frag = 0x2010}), PacketVerdict::Fragment, 0},
        {"IP header length 16", LinkType::Raw, Ip({.ihl = 4}), PacketVerdict::Malformed, 0},
        {"IP header cut", LinkType::Raw, Ip({.cut = 19}), PacketVerdict::Truncated, 0},
        {"IP header length past the packet", LinkType::Raw, Ip({.ihl = 15, .cut = 40}), PacketVerdict::Truncated, 0},
        {"TCP header cut", LinkType::Raw, Ip({.cut = 39}), PacketVerdict::Truncated, 0},
        {"TCP header length past the packet", LinkType::Raw, Ip({.doff = 15, .cut = 48}), PacketVerdict::Truncated, 0},
        {"TCP header length 12", LinkType::Raw, Ip({.doff = 3}), PacketVerdict::Malformed, 0},
    };
    for (const auto& r : rows) {
        TcpSegment s;
        EXPECT_EQ(ReadFrame(r.link, r.frame, &s), r.verdict) << r.what;
        if (r.verdict == PacketVerdict::Segment) {
            EXPECT_EQ(s.payloadSize, r.payload) << r.what;
        }
    }
    TcpSegment s;
    ASSERT_EQ(ReadTcpSegment(Ip({.frag = 0x4000, .src = 0x0a000001, .dst = 0xc0a80102, .sport = 1, .dport = 65535,
                                 .seq = 0xfffffff0, .ack = 0x80000001, .payload = 3}),
                             &s),
              PacketVerdict::Segment);
    EXPECT_EQ(s.sourceAddress, 0x0a000001u);
    EXPECT_EQ(s.destinationAddress, 0xc0a80102u);
    EXPECT_EQ(s.sourcePort, 1);
    EXPECT_EQ(s.destinationPort, 65535);
    EXPECT_EQ(s.sequenceNumber, 0xfffffff0u);
    EXPECT_EQ(s.acknowledgementNumber, 0x80000001u);
    EXPECT_TRUE(s.Ack());
    EXPECT_FALSE(s.Syn());
    EXPECT_EQ(s.fragmentWord, 0x0040);  // the wire's bytes, not converted
}

// One step of a conversation: a segment, who sent it, its time, and the figures after it.
struct Step {
    bool out;         // from the local port (true) or to it
    uint32_t seqOrAck;
    uint32_t payload;
    uint32_t time;
    uint64_t sent, received, acked, payloadAcked;
    uint32_t rtt;
    bool ownAddress = true;
    uint16_t local = 50000, remote = 1935;
};

TEST(SnifferPairs, AcknowledgementMatching) {
    struct Case {
        const char* what;
        std::vector<Step> steps;
    };
    const std::vector<Case> cases = {
        {"an ack naming a kept segment acknowledges all below it",
         {{true, 100, 10, 0, 1, 0, 0, 0, 0},
          {true, 110, 10, 1, 2, 0, 0, 0, 0},
          {true, 120, 10, 2, 3, 0, 0, 0, 0},
          {false, 120, 0, 81, 3, 1, 2, 20, 9},    // sample 79 of the one at 120, which stays
          {false, 125, 0, 90, 3, 2, 2, 20, 9},    // inside a segment: nothing matches
          {false, 130, 0, 92, 3, 3, 2, 20, 9},    // covers everything sent: no segment starts there
          {true, 130, 10, 100, 4, 3, 2, 20, 9},
          {false, 130, 0, 140, 4, 4, 3, 30, 12}}},  // now it names one: 9 + (40-9)>>3
        {"smoothing moves by an eighth, rounding towards minus infinity",
         {{true, 1, 5, 0, 1, 0, 0, 0, 0},
          {true, 6, 5, 0, 2, 0, 0, 0, 0},
          {false, 6, 0, 40, 2, 1, 1, 5, 5},
          {true, 11, 5, 100, 3, 1, 1, 5, 5},
          {false, 11, 0, 100, 3, 2, 2, 10, 4}}},  // sample 0: 5 + (-5 >> 3) = 4
        {"a segment sent from another address is not counted",
         {{true, 100, 10, 0, 0, 0, 0, 0, 0, false},
          {true, 110, 10, 0, 1, 0, 0, 0, 0},
          {false, 110, 0, 40, 1, 1, 0, 0, 5}}},  // nothing kept below 110
        {"pairs not watched change nothing",
         {{true, 100, 10, 0, 0, 0, 0, 0, 0, true, 50001},
          {false, 110, 0, 5, 0, 0, 0, 0, 0, true, 50000, 1936}}},
        {"sequence numbers compare unsigned across the wrap",
         {{true, 0xfffffff0u, 16, 0, 1, 0, 0, 0, 0},
          {true, 0, 16, 0, 2, 0, 0, 0, 0},
          {true, 16, 16, 0, 3, 0, 0, 0, 0},
          {false, 16, 0, 16, 3, 1, 1, 16, 2},  // only 0 is below 16; the one before the wrap sorts last
          {true, 32, 16, 20, 4, 1, 1, 16, 2},
          {false, 32, 0, 30, 4, 2, 2, 32, 3}}},
        {"a retransmission and a segment after our bare ack keep the first record of their number",
         {{true, 500, 100, 0, 1, 0, 0, 0, 0},
          {true, 500, 100, 200, 2, 0, 0, 0, 0},
          {false, 500, 0, 240, 2, 1, 0, 0, 30},     // sample 240 from the first send
          {true, 600, 0, 250, 3, 1, 0, 0, 30},      // a bare ack of ours
          {true, 600, 100, 260, 4, 1, 0, 0, 30},    // data at the same number: the bare ack stays
          {false, 600, 0, 280, 4, 2, 1, 100, 30},   // sample 30 from the bare ack
          {true, 700, 100, 290, 5, 2, 1, 100, 30},
          {false, 700, 0, 300, 5, 3, 2, 100, 27}}},  // the data at 600 counts as the bare ack's 0
        {"the handshake: its ack holds the first data segment's number",
         {{true, 1000, 0, 0, 1, 0, 0, 0, 0},        // SYN
          {false, 1001, 0, 40, 1, 1, 0, 0, 0},      // SYN-ACK: nothing starts at 1001 yet
          {true, 1001, 0, 41, 2, 1, 0, 0, 0},       // our ACK
          {true, 1001, 100, 42, 3, 1, 0, 0, 0},
          {true, 1101, 100, 43, 4, 1, 0, 0, 0},
          {false, 1101, 0, 90, 4, 2, 2, 0, 5}}},    // SYN and ACK removed, no payload among them
        {"segments older than ten seconds are forgotten",
         {{true, 10, 10, 0, 1, 0, 0, 0, 0},
          {true, 20, 10, 5000, 2, 0, 0, 0, 0},
          {true, 30, 10, 10001, 3, 0, 0, 0, 0},   // the one at 10 goes
          {false, 30, 0, 10009, 3, 1, 1, 10, 1}}},  // only the one at 20 is below 30
    };
    for (const auto& c : cases) {
        CSnifferPairs pairs;
        pairs.Watch(50000, 1935);
        pairs.Watch(50000, 1935);  // again: nothing changes
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const Step& st = c.steps[i];
            TcpSegment s;
            s.sourcePort = st.out ? st.local : st.remote;
            s.destinationPort = st.out ? st.remote : st.local;
            (st.out ? s.sequenceNumber : s.acknowledgementNumber) = st.seqOrAck;
            s.payloadSize = st.payload;
            s.flags = 0x10;
            pairs.OnSegment(s, st.ownAddress, st.time);
            const auto f = pairs.Statistics(50000, 1935);
            EXPECT_EQ(f.packetsSent, st.sent) << c.what << " step " << i;
            EXPECT_EQ(f.packetsReceived, st.received) << c.what << " step " << i;
            EXPECT_EQ(f.segmentsAcknowledged, st.acked) << c.what << " step " << i;
            EXPECT_EQ(f.payloadAcknowledged, st.payloadAcked) << c.what << " step " << i;
            EXPECT_EQ(f.roundTripTimeMs, st.rtt) << c.what << " step " << i;
            EXPECT_EQ(f.reserved, 0u);
        }
    }
    CSnifferPairs none;
    EXPECT_EQ(none.Statistics(1, 2).packetsSent, 0u);
}

namespace {

bool DropNetRaw() {
    __user_cap_header_struct h{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct d[2]{};
    if (syscall(SYS_capget, &h, d) != 0) return false;
    d[CAP_NET_RAW / 32].effective &= ~(1u << (CAP_NET_RAW % 32));
    d[CAP_NET_RAW / 32].permitted &= ~(1u << (CAP_NET_RAW % 32));
    return syscall(SYS_capset, &h, d) == 0;
}

bool HaveNetRaw() {
    __user_cap_header_struct h{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct d[2]{};
    return syscall(SYS_capget, &h, d) == 0 && (d[CAP_NET_RAW / 32].effective & (1u << (CAP_NET_RAW % 32)));
}

}  // namespace

TEST(Sniffer, WithoutCaptureRightsInitFailsAndReadsZero) {
    // In a child: the right is gone for good once dropped.
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (!DropNetRaw()) _exit(2);
        CTCPSniffer s;
        const int rc = s.Init();
        s.addPortPairToWatch(1, 2);
        const bool zero = s.Statistics(1, 2).packetsSent == 0 && s.Interfaces().empty();
        const bool said = s.FailureReason().find("CAP_NET_RAW") != std::string::npos;
        _exit(rc == static_cast<int>(0x80004005u) && zero && said ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Sniffer, LoopbackConnectionAgreesWithTheKernel) {
    if (!HaveNetRaw()) GTEST_SKIP() << "needs CAP_NET_RAW";
    using clock = std::chrono::steady_clock;
    CTCPSniffer sniffer;
    ASSERT_EQ(sniffer.Init(), 0) << sniffer.FailureReason();
    const auto names = sniffer.Interfaces();
    ASSERT_NE(std::find(names.begin(), names.end(), "lo"), names.end());

    auto bound = [](int fd) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        return a;
    };
    const int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in server = bound(ls);
    ASSERT_EQ(listen(ls, 1), 0);
    const int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int local = ntohs(bound(c).sin_port), remote = ntohs(server.sin_port);
    ASSERT_GT(local, 0);
    // Watched before the first segment, so the capture must see every one the kernel counts.
    sniffer.addPortPairToWatch(local, remote);
    for (const auto until = clock::now() + std::chrono::seconds(2); !sniffer.FiltersCurrent() && clock::now() < until;)
        std::this_thread::yield();
    ASSERT_TRUE(sniffer.FiltersCurrent());
    ASSERT_EQ(connect(c, reinterpret_cast<const sockaddr*>(&server), sizeof server), 0);
    const int sv = accept(ls, nullptr, nullptr);
    ASSERT_GE(sv, 0);
    const int one = 1;
    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::thread reader([sv] {
        char buf[65536];
        while (recv(sv, buf, sizeof buf, 0) > 0) {
        }
    });
    std::vector<char> chunk(1400, 'x');
    for (int i = 0; i < 400; ++i) {
        ASSERT_EQ(send(c, chunk.data(), chunk.size(), MSG_NOSIGNAL), static_cast<ssize_t>(chunk.size()));
        if (i % 20 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));  // bursts, as a stream sends
    }
    // Settled: the kernel has every byte acknowledged and the capture has counted every segment.
    // Under load the loopback may drop a segment after it was counted out but before the capture
    // sees it arrive; only its retransmission reaches the capture, so each retransmission allows
    // one segment less (and, collapsed with its successor, some payload twice).
    tcp_info ti{};
    TCPSnifferStats st{};
    for (const auto until = clock::now() + std::chrono::seconds(5); clock::now() < until;) {
        socklen_t len = sizeof ti;
        getsockopt(c, IPPROTO_TCP, TCP_INFO, &ti, &len);
        st = sniffer.Statistics(local, remote);
        if (ti.tcpi_unacked == 0 && st.packetsSent + ti.tcpi_total_retrans >= ti.tcpi_segs_out &&
            st.packetsReceived == ti.tcpi_segs_in)
            break;
        std::this_thread::yield();
    }
    const uint64_t retransmitted = ti.tcpi_total_retrans;
    EXPECT_EQ(ti.tcpi_bytes_acked, 400u * 1400u + 1);  // the SYN counts one
    EXPECT_LE(st.packetsSent, ti.tcpi_segs_out);
    EXPECT_GE(st.packetsSent + retransmitted, ti.tcpi_segs_out);
    EXPECT_EQ(st.packetsReceived, ti.tcpi_segs_in);
    // Without much in flight few acknowledgements name a kept segment, so only what holds for
    // any number of matches is checked: every segment sent is either acknowledged or still kept,
    // but the first data segment shares its number with the handshake's ACK, which keeps it (and
    // its payload of 0).
    const uint64_t accounted = st.segmentsAcknowledged + sniffer.SentSegments(local, remote);
    const uint64_t payload = st.payloadAcknowledged + sniffer.PendingPayload(local, remote);
    if (retransmitted == 0) {
        EXPECT_EQ(accounted, st.packetsSent - 1);
        EXPECT_EQ(payload, 399u * 1400u);
    } else {
        EXPECT_LE(accounted, st.packetsSent - 1);
        EXPECT_GE(accounted + retransmitted, st.packetsSent - 1);
        EXPECT_GE(payload, 399u * 1400u);
    }
    EXPECT_LE(st.roundTripTimeMs, 10u);  // loopback
    EXPECT_EQ(sniffer.FramesDropped(), 0u);
    shutdown(c, SHUT_RDWR);
    reader.join();
    close(c), close(sv), close(ls);
    EXPECT_EQ(sniffer.Statistics(local, remote + 1).packetsSent, 0u);
}
