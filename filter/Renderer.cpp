// CRenderer: construction, the framework hooks, and the connect and start sequence.
#include "filter/Renderer.h"

#include <cctype>
#include <exception>

#include "filter/TrackFormat.h"
#include "foundation/Log.h"
#include "foundation/TextConvert.h"
#include "platform/DebugOutput.h"
#include "platform/dshow/Uuids.h"
#include "rtmp/RtmpUrl.h"
#include "sink/RTMPSink.h"

namespace {

std::wstring Widen(const char* text) { return Utf8ToWide(text ? text : ""); }

std::string Narrow(const std::wstring& text) {
    std::string out;
    if (!com::WideToNarrow(text.c_str(), 4096, out)) out.clear();
    return out;
}

// Graph events of the connect sequence (the connect event with its step).
constexpr LONG kConnectStarting = 4;
constexpr LONG kConnectDone = 5;
constexpr LONG kRenderingStarted = 6;

}  // namespace

CUnknown* CRenderer::CreateInstance(IUnknown* pUnk, HRESULT* phr) {
    try {
        auto* r = new CRenderer(pUnk, phr);
        return r;
    } catch (const std::bad_alloc&) {
        if (phr) *phr = E_OUTOFMEMORY;
        return nullptr;
    }
}

CRenderer::CRenderer(IUnknown* pUnk, HRESULT* phr)
    : BS::CBaseRenderer(kFilterName, pUnk, CLSID_QuorvelRTMPWriter) {
    m_FilterName = kFilterName;
    auto sink = std::make_unique<CRTMPSink>(this);
    m_pRTMPSink = sink.get();
    SetSink(std::move(sink));

    BS::PinOptions pinOptions;
    pinOptions.timeoutEnabled = getRegistryKey(KEY_RTMPSINK, "StopIfTimeout", 1) != 0;
    HRESULT hr = S_OK;
    const wchar_t* names[] = {L"Video", L"Audio"};
    for (int i = 0; i < 2; ++i) {
        auto pin = std::make_unique<BS::CInputPin>(this, FilterLock(), ReceiveLock(), &hr, names[i], i, pinOptions);
        pin->SetOwnerName(kOwnerName);
        AddPin(std::move(pin));
    }

    m_Options.outputBufferSize = getRegistryKey(KEY_RTMPSINK, "SendBufferSize", 262144);
    m_Options.outputPacketSize = getRegistryKey(KEY_RTMPSINK, "SendPacketSize", 1450);
    char agent[256] = {};
    int hive = 0;
    if (getRegistryString(KEY_RTMPSINK, "UserAgentString", agent, sizeof(agent), &hive) == 0) {
        if (agent[0] == 0) {
            Log(LOG_TRACE, 1, "CRenderer UserAgentString Empty, resetting");
        } else {
            m_Options.userAgent = Widen(agent);
        }
    }
    Log(LOG_TRACE, 1, "CRenderer UserAgentString %s", Narrow(m_Options.userAgent).c_str());
    m_Options.keptReconnectAttempts = m_Options.reconnectAttempts;
    if (phr && FAILED(hr)) *phr = hr;
}

CRenderer::~CRenderer() {
    // The sink calls back into this object; it goes first, while the filter is still whole.
    if (m_pRTMPSink) m_pRTMPSink->SetNotifyObserver(nullptr);
}

HRESULT CRenderer::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IFileSinkFilter) return GetInterface(static_cast<IFileSinkFilter*>(this), ppv);
    if (riid == IID_ISinkMode) return GetInterface(static_cast<ISinkMode*>(this), ppv);
    if (riid == IID_ISpecifyPropertyPages) return GetInterface(static_cast<ISpecifyPropertyPages*>(this), ppv);
    if (riid == IID_IRTMPOptions) return GetInterface(static_cast<IRTMPOptions*>(this), ppv);
    if (riid == IID_ITimecode) return GetInterface(static_cast<ITimecode*>(this), ppv);
    // The codec property interface shares the codec API's methods.
    if (riid == IID_ICodecAPI || riid == IID_ICodecProp) return GetInterface(static_cast<ICodecAPI*>(this), ppv);
    if (riid == IID_IRTMPCommandSink) return GetInterface(static_cast<IRTMPCommandSink*>(this), ppv);
    if (riid == IID_IRTMPMetadataSink) return GetInterface(static_cast<IRTMPMetadataSink*>(this), ppv);
    if (riid == IID_IRTMPStatusNotify) return GetInterface(static_cast<IRTMPStatusNotify*>(this), ppv);
    return BS::CBaseRenderer::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CRenderer::CheckMediaType(const CMediaType* mt, int pin) {
    if (!mt) return E_POINTER;
    if (pin == 0) {
        int64_t avg = 0;
        if (!BS::IsAcceptedVideoType(*mt, &avg)) return VFW_E_TYPE_NOT_ACCEPTED;
        Log(LOG_TRACE, 2, "CheckVideoType:AverageTimePerFrame %lld", static_cast<long long>(avg));
        return S_OK;
    }
    return BS::IsAcceptedAudioType(*mt) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CRenderer::GetMediaType(int position, CMediaType* mt, int pin) {
    if (!mt) return E_POINTER;
    if (position != 0 || pin < 0 || pin > 1) return VFW_S_NO_MORE_ITEMS;
    mt->InitMediaType();
    if (pin == 0) {
        mt->SetType(&MEDIATYPE_Video);
        mt->SetSubtype(&MEDIASUBTYPE_H264);
    } else {
        mt->SetType(&MEDIATYPE_Audio);
        mt->SetSubtype(&MEDIASUBTYPE_AAC);
    }
    return S_OK;
}

void CRenderer::AfterDelivery() {
    RTMPStatistics s;
    if (!m_pRTMPSink || !m_pRTMPSink->GetStatistics(&s)) return;
    std::lock_guard<std::mutex> g(m_StatsLock);
    m_Statistics = s;
}

int32_t CRenderer::NotifyEvent(int32_t eventCode, intptr_t param1, intptr_t param2) {
    return CBaseFilter::NotifyEvent(eventCode, param1, param2);
}

ConnectionSettings CRenderer::FillConnectionSettings() {
    ConnectionSettings s;
    rtmp::SplitUrlResult parts = rtmp::SplitUrl(m_Options.outputUrl);
    s.url = parts.baseUrl;
    s.host = parts.host;
    s.app = parts.app;
    s.streamName = parts.stream;
    s.port = parts.port;
    std::string scheme;
    for (char c : parts.baseUrl.substr(0, parts.baseUrl.find("://")))
        scheme += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    s.tunnel = scheme == "rtmpt" || scheme == "rtmpte";
    s.encryptedHandshake = scheme == "rtmpe" || scheme == "rtmpte";
    s.secure = scheme == "rtmps";

    const RendererOptions& o = m_Options;
    s.outputBufferSize = o.outputBufferSize;
    s.outputPacketSize = o.outputPacketSize;
    s.allowBFrames = o.allowBFrames ? 1 : 0;
    s.timecodeEnabled = o.writeTimecode;
    s.timecodeInterval = o.timecodeInterval;
    s.timecodeStart = o.firstTimecode;
    s.timecodeCurrentTime = o.embedSystemTime;
    s.absoluteTime = static_cast<int32_t>(o.absoluteTime);
    s.bufferMode = static_cast<int32_t>(o.bufferMode);
    s.tcpNoDelay = o.tcpNoDelay;
    s.userName = Narrow(o.userName);
    s.password = Narrow(o.password);
    s.socketBufferSize = o.socketBufferSize;
    s.reconnectAttempts = o.reconnectAttempts;
    s.reconnectInterval = o.reconnectInterval;
    s.sendTimeout = o.sendTimeout;
    s.receiveTimeout = o.receiveTimeout;
    s.connectTimeout = o.connectTimeout;
    if (CBasePin* v = GetPin(0); v && v->IsConnected()) s.videoFormat = BuildPinFormat(0);
    if (CBasePin* a = GetPin(1); a && a->IsConnected()) s.audioFormat = BuildPinFormat(1);
    s.fallbackPortsDefault = o.fallbackPortsDefault;
    s.fallbackTunnelDefault = o.fallbackTunnelDefault;
    s.userAgent = Narrow(o.userAgent);
    s.connectArgs = WideToUtf8(o.connectArgs);
    s.startWithoutConnection = o.startWithoutConnection;
    s.passthroughPadding = o.passthroughPadding;
    return s;
}

HRESULT CRenderer::ConnectServer() {
    Log(LOG_TRACE, 1, "CRenderer::ConnectServer");
    if (!m_pRTMPSink) return E_FAIL;
    try {
        if (!m_pRTMPSink->IsInited()) {
            ConnectionSettings s = FillConnectionSettings();
            m_iConnectResponseTime = 0;
            if (!HasVideoPin() && !HasAudioPin())
                Log(LOG_TRACE, 1, "CRenderer::ConnectServer No Audio/Video Input - trying to connect anyway.");
            CBaseFilter::NotifyEvent(kGraphEventConnect, kConnectStarting, 0);
            const int32_t result = m_pRTMPSink->Init(s, &m_iConnectResponseTime);
            if (result == 0) {
                m_bHalfConnect = true;
                Log(LOG_TRACE, 1, "CRenderer::ConnectServer OK");
                if (m_iConnectResponseTime)
                    Log(LOG_TRACE, 1, "CRenderer::ConnectServer: time for connection response: %i",
                        m_iConnectResponseTime);
                CBaseFilter::NotifyEvent(kGraphEventConnect, kConnectDone, 0);
                return S_OK;
            }
            if (result == CRTMPClient::STATE_ACCESS_REJECTED) return HRESULT_INVALID_PASSWORD;
        }
    } catch (...) {
        Log(LOG_ERROR, 0, "*** Exception in CRenderer::ConnectServer()");
    }
    if (m_Options.startWithoutConnection) return S_OK;
    Disconnect();
    SetConnectFailed(true);
    return E_FAIL;
}

HRESULT CRenderer::Disconnect() {
    m_bHalfConnect = false;
    if (m_pRTMPSink) m_pRTMPSink->Close();
    return S_OK;
}

HRESULT CRenderer::PrepareRendering() {
    if (!m_pRTMPSink) return E_FAIL;
    if ((!m_pRTMPSink->IsInited() || m_bHalfConnect) && m_pRTMPSink->GetSinkStatus() != BS::SINK_OK)
        return ConnectServer();
    return S_OK;
}

HRESULT CRenderer::StartRendering() {
    Log(LOG_TRACE, 1, "CRenderer::StartRendering");
    StartRenderingBase();
    const int64_t ref = GetUTCRefTime();
    if (m_Options.absoluteTime)
        Log(LOG_TRACE, 1, "CRenderer::StartRendering: Absolute Time Ref: %lld  Null: %lld  Diff: %lld",
            static_cast<long long>(m_Options.absoluteTime), static_cast<long long>(ref),
            static_cast<long long>(static_cast<int64_t>(m_Options.absoluteTime) * 1000 - ref));
    if (!m_pRTMPSink) return E_FAIL;
    const bool inited = m_pRTMPSink->IsInited();
    const bool half = m_bHalfConnect;
    if (!inited || half) {
        HRESULT hr = m_pRTMPSink->GetSinkStatus() == BS::SINK_OK ? S_OK : ConnectServer();
        if (hr != S_OK) return hr;
        // ConnectServer may have set the flag itself; what matters is how the stream was up before.
        m_pRTMPSink->Lock();
        if (CBasePin* v = GetPin(0); v && v->IsConnected())
            m_pRTMPSink->AddTrack(BuildPinFormat(0), TRACK_TYPE_VIDEO, 0);
        if (CBasePin* a = GetPin(1); a && a->IsConnected())
            m_pRTMPSink->AddTrack(BuildPinFormat(1), TRACK_TYPE_AUDIO, 0);
        m_pRTMPSink->Unlock();
        if (half) {
            Log(LOG_TRACE, 1, "CRenderer::StartRendering: SendNotifyEventStatus");
            m_pRTMPSink->SendStatusEvent(m_pRTMPSink->GetSinkStatus());
        }
        m_bHalfConnect = false;
        CBaseFilter::NotifyEvent(kGraphEventConnect, kRenderingStarted, 0);
        platform::OutputDebugString("END----------------!\n");
    } else {
        Log(LOG_ERROR, 1, "RTMPRenderer::StartRendering: FAILED isinited: %d  half_connect: %d", inited ? 1 : 0,
            half ? 1 : 0);
    }
    return S_OK;
}
