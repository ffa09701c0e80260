#pragma once
// Feeding parsers, copying their records out, and NAL unit framing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "foundation/Data.h"
#include "parsers/H264Parser.h"
#include "parsers/RTMPNALUModifier.h"

namespace ptest {

using Bytes = std::vector<uint8_t>;
using Parser = CParserH264Base<RTMPNALUModifier>;

struct Out {
    int64_t dts, pts, bts, duration;
    double duration_s;
    bool config;
    int32_t frame_type;
    Bytes body;
};

inline Bytes Hex(std::string_view s) {
    Bytes b;
    for (size_t i = 0; i + 1 < s.size(); i += 2) b.push_back(static_cast<uint8_t>(std::stoi(std::string(s.substr(i, 2)), nullptr, 16)));
    return b;
}

inline void Put(BS::CBaseParser& p, std::span<const uint8_t> bytes, int64_t pts = NO_TIME, int32_t type = FRAME_UNKNOWN) {
    BS::DataPtr d(BS::data_t::Create(static_cast<int32_t>(bytes.size()), false, pts, pts, NO_TIME));
    ASSERT_TRUE(d);
    if (!bytes.empty()) std::memcpy(d->data, bytes.data(), bytes.size());
    d->frame_type = type;
    p.PutChunk(d.get());
}

inline std::vector<Out>& Drain(BS::CBaseParser& p, std::vector<Out>& out, bool flush = false) {
    for (BS::data_t* raw = nullptr; p.GetChunk(&raw, flush ? 1 : 0);) {
        BS::DataPtr d(raw);
        out.push_back({d->dts, d->pts, d->bts, d->duration, d->duration_s, d->config, d->frame_type,
                       Bytes(d->data, d->data + d->size_actual)});
    }
    return out;
}
inline std::vector<Out> Drain(BS::CBaseParser& p) { std::vector<Out> out; return Drain(p, out); }

// Feeds `bytes` in chunks sized by `next`, draining after each and flushing at the end;
// `firstTime` goes with the first chunk only.
using Chunking = std::function<size_t(size_t)>;
inline Chunking Fixed(size_t n) { return [n](size_t) { return n; }; }
inline std::vector<Out> ParseAll(BS::CBaseParser& p, std::span<const uint8_t> bytes, const Chunking& next,
                                 int64_t firstTime = NO_TIME) {
    std::vector<Out> out;
    for (size_t pos = 0; pos < bytes.size();) {
        const size_t n = std::min(next(pos), bytes.size() - pos);
        Put(p, bytes.subspan(pos, n), pos == 0 ? firstTime : NO_TIME);
        pos += n;
        Drain(p, out);
    }
    return Drain(p, out, true);
}

// NAL units of a 4-byte length-prefixed payload; *ok false when the lengths do not add up.
inline std::vector<Bytes> SplitLengthPrefixed(std::span<const uint8_t> b, bool* ok = nullptr) {
    std::vector<Bytes> nals;
    size_t pos = 0;
    while (pos + 4 <= b.size()) {
        const size_t len = (size_t{b[pos]} << 24) | (size_t{b[pos + 1]} << 16) | (size_t{b[pos + 2]} << 8) | b[pos + 3];
        if (len > b.size() - (pos += 4)) break;
        nals.emplace_back(b.begin() + static_cast<std::ptrdiff_t>(pos), b.begin() + static_cast<std::ptrdiff_t>(pos + len));
        pos += len;
    }
    if (ok) *ok = pos == b.size();
    return nals;
}

inline bool IsSlice(const Bytes& nal) { return !nal.empty() && ((nal[0] & 0x1F) == 1 || (nal[0] & 0x1F) == 5); }

// NAL units of an Annex B stream, start codes and the zero of 4-byte start codes removed.
inline std::vector<Bytes> SplitAnnexB(std::span<const uint8_t> b) {
    std::vector<size_t> starts;
    for (size_t i = 0; i + 2 < b.size(); ++i)
        if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1) starts.push_back((i += 2) + 1);
    std::vector<Bytes> nals;
    for (size_t k = 0; k < starts.size(); ++k) {
        size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : b.size();
        while (end > starts[k] && b[end - 1] == 0) --end;
        nals.emplace_back(b.begin() + static_cast<std::ptrdiff_t>(starts[k]), b.begin() + static_cast<std::ptrdiff_t>(end));
    }
    return nals;
}

inline void AppendAnnexB(Bytes& out, std::span<const uint8_t> nal, bool fourByte = true) {
    if (fourByte) out.push_back(0);
    out.insert(out.end(), {0, 0, 1});
    out.insert(out.end(), nal.begin(), nal.end());
}

// A private temp dir, removed with its contents.
struct TempDir {
    std::string path = (std::filesystem::temp_directory_path() / "qv_parsers_XXXXXX").string();
    TempDir() { if (!mkdtemp(path.data())) ADD_FAILURE() << path; }
    ~TempDir() { std::error_code ec; std::filesystem::remove_all(path, ec); }
    std::string file(const std::string& name) const { return path + "/" + name; }
};

inline std::string FixtureDir() {
    const char* env = std::getenv("QV_FIXTURE_DIR");
    return env && *env ? env : QV_FIXTURE_DIR;
}

}  // namespace ptest
