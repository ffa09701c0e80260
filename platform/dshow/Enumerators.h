#pragma once
// Enumerators over a filter's pins and a pin's proposed media types. Both hold a reference on
// the filter and notice when the set they walk has changed since they were made.
#include "platform/com/Unknown.h"
#include "platform/dshow/Interfaces.h"

class CBaseFilter;
class CBasePin;

class CEnumPins final : public IEnumPins, public CUnknown {
public:
    // pEnumPins: the enumerator being cloned (position and version are copied), or null.
    CEnumPins(CBaseFilter* pFilter, const CEnumPins* pEnumPins);
    ~CEnumPins() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    HRESULT Next(ULONG cPins, IPin** ppPins, ULONG* pcFetched) override;
    HRESULT Skip(ULONG cPins) override;
    HRESULT Reset() override;
    HRESULT Clone(IEnumPins** ppEnum) override;

private:
    bool AreWeOutOfSync() const;

    CBaseFilter* m_pFilter;  // holds a reference
    int m_Position = 0;
    int m_PinCount = 0;
    LONG m_Version = 0;
};

class CEnumMediaTypes final : public IEnumMediaTypes, public CUnknown {
public:
    CEnumMediaTypes(CBasePin* pPin, const CEnumMediaTypes* pEnumMediaTypes);
    ~CEnumMediaTypes() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // Each type handed out is a CoTaskMemAlloc'd record the caller frees with DeleteMediaType.
    HRESULT Next(ULONG cMediaTypes, AM_MEDIA_TYPE** ppMediaTypes, ULONG* pcFetched) override;
    HRESULT Skip(ULONG cMediaTypes) override;
    HRESULT Reset() override;
    HRESULT Clone(IEnumMediaTypes** ppEnum) override;

private:
    bool AreWeOutOfSync() const;

    CBasePin* m_pPin;  // holds a reference (the filter's)
    int m_Position = 0;
    LONG m_Version = 0;
};
