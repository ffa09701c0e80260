#pragma once
// Where the HTTP tunnel finds its proxy.
//
// Three sources, asked in this order:
//  1. automatic discovery (flags 2 and 4): a proxy auto-config (PAC) file, named by `AutoConfigURL`
//     in the component's key Software\Quorvel\ProxySettings, else by the system's http_proxy when it
//     has the form "pac+URL"; libproxy fetches and evaluates it in a short-lived child process so a
//     PAC server that never answers costs at most `AutoProxyTimeout` ms (default 5000). WPAD over DNS
//     (flag 4) runs only when the component's `AutoDetectProxy` is non-zero.
//  2. the component's key (flag 1): `ProxyEnable` and `ProxyServer`;
//  3. the system's settings (flag 1): the environment's http_proxy / HTTP_PROXY, unless the
//     destination's host is listed in no_proxy / NO_PROXY.
// A `ProxyServer` text is "host:port", "host", or a per-protocol list such as
// "http=host:port;https=other:443" of which only the "http=" entry counts.
#include <string>

// Discovery flags, a bit mask; the tunnel passes all three.
constexpr int PROXY_FROM_SETTINGS = 1;
constexpr int PROXY_FROM_AUTOCONFIG_URL = 2;
constexpr int PROXY_AUTODETECT = 4;

// True when a proxy was found for `destinationUrl` ("http://" and the server's host). The caller
// uses the answer only when `proxyHost` is non-empty and `port` > 0: a proxy text without a
// port leaves `port` as it was.
bool GetProxySettings(std::string& proxyHost, int& port, const std::string& destinationUrl, int flags);

// `DirectlyUseProxyIfEnabled` (default 1): look for a proxy before the first connect of a tunnel.
bool DirectlyUseProxyIfEnabled();
