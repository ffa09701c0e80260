// rtmpwriter through network trouble: every scenario at once, each publishing 720p in real time
// to its own recording nginx through its own fault proxy, on its own ports. A row is the fault
// script (what happens to the link or the server, and when), the exit code, the number of
// recorded segments (nginx starts a file per publication) and the seconds of input the faults
// may cost. The checker judges each segment (decodes cleanly, starts at a key frame with audio,
// no hole) and the frame count; the writer's peak memory is bounded.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <iostream>
#include <sstream>
#include <thread>

#include "../sink/FaultProxy.h"
#include "TestServers.h"

using namespace std::chrono_literals;

namespace {

enum class Do { StallUp, Unstall, Cut, Reset, Throttle, Refuse, Accept, StopServer, StartServer, Term };
struct Step { int ms; Do what; uint64_t bps = 0; };
// Proxied: through the proxy to nginx; Refusing: the proxy closes every connection until Accept;
// Late: straight to the port nginx opens at StartServer; BadName: the fake server refuses every
// publish; Blackhole: a listener that never accepts, so a connect waits for the system's time-out.
enum class Server { Proxied, Refusing, Late, BadName, Blackhole };
struct Row {
    std::string name;
    std::vector<std::string> args;
    std::vector<Step> script;
    int code = 0, segments = 1;
    double lost = 0;  // seconds of each input the recording may miss
    int gap = 0;      // the longest step in ms inside a segment; 0: two frame durations
    Server server = Server::Proxied;
    std::string video = "hd30", audio = "aac30";
};

constexpr uint64_t kHalf = 1600000, kQuarter = 800000;  // of the 3.2 Mbit/s of hd30 with its audio
const std::string kWait = "--buffer-mode=wait", kNever = "--reconnect-attempts=-1", kLate = "--start-without-connection";

// A listener that never accepts, its queue full: a connect to it gets no answer at all.
struct Blackhole {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), port = 0;
    std::vector<int> queued;
    Blackhole() {
        sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t n = sizeof a;
        auto* at = reinterpret_cast<sockaddr*>(&a);
        if (::bind(fd, at, n) || ::listen(fd, 0) || ::getsockname(fd, at, &n)) return;
        port = ntohs(a.sin_port);
        for (int i = 0; i < 3; ++i) ::connect(queued.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)), at, n);
    }
    ~Blackhole() {
        for (int q : queued) ::close(q);
        ::close(fd);
    }
};

std::string Fixture(const std::string& name) { return std::string(QV_FIXTURE_DIR) + "/" + name; }

// Runs on its own thread, which must outlive every process it starts (they die with it).
void RunRow(const Row& r, const qvtest::TempDir& dir, std::string& report) {
    SCOPED_TRACE(r.name);
    std::string error;
    const int nginxPort = qvtest::freeTcpPort().value_or(0);  // kept across a restart
    qvtest::NginxServer nginx({.rtmpPort = nginxPort, .unique = true, .maxMessageMb = 4});
    sinktest::FaultProxy proxy(r.server == Server::Refusing ? 0 : nginxPort);
    qvtest::FakeRtmpServer fake;
    std::optional<Blackhole> hole;
    if (r.server == Server::Blackhole) hole.emplace();
    ASSERT_TRUE(r.server != Server::BadName || fake.start({{"--bad-name"}}, &error)) << error;
    ASSERT_TRUE(r.server > Server::Refusing || nginx.start(&error)) << error;
    ASSERT_TRUE(proxy.Start());
    const int port = r.server == Server::Late ? nginxPort : r.server == Server::BadName ? fake.port()
                     : hole ? hole->port : proxy.Port();
    std::vector<std::string> args{QV_RTMPWRITER, qvtest::rtmpUrl("127.0.0.1", port, "live", r.name), "--video", Fixture(r.video + ".h264"), "--audio",
                                  Fixture(r.audio + ".aac"), "--reconnect-interval", "500"};
    args.insert(args.end(), r.args.begin(), r.args.end());
    const std::string err = dir.file(r.name + ".err");
    qvtest::ChildProcess writer;
    ASSERT_TRUE(writer.start({args, false, {}, err}, &error)) << error;
    const auto start = std::chrono::steady_clock::now();
    auto since = [&start] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    double termAt = -1;
    for (const Step& s : r.script) {
        if (writer.wait(std::chrono::duration_cast<std::chrono::milliseconds>(start + std::chrono::milliseconds(s.ms) -
                                                                              std::chrono::steady_clock::now()))) break;
        switch (s.what) {
            case Do::StallUp: proxy.Stall(true, true); break;
            case Do::Unstall: proxy.Stall(false); break;
            case Do::Cut: proxy.Cut(); break;
            case Do::Reset: proxy.Cut(true); break;
            case Do::Throttle: proxy.Throttle(s.bps); break;
            case Do::Refuse: proxy.SetTarget(0), proxy.Cut(); break;
            case Do::Accept: proxy.SetTarget(nginxPort); break;
            case Do::StopServer: nginx.stop(); break;
            case Do::StartServer: EXPECT_TRUE(nginx.start(&error)) << error; break;
            case Do::Term: writer.signal(SIGTERM), termAt = since(); break;
        }
    }
    const auto code = writer.wait(termAt < 0 ? 120s : 2s);
    const double took = since();
    EXPECT_EQ(code, r.code);
    // 9-20 MB seen; a sanitizer's shadow memory and quarantine set their own bound.
    const char* bound = std::getenv("QV_FAULT_RSS_MB");
    EXPECT_LT(writer.maxRssKb(), (bound ? std::atol(bound) : 32) * 1024);
    std::ostringstream out;
    out << r.name << ": exit " << (code ? *code : writer.stop(SIGKILL, 1s)) << " after " << took << " s"
        << (termAt < 0 ? "" : ", " + std::to_string(took - termAt) + " s after SIGTERM") << ", peak RSS "
        << writer.maxRssKb() / 1024 << " MB, stderr \"" << qvtest::readFile(err).value_or("") << "\"\n";
    if (r.segments) {
        EXPECT_TRUE(nginx.waitPublishing("live", r.name, false, 10s));
        const auto files = nginx.recordFiles(r.name);
        EXPECT_EQ(files.size(), static_cast<size_t>(r.segments));
        std::vector<std::string> check{"--segments"};
        check.insert(check.end(), files.begin(), files.end());
        check.insert(check.end(), {"--video", Fixture(r.video + ".h264"), "--audio", Fixture(r.audio + ".aac"), "--lost",
                                   std::to_string(r.lost)});
        for (const char* g : {"--max-gap-video", "--max-gap-audio"})
            if (r.gap) check.insert(check.end(), {g, std::to_string(r.gap)});
        const auto [checked, verdict] = qvtest::checkRecording(check, 300s);
        EXPECT_EQ(checked, 0);
        out << files.size() << " segments\n" << verdict;
    }
    report = out.str();
}

// The 20 s stalls outlast the send time-out: they end in a reconnection. The shorter faults are
// ridden out: a stall or a slow link costs nothing in wait mode and only droppable pictures in
// drop mode. A connection lost costs what was in flight, the outage and the wait for a key frame.
TEST(FaultSuite, EveryScenarioRecordsCleanSegmentsWithOnlyTheLossItsFaultCosts) {
    std::vector<Row> rows{
        {"restart", {kNever}, {{6000, Do::StopServer}, {8000, Do::StartServer}}, 0, 2, 8},
        {"clean", {}, {}, 0, 1, 0},
        {"cut_fin", {}, {{8000, Do::Cut}}, 0, 2, 2.5},
        {"rst_x3", {}, {{6000, Do::Reset}, {13000, Do::Reset}, {20000, Do::Reset}}, 0, 4, 7.5},
        {"stall5_drop", {}, {{6000, Do::StallUp}, {11000, Do::Unstall}}, 0, 1, 7, 7000},
        {"stall5_wait", {kWait}, {{6000, Do::StallUp}, {11000, Do::Unstall}}, 0, 1, 0},
        {"stall20_drop", {}, {{5000, Do::StallUp}, {25000, Do::Unstall}}, 0, 2, 24, 9000},
        {"stall20_wait", {kWait}, {{5000, Do::StallUp}, {25000, Do::Unstall}}, 0, 2, 24},
        {"half_drop", {}, {{4000, Do::Throttle, kHalf}, {24000, Do::Throttle}}, 0, 1, 11, 2000},
        {"quarter_drop", {}, {{4000, Do::Throttle, kQuarter}, {14000, Do::Throttle}}, 0, 1, 10, 2000},
        {"half_wait", {kWait}, {{4000, Do::Throttle, kHalf}, {12000, Do::Throttle}}, 0, 1, 0},
        {"quarter_wait", {kWait}, {{4000, Do::Throttle, kQuarter}, {10000, Do::Throttle}}, 0, 1, 0},
        {"late", {kLate, kNever}, {{4000, Do::StartServer}}, 0, 1, 6.5, 0, Server::Late},
        {"refused", {kLate, kNever}, {{4000, Do::Accept}}, 0, 1, 6.5, 0, Server::Refusing},
        {"badname", {}, {}, 4, 0, 0, 0, Server::BadName, "bigkey", "aac10"},
        {"ends_reconnecting", {kNever}, {{25000, Do::Refuse}}, 6, 1, 8},
        {"bigkey_stall", {}, {{1200, Do::StallUp}, {4200, Do::Unstall}}, 0, 1, 5, 5000, Server::Proxied, "bigkey", "aac10"},
        {"term_unreachable", {kLate}, {{3000, Do::Term}}, 128 + SIGTERM, 0, 0, 0, Server::Blackhole, "bigkey", "aac10"},
    };
    // A sanitizer build runs the rows named here (comma-separated) with its own rtmpwriter.
    if (const char* only = std::getenv("QV_FAULT_ROWS"))
        std::erase_if(rows, [&](const Row& r) { return std::string(",").append(only).append(",").find("," + r.name + ",") == std::string::npos; });
    qvtest::TempDir dir("qv-faults");
    ASSERT_TRUE(dir.ok());
    ::setenv("QV_SETTINGS_USER", dir.file("user.json").c_str(), 1);
    ::setenv("QV_SETTINGS_MACHINE", dir.file("machine.json").c_str(), 1);
    std::vector<std::string> reports(rows.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < rows.size(); ++i) threads.emplace_back([&, i] { RunRow(rows[i], dir, reports[i]); });
    for (auto& t : threads) t.join();
    for (const auto& r : reports) std::cout << r;
}

}  // namespace
