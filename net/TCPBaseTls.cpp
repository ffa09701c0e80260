// CTCPBase over TLS: the handshake after the TCP connect, and Send/Recv through the session.
//
// The socket is non-blocking under TLS and every OpenSSL call is made under m_TlsLock, which is
// never held while waiting: a call that cannot go on returns WantRead/WantWrite, the lock is let
// go and the thread waits on the descriptor with the stored time-out. The receive thread waiting
// for data and the send thread writing thus share the session without blocking each other. A
// TCPShutDown meanwhile wakes every such wait at once (shutdown() makes the descriptor ready).
#include <cerrno>
#include <poll.h>

#include "foundation/Log.h"
#include "net/TCPBase.h"
#include "net/TCPBaseSocketUse.h"
#include "platform/Clock.h"

using net::detail::SetNonBlocking;

namespace {
// How long a write that must read first waits before it looks again (see TlsSend).
constexpr int kTlsReadSliceMs = 50;
}  // namespace

void CTCPBase::SetTlsOptions(net::TlsOptions options) {
    platform::CAutoLock t(m_TlsLock);
    m_TlsOptions = std::move(options);
}

std::string CTCPBase::GetTransportError() {
    platform::CAutoLock t(m_TlsLock);
    return m_sTransportError;
}

int CTCPBase::WaitForSocket(int fd, short events, int timeoutMs, bool abortable) {
    const uint32_t start = platform::timeGetTime();
    pollfd p[2] = {{fd, events, 0}, {m_iAbortFd, POLLIN, 0}};
    const nfds_t count = abortable && m_iAbortFd >= 0 ? 2 : 1;
    for (;;) {
        int wait = -1;
        if (timeoutMs >= 0) {
            const uint32_t spent = platform::timeGetTime() - start;
            wait = spent >= static_cast<uint32_t>(timeoutMs) ? 0 : timeoutMs - static_cast<int>(spent);
        }
        const int ready = ::poll(p, count, wait);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return -1;
        if (ready == 0) return 0;
        if (count == 2 && (p[1].revents & POLLIN) != 0) return -1;
        // An error or hang-up is "ready" too: the next OpenSSL call reports it.
        return 1;
    }
}

int CTCPBase::TlsHandshake(const char* host, int fd, int timeoutMs) {
    net::TlsOptions options;
    {
        platform::CAutoLock t(m_TlsLock);
        options = m_TlsOptions;
    }
    auto fail = [&](const std::string& why) {
        Log(LOG_ERROR, 0, "TLS connect to %s failed: %s", host, why.c_str());
        platform::CAutoLock t(m_TlsLock);
        m_sTransportError = why;
        m_pTls.reset();
        // As after a failed TCP connect: the socket stays open until TCPShutDown.
        SetConnected(true);
        return TCP_CONNECT_FAILED;
    };
    if (!SetNonBlocking(fd, true)) return fail("cannot switch the socket to non-blocking mode");
    std::string error;
    std::unique_ptr<net::TlsSession> session = net::TlsSession::Create(fd, host, options, &error);
    if (!session) return fail(error);
    if (!options.verifyPeer) LogTrace(1, "TLS: the server's certificate is not checked");
    const uint32_t start = platform::timeGetTime();
    for (;;) {
        const net::TlsIo io = session->Handshake();
        if (io == net::TlsIo::Done) break;
        if (io != net::TlsIo::WantRead && io != net::TlsIo::WantWrite) {
            if (!session->VerifyReason().empty())
                Log(LOG_ERROR, 0, "TLS: certificate check: %s", session->VerifyReason().c_str());
            return fail(session->Error());
        }
        int left = -1;
        if (timeoutMs >= 0) {
            const uint32_t spent = platform::timeGetTime() - start;
            left = spent >= static_cast<uint32_t>(timeoutMs) ? 0 : timeoutMs - static_cast<int>(spent);
        }
        const int ready =
            left == 0 ? 0 : WaitForSocket(fd, io == net::TlsIo::WantRead ? POLLIN : POLLOUT, left, true);
        if (ready == 0) return fail("TLS handshake timed out");
        if (ready < 0) {
            if (m_bAbortConnects.load()) {
                LogTrace(1, "connect called off: the connection is being closed");
                return fail("the TLS handshake was called off");
            }
            return fail("TLS handshake failed: cannot wait for the socket");
        }
    }
    LogTrace(1, "TLS session with %s: %s", host, session->Description().c_str());
    {
        platform::CAutoLock t(m_TlsLock);
        m_pTls = std::move(session);
    }
    m_bSecure = true;
    SetConnected(true);
    return TCP_OK;
}

int CTCPBase::TlsSend(const uint8_t* data, int length) {
    const uint32_t generation = m_uSocketGeneration.load();
    int offset = 0;
    int result = TCP_NO_DATA;
    // Like SO_SNDTIMEO: the time-out runs from the last progress, not from the start.
    uint32_t progressAt = platform::timeGetTime();
    while (length - offset > 0) {
        SocketUse use(*this);
        net::TlsIo io = net::TlsIo::Failed;
        int moved = 0;
        int err = EPIPE;
        if (!use.closing && use.fd != kNoSocket && use.generation == generation) {
            platform::CAutoLock t(m_TlsLock);
            if (m_pTls) {
                io = m_pTls->Write(data + offset, length - offset, &moved);
                err = m_pTls->SocketErrno();
            }
        }
        LogTrace(5, "Result send: %d", moved);
        if (io == net::TlsIo::Done) {
            offset += moved;
            result = TCP_DATA_PRESENT;
            progressAt = platform::timeGetTime();
            continue;
        }
        if (io == net::TlsIo::WantRead || io == net::TlsIo::WantWrite) {
            const uint32_t limit = m_uSendTimeoutMs.load();
            int left = -1;
            if (limit != 0) {
                const uint32_t spent = platform::timeGetTime() - progressAt;
                left = spent >= limit ? 0 : static_cast<int>(limit - spent);
            }
            // A write that needs to read first competes with the receive thread for the bytes:
            // it looks again after a short slice instead of waiting for readability it may
            // never see.
            if (io == net::TlsIo::WantRead && (left < 0 || left > kTlsReadSliceMs)) left = kTlsReadSliceMs;
            const int ready =
                left == 0 ? 0 : WaitForSocket(use.fd, io == net::TlsIo::WantRead ? POLLIN : POLLOUT, left, false);
            if (ready == 0 && io == net::TlsIo::WantRead &&
                (limit == 0 || platform::timeGetTime() - progressAt < limit))
                continue;
            if (ready == 0) {
                LogTrace(3, "TcpSend error: %d (send timed out)", EAGAIN);
                return TCP_TIMEOUT;
            }
            continue;
        }
        if (io == net::TlsIo::Failed && err != 0 && net::ClassifySocketError(err, true) == net::SocketError::Reset) {
            LogTrace(3, "TcpSend error: %d (connection reset by remote host)", err);
        } else if (io == net::TlsIo::Failed && err == 0) {
            Log(LOG_ERROR, 1, "TLS send failed: %s", m_pTls ? "protocol error" : "no session");
            LogTrace(3, "TcpSend error: %d (connection shutdown)", err);
        } else {
            LogTrace(3, "TcpSend error: %d (connection shutdown)", err);
        }
        // Whatever broke the session, it cannot carry anything more.
        return TCP_SHUTDOWN;
    }
    return result;
}

int CTCPBase::TlsRecv(uint8_t* buffer, int capacity, int* received) {
    *received = 0;
    const uint32_t start = platform::timeGetTime();
    for (;;) {
        SocketUse use(*this);
        if (use.closing || use.fd == kNoSocket) {
            LogTrace(2, "Error: TCP Recv : %d %d", 0, 0);
            return TCP_SHUTDOWN;
        }
        net::TlsIo io = net::TlsIo::Failed;
        int got = 0;
        int err = 0;
        std::string why = "no session";
        {
            platform::CAutoLock t(m_TlsLock);
            if (m_pTls) {
                io = m_pTls->Read(buffer, capacity > 0 ? capacity : 0, &got);
                err = m_pTls->SocketErrno();
                why = m_pTls->Error();
            }
        }
        if (io == net::TlsIo::Done) {
            *received = got;
            LogTrace(5, "::recv size:%d", got);
            return TCP_DATA_PRESENT;
        }
        if (io == net::TlsIo::WantRead || io == net::TlsIo::WantWrite) {
            const uint32_t limit = m_uReceiveTimeoutMs.load();
            int left = -1;
            if (limit != 0) {
                const uint32_t spent = platform::timeGetTime() - start;
                left = spent >= limit ? 0 : static_cast<int>(limit - spent);
            }
            const int ready =
                left == 0 ? 0 : WaitForSocket(use.fd, io == net::TlsIo::WantRead ? POLLIN : POLLOUT, left, false);
            if (ready == 0) {
                LogTrace(4, "Warning: TCP Recv : %d %d (TIMEOUT)", -1, EAGAIN);
                return TCP_TIMEOUT;
            }
            continue;
        }
        if (io == net::TlsIo::Failed) Log(LOG_ERROR, 1, "TLS receive failed: %s", why.c_str());
        LogTrace(2, "Error: TCP Recv : %d %d", io == net::TlsIo::Closed ? 0 : -1, err);
        return TCP_SHUTDOWN;
    }
}
