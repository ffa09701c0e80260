#pragma once
// The end of a publication. The writer closes the stream as soon as the last of its inputs has
// ended, so that last end is held back until every unit read has been handed to the writer (in
// wait mode the writer holds its inputs while its queues are full, and the readers with them),
// for at most the drain time-out; the writer then sends the rest and waits for its send buffer
// within the same bound (the DrainTimeout setting), reporting what it could not send. An input
// read to its end while another is still being read ends at once: a track that has run dry
// without ending would hold the other back in the writer, and a pin the writer has had nothing
// from for a second is taken out of the interleaving.
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "apps/SourceFeeder.h"

namespace app {

class EndOfStreamDrain {
public:
    enum class Verdict { Running, Ended, GaveUp };
    // One input as one writer gets it: the feeder and which of its pins leads to that writer.
    struct Tap {
        SourceFeeder* feeder;
        size_t output = 0;
        CSourceOutputPin* Pin() const { return feeder->Pin(output); }
    };

    EndOfStreamDrain(std::vector<Tap> inputs, int32_t timeoutMs);

    // One step, after every event or wait of the control loop. GaveUp: the time-out passed while
    // the writer still held the inputs back; Unsent() says so.
    Verdict Step();
    // Ends handed to the writer so far.
    int EndsPushed() const { return m_pushed; }
    const std::string& Unsent() const { return m_unsent; }
    // How long the control loop may wait for its next event: short while the pins are watched.
    long WaitMs(long idleMs) const;
    // The one line that tells the user what the bound cost.
    static std::string UnsentText(int32_t timeoutMs, const std::string& what);

private:
    enum class Stage { Reading, Delivering, Done };
    void PushEnd(size_t i);

    std::vector<Tap> m_inputs;
    std::vector<bool> m_ended;
    const int32_t m_timeoutMs;
    Stage m_stage = Stage::Reading;
    std::chrono::steady_clock::time_point m_deadline;
    int m_pushed = 0;
    std::string m_unsent;
};

}  // namespace app
