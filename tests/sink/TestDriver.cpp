#include "TestDriver.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <iterator>
#include <thread>

namespace sinktest {

static std::vector<uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<MediaUnit> ReadH264(const std::string& path, double fps, const std::string& packetsCsv) {
    const std::vector<uint8_t> b = ReadAll(path);
    std::vector<MediaUnit> units;
    size_t unitStart = 0;
    bool sliceSeen = false, key = false;
    auto cut = [&](size_t end) {
        if (end <= unitStart) return;
        units.push_back({0, key, std::vector<uint8_t>(b.begin() + static_cast<long>(unitStart), b.begin() + static_cast<long>(end))});
        unitStart = end;
        sliceSeen = key = false;
    };
    // A unit starts at a delimiter, parameter set or SEI after a slice, or at a slice whose
    // first_mb_in_slice is 0; the boundary lies at the start code (3 or 4 bytes).
    for (size_t i = 0; i + 3 < b.size(); ++i) {
        if (b[i] != 0 || b[i + 1] != 0 || b[i + 2] != 1) continue;
        const size_t s = i + 3;
        const int type = b[s] & 0x1F;
        const bool slice = type == 1 || type == 5;
        const bool firstMb = slice && s + 1 < b.size() && (b[s + 1] & 0x80);
        if (sliceSeen && (type == 9 || type == 7 || type == 8 || type == 6 || firstMb)) cut(i > 0 && b[i - 1] == 0 ? i - 1 : i);
        sliceSeen |= slice;
        key |= type == 5;
        i += 2;
    }
    cut(b.size());
    std::vector<double> pts;
    std::ifstream csv(packetsCsv);
    for (std::string line; packetsCsv.size() && std::getline(csv, line);) pts.push_back(std::strtod(line.c_str(), nullptr));
    for (size_t i = 0; i < units.size(); ++i)
        units[i].time = std::llround(pts.size() == units.size() ? pts[i] * 1000.0 : static_cast<double>(i) * 1000.0 / fps);
    return units;
}

std::vector<MediaUnit> ReadAdts(const std::string& path) {
    static const int kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};
    const std::vector<uint8_t> b = ReadAll(path);
    std::vector<MediaUnit> units;
    int64_t samples = 0;
    for (size_t pos = 0, len = 0; pos + 7 <= b.size() && b[pos] == 0xFF && (b[pos + 1] & 0xF0) == 0xF0; pos += len) {
        len = (static_cast<size_t>(b[pos + 3] & 3) << 11) | (static_cast<size_t>(b[pos + 4]) << 3) | (b[pos + 5] >> 5);
        const int rateIndex = (b[pos + 2] >> 2) & 0xF;
        if (len < 7 || len > b.size() - pos || rateIndex >= 13) break;
        units.push_back({samples * 1000 / kRates[rateIndex], false,
                         std::vector<uint8_t>(b.begin() + static_cast<long>(pos), b.begin() + static_cast<long>(pos + len))});
        samples += 1024;  // samples per frame
    }
    return units;
}

DriveResult Drive(BS::CPureSink& sink, const std::vector<MediaUnit>& video, const std::vector<MediaUnit>& audio,
                  const DriveOptions& o) {
    using clock = std::chrono::steady_clock;
    auto ms = [](clock::duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); };
    DriveResult r;
    const auto start = clock::now();
    // A pass lasts from time 0 to the latest time plus one unit's duration.
    auto spanOf = [](const std::vector<MediaUnit>& v) -> int64_t {
        if (v.empty()) return 0;
        const auto [lo, hi] = std::minmax_element(v.begin(), v.end(), [](auto& a, auto& b) { return a.time < b.time; });
        return hi->time + (v.size() > 1 ? (hi->time - lo->time) / static_cast<int64_t>(v.size() - 1) : 40);
    };
    const int64_t span = std::max(spanOf(video), spanOf(audio));
    const auto loops = static_cast<size_t>(std::ceil(o.loops));
    const size_t vTotal = video.size() * loops, aTotal = o.audioTrack < 0 ? 0 : audio.size() * loops;
    auto timeOf = [&](const std::vector<MediaUnit>& v, size_t i) {
        return v[i % v.size()].time + static_cast<int64_t>(i / v.size()) * span;
    };
    for (size_t vi = 0, ai = 0; (vi < vTotal || ai < aTotal) && !(o.stop && o.stop->IsSet());) {
        // Decode-order video times may run ahead of presentation order; the feed follows the file.
        const bool isVideo = ai >= aTotal || (vi < vTotal && timeOf(video, vi) <= timeOf(audio, ai));
        const std::vector<MediaUnit>& list = isVideo ? video : audio;
        const size_t idx = isVideo ? vi++ : ai++;
        const int32_t track = isVideo ? 0 : o.audioTrack;
        const int64_t t = timeOf(list, idx);
        const auto due = start + std::chrono::milliseconds(std::max<int64_t>(t, 0));
        if (o.realTime && o.stop && due > clock::now()) o.stop->Wait(static_cast<uint32_t>(ms(due - clock::now())));
        else if (o.realTime) std::this_thread::sleep_until(due);
        const auto waitStart = clock::now();
        sink.WaitForTrack(static_cast<uint32_t>(track), o.stop);
        r.totalWaitMs += ms(clock::now() - waitStart);
        const MediaUnit& u = list[idx % list.size()];
        BS::data_t* d = BS::data_t::Create(static_cast<int32_t>(u.bytes.size()), false, t, t, NO_TIME);
        std::copy(u.bytes.begin(), u.bytes.end(), d->data);
        d->frame_type = u.key ? FRAME_I : FRAME_UNKNOWN;
        if (!sink.PutData(d, track, true)) ++r.refused;
        r.videoUnits += isVideo;
    }
    if (o.endOfStream) sink.SetEndOfStream(0);
    if (o.endOfStream && o.audioTrack >= 0) sink.SetEndOfStream(o.audioTrack);
    r.wallMs = ms(clock::now() - start);
    return r;
}

}  // namespace sinktest
