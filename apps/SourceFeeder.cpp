#include "apps/SourceFeeder.h"

#include <chrono>

namespace app {

SourceFeeder::SourceFeeder(std::unique_ptr<ElementaryInput> input, CSourceOutputPin* pin, StreamClock clock,
                           DoneCallback done)
    : m_input(std::move(input)), m_pin(pin), m_clock(std::move(clock)), m_done(std::move(done)) {}

SourceFeeder::~SourceFeeder() { Stop(); }

void SourceFeeder::Start() {
    if (!m_thread.joinable()) m_thread = std::thread([this] { Run(); });
}

void SourceFeeder::Stop() {
    {
        std::lock_guard<std::mutex> g(m_waitLock);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
}

bool SourceFeeder::WaitUntil(int64_t t) {
    std::unique_lock<std::mutex> g(m_waitLock);
    for (;;) {
        if (m_stop) return false;
        const int64_t now = m_clock();
        if (now >= t) return true;
        // The pacing itself: sleep until the unit is due (or a stop comes).
        m_wake.wait_for(g, std::chrono::microseconds((t - now + 9) / 10));
    }
}

void SourceFeeder::Run() {
    std::string error;
    for (;;) {
        MediaUnit unit;
        const ElementaryInput::Result r = m_input->Next(unit, m_stop, &error);
        if (r == ElementaryInput::Result::Stopped) return;
        if (r != ElementaryInput::Result::Unit) {
            if (!m_stop) m_pin->PushEndOfStream();
            if (r == ElementaryInput::Result::End) error.clear();
            break;
        }
        if (!WaitUntil(unit.start)) return;
        m_pin->PushSample(unit.bytes, &unit.start, &unit.stop, unit.sync);
        ++m_sent;
    }
    if (m_done) m_done(*this, error);
}

}  // namespace app
