#pragma once
// The module's class factory: a table of templates (name, class id, create function, setup data
// for the filter mapper) from which DllGetClassObject hands out a factory per class.
#include <span>

#include "platform/com/Guid.h"
#include "platform/com/Unknown.h"

inline constexpr IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

struct IClassFactory : IUnknown {
    virtual HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) = 0;
    virtual HRESULT LockServer(BOOL fLock) = 0;
};

struct AMOVIESETUP_FILTER;

// Creates the object with its outer unknown; reports a failed construction through *phr.
using LPFNNewCOMObject = CUnknown* (*)(IUnknown* pUnkOuter, HRESULT* phr);
// Called once per template when the module loads (true) and unloads (false).
using LPFNInitRoutine = void (*)(bool bLoading, const CLSID* rclsid);

struct CFactoryTemplate {
    const wchar_t* m_Name;
    const CLSID* m_ClsID;
    LPFNNewCOMObject m_lpfnNew;
    LPFNInitRoutine m_lpfnInit;
    const AMOVIESETUP_FILTER* m_pAMovieSetup_Filter;

    bool IsClassID(REFCLSID rclsid) const { return m_ClsID && *m_ClsID == rclsid; }
    CUnknown* CreateInstance(IUnknown* pUnk, HRESULT* phr) const { return m_lpfnNew(pUnk, phr); }
};

class CClassFactory final : public IClassFactory, public CUnknown {
public:
    explicit CClassFactory(const CFactoryTemplate* pTemplate);

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override;
    HRESULT LockServer(BOOL fLock) override;

    static LONG LockCount();

private:
    const CFactoryTemplate* m_pTemplate;
};

// The bodies of the module's DllGetClassObject and DllCanUnloadNow over its template table.
HRESULT ComGetClassObject(std::span<const CFactoryTemplate> templates, REFCLSID rclsid, REFIID riid, void** ppv);
// S_OK when no object of this layer is alive and the server is not locked, else S_FALSE.
HRESULT ComCanUnloadNow();
// The module entry's work on load (true) and unload (false): each template's init routine.
void ComModuleInit(std::span<const CFactoryTemplate> templates, bool loading);
