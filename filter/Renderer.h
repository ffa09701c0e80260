#pragma once
// CRenderer: the RTMP network writer filter. Two input pins ("Video" 0, "Audio" 1) feed one
// CRTMPSink; the control interfaces set the output URL and options, connect and disconnect,
// inject script data and commands, and report status. ICodecAPI mirrors every option under a
// key. Option getters and setters touch plain fields and are meant for the application thread
// while the graph is stopped; the statistics getters are valid while the graph runs.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "filter/BaseRenderer.h"
#include "filter/FilterInterfaces.h"
#include "filter/InputPin.h"
#include "filter/RendererOptions.h"
#include "foundation/EventCallbacks.h"
#include "rtmp/ConnectionSettings.h"
#include "sink/SinkStatistics.h"

class CRTMPSink;

class CRenderer final : public BS::CBaseRenderer,
                        public IFileSinkFilter,
                        public ISinkMode,
                        public ISpecifyPropertyPages,
                        public IRTMPOptions,
                        public ITimecode,
                        public ICodecAPI,
                        public IRTMPCommandSink,
                        public IRTMPMetadataSink,
                        public IRTMPStatusNotify,
                        public NotifyEventObserver {
public:
    static constexpr const wchar_t* kFilterName = L"Quorvel RTMP Network Writer";
    static constexpr const wchar_t* kOwnerName = L"REzarAzuvEraduz";
    static constexpr HRESULT kGraphEventConnect = 67;

    // The class factory's create function: E_OUTOFMEMORY in *phr when construction fails.
    static CUnknown* CreateInstance(IUnknown* pUnk, HRESULT* phr);
    CRenderer(IUnknown* pUnk, HRESULT* phr);
    ~CRenderer() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // Framework hooks.
    HRESULT CheckMediaType(const CMediaType* mt, int pin) override;
    HRESULT GetMediaType(int position, CMediaType* mt, int pin) override;
    void AfterDelivery() override;
    HRESULT PrepareRendering() override;
    HRESULT StartRendering() override;

    // IFileSinkFilter
    HRESULT SetFileName(LPCOLESTR pszFileName, const AM_MEDIA_TYPE* pmt) override;
    HRESULT GetCurFile(LPOLESTR* ppszFileName, AM_MEDIA_TYPE* pmt) override;

    // ISinkMode
    HRESULT SetLiveMode(BOOL live) override;
    HRESULT SetAudioDelay(int32_t delayMs) override;
    HRESULT GetLiveMode(BOOL* live) override;
    HRESULT GetAudioDelay(int32_t* delayMs) override;

    // ISpecifyPropertyPages
    HRESULT GetPages(CAUUID* pPages) override;

    // IRTMPOptions
    HRESULT SetOutputBufferSize(int32_t bytes) override;
    HRESULT GetOutputBufferSize(int32_t* bytes) override;
    HRESULT SetOutputPacketSize(int32_t bytes) override;
    HRESULT GetOutputPacketSize(int32_t* bytes) override;
    HRESULT GetOutputBufferFillness(int32_t* bytes) override;
    HRESULT GetOutputBitrate(int32_t* bps) override;
    HRESULT GetBufferedAudioPackets(int32_t* n) override;
    HRESULT GetBufferedVideoPackets(int32_t* n) override;
    HRESULT GetAudioBitrate(int32_t* bps) override;
    HRESULT GetVideoBitrate(int32_t* bps) override;
    HRESULT GetAllowBFrames(BOOL* allow) override;
    HRESULT SetAllowBFrames(BOOL allow) override;
    HRESULT GetTcpNoDelay(BOOL* noDelay) override;
    HRESULT SetTcpNoDelay(BOOL noDelay) override;
    HRESULT GetSocketBufferSize(int32_t* bytes) override;
    HRESULT SetSocketBufferSize(int32_t bytes) override;
    HRESULT GetUserName(LPWSTR* name) override;
    HRESULT SetUserName(LPCWSTR name) override;
    HRESULT GetPassword(LPWSTR* password) override;
    HRESULT SetPassword(LPCWSTR password) override;
    HRESULT GetReconnectInterval(int32_t* ms) override;
    HRESULT SetReconnectInterval(int32_t ms) override;
    HRESULT GetReconnectAttempts(int32_t* n) override;
    HRESULT SetReconnectAttempts(int32_t n) override;
    HRESULT ConnectServer() override;
    HRESULT Disconnect() override;
    HRESULT SetOptionText(LPCWSTR text) override;

    // ITimecode
    HRESULT GetWriteTimecode(BOOL* write) override;
    HRESULT SetWriteTimecode(BOOL write) override;
    HRESULT GetTimecodeInterval(int32_t* ms) override;
    HRESULT SetTimecodeInterval(int32_t ms) override;
    HRESULT GetFirstTimecode(int32_t* seconds) override;
    HRESULT SetFirstTimecode(int32_t seconds) override;
    HRESULT GetEmbedSystemTime(BOOL* embed) override;
    HRESULT SetEmbedSystemTime(BOOL embed) override;

    // ICodecAPI
    HRESULT IsSupported(const GUID* api) override;
    HRESULT IsModifiable(const GUID* api) override;
    HRESULT GetParameterRange(const GUID* api, VARIANT* valueMin, VARIANT* valueMax, VARIANT* steppingDelta) override;
    HRESULT GetParameterValues(const GUID* api, VARIANT** values, ULONG* valuesCount) override;
    HRESULT GetDefaultValue(const GUID* api, VARIANT* value) override;
    HRESULT GetValue(const GUID* api, VARIANT* value) override;
    HRESULT SetValue(const GUID* api, VARIANT* value) override;
    HRESULT RegisterForEvent(const GUID* api, LONG_PTR userData) override;
    HRESULT UnregisterForEvent(const GUID* api) override;
    HRESULT SetAllDefaults() override;
    HRESULT SetValueWithNotify(const GUID* api, VARIANT* value, GUID** changedParam, ULONG* changedParamCount) override;
    HRESULT SetAllDefaultsWithNotify(GUID** changedParam, ULONG* changedParamCount) override;
    HRESULT GetAllSettings(IStream* stream) override;
    HRESULT SetAllSettings(IStream* stream) override;
    HRESULT SetAllSettingsWithNotify(IStream* stream, GUID** changedParam, ULONG* changedParamCount) override;

    // IRTMPCommandSink
    HRESULT SendRTMPCommand(LPCWSTR command, const VARIANT* arguments, LPCWSTR text, int32_t flags) override;

    // IRTMPMetadataSink
    HRESULT ClearMetadata() override;
    HRESULT SendInvokeString(LPCWSTR name, LPCWSTR json, LPCWSTR text, int32_t plain) override;
    HRESULT SendMetadata(int32_t count, const KeyValuePair* const* pairs, int32_t plain) override;
    HRESULT SendCuepoint(const KeyValuePair* const* pairs, int32_t count) override;
    HRESULT SendNamedPairs(const char* name, const KeyValuePair* const* pairs, int32_t count, int32_t plain) override;
    HRESULT SetMetadataText(LPCWSTR text) override;

    // IRTMPStatusNotify
    HRESULT SetStatusNotifyHandler(void* context1, void* context2, RTMPStatusNotifyHandler handler) override;
    HRESULT ClearStatusNotifyHandler() override;

    // NotifyEventObserver: the sink's status and statistics events become graph events.
    int32_t NotifyEvent(int32_t eventCode, intptr_t param1, intptr_t param2) override;

    const RendererOptions& Options() const { return m_Options; }
    CRTMPSink* RTMPSink() const { return m_pRTMPSink; }

private:
    // The option the codec-API key names; each call either reads or writes it.
    HRESULT GetCodecValue(const GUID& key, VARIANT* value);
    HRESULT SetCodecValue(const GUID& key, const VARIANT& value);
    HRESULT SetUnlimitedReconnect(const VARIANT& value);
    HRESULT SetConnectArguments(const VARIANT& value);
    HRESULT DropConnection();
    bool StatisticsValid() const { return m_State == State_Running; }
    ConnectionSettings FillConnectionSettings();

    CRTMPSink* m_pRTMPSink = nullptr;  // the base owns it; typed view for the sink's own operations
    RendererOptions m_Options;
    std::atomic<bool> m_bHalfConnect{false};  // connected by ConnectServer
    int32_t m_iConnectResponseTime = 0;
    void* m_pEventCallbackContext = nullptr;
    EventCallback m_pEventCallback = nullptr;
    // Guards m_Statistics: written by the streaming threads after each delivered sample, read by
    // the application's getters. Innermost: nothing is called while it is held.
    mutable std::mutex m_StatsLock;
    RTMPStatistics m_Statistics;
};
