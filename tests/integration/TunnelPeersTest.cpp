// The tunnel's test gateway judged by a client nobody here wrote: ffmpeg publishes through it
// into nginx, and the recording matches the input frame for frame.
#include <gtest/gtest.h>

#include <map>

#include "TestServers.h"
#include "TunnelServers.h"

using namespace qvtest;
using namespace std::chrono_literals;

namespace {

struct Peers {
    NginxServer nginx;
    RtmptGateway gateway;
    explicit Peers(RtmptGatewayOptions options = {}) {
        std::string error;
        EXPECT_TRUE(nginx.start(&error)) << error;
        options.rtmpPort = nginx.rtmpPort();
        EXPECT_TRUE(gateway.start(options, &error)) << error;
    }
};

}  // namespace

TEST(TunnelPeers, FfmpegPublishesThroughTheGateway) {
    Peers peers;
    const std::string fix = QV_FIXTURE_DIR;
    TempDir dir("qv-tunnelff");
    // ffmpeg posts what it has every N messages (10 by default) and drops what it has not posted
    // when it closes: posting every message leaves it only the unpublish commands to lose.
    ChildProcess ffmpeg;
    ASSERT_TRUE(ffmpeg.start({{"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-re", "-i", fix + "/baseline.nut", "-re",
                               "-i", fix + "/aac48s.aac", "-map", "0:v", "-map", "1:a", "-c", "copy", "-rtmp_flush_interval", "1",
                               "-f", "flv", peers.gateway.url("live", "ff")},
                              false, {}, dir.file("ffmpeg.txt")}));
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(ffmpeg.wait(60s), 0) << readFile(dir.file("ffmpeg.txt")).value_or("") << peers.gateway.errors();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_LT(seconds, 10) << "a request should not wait for its ACK";
    ASSERT_TRUE(peers.nginx.waitPublishing("live", "ff", false, 10s));

    // Every frame of both inputs, as the input had it.
    const auto [code, report] = checkRecording({peers.nginx.recordFile("ff"), "--video", fix + "/baseline.h264", "--audio",
                                                fix + "/aac48s.aac", "--fps", "25"});
    EXPECT_EQ(code, 0) << report;

    const auto log = peers.gateway.requests();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log.front().target, "/open/1");
    EXPECT_EQ(log.back().command(), "close");
    std::map<std::string, int> commands;
    int64_t up = 0, down = 0;
    for (const auto& r : log) {
        EXPECT_EQ(r.status, 200) << r.target;
        ++commands[r.command()];
        up += r.command() == "send" ? r.bodySize : 0;
        down += r.command() == "send" || r.command() == "idle" ? r.responseSize - 1 : 0;
    }
    EXPECT_EQ(commands.size(), 4u);  // open, send, idle, close
    EXPECT_GT(up, 3073 + 100000);    // C0 C1 C2 and the media
    EXPECT_GE(down, 3073);           // S0 S1 S2 and the server's commands
    std::printf("ffmpeg through the gateway: %.2f s, %zu requests (%d send, %d idle), %lld bytes up, %lld down; %s",
                seconds, log.size(), commands["send"], commands["idle"], (long long)up, (long long)down, report.c_str());
}
