#pragma once
// The filter's own control interfaces, method for method in the slot order hosts rely on
// (slots 0..2 are IUnknown's), their interface ids, and the class ids of the filter and its
// property page.
#include <cstdint>

#include "platform/com/Unknown.h"
#include "platform/com/Variant.h"
#include "platform/dshow/CodecApi.h"
#include "platform/dshow/Interfaces.h"
#include "sink/KeyValuePair.h"
#include "sink/SinkStatistics.h"

inline constexpr GUID IID_ISinkMode = {0xda8a3221, 0x3c69, 0x439c, {0x98, 0x12, 0x0e, 0x06, 0x2c, 0xdc, 0x2a, 0xe1}};
inline constexpr GUID IID_IRTMPOptions = {0x93027c0d, 0xe553, 0x42ea, {0xa4, 0xe5, 0xac, 0x5e, 0xe3, 0x8f, 0x88, 0x88}};
inline constexpr GUID IID_ITimecode = {0x3a1c0462, 0x9c1e, 0x46a4, {0xbd, 0xb9, 0x81, 0x16, 0x2e, 0x45, 0x59, 0x70}};
inline constexpr GUID IID_IRTMPCommandSink = {0xeda59623, 0x8c9d, 0x453b, {0x9f, 0xeb, 0x89, 0xf3, 0x9e, 0x20, 0x5e, 0xed}};
inline constexpr GUID IID_IRTMPMetadataSink = {0x20fb9a7c, 0x0927, 0x4af1, {0xad, 0xab, 0x22, 0x63, 0xdb, 0xe5, 0x9c, 0xc7}};
inline constexpr GUID IID_IRTMPStatusNotify = {0xa700ce71, 0xed71, 0x4e23, {0xb9, 0x19, 0x25, 0xbe, 0xf9, 0xf3, 0xc6, 0x05}};
inline constexpr GUID IID_ICodecProp = {0x0f817204, 0x82c8, 0x4c12, {0x88, 0x4a, 0xf4, 0x5f, 0xb2, 0xf3, 0x3a, 0x6e}};
inline constexpr GUID CLSID_QuorvelRTMPWriter = {0xb4fb59c5, 0x983b, 0x4d96, {0x92, 0x04, 0xf8, 0xb0, 0xe4, 0x67, 0x04, 0xee}};
inline constexpr GUID CLSID_QuorvelRTMPWriterPropertyPage = {0xefc673de, 0xe20e, 0x4699, {0x83, 0x31, 0x95, 0x22, 0xc5, 0xdf, 0x7a, 0x6d}};

// Live mode and the audio delay.
struct ISinkMode : IUnknown {
    virtual HRESULT SetLiveMode(BOOL live) = 0;
    virtual HRESULT SetAudioDelay(int32_t delayMs) = 0;
    virtual HRESULT GetLiveMode(BOOL* live) = 0;
    virtual HRESULT GetAudioDelay(int32_t* delayMs) = 0;
};

// Connection options, live figures and the connect/disconnect commands.
struct IRTMPOptions : IUnknown {
    virtual HRESULT SetOutputBufferSize(int32_t bytes) = 0;      // 3
    virtual HRESULT GetOutputBufferSize(int32_t* bytes) = 0;     // 4
    virtual HRESULT SetOutputPacketSize(int32_t bytes) = 0;      // 5
    virtual HRESULT GetOutputPacketSize(int32_t* bytes) = 0;     // 6
    virtual HRESULT GetOutputBufferFillness(int32_t* bytes) = 0; // 7
    virtual HRESULT GetOutputBitrate(int32_t* bps) = 0;          // 8
    virtual HRESULT GetBufferedAudioPackets(int32_t* n) = 0;     // 9
    virtual HRESULT GetBufferedVideoPackets(int32_t* n) = 0;     // 10
    virtual HRESULT GetAudioBitrate(int32_t* bps) = 0;           // 11
    virtual HRESULT GetVideoBitrate(int32_t* bps) = 0;           // 12
    virtual HRESULT GetAllowBFrames(BOOL* allow) = 0;            // 13
    virtual HRESULT SetAllowBFrames(BOOL allow) = 0;             // 14
    virtual HRESULT GetTcpNoDelay(BOOL* noDelay) = 0;            // 15
    virtual HRESULT SetTcpNoDelay(BOOL noDelay) = 0;             // 16
    virtual HRESULT GetSocketBufferSize(int32_t* bytes) = 0;     // 17
    virtual HRESULT SetSocketBufferSize(int32_t bytes) = 0;      // 18
    virtual HRESULT GetUserName(LPWSTR* name) = 0;               // 19: CoTaskMemAlloc'd copy
    virtual HRESULT SetUserName(LPCWSTR name) = 0;               // 20
    virtual HRESULT GetPassword(LPWSTR* password) = 0;           // 21
    virtual HRESULT SetPassword(LPCWSTR password) = 0;           // 22
    virtual HRESULT GetReconnectInterval(int32_t* ms) = 0;       // 23
    virtual HRESULT SetReconnectInterval(int32_t ms) = 0;        // 24
    virtual HRESULT GetReconnectAttempts(int32_t* n) = 0;        // 25
    virtual HRESULT SetReconnectAttempts(int32_t n) = 0;         // 26
    virtual HRESULT ConnectServer() = 0;                         // 27
    virtual HRESULT Disconnect() = 0;                            // 28
    virtual HRESULT SetOptionText(LPCWSTR text) = 0;             // 29: stored only
};

// Time codes written into the stream.
struct ITimecode : IUnknown {
    virtual HRESULT GetWriteTimecode(BOOL* write) = 0;
    virtual HRESULT SetWriteTimecode(BOOL write) = 0;
    virtual HRESULT GetTimecodeInterval(int32_t* ms) = 0;
    virtual HRESULT SetTimecodeInterval(int32_t ms) = 0;
    virtual HRESULT GetFirstTimecode(int32_t* seconds) = 0;
    virtual HRESULT SetFirstTimecode(int32_t seconds) = 0;
    virtual HRESULT GetEmbedSystemTime(BOOL* embed) = 0;
    virtual HRESULT SetEmbedSystemTime(BOOL embed) = 0;
};

// Free-form RTMP commands. The arguments are an automation object (VT_DISPATCH) or a key/value
// list (VT_KEYVALUELIST); null or any other type sends the command without arguments.
struct IRTMPCommandSink : IUnknown {
    virtual HRESULT SendRTMPCommand(LPCWSTR command, const VARIANT* arguments, LPCWSTR text, int32_t flags) = 0;
};

// Script data injected into the stream.
struct IRTMPMetadataSink : IUnknown {
    virtual HRESULT ClearMetadata() = 0;
    virtual HRESULT SendInvokeString(LPCWSTR name, LPCWSTR json, LPCWSTR text, int32_t plain) = 0;
    virtual HRESULT SendMetadata(int32_t count, const KeyValuePair* const* pairs, int32_t plain) = 0;
    virtual HRESULT SendCuepoint(const KeyValuePair* const* pairs, int32_t count) = 0;
    virtual HRESULT SendNamedPairs(const char* name, const KeyValuePair* const* pairs, int32_t count, int32_t plain) = 0;
    virtual HRESULT SetMetadataText(LPCWSTR text) = 0;  // kept, not used by the filter
};

// The application's status callback: handler(context1, context2, status).
struct IRTMPStatusNotify : IUnknown {
    virtual HRESULT SetStatusNotifyHandler(void* context1, void* context2, RTMPStatusNotifyHandler handler) = 0;
    virtual HRESULT ClearStatusNotifyHandler() = 0;
};
