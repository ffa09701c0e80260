#include "net/TCPSniffer.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "foundation/Log.h"
#include "net/SharedLibrary.h"

namespace net {
namespace {

// libpcap, and the D-Bus, systemd and crypto libraries it brings along (about a megabyte
// resident), is opened when the first capture starts, not with the filter: most publications
// never measure the wire.
#define QV_PCAP_FUNCTIONS(X)                                                                        \
    X(pcap_activate) X(pcap_close) X(pcap_compile) X(pcap_create) X(pcap_datalink) X(pcap_dispatch) \
    X(pcap_freecode) X(pcap_get_selectable_fd) X(pcap_geterr) X(pcap_set_buffer_size)              \
    X(pcap_set_immediate_mode) X(pcap_set_promisc) X(pcap_set_snaplen) X(pcap_setfilter)            \
    X(pcap_setnonblock) X(pcap_stats)
struct PcapApi {
#define QV_PCAP_POINTER(name) decltype(&::name) name = nullptr;
    QV_PCAP_FUNCTIONS(QV_PCAP_POINTER)
#undef QV_PCAP_POINTER
    bool ok = false;
};
const PcapApi& Pcap() {
    static const PcapApi api = [] {
        PcapApi a;
        void* h = OpenSharedLibrary("libpcap.so.0.8", "CTCPSniffer");
        if (!h) return a;
        a.ok = true;
#define QV_PCAP_LOOKUP(name) a.ok = (a.name = reinterpret_cast<decltype(&::name)>(::dlsym(h, #name))) && a.ok;
        QV_PCAP_FUNCTIONS(QV_PCAP_LOOKUP)
#undef QV_PCAP_LOOKUP
        return a;
    }();
    return api;
}

}  // namespace

// ---- bookkeeping ----------------------------------------------------------------------------

void CSnifferPairs::Watch(uint16_t localPort, uint16_t remotePort) {
    std::lock_guard<std::mutex> g(m_lock);
    if (m_pairs.try_emplace(Key{localPort, remotePort}).second) {
        Log(LOG_TRACE, 7, "CTCPSniffer::addPortPairToWatch: %d,%d", localPort, remotePort);
        m_generation.fetch_add(1, std::memory_order_release);
    }
}

bool CSnifferPairs::Concerns(const TcpSegment& s) const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_pairs.count(Key{s.sourcePort, s.destinationPort}) || m_pairs.count(Key{s.destinationPort, s.sourcePort});
}

void CSnifferPairs::OnSegment(const TcpSegment& s, bool fromOwnAddress, uint32_t nowMs) {
    std::lock_guard<std::mutex> g(m_lock);
    if (auto out = m_pairs.find(Key{s.sourcePort, s.destinationPort}); out != m_pairs.end()) {
        Pair& p = out->second;
        if (fromOwnAddress) {
            ++p.stats.packetsSent;
            // Every segment of ours is kept by the sequence number it starts at, a bare
            // acknowledgement and the handshake's too: the peer's acknowledgement number names the
            // segment that follows what it took. The first record of a number stays, so a
            // retransmission keeps the first send time.
            p.sent.try_emplace(s.sequenceNumber, Sent{nowMs, s.payloadSize});
        }
        // Ordered by sequence number, not by age: after a wrap of the sequence space the front
        // holds the newest segments and the old ones behind them wait for their own turn.
        while (!p.sent.empty() &&
               static_cast<int32_t>(nowMs - p.sent.begin()->second.timeMs) >= kSentSegmentAgeLimitMs)
            p.sent.erase(p.sent.begin());
        return;
    }
    auto in = m_pairs.find(Key{s.destinationPort, s.sourcePort});
    if (in == m_pairs.end()) return;
    Pair& p = in->second;
    ++p.stats.packetsReceived;
    // Only an acknowledgement number that is the start of a kept segment counts: the time since
    // that segment left is the sample, and everything below it has been taken. One that covers
    // all we sent names no kept segment and waits for a later one that does.
    const auto hit = p.sent.find(s.acknowledgementNumber);
    if (hit == p.sent.end()) return;
    const uint32_t sample = nowMs - hit->second.timeMs;
    Log(LOG_TRACE, 7, "CTCPSniffer::RunningThread: %lu ms sample rtt - %lu ms rtt", static_cast<unsigned long>(sample),
        static_cast<unsigned long>(p.stats.roundTripTimeMs));
    const int32_t rtt = static_cast<int32_t>(p.stats.roundTripTimeMs);
    // An arithmetic shift, as the smoothing has always been computed (it rounds towards -inf).
    p.stats.roundTripTimeMs = static_cast<uint32_t>(rtt + ((static_cast<int32_t>(sample) - rtt) >> 3));
    int removed = 0;
    for (auto it = p.sent.begin(); it != hit;) {
        Log(LOG_TRACE, 7, "CTCPSniffer::RunningThread: stats.payloadSent+payloadSent: %lld + %u",
            static_cast<long long>(p.stats.payloadAcknowledged), it->second.payload);
        p.stats.payloadAcknowledged += it->second.payload;
        it = p.sent.erase(it);
        ++removed;
    }
    Log(LOG_TRACE, 7, "CTCPSniffer::RunningThread: removed %d numbers", removed);
    // Only the low 32 bits of the count have ever been kept.
    p.stats.segmentsAcknowledged =
        static_cast<uint32_t>(p.stats.segmentsAcknowledged + static_cast<uint64_t>(removed));
}

TCPSnifferStats CSnifferPairs::Statistics(uint16_t localPort, uint16_t remotePort) const {
    std::lock_guard<std::mutex> g(m_lock);
    const auto it = m_pairs.find(Key{localPort, remotePort});
    return it == m_pairs.end() ? TCPSnifferStats{} : it->second.stats;
}

std::vector<std::pair<uint16_t, uint16_t>> CSnifferPairs::Pairs() const {
    std::lock_guard<std::mutex> g(m_lock);
    std::vector<Key> keys;
    for (const auto& [k, v] : m_pairs) keys.push_back(k);
    return keys;
}

size_t CSnifferPairs::SentSegments(uint16_t localPort, uint16_t remotePort) const {
    std::lock_guard<std::mutex> g(m_lock);
    const auto it = m_pairs.find(Key{localPort, remotePort});
    return it == m_pairs.end() ? 0 : it->second.sent.size();
}

uint64_t CSnifferPairs::PendingPayload(uint16_t localPort, uint16_t remotePort) const {
    std::lock_guard<std::mutex> g(m_lock);
    const auto it = m_pairs.find(Key{localPort, remotePort});
    uint64_t sum = 0;
    if (it != m_pairs.end())
        for (const auto& [seq, sent] : it->second.sent) sum += sent.payload;
    return sum;
}

// ---- capture --------------------------------------------------------------------------------

namespace {

// An idle worker sleeps in poll: a frame, a stop or a new pair wakes it at once. The bound only
// keeps the drop count fresh.
constexpr int kIdlePollMs = 1000;
// Frames taken per pass before the worker looks at the stop flag and the filter again.
constexpr int kFramesPerPass = 64;

std::string AddressText(uint32_t hostOrder) {
    in_addr a{htonl(hostOrder)};
    char buf[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

// The kernel filter for the watched pairs; one that passes nothing before the first pair, so an
// idle sniffer costs nothing however busy the machine's other connections are.
std::string FilterFor(const std::vector<std::pair<uint16_t, uint16_t>>& pairs) {
    if (pairs.empty()) return "ip and tcp and less 1";
    std::string f = "ip and tcp and (";
    for (size_t i = 0; i < pairs.size(); ++i) {
        const auto l = std::to_string(pairs[i].first), r = std::to_string(pairs[i].second);
        if (i) f += " or ";
        f += "(src port " + l + " and dst port " + r + ") or (src port " + r + " and dst port " + l + ")";
    }
    return f + ")";
}

}  // namespace

struct CTCPSniffer::Capture {
    std::string name;
    std::string addressText;           // the first IPv4 address, for the log
    std::vector<uint32_t> addresses;   // all its IPv4 addresses, host order
    pcap_t* handle = nullptr;
    LinkType link = LinkType::Ethernet;
    std::atomic<uint64_t> filterGeneration{UINT64_MAX};  // written by its worker, read by FiltersCurrent
    uint64_t dropped = 0;  // this capture's share of the sniffer's drop count
    std::thread worker;
    CTCPSniffer* owner = nullptr;
    int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);  // written when the watched pairs change
    ~Capture() {
        if (handle) Pcap().pcap_close(handle);
        if (wake >= 0) close(wake);
    }
    bool Own(uint32_t address) const {
        for (uint32_t a : addresses)
            if (a == address) return true;
        return false;
    }
};

CTCPSniffer::CTCPSniffer() { m_stopEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

CTCPSniffer::~CTCPSniffer() {
    Stop();
    if (m_stopEvent >= 0) close(m_stopEvent);
}

void CTCPSniffer::Stop() {
    m_bStop.store(true);
    if (m_stopEvent >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(m_stopEvent, &one, sizeof one);
    }
    for (auto& c : m_captures)
        if (c->worker.joinable()) c->worker.join();
    m_captures.clear();
}

std::string CTCPSniffer::FailureReason() const {
    std::lock_guard<std::mutex> g(m_infoLock);
    return m_sFailure;
}

bool CTCPSniffer::FiltersCurrent() const {
    const uint64_t g = m_pairs.Generation();
    for (const auto& c : m_captures)
        if (c->filterGeneration.load() != g) return false;
    return !m_captures.empty();
}

uint64_t CTCPSniffer::PendingPayload(int localPort, int remotePort) const {
    if (localPort <= 0 || localPort > 65535 || remotePort <= 0 || remotePort > 65535) return 0;
    return m_pairs.PendingPayload(static_cast<uint16_t>(localPort), static_cast<uint16_t>(remotePort));
}

size_t CTCPSniffer::SentSegments(int localPort, int remotePort) const {
    if (localPort <= 0 || localPort > 65535 || remotePort <= 0 || remotePort > 65535) return 0;
    return m_pairs.SentSegments(static_cast<uint16_t>(localPort), static_cast<uint16_t>(remotePort));
}

std::vector<std::string> CTCPSniffer::Interfaces() const {
    std::vector<std::string> names;
    for (const auto& c : m_captures) names.push_back(c->name);
    return names;
}

int CTCPSniffer::Init() {
    if (!m_captures.empty()) return 0;
    auto fail = [this](std::string why) {
        std::lock_guard<std::mutex> g(m_infoLock);
        m_sFailure = std::move(why);
    };
    if (m_stopEvent < 0) {
        fail(std::string("no stop event: ") + std::strerror(errno));
        return kInitFailed;
    }
    ifaddrs* raw = nullptr;
    if (getifaddrs(&raw) != 0) {
        const int err = errno;
        LogTrace(1, "GetAddrInfoW failed with error: %d\n", err);
        fail(std::string("cannot list the local addresses: ") + std::strerror(err));
        return kInitFailed;
    }
    std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> list(raw, &freeifaddrs);

    // One capture per interface that is up and has an IPv4 address; its addresses tell the
    // segments it sent itself from those it only sees.
    std::vector<std::unique_ptr<Capture>> wanted;
    for (const ifaddrs* a = list.get(); a; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET || !(a->ifa_flags & IFF_UP)) continue;
        const uint32_t address = ntohl(reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr);
        Capture* c = nullptr;
        for (auto& w : wanted)
            if (w->name == a->ifa_name) c = w.get();
        if (!c) {
            wanted.push_back(std::make_unique<Capture>());
            c = wanted.back().get();
            c->name = a->ifa_name;
            c->addressText = AddressText(address);
        }
        c->addresses.push_back(address);
    }

    int result = wanted.empty() ? kInitFailed : 0;
    std::string why = wanted.empty() ? "no local interface has an IPv4 address" : "";
    if (!Pcap().ok) {
        result = kInitFailed;
        why = "libpcap cannot be loaded";
        wanted.clear();
    }
    for (auto& c : wanted) {
        char err[PCAP_ERRBUF_SIZE] = {0};
        c->handle = Pcap().pcap_create(c->name.c_str(), err);
        if (!c->handle) {
            LogTrace(1, "CTCPSniffer::Init socket create error: %d", PCAP_ERROR);
            Log(LOG_ERROR, 1, "CTCPSniffer::Init %s: %s", c->name.c_str(), err);
            continue;
        }
        LogTrace(1, "CTCPSniffer::Init interface '%s' is used", c->addressText.c_str());
        Pcap().pcap_set_snaplen(c->handle, kSnapLength);
        Pcap().pcap_set_promisc(c->handle, 0);
        Pcap().pcap_set_immediate_mode(c->handle, 1);
        Pcap().pcap_set_buffer_size(c->handle, 1 << 20);
        const int activated = Pcap().pcap_activate(c->handle);
        // Activation is where the right to capture is checked: the receive-all switch of old.
        if (activated < 0) {
            LogTrace(1, "CTCPSniffer::Init WSAIoctl error: %d", activated);
            const std::string text = activated == PCAP_ERROR_PERM_DENIED
                                         ? "capturing packets needs CAP_NET_RAW, which this process does not have"
                                         : std::string("cannot capture on ") + c->name + ": " + Pcap().pcap_geterr(c->handle);
            Log(LOG_ERROR, 1, "CTCPSniffer::Init %s: %s", c->name.c_str(), text.c_str());
            Pcap().pcap_close(c->handle);
            c->handle = nullptr;
            result = kInitFailed;
            why = text;
            continue;
        }
        const int dlt = Pcap().pcap_datalink(c->handle);
        if (dlt != DLT_EN10MB && dlt != DLT_RAW && dlt != DLT_LINUX_SLL && dlt != DLT_LINUX_SLL2 && dlt != DLT_IPV4) {
            LogTrace(1, "CTCPSniffer::Init bind error: %d", dlt);
            Log(LOG_ERROR, 1, "CTCPSniffer::Init %s: link type %d is not read", c->name.c_str(), dlt);
            Pcap().pcap_close(c->handle);
            c->handle = nullptr;
            result = kInitFailed;
            why = "the link type of " + c->name + " is not read";
            continue;
        }
        c->link = static_cast<LinkType>(dlt);
        if (Pcap().pcap_setnonblock(c->handle, 1, err) != 0) {
            LogTrace(1, "CTCPSniffer::Init set socket to non-blocking failed: %d", PCAP_ERROR);
            Pcap().pcap_close(c->handle);
            c->handle = nullptr;
            result = kInitFailed;
            why = std::string("cannot capture on ") + c->name + " without blocking: " + err;
            continue;
        }
        result = 0;
        c->owner = this;
        m_captures.push_back(std::move(c));
    }
    if (m_captures.empty() && result == 0) result = kInitFailed, why = "no interface could be captured";
    if (result != 0) {
        // The owner destroys a sniffer whose start failed; nothing of it may go on running.
        m_captures.clear();
        fail(why);
        return result;
    }
    fail("");
    for (auto& c : m_captures) {
        Capture* self = c.get();
        c->worker = std::thread([this, self] { RunningThread(*self); });
    }
    return 0;
}

void CTCPSniffer::addPortPairToWatch(int localPort, int remotePort) {
    if (localPort <= 0 || localPort > 65535 || remotePort <= 0 || remotePort > 65535) {
        Log(LOG_ERROR, 1, "CTCPSniffer::addPortPairToWatch: %d,%d is not a pair of ports", localPort, remotePort);
        return;
    }
    m_pairs.Watch(static_cast<uint16_t>(localPort), static_cast<uint16_t>(remotePort));
    const uint64_t one = 1;
    for (auto& c : m_captures) {
        if (c->wake < 0) continue;
        [[maybe_unused]] const ssize_t n = write(c->wake, &one, sizeof one);
    }
}

TCPSnifferStats CTCPSniffer::Statistics(int localPort, int remotePort) {
    if (localPort <= 0 || localPort > 65535 || remotePort <= 0 || remotePort > 65535) return {};
    return m_pairs.Statistics(static_cast<uint16_t>(localPort), static_cast<uint16_t>(remotePort));
}

void CTCPSniffer::RunningThread(Capture& c) {
    // Named so a profile (and the sniffer bench) can tell its cost apart.
    pthread_setname_np(pthread_self(), ("qv-sniff-" + c.name).substr(0, 15).c_str());
    const int fd = Pcap().pcap_get_selectable_fd(c.handle);
    pollfd fds[3] = {{m_stopEvent, POLLIN, 0}, {c.wake, POLLIN, 0}, {fd, POLLIN, 0}};
    struct Context {
        CTCPSniffer* self;
        Capture* capture;
    } context{this, &c};
    auto onFrame = [](u_char* user, const pcap_pkthdr* h, const u_char* bytes) {
        auto* ctx = reinterpret_cast<Context*>(user);
        TcpSegment s;
        const std::span<const uint8_t> frame(bytes, h->caplen);
        if (ReadFrame(ctx->capture->link, frame, &s) != PacketVerdict::Segment) return;
        // The capture's own time of the frame: what the worker's scheduling adds stays out of it.
        const uint32_t now = static_cast<uint32_t>(static_cast<uint64_t>(h->ts.tv_sec) * 1000u +
                                                   static_cast<uint64_t>(h->ts.tv_usec) / 1000u);
        if (LogEnabled(LOG_TRACE, 7)) {
            Log(LOG_TRACE, 7,
                "CTCPSniffer::RunningThread: Source %s:%u - Dest %s:%u - ackFlag %u - synFlag %u --- SequenceNumber: "
                "%lu - AcknlowedgeNumber: %lu - PayloadSize: %u - fragOffset: %u",
                AddressText(s.sourceAddress).c_str(), s.sourcePort, AddressText(s.destinationAddress).c_str(),
                s.destinationPort, s.Ack() ? 1u : 0u, s.Syn() ? 1u : 0u, static_cast<unsigned long>(s.sequenceNumber),
                static_cast<unsigned long>(s.acknowledgementNumber), s.payloadSize, s.fragmentWord);
        }
        ctx->self->m_uSegmentsSeen.fetch_add(1, std::memory_order_relaxed);
        ctx->self->m_pairs.OnSegment(s, ctx->capture->Own(s.sourceAddress), now);
    };
    auto nextStats = std::chrono::steady_clock::now();
    while (!m_bStop.load()) {
        const uint64_t generation = m_pairs.Generation();
        if (generation != c.filterGeneration) {
            const std::string text = FilterFor(m_pairs.Pairs());
            bpf_program program{};
            if (Pcap().pcap_compile(c.handle, &program, text.c_str(), 1, PCAP_NETMASK_UNKNOWN) == 0) {
                if (Pcap().pcap_setfilter(c.handle, &program) != 0)
                    Log(LOG_ERROR, 1, "CTCPSniffer::RunningThread %s: filter refused: %s", c.name.c_str(),
                        Pcap().pcap_geterr(c.handle));
                Pcap().pcap_freecode(&program);
            } else {
                Log(LOG_ERROR, 1, "CTCPSniffer::RunningThread %s: filter '%s': %s", c.name.c_str(), text.c_str(),
                    Pcap().pcap_geterr(c.handle));
            }
            c.filterGeneration.store(generation);
        }
        const int n = Pcap().pcap_dispatch(c.handle, kFramesPerPass, onFrame, reinterpret_cast<u_char*>(&context));
        if (n < 0) {
            Log(LOG_ERROR, 1, "CTCPSniffer::RunningThread %s: capture ended: %s", c.name.c_str(), Pcap().pcap_geterr(c.handle));
            break;
        }
        if (const auto t = std::chrono::steady_clock::now(); t >= nextStats) {
            CountDrops(c);
            nextStats = t + std::chrono::seconds(1);
        }
        if (n > 0) continue;
        // Without a selectable descriptor the capture can only be polled: 1 ms, as ever.
        poll(fds, fd < 0 ? 2 : 3, fd < 0 ? 1 : kIdlePollMs);
        if (fds[1].revents & POLLIN) {
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = read(c.wake, &count, sizeof count);
        }
    }
    CountDrops(c);
}

void CTCPSniffer::CountDrops(Capture& c) {
    pcap_stat st{};
    if (Pcap().pcap_stats(c.handle, &st) != 0) return;
    // The kernel's counter is 32 bits wide and may wrap; only its growth is added.
    const uint64_t total = st.ps_drop;
    if (total > c.dropped) m_uDropped.fetch_add(total - c.dropped), c.dropped = total;
}

std::unique_ptr<ITCPSniffer> MakeTCPSniffer() { return std::make_unique<CTCPSniffer>(); }

}  // namespace net
