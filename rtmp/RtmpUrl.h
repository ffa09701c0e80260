#pragma once
// Output URL handling: the filter's split into base URL / host / application / stream / port,
// the client's host-and-application split, and the app / tcUrl values of the connect command.
// CRTMPClient::GetServerName forwards to rtmp::GetServerName.
#include <cstdint>
#include <string>
#include <string_view>

namespace rtmp {

constexpr int32_t DEFAULT_PORT = 1935;
constexpr int32_t SECURE_PORT = 443;
// The tcUrl is formed in a fixed buffer on the wire side of things; longer values are cut.
constexpr size_t MAX_TCURL_CHARS = 4095;

struct SplitUrlResult {
    std::string baseUrl;  // scheme://host/app, no port, no stream name
    std::string host;
    std::string app;
    std::string stream;
    int32_t port = DEFAULT_PORT;
};

// Never fails: a text without "://" yields empty strings and the scheme's default port; the
// empty base URL later makes the client refuse the connection.
SplitUrlResult SplitUrl(std::string_view url);

// Returns the host name, or an empty string when the URL is refused (logged). On success `app`
// receives everything after the host's delimiter; on refusal it is left as it was.
// `schemeLetter` (may be null) receives the letter after "rtmp" when there is one.
std::string GetServerName(std::string url, std::string& app, char* schemeLetter);

struct ConnectUrls {
    std::string app;
    std::string tcUrl;
};

// The connect command's "app" and "tcUrl": the authentication query is appended to the
// application path with "?" or "&", and the tcUrl names the tunnel scheme when tunnelling.
// The port is never part of the tcUrl.
ConnectUrls FormConnectUrls(std::string_view host, std::string_view appPath,
                            std::string_view authQuery, bool tunnel);

}  // namespace rtmp
