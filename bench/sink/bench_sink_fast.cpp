// As-fast-as-possible publishing of the 60 s 720p stream (the sink without pacing, as after a
// Flush with send) against ffmpeg without -re: the x-realtime factor of each.
// usage: bench_sink_fast [CACHE_DIR] [direct]
// `direct`: no transport send buffer (messages written by the multiplex thread itself).
#include <cstdio>
#include <thread>

#include "../../tests/sink/TestDriver.h"
#include "BenchSupport.h"

int main(int argc, char** argv) {
    using namespace sinkbench;
    const std::string cache = argc > 1 ? argv[1] : "bench-media";
    const bool direct = argc > 2 && std::string(argv[2]) == "direct";
    qvtest::TempDir settingsDir("qv-bench-fast");
    PrivateSettings(settingsDir);
    if (!MakeMedia(cache, "b720", "1280x720", 60, "-preset veryfast -b:v 3000k -bf 2")) return 1;
    qvtest::NginxOptions no;
    no.record = false;
    qvtest::NginxServer nginx(no);
    std::string error;
    if (!nginx.start(&error)) return 1;
    const auto video = sinktest::ReadH264(cache + "/b720.h264", 30, cache + "/b720.packets.csv");
    const auto audio = sinktest::ReadAdts(cache + "/b720.aac");
    const double media = video.back().time / 1000.0 + 1.0 / 30;

    const auto t0 = std::chrono::steady_clock::now();
    const double cpu0 = CpuSeconds(RUSAGE_SELF);
    uint64_t sent = 0;
    double ourWall = 0, ourCpu = 0;
    ConnectionSettings s = Settings(nginx.url("sink"), 1280, 720);
    {
        CRTMPSink sink;
        s.bufferMode = 0;  // hold the producer instead of dropping
        if (direct) s.outputBufferSize = 0;
        if (sink.Init(s, nullptr) != 0) return 1;
        sink.AddTrack(s.videoFormat, TRACK_TYPE_VIDEO, 0);
        sink.AddTrack(s.audioFormat, TRACK_TYPE_AUDIO, 0);
        sink.Flush(false, false);  // from here on the interleaver does not pace
        sinktest::DriveOptions o;
        o.realTime = false;
        sinktest::Drive(sink, video, audio, o);
        while (sink.GetQueueSize(0) || sink.GetQueueSize(1)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        sink.Flush(true, false);
        // Published means handed to the socket; the unpublish handshake of Close is not timed
        // (it waits for the server's answer).
        // (the send thread writes whole packets; a last partial one waits for more data).
        const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (sink.Client().GetSendBufferFillness() >= s.outputPacketSize && std::chrono::steady_clock::now() < bound)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ourWall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        ourCpu = CpuSeconds(RUSAGE_SELF) - cpu0;
        sent = sink.VideoMessagesSent();
        sink.Close();
    }
    const PeerRun peer =
        RunFfmpeg({"ffmpeg", "-nostdin", "-i", cache + "/b720.flv", "-c", "copy", "-f", "flv", nginx.url("ffmpeg")});
    std::printf("as-fast-as-possible publish of %.1f s 720p (%llu video messages)\n", media,
                static_cast<unsigned long long>(sent));
    std::printf("  sink:   wall %.2f s  cpu %.2f s  x-realtime %.1f  (%s transport)\n", ourWall, ourCpu, media / ourWall,
                direct ? "direct" : "buffered");
    std::printf("  ffmpeg: wall %.2f s  cpu %.2f s  x-realtime %.1f  (exit %d)\n", peer.wall, peer.cpu,
                media / peer.wall, peer.status);
    std::printf("  x-realtime ratio sink/ffmpeg: %.2f\n", peer.wall > 0 ? peer.wall / ourWall : 0.0);
    return 0;
}
