#pragma once
// What the sink hands to CRTMPClient::Connect for one publishing connection: the split output
// URL, the transport tuning and the session options. Filled by the filter's connect operation,
// copied by the sink, read by the client and its transport.
#include <cstdint>
#include <string>

#include "foundation/Format.h"

struct ConnectionSettings {
    // Output URL, already split: the base URL (scheme, host, application path) without port and
    // stream name, plus the parts the sink and the filter show in messages.
    std::string url;
    std::string host;
    std::string app;
    std::string streamName;
    int32_t port = 0;  // 0 or less: the default port

    // Transport.
    int32_t outputBufferSize = 0;   // bytes of the send buffer; 0 turns buffered sending off
    int32_t outputPacketSize = 0;   // bytes per socket write of the send thread
    int32_t socketBufferSize = 0;   // SO_SNDBUF default
    int32_t sendTimeout = 0;        // ms
    int32_t receiveTimeout = 0;     // ms
    int32_t connectTimeout = 0;     // s; 0 = blocking connect
    bool tcpNoDelay = true;
    bool tunnel = false;               // scheme rtmpt/rtmpte: HTTP tunnelling
    bool encryptedHandshake = false;   // scheme rtmpe/rtmpte: kept, the handshake stays plain
    bool secure = false;               // scheme rtmps: the transport refuses it

    // Session.
    std::string userName;  // empty: no authentication
    std::string password;
    std::string userAgent = "FMLE/3.0 (compatible; FMSc/1.0)";  // flashVer of connect
    std::string connectArgs;  // JSON object text of extra connect arguments
    int32_t absoluteTime = 0;  // UTC seconds; non-zero shifts outgoing timestamps (base-time mode)

    // Sink options carried with the connection.
    int32_t allowBFrames = 0;
    int32_t timecodeStart = 0;  // s
    bool timecodeEnabled = false;
    int32_t timecodeInterval = 1000;  // ms, applied when >= 1
    bool timecodeCurrentTime = false;
    int32_t bufferMode = 0;  // 0 wait/block, else drop
    int32_t reconnectAttempts = 0;  // < 0 unlimited
    int32_t reconnectInterval = 0;  // ms
    BS::format_t videoFormat;
    BS::format_t audioFormat;
    bool fallbackPortsDefault = false;
    bool fallbackTunnelDefault = false;
    bool startWithoutConnection = false;
    bool passthroughPadding = false;
};
