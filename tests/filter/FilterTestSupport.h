#pragma once
// A sink that records what the renderer hands it and can hold a sender back, a renderer over it
// (pin 0 video, pin 1 audio), encoder media types, and a graph with a push source in front.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
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
    int32_t size, frameType;
    bool preroll;
    std::vector<uint8_t> bytes;
};

class FakeSink : public BS::CPureSink {
public:
    using G = std::lock_guard<std::mutex>;
    bool IsInited() override { return inited.load(); }
    bool Lock() override { return true; }
    bool Unlock() override { return true; }
    bool AddTrack(const BS::format_t&, int32_t, int32_t) override { return true; }
    int32_t Init(const ConnectionSettings&, int32_t*) override { return inited = true, 0; }
    bool Close() override {
        G g(m);
        return closes++, inited = false, cv.notify_all(), true;
    }
    bool Flush(bool send, bool discard) override {
        G g(m);
        flushes.emplace_back(send, discard);
        if (discard) blocked.assign(4, false);  // an emptied queue releases a waiting sender
        return cv.notify_all(), true;
    }
    uint32_t GetQueueSize(uint32_t track) override {
        G g(m);
        return queue[track];
    }
    bool PutData(BS::data_t* d, int32_t track, bool owned) override {
        G g(m);
        puts.push_back({track, d->dts, d->pts, d->size_actual, d->frame_type, d->preroll,
                        std::vector<uint8_t>(d->data, d->data + d->size_actual)});
        if (owned) BS::data_t::Release(d);
        return cv.notify_all(), true;
    }
    bool SetEndOfStream(int32_t track) override {
        G g(m);
        return eos.push_back(track), cv.notify_all(), true;
    }
    // Holds the sender while its track is blocked, until the stop event or a discard (20 s at most).
    bool WaitForTrack(uint32_t track, platform::CEvent* stop) override {
        std::unique_lock<std::mutex> g(m);
        waiting++;
        cv.notify_all();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (blocked[track] && std::chrono::steady_clock::now() < deadline) {
            g.unlock();
            const bool stopped = stop && stop->Wait(2);
            g.lock();
            if (stopped) break;
        }
        waiting--;
        return cv.notify_all(), true;
    }
    int32_t GetSinkStatus() override { return status.load(); }
    bool GetStatistics(RTMPStatistics*) override { return false; }
    bool SetTrackActive(uint32_t track, bool active) override {
        G g(m);
        return activity.emplace_back(track, active), cv.notify_all(), true;
    }

    template <class Pred>
    bool WaitFor(Pred pred) {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, std::chrono::seconds(10), pred);
    }
    void SetBlocked(uint32_t track, bool on) {
        G g(m);
        blocked[track] = on;
        cv.notify_all();
    }
    std::vector<Put> Puts() {
        G g(m);
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
    int waiting = 0, closes = 0;
};

inline constexpr CLSID CLSID_TestRenderer = {0x1d0c2b34, 0x7e55, 0x4a51, {0x9d, 0x1e, 0x33, 0x10, 0x42, 0x6b, 0x7a, 0x01}};

class TestRenderer : public BS::CBaseRenderer {
public:
    TestRenderer(const BS::PinOptions& options) : BS::CBaseRenderer(L"TestRenderer", nullptr, CLSID_TestRenderer) {
        auto sink = std::make_unique<FakeSink>();
        fake = sink.get();
        SetSink(std::move(sink));
        HRESULT hr = S_OK;
        AddPin(std::make_unique<BS::CInputPin>(this, FilterLock(), ReceiveLock(), &hr, L"Video", 0, options));
        AddPin(std::make_unique<BS::CInputPin>(this, FilterLock(), ReceiveLock(), &hr, L"Audio", 1, options));
        NonDelegatingAddRef();
    }
    HRESULT CheckMediaType(const CMediaType* mt, int pin) override {
        return mt->majortype == (pin == 0 ? MEDIATYPE_Video : MEDIATYPE_Audio) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT GetMediaType(int, CMediaType*, int) override { return VFW_S_NO_MORE_ITEMS; }
    HRESULT PrepareRendering() override {
        prepares++;
        if (failPrepare) return E_FAIL;
        return fake->inited = true, S_OK;
    }
    HRESULT StartRendering() override { return starts++, StartRenderingBase(), S_OK; }
    void Capture(bool on) { SetCapture(on); }
    void AudioOffset(double ms) { SetAudioOffset(ms); }

    FakeSink* fake = nullptr;
    std::atomic<int> prepares{0}, starts{0};
    bool failPrepare = false;
};

inline CMediaType VideoType(int64_t avgTimePerFrame = 400000, int width = 320, int height = 240) {
    CMediaType mt(&MEDIATYPE_Video);
    mt.SetSubtype(&MEDIASUBTYPE_H264);
    mt.SetFormatType(&FORMAT_VideoInfo);
    VIDEOINFOHEADER vih{};
    vih.AvgTimePerFrame = avgTimePerFrame;
    vih.dwBitRate = 500000;
    auto& b = vih.bmiHeader;
    b.biSize = sizeof(BITMAPINFOHEADER), b.biWidth = width, b.biHeight = height, b.biPlanes = 1, b.biBitCount = 24;
    b.biCompression = MakeFourCC('H', '2', '6', '4');
    mt.SetFormat(reinterpret_cast<const BYTE*>(&vih), sizeof(vih));
    return mt;
}

inline CMediaType AudioType(uint32_t rate = 48000, uint16_t channels = 2, std::vector<uint8_t> asc = {0x11, 0x90}) {
    CMediaType mt(&MEDIATYPE_Audio);
    mt.SetSubtype(&MEDIASUBTYPE_AAC);
    mt.SetFormatType(&FORMAT_WaveFormatEx);
    const WAVEFORMATEX wfx{WAVE_FORMAT_RAW_AAC1, channels, rate, 16000, 1, 16, static_cast<WORD>(asc.size())};
    std::vector<BYTE> block(reinterpret_cast<const BYTE*>(&wfx), reinterpret_cast<const BYTE*>(&wfx) + sizeof(wfx));
    block.insert(block.end(), asc.begin(), asc.end());
    mt.SetFormat(block.data(), static_cast<ULONG>(block.size()));
    return mt;
}

// One push source (pin 0 video, pin 1 audio) connected to the chosen pins of a filter.
class SourceGraph {
public:
    SourceGraph()
        : graph(CFilterGraph::Create()),
          source(CPushSource::Create(L"Source", {{L"V", {VideoType()}, 1 << 16, 4}, {L"A", {AudioType()}, 1 << 16, 4}})) {}
    ~SourceGraph() {
        graph->Stop();
        graph->RemoveFilter(source);
        if (filter) graph->RemoveFilter(filter);
        graph->Release();
        source->Release();
    }
    ::testing::AssertionResult Build(IBaseFilter* f, std::vector<int> pins) {
        filter = f;
        if (FAILED(graph->AddFilter(source, L"Source")) || FAILED(graph->AddFilter(filter, L"Renderer")))
            return ::testing::AssertionFailure() << "add filters";
        for (int i : pins)
            if (HRESULT hr = Connect(i); FAILED(hr)) return ::testing::AssertionFailure() << "connect pin " << i << " hr " << hr;
        return ::testing::AssertionSuccess();
    }
    HRESULT Connect(int i) {
        IPin* in = nullptr;
        if (FAILED(filter->FindPin(i == 0 ? L"Video" : L"Audio", &in))) return E_FAIL;
        const HRESULT hr = graph->ConnectDirect(source->SourcePin(i), in, nullptr);
        in->Release();
        return hr;
    }
    CSourceOutputPin* Out(int i) { return source->SourcePin(i); }
    void Push(int pin, std::vector<uint8_t> bytes, REFERENCE_TIME start, bool sync = false) {
        Out(pin)->PushSample(bytes, &start, nullptr, sync);
    }
    // Whether an event with this code comes within timeoutMs; its first parameter goes to *p1.
    bool WaitEvent(LONG code, LONG_PTR* p1, LONG timeoutMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (auto now = std::chrono::steady_clock::now(); now < deadline; now = std::chrono::steady_clock::now()) {
            LONG c = 0;
            LONG_PTR a = 0, b = 0;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
            if (graph->GetEvent(&c, &a, &b, static_cast<LONG>(std::max<int64_t>(left, 1))) == S_OK && c == code)
                return *p1 = a, true;
        }
        return false;
    }

    CFilterGraph* graph;
    CPushSource* source;
    IBaseFilter* filter = nullptr;
};

}  // namespace filtertest
