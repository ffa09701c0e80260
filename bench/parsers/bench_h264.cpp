// H.264 Annex B to RTMP video bodies: the parser (start-code search, NAL list, access units,
// slice headers, length-prefixed bodies, the timestamp model) on the 720p High-profile fixture
// from memory in 64 KiB chunks, against ffmpeg remuxing the same file to FLV
// (ffmpeg -f h264 -i FILE -c copy -f flv -y /dev/null, plus a setts filter that gives the B
// pictures a pts so the muxer accepts them), measured in the same run. Both sides are
// CPU seconds: ours from the benchmark's CPU clock, ffmpeg's from its process accounting
// (fork/exec, then wait4's rusage), so neighbours on a shared machine do not skew the ratio.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "foundation/Data.h"
#include "parsers/H264ParserFactory.h"
#include "tests/parsers/FlvReader.h"

namespace {

constexpr size_t kChunk = 64 * 1024;

std::string FixturePath() {
    const char* env = std::getenv("QV_FIXTURE_DIR");
    const std::string dir = env && *env ? env : QV_FIXTURE_DIR;
    return dir + "/high720.h264";
}

const std::vector<uint8_t>& Stream() {
    static const std::vector<uint8_t> s = testflv::ReadFileBytes(FixturePath());
    return s;
}

void Parse(benchmark::State& state, int32_t model) {
    const auto& s = Stream();
    if (s.empty()) {
        state.SkipWithError("fixture high720.h264 missing");
        return;
    }
    CParserH264RTMP p(model);
    p.Init(CParserH264RTMP::kDefaultBufferSize, H264_TS_ADVANCED, 1, 0);
    BS::DataPtr chunk(BS::data_t::Create(kChunk, false, NO_TIME, NO_TIME, NO_TIME));
    int64_t units = 0;
    for (auto _ : state) {
        p.Reset(0);
        for (size_t pos = 0; pos < s.size(); pos += kChunk) {
            const size_t n = std::min(kChunk, s.size() - pos);
            std::memcpy(chunk->data, s.data() + pos, n);
            chunk->size_actual = static_cast<int32_t>(n);
            p.PutChunk(chunk.get());
            BS::data_t* out = nullptr;
            while (p.GetChunk(&out, pos + n >= s.size() ? 1 : 0)) {
                benchmark::DoNotOptimize(out->data[0]);
                BS::data_t::Release(out);
                ++units;
            }
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.size()));
    state.counters["units"] = static_cast<double>(units) / static_cast<double>(state.iterations());
}

void BM_H264Parser(benchmark::State& state) { Parse(state, H264_TS_ADVANCED); }
void BM_H264ParserPictureOrder(benchmark::State& state) { Parse(state, H264_TS_PICTURE_ORDER); }

// One ffmpeg run per iteration; the iteration's time is ffmpeg's user + system CPU time.
void BM_FfmpegRemux(benchmark::State& state) {
    const std::string path = FixturePath();
    if (Stream().empty()) {
        state.SkipWithError("fixture high720.h264 missing");
        return;
    }
    for (auto _ : state) {
        const pid_t pid = fork();
        if (pid == 0) {
            // The raw stream's B pictures come without pts, which the FLV muxer refuses; setts
            // fills them from dts (the cheapest fix, and what the muxer would otherwise need).
            execlp("ffmpeg", "ffmpeg", "-nostdin", "-v", "error", "-threads", "1", "-f", "h264", "-i", path.c_str(),
                   "-c", "copy", "-bsf:v", "setts=pts=if(eq(PTS\\,NOPTS)\\,DTS\\,PTS)", "-f", "flv", "-y",
                   "/dev/null", static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        struct rusage ru {};
        if (pid < 0 || wait4(pid, &status, 0, &ru) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("ffmpeg did not run");
            return;
        }
        const double cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
        state.SetIterationTime(cpu);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Stream().size()));
}

BENCHMARK(BM_H264Parser)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_H264ParserPictureOrder)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FfmpegRemux)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            // ffmpeg's figure is its manual (CPU) time; ours is the benchmark's CPU time.
            const bool manual = r.benchmark_name().find("Ffmpeg") != std::string::npos;
            times_[r.run_name.function_name] = manual ? r.GetAdjustedRealTime() : r.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        const double mb = static_cast<double>(Stream().size()) / 1e6;
        const double peer = times_["BM_FfmpegRemux"];
        for (const char* name : {"BM_H264Parser", "BM_H264ParserPictureOrder"}) {
            const double ours = times_[name];
            if (ours > 0 && peer > 0)
                std::printf("%s: %.1f MB/s, ffmpeg %.1f MB/s, throughput ratio %.1fx\n", name, mb / (ours / 1e3),
                            mb / (peer / 1e3), peer / ours);
        }
    }

private:
    std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
