#pragma once
// Property pages: the page interface a host drives (site, objects, activate, apply, deactivate),
// the site interface it reports to, and the base page that turns them into the handful of
// overridables a concrete page implements, as the media-graph base classes do.
#include <mutex>

#include "platform/com/Unknown.h"
#include "platform/ui/Dialog.h"

inline constexpr IID IID_IPropertyPage = {0xB196B28D, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
inline constexpr IID IID_IPropertyPageSite = {0xB196B28C, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};

inline constexpr DWORD PROPPAGESTATUS_DIRTY = 0x1;
inline constexpr DWORD PROPPAGESTATUS_VALIDATE = 0x2;

struct PROPPAGEINFO {
    ULONG cb;
    LPOLESTR pszTitle;  // CoTaskMemAlloc'd; the caller frees it
    int width, height;  // dialog units
    LPOLESTR pszDocString;
    LPOLESTR pszHelpFile;
    DWORD dwHelpContext;
};

struct IPropertyPageSite : IUnknown {
    virtual HRESULT OnStatusChange(DWORD flags) = 0;  // 3
};

struct IPropertyPage : IUnknown {
    virtual HRESULT SetPageSite(IPropertyPageSite* site) = 0;                        // 3
    virtual HRESULT Activate(IDialogParent* parent, const void* rect, BOOL modal) = 0; // 4
    virtual HRESULT Deactivate() = 0;                                                 // 5
    virtual HRESULT GetPageInfo(PROPPAGEINFO* info) = 0;                              // 6
    virtual HRESULT SetObjects(ULONG count, IUnknown** objects) = 0;                  // 7
    virtual HRESULT Show(UINT cmdShow) = 0;                                           // 8
    virtual HRESULT Move(const void* rect) = 0;                                       // 9
    virtual HRESULT IsPageDirty() = 0;                                                // 10: S_OK dirty, S_FALSE clean
    virtual HRESULT Apply() = 0;                                                      // 11
    virtual HRESULT Help(LPCOLESTR helpDir) = 0;                                      // 12
    virtual HRESULT TranslateAccelerator(void* msg) = 0;                              // 13
};
