#include "filter/BaseRenderer.h"

#include <chrono>
#include <cstring>

#include "filter/InputPin.h"
#include "filter/TrackFormat.h"
#include "foundation/Log.h"
#include "platform/Clock.h"

namespace BS {
namespace {

uint32_t Tid() { return platform::GetCurrentThreadId(); }

// A failed hook makes the state change fail as an unusable output would.
HRESULT MapHookFailure(HRESULT hr) { return hr == E_FAIL ? VFW_E_INVALID_FILE_FORMAT : hr; }

int64_t SystemTimeMicroseconds() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

CBaseRenderer::CBaseRenderer(const wchar_t* name, IUnknown* pUnk, REFCLSID clsid)
    : CBaseFilter(name, pUnk, &m_csFilter, clsid), m_iRefUTCTime(NO_TIME) {
    m_dwConstructTick = platform::timeGetTime();
    m_dwPauseTick = m_dwConstructTick;
}

CBaseRenderer::~CBaseRenderer() {
    Log(LOG_TRACE, 2, "CBaseRenderer::~CBaseRenderer:+ tid: 0x%x  self: 0x%llx", Tid(),
        static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(this)));
    // A watchdog still running looks at every pin; none may go while one runs.
    for (auto& pin : m_Pins)
        if (pin) pin->StopWatchdogThread();
    for (size_t i = 0; i < m_Pins.size(); ++i) {
        Log(LOG_TRACE, 2, "CBaseRenderer::~CBaseRenderer: tid: 0x%x - Cleanup pin %d", Tid(), static_cast<int>(i));
        // A pin still connected holds a reference on its peer; let it go before the pin does.
        if (m_Pins[i]) m_Pins[i]->DisconnectInternal();
        m_Pins[i].reset();
    }
    Log(LOG_TRACE, 2, "CBaseRenderer::~CBaseRenderer: tid: 0x%x - Cleanup sink 0x%llx", Tid(),
        static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(m_pSink.get())));
    m_pSink.reset();
    Log(LOG_TRACE, 2, "CBaseRenderer::~CBaseRenderer: tid: 0x%x - Cleanup position", Tid());
    m_pPosition.reset();
    Log(LOG_TRACE, 2, "CBaseRenderer::~CBaseRenderer:- tid: 0x%x", Tid());
}

HRESULT CBaseRenderer::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IAMFilterMiscFlags) return GetInterface(static_cast<IAMFilterMiscFlags*>(this), ppv);
    if (riid == IID_IMediaSeeking || riid == IID_IMediaPosition) {
        platform::CAutoLock lock(m_csFilter);
        if (!m_pPosition) {
            if (GetPinCount() < 1) return E_NOINTERFACE;
            HRESULT hr = S_OK;
            m_pPosition = std::make_unique<CRendererPosPassThru>(L"Renderer position", GetOwner(), &hr, GetPin(0));
            if (FAILED(hr)) {
                m_pPosition.reset();
                return hr;
            }
        }
        return m_pPosition->NonDelegatingQueryInterface(riid, ppv);
    }
    return CBaseFilter::NonDelegatingQueryInterface(riid, ppv);
}

void CBaseRenderer::AddPin(std::unique_ptr<CInputPin> pin) { m_Pins.push_back(std::move(pin)); }

int CBaseRenderer::GetPinCount() { return static_cast<int>(m_Pins.size()); }

CBasePin* CBaseRenderer::GetPin(int n) {
    if (n < 0 || n >= static_cast<int>(m_Pins.size())) return nullptr;
    return m_Pins[static_cast<size_t>(n)].get();
}

CInputPin* CBaseRenderer::InputPin(int n) {
    if (n < 0 || n >= static_cast<int>(m_Pins.size())) return nullptr;
    return m_Pins[static_cast<size_t>(n)].get();
}

bool CBaseRenderer::SinkInited() { return m_pSink && m_pSink->IsInited(); }

HRESULT CBaseRenderer::Receive(IMediaSample* sample, int pin) {
    if (!sample) return E_POINTER;
    if (m_bConnectFailed) return S_FALSE;
    if (!SinkInited()) return S_OK;

    REFERENCE_TIME start = 0, stop = 0;
    HRESULT th = sample->GetTime(&start, &stop);
    const bool timed = th == S_OK || th == VFW_S_NO_STOP_TIME;
    LONGLONG mstart = 0, mstop = 0;
    sample->GetMediaTime(&mstart, &mstop);
    Log(LOG_TIMING, 6, "CBaseRenderer::ConvertDataFromMediaSample: \t%d \t%lld \t%lld \t%lld \t%lld", pin,
        static_cast<long long>(timed ? start : 0), static_cast<long long>(timed ? stop : 0),
        static_cast<long long>(mstart), static_cast<long long>(mstop));
    const LONG length = sample->GetActualDataLength();
    BYTE* payload = nullptr;
    if (length < 0 || (length > 0 && (FAILED(sample->GetPointer(&payload)) || !payload))) return S_OK;
    const int64_t ms = timed ? GraphTimeToMs(start) : NO_TIME;
    DataPtr record(data_t::Create(length, false, ms, ms, NO_TIME));
    if (!record) return S_OK;
    if (length > 0) std::memcpy(record->data, payload, static_cast<size_t>(length));
    record->frame_type = sample->IsSyncPoint() == S_OK ? FRAME_I : FRAME_UNKNOWN;
    record->preroll = sample->IsPreroll() == S_OK;

    CInputPin* p = (pin >= 0 && pin < GetPinCount()) ? m_Pins[static_cast<size_t>(pin)].get() : nullptr;
    if (p && p->IsAudio() && record->dts != NO_TIME) {
        const auto offset = static_cast<int64_t>(m_fAudioOffset.load());
        record->dts += offset;
        record->pts += offset;
    }
    if (record->dts != NO_TIME)
        Log(LOG_TIMING, 5, "CBaseRenderer::Receive:  pin %d  time %lf  size %d", pin,
            static_cast<double>(record->dts) / 1000.0, static_cast<int>(length));
    else
        Log(LOG_TIMING, 5, "CBaseRenderer::Receive:  pin %d  time NONE  size %d", pin, static_cast<int>(length));

    m_pSink->PutData(record.release(), TrackOfPin(pin), true);
    AfterDelivery();
    const int32_t status = m_pSink->GetSinkStatus();
    if (status == SINK_ERROR && m_pSink->IsInited()) {
        Log(LOG_ERROR, 0, "CBaseRenderer::Receive: EC_ERRORABORT: data_sink->GetNetworkStatus() %d", status);
        NotifyEvent(EC_ERRORABORT, E_FAIL, 0);
        return E_FAIL;
    }
    return S_OK;
}

uint32_t CBaseRenderer::QueueSize(int pin) {
    if (!SinkInited()) return 0;
    int track = TrackOfPin(pin);
    return track < 0 ? 0 : m_pSink->GetQueueSize(static_cast<uint32_t>(track));
}

HRESULT CBaseRenderer::EndOfStream(int pin) {
    const int32_t open = --m_iOpenEOS;
    if (m_pSink) m_pSink->SetEndOfStream(TrackOfPin(pin));
    if (open == 0) StopRendering(true);
    return S_OK;
}

void CBaseRenderer::SetPinActivity(int pin, bool active) {
    int track = TrackOfPin(pin);
    if (SinkInited() && track >= 0) m_pSink->SetTrackActive(static_cast<uint32_t>(track), active);
}

void CBaseRenderer::FlushSink() {
    if (SinkInited()) m_pSink->Flush(false, true);
}

void CBaseRenderer::WaitForTrack(int pin, platform::CEvent* stopEvent) {
    int track = TrackOfPin(pin);
    if (SinkInited() && !m_bCapture && track >= 0) m_pSink->WaitForTrack(static_cast<uint32_t>(track), stopEvent);
}

bool CBaseRenderer::StopRendering(bool endOfStream) {
    Log(LOG_TRACE, 1, "CBaseRenderer::StopRendering");
    if (SinkInited()) {
        Log(LOG_TRACE, 1, "CBaseRenderer::StopRendering Flush");
        m_pSink->Flush(endOfStream, true);
        Log(LOG_TRACE, 1, "CBaseRenderer::StopRendering Close");
        m_pSink->Close();
    }
    if (endOfStream) {
        Log(LOG_TRACE, 1, "CBaseRenderer::StopRendering EC_COMPLETE");
        NotifyEvent(EC_COMPLETE, S_OK, 0);
    }
    Log(LOG_TRACE, 1, "CBaseRenderer::StopRendering exit");
    return true;
}

int CBaseRenderer::TrackOfPin(int pin) {
    if (pin < 0 || pin >= GetPinCount()) return -1;
    if (!m_Pins[static_cast<size_t>(pin)] || !m_Pins[static_cast<size_t>(pin)]->IsConnected()) return -1;
    int track = 0;
    for (int i = 0; i < pin; ++i)
        if (m_Pins[static_cast<size_t>(i)] && m_Pins[static_cast<size_t>(i)]->IsConnected()) ++track;
    return track;
}

void CBaseRenderer::StartRenderingBase() { m_iOpenEOS = ConnectedPinCount(); }

HRESULT CBaseRenderer::Stop() {
    platform::CAutoLock lock(m_csFilter);
    if (m_State == State_Paused) Log(LOG_TRACE, 1, "CBaseRenderer::Stop PAUSE");
    Log(LOG_TRACE, 1, "CBaseRenderer::Stop start, state = %d", static_cast<int>(m_State.load()));
    HRESULT hr = CBaseFilter::Stop();
    StopRendering(false);
    m_iRefUTCTime = NO_TIME;
    m_bFirstRunPending = false;
    m_bConnectFailed = false;
    Log(LOG_TRACE, 1, "CBaseRenderer::Stop exit %x", static_cast<unsigned>(hr));
    return hr;
}

HRESULT CBaseRenderer::Pause() {
    platform::CAutoLock lock(m_csFilter);
    Log(LOG_TRACE, 1, "CBaseRenderer::Pause enter");
    if (SinkInited())
        for (auto& pin : m_Pins) pin->SignalStop();
    if (m_State == State_Stopped) {
        HRESULT hr;
        {
            platform::CAutoLock receive(m_csReceive);
            m_dwPauseTick = m_dwConstructTick = platform::timeGetTime();
            hr = PrepareRendering();
            m_bFirstRunPending = true;
        }
        if (FAILED(hr)) return MapHookFailure(hr);
    }
    HRESULT hr = CBaseFilter::Pause();
    Log(LOG_TRACE, 1, "CBaseRenderer::Pause locked %x", static_cast<unsigned>(hr));
    return hr;
}

HRESULT CBaseRenderer::Run(REFERENCE_TIME tStart) {
    platform::CAutoLock lock(m_csFilter);
    Log(LOG_TRACE, 1, "CBaseRenderer::Run");
    if (m_State == State_Stopped) {
        // A run straight from stopped passes through the pause and its connect first.
        HRESULT hr = Pause();
        if (FAILED(hr)) return hr;
    }
    if (m_bFirstRunPending) {
        m_bFirstRunPending = false;
        int64_t diff = 0;
        REFERENCE_TIME now = 0;
        if (m_pClock && tStart != 0 && SUCCEEDED(m_pClock->GetTime(&now)) && now != 0) {
            diff = tStart - now;
            if (diff < 0) diff = 0;
        }
        m_iRefUTCTime = (SystemTimeMicroseconds() * 10 + diff + 5000) / 10000;
        Log(LOG_TRACE, 1, "SetUTCRefTimeNull: %lld  Diff: %lld", static_cast<long long>(m_iRefUTCTime.load()),
            static_cast<long long>(diff));
        HRESULT hr = StartRendering();
        if (FAILED(hr)) return MapHookFailure(hr);
    }
    return CBaseFilter::Run(tStart);
}

HRESULT CBaseRenderer::GetState(DWORD dwMSecs, FILTER_STATE* State) {
    Log(LOG_TRACE, 9, "CBaseRenderer::GetState");
    if (!State) return E_POINTER;
    return CBaseFilter::GetState(dwMSecs, State);
}

HRESULT CBaseRenderer::FindPin(LPCWSTR Id, IPin** ppPin) {
    Log(LOG_TRACE, 4, "CBaseRenderer::FindPin");
    if (!ppPin) return E_POINTER;
    return CBaseFilter::FindPin(Id, ppPin);
}

ULONG CBaseRenderer::GetMiscFlags() {
    Log(LOG_TRACE, 4, "CRenderer::GetMiscFlags");
    return AM_FILTER_MISC_FLAGS_IS_RENDERER;
}

bool CBaseRenderer::HasVideoPin() { return FirstVideoPin() != nullptr; }

bool CBaseRenderer::HasAudioPin() {
    for (auto& pin : m_Pins)
        if (pin->IsConnected() && pin->IsAudio()) return true;
    return false;
}

int CBaseRenderer::ConnectedPinCount() {
    int n = 0;
    for (auto& pin : m_Pins)
        if (pin->IsConnected()) ++n;
    return n;
}

CInputPin* CBaseRenderer::FirstVideoPin() {
    for (auto& pin : m_Pins)
        if (pin->IsConnected() && pin->IsVideo()) return pin.get();
    return nullptr;
}

format_t CBaseRenderer::BuildPinFormat(int pin) {
    if (pin < 0 || pin >= GetPinCount() || !m_Pins[static_cast<size_t>(pin)]->IsConnected()) return format_t{};
    return BuildTrackFormat(m_Pins[static_cast<size_t>(pin)]->CurrentMediaType());
}

}  // namespace BS
