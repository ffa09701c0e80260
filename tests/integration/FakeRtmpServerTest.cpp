// The fake RTMP server against an independent client (ffmpeg): plain publish, the adobe and llnw
// challenge exchanges, a refused password, and what the record says about each.
#include <gtest/gtest.h>

#include <algorithm>

#include "TestServers.h"

namespace qvtest {
namespace {

using namespace std::chrono_literals;

struct PublishRun {
    std::optional<int> ffmpegStatus;
    std::optional<int> serverStatus;
    std::vector<FakeRtmpEntry> record;
    std::string ffmpegLog;
};

// Publishes one second of video with ffmpeg to the fake server and collects everything.
PublishRun publishWithFfmpeg(FakeRtmpServer& server, const std::string& user = {},
                      const std::string& password = {}, const std::string& host = "127.0.0.1")
{
    PublishRun run;
    TempDir work("qv-ffmpeg");
    ChildProcess ffmpeg;
    std::string error;
    const std::string url = rtmpUrl(host, server.port(), "live", "x", user, password);
    EXPECT_TRUE(ffmpeg.start(ffmpegPublishCommand(url, 1.0, work.file("ffmpeg.txt")), &error)) << error;
    run.ffmpegStatus = ffmpeg.wait(30s);
    run.ffmpegLog = readFile(work.file("ffmpeg.txt")).value_or("");
    run.serverStatus = server.waitExit(20s);
    run.record = server.record();
    return run;
}

std::vector<const FakeRtmpEntry*> select(const std::vector<FakeRtmpEntry>& record,
                                         const std::string& kind, const std::string& dir = {})
{
    std::vector<const FakeRtmpEntry*> out;
    for (const auto& e : record)
        if (e.kind == kind && (dir.empty() || e.dir == dir))
            out.push_back(&e);
    return out;
}

// Whether `wanted` occurs in `names` in this order (other names may come between).
bool inOrder(const std::vector<std::string>& names, const std::vector<std::string>& wanted)
{
    auto it = names.begin();
    for (const auto& w : wanted) {
        it = std::find(it, names.end(), w);
        if (it == names.end())
            return false;
        ++it;
    }
    return true;
}

FakeRtmpOptions withArgs(std::vector<std::string> args, const std::string& host = "127.0.0.1")
{
    FakeRtmpOptions options;
    options.args = std::move(args);
    options.host = host;
    return options;
}

std::string joined(const std::vector<std::string>& names)
{
    std::string out;
    for (const auto& n : names)
        out += n + " ";
    return out;
}

std::vector<std::string> authEvents(const std::vector<FakeRtmpEntry>& record)
{
    std::vector<std::string> events;
    for (const auto* e : select(record, "auth"))
        events.push_back(e->raw["event"].asString() + ":" + e->raw["detail"].asString());
    return events;
}

TEST(FakeRtmpServer, RecordsAPlainFfmpegPublishOnTheWire)
{
    FakeRtmpServer server;
    std::string error;
    ASSERT_TRUE(server.start(withArgs({"--max-connections", "1"}), &error)) << error;
    const PublishRun run = publishWithFfmpeg(server);
    ASSERT_EQ(run.ffmpegStatus, 0) << run.ffmpegLog;
    EXPECT_EQ(run.serverStatus, 0) << server.stderrText();

    // Handshake blocks in wire order, C2 echoing S1.
    std::vector<std::string> blocks;
    for (const auto* e : select(run.record, "handshake"))
        blocks.push_back(e->dir + ":" + e->block);
    EXPECT_EQ(blocks, (std::vector<std::string>{"in:C0", "in:C1", "out:S0", "out:S1", "out:S2", "in:C2"}));
    const auto hs = select(run.record, "handshake");
    ASSERT_EQ(hs.size(), 6u);
    EXPECT_EQ(hs[0]->bytes, std::vector<uint8_t>{3});
    EXPECT_EQ(hs[1]->bytes.size(), 1536u);
    EXPECT_EQ(hs[5]->bytes, hs[3]->bytes);
    EXPECT_TRUE(hs[5]->raw["matches_s1"].asBool());

    const auto names = FakeRtmpServer::commandNames(run.record);
    EXPECT_TRUE(inOrder(names, {"connect", "releaseStream", "FCPublish", "createStream", "publish"}))
        << joined(names);

    const FakeRtmpEntry* connect = nullptr;
    const FakeRtmpEntry* publish = nullptr;
    const FakeRtmpEntry* metadata = nullptr;
    int videos = 0;
    const FakeRtmpEntry* firstVideo = nullptr;
    for (const auto* e : select(run.record, "message", "in")) {
        if (e->name == "connect" && !connect)
            connect = e;
        if (e->name == "publish")
            publish = e;
        if (e->name == "@setDataFrame")
            metadata = e;
        if (e->type == 9 && videos++ == 0)
            firstVideo = e;
    }
    ASSERT_NE(connect, nullptr);
    EXPECT_EQ(connect->amf[2]["app"].asString(), "live");
    EXPECT_EQ(connect->amf[2]["tcUrl"].asString(), server.url("live", ""));
    ASSERT_NE(publish, nullptr);
    EXPECT_EQ(publish->amf[3].asString(), "x");
    EXPECT_EQ(publish->amf[4].asString(), "live");
    EXPECT_EQ(publish->streamId, 1);  // the id our createStream answer gave
    ASSERT_NE(metadata, nullptr);
    EXPECT_EQ(metadata->type, 18);
    EXPECT_EQ(metadata->amf[1].asString(), "onMetaData");
    EXPECT_EQ(metadata->amf[2]["width"].asDouble(), 320.0);
    // ffmpeg sends one second at 25 fps: the decoder configuration plus 25 frames.
    EXPECT_GE(videos, 25);
    ASSERT_NE(firstVideo, nullptr);
    ASSERT_GE(firstVideo->bytes.size(), 5u);
    EXPECT_EQ(firstVideo->bytes[0], 0x17);  // key frame, AVC
    EXPECT_EQ(firstVideo->bytes[1], 0x00);  // sequence header
    EXPECT_EQ(firstVideo->raw["length"].asUInt64(), firstVideo->bytes.size());

    const auto closes = select(run.record, "connection");
    ASSERT_FALSE(closes.empty());
    EXPECT_TRUE(closes.back()->raw["published"].asBool());
}

TEST(FakeRtmpServer, AdobeAuthAcceptsFfmpegWhichAnswersWithTheOpaqueValue)
{
    FakeRtmpServer server;
    std::string error;
    ASSERT_TRUE(server.start(withArgs({"--auth", "adobe", "--user", "alice", "--password", "s3cret",
                                       "--max-connections", "3"}),
                             &error))
        << error;
    const PublishRun run = publishWithFfmpeg(server, "alice", "s3cret");
    ASSERT_EQ(run.ffmpegStatus, 0) << run.ffmpegLog;
    EXPECT_EQ(run.serverStatus, 0);
    // ffmpeg connects plainly, then with authmod and user, then with its response.
    EXPECT_EQ(authEvents(run.record),
              (std::vector<std::string>{"need_auth:", "challenge:", "accept:opaque"}));
    EXPECT_TRUE(inOrder(FakeRtmpServer::commandNames(run.record, 2), {"connect", "createStream", "publish"}));
    EXPECT_EQ(FakeRtmpServer::commandNames(run.record, 0), std::vector<std::string>{"connect"});
    // The challenge names the user and carries salt, challenge and opaque.
    bool sawChallenge = false;
    for (const auto* e : select(run.record, "message", "out")) {
        const std::string body(e->bytes.begin(), e->bytes.end());
        if (e->conn == 1 && body.find("_error") != std::string::npos) {
            sawChallenge = true;
            EXPECT_NE(body.find("[ authmod=adobe ] : ?reason=needauth&user=alice&salt="), std::string::npos);
            EXPECT_NE(body.find("&challenge="), std::string::npos);
            EXPECT_NE(body.find("&opaque="), std::string::npos);
        }
    }
    EXPECT_TRUE(sawChallenge);
}

TEST(FakeRtmpServer, AdobeAuthWithoutOpaqueMakesFfmpegUseTheChallenge)
{
    FakeRtmpServer server;
    std::string error;
    ASSERT_TRUE(server.start(withArgs({"--auth", "adobe", "--opaque", "", "--max-connections", "3"}), &error))
        << error;
    const PublishRun run = publishWithFfmpeg(server, "user", "pass");
    ASSERT_EQ(run.ffmpegStatus, 0) << run.ffmpegLog;
    EXPECT_EQ(authEvents(run.record),
              (std::vector<std::string>{"need_auth:", "challenge:", "accept:server-challenge"}));
}

TEST(FakeRtmpServer, LlnwAuthAcceptsFfmpeg)
{
    FakeRtmpServer server;
    std::string error;
    ASSERT_TRUE(server.start(withArgs({"--auth", "llnw", "--max-connections", "3"}), &error)) << error;
    const PublishRun run = publishWithFfmpeg(server, "user", "pass");
    ASSERT_EQ(run.ffmpegStatus, 0) << run.ffmpegLog;
    const auto events = authEvents(run.record);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[2], "accept:app=live/_definst_ nc=00000001");
}

TEST(FakeRtmpServer, WrongPasswordIsRefusedAndNothingIsPublished)
{
    FakeRtmpServer server;
    std::string error;
    ASSERT_TRUE(server.start(withArgs({"--auth", "adobe", "--max-connections", "3"}), &error)) << error;
    const PublishRun run = publishWithFfmpeg(server, "user", "wrong");
    ASSERT_TRUE(run.ffmpegStatus.has_value());
    EXPECT_NE(*run.ffmpegStatus, 0);
    EXPECT_NE(run.ffmpegLog.find("Incorrect username/password"), std::string::npos) << run.ffmpegLog;
    EXPECT_EQ(authEvents(run.record),
              (std::vector<std::string>{"need_auth:", "challenge:", "refuse:authfailed"}));
    const auto names = FakeRtmpServer::commandNames(run.record);
    EXPECT_EQ(std::count(names.begin(), names.end(), "publish"), 0);
    EXPECT_EQ(std::count(names.begin(), names.end(), "connect"), 3);
    // The refusal of the response carries the reason ffmpeg reported.
    bool sawFailed = false;
    for (const auto* e : select(run.record, "message", "out"))
        sawFailed |= e->raw["note"].asString() == "_error" &&
                     std::string(e->bytes.begin(), e->bytes.end()).find("?reason=authfailed") != std::string::npos;
    EXPECT_TRUE(sawFailed);
}

TEST(FakeRtmpServer, ScenarioFromJsonRefusesTheApplication)
{
    FakeRtmpServer server;
    FakeRtmpOptions options;
    options.scenario["connect_reply"] = "error_app";
    options.scenario["max_connections"] = 1;
    options.timeLimitSeconds = 20;
    std::string error;
    ASSERT_TRUE(server.start(options, &error)) << error;
    const PublishRun run = publishWithFfmpeg(server);
    ASSERT_TRUE(run.ffmpegStatus.has_value());
    EXPECT_NE(*run.ffmpegStatus, 0);
    EXPECT_NE(run.ffmpegLog.find("Application folder"), std::string::npos) << run.ffmpegLog;
    EXPECT_EQ(run.serverStatus, 0);
    EXPECT_EQ(FakeRtmpServer::commandNames(run.record), std::vector<std::string>{"connect"});
    std::vector<std::string> sent;
    for (const auto* e : select(run.record, "message", "out"))
        sent.push_back(e->raw["note"].asString());
    EXPECT_EQ(sent, std::vector<std::string>{"_error"});
}

TEST(FakeRtmpServer, ServesIpv6Loopback)
{
    FakeRtmpServer server;
    std::string error;
    if (!freeTcpPort("::1"))
        GTEST_SKIP() << "no IPv6 loopback here";
    ASSERT_TRUE(server.start(withArgs({"--max-connections", "1"}, "::1"), &error)) << error;
    const PublishRun run = publishWithFfmpeg(server, {}, {}, "::1");
    ASSERT_EQ(run.ffmpegStatus, 0) << run.ffmpegLog;
    EXPECT_TRUE(inOrder(FakeRtmpServer::commandNames(run.record), {"connect", "createStream", "publish"}));
}

TEST(FakeRtmpServer, WaitForWakesOnNewRecordLines)
{
    FakeRtmpServer server;
    std::string error;
    ASSERT_TRUE(server.start(withArgs({"--max-connections", "1"}), &error)) << error;
    // Nothing has connected yet: the wait runs out.
    EXPECT_FALSE(server.waitFor([](const FakeRtmpEntry& e) { return e.kind == "handshake"; }, 200ms));
    TempDir work("qv-ffmpeg");
    ChildProcess ffmpeg;
    ASSERT_TRUE(ffmpeg.start(ffmpegPublishCommand(server.url("live", "x"), 1.0, work.file("ffmpeg.txt")), &error));
    const auto publish = server.waitFor([](const FakeRtmpEntry& e) { return e.dir == "in" && e.name == "publish"; }, 20s);
    ASSERT_TRUE(publish.has_value());
    EXPECT_EQ(publish->amf[3].asString(), "x");
    // Found while ffmpeg is still streaming: no later line (like the close) was needed.
    const auto first = server.waitFor([](const FakeRtmpEntry& e) { return e.block == "C0"; }, 1s);
    ASSERT_TRUE(first.has_value());
    EXPECT_LT(first->seq, publish->seq);
    EXPECT_EQ(ffmpeg.wait(30s), 0);
    EXPECT_TRUE(server.waitFor([](const FakeRtmpEntry& e) { return e.raw["event"].asString() == "exit"; }, 10s));
}

TEST(FakeRtmpServer, ParallelInstancesShareNoPortOrDirectory)
{
    FakeRtmpServer a;
    FakeRtmpServer b;
    std::string error;
    ASSERT_TRUE(a.start({}, &error)) << error;
    ASSERT_TRUE(b.start({}, &error)) << error;
    EXPECT_NE(a.port(), b.port());
    EXPECT_NE(a.dir().path(), b.dir().path());
    EXPECT_NE(a.recordPath(), b.recordPath());
    EXPECT_TRUE(tcpAccepts("127.0.0.1", a.port(), 1000ms));
    EXPECT_TRUE(tcpAccepts("127.0.0.1", b.port(), 1000ms));
    // SIGTERM ends the script cleanly, and its last record line says why.
    EXPECT_EQ(a.stop(), 0);
    const auto record = a.record();
    ASSERT_FALSE(record.empty());
    EXPECT_EQ(record.back().raw["event"].asString(), "exit");
    EXPECT_EQ(record.back().raw["reason"].asString(), "signal 15");
    EXPECT_FALSE(b.waitExit(0ms).has_value());
}

}  // namespace
}  // namespace qvtest
