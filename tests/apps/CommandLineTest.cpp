// The command line: publishing options land in their fields, bad values and combinations are
// usage errors (exit 2) on one line. Subcommands and exit codes are run by the integration tests.
#include <gtest/gtest.h>

#include "apps/CommandLine.h"
#include "apps/ElementaryInput.h"
#include "apps/ExitCodes.h"

namespace {

app::CommandLine Parse(std::vector<std::string> args) {
    args.insert(args.begin(), "rtmpwriter");
    return app::ParseCommandLine(args);
}

TEST(CommandLine, PublishingOptionsLandInTheirFields) {
    auto c = Parse({"rtmp://h/live/s", "--video", "v.h264", "--audio", "-", "--user", "u", "--password", "p",
                    "--reconnect-attempts", "-1", "--reconnect-interval", "250", "--connect-timeout", "3",
                    "--send-timeout", "100", "--receive-timeout", "200", "--buffer-size", "1000", "--packet-size", "1400",
                    "--socket-buffer", "65536", "--buffer-mode", "wait", "--no-b-frames", "--tcp-nodelay", "--no-padding",
                    "--fallback-ports", "--fallback-tunnel", "--start-without-connection", "--user-agent", "UA/1",
                    "--connect-args", "{\"a\":1}", "--record-mode", "append", "--timecode", "--timecode-interval", "500",
                    "--timecode-start", "1700000000", "--timecode-system-time", "--absolute-time", "42", "--live",
                    "--audio-delay", "-40", "--fps", "30000/1001", "--timestamps", "advanced", "--stats", "--events",
                    "json", "--log", "/tmp/x.log", "--log-level", "5", "--control", "/tmp/ctl"});
    ASSERT_EQ(c.mode, app::CommandLine::Mode::Publish) << c.output;
    const app::PublishOptions& p = c.publish;
    EXPECT_EQ((std::vector<std::string>{p.url, p.video, p.audio, p.user, p.password, p.bufferMode, p.userAgent,
                                        p.connectArgs, p.recordMode, p.fps, p.timestamps, p.events, p.log, p.control}),
              (std::vector<std::string>{"rtmp://h/live/s", "v.h264", "-", "u", "p", "wait", "UA/1", "{\"a\":1}", "append",
                                        "30000/1001", "advanced", "json", "/tmp/x.log", "/tmp/ctl"}));
    EXPECT_EQ((std::vector<std::optional<int32_t>>{p.reconnectAttempts, p.reconnectInterval, p.connectTimeout,
                                                   p.sendTimeout, p.receiveTimeout, p.bufferSize, p.packetSize,
                                                   p.socketBuffer, p.timecodeInterval, p.timecodeStart, p.audioDelay,
                                                   p.logLevel}),
              (std::vector<std::optional<int32_t>>{-1, 250, 3, 100, 200, 1000, 1400, 65536, 500, 1700000000, -40, 5}));
    EXPECT_EQ(p.absoluteTime, 42u);
    EXPECT_TRUE(p.noBFrames && p.tcpNoDelay && p.noPadding && p.fallbackPorts && p.fallbackTunnel &&
                p.startWithoutConnection && p.timecode && p.timecodeSystemTime && p.live && p.stats);

    // Options not given stay unset, so the filter's own defaults apply.
    c = Parse({"rtmp://h/live/s", "--audio", "a.aac"});
    ASSERT_EQ(c.mode, app::CommandLine::Mode::Publish);
    EXPECT_FALSE(c.publish.reconnectAttempts || c.publish.bufferSize);
    EXPECT_TRUE(c.publish.bufferMode.empty() && c.publish.timestamps.empty());
}

TEST(CommandLine, UsageErrorsExitWithTwoAndOneLine) {
    const std::vector<std::vector<std::string>> bad = {
        {}, {"rtmp://h/a/s"}, {"--video", "v.h264"}, {"config", "get"}, {"config"},
        {"rtmp://h/a/s", "--video", "-", "--audio", "-"}, {"rtmp://h/a/s", "--video", "-", "--control", "-"},
        {"rtmp://h/a/s", "--video", "f", "--control", "f"}, {"rtmp://h/a/s", "--video", "v", "--buffer-mode", "sometimes"},
        {"rtmp://h/a/s", "--video", "v", "--record-mode", "live2"}, {"rtmp://h/a/s", "--video", "v", "--reconnect-interval", "99"},
        {"rtmp://h/a/s", "--video", "v", "--buffer-size", "104857601"}, {"rtmp://h/a/s", "--video", "v", "--socket-buffer", "10485760"},
        {"rtmp://h/a/s", "--video", "v", "--timestamps", "simple"}, {"rtmp://h/a/s", "--video", "v", "--events", "xml"},
        {"rtmp://h/a/s", "--video", "v", "--reconnect-attempts", "many"}, {"rtmp://h/a/s", "--video", "v", "--no-such-option"},
    };
    for (const auto& args : bad) {
        auto c = Parse(args);
        SCOPED_TRACE(::testing::PrintToString(args));
        EXPECT_EQ(c.mode, app::CommandLine::Mode::Exit);
        EXPECT_EQ(c.exitCode, app::EXIT_USAGE);
        EXPECT_TRUE(c.outputIsError);
        EXPECT_EQ(c.output.find('\n'), std::string::npos) << c.output;
        EXPECT_EQ(c.output.rfind("rtmpwriter: ", 0), 0u) << c.output;
    }
}

TEST(Rate, ParsesIntegersFractionsAndBroadcastDecimals) {
    for (auto [text, num, den] : {std::tuple<const char*, int64_t, int64_t>{"25", 25, 1}, {"29.97", 30000, 1001}, {"59.94", 60000, 1001},
                                  {"30000/1001", 30000, 1001}}) {
        auto r = app::ParseRate(text);
        ASSERT_TRUE(r) << text;
        EXPECT_EQ(std::pair(r->num, r->den), std::pair(num, den)) << text;
    }
    EXPECT_DOUBLE_EQ(app::ParseRate("12.5")->value(), 12.5);
    for (const char* bad : {"", "0", "-5", "abc", "25fps", "1/0", "/5", "5/", "100000", "nan"})
        EXPECT_FALSE(app::ParseRate(bad)) << bad;
}

}  // namespace
