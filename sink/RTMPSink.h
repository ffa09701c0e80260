#pragma once
// CRTMPSink: the stream sink. Input side: per-track parsers and queues with back-pressure and
// the frame-dropping policy. Output side: the multiplex thread that interleaves the tracks by
// decoding time, paces them against the sink clock and hands them to the RTMP client.
// Around it: connection management (fallback ports, reconnection, restart), status and
// statistics events, and the script-data messages (metadata, cue points, invoke strings,
// commands).
//
// Threads: streaming threads (PutData, WaitForTrack, SetEndOfStream, Flush), the multiplex thread
// (Interleave), the reconnect and restart-stream threads, application threads (Init, Close,
// metadata, statistics). Lock order (outermost first): m_InitLock or m_RestartLock, then
// m_InterleaveLock, then m_SinkLock, then the client's and the sink timer's locks. m_SinkLock is
// never held while connecting, sending media or sleeping, so Flush must not be called with it.
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "foundation/WorkerThread.h"
#include "platform/Event.h"
#include "platform/ReentrantLock.h"
#include "platform/com/Variant.h"
#include "rtmp/ConnectionSettings.h"
#include "rtmp/session/RTMPClient.h"
#include "sink/BaseTimer.h"
#include "sink/KeyValuePair.h"
#include "sink/PureSink.h"
#include "sink/SinkStatistics.h"
#include "sink/Track.h"

class CRTMPSink : public BS::CPureSink {
public:
    // Queue thresholds of the input side.
    static constexpr size_t kVideoQueueLimit = 150;  // above: wait or drop
    static constexpr size_t kAudioQueueLimit = 400;
    static constexpr uint32_t kSpaceWaitMs = 100;    // wait mode: longest wait before the stop event is looked at
    static constexpr int32_t kAudioParserBuffer = 1048576;
    static constexpr int32_t kVideoParserBuffer = 10485760;
    // Buffer modes.
    static constexpr int32_t BUFFER_WAIT = 0;
    static constexpr int32_t BUFFER_DROP = 1;
    static constexpr int32_t kUnknownQueue = 2147483647;
    // The client's response time-out; the reconnect thread's stop time-out is kept above it.
    static constexpr int32_t kClientResponseTimeout = 10000;
    // Script-data record sizes.
    static constexpr int32_t kScriptRecordSize = 4096;
    static constexpr int32_t kInvokeRecordSize = 8192;

    explicit CRTMPSink(NotifyEventObserver* observer = nullptr);
    ~CRTMPSink() override;
    CRTMPSink(const CRTMPSink&) = delete;
    CRTMPSink& operator=(const CRTMPSink&) = delete;

    // BS::CPureSink
    bool IsInited() override;
    bool Lock() override;
    bool Unlock() override;
    bool AddTrack(const BS::format_t& format, int32_t type, int32_t userValue) override;
    int32_t Init(const ConnectionSettings& settings, int32_t* connectTimeMs) override;
    bool Close() override;
    bool Flush(bool sendRemaining, bool discard) override;
    uint32_t GetQueueSize(uint32_t track) override;
    bool PutData(BS::data_t* sample, int32_t track, bool owned) override;
    bool SetEndOfStream(int32_t track) override;
    bool WaitForTrack(uint32_t track, platform::CEvent* stopEvent) override;
    int32_t GetSinkStatus() override;
    bool GetStatistics(RTMPStatistics* out) override;
    bool SetTrackActive(uint32_t track, bool active) override;
    // Slot 15: one pass of the multiplex thread. Always false.
    virtual bool Interleave();

    void ClearNonConfigData(int64_t t);

    // Status and statistics (the observer and handler are called with the sink lock held).
    int32_t SendNotifyEvent(int32_t code, const void* param, const char* text);
    void SendStatusEvent(int32_t status);
    void SendStatistics(int64_t now);
    HRESULT SetStatusNotifyHandler(void* context1, void* context2, RTMPStatusNotifyHandler handler);
    void ClearStatusNotifyHandler();
    void SetNotifyObserver(NotifyEventObserver* observer);

    // Script data.
    HRESULT SendKeyValuePairs(const char* name, const KeyValuePair* const* pairs, int32_t count, bool plain);
    HRESULT SendCuepoint(const KeyValuePair* const* pairs, int32_t count);
    HRESULT SendMetadata(bool plain, const KeyValuePair* const* pairs, int32_t count);
    HRESULT SendNamedPairs(const char* name, const KeyValuePair* const* pairs, int32_t count, bool plain);
    HRESULT SendInvokeString(const wchar_t* name, const wchar_t* json, const wchar_t* third, bool plain);
    HRESULT ClearMetadata();
    HRESULT SendRTMPCommand(const char* command, const VARIANT* arguments);
    // Count of valid pairs, or -1 (logged) when the array is not valid.
    static int32_t ValidatePairs(const KeyValuePair* const* pairs, int32_t count);

    // Restart of the publication on its own thread (the filter's restart command).
    bool StartRestartStream();
    void SetRecordMode(int32_t mode);
    int32_t GetRecordMode() const;

    CRTMPClient& Client() { return m_Client; }
    int32_t GetBufferMode();
    int64_t GetSinkTime() { return m_Timer.GetTime(); }
    uint64_t VideoMessagesSent();
    uint64_t AudioMessagesSent();
    // Units removed by the drop passes since construction.
    uint64_t DroppedUnits();

protected:
    // Seams between the sink and its collaborators; the product uses the defaults.
    // Creates and initialises the parser of a new track; null for an unknown type.
    virtual std::unique_ptr<BS::CBaseParser> CreateParser(int32_t type);
    virtual bool IsClientConnected();
    // One connection attempt (the client's connect with the sink's sleep delay); true when published.
    virtual bool ConnectClient(const ConnectionSettings& settings, bool tunnel);
    // Hands one media unit to the client (the unit stays the caller's).
    virtual void DeliverMedia(BS::data_t* unit, int32_t messageType);
    virtual bool DeliverScript(BS::data_t* record, int32_t chunkStream, int32_t messageType);
    // Sends the stream metadata once per connection, before the first media message.
    virtual void DeliverMetadata();
    // Marks the sink streaming without a connection (tests drive the queues by hand).
    void SetStreamingForTests(bool on, int32_t bufferMode = BUFFER_DROP);
    void SetNoWaitForTests(bool on);
    void SetReconnectingForTests(bool on);
    // What a successful reconnection does to the interleaver (config lookup, re-basing).
    void SimulateReconnectedForTests();

private:
    struct WaitResult {
        bool brokeWait;
        bool newDtsArrived;
    };
    static void MultiplexThreadProc(void* param, CWorkerThread* self);
    static void ReconnectThreadProc(void* param, CWorkerThread* self);
    static void RestartStreamThreadProc(void* param, CWorkerThread* self);
    void ReconnectAttempt();
    void RestartStream();
    void CheckReconnection();
    bool AttemptsLeft() const;
    // `trackType` is read under the sink lock by the caller: Close may destroy the track meanwhile.
    void SendSample(BS::data_t* unit, int32_t track, size_t unitsLeft, int32_t trackType);
    WaitResult WaitTime(int64_t target, int32_t track);
    void ConfigLookup(bool& stop);
    // After a restart at a key frame: the other tracks begin at its time `start`. Needs m_SinkLock.
    void AlignToSegmentStart(int64_t start);
    void RefreshFormatsFromParsers();
    bool ConnectWithFallbacks(ConnectionSettings& s, bool eventsAsText);
    void ReportConnectError();
    void ApplyTimecode();
    void DestroyTracks();
    // Takes every unit the track's parser still holds into its queue (the parser's end-of-stream
    // drain); B pictures left without their reference are freed. Needs m_SinkLock.
    void DrainParserLocked(BS::track_t& t, bool endOfStream);
    void DropVideo(BS::track_t& t, size_t q);
    void DropAudio(BS::track_t& t, size_t q);
    // After the closing pass of an end of stream: waits for the send buffer, up to the
    // DrainTimeout setting counted from `from` (tick ms); reports what it leaves behind.
    void WaitForSendBuffer(uint32_t from);
    bool SendScriptRecord(BS::data_t* record, int32_t chunkStream, int32_t type);
    void SetStatusAndNotify(int32_t status);
    void ResetStatisticsLocked();
    void ConnectedTail(bool connected);
    void AfterReconnection();

    CRTMPClient m_Client;

    // m_SinkLock guards the track list, every sample_list, the buffer mode, the per-kind figures,
    // the interleaver's times and counters, the statistics record and the observer/handler.
    // Taken by every thread for short sections; after m_InitLock and m_RestartLock, before the
    // client's and the timer's locks. Exposed through Lock/Unlock.
    platform::CReentrantLock m_SinkLock;
    // m_InitLock: Init and ReconnectAttempt exclude each other (application vs reconnect thread);
    // outermost.
    platform::CReentrantLock m_InitLock;
    // m_RestartLock: one RestartStream run (restart thread); outermost.
    platform::CReentrantLock m_RestartLock;
    // m_InterleaveLock: one Interleave pass at a time, held for the whole pass including sending
    // and pacing, so the closing flush on a streaming thread and the multiplex thread never pop
    // and send units side by side (their messages would leave out of order). Taken by the
    // multiplex thread and by Flush; before m_SinkLock, never while holding it.
    platform::CReentrantLock m_InterleaveLock;

    std::deque<BS::track_t*> m_Tracks;  // owned; m_SinkLock
    platform::CEvent m_evData{false, false};        // auto reset: new units queued
    platform::CEvent m_hReconnecting{true, false};  // manual reset: reconnection pending/running
    // Auto reset, one per track kind: a queue has come back to its limit (wakes a producer held
    // in wait mode).
    platform::CEvent m_evVideoSpace{false, false};
    platform::CEvent m_evAudioSpace{false, false};
    platform::CEvent& SpaceEvent(bool video) { return video ? m_evVideoSpace : m_evAudioSpace; }
    CWorkerThread m_hMultiplexThread;
    CWorkerThread m_hReconnectingThread;
    CWorkerThread m_hRestartStreamThread;
    BS::CBaseTimer m_Timer;

    // Input side (m_SinkLock).
    int32_t m_iBufferMode = BUFFER_DROP;
    int32_t m_iAudioQueue = kUnknownQueue;
    int32_t m_iVideoQueue = kUnknownQueue;
    int32_t m_iAudioBitrate = 0;
    int32_t m_iVideoBitrate = 0;
    BS::format_t m_VideoFormat;
    BS::format_t m_AudioFormat;
    bool m_bPassthroughPadding = true;
    int32_t m_iAllowBFrames = 1;

    // Interleaver (m_SinkLock unless atomic).
    int64_t TIME_SHIFT = 0;
    int64_t FIRST_TIME = NO_TIME;
    int64_t m_iRefUTCTimeInit = NO_TIME;
    bool m_bAbsoluteTime = false;
    bool m_bConfigLookup = false;
    std::atomic<bool> m_bNoWait{false};
    int64_t m_iLastStatisticsTime = 0;
    std::atomic<int32_t> m_iNotifyStatisticsTime{1000};
    uint64_t m_uVideoMessagesSent = 0;
    uint64_t m_uAudioMessagesSent = 0;
    uint64_t m_uDroppedUnits = 0;
    std::atomic<int64_t> m_iLastSentDts{0};
    std::atomic<int32_t> m_iDisconnectDetected{0};

    // Connection management.
    ConnectionSettings m_Settings;          // m_InitLock (copied by Init, read by the reconnect thread)
    std::atomic<bool> m_bInitialised{false};
    std::atomic<bool> m_bStreaming{false};
    std::atomic<bool> m_bStreamingToServer{false};
    std::atomic<bool> m_bRestartRunning{false};
    int32_t m_iStatusValue = RTMP_STATUS_DISCONNECTED;  // m_SinkLock; the status event points here
    int32_t m_iVideoRateOverride = 0;       // m_SinkLock
    int32_t m_iAudioRateOverride = 0;       // m_SinkLock
    std::atomic<int32_t> m_iReconnectAttempts{0};   // the configured maximum
    std::atomic<int32_t> m_iReconnectInterval{0};
    std::atomic<int32_t> m_iAttemptsMade{0};
    std::atomic<int64_t> m_iLastAttemptTime{0};
    std::atomic<int32_t> m_iStatus{RTMP_STATUS_DISCONNECTED};
    std::string m_sStatusText;              // m_SinkLock
    std::string m_sUrl;                     // m_SinkLock
    int64_t m_iBufferingDelay = 0;
    int32_t m_iUseBufferingDelay = 1;
    std::atomic<int32_t> m_iRepublishOnRestart{1};
    static std::atomic<int32_t> s_iReconnectTimeout;
    std::atomic<int32_t> m_iRecordMode{0};
    std::atomic<int> m_iLocalPort{-1};
    std::atomic<int> m_iServerPort{0};
    // Set by Close (and the destructor) before anything else, cleared when Close is done: a
    // reconnect attempt gives up between its steps, and the event wakes one waiting for the
    // init lock.
    std::atomic<bool> m_bClosing{false};
    platform::CEvent m_evClosing{true, false};

    // Statistics (m_SinkLock).
    RTMPStatistics m_Stats;
    int32_t m_iOutputPacketSize = 0;
    int64_t m_iPreviousDataSent = 0;
    uint64_t m_uPrevAckPackets = 0;
    uint64_t m_uPrevPayloadSent = 0;
    uint64_t m_uPrevPayloadAck = 0;
    uint64_t m_uPrevServerAck = 0;
    int64_t m_iPrevServerAckTime = 0;
    int64_t m_iServerAckRate = 0;
    uint64_t m_uPrevVideoMessages = 0;
    uint64_t m_uPrevAudioMessages = 0;
    NotifyEventObserver* m_pObserver = nullptr;
    void* m_pHandlerContext1 = nullptr;
    void* m_pHandlerContext2 = nullptr;
    RTMPStatusNotifyHandler m_pHandler = nullptr;
};
