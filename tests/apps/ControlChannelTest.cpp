// Control lines: what each documented object becomes, what is refused with a reason, and the
// filter-side forms of the values (key/value pairs and command argument lists).
#include <gtest/gtest.h>

#include <cstring>

#include "apps/ControlChannel.h"

namespace {

using app::ControlCommand;

std::vector<std::string> AllLines(app::LineSplitter& s) {
    std::vector<std::string> out;
    while (auto l = s.Next()) out.push_back(*l);
    return out;
}

TEST(LineSplitter, CutsLinesAcrossPushesAndEndings) {
    app::LineSplitter s;
    const std::string text = "{\"a\":1}\r\n{\"b\"";
    s.Push({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
    EXPECT_EQ(AllLines(s), std::vector<std::string>{"{\"a\":1}"});
    const std::string more = ":2}\n\nlast";
    s.Push({reinterpret_cast<const uint8_t*>(more.data()), more.size()});
    EXPECT_EQ(AllLines(s), (std::vector<std::string>{"{\"b\":2}", ""}));
    EXPECT_EQ(s.Rest(), std::optional<std::string>("last"));
}

TEST(LineSplitter, AnOverlongLineIsFlaggedAndItsRestDropped) {
    app::LineSplitter s;
    std::string big(app::LineSplitter::kMaxLine + 10, 'x');
    big += "\nok\n";
    s.Push({reinterpret_cast<const uint8_t*>(big.data()), big.size()});
    bool tooLong = false;
    auto first = s.Next(&tooLong);
    ASSERT_TRUE(first);
    EXPECT_TRUE(tooLong);
    EXPECT_EQ(first->size(), app::LineSplitter::kMaxLine);
    auto second = s.Next(&tooLong);
    ASSERT_TRUE(second);
    EXPECT_FALSE(tooLong);
    EXPECT_EQ(*second, "ok");
}

TEST(ControlLine, EachDocumentedObjectIsRecognised) {
    std::string err;
    auto c = app::ParseControlLine(R"({"cuepoint": {"name": "ad", "time": 12.5}})", &err);
    ASSERT_TRUE(c) << err;
    EXPECT_EQ(c->kind, ControlCommand::Kind::CuePoint);
    EXPECT_EQ(c->values["name"].asString(), "ad");

    c = app::ParseControlLine(R"({"metadata": {"title": "x"}})", &err);
    ASSERT_TRUE(c) << err;
    EXPECT_EQ(c->kind, ControlCommand::Kind::Metadata);

    c = app::ParseControlLine(R"({"invoke": {"name": "onText", "args": {"text": "hi"}, "store": true}})", &err);
    ASSERT_TRUE(c) << err;
    EXPECT_EQ(c->kind, ControlCommand::Kind::Invoke);
    EXPECT_EQ(c->name, "onText");
    EXPECT_TRUE(c->store);
    EXPECT_EQ(c->values["text"].asString(), "hi");

    c = app::ParseControlLine(R"({"invoke": {"name": "onPing"}})", &err);
    ASSERT_TRUE(c) << err;
    EXPECT_TRUE(c->values.isObject());
    EXPECT_FALSE(c->store);

    c = app::ParseControlLine(R"({"command": "ping"})", &err);
    ASSERT_TRUE(c) << err;
    EXPECT_EQ(c->kind, ControlCommand::Kind::Command);
    EXPECT_EQ(c->name, "ping");
    EXPECT_TRUE(c->values.isNull());

    c = app::ParseControlLine(R"({"command": {"name": "setTitle", "args": {"t": "x"}}})", &err);
    ASSERT_TRUE(c) << err;
    EXPECT_EQ(c->name, "setTitle");
    EXPECT_TRUE(c->values.isObject());

    for (auto [line, kind] : {std::pair{R"({"clear-metadata": true})", ControlCommand::Kind::ClearMetadata},
                              std::pair{R"({"restart": true})", ControlCommand::Kind::Restart},
                              std::pair{R"({"drop-connection": true})", ControlCommand::Kind::DropConnection}}) {
        c = app::ParseControlLine(line, &err);
        ASSERT_TRUE(c) << line << ": " << err;
        EXPECT_EQ(c->kind, kind);
    }
}

TEST(ControlLine, BadLinesAreRefusedWithAReason) {
    for (const std::string& line : std::vector<std::string>{"not json", "[1,2]", "{}", R"({"cuepoint": {}, "restart": true})", R"({"cuepoint": 5})",
                             R"({"cuepoint": {}})", R"({"invoke": {"args": {}}})", R"({"invoke": {"name": "x", "args": 3}})",
                             R"({"command": ""})", R"({"command": {"args": {}}})", R"({"restart": false})",
                             R"({"launch": true})", R"({"a": )", "{\"deep\": " + std::string(100, '[') }) {
        std::string err;
        EXPECT_FALSE(app::ParseControlLine(line, &err)) << line;
        EXPECT_FALSE(err.empty()) << line;
        EXPECT_EQ(err.find('\n'), std::string::npos) << "one line: " << err;
    }
}

TEST(PairList, MembersBecomeTypedPairsInNameOrder) {
    std::string err;
    auto c = app::ParseControlLine(R"({"cuepoint": {"name": "ad", "n": 7, "t": 12.5, "on": true, "big": 5000000000}})", &err);
    ASSERT_TRUE(c);
    app::PairList pairs;
    ASSERT_TRUE(pairs.Build(c->values, &err)) << err;
    ASSERT_EQ(pairs.count(), 5);
    const KeyValuePair* const* p = pairs.data();
    EXPECT_STREQ(p[0]->key, "big");
    EXPECT_EQ(p[0]->type, KVP_DOUBLE);  // beyond 32 bits
    EXPECT_DOUBLE_EQ(*static_cast<const double*>(p[0]->value), 5e9);
    EXPECT_STREQ(p[1]->key, "n");
    EXPECT_EQ(p[1]->type, KVP_INT32);
    EXPECT_EQ(*static_cast<const int32_t*>(p[1]->value), 7);
    EXPECT_STREQ(p[2]->key, "name");
    EXPECT_EQ(p[2]->type, KVP_TEXT);
    EXPECT_STREQ(static_cast<const char*>(p[2]->value), "ad");
    EXPECT_STREQ(p[3]->key, "on");
    EXPECT_EQ(p[3]->type, KVP_BOOL);
    EXPECT_EQ(*static_cast<const uint8_t*>(p[3]->value), 1);
    EXPECT_STREQ(p[4]->key, "t");
    EXPECT_EQ(p[4]->type, KVP_DOUBLE);
    EXPECT_DOUBLE_EQ(*static_cast<const double*>(p[4]->value), 12.5);

    app::PairList nested;
    Json::Value withObject(Json::objectValue);
    withObject["o"] = Json::Value(Json::objectValue);
    EXPECT_FALSE(nested.Build(withObject, &err));
    EXPECT_NE(err.find("\"o\""), std::string::npos);
}

TEST(ArgumentList, CommandArgumentsBecomeAKeyValueList) {
    std::string err;
    auto c = app::ParseControlLine(
        R"({"command": {"name": "x", "args": {"s": "é", "b": false, "i": -3, "f": 1.5, "n": null, "o": {"k": 1}}}})", &err);
    ASSERT_TRUE(c) << err;
    app::ArgumentList args;
    args.Build(c->values);
    const VARIANT& v = args.variant();
    ASSERT_EQ(v.vt, VT_KEYVALUELIST);
    const KeyValueList* list = v.pkvlVal;
    ASSERT_EQ(list->count, 4u);  // the fraction and the null have no command form
    EXPECT_STREQ(list->names[0], L"b");
    EXPECT_EQ(list->values[0].vt, VT_BOOL);
    EXPECT_EQ(list->values[0].boolVal, VARIANT_FALSE);
    EXPECT_STREQ(list->names[1], L"i");
    EXPECT_EQ(list->values[1].vt, VT_INT);
    EXPECT_EQ(list->values[1].intVal, -3);
    EXPECT_STREQ(list->names[2], L"o");
    ASSERT_EQ(list->values[2].vt, VT_KEYVALUELIST);
    EXPECT_EQ(list->values[2].pkvlVal->count, 1u);
    EXPECT_EQ(list->values[2].pkvlVal->values[0].intVal, 1);
    EXPECT_STREQ(list->names[3], L"s");
    EXPECT_EQ(list->values[3].vt, VT_BSTR);
    EXPECT_STREQ(list->values[3].bstrVal, L"\u00e9");
}

}  // namespace
