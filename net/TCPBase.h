#pragma once
// CTCPBase: one TCP socket with the small, lock-protected set of operations the layers above
// need: create, resolve and connect (optionally with a connect time-out), tune, send a whole
// buffer, receive once, shut down. CTCPClient derives from it and the RTMP client from that, so
// one object is socket, buffered client and protocol client at once.
//
// Virtual slots: 0 destructor, 1 Send. Derived classes keep slot 1 and append their own.
#include <atomic>
#include <cstdint>
#include <memory>
#include <netdb.h>
#include <string>

#include "net/SocketCalls.h"
#include "net/TCPResult.h"
#include "net/TlsSession.h"
#include "platform/Event.h"
#include "platform/ReentrantLock.h"

class CTCPBase {
public:
    static constexpr int kNoSocket = -1;

    CTCPBase();
    virtual ~CTCPBase();
    CTCPBase(const CTCPBase&) = delete;
    CTCPBase& operator=(const CTCPBase&) = delete;

    // Slot 1: the whole buffer goes out, or the result says why not.
    virtual int Send(const uint8_t* data, int length);

    // AF_INET6 (or 23, its number on Windows) gives an IPv6 socket, anything else IPv4.
    int CreateSocket(int family);
    // getaddrinfo for a stream/TCP socket of any family; 0 on success. The caller frees `result`.
    static int Resolve(const char* host, int port, addrinfo** result);
    // Connects to the addresses of `list` in order (or to `host` as a literal address) until one
    // answers. connectTimeoutSec > 0 bounds all attempts together, and the TLS handshake after
    // them when `secure` is set; 0 waits as long as the system does for the TCP connect
    // (AbortConnects ends either wait). Over TLS the socket is non-blocking from then on (the
    // waits are this class's own, with the stored time-outs); otherwise it ends up blocking.
    int ConnectSocket(const char* host, int port, int connectTimeoutSec, bool secure, const addrinfo* list,
                      bool useLiteralAddress);
    // While on, every connect fails at once and one waiting on another thread returns now, so an
    // owner that is closing never waits for a connect (minutes without a connect time-out).
    // Stays on until the owner turns it off again.
    void AbortConnects(bool on);
    bool ConnectsAborted() const { return m_bAbortConnects.load(); }

    int GetSendBufferSize();
    int SetSendBufferSize(int bytes);
    // A non-zero argument is stored first; 0 re-applies the stored value.
    // 0 applied, 1 no socket, -2 nothing stored, -1 setsockopt failed.
    int SetReceiveTimeout(uint32_t ms);
    int SetSendTimeout(uint32_t ms);
    // `disable` true clears TCP_NODELAY (Nagle on), false sets it.
    int SetNoDelay(bool disable);

    int Recv(uint8_t* buffer, int capacity, int* received);

    bool IsConnected();
    void SetConnected(bool connected);
    int TCPShutDown();
    // The next TCPShutDown resets the connection instead of closing it in order: for a stalled
    // connection, whose FIN would wait behind the unsent data and leave the server holding the
    // old session (and the stream name) until its own time-out.
    void SetAbortiveClose() { m_bAbortiveClose.store(true); }

    int GetOwnPort() const { return m_iOwnPort.load(); }
    int GetSocketHandle() const { return m_socket.load(); }

    // How the next secure connect checks the server (kept until changed).
    void SetTlsOptions(net::TlsOptions options);
    // Why the last connect failed when its TLS handshake did, in words a user can act on
    // ("certificate not trusted: <subject>", "host name mismatch", "TLS handshake timed out");
    // empty when the last connect failed otherwise or succeeded.
    std::string GetTransportError();

    // Test seam: replaces the send/recv calls of this object (nullptr restores the system ones).
    void SetSocketCalls(const net::SocketCalls* calls);

protected:
    // The whole-buffer send without locking or secure-transport test; also used by the send thread.
    int SendAll(const uint8_t* data, int length);
    // Hands the socket what it takes at once without waiting, under the send lock: the count
    // taken (0 when it takes nothing now, has no socket or reports any error; a blocking send
    // after it meets the error again and reports it).
    int SendAvailable(const uint8_t* data, int length);

    // Socket descriptor; kNoSocket when there is none. Written under m_SocketLock (create, connect,
    // shutdown); read without it by Send/Recv, which must not wait for a connect to finish.
    std::atomic<int> m_socket{kNoSocket};
    std::atomic<int> m_iOwnPort{-1};
    std::atomic<uint32_t> m_uReceiveTimeoutMs{0};
    std::atomic<uint32_t> m_uSendTimeoutMs{0};

    // Lock order of this class, outermost first (CTCPClient's header gives the whole order):
    //   m_SendLock or m_RecvLock  ->  m_SocketLock  ->  m_ConnectedLock.
    // The send and receive locks are never held together.
    // A thread holding the send or receive lock may shut the socket down (a sender that finds the
    // connection gone); TCPShutDown therefore takes only m_SocketLock and never waits for the send
    // or receive lock. Instead it waits, bounded, until no thread is inside a socket call
    // (m_iSocketUsers), which shutdown() makes happen at once.
    //
    // m_SocketLock: the descriptor's life (create, connect, shutdown and close), the socket options
    // set by Connect, and CTCPClient's sniffer and stored parameters. Taken by the connecting and
    // closing threads, the receive thread when it closes or reconnects, and the constructor.
    platform::CReentrantLock m_SocketLock;
    // m_SendLock: one whole-buffer send, so the bytes of two sends never interleave. Taken by the
    // senders: the producer thread (direct sends) and the send thread (buffered sends).
    platform::CReentrantLock m_SendLock;
    // m_RecvLock: one single receive. Taken by the receive thread (and tests calling Recv).
    platform::CReentrantLock m_RecvLock;
    // m_ConnectedLock: m_bConnected. Innermost, so any thread may poll the flag at any time.
    platform::CReentrantLock m_ConnectedLock;
    bool m_bConnected = false;

    // Set once a TLS session stands on the socket: Send and Recv then go through it. Set by
    // ConnectSocket, cleared by TCPShutDown only after the descriptor has been taken away, so a
    // sender never mistakes a TLS socket for a plain one.
    std::atomic<bool> m_bSecure{false};

private:
    int SendPiece(const uint8_t* data, int length, int result, uint32_t generation);
    bool ApplyTimeout(int option, uint32_t ms, const char* name);
    // timeoutMs < 0: no bound.
    int ConnectOne(const sockaddr* address, socklen_t addressLength, int timeoutMs);
    int TlsHandshake(const char* host, int fd, int timeoutMs);
    int TlsSend(const uint8_t* data, int length);
    int TlsRecv(uint8_t* buffer, int capacity, int* received);
    // Waits for `events` on fd (and the abort descriptor when `abortable`): 1 ready, 0 timed out,
    // -1 called off or failed. timeoutMs < 0: no bound.
    int WaitForSocket(int fd, short events, int timeoutMs, bool abortable);

    // Counts a thread into a socket call on the current descriptor, so TCPShutDown closes the
    // descriptor only after every such call has returned (its number could be reused otherwise).
    class SocketUse;
    void WaitForSocketUsers();
    static void DrainReceiveQueue(int fd);

    std::atomic<const net::SocketCalls*> m_pCalls;
    // Threads inside send/recv (and the error classification after them) on m_socket.
    std::atomic<int> m_iSocketUsers{0};
    // Counts the sockets TCPShutDown has taken away; a send that sees it change lost its socket.
    std::atomic<uint32_t> m_uSocketGeneration{0};
    // Set from the moment TCPShutDown takes the descriptor away until it is closed.
    std::atomic<bool> m_bClosing{false};
    // Set while TCPShutDown waits for m_iSocketUsers to reach 0; the last user then signals.
    std::atomic<bool> m_bWaitingForUsers{false};
    std::atomic<bool> m_bAbortiveClose{false};
    platform::CEvent m_evSocketIdle{false, false};
    // AbortConnects: the flag, and an eventfd that is readable while it is on, which a connect
    // polls next to its socket. -1 when none could be made (the flag is then looked at only
    // before each connect).
    std::atomic<bool> m_bAbortConnects{false};
    int m_iAbortFd = -1;

    // m_TlsLock: m_pTls and every call on it (OpenSSL sessions are not thread safe), plus
    // m_TlsOptions and m_sTransportError. Innermost but for m_ConnectedLock, and held only for a
    // call that never waits: the waits for the socket happen outside it, so the receive thread
    // waiting for data never holds up the send thread. Taken by senders, the receiver, the
    // connecting thread and TCPShutDown (which frees the session only once no thread is inside
    // a socket call).
    platform::CReentrantLock m_TlsLock;
    std::unique_ptr<net::TlsSession> m_pTls;
    net::TlsOptions m_TlsOptions;
    std::string m_sTransportError;
};
