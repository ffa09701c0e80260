// The property page in a real browser: rtmpwriter holds a publication to the private nginx with
// its web page on a loopback port; tests/integration/ui/page_test.mjs drives the page in headless
// Chromium (labels, "N/A" before data, Connect, figures moving, Apply clearing the user name, the
// password kept out of the browser) and leaves a screenshot in ui-artifacts/ of the working
// directory. Here: the page's address as printed, nothing published until Connect, the
// publication it started recorded by nginx, and the screenshot a real picture.
#include <gtest/gtest.h>
#include <json/json.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <iostream>
#include <set>
#include <variant>

#include "TestServers.h"

using namespace std::chrono_literals;
using qvtest::ChildProcess;

namespace {

std::string Fixture(const std::string& name) { return std::string(QV_FIXTURE_DIR) + "/" + name; }
const std::string kUiDir = std::string(QV_SOURCE_DIR) + "/tests/integration/ui";
constexpr const char* kBrowser = "/usr/bin/chromium";
constexpr const char* kPageLine = "rtmpwriter: web page at ";

// Width, height and size of a PNG file; nothing when it is not one.
struct Picture {
    uint32_t width, height;
    size_t bytes;
};
std::optional<Picture> ReadPng(const std::string& path) {
    const std::string data = qvtest::readFile(path).value_or("");
    constexpr std::string_view signature{"\x89PNG\r\n\x1a\n", 8};
    if (data.size() < 24 || data.compare(0, 8, signature) != 0 || data.compare(12, 4, "IHDR") != 0) return std::nullopt;
    auto be32 = [&](size_t at) {
        uint32_t v = 0;
        for (size_t i = 0; i < 4; ++i) v = v << 8 | static_cast<uint8_t>(data[at + i]);
        return v;
    };
    return Picture{be32(16), be32(20), data.size()};
}

// An option rtmpwriter is started with, and what its control shows for it at first.
struct Shown {
    std::vector<std::string> args;
    int id;
    std::variant<std::string, bool> expected;
};

TEST(WebPage, DrivenInTheBrowserItConnectsShowsLiveFiguresAndClearsTheUserName) {
    const auto begun = std::chrono::steady_clock::now();
    ASSERT_EQ(::access(kBrowser, X_OK), 0) << kBrowser << " is missing: scripts/deps.sh installs it";
    ASSERT_TRUE(std::filesystem::is_directory(kUiDir + "/node_modules/puppeteer-core"))
        << "the browser test's node modules are missing: scripts/deps.sh installs them";
    qvtest::TempDir dir{"qv-webpage"};
    ASSERT_TRUE(dir.ok());
    qvtest::NginxServer nginx;
    std::string error;
    ASSERT_TRUE(nginx.start(&error)) << error;
    const auto port = qvtest::freeTcpPort();
    ASSERT_TRUE(port);

    const std::string stream = "page", user = "pageuser", password = "Pw-7f2b9c-never-shown";
    const std::vector<Shown> shown{
        {{"--buffer-size", "3000000"}, 1002, "3000000"}, {{}, 1005, "3000000"},
        {{"--packet-size", "8192"}, 1013, "8192"}, {{"--socket-buffer", "262144"}, 1018, "262144"},
        {{"--send-timeout", "6000"}, 1027, "6000"}, {{"--receive-timeout", "7000"}, 1028, "7000"},
        {{"--reconnect-attempts", "3"}, 1022, "3"}, {{"--reconnect-interval", "1500"}, 1023, "1500"},
        {{"--tcp-nodelay"}, 1017, true}, {{}, 1003, false},
        {{"--user", user, "--password", password}, 1019, true}, {{}, 1020, user},
        {{}, 1001, nginx.url(stream)}};
    // stderr joins stdout, where the page's address is awaited line by line.
    std::vector<std::string> writerArgs{"sh", "-c", "exec \"$0\" \"$@\" 2>&1", QV_RTMPWRITER, "--ui",
                                        "127.0.0.1:" + std::to_string(*port), "--hold", nginx.url(stream),
                                        "--video", Fixture("rt20.h264"), "--audio", Fixture("aac20.aac")};
    Json::Value expect(Json::objectValue);
    for (const Shown& s : shown) {
        writerArgs.insert(writerArgs.end(), s.args.begin(), s.args.end());
        std::visit([&](const auto& v) { expect[std::to_string(s.id)] = v; }, s.expected);
    }
    ::setenv("QV_SETTINGS_USER", dir.file("user.json").c_str(), 1);
    ::setenv("QV_SETTINGS_MACHINE", dir.file("machine.json").c_str(), 1);
    ChildProcess writer;
    ASSERT_TRUE(writer.start({writerArgs, true, {}, {}}, &error)) << error;
    std::string output, pageUrl;
    while (pageUrl.empty()) {
        const auto line = writer.readLine(20s);
        ASSERT_TRUE(line) << "no \"" << kPageLine << "...\" line within 20 s:\n" << output;
        output += *line + "\n";
        if (line->starts_with(kPageLine)) pageUrl = line->substr(std::string_view(kPageLine).size());
    }
    const std::string origin = "http://127.0.0.1:" + std::to_string(*port) + "/";
    EXPECT_TRUE(pageUrl.starts_with(origin) && pageUrl.find("token=") == std::string::npos) << pageUrl;
    EXPECT_TRUE(nginx.waitPublishing("live", stream, false, 0ms)) << "held, yet publishing before Connect";

    // A second writer, started without its server (nothing listens on its port): no data yet.
    const auto deadPort = qvtest::freeTcpPort();
    auto noDataPort = qvtest::freeTcpPort();
    for (int i = 0; i < 10 && noDataPort == deadPort; ++i) noDataPort = qvtest::freeTcpPort();
    ASSERT_TRUE(deadPort && noDataPort && *deadPort != *noDataPort);
    ChildProcess noData;
    ASSERT_TRUE(noData.start({{"sh", "-c", "exec \"$0\" \"$@\" 2>&1", QV_RTMPWRITER, "--ui",
                               "127.0.0.1:" + std::to_string(*noDataPort), "--start-without-connection",
                               "rtmp://127.0.0.1:" + std::to_string(*deadPort) + "/live/nodata", "--video",
                               Fixture("rt20.h264"), "--audio", Fixture("aac20.aac")},
                              true, {}, {}},
                             &error)) << error;
    std::string noDataUrl;
    while (noDataUrl.empty()) {
        const auto line = noData.readLine(20s);
        ASSERT_TRUE(line) << "the second writer printed no page address within 20 s";
        if (line->starts_with(kPageLine)) noDataUrl = line->substr(std::string_view(kPageLine).size());
    }

    const std::filesystem::path artifacts = std::filesystem::current_path() / "ui-artifacts";
    std::filesystem::create_directories(artifacts);
    std::filesystem::remove(artifacts / "page.png");
    std::filesystem::create_directories(dir.file("chromium-profile"));
    ::setenv("QV_UI_USER", user.c_str(), 1);
    ::setenv("QV_UI_PASSWORD", password.c_str(), 1);
    ::setenv("QV_UI_EXPECT", Json::writeString(Json::StreamWriterBuilder(), expect).c_str(), 1);
    ::setenv("QV_UI_PROFILE", dir.file("chromium-profile").c_str(), 1);
    ::setenv("QV_UI_NO_DATA", noDataUrl.c_str(), 1);
    ChildProcess browserTest;
    ASSERT_TRUE(browserTest.start({{"node", kUiDir + "/page_test.mjs", pageUrl, artifacts.string()}, true, {},
                                   dir.file("page_test.err")}, &error)) << error;
    // Its checks as they pass; the script bounds itself, this bound is for a hung node.
    const auto end = std::chrono::steady_clock::now() + 120s;
    std::string report;
    while (auto line = browserTest.readLine(std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()))) {
        std::cout << "  page: " << *line << std::endl;
        report += *line + "\n";
    }
    const int code = browserTest.wait(5s) ? *browserTest.wait(0ms) : browserTest.stop(SIGKILL, 1s);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
    EXPECT_EQ(code, 0)
        << report << qvtest::readFile(dir.file("page_test.err")).value_or("");
    noData.signal(SIGINT);
    EXPECT_TRUE(noData.wait(15s)) << "the writer without its server did not end on SIGINT";

    // The Connect pressed in the browser published the held stream; it goes on until stopped or
    // the 20 s of input end.
    EXPECT_TRUE(nginx.waitPublishing("live", stream, true, 5s)) << "not publishing after the page's Connect";
    const bool ranOut = writer.wait(0ms).has_value();
    const int writerCode = ranOut ? *writer.wait(0ms) : (writer.signal(SIGINT), writer.wait(15s).value_or(-1));
    while (auto line = writer.readLine(1s)) output += *line + "\n";
    EXPECT_EQ(writerCode, ranOut ? 0 : 128 + SIGINT) << output;
    EXPECT_TRUE(nginx.waitPublishing("live", stream, false, 10s));
    const auto probe = qvtest::ffprobeJson(nginx.recordFile(stream), {"-show_streams"}, 60s, &error);
    ASSERT_TRUE(probe) << error;
    std::set<std::string> codecs;
    for (const auto& s : (*probe)["streams"]) codecs.insert(s["codec_name"].asString());
    EXPECT_EQ(codecs, (std::set<std::string>{"h264", "aac"})) << "the recording of the publication the page started";

    // The screenshot is a real picture of the page: about a screen wide, some screens high at most.
    const std::string shot = (artifacts / "page.png").string();
    const auto png = ReadPng(shot);
    ASSERT_TRUE(png) << shot << " is not a PNG";
    EXPECT_TRUE(png->width >= 640 && png->width <= 4096 && png->height >= 300 && png->height <= 16384)
        << png->width << "x" << png->height;
    EXPECT_TRUE(png->bytes >= 4096 && png->bytes <= 8u << 20) << png->bytes << " bytes";
    std::cout << "screenshot " << shot << ": " << png->width << "x" << png->height << ", " << png->bytes << " bytes; "
              << "browser run done " << seconds << " s after the start" << std::endl;
}

}  // namespace
