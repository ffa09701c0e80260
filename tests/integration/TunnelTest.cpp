// rtmpwriter publishing through the RTMPT tunnel: straight to the gateway and through tinyproxy
// (the proxy from --proxy, from http_proxy, from a PAC file), each recording judged frame for
// frame; the fallback list ending in the tunnel inside a private network namespace; the gateway
// ending the session mid-stream; and peers that answer wrongly or not at all.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <sstream>

#include "TestServers.h"
#include "TunnelServers.h"

using namespace std::chrono_literals;
using namespace qvtest;

namespace {

std::string Fixture(const std::string& name) { return std::string(QV_FIXTURE_DIR) + "/" + name; }

// One rtmpwriter run in the test's directory, with its own settings store and a clean proxy
// environment (the machine's own must not leak in), plus whatever the row adds.
struct Writer {
    Writer(const TempDir& d, std::string n) : dir(d), name(std::move(n)) {}
    const TempDir& dir;
    std::string name;
    ChildProcess process;
    std::chrono::steady_clock::time_point started;

    bool run(const std::vector<std::string>& args, const std::vector<std::string>& env = {}, bool captureStdout = false) {
        started = std::chrono::steady_clock::now();
        return launch(process, args, env, captureStdout);
    }
    // A settings command, run to its end before the publication.
    bool config(const std::vector<std::string>& args) {
        ChildProcess p;
        std::vector<std::string> a{"config"};
        a.insert(a.end(), args.begin(), args.end());
        return launch(p, a, {}, false) && p.wait(15s) == 0;
    }
    std::string err() const { return readFile(dir.file(name + ".err")).value_or(""); }
    std::string out() const { return readFile(dir.file(name + ".out")).value_or(""); }
    double seconds() const { return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(); }

private:
    bool launch(ChildProcess& p, const std::vector<std::string>& args, const std::vector<std::string>& env, bool captureStdout) {
        std::vector<std::string> argv{"env", "-u", "http_proxy", "-u", "HTTP_PROXY", "-u", "no_proxy", "-u", "NO_PROXY",
                                      "QV_SETTINGS_USER=" + dir.file(name + ".user.json"),
                                      "QV_SETTINGS_MACHINE=" + dir.file(name + ".machine.json")};
        argv.insert(argv.end(), env.begin(), env.end());
        argv.push_back(QV_RTMPWRITER);
        argv.insert(argv.end(), args.begin(), args.end());
        std::string error;
        const bool ok = p.start({argv, captureStdout, dir.file(name + ".out"), dir.file(name + ".err")}, &error);
        EXPECT_TRUE(ok) << error;
        return ok;
    }
};

// The gateway's request log as RtmptGateway reads it, from a file of a run elsewhere.
std::vector<RtmptRequest> ParseRequests(const std::string& text) {
    std::vector<RtmptRequest> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::istringstream f(line);
        RtmptRequest r;
        if (f >> r.connection >> r.method >> r.target >> r.bodySize >> r.status >> r.responseSize) out.push_back(r);
    }
    return out;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The four ways to reach the gateway, all at once; the direct row carries 20 s of media to show
// the pacing survives the tunnel. Each row has its own gateway, so tinyproxy's log tells whose
// requests it carried.
TEST(Tunnel, PublishesFrameForFrameDirectlyAndThroughEveryKindOfProxySetting) {
    enum class Via { Direct, ProxyOption, Environment, Pac };
    struct Row {
        std::string stream;
        Via via;
        std::string video = "x264def", audio = "aac48s";
    };
    const std::vector<Row> rows{{"direct", Via::Direct, "rt20", "aac20"}, {"option", Via::ProxyOption},
                                {"environment", Via::Environment}, {"pac", Via::Pac}};
    TempDir dir("qv-tunnel");
    NginxServer nginx;
    TinyProxy proxy;
    std::string error;
    ASSERT_TRUE(nginx.start(&error)) << error;
    ASSERT_TRUE(proxy.start(&error)) << error;
    const std::string proxyHostPort = "127.0.0.1:" + std::to_string(proxy.port());
    PacServer pac("function FindProxyForURL(url, host) { return \"PROXY " + proxyHostPort + "\"; }");
    ASSERT_TRUE(pac.start(&error)) << error;
    std::vector<std::unique_ptr<RtmptGateway>> gateways;
    std::vector<std::unique_ptr<Writer>> writers;
    for (const Row& r : rows) {
        gateways.push_back(std::make_unique<RtmptGateway>());
        ASSERT_TRUE(gateways.back()->start({nginx.rtmpPort(), "", {}}, &error)) << error;
        writers.push_back(std::make_unique<Writer>(dir, r.stream));
        Writer& w = *writers.back();
        std::vector<std::string> args{gateways.back()->url("live", r.stream), "--video", Fixture(r.video + ".h264"), "--audio",
                                      Fixture(r.audio + ".aac"), "--events", "json"}, env;
        if (r.via == Via::ProxyOption) args.insert(args.end(), {"--proxy", proxyHostPort});
        if (r.via == Via::Environment) env.push_back("http_proxy=http://" + proxyHostPort + "/");
        if (r.via == Via::Pac) {
            ASSERT_TRUE(w.config({"set", "--key", "Software\\Quorvel\\ProxySettings", "--string", "AutoConfigURL", pac.url()}))
                << w.err();
        }
        ASSERT_TRUE(w.run(args, env));
    }
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& r = rows[i];
        Writer& w = *writers[i];
        SCOPED_TRACE(r.stream);
        EXPECT_EQ(w.process.wait(90s), 0) << w.err();
        if (r.via == Via::Direct) { EXPECT_GE(w.seconds(), 19.5) << "paced to the media's 20 s"; }
        EXPECT_EQ(w.err(), "");
        // The tunnel has no close request and the gateway keeps a session until it is told to
        // end it: stopping the gateway ends the publication.
        gateways[i]->stop();
        ASSERT_TRUE(nginx.waitPublishing("live", r.stream, false, 10s));
        const auto [code, report] = checkRecording({nginx.recordFile(r.stream), "--video", Fixture(r.video + ".h264"), "--audio", Fixture(r.audio + ".aac")});
        EXPECT_EQ(code, 0) << report;
        std::cout << r.stream << ": " << report.substr(report.rfind("VERDICT"));

        // The session as the gateway saw it: opened, fed and polled, every answer 200.
        const auto log = gateways[i]->requests();
        ASSERT_GE(log.size(), 4u);
        EXPECT_EQ(log.front().target, "/open/1");
        EXPECT_TRUE(std::ranges::any_of(log, [](const RtmptRequest& q) { return q.command() == "idle"; }));
        EXPECT_TRUE(std::ranges::all_of(log, [](const RtmptRequest& q) { return q.status == 200; }));
        EXPECT_GT(std::ranges::count_if(log, [](const RtmptRequest& q) { return q.command() == "send"; }), 20);
        const std::string viaProxy = "POST http://127.0.0.1:" + std::to_string(gateways[i]->port()) + "/send/";
        EXPECT_EQ(Count(proxy.log(), viaProxy) > 0, r.via != Via::Direct) << proxy.log().substr(0, 2000);
        // The statistics carry the tunnel's figures.
        const std::string events = w.out();
        EXPECT_NE(events.find("\"tunnelRequests\":"), std::string::npos) << events.substr(0, 2000);
        EXPECT_NE(events.find("\"tunnelPollingInterval\":"), std::string::npos);
    }
    EXPECT_GE(pac.fetches(), 1);
}

// Runs tests/tools/tunnel_fallback_ns.py in a network namespace of its own, where nothing
// listens on 1935 and 443, the gateway on 80 and nginx on 1936. Its verdict line ("EXIT n").
std::string RunInNamespace(const TempDir& dir, const std::vector<std::string>& args) {
    std::vector<std::string> argv{"unshare", "--net", "python3", QV_SOURCE_DIR "/tests/tools/tunnel_fallback_ns.py",
                                  "--rtmpwriter", QV_RTMPWRITER, "--out", dir.path()};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess driver;
    if (!driver.start({argv, true, {}, dir.file("driver.err")})) return "cannot run the driver";
    const auto verdict = driver.readLine(90s);
    EXPECT_EQ(driver.wait(15s), 0) << readFile(dir.file("driver.err")).value_or("");
    return verdict.value_or("(nothing)") + " " + readFile(dir.file("stderr.txt")).value_or("") +
           readFile(dir.file("driver.err")).value_or("");
}

// rtmp://127.0.0.1/live/s with both fallbacks: the plain attempts on 1935, 443 and 80 fail (the
// one on 80 meets an HTTP server) and the tunnel on 80 publishes.
TEST(Tunnel, FallbackPortsEndInTheTunnel) {
    TempDir dir("qv-tunnelns");
    ASSERT_EQ(RunInNamespace(dir, {"--video", Fixture("x264def.h264"), "--audio", Fixture("aac48s.aac")}), "EXIT 0 ");

    // The attempts in the order they were made, as the diagnostic log has them.
    const std::string log = readFile(dir.file("rtmpwriter.log")).value_or("");
    size_t at = 0;
    for (const std::string step : {"ConnectInternal 127.0.0.1 1935 ", "could not connect to default port 1935", "trying fallback to 443",
                                   "ConnectInternal 127.0.0.1 443 ", "ConnectInternal 127.0.0.1 80 ", "trying tunnel (RTMPT, port 80)",
                                   "ConnectInternal 127.0.0.1 80 ", "Opening RTMPT Tunneling Connection to 127.0.0.1"}) {
        const size_t next = log.find(step, at);
        ASSERT_NE(next, std::string::npos) << "no \"" << step << "\" after offset " << at;
        at = next + step.size();
    }
    EXPECT_EQ(Count(log, "Opening RTMPT Tunneling Connection"), 1u);
    const std::string events = readFile(dir.file("events.json")).value_or("");
    at = 0;  // and as the events tell the host
    for (const std::string step : {"connecting to 127.0.0.1:1935\"", "connecting to 127.0.0.1:443\"",
                                   "connecting to 127.0.0.1:80\"", "connecting to 127.0.0.1:80 (RTMPT)\""}) {
        const size_t next = events.find(step, at);
        ASSERT_NE(next, std::string::npos) << "no event " << step << " after offset " << at << "\n" << events.substr(0, 3000);
        at = next + step.size();
    }
    for (const std::string want : {"RTMP Streaming to server starts: rtmp://127.0.0.1/live", "\"status\":\"connected\"", "\"exit\":0"})
        EXPECT_NE(events.find(want), std::string::npos) << want << "\n" << events.substr(0, 3000);
    EXPECT_EQ(events.find("\"reconnecting\""), std::string::npos);

    // The gateway saw the plain handshake on 80 as a bad request, then one tunnel session.
    const auto requests = ParseRequests(readFile(dir.file("gateway.log")).value_or(""));
    ASSERT_GE(requests.size(), 4u);
    EXPECT_EQ(requests[0].status, 400);
    EXPECT_EQ(requests[1].target, "/open/1");
    EXPECT_EQ(std::ranges::count_if(requests, [](const RtmptRequest& q) { return q.command() == "open"; }), 1);
    const auto [code, report] = checkRecording({dir.file("rec/s.flv"), "--video", Fixture("x264def.h264"), "--audio", Fixture("aac48s.aac")});
    EXPECT_EQ(code, 0) << report;
}

// The gateway ends the session two seconds in: the sink reconnects through a new session and the
// stream goes on into a second recording, which decodes. (A tunnel reconnects on port 80 whatever
// the URL's port, hence the namespace.)
TEST(Tunnel, GatewayEndingTheSessionReconnects) {
    TempDir dir("qv-tunnelend");
    ASSERT_EQ(RunInNamespace(dir, {"--url", "rtmpt://127.0.0.1:80/live/s", "--end-session", "--video", Fixture("rt20.h264"),
                                   "--audio", Fixture("aac20.aac")}), "EXIT 0 ");
    std::vector<std::string> seen;  // the statuses and the cut, in their order
    std::istringstream events(readFile(dir.file("events.json")).value_or(""));
    for (std::string line; std::getline(events, line);) {
        for (const std::string status : {"connected", "reconnecting", "disconnected"})
            if (line.find("\"status\":\"" + status + "\"") != std::string::npos) seen.push_back(status);
        if (line.find("\"event\":\"test\"") != std::string::npos) seen.push_back(line.substr(line.find("\"message\"")));
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"connected", "\"message\":\"ENDED 1\"}", "reconnecting", "connected", "disconnected"}));
    const auto requests = ParseRequests(readFile(dir.file("gateway.log")).value_or(""));
    EXPECT_EQ(std::ranges::count_if(requests, [](const RtmptRequest& q) { return q.command() == "open"; }), 2);

    std::vector<std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(dir.file("rec"))) files.push_back(e.path());
    std::ranges::sort(files);  // the names hold the second each publication started
    ASSERT_EQ(files.size(), 2u);
    const auto probe = ffprobeJson(files[1], {"-count_packets", "-show_streams"});
    ASSERT_TRUE(probe);
    int video = 0;
    for (const auto& s : (*probe)["streams"])
        if (s["codec_type"] == "video") video = std::stoi(s["nb_read_packets"].asString());
    EXPECT_GT(video, 250) << "the rest of the 500 pictures, from a key frame on";
    ChildProcess decode;
    ASSERT_TRUE(decode.start({{"ffmpeg", "-nostdin", "-v", "error", "-i", files[1], "-f", "null", "-"}, false, {}, dir.file("decode.txt")}));
    EXPECT_EQ(decode.wait(60s), 0);
    EXPECT_EQ(readFile(dir.file("decode.txt")).value_or("?"), "");
}

// Peers that answer wrongly, or a proxy that is down or refuses: each run ends soon with exit 4
// and one line on stderr that names what went wrong.
TEST(Tunnel, BadPeersGiveOneClearErrorAndNoHang) {
    NginxOptions quiet;
    quiet.record = false;
    NginxServer nginx(quiet);
    RtmptGateway good, refusing;
    std::string error;
    ASSERT_TRUE(nginx.start(&error)) << error;
    ASSERT_TRUE(good.start({nginx.rtmpPort(), "", {}}, &error)) << error;
    ASSERT_TRUE(refusing.start({nginx.rtmpPort(), "404", {}}, &error)) << error;
    const auto down = freeTcpPort();
    ASSERT_TRUE(down);
    struct Row {
        std::string name, fault, proxy, cause;  // proxy: --proxy, else straight to the row's gateway
    };
    const std::string downProxy = "127.0.0.1:" + std::to_string(*down), refusingProxy = "127.0.0.1:" + std::to_string(refusing.port());
    // The names become stream names: none may hold its row's cause.
    const std::vector<Row> rows{{"b404", "404", "", "HTTP 404"},
                                {"bnoint", "no-interval", "", "S0"},
                                {"bchunk", "chunked", "", "chunked"},
                                {"bsize", "oversize", "", "larger than"},
                                {"bdown", "", downProxy, downProxy},
                                {"brefuse", "", refusingProxy, "HTTP 404"}};
    TempDir dir("qv-tunnelbad");
    std::vector<std::unique_ptr<RtmptGateway>> gateways;
    std::vector<std::unique_ptr<Writer>> writers;
    for (const Row& r : rows) {
        RtmptGateway* target = &good;
        if (!r.fault.empty()) {
            gateways.push_back(std::make_unique<RtmptGateway>());
            ASSERT_TRUE(gateways.back()->start({nginx.rtmpPort(), r.fault, {}}, &error)) << error;
            target = gateways.back().get();
        }
        std::vector<std::string> args{target->url("live", r.name), "--video", Fixture("x264def.h264"), "--connect-timeout", "3",
                                      "--reconnect-attempts", "1", "--reconnect-interval", "200", "--log", dir.file(r.name + ".log"),
                                      "--log-level", "9"};
        if (!r.proxy.empty()) args.insert(args.end(), {"--proxy", r.proxy});
        writers.push_back(std::make_unique<Writer>(dir, r.name));
        ASSERT_TRUE(writers.back()->run(args));
    }
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& r = rows[i];
        Writer& w = *writers[i];
        SCOPED_TRACE(r.name);
        const auto code = w.process.wait(30s - std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - w.started));
        EXPECT_TRUE(code) << "still running after 30 s";
        EXPECT_EQ(code ? *code : w.process.stop(SIGKILL, 1s), 4);
        const std::string err = w.err();
        EXPECT_TRUE(err.starts_with("rtmpwriter: ") && Count(err, "\n") == 1) << err;
        EXPECT_NE(err.find(r.cause), std::string::npos) << "the line should name " << r.cause << ": " << err;
        std::cout << r.name << " (ended by " << w.seconds() << " s): " << err;
    }
}

}  // namespace
