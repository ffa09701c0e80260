#include "apps/AnnexBSplitter.h"

#include <algorithm>

namespace app {
namespace {

bool IsSliceType(int t) { return t == 1 || t == 2 || t == 5; }

// NAL types that open a new access unit when they follow a picture.
bool OpensUnit(int t) { return t == 6 || t == 7 || t == 8 || t == 9 || (t >= 14 && t <= 18); }

}  // namespace

void AnnexBSplitter::Push(std::span<const uint8_t> bytes) {
    if (Failed() || m_ended || bytes.empty()) return;
    Compact();
    m_buf.insert(m_buf.end(), bytes.begin(), bytes.end());
    Scan();
}

void AnnexBSplitter::End() {
    if (m_ended) return;
    m_ended = true;
    if (Failed()) return;
    Scan();
    if (!Failed() && !m_haveSps) Fail("no H.264 sequence parameter set found: not an H.264 Annex B stream");
}

std::optional<AccessUnit> AnnexBSplitter::Next() {
    if (m_readyPos >= m_ready.size()) return std::nullopt;
    AccessUnit u = std::move(m_ready[m_readyPos++]);
    if (m_readyPos == m_ready.size()) {
        m_ready.clear();
        m_readyPos = 0;
    }
    return u;
}

void AnnexBSplitter::Fail(std::string why) {
    if (m_error.empty()) m_error = std::move(why);
}

void AnnexBSplitter::Scan() {
    while (!Failed()) {
        if (m_inNal && m_headerPending) {
            // The header byte and the one after it (first_mb_in_slice) decide where units end.
            if (m_buf.size() - m_nalHeader < 2 && !m_ended) return;
            m_headerPending = false;
            BeginNal(m_nalStart, m_nalHeader);
            continue;
        }
        size_t p = m_scan;
        const size_t size = m_buf.size();
        bool found = false;
        while (size >= 3 && p <= size - 3) {
            if (m_buf[p + 2] > 1) {
                p += 3;  // no start code can begin at p, p+1 or p+2
            } else if (m_buf[p] == 0 && m_buf[p + 1] == 0 && m_buf[p + 2] == 1) {
                found = true;
                break;
            } else {
                ++p;
            }
        }
        if (!found) {
            m_scan = std::max(m_scan, size >= 2 ? size - 2 : size_t{0});
            if (m_ended) {
                if (m_inNal) EndNal(size);
                else if (!m_haveSps) m_skipped += size - m_unitStart, m_unitStart = size;
                Cut(size);
                m_scan = size;
                return;
            }
            const size_t open = size - m_unitStart;
            if (!m_haveSps && m_skipped + open > kMaxSkip)
                Fail("no H.264 sequence parameter set in the first 4 MiB: not an H.264 Annex B stream");
            else if (m_haveSps && open > kMaxUnit)
                Fail("an access unit is larger than 16 MiB: not an H.264 Annex B stream");
            return;
        }
        // A zero before 00 00 01 makes the four-byte start code; it must not be the open NAL's header.
        size_t start = p;
        if (p > 0 && m_buf[p - 1] == 0 && (!m_inNal || p - 1 > m_nalHeader)) start = p - 1;
        if (m_inNal) {
            EndNal(start);
        } else if (!m_haveSps) {
            m_skipped += start - m_unitStart;
            m_unitStart = start;
        }
        m_inNal = true;
        m_headerPending = true;
        m_nalStart = start;
        m_nalHeader = p + 3;
        m_scan = p + 3;
    }
}

void AnnexBSplitter::BeginNal(size_t start, size_t header) {
    const bool hasHeader = header < m_buf.size();
    const int type = hasHeader ? (m_buf[header] & 0x1F) : -1;
    const bool forbidden = hasHeader && (m_buf[header] & 0x80) != 0;
    m_nalType = forbidden ? -1 : type;
    if (!m_haveSps) {
        // Until a sequence parameter set has been read nothing can be decoded: skip.
        m_nalDropped = m_nalType != 7;
        if (!m_nalDropped) {
            const size_t from = m_prefixOpen ? m_prefixStart : start;
            m_skipped += from - m_unitStart;
            m_unitStart = from;
            m_prefixOpen = false;
        } else if (m_nalType == 9 || m_nalType == 6) {
            if (!m_prefixOpen) m_prefixStart = start;
            m_prefixOpen = true;
        } else {
            m_prefixOpen = false;
        }
        return;
    }
    m_nalDropped = false;
    const bool firstMbZero = IsSliceType(m_nalType) && header + 1 < m_buf.size() && (m_buf[header + 1] & 0x80) != 0;
    if (m_unitHasPicture && (OpensUnit(m_nalType) || firstMbZero)) Cut(start);
    if (IsSliceType(m_nalType)) {
        m_unitHasPicture = true;
        if (m_nalType == 5) m_unitIdr = true;
    }
    if (m_nalType == 7) m_unitHasSps = true;
}

void AnnexBSplitter::EndNal(size_t end) {
    m_inNal = false;
    if (m_headerPending) {  // a start code right at the end of the stream
        m_headerPending = false;
        m_nalDropped = !m_haveSps;
    }
    if (m_nalDropped) {
        if (!m_prefixOpen) {
            m_skipped += end - m_unitStart;
            m_unitStart = end;
        }
    } else if (!m_haveSps && m_nalType == 7) {
        h264::SPS sps;
        if (end > m_nalHeader && h264::ParseSPS(std::span<const uint8_t>(m_buf.data() + m_nalHeader, end - m_nalHeader), sps) &&
            sps.pic_width_in_mbs > 0) {
            m_sps = sps;
            m_haveSps = true;
            m_unitHasSps = true;
        } else {
            m_skipped += end - m_unitStart;
            m_unitStart = end;
            m_prefixOpen = false;
        }
    }
    if (!m_haveSps && m_skipped > kMaxSkip)
        Fail("no H.264 sequence parameter set in the first 4 MiB: not an H.264 Annex B stream");
    if (m_haveSps && end - m_unitStart > kMaxUnit) Fail("an access unit is larger than 16 MiB: not an H.264 Annex B stream");
}

void AnnexBSplitter::Cut(size_t at) {
    if (at > m_unitStart && m_haveSps) {
        AccessUnit u;
        u.bytes.assign(m_buf.begin() + static_cast<std::ptrdiff_t>(m_unitStart), m_buf.begin() + static_cast<std::ptrdiff_t>(at));
        u.idr = m_unitIdr;
        u.hasSps = m_unitHasSps;
        m_ready.push_back(std::move(u));
    }
    m_unitStart = at;
    m_unitHasPicture = m_unitIdr = m_unitHasSps = false;
}

void AnnexBSplitter::Compact() {
    // Everything before the unit being collected has been handed out or skipped.
    const size_t drop = m_unitStart;
    if (drop == 0 || (drop < (64u << 10) && drop * 2 < m_buf.size())) return;
    m_buf.erase(m_buf.begin(), m_buf.begin() + static_cast<std::ptrdiff_t>(drop));
    m_unitStart -= drop;
    m_scan -= std::min(m_scan, drop);
    if (m_inNal) {
        m_nalStart -= drop;
        m_nalHeader -= drop;
    }
    if (m_prefixOpen) m_prefixStart -= drop;
}

}  // namespace app
