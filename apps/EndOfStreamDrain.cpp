#include "apps/EndOfStreamDrain.h"

namespace app {
namespace {
// The control loop's wait while the pins are watched for idleness.
constexpr long kDrainPollMs = 20;
}  // namespace

EndOfStreamDrain::EndOfStreamDrain(std::vector<Tap> inputs, int32_t timeoutMs)
    : m_inputs(std::move(inputs)), m_ended(m_inputs.size(), false), m_timeoutMs(timeoutMs > 0 ? timeoutMs : 0) {}

void EndOfStreamDrain::PushEnd(size_t i) {
    if (m_ended[i]) return;
    m_inputs[i].Pin()->PushEndOfStream();
    m_ended[i] = true;
    ++m_pushed;
}

EndOfStreamDrain::Verdict EndOfStreamDrain::Step() {
    using clock = std::chrono::steady_clock;
    if (m_stage == Stage::Done) return Verdict::Ended;
    if (m_stage == Stage::Reading) {
        bool reading = false;
        for (const Tap& in : m_inputs) reading = reading || !in.feeder->InputEnded();
        if (reading) {
            for (size_t i = 0; i < m_inputs.size(); ++i)
                if (m_inputs[i].feeder->InputEnded()) PushEnd(i);
            return Verdict::Running;
        }
        m_stage = Stage::Delivering;
        m_deadline = clock::now() + std::chrono::milliseconds(m_timeoutMs);
    }
    // A time-out of 0 asks for no wait: the last end goes at once, behind the units still queued.
    if (m_timeoutMs > 0) {
        for (const Tap& in : m_inputs) {
            if (in.feeder->AllDelivered() && in.Pin()->WaitIdle(0)) continue;
            if (clock::now() < m_deadline) return Verdict::Running;
            m_unsent = UnsentText(m_timeoutMs, "the writer was still holding the inputs back");
            return Verdict::GaveUp;
        }
    }
    for (size_t i = 0; i < m_inputs.size(); ++i) PushEnd(i);
    m_stage = Stage::Done;
    return Verdict::Ended;
}

std::string EndOfStreamDrain::UnsentText(int32_t timeoutMs, const std::string& what) {
    return "the link did not take the end of the stream within --drain-timeout (" + std::to_string(timeoutMs) +
           " ms): " + what;
}

long EndOfStreamDrain::WaitMs(long idleMs) const { return m_stage == Stage::Delivering ? kDrainPollMs : idleMs; }

}  // namespace app
