#include "net/TCPBase.h"

#include "net/TCPBaseSocketUse.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "foundation/Log.h"
#include "platform/Clock.h"

namespace {

// AF_INET6 has the number 23 on Windows; callers that carry that number still get IPv6.
constexpr int kWindowsInet6 = 23;

struct Candidate {
    sockaddr_storage address{};
    socklen_t length = 0;
    int family = AF_INET;
};

void AddressText(const sockaddr* sa, char* out, size_t size) {
    out[0] = '\0';
    if (sa->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, out, size);
    } else if (sa->sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, out, size);
    }
}

bool IsBlocking(int fd) {
    if (fd < 0) return true;
    int flags = fcntl(fd, F_GETFL);
    return flags < 0 || (flags & O_NONBLOCK) == 0;
}

// What a TLS handshake may take when no connect time-out is set.
constexpr int kHandshakeDefaultMs = 10000;

// What is left of a connect time-out of `seconds` begun at `start`: -1 without a bound, else at
// least 0.
int RemainingMs(uint32_t start, int seconds) {
    if (seconds <= 0) return -1;
    const uint32_t limit = static_cast<uint32_t>(seconds) * 1000u;
    const uint32_t spent = platform::timeGetTime() - start;
    return spent >= limit ? 0 : static_cast<int>(limit - spent);
}


// What TCPShutDown reads and discards before it closes: enough for any reply still in flight, yet
// bounded so a peer that never stops sending cannot hold the close.
constexpr int kDrainLimitBytes = 1 << 20;
// How long TCPShutDown waits for a send or receive to leave the socket it has shut down. They
// return at once after shutdown(); the bound only keeps a broken peer call from hanging the close.
constexpr uint32_t kSocketUsersWaitMs = 5000;
constexpr uint32_t kSocketUsersSliceMs = 50;

}  // namespace

CTCPBase::CTCPBase() : m_pCalls(&net::SystemSocketCalls()), m_iAbortFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CTCPBase::~CTCPBase() {
    if (m_socket.load() != kNoSocket) TCPShutDown();
    if (m_iAbortFd >= 0) ::close(m_iAbortFd);
}

void CTCPBase::AbortConnects(bool on) {
    m_bAbortConnects.store(on);
    if (m_iAbortFd < 0) return;
    uint64_t count = 1;
    // The counter stays above 0 (readable) until it is read back to 0 when turned off.
    ssize_t r;
    do {
        r = on ? ::write(m_iAbortFd, &count, sizeof count) : ::read(m_iAbortFd, &count, sizeof count);
    } while (r < 0 && errno == EINTR);
}

void CTCPBase::SetSocketCalls(const net::SocketCalls* calls) {
    m_pCalls.store(calls ? calls : &net::SystemSocketCalls());
}

int CTCPBase::CreateSocket(int family) {
    platform::CAutoLock g(m_SocketLock);
    const int af = (family == AF_INET6 || family == kWindowsInet6) ? AF_INET6 : AF_INET;
    int fd = ::socket(af, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    m_socket.store(fd < 0 ? kNoSocket : fd);
    if (fd < 0) {
        LogTrace(1, "create socket(AF_INET, SOCK_STREAM, IPPROTO_TCP) FAILED");
        return TCP_SOCKET_FAILED;
    }
    return TCP_OK;
}

int CTCPBase::Resolve(const char* host, int port, addrinfo** result) {
    char service[10];
    snprintf(service, sizeof service, "%d", port);
    addrinfo hints{};
    hints.ai_flags = 0;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    *result = nullptr;
    return getaddrinfo(host, service, &hints, result);
}

int CTCPBase::ConnectOne(const sockaddr* address, socklen_t addressLength, int timeoutMs) {
    const int fd = m_socket.load();
    if (m_bAbortConnects.load()) {
        LogTrace(1, "connect called off: the connection is being closed");
        return -1;
    }
    // Non-blocking also without a time-out: the wait below then watches the abort descriptor
    // too, which a blocking connect could not.
    net::detail::SetNonBlocking(fd, true);
    int rc = ::connect(fd, address, addressLength);
    const int err = errno;
    if (rc < 0 && net::ClassifySocketError(err, false) == net::SocketError::WouldBlock) {
        // poll with a deadline so a signal cannot stretch the wait.
        const bool withTimeout = timeoutMs >= 0;
        const uint32_t limit = static_cast<uint32_t>(withTimeout ? timeoutMs : 0);
        const uint32_t start = platform::timeGetTime();
        pollfd p[2] = {{fd, POLLOUT, 0}, {m_iAbortFd, POLLIN, 0}};
        int ready;
        for (;;) {
            const uint32_t spent = platform::timeGetTime() - start;
            const int wait = !withTimeout ? -1 : spent >= limit ? 0 : static_cast<int>(limit - spent);
            ready = ::poll(p, m_iAbortFd >= 0 ? 2 : 1, wait);
            if (ready < 0 && errno == EINTR) continue;
            break;
        }
        if (ready > 0 && m_iAbortFd >= 0 && (p[1].revents & POLLIN) != 0) {
            LogTrace(1, "connect called off: the connection is being closed");
            rc = -1;
        } else if (ready == 0) {
            LogTrace(1, "select timeout");
            rc = -1;
        } else if (ready < 0) {
            LogTrace(1, "select error: %i", errno);
            rc = -1;
        } else {
            // Unlike Winsock, a refused connect also shows as writable: SO_ERROR tells them apart.
            int soError = 0;
            socklen_t len = sizeof soError;
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0) soError = errno;
            if (soError != 0) {
                LogTrace(1, "select error: %i", soError);
                rc = -1;
            } else {
                LogTrace(1, "select success");
                rc = 0;
            }
        }
    }
    net::detail::SetNonBlocking(fd, false);
    return rc;
}

int CTCPBase::ConnectSocket(const char* host, int port, int connectTimeoutSec, bool secure, const addrinfo* list,
                            bool useLiteralAddress) {
    platform::CAutoLock g(m_SocketLock);
    const uint32_t start = platform::timeGetTime();
    if (connectTimeoutSec > 0) LogTrace(1, "using timeout: %i seconds", connectTimeoutSec);
    m_bSecure = false;
    {
        platform::CAutoLock t(m_TlsLock);
        m_sTransportError.clear();
        m_pTls.reset();
    }

    std::vector<Candidate> candidates;
    if (useLiteralAddress) {
        Candidate c;
        auto* v4 = reinterpret_cast<sockaddr_in*>(&c.address);
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&c.address);
        if (inet_pton(AF_INET, host, &v4->sin_addr) == 1) {
            v4->sin_family = AF_INET;
            v4->sin_port = htons(static_cast<uint16_t>(port));
            c.length = sizeof(sockaddr_in);
            c.family = AF_INET;
            candidates.push_back(c);
        } else if (inet_pton(AF_INET6, host, &v6->sin6_addr) == 1) {
            v6->sin6_family = AF_INET6;
            v6->sin6_port = htons(static_cast<uint16_t>(port));
            c.length = sizeof(sockaddr_in6);
            c.family = AF_INET6;
            candidates.push_back(c);
        }
    } else {
        for (const addrinfo* ai = list; ai; ai = ai->ai_next) {
            if ((ai->ai_family != AF_INET && ai->ai_family != AF_INET6) || ai->ai_addrlen > sizeof(sockaddr_storage))
                continue;
            Candidate c;
            memcpy(&c.address, ai->ai_addr, ai->ai_addrlen);
            c.length = ai->ai_addrlen;
            c.family = ai->ai_family;
            candidates.push_back(c);
        }
    }

    int error = TCP_OK;
    if (!useLiteralAddress && list == nullptr) {
        LogTrace(1, "getaddrinfo FAILED (server=\"%s\", port=\"%i\")", host, port);
        LogTrace(3, "connect to server IP=(%s)", host);
        error = TCP_CONNECT_FAILED;
    } else {
        bool connected = false;
        for (size_t i = 0; i < candidates.size() && !connected; ++i) {
            const Candidate& c = candidates[i];
            // One bound for all addresses together: a name with many dead addresses must not
            // multiply the wait the user set.
            const int left = RemainingMs(start, connectTimeoutSec);
            if (left == 0) {
                LogTrace(1, "select timeout");
                break;
            }
            char ip[INET6_ADDRSTRLEN];
            AddressText(reinterpret_cast<const sockaddr*>(&c.address), ip, sizeof ip);
            LogTrace(2, "getaddrinfo (server=\"%s\", port=\"%i\") server IP=(%s)", host, port, ip);
            // A failed attempt leaves the socket unusable, and the family must match the
            // address: every further attempt gets a fresh socket with the stored time-outs.
            int fd = m_socket.load();
            int domain = 0;
            socklen_t len = sizeof domain;
            const bool familyMatches =
                fd != kNoSocket && getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) == 0 && domain == c.family;
            if (i > 0 || !familyMatches) {
                if (fd != kNoSocket) {
                    m_socket.store(kNoSocket);
                    ::close(fd);
                }
                if (CreateSocket(c.family) != TCP_OK) continue;
                if (m_uReceiveTimeoutMs.load() != 0) SetReceiveTimeout(0);
                if (m_uSendTimeoutMs.load() != 0) SetSendTimeout(0);
            }
            const int rc = ConnectOne(reinterpret_cast<const sockaddr*>(&c.address), c.length, left);
            LogTrace(3, "connect to server IP=(%s)", ip);
            if (rc == 0) {
                connected = true;
            } else {
                LogTrace(3, "connect to server IP=(%s)", ip);
            }
        }
        if (!connected) error = TCP_CONNECT_FAILED;
    }

    const int fd = m_socket.load();
    sockaddr_storage own{};
    socklen_t ownLength = sizeof own;
    if (fd == kNoSocket || getsockname(fd, reinterpret_cast<sockaddr*>(&own), &ownLength) != 0) {
        LogTrace(3, "getsockname failed");
    } else {
        unsigned port = own.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&own)->sin6_port)
                                                  : ntohs(reinterpret_cast<sockaddr_in*>(&own)->sin_port);
        LogTrace(3, "getsockname: own port number %u", port);
        m_iOwnPort.store(static_cast<int>(port));
    }

    if (error == TCP_OK && fd != kNoSocket && secure) {
        // Without a connect time-out the handshake still needs a bound: a server that accepts
        // and then stays silent would otherwise hold the connect for ever.
        const int left = connectTimeoutSec > 0 ? RemainingMs(start, connectTimeoutSec) : kHandshakeDefaultMs;
        error = TlsHandshake(host, fd, left);
    }
    // Also set after a failed connect while the socket is still open: only TCPShutDown clears it.
    SetConnected(fd != kNoSocket);
    return error;
}

int CTCPBase::GetSendBufferSize() {
    int size = 0;
    socklen_t len = sizeof size;
    const int rc = getsockopt(m_socket.load(), SOL_SOCKET, SO_SNDBUF, &size, &len);
    LogTrace(6, "getsockopt buffer=%d", size);
    if (rc != 0) {
        LogTrace(1, "getsockopt FAILED: %d", rc);
        return -1;
    }
    return size;
}

int CTCPBase::SetSendBufferSize(int bytes) {
    if (setsockopt(m_socket.load(), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) != 0) {
        LogTrace(2, "setsockopt FAILED: buffer=%d", bytes);
        return -1;
    }
    LogTrace(3, "setsockopt buffer=%d", bytes);
    return 0;
}

bool CTCPBase::ApplyTimeout(int option, uint32_t ms, const char* name) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    if (setsockopt(m_socket.load(), SOL_SOCKET, option, &tv, sizeof tv) != 0) {
        LogTrace(2, "setsockopt %s FAILED: timeoutms=%d", name, static_cast<int>(ms));
        return false;
    }
    LogTrace(3, "setsockopt %s timeoutms=%d", name, static_cast<int>(ms));
    return true;
}

int CTCPBase::SetReceiveTimeout(uint32_t ms) {
    if (ms != 0) m_uReceiveTimeoutMs.store(ms);
    if (m_socket.load() == kNoSocket) return 1;
    const uint32_t stored = m_uReceiveTimeoutMs.load();
    if (stored == 0) return -2;
    return ApplyTimeout(SO_RCVTIMEO, stored, "SO_RCVTIMEO") ? 0 : -1;
}

int CTCPBase::SetSendTimeout(uint32_t ms) {
    if (ms != 0) m_uSendTimeoutMs.store(ms);
    if (m_socket.load() == kNoSocket) return 1;
    const uint32_t stored = m_uSendTimeoutMs.load();
    if (stored == 0) return -2;
    return ApplyTimeout(SO_SNDTIMEO, stored, "SO_SNDTIMEO") ? 0 : -1;
}

int CTCPBase::SetNoDelay(bool disable) {
    const int value = disable ? 0 : 1;
    if (setsockopt(m_socket.load(), IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) != 0) {
        LogTrace(2, "setsockopt FAILED: IPPROTO_TCP, TCP_NODELAY=%d", value);
        return TCP_SOCKOPT_FAILED;
    }
    LogTrace(3, "setsockopt IPPROTO_TCP, TCP_NODELAY=%d", value);
    return TCP_OK;
}

int CTCPBase::Send(const uint8_t* data, int length) {
    platform::CAutoLock g(m_SendLock);
    if (m_bSecure.load()) LogTrace(6, "CTCPBase::Send SSL %d", length);
    else LogTrace(6, "CTCPBase::Send %d", length);
    return SendAll(data, length);
}

int CTCPBase::SendAll(const uint8_t* data, int length) {
    if (length < 1) return TCP_NO_DATA;
    if (m_bSecure.load()) return TlsSend(data, length);
    // A whole-buffer send belongs to one connection: once that socket is shut down, the rest must
    // neither go to a later socket nor be reported as anything but a shut-down connection.
    return SendPiece(data, length, TCP_NO_DATA, m_uSocketGeneration.load());
}

int CTCPBase::SendAvailable(const uint8_t* data, int length) {
    platform::CAutoLock g(m_SendLock);
    const net::SocketCalls* calls = m_pCalls.load();
    if (length < 1 || m_bSecure.load() || calls->sendAvailable == nullptr) return 0;
    SocketUse use(*this);
    if (use.closing || use.fd == kNoSocket) return 0;
    // Only when the socket plainly has room: a socket that takes just part of the data cuts it
    // off inside a packet. The kernel doubles the SO_SNDBUF value it is given to allow for its
    // own bookkeeping, so half of what reads back, less the bytes queued, is the payload room.
    int sendBuffer = 0;
    socklen_t optionLength = sizeof sendBuffer;
    int queued = 0;
    if (getsockopt(use.fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, &optionLength) != 0 ||
        ioctl(use.fd, SIOCOUTQ, &queued) != 0 || static_cast<int64_t>(queued) + length > sendBuffer / 2)
        return 0;
    const ssize_t sent = calls->sendAvailable(use.fd, data, static_cast<size_t>(length));
    LogTrace(5, "Result send (no wait): %d", static_cast<int>(sent));
    return sent > 0 ? static_cast<int>(sent) : 0;
}

int CTCPBase::SendPiece(const uint8_t* data, int length, int result, uint32_t generation) {
    const net::SocketCalls* calls = m_pCalls.load();
    int offset = 0;
    while (length - offset > 0) {
        const int remaining = length - offset;
        LogTrace(5, "Send tail_pos:%d size:%d data_size:%d", offset, remaining, length);
        ssize_t sent;
        int err;
        bool blocking;
        {
            SocketUse use(*this);
            if (use.closing || use.generation != generation) {
                sent = -1;
                err = EPIPE;
                blocking = true;
            } else {
                sent = calls->send(use.fd, data + offset, static_cast<size_t>(remaining));
                err = errno;
                blocking = sent > 0 || IsBlocking(use.fd);
            }
        }
        LogTrace(5, "Result send: %d", static_cast<int>(sent));
        if (sent > 0) {
            offset += static_cast<int>(sent);
            result = TCP_DATA_PRESENT;
            continue;
        }
        const net::SocketError kind = sent == 0 ? net::SocketError::Other : net::ClassifySocketError(err, blocking);
        switch (kind) {
            case net::SocketError::WouldBlock:
                LogTrace(3, "TcpSend error: %d (Operation would block)", err);
                return TCP_ERROR;
            case net::SocketError::MessageTooLong:
                if (remaining > 1) {
                    const int first = remaining / 2;
                    const int firstResult = SendPiece(data + offset, first, result, generation);
                    return SendPiece(data + offset + first, remaining - first, firstResult, generation);
                }
                LogTrace(3, "TcpSend error: %d (unknown)", err);
                return TCP_ERROR;
            case net::SocketError::Reset:
                LogTrace(3, "TcpSend error: %d (connection reset by remote host)", err);
                return TCP_SHUTDOWN;
            case net::SocketError::NoBuffers:
                LogTrace(3, "TcpSend error: %d (no buffers)", err);
                return result;
            case net::SocketError::Shutdown:
                LogTrace(3, "TcpSend error: %d (connection shutdown)", err);
                return TCP_SHUTDOWN;
            case net::SocketError::TimedOut:
                LogTrace(3, "TcpSend error: %d (send timed out)", err);
                return TCP_TIMEOUT;
            case net::SocketError::None:
            case net::SocketError::Other:
                LogTrace(3, "TcpSend error: %d (unknown)", sent == 0 ? 0 : err);
                return TCP_ERROR;
        }
    }
    return result;
}

int CTCPBase::Recv(uint8_t* buffer, int capacity, int* received) {
    platform::CAutoLock g(m_RecvLock);
    ssize_t r;
    int err;
    bool blocking;
    {
        SocketUse use(*this);
        if (use.fd == kNoSocket && !use.closing) {
            Log(LOG_CUSTOM1, 0, "CTCPBase::Recv m_socket==0");
            return TCP_ERROR;
        }
        if (m_bSecure.load()) {
            Log(LOG_CUSTOM1, 6, "CTCPBase::Recv SSL %d", capacity);
            return TlsRecv(buffer, capacity, received);
        }
        LogTrace(5, "::Recv buffersize:%d", capacity);
        *received = 0;
        if (use.closing) {
            r = 0;
            err = 0;
            blocking = true;
        } else {
            r = m_pCalls.load()->recv(use.fd, buffer, static_cast<size_t>(capacity > 0 ? capacity : 0));
            err = errno;
            blocking = r >= 0 || IsBlocking(use.fd);
        }
    }
    *received = static_cast<int>(r);
    LogTrace(5, "::recv size:%d", static_cast<int>(r));
    Log(LOG_CUSTOM1, 6, "CTCPBase::Recv %d", static_cast<int>(r));
    if (r > 0) return TCP_DATA_PRESENT;
    if (r < 0 && net::ClassifySocketError(err, blocking) == net::SocketError::TimedOut) {
        LogTrace(4, "Warning: TCP Recv : %d %d (TIMEOUT)", static_cast<int>(r), err);
        return TCP_TIMEOUT;
    }
    LogTrace(2, "Error: TCP Recv : %d %d", static_cast<int>(r), r == 0 ? 0 : err);
    return TCP_SHUTDOWN;
}

bool CTCPBase::IsConnected() {
    platform::CAutoLock g(m_ConnectedLock);
    return m_bConnected;
}

void CTCPBase::SetConnected(bool connected) {
    platform::CAutoLock g(m_ConnectedLock);
    m_bConnected = connected;
}

int CTCPBase::TCPShutDown() {
    LogTrace(7, "TCPShutDown:+");
    // Only the socket lock: a sender holding the send lock may be the caller, and another thread
    // may be blocked in send or recv with its lock; shutdown() below sends them out instead.
    platform::CAutoLock g(m_SocketLock);
    const int fd = m_socket.load();
    if (fd == kNoSocket) m_bSecure = false;
    if (fd != kNoSocket) {
        {
            // Before the FIN, so the server sees the session end on purpose, not cut off.
            platform::CAutoLock t(m_TlsLock);
            if (m_pTls && m_bSecure.load()) m_pTls->SendCloseNotify();
        }
        // Cleared before the socket goes, so a receive woken by this shutdown can tell a
        // deliberate close from a lost connection.
        SetConnected(false);
        LogTrace(1, "TCPShutDown: Shutting down TCP socket");
        // The FIN is queued behind the data still in the send queue, and a send or recv blocked
        // on another thread returns at once.
        ::shutdown(fd, SHUT_RDWR);
        LogTrace(1, "TCPShutDown: Closing TCP socket");
        m_bClosing.store(true);
        m_uSocketGeneration.fetch_add(1);
        m_socket.store(kNoSocket);
        m_bSecure = false;
        WaitForSocketUsers();
        {
            platform::CAutoLock t(m_TlsLock);
            m_pTls.reset();
        }
        // Closing a socket with unread bytes resets the connection, and the peer may then throw
        // away what we sent last and it has not read yet (the final command before a close).
        DrainReceiveQueue(fd);
        if (m_bAbortiveClose.exchange(false)) {
            const linger reset{1, 0};
            if (::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset) != 0)
                LogTrace(1, "TCPShutDown: SO_LINGER failed: %d", errno);
        }
        ::close(fd);
        m_bClosing.store(false);
    }
    LogTrace(7, "TCPShutDown:-");
    return 0;
}

void CTCPBase::WaitForSocketUsers() {
    if (m_iSocketUsers.load() == 0) return;
    m_bWaitingForUsers.store(true);
    // Counted in slices, not read from the clock, so a test clock cannot stretch the bound.
    for (uint32_t waited = 0; m_iSocketUsers.load() != 0; waited += kSocketUsersSliceMs) {
        if (waited >= kSocketUsersWaitMs) {
            Log(LOG_ERROR, 0, "TCPShutDown: a socket call did not return in %u ms", kSocketUsersWaitMs);
            break;
        }
        m_evSocketIdle.Wait(kSocketUsersSliceMs);
    }
    m_bWaitingForUsers.store(false);
    m_evSocketIdle.Reset();
}

void CTCPBase::DrainReceiveQueue(int fd) {
    uint8_t discard[16384];
    for (int total = 0; total < kDrainLimitBytes;) {
        const ssize_t r = ::recv(fd, discard, sizeof discard, MSG_DONTWAIT);
        if (r > 0) {
            total += static_cast<int>(r);
        } else if (r < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
}
