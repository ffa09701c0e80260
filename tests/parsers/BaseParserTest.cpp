// The parser framework through a line parser: every '\n'-terminated line becomes one record
// timed by the chunk its first byte arrived in.
#include <string>
#include <vector>

#include "ParserTestUtil.h"
#include "parsers/BaseParser.h"

using namespace ptest;

namespace {

class LineParser : public BS::CBaseParser {
public:
    std::vector<int32_t> frameTypes;
    void ParseData(uint8_t*, int32_t, int32_t) override {
        for (int32_t end = 0; end < BufferFill(); ++end) {
            if (Buffer()[end] != '\n') continue;
            int32_t type = FRAME_UNKNOWN;
            m_iCurrentTime = TakeTimeAt(0, type);
            frameTypes.push_back(type);
            if (end > 0) QueueOutput(MakeOutput(0, end, 0));
            Consume(end + 1);
            end = -1;
        }
    }
    using CBaseParser::ConsumedBytes;
    using CBaseParser::ReceivedBytes;
};

void PutS(BS::CBaseParser& p, const std::string& s, int64_t pts = NO_TIME, int32_t type = FRAME_UNKNOWN) {
    Put(p, std::span(reinterpret_cast<const uint8_t*>(s.data()), s.size()), pts, type);
}

std::string Text(const Out& o) { return std::string(o.body.begin(), o.body.end()); }

TEST(BaseParser, LineTakesTimeOfLastChunkStartedAtOrBeforeIt) {
    LineParser p;
    ASSERT_TRUE(p.Init(64, false));
    PutS(p, "a", 100);
    PutS(p, "b", 200, FRAME_I);
    PutS(p, "\nc", 300);   // "c" starts inside this chunk
    PutS(p, "\nd\n", 400);
    PutS(p, "e\n");        // no time: the previous one stays
    const auto out = Drain(p);
    const std::vector<std::pair<std::string, int64_t>> want = {{"ab", 100}, {"c", 300}, {"d", 400}, {"e", 400}};
    ASSERT_EQ(out.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(Text(out[i]), want[i].first);
        EXPECT_EQ(out[i].dts, want[i].second) << i;
        EXPECT_EQ(out[i].pts, want[i].second) << i;
    }
    EXPECT_EQ(p.frameTypes, (std::vector<int32_t>{FRAME_UNKNOWN, FRAME_I, FRAME_UNKNOWN, FRAME_UNKNOWN}));
}

// Overflow drops everything queued; an oversize chunk only the input it would have completed.
TEST(BaseParser, OverflowAndOversizeChunks) {
    LineParser p;
    ASSERT_TRUE(p.Init(16, false));
    PutS(p, "done\n0123456789", 10);
    PutS(p, "abcdefgh\n", 30);  // 10 pending + 9 > 16
    EXPECT_EQ(p.ReceivedBytes(), 9) << "positions restart with the reset";
    PutS(p, "kept\npartial", 40);
    PutS(p, std::string(16, 'Q') + "\n", 50);  // not smaller than the buffer: dropped
    PutS(p, "next\n", 60);                     // must not complete "partial"
    const auto out = Drain(p);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(Text(out[0]), "abcdefgh");
    EXPECT_EQ(out[0].dts, 30);
    EXPECT_EQ(Text(out[1]), "kept");
    EXPECT_EQ(Text(out[2]), "next");
    EXPECT_EQ(out[2].dts, 60);
    EXPECT_EQ(p.ConsumedBytes(), 9 + 12 + 17 + 5) << "lost bytes still count, keeping bit times on the stream clock";
}

}  // namespace
