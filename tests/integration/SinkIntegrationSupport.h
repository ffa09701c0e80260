#pragma once
// Shared by the sink's and the filter's end-to-end tests: a private settings store, connection
// settings for a loopback server, and ffmpeg/ffprobe views of a recording.
#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <thread>

#include "../sink/TestDriver.h"
#include "TestServers.h"
#include "foundation/Log.h"
#include "platform/Settings.h"
#include "rtmp/RtmpUrl.h"
#include "sink/RTMPSink.h"

namespace sinkit {
using namespace std::chrono_literals;

inline std::string Fixture(const std::string& name) { return std::string(QV_FIXTURE_DIR) + "/" + name; }

// H.264 of that size and rate (default 320x240 at 25 fps), AAC 48 kHz stereo, to a loopback url;
// no reconnection.
inline ConnectionSettings Settings(const std::string& url, int w = 320, int h = 240, int fps = 25) {
    const rtmp::SplitUrlResult split = rtmp::SplitUrl(url);
    ConnectionSettings s;
    s.url = split.baseUrl, s.host = split.host, s.app = split.app, s.streamName = split.stream, s.port = split.port;
    s.outputBufferSize = 262144, s.outputPacketSize = 1450, s.socketBufferSize = 131072, s.connectTimeout = 5;
    s.allowBFrames = 1, s.bufferMode = 1, s.passthroughPadding = true, s.reconnectInterval = 200;
    s.videoFormat.kind = BS::FORMAT_KIND_VIDEO, s.videoFormat.codec = BS::CODEC_H264;
    s.videoFormat.video.width = w, s.videoFormat.video.height = h, s.videoFormat.video.fps = fps;
    s.videoFormat.video.fps_num = fps * 1000, s.videoFormat.video.fps_den = 1000;
    s.audioFormat.kind = BS::FORMAT_KIND_AUDIO, s.audioFormat.codec = BS::CODEC_AAC;
    s.audioFormat.audio.sample_rate = 48000, s.audioFormat.audio.channels = 2;
    s.audioFormat.audio.bits_per_sample = 16, s.audioFormat.audio.object_type = 2;
    return s;
}

// Init, then the tracks of the settings (no audio when audio is false).
inline bool InitWithTracks(CRTMPSink& sink, const ConnectionSettings& s, bool audio = true) {
    return sink.Init(s, nullptr) == 0 && sink.AddTrack(s.videoFormat, TRACK_TYPE_VIDEO, 0) &&
           (!audio || sink.AddTrack(s.audioFormat, TRACK_TYPE_AUDIO, 0));
}

// There is no event for it: polls, bounded, until the sink has sent everything queued.
inline bool WaitEmpty(CRTMPSink& sink, std::chrono::seconds bound) {
    for (const auto until = std::chrono::steady_clock::now() + bound; sink.GetQueueSize(0) || sink.GetQueueSize(1);
         std::this_thread::sleep_for(5ms))
        if (std::chrono::steady_clock::now() >= until) return false;
    return true;
}

// Feeds the sink on its own thread until stopped, also when a test ends early.
struct Feeder {
    Feeder(CRTMPSink& sink, const std::string& videoName, const std::string& audioName, sinktest::DriveOptions o)
        : video(sinktest::ReadH264(Fixture(videoName + ".h264"), 25, Fixture(videoName + ".packets.csv"))),
          audio(sinktest::ReadAdts(Fixture(audioName))),
          run(std::async(std::launch::async, [&sink, o, this]() mutable {
              o.stop = &stop;
              return sinktest::Drive(sink, video, audio, o);
          })) {}
    ~Feeder() { Stop(); }
    sinktest::DriveResult Stop() {
        stop.Set();
        return run.valid() ? result = run.get() : result;
    }

    std::vector<sinktest::MediaUnit> video, audio;
    platform::CEvent stop{true, false};
    std::future<sinktest::DriveResult> run;
    sinktest::DriveResult result;
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
    qvtest::TempDir m_settingsDir{"qv-sinkit"};
};

// Errors ffmpeg reports while decoding every frame of the file (empty: clean).
inline std::string DecodeErrors(const std::string& path) {
    qvtest::TempDir dir("qv-decode");
    qvtest::ChildProcess p;
    if (!p.start({{"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "null", "-"}, false, {}, dir.file("err.txt")}))
        return "ffmpeg did not start";
    const auto status = p.wait(120s);
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
