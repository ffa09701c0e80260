#pragma once
// The writer filter's property page: edits the connection options through the filter's codec
// API, IFileSinkFilter and ISinkMode, offers Connect and Disconnect, and shows the live figures
// and the connection status, which a refresh thread reads every 40 ms.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>

#include "filter/FilterInterfaces.h"
#include "platform/Event.h"
#include "platform/com/ComPtr.h"
#include "platform/ui/BasePropertyPage.h"

class CRTMPSinkProperties final : public CBasePropertyPage {
public:
    static constexpr const wchar_t* kTitle = L"RTMP Network Writer Property Page";

    // The class factory's create function: E_OUTOFMEMORY in *phr when construction fails.
    static CUnknown* CreateInstance(IUnknown* pUnk, HRESULT* phr);
    // The page's dialog: resource 101 and its controls.
    static const DialogTemplate& Template();

    explicit CRTMPSinkProperties(IUnknown* pUnk);
    ~CRTMPSinkProperties() override;

private:
    HRESULT OnConnect(IUnknown* pUnk) override;
    HRESULT OnDisconnect() override;
    HRESULT OnActivate() override;
    HRESULT OnDeactivate() override;
    HRESULT OnApplyChanges() override;
    INT_PTR OnReceiveMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

    void FillControls();
    void SetNumber(int id, const GUID& key);
    void SetCheck(int id, const GUID& key);
    std::wstring ItemText(int id, size_t maxChars) const;
    void SendCommand(const GUID& key);

    void RefreshThreadProc();
    bool RefreshFigures();  // false when a figure cannot be read: the thread then ends
    void StopRefreshThread();

    CComPtr<ICodecAPI> m_pCodecAPI;        // OnConnect to OnDisconnect
    CComPtr<IFileSinkFilter> m_pFileSink;
    CComPtr<ISinkMode> m_pSinkMode;

    std::thread m_RefreshThread;            // started by OnActivate, joined by OnDeactivate
    platform::CEvent m_evStop{true, false};
    platform::CEvent m_evRefreshDone{true, false};
    // The value last written into each figure label (the seven numbers, then the status);
    // empty until written. Only the refresh thread touches it while it runs.
    std::array<std::optional<int32_t>, 8> m_Shown;
};
