#include "platform/com/Unknown.h"

namespace {
std::atomic<LONG> g_objectCount{0};
}

LONG ComObjectCount() { return g_objectCount.load(); }

CUnknown::CUnknown(const wchar_t*, IUnknown* pUnk) : m_pUnknown(pUnk ? pUnk : &m_inner) {
    g_objectCount.fetch_add(1);
}

CUnknown::~CUnknown() { g_objectCount.fetch_sub(1); }

HRESULT CUnknown::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown) return GetInterface(&m_inner, ppv);
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG CUnknown::NonDelegatingAddRef() { return static_cast<ULONG>(m_cRef.fetch_add(1) + 1); }

ULONG CUnknown::NonDelegatingRelease() {
    LONG left = m_cRef.fetch_sub(1) - 1;
    if (left == 0) {
        // Guard against a destructor that hands out and drops a reference to us again.
        m_cRef.store(1);
        delete this;
        return 0;
    }
    return static_cast<ULONG>(left < 0 ? 0 : left);
}

HRESULT GetInterface(IUnknown* pUnk, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = pUnk;
    pUnk->AddRef();
    return S_OK;
}
