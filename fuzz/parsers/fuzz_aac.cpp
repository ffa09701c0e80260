// Feeds arbitrary bytes to the ADTS parsers in chunk sizes, times and resets chosen by the input.
// Input layout: byte 0 picks the buffer size, byte 1 the parser and options, then the stream
// itself; every chunk boundary consumes one more control byte from the front of the stream.
// Checks that every record is a well-formed RTMP audio body and that nothing piles up.
#include <memory>

#include "foundation/Data.h"
#include "fuzz/FuzzSupport.h"
#include "parsers/ParserAACRTMP.h"

using fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t mode = data[1];
    const bool rtmp = (mode & 1) == 0;
    std::unique_ptr<CParserAACBase> p = rtmp ? std::make_unique<CParserAACRTMP>() : std::make_unique<CParserAACBase>();
    Check(p->Init(64 << (data[0] % 11), (mode & 2) != 0));  // a buffer of 64 B .. 64 KiB
    if (mode & 4) p->SetBitrate(128000);
    int64_t t = 0;
    for (size_t pos = 2; pos < size;) {
        const uint8_t ctl = data[pos++];
        // Mostly small chunks, sometimes a large one that crosses the buffer size.
        const size_t n = std::min((ctl & 0x80) ? size_t(ctl & 0x7F) * 97 : size_t(ctl & 0x3F) + 1, size - pos);
        if (n == 0) continue;
        BS::DataPtr chunk(BS::data_t::Create(static_cast<int32_t>(n), false, NO_TIME, NO_TIME, NO_TIME));
        Check(chunk != nullptr);
        std::copy(data + pos, data + pos + n, chunk->data);
        if (ctl & 0x40) chunk->pts = chunk->dts = (t += ctl);
        p->PutChunk(chunk.get());
        pos += n;
        BS::data_t* raw = nullptr;
        while (p->GetChunk(&raw, 0)) {
            BS::DataPtr d(raw);
            // An ADTS frame is at most 8191 bytes; a body is never larger.
            Check(d->data != nullptr && d->size_actual > 0 && d->size_actual <= d->size_max && d->size_actual <= 8191 + 2);
            if (!rtmp) Check(d->size_actual > 7 && d->data[0] == 0xFF && (d->data[1] & 0xF0) == 0xF0);
            else if (d->config) Check(d->data[0] == 0xAF && d->size_actual == 4 && d->data[1] == 0x00);
            else Check(d->data[0] == 0xAF && d->size_actual >= 3 && d->data[1] == 0x01 && d->duration_s > 0.0 && d->duration_s < 0.2);
        }
        if ((ctl & 0xC7) == 0x07) p->Reset((mode >> 3) & 3);
    }
    p->Free();
    return 0;
}
