#pragma once
// A recording renderer and a push source for exercising the graph layer, sharing a journal of
// the calls the base classes make on them.
#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/Event.h"
#include "platform/dshow/BaseFilter.h"
#include "platform/dshow/InputPin.h"
#include "platform/dshow/SourcePin.h"

namespace qvtest {

struct Journal {
    std::mutex mutex;  // guards lines: any thread adds, the test takes
    std::vector<std::string> lines;
    void Add(std::string s) {
        std::lock_guard<std::mutex> g(mutex);
        lines.push_back(std::move(s));
    }
    std::vector<std::string> Take() {
        std::lock_guard<std::mutex> g(mutex);
        return std::exchange(lines, {});
    }
};

CMediaType H264Type();  // 640 wide, 25 fps
CMediaType AacType(uint32_t rate = 48000, std::vector<uint8_t> asc = {});  // asc after the WAVEFORMATEX

struct ReceivedSample {
    std::vector<BYTE> data;
};

class CRecordingPin final : public CBaseInputPin {
public:
    CRecordingPin(CBaseFilter* f, CCritSec* lock, Journal* j)
        : CBaseInputPin(L"Recording pin", f, lock, nullptr, L"In"), m_journal(j) {}
    HRESULT CheckMediaType(const CMediaType* pmt) override;
    HRESULT GetMediaType(int iPosition, CMediaType* pmt) override;
    HRESULT Receive(IMediaSample* pSample) override;
    HRESULT BeginFlush() override { return Flushing(true), CBaseInputPin::BeginFlush(); }
    HRESULT EndFlush() override { return Flushing(false), CBaseInputPin::EndFlush(); }
    HRESULT CompleteConnect(IPin* p) override { return Note("pin:CompleteConnect"), CBaseInputPin::CompleteConnect(p); }
    HRESULT Active() override { return Note("pin:Active"), CBaseInputPin::Active(); }
    HRESULT Inactive() override { return Note("pin:Inactive"), CBaseInputPin::Inactive(); }
    HRESULT Run(REFERENCE_TIME t) override { return Note("pin:Run"), CBaseInputPin::Run(t); }
    std::vector<ReceivedSample> Samples() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_samples;
    }

    std::vector<GUID> accept;         // subtypes accepted, any when empty
    std::vector<CMediaType> propose;  // types proposed, in order
    bool blockNextReceive = false;    // the next Receive sets `blocked` and waits for a flush
    int refuseIndex = -1;             // the sample with this index is answered S_FALSE
    platform::CEvent blocked;

private:
    void Note(const char* line) { m_journal->Add(line); }
    void Flushing(bool on);
    Journal* m_journal;
    std::mutex m_mutex;  // guards the fields below: streaming thread writes, test and flush read
    std::condition_variable m_cv;
    bool m_flushing = false;
    std::vector<ReceivedSample> m_samples;
};

// A filter with one pin P, built from the filter, its lock and the pin arguments given to the
// constructor; its state changes go to the journal (when there is one) under `tag`.
template <class P>
class CTestFilter : public CBaseFilter {
public:
    template <class... A>
    CTestFilter(Journal* j, const char* tag, A&&... pinArgs)
        : CBaseFilter(L"Test filter", nullptr, &m_lock, GUID_NULL), m_journal(j), m_tag(tag),
          m_pin(this, &m_lock, std::forward<A>(pinArgs)...) {
        NonDelegatingAddRef();
    }
    ~CTestFilter() override {
        if constexpr (std::is_base_of_v<CSourceOutputPin, P>) m_pin.Inactive();  // ends the delivery thread
        m_pin.DisconnectInternal();
    }
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? &m_pin : nullptr; }
    HRESULT Stop() override { return Note("Stop"), CBaseFilter::Stop(); }
    HRESULT Pause() override { return Note("Pause"), CBaseFilter::Pause(); }
    HRESULT Run(REFERENCE_TIME t) override { return Note("Run"), CBaseFilter::Run(t); }
    P& Pin() { return m_pin; }

private:
    void Note(const char* what) {
        if (m_journal) m_journal->Add(m_tag + ":" + what);
    }
    CCritSec m_lock;  // the base's filter lock: state and connection changes; outermost
    Journal* m_journal;
    std::string m_tag;
    P m_pin;
};

struct CRecordingRenderer final : CTestFilter<CRecordingPin> {
    static CRecordingRenderer* Create(Journal* j) { return new CRecordingRenderer(j); }
    explicit CRecordingRenderer(Journal* j) : CTestFilter(j, "renderer", j) {}
};

// A source with one push pin offering `types`.
struct CRecordingSource final : CTestFilter<CSourceOutputPin> {
    static CRecordingSource* Create(Journal* j, std::vector<CMediaType> types) { return new CRecordingSource(j, std::move(types)); }
    CRecordingSource(Journal* j, std::vector<CMediaType> types) : CTestFilter(j, "source", nullptr, L"Out", std::move(types), 4096, 3) {}
};

}  // namespace qvtest
