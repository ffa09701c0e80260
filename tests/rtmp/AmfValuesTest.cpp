// AMF0 / AMF3 value encodings and the cursor readers.
#include <gtest/gtest.h>

#include "rtmp/Amf0Reader.h"
#include "rtmp/Amf3Values.h"
#include "rtmp/AmfWriter.h"
#include "TestSupport.h"

using namespace rtmptest;

namespace {

template <typename F>
Bytes Write(F f, size_t cap = 64) {
    Bytes buf(cap);
    rtmp::CAmfWriter w(buf);
    f(w);
    buf.resize(w.Size());
    return buf;
}

TEST(Amf0Writer, ValueEncodings) {
    EXPECT_EQ(Write([](auto& w) { w.Number(1.0); }), (Bytes{0x00, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Write([](auto& w) { w.Number(-2.5); }), (Bytes{0x00, 0xC0, 0x04, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Write([](auto& w) { w.Boolean(true); w.Boolean(false); }), (Bytes{0x01, 0x01, 0x01, 0x00}));
    EXPECT_EQ(Write([](auto& w) { w.String("live"); }), (Bytes{0x02, 0x00, 0x04, 'l', 'i', 'v', 'e'}));
    EXPECT_EQ(Write([](auto& w) { w.String(""); }), (Bytes{0x02, 0x00, 0x00}));
    EXPECT_EQ(Write([](auto& w) { w.ObjectStart(); w.Null(); w.ObjectEnd(); }), (Bytes{0x03, 0x05, 0x00, 0x00, 0x09}));
    EXPECT_EQ(Write([](auto& w) { w.EcmaArrayStart(0x01020304); }), (Bytes{0x08, 0x01, 0x02, 0x03, 0x04}));
    EXPECT_EQ(Write([](auto& w) { w.Property("ab", true); }), (Bytes{0x00, 0x02, 'a', 'b', 0x01, 0x01}));
}

TEST(Amf0Writer, ValuesThatDoNotFitAreNotWrittenAtAll) {
    Bytes buf(10);
    rtmp::CAmfWriter w(buf);
    EXPECT_TRUE(w.String("abcdefg"));  // 10 bytes exactly
    EXPECT_FALSE(w.Failed());
    EXPECT_FALSE(w.Null());
    EXPECT_TRUE(w.Failed());
    EXPECT_EQ(w.Size(), 10u);

    Bytes small(12);
    rtmp::CAmfWriter p(small);
    EXPECT_FALSE(p.Property("name", std::string_view("value")));  // name fits, value would not
    EXPECT_EQ(p.Size(), 0u);

    Bytes big(70000);
    rtmp::CAmfWriter l(big);
    EXPECT_FALSE(l.String(std::string(65536, 'x')));  // no short-string form
    EXPECT_EQ(l.Size(), 0u);
    EXPECT_TRUE(l.String(std::string(65535, 'x')));
}

TEST(Amf3Values, U29Boundaries) {
    auto integer = [](int32_t v) { return Write([v](auto& w) { EXPECT_TRUE(rtmp::amf3::WriteInteger(w, v, false, false)); }); };
    EXPECT_EQ(integer(0), (Bytes{0x00}));
    EXPECT_EQ(integer(0x7F), (Bytes{0x7F}));
    EXPECT_EQ(integer(0x80), (Bytes{0x81, 0x00}));
    EXPECT_EQ(integer(0x3FFF), (Bytes{0xFF, 0x7F}));
    EXPECT_EQ(integer(0x4000), (Bytes{0x81, 0x80, 0x00}));
    EXPECT_EQ(integer(0x1FFFFF), (Bytes{0xFF, 0xFF, 0x7F}));
    EXPECT_EQ(integer(0x200000), (Bytes{0x80, 0xC0, 0x80, 0x00}));
    EXPECT_EQ(integer(0x0FFFFFFF), (Bytes{0xBF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(integer(-1), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(integer(-(1 << 28)), (Bytes{0xC0, 0x80, 0x80, 0x00}));
    // Outside the 29-bit range nothing is written.
    Bytes out = Write([](auto& w) {
        EXPECT_FALSE(rtmp::amf3::WriteInteger(w, 1 << 28, true, true));
        EXPECT_FALSE(rtmp::amf3::WriteInteger(w, -(1 << 28) - 1, true, true));
    });
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(Write([](auto& w) { rtmp::amf3::WriteInteger(w, 5, true, true); }), (Bytes{0x11, 0x04, 0x05}));
    EXPECT_EQ(Write([](auto& w) { rtmp::amf3::WriteInteger(w, 5, false, true); }), (Bytes{0x04, 0x05}));
}

TEST(Amf3Values, BooleansStringsAndObjects) {
    EXPECT_EQ(Write([](auto& w) { rtmp::amf3::WriteBoolean(w, true, true); rtmp::amf3::WriteBoolean(w, false, false); }),
              (Bytes{0x11, 0x03, 0x02}));
    EXPECT_EQ(Write([](auto& w) { rtmp::amf3::WriteStringValue(w, "abc"); }), (Bytes{0x07, 'a', 'b', 'c'}));
    EXPECT_EQ(Write([](auto& w) { rtmp::amf3::WriteString(w, "abc", true); }), (Bytes{0x11, 0x06, 0x07, 'a', 'b', 'c'}));
    EXPECT_EQ(Write([](auto& w) { rtmp::amf3::WriteString(w, "", false); }), (Bytes{0x06, 0x01}));
    EXPECT_EQ(Write([](auto& w) { rtmp::amf3::WriteObjectStart(w, 2); }), (Bytes{0x11, 0x0A, 0x0B, 0x01}));
    // 64 bytes need a two-byte length: 64 * 2 + 1 = 129.
    const Bytes s64 = Write([](auto& w) { rtmp::amf3::WriteStringValue(w, std::string(64, 'q')); }, 100);
    ASSERT_EQ(s64.size(), 66u);
    EXPECT_EQ(Slice(s64, 0, 2), (Bytes{0x81, 0x01}));
    // Strings are cut at 0xFFFFF bytes, announced in three bytes.
    const Bytes cut = Write([](auto& w) { rtmp::amf3::WriteStringValue(w, std::string(0x100005, 'z')); }, 0x100010);
    ASSERT_EQ(cut.size(), 3u + 0xFFFFF);
    EXPECT_EQ(Slice(cut, 0, 3), (Bytes{0xFF, 0xFF, 0x7F}));
}

TEST(Amf0Reader, CursorReads) {
    const Bytes body = Cat({{0x02, 0x00, 0x07}, Str("_result"), {0x00, 0x40, 0x08, 0, 0, 0, 0, 0, 0}, {0x05},
                            {0x00, 0x40, 0x08, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66}, {0x03}});
    rtmp::CAmf0Reader r(body);
    EXPECT_EQ(r.ReadString(), "_result");
    EXPECT_EQ(r.ReadString(), "");  // a number is next: no move
    EXPECT_EQ(r.ReadNumber(), 3);
    EXPECT_EQ(r.ReadNumber(), 0);  // null is next: no move
    EXPECT_EQ(r.SkipNullOrObject(), rtmp::CAmf0Reader::Marker::Null);
    EXPECT_EQ(r.ReadNumber(), 3);  // 3.05 truncates
    EXPECT_EQ(r.SkipNullOrObject(), rtmp::CAmf0Reader::Marker::Object);
    EXPECT_EQ(r.Remaining(), 0u);
    EXPECT_EQ(r.SkipNullOrObject(), rtmp::CAmf0Reader::Marker::None);
}

TEST(Amf0Reader, LongAndTruncatedValues) {
    // A 300-byte name: 255 bytes are taken and the cursor stops inside the string.
    const Bytes longName = Cat({{0x02, 0x01, 0x2C}, Bytes(300, 'n')});
    rtmp::CAmf0Reader r(longName);
    EXPECT_EQ(r.ReadString(), std::string(255, 'n'));
    EXPECT_EQ(r.Position(), 3u + 255);
    // A string whose length runs past the body takes what is there.
    const Bytes cut = {0x02, 0x00, 0x10, 'a', 'b'};
    rtmp::CAmf0Reader c(cut);
    EXPECT_EQ(c.ReadString(), "ab");
    EXPECT_EQ(c.Remaining(), 0u);
    // A number cut short is not a number.
    const Bytes shortNumber = {0x00, 0x40, 0x08};
    rtmp::CAmf0Reader n(shortNumber);
    EXPECT_EQ(n.ReadNumber(), 0);
    EXPECT_EQ(n.Position(), 0u);
    // Huge and NaN numbers saturate or read as 0 instead of overflowing.
    const Bytes huge = {0x00, 0x7F, 0xF0, 0, 0, 0, 0, 0, 0, 0x00, 0xFF, 0xF8, 0, 0, 0, 0, 0, 0, 0x00, 0xC3, 0xE0, 0, 0, 0, 0, 0, 0};
    rtmp::CAmf0Reader h(huge);
    EXPECT_EQ(h.ReadNumber(), INT64_MAX);
    EXPECT_EQ(h.ReadNumber(), 0);
    EXPECT_EQ(h.ReadNumber(), INT64_MIN);
}

TEST(Amf0Reader, ErrorInformationObject) {
    // { level: "error", code: "NetConnection.Connect.Rejected", description: ..., objectEncoding: 3, x: true }
    const Bytes obj = Cat({
        {0x00, 0x05}, Str("level"), {0x02, 0x00, 0x05}, Str("error"),
        {0x00, 0x04}, Str("code"), {0x02, 0x00, 0x1E}, Str("NetConnection.Connect.Rejected"),
        {0x00, 0x0E}, Str("objectEncoding"), {0x00, 0x40, 0x08, 0, 0, 0, 0, 0, 0},
        {0x00, 0x01}, Str("x"), {0x01, 0x01},
        {0x00, 0x00, 0x09},
    });
    rtmp::CAmf0Reader r(obj);
    std::vector<std::pair<std::string, std::string>> props;
    int guard = 0;
    while (!r.AtPropertyListEnd() && ++guard < 100) {
        std::string name = r.ReadPropertyName();
        props.emplace_back(name, r.ReadValueAsText());
    }
    ASSERT_EQ(props.size(), 4u);
    EXPECT_EQ(props[0], (std::pair<std::string, std::string>{"level", "error"}));
    EXPECT_EQ(props[1].second, "NetConnection.Connect.Rejected");
    EXPECT_EQ(props[2].second, "3");
    EXPECT_EQ(props[3].second, "");
    // An unknown marker gives no text and leaves the cursor.
    const Bytes unknown = {0x0A, 0x00};
    rtmp::CAmf0Reader u(unknown);
    EXPECT_EQ(u.ReadValueAsText(), "");
    EXPECT_EQ(u.Position(), 0u);
    // A name running past the end still moves the cursor to the end.
    const Bytes cut = {0x00, 0x30, 'a', 'b', 'c'};
    rtmp::CAmf0Reader c(cut);
    EXPECT_EQ(c.ReadPropertyName(), "abc");
    EXPECT_TRUE(c.AtPropertyListEnd());
}

TEST(Amf0Reader, StatusTextKeepsLettersOnly) {
    const Bytes body = Cat({{0x02, 0x00, 0x08}, Str("onStatus"), {0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0x05, 0x03},
                            {0x00, 0x04}, Str("code"), {0x02, 0x00, 0x13}, Str("NetStream.Play.Stop")});
    EXPECT_EQ(rtmp::StatusText(body), "onStatuscodeNetStreamPlayStop");
    // Only the first 255 bytes count.
    const Bytes longBody = Cat({Bytes(250, '.'), Str("abcdefgh")});
    EXPECT_EQ(rtmp::StatusText(longBody), "abcde");
    EXPECT_EQ(rtmp::StatusText({}), "");
}

}  // namespace
