// rtmpwriter end to end: the fixtures published to a private nginx and its recording checked
// with ffprobe (codecs, frame counts, duration, timestamps, real-time pacing); a live encoder
// writing two FIFOs; SIGINT and the unpublish that must reach the server; starting before the
// server exists; the control channel seen on the wire by the fake server; and the one-line
// errors with their exit codes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestServers.h"

using namespace std::chrono_literals;
using qvtest::ChildProcess;

namespace {

std::string Fixture(const std::string& name) { return std::string(QV_FIXTURE_DIR) + "/" + name; }

int CountLines(const std::string& path) {
    std::ifstream f(path);
    int n = 0;
    for (std::string line; std::getline(f, line);)
        if (!line.empty()) ++n;
    return n;
}

// Presentation times of the encoder's packets in decoding order, in ms.
std::vector<int64_t> FixturePts(const std::string& csv) {
    std::ifstream f(csv);
    std::vector<int64_t> pts;
    for (std::string line; std::getline(f, line);)
        if (!line.empty()) pts.push_back(std::llround(std::stod(line.substr(0, line.find(','))) * 1000.0));
    return pts;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (!l.empty()) out.push_back(l);
    return out;
}

class Rtmpwriter : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.ok());
        // A private settings store for the program and the module it loads.
        ::setenv("QV_SETTINGS_USER", dir.file("user.json").c_str(), 1);
        ::setenv("QV_SETTINGS_MACHINE", dir.file("machine.json").c_str(), 1);
    }

    // Starts rtmpwriter with `args`; stdout and stderr go to files in the test's directory.
    bool Start(ChildProcess& p, std::vector<std::string> args) {
        args.insert(args.begin(), QV_RTMPWRITER);
        ChildProcess::Options o;
        o.argv = args;
        o.stdoutFile = dir.file("stdout.txt");
        o.stderrFile = dir.file("stderr.txt");
        started = std::chrono::steady_clock::now();
        std::string error;
        const bool ok = p.start(o, &error);
        EXPECT_TRUE(ok) << error;
        return ok;
    }
    // Runs it to the end (bounded); the exit status.
    int RunToEnd(std::vector<std::string> args, std::chrono::seconds bound = 60s) {
        ChildProcess p;
        if (!Start(p, std::move(args))) return -1;
        auto code = p.wait(bound);
        elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        EXPECT_TRUE(code) << "rtmpwriter did not end";
        if (!code) return p.stop(SIGKILL, 1s);
        return *code;
    }
    std::string Stderr() { return qvtest::readFile(dir.file("stderr.txt")).value_or(""); }
    // Waits (bounded) until the program's standard output so far satisfies pred. The output is a
    // file another process appends to, so it is read again every 100 ms.
    template <class Pred>
    bool WaitForStdout(Pred pred, std::chrono::seconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (pred(Stdout())) return true;
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(100ms);
        }
    }
    std::string Stdout() { return qvtest::readFile(dir.file("stdout.txt")).value_or(""); }

    // The recording per ffprobe with its packets; the streams by type.
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
        for (const auto& p : (*j)["packets"])
            (p["codec_type"] == "video" ? r.videoPackets : r.audioPackets).push_back(p);
        return r;
    }

    static void ExpectMonotonic(const std::vector<Json::Value>& packets, const char* what) {
        for (size_t i = 1; i < packets.size(); ++i)
            ASSERT_GE(packets[i]["dts"].asInt64(), packets[i - 1]["dts"].asInt64()) << what << " packet " << i;
    }

    qvtest::TempDir dir{"qv-rtmpwriter"};
    std::chrono::steady_clock::time_point started;
    double elapsed = 0;
};

TEST_F(Rtmpwriter, PublishesTheFixturesInRealTimeAndTheRecordingMatches) {
    qvtest::NginxServer nginx;
    std::string error;
    ASSERT_TRUE(nginx.start(&error)) << error;
    const int code = RunToEnd({nginx.url("rt20"), "--video", Fixture("rt20.h264"), "--audio", Fixture("aac20.aac")});
    EXPECT_EQ(code, 0) << Stderr();
    EXPECT_EQ(Stderr(), "");
    // Paced to real time: 20 s of media take 20 s, give or take a second for connect and close.
    EXPECT_NEAR(elapsed, 20.0, 1.0);
    RecordProperty("wall_seconds", std::to_string(elapsed));
    ASSERT_TRUE(nginx.waitPublishing("live", "rt20", false, 10s));
    nginx.stop();  // the recorder closes its file

    auto rec = Probe(nginx.recordFile("rt20"));
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->video["codec_name"], "h264");
    EXPECT_EQ(rec->video["profile"], "Main");
    EXPECT_EQ(rec->video["width"], 320);
    EXPECT_EQ(rec->video["height"], 240);
    EXPECT_EQ(rec->audio["codec_name"], "aac");
    EXPECT_EQ(rec->audio["sample_rate"], "48000");
    EXPECT_EQ(rec->audio["channels"], 2);
    const int videoSent = CountLines(Fixture("rt20.packets.csv"));
    const int audioSent = CountLines(Fixture("aac20.packets.csv"));
    ASSERT_EQ(videoSent, 500);
    // B pictures still waiting for reordering when the stream ends are not sent.
    EXPECT_LE(static_cast<int>(rec->videoPackets.size()), videoSent);
    EXPECT_GE(static_cast<int>(rec->videoPackets.size()), videoSent - 2);
    EXPECT_EQ(static_cast<int>(rec->audioPackets.size()), audioSent);
    EXPECT_NEAR(std::stod(rec->format["duration"].asString()), 20.0, 0.5);
    ExpectMonotonic(rec->videoPackets, "video");
    ExpectMonotonic(rec->audioPackets, "audio");
    // Every picture at its own time, also the last ones that the parser held until the input
    // ended: in presentation order the recording is the encoder's pictures (40 ms apart) with
    // at most the B pictures of the last few left out, none shown twice or at a time of its own.
    std::vector<int64_t> pts, want = FixturePts(Fixture("rt20.packets.csv"));
    for (const auto& p : rec->videoPackets) pts.push_back(p["pts"].asInt64());
    std::sort(pts.begin(), pts.end());
    std::sort(want.begin(), want.end());
    ASSERT_FALSE(pts.empty());
    for (size_t i = 1; i < want.size(); ++i) ASSERT_EQ(want[i] - want[i - 1], 40) << "fixture picture " << i;
    size_t k = 0;
    for (size_t i = 0; i < pts.size(); ++i, ++k) {
        while (k < want.size() && want[k] - want[0] != pts[i] - pts[0]) {
            EXPECT_GE(k + 4, want.size()) << "picture at " << want[k] - want[0] << " ms missing before the end";
            ++k;
        }
        ASSERT_LT(k, want.size()) << "recorded picture " << i << " at " << pts[i] - pts[0] << " ms is not the encoder's";
    }
}

TEST_F(Rtmpwriter, BPyramidPicturesKeepTheEncodersPresentationTimes) {
    qvtest::NginxServer nginx;
    std::string error;
    ASSERT_TRUE(nginx.start(&error)) << error;
    EXPECT_EQ(RunToEnd({nginx.url("bpyr"), "--video", Fixture("high_bpyr.h264")}), 0) << Stderr();
    ASSERT_TRUE(nginx.waitPublishing("live", "bpyr", false, 10s));
    nginx.stop();
    auto rec = Probe(nginx.recordFile("bpyr"));
    ASSERT_TRUE(rec);
    const std::vector<int64_t> source = FixturePts(Fixture("high_bpyr.packets.csv"));
    ASSERT_EQ(source.size(), 75u);
    ASSERT_GE(rec->videoPackets.size(), source.size() - 4);
    ASSERT_LE(rec->videoPackets.size(), source.size());
    // Decoding order kept, and each picture shown when the encoder meant it to be. Only B
    // pictures still held for reordering at the end may be missing, so the recording is the
    // encoder's sequence with a few of its last pictures left out.
    const int64_t base = rec->videoPackets[0]["pts"].asInt64();
    size_t k = 0;
    for (size_t i = 0; i < rec->videoPackets.size(); ++i, ++k) {
        const int64_t want = rec->videoPackets[i]["pts"].asInt64() - base;
        while (k < source.size() && source[k] - source[0] != want) {
            EXPECT_GE(k + 8, source.size()) << "picture " << k << " missing before the end";
            ++k;
        }
        ASSERT_LT(k, source.size()) << "recorded picture " << i << " at " << want << " ms is not the encoder's";
    }
    ExpectMonotonic(rec->videoPackets, "video");
}

TEST_F(Rtmpwriter, PublishesALiveEncoderWritingTwoFifos) {
    qvtest::NginxServer nginx;
    std::string error;
    ASSERT_TRUE(nginx.start(&error)) << error;
    const std::string v = dir.file("v.h264"), a = dir.file("a.aac");
    ASSERT_EQ(::mkfifo(v.c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(a.c_str(), 0600), 0);
    ChildProcess writer;
    ASSERT_TRUE(Start(writer, {nginx.url("fifo"), "--video", v, "--audio", a}));
    ChildProcess ffmpeg;
    ChildProcess::Options o;
    o.argv = {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-re",
              "-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=20",
              "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=20",
              "-map", "0:v", "-c:v", "libx264", "-preset", "veryfast", "-tune", "zerolatency", "-g", "25",
              "-pix_fmt", "yuv420p", "-f", "h264", "-y", v,
              "-map", "1:a", "-c:a", "aac", "-b:a", "96k", "-f", "adts", "-y", a};
    o.stderrFile = dir.file("ffmpeg.txt");
    ASSERT_TRUE(ffmpeg.start(o, &error)) << error;
    EXPECT_TRUE(nginx.waitPublishing("live", "fifo", true, 15s));
    auto ff = ffmpeg.wait(60s);
    ASSERT_TRUE(ff);
    EXPECT_EQ(*ff, 0) << qvtest::readFile(dir.file("ffmpeg.txt")).value_or("");
    auto code = writer.wait(30s);
    ASSERT_TRUE(code);
    EXPECT_EQ(*code, 0) << Stderr();
    ASSERT_TRUE(nginx.waitPublishing("live", "fifo", false, 10s));
    nginx.stop();
    auto rec = Probe(nginx.recordFile("fifo"));
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->video["codec_name"], "h264");
    EXPECT_EQ(rec->audio["sample_rate"], "44100");
    EXPECT_GE(rec->videoPackets.size(), 490u);
    EXPECT_LE(rec->videoPackets.size(), 500u);
    EXPECT_NEAR(static_cast<double>(rec->audioPackets.size()), 20.0 * 44100 / 1024, 4.0);
    EXPECT_NEAR(std::stod(rec->format["duration"].asString()), 20.0, 0.6);
    ExpectMonotonic(rec->videoPackets, "video");
    ExpectMonotonic(rec->audioPackets, "audio");
}

TEST_F(Rtmpwriter, SigintUnpublishesBeforeExiting) {
    qvtest::FakeRtmpServer server;
    std::string error;
    ASSERT_TRUE(server.start({}, &error)) << error;
    ChildProcess p;
    ASSERT_TRUE(Start(p, {server.url("live", "sig"), "--video", Fixture("rt20.h264"), "--audio", Fixture("aac20.aac")}));
    // Interrupt once media flows.
    ASSERT_TRUE(server.waitFor([](const qvtest::FakeRtmpEntry& e) { return e.dir == "in" && e.type == 9; }, 15s));
    ASSERT_TRUE(p.signal(SIGINT));
    auto code = p.wait(15s);
    ASSERT_TRUE(code);
    EXPECT_EQ(*code, 128 + SIGINT);
    EXPECT_EQ(Stderr(), "");
    const auto record = server.record();
    const auto names = qvtest::FakeRtmpServer::commandNames(record);
    EXPECT_NE(std::find(names.begin(), names.end(), "FCUnpublish"), names.end());
    // Nothing after the interrupt took long: well before the 20 s of input.
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(), 15.0);
}

TEST_F(Rtmpwriter, ALostConnectionWithNoAttemptLeftEndsWithItsOwnCode) {
    // The server drops the connection after 50 media messages and takes no other.
    qvtest::FakeRtmpServer server;
    std::string error;
    qvtest::FakeRtmpOptions o;
    o.args = {"--drop-after", "media:50", "--max-connections", "1"};
    ASSERT_TRUE(server.start(o, &error)) << error;
    EXPECT_EQ(RunToEnd({server.url("live", "lost"), "--video", Fixture("rt20.h264"), "--reconnect-attempts", "1",
                        "--reconnect-interval", "200"}, 30s),
              6);
    const auto lines = Lines(Stderr());
    ASSERT_EQ(lines.size(), 1u) << Stderr();
    EXPECT_NE(lines[0].find("lost"), std::string::npos) << lines[0];
    EXPECT_LT(elapsed, 15.0);  // it gave up instead of streaming the 20 s into nothing
}

TEST_F(Rtmpwriter, StartsWithoutTheServerAndPublishesWhenItComes) {
    auto port = qvtest::freeTcpPort();
    ASSERT_TRUE(port);
    const std::string url = qvtest::rtmpUrl("127.0.0.1", *port, "live", "late");
    ChildProcess p;
    ASSERT_TRUE(Start(p, {url, "--video", Fixture("rt20.h264"), "--start-without-connection", "--reconnect-interval",
                          "500", "--reconnect-attempts", "-1", "--events", "json"}));
    // The server comes 5 s later, on the port the program keeps trying.
    std::this_thread::sleep_for(5s);
    qvtest::TempDir ndir("qv-nginx-late");
    ASSERT_TRUE(::mkdir(ndir.file("rec").c_str(), 0755) == 0 && ::mkdir(ndir.file("tmp").c_str(), 0755) == 0);
    std::string conf = "load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;\ndaemon off;\nmaster_process off;\n";
    if (::getuid() == 0) conf += "user root;\n";
    conf += "pid " + ndir.file("nginx.pid") + ";\nerror_log " + ndir.file("error.log") + " info;\n";
    conf += "events { worker_connections 64; }\nrtmp { server { listen 127.0.0.1:" + std::to_string(*port) +
            "; application live { live on; record all; record_path " + ndir.file("rec") +
            "; record_unique off; record_suffix .flv; } } }\n";
    ASSERT_TRUE(qvtest::writeFile(ndir.file("nginx.conf"), conf));
    ChildProcess nginx;
    ChildProcess::Options o;
    o.argv = {"nginx", "-c", ndir.file("nginx.conf"), "-p", ndir.path() + "/", "-e", ndir.file("error.log")};
    std::string error;
    ASSERT_TRUE(nginx.start(o, &error)) << error;
    // Connected, and then pictures flowing again: a statistics event after the connected
    // status that counts video messages (they resume at the next key frame, one every 2 s).
    const std::string recording = ndir.file("rec/late.flv");
    ASSERT_TRUE(WaitForStdout(
        [](const std::string& out) {
            const size_t connected = out.find("\"status\":\"connected\"");
            if (connected == std::string::npos) return false;
            int64_t video = 0;
            for (const std::string& line : Lines(out.substr(connected))) {
                Json::Value v;
                std::istringstream in(line);
                if (Json::parseFromStream(Json::CharReaderBuilder(), in, &v, nullptr) && v.isObject() &&
                    v["event"] == "statistics")
                    video += v["videoMessagesSent"].asInt64();
            }
            return video >= 20;
        },
        20s))
        << Stdout() << Stderr();
    ASSERT_TRUE(p.signal(SIGINT));
    auto code = p.wait(15s);
    nginx.stop(SIGQUIT, 5s);
    ASSERT_TRUE(code);
    EXPECT_EQ(*code, 128 + SIGINT) << Stderr();
    // Reconnecting first, then connected.
    const std::string out = Stdout();
    const size_t reconnecting = out.find("\"status\":\"reconnecting\"");
    ASSERT_NE(reconnecting, std::string::npos) << out;
    EXPECT_LT(reconnecting, out.find("\"status\":\"connected\""));
    auto rec = Probe(recording);
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->video["codec_name"], "h264");
    EXPECT_GE(rec->videoPackets.size(), 10u);
}

TEST_F(Rtmpwriter, ControlLinesReachTheServerWhileStreaming) {
    qvtest::FakeRtmpServer server;
    std::string error;
    ASSERT_TRUE(server.start({}, &error)) << error;
    const std::string fifo = dir.file("control");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ChildProcess p;
    ASSERT_TRUE(Start(p, {server.url("live", "ctl"), "--video", Fixture("rt20.h264"), "--control", fifo, "--events", "json"}));
    ASSERT_TRUE(server.waitFor([](const qvtest::FakeRtmpEntry& e) { return e.dir == "in" && e.type == 9; }, 15s));
    int fd = -1;
    for (int i = 0; i < 50 && fd < 0; ++i) {
        fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);  // ENXIO until the reader is there
        if (fd < 0) std::this_thread::sleep_for(100ms);
    }
    ASSERT_GE(fd, 0);
    const std::string lines =
        "{\"cuepoint\": {\"name\": \"ad-break\", \"time\": 12.5, \"duration\": 30}}\n"
        "this line is not JSON\n"
        "{\"invoke\": {\"name\": \"onCaption\", \"args\": {\"text\": \"hello\", \"lang\": \"en\"}}}\n"
        "{\"command\": {\"name\": \"customCommand\", \"args\": {\"id\": 7}}}\n";
    ASSERT_EQ(::write(fd, lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
    ::close(fd);

    auto cue = server.waitFor([](const qvtest::FakeRtmpEntry& e) { return e.dir == "in" && e.name == "onCuePoint"; }, 10s);
    ASSERT_TRUE(cue);
    EXPECT_EQ(cue->type, 18);
    ASSERT_GE(cue->amf.size(), 2u) << cue->raw;
    EXPECT_EQ(cue->amf[1]["name"].asString(), "ad-break") << cue->raw;
    EXPECT_EQ(cue->amf[1]["time"].asDouble(), 12.5);
    EXPECT_EQ(cue->amf[1]["duration"].asDouble(), 30.0);
    auto invoke = server.waitFor([](const qvtest::FakeRtmpEntry& e) { return e.dir == "in" && e.name == "onCaption"; }, 10s);
    ASSERT_TRUE(invoke);
    EXPECT_EQ(invoke->type, 18);
    ASSERT_GE(invoke->amf.size(), 2u) << invoke->raw;
    EXPECT_EQ(invoke->amf[1]["text"].asString(), "hello") << invoke->raw;
    EXPECT_EQ(invoke->amf[1]["lang"].asString(), "en");
    auto command = server.waitFor([](const qvtest::FakeRtmpEntry& e) { return e.dir == "in" && e.name == "customCommand"; }, 10s);
    ASSERT_TRUE(command);
    EXPECT_EQ(command->type, 20);

    ASSERT_TRUE(p.signal(SIGINT));
    ASSERT_TRUE(p.wait(15s));
    // The bad line was reported and did not stop the others.
    const std::string out = Stdout();
    EXPECT_NE(out.find("\"command\":\"parse\",\"event\":\"control\",\"message\":\"line 2: not valid JSON"), std::string::npos) << out;
    EXPECT_NE(out.find("\"command\":\"cuepoint\",\"event\":\"control\",\"result\":\"ok\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"command\":\"invoke\",\"event\":\"control\",\"result\":\"ok\""), std::string::npos) << out;
}

TEST_F(Rtmpwriter, ConfigAndRegistrationUseTheSettingsStores) {
    EXPECT_EQ(RunToEnd({"config", "set", "SendBufferSize", "500000"}), 0) << Stderr();
    EXPECT_EQ(RunToEnd({"config", "set", "UserAgentString", "Test/1.0"}), 0) << Stderr();
    EXPECT_EQ(RunToEnd({"config", "get", "SendBufferSize"}), 0);
    EXPECT_EQ(Stdout(), "500000\n");
    EXPECT_EQ(RunToEnd({"config", "list"}), 0);
    EXPECT_NE(Stdout().find("SendBufferSize = 500000"), std::string::npos) << Stdout();
    EXPECT_NE(Stdout().find("UserAgentString = \"Test/1.0\""), std::string::npos) << Stdout();
    // What the filter reads: the value is in the user's store, as a number.
    auto user = qvtest::readFile(dir.file("user.json"));
    ASSERT_TRUE(user);
    EXPECT_NE(user->find("\"SendBufferSize\" : 500000"), std::string::npos) << *user;
    EXPECT_EQ(RunToEnd({"config", "unset", "SendBufferSize"}), 0);
    EXPECT_EQ(RunToEnd({"config", "get", "SendBufferSize"}), 2);
    EXPECT_EQ(Lines(Stderr()).size(), 1u);

    EXPECT_EQ(RunToEnd({"filters"}), 0);
    EXPECT_NE(Stdout().find("no filters registered"), std::string::npos);
    EXPECT_EQ(RunToEnd({"register"}), 0) << Stderr();
    EXPECT_EQ(Stderr(), "");  // the module's load messages stay out of the way
    EXPECT_EQ(RunToEnd({"filters"}), 0);
    EXPECT_NE(Stdout().find("{B4FB59C5-983B-4D96-9204-F8B0E46704EE}  Quorvel RTMP Network Writer  merit 0x200000"),
              std::string::npos)
        << Stdout();
    EXPECT_NE(Stdout().find("pin Video (input)"), std::string::npos);
    EXPECT_NE(Stdout().find("pin Audio (input)"), std::string::npos);
    EXPECT_EQ(RunToEnd({"unregister"}), 0);
    EXPECT_EQ(RunToEnd({"filters"}), 0);
    EXPECT_NE(Stdout().find("no filters registered"), std::string::npos);
}

TEST_F(Rtmpwriter, ErrorsGiveOneClearLineAndTheirExitCode) {
    auto freePort = qvtest::freeTcpPort();
    ASSERT_TRUE(freePort);
    const std::string text = dir.file("notes.txt");
    ASSERT_TRUE(qvtest::writeFile(text, "these are notes, not H.264\n"));
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string says;
    };
    const std::string unreachable = qvtest::rtmpUrl("127.0.0.1", *freePort, "live", "x");
    const std::vector<Case> cases = {
        {{"http://127.0.0.1/live/x", "--video", Fixture("rt20.h264")}, 2, "bad URL"},
        {{"rtmp://127.0.0.1/live", "--video", Fixture("rt20.h264")}, 2, "bad URL"},
        {{unreachable, "--video", dir.file("missing.h264")}, 3, "No such file or directory"},
        {{unreachable, "--video", text}, 3, "not an H.264"},
        {{unreachable, "--video", Fixture("aac48s.aac")}, 3, "not an H.264"},
        {{unreachable, "--audio", Fixture("rt20.h264")}, 3, "not an ADTS"},
        {{unreachable, "--video", Fixture("rt20.h264")}, 4, "cannot publish"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(RunToEnd(c.args, 30s), c.code) << c.args[0] << " " << c.args[2];
        const auto lines = Lines(Stderr());
        ASSERT_EQ(lines.size(), 1u) << Stderr();
        EXPECT_EQ(lines[0].rfind("rtmpwriter: ", 0), 0u) << lines[0];
        EXPECT_NE(lines[0].find(c.says), std::string::npos) << lines[0];
    }

    // A wrong password: the server asks for adobe authentication and refuses the answer.
    qvtest::FakeRtmpServer server;
    std::string error;
    qvtest::FakeRtmpOptions o;
    o.args = {"--auth", "adobe", "--user", "alice", "--password", "right"};
    ASSERT_TRUE(server.start(o, &error)) << error;
    EXPECT_EQ(RunToEnd({server.url("live", "x"), "--video", Fixture("rt20.h264"), "--user", "alice", "--password", "wrong"}, 60s), 5);
    const auto lines = Lines(Stderr());
    ASSERT_EQ(lines.size(), 1u) << Stderr();
    EXPECT_NE(lines[0].find("authentication failed"), std::string::npos) << lines[0];
}


TEST_F(Rtmpwriter, ConnectArgumentsFollowTheConnectObject) {
    qvtest::FakeRtmpServer server;
    std::string error;
    ASSERT_TRUE(server.start({}, &error)) << error;
    ChildProcess p;
    ASSERT_TRUE(Start(p, {server.url("live", "args"), "--video", Fixture("rt20.h264"), "--connect-args",
                          R"({"a":1,"b":"x"})"}));
    // Pictures flowing show the server took the connect with the extra object and publishing went on.
    ASSERT_TRUE(server.waitFor([](const qvtest::FakeRtmpEntry& e) { return e.dir == "in" && e.type == 9; }, 15s))
        << Stderr();
    ASSERT_TRUE(p.signal(SIGINT));
    ASSERT_TRUE(p.wait(15s));
    EXPECT_EQ(Stderr(), "");
    const auto record = server.record();
    const auto connect = std::find_if(record.begin(), record.end(), [](const qvtest::FakeRtmpEntry& e) {
        return e.dir == "in" && e.name == "connect";
    });
    ASSERT_NE(connect, record.end());
    // "connect", transaction 1, the command object, then the arguments as one more object.
    ASSERT_EQ(connect->amf.size(), 4u) << connect->raw.toStyledString();
    EXPECT_EQ(connect->amf[2]["app"].asString(), "live");
    const Json::Value& extra = connect->amf[3];
    ASSERT_TRUE(extra.isObject()) << connect->raw.toStyledString();
    EXPECT_EQ(extra.size(), 2u);
    ASSERT_TRUE(extra["a"].isNumeric());
    EXPECT_EQ(extra["a"].asDouble(), 1.0);
    EXPECT_EQ(extra["b"].asString(), "x");
}

}  // namespace
