// What the host prints: the JSON events name every statistics field and are one object per
// line; human output keeps errors to one line and the statistics line in place on a terminal.
#include <gtest/gtest.h>
#include <json/json.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "apps/EventReporter.h"

namespace {

struct Capture {
    Capture() : out(std::tmpfile()), err(std::tmpfile()) {}
    ~Capture() {
        std::fclose(out);
        std::fclose(err);
    }
    static std::string Read(FILE* f) {
        std::fflush(f);
        std::rewind(f);
        std::string s;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
        return s;
    }
    FILE* out;
    FILE* err;
};

RTMPStatistics Sample() {
    RTMPStatistics s;
    s.outputBufferSize = 262144;
    s.outputBufferFillness = 4096;
    RTMPStatistics::Set64(s.outputBitrateLow, s.outputBitrateHigh, 5'000'000'000LL);
    s.roundTripTime = 12;
    s.serverAckRate = 3;
    s.bufferedAudioPackets = 4;
    s.bufferedVideoPackets = 5;
    s.audioBitrate = 128000;
    s.videoBitrate = 900000;
    s.audioMessagesSent = 47;
    s.videoMessagesSent = 25;
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
    std::istringstream lines(Capture::Read(c.out));
    std::vector<Json::Value> events;
    for (std::string line; std::getline(lines, line);) {
        Json::Value v;
        std::istringstream one(line);
        ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), one, &v, nullptr)) << line;
        events.push_back(v);
    }
    ASSERT_EQ(events.size(), 6u);
    EXPECT_EQ(events[0]["event"], "start");
    EXPECT_EQ(events[1]["status"], "reconnecting");
    EXPECT_EQ(events[1]["code"], 2);
    const Json::Value& s = events[2];
    EXPECT_EQ(s["event"], "statistics");
    EXPECT_EQ(s["outputBitrate"].asInt64(), 5'000'000'000LL);  // both words of the 64-bit figure
    EXPECT_EQ(s["outputBufferSize"], 262144);
    EXPECT_EQ(s["outputBufferFillness"], 4096);
    EXPECT_EQ(s["roundTripTime"], 12);
    EXPECT_EQ(s["serverAckRate"], 3);
    EXPECT_EQ(s["bufferedAudioPackets"], 4);
    EXPECT_EQ(s["bufferedVideoPackets"], 5);
    EXPECT_EQ(s["audioBitrate"], 128000);
    EXPECT_EQ(s["videoBitrate"], 900000);
    EXPECT_EQ(s["audioMessagesSent"], 47);
    EXPECT_EQ(s["videoMessagesSent"], 25);
    EXPECT_TRUE(s.isMember("ackBitrate") && s.isMember("payloadBitrate"));
    EXPECT_DOUBLE_EQ(s["time"].asDouble(), 3.25);
    EXPECT_EQ(events[3]["message"], "RTMP: TCP connect failed: \"x\"\n");
    EXPECT_EQ(events[4]["result"], "ok");
    EXPECT_EQ(events[5]["exit"], 0);
    EXPECT_EQ(Capture::Read(c.err), "");
}

TEST(EventReporter, StatisticsLineUpdatesInPlaceOnATerminal) {
    Capture c;
    app::EventReporter r({false, true, true, true}, c.out, c.err);
    r.Statistics(Sample(), 61);
    r.Statistics(Sample(), 62);
    r.Error("cannot publish");
    const std::string err = Capture::Read(c.err);
    EXPECT_EQ(err.rfind("\r00:01:01  out 5000.00 Mbit/s  video 900 kbit/s  audio 128 kbit/s", 0), 0u) << err;
    EXPECT_NE(err.find("\r00:01:02"), std::string::npos);
    // The error starts on a line of its own.
    EXPECT_NE(err.find("\nrtmpwriter: cannot publish\n"), std::string::npos) << err;
    EXPECT_EQ(Capture::Read(c.out), "");
}

TEST(EventReporter, WithoutAnyReportingOnlyErrorsAreWritten) {
    Capture c;
    app::EventReporter r({false, false, false, false}, c.out, c.err);
    r.Started("u", "v", "a");
    r.Status(0, "s");
    r.Statistics(Sample(), 1);
    r.Text("error", "x");
    r.Control("cuepoint", false, "cuepoint: refused");
    r.Error("bad URL");
    EXPECT_EQ(Capture::Read(c.err), "rtmpwriter: control: cuepoint: refused\nrtmpwriter: bad URL\n");
    EXPECT_EQ(Capture::Read(c.out), "");
}

}  // namespace
