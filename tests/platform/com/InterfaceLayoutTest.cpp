// Binary layout: a host compiled against the SDK's declarations calls methods by vtable slot and
// reads format blocks by offset. The automation headers come first on purpose: they share GUID,
// IUnknown and the result codes with the COM headers.
#include "platform/com/Dispatch.h"
#include "platform/com/Variant.h"

#include <cstddef>
#include <cstring>

#include <gtest/gtest.h>

#include "platform/com/ClassFactory.h"
#include "platform/com/Guid.h"
#include "platform/dshow/BaseFilter.h"
#include "platform/dshow/CodecApi.h"
#include "platform/dshow/FormatBlocks.h"
#include "platform/dshow/Interfaces.h"
#include "platform/dshow/Uuids.h"

namespace {

// Under the Itanium C++ ABI a pointer to a virtual member holds 1 + the byte offset of its slot.
template <class F>
long Slot(F pmf) {
    static_assert(sizeof(F) == 2 * sizeof(ptrdiff_t));
    ptrdiff_t raw;
    std::memcpy(&raw, &pmf, sizeof raw);
    EXPECT_EQ(raw & 1, 1) << "not a virtual function";
    return static_cast<long>((raw - 1) / static_cast<ptrdiff_t>(sizeof(void*)));
}

struct Entry {
    const char* what;
    long actual, expected;
};
#define S(m, n) {#m, Slot(&m), n}
#define O(t, f, n) {#t "::" #f, static_cast<long>(offsetof(t, f)), n}
#define H(x, n) {#x, static_cast<long>(static_cast<uint32_t>(x)), n}

TEST(BinaryLayout, VtableSlotsOffsetsResultCodesAndIidsMatchTheSdk) {
    const Entry table[] = {
        S(IUnknown::QueryInterface, 0), S(IUnknown::AddRef, 1), S(IUnknown::Release, 2),
        S(IClassFactory::CreateInstance, 3), S(IClassFactory::LockServer, 4),
        S(IBaseFilter::GetClassID, 3), S(IBaseFilter::Stop, 4), S(IBaseFilter::Pause, 5), S(IBaseFilter::Run, 6),
        S(IBaseFilter::GetState, 7), S(IBaseFilter::SetSyncSource, 8), S(IBaseFilter::GetSyncSource, 9),
        S(IBaseFilter::EnumPins, 10), S(IBaseFilter::FindPin, 11), S(IBaseFilter::QueryFilterInfo, 12),
        S(IBaseFilter::JoinFilterGraph, 13), S(IBaseFilter::QueryVendorInfo, 14),
        S(IAMFilterMiscFlags::GetMiscFlags, 3), S(IFileSinkFilter::SetFileName, 3), S(IFileSinkFilter::GetCurFile, 4),
        S(ISpecifyPropertyPages::GetPages, 3), S(IMediaEventSink::Notify, 3), S(IReferenceClock::GetTime, 3),
        S(IReferenceClock::Unadvise, 6), S(IFilterGraph::AddFilter, 3), S(IFilterGraph::ConnectDirect, 7),
        S(IFilterGraph::SetDefaultSyncSource, 10),
        S(IPin::Connect, 3), S(IPin::ReceiveConnection, 4), S(IPin::Disconnect, 5), S(IPin::ConnectedTo, 6),
        S(IPin::ConnectionMediaType, 7), S(IPin::QueryPinInfo, 8), S(IPin::QueryDirection, 9), S(IPin::QueryId, 10),
        S(IPin::QueryAccept, 11), S(IPin::EnumMediaTypes, 12), S(IPin::QueryInternalConnections, 13),
        S(IPin::EndOfStream, 14), S(IPin::BeginFlush, 15), S(IPin::EndFlush, 16), S(IPin::NewSegment, 17),
        S(IMemInputPin::GetAllocator, 3), S(IMemInputPin::Receive, 6), S(IMemInputPin::ReceiveCanBlock, 8),
        S(IMediaSample::GetPointer, 3), S(IMediaSample::GetTime, 5), S(IMediaSample::IsSyncPoint, 7),
        S(IMediaSample::IsPreroll, 9), S(IMediaSample::GetActualDataLength, 11), S(IMediaSample::GetMediaType, 13),
        S(IMediaSample::IsDiscontinuity, 15), S(IMediaSample::SetMediaTime, 18), S(IMemAllocator::GetBuffer, 7),
        S(IEnumPins::Next, 3), S(IEnumPins::Clone, 6), S(IEnumMediaTypes::Next, 3),
        S(IPinConnection::DynamicQueryAccept, 3), S(IPinConnection::DynamicDisconnect, 6),
        S(ICodecAPI::IsSupported, 3), S(ICodecAPI::IsModifiable, 4), S(ICodecAPI::GetDefaultValue, 7),
        S(ICodecAPI::GetValue, 8), S(ICodecAPI::SetValue, 9), S(ICodecAPI::SetAllDefaults, 12),
        S(ICodecAPI::SetAllSettingsWithNotify, 17),
        // The object's own slots: the non-delegating unknown, the destructor (two entries), then
        // stream time, pin version, pin count and pin.
        S(CBaseFilter::NonDelegatingQueryInterface, 0), S(CBaseFilter::NonDelegatingAddRef, 1),
        S(CBaseFilter::NonDelegatingRelease, 2), S(CBaseFilter::StreamTime, 5), S(CBaseFilter::GetPinVersion, 6),
        S(CBaseFilter::GetPinCount, 7), S(CBaseFilter::GetPin, 8),
        O(VIDEOINFOHEADER, dwBitRate, 32), O(VIDEOINFOHEADER, AvgTimePerFrame, 40), O(VIDEOINFOHEADER, bmiHeader, 48),
        O(BITMAPINFOHEADER, biCompression, 16), O(VIDEOINFOHEADER2, dwInterlaceFlags, 48),
        O(VIDEOINFOHEADER2, dwPictAspectRatioX, 56), O(VIDEOINFOHEADER2, dwPictAspectRatioY, 60),
        O(VIDEOINFOHEADER2, bmiHeader, 72), O(MPEG2VIDEOINFO, dwStartTimeCode, 112),
        O(MPEG2VIDEOINFO, cbSequenceHeader, 116), O(MPEG2VIDEOINFO, dwProfile, 120), O(MPEG2VIDEOINFO, dwLevel, 124),
        O(MPEG2VIDEOINFO, dwFlags, 128), O(WAVEFORMATEX, nSamplesPerSec, 4), O(WAVEFORMATEX, nAvgBytesPerSec, 8),
        O(WAVEFORMATEX, wBitsPerSample, 14), O(WAVEFORMATEX, cbSize, 16), O(WAVEFORMATEXTENSIBLE, dwChannelMask, 20),
        O(WAVEFORMATEXTENSIBLE, SubFormat, 24),
        H(E_NOTIMPL, 0x80004001), H(E_NOINTERFACE, 0x80004002), H(E_POINTER, 0x80004003), H(E_FAIL, 0x80004005),
        H(E_UNEXPECTED, 0x8000FFFF), H(E_INVALIDARG, 0x80070057), H(E_OUTOFMEMORY, 0x8007000E),
        H(VFW_E_NOT_FOUND, 0x80040216), H(VFW_E_TYPE_NOT_ACCEPTED, 0x8004022A), H(VFW_S_NO_MORE_ITEMS, 0x40103),
        H(VFW_E_INVALID_FILE_FORMAT, 0x8004022F), H(VFW_S_NO_STOP_TIME, 0x40270),
    };
    for (const Entry& e : table) EXPECT_EQ(e.actual, e.expected) << e.what;
    const std::pair<GUID, const char*> ids[] = {
        {IID_IBaseFilter, "{56A86895-0AD4-11CE-B03A-0020AF0BA770}"}, {IID_IUnknown, "{00000000-0000-0000-C000-000000000046}"},
        {IID_IPin, "{56A86891-0AD4-11CE-B03A-0020AF0BA770}"}, {MEDIATYPE_Video, "{73646976-0000-0010-8000-00AA00389B71}"},
        {MEDIATYPE_Audio, "{73647561-0000-0010-8000-00AA00389B71}"},
        {MEDIASUBTYPE_H264, "{34363248-0000-0010-8000-00AA00389B71}"},
        {MEDIASUBTYPE_AVC1, "{31435641-0000-0010-8000-00AA00389B71}"},
        {MEDIASUBTYPE_H264_ALT, "{8D2D71CB-243F-45E3-B2D8-5FD7967EC09B}"},
        {MEDIASUBTYPE_RAW_AAC1, "{000000FF-0000-0010-8000-00AA00389B71}"},
        {FORMAT_VideoInfo, "{05589F80-C356-11CE-BF01-00AA0055595A}"},
        {FORMAT_WaveFormatEx, "{05589F81-C356-11CE-BF01-00AA0055595A}"},
        {FORMAT_VideoInfo2, "{F72A76A0-EB0A-11D0-ACE4-0000C0CC16BA}"},
        {FORMAT_MPEG2Video, "{E06D80E3-DB46-11CF-B4D1-00805F6CBBEA}"},
        {IID_IFileSinkFilter, "{A2104830-7C70-11CF-8BCE-00AA00A3F1A6}"},
        {IID_ICodecAPI, "{901DB4C7-31CE-41A2-85DC-8FA0BF41B8DA}"},
        {IID_ISpecifyPropertyPages, "{B196B28B-BAB4-101A-B69C-00AA00341D07}"}};
    for (auto& [id, text] : ids) EXPECT_EQ(GuidToString(id), text);
}

}  // namespace
