#include "FaultProxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>

namespace sinktest {
namespace {

constexpr size_t kChunk = 16384;
// Small socket buffers on the proxy's side so a throttled or stalled proxy pushes back on the
// sender quickly instead of soaking up megabytes.
constexpr int kSocketBuffer = 16384;

void NonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

void SmallBuffers(int fd) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kSocketBuffer, sizeof kSocketBuffer);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSocketBuffer, sizeof kSocketBuffer);
}

int ConnectTarget(int port) {
    if (port <= 0) return -1;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    SmallBuffers(fd);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    NonBlocking(fd);
    return fd;
}

}  // namespace

FaultProxy::FaultProxy(int targetPort) : m_target(targetPort) {}

FaultProxy::~FaultProxy() { Stop(); }

bool FaultProxy::Start() {
    m_listen = socket(AF_INET, SOCK_STREAM, 0);
    if (m_listen < 0 || pipe(m_wake) != 0) return false;
    const int one = 1;
    setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(m_listen, 16) != 0) return false;
    socklen_t len = sizeof a;
    getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len);
    m_port = ntohs(a.sin_port);
    NonBlocking(m_listen);
    NonBlocking(m_wake[0]);
    m_thread = std::thread([this] { Run(); });
    return true;
}

void FaultProxy::Stop() {
    if (m_thread.joinable()) {
        m_stop = true;
        Wake();
        m_thread.join();
    }
    for (Pair& p : m_pairs) ClosePair(p);
    m_pairs.clear();
    if (m_listen >= 0) close(m_listen);
    m_listen = -1;
    for (int& fd : m_wake) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
}

void FaultProxy::Wake() {
    if (m_wake[1] >= 0) {
        const char c = 1;
        [[maybe_unused]] ssize_t n = write(m_wake[1], &c, 1);
    }
}

void FaultProxy::Throttle(uint64_t bitsPerSecond) {
    m_rate = bitsPerSecond;
    Wake();
}
void FaultProxy::Cut() {
    m_cut = true;
    Wake();
}
void FaultProxy::Stall(bool on) {
    m_stall = on;
    Wake();
}
void FaultProxy::SetTarget(int port) { m_target = port; }

int FaultProxy::Open() {
    std::lock_guard<std::mutex> g(m_mutex);
    return static_cast<int>(m_pairs.size());
}

void FaultProxy::ClosePair(Pair& p) {
    if (p.client >= 0) close(p.client);
    if (p.server >= 0) close(p.server);
    p.client = p.server = -1;
}

void FaultProxy::Run() {
    using clock = std::chrono::steady_clock;
    double tokens = 0;  // bytes the throttle lets through now
    auto lastRefill = clock::now();
    while (!m_stop) {
        if (m_cut.exchange(false)) {
            std::lock_guard<std::mutex> g(m_mutex);
            for (Pair& p : m_pairs) ClosePair(p);
            m_pairs.clear();
        }
        const uint64_t rate = m_rate.load();
        const auto now = clock::now();
        const double elapsed = std::chrono::duration<double>(now - lastRefill).count();
        lastRefill = now;
        // At most a tenth of a second of burst, so the rate holds over short spans too.
        tokens = rate ? std::min(tokens + elapsed * static_cast<double>(rate) / 8.0, static_cast<double>(rate) / 80.0 + 1)
                      : 0;
        const bool stalled = m_stall.load();
        const bool mayReadUp = !stalled && (rate == 0 || tokens >= 1.0);

        std::vector<pollfd> fds;
        fds.push_back({m_listen, POLLIN, 0});
        fds.push_back({m_wake[0], POLLIN, 0});
        for (const Pair& p : m_pairs) {
            short c = 0, s = 0;
            if (!stalled) {
                if (p.up.empty() && mayReadUp) c |= POLLIN;
                if (!p.down.empty()) c |= POLLOUT;
                if (p.down.empty()) s |= POLLIN;
                if (!p.up.empty()) s |= POLLOUT;
            }
            fds.push_back({p.client, c, 0});
            fds.push_back({p.server, s, 0});
        }
        int timeout = 100;
        if (rate && !stalled && tokens < 1.0) timeout = 5;
        if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) break;
        if (fds[1].revents & POLLIN) {
            char buf[64];
            while (read(m_wake[0], buf, sizeof buf) > 0) {
            }
        }
        if (fds[0].revents & POLLIN) {
            for (;;) {
                const int c = accept(m_listen, nullptr, nullptr);
                if (c < 0) break;
                ++m_accepted;
                SmallBuffers(c);
                const int s = ConnectTarget(m_target.load());
                if (s < 0) {
                    close(c);
                    continue;
                }
                NonBlocking(c);
                std::lock_guard<std::mutex> g(m_mutex);
                m_pairs.push_back(Pair{c, s, {}, {}});
            }
        }
        uint8_t buf[kChunk];
        for (size_t i = 0; i < m_pairs.size() && 2 + 2 * i + 1 < fds.size(); ++i) {
            Pair& p = m_pairs[i];
            const pollfd& cf = fds[2 + 2 * i];
            const pollfd& sf = fds[2 + 2 * i + 1];
            bool dead = (cf.revents & (POLLERR | POLLNVAL)) || (sf.revents & (POLLERR | POLLNVAL));
            if (!dead && (cf.revents & (POLLIN | POLLHUP)) && (cf.events & POLLIN)) {
                size_t want = kChunk;
                if (rate) want = std::min<size_t>(want, static_cast<size_t>(tokens));
                const ssize_t n = want ? recv(p.client, buf, want, 0) : 0;
                if (n > 0) {
                    p.up.assign(buf, buf + n);
                    if (rate) tokens -= static_cast<double>(n);
                } else if (n == 0 && want) {
                    dead = true;
                } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                    dead = true;
                }
            }
            if (!dead && (sf.revents & (POLLIN | POLLHUP)) && (sf.events & POLLIN)) {
                const ssize_t n = recv(p.server, buf, kChunk, 0);
                if (n > 0) p.down.assign(buf, buf + n);
                else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) dead = true;
            }
            if (!dead && !p.up.empty() && !stalled) {
                const ssize_t n = send(p.server, p.up.data(), p.up.size(), MSG_NOSIGNAL);
                if (n > 0) {
                    m_bytesUp += static_cast<uint64_t>(n);
                    p.up.erase(p.up.begin(), p.up.begin() + n);
                } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                    dead = true;
                }
            }
            if (!dead && !p.down.empty() && !stalled) {
                const ssize_t n = send(p.client, p.down.data(), p.down.size(), MSG_NOSIGNAL);
                if (n > 0) {
                    m_bytesDown += static_cast<uint64_t>(n);
                    p.down.erase(p.down.begin(), p.down.begin() + n);
                } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                    dead = true;
                }
            }
            if (dead) ClosePair(p);
        }
        std::lock_guard<std::mutex> g(m_mutex);
        m_pairs.erase(std::remove_if(m_pairs.begin(), m_pairs.end(), [](const Pair& p) { return p.client < 0; }),
                      m_pairs.end());
    }
}

}  // namespace sinktest
