#pragma once
// Parser of an AAC elementary stream in ADTS framing. Every complete ADTS frame becomes one
// output record; subclasses (CParserAACRTMP) change what a record holds by overriding MakeFrame.
#include <cstdint>

#include "parsers/BaseParser.h"
#include "parsers/ParserAACAdts.h"

class CParserAACBase : public BS::CBaseParser {
public:
    // Nominal rate of the bit clock, bits per second.
    static constexpr int32_t kBitClockRate = 244000;
    // The bit clock starts this far before the stream so the first frames leave early.
    static constexpr double kBitClockStart = -0.2;

    CParserAACBase();

    // Stores the ignore-times flag; the base keeps init flag true.
    bool Init(int32_t bufferSize, bool ignoreTimes) override;
    void Reset(uint32_t flags) override;
    void ParseData(uint8_t* buffer, int32_t offset, int32_t length) override;
    // 13. Turns the complete frame at the front of the buffer (described by m_Header) into a
    //     queued record and consumes it. On success sets durationS to the frame's length in
    //     seconds and returns true; false leaves the frame in the buffer.
    virtual bool MakeFrame(double& durationS);

    const aac::AdtsHeader& LastHeader() const { return m_Header; }
    double RunningTime() const { return m_fRunningTime; }
    double BitClock() const { return m_fBitClock; }

protected:
    // Seconds one frame plays: the frame's raw-data-block field counted as 256-sample quarters,
    // 4 of them (1024 samples) when the field is 0; 44100 Hz stands in for an unknown rate.
    double FrameDuration() const;
    // Sets duration, duration_s and bts of a frame record and advances the bit clock.
    void StampFrame(BS::data_t* record, double durationS);

    aac::AdtsHeader m_Header;      // the last parsed header
    bool m_bIgnoreTimes = false;   // records then carry no time
    double m_fRunningTime = 0.0;   // seconds of audio parsed since the last reset
    double m_fBitClock = kBitClockStart;  // seconds
    int32_t m_iBitClockRate = kBitClockRate;

private:
    // Outcome of looking at the front of the buffer.
    enum class Step { NeedMore, Continue };
    Step ParseOneFrame();
    void PublishFormat();
};
