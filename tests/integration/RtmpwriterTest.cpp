// rtmpwriter end to end: fixtures and a live encoder published to a private nginx and the
// recordings judged by ffprobe; control lines, connect arguments and SIGINT on the fake server's
// wire; starting before the server exists; the settings and registration commands; exit codes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iostream>
#include <memory>
#include <tuple>
#include <thread>

#include "../sink/FaultProxy.h"
#include "TestServers.h"

using namespace std::chrono_literals;
using qvtest::ChildProcess;

namespace {

std::string Fixture(const std::string& name) { return std::string(QV_FIXTURE_DIR) + "/" + name; }

struct Recording {
    Json::Value video, audio, format;
    std::vector<Json::Value> videoPackets, audioPackets;
};

std::optional<Recording> Probe(const std::string& path) {
    std::string error;
    auto j = qvtest::ffprobeJson(path, {"-show_format", "-show_streams", "-show_packets"}, 60s, &error);
    EXPECT_TRUE(j) << error;
    if (!j) return std::nullopt;
    Recording r;
    r.format = (*j)["format"];
    for (const auto& s : (*j)["streams"]) (s["codec_type"] == "video" ? r.video : r.audio) = s;
    for (const auto& p : (*j)["packets"]) (p["codec_type"] == "video" ? r.videoPackets : r.audioPackets).push_back(p);
    for (const auto* packets : {&r.videoPackets, &r.audioPackets})
        for (size_t i = 1; i < packets->size(); ++i)
            EXPECT_GT((*packets)[i]["dts"].asInt64(), (*packets)[i - 1]["dts"].asInt64()) << path << " packet " << i;
    return r;
}

class Rtmpwriter : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string error;
        ASSERT_TRUE((nginx = std::make_unique<qvtest::NginxServer>())->start(&error)) << error;
    }
    static void TearDownTestSuite() { nginx.reset(); }
    void SetUp() override {
        ASSERT_TRUE(dir.ok());
        ::setenv("QV_SETTINGS_USER", dir.file("user.json").c_str(), 1);
        ::setenv("QV_SETTINGS_MACHINE", dir.file("machine.json").c_str(), 1);
    }
    bool Start(ChildProcess& p, std::vector<std::string> args, bool captureStdout = false) {
        args.insert(args.begin(), QV_RTMPWRITER);
        started = std::chrono::steady_clock::now();
        std::string error;
        EXPECT_TRUE(p.start({args, captureStdout, dir.file("stdout.txt"), dir.file("stderr.txt")}, &error)) << error;
        return error.empty();
    }
    int RunToEnd(std::vector<std::string> args, std::chrono::seconds bound = 60s) {
        ChildProcess p;
        if (!Start(p, std::move(args))) return -1;
        auto code = p.wait(bound);
        elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        EXPECT_TRUE(code) << "rtmpwriter did not end within " << bound.count() << " s";
        return code ? *code : p.stop(SIGKILL, 1s);
    }
    std::string Stderr() { return qvtest::readFile(dir.file("stderr.txt")).value_or(""); }
    std::string Stdout() { return qvtest::readFile(dir.file("stdout.txt")).value_or(""); }

    static inline std::unique_ptr<qvtest::NginxServer> nginx;
    qvtest::TempDir dir{"qv-rtmpwriter"};
    std::chrono::steady_clock::time_point started;
    double elapsed = 0;
};

// Encoder output of every kind, published all at once in real time (the last row a live source:
// ffmpeg writing two fifos), each recording judged against its inputs by the project's checker:
// frame counts exact, decode and presentation rules, decoded frames and field order identical.
// A clean end of the inputs exits 0, not as a lost connection.
TEST_F(Rtmpwriter, EveryKindOfEncoderOutputIsRecordedFrameForFrame) {
    struct Row {
        std::string video, audio;
        std::vector<std::string> args = {}, check = {};
        bool fifos = false;
    };
    const std::vector<Row> rows{{"rt20", "aac20"}, {"x264def", "aac48s"}, {"nob", "aac48s"}, {"opengop", "aac48s"},
                                {"irefresh", "aac48s"}, {"high_bpyr", "aac48s"}, {"paff", "aac48s2"}, {"slices4", "aac48s2"},
                                {"mbaff", "aac48s2", {"--keep-sei"}, {"--sei"}}, {"cavlc", "aac48s2"}, {"hd60", "aac48s2"},
                                {"untimed", "aac48s", {"--fps", "30"}, {"--fps", "30"}}, {"ppschange", "aac48s"},
                                {"baseline", "aac48s", {}, {}, true}};
    std::vector<std::unique_ptr<ChildProcess>> writers;
    ChildProcess ffmpeg;
    started = std::chrono::steady_clock::now();
    for (const Row& r : rows) {
        std::vector<std::string> in{Fixture(r.video + ".h264"), Fixture(r.audio + ".aac")};
        if (r.fifos) {
            const std::string v = dir.file("v.h264"), a = dir.file("a.aac");
            ASSERT_EQ(::mkfifo(v.c_str(), 0600) | ::mkfifo(a.c_str(), 0600), 0);
            ASSERT_TRUE(ffmpeg.start({{"ffmpeg", "-nostdin", "-loglevel", "error", "-re", "-i", in[0], "-re", "-i", in[1], "-map",
                                       "0:v", "-c", "copy", "-f", "h264", "-y", v, "-map", "1:a", "-c", "copy", "-f", "adts", "-y", a},
                                      false, {}, dir.file("ffmpeg.txt")}));
            in = {v, a};
        }
        std::vector<std::string> args{QV_RTMPWRITER, nginx->url(r.video), "--video", in[0], "--audio", in[1]};
        args.insert(args.end(), r.args.begin(), r.args.end());
        writers.push_back(std::make_unique<ChildProcess>());
        ASSERT_TRUE(writers.back()->start({args, false, {}, dir.file(r.video + ".err")}));
    }
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& r = rows[i];
        SCOPED_TRACE(r.video);
        EXPECT_EQ(writers[i]->wait(90s), 0);
        // Paced: never ahead of the media (20 s of it). How much later it ends depends on the load.
        if (i == 0) { EXPECT_GE(std::chrono::steady_clock::now() - started, 19500ms); }
        EXPECT_EQ(qvtest::readFile(dir.file(r.video + ".err")).value_or("?"), "");
        EXPECT_TRUE(nginx->waitPublishing("live", r.video, false, 10s));
        std::vector<std::string> check{nginx->recordFile(r.video), "--video", Fixture(r.video + ".h264"), "--audio",
                                       Fixture(r.audio + ".aac")};
        check.insert(check.end(), r.check.begin(), r.check.end());
        const auto [code, report] = qvtest::checkRecording(check);
        EXPECT_EQ(code, 0) << report;
        std::cout << r.video << ": " << report;
    }
    EXPECT_EQ(ffmpeg.wait(10s), 0) << qvtest::readFile(dir.file("ffmpeg.txt")).value_or("");
}

// One publication to the fake server: connect arguments, control lines, then SIGINT.
TEST_F(Rtmpwriter, ControlLinesConnectArgumentsAndSigintOnTheWire) {
    qvtest::FakeRtmpServer server;
    std::string error;
    ASSERT_TRUE(server.start({}, &error)) << error;
    const std::string fifo = dir.file("control");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ChildProcess p;
    ASSERT_TRUE(Start(p, {server.url("live", "ctl"), "--video", Fixture("rt20.h264"), "--audio", Fixture("aac20.aac"),
                          "--control", fifo, "--events", "json", "--connect-args", R"({"a":1,"b":"x"})"}));
    ASSERT_TRUE(server.waitFor([](const qvtest::FakeRtmpEntry& e) { return e.dir == "in" && e.type == 9; }, 15s))
        << Stderr();
    int fd = -1;  // ENXIO until the reader is there
    for (int i = 0; i < 50 && (fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0; ++i)
        std::this_thread::sleep_for(100ms);
    ASSERT_GE(fd, 0);
    const std::string lines = R"({"cuepoint": {"name": "ad-break", "time": 12.5, "duration": 30}})" "\n"
                              "this line is not JSON\n"
                              R"({"invoke": {"name": "onCaption", "args": {"text": "hello", "lang": "en"}}})" "\n"
                              R"({"command": {"name": "customCommand", "args": {"id": 7}}})" "\n";
    ASSERT_EQ(::write(fd, lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
    ::close(fd);
    auto sent = [&](const std::string& name) {
        return server.waitFor([&](const qvtest::FakeRtmpEntry& e) { return e.dir == "in" && e.name == name; }, 10s);
    };
    // Name, message type, members of the value after the name (AMF numbers are doubles).
    using Sent = std::tuple<std::string, int, std::vector<std::pair<std::string, Json::Value>>>;
    for (const auto& [name, type, members] : {Sent{"onCuePoint", 18, {{"name", "ad-break"}, {"time", 12.5}, {"duration", 30.0}}},
                                              Sent{"onCaption", 18, {{"text", "hello"}, {"lang", "en"}}}, Sent{"customCommand", 20, {}}}) {
        auto e = sent(name);
        ASSERT_TRUE(e) << name;
        EXPECT_EQ(e->type, type) << name;
        for (const auto& [key, value] : members) EXPECT_EQ(e->amf[1][key], value) << name << " " << e->raw;
    }
    ASSERT_TRUE(p.signal(SIGINT));
    EXPECT_EQ(p.wait(15s), 128 + SIGINT);
    EXPECT_EQ(Stderr(), "");
    EXPECT_TRUE(sent("FCUnpublish")) << "SIGINT must unpublish";
    // "connect", transaction 1, the command object, then the arguments as one more object.
    auto connect = sent("connect");
    ASSERT_TRUE(connect && connect->amf.size() == 4u) << (connect ? connect->raw : Json::Value());
    Json::Value args;
    args["a"] = 1.0, args["b"] = "x";
    EXPECT_EQ(connect->amf[3], args) << connect->raw;
    // The bad line is reported and does not stop the others.
    for (const char* want : {R"("command":"parse","event":"control","message":"line 2: not valid JSON)",
                             R"("command":"cuepoint","event":"control","result":"ok")", R"("command":"invoke","event":"control","result":"ok")"})
        EXPECT_NE(Stdout().find(want), std::string::npos) << want << "\n" << Stdout();
}

// Wait mode through a link of half the stream's rate: the readers are held, not frames dropped,
// and the end of the stream leaves before the writer closes, every frame as the input had it;
// a drain bound too short for what is still to be sent exits 7 with one line saying so.
TEST_F(Rtmpwriter, WaitModeThroughASlowLinkRecordsEveryFrameOrSaysWhatWasLeft) {
    sinktest::FaultProxy proxy(nginx->rtmpPort());
    ASSERT_TRUE(proxy.Start());
    proxy.Throttle(1500000);  // each connection, against 2.9 Mbit/s
    // The short bound's row keeps its socket's buffer small: what the link has not taken at the
    // end then stays in the writer's own buffer, where the bound sees it, instead of in a kernel
    // buffer grown large enough to hold it all.
    const std::vector<std::tuple<std::string, std::string, int, std::string>> rows{{"slow", "30000", 0, "0"},
                                                                                 {"cut", "1", 7, "8192"}};
    std::vector<std::unique_ptr<ChildProcess>> writers;
    for (const auto& [stream, drain, code, socketBuffer] : rows) {
        writers.push_back(std::make_unique<ChildProcess>());
        ASSERT_TRUE(writers.back()->start({{QV_RTMPWRITER, qvtest::rtmpUrl("127.0.0.1", proxy.Port(), "live", stream), "--video",
                                            Fixture("high720.h264"), "--audio", Fixture("aac10.aac"), "--buffer-mode", "wait",
                                            "--drain-timeout", drain, "--socket-buffer", socketBuffer},
                                           false, {}, dir.file(stream + ".err")}));
    }
    for (size_t i = 0; i < rows.size(); ++i) {
        const auto& [stream, drain, code, socketBuffer] = rows[i];
        SCOPED_TRACE(stream);
        EXPECT_EQ(writers[i]->wait(90s), code);
        const std::string err = qvtest::readFile(dir.file(stream + ".err")).value_or("?");
        const bool oneLine = err.find("--drain-timeout (1 ms)") != std::string::npos && std::ranges::count(err, '\n') == 1;
        EXPECT_TRUE(code ? oneLine : err.empty()) << err;
        if (code) continue;
        ASSERT_TRUE(nginx->waitPublishing("live", stream, false, 10s));
        const auto [checked, report] =
            qvtest::checkRecording({nginx->recordFile(stream), "--video", Fixture("high720.h264"), "--audio", Fixture("aac10.aac")});
        EXPECT_EQ(checked, 0) << report;
    }
}

TEST_F(Rtmpwriter, StartsWithoutTheServerAndPublishesWhenItComes) {
    auto port = qvtest::freeTcpPort();
    ASSERT_TRUE(port);
    ChildProcess p;
    ASSERT_TRUE(Start(p, {qvtest::rtmpUrl("127.0.0.1", *port, "live", "late"), "--video", Fixture("rt20.h264"),
                          "--start-without-connection", "--reconnect-interval", "500", "--reconnect-attempts", "-1",
                          "--events", "json"}, true));
    const auto end = std::chrono::steady_clock::now() + 60s;  // one JSON event a line, all in a bound
    const std::string reconnecting = "\"status\":\"reconnecting\"", connectedNow = "\"status\":\"connected\"";
    auto line = p.readLine(20s);
    while (line && line->find(reconnecting) == std::string::npos && std::chrono::steady_clock::now() < end) line = p.readLine(20s);
    ASSERT_TRUE(line && line->find(reconnecting) != std::string::npos) << Stderr();
    qvtest::NginxServer late({.record = true, .rtmpPort = *port});
    std::string error;
    ASSERT_TRUE(late.start(&error)) << error;
    bool connected = false;  // then the rest of the input, to its end
    for (; line && std::chrono::steady_clock::now() < end; line = p.readLine(30s)) connected |= line->find(connectedNow) != std::string::npos;
    EXPECT_EQ(p.wait(5s), 0) << Stderr();
    EXPECT_TRUE(connected);
    ASSERT_TRUE(late.waitPublishing("live", "late", false, 10s));
    auto rec = Probe(late.recordFile("late"));
    ASSERT_TRUE(rec);
    // Every picture from a key frame (every 50th of the 500) to the end. Counted, not timed: the
    // times jump after the first group of pictures (by 1.3 s seen).
    const size_t missing = 500 - std::min<size_t>(rec->videoPackets.size(), 500);
    EXPECT_TRUE(missing < 250 && missing % 50 == 0) << rec->videoPackets.size() << " pictures";
    EXPECT_EQ(rec->video["codec_name"], "h264");
    EXPECT_NE(rec->videoPackets.front()["flags"].asString().find('K'), std::string::npos);
}

// Each command: its exit code, what it prints, and on failure one line naming it. The fake
// servers ask for adobe authentication and refuse the wrong answer, or drop the connection with
// no attempt left (the bound, under the 20 s of media: it gives up instead of streaming into
// nothing); each way a server can refuse the stream has its own words. The settings land in the
// user's store, where the filter reads them.
TEST_F(Rtmpwriter, CommandsExitWithTheirCodeAndOneClearLine) {
    auto freePort = qvtest::freeTcpPort();
    ASSERT_TRUE(freePort);
    const std::string text = dir.file("notes.txt");
    ASSERT_TRUE(qvtest::writeFile(text, "these are notes, not H.264\n"));
    const std::string unreachable = qvtest::rtmpUrl("127.0.0.1", *freePort, "live", "x"), fake = "fake";
    const std::string rt20 = Fixture("rt20.h264"), none = "no filters registered", nob = Fixture("nob.h264");
    // Two 1-2 MB key frames 10 s apart, each refused by a server whose message limit is lower.
    const std::string bigkeys = dir.file("bigkeys.h264"), bigkey = qvtest::readFile(Fixture("bigkey.h264")).value_or("");
    ASSERT_TRUE(!bigkey.empty() && qvtest::writeFile(bigkeys, bigkey + bigkey));
    struct Case {
        std::vector<std::string> server, args;
        int code;
        std::string err, out = {};  // err: in the one line on stderr, none when empty; out: in stdout
        bool wholeOut = false;
        std::string absent = {};  // in neither
    };
    const std::vector<Case> cases = {
        {{}, {"http://127.0.0.1/live/x", "--video", rt20}, 2, "bad URL"},
        {{}, {"rtmp://127.0.0.1/live", "--video", rt20}, 2, "bad URL"},
        {{}, {unreachable, "--video", dir.file("missing.h264")}, 3, "No such file or directory"},
        {{}, {unreachable, "--video", text}, 3, "not an H.264"},
        {{}, {unreachable, "--video", Fixture("aac48s.aac")}, 3, "not an H.264"},
        {{}, {unreachable, "--audio", rt20}, 3, "not an ADTS"},
        {{}, {unreachable, "--video", rt20}, 4, "TCP connect failed: rtmp://127.0.0.1:" + std::to_string(*freePort) + "/live"},
        {{}, {unreachable, "--video", rt20, "--start-without-connection", "--reconnect-attempts", "1", "--reconnect-interval",
              "200", "--events", "json"}, 4, "cannot publish", "\"disconnected\"", false, "while encoding"},
        {{"--auth", "adobe", "--user", "alice", "--password", "right"},
         {fake, "--video", rt20, "--user", "alice", "--password", "wrong"}, 5, "authentication failed"},
        {{"--drop-after", "media:50", "--max-connections", "1"},
         {fake, "--video", rt20, "--reconnect-attempts", "1", "--reconnect-interval", "200"}, 6, "lost"},
        {{"--drop-after", "media:20", "--max-connections", "1"},
         {fake, "--video", nob, "--reconnect-attempts", "-1", "--reconnect-interval", "200"}, 6, "ended while reconnecting"},
        {{"--bad-name"}, {fake, "--video", rt20, "--reconnect-attempts", "1", "--reconnect-interval", "200"}, 4,
         "every publish with NetStream.Publish.BadName"},
        {{"--max-message", "500000"}, {fake, "--video", bigkeys, "--reconnect-interval", "200"}, 6,
         "key frame; its message size limit may be lower"},
        {{}, {"config", "set", "WaitDelay", "2000"}, 0, ""},  // the silent servers below answer within it
        {{"--s0-version", "6"}, {fake, "--video", rt20}, 4, "encrypted (RTMPE) handshake"},
        {{"--s0-version", "5"}, {fake, "--video", rt20}, 4, "handshake with version 5"},
        {{"--no-s2"}, {fake, "--video", rt20}, 4, "no S2 within 2000 ms"},
        {{"--create-stream-reply", "none"}, {fake, "--video", rt20}, 4, "did not answer createStream within 2000 ms"},
        {{}, {"config", "set", "SendBufferSize", "500000"}, 0, ""},
        {{}, {"config", "set", "UserAgentString", "Test/1.0"}, 0, ""},
        {{}, {"config", "get", "SendBufferSize"}, 0, "", "500000\n", true},
        {{}, {"config", "list"}, 0, "", "SendBufferSize = 500000"},
        {{}, {"config", "list"}, 0, "", "UserAgentString = \"Test/1.0\""},
        {{}, {"config", "unset", "UserAgentString"}, 0, ""},
        {{}, {"config", "get", "UserAgentString"}, 2, "UserAgentString is not set"},
        {{}, {"filters"}, 0, "", none},
        {{}, {"register"}, 0, ""},
        {{}, {"filters"}, 0, "", "{B4FB59C5-983B-4D96-9204-F8B0E46704EE}  Quorvel RTMP Network Writer  merit 0x200000"},
        {{}, {"filters"}, 0, "", "pin Video (input)\n    pin Audio (input)\n"},
        {{}, {"unregister"}, 0, ""},
        {{}, {"filters"}, 0, "", none},
    };
    for (Case c : cases) {
        SCOPED_TRACE(c.args.front() + " .. " + c.args.back());
        qvtest::FakeRtmpServer server;
        std::string error;
        if (!c.server.empty()) {
            ASSERT_TRUE(server.start({c.server}, &error)) << error;
        }
        if (c.args[0] == fake) c.args[0] = server.url("live", "x");
        EXPECT_EQ(RunToEnd(c.args, 15s), c.code);
        const std::string err = Stderr(), out = Stdout();
        if (c.err.empty()) EXPECT_EQ(err, "");
        else EXPECT_TRUE(err.rfind("rtmpwriter: ", 0) == 0 && std::count(err.begin(), err.end(), '\n') == 1 &&
                         err.find(c.err) != std::string::npos) << err;
        EXPECT_TRUE(c.wholeOut ? out == c.out : out.find(c.out) != std::string::npos) << out;
        EXPECT_TRUE(c.absent.empty() || (err + out).find(c.absent) == std::string::npos) << err << out;
    }
    const std::string store = qvtest::readFile(dir.file("user.json")).value_or("");
    EXPECT_NE(store.find("\"SendBufferSize\" : 500000"), std::string::npos) << store;  // a number
    EXPECT_EQ(store.find("UserAgentString"), std::string::npos) << store;
}

}  // namespace
