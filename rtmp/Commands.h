#pragma once
// The AMF0 command and data messages a publishing client sends, body by body. Each builder
// returns a fresh record whose size is the bytes written (dts = pts = 0 unless said otherwise),
// or null when the record cannot be had or the values do not fit into it (logged).
#include <cstdint>
#include <string_view>

#include "foundation/Data.h"

namespace rtmp {

constexpr int32_t COMMAND_RECORD_BYTES = 4096;
constexpr int32_t ONFI_RECORD_BYTES = 128;

// Transaction numbers of the connection sequence.
constexpr int TXN_CONNECT = 1;
constexpr int TXN_RELEASE_STREAM = 1;
constexpr int TXN_FCPUBLISH = 2;
constexpr int TXN_CREATE_STREAM = 3;
constexpr int TXN_PUBLISH = 4;
constexpr int TXN_PUBLISH_RECORD = 5;

enum RecordMode : int32_t { RECORD_MODE_LIVE = 0, RECORD_MODE_RECORD = 1, RECORD_MODE_APPEND = 2 };

struct ConnectParams {
    std::string_view host;
    std::string_view appPath;
    std::string_view authQuery;     // empty unless authenticating
    bool tunnel = false;            // the tcUrl then names rtmpt
    std::string_view flashVer;      // the user agent
    std::string_view connectArgs;   // JSON object text of extra arguments, may be empty
};

BS::DataPtr BuildConnect(const ConnectParams& p);
BS::DataPtr BuildReleaseStream(std::string_view stream);
BS::DataPtr BuildFCPublish(std::string_view stream, int transaction = TXN_FCPUBLISH);
BS::DataPtr BuildCreateStream();
// mode 0: the live publish (transaction 4); 1 "record" and 2 "append" (transaction 5).
BS::DataPtr BuildPublish(std::string_view stream, int32_t mode = RECORD_MODE_LIVE);
BS::DataPtr BuildFCUnpublish(std::string_view stream, int transaction);

// What the onMetaData array describes. Rates are in bit/s; an override of 0 means none.
struct MetadataParams {
    bool hasVideo = false;
    int32_t videoCodecId = 7;
    int32_t width = 0;
    int32_t height = 0;
    double frameRate = 0.0;
    int32_t avcProfile = 0;
    int32_t avcLevel = 0;
    int32_t videoBitrate = 0;
    int32_t videoRateOverride = 0;
    bool hasAudio = false;
    int32_t audioCodecId = 10;
    int32_t sampleRate = 0;
    int32_t channels = 0;
    int32_t audioBitrate = 0;
    int32_t audioRateOverride = 0;
    int32_t audioObjectType = 0;  // ADTS profile + 1
};

BS::DataPtr BuildSetDataFrame(const MetadataParams& m);
BS::DataPtr BuildEmptySetDataFrame();
// The timecode message for a time in microseconds (local calendar time); dts = pts = `dts`.
BS::DataPtr BuildOnFI(int64_t timeMicroseconds, int64_t dts);

}  // namespace rtmp
