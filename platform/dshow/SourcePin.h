#pragma once
// A push source for feeding a graph: an output pin with a queue and a delivery thread. The
// owner queues samples, segments and end of stream from any thread; while the filter is active
// the thread takes a buffer from the agreed allocator for each sample, fills it and hands it to
// the downstream pin's Receive, in queue order.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "platform/dshow/OutputPin.h"

class CSourceOutputPin : public CBaseOutputPin {
public:
    CSourceOutputPin(CBaseFilter* pFilter, CCritSec* pLock, HRESULT* phr, LPCWSTR pName, std::vector<CMediaType> types,
                     LONG bufferSize, LONG bufferCount);
    ~CSourceOutputPin() override;

    // Accepts a type whose major type and subtype (and format type, when ours names one) are
    // those of one of the pin's types.
    HRESULT CheckMediaType(const CMediaType* pmt) override;
    HRESULT GetMediaType(int iPosition, CMediaType* pMediaType) override;
    HRESULT DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pRequest) override;
    HRESULT Active() override;
    HRESULT Inactive() override;

    // Queues one sample. Null times leave the sample without start (or stop) time.
    void PushSample(std::span<const BYTE> data, const REFERENCE_TIME* start, const REFERENCE_TIME* stop, bool syncPoint,
                    bool preroll = false, bool discontinuity = false);
    // Delivers one sample from the calling thread once what is queued has gone, and returns the
    // downstream result (kept in Results() too). A producer that paces itself saves the hand-off
    // to the delivery thread, two wake-ups a sample. While the pin is inactive, or after a
    // refusal, the sample is dropped (VFW_E_WRONG_STATE, S_FALSE).
    HRESULT DeliverNow(std::span<const BYTE> data, const REFERENCE_TIME* start, const REFERENCE_TIME* stop,
                       bool syncPoint);
    void PushNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate);
    void PushEndOfStream();
    // Flushes downstream from the calling thread: queued items are dropped, BeginFlush goes
    // down, the delivery in progress (if any) is awaited, EndFlush goes down. A refusal seen
    // before is forgotten. VFW_E_TIMEOUT when the delivery does not return within 10 s.
    HRESULT Flush();
    // true once the queue is empty and no delivery is in progress, within timeoutMs.
    bool WaitIdle(uint32_t timeoutMs);
    // true once fewer than `limit` samples are queued or being delivered, within timeoutMs. A
    // producer that waits for room before each push keeps the queue bounded when downstream
    // holds it back, instead of queueing without end.
    bool WaitRoom(size_t limit, uint32_t timeoutMs);
    // The results of the latest delivery attempts (samples, segments, end of stream), oldest
    // first. Only the last kResultsKept are kept: a pin feeding a live stream for hours would
    // otherwise grow by one entry per sample.
    static constexpr size_t kResultsKept = 1024;
    std::vector<HRESULT> Results() const;
    // Samples dropped because downstream refused an earlier one, or by a flush or stop.
    uint32_t Dropped() const;
    // Runs first on the delivery thread each time it starts (called before the pin is active): a
    // host that tells the writer's callbacks apart by the thread they come on marks it there.
    void SetThreadStart(std::function<void()> start) { m_threadStart = std::move(start); }
    // Whether a result other than S_OK makes the pin drop the samples after it (the default,
    // as a pushing source stops when downstream refuses), until the next flush or activation.
    void SetStopOnRefusal(bool stop);

private:
    struct Item {
        enum Kind { Sample, NewSegment, EndOfStream } kind = Sample;
        std::vector<BYTE> data;
        REFERENCE_TIME start = 0, stop = 0;
        bool hasStart = false, hasStop = false, sync = false, preroll = false, discontinuity = false;
        double rate = 1.0;
    };
    void Push(Item item);
    void ThreadProc();
    HRESULT DeliverItem(const Item& item);
    HRESULT DeliverBytes(std::span<const BYTE> data, const REFERENCE_TIME* start, const REFERENCE_TIME* stop, bool sync,
                         bool preroll, bool discontinuity);
    // Records a delivery's result and ends the busy state (lock held).
    void Delivered(bool sample, HRESULT hr);
    void StopThread();

    const std::vector<CMediaType> m_types;
    const LONG m_bufferSize;
    const LONG m_bufferCount;

    // Guards every field below. Taken by the owner's threads (push, deliver, flush, wait) and by
    // the delivery thread; never held while calling downstream; innermost of the source's locks
    // (the filter lock may be held when taking it, never the reverse). `m_busy` is the one
    // delivery at a time, whichever thread makes it.
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;    // for the owner's waits: queue, activity or busy changed
    std::condition_variable m_work;  // for the delivery thread: an item it may take, or stop
    std::deque<Item> m_queue;
    std::deque<HRESULT> m_results;  // at most kResultsKept
    uint32_t m_dropped = 0;
    bool m_stopRequested = false;
    bool m_active = false;  // between Active and Inactive
    bool m_busy = false;
    bool m_refused = false;
    bool m_stopOnRefusal = true;
    std::thread m_thread;  // started by Active, joined by Inactive (control thread only)
    std::function<void()> m_threadStart;  // set before the thread starts, read by it
};

// A filter made of push source pins, one per description.
class CPushSource final : public CBaseFilter {
public:
    struct PinDesc {
        std::wstring name;
        std::vector<CMediaType> types;
        LONG bufferSize = 1 << 20;
        LONG bufferCount = 4;
    };
    // The new filter with one reference held by the caller.
    static CPushSource* Create(const wchar_t* name, std::vector<PinDesc> pins);

    int GetPinCount() override { return static_cast<int>(m_pins.size()); }
    CBasePin* GetPin(int n) override;
    CSourceOutputPin* SourcePin(int n) { return static_cast<CSourceOutputPin*>(GetPin(n)); }

    ~CPushSource() override;

private:
    CPushSource(const wchar_t* name, std::vector<PinDesc> pins);
    // Guards the filter state and connections (the filter lock of the base); taken by graph
    // control threads; outermost of the source's locks.
    CCritSec m_lock;
    std::vector<std::unique_ptr<CSourceOutputPin>> m_pins;
};
