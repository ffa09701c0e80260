// rtmpwriter end to end: fixtures and a live encoder published to a private nginx and the
// recordings judged by ffprobe; the control channel, connect arguments and SIGINT on the fake
// server's wire; starting before the server exists; the exit codes.
#include <memory>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <thread>

#include "TestServers.h"

using namespace std::chrono_literals;
using qvtest::ChildProcess;

namespace {

std::string Fixture(const std::string& name) { return std::string(QV_FIXTURE_DIR) + "/" + name; }

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (!l.empty()) out.push_back(l);
    return out;
}

// The first column of a packets.csv (the encoder's presentation times, decoding order), in ms.
std::vector<int64_t> FixturePts(const std::string& csv) {
    std::vector<int64_t> pts;
    std::ifstream f(csv);
    for (std::string line; std::getline(f, line);)
        if (!line.empty()) pts.push_back(std::llround(std::stod(line.substr(0, line.find(','))) * 1000.0));
    return pts;
}

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
            EXPECT_GE((*packets)[i]["dts"].asInt64(), (*packets)[i - 1]["dts"].asInt64()) << path << " packet " << i;
    return r;
}

// Every recorded picture at one of the encoder's presentation times (relative to the first), in
// order; only B pictures still held for reordering when the input ends may be missing.
void ExpectEncoderPictures(const Recording& rec, const std::vector<int64_t>& source, size_t maxTail) {
    ASSERT_FALSE(rec.videoPackets.empty());
    ASSERT_LE(rec.videoPackets.size(), source.size());
    ASSERT_GE(rec.videoPackets.size() + maxTail, source.size());
    std::vector<int64_t> got, want(source);
    for (const auto& p : rec.videoPackets) got.push_back(p["pts"].asInt64());
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    size_t k = 0;
    for (size_t i = 0; i < got.size(); ++i, ++k) {
        while (k < want.size() && want[k] - want[0] != got[i] - got[0]) {
            EXPECT_GE(k + 2 * maxTail, want.size()) << "picture at " << want[k] - want[0] << " ms missing";
            ++k;
        }
        ASSERT_LT(k, want.size()) << "recorded picture " << i << " at " << got[i] - got[0] << " ms is not the encoder's";
    }
}

class Rtmpwriter : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        nginx = std::make_unique<qvtest::NginxServer>();
        std::string error;
        ASSERT_TRUE(nginx->start(&error)) << error;
    }
    static void TearDownTestSuite() { nginx.reset(); }
    void SetUp() override {
        ASSERT_TRUE(dir.ok());
        ::setenv("QV_SETTINGS_USER", dir.file("user.json").c_str(), 1);
        ::setenv("QV_SETTINGS_MACHINE", dir.file("machine.json").c_str(), 1);
    }
    bool Start(ChildProcess& p, std::vector<std::string> args) {
        args.insert(args.begin(), QV_RTMPWRITER);
        ChildProcess::Options o;
        o.argv = args;
        o.stdoutFile = dir.file("stdout.txt");
        o.stderrFile = dir.file("stderr.txt");
        started = std::chrono::steady_clock::now();
        std::string error;
        EXPECT_TRUE(p.start(o, &error)) << error;
        return error.empty();
    }
    int RunToEnd(std::vector<std::string> args, std::chrono::seconds bound = 60s) {
        ChildProcess p;
        if (!Start(p, std::move(args))) return -1;
        auto code = p.wait(bound);
        elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        EXPECT_TRUE(code) << "rtmpwriter did not end";
        return code ? *code : p.stop(SIGKILL, 1s);
    }
    std::string Stderr() { return qvtest::readFile(dir.file("stderr.txt")).value_or(""); }
    std::string Stdout() { return qvtest::readFile(dir.file("stdout.txt")).value_or(""); }
    // The output is a file another process appends to: read again every 100 ms, bounded.
    template <class Pred>
    bool WaitForStdout(Pred pred, std::chrono::seconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!pred(Stdout())) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(100ms);
        }
        return true;
    }
    // Published and ended: the recording of `stream` once nginx has seen the publisher go.
    std::optional<Recording> Recorded(const std::string& stream) {
        EXPECT_TRUE(nginx->waitPublishing("live", stream, false, 10s));
        return Probe(nginx->recordFile(stream));
    }

    static inline std::unique_ptr<qvtest::NginxServer> nginx;
    qvtest::TempDir dir{"qv-rtmpwriter"};
    std::chrono::steady_clock::time_point started;
    double elapsed = 0;
};

TEST_F(Rtmpwriter, PublishesTheFixturesInRealTimeAndTheRecordingMatches) {
    // A clean end of the inputs exits 0, not as a lost connection.
    EXPECT_EQ(RunToEnd({nginx->url("rt20"), "--video", Fixture("rt20.h264"), "--audio", Fixture("aac20.aac")}), 0)
        << Stderr();
    EXPECT_EQ(Stderr(), "");
    EXPECT_NEAR(elapsed, 20.0, 1.0);  // paced to real time, give or take connect and close
    auto rec = Recorded("rt20");
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->video["codec_name"], "h264");
    EXPECT_EQ(rec->video["profile"], "Main");
    EXPECT_EQ(rec->video["width"], 320);
    EXPECT_EQ(rec->video["height"], 240);
    EXPECT_EQ(rec->audio["codec_name"], "aac");
    EXPECT_EQ(rec->audio["sample_rate"], "48000");
    EXPECT_EQ(rec->audio["channels"], 2);
    EXPECT_EQ(rec->audioPackets.size(), FixturePts(Fixture("aac20.packets.csv")).size());
    EXPECT_NEAR(std::stod(rec->format["duration"].asString()), 20.0, 0.5);
    const auto source = FixturePts(Fixture("rt20.packets.csv"));
    ASSERT_EQ(source.size(), 500u);
    ExpectEncoderPictures(*rec, source, 2);
}

TEST_F(Rtmpwriter, BPyramidPicturesKeepTheEncodersPresentationTimes) {
    EXPECT_EQ(RunToEnd({nginx->url("bpyr"), "--video", Fixture("high_bpyr.h264")}), 0) << Stderr();
    auto rec = Recorded("bpyr");
    ASSERT_TRUE(rec);
    const auto source = FixturePts(Fixture("high_bpyr.packets.csv"));
    ASSERT_EQ(source.size(), 75u);
    ExpectEncoderPictures(*rec, source, 4);
}

TEST_F(Rtmpwriter, PublishesALiveEncoderWritingTwoFifos) {
    const std::string v = dir.file("v.h264"), a = dir.file("a.aac");
    ASSERT_EQ(::mkfifo(v.c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(a.c_str(), 0600), 0);
    ChildProcess writer, ffmpeg;
    ASSERT_TRUE(Start(writer, {nginx->url("fifo"), "--video", v, "--audio", a}));
    ChildProcess::Options o;
    o.argv = {"ffmpeg", "-nostdin", "-loglevel", "error", "-re", "-f", "lavfi", "-i",
              "testsrc2=size=320x240:rate=25:duration=20", "-f", "lavfi", "-i",
              "sine=frequency=440:sample_rate=44100:duration=20", "-map", "0:v", "-c:v", "libx264", "-preset",
              "veryfast", "-tune", "zerolatency", "-g", "25", "-pix_fmt", "yuv420p", "-f", "h264", "-y", v,
              "-map", "1:a", "-c:a", "aac", "-b:a", "96k", "-f", "adts", "-y", a};
    o.stderrFile = dir.file("ffmpeg.txt");
    std::string error;
    ASSERT_TRUE(ffmpeg.start(o, &error)) << error;
    EXPECT_TRUE(nginx->waitPublishing("live", "fifo", true, 15s));
    EXPECT_EQ(ffmpeg.wait(60s), 0) << qvtest::readFile(dir.file("ffmpeg.txt")).value_or("");
    EXPECT_EQ(writer.wait(30s), 0) << Stderr();
    auto rec = Recorded("fifo");
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->video["codec_name"], "h264");
    EXPECT_EQ(rec->audio["sample_rate"], "44100");
    EXPECT_EQ(rec->videoPackets.size(), 500u);  // no B pictures: every picture
    EXPECT_NEAR(static_cast<double>(rec->audioPackets.size()), 20.0 * 44100 / 1024, 4.0);
    EXPECT_NEAR(std::stod(rec->format["duration"].asString()), 20.0, 0.6);
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
    auto named = [&](const std::string& name) {
        return server.waitFor([&](const qvtest::FakeRtmpEntry& e) { return e.dir == "in" && e.name == name; }, 10s);
    };
    auto cue = named("onCuePoint");
    ASSERT_TRUE(cue);
    EXPECT_EQ(cue->type, 18);
    EXPECT_EQ(cue->amf[1]["name"].asString(), "ad-break") << cue->raw;
    EXPECT_EQ(cue->amf[1]["time"].asDouble(), 12.5);
    EXPECT_EQ(cue->amf[1]["duration"].asDouble(), 30.0);
    auto invoke = named("onCaption");
    ASSERT_TRUE(invoke);
    EXPECT_EQ(invoke->type, 18);
    EXPECT_EQ(invoke->amf[1]["text"].asString(), "hello") << invoke->raw;
    EXPECT_EQ(invoke->amf[1]["lang"].asString(), "en");
    auto command = named("customCommand");
    ASSERT_TRUE(command);
    EXPECT_EQ(command->type, 20);

    ASSERT_TRUE(p.signal(SIGINT));
    EXPECT_EQ(p.wait(15s), 128 + SIGINT);
    EXPECT_EQ(Stderr(), "");
    const auto record = server.record();
    const auto names = qvtest::FakeRtmpServer::commandNames(record);
    EXPECT_NE(std::find(names.begin(), names.end(), "FCUnpublish"), names.end()) << "SIGINT must unpublish";
    const auto connect = std::find_if(record.begin(), record.end(),
                                      [](const qvtest::FakeRtmpEntry& e) { return e.dir == "in" && e.name == "connect"; });
    ASSERT_NE(connect, record.end());
    // "connect", transaction 1, the command object, then the arguments as one more object.
    ASSERT_EQ(connect->amf.size(), 4u) << connect->raw.toStyledString();
    EXPECT_EQ(connect->amf[2]["app"].asString(), "live");
    ASSERT_TRUE(connect->amf[3].isObject()) << connect->raw.toStyledString();
    EXPECT_EQ(connect->amf[3].size(), 2u);
    EXPECT_EQ(connect->amf[3]["a"].asDouble(), 1.0);
    EXPECT_EQ(connect->amf[3]["b"].asString(), "x");
    const std::string out = Stdout();  // the bad line is reported and does not stop the others
    for (const char* want : {"\"command\":\"parse\",\"event\":\"control\",\"message\":\"line 2: not valid JSON",
                             "\"command\":\"cuepoint\",\"event\":\"control\",\"result\":\"ok\"",
                             "\"command\":\"invoke\",\"event\":\"control\",\"result\":\"ok\""})
        EXPECT_NE(out.find(want), std::string::npos) << want << "\n" << out;
}

TEST_F(Rtmpwriter, ALostConnectionWithNoAttemptLeftEndsWithItsOwnCode) {
    qvtest::FakeRtmpServer server;
    qvtest::FakeRtmpOptions o;
    o.args = {"--drop-after", "media:50", "--max-connections", "1"};
    std::string error;
    ASSERT_TRUE(server.start(o, &error)) << error;
    EXPECT_EQ(RunToEnd({server.url("live", "lost"), "--video", Fixture("rt20.h264"), "--reconnect-attempts", "1",
                        "--reconnect-interval", "200"}, 30s), 6);
    const auto lines = Lines(Stderr());
    ASSERT_EQ(lines.size(), 1u) << Stderr();
    EXPECT_NE(lines[0].find("lost"), std::string::npos) << lines[0];
    EXPECT_LT(elapsed, 15.0);  // it gave up instead of streaming the 20 s into nothing
}

TEST_F(Rtmpwriter, StartsWithoutTheServerAndPublishesWhenItComes) {
    auto port = qvtest::freeTcpPort();
    ASSERT_TRUE(port);
    ChildProcess p;
    ASSERT_TRUE(Start(p, {qvtest::rtmpUrl("127.0.0.1", *port, "live", "late"), "--video", Fixture("rt20.h264"),
                          "--start-without-connection", "--reconnect-interval", "500", "--reconnect-attempts", "-1",
                          "--events", "json"}));
    ASSERT_TRUE(WaitForStdout([](const std::string& out) { return out.find("\"status\":\"reconnecting\"") != std::string::npos; },
                              20s)) << Stdout() << Stderr();
    qvtest::NginxServer late({.record = true, .rtmpPort = *port});
    std::string error;
    ASSERT_TRUE(late.start(&error)) << error;
    // Connected, then pictures again (from the next key frame): statistics counting video.
    ASSERT_TRUE(WaitForStdout(
        [](const std::string& out) {
            const size_t connected = out.find("\"status\":\"connected\"");
            int64_t video = 0;
            for (const std::string& line : Lines(connected == std::string::npos ? "" : out.substr(connected))) {
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
    EXPECT_EQ(p.wait(15s), 128 + SIGINT) << Stderr();
    ASSERT_TRUE(late.waitPublishing("live", "late", false, 10s));
    auto rec = Probe(late.recordFile("late"));
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->video["codec_name"], "h264");
    EXPECT_GE(rec->videoPackets.size(), 10u);
    EXPECT_TRUE(rec->videoPackets.front()["flags"].asString().find('K') != std::string::npos);
}

TEST_F(Rtmpwriter, ConfigAndRegistrationUseTheSettingsStores) {
    EXPECT_EQ(RunToEnd({"config", "set", "SendBufferSize", "500000"}), 0) << Stderr();
    EXPECT_EQ(RunToEnd({"config", "set", "UserAgentString", "Test/1.0"}), 0) << Stderr();
    EXPECT_EQ(RunToEnd({"config", "get", "SendBufferSize"}), 0);
    EXPECT_EQ(Stdout(), "500000\n");
    EXPECT_EQ(RunToEnd({"config", "list"}), 0);
    EXPECT_NE(Stdout().find("SendBufferSize = 500000"), std::string::npos) << Stdout();
    EXPECT_NE(Stdout().find("UserAgentString = \"Test/1.0\""), std::string::npos) << Stdout();
    // What the filter reads: a number in the user's store.
    EXPECT_NE(qvtest::readFile(dir.file("user.json")).value_or("").find("\"SendBufferSize\" : 500000"), std::string::npos);
    EXPECT_EQ(RunToEnd({"config", "unset", "SendBufferSize"}), 0);
    EXPECT_EQ(RunToEnd({"config", "get", "SendBufferSize"}), 2);
    EXPECT_EQ(Lines(Stderr()).size(), 1u);
    const std::string none = "no filters registered";
    EXPECT_EQ(RunToEnd({"filters"}), 0);
    EXPECT_NE(Stdout().find(none), std::string::npos);
    EXPECT_EQ(RunToEnd({"register"}), 0) << Stderr();
    EXPECT_EQ(Stderr(), "");
    EXPECT_EQ(RunToEnd({"filters"}), 0);
    for (const char* want : {"{B4FB59C5-983B-4D96-9204-F8B0E46704EE}  Quorvel RTMP Network Writer  merit 0x200000",
                             "pin Video (input)", "pin Audio (input)"})
        EXPECT_NE(Stdout().find(want), std::string::npos) << Stdout();
    EXPECT_EQ(RunToEnd({"unregister"}), 0);
    EXPECT_EQ(RunToEnd({"filters"}), 0);
    EXPECT_NE(Stdout().find(none), std::string::npos);
}

TEST_F(Rtmpwriter, ErrorsGiveOneClearLineAndTheirExitCode) {
    auto freePort = qvtest::freeTcpPort();
    ASSERT_TRUE(freePort);
    const std::string text = dir.file("notes.txt");
    ASSERT_TRUE(qvtest::writeFile(text, "these are notes, not H.264\n"));
    qvtest::FakeRtmpServer server;  // asks for adobe authentication and refuses the wrong answer
    qvtest::FakeRtmpOptions o;
    o.args = {"--auth", "adobe", "--user", "alice", "--password", "right"};
    std::string error;
    ASSERT_TRUE(server.start(o, &error)) << error;
    const std::string unreachable = qvtest::rtmpUrl("127.0.0.1", *freePort, "live", "x");
    const std::string rt20 = Fixture("rt20.h264");
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string says;
    };
    const std::vector<Case> cases = {
        {{"http://127.0.0.1/live/x", "--video", rt20}, 2, "bad URL"},
        {{"rtmp://127.0.0.1/live", "--video", rt20}, 2, "bad URL"},
        {{unreachable, "--video", dir.file("missing.h264")}, 3, "No such file or directory"},
        {{unreachable, "--video", text}, 3, "not an H.264"},
        {{unreachable, "--video", Fixture("aac48s.aac")}, 3, "not an H.264"},
        {{unreachable, "--audio", rt20}, 3, "not an ADTS"},
        {{unreachable, "--video", rt20}, 4, "cannot publish"},
        {{server.url("live", "x"), "--video", rt20, "--user", "alice", "--password", "wrong"}, 5, "authentication failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[2]);
        EXPECT_EQ(RunToEnd(c.args, 60s), c.code);
        const auto lines = Lines(Stderr());
        ASSERT_EQ(lines.size(), 1u) << Stderr();
        EXPECT_EQ(lines[0].rfind("rtmpwriter: ", 0), 0u) << lines[0];
        EXPECT_NE(lines[0].find(c.says), std::string::npos) << lines[0];
    }
}

}  // namespace
