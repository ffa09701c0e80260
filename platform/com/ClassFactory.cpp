#include "platform/com/ClassFactory.h"

#include <atomic>

namespace {
std::atomic<LONG> g_serverLocks{0};
}

CClassFactory::CClassFactory(const CFactoryTemplate* pTemplate)
    : CUnknown(L"Class factory", nullptr), m_pTemplate(pTemplate) {}

HRESULT CClassFactory::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IClassFactory) return GetInterface(static_cast<IClassFactory*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CClassFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    // An aggregating outer object may only ask for the inner unknown: any other interface
    // would hand out a pointer that delegates to an owner that does not hold it yet.
    if (pUnkOuter && riid != IID_IUnknown) return E_NOINTERFACE;
    HRESULT hr = S_OK;
    CUnknown* obj = m_pTemplate->CreateInstance(pUnkOuter, &hr);
    if (!obj) return FAILED(hr) ? hr : E_OUTOFMEMORY;
    // Hold one reference while querying so that a failed query destroys the object.
    obj->NonDelegatingAddRef();
    if (FAILED(hr)) {
        obj->NonDelegatingRelease();
        return hr;
    }
    hr = obj->NonDelegatingQueryInterface(riid, ppv);
    obj->NonDelegatingRelease();
    return hr;
}

HRESULT CClassFactory::LockServer(BOOL fLock) {
    if (fLock)
        g_serverLocks.fetch_add(1);
    else
        g_serverLocks.fetch_sub(1);
    return S_OK;
}

LONG CClassFactory::LockCount() { return g_serverLocks.load(); }

HRESULT ComGetClassObject(std::span<const CFactoryTemplate> templates, REFCLSID rclsid, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
    for (const CFactoryTemplate& t : templates) {
        if (!t.IsClassID(rclsid)) continue;
        auto* factory = new CClassFactory(&t);
        factory->NonDelegatingAddRef();
        HRESULT hr = factory->NonDelegatingQueryInterface(riid, ppv);
        factory->NonDelegatingRelease();
        return hr;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT ComCanUnloadNow() {
    return (ComObjectCount() == 0 && CClassFactory::LockCount() <= 0) ? S_OK : S_FALSE;
}

void ComModuleInit(std::span<const CFactoryTemplate> templates, bool loading) {
    for (const CFactoryTemplate& t : templates)
        if (t.m_lpfnInit) t.m_lpfnInit(loading, t.m_ClsID);
}
