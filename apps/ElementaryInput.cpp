#include "apps/ElementaryInput.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "platform/dshow/FormatBlocks.h"
#include "platform/dshow/Uuids.h"

namespace app {
namespace {

constexpr int64_t kUnitsPerSecond = 10'000'000;
constexpr size_t kReadChunk = 64u << 10;

int64_t MulDiv(int64_t a, int64_t b, int64_t c) {
    return static_cast<int64_t>(static_cast<__int128>(a) * b / c);
}

}  // namespace

std::optional<Rate> ParseRate(const std::string& text) {
    if (text.empty()) return std::nullopt;
    const size_t slash = text.find('/');
    char* end = nullptr;
    if (slash != std::string::npos) {
        const long long n = std::strtoll(text.c_str(), &end, 10);
        if (end != text.c_str() + slash) return std::nullopt;
        const char* d0 = text.c_str() + slash + 1;
        const long long d = std::strtoll(d0, &end, 10);
        if (*end != '\0' || end == d0 || n <= 0 || d <= 0 || n / d > 1000) return std::nullopt;
        return Rate{n, d};
    }
    const double v = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !(v > 0.0) || v > 1000.0) return std::nullopt;
    // Rates written with decimals are the broadcast ones (29.97 = 30000/1001) or taken to 1/1000.
    for (int base : {24, 30, 48, 60, 120}) {
        if (std::fabs(v - base * 1000.0 / 1001.0) < 0.006) return Rate{base * 1000, 1001};
    }
    const double milli = std::round(v * 1000.0);
    if (std::fmod(milli, 1000.0) == 0.0) return Rate{static_cast<int64_t>(milli / 1000.0), 1};
    return Rate{static_cast<int64_t>(milli), 1000};
}

ElementaryInput::ElementaryInput(Kind kind, std::string path, Rate fallbackRate)
    : m_kind(kind), m_path(std::move(path)), m_fallbackRate(fallbackRate.valid() ? fallbackRate : Rate{25, 1}) {}

bool ElementaryInput::Open(std::string* error) { return m_in.Open(m_path, error); }

std::string ElementaryInput::SplitterError() const {
    const std::string& e = m_kind == Kind::Video ? m_video.Error() : m_audio.Error();
    return m_path + ": " + e;
}

bool ElementaryInput::TakeUnit() {
    if (m_pending) return true;
    if (m_kind == Kind::Video) {
        std::optional<AccessUnit> au = m_video.Next();
        if (!au) return false;
        if (m_units == 0 && m_video.HaveSps()) {
            const h264::SPS& s = m_video.Sps();
            const int cropUnitX = s.chroma_format_idc == 1 || s.chroma_format_idc == 2 ? 2 : 1;
            const int cropUnitY = (s.chroma_format_idc == 1 ? 2 : 1) * (s.frame_mbs_only_flag ? 1 : 2);
            m_width = s.pic_width_in_mbs * 16 - cropUnitX * (s.frame_crop_left + s.frame_crop_right);
            m_height = s.pic_height_in_map_units * 16 * (s.frame_mbs_only_flag ? 1 : 2) -
                       cropUnitY * (s.frame_crop_top + s.frame_crop_bottom);
            if (s.timing_info_present_flag && s.num_units_in_tick > 0 && s.time_scale > 0 &&
                s.time_scale / (2 * int64_t{s.num_units_in_tick}) <= 1000) {
                // One frame is two ticks of the sequence's clock.
                m_rate = Rate{s.time_scale, 2 * int64_t{s.num_units_in_tick}};
                m_rateFromStream = true;
            } else {
                m_rate = m_fallbackRate;
            }
        }
        MediaUnit u;
        u.bytes = std::move(au->bytes);
        u.sync = au->idr;
        m_pending = std::move(u);
        return true;
    }
    std::optional<AdtsFrame> f = m_audio.Next();
    if (!f) return false;
    if (m_units == 0) {
        m_sampleRate = f->sampleRate;
        m_sampleRateIndex = f->sampleRateIndex;
        m_channelConfig = f->channelConfig;
        m_channels = f->channelConfig == 0 ? 2 : (f->channelConfig == 7 ? 8 : f->channelConfig);
        m_objectType = f->objectType;
    }
    MediaUnit u;
    u.bytes = std::move(f->bytes);
    u.sync = true;
    m_pendingSamples = f->samples;
    m_pending = std::move(u);
    return true;
}

bool ElementaryInput::Fill(const std::atomic<bool>& stop, std::string* error, Result* result) {
    m_chunk.resize(kReadChunk);
    std::vector<uint8_t>& chunk = m_chunk;
    while (!TakeUnit()) {
        const bool failed = m_kind == Kind::Video ? m_video.Failed() : m_audio.Failed();
        if (failed) {
            if (error) *error = SplitterError();
            *result = Result::Error;
            return false;
        }
        if (m_ended) {
            *result = Result::End;
            return false;
        }
        size_t got = 0;
        std::string readError;
        switch (m_in.Read(chunk.data(), chunk.size(), &got, stop, &readError)) {
        case InputStream::Result::Data:
            if (m_kind == Kind::Video) m_video.Push({chunk.data(), got});
            else m_audio.Push({chunk.data(), got});
            break;
        case InputStream::Result::End:
            m_ended = true;
            if (m_kind == Kind::Video) m_video.End();
            else m_audio.End();
            break;
        case InputStream::Result::Error:
            if (error) *error = readError;
            *result = Result::Error;
            return false;
        case InputStream::Result::Stopped:
            *result = Result::Stopped;
            return false;
        }
    }
    return true;
}

bool ElementaryInput::Probe(const std::atomic<bool>& stop, std::string* error, bool* stopped) {
    Result r = Result::Unit;
    if (stopped) *stopped = false;
    if (Fill(stop, error, &r)) return true;
    if (r == Result::Stopped && stopped) *stopped = true;
    if (r == Result::End && error)
        *error = m_path + (m_kind == Kind::Video ? ": no H.264 access unit in the input" : ": no AAC ADTS frame in the input");
    return false;
}

void ElementaryInput::StampVideo(MediaUnit& u) {
    u.start = MulDiv(m_units, kUnitsPerSecond * m_rate.den, m_rate.num);
    u.stop = MulDiv(m_units + 1, kUnitsPerSecond * m_rate.den, m_rate.num);
}

void ElementaryInput::StampAudio(MediaUnit& u, int samples) {
    u.start = MulDiv(m_samples, kUnitsPerSecond, m_sampleRate);
    m_samples += samples;
    u.stop = MulDiv(m_samples, kUnitsPerSecond, m_sampleRate);
}

ElementaryInput::Result ElementaryInput::Next(MediaUnit& out, const std::atomic<bool>& stop, std::string* error) {
    Result r = Result::Unit;
    if (!Fill(stop, error, &r)) return r;
    out = std::move(*m_pending);
    m_pending.reset();
    if (m_kind == Kind::Video) StampVideo(out);
    else StampAudio(out, m_pendingSamples);
    ++m_units;
    return Result::Unit;
}

bool ElementaryInput::Drained() { return m_ended && !TakeUnit(); }

CMediaType ElementaryInput::MediaType() const {
    if (m_kind == Kind::Video) {
        CMediaType mt(&MEDIATYPE_Video);
        mt.SetSubtype(&MEDIASUBTYPE_H264);
        mt.SetFormatType(&FORMAT_VideoInfo);
        mt.SetVariableSize();
        mt.SetTemporalCompression(TRUE);
        VIDEOINFOHEADER vih{};
        vih.rcSource = RECT{0, 0, m_width, m_height};
        vih.rcTarget = vih.rcSource;
        vih.AvgTimePerFrame = MulDiv(1, kUnitsPerSecond * m_rate.den, m_rate.num);
        vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        vih.bmiHeader.biWidth = m_width;
        vih.bmiHeader.biHeight = m_height;
        vih.bmiHeader.biPlanes = 1;
        vih.bmiHeader.biBitCount = 24;
        vih.bmiHeader.biCompression = MakeFourCC('H', '2', '6', '4');
        mt.SetFormat(reinterpret_cast<const BYTE*>(&vih), sizeof(vih));
        return mt;
    }
    CMediaType mt(&MEDIATYPE_Audio);
    mt.SetSubtype(&MEDIASUBTYPE_AAC);
    mt.SetFormatType(&FORMAT_WaveFormatEx);
    mt.SetVariableSize();
    // The AudioSpecificConfig of the stream follows the header, as AAC decoders expect it.
    const uint16_t asc = static_cast<uint16_t>((m_objectType << 11) | (m_sampleRateIndex << 7) | (m_channelConfig << 3));
    const uint8_t config[2] = {static_cast<uint8_t>(asc >> 8), static_cast<uint8_t>(asc & 0xFF)};
    WAVEFORMATEX wfx{};
    wfx.wFormatTag = WAVE_FORMAT_RAW_AAC1;
    wfx.nChannels = static_cast<WORD>(m_channels);
    wfx.nSamplesPerSec = static_cast<DWORD>(m_sampleRate);
    wfx.nAvgBytesPerSec = 16000;
    wfx.nBlockAlign = 1;
    wfx.wBitsPerSample = 16;
    wfx.cbSize = sizeof(config);
    std::vector<BYTE> block(sizeof(WAVEFORMATEX) + sizeof(config));
    std::memcpy(block.data(), &wfx, sizeof(wfx));
    std::memcpy(block.data() + sizeof(wfx), config, sizeof(config));
    mt.SetFormat(block.data(), static_cast<ULONG>(block.size()));
    return mt;
}

std::string ElementaryInput::Describe() const {
    char buf[160];
    if (m_kind == Kind::Video) {
        std::snprintf(buf, sizeof buf, "H.264 %dx%d %.3g fps%s", m_width, m_height, m_rate.value(),
                      m_rateFromStream ? "" : " (assumed)");
    } else {
        const char* profile = m_objectType == 2 ? "AAC LC" : m_objectType == 1 ? "AAC Main" : m_objectType == 5 ? "HE-AAC" : "AAC";
        std::snprintf(buf, sizeof buf, "%s %d Hz %d ch", profile, m_sampleRate, m_channels);
    }
    return buf;
}

}  // namespace app
