#pragma once
// Media types: the AM_MEDIA_TYPE record with its owned format block (CoTaskMemAlloc memory),
// the helpers that copy and free it, and CMediaType, the value class over the record.
#include <cstdint>

#include "platform/dshow/DShowTypes.h"

// Frees the format block and the pUnk reference; the record itself stays.
void FreeMediaType(AM_MEDIA_TYPE& mt);
// Frees the record's contents and the record (allocated with CoTaskMemAlloc). Null is allowed.
void DeleteMediaType(AM_MEDIA_TYPE* pmt);
// Deep copy into a target whose old contents the caller has already freed.
// E_OUTOFMEMORY leaves the target without a format block.
HRESULT CopyMediaType(AM_MEDIA_TYPE* pmtTarget, const AM_MEDIA_TYPE* pmtSource);
// A CoTaskMemAlloc'd deep copy, as enumerators and IMediaSample::GetMediaType hand out; null on failure.
AM_MEDIA_TYPE* CreateMediaType(const AM_MEDIA_TYPE* pSrc);

class CMediaType : public AM_MEDIA_TYPE {
public:
    CMediaType();
    explicit CMediaType(const GUID* majortype);
    CMediaType(const AM_MEDIA_TYPE& rt);  // NOLINT: copying a record into the value class is the point
    CMediaType(const CMediaType& rt);
    CMediaType(CMediaType&& rt) noexcept;
    ~CMediaType();

    CMediaType& operator=(const AM_MEDIA_TYPE& rt);
    CMediaType& operator=(const CMediaType& rt);
    CMediaType& operator=(CMediaType&& rt) noexcept;
    // Major type, subtype, format type and format block all equal.
    bool operator==(const CMediaType& rt) const;

    // Copies a record; false when the format block could not be allocated.
    bool Set(const AM_MEDIA_TYPE& rt);
    bool IsValid() const { return majortype != GUID_NULL; }

    const GUID* Type() const { return &majortype; }
    void SetType(const GUID* ptype) { majortype = *ptype; }
    const GUID* Subtype() const { return &subtype; }
    void SetSubtype(const GUID* ptype) { subtype = *ptype; }
    const GUID* FormatType() const { return &formattype; }
    void SetFormatType(const GUID* pformattype) { formattype = *pformattype; }
    BOOL IsFixedSize() const { return bFixedSizeSamples; }
    BOOL IsTemporalCompressed() const { return bTemporalCompression; }
    ULONG GetSampleSize() const { return bFixedSizeSamples ? lSampleSize : 0; }
    void SetSampleSize(ULONG sz);
    void SetVariableSize() { bFixedSizeSamples = FALSE; }
    void SetTemporalCompression(BOOL bCompressed) { bTemporalCompression = bCompressed; }

    BYTE* Format() const { return pbFormat; }
    ULONG FormatLength() const { return cbFormat; }
    // Replaces the format block by a copy of `length` bytes; false when out of memory.
    bool SetFormat(const BYTE* pFormat, ULONG length);
    // A zeroed block of `length` bytes in place of the old one; null when out of memory.
    BYTE* AllocFormatBuffer(ULONG length);
    // Grows or shrinks the block keeping its leading bytes; new bytes are zero. Null when out of memory.
    BYTE* ReallocFormatBuffer(ULONG length);
    void ResetFormatBuffer();

    // Major type and subtype match, GUID_NULL in `ppartial` matching anything; the format is
    // compared only when the partial type names one.
    bool MatchesPartial(const CMediaType* ppartial) const;
    // Any of the major type, subtype or format type left GUID_NULL.
    bool IsPartiallySpecified() const;
    void InitMediaType();
};
