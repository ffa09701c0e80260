// Random and mutated H.264 byte streams through the video parser in random chunk sizes, with the
// three timestamp models, restarts and the padding flag. The input buffer is small so overflow
// and the bounded NAL list are reached; nothing may crash, hang or read out of bounds.
//
// Input layout: byte 0 options (bits 0-1 timestamp mode, bit 2 padding, bit 3 restarts), bytes
// 1-2 the chunk-size seed, the rest the stream (the seed corpus holds real stream snippets).
#include <climits>
#include <cstring>

#include "foundation/Data.h"
#include "fuzz/FuzzSupport.h"
#include "parsers/H264ParserFactory.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const uint8_t options = data[0];
    uint32_t seed = (uint32_t{data[1]} << 8) | data[2];
    CParserH264RTMP parser((options & 3) >= 2 ? H264_TS_PICTURE_ORDER : H264_TS_ADVANCED);
    if (!parser.Init(64 * 1024, options & 1, 1, 0)) return 0;
    parser.SetPassthroughPadding((options & 4) != 0);
    parser.SetPassthroughSei((options & 8) != 0);
    auto drain = [&](int flush, int limit) {
        BS::data_t* out = nullptr;
        for (int i = 0; i < limit && parser.GetChunk(&out, flush); ++i, out = nullptr) BS::data_t::Release(out);
    };
    int chunks = 0;
    fuzz::Pieces({data + 3, size - 3}, [&](size_t) { return 1 + (((seed = seed * 1103515245u + 12345u) >> 16) % 2048); },
                 [&](std::span<const uint8_t> piece, size_t pos) {
                     BS::data_t* d = BS::data_t::Create(static_cast<int32_t>(piece.size()), false, (seed & 8) ? NO_TIME : (seed & 16) ? int64_t(seed % 65536) - 32768 : int64_t(pos), NO_TIME, NO_TIME);
                     fuzz::Check(d != nullptr);
                     d->pts = d->dts;
                     std::memcpy(d->data, piece.data(), piece.size());
                     parser.PutChunk(d);
                     BS::data_t::Release(d);
                     drain(0, INT_MAX);
                     if ((options & 8) && (++chunks % 7) == 0) parser.Reset(BS::CBaseParser::RESET_RESTART);
                 });
    drain(1, 100000);
    BS::format_t f;
    parser.GetFormat(&f);
    return 0;
}
