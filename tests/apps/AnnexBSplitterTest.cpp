// The access-unit splitter against hand-written Annex B streams (where each unit must end) and
// against the x264 fixtures (one unit per packet the encoder wrote), fed in every chunking.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "apps/AnnexBSplitter.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A real baseline SPS (320x240, timing 25 fps: num_units_in_tick 1, time_scale 50) and PPS.
const Bytes kSps = {0x67, 0x42, 0xC0, 0x0D, 0xD9, 0x01, 0x41, 0xFB, 0x01, 0x10, 0x00, 0x00, 0x03,
                    0x00, 0x10, 0x00, 0x00, 0x03, 0x03, 0x20, 0xF1, 0x42, 0xA4, 0x80};
const Bytes kPps = {0x68, 0xCB, 0x83, 0xCB, 0x20};

Bytes Nal(const Bytes& body, bool fourByte = true) {
    Bytes out = fourByte ? Bytes{0, 0, 0, 1} : Bytes{0, 0, 1};
    out.insert(out.end(), body.begin(), body.end());
    return out;
}
// A slice NAL: type, then first_mb_in_slice 0 (a leading 1 bit) or not (a 0 bit), then filler.
Bytes Slice(int type, bool firstMb, uint8_t tag) { return {static_cast<uint8_t>(0x40 | type), uint8_t(firstMb ? 0x88 : 0x08), tag, 0x55}; }
Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::vector<app::AccessUnit> SplitAll(const Bytes& stream, size_t chunk, app::AnnexBSplitter* keep = nullptr) {
    app::AnnexBSplitter s;
    std::vector<app::AccessUnit> units;
    for (size_t i = 0; i < stream.size(); i += chunk) {
        s.Push({stream.data() + i, std::min(chunk, stream.size() - i)});
        while (auto u = s.Next()) units.push_back(std::move(*u));
    }
    s.End();
    while (auto u = s.Next()) units.push_back(std::move(*u));
    EXPECT_FALSE(s.Failed()) << s.Error();
    if (keep) *keep = s;
    return units;
}

TEST(AnnexBSplitter, CutsWhereTheNextPictureOrItsPrefixBegins) {
    const Bytes u0 = Cat({Nal({0x09, 0xF0}), Nal(kSps), Nal(kPps), Nal({0x06, 0x05, 0x01, 0x80}), Nal(Slice(5, true, 1))});
    // Two slices of one picture: the second has first_mb_in_slice != 0 and stays in the unit.
    const Bytes u1 = Cat({Nal({0x09, 0x30}, false), Nal(Slice(1, true, 2), false), Nal(Slice(1, false, 3), false)});
    // No delimiter: the slice with first_mb_in_slice 0 opens the unit.
    const Bytes u2 = Nal(Slice(1, true, 4));
    // An SEI after a picture opens the next unit.
    const Bytes u3 = Cat({Nal({0x06, 0x05, 0x01, 0x80}), Nal(Slice(1, true, 5)), Nal({0x0B})});
    const Bytes stream = Cat({u0, u1, u2, u3});
    for (size_t chunk : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, stream.size()}) {
        app::AnnexBSplitter s;
        auto units = SplitAll(stream, chunk, &s);
        ASSERT_EQ(units.size(), 4u) << "chunk " << chunk;
        EXPECT_EQ(units[0].bytes, u0);
        EXPECT_EQ(units[1].bytes, u1);
        EXPECT_EQ(units[2].bytes, u2);
        EXPECT_EQ(units[3].bytes, u3);
        EXPECT_TRUE(units[0].idr);
        EXPECT_TRUE(units[0].hasSps);
        EXPECT_FALSE(units[1].idr);
        EXPECT_FALSE(units[2].hasSps);
        EXPECT_EQ(s.Sps().pic_width_in_mbs, 20);
        EXPECT_TRUE(s.Sps().timing_info_present_flag);
        EXPECT_EQ(s.Sps().time_scale, 50u);
    }
}

TEST(AnnexBSplitter, SkipsEverythingBeforeTheFirstSequenceParameterSet) {
    // A stream joined mid-way: a picture and garbage come before the SPS.
    const Bytes head = Cat({Bytes{0x12, 0x34}, Nal(Slice(1, true, 9)), Nal({0x68, 0x01})});
    const Bytes u0 = Cat({Nal(kSps), Nal(kPps), Nal(Slice(5, true, 1))});
    const Bytes stream = Cat({head, u0});
    app::AnnexBSplitter s;
    auto units = SplitAll(stream, 5, &s);
    ASSERT_EQ(units.size(), 1u);
    EXPECT_EQ(units[0].bytes, u0);
    EXPECT_EQ(s.Skipped(), head.size());
}

TEST(AnnexBSplitter, TheDelimiterBeforeTheFirstSpsSurvivesBufferCompaction) {
    // 70 KB of pictures before any SPS (all skipped), then the unit that starts the stream,
    // pushed in small pieces so the buffer is compacted while the delimiter waits for its SPS.
    Bytes stream;
    while (stream.size() < 70000) {
        const Bytes pic = Nal(Slice(1, true, 7));
        stream.insert(stream.end(), pic.begin(), pic.end());
        stream.insert(stream.end(), 100, 0x5A);
    }
    const size_t skipped = stream.size();
    const Bytes u0 = Cat({Nal({0x09, 0xF0}), Nal(kSps), Nal(kPps), Nal(Slice(5, true, 1))});
    const Bytes u1 = Nal(Slice(1, true, 2));
    stream = Cat({stream, u0, u1});
    app::AnnexBSplitter s;
    auto units = SplitAll(stream, 3, &s);
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[0].bytes, u0);
    EXPECT_EQ(units[1].bytes, u1);
    EXPECT_EQ(s.Skipped(), skipped);
}

TEST(AnnexBSplitter, RefusesInputThatIsNotAnAnnexBStream) {
    {
        app::AnnexBSplitter s;  // text: no start code at all
        const std::string text = "this is a text file, not a video\n";
        s.Push({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
        s.End();
        EXPECT_TRUE(s.Failed());
        EXPECT_FALSE(s.Next());
    }
    {
        app::AnnexBSplitter s;  // start codes, but what follows the SPS header does not parse
        const Bytes bad = Cat({Nal({0x67, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), Nal(Slice(5, true, 1))});
        s.Push(bad);
        s.End();
        EXPECT_TRUE(s.Failed());
    }
    {
        app::AnnexBSplitter s;  // 5 MiB of zeros: gives up at the skip limit, without waiting for the end
        Bytes zeros(1 << 20, 0);
        for (int i = 0; i < 5 && !s.Failed(); ++i) s.Push(zeros);
        EXPECT_TRUE(s.Failed());
    }
}

TEST(AnnexBSplitter, AStartCodeCutAcrossPushesIsFound) {
    const Bytes u0 = Cat({Nal(kSps), Nal(kPps), Nal(Slice(5, true, 1))});
    const Bytes u1 = Nal(Slice(1, true, 2));
    const Bytes stream = Cat({u0, u1});
    // Every split point, including those inside "00 00 00 01".
    for (size_t cut = 1; cut < stream.size(); ++cut) {
        app::AnnexBSplitter s;
        s.Push({stream.data(), cut});
        s.Push({stream.data() + cut, stream.size() - cut});
        s.End();
        std::vector<Bytes> got;
        while (auto u = s.Next()) got.push_back(u->bytes);
        ASSERT_EQ(got.size(), 2u) << "cut " << cut;
        EXPECT_EQ(got[0], u0) << "cut " << cut;
        EXPECT_EQ(got[1], u1) << "cut " << cut;
    }
}

std::optional<Bytes> ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return std::nullopt;
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

int CountLines(const std::string& path) {
    std::ifstream f(path);
    std::string line;
    int n = 0;
    while (std::getline(f, line))
        if (!line.empty()) ++n;
    return n;
}

// Key frame flags of the encoder's packets, in decoding order.
std::vector<bool> KeyFlags(const std::string& path) {
    std::ifstream f(path);
    std::string line;
    std::vector<bool> keys;
    while (std::getline(f, line))
        if (!line.empty()) keys.push_back(line.substr(line.rfind(',') + 1).find('K') != std::string::npos);
    return keys;
}

TEST(AnnexBSplitter, FixturesSplitIntoTheEncodersPackets) {
    for (const char* name : {"high_bpyr", "baseline", "slices4", "mbaff", "crop1080"}) {
        const std::string base = std::string(QV_FIXTURE_DIR) + "/" + name;
        auto stream = ReadFile(base + ".h264");
        ASSERT_TRUE(stream) << base << ".h264 missing (build the fixtures target)";
        const std::vector<bool> keys = KeyFlags(base + ".packets.csv");
        ASSERT_FALSE(keys.empty());
        std::mt19937 rng(7);
        for (size_t chunk : {size_t{4096}, size_t{65536}, size_t{0}}) {
            app::AnnexBSplitter s;
            std::vector<app::AccessUnit> units;
            size_t i = 0;
            while (i < stream->size()) {
                // 0: random chunk sizes from 1 byte to 64 KiB
                const size_t n = std::min(chunk ? chunk : 1 + rng() % 65536, stream->size() - i);
                s.Push({stream->data() + i, n});
                i += n;
                while (auto u = s.Next()) units.push_back(std::move(*u));
            }
            s.End();
            while (auto u = s.Next()) units.push_back(std::move(*u));
            ASSERT_FALSE(s.Failed()) << name << ": " << s.Error();
            ASSERT_EQ(units.size(), keys.size()) << name;
            Bytes joined;
            for (size_t k = 0; k < units.size(); ++k) {
                EXPECT_EQ(units[k].idr, keys[k]) << name << " unit " << k;
                joined.insert(joined.end(), units[k].bytes.begin(), units[k].bytes.end());
            }
            EXPECT_EQ(joined, *stream) << name << ": the units together are not the stream";
        }
    }
    EXPECT_EQ(CountLines(std::string(QV_FIXTURE_DIR) + "/high_bpyr.packets.csv"), 75);
}

}  // namespace
