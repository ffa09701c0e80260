#include "rtmp/RtmptHttp.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "foundation/Log.h"

namespace rtmp {

namespace {

// A header that has not ended within this many bytes is not HTTP we can use.
constexpr size_t kHeaderLimit = 16384;

std::string_view NextToken(std::string_view line, size_t& pos) {
    while (pos < line.size() && static_cast<uint8_t>(line[pos]) < 33) ++pos;
    const size_t start = pos;
    while (pos < line.size() && static_cast<uint8_t>(line[pos]) >= 33) ++pos;
    return line.substr(start, pos - start);
}

// The rest of the line after the second token, without the blanks around it.
std::string_view Rest(std::string_view line, size_t pos) {
    while (pos < line.size() && static_cast<uint8_t>(line[pos]) < 33) ++pos;
    size_t end = line.size();
    while (end > pos && static_cast<uint8_t>(line[end - 1]) < 33) --end;
    return line.substr(pos, end - pos);
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return (x >= 'A' && x <= 'Z' ? x + 32 : x) == (y >= 'A' && y <= 'Z' ? y + 32 : y);
           });
}

// A decimal number that is all of `text`; false for anything else (signs, blanks, overflow).
bool ParseDecimal(std::string_view text, int64_t& out) {
    if (text.empty() || text.size() > 12) return false;
    int64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    out = v;
    return true;
}

}  // namespace

BS::DataPtr GenerateHTTPHeader(const char* method, const char* command, const std::string& clientId,
                               uint32_t sequence, const char* userAgent, const std::string& host, int port,
                               const char* connection, const char* cacheControl, const uint8_t* body,
                               int32_t bodySize, bool viaProxy) {
    char header[kTunnelHeaderMax];
    const bool withId = !clientId.empty();
    const unsigned seq = sequence;
    int written;
    if (!viaProxy && withId)
        written = std::snprintf(header, sizeof header,
                                "%s /%s/%s/%u HTTP/1.1\r\nUser-Agent: %s\r\nHost: %s\r\nContent-Length: %d\r\n"
                                "Connection: %s\r\nCache-Control: %s\r\n\r\n",
                                method, command, clientId.c_str(), seq, userAgent, host.c_str(), bodySize, connection,
                                cacheControl);
    else if (!viaProxy)
        written = std::snprintf(header, sizeof header,
                                "%s /%s/%u HTTP/1.1\r\nUser-Agent: %s\r\nHost: %s\r\nContent-Length: %d\r\n"
                                "Connection: %s\r\nCache-Control: %s\r\n\r\n",
                                method, command, seq, userAgent, host.c_str(), bodySize, connection, cacheControl);
    else if (withId)
        written = std::snprintf(header, sizeof header,
                                "%s http://%s:%d/%s/%s/%u HTTP/1.1\r\nUser-Agent: %s\r\nHost: %s\r\n"
                                "Content-Length: %d\r\nProxy-Connection: %s\r\nPragma: %s\r\n\r\n",
                                method, host.c_str(), port, command, clientId.c_str(), seq, userAgent, host.c_str(),
                                bodySize, connection, cacheControl);
    else
        written = std::snprintf(header, sizeof header,
                                "%s http://%s:%d/%s/%u HTTP/1.1\r\nUser-Agent: %s\r\nHost: %s\r\n"
                                "Content-Length: %d\r\nProxy-Connection: %s\r\nPragma: %s\r\n\r\n",
                                method, host.c_str(), port, command, seq, userAgent, host.c_str(), bodySize,
                                connection, cacheControl);
    if (written < 0 || static_cast<size_t>(written) >= sizeof header) {
        Log(LOG_ERROR, 0, "GenerateHTTPHeader: header for %s does not fit %zu bytes", command, sizeof header);
        return nullptr;
    }
    const int32_t len = written;
    const int32_t bodyCopied = body && bodySize > 0 ? bodySize : 0;
    if (bodyCopied > INT32_MAX - len) return nullptr;
    BS::DataPtr record(BS::data_t::Create(len + bodyCopied, false, NO_TIME, NO_TIME, NO_TIME));
    if (!record) return nullptr;
    std::memcpy(record->data, header, static_cast<size_t>(len));
    if (bodyCopied > 0) std::memcpy(record->data + len, body, static_cast<size_t>(bodyCopied));
    record->size_actual = len + bodyCopied;
    LogTrace(9, "GenerateHTTPHeader: len=%i, len_written=%i, content_data=%s, content_size=%i, %s",
             static_cast<int>(std::strlen(header)), len, bodyCopied > 0 ? "true" : "false", bodySize, header);
    return record;
}

bool HttpResponse::ClosesConnection() const {
    if (EqualsNoCase(connection, "close")) return true;
    return http10 && !EqualsNoCase(connection, "keep-alive");
}

bool HttpResponse::KeepsAlive() const { return EqualsNoCase(connection, "keep-alive"); }

void CHttpResponseAccumulator::Reset() {
    m_Bytes.clear();
    m_uInterval = 1;
    m_bResponseStarted = true;
}

bool CHttpResponseAccumulator::Append(std::span<const uint8_t> bytes) {
    bool kept = true;
    if (bytes.size() > kCapacity - std::min(m_Bytes.size(), kCapacity)) {
        kept = m_Bytes.empty();
        m_Bytes.clear();
        m_bResponseStarted = true;
        if (bytes.size() > kCapacity) bytes = bytes.last(kCapacity);
    }
    m_Bytes.insert(m_Bytes.end(), bytes.begin(), bytes.end());
    return kept;
}

CHttpResponseAccumulator::Result CHttpResponseAccumulator::Parse(bool tunnelOpen, HttpResponse& out,
                                                                 bool& statusSeen) {
    statusSeen = false;
    if (m_Bytes.size() <= 8) return Result::NeedMore;
    out = HttpResponse{};
    const std::string_view all(reinterpret_cast<const char*>(m_Bytes.data()), m_Bytes.size());
    int64_t contentLength = 0;
    size_t pos = 0;
    size_t headerEnd = 0;
    for (;;) {
        const size_t lf = all.find('\n', pos);
        if (lf == std::string_view::npos) {
            if (all.size() > kHeaderLimit) break;
            return Result::NeedMore;
        }
        size_t end = lf;
        if (end > pos && all[end - 1] == '\r') --end;
        const std::string_view line = all.substr(pos, end - pos);
        pos = lf + 1;
        if (line.empty()) {
            headerEnd = pos;
            break;
        }
        if (pos > kHeaderLimit) break;
        size_t at = 0;
        const std::string_view first = NextToken(line, at);
        const std::string_view second = NextToken(line, at);
        if (first.empty() || second.empty()) out.error = true;
        if (first == "HTTP/1.1" || first == "HTTP/1.0") {
            out.statusText = std::string(Rest(line, at));
            out.http10 = first == "HTTP/1.0";
            if (m_bResponseStarted) {
                statusSeen = true;
                m_bResponseStarted = false;
            }
            int64_t code = 0;
            if (ParseDecimal(second, code) && code < 1000)
                out.statusCode = static_cast<int32_t>(code);
            else
                out.error = true;
        } else if (EqualsNoCase(first, "Cache-Control:")) {
            out.cacheControl = std::string(second);
        } else if (EqualsNoCase(first, "Connection:") || EqualsNoCase(first, "Proxy-Connection:")) {
            out.connection = std::string(second);
        } else if (EqualsNoCase(first, "Server:")) {
            out.server = std::string(second);
        } else if (EqualsNoCase(first, "Content-Type:")) {
            out.contentType = std::string(second);
        } else if (EqualsNoCase(first, "Transfer-Encoding:")) {
            out.chunked = second.find("chunked") != std::string_view::npos;
        } else if (EqualsNoCase(first, "Content-Length:")) {
            if (!ParseDecimal(second, contentLength)) {
                out.error = true;
                contentLength = 0;
            }
        }
    }
    if (headerEnd == 0 || static_cast<uint64_t>(contentLength) > kCapacity - std::min(headerEnd, kCapacity)) {
        // A header without end, or a body the buffer can never hold: what waits cannot become a
        // response, and keeping it would only hold back the bytes behind it.
        m_Bytes.clear();
        m_bResponseStarted = true;
        return Result::TooLarge;
    }
    const size_t length = static_cast<size_t>(contentLength);
    if (length > m_Bytes.size() - headerEnd) return Result::NeedMore;
    m_bResponseStarted = true;
    size_t bodyStart = headerEnd;
    if (tunnelOpen && out.statusCode == 200 && length > 0) {
        m_uInterval = m_Bytes[headerEnd];
        out.intervalTaken = true;
        ++bodyStart;
    }
    out.body.assign(m_Bytes.begin() + static_cast<std::ptrdiff_t>(bodyStart),
                    m_Bytes.begin() + static_cast<std::ptrdiff_t>(headerEnd + length));
    m_Bytes.erase(m_Bytes.begin(), m_Bytes.begin() + static_cast<std::ptrdiff_t>(headerEnd + length));
    return Result::Complete;
}

std::string ExtractClientId(std::span<const uint8_t> body) {
    std::string id;
    for (uint8_t c : body.first(std::min<size_t>(body.size(), 1024)))
        if (c >= 0x21 && c < 0x7F) id.push_back(static_cast<char>(c));
    return id;
}

}  // namespace rtmp
