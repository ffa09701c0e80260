#pragma once
// IUnknown and the aggregation-aware object base. Every object keeps its own reference count
// in a non-delegating unknown; its public IUnknown forwards to the outer object when the object
// is aggregated, and to its own non-delegating unknown otherwise.
#include <atomic>

#include "platform/com/ComTypes.h"
#include "platform/com/Guid.h"

// Slots 0..2 of every interface. The guard is shared with the automation header (Dispatch.h).
#ifndef QV_IUNKNOWN_DEFINED
#define QV_IUNKNOWN_DEFINED
struct IUnknown {
    virtual HRESULT QueryInterface(REFIID riid, void** ppv) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;  // objects are destroyed through Release, never through an interface
};
inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
#endif

// The inner unknown of an aggregatable object; same slot order as IUnknown.
struct INonDelegatingUnknown {
    virtual HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) = 0;
    virtual ULONG NonDelegatingAddRef() = 0;
    virtual ULONG NonDelegatingRelease() = 0;

protected:
    ~INonDelegatingUnknown() = default;
};

// Live objects of this layer, for the module's can-unload answer.
LONG ComObjectCount();

class CUnknown : public INonDelegatingUnknown {
public:
    // name: for the reader of the code only (objects are named as in the media-graph base
    // classes); pUnk: the outer unknown when aggregated, or null.
    explicit CUnknown(const wchar_t* name, IUnknown* pUnk);
    CUnknown(const CUnknown&) = delete;
    CUnknown& operator=(const CUnknown&) = delete;
    virtual ~CUnknown();

    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    ULONG NonDelegatingAddRef() override;
    ULONG NonDelegatingRelease() override;

    // The unknown that public IUnknown calls go to: the outer one or our own.
    IUnknown* GetOwner() const { return m_pUnknown; }
    // Our own non-delegating unknown seen as an IUnknown: what an aggregating outer object
    // keeps, and what QueryInterface(IID_IUnknown) answers (the object's identity).
    IUnknown* InnerUnknown() { return &m_inner; }

protected:
    std::atomic<LONG> m_cRef{0};

private:
    // Turns IUnknown calls into the non-delegating ones of the owning object.
    struct Inner final : IUnknown {
        explicit Inner(CUnknown* o) : owner(o) {}
        HRESULT QueryInterface(REFIID riid, void** ppv) override { return owner->NonDelegatingQueryInterface(riid, ppv); }
        ULONG AddRef() override { return owner->NonDelegatingAddRef(); }
        ULONG Release() override { return owner->NonDelegatingRelease(); }
        CUnknown* owner;
    };
    Inner m_inner{this};
    IUnknown* m_pUnknown;  // never reference-counted: the outer object owns us, not the reverse
};

// Hands out an interface pointer with one reference added through it.
HRESULT GetInterface(IUnknown* pUnk, void** ppv);

// The public IUnknown of a class derived from CUnknown and one or more interfaces:
// every call goes to the owner, so an aggregated object shares the outer object's identity.
#define DECLARE_IUNKNOWN                                                                \
    HRESULT QueryInterface(REFIID riid, void** ppv) override {                          \
        return GetOwner()->QueryInterface(riid, ppv);                                   \
    }                                                                                   \
    ULONG AddRef() override { return GetOwner()->AddRef(); }                            \
    ULONG Release() override { return GetOwner()->Release(); }
