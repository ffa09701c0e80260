#pragma once
// The media sample record that flows renderer -> sink -> parser -> sink -> RTMP client.
#include <cstdint>
#include <memory>

#include "foundation/Types.h"

namespace BS {

struct data_t {
    int64_t dts = NO_TIME;       // ms
    int64_t pts = NO_TIME;       // ms
    int64_t bts = NO_TIME;       // ms, when the unit would leave a constant-rate channel
    int64_t duration = 0;        // ms
    int32_t size_actual = 0;     // valid payload bytes
    int32_t size_max = 0;        // allocated payload bytes
    uint8_t* data = nullptr;     // owned
    bool config = false;         // decoder configuration unit: never dropped
    bool preroll = false;
    int32_t frame_type = FRAME_UNKNOWN;
    double duration_s = 0.0;
    // nal_ref_idc of a picture (0 also when not known): whether later pictures may predict from
    // it, which decides what the sink's frame dropping may take without breaking the others.
    int32_t nal_ref_idc = 0;

    // Allocates a record with a payload of `size` bytes; nullptr when the payload cannot be had.
    static data_t* Create(int32_t size, bool config, int64_t dts, int64_t pts, int64_t bts);
    // Frees the payload and the record; null is accepted.
    static void Release(data_t* record);
};

struct DataReleaser {
    void operator()(data_t* d) const { data_t::Release(d); }
};
using DataPtr = std::unique_ptr<data_t, DataReleaser>;

// Graph time (100-ns units) to record milliseconds, rounding half away from zero.
int64_t GraphTimeToMs(int64_t t100ns);

}  // namespace BS
