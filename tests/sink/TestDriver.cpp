#include "TestDriver.h"

#include <chrono>
#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace sinktest {
namespace {

std::vector<uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Start offsets of the NAL units (the byte after each start code).
std::vector<size_t> NalStarts(const std::vector<uint8_t>& b) {
    std::vector<size_t> starts;
    for (size_t i = 0; i + 3 <= b.size(); ++i) {
        if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1) {
            starts.push_back(i + 3);
            i += 2;
        }
    }
    return starts;
}

std::vector<double> PresentationTimes(const std::string& csv) {
    std::vector<double> t;
    std::ifstream in(csv);
    std::string line;
    while (std::getline(in, line)) {
        const auto comma = line.find(',');
        t.push_back(std::strtod(line.substr(0, comma).c_str(), nullptr));
    }
    return t;
}

}  // namespace

std::vector<MediaUnit> ReadH264(const std::string& path, double fps, const std::string& packetsCsv) {
    const std::vector<uint8_t> b = ReadAll(path);
    const std::vector<size_t> starts = NalStarts(b);
    std::vector<MediaUnit> units;
    size_t unitStart = 0;
    bool sliceSeen = false;
    bool key = false;
    auto cut = [&](size_t end) {
        if (end <= unitStart) return;
        MediaUnit u;
        u.bytes.assign(b.begin() + static_cast<long>(unitStart), b.begin() + static_cast<long>(end));
        u.key = key;
        units.push_back(std::move(u));
        unitStart = end;
        sliceSeen = false;
        key = false;
    };
    for (size_t s : starts) {
        if (s >= b.size()) break;
        const int type = b[s] & 0x1F;
        // The unit boundary lies at the start code (3 or 4 bytes before the header).
        size_t codeStart = s - 3;
        if (codeStart > 0 && b[codeStart - 1] == 0) --codeStart;
        const bool slice = type == 1 || type == 5;
        const bool firstMb = slice && s + 1 < b.size() && (b[s + 1] & 0x80);
        if (sliceSeen && (type == 9 || type == 7 || type == 8 || type == 6 || firstMb)) cut(codeStart);
        if (slice) sliceSeen = true;
        if (type == 5) key = true;
    }
    cut(b.size());
    const std::vector<double> pts = packetsCsv.empty() ? std::vector<double>{} : PresentationTimes(packetsCsv);
    for (size_t i = 0; i < units.size(); ++i) {
        units[i].time = pts.size() == units.size() ? std::llround(pts[i] * 1000.0)
                                                   : std::llround(static_cast<double>(i) * 1000.0 / fps);
    }
    return units;
}

std::vector<MediaUnit> ReadAdts(const std::string& path) {
    static const int kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};
    const std::vector<uint8_t> b = ReadAll(path);
    std::vector<MediaUnit> units;
    size_t pos = 0;
    int64_t samples = 0;
    while (pos + 7 <= b.size()) {
        if (b[pos] != 0xFF || (b[pos + 1] & 0xF0) != 0xF0) break;
        const size_t len = (static_cast<size_t>(b[pos + 3] & 3) << 11) | (static_cast<size_t>(b[pos + 4]) << 3) |
                           (b[pos + 5] >> 5);
        const int rateIndex = (b[pos + 2] >> 2) & 0xF;
        if (len < 7 || len > b.size() - pos || rateIndex >= 13) break;
        MediaUnit u;
        u.time = samples * 1000 / kRates[rateIndex];
        u.bytes.assign(b.begin() + static_cast<long>(pos), b.begin() + static_cast<long>(pos + len));
        units.push_back(std::move(u));
        samples += 1024;
        pos += len;
    }
    return units;
}

DriveResult Drive(BS::CPureSink& sink, const std::vector<MediaUnit>& video, const std::vector<MediaUnit>& audio,
                  const DriveOptions& o) {
    using clock = std::chrono::steady_clock;
    DriveResult r;
    const auto start = clock::now();
    // One pass over a file lasts from its earliest to its latest time plus one unit's duration.
    auto spanOf = [](const std::vector<MediaUnit>& v) -> int64_t {
        if (v.empty()) return 0;
        int64_t lo = v[0].time, hi = v[0].time;
        for (const auto& u : v) {
            lo = std::min(lo, u.time);
            hi = std::max(hi, u.time);
        }
        return hi + (v.size() > 1 ? (hi - lo) / static_cast<int64_t>(v.size() - 1) : 40);
    };
    const int64_t videoSpan = spanOf(video);
    const int64_t audioSpan = spanOf(audio);
    const int64_t span = std::max(videoSpan, audioSpan);
    const auto loops = static_cast<size_t>(std::ceil(o.loops));
    const size_t vTotal = o.videoTrack < 0 ? 0 : video.size() * loops;
    const size_t aTotal = o.audioTrack < 0 ? 0 : audio.size() * loops;
    size_t vi = 0, ai = 0;
    // Decode-order video times may run ahead of presentation order; the feed follows the file.
    auto timeOf = [&](const std::vector<MediaUnit>& v, size_t i) {
        return v[i % v.size()].time + static_cast<int64_t>(i / v.size()) * span;
    };
    while (vi < vTotal || ai < aTotal) {
        if (o.stop && o.stop->IsSet()) break;
        const bool takeVideo = ai >= aTotal || (vi < vTotal && timeOf(video, vi) <= timeOf(audio, ai));
        const std::vector<MediaUnit>& list = takeVideo ? video : audio;
        const size_t idx = takeVideo ? vi : ai;
        const int32_t track = takeVideo ? o.videoTrack : o.audioTrack;
        const int64_t t = timeOf(list, idx);
        if (o.realTime) {
            const auto due = start + std::chrono::milliseconds(std::max<int64_t>(t, 0));
            if (o.stop) {
                const auto now = clock::now();
                if (due > now) o.stop->Wait(static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count()));
            } else {
                std::this_thread::sleep_until(due);
            }
        }
        const auto w0 = clock::now();
        sink.WaitForTrack(static_cast<uint32_t>(track), o.stop);
        const int64_t waited = std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - w0).count();
        r.maxWaitMs = std::max<int64_t>(r.maxWaitMs, waited);
        r.totalWaitMs += waited;
        const MediaUnit& u = list[idx % list.size()];
        BS::data_t* d = BS::data_t::Create(static_cast<int32_t>(u.bytes.size()), false, t, t, NO_TIME);
        std::copy(u.bytes.begin(), u.bytes.end(), d->data);
        d->frame_type = takeVideo ? (u.key ? FRAME_I : FRAME_UNKNOWN) : FRAME_UNKNOWN;
        if (!sink.PutData(d, track, true)) ++r.refused;
        if (takeVideo) {
            ++vi;
            ++r.videoUnits;
        } else {
            ++ai;
            ++r.audioUnits;
        }
    }
    if (o.endOfStream) {
        if (o.videoTrack >= 0) sink.SetEndOfStream(o.videoTrack);
        if (o.audioTrack >= 0) sink.SetEndOfStream(o.audioTrack);
    }
    r.wallMs = std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - start).count();
    return r;
}

}  // namespace sinktest
