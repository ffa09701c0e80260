// What a tunnel server (or a proxy in front of it) answers, into the response accumulator, in
// pieces whose sizes come from the input: no read outside the buffer, no response larger than
// what arrived, and the buffer never beyond its capacity.
#include <cstdlib>

#include "fuzz/FuzzSupport.h"
#include "rtmp/RtmptHttp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Quiet();
    if (size < 1) return 0;
    rtmp::CHttpResponseAccumulator acc;
    bool open = (data[0] & 1) != 0;
    size_t arrived = 0;
    fuzz::Pieces({data + 1, size - 1}, [&](size_t) { return 1 + size_t(data[0] >> 1) * 29; },
                 [&](std::span<const uint8_t> piece, size_t) {
                     acc.Append(piece);
                     arrived += piece.size();
                     for (int guard = 0; guard < 100000; ++guard) {
                         rtmp::HttpResponse r;
                         bool seen = false;
                         const auto result = acc.Parse(open, r, seen);
                         if (acc.Waiting() > rtmp::CHttpResponseAccumulator::kCapacity) std::abort();
                         if (result != rtmp::CHttpResponseAccumulator::Result::Complete) break;
                         if (r.body.size() > arrived) std::abort();
                         if (!r.body.empty()) {
                             volatile uint8_t sink = static_cast<uint8_t>(r.body.front() ^ r.body.back());
                             (void)sink;
                         }
                         if (!open) open = !rtmp::ExtractClientId(r.body).empty();
                     }
                 });
    return 0;
}
