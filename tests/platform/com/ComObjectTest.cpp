// Identity, reference counting and aggregation of COM objects; GUID text; the class factory.
#include <gtest/gtest.h>

#include "platform/com/ClassFactory.h"
#include "platform/com/ComPtr.h"
#include "platform/com/Guid.h"
#include "platform/com/TaskMem.h"
#include "platform/dshow/DShowTypes.h"
#include "platform/dshow/Uuids.h"

namespace {

constexpr IID IID_IFoo = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
constexpr IID IID_IBar = {0xaaaaaaaa, 0xbbbb, 0xcccc, {0xdd, 0xdd, 0xee, 0xee, 0xee, 0xee, 0xee, 0xee}};
constexpr IID IID_IOuter = {0x99999999, 0x8888, 0x7777, {0x66, 0x66, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

struct IFoo : IUnknown {
    virtual int Foo() = 0;
};
struct IBar : IUnknown {
    virtual int Bar() = 0;
};
struct IOuter : IUnknown {
    virtual int Outer() = 0;
};

// An aggregatable object with two interfaces.
class CInner final : public CUnknown, public IFoo, public IBar {
public:
    explicit CInner(IUnknown* outer, bool* destroyed = nullptr) : CUnknown(L"Inner", outer), m_destroyed(destroyed) {}
    ~CInner() override {
        if (m_destroyed) *m_destroyed = true;
    }
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IFoo) return GetInterface(static_cast<IFoo*>(this), ppv);
        if (riid == IID_IBar) return GetInterface(static_cast<IBar*>(this), ppv);
        return CUnknown::NonDelegatingQueryInterface(riid, ppv);
    }
    int Foo() override { return 1; }
    int Bar() override { return 2; }
    LONG Count() const { return m_cRef; }

private:
    bool* m_destroyed;
};

// An object that aggregates a CInner and exposes its IFoo (not its IBar) as its own.
class COuter final : public CUnknown, public IOuter {
public:
    explicit COuter(bool* innerDestroyed) : CUnknown(L"Outer", nullptr) {
        m_inner = new CInner(GetOwner(), innerDestroyed);
        m_innerUnknown = m_inner->InnerUnknown();
        m_innerUnknown->AddRef();
    }
    ~COuter() override { m_innerUnknown->Release(); }
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IOuter) return GetInterface(static_cast<IOuter*>(this), ppv);
        if (riid == IID_IFoo) return m_innerUnknown->QueryInterface(riid, ppv);
        return CUnknown::NonDelegatingQueryInterface(riid, ppv);
    }
    int Outer() override { return 3; }
    LONG Count() const { return m_cRef; }
    CInner* Inner() const { return m_inner; }

private:
    CInner* m_inner;
    IUnknown* m_innerUnknown;
};

template <class T>
T* Query(IUnknown* p, REFIID iid, HRESULT* hr = nullptr) {
    void* out = reinterpret_cast<void*>(0x1);
    HRESULT h = p->QueryInterface(iid, &out);
    if (hr) *hr = h;
    return static_cast<T*>(out);
}

TEST(ComObject, QueryInterfaceFollowsIdentityAndCountingRules) {
    LONG before = ComObjectCount();
    bool destroyed = false;
    auto* obj = new CInner(nullptr, &destroyed);
    IFoo* foo = Query<IFoo>(obj->InnerUnknown(), IID_IFoo);
    ASSERT_NE(foo, nullptr);
    EXPECT_EQ(obj->Count(), 1);
    EXPECT_EQ(foo->Foo(), 1);

    // Identity: IUnknown asked from any interface is one and the same pointer.
    IBar* bar = Query<IBar>(foo, IID_IBar);
    IUnknown* u1 = Query<IUnknown>(foo, IID_IUnknown);
    IUnknown* u2 = Query<IUnknown>(bar, IID_IUnknown);
    EXPECT_EQ(u1, u2);
    EXPECT_EQ(bar->Bar(), 2);
    EXPECT_EQ(obj->Count(), 4);

    // Symmetric and transitive: back from IBar to IFoo gives the same IFoo.
    IFoo* foo2 = Query<IFoo>(bar, IID_IFoo);
    EXPECT_EQ(foo2, foo);

    // A refused interface nulls the out pointer and adds nothing.
    HRESULT hr = S_OK;
    void* none = Query<void>(foo, IID_IOuter, &hr);
    EXPECT_EQ(hr, E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(foo->QueryInterface(IID_IFoo, nullptr), E_POINTER);
    EXPECT_EQ(obj->Count(), 5);

    foo2->Release();
    u2->Release();
    u1->Release();
    bar->Release();
    EXPECT_FALSE(destroyed);
    EXPECT_EQ(foo->Release(), 0u);
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(ComObjectCount(), before);
}

TEST(ComObject, AggregatedObjectSharesTheOuterIdentityAndCount) {
    LONG before = ComObjectCount();
    bool innerDestroyed = false;
    auto* outer = new COuter(&innerDestroyed);
    IOuter* po = Query<IOuter>(outer->InnerUnknown(), IID_IOuter);
    ASSERT_NE(po, nullptr);
    EXPECT_EQ(outer->Count(), 1);
    EXPECT_EQ(outer->Inner()->Count(), 1);  // only the outer's own reference on the inner unknown

    // The inner interface is reached through the outer, and counts on the outer.
    IFoo* foo = Query<IFoo>(po, IID_IFoo);
    ASSERT_NE(foo, nullptr);
    EXPECT_EQ(foo->Foo(), 1);
    EXPECT_EQ(outer->Count(), 2);
    EXPECT_EQ(outer->Inner()->Count(), 1);

    // From the inner interface, IUnknown is the outer's identity and the outer's interfaces answer.
    IUnknown* fromInner = Query<IUnknown>(foo, IID_IUnknown);
    IUnknown* fromOuter = Query<IUnknown>(po, IID_IUnknown);
    EXPECT_EQ(fromInner, fromOuter);
    IOuter* back = Query<IOuter>(foo, IID_IOuter);
    EXPECT_EQ(back, po);
    // The outer hides IBar: asking the aggregated IFoo for it goes to the outer, which refuses.
    HRESULT hr = S_OK;
    EXPECT_EQ(Query<void>(foo, IID_IBar, &hr), nullptr);
    EXPECT_EQ(hr, E_NOINTERFACE);
    EXPECT_EQ(outer->Count(), 5);

    back->Release();
    fromOuter->Release();
    fromInner->Release();
    foo->Release();
    EXPECT_FALSE(innerDestroyed);
    po->Release();
    EXPECT_TRUE(innerDestroyed);
    EXPECT_EQ(ComObjectCount(), before);
}

TEST(ComObject, SmartPointerHoldsExactlyOneReference) {
    bool destroyed = false;
    auto* obj = new CInner(nullptr, &destroyed);
    {
        CComPtr<IFoo> a = CComPtr<IFoo>::Attach(Query<IFoo>(obj->InnerUnknown(), IID_IFoo));
        CComPtr<IFoo> b = a;
        EXPECT_EQ(obj->Count(), 2);
        CComPtr<IBar> bar;
        EXPECT_EQ(a.As(IID_IBar, bar), S_OK);
        EXPECT_EQ(obj->Count(), 3);
        CComPtr<IFoo> c = std::move(b);
        EXPECT_FALSE(b);
        a = c;  // self-family assignment keeps the count right
        EXPECT_EQ(obj->Count(), 3);
    }
    EXPECT_TRUE(destroyed);
}

TEST(Guid, TextFormMatchesTheRegistryForm) {
    EXPECT_EQ(GuidToString(IID_IBaseFilter), "{56A86895-0AD4-11CE-B03A-0020AF0BA770}");
    EXPECT_EQ(GuidToString(IID_IUnknown), "{00000000-0000-0000-C000-000000000046}");
    EXPECT_EQ(GuidToString(MEDIATYPE_Video), "{73646976-0000-0010-8000-00AA00389B71}");
    EXPECT_EQ(GuidToString(MEDIATYPE_Audio), "{73647561-0000-0010-8000-00AA00389B71}");
    EXPECT_EQ(GuidToString(MEDIASUBTYPE_H264), "{34363248-0000-0010-8000-00AA00389B71}");
    EXPECT_EQ(GuidToString(MEDIASUBTYPE_AVC1), "{31435641-0000-0010-8000-00AA00389B71}");
    EXPECT_EQ(GuidToString(MEDIASUBTYPE_RAW_AAC1), "{000000FF-0000-0010-8000-00AA00389B71}");
    EXPECT_EQ(GuidToString(FORMAT_VideoInfo), "{05589F80-C356-11CE-BF01-00AA0055595A}");
    EXPECT_EQ(GuidToString(FORMAT_WaveFormatEx), "{05589F81-C356-11CE-BF01-00AA0055595A}");
    EXPECT_EQ(GuidToString(FORMAT_VideoInfo2), "{F72A76A0-EB0A-11D0-ACE4-0000C0CC16BA}");
    EXPECT_EQ(GuidToString(FORMAT_MPEG2Video), "{E06D80E3-DB46-11CF-B4D1-00805F6CBBEA}");
    EXPECT_EQ(GuidToString(IID_IFileSinkFilter), "{A2104830-7C70-11CF-8BCE-00AA00A3F1A6}");
    EXPECT_EQ(GuidToString(IID_ICodecAPI), "{901DB4C7-31CE-41A2-85DC-8FA0BF41B8DA}");
    EXPECT_EQ(GuidToString(IID_ISpecifyPropertyPages), "{B196B28B-BAB4-101A-B69C-00AA00341D07}");
}

TEST(Guid, ParsesBothFormsAndRejectsMalformedText) {
    auto g = GuidFromString("{56a86891-0ad4-11ce-b03a-0020af0ba770}");
    ASSERT_TRUE(g);
    EXPECT_TRUE(*g == IID_IPin);
    auto h = GuidFromString("8D2D71CB-243F-45E3-B2D8-5FD7967EC09B");
    ASSERT_TRUE(h);
    EXPECT_TRUE(*h == MEDIASUBTYPE_H264_ALT);
    for (const char* bad : {"", "{56a86891-0ad4-11ce-b03a-0020af0ba770", "56a86891-0ad4-11ce-b03a-0020af0ba77",
                            "56a86891-0ad4-11ce-b03a-0020af0ba77g", "56a86891+0ad4-11ce-b03a-0020af0ba770",
                            "(56a86891-0ad4-11ce-b03a-0020af0ba770)", "56a86891-0ad4-11ce-b03a-0020af0ba7700"})
        EXPECT_FALSE(GuidFromString(bad)) << bad;
    // Round trip over varied bytes.
    GUID r = {0x01234567, 0x89ab, 0xcdef, {0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10}};
    EXPECT_TRUE(*GuidFromString(GuidToString(r)) == r);
}

TEST(ComTypes, ResultCodesHaveTheirSdkValues) {
    EXPECT_EQ(static_cast<uint32_t>(E_NOTIMPL), 0x80004001u);
    EXPECT_EQ(static_cast<uint32_t>(E_NOINTERFACE), 0x80004002u);
    EXPECT_EQ(static_cast<uint32_t>(E_POINTER), 0x80004003u);
    EXPECT_EQ(static_cast<uint32_t>(E_FAIL), 0x80004005u);
    EXPECT_EQ(static_cast<uint32_t>(E_UNEXPECTED), 0x8000FFFFu);
    EXPECT_EQ(static_cast<uint32_t>(E_INVALIDARG), 0x80070057u);
    EXPECT_EQ(static_cast<uint32_t>(E_OUTOFMEMORY), 0x8007000Eu);
    EXPECT_EQ(static_cast<uint32_t>(VFW_E_NOT_FOUND), 0x80040216u);
    EXPECT_EQ(static_cast<uint32_t>(VFW_E_TYPE_NOT_ACCEPTED), 0x8004022Au);
    EXPECT_EQ(static_cast<uint32_t>(VFW_E_INVALID_FILE_FORMAT), 0x8004022Fu);
    EXPECT_EQ(VFW_S_NO_MORE_ITEMS, 0x40103);
    EXPECT_EQ(VFW_S_NO_STOP_TIME, 0x40270);
    EXPECT_TRUE(FAILED(E_FAIL));
    EXPECT_TRUE(SUCCEEDED(S_FALSE));
}

// --- class factory ---------------------------------------------------------------------------

constexpr CLSID CLSID_Inner = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr CLSID CLSID_Failing = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 9}};

CUnknown* CreateInner(IUnknown* outer, HRESULT*) { return new CInner(outer); }
CUnknown* CreateFailing(IUnknown* outer, HRESULT* phr) {
    // Construction that reports failure after the object exists: the factory must free it.
    *phr = E_OUTOFMEMORY;
    return new CInner(outer);
}

int g_initCalls = 0;
void InitInner(bool loading, const CLSID* clsid) {
    if (clsid && *clsid == CLSID_Inner) g_initCalls += loading ? 1 : 10;
}

const CFactoryTemplate g_templates[] = {
    {L"Inner", &CLSID_Inner, CreateInner, InitInner, nullptr},
    {L"Failing", &CLSID_Failing, CreateFailing, nullptr, nullptr},
};

TEST(ClassFactory, CreatesByClassIdAndCleansUpFailures) {
    LONG before = ComObjectCount();
    CComPtr<IClassFactory> factory;
    EXPECT_EQ(ComGetClassObject(g_templates, CLSID_Inner, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    ASSERT_TRUE(factory);
    EXPECT_EQ(ComCanUnloadNow(), S_FALSE);  // the factory itself is alive

    CComPtr<IFoo> foo;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IFoo, reinterpret_cast<void**>(&foo)), S_OK);
    ASSERT_TRUE(foo);
    EXPECT_EQ(foo->Foo(), 1);

    // An interface the object lacks destroys the new object.
    void* none = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IOuter, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    // Aggregation may only ask for the inner unknown.
    EXPECT_EQ(factory->CreateInstance(foo.get(), IID_IFoo, &none), E_NOINTERFACE);

    CComPtr<IClassFactory> failing;
    EXPECT_EQ(ComGetClassObject(g_templates, CLSID_Failing, IID_IClassFactory, reinterpret_cast<void**>(&failing)), S_OK);
    EXPECT_EQ(failing->CreateInstance(nullptr, IID_IFoo, &none), E_OUTOFMEMORY);

    constexpr CLSID unknown = {0xdeadbeef, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
    EXPECT_EQ(ComGetClassObject(g_templates, unknown, IID_IClassFactory, &none), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(ComGetClassObject(g_templates, CLSID_Inner, IID_IFoo, &none), E_NOINTERFACE);

    factory->LockServer(TRUE);
    foo.Release();
    factory.Release();
    failing.Release();
    EXPECT_EQ(ComObjectCount(), before);
    if (before == 0) {
        EXPECT_EQ(ComCanUnloadNow(), S_FALSE);  // still locked
    }
    CComPtr<IClassFactory> again;
    ComGetClassObject(g_templates, CLSID_Inner, IID_IClassFactory, reinterpret_cast<void**>(&again));
    again->LockServer(FALSE);
    again.Release();
    if (before == 0) {
        EXPECT_EQ(ComCanUnloadNow(), S_OK);
    }
}

TEST(ClassFactory, ModuleInitRunsEachTemplateRoutine) {
    g_initCalls = 0;
    ComModuleInit(g_templates, true);
    ComModuleInit(g_templates, false);
    EXPECT_EQ(g_initCalls, 11);
}

TEST(TaskMem, BlocksAreUsableAndFreeAcceptsNull) {
    auto* p = static_cast<uint8_t*>(CoTaskMemAlloc(16));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 16; ++i) p[i] = static_cast<uint8_t>(i);
    p = static_cast<uint8_t*>(CoTaskMemRealloc(p, 64));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(p[i], i);
    CoTaskMemFree(p);
    CoTaskMemFree(nullptr);
    void* z = CoTaskMemAlloc(0);
    EXPECT_NE(z, nullptr);
    CoTaskMemFree(z);
}

}  // namespace
