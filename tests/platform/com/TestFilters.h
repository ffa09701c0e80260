#pragma once
// A recording renderer and a push source for exercising the graph layer, sharing a journal of
// the calls the base classes make on them.
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dshow/BaseFilter.h"
#include "platform/dshow/InputPin.h"
#include "platform/dshow/SourcePin.h"

namespace qvtest {

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
    bool WaitFor(const std::string& s, int timeoutMs) {
        std::unique_lock<std::mutex> g(m_mutex);
        return m_cv.wait_for(g, std::chrono::milliseconds(timeoutMs),
                             [&] { return std::find(m_lines.begin(), m_lines.end(), s) != m_lines.end(); });
    }

private:
    mutable std::mutex m_mutex;  // guards m_lines: any thread adds, the test reads
    std::condition_variable m_cv;
    std::vector<std::string> m_lines;
};

struct ReceivedSample {
    std::vector<BYTE> data;
    HRESULT timeResult;
    REFERENCE_TIME start, stop;
    bool sync, preroll, discontinuity;
};

// Overrides that note the call in the journal and hand it to the base class.
#define QV_JOURNALED(Base, tag, Name, Params, Args) \
    HRESULT Name Params override {                  \
        m_journal->Add(tag ":" #Name);              \
        return Base::Name Args;                     \
    }

class CRecordingRenderer;

class CRecordingPin final : public CBaseInputPin {
public:
    CRecordingPin(CRecordingRenderer* filter, CCritSec* lock, Journal* journal);
    HRESULT CheckMediaType(const CMediaType* pmt) override;
    HRESULT GetMediaType(int iPosition, CMediaType* pmt) override;
    HRESULT Receive(IMediaSample* pSample) override;
    HRESULT EndOfStream() override;
    HRESULT BeginFlush() override;
    HRESULT EndFlush() override;
    QV_JOURNALED(CBaseInputPin, "pin", CompleteConnect, (IPin * p), (p))
    QV_JOURNALED(CBaseInputPin, "pin", Active, (), ())
    QV_JOURNALED(CBaseInputPin, "pin", Inactive, (), ())
    QV_JOURNALED(CBaseInputPin, "pin", Run, (REFERENCE_TIME t), (t))
    QV_JOURNALED(CBaseInputPin, "pin", NewSegment, (REFERENCE_TIME a, REFERENCE_TIME b, double r), (a, b, r))

    std::vector<GUID> accept;         // subtypes accepted, any when empty
    std::vector<CMediaType> propose;  // types proposed, in order
    bool blockNextReceive = false;    // the next Receive waits for a flush to begin
    int refuseIndex = -1;             // the sample with this index is answered S_FALSE

    std::vector<ReceivedSample> Samples() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_samples;
    }

private:
    Journal* m_journal;
    std::mutex m_mutex;  // guards the fields below: streaming thread writes, test and flush read
    std::condition_variable m_cv;
    bool m_flushSeen = false;
    std::vector<ReceivedSample> m_samples;
};

class CRecordingRenderer final : public CBaseFilter {
public:
    static CRecordingRenderer* Create(Journal* journal, const wchar_t* name = L"Renderer");
    ~CRecordingRenderer() override { m_pin.DisconnectInternal(); }
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? &m_pin : nullptr; }
    QV_JOURNALED(CBaseFilter, "renderer", Stop, (), ())
    QV_JOURNALED(CBaseFilter, "renderer", Pause, (), ())
    QV_JOURNALED(CBaseFilter, "renderer", Run, (REFERENCE_TIME t), (t))
    CRecordingPin& Pin() { return m_pin; }
    REFERENCE_TIME RunStart() {
        platform::CAutoLock l(m_lock);
        return m_tStart;
    }

private:
    CRecordingRenderer(Journal* journal, const wchar_t* name);
    CCritSec m_lock;  // the base's filter lock: state and connection changes; outermost
    Journal* m_journal;
    CRecordingPin m_pin;
};

// A source with one push pin offering `types`.
class CRecordingSource final : public CBaseFilter {
public:
    static CRecordingSource* Create(Journal* journal, std::vector<CMediaType> types, const wchar_t* name = L"Source");
    ~CRecordingSource() override { m_pin.Inactive(), m_pin.DisconnectInternal(); }
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? &m_pin : nullptr; }
    QV_JOURNALED(CBaseFilter, "source", Stop, (), ())
    QV_JOURNALED(CBaseFilter, "source", Pause, (), ())
    QV_JOURNALED(CBaseFilter, "source", Run, (REFERENCE_TIME t), (t))
    CSourceOutputPin& Pin() { return m_pin; }

private:
    CRecordingSource(Journal* journal, std::vector<CMediaType> types, const wchar_t* name);
    CCritSec m_lock;  // the base's filter lock; outermost
    Journal* m_journal;
    CSourceOutputPin m_pin;
};

#undef QV_JOURNALED

}  // namespace qvtest
