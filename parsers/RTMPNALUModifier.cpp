#include "parsers/RTMPNALUModifier.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "foundation/Log.h"
#include "parsers/H264Bits.h"
#include "parsers/H264SliceHeader.h"

using h264::NalEntry;

namespace {

void PutBe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

}  // namespace

RTMPNALUModifier::RTMPNALUModifier() {
    Log(LOG_TRACE, 3, "RTMPNALUModifier::RTMPNALUModifier(): CHECK_PATCH_SLICE_HEADER is defined");
}

RTMPNALUModifier::Boundary RTMPNALUModifier::FindBoundary(const std::deque<NalEntry>& list) {
    Boundary b;
    if (m_iState == STATE_WAIT_PARAMS || m_iState == STATE_WAIT_PARAMS_KEPT) {
        bool sps = false, pps = false;
        for (size_t i = 0; i < list.size(); ++i) {
            sps = sps || list[i].nal_unit_type == h264::NAL_SPS;
            pps = pps || list[i].nal_unit_type == h264::NAL_PPS;
            if (sps && pps) {
                b.count = static_cast<int32_t>(i + 1);
                m_iState = m_iState == STATE_WAIT_PARAMS ? STATE_CONFIG : STATE_CONFIG_SWALLOW;
                return b;
            }
        }
        if (list.size() > kMaxWaitingUnits) {
            size_t n = 0;
            while (n < list.size() && list[n].nal_unit_type != h264::NAL_SPS && list[n].nal_unit_type != h264::NAL_PPS)
                ++n;
            b.count = static_cast<int32_t>(n);
            b.discard = n > 0;
        }
        return b;
    }
    size_t i = 0;
    while (i < list.size() && !list[i].isSlice()) ++i;
    size_t j = i + 1;
    while (j < list.size() && !(list[j].isSlice() && list[j].first_mb == 0)) ++j;
    if (i >= list.size() || j >= list.size()) return b;
    size_t k = i;
    for (size_t m = i + 1; m < j; ++m) {
        const int32_t t = list[m].nal_unit_type;
        if (t == h264::NAL_SLICE || t == h264::NAL_IDR || t == h264::NAL_AUD) k = m;
    }
    b.count = static_cast<int32_t>(k + 1);
    return b;
}

int32_t RTMPNALUModifier::Size(const std::deque<NalEntry>& list, int32_t count) const {
    const size_t n = std::min<size_t>(static_cast<size_t>(std::max(count, 0)), list.size());
    if (m_iState == STATE_CONFIG) {
        int64_t spsLen = 0, ppsLen = 0;
        for (size_t i = 0; i < n; ++i) {
            if (list[i].nal_unit_type == h264::NAL_SPS) spsLen = list[i].payloadLength();
            if (list[i].nal_unit_type == h264::NAL_PPS) ppsLen = list[i].payloadLength();
        }
        return static_cast<int32_t>(11 + spsLen + ppsLen);
    }
    if (m_iState != STATE_DATA) return 0;
    int64_t size = 0;
    for (size_t i = 0; i < n; ++i) {
        const int64_t len = list[i].payloadLength();
        if (list[i].isSlice()) size += 4 + len + std::max<int64_t>(len / 10, 64);
        else if (list[i].nal_unit_type == h264::NAL_FILLER && m_bPadding) size += 4 + len;
        else if (list[i].nal_unit_type == h264::NAL_SEI && m_bSei) size += 4 + len;
    }
    return size > INT32_MAX ? 0 : static_cast<int32_t>(size);
}

void RTMPNALUModifier::TakeSps(std::span<const uint8_t> nal) {
    if (nal.size() > sizeof(m_RawSps)) return;  // refused upstream already
    std::memcpy(m_RawSps, nal.data(), nal.size());
    m_iSentSpsLength = static_cast<int32_t>(nal.size());
    h264::ParseSPS(nal, m_Sps);
}

void RTMPNALUModifier::TakePps(std::span<const uint8_t> nal) {
    if (nal.size() > sizeof(m_RawPps)) return;
    std::memcpy(m_RawPps, nal.data(), nal.size());
    m_iSentPpsLength = static_cast<int32_t>(nal.size());
    h264::ParsePPS(nal, m_Sps, m_Pps);
}

int32_t RTMPNALUModifier::WriteHeader(const std::deque<NalEntry>& list, int32_t count, const uint8_t* buffer,
                                      std::span<uint8_t> out) {
    if (m_iState != STATE_CONFIG) return 0;
    const size_t n = std::min<size_t>(static_cast<size_t>(std::max(count, 0)), list.size());
    for (size_t i = 0; i < n; ++i) {
        const std::span<const uint8_t> nal(buffer + list[i].payloadStart(),
                                           static_cast<size_t>(list[i].payloadLength()));
        if (list[i].nal_unit_type == h264::NAL_SPS) TakeSps(nal);
        if (list[i].nal_unit_type == h264::NAL_PPS) TakePps(nal);
    }
    m_iQpSent = ValidQp(m_Pps.pic_init_qp);
    m_iQpLast = m_iQpSent;
    Log(LOG_TRACE, 3, "RTMPNALUModifier::WriteHeader: pic_init_qp %d", m_Pps.pic_init_qp);
    const size_t total = 11 + static_cast<size_t>(m_iSentSpsLength) + static_cast<size_t>(m_iSentPpsLength);
    if (m_iSentSpsLength < 4 || m_iSentPpsLength < 1 || out.size() < total) return 0;
    uint8_t* p = out.data();
    p[0] = 1;
    p[1] = m_RawSps[1];
    p[2] = m_RawSps[2];
    p[3] = m_RawSps[3];
    p[4] = 0xFF;
    p[5] = 0xE1;
    p[6] = static_cast<uint8_t>(m_iSentSpsLength >> 8);
    p[7] = static_cast<uint8_t>(m_iSentSpsLength);
    std::memcpy(p + 8, m_RawSps, static_cast<size_t>(m_iSentSpsLength));
    p += 8 + m_iSentSpsLength;
    p[0] = 1;
    p[1] = static_cast<uint8_t>(m_iSentPpsLength >> 8);
    p[2] = static_cast<uint8_t>(m_iSentPpsLength);
    std::memcpy(p + 3, m_RawPps, static_cast<size_t>(m_iSentPpsLength));
    return static_cast<int32_t>(total);
}

int32_t RTMPNALUModifier::WriteNalu(const NalEntry& e, const uint8_t* buffer, std::span<uint8_t> out) {
    if (m_iState == STATE_CONFIG || m_iState == STATE_CONFIG_SWALLOW) return 0;
    const std::span<const uint8_t> nal(buffer + e.payloadStart(), static_cast<size_t>(e.payloadLength()));
    switch (e.nal_unit_type) {
    case h264::NAL_SPS: {
        // Kept for parsing only: what was announced stays as it was.
        if (nal.size() <= sizeof(m_RawSps)) h264::ParseSPS(nal, m_Sps);
        return 0;
    }
    case h264::NAL_PPS: {
        if (nal.size() > sizeof(m_RawPps)) return 0;
        h264::PPS pps = m_Pps;
        if (h264::ParsePPS(nal, m_Sps, pps)) m_Pps = pps;
        m_iQpLast = ValidQp(pps.pic_init_qp);
        Log(LOG_TRACE, 3, "RTMPNALUModifier::WriteNalu: pic_init_qp %d", pps.pic_init_qp);
        return 0;
    }
    case h264::NAL_SLICE:
    case h264::NAL_IDR:
    case h264::NAL_FILLER:
    case h264::NAL_SEI:
        break;
    default:
        return 0;
    }
    if (e.nal_unit_type == h264::NAL_FILLER && !m_bPadding) return 0;
    if (e.nal_unit_type == h264::NAL_SEI && !m_bSei) return 0;
    const auto len = static_cast<uint32_t>(nal.size());
    const bool valid = m_iQpLast != kQpUnknown && m_iQpSent != kQpUnknown;
    Log(LOG_TRACE, 5, "RTMPNALUModifier::WriteNalu: qpLast %d, qpSent %d diff qp %d", m_iQpLast, m_iQpSent,
        valid ? m_iQpLast - m_iQpSent : 0);
    if (e.isSlice() && valid && m_iQpLast != m_iQpSent && out.size() > 4) {
        Log(LOG_TRACE, 4, "RTMPNALUModifier::WriteNalu: Patch slice header qp %d", m_iQpLast - m_iQpSent);
        int32_t written = 0;
        int result = 0;
        try {
            // The slice is parsed against the new PPS but must decode against the announced QP,
            // so the difference goes into slice_qp_delta.
            const size_t room = std::min<size_t>(out.size() - 4, size_t{len} + 16);
            result = RewriteSlice(nal, m_Sps, m_Pps, m_iQpLast - m_iQpSent, out.subspan(4, room), written);
        } catch (const std::exception&) {
            Log(LOG_ERROR, 0, "RTMPNALUModifier::WriteNalu: Patch slice header threw an exception");
            result = -1;
        }
        if (result == 0) {
            PutBe32(out.data(), static_cast<uint32_t>(written));
            return written + 4;
        }
        if (result > 0) Log(LOG_ERROR, 0, "RTMPNALUModifier::WriteNalu: Patch slice header failed with result %d", result);
    }
    if (out.size() < size_t{len} + 4) return 0;
    PutBe32(out.data(), len);
    std::memcpy(out.data() + 4, nal.data(), len);
    return static_cast<int32_t>(len + 4);
}

int RTMPNALUModifier::RewriteSlice(std::span<const uint8_t> nal, const h264::SPS& sps, const h264::PPS& pps,
                                   int32_t qpAdjust, std::span<uint8_t> out, int32_t& written) {
    written = 0;
    if (nal.size() < 2 || out.empty()) return h264::SLICE_TRUNCATED;
    std::vector<uint8_t> rbsp(nal.size());
    const size_t n = h264::UnescapeRbsp(nal.subspan(1), rbsp);
    const size_t bits = h264::RbspBitLength(std::span<const uint8_t>(rbsp.data(), n));
    h264::CBitReader r(std::span<const uint8_t>(rbsp.data(), n), bits);
    // Room for the header growing by a few bytes; escaping happens afterwards into `out`.
    std::vector<uint8_t> tmp(n + 32);
    tmp[0] = nal[0];
    h264::CBitWriter w(std::span<uint8_t>(tmp).subspan(1));
    h264::SliceHeader sh;
    const auto res = h264::WalkSliceHeader(r, &w, sps, pps, nal[0], sh, qpAdjust);
    if (res != h264::SLICE_OK) return res;
    if (sh.slice_qp_delta + qpAdjust < -87 || sh.slice_qp_delta + qpAdjust > 77) return h264::SLICE_OUT_OF_RANGE;
    if (pps.entropy_coding_mode_flag) {
        // CABAC slice data starts byte-aligned: drop the input's alignment ones, add our own.
        while (!r.byteAligned() && r.bitsLeft() > 0) r.skip(1);
        w.align(true);
    }
    // The rest, then the stop bit; anything after it (cabac_zero_words) is not needed.
    while (r.bitsLeft() >= 8) w.u(8, r.u(8));
    const unsigned rest = static_cast<unsigned>(r.bitsLeft());
    w.u(rest, r.u(rest));
    w.trailing();
    if (w.failed() || r.failed()) return h264::SLICE_TRUNCATED;
    const size_t e = h264::EscapeRbsp(std::span<const uint8_t>(tmp.data(), 1 + w.bytes()), out);
    if (e == 0) return h264::SLICE_TRUNCATED;
    written = static_cast<int32_t>(e);
    return h264::SLICE_OK;
}

void RTMPNALUModifier::Skip(const std::deque<NalEntry>& list, int32_t count, const uint8_t* buffer) {
    const size_t n = std::min<size_t>(static_cast<size_t>(std::max(count, 0)), list.size());
    if (m_iState == STATE_CONFIG_SWALLOW) {
        // What the server has stays announced; the slices that follow are made to fit it.
        for (size_t i = 0; i < n; ++i) {
            const std::span<const uint8_t> nal(buffer + list[i].payloadStart(),
                                               static_cast<size_t>(list[i].payloadLength()));
            if (list[i].nal_unit_type == h264::NAL_SPS && nal.size() <= sizeof(m_RawSps)) h264::ParseSPS(nal, m_Sps);
            if (list[i].nal_unit_type == h264::NAL_PPS && nal.size() <= sizeof(m_RawPps)) {
                h264::PPS pps = m_Pps;
                if (h264::ParsePPS(nal, m_Sps, pps)) m_Pps = pps;
                m_iQpLast = ValidQp(pps.pic_init_qp);
            }
        }
        m_iState = STATE_DATA;
        return;
    }
    if (m_iState != STATE_DATA) return;
    for (size_t i = 0; i < n; ++i) WriteNalu(list[i], buffer, {});
}

int32_t RTMPNALUModifier::Finish(BS::data_t* record) {
    if (record) record->config = m_iState == STATE_CONFIG;
    m_iState = STATE_DATA;
    return 0;
}

void RTMPNALUModifier::Reset(uint32_t flags) {
    if ((flags & 2u) && m_iQpSent != kQpUnknown && m_iSentSpsLength != 0 && m_iSentPpsLength != 0) {
        m_iState = STATE_WAIT_PARAMS_KEPT;
        m_iQpLast = kQpUnknown;
        return;
    }
    m_iState = STATE_WAIT_PARAMS;
    m_iQpSent = m_iQpLast = kQpUnknown;
    m_Sps = h264::SPS{};
    m_Pps = h264::PPS{};
    std::memset(m_RawSps, 0, sizeof(m_RawSps));
    std::memset(m_RawPps, 0, sizeof(m_RawPps));
    m_iSentSpsLength = m_iSentPpsLength = 0;
}

void RTMPNALUModifier::SetPassthroughPadding(bool on) {
    Log(LOG_TRACE, 3, "RTMPNALUModifier::SetPassthroughPadding %d", on ? 1 : 0);
    m_bPadding = on;
}
