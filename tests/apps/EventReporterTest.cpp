// What the host prints: JSON events are one object per line and name every statistics field;
// human output keeps errors on a line of their own and the statistics line in place on a terminal.
#include <gtest/gtest.h>
#include <json/json.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "apps/EventReporter.h"

namespace {

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

TEST(EventReporter, JsonEventsAreOneObjectPerLineWithNamedFields) {
    Capture c;
    app::EventReporter r({true, false, false, false}, c.out, c.err);
    r.Started("rtmp://h/live/s", "H.264", "");
    r.Status(2, "rtmp://h/live+s");
    r.Statistics(Sample(), 3.25);
    r.Text("error", "RTMP: TCP connect failed: \"x\"\n");
    r.Control("cuepoint", true, "");
    r.Ended(0, 4.0);
    std::istringstream lines(c.Out());
    std::vector<Json::Value> e;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream one(line);
        ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), one, &e.emplace_back(), nullptr)) << line;
    }
    ASSERT_EQ(e.size(), 6u);
    EXPECT_EQ(e[0]["event"], "start");
    EXPECT_EQ(e[1]["status"], "reconnecting");
    EXPECT_EQ(e[1]["code"], 2);
    EXPECT_EQ(e[2]["event"], "statistics");
    EXPECT_EQ(e[2]["outputBitrate"].asInt64(), 5'000'000'000LL) << "both words of the 64-bit figure";
    for (auto [name, value] : {std::pair{"outputBufferSize", 262144}, {"outputBufferFillness", 4096}, {"roundTripTime", 12},
                               {"serverAckRate", 3}, {"bufferedAudioPackets", 4}, {"bufferedVideoPackets", 5},
                               {"audioBitrate", 128000}, {"videoBitrate", 900000}, {"audioMessagesSent", 47},
                               {"videoMessagesSent", 25}})
        EXPECT_EQ(e[2][name], value) << name;
    EXPECT_TRUE(e[2].isMember("ackBitrate") && e[2].isMember("payloadBitrate"));
    EXPECT_DOUBLE_EQ(e[2]["time"].asDouble(), 3.25);
    EXPECT_EQ(e[3]["message"], "RTMP: TCP connect failed: \"x\"\n");
    EXPECT_EQ(e[4]["result"], "ok");
    EXPECT_EQ(e[5]["exit"], 0);
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
