// The ADTS splitter against frames built bit by bit here, and against the AAC fixtures (one frame
// per packet ffprobe lists), with false sync words, garbage between frames and cut-off tails.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "apps/AdtsSplitter.h"

namespace {

using Bytes = std::vector<uint8_t>;

// One ADTS frame: AAC LC (profile 1), sample rate index, channel configuration, payload of
// `payload` bytes (filled with `fill`), no CRC.
Bytes Frame(int sfi, int channels, size_t payload, uint8_t fill = 0x21) {
    const size_t len = 7 + payload;
    Bytes f = {0xFF, 0xF1, static_cast<uint8_t>((1 << 6) | (sfi << 2) | (channels >> 2)),
               static_cast<uint8_t>(((channels & 3) << 6) | (len >> 11)), static_cast<uint8_t>((len >> 3) & 0xFF),
               static_cast<uint8_t>(((len & 7) << 5) | 0x1F), 0xFC};
    f.insert(f.end(), payload, fill);
    return f;
}

std::vector<app::AdtsFrame> SplitAll(const Bytes& stream, size_t chunk, app::AdtsSplitter& s) {
    std::vector<app::AdtsFrame> frames;
    for (size_t i = 0; i < stream.size(); i += chunk) {
        s.Push({stream.data() + i, std::min(chunk, stream.size() - i)});
        while (auto f = s.Next()) frames.push_back(std::move(*f));
    }
    s.End();
    while (auto f = s.Next()) frames.push_back(std::move(*f));
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
    Bytes shortLen = Frame(4, 1, 0);  // a frame no longer than its header
    EXPECT_FALSE(app::ParseAdtsHeader(shortLen, &len));
}

TEST(AdtsSplitter, FramesComeOutWholeWhateverTheChunking) {
    const Bytes a = Frame(4, 1, 200, 0x11), b = Frame(4, 1, 5, 0x22), c = Frame(4, 1, 300, 0x33);
    Bytes stream = a;
    stream.insert(stream.end(), b.begin(), b.end());
    stream.insert(stream.end(), c.begin(), c.end());
    for (size_t chunk : {size_t{1}, size_t{6}, size_t{64}, stream.size()}) {
        app::AdtsSplitter s;
        auto frames = SplitAll(stream, chunk, s);
        ASSERT_EQ(frames.size(), 3u) << chunk;
        EXPECT_EQ(frames[0].bytes, a);
        EXPECT_EQ(frames[1].bytes, b);
        EXPECT_EQ(frames[2].bytes, c);
        EXPECT_EQ(frames[0].sampleRate, 44100);
        EXPECT_EQ(s.Skipped(), 0u);
    }
}

TEST(AdtsSplitter, AFalseSyncWordBeforeTheFirstFrameIsSkipped) {
    // 0xFFF1 followed by a plausible header whose "frame" is not followed by another header.
    Bytes junk = {0x00, 0xFF, 0xF1, 0x50, 0x80, 0x02, 0x1F, 0xFC, 0x01, 0x02};
    const Bytes a = Frame(3, 2, 50), b = Frame(3, 2, 60);
    Bytes stream = junk;
    stream.insert(stream.end(), a.begin(), a.end());
    stream.insert(stream.end(), b.begin(), b.end());
    app::AdtsSplitter s;
    auto frames = SplitAll(stream, 3, s);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].bytes, a);
    EXPECT_EQ(frames[1].bytes, b);
    EXPECT_EQ(s.Skipped(), junk.size());
}

TEST(AdtsSplitter, GarbageBetweenFramesAndACutTailAreSkipped) {
    const Bytes a = Frame(3, 2, 50), b = Frame(3, 2, 60), c = Frame(3, 2, 70);
    Bytes stream = a;
    stream.insert(stream.end(), b.begin(), b.end());
    stream.insert(stream.end(), {0x01, 0x02, 0x03});
    stream.insert(stream.end(), c.begin(), c.end());
    stream.insert(stream.end(), a.begin(), a.begin() + 20);  // the producer died mid-frame
    app::AdtsSplitter s;
    auto frames = SplitAll(stream, 7, s);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[1].bytes, b);
    EXPECT_EQ(frames[2].bytes, c);
    EXPECT_FALSE(s.Failed());
    EXPECT_EQ(s.Skipped(), 23u);
}

TEST(AdtsSplitter, RefusesInputThatIsNotADTS) {
    {
        app::AdtsSplitter s;
        Bytes text(70000, 'x');
        s.Push(text);
        EXPECT_FALSE(s.Next());
        EXPECT_TRUE(s.Failed());
    }
    {
        app::AdtsSplitter s;  // short and no frame: refused at the end
        const std::string t = "hello";
        s.Push({reinterpret_cast<const uint8_t*>(t.data()), t.size()});
        s.End();
        EXPECT_FALSE(s.Next());
        EXPECT_TRUE(s.Failed());
    }
}

TEST(AdtsSplitter, FixturesSplitIntoTheirPackets) {
    for (const char* name : {"aac48s", "aac44m", "aaccrc"}) {
        const std::string base = std::string(QV_FIXTURE_DIR) + "/" + name;
        std::ifstream in(base + ".aac", std::ios::binary);
        ASSERT_TRUE(in) << base << ".aac missing (build the fixtures target)";
        const Bytes stream((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::ifstream csv(base + ".packets.csv");
        std::vector<int> sizes;
        for (std::string line; std::getline(csv, line);) {
            if (line.empty()) continue;
            // pts_time,dts_time,duration_time,size,flags
            size_t p = 0;
            for (int k = 0; k < 3; ++k) p = line.find(',', p) + 1;
            sizes.push_back(std::stoi(line.substr(p)));
        }
        app::AdtsSplitter s;
        auto frames = SplitAll(stream, 1000, s);
        ASSERT_FALSE(s.Failed()) << s.Error();
        ASSERT_EQ(frames.size(), sizes.size()) << name;
        size_t total = 0;
        for (size_t i = 0; i < frames.size(); ++i) {
            total += frames[i].bytes.size();
            EXPECT_EQ(frames[i].bytes.size(), static_cast<size_t>(sizes[i])) << name << " frame " << i;
        }
        EXPECT_EQ(total, stream.size()) << name;
        EXPECT_EQ(s.Skipped(), 0u);
    }
}

}  // namespace
