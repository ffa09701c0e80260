#include "foundation/Data.h"

#include <new>

namespace BS {

data_t* data_t::Create(int32_t size, bool config, int64_t dts, int64_t pts, int64_t bts) {
    if (size < 0) return nullptr;
    auto* d = new (std::nothrow) data_t;
    if (!d) return nullptr;
    // Always allocate at least one byte so a zero-length unit still has a distinct block.
    d->data = new (std::nothrow) uint8_t[size > 0 ? size : 1];
    if (!d->data) {
        delete d;
        return nullptr;
    }
    d->size_actual = d->size_max = size;
    d->config = config;
    d->dts = dts;
    d->pts = pts;
    d->bts = bts;
    return d;
}

void data_t::Release(data_t* record) {
    if (!record) return;
    delete[] record->data;
    record->data = nullptr;
    delete record;
}

int64_t GraphTimeToMs(int64_t t) {
    return t >= 0 ? (t + 5000) / 10000 : (t - 5000) / 10000;
}

}  // namespace BS
