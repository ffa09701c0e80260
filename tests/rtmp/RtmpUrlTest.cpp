#include <gtest/gtest.h>

#include "rtmp/RtmpUrl.h"
#include "TestSupport.h"

namespace {

struct SplitCase {
    const char* url;
    const char* base;
    const char* host;
    const char* app;
    const char* stream;
    int32_t port;
};

TEST(RtmpUrl, SplitUrlTable) {
    const SplitCase cases[] = {
        {"rtmp://server:1936/live/myStream", "rtmp://server/live", "server", "live", "myStream", 1936},
        {"rtmp://server/live+myStream", "rtmp://server/live", "server", "live", "myStream", 1935},
        {"rtmp://server/app/inst/s", "rtmp://server/app/inst", "server", "app/inst", "s", 1935},
        {"rtmp://server/live", "rtmp://server/live", "server", "live", "", 1935},
        {"rtmp://server", "rtmp://server/", "server", "", "", 1935},
        {"rtmps://h/app/s", "rtmps://h/app", "h", "app", "s", 443},
        {"RTMPS://h/app/s", "RTMPS://h/app", "h", "app", "s", 443},
        {"rtmpt://h/app/s", "rtmpt://h/app", "h", "app", "s", 1935},
        {"rtmpe://h/app/s", "rtmpe://h/app", "h", "app", "s", 1935},
        {"rtmp://h:x/app/s", "rtmp://h/app", "h", "app", "s", 0},
        {"rtmp://h:99999999999/app/s", "rtmp://h/app", "h", "app", "s", 2147483647},
        {"rtmp://h:1937", "rtmp://h/", "h", "", "", 1937},
        {"rtmp://h/a/b+c/d", "rtmp://h/a/b+c", "h", "a/b+c", "d", 1935},
        {"rtmp://h/a/b/c+d", "rtmp://h/a/b/c", "h", "a/b/c", "d", 1935},
        // A rest that starts with "/" is all host; no port is looked for.
        {"rtmp:///x:12/y", "rtmp:///x:12/y/", "/x:12/y", "", "", 1935},
        {"server/live/s", "", "", "", "", 1935},
        {"rtms", "", "", "", "", 1935},
        {"", "", "", "", "", 1935},
    };
    for (const SplitCase& c : cases) {
        SCOPED_TRACE(c.url);
        const rtmp::SplitUrlResult r = rtmp::SplitUrl(c.url);
        EXPECT_EQ(r.baseUrl, c.base);
        EXPECT_EQ(r.host, c.host);
        EXPECT_EQ(r.app, c.app);
        EXPECT_EQ(r.stream, c.stream);
        EXPECT_EQ(r.port, c.port);
    }
}

struct ServerCase {
    const char* url;
    const char* host;  // "" = refused
    const char* app;   // the application path afterwards (starts as "untouched")
    char letter;       // '-' = not written
};

TEST(RtmpUrl, GetServerNameTable) {
    const ServerCase cases[] = {
        {"rtmp://h/live", "h", "live", '-'},
        {"rtmp://h/app/inst?x=1", "h", "app/inst?x=1", '-'},
        {"rtmp://h", "h", "", '-'},
        {"rtmp://h:1935/live", "h", "1935/live", '-'},
        {"rtmp://h\\live", "h", "live", '-'},
        {"rtmpt://host/a", "host", "a", 't'},
        {"rtmps://host/a", "host", "a", 's'},
        {"rtmpte://host/a", "host", "a", 't'},
        {"rtmp:/h/live", "", "untouched", '-'},
        {"RTMP://h/live", "", "untouched", '-'},
        {"http://h/live", "", "untouched", '-'},
        {"rtmp:/", "", "untouched", '-'},
        {"rtmpxyz://h/a", "", "untouched", '-'},
        {"rtmpt:/h/a", "", "untouched", 't'},
    };
    for (const ServerCase& c : cases) {
        SCOPED_TRACE(c.url);
        std::string app = "untouched";
        char letter = '-';
        EXPECT_EQ(rtmp::GetServerName(c.url, app, &letter), c.host);
        EXPECT_EQ(app, c.app);
        EXPECT_EQ(letter, c.letter);
    }
}

TEST(RtmpUrl, RefusedUrlsAreLogged) {
    rtmptest::LogCapture log;
    std::string app;
    EXPECT_EQ(rtmp::GetServerName("rtmp:/", app, nullptr), "");
    EXPECT_TRUE(log.Contains("CRTMPClient::GetServerName: Url too short - length: 6"));
    EXPECT_EQ(rtmp::GetServerName("RTMP://h/live", app, nullptr), "");
    EXPECT_TRUE(log.Contains("CRTMPClient::GetServerName: Url does not contain 'rtmp' - RTMP://h/live"));
}

TEST(RtmpUrl, ConnectAppAndTcUrl) {
    struct Case {
        const char* host;
        const char* app;
        const char* query;
        bool tunnel;
        const char* appValue;
        const char* tcUrl;
    };
    const Case cases[] = {
        {"h", "live", "", false, "live", "rtmp://h/live"},
        {"h", "", "", false, "", "rtmp://h/"},
        {"h", "live", "", true, "live", "rtmpt://h/live"},
        {"h", "app/inst?x=1", "q", false, "app/inst?x=1&q", "rtmp://h/app/inst?x=1&q"},
        {"h", "live", "authmod=adobe&user=u", false, "live?authmod=adobe&user=u", "rtmp://h/live?authmod=adobe&user=u"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.appValue);
        const rtmp::ConnectUrls u = rtmp::FormConnectUrls(c.host, c.app, c.query, c.tunnel);
        EXPECT_EQ(u.app, c.appValue);
        EXPECT_EQ(u.tcUrl, c.tcUrl);
    }
    const std::string longPath(5000, 'p');
    const rtmp::ConnectUrls u = rtmp::FormConnectUrls("h", longPath, "", false);
    EXPECT_EQ(u.tcUrl.size(), 4095u);
    EXPECT_EQ(u.app.size(), 5000u);
}

}  // namespace
