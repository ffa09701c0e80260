// CTCPClient: construction, connection life cycle, receive thread, sniffer plug. The send path
// is in TCPClientSend.cpp.
#include "net/TCPClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <climits>
#include <mutex>
#include <unistd.h>

#include "foundation/Log.h"
#include "net/TCPSniffer.h"

namespace {

constexpr int kSnifferStartFailed = static_cast<int>(0x80004005u);

// The first client of the process announces the network stack once. POSIX sockets need no
// start-up call; SIGPIPE is avoided per call with MSG_NOSIGNAL, so nothing process-wide changes.
void SocketInit() {
    static std::once_flag once;
    std::call_once(once, [] {
        char path[261] = {0};
        const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
        if (n > 0) path[n] = '\0';
        LogTrace(1, "SocketInit %s", path);
    });
}

std::mutex g_snifferFactoryMutex;  // guards g_snifferFactory; any thread, leaf lock
CTCPClient::SnifferFactory g_snifferFactory = net::MakeTCPSniffer;

// A value read from the settings, with the fallback for 0 (and for nonsense below 0).
int WithFallback(int value, int fallback) { return value <= 0 ? fallback : value; }

}  // namespace

CTCPClient::CTCPClient() {
    platform::CAutoLock g(m_SocketLock);
    SocketInit();
    m_ReceiveBuffer.resize(static_cast<size_t>(m_iReceiveBufferSize));
    m_ReceiveThread.Start([this](void*, CWorkerThread* self) { ReceiveThreadProc(self); }, this,
                          "CTCPClient::CTCPClient:th_thread");
}

CTCPClient::~CTCPClient() {
    Terminate();
    // Terminate normally leaves nothing running; these only matter if it could not.
    if (m_SendThread.IsCreated()) m_SendThread.Stop(1000);
    if (m_ReceiveThread.IsCreated()) m_ReceiveThread.Stop(1000);
}

int CTCPClient::Connect(TCPClientParams params) {
    if (IsConnected()) Close();
    // No receive pass may run while the socket is replaced: a pass of the old connection could
    // otherwise close the new one.
    platform::CAutoLock loop(m_ReceiveLoopLock);

    m_iSendTimeoutFlag.store(0);
    const int noDelay = getRegistryKey(KEY_TCPCLIENT, "TcpNoDelay", params.noDelay);
    const int tcpBufSize =
        WithFallback(getRegistryKey(KEY_TCPCLIENT, "TcpBufSize", params.socketBufferSize), kDefaultTcpBufSize);
    const int sendTimeout =
        WithFallback(getRegistryKey(KEY_TCPCLIENT, "SendTimeout", params.sendTimeout), kDefaultSendTimeoutMs);
    const int receiveTimeout = WithFallback(getRegistryKey(KEY_TCPCLIENT, "ReceiveTimeout", params.receiveTimeout),
                                            kDefaultReceiveTimeoutMs);

    addrinfo* raw = nullptr;
    const int resolved = Resolve(params.host.c_str(), params.port, &raw);
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(raw, &freeaddrinfo);
    if (resolved != 0 || !list) return TCP_SOCKET_FAILED;

    int rc = CreateSocket(list->ai_family);
    if (rc != TCP_OK) return rc;
    const int currentBufSize = GetSendBufferSize();
    SetReceiveTimeout(static_cast<uint32_t>(receiveTimeout));
    SetSendTimeout(static_cast<uint32_t>(sendTimeout));

    SetTlsOptions({params.verifyPeer != 0, params.caFile});
    rc = ConnectSocket(params.host.c_str(), params.port, params.connectTimeout, params.secure != 0, list.get(),
                       false);
    if (rc != TCP_OK) return rc;

    platform::CAutoLock g(m_SocketLock);
    // A delay below 1 ms would turn the idle receive thread into a busy loop.
    m_iSleepDelay.store(std::max(1, params.sleepDelay));
    if (tcpBufSize != currentBufSize) SetSendBufferSize(tcpBufSize);

    LogTrace(1, "CTCPClient::Connect %s: %d sockbuf %d %d buf %d %d nodelay %d timeouts %d %d", params.host.c_str(),
             params.port, params.socketBufferSize, tcpBufSize, params.sendBufferSize, params.sendPacketSize, noDelay,
             sendTimeout, receiveTimeout);
    SetNoDelay(noDelay == 0);

    if (params.sendBufferSize > 0 && params.sendPacketSize > 0 && params.sendPacketSize < params.sendBufferSize) {
        platform::CAutoLock b(m_SendBufferLock);
        send_buffer = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(params.sendBufferSize));
        send_buffer_aux = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(params.sendBufferSize));
        send_buffer_size.store(params.sendBufferSize);
        bSendBuffered.store(1);
    } else {
        bSendBuffered.store(0);
        LogTrace(1, "CTCPClient::Connect Warning: buffered send is disabled");
    }

    estimated_output_bandwidth.store(0.0);
    m_uTotalBytesSent.store(0);
    {
        platform::CAutoLock b(m_SendBufferLock);
        send_buffer_fillness.store(0);
        ForgetMessageMarks();
    }
    m_iLastSendResult.store(0);
    send_packet_size.store(params.sendPacketSize);
    ev_send_thread_exit.Reset();

    m_iStoredSendTimeout.store(sendTimeout);
    m_iStoredReceiveTimeout.store(receiveTimeout);
    if (bSendBuffered.load()) {
        m_SendThread.Start([this](void*, CWorkerThread* self) { SendThreadProc(self); }, this,
                           "CTCPClient::Connect:th_send_thread");
    }

    m_StoredParams = params;
    m_StoredParams.socketBufferSize = tcpBufSize;
    m_StoredParams.sendTimeout = sendTimeout;
    m_StoredParams.receiveTimeout = receiveTimeout;
    m_StoredParams.noDelay = noDelay;
    return TCP_OK;
}

bool CTCPClient::Close() {
    LogTrace(4, "CTCPClient::Close:+");
    DestroySniffer();
    ev_send_thread_exit.Set();
    WakeSendThread();
    if (m_SendThread.IsCreated()) {
        LogTrace(5, "CTCPClient::Close: waiting for thread");
        m_SendThread.Stop(static_cast<uint32_t>(m_iStoredSendTimeout.load()) + 2000u);
        LogTrace(5, "CTCPClient::Close: thread closed - freeing buffers");
    }
    ReleaseSendBuffers();
    TCPShutDown();
    LogTrace(4, "CTCPClient::Close:-");
    return true;
}

void CTCPClient::ReleaseSendBuffers() {
    platform::CAutoLock b(m_SendBufferLock);
    send_buffer_size.store(0);
    send_buffer_fillness.store(0);
    ForgetMessageMarks();
    if (send_buffer) {
        LogTrace(5, "CTCPClient::Close: free send_buffer");
        send_buffer.reset();
    }
    if (send_buffer_aux) {
        LogTrace(5, "CTCPClient::Close: free send_buffer_aux");
        send_buffer_aux.reset();
    }
}

bool CTCPClient::Terminate() {
    if (m_ReceiveThread.IsCreated()) {
        LogTrace(5, "CTCPClient::Close() - closing active thread");
        m_evReceiveStop.Set();
        m_ReceiveThread.Stop(static_cast<uint32_t>(m_iStoredReceiveTimeout.load()) + 2000u);
    }
    if (IsConnected()) Close();
    platform::CAutoLock g(m_SocketLock);
    LogTrace(5, "CTCPClient::Close() - closing active thread/buffer");
    std::vector<uint8_t>().swap(m_ReceiveBuffer);
    return true;
}

void CTCPClient::OnReceive(const uint8_t*, int, std::atomic<bool>*) { LogTrace(4, "OnReceive\n"); }

void CTCPClient::OnCloseConnection() { LogTrace(4, "OnCloseConnection\n"); }

bool CTCPClient::WaitUntilClosed() {
    if (IsConnected()) return false;
    platform::CAutoLock loop(m_ReceiveLoopLock);
    return !IsConnected();
}

TCPClientParams CTCPClient::GetStoredParams() {
    platform::CAutoLock g(m_SocketLock);
    return m_StoredParams;
}

void CTCPClient::ReceiveThreadProc(CWorkerThread* self) {
    LogTrace(3, "CTCPClient::receive_thread_proc");
    bool stop = false;
    while (!stop) {
        if (m_evReceiveStop.Wait(static_cast<uint32_t>(m_iSleepDelay.load())) || !self->IsRunning()) break;
        for (;;) {
            platform::CAutoLock loop(m_ReceiveLoopLock);
            if (!IsConnected()) break;
            // Looked at on every pass (cheap) so a client destroyed while connected still gets
            // its receive thread back within one receive time-out.
            if (m_evReceiveStop.IsSet() || !self->IsRunning()) {
                stop = true;
                break;
            }
            int received = 0;
            const int rc = Recv(m_ReceiveBuffer.data(), m_iReceiveBufferSize, &received);
            if (rc == TCP_DATA_PRESENT) {
                if (received > 0) {
                    OnReceive(m_ReceiveBuffer.data(), received, &m_bReconnectRequest);
                } else {
                    LogTrace(3, "CTCPClient::Receive returned unexpected %d", rc);
                }
            } else if (rc == TCP_SHUTDOWN) {
                LogTrace(3, "CTCPClient::Receive returned error %d", rc);
                if (!IsConnected()) {
                    // Another thread closed the socket on purpose (Close, or a Connect replacing
                    // the connection): nothing was lost, so there is nothing to report.
                } else if (!m_bReconnectRequest.load()) {
                    OnCloseConnection();
                    Close();
                } else {
                    CTCPClient::Close();
                    const int again = Connect(GetStoredParams());
                    m_bReconnectRequest.store(false);
                    LogTrace(3, "CTCPClient::Receive: reconnected on request: %d", again);
                    if (again == TCP_OK && m_OnReconnected) m_OnReconnected();
                }
            } else if (rc == TCP_TIMEOUT) {
                if (m_iSendTimeoutFlag.load() != 0) {
                    LogTrace(3, "CTCPClient::Receive detected receive and send timeout - closing connection");
                    OnCloseConnection();
                    Close();
                }
            } else {
                LogTrace(3, "CTCPClient::Receive returned unexpected %d", rc);
                // Such a result comes back at once; pausing keeps it from becoming a busy loop.
                if (m_evReceiveStop.Wait(static_cast<uint32_t>(m_iSleepDelay.load()))) {
                    stop = true;
                    break;
                }
            }
        }
    }
    LogTrace(3, "CTCPClient::receive_thread_proc sleep_delay timeout! %d", m_iSleepDelay.load());
    LogTrace(3, "CTCPClient::receive_thread_proc exit");
}

void CTCPClient::SetSnifferFactory(SnifferFactory factory) {
    std::lock_guard<std::mutex> g(g_snifferFactoryMutex);
    g_snifferFactory = std::move(factory);
}

int CTCPClient::StartSniffer() {
    platform::CAutoLock g(m_SocketLock);
    if (m_pSniffer) return 0;
    std::unique_ptr<ITCPSniffer> sniffer;
    {
        std::lock_guard<std::mutex> f(g_snifferFactoryMutex);
        if (g_snifferFactory) sniffer = g_snifferFactory();
    }
    if (!sniffer) return kSnifferStartFailed;
    const int rc = sniffer->Init();
    if (rc < 0) return rc;
    m_pSniffer = std::move(sniffer);
    return 0;
}

void CTCPClient::AddSnifferPortPair(int localPort, int remotePort) {
    platform::CAutoLock g(m_SocketLock);
    if (m_pSniffer) m_pSniffer->addPortPairToWatch(localPort, remotePort);
}

void CTCPClient::DestroySniffer() {
    platform::CAutoLock g(m_SocketLock);
    m_pSniffer.reset();
}

int CTCPClient::GetPeerPort() const {
    const int fd = GetSocketHandle();
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (fd == kNoSocket || getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return -1;
    return peer.ss_family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_port)
                                      : ntohs(reinterpret_cast<const sockaddr_in*>(&peer)->sin_port);
}

void CTCPClient::WatchConnection() {
    const int local = GetOwnPort(), remote = GetPeerPort();
    if (local > 0 && remote > 0) AddSnifferPortPair(local, remote);
}

TCPSnifferStats CTCPClient::GetSnifferStats(int localPort, int remotePort) {
    platform::CAutoLock g(m_SocketLock);
    return m_pSniffer ? m_pSniffer->Statistics(localPort, remotePort) : TCPSnifferStats{};
}
