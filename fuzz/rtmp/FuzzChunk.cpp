// Server bytes into the chunk codec: handshake first, then chunks, cut into pieces whose sizes
// come from the input. Nothing the server sends may crash the reader, read outside its buffers
// or make it hold memory out of proportion to what arrived.
#include "fuzz/FuzzSupport.h"
#include "rtmp/AMF3.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Quiet();
    static AMF3 codec;
    static const bool ready = codec.Init();
    if (size < 2 || !ready) return 0;
    codec.Reset();
    // Byte 0: bit 0 handshake or not, bits 1-3 a receive chunk size, bits 4-7 the piece size.
    static const int32_t chunkSizes[] = {1, 2, 7, 128, 129, 4096, 65536, 0x7FFFFFFF};
    codec.SetReceiveChunkSize(chunkSizes[(data[0] >> 1) & 7]);
    int mode = (data[0] & 1) ? AMF3::MODE_HANDSHAKE : AMF3::MODE_CHUNKS;
    fuzz::Pieces({data + 1, size - 1}, [&](size_t) { return 1 + size_t(data[0] >> 4) * 37; }, [&](std::span<const uint8_t> piece, size_t) {
        codec.PutData(piece);
        AMF3::Header h;
        for (int guard = 0; guard < 100000; ++guard) {
            BS::DataPtr m = codec.GetMessage(mode, &h);
            if (!m && mode == AMF3::MODE_HANDSHAKE && codec.GetHandshakeState() == AMF3::HS_DONE) {
                mode = AMF3::MODE_CHUNKS;
                continue;
            }
            if (!m) break;
            if (m->size_actual > 0) {  // touch both ends so a record shorter than its size shows
                volatile uint8_t sink = static_cast<uint8_t>(m->data[0] ^ m->data[m->size_actual - 1]);
                (void)sink;
            }
            // A server's Set Chunk Size takes effect like in the client.
            if (mode == AMF3::MODE_CHUNKS && h.type == 1 && m->size_actual >= 4)
                codec.SetReceiveChunkSize(int32_t(uint32_t(m->data[0]) << 24 | uint32_t(m->data[1]) << 16 | uint32_t(m->data[2]) << 8 | m->data[3]));
        }
    });
    return 0;
}
