#include "apps/AdtsSplitter.h"

namespace app {
namespace {

constexpr int kSampleRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};
constexpr size_t kHeaderBytes = 7;

bool SyncAt(std::span<const uint8_t> p) { return p.size() >= 2 && p[0] == 0xFF && (p[1] & 0xF6) == 0xF0; }

}  // namespace

std::optional<AdtsFrame> ParseAdtsHeader(std::span<const uint8_t> p, size_t* frameLength) {
    if (p.size() < kHeaderBytes || !SyncAt(p)) return std::nullopt;
    const bool protectionAbsent = (p[1] & 0x01) != 0;
    const int profile = p[2] >> 6;
    const int sfi = (p[2] >> 2) & 0x0F;
    const int channels = ((p[2] & 0x01) << 2) | (p[3] >> 6);
    const size_t length = (static_cast<size_t>(p[3] & 0x03) << 11) | (static_cast<size_t>(p[4]) << 3) | (p[5] >> 5);
    const int blocks = (p[6] & 0x03) + 1;
    const size_t header = protectionAbsent ? 7 : 9;
    if (sfi > 12 || length <= header) return std::nullopt;
    AdtsFrame f;
    f.objectType = profile + 1;
    f.sampleRateIndex = sfi;
    f.sampleRate = kSampleRates[sfi];
    f.channelConfig = channels;
    f.samples = 1024 * blocks;
    if (frameLength) *frameLength = length;
    return f;
}

void AdtsSplitter::Push(std::span<const uint8_t> bytes) {
    if (Failed() || m_ended || bytes.empty()) return;
    if (m_pos > (64u << 10) || (m_pos > 0 && m_pos == m_buf.size())) {
        m_buf.erase(m_buf.begin(), m_buf.begin() + static_cast<std::ptrdiff_t>(m_pos));
        m_pos = 0;
    }
    m_buf.insert(m_buf.end(), bytes.begin(), bytes.end());
}

void AdtsSplitter::End() { m_ended = true; }

void AdtsSplitter::Skip(size_t n) {
    m_pos += n;
    m_skipped += n;
    if (!m_synced && m_skipped > kMaxSkip) m_error = "no AAC ADTS frame in the first 64 KiB: not an ADTS stream";
}

std::optional<AdtsFrame> AdtsSplitter::Next() {
    while (!Failed()) {
        const size_t avail = m_buf.size() - m_pos;
        const std::span<const uint8_t> here(m_buf.data() + m_pos, avail);
        if (avail < kHeaderBytes) {
            if (!m_ended) return std::nullopt;
            if (avail > 0) Skip(avail);  // a cut-off tail
            if (!m_synced && !Failed()) m_error = "no AAC ADTS frame found: not an ADTS stream";
            return std::nullopt;
        }
        size_t length = 0;
        std::optional<AdtsFrame> f = ParseAdtsHeader(here, &length);
        if (!f) {
            Skip(1);
            continue;
        }
        if (avail < length) {
            if (!m_ended) return std::nullopt;
            Skip(avail);  // the last frame is cut off
            continue;
        }
        if (!m_synced) {
            // Confirm the first frame by the header that follows it.
            if (avail < length + 2 && !m_ended) return std::nullopt;
            if (avail >= length + 2 && !SyncAt(here.subspan(length))) {
                Skip(1);
                continue;
            }
        }
        f->bytes.assign(here.begin(), here.begin() + static_cast<std::ptrdiff_t>(length));
        m_pos += length;
        m_synced = true;
        return f;
    }
    return std::nullopt;
}

}  // namespace app
