// What the server sends, dispatched on the transport's receive thread: handshake blocks, protocol
// control messages (some answered at once) and command replies, which become the flags, numbers
// and events the connect sequence waits for.
#include <string_view>

#include "foundation/EventCallbacks.h"
#include "foundation/Log.h"
#include "net/TCPResult.h"
#include "rtmp/Amf0Reader.h"
#include "rtmp/ControlMessages.h"
#include "rtmp/RtmpDefs.h"
#include "rtmp/session/RTMPClient.h"

namespace {

constexpr uint16_t UC_STREAM_BEGIN = 0;
constexpr uint16_t UC_STREAM_END = 1;
constexpr uint16_t UC_STREAM_DRY = 2;
constexpr uint16_t UC_SET_BUFFER_LENGTH = 3;
constexpr uint16_t UC_STREAM_RECORDED = 4;
constexpr uint16_t UC_PING_REQUEST = 6;
constexpr uint16_t UC_PING_RESPONSE = 7;

bool Contains(std::string_view text, std::string_view what) { return text.find(what) != std::string_view::npos; }

// 32-bit big-endian value at the start of a body; false when the body is shorter.
bool ReadU32(const BS::data_t& msg, size_t offset, uint32_t& out) {
    const size_t size = msg.size_actual > 0 ? static_cast<size_t>(msg.size_actual) : 0;
    if (offset > size || 4 > size - offset) return false;
    const uint8_t* p = msg.data + offset;
    out = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
    return true;
}

std::span<const uint8_t> Body(const BS::data_t& msg) {
    return {msg.data, msg.size_actual > 0 ? static_cast<size_t>(msg.size_actual) : 0};
}

// Stream end and stop do not overwrite "stream not found": that is the more useful diagnosis.
void MarkStreamEnded(std::atomic<int32_t>& state) {
    int32_t expected = state.load();
    while (expected != CRTMPClient::STATE_STREAM_NOT_FOUND &&
           !state.compare_exchange_weak(expected, CRTMPClient::STATE_STREAM_ENDED)) {
    }
}

}  // namespace

void CRTMPClient::OnReceive(const uint8_t* data, int length, std::atomic<bool>* reconnectRequest) {
    platform::CAutoLock lock(m_ReceiveStateLock);
    LogTrace(6, "CRTMPClient::OnReceive data size %d", length);
    if (!data || length <= 0) return;
    const std::span<const uint8_t> bytes(data, static_cast<size_t>(length));
    if (!m_bTunnel.load()) {
        ConsumeRtmp(bytes);
        return;
    }
    // With the HTTP tunnel the bytes are responses whose bodies go to the codec instead.
    const CRTMPTunnel::ReceiveResult r =
        m_Tunnel.OnReceive(bytes, reconnectRequest, [this](std::span<const uint8_t> body) { ConsumeRtmp(body); });
    if (r.closes) {
        // A proxy or server that answers one request per connection: the next request needs a
        // new one, made here at once rather than when the peer's close arrives.
        LogTrace(3, "CRTMPClient::OnReceive: RTMPT: the HTTP connection closes after this answer - reconnecting");
        CTCPClient::Close();
        const bool ok = CTCPClient::Connect(GetStoredParams()) == TCP_OK;
        if (reconnectRequest) reconnectRequest->store(false);
        m_Tunnel.OnTransportReconnected(ok);
        if (ok) return;
        if (ConnectsAborted()) return;  // the owner is closing: not a loss
        Log(LOG_ERROR, 0, "CRTMPClient::OnReceive: RTMPT: the HTTP connection could not be made again");
        SetFailureDetail("the tunnel's HTTP connection closed and could not be made again", true);
        OnCloseConnection();
        Close();
        return;
    }
    if (r.failure.empty()) return;
    Log(LOG_ERROR, 0, "CRTMPClient::OnReceive: RTMPT: %s", r.failure.c_str());
    SetFailureDetail(r.failure, true);
    PostEvent("error", "RTMPT: %s", r.failure.c_str());
    // Nothing more can be read from this tunnel: the connection is lost, and the owner reconnects.
    if (reconnectRequest) reconnectRequest->store(false);
    OnCloseConnection();
    Close();
}

void CRTMPClient::ConsumeRtmp(std::span<const uint8_t> bytes) {
    RTMPDataChunk.PutData(bytes);
    if (m_uBytesReceived.fetch_add(static_cast<uint32_t>(bytes.size())) == 0 &&
        m_iReceiveMode.load() == RECEIVE_HANDSHAKE)
        m_iServerVersion.store(bytes[0]);
    LogTrace(7, "CRTMPClient::OnReceive: after while / RTMPDataChunk.PutData");

    for (;;) {
        AMF3::Header header;
        const int mode = m_iReceiveMode.load();
        BS::DataPtr msg = RTMPDataChunk.GetMessage(mode, &header);
        if (!msg) {
            LogTrace(7, "CRTMPClient::OnReceive: end");
            return;
        }
        LogTrace(7, "CRTMPClient::OnReceive(): RTMPDataChunk.GetMessage");
        if (mode == RECEIVE_HANDSHAKE) {
            HandleHandshakeBlock(std::move(msg));
            continue;
        }
        LogTrace(5, "CRTMPClient::OnReceive(): message %d", header.type);
        if (Dispatch(*msg, header)) m_evReply.Set();
        // Media messages were moved into their queue; everything else is released here.
        if (header.type == RTMP_PT_AUDIO || header.type == RTMP_PT_VIDEO) QueueMedia(std::move(msg), header);
    }
}

void CRTMPClient::HandleHandshakeBlock(BS::DataPtr block) {
    switch (RTMPDataChunk.GetHandshakeState()) {
    case AMF3::HS_WAIT_S1:
        LogTrace(3, "CRTMPClient::OnReceive(): handshake message S0");
        m_pS0 = std::move(block);
        m_evS0.Set();
        break;
    case AMF3::HS_WAIT_S2:
        LogTrace(3, "CRTMPClient::OnReceive(): handshake message S1");
        m_pS1 = std::move(block);
        m_evS1.Set();
        break;
    case AMF3::HS_DONE:
        LogTrace(3, "CRTMPClient::OnReceive(): handshake message S2");
        m_pS2 = std::move(block);
        m_evS2.Set();
        break;
    default:
        break;
    }
}

bool CRTMPClient::Dispatch(BS::data_t& msg, const AMF3::Header& header) {
    uint32_t value = 0;
    switch (header.type) {
    case RTMP_PT_CHUNK_SIZE:
        if (!ReadU32(msg, 0, value)) {
            Log(LOG_ERROR, 1, "CRTMPClient::OnReceive: Set Chunk Size without a value (%d bytes)", msg.size_actual);
            return false;
        }
        {
            // Our next message must already be cut at the size we announce, and nothing may be
            // cut at it before the announcement is out.
            platform::CAutoLock sendLock(m_MessageSendLock);
            RTMPDataChunk.SetReceiveChunkSize(static_cast<int32_t>(value & 0x7FFFFFFFu));
            RTMPDataChunk.SetSendChunkSize(ANSWER_CHUNK_SIZE);
            SendControl(rtmp::BuildSetChunkSize(ANSWER_CHUNK_SIZE), RTMP_PT_CHUNK_SIZE);
        }
        LogTrace(3, "CRTMPClient::OnReceive(): RTMP_PT_CHUNK_SIZE %u", value);
        return false;
    case RTMP_PT_BYTES_READ:
        if (ReadU32(msg, 0, value)) m_uServerBytesRead.store(value);
        LogTrace(5, "CRTMPClient::OnReceive(): RTMP_PT_BYTES_READ %d", static_cast<int>(value));
        return false;
    case RTMP_PT_USER_CONTROL:
        HandleUserControl(msg);
        return false;
    case RTMP_PT_SERVER_BW:
        if (!ReadU32(msg, 0, value)) return false;
        m_uPeerBandwidth.store(value);
        PostEvent("info1", "CRTMPClient::OnReceive: server_bw: %d", static_cast<int>(value));
        return false;
    case RTMP_PT_CLIENT_BW:
        if (!ReadU32(msg, 0, value)) return false;
        m_uPeerBandwidth.store(value);
        PostEvent("info1", "CRTMPClient::OnReceive: client_bw: %d", static_cast<int>(value));
        SendControl(rtmp::BuildWindowAckSize(value), RTMP_PT_SERVER_BW);
        return false;
    case RTMP_PT_FLEX_MESSAGE: {
        rtmp::CAmf0Reader reader(Body(msg));
        reader.Skip(1);  // the AMF3 format byte in front of an AMF0 body
        return HandleInvoke(reader, msg, true);
    }
    case RTMP_PT_NOTIFY: {
        rtmp::CAmf0Reader reader(Body(msg));
        LogTrace(3, "RTMP_PT_NOTIFY %s", reader.ReadString().c_str());
        return false;
    }
    case RTMP_PT_INVOKE: {
        rtmp::CAmf0Reader reader(Body(msg));
        return HandleInvoke(reader, msg, false);
    }
    default:
        return false;
    }
}

void CRTMPClient::HandleUserControl(const BS::data_t& msg) {
    if (msg.size_actual < 2) {
        Log(LOG_ERROR, 1, "CRTMPClient::OnReceive: User Control message of %d bytes", msg.size_actual);
        return;
    }
    const int ev = (msg.data[0] << 8) | msg.data[1];
    switch (ev) {
    case UC_STREAM_BEGIN:
        LogTrace(3, "CRTMPClient::OnReceive: User Control Event: %d - Stream Begin", ev);
        break;
    case UC_STREAM_END: {
        LogTrace(3, "CRTMPClient::OnReceive: User Control Event: %d - Stream End", ev);
        MarkStreamEnded(m_iConnectionState);
        break;
    }
    case UC_STREAM_DRY:
        LogTrace(3, "CRTMPClient::OnReceive: User Control Event: %d - Stream Dry", ev);
        break;
    case UC_SET_BUFFER_LENGTH:
        LogTrace(3, "CRTMPClient::OnReceive: User Control Event: %d - Set Buffer Length", ev);
        break;
    case UC_STREAM_RECORDED:
        LogTrace(3, "CRTMPClient::OnReceive: User Control Event: %d - Stream Recorded", ev);
        break;
    case UC_PING_REQUEST: {
        LogTrace(3, "CRTMPClient::OnReceive: User Control Event: %d - Ping Request", ev);
        if (!IsConnected()) {
            LogTrace(3, "CRTMPClient::OnReceive: **inactive! ");
            break;
        }
        uint32_t ts = 0;
        if (!ReadU32(msg, 2, ts)) {
            Log(LOG_ERROR, 1, "CRTMPClient::OnReceive: Ping Request without a timestamp");
            break;
        }
        BS::DataPtr pong = rtmp::BuildPingResponse(ts, m_iLastSentTime.load());
        if (!pong) break;
        LogTrace(3, "CRTMPClient::OnReceive: Sending Ping Response");
        SendBufferedMessage(pong.get(), SEND_MESSAGE, rtmp::CHUNK_STREAM_CONTROL, RTMP_PT_USER_CONTROL, 0, true);
        break;
    }
    case UC_PING_RESPONSE:
        LogTrace(3, "CRTMPClient::OnReceive: User Control Event: %d - Ping Response", ev);
        break;
    default:
        LogTrace(3, "CRTMPClient::OnReceive: User Control Event: %d", ev);
        break;
    }
}

bool CRTMPClient::HandleInvoke(rtmp::CAmf0Reader& reader, const BS::data_t& msg, bool flex) {
    const std::string name = reader.ReadString();
    LogTrace(3, flex ? "RTMP_PT_FLEX_MESSAGE %s" : "RTMP_PT_INVOKE %s", name.c_str());
    const char* prefix = flex ? "RTMP_PT_FLEX_MESSAGE" : "RTMP_PT_INVOKE";

    if (name == "_result") {
        const int64_t n = reader.ReadNumber();
        bool reply = true;
        if (m_bCreateStreamPending.load()) {
            if (n == 3) {
                reader.SkipNullOrObject();
                m_iStreamID.store(static_cast<int32_t>(reader.ReadNumber()));
            } else {
                // A late answer to an earlier command must not end the createStream wait.
                reply = false;
            }
        }
        if (!flex) {
            {
                platform::CAutoLock lock(m_AuthLock);
                m_Auth.m_bAuthNeeded = false;
            }
            m_bError.store(false);
        }
        PostEvent("info1", "rtmp: _result %d", static_cast<int>(n));
        LogTrace(3, "%s: _result %d", prefix, static_cast<int>(n));
        return reply;
    }
    if (name == "onStatus") {
        const int64_t n = reader.ReadNumber();
        if (!flex) {
            const std::string status = rtmp::StatusText(Body(msg));
            if (Contains(status, "BadName")) m_bBadName.store(true);
            if (Contains(status, "error") && Contains(status, "NetStreamPlayStreamNotFound")) {
                m_iConnectionState.store(STATE_STREAM_NOT_FOUND);
                LogTrace(3, "RTMP_PT_INVOKE: onStatus NetStream.Play.StreamNotFound");
            }
            if (Contains(status, "NetStreamPlayStop")) {
                MarkStreamEnded(m_iConnectionState);
                LogTrace(3, "RTMP_PT_INVOKE: onStatus NetStream.Play.Stop");
            }
            PostEvent("info1", "onStatus %d", static_cast<int>(n));
        } else {
            PostEvent("info1", "rtmp: onStatus %d", static_cast<int>(n));
        }
        m_bError.store(false);
        LogTrace(3, "%s: onStatus %d", prefix, static_cast<int>(n));
        m_evStatus.Set();
        return false;
    }
    if (flex && (name == "onFCPublish" || name == "onFCUnpublish")) {
        const int64_t n = reader.ReadNumber();
        PostEvent("info1", "rtmp: %s %d", name.c_str(), static_cast<int>(n));
        LogTrace(3, "RTMP_PT_FLEX_MESSAGE: %s %d", name.c_str(), static_cast<int>(n));
        m_evStatus.Set();
        return false;
    }
    if (flex) return false;
    if (name == "onPlayStatus") {
        const int64_t n = reader.ReadNumber();
        const std::string status = rtmp::StatusText(Body(msg));
        if (Contains(status, "NetStreamPlayComplete")) {
            MarkStreamEnded(m_iConnectionState);
            LogTrace(3, "RTMP_PT_INVOKE: onPlayStatus NetStream.Play.Complete");
        }
        if (Contains(status, "NetStreamPlayStop")) {
            MarkStreamEnded(m_iConnectionState);
            LogTrace(3, "RTMP_PT_INVOKE: onPlayStatus NetStream.Play.Stop");
        }
        PostEvent("info1", "onPlayStatus %d", static_cast<int>(n));
        LogTrace(3, "RTMP_PT_INVOKE: onPlayStatus %d", static_cast<int>(n));
        return false;
    }
    if (name == "_error") return HandleError(reader, reader.ReadNumber());
    return false;
}

bool CRTMPClient::HandleError(rtmp::CAmf0Reader& reader, int64_t n) {
    m_bError.store(true);
    while (reader.SkipNullOrObject() != rtmp::CAmf0Reader::Marker::None) {
    }
    PostEvent("error1", "_error %d", static_cast<int>(n));
    Log(LOG_ERROR, 1, "RTMP_PT_INVOKE: _error %d", static_cast<int>(n));

    while (!reader.AtPropertyListEnd()) {
        const std::string key = reader.ReadPropertyName();
        const std::string value = reader.ReadValueAsText();
        Log(LOG_ERROR, 1, "RTMP_PT_INVOKE: _error %s - %s", key.c_str(), value.c_str());
        if (key == "description") {
            bool answerable;
            {
                platform::CAutoLock lock(m_AuthLock);
                answerable = m_Auth.ParseRefusal(value);
            }
            // A refusal we can answer is a step of the exchange, not an error of the session.
            if (answerable) m_bError.store(false);
            const bool needAuth = Contains(value, "need auth");
            if (!needAuth && !Contains(value, "?reason=needauth") && Contains(value, "Application folder")) {
                m_iConnectionState.store(STATE_INVALID_APP);
                Log(LOG_ERROR, 1, "RTMP_PT_INVOKE: _error invalid application");
            }
            if (!needAuth && Contains(value, "AccessManager.Reject")) m_iConnectionState.store(STATE_ACCESS_REJECTED);
        } else if (key == "code") {
            PostEvent("flashcode", "%s", value.c_str());
        }
    }
    return !m_bCreateStreamPending.load() || n == 3;
}

void CRTMPClient::QueueMedia(BS::DataPtr msg, const AMF3::Header& header) {
    const bool audio = header.type == RTMP_PT_AUDIO;
    const char* what = audio ? "Audio" : "Video";
    if (!msg) {
        LogTrace(5, "CRTMPClient::OnReceive: %s no packet", what);
        return;
    }
    msg->dts = msg->pts = header.timestamp;
    LogTrace(5, "CRTMPClient::OnReceive: %s size: %d pts: %lld dts %lld", what, msg->size_actual,
             static_cast<long long>(msg->pts), static_cast<long long>(msg->dts));
    // Nobody reads these on a publishing connection; keep only the newest so a server that
    // streams back cannot grow us without bound.
    platform::CReentrantLock& lock = audio ? m_AudioQueueLock : m_VideoQueueLock;
    std::deque<BS::DataPtr>& queue = audio ? m_AudioQueue : m_VideoQueue;
    platform::CAutoLock guard(lock);
    queue.push_back(std::move(msg));
    size_t bytes = 0;
    for (const BS::DataPtr& m : queue) bytes += static_cast<size_t>(m->size_actual);
    while (queue.size() > 1 && (queue.size() > RECEIVE_QUEUE_LIMIT || bytes > RECEIVE_QUEUE_BYTES)) {
        bytes -= static_cast<size_t>(queue.front()->size_actual);
        queue.pop_front();
    }
}

size_t CRTMPClient::GetReceivedQueueSize(int32_t type) const {
    platform::CReentrantLock& lock = type == RTMP_PT_AUDIO ? m_AudioQueueLock : m_VideoQueueLock;
    platform::CAutoLock guard(lock);
    return type == RTMP_PT_AUDIO ? m_AudioQueue.size() : m_VideoQueue.size();
}
