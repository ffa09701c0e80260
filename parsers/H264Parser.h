#pragma once
// The video track's parser: H.264 in Annex B byte-stream form, in arbitrary chunks, is split into
// NAL units and access units; the NAL-unit writer turns each access unit into an RTMP video
// body, the timestamp model gives it dts and pts, and GetChunk hands the records on. It also
// publishes picture size, frame rate, aspect ratio, profile and level in the track format block
// and the raw parameter sets as codec-private data.
#include <cstdint>
#include <deque>
#include <memory>

#include "parsers/BaseParser.h"
#include "parsers/H264AccessUnit.h"
#include "parsers/H264Nal.h"
#include "parsers/H264ParamSets.h"
#include "parsers/H264TimestampModelBase.h"
#include "parsers/RTMPNALUModifier.h"

template <class Modifier>
class CParserH264Base : public BS::CBaseParser {
public:
    // Buffer the sink gives the video parser.
    static constexpr int32_t kDefaultBufferSize = 0xA00000;
    // More NAL units than this without an access-unit boundary: all but the last are cut off as
    // one unit, so the list stays bounded whatever the input.
    static constexpr size_t kMaxNalList = 4096;

    // `model` H264_TS_PICTURE_ORDER makes the parser order pictures by picture order count
    // whatever timestamp mode Init is given; any other value leaves the choice to Init's mode.
    explicit CParserH264Base(int32_t model = H264_TS_ADVANCED);
    ~CParserH264Base() override;
    // The frame rate (num/den) the picture-order clock runs at when the sequence parameter set
    // carries no timing; 25 fps unless given. Ignored when either is 0.
    void SetFallbackFrameRate(uint32_t num, uint32_t den);

    using BS::CBaseParser::Init;
    bool GetFormat(BS::format_t* out) override;
    bool GetChunk(BS::data_t** out, int32_t flush) override;
    void Reset(uint32_t flags) override;
    void Consume(int32_t n) override;
    void ParseData(uint8_t* buffer, int32_t offset, int32_t length) override;

    // 13. buffer size, timestamp mode (1 reorders B pictures), flag byte carried into every NAL
    //     entry, fourth option (0 is the only value with a defined behaviour).
    virtual bool Init(int32_t bufferSize, int32_t timestampMode, uint8_t flagByte, int32_t fourth);
    // 14., 15. Present for slot compatibility; no effect here.
    virtual bool QueryOption() { return false; }
    virtual void Notify() {}
    // 16., 17. Whether filler-data NAL units are passed through.
    virtual bool GetPassthroughPadding() { return m_Writer.GetPassthroughPadding(); }
    virtual void SetPassthroughPadding(bool on) { m_Writer.SetPassthroughPadding(on); }
    void SetPassthroughSei(bool on) { m_Writer.SetPassthroughSei(on); }

    int32_t TimestampMode() const { return m_iTimestampMode; }
    const h264::SPS& CurrentSps() const { return m_Sps; }
    const Modifier& Writer() const { return m_Writer; }

    // Frame rate from num_units_in_tick and time_scale by the track format rules; 0 when the
    // caller has to fall back.
    static double FrameRate(uint32_t numUnitsInTick, uint32_t timeScale);

private:
    enum class AuResult { None, Produced, Dropped };

    void ScanNalUnits(int32_t from);
    // Returns the bytes consumed from the front of the buffer by the access units it cut.
    int32_t ProcessNALU(int32_t start, int32_t length, int32_t startCodeLength, bool flush);
    AuResult GetAccessUnit(H264AccessUnitPtr& out, int32_t& consumed, bool flush);
    void UpdateFormat();
    void MakeModel();

    std::deque<h264::NalEntry> m_NalList;
    int32_t m_iScanPos = 0;
    int32_t m_iPrevStartCodeLength = 0;
    uint8_t m_RawSps[h264::kMaxSpsBytes] = {};
    int32_t m_iRawSpsLength = 0;
    uint8_t m_RawPps[h264::kMaxPpsBytes] = {};
    int32_t m_iRawPpsLength = 0;
    h264::SPS m_Sps;
    h264::PPS m_Pps;
    bool m_bSpsSeen = false;
    bool m_bPpsSeen = false;
    Modifier m_Writer;
    std::unique_ptr<CH264TimestampModelBase> m_pModel;
    int32_t m_iModel;
    uint32_t m_uFallbackNum = 25;
    uint32_t m_uFallbackDen = 1;
    int32_t m_iTimestampMode = H264_TS_ADVANCED;
    uint8_t m_FlagByte = 1;
    int32_t m_iFourthOption = 0;
};

extern template class CParserH264Base<RTMPNALUModifier>;
