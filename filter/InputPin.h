#pragma once
// BS::CInputPin: the renderer framework's input pin. It hands samples to the renderer, holds
// the upstream back while the sink has no room (S_FALSE tells the upstream to stop), restamps
// video in live capture, and runs a watchdog that notices when the input stops flowing: after
// the block time-out the track stops holding up the interleaver, after the abort time-out the
// graph is told to stop.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "foundation/Types.h"
#include "platform/Event.h"
#include "platform/dshow/InputPin.h"

namespace BS {

class CBaseRenderer;

struct PinOptions {
    bool timeoutEnabled = true;
    bool blockTimeoutEnabled = true;
    int32_t timeoutMs = 5000;
    int32_t blockTimeoutMs = 1000;
    // How often the watchdog looks. Not a setting of the product; tests shorten it.
    uint32_t watchdogPeriodMs = 1000;
};

// EC_ERRORABORT codes of a stalled pin.
constexpr HRESULT E_VIDEO_INPUT_TIMEOUT = MakeHResult(0x80040701u);
constexpr HRESULT E_AUDIO_INPUT_TIMEOUT = MakeHResult(0x80040702u);

class CInputPin : public CBaseInputPin, public IPinConnection {
public:
    CInputPin(CBaseRenderer* renderer, platform::CReentrantLock* filterLock, platform::CReentrantLock* receiveLock,
              HRESULT* phr, LPCWSTR name, int number, const PinOptions& options);
    ~CInputPin() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    HRESULT CheckMediaType(const CMediaType* pmt) override;
    HRESULT GetMediaType(int iPosition, CMediaType* pMediaType) override;
    HRESULT QueryAccept(const AM_MEDIA_TYPE* pmt) override;
    HRESULT CompleteConnect(IPin* pReceivePin) override;
    HRESULT BreakConnect() override;
    HRESULT NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override;
    HRESULT BeginFlush() override;
    HRESULT EndFlush() override;
    HRESULT EndOfStream() override;
    HRESULT Active() override;
    HRESULT Inactive() override;
    HRESULT QueryInternalConnections(IPin** apPin, ULONG* nPin) override;
    HRESULT ReceiveCanBlock() override;
    HRESULT Receive(IMediaSample* pSample) override;

    // IPinConnection
    HRESULT DynamicQueryAccept(const AM_MEDIA_TYPE* pmt) override;
    HRESULT NotifyEndOfStream(HANDLE hNotifyEvent) override;
    HRESULT IsEndPin() override;
    HRESULT DynamicDisconnect() override;

    // Ends the watchdog; the renderer calls it on every pin before it destroys any of them.
    void StopWatchdogThread() { StopWatchdog(); }
    // The renderer's pause releases a sender blocked in the sink.
    void SignalStop() { m_evStop.Set(); }
    bool StopSignalled() const { return m_evStop.IsSet(); }
    int Number() const { return m_iPin; }
    bool IsVideo() const;
    bool IsAudio() const;
    void SetOwnerName(const std::wstring& name) { m_OwnerName = name; }
    const PinOptions& Options() const { return m_Options; }

private:
    void WatchdogProc();
    void WatchdogTick();
    void StopWatchdog();
    HRESULT TimeoutCode() const;

    static constexpr uint32_t kTickUnset = 0xFFFFFFFFu;

    std::wstring m_OwnerName = L"DirectShowFilter";
    // Capture restamping; written under the receive lock by the streaming thread and Active/Inactive.
    int64_t m_iCaptureBase = NO_TIME;
    int64_t m_iCaptureFirst = NO_TIME;
    platform::CEvent m_evWatchdogStop{true, false};
    // Stop sending: set by BeginFlush and the renderer's pause (and by the sink), reset by
    // EndFlush and Active.
    platform::CEvent m_evStop{true, false};
    std::thread m_Watchdog;  // started by Active, ended by Inactive (graph control thread only)
    // Set by the watchdog thread as its last act, so that Inactive can bound its wait.
    platform::CEvent m_evWatchdogDone{true, false};
    platform::CEvent m_evReceiving{true, false};  // set while a Receive is inside the pin
    const int m_iPin;
    std::atomic<bool> m_bEOS{false};           // end of stream seen (the watchdog stops timing)
    std::atomic<bool> m_bEOSDelivered{false};  // end of stream handed to the renderer
    const PinOptions m_Options;
    platform::CReentrantLock* m_pReceiveLock;
    // Written by the streaming thread and the watchdog; kTickUnset after Active.
    std::atomic<uint32_t> m_dwLastReceive{kTickUnset};
    CBaseRenderer* m_pRenderer;
};

}  // namespace BS
