#pragma once
// Feeds one input into push source pins the way a live encoder does: each unit is handed over
// when the stream time reaches the unit's start time (a unit that is late, as from a FIFO whose
// producer is slow, goes at once).
// One pin (one destination): the unit is delivered from the feeder's own thread, so while the
// writer holds the pin back (wait mode) reading stops too and the producer of a FIFO waits.
// Several pins (one input published to several destinations): a unit is queued on each pin, and
// no destination may hold back the others. A pin whose queue is full misses the unit (counted
// as dropped for it); its video then resumes at the next key frame, so what it gets stays
// decodable.
// The end of the input is not passed on: the owner decides when (see EndOfStreamDrain); after a
// read error it is passed on at once.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "apps/ElementaryInput.h"
#include "platform/dshow/SourcePin.h"

namespace app {

class SourceFeeder {
public:
    // Stream time of the running graph in 100-ns units.
    using StreamClock = std::function<int64_t()>;
    // Called on the feeder's thread when the input ended (error empty) or failed.
    using DoneCallback = std::function<void(SourceFeeder&, const std::string& error)>;

    // How far ahead of its time a unit may go, in 100-ns units. The writer paces what it sends by
    // the units' own times, so the reader need not: handing over `step` worth of units at a time,
    // each between lead - step and lead early, wakes this thread once a step instead of once a
    // unit, and the writer's queues never run empty between two hand-overs. {0, 0}: each unit at
    // its time exactly, as an encoder's output would come. 0 <= step <= lead.
    struct Pacing {
        int64_t lead;
        int64_t step;
    };

    SourceFeeder(std::unique_ptr<ElementaryInput> input, CSourceOutputPin* pin, StreamClock clock, DoneCallback done,
                 Pacing pacing = {0, 0});
    // Samples a pin of several may hold queued before its destination misses units: about two
    // seconds of video or audio, so that a short hiccup of one server costs it nothing.
    static constexpr size_t kFanOutQueueUnits = 64;
    SourceFeeder(std::unique_ptr<ElementaryInput> input, std::vector<CSourceOutputPin*> pins, StreamClock clock,
                 DoneCallback done, Pacing pacing, size_t queueUnits = kFanOutQueueUnits);
    ~SourceFeeder();
    SourceFeeder(const SourceFeeder&) = delete;
    SourceFeeder& operator=(const SourceFeeder&) = delete;

    void Start();
    // Asks the thread to stop without waiting for it: a delivery the writer holds back returns
    // only when the graph stops.
    void RequestStop();
    // Stops reading and waiting; joins the thread. Nothing more goes to the pin.
    void Stop();
    // The destination of pin `output` has ended: nothing more goes to it.
    void Close(size_t output);
    ElementaryInput& input() { return *m_input; }
    int64_t UnitsSent() const { return m_sent.load(); }
    // Units that went to pin `output` (delivered or queued), and those it missed.
    int64_t UnitsSent(size_t output) const { return m_outputs[output]->sent.load(); }
    int64_t UnitsMissed(size_t output) const { return m_outputs[output]->missed.load(); }
    // The input was read to its end (its last unit may still be on its way to the pin).
    bool InputEnded() const { return m_ended.load(); }
    // Every unit read so far went to the pin (delivered, or dropped by it).
    bool AllDelivered() const { return m_sent.load() == m_read.load(); }
    CSourceOutputPin* Pin(size_t output = 0) const { return m_outputs[output]->pin; }
    size_t Outputs() const { return m_outputs.size(); }

private:
    struct Output {
        explicit Output(CSourceOutputPin* p) : pin(p) {}
        CSourceOutputPin* pin;
        std::atomic<bool> open{true};
        bool needKey = false;  // the feeder thread's only: video missed a unit, wait for a key frame
        std::atomic<int64_t> sent{0};
        std::atomic<int64_t> missed{0};
    };
    void Run();
    void Fan(const MediaUnit& unit);
    // Waits until the stream time reaches `t`; false when stopped first.
    bool WaitUntil(int64_t t);

    std::unique_ptr<ElementaryInput> m_input;
    std::vector<std::unique_ptr<Output>> m_outputs;
    const size_t m_queueUnits;
    StreamClock m_clock;
    DoneCallback m_done;
    Pacing m_pacing;
    std::atomic<bool> m_stop{false};
    std::atomic<int64_t> m_sent{0};
    std::atomic<int64_t> m_read{0};
    std::atomic<bool> m_ended{false};
    // Guards the stop wake-up: the main thread sets m_stop and notifies under it, the feeder
    // thread's pacing wait sleeps on it. Innermost: nothing else is locked while it is held.
    std::mutex m_waitLock;
    std::condition_variable m_wake;
    std::thread m_thread;
};

}  // namespace app
