#include "FaultProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace sinktest {
namespace {

constexpr int kBuffer = 16384;

// A socket with small buffers, so a throttled or stalled proxy pushes back on the sender quickly,
// and an Ethernet's segment size: with loopback's 64 KiB segments such a window is less than one
// segment, and the sender waits for delayed acknowledgements (about 3 Mbit/s, unthrottled).
int Small(int fd) {
    const int segment = 1448;
    for (const int option : {SO_RCVBUF, SO_SNDBUF}) setsockopt(fd, SOL_SOCKET, option, &kBuffer, sizeof kBuffer);
    setsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment);
    return fd;
}

sockaddr_in Loopback(int port) { return {AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}}; }

}  // namespace

struct FaultProxy::Conn {
    int client, server;
    std::atomic<bool> reset{false};  // the client's side is aborted: no FIN, an RST when closed
    ~Conn() {
        close(client);
        close(server);
    }
    void Shutdown() const { shutdown(client, reset ? SHUT_RD : SHUT_RDWR), shutdown(server, SHUT_RDWR); }
};

bool FaultProxy::Start() {
    m_listen = Small(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));  // what accepted sockets inherit
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    if (m_listen < 0 || bind(m_listen, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(m_listen, 16) != 0 ||
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return false;
    m_port = ntohs(a.sin_port);
    m_acceptor = std::thread([this] { Accept(); });
    return true;
}

void FaultProxy::Stop() {
    m_stop = true;
    Stall(false);
    if (m_acceptor.joinable()) m_acceptor.join();
    Cut();
    for (auto& t : m_pumps) t.join();
    m_pumps.clear();
    if (m_listen >= 0) close(m_listen);
    m_listen = -1;
}

void FaultProxy::Cut(bool reset) {
    std::lock_guard<std::mutex> g(m_mutex);
    const linger abort{1, 0};
    for (auto& w : m_conns)
        if (auto c = w.lock()) {
            if (reset) c->reset = setsockopt(c->client, SOL_SOCKET, SO_LINGER, &abort, sizeof abort) == 0;
            c->Shutdown();
        }
}

void FaultProxy::Stall(bool on, bool upstreamOnly) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_stall = on;
    m_upstreamOnly = upstreamOnly;
    m_unstalled.notify_all();
}

void FaultProxy::Accept() {
    while (!m_stop) {
        pollfd p{m_listen, POLLIN, 0};
        // Close-on-exec: a child started meanwhile (a server) holding a copy would keep a cut
        // connection open, and an RST cut would never reach the client.
        const int client = poll(&p, 1, 100) > 0 ? accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC) : -1;
        if (client < 0) continue;
        Small(client);
        const int server = Small(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const sockaddr_in a = Loopback(m_target);
        auto c = std::make_shared<Conn>(client, server);  // closes both when the last pump is done
        if (m_target <= 0 || connect(server, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) continue;
        std::lock_guard<std::mutex> g(m_mutex);
        std::erase_if(m_conns, [](const std::weak_ptr<Conn>& w) { return w.expired(); });
        m_conns.push_back(c);
        m_pumps.emplace_back(&FaultProxy::Pump, this, c, true);
        m_pumps.emplace_back(&FaultProxy::Pump, this, c, false);
    }
}

void FaultProxy::Pump(std::shared_ptr<Conn> c, bool up) {
    const int from = up ? c->client : c->server, to = up ? c->server : c->client;
    char buf[kBuffer];
    while (!m_stop) {
        {
            std::unique_lock<std::mutex> g(m_mutex);
            m_unstalled.wait(g, [&] { return !Stalled(up); });
        }
        pollfd p{from, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0 || Stalled(up)) continue;
        // Throttled: at most a tenth of a second's worth at a time, then the time it takes.
        const uint64_t rate = up ? m_rate.load() : 0;
        const size_t want = rate ? std::clamp<size_t>(rate / 80, 1, sizeof buf) : sizeof buf;
        const ssize_t n = recv(from, buf, want, 0);
        ssize_t sent = 0;
        for (ssize_t k = 1; sent < n && k > 0; sent += std::max<ssize_t>(k, 0))
            k = send(to, buf + sent, static_cast<size_t>(n - sent), MSG_NOSIGNAL);
        if (n <= 0 || sent < n) break;
        if (rate) std::this_thread::sleep_for(std::chrono::microseconds(static_cast<uint64_t>(n) * 8000000 / rate));
    }
    c->Shutdown();
}

}  // namespace sinktest
