#pragma once
// Cuts an AAC ADTS stream into its frames. Sans I/O: bytes go in with Push as they arrive,
// frames come out of Next, End says the stream is over.
//
// The first frame counts only when the bytes after it start another ADTS header (or the stream
// ends there), so a stray 0xFFF in other data is not taken for a frame. Bytes between frames
// that are no frame are skipped (and counted); input with no frame in its first kMaxSkip bytes
// is not an ADTS stream and puts the splitter in its error state.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace app {

struct AdtsFrame {
    std::vector<uint8_t> bytes;  // the whole frame, header included
    int objectType = 0;          // audio object type (profile + 1): 2 is AAC LC
    int sampleRateIndex = 0;
    int sampleRate = 0;
    int channelConfig = 0;       // 0: given in the stream's program config element
    int samples = 0;             // PCM samples per channel the frame decodes to
};

// The header fields of the ADTS frame at `p`; nothing when it is no valid header.
std::optional<AdtsFrame> ParseAdtsHeader(std::span<const uint8_t> p, size_t* frameLength);

class AdtsSplitter {
public:
    static constexpr size_t kMaxSkip = 64u << 10;

    void Push(std::span<const uint8_t> bytes);
    void End();
    std::optional<AdtsFrame> Next();

    bool Failed() const { return !m_error.empty(); }
    const std::string& Error() const { return m_error; }
    size_t Skipped() const { return m_skipped; }

private:
    void Skip(size_t n);

    std::vector<uint8_t> m_buf;
    size_t m_pos = 0;
    bool m_ended = false;
    bool m_synced = false;  // a frame has been found
    size_t m_skipped = 0;
    std::string m_error;
};

}  // namespace app
