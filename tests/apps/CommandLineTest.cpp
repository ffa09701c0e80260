// The command line: every publishing option lands in its field, bad values and combinations
// are usage errors (exit 2) with one line, the subcommands parse, and --help documents the
// exit codes that the program uses.
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
    EXPECT_EQ(p.url, "rtmp://h/live/s");
    EXPECT_EQ(p.video, "v.h264");
    EXPECT_EQ(p.audio, "-");
    EXPECT_EQ(p.user, "u");
    EXPECT_EQ(p.password, "p");
    EXPECT_EQ(p.reconnectAttempts, -1);
    EXPECT_EQ(p.reconnectInterval, 250);
    EXPECT_EQ(p.connectTimeout, 3);
    EXPECT_EQ(p.sendTimeout, 100);
    EXPECT_EQ(p.receiveTimeout, 200);
    EXPECT_EQ(p.bufferSize, 1000);
    EXPECT_EQ(p.packetSize, 1400);
    EXPECT_EQ(p.socketBuffer, 65536);
    EXPECT_EQ(p.bufferMode, "wait");
    EXPECT_TRUE(p.noBFrames && p.tcpNoDelay && p.noPadding && p.fallbackPorts && p.fallbackTunnel &&
                p.startWithoutConnection && p.timecode && p.timecodeSystemTime && p.live && p.stats);
    EXPECT_EQ(p.userAgent, "UA/1");
    EXPECT_EQ(p.connectArgs, "{\"a\":1}");
    EXPECT_EQ(p.recordMode, "append");
    EXPECT_EQ(p.timecodeInterval, 500);
    EXPECT_EQ(p.timecodeStart, 1700000000);
    EXPECT_EQ(p.absoluteTime, 42u);
    EXPECT_EQ(p.audioDelay, -40);
    EXPECT_EQ(p.fps, "30000/1001");
    EXPECT_EQ(p.timestamps, "advanced");
    EXPECT_EQ(p.events, "json");
    EXPECT_EQ(p.log, "/tmp/x.log");
    EXPECT_EQ(p.logLevel, 5);
    EXPECT_EQ(p.control, "/tmp/ctl");
}

TEST(CommandLine, DefaultsLeaveTheFilterDefaultsAlone) {
    auto c = Parse({"rtmp://h/live/s", "--audio", "a.aac"});
    ASSERT_EQ(c.mode, app::CommandLine::Mode::Publish);
    EXPECT_FALSE(c.publish.reconnectAttempts);
    EXPECT_FALSE(c.publish.bufferSize);
    EXPECT_TRUE(c.publish.bufferMode.empty());
    EXPECT_TRUE(c.publish.timestamps.empty());
}

TEST(CommandLine, UsageErrorsExitWithTwoAndOneLine) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"rtmp://h/a/s"},
        {"--video", "v.h264"},
        {"rtmp://h/a/s", "--video", "-", "--audio", "-"},
        {"rtmp://h/a/s", "--video", "-", "--control", "-"},
        {"rtmp://h/a/s", "--video", "f", "--control", "f"},
        {"rtmp://h/a/s", "--video", "v", "--buffer-mode", "sometimes"},
        {"rtmp://h/a/s", "--video", "v", "--record-mode", "live2"},
        {"rtmp://h/a/s", "--video", "v", "--reconnect-interval", "99"},
        {"rtmp://h/a/s", "--video", "v", "--buffer-size", "104857601"},
        {"rtmp://h/a/s", "--video", "v", "--socket-buffer", "10485760"},
        {"rtmp://h/a/s", "--video", "v", "--timestamps", "simple"},
        {"rtmp://h/a/s", "--video", "v", "--events", "xml"},
        {"rtmp://h/a/s", "--video", "v", "--reconnect-attempts", "many"},
        {"rtmp://h/a/s", "--video", "v", "--no-such-option"},
        {"config", "get"},
        {"config"},
    };
    for (const auto& args : bad) {
        auto c = Parse(args);
        std::string joined;
        for (const auto& a : args) joined += a + " ";
        EXPECT_EQ(c.mode, app::CommandLine::Mode::Exit) << joined;
        EXPECT_EQ(c.exitCode, app::EXIT_USAGE) << joined;
        EXPECT_TRUE(c.outputIsError) << joined;
        EXPECT_EQ(c.output.find('\n'), std::string::npos) << joined << ": " << c.output;
        EXPECT_EQ(c.output.rfind("rtmpwriter: ", 0), 0u) << c.output;
    }
}

TEST(CommandLine, Subcommands) {
    auto c = Parse({"config", "set", "SendBufferSize", "1000"});
    EXPECT_EQ(c.mode, app::CommandLine::Mode::ConfigSet);
    EXPECT_EQ(c.config.name, "SendBufferSize");
    EXPECT_EQ(c.config.value, "1000");
    EXPECT_EQ(c.config.key, "SOFTWARE\\Quorvel\\RtmpSink");
    c = Parse({"config", "get", "LogToFile", "--key", "SOFTWARE\\DebugZeph\\x", "--machine"});
    EXPECT_EQ(c.mode, app::CommandLine::Mode::ConfigGet);
    EXPECT_EQ(c.config.key, "SOFTWARE\\DebugZeph\\x");
    EXPECT_TRUE(c.config.machine);
    EXPECT_EQ(Parse({"config", "list"}).mode, app::CommandLine::Mode::ConfigList);
    EXPECT_EQ(Parse({"config", "unset", "X"}).mode, app::CommandLine::Mode::ConfigUnset);
    c = Parse({"register", "--module", "/x.so"});
    EXPECT_EQ(c.mode, app::CommandLine::Mode::Register);
    EXPECT_EQ(c.module, "/x.so");
    EXPECT_EQ(Parse({"unregister"}).mode, app::CommandLine::Mode::Unregister);
    EXPECT_EQ(Parse({"filters"}).mode, app::CommandLine::Mode::Filters);
}

TEST(CommandLine, HelpDocumentsOptionsAndExitCodes) {
    auto c = Parse({"--help"});
    ASSERT_EQ(c.mode, app::CommandLine::Mode::Exit);
    EXPECT_EQ(c.exitCode, 0);
    EXPECT_FALSE(c.outputIsError);
    for (const char* opt : {"--video", "--audio", "--user", "--password", "--reconnect-attempts", "--reconnect-interval",
                            "--connect-timeout", "--send-timeout", "--receive-timeout", "--buffer-size", "--packet-size",
                            "--socket-buffer", "--buffer-mode", "--no-b-frames", "--tcp-nodelay", "--no-padding",
                            "--fallback-ports", "--fallback-tunnel", "--start-without-connection", "--user-agent",
                            "--connect-args", "--record-mode", "--timecode", "--timecode-interval", "--timecode-start",
                            "--timecode-system-time", "--absolute-time", "--live", "--audio-delay", "--fps",
                            "--timestamps", "--stats", "--events", "--log", "--control", "config", "register",
                            "unregister", "filters", "SIGINT", "cuepoint", "drop-connection"})
        EXPECT_NE(c.output.find(opt), std::string::npos) << opt;
    for (int code : {app::EXIT_OK, app::EXIT_INTERNAL, app::EXIT_USAGE, app::EXIT_INPUT, app::EXIT_CONNECT, app::EXIT_AUTH,
                     app::EXIT_CONNECTION_LOST})
        EXPECT_NE(c.output.find("\n  " + std::to_string(code) + "    "), std::string::npos) << code;
}

TEST(Rate, ParsesIntegersFractionsAndBroadcastDecimals) {
    auto r = app::ParseRate("25");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->num, 25);
    EXPECT_EQ(r->den, 1);
    r = app::ParseRate("29.97");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->num, 30000);
    EXPECT_EQ(r->den, 1001);
    r = app::ParseRate("59.94");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->num, 60000);
    r = app::ParseRate("12.5");
    ASSERT_TRUE(r);
    EXPECT_DOUBLE_EQ(r->value(), 12.5);
    r = app::ParseRate("30000/1001");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->den, 1001);
    for (const char* bad : {"", "0", "-5", "abc", "25fps", "1/0", "/5", "5/", "100000", "nan"})
        EXPECT_FALSE(app::ParseRate(bad)) << bad;
}

}  // namespace
