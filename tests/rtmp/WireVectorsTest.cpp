// Hand-written wire vectors (chunk headers both ways, AMF0/AMF3 values, command and control
// bodies, URL parsing as "field|field|..." text), then the chunk codec's state (base
// time, an overfull buffer, random round trips) and the AMF0 cursor reader.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <random>

#include "rtmp/AMF3.h"
#include "rtmp/Amf0Reader.h"
#include "rtmp/Amf3Values.h"
#include "rtmp/AmfWriter.h"
#include "rtmp/Commands.h"
#include "rtmp/ControlMessages.h"
#include "rtmp/JsonAmf0.h"
#include "rtmp/RtmpDefs.h"
#include "rtmp/RtmpUrl.h"
#include "TestSupport.h"

using namespace rtmptest;

namespace {

constexpr uint32_t SID1 = rtmp::SwapStreamId(1);
constexpr int32_t VIDEO = RTMP_PT_VIDEO, AUDIO = RTMP_PT_AUDIO, NOTIFY = RTMP_PT_NOTIFY;

struct Out {  // one message for Prepare
    Bytes body; int64_t dts; int32_t cs = 4, type = AUDIO; uint32_t sid = SID1; bool full = false;
    int64_t pts = 0; int32_t frameType = FRAME_UNKNOWN; bool config = false;
};
// All messages through one codec.
Bytes Write(std::initializer_list<Out> msgs, int32_t chunk = 128) {
    AMF3 c;
    EXPECT_TRUE(c.Init());
    c.SetSendChunkSize(chunk);
    Bytes wire;
    for (const Out& m : msgs) wire = Cat({wire, Body(c.Prepare(*Record(m.body, m.dts, m.pts, m.frameType, m.config), m.cs, m.type, m.sid, m.full))});
    return wire;
}
// What the reader reports per message.
Bytes M(uint32_t ts, uint8_t type, uint8_t cs, uint32_t sid, const Bytes& body) { return Cat({Be32(ts), {type, cs}, Be32(sid), body}); }
Bytes Read(const Bytes& wire, int32_t chunk = 128) {
    AMF3 c;
    EXPECT_TRUE(c.Init());
    c.SetReceiveChunkSize(chunk);
    c.PutData(wire);
    Bytes out;
    AMF3::Header h;
    while (BS::DataPtr m = c.GetMessage(AMF3::MODE_CHUNKS, &h))
        out = Cat({out, M(uint32_t(h.timestamp), uint8_t(h.type), uint8_t(h.chunkStreamId), h.streamId, ToBytes(*m))});
    return out;
}
template <typename F>
Bytes W(F f, size_t cap = 64) {
    Bytes buf(cap);
    rtmp::CAmfWriter w(buf);
    f(w);
    buf.resize(w.Size());
    return buf;
}
const Bytes T = {0x01, 0x01}, F = {0x01, 0x00};
const Bytes N1 = Num(0x3FF0000000000000), N2 = Num(0x4000000000000000), N3 = Num(0x4008000000000000), N4 = Num(0x4010000000000000),
            N5 = Num(0x4014000000000000);
Bytes Connect(const char* app, const char* query = "", bool tunnel = false, const std::string& args = "") {
    return Body(rtmp::BuildConnect({.host = "h", .appPath = app, .authQuery = query, .tunnel = tunnel, .flashVer = "ua", .connectArgs = args}));
}
const Bytes CONNECT_A = Cat({S("connect"), N1, {0x03}, K("app"), S("a"), K("flashVer"), S("ua"), K("tcUrl"), S("rtmp://h/a"), END});
Bytes Json(const char* json, size_t budget) {
    Json::Value root;
    if (!rtmp::ParseJson(json, root)) return Str("not json");
    return W([&](auto& w) { if (!rtmp::WriteJsonMembers(w, root, budget, 0)) w.String("refused"); }, 4096);
}
// One "a|b|...;" text per URL.
template <typename F>
Bytes Urls(std::initializer_list<const char*> urls, F f) {
    std::string out;
    for (const char* u : urls) out += f(u) + ";";
    return Str(out);
}
std::string Split(const char* url) {
    const rtmp::SplitUrlResult r = rtmp::SplitUrl(url);
    return r.baseUrl + "|" + r.host + "|" + r.app + "|" + r.stream + "|" + std::to_string(r.port);
}
std::string Server(const char* url) {
    std::string app = "untouched";
    char letter = '-';
    const std::string host = rtmp::GetServerName(url, app, &letter);
    return host + "|" + app + "|" + letter;
}
Bytes Tc(const char* app, const char* query, bool tunnel) {
    const rtmp::ConnectUrls u = rtmp::FormConnectUrls("h", app, query, tunnel);
    return Str(u.app + "|" + u.tcUrl + ";");
}

// Each letter is one call on a reader over the row's bytes; the results joined with '|'.
Bytes Script(const Bytes& body, const char* ops) {
    rtmp::CAmf0Reader r(body);
    std::string out;
    for (const char* o = ops; *o; ++o) {
        switch (*o) {
        case 's': out += r.ReadString(); break;
        case 'n': out += std::to_string(r.ReadNumber()); break;
        case 'm': out += "-NO"[int(r.SkipNullOrObject())]; break;  // None, Null, Object
        case 'p': out += r.ReadPropertyName(); break;
        case 'v': out += r.ReadValueAsText(); break;
        case 'e': out += r.AtPropertyListEnd() ? "end" : "more"; break;
        case '@': out += std::to_string(r.Position()) + "/" + std::to_string(r.Remaining()); break;
        case 't': out += rtmp::StatusText(body); break;
        }
        out += '|';
    }
    return Str(out);
}

TEST(WireVectors, Table) {
    const Bytes p300 = Pattern(300, 3), p600 = Pattern(600), p124 = Pattern(124), r200 = Pattern(200, 1), r200b = Pattern(200, 2);
    const Bytes r5000 = Pattern(5000, 4), r150k = Pattern(150000, 5);
    const Bytes h200 = Cat({{0x03, 0, 0, 0, 0, 0, 200, 0x14, 0, 0, 0, 0}, Slice(r200, 0, 128), {0xC3}, Slice(r200, 128, 72)});
    const Bytes n3 = {0x00, 0x40, 0x08, 0, 0, 0, 0, 0, 0}, n305 = {0x00, 0x40, 0x08, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66};
    const Bytes cut = W([](auto& w) { rtmp::amf3::WriteStringValue(w, std::string(0x100005, 'z')); }, 0x100010);
    const std::string fill3 = "{\"k0\": \"" + std::string(2800, 'p') + "\", \"k1\": \"" + std::string(2800, 'q') + "\", \"k2\": \"" +
                              std::string(2800, 'r') + "\", \"z\": false}";
    setenv("TZ", "UTC", 1);  // onFI clock text is local time
    tzset();
    rtmp::MetadataParams av, a;
    av.hasVideo = av.hasAudio = a.hasAudio = true;
    av.width = 1279, av.height = 719, av.frameRate = 25.0, av.avcProfile = 100, av.avcLevel = 31, av.videoBitrate = 2500000;
    av.videoRateOverride = 3000000, av.sampleRate = 44100, av.channels = 2, av.audioBitrate = 128000, av.audioObjectType = 2;
    a.sampleRate = 48000, a.channels = 1, a.audioBitrate = 64000;

    const struct { const char* what; Bytes got, want; } table[] = {
        // ---- chunk writer
        {"format 0 first, format 1 for later times, format 0 again going back in time or on another stream id",
         Write({{{0xAA}, 1000}, {{0xBB, 0xCC}, 1040}, {{0xDD}, 1020}, {{0xEE}, 1060}, {{0x01}, 1070, 4, NOTIFY, 0}, {{0x02}, 1080, 4, NOTIFY, 0, true},
                {{0x03}, 1080, 4, NOTIFY, 0}, {{}, 5, 3, RTMP_PT_INVOKE, 0}}),
         Cat({{0x04, 0x00, 0x03, 0xE8, 0, 0, 1, 0x08, 1, 0, 0, 0, 0xAA}, {0x44, 0x00, 0x00, 0x28, 0, 0, 2, 0x08, 0xBB, 0xCC},
              {0x04, 0x00, 0x04, 0x10, 0, 0, 1, 0x08, 1, 0, 0, 0, 0xDD},  // carries the chunk stream's last time
              {0x44, 0x00, 0x00, 0x28, 0, 0, 1, 0x08, 0xEE}, {0x04, 0x00, 0x04, 0x24, 0, 0, 1, 0x12, 0, 0, 0, 0, 0x01},
              {0x04, 0x00, 0x04, 0x2E, 0, 0, 1, 0x12, 0, 0, 0, 0, 0x02}, {0x44, 0, 0, 0, 0, 0, 1, 0x12, 0x03},  // never format 2
              {0x03, 0x00, 0x00, 0x05, 0, 0, 0, 0x14, 0, 0, 0, 0}})},
        {"extended timestamp after every continuation header", Write({{p300, 0x1000000}}),
         Cat({{0x04, 0xFF, 0xFF, 0xFF, 0x00, 0x01, 0x2C, 0x08, 1, 0, 0, 0, 0x01, 0, 0, 0}, Slice(p300, 0, 128), {0xC4, 0x01, 0, 0, 0},
              Slice(p300, 128, 128), {0xC4, 0x01, 0, 0, 0}, Slice(p300, 256, 44)})},
        {"extended field from exactly 0xFFFFFF; format 1 never uses it",
         Write({{{0x11}, 0xFFFFFE, 5, AUDIO, 0}, {{0x22}, 0xFFFFFF, 6, AUDIO, 0}, {{0x33}, 0x1000010, 6, AUDIO, 0}}),
         Cat({{0x05, 0xFF, 0xFF, 0xFE, 0, 0, 1, 0x08, 0, 0, 0, 0, 0x11}, {0x06, 0xFF, 0xFF, 0xFF, 0, 0, 1, 0x08, 0, 0, 0, 0, 0x00, 0xFF, 0xFF, 0xFF, 0x22},
              {0x46, 0x00, 0x00, 0x11, 0, 0, 1, 0x08, 0x33}})},
        {"times past 32 bits keep their low bits; negative wraps into the extended field; missing dts takes the last",
         Write({{{1}, 0x100000010LL, 7, AUDIO, 0}, {{2}, 0x100000010LL + 0x1000005, 7, AUDIO, 0}, {{3}, -5, 8, AUDIO, 0}, {{4}, NO_TIME, 8, AUDIO, 0},
                {{5}, NO_TIME, 9, NOTIFY, 0}}),
         Cat({{0x07, 0x00, 0x00, 0x10, 0, 0, 1, 0x08, 0, 0, 0, 0, 1}, {0x47, 0x00, 0x00, 0x05, 0, 0, 1, 0x08, 2},
              {0x08, 0xFF, 0xFF, 0xFF, 0, 0, 1, 0x08, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFB, 3}, {0x48, 0, 0, 0, 0, 0, 1, 0x08, 4},
              {0x09, 0, 0, 0, 0, 0, 1, 0x12, 0, 0, 0, 0, 5}})},
        {"video prefix: frame kind, composition time (negative as 0), sequence header",
         Write({{{0xAB}, 1000, 4, VIDEO, SID1, false, 960, FRAME_P}, {{0xAB}, 1040, 4, VIDEO, SID1, false, 2240, FRAME_B},
                {{0x01, 0x64}, 1080, 4, VIDEO, SID1, false, 1080, FRAME_UNKNOWN, true}, {{}, 1120, 4, VIDEO, SID1, false, 1120, FRAME_I}}),
         Cat({{0x04, 0, 0x03, 0xE8, 0, 0, 6, 0x09, 1, 0, 0, 0, 0x27, 1, 0, 0, 0, 0xAB}, {0x44, 0, 0, 0x28, 0, 0, 6, 0x09, 0x27, 1, 0, 0x04, 0xB0, 0xAB},
              {0x44, 0, 0, 0x28, 0, 0, 7, 0x09, 0x17, 0, 0, 0, 0, 0x01, 0x64}, {0x44, 0, 0, 0x28, 0, 0, 5, 0x09, 0x17, 0x01, 0, 0, 0}})},
        {"the prefix counts toward the first chunk: exactly one chunk's worth needs no continuation",
         Write({{Pattern(123), 0, 4, VIDEO, SID1, false, 0, FRAME_I}, {p124, 40, 4, VIDEO, SID1, false, 40, FRAME_P}, {Pattern(128), 0, 5, AUDIO, 0}}),
         Cat({{0x04, 0, 0, 0, 0, 0, 0x80, 0x09, 1, 0, 0, 0, 0x17, 1, 0, 0, 0}, Slice(p124, 0, 123), {0x44, 0, 0, 0x28, 0, 0, 0x81, 0x09, 0x27, 1, 0, 0, 0},
              Slice(p124, 0, 123), {0xC4}, Slice(p124, 123, 1), {0x05, 0, 0, 0, 0, 0, 0x80, 0x08, 0, 0, 0, 0}, Pattern(128)})},
        {"send chunk size 256", Write({{Body(rtmp::BuildSetChunkSize(256)), 0, 2, RTMP_PT_CHUNK_SIZE, 0, true}, {p600, 0}}, 256),
         Cat({{0x02, 0, 0, 0, 0, 0, 4, 0x01, 0, 0, 0, 0, 0x00, 0x00, 0x01, 0x00}, {0x04, 0, 0, 0, 0x00, 0x02, 0x58, 0x08, 1, 0, 0, 0},
              Slice(p600, 0, 256), {0xC4}, Slice(p600, 256, 256), {0xC4}, Slice(p600, 512, 88)})},
        {"chunk streams 1 and 64 are refused", Write({{{1}, 0, 1}, {{1}, 0, 64}}), Str("refusedrefused")},
        {"video that would overflow the 24-bit length is refused and leaves its chunk stream; audio that size is not", [] {
             AMF3 c;
             c.Init();
             BS::DataPtr big(BS::data_t::Create(0xFFFFFF - 4, false, 100, 100, NO_TIME));
             const Bytes video = Body(c.Prepare(*big, 10, VIDEO, 0, false)), after = Body(c.Prepare(*Record({5}, 200), 10, AUDIO, 0, false));
             return Cat({video, after, Slice(Body(c.Prepare(*big, 11, AUDIO, 0, false)), 4, 3)});
         }(), Cat({Str("refused"), {0x0A, 0, 0, 0xC8, 0, 0, 1, 0x08, 0, 0, 0, 0, 0x05, 0xFF, 0xFF, 0xFB}})},
        {"control bodies",
         Cat({Body(rtmp::BuildSetChunkSize(4096)), Body(rtmp::BuildAcknowledgement(0x01020304)), Body(rtmp::BuildWindowAckSize(2500000)),
              Body(rtmp::BuildSetPeerBandwidth(2500000)), Body(rtmp::BuildPingResponse(0xCAFEBABE, 777))}),
         {0, 0, 0x10, 0, 1, 2, 3, 4, 0x00, 0x26, 0x25, 0xA0, 0x00, 0x26, 0x25, 0xA0, 0x02, 0x00, 0x07, 0xCA, 0xFE, 0xBA, 0xBE}},
        // ---- chunk reader
        {"reader: formats 0..3 and timestamp deltas",
         Read(Cat({{0x03, 0x00, 0x00, 0x64, 0x00, 0x00, 0xC8, 0x14, 0x01, 0x00, 0x00, 0x00}, Slice(r200, 0, 128), {0xC3}, Slice(r200, 128, 72),
                   {0x43, 0, 0, 0x0A, 0, 0, 4, 0x12, 'a', 'b', 'c', 'd'}, {0x83, 0, 0, 5, 'e', 'f', 'g', 'h'}, {0xC3, 'i', 'j', 'k', 'l'}})),
         Cat({M(100, 0x14, 3, SID1, r200), M(110, 0x12, 3, SID1, Str("abcd")), M(115, 0x12, 3, SID1, Str("efgh")), M(120, 0x12, 3, SID1, Str("ijkl"))})},
        {"reader: extended timestamp on continuations and as a format-1 delta",
         Read(Cat({{0x04, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0xC8, 0x09, 0, 0, 0, 0, 0x01, 0, 0, 0}, Slice(r200b, 0, 128), {0xC4, 0x01, 0, 0, 0},
                   Slice(r200b, 128, 72), {0x44, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x01, 0x08, 0x00, 0x00, 0x00, 0x10, 0x7E}})),
         Cat({M(0x01000000, 0x09, 4, 0, r200b), M(0x01000010, 0x08, 4, 0, {0x7E})})},
        {"reader: chunk size 4096",
         Read(Cat({{0x06, 0, 0, 0, 0x00, 0x13, 0x88, 0x09, 0, 0, 0, 1}, Slice(r5000, 0, 4096), {0xC6}, Slice(r5000, 4096, 904)}), 4096),
         M(0, 0x09, 6, 1, r5000)},
        {"reader: one chunk larger than a new message's room", Read(Cat({{0x06, 0, 0, 0, 0x02, 0x49, 0xF0, 0x09, 0, 0, 0, 1}, r150k}), 200000),
         M(0, 0x09, 6, 1, r150k)},
        {"reader: chunk sizes 0 and 0x80000000 are refused, 128 stays", Cat({Read(h200, 0), Read(h200, int32_t(0x80000000u))}),
         Cat({M(0, 0x14, 3, 0, r200), M(0, 0x14, 3, 0, r200)})},
        {"reader: zero-length message", Read({0x03, 0, 0, 9, 0, 0, 0, 0x14, 0, 0, 0, 0, 0x03, 0, 0, 9, 0, 0, 1, 0x14, 0, 0, 0, 0, 0x55}),
         Cat({M(9, 0x14, 3, 0, {}), M(9, 0x14, 3, 0, {0x55})})},
        {"reader: basic header bytes 0 and 1 are chunk streams 0 and 1",
         Read({0x00, 0, 0, 1, 0, 0, 2, 0x14, 0, 0, 0, 0, 'a', 'b', 0x01, 0, 0, 2, 0, 0, 1, 0x12, 0, 0, 0, 0, 'c'}),
         Cat({M(1, 0x14, 0, 0, Str("ab")), M(2, 0x12, 1, 0, Str("c"))})},
        {"reader: continuation on a chunk stream never started is skipped", Read({0xC7, 0x88, 0, 0, 5, 0x03, 0, 0, 0, 0, 0, 1, 0x14, 0, 0, 0, 0, 0x42}),
         M(0, 0x14, 3, 0, {0x42})},
        {"reader: a new header in the middle of a message starts over", Read(Cat({Slice(h200, 0, 140), {0x43, 0, 0, 1, 0, 0, 2, 0x14, 'o', 'k'}})),
         M(1, 0x14, 3, 0, Str("ok"))},
        // ---- AMF0 / AMF3 values
        {"amf0 values", W([](auto& w) {
             w.Number(1.0), w.Number(-2.5), w.Boolean(true), w.Boolean(false), w.String("live"), w.String(""), w.ObjectStart(), w.Null(), w.ObjectEnd();
             w.EcmaArrayStart(0x01020304), w.Property("ab", true);
         }), Cat({N1, Num(0xC004000000000000), T, F, S("live"), S(""), {0x03, 0x05}, END, {0x08, 1, 2, 3, 4}, K("ab"), T})},
        {"a value that exactly fills the buffer is written, the next is not", [] {
             Bytes buf(10);
             rtmp::CAmfWriter w(buf);
             const bool a = w.String("abcdefg"), b = w.Null();
             return Cat({Slice(buf, 0, w.Size()), {uint8_t(a), uint8_t(b), uint8_t(w.Failed())}});
         }(), Cat({S("abcdefg"), {1, 0, 1}})},
        {"a property whose value does not fit writes nothing; 65536-byte strings have no short form",
         Cat({W([](auto& w) { w.Property("name", std::string_view("value")); }, 12),
              W([](auto& w) { w.String(std::string(65536, 'y')), w.String(std::string(65535, 'x')); }, 70000)}),
         S(std::string(65535, 'x'))},
        {"amf3 U29 at every length boundary, out of range, with markers", W([](auto& w) {
             for (int32_t v : {0, 0x7F, 0x80, 0x3FFF, 0x4000, 0x1FFFFF, 0x200000, 0x0FFFFFFF, -1, -(1 << 28), 1 << 28, -(1 << 28) - 1})
                 rtmp::amf3::WriteInteger(w, v, false, false);
             rtmp::amf3::WriteInteger(w, 5, true, true), rtmp::amf3::WriteInteger(w, 5, false, true);
         }), {0x00, 0x7F, 0x81, 0x00, 0xFF, 0x7F, 0x81, 0x80, 0x00, 0xFF, 0xFF, 0x7F, 0x80, 0xC0, 0x80, 0x00, 0xBF, 0xFF, 0xFF, 0xFF,
              0xFF, 0xFF, 0xFF, 0xFF, 0xC0, 0x80, 0x80, 0x00, 0x11, 0x04, 0x05, 0x04, 0x05}},
        {"amf3 booleans, strings, objects; 64 bytes take a two-byte length, over 0xFFFFF is cut",
         Cat({W([](auto& w) {
                  rtmp::amf3::WriteBoolean(w, true, true), rtmp::amf3::WriteBoolean(w, false, false), rtmp::amf3::WriteStringValue(w, "abc");
                  rtmp::amf3::WriteString(w, "abc", true), rtmp::amf3::WriteString(w, "", false), rtmp::amf3::WriteObjectStart(w, 2);
                  rtmp::amf3::WriteStringValue(w, std::string(64, 'q'));
              }, 100), Slice(cut, 0, 3), Be32(uint32_t(cut.size()))}),
         Cat({{0x11, 0x03, 0x02, 0x07, 'a', 'b', 'c', 0x11, 0x06, 0x07, 'a', 'b', 'c', 0x06, 0x01, 0x11, 0x0A, 0x0B, 0x01, 0x81, 0x01},
              Bytes(64, 'q'), {0xFF, 0xFF, 0x7F}, Be32(3 + 0xFFFFF)})},
        // ---- AMF0 reader
        {"amf0 reader: a reader of the wrong kind does not move; 3.05 truncates", Script(Cat({S("_result"), n3, {0x05}, n305, {0x03}}), "ssnnmnmm"),
         Str("_result||3|0|N|3|O|-|")},
        {"amf0 reader: 255 bytes of a long string are taken", Script(Cat({{0x02, 0x01, 0x2C}, Bytes(300, 'n')}), "s@"),
         Str(std::string(255, 'n') + "|258/45|")},
        {"amf0 reader: a length past the end gives what is there", Script({0x02, 0x00, 0x10, 'a', 'b'}, "s@"), Str("ab|5/0|")},
        {"amf0 reader: a number cut short, an unknown marker", Cat({Script({0x00, 0x40, 0x08}, "n@"), Script({0x0A, 0x00}, "v@")}), Str("0|0/3||0/2|")},
        {"amf0 reader: out of range and NaN", Script(Cat({Num(0x7FF0000000000000), Num(0xFFF8000000000000), Num(0xC3E0000000000000)}), "nnn"),
         Str(std::to_string(INT64_MAX) + "|0|" + std::to_string(INT64_MIN) + "|")},
        {"amf0 reader: properties as text", Script(Cat({K("level"), S("error"), K("objectEncoding"), n3, K("x"), {0x01, 0x01}, END}), "epvpvpve"),
         Str("more|level|error|objectEncoding|3|x||end|")},
        {"amf0 reader: a property name cut short", Script({0x00, 0x30, 'a', 'b', 'c'}, "pe"), Str("abc|end|")},
        {"amf0 reader: status text, of the first 255 bytes only",
         Cat({Script(Cat({S("onStatus"), Num(0), {0x05, 0x03}, K("code"), S("NetStream.Play.Stop")}), "t"),
              Script(Cat({Bytes(250, '.'), Str("abcdefgh")}), "t")}),
         Str("onStatuscodeNetStreamPlayStop|abcde|")},
        // ---- command and data messages
        {"connect, with authentication query and tunnel", Cat({Connect("a"), Connect("app/inst?x=1", "authmod=adobe&user=u", true)}),
         Cat({CONNECT_A, S("connect"), N1, {0x03}, K("app"), S("app/inst?x=1&authmod=adobe&user=u"), K("type"), S("nonprivate"), K("flashVer"),
              S("ua"), K("tcUrl"), S("rtmpt://h/app/inst?x=1&authmod=adobe&user=u"), END})},
        {"connect arguments from JSON", Connect("a", "", false, R"({"a": 1, "b": "x", "c": true, "d": null, "e": [1], "": 7, "f": {"g": 1}})"),
         Cat({CONNECT_A, {0x03}, K("a"), N1, K("b"), S("x"), K("c"), T, K("d"), NUL, K("e"), NUL, K("f"), NUL, END})},
        {"connect arguments: too big for the allowance is skipped; members fill it less its margin; not a JSON object adds nothing",
         Cat({Connect("a", "", false, "{\"a\": \"" + std::string(9000, 'x') + "\", \"b\": 2}"), Connect("a", "", false, fill3),
              Connect("a", "", false, "{\"a\": "), Connect("a", "", false, "[1, 2, 3]"), Connect("a", "", false, "\"str\""), Connect("a", "", false, "{}")}),
         Cat({CONNECT_A, {0x03}, K("b"), N2, END, CONNECT_A, {0x03}, K("k0"), S(std::string(2800, 'p')), K("k1"), S(std::string(2800, 'q')), K("z"), F, END,
              CONNECT_A, CONNECT_A, CONNECT_A, CONNECT_A})},
        {"publish sequence; a stream name that cannot fit is refused",
         Cat({Body(rtmp::BuildReleaseStream("cam1")), Body(rtmp::BuildFCPublish("cam1")), Body(rtmp::BuildFCPublish("cam1", 1)),
              Body(rtmp::BuildCreateStream()), Body(rtmp::BuildPublish("cam1")), Body(rtmp::BuildPublish("cam1", rtmp::RECORD_MODE_RECORD)),
              Body(rtmp::BuildPublish("cam1", rtmp::RECORD_MODE_APPEND)), Body(rtmp::BuildFCUnpublish("cam1", 1)),
              Body(rtmp::BuildPublish(std::string(5000, 's')))}),
         Cat({S("releaseStream"), N1, NUL, S("cam1"), S("FCPublish"), N2, NUL, S("cam1"), S("FCPublish"), N1, NUL, S("cam1"), S("createStream"), N3,
              NUL, S("publish"), N4, NUL, S("cam1"), S("live"), S("publish"), N5, NUL, S("cam1"), S("record"), S("publish"), N5, NUL, S("cam1"),
              S("append"), S("FCUnpublish"), N1, NUL, S("cam1"), Str("refused")})},
        {"metadata with clip entries and audio", Body(rtmp::BuildSetDataFrame(av)),
         Cat({S("@setDataFrame"), S("onMetaData"), {0x08, 0, 0, 0, 22}, K("hasVideo"), T, K("width"), Num(0x4094000000000000), K("height"),
              Num(0x4086800000000000), K("framerate"), Num(0x4039000000000000), K("videocodecid"), S("avc1"), K("videodatarate"),
              Num(0x40A7700000000000), K("videoonly"), F, K("avcprofile"), Num(0x4059000000000000), K("avclevel"), Num(0x403F000000000000),
              K("clipleft"), Num(0), K("cliptop"), Num(0), K("clipright"), N1, K("clipbottom"), N1, K("hasAudio"), T, K("audiocodecid"), S("mp4a"),
              K("audiosamplerate"), Num(0x40E5888000000000), K("audiodatarate"), Num(0x4060000000000000), K("audiochannels"), N2, K("stereo"), T,
              K("audiosamplesize"), Num(0x4030000000000000), K("audioonly"), F, K("aacaot"), N1, END})},
        {"metadata audio only, mono; the empty form", Cat({Body(rtmp::BuildSetDataFrame(a)), Body(rtmp::BuildEmptySetDataFrame())}),
         Cat({S("@setDataFrame"), S("onMetaData"), {0x08, 0, 0, 0, 9}, K("hasVideo"), F, K("hasAudio"), T, K("audiocodecid"), S("mp4a"),
              K("audiosamplerate"), Num(0x40E7700000000000), K("audiodatarate"), Num(0x4050000000000000), K("audiochannels"), N1, K("stereo"), F,
              K("audiosamplesize"), Num(0x4030000000000000), K("audioonly"), T, END, S("@setDataFrame"), S("onMetaData"), {0x08, 0, 0, 0, 0}, END})},
        {"onFI timecode; no date in 1970", Cat({Body(rtmp::BuildOnFI(1709647439LL * 1000000 + 120456, 4000)), Body(rtmp::BuildOnFI(3723500000LL, 0))}),
         Cat({S("onFI"), {0x08, 0, 0, 0, 2}, K("sd"), S("05-03-2024"), K("st"), S("14:03:59.120"), END, S("onFI"), {0x08, 0, 0, 0, 1}, K("st"),
              S("01:02:03.500"), END})},
        {"JSON members: nesting is cut at depth 3", Json(R"({"o": {"p": {"q": {"r": 1}}, "s": "t"}, "arr": [1, 2], "n": null})", 4096),
         Cat({K("arr"), {0x08, 0, 0, 0, 0}, END, K("n"), NUL, K("o"), {0x03}, K("p"), {0x03}, K("q"), {0x03}, END, END, K("s"), S("t"), END})},
        {"JSON members: the budget is the capacity less 16; nothing fits in 15; arrays refused; broken JSON",
         Cat({Json(R"({"a": 1, "b": "xxxxxxxxxx", "c": true})", 40), Json(R"({"a": 1})", 15), Json("[1]", 4096), Json("{\"a\": ", 4096)}),
         Cat({K("a"), N1, K("c"), T, S("refused"), Str("not json")})},
        // ---- URLs
        {"split URL",
         Urls({"rtmp://server:1936/live/myStream", "rtmp://server/live+myStream", "rtmp://server/app/inst/s", "rtmp://h/a/b+c/d", "rtmp://h/a/b/c+d",
               "rtmps://h/app/s", "RTMPS://h/app/s", "rtmpt://h/app/s", "rtmpe://h/app/s", "rtmp://server/live", "rtmp://server", "rtmp://h:x/app/s",
               "rtmp://h:99999999999/app/s", "rtmp://h:1937", "rtmp:///x:12/y", "server/live/s", "rtms", "",
               "rtmp://[::1]:1940/live/s", "rtmps://[fe80::1]/a/s"}, Split),
         Str("rtmp://server/live|server|live|myStream|1936;rtmp://server/live|server|live|myStream|1935;rtmp://server/app/inst|server|app/inst|s|1935;"
             "rtmp://h/a/b+c|h|a/b+c|d|1935;rtmp://h/a/b/c|h|a/b/c|d|1935;rtmps://h/app|h|app|s|443;RTMPS://h/app|h|app|s|443;"
             "rtmpt://h/app|h|app|s|1935;rtmpe://h/app|h|app|s|1935;rtmp://server/live|server|live||1935;rtmp://server/|server|||1935;"
             "rtmp://h/app|h|app|s|0;rtmp://h/app|h|app|s|2147483647;rtmp://h/|h|||1937;rtmp:///x:12/y/|/x:12/y|||1935;||||1935;||||1935;||||1935;"
             "rtmp://[::1]/live|[::1]|live|s|1940;rtmps://[fe80::1]/a|[fe80::1]|a|s|443;")},
        {"server name, application path and transport letter",
         Urls({"rtmp://h/live", "rtmp://h/app/inst?x=1", "rtmp://h", "rtmp://h:1935/live", "rtmp://h\\live", "rtmpt://host/a", "rtmps://host/a",
               "rtmpte://host/a", "rtmp:/h/live", "RTMP://h/live", "http://h/live", "rtmp:/", "rtmpxyz://h/a", "rtmpt:/h/a",
               "rtmp://[::1]/live", "rtmp://[::1]:1940/live"}, Server),
         Str("h|live|-;h|app/inst?x=1|-;h||-;h|1935/live|-;h|live|-;host|a|t;host|a|s;host|a|t;|untouched|-;|untouched|-;|untouched|-;"
             "|untouched|-;|untouched|-;|untouched|t;[::1]|live|-;[::1]|1940/live|-;")},
        {"connect app and tcUrl; tcUrl is cut at 4095",
         Cat({Tc("live", "", false), Tc("", "", false), Tc("live", "", true), Tc("app/inst?x=1", "q", false), Tc("live", "authmod=adobe&user=u", false),
              Be32(uint32_t(rtmp::FormConnectUrls("h", std::string(5000, 'p'), "", false).tcUrl.size()))}),
         Cat({Str("live|rtmp://h/live;|rtmp://h/;live|rtmpt://h/live;app/inst?x=1&q|rtmp://h/app/inst?x=1&q;"
                  "live?authmod=adobe&user=u|rtmp://h/live?authmod=adobe&user=u;"), Be32(4095)})},
    };
    for (const auto& v : table) {
        SCOPED_TRACE(v.what);
        EXPECT_EQ(v.got, v.want);
    }
}

class Codec : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(codec.Init()); }
    Bytes Next(int mode = AMF3::MODE_CHUNKS) {
        BS::DataPtr b = codec.GetMessage(mode, nullptr);
        return b ? ToBytes(*b) : Bytes{};
    }
    Bytes Hs() { return Next(AMF3::MODE_HANDSHAKE); }
    Bytes Send(const Bytes& body, int64_t dts, int32_t cs, int32_t type, bool full = false) {
        return Body(codec.Prepare(*Record(body, dts, dts, FRAME_I), cs, type, rtmp::SwapStreamId(1), full));
    }
    AMF3 codec;
};

Bytes HandshakeBlock(uint32_t time, uint32_t zero, uint8_t fill) { return Cat({Be32(time), Be32(zero), Bytes(1528, fill)}); }
const Bytes ONE = {0x03, 0, 0, 0, 0, 0, 1, 0x14, 0, 0, 0, 0, 0x42};

TEST_F(Codec, BaseTimeShiftsTheTimelineFromTheFirstMediaMessage) {
    const int32_t reference = 1700000000;
    codec.SetWallClock([&] { return int64_t{reference} + 60; });
    for (bool on : {false, true}) {
        codec.Reset();
        codec.SetBaseTimeMode(on, reference);
        codec.PutData(Cat({{0x03}, HandshakeBlock(0, 0, 0), HandshakeBlock(0, 0, 0)}));
        for (int i = 0; i < 3; ++i) ASSERT_FALSE(Hs().empty());
        EXPECT_EQ(codec.GetBaseTime(), on ? 60000 : 0);
    }
    // 60000 = 0xEA60 in full headers.
    EXPECT_EQ(Send({0x02}, 0, 4, RTMP_PT_INVOKE, true), (Bytes{0x04, 0x00, 0xEA, 0x60, 0, 0, 1, 0x14, 1, 0, 0, 0, 0x02}));
    EXPECT_EQ(Send({0x02}, 0, 4, RTMP_PT_NOTIFY), (Bytes{0x44, 0, 0, 0, 0, 0, 1, 0x12, 0x02}));
    EXPECT_FALSE(codec.IsBaseTimeFixed());
    EXPECT_EQ(Send({}, 40, 4, RTMP_PT_VIDEO), (Bytes{0x44, 0, 0, 0x28, 0, 0, 5, 0x09, 0x17, 0x01, 0, 0, 0}));
    EXPECT_TRUE(codec.IsBaseTimeFixed());
    EXPECT_EQ(Send({0x02}, 10, 4, RTMP_PT_AUDIO), (Bytes{0x04, 0x00, 0xEA, 0x88, 0, 0, 1, 0x08, 1, 0, 0, 0, 0x02}));

    // From the absolute time instead: none before media, then fixed once per connection.
    codec.Reset();
    codec.SetBaseTimeMode(true, 1000);
    codec.SetAbsoluteTime(1005000);
    EXPECT_EQ(Slice(Send({1}, 0, 3, RTMP_PT_INVOKE, true), 1, 3), (Bytes{0, 0, 0}));
    EXPECT_EQ(Slice(Send({1}, 20, 5, RTMP_PT_AUDIO), 1, 3), (Bytes{0x00, 0x13, 0x9C}));  // 5000 + 20
    codec.SetAbsoluteTime(2000000);
    EXPECT_EQ(Slice(Send({1}, 30, 6, RTMP_PT_AUDIO), 1, 3), (Bytes{0x00, 0x13, 0xA6}));
    codec.Reset();
    codec.SetAbsoluteTime(999000);  // before the reference: 0
    EXPECT_EQ(Slice(Send({1}, 30, 6, RTMP_PT_AUDIO), 1, 3), (Bytes{0x00, 0x00, 0x1E}));
}

TEST_F(Codec, SixteenMegabyteMessageAndAnOverfullBuffer) {
    AMF3 writer;
    ASSERT_TRUE(writer.Init());
    const Bytes body = Pattern(AMF3::MAX_MESSAGE_BYTES, 9), wire = Body(writer.Prepare(*Record(body, 0), 5, RTMP_PT_NOTIFY, 0, false));
    Bytes got;
    for (size_t off = 0; off < wire.size(); off += 65536) {
        codec.PutData(Slice(wire, off, std::min<size_t>(65536, wire.size() - off)));
        const Bytes m = Next();
        if (!m.empty()) got = got.empty() ? m : Bytes{};  // exactly one message
    }
    EXPECT_TRUE(got == body);

    // A chunk that can never be complete fills the buffer; the next read replaces it.
    codec.SetReceiveChunkSize(0x200000);
    codec.PutData(Cat({{0x05, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x09, 0, 0, 0, 0}, Bytes(AMF3::RECEIVE_CAPACITY - 12, 0x33)}));
    EXPECT_EQ(Next(), Bytes{});
    codec.PutData(ONE);
    EXPECT_EQ(Next(), Bytes{0x42});
}

// Random sequences written with Prepare, read back in random pieces. The receiver's clock per
// chunk stream: a format-0 header repeats the chunk stream's previous time (its own only for the
// first message), format-1 deltas continue from the message's own dts.
void RoundTrip(uint64_t seed, int count, int32_t chunk, size_t maxBody, size_t maxPiece) {
    std::mt19937_64 rng(seed);
    AMF3 writer, reader;
    ASSERT_TRUE(writer.Init() && reader.Init());
    writer.SetSendChunkSize(chunk);
    reader.SetReceiveChunkSize(chunk);
    struct Cs { uint32_t sid = 0; int64_t last = 0, receiver = 0; };
    std::map<int32_t, Cs> model;
    std::vector<Bytes> sent;  // what the reader must report: header fields, then the body
    Bytes wire;
    const int32_t types[] = {RTMP_PT_AUDIO, RTMP_PT_VIDEO, RTMP_PT_NOTIFY, RTMP_PT_INVOKE}, csids[] = {3, 4, 5, 9, 63};
    const uint32_t sids[] = {0, rtmp::SwapStreamId(1), 0x12345678};
    const int64_t starts[] = {0, 0xFFFF00, 0xFFFFFFFFLL - 3000, 123456};  // near the 24- and 32-bit limits
    int64_t dts = starts[rng() % 4];
    for (int i = 0; i < count; ++i) {
        const int step = int(rng() % 100);
        dts = std::max<int64_t>(0, dts + (step < 70 ? int64_t(rng() % 100) : step < 85 ? -int64_t(rng() % 500) : int64_t(rng() % 0xFFFF00)));
        const int32_t type = types[rng() % 4], cs = csids[rng() % 5];
        const uint32_t sid = sids[rng() % 10 < 8 ? 1 : rng() % 3];
        const auto known = model.find(cs);
        // A format-1 delta has 24 bits; a longer gap goes with a full header.
        const bool forced = rng() % 10 == 0 || (known != model.end() && dts - known->second.last >= 0xFFFF00);
        const Bytes body = Pattern(rng() % 8 == 0 ? rng() % (maxBody + 1) : rng() % 600, uint8_t(i));
        const int64_t pts = dts + int64_t(rng() % 200);
        BS::DataPtr in = Record(body, dts, pts, int32_t(rng() % 4), rng() % 20 == 0);
        const Bytes out = Body(writer.Prepare(*in, cs, type, sid, forced));
        ASSERT_NE(out, Str("refused"));
        wire.insert(wire.end(), out.begin(), out.end());
        Cs& c = model[cs];
        if (known == model.end()) c.receiver = dts;
        else if (forced || dts < c.last || sid != c.sid) c.receiver = c.last;
        else c.receiver += dts - c.last;
        c.sid = sid, c.last = dts;
        const uint32_t cts = uint32_t(pts - dts);
        const Bytes prefix = {uint8_t(in->frame_type == FRAME_I || in->config ? 0x17 : 0x27), uint8_t(in->config ? 0 : 1), uint8_t(cts >> 16),
                              uint8_t(cts >> 8), uint8_t(cts)};
        sent.push_back(Cat({Be32(uint32_t(c.receiver)), Be32(uint32_t(cs)), Be32(uint32_t(type)), Be32(sid), type == RTMP_PT_VIDEO ? prefix : Bytes{}, body}));
    }
    size_t next = 0;
    for (size_t off = 0; off < wire.size();) {
        const size_t n = std::min(wire.size() - off, 1 + size_t(rng() % maxPiece));
        reader.PutData(std::span<const uint8_t>(wire.data() + off, n));
        off += n;
        AMF3::Header h;
        while (BS::DataPtr m = reader.GetMessage(AMF3::MODE_CHUNKS, &h)) {
            ASSERT_LT(next, sent.size());
            SCOPED_TRACE("message " + std::to_string(next));
            EXPECT_EQ(uint32_t(m->dts), uint32_t(h.timestamp));
            ASSERT_EQ(Cat({Be32(uint32_t(h.timestamp)), Be32(uint32_t(h.chunkStreamId)), Be32(uint32_t(h.type)), Be32(h.streamId), ToBytes(*m)}), sent[next++]);
        }
    }
    EXPECT_EQ(next, sent.size());
}

TEST(ChunkRoundTrip, RandomSequencesInRandomPiecesAndByteByByte) {
    const int32_t chunks[] = {128, 129, 256, 1000, 4096, 65536};
    for (uint64_t seed = 1; seed <= 30 && !testing::Test::HasFatalFailure(); ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        RoundTrip(seed, 120, chunks[seed % 6], 300000, 20000);
    }
    for (int32_t chunk : {128, 777, 65536}) {
        SCOPED_TRACE("byte by byte, chunk " + std::to_string(chunk));
        RoundTrip(uint64_t(chunk), 60, chunk, 70000, 1);
    }
}

}  // namespace
