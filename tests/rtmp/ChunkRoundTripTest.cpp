// Random message sequences written with Prepare and read back with GetMessage.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "rtmp/AMF3.h"
#include "rtmp/RtmpDefs.h"
#include "TestSupport.h"

using namespace rtmptest;

namespace {

struct Sent {
    Bytes body;  // as the receiver must see it: video with its 5-byte prefix
    int32_t csid;
    int32_t type;
    uint32_t sid;
    uint32_t timestamp;  // low 32 bits the receiver must report
};

// What the receiver's clock shows per chunk stream. A format-0 header repeats the chunk stream's
// previous time (its own only for the first message), and format-1 deltas then continue from
// the message's own dts, so every step back in time shifts the receiver's timeline.
struct TimelineModel {
    struct Cs {
        bool seen = false;
        uint32_t sid = 0;
        int64_t last = 0;
        int64_t receiver = 0;
    };
    std::map<int32_t, Cs> cs;

    uint32_t Next(int32_t csid, uint32_t sid, int64_t dts, bool forced) {
        Cs& c = cs[csid];
        if (!c.seen) {
            c.receiver = dts;
        } else if (forced || dts < c.last || sid != c.sid) {
            c.receiver = c.last;
        } else {
            c.receiver += dts - c.last;
        }
        c.seen = true;
        c.sid = sid;
        c.last = dts;
        return static_cast<uint32_t>(c.receiver);
    }
};

struct Sequence {
    std::vector<Sent> sent;
    Bytes wire;
};

Sequence MakeSequence(std::mt19937_64& rng, int count, int32_t chunkSize, size_t maxBody) {
    AMF3 writer;
    EXPECT_TRUE(writer.Init());
    writer.SetSendChunkSize(chunkSize);
    TimelineModel model;
    Sequence seq;
    const int32_t types[] = {RTMP_PT_AUDIO, RTMP_PT_VIDEO, RTMP_PT_NOTIFY, RTMP_PT_INVOKE};
    const int32_t csids[] = {3, 4, 5, 9, 63};
    const uint32_t sids[] = {0, rtmp::SwapStreamId(1), 0x12345678};
    // Start near the 24-bit and 32-bit limits as often as near zero.
    const int64_t starts[] = {0, 0xFFFF00, 0xFFFFFFFFLL - 3000, 123456};
    int64_t dts = starts[rng() % 4];
    for (int i = 0; i < count; ++i) {
        const int step = static_cast<int>(rng() % 100);
        if (step < 70)
            dts += static_cast<int64_t>(rng() % 100);
        else if (step < 85)
            dts -= static_cast<int64_t>(rng() % 500);  // out of order
        else
            dts += static_cast<int64_t>(rng() % 0xFFFF00);  // large, still below the 24-bit delta limit
        if (dts < 0) dts = 0;
        const int32_t type = types[rng() % 4];
        const int32_t csid = csids[rng() % 5];
        const uint32_t sid = sids[rng() % 10 < 8 ? 1 : rng() % 3];
        // A format-1 delta has 24 bits; a longer gap on a chunk stream goes with a full header.
        const auto known = model.cs.find(csid);
        const bool forced = rng() % 10 == 0 || (known != model.cs.end() && dts - known->second.last >= 0xFFFF00);
        size_t size = rng() % 8 == 0 ? rng() % (maxBody + 1) : rng() % 600;
        const int64_t pts = dts + static_cast<int64_t>(rng() % 200);
        const int32_t frameType = static_cast<int32_t>(rng() % 4);
        const Bytes body = Pattern(size, static_cast<uint8_t>(i));

        BS::DataPtr in = Record(body, dts, pts, frameType, rng() % 20 == 0);
        BS::DataPtr out = writer.Prepare(*in, csid, type, sid, forced);
        EXPECT_TRUE(out);
        if (!out) break;
        seq.wire.insert(seq.wire.end(), out->data, out->data + out->size_actual);

        Sent s{body, csid, type, sid, model.Next(csid, sid, dts, forced)};
        if (type == RTMP_PT_VIDEO) {
            const bool key = in->frame_type == FRAME_I || in->config;
            const uint32_t cts = static_cast<uint32_t>(pts - dts);
            Bytes prefix = {static_cast<uint8_t>(key ? 0x17 : 0x27), static_cast<uint8_t>(in->config ? 0 : 1),
                            static_cast<uint8_t>(cts >> 16), static_cast<uint8_t>(cts >> 8), static_cast<uint8_t>(cts)};
            s.body = Cat({prefix, body});
        }
        seq.sent.push_back(std::move(s));
    }
    return seq;
}

// Feeds the wire in pieces of 1..maxPiece bytes, draining after each, and checks every message.
void Replay(const Sequence& seq, int32_t chunkSize, std::mt19937_64& rng, size_t maxPiece) {
    AMF3 reader;
    ASSERT_TRUE(reader.Init());
    reader.SetReceiveChunkSize(chunkSize);
    size_t next = 0;
    size_t off = 0;
    while (off < seq.wire.size()) {
        const size_t n = std::min(seq.wire.size() - off, 1 + static_cast<size_t>(rng() % maxPiece));
        reader.PutData(std::span<const uint8_t>(seq.wire.data() + off, n));
        off += n;
        AMF3::Header h;
        while (BS::DataPtr m = reader.GetMessage(AMF3::MODE_CHUNKS, &h)) {
            ASSERT_LT(next, seq.sent.size()) << "more messages than were sent";
            const Sent& s = seq.sent[next];
            SCOPED_TRACE("message " + std::to_string(next));
            ASSERT_EQ(m->size_actual, static_cast<int32_t>(s.body.size()));
            ASSERT_TRUE(std::equal(s.body.begin(), s.body.end(), m->data));
            EXPECT_EQ(h.chunkStreamId, s.csid);
            EXPECT_EQ(h.type, s.type);
            EXPECT_EQ(h.streamId, s.sid);
            EXPECT_EQ(static_cast<uint32_t>(h.timestamp), s.timestamp);
            EXPECT_EQ(static_cast<uint32_t>(m->dts), s.timestamp);
            ++next;
        }
    }
    EXPECT_EQ(next, seq.sent.size());
}

TEST(ChunkRoundTrip, RandomSequencesInRandomPieces) {
    const int32_t chunkSizes[] = {128, 129, 256, 1000, 4096, 65536};
    for (uint64_t seed = 1; seed <= 30; ++seed) {
        std::mt19937_64 rng(seed);
        const int32_t chunk = chunkSizes[seed % 6];
        SCOPED_TRACE("seed " + std::to_string(seed) + " chunk " + std::to_string(chunk));
        const Sequence seq = MakeSequence(rng, 120, chunk, 300000);
        Replay(seq, chunk, rng, 20000);
        if (HasFatalFailure()) return;
    }
}

TEST(ChunkRoundTrip, OneByteAtATime) {
    for (uint64_t seed = 100; seed <= 102; ++seed) {
        std::mt19937_64 rng(seed);
        const int32_t chunk = seed == 100 ? 128 : (seed == 101 ? 777 : 65536);
        SCOPED_TRACE("seed " + std::to_string(seed));
        const Sequence seq = MakeSequence(rng, 60, chunk, 70000);
        Replay(seq, chunk, rng, 1);
        if (HasFatalFailure()) return;
    }
}

}  // namespace
