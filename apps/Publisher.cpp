#include "apps/Publisher.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "apps/ControlExecutor.h"
#include "apps/Destination.h"
#include "apps/Destinations.h"
#include "apps/ElementaryInput.h"
#include "apps/EndOfStreamDrain.h"
#include "apps/EventReporter.h"
#include "apps/ExitCodes.h"
#include "apps/SettingsOverlay.h"
#include "apps/SourceFeeder.h"
#include "filter/ModuleLoader.h"
#include "foundation/Log.h"
#include "platform/com/ComPtr.h"
#include "platform/dshow/SystemClock.h"
#include "platform/dshow/Uuids.h"

#ifndef QV_BUILT_MODULE_PATH
#define QV_BUILT_MODULE_PATH ""
#endif

namespace app {
namespace {

constexpr int kVideo = kVideoInput;
constexpr int kAudio = kAudioInput;
// Units go to the writer 50 to 150 ms ahead of their time, a tenth of a second's worth at a
// time: the writer paces the stream by the units' times, and the reader's thread wakes ten times
// a second instead of once a unit.
constexpr SourceFeeder::Pacing kFeederPacing{1500000, 1000000};
// The send time-out when neither --send-timeout nor the user's settings give one: a stall of
// 5 s is ridden out by the buffer mode instead of ending in a reconnection.
constexpr uint32_t kHostSendTimeoutMs = 8000;

// Runs `step` for every destination, on a thread each when there are several (their connects
// and control loops must not wait for one another); the results in order.
template <class Step>
std::vector<int> ForEach(const std::vector<Destination*>& dests, Step step) {
    std::vector<int> codes(dests.size(), -1);
    if (dests.size() == 1) {
        codes[0] = step(*dests[0], 0);
        return codes;
    }
    std::vector<std::thread> threads;
    for (size_t i = 0; i < dests.size(); ++i) threads.emplace_back([&, i] { codes[i] = step(*dests[i], i); });
    for (std::thread& t : threads) t.join();
    return codes;
}

}  // namespace

std::string ResolveModulePath(const std::string& explicitPath) {
    if (!explicitPath.empty()) return explicitPath;
    if (const char* env = std::getenv("QV_RTMPWRITER_MODULE"); env && *env) return env;
    std::error_code ec;
    const std::string built = QV_BUILT_MODULE_PATH;
    if (!built.empty() && std::filesystem::exists(built, ec)) return built;
    return modules::RegisteredModulePath(CLSID_QuorvelRTMPWriter);
}

struct Publisher::Impl {
    PublishOptions o;
    FILE* const out;
    FILE* const err;
    const bool terminal;
    // The run's own lines (usage, inputs, the end) while there are several destinations; alone,
    // the destination's reporter says everything, so one statistics line is ended by any other.
    EventReporter reporter;
    std::atomic<bool> stop{false};
    std::atomic<int> signal{0};
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    std::string modulePath;
    CComPtr<CSystemClock> clock = CComPtr<CSystemClock>::Attach(CSystemClock::Create());

    // Guards `dests` (the list; each destination guards itself). Written by the main thread,
    // which fills it before any input is opened and empties it at the end; read by the signal
    // thread and the feeders' callbacks. Outermost of the host's locks: the destinations' locks
    // come after it.
    std::mutex destLock;
    std::vector<std::unique_ptr<Destination>> dests;

    Impl(PublishOptions options, FILE* o_, FILE* e, bool t)
        : o(std::move(options)),
          out(o_),
          err(e),
          terminal(t),
          reporter(EventReporter::Config{o.events == "json", o.stats, terminal || o.stats, terminal}, out, err) {}

    double Seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    }
    EventReporter& R() { return dests.size() == 1 ? dests[0]->Reporter() : reporter; }
    int Fail(int code, const std::string& message) {
        R().Error(message);
        return code;
    }
    std::vector<Destination*> All() {
        std::vector<Destination*> v;
        for (auto& d : dests) v.push_back(d.get());
        return v;
    }
    void ForAll(const std::function<void(Destination&)>& f) {
        std::lock_guard<std::mutex> g(destLock);
        for (auto& d : dests) f(*d);
    }

    int Run();
    int Setup(std::vector<std::unique_ptr<ElementaryInput>>& inputs, SettingsOverlay& overlay);
    int Stream(std::vector<std::unique_ptr<ElementaryInput>>& inputs);
    bool ProbeInputs(std::vector<std::unique_ptr<ElementaryInput>>& inputs, std::string* error);
    bool PrepareSettings(SettingsOverlay& overlay, const std::vector<std::unique_ptr<ElementaryInput>>& inputs,
                         const std::string& modulePath, std::string* error);
};

Publisher::Publisher(PublishOptions options, FILE* out, FILE* err, bool errIsTerminal)
    : m(std::make_unique<Impl>(std::move(options), out, err, errIsTerminal)) {}

Publisher::~Publisher() = default;

int Publisher::Run() { return m->Run(); }

void Publisher::OnSignal(int signo) {
    m->signal.store(signo);
    m->stop.store(true);
    m->ForAll([](Destination& d) { d.Interrupt(); });
}

bool Publisher::Impl::ProbeInputs(std::vector<std::unique_ptr<ElementaryInput>>& inputs, std::string* error) {
    // Both at once: a live encoder writing two FIFOs may fill one while the other is still empty.
    std::vector<std::string> errors(inputs.size());
    std::vector<char> ok(inputs.size(), 0);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < inputs.size(); ++i) {
        if (!inputs[i]) continue;
        threads.emplace_back([&, i] {
            bool stopped = false;
            ok[i] = inputs[i]->Probe(stop, &errors[i], &stopped) ? 1 : 0;
            if (!ok[i] && !stopped) stop = true;  // one bad input ends the probe of the other
        });
    }
    for (std::thread& t : threads) t.join();
    bool all = true;
    for (size_t i = 0; i < inputs.size(); ++i) {
        if (!inputs[i] || ok[i]) continue;
        all = false;
        if (!errors[i].empty() && error->empty()) *error = errors[i];
    }
    if (signal.load() == 0) stop = false;
    return all;
}

bool Publisher::Impl::PrepareSettings(SettingsOverlay& overlay,
                                      const std::vector<std::unique_ptr<ElementaryInput>>& inputs,
                                      const std::string& modulePath, std::string* error) {
    if (!overlay.Create(error)) return false;
    // The timestamp behaviour: the command line, else the user's setting, else picture order.
    int model = o.timestamps == "advanced" ? 1 : o.timestamps == "poc" ? 2 : 0;
    if (model == 0) {
        model = getRegistryKey(KEY_RTMPSINK, "TimestampModel", 0);
        if (model == 0) model = 2;
    }
    overlay.SetDword(KEY_RTMPSINK, "TimestampModel", static_cast<uint32_t>(model));
    // The send time-out: the command line, else the user's setting, else one that outlasts a
    // short stall. The setting is read after the value handed over, so it carries the choice.
    uint32_t sendTimeout = o.sendTimeout ? static_cast<uint32_t>(*o.sendTimeout) : 0;
    if (!o.sendTimeout) {
        sendTimeout = static_cast<uint32_t>(getRegistryKey(KEY_TCPCLIENT, "SendTimeout", 0));
        if (sendTimeout == 0) sendTimeout = kHostSendTimeoutMs;
    }
    if (sendTimeout != 0) overlay.SetDword(KEY_TCPCLIENT, "SendTimeout", sendTimeout);
    if (o.keepSei) overlay.SetDword(KEY_RTMPSINK, "PassthroughSei", 1);
    // rtmps goes over TLS from this host; the filter on its own keeps it plain.
    overlay.SetDword(KEY_RTMPSINK, "SecureTransport", 1);
    if (!o.caFile.empty()) overlay.SetString(KEY_RTMPSINK, "TlsCaFile", std::filesystem::absolute(o.caFile).string());
    if (o.insecure) {
        overlay.SetDword(KEY_RTMPSINK, "TlsVerifyPeer", 0);
        R().Error("warning: --insecure: the server's certificate is not checked; anyone on the path can read the stream");
    }
    if (!o.proxy.empty()) {
        // The component's own proxy key, for this run: it is asked before the system's settings.
        overlay.SetDword(KEY_PROXY, "ProxyEnable", 1);
        overlay.SetString(KEY_PROXY, "ProxyServer", o.proxy);
    }
    // How long the writer lets the last pictures of a stream leave before it closes (see
    // EndOfStreamDrain for the rest of the stream, which the host waits for).
    overlay.SetDword(KEY_RTMPSINK, "DrainTimeout", static_cast<uint32_t>(o.drainTimeout));
    // A stream without timing of its own is timed at the rate the inputs are read at (--fps, or
    // 25 fps), by every timestamp behaviour alike.
    if (const ElementaryInput* v = inputs[kVideo].get(); v && !v->RateFromStream()) {
        const Rate r = v->FrameRate();
        overlay.SetString(KEY_RTMPSINK, "FallbackFrameRate", std::to_string(r.num) + "/" + std::to_string(r.den));
        if (o.fps.empty())
            R().Error("warning: " + v->path() + " carries no frame rate; timed at 25 fps (give --fps)");
    }
    if (!o.log.empty()) {
        const std::string moduleName = std::filesystem::path(modulePath).filename().string();
        const std::string key = std::string(KEY_DEBUGZEPH) + "\\" + moduleName;
        overlay.SetString(key, "LogToFile", o.log == "stderr" ? "Debug" : o.log);
        for (const char* c : {"TIMING", "TRACE", "MEMORY", "LOCKING", "ERROR", "CUSTOM1", "CUSTOM2", "CUSTOM3"})
            overlay.SetDword(key, c, static_cast<uint32_t>(o.logLevel));
    }
    return true;
}

int Publisher::Impl::Run() {
    std::string error;
    auto list = ResolveDestinations(o, &error);
    if (!list) return Fail(EXIT_USAGE, error);
    if (list->size() > 1 && !o.ui.empty()) return Fail(EXIT_USAGE, "--ui shows one writer: give one destination");
    const Destination::RunContext context{&stop, &signal, [this] { return Seconds(); }, &modulePath, clock.get()};
    {
        std::lock_guard<std::mutex> g(destLock);
        for (size_t i = 0; i < list->size(); ++i)
            dests.push_back(std::make_unique<Destination>((*list)[i], list->size() > 1 ? static_cast<int>(i) + 1 : 0,
                                                          context, out, err, terminal));
    }
    if (dests.size() > 1) Destination::SetUnattributedReporter(&reporter);
    std::vector<std::unique_ptr<ElementaryInput>> inputs(2);
    SettingsOverlay overlay;
    int code = Setup(inputs, overlay);
    if (code < 0) code = Stream(inputs);
    R().Ended(code, Seconds());
    // The destinations leave the writer's callbacks' reach and take their graphs down.
    std::vector<std::unique_ptr<Destination>> gone;
    {
        std::lock_guard<std::mutex> g(destLock);
        gone.swap(dests);
    }
    gone.clear();
    Destination::SetUnattributedReporter(nullptr);
    return code;
}

// Everything before the first connect: the destinations' URLs, the inputs, the settings, the
// writers and their graphs. -1, or the exit status.
int Publisher::Impl::Setup(std::vector<std::unique_ptr<ElementaryInput>>& inputs, SettingsOverlay& overlay) {
    for (Destination* d : All())
        if (const int c = d->Check(); c >= 0) return c;
    std::optional<Rate> fallback = Rate{25, 1};
    if (!o.fps.empty()) {
        fallback = ParseRate(o.fps);
        if (!fallback) return Fail(EXIT_USAGE, "--fps: \"" + o.fps + "\" is not a frame rate (25, 29.97, 30000/1001)");
    }
    if (!o.video.empty()) inputs[kVideo] = std::make_unique<ElementaryInput>(ElementaryInput::Kind::Video, o.video, *fallback);
    if (!o.audio.empty()) inputs[kAudio] = std::make_unique<ElementaryInput>(ElementaryInput::Kind::Audio, o.audio);
    for (auto& in : inputs) {
        std::string error;
        if (in && !in->Open(&error)) return Fail(EXIT_INPUT, error);
    }
    std::string error;
    if (!ProbeInputs(inputs, &error)) {
        if (signal.load()) return EXIT_SIGNAL_BASE + signal.load();
        return Fail(EXIT_INPUT, error);
    }
    modulePath = ResolveModulePath(o.module);
    if (modulePath.empty()) return Fail(EXIT_INTERNAL, "the filter module is neither built nor registered (rtmpwriter register)");
    if (!PrepareSettings(overlay, inputs, modulePath, &error)) return Fail(EXIT_INTERNAL, error);
    for (Destination* d : All()) {
        int c = d->Create();
        if (c < 0) c = d->Build(inputs);
        if (c >= 0) return c;
    }
    return -1;
}

int Publisher::Impl::Stream(std::vector<std::unique_ptr<ElementaryInput>>& inputs) {
    const std::vector<Destination*> all = All();
    const bool several = all.size() > 1;
    std::vector<int> codes = ForEach(all, [several](Destination& d, size_t) {
        const int code = d.Connect();
        // One of several that cannot connect is over now; it says so with the others running.
        if (several && code >= 0) d.Finish(code);
        return code;
    });
    // The destinations that connected are started and fed; each of the others has said why not.
    std::vector<Destination*> live;
    for (size_t i = 0; i < all.size(); ++i)
        if (codes[i] < 0 && (codes[i] = all[i]->Start()) < 0) live.push_back(all[i]);

    std::vector<std::unique_ptr<SourceFeeder>> feeders;
    std::vector<bool> feederIsVideo;
    if (!live.empty()) {
        // Paced by the stream time of the first graph that runs: the others started within
        // moments of it, well inside how far ahead the units go.
        const REFERENCE_TIME t0 = live.front()->StartTime();
        for (int i : {kVideo, kAudio}) {
            if (!inputs[i]) continue;
            std::vector<CSourceOutputPin*> pins;
            for (Destination* d : live) pins.push_back(d->Pin(i));
            feederIsVideo.push_back(i == kVideo);
            auto done = [this, i](SourceFeeder&, const std::string& err) {
                ForAll([&](Destination& d) {
                    if (err.empty()) d.Post(EC_HOST_INPUT_READ, i);
                    else d.InputFailed(i, err);
                });
            };
            auto now = [c = clock.get(), t0] {
                REFERENCE_TIME t = 0;
                c->GetTime(&t);
                return static_cast<int64_t>(t - t0);
            };
            feeders.push_back(several ? std::make_unique<SourceFeeder>(std::move(inputs[i]), pins, now, done, kFeederPacing)
                                      : std::make_unique<SourceFeeder>(std::move(inputs[i]), pins[0], now, done,
                                                                       kFeederPacing));
        }
    }
    for (auto& fd : feeders) fd->Start();
    std::thread control;
    if (!o.control.empty() && !live.empty())
        control = std::thread([this, live] {
            ReadControlChannel(o.control, stop, R(), [&](const ControlCommand& c) {
                for (Destination* d : live) d->Execute(c);
            });
        });

    std::vector<int> ended = ForEach(live, [&](Destination& d, size_t k) {
        std::vector<EndOfStreamDrain::Tap> taps;
        for (auto& fd : feeders) taps.push_back({fd.get(), k});
        const int code = d.Loop(taps, feederIsVideo);
        for (auto& fd : feeders) fd->Close(k);
        // Alone, the destination ends with the run (below); one of several ends now, while the
        // others go on.
        if (several) d.Finish(code);
        return code;
    });
    for (size_t i = 0, k = 0; i < all.size(); ++i)
        if (codes[i] < 0) codes[i] = ended[k++];

    stop = true;
    for (auto& fd : feeders) fd->RequestStop();
    if (control.joinable()) control.join();
    // Stopping a graph closes the writer, which unpublishes when still connected, and releases a
    // feeder the writer holds back; the feeders are joined after it.
    for (size_t i = 0; i < all.size(); ++i) all[i]->Finish(codes[i]);
    for (auto& fd : feeders) fd->Stop();
    for (Destination* d : all) d->Release();
    // Every destination closed cleanly, or the first that did not says how the run ended.
    for (int c : codes)
        if (c != EXIT_OK) return c;
    return EXIT_OK;
}

}  // namespace app
