#pragma once
// AAC parser whose records are RTMP audio message bodies: the AAC sequence header once, then
// every ADTS frame as 0xAF 0x01 followed by the raw frame (ADTS header and CRC removed).
#include <cstdint>

#include "parsers/ParserAACBase.h"

class CParserAACRTMP : public CParserAACBase {
public:
    // First byte of every audio body: sound format 10 (AAC), rate code 3, 16-bit, stereo. The
    // player takes the real rate and channels from the sequence header, so it never varies.
    static constexpr uint8_t kAudioTagByte = 0xAF;
    static constexpr uint8_t kPacketSequenceHeader = 0x00;
    static constexpr uint8_t kPacketRaw = 0x01;

    // Without RESET_RESTART the sequence header is announced again before the next frame.
    void Reset(uint32_t flags) override;
    bool MakeFrame(double& durationS) override;

    // Time of the queued sequence header in ms, NO_TIME until one has been queued.
    int64_t SequenceHeaderTime() const { return m_iSequenceHeaderTime; }
    bool SequenceHeaderQueued() const { return m_bSequenceHeaderQueued; }

private:
    // The 4-byte body announcing the AudioSpecificConfig of the current header; null on no memory.
    BS::data_t* MakeSequenceHeader();

    int64_t m_iSequenceHeaderTime = NO_TIME;
    // Kept apart from the time: a stream parsed without times has a header time of NO_TIME too.
    bool m_bSequenceHeaderQueued = false;
};
