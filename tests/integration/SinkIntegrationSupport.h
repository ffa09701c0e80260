#pragma once
// Shared by the sink's end-to-end tests: a private settings store, connection settings for a
// loopback server, the track formats an encoder would announce, the host's status/statistics
// events, and ffmpeg/ffprobe checks of a recording.
#include <gtest/gtest.h>
#include <json/json.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <optional>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "TempDir.h"
#include "TestServers.h"
#include "foundation/Log.h"
#include "platform/Settings.h"
#include "rtmp/RtmpUrl.h"
#include "sink/RTMPSink.h"

#ifndef QV_FIXTURE_DIR
#error "QV_FIXTURE_DIR must name the generated fixtures"
#endif

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
    // Waits until the n-th status event (counting from 1) has the given value.
    bool WaitStatus(int32_t status, size_t atLeastCount, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> g(m_mutex);
        return m_cond.wait_for(g, timeout, [&] {
            size_t n = 0;
            for (const auto& e : m_events)
                if (e.code == EC_ZEPH_RTMP_WRITER_STATUS && e.status == status) ++n;
            return n >= atLeastCount;
        });
    }

    // Waits for the statistics event that follows the first status event of the given value.
    std::optional<HostEvent> WaitStatsAfterStatus(int32_t status, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> g(m_mutex);
        std::optional<HostEvent> found;
        m_cond.wait_for(g, timeout, [&] {
            bool seen = false;
            for (const auto& e : m_events) {
                if (!seen) {
                    seen = e.code == EC_ZEPH_RTMP_WRITER_STATUS && e.status == status;
                } else if (e.code != EC_ZEPH_RTMP_WRITER_STATUS) {
                    found = e;
                    return true;
                }
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
        s.audioFormat = AudioFormat(48000, 2);
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
    static BS::format_t AudioFormat(int rate, int channels) {
        BS::format_t f;
        f.kind = BS::FORMAT_KIND_AUDIO;
        f.codec = BS::CODEC_AAC;
        f.audio.sample_rate = rate;
        f.audio.channels = channels;
        f.audio.bits_per_sample = 16;
        f.audio.object_type = 2;
        return f;
    }

    qvtest::TempDir m_settingsDir{"qv-sinkit"};
};

struct ToolResult {
    int status = -1;
    std::string out;
    std::string err;
};

inline ToolResult RunTool(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
    qvtest::TempDir dir("qv-sinktool");
    qvtest::ChildProcess p;
    qvtest::ChildProcess::Options o;
    o.argv = argv;
    o.captureStdout = true;
    o.stderrFile = dir.file("err.txt");
    ToolResult r;
    if (!p.start(o)) return r;
    r.out = p.readAll(timeout);
    r.status = p.wait(timeout).value_or(-1);
    r.err = qvtest::readFile(dir.file("err.txt")).value_or("");
    return r;
}

// Errors ffmpeg reports while decoding every frame of the file (empty: clean).
inline std::string DecodeErrors(const std::string& path) {
    ToolResult r = RunTool({"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "null", "-"}, std::chrono::seconds(120));
    if (r.status != 0) return "ffmpeg exit " + std::to_string(r.status) + ": " + r.err;
    return r.err;
}

struct PacketInfo {
    int64_t dts = 0;
    int64_t pts = 0;
    bool key = false;
};

// Packets of one stream ("v:0" or "a:0"), times in ms.
inline std::vector<PacketInfo> Packets(const std::string& path, const std::string& stream) {
    std::vector<PacketInfo> out;
    auto j = qvtest::ffprobeJson(path, {"-select_streams", stream, "-show_packets"});
    if (!j) return out;
    for (const auto& p : (*j)["packets"]) {
        PacketInfo i;
        i.dts = std::llround(std::stod(p.get("dts_time", "0").asString()) * 1000);
        i.pts = std::llround(std::stod(p.get("pts_time", "0").asString()) * 1000);
        i.key = p.get("flags", "").asString().find('K') != std::string::npos;
        out.push_back(i);
    }
    return out;
}

}  // namespace sinkit
