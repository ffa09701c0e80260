// Control lines: what each documented object becomes, what is refused with a reason, and the
// filter-side forms of the values (key/value pairs and command argument lists).
#include <gtest/gtest.h>

#include "apps/ControlChannel.h"

namespace {

using Kind = app::ControlCommand::Kind;

std::vector<std::string> Push(app::LineSplitter& s, const std::string& text) {
    s.Push({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
    std::vector<std::string> out;
    while (auto l = s.Next()) out.push_back(*l);
    return out;
}

TEST(LineSplitter, CutsLinesAcrossPushesAndEndingsAndCapsTheirLength) {
    app::LineSplitter s;
    EXPECT_EQ(Push(s, "{\"a\":1}\r\n{\"b\""), std::vector<std::string>{"{\"a\":1}"});
    EXPECT_EQ(Push(s, ":2}\n\nlast"), (std::vector<std::string>{"{\"b\":2}", ""}));
    EXPECT_EQ(s.Rest(), std::optional<std::string>("last"));

    app::LineSplitter big;
    const std::string text = std::string(app::LineSplitter::kMaxLine + 10, 'x') + "\nok\n";
    big.Push({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
    bool tooLong = false;
    auto first = big.Next(&tooLong);
    ASSERT_TRUE(first && tooLong);
    EXPECT_EQ(first->size(), app::LineSplitter::kMaxLine) << "the rest of an overlong line is dropped";
    EXPECT_EQ(big.Next(&tooLong), std::optional<std::string>("ok"));
    EXPECT_FALSE(tooLong);
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
        std::string err;
        auto c = app::ParseControlLine(k.line, &err);
        ASSERT_TRUE(c) << k.line << ": " << err;
        EXPECT_EQ(c->kind, k.kind) << k.line;
        EXPECT_EQ(c->name, k.name) << k.line;
        EXPECT_EQ(Json::writeString(compact, c->values), k.values) << k.line;
        EXPECT_EQ(c->store, k.store) << k.line;
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

TEST(PairList, MembersBecomeTypedPairsInNameOrder) {
    std::string err;
    Json::Value v = app::ParseControlLine(R"({"cuepoint": {"name": "ad", "n": 7, "t": 12.5, "on": true, "big": 5000000000}})", &err)->values;
    app::PairList pairs;
    ASSERT_TRUE(pairs.Build(v, &err)) << err;
    std::vector<std::string> got;  // key, type letter, value
    for (int i = 0; i < pairs.count(); ++i) {
        const KeyValuePair& kv = *pairs.data()[i];
        got.push_back(std::string(kv.key) + "=" +
                      (kv.type == KVP_DOUBLE  ? "d" + std::to_string(*static_cast<const double*>(kv.value))
                       : kv.type == KVP_INT32 ? "i" + std::to_string(*static_cast<const int32_t*>(kv.value))
                       : kv.type == KVP_TEXT  ? "s" + std::string(static_cast<const char*>(kv.value))
                       : kv.type == KVP_BOOL  ? "b" + std::to_string(*static_cast<const uint8_t*>(kv.value))
                                              : "?"));
    }
    EXPECT_EQ(got, (std::vector<std::string>{"big=d5000000000.000000", "n=i7", "name=sad", "on=b1", "t=d12.500000"}))
        << "an integer beyond 32 bits is a double";
    app::PairList nested;
    v["o"] = Json::Value(Json::objectValue);
    EXPECT_FALSE(nested.Build(v, &err));
    EXPECT_NE(err.find("\"o\""), std::string::npos) << "the error names the member";
}

TEST(ArgumentList, CommandArgumentsBecomeAKeyValueList) {
    std::string err;
    auto c = app::ParseControlLine(
        R"({"command": {"name": "x", "args": {"s": "é", "b": false, "i": -3, "f": 1.5, "n": null, "o": {"k": 1}}}})", &err);
    ASSERT_TRUE(c) << err;
    app::ArgumentList args;
    args.Build(c->values);
    ASSERT_EQ(args.variant().vt, VT_KEYVALUELIST);
    const KeyValueList* list = args.variant().pkvlVal;
    ASSERT_EQ(list->count, 4u);  // the fraction and the null have no command form
    std::vector<std::wstring> names(list->names, list->names + 4);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"b", L"i", L"o", L"s"}));
    EXPECT_EQ(list->values[0].vt, VT_BOOL);
    EXPECT_EQ(list->values[0].boolVal, VARIANT_FALSE);
    EXPECT_EQ(list->values[1].vt, VT_INT);
    EXPECT_EQ(list->values[1].intVal, -3);
    ASSERT_EQ(list->values[2].vt, VT_KEYVALUELIST);
    EXPECT_EQ(list->values[2].pkvlVal->count, 1u);
    EXPECT_EQ(list->values[2].pkvlVal->values[0].intVal, 1);
    EXPECT_EQ(list->values[3].vt, VT_BSTR);
    EXPECT_STREQ(list->values[3].bstrVal, L"\u00e9");
}

}  // namespace
