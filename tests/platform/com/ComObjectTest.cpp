// Identity, reference counting and aggregation of COM objects; the class factory.
#include <gtest/gtest.h>

#include "platform/com/ClassFactory.h"
#include "platform/com/ComPtr.h"
#include "platform/dshow/Uuids.h"

namespace {

constexpr IID IID_IFoo = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
constexpr IID IID_IBar = {0xaaaaaaaa, 0xbbbb, 0xcccc, {0xdd, 0xdd, 0xee, 0xee, 0xee, 0xee, 0xee, 0xee}};
constexpr IID IID_IOuter = {0x99999999, 0x8888, 0x7777, {0x66, 0x66, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
struct IFoo : IUnknown {};
struct IBar : IUnknown {};
struct IOuter : IUnknown {};

class CInner final : public CUnknown, public IFoo, public IBar {
public:
    explicit CInner(IUnknown* outer, bool* destroyed = nullptr) : CUnknown(L"Inner", outer), m_destroyed(destroyed) {}
    ~CInner() override {
        if (m_destroyed) *m_destroyed = true;
    }
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IFoo) return GetInterface(static_cast<IFoo*>(this), ppv);
        if (riid == IID_IBar) return GetInterface(static_cast<IBar*>(this), ppv);
        return CUnknown::NonDelegatingQueryInterface(riid, ppv);
    }
    LONG Count() const { return m_cRef; }
    bool* m_destroyed;
};

// Aggregates a CInner and exposes its IFoo (not its IBar) as its own.
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
        if (riid == IID_IOuter) return GetInterface(static_cast<IOuter*>(this), ppv);
        if (riid == IID_IFoo) return m_innerUnknown->QueryInterface(riid, ppv);
        return CUnknown::NonDelegatingQueryInterface(riid, ppv);
    }
    LONG Count() const { return m_cRef; }
    CInner* m_inner;
    IUnknown* m_innerUnknown;
};

template <class T = IUnknown>
T* Query(IUnknown* p, REFIID iid, HRESULT* hr = nullptr) {
    void* out = reinterpret_cast<void*>(0x1);
    HRESULT h = p->QueryInterface(iid, &out);
    if (hr) *hr = h;
    return static_cast<T*>(out);
}

TEST(ComObject, AggregatedObjectSharesTheOuterIdentityAndCount) {
    LONG before = ComObjectCount();
    bool innerDestroyed = false;
    auto* outer = new COuter(&innerDestroyed);
    IOuter* po = Query<IOuter>(outer->InnerUnknown(), IID_IOuter);
    IFoo* foo = Query<IFoo>(po, IID_IFoo);
    ASSERT_NE(foo, nullptr);
    EXPECT_EQ(outer->Count(), 2);  // the inner interface counts on the outer
    EXPECT_EQ(outer->m_inner->Count(), 1);
    IUnknown* fromInner = Query(foo, IID_IUnknown);
    IUnknown* fromOuter = Query(po, IID_IUnknown);
    EXPECT_EQ(fromInner, fromOuter);  // one identity
    EXPECT_EQ(Query<IOuter>(foo, IID_IOuter), po);
    HRESULT hr = S_OK;
    EXPECT_EQ(Query<void>(foo, IID_IBar, &hr), nullptr);  // hidden by the outer; the out pointer is nulled
    EXPECT_EQ(hr, E_NOINTERFACE);
    EXPECT_EQ(foo->QueryInterface(IID_IFoo, nullptr), E_POINTER);
    EXPECT_EQ(outer->Count(), 5);
    for (IUnknown* p : {static_cast<IUnknown*>(po), fromOuter, fromInner, static_cast<IUnknown*>(foo)}) p->Release();
    EXPECT_FALSE(innerDestroyed);
    po->Release();
    EXPECT_TRUE(innerDestroyed);
    EXPECT_EQ(ComObjectCount(), before);


}

constexpr CLSID CLSID_Inner = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr CLSID CLSID_Failing = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 9}};
CUnknown* CreateInner(IUnknown* outer, HRESULT*) { return new CInner(outer); }
CUnknown* CreateFailing(IUnknown* outer, HRESULT* phr) {
    *phr = E_OUTOFMEMORY;  // reports failure after the object exists: the factory must free it
    return new CInner(outer);
}
const CFactoryTemplate g_templates[] = {
    {L"Inner", &CLSID_Inner, CreateInner, nullptr, nullptr},
    {L"Failing", &CLSID_Failing, CreateFailing, nullptr, nullptr},
};

TEST(ClassFactory, CreatesByClassIdCleansUpFailures) {
    LONG before = ComObjectCount();
    void* none = reinterpret_cast<void*>(0x1);
    {
        CComPtr<IClassFactory> factory, failing;
        ASSERT_EQ(ComGetClassObject(g_templates, CLSID_Inner, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
        EXPECT_EQ(ComCanUnloadNow(), S_FALSE);  // the factory itself is alive
        CComPtr<IFoo> foo;
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IFoo, reinterpret_cast<void**>(&foo)), S_OK);
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IOuter, &none), E_NOINTERFACE);  // and frees the object
        EXPECT_EQ(none, nullptr);
        EXPECT_EQ(factory->CreateInstance(foo.get(), IID_IFoo, &none), E_NOINTERFACE);  // aggregation: inner unknown only
        ASSERT_EQ(ComGetClassObject(g_templates, CLSID_Failing, IID_IClassFactory, reinterpret_cast<void**>(&failing)), S_OK);
        EXPECT_EQ(failing->CreateInstance(nullptr, IID_IFoo, &none), E_OUTOFMEMORY);
        constexpr CLSID unknown = {0xdeadbeef, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
        EXPECT_EQ(ComGetClassObject(g_templates, unknown, IID_IClassFactory, &none), CLASS_E_CLASSNOTAVAILABLE);
        EXPECT_EQ(ComGetClassObject(g_templates, CLSID_Inner, IID_IFoo, &none), E_NOINTERFACE);
        factory->LockServer(TRUE);
    }
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

}  // namespace
