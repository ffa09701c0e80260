// The parser framework, exercised through a line parser: every '\n'-terminated line becomes one
// record carrying the time of the chunk its first byte arrived in.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "foundation/Data.h"
#include "parsers/BaseParser.h"

namespace {

class LineParser : public BS::CBaseParser {
public:
    struct Call {
        int32_t offset;
        int32_t length;
    };
    std::vector<Call> calls;
    std::vector<int32_t> frameTypes;
    int32_t headroom = 0;

    void ParseData(uint8_t* buffer, int32_t offset, int32_t length) override {
        calls.push_back({offset, length});
        EXPECT_EQ(buffer, Buffer());
        for (;;) {
            int32_t end = -1;
            for (int32_t i = 0; i < BufferFill(); ++i) {
                if (Buffer()[i] == '\n') {
                    end = i;
                    break;
                }
            }
            if (end < 0) return;
            int32_t type = FRAME_UNKNOWN;
            m_iCurrentTime = TakeTimeAt(0, type);
            frameTypes.push_back(type);
            if (end > 0) QueueOutput(MakeOutput(0, end, headroom));
            Consume(end + 1);
        }
    }

    // Windows onto the protected helpers.
    using CBaseParser::BitTimeOfPosition;
    using CBaseParser::BufferFill;
    using CBaseParser::ConsumedBytes;
    using CBaseParser::HasTimeAt;
    using CBaseParser::MakeOutput;
    using CBaseParser::ReceivedBytes;
    using CBaseParser::TakeTimeAt;
    void SetTimes(int64_t current, int64_t offset) {
        m_iCurrentTime = current;
        m_iTimeOffset = offset;
    }
    void PokeFormatKind(int32_t kind) { m_Format.kind = kind; }
};

void Put(BS::CBaseParser& p, std::string_view bytes, int64_t pts = NO_TIME, int32_t frameType = FRAME_UNKNOWN) {
    BS::DataPtr d(BS::data_t::Create(static_cast<int32_t>(bytes.size()), false, pts, pts, NO_TIME));
    ASSERT_TRUE(d);
    std::copy(bytes.begin(), bytes.end(), d->data);
    d->frame_type = frameType;
    p.PutChunk(d.get());
}

struct Out {
    std::string body;
    int64_t dts, pts, bts;
};

std::vector<Out> Drain(BS::CBaseParser& p) {
    std::vector<Out> out;
    BS::data_t* raw = nullptr;
    while (p.GetChunk(&raw, 0)) {
        BS::DataPtr d(raw);
        out.push_back({std::string(reinterpret_cast<const char*>(d->data), static_cast<size_t>(d->size_actual)),
                       d->dts, d->pts, d->bts});
    }
    return out;
}

TEST(BaseParser, AppendsChunksAndHandsParseDataTheNewBytes) {
    LineParser p;
    ASSERT_TRUE(p.Init(64, false));
    Put(p, "ab");
    Put(p, "cd\nef");
    ASSERT_EQ(p.calls.size(), 2u);
    EXPECT_EQ(p.calls[0].offset, 0);
    EXPECT_EQ(p.calls[0].length, 2);
    EXPECT_EQ(p.calls[1].offset, 2);
    EXPECT_EQ(p.calls[1].length, 5);
    // "ef" stays buffered after the line was cut out and consumed.
    EXPECT_EQ(p.BufferFill(), 2);
    EXPECT_EQ(p.ConsumedBytes(), 5);
    EXPECT_EQ(p.ReceivedBytes(), 7);
    auto out = Drain(p);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].body, "abcd");
}

TEST(BaseParser, EmptyNullAndUninitialisedInputIsIgnored) {
    LineParser p;
    Put(p, "x\n");  // no buffer yet
    EXPECT_TRUE(p.calls.empty());
    ASSERT_TRUE(p.Init(16, false));
    p.PutChunk(nullptr);
    Put(p, "");
    EXPECT_TRUE(p.calls.empty());
    EXPECT_FALSE(p.Init(0, false));
    Put(p, "x\n");
    EXPECT_TRUE(p.calls.empty());
}

TEST(BaseParser, UnitTakesTimeOfLastChunkStartedAtOrBeforeIt) {
    LineParser p;
    ASSERT_TRUE(p.Init(64, false));
    Put(p, "a", 100);
    Put(p, "b", 200, FRAME_I);
    Put(p, "\nc", 300);   // "c" starts at position 3, inside this chunk
    Put(p, "\nd\n", 400);  // "d" starts at 5, inside this chunk
    auto out = Drain(p);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].body, "ab");
    EXPECT_EQ(out[0].dts, 100);
    EXPECT_EQ(out[0].pts, 100);
    // The entries of "b" (200, key) and "\nc" (300) are both passed on the way to "c".
    EXPECT_EQ(out[1].body, "c");
    EXPECT_EQ(out[1].dts, 300);
    EXPECT_EQ(out[2].body, "d");
    EXPECT_EQ(out[2].dts, 400);
    ASSERT_EQ(p.frameTypes.size(), 3u);
    EXPECT_EQ(p.frameTypes[0], FRAME_UNKNOWN);
    EXPECT_EQ(p.frameTypes[1], FRAME_I);
    EXPECT_EQ(p.frameTypes[2], FRAME_UNKNOWN);
}

TEST(BaseParser, ChunkWithoutPtsLeavesPreviousTime) {
    LineParser p;
    ASSERT_TRUE(p.Init(64, false));
    Put(p, "x\n", 500);
    Put(p, "y\n");  // no time: keeps the current time, i.e. the previous entry's
    auto out = Drain(p);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].dts, 500);
    EXPECT_EQ(out[1].dts, 500);
    // Before any time arrived the current time (0 after a reset) applies.
    LineParser q;
    ASSERT_TRUE(q.Init(64, false));
    Put(q, "z\n");
    EXPECT_EQ(Drain(q)[0].dts, 0);
}

TEST(BaseParser, HasTimeAtAndTakeTimeAtWorkOnStreamPositions) {
    LineParser p;
    ASSERT_TRUE(p.Init(64, false));
    Put(p, "abc");          // no time
    Put(p, "def", 70, FRAME_I);  // position 3
    EXPECT_FALSE(p.HasTimeAt(0));
    EXPECT_FALSE(p.HasTimeAt(2));
    EXPECT_TRUE(p.HasTimeAt(3));
    p.SetTimes(9, 0);
    int32_t type = -1;
    EXPECT_EQ(p.TakeTimeAt(2, type), 9);  // nothing covers offset 2: current time
    EXPECT_EQ(type, FRAME_UNKNOWN);
    EXPECT_EQ(p.TakeTimeAt(4, type), 70);
    EXPECT_EQ(type, FRAME_I);
    EXPECT_FALSE(p.HasTimeAt(5));  // the entry was consumed
    // Offsets count from the first buffered byte, which moves with Consume.
    Put(p, "g", 80);  // position 6
    p.Consume(4);
    EXPECT_TRUE(p.HasTimeAt(2));
    EXPECT_FALSE(p.HasTimeAt(1));
}

TEST(BaseParser, MakeOutputCopiesWithHeadroomAndStampsTimes) {
    LineParser p;
    ASSERT_TRUE(p.Init(64, false));
    Put(p, "0123456789");
    p.Consume(2);  // consumed = 2: "23456789"
    p.SetTimes(1000, -250);
    p.SetBitrate(16000);
    BS::DataPtr d(p.MakeOutput(1, 3, 2));
    ASSERT_TRUE(d);
    ASSERT_EQ(d->size_actual, 5);
    EXPECT_EQ(d->data[0], 0);
    EXPECT_EQ(d->data[1], 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(d->data + 2), 3), "345");
    EXPECT_EQ(d->dts, 750);
    EXPECT_EQ(d->pts, 750);
    EXPECT_EQ(d->bts, 2 * 8000 / 16000);  // 1 ms
    EXPECT_FALSE(d->config);
    EXPECT_EQ(d->frame_type, FRAME_UNKNOWN);
    EXPECT_EQ(p.MakeOutput(0, 0, 2), nullptr);
    EXPECT_EQ(p.MakeOutput(5, 4, 0), nullptr);  // past the buffered bytes
    p.SetBitrate(0);
    BS::DataPtr e(p.MakeOutput(0, 1, 0));
    ASSERT_TRUE(e);
    EXPECT_EQ(e->bts, NO_TIME);
    EXPECT_EQ(p.BitTimeOfPosition(), NO_TIME);
    p.SetTimes(NO_TIME, 40);  // an unset time stays unset, whatever the offset
    BS::DataPtr f(p.MakeOutput(0, 1, 0));
    EXPECT_EQ(f->dts, NO_TIME);
}

TEST(BaseParser, ConsumeClampsToFill) {
    LineParser p;
    ASSERT_TRUE(p.Init(64, false));
    Put(p, "abcdef");
    p.Consume(0);
    p.Consume(-3);
    EXPECT_EQ(p.BufferFill(), 6);
    EXPECT_EQ(p.ConsumedBytes(), 0);
    p.Consume(2);
    Put(p, "\n");
    EXPECT_EQ(Drain(p)[0].body, "cdef");
    Put(p, "xyz");
    p.Consume(100);
    EXPECT_EQ(p.BufferFill(), 0);
    EXPECT_EQ(p.ConsumedBytes(), 10);
}

TEST(BaseParser, OverflowDropsEverythingThenAppendsTheChunk) {
    LineParser p;
    ASSERT_TRUE(p.Init(16, false));
    Put(p, "done\n", 10);
    Put(p, "0123456789", 20);  // 10 pending
    ASSERT_EQ(p.GetQueuedCount(), 1);
    Put(p, "abcdefgh\n", 30);  // 10 + 9 > 16
    auto out = Drain(p);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].body, "abcdefgh");
    EXPECT_EQ(out[0].dts, 30);
    EXPECT_EQ(p.ReceivedBytes(), 9);  // positions restarted with the reset
}

TEST(BaseParser, OversizeChunkIsDroppedWithPendingInputButKeepsFinishedOutput) {
    LineParser p;
    ASSERT_TRUE(p.Init(16, false));
    Put(p, "kept\npartial", 10);
    Put(p, std::string(16, 'Q') + "\n", 20);  // not smaller than the buffer
    // The partial line must not be completed by the bytes that follow the lost chunk.
    Put(p, "next\n", 30);
    auto out = Drain(p);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].body, "kept");
    EXPECT_EQ(out[1].body, "next");
    EXPECT_EQ(out[1].dts, 30);
    // Positions keep counting the lost bytes, so bit times stay on the stream's clock.
    EXPECT_EQ(p.ReceivedBytes(), 12 + 17 + 5);
    EXPECT_EQ(p.ConsumedBytes(), 12 + 17 + 5);
}

TEST(BaseParser, ResetClearsInputOutputAndOptionallyTheFormat) {
    LineParser p;
    ASSERT_TRUE(p.Init(64, false));
    BS::format_t f;
    f.kind = BS::FORMAT_KIND_AUDIO;
    f.codec = BS::CODEC_AAC;
    f.audio.sample_rate = 48000;
    f.video.fps_den = 7;
    f.unset1 = 5;
    ASSERT_TRUE(p.SetFormat(&f));
    Put(p, "a\nbc", 42);
    p.SetTimes(5, 6);
    p.Reset(0);
    EXPECT_EQ(p.GetQueuedCount(), 0);
    EXPECT_EQ(p.BufferFill(), 0);
    EXPECT_EQ(p.ConsumedBytes(), 0);
    EXPECT_EQ(p.ReceivedBytes(), 0);
    EXPECT_FALSE(p.HasTimeAt(1000));
    BS::format_t g;
    EXPECT_TRUE(p.GetFormat(&g));
    EXPECT_EQ(g.audio.sample_rate, 48000);
    EXPECT_TRUE(p.GetFormat(nullptr));
    p.Reset(BS::CBaseParser::RESET_FORMAT);
    p.GetFormat(&g);
    EXPECT_EQ(g.kind, 0);
    EXPECT_EQ(g.codec, 0);
    EXPECT_EQ(g.audio.sample_rate, 0);
    EXPECT_EQ(g.video.fps_den, 1);
    EXPECT_EQ(g.video.fps, 0.0);
    EXPECT_EQ(g.unset1, 0x7FFFFFFF);
    EXPECT_EQ(g.unset2, 0x7FFFFFFF);
    // Still usable after both kinds of reset.
    Put(p, "z\n", 7);
    EXPECT_EQ(Drain(p)[0].dts, 7);
}

TEST(BaseParser, GetChunkPopsOldestFirstAndHandsOwnership) {
    LineParser p;
    ASSERT_TRUE(p.Init(64, false));
    Put(p, "1\n2\n3\n");
    EXPECT_EQ(p.GetQueuedCount(), 3);
    EXPECT_FALSE(p.GetChunk(nullptr, 0));
    EXPECT_EQ(p.GetQueuedCount(), 3);
    auto out = Drain(p);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].body + out[1].body + out[2].body, "123");
    BS::data_t* none = nullptr;
    EXPECT_FALSE(p.GetChunk(&none, 1));
    EXPECT_EQ(none, nullptr);
    // Records left queued are released by Free and by destruction (ASan checks for leaks).
    Put(p, "4\n");
    p.Free();
    EXPECT_EQ(p.GetQueuedCount(), 0);
    ASSERT_TRUE(p.Init(8, false));
    Put(p, "5\n");
}

}  // namespace
