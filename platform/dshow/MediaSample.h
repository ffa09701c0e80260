#pragma once
// Media samples and the memory allocator that lends them out. A sample from an allocator goes
// back to the allocator's free list when its last reference is released; a free-standing
// sample (Create) deletes itself.
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/com/Unknown.h"
#include "platform/dshow/Interfaces.h"

class CMemAllocator;

class CMediaSample final : public IMediaSample {
public:
    // A sample owning `size` bytes and belonging to no allocator; the caller holds the one reference.
    static CMediaSample* Create(LONG size);

    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;

    HRESULT GetPointer(BYTE** ppBuffer) override;
    LONG GetSize() override;
    HRESULT GetTime(REFERENCE_TIME* pTimeStart, REFERENCE_TIME* pTimeEnd) override;
    HRESULT SetTime(REFERENCE_TIME* pTimeStart, REFERENCE_TIME* pTimeEnd) override;
    HRESULT IsSyncPoint() override;
    HRESULT SetSyncPoint(BOOL bIsSyncPoint) override;
    HRESULT IsPreroll() override;
    HRESULT SetPreroll(BOOL bIsPreroll) override;
    LONG GetActualDataLength() override;
    HRESULT SetActualDataLength(LONG length) override;
    HRESULT GetMediaType(AM_MEDIA_TYPE** ppMediaType) override;
    HRESULT SetMediaType(AM_MEDIA_TYPE* pMediaType) override;
    HRESULT IsDiscontinuity() override;
    HRESULT SetDiscontinuity(BOOL bDiscontinuity) override;
    HRESULT GetMediaTime(LONGLONG* pTimeStart, LONGLONG* pTimeEnd) override;
    HRESULT SetMediaTime(LONGLONG* pTimeStart, LONGLONG* pTimeEnd) override;

    ~CMediaSample();

private:
    friend class CMemAllocator;
    CMediaSample(CMemAllocator* allocator, LONG size);
    void ResetProperties();  // what a sample forgets when it goes back to the free list

    enum : DWORD {
        Sample_SyncPoint = 0x01,
        Sample_Preroll = 0x02,
        Sample_Discontinuity = 0x04,
        Sample_TypeChanged = 0x08,
        Sample_TimeValid = 0x10,
        Sample_MediaTimeValid = 0x20,
        Sample_StopValid = 0x100,
    };

    std::atomic<LONG> m_cRef{0};
    CMemAllocator* m_pAllocator;  // null for a free-standing sample; not reference-counted here
    // Not zero-filled: a pool's buffers are sized for the largest sample, and filling them would
    // make every page resident (tens of MB for two 8 x 4 MB pools) before any data is written.
    std::unique_ptr<BYTE[]> m_buffer;
    size_t m_size = 0;
    LONG m_lActual = 0;
    DWORD m_dwFlags = 0;
    REFERENCE_TIME m_Start = 0;
    REFERENCE_TIME m_End = 0;
    LONGLONG m_MediaStart = 0;
    LONGLONG m_MediaEnd = 0;
    AM_MEDIA_TYPE* m_pMediaType = nullptr;  // set with SetMediaType; CoTaskMemAlloc'd
};

class CMemAllocator final : public IMemAllocator, public CUnknown {
public:
    CMemAllocator();
    ~CMemAllocator() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    HRESULT SetProperties(ALLOCATOR_PROPERTIES* pRequest, ALLOCATOR_PROPERTIES* pActual) override;
    HRESULT GetProperties(ALLOCATOR_PROPERTIES* pProps) override;
    HRESULT Commit() override;
    HRESULT Decommit() override;
    HRESULT GetBuffer(IMediaSample** ppBuffer, REFERENCE_TIME* pStartTime, REFERENCE_TIME* pEndTime,
                      DWORD dwFlags) override;
    HRESULT ReleaseBuffer(IMediaSample* pBuffer) override;

    // Samples currently lent out (for tests of the lending rules).
    LONG Outstanding() const;

private:
    // Guards everything below. Taken by any thread calling the allocator (the streaming thread
    // in GetBuffer/ReleaseBuffer, graph control in Commit/Decommit); innermost of the
    // media-graph locks: nothing is called out of the allocator while it is held.
    mutable std::mutex m_mutex;
    std::condition_variable m_freed;  // a sample came back or the allocator was decommitted
    ALLOCATOR_PROPERTIES m_props{0, 0, 1, 0};
    bool m_bPropsSet = false;
    bool m_bCommitted = false;
    std::vector<std::unique_ptr<CMediaSample>> m_samples;  // every sample, lent or free
    std::vector<CMediaSample*> m_free;
};
