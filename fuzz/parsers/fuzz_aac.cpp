// Feeds arbitrary bytes to the ADTS parsers in chunk sizes, times and resets chosen by the input.
// Input layout: byte 0 picks the buffer size, byte 1 the parser and options, then the stream
// itself; every chunk boundary consumes one more control byte from the front of the stream.
// Checks that every record is a well-formed RTMP audio body and that nothing piles up.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

#include "foundation/Data.h"
#include "parsers/ParserAACRTMP.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

void DrainAndCheck(BS::CBaseParser& p, bool rtmp) {
    BS::data_t* raw = nullptr;
    while (p.GetChunk(&raw, 0)) {
        BS::DataPtr d(raw);
        Check(d->data != nullptr && d->size_actual > 0 && d->size_actual <= d->size_max);
        // An ADTS frame is at most 8191 bytes; a body is never larger.
        Check(d->size_actual <= 8191 + 2);
        if (!rtmp) {
            Check(d->size_actual > 7 && d->data[0] == 0xFF && (d->data[1] & 0xF0) == 0xF0);
            continue;
        }
        Check(d->data[0] == 0xAF);
        if (d->config) {
            Check(d->size_actual == 4 && d->data[1] == 0x00);
        } else {
            Check(d->size_actual >= 3 && d->data[1] == 0x01);
            Check(d->duration_s > 0.0 && d->duration_s < 0.2);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const int32_t bufferSize = 64 << (data[0] % 11);  // 64 B .. 64 KiB
    const uint8_t mode = data[1];
    const bool rtmp = (mode & 1) == 0;
    std::unique_ptr<CParserAACBase> p = rtmp ? std::make_unique<CParserAACRTMP>() : std::make_unique<CParserAACBase>();
    Check(p->Init(bufferSize, (mode & 2) != 0));
    if (mode & 4) p->SetBitrate(128000);

    std::span<const uint8_t> rest(data + 2, size - 2);
    int64_t t = 0;
    while (!rest.empty()) {
        const uint8_t ctl = rest[0];
        rest = rest.subspan(1);
        // Mostly small chunks, sometimes a large one that crosses the buffer size.
        size_t n = (ctl & 0x80) ? static_cast<size_t>(ctl & 0x7F) * 97 : static_cast<size_t>(ctl & 0x3F) + 1;
        if (n > rest.size()) n = rest.size();
        if (n == 0) continue;
        BS::DataPtr chunk(BS::data_t::Create(static_cast<int32_t>(n), false, NO_TIME, NO_TIME, NO_TIME));
        Check(chunk != nullptr);
        std::copy(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(n), chunk->data);
        if (ctl & 0x40) {
            t += ctl;
            chunk->pts = chunk->dts = t;
        }
        p->PutChunk(chunk.get());
        rest = rest.subspan(n);
        DrainAndCheck(*p, rtmp);
        if ((ctl & 0xC7) == 0x07) p->Reset((mode >> 3) & 3);
    }
    p->Free();
    return 0;
}
