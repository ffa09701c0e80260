#include "TestFilters.h"

#include <algorithm>
#include <cstring>

#include "platform/dshow/FormatBlocks.h"
#include "platform/dshow/Uuids.h"

namespace qvtest {

CMediaType H264Type() {
    CMediaType mt(&MEDIATYPE_Video);
    mt.SetSubtype(&MEDIASUBTYPE_H264);
    mt.SetFormatType(&FORMAT_VideoInfo);
    VIDEOINFOHEADER vih{};
    vih.AvgTimePerFrame = 400000;
    vih.bmiHeader.biWidth = 640;
    mt.SetFormat(reinterpret_cast<const BYTE*>(&vih), sizeof vih);
    return mt;
}

CMediaType AacType(uint32_t rate, std::vector<uint8_t> asc) {
    CMediaType mt(&MEDIATYPE_Audio);
    mt.SetSubtype(&MEDIASUBTYPE_RAW_AAC1);
    mt.SetFormatType(&FORMAT_WaveFormatEx);
    BYTE* p = mt.AllocFormatBuffer(static_cast<ULONG>(sizeof(WAVEFORMATEX) + asc.size()));
    WAVEFORMATEX wfx{};
    wfx.wFormatTag = WAVE_FORMAT_RAW_AAC1;
    wfx.nSamplesPerSec = rate;
    wfx.cbSize = static_cast<WORD>(asc.size());
    std::memcpy(p, &wfx, sizeof wfx);
    std::copy(asc.begin(), asc.end(), p + sizeof wfx);
    return mt;
}

HRESULT CRecordingPin::CheckMediaType(const CMediaType* pmt) {
    return accept.empty() || std::find(accept.begin(), accept.end(), *pmt->Subtype()) != accept.end() ? S_OK : S_FALSE;
}

HRESULT CRecordingPin::GetMediaType(int i, CMediaType* pmt) {
    if (i < 0) return E_INVALIDARG;
    return static_cast<size_t>(i) < propose.size() ? (*pmt = propose[static_cast<size_t>(i)], S_OK) : VFW_S_NO_MORE_ITEMS;
}

HRESULT CRecordingPin::Receive(IMediaSample* s) {
    HRESULT hr = CBaseInputPin::Receive(s);
    if (hr != S_OK) return hr;
    BYTE* p = nullptr;
    s->GetPointer(&p);
    std::unique_lock<std::mutex> g(m_mutex);
    if (static_cast<int>(m_samples.size()) == refuseIndex) hr = S_FALSE;
    m_samples.push_back({{p, p + s->GetActualDataLength()}});
    if (std::exchange(blockNextReceive, false)) {
        blocked.Set();
        // Bounded: a flush that never comes fails the test instead of hanging it.
        m_cv.wait_for(g, std::chrono::seconds(10), [this] { return m_flushing; });
        hr = S_FALSE;
    }
    return hr;
}

void CRecordingPin::Flushing(bool on) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_flushing = on;
    m_cv.notify_all();
}

}  // namespace qvtest
