#include "apps/SourceFeeder.h"

#include <chrono>

namespace app {
namespace {
// Samples a pin may hold ahead of the writer: the one being delivered and a little slack, so a
// unit that is due never waits for the reader.
constexpr size_t kPinQueueLimit = 4;
// How often a reader held for room looks for a stop.
constexpr uint32_t kRoomWaitMs = 100;
}  // namespace

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

bool SourceFeeder::WaitForRoom() {
    while (!m_stop)
        if (m_pin->WaitRoom(kPinQueueLimit, kRoomWaitMs)) return true;
    return false;
}

void SourceFeeder::Run() {
    std::string error;
    for (;;) {
        MediaUnit unit;
        const ElementaryInput::Result r = m_input->Next(unit, m_stop, &error);
        if (r == ElementaryInput::Result::Stopped) return;
        if (r != ElementaryInput::Result::Unit) {
            if (r == ElementaryInput::Result::End) error.clear(), m_ended = true;
            else if (!m_stop) m_pin->PushEndOfStream();
            break;
        }
        if (!WaitUntil(unit.start) || !WaitForRoom()) return;
        m_pin->PushSample(unit.bytes, &unit.start, &unit.stop, unit.sync);
        ++m_sent;
    }
    if (m_done) m_done(*this, error);
}

}  // namespace app
