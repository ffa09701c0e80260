// The host's text interfaces: the command line (subcommands and exit codes run end to end in
// tests/integration), control lines and their values, and what the host prints.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <tuple>

#include "apps/CommandLine.h"
#include "apps/ControlChannel.h"
#include "apps/Destinations.h"
#include "apps/ElementaryInput.h"
#include "apps/EventReporter.h"
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
                    "json", "--log", "/tmp/x.log", "--log-level", "5", "--control", "/tmp/ctl", "--drain-timeout", "2500",
                    "--ui", "[::1]:8080", "--ui-token", "tok-12345678", "--hold"});
    ASSERT_EQ(c.mode, app::CommandLine::Mode::Publish) << c.output;
    const app::PublishOptions& p = c.publish;
    EXPECT_EQ((std::vector<std::optional<int32_t>>{p.reconnectAttempts, p.reconnectInterval, p.connectTimeout,
                                                   p.sendTimeout, p.receiveTimeout, p.bufferSize, p.packetSize,
                                                   p.socketBuffer, p.timecodeInterval, p.timecodeStart, p.audioDelay,
                                                   p.logLevel}),
              (std::vector<std::optional<int32_t>>{-1, 250, 3, 100, 200, 1000, 1400, 65536, 500, 1700000000, -40, 5}));
    EXPECT_EQ(p.absoluteTime, 42u);
    EXPECT_EQ(p.drainTimeout, 2500);
    EXPECT_EQ(std::tie(p.ui, p.uiToken, p.hold), std::make_tuple(std::string("[::1]:8080"), std::string("tok-12345678"), true));
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
        {"rtmp://h/a/s", "--video", "v", "--drain-timeout", "-1"},
        {"rtmp://h/a/s", "--video", "v", "--ui", "localhost:8080"}, {"rtmp://h/a/s", "--video", "v", "--ui", "70000"},
        {"rtmp://h/a/s", "--video", "v", "--ui", "::1:8080"}, {"rtmp://h/a/s", "--video", "v", "--hold"},
        {"rtmp://h/a/s", "--video", "v", "--ui", "8080", "--ui-token", "short"},
        {"rtmp://h/a/s", "--video", "v", "--ui-token", "long-enough-token"},
        {"rtmp://h/a/s", "rtmp://h/a/t", "--video", "v", "--ui", "8080"}, {"--output", "rtmp://h/a/s", "--output"},
        {"--video", "v", "--config", "/no/such/file.json"},
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

using Kind = app::ControlCommand::Kind;
constexpr size_t kMax = app::LineSplitter::kMaxLine;

TEST(LineSplitter, CutsLinesAcrossPushesAndEndingsAndCapsTheirLength) {
    app::LineSplitter s;
    auto push = [&](const std::string& text) {
        s.Push({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
        std::vector<std::string> out;
        bool tooLong = false;
        while (auto l = s.Next(&tooLong)) out.push_back(*l + (tooLong ? "<cut>" : ""));
        return out;
    };
    EXPECT_EQ(push("{\"a\":1}\r\n{\"b\""), std::vector<std::string>{"{\"a\":1}"});
    // The rest of an overlong line is dropped.
    EXPECT_EQ(push(":2}\n\n" + std::string(kMax + 10, 'x') + "\nok\nlast"),
              (std::vector<std::string>{"{\"b\":2}", "", std::string(kMax, 'x') + "<cut>", "ok"}));
    EXPECT_EQ(s.Rest(), std::optional<std::string>("last"));
}

TEST(ControlLine, EachDocumentedObjectIsRecognisedAndBadOnesRefused) {
    struct Case {
        const char* line;
        Kind kind;
        std::string name, values;
        bool store;
    } cases[] = {
        {R"({"cuepoint": {"name": "ad", "time": 12.5}})", Kind::CuePoint, "", R"({"name":"ad","time":12.5})", false},
        {R"({"metadata": {"title": "x"}})", Kind::Metadata, "", R"({"title":"x"})", false},
        {R"({"invoke": {"name": "onText", "args": {"text": "hi"}, "store": true}})", Kind::Invoke, "onText",
         R"({"text":"hi"})", true},
        {R"({"invoke": {"name": "onPing"}})", Kind::Invoke, "onPing", "{}", false},
        {R"({"command": "ping"})", Kind::Command, "ping", "null", false},
        {R"({"command": {"name": "setTitle", "args": {"t": "x"}}})", Kind::Command, "setTitle", R"({"t":"x"})", false},
        {R"({"clear-metadata": true})", Kind::ClearMetadata, "", "null", false},
        {R"({"restart": true})", Kind::Restart, "", "null", false},
        {R"({"drop-connection": true})", Kind::DropConnection, "", "null", false},
    };
    Json::StreamWriterBuilder compact;
    compact["indentation"] = "";
    for (const Case& k : cases) {
        SCOPED_TRACE(k.line);
        std::string err;
        auto c = app::ParseControlLine(k.line, &err);
        ASSERT_TRUE(c) << err;
        EXPECT_EQ(std::tuple(c->kind, c->name, Json::writeString(compact, c->values), c->store),
                  std::tuple(k.kind, k.name, k.values, k.store));
    }
    for (const std::string& line : std::vector<std::string>{"not json", "[1,2]", "{}", R"({"cuepoint": {}, "restart": true})", R"({"cuepoint": 5})",
                                    R"({"cuepoint": {}})", R"({"invoke": {"args": {}}})", R"({"invoke": {"name": "x", "args": 3}})",
                                    R"({"command": ""})", R"({"command": {"args": {}}})", R"({"restart": false})",
                                    R"({"launch": true})", R"({"a": )", "{\"deep\": " + std::string(100, '[')}) {
        std::string err;
        EXPECT_FALSE(app::ParseControlLine(line, &err)) << line;
        EXPECT_FALSE(err.empty()) << line;
        EXPECT_EQ(err.find('\n'), std::string::npos) << "one line: " << err;
    }
}

TEST(ControlValues, PairsAreTypedInNameOrderAndCommandArgumentsNest) {
    Json::Value v;
    ASSERT_TRUE(Json::Reader().parse(R"({"name": "ad", "n": 7, "t": 12.5, "on": true, "big": 5000000000, "s": "é"})", v));
    std::string err, got;  // name=<type letter><value>
    app::PairList pairs;
    ASSERT_TRUE(pairs.Build(v, &err)) << err;
    for (int i = 0; i < pairs.count(); ++i) {
        const KeyValuePair& kv = *pairs.data()[i];
        got += std::string(" ") + kv.key + "=" +
               (kv.type == KVP_DOUBLE  ? "d" + std::to_string(*static_cast<const double*>(kv.value))
                : kv.type == KVP_INT32 ? "i" + std::to_string(*static_cast<const int32_t*>(kv.value))
                : kv.type == KVP_TEXT  ? "s" + std::string(static_cast<const char*>(kv.value))
                : kv.type == KVP_BOOL  ? "b" + std::to_string(*static_cast<const uint8_t*>(kv.value))
                                       : "?");
    }
    EXPECT_EQ(got, " big=d5000000000.000000 n=i7 name=sad on=b1 s=s\u00e9 t=d12.500000") << "past 32 bits is a double";
    v["o"]["k"] = 1;
    v["z"] = Json::Value();
    app::PairList nested;
    EXPECT_FALSE(nested.Build(v, &err));
    EXPECT_NE(err.find("\"o\""), std::string::npos) << "the error names the member: " << err;

    app::ArgumentList args;  // the fraction, the big number and the null have no command form
    args.Build(v);
    ASSERT_EQ(args.variant().vt, VT_KEYVALUELIST);
    const KeyValueList& list = *args.variant().pkvlVal;
    ASSERT_EQ(list.count, 5u);
    EXPECT_EQ(std::vector<std::wstring>(list.names, list.names + 5), (std::vector<std::wstring>{L"n", L"name", L"o", L"on", L"s"}));
    std::vector<VARTYPE> types;
    for (uint32_t i = 0; i < 5; ++i) types.push_back(list.values[i].vt);
    EXPECT_EQ(types, (std::vector<VARTYPE>{VT_INT, VT_BSTR, VT_KEYVALUELIST, VT_BOOL, VT_BSTR}));
    EXPECT_EQ(std::tuple(list.values[0].intVal, list.values[3].boolVal), std::tuple(7, VARIANT_TRUE));
    EXPECT_STREQ(list.values[4].bstrVal, L"\u00e9");
    ASSERT_EQ(list.values[2].pkvlVal->count, 1u);
    EXPECT_EQ(list.values[2].pkvlVal->values[0].intVal, 1);
}

// Both streams go to memory; Out() and Err() flush and return what was written so far.
struct Capture {
    char *outText = nullptr, *errText = nullptr;
    size_t outLen = 0, errLen = 0;
    FILE* out = open_memstream(&outText, &outLen);
    FILE* err = open_memstream(&errText, &errLen);
    ~Capture() { std::fclose(out), std::fclose(err), std::free(outText), std::free(errText); }
    std::string Out() { return std::fflush(out), std::string(outText, outLen); }
    std::string Err() { return std::fflush(err), std::string(errText, errLen); }
};

RTMPStatistics Sample() {
    RTMPStatistics s;
    s.outputBufferSize = 262144, s.outputBufferFillness = 4096, s.roundTripTime = 12, s.serverAckRate = 3;
    s.bufferedAudioPackets = 4, s.bufferedVideoPackets = 5, s.audioBitrate = 128000, s.videoBitrate = 900000;
    s.audioMessagesSent = 47, s.videoMessagesSent = 25;
    RTMPStatistics::Set64(s.outputBitrateLow, s.outputBitrateHigh, 5'000'000'000LL);
    return s;
}

// URL arguments and --output in their order, then the file's outputs, each the command line's
// options with its own entry's on top; a bad file is refused as a whole, saying where.
TEST(Destinations, CommandLineAndConfigFileOutputsWithTheirOwnOptions) {
    auto c = Parse({"rtmp://h/a/one", "rtmp://h/a/two", "--output", "rtmp://h/a/three", "--video", "v", "--user", "all",
                    "--buffer-mode", "drop"});
    ASSERT_EQ(c.mode, app::CommandLine::Mode::Publish) << c.output;
    EXPECT_EQ(c.publish.outputs, (std::vector<std::string>{"rtmp://h/a/one", "rtmp://h/a/two", "rtmp://h/a/three"}));
    std::string error;
    auto fromLine = app::ResolveDestinations(c.publish, &error);
    ASSERT_TRUE(fromLine) << error;
    ASSERT_EQ(fromLine->size(), 3u);
    EXPECT_EQ((*fromLine)[2].url, "rtmp://h/a/three");
    EXPECT_EQ((*fromLine)[2].user, "all");

    const std::string good = R"({"outputs": [
        {"url": "rtmp://x/live/a", "user": "u", "password": "p", "connect-args": {"k": 1}, "record-mode": "record",
         "buffer-mode": "wait", "buffer-size": 65536, "socket-buffer": 8192, "reconnect-attempts": -1,
         "reconnect-interval": 1000, "user-agent": "UA"},
        {"url": "rtmp://y/live/b"}]})";
    auto file = app::ParseDestinations(c.publish, good, &error);
    ASSERT_TRUE(file) << error;
    ASSERT_EQ(file->size(), 2u);
    const app::PublishOptions& a = (*file)[0];
    EXPECT_EQ(std::tie(a.url, a.user, a.password, a.connectArgs, a.recordMode, a.bufferMode, a.userAgent),
              std::make_tuple(std::string("rtmp://x/live/a"), std::string("u"), std::string("p"), std::string(R"({"k":1})"),
                              std::string("record"), std::string("wait"), std::string("UA")));
    EXPECT_EQ((std::vector<std::optional<int32_t>>{a.bufferSize, a.socketBuffer, a.reconnectAttempts, a.reconnectInterval}),
              (std::vector<std::optional<int32_t>>{65536, 8192, -1, 1000}));
    EXPECT_EQ(std::tie((*file)[1].user, (*file)[1].bufferMode), std::make_tuple(std::string("all"), std::string("drop")));

    const std::vector<std::pair<std::string, std::string>> bad{
        {"", "not JSON"},
        {"[]", "expected {\"outputs\""},
        {R"({"outputs": {}})", "expected {\"outputs\""},
        {R"({"outputs": [1]})", "output 1 is not an object"},
        {R"({"outputs": [{"user": "u"}]})", "output 1 has no \"url\""},
        {R"({"outputs": [{"url": "rtmp://a/b/c"}, {"url": "rtmp://a/b/d", "pasword": "x"}]})",
         "output 2 has an unknown option \"pasword\""},
        {R"({"outputs": [{"url": "rtmp://a/b/c", "user": 7}]})", "\"user\" is not a string"},
        {R"({"outputs": [{"url": "rtmp://a/b/c", "buffer-mode": "sometimes"}]})", "not one of the allowed values"},
        {R"({"outputs": [{"url": "rtmp://a/b/c", "reconnect-interval": 99}]})", "from 100 to 86400000"},
        {R"({"outputs": [{"url": "rtmp://a/b/c", "reconnect-attempts": 1.5}]})", "whole number"},
        {R"({"outputs": [{"url": "rtmp://a/b/c", "connect-args": "k=1"}]})", "\"connect-args\" is not an object"},
        {R"({"outputs": [{"url": "rtmp://a/b/c", "url": "rtmp://a/b/d"}]})", "not JSON"},
        {std::string(100, '[') + std::string(100, ']'), "not JSON"},
        {"{\"outputs\": [" + [] {
             std::string many;
             for (int i = 0; i <= 1000; ++i) many += std::string(i ? "," : "") + R"({"url": "rtmp://a/b/c"})";
             return many;
         }() + "]}",
         "more than 1000 outputs"},
    };
    for (const auto& [text, why] : bad) {
        SCOPED_TRACE(text.substr(0, 80));
        std::string e;
        EXPECT_FALSE(app::ParseDestinations(c.publish, text, &e));
        EXPECT_NE(e.find(why), std::string::npos) << e;
    }
}

TEST(EventReporter, SeveralDestinationsSayWhichOneEachLineIsAbout) {
    Capture c;
    app::EventReporter r({true, true, true, false, 3}, c.out, c.err);
    r.Status(0, "rtmp://h/live/s");
    r.Statistics(Sample(), 1);
    r.Error("cannot publish");
    r.Control("cuepoint", false, "refused");
    EXPECT_EQ(c.Out().rfind(R"({"code":0,"destination":3,"event":"status")", 0), 0u) << c.Out();
    EXPECT_NE(c.Out().find(R"("destination":3,"event":"statistics")"), std::string::npos) << c.Out();
    EXPECT_EQ(c.Err().rfind("rtmpwriter: [3] status: connected\n[3] 00:00:01  out ", 0), 0u) << c.Err();
    EXPECT_NE(c.Err().find("\nrtmpwriter: [3] cannot publish\n"), std::string::npos) << c.Err();
    EXPECT_NE(c.Out().find(R"({"command":"cuepoint","destination":3,"event":"control")"), std::string::npos) << c.Out();
}

TEST(EventReporter, JsonEventsAreOneObjectPerLineWithNamedFields) {
    Capture c;
    app::EventReporter r({true, false, false, false}, c.out, c.err);
    r.Started("rtmp://h/live/s", "H.264", "");
    r.Status(2, "rtmp://h/live+s");
    r.Statistics(Sample(), 3.25);
    r.Text("error", "RTMP: TCP connect failed: \"x\"\n");
    r.Control("cuepoint", true, "");
    r.Ended(0, 4.0);
    // Every statistics field by name; the bitrate past 32 bits from both of its words.
    EXPECT_EQ(c.Out(), R"({"event":"start","url":"rtmp://h/live/s","video":"H.264"}
{"code":2,"event":"status","status":"reconnecting","stream":"rtmp://h/live+s"}
{"ackBitrate":0,"audioBitrate":128000,"audioMessagesSent":47,"bufferedAudioPackets":4,"bufferedVideoPackets":5,)"
                       R"("event":"statistics","outputBitrate":5000000000,"outputBufferFillness":4096,"outputBufferSize":262144,)"
                       R"("payloadBitrate":0,"roundTripTime":12,"serverAckRate":3,"time":3.25,"videoBitrate":900000,"videoMessagesSent":25}
{"category":"error","event":"text","message":"RTMP: TCP connect failed: \"x\"\n"}
{"command":"cuepoint","event":"control","result":"ok"}
{"event":"end","exit":0,"time":4.0}
)");
    EXPECT_EQ(c.Err(), "");
}

TEST(EventReporter, HumanOutputOnATerminalAndWithoutReporting) {
    Capture c;
    app::EventReporter r({false, true, true, true}, c.out, c.err);
    r.Statistics(Sample(), 61);
    r.Statistics(Sample(), 62);
    r.Error("cannot publish");
    const std::string err = c.Err();
    EXPECT_EQ(err.rfind("\r00:01:01  out 5000.00 Mbit/s  video 900 kbit/s  audio 128 kbit/s", 0), 0u) << err;
    EXPECT_NE(err.find("\r00:01:02"), std::string::npos);
    EXPECT_NE(err.find("\nrtmpwriter: cannot publish\n"), std::string::npos) << "the error starts a line: " << err;
    EXPECT_EQ(c.Out(), "");

    Capture quiet;
    app::EventReporter q({false, false, false, false}, quiet.out, quiet.err);
    q.Started("u", "v", "a");
    q.Status(0, "s");
    q.Statistics(Sample(), 1);
    q.Text("error", "x");
    q.Control("cuepoint", false, "cuepoint: refused");
    q.Error("bad URL");
    EXPECT_EQ(quiet.Err(), "rtmpwriter: control: cuepoint: refused\nrtmpwriter: bad URL\n");
    EXPECT_EQ(quiet.Out(), "");
}

}  // namespace
