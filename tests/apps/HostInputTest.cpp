// The host's inputs: the splitters against streams built here and the fixtures, fed in many
// chunkings; the inputs as the host opens them (media type, unit times, FIFOs, a stop).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <thread>

#include "apps/AdtsSplitter.h"
#include "apps/AnnexBSplitter.h"
#include "apps/ElementaryInput.h"
#include "platform/dshow/FormatBlocks.h"
#include "platform/dshow/Uuids.h"

namespace {

using Bytes = std::vector<uint8_t>;
using app::ElementaryInput;
using Kind = ElementaryInput::Kind;

std::string Fixture(const std::string& name) { return std::string(QV_FIXTURE_DIR) + "/" + name; }
Bytes Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
// The fixture's packets as ffprobe lists them: pts_time,dts_time,duration_time,size,flags.
std::vector<std::string> Packets(const std::string& name) {
    std::ifstream csv(Fixture(name + ".packets.csv"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(csv, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}
Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
// Feeds the stream in pieces of pieceAt(offset) bytes, then ends it.
template <class Splitter>
auto Split(const Bytes& stream, const std::function<size_t(size_t)>& pieceAt, Splitter& s) {
    std::vector<std::decay_t<decltype(*s.Next())>> units;
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
template <class Unit>
std::vector<Bytes> BytesOf(const std::vector<Unit>& units) {
    std::vector<Bytes> out;
    for (const Unit& u : units) out.push_back(u.bytes);
    return out;
}
std::function<size_t(size_t)> Every(size_t n) { return [n](size_t) { return n; }; }

// AAC LC, no CRC, `payload` bytes of `fill`.
Bytes Frame(int sfi, int channels, size_t payload, uint8_t fill = 0x21) {
    const size_t len = 7 + payload;
    Bytes f = {0xFF, 0xF1, static_cast<uint8_t>((1 << 6) | (sfi << 2) | (channels >> 2)),
               static_cast<uint8_t>(((channels & 3) << 6) | (len >> 11)), static_cast<uint8_t>((len >> 3) & 0xFF),
               static_cast<uint8_t>(((len & 7) << 5) | 0x1F), 0xFC};
    f.insert(f.end(), payload, fill);
    return f;
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
            EXPECT_EQ(BytesOf(Split(k.stream, Every(chunk), s)), k.frames);
            EXPECT_EQ(s.Skipped(), k.skipped);
        }
    }
}

// Text gives up without waiting for the end; short input with no frame is refused at the end,
// as are frames with the reserved sample rate index 13 or no longer than their header.
TEST(AdtsSplitter, RefusesInputThatIsNotADTS) {
    Bytes reserved = Frame(4, 1, 10);
    reserved[2] = static_cast<uint8_t>((reserved[2] & ~0x3C) | (13 << 2));
    for (const Bytes& bad : {Bytes(70000, 'x'), Bytes{'h', 'e', 'l', 'l', 'o'}, Cat({reserved, reserved}), Cat({Frame(4, 1, 0), Frame(4, 1, 0)})}) {
        app::AdtsSplitter s;
        s.Push(bad);
        EXPECT_FALSE(s.Next());
        EXPECT_EQ(s.Failed(), bad.size() == 70000) << bad.size();
        s.End();
        EXPECT_FALSE(s.Next());
        EXPECT_TRUE(s.Failed()) << bad.size();
    }
}

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
        for (size_t c : {size_t{1}, size_t{3}, size_t{7}, stream.size()}) feeds.emplace_back("chunk " + std::to_string(c), Every(c));
        if (stream.size() < 1000)  // every two-piece cut, including those inside "00 00 00 01"
            for (size_t cut = 1; cut < stream.size(); ++cut)
                feeds.emplace_back("cut " + std::to_string(cut), [cut](size_t i) { return i ? SIZE_MAX : cut; });
        for (const auto& [feed, pieceAt] : feeds) {
            SCOPED_TRACE(std::string(k.name) + ", " + feed);
            app::AnnexBSplitter s;
            ASSERT_EQ(BytesOf(Split(stream, pieceAt, s)), k.units);
            EXPECT_EQ(s.Skipped(), skipped);
            EXPECT_EQ(s.Sps().pic_width_in_mbs, 20);
            EXPECT_EQ(s.Sps().time_scale, 50u);
        }
    }
    app::AnnexBSplitter s;
    auto units = Split(Cat({u0, u1, u2}), Every(5), s);
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
    for (const std::string name : {"high_bpyr", "baseline", "slices4", "mbaff", "crop1080"}) {
        const Bytes stream = Read(Fixture(name + ".h264"));
        ASSERT_FALSE(stream.empty()) << name << ".h264 missing (build the fixtures target)";
        std::vector<bool> keys;  // the encoder's key frame flags, in decoding order
        for (const std::string& line : Packets(name)) keys.push_back(line.substr(line.rfind(',') + 1).find('K') != std::string::npos);
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

// The fields of the media type the writer reads, as text.
std::string Announced(const CMediaType& mt) {
    const auto* v = reinterpret_cast<const VIDEOINFOHEADER*>(mt.pbFormat);
    const auto* w = reinterpret_cast<const WAVEFORMATEX*>(mt.pbFormat);
    if (mt.subtype == MEDIASUBTYPE_H264 && mt.formattype == FORMAT_VideoInfo && mt.cbFormat >= sizeof(VIDEOINFOHEADER))
        return std::to_string(v->AvgTimePerFrame) + " " + std::to_string(v->bmiHeader.biWidth) + "x" + std::to_string(v->bmiHeader.biHeight);
    if (mt.formattype != FORMAT_WaveFormatEx || mt.cbFormat != sizeof(WAVEFORMATEX) + 2 || w->wFormatTag != WAVE_FORMAT_RAW_AAC1) return "?";
    char asc[8];
    std::snprintf(asc, sizeof asc, "%02x%02x", mt.pbFormat[sizeof(WAVEFORMATEX)], mt.pbFormat[sizeof(WAVEFORMATEX) + 1]);
    return std::to_string(w->nSamplesPerSec) + " " + std::to_string(w->nChannels) + " " + asc;
}

// Unit n starts at n * duration, to the 100-ns unit, with no drift over the file.
TEST(ElementaryInput, AnnouncedFromTheFirstUnitAndEveryUnitTimedByItsStream) {
    // Baseline 320x240 SPS with no VUI (so no timing), a PPS, then an IDR and two P slices.
    std::vector<uint8_t> untimed = {0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x0D, 0xDA, 0x05, 0x07, 0xE4,
                                    0, 0, 0, 1, 0x68, 0xCE, 0x3C, 0x80};
    for (uint8_t type : {0x65, 0x41, 0x41}) untimed.insert(untimed.end(), {0, 0, 1, type, 0x88, 0x80});
    char path[] = "/tmp/qv-apps-input-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, untimed.data(), untimed.size()), static_cast<ssize_t>(untimed.size()));
    ::close(fd);
    struct Case {
        Kind kind;
        std::string path, describe, announced;
        int64_t num, den;  // unit duration in seconds
        int units, keys;
    } cases[] = {
        {Kind::Video, Fixture("high720.h264"), "H.264 1280x720 30 fps", "333333 1280x720", 1, 30, 300, 6},
        // AudioSpecificConfig: object type 2, frequency index 4, channel configuration 1.
        {Kind::Audio, Fixture("aac44m.aac"), "AAC LC 44100 Hz 1 ch", "44100 1 1208", 1024, 44100, 131, 131},
        {Kind::Video, path, "H.264 320x240 30 fps (assumed)", "333666 320x240", 1001, 30000, 3, 1},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.path);
        ElementaryInput in(k.kind, k.path, *app::ParseRate("30000/1001"));
        std::string error;
        std::atomic<bool> stop{false};
        ASSERT_TRUE(in.Open(&error) && in.Probe(stop, &error, nullptr)) << error;
        EXPECT_EQ(in.Describe(), k.describe);
        EXPECT_EQ(Announced(in.MediaType()), k.announced);
        app::MediaUnit u;
        int n = 0, keys = 0;
        for (; in.Next(u, stop, &error) == ElementaryInput::Result::Unit; ++n, keys += u.sync) {
            ASSERT_EQ(u.start, n * k.num * 10'000'000 / k.den) << n;
            if (k.kind == Kind::Video) {
                ASSERT_EQ(u.stop, (n + 1) * k.num * 10'000'000 / k.den) << n;
            }
        }
        EXPECT_EQ(std::tuple(n, keys), std::tuple(k.units, k.keys));
        EXPECT_EQ(in.Next(u, stop, &error), ElementaryInput::Result::End);
    }
    ::unlink(path);
}

TEST(ElementaryInput, AFifoIsReadAsItsWriterProducesAndAStopEndsTheWait) {
    char dir[] = "/tmp/qv-apps-fifo-XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir));
    const std::string fifo = std::string(dir) + "/a.aac";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const Bytes bytes = Read(Fixture("aac48s.aac"));
    ASSERT_GT(bytes.size(), 4000u);
    ElementaryInput in(Kind::Audio, fifo);
    std::string error;
    std::atomic<bool> stop{false};
    ASSERT_TRUE(in.Open(&error)) << error;  // no writer yet: must not block
    EXPECT_TRUE(in.IsLive());
    // The writer sends the first part only (ending in a partial frame) and holds the FIFO open.
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, bytes.data(), 4000), 4000);
    ASSERT_TRUE(in.Probe(stop, &error, nullptr)) << error;
    app::MediaUnit u;
    ASSERT_EQ(in.Next(u, stop, &error), ElementaryInput::Result::Unit);
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // lets the read below wait first
        stop = true;
    });
    ElementaryInput::Result r;
    const auto t0 = std::chrono::steady_clock::now();
    while ((r = in.Next(u, stop, &error)) == ElementaryInput::Result::Unit) {
    }
    EXPECT_EQ(r, ElementaryInput::Result::Stopped);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
    stopper.join();
    ::close(fd);
    ::unlink(fifo.c_str());
    ::rmdir(dir);
}

}  // namespace
