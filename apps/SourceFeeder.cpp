#include "apps/SourceFeeder.h"

#include <chrono>

namespace app {
SourceFeeder::SourceFeeder(std::unique_ptr<ElementaryInput> input, CSourceOutputPin* pin, StreamClock clock,
                           DoneCallback done, Pacing pacing)
    : SourceFeeder(std::move(input), std::vector<CSourceOutputPin*>{pin}, std::move(clock), std::move(done), pacing, 0) {}

SourceFeeder::SourceFeeder(std::unique_ptr<ElementaryInput> input, std::vector<CSourceOutputPin*> pins, StreamClock clock,
                           DoneCallback done, Pacing pacing, size_t queueUnits)
    : m_input(std::move(input)),
      m_queueUnits(queueUnits > 0 ? queueUnits : kFanOutQueueUnits),
      m_clock(std::move(clock)),
      m_done(std::move(done)),
      m_pacing(pacing) {
    for (CSourceOutputPin* p : pins) m_outputs.push_back(std::make_unique<Output>(p));
}

void SourceFeeder::Close(size_t output) {
    if (output < m_outputs.size()) m_outputs[output]->open = false;
}

void SourceFeeder::Fan(const MediaUnit& unit) {
    const bool video = m_input->kind() == ElementaryInput::Kind::Video;
    for (auto& o : m_outputs) {
        if (!o->open) continue;
        // Never waits: a pin at its bound misses the unit instead of holding the reading back.
        if ((o->needKey && !unit.sync) || !o->pin->WaitRoom(m_queueUnits, 0)) {
            o->needKey = video;
            ++o->missed;
            continue;
        }
        o->needKey = false;
        o->pin->PushSample(unit.bytes, &unit.start, &unit.stop, unit.sync);
        ++o->sent;
    }
}

SourceFeeder::~SourceFeeder() { Stop(); }

void SourceFeeder::Start() {
    if (!m_thread.joinable()) m_thread = std::thread([this] { Run(); });
}

void SourceFeeder::RequestStop() {
    {
        std::lock_guard<std::mutex> g(m_waitLock);
        m_stop = true;
    }
    m_wake.notify_all();
}

void SourceFeeder::Stop() {
    RequestStop();
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
}

bool SourceFeeder::WaitUntil(int64_t t) {
    const int64_t due = t - m_pacing.lead;
    std::unique_lock<std::mutex> g(m_waitLock);
    for (;;) {
        if (m_stop) return false;
        const int64_t now = m_clock();
        if (now >= due) return true;
        // The pacing itself: asleep until the unit is due and the step is over, so the units due
        // meanwhile go together on one wake-up (or until a stop comes).
        m_wake.wait_for(g, std::chrono::microseconds((due + m_pacing.step - now + 9) / 10));
    }
}

void SourceFeeder::Run() {
    std::string error;
    for (;;) {
        MediaUnit unit;
        const ElementaryInput::Result r = m_input->Next(unit, m_stop, &error);
        if (r == ElementaryInput::Result::Stopped) return;
        if (r != ElementaryInput::Result::Unit) {
            if (r == ElementaryInput::Result::End) error.clear(), m_ended = true;
            else if (!m_stop)
                for (auto& o : m_outputs)
                    if (o->open) o->pin->PushEndOfStream();
            break;
        }
        ++m_read;
        if (!WaitUntil(unit.start)) return;
        // Known before the last unit is delivered, so the end's time bound runs while the writer
        // still holds it back.
        if (m_input->Drained()) m_ended = true;
        if (m_outputs.size() == 1) {
            // Delivered from this thread: a writer holding the pin back (wait mode) holds the reading.
            m_outputs[0]->pin->DeliverNow(unit.bytes, &unit.start, &unit.stop, unit.sync);
            ++m_outputs[0]->sent;
        } else {
            Fan(unit);
        }
        if (m_stop) return;
        ++m_sent;
    }
    if (m_done) m_done(*this, error);
}

}  // namespace app
