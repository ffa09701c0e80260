#pragma once
// A recording renderer for exercising the graph layer: one input pin whose acceptance is
// configurable, and a shared journal of every call the base classes make on it.
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dshow/BaseFilter.h"
#include "platform/dshow/InputPin.h"
#include "platform/dshow/SourcePin.h"

namespace qvtest {

// Calls seen by test filters, in the order they happened, from any thread.
class Journal {
public:
    void Add(std::string s) {
        std::lock_guard<std::mutex> g(m_mutex);
        m_lines.push_back(std::move(s));
        m_cv.notify_all();
    }
    std::vector<std::string> Lines() const {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_lines;
    }
    void Clear() {
        std::lock_guard<std::mutex> g(m_mutex);
        m_lines.clear();
    }
    // true once a line equal to `s` was added, within timeoutMs.
    bool WaitFor(const std::string& s, int timeoutMs) {
        std::unique_lock<std::mutex> g(m_mutex);
        return m_cv.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] {
            for (auto& l : m_lines)
                if (l == s) return true;
            return false;
        });
    }

private:
    mutable std::mutex m_mutex;  // guards m_lines; any thread adds, the test reads
    std::condition_variable m_cv;
    std::vector<std::string> m_lines;
};

struct ReceivedSample {
    std::vector<BYTE> data;
    HRESULT timeResult;
    REFERENCE_TIME start, stop;
    bool sync, preroll, discontinuity;
};

class CRecordingRenderer;

class CRecordingPin final : public CBaseInputPin {
public:
    CRecordingPin(CRecordingRenderer* filter, CCritSec* lock, Journal* journal);

    HRESULT CheckMediaType(const CMediaType* pmt) override;
    HRESULT GetMediaType(int iPosition, CMediaType* pmt) override;
    HRESULT CompleteConnect(IPin* pReceivePin) override;
    HRESULT BreakConnect() override;
    HRESULT Active() override;
    HRESULT Inactive() override;
    HRESULT Run(REFERENCE_TIME tStart) override;
    HRESULT Receive(IMediaSample* pSample) override;
    HRESULT EndOfStream() override;
    HRESULT BeginFlush() override;
    HRESULT EndFlush() override;
    HRESULT NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override;

    // Subtypes accepted (any when empty) and proposed, in order.
    std::vector<GUID> accept;
    std::vector<CMediaType> propose;
    // The next Receive waits here until a flush begins (to test that a flush frees a blocked sender).
    bool blockNextReceive = false;
    // Answer for the sample with this index (0-based), -1 for none.
    int refuseIndex = -1;

    std::vector<ReceivedSample> Samples() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_samples;
    }
    std::vector<HRESULT> ReceiveResults() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_results;
    }

private:
    Journal* m_journal;
    std::mutex m_mutex;  // guards the fields below; streaming thread writes, test and flush read
    std::condition_variable m_cv;
    bool m_flushSeen = false;
    std::vector<ReceivedSample> m_samples;
    std::vector<HRESULT> m_results;
};

class CRecordingRenderer final : public CBaseFilter {
public:
    static CRecordingRenderer* Create(Journal* journal, const wchar_t* name = L"Renderer");
    ~CRecordingRenderer() override;

    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? &m_pin : nullptr; }

    HRESULT Stop() override;
    HRESULT Pause() override;
    HRESULT Run(REFERENCE_TIME tStart) override;

    CRecordingPin& Pin() { return m_pin; }
    REFERENCE_TIME RunStart() {
        platform::CAutoLock l(m_lock);
        return m_tStart;
    }

private:
    CRecordingRenderer(Journal* journal, const wchar_t* name);
    // The filter lock of the base: state and connection changes; taken by graph control
    // threads and by the pin's flush calls; outermost of this filter's locks.
    CCritSec m_lock;
    Journal* m_journal;
    CRecordingPin m_pin;
};

// A source whose state changes go to the journal, with one push pin offering `types`.
class CRecordingSource final : public CBaseFilter {
public:
    static CRecordingSource* Create(Journal* journal, std::vector<CMediaType> types, const wchar_t* name = L"Source");
    ~CRecordingSource() override;

    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? &m_pin : nullptr; }

    HRESULT Stop() override;
    HRESULT Pause() override;
    HRESULT Run(REFERENCE_TIME tStart) override;

    CSourceOutputPin& Pin() { return m_pin; }

private:
    CRecordingSource(Journal* journal, std::vector<CMediaType> types, const wchar_t* name);
    // The filter lock of the base; taken by graph control threads; outermost of this filter's locks.
    CCritSec m_lock;
    Journal* m_journal;
    CSourceOutputPin m_pin;
};

}  // namespace qvtest
