// ADTS to RTMP audio bodies: our parser against a bare frame splitter on the same bytes.
// The peer walks the ADTS frame lengths and copies each raw frame into a fresh block behind the
// two body bytes, which is the least any parser has to do; the ratio shows what the framework
// (time map, locks, record creation, consuming) costs on top. Input: the 48 kHz stereo fixture
// repeated to about 1 MB, fed in 4 KiB chunks.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Data.h"
#include "parsers/ParserAACRTMP.h"
#include "tests/parsers/FlvReader.h"

namespace {

constexpr size_t kChunk = 4096;

const std::vector<uint8_t>& Stream() {
    static const std::vector<uint8_t> s = [] {
        const char* env = std::getenv("QV_FIXTURE_DIR");
        const std::string dir = env && *env ? env : QV_FIXTURE_DIR;
        const std::vector<uint8_t> one = testflv::ReadFileBytes(dir + "/aac48s.aac");
        std::vector<uint8_t> all;
        while (!one.empty() && all.size() < (1u << 20)) all.insert(all.end(), one.begin(), one.end());
        return all;
    }();
    return s;
}

void BM_ParserAACRTMP(benchmark::State& state) {
    const auto& s = Stream();
    if (s.empty()) {
        state.SkipWithError("fixture aac48s.aac missing");
        return;
    }
    CParserAACRTMP p;
    p.Init(1048576, false);
    BS::DataPtr chunk(BS::data_t::Create(kChunk, false, NO_TIME, NO_TIME, NO_TIME));
    int64_t frames = 0;
    for (auto _ : state) {
        p.Reset(0);
        for (size_t pos = 0; pos < s.size(); pos += kChunk) {
            const size_t n = std::min(kChunk, s.size() - pos);
            std::memcpy(chunk->data, s.data() + pos, n);
            chunk->size_actual = static_cast<int32_t>(n);
            chunk->pts = chunk->dts = static_cast<int64_t>(pos / 100);
            p.PutChunk(chunk.get());
            BS::data_t* out = nullptr;
            while (p.GetChunk(&out, 0)) {
                benchmark::DoNotOptimize(out->data[2]);
                BS::data_t::Release(out);
                ++frames;
            }
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.size()));
    state.counters["frames"] = static_cast<double>(frames) / static_cast<double>(state.iterations());
}

void BM_PeerFrameSplitter(benchmark::State& state) {
    const auto& s = Stream();
    if (s.empty()) {
        state.SkipWithError("fixture aac48s.aac missing");
        return;
    }
    int64_t frames = 0;
    for (auto _ : state) {
        size_t pos = 0;
        while (pos + 7 <= s.size()) {
            const size_t len = ((s[pos + 3] & 3u) << 11) | (size_t{s[pos + 4]} << 3) | (s[pos + 5] >> 5);
            const size_t hdr = (s[pos + 1] & 1) ? 7 : 9;
            if (len <= hdr || pos + len > s.size()) break;
            BS::DataPtr d(BS::data_t::Create(static_cast<int32_t>(len - hdr + 2), false, 0, 0, 0));
            d->data[0] = 0xAF;
            d->data[1] = 0x01;
            std::memcpy(d->data + 2, s.data() + pos + hdr, len - hdr);
            benchmark::DoNotOptimize(d->data[2]);
            pos += len;
            ++frames;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.size()));
    state.counters["frames"] = static_cast<double>(frames) / static_cast<double>(state.iterations());
}

BENCHMARK(BM_ParserAACRTMP)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PeerFrameSplitter)->Unit(benchmark::kMicrosecond);

// Prints the usual table, then the ratio of our parser's time to the peer's.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        // CPU time: the machine is shared, and wall time mostly measures the neighbours.
        for (const Run& r : runs) times_[r.benchmark_name()] = r.GetAdjustedCPUTime();
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        const double ours = times_["BM_ParserAACRTMP"];
        const double peer = times_["BM_PeerFrameSplitter"];
        if (ours > 0 && peer > 0) std::printf("ratio parser/peer (CPU time): %.2f\n", ours / peer);
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
