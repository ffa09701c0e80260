// Random and mutated H.264 byte streams through the video parser in random chunk sizes, with the
// three timestamp models, restarts and the padding flag. The input buffer is small so overflow
// and the bounded NAL list are reached; nothing may crash, hang or read out of bounds.
//
// Input layout: byte 0 options (bits 0-1 timestamp mode, bit 2 padding, bit 3 restarts), bytes
// 1-2 the chunk-size seed, the rest the stream (the seed corpus holds real stream snippets).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "foundation/Data.h"
#include "parsers/H264ParserFactory.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const uint8_t options = data[0];
    uint32_t seed = (uint32_t{data[1]} << 8) | data[2];
    data += 3;
    size -= 3;
    const int32_t mode = options & 3;
    CParserH264RTMP parser(mode == 2 || mode == 3 ? H264_TS_PICTURE_ORDER : H264_TS_ADVANCED);
    if (!parser.Init(64 * 1024, mode & 1, 1, 0)) return 0;
    parser.SetPassthroughPadding((options & 4) != 0);
    size_t pos = 0;
    int chunks = 0;
    while (pos < size) {
        seed = seed * 1103515245u + 12345u;
        size_t n = 1 + ((seed >> 16) % 2048);
        if (n > size - pos) n = size - pos;
        BS::data_t* d = BS::data_t::Create(static_cast<int32_t>(n), false, (seed & 8) ? NO_TIME : int64_t(pos), NO_TIME, NO_TIME);
        if (!d) return 0;
        d->pts = d->dts;
        std::memcpy(d->data, data + pos, n);
        parser.PutChunk(d);
        BS::data_t::Release(d);
        pos += n;
        BS::data_t* out = nullptr;
        while (parser.GetChunk(&out, 0)) {
            BS::data_t::Release(out);
            out = nullptr;
        }
        if ((options & 8) && (++chunks % 7) == 0) parser.Reset(BS::CBaseParser::RESET_RESTART);
    }
    BS::data_t* out = nullptr;
    for (int i = 0; i < 100000 && parser.GetChunk(&out, 1); ++i) {
        BS::data_t::Release(out);
        out = nullptr;
    }
    BS::format_t f;
    parser.GetFormat(&f);
    return 0;
}
