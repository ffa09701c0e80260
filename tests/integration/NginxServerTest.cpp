// The private nginx-rtmp harness: start, a real publisher seen on the statistics page, the
// recording, and a stop that leaves no process behind.
#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <filesystem>
#include <set>

#include "TestServers.h"

namespace qvtest {
namespace {

using namespace std::chrono_literals;

// Every process whose command line mentions `text` (our private directory is unique).
std::vector<int> processesMentioning(const std::string& text)
{
    std::vector<int> pids;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const auto cmdline = readFile(entry.path() / "cmdline");
        if (cmdline && cmdline->find(text) != std::string::npos)
            pids.push_back(std::stoi(name));
    }
    return pids;
}

TEST(NginxServer, FfmpegPublishIsListedRecordedAndStopLeavesNoProcess)
{
    NginxServer nginx;
    std::string error;
    ASSERT_TRUE(nginx.start(&error)) << error;
    EXPECT_FALSE(nginx.isPublishing("live", "x"));

    TempDir work("qv-ffmpeg");
    ChildProcess ffmpeg;
    ASSERT_TRUE(ffmpeg.start(ffmpegPublishCommand(nginx.url("x"), 2.0, work.file("ffmpeg.txt")), &error))
        << error;

    EXPECT_TRUE(nginx.waitPublishing("live", "x", true, 10s)) << nginx.errorLog();
    bool listed = false;
    for (const auto& s : nginx.stats()) {
        for (const auto& c : s.clients) {
            if (s.app == "live" && s.name == "x" && c.publishing) {
                listed = true;
                EXPECT_EQ(c.address, "127.0.0.1");
                EXPECT_NE(c.flashVer.find("FMLE/3.0"), std::string::npos) << c.flashVer;
            }
        }
    }
    EXPECT_TRUE(listed);

    const auto status = ffmpeg.wait(30s);
    ASSERT_TRUE(status.has_value()) << "ffmpeg did not finish";
    EXPECT_EQ(*status, 0) << readFile(work.file("ffmpeg.txt")).value_or("");
    EXPECT_TRUE(nginx.waitPublishing("live", "x", false, 10s));

    const auto probe = ffprobeJson(nginx.recordFile("x"), {"-show_format", "-show_streams"}, 30s, &error);
    ASSERT_TRUE(probe.has_value()) << error;
    ASSERT_EQ((*probe)["streams"].size(), 1u);
    const Json::Value& video = (*probe)["streams"][0];
    EXPECT_EQ(video["codec_name"].asString(), "h264");
    EXPECT_EQ(video["width"].asInt(), 320);
    EXPECT_EQ(video["height"].asInt(), 240);
    const double duration = std::stod((*probe)["format"].get("duration", "0").asString());
    EXPECT_GT(duration, 1.5);
    EXPECT_LT(duration, 2.6);

    const pid_t pid = nginx.pid();
    ASSERT_GT(pid, 0);
    const std::string dir = nginx.dir();
    EXPECT_FALSE(processesMentioning(dir).empty());
    nginx.stop();
    EXPECT_FALSE(nginx.running());
    errno = 0;
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_TRUE(processesMentioning(dir).empty());
    EXPECT_FALSE(tcpAccepts("127.0.0.1", nginx.rtmpPort(), 500ms));
}

TEST(NginxServer, TwoInstancesShareNoPortsOrDirectories)
{
    NginxServer a;
    NginxOptions options;
    options.app = "app2";
    options.record = false;
    NginxServer b(options);
    std::string error;
    ASSERT_TRUE(a.start(&error)) << error;
    ASSERT_TRUE(b.start(&error)) << error;
    const std::set<int> ports = {a.rtmpPort(), a.httpPort(), b.rtmpPort(), b.httpPort()};
    EXPECT_EQ(ports.size(), 4u);
    EXPECT_NE(a.dir(), b.dir());
    EXPECT_NE(a.pid(), b.pid());
    for (NginxServer* s : {&a, &b}) {
        EXPECT_TRUE(tcpAccepts("127.0.0.1", s->rtmpPort(), 1000ms));
        const auto xml = s->fetchStats();
        ASSERT_TRUE(xml.has_value());
        EXPECT_NE(xml->find("<rtmp>"), std::string::npos);
        EXPECT_NE(xml->find("<pid>" + std::to_string(s->pid()) + "</pid>"), std::string::npos);
    }
    EXPECT_NE(b.fetchStats()->find("<name>app2</name>"), std::string::npos);
    const std::string dirA = a.dir();
    a.stop();
    // Stopping one leaves the other serving.
    EXPECT_TRUE(b.running());
    EXPECT_TRUE(b.fetchStats().has_value());
    EXPECT_TRUE(std::filesystem::exists(dirA));
}

}  // namespace
}  // namespace qvtest
