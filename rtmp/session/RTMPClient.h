#pragma once
// CRTMPClient: the publishing RTMP client. One object is socket, buffered TCP client and RTMP
// client at once: it opens the connection, runs the handshake and the connect..publish sequence
// (with adobe/llnw authentication), dispatches what the server sends on the transport's receive
// thread, and offers the send entries the sink uses for media, metadata and commands.
//
// Virtual slots, continuing CTCPClient's 0..8 (3 Close, 5 OnReceive and 6 OnCloseConnection are
// overridden here): 9 SetTimecode, 10 Send (RTMP message), 11 SendBufferedMessage, 12 Connect.
//
// Threads: Connect/Close run on the sink's connecting thread; OnReceive runs on the transport's
// receive thread; SendBufferedMessage/SendCommandData/SendMetadata on the multiplex thread. The
// two sides of the connect sequence meet only through the manual-reset events and the atomic
// flags below, each cleared by the connecting side before the request that answers it.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <string>

#include "foundation/Data.h"
#include "foundation/Format.h"
#include "net/TCPClient.h"
#include "platform/Event.h"
#include "platform/ReentrantLock.h"
#include "rtmp/AMF3.h"
#include "rtmp/ConnectionSettings.h"
#include "rtmp/session/RTMPTunnel.h"
#include "rtmp/session/RtmpAuth.h"

namespace rtmp {
class CAmf0Reader;
}

class CRTMPClient : public CTCPClient {
public:
    // Results of Connect.
    static constexpr int CONNECT_FAILED = 0;      // URL refused, or TCP connect failed
    static constexpr int CONNECT_PUBLISHED = 1;
    static constexpr int CONNECT_SESSION_FAILED = 2;  // TCP stood, the RTMP session did not
    static constexpr int CONNECT_RETRY = 3;       // authentication needs another attempt
    static constexpr int CONNECT_TIMEOUT = 4;     // transport time-out while connecting
    static constexpr int CONNECT_SOCKET = 5;      // socket or socket option failure

    // m_iConnectionState values.
    static constexpr int32_t STATE_PUBLISHED = 0;
    static constexpr int32_t STATE_TCP = 1;
    static constexpr int32_t STATE_HANDSHAKE = 2;
    static constexpr int32_t STATE_COMMANDS = 3;
    static constexpr int32_t STATE_ACCESS_REJECTED = 4;
    static constexpr int32_t STATE_INVALID_APP = 5;
    static constexpr int32_t STATE_STREAM_NOT_FOUND = 6;
    static constexpr int32_t STATE_STREAM_ENDED = 7;

    // Send kinds: raw bytes (handshake blocks) or an RTMP message the codec cuts into chunks.
    static constexpr int SEND_RAW = 1;
    static constexpr int SEND_MESSAGE = 2;
    static constexpr int SEND_MEDIA = 3;

    // GetMessage modes used by the receive side.
    static constexpr int RECEIVE_HANDSHAKE = AMF3::MODE_HANDSHAKE;
    static constexpr int RECEIVE_CHUNKS = AMF3::MODE_CHUNKS;

    static constexpr uint32_t DEFAULT_WAIT_DELAY_MS = 10000;
    static constexpr int32_t ANSWER_CHUNK_SIZE = 256;
    static constexpr int PUBLISH_ROUNDS = 5;
    static constexpr size_t RECEIVE_QUEUE_LIMIT = 64;
    static constexpr size_t RECEIVE_QUEUE_BYTES = 4 << 20;

    CRTMPClient();
    ~CRTMPClient() override;

    using CTCPClient::Connect;
    using CTCPClient::Send;

    bool Close() override;                                                                   // slot 3
    void OnReceive(const uint8_t* data, int length, std::atomic<bool>* reconnectRequest) override;  // slot 5
    void OnCloseConnection() override;                                                       // slot 6

    // Slot 9. mode 0 turns the timecode off; an interval below 1 keeps the current one.
    virtual void SetTimecode(int64_t baseSeconds, int64_t baseMicroseconds, int32_t intervalMs, int32_t mode);
    // Slot 10: one message through the send lock; the record stays the caller's.
    virtual int Send(BS::data_t* msg, int kind, int32_t chunkStreamId, int32_t type, uint32_t streamIdSwapped,
                     bool block, bool forceFullHeader);
    // Slot 11: the same through the transport's send buffer (or Send when buffering is off).
    virtual int SendBufferedMessage(BS::data_t* msg, int kind, int32_t chunkStreamId, int32_t type,
                                    uint32_t streamIdSwapped, bool forceFullHeader);
    // Slot 12: up to three attempts (authentication); returns one of the CONNECT_* results.
    virtual int Connect(const ConnectionSettings& settings, int32_t sleepDelay, bool tunnel);

    bool SendFCUnpublish(int transaction, uint32_t waitMs);
    bool SendFCPublish(int transaction);
    bool SendCommandData(const BS::data_t* record, int32_t chunkStreamId, int32_t type);
    // Metadata from the track formats: full when `video` is a video format or `audio` an audio
    // one; otherwise the empty form when `sendEmpty`, else nothing. false when nothing went out.
    bool SendMetadata(const BS::format_t* video, const BS::format_t* audio, bool sendEmpty, bool mark);
    void SetRecordMode(int32_t mode) { m_iRecordMode.store(mode); }
    int32_t GetRecordMode() const { return m_iRecordMode.load(); }
    // Announces the peer bandwidth last received from the server.
    void SetPeerBandwidth();
    void SetAbsoluteTime(int64_t ms) { RTMPDataChunk.SetAbsoluteTime(ms); }
    void SetDataRateOverrides(int32_t videoBps, int32_t audioBps) {
        m_iVideoRateOverride.store(videoBps);
        m_iAudioRateOverride.store(audioBps);
    }

    bool IsMetadataSent() const { return m_bMetadataSent.load(); }
    uint32_t GetServerBytesRead() const { return m_uServerBytesRead.load(); }
    uint32_t GetPeerBandwidth() const { return m_uPeerBandwidth.load(); }
    uint32_t GetBytesReceived() const { return m_uBytesReceived.load(); }
    int32_t GetAuthMode() const;
    size_t GetReceivedQueueSize(int32_t type) const;
    // Why the last attempt failed, in words for the user (empty when it did not fail or the
    // state says it all).
    std::string GetFailureDetail() const;

    // The connection stands: the socket is open, or the tunnel is replacing its HTTP connection.
    bool IsActive() { return IsConnected() || (m_bTunnel.load() && m_Tunnel.AwaitingReconnect()); }
    // Bytes handed over but not yet written to the socket: the transport's send buffer, and over
    // the tunnel what waits for its next request (at least 1 while its connection is replaced).
    int GetUnsentBytes() {
        int n = GetSendBufferFillness();
        if (m_bTunnel.load()) n += std::max(m_Tunnel.GetBufferedBytes(), m_Tunnel.AwaitingReconnect() ? 1 : 0);
        return n;
    }
    // The HTTP tunnel of the current connection (figures for the statistics).
    bool IsTunnelled() const { return m_bTunnel.load(); }
    bool IsTunnelViaProxy() const { return m_Tunnel.ViaProxy(); }
    uint32_t GetTunnelRequestCount() const { return m_Tunnel.GetRequestCount(); }
    uint8_t GetTunnelPollingInterval() const { return m_Tunnel.GetPollingInterval(); }

    // The time limit of every wait of the client, process-wide, refreshed from the settings at
    // each connection attempt.
    static uint32_t GetWaitDelay() { return s_uWaitDelay.load(); }

    // Test and fuzz seams: drive the receive side without a connection.
    void SetReceiveMode(int mode) { m_iReceiveMode.store(mode); }
    void ResetReceiveSide();

    // Read by the sink: the created stream's id as received, and where the last attempt stopped.
    std::atomic<int32_t> m_iStreamID{0};
    std::atomic<int32_t> m_iConnectionState{STATE_TCP};

    // The chunk codec; its own lock guards it.
    AMF3 RTMPDataChunk;

private:
    // Unit tests look at the flags and events the dispatch sets.
    friend struct RTMPClientTestAccess;

    enum class WaitResult { Ok, Timeout, Inactive };

    int ConnectInternal(const ConnectionSettings& settings, int32_t sleepDelay, bool tunnel);
    bool Handshake();
    bool CommandSequence(const std::string& authQuery);
    bool PublishRounds(bool createStreamSent);
    WaitResult WaitFor(platform::CEvent& event, uint32_t sliceMs, uint32_t totalMs);
    void WaitTransportClosed();
    void ReadSessionSettings(const ConnectionSettings& settings);
    void ReleaseHandshakeBlocks();
    // `fixed`: the receive side saw the cause; what the connecting side concludes from the
    // consequences (a closed connection, a missing answer) does not replace it.
    void SetFailureDetail(std::string detail, bool fixed = false);
    WaitResult WaitForS0();
    int SendMessage(BS::data_t* msg, int kind, int32_t chunkStreamId, int32_t type, uint32_t streamIdSwapped,
                    bool block, bool forceFullHeader, bool buffered);
    void SendTimecodeBefore(const BS::data_t& video, bool block, bool buffered);
    int SendControl(BS::DataPtr body, int32_t type);
    uint32_t StreamIdOnWire() const;

    // Receive side (receive thread, under m_ReceiveStateLock).
    void HandleHandshakeBlock(BS::DataPtr block);
    bool Dispatch(BS::data_t& msg, const AMF3::Header& header);
    void HandleUserControl(const BS::data_t& msg);
    bool HandleInvoke(rtmp::CAmf0Reader& reader, const BS::data_t& msg, bool flex);
    bool HandleError(rtmp::CAmf0Reader& reader, int64_t transaction);
    void QueueMedia(BS::DataPtr msg, const AMF3::Header& header);

    // RTMP bytes from the server (straight from the socket, or the bodies of tunnel responses).
    void ConsumeRtmp(std::span<const uint8_t> bytes);
    int SendThroughTunnel(BS::data_t& msg, int kind, int32_t chunkStreamId, int32_t type, uint32_t streamIdSwapped,
                          bool block, bool forceFullHeader, bool buffered);
    BS::DataPtr PrepareTimecode(const BS::data_t& video);
    int ConnectTransport(TCPClientParams p, bool tunnel);

    static std::atomic<uint32_t> s_uWaitDelay;

    // Lock order (outermost first): the transport's receive-loop lock, m_ReceiveStateLock,
    // m_MessageSendLock, the tunnel's send-state then response locks, m_AuthLock, then the
    // codec's and the transport's own locks.
    //
    // m_ReceiveStateLock guards the receive queues and the handshake block slots against the
    // resets of ConnectInternal/Close/OnCloseConnection; OnReceive holds it for its whole run
    // (receive thread), the connecting/closing thread only around its resets.
    mutable platform::CReentrantLock m_ReceiveStateLock;
    // m_MessageSendLock: one message prepared and written, so the chunks of two messages never
    // interleave; also the timecode fields. Taken by every thread that sends (connecting,
    // multiplex, receive thread for its answers).
    platform::CReentrantLock m_MessageSendLock;
    // m_AuthLock guards m_Auth: written by the receive thread from `_error` descriptions, read and
    // reset by the connecting thread between requests.
    mutable platform::CReentrantLock m_AuthLock;

    rtmp::CRtmpAuth m_Auth;                 // under m_AuthLock
    ConnectionSettings m_Settings;          // connecting thread only
    std::string m_sHost;                    // connecting thread only
    std::string m_sAppPath;                 // connecting thread only
    std::string m_sStreamName;              // connecting thread; read by the multiplex thread after Connect
    int32_t m_iPort = 0;
    std::atomic<bool> m_bTunnel{false};     // set per attempt before the connect; read by every thread
    // Over the tunnel C2 goes out with connect, in one request (connecting thread only).
    BS::DataPtr m_pKeptC2;

    std::atomic<int> m_iReceiveMode{RECEIVE_HANDSHAKE};
    std::atomic<bool> m_bSendBuffered{false};  // the SendBuffered setting of this connection
    std::atomic<bool> m_bError{false};
    std::atomic<bool> m_bBadName{false};
    std::atomic<bool> m_bCreateStreamPending{false};
    std::atomic<uint32_t> m_uBytesReceived{0};
    std::atomic<uint32_t> m_uServerBytesRead{0};
    std::atomic<uint32_t> m_uPeerBandwidth{0};
    std::atomic<int64_t> m_iLastSentTime{0};
    std::atomic<int32_t> m_iRecordMode{0};
    std::atomic<int32_t> m_iVideoRateOverride{0};
    std::atomic<int32_t> m_iAudioRateOverride{0};
    std::atomic<bool> m_bMetadataSent{false};

    // Timecode (under m_MessageSendLock).
    int32_t m_iTimecodeMode = 0;
    int64_t m_iTimecodeBaseSeconds = 0;
    int64_t m_iTimecodeBaseMicroseconds = 0;
    int32_t m_iTimecodeInterval = 1000;
    int64_t m_iLastOnFITime = NO_TIME;

    platform::CEvent m_evReply{true, false};
    platform::CEvent m_evStatus{true, false};
    platform::CEvent m_evS0{true, false};
    platform::CEvent m_evS1{true, false};
    platform::CEvent m_evS2{true, false};

    // Handshake blocks (under m_ReceiveStateLock): written before their event is set.
    BS::DataPtr m_pS0;
    BS::DataPtr m_pS1;
    BS::DataPtr m_pS2;

    // What a server sends as media is kept, bounded, and never read by the publisher.
    std::deque<BS::DataPtr> m_AudioQueue;  // under m_AudioQueueLock
    std::deque<BS::DataPtr> m_VideoQueue;  // under m_VideoQueueLock
    // Innermost; taken by the receive thread to append and by Close to empty.
    mutable platform::CReentrantLock m_AudioQueueLock;
    mutable platform::CReentrantLock m_VideoQueueLock;

    // The RTMPT state; its own locks come after m_MessageSendLock in the order above.
    CRTMPTunnel m_Tunnel{*this};

    // The failure detail: written by the connecting thread, read by the sink's error report.
    mutable std::mutex m_FailureLock;
    std::string m_sFailureDetail;  // under m_FailureLock
    bool m_bFailureFixed = false;  // under m_FailureLock
    // The first byte the server answered the handshake with (its version), -1 before it.
    std::atomic<int32_t> m_iServerVersion{-1};
    // The last picture of at least kSuspectMessageBytes on this connection: its size and when it
    // was handed over (written by the sending thread, read by the receive thread at the loss).
    std::atomic<int32_t> m_iSuspectBytes{0};
    std::atomic<uint32_t> m_uSuspectTick{0};
    std::atomic<bool> m_bSuspectKey{false};
};
