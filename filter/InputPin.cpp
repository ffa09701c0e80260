#include "filter/InputPin.h"

#include <algorithm>
#include <cwctype>

#include "filter/BaseRenderer.h"
#include "foundation/Log.h"
#include "platform/Clock.h"

namespace BS {
namespace {
uint32_t Tid() { return platform::GetCurrentThreadId(); }
}  // namespace

CInputPin::CInputPin(CBaseRenderer* renderer, platform::CReentrantLock* filterLock,
                     platform::CReentrantLock* receiveLock, HRESULT* phr, LPCWSTR name, int number,
                     const PinOptions& options)
    : CBaseInputPin(L"CInputPin", renderer, filterLock, phr, name),
      m_iPin(number),
      m_Options(options),
      m_pReceiveLock(receiveLock),
      m_pRenderer(renderer) {}

CInputPin::~CInputPin() { StopWatchdog(); }

HRESULT CInputPin::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IPinConnection) return GetInterface(static_cast<IPinConnection*>(this), ppv);
    return CBaseInputPin::NonDelegatingQueryInterface(riid, ppv);
}

bool CInputPin::IsVideo() const { return m_mt.majortype == MEDIATYPE_Video; }
bool CInputPin::IsAudio() const { return m_mt.majortype == MEDIATYPE_Audio; }

HRESULT CInputPin::CheckMediaType(const CMediaType* pmt) {
    Log(LOG_TRACE, 4, "CInputPin::CheckMedia type %d", m_iPin);
    HRESULT hr = m_pRenderer->CheckMediaType(pmt, m_iPin);
    Log(LOG_TRACE, 4, "CInputPin::CheckMedia type result %x", static_cast<unsigned>(hr));
    return hr;
}

HRESULT CInputPin::GetMediaType(int iPosition, CMediaType* pMediaType) {
    Log(LOG_TRACE, 4, "CInputPin::GetMedia type %d", m_iPin);
    return m_pRenderer->GetMediaType(iPosition, pMediaType, m_iPin);
}

HRESULT CInputPin::QueryAccept(const AM_MEDIA_TYPE* pmt) {
    Log(LOG_TRACE, 4, "%x:CInputPin::QueryAccept type %d", Tid(), m_iPin);
    if (!pmt) return E_POINTER;
    CMediaType copy(*pmt);
    return m_pRenderer->CheckMediaType(&copy, m_iPin) == S_OK ? S_OK : S_FALSE;
}

HRESULT CInputPin::CompleteConnect(IPin* pReceivePin) {
    Log(LOG_TRACE, 2, "CInputPin::CompleteConnect");
    Log(LOG_TRACE, 2, "CBaseRenderer::Connected Pin %d", m_iPin);
    HRESULT hr = CBaseInputPin::CompleteConnect(pReceivePin);
    Log(LOG_TRACE, 2, "CInputPin::CompleteConnect __super::CompleteConnect: hr: 0x%X", static_cast<unsigned>(hr));
    return hr;
}

HRESULT CInputPin::BreakConnect() {
    Log(LOG_TRACE, 2, "CInputPin::Break Connect");
    return CBaseInputPin::BreakConnect();
}

HRESULT CInputPin::NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) {
    Log(LOG_TRACE, 3, "%x:CInputPin::NewSegment %d", Tid(), m_iPin);
    return CBaseInputPin::NewSegment(tStart, tStop, dRate);
}

HRESULT CInputPin::BeginFlush() {
    Log(LOG_TRACE, 3, "%x:CInputPin::Begin flush %d", Tid(), m_iPin);
    // Before the platform step: a sender waiting in the sink must come back first.
    m_evStop.Set();
    Log(LOG_TRACE, 3, "%x:CInputPin::Begin flush lock %d", Tid(), m_iPin);
    return CBaseInputPin::BeginFlush();
}

HRESULT CInputPin::EndFlush() {
    Log(LOG_TRACE, 3, "%x:CInputPin::End flush %d", Tid(), m_iPin);
    m_evStop.Reset();
    Log(LOG_TRACE, 3, "%x:CInputPin::End flush Lock %d", Tid(), m_iPin);
    return CBaseInputPin::EndFlush();
}

HRESULT CInputPin::EndOfStream() {
    Log(LOG_TRACE, 2, "%x:CInputPin::EndOfStream start %d", Tid(), m_iPin);
    platform::CAutoLock lock(*m_pReceiveLock);
    Log(LOG_TRACE, 3, "%x:CInputPin::EndOfStream lock %d", Tid(), m_iPin);
    HRESULT hr = CheckStreaming();
    if (hr == S_OK) {
        // Once per pin: a second end of stream must not close the stream of the other pin. Only
        // one that went on counts: one refused during a flush must not swallow the next.
        if (!m_bEOSDelivered.exchange(true)) m_pRenderer->EndOfStream(m_iPin);
        hr = CBaseInputPin::EndOfStream();
    }
    m_bEOS = true;
    Log(LOG_TRACE, 2, "CInputPin::EndOfStream %x", static_cast<unsigned>(hr));
    return hr;
}

HRESULT CInputPin::Active() {
    m_evStop.Reset();
    platform::CAutoLock lock(*m_pReceiveLock);
    m_dwLastReceive = kTickUnset;
    m_iCaptureBase = NO_TIME;
    m_iCaptureFirst = NO_TIME;
    StopWatchdog();  // a pin activated twice keeps one watchdog
    m_evWatchdogStop.Reset();
    m_evWatchdogDone.Reset();
    m_Watchdog = std::thread([this] { WatchdogProc(); });
    Log(LOG_TRACE, 2, "%x:CInputPin::Active %d", Tid(), m_iPin);
    m_bEOS = false;
    m_bEOSDelivered = false;
    return CBaseInputPin::Active();
}

HRESULT CInputPin::Inactive() {
    HRESULT hr;
    {
        platform::CAutoLock lock(*m_pReceiveLock);
        hr = CBaseInputPin::Inactive();
    }
    // Outside the receive lock: the watchdog takes it for its activity change, so waiting for
    // the watchdog while holding it could only end in the time-out.
    StopWatchdog();
    platform::CAutoLock lock(*m_pReceiveLock);
    Log(LOG_TRACE, 2, "%x:CInputPin::Inactive %d", Tid(), m_iPin);
    m_iCaptureBase = NO_TIME;
    m_iCaptureFirst = NO_TIME;
    m_bEOS = false;
    m_bEOSDelivered = false;
    return hr;
}

void CInputPin::StopWatchdog() {
    if (!m_Watchdog.joinable()) return;
    m_evWatchdogStop.Set();
    if (!m_evWatchdogDone.Wait(5000)) {
        // A thread cannot be ended from outside without leaving its locks taken; it is waited
        // for, as it only ever blocks for bounded times.
        Log(LOG_ERROR, 0, "ERROR: %x:CInputPin::Inactive: wait timeout, terminateThread %d", Tid(), m_iPin);
    }
    m_Watchdog.join();
}

HRESULT CInputPin::QueryInternalConnections(IPin**, ULONG* nPin) {
    Log(LOG_TRACE, 4, "CInputPin::QueryInternalConnections");
    if (nPin) *nPin = 0;
    return S_OK;
}

HRESULT CInputPin::ReceiveCanBlock() {
    Log(LOG_TRACE, 4, "CInputPin::ReceiveCanBlock %d", m_iPin);
    return S_OK;
}

HRESULT CInputPin::Receive(IMediaSample* pSample) {
    m_evReceiving.Set();
    m_pRenderer->SetPinActivity(m_iPin, true);
    Log(LOG_TRACE, 5, "CInputPin::Receive(for pin=%d) lock", m_iPin);
    bool delivered = false;
    HRESULT hr;
    {
        platform::CAutoLock lock(*m_pReceiveLock);
        hr = CBaseInputPin::Receive(pSample);
        if (hr == S_OK && m_pRenderer->SinkInited()) {
            Log(LOG_TRACE, 5, "CInputPin::Receive");
            if (m_pRenderer->IsCapture() && IsVideo()) {
                Log(LOG_TRACE, 5, "CInputPin::Receive m_bCapture is active. Replace sample timing.");
                const int64_t now = static_cast<int64_t>(platform::timeGetTime()) * 10000;
                if (m_iCaptureBase == NO_TIME) {
                    REFERENCE_TIME start = 0, stop = 0;
                    HRESULT th = pSample->GetTime(&start, &stop);
                    m_iCaptureBase = now;
                    m_iCaptureFirst = (th == S_OK || th == VFW_S_NO_STOP_TIME) ? start : 0;
                }
                REFERENCE_TIME restamped = m_iCaptureFirst + (now - m_iCaptureBase);
                pSample->SetTime(&restamped, nullptr);
            }
            m_dwLastReceive = platform::timeGetTime();
            hr = m_pRenderer->Receive(pSample, m_iPin);
            delivered = true;
        } else {
            Log(LOG_ERROR, 1,
                "CRenderer::Receive NOT OK call EC_ERRORABORT: data_sink->IsInited() == false with hr: 0x%X",
                static_cast<unsigned>(hr));
            if (hr == S_OK) m_pRenderer->NotifyEvent(EC_ERRORABORT, E_FAIL, 0);
        }
    }
    if (delivered) {
        Log(LOG_TRACE, 5, "CInputPin::WaitForTrack");
        m_pRenderer->WaitForTrack(m_iPin, &m_evStop);
    }
    if (m_evStop.IsSet()) hr = S_FALSE;
    m_evReceiving.Reset();
    Log(LOG_TRACE, 5, "CInputPin::Receive result = %x", static_cast<unsigned>(hr));
    return hr;
}

HRESULT CInputPin::DynamicQueryAccept(const AM_MEDIA_TYPE*) { return VFW_E_TYPE_NOT_ACCEPTED; }
HRESULT CInputPin::NotifyEndOfStream(HANDLE) { return S_OK; }
HRESULT CInputPin::IsEndPin() { return S_OK; }
HRESULT CInputPin::DynamicDisconnect() { return S_OK; }

HRESULT CInputPin::TimeoutCode() const {
    std::wstring lower;
    for (wchar_t c : m_pName) lower += static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    if (lower == L"video") return E_VIDEO_INPUT_TIMEOUT;
    if (lower == L"audio") return E_AUDIO_INPUT_TIMEOUT;
    return E_FAIL;
}

void CInputPin::WatchdogProc() {
    while (!m_evWatchdogStop.Wait(m_Options.watchdogPeriodMs)) WatchdogTick();
    m_evWatchdogDone.Set();
}

void CInputPin::WatchdogTick() {
    FILTER_STATE state;
    if (m_pRenderer->GetState(100, &state) != S_OK) return;
    const uint32_t now = platform::timeGetTime();
    uint32_t last = m_dwLastReceive.load();
    const bool inited = m_pRenderer->SinkInited();
    // Only time in which the sink has drained this track and nothing new came counts.
    if (now < last || last == kTickUnset || !inited || m_pRenderer->QueueSize(m_iPin) > 0 || m_bEOS ||
        now - last > 0x3FFFFFFFu) {
        last = now;
        m_dwLastReceive = now;
    }
    if (!inited) return;
    const uint32_t diff = now - last;
    const auto timeout = static_cast<uint32_t>(std::max(m_Options.timeoutMs, 0));
    const auto blockTimeout = static_cast<uint32_t>(std::max(m_Options.blockTimeoutMs, 0));
    if (m_Options.timeoutEnabled && diff > timeout) {
        Log(LOG_ERROR, 1, "CInputPin::TimeoutThread: currentTime %d ms, lastTime %d ms, diffTime %d ms",
            static_cast<int>(now), static_cast<int>(last), static_cast<int>(diff));
        std::string name;
        for (wchar_t c : m_pName) name += static_cast<char>(c < 0x80 ? c : '?');
        const int queued = static_cast<int>(m_pRenderer->QueueSize(m_iPin));
        if (m_evReceiving.IsSet()) {
            Log(LOG_ERROR, 0, "***ERROR: CInputPin::Timeout! %d ms - %s, Number of samples %d - Flushing Input Buffer",
                m_Options.timeoutMs, name.c_str(), queued);
            m_pRenderer->FlushSink();
            m_dwLastReceive = now;
        } else {
            Log(LOG_ERROR, 0, "***ERROR: CInputPin::Timeout! %d ms - %s, Number of samples %d", m_Options.timeoutMs,
                name.c_str(), queued);
            m_pRenderer->NotifyEvent(EC_ERRORABORT, TimeoutCode(), 0);
        }
    } else if (m_Options.blockTimeoutEnabled && diff > blockTimeout) {
        Log(LOG_TRACE, 2, "CInputPin::TimeoutThread: currentTime %d ms, lastTime %d ms, diffTime %d ms",
            static_cast<int>(now), static_cast<int>(last), static_cast<int>(diff));
        Log(LOG_TRACE, 2, "CInputPin::TimeoutThread: timeout_block: %d ms, ChangePinActivity to false",
            m_Options.blockTimeoutMs);
        platform::CAutoLock lock(*m_pReceiveLock);
        m_pRenderer->SetPinActivity(m_iPin, false);
    } else {
        Log(LOG_TRACE, 9, "CInputPin::TimeoutThread: currentTime %d ms, lastTime %d ms, diffTime %d ms",
            static_cast<int>(now), static_cast<int>(last), static_cast<int>(diff));
    }
}

}  // namespace BS
