#pragma once
// CRTMPTunnel: the RTMPT state of one RTMP client. The RTMP byte stream travels in numbered HTTP
// POST requests on the client's TCP connection (to the server, or to an HTTP proxy): "open" gives
// the client id, "send" carries RTMP bytes, "idle" polls while nothing is sent; every response
// starts with a polling-interval byte followed by what the server has for us.
//
// Sending collects messages in an aggregation buffer and posts it whenever fewer than
// `MaxPendingHttpRequests` requests are unanswered, so one request carries everything that piled
// up while the previous one was in flight. When a response announces that the HTTP connection
// closes (a proxy that serves one request per connection), the buffer holds everything until the
// transport has reconnected, so nothing is written into a connection the peer is closing.
//
// Threads: the connecting thread (open, the connect sequence and its polls), the multiplex thread
// (media), the transport's receive thread (responses; it also posts what waited for them, and
// reconnects), the idle thread (polls after a second without a data request).
#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "foundation/WorkerThread.h"
#include "platform/Event.h"
#include "platform/ReentrantLock.h"
#include "rtmp/RtmptHttp.h"

class CTCPClient;

class CRTMPTunnel {
public:
    static constexpr int32_t kBufferCapacity = 0x500000;
    static constexpr int32_t kSendThreshold = 2097152;

    explicit CRTMPTunnel(CTCPClient& transport) : m_Transport(transport) {}
    ~CRTMPTunnel() { StopIdleThread(); }
    CRTMPTunnel(const CRTMPTunnel&) = delete;
    CRTMPTunnel& operator=(const CRTMPTunnel&) = delete;

    // A new connect attempt: numbering, counts, buffers and events start afresh. `host` and
    // `port` name the RTMP server (the proxy form writes them into each request line).
    void Begin(const std::string& host, int port, bool viaProxy, uint32_t waitDelayMs);
    // Posts "open" and waits up to `waitMs` for the client id. false when none came (logged).
    bool Open(uint32_t waitMs);
    bool IsOpen() const { return m_evOpen.IsSet(); }
    bool ViaProxy() const { return m_bViaProxy.load(); }

    // Already encoded bytes (handshake blocks): one "send" request at once.
    int SendRaw(const uint8_t* data, int length, bool block);
    // A framed message (and the timecode message that precedes a picture, when there is one):
    // collected, posted when a request is allowed or the buffer is about full.
    int SendMessage(std::span<const uint8_t> chunks, std::span<const uint8_t> timecode, bool block);
    // One request for one message through the transport's send buffer.
    int SendBuffered(std::span<const uint8_t> chunks, std::span<const uint8_t> timecode);
    // While held, messages are only collected; Release posts them as one request. The connect
    // sequence sends the messages that belong together this way.
    void Hold();
    int Release();
    // The connect sequence's polling step after a wait slice without its event: posts what is
    // collected when allowed, or polls with "idle" when no request is outstanding.
    void Poll();
    // The interval waited for its answer (0 without a connection). `tryOnly`: give up at once
    // when another thread is sending.
    uint8_t SendIdle(bool tryOnly = false);
    // The connect sequence's resets of the count, once it has its answer. A connection that
    // serves one request at a time keeps its exact count: a second request would be lost.
    void ClearPending() {
        if (!m_bSerial.load()) m_iPending.store(0);
    }
    void LowerPending() {
        if (m_bSerial.load()) return;
        int32_t n = m_iPending.load();
        while (n > 0 && !m_iPending.compare_exchange_weak(n, n - 1)) {
        }
    }

    struct ReceiveResult {
        std::string failure;  // why the tunnel cannot go on (the caller drops the connection)
        bool closes = false;  // the peer closes the HTTP connection: the caller replaces it
    };
    // The receive side. `deliver` gets the RTMP bytes of each response, in order.
    ReceiveResult OnReceive(std::span<const uint8_t> bytes, std::atomic<bool>* reconnectRequest,
                            const std::function<void(std::span<const uint8_t>)>& deliver);
    // The transport has replaced a connection the peer closed after a response: what waited goes.
    // `ok` false: no new connection could be made, and what waited is dropped.
    void OnTransportReconnected(bool ok);
    // Between a response that closes the connection and the new connection the tunnel stands,
    // although the socket does not.
    bool AwaitingReconnect() const { return m_bAwaitReconnect.load(); }

    void StartIdleThread();
    void StopIdleThread();

    uint32_t GetRequestCount() const { return m_uRequests.load(); }
    uint32_t GetIdleCount() const { return m_uIdleCount.load(); }
    uint8_t GetPollingInterval() const { return m_uInterval.load(); }
    int32_t GetBufferedBytes() const { return m_iFill.load(); }
    const std::string& ClientId() const { return m_sClientId; }

private:
    // Under m_SendStateLock.
    int PostBuffer(bool block);
    int PostRequest(const char* command, const uint8_t* body, int32_t bodySize, bool block);
    bool Append(std::span<const uint8_t> bytes);
    bool RequestAllowed() const;
    bool Standing() const;
    // Nothing may be posted now: the connection is being replaced, or it serves one request at a
    // time and one is outstanding. What is sent meanwhile is collected.
    bool Waiting() const;
    void PostWaiting();
    void CountAnswer();
    void IdleThreadProc(CWorkerThread* self);

    CTCPClient& m_Transport;

    // Lock order: after the client's message-send lock and before the transport's locks.
    // m_SendStateLock guards the request numbering, the client id (written once per attempt before
    // the open event), the aggregation buffer and the hold flag. Taken by every sending thread
    // (connecting, multiplex, receive for what waited, idle - which only tries it) for one
    // request including its write.
    platform::CReentrantLock m_SendStateLock;
    // m_ResponseLock guards the accumulator: the receive thread parses under it, the connecting
    // thread resets it. Never held while sending or delivering.
    platform::CReentrantLock m_ResponseLock;

    std::string m_sHost;
    int m_iPort = 0;
    std::atomic<bool> m_bViaProxy{false};
    std::string m_sClientId;
    uint32_t m_uSequence = 0;
    int32_t m_iMaxPending = 1;
    std::atomic<uint32_t> m_uWaitDelay{10000};
    bool m_bHold = false;
    // The bytes waiting for the next "send": kept behind room for its header, so header and
    // bytes leave in one write without a copy.
    std::vector<uint8_t> m_Buffer;
    std::atomic<int32_t> m_iFill{0};
    std::atomic<int32_t> m_iPending{0};
    // A response said the HTTP connection closes: hold everything until the transport reconnects.
    std::atomic<bool> m_bAwaitReconnect{false};
    // The peer answers one request per connection (a proxy, or a server that said so once): a
    // second request on the same connection would be lost.
    std::atomic<bool> m_bSerial{false};

    rtmp::CHttpResponseAccumulator m_Responses;  // under m_ResponseLock
    bool m_bAnswerCounted = true;  // the answer being read has lowered the pending count (m_ResponseLock)
    std::atomic<uint8_t> m_uInterval{1};
    std::atomic<uint32_t> m_uRequests{0};
    std::atomic<uint32_t> m_uIdleCount{0};

    platform::CEvent m_evOpen{true, false};
    platform::CEvent m_evResponse{true, false};
    platform::CEvent m_evIdleActivity{true, false};
    platform::CEvent m_evIdleExit{true, false};
    CWorkerThread m_IdleThread;
};
