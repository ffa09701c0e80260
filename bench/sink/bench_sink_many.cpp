// 100 sinks in one process, each publishing a 500 kbit/s stream in real time to one nginx for
// 30 s: dropped frames, total CPU and RSS, and the RSS each additional stream costs against one
// ffmpeg process publishing the same stream.
// usage: bench_sink_many [CACHE_DIR] [STREAMS] [SECONDS]
#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>

#include "../../tests/sink/TestDriver.h"
#include "BenchSupport.h"

int main(int argc, char** argv) {
    using namespace sinkbench;
    const std::string cache = argc > 1 ? argv[1] : "bench-media";
    const int streams = argc > 2 ? std::atoi(argv[2]) : 100;
    const int seconds = argc > 3 ? std::atoi(argv[3]) : 30;
    qvtest::TempDir settingsDir("qv-bench-many");
    PrivateSettings(settingsDir);
    if (!MakeMedia(cache, "b500", "480x270", 30, "-preset veryfast -b:v 400k -maxrate 450k -bufsize 900k -bf 2"))
        return 1;
    BenchNginx nginx;
    if (!nginx.Start()) {
        std::fprintf(stderr, "nginx did not start\n");
        return 1;
    }
    auto video = sinktest::ReadH264(cache + "/b500.h264", 30, cache + "/b500.packets.csv");
    auto audio = sinktest::ReadAdts(cache + "/b500.aac");
    while (!video.empty() && video.back().time >= seconds * 1000) video.pop_back();
    while (!audio.empty() && audio.back().time >= seconds * 1000) audio.pop_back();

    const long rss0 = RssKb();
    const double cpu0 = CpuSeconds(RUSAGE_SELF);
    std::vector<std::unique_ptr<CRTMPSink>> sinks;
    for (int i = 0; i < streams; ++i) {
        auto sink = std::make_unique<CRTMPSink>();
        ConnectionSettings s = Settings(nginx.Url("s" + std::to_string(i)), 480, 270);
        if (sink->Init(s, nullptr) != 0) {
            std::fprintf(stderr, "stream %d did not connect\n", i);
            return 1;
        }
        sink->AddTrack(s.videoFormat, TRACK_TYPE_VIDEO, 0);
        sink->AddTrack(s.audioFormat, TRACK_TYPE_AUDIO, 0);
        sinks.push_back(std::move(sink));
    }
    std::atomic<long> rssPeak{0};
    std::vector<std::thread> feeders;
    std::vector<sinktest::DriveResult> results(static_cast<size_t>(streams));
    for (int i = 0; i < streams; ++i)
        feeders.emplace_back([&, i] { results[static_cast<size_t>(i)] = sinktest::Drive(*sinks[static_cast<size_t>(i)], video, audio, {}); });
    std::thread sampler([&] {
        for (int t = 0; t < seconds * 10; ++t) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            rssPeak = std::max(rssPeak.load(), RssKb());
        }
    });
    for (auto& f : feeders) f.join();
    sampler.join();
    uint64_t sent = 0, dropped = 0;
    for (auto& s : sinks) {
        while (s->GetQueueSize(0) || s->GetQueueSize(1)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        sent += s->VideoMessagesSent();
        dropped += s->DroppedUnits();
    }
    const double cpu = CpuSeconds(RUSAGE_SELF) - cpu0;
    for (auto& s : sinks) s->Close();
    sinks.clear();

    const uint64_t fed = static_cast<uint64_t>(streams) * video.size();
    const PeerRun peer = RunFfmpeg({"ffmpeg", "-nostdin", "-re", "-t", std::to_string(seconds), "-i", cache + "/b500.flv",
                                    "-c", "copy", "-f", "flv", nginx.Url("ffmpeg")});
    const double perStream = static_cast<double>(rssPeak.load() - rss0) / streams;
    std::printf("%d sinks x %d s of 500 kbit/s in one process\n", streams, seconds);
    // The last units of a stream wait in its parser for what follows them (reordering).
    std::printf("  video units fed %llu, sent %llu, dropped by the sink %llu\n", static_cast<unsigned long long>(fed),
                static_cast<unsigned long long>(sent - static_cast<uint64_t>(streams)),
                static_cast<unsigned long long>(dropped));
    std::printf("  process cpu %.2f s (%.1f%% of one core), rss before %ld kB, peak %ld kB\n", cpu,
                100.0 * cpu / seconds, rss0, rssPeak.load());
    std::printf("  rss per additional stream %.0f kB; one ffmpeg publisher max rss %ld kB (cpu %.2f s)\n", perStream,
                peer.maxRssKb, peer.cpu);
    std::printf("  rss ratio per stream/ffmpeg: %.3f  (target <= 0.25)\n",
                peer.maxRssKb > 0 ? perStream / static_cast<double>(peer.maxRssKb) : 0.0);
    return 0;
}
