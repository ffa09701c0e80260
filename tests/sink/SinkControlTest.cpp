// Script data checked byte for byte against hand-written AMF, the ports and transports Init
// tries, and the status the host sees when no reconnection attempt is allowed.
#include <string>

#include "SinkTestSupport.h"
#include "foundation/Log.h"
#include "platform/Settings.h"

using namespace sinktest;

namespace {

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
Bytes Str(const std::string& s) {  // AMF0 string
    Bytes b = Key(s);
    b.insert(b.begin(), 0x02);
    return b;
}

TEST(SinkScript, CuePointAndMetadataAreEcmaArraysWithTheirPairsInOrder) {
    TestSink sink;
    double time = 2.5;
    uint8_t yes = 1;
    int32_t width = 1280;
    KeyValuePair a{"name", "cp1", KVP_TEXT}, b{"time", &time, KVP_DOUBLE}, c{"nav", &yes, KVP_BOOL},
        w{"width", &width, KVP_INT32}, bad{"b", &time, 0x105};
    const KeyValuePair* cue[] = {&a, &b, &c};
    const KeyValuePair* meta[] = {&w};
    const KeyValuePair* invalid[] = {&w, &bad};
    EXPECT_EQ(sink.SendMetadata(false, meta, 1), S_OK);  // before streaming: nothing is sent
    EXPECT_EQ(sink.SendCuepoint(invalid, 2), E_INVALIDARG);
    ASSERT_EQ(sink.SendCuepoint(cue, 3), S_OK);
    sink.SetStreamingForTests(true);
    ASSERT_EQ(sink.SendMetadata(false, meta, 1), S_OK);
    const auto s = sink.scripts;
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].chunkStream, 4);
    EXPECT_EQ(s[0].type, 18);
    EXPECT_EQ(s[0].bytes, Str("onCuePoint") + B(0x08, 0, 0, 0, 3) + Key("name") + Str("cp1") + Key("time") +
                              B(0x00, 0x40, 0x04, 0, 0, 0, 0, 0, 0) + Key("nav") + B(0x01, 0x01) + B(0, 0, 9));
    EXPECT_EQ(s[1].bytes, Str("@setDataFrame") + Str("onMetaData") + B(0x08, 0, 0, 0, 1) + Key("width") +
                              B(0x00, 0x40, 0x94, 0, 0, 0, 0, 0, 0) + B(0, 0, 9));
}

TEST(SinkScript, PairsThatDoNotFitAreLeftOutWholeAndTheArraySaysHowManyItHolds) {
    TestSink sink;
    std::vector<std::string> keys;
    const std::string value(20, 'v');
    std::vector<KeyValuePair> store;
    for (int i = 0; i < 300; ++i) keys.push_back("k" + std::to_string(1000 + i).substr(1));
    for (const auto& k : keys) store.push_back({k.c_str(), value.c_str(), KVP_TEXT});
    std::vector<const KeyValuePair*> pairs;
    for (const auto& p : store) pairs.push_back(&p);
    ASSERT_EQ(sink.SendCuepoint(pairs.data(), 300), S_OK);
    const Bytes b = sink.scripts.at(0).bytes;
    // 4096 - (10 + 8) bytes for the pairs, 29 bytes each: 140 fit.
    EXPECT_EQ(Bytes(b.begin() + 13, b.begin() + 18), B(0x08, 0, 0, 0, 140));
    ASSERT_EQ(b.size(), 13 + 5 + 140 * 29 + 3u);
    const Bytes last = Key("k139") + Str(value) + B(0, 0, 9);
    EXPECT_EQ(Bytes(b.end() - static_cast<long>(last.size()), b.end()), last);
}

TEST(SinkScript, CommandWithAKeyValueListWritesItsValuesFlatAndNestedListsAsObjects) {
    TestSink sink;
    const wchar_t* innerNames[] = {L"k"};
    VARIANT innerValues[1], nested, arg, values[7];
    innerValues[0].vt = VT_INT;
    innerValues[0].lVal = 1;
    KeyValueList inner{innerNames, innerValues, 1};
    nested.vt = VT_KEYVALUELIST;
    nested.pkvlVal = &inner;
    const VARTYPE types[] = {VT_BSTR, VT_BOOL, VT_UI4, VT_I4, VT_KEYVALUELIST, VT_UI4, VT_INT};
    const int32_t ints[] = {0, -1, 300, 5, 0, 1 << 28, 2};
    for (int i = 0; i < 7; ++i) {
        values[i].vt = types[i];
        if (types[i] == VT_BOOL) values[i].boolVal = static_cast<VARIANT_BOOL>(ints[i]);
        else values[i].lVal = ints[i];  // ulVal shares the storage
    }
    values[0].bstrVal = SysAllocString(L"x");
    values[4] = nested;
    const wchar_t* names[] = {L"a", L"b", L"c", L"d", L"e", L"f", nullptr};
    KeyValueList list{names, values, 7};
    arg.vt = VT_KEYVALUELIST;
    arg.pkvlVal = &list;
    ASSERT_EQ(sink.SendRTMPCommand("doIt", &arg), S_OK);
    const auto s = sink.scripts.at(0);
    EXPECT_EQ(s.chunkStream, 3);
    EXPECT_EQ(s.type, 20);
    // VT_I4, an integer beyond 29 bits and the entry without a name leave nothing.
    EXPECT_EQ(s.bytes, Str("doIt") + B(0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0x05) + B(0x11, 0x06, 0x03, 'x') +
                           B(0x11, 0x03) + B(0x11, 0x04, 0x82, 0x2C) +
                           B(0x11, 0x0A, 0x0B, 0x01, 0x03, 'k', 0x04, 0x01, 0x01));
    SysFreeString(values[0].bstrVal);
}

using Attempts = std::vector<std::pair<int32_t, bool>>;  // port, tunnelled
class RecordingConnectSink : public TestSink {
public:
    using TestSink::TestSink;
    bool ConnectClient(const ConnectionSettings& s, bool tunnel) override {
        attempts.emplace_back(s.port, tunnel);
        return static_cast<int>(attempts.size()) - 1 == succeedAt;
    }
    Attempts attempts;
    int succeedAt = -1;
};

class SinkInit : public SettingsDir {
protected:
    static ConnectionSettings Settings(bool ports, bool tunnel, int32_t port = 0, bool tunnelUrl = false,
                                       bool secure = false) {
        ConnectionSettings s;
        s.url = "rtmp://example.invalid/live";
        s.host = "example.invalid";
        s.app = "live";
        s.streamName = "cam";
        s.fallbackPortsDefault = ports;
        s.fallbackTunnelDefault = tunnel;
        s.port = port;
        s.tunnel = tunnelUrl;
        s.secure = secure;
        return s;
    }
    static Attempts Run(const ConnectionSettings& s) {
        RecordingConnectSink sink;
        EXPECT_EQ(sink.Init(s, nullptr), 1);  // where the client stopped: the TCP connect
        return sink.attempts;
    }
};

TEST_F(SinkInit, FallbackPortsAndTunnelFollowTheUrlAndTheSettings) {
    const struct {
        ConnectionSettings s;
        Attempts expected;
    } cases[] = {
        {Settings(true, true), {{1935, false}, {443, false}, {80, false}, {80, true}}},
        {Settings(false, false), {{1935, false}}},
        {Settings(false, true), {{1935, false}, {80, true}}},
        {Settings(true, false, 1940), {{1940, false}, {443, false}, {80, false}}},
        {Settings(true, true, 0, true), {{80, true}, {443, true}, {1935, true}, {1935, false}}},
        {Settings(true, true, 0, false, true), {{443, false}}},
    };
    for (const auto& c : cases) EXPECT_EQ(Run(c.s), c.expected);
    RecordingConnectSink sink;
    sink.succeedAt = 2;
    ASSERT_EQ(sink.Init(Settings(true, true), nullptr), 0);
    EXPECT_EQ(sink.attempts.size(), 3u);
    EXPECT_EQ(sink.GetSinkStatus(), BS::SINK_OK);
    auto fallbacks = [](uint32_t on) {
        for (const char* name : {"FallbackPorts", "FallbackTunnel"})
            ASSERT_TRUE(platform::settings::WriteDword(platform::settings::Scope::User, KEY_RTMPSINK, name, on));
    };
    fallbacks(1);
    EXPECT_EQ(Run(Settings(true, true, 0, false, true)), (Attempts{{443, false}, {443, false}, {80, false}, {80, true}}));
    fallbacks(0);
    EXPECT_EQ(Run(Settings(true, true)), (Attempts{{1935, false}}));
}

class StatusObserver : public NotifyEventObserver {
public:
    int32_t NotifyEvent(int32_t code, intptr_t p1, intptr_t) override {
        std::lock_guard<std::mutex> g(m);
        if (code == EC_ZEPH_RTMP_WRITER_STATUS) statuses.push_back(*reinterpret_cast<const int32_t*>(p1));
        cv.notify_all();
        return 0;
    }
    std::mutex m;
    std::condition_variable cv;
    std::vector<int32_t> statuses;
};

TEST_F(SinkInit, WithNoReconnectionAttemptAllowedAStartWithoutServerEndsDisconnected) {
    ConnectionSettings s = Settings(false, false);
    s.startWithoutConnection = true;
    s.reconnectAttempts = 0;
    StatusObserver observer;
    RecordingConnectSink sink(&observer);
    sink.connected = false;
    ASSERT_EQ(sink.Init(s, nullptr), 0);
    {
        std::unique_lock<std::mutex> g(observer.m);
        ASSERT_TRUE(observer.cv.wait_for(g, std::chrono::seconds(5), [&] { return observer.statuses.size() >= 2; }));
        EXPECT_EQ(observer.statuses, (std::vector<int32_t>{2, 1}));
    }
    EXPECT_EQ(sink.GetSinkStatus(), BS::SINK_ERROR);
}

}  // namespace
