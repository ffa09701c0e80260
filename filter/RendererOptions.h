#pragma once
// The filter's option store: what the host sets through the control interfaces before it
// connects, with the defaults the filter starts from. Plain values; the filter reads them when
// it fills the connection settings.
#include <cstdint>
#include <string>

#include "sink/SinkStatistics.h"

struct RendererOptions {
    static constexpr int32_t kMaxBufferSize = 104857600;     // output buffer and packet size bound
    static constexpr int32_t kSocketBufferLimit = 10485760;  // socket buffer sizes below this
    static constexpr int32_t kMinReconnectInterval = 100;
    static constexpr size_t kMaxTextChars = 256;
    // The AMF0 form of the connect arguments has to fit the connect command's allowance; a longer
    // text could not be sent whole, and a cut JSON text would be no object at all.
    static constexpr size_t kMaxConnectArgsChars = 8192;

    std::string outputUrl;
    int32_t outputBufferSize = 262144;
    int32_t outputPacketSize = 1450;
    int32_t socketBufferSize = 131072;
    bool allowBFrames = true;
    bool tcpNoDelay = false;
    bool passthroughPadding = true;
    std::wstring userName;
    std::wstring password;
    int32_t reconnectAttempts = 5;  // negative: unlimited
    int32_t reconnectInterval = 5000;
    bool writeTimecode = false;
    int32_t timecodeInterval = 1000;
    int32_t firstTimecode = 0;
    bool embedSystemTime = false;
    uint32_t absoluteTime = 0;
    uint32_t bufferMode = 1;  // 0 wait/block, otherwise drop
    int32_t sendTimeout = 0;
    int32_t receiveTimeout = 0;
    int32_t connectTimeout = 0;  // s
    bool startWithoutConnection = false;
    bool fallbackPortsDefault = false;
    bool fallbackTunnelDefault = false;
    std::wstring userAgent = L"FMLE/3.0 (compatible; FMSc/1.0)";
    std::wstring connectArgs;  // JSON object text appended to connect; empty: none
    bool liveMode = false;
    double audioDelayMs = 0.0;
    std::wstring optionText;    // stored only
    std::wstring metadataText;  // stored only
    // The attempts value kept aside while unlimited reconnection is on.
    int32_t keptReconnectAttempts = 5;
};
