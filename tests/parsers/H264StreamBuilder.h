#pragma once
// Small H.264 streams built bit by bit: parameter sets and slice headers with the fields the
// parser reads, then a few bytes standing in for slice data (they do not decode).
#include <vector>

#include "parsers/H264Bits.h"

namespace ptest {

struct SpsSpec {
    int profile = 100, level = 30;
    int log2MaxFrameNum = 4, pocType = 0, log2MaxPocLsb = 6;
    int widthMbs = 20, heightMapUnits = 15;
    bool frameMbsOnly = true, timing = true;
    uint32_t numUnitsInTick = 1, timeScale = 50;
    int reorder = -1;     // -1: no bitstream restriction
    int cropBottom = -1;  // -1: no cropping
    int sarIdc = -1, sarW = 0, sarH = 0;  // -1: no aspect ratio info
};

struct SliceSpec {
    int type = 2;  // 0 P, 1 B, 2 I
    int nalRefIdc = 3;
    bool idr = false;
    int firstMb = 0, frameNum = 0;
    bool field = false, bottom = false;
    int pocLsb = 0, qpDelta = 0;
};

inline std::vector<uint8_t> Nal(uint8_t header, std::vector<uint8_t>& rbsp, h264::CBitWriter& w) {
    w.trailing();
    rbsp.resize(w.bytes());
    std::vector<uint8_t> out(rbsp.size() * 2 + 8);
    out[0] = header;
    out.resize(h264::EscapeRbsp(rbsp, std::span<uint8_t>(out).subspan(1)) + 1);
    return out;
}

inline std::vector<uint8_t> BuildSps(const SpsSpec& s) {
    std::vector<uint8_t> b(256);
    h264::CBitWriter w(b);
    const auto ue = [&w](int v) { w.ue(static_cast<uint32_t>(v)); };
    w.u(8, static_cast<uint32_t>(s.profile));
    w.u(8, 0);
    w.u(8, static_cast<uint32_t>(s.level));
    ue(0);
    if (s.profile >= 100) {
        for (int v : {1, 0, 0}) ue(v);  // 4:2:0, 8 bit
        w.u(2, 0);
    }
    ue(s.log2MaxFrameNum - 4);
    ue(s.pocType);
    if (s.pocType == 0) ue(s.log2MaxPocLsb - 4);
    ue(4);  // max_num_ref_frames
    w.flag(false);
    ue(s.widthMbs - 1);
    ue(s.heightMapUnits - 1);
    w.flag(s.frameMbsOnly);
    if (!s.frameMbsOnly) w.flag(false);  // no MBAFF
    w.flag(true);
    w.flag(s.cropBottom >= 0);
    if (s.cropBottom >= 0)
        for (int v : {0, 0, 0, s.cropBottom}) ue(v);
    w.flag(true);  // VUI
    w.flag(s.sarIdc >= 0);
    if (s.sarIdc >= 0) w.u(8, static_cast<uint32_t>(s.sarIdc));
    if (s.sarIdc == 255) {
        w.u(16, static_cast<uint32_t>(s.sarW));
        w.u(16, static_cast<uint32_t>(s.sarH));
    }
    w.u(3, 0);
    w.flag(s.timing);
    if (s.timing) {
        w.u(32, s.numUnitsInTick);
        w.u(32, s.timeScale);
        w.flag(true);
    }
    w.u(3, 0);  // no HRD, no pic_struct
    w.flag(s.reorder >= 0);
    if (s.reorder >= 0) {
        w.flag(true);
        for (int v : {2, 1, 16, 16, s.reorder, 4}) ue(v);
    }
    return Nal(0x67, b, w);
}

inline std::vector<uint8_t> BuildPps(int initQp = 26, bool cabac = false) {
    std::vector<uint8_t> b(64);
    h264::CBitWriter w(b);
    w.ue(0);
    w.ue(0);
    w.flag(cabac);
    w.flag(false);
    for (int i = 0; i < 3; ++i) w.ue(0);  // one slice group, one reference each way
    w.u(3, 0);
    w.se(initQp - 26);
    w.se(0);
    w.se(0);
    w.u(3, 0);
    return Nal(0x68, b, w);
}

inline std::vector<uint8_t> BuildSlice(const SpsSpec& sps, const SliceSpec& s) {
    // Slice data that needs emulation prevention.
    static const uint8_t kData[] = {0xA5, 0x5A, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0xFF};
    std::vector<uint8_t> b(96);
    h264::CBitWriter w(b);
    w.ue(static_cast<uint32_t>(s.firstMb));
    w.ue(static_cast<uint32_t>(s.type + 5));
    w.ue(0);
    w.u(static_cast<unsigned>(sps.log2MaxFrameNum), static_cast<uint32_t>(s.frameNum));
    if (!sps.frameMbsOnly) w.flag(s.field);
    if (s.field) w.flag(s.bottom);
    if (s.idr) w.ue(0);
    if (sps.pocType == 0) w.u(static_cast<unsigned>(sps.log2MaxPocLsb), static_cast<uint32_t>(s.pocLsb));
    if (s.type == 1) w.flag(true);
    if (s.type != 2) w.u(s.type == 1 ? 3 : 2, 0);
    if (s.nalRefIdc != 0) w.u(s.idr ? 2 : 1, 0);
    w.se(s.qpDelta);
    for (uint8_t d : kData) w.u(8, d);
    return Nal(static_cast<uint8_t>((s.nalRefIdc << 5) | (s.idr ? 5 : 1)), b, w);
}

}  // namespace ptest
