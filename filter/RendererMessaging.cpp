// CRenderer: script data and commands into the stream, and the application's status handler.
#include <cstring>

#include "filter/Renderer.h"
#include "foundation/Log.h"
#include "sink/RTMPSink.h"

namespace {
std::string Narrow(LPCWSTR text) {
    std::string out;
    if (text && !com::WideToNarrow(text, 4096, out)) out.clear();
    return out;
}
}  // namespace

HRESULT CRenderer::SendRTMPCommand(LPCWSTR command, const VARIANT* arguments, LPCWSTR text, int32_t) {
    if (!m_pRTMPSink || !m_pRTMPSink->IsInited() || !command) return E_FAIL;
    const std::string name = Narrow(command);
    Log(LOG_TRACE, 1, "SendRTMPCommand %s %s", name.c_str(), Narrow(text).c_str());
    return m_pRTMPSink->SendRTMPCommand(name.c_str(), arguments);
}

HRESULT CRenderer::ClearMetadata() {
    Log(LOG_TRACE, 1, "ClearMetadata");
    if (!m_pRTMPSink || !m_pRTMPSink->IsInited()) return E_FAIL;
    return m_pRTMPSink->ClearMetadata();
}

HRESULT CRenderer::SendInvokeString(LPCWSTR name, LPCWSTR json, LPCWSTR text, int32_t plain) {
    if (!name || !m_pRTMPSink || !m_pRTMPSink->IsInited()) return E_FAIL;
    return m_pRTMPSink->SendInvokeString(name, json ? json : L"", text ? text : L"", plain != 0);
}

HRESULT CRenderer::SendMetadata(int32_t count, const KeyValuePair* const* pairs, int32_t plain) {
    Log(LOG_TRACE, 1, "SendMetadata");
    // Before the connection the values are kept for the metadata of the next connect.
    if (!m_pRTMPSink) return E_FAIL;
    return m_pRTMPSink->SendMetadata(plain != 0, pairs, count);
}

HRESULT CRenderer::SendCuepoint(const KeyValuePair* const* pairs, int32_t count) {
    Log(LOG_TRACE, 1, "SendCuepoint");
    if (!m_pRTMPSink || !m_pRTMPSink->IsInited()) return E_FAIL;
    return m_pRTMPSink->SendCuepoint(pairs, count);
}

HRESULT CRenderer::SendNamedPairs(const char* name, const KeyValuePair* const* pairs, int32_t count, int32_t plain) {
    if (!name || !m_pRTMPSink || !m_pRTMPSink->IsInited()) return E_FAIL;
    const std::string copy(name, strnlen(name, 4096));
    return m_pRTMPSink->SendNamedPairs(copy.c_str(), pairs, count, plain != 0);
}

HRESULT CRenderer::SetMetadataText(LPCWSTR text) {
    m_Options.metadataText = text ? std::wstring(text, wcsnlen(text, RendererOptions::kMaxTextChars)) : L"";
    return S_OK;
}

HRESULT CRenderer::SetStatusNotifyHandler(void* context1, void* context2, RTMPStatusNotifyHandler handler) {
    if (!handler) {
        Log(LOG_ERROR, 0, "CRenderer::SetStatusNotifyHandler: Error invalid argument - Handler function NULL");
        return E_INVALIDARG;
    }
    if (!m_pRTMPSink) {
        Log(LOG_ERROR, 0, "CRenderer::SetStatusNotifyHandler: Error invalid RTMPSink - NULL");
        return E_FAIL;
    }
    return m_pRTMPSink->SetStatusNotifyHandler(context1, context2, handler);
}

HRESULT CRenderer::ClearStatusNotifyHandler() {
    if (!m_pRTMPSink) {
        Log(LOG_ERROR, 0, "CRenderer::ClearStatusNotifyHandler: Error invalid RTMPSink - NULL");
        return E_FAIL;
    }
    m_pRTMPSink->ClearStatusNotifyHandler();
    return S_OK;
}
