// Script data and commands injected while streaming, as the fake RTMP server receives them.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "../sink/TestDriver.h"
#include "SinkIntegrationSupport.h"

using namespace std::chrono_literals;
using namespace sinkit;

namespace {

class SinkWire : public SinkFixture {};

TEST_F(SinkWire, MetadataCuePointsInvokeStringsAndCommandsGoOutBetweenTheMediaMessages) {
    qvtest::FakeRtmpServer server;
    qvtest::FakeRtmpOptions fo;
    fo.timeLimitSeconds = 60;
    std::string error;
    ASSERT_TRUE(server.start(fo, &error)) << error;

    CRTMPSink sink;
    ConnectionSettings s = Settings(server.url("live", "wire"));
    ASSERT_EQ(sink.Init(s, nullptr), 0);
    ASSERT_TRUE(sink.AddTrack(s.videoFormat, TRACK_TYPE_VIDEO, 0));
    ASSERT_TRUE(sink.AddTrack(s.audioFormat, TRACK_TYPE_AUDIO, 0));
    const auto video = sinktest::ReadH264(Fixture("high_bnone.h264"), 25, Fixture("high_bnone.packets.csv"));
    const auto audio = sinktest::ReadAdts(Fixture("aac48s.aac"));
    platform::CEvent stop(true, false);
    auto producer = std::async(std::launch::async, [&] {
        sinktest::DriveOptions o;
        o.stop = &stop;
        return sinktest::Drive(sink, video, audio, o);
    });
    ASSERT_TRUE(server.waitFor([](const qvtest::FakeRtmpEntry& e) { return e.dir == "in" && e.type == 9 && e.timestamp >= 500; },
                               10s));

    const char* cueName = "chapter";
    double cueTime = 1.5;
    KeyValuePair c1{"name", cueName, KVP_TEXT}, c2{"time", &cueTime, KVP_DOUBLE};
    const KeyValuePair* cue[] = {&c1, &c2};
    EXPECT_EQ(sink.SendCuepoint(cue, 2), S_OK);
    const char* title = "live show";
    KeyValuePair m1{"title", title, KVP_TEXT_WHOLE};
    const KeyValuePair* meta[] = {&m1};
    EXPECT_EQ(sink.SendMetadata(false, meta, 1), S_OK);
    EXPECT_EQ(sink.SendInvokeString(L"onTextData", L"{\"text\":\"hello\"}", L"", true), S_OK);
    EXPECT_EQ(sink.ClearMetadata(), S_OK);
    const wchar_t* names[] = {L"id", L"on"};
    VARIANT values[2];
    values[0].vt = VT_UI4;
    values[0].ulVal = 7;
    values[1].vt = VT_BOOL;
    values[1].boolVal = VARIANT_TRUE;
    KeyValueList list{names, values, 2};
    VARIANT arg;
    arg.vt = VT_KEYVALUELIST;
    arg.pkvlVal = &list;
    EXPECT_EQ(sink.SendRTMPCommand("setState", &arg), S_OK);
    ASSERT_TRUE(server.waitFor([](const qvtest::FakeRtmpEntry& e) { return e.dir == "in" && e.name == "setState"; }, 5s));
    stop.Set();
    producer.get();
    sink.Close();
    server.stop();

    const auto rec = server.record();
    std::vector<const qvtest::FakeRtmpEntry*> in;
    for (const auto& e : rec)
        if (e.kind == "message" && e.dir == "in") in.push_back(&e);
    auto find = [&](const std::function<bool(const qvtest::FakeRtmpEntry&)>& pred) -> int {
        for (size_t i = 0; i < in.size(); ++i)
            if (pred(*in[i])) return static_cast<int>(i);
        return -1;
    };
    auto secondString = [](const qvtest::FakeRtmpEntry& e) {
        return e.amf.isArray() && e.amf.size() > 1 && e.amf[1].isString() ? e.amf[1].asString() : std::string{};
    };
    const int firstMedia = find([](const auto& e) { return e.type == 8 || e.type == 9; });
    const int streamMeta = find([&](const auto& e) { return e.type == 18 && e.name == "@setDataFrame" && secondString(e) == "onMetaData"; });
    ASSERT_GE(streamMeta, 0);
    EXPECT_LT(streamMeta, firstMedia) << "the stream metadata goes out before the first media message";

    const int cueAt = find([](const auto& e) { return e.type == 18 && e.name == "onCuePoint"; });
    ASSERT_GE(cueAt, 0);
    const auto& cueMsg = *in[static_cast<size_t>(cueAt)];
    EXPECT_EQ(cueMsg.csid, 4);
    EXPECT_GT(cueMsg.timestamp, 400);  // stamped with the last media time, not 0
    EXPECT_EQ(cueMsg.amf[1]["name"].asString(), "chapter") << cueMsg.raw.toStyledString();
    EXPECT_EQ(cueMsg.amf[1]["time"].asDouble(), 1.5);

    const int userMeta = find([&](const auto& e) {
        return e.type == 18 && e.name == "@setDataFrame" && secondString(e) == "onMetaData" && e.amf.size() > 2 &&
               e.amf[2].isMember("title");
    });
    ASSERT_GE(userMeta, 0);
    EXPECT_EQ(in[static_cast<size_t>(userMeta)]->amf[2]["title"].asString(), "live show");
    const int invoke = find([](const auto& e) { return e.type == 18 && e.name == "onTextData"; });
    ASSERT_GE(invoke, 0);
    EXPECT_EQ(in[static_cast<size_t>(invoke)]->amf[1]["text"].asString(), "hello");
    EXPECT_GE(find([](const auto& e) { return e.type == 18 && e.name == "@clearDataFrame"; }), 0);

    const int cmd = find([](const auto& e) { return e.type == 20 && e.name == "setState"; });
    ASSERT_GE(cmd, 0);
    const auto& cmdMsg = *in[static_cast<size_t>(cmd)];
    EXPECT_EQ(cmdMsg.csid, 3);
    // name, transaction 0, null, then the values in AMF3: integer 7 and true.
    const std::vector<uint8_t> tail{0x05, 0x11, 0x04, 0x07, 0x11, 0x03};
    ASSERT_GE(cmdMsg.bytes.size(), tail.size());
    EXPECT_EQ(std::vector<uint8_t>(cmdMsg.bytes.end() - static_cast<long>(tail.size()), cmdMsg.bytes.end()), tail);
    // Media continued after the injections.
    EXPECT_GT(find([&](const auto& e) { return e.type == 9 && e.timestamp > cueMsg.timestamp; }), cueAt);
}

TEST_F(SinkWire, DataRatesGivenBeforeConnectingGoIntoTheStreamMetadata) {
    qvtest::FakeRtmpServer server;
    qvtest::FakeRtmpOptions fo;
    std::string error;
    ASSERT_TRUE(server.start(fo, &error)) << error;
    CRTMPSink sink;
    int32_t videoRate = 2500000, audioRate = 128000;
    KeyValuePair v{"videodatarate", &videoRate, KVP_INT32}, a{"audiodatarate", &audioRate, KVP_INT32};
    const KeyValuePair* rates[] = {&v, &a};
    EXPECT_EQ(sink.SendMetadata(false, rates, 2), S_OK);  // not connected: remembered only
    ConnectionSettings s = Settings(server.url("live", "rates"));
    ASSERT_EQ(sink.Init(s, nullptr), 0);
    ASSERT_TRUE(sink.AddTrack(s.videoFormat, TRACK_TYPE_VIDEO, 0));
    ASSERT_TRUE(sink.AddTrack(s.audioFormat, TRACK_TYPE_AUDIO, 0));
    const auto video = sinktest::ReadH264(Fixture("high_bnone.h264"), 25, Fixture("high_bnone.packets.csv"));
    const auto audio = sinktest::ReadAdts(Fixture("aac48s.aac"));
    sinktest::DriveOptions o;
    o.realTime = false;
    sinktest::Drive(sink, std::vector<sinktest::MediaUnit>(video.begin(), video.begin() + 10),
                    std::vector<sinktest::MediaUnit>(audio.begin(), audio.begin() + 10), o);
    sink.Flush(true, false);
    sink.Close();
    server.stop();
    int metadata = 0;
    for (const auto& e : server.record()) {
        if (e.dir != "in" || e.type != 18 || e.name != "@setDataFrame") continue;
        ++metadata;
        EXPECT_EQ(e.amf[1].asString(), "onMetaData");
        EXPECT_EQ(e.amf[2]["videodatarate"].asDouble(), 2500) << e.raw.toStyledString();
        EXPECT_EQ(e.amf[2]["audiodatarate"].asDouble(), 128);
        EXPECT_EQ(e.amf[2]["width"].asDouble(), 320);
    }
    EXPECT_EQ(metadata, 1);
}

TEST_F(SinkWire, ARestartUnpublishesPublishesAgainAndResumesWithAConfigUnit) {
    qvtest::FakeRtmpServer server;
    qvtest::FakeRtmpOptions fo;
    std::string error;
    ASSERT_TRUE(server.start(fo, &error)) << error;
    CRTMPSink sink;
    ConnectionSettings s = Settings(server.url("live", "restart"));
    ASSERT_EQ(sink.Init(s, nullptr), 0);
    ASSERT_TRUE(sink.AddTrack(s.videoFormat, TRACK_TYPE_VIDEO, 0));
    ASSERT_TRUE(sink.AddTrack(s.audioFormat, TRACK_TYPE_AUDIO, 0));
    const auto video = sinktest::ReadH264(Fixture("high_bnone.h264"), 25, Fixture("high_bnone.packets.csv"));
    const auto audio = sinktest::ReadAdts(Fixture("aac48s.aac"));
    platform::CEvent stop(true, false);
    auto producer = std::async(std::launch::async, [&] {
        sinktest::DriveOptions o;
        o.stop = &stop;
        o.loops = 3;
        return sinktest::Drive(sink, video, audio, o);
    });
    ASSERT_TRUE(server.waitFor([](const qvtest::FakeRtmpEntry& e) { return e.dir == "in" && e.type == 9 && e.timestamp >= 400; },
                               10s));
    ASSERT_TRUE(sink.StartRestartStream());
    // The first FCPublish belongs to the connect sequence; the restart sends another.
    int64_t firstFcPublish = -1;
    for (const auto& e : server.record())
        if (e.dir == "in" && e.name == "FCPublish" && firstFcPublish < 0) firstFcPublish = e.seq;
    const auto again = server.waitFor(
        [&](const qvtest::FakeRtmpEntry& e) { return e.dir == "in" && e.name == "FCPublish" && e.seq > firstFcPublish; }, 5s);
    ASSERT_TRUE(again);
    // Media again after the restart (the restart holds input back until the server has answered
    // or the client's wait has passed), beginning with the decoder configuration.
    ASSERT_TRUE(server.waitFor([&](const qvtest::FakeRtmpEntry& e) { return e.dir == "in" && e.type == 9 && e.seq > again->seq; },
                               12s));
    stop.Set();
    producer.get();
    sink.Close();
    server.stop();
    const auto rec = server.record();
    int unpublish = -1, republish = -1;
    for (size_t i = 0; i < rec.size(); ++i) {
        const auto& e = rec[i];
        if (e.dir != "in" || e.kind != "message") continue;
        if (e.name == "FCUnpublish" && unpublish < 0) unpublish = static_cast<int>(i);
        if (e.name == "FCPublish" && e.seq == again->seq) republish = static_cast<int>(i);
    }
    ASSERT_GE(unpublish, 0);
    ASSERT_GT(republish, unpublish);
    const qvtest::FakeRtmpEntry* firstAfter = nullptr;
    for (size_t i = static_cast<size_t>(republish); i < rec.size() && !firstAfter; ++i)
        if (rec[i].dir == "in" && rec[i].type == 9) firstAfter = &rec[i];
    ASSERT_NE(firstAfter, nullptr) << "no video after the restart";
    ASSERT_GE(firstAfter->bytes.size(), 2u);
    EXPECT_EQ(firstAfter->bytes[0], 0x17);  // key frame, AVC
    EXPECT_EQ(firstAfter->bytes[1], 0x00);  // sequence header
}

}  // namespace
