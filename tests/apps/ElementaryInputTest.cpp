// Inputs as the host opens them: the media type announced from the first unit, the times each
// unit gets, standard input and FIFOs read as data comes, and a stop that ends a wait at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

#include "apps/ElementaryInput.h"
#include "platform/dshow/FormatBlocks.h"
#include "platform/dshow/Uuids.h"

namespace {

std::string Fixture(const std::string& name) { return std::string(QV_FIXTURE_DIR) + "/" + name; }

TEST(ElementaryInput, VideoIsAnnouncedAndTimedByItsSequenceParameterSet) {
    app::ElementaryInput in(app::ElementaryInput::Kind::Video, Fixture("high720.h264"));
    std::string error;
    std::atomic<bool> stop{false};
    ASSERT_TRUE(in.Open(&error)) << error;
    ASSERT_TRUE(in.Probe(stop, &error, nullptr)) << error;
    EXPECT_EQ(in.Describe(), "H.264 1280x720 30 fps");
    EXPECT_TRUE(in.RateFromStream());
    const CMediaType mt = in.MediaType();
    EXPECT_EQ(mt.majortype, MEDIATYPE_Video);
    EXPECT_EQ(mt.subtype, MEDIASUBTYPE_H264);
    ASSERT_EQ(mt.formattype, FORMAT_VideoInfo);
    ASSERT_GE(mt.cbFormat, sizeof(VIDEOINFOHEADER));
    const auto* vih = reinterpret_cast<const VIDEOINFOHEADER*>(mt.pbFormat);
    EXPECT_EQ(vih->AvgTimePerFrame, 333333);
    EXPECT_EQ(vih->bmiHeader.biWidth, 1280);
    EXPECT_EQ(vih->bmiHeader.biHeight, 720);
    app::MediaUnit u;
    int n = 0, keys = 0;
    while (in.Next(u, stop, &error) == app::ElementaryInput::Result::Unit) {
        // Frame n starts at n/30 s, to the 100-ns unit, with no drift over the file.
        ASSERT_EQ(u.start, static_cast<int64_t>(n) * 10'000'000 / 30) << n;
        ASSERT_EQ(u.stop, static_cast<int64_t>(n + 1) * 10'000'000 / 30) << n;
        keys += u.sync ? 1 : 0;
        ++n;
    }
    EXPECT_EQ(n, 300);
    EXPECT_EQ(keys, 6);  // one IDR every 50 frames
    EXPECT_EQ(in.Next(u, stop, &error), app::ElementaryInput::Result::End);
}

TEST(ElementaryInput, AudioIsAnnouncedWithItsConfigAndTimedBySamples) {
    app::ElementaryInput in(app::ElementaryInput::Kind::Audio, Fixture("aac44m.aac"));
    std::string error;
    std::atomic<bool> stop{false};
    ASSERT_TRUE(in.Open(&error)) << error;
    ASSERT_TRUE(in.Probe(stop, &error, nullptr)) << error;
    EXPECT_EQ(in.Describe(), "AAC LC 44100 Hz 1 ch");
    const CMediaType mt = in.MediaType();
    ASSERT_EQ(mt.formattype, FORMAT_WaveFormatEx);
    ASSERT_EQ(mt.cbFormat, sizeof(WAVEFORMATEX) + 2);
    const auto* wfx = reinterpret_cast<const WAVEFORMATEX*>(mt.pbFormat);
    EXPECT_EQ(wfx->wFormatTag, WAVE_FORMAT_RAW_AAC1);
    EXPECT_EQ(wfx->nSamplesPerSec, 44100u);
    EXPECT_EQ(wfx->nChannels, 1);
    // AudioSpecificConfig: object type 2, frequency index 4, channel configuration 1.
    EXPECT_EQ(mt.pbFormat[sizeof(WAVEFORMATEX)], 0x12);
    EXPECT_EQ(mt.pbFormat[sizeof(WAVEFORMATEX) + 1], 0x08);
    app::MediaUnit u;
    int64_t n = 0;
    while (in.Next(u, stop, &error) == app::ElementaryInput::Result::Unit) {
        ASSERT_EQ(u.start, n * 1024 * 10'000'000 / 44100) << n;
        ++n;
    }
    EXPECT_GT(n, 125);
}

// Bits of an SPS written here: baseline, 320x240, picture order count type 2, no VUI (so no timing).
std::vector<uint8_t> SpsWithoutTiming() {
    std::vector<bool> bits;
    auto u = [&](uint32_t v, int n) {
        for (int i = n - 1; i >= 0; --i) bits.push_back((v >> i) & 1);
    };
    auto ue = [&](uint32_t v) {
        const uint32_t x = v + 1;
        int len = 0;
        while ((x >> len) > 1) ++len;
        u(0, len);
        u(x, len + 1);
    };
    u(66, 8);   // profile_idc
    u(0xC0, 8); // constraint flags
    u(13, 8);   // level_idc
    ue(0);      // seq_parameter_set_id
    ue(0);      // log2_max_frame_num_minus4
    ue(2);      // pic_order_cnt_type
    ue(1);      // max_num_ref_frames
    u(0, 1);    // gaps_in_frame_num_value_allowed_flag
    ue(19);     // pic_width_in_mbs_minus1
    ue(14);     // pic_height_in_map_units_minus1
    u(1, 1);    // frame_mbs_only_flag
    u(1, 1);    // direct_8x8_inference_flag
    u(0, 1);    // frame_cropping_flag
    u(0, 1);    // vui_parameters_present_flag
    u(1, 1);    // rbsp_stop_one_bit
    while (bits.size() % 8) bits.push_back(false);
    std::vector<uint8_t> nal = {0x00, 0x00, 0x00, 0x01, 0x67};
    for (size_t i = 0; i < bits.size(); i += 8) {
        uint8_t b = 0;
        for (int k = 0; k < 8; ++k) b = static_cast<uint8_t>((b << 1) | bits[i + k]);
        nal.push_back(b);
    }
    return nal;
}

TEST(ElementaryInput, WithoutStreamTimingTheGivenRateTimesVideo) {
    const std::vector<uint8_t> sps = SpsWithoutTiming();
    const std::vector<uint8_t> pps = {0x00, 0x00, 0x00, 0x01, 0x68, 0xCE, 0x3C, 0x80};
    std::vector<uint8_t> stream = sps;
    stream.insert(stream.end(), pps.begin(), pps.end());
    for (int i = 0; i < 3; ++i) stream.insert(stream.end(), {0x00, 0x00, 0x01, static_cast<uint8_t>(i ? 0x41 : 0x65), 0x88, 0x80});
    char path[] = "/tmp/qv-apps-input-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, stream.data(), stream.size()), static_cast<ssize_t>(stream.size()));
    ::close(fd);
    app::ElementaryInput in(app::ElementaryInput::Kind::Video, path, *app::ParseRate("30000/1001"));
    std::string error;
    std::atomic<bool> stop{false};
    ASSERT_TRUE(in.Open(&error)) << error;
    ASSERT_TRUE(in.Probe(stop, &error, nullptr)) << error;
    EXPECT_FALSE(in.RateFromStream());
    EXPECT_EQ(in.FrameRate().num, 30000);
    app::MediaUnit u;
    ASSERT_EQ(in.Next(u, stop, &error), app::ElementaryInput::Result::Unit);
    ASSERT_EQ(in.Next(u, stop, &error), app::ElementaryInput::Result::Unit);
    EXPECT_EQ(u.start, 333666);  // 1001/30000 s
    ::unlink(path);
}

TEST(ElementaryInput, AFifoIsReadAsItsWriterProducesAndAStopEndsTheWait) {
    char dirTemplate[] = "/tmp/qv-apps-fifo-XXXXXX";
    ASSERT_TRUE(::mkdtemp(dirTemplate));
    const std::string fifo = std::string(dirTemplate) + "/a.aac";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::ifstream src(Fixture("aac48s.aac"), std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(src)), std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), 4000u);

    app::ElementaryInput in(app::ElementaryInput::Kind::Audio, fifo);
    std::string error;
    std::atomic<bool> stop{false};
    ASSERT_TRUE(in.Open(&error)) << error;  // no writer yet: must not block
    EXPECT_TRUE(in.IsLive());
    std::atomic<bool> readerDone{false};
    std::thread writer([&] {
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) return;
        // Only the first part: the reader must get its frames without waiting for the end.
        const ssize_t n = ::write(fd, bytes.data(), 4000);
        EXPECT_EQ(n, 4000);
        // Stay open (no end of file) until the reader is done.
        while (!readerDone.load()) std::this_thread::yield();
        ::close(fd);
    });
    ASSERT_TRUE(in.Probe(stop, &error, nullptr)) << error;
    app::MediaUnit u;
    ASSERT_EQ(in.Next(u, stop, &error), app::ElementaryInput::Result::Unit);
    // Everything written has been handed out or is a partial frame: the next read waits, until stopped.
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stop = true;
    });
    app::ElementaryInput::Result r;
    const auto t0 = std::chrono::steady_clock::now();
    while ((r = in.Next(u, stop, &error)) == app::ElementaryInput::Result::Unit) {
    }
    readerDone = true;
    EXPECT_EQ(r, app::ElementaryInput::Result::Stopped);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
    stopper.join();
    writer.join();
    ::unlink(fifo.c_str());
    ::rmdir(dirTemplate);
}

}  // namespace
