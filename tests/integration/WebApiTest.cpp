// rtmpwriter's web API end to end: a publication to the private nginx watched and steered through
// /api/* and /metrics; a cue point sent through the API on the fake server's wire; and who may use
// the server at all: the token off the loopback address, foreign origins, methods.
#include <gtest/gtest.h>
#include <httplib.h>
#include <json/json.h>

#include <csignal>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "TestServers.h"

using namespace std::chrono_literals;
using qvtest::ChildProcess;

namespace {

std::string Fixture(const std::string& name) { return std::string(QV_FIXTURE_DIR) + "/" + name; }
constexpr std::string_view kPageLine = "rtmpwriter: web page at ";
const std::string kPassword = "Pw-3c9d1e-kept-secret";

struct Reply {
    int status = -1;
    std::string body;
    Json::Value json;
    std::string encoding;  // Content-Encoding
};

// rtmpwriter with its stderr joined to stdout, where the page's address is awaited line by line.
class Writer {
public:
    bool Start(std::vector<std::string> args, std::string* error) {
        args.insert(args.begin(), {"sh", "-c", "exec \"$0\" \"$@\" 2>&1", QV_RTMPWRITER});
        if (!m_process.start({args, true, {}, {}}, error)) return false;
        while (m_url.empty()) {
            const auto line = m_process.readLine(20s);
            if (!line) return *error = "no web page line within 20 s:\n" + m_output, false;
            m_output += *line + "\n";
            if (line->starts_with(kPageLine)) m_url = line->substr(kPageLine.size());
        }
        // http://HOST:PORT/[?token=T]
        const size_t hostStart = m_url.find("://") + 3, slash = m_url.find('/', hostStart);
        const std::string authority = m_url.substr(hostStart, slash - hostStart);
        m_host = authority.substr(0, authority.rfind(':'));
        m_port = std::stoi(authority.substr(authority.rfind(':') + 1));
        if (const size_t t = m_url.find("?token="); t != std::string::npos) m_token = m_url.substr(t + 7);
        return true;
    }
    Reply Call(const std::string& method, const std::string& path, const std::string& body = {},
               httplib::Headers headers = {}) {
        httplib::Client c(m_host, m_port);
        c.set_connection_timeout(5);
        c.set_read_timeout(20);
        httplib::Result r = method == "GET"    ? c.Get(path, headers)
                            : method == "PUT"  ? c.Put(path, headers, body, "application/json")
                            : method == "HEAD" ? c.Head(path, headers)
                                               : c.Post(path, headers, body, "application/json");
        Reply reply;
        if (!r) return reply;
        reply.status = r->status;
        reply.body = r->body;
        reply.encoding = r->get_header_value("Content-Encoding");
        Json::CharReaderBuilder b;
        std::istringstream in(r->body);
        Json::parseFromStream(b, in, &reply.json, nullptr);
        m_bodies += r->body;
        return reply;
    }
    // The event stream's first burst: every control, then the dirty flag.
    std::string FirstEvents(const std::string& query = {}) {
        httplib::Client c(m_host, m_port);
        c.set_read_timeout(20);
        std::string text;
        c.Get("/ui/events" + query, [&](const char* data, size_t n) {
            text.append(data, n);
            return text.find("event: dirty") == std::string::npos;
        });
        m_bodies += text;
        return text;
    }
    // Polls until `ok` holds for the reply (the figures come about once a second).
    bool Until(const std::string& path, const std::function<bool(const Json::Value&)>& ok, std::chrono::seconds bound) {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (std::chrono::steady_clock::now() < deadline) {
            if (const Reply r = Call("GET", path); r.status == 200 && ok(r.json)) return true;
            std::this_thread::sleep_for(200ms);
        }
        return false;
    }
    int Interrupt() {
        m_process.signal(SIGINT);
        return m_process.wait(20s).value_or(-1);
    }
    std::string Origin() const { return "http://" + m_host + ":" + std::to_string(m_port); }
    const std::string& token() const { return m_token; }
    const std::string& url() const { return m_url; }
    // Every body answered so far: a password must never be in it.
    const std::string& bodies() const { return m_bodies; }

private:
    ChildProcess m_process;
    std::string m_output, m_url, m_host, m_token, m_bodies;
    int m_port = 0;
};

class WebApi : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string error;
        ASSERT_TRUE((nginx = std::make_unique<qvtest::NginxServer>(qvtest::NginxOptions{.record = false}))->start(&error))
            << error;
    }
    static void TearDownTestSuite() { nginx.reset(); }
    void SetUp() override {
        ASSERT_TRUE(dir.ok());
        ::setenv("QV_SETTINGS_USER", dir.file("user.json").c_str(), 1);
        ::setenv("QV_SETTINGS_MACHINE", dir.file("machine.json").c_str(), 1);
    }
    static std::string UiPort(const std::string& host) {
        const auto port = qvtest::freeTcpPort();
        return host + ":" + std::to_string(port.value_or(0));
    }
    static inline std::unique_ptr<qvtest::NginxServer> nginx;
    qvtest::TempDir dir{"qv-webapi"};
};

// Every sample's metric has HELP and TYPE lines and a number; the samples by name and labels.
std::map<std::string, double> ParseMetrics(const std::string& text) {
    std::set<std::string> help, type;
    std::map<std::string, double> samples;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("# HELP ")) help.insert(line.substr(7, line.find(' ', 7) - 7));
        else if (line.starts_with("# TYPE ")) type.insert(line.substr(7, line.find(' ', 7) - 7));
        if (line.empty() || line[0] == '#') continue;
        const std::string series = line.substr(0, line.rfind(' ')), value = line.substr(line.rfind(' ') + 1);
        const std::string name = series.substr(0, series.find('{'));
        EXPECT_TRUE(help.count(name) && type.count(name)) << "no HELP/TYPE before " << line;
        EXPECT_TRUE(name.starts_with("rtmpwriter_")) << line;
        char* end = nullptr;
        samples[series] = std::strtod(value.c_str(), &end);
        EXPECT_TRUE(!value.empty() && *end == '\0') << "not a number: " << line;
    }
    return samples;
}

TEST_F(WebApi, StatusStatisticsOptionsAndMetricsOfAPublication) {
    Writer w;
    std::string error;
    ASSERT_TRUE(w.Start({nginx->url("webapi"), "--video", Fixture("rt20.h264"), "--audio", Fixture("aac20.aac"), "--ui",
                         UiPort("127.0.0.1"), "--password", kPassword},
                        &error))
        << error;
    EXPECT_EQ(w.token(), "") << "no token on the loopback address unless one is given";
    ASSERT_TRUE(w.Until("/api/status", [](const Json::Value& s) { return s["state"] == "connected"; }, 20s));
    // The figures move once the writer has sent for a while.
    ASSERT_TRUE(w.Until(
        "/api/statistics",
        [](const Json::Value& s) { return s["outputBitrate"].asInt64() > 0 && s["videoBitrate"].asInt() > 0; }, 20s));
    const Reply stats = w.Call("GET", "/api/statistics");
    for (const char* name : {"outputBufferSize", "outputBufferFillness", "outputBitrate", "ackBitrate", "payloadBitrate",
                             "roundTripTime", "serverAckRate", "bufferedAudioPackets", "bufferedVideoPackets",
                             "audioBitrate", "videoBitrate", "audioMessagesSent", "videoMessagesSent"})
        EXPECT_TRUE(stats.json[name].isNumeric()) << name << " " << stats.body;

    const Reply metrics = w.Call("GET", "/metrics");
    ASSERT_EQ(metrics.status, 200);
    std::map<std::string, double> m = ParseMetrics(metrics.body);
    EXPECT_EQ(m["rtmpwriter_connected"], 1);
    EXPECT_EQ(m["rtmpwriter_connection_state{state=\"connected\"}"], 1);
    EXPECT_GT(m["rtmpwriter_frames_sent_total{kind=\"video\"}"], 0);
    EXPECT_GT(m["rtmpwriter_sent_bytes_total"], 0);
    EXPECT_GT(m["rtmpwriter_output_bitrate_bits_per_second"], 0);

    // Options written are read back; the password only as set.
    const Reply put = w.Call("PUT", "/api/options", R"({"reconnectInterval": 1234, "tcpNoDelay": true, "bufferMode": "wait"})");
    EXPECT_EQ(put.status, 200) << put.body;
    const Reply options = w.Call("GET", "/api/options");
    EXPECT_EQ(options.json["reconnectInterval"], 1234);
    EXPECT_EQ(options.json["tcpNoDelay"], true);
    EXPECT_EQ(options.json["bufferMode"], "wait");
    EXPECT_EQ(options.json["passwordSet"], true);
    EXPECT_FALSE(options.json.isMember("password"));

    // Bad requests: a clear error, the run goes on.
    struct Bad {
        std::string method, path, body;
        int status;
        std::string error;
    };
    for (const Bad& b : std::vector<Bad>{
             {"PUT", "/api/options", "{bad", 400, "not valid JSON"},
             {"PUT", "/api/options", R"({"noSuchOption": 1})", 400, "unknown option \"noSuchOption\""},
             {"PUT", "/api/options", R"({"reconnectInterval": "soon"})", 400, "\"reconnectInterval\" needs a whole number"},
             {"PUT", "/api/options", R"({"outputBufferSize": 104857601})", 400, "the writer refused outputBufferSize"},
             {"PUT", "/api/options", "", 400, "needs a JSON body"},
             {"POST", "/api/cuepoint", "[1]", 400, "\"cuepoint\" needs an object"},
             {"POST", "/api/invoke", R"({"args": {}})", 400, "\"invoke\" needs"},
             {"POST", "/ui/command", R"({"id": "Connect"})", 400, "expected {\"id\": N}"},
             {"POST", "/ui/command", R"({"id": 4242})", 400, "no control 4242"},
             {"POST", "/ui/apply", R"({"controls": {"1019": "yes"}})", 400, "its value must be true or false"},
             {"POST", "/api/connect", "", 409, "already connected"},
             {"GET", "/api/connect", "", 405, "GET is not allowed"},
             {"GET", "/no/such/path", "", 404, "no such path"},
         }) {
        const Reply r = w.Call(b.method, b.path, b.body);
        EXPECT_EQ(r.status, b.status) << b.method << " " << b.path << " " << b.body << ": " << r.body;
        EXPECT_NE(r.json["error"].asString().find(b.error), std::string::npos) << b.path << ": " << r.body;
    }
    EXPECT_EQ(w.Call("GET", "/api/status").json["state"], "connected");

    // Nothing is compressed, whatever a browser accepts: brotli at its best setting cost the
    // writer 8 ms of CPU per page load to save a few kilobytes on a local link.
    for (const char* path : {"/", "/ui/state", "/api/statistics", "/metrics", "/no/such/path"}) {
        const Reply r = w.Call("GET", path, {}, {{"Accept-Encoding", "br, gzip, deflate"}});
        EXPECT_EQ(r.encoding, "") << path;
        EXPECT_TRUE(r.body.starts_with("<!DOCTYPE") || r.body.starts_with("{") || r.body.starts_with("# HELP"))
            << path << ": " << r.body.substr(0, 80);
    }

    // Read everything a browser could; the password is in none of it.
    w.Call("GET", "/");
    w.Call("GET", "/ui/state");
    EXPECT_NE(w.FirstEvents().find("event: control"), std::string::npos);
    EXPECT_EQ(w.bodies().find(kPassword), std::string::npos);
    EXPECT_EQ(w.Interrupt(), 128 + SIGINT);
}

TEST_F(WebApi, ACuePointAndACommandFromTheApiReachTheStream) {
    qvtest::FakeRtmpServer server;
    std::string error;
    ASSERT_TRUE(server.start({}, &error)) << error;
    Writer w;
    ASSERT_TRUE(w.Start({server.url("live", "api"), "--video", Fixture("rt20.h264"), "--audio", Fixture("aac20.aac"), "--ui",
                         UiPort("127.0.0.1")},
                        &error))
        << error;
    ASSERT_TRUE(server.waitFor([](const qvtest::FakeRtmpEntry& e) { return e.dir == "in" && e.type == 9; }, 15s));
    // The --control object, or just its value.
    const Reply cue = w.Call("POST", "/api/cuepoint", R"({"cuepoint": {"name": "ad-break", "time": 12.5, "duration": 30}})");
    EXPECT_EQ(cue.status, 200) << cue.body;
    const Reply cmd = w.Call("POST", "/api/command", R"({"name": "customCommand", "args": {"id": 7}})");
    EXPECT_EQ(cmd.status, 200) << cmd.body;
    auto sent = [&](const std::string& name) {
        return server.waitFor([&](const qvtest::FakeRtmpEntry& e) { return e.dir == "in" && e.name == name; }, 10s);
    };
    const auto onCuePoint = sent("onCuePoint");
    ASSERT_TRUE(onCuePoint);
    EXPECT_EQ(onCuePoint->type, 18);
    for (const auto& [key, value] : {std::pair<std::string, Json::Value>{"name", "ad-break"}, {"time", 12.5}, {"duration", 30.0}})
        EXPECT_EQ(onCuePoint->amf[1][key], value) << onCuePoint->raw;
    const auto custom = sent("customCommand");
    ASSERT_TRUE(custom);
    EXPECT_EQ(custom->type, 20);
    EXPECT_EQ(w.Interrupt(), 128 + SIGINT);
}

// Bound to 127.0.0.2 (loopback still, but not the address that goes without a token), held so
// that nothing is published.
TEST_F(WebApi, OnlyTheTokenTheOwnOriginAndTheRightMethodsGetIn) {
    Writer w;
    std::string error;
    ASSERT_TRUE(w.Start({nginx->url("secured"), "--video", Fixture("rt20.h264"), "--ui", UiPort("127.0.0.2"), "--hold",
                         "--password", kPassword},
                        &error))
        << error;
    ASSERT_EQ(w.token().size(), 32u) << "a token is made and printed: " << w.url();
    const httplib::Headers none, token{{"X-QV-Token", w.token()}}, wrong{{"X-QV-Token", std::string(32, 'f')}};
    const httplib::Headers own{{"X-QV-Token", w.token()}, {"Origin", w.Origin()}},
        foreign{{"X-QV-Token", w.token()}, {"Origin", "http://evil.example"}};
    struct Row {
        std::string method, path;
        const httplib::Headers& headers;
        int status;
    };
    for (const Row& r : std::vector<Row>{
             {"GET", "/api/status", none, 401},      {"GET", "/api/status", wrong, 403},
             {"GET", "/api/status", token, 200},     {"GET", "/api/status", own, 200},
             {"GET", "/api/status", foreign, 403},   {"GET", "/metrics", none, 401},
             {"GET", "/metrics", token, 200},        {"GET", "/ui/state", none, 401},
             {"GET", "/ui/state", token, 200},       {"GET", "/api/options", none, 401},
             {"GET", "/", none, 200},                {"POST", "/api/restart", none, 401},
             {"POST", "/api/restart", foreign, 403}, {"POST", "/ui/command", foreign, 403},
             {"GET", "/api/disconnect", token, 405}, {"GET", "/api/cuepoint", token, 405},
             {"GET", "/ui/apply", token, 405},       {"PUT", "/api/status", token, 405},
             {"POST", "/api/options", token, 405},
         }) {
        const Reply reply = w.Call(r.method, r.path, "{}", r.headers);
        EXPECT_EQ(reply.status, r.status) << r.method << " " << r.path << ": " << reply.body;
    }
    // The event stream cannot send headers: it takes the token in its query.
    EXPECT_NE(w.FirstEvents("?token=" + w.token()).find("event: dirty"), std::string::npos);
    EXPECT_EQ(w.Call("GET", "/api/status", {}, token).json["state"], "held");
    EXPECT_TRUE(nginx->waitPublishing("live", "secured", false, 0ms)) << "held, yet publishing";
    EXPECT_EQ(w.bodies().find(kPassword), std::string::npos);
    EXPECT_EQ(w.Interrupt(), 128 + SIGINT);
}

}  // namespace
