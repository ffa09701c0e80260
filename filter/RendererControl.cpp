// CRenderer: the output URL, the live mode, the property pages, the connection options and the
// time-code options.
#include <cstring>
#include <cwchar>
#include <limits>

#include "filter/Renderer.h"
#include "foundation/TextConvert.h"
#include "foundation/Log.h"
#include "platform/com/TaskMem.h"
#include "sink/RTMPSink.h"

namespace {

// A copy for the caller, who frees it with CoTaskMemFree.
HRESULT CopyOut(const std::wstring& text, LPWSTR* out) {
    if (!out) return E_POINTER;
    const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    auto* p = static_cast<wchar_t*>(CoTaskMemAlloc(bytes));
    if (!p) return E_OUTOFMEMORY;
    std::memcpy(p, text.c_str(), bytes);
    *out = p;
    return S_OK;
}

std::wstring Limited(LPCWSTR text) {
    if (!text) return {};
    return std::wstring(text, wcsnlen(text, RendererOptions::kMaxTextChars));
}

}  // namespace

// IFileSinkFilter

HRESULT CRenderer::SetFileName(LPCOLESTR pszFileName, const AM_MEDIA_TYPE*) {
    if (!pszFileName) return E_FAIL;
    if (!std::wcschr(pszFileName, L':') && !std::wcschr(pszFileName, L'.')) return HRESULT_FILE_NOT_FOUND;
    std::string url;
    if (!com::WideToNarrow(pszFileName, 4096, url)) return E_INVALIDARG;
    Log(LOG_TRACE, 1, "SetFileName/OutputUrl %s", url.c_str());
    m_Options.outputUrl = url;
    return S_OK;
}

HRESULT CRenderer::GetCurFile(LPOLESTR* ppszFileName, AM_MEDIA_TYPE*) {
    if (!ppszFileName) return E_POINTER;
    return CopyOut(Utf8ToWide(m_Options.outputUrl), ppszFileName);
}

// ISinkMode

HRESULT CRenderer::SetLiveMode(BOOL live) {
    m_Options.liveMode = live != FALSE;
    SetCapture(m_Options.liveMode);
    return S_OK;
}

HRESULT CRenderer::SetAudioDelay(int32_t delayMs) {
    Log(LOG_TRACE, 1, "SetAudioDelay %d", delayMs);
    m_Options.audioDelayMs = delayMs;
    SetAudioOffset(delayMs);
    return S_OK;
}

HRESULT CRenderer::GetLiveMode(BOOL* live) {
    if (!live) return E_POINTER;
    *live = m_Options.liveMode ? TRUE : FALSE;
    return S_OK;
}

HRESULT CRenderer::GetAudioDelay(int32_t* delayMs) {
    if (!delayMs) return E_POINTER;
    *delayMs = static_cast<int32_t>(m_Options.audioDelayMs);
    return S_OK;
}

// ISpecifyPropertyPages: the one page of the filter, in an array the caller frees.

HRESULT CRenderer::GetPages(CAUUID* pPages) {
    if (!pPages) return E_POINTER;
    pPages->cElems = 0;
    pPages->pElems = static_cast<GUID*>(CoTaskMemAlloc(sizeof(GUID)));
    if (!pPages->pElems) return E_OUTOFMEMORY;
    pPages->pElems[0] = CLSID_QuorvelRTMPWriterPropertyPage;
    pPages->cElems = 1;
    return S_OK;
}

// IRTMPOptions

HRESULT CRenderer::SetOutputBufferSize(int32_t bytes) {
    if (bytes < 0 || bytes > RendererOptions::kMaxBufferSize) return E_UNEXPECTED;
    m_Options.outputBufferSize = bytes;
    return S_OK;
}

HRESULT CRenderer::GetOutputBufferSize(int32_t* bytes) {
    if (!bytes) return E_POINTER;
    *bytes = m_Options.outputBufferSize;
    return S_OK;
}

HRESULT CRenderer::SetOutputPacketSize(int32_t bytes) {
    if (bytes < 0 || bytes > RendererOptions::kMaxBufferSize) return E_UNEXPECTED;
    m_Options.outputPacketSize = bytes;
    return S_OK;
}

HRESULT CRenderer::GetOutputPacketSize(int32_t* bytes) {
    if (!bytes) return E_POINTER;
    *bytes = m_Options.outputPacketSize;
    return S_OK;
}

HRESULT CRenderer::GetOutputBufferFillness(int32_t* bytes) {
    if (!bytes) return E_POINTER;
    if (!StatisticsValid()) return S_OK;
    std::lock_guard<std::mutex> g(m_StatsLock);
    *bytes = m_Statistics.outputBufferFillness;
    return S_OK;
}

HRESULT CRenderer::GetOutputBitrate(int32_t* bps) {
    if (!bps) return E_POINTER;
    if (!StatisticsValid()) return S_OK;
    std::lock_guard<std::mutex> g(m_StatsLock);
    const int64_t rate = m_Statistics.OutputBitrate();
    *bps = rate > std::numeric_limits<int32_t>::max() ? -1 : static_cast<int32_t>(rate);
    return S_OK;
}

HRESULT CRenderer::GetBufferedAudioPackets(int32_t* n) {
    if (!n) return E_POINTER;
    if (!StatisticsValid()) return S_OK;
    std::lock_guard<std::mutex> g(m_StatsLock);
    *n = m_Statistics.bufferedAudioPackets;
    return S_OK;
}

HRESULT CRenderer::GetBufferedVideoPackets(int32_t* n) {
    if (!n) return E_POINTER;
    if (!StatisticsValid()) return S_OK;
    std::lock_guard<std::mutex> g(m_StatsLock);
    *n = m_Statistics.bufferedVideoPackets;
    return S_OK;
}

HRESULT CRenderer::GetAudioBitrate(int32_t* bps) {
    if (!bps) return E_POINTER;
    if (!StatisticsValid()) return S_OK;
    std::lock_guard<std::mutex> g(m_StatsLock);
    *bps = m_Statistics.audioBitrate;
    return S_OK;
}

HRESULT CRenderer::GetVideoBitrate(int32_t* bps) {
    if (!bps) return E_POINTER;
    if (!StatisticsValid()) return S_OK;
    std::lock_guard<std::mutex> g(m_StatsLock);
    *bps = m_Statistics.videoBitrate;
    return S_OK;
}

HRESULT CRenderer::GetAllowBFrames(BOOL* allow) {
    if (!allow) return E_POINTER;
    *allow = m_Options.allowBFrames ? TRUE : FALSE;
    return S_OK;
}

HRESULT CRenderer::SetAllowBFrames(BOOL allow) {
    m_Options.allowBFrames = allow != FALSE;
    return S_OK;
}

HRESULT CRenderer::GetTcpNoDelay(BOOL* noDelay) {
    if (!noDelay) return E_POINTER;
    *noDelay = m_Options.tcpNoDelay ? TRUE : FALSE;
    return S_OK;
}

HRESULT CRenderer::SetTcpNoDelay(BOOL noDelay) {
    m_Options.tcpNoDelay = noDelay != FALSE;
    return S_OK;
}

HRESULT CRenderer::GetSocketBufferSize(int32_t* bytes) {
    if (!bytes) return E_POINTER;
    *bytes = m_Options.socketBufferSize;
    return S_OK;
}

HRESULT CRenderer::SetSocketBufferSize(int32_t bytes) {
    if (bytes >= RendererOptions::kSocketBufferLimit) return E_INVALIDARG;
    m_Options.socketBufferSize = bytes;
    return S_OK;
}

HRESULT CRenderer::GetUserName(LPWSTR* name) { return CopyOut(m_Options.userName, name); }

HRESULT CRenderer::SetUserName(LPCWSTR name) {
    m_Options.userName = Limited(name);
    return S_OK;
}

HRESULT CRenderer::GetPassword(LPWSTR* password) { return CopyOut(m_Options.password, password); }

HRESULT CRenderer::SetPassword(LPCWSTR password) {
    m_Options.password = Limited(password);
    return S_OK;
}

HRESULT CRenderer::GetReconnectInterval(int32_t* ms) {
    if (!ms) return E_POINTER;
    *ms = m_Options.reconnectInterval;
    return S_OK;
}

HRESULT CRenderer::SetReconnectInterval(int32_t ms) {
    if (ms < RendererOptions::kMinReconnectInterval) return S_FALSE;
    m_Options.reconnectInterval = ms;
    return S_OK;
}

HRESULT CRenderer::GetReconnectAttempts(int32_t* n) {
    if (!n) return E_POINTER;
    *n = m_Options.reconnectAttempts;
    return S_OK;
}

HRESULT CRenderer::SetReconnectAttempts(int32_t n) {
    m_Options.reconnectAttempts = n;
    return S_OK;
}

HRESULT CRenderer::SetOptionText(LPCWSTR text) {
    m_Options.optionText = Limited(text);
    return S_OK;
}

// ITimecode

HRESULT CRenderer::GetWriteTimecode(BOOL* write) {
    if (!write) return E_POINTER;
    *write = m_Options.writeTimecode ? TRUE : FALSE;
    return S_OK;
}

HRESULT CRenderer::SetWriteTimecode(BOOL write) {
    m_Options.writeTimecode = write != FALSE;
    return S_OK;
}

HRESULT CRenderer::GetTimecodeInterval(int32_t* ms) {
    if (!ms) return E_POINTER;
    *ms = m_Options.timecodeInterval;
    return S_OK;
}

HRESULT CRenderer::SetTimecodeInterval(int32_t ms) {
    m_Options.timecodeInterval = ms;
    return S_OK;
}

HRESULT CRenderer::GetFirstTimecode(int32_t* seconds) {
    if (!seconds) return E_POINTER;
    *seconds = m_Options.firstTimecode;
    return S_OK;
}

HRESULT CRenderer::SetFirstTimecode(int32_t seconds) {
    m_Options.firstTimecode = seconds;
    return S_OK;
}

HRESULT CRenderer::GetEmbedSystemTime(BOOL* embed) {
    if (!embed) return E_POINTER;
    *embed = m_Options.embedSystemTime ? TRUE : FALSE;
    return S_OK;
}

HRESULT CRenderer::SetEmbedSystemTime(BOOL embed) {
    m_Options.embedSystemTime = embed != FALSE;
    return S_OK;
}
