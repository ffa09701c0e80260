// Command and data message bodies, and JSON to AMF0.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "rtmp/Commands.h"
#include "rtmp/JsonAmf0.h"
#include "TestSupport.h"

using namespace rtmptest;

namespace {

// Hand encodings, independent of the writer under test.
Bytes S(const std::string& s) { return Cat({{0x02, uint8_t(s.size() >> 8), uint8_t(s.size())}, Str(s)}); }
Bytes K(const std::string& s) { return Cat({{uint8_t(s.size() >> 8), uint8_t(s.size())}, Str(s)}); }
const Bytes END = {0x00, 0x00, 0x09};
const Bytes NUL = {0x05};
const Bytes N1 = {0x00, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0};
const Bytes N2 = {0x00, 0x40, 0x00, 0, 0, 0, 0, 0, 0};
const Bytes N3 = {0x00, 0x40, 0x08, 0, 0, 0, 0, 0, 0};
const Bytes N4 = {0x00, 0x40, 0x10, 0, 0, 0, 0, 0, 0};
const Bytes N5 = {0x00, 0x40, 0x14, 0, 0, 0, 0, 0, 0};
const Bytes TRUE_ = {0x01, 0x01};
const Bytes FALSE_ = {0x01, 0x00};
const char* const FMLE = "FMLE/3.0 (compatible; FMSc/1.0)";

Bytes Body(const BS::DataPtr& d) {
    EXPECT_TRUE(d);
    return d ? ToBytes(*d) : Bytes{};
}

TEST(Commands, ConnectWithoutAuthentication) {
    rtmp::ConnectParams p;
    p.host = "h";
    p.appPath = "live";
    p.flashVer = FMLE;
    BS::DataPtr d = rtmp::BuildConnect(p);
    EXPECT_EQ(Body(d), Cat({S("connect"), N1, {0x03}, K("app"), S("live"), K("flashVer"), S(FMLE), K("tcUrl"),
                            S("rtmp://h/live"), END}));
    EXPECT_EQ(d->dts, 0);
    EXPECT_EQ(d->size_max, 4096);
}

TEST(Commands, ConnectWithAuthenticationQueryAndTunnel) {
    rtmp::ConnectParams p;
    p.host = "h";
    p.appPath = "app/inst?x=1";
    p.authQuery = "authmod=adobe&user=u";
    p.tunnel = true;
    p.flashVer = "ua";
    const std::string app = "app/inst?x=1&authmod=adobe&user=u";
    EXPECT_EQ(Body(rtmp::BuildConnect(p)), Cat({S("connect"), N1, {0x03}, K("app"), S(app), K("type"), S("nonprivate"),
                                                K("flashVer"), S("ua"), K("tcUrl"), S("rtmpt://h/" + app), END}));
}

TEST(Commands, ConnectArgumentsFromJson) {
    rtmp::ConnectParams p;
    p.host = "h";
    p.appPath = "a";
    p.flashVer = "ua";
    const Bytes base = Cat({S("connect"), N1, {0x03}, K("app"), S("a"), K("flashVer"), S("ua"), K("tcUrl"), S("rtmp://h/a"), END});

    p.connectArgs = R"({"a": 1, "b": "x", "c": true, "d": null, "e": [1], "": 7, "f": {"g": 1}})";
    BS::DataPtr d = rtmp::BuildConnect(p);
    EXPECT_EQ(Body(d), Cat({base, {0x03}, K("a"), N1, K("b"), S("x"), K("c"), TRUE_, K("d"), NUL, K("e"), NUL, K("f"), NUL, END}));
    EXPECT_EQ(d->size_max, 4096 + 8192);

    // A member too big for the allowance is skipped and the next one still goes.
    const std::string tooBig = "{\"a\": \"" + std::string(9000, 'x') + "\", \"b\": 2}";
    p.connectArgs = tooBig;
    EXPECT_EQ(Body(rtmp::BuildConnect(p)), Cat({base, {0x03}, K("b"), N2, END}));
    // Members fill the allowance less its 16-byte margin, in name order.
    std::string json = "{";
    for (int i = 0; i < 3; ++i) json += "\"k" + std::to_string(i) + "\": \"" + std::string(2800, char('p' + i)) + "\",";
    json += "\"z\": false}";
    p.connectArgs = json;
    d = rtmp::BuildConnect(p);
    const Bytes withTwo = Cat({base, {0x03}, K("k0"), S(std::string(2800, 'p')), K("k1"), S(std::string(2800, 'q')),
                               K("z"), FALSE_, END});
    EXPECT_EQ(Body(d), withTwo);

    // Text that is not a JSON object (or too short to be one) adds nothing; the command itself
    // still goes out.
    for (const char* bad : {"{\"a\": ", "[1, 2, 3]", "\"str\"", "{}"}) {
        SCOPED_TRACE(bad);
        p.connectArgs = bad;
        EXPECT_EQ(Body(rtmp::BuildConnect(p)), base);
    }
}

TEST(Commands, PublishSequenceBodies) {
    EXPECT_EQ(Body(rtmp::BuildReleaseStream("cam1")), Cat({S("releaseStream"), N1, NUL, S("cam1")}));
    EXPECT_EQ(Body(rtmp::BuildFCPublish("cam1")), Cat({S("FCPublish"), N2, NUL, S("cam1")}));
    EXPECT_EQ(Body(rtmp::BuildFCPublish("cam1", 1)), Cat({S("FCPublish"), N1, NUL, S("cam1")}));
    EXPECT_EQ(Body(rtmp::BuildCreateStream()), Cat({S("createStream"), N3, NUL}));
    EXPECT_EQ(Body(rtmp::BuildPublish("cam1")), Cat({S("publish"), N4, NUL, S("cam1"), S("live")}));
    EXPECT_EQ(Body(rtmp::BuildPublish("cam1", rtmp::RECORD_MODE_RECORD)), Cat({S("publish"), N5, NUL, S("cam1"), S("record")}));
    EXPECT_EQ(Body(rtmp::BuildPublish("cam1", rtmp::RECORD_MODE_APPEND)), Cat({S("publish"), N5, NUL, S("cam1"), S("append")}));
    EXPECT_EQ(Body(rtmp::BuildFCUnpublish("cam1", 1)), Cat({S("FCUnpublish"), N1, NUL, S("cam1")}));
    // A stream name that cannot fit refuses the message instead of sending it cut.
    LogCapture log;
    EXPECT_FALSE(rtmp::BuildPublish(std::string(5000, 's')));
    EXPECT_TRUE(log.Contains("publish message does not fit"));
}

TEST(Commands, MetadataVideoOnly) {
    rtmp::MetadataParams m;
    m.hasVideo = true;
    m.width = 640;
    m.height = 360;
    m.frameRate = 30.0;
    m.videoBitrate = 1000000;
    EXPECT_EQ(Body(rtmp::BuildSetDataFrame(m)),
              Cat({S("@setDataFrame"), S("onMetaData"), {0x08, 0, 0, 0, 8},
                   K("hasVideo"), TRUE_,
                   K("width"), {0x00, 0x40, 0x84, 0, 0, 0, 0, 0, 0},
                   K("height"), {0x00, 0x40, 0x76, 0x80, 0, 0, 0, 0, 0},
                   K("framerate"), {0x00, 0x40, 0x3E, 0, 0, 0, 0, 0, 0},
                   K("videocodecid"), S("avc1"),
                   K("videodatarate"), {0x00, 0x40, 0x8F, 0x40, 0, 0, 0, 0, 0},
                   K("videoonly"), TRUE_,
                   K("hasAudio"), FALSE_, END}));
}

TEST(Commands, MetadataWithClipEntriesAndAudio) {
    rtmp::MetadataParams m;
    m.hasVideo = true;
    m.width = 1279;
    m.height = 719;
    m.frameRate = 25.0;
    m.avcProfile = 100;
    m.avcLevel = 31;
    m.videoBitrate = 2500000;
    m.videoRateOverride = 3000000;
    m.hasAudio = true;
    m.sampleRate = 44100;
    m.channels = 2;
    m.audioBitrate = 128000;
    m.audioObjectType = 2;
    const auto num = [](uint64_t bits) {
        Bytes b = {0x00};
        for (int s = 56; s >= 0; s -= 8) b.push_back(uint8_t(bits >> s));
        return b;
    };
    EXPECT_EQ(Body(rtmp::BuildSetDataFrame(m)),
              Cat({S("@setDataFrame"), S("onMetaData"), {0x08, 0, 0, 0, 22},
                   K("hasVideo"), TRUE_,
                   K("width"), num(0x4094000000000000),   // 1280
                   K("height"), num(0x4086800000000000),  // 720
                   K("framerate"), num(0x4039000000000000),
                   K("videocodecid"), S("avc1"),
                   K("videodatarate"), num(0x40A7700000000000),  // 3000: the override wins
                   K("videoonly"), FALSE_,
                   K("avcprofile"), num(0x4059000000000000),
                   K("avclevel"), num(0x403F000000000000),
                   K("clipleft"), num(0), K("cliptop"), num(0),
                   K("clipright"), N1, K("clipbottom"), N1,
                   K("hasAudio"), TRUE_,
                   K("audiocodecid"), S("mp4a"),
                   K("audiosamplerate"), num(0x40E5888000000000),
                   K("audiodatarate"), num(0x4060000000000000),  // 128
                   K("audiochannels"), N2,
                   K("stereo"), TRUE_,
                   K("audiosamplesize"), num(0x4030000000000000),
                   K("audioonly"), FALSE_,
                   K("aacaot"), N1, END}));

    // Audio only, mono, no object type: count 2 + 7.
    rtmp::MetadataParams a;
    a.hasAudio = true;
    a.sampleRate = 48000;
    a.channels = 1;
    a.audioBitrate = 64000;
    EXPECT_EQ(Body(rtmp::BuildSetDataFrame(a)),
              Cat({S("@setDataFrame"), S("onMetaData"), {0x08, 0, 0, 0, 9}, K("hasVideo"), FALSE_, K("hasAudio"), TRUE_,
                   K("audiocodecid"), S("mp4a"), K("audiosamplerate"), num(0x40E7700000000000),
                   K("audiodatarate"), num(0x4050000000000000), K("audiochannels"), N1, K("stereo"), FALSE_,
                   K("audiosamplesize"), num(0x4030000000000000), K("audioonly"), TRUE_, END}));
    EXPECT_EQ(Body(rtmp::BuildEmptySetDataFrame()), Cat({S("@setDataFrame"), S("onMetaData"), {0x08, 0, 0, 0, 0}, END}));
}

TEST(Commands, TimecodeMessage) {
    setenv("TZ", "UTC", 1);
    tzset();
    const int64_t us = 1709647439LL * 1000000 + 120456;
    BS::DataPtr d = rtmp::BuildOnFI(us, 4000);
    EXPECT_EQ(Body(d), Cat({S("onFI"), {0x08, 0, 0, 0, 2}, K("sd"), S("05-03-2024"), K("st"), S("14:03:59.120"), END}));
    EXPECT_EQ(d->dts, 4000);
    EXPECT_EQ(d->pts, 4000);
    EXPECT_EQ(d->size_max, 128);
    // 1970: no date.
    EXPECT_EQ(Body(rtmp::BuildOnFI(3723500000LL, 0)), Cat({S("onFI"), {0x08, 0, 0, 0, 1}, K("st"), S("01:02:03.500"), END}));
}

TEST(JsonAmf0, MembersWithNestingCutAndCapacity) {
    Json::Value root;
    ASSERT_TRUE(rtmp::ParseJson(R"({"o": {"p": {"q": {"r": 1}}, "s": "t"}, "arr": [1, 2], "n": null})", root));
    Bytes buf(4096);
    rtmp::CAmfWriter w(buf);
    EXPECT_TRUE(rtmp::WriteJsonMembers(w, root, buf.size(), 0));
    buf.resize(w.Size());
    EXPECT_EQ(buf, Cat({K("arr"), {0x08, 0, 0, 0, 0}, END,
                        K("n"), NUL,
                        K("o"), {0x03}, K("p"), {0x03}, K("q"), {0x03}, END, END, K("s"), S("t"), END}));

    // Budget = capacity - 16: "a" (12 bytes) fits, "b" (16) no longer does, "c" (5) still does.
    ASSERT_TRUE(rtmp::ParseJson(R"({"a": 1, "b": "xxxxxxxxxx", "c": true})", root));
    Bytes small(64);
    rtmp::CAmfWriter s(small);
    EXPECT_TRUE(rtmp::WriteJsonMembers(s, root, 40, 0));
    small.resize(s.Size());
    EXPECT_EQ(small, Cat({K("a"), N1, K("c"), TRUE_}));

    Bytes none(64);
    rtmp::CAmfWriter z(none);
    EXPECT_TRUE(rtmp::WriteJsonMembers(z, root, 15, 0));
    EXPECT_EQ(z.Size(), 0u);
    ASSERT_TRUE(rtmp::ParseJson("[1]", root));
    EXPECT_FALSE(rtmp::WriteJsonMembers(z, root, 4096, 0));
    EXPECT_FALSE(rtmp::ParseJson("{\"a\": ", root));
}

}  // namespace
