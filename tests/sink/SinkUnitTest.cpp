// The stream sink with its seams replaced: parsers pass records through (a test picks every dts,
// frame type and config flag), output is recorded instead of sent, connection attempts counted.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <future>
#include <thread>

#include "foundation/Log.h"
#include "parsers/BaseParser.h"
#include "platform/Clock.h"
#include "platform/Settings.h"
#include "sink/BaseTimer.h"
#include "sink/RTMPSink.h"
#include "tests/platform/TempSettings.h"

using namespace std::chrono_literals;

namespace {

// Keeps the newest `hold` units back until drained, as the H.264 parser holds its look-ahead.
class PassThroughParser : public BS::CBaseParser {
public:
    explicit PassThroughParser(const int32_t& h) : hold(h) {}
    void PutChunk(const BS::data_t* in) override {
        BS::data_t* out = BS::data_t::Create(std::max(in->size_actual, 1), in->config, in->dts, in->pts, in->bts);
        std::memcpy(out->data, in->data, static_cast<size_t>(in->size_actual));
        out->size_actual = in->size_actual;
        out->frame_type = in->frame_type;
        QueueOutput(out);
    }
    bool GetChunk(BS::data_t** out, int32_t flush) override {
        return (flush || GetQueuedCount() > hold) && CBaseParser::GetChunk(out, flush);
    }
    void ParseData(uint8_t*, int32_t, int32_t) override {}
    const int32_t& hold;
};

using Sent = std::vector<std::pair<int32_t, int64_t>>;  // message type (8 audio, 9 video), dts or tag
using Attempts = std::vector<std::pair<int32_t, bool>>;  // port, tunnelled

class TestSink : public CRTMPSink {
public:
    using CRTMPSink::CRTMPSink;
    ~TestSink() override { Close(); }
    std::unique_ptr<BS::CBaseParser> CreateParser(int32_t type) override {
        auto p = std::make_unique<PassThroughParser>(type == TRACK_TYPE_VIDEO ? videoHold : noHold);
        p->Init(1 << 16, false);
        return p;
    }
    bool IsClientConnected() override { return realClient ? CRTMPSink::IsClientConnected() : connected; }
    bool ConnectClient(const ConnectionSettings& s, bool tunnel) override {
        if (realClient) return CRTMPSink::ConnectClient(s, tunnel);
        attempts.emplace_back(s.port, tunnel);
        return static_cast<int>(attempts.size()) - 1 == succeedAt;
    }
    void DeliverMedia(BS::data_t* u, int32_t type) override { media.push_back({type, u->dts, u->data[0]}); }
    bool DeliverScript(BS::data_t* r, int32_t chunkStream, int32_t type) override {
        scripts.push_back({chunkStream, type, {r->data, r->data + r->size_actual}});
        return true;
    }
    void DeliverMetadata() override {}
    Sent Tags(bool dts = false) const {
        Sent out;
        for (const Delivered& d : media) out.emplace_back(d.type, dts ? d.dts : d.tag);
        return out;
    }
    using CRTMPSink::SetNoWaitForTests, CRTMPSink::SetReconnectingForTests, CRTMPSink::SetStreamingForTests,
        CRTMPSink::SimulateReconnectedForTests;
    bool connected = true, realClient = false;  // realClient: the RTMP client connects for real
    int32_t videoHold = 0, noHold = 0;  // read by the parsers at every take
    int succeedAt = -1;
    Attempts attempts;
    // Written only by the thread that calls Interleave or Flush: the tests' own.
    struct Delivered { int32_t type; int64_t dts; uint8_t tag; };
    struct Script { int32_t chunkStream, type; std::vector<uint8_t> bytes; };
    std::vector<Delivered> media;
    std::vector<Script> scripts;
};

// The first payload byte carries `tag` so a test can follow one unit through the queues.
BS::data_t* Unit(int64_t dts, int32_t frameType = FRAME_P, bool config = false, uint8_t tag = 0, int32_t size = 16) {
    BS::data_t* d = BS::data_t::Create(size, config, dts, dts, NO_TIME);
    std::memset(d->data, 0, static_cast<size_t>(size));
    d->data[0] = tag;
    d->frame_type = frameType;
    return d;
}
BS::format_t Format(bool video) {
    BS::format_t f;
    f.kind = video ? BS::FORMAT_KIND_VIDEO : BS::FORMAT_KIND_AUDIO;
    f.codec = video ? BS::CODEC_H264 : BS::CODEC_AAC;
    return f;
}

// A streaming sink with a video and an audio track; a private settings store.
class Sink : public ::testing::Test {
protected:
    void SetUp() override {
        Tracks(sink);
        sink.SetStreamingForTests(true);
    }
    static void Tracks(TestSink& s) {
        ASSERT_TRUE(s.AddTrack(Format(true), TRACK_TYPE_VIDEO, 0));
        ASSERT_TRUE(s.AddTrack(Format(false), TRACK_TYPE_AUDIO, 0));
    }
    void Put(int32_t track, int64_t dts, int32_t type = FRAME_P, bool config = false, uint8_t tag = 0) {
        ASSERT_TRUE(sink.PutData(Unit(dts, type, config, tag), track, true));
    }
    void SendAll() {
        sink.SetNoWaitForTests(true);
        sink.SetEndOfStream(0);
        sink.SetEndOfStream(1);
        sink.Interleave();
    }
    static ConnectionSettings Settings(bool ports, bool tunnel, int32_t port = 0, bool tunnelUrl = false, bool secure = false) {
        ConnectionSettings s;
        std::tie(s.url, s.host, s.app, s.streamName) = std::tuple("rtmp://example.invalid/live", "example.invalid", "live", "cam");
        std::tie(s.port, s.tunnel, s.secure, s.fallbackPortsDefault, s.fallbackTunnelDefault) =
            std::tuple(port, tunnelUrl, secure, ports, tunnel);
        return s;
    }
    qvtest::TempSettings settings;
    TestSink sink;
};

using Bytes = std::vector<uint8_t>;
Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
template <class... T>
Bytes B(T... v) {  // a function, not a braced list, so it survives inside assertion macros
    return Bytes{static_cast<uint8_t>(v)...};
}
Bytes Key(const std::string& s) {
    Bytes b(s.begin(), s.end());
    b.insert(b.begin(), {static_cast<uint8_t>(s.size() >> 8), static_cast<uint8_t>(s.size())});
    return b;
}
Bytes Str(const std::string& s) { return B(0x02) + Key(s); }  // AMF0 string

TEST(SinkScript, CuePointAndMetadataAreEcmaArraysWithTheirPairsInOrder) {
    TestSink sink;
    double time = 2.5;
    uint8_t yes = 1;
    int32_t width = 1280;
    KeyValuePair a{"name", "cp1", KVP_TEXT}, b{"time", &time, KVP_DOUBLE}, c{"nav", &yes, KVP_BOOL},
        w{"width", &width, KVP_INT32}, bad{"b", &time, 0x105};
    const KeyValuePair *cue[] = {&a, &b, &c}, *meta[] = {&w}, *invalid[] = {&w, &bad};
    EXPECT_EQ(sink.SendMetadata(false, meta, 1), S_OK);  // before streaming: nothing is sent
    EXPECT_EQ(sink.SendCuepoint(invalid, 2), E_INVALIDARG);
    ASSERT_EQ(sink.SendCuepoint(cue, 3), S_OK);
    sink.SetStreamingForTests(true);
    ASSERT_EQ(sink.SendMetadata(false, meta, 1), S_OK);
    const auto s = sink.scripts;
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(std::pair(s[0].chunkStream, s[0].type), std::pair(4, 18));
    EXPECT_EQ(s[0].bytes, Str("onCuePoint") + B(0x08, 0, 0, 0, 3) + Key("name") + Str("cp1") + Key("time") +
                              B(0x00, 0x40, 0x04, 0, 0, 0, 0, 0, 0) + Key("nav") + B(0x01, 0x01) + B(0, 0, 9));
    EXPECT_EQ(s[1].bytes, Str("@setDataFrame") + Str("onMetaData") + B(0x08, 0, 0, 0, 1) + Key("width") +
                              B(0x00, 0x40, 0x94, 0, 0, 0, 0, 0, 0) + B(0, 0, 9));
}

TEST(SinkScript, PairsThatDoNotFitAreLeftOutWholeAndTheArraySaysHowManyItHolds) {
    TestSink sink;
    const std::string value(20, 'v');
    std::vector<std::string> keys;
    std::vector<KeyValuePair> store(300);
    std::vector<const KeyValuePair*> pairs;
    for (int i = 0; i < 300; ++i) keys.push_back("k" + std::to_string(1000 + i).substr(1));
    for (int i = 0; i < 300; ++i) pairs.push_back(&(store[i] = {keys[i].c_str(), value.c_str(), KVP_TEXT}));
    ASSERT_EQ(sink.SendCuepoint(pairs.data(), 300), S_OK);
    const Bytes b = sink.scripts.at(0).bytes;
    // 4096 - (10 + 8) bytes for the pairs, 29 bytes each: 140 fit.
    ASSERT_EQ(b.size(), 13 + 5 + 140 * 29 + 3u);
    EXPECT_EQ(Bytes(b.begin() + 13, b.begin() + 18), B(0x08, 0, 0, 0, 140));
    const Bytes last = Key("k139") + Str(value) + B(0, 0, 9);
    EXPECT_EQ(Bytes(b.end() - static_cast<long>(last.size()), b.end()), last);
    // The end marker counts too: a last pair that would leave no room for it is left out.
    for (auto [length, pairsSent] : {std::pair(4062, 2), std::pair(4063, 1)}) {
        const std::string text(static_cast<size_t>(length), 't');
        KeyValuePair small{"a", "x", KVP_TEXT}, big{"b", text.c_str(), KVP_TEXT_WHOLE};
        const KeyValuePair* two[] = {&small, &big};
        ASSERT_EQ(sink.SendCuepoint(two, 2), S_OK) << length;
        const Bytes m = sink.scripts.back().bytes;
        EXPECT_EQ(m.size(), pairsSent == 2 ? 4096u : 28u);
        EXPECT_EQ(Bytes(m.begin() + 13, m.begin() + 18), B(0x08, 0, 0, 0, pairsSent));
    }
}

TEST(SinkScript, CommandWithAKeyValueListWritesItsValuesFlatAndNestedListsAsObjects) {
    TestSink sink;
    const wchar_t* innerNames[] = {L"k"};
    VARIANT innerValues[1], arg, values[7];
    innerValues[0].vt = VT_INT;
    innerValues[0].lVal = 1;
    KeyValueList inner{innerNames, innerValues, 1};
    const VARTYPE types[] = {VT_BSTR, VT_BOOL, VT_UI4, VT_I4, VT_KEYVALUELIST, VT_UI4, VT_INT};
    const int32_t ints[] = {0, -1, 300, 5, 0, 1 << 28, 2};
    for (int i = 0; i < 7; ++i) {
        values[i].vt = types[i];
        if (types[i] == VT_BOOL) values[i].boolVal = static_cast<VARIANT_BOOL>(ints[i]);
        else values[i].lVal = ints[i];  // ulVal shares the storage
    }
    values[0].bstrVal = SysAllocString(L"x");
    values[4].pkvlVal = &inner;
    const wchar_t* names[] = {L"a", L"b", L"c", L"d", L"e", L"f", nullptr};
    KeyValueList list{names, values, 7};
    arg.vt = VT_KEYVALUELIST;
    arg.pkvlVal = &list;
    ASSERT_EQ(sink.SendRTMPCommand("doIt", &arg), S_OK);
    const auto s = sink.scripts.at(0);
    EXPECT_EQ(std::pair(s.chunkStream, s.type), std::pair(3, 20));
    // VT_I4, an integer beyond 29 bits and the entry without a name leave nothing.
    EXPECT_EQ(s.bytes, Str("doIt") + B(0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0x05) + B(0x11, 0x06, 0x03, 'x') +
                           B(0x11, 0x03) + B(0x11, 0x04, 0x82, 0x2C) +
                           B(0x11, 0x0A, 0x0B, 0x01, 0x03, 'k', 0x04, 0x01, 0x01));
    SysFreeString(values[0].bstrVal);
}

// The client is stopped at its TCP connect (Init answers 1) unless the attempt succeedAt succeeds.
TEST_F(Sink, FallbackPortsAndTunnelFollowTheUrlAndTheSettings) {
    const struct {
        ConnectionSettings s;
        int settings, succeedAt;  // settings: FallbackPorts and FallbackTunnel written (-1: not)
        Attempts expected;
    } cases[] = {
        {Settings(true, true), -1, -1, {{1935, false}, {443, false}, {80, false}, {80, true}}},
        {Settings(false, false), -1, -1, {{1935, false}}},
        {Settings(false, true), -1, -1, {{1935, false}, {80, true}}},
        {Settings(true, false, 1940), -1, -1, {{1940, false}, {443, false}, {80, false}}},
        {Settings(true, true, 0, true), -1, -1, {{80, true}, {443, true}, {1935, true}, {1935, false}}},
        {Settings(true, true, 0, false, true), -1, -1, {{443, false}}},
        {Settings(true, true), -1, 2, {{1935, false}, {443, false}, {80, false}}},
        {Settings(true, true, 0, false, true), 1, -1, {{443, false}, {443, false}, {80, false}, {80, true}}},
        {Settings(true, true), 0, -1, {{1935, false}}},
    };
    for (const auto& c : cases) {
        for (const char* name : {"FallbackPorts", "FallbackTunnel"})
            ASSERT_TRUE(c.settings < 0 ||
                        platform::settings::WriteDword(platform::settings::Scope::User, KEY_RTMPSINK, name, c.settings));
        TestSink client;
        client.succeedAt = c.succeedAt;
        EXPECT_EQ(client.Init(c.s, nullptr), c.succeedAt < 0 ? 1 : 0);
        EXPECT_EQ(client.attempts, c.expected);
        EXPECT_TRUE(c.succeedAt < 0 || client.GetSinkStatus() == BS::SINK_OK);
    }
}

// Started without a server, the sink reconnects until its attempts are used up; every attempt
// starts again at the URL's own port, whatever fallback was tried last.
TEST_F(Sink, AStartWithoutServerReconnectsFromTheUrlsPortUntilTheAttemptsAreUsedUp) {
    struct StatusObserver : NotifyEventObserver {
        int32_t NotifyEvent(int32_t code, intptr_t p1, intptr_t) override {
            if (code == EC_ZEPH_RTMP_WRITER_STATUS) statuses.push_back(*reinterpret_cast<const int32_t*>(p1));
            if (!statuses.empty() && statuses.back() == 1 && !std::exchange(finished, true)) done.set_value(statuses);
            return 0;
        }
        std::vector<int32_t> statuses;  // written by the sink's connection thread only
        bool finished = false;
        std::promise<std::vector<int32_t>> done;
    };
    const std::tuple<int32_t, bool, std::vector<int32_t>, Attempts> cases[] = {
        {0, false, {2, 1}, {{1935, false}}},
        {1, true, {2, 2, 1}, {{1935, false}, {443, false}, {80, false}, {1935, false}, {443, false}, {80, false}}},
    };
    for (const auto& [attempts, ports, expected, tried] : cases) {
        StatusObserver observer;
        ConnectionSettings s = Settings(ports, false);
        std::tie(s.startWithoutConnection, s.reconnectAttempts) = std::tuple(true, attempts);
        TestSink client(&observer);
        client.connected = false;
        auto statuses = observer.done.get_future();
        ASSERT_EQ(client.Init(s, nullptr), 0);
        ASSERT_EQ(statuses.wait_for(5s), std::future_status::ready);
        EXPECT_EQ(statuses.get(), expected);
        EXPECT_EQ(client.attempts, tried);
        // (After a last failed attempt the reconnection is cleared only after its status.)
        EXPECT_TRUE(attempts > 0 || client.GetSinkStatus() == BS::SINK_ERROR);
    }
}

// A reconnect attempt caught in its TCP connect (the server's accept queue is full, so the
// connect would wait minutes for the system to give up) is called off by Close.
TEST_F(Sink, CloseIsPromptWhileAReconnectAttemptWaitsInItsConnect) {
    const int server = socket(AF_INET, SOCK_STREAM, 0), filler = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    auto* sa = reinterpret_cast<sockaddr*>(&a);
    socklen_t len = sizeof a;
    ASSERT_TRUE(bind(server, sa, len) == 0 && getsockname(server, sa, &len) == 0);
    ConnectionSettings s = Settings(false, false, ntohs(a.sin_port));
    std::tie(s.url, s.startWithoutConnection, s.reconnectAttempts) = std::tuple("rtmp://127.0.0.1/live", true, -1);
    TestSink real;
    real.realClient = true;
    ASSERT_EQ(real.Init(s, nullptr), 0);  // refused: nothing listens yet
    ASSERT_TRUE(listen(server, 0) == 0 && connect(filler, sa, len) == 0);
    char synSent[16];  // a connect to the port still waiting for an answer, as /proc/net/tcp shows it
    snprintf(synSent, sizeof synSent, ":%04X 02 ", ntohs(a.sin_port));
    bool connecting = false;
    for (auto end = std::chrono::steady_clock::now() + 10s; !connecting && std::chrono::steady_clock::now() < end;) {
        std::ifstream tcp("/proc/net/tcp");
        for (std::string line; !connecting && std::getline(tcp, line);) connecting = line.find(synSent) != std::string::npos;
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_TRUE(connecting);
    auto closed = std::async(std::launch::async, [&] { return real.Close(); });
    EXPECT_EQ(closed.wait_for(2s), std::future_status::ready);
    EXPECT_FALSE(real.Client().IsConnected());
    close(filler), close(server);
}

// A Close on another thread may destroy the tracks while a unit is on its way out (here from the
// statistics event just before the send): the unit still goes out as what it was.
TEST_F(Sink, AUnitOnItsWayOutWhenCloseDestroysTheTracksKeepsItsKind) {
    struct CloseOnStatistics : NotifyEventObserver {
        int32_t NotifyEvent(int32_t code, intptr_t, intptr_t) override {
            // The event comes with the sink lock held, which Close must never be called with.
            if (code == EC_ZEPH_RTMP_WRITER_STATS) sink->Unlock(), sink->Close(), sink->Lock();
            return 0;
        }
        TestSink* sink;
    } observer;
    observer.sink = &sink;
    sink.SetNotifyObserver(&observer);
    Put(0, 0, FRAME_I, true, 7);
    for (int i = 0; i < 300 && sink.GetSinkTime() < 1000; ++i) std::this_thread::sleep_for(10ms);  // statistics due
    SendAll();
    EXPECT_EQ(sink.Tags(), (Sent{{9, 7}}));
}

TEST_F(Sink, RefusalsFreeOwnedSamplesOnlyAndReconnectingSwallowsInput) {
    TestSink idle;
    Tracks(idle);
    EXPECT_FALSE(idle.PutData(Unit(0), 0, true));  // not streaming (ASan sees a leak if not freed)
    EXPECT_FALSE(sink.PutData(nullptr, 0, true));
    EXPECT_FALSE(sink.PutData(Unit(0), 2, true));
    BS::DataPtr mine(Unit(0));
    EXPECT_FALSE(sink.PutData(mine.get(), -1, false));
    EXPECT_TRUE(sink.PutData(mine.get(), 0, false));
    sink.SetReconnectingForTests(true);
    EXPECT_TRUE(sink.PutData(Unit(40), 0, true));
    EXPECT_EQ(sink.GetQueueSize(0), 1u);
}

TEST_F(Sink, BitrateIsFirstComputedAtTheUnitThatReachesOneSecondInBits) {
    RTMPStatistics st;
    auto bitrate = [&](int64_t from, int64_t to, int32_t size) {
        for (int64_t t = from; t <= to; t += 100) EXPECT_TRUE(sink.PutData(Unit(t, FRAME_P, false, 0, size), 0, true));
        EXPECT_TRUE(sink.GetStatistics(&st));
        return st.videoBitrate;
    };
    EXPECT_EQ(bitrate(0, 900, 100), 0);
    EXPECT_EQ(bitrate(1000, 1000, 100), 8800);  // 11 x 100 bytes over 1000 ms
    EXPECT_EQ(bitrate(1100, 2000, 200), 16000);  // only what came after: 10 x 200 bytes
    EXPECT_EQ(st.audioBitrate, 0);
}

// Whether WaitForTrack(0) returns within `bound`; the stop is set either way, so none hangs.
bool Returns(TestSink& sink, std::chrono::milliseconds bound, platform::CEvent& stop) {
    auto wait = std::async(std::launch::async, [&] { return sink.WaitForTrack(0, &stop); });
    const bool returned = wait.wait_for(bound) == std::future_status::ready && wait.get();
    stop.Set();
    return returned;
}

TEST_F(Sink, DropModeAt250DropsPAndBButNotConfigUntilFiftyAreGoneUpToAKeyFrame) {
    // I at 0, 30 and 61; a config P at 5 and an unknown-type unit at 6.
    for (int i = 0; i < 250; ++i) {
        int32_t type = (i == 0 || i == 30 || i == 61) ? FRAME_I : i > 61 || i % 2 ? FRAME_P : FRAME_B;
        Put(0, i * 40, i == 6 ? FRAME_UNKNOWN : type, i == 5, static_cast<uint8_t>(i));
    }
    platform::CEvent stop(true, false);
    EXPECT_TRUE(Returns(sink, 2s, stop)) << "drop mode holds the producer";
    ASSERT_EQ(sink.GetQueueSize(0), 193u);  // 27 of 1..29, all of 31..60
    SendAll();
    const Sent tags = sink.Tags();
    ASSERT_EQ(tags.size(), 193u);
    EXPECT_EQ(Sent(tags.begin(), tags.begin() + 6), (Sent{{9, 0}, {9, 5}, {9, 6}, {9, 30}, {9, 61}, {9, 62}}));
}

TEST_F(Sink, WaitModeHoldsTheProducerWithoutDroppingUntilStoppedOrDrained) {
    sink.SetStreamingForTests(true, CRTMPSink::BUFFER_WAIT);
    sink.SetEndOfStream(1);
    for (int i = 0; i < 151; ++i) Put(0, i * 40, FRAME_B);
    platform::CEvent stop(true, false);
    EXPECT_FALSE(Returns(sink, 100ms, stop)) << "wait mode lets the producer go";
    EXPECT_EQ(sink.GetQueueSize(0), 151u);
    stop.Reset();
    auto second = std::async(std::launch::async, [&] { return sink.WaitForTrack(0, &stop); });
    EXPECT_TRUE(sink.Flush(true, false));
    ASSERT_EQ(second.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(sink.media.size(), 151u);
}

TEST_F(Sink, AfterAReconnectionTheStreamRestartsAtTheFirstConfigUnitRebasedToZero) {
    sink.SetNoWaitForTests(true);
    sink.SimulateReconnectedForTests();
    // No video config yet: video is trimmed, audio keeps only its newest config unit.
    Put(0, 1000);
    for (int64_t t : {1000, 1010, 1020, 1030, 1050}) Put(1, t, FRAME_P, t == 1010 || t == 1030, static_cast<uint8_t>(t - 1000));
    sink.Interleave();
    EXPECT_TRUE(sink.media.empty());
    EXPECT_EQ(sink.GetQueueSize(1), 1u);
    Put(0, 1040, FRAME_P, true, 7);
    Put(0, 1040, FRAME_I);
    Put(0, 1080);
    for (int64_t t : {1043, 1066, 1089}) Put(1, t);
    SendAll();
    EXPECT_EQ(sink.Tags(true), (Sent{{8, -10}, {9, 0}, {9, 0}, {8, 3}, {8, 26}, {9, 40}, {8, 49}}));
    const Sent tags = sink.Tags();
    EXPECT_EQ(Sent(tags.begin(), tags.begin() + 2), (Sent{{8, 30}, {9, 7}}));
}

// Units leave in decode-time order as their own message type, the lower track first on a tie; a
// track that ran dry holds the other back until it ends, and the end drains the parser first.
TEST_F(Sink, UnitsLeaveInDecodeTimeOrderAndThoseHeldByTheParserBeforeLaterUnitsOfTheOtherTrack) {
    sink.videoHold = 2;
    sink.SetNoWaitForTests(true);
    // Video (tags 1..6, 40 ms apart) ends at 200 ms with two units in the parser; audio (101..,
    // 48 kHz AAC frames) goes on to 234 ms; the interleaver runs between the samples.
    auto audioTime = [](int i) { return (i * 1024 * 1000 + 24000) / 48000; };
    Sent expected;
    for (int v = 0, a = 0; v < 6 || a < 11; sink.Interleave()) {
        if (v < 6 && (a >= 11 || v * 40 <= audioTime(a))) {
            ASSERT_TRUE(sink.PutData(Unit(v * 40, v ? FRAME_P : FRAME_I, v == 0, static_cast<uint8_t>(v + 1)), 0, true));
            expected.emplace_back(9, ++v);
            if (v == 6) sink.SetEndOfStream(0);
        } else {
            ASSERT_TRUE(sink.PutData(Unit(audioTime(a), FRAME_UNKNOWN, false, static_cast<uint8_t>(a + 101)), 1, true));
            expected.emplace_back(8, 101 + a++);
        }
    }
    sink.SetEndOfStream(1);
    EXPECT_TRUE(sink.Flush(true, true));
    EXPECT_EQ(sink.Tags(), expected);
}

TEST(SinkClock, AWrapOfTheSystemTickAdvancesTheClockByOneTick) {
    struct FakeClock : platform::IClock {
        std::atomic<uint32_t> now{0xFFFFFFF0u};
        uint32_t Now() override { return now.load(); }
        void Sleep(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
    } clock;
    platform::SetClock(&clock);
    BS::CBaseTimer timer;
    ASSERT_TRUE(timer.Start());
    const std::pair<uint32_t, int64_t> steps[] = {{0xFFFFFFFAu, 10}, {5, 10 + BS::CBaseTimer::kTickMs}, {9, 18}};
    for (auto [now, expected] : steps) {
        clock.now = now;
        EXPECT_EQ(timer.GetTime(), expected) << now;
    }
    EXPECT_TRUE(timer.Reset());
    clock.now = 109;
    EXPECT_EQ(timer.GetTime(), 100);
    platform::SetClock(nullptr);
}

}  // namespace
