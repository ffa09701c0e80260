#pragma once
// A sink whose collaborators are replaced at its seams: tracks get a parser that passes records
// through unchanged (so a test chooses every dts, frame type and config flag), and what the sink
// would hand to the client is recorded instead.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "foundation/Data.h"
#include "parsers/BaseParser.h"
#include "sink/RTMPSink.h"

namespace sinktest {

// Every input record comes out again as one access unit, fields and payload unchanged.
class PassThroughParser : public BS::CBaseParser {
public:
    void PutChunk(const BS::data_t* in) override {
        if (!in) return;
        BS::data_t* out = BS::data_t::Create(std::max(in->size_actual, 1), in->config, in->dts, in->pts, in->bts);
        if (!out) return;
        if (in->size_actual > 0 && in->data) std::memcpy(out->data, in->data, static_cast<size_t>(in->size_actual));
        out->size_actual = in->size_actual;
        out->frame_type = in->frame_type;
        out->duration = in->duration;
        QueueOutput(out);
    }
    void ParseData(uint8_t*, int32_t, int32_t) override {}
};

struct Delivered {
    int32_t type = 0;  // message type: 8 audio, 9 video
    int64_t dts = 0;
    int64_t pts = 0;
    int32_t size = 0;
    int32_t frameType = FRAME_UNKNOWN;
    bool config = false;
    int64_t clock = 0;  // sink clock when handed over
    uint8_t firstByte = 0;
};

struct Script {
    int32_t chunkStream = 0;
    int32_t type = 0;
    int64_t dts = 0;
    std::vector<uint8_t> bytes;
};

class TestSink : public CRTMPSink {
public:
    using CRTMPSink::CRTMPSink;
    ~TestSink() override { Close(); }

    bool connected = true;
    bool deliverScriptResult = true;

    std::unique_ptr<BS::CBaseParser> CreateParser(int32_t type) override {
        if (type != TRACK_TYPE_AUDIO && type != TRACK_TYPE_VIDEO) return nullptr;
        auto p = std::make_unique<PassThroughParser>();
        p->Init(1 << 16, false);
        return p;
    }
    bool IsClientConnected() override { return connected; }
    void DeliverMedia(BS::data_t* unit, int32_t messageType) override {
        Delivered d;
        d.type = messageType;
        d.dts = unit->dts;
        d.pts = unit->pts;
        d.size = unit->size_actual;
        d.frameType = unit->frame_type;
        d.config = unit->config;
        d.clock = GetSinkTime();
        d.firstByte = unit->size_actual > 0 ? unit->data[0] : 0;
        std::lock_guard<std::mutex> g(m_mutex);
        m_media.push_back(d);
        m_cond.notify_all();
    }
    bool DeliverScript(BS::data_t* record, int32_t chunkStream, int32_t messageType) override {
        Script s;
        s.chunkStream = chunkStream;
        s.type = messageType;
        s.dts = record->dts;
        s.bytes.assign(record->data, record->data + record->size_actual);
        std::lock_guard<std::mutex> g(m_mutex);
        m_scripts.push_back(s);
        return deliverScriptResult;
    }
    void DeliverMetadata() override { ++metadataCalls; }

    std::vector<Delivered> Media() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_media;
    }
    std::vector<Script> Scripts() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_scripts;
    }
    bool WaitMedia(size_t n, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> g(m_mutex);
        return m_cond.wait_for(g, timeout, [&] { return m_media.size() >= n; });
    }

    using CRTMPSink::SetNoWaitForTests;
    using CRTMPSink::SetReconnectingForTests;
    using CRTMPSink::SetStreamingForTests;
    using CRTMPSink::SimulateReconnectedForTests;
    std::atomic<int> metadataCalls{0};

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<Delivered> m_media;
    std::vector<Script> m_scripts;
};

// A sample as a producer would hand it in; the payload's first byte carries `tag` so a test can
// follow one unit through the queues.
inline BS::data_t* Unit(int64_t dts, int32_t frameType = FRAME_UNKNOWN, bool config = false, uint8_t tag = 0,
                        int32_t size = 16) {
    BS::data_t* d = BS::data_t::Create(size, config, dts, dts, NO_TIME);
    d->size_actual = size;
    std::memset(d->data, 0, static_cast<size_t>(size));
    d->data[0] = tag;
    d->frame_type = frameType;
    return d;
}

inline BS::format_t VideoFormat() {
    BS::format_t f;
    f.kind = BS::FORMAT_KIND_VIDEO;
    f.codec = BS::CODEC_H264;
    return f;
}
inline BS::format_t AudioFormat() {
    BS::format_t f;
    f.kind = BS::FORMAT_KIND_AUDIO;
    f.codec = BS::CODEC_AAC;
    return f;
}

}  // namespace sinktest
