// CPU seconds to publish the 60 s 720p stream in real time through the sink to nginx, against
// `ffmpeg -re -c copy -f flv` publishing the same stream to the same server.
//
// Two feeds, each measured over the whole process:
//  - file: the stream is handed to the sink as fast as it takes it (wait mode holds the feeder
//    when the queues are full) and the sink's own pacing makes the publication real time. This
//    is the counterpart of `ffmpeg -re`, which reads a file and publishes it in real time.
//  - encoder: the feeder hands each unit over at its own time, as a live encoder would; the
//    figure then also carries the feeder's own timer wake-ups (one per unit), which an encoder
//    spends whatever it publishes with.
//
// usage: bench_sink_realtime [CACHE_DIR] [SECONDS] [direct]
// `direct`: no transport send buffer (messages written by the multiplex thread itself).
// QV_BENCH_NO_PEER=1 skips the ffmpeg run (quicker rounds while working on the sink).
#include <cstdio>
#include <thread>

#include "../../tests/sink/TestDriver.h"
#include "BenchSupport.h"

namespace {

struct SinkRun {
    double cpu = 0;
    double wall = 0;
    uint64_t videoSent = 0;
    size_t videoUnits = 0;
};

SinkRun Publish(const std::string& url, bool direct, bool encoderPaced, const std::vector<sinktest::MediaUnit>& video,
                const std::vector<sinktest::MediaUnit>& audio) {
    using namespace sinkbench;
    SinkRun r;
    const double cpu0 = CpuSeconds(RUSAGE_SELF);
    const auto t0 = std::chrono::steady_clock::now();
    {
        CRTMPSink sink;
        ConnectionSettings s = Settings(url, 1280, 720);
        if (direct) s.outputBufferSize = 0;
        if (!encoderPaced) s.bufferMode = 0;  // hold the feeder instead of dropping
        if (sink.Init(s, nullptr) != 0) return r;
        sink.AddTrack(s.videoFormat, TRACK_TYPE_VIDEO, 0);
        sink.AddTrack(s.audioFormat, TRACK_TYPE_AUDIO, 0);
        sinktest::DriveOptions o;
        o.realTime = encoderPaced;
        const auto fed = sinktest::Drive(sink, video, audio, o);
        r.videoUnits = fed.videoUnits;
        // The sink paces out what is still queued (up to its queue limits: seconds in the file
        // feed); looked at rarely, so the waiting adds no wake-ups worth counting.
        while (sink.GetQueueSize(0) || sink.GetQueueSize(1)) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        sink.Flush(true, false);
        r.videoSent = sink.VideoMessagesSent();
        PrintThreads(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        sink.Close();
    }
    r.cpu = CpuSeconds(RUSAGE_SELF) - cpu0;
    r.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return r;
}

}  // namespace

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

    std::printf("real-time publish of %d s 720p (%zu video units, %s transport)\n", seconds, video.size(),
                direct ? "direct" : "buffered");
    // ffmpeg publishes at the same time as the sink, so that both meet the same machine: on a
    // shared virtual machine the cost of a wake-up drifts by tens of percent from minute to
    // minute, far more than the two differ by. Each uses about 1% of a core.
    const bool peerWanted = std::getenv("QV_BENCH_NO_PEER") == nullptr;
    auto startPeer = [&](const std::string& name) {
        return !peerWanted ? Peer{}
                           : StartFfmpeg({"ffmpeg", "-nostdin", "-re", "-t", std::to_string(seconds), "-i",
                                          cache + "/b720.flv", "-c", "copy", "-f", "flv", nginx.url(name)});
    };
    std::printf(" file feed, paced by the sink (ffmpeg alongside):\n");
    Peer peer = startPeer("ffmpeg-1");
    const SinkRun file = Publish(nginx.url("file"), direct, false, video, audio);
    const PeerRun peerFile = FinishFfmpeg(peer);
    std::printf(" encoder feed, one hand-over per unit at its time (ffmpeg alongside):\n");
    peer = startPeer("ffmpeg-2");
    const SinkRun encoder = Publish(nginx.url("encoder"), direct, true, video, audio);
    const PeerRun peerEncoder = FinishFfmpeg(peer);

    auto line = [&](const char* name, const SinkRun& r, const PeerRun& p) {
        std::printf("  %-8s sink cpu %.3f s  wall %.1f s  video messages %llu/%zu | ffmpeg cpu %.3f s  wall %.1f s  "
                    "(exit %d) | cpu ratio sink/ffmpeg %.3f\n",
                    name, r.cpu, r.wall, static_cast<unsigned long long>(r.videoSent), r.videoUnits, p.cpu, p.wall,
                    p.status, p.cpu > 0 ? r.cpu / p.cpu : 0.0);
    };
    line("file:", file, peerFile);
    line("encoder:", encoder, peerEncoder);
    std::printf("  target: file feed at most 0.5x ffmpeg's cpu\n");
    return 0;
}
