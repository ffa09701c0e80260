// Slot order of the interfaces: a host compiled against the SDK's declarations calls methods by
// slot, so each method must sit where the SDK puts it. The automation headers come first here
// on purpose: they share GUID, IUnknown and the result codes with the COM headers.
#include "platform/com/Dispatch.h"
#include "platform/com/Variant.h"

#include <cstddef>
#include <cstring>

#include <gtest/gtest.h>

#include "platform/com/ClassFactory.h"
#include "platform/dshow/BaseFilter.h"
#include "platform/dshow/CodecApi.h"
#include "platform/dshow/Interfaces.h"

namespace {

// The vtable slot of a virtual member function. Under the Itanium C++ ABI a pointer to a
// virtual member holds 1 + the byte offset of its vtable entry.
template <class F>
long Slot(F pmf) {
    static_assert(sizeof(F) == 2 * sizeof(ptrdiff_t));
    ptrdiff_t raw;
    std::memcpy(&raw, &pmf, sizeof raw);
    EXPECT_EQ(raw & 1, 1) << "not a virtual function";
    return static_cast<long>((raw - 1) / static_cast<ptrdiff_t>(sizeof(void*)));
}

TEST(InterfaceLayout, UnknownAndFilterInterfaces) {
    EXPECT_EQ(Slot(&IUnknown::QueryInterface), 0);
    EXPECT_EQ(Slot(&IUnknown::AddRef), 1);
    EXPECT_EQ(Slot(&IUnknown::Release), 2);
    EXPECT_EQ(Slot(&IClassFactory::CreateInstance), 3);
    EXPECT_EQ(Slot(&IClassFactory::LockServer), 4);
    EXPECT_EQ(Slot(&IBaseFilter::GetClassID), 3);
    EXPECT_EQ(Slot(&IBaseFilter::Stop), 4);
    EXPECT_EQ(Slot(&IBaseFilter::Pause), 5);
    EXPECT_EQ(Slot(&IBaseFilter::Run), 6);
    EXPECT_EQ(Slot(&IBaseFilter::GetState), 7);
    EXPECT_EQ(Slot(&IBaseFilter::SetSyncSource), 8);
    EXPECT_EQ(Slot(&IBaseFilter::GetSyncSource), 9);
    EXPECT_EQ(Slot(&IBaseFilter::EnumPins), 10);
    EXPECT_EQ(Slot(&IBaseFilter::FindPin), 11);
    EXPECT_EQ(Slot(&IBaseFilter::QueryFilterInfo), 12);
    EXPECT_EQ(Slot(&IBaseFilter::JoinFilterGraph), 13);
    EXPECT_EQ(Slot(&IBaseFilter::QueryVendorInfo), 14);
    EXPECT_EQ(Slot(&IAMFilterMiscFlags::GetMiscFlags), 3);
    EXPECT_EQ(Slot(&IFileSinkFilter::SetFileName), 3);
    EXPECT_EQ(Slot(&IFileSinkFilter::GetCurFile), 4);
    EXPECT_EQ(Slot(&ISpecifyPropertyPages::GetPages), 3);
    EXPECT_EQ(Slot(&IMediaEventSink::Notify), 3);
    EXPECT_EQ(Slot(&IReferenceClock::GetTime), 3);
    EXPECT_EQ(Slot(&IReferenceClock::Unadvise), 6);
    EXPECT_EQ(Slot(&IFilterGraph::AddFilter), 3);
    EXPECT_EQ(Slot(&IFilterGraph::ConnectDirect), 7);
    EXPECT_EQ(Slot(&IFilterGraph::SetDefaultSyncSource), 10);
}

TEST(InterfaceLayout, PinSampleAndEnumeratorInterfaces) {
    EXPECT_EQ(Slot(&IPin::Connect), 3);
    EXPECT_EQ(Slot(&IPin::ReceiveConnection), 4);
    EXPECT_EQ(Slot(&IPin::Disconnect), 5);
    EXPECT_EQ(Slot(&IPin::ConnectedTo), 6);
    EXPECT_EQ(Slot(&IPin::ConnectionMediaType), 7);
    EXPECT_EQ(Slot(&IPin::QueryPinInfo), 8);
    EXPECT_EQ(Slot(&IPin::QueryDirection), 9);
    EXPECT_EQ(Slot(&IPin::QueryId), 10);
    EXPECT_EQ(Slot(&IPin::QueryAccept), 11);
    EXPECT_EQ(Slot(&IPin::EnumMediaTypes), 12);
    EXPECT_EQ(Slot(&IPin::QueryInternalConnections), 13);
    EXPECT_EQ(Slot(&IPin::EndOfStream), 14);
    EXPECT_EQ(Slot(&IPin::BeginFlush), 15);
    EXPECT_EQ(Slot(&IPin::EndFlush), 16);
    EXPECT_EQ(Slot(&IPin::NewSegment), 17);
    EXPECT_EQ(Slot(&IMemInputPin::GetAllocator), 3);
    EXPECT_EQ(Slot(&IMemInputPin::Receive), 6);
    EXPECT_EQ(Slot(&IMemInputPin::ReceiveCanBlock), 8);
    EXPECT_EQ(Slot(&IMediaSample::GetPointer), 3);
    EXPECT_EQ(Slot(&IMediaSample::GetTime), 5);
    EXPECT_EQ(Slot(&IMediaSample::IsSyncPoint), 7);
    EXPECT_EQ(Slot(&IMediaSample::IsPreroll), 9);
    EXPECT_EQ(Slot(&IMediaSample::GetActualDataLength), 11);
    EXPECT_EQ(Slot(&IMediaSample::GetMediaType), 13);
    EXPECT_EQ(Slot(&IMediaSample::IsDiscontinuity), 15);
    EXPECT_EQ(Slot(&IMediaSample::SetMediaTime), 18);
    EXPECT_EQ(Slot(&IMemAllocator::GetBuffer), 7);
    EXPECT_EQ(Slot(&IEnumPins::Next), 3);
    EXPECT_EQ(Slot(&IEnumPins::Clone), 6);
    EXPECT_EQ(Slot(&IEnumMediaTypes::Next), 3);
    EXPECT_EQ(Slot(&IPinConnection::DynamicQueryAccept), 3);
    EXPECT_EQ(Slot(&IPinConnection::DynamicDisconnect), 6);
}

TEST(InterfaceLayout, CodecApi) {
    EXPECT_EQ(Slot(&ICodecAPI::IsSupported), 3);
    EXPECT_EQ(Slot(&ICodecAPI::IsModifiable), 4);
    EXPECT_EQ(Slot(&ICodecAPI::GetDefaultValue), 7);
    EXPECT_EQ(Slot(&ICodecAPI::GetValue), 8);
    EXPECT_EQ(Slot(&ICodecAPI::SetValue), 9);
    EXPECT_EQ(Slot(&ICodecAPI::SetAllDefaults), 12);
    EXPECT_EQ(Slot(&ICodecAPI::SetAllSettingsWithNotify), 17);
}

// The object's own slots: the non-delegating unknown, the destructor, then the filter's
// stream time, pin version, pin count and pin, in that order (the destructor takes two
// entries under this ABI).
TEST(InterfaceLayout, BaseFilterOwnSlotsFollowTheUnknown) {
    EXPECT_EQ(Slot(&CBaseFilter::NonDelegatingQueryInterface), 0);
    EXPECT_EQ(Slot(&CBaseFilter::NonDelegatingAddRef), 1);
    EXPECT_EQ(Slot(&CBaseFilter::NonDelegatingRelease), 2);
    long stream = Slot(&CBaseFilter::StreamTime);
    EXPECT_EQ(stream, 5);
    EXPECT_EQ(Slot(&CBaseFilter::GetPinVersion), stream + 1);
    EXPECT_EQ(Slot(&CBaseFilter::GetPinCount), stream + 2);
    EXPECT_EQ(Slot(&CBaseFilter::GetPin), stream + 3);
}

}  // namespace
