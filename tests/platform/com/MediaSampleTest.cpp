// Media types with their format blocks, media samples, and the allocator that lends them.
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/com/ComPtr.h"
#include "platform/dshow/FormatBlocks.h"
#include "platform/dshow/MediaSample.h"
#include "platform/dshow/MediaType.h"
#include "platform/dshow/Uuids.h"

namespace {

CMediaType AacType(uint32_t rate, std::vector<uint8_t> asc) {
    CMediaType mt(&MEDIATYPE_Audio);
    mt.SetSubtype(&MEDIASUBTYPE_RAW_AAC1);
    mt.SetFormatType(&FORMAT_WaveFormatEx);
    BYTE* p = mt.AllocFormatBuffer(static_cast<ULONG>(sizeof(WAVEFORMATEX) + asc.size()));
    WAVEFORMATEX wfx{};
    wfx.nSamplesPerSec = rate;
    wfx.cbSize = static_cast<WORD>(asc.size());
    std::memcpy(p, &wfx, sizeof wfx);
    if (!asc.empty()) std::memcpy(p + sizeof wfx, asc.data(), asc.size());
    return mt;
}

struct CountingUnknown : IUnknown {
    int refs = 1;
    HRESULT QueryInterface(REFIID, void** ppv) override { return *ppv = nullptr, E_NOINTERFACE; }
    ULONG AddRef() override { return static_cast<ULONG>(++refs); }
    ULONG Release() override { return static_cast<ULONG>(--refs); }
};

TEST(MediaType, CopiesOwnTheirFormatBlockAndReferenceTheirUnknown) {
    CMediaType a = AacType(44100, {0x12, 0x10});
    CMediaType b(a);
    ASSERT_EQ(b.FormatLength(), 20u);
    EXPECT_NE(b.Format(), a.Format());
    EXPECT_TRUE(a == b);
    b.Format()[19] = 0x11;  // the copy's block is its own, and equality sees it
    EXPECT_EQ(a.Format()[19], 0x10);
    EXPECT_FALSE(a == b);
    CMediaType c = AacType(48000, {1, 2, 3, 4, 5});
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

    AM_MEDIA_TYPE src{};
    CountingUnknown unk;
    src.pUnk = &unk;
    {
        CMediaType withUnk(src);
        AM_MEDIA_TYPE* q = CreateMediaType(&withUnk);
        EXPECT_EQ(unk.refs, 3);
        DeleteMediaType(q);
        EXPECT_EQ(unk.refs, 2);
    }
    EXPECT_EQ(unk.refs, 1);


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
    EXPECT_EQ(s->SetActualDataLength(9), VFW_E_BUFFER_OVERFLOW);
    EXPECT_EQ(s->SetActualDataLength(-1), VFW_E_BUFFER_OVERFLOW);
    EXPECT_EQ(s->SetActualDataLength(8), S_OK);  // exact fit
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
};

TEST(MemAllocator, LendsWithinItsCountAndTakesSamplesBackClean) {
    Pool p(2, 100, 16);
    IMediaSample *s = nullptr, *a = nullptr, *b = nullptr;
    EXPECT_EQ(p.alloc->GetBuffer(&s, nullptr, nullptr, 0), VFW_E_NOT_COMMITTED);
    ASSERT_EQ(p.alloc->Commit(), S_OK);
    ASSERT_EQ(p.alloc->GetBuffer(&a, nullptr, nullptr, 0), S_OK);
    ASSERT_EQ(p.alloc->GetBuffer(&b, nullptr, nullptr, 0), S_OK);
    EXPECT_EQ(p.alloc->GetBuffer(&s, nullptr, nullptr, AM_GBF_NOWAIT), VFW_E_TIMEOUT);
    ALLOCATOR_PROPERTIES req{4, 10, 1, 0}, act{};
    EXPECT_EQ(p.alloc->SetProperties(&req, &act), VFW_E_ALREADY_COMMITTED);

    // A returned sample comes back clean: every flag, the times and the length reset.
    REFERENCE_TIME t = 5;
    a->SetSyncPoint(TRUE), a->SetPreroll(TRUE), a->SetDiscontinuity(TRUE), a->SetTime(&t, nullptr);
    a->SetMediaTime(&t, &t), a->SetActualDataLength(1);
    a->Release();
    ASSERT_EQ(p.alloc->GetBuffer(&s, nullptr, nullptr, AM_GBF_NOWAIT), S_OK);
    EXPECT_EQ(s->IsSyncPoint(), S_FALSE);
    EXPECT_EQ(s->IsPreroll(), S_FALSE);
    EXPECT_EQ(s->IsDiscontinuity(), S_FALSE);
    REFERENCE_TIME x, y;
    EXPECT_EQ(s->GetTime(&x, &y), VFW_E_SAMPLE_TIME_NOT_SET);
    EXPECT_EQ(s->GetMediaTime(&x, &y), VFW_E_MEDIA_TIME_NOT_SET);
    EXPECT_EQ(s->GetActualDataLength(), 112);  // rounded up to the alignment
    s->Release();
    b->Release();
    EXPECT_EQ(p.raw->Outstanding(), 0);
}

TEST(MemAllocator, BlockedRequestWakesOnReturnAndOnDecommitAndLentSampleKeepsItAlive) {
    LONG before = ComObjectCount();
    IMediaSample *held = nullptr, *second = nullptr;
    {
        Pool p(1, 32);
        p.alloc->Commit();
        ASSERT_EQ(p.alloc->GetBuffer(&held, nullptr, nullptr, 0), S_OK);
        std::atomic<HRESULT> got{E_UNEXPECTED}, third{E_UNEXPECTED};
        std::thread waiter([&] { got = p.alloc->GetBuffer(&second, nullptr, nullptr, 0); });
        held->Release();  // wakes the waiter with this very buffer
        waiter.join();
        EXPECT_EQ(got.load(), S_OK);
        ASSERT_NE(second, nullptr);
        std::thread waiter2([&] {
            IMediaSample* s = nullptr;
            third = p.alloc->GetBuffer(&s, nullptr, nullptr, 0);
        });
        p.alloc->Decommit();  // wakes the waiter with a refusal
        waiter2.join();
        EXPECT_EQ(third.load(), VFW_E_NOT_COMMITTED);
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
