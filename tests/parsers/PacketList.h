#pragma once
// Reads the packet lists that scripts/fixtures.sh writes with ffprobe
// (columns pts_time,dts_time,duration_time,size,flags; "N/A" for a missing time).
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace testflv {

struct Packet {
    double pts = NAN;  // seconds, NaN when ffprobe had none
    double dts = NAN;
    double duration = NAN;
    int64_t size = 0;
    bool key = false;
};

inline double ParseTime(const std::string& s) { return s == "N/A" || s.empty() ? NAN : std::strtod(s.c_str(), nullptr); }

inline std::vector<Packet> ReadPacketList(const std::string& path) {
    std::vector<Packet> out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        std::vector<std::string> col;
        std::stringstream ss(line);
        std::string c;
        while (std::getline(ss, c, ',')) col.push_back(c);
        if (col.size() < 5) continue;
        Packet p;
        p.pts = ParseTime(col[0]);
        p.dts = ParseTime(col[1]);
        p.duration = ParseTime(col[2]);
        p.size = std::strtoll(col[3].c_str(), nullptr, 10);
        p.key = !col[4].empty() && col[4][0] == 'K';
        out.push_back(p);
    }
    return out;
}

}  // namespace testflv
