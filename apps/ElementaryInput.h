#pragma once
// One elementary stream input of the host: an H.264 Annex B or AAC ADTS byte stream from a
// file, FIFO or standard input, cut into the units an encoder would deliver (one access unit or
// one ADTS frame each) and stamped with their times on the stream's own clock: frame count times
// the frame duration for video, samples so far over the sample rate for audio.
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "apps/AdtsSplitter.h"
#include "apps/AnnexBSplitter.h"
#include "apps/InputStream.h"
#include "platform/dshow/MediaType.h"

namespace app {

// A frame rate as a fraction; parsed from "25", "29.97" or "30000/1001".
struct Rate {
    int64_t num = 0;
    int64_t den = 1;
    bool valid() const { return num > 0 && den > 0; }
    double value() const { return valid() ? static_cast<double>(num) / static_cast<double>(den) : 0.0; }
};
std::optional<Rate> ParseRate(const std::string& text);

struct MediaUnit {
    std::vector<uint8_t> bytes;
    int64_t start = 0;  // 100-ns units from the stream's start
    int64_t stop = 0;
    bool sync = false;
};

class ElementaryInput {
public:
    enum class Kind { Video, Audio };
    enum class Result { Unit, End, Error, Stopped };

    // `fallbackRate` times video whose sequence parameter set carries no timing.
    ElementaryInput(Kind kind, std::string path, Rate fallbackRate = {25, 1});

    bool Open(std::string* error);
    // Reads until the first unit is there: its parameters make the media type.
    bool Probe(const std::atomic<bool>& stop, std::string* error, bool* stopped);
    Result Next(MediaUnit& out, const std::atomic<bool>& stop, std::string* error);
    // The end of the input was read and no unit is left to take: the next Next() ends (or
    // reports what was wrong with the last bytes) without reading.
    bool Drained();

    Kind kind() const { return m_kind; }
    const std::string& path() const { return m_path; }
    bool IsLive() const { return m_in.IsLive(); }
    CMediaType MediaType() const;
    // "H.264 320x240 25 fps" / "AAC LC 48000 Hz 2 ch"
    std::string Describe() const;
    // The frame rate in use and whether the stream's own timing gave it.
    Rate FrameRate() const { return m_rate; }
    bool RateFromStream() const { return m_rateFromStream; }
    int SampleRate() const { return m_sampleRate; }
    int64_t UnitsDelivered() const { return m_units; }

private:
    // Takes the next finished unit from the splitter into m_pending; false when none yet.
    bool TakeUnit();
    bool Fill(const std::atomic<bool>& stop, std::string* error, Result* result);
    void StampVideo(MediaUnit& u);
    void StampAudio(MediaUnit& u, int samples);
    std::string SplitterError() const;

    Kind m_kind;
    std::string m_path;
    InputStream m_in;
    AnnexBSplitter m_video;
    AdtsSplitter m_audio;
    bool m_ended = false;
    std::vector<uint8_t> m_chunk;  // the read buffer, kept from one read to the next
    std::optional<MediaUnit> m_pending;
    int m_pendingSamples = 0;

    Rate m_fallbackRate;
    Rate m_rate{25, 1};
    bool m_rateFromStream = false;
    int m_width = 0, m_height = 0;
    int m_sampleRate = 0, m_channels = 0, m_objectType = 0, m_sampleRateIndex = 0, m_channelConfig = 0;
    int64_t m_units = 0;
    int64_t m_samples = 0;
};

}  // namespace app
