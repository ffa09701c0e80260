#include "parsers/ParserAACBase.h"

#include <span>

#include "foundation/Log.h"

CParserAACBase::CParserAACBase() {
    m_Format.kind = BS::FORMAT_KIND_AUDIO;
    m_Format.codec = BS::CODEC_AAC;
}

bool CParserAACBase::Init(int32_t bufferSize, bool ignoreTimes) {
    m_bIgnoreTimes = ignoreTimes;
    return CBaseParser::Init(bufferSize, true);
}

void CParserAACBase::Reset(uint32_t flags) {
    platform::CAutoLock state(m_StateLock);
    m_iBitClockRate = kBitClockRate;
    m_fRunningTime = 0.0;
    m_fBitClock = kBitClockStart;
    CBaseParser::Reset(flags);
}

void CParserAACBase::ParseData(uint8_t* /*buffer*/, int32_t /*offset*/, int32_t /*length*/) {
    // Always works from the front of the buffer: Consume moves the rest there.
    while (BufferFill() > 0) {
        if (ParseOneFrame() == Step::NeedMore) return;
    }
}

CParserAACBase::Step CParserAACBase::ParseOneFrame() {
    const uint8_t* buf = Buffer();
    const int32_t fill = BufferFill();

    int32_t sync = -1;
    for (int32_t i = 0; i + 1 < fill; ++i) {
        if (aac::IsAdtsSync(buf[i], buf[i + 1])) {
            sync = i;
            break;
        }
    }
    if (sync < 0) {
        // Without a sync word nothing here can become a frame; keep only the last byte, which may
        // be the first half of a sync word split across chunks, so garbage never piles up.
        if (fill > 1) {
            Log(LOG_ERROR, 1, "CParserAACBase::ParseData: no ADTS sync word, %d bytes dropped", fill - 1);
            Consume(fill - 1);
        }
        return Step::NeedMore;
    }
    if (sync > 0) {
        Log(LOG_ERROR, 1, "CParserAACBase::ParseData: %d bytes before the ADTS sync word dropped", sync);
        Consume(sync);
        buf = Buffer();
    }
    if (BufferFill() < aac::kAdtsHeaderSize) return Step::NeedMore;

    aac::AdtsHeader h;
    aac::ParseAdtsHeader(std::span<const uint8_t>(buf, static_cast<size_t>(aac::kAdtsHeaderSize)), h);
    const int32_t frameLength = static_cast<int32_t>(h.aac_frame_length);
    if (h.layer != 0 || frameLength <= aac::AdtsHeaderLength(h)) {
        // A frame must hold more than its header; anything else is a sync word inside garbage.
        Log(LOG_ERROR, 1, "CParserAACBase::ParseData: false ADTS sync (layer %u, aac_frame_length %d) skipped",
            h.layer, frameLength);
        Consume(1);
        return Step::Continue;
    }

    const bool rateKnown = aac::SampleRateOfIndex(h.sampling_frequency_index) != 0;
    if (rateKnown) {
        m_Header = h;
        PublishFormat();
    }

    if (m_bIgnoreTimes) {
        m_iCurrentTime = NO_TIME;
    } else {
        m_iCurrentTime = static_cast<int64_t>(m_fRunningTime * 1000.0);
        if (HasTimeAt(0)) {
            int32_t frameType = FRAME_UNKNOWN;
            const int64_t t = TakeTimeAt(0, frameType);
            m_iTimeOffset = t - m_iCurrentTime;
        }
    }

    if (frameLength > BufferFill()) return Step::NeedMore;

    if (!rateKnown) {
        // Without a sample rate the frame has no duration and no time; the stream resumes with
        // the next frame that names a real rate.
        Log(LOG_ERROR, 0,
            "CParserAACBase::ParseData: sampling_frequency_index %u has no sample rate: frame of %d bytes dropped",
            h.sampling_frequency_index, frameLength);
        Consume(frameLength);
        return Step::Continue;
    }

    double durationS = 0.0;
    if (!MakeFrame(durationS)) return Step::NeedMore;
    m_fRunningTime += durationS;
    return Step::Continue;
}

void CParserAACBase::PublishFormat() {
    m_Format.audio.sample_rate = aac::SampleRateOfIndex(m_Header.sampling_frequency_index);
    m_Format.audio.channels = aac::ChannelsOfConfiguration(m_Header.channel_configuration);
    m_Format.audio.object_type = aac::AudioObjectType(m_Header);
    m_Format.fourth = static_cast<int32_t>(m_Header.adts_buffer_fullness);
    aac::MakeAudioSpecificConfig(m_Header, m_Format.codec_private);
    m_Format.codec_private_len = 2;
}

double CParserAACBase::FrameDuration() const {
    const uint32_t blocks = m_Header.number_of_raw_data_blocks_in_frame;
    int32_t rate = aac::SampleRateOfIndex(m_Header.sampling_frequency_index);
    if (rate == 0) rate = 44100;
    return static_cast<double>((blocks != 0 ? blocks : 4) * 256) / rate;
}

void CParserAACBase::StampFrame(BS::data_t* record, double durationS) {
    record->duration_s = durationS;
    record->duration = static_cast<int64_t>(durationS * 1000.0);
    record->bts = static_cast<int64_t>(m_fBitClock * 1000.0);
    m_fBitClock += static_cast<double>(record->size_actual) * 8.0 / m_iBitClockRate;
}

bool CParserAACBase::MakeFrame(double& durationS) {
    const int32_t frameLength = static_cast<int32_t>(m_Header.aac_frame_length);
    BS::data_t* record = MakeOutput(0, frameLength, 0);
    if (!record) return false;
    durationS = FrameDuration();
    StampFrame(record, durationS);
    QueueOutput(record);
    Consume(frameLength);
    return true;
}
