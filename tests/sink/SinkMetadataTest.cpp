// Script data built by the sink, checked byte for byte against hand-written AMF.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "SinkTestSupport.h"
#include "platform/com/Dispatch.h"

using namespace sinktest;

namespace {

using Bytes = std::vector<uint8_t>;
// A function, not a braced list, so the bytes survive inside the assertion macros.
template <class... T>
Bytes B(T... v) {
    return Bytes{static_cast<uint8_t>(v)...};
}

Bytes Str(const std::string& s) {  // AMF0 string
    Bytes b{0x02, static_cast<uint8_t>(s.size() >> 8), static_cast<uint8_t>(s.size())};
    b.insert(b.end(), s.begin(), s.end());
    return b;
}
Bytes Key(const std::string& s) {
    Bytes b{static_cast<uint8_t>(s.size() >> 8), static_cast<uint8_t>(s.size())};
    b.insert(b.end(), s.begin(), s.end());
    return b;
}
Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class SinkMetadata : public ::testing::Test {
protected:
    TestSink sink;
};

TEST_F(SinkMetadata, CuePointIsAPlainOnCuePointWithItsPairsInOrder) {
    const char* name = "cp1";
    double time = 2.5;
    uint8_t yes = 1;
    KeyValuePair a{"name", name, KVP_TEXT}, b{"time", &time, KVP_DOUBLE}, c{"nav", &yes, KVP_BOOL};
    const KeyValuePair* pairs[] = {&a, &b, &c};
    ASSERT_EQ(sink.SendCuepoint(pairs, 3), S_OK);
    const auto scripts = sink.Scripts();
    ASSERT_EQ(scripts.size(), 1u);
    EXPECT_EQ(scripts[0].chunkStream, 4);
    EXPECT_EQ(scripts[0].type, 18);
    EXPECT_EQ(scripts[0].dts, 0);
    const Bytes expected = Str("onCuePoint") + B(0x08, 0, 0, 0, 3) + Key("name") + Str("cp1") + Key("time") +
                           B(0x00, 0x40, 0x04, 0, 0, 0, 0, 0, 0) + Key("nav") + B(0x01, 0x01) +
                           B(0, 0, 0x09);
    EXPECT_EQ(scripts[0].bytes, expected);
}

TEST_F(SinkMetadata, MetadataWhileStreamingIsWrappedInSetDataFrame) {
    sink.SetStreamingForTests(true);
    int32_t width = 1280;
    KeyValuePair w{"width", &width, KVP_INT32};
    const KeyValuePair* pairs[] = {&w};
    ASSERT_EQ(sink.SendMetadata(false, pairs, 1), S_OK);
    const auto scripts = sink.Scripts();
    ASSERT_EQ(scripts.size(), 1u);
    EXPECT_EQ(scripts[0].bytes, Str("@setDataFrame") + Str("onMetaData") + B(0x08, 0, 0, 0, 1) + Key("width") +
                                    B(0x00, 0x40, 0x94, 0, 0, 0, 0, 0, 0) + B(0, 0, 0x09));
}

TEST_F(SinkMetadata, MetadataBeforeStreamingSendsNothing) {
    int32_t rate = 2500000;
    KeyValuePair v{"videodatarate", &rate, KVP_INT32};
    const KeyValuePair* pairs[] = {&v};
    EXPECT_EQ(sink.SendMetadata(false, pairs, 1), S_OK);
    EXPECT_TRUE(sink.Scripts().empty());
}

TEST_F(SinkMetadata, InvalidPairArraysAreRefusedAndNothingIsSent) {
    double d = 1;
    KeyValuePair good{"a", &d, KVP_DOUBLE}, badType{"b", &d, 0x105}, noKey{nullptr, &d, KVP_DOUBLE},
        noValue{"c", nullptr, KVP_DOUBLE};
    const KeyValuePair* one[] = {&good};
    EXPECT_EQ(sink.SendCuepoint(one, 0), E_INVALIDARG);
    EXPECT_EQ(sink.SendCuepoint(nullptr, 1), E_INVALIDARG);
    for (const KeyValuePair* bad : {&badType, &noKey, &noValue}) {
        const KeyValuePair* pairs[] = {&good, bad};
        EXPECT_EQ(sink.SendCuepoint(pairs, 2), E_INVALIDARG);
        EXPECT_EQ(sink.SendMetadata(true, pairs, 2), E_INVALIDARG);
    }
    const KeyValuePair* withNull[] = {&good, nullptr};
    EXPECT_EQ(sink.SendCuepoint(withNull, 2), E_INVALIDARG);
    EXPECT_TRUE(sink.Scripts().empty());
}

TEST_F(SinkMetadata, PairsThatDoNotFitAreLeftOutWholeAndTheArraySaysHowManyItHolds) {
    std::vector<std::string> keys, values;
    std::vector<KeyValuePair> store(300);
    std::vector<const KeyValuePair*> pairs;
    for (int i = 0; i < 300; ++i) {
        char k[8];
        std::snprintf(k, sizeof k, "k%03d", i);
        keys.emplace_back(k);
        values.emplace_back(20, static_cast<char>('a' + i % 26));
    }
    for (int i = 0; i < 300; ++i) {
        store[static_cast<size_t>(i)] = {keys[static_cast<size_t>(i)].c_str(), values[static_cast<size_t>(i)].c_str(), KVP_TEXT};
        pairs.push_back(&store[static_cast<size_t>(i)]);
    }
    ASSERT_EQ(sink.SendCuepoint(pairs.data(), 300), S_OK);
    const Bytes b = sink.Scripts().at(0).bytes;
    // 4096 - (10 + 8) bytes for the pairs, 29 bytes each: 140 fit.
    const size_t header = 13;
    EXPECT_EQ(Bytes(b.begin() + header, b.begin() + header + 5), (B(0x08, 0, 0, 0, 140)));
    EXPECT_EQ(b.size(), header + 5 + 140 * 29 + 3);
    const Bytes last = Key("k139") + Str(values[139]) + B(0, 0, 9);
    EXPECT_EQ(Bytes(b.end() - static_cast<long>(last.size()), b.end()), last);
}

TEST_F(SinkMetadata, ClearDataFrameIsOneAmfString) {
    ASSERT_EQ(sink.ClearMetadata(), S_OK);
    EXPECT_EQ(sink.Scripts().at(0).bytes, Str("@clearDataFrame"));
    sink.deliverScriptResult = false;
    EXPECT_EQ(sink.ClearMetadata(), E_FAIL);
}

TEST_F(SinkMetadata, InvokeStringCarriesTheJsonMembersAsAnEcmaArray) {
    ASSERT_EQ(sink.SendInvokeString(L"onTextData", L"{\"text\":\"hi\",\"n\":3,\"b\":true}", L"x", false), S_OK);
    // jsoncpp iterates object members in key order.
    EXPECT_EQ(sink.Scripts().at(0).bytes, Str("@setDataFrame") + Str("onTextData") + B(0x08, 0, 0, 0, 3) +
                                              Key("b") + B(0x01, 0x01) + Key("n") +
                                              B(0x00, 0x40, 0x08, 0, 0, 0, 0, 0, 0) + Key("text") + Str("hi") +
                                              B(0, 0, 9));
    EXPECT_EQ(sink.SendInvokeString(L"bad", L"{not json", L"", true), E_INVALIDARG);
    EXPECT_EQ(sink.SendInvokeString(L"", L"{}", L"", true), E_INVALIDARG);
    EXPECT_EQ(sink.Scripts().size(), 1u);
}

TEST_F(SinkMetadata, AnInvokeNameOf8181CharactersFitsOnlyInPlainMode) {
    const std::wstring name(8181, L'n');
    EXPECT_EQ(sink.SendInvokeString(name.c_str(), L"{}", L"", false), E_INVALIDARG);
    ASSERT_EQ(sink.SendInvokeString(name.c_str(), L"{}", L"", true), S_OK);
    EXPECT_EQ(sink.Scripts().at(0).bytes.size(), 8192u);
}

// A script object as a host would pass it: members enumerated through IDispatchEx.
class FakeScriptObject : public IDispatchEx {
public:
    explicit FakeScriptObject(bool hasEx = true) : m_hasEx(hasEx) {}
    ~FakeScriptObject() {
        for (auto& m : m_members) VariantClear(&m.second);
    }
    void Add(const std::wstring& name, const VARIANT& v) {
        m_members.emplace_back(name, VARIANT{});
        VariantCopy(&m_members.back().second, &v);
    }
    HRESULT QueryInterface(REFIID riid, void** object) override {
        if (riid == IID_IDispatchEx && !m_hasEx) return E_NOINTERFACE;
        if (riid == IID_IDispatchEx || riid == IID_IDispatch || riid == IID_IUnknown) {
            *object = this;
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
    HRESULT GetTypeInfoCount(uint32_t*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(uint32_t, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, wchar_t**, uint32_t, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, uint16_t, DISPPARAMS*, VARIANT*, EXCEPINFO*, uint32_t*) override {
        return E_NOTIMPL;
    }
    HRESULT GetDispID(BSTR, uint32_t, DISPID*) override { return E_NOTIMPL; }
    HRESULT InvokeEx(DISPID id, LCID lcid, uint16_t flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                     IServiceProvider*) override {
        if (id < 0 || static_cast<size_t>(id) >= m_members.size() || flags != DISPATCH_PROPERTYGET || lcid != 1024)
            return E_INVALIDARG;
        return VariantCopy(result, &m_members[static_cast<size_t>(id)].second);
    }
    HRESULT DeleteMemberByName(BSTR, uint32_t) override { return E_NOTIMPL; }
    HRESULT DeleteMemberByDispID(DISPID) override { return E_NOTIMPL; }
    HRESULT GetMemberProperties(DISPID, uint32_t, uint32_t*) override { return E_NOTIMPL; }
    HRESULT GetMemberName(DISPID id, BSTR* name) override {
        if (id < 0 || static_cast<size_t>(id) >= m_members.size()) return E_INVALIDARG;
        *name = SysAllocString(m_members[static_cast<size_t>(id)].first.c_str());
        return S_OK;
    }
    HRESULT GetNextDispID(uint32_t flags, DISPID id, DISPID* next) override {
        if (flags != fdexEnumAll) return E_INVALIDARG;
        const DISPID n = id == DISPID_STARTENUM ? 0 : id + 1;
        if (static_cast<size_t>(n) >= m_members.size()) return S_FALSE;
        *next = n;
        return S_OK;
    }
    HRESULT GetNameSpaceParent(IUnknown**) override { return E_NOTIMPL; }
    int refs = 1;

private:
    bool m_hasEx;
    std::vector<std::pair<std::wstring, VARIANT>> m_members;
};

VARIANT Bstr(const wchar_t* s) {
    VARIANT v;
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(s);
    return v;
}
VARIANT Typed(VARTYPE t, int64_t value) {
    VARIANT v;
    v.vt = t;
    if (t == VT_BOOL) v.boolVal = static_cast<VARIANT_BOOL>(value);
    else if (t == VT_UI4) v.ulVal = static_cast<uint32_t>(value);
    else v.lVal = static_cast<int32_t>(value);
    return v;
}

const Bytes kCommandHead = Str("doIt") + B(0x00, 0, 0, 0, 0, 0, 0, 0, 0) + B(0x05);

TEST_F(SinkMetadata, CommandWithAKeyValueListWritesItsValuesFlatAndNestedListsAsObjects) {
    const wchar_t* innerNames[] = {L"k"};
    VARIANT innerValues[] = {Typed(VT_INT, 1)};
    KeyValueList inner{innerNames, innerValues, 1};
    VARIANT nested;
    nested.vt = VT_KEYVALUELIST;
    nested.pkvlVal = &inner;
    const wchar_t* names[] = {L"a", L"b", L"c", L"d", L"e", L"f", nullptr};
    VARIANT values[] = {Bstr(L"x"), Typed(VT_BOOL, -1), Typed(VT_UI4, 300), Typed(VT_I4, 5), nested,
                        Typed(VT_UI4, 1 << 28), Typed(VT_INT, 2)};
    KeyValueList list{names, values, 7};
    VARIANT arg;
    arg.vt = VT_KEYVALUELIST;
    arg.pkvlVal = &list;
    ASSERT_EQ(sink.SendRTMPCommand("doIt", &arg), S_OK);
    const auto s = sink.Scripts().at(0);
    EXPECT_EQ(s.chunkStream, 3);
    EXPECT_EQ(s.type, 20);
    // VT_I4, an integer beyond 29 bits and the entry without a name leave nothing.
    EXPECT_EQ(s.bytes, kCommandHead + B(0x11, 0x06, 0x03, 'x') + B(0x11, 0x03) + B(0x11, 0x04, 0x82, 0x2C) +
                           B(0x11, 0x0A, 0x0B, 0x01, 0x03, 'k', 0x04, 0x01, 0x01));
    SysFreeString(values[0].bstrVal);
}

TEST_F(SinkMetadata, CommandWithAScriptObjectReadsItsMembersThroughIDispatchEx) {
    FakeScriptObject child;
    child.Add(L"z", Typed(VT_UI4, 1));
    child.Add(L"w", Typed(VT_BOOL, 0));
    FakeScriptObject noEx(false);
    FakeScriptObject top;
    VARIANT s = Bstr(L"hi");
    top.Add(L"s", s);
    VariantClear(&s);
    top.Add(L"t", Typed(VT_BOOL, 0));
    top.Add(L"n", Typed(VT_INT, -1));
    top.Add(L"r", Typed(VT_R8, 0));
    VARIANT c;
    c.vt = VT_DISPATCH;
    c.pdispVal = &child;
    child.AddRef();
    top.Add(L"o", c);
    VariantClear(&c);
    VARIANT e;
    e.vt = VT_DISPATCH;
    e.pdispVal = &noEx;
    noEx.AddRef();
    top.Add(L"e", e);
    VariantClear(&e);
    VARIANT arg;
    arg.vt = VT_DISPATCH;
    arg.pdispVal = &top;
    ASSERT_EQ(sink.SendRTMPCommand("doIt", &arg), S_OK);
    EXPECT_EQ(sink.Scripts().at(0).bytes,
              kCommandHead + B(0x11, 0x06, 0x05, 'h', 'i') + B(0x11, 0x02) + B(0x11, 0x04, 0xFF, 0xFF, 0xFF, 0xFF) +
                  B(0x11, 0x0A, 0x0B, 0x01, 0x03, 'z', 0x04, 0x01, 0x03, 'w', 0x02, 0x01) +
                  B(0x11, 0x0A, 0x0B, 0x01, 0x01));
    // Every reference taken while reading was given back.
    EXPECT_EQ(top.refs, 1);
    EXPECT_EQ(child.refs, 2);  // the one held by top's member
    // Another type of argument adds nothing; a null command name fails.
    VARIANT number = Typed(VT_I4, 3);
    ASSERT_EQ(sink.SendRTMPCommand("doIt", &number), S_OK);
    EXPECT_EQ(sink.Scripts().at(1).bytes, kCommandHead);
    EXPECT_EQ(sink.SendRTMPCommand(nullptr, nullptr), E_FAIL);
}

}  // namespace
