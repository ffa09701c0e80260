// The class factory, registration of the classes and the filter in the settings store, media
// types, media samples and the allocator that lends them. (Aggregation is checked on the
// renderer's seeking pass-through, in the graph tests.)
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "TestFilters.h"
#include "platform/Settings.h"
#include "platform/com/ClassFactory.h"
#include "platform/com/ComPtr.h"
#include "platform/com/Guid.h"
#include "platform/dshow/BaseFilter.h"
#include "platform/dshow/FormatBlocks.h"
#include "platform/dshow/Interfaces.h"
#include "platform/dshow/MediaSample.h"
#include "platform/dshow/Registration.h"
#include "platform/dshow/Uuids.h"
#include "tests/platform/TempSettings.h"

namespace {

constexpr IID IID_IFoo = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
struct IFoo : IUnknown {};

class CInner final : public CUnknown, public IFoo {
public:
    explicit CInner(IUnknown* outer) : CUnknown(L"Inner", outer) {}
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IFoo) return GetInterface(static_cast<IFoo*>(this), ppv);
        return CUnknown::NonDelegatingQueryInterface(riid, ppv);
    }
};

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
    auto factoryOf = [](REFCLSID id, CComPtr<IClassFactory>& f) {
        return ComGetClassObject(g_templates, id, IID_IClassFactory, reinterpret_cast<void**>(&f));
    };
    {
        CComPtr<IClassFactory> factory, failing;
        ASSERT_EQ(factoryOf(CLSID_Inner, factory), S_OK);
        EXPECT_EQ(ComCanUnloadNow(), S_FALSE);  // the factory itself is alive
        CComPtr<IFoo> foo;
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IFoo, reinterpret_cast<void**>(&foo)), S_OK);
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IPin, &none), E_NOINTERFACE);  // and frees the object
        EXPECT_EQ(none, nullptr);
        EXPECT_EQ(factory->CreateInstance(foo.get(), IID_IFoo, &none), E_NOINTERFACE);  // aggregation: inner unknown only
        ASSERT_EQ(factoryOf(CLSID_Failing, failing), S_OK);
        EXPECT_EQ(failing->CreateInstance(nullptr, IID_IFoo, &none), E_OUTOFMEMORY);
        constexpr CLSID unknown = {0xdeadbeef, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
        EXPECT_EQ(ComGetClassObject(g_templates, unknown, IID_IClassFactory, &none), CLASS_E_CLASSNOTAVAILABLE);
        EXPECT_EQ(ComGetClassObject(g_templates, CLSID_Inner, IID_IFoo, &none), E_NOINTERFACE);
        factory->LockServer(TRUE);
    }
    EXPECT_EQ(ComObjectCount(), before);
    const bool alone = before == 0;  // whether the unload answers depend on this test only
    EXPECT_EQ(alone ? ComCanUnloadNow() : S_FALSE, S_FALSE);  // still locked
    CComPtr<IClassFactory> again;
    factoryOf(CLSID_Inner, again);
    again->LockServer(FALSE);
    again.Release();
    EXPECT_EQ(alone ? ComCanUnloadNow() : S_OK, S_OK);
}

constexpr CLSID CLSID_Writer = {0xb4fb59c5, 0x983b, 0x4d96, {0x92, 0x04, 0xf8, 0xb0, 0xe4, 0x67, 0x04, 0xee}};
constexpr CLSID CLSID_Page = {0xefc673de, 0xe20e, 0x4699, {0x83, 0x31, 0x95, 0x22, 0xc5, 0xdf, 0x7a, 0x6d}};
const AMOVIESETUP_MEDIATYPE kVideoTypes[] = {{&MEDIATYPE_Video, &GUID_NULL}}, kAudioTypes[] = {{&MEDIATYPE_Audio, &GUID_NULL}};
const AMOVIESETUP_PIN kPins[] = {{L"Video", TRUE, FALSE, FALSE, FALSE, &GUID_NULL, nullptr, 1, kVideoTypes},
                                 {L"Audio", TRUE, FALSE, FALSE, FALSE, &GUID_NULL, nullptr, 1, kAudioTypes}};
const AMOVIESETUP_FILTER kFilter = {&CLSID_Writer, L"Quorvel RTMP Network Writer", MERIT_DO_NOT_USE, 2, kPins};
const CFactoryTemplate kRegistered[] = {
    {L"Quorvel RTMP Network Writer", &CLSID_Writer, CreateInner, nullptr, &kFilter},
    {L"Quorvel RTMP Network Writer Property Page", &CLSID_Page, CreateInner, nullptr, nullptr}};

// Listing, path and unregistration are also checked through the writer's module (filter tests).
TEST(Registration, RegistersClassesAndFilterOnceAndReportsAnUnwritableStore) {
    using namespace platform::settings;
    qvtest::TempSettings env;
    for (const char* path : {"/first/librtmpwriter.so", "/opt/quorvel/librtmpwriter.so"}) {  // again: no duplicates
        SCOPED_TRACE(path);
        ASSERT_EQ(AMovieDllRegisterServer2(kRegistered, true, path), S_OK);
        auto f = FindRegisteredFilter(CLSID_Writer);
        ASSERT_TRUE(f);
        EXPECT_EQ(std::make_tuple(f->name, f->merit, f->serverPath, f->threadingModel, f->pins.size()),
                  std::make_tuple("Quorvel RTMP Network Writer", 0x200000u, path, "Both", 2u));
        for (size_t i = 0; i < f->pins.size(); ++i) {
            const auto& pin = f->pins[i];
            EXPECT_EQ(std::make_tuple(pin.name, pin.rendered, pin.output, pin.zero, pin.many, pin.connectsToFilter),
                      std::make_tuple(i ? "Audio" : "Video", true, false, false, false,
                                      "{00000000-0000-0000-0000-000000000000}"));
            ASSERT_EQ(pin.types.size(), 1u);
            EXPECT_TRUE(pin.types[0] == std::make_pair(i ? MEDIATYPE_Audio : MEDIATYPE_Video, GUID_NULL));
        }
    }
    auto page = Read(Scope::Machine, "clsid\\{efc673de-e20e-4699-8331-9522c5df7a6d}", "");  // any letter case
    ASSERT_TRUE(page);
    EXPECT_EQ(page->str, "Quorvel RTMP Network Writer Property Page");
    ASSERT_EQ(AMovieDllRegisterServer2(kRegistered, false, nullptr), S_OK);
    EXPECT_FALSE(FindRegisteredFilter(CLSID_Writer));
    EXPECT_FALSE(KeyExists(Scope::Machine, ClassKey(CLSID_Page)));

    // A machine-wide store under a path that is a file, not a directory, cannot be written.
    qvtest::TempSettings::WriteText(env.Dir() + "/blocker", "x");
    ::setenv("QV_SETTINGS_MACHINE", (env.Dir() + "/blocker/settings.json").c_str(), 1);
    EXPECT_EQ(AMovieDllRegisterServer2(kRegistered, true, "/x.so"), SELFREG_E_CLASS);
}

TEST(MediaType, CopiesOwnTheirFormatBlock) {
    CMediaType a = qvtest::AacType(44100, {0x12, 0x10}), b(a);
    ASSERT_EQ(b.FormatLength(), 20u);
    EXPECT_NE(b.Format(), a.Format());
    EXPECT_TRUE(a == b);
    b.Format()[19] = 0x11;  // the copy's block is its own, and equality sees it
    EXPECT_EQ(a.Format()[19], 0x10);
    EXPECT_FALSE(a == b);
    CMediaType c = qvtest::AacType(48000, {1, 2, 3, 4, 5});
    c = a;
    CMediaType& alias = c;
    c = alias;
    EXPECT_TRUE(c == a);
    CMediaType d(std::move(c));
    EXPECT_EQ(c.Format(), nullptr);  // a move leaves the source nothing to free
    EXPECT_TRUE(d == a);
    AM_MEDIA_TYPE* p = CreateMediaType(&a);
    EXPECT_NE(p->pbFormat, a.pbFormat);
    EXPECT_EQ(p->pbFormat[18], 0x12);
    DeleteMediaType(p);
    EXPECT_EQ(a.Format()[18], 0x12);
}

TEST(MediaSample, TimesFollowTheStartStopRulesAndLengthIsBounded) {
    CComPtr<IMediaSample> s = CComPtr<IMediaSample>::Attach(CMediaSample::Create(8));
    REFERENCE_TIME a = -1, b = -1, start = 1234567, stop = 1634567, neg = -5000;
    EXPECT_EQ(s->GetTime(&a, &b), VFW_E_SAMPLE_TIME_NOT_SET);
    EXPECT_EQ(s->SetTime(&start, nullptr), S_OK);
    EXPECT_EQ(s->GetTime(&a, &b), VFW_S_NO_STOP_TIME);
    EXPECT_EQ(b, 1234568);
    EXPECT_EQ(s->SetTime(&start, &stop), S_OK);
    EXPECT_EQ(s->GetTime(&a, &b), S_OK);
    EXPECT_EQ(b, 1634567);
    s->SetTime(&neg, nullptr);  // before the segment start: still a valid time
    EXPECT_EQ(s->GetTime(&a, &b), VFW_S_NO_STOP_TIME);
    EXPECT_EQ(a, -5000);
    EXPECT_EQ(s->SetTime(nullptr, nullptr), S_OK);
    EXPECT_EQ(s->GetTime(&a, &b), VFW_E_SAMPLE_TIME_NOT_SET);
    EXPECT_EQ(s->SetTime(nullptr, &stop), E_POINTER);
    for (auto [length, hr] : {std::pair{9, VFW_E_BUFFER_OVERFLOW}, {-1, VFW_E_BUFFER_OVERFLOW}, {8, S_OK}})
        EXPECT_EQ(s->SetActualDataLength(length), hr) << length;  // 8: an exact fit
    AM_MEDIA_TYPE* pmt = reinterpret_cast<AM_MEDIA_TYPE*>(0x1);
    EXPECT_EQ(s->GetMediaType(&pmt), S_FALSE);
    EXPECT_EQ(pmt, nullptr);
}

struct Pool {
    CComPtr<IMemAllocator> alloc;
    CMemAllocator* raw = new CMemAllocator();
    explicit Pool(LONG buffers, LONG size, LONG align = 1) {
        raw->NonDelegatingAddRef();
        alloc = CComPtr<IMemAllocator>::Attach(raw);
        ALLOCATOR_PROPERTIES req{buffers, size, align, 0}, act{};
        EXPECT_EQ(alloc->SetProperties(&req, &act), S_OK);
    }
    HRESULT Get(IMediaSample** s, DWORD flags = 0) { return alloc->GetBuffer(s, nullptr, nullptr, flags); }
};

TEST(MemAllocator, LendsWithinItsCountAndTakesSamplesBackClean) {
    Pool p(2, 100, 16);
    IMediaSample *s = nullptr, *a = nullptr, *b = nullptr;
    EXPECT_EQ(p.Get(&s), VFW_E_NOT_COMMITTED);
    ASSERT_EQ(p.alloc->Commit(), S_OK);
    ASSERT_EQ(p.Get(&a), S_OK);
    ASSERT_EQ(p.Get(&b), S_OK);
    EXPECT_EQ(p.Get(&s, AM_GBF_NOWAIT), VFW_E_TIMEOUT);
    ALLOCATOR_PROPERTIES req{4, 10, 1, 0}, act{};
    EXPECT_EQ(p.alloc->SetProperties(&req, &act), VFW_E_ALREADY_COMMITTED);

    // A returned sample comes back clean: every flag, the times and the length reset.
    REFERENCE_TIME t = 5, x, y;
    a->SetSyncPoint(TRUE), a->SetPreroll(TRUE), a->SetDiscontinuity(TRUE), a->SetTime(&t, nullptr);
    a->SetMediaTime(&t, &t), a->SetActualDataLength(1);
    a->Release();
    ASSERT_EQ(p.Get(&s, AM_GBF_NOWAIT), S_OK);
    EXPECT_EQ(s->IsSyncPoint(), S_FALSE);
    EXPECT_EQ(s->IsPreroll(), S_FALSE);
    EXPECT_EQ(s->IsDiscontinuity(), S_FALSE);
    EXPECT_EQ(s->GetTime(&x, &y), VFW_E_SAMPLE_TIME_NOT_SET);
    EXPECT_EQ(s->GetMediaTime(&x, &y), VFW_E_MEDIA_TIME_NOT_SET);
    EXPECT_EQ(s->GetActualDataLength(), 112);  // rounded up to the alignment
    s->Release();
    b->Release();
    EXPECT_EQ(p.raw->Outstanding(), 0);
}

TEST(MemAllocator, BlockedRequestWakesOnReturnAndOnDecommitAndLentSampleKeepsItAlive) {
    LONG before = ComObjectCount();
    IMediaSample *held = nullptr, *second = nullptr, *third = nullptr;
    {
        Pool p(1, 32);
        p.alloc->Commit();
        ASSERT_EQ(p.Get(&held), S_OK);
        std::atomic<HRESULT> got{E_UNEXPECTED};
        std::thread waiter([&] { got = p.Get(&second); });
        held->Release();  // wakes the waiter with this very buffer
        waiter.join();
        EXPECT_EQ(got.load(), S_OK);
        ASSERT_NE(second, nullptr);
        std::thread waiter2([&] { got = p.Get(&third); });
        p.alloc->Decommit();  // wakes the waiter with a refusal
        waiter2.join();
        EXPECT_EQ(got.load(), VFW_E_NOT_COMMITTED);
    }
    // The allocator's last outside reference is gone; the sample still works, and its release
    // frees the pool and then the allocator (a use after free shows under the sanitizers).
    BYTE* data = nullptr;
    second->GetPointer(&data);
    data[31] = 0x5a;
    EXPECT_EQ(ComObjectCount(), before + 1);
    second->Release();
    EXPECT_EQ(ComObjectCount(), before);
}

}  // namespace
