// One rtmpwriter process publishing one input to several destinations: a server that goes away
// for five seconds and one whose link stalls cost those two destinations alone, and cost the
// others nothing: their recordings hold every frame of the input, decoded identically.
#include <gtest/gtest.h>

#include <iostream>
#include <map>
#include <thread>

#include "../sink/FaultProxy.h"
#include "TestServers.h"

using namespace std::chrono_literals;
using qvtest::ChildProcess;

namespace {

std::string Fixture(const std::string& name) { return std::string(QV_FIXTURE_DIR) + "/" + name; }

// Destinations, numbered as the writer numbers them: the URL arguments, then the config file's.
// 1: nginx B direct; 2: the fake server; 3: nginx A, stopped for 5 s and started again;
// 4: nginx B through a link that stalls for 12 s, in wait mode with small send buffers: its
//    writer holds its input once its own queue is full (6 s of pictures), and the feed then
//    misses units for it alone. The send time-out outlasts the stall.
TEST(MultiDestination, AServerDownAndALinkStalledCostOnlyTheirOwnDestinations) {
    qvtest::TempDir dir{"qv-multidest"};
    ASSERT_TRUE(dir.ok());
    ::setenv("QV_SETTINGS_USER", dir.file("user.json").c_str(), 1);
    ::setenv("QV_SETTINGS_MACHINE", dir.file("machine.json").c_str(), 1);
    std::string error;
    const auto portA = qvtest::freeTcpPort();
    ASSERT_TRUE(portA);
    qvtest::NginxServer nginxA({.rtmpPort = *portA, .unique = true}), nginxB;
    ASSERT_TRUE(nginxA.start(&error)) << error;
    ASSERT_TRUE(nginxB.start(&error)) << error;
    qvtest::FakeRtmpServer fake;
    ASSERT_TRUE(fake.start({}, &error)) << error;
    sinktest::FaultProxy stalling(nginxB.rtmpPort());
    ASSERT_TRUE(stalling.Start());

    const std::string config = dir.file("outputs.json");
    ASSERT_TRUE(qvtest::writeFile(
        config, R"({"outputs": [{"url": ")" + nginxA.url("a") + R"(", "reconnect-interval": 1000, "reconnect-attempts": 30},
                                {"url": ")" + qvtest::rtmpUrl("127.0.0.1", stalling.Port(), "live", "d") +
                    R"(", "buffer-mode": "wait", "buffer-size": 65536, "socket-buffer": 8192}]})"));
    ChildProcess writer;
    ASSERT_TRUE(writer.start({{QV_RTMPWRITER, nginxB.url("b"), "--output", fake.url("live", "c"), "--config", config,
                               "--video", Fixture("rt20.h264"), "--audio", Fixture("aac20.aac"), "--events", "json",
                               "--send-timeout", "20000", "--stats"},
                              false, dir.file("events.json"), dir.file("stderr.txt")}, &error))
        << error;
    // The faults at 4 s of media, the server back at 9 s and the link at 16 s, as the fake
    // server's record shows the media.
    auto mediaAt = [&](int64_t ms) {
        return fake.waitFor([ms](const qvtest::FakeRtmpEntry& e) { return e.dir == "in" && e.type == 9 && e.timestamp >= ms; },
                            30s);
    };
    ASSERT_TRUE(mediaAt(4000)) << qvtest::readFile(dir.file("stderr.txt")).value_or("");
    nginxA.stop();
    stalling.Stall(true, true);
    ASSERT_TRUE(mediaAt(9000));
    ASSERT_TRUE(nginxA.start(&error)) << error;
    ASSERT_TRUE(mediaAt(16000));
    stalling.Stall(false);

    const auto code = writer.wait(60s);
    ASSERT_TRUE(code) << "rtmpwriter did not end";
    const std::string stderrText = qvtest::readFile(dir.file("stderr.txt")).value_or("");
    EXPECT_EQ(*code, 0) << stderrText;
    // Only the stalled destination missed units, and it says so.
    EXPECT_NE(stderrText.find("rtmpwriter: [4] this destination fell behind the others and missed "), std::string::npos)
        << stderrText;
    EXPECT_EQ(stderrText.find("fell behind"), stderrText.rfind("fell behind")) << stderrText;
    for (const char* line : {"\n[1] 00:00:0", "\n[2] 00:00:0", "\nrtmpwriter: [3] status: reconnecting\n"})
        EXPECT_NE(stderrText.find(line), std::string::npos) << line;

    // Every event names its destination; the restarted server's destination reconnected.
    std::map<int, std::vector<std::string>> statuses;
    std::map<int, int> ends;
    for (const std::string& line : [&] {
             std::vector<std::string> lines;
             std::istringstream in(qvtest::readFile(dir.file("events.json")).value_or(""));
             for (std::string l; std::getline(in, l);) lines.push_back(l);
             return lines;
         }()) {
        Json::Value v;
        std::istringstream(line) >> v;
        if (v["event"] == "status") statuses[v["destination"].asInt()].push_back(v["status"].asString());
        if (v["event"] == "end" && v.isMember("destination")) ends[v["destination"].asInt()] = v["exit"].asInt();
    }
    EXPECT_EQ(ends, (std::map<int, int>{{1, 0}, {2, 0}, {3, 0}, {4, 0}}));
    EXPECT_EQ(statuses[1], (std::vector<std::string>{"connected", "disconnected"}));
    ASSERT_GE(statuses[3].size(), 4u);
    EXPECT_EQ(statuses[3][1], "reconnecting");

    // The untouched destinations: frame for frame.
    const std::string video = Fixture("rt20.h264"), audio = Fixture("aac20.aac");
    EXPECT_TRUE(nginxB.waitPublishing("live", "b", false, 10s));
    const auto [okB, reportB] = qvtest::checkRecording({nginxB.recordFile("b"), "--video", video, "--audio", audio});
    EXPECT_EQ(okB, 0) << reportB;
    std::cout << "direct: " << reportB;
    // The fake server took as many pictures and audio frames as the input holds (and one
    // sequence header of each).
    fake.stop();
    size_t pictures = 0, frames = 0;
    for (const auto& e : fake.record()) {
        if (e.dir != "in" || e.kind != "message" || e.bytes.size() < 2) continue;
        if (e.type == 9 && e.bytes[1] == 1) ++pictures;
        if (e.type == 8 && e.bytes[1] == 1) ++frames;
    }
    EXPECT_EQ(pictures, 500u);
    EXPECT_EQ(frames, 939u);

    // The restarted server: two publications that lose no more than the outage and the wait for
    // a key frame; the stalled link: one, with the gap the stall made.
    const auto filesA = nginxA.recordFiles("a");
    ASSERT_EQ(filesA.size(), 2u);
    std::vector<std::string> checkA{"--segments", filesA[0], filesA[1], "--video", video, "--audio", audio, "--lost", "8"};
    const auto [okA, reportA] = qvtest::checkRecording(checkA);
    EXPECT_EQ(okA, 0) << reportA;
    std::cout << "restarted: " << reportA;
    EXPECT_TRUE(nginxB.waitPublishing("live", "d", false, 10s));
    const auto [okD, reportD] =
        qvtest::checkRecording({"--segments", nginxB.recordFile("d"), "--video", video, "--audio", audio, "--lost", "7",
                                "--max-gap-video", "7000", "--max-gap-audio", "7000"});
    EXPECT_EQ(okD, 0) << reportD;
    std::cout << "stalled: " << reportD;
}

}  // namespace
