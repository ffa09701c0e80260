#include "parsers/H264Parser.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <span>

#include "foundation/Log.h"
#include "parsers/H264PocTimestampModel.h"
#include "parsers/H264TimestampModel.h"
#include "parsers/H264SliceHeader.h"
#include "parsers/RTMPNALUModifier.h"

using h264::NalEntry;

namespace {

struct StartCode {
    int32_t pos = -1;
    int32_t length = 0;
};

// The first start code at or after `q`; the four-byte form wins at the same position. Searches
// for the 01 byte with memchr, which is what keeps the parser fast on large slices.
StartCode FindStartCode(const uint8_t* buf, int32_t q, int32_t fill) {
    if (q < 0) q = 0;
    int32_t i = q + 2;
    while (i < fill) {
        const void* hit = std::memchr(buf + i, 0x01, static_cast<size_t>(fill - i));
        if (!hit) break;
        i = static_cast<int32_t>(static_cast<const uint8_t*>(hit) - buf);
        if (buf[i - 1] == 0 && buf[i - 2] == 0) {
            if (i - 3 >= q && buf[i - 3] == 0) return {i - 3, 4};
            return {i - 2, 3};
        }
        ++i;
    }
    return {};
}

}  // namespace

template <class Modifier>
CParserH264Base<Modifier>::CParserH264Base(int32_t model) : m_iModel(model) {
    m_Format.kind = BS::FORMAT_KIND_VIDEO;
    m_Format.codec = BS::CODEC_H264;
    MakeModel();
    m_pModel->Reset(m_iTimestampMode);
}

template <class Modifier>
CParserH264Base<Modifier>::~CParserH264Base() = default;

template <class Modifier>
void CParserH264Base<Modifier>::MakeModel() {
    const bool poc = m_iTimestampMode == H264_TS_PICTURE_ORDER;
    if (poc && !dynamic_cast<CH264PocTimestampModel*>(m_pModel.get()))
        m_pModel = std::make_unique<CH264PocTimestampModel>();
    else if (!poc && !dynamic_cast<CH264TimestampModel*>(m_pModel.get()))
        m_pModel = std::make_unique<CH264TimestampModel>();
    if (auto* p = dynamic_cast<CH264PocTimestampModel*>(m_pModel.get()))
        p->SetFallbackFrameRate(m_uFallbackNum, m_uFallbackDen);
}

template <class Modifier>
void CParserH264Base<Modifier>::SetFallbackFrameRate(uint32_t num, uint32_t den) {
    platform::CAutoLock state(m_StateLock);
    if (num == 0 || den == 0) return;
    m_uFallbackNum = num;
    m_uFallbackDen = den;
    MakeModel();
}

template <class Modifier>
bool CParserH264Base<Modifier>::Init(int32_t bufferSize, int32_t timestampMode, uint8_t flagByte, int32_t fourth) {
    platform::CAutoLock state(m_StateLock);
    if (!BS::CBaseParser::Init(bufferSize, false)) return false;
    m_iTimestampMode = m_iModel == H264_TS_PICTURE_ORDER ? H264_TS_PICTURE_ORDER : timestampMode;
    m_FlagByte = flagByte;
    m_iFourthOption = fourth;
    MakeModel();
    Reset(0);
    return true;
}

template <class Modifier>
void CParserH264Base<Modifier>::Reset(uint32_t flags) {
    platform::CAutoLock state(m_StateLock);
    BS::CBaseParser::Reset(flags);
    m_Writer.Reset(flags);
    m_NalList.clear();
    m_Sps = h264::SPS{};
    m_Pps = h264::PPS{};
    m_bSpsSeen = m_bPpsSeen = false;
    m_pModel->Reset(m_iTimestampMode);
    m_iScanPos = 0;
    m_iPrevStartCodeLength = 0;
    std::memset(m_RawSps, 0, sizeof(m_RawSps));
    std::memset(m_RawPps, 0, sizeof(m_RawPps));
    m_iRawSpsLength = m_iRawPpsLength = 0;
}

template <class Modifier>
void CParserH264Base<Modifier>::Consume(int32_t n) {
    platform::CAutoLock lock(m_OutputLock);
    const int32_t before = BufferFill();
    BS::CBaseParser::Consume(n);
    m_iScanPos = std::max(0, m_iScanPos - (before - BufferFill()));
}

template <class Modifier>
bool CParserH264Base<Modifier>::GetFormat(BS::format_t* out) {
    if (!out) return true;
    platform::CAutoLock lock(m_OutputLock);
    *out = m_Format;
    const int32_t total = m_iRawSpsLength + m_iRawPpsLength + 4;
    if (m_iRawSpsLength == 0 && m_iRawPpsLength == 0) return true;
    if (total > BS::FORMAT_PRIVATE_MAX) {
        // A cut-off parameter set would be worse than none: readers take it as complete.
        Log(LOG_ERROR, 2, "CParserH264Base::GetFormat: parameter sets of %d bytes do not fit the %d-byte codec data",
            total, BS::FORMAT_PRIVATE_MAX);
        out->codec_private_len = 0;
        return true;
    }
    uint8_t* p = out->codec_private;
    const auto spsLen = static_cast<uint16_t>(m_iRawSpsLength);
    const auto ppsLen = static_cast<uint16_t>(m_iRawPpsLength);
    std::memcpy(p, &spsLen, 2);
    std::memcpy(p + 2, m_RawSps, spsLen);
    std::memcpy(p + 2 + spsLen, &ppsLen, 2);
    std::memcpy(p + 4 + spsLen, m_RawPps, ppsLen);
    out->codec_private_len = total;
    return true;
}

template <class Modifier>
double CParserH264Base<Modifier>::FrameRate(uint32_t n, uint32_t t) {
    if (n == 0 || t == 0) return 0.0;
    if (n == 1) return static_cast<double>(t / 2);
    if (n == 1001) {
        if (t == 48000) return 23.976;
        if (t == 60000) return 29.97;
        if (t == 120000) return 59.94;
    }
    return static_cast<double>(t) / static_cast<double>(n) * 0.5;
}

template <class Modifier>
void CParserH264Base<Modifier>::UpdateFormat() {
    BS::video_format_t& v = m_Format.video;
    v.width = 16 * m_Sps.pic_width_in_mbs;
    v.height = 16 * m_Sps.pic_height_in_map_units * (2 - (m_Sps.frame_mbs_only_flag ? 1 : 0));
    v.level = m_Sps.level_idc;
    v.profile = m_Sps.profile_idc;
    double fps = 0.0;
    if (m_Sps.timing_info_present_flag && m_Sps.num_units_in_tick != 0 && m_Sps.time_scale != 0) {
        fps = FrameRate(m_Sps.num_units_in_tick, m_Sps.time_scale);
        if (fps < 1.0) {
            Log(LOG_TRACE, 2, "CParserH264Base::GetAccessUnit: warning: computed framerate smaller than 1.0");
            fps = 25.0;
        }
    } else {
        if (m_Sps.time_scale == 0) Log(LOG_TRACE, 2, "CParserH264Base::GetAccessUnit: warning: timescale is zero");
        // 25 unless the caller knows the stream's rate (FallbackFrameRate).
        fps = static_cast<double>(m_uFallbackNum) / m_uFallbackDen;
    }
    v.fps = fps;
    v.aspect_x = m_Sps.sar_width;
    v.aspect_y = m_Sps.sar_height;
    if (v.width && v.height && m_Sps.sar_width && m_Sps.sar_height) {
        const int64_t x = int64_t{m_Sps.sar_width} * v.width;
        const int64_t y = int64_t{m_Sps.sar_height} * v.height;
        const int64_t g = std::gcd(x, y);
        v.aspect_x = static_cast<int32_t>(x / g);
        v.aspect_y = static_cast<int32_t>(y / g);
    }
    if (!m_Sps.frame_mbs_only_flag && !m_Sps.mb_adaptive_frame_field_flag) v.interlace_flags = 1;
}

template <class Modifier>
void CParserH264Base<Modifier>::ParseData(uint8_t* buffer, int32_t offset, int32_t length) {
    platform::CAutoLock state(m_StateLock);
    platform::CAutoLock lock(m_OutputLock);
    if (static_cast<int64_t>(offset) - m_iScanPos + length < 7) return;
    const int32_t fill = BufferFill();
    const StartCode first = FindStartCode(buffer, 0, fill);
    if (first.pos >= 0 && m_iPrevStartCodeLength == 0) m_iPrevStartCodeLength = first.length;
    if (first.pos < 0) {
        Log(LOG_ERROR, 3, "CParserH264Base::ParseData: not any startcode in the data!!!! m_iBufferFillness: %d", fill);
        if (fill > 256) Consume(fill - 2);  // a start code may straddle the next chunk
        m_iScanPos = std::max(0, m_iScanPos);
        return;
    }
    if (first.pos > 0) {
        Log(LOG_ERROR, 3, "CParserH264Base::ParseData: startcode found but not in the beginning of the buffer");
        Consume(first.pos);
        m_iScanPos = std::max(0, m_iScanPos);
        offset = std::max(0, offset - first.pos);
    }
    ScanNalUnits(offset + 2);
}

template <class Modifier>
void CParserH264Base<Modifier>::ScanNalUnits(int32_t s) {
    // Start three bytes before the new data (s is two bytes into it), so a start code cut by a
    // chunk boundary anywhere ("00 | 00 01", "00 00 00 | 01") is found, but never inside the start
    // code of the unit still pending.
    int32_t q = std::max(s - 5, m_iScanPos + m_iPrevStartCodeLength);
    for (;;) {
        const uint8_t* buf = Buffer();
        const StartCode sc = FindStartCode(buf, q, BufferFill());
        if (sc.pos < 0) return;
        int32_t found = sc.pos;
        if (found > 1) {
            if (found - m_iScanPos > 1) {
                const int32_t consumed = ProcessNALU(m_iScanPos, found - m_iScanPos, m_iPrevStartCodeLength, false);
                found -= consumed;  // the buffer moved under us
            }
            m_iScanPos = found;
            m_iPrevStartCodeLength = sc.length;
        }
        q = found + sc.length;
    }
}

template <class Modifier>
int32_t CParserH264Base<Modifier>::ProcessNALU(int32_t start, int32_t length, int32_t scLength, bool flush) {
    NalEntry e;
    e.start = start;
    e.start_code = scLength;
    e.length = length;
    e.flag = m_FlagByte;
    e.time = NO_TIME;
    if (HasTimeAt(start)) {
        int32_t frameType = FRAME_UNKNOWN;
        e.time = TakeTimeAt(start, frameType);
    }
    const uint8_t* buf = Buffer();
    if (scLength < 3 || length <= scLength || start < 0 || start + length > BufferFill()) {
        // A start code straight after a start code: nothing to keep, but it still has to go.
        Log(LOG_ERROR, 4, "CParserH264Base::ProcessNALU: empty NAL unit at %d dropped", start);
        e.nal_unit_type = 0;
        e.start_code = std::clamp(scLength, 0, length);
    } else {
        const std::span<const uint8_t> nal(buf + start + scLength, static_cast<size_t>(length - scLength));
        e.nal_unit_type = nal[0] & 0x1F;
        if (e.nal_unit_type == h264::NAL_SPS || e.nal_unit_type == h264::NAL_PPS) {
            const bool sps = e.nal_unit_type == h264::NAL_SPS;
            const auto limit = static_cast<size_t>(sps ? h264::kMaxSpsBytes : h264::kMaxPpsBytes);
            if (nal.size() > limit) {
                Log(LOG_ERROR, 1, "CParserH264Base::ProcessNALU: %s of %d bytes is larger than the %d-byte store: ignored",
                    sps ? "SPS" : "PPS", static_cast<int>(nal.size()), static_cast<int>(limit));
                e.nal_unit_type = 0;  // carried along as an unknown unit, so its bytes are consumed
            } else if (sps) {
                std::memcpy(m_RawSps, nal.data(), nal.size());
                m_iRawSpsLength = static_cast<int32_t>(nal.size());
            } else {
                std::memcpy(m_RawPps, nal.data(), nal.size());
                m_iRawPpsLength = static_cast<int32_t>(nal.size());
            }
        }
        if (e.isSlice()) e.first_mb = h264::FirstMbInSlice(nal);
    }
    m_NalList.push_back(e);

    int32_t total = 0;
    for (;;) {
        H264AccessUnitPtr au;
        int32_t consumed = 0;
        const AuResult r = GetAccessUnit(au, consumed, flush);
        if (r == AuResult::None) break;
        if (r == AuResult::Produced) {
            const BS::data_t* d = au->data.get();
            Log(LOG_TRACE, 5,
                "CParserH264Base::ProcessNALU: m_OutputBuffer.PutAccessUnit(au): time %lld, #slices %d, useDataOnly %d, "
                "config %d, data->dts %lld, data->pts %lld, data->bts %lld data->duration: %lld data->size_actual: %d "
                "data->size_max: %d",
                static_cast<long long>(au->time), au->num_slices, au->useDataOnly ? 1 : 0, d->config ? 1 : 0,
                static_cast<long long>(d->dts), static_cast<long long>(d->pts), static_cast<long long>(d->bts),
                static_cast<long long>(d->duration), d->size_actual, d->size_max);
            m_pModel->PutAccessUnit(std::move(au));
        }
        Consume(consumed);
        total += consumed;
        if (m_NalList.empty()) break;
    }
    return total;
}

template <class Modifier>
typename CParserH264Base<Modifier>::AuResult CParserH264Base<Modifier>::GetAccessUnit(H264AccessUnitPtr& out,
                                                                                      int32_t& consumed, bool flush) {
    out.reset();
    consumed = 0;
    if (m_NalList.empty()) return AuResult::None;
    int32_t c = 0;
    bool discard = false;
    if (m_NalList.size() > 1) {
        const auto b = m_Writer.FindBoundary(m_NalList);
        c = b.count;
        discard = b.discard;
    }
    if (c == 0) {
        if (flush) c = static_cast<int32_t>(m_NalList.size());
        else if (m_NalList.size() > kMaxNalList) c = static_cast<int32_t>(m_NalList.size() - 1);
        else return AuResult::None;
    }
    c = std::min(c, static_cast<int32_t>(m_NalList.size()));
    // The parameter-set unit runs up to its SPS and PPS even when delimiters and slices of a
    // stream joined mid-way come first: cut short, the sequence header would be lost.
    const bool config = m_Writer.GetState() == Modifier::STATE_CONFIG || m_Writer.GetState() == Modifier::STATE_CONFIG_SWALLOW;
    bool sliceSeen = false;
    for (int32_t i = 0; i < c && !config; ++i) {
        if (m_NalList[static_cast<size_t>(i)].nal_unit_type == h264::NAL_AUD && sliceSeen) {
            c = i;
            break;
        }
        sliceSeen = sliceSeen || m_NalList[static_cast<size_t>(i)].isSlice();
    }
    for (int32_t i = 0; i < c; ++i) consumed += m_NalList[static_cast<size_t>(i)].length;

    auto drop = [&] {
        const int32_t gone = consumed;
        m_NalList.erase(m_NalList.begin(), m_NalList.begin() + c);
        for (NalEntry& e : m_NalList) e.start -= gone;
    };

    const uint8_t* buf = Buffer();
    const int32_t size = discard ? 0 : m_Writer.Size(m_NalList, c);
    if (size <= 0) {
        // Nothing to send (units before the parameter sets, a repeated header after a restart):
        // the writer still sees every unit so its parameter sets stay current.
        if (!discard) m_Writer.Skip(m_NalList, c, buf);
        drop();
        return AuResult::Dropped;
    }
    auto au = std::make_unique<H264AccessUnit>();
    au->data.reset(BS::data_t::Create(size, false, NO_TIME, NO_TIME, NO_TIME));
    if (!au->data) {
        Log(LOG_ERROR | LOG_MEMORY, 0, "CParserH264Base::GetAccessUnit: cannot allocate %d bytes", size);
        m_Writer.Finish(nullptr);
        drop();
        return AuResult::Dropped;
    }
    BS::data_t* d = au->data.get();
    const std::span<uint8_t> payload(d->data, static_cast<size_t>(size));
    int32_t written = m_Writer.WriteHeader(m_NalList, c, buf, payload);
    for (int32_t i = 0; i < c; ++i) {
        const NalEntry& e = m_NalList[static_cast<size_t>(i)];
        if (au->time == NO_TIME) au->time = e.time;
        if (e.isSlice()) {
            const int32_t slot = au->num_slices++;
            if (au->num_slices >= kMaxSlicesPerAccessUnit) {
                Log(LOG_ERROR, 3, "CParserH264Base::GetAccessUnit: setting num_of_slices = 0");
                au->num_slices = 0;
            }
            h264::SliceHeader& sh = au->slices[static_cast<size_t>(slot)];
            sh = h264::SliceHeader{};
            if (m_bSpsSeen && m_bPpsSeen) {
                h264::ParseSliceHeader({buf + e.payloadStart(), static_cast<size_t>(e.payloadLength())}, m_Sps, m_Pps, sh);
            }
            sh.payload_offset = e.start;
        } else if (e.nal_unit_type == h264::NAL_SPS) {
            if (h264::ParseSPS({buf + e.payloadStart(), static_cast<size_t>(e.payloadLength())}, m_Sps)) {
                m_bSpsSeen = true;
            } else {
                Log(LOG_ERROR, 2, "CParserH264Base::GetAccessUnit: SPS of %d bytes could not be parsed", e.payloadLength());
            }
            UpdateFormat();
        } else if (e.nal_unit_type == h264::NAL_PPS) {
            if (h264::ParsePPS({buf + e.payloadStart(), static_cast<size_t>(e.payloadLength())}, m_Sps, m_Pps)) {
                m_bPpsSeen = true;
            } else {
                Log(LOG_ERROR, 2, "CParserH264Base::GetAccessUnit: PPS of %d bytes could not be parsed", e.payloadLength());
            }
        }
        written += m_Writer.WriteNalu(e, buf, payload.subspan(static_cast<size_t>(std::min(written, size))));
    }
    m_Writer.Finish(d);
    au->useDataOnly = d->config;
    au->sps = m_Sps;
    au->pps = m_Pps;
    d->size_actual = std::min(written, size);
    if (m_Format.video.fps > 0.0) {
        d->duration = static_cast<int64_t>(1000.0 / m_Format.video.fps);
        if (!m_Sps.frame_mbs_only_flag) d->duration /= 2;
    }
    drop();
    if (d->size_actual < 1) return AuResult::Dropped;
    out = std::move(au);
    return AuResult::Produced;
}

template <class Modifier>
bool CParserH264Base<Modifier>::GetChunk(BS::data_t** out, int32_t flush) {
    platform::CAutoLock state(m_StateLock);
    platform::CAutoLock lock(m_OutputLock);
    if (m_iRawSpsLength == 0 || m_iRawPpsLength == 0) {
        while (m_pModel->Get(nullptr, flush != 0)) {
        }
        return false;
    }
    if (flush && BufferFill() > 0 && m_iScanPos < BufferFill()) {
        ProcessNALU(m_iScanPos, BufferFill() - m_iScanPos, m_iPrevStartCodeLength, true);
        m_iScanPos = 0;
        m_iPrevStartCodeLength = 0;
    }
    BS::data_t* d = nullptr;
    if (!m_pModel->Get(&d, flush != 0)) return false;
    if (!m_pModel->TimesBeforeZeroAreMeant()) {
        if (d->dts < 0) d->dts = 0;
        if (d->pts < 0) d->pts = 0;
    }
    if (out) *out = d;
    else BS::data_t::Release(d);
    return true;
}

template class CParserH264Base<RTMPNALUModifier>;
