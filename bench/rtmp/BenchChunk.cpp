// Chunking and reassembly of a 200 KB video body, against a plain memcpy of the same bytes
// measured in the same run. Prints each case's throughput and its time relative to memcpy.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "rtmp/AMF3.h"
#include "rtmp/RtmpDefs.h"

namespace {

constexpr int32_t BODY = 200 * 1024;

std::vector<uint8_t> Body() {
    std::vector<uint8_t> b(BODY);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i * 31 + 7);
    return b;
}

void BM_Memcpy(benchmark::State& state) {
    const std::vector<uint8_t> src = Body();
    std::vector<uint8_t> dst(src.size());
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), src.size());
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * BODY);
}

void BM_Prepare(benchmark::State& state) {
    AMF3 codec;
    codec.Init();
    codec.SetSendChunkSize(static_cast<int32_t>(state.range(0)));
    const std::vector<uint8_t> src = Body();
    BS::DataPtr in(BS::data_t::Create(BODY, false, 0, 0, NO_TIME));
    std::memcpy(in->data, src.data(), src.size());
    in->frame_type = FRAME_P;
    int64_t dts = 0;
    for (auto _ : state) {
        in->dts = in->pts = dts;
        dts += 40;
        BS::DataPtr out = codec.Prepare(*in, 4, RTMP_PT_VIDEO, rtmp::SwapStreamId(1), false);
        benchmark::DoNotOptimize(out->data);
    }
    state.SetBytesProcessed(state.iterations() * BODY);
}

void BM_Reassemble(benchmark::State& state) {
    const int32_t chunk = static_cast<int32_t>(state.range(0));
    AMF3 writer;
    writer.Init();
    writer.SetSendChunkSize(chunk);
    const std::vector<uint8_t> src = Body();
    BS::DataPtr in(BS::data_t::Create(BODY, false, 0, 0, NO_TIME));
    std::memcpy(in->data, src.data(), src.size());
    // Every message after the first has a format-1 header; repeat one of those.
    BS::DataPtr first = writer.Prepare(*in, 4, RTMP_PT_VIDEO, 0, false);
    in->dts = 40;
    BS::DataPtr wire = writer.Prepare(*in, 4, RTMP_PT_VIDEO, 0, false);

    AMF3 reader;
    reader.Init();
    reader.SetReceiveChunkSize(chunk);
    reader.PutData(std::span<const uint8_t>(first->data, static_cast<size_t>(first->size_actual)));
    BS::DataPtr m0 = reader.GetMessage(AMF3::MODE_CHUNKS, nullptr);
    const size_t piece = 65536;
    for (auto _ : state) {
        BS::DataPtr got;
        for (size_t off = 0; off < static_cast<size_t>(wire->size_actual); off += piece) {
            const size_t n = std::min(piece, static_cast<size_t>(wire->size_actual) - off);
            reader.PutData(std::span<const uint8_t>(wire->data + off, n));
            if (BS::DataPtr m = reader.GetMessage(AMF3::MODE_CHUNKS, nullptr)) got = std::move(m);
        }
        if (!got) state.SkipWithError("message not reassembled");
        benchmark::DoNotOptimize(got.get());
    }
    state.SetBytesProcessed(state.iterations() * BODY);
}

BENCHMARK(BM_Memcpy);
BENCHMARK(BM_Prepare)->Arg(128)->Arg(4096);
BENCHMARK(BM_Reassemble)->Arg(128)->Arg(4096);

// Keeps each run's CPU time per iteration (less disturbed than wall time on a shared machine) so
// the ratios can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.error_occurred || r.iterations <= 0) continue;
            // With repetitions, the median stands for the case (it is reported last).
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name != "median") continue;
            times[r.run_name.str()] = r.GetAdjustedCPUTime();
        }
    }
    std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto base = reporter.times.find("BM_Memcpy");
    if (base == reporter.times.end() || base->second <= 0) return 0;
    std::printf("\nCPU time relative to memcpy of the same %d bytes (targets: Prepare 4096 <= 2x, 128 <= 5x):\n", BODY);
    for (const auto& [name, t] : reporter.times)
        if (name != "BM_Memcpy") std::printf("  %-22s %6.2fx\n", name.c_str(), t / base->second);
    benchmark::Shutdown();
    return 0;
}
