#pragma once
// Helpers shared by the H.264 parser tests: feeding a byte stream through the parser in chunks,
// taking RTMP video bodies apart, running ffmpeg/ffprobe, private temp dirs and settings files.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "foundation/Data.h"
#include "parsers/H264Parser.h"
#include "parsers/RTMPNALUModifier.h"

namespace h264test {

using Parser = CParserH264Base<RTMPNALUModifier>;

// A record as the parser released it, copied out so the record can go.
struct Out {
    int64_t dts = NO_TIME, pts = NO_TIME, bts = NO_TIME, duration = 0;
    bool config = false;
    int32_t frame_type = FRAME_UNKNOWN;
    std::vector<uint8_t> body;
};

inline Out Copy(const BS::data_t* d) {
    Out o;
    o.dts = d->dts;
    o.pts = d->pts;
    o.bts = d->bts;
    o.duration = d->duration;
    o.config = d->config;
    o.frame_type = d->frame_type;
    o.body.assign(d->data, d->data + d->size_actual);
    return o;
}

inline void Put(BS::CBaseParser& p, std::span<const uint8_t> bytes, int64_t pts = NO_TIME) {
    if (bytes.empty()) return;
    BS::DataPtr d(BS::data_t::Create(static_cast<int32_t>(bytes.size()), false, pts, pts, NO_TIME));
    std::memcpy(d->data, bytes.data(), bytes.size());
    p.PutChunk(d.get());
}

inline void Drain(BS::CBaseParser& p, std::vector<Out>& out, bool flush) {
    BS::data_t* d = nullptr;
    while (p.GetChunk(&d, flush ? 1 : 0)) {
        out.push_back(Copy(d));
        BS::data_t::Release(d);
        d = nullptr;
    }
}

// Feeds `bytes` in chunks whose sizes come from `next` (called with the bytes left), draining
// after each chunk and flushing at the end. `firstTime` goes with the first chunk only.
inline std::vector<Out> ParseAll(Parser& p, std::span<const uint8_t> bytes, const std::function<size_t(size_t)>& next,
                                 int64_t firstTime = NO_TIME) {
    std::vector<Out> out;
    size_t pos = 0;
    while (pos < bytes.size()) {
        const size_t n = std::min(next(bytes.size() - pos), bytes.size() - pos);
        Put(p, bytes.subspan(pos, n), pos == 0 ? firstTime : NO_TIME);
        pos += n;
        Drain(p, out, false);
    }
    Drain(p, out, true);
    return out;
}

inline std::vector<Out> ParseAll(Parser& p, std::span<const uint8_t> bytes, size_t chunk, int64_t firstTime = NO_TIME) {
    return ParseAll(p, bytes, [chunk](size_t) { return chunk; }, firstTime);
}

// NAL units of a length-prefixed (4-byte) payload; an empty result with ok=false when the
// lengths do not add up.
inline std::vector<std::vector<uint8_t>> SplitLengthPrefixed(std::span<const uint8_t> b, bool* ok = nullptr) {
    std::vector<std::vector<uint8_t>> nals;
    size_t pos = 0;
    bool good = true;
    while (pos < b.size()) {
        if (4 > b.size() - pos) {
            good = false;
            break;
        }
        const uint32_t len = (uint32_t{b[pos]} << 24) | (uint32_t{b[pos + 1]} << 16) | (uint32_t{b[pos + 2]} << 8) | b[pos + 3];
        pos += 4;
        if (len > b.size() - pos) {
            good = false;
            break;
        }
        nals.emplace_back(b.begin() + static_cast<std::ptrdiff_t>(pos), b.begin() + static_cast<std::ptrdiff_t>(pos + len));
        pos += len;
    }
    if (ok) *ok = good;
    return nals;
}

inline bool IsSlice(const std::vector<uint8_t>& nal) {
    return !nal.empty() && ((nal[0] & 0x1F) == 1 || (nal[0] & 0x1F) == 5);
}

// NAL units of an Annex B stream (start codes removed, trailing zero bytes kept with the unit).
inline std::vector<std::vector<uint8_t>> SplitAnnexB(std::span<const uint8_t> b) {
    std::vector<size_t> starts;  // first byte after each start code
    for (size_t i = 0; i + 2 < b.size(); ++i) {
        if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1) {
            starts.push_back(i + 3);
            i += 2;
        }
    }
    std::vector<std::vector<uint8_t>> nals;
    for (size_t k = 0; k < starts.size(); ++k) {
        size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : b.size();
        while (end > starts[k] && b[end - 1] == 0) --end;  // the zero of a 4-byte start code
        nals.emplace_back(b.begin() + static_cast<std::ptrdiff_t>(starts[k]), b.begin() + static_cast<std::ptrdiff_t>(end));
    }
    return nals;
}

inline void AppendAnnexB(std::vector<uint8_t>& out, std::span<const uint8_t> nal) {
    static const uint8_t sc[4] = {0, 0, 0, 1};
    out.insert(out.end(), sc, sc + 4);
    out.insert(out.end(), nal.begin(), nal.end());
}

// Runs a shell command and returns its standard output; exit status in *status.
inline std::string Run(const std::string& cmd, int* status = nullptr) {
    std::string out;
    FILE* f = popen(cmd.c_str(), "r");
    if (!f) {
        if (status) *status = -1;
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) out.append(buf, n);
    const int rc = pclose(f);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

inline std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, std::span<const uint8_t> b) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

// A private temporary directory, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "qv_h264_XXXXXX").string();
        if (mkdtemp(tmpl.data())) m_path = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Points the settings store at files in a private directory for the life of the object.
class PrivateSettings {
public:
    PrivateSettings() {
        setenv("QV_SETTINGS_USER", m_dir.file("user.json").c_str(), 1);
        setenv("QV_SETTINGS_MACHINE", m_dir.file("machine.json").c_str(), 1);
    }

private:
    TempDir m_dir;
};

}  // namespace h264test
