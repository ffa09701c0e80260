// The access-unit splitter against hand-written Annex B streams (where each unit must end) and
// against the x264 fixtures (one unit per packet the encoder wrote), fed in many chunkings.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <random>

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

// Feeds the stream in pieces of pieceAt(offset) bytes, then ends it.
std::vector<app::AccessUnit> Split(const Bytes& stream, const std::function<size_t(size_t)>& pieceAt, app::AnnexBSplitter& s) {
    std::vector<app::AccessUnit> units;
    for (size_t i = 0, n = 0; i < stream.size(); i += n) {
        n = std::min(pieceAt(i), stream.size() - i);
        s.Push({stream.data() + i, n});
        while (auto u = s.Next()) units.push_back(std::move(*u));
    }
    s.End();
    while (auto u = s.Next()) units.push_back(std::move(*u));
    EXPECT_FALSE(s.Failed()) << s.Error();
    return units;
}

TEST(AnnexBSplitter, CutsWhereTheNextPictureOrItsPrefixBeginsAndSkipsToTheFirstSps) {
    const Bytes sei = Nal({0x06, 0x05, 0x01, 0x80});
    const Bytes u0 = Cat({Nal({0x09, 0xF0}), Nal(kSps), Nal(kPps), sei, Nal(Slice(5, true, 1))});
    // Two slices of one picture: the second has first_mb_in_slice != 0 and stays in the unit.
    const Bytes u1 = Cat({Nal({0x09, 0x30}, false), Nal(Slice(1, true, 2), false), Nal(Slice(1, false, 3), false)});
    const Bytes u2 = Nal(Slice(1, true, 4));           // no delimiter: the first slice opens the unit
    const Bytes u3 = Cat({sei, Nal(Slice(1, true, 5)), Nal({0x0B})});  // an SEI after a picture opens one
    const Bytes joinedLate = Cat({Bytes{0x12, 0x34}, Nal(Slice(1, true, 9)), Nal({0x68, 0x01})});
    // 70 KB of pictures before any SPS: the buffer is compacted while the delimiter waits for its SPS.
    Bytes longLead;
    while (longLead.size() < 70000) longLead = Cat({longLead, Nal(Slice(1, true, 7)), Bytes(100, 0x5A)});
    struct Case {
        const char* name;
        Bytes lead;
        std::vector<Bytes> units;
    } cases[] = {
        {"picture boundaries", {}, {u0, u1, u2, u3}},
        {"one unit is all the data", {}, {Cat({Nal(kSps), u2})}},
        {"joined mid-stream", joinedLate, {u0, u2}},
        {"long lead before the SPS", longLead, {u0, u1}},
    };
    for (const Case& k : cases) {
        Bytes stream = k.lead;
        for (const Bytes& u : k.units) stream = Cat({stream, u});
        const size_t skipped = k.lead.size();
        std::vector<std::pair<std::string, std::function<size_t(size_t)>>> feeds;
        for (size_t c : {size_t{1}, size_t{3}, size_t{7}, stream.size()})
            feeds.emplace_back("chunk " + std::to_string(c), [c](size_t) { return c; });
        if (stream.size() < 1000)  // every two-piece cut, including those inside "00 00 00 01"
            for (size_t cut = 1; cut < stream.size(); ++cut)
                feeds.emplace_back("cut " + std::to_string(cut), [cut](size_t i) { return i ? SIZE_MAX : cut; });
        for (const auto& [feed, pieceAt] : feeds) {
            SCOPED_TRACE(std::string(k.name) + ", " + feed);
            app::AnnexBSplitter s;
            std::vector<Bytes> got;
            for (auto& u : Split(stream, pieceAt, s)) got.push_back(u.bytes);
            ASSERT_EQ(got, k.units);
            EXPECT_EQ(s.Skipped(), skipped);
            EXPECT_EQ(s.Sps().pic_width_in_mbs, 20);
            EXPECT_EQ(s.Sps().time_scale, 50u);
        }
    }
    app::AnnexBSplitter s;
    auto units = Split(Cat({u0, u1, u2}), [](size_t) { return 5; }, s);
    ASSERT_EQ(units.size(), 3u);
    EXPECT_TRUE(units[0].idr && units[0].hasSps);
    EXPECT_FALSE(units[1].idr || units[2].hasSps);
}

TEST(AnnexBSplitter, RefusesInputThatIsNotAnAnnexBStream) {
    const std::string text = "this is a text file, not a video\n";
    const Bytes badSps = Cat({Nal({0x67, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), Nal(Slice(5, true, 1))});
    for (const Bytes& bad : {Bytes(text.begin(), text.end()), badSps}) {
        app::AnnexBSplitter s;
        s.Push(bad);
        s.End();
        EXPECT_FALSE(s.Next());
        EXPECT_TRUE(s.Failed());
    }
    app::AnnexBSplitter s;  // 5 MiB of zeros: gives up at the skip limit, without waiting for the end
    for (int i = 0; i < 5 && !s.Failed(); ++i) s.Push(Bytes(1 << 20, 0));
    EXPECT_TRUE(s.Failed());
}

TEST(AnnexBSplitter, FixturesSplitIntoTheEncodersPackets) {
    for (const char* name : {"high_bpyr", "baseline", "slices4", "mbaff", "crop1080"}) {
        const std::string base = std::string(QV_FIXTURE_DIR) + "/" + name;
        std::ifstream in(base + ".h264", std::ios::binary), csv(base + ".packets.csv");
        ASSERT_TRUE(in) << base << ".h264 missing (build the fixtures target)";
        const Bytes stream((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<bool> keys;  // the encoder's key frame flags, in decoding order
        for (std::string line; std::getline(csv, line);)
            if (!line.empty()) keys.push_back(line.substr(line.rfind(',') + 1).find('K') != std::string::npos);
        ASSERT_FALSE(keys.empty());
        std::mt19937 rng(7);
        for (int random : {0, 1}) {
            app::AnnexBSplitter s;
            auto units = Split(stream, [&](size_t) { return random ? 1 + rng() % 65536 : 4096; }, s);
            std::vector<bool> gotKeys;
            Bytes joined;
            for (auto& u : units) gotKeys.push_back(u.idr), joined.insert(joined.end(), u.bytes.begin(), u.bytes.end());
            EXPECT_EQ(gotKeys, keys) << name;
            EXPECT_TRUE(joined == stream) << name << ": the units together are not the stream";
        }
    }
}

}  // namespace
