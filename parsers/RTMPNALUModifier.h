#pragma once
// Turns the NAL units of one H.264 access unit into the body of an RTMP video message: the
// AVCDecoderConfigurationRecord (sequence header) or a run of length-prefixed NAL units. It
// remembers which parameter sets were announced and, when a later picture parameter set changes
// pic_init_qp, rewrites the slice headers so the slices still decode against the announced one.
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "foundation/Data.h"
#include "parsers/H264Nal.h"
#include "parsers/H264ParamSets.h"

class RTMPNALUModifier {
public:
    enum State : int32_t {
        STATE_DATA = 0,
        STATE_WAIT_PARAMS = 1,       // nothing announced yet
        STATE_WAIT_PARAMS_KEPT = 2,  // restarted, the announced parameter sets stay valid
        STATE_CONFIG = 3,            // the next access unit is the sequence header
        STATE_CONFIG_SWALLOW = 4,    // the next access unit is a repeated header, not sent
    };
    static constexpr int32_t kQpUnknown = 0x7FFFFFFF;
    // In the waiting states, units that come before any parameter set are let go once this many
    // have piled up: they could never be sent, and the list must stay bounded.
    static constexpr size_t kMaxWaitingUnits = 64;

    struct Boundary {
        int32_t count = 0;     // NAL units in the access unit; 0: no boundary yet
        bool discard = false;  // the units are dropped without an access unit
    };

    RTMPNALUModifier();

    // Where the access unit at the front of `list` ends. In the waiting states it is the run up to
    // the unit at which both an SPS and a PPS have been seen (the state then moves to 3 or 4).
    Boundary FindBoundary(const std::deque<h264::NalEntry>& list);
    // Payload bytes to allocate for the first `count` units.
    int32_t Size(const std::deque<h264::NalEntry>& list, int32_t count) const;
    // In the config state writes the sequence header to `out` and returns its size; else 0.
    int32_t WriteHeader(const std::deque<h264::NalEntry>& list, int32_t count, const uint8_t* buffer,
                        std::span<uint8_t> out);
    // Writes one NAL unit's part (length prefix and unit, possibly with a rewritten slice header)
    // into `out`; returns the bytes written.
    int32_t WriteNalu(const h264::NalEntry& nal, const uint8_t* buffer, std::span<uint8_t> out);
    // The first `count` units go without a record (nothing in them is sent). A repeated header
    // after a restart is swallowed here, but its parameter sets still become the current ones.
    void Skip(const std::deque<h264::NalEntry>& list, int32_t count, const uint8_t* buffer);
    // Marks the record as the sequence header when it was one, and returns to the data state.
    int32_t Finish(BS::data_t* record);
    // Bit 1 (a restart) keeps what was announced when it is complete.
    void Reset(uint32_t flags);

    void SetPassthroughPadding(bool on);
    bool GetPassthroughPadding() const { return m_bPadding; }
    // SEI units (caption data, picture timing, user data) go out with the slices they precede.
    void SetPassthroughSei(bool on) { m_bSei = on; }
    bool GetPassthroughSei() const { return m_bSei; }
    State GetState() const { return m_iState; }
    int32_t QpSent() const { return m_iQpSent; }
    int32_t QpLast() const { return m_iQpLast; }

    // Rewrites the slice NAL unit `nal` (header byte first, escaped) with slice_qp_delta increased
    // by `qpAdjust` into `out`. Returns 0 and the written length, or a non-zero result code.
    static int RewriteSlice(std::span<const uint8_t> nal, const h264::SPS& sps, const h264::PPS& pps,
                            int32_t qpAdjust, std::span<uint8_t> out, int32_t& written);

private:
    static int32_t ValidQp(int32_t qp) { return qp >= 0 && qp <= 51 ? qp : kQpUnknown; }
    void TakeSps(std::span<const uint8_t> nal);
    void TakePps(std::span<const uint8_t> nal);

    State m_iState = STATE_WAIT_PARAMS;
    h264::SPS m_Sps;
    h264::PPS m_Pps;
    int32_t m_iSentSpsLength = 0;
    int32_t m_iSentPpsLength = 0;
    uint8_t m_RawSps[h264::kMaxSpsBytes] = {};
    uint8_t m_RawPps[h264::kMaxPpsBytes] = {};
    int32_t m_iQpSent = kQpUnknown;
    int32_t m_iQpLast = kQpUnknown;
    bool m_bPadding = false;
    bool m_bSei = false;
};
