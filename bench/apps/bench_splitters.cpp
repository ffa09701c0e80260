// The host's input splitters against the least work their job needs, on the same bytes.
// H.264: the peer finds every start code with memchr and copies each NAL unit out (no access
// unit grouping, no parameter-set parsing). ADTS: the peer walks the frame lengths and copies
// each frame. Inputs: the 720p fixture and the 48 kHz stereo fixture, fed in 64 KiB reads as the
// host does. The ratio (ours / peer, CPU time) is printed at the end.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "apps/AdtsSplitter.h"
#include "apps/AnnexBSplitter.h"

namespace {

constexpr size_t kRead = 64u << 10;

std::vector<uint8_t> Load(const char* name) {
    const char* env = std::getenv("QV_FIXTURE_DIR");
    const std::string path = std::string(env && *env ? env : QV_FIXTURE_DIR) + "/" + name;
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

const std::vector<uint8_t>& Video() {
    static const std::vector<uint8_t> v = Load("high720.h264");
    return v;
}
const std::vector<uint8_t>& Audio() {
    static const std::vector<uint8_t> a = [] {
        const std::vector<uint8_t> one = Load("aac48s.aac");
        std::vector<uint8_t> all;
        while (!one.empty() && all.size() < (1u << 20)) all.insert(all.end(), one.begin(), one.end());
        return all;
    }();
    return a;
}

void BM_AnnexBSplitter(benchmark::State& state) {
    const auto& s = Video();
    if (s.empty()) return state.SkipWithError("fixture high720.h264 missing");
    int64_t units = 0;
    for (auto _ : state) {
        app::AnnexBSplitter sp;
        for (size_t pos = 0; pos < s.size(); pos += kRead) {
            sp.Push({s.data() + pos, std::min(kRead, s.size() - pos)});
            while (auto u = sp.Next()) {
                benchmark::DoNotOptimize(u->bytes.data());
                ++units;
            }
        }
        sp.End();
        while (auto u = sp.Next()) ++units;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.size()));
    state.counters["units"] = static_cast<double>(units) / static_cast<double>(state.iterations());
}

void BM_PeerNalCopy(benchmark::State& state) {
    const auto& s = Video();
    if (s.empty()) return state.SkipWithError("fixture high720.h264 missing");
    int64_t nals = 0;
    for (auto _ : state) {
        const uint8_t* p = s.data();
        const uint8_t* end = p + s.size();
        const uint8_t* nal = nullptr;
        while (p + 3 <= end) {
            const void* hit = std::memchr(p, 1, static_cast<size_t>(end - p));
            if (!hit) break;
            const uint8_t* one = static_cast<const uint8_t*>(hit);
            if (one - s.data() >= 2 && one[-1] == 0 && one[-2] == 0) {
                if (nal) {
                    std::vector<uint8_t> copy(nal, one - 2);
                    benchmark::DoNotOptimize(copy.data());
                    ++nals;
                }
                nal = one + 1;
            }
            p = one + 1;
        }
        if (nal) {
            std::vector<uint8_t> copy(nal, end);
            benchmark::DoNotOptimize(copy.data());
            ++nals;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.size()));
    state.counters["nals"] = static_cast<double>(nals) / static_cast<double>(state.iterations());
}

void BM_AdtsSplitter(benchmark::State& state) {
    const auto& s = Audio();
    if (s.empty()) return state.SkipWithError("fixture aac48s.aac missing");
    int64_t frames = 0;
    for (auto _ : state) {
        app::AdtsSplitter sp;
        for (size_t pos = 0; pos < s.size(); pos += kRead) {
            sp.Push({s.data() + pos, std::min(kRead, s.size() - pos)});
            while (auto f = sp.Next()) {
                benchmark::DoNotOptimize(f->bytes.data());
                ++frames;
            }
        }
        sp.End();
        while (auto f = sp.Next()) ++frames;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.size()));
    state.counters["frames"] = static_cast<double>(frames) / static_cast<double>(state.iterations());
}

void BM_PeerAdtsWalk(benchmark::State& state) {
    const auto& s = Audio();
    if (s.empty()) return state.SkipWithError("fixture aac48s.aac missing");
    int64_t frames = 0;
    for (auto _ : state) {
        size_t pos = 0;
        while (pos + 7 <= s.size()) {
            const size_t len = ((s[pos + 3] & 3u) << 11) | (size_t{s[pos + 4]} << 3) | (s[pos + 5] >> 5);
            if (len < 7 || len > s.size() - pos) break;
            std::vector<uint8_t> copy(s.begin() + static_cast<std::ptrdiff_t>(pos),
                                      s.begin() + static_cast<std::ptrdiff_t>(pos + len));
            benchmark::DoNotOptimize(copy.data());
            pos += len;
            ++frames;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.size()));
    state.counters["frames"] = static_cast<double>(frames) / static_cast<double>(state.iterations());
}

BENCHMARK(BM_AnnexBSplitter)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PeerNalCopy)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AdtsSplitter)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PeerAdtsWalk)->Unit(benchmark::kMicrosecond);

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        // CPU time: the machine is shared, and wall time mostly measures the neighbours.
        for (const Run& r : runs) times_[r.benchmark_name()] = r.GetAdjustedCPUTime();
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        Ratio("AnnexB splitter / NAL copy", "BM_AnnexBSplitter", "BM_PeerNalCopy");
        Ratio("ADTS splitter / frame walk", "BM_AdtsSplitter", "BM_PeerAdtsWalk");
    }

private:
    void Ratio(const char* what, const char* ours, const char* peer) {
        const double o = times_[ours], p = times_[peer];
        if (o > 0 && p > 0) std::printf("ratio %s (CPU time): %.2f\n", what, o / p);
    }
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
