// Script data, commands and a restart injected while streaming, as the fake RTMP server receives
// them: one publication, several checkpoints.
#include "SinkIntegrationSupport.h"

using namespace sinkit;
using qvtest::FakeRtmpEntry;

class SinkWire : public SinkFixture {};

TEST_F(SinkWire, MetadataInjectionsAndARestartGoOutBetweenTheMediaMessages) {
    qvtest::FakeRtmpServer server;
    std::string error;
    ASSERT_TRUE(server.start({}, &error)) << error;
    CRTMPSink sink;
    int32_t videoRate = 2500000, audioRate = 128000;
    KeyValuePair r1{"videodatarate", &videoRate, KVP_INT32}, r2{"audiodatarate", &audioRate, KVP_INT32};
    const KeyValuePair* rates[] = {&r1, &r2};
    EXPECT_EQ(sink.SendMetadata(false, rates, 2), S_OK);  // not connected: remembered for the stream metadata
    ASSERT_TRUE(InitWithTracks(sink, Settings(server.url("live", "wire"))));
    Feeder feeder(sink, "high_bnone", "aac48s.aac", {.loops = 3});
    auto in = [](int type, const std::string& name = {}) {
        return [=](const FakeRtmpEntry& e) { return e.dir == "in" && (type < 0 || e.type == type) && (name.empty() || e.name == name); };
    };
    ASSERT_TRUE(server.waitFor([](const FakeRtmpEntry& e) { return e.dir == "in" && e.type == 9 && e.timestamp >= 500; }, 10s));

    double cueTime = 1.5;
    KeyValuePair c1{"name", "chapter", KVP_TEXT}, c2{"time", &cueTime, KVP_DOUBLE}, m1{"title", "live show", KVP_TEXT_WHOLE};
    const KeyValuePair *cue[] = {&c1, &c2}, *meta[] = {&m1};
    EXPECT_EQ(sink.SendCuepoint(cue, 2), S_OK);
    EXPECT_EQ(sink.SendMetadata(false, meta, 1), S_OK);
    EXPECT_EQ(sink.SendInvokeString(L"onTextData", L"{\"text\":\"hello\"}", L"", true), S_OK);
    EXPECT_EQ(sink.ClearMetadata(), S_OK);
    const wchar_t* names[] = {L"id", L"on"};
    VARIANT values[2], arg;
    values[0].vt = VT_UI4; values[0].ulVal = 7; values[1].vt = VT_BOOL; values[1].boolVal = VARIANT_TRUE;
    KeyValueList list{names, values, 2};
    arg.vt = VT_KEYVALUELIST; arg.pkvlVal = &list;
    EXPECT_EQ(sink.SendRTMPCommand("setState", &arg), S_OK);
    ASSERT_TRUE(server.waitFor(in(20, "setState"), 5s));

    // The restart unpublishes and sends FCPublish again (the first belongs to the connect
    // sequence); media resumes once the server answered or the client's wait passed.
    const auto firstFcPublish = server.waitFor(in(-1, "FCPublish"), 1s);
    ASSERT_TRUE(firstFcPublish);
    ASSERT_TRUE(sink.StartRestartStream());
    const auto again =
        server.waitFor([&](const FakeRtmpEntry& e) { return in(-1, "FCPublish")(e) && e.seq > firstFcPublish->seq; }, 15s);
    ASSERT_TRUE(again);
    ASSERT_TRUE(server.waitFor([&](const FakeRtmpEntry& e) { return in(9)(e) && e.seq > again->seq; }, 12s));
    feeder.Stop();
    sink.Close();
    server.stop();

    std::vector<FakeRtmpEntry> msgs;
    for (auto& e : server.record())
        if (e.kind == "message" && e.dir == "in") msgs.push_back(std::move(e));
    // Index of the first message from `from` on that passes; -1 when none does.
    auto find = [&](const std::function<bool(const FakeRtmpEntry&)>& pred, int from = 0) {
        const auto it = std::find_if(msgs.begin() + from, msgs.end(), pred);
        return it == msgs.end() ? -1 : static_cast<int>(it - msgs.begin());
    };
    auto onMetaData = [](const FakeRtmpEntry& e) {
        return e.type == 18 && e.name == "@setDataFrame" && e.amf.size() > 2 && e.amf[1] == "onMetaData";
    };
    const int streamMeta = find(onMetaData);
    ASSERT_GE(streamMeta, 0);
    EXPECT_LT(streamMeta, find([](const auto& e) { return e.type == 8 || e.type == 9; })) << "metadata after media";
    const Json::Value& sm = msgs[streamMeta].amf[2];
    EXPECT_EQ(sm["videodatarate"].asDouble(), 2500) << sm.toStyledString();
    EXPECT_EQ(sm["audiodatarate"].asDouble(), 128);
    EXPECT_EQ(sm["width"].asDouble(), 320);

    const int cueAt = find(in(18, "onCuePoint"));
    ASSERT_GE(cueAt, 0);
    const auto& cueMsg = msgs[cueAt];
    EXPECT_EQ(cueMsg.csid, 4);
    EXPECT_GT(cueMsg.timestamp, 400);  // stamped with the last media time, not 0
    EXPECT_EQ(cueMsg.amf[1]["name"].asString(), "chapter") << cueMsg.raw.toStyledString();
    EXPECT_EQ(cueMsg.amf[1]["time"].asDouble(), 1.5);
    const int userMeta = find([&](const auto& e) { return onMetaData(e) && e.amf[2].isMember("title"); });
    ASSERT_GE(userMeta, 0);
    EXPECT_EQ(msgs[userMeta].amf[2]["title"].asString(), "live show");
    EXPECT_EQ(find(onMetaData, streamMeta + 1), userMeta) << "stream metadata sent twice";
    const int invoke = find(in(18, "onTextData"));
    ASSERT_GE(invoke, 0);
    EXPECT_EQ(msgs[invoke].amf[1]["text"].asString(), "hello");
    EXPECT_GE(find(in(18, "@clearDataFrame")), 0);
    const int cmd = find(in(20, "setState"));
    ASSERT_GE(cmd, 0);
    EXPECT_EQ(msgs[cmd].csid, 3);
    // name, transaction 0, null, then the values in AMF3: integer 7 and true.
    const std::vector<uint8_t> tail{0x05, 0x11, 0x04, 0x07, 0x11, 0x03}, &bytes = msgs[cmd].bytes;
    ASSERT_GE(bytes.size(), tail.size());
    EXPECT_EQ(std::vector<uint8_t>(bytes.end() - static_cast<long>(tail.size()), bytes.end()), tail);
    EXPECT_GT(find([&](const auto& e) { return e.type == 9 && e.timestamp > cueMsg.timestamp; }), cueAt);

    const int unpublish = find(in(-1, "FCUnpublish"));
    const int republish = find([&](const auto& e) { return e.seq == again->seq; });
    ASSERT_GE(unpublish, cmd);
    ASSERT_GT(republish, unpublish);
    const int firstAfter = find(in(9), republish);
    ASSERT_GE(firstAfter, 0) << "no video after the restart";
    const auto& first = msgs[firstAfter].bytes;
    ASSERT_GE(first.size(), 2u);
    EXPECT_EQ(first[0], 0x17);  // key frame, AVC
    EXPECT_EQ(first[1], 0x00);  // sequence header
}
