#include "platform/dshow/MediaType.h"

#include <cstring>
#include <utility>

#include "platform/com/TaskMem.h"
#include "platform/com/Unknown.h"

void FreeMediaType(AM_MEDIA_TYPE& mt) {
    if (mt.cbFormat != 0 || mt.pbFormat) {
        CoTaskMemFree(mt.pbFormat);
        mt.cbFormat = 0;
        mt.pbFormat = nullptr;
    }
    if (mt.pUnk) {
        mt.pUnk->Release();
        mt.pUnk = nullptr;
    }
}

void DeleteMediaType(AM_MEDIA_TYPE* pmt) {
    if (!pmt) return;
    FreeMediaType(*pmt);
    CoTaskMemFree(pmt);
}

HRESULT CopyMediaType(AM_MEDIA_TYPE* pmtTarget, const AM_MEDIA_TYPE* pmtSource) {
    if (!pmtTarget || !pmtSource) return E_POINTER;
    *pmtTarget = *pmtSource;
    if (pmtSource->cbFormat != 0 && pmtSource->pbFormat) {
        pmtTarget->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(pmtSource->cbFormat));
        if (!pmtTarget->pbFormat) {
            pmtTarget->cbFormat = 0;
            pmtTarget->pUnk = nullptr;
            return E_OUTOFMEMORY;
        }
        std::memcpy(pmtTarget->pbFormat, pmtSource->pbFormat, pmtSource->cbFormat);
    } else {
        // A length without a block (or a block without a length) is carried as no block at all.
        pmtTarget->cbFormat = 0;
        pmtTarget->pbFormat = nullptr;
    }
    if (pmtTarget->pUnk) pmtTarget->pUnk->AddRef();
    return S_OK;
}

AM_MEDIA_TYPE* CreateMediaType(const AM_MEDIA_TYPE* pSrc) {
    if (!pSrc) return nullptr;
    auto* pmt = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    if (!pmt) return nullptr;
    if (FAILED(CopyMediaType(pmt, pSrc))) {
        CoTaskMemFree(pmt);
        return nullptr;
    }
    return pmt;
}

void CMediaType::InitMediaType() {
    majortype = GUID_NULL;
    subtype = GUID_NULL;
    bFixedSizeSamples = TRUE;
    bTemporalCompression = FALSE;
    lSampleSize = 1;
    formattype = GUID_NULL;
    pUnk = nullptr;
    cbFormat = 0;
    pbFormat = nullptr;
}

CMediaType::CMediaType() : AM_MEDIA_TYPE() { InitMediaType(); }

CMediaType::CMediaType(const GUID* type) : CMediaType() {
    if (type) majortype = *type;
}

CMediaType::CMediaType(const AM_MEDIA_TYPE& rt) : CMediaType() { Set(rt); }

CMediaType::CMediaType(const CMediaType& rt) : CMediaType() { Set(rt); }

CMediaType::CMediaType(CMediaType&& rt) noexcept : AM_MEDIA_TYPE(rt) {
    rt.pbFormat = nullptr;
    rt.cbFormat = 0;
    rt.pUnk = nullptr;
}

CMediaType::~CMediaType() { FreeMediaType(*this); }

CMediaType& CMediaType::operator=(const AM_MEDIA_TYPE& rt) {
    Set(rt);
    return *this;
}

CMediaType& CMediaType::operator=(const CMediaType& rt) {
    Set(rt);
    return *this;
}

CMediaType& CMediaType::operator=(CMediaType&& rt) noexcept {
    if (this != &rt) {
        FreeMediaType(*this);
        static_cast<AM_MEDIA_TYPE&>(*this) = rt;
        rt.pbFormat = nullptr;
        rt.cbFormat = 0;
        rt.pUnk = nullptr;
    }
    return *this;
}

bool CMediaType::operator==(const CMediaType& rt) const {
    return majortype == rt.majortype && subtype == rt.subtype && formattype == rt.formattype &&
           cbFormat == rt.cbFormat && (cbFormat == 0 || std::memcmp(pbFormat, rt.pbFormat, cbFormat) == 0);
}

bool CMediaType::Set(const AM_MEDIA_TYPE& rt) {
    if (&rt == this) return true;
    FreeMediaType(*this);
    return SUCCEEDED(CopyMediaType(this, &rt));
}

void CMediaType::SetSampleSize(ULONG sz) {
    if (sz == 0) {
        SetVariableSize();
    } else {
        bFixedSizeSamples = TRUE;
        lSampleSize = sz;
    }
}

bool CMediaType::SetFormat(const BYTE* pFormat, ULONG length) {
    if (length && !pFormat) return false;
    BYTE* p = AllocFormatBuffer(length);
    if (!p && length) return false;
    if (length) std::memcpy(p, pFormat, length);
    return true;
}

BYTE* CMediaType::AllocFormatBuffer(ULONG length) {
    ResetFormatBuffer();
    if (length == 0) return nullptr;
    auto* p = static_cast<BYTE*>(CoTaskMemAlloc(length));
    if (!p) return nullptr;
    std::memset(p, 0, length);
    pbFormat = p;
    cbFormat = length;
    return p;
}

BYTE* CMediaType::ReallocFormatBuffer(ULONG length) {
    if (length == 0) {
        ResetFormatBuffer();
        return nullptr;
    }
    auto* p = static_cast<BYTE*>(CoTaskMemAlloc(length));
    if (!p) return nullptr;
    ULONG keep = cbFormat < length ? cbFormat : length;
    if (keep) std::memcpy(p, pbFormat, keep);
    if (length > keep) std::memset(p + keep, 0, length - keep);
    CoTaskMemFree(pbFormat);
    pbFormat = p;
    cbFormat = length;
    return p;
}

void CMediaType::ResetFormatBuffer() {
    CoTaskMemFree(pbFormat);
    pbFormat = nullptr;
    cbFormat = 0;
}

bool CMediaType::MatchesPartial(const CMediaType* ppartial) const {
    if (ppartial->majortype != GUID_NULL && majortype != ppartial->majortype) return false;
    if (ppartial->subtype != GUID_NULL && subtype != ppartial->subtype) return false;
    if (ppartial->formattype != GUID_NULL) {
        if (formattype != ppartial->formattype) return false;
        if (cbFormat != ppartial->cbFormat) return false;
        if (cbFormat != 0 && std::memcmp(pbFormat, ppartial->pbFormat, cbFormat) != 0) return false;
    }
    return true;
}

bool CMediaType::IsPartiallySpecified() const {
    return majortype == GUID_NULL || subtype == GUID_NULL || formattype == GUID_NULL;
}
