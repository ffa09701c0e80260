#pragma once
// CBasePropertyPage: the media-graph base page on the dialog layer. It turns the IPropertyPage
// calls of a host into the overridables a concrete page implements (connect to the objects,
// activate the dialog, apply, deactivate, receive the dialog's messages) and keeps the page
// site and the dirty flag.
//
// Threads: the host makes the IPropertyPage calls one at a time; the dialog's messages may come
// from other threads, but only while the dialog exists (Activate to Deactivate), during which the
// page refuses SetObjects and SetPageSite keeps the site it has. So the site, the objects and
// m_Dlg never change under a message; only the dirty flag is shared, and it is atomic.
#include <atomic>

#include "platform/ui/PropertyPage.h"

class CBasePropertyPage : public IPropertyPage, public CUnknown, protected IDialogProc {
public:
    // name: for the reader of the code; dialog: the page's controls and title, which must
    // outlive the page (pages keep theirs in static storage).
    CBasePropertyPage(const wchar_t* name, IUnknown* pUnk, const DialogTemplate& dialog);
    ~CBasePropertyPage() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // IPropertyPage
    HRESULT SetPageSite(IPropertyPageSite* site) override;
    HRESULT Activate(IDialogParent* parent, const void* rect, BOOL modal) override;
    HRESULT Deactivate() override;
    HRESULT GetPageInfo(PROPPAGEINFO* info) override;
    HRESULT SetObjects(ULONG count, IUnknown** objects) override;
    HRESULT Show(UINT cmdShow) override;
    HRESULT Move(const void* rect) override;
    HRESULT IsPageDirty() override;
    HRESULT Apply() override;
    HRESULT Help(LPCOLESTR helpDir) override;
    HRESULT TranslateAccelerator(void* msg) override;

protected:
    virtual HRESULT OnConnect(IUnknown*) { return S_OK; }
    virtual HRESULT OnDisconnect() { return S_OK; }
    // Called once the dialog exists (m_Dlg set, WM_INITDIALOG already delivered).
    virtual HRESULT OnActivate() { return S_OK; }
    // Called while the dialog still exists; nothing may write to it after this returns.
    virtual HRESULT OnDeactivate() { return S_OK; }
    virtual HRESULT OnApplyChanges() { return S_OK; }
    // The dialog procedure: WM_INITDIALOG is answered TRUE, everything else FALSE.
    virtual INT_PTR OnReceiveMessage(UINT message, WPARAM wParam, LPARAM lParam);

    // Marks the page dirty and tells the site, which then offers Apply.
    void SetDirty();

    IDialogWindow* m_Dlg = nullptr;           // from Activate to Deactivate; the host owns it
    IPropertyPageSite* m_pPageSite = nullptr; // one reference held
    std::atomic<bool> m_bDirty{false};        // set by the message path, cleared by Apply
    bool m_bObjectSet = false;                // SetObjects(1) succeeded and no SetObjects(0) since

private:
    INT_PTR OnDialogMessage(UINT message, WPARAM wParam, LPARAM lParam) final;

    const DialogTemplate& m_Template;
};
