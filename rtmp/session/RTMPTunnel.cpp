#include "rtmp/session/RTMPTunnel.h"

#include <algorithm>
#include <cstring>

#include "foundation/Log.h"
#include "net/TCPClient.h"
#include "net/TCPResult.h"

namespace {

constexpr size_t kHeadroom = rtmp::kTunnelHeaderMax;
// After a burst the buffer gives its memory back rather than keep the largest size it ever had.
constexpr size_t kKeptCapacity = 256 * 1024;
constexpr uint32_t kIdleStepMs = 100;
constexpr int kIdleSteps = 10;

bool ContainsClose(std::string_view text) {
    return text.find("close") != std::string_view::npos || text.find("Close") != std::string_view::npos;
}

}  // namespace

void CRTMPTunnel::Begin(const std::string& host, int port, bool viaProxy, uint32_t waitDelayMs) {
    platform::CAutoLock s(m_SendStateLock);
    platform::CAutoLock r(m_ResponseLock);
    m_sHost = host;
    m_iPort = port;
    m_bViaProxy.store(viaProxy);
    m_sClientId.clear();
    m_uSequence = 0;
    m_iPending.store(0);
    m_iMaxPending = getRegistryKey(KEY_RTMPSINK, "MaxPendingHttpRequests", m_iMaxPending);
    m_uWaitDelay.store(waitDelayMs);
    m_bHold = false;
    m_bAwaitReconnect.store(false);
    m_bSerial.store(viaProxy);
    std::vector<uint8_t>().swap(m_Buffer);
    m_iFill.store(0);
    m_Responses.Reset();
    m_bAnswerCounted = true;
    m_uInterval.store(1);
    m_uRequests.store(0);
    m_uIdleCount.store(0);
    m_evOpen.Reset();
    m_evResponse.Reset();
    m_evIdleActivity.Reset();
}

bool CRTMPTunnel::Standing() const { return m_bAwaitReconnect.load() || m_Transport.IsConnected(); }

void CRTMPTunnel::CountAnswer() {
    m_bAnswerCounted = true;
    if (m_iPending.load() > 0) {
        m_iPending.fetch_sub(1);
        LogTrace(9, "Pending Requests Dec: %d", m_iPending.load());
    }
}

bool CRTMPTunnel::Waiting() const {
    return m_bAwaitReconnect.load() || (m_bSerial.load() && m_iPending.load() > 0);
}

bool CRTMPTunnel::RequestAllowed() const { return m_iMaxPending <= 0 || m_iPending.load() < m_iMaxPending; }

int CRTMPTunnel::PostRequest(const char* command, const uint8_t* body, int32_t bodySize, bool block) {
    // The "open" request line always carries 1; the others carry the running number.
    const bool open = std::strcmp(command, "open") == 0;
    BS::DataPtr request = rtmp::GenerateHTTPHeader("POST", command, open ? std::string() : m_sClientId,
                                                   open ? 1u : m_uSequence, rtmp::kTunnelUserAgent, m_sHost, m_iPort,
                                                   rtmp::kTunnelConnection, rtmp::kTunnelCacheControl, body, bodySize,
                                                   m_bViaProxy.load());
    if (!request) return TCP_ERROR;
    const int r = m_Transport.CTCPClient::Send(request->data, request->size_actual, block);
    if (!open) ++m_uSequence;
    m_uRequests.fetch_add(1);
    return r;
}

int CRTMPTunnel::PostBuffer(bool block) {
    const int32_t fill = m_iFill.load();
    if (fill <= 0) return TCP_OK;
    BS::DataPtr header = rtmp::GenerateHTTPHeader("POST", "send", m_sClientId, m_uSequence, rtmp::kTunnelUserAgent,
                                                  m_sHost, m_iPort, rtmp::kTunnelConnection,
                                                  rtmp::kTunnelCacheControl, nullptr, fill, m_bViaProxy.load());
    if (!header) return TCP_ERROR;
    const size_t len = static_cast<size_t>(header->size_actual);
    uint8_t* start = m_Buffer.data() + kHeadroom - len;
    std::memcpy(start, header->data, len);
    m_evIdleActivity.Reset();
    const int r = m_Transport.CTCPClient::Send(start, static_cast<int>(len) + fill, block);
    ++m_uSequence;
    m_uRequests.fetch_add(1);
    m_iFill.store(0);
    if (m_Buffer.capacity() > kKeptCapacity)
        std::vector<uint8_t>().swap(m_Buffer);
    else
        m_Buffer.resize(kHeadroom);
    return r;
}

bool CRTMPTunnel::Append(std::span<const uint8_t> bytes) {
    if (bytes.empty()) return true;
    const int32_t fill = m_iFill.load();
    if (bytes.size() > static_cast<size_t>(kBufferCapacity - fill)) return false;
    if (m_Buffer.size() < kHeadroom) m_Buffer.resize(kHeadroom);
    m_Buffer.insert(m_Buffer.end(), bytes.begin(), bytes.end());
    m_iFill.store(fill + static_cast<int32_t>(bytes.size()));
    return true;
}

bool CRTMPTunnel::Open(uint32_t waitMs) {
    {
        platform::CAutoLock s(m_SendStateLock);
        LogTrace(1, "Opening RTMPT Tunneling Connection to %s", m_sHost.c_str());
        const uint8_t one = 1;
        // Counted before it goes: the answer may be read before the send returns.
        m_iPending.fetch_add(1);
        PostRequest("open", &one, 1, true);
    }
    const uint32_t slice = 500;
    for (uint32_t waited = 0; waited < waitMs; waited += slice) {
        if (m_evOpen.Wait(std::min(slice, waitMs - waited))) return true;
        if (!Standing()) {
            Log(LOG_ERROR, 0, "ERROR: !IsActive, line %d ", __LINE__);
            return false;
        }
    }
    if (m_evOpen.IsSet()) return true;
    Log(LOG_ERROR, 0, "ERROR: Wait Timeout hWait, line %d ", __LINE__);
    return false;
}

int CRTMPTunnel::SendRaw(const uint8_t* data, int length, bool block) {
    if (!data || length <= 0) return TCP_NO_DATA;
    platform::CAutoLock s(m_SendStateLock);
    if (!Standing()) return TCP_SHUTDOWN;
    const std::span<const uint8_t> bytes(data, static_cast<size_t>(length));
    if (m_bHold || Waiting()) return Append(bytes) ? TCP_OK : TCP_ERROR;
    m_iPending.fetch_add(1);
    m_evIdleActivity.Reset();
    // Anything collected before goes first, in the same request.
    if (m_iFill.load() > 0) return Append(bytes) ? PostBuffer(block) : TCP_ERROR;
    return PostRequest("send", data, length, block);
}

int CRTMPTunnel::SendMessage(std::span<const uint8_t> chunks, std::span<const uint8_t> timecode, bool block) {
    platform::CAutoLock s(m_SendStateLock);
    if (!Standing()) return TCP_SHUTDOWN;
    const int64_t size = static_cast<int64_t>(chunks.size() + timecode.size());
    const bool fits = m_iFill.load() + size <= kSendThreshold;
    if (fits) {
        Append(timecode);
        Append(chunks);
    }
    const int32_t maxPending = m_iMaxPending;
    int r = TCP_OK;
    const bool held = m_bHold || Waiting();
    const bool forced = !fits && !held;
    if (!held && (forced || RequestAllowed()) && m_iFill.load() > 0) {
        if (forced) {
            LogTrace(2, "CRTMPClient::Send: RTMPT SEND FORCED: requests pend/max: %d/%d  data: %d/%d",
                     m_iPending.load(), maxPending, m_iFill.load(), static_cast<int>(size));
            m_iPending.store(0);
        } else {
            LogTrace(3, "CRTMPClient::Send: RTMPT SEND: requests pend/max: %d/%d  data: %d/%d", m_iPending.load(),
                     maxPending, m_iFill.load(), static_cast<int>(size));
            m_iPending.fetch_add(1);
        }
        r = PostBuffer(block);
    } else {
        LogTrace(4, "CRTMPClient::Send: RTMPT BUFFER: requests pend/max: %d/%d  data: %d/%d", m_iPending.load(),
                 maxPending, m_iFill.load(), static_cast<int>(size));
    }
    if (!fits) {
        if (size > kBufferCapacity || m_iFill.load() + size > kBufferCapacity) {
            Log(LOG_ERROR, 0, "CRTMPClient::Send: RTMPT message of %d bytes does not fit the tunnel buffer (%d waiting)",
                static_cast<int>(size), m_iFill.load());
            return TCP_ERROR;
        }
        Append(timecode);
        Append(chunks);
    }
    return r;
}

int CRTMPTunnel::SendBuffered(std::span<const uint8_t> chunks, std::span<const uint8_t> timecode) {
    platform::CAutoLock s(m_SendStateLock);
    if (!m_Transport.IsConnected()) return TCP_SHUTDOWN;
    const auto size = static_cast<int32_t>(chunks.size() + timecode.size());
    BS::DataPtr header = rtmp::GenerateHTTPHeader("POST", "send", m_sClientId, m_uSequence, rtmp::kTunnelUserAgent,
                                                  m_sHost, m_iPort, rtmp::kTunnelConnection,
                                                  rtmp::kTunnelCacheControl, nullptr, size, m_bViaProxy.load());
    if (!header) return TCP_ERROR;
    // One append, so a flush of the send buffer never leaves half a request on the wire.
    std::vector<uint8_t> request(header->data, header->data + header->size_actual);
    request.insert(request.end(), timecode.begin(), timecode.end());
    request.insert(request.end(), chunks.begin(), chunks.end());
    m_evIdleActivity.Reset();
    ++m_uSequence;
    m_uRequests.fetch_add(1);
    return m_Transport.CTCPClient::SendBuffered(request.data(), static_cast<int>(request.size()));
}

void CRTMPTunnel::Hold() {
    platform::CAutoLock s(m_SendStateLock);
    m_bHold = true;
}

int CRTMPTunnel::Release() {
    platform::CAutoLock s(m_SendStateLock);
    m_bHold = false;
    if (m_iFill.load() == 0 || Waiting() || !m_Transport.IsConnected()) return TCP_OK;
    m_iPending.fetch_add(1);
    return PostBuffer(true);
}

void CRTMPTunnel::PostWaiting() {
    platform::CAutoLock s(m_SendStateLock);
    if (m_bHold || Waiting() || m_iFill.load() == 0 || !RequestAllowed()) return;
    if (!m_Transport.IsConnected()) return;
    LogTrace(3, "CRTMPClient::Send: RTMPT SEND: requests pend/max: %d/%d  data: %d/%d", m_iPending.load(),
             m_iMaxPending, m_iFill.load(), 0);
    m_iPending.fetch_add(1);
    PostBuffer(false);
}

void CRTMPTunnel::Poll() {
    if (!m_evOpen.IsSet()) return;
    {
        platform::CAutoLock s(m_SendStateLock);
        if (m_iFill.load() > 0) {
            PostWaiting();
            return;
        }
    }
    if (m_iPending.load() == 0) SendIdle();
}

uint8_t CRTMPTunnel::SendIdle(bool tryOnly) {
    if (!Standing()) return 0;
    const uint8_t interval = std::max<uint8_t>(m_uInterval.load(), 1);
    // The idle thread never waits for a sender: whoever holds the lock is sending already.
    if (tryOnly) {
        if (!m_SendStateLock.TryLock()) return interval;
    } else {
        m_SendStateLock.Lock();
    }
    LogTrace(4, "SendIdle %d (A)", interval);
    if (!Waiting() && m_Transport.IsConnected()) {
        m_evResponse.Reset();
        m_iPending.fetch_add(1);
        m_uIdleCount.fetch_add(1);
        PostRequest("idle", &interval, 1, true);
    }
    m_SendStateLock.Unlock();
    LogTrace(4, "SendIdle %d (B)", interval);
    m_evResponse.Wait(interval);
    return interval;
}

CRTMPTunnel::ReceiveResult CRTMPTunnel::OnReceive(std::span<const uint8_t> bytes, std::atomic<bool>* reconnectRequest,
                                   const std::function<void(std::span<const uint8_t>)>& deliver) {
    if (bytes.size() > 100) {
        const std::string text(reinterpret_cast<const char*>(bytes.data()), std::min<size_t>(bytes.size(), 199));
        LogTrace(6, "CRTMPClient::OnReceive: HTTP Receive: %s", text.c_str());
        if (ContainsClose(text) && reconnectRequest) reconnectRequest->store(true);
    }
    std::vector<std::vector<uint8_t>> bodies;
    std::string failure;
    bool closes = false;
    {
        platform::CAutoLock r(m_ResponseLock);
        if (!m_Responses.Append(bytes))
            Log(LOG_ERROR, 0, "CRTMPClient::OnReceive: HTTP receive buffer full - waiting bytes dropped");
        for (;;) {
            rtmp::HttpResponse response;
            bool statusSeen = false;
            const bool open = m_evOpen.IsSet();
            const auto result = m_Responses.Parse(open, response, statusSeen);
            if (statusSeen) {
                // On a connection that serves one request at a time, the answer frees it only once
                // it is whole and it is known whether the connection stays.
                if (m_bSerial.load())
                    m_bAnswerCounted = false;
                else
                    CountAnswer();
                if (open) m_evResponse.Set();
            }
            if (result == rtmp::CHttpResponseAccumulator::Result::NeedMore) break;
            if (result == rtmp::CHttpResponseAccumulator::Result::TooLarge) {
                failure = "the tunnel server sent an HTTP response larger than " +
                          std::to_string(rtmp::CHttpResponseAccumulator::kCapacity) + " bytes, or without a header end";
                break;
            }
            LogTrace(9, "HTTP Response complete");
            m_uInterval.store(m_Responses.PollingInterval());
            // A proxy that does not promise to keep the connection closes it after each answer
            // (tinyproxy does so without saying): the next request goes on a new connection.
            const bool closesNow =
                response.ClosesConnection() || (m_bViaProxy.load() && !response.KeepsAlive());
            {
                // Before anyone hears of this answer, so nothing is written into a connection the
                // peer is closing.
                platform::CAutoLock s(m_SendStateLock);
                if (!m_bAnswerCounted) CountAnswer();
                if (closesNow) {
                    closes = true;
                    m_bAwaitReconnect.store(true);
                    m_bSerial.store(true);
                    m_iPending.store(0);
                }
            }
            if (response.chunked) {
                failure = "the tunnel server sent a chunked HTTP response; RTMPT needs Content-Length";
                break;
            }
            if (response.statusCode != 200) {
                failure = std::string(open ? "the tunnel server ended the session" : "the tunnel server refused to open a session") +
                          " (HTTP " + std::to_string(response.statusCode) + " " + response.statusText + ")";
                break;
            }
            LogTrace(6, "CRTMPClient::OnReceive: HTTPDataChunk.GetMessage %d", static_cast<int>(response.body.size()));
            if (!open) {
                std::string id = rtmp::ExtractClientId(response.body);
                if (id.empty()) {
                    failure = "the tunnel server opened no session (no client id in its answer)";
                    break;
                }
                {
                    platform::CAutoLock s(m_SendStateLock);
                    m_sClientId = std::move(id);
                }
                LogTrace(6, "CRTMPClient::OnReceive: StreamName %s", m_sClientId.c_str());
                m_evOpen.Set();
            } else {
                if (!response.intervalTaken)
                    Log(LOG_ERROR, 1, "CRTMPClient::OnReceive: HTTP response without the polling-interval byte");
                if (!response.body.empty()) {
                    LogTrace(6, "CRTMPClient::OnReceive: RTMPDataChunk.PutData %d",
                             static_cast<int>(response.body.size()));
                    bodies.push_back(std::move(response.body));
                }
            }
            LogTrace(4, "CRTMPClient::OnReceive: get HTTP answer. New messages in process=%d", m_iPending.load());
        }
    }
    if (!failure.empty()) closes = false;
    for (const auto& body : bodies) deliver(body);
    if (failure.empty() && !closes) PostWaiting();
    return {failure, closes};
}

void CRTMPTunnel::OnTransportReconnected(bool ok) {
    if (!ok) {
        platform::CAutoLock s(m_SendStateLock);
        m_bAwaitReconnect.store(false);
        m_iFill.store(0);
        std::vector<uint8_t>().swap(m_Buffer);
        return;
    }
    m_bAwaitReconnect.store(false);
    m_iPending.store(0);
    PostWaiting();
}

void CRTMPTunnel::StartIdleThread() {
    m_evIdleExit.Reset();
    m_evIdleActivity.Reset();
    m_IdleThread.Start([this](void*, CWorkerThread* self) { IdleThreadProc(self); }, this,
                       "CRTMPClient::ConnectInternal:m_hIdleThread");
}

void CRTMPTunnel::StopIdleThread() {
    if (!m_IdleThread.IsCreated()) return;
    LogTrace(4, "CRTMPClient::Close(): Signalling idle thread exit event");
    m_evIdleExit.Set();
    m_evResponse.Set();
    LogTrace(4, "CRTMPClient::Close(): Waiting for idle thread to terminate");
    m_IdleThread.Stop(m_uWaitDelay.load());
    LogTrace(4, "CRTMPClient::Close(): Idle thread was terminated");
    m_evIdleExit.Reset();
    m_evIdleActivity.Reset();
}

void CRTMPTunnel::IdleThreadProc(CWorkerThread* self) {
    while (self->IsRunning()) {
        for (int i = 0; i < kIdleSteps; ++i)
            if (m_evIdleExit.Wait(kIdleStepMs) || !self->IsRunning()) return;
        if (m_evIdleActivity.IsSet() && m_iFill.load() == 0) SendIdle(true);
        m_evIdleActivity.Set();
    }
}
