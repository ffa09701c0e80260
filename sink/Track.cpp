#include "sink/Track.h"

namespace BS {

track_t::~track_t() { ClearSamples(); }

void track_t::ClearSamples() {
    for (data_t* d : sample_list) data_t::Release(d);
    sample_list.clear();
    last_queued_dts = NO_TIME;
}

}  // namespace BS
