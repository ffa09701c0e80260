#pragma once
// The HTTP side of the RTMPT tunnel, without any I/O: the request header of each "open", "send"
// and "idle" POST, and the accumulator that turns received bytes into whole responses (status,
// the few headers the tunnel cares about, the polling-interval byte, the RTMP bytes behind it).
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "foundation/Data.h"

namespace rtmp {

inline constexpr const char* kTunnelUserAgent = "Shockwave Flash";
inline constexpr const char* kTunnelConnection = "Keep-Alive";
inline constexpr const char* kTunnelCacheControl = "no-cache";
inline constexpr size_t kTunnelHeaderMax = 2048;

// One request header (and, when `body` is given, the body behind it) in one record. `bodySize`
// is what Content-Length says, also when the body is sent separately. `clientId` empty gives the
// form without it (the "open" request). Through a proxy the request line names the RTMP server
// in absolute form and the cache and connection headers take their proxy names. nullptr when the
// header would not fit its buffer.
BS::DataPtr GenerateHTTPHeader(const char* method, const char* command, const std::string& clientId,
                               uint32_t sequence, const char* userAgent, const std::string& host, int port,
                               const char* connection, const char* cacheControl, const uint8_t* body,
                               int32_t bodySize, bool viaProxy);

struct HttpResponse {
    std::string statusText;
    int32_t statusCode = 0;
    bool error = false;          // a malformed header line or number
    bool chunked = false;        // Transfer-Encoding: chunked, which the tunnel cannot read
    bool http10 = false;         // an HTTP/1.0 status line: the connection closes unless kept alive
    std::string cacheControl, server, connection, contentType;
    // The peer closes the connection after this response.
    bool ClosesConnection() const;
    bool KeepsAlive() const;  // says so explicitly
    std::vector<uint8_t> body;   // without the polling-interval byte where one was taken
    bool intervalTaken = false;  // the first body byte was the polling interval
};

class CHttpResponseAccumulator {
public:
    static constexpr size_t kCapacity = 0x100000;

    enum class Result {
        NeedMore,  // no whole response waits; the same bytes are looked at again when more come
        Complete,  // `out` holds one response, its bytes are removed
        TooLarge,  // a response that can never fit the buffer; the waiting bytes are dropped
    };

    void Reset();
    // Appends what arrived; when it does not fit behind the waiting bytes those are dropped first
    // (a server that sends garbage must not stop the tunnel for ever). false when bytes were lost.
    bool Append(std::span<const uint8_t> bytes);
    // `tunnelOpen`: the client id is known, so a 200 response starts with the polling interval.
    // `statusSeen` is set once per response, the first time its status line is read, so a
    // response that arrives in pieces answers its request once.
    Result Parse(bool tunnelOpen, HttpResponse& out, bool& statusSeen);

    uint8_t PollingInterval() const { return m_uInterval; }
    size_t Waiting() const { return m_Bytes.size(); }

private:
    std::vector<uint8_t> m_Bytes;  // grows up to kCapacity as responses need it
    uint8_t m_uInterval = 1;
    bool m_bResponseStarted = true;
};

// The client id in an "open" response body: its printable bytes (0x21..0x7E) among the first 1024.
std::string ExtractClientId(std::span<const uint8_t> body);

}  // namespace rtmp
