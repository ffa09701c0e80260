#pragma once
// A sink whose parsers pass records through unchanged (so a test picks every dts, frame type
// and config flag) and whose output to the client is recorded instead of sent.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "foundation/Data.h"
#include "parsers/BaseParser.h"
#include "sink/RTMPSink.h"

namespace sinktest {

class PassThroughParser : public BS::CBaseParser {
public:
    void PutChunk(const BS::data_t* in) override {
        BS::data_t* out = BS::data_t::Create(std::max(in->size_actual, 1), in->config, in->dts, in->pts, in->bts);
        std::memcpy(out->data, in->data, static_cast<size_t>(in->size_actual));
        out->size_actual = in->size_actual;
        out->frame_type = in->frame_type;
        QueueOutput(out);
    }
    void ParseData(uint8_t*, int32_t, int32_t) override {}
};

struct Delivered {
    int32_t type = 0;  // 8 audio, 9 video
    int64_t dts = 0, clock = 0;  // clock: the sink's when handed over
    uint8_t tag = 0;
};
struct Script {
    int32_t chunkStream = 0, type = 0;
    std::vector<uint8_t> bytes;
};

class TestSink : public CRTMPSink {
public:
    using CRTMPSink::CRTMPSink;
    ~TestSink() override { Close(); }
    bool connected = true;

    std::unique_ptr<BS::CBaseParser> CreateParser(int32_t) override {
        auto p = std::make_unique<PassThroughParser>();
        p->Init(1 << 16, false);
        return p;
    }
    bool IsClientConnected() override { return connected; }
    void DeliverMedia(BS::data_t* u, int32_t messageType) override {
        media.push_back({messageType, u->dts, GetSinkTime(), u->data[0]});
    }
    bool DeliverScript(BS::data_t* r, int32_t chunkStream, int32_t messageType) override {
        scripts.push_back({chunkStream, messageType, {r->data, r->data + r->size_actual}});
        return true;
    }
    void DeliverMetadata() override {}
    std::vector<uint8_t> Tags() const {
        std::vector<uint8_t> t;
        for (const Delivered& d : media) t.push_back(d.tag);
        return t;
    }
    using CRTMPSink::SetNoWaitForTests;
    using CRTMPSink::SetReconnectingForTests;
    using CRTMPSink::SetStreamingForTests;
    using CRTMPSink::SimulateReconnectedForTests;
    // Written only by the thread that calls Interleave or Flush: the tests' own.
    std::vector<Delivered> media;
    std::vector<Script> scripts;
};

// The first payload byte carries `tag` so a test can follow one unit through the queues.
inline BS::data_t* Unit(int64_t dts, int32_t frameType = FRAME_P, bool config = false, uint8_t tag = 0,
                        int32_t size = 16) {
    BS::data_t* d = BS::data_t::Create(size, config, dts, dts, NO_TIME);
    d->size_actual = size;
    std::memset(d->data, 0, static_cast<size_t>(size));
    d->data[0] = tag;
    d->frame_type = frameType;
    return d;
}
inline BS::format_t Format(bool video) {
    BS::format_t f;
    f.kind = video ? BS::FORMAT_KIND_VIDEO : BS::FORMAT_KIND_AUDIO;
    f.codec = video ? BS::CODEC_H264 : BS::CODEC_AAC;
    return f;
}

// The sink reads its settings files from here: a fresh directory per test.
class SettingsDir : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qv-sink-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        setenv("QV_SETTINGS_USER", (dir + "/user.json").c_str(), 1);
        setenv("QV_SETTINGS_MACHINE", (dir + "/machine.json").c_str(), 1);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string dir;
};

}  // namespace sinktest
