// The life of one publishing connection: Connect with its authentication retries, one attempt
// (TCP, handshake, connect..publish), and Close.
#include "rtmp/session/RTMPClient.h"

#include "foundation/EventCallbacks.h"
#include "foundation/Log.h"
#include "net/ProxySettings.h"
#include "net/TCPResult.h"
#include "platform/Clock.h"
#include "rtmp/Commands.h"
#include "rtmp/ControlMessages.h"
#include "rtmp/RtmpDefs.h"
#include "rtmp/RtmpUrl.h"
#include "rtmp/session/Handshake.h"
#include "rtmp/session/PublishVerdicts.h"

std::atomic<uint32_t> CRTMPClient::s_uWaitDelay{CRTMPClient::DEFAULT_WAIT_DELAY_MS};

namespace {
constexpr uint32_t HANDSHAKE_SLICE_MS = 500;
constexpr uint32_t REPLY_SLICE_MS = 100;
constexpr uint32_t CLOSE_POLL_MS = 10;
}  // namespace

CRTMPClient::CRTMPClient() {
    RTMPDataChunk.Init();
    SetReconnectedHandler([this] {
        if (m_bTunnel.load()) m_Tunnel.OnTransportReconnected(true);
    });
    // The scheme a server asks for first; read once, later refusals switch it.
    m_Auth.m_iAuthType = getRegistryKey(KEY_RTMPSINK, "DefaultAuthMode", rtmp::AUTH_ADOBE) == rtmp::AUTH_LLNW
                             ? rtmp::AUTH_LLNW
                             : rtmp::AUTH_ADOBE;
}

CRTMPClient::~CRTMPClient() {
    // The receive thread calls our overrides; it must be stopped before our members go.
    Close();
    Terminate();
}

std::string CRTMPClient::GetFailureDetail() const {
    std::lock_guard<std::mutex> g(m_FailureLock);
    return m_sFailureDetail;
}

void CRTMPClient::SetFailureDetail(std::string detail, bool fixed) {
    std::lock_guard<std::mutex> g(m_FailureLock);
    if (detail.empty()) {
        m_bFailureFixed = false;
    } else if (m_bFailureFixed && !fixed) {
        return;
    }
    m_bFailureFixed = fixed;
    m_sFailureDetail = std::move(detail);
}

int32_t CRTMPClient::GetAuthMode() const {
    platform::CAutoLock lock(m_AuthLock);
    return m_Auth.m_iAuthType;
}

void CRTMPClient::ReadSessionSettings(const ConnectionSettings& s) {
    m_Settings = s;
    m_Settings.tcpNoDelay = getRegistryKey(KEY_RTMPSINK, "TcpNoDelay", s.tcpNoDelay ? 1 : 0) != 0;
    const int bufferedDefault = (s.outputBufferSize != 0 && s.outputPacketSize != 0) ? 1 : 0;
    m_bSendBuffered.store(getRegistryKey(KEY_RTMPSINK, "SendBuffered", bufferedDefault) != 0);
    if (!m_bSendBuffered.load()) LogTrace(1, "RTMPClient::ConnectInternal Warning: buffered send is disabled");
    int wait = getRegistryKey(KEY_RTMPSINK, "WaitDelay", static_cast<int>(DEFAULT_WAIT_DELAY_MS));
    // A non-positive wait would make every step fail at once; keep the default then.
    s_uWaitDelay.store(wait > 0 ? static_cast<uint32_t>(wait) : DEFAULT_WAIT_DELAY_MS);
}

int CRTMPClient::ConnectTransport(TCPClientParams p, bool tunnel) {
    // Through an HTTP proxy when one is configured for the server, or when the server cannot be
    // reached directly and one is configured then.
    bool looked = false;
    std::string proxyHost;
    int proxyPort = 0;
    auto lookUp = [&] {
        looked = true;
        std::string host;
        int port = 0;
        if (!GetProxySettings(host, port, "http://" + m_sHost,
                              PROXY_FROM_SETTINGS | PROXY_FROM_AUTOCONFIG_URL | PROXY_AUTODETECT) || host.empty() || port <= 0) return false;
        proxyHost = host;
        proxyPort = port;
        return true;
    };
    auto logProxy = [&] {
        LogTrace(1, "RTMPClient::ConnectInternal Proxy %s %d %s %d %s %s %d %d %d %d", proxyHost.c_str(), proxyPort,
                 m_sHost.c_str(), m_iPort, m_sAppPath.c_str(), m_sStreamName.c_str(), m_Settings.outputBufferSize,
                 m_Settings.outputPacketSize, m_Settings.connectTimeout, m_Settings.tcpNoDelay ? 1 : 0);
    };
    bool viaProxy = tunnel && DirectlyUseProxyIfEnabled() && lookUp();
    if (viaProxy) {
        logProxy();
        p.host = proxyHost;
        p.port = proxyPort;
    } else {
        LogTrace(1, "RTMPClient::ConnectInternal %s %d %s %s %d %d %d %d", m_sHost.c_str(), m_iPort,
                 m_sAppPath.c_str(), m_sStreamName.c_str(), m_Settings.outputBufferSize, m_Settings.outputPacketSize,
                 m_Settings.connectTimeout, m_Settings.tcpNoDelay ? 1 : 0);
    }
    // One event per attempt, so a host can show the fallbacks as they are tried.
    PostEvent("info1", "rtmp: connecting to %s:%d%s%s", m_sHost.c_str(), m_iPort, tunnel ? " (RTMPT)" : "",
              viaProxy ? (" through the proxy " + proxyHost + ":" + std::to_string(proxyPort)).c_str() : "");
    int tcp = Connect(p);  // virtual: slot 2
    if (tcp != TCP_OK && tunnel && !viaProxy && !looked && lookUp()) {
        PostEvent("info1", "rtmp: connecting to %s:%d (RTMPT) through the proxy %s:%d", m_sHost.c_str(), m_iPort,
                  proxyHost.c_str(), proxyPort);
        LogTrace(1, "RTMPClient::ConnectInternal: direct connect to %s:%d failed with %d, trying the proxy",
                 m_sHost.c_str(), m_iPort, tcp);
        CTCPClient::Close();
        logProxy();
        p.host = proxyHost;
        p.port = proxyPort;
        tcp = Connect(p);
        viaProxy = tcp == TCP_OK;
    }
    if (tcp != TCP_OK) {
        LogTrace(1, "RTMPClient::ConnectInternal: TCP connect to %s:%d failed with %d", p.host.c_str(), p.port, tcp);
        if (viaProxy || (looked && !proxyHost.empty()))
            SetFailureDetail("the HTTP proxy " + proxyHost + ":" + std::to_string(proxyPort) + " cannot be reached");
        return tcp;
    }
    if (tunnel) m_Tunnel.Begin(m_sHost, m_iPort, viaProxy, s_uWaitDelay.load());
    return tcp;
}

CRTMPClient::WaitResult CRTMPClient::WaitFor(platform::CEvent& event, uint32_t sliceMs, uint32_t totalMs) {
    const uint32_t start = platform::timeGetTime();
    // Over the tunnel the server's answer comes only in the response to a request: a slice
    // without it posts what waits or polls.
    const bool tunnel = m_bTunnel.load();
    if (tunnel && sliceMs > REPLY_SLICE_MS) sliceMs = REPLY_SLICE_MS;
    for (;;) {
        const uint32_t elapsed = platform::timeGetTime() - start;
        if (elapsed >= totalMs) return event.IsSet() ? WaitResult::Ok : WaitResult::Timeout;
        const uint32_t left = totalMs - elapsed;
        if (event.Wait(left < sliceMs ? left : sliceMs)) return WaitResult::Ok;
        if (!IsActive()) return event.IsSet() ? WaitResult::Ok : WaitResult::Inactive;
        if (tunnel) m_Tunnel.Poll();
    }
}

void CRTMPClient::WaitTransportClosed() {
    // The receive thread must have finished its pass over the old socket before the next attempt
    // resets the codec under it.
    const uint32_t start = platform::timeGetTime();
    while (!WaitUntilClosed()) {
        if (platform::timeGetTime() - start >= s_uWaitDelay.load()) {
            Log(LOG_ERROR, 0, "RTMPClient::Connect: transport did not close in %u ms", s_uWaitDelay.load());
            return;
        }
        platform::Sleep(CLOSE_POLL_MS);
    }
}

int CRTMPClient::Connect(const ConnectionSettings& settings, int32_t sleepDelay, bool tunnel) {
    {
        platform::CAutoLock lock(m_AuthLock);
        m_Auth.m_bAuthNeeded = false;
    }
    auto authNeeded = [this] {
        platform::CAutoLock lock(m_AuthLock);
        return m_Auth.m_bAuthNeeded;
    };
    int r = ConnectInternal(settings, sleepDelay, tunnel);
    if (r == CONNECT_RETRY) {
        if (authNeeded())
            LogTrace(1, "RTMPClient::Connect: Connection lost during authentication - trying to reconnect");
        else
            LogTrace(1, "RTMPClient::Connect: Wrong authentication mode - trying to reconnect");
        Close();
        WaitTransportClosed();
        r = ConnectInternal(settings, sleepDelay, tunnel);
        if (r == CONNECT_RETRY && authNeeded()) {
            LogTrace(1, "RTMPClient::Connect: Connection lost during authentication - trying to reconnect");
            Close();
            WaitTransportClosed();
            r = ConnectInternal(settings, sleepDelay, tunnel);
        }
    }
    return r;
}

int CRTMPClient::ConnectInternal(const ConnectionSettings& settings, int32_t sleepDelay, bool tunnel) {
    LogTrace(1, "CRTMPClient::ConnectInternal");
    m_iConnectionState.store(STATE_TCP);
    SetFailureDetail({});
    m_iServerVersion.store(-1);
    m_iSuspectBytes.store(0);
    {
        platform::CAutoLock lock(m_MessageSendLock);
        m_iLastOnFITime = NO_TIME;
    }
    ReadSessionSettings(settings);
    m_bTunnel.store(tunnel);
    m_pKeptC2.reset();

    std::string app;
    m_sHost = rtmp::GetServerName(settings.url, app, nullptr);
    if (m_sHost.size() < 2) {
        Log(LOG_ERROR, 0, "RTMPClient::ConnectInternal: Failed to parse rtmp url.");
        return CONNECT_FAILED;
    }
    m_sAppPath = app;
    {
        platform::CAutoLock lock(m_AuthLock);
        m_Auth.m_bAuthSwitched = false;
        if (!settings.userName.empty()) {
            m_Auth.m_sAuthQuery = rtmp::BuildAuthQuery(m_Auth.m_iAuthType, settings);
            m_Auth.m_sUser = settings.userName;
            m_Auth.m_sPassword = settings.password;
        } else {
            m_Auth.m_sAuthQuery.clear();
        }
    }
    m_sStreamName = settings.streamName;
    m_iReceiveMode.store(RECEIVE_HANDSHAKE);
    m_iPort = settings.port;
    m_uBytesReceived.store(0);

    TCPClientParams p;
    // An IPv6 literal keeps its brackets in the URL and the tcUrl; the socket wants the address.
    p.host = net::StripAddressBrackets(m_sHost);
    p.port = m_iPort;
    p.sleepDelay = sleepDelay;
    p.sendBufferSize = m_bSendBuffered.load() ? settings.outputBufferSize : 0;
    p.sendPacketSize = m_bSendBuffered.load() ? settings.outputPacketSize : 0;
    p.socketBufferSize = settings.socketBufferSize;
    p.sendTimeout = settings.sendTimeout;
    p.receiveTimeout = settings.receiveTimeout;
    p.noDelay = m_Settings.tcpNoDelay ? 1 : 0;
    p.connectTimeout = settings.connectTimeout;
    // The tunnel is plain HTTP: the secure transport is asked for only without it. TLS is the
    // host's choice (SecureTransport 1); left at 0, an rtmps URL only changes the default port.
    const bool tls = getRegistryKey(KEY_RTMPSINK, "SecureTransport", 0) != 0;
    p.secure = settings.secure && !tunnel && tls ? 1 : 0;
    p.verifyPeer = getRegistryKey(KEY_RTMPSINK, "TlsVerifyPeer", 1) != 0 ? 1 : 0;
    if (p.secure) {
        char caFile[4096] = {};
        int hive = 0;
        if (getRegistryString(KEY_RTMPSINK, "TlsCaFile", caFile, sizeof caFile, &hive) == 0) p.caFile = caFile;
    }
    const int tcp = ConnectTransport(p, tunnel);
    if (tcp != TCP_OK) {
        if (std::string why = GetTransportError(); !why.empty()) SetFailureDetail(why);
        // The transport keeps a socket whose connect failed or was called off open (and says
        // connected); left so, a close would try to unpublish through a connect still pending.
        Close();
        if (tcp == TCP_TIMEOUT) return CONNECT_TIMEOUT;
        if (tcp == TCP_SOCKOPT_FAILED || tcp == TCP_SOCKET_FAILED) return CONNECT_SOCKET;
        return CONNECT_FAILED;
    }

    {
        platform::CAutoLock lock(m_ReceiveStateLock);
        RTMPDataChunk.Reset();
        RTMPDataChunk.SetBaseTimeMode(settings.absoluteTime != 0, settings.absoluteTime);
        m_evS0.Reset();
        m_evS1.Reset();
        m_evS2.Reset();
        m_pS0.reset();
        m_pS1.reset();
        m_pS2.reset();
    }

    if (tunnel && !m_Tunnel.Open(s_uWaitDelay.load())) {
        if (GetFailureDetail().empty())
            SetFailureDetail(IsActive() ? "the tunnel server opened no session within " +
                                                 std::to_string(s_uWaitDelay.load()) + " ms"
                                           : "the tunnel server closed the connection before opening a session");
        Close();
        return CONNECT_SESSION_FAILED;
    }

    m_iConnectionState.store(STATE_HANDSHAKE);
    if (!Handshake()) {
        // A half-done handshake leaves nothing worth keeping; the next attempt starts afresh.
        Close();
        return CONNECT_SESSION_FAILED;
    }
    ReleaseHandshakeBlocks();

    bool firstPass;
    std::string query;
    {
        platform::CAutoLock lock(m_AuthLock);
        firstPass = !m_Auth.m_bAuthNeeded;
        query = m_Auth.m_sAuthQuery;
    }
    bool ok = false;
    if (firstPass) {
        LogTrace(3, "Connection Events ok");
        m_iConnectionState.store(STATE_COMMANDS);
        ok = CommandSequence(query);
        bool switched;
        {
            platform::CAutoLock lock(m_AuthLock);
            switched = m_Auth.m_bAuthSwitched;
            if (switched) {
                // The server wants the other scheme: start over with its first step.
                m_Auth.m_sAuthQuery = rtmp::BuildAuthQuery(m_Auth.m_iAuthType, m_Auth.m_sUser);
                m_Auth.m_bAuthNeeded = false;
            }
        }
        if (switched) {
            Close();
            return CONNECT_RETRY;
        }
    }
    // On a later pass (answering a challenge) the state stays at the handshake until the
    // sequence succeeds: only the first pass announces the command phase.

    bool authNeeded;
    {
        platform::CAutoLock lock(m_AuthLock);
        authNeeded = m_Auth.m_bAuthNeeded;
    }
    if (!settings.userName.empty() && !ok && authNeeded) {
        auto retry = [this] {
            Close();
            platform::CAutoLock lock(m_AuthLock);
            m_Auth.m_bAuthNeeded = true;
            return CONNECT_RETRY;
        };
        // The refusal carried the challenge: answer it on the next connection.
        if (firstPass) return retry();
        if (!IsActive()) return retry();
        {
            platform::CAutoLock lock(m_AuthLock);
            query = m_Auth.ComputeAuthResponse(m_sAppPath);
        }
        ok = CommandSequence(query);
        if (!ok && !IsActive()) return retry();
    }

    if (!ok) {
        Close();
        PostEvent("error", "Connection failed");
        return CONNECT_SESSION_FAILED;
    }
    if (tunnel) m_Tunnel.StartIdleThread();
    m_iConnectionState.store(STATE_PUBLISHED);
    return CONNECT_PUBLISHED;
}

void CRTMPClient::ReleaseHandshakeBlocks() {
    platform::CAutoLock lock(m_ReceiveStateLock);
    m_pS0.reset();
    m_pS1.reset();
    m_pS2.reset();
}

bool CRTMPClient::Handshake() {
    m_iConnectionState.store(STATE_HANDSHAKE);
    BS::DataPtr c0c1 = rtmp::BuildC0C1();
    if (!c0c1) return false;
    Send(c0c1.get(), SEND_RAW, 0, 0, 0, true, false);

    struct Step {
        platform::CEvent* event;
        uint32_t slice;
        const char* name;
    };
    const Step steps[] = {{&m_evS0, HANDSHAKE_SLICE_MS, "S0"},
                          {&m_evS1, HANDSHAKE_SLICE_MS, "S1"},
                          {&m_evS2, REPLY_SLICE_MS, "S2"}};
    for (const Step& step : steps) {
        LogTrace(3, "Waiting for %s", step.name);
        WaitResult w = step.event == &m_evS0 ? WaitForS0() : WaitFor(*step.event, step.slice, s_uWaitDelay.load());
        const int32_t version = m_iServerVersion.load();
        if (w != WaitResult::Ok && version >= 0 && version != rtmp::HANDSHAKE_VERSION &&
            version != rtmp::HANDSHAKE_VERSION_RTMPE) {
            Log(LOG_ERROR, 0, "ERROR: server handshake version %d, line %d ", version, __LINE__);
            SetFailureDetail("the server answered the handshake with version " + std::to_string(version) +
                             "; this writer speaks RTMP version 3");
            return false;
        }
        if (w == WaitResult::Timeout) {
            Log(LOG_ERROR, 0, "ERROR: Wait Timeout %s, line %d ", step.name, __LINE__);
            SetFailureDetail(std::string("the server did not complete the handshake (no ") + step.name + " within " +
                             std::to_string(s_uWaitDelay.load()) + " ms)");
            return false;
        }
        if (w == WaitResult::Inactive) {
            Log(LOG_ERROR, 0, "ERROR: !IsActive, line %d ", __LINE__);
            SetFailureDetail(std::string("the server closed the connection during the handshake (before ") +
                             step.name + ")");
            return false;
        }
        LogTrace(3, "Waiting for %s ok", step.name);
    }

    if (RTMPDataChunk.IsRtmpe()) {
        // We speak only the plain handshake; answering an RTMPE server would just fail later.
        Close();
        SetFailureDetail("the server asked for an encrypted (RTMPE) handshake, which this writer does not offer");
        PostEvent("error", "RTMPE protocol handshake failed");
        return false;
    }
    BS::DataPtr c2;
    {
        platform::CAutoLock lock(m_ReceiveStateLock);
        c2 = rtmp::BuildC2(m_pS1.get());
    }
    if (!c2) {
        Log(LOG_ERROR, 0, "ERROR: no S1 block to answer, line %d ", __LINE__);
        return false;
    }
    if (m_bTunnel.load()) {
        // Over the tunnel C2 goes out with connect, in one request.
        LogTrace(3, "Waiting for S2 (rtmpt)");
        if (m_evS2.IsSet()) {
            LogTrace(3, "Waiting for S2 - timeout --m_iHTTPMessagesInProcess ");
            m_Tunnel.LowerPending();
        }
        m_pKeptC2 = std::move(c2);
    } else {
        Send(c2.get(), SEND_RAW, 0, 0, 0, true, false);
    }
    ReleaseHandshakeBlocks();
    if (!IsActive()) {
        Log(LOG_ERROR, 0, "ERROR: !IsActive, line %d ", __LINE__);
        return false;
    }
    return true;
}

CRTMPClient::WaitResult CRTMPClient::WaitForS0() {
    // A version byte the codec refuses never becomes S0; seeing it ends the wait at once.
    const uint32_t start = platform::timeGetTime();
    for (;;) {
        const WaitResult w = WaitFor(m_evS0, REPLY_SLICE_MS, REPLY_SLICE_MS);
        if (w != WaitResult::Timeout) return w;
        const int32_t version = m_iServerVersion.load();
        if (version >= 0 && version != rtmp::HANDSHAKE_VERSION && version != rtmp::HANDSHAKE_VERSION_RTMPE)
            return WaitResult::Timeout;
        if (platform::timeGetTime() - start >= s_uWaitDelay.load()) return WaitResult::Timeout;
    }
}

bool CRTMPClient::CommandSequence(const std::string& authQuery) {
    m_bCreateStreamPending.store(false);
    // Each sequence is a new publication for the server: the sink must announce the stream again
    // even when the transport dropped the old socket without our Close.
    m_bMetadataSent.store(false);
    LogTrace(3, "RTMP Handshake: Trying to connect");
    m_iReceiveMode.store(RECEIVE_CHUNKS);
    m_evReply.Reset();

    rtmp::ConnectParams cp;
    cp.host = m_sHost;
    cp.appPath = m_sAppPath;
    cp.authQuery = authQuery;
    cp.tunnel = m_bTunnel;
    cp.flashVer = m_Settings.userAgent;
    cp.connectArgs = m_Settings.connectArgs;
    BS::DataPtr connect = rtmp::BuildConnect(cp);
    const bool tunnel = m_bTunnel.load();
    if (tunnel) m_Tunnel.Hold();
    if (m_pKeptC2) Send(m_pKeptC2.get(), SEND_RAW, 0, 0, 0, true, false);
    m_pKeptC2.reset();
    if (connect) Send(connect.get(), SEND_MESSAGE, rtmp::CHUNK_STREAM_COMMAND, RTMP_PT_INVOKE, 0, true, false);
    if (tunnel) m_Tunnel.Release();
    if (!IsActive()) {
        SetFailureDetail("the server closed the connection before connect");
        PostEvent("info1", "rtmp: ERROR: rtmp server disconnected.");
        return false;
    }
    PostEvent("info1", "rtmp: connect");
    const WaitResult connected = WaitFor(m_evReply, REPLY_SLICE_MS, s_uWaitDelay.load());
    if (connected != WaitResult::Ok || !IsActive() || m_bError.load()) {
        SetFailureDetail(m_bError.load()                   ? "the server refused connect"
                         : connected == WaitResult::Timeout ? "the server did not answer connect within " +
                                                                  std::to_string(s_uWaitDelay.load()) + " ms"
                                                            : "the server closed the connection after connect");
        PostEvent("info1", "rtmp: ERROR: rtmp server does not reply.");
        return false;
    }
    if (tunnel) m_Tunnel.ClearPending();
    {
        platform::CAutoLock lock(m_AuthLock);
        if (m_Auth.m_bAuthNeeded) {
            PostEvent("info1", "rtmp: auth connect 2");
            return false;
        }
    }

    // Neither is answered in a way we need; the server's replies are dispatched and ignored.
    // Over the tunnel createStream goes out with them, in one request.
    if (tunnel) m_Tunnel.Hold();
    if (BS::DataPtr m = rtmp::BuildReleaseStream(m_sStreamName))
        Send(m.get(), SEND_MESSAGE, rtmp::CHUNK_STREAM_COMMAND, RTMP_PT_INVOKE, 0, false, true);
    if (BS::DataPtr m = rtmp::BuildFCPublish(m_sStreamName))
        Send(m.get(), SEND_MESSAGE, rtmp::CHUNK_STREAM_COMMAND, RTMP_PT_INVOKE, 0, false, true);
    bool createStreamSent = false;
    if (tunnel) {
        m_evReply.Reset();
        m_bCreateStreamPending.store(true);
        if (BS::DataPtr m = rtmp::BuildCreateStream()) {
            Send(m.get(), SEND_MESSAGE, rtmp::CHUNK_STREAM_COMMAND, RTMP_PT_INVOKE, 0, true, true);
            createStreamSent = true;
        }
        m_Tunnel.Release();
    }

    if (!PublishRounds(createStreamSent)) return false;

    if (BS::DataPtr ack = rtmp::BuildAcknowledgement(m_uBytesReceived.load()))
        Send(ack.get(), SEND_MESSAGE, rtmp::CHUNK_STREAM_CONTROL, RTMP_PT_BYTES_READ, StreamIdOnWire(), true, true);
    return true;
}

bool CRTMPClient::PublishRounds(bool createStreamSent) {
    for (int round = 0; round < PUBLISH_ROUNDS; ++round) {
        if (round > 0 || !createStreamSent) {
            m_evReply.Reset();
            m_bCreateStreamPending.store(true);
            if (BS::DataPtr m = rtmp::BuildCreateStream())
                Send(m.get(), SEND_MESSAGE, rtmp::CHUNK_STREAM_COMMAND, RTMP_PT_INVOKE, 0, true, true);
        }
        PostEvent("info1", "rtmp: createStream");
        // A wait cut short by a lost connection has failed like one that ran out of time: the
        // host hears of it the same way.
        const WaitResult created = WaitFor(m_evReply, REPLY_SLICE_MS, s_uWaitDelay.load());
        if (created != WaitResult::Ok || m_bError.load()) {
            SetFailureDetail(m_bError.load()                 ? "the server refused createStream"
                             : created == WaitResult::Timeout ? "the server did not answer createStream within " +
                                                                    std::to_string(s_uWaitDelay.load()) + " ms"
                                                              : "the server closed the connection after createStream");
            PostEvent("error", "RTMP Wait Timeout statusEvent");
            return false;
        }
        if (!IsActive()) {
            Log(LOG_ERROR, 0, "ERROR: !IsActive, line %d ", __LINE__);
            SetFailureDetail("the server closed the connection after createStream");
            return false;
        }
        if (m_bTunnel.load()) m_Tunnel.ClearPending();
        m_bCreateStreamPending.store(false);

        PostEvent("info1", "rtmp: publish");
        m_evStatus.Reset();
        if (BS::DataPtr m = rtmp::BuildPublish(m_sStreamName, rtmp::RECORD_MODE_LIVE))
            Send(m.get(), SEND_MESSAGE, rtmp::CHUNK_STREAM_MEDIA, RTMP_PT_INVOKE, StreamIdOnWire(), true, true);
        PostEvent("info1", "publish: waiting for onStatus");
        const WaitResult published = WaitFor(m_evStatus, REPLY_SLICE_MS, s_uWaitDelay.load());
        if (published != WaitResult::Ok || !IsActive() || m_bError.load()) {
            Log(LOG_ERROR, 0, "ERROR: Publish Timeout or !IsActive");
            SetFailureDetail(published == WaitResult::Ok && IsActive()
                                 ? "the server refused to publish the stream"
                                 : published == WaitResult::Timeout ? "the server did not answer publish within " +
                                                                          std::to_string(s_uWaitDelay.load()) + " ms"
                                                                    : "the server closed the connection after publish");
            return false;
        }
        LogTrace(3, "Publish OK");

        const int32_t mode = m_iRecordMode.load();
        if (mode == rtmp::RECORD_MODE_RECORD || mode == rtmp::RECORD_MODE_APPEND) {
            m_evStatus.Reset();
            if (BS::DataPtr m = rtmp::BuildPublish(m_sStreamName, mode))
                Send(m.get(), SEND_MESSAGE, rtmp::CHUNK_STREAM_MEDIA, RTMP_PT_INVOKE, StreamIdOnWire(), true, true);
            // The live publish already stands; a server that will not record does not stop it.
            if (WaitFor(m_evStatus, REPLY_SLICE_MS, s_uWaitDelay.load()) != WaitResult::Ok || !IsActive() ||
                m_bError.load())
                Log(LOG_ERROR, 0, "Record Failed");
        }

        if (!m_bBadName.load()) return true;
        m_bBadName.store(false);
        PostEvent("info1", "publish: publish failed with: NetStream.Publish.BadName");
    }
    // The session goes on as agreed, but nothing published on it reaches a viewer: the host
    // must hear of it, and can drop the connection to try again.
    PostEvent("error", "%.*s (%d rounds; is the stream already being published?)",
              static_cast<int>(rtmp::kPublishNotAcceptedText.size()), rtmp::kPublishNotAcceptedText.data(),
              PUBLISH_ROUNDS);
    return true;
}

bool CRTMPClient::Close() {
    if (GetSendTimeoutFlag()) SetAbortiveClose();
    m_Tunnel.StopIdleThread();
    const bool r = CTCPClient::Close();
    LogTrace(4, "CTCPClient::Close(): after super::Close");
    {
        platform::CAutoLock lock(m_ReceiveStateLock);
        {
            platform::CAutoLock a(m_AudioQueueLock);
            m_AudioQueue.clear();
        }
        {
            platform::CAutoLock v(m_VideoQueueLock);
            m_VideoQueue.clear();
        }
        m_bMetadataSent.store(false);
    }
    LogTrace(4, "CTCPClient::Close(): leave %d", r ? 1 : 0);
    return r;
}

void CRTMPClient::OnCloseConnection() {
    {
        platform::CAutoLock lock(m_ReceiveStateLock);
        RTMPDataChunk.Reset();
        LogTrace(1, "Close Connection");
    }
    // A server that refuses a message for its size closes the connection as soon as it has read
    // the message's header; the host decides whether it happens often enough to give up.
    // A stalled link (the send time-out fired) is not a refusal, however large the last picture.
    const int32_t bytes = m_iSuspectBytes.exchange(0);
    if (bytes > 0 && !GetSendTimeoutFlag() &&
        platform::timeGetTime() - m_uSuspectTick.load() <= rtmp::kSuspectMessageWindowMs)
        PostEvent("error", "%.*s%.1f MB %s; its message size limit may be lower",
                  static_cast<int>(rtmp::kMessageLimitText.size()), rtmp::kMessageLimitText.data(), bytes / 1e6,
                  m_bSuspectKey.load() ? "key frame" : "picture");
}

void CRTMPClient::ResetReceiveSide() {
    platform::CAutoLock lock(m_ReceiveStateLock);
    RTMPDataChunk.Reset();
    m_pS0.reset();
    m_pS1.reset();
    m_pS2.reset();
    m_evS0.Reset();
    m_evS1.Reset();
    m_evS2.Reset();
    m_evReply.Reset();
    m_evStatus.Reset();
    m_uBytesReceived.store(0);
}

bool CRTMPClient::SendFCUnpublish(int transaction, uint32_t waitMs) {
    m_evStatus.Reset();
    BS::DataPtr m = rtmp::BuildFCUnpublish(m_sStreamName, transaction);
    if (!m) return false;
    Send(m.get(), SEND_MESSAGE, rtmp::CHUNK_STREAM_COMMAND, RTMP_PT_INVOKE, StreamIdOnWire(), false, false);
    return WaitFor(m_evStatus, REPLY_SLICE_MS, waitMs) == WaitResult::Ok;
}

bool CRTMPClient::SendFCPublish(int transaction) {
    m_evStatus.Reset();
    BS::DataPtr m = rtmp::BuildFCPublish(m_sStreamName, transaction);
    if (!m) return false;
    Send(m.get(), SEND_MESSAGE, rtmp::CHUNK_STREAM_COMMAND, RTMP_PT_INVOKE, StreamIdOnWire(), false, false);
    return WaitFor(m_evStatus, REPLY_SLICE_MS, s_uWaitDelay.load()) == WaitResult::Ok;
}
