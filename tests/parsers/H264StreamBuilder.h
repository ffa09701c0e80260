#pragma once
// Builds small H.264 streams bit by bit for the tests: parameter sets and slice headers with the
// fields the parser reads, followed by a few bytes standing in for the slice data. The pictures
// do not decode; the parser never looks past the slice header.
#include <cstdint>
#include <span>
#include <vector>

#include "parsers/H264Bits.h"

namespace h264test {

struct SpsSpec {
    int profile = 100;
    bool constraint0 = false;
    int level = 30;
    int log2MaxFrameNum = 4;
    int pocType = 0;
    int log2MaxPocLsb = 6;
    int widthMbs = 20, heightMapUnits = 15;
    bool frameMbsOnly = true;
    bool mbaff = false;
    bool timing = true;
    uint32_t numUnitsInTick = 1, timeScale = 50;
    int reorder = -1;  // -1: no bitstream restriction
    bool cropping = false;
    int cropBottom = 0;
    int sarIdc = -1;   // -1: no aspect ratio info
    int sarW = 0, sarH = 0;
};

struct PpsSpec {
    int initQp = 26;
    bool cabac = false;
};

struct SliceSpec {
    int type = 2;  // 0 P, 1 B, 2 I
    int nalRefIdc = 3;
    bool idr = false;
    int firstMb = 0;
    int frameNum = 0;
    bool field = false, bottom = false;
    int pocLsb = 0;
    int qpDelta = 0;
    std::vector<uint8_t> data;  // empty: a default run that needs emulation prevention
};

inline std::vector<uint8_t> Nal(uint8_t header, const std::vector<uint8_t>& rbsp) {
    std::vector<uint8_t> out(rbsp.size() * 2 + 8);
    out[0] = header;
    const size_t n = h264::EscapeRbsp(rbsp, std::span<uint8_t>(out).subspan(1));
    out.resize(n + 1);
    return out;
}

inline std::vector<uint8_t> BuildSps(const SpsSpec& s) {
    std::vector<uint8_t> b(256);
    h264::CBitWriter w(b);
    w.u(8, static_cast<uint32_t>(s.profile));
    w.u(8, s.constraint0 ? 0x80u : 0u);
    w.u(8, static_cast<uint32_t>(s.level));
    w.ue(0);
    if (s.profile >= 100) {
        w.ue(1);
        w.ue(0);
        w.ue(0);
        w.flag(false);
        w.flag(false);
    }
    w.ue(static_cast<uint32_t>(s.log2MaxFrameNum - 4));
    w.ue(static_cast<uint32_t>(s.pocType));
    if (s.pocType == 0) w.ue(static_cast<uint32_t>(s.log2MaxPocLsb - 4));
    w.ue(4);  // max_num_ref_frames
    w.flag(false);
    w.ue(static_cast<uint32_t>(s.widthMbs - 1));
    w.ue(static_cast<uint32_t>(s.heightMapUnits - 1));
    w.flag(s.frameMbsOnly);
    if (!s.frameMbsOnly) w.flag(s.mbaff);
    w.flag(true);
    w.flag(s.cropping);
    if (s.cropping) {
        w.ue(0);
        w.ue(0);
        w.ue(0);
        w.ue(static_cast<uint32_t>(s.cropBottom));
    }
    w.flag(true);  // VUI
    w.flag(s.sarIdc >= 0);
    if (s.sarIdc >= 0) {
        w.u(8, static_cast<uint32_t>(s.sarIdc));
        if (s.sarIdc == 255) {
            w.u(16, static_cast<uint32_t>(s.sarW));
            w.u(16, static_cast<uint32_t>(s.sarH));
        }
    }
    w.flag(false);
    w.flag(false);
    w.flag(false);
    w.flag(s.timing);
    if (s.timing) {
        w.u(32, s.numUnitsInTick);
        w.u(32, s.timeScale);
        w.flag(true);
    }
    w.flag(false);
    w.flag(false);
    w.flag(false);  // pic_struct_present_flag
    w.flag(s.reorder >= 0);
    if (s.reorder >= 0) {
        w.flag(true);
        w.ue(2);
        w.ue(1);
        w.ue(16);
        w.ue(16);
        w.ue(static_cast<uint32_t>(s.reorder));
        w.ue(4);
    }
    w.trailing();
    b.resize(w.bytes());
    return Nal(0x67, b);
}

inline std::vector<uint8_t> BuildPps(const PpsSpec& p) {
    std::vector<uint8_t> b(64);
    h264::CBitWriter w(b);
    w.ue(0);
    w.ue(0);
    w.flag(p.cabac);
    w.flag(false);
    w.ue(0);  // one slice group
    w.ue(0);
    w.ue(0);
    w.flag(false);
    w.u(2, 0);
    w.se(p.initQp - 26);
    w.se(0);
    w.se(0);
    w.flag(false);  // no deblocking control
    w.flag(false);
    w.flag(false);
    w.trailing();
    b.resize(w.bytes());
    return Nal(0x68, b);
}

inline std::vector<uint8_t> BuildSlice(const SpsSpec& sps, const SliceSpec& s) {
    static const uint8_t kDefaultData[] = {0xA5, 0x5A, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0xFF};
    const std::span<const uint8_t> data = s.data.empty() ? std::span<const uint8_t>(kDefaultData) : s.data;
    std::vector<uint8_t> b(64 + data.size());
    h264::CBitWriter w(b);
    w.ue(static_cast<uint32_t>(s.firstMb));
    w.ue(static_cast<uint32_t>(s.type + 5));
    w.ue(0);
    w.u(static_cast<unsigned>(sps.log2MaxFrameNum), static_cast<uint32_t>(s.frameNum));
    if (!sps.frameMbsOnly) {
        w.flag(s.field);
        if (s.field) w.flag(s.bottom);
    }
    if (s.idr) w.ue(0);
    if (sps.pocType == 0) w.u(static_cast<unsigned>(sps.log2MaxPocLsb), static_cast<uint32_t>(s.pocLsb));
    if (s.type == 1) w.flag(true);
    if (s.type == 0 || s.type == 1) {
        w.flag(false);
        w.flag(false);
        if (s.type == 1) w.flag(false);
    }
    if (s.nalRefIdc != 0) {
        w.flag(false);
        if (s.idr) w.flag(false);
    }
    w.se(s.qpDelta);
    for (uint8_t d : data) w.u(8, d);
    w.trailing();
    b.resize(w.bytes());
    const uint8_t header = static_cast<uint8_t>((s.nalRefIdc << 5) | (s.idr ? 5 : 1));
    return Nal(header, b);
}

inline void Append(std::vector<uint8_t>& stream, const std::vector<uint8_t>& nal, bool fourByte = true) {
    if (fourByte) stream.push_back(0);
    stream.insert(stream.end(), {0, 0, 1});
    stream.insert(stream.end(), nal.begin(), nal.end());
}

}  // namespace h264test
