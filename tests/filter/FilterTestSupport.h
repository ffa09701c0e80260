#pragma once
// Test doubles for the renderer framework: a sink that records what the renderer hands it and
// can hold a sender back, a minimal concrete renderer over it, media types as encoders announce
// them, and a graph with a push source in front of the renderer.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "filter/BaseRenderer.h"
#include "filter/InputPin.h"
#include "platform/Event.h"
#include "platform/dshow/FilterGraph.h"
#include "platform/dshow/FormatBlocks.h"
#include "platform/dshow/MediaType.h"
#include "platform/dshow/SourcePin.h"
#include "platform/dshow/Uuids.h"

namespace filtertest {

struct Put {
    int32_t track;
    int64_t dts, pts;
    int32_t size;
    int32_t frameType;
    bool preroll;
    std::vector<uint8_t> bytes;
};

class FakeSink : public BS::CPureSink {
public:
    bool IsInited() override { return inited.load(); }
    bool Lock() override { return true; }
    bool Unlock() override { return true; }
    bool AddTrack(const BS::format_t&, int32_t, int32_t) override { return true; }
    int32_t Init(const ConnectionSettings&, int32_t*) override {
        inited = true;
        return 0;
    }
    bool Close() override {
        std::lock_guard<std::mutex> g(m);
        closes++;
        inited = false;
        cv.notify_all();
        return true;
    }
    bool Flush(bool send, bool discard) override {
        std::lock_guard<std::mutex> g(m);
        flushes.emplace_back(send, discard);
        // A discarding flush empties the queues, which releases a waiting sender.
        if (discard) blocked.assign(4, false);
        cv.notify_all();
        return true;
    }
    uint32_t GetQueueSize(uint32_t track) override {
        std::lock_guard<std::mutex> g(m);
        return track < queue.size() ? queue[track] : 0;
    }
    bool PutData(BS::data_t* d, int32_t track, bool owned) override {
        std::lock_guard<std::mutex> g(m);
        Put p{track, d->dts, d->pts, d->size_actual, d->frame_type, d->preroll,
              std::vector<uint8_t>(d->data, d->data + d->size_actual)};
        puts.push_back(std::move(p));
        if (owned) BS::data_t::Release(d);
        cv.notify_all();
        return true;
    }
    bool SetEndOfStream(int32_t track) override {
        std::lock_guard<std::mutex> g(m);
        eos.push_back(track);
        cv.notify_all();
        return true;
    }
    // Holds the sender while its track is marked blocked, until the stop event or a discard.
    bool WaitForTrack(uint32_t track, platform::CEvent* stop) override {
        {
            std::lock_guard<std::mutex> g(m);
            waiting++;
            cv.notify_all();
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            {
                std::unique_lock<std::mutex> g(m);
                if (track >= blocked.size() || !blocked[track]) break;
            }
            if (stop && stop->Wait(2)) break;
        }
        std::lock_guard<std::mutex> g(m);
        waiting--;
        cv.notify_all();
        return true;
    }
    int32_t GetSinkStatus() override { return status.load(); }
    bool GetStatistics(RTMPStatistics*) override { return false; }
    bool SetTrackActive(uint32_t track, bool active) override {
        std::lock_guard<std::mutex> g(m);
        activity.emplace_back(track, active);
        cv.notify_all();
        return true;
    }

    // Waits (bounded) until pred() holds under the sink's mutex.
    template <class Pred>
    bool WaitFor(Pred pred, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, timeout, pred);
    }
    void SetBlocked(uint32_t track, bool on) {
        std::lock_guard<std::mutex> g(m);
        blocked[track] = on;
        cv.notify_all();
    }
    std::vector<Put> Puts() {
        std::lock_guard<std::mutex> g(m);
        return puts;
    }

    std::mutex m;
    std::condition_variable cv;
    std::atomic<bool> inited{false};
    std::atomic<int32_t> status{BS::SINK_OK};
    std::vector<Put> puts;
    std::vector<int32_t> eos;
    std::vector<std::pair<bool, bool>> flushes;
    std::vector<std::pair<uint32_t, bool>> activity;
    std::vector<uint32_t> queue = std::vector<uint32_t>(4, 0);
    std::vector<bool> blocked = std::vector<bool>(4, false);
    int waiting = 0;
    int closes = 0;
};

inline constexpr CLSID CLSID_TestRenderer = {0x1d0c2b34, 0x7e55, 0x4a51, {0x9d, 0x1e, 0x33, 0x10, 0x42, 0x6b, 0x7a, 0x01}};

// Pin 0 takes video, pin 1 audio; the pause "connects" by marking the sink inited.
class TestRenderer : public BS::CBaseRenderer {
public:
    static TestRenderer* Create(const BS::PinOptions& options, FakeSink** sinkOut) {
        auto* r = new TestRenderer(options);
        r->NonDelegatingAddRef();
        *sinkOut = r->m_fake;
        return r;
    }
    HRESULT CheckMediaType(const CMediaType* mt, int pin) override {
        if (!mt) return E_POINTER;
        const GUID& want = pin == 0 ? MEDIATYPE_Video : MEDIATYPE_Audio;
        return mt->majortype == want ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT GetMediaType(int, CMediaType*, int) override { return VFW_S_NO_MORE_ITEMS; }
    HRESULT PrepareRendering() override {
        prepares++;
        if (failPrepare) return E_FAIL;
        m_fake->inited = true;
        return S_OK;
    }
    HRESULT StartRendering() override {
        starts++;
        StartRenderingBase();
        return S_OK;
    }
    void Capture(bool on) { SetCapture(on); }
    void AudioOffset(double ms) { SetAudioOffset(ms); }
    BS::CInputPin* Pin(int n) { return static_cast<BS::CInputPin*>(GetPin(n)); }

    std::atomic<int> prepares{0};
    std::atomic<int> starts{0};
    bool failPrepare = false;

private:
    explicit TestRenderer(const BS::PinOptions& options) : BS::CBaseRenderer(L"TestRenderer", nullptr, CLSID_TestRenderer) {
        auto sink = std::make_unique<FakeSink>();
        m_fake = sink.get();
        SetSink(std::move(sink));
        HRESULT hr = S_OK;
        AddPin(std::make_unique<BS::CInputPin>(this, FilterLock(), ReceiveLock(), &hr, L"Video", 0, options));
        AddPin(std::make_unique<BS::CInputPin>(this, FilterLock(), ReceiveLock(), &hr, L"Audio", 1, options));
    }
    FakeSink* m_fake = nullptr;
};

inline CMediaType VideoType(int64_t avgTimePerFrame = 400000, int width = 320, int height = 240) {
    CMediaType mt(&MEDIATYPE_Video);
    mt.SetSubtype(&MEDIASUBTYPE_H264);
    mt.SetFormatType(&FORMAT_VideoInfo);
    VIDEOINFOHEADER vih{};
    vih.AvgTimePerFrame = avgTimePerFrame;
    vih.dwBitRate = 500000;
    vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    vih.bmiHeader.biWidth = width;
    vih.bmiHeader.biHeight = height;
    vih.bmiHeader.biPlanes = 1;
    vih.bmiHeader.biBitCount = 24;
    vih.bmiHeader.biCompression = MakeFourCC('H', '2', '6', '4');
    mt.SetFormat(reinterpret_cast<const BYTE*>(&vih), sizeof(vih));
    return mt;
}

inline CMediaType AudioType(uint32_t rate = 48000, uint16_t channels = 2, std::vector<uint8_t> asc = {0x11, 0x90}) {
    CMediaType mt(&MEDIATYPE_Audio);
    mt.SetSubtype(&MEDIASUBTYPE_AAC);
    mt.SetFormatType(&FORMAT_WaveFormatEx);
    std::vector<BYTE> block(sizeof(WAVEFORMATEX) + asc.size());
    WAVEFORMATEX wfx{};
    wfx.wFormatTag = WAVE_FORMAT_RAW_AAC1;
    wfx.nChannels = channels;
    wfx.nSamplesPerSec = rate;
    wfx.nAvgBytesPerSec = 16000;
    wfx.nBlockAlign = 1;
    wfx.wBitsPerSample = 16;
    wfx.cbSize = static_cast<WORD>(asc.size());
    std::memcpy(block.data(), &wfx, sizeof(wfx));
    if (!asc.empty()) std::memcpy(block.data() + sizeof(wfx), asc.data(), asc.size());
    mt.SetFormat(block.data(), static_cast<ULONG>(block.size()));
    return mt;
}

// A graph: one push source with a video and an audio pin, connected to the chosen pins of a filter.
class SourceGraph {
public:
    SourceGraph() {
        graph = CFilterGraph::Create();
        source = CPushSource::Create(L"Source", {{L"V", {VideoType()}, 1 << 16, 4}, {L"A", {AudioType()}, 1 << 16, 4}});
    }
    ~SourceGraph() {
        if (graph) {
            graph->Stop();
            graph->RemoveFilter(source);
            if (filter) graph->RemoveFilter(filter);
            graph->Release();
        }
        if (source) source->Release();
    }
    SourceGraph(const SourceGraph&) = delete;
    SourceGraph& operator=(const SourceGraph&) = delete;

    // Adds the filter and connects source pin i to the filter's pin i for each i in `pins`.
    ::testing::AssertionResult Build(IBaseFilter* f, std::vector<int> pins) {
        filter = f;
        if (FAILED(graph->AddFilter(source, L"Source"))) return ::testing::AssertionFailure() << "add source";
        if (FAILED(graph->AddFilter(filter, L"Renderer"))) return ::testing::AssertionFailure() << "add renderer";
        for (int i : pins) {
            IPin* in = nullptr;
            const wchar_t* name = i == 0 ? L"Video" : L"Audio";
            if (FAILED(filter->FindPin(name, &in)) || !in) return ::testing::AssertionFailure() << "no pin " << i;
            HRESULT hr = graph->ConnectDirect(source->SourcePin(i), in, nullptr);
            in->Release();
            if (FAILED(hr)) return ::testing::AssertionFailure() << "connect pin " << i << " hr " << std::hex << hr;
        }
        return ::testing::AssertionSuccess();
    }
    CSourceOutputPin* Out(int i) { return source->SourcePin(i); }
    void Push(int pin, std::vector<uint8_t> bytes, REFERENCE_TIME start, bool sync = false) {
        Out(pin)->PushSample(bytes, &start, nullptr, sync);
    }
    // The next event with the given code, waiting up to timeoutMs; false when none came.
    bool WaitEvent(LONG code, LONG_PTR* p1, LONG timeoutMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            LONG c = 0;
            LONG_PTR a = 0, b = 0;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (graph->GetEvent(&c, &a, &b, static_cast<LONG>(std::max<int64_t>(left.count(), 1))) != S_OK) continue;
            if (c == code) {
                if (p1) *p1 = a;
                return true;
            }
        }
        return false;
    }

    CFilterGraph* graph = nullptr;
    CPushSource* source = nullptr;
    IBaseFilter* filter = nullptr;
};

}  // namespace filtertest
