#include "rtmp/Commands.h"

#include <cstdio>
#include <ctime>
#include <utility>

#include "foundation/Log.h"
#include "rtmp/AmfWriter.h"
#include "rtmp/JsonAmf0.h"
#include "rtmp/RtmpUrl.h"

namespace rtmp {

namespace {

constexpr size_t MIN_CONNECT_ARGS_TEXT = 3;

BS::DataPtr NewRecord(int32_t bytes) {
    return BS::DataPtr(BS::data_t::Create(bytes, false, 0, 0, NO_TIME));
}

// Closes a builder: the record's size becomes the bytes written, or the record is dropped when
// something did not fit.
BS::DataPtr Finish(BS::DataPtr rec, const CAmfWriter& w, const char* what) {
    if (w.Failed()) {
        Log(LOG_ERROR, 0, "RTMP %s message does not fit into %d bytes and is not sent", what,
            static_cast<int>(w.Capacity()));
        return nullptr;
    }
    rec->size_actual = static_cast<int32_t>(w.Size());
    return rec;
}

CAmfWriter WriterFor(BS::data_t& rec) {
    return CAmfWriter(std::span<uint8_t>(rec.data, static_cast<size_t>(rec.size_max)));
}

// "name"; transaction; null; stream — the shape of most publish-side commands.
BS::DataPtr StreamCommand(const char* name, int transaction, std::string_view stream, const char* mode) {
    BS::DataPtr rec = NewRecord(COMMAND_RECORD_BYTES);
    if (!rec) return nullptr;
    CAmfWriter w = WriterFor(*rec);
    w.String(name);
    w.Number(transaction);
    w.Null();
    w.String(stream);
    if (mode) w.String(mode);
    return Finish(std::move(rec), w, name);
}

}  // namespace

BS::DataPtr BuildConnect(const ConnectParams& p) {
    const bool extra = p.connectArgs.size() >= MIN_CONNECT_ARGS_TEXT;
    BS::DataPtr rec = NewRecord(COMMAND_RECORD_BYTES + (extra ? static_cast<int32_t>(CONNECT_ARGS_ALLOWANCE) : 0));
    if (!rec) return nullptr;
    const ConnectUrls urls = FormConnectUrls(p.host, p.appPath, p.authQuery, p.tunnel);
    CAmfWriter w = WriterFor(*rec);
    w.String("connect");
    w.Number(TXN_CONNECT);
    w.ObjectStart();
    w.Property("app", urls.app);
    // Servers that check credentials expect the non-private connection type.
    if (!p.authQuery.empty()) w.Property("type", "nonprivate");
    w.Property("flashVer", p.flashVer);
    w.Property("tcUrl", urls.tcUrl);
    w.ObjectEnd();
    if (extra && !w.Failed()) WriteConnectArguments(w, p.connectArgs);
    return Finish(std::move(rec), w, "connect");
}

BS::DataPtr BuildReleaseStream(std::string_view stream) {
    return StreamCommand("releaseStream", TXN_RELEASE_STREAM, stream, nullptr);
}

BS::DataPtr BuildFCPublish(std::string_view stream, int transaction) {
    return StreamCommand("FCPublish", transaction, stream, nullptr);
}

BS::DataPtr BuildCreateStream() {
    BS::DataPtr rec = NewRecord(COMMAND_RECORD_BYTES);
    if (!rec) return nullptr;
    CAmfWriter w = WriterFor(*rec);
    w.String("createStream");
    w.Number(TXN_CREATE_STREAM);
    w.Null();
    return Finish(std::move(rec), w, "createStream");
}

BS::DataPtr BuildPublish(std::string_view stream, int32_t mode) {
    if (mode == RECORD_MODE_RECORD) return StreamCommand("publish", TXN_PUBLISH_RECORD, stream, "record");
    if (mode == RECORD_MODE_APPEND) return StreamCommand("publish", TXN_PUBLISH_RECORD, stream, "append");
    return StreamCommand("publish", TXN_PUBLISH, stream, "live");
}

BS::DataPtr BuildFCUnpublish(std::string_view stream, int transaction) {
    return StreamCommand("FCUnpublish", transaction, stream, nullptr);
}

BS::DataPtr BuildSetDataFrame(const MetadataParams& m) {
    BS::DataPtr rec = NewRecord(COMMAND_RECORD_BYTES);
    if (!rec) return nullptr;

    const bool avc = m.hasVideo && m.videoCodecId == 7;
    const bool profile = avc && m.avcProfile >= 1;
    const bool level = avc && m.avcLevel >= 1;
    // An odd picture size is announced rounded up to even, with the added column / row clipped.
    const bool clip = avc && ((m.width & 1) != 0 || (m.height & 1) != 0);
    const int32_t clipRight = clip ? (m.width & 1) : 0;
    const int32_t clipBottom = clip ? (m.height & 1) : 0;
    const int64_t width = static_cast<int64_t>(m.width) + clipRight;
    const int64_t height = static_cast<int64_t>(m.height) + clipBottom;
    const bool aot = m.hasAudio && m.audioCodecId == 10 && m.audioObjectType >= 1;

    uint32_t count = 2;
    if (m.hasVideo) count += 6;
    if (m.hasAudio) count += 7;
    count += (profile ? 1 : 0) + (level ? 1 : 0) + (aot ? 1 : 0) + (clip ? 4 : 0);

    const int32_t videoRate = (m.videoRateOverride != 0 ? m.videoRateOverride : m.videoBitrate) / 1000;
    const int32_t audioRate = (m.audioRateOverride != 0 ? m.audioRateOverride : m.audioBitrate) / 1000;

    CAmfWriter w = WriterFor(*rec);
    w.String("@setDataFrame");
    w.String("onMetaData");
    w.EcmaArrayStart(count);
    w.Property("hasVideo", m.hasVideo);
    if (m.hasVideo) {
        w.Property("width", static_cast<double>(width));
        w.Property("height", static_cast<double>(height));
        w.Property("framerate", m.frameRate);
        w.Property("videocodecid", "avc1");
        w.Property("videodatarate", static_cast<double>(videoRate));
        w.Property("videoonly", !m.hasAudio);
    }
    if (profile) w.Property("avcprofile", static_cast<double>(m.avcProfile));
    if (level) w.Property("avclevel", static_cast<double>(m.avcLevel));
    if (clip) {
        w.Property("clipleft", 0.0);
        w.Property("cliptop", 0.0);
        w.Property("clipright", static_cast<double>(clipRight));
        w.Property("clipbottom", static_cast<double>(clipBottom));
    }
    w.Property("hasAudio", m.hasAudio);
    if (m.hasAudio) {
        w.Property("audiocodecid", "mp4a");
        w.Property("audiosamplerate", static_cast<double>(m.sampleRate));
        w.Property("audiodatarate", static_cast<double>(audioRate));
        w.Property("audiochannels", static_cast<double>(m.channels));
        w.Property("stereo", m.channels == 2);
        w.Property("audiosamplesize", 16.0);
        w.Property("audioonly", !m.hasVideo);
    }
    if (aot) w.Property("aacaot", static_cast<double>(m.audioObjectType - 1));
    w.ObjectEnd();
    return Finish(std::move(rec), w, "@setDataFrame");
}

BS::DataPtr BuildEmptySetDataFrame() {
    BS::DataPtr rec = NewRecord(COMMAND_RECORD_BYTES);
    if (!rec) return nullptr;
    CAmfWriter w = WriterFor(*rec);
    w.String("@setDataFrame");
    w.String("onMetaData");
    w.EcmaArrayStart(0);
    w.ObjectEnd();
    return Finish(std::move(rec), w, "@setDataFrame");
}

BS::DataPtr BuildOnFI(int64_t timeUs, int64_t dts) {
    BS::DataPtr rec(BS::data_t::Create(ONFI_RECORD_BYTES, false, dts, dts, NO_TIME));
    if (!rec) return nullptr;
    // Floor division keeps the sub-second part in 0..999999 for times before 1970 as well.
    int64_t seconds = timeUs / 1000000;
    int64_t micro = timeUs % 1000000;
    if (micro < 0) {
        micro += 1000000;
        seconds -= 1;
    }
    char date[32] = "";
    char hms[32];
    std::tm tm{};
    const std::time_t t = static_cast<std::time_t>(seconds);
    if (localtime_r(&t, &tm) != nullptr) {
        if (tm.tm_year + 1900 > 1980) std::strftime(date, sizeof date, "%d-%m-%Y", &tm);
        std::strftime(hms, sizeof hms, "%H:%M:%S", &tm);
    } else {
        // No calendar for this time: the clock time is derived from the seconds alone.
        const int64_t daySeconds = ((seconds % 86400) + 86400) % 86400;
        std::snprintf(hms, sizeof hms, "%02d:%02d:%02d", static_cast<int>(daySeconds / 3600),
                      static_cast<int>(daySeconds / 60 % 60), static_cast<int>(daySeconds % 60));
    }
    char st[48];
    std::snprintf(st, sizeof st, "%s.%03d", hms, static_cast<int>(micro / 1000));

    CAmfWriter w = WriterFor(*rec);
    w.String("onFI");
    w.EcmaArrayStart(date[0] != '\0' ? 2 : 1);
    if (date[0] != '\0') w.Property("sd", std::string_view(date));
    w.Property("st", std::string_view(st));
    w.ObjectEnd();
    return Finish(std::move(rec), w, "onFI");
}

}  // namespace rtmp
