#pragma once
// Cuts an H.264 Annex B byte stream into access units, the way an encoder hands them out one at
// a time. Sans I/O: bytes go in with Push as they arrive, finished units come out of Next, and
// End says the stream is over so the last unit can go too.
//
// A unit ends where the next one starts: before an access unit delimiter, SEI, sequence or
// picture parameter set (or NAL types 14..18) that follows a picture, and before a slice whose
// first_mb_in_slice is 0 that follows a picture. Each unit keeps its start codes.
//
// Data before the first sequence parameter set is skipped (but for the delimiter and SEI that
// open its unit) (a stream joined mid-way starts at
// its next SPS); input that brings no SPS within kMaxSkip bytes, or a unit above kMaxUnit bytes,
// is not an H.264 elementary stream and puts the splitter in its error state.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "parsers/H264ParamSets.h"

namespace app {

struct AccessUnit {
    std::vector<uint8_t> bytes;
    bool idr = false;       // holds an IDR slice: a random access point
    bool hasSps = false;
};

class AnnexBSplitter {
public:
    static constexpr size_t kMaxUnit = 16u << 20;
    static constexpr size_t kMaxSkip = 4u << 20;

    void Push(std::span<const uint8_t> bytes);
    // The stream ended: whatever is buffered becomes the last unit.
    void End();
    // The next finished unit; nothing when more input is needed (or on error).
    std::optional<AccessUnit> Next();

    bool Failed() const { return !m_error.empty(); }
    const std::string& Error() const { return m_error; }
    // The first sequence parameter set (valid once one was seen).
    bool HaveSps() const { return m_haveSps; }
    const h264::SPS& Sps() const { return m_sps; }
    // Bytes skipped before the first SPS.
    size_t Skipped() const { return m_skipped; }

private:
    void Scan();
    // Classifies the NAL whose start code begins at `start` (header at `header`); may cut a unit.
    void BeginNal(size_t start, size_t header);
    // The current NAL ends at `end` (exclusive).
    void EndNal(size_t end);
    void Cut(size_t at);
    void Compact();
    void Fail(std::string why);

    std::vector<uint8_t> m_buf;
    size_t m_scan = 0;            // where the start code search goes on
    size_t m_unitStart = 0;       // first byte of the unit being collected
    bool m_inNal = false;         // a NAL is open (its start code was seen)
    bool m_headerPending = false; // its header bytes have not arrived yet
    size_t m_nalStart = 0;        // start code of the open NAL
    size_t m_nalHeader = 0;       // its header byte
    int m_nalType = -1;
    bool m_nalDropped = false;    // before the first SPS: not part of any unit
    // Before the first SPS: a delimiter or SEI that may open the SPS's unit, kept until a
    // picture shows it belonged to a skipped one.
    bool m_prefixOpen = false;
    size_t m_prefixStart = 0;
    bool m_unitHasPicture = false;
    bool m_unitIdr = false;
    bool m_unitHasSps = false;
    bool m_ended = false;
    bool m_haveSps = false;
    h264::SPS m_sps;
    size_t m_skipped = 0;
    std::vector<AccessUnit> m_ready;  // finished units, oldest first
    size_t m_readyPos = 0;
    std::string m_error;
};

}  // namespace app
