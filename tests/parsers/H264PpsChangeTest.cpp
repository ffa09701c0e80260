// A picture parameter set with another pic_init_qp in the middle of a stream: the slices after it
// are sent with their slice_qp_delta adjusted so they decode against the parameter set announced
// in the sequence header. Proven by pixels: ffmpeg decodes what the writer sent (put back into
// Annex B form) to exactly the frames of the original encode.
//
// The changed stream is made here from a real encode: a PPS with pic_init_qp + 4 goes in before
// the tenth picture (and replaces the PPS the encoder repeats at later IDR pictures), and every
// later slice gets slice_qp_delta - 4, which decodes to the same frames (checked too).
#include <gtest/gtest.h>

#include <sstream>

#include "H264TestUtil.h"
#include "parsers/H264Bits.h"
#include "parsers/H264ParamSets.h"
#include "parsers/H264SliceHeader.h"

using namespace h264test;

namespace {

const std::string kDir = QV_FIXTURE_DIR;

std::vector<uint8_t> WritePps(const h264::PPS& p) {
    std::vector<uint8_t> b(64);
    h264::CBitWriter w(b);
    w.ue(static_cast<uint32_t>(p.pic_parameter_set_id));
    w.ue(static_cast<uint32_t>(p.seq_parameter_set_id));
    w.flag(p.entropy_coding_mode_flag);
    w.flag(p.bottom_field_pic_order_in_frame_present_flag);
    w.ue(0);
    w.ue(static_cast<uint32_t>(p.num_ref_idx_l0_default_active - 1));
    w.ue(static_cast<uint32_t>(p.num_ref_idx_l1_default_active - 1));
    w.flag(p.weighted_pred_flag);
    w.u(2, static_cast<uint32_t>(p.weighted_bipred_idc));
    w.se(p.pic_init_qp - 26);
    w.se(p.pic_init_qs - 26);
    w.se(p.chroma_qp_index_offset);
    w.flag(p.deblocking_filter_control_present_flag);
    w.flag(p.constrained_intra_pred_flag);
    w.flag(p.redundant_pic_cnt_present_flag);
    if (p.transform_8x8_mode_flag || p.second_chroma_qp_index_offset != p.chroma_qp_index_offset) {
        w.flag(p.transform_8x8_mode_flag);
        w.flag(false);
        w.se(p.second_chroma_qp_index_offset);
    }
    w.trailing();
    b.resize(w.bytes());
    std::vector<uint8_t> nal(b.size() * 2 + 2);
    nal[0] = 0x68;
    nal.resize(1 + h264::EscapeRbsp(b, std::span<uint8_t>(nal).subspan(1)));
    return nal;
}

std::vector<std::string> FrameMd5(const std::string& path) {
    int status = 0;
    const std::string out = Run("ffmpeg -nostdin -v error -f h264 -i '" + path + "' -f framemd5 - 2>&1", &status);
    EXPECT_EQ(status, 0) << out;
    std::vector<std::string> hashes;
    std::stringstream ss(out);
    std::string line;
    while (std::getline(ss, line)) {
        if (line.empty() || line[0] == '#') continue;
        hashes.push_back(line.substr(line.rfind(',') + 1));
    }
    return hashes;
}

class H264PpsChange : public ::testing::TestWithParam<const char*> {};

TEST_P(H264PpsChange, RewrittenSlicesDecodeToTheOriginalFrames) {
    PrivateSettings settings;
    TempDir tmp;
    ASSERT_FALSE(tmp.path().empty());
    const auto original = ReadFile(kDir + "/" + std::string(GetParam()) + ".h264");
    ASSERT_FALSE(original.empty());
    const auto nals = SplitAnnexB(original);

    h264::SPS sps;
    h264::PPS pps;
    std::vector<uint8_t> origPps;
    std::vector<std::vector<uint8_t>> origSlices;
    for (const auto& n : nals) {
        if ((n[0] & 0x1F) == 7) {
            ASSERT_TRUE(h264::ParseSPS(n, sps));
        }
        if ((n[0] & 0x1F) == 8) {
            ASSERT_TRUE(h264::ParsePPS(n, sps, pps));
            origPps = n;
        }
        if (IsSlice(n)) origSlices.push_back(n);
    }
    ASSERT_FALSE(pps.pic_scaling_matrix_present_flag);
    ASSERT_EQ(WritePps(pps), origPps) << "the PPS writer reproduces the encoder's PPS";
    h264::PPS changed = pps;
    changed.pic_init_qp += 4;
    const auto newPps = WritePps(changed);

    // Changed stream, and for contrast the same slices without the new PPS.
    std::vector<uint8_t> stream, broken;
    int pictures = 0;
    for (const auto& n : nals) {
        if (IsSlice(n) && h264::FirstMbInSlice(n) == 0 && ++pictures == 10) AppendAnnexB(stream, newPps);
        if ((n[0] & 0x1F) == 8 && pictures >= 10) {
            // The encoder repeats its PPS at every IDR picture; from here on it is the new one.
            AppendAnnexB(stream, newPps);
            AppendAnnexB(broken, n);
        } else if (IsSlice(n) && pictures >= 10) {
            std::vector<uint8_t> out(n.size() + 32);
            int32_t written = 0;
            ASSERT_EQ(RTMPNALUModifier::RewriteSlice(n, sps, changed, -4, out, written), 0);
            out.resize(static_cast<size_t>(written));
            AppendAnnexB(stream, out);
            AppendAnnexB(broken, out);
        } else {
            AppendAnnexB(stream, n);
            AppendAnnexB(broken, n);
        }
    }
    ASSERT_GE(pictures, 20);
    WriteFile(tmp.file("orig.h264"), original);
    WriteFile(tmp.file("changed.h264"), stream);
    WriteFile(tmp.file("broken.h264"), broken);
    const auto reference = FrameMd5(tmp.file("orig.h264"));
    ASSERT_EQ(static_cast<int>(reference.size()), pictures);
    ASSERT_EQ(FrameMd5(tmp.file("changed.h264")), reference) << "the changed stream is itself correct";
    ASSERT_NE(FrameMd5(tmp.file("broken.h264")), reference) << "without the new PPS the pictures differ";

    // Through the parser, then back to Annex B from the sequence header and the bodies.
    Parser parser(H264_TS_ADVANCED);
    ASSERT_TRUE(parser.Init(Parser::kDefaultBufferSize, H264_TS_ADVANCED, 1, 0));
    const auto out = ParseAll(parser, stream, 4096);
    ASSERT_FALSE(out.empty());
    ASSERT_TRUE(out[0].config);
    EXPECT_EQ(parser.Writer().QpSent(), pps.pic_init_qp);
    EXPECT_EQ(parser.Writer().QpLast(), changed.pic_init_qp);
    const auto& rec = out[0].body;
    ASSERT_GE(rec.size(), 11u);
    const size_t spsLen = (size_t{rec[6]} << 8) | rec[7];
    ASSERT_GE(rec.size(), 11 + spsLen);
    const size_t ppsLen = (size_t{rec[9 + spsLen]} << 8) | rec[10 + spsLen];
    std::vector<uint8_t> rewrapped;
    AppendAnnexB(rewrapped, std::span<const uint8_t>(rec).subspan(8, spsLen));
    AppendAnnexB(rewrapped, std::span<const uint8_t>(rec).subspan(11 + spsLen, ppsLen));
    std::vector<std::vector<uint8_t>> sentSlices;
    for (size_t i = 1; i < out.size(); ++i) {
        bool ok = false;
        for (const auto& n : SplitLengthPrefixed(out[i].body, &ok)) {
            AppendAnnexB(rewrapped, n);
            sentSlices.push_back(n);
        }
        ASSERT_TRUE(ok);
    }
    // The rewrite takes the slices back to what the encoder made.
    EXPECT_EQ(sentSlices, origSlices);
    WriteFile(tmp.file("sent.h264"), rewrapped);
    EXPECT_EQ(FrameMd5(tmp.file("sent.h264")), reference);
}

INSTANTIATE_TEST_SUITE_P(Entropy, H264PpsChange, ::testing::Values("cavlc", "high_bnone"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
