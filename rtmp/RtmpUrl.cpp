#include "rtmp/RtmpUrl.h"

#include <limits>

#include "foundation/Log.h"

namespace rtmp {

namespace {

// The decimal number at the start of `s`, 0 when there is none; saturates instead of wrapping
// so a silly port text cannot overflow.
int32_t LeadingDecimal(std::string_view s) {
    int64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') break;
        v = v * 10 + (c - '0');
        if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    }
    return static_cast<int32_t>(v);
}

}  // namespace

SplitUrlResult SplitUrl(std::string_view url) {
    SplitUrlResult r;
    if (url.size() > 4 && (url[4] == 's' || url[4] == 'S')) r.port = SECURE_PORT;

    const size_t sep = url.find("://");
    if (sep == std::string_view::npos) return r;
    const std::string_view scheme = url.substr(0, sep);
    const std::string_view rest = url.substr(sep + 3);

    std::string_view host = rest;
    std::string_view app;
    const bool restIsPath = !rest.empty() && rest.front() == '/';
    if (!restIsPath) {
        const size_t slash = rest.find('/');
        if (slash != std::string_view::npos) {
            host = rest.substr(0, slash);
            app = rest.substr(slash + 1);
        }
        // A bracketed IPv6 literal keeps its brackets and its colons: the port follows the "]".
        const size_t literalEnd = !host.empty() && host.front() == '[' ? host.find(']') : std::string_view::npos;
        const size_t colon = host.find(':', literalEnd == std::string_view::npos ? 0 : literalEnd);
        if (colon != std::string_view::npos) {
            r.port = LeadingDecimal(host.substr(colon + 1));
            host = host.substr(0, colon);
        }
    }

    // The stream name follows the later of the last "+" and the last "/".
    const size_t plus = app.rfind('+');
    const size_t slash = app.rfind('/');
    size_t cut = std::string_view::npos;
    if (plus != std::string_view::npos && slash != std::string_view::npos)
        cut = plus > slash ? plus : slash;
    else if (plus != std::string_view::npos)
        cut = plus;
    else
        cut = slash;
    if (cut != std::string_view::npos) {
        r.stream = std::string(app.substr(cut + 1));
        app = app.substr(0, cut);
    }

    r.host = std::string(host);
    r.app = std::string(app);
    r.baseUrl.reserve(scheme.size() + 4 + host.size() + app.size());
    r.baseUrl.append(scheme).append("://").append(host).append("/").append(app);
    return r;
}

std::string GetServerName(std::string url, std::string& app, char* schemeLetter) {
    const size_t len = url.size();
    if (len < 7) {
        Log(LOG_ERROR, 0, "CRTMPClient::GetServerName: Url too short - length: %d", static_cast<int>(len));
        return {};
    }
    if (url.compare(0, 4, "rtmp") != 0) {
        Log(LOG_ERROR, 0, "CRTMPClient::GetServerName: Url does not contain 'rtmp' - %s", url.c_str());
        return {};
    }
    // "rtmp://", "rtmpX://" or "rtmpXY://": find where the colon sits.
    size_t colon = 4;
    if (url[4] != ':') {
        if (len > 7 && url[5] == ':') {
            colon = 5;
        } else if (len > 8 && url[6] == ':') {
            colon = 6;
        } else {
            return {};
        }
        if (schemeLetter) *schemeLetter = url[4];
    }
    if (url.compare(colon, 3, "://") != 0) return {};

    const size_t hostStart = colon + 3;
    // A bracketed IPv6 literal is the host as given, brackets included, so the tcUrl carries it.
    size_t delim;
    if (hostStart < len && url[hostStart] == '[' && url.find(']', hostStart) != std::string::npos)
        delim = url.find_first_of("\\/:", url.find(']', hostStart));
    else
        delim = url.find_first_of("\\/:", hostStart);
    std::string host = url.substr(hostStart, delim == std::string::npos ? std::string::npos : delim - hostStart);
    app.clear();
    if (delim != std::string::npos) app = url.substr(delim + 1);
    return host;
}

ConnectUrls FormConnectUrls(std::string_view host, std::string_view appPath, std::string_view authQuery,
                            bool tunnel) {
    ConnectUrls u;
    u.app.assign(appPath);
    if (!authQuery.empty()) {
        u.app += appPath.find('?') != std::string_view::npos ? '&' : '?';
        u.app.append(authQuery);
    }
    u.tcUrl.append(tunnel ? "rtmpt" : "rtmp").append("://").append(host).append("/").append(u.app);
    if (u.tcUrl.size() > MAX_TCURL_CHARS) u.tcUrl.resize(MAX_TCURL_CHARS);
    return u;
}

}  // namespace rtmp
