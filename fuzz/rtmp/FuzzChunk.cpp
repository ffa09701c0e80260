// Server bytes into the chunk codec: handshake first, then chunks, cut into pieces whose sizes
// come from the input. Nothing the server sends may crash the reader, read outside its buffers
// or make it hold memory out of proportion to what arrived.
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/DebugOutput.h"
#include "rtmp/AMF3.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        platform::SetDebugOutputSink([](std::string_view) {});
        return true;
    }();
    (void)quiet;
    if (size < 2) return 0;
    static AMF3 codec;
    static const bool ready = codec.Init();
    if (!ready) return 0;
    codec.Reset();

    // Byte 0: the first bits choose handshake or not, a receive chunk size and a piece size.
    const uint8_t control = data[0];
    const bool handshake = (control & 1) != 0;
    static const int32_t chunkSizes[] = {1, 2, 7, 128, 129, 4096, 65536, 0x7FFFFFFF};
    codec.SetReceiveChunkSize(chunkSizes[(control >> 1) & 7]);
    const size_t piece = 1 + (static_cast<size_t>(control >> 4) * 37);
    std::span<const uint8_t> rest(data + 1, size - 1);

    int mode = handshake ? AMF3::MODE_HANDSHAKE : AMF3::MODE_CHUNKS;
    while (!rest.empty()) {
        const size_t n = rest.size() < piece ? rest.size() : piece;
        codec.PutData(rest.first(n));
        rest = rest.subspan(n);
        AMF3::Header h;
        for (int guard = 0; guard < 100000; ++guard) {
            BS::DataPtr m = codec.GetMessage(mode, &h);
            if (!m) {
                if (mode == AMF3::MODE_HANDSHAKE && codec.GetHandshakeState() == AMF3::HS_DONE) {
                    mode = AMF3::MODE_CHUNKS;
                    continue;
                }
                break;
            }
            // Touch both ends so a record shorter than its size shows.
            if (m->size_actual > 0) {
                volatile uint8_t sink = static_cast<uint8_t>(m->data[0] ^ m->data[m->size_actual - 1]);
                (void)sink;
            }
            if (mode == AMF3::MODE_CHUNKS && h.type == 1 && m->size_actual >= 4) {
                // A server's Set Chunk Size takes effect like in the client.
                const int32_t v = static_cast<int32_t>((uint32_t(m->data[0]) << 24) | (uint32_t(m->data[1]) << 16) |
                                                       (uint32_t(m->data[2]) << 8) | m->data[3]);
                codec.SetReceiveChunkSize(v);
            }
        }
    }
    return 0;
}
