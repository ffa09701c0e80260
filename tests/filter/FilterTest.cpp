// The writer filter without a server: the renderer over a logging sink fed by a push source, track
// formats, the control surface, a failed connect, the module. Publishing and registering are end to end.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "filter/BaseRenderer.h"
#include "filter/CodecApiKeys.h"
#include "filter/ModuleLoader.h"
#include "filter/Renderer.h"
#include "filter/TrackFormat.h"
#include "foundation/Log.h"
#include "platform/Clock.h"
#include "platform/Settings.h"
#include "platform/com/ComPtr.h"
#include "platform/dshow/FilterGraph.h"
#include "platform/dshow/SourcePin.h"
#include "platform/dshow/Uuids.h"
#include "tests/platform/TempSettings.h"

namespace settings = platform::settings;

namespace {

// Logs each call ("put 0 123/123 00000001 I", "eos 1", "flush send discard", "active 0 0", "close";
// the renderer adds "prepare" and "start"), and holds a sender back while its track is blocked.
class FakeSink : public BS::CPureSink {
public:
    static constexpr const char* kHex = "0123456789abcdef";
    bool IsInited() override { return inited.load(); }
    bool Lock() override { return true; }
    bool Unlock() override { return true; }
    bool AddTrack(const BS::format_t&, int32_t, int32_t) override { return true; }
    int32_t Init(const ConnectionSettings&, int32_t*) override { return inited = true, 0; }
    bool Close() override { return inited = false, Note("close"); }
    bool Flush(bool send, bool discard) override {
        if (discard) blocked = false;  // an emptied queue releases a waiting sender
        return Note(std::string("flush") + (send ? " send" : "") + (discard ? " discard" : ""));
    }
    uint32_t GetQueueSize(uint32_t track) override { return track == 1 ? audioQueued.load() : 0; }
    bool PutData(BS::data_t* d, int32_t track, bool owned) override {
        auto time = [](int64_t t) { return t == NO_TIME ? std::string("none") : std::to_string(t); };
        std::string hex;
        for (int i = 0; i < d->size_actual; ++i) hex += kHex[d->data[i] >> 4], hex += kHex[d->data[i] & 15];
        const char* kind = d->frame_type == FRAME_I ? " I" : d->frame_type == FRAME_UNKNOWN ? "" : " ?";
        Note("put " + std::to_string(track) + " " + time(d->dts) + "/" + time(d->pts) + " " + hex + kind +
             (d->preroll ? " preroll" : ""));
        if (owned) BS::data_t::Release(d);
        return true;
    }
    bool SetEndOfStream(int32_t track) override { return Note("eos " + std::to_string(track)); }
    bool SetTrackActive(uint32_t track, bool on) override {
        return Note("active " + std::to_string(track) + " " + std::to_string(on));
    }
    int32_t GetSinkStatus() override { return status.load(); }
    bool GetStatistics(RTMPStatistics*) override { return false; }
    // Until the stop event or a discard, 20 s at most.
    bool WaitForTrack(uint32_t, platform::CEvent* stop) override {
        if (!blocked) return true;
        Note("held");
        for (int i = 0; i < 10000 && blocked && !(stop && stop->Wait(2)); ++i) {
        }
        return Note("released");
    }

    bool Note(const std::string& line) {
        std::lock_guard<std::mutex> g(m);
        return log.push_back(line), cv.notify_all(), true;
    }
    // Whether `n` lines starting with `prefix` are logged within 10 s.
    bool WaitFor(const std::string& prefix, long n = 1) {
        std::unique_lock<std::mutex> g(m);
        const auto starts = [&](const std::string& l) { return l.rfind(prefix, 0) == 0; };
        return cv.wait_for(g, std::chrono::seconds(10),
                           [&] { return std::count_if(log.begin(), log.end(), starts) >= n; });
    }
    // The lines whose first word is one of `words` (separated by spaces), in order.
    std::vector<std::string> Lines(const std::string& words) {
        std::lock_guard<std::mutex> g(m);
        std::vector<std::string> out;
        for (const auto& l : log)
            if ((" " + words + " ").find(" " + l.substr(0, l.find(' ')) + " ") != std::string::npos) out.push_back(l);
        return out;
    }

    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> log;
    std::atomic<bool> inited{false}, blocked{false};
    std::atomic<int32_t> status{BS::SINK_OK};
    std::atomic<uint32_t> audioQueued{0};
};

class TestRenderer : public BS::CBaseRenderer {
public:
    TestRenderer(const BS::PinOptions& options) : BS::CBaseRenderer(L"TestRenderer", nullptr, CLSID{}) {
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
        return fake->Note("prepare"), failPrepare ? E_FAIL : (fake->inited = true, S_OK);
    }
    HRESULT StartRendering() override { return fake->Note("start"), StartRenderingBase(), S_OK; }
    void Capture(bool on) { SetCapture(on); }
    void AudioOffset(double ms) { SetAudioOffset(ms); }

    FakeSink* fake = nullptr;
    bool failPrepare = false;
};

CMediaType VideoType(int64_t avgTimePerFrame = 400000, int width = 320, int height = 240) {
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

CMediaType AudioType(uint32_t rate = 48000) {
    CMediaType mt(&MEDIATYPE_Audio);
    mt.SetSubtype(&MEDIASUBTYPE_AAC);
    mt.SetFormatType(&FORMAT_WaveFormatEx);
    const WAVEFORMATEX wfx{WAVE_FORMAT_RAW_AAC1, 2, rate, 16000, 1, 16, 2};
    std::vector<BYTE> block(reinterpret_cast<const BYTE*>(&wfx), reinterpret_cast<const BYTE*>(&wfx) + sizeof(wfx));
    block.insert(block.end(), {0x11, 0x90});
    mt.SetFormat(block.data(), static_cast<ULONG>(block.size()));
    return mt;
}

BS::PinOptions Pins(int timeoutMs = 0, int blockMs = 0) {
    BS::PinOptions o;
    o.timeoutEnabled = timeoutMs > 0, o.blockTimeoutEnabled = blockMs > 0, o.watchdogPeriodMs = 50;
    if (timeoutMs) o.timeoutMs = timeoutMs;
    if (blockMs) o.blockTimeoutMs = blockMs;
    return o;
}

// A push source (pin 0 video, pin 1 audio) in a graph, connected to the chosen pins of the renderer.
class RendererCore : public ::testing::Test {
protected:
    void Make(const BS::PinOptions& o = Pins()) {
        renderer = new TestRenderer(o);
        sink = renderer->fake;
    }
    void TearDown() override {
        graph->Stop();
        graph->RemoveFilter(source);
        if (renderer) graph->RemoveFilter(renderer), renderer->Release();
        graph->Release();
        source->Release();
    }
    bool Build(std::vector<int> pins) {
        bool ok = SUCCEEDED(graph->AddFilter(source, L"Source")) && SUCCEEDED(graph->AddFilter(renderer, L"Renderer"));
        for (int i : pins) ok = ok && Connect(i) == S_OK;
        return ok;
    }
    HRESULT Connect(int i) {
        CComPtr<IPin> in;
        if (FAILED(renderer->FindPin(i == 0 ? L"Video" : L"Audio", &in))) return E_FAIL;
        return graph->ConnectDirect(source->SourcePin(i), in.get(), nullptr);
    }
    void Run(std::vector<int> pins) {
        ASSERT_TRUE(Build(pins));
        for (int pin : pins) Out(pin)->SetStopOnRefusal(false);
        ASSERT_EQ(graph->Run(), S_OK);
    }
    CSourceOutputPin* Out(int i) { return source->SourcePin(i); }
    void Push(int pin, std::vector<uint8_t> bytes, REFERENCE_TIME start, bool sync = false) {
        Out(pin)->PushSample(bytes, &start, nullptr, sync);
    }
    void Drain(int pin) { ASSERT_TRUE(Out(pin)->WaitIdle(10000)); }
    // The first parameter of the next event with this code, if one comes within timeoutMs.
    std::optional<HRESULT> WaitEvent(LONG code, LONG timeoutMs) {
        using clock = std::chrono::steady_clock;
        const auto deadline = clock::now() + std::chrono::milliseconds(timeoutMs);
        LONG c = 0;
        LONG_PTR a = 0, b = 0;
        for (auto now = clock::now(); now < deadline; now = clock::now()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
            if (graph->GetEvent(&c, &a, &b, static_cast<LONG>(left)) == S_OK && c == code)
                return static_cast<HRESULT>(a);
        }
        return std::nullopt;
    }

    using Lines = std::vector<std::string>;

    CFilterGraph* graph = CFilterGraph::Create();
    CPushSource* source =
        CPushSource::Create(L"Source", {{L"V", {VideoType()}, 1 << 16, 4}, {L"A", {AudioType()}, 1 << 16, 4}});
    TestRenderer* renderer = nullptr;
    FakeSink* sink = nullptr;
};

TEST_F(RendererCore, SamplesBecomeMillisecondRecordsOnTheirPinsTrackAudioDelayedNoneIfTheSinkIsDown) {
    Make();
    renderer->AudioOffset(200.7);
    ASSERT_TRUE(Build({1}));
    auto tracks = [&] { return std::tuple(renderer->TrackOfPin(0), renderer->TrackOfPin(1), renderer->TrackOfPin(2)); };
    EXPECT_EQ(tracks(), std::tuple(-1, 0, -1)) << "audio alone is track 0";
    ASSERT_EQ(Connect(0), S_OK);
    EXPECT_EQ(tracks(), std::tuple(0, 1, -1));
    Out(0)->SetStopOnRefusal(false);
    ASSERT_EQ(graph->Run(), S_OK);
    Push(0, {0, 0, 0, 1, 0x65, 0xAA}, 1234567, true);
    for (REFERENCE_TIME t : {-5000, 5000, 4999}) Push(0, {9}, t);
    Out(0)->PushSample(std::vector<uint8_t>{6, 6}, nullptr, nullptr, false);
    Out(0)->PushSample(std::vector<uint8_t>{}, nullptr, nullptr, false, true);  // empty preroll
    Drain(0);
    Push(1, {0xFF, 0xF1}, 20000000);
    Out(1)->PushSample(std::vector<uint8_t>{3}, nullptr, nullptr, false);
    Drain(1);
    // Stamps round half away from zero; audio comes 200 ms later, the delay truncated to whole ms.
    EXPECT_EQ(sink->Lines("put"), (Lines{"put 0 123/123 0000000165aa I", "put 0 -1/-1 09", "put 0 1/1 09",
                                         "put 0 0/0 09", "put 0 none/none 0606", "put 0 none/none  preroll",
                                         "put 1 2200/2200 fff1", "put 1 none/none 03"}));
    // A sink that is not up gets nothing and aborts the graph; a lost connection doing so is the
    // publisher's (its exit code for it, end to end).
    sink->inited = false;
    Push(1, {4}, 0);
    Drain(1);
    EXPECT_EQ(sink->Lines("put").size(), 8u);
    EXPECT_EQ(WaitEvent(EC_ERRORABORT, 2000), E_FAIL);
}

TEST_F(RendererCore, FullSinkHoldsSenderUntilRoomStopOrFlush) {
    Make();
    Run({0});
    int holds = 0;
    auto holdNext = [&](REFERENCE_TIME t) {
        sink->blocked = true;
        Push(0, {1}, t);
        ASSERT_TRUE(sink->WaitFor("held", ++holds));
    };
    // Waiting for room in the queue is the nginx run's (wait mode, nothing dropped).
    holdNext(400000);
    EXPECT_TRUE(Out(0)->Results().empty()) << "the sample is not answered while the sink is full";
    ASSERT_EQ(Out(0)->Flush(), S_OK) << "BeginFlush must free the streaming thread";
    EXPECT_EQ(sink->Lines("held released").size(), 2u);
    sink->blocked = false;
    Push(0, {2}, 800000);
    Drain(0);
    EXPECT_EQ(Out(0)->Results().back(), S_OK) << "EndFlush resets the stop event";
    holdNext(1200000);
    ASSERT_EQ(graph->Pause(), S_OK);
    Drain(0);
    EXPECT_EQ(Out(0)->Results().back(), S_FALSE) << "a pause answers the held sender";
    EXPECT_EQ(sink->Lines("put").size(), 3u) << "held samples were delivered before the wait";
}

TEST_F(RendererCore, BlockTimeoutMarksTrackInactiveUntilNextSample) {
    Make(Pins(0, 150));
    Run({0});
    Push(0, {1}, 0);
    ASSERT_TRUE(sink->WaitFor("active 0 0")) << "no inactive mark after the block time-out";
    Push(0, {2}, 400000);
    ASSERT_TRUE(sink->WaitFor("active 0 1", 2)) << "the next sample marks the track active again";
    EXPECT_FALSE(WaitEvent(EC_ERRORABORT, 100)) << "the abort time-out is off";
}

TEST_F(RendererCore, AbortTimeoutRaisesPinCodeButNotWhileQueuedOrAfterEndOfStream) {
    Make(Pins(200, 100));
    sink->audioQueued = 3;  // the audio track still has queued samples: its clock never runs
    Run({0, 1});
    Push(0, {1}, 0);
    Push(1, {1}, 0);
    EXPECT_EQ(WaitEvent(EC_ERRORABORT, 5000), BS::E_VIDEO_INPUT_TIMEOUT);
    Out(0)->PushEndOfStream();
    Drain(0);
    while (WaitEvent(EC_ERRORABORT, 50)) {
    }
    EXPECT_FALSE(WaitEvent(EC_ERRORABORT, 600));
}

TEST_F(RendererCore, AbortTimeoutInsideReceiveDiscardsTheSinkQueue) {
    Make(Pins(200));
    Run({0});
    sink->blocked = true;
    Push(0, {1}, 0);
    Drain(0);  // only the watchdog's discard can free the sender
    EXPECT_EQ(sink->Lines("flush held released"), (Lines{"held", "flush discard", "released"}));
}

TEST_F(RendererCore, StateChangesCallHooksAndStopDiscardsTheQueueAndClosesTheSink) {
    Make();
    renderer->failPrepare = true;
    EXPECT_EQ(renderer->Pause(), VFW_E_INVALID_FILE_FORMAT);
    EXPECT_EQ(renderer->Stop(), S_OK);
    renderer->failPrepare = false;
    ASSERT_TRUE(Build({0, 1}));
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(graph->Pause() == S_OK && graph->Run() == S_OK);
    ASSERT_EQ(graph->Stop(), S_OK);
    // Only a pause from stopped prepares, only the first run starts.
    const Lines want{"prepare", "prepare", "start", "flush discard", "close"};
    EXPECT_EQ(sink->Lines("prepare start flush close eos"), want);
}

TEST_F(RendererCore, EndOfStreamOnEveryPinSendsTheQueueClosesAndCompletes) {
    Make();
    Run({0, 1});
    // One that comes during a flush is refused and leaves the next one its effect.
    BS::CInputPin* video = renderer->InputPin(0);
    ASSERT_EQ(video->BeginFlush(), S_OK);
    EXPECT_EQ(video->EndOfStream(), S_FALSE);
    ASSERT_EQ(video->EndFlush(), S_OK);
    Out(0)->PushEndOfStream();
    Drain(0);
    EXPECT_FALSE(WaitEvent(EC_COMPLETE, 100)) << "the audio pin is still open";
    EXPECT_EQ(sink->Lines("eos flush close"), Lines{"eos 0"});
    Out(1)->PushEndOfStream();
    Drain(1);
    EXPECT_TRUE(WaitEvent(EC_COMPLETE, 5000));
    EXPECT_EQ(sink->Lines("eos flush close"), (Lines{"eos 0", "eos 1", "flush send discard", "close"}));
}

class ManualClock : public platform::IClock {
public:
    uint32_t Now() override { return now.load(); }
    void Sleep(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
    std::atomic<uint32_t> now{100000};
};

TEST_F(RendererCore, CaptureModeRestampsVideoFromTheWallClock) {
    Make();
    ManualClock clock;
    platform::SetClock(&clock);
    renderer->Capture(true);
    Run({0, 1});
    Push(0, {1}, 0);
    Drain(0);
    clock.now += 2000;
    Push(0, {2}, 123456789);
    Drain(0);
    Push(1, {3}, 7770000);
    Drain(1);
    platform::SetClock(nullptr);
    // Video two wall-clock seconds on, whatever the sample's stamp; audio keeps its stamps.
    EXPECT_EQ(sink->Lines("put"), (Lines{"put 0 0/0 01", "put 0 2000/2000 02", "put 1 777/777 03"}));
}

TEST(TrackFormat, FrameRatesFromFrameDurations) {
    const std::tuple<int64_t, double, int32_t, int32_t> cases[] = {
        {166666, 60, 60, 1},          {166834, 59.94, 60000, 1001}, {333333, 30, 30, 1},  {333666, 29.97, 30000, 1001},
        {333667, 29.97, 30000, 1001}, {400000, 25, 25, 1},          {416667, 24, 24, 1},  {417014, 23.976, 24000, 1001},
        {417083, 23.976, 24000, 1001}, {1000000, 10, 10, 1},        {1000001, 10, 10, 1}, {800000, 12.5, 12500, 1000},
        {0, -1, 0, 1},                {-400000, -1, 0, 1},
    };
    for (const auto& [avg, rate, num, den] : cases) {
        const BS::FrameRate r = BS::FrameRateFromAvgTime(avg);
        EXPECT_DOUBLE_EQ(r.rate, rate) << avg;
        EXPECT_EQ(std::tuple(r.num, r.den), std::tuple(num, den)) << avg;
    }
}

// The common blocks (AAC with its config, a 320x240 picture) publish end to end; a top-down one here.
TEST(TrackFormat, VideoBlockOfATopDownPicture) {
    const BS::format_t f = BS::BuildTrackFormat(VideoType(333667, 640, -360));
    EXPECT_EQ(std::tuple(f.kind, f.codec, f.video.fps_num, f.video.fps_den, f.video.width, f.video.height,
                         f.video.top_down, f.bitrate),
              std::tuple(BS::FORMAT_KIND_VIDEO, 11, 30000, 1001, 640, 360, true, 500000));
}

TEST(TrackFormat, PinsAcceptVideoWithAVideoBlockAndAacInTheRateRange) {
    EXPECT_TRUE(BS::IsAcceptedVideoType(VideoType(417083), nullptr));
    CMediaType noBlock(&MEDIATYPE_Video), wrongFormat = VideoType(), pcm = AudioType(), noAudioBlock(&MEDIATYPE_Audio);
    noBlock.SetFormatType(&FORMAT_VideoInfo);
    wrongFormat.SetFormatType(&FORMAT_WaveFormatEx);
    pcm.SetSubtype(&MEDIASUBTYPE_PCM);  // another codec with a wave format
    noAudioBlock.SetSubtype(&MEDIASUBTYPE_AAC);
    for (const CMediaType* mt : {&noBlock, &wrongFormat}) EXPECT_FALSE(BS::IsAcceptedVideoType(*mt, nullptr));
    EXPECT_FALSE(BS::IsAcceptedVideoType(AudioType(), nullptr));
    for (uint32_t rate : {4000u, 96000u}) EXPECT_TRUE(BS::IsAcceptedAudioType(AudioType(rate))) << rate;
    for (uint32_t rate : {3999u, 96001u}) EXPECT_FALSE(BS::IsAcceptedAudioType(AudioType(rate))) << rate;
    for (const CMediaType& mt : {pcm, noAudioBlock, VideoType()}) EXPECT_FALSE(BS::IsAcceptedAudioType(mt));
}

VARIANT I4(int32_t x) { VARIANT v{}; return v.vt = VT_I4, v.lVal = x, v; }
VARIANT Bool(bool b) { VARIANT v{}; return v.vt = VT_BOOL, v.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE, v; }
VARIANT Str(const std::wstring& s) {
    VARIANT v{};
    return v.vt = VT_BSTR, v.bstrVal = SysAllocStringLen(s.data(), static_cast<uint32_t>(s.size())), v;
}

class WriterFilter : public ::testing::Test {
protected:
    void TearDown() override { Destroy(); }
    void Create() {
        HRESULT hr = S_OK;
        CUnknown* u = CRenderer::CreateInstance(nullptr, &hr);
        ASSERT_TRUE(u && hr == S_OK);
        u->NonDelegatingAddRef();
        m_filter = static_cast<CRenderer*>(u);
        ASSERT_EQ(m_filter->QueryInterface(IID_ICodecAPI, reinterpret_cast<void**>(&m_codec)), S_OK);
        ASSERT_EQ(m_filter->QueryInterface(IID_IRTMPOptions, reinterpret_cast<void**>(&m_options)), S_OK);
    }
    void Destroy() {
        m_codec.Release();
        m_options.Release();
        if (m_filter) m_filter->Release();
        m_filter = nullptr;
    }
    HRESULT Set(const GUID& key, VARIANT v) {
        const HRESULT hr = m_codec->SetValue(&key, &v);
        VariantClear(&v);
        return hr;
    }
    // The key's value as "type:value", or "hr:<code>" when it cannot be read.
    std::wstring Val(const GUID& key) {
        VARIANT v;
        const HRESULT hr = m_codec->GetValue(&key, &v);
        if (hr != S_OK) return L"hr:" + std::to_wstring(hr);
        std::wstring s = v.vt == VT_I4     ? L"i4:" + std::to_wstring(v.lVal)
                         : v.vt == VT_UI4  ? L"ui4:" + std::to_wstring(v.ulVal)
                         : v.vt == VT_BOOL ? L"bool:" + std::to_wstring(v.boolVal)
                         : v.vt == VT_BSTR ? L"str:" + std::wstring(v.bstrVal, SysStringLen(v.bstrVal))
                                           : L"vt:" + std::to_wstring(v.vt);
        VariantClear(&v);
        return s;
    }

    qvtest::TempSettings m_settings;
    CRenderer* m_filter = nullptr;
    CComPtr<ICodecAPI> m_codec;
    CComPtr<IRTMPOptions> m_options;
};

const GUID kUnknownKey = {0x12345678, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8}};
const std::wstring kAgent = L"str:FMLE/3.0 (compatible; FMSc/1.0)";

TEST_F(WriterFilter, DefaultsAndTheirOverridesFromTheSettingsStore) {
    ASSERT_TRUE(settings::WriteString(settings::Scope::User, KEY_RTMPSINK, "UserAgentString", ""));
    Create();
    EXPECT_EQ(Val(CODECAPI_QV_BufferMode), L"ui4:1") << "drop, not block, when the network is slow";
    EXPECT_EQ(Val(CODECAPI_QV_UserAgent), kAgent) << "an empty setting is no setting";
    Destroy();

    ASSERT_TRUE(settings::WriteDword(settings::Scope::User, KEY_RTMPSINK, "SendBufferSize", 1000));
    ASSERT_TRUE(settings::WriteString(settings::Scope::Machine, KEY_RTMPSINK, "SendPacketSize", "512"));
    ASSERT_TRUE(settings::WriteString(settings::Scope::User, KEY_RTMPSINK, "UserAgentString", "Agent/2.0"));
    ASSERT_TRUE(settings::WriteDword(settings::Scope::User, KEY_RTMPSINK, "StopIfTimeout", 0));
    Create();
    EXPECT_EQ(Val(CODECAPI_QV_OutputBufferSize), L"i4:1000");
    EXPECT_EQ(Val(CODECAPI_QV_OutputPacketSize), L"i4:512") << "a string value is read as decimal text";
    EXPECT_EQ(Val(CODECAPI_QV_UserAgent), L"str:Agent/2.0");
    EXPECT_FALSE(m_filter->InputPin(0)->Options().timeoutEnabled);
}

// Applied in order to one filter: each row sets a key and reads back `read` (or the same key).
TEST_F(WriterFilter, ValuesAreRefusedClampedOrConvertedByKey) {
    Create();
    const size_t max = RendererOptions::kMaxConnectArgsChars;
    const std::wstring args = L"{\"a\":1,\"b\":\"x\u00e9\u4e2d\"}";
    const std::wstring longest = L"{\"k\":\"" + std::wstring(max - 8, L'v') + L"\"}";
    struct Row {
        const GUID* key;
        VARIANT in;
        HRESULT hr;
        std::wstring want;
        const GUID* read = nullptr;
    } rows[] = {
        {&kUnknownKey, I4(1), E_INVALIDARG, L"hr:" + std::to_wstring(E_INVALIDARG)},
        {&CODECAPI_QV_OutputBitrate, I4(1), E_NOTIMPL, L"i4:0"} /* a figure, read-only */,
        {&CODECAPI_QV_Disconnect, I4(0), S_OK, L"hr:" + std::to_wstring(E_NOTIMPL)} /* an action, not a value */,
        {&CODECAPI_QV_OutputBufferSize, I4(104857600), S_OK, L"i4:104857600"},
        {&CODECAPI_QV_OutputBufferSize, I4(104857601), E_UNEXPECTED, L"i4:104857600"},
        {&CODECAPI_QV_OutputPacketSize, I4(104857601), E_UNEXPECTED, L"i4:1450"},
        {&CODECAPI_QV_SocketBufferSize, I4(10485759), S_OK, L"i4:10485759"},
        {&CODECAPI_QV_SocketBufferSize, I4(10485760), E_INVALIDARG, L"i4:10485759"},
        {&CODECAPI_QV_ReconnectInterval, I4(99), S_FALSE, L"i4:5000"},
        {&CODECAPI_QV_ReconnectInterval, I4(100), S_OK, L"i4:100"},
        {&CODECAPI_QV_SendTimeout, I4(-5), S_OK, L"i4:0"},
        {&CODECAPI_QV_ReceiveTimeout, I4(-5), S_OK, L"i4:0"},
        {&CODECAPI_QV_ConnectTimeout, I4(-5), S_OK, L"i4:0"},
        {&CODECAPI_QV_WriteTimecode, I4(1), S_OK, L"bool:-1"},
        {&CODECAPI_QV_UserName, Str(std::wstring(300, L'u')), S_OK, L"str:" + std::wstring(256, L'u')},
        {&CODECAPI_QV_UserName, I4(5), E_INVALIDARG, L"str:" + std::wstring(256, L'u')},
        {&CODECAPI_QV_FallbackPortsDefault, I4(1), E_FAIL, L"bool:0"},
        {&CODECAPI_QV_UserAgent, I4(1), E_FAIL, kAgent},
        {&CODECAPI_QV_ConnectArguments, Str(args), S_OK, L"str:" + args},
        {&CODECAPI_QV_ConnectArguments, I4(7), E_INVALIDARG, L"str:" + args},
        {&CODECAPI_QV_ConnectArguments, Str(std::wstring(max + 1, L' ')), E_INVALIDARG, L"str:" + args},
        {&CODECAPI_QV_ConnectArguments, Str(longest), S_OK, L"str:" + longest},
        {&CODECAPI_QV_ConnectArguments, [] { VARIANT v{}; return v.vt = VT_BSTR, v.bstrVal = nullptr, v; }(), S_OK,
         L"str:"},
        // Unlimited reconnection keeps the attempts aside and gives them back.
        {&CODECAPI_QV_ReconnectAttempts, I4(7), S_OK, L"i4:7"},
        {&CODECAPI_QV_UnlimitedReconnect, Bool(false), S_OK, L"i4:7", &CODECAPI_QV_ReconnectAttempts},
        {&CODECAPI_QV_UnlimitedReconnect, Bool(true), S_OK, L"i4:-1", &CODECAPI_QV_ReconnectAttempts},
        {&CODECAPI_QV_UnlimitedReconnect, I4(0), S_OK, L"bool:-1"},
        {&CODECAPI_QV_UnlimitedReconnect, Bool(false), S_OK, L"i4:7", &CODECAPI_QV_ReconnectAttempts},
    };
    for (Row& r : rows) {
        SCOPED_TRACE(GuidToString(*r.key) + " row " + std::to_string(&r - rows));
        EXPECT_EQ(Set(*r.key, r.in), r.hr);
        EXPECT_EQ(Val(r.read ? *r.read : *r.key), r.want);
    }
    EXPECT_EQ(m_options->SetOutputBufferSize(104857601), E_UNEXPECTED) << "the options interface has the same bounds";
    EXPECT_EQ(m_options->SetReconnectInterval(99), S_FALSE);
}

// A connect to a bound socket that does not listen, so it is refused.
TEST_F(WriterFilter, BadUrlsAndAFailedConnectThatClosesTheSinkUntilAStop) {
    Create();
    CComPtr<IFileSinkFilter> file;
    ASSERT_EQ(m_filter->QueryInterface(IID_IFileSinkFilter, reinterpret_cast<void**>(&file)), S_OK);
    EXPECT_EQ(file->SetFileName(nullptr, nullptr), E_FAIL);
    EXPECT_EQ(file->SetFileName(L"nothing", nullptr), HRESULT_FILE_NOT_FOUND);
    const int sock = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET, a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    auto* addr = reinterpret_cast<sockaddr*>(&a);
    ASSERT_TRUE(bind(sock, addr, len) == 0 && getsockname(sock, addr, &len) == 0);
    const std::wstring url = L"rtmp://127.0.0.1:" + std::to_wstring(ntohs(a.sin_port)) + L"/live/s";
    ASSERT_EQ(file->SetFileName(url.c_str(), nullptr), S_OK);
    ASSERT_EQ(m_options->SetReconnectAttempts(0), S_OK);
    EXPECT_EQ(m_options->ConnectServer(), E_FAIL);
    EXPECT_TRUE(m_filter->ConnectFailed()) << "the pins answer S_FALSE until the graph stops";
    EXPECT_FALSE(m_filter->SinkInited());
    EXPECT_EQ(m_filter->Stop(), S_OK);
    EXPECT_FALSE(m_filter->ConnectFailed()) << "a stop clears the failure";
    close(sock);
}

const std::string kModule = QV_WRITER_MODULE;

// Registration and loading from the path are the publisher's (end to end).
TEST_F(WriterFilter, ModuleRefusesUnknownsUnloadsWhenUnusedAndKeepsItsLibrariesPrivate) {
    IUnknown* unk = nullptr;
    auto fromModule = [&](const std::string& path, const GUID& clsid) {
        return modules::CreateInstanceFromModule(path, clsid, nullptr, IID_IUnknown, reinterpret_cast<void**>(&unk));
    };
    EXPECT_EQ(fromModule(kModule, {0xdeadbeef, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}}), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(fromModule(m_settings.Dir() + "/missing.so", CLSID_QuorvelRTMPWriter), modules::CO_E_DLLNOTFOUND);
    EXPECT_EQ(modules::CallModuleFunction(kModule, "NoSuchExport"), E_NOINTERFACE);
    ASSERT_EQ(fromModule(kModule, CLSID_QuorvelRTMPWriter), S_OK);
    EXPECT_EQ(modules::CallModuleFunction(kModule, "DllCanUnloadNow"), S_FALSE) << "an object is alive";
    unk->Release();
    EXPECT_EQ(modules::CallModuleFunction(kModule, "DllCanUnloadNow"), S_OK);
    EXPECT_GE(modules::FreeUnusedModules(), 1);
    void* h = dlopen(kModule.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(h, nullptr) << dlerror();
    EXPECT_EQ(dlsym(h, "_Z7LogInitPKv"), nullptr) << "the module's copies of the shared libraries stay private";
    dlclose(h);
}

}  // namespace
