// The tunnel's HTTP bytes: request headers written out by hand, and responses as a server or a
// proxy sends them, whole, in pieces, pipelined and malformed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rtmp/RtmptHttp.h"

namespace {

using Result = rtmp::CHttpResponseAccumulator::Result;

std::string Text(const BS::data_t& d) { return {reinterpret_cast<const char*>(d.data), size_t(d.size_actual)}; }

TEST(RtmptHttp, RequestHeadersInTheirFourForms) {
    const uint8_t one = 1;
    struct Row {
        const char* command;
        std::string id;
        uint32_t seq;
        bool proxy;
        const uint8_t* body;
        std::string expected;
    };
    const std::vector<Row> rows{
        {"open", "", 1, false, &one,
         "POST /open/1 HTTP/1.1\r\nUser-Agent: Shockwave Flash\r\nHost: media.example\r\nContent-Length: 1\r\n"
         "Connection: Keep-Alive\r\nCache-Control: no-cache\r\n\r\n\x01"},
        {"send", "Xy12", 0, false, nullptr,
         "POST /send/Xy12/0 HTTP/1.1\r\nUser-Agent: Shockwave Flash\r\nHost: media.example\r\nContent-Length: 1\r\n"
         "Connection: Keep-Alive\r\nCache-Control: no-cache\r\n\r\n"},
        {"open", "", 1, true, &one,
         "POST http://media.example:8080/open/1 HTTP/1.1\r\nUser-Agent: Shockwave Flash\r\nHost: media.example\r\n"
         "Content-Length: 1\r\nProxy-Connection: Keep-Alive\r\nPragma: no-cache\r\n\r\n\x01"},
        {"idle", "Xy12", 4294967295u, true, &one,
         "POST http://media.example:8080/idle/Xy12/4294967295 HTTP/1.1\r\nUser-Agent: Shockwave Flash\r\n"
         "Host: media.example\r\nContent-Length: 1\r\nProxy-Connection: Keep-Alive\r\nPragma: no-cache\r\n\r\n\x01"},
    };
    for (const Row& r : rows) {
        BS::DataPtr d = rtmp::GenerateHTTPHeader("POST", r.command, r.id, r.seq, rtmp::kTunnelUserAgent, "media.example",
                                                 8080, rtmp::kTunnelConnection, rtmp::kTunnelCacheControl, r.body, 1,
                                                 r.proxy);
        ASSERT_TRUE(d);
        EXPECT_EQ(Text(*d), r.expected) << r.command;
    }
    // A host name that cannot fit the header buffer gives no request rather than a cut one.
    EXPECT_FALSE(rtmp::GenerateHTTPHeader("POST", "send", "id", 0, rtmp::kTunnelUserAgent, std::string(3000, 'h'), 80,
                                          rtmp::kTunnelConnection, rtmp::kTunnelCacheControl, nullptr, 0, false));
}

std::string Response(const std::string& status, const std::string& headers, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\n" + headers + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

struct Parsed {
    std::vector<Result> results;
    std::vector<rtmp::HttpResponse> responses;
    int statusLines = 0;
};

// Feeds the pieces one after another and parses after each, as the receive thread does.
Parsed Feed(rtmp::CHttpResponseAccumulator& acc, const std::vector<std::string>& pieces, bool open) {
    Parsed p;
    for (const std::string& piece : pieces) {
        acc.Append({reinterpret_cast<const uint8_t*>(piece.data()), piece.size()});
        for (;;) {
            rtmp::HttpResponse r;
            bool seen = false;
            const Result res = acc.Parse(open, r, seen);
            p.statusLines += seen ? 1 : 0;
            p.results.push_back(res);
            if (res != Result::Complete) break;
            p.responses.push_back(std::move(r));
        }
    }
    return p;
}

TEST(RtmptHttp, ResponsesWholeInPiecesPipelinedAndMalformed) {
    const std::string answer = Response("200 OK", "Content-Type: application/x-fcs\r\nServer: gw\r\n", std::string("\x05rtmp", 5));
    struct Row {
        const char* name;
        std::vector<std::string> pieces;
        bool open;
        size_t complete;       // responses that come out
        int statusLines;       // each answers its request once
        std::string lastBody;  // of the last complete response
        int32_t lastStatus;
        uint8_t interval;
        Result lastResult;
    };
    const std::string open = Response("200 OK", "", "a1b2\n");
    const std::vector<Row> rows{
        {"whole", {answer}, true, 1, 1, "rtmp", 200, 5, Result::NeedMore},
        {"byte by byte", [&] {
             std::vector<std::string> v;
             for (char c : answer) v.emplace_back(1, c);
             return v;
         }(), true, 1, 1, "rtmp", 200, 5, Result::NeedMore},
        {"two in one read", {answer + answer}, true, 2, 2, "rtmp", 200, 5, Result::NeedMore},
        {"open answer keeps its body", {open}, false, 1, 1, "a1b2\n", 200, 1, Result::NeedMore},
        {"another status passes the body whole", {Response("404 Not Found", "", "gone")}, true, 1, 1, "gone", 404, 1,
         Result::NeedMore},
        {"no interval byte", {Response("200 OK", "", "")}, true, 1, 1, "", 200, 1, Result::NeedMore},
        {"eight bytes are not looked at", {"HTTP/1.1"}, true, 0, 0, "", 0, 1, Result::NeedMore},
        {"body larger than the buffer", {"HTTP/1.1 200 OK\r\nContent-Length: 2097152\r\n\r\n\x01"}, true, 0, 1, "", 0, 1,
         Result::TooLarge},
        {"header without end", {"HTTP/1.1 200 OK\r\n" + std::string(20000, 'x')}, true, 0, 1, "", 0, 1, Result::TooLarge},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        rtmp::CHttpResponseAccumulator acc;
        const Parsed p = Feed(acc, r.pieces, r.open);
        ASSERT_EQ(p.responses.size(), r.complete);
        EXPECT_EQ(p.statusLines, r.statusLines);
        EXPECT_EQ(p.results.back(), r.lastResult);
        EXPECT_EQ(acc.PollingInterval(), r.interval);
        if (r.complete == 0) continue;
        const rtmp::HttpResponse& last = p.responses.back();
        EXPECT_EQ(std::string(last.body.begin(), last.body.end()), r.lastBody);
        EXPECT_EQ(last.statusCode, r.lastStatus);
        EXPECT_EQ(acc.Waiting(), 0u);
    }
}

TEST(RtmptHttp, HeadersTheTunnelActsOn) {
    struct Row {
        std::string response;
        bool error, chunked, closes, keepsAlive;
    };
    const std::vector<Row> rows{
        {Response("200 OK", "Connection: Keep-Alive\r\n", "\x01"), false, false, false, true},
        {Response("200 OK", "connection: close\r\n", "\x01"), false, false, true, false},
        {"HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\n\x01", false, false, true, false},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", false, true, false, false},
        {"HTTP/1.1 20x OK\r\nContent-Length: 0\r\n\r\n", true, false, false, false},
        {"HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n", true, false, false, false},
        {"HTTP/1.1 200 OK\r\nServer:\r\nContent-Length: 0\r\n\r\n", true, false, false, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.response);
        rtmp::CHttpResponseAccumulator acc;
        const Parsed p = Feed(acc, {r.response}, true);
        ASSERT_EQ(p.responses.size(), 1u);
        EXPECT_EQ(p.responses[0].error, r.error);
        EXPECT_EQ(p.responses[0].chunked, r.chunked);
        EXPECT_EQ(p.responses[0].ClosesConnection(), r.closes);
        EXPECT_EQ(p.responses[0].KeepsAlive(), r.keepsAlive);
    }
    const std::string id = "\t ab\x01" "c-9\r\n\x7f";
    EXPECT_EQ(rtmp::ExtractClientId({reinterpret_cast<const uint8_t*>(id.data()), id.size()}), "abc-9");
}

}  // namespace
