#pragma once
// Owning interface pointer: holds one reference and releases it when it goes.
#include <memory>
#include <utility>

#include "platform/com/Unknown.h"

template <class T>
class CComPtr {
public:
    CComPtr() = default;
    CComPtr(T* p) : m_p(p) {  // NOLINT: adopts by adding a reference, like the SDK's smart pointer
        if (m_p) m_p->AddRef();
    }
    CComPtr(const CComPtr& o) : CComPtr(o.m_p) {}
    CComPtr(CComPtr&& o) noexcept : m_p(std::exchange(o.m_p, nullptr)) {}
    ~CComPtr() { Release(); }
    CComPtr& operator=(const CComPtr& o) {
        CComPtr tmp(o);
        std::swap(m_p, tmp.m_p);
        return *this;
    }
    CComPtr& operator=(CComPtr&& o) noexcept {
        if (this != std::addressof(o)) {
            Release();
            m_p = std::exchange(o.m_p, nullptr);
        }
        return *this;
    }

    // Takes over a reference the caller already owns (an out parameter, a fresh object).
    static CComPtr Attach(T* p) {
        CComPtr c;
        c.m_p = p;
        return c;
    }
    T* Detach() { return std::exchange(m_p, nullptr); }
    void Release() {
        if (T* p = std::exchange(m_p, nullptr)) p->Release();
    }
    // For out parameters: drops what is held and exposes the slot.
    T** operator&() {
        Release();
        return &m_p;
    }
    T* get() const { return m_p; }
    T* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }

    // QueryInterface into another smart pointer; the HRESULT of the query.
    template <class U>
    HRESULT As(REFIID iid, CComPtr<U>& out) const {
        if (!m_p) return E_POINTER;
        U* q = nullptr;
        HRESULT hr = m_p->QueryInterface(iid, reinterpret_cast<void**>(&q));
        out = CComPtr<U>::Attach(SUCCEEDED(hr) ? q : nullptr);
        return hr;
    }

private:
    T* m_p = nullptr;
};
