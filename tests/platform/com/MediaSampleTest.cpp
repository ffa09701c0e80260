// Media samples and the allocator that lends them.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "platform/com/ComPtr.h"
#include "platform/dshow/MediaSample.h"
#include "platform/dshow/MediaType.h"

namespace {

TEST(MediaSample, TimesFollowTheStartStopRules) {
    CComPtr<IMediaSample> s = CComPtr<IMediaSample>::Attach(CMediaSample::Create(16));
    REFERENCE_TIME a = -1, b = -1;
    EXPECT_EQ(s->GetTime(&a, &b), VFW_E_SAMPLE_TIME_NOT_SET);

    REFERENCE_TIME start = 1234567;
    EXPECT_EQ(s->SetTime(&start, nullptr), S_OK);
    EXPECT_EQ(s->GetTime(&a, &b), VFW_S_NO_STOP_TIME);
    EXPECT_EQ(a, 1234567);
    EXPECT_EQ(b, 1234568);

    REFERENCE_TIME stop = 1634567;
    EXPECT_EQ(s->SetTime(&start, &stop), S_OK);
    EXPECT_EQ(s->GetTime(&a, &b), S_OK);
    EXPECT_EQ(b, 1634567);

    // Negative times are valid stream times (before the segment start).
    REFERENCE_TIME neg = -5000;
    s->SetTime(&neg, nullptr);
    EXPECT_EQ(s->GetTime(&a, &b), VFW_S_NO_STOP_TIME);
    EXPECT_EQ(a, -5000);

    EXPECT_EQ(s->SetTime(nullptr, nullptr), S_OK);
    EXPECT_EQ(s->GetTime(&a, &b), VFW_E_SAMPLE_TIME_NOT_SET);
    EXPECT_EQ(s->SetTime(nullptr, &stop), E_POINTER);
    EXPECT_EQ(s->GetTime(nullptr, &b), E_POINTER);

    LONGLONG m1, m2;
    EXPECT_EQ(s->GetMediaTime(&m1, &m2), VFW_E_MEDIA_TIME_NOT_SET);
    LONGLONG ms = 10, me = 11;
    s->SetMediaTime(&ms, &me);
    EXPECT_EQ(s->GetMediaTime(&m1, &m2), S_OK);
    EXPECT_EQ(m1, 10);
    EXPECT_EQ(m2, 11);
}

TEST(MediaSample, FlagsLengthAndTypeAreKept) {
    CComPtr<IMediaSample> s = CComPtr<IMediaSample>::Attach(CMediaSample::Create(8));
    EXPECT_EQ(s->GetSize(), 8);
    EXPECT_EQ(s->IsSyncPoint(), S_FALSE);
    EXPECT_EQ(s->IsPreroll(), S_FALSE);
    EXPECT_EQ(s->IsDiscontinuity(), S_FALSE);
    s->SetSyncPoint(TRUE);
    s->SetPreroll(TRUE);
    EXPECT_EQ(s->IsSyncPoint(), S_OK);
    EXPECT_EQ(s->IsPreroll(), S_OK);
    EXPECT_EQ(s->IsDiscontinuity(), S_FALSE);
    s->SetSyncPoint(FALSE);
    EXPECT_EQ(s->IsSyncPoint(), S_FALSE);
    EXPECT_EQ(s->IsPreroll(), S_OK);

    EXPECT_EQ(s->SetActualDataLength(9), VFW_E_BUFFER_OVERFLOW);
    EXPECT_EQ(s->SetActualDataLength(-1), VFW_E_BUFFER_OVERFLOW);
    EXPECT_EQ(s->SetActualDataLength(3), S_OK);
    EXPECT_EQ(s->GetActualDataLength(), 3);

    AM_MEDIA_TYPE* pmt = reinterpret_cast<AM_MEDIA_TYPE*>(0x1);
    EXPECT_EQ(s->GetMediaType(&pmt), S_FALSE);
    EXPECT_EQ(pmt, nullptr);
    CMediaType mt(&MEDIATYPE_Audio);
    mt.SetSubtype(&MEDIASUBTYPE_PCM);
    const BYTE block[4] = {1, 2, 3, 4};
    mt.SetFormat(block, 4);
    EXPECT_EQ(s->SetMediaType(&mt), S_OK);
    EXPECT_EQ(s->GetMediaType(&pmt), S_OK);
    ASSERT_NE(pmt, nullptr);
    EXPECT_TRUE(CMediaType(*pmt) == mt);
    DeleteMediaType(pmt);
}

struct Pool {
    CComPtr<IMemAllocator> alloc;
    CMemAllocator* raw;
    explicit Pool(LONG buffers, LONG size, LONG align = 1) {
        raw = new CMemAllocator();
        raw->NonDelegatingAddRef();
        alloc = CComPtr<IMemAllocator>::Attach(raw);
        ALLOCATOR_PROPERTIES req{buffers, size, align, 0}, act{};
        EXPECT_EQ(alloc->SetProperties(&req, &act), S_OK);
    }
};

TEST(MemAllocator, LendsOnlyWhileCommittedAndWithinItsCount) {
    Pool p(2, 100, 16);
    ALLOCATOR_PROPERTIES act{};
    p.alloc->GetProperties(&act);
    EXPECT_EQ(act.cbBuffer, 112);  // rounded up to the alignment
    IMediaSample* s = nullptr;
    EXPECT_EQ(p.alloc->GetBuffer(&s, nullptr, nullptr, 0), VFW_E_NOT_COMMITTED);
    ASSERT_EQ(p.alloc->Commit(), S_OK);

    IMediaSample *a = nullptr, *b = nullptr;
    ASSERT_EQ(p.alloc->GetBuffer(&a, nullptr, nullptr, 0), S_OK);
    ASSERT_EQ(p.alloc->GetBuffer(&b, nullptr, nullptr, 0), S_OK);
    EXPECT_NE(a, b);
    EXPECT_EQ(p.alloc->GetBuffer(&s, nullptr, nullptr, AM_GBF_NOWAIT), VFW_E_TIMEOUT);
    EXPECT_EQ(p.raw->Outstanding(), 2);
    ALLOCATOR_PROPERTIES req{4, 10, 1, 0};
    EXPECT_EQ(p.alloc->SetProperties(&req, &act), VFW_E_ALREADY_COMMITTED);

    // A returned sample comes back clean: flags, time and length reset.
    a->SetSyncPoint(TRUE);
    REFERENCE_TIME t = 5;
    a->SetTime(&t, nullptr);
    a->SetActualDataLength(1);
    a->Release();
    ASSERT_EQ(p.alloc->GetBuffer(&s, nullptr, nullptr, AM_GBF_NOWAIT), S_OK);
    EXPECT_EQ(s->IsSyncPoint(), S_FALSE);
    REFERENCE_TIME x, y;
    EXPECT_EQ(s->GetTime(&x, &y), VFW_E_SAMPLE_TIME_NOT_SET);
    EXPECT_EQ(s->GetActualDataLength(), 112);
    s->Release();
    b->Release();
    EXPECT_EQ(p.raw->Outstanding(), 0);
    p.alloc->Decommit();
}

TEST(MemAllocator, BlockedRequestWakesOnReturnAndOnDecommit) {
    Pool p(1, 10);
    p.alloc->Commit();
    IMediaSample* held = nullptr;
    ASSERT_EQ(p.alloc->GetBuffer(&held, nullptr, nullptr, 0), S_OK);

    std::atomic<HRESULT> got{E_UNEXPECTED};
    IMediaSample* second = nullptr;
    std::thread waiter([&] { got = p.alloc->GetBuffer(&second, nullptr, nullptr, 0); });
    held->Release();  // wakes the waiter with this very buffer
    waiter.join();
    EXPECT_EQ(got.load(), S_OK);
    ASSERT_NE(second, nullptr);

    std::atomic<HRESULT> third{E_UNEXPECTED};
    std::thread waiter2([&] {
        IMediaSample* s = nullptr;
        third = p.alloc->GetBuffer(&s, nullptr, nullptr, 0);
    });
    p.alloc->Decommit();  // wakes the waiter with a refusal
    waiter2.join();
    EXPECT_EQ(third.load(), VFW_E_NOT_COMMITTED);
    second->Release();
}

TEST(MemAllocator, LentSampleKeepsTheAllocatorAlive) {
    LONG before = ComObjectCount();
    IMediaSample* s = nullptr;
    {
        Pool p(1, 32);
        p.alloc->Commit();
        ASSERT_EQ(p.alloc->GetBuffer(&s, nullptr, nullptr, 0), S_OK);
        p.alloc->Decommit();
    }
    // The allocator's last outside reference is gone; the sample still works and its release
    // frees the pool and then the allocator (a use after free would show under the sanitizers).
    BYTE* data = nullptr;
    s->GetPointer(&data);
    data[31] = 0x5a;
    EXPECT_EQ(ComObjectCount(), before + 1);
    s->Release();
    EXPECT_EQ(ComObjectCount(), before);
}

}  // namespace
