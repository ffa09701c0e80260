// CPU seconds to publish the 60 s 720p stream in real time through the sink to nginx, against
// `ffmpeg -re -c copy -f flv` publishing the same stream to the same server.
// usage: bench_sink_realtime [CACHE_DIR] [SECONDS] [direct]
// `direct`: no transport send buffer (messages written by the multiplex thread itself), the
// configuration with one thread hand-off less per message.
#include <cstdio>
#include <thread>

#include "../../tests/sink/TestDriver.h"
#include "BenchSupport.h"

int main(int argc, char** argv) {
    using namespace sinkbench;
    const std::string cache = argc > 1 ? argv[1] : "bench-media";
    qvtest::TempDir settingsDir("qv-bench-rt");
    PrivateSettings(settingsDir);
    if (!MakeMedia(cache, "b720", "1280x720", 60, "-preset veryfast -b:v 3000k -bf 2")) return 1;
    qvtest::NginxOptions no;
    no.record = false;
    qvtest::NginxServer nginx(no);
    std::string error;
    if (!nginx.start(&error)) {
        std::fprintf(stderr, "nginx: %s\n", error.c_str());
        return 1;
    }
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 60;
    const bool direct = argc > 3 && std::string(argv[3]) == "direct";
    auto video = sinktest::ReadH264(cache + "/b720.h264", 30, cache + "/b720.packets.csv");
    auto audio = sinktest::ReadAdts(cache + "/b720.aac");
    while (!video.empty() && video.back().time >= seconds * 1000) video.pop_back();
    while (!audio.empty() && audio.back().time >= seconds * 1000) audio.pop_back();

    const double cpu0 = CpuSeconds(RUSAGE_SELF);
    const auto t0 = std::chrono::steady_clock::now();
    uint64_t sent = 0;
    {
        CRTMPSink sink;
        ConnectionSettings s = Settings(nginx.url("sink"), 1280, 720);
        if (direct) s.outputBufferSize = 0;
        if (sink.Init(s, nullptr) != 0) return 1;
        sink.AddTrack(s.videoFormat, TRACK_TYPE_VIDEO, 0);
        sink.AddTrack(s.audioFormat, TRACK_TYPE_AUDIO, 0);
        sinktest::DriveOptions o;
        sinktest::Drive(sink, video, audio, o);
        while (sink.GetQueueSize(0) || sink.GetQueueSize(1)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        sink.Flush(true, false);
        sent = sink.VideoMessagesSent();
        sink.Close();
    }
    const double ourCpu = CpuSeconds(RUSAGE_SELF) - cpu0;
    const double ourWall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    const PeerRun peer = RunFfmpeg({"ffmpeg", "-nostdin", "-re", "-t", std::to_string(seconds), "-i",
                                    cache + "/b720.flv", "-c", "copy", "-f", "flv", nginx.url("ffmpeg")});
    std::printf("real-time publish of %d s 720p (%zu video units, %llu video messages sent)\n", seconds, video.size(),
                static_cast<unsigned long long>(sent));
    std::printf("  sink:   cpu %.3f s  wall %.1f s  (%s transport)\n", ourCpu, ourWall, direct ? "direct" : "buffered");
    std::printf("  ffmpeg: cpu %.3f s  wall %.1f s  (exit %d)\n", peer.cpu, peer.wall, peer.status);
    std::printf("  cpu ratio sink/ffmpeg: %.3f  (target <= 0.5)\n", peer.cpu > 0 ? ourCpu / peer.cpu : 0.0);
    return 0;
}
