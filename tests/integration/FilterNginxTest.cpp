// The writer filter in a graph against a private nginx: a push source feeds the fixtures as timed
// samples, nginx records, ffprobe and a full decode judge the recording. Also a connect while
// the graph is stopped, reported through the status handler.
#include <memory>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "../sink/TestDriver.h"
#include "TestServers.h"
#include "filter/CodecApiKeys.h"
#include "filter/Renderer.h"
#include "platform/Settings.h"
#include "platform/dshow/FilterGraph.h"
#include "platform/dshow/FormatBlocks.h"
#include "platform/dshow/SourcePin.h"
#include "platform/dshow/Uuids.h"
#include "sink/RTMPSink.h"

using namespace std::chrono_literals;

namespace {

std::string Fixture(const std::string& name) { return std::string(QV_FIXTURE_DIR) + "/" + name; }

CMediaType H264Type() {
    CMediaType mt(&MEDIATYPE_Video);
    mt.SetSubtype(&MEDIASUBTYPE_H264);
    mt.SetFormatType(&FORMAT_VideoInfo);
    VIDEOINFOHEADER vih{};
    vih.AvgTimePerFrame = 400000;
    vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    vih.bmiHeader.biWidth = 320;
    vih.bmiHeader.biHeight = 240;
    vih.bmiHeader.biCompression = MakeFourCC('H', '2', '6', '4');
    mt.SetFormat(reinterpret_cast<const BYTE*>(&vih), sizeof(vih));
    return mt;
}

// AAC LC, 48 kHz stereo (the aac48s fixture), its AudioSpecificConfig as extra bytes.
CMediaType AacType() {
    CMediaType mt(&MEDIATYPE_Audio);
    mt.SetSubtype(&MEDIASUBTYPE_AAC);
    mt.SetFormatType(&FORMAT_WaveFormatEx);
    WAVEFORMATEX wfx{};
    wfx.wFormatTag = WAVE_FORMAT_RAW_AAC1;
    wfx.nChannels = 2;
    wfx.nSamplesPerSec = 48000;
    wfx.nAvgBytesPerSec = 16000;
    wfx.nBlockAlign = 1;
    wfx.cbSize = 2;
    std::vector<BYTE> block(sizeof(wfx) + 2);
    std::memcpy(block.data(), &wfx, sizeof(wfx));
    block[sizeof(wfx)] = 0x11;  // object type 2, frequency index 3, 2 channels
    block[sizeof(wfx) + 1] = 0x90;
    mt.SetFormat(block.data(), static_cast<ULONG>(block.size()));
    return mt;
}

class FilterNginx : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        nginx = std::make_unique<qvtest::NginxServer>();
        std::string error;
        ASSERT_TRUE(nginx->start(&error)) << error;
    }
    static void TearDownTestSuite() { nginx.reset(); }
    void SetUp() override {
        setenv("QV_SETTINGS_USER", m_dir.file("user.json").c_str(), 1);
        setenv("QV_SETTINGS_MACHINE", m_dir.file("machine.json").c_str(), 1);
        HRESULT hr = S_OK;
        CUnknown* u = CRenderer::CreateInstance(nullptr, &hr);
        ASSERT_NE(u, nullptr);
        u->NonDelegatingAddRef();
        m_filter = static_cast<CRenderer*>(u);
    }
    void TearDown() override {
        if (m_filter) m_filter->Release();
    }
    // A graph of a push source (video, and audio when given) and the filter in wait mode, running.
    CPushSource* RunGraph(const std::string& stream, bool withAudio) {
        const std::string url = nginx->url(stream);
        EXPECT_EQ(m_filter->SetFileName(std::wstring(url.begin(), url.end()).c_str(), nullptr), S_OK);
        VARIANT wait;
        wait.vt = VT_UI4;
        wait.ulVal = 0;  // hold the source back instead of dropping frames
        EXPECT_EQ(m_filter->SetValue(&CODECAPI_QV_BufferMode, &wait), S_OK);
        m_graph = CFilterGraph::Create();
        if (withAudio)
            m_source = CPushSource::Create(L"Encoder", {{L"V", {H264Type()}, 1 << 20, 4}, {L"A", {AacType()}, 1 << 16, 4}});
        else
            m_source = CPushSource::Create(L"Encoder", {{L"V", {H264Type()}, 1 << 20, 4}});
        EXPECT_EQ(m_graph->AddFilter(m_source, L"Encoder"), S_OK);
        EXPECT_EQ(m_graph->AddFilter(m_filter, L"Writer"), S_OK);
        int index = 0;
        for (const wchar_t* name : {L"Video", L"Audio"}) {
            if (index == 1 && !withAudio) break;
            IPin* in = nullptr;
            EXPECT_EQ(m_filter->FindPin(name, &in), S_OK);
            EXPECT_EQ(m_graph->ConnectDirect(m_source->SourcePin(index++), in, nullptr), S_OK);
            in->Release();
        }
        EXPECT_EQ(m_graph->Run(), S_OK);
        return m_source;
    }
    // Awaits EC_COMPLETE (no EC_ERRORABORT), stops and dismantles the graph.
    void FinishGraph(const std::string& stream) {
        bool complete = false;
        for (int i = 0; i < 300 && !complete; ++i) {
            LONG code;
            LONG_PTR p1, p2;
            if (m_graph->GetEvent(&code, &p1, &p2, 100) == S_OK) {
                complete = code == EC_COMPLETE;
                EXPECT_NE(code, EC_ERRORABORT) << std::hex << p1;
            }
        }
        EXPECT_TRUE(complete) << "no EC_COMPLETE after the ends of stream";
        EXPECT_EQ(m_graph->Stop(), S_OK);
        m_graph->RemoveFilter(m_source);
        m_graph->RemoveFilter(m_filter);
        m_graph->Release();
        EXPECT_TRUE(nginx->waitPublishing("live", stream, false, 10000ms));
    }

    static inline std::unique_ptr<qvtest::NginxServer> nginx;
    qvtest::TempDir m_dir{"qv-filter-nginx"};
    CRenderer* m_filter = nullptr;
    CFilterGraph* m_graph = nullptr;
    CPushSource* m_source = nullptr;
};

// live: samples at the pace of their times, audio's end once the sink has sent its queues; burst:
// everything queued and both ends right behind it, so the closing flush meets the multiplex
// thread still sending the first units. Either way nothing may be lost, moved or reordered.
class FilterNginxPublish : public FilterNginx, public ::testing::WithParamInterface<bool> {};

TEST_P(FilterNginxPublish, EveryUnitIsRecordedAtItsTime) {
    const bool live = GetParam();
    const std::string stream = live ? "live" : "burst";
    const auto video = sinktest::ReadH264(Fixture("baseline.h264"), 25);
    const auto audio = sinktest::ReadAdts(Fixture("aac48s.aac"));
    ASSERT_EQ(video.size(), 75u);
    ASSERT_GT(audio.size(), 100u);
    CPushSource* source = RunGraph(stream, true);
    EXPECT_TRUE(nginx->waitPublishing("live", stream, true, 5000ms));
    const auto started = std::chrono::steady_clock::now();
    size_t v = 0, a = 0;
    while (v < video.size() || a < audio.size()) {
        const bool takeVideo = v < video.size() && (a >= audio.size() || video[v].time <= audio[a].time);
        const sinktest::MediaUnit& u = takeVideo ? video[v++] : audio[a++];
        REFERENCE_TIME t = u.time * 10000;
        if (live) std::this_thread::sleep_until(started + std::chrono::milliseconds(u.time));
        source->SourcePin(takeVideo ? 0 : 1)->PushSample(u.bytes, &t, nullptr, takeVideo ? u.key : true);
    }
    source->SourcePin(0)->PushEndOfStream();
    if (live) {
        // With video ended the interleaver sends the audio it holds; bounded: no event for an
        // empty queue.
        ASSERT_TRUE(source->SourcePin(0)->WaitIdle(10000));
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline &&
               (m_filter->RTMPSink()->GetQueueSize(0) > 0 || m_filter->RTMPSink()->GetQueueSize(1) > 0))
            std::this_thread::sleep_for(5ms);
    }
    source->SourcePin(1)->PushEndOfStream();
    for (int pin = 0; pin < 2; ++pin) {
        // EC_COMPLETE is raised inside the last end of stream, before its result is recorded.
        ASSERT_TRUE(source->SourcePin(pin)->WaitIdle(10000));
        const auto results = source->SourcePin(pin)->Results();
        EXPECT_EQ(results.size(), (pin == 0 ? video.size() : audio.size()) + 1) << "samples and end of stream";
        for (HRESULT hr : results) EXPECT_EQ(hr, S_OK) << "pin " << pin;
        EXPECT_EQ(source->SourcePin(pin)->Dropped(), 0u);
    }
    FinishGraph(stream);
    source->Release();

    const std::string rec = nginx->recordFile(stream);
    auto probe = qvtest::ffprobeJson(rec, {"-show_format", "-show_streams", "-show_packets"});
    ASSERT_TRUE(probe.has_value()) << rec;
    int seen = 0;
    for (const Json::Value& s : (*probe)["streams"]) {
        const bool isVideo = s["codec_type"].asString() == "video";
        seen += isVideo ? 10 : 1;
        EXPECT_EQ(s["codec_name"].asString(), isVideo ? "h264" : "aac");
        if (isVideo) {
            EXPECT_EQ(s["width"].asInt(), 320);
            EXPECT_EQ(s["height"].asInt(), 240);
        } else {
            EXPECT_EQ(s["sample_rate"].asString(), "48000");
            EXPECT_EQ(s["channels"].asInt(), 2);
        }
    }
    EXPECT_EQ(seen, 11) << probe->toStyledString();
    EXPECT_NEAR(std::stod((*probe)["format"]["duration"].asString()), 3.0, 0.3);
    // Also the last units, which the H.264 parser holds until its input ends; FLV keeps ms.
    size_t vi = 0, ai = 0;
    for (const Json::Value& pk : (*probe)["packets"]) {
        const int64_t ms = std::llround(std::stod(pk["pts_time"].asString()) * 1000.0);
        if (pk["codec_type"].asString() == "video" && vi < video.size()) {
            EXPECT_EQ(ms, video[vi].time) << "video unit " << vi;
            EXPECT_EQ(pk["flags"].asString()[0] == 'K', video[vi].key) << "video unit " << vi;
            ++vi;
        } else if (pk["codec_type"].asString() == "audio" && ai < audio.size()) {
            EXPECT_NEAR(static_cast<double>(ms), static_cast<double>(audio[ai].time), 1.0) << "audio frame " << ai;
            ++ai;
        }
    }
    EXPECT_EQ(vi, video.size());
    EXPECT_EQ(ai, audio.size());
    EXPECT_EQ((*probe)["packets"].size(), video.size() + audio.size());
    qvtest::ChildProcess decode;
    ASSERT_TRUE(decode.start({{"ffmpeg", "-nostdin", "-v", "error", "-i", rec, "-f", "null", "-"}, false, {},
                              m_dir.file("decode.txt")}));
    EXPECT_EQ(decode.wait(60s), 0);
    EXPECT_EQ(qvtest::readFile(m_dir.file("decode.txt")).value_or("?"), "") << "decode errors";
}
INSTANTIATE_TEST_SUITE_P(Pacing, FilterNginxPublish, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Live" : "Burst"; });

// B pictures: samples carry presentation times in decoding order, as an encoder delivers them.
TEST_F(FilterNginx, BFramePicturesKeepTheirPresentationTimes) {
    // B-pyramids need the picture-order-count timestamp model, which this setting selects.
    platform::settings::WriteDword(platform::settings::Scope::User, "SOFTWARE\\Quorvel\\RtmpSink", "TimestampModel", 2);
    const auto video = sinktest::ReadH264(Fixture("high_bpyr.h264"), 25, Fixture("high_bpyr.packets.csv"));
    ASSERT_EQ(video.size(), 75u);
    CPushSource* source = RunGraph("bframes", false);
    const auto started = std::chrono::steady_clock::now();
    for (size_t i = 0; i < video.size(); ++i) {
        REFERENCE_TIME t = video[i].time * 10000;
        std::this_thread::sleep_until(started + std::chrono::milliseconds(40 * i));
        source->SourcePin(0)->PushSample(video[i].bytes, &t, nullptr, i == 0);
    }
    source->SourcePin(0)->PushEndOfStream();
    FinishGraph("bframes");
    source->Release();
    std::string error;
    auto packets = qvtest::ffprobeJson(nginx->recordFile("bframes"), {"-show_packets"}, 60s, &error);
    ASSERT_TRUE(packets.has_value()) << error;
    std::vector<int64_t> got;
    for (const Json::Value& pk : (*packets)["packets"])
        if (pk["codec_type"].asString() == "video") got.push_back(std::llround(std::stod(pk["pts_time"].asString()) * 1000.0));
    // B pictures still waiting for a reference at the end are not sent; every recorded one
    // carries its encoder's time, once, the stream shifted as a whole at most.
    ASSERT_LE(got.size(), video.size());
    ASSERT_GE(got.size() + 4, video.size());
    std::multiset<int64_t> expected;
    for (const auto& u : video) expected.insert(u.time - video[0].time);
    for (size_t i = 0; i < got.size(); ++i) {
        auto it = expected.find(got[i] - got[0]);
        ASSERT_NE(it, expected.end()) << "picture " << i << " at " << got[i] - got[0] << " ms";
        expected.erase(it);
    }
}

struct StatusLog {
    std::mutex m;
    std::condition_variable cv;
    std::vector<int32_t> statuses;
    static void Handler(void* ctx, void* ctx2, int32_t status) {
        auto* self = static_cast<StatusLog*>(ctx);
        EXPECT_EQ(ctx2, reinterpret_cast<void*>(0x42));
        std::lock_guard<std::mutex> g(self->m);
        self->statuses.push_back(status);
        self->cv.notify_all();
    }
};

TEST_F(FilterNginx, ConnectWhileStoppedPublishesAtOnceAndReportsStatus) {
    const std::string url = nginx->url("early");
    ASSERT_EQ(m_filter->SetFileName(std::wstring(url.begin(), url.end()).c_str(), nullptr), S_OK);
    // In the host's graph, status changes reach the handler after the graph's event sink.
    CFilterGraph* graph = CFilterGraph::Create();
    ASSERT_EQ(graph->AddFilter(m_filter, L"Writer"), S_OK);
    StatusLog log;
    ASSERT_EQ(m_filter->SetStatusNotifyHandler(&log, reinterpret_cast<void*>(0x42), &StatusLog::Handler), S_OK);
    ASSERT_EQ(m_filter->ConnectServer(), S_OK);
    {
        std::unique_lock<std::mutex> g(log.m);
        ASSERT_TRUE(log.cv.wait_for(g, 5s, [&] {
            return std::find(log.statuses.begin(), log.statuses.end(), RTMP_STATUS_CONNECTED) != log.statuses.end();
        }));
    }
    EXPECT_TRUE(nginx->waitPublishing("live", "early", true, 5000ms));
    VARIANT v;
    ASSERT_EQ(m_filter->GetValue(&CODECAPI_QV_Connected, &v), S_OK);
    EXPECT_EQ(v.boolVal, VARIANT_TRUE);
    ASSERT_EQ(m_filter->GetValue(&CODECAPI_QV_ConnectResponseTime, &v), S_OK);
    EXPECT_GE(v.lVal, 0);
    EXPECT_LT(v.lVal, 10000);
    // The graph saw the connect steps (67: 4 and 5) and the status event.
    std::vector<std::pair<LONG, LONG_PTR>> events;
    LONG code;
    LONG_PTR p1, p2;
    while (graph->GetEvent(&code, &p1, &p2, 0) == S_OK) events.emplace_back(code, p1);
    for (LONG_PTR step : {4, 5})
        EXPECT_NE(std::find(events.begin(), events.end(), std::make_pair(LONG{67}, step)), events.end()) << step;
    EXPECT_TRUE(std::any_of(events.begin(), events.end(), [](auto& e) { return e.first == EC_ZEPH_RTMP_WRITER_STATUS; }));
    // A second connect while connected fails and drops the connection.
    EXPECT_EQ(m_filter->ConnectServer(), E_FAIL);
    EXPECT_TRUE(nginx->waitPublishing("live", "early", false, 5000ms));
    EXPECT_EQ(m_filter->Stop(), S_OK);
    ASSERT_EQ(m_filter->ConnectServer(), S_OK);
    EXPECT_TRUE(nginx->waitPublishing("live", "early", true, 5000ms));
    ASSERT_EQ(m_filter->Disconnect(), S_OK);
    EXPECT_TRUE(nginx->waitPublishing("live", "early", false, 5000ms));
    EXPECT_EQ(m_filter->ClearStatusNotifyHandler(), S_OK);
    graph->RemoveFilter(m_filter);
    graph->Release();
}

}  // namespace
