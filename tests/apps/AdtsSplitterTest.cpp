// The ADTS splitter against frames built bit by bit here and against the AAC fixtures (one frame
// per packet ffprobe lists).
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "apps/AdtsSplitter.h"

namespace {

using Bytes = std::vector<uint8_t>;

// AAC LC, no CRC, `payload` bytes of `fill`.
Bytes Frame(int sfi, int channels, size_t payload, uint8_t fill = 0x21) {
    const size_t len = 7 + payload;
    Bytes f = {0xFF, 0xF1, static_cast<uint8_t>((1 << 6) | (sfi << 2) | (channels >> 2)),
               static_cast<uint8_t>(((channels & 3) << 6) | (len >> 11)), static_cast<uint8_t>((len >> 3) & 0xFF),
               static_cast<uint8_t>(((len & 7) << 5) | 0x1F), 0xFC};
    f.insert(f.end(), payload, fill);
    return f;
}
Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::vector<Bytes> SplitAll(const Bytes& stream, size_t chunk, app::AdtsSplitter& s) {
    std::vector<Bytes> frames;
    for (size_t i = 0; i < stream.size(); i += chunk) {
        s.Push({stream.data() + i, std::min(chunk, stream.size() - i)});
        while (auto f = s.Next()) frames.push_back(std::move(f->bytes));
    }
    s.End();
    while (auto f = s.Next()) frames.push_back(std::move(f->bytes));
    return frames;
}

TEST(AdtsSplitter, HeaderFieldsAreRead) {
    size_t len = 0;
    const Bytes f = Frame(3, 2, 100);
    auto h = app::ParseAdtsHeader(f, &len);
    ASSERT_TRUE(h);
    EXPECT_EQ(len, 107u);
    EXPECT_EQ(h->objectType, 2);
    EXPECT_EQ(h->sampleRate, 48000);
    EXPECT_EQ(h->channelConfig, 2);
    EXPECT_EQ(h->samples, 1024);
    Bytes bad = f;
    bad[2] = static_cast<uint8_t>((bad[2] & ~0x3C) | (13 << 2));  // sample rate index 13 is reserved
    EXPECT_FALSE(app::ParseAdtsHeader(bad, &len));
    EXPECT_FALSE(app::ParseAdtsHeader(Frame(4, 1, 0), &len)) << "a frame no longer than its header";
}

TEST(AdtsSplitter, FramesComeOutWholeAndJunkIsSkipped) {
    const Bytes a = Frame(4, 1, 200, 0x11), b = Frame(4, 1, 5, 0x22), c = Frame(4, 1, 300, 0x33);
    // 0xFFF1 and a plausible header whose "frame" is not followed by another header.
    const Bytes falseSync = {0x00, 0xFF, 0xF1, 0x50, 0x80, 0x02, 0x1F, 0xFC, 0x01, 0x02};
    const Bytes cutTail(a.begin(), a.begin() + 20);  // the producer died mid-frame
    struct Case {
        const char* name;
        Bytes stream;
        std::vector<Bytes> frames;
        size_t skipped;
    } cases[] = {
        {"last frame ends the data", Cat({a, b, c}), {a, b, c}, 0},
        {"one frame is all the data", c, {c}, 0},
        {"false sync word first", Cat({falseSync, a, b}), {a, b}, falseSync.size()},
        {"garbage between, cut tail", Cat({a, b, {1, 2, 3}, c, cutTail}), {a, b, c}, 23},
    };
    for (const Case& k : cases) {
        for (size_t chunk : {size_t{1}, size_t{3}, size_t{64}, k.stream.size()}) {
            SCOPED_TRACE(std::string(k.name) + ", chunk " + std::to_string(chunk));
            app::AdtsSplitter s;
            EXPECT_EQ(SplitAll(k.stream, chunk, s), k.frames);
            EXPECT_EQ(s.Skipped(), k.skipped);
            EXPECT_FALSE(s.Failed());
        }
    }
}

TEST(AdtsSplitter, RefusesInputThatIsNotADTS) {
    app::AdtsSplitter text;
    text.Push(Bytes(70000, 'x'));
    EXPECT_FALSE(text.Next());
    EXPECT_TRUE(text.Failed()) << "gives up without waiting for the end";
    app::AdtsSplitter hello;  // short and no frame: refused at the end
    EXPECT_TRUE(SplitAll({'h', 'e', 'l', 'l', 'o'}, 5, hello).empty());
    EXPECT_TRUE(hello.Failed());
}

TEST(AdtsSplitter, FixturesSplitIntoTheirPackets) {
    for (const char* name : {"aac48s", "aac44m", "aaccrc"}) {
        const std::string base = std::string(QV_FIXTURE_DIR) + "/" + name;
        std::ifstream in(base + ".aac", std::ios::binary), csv(base + ".packets.csv");
        ASSERT_TRUE(in) << base << ".aac missing (build the fixtures target)";
        const Bytes stream((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<size_t> sizes;  // pts_time,dts_time,duration_time,size,flags
        for (std::string line; std::getline(csv, line);) {
            size_t p = 0;
            for (int k = 0; k < 3; ++k) p = line.find(',', p) + 1;
            if (!line.empty()) sizes.push_back(std::stoul(line.substr(p)));
        }
        app::AdtsSplitter s;
        std::vector<size_t> got;
        for (const Bytes& f : SplitAll(stream, 1000, s)) got.push_back(f.size());
        EXPECT_FALSE(s.Failed()) << s.Error();
        EXPECT_EQ(got, sizes) << name;
        EXPECT_EQ(s.Skipped(), 0u) << "the frames together are the whole file";
    }
}

}  // namespace
