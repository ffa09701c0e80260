#pragma once
// Shared by the sink's end-to-end tests: a private settings store, connection settings for a
// loopback server, the host's status/statistics events, and ffmpeg/ffprobe views of a recording.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <thread>

#include "TestServers.h"
#include "foundation/Log.h"
#include "platform/Settings.h"
#include "rtmp/RtmpUrl.h"
#include "sink/RTMPSink.h"

namespace sinkit {

inline std::string Fixture(const std::string& name) { return std::string(QV_FIXTURE_DIR) + "/" + name; }

struct HostEvent {
    int32_t code = 0;
    int32_t status = -1;
    RTMPStatistics stats;
};

class HostObserver : public NotifyEventObserver {
public:
    int32_t NotifyEvent(int32_t code, intptr_t p1, intptr_t) override {
        HostEvent e;
        e.code = code;
        if (code == EC_ZEPH_RTMP_WRITER_STATUS) e.status = *reinterpret_cast<const int32_t*>(p1);
        else e.stats = *reinterpret_cast<const RTMPStatistics*>(p1);
        std::lock_guard<std::mutex> g(m_mutex);
        m_events.push_back(e);
        m_cond.notify_all();
        return 0;
    }
    std::vector<HostEvent> Events() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_events;
    }
    std::vector<int32_t> Statuses() {
        std::vector<int32_t> s;
        for (const auto& e : Events())
            if (e.code == EC_ZEPH_RTMP_WRITER_STATUS) s.push_back(e.status);
        return s;
    }
    // Waits until `count` status events have had the value.
    bool WaitStatus(int32_t status, size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> g(m_mutex);
        return m_cond.wait_for(g, timeout, [&] {
            return static_cast<size_t>(std::count_if(m_events.begin(), m_events.end(), [&](const HostEvent& e) {
                       return e.code == EC_ZEPH_RTMP_WRITER_STATUS && e.status == status;
                   })) >= count;
        });
    }
    // The statistics event that follows the first status event of the value.
    std::optional<HostEvent> WaitStatsAfterStatus(int32_t status, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> g(m_mutex);
        std::optional<HostEvent> found;
        m_cond.wait_for(g, timeout, [&] {
            bool seen = false;
            for (const auto& e : m_events) {
                if (seen && e.code != EC_ZEPH_RTMP_WRITER_STATUS) return (found = e).has_value();
                seen = seen || (e.code == EC_ZEPH_RTMP_WRITER_STATUS && e.status == status);
            }
            return false;
        });
        return found;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<HostEvent> m_events;
};

class SinkFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_settingsDir.ok());
        setenv("QV_SETTINGS_USER", m_settingsDir.file("user.json").c_str(), 1);
        setenv("QV_SETTINGS_MACHINE", m_settingsDir.file("machine.json").c_str(), 1);
        // Short client waits keep the failure paths quick.
        ASSERT_TRUE(platform::settings::WriteDword(platform::settings::Scope::User, KEY_RTMPSINK, "WaitDelay", 3000));
    }
    static ConnectionSettings Settings(const std::string& url) {
        rtmp::SplitUrlResult split = rtmp::SplitUrl(url);
        ConnectionSettings s;
        s.url = split.baseUrl;
        s.host = split.host;
        s.app = split.app;
        s.streamName = split.stream;
        s.port = split.port;
        s.outputBufferSize = 262144;
        s.outputPacketSize = 1450;
        s.socketBufferSize = 131072;
        s.connectTimeout = 5;
        s.allowBFrames = 1;
        s.bufferMode = 1;
        s.passthroughPadding = true;
        s.reconnectAttempts = 0;
        s.reconnectInterval = 200;
        s.videoFormat = VideoFormat(320, 240, 25);
        s.audioFormat.kind = BS::FORMAT_KIND_AUDIO;
        s.audioFormat.codec = BS::CODEC_AAC;
        s.audioFormat.audio.sample_rate = 48000;
        s.audioFormat.audio.channels = 2;
        s.audioFormat.audio.bits_per_sample = 16;
        s.audioFormat.audio.object_type = 2;
        return s;
    }
    static BS::format_t VideoFormat(int w, int h, double fps) {
        BS::format_t f;
        f.kind = BS::FORMAT_KIND_VIDEO;
        f.codec = BS::CODEC_H264;
        f.video.width = w;
        f.video.height = h;
        f.video.fps = fps;
        f.video.fps_num = static_cast<int32_t>(fps * 1000);
        f.video.fps_den = 1000;
        return f;
    }
    // Init, then the tracks of the settings (no audio when audio is false).
    static bool InitWithTracks(CRTMPSink& sink, const ConnectionSettings& s, bool audio = true) {
        return sink.Init(s, nullptr) == 0 && sink.AddTrack(s.videoFormat, TRACK_TYPE_VIDEO, 0) &&
               (!audio || sink.AddTrack(s.audioFormat, TRACK_TYPE_AUDIO, 0));
    }
    // Waits (bounded: there is no event for it) until the sink has sent everything queued.
    static bool WaitEmpty(CRTMPSink& sink, std::chrono::seconds bound) {
        const auto until = std::chrono::steady_clock::now() + bound;
        while (sink.GetQueueSize(0) > 0 || sink.GetQueueSize(1) > 0) {
            if (std::chrono::steady_clock::now() >= until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    qvtest::TempDir m_settingsDir{"qv-sinkit"};
};

// Errors ffmpeg reports while decoding every frame of the file (empty: clean).
inline std::string DecodeErrors(const std::string& path) {
    qvtest::TempDir dir("qv-decode");
    qvtest::ChildProcess p;
    if (!p.start({{"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "null", "-"}, false, {}, dir.file("err.txt")}))
        return "ffmpeg did not start";
    const auto status = p.wait(std::chrono::seconds(120));
    const std::string err = qvtest::readFile(dir.file("err.txt")).value_or("");
    return status == 0 ? err : "ffmpeg exit " + std::to_string(status.value_or(-1)) + ": " + err;
}

struct PacketInfo {
    int64_t dts = 0, pts = 0;  // ms
    bool key = false;
};

// Packets of one stream ("v:0" or "a:0").
inline std::vector<PacketInfo> Packets(const std::string& path, const std::string& stream) {
    std::vector<PacketInfo> out;
    auto j = qvtest::ffprobeJson(path, {"-select_streams", stream, "-show_packets"});
    for (const auto& p : j ? (*j)["packets"] : Json::Value()) {
        out.push_back({std::llround(std::stod(p.get("dts_time", "0").asString()) * 1000),
                       std::llround(std::stod(p.get("pts_time", "0").asString()) * 1000),
                       p.get("flags", "").asString().find('K') != std::string::npos});
    }
    return out;
}

}  // namespace sinkit
