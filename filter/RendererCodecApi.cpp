// CRenderer: ICodecAPI. Every option of the filter under a key, the live figures as get-only
// keys and the commands (connect, disconnect, drop, restart, sniffer, event callback) as
// set-only keys.
#include <algorithm>
#include <limits>

#include "filter/CodecApiKeys.h"
#include "filter/Renderer.h"
#include "foundation/Log.h"
#include "rtmp/RtmpUrl.h"
#include "sink/RTMPSink.h"

namespace {

enum class Access { ReadWrite, GetOnly, SetOnly };

struct KeyInfo {
    const GUID* key;
    VARTYPE type;  // VT_EMPTY for the commands
    Access access;
};

constexpr KeyInfo kKeys[] = {
    {&CODECAPI_QV_OutputBufferSize, VT_I4, Access::ReadWrite},
    {&CODECAPI_QV_OutputPacketSize, VT_I4, Access::ReadWrite},
    {&CODECAPI_QV_SocketBufferSize, VT_I4, Access::ReadWrite},
    {&CODECAPI_QV_AllowBFrames, VT_BOOL, Access::ReadWrite},
    {&CODECAPI_QV_TcpNoDelay, VT_BOOL, Access::ReadWrite},
    {&CODECAPI_QV_PassthroughPadding, VT_BOOL, Access::ReadWrite},
    {&CODECAPI_QV_UserName, VT_BSTR, Access::ReadWrite},
    {&CODECAPI_QV_Password, VT_BSTR, Access::ReadWrite},
    {&CODECAPI_QV_ReconnectAttempts, VT_I4, Access::ReadWrite},
    {&CODECAPI_QV_ReconnectInterval, VT_I4, Access::ReadWrite},
    {&CODECAPI_QV_UnlimitedReconnect, VT_BOOL, Access::ReadWrite},
    {&CODECAPI_QV_StartWithoutConnection, VT_BOOL, Access::ReadWrite},
    {&CODECAPI_QV_WriteTimecode, VT_BOOL, Access::ReadWrite},
    {&CODECAPI_QV_TimecodeInterval, VT_I4, Access::ReadWrite},
    {&CODECAPI_QV_FirstTimecode, VT_I4, Access::ReadWrite},
    {&CODECAPI_QV_EmbedSystemTime, VT_BOOL, Access::ReadWrite},
    {&CODECAPI_QV_AbsoluteTime, VT_UI4, Access::ReadWrite},
    {&CODECAPI_QV_BufferMode, VT_UI4, Access::ReadWrite},
    {&CODECAPI_QV_SendTimeout, VT_I4, Access::ReadWrite},
    {&CODECAPI_QV_ReceiveTimeout, VT_I4, Access::ReadWrite},
    {&CODECAPI_QV_ConnectTimeout, VT_I4, Access::ReadWrite},
    {&CODECAPI_QV_FallbackPortsDefault, VT_BOOL, Access::ReadWrite},
    {&CODECAPI_QV_FallbackTunnelDefault, VT_BOOL, Access::ReadWrite},
    {&CODECAPI_QV_UserAgent, VT_BSTR, Access::ReadWrite},
    {&CODECAPI_QV_RecordMode, VT_I4, Access::ReadWrite},
    {&CODECAPI_QV_ConnectArguments, VT_BSTR, Access::ReadWrite},
    {&CODECAPI_QV_OutputBufferFillness, VT_I4, Access::GetOnly},
    {&CODECAPI_QV_OutputBitrate, VT_I4, Access::GetOnly},
    {&CODECAPI_QV_BufferedAudioPackets, VT_I4, Access::GetOnly},
    {&CODECAPI_QV_BufferedVideoPackets, VT_I4, Access::GetOnly},
    {&CODECAPI_QV_VideoBitrate, VT_I4, Access::GetOnly},
    {&CODECAPI_QV_AudioBitrate, VT_I4, Access::GetOnly},
    {&CODECAPI_QV_Connected, VT_BOOL, Access::GetOnly},
    {&CODECAPI_QV_ConnectResponseTime, VT_I4, Access::GetOnly},
    {&CODECAPI_QV_TunnelRequests, VT_I4, Access::GetOnly},
    {&CODECAPI_QV_TunnelPollingInterval, VT_I4, Access::GetOnly},
    {&CODECAPI_QV_ConnectServer, VT_EMPTY, Access::SetOnly},
    {&CODECAPI_QV_Disconnect, VT_EMPTY, Access::SetOnly},
    {&CODECAPI_QV_DropConnection, VT_EMPTY, Access::SetOnly},
    {&CODECAPI_QV_RestartStream, VT_EMPTY, Access::SetOnly},
    {&CODECAPI_QV_SendPeerBandwidth, VT_EMPTY, Access::SetOnly},
    {&CODECAPI_QV_CreateSniffer, VT_EMPTY, Access::SetOnly},
    {&CODECAPI_QV_DestroySniffer, VT_EMPTY, Access::SetOnly},
    {&CODECAPI_QV_EventCallbackContext, VT_EMPTY, Access::SetOnly},
    {&CODECAPI_QV_EventCallbackFunction, VT_EMPTY, Access::SetOnly},
    {&CODECAPI_QV_EventCallbackCommit, VT_EMPTY, Access::SetOnly},
};

const KeyInfo* FindKey(const GUID& key) {
    for (const KeyInfo& k : kKeys)
        if (*k.key == key) return &k;
    return nullptr;
}

// The setters take the integer or the boolean member, whichever the value carries.
int32_t IntOf(const VARIANT& v) { return v.vt == VT_BOOL ? v.boolVal : v.lVal; }
bool BoolOf(const VARIANT& v) { return IntOf(v) != 0; }

void PutI4(VARIANT* v, int32_t x) {
    v->vt = VT_I4;
    v->lVal = x;
}
void PutUI4(VARIANT* v, uint32_t x) {
    v->vt = VT_UI4;
    v->ulVal = x;
}
void PutBool(VARIANT* v, bool b) {
    v->vt = VT_BOOL;
    v->boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
}
HRESULT PutBstr(VARIANT* v, const std::wstring& s) {
    BSTR b = SysAllocString(s.c_str());
    if (!b) return E_OUTOFMEMORY;
    v->vt = VT_BSTR;
    v->bstrVal = b;
    return S_OK;
}

}  // namespace

HRESULT CRenderer::IsSupported(const GUID* api) {
    if (!api) return E_POINTER;
    return FindKey(*api) ? S_OK : E_INVALIDARG;
}

HRESULT CRenderer::IsModifiable(const GUID* api) {
    if (!api) return E_POINTER;
    const KeyInfo* k = FindKey(*api);
    if (!k) return E_INVALIDARG;
    return k->access == Access::GetOnly ? S_FALSE : S_OK;
}

HRESULT CRenderer::GetParameterRange(const GUID*, VARIANT*, VARIANT*, VARIANT*) { return E_NOTIMPL; }
HRESULT CRenderer::GetParameterValues(const GUID*, VARIANT**, ULONG*) { return E_NOTIMPL; }
HRESULT CRenderer::GetDefaultValue(const GUID*, VARIANT*) { return E_NOTIMPL; }
HRESULT CRenderer::RegisterForEvent(const GUID*, LONG_PTR) { return E_NOTIMPL; }
HRESULT CRenderer::UnregisterForEvent(const GUID*) { return E_NOTIMPL; }
HRESULT CRenderer::SetAllDefaults() { return E_NOTIMPL; }
HRESULT CRenderer::SetValueWithNotify(const GUID*, VARIANT*, GUID**, ULONG*) { return E_NOTIMPL; }
HRESULT CRenderer::SetAllDefaultsWithNotify(GUID**, ULONG*) { return E_NOTIMPL; }
HRESULT CRenderer::GetAllSettings(IStream*) { return E_NOTIMPL; }
HRESULT CRenderer::SetAllSettings(IStream*) { return E_NOTIMPL; }
HRESULT CRenderer::SetAllSettingsWithNotify(IStream*, GUID**, ULONG*) { return E_NOTIMPL; }

HRESULT CRenderer::GetValue(const GUID* api, VARIANT* value) {
    if (!api || !value) return E_POINTER;
    const KeyInfo* k = FindKey(*api);
    if (!k) return E_INVALIDARG;
    // A command key has no value to read.
    if (k->access == Access::SetOnly) return E_NOTIMPL;
    return GetCodecValue(*api, value);
}

HRESULT CRenderer::SetValue(const GUID* api, VARIANT* value) {
    if (!api || !value) return E_POINTER;
    const KeyInfo* k = FindKey(*api);
    if (!k) return E_INVALIDARG;
    // A figure of the running stream cannot be written.
    if (k->access == Access::GetOnly) return E_NOTIMPL;
    return SetCodecValue(*api, *value);
}

HRESULT CRenderer::GetCodecValue(const GUID& key, VARIANT* v) {
    const RendererOptions& o = m_Options;
    if (key == CODECAPI_QV_OutputBufferSize) return PutI4(v, o.outputBufferSize), S_OK;
    if (key == CODECAPI_QV_OutputPacketSize) return PutI4(v, o.outputPacketSize), S_OK;
    if (key == CODECAPI_QV_SocketBufferSize) return PutI4(v, o.socketBufferSize), S_OK;
    if (key == CODECAPI_QV_AllowBFrames) return PutBool(v, o.allowBFrames), S_OK;
    if (key == CODECAPI_QV_TcpNoDelay) return PutBool(v, o.tcpNoDelay), S_OK;
    if (key == CODECAPI_QV_PassthroughPadding) return PutBool(v, o.passthroughPadding), S_OK;
    if (key == CODECAPI_QV_UserName) return PutBstr(v, o.userName);
    if (key == CODECAPI_QV_Password) return PutBstr(v, o.password);
    if (key == CODECAPI_QV_ReconnectAttempts) return PutI4(v, o.reconnectAttempts), S_OK;
    if (key == CODECAPI_QV_ReconnectInterval) return PutI4(v, o.reconnectInterval), S_OK;
    if (key == CODECAPI_QV_UnlimitedReconnect) return PutBool(v, o.reconnectAttempts < 0), S_OK;
    if (key == CODECAPI_QV_StartWithoutConnection) return PutBool(v, o.startWithoutConnection), S_OK;
    if (key == CODECAPI_QV_WriteTimecode) return PutBool(v, o.writeTimecode), S_OK;
    if (key == CODECAPI_QV_TimecodeInterval) return PutI4(v, o.timecodeInterval), S_OK;
    if (key == CODECAPI_QV_FirstTimecode) return PutI4(v, o.firstTimecode), S_OK;
    if (key == CODECAPI_QV_EmbedSystemTime) return PutBool(v, o.embedSystemTime), S_OK;
    if (key == CODECAPI_QV_AbsoluteTime) return PutUI4(v, o.absoluteTime), S_OK;
    if (key == CODECAPI_QV_BufferMode) return PutUI4(v, o.bufferMode), S_OK;
    if (key == CODECAPI_QV_SendTimeout) return PutI4(v, o.sendTimeout), S_OK;
    if (key == CODECAPI_QV_ReceiveTimeout) return PutI4(v, o.receiveTimeout), S_OK;
    if (key == CODECAPI_QV_ConnectTimeout) return PutI4(v, o.connectTimeout), S_OK;
    if (key == CODECAPI_QV_FallbackPortsDefault) return PutBool(v, o.fallbackPortsDefault), S_OK;
    if (key == CODECAPI_QV_FallbackTunnelDefault) return PutBool(v, o.fallbackTunnelDefault), S_OK;
    if (key == CODECAPI_QV_UserAgent) return PutBstr(v, o.userAgent);
    if (key == CODECAPI_QV_ConnectArguments) return PutBstr(v, o.connectArgs);
    if (key == CODECAPI_QV_RecordMode) {
        if (!m_pRTMPSink) {
            v->vt = VT_EMPTY;
            return S_OK;
        }
        return PutI4(v, m_pRTMPSink->GetRecordMode()), S_OK;
    }
    if (key == CODECAPI_QV_Connected) {
        if (!m_pRTMPSink) return E_FAIL;
        return PutBool(v, m_pRTMPSink->GetSinkStatus() == BS::SINK_OK), S_OK;
    }
    if (key == CODECAPI_QV_ConnectResponseTime) return PutI4(v, m_iConnectResponseTime), S_OK;
    if (key == CODECAPI_QV_TunnelRequests || key == CODECAPI_QV_TunnelPollingInterval) {
        if (!m_pRTMPSink) return E_FAIL;
        const CRTMPClient& c = m_pRTMPSink->Client();
        const int32_t x = !c.IsTunnelled()                     ? 0
                          : key == CODECAPI_QV_TunnelRequests ? static_cast<int32_t>(c.GetTunnelRequestCount())
                                                               : c.GetTunnelPollingInterval();
        return PutI4(v, x), S_OK;
    }
    // The live figures: the getters leave the value alone while the graph does not run.
    int32_t figure = 0;
    HRESULT hr = E_INVALIDARG;
    if (key == CODECAPI_QV_OutputBufferFillness) hr = GetOutputBufferFillness(&figure);
    if (key == CODECAPI_QV_OutputBitrate) hr = GetOutputBitrate(&figure);
    if (key == CODECAPI_QV_BufferedAudioPackets) hr = GetBufferedAudioPackets(&figure);
    if (key == CODECAPI_QV_BufferedVideoPackets) hr = GetBufferedVideoPackets(&figure);
    if (key == CODECAPI_QV_VideoBitrate) hr = GetVideoBitrate(&figure);
    if (key == CODECAPI_QV_AudioBitrate) hr = GetAudioBitrate(&figure);
    if (SUCCEEDED(hr)) PutI4(v, figure);
    return hr;
}

HRESULT CRenderer::SetUnlimitedReconnect(const VARIANT& v) {
    if (v.vt != VT_BOOL) return S_OK;  // another type is ignored
    RendererOptions& o = m_Options;
    if (v.boolVal != VARIANT_FALSE) {
        if (o.reconnectAttempts >= 0) o.keptReconnectAttempts = o.reconnectAttempts;
        o.reconnectAttempts = -1;
    } else if (o.reconnectAttempts < 0) {
        o.reconnectAttempts = o.keptReconnectAttempts;
    }
    return S_OK;
}

HRESULT CRenderer::SetConnectArguments(const VARIANT& v) {
    // Only a text carries the arguments; another type's member read as text would be a wild pointer.
    if (v.vt != VT_BSTR) return E_INVALIDARG;
    const size_t length = v.bstrVal ? SysStringLen(v.bstrVal) : 0;
    if (length > RendererOptions::kMaxConnectArgsChars) {
        Log(LOG_ERROR, 0, "CRenderer::SetConnectArguments: %zu characters, at most %zu are accepted", length,
            RendererOptions::kMaxConnectArgsChars);
        return E_INVALIDARG;
    }
    // The text is kept as given: the connect command checks it is a JSON object when it is built.
    m_Options.connectArgs.assign(v.bstrVal ? v.bstrVal : L"", length);
    Log(LOG_TRACE, 1, "CRenderer::SetConnectArguments %zu characters", length);
    return S_OK;
}

HRESULT CRenderer::DropConnection() {
    // Only with attempts left: otherwise the drop would end the stream for good.
    if (!m_pRTMPSink || m_Options.reconnectAttempts == 0 || !m_pRTMPSink->IsInited()) return S_OK;
    Log(LOG_TRACE, 1, "CRenderer: dropping the connection on request");
    m_pRTMPSink->Client().Close();
    return S_OK;
}

HRESULT CRenderer::SetCodecValue(const GUID& key, const VARIANT& v) {
    RendererOptions& o = m_Options;
    if (key == CODECAPI_QV_OutputBufferSize) return SetOutputBufferSize(IntOf(v));
    if (key == CODECAPI_QV_OutputPacketSize) return SetOutputPacketSize(IntOf(v));
    if (key == CODECAPI_QV_SocketBufferSize) return SetSocketBufferSize(IntOf(v));
    if (key == CODECAPI_QV_AllowBFrames) return o.allowBFrames = BoolOf(v), S_OK;
    if (key == CODECAPI_QV_TcpNoDelay) return o.tcpNoDelay = BoolOf(v), S_OK;
    if (key == CODECAPI_QV_PassthroughPadding) {
        o.passthroughPadding = BoolOf(v);
        Log(LOG_TRACE, 1, "CRenderer::SetPassthroughPadding %d", o.passthroughPadding ? 1 : 0);
        return S_OK;
    }
    if (key == CODECAPI_QV_UserName || key == CODECAPI_QV_Password) {
        // Only a text carries a name; reading another type's member as text would be a wild pointer.
        if (v.vt != VT_BSTR) return E_INVALIDARG;
        return key == CODECAPI_QV_UserName ? SetUserName(v.bstrVal ? v.bstrVal : L"")
                                           : SetPassword(v.bstrVal ? v.bstrVal : L"");
    }
    if (key == CODECAPI_QV_ReconnectAttempts) return SetReconnectAttempts(IntOf(v));
    if (key == CODECAPI_QV_ReconnectInterval) return SetReconnectInterval(IntOf(v));
    if (key == CODECAPI_QV_UnlimitedReconnect) return SetUnlimitedReconnect(v);
    if (key == CODECAPI_QV_StartWithoutConnection) return o.startWithoutConnection = BoolOf(v), S_OK;
    if (key == CODECAPI_QV_WriteTimecode) return o.writeTimecode = BoolOf(v), S_OK;
    if (key == CODECAPI_QV_TimecodeInterval) return o.timecodeInterval = IntOf(v), S_OK;
    if (key == CODECAPI_QV_FirstTimecode) return o.firstTimecode = IntOf(v), S_OK;
    if (key == CODECAPI_QV_EmbedSystemTime) return o.embedSystemTime = BoolOf(v), S_OK;
    if (key == CODECAPI_QV_AbsoluteTime) return o.absoluteTime = static_cast<uint32_t>(IntOf(v)), S_OK;
    if (key == CODECAPI_QV_BufferMode) return o.bufferMode = static_cast<uint32_t>(IntOf(v)), S_OK;
    if (key == CODECAPI_QV_SendTimeout) return o.sendTimeout = std::max(IntOf(v), 0), S_OK;
    if (key == CODECAPI_QV_ReceiveTimeout) return o.receiveTimeout = std::max(IntOf(v), 0), S_OK;
    if (key == CODECAPI_QV_ConnectTimeout) return o.connectTimeout = std::max(IntOf(v), 0), S_OK;
    if (key == CODECAPI_QV_FallbackPortsDefault || key == CODECAPI_QV_FallbackTunnelDefault) {
        if (v.vt != VT_BOOL) return E_FAIL;
        (key == CODECAPI_QV_FallbackPortsDefault ? o.fallbackPortsDefault : o.fallbackTunnelDefault) =
            v.boolVal != VARIANT_FALSE;
        return S_OK;
    }
    if (key == CODECAPI_QV_UserAgent) {
        if (v.vt != VT_BSTR || !v.bstrVal) return E_FAIL;
        o.userAgent.assign(v.bstrVal, std::min<size_t>(SysStringLen(v.bstrVal), RendererOptions::kMaxTextChars));
        return S_OK;
    }
    if (key == CODECAPI_QV_ConnectArguments) return SetConnectArguments(v);
    if (key == CODECAPI_QV_RecordMode) {
        if (!m_pRTMPSink) return E_FAIL;
        m_pRTMPSink->SetRecordMode(IntOf(v));
        return S_OK;
    }
    if (key == CODECAPI_QV_ConnectServer) return ConnectServer();
    if (key == CODECAPI_QV_Disconnect) return Disconnect();
    if (key == CODECAPI_QV_DropConnection) return DropConnection();
    if (!m_pRTMPSink) return E_FAIL;
    if (key == CODECAPI_QV_RestartStream) return m_pRTMPSink->StartRestartStream() ? S_OK : E_FAIL;
    if (key == CODECAPI_QV_SendPeerBandwidth) return m_pRTMPSink->Client().SetPeerBandwidth(), S_OK;
    if (key == CODECAPI_QV_CreateSniffer) {
        if (m_pRTMPSink->Client().StartSniffer() != 0) return E_FAIL;
        // The pair of the socket itself: after a fallback port or through a proxy the URL's port
        // is not the one on the wire.
        m_pRTMPSink->Client().WatchConnection();
        return S_OK;
    }
    if (key == CODECAPI_QV_DestroySniffer) return m_pRTMPSink->Client().DestroySniffer(), S_OK;
    if (key == CODECAPI_QV_EventCallbackContext) return m_pEventCallbackContext = v.byref, S_OK;
    if (key == CODECAPI_QV_EventCallbackFunction)
        return m_pEventCallback = reinterpret_cast<EventCallback>(v.byref), S_OK;
    if (key == CODECAPI_QV_EventCallbackCommit) {
        if (!m_pEventCallback || !m_pEventCallbackContext) return S_OK;
        const int32_t r = RegisterEventCallback(m_pEventCallbackContext, m_pEventCallback);
        m_pEventCallback = nullptr;
        m_pEventCallbackContext = nullptr;
        return r == 0 ? S_OK : E_FAIL;
    }
    return E_INVALIDARG;
}
