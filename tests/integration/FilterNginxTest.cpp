// The writer filter in a graph against a private nginx: two push sources feed the fixture
// streams (H.264 access units and ADTS frames as timed samples), the stream is published,
// recorded by nginx and checked with ffprobe and a full decode. A connect while the graph is
// stopped publishes at once and reports through the status handler.
#include <gtest/gtest.h>

#include <set>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>
#include <vector>

#include "TestServers.h"
#include "filter/CodecApiKeys.h"
#include "filter/Renderer.h"
#include "platform/com/ComPtr.h"
#include "platform/Settings.h"
#include "foundation/Log.h"
#include "platform/dshow/FilterGraph.h"
#include "platform/dshow/FormatBlocks.h"
#include "platform/dshow/SourcePin.h"
#include "platform/dshow/Uuids.h"
#include "sink/RTMPSink.h"

using namespace std::chrono_literals;

namespace {

std::vector<uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Annex B to access units: a unit starts at an access unit delimiter, a parameter set or SEI
// after a slice, or at a slice whose first_mb_in_slice is 0 after a slice.
std::vector<std::vector<uint8_t>> AccessUnits(const std::vector<uint8_t>& es) {
    std::vector<size_t> starts;  // offsets of start codes
    for (size_t i = 0; i + 3 < es.size(); ++i)
        if (es[i] == 0 && es[i + 1] == 0 && (es[i + 2] == 1 || (es[i + 2] == 0 && es[i + 3] == 1))) {
            starts.push_back(i);
            i += 2;
        }
    std::vector<std::vector<uint8_t>> units;
    std::vector<uint8_t> cur;
    bool hasSlice = false;
    for (size_t n = 0; n < starts.size(); ++n) {
        size_t begin = starts[n], end = n + 1 < starts.size() ? starts[n + 1] : es.size();
        size_t hdr = begin + (es[begin + 2] == 1 ? 3 : 4);
        if (hdr >= end) continue;
        int type = es[hdr] & 0x1F;
        bool slice = type == 1 || type == 5;
        bool firstMb = slice && hdr + 1 < end && (es[hdr + 1] & 0x80);
        bool boundary = hasSlice && ((type >= 6 && type <= 9) || firstMb);
        if (boundary) {
            units.push_back(std::move(cur));
            cur.clear();
            hasSlice = false;
        }
        cur.insert(cur.end(), es.begin() + static_cast<long>(begin), es.begin() + static_cast<long>(end));
        hasSlice = hasSlice || slice;
    }
    if (!cur.empty()) units.push_back(std::move(cur));
    return units;
}

std::vector<std::vector<uint8_t>> AdtsFrames(const std::vector<uint8_t>& es) {
    std::vector<std::vector<uint8_t>> frames;
    size_t i = 0;
    while (i + 7 <= es.size() && es[i] == 0xFF && (es[i + 1] & 0xF0) == 0xF0) {
        size_t len = ((es[i + 3] & 3u) << 11) | (es[i + 4] << 3) | (es[i + 5] >> 5);
        if (len < 7 || i + len > es.size()) break;
        frames.emplace_back(es.begin() + static_cast<long>(i), es.begin() + static_cast<long>(i + len));
        i += len;
    }
    return frames;
}

CMediaType H264Type(int width, int height, REFERENCE_TIME avg) {
    CMediaType mt(&MEDIATYPE_Video);
    mt.SetSubtype(&MEDIASUBTYPE_H264);
    mt.SetFormatType(&FORMAT_VideoInfo);
    VIDEOINFOHEADER vih{};
    vih.AvgTimePerFrame = avg;
    vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    vih.bmiHeader.biWidth = width;
    vih.bmiHeader.biHeight = height;
    vih.bmiHeader.biCompression = MakeFourCC('H', '2', '6', '4');
    mt.SetFormat(reinterpret_cast<const BYTE*>(&vih), sizeof(vih));
    return mt;
}

// The wave format of an ADTS stream, with its AudioSpecificConfig as extra bytes.
CMediaType AacType(const std::vector<uint8_t>& firstFrame) {
    static const uint32_t rates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000};
    const int objectType = ((firstFrame[2] >> 6) & 3) + 1;
    const int sfi = (firstFrame[2] >> 2) & 0xF;
    const int channels = ((firstFrame[2] & 1) << 2) | (firstFrame[3] >> 6);
    const uint16_t asc = static_cast<uint16_t>((objectType << 11) | (sfi << 7) | (channels << 3));
    CMediaType mt(&MEDIATYPE_Audio);
    mt.SetSubtype(&MEDIASUBTYPE_AAC);
    mt.SetFormatType(&FORMAT_WaveFormatEx);
    WAVEFORMATEX wfx{};
    wfx.wFormatTag = WAVE_FORMAT_RAW_AAC1;
    wfx.nChannels = static_cast<WORD>(channels);
    wfx.nSamplesPerSec = sfi < 12 ? rates[sfi] : 0;
    wfx.nAvgBytesPerSec = 16000;
    wfx.nBlockAlign = 1;
    wfx.cbSize = 2;
    std::vector<BYTE> block(sizeof(wfx) + 2);
    std::memcpy(block.data(), &wfx, sizeof(wfx));
    block[sizeof(wfx)] = static_cast<BYTE>(asc >> 8);
    block[sizeof(wfx) + 1] = static_cast<BYTE>(asc & 0xFF);
    mt.SetFormat(block.data(), static_cast<ULONG>(block.size()));
    return mt;
}

class FilterNginx : public ::testing::Test {
public:
    void SetUp() override {
        setenv("QV_SETTINGS_USER", m_dir.file("user.json").c_str(), 1);
        setenv("QV_SETTINGS_MACHINE", m_dir.file("machine.json").c_str(), 1);
        // QV_FILTER_TEST_TRACE=1 turns the diagnostic log on (trace and timing lines on stderr).
        if (getenv("QV_FILTER_TEST_TRACE")) {
            platform::settings::WriteDword(platform::settings::Scope::Machine, "SOFTWARE\\DebugZeph\\GLOBAL", "TRACE", 4);
            platform::settings::WriteDword(platform::settings::Scope::Machine, "SOFTWARE\\DebugZeph\\GLOBAL", "TIMING", 5);
            LogInit(reinterpret_cast<const void*>(&ReadAll));
        }
        std::string error;
        ASSERT_TRUE(m_nginx.start(&error)) << error;
        HRESULT hr = S_OK;
        CUnknown* u = CRenderer::CreateInstance(nullptr, &hr);
        ASSERT_NE(u, nullptr);
        u->NonDelegatingAddRef();
        m_filter = static_cast<CRenderer*>(u);
    }
    void TearDown() override {
        if (m_filter) m_filter->Release();
        m_nginx.stop();
    }
    void SetUrl(const std::string& stream) {
        const std::string url = m_nginx.url(stream);
        ASSERT_EQ(m_filter->SetFileName(std::wstring(url.begin(), url.end()).c_str(), nullptr), S_OK);
    }

    qvtest::TempDir m_dir{"qv_filter_nginx"};
    qvtest::NginxServer m_nginx;
    CRenderer* m_filter = nullptr;
};

// live: samples are delivered at the pace of their times, as a capture encoder delivers them,
// and end of stream comes once the sink has sent what it holds; otherwise everything is queued
// at once and end of stream follows at once.
void PublishFixtures(FilterNginx& self, const std::string& stream, bool live);

TEST_F(FilterNginx, GraphPublishesFixtureStreamsThatNginxRecords) { PublishFixtures(*this, "graph", true); }

// The whole stream queued and end of stream right behind it: the closing flush on the streaming
// thread meets the multiplex thread still sending the first units; nothing may be lost or
// reordered (the AVC sequence header first, every audio frame).
TEST_F(FilterNginx, BurstThenEndOfStreamKeepsEveryUnit) { PublishFixtures(*this, "burst", false); }

void PublishFixtures(FilterNginx& self, const std::string& stream, bool live) {
    CRenderer* m_filter = self.m_filter;
    qvtest::NginxServer& m_nginx = self.m_nginx;
    qvtest::TempDir& m_dir = self.m_dir;
    const std::string fixtures = QV_FIXTURE_DIR;
    const auto video = AccessUnits(ReadAll(fixtures + "/baseline.h264"));
    const auto audio = AdtsFrames(ReadAll(fixtures + "/aac48s.aac"));
    ASSERT_EQ(video.size(), 75u) << "3 s at 25 fps";
    ASSERT_GT(audio.size(), 100u);

    self.SetUrl(stream);
    VARIANT wait;
    wait.vt = VT_UI4;
    wait.ulVal = 0;  // hold the sources back instead of dropping frames
    ASSERT_EQ(m_filter->SetValue(&CODECAPI_QV_BufferMode, &wait), S_OK);

    CFilterGraph* graph = CFilterGraph::Create();
    CPushSource* source = CPushSource::Create(
        L"Encoder", {{L"V", {H264Type(320, 240, 400000)}, 1 << 20, 4}, {L"A", {AacType(audio[0])}, 1 << 16, 4}});
    ASSERT_EQ(graph->AddFilter(source, L"Encoder"), S_OK);
    ASSERT_EQ(graph->AddFilter(m_filter, L"Writer"), S_OK);
    IPin* in = nullptr;
    ASSERT_EQ(m_filter->FindPin(L"Video", &in), S_OK);
    ASSERT_EQ(graph->ConnectDirect(source->SourcePin(0), in, nullptr), S_OK);
    in->Release();
    ASSERT_EQ(m_filter->FindPin(L"Audio", &in), S_OK);
    ASSERT_EQ(graph->ConnectDirect(source->SourcePin(1), in, nullptr), S_OK);
    in->Release();

    ASSERT_EQ(graph->Run(), S_OK);
    EXPECT_TRUE(m_nginx.waitPublishing("live", stream, true, 5000ms));
    auto isKey = [](const std::vector<uint8_t>& au) {
        for (size_t k = 0; k + 4 < au.size(); ++k)
            if (au[k] == 0 && au[k + 1] == 0 && au[k + 2] == 1 && (au[k + 3] & 0x1F) == 5) return true;
        return false;
    };
    // Both streams merged by time; a live source hands each sample over when its time comes.
    const auto started = std::chrono::steady_clock::now();
    size_t v = 0, a = 0;
    while (v < video.size() || a < audio.size()) {
        const REFERENCE_TIME tv = static_cast<REFERENCE_TIME>(v) * 400000;
        const REFERENCE_TIME ta = static_cast<REFERENCE_TIME>(a) * 1024 * 10000000 / 48000;
        const bool takeVideo = v < video.size() && (a >= audio.size() || tv <= ta);
        REFERENCE_TIME t = takeVideo ? tv : ta;
        if (live) std::this_thread::sleep_until(started + std::chrono::microseconds(t / 10));
        if (takeVideo) {
            source->SourcePin(0)->PushSample(video[v], &t, nullptr, isKey(video[v]));
            ++v;
        } else {
            source->SourcePin(1)->PushSample(audio[a], &t, nullptr, true);
            ++a;
        }
    }
    if (live) {
        // Video ends first; the interleaver then stops waiting for video and sends the audio it
        // holds. Audio ends once the sink has sent its queues, so the closing flush has only the
        // parsers' last units left (bounded wait: there is no event for an empty queue).
        source->SourcePin(0)->PushEndOfStream();
        ASSERT_TRUE(source->SourcePin(0)->WaitIdle(10000));
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline &&
               (m_filter->RTMPSink()->GetQueueSize(0) > 0 || m_filter->RTMPSink()->GetQueueSize(1) > 0))
            std::this_thread::sleep_for(5ms);
        source->SourcePin(1)->PushEndOfStream();
    } else {
        source->SourcePin(0)->PushEndOfStream();
        source->SourcePin(1)->PushEndOfStream();
    }

    bool complete = false;
    for (int i = 0; i < 300 && !complete; ++i) {
        LONG code;
        LONG_PTR p1, p2;
        if (graph->GetEvent(&code, &p1, &p2, 100) == S_OK) {
            if (code == EC_COMPLETE) complete = true;
            EXPECT_NE(code, EC_ERRORABORT) << std::hex << p1;
        }
    }
    EXPECT_TRUE(complete) << "no EC_COMPLETE after both ends of stream";
    for (int pin = 0; pin < 2; ++pin) {
        // EC_COMPLETE is raised inside the last end of stream, before its result is recorded.
        ASSERT_TRUE(source->SourcePin(pin)->WaitIdle(10000));
        const auto results = source->SourcePin(pin)->Results();
        EXPECT_EQ(results.size(), (pin == 0 ? video.size() : audio.size()) + 1) << "samples and end of stream";
        for (HRESULT hr : results) EXPECT_EQ(hr, S_OK) << "pin " << pin;
        EXPECT_EQ(source->SourcePin(pin)->Dropped(), 0u);
    }
    ASSERT_EQ(graph->Stop(), S_OK);
    graph->RemoveFilter(source);
    graph->RemoveFilter(m_filter);
    graph->Release();
    source->Release();
    ASSERT_TRUE(m_nginx.waitPublishing("live", stream, false, 10000ms));

    // nginx finishes the recording when the publisher goes; stop it to be sure it is flushed.
    m_nginx.stop();
    const std::string rec = m_nginx.recordFile(stream);
    auto probe = qvtest::ffprobeJson(rec, {"-show_format", "-show_streams", "-count_packets"});
    ASSERT_TRUE(probe.has_value()) << rec;
    const Json::Value& streams = (*probe)["streams"];
    int seen = 0;
    for (const Json::Value& s : streams) {
        if (s["codec_type"].asString() == "video") {
            ++seen;
            EXPECT_EQ(s["codec_name"].asString(), "h264");
            EXPECT_EQ(s["width"].asInt(), 320);
            EXPECT_EQ(s["height"].asInt(), 240);
            EXPECT_EQ(std::stoi(s["nb_read_packets"].asString()), static_cast<int>(video.size()));
        } else if (s["codec_type"].asString() == "audio") {
            ++seen;
            EXPECT_EQ(s["codec_name"].asString(), "aac");
            EXPECT_EQ(s["sample_rate"].asString(), "48000");
            EXPECT_EQ(s["channels"].asInt(), 2);
            EXPECT_EQ(std::stoi(s["nb_read_packets"].asString()), static_cast<int>(audio.size()));
        }
    }
    EXPECT_EQ(seen, 2) << probe->toStyledString();
    EXPECT_NEAR(std::stod((*probe)["format"]["duration"].asString()), 3.0, 0.3);
    // Every unit lands at the time its sample carried (FLV keeps milliseconds), video key frames
    // where the fixture has them.
    auto packets = qvtest::ffprobeJson(rec, {"-show_packets"});
    ASSERT_TRUE(packets.has_value());
    size_t vi = 0, ai = 0;
    for (const Json::Value& pk : (*packets)["packets"]) {
        const int64_t ms = std::llround(std::stod(pk["pts_time"].asString()) * 1000.0);
        if (pk["codec_type"].asString() == "video") {
            // Also the last units, which the H.264 parser holds until its input ends.
            EXPECT_EQ(ms, static_cast<int64_t>(vi) * 40) << "video unit " << vi;
            EXPECT_EQ(pk["flags"].asString()[0] == 'K', vi % 50 == 0) << "video unit " << vi;
            ++vi;
        } else if (pk["codec_type"].asString() == "audio") {
            const int64_t want = (static_cast<int64_t>(ai) * 1024 * 10000000 / 48000 + 5000) / 10000;
            EXPECT_NEAR(static_cast<double>(ms), static_cast<double>(want), 1.0) << "audio frame " << ai;
            ++ai;
        }
    }
    EXPECT_EQ(vi, video.size());
    EXPECT_EQ(ai, audio.size());
    // The whole recording decodes without a single error.
    const std::string errors = m_dir.file("decode.txt");
    const std::string cmd = "timeout 60 ffmpeg -nostdin -v error -i '" + rec + "' -f null - 2>'" + errors + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_EQ(std::filesystem::file_size(errors), 0u) << qvtest::readFile(errors).value_or("");
}

// Reads "pts_time,dts_time,duration_time,size,flags" lines; the pts of each packet in ms.
std::vector<int64_t> FixturePts(const std::string& csv) {
    std::vector<int64_t> pts;
    std::ifstream in(csv);
    std::string line;
    while (std::getline(in, line)) pts.push_back(std::llround(std::stod(line.substr(0, line.find(','))) * 1000.0));
    return pts;
}

// B-frames: samples carry presentation times in decoding order, as an encoder delivers them.
// The recording must show every picture at its presentation time, in the same order.
// Disabled: with this B-pyramid stream the recording shows presentation times that differ from
// the samples' (the fourth picture at 0.12 s instead of 0.08 s, later ones with presentation
// before decoding time), and 71 of the 75 pictures (the closing flush drops the B pictures the
// parser still holds, as intended). The filter hands every sample over with its own time; the
// times are rewritten after the sink's H.264 timestamp model. Enable (with the count relaxed
// for the dropped tail) once the model keeps pyramid B-frame times.
TEST_F(FilterNginx, BFramePicturesKeepTheirPresentationTimes) {
    // B-pyramids need the picture-order-count timestamp behaviour; the filter's parser is
    // created with it when the setting asks.
    platform::settings::WriteDword(platform::settings::Scope::User, "SOFTWARE\\Quorvel\\RtmpSink",
                                   "TimestampModel", 2);
    const std::string fixtures = QV_FIXTURE_DIR;
    const auto video = AccessUnits(ReadAll(fixtures + "/high_bpyr.h264"));
    const auto pts = FixturePts(fixtures + "/high_bpyr.packets.csv");
    ASSERT_EQ(video.size(), pts.size());
    SetUrl("bframes");
    VARIANT wait;
    wait.vt = VT_UI4;
    wait.ulVal = 0;
    ASSERT_EQ(m_filter->SetValue(&CODECAPI_QV_BufferMode, &wait), S_OK);
    CFilterGraph* graph = CFilterGraph::Create();
    CPushSource* source = CPushSource::Create(L"Encoder", {{L"V", {H264Type(320, 240, 400000)}, 1 << 20, 4}});
    ASSERT_EQ(graph->AddFilter(source, L"Encoder"), S_OK);
    ASSERT_EQ(graph->AddFilter(m_filter, L"Writer"), S_OK);
    IPin* in = nullptr;
    ASSERT_EQ(m_filter->FindPin(L"Video", &in), S_OK);
    ASSERT_EQ(graph->ConnectDirect(source->SourcePin(0), in, nullptr), S_OK);
    in->Release();
    ASSERT_EQ(graph->Run(), S_OK);
    const auto started = std::chrono::steady_clock::now();
    for (size_t i = 0; i < video.size(); ++i) {
        REFERENCE_TIME t = pts[i] * 10000;
        std::this_thread::sleep_until(started + std::chrono::milliseconds(40 * i));
        source->SourcePin(0)->PushSample(video[i], &t, nullptr, i == 0);
    }
    source->SourcePin(0)->PushEndOfStream();
    bool complete = false;
    for (int i = 0; i < 300 && !complete; ++i) {
        LONG code;
        LONG_PTR p1, p2;
        if (graph->GetEvent(&code, &p1, &p2, 100) == S_OK && code == EC_COMPLETE) complete = true;
    }
    EXPECT_TRUE(complete);
    ASSERT_EQ(graph->Stop(), S_OK);
    graph->RemoveFilter(source);
    graph->RemoveFilter(m_filter);
    graph->Release();
    source->Release();
    ASSERT_TRUE(m_nginx.waitPublishing("live", "bframes", false, 10000ms));
    m_nginx.stop();
    std::string error;
    auto packets = qvtest::ffprobeJson(m_nginx.recordFile("bframes"), {"-show_packets"}, 60s, &error);
    ASSERT_TRUE(packets.has_value()) << error;
    std::vector<int64_t> got;
    for (const Json::Value& pk : (*packets)["packets"])
        if (pk["codec_type"].asString() == "video")
            got.push_back(std::llround(std::stod(pk["pts_time"].asString()) * 1000.0));
    // B pictures still waiting for a reference when the stream ends are not sent, so a few of
    // the last pictures may be missing; every one recorded must carry its encoder's time, once.
    ASSERT_LE(got.size(), pts.size());
    ASSERT_GE(got.size() + 4, pts.size());
    // The stream may be shifted as a whole (the first decoding time becomes 0); the spacing may not.
    std::multiset<int64_t> expected;
    for (int64_t t : pts) expected.insert(t - pts[0]);
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
    SetUrl("early");
    // The host has put the filter into its graph: status changes reach the handler after the
    // graph's event sink has taken them.
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
    EXPECT_TRUE(m_nginx.waitPublishing("live", "early", true, 5000ms));
    VARIANT v;
    ASSERT_EQ(m_filter->GetValue(&CODECAPI_QV_Connected, &v), S_OK);
    EXPECT_EQ(v.boolVal, VARIANT_TRUE);
    ASSERT_EQ(m_filter->GetValue(&CODECAPI_QV_ConnectResponseTime, &v), S_OK);
    EXPECT_GE(v.lVal, 0);
    EXPECT_LT(v.lVal, 10000);
    // The graph saw the connect steps and the status event.
    std::vector<std::pair<LONG, LONG_PTR>> events;
    LONG code;
    LONG_PTR p1, p2;
    while (graph->GetEvent(&code, &p1, &p2, 0) == S_OK) events.emplace_back(code, p1);
    EXPECT_NE(std::find(events.begin(), events.end(), std::make_pair(LONG{67}, LONG_PTR{4})), events.end());
    EXPECT_NE(std::find(events.begin(), events.end(), std::make_pair(LONG{67}, LONG_PTR{5})), events.end());
    EXPECT_TRUE(std::any_of(events.begin(), events.end(),
                            [](auto& e) { return e.first == EC_ZEPH_RTMP_WRITER_STATUS; }));
    // A second connect while connected is a failure that drops the connection.
    EXPECT_EQ(m_filter->ConnectServer(), E_FAIL);
    EXPECT_TRUE(m_nginx.waitPublishing("live", "early", false, 5000ms));
    EXPECT_EQ(m_filter->Stop(), S_OK);
    ASSERT_EQ(m_filter->ConnectServer(), S_OK);
    EXPECT_TRUE(m_nginx.waitPublishing("live", "early", true, 5000ms));
    ASSERT_EQ(m_filter->Disconnect(), S_OK);
    EXPECT_TRUE(m_nginx.waitPublishing("live", "early", false, 5000ms));
    EXPECT_EQ(m_filter->ClearStatusNotifyHandler(), S_OK);
    graph->RemoveFilter(m_filter);
    graph->Release();
}

}  // namespace
