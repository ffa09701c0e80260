// Connection management: Init with its fallback ports and tunnel switch, the reconnection
// trigger and the reconnect thread, the restart of the publication, the sink status and Close.
#include <sys/time.h>

#include <array>

#include "foundation/EventCallbacks.h"
#include "foundation/Log.h"
#include "platform/Clock.h"
#include "sink/RTMPSink.h"

using BS::track_t;

std::atomic<int32_t> CRTMPSink::s_iReconnectTimeout{10000};

namespace {
// How often a reconnect attempt looks for the init lock again; Close wakes it at once.
constexpr uint32_t kInitLockRetryMs = 20;

// First try, two fallbacks, and the last entry tried with the transport switched.
std::array<int32_t, 4> PortList(int32_t port, bool tunnel) {
    if (tunnel) return {port, 443, 1935, 1935};
    return {port, 443, 80, 80};
}
}  // namespace

CRTMPSink::CRTMPSink(NotifyEventObserver* observer) : m_pObserver(observer) {}

CRTMPSink::~CRTMPSink() {
    // As in Close: a reconnect attempt still under way gives up at once.
    m_bClosing.store(true);
    m_evClosing.Set();
    m_Client.AbortConnects(true);
    m_evData.Set();
    m_hMultiplexThread.Stop(1000);
    m_hReconnectingThread.Stop(static_cast<uint32_t>(s_iReconnectTimeout.load()));
    m_hRestartStreamThread.Stop(1000);
    m_Timer.Stop();
    m_Client.Close();
    DestroyTracks();
}

bool CRTMPSink::IsClientConnected() { return m_Client.IsActive(); }

bool CRTMPSink::ConnectClient(const ConnectionSettings& settings, bool tunnel) {
    return m_Client.Connect(settings, 10, tunnel) == CRTMPClient::CONNECT_PUBLISHED;
}

bool CRTMPSink::AttemptsLeft() const {
    const int32_t max = m_iReconnectAttempts.load();
    return max < 0 || m_iAttemptsMade.load() < max;
}

void CRTMPSink::SetStatusAndNotify(int32_t status) {
    // The event carries a pointer to the value: it is set and reported under one hold, so a
    // status set on another thread meanwhile cannot change what this event reports.
    platform::CAutoLock g(m_SinkLock);
    m_iStatus.store(status);
    m_iStatusValue = status;
    SendNotifyEvent(EC_ZEPH_RTMP_WRITER_STATUS, &m_iStatusValue, m_sStatusText.c_str());
}

void CRTMPSink::ApplyTimecode() {
    const ConnectionSettings& s = m_Settings;
    if (!s.timecodeEnabled) {
        m_Client.SetTimecode(0, 0, s.timecodeInterval, 0);
    } else if (!s.timecodeCurrentTime) {
        m_Client.SetTimecode(s.timecodeStart, 0, s.timecodeInterval, 1);
    } else {
        timeval tv{};
        gettimeofday(&tv, nullptr);
        m_Client.SetTimecode(tv.tv_sec, tv.tv_usec, s.timecodeInterval, 2);
    }
}

void CRTMPSink::ReportConnectError() {
    const int32_t state = m_Client.m_iConnectionState.load();
    std::string url, stream;
    {
        platform::CAutoLock g(m_SinkLock);
        url = m_sUrl;
        stream = m_Settings.streamName;
        // The base URL has no port; the user needs to see the one that was tried.
        const size_t host = url.find("://");
        const size_t path = host == std::string::npos ? std::string::npos : url.find('/', host + 3);
        if (path != std::string::npos && url.find(':', host + 3) > path && m_Settings.port > 0)
            url.insert(path, ":" + std::to_string(m_Settings.port));
    }
    const std::string detail = m_Client.GetFailureDetail();
    switch (state) {
        case 1:
            // A TLS connect that failed says why (certificate, name, time-out): the user can act on it.
            if (detail.empty()) PostEvent("error", "RTMP: TCP connect failed: %s", url.c_str());
            else PostEvent("error", "RTMP: TCP connect failed: %s: %s", url.c_str(), detail.c_str());
            break;
        case 2:
        case 3:
            // The stage alone cannot tell a refused handshake from a silent server: the client's
            // own account follows.
            PostEvent("error", "RTMP: Streaming to server failed: %s%s%s", url.c_str(), detail.empty() ? "" : ": ",
                      detail.c_str());
            break;
        case 4:
            PostEvent(L"error", L"RTMP: Authentication failed");
            break;
        case 5:
            PostEvent("error", "RTMP: Invalid application name / stream for server \"%s\" / \"%s\" ", url.c_str(),
                      stream.c_str());
            break;
        default:
            break;
    }
}

// Tries the port in use, then the fallbacks the settings allow. On success `s.port` is the port
// that answered and `s.tunnel` tells whether the last entry was needed; on failure `s` is as it
// came in, so the next attempt starts again at the URL's own port. Reconnection reports its steps
// as text events, Init as log lines. A Close meanwhile ends the list at the next port.
bool CRTMPSink::ConnectWithFallbacks(ConnectionSettings& s, bool eventsAsText) {
    const auto ports = PortList(s.port, s.tunnel);
    if (ConnectClient(s, s.tunnel)) return true;
    if (m_bClosing.load()) return false;
    if (eventsAsText) PostEvent("warning", "RTMPSink: Error: could not connect to default port %d", s.port);
    else Log(LOG_ERROR, 1, "RTMPSink: Error: could not connect to default port %d", s.port);
    m_Client.Close();
    bool fallbackPorts = s.fallbackPortsDefault;
    bool fallbackTunnel = s.fallbackTunnelDefault;
    if (s.secure) fallbackPorts = fallbackTunnel = false;
    fallbackPorts = getRegistryKey(KEY_RTMPSINK, "FallbackPorts", fallbackPorts ? 1 : 0) != 0;
    fallbackTunnel = getRegistryKey(KEY_RTMPSINK, "FallbackTunnel", fallbackTunnel ? 1 : 0) != 0;
    // The client turns TLS on for rtmps when SecureTransport is set; the tunnel would be plain.
    const bool tls = s.secure && getRegistryKey(KEY_RTMPSINK, "SecureTransport", 0) != 0;
    if (tls) fallbackTunnel = false;
    ConnectionSettings next = s;
    if (fallbackPorts) {
        if (eventsAsText) PostEvent("warning", "could not connect - trying fallback to 443");
        else Log(LOG_TRACE, 1, "trying fallback to 443");
        for (size_t i = 1; i <= 2 && !m_bClosing.load(); ++i) {
            next.port = ports[i];
            // A stream over TLS never falls back to a plain port: its one fallback is TLS on 443.
            if (tls && (i > 1 || s.port == ports[i])) break;
            if (ConnectClient(next, next.tunnel)) {
                s = next;
                return true;
            }
            m_Client.Close();
        }
    }
    if (fallbackTunnel && !m_bClosing.load()) {
        if (eventsAsText) PostEvent("warning", "could not connect - trying tunnel (RTMPT, port 80)");
        else Log(LOG_TRACE, 1, "trying tunnel (RTMPT, port 80)");
        m_Client.Close();
        next.port = ports[3];
        next.tunnel = !s.tunnel;
        if (ConnectClient(next, next.tunnel)) {
            s = next;
            return true;
        }
        m_Client.Close();
    }
    return false;
}

void CRTMPSink::ResetStatisticsLocked() {
    const int32_t bufferSize = m_Stats.outputBufferSize;
    m_Stats = RTMPStatistics{};
    m_Stats.outputBufferSize = bufferSize;
    m_iAudioBitrate = m_iVideoBitrate = 0;
    m_iAudioQueue = m_iVideoQueue = kUnknownQueue;
    m_iPreviousDataSent = 0;
    m_uPrevAckPackets = m_uPrevPayloadSent = m_uPrevPayloadAck = 0;
    m_uPrevServerAck = 0;
    m_iPrevServerAckTime = 0;
    m_iServerAckRate = 0;
    m_uVideoMessagesSent = m_uAudioMessagesSent = 0;
    m_uPrevVideoMessages = m_uPrevAudioMessages = 0;
    m_iLastStatisticsTime = 0;
}

int32_t CRTMPSink::Init(const ConnectionSettings& settings, int32_t* connectTimeMs) {
    platform::CAutoLock init(m_InitLock);
    if (!m_hMultiplexThread.IsCreated()) {
        Log(LOG_TRACE, 2, "RTMPSink::Init: creating m_hMultiplexThread");
        m_hMultiplexThread.Start(&CRTMPSink::MultiplexThreadProc, this, "CRTMPSink::Init:m_hMultiplexThread");
    }
    if (IsInited()) Close();

    ConnectionSettings s = settings;
    {
        platform::CAutoLock g(m_SinkLock);
        m_iDisconnectDetected.store(0);
        m_bNoWait.store(false);
        m_iBufferMode = s.bufferMode == 0 ? BUFFER_WAIT : BUFFER_DROP;
        Log(LOG_TRACE, 1, m_iBufferMode == BUFFER_WAIT ? "RTMPSink::Init: Buffer mode wait/block"
                                                       : "RTMPSink::Init: Buffer mode drop");
        m_bPassthroughPadding = s.passthroughPadding;
        m_iAllowBFrames = s.allowBFrames;
        Log(LOG_TRACE, 1, "RTMPSink: PassthroughPadding %d", s.passthroughPadding ? 1 : 0);
        m_iBufferingDelay = getRegistryKey(KEY_RTMPSINK, "BufferingDelay", 0);
        m_iUseBufferingDelay = getRegistryKey(KEY_RTMPSINK, "UseBufferingDelay", 1);
        m_iRepublishOnRestart.store(getRegistryKey(KEY_RTMPSINK, "RepublishOnRestart", 1));
        s_iReconnectTimeout.store(getRegistryKey(KEY_RTMPSINK, "ReconnectTimeout", 10000));
        m_iNotifyStatisticsTime.store(
            getRegistryKey(KEY_RTMPSINK, "NotifyStatisticsTime", m_iNotifyStatisticsTime.load()));
        m_sUrl = s.url;
        m_sStatusText = s.url + "+" + s.streamName;
        m_VideoFormat = s.videoFormat;
        m_AudioFormat = s.audioFormat;
    }
    if (s.port <= 0) {
        s.port = 1935;
        if (s.tunnel) s.port = 80;
        if (s.secure) s.port = 443;
    }
    m_bAbsoluteTime = s.absoluteTime != 0;
    m_iReconnectAttempts.store(s.reconnectAttempts);
    m_iReconnectInterval.store(s.reconnectInterval);
    Log(LOG_TRACE, 1, "RTMPSink connect %s %s %d time %d %d %d %d buffering %d %lld reconnect %d/%d", s.url.c_str(),
        s.streamName.c_str(), s.port, s.timecodeEnabled ? 1 : 0, s.timecodeStart, s.timecodeInterval,
        s.timecodeCurrentTime ? 1 : 0, m_iUseBufferingDelay, static_cast<long long>(m_iBufferingDelay),
        s.reconnectAttempts, s.reconnectInterval);
    if (s.secure) s.fallbackPortsDefault = s.fallbackTunnelDefault = false;
    if (s.tunnel) {
        s.outputBufferSize = 0;
        s.outputPacketSize = 0;
    }
    m_Settings = s;
    ApplyTimecode();
    m_Client.SetRecordMode(m_iRecordMode.load());

    const uint32_t started = platform::timeGetTime();
    const bool connected = ConnectWithFallbacks(s, false);
    if (!connected && !s.startWithoutConnection) {
        m_Client.Close();
        ReportConnectError();
        return m_Client.m_iConnectionState.load();
    }
    if (connected && connectTimeMs) *connectTimeMs = static_cast<int32_t>(platform::timeGetTime() - started);
    m_Settings = s;
    m_Timer.Start();
    {
        platform::CAutoLock g(m_SinkLock);
        m_iLastAttemptTime.store(0);
        m_Stats.outputBufferSize = s.outputBufferSize;
        m_iOutputPacketSize = s.outputPacketSize;
        ResetStatisticsLocked();
        m_iAttemptsMade.store(0);
        m_iDisconnectDetected.store(0);
        m_hReconnecting.Reset();
        FIRST_TIME = NO_TIME;
        TIME_SHIFT = 0;
        m_iRefUTCTimeInit = NO_TIME;
        m_bConfigLookup = false;
    }
    ConnectedTail(connected);
    return 0;
}

void CRTMPSink::ConnectedTail(bool connected) {
    m_bInitialised.store(true);
    {
        platform::CAutoLock g(m_SinkLock);
        m_bStreaming.store(true);
    }
    m_bStreamingToServer.store(true);
    PostEvent("info", "RTMP Streaming to server starts: %s", m_Settings.url.c_str());
    m_iLocalPort.store(m_Client.GetOwnPort());
    m_iServerPort.store(m_Settings.port);
    SetStatusAndNotify(connected ? RTMP_STATUS_CONNECTED : RTMP_STATUS_RECONNECTING);
    m_evData.Set();
}

void CRTMPSink::CheckReconnection() {
    // A connection that ends while Close unpublishes is not a loss: nothing reconnects it.
    if (!m_bInitialised.load() || m_bClosing.load()) return;
    if (IsClientConnected() && m_iDisconnectDetected.load() <= 0) return;
    const bool left = AttemptsLeft();
    if (!m_hReconnecting.IsSet() && left) {
        m_hReconnecting.Set();
        Log(LOG_TRACE, 1, "CRTMPSink::Interleave Setting event m_hReconnecting");
    }
    if (!m_hReconnectingThread.IsRunning() && m_bStreamingToServer.load()) {
        PostEvent("error", "RTMP disconnection from server while encoding");
        m_bStreamingToServer.store(false);
        SetStatusAndNotify(left ? RTMP_STATUS_RECONNECTING : RTMP_STATUS_DISCONNECTED);
    }
    const int64_t now = m_Timer.GetTime();
    const int64_t last = m_iLastAttemptTime.load();
    if (left && now != NO_TIME && (now - last > m_iReconnectInterval.load() || now < last)) {
        m_iLastAttemptTime.store(now);
        if (!m_hReconnectingThread.IsRunning()) {
            Log(LOG_TRACE, 1, "Trying to reconnect");
            m_hReconnectingThread.Start(&CRTMPSink::ReconnectThreadProc, this,
                                        "CRTMPSink::Interleave:m_hReconnectingThread");
        } else {
            Log(LOG_TRACE, 1, "Trying to reconnect: previous thread is still active");
        }
    }
    platform::CAutoLock g(m_SinkLock);
    for (track_t* t : m_Tracks) {
        if (t->parser) t->parser->Reset(0);
        t->ClearSamples();
        t->key_gate = t->key_start = t->type == TRACK_TYPE_VIDEO;
    }
}

void CRTMPSink::ReconnectThreadProc(void* param, CWorkerThread*) { static_cast<CRTMPSink*>(param)->ReconnectAttempt(); }

void CRTMPSink::ReconnectAttempt() {
    // Never a plain wait for the init lock: a Close called by Init holds it while it waits for
    // this thread to end.
    while (!m_InitLock.TryLock()) {
        if (m_bClosing.load()) return;
        m_evClosing.Wait(kInitLockRetryMs);
    }
    struct Release {
        platform::CReentrantLock& lock;
        ~Release() { lock.Unlock(); }
    } release{m_InitLock};
    Log(LOG_TRACE, 1, "ReconnectAttempt");
    if (!m_bInitialised.load() || m_bClosing.load()) return;
    if (IsClientConnected() && m_iDisconnectDetected.load() <= 0) return;
    if (m_iAttemptsMade.load() == 0) {
        Log(LOG_TRACE, 1, "First reconnect attempt, closing client.");
        m_Client.Close();
    }
    ApplyTimecode();
    m_Client.SetRecordMode(m_iRecordMode.load());
    ConnectionSettings s = m_Settings;
    if (s.tunnel) s.port = 80;
    if (s.secure) s.fallbackPortsDefault = s.fallbackTunnelDefault = false;
    const bool connected = ConnectWithFallbacks(s, true);
    if (m_bClosing.load()) {
        // Called off by Close: whatever this attempt reached is closed again, without a word.
        m_Client.Close();
        return;
    }
    const int32_t max = m_iReconnectAttempts.load();
    if (connected) {
        m_Settings = s;
        PostEvent("info", "Reconnection succeeded: try %d to reconnect to %s", m_iAttemptsMade.load(),
                  m_Settings.url.c_str());
        m_iAttemptsMade.store(0);
        m_bStreamingToServer.store(true);
        m_iLocalPort.store(m_Client.GetOwnPort());
        m_iServerPort.store(s.port);
        SetStatusAndNotify(RTMP_STATUS_CONNECTED);
    } else {
        PostEvent("error", "Reconnection failed: try %d to reconnect to %s", m_iAttemptsMade.load(),
                  m_Settings.url.c_str());
        m_Client.Close();
        if (max >= 0) {
            const int32_t made = m_iAttemptsMade.fetch_add(1) + 1;
            if (made >= max) SetStatusAndNotify(RTMP_STATUS_DISCONNECTED);
        }
    }
    if (!IsClientConnected() && (max < 1 || m_iAttemptsMade.load() < max)) {
        // Still reconnecting: the next Interleave schedules the next attempt after the interval.
        SetStatusAndNotify(RTMP_STATUS_RECONNECTING);
        return;
    }
    AfterReconnection();
}

void CRTMPSink::AfterReconnection() {
    {
        platform::CAutoLock g(m_SinkLock);
        m_bConfigLookup = true;
        if (!m_bAbsoluteTime) {
            TIME_SHIFT = NO_TIME;
            m_Timer.Reset();
            m_iLastStatisticsTime = 0;
            m_iLastAttemptTime.store(0);
            m_iPrevServerAckTime = 0;
        } else {
            m_iRefUTCTimeInit = m_Timer.GetTime();
        }
        m_iPreviousDataSent = 0;
    }
    m_iDisconnectDetected.store(0);
    Log(LOG_TRACE, 1, "CRTMPSink::ReconnectAttempt Resetting event m_hReconnecting");
    m_hReconnecting.Reset();
    m_evData.Set();
}

bool CRTMPSink::StartRestartStream() {
    if (m_bRestartRunning.exchange(true)) return false;
    if (m_hRestartStreamThread.Start(&CRTMPSink::RestartStreamThreadProc, this,
                                     "CRTMPSink::RestartStream:m_hRestartStreamThread")) {
        m_bRestartRunning.store(false);
        return false;
    }
    return true;
}

void CRTMPSink::RestartStreamThreadProc(void* param, CWorkerThread*) {
    auto* sink = static_cast<CRTMPSink*>(param);
    sink->RestartStream();
    sink->m_bRestartRunning.store(false);
}

void CRTMPSink::RestartStream() {
    platform::CAutoLock restart(m_RestartLock);
    Log(LOG_TRACE, 1, "RestartStream");
    m_bRestartRunning.store(true);
    const bool republish = m_iRepublishOnRestart.load() != 0;
    if (republish) {
        Log(LOG_TRACE, 1, "RestartStream FCUnpublishStream");
        m_Client.SendFCUnpublish(1, 100);
    }
    Log(LOG_TRACE, 1, "RestartStream FlushSendBuffer");
    m_Client.FlushSendBuffer();
    Log(LOG_TRACE, 1, "RestartStream Lock");
    {
        platform::CAutoLock g(m_SinkLock);
        Log(LOG_TRACE, 1, "RestartStream size %d", static_cast<int>(m_Tracks.size()));
        for (track_t* t : m_Tracks) {
            if (t->parser) t->parser->Reset(0);
            Log(LOG_TRACE, 1, "RestartStream clean");
            t->ClearSamples();
        }
    }
    if (republish) {
        Log(LOG_TRACE, 1, "RestartStream FCPublishStream");
        m_Client.SendFCPublish(1);
    }
    Log(LOG_TRACE, 1, "RestartStream end");
}

int32_t CRTMPSink::GetSinkStatus() {
    if (m_hReconnecting.IsSet()) {
        Log(LOG_TRACE, 5, "CRTMPSink::GetSinkStatus Reconnecting signaled - SINK_RECONNECTION");
        return BS::SINK_RECONNECTION;
    }
    bool notify = false;
    {
        platform::CAutoLock g(m_SinkLock);
        if (IsClientConnected()) return BS::SINK_OK;
        if (AttemptsLeft()) {
            Log(LOG_TRACE, 5, "CRTMPSink::GetSinkStatus client inactive - reconnect left - SINK_RECONNECTION");
            return BS::SINK_RECONNECTION;
        }
        if (m_iStatus.load() != RTMP_STATUS_DISCONNECTED) {
            Log(LOG_TRACE, 1,
                "CRTMPSink::GetSinkStatus client inactive - no reconnect left - send RTMPWriterDisconnected");
            notify = true;
        }
    }
    if (notify) SetStatusAndNotify(RTMP_STATUS_DISCONNECTED);
    if (m_iDisconnectDetected.load() < 1)
        Log(LOG_TRACE, 5, "CRTMPSink::GetSinkStatus client inactive - NO reconnect left - SINK_ERROR");
    return BS::SINK_ERROR;
}

bool CRTMPSink::Close() {
    // A reconnect attempt under way is called off first: its connect returns at once and it stops
    // before the next port, so the wait for its thread is short and nothing it connected outlives
    // Close. The init lock then keeps a later attempt (and Init) out until Close is done.
    m_bClosing.store(true);
    m_evClosing.Set();
    m_Client.AbortConnects(true);
    int32_t timeout = s_iReconnectTimeout.load();
    if (timeout <= kClientResponseTimeout) {
        timeout = kClientResponseTimeout + 1000;
        s_iReconnectTimeout.store(timeout);
        Log(LOG_TRACE, 1, "CRTMPSink warning: setting thread timeout to %d", timeout);
    }
    m_hReconnectingThread.Stop(static_cast<uint32_t>(timeout));
    platform::CAutoLock init(m_InitLock);
    if (IsClientConnected()) {
        PostEvent("info", "RTMP streaming ends");
        Log(LOG_TRACE, 1, "CRTMPSink::Close(): invoking FCUnpublish before closing");
        m_Client.SendFCUnpublish(1, 500);
    }
    if (m_iStatus.load() != RTMP_STATUS_DISCONNECTED) {
        Log(LOG_TRACE, 1, "CRTMPSink::Close send RTMPWriterDisconnected");
        SetStatusAndNotify(RTMP_STATUS_DISCONNECTED);
    }
    m_bInitialised.store(false);
    m_bNoWait.store(false);
    m_Client.Close();
    // A closed sink has no reconnection pending; the flag would otherwise keep IsInited true.
    m_hReconnecting.Reset();
    {
        platform::CAutoLock g(m_SinkLock);
        DestroyTracks();
        m_Timer.Stop();
        m_bStreaming.store(false);
        if (m_iBufferMode != BUFFER_WAIT) m_iBufferMode = BUFFER_DROP;
        Log(LOG_TRACE, 1, "CSink::Close OK");
    }
    m_evData.Set();
    m_Client.AbortConnects(false);
    m_evClosing.Reset();
    m_bClosing.store(false);
    return true;
}

void CRTMPSink::SetRecordMode(int32_t mode) {
    m_iRecordMode.store(mode);
    m_Client.SetRecordMode(mode);
}

int32_t CRTMPSink::GetRecordMode() const { return m_iRecordMode.load(); }

void CRTMPSink::SetStreamingForTests(bool on, int32_t bufferMode) {
    platform::CAutoLock g(m_SinkLock);
    m_bStreaming.store(on);
    m_iBufferMode = bufferMode;
    if (on) {
        TIME_SHIFT = 0;
        FIRST_TIME = NO_TIME;
        if (!m_Timer.IsRunning()) m_Timer.Start();
    }
}

void CRTMPSink::SetNoWaitForTests(bool on) { m_bNoWait.store(on); }

void CRTMPSink::SetReconnectingForTests(bool on) {
    if (on) m_hReconnecting.Set();
    else m_hReconnecting.Reset();
}

void CRTMPSink::SimulateReconnectedForTests() { AfterReconnection(); }

uint64_t CRTMPSink::VideoMessagesSent() {
    platform::CAutoLock g(m_SinkLock);
    return m_uVideoMessagesSent;
}

uint64_t CRTMPSink::AudioMessagesSent() {
    platform::CAutoLock g(m_SinkLock);
    return m_uAudioMessagesSent;
}
