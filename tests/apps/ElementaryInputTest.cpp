// Inputs as the host opens them: the media type announced from the first unit, the times each
// unit gets, FIFOs read as data comes, and a stop that ends a wait at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <thread>

#include "apps/ElementaryInput.h"
#include "platform/dshow/FormatBlocks.h"
#include "platform/dshow/Uuids.h"

namespace {

using app::ElementaryInput;
std::string Fixture(const std::string& name) { return std::string(QV_FIXTURE_DIR) + "/" + name; }

struct Opened {
    Opened(ElementaryInput::Kind kind, const std::string& path, app::Rate rate = {25, 1}) : in(kind, path, rate) {
        EXPECT_TRUE(in.Open(&error) && in.Probe(stop, &error, nullptr)) << error;
    }
    ElementaryInput::Result Next() { return in.Next(u, stop, &error); }
    ElementaryInput in;
    std::string error;
    std::atomic<bool> stop{false};
    app::MediaUnit u;
};

TEST(ElementaryInput, VideoIsAnnouncedAndTimedByItsSequenceParameterSet) {
    Opened o(ElementaryInput::Kind::Video, Fixture("high720.h264"));
    EXPECT_EQ(o.in.Describe(), "H.264 1280x720 30 fps");
    const CMediaType mt = o.in.MediaType();
    EXPECT_EQ(mt.subtype, MEDIASUBTYPE_H264);
    ASSERT_TRUE(mt.formattype == FORMAT_VideoInfo && mt.cbFormat >= sizeof(VIDEOINFOHEADER));
    const auto* vih = reinterpret_cast<const VIDEOINFOHEADER*>(mt.pbFormat);
    EXPECT_EQ(vih->AvgTimePerFrame, 333333);
    EXPECT_EQ(vih->bmiHeader.biWidth, 1280);
    EXPECT_EQ(vih->bmiHeader.biHeight, 720);
    int n = 0, keys = 0;
    for (; o.Next() == ElementaryInput::Result::Unit; ++n) {
        // Frame n starts at n/30 s, to the 100-ns unit, with no drift over the file.
        ASSERT_EQ(o.u.start, int64_t{n} * 10'000'000 / 30) << n;
        ASSERT_EQ(o.u.stop, int64_t{n + 1} * 10'000'000 / 30) << n;
        keys += o.u.sync;
    }
    EXPECT_EQ(n, 300);
    EXPECT_EQ(keys, 6);  // one IDR every 50 frames
    EXPECT_EQ(o.Next(), ElementaryInput::Result::End);
}

TEST(ElementaryInput, AudioIsAnnouncedWithItsConfigAndTimedBySamples) {
    Opened o(ElementaryInput::Kind::Audio, Fixture("aac44m.aac"));
    EXPECT_EQ(o.in.Describe(), "AAC LC 44100 Hz 1 ch");
    const CMediaType mt = o.in.MediaType();
    ASSERT_TRUE(mt.formattype == FORMAT_WaveFormatEx && mt.cbFormat == sizeof(WAVEFORMATEX) + 2);
    const auto* wfx = reinterpret_cast<const WAVEFORMATEX*>(mt.pbFormat);
    EXPECT_EQ(wfx->wFormatTag, WAVE_FORMAT_RAW_AAC1);
    EXPECT_EQ(wfx->nSamplesPerSec, 44100u);
    EXPECT_EQ(wfx->nChannels, 1);
    // AudioSpecificConfig: object type 2, frequency index 4, channel configuration 1.
    EXPECT_EQ(mt.pbFormat[sizeof(WAVEFORMATEX)], 0x12);
    EXPECT_EQ(mt.pbFormat[sizeof(WAVEFORMATEX) + 1], 0x08);
    int64_t n = 0;
    for (; o.Next() == ElementaryInput::Result::Unit; ++n) ASSERT_EQ(o.u.start, n * 1024 * 10'000'000 / 44100) << n;
    EXPECT_GT(n, 125);
}

TEST(ElementaryInput, WithoutStreamTimingTheGivenRateTimesVideo) {
    // Baseline 320x240 SPS with no VUI (so no timing), a PPS, then an IDR and two P slices.
    std::vector<uint8_t> stream = {0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x0D, 0xDA, 0x05, 0x07, 0xE4,
                                   0, 0, 0, 1, 0x68, 0xCE, 0x3C, 0x80};
    for (uint8_t type : {0x65, 0x41, 0x41}) stream.insert(stream.end(), {0, 0, 1, type, 0x88, 0x80});
    char path[] = "/tmp/qv-apps-input-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, stream.data(), stream.size()), static_cast<ssize_t>(stream.size()));
    ::close(fd);
    Opened o(ElementaryInput::Kind::Video, path, *app::ParseRate("30000/1001"));
    EXPECT_FALSE(o.in.RateFromStream());
    ASSERT_EQ(o.Next(), ElementaryInput::Result::Unit);
    ASSERT_EQ(o.Next(), ElementaryInput::Result::Unit);
    EXPECT_EQ(o.u.start, 333666);  // 1001/30000 s
    ::unlink(path);
}

TEST(ElementaryInput, AFifoIsReadAsItsWriterProducesAndAStopEndsTheWait) {
    char dir[] = "/tmp/qv-apps-fifo-XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir));
    const std::string fifo = std::string(dir) + "/a.aac";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::ifstream src(Fixture("aac48s.aac"), std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(src)), std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), 4000u);

    ElementaryInput in(ElementaryInput::Kind::Audio, fifo);
    std::string error;
    std::atomic<bool> stop{false}, readerDone{false};
    ASSERT_TRUE(in.Open(&error)) << error;  // no writer yet: must not block
    EXPECT_TRUE(in.IsLive());
    std::thread writer([&] {
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) return;
        // Only the first part, and no end of file until the reader is done.
        EXPECT_EQ(::write(fd, bytes.data(), 4000), 4000);
        while (!readerDone.load()) std::this_thread::yield();
        ::close(fd);
    });
    ASSERT_TRUE(in.Probe(stop, &error, nullptr)) << error;
    app::MediaUnit u;
    ASSERT_EQ(in.Next(u, stop, &error), ElementaryInput::Result::Unit);
    // What is left is a partial frame: the next read waits until stopped.
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stop = true;
    });
    ElementaryInput::Result r;
    const auto t0 = std::chrono::steady_clock::now();
    while ((r = in.Next(u, stop, &error)) == ElementaryInput::Result::Unit) {
    }
    readerDone = true;
    EXPECT_EQ(r, ElementaryInput::Result::Stopped);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
    stopper.join();
    writer.join();
    ::unlink(fifo.c_str());
    ::rmdir(dir);
}

}  // namespace
