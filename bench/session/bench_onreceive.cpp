// The receive side of a publishing connection: what OnReceive adds on top of the chunk codec.
// The same server byte stream (acknowledgements, bandwidth messages, onStatus and _result
// replies, data messages) is fed in 64 KiB reads to a bare codec (PutData + GetMessage until
// empty) and to the client's OnReceive (the same, plus dispatch). The ratio of the two, measured
// in the same run, is the dispatch overhead; neither touches a socket.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "platform/DebugOutput.h"
#include "rtmp/AMF3.h"
#include "rtmp/RtmpDefs.h"
#include "rtmp/session/RTMPClient.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Append(Bytes& out, uint8_t cs, uint8_t type, const Bytes& body) {
    const uint8_t header[12] = {cs, 0, 0, 0, static_cast<uint8_t>(body.size() >> 16), static_cast<uint8_t>(body.size() >> 8),
                                static_cast<uint8_t>(body.size()), type, 1, 0, 0, 0};
    out.insert(out.end(), header, header + 12);
    for (size_t off = 0; off < body.size(); off += 128) {
        if (off) out.push_back(static_cast<uint8_t>(0xC0 | cs));
        out.insert(out.end(), body.begin() + static_cast<std::ptrdiff_t>(off),
                   body.begin() + static_cast<std::ptrdiff_t>(std::min(body.size(), off + 128)));
    }
}

Bytes Str(const char* s) {
    const size_t n = std::strlen(s);
    Bytes b(3 + n);
    b[0] = 0x02;
    b[1] = static_cast<uint8_t>(n >> 8);
    b[2] = static_cast<uint8_t>(n);
    std::memcpy(b.data() + 3, s, n);
    return b;
}

const Bytes& Stream() {
    static const Bytes s = [] {
        Bytes out;
        Bytes status = Str("onStatus");
        const uint8_t zero[] = {0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0x05, 0x03, 0x00, 0x04, 'c', 'o', 'd', 'e'};
        status.insert(status.end(), zero, zero + sizeof zero);
        Bytes code = Str("NetStream.Publish.Start");
        status.insert(status.end(), code.begin(), code.end());
        status.insert(status.end(), {0x00, 0x00, 0x09});
        Bytes result = Str("_result");
        const uint8_t one[] = {0x00, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0, 0x05};
        result.insert(result.end(), one, one + sizeof one);
        Bytes notify = Str("onMetaData");
        notify.resize(300, 0x05);
        for (int i = 0; i < 2000; ++i) {
            Append(out, 2, RTMP_PT_BYTES_READ, {0, 1, 0, static_cast<uint8_t>(i)});
            Append(out, 2, RTMP_PT_SERVER_BW, {0, 0x4C, 0x4B, 0x40});
            Append(out, 5, RTMP_PT_INVOKE, status);
            Append(out, 3, RTMP_PT_INVOKE, result);
            Append(out, 6, RTMP_PT_NOTIFY, notify);
        }
        return out;
    }();
    return s;
}

template <class Feed>
void Run(benchmark::State& state, Feed feed) {
    const Bytes& s = Stream();
    for (auto _ : state) {
        for (size_t off = 0; off < s.size(); off += 65536) feed(s.data() + off, std::min<size_t>(65536, s.size() - off));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(s.size()));
}

void BM_CodecOnly(benchmark::State& state) {
    AMF3 codec;
    codec.Init();
    Run(state, [&](const uint8_t* p, size_t n) {
        codec.PutData({p, n});
        while (BS::DataPtr m = codec.GetMessage(AMF3::MODE_CHUNKS, nullptr)) benchmark::DoNotOptimize(m.get());
    });
}

void BM_ClientOnReceive(benchmark::State& state) {
    platform::SetDebugOutputSink([](std::string_view) {});
    CRTMPClient client;
    client.SetReceiveMode(CRTMPClient::RECEIVE_CHUNKS);
    Run(state, [&](const uint8_t* p, size_t n) { client.OnReceive(p, static_cast<int>(n), nullptr); });
    platform::SetDebugOutputSink({});
}

BENCHMARK(BM_CodecOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ClientOnReceive)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
