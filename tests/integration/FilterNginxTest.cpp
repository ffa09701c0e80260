// The writer filter in a graph against a private nginx: a push source feeds the fixtures as timed
// samples, nginx records, ffprobe and a full decode judge the recording. Also a connect while
// the graph is stopped, reported through the status handler.
#include <gtest/gtest.h>

#include <set>

#include "../sink/TestDriver.h"
#include "SinkIntegrationSupport.h"
#include "filter/CodecApiKeys.h"
#include "filter/Renderer.h"
#include "platform/Event.h"
#include "platform/dshow/FilterGraph.h"
#include "platform/dshow/FormatBlocks.h"
#include "platform/dshow/SourcePin.h"
#include "platform/dshow/Uuids.h"

using namespace std::chrono_literals;
using sinkit::Fixture;

namespace {

// What the encoder's pins offer: H.264 320x240 at 25 fps, or AAC LC 48 kHz stereo (the aac48s
// fixture) with its AudioSpecificConfig (object type 2, frequency index 3, 2 channels) after it.
CMediaType EncoderType(bool video) {
    CMediaType mt(video ? &MEDIATYPE_Video : &MEDIATYPE_Audio);
    mt.SetSubtype(video ? &MEDIASUBTYPE_H264 : &MEDIASUBTYPE_AAC);
    mt.SetFormatType(video ? &FORMAT_VideoInfo : &FORMAT_WaveFormatEx);
    VIDEOINFOHEADER vih{};
    vih.AvgTimePerFrame = 400000;
    vih.bmiHeader = {sizeof(BITMAPINFOHEADER), 320, 240, 0, 0, MakeFourCC('H', '2', '6', '4'), 0, 0, 0, 0, 0};
    const WAVEFORMATEX wfx{WAVE_FORMAT_RAW_AAC1, 2, 48000, 16000, 1, 0, 2};
    std::vector<BYTE> block(reinterpret_cast<const BYTE*>(&wfx), reinterpret_cast<const BYTE*>(&wfx + 1));
    block.insert(block.end(), {0x11, 0x90});
    if (video) block.assign(reinterpret_cast<const BYTE*>(&vih), reinterpret_cast<const BYTE*>(&vih + 1));
    mt.SetFormat(block.data(), static_cast<ULONG>(block.size()));
    return mt;
}

class FilterNginx : public sinkit::SinkFixture {
protected:
    static void SetUpTestSuite() {
        std::string error;
        ASSERT_TRUE((nginx = std::make_unique<qvtest::NginxServer>())->start(&error)) << error;
    }
    static void TearDownTestSuite() { nginx.reset(); }
    void SetUp() override {
        SinkFixture::SetUp();
        HRESULT hr = S_OK;
        ASSERT_NE(m_filter = static_cast<CRenderer*>(CRenderer::CreateInstance(nullptr, &hr)), nullptr);
        m_filter->NonDelegatingAddRef();
    }
    void TearDown() override {
        if (m_filter) m_filter->Release();
    }
    bool SetUrl(const std::string& stream) {
        const std::string url = nginx->url(stream);
        return m_filter->SetFileName(std::wstring(url.begin(), url.end()).c_str(), nullptr) == S_OK;
    }
    // A push source (video on pin 0, audio on pin 1 when there is any) into the filter in wait mode
    // (it holds the source back instead of dropping), fed as an encoder would: interleaved by time,
    // live at 25 pictures a second and the audio times, else as fast as the pins take it. Then the
    // ends of stream, EC_COMPLETE (no EC_ERRORABORT) and the graph dismantled.
    void Publish(const std::string& stream, const std::vector<sinktest::MediaUnit>& video,
                 const std::vector<sinktest::MediaUnit>& audio, bool live) {
        ASSERT_TRUE(SetUrl(stream));
        VARIANT wait{};
        wait.vt = VT_UI4;  // 0: wait
        ASSERT_EQ(m_filter->SetValue(&CODECAPI_QV_BufferMode, &wait), S_OK);
        CFilterGraph* graph = CFilterGraph::Create();
        std::vector<CPushSource::PinDesc> pins{{L"V", {EncoderType(true)}, 1 << 20, 4}, {L"A", {EncoderType(false)}, 1 << 16, 4}};
        if (audio.empty()) pins.pop_back();
        CPushSource* source = CPushSource::Create(L"Encoder", pins);
        EXPECT_TRUE(graph->AddFilter(source, L"Encoder") == S_OK && graph->AddFilter(m_filter, L"Writer") == S_OK);
        for (int i = 0; i < static_cast<int>(pins.size()); ++i) {
            IPin* in = nullptr;
            EXPECT_TRUE(m_filter->FindPin(i ? L"Audio" : L"Video", &in) == S_OK &&
                        graph->ConnectDirect(source->SourcePin(i), in, nullptr) == S_OK) << i;
            if (in) in->Release();
        }
        EXPECT_EQ(graph->Run(), S_OK);
        EXPECT_TRUE(nginx->waitPublishing("live", stream, true, 5000ms));
        const auto started = std::chrono::steady_clock::now();
        for (size_t v = 0, a = 0; v < video.size() || a < audio.size();) {
            const bool takeVideo = v < video.size() && (a >= audio.size() || video[v].time <= audio[a].time);
            if (live) std::this_thread::sleep_until(started + std::chrono::milliseconds(takeVideo ? 40 * static_cast<int64_t>(v) : audio[a].time));
            const sinktest::MediaUnit& u = takeVideo ? video[v++] : audio[a++];
            REFERENCE_TIME t = u.time * 10000;
            source->SourcePin(takeVideo ? 0 : 1)->PushSample(u.bytes, &t, nullptr, takeVideo ? u.key : true);
        }
        source->SourcePin(0)->PushEndOfStream();
        // With video ended the interleaver sends the audio it holds. Burst: the closing flush meets
        // the multiplex thread still sending.
        if (live && !audio.empty()) {
            ASSERT_TRUE(source->SourcePin(0)->WaitIdle(10000) && sinkit::WaitEmpty(*m_filter->RTMPSink(), 10s));
        }
        if (!audio.empty()) source->SourcePin(1)->PushEndOfStream();
        for (int pin = 0; pin < static_cast<int>(pins.size()); ++pin) {
            // EC_COMPLETE is raised inside the last end of stream, before its result is recorded.
            ASSERT_TRUE(source->SourcePin(pin)->WaitIdle(10000));
            EXPECT_EQ(source->SourcePin(pin)->Results(), std::vector<HRESULT>((pin ? audio : video).size() + 1, S_OK))
                << "samples and end of stream, pin " << pin;
            EXPECT_EQ(source->SourcePin(pin)->Dropped(), 0u);
        }
        LONG code = 0;
        LONG_PTR p1, p2;
        for (int i = 0; i < 300 && code != EC_COMPLETE; ++i)
            if (graph->GetEvent(&code, &p1, &p2, 100) == S_OK) {
                EXPECT_NE(code, EC_ERRORABORT) << std::hex << p1;
            }
        EXPECT_EQ(code, EC_COMPLETE) << "after the ends of stream";
        EXPECT_TRUE(graph->Stop() == S_OK && graph->RemoveFilter(source) == S_OK && graph->RemoveFilter(m_filter) == S_OK);
        graph->Release();
        source->Release();
        EXPECT_TRUE(nginx->waitPublishing("live", stream, false, 10000ms));
    }

    static inline std::unique_ptr<qvtest::NginxServer> nginx;
    CRenderer* m_filter = nullptr;
};

class FilterNginxPublish : public FilterNginx, public ::testing::WithParamInterface<bool> {};

// Nothing may be lost, moved or reordered, live or in a burst; also the last units, which the
// H.264 parser holds until its input ends. FLV keeps ms.
TEST_P(FilterNginxPublish, EveryUnitIsRecordedAtItsTime) {
    const std::string stream = GetParam() ? "live" : "burst", rec = nginx->recordFile(stream);
    const auto video = sinktest::ReadH264(Fixture("baseline.h264"), 25), audio = sinktest::ReadAdts(Fixture("aac48s.aac"));
    ASSERT_TRUE(video.size() == 75u && audio.size() > 100u);
    Publish(stream, video, audio, GetParam());
    auto probe = qvtest::ffprobeJson(rec);
    ASSERT_TRUE(probe.has_value()) << rec;
    std::multiset<std::string> streams;
    for (const Json::Value& s : (*probe)["streams"])
        streams.insert(s["codec_name"].asString() + " " +
                       (s["codec_type"] == "video" ? s["width"].asString() + "x" + s["height"].asString()
                                                   : s["sample_rate"].asString() + " Hz " + s["channels"].asString()));
    EXPECT_EQ(streams, (std::multiset<std::string>{"h264 320x240", "aac 48000 Hz 2"}));
    EXPECT_NEAR(std::stod((*probe)["format"]["duration"].asString()), 3.0, 0.3);
    const auto vp = sinkit::Packets(rec, "v:0"), ap = sinkit::Packets(rec, "a:0");
    ASSERT_TRUE(vp.size() == video.size() && ap.size() == audio.size()) << vp.size() << " pictures, " << ap.size() << " frames";
    for (size_t i = 0; i < vp.size(); ++i)
        EXPECT_TRUE(vp[i].pts == video[i].time && vp[i].key == video[i].key) << "video unit " << i << " at " << vp[i].pts;
    for (size_t i = 0; i < ap.size(); ++i)
        EXPECT_NEAR(static_cast<double>(ap[i].pts), static_cast<double>(audio[i].time), 1.0) << "audio frame " << i;
    EXPECT_EQ(sinkit::DecodeErrors(rec), "");
}
INSTANTIATE_TEST_SUITE_P(Pacing, FilterNginxPublish, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Live" : "Burst"; });

TEST_F(FilterNginx, ConnectWhileStoppedPublishesAtOnceAndReportsStatus) {
    ASSERT_TRUE(SetUrl("early"));
    // In the host's graph, status changes reach the handler after the graph's event sink.
    CFilterGraph* graph = CFilterGraph::Create();
    ASSERT_EQ(graph->AddFilter(m_filter, L"Writer"), S_OK);
    platform::CEvent connected(true);
    auto handler = [](void* ctx, void* ctx2, int32_t status) {
        EXPECT_EQ(ctx2, reinterpret_cast<void*>(0x42));
        if (status == RTMP_STATUS_CONNECTED) static_cast<platform::CEvent*>(ctx)->Set();
    };
    ASSERT_EQ(m_filter->SetStatusNotifyHandler(&connected, reinterpret_cast<void*>(0x42), handler), S_OK);
    ASSERT_EQ(m_filter->ConnectServer(), S_OK);
    ASSERT_TRUE(connected.Wait(5000));
    EXPECT_TRUE(nginx->waitPublishing("live", "early", true, 5000ms));
    VARIANT v;
    ASSERT_EQ(m_filter->GetValue(&CODECAPI_QV_Connected, &v), S_OK);
    EXPECT_EQ(v.boolVal, VARIANT_TRUE);
    // The graph saw the connect steps (67: 4 and 5) and the status event.
    std::set<std::pair<LONG, LONG_PTR>> events;
    LONG code;
    for (LONG_PTR p1, p2; graph->GetEvent(&code, &p1, &p2, 0) == S_OK;) events.emplace(code, code == EC_ZEPH_RTMP_WRITER_STATUS ? 0 : p1);
    for (const std::pair<LONG, LONG_PTR>& e : std::set<std::pair<LONG, LONG_PTR>>{{67, 4}, {67, 5}, {EC_ZEPH_RTMP_WRITER_STATUS, 0}})
        EXPECT_TRUE(events.count(e)) << e.first << " " << e.second;
    // A second connect while connected fails and drops the connection; a stop lets it connect again.
    EXPECT_EQ(m_filter->ConnectServer(), E_FAIL);
    EXPECT_TRUE(nginx->waitPublishing("live", "early", false, 5000ms));
    EXPECT_EQ(m_filter->Stop(), S_OK);
    ASSERT_EQ(m_filter->ConnectServer(), S_OK);
    EXPECT_TRUE(nginx->waitPublishing("live", "early", true, 5000ms));
    ASSERT_EQ(m_filter->Disconnect(), S_OK);
    EXPECT_TRUE(nginx->waitPublishing("live", "early", false, 5000ms));
    EXPECT_TRUE(m_filter->ClearStatusNotifyHandler() == S_OK && graph->RemoveFilter(m_filter) == S_OK);
    graph->Release();
}

}  // namespace
