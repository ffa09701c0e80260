#include "parsers/ParserAACRTMP.h"

#include "foundation/Log.h"

void CParserAACRTMP::Reset(uint32_t flags) {
    platform::CAutoLock state(m_StateLock);
    if (!(flags & RESET_RESTART)) {
        m_iSequenceHeaderTime = NO_TIME;
        m_bSequenceHeaderQueued = false;
    }
    CParserAACBase::Reset(flags);
}

BS::data_t* CParserAACRTMP::MakeSequenceHeader() {
    const int64_t t = OutputTime();
    BS::data_t* d = BS::data_t::Create(4, true, t, t, BitTimeOfPosition());
    if (!d) return nullptr;
    uint8_t asc[2];
    aac::MakeAudioSpecificConfig(m_Header, asc);
    d->data[0] = kAudioTagByte;
    d->data[1] = kPacketSequenceHeader;
    d->data[2] = asc[0];
    d->data[3] = asc[1];
    return d;
}

bool CParserAACRTMP::MakeFrame(double& durationS) {
    if (!m_bSequenceHeaderQueued) {
        BS::data_t* header = MakeSequenceHeader();
        if (!header) {
            Log(LOG_ERROR | LOG_MEMORY, 0, "CParserAACRTMP::MakeFrame: no memory for the sequence header");
            return false;
        }
        QueueOutput(header);
        m_iSequenceHeaderTime = OutputTime();
        m_bSequenceHeaderQueued = true;
    }
    const int32_t frameLength = static_cast<int32_t>(m_Header.aac_frame_length);
    const int32_t headerLength = aac::AdtsHeaderLength(m_Header);
    BS::data_t* record = MakeOutput(headerLength, frameLength - headerLength, 2);
    if (!record) return false;
    record->data[0] = kAudioTagByte;
    record->data[1] = kPacketRaw;
    durationS = FrameDuration();
    StampFrame(record, durationS);
    QueueOutput(record);
    Consume(frameLength);
    return true;
}
