#include "apps/Publisher.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "apps/ControlChannel.h"
#include "apps/ControlExecutor.h"
#include "apps/ElementaryInput.h"
#include "apps/EndOfStreamDrain.h"
#include "apps/EventReporter.h"
#include "apps/ExitCodes.h"
#include "apps/SettingsOverlay.h"
#include "apps/SourceFeeder.h"
#include "apps/WebSession.h"
#include "filter/CodecApiKeys.h"
#include "filter/FilterInterfaces.h"
#include "filter/InputPin.h"
#include "filter/ModuleLoader.h"
#include "foundation/Log.h"
#include "foundation/TextConvert.h"
#include "platform/com/ComPtr.h"
#include "platform/dshow/FilterGraph.h"
#include "platform/dshow/SourcePin.h"
#include "platform/dshow/SystemClock.h"
#include "platform/dshow/Uuids.h"
#include "rtmp/RtmpUrl.h"
#include "rtmp/session/PublishVerdicts.h"
#include "sink/EndOfStreamText.h"

#ifndef QV_BUILT_MODULE_PATH
#define QV_BUILT_MODULE_PATH ""
#endif

namespace app {
namespace {

constexpr HRESULT kInvalidPassword = MakeHResult(0x80070056u);
constexpr int kVideo = 0;
constexpr int kAudio = 1;
// The control loop's wait for the next graph event; every source of work posts one, so this only
// bounds how long a wait may last.
constexpr LONG kEventWaitMs = 1000;
// Posted by a feeder that has read its input to the end: the control loop starts the drain.
constexpr long EC_HOST_INPUT_READ = 0x8A06;
// Posted by the callbacks when the server keeps the session but will not take the stream.
constexpr long EC_HOST_NOT_ACCEPTED = 0x8A04;   // every publish answered with BadName
constexpr long EC_HOST_MESSAGE_LIMIT = 0x8A05;  // closed again right after a large picture
// A server that closes right after a large picture once may have met a coincidence; twice is
// its limit.
constexpr int kMessageLimitCloses = 2;
// Units go to the writer 50 to 150 ms ahead of their time, a tenth of a second's worth at a
// time: the writer paces the stream by the units' times, and the reader's thread wakes ten times
// a second instead of once a unit.
constexpr SourceFeeder::Pacing kFeederPacing{1500000, 1000000};
// The send time-out when neither --send-timeout nor the user's settings give one: a stall of
// 5 s is ridden out by the buffer mode instead of ending in a reconnection.
constexpr uint32_t kHostSendTimeoutMs = 8000;
// The writer's own default number of reconnection attempts.
constexpr int32_t kDefaultReconnectAttempts = 5;
const char* const kNeverConnectedLoss = "RTMP disconnection from server while encoding";

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The URL problem in words, or empty when the URL can be published to.
std::string CheckUrl(const std::string& url) {
    const size_t sep = url.find("://");
    const std::string expected = "expected rtmp[t|e|s]://server[:port]/app/stream";
    if (sep == std::string::npos) return "bad URL \"" + url + "\": " + expected;
    const std::string scheme = Lower(url.substr(0, sep));
    if (scheme != "rtmp" && scheme != "rtmpt" && scheme != "rtmpe" && scheme != "rtmps" && scheme != "rtmpte")
        return "bad URL \"" + url + "\": unsupported scheme \"" + scheme + "\"; " + expected;
    const rtmp::SplitUrlResult parts = rtmp::SplitUrl(url);
    if (parts.host.empty()) return "bad URL \"" + url + "\": no server; " + expected;
    if (parts.app.empty() || parts.stream.empty())
        return "bad URL \"" + url + "\": needs an application and a stream name; " + expected;
    if (parts.port <= 0 || parts.port > 65535) return "bad URL \"" + url + "\": bad port; " + expected;
    return {};
}

HRESULT SetKey(ICodecAPI* api, const GUID& key, VARTYPE vt, int64_t value) {
    VARIANT v;
    v.vt = vt;
    if (vt == VT_BOOL) v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    else if (vt == VT_UI4) v.ulVal = static_cast<uint32_t>(value);
    else v.lVal = static_cast<int32_t>(value);
    return api->SetValue(&key, &v);
}

HRESULT SetKeyText(ICodecAPI* api, const GUID& key, const std::string& text) {
    VARIANT v;
    v.vt = VT_BSTR;
    com::CBstr b(Utf8ToWide(text).c_str());
    v.bstrVal = b.get();
    return api->SetValue(&key, &v);
}

HRESULT SetKeyPointer(ICodecAPI* api, const GUID& key, void* p) {
    VARIANT v;
    v.vt = VT_EMPTY;
    v.byref = p;
    return api->SetValue(&key, &v);
}

// Whether this process may capture packets (the wire figures need it).
bool HasNetRawCapability() {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return false;
    char line[256];
    unsigned long long effective = 0;
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "CapEff: %llx", &effective) == 1) break;
    std::fclose(f);
    constexpr int kCapNetRaw = 13;
    return (effective >> kCapNetRaw) & 1;
}

// Round-trip time and acknowledged bitrate are measured on the wire by the writer's packet
// capture; every new connection (a reconnection too) needs it started and pointed at its ports.
// Returns the reason when it cannot run, empty when it does.
std::string StartWireFigures(IBaseFilter* filter) {
    CComPtr<IBaseFilter> f(filter);
    CComPtr<ICodecAPI> api;
    if (FAILED(f.As(IID_ICodecAPI, api))) return "the writer has no codec interface";
    if (SUCCEEDED(SetKeyPointer(api.get(), CODECAPI_QV_CreateSniffer, nullptr))) return {};
    return HasNetRawCapability() ? "the packet capture could not start (the writer's log says why)"
                                 : "capturing packets needs CAP_NET_RAW, which this process does not have";
}

// The record the writer sends along with a status other than connected: all but field 0 cleared.
bool IsZeroed(const RTMPStatistics& s) {
    RTMPStatistics zero;
    zero.outputBufferSize = s.outputBufferSize;
    return std::memcmp(&zero, &s, sizeof s) == 0;
}

// The filter calls back into the host on its own threads, possibly after a run has ended (the
// module stays loaded); the callbacks reach the current run through this one guarded slot.
struct CallbackSlot {
    // Guards current. Taken by the filter's threads in the callbacks (possibly under the
    // writer's own locks) and by the run's main thread when it installs or removes itself.
    // Outermost of the host's locks: graphLock, textLock and the reporter's lock come after it.
    std::mutex lock;
    Publisher::Impl* current = nullptr;
};
CallbackSlot& Slot() {
    static CallbackSlot slot;
    return slot;
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
    EventReporter reporter;
    std::atomic<bool> stop{false};
    std::atomic<int> signal{0};

    // Guards graph. Written by the main thread as it builds and tears down the graph; read by
    // the signal thread, the feeders and the callbacks to post events. After the slot's lock,
    // before the graph's event lock; nothing of the host is taken under it.
    std::mutex graphLock;
    CFilterGraph* graph = nullptr;

    // Guards connecting: the writer while the main thread waits in its first connect, which
    // can last as long as the system's connect time-out. The signal thread closes it through
    // this, so a stop is prompt. Taken alone; the writer's close runs under it.
    std::mutex connectingLock;
    IRTMPOptions* connecting = nullptr;

    // Guards lastError and the input error texts. Written by the filter's text events and the
    // feeder threads, read by the main thread. Innermost: nothing is called while it is held.
    std::mutex textLock;
    std::string lastError;
    std::string inputError[2];
    std::string limitText;  // the last message-limit verdict
    // Inputs whose end went to the writer; once all have, the writer's close is the normal end.
    std::atomic<int> inputsEnded{0};
    // What the writer reported it could not send at the end (guarded by textLock).
    std::string unsentText;
    // Written by the callbacks: a publication the server confirmed, one it answered with
    // BadName only (the next "connected" is not one), and closes right after a large picture.
    std::atomic<bool> confirmed{false};
    std::atomic<bool> notAccepted{false};
    std::atomic<bool> refusalPosted{false};  // the connection's refusal went to the control loop
    std::atomic<int> limitCloses{0};

    std::string streamText;
    std::string modulePath;
    // What the web API and /metrics read; written by the main thread.
    RunFigures runFigures{o.url};
    // Set when the user disconnects through the web page: the disconnection that follows ends
    // the run as asked, not as a lost connection.
    std::atomic<bool> userStopped{false};
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();

    Impl(PublishOptions options, FILE* out, FILE* err, bool terminal)
        : o(std::move(options)),
          reporter(EventReporter::Config{o.events == "json", o.stats, terminal || o.stats, terminal}, out, err) {}

    double Seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    }

    void Post(long code, LONG_PTR p1) {
        std::lock_guard<std::mutex> g(graphLock);
        if (graph) graph->Notify(code, p1, 0);
    }

    static void StatusThunk(void* context, void*, int32_t status) {
        (void)context;
        CallbackSlot& s = Slot();
        std::lock_guard<std::mutex> g(s.lock);
        if (!s.current) return;
        // The verdict came on this thread just before: a connection that publishes into nothing
        // is not reported as connected, however often its status is repeated.
        if (status != RTMP_STATUS_CONNECTED) s.current->notAccepted = false, s.current->refusalPosted = false;
        if (status == RTMP_STATUS_CONNECTED && s.current->notAccepted) {
            if (!s.current->refusalPosted.exchange(true)) s.current->Post(EC_HOST_NOT_ACCEPTED, 0);
            return;
        }
        if (status == RTMP_STATUS_CONNECTED) s.current->confirmed = true;
        s.current->Post(EC_HOST_STATUS, status);
    }

    static int TextThunk(void*, const wchar_t* category, const wchar_t* message) {
        CallbackSlot& s = Slot();
        std::lock_guard<std::mutex> g(s.lock);
        if (!s.current) return 0;
        Impl& self = *s.current;
        const std::string cat = category ? WideToUtf8(category) : "";
        const std::string msg = message ? WideToUtf8(message) : "";
        // A start without connection marks the stream as "streaming" before any server took it;
        // losing what never stood is no news.
        if (cat == "error" && msg == kNeverConnectedLoss && !self.confirmed) return 0;
        if (cat == "error") {
            std::lock_guard<std::mutex> t(self.textLock);
            self.lastError = msg;
            if (msg.starts_with(rtmp::kMessageLimitText)) self.limitText = msg;
        }
        if (cat == "error" && msg.starts_with(rtmp::kPublishNotAcceptedText)) self.notAccepted = true;
        if (cat == "error" && msg.starts_with(rtmp::kMessageLimitText) && ++self.limitCloses == kMessageLimitCloses)
            self.Post(EC_HOST_MESSAGE_LIMIT, 0);
        if (cat == "error" && msg.starts_with(sink::kUnsentAtEndText)) {
            std::lock_guard<std::mutex> t(self.textLock);
            self.unsentText = msg.substr(sink::kUnsentAtEndText.size());
        }
        self.reporter.Text(cat, msg);
        return 0;
    }

    std::string LastError() {
        std::lock_guard<std::mutex> t(textLock);
        return lastError;
    }

    int Fail(int code, const std::string& message) {
        reporter.Error(message);
        return code;
    }

    int Run();
    int Stream(IBaseFilter* filter, std::vector<std::unique_ptr<ElementaryInput>>& inputs);
    bool ProbeInputs(std::vector<std::unique_ptr<ElementaryInput>>& inputs, std::string* error);
    bool PrepareSettings(SettingsOverlay& overlay, const std::vector<std::unique_ptr<ElementaryInput>>& inputs,
                         const std::string& modulePath, std::string* error);
    std::string ApplyOptions(IBaseFilter* filter);
    ControlResult Execute(IBaseFilter* filter, const ControlCommand& c);
    HRESULT Hold(CFilterGraph* graph, int32_t* lastStatus);
};

Publisher::Publisher(PublishOptions options, FILE* out, FILE* err, bool errIsTerminal)
    : m(std::make_unique<Impl>(std::move(options), out, err, errIsTerminal)) {}

Publisher::~Publisher() = default;

int Publisher::Run() { return m->Run(); }

void Publisher::OnSignal(int signo) {
    m->signal.store(signo);
    m->stop.store(true);
    m->Post(EC_HOST_SIGNAL, signo);
    std::lock_guard<std::mutex> g(m->connectingLock);
    if (m->connecting) m->connecting->Disconnect();
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
        reporter.Error("warning: --insecure: the server's certificate is not checked; anyone on the path can read the stream");
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
            reporter.Error("warning: " + v->path() + " carries no frame rate; timed at 25 fps (give --fps)");
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

std::string Publisher::Impl::ApplyOptions(IBaseFilter* filter) {
    CComPtr<IBaseFilter> f(filter);
    CComPtr<IFileSinkFilter> sink;
    CComPtr<IRTMPOptions> opt;
    CComPtr<ISinkMode> mode;
    CComPtr<ITimecode> tc;
    CComPtr<ICodecAPI> api;
    CComPtr<IRTMPStatusNotify> notify;
    if (FAILED(f.As(IID_IFileSinkFilter, sink)) || FAILED(f.As(IID_IRTMPOptions, opt)) ||
        FAILED(f.As(IID_ISinkMode, mode)) || FAILED(f.As(IID_ITimecode, tc)) || FAILED(f.As(IID_ICodecAPI, api)) ||
        FAILED(f.As(IID_IRTMPStatusNotify, notify)))
        return "the filter module does not offer the writer's interfaces";

    if (FAILED(sink->SetFileName(Utf8ToWide(o.url).c_str(), nullptr))) return "the filter refused the URL " + o.url;
    std::vector<std::string> refused;
    auto check = [&](HRESULT hr, const char* what) {
        if (hr != S_OK) refused.push_back(what);
    };
    if (o.bufferSize) check(opt->SetOutputBufferSize(*o.bufferSize), "--buffer-size");
    if (o.packetSize) check(opt->SetOutputPacketSize(*o.packetSize), "--packet-size");
    if (o.socketBuffer) check(opt->SetSocketBufferSize(*o.socketBuffer), "--socket-buffer");
    if (o.noBFrames) check(opt->SetAllowBFrames(FALSE), "--no-b-frames");
    if (o.tcpNoDelay) check(opt->SetTcpNoDelay(TRUE), "--tcp-nodelay");
    if (o.noPadding) check(SetKey(api.get(), CODECAPI_QV_PassthroughPadding, VT_BOOL, 0), "--no-padding");
    if (!o.user.empty()) check(opt->SetUserName(Utf8ToWide(o.user).c_str()), "--user");
    if (!o.password.empty()) check(opt->SetPassword(Utf8ToWide(o.password).c_str()), "--password");
    if (o.reconnectAttempts) check(opt->SetReconnectAttempts(*o.reconnectAttempts), "--reconnect-attempts");
    if (o.reconnectInterval) check(opt->SetReconnectInterval(*o.reconnectInterval), "--reconnect-interval");
    if (o.timecode) check(tc->SetWriteTimecode(TRUE), "--timecode");
    if (o.timecodeInterval) check(tc->SetTimecodeInterval(*o.timecodeInterval), "--timecode-interval");
    if (o.timecodeStart) check(tc->SetFirstTimecode(*o.timecodeStart), "--timecode-start");
    if (o.timecodeSystemTime) check(tc->SetEmbedSystemTime(TRUE), "--timecode-system-time");
    if (o.absoluteTime) check(SetKey(api.get(), CODECAPI_QV_AbsoluteTime, VT_UI4, *o.absoluteTime), "--absolute-time");
    if (!o.bufferMode.empty())
        check(SetKey(api.get(), CODECAPI_QV_BufferMode, VT_UI4, o.bufferMode == "wait" ? 0 : 1), "--buffer-mode");
    if (o.sendTimeout) check(SetKey(api.get(), CODECAPI_QV_SendTimeout, VT_I4, *o.sendTimeout), "--send-timeout");
    if (o.receiveTimeout)
        check(SetKey(api.get(), CODECAPI_QV_ReceiveTimeout, VT_I4, *o.receiveTimeout), "--receive-timeout");
    if (o.connectTimeout)
        check(SetKey(api.get(), CODECAPI_QV_ConnectTimeout, VT_I4, *o.connectTimeout), "--connect-timeout");
    if (o.fallbackPorts) check(SetKey(api.get(), CODECAPI_QV_FallbackPortsDefault, VT_BOOL, 1), "--fallback-ports");
    if (o.fallbackTunnel) check(SetKey(api.get(), CODECAPI_QV_FallbackTunnelDefault, VT_BOOL, 1), "--fallback-tunnel");
    if (o.startWithoutConnection)
        check(SetKey(api.get(), CODECAPI_QV_StartWithoutConnection, VT_BOOL, 1), "--start-without-connection");
    if (!o.userAgent.empty()) check(SetKeyText(api.get(), CODECAPI_QV_UserAgent, o.userAgent), "--user-agent");
    if (!o.recordMode.empty()) {
        const int m = o.recordMode == "record" ? 1 : o.recordMode == "append" ? 2 : 0;
        check(SetKey(api.get(), CODECAPI_QV_RecordMode, VT_I4, m), "--record-mode");
    }
    if (o.live) check(mode->SetLiveMode(TRUE), "--live");
    if (o.audioDelay) check(mode->SetAudioDelay(o.audioDelay), "--audio-delay");
    if (!o.connectArgs.empty())
        check(SetKeyText(api.get(), CODECAPI_QV_ConnectArguments, o.connectArgs), "--connect-args");
    if (!refused.empty()) {
        std::string list;
        for (const std::string& r : refused) list += (list.empty() ? "" : ", ") + r;
        return "the filter refused " + list;
    }
    // Status changes come back through the handler, text events through the callback pair.
    if (FAILED(notify->SetStatusNotifyHandler(this, nullptr, &StatusThunk))) return "the filter refused the status handler";
    SetKeyPointer(api.get(), CODECAPI_QV_EventCallbackFunction, reinterpret_cast<void*>(&TextThunk));
    SetKeyPointer(api.get(), CODECAPI_QV_EventCallbackContext, &Slot());
    SetKeyPointer(api.get(), CODECAPI_QV_EventCallbackCommit, nullptr);
    return {};
}

int Publisher::Impl::Run() {
    if (std::string bad = CheckUrl(o.url); !bad.empty()) return Fail(EXIT_USAGE, bad);
    if (!o.connectArgs.empty()) {
        Json::Value args;
        Json::CharReaderBuilder b;
        b["stackLimit"] = 32;
        std::unique_ptr<Json::CharReader> r(b.newCharReader());
        bool ok = false;
        try {
            ok = r->parse(o.connectArgs.data(), o.connectArgs.data() + o.connectArgs.size(), &args, nullptr);
        } catch (const std::exception&) {
            ok = false;  // nested beyond the stack limit
        }
        if (!ok || !args.isObject())
            return Fail(EXIT_USAGE, "--connect-args needs a JSON object, e.g. '{\"key\": \"value\"}'");
    }
    std::optional<Rate> fallback = Rate{25, 1};
    if (!o.fps.empty()) {
        fallback = ParseRate(o.fps);
        if (!fallback) return Fail(EXIT_USAGE, "--fps: \"" + o.fps + "\" is not a frame rate (25, 29.97, 30000/1001)");
    }

    std::vector<std::unique_ptr<ElementaryInput>> inputs(2);
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
    SettingsOverlay overlay;
    if (!PrepareSettings(overlay, inputs, modulePath, &error)) return Fail(EXIT_INTERNAL, error);

    IBaseFilter* raw = nullptr;
    const HRESULT hr = modules::CreateInstanceFromModule(modulePath, CLSID_QuorvelRTMPWriter, nullptr, IID_IBaseFilter,
                                                         reinterpret_cast<void**>(&raw));
    if (FAILED(hr) || !raw) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
        return Fail(EXIT_INTERNAL, "cannot create the writer from " + modulePath + " (" + code + ")");
    }
    CComPtr<IBaseFilter> filter = CComPtr<IBaseFilter>::Attach(raw);
    {
        std::lock_guard<std::mutex> g(Slot().lock);
        Slot().current = this;
    }
    int code = EXIT_INTERNAL;
    if (std::string bad = ApplyOptions(filter.get()); !bad.empty()) {
        code = Fail(EXIT_USAGE, bad);
    } else {
        code = Stream(filter.get(), inputs);
    }
    CComPtr<IRTMPStatusNotify> notify;
    if (SUCCEEDED(filter.As(IID_IRTMPStatusNotify, notify))) notify->ClearStatusNotifyHandler();
    {
        std::lock_guard<std::mutex> g(Slot().lock);
        Slot().current = nullptr;
    }
    reporter.Ended(code, Seconds());
    return code;
}

int Publisher::Impl::Stream(IBaseFilter* filter, std::vector<std::unique_ptr<ElementaryInput>>& inputs) {
    CComPtr<CFilterGraph> graphRef = CComPtr<CFilterGraph>::Attach(CFilterGraph::Create());
    CComPtr<CSystemClock> clock = CComPtr<CSystemClock>::Attach(CSystemClock::Create());
    graphRef->SetSyncSource(clock.get());

    std::vector<CPushSource::PinDesc> specs;
    std::vector<int> pinOf(2, -1);
    for (int i : {kVideo, kAudio}) {
        if (!inputs[i]) continue;
        pinOf[i] = static_cast<int>(specs.size());
        specs.push_back({i == kVideo ? L"Video Out" : L"Audio Out", {inputs[i]->MediaType()}, 4 << 20, 8});
    }
    CComPtr<CPushSource> source = CComPtr<CPushSource>::Attach(CPushSource::Create(L"Elementary streams", specs));
    if (FAILED(graphRef->AddFilter(source.get(), L"Elementary streams")) ||
        FAILED(graphRef->AddFilter(filter, L"Quorvel RTMP Network Writer")))
        return Fail(EXIT_INTERNAL, "cannot build the graph");
    for (int i : {kVideo, kAudio}) {
        if (pinOf[i] < 0) continue;
        IPin* in = nullptr;
        if (FAILED(filter->FindPin(i == kVideo ? L"Video" : L"Audio", &in)) || !in)
            return Fail(EXIT_INTERNAL, "the writer has no input pin for the stream");
        const HRESULT hr = graphRef->ConnectDirect(source->SourcePin(pinOf[i]), in, nullptr);
        in->Release();
        if (FAILED(hr))
            return Fail(EXIT_INPUT, inputs[i]->path() + ": the writer does not accept " + inputs[i]->Describe());
    }
    {
        std::lock_guard<std::mutex> g(graphLock);
        graph = graphRef.get();
    }
    struct Unpublish {  // the graph leaves the callbacks' reach before it goes
        Impl* self;
        ~Unpublish() {
            std::lock_guard<std::mutex> g(self->graphLock);
            self->graph = nullptr;
        }
    } unpublish{this};

    CComPtr<IBaseFilter> f(filter);
    CComPtr<IRTMPOptions> opt;
    if (FAILED(f.As(IID_IRTMPOptions, opt))) return Fail(EXIT_INTERNAL, "the writer has no connection interface");
    CComPtr<ICodecAPI> figures;
    f.As(IID_ICodecAPI, figures);
    auto TunnelFiguresNow = [&figures] {
        EventReporter::TunnelFigures t;
        VARIANT v;
        VariantInit(&v);
        if (!figures || FAILED(figures->GetValue(&CODECAPI_QV_TunnelRequests, &v)) || v.lVal <= 0) return t;
        t.on = true;
        t.requests = v.lVal;
        VariantInit(&v);
        if (SUCCEEDED(figures->GetValue(&CODECAPI_QV_TunnelPollingInterval, &v))) t.interval = v.lVal;
        return t;
    };
    streamText = o.url;
    for (int i : {kVideo, kAudio})
        if (inputs[i]) runFigures.SetInput(i == kVideo, 0, 0);
    std::unique_ptr<WebSession> web;
    if (!o.ui.empty()) {
        auto control = [this, filter](const ControlCommand& c) {
            const ControlResult r = Execute(filter, c);
            return r.ok ? ui::Outcome::Ok() : ui::Outcome::Fail(409, r.message);
        };
        web = std::make_unique<WebSession>(o, filter, runFigures, reporter,
                                           WebSession::Hooks{control, [this] { return Seconds(); }, [this] { userStopped = true; }});
        if (std::string why; !web->Start(modulePath, &why)) return Fail(EXIT_USAGE, why);
    }

    if (stop) return EXIT_SIGNAL_BASE + signal.load();
    {
        std::lock_guard<std::mutex> g(connectingLock);
        connecting = opt.get();
    }
    int32_t heldStatus = -1;  // the last status the writer reported while held
    runFigures.SetPhase(o.hold ? RunPhase::Held : RunPhase::Connecting);
    HRESULT hr = o.hold ? Hold(graphRef.get(), &heldStatus) : opt->ConnectServer();
    {
        std::lock_guard<std::mutex> g(connectingLock);
        connecting = nullptr;
    }
    if (stop) {
        opt->Disconnect();  // interrupted while connecting: unpublish what was just published
        return EXIT_SIGNAL_BASE + signal.load();
    }
    if (hr == kInvalidPassword) return Fail(EXIT_AUTH, "authentication failed for " + o.url + " (check --user and --password)");
    if (FAILED(hr)) {
        std::string why = LastError();
        return Fail(EXIT_CONNECT, "cannot publish to " + o.url + (why.empty() ? "" : ": " + why));
    }

    const std::string videoText = inputs[kVideo] ? inputs[kVideo]->Describe() : "";
    const std::string audioText = inputs[kAudio] ? inputs[kAudio]->Describe() : "";
    std::vector<std::unique_ptr<SourceFeeder>> feeders;
    std::vector<bool> feederIsVideo;
    for (int i : {kVideo, kAudio}) {
        if (!inputs[i]) continue;
        feederIsVideo.push_back(i == kVideo);
        feeders.push_back(std::make_unique<SourceFeeder>(
            std::move(inputs[i]), source->SourcePin(pinOf[i]),
            [g = graphRef.get(), c = clock.get()] {
                REFERENCE_TIME now = 0;
                c->GetTime(&now);
                return static_cast<int64_t>(now - g->StartTime());
            },
            [this, i](SourceFeeder&, const std::string& err) {
                if (err.empty()) {
                    Post(EC_HOST_INPUT_READ, i);
                    return;
                }
                {
                    std::lock_guard<std::mutex> t(textLock);
                    inputError[i] = err;
                }
                Post(EC_HOST_INPUT_FAILED, i);
            },
            kFeederPacing));
    }
    if (FAILED(graphRef->Run())) {
        std::string why = LastError();
        return Fail(EXIT_CONNECT, "cannot publish to " + o.url + (why.empty() ? "" : ": " + why));
    }
    runFigures.SetPhase(RunPhase::Streaming);
    reporter.Started(o.url, videoText, audioText);
    std::vector<SourceFeeder*> drainInputs;
    for (auto& fd : feeders) drainInputs.push_back(fd.get());
    EndOfStreamDrain drain(std::move(drainInputs), o.drainTimeout);
    for (auto& fd : feeders) fd->Start();
    std::thread control;
    if (!o.control.empty())
        control = std::thread([this, filter] {
            ReadControlChannel(o.control, stop, reporter, [&](const ControlCommand& c) { Execute(filter, c); });
        });

    bool everConnected = heldStatus == RTMP_STATUS_CONNECTED;
    int32_t lastStatus = heldStatus;
    int32_t streamStatus = -1;  // the last status before the closing one
    int32_t refusals = 0;       // publications in a row the server did not accept
    bool wireFiguresOff = false;  // the packet capture was refused once; not asked again
    int code = -1;
    std::string message;
    while (code < 0) {
        // The inputs' ends go to the writer once what came before them has left (EndOfStreamDrain).
        if (drain.Step() == EndOfStreamDrain::Verdict::GaveUp) {
            code = EXIT_UNSENT;
            message = drain.Unsent();
            break;
        }
        inputsEnded = drain.EndsPushed();
        for (size_t k = 0; k < feeders.size(); ++k)
            runFigures.SetInput(feederIsVideo[k], feeders[k]->UnitsSent(), feeders[k]->Pin()->Dropped());
        LONG ev = 0;
        LONG_PTR p1 = 0, p2 = 0;
        if (graphRef->GetEvent(&ev, &p1, &p2, drain.WaitMs(kEventWaitMs)) != S_OK) continue;
        switch (ev) {
        case EC_COMPLETE:
            if (everConnected && streamStatus == RTMP_STATUS_RECONNECTING)
                code = EXIT_CONNECTION_LOST,
                message = "the inputs ended while reconnecting to " + o.url + "; the rest of the stream was not delivered";
            else if (everConnected) code = EXIT_OK;
            else code = EXIT_CONNECT, message = "the inputs ended before a connection to " + o.url + " was made";
            break;
        case EC_HOST_NOT_ACCEPTED: {
            // The writer counts such a publication as a success, so its attempts never run out:
            // the bound is counted here, against the same setting.
            const int32_t allowed = o.reconnectAttempts.value_or(kDefaultReconnectAttempts);
            if (allowed >= 0 && ++refusals > allowed) {
                code = everConnected ? EXIT_CONNECTION_LOST : EXIT_CONNECT;
                message = "cannot publish to " + o.url + ": " + LastError();
                break;
            }
            CComPtr<IBaseFilter> f(filter);
            CComPtr<ICodecAPI> api;
            if (SUCCEEDED(f.As(IID_ICodecAPI, api))) SetKeyPointer(api.get(), CODECAPI_QV_DropConnection, nullptr);
            break;
        }
        case EC_HOST_MESSAGE_LIMIT: {
            code = everConnected ? EXIT_CONNECTION_LOST : EXIT_CONNECT;
            std::lock_guard<std::mutex> t(textLock);
            message = "publishing to " + o.url + " failed: " + limitText;
            break;
        }
        case EC_ERRORABORT:
            if (p1 == BS::E_VIDEO_INPUT_TIMEOUT || p1 == BS::E_AUDIO_INPUT_TIMEOUT) {
                code = EXIT_INPUT;
                message = std::string("the ") + (p1 == BS::E_VIDEO_INPUT_TIMEOUT ? "video" : "audio") +
                          " input stalled: no data came for too long";
            } else if (everConnected) {
                code = EXIT_CONNECTION_LOST;
                message = "the connection to " + o.url + " was lost and no reconnection attempt is left";
            } else {
                code = EXIT_CONNECT;
                const std::string why = LastError();
                message = "cannot publish to " + o.url + (why.empty() ? "" : ": " + why);
            }
            break;
        case EC_ZEPH_RTMP_WRITER_STATS:
            // The writer sends a zeroed record with every status other than connected.
            if (p1 && lastStatus == RTMP_STATUS_CONNECTED && !IsZeroed(*reinterpret_cast<const RTMPStatistics*>(p1))) {
                reporter.Statistics(*reinterpret_cast<const RTMPStatistics*>(p1), Seconds(), TunnelFiguresNow());
                runFigures.OnStatistics(*reinterpret_cast<const RTMPStatistics*>(p1), Seconds());
            }
            break;
        case EC_HOST_STATUS: {
            const auto status = static_cast<int32_t>(p1);
            // The writer repeats its status when the graph starts; report changes only.
            if (status != lastStatus) reporter.Status(status, streamText);
            lastStatus = status;
            runFigures.OnStatus(status, Seconds());
            if (status == RTMP_STATUS_CONNECTED) everConnected = true, refusals = 0;
            if (status == RTMP_STATUS_CONNECTED && (o.stats || o.events == "json") && !wireFiguresOff) {
                const std::string why = StartWireFigures(filter);
                // Said once: the stream goes on, only these figures stay 0.
                if (!why.empty())
                    wireFiguresOff = true,
                    reporter.Notice("round-trip time and acknowledged bitrate are off: " + why);
            }
            if (status != RTMP_STATUS_DISCONNECTED || inputsEnded.load() < static_cast<int>(feeders.size()))
                streamStatus = status;
            // After the last input ended the writer closes the stream itself: EC_COMPLETE follows.
            if (status == RTMP_STATUS_DISCONNECTED && inputsEnded.load() < static_cast<int>(feeders.size()) && userStopped) {
                code = EXIT_OK;
                reporter.Notice("disconnected from the web page; the run ends");
            } else if (status == RTMP_STATUS_DISCONNECTED && inputsEnded.load() < static_cast<int>(feeders.size())) {
                code = everConnected ? EXIT_CONNECTION_LOST : EXIT_CONNECT;
                const std::string why = LastError();
                message = everConnected ? "the connection to " + o.url + " was lost and no reconnection attempt is left"
                                        : "cannot publish to " + o.url + (why.empty() ? "" : ": " + why);
            }
            break;
        }
        case EC_HOST_INPUT_FAILED: {
            std::lock_guard<std::mutex> t(textLock);
            code = EXIT_INPUT;
            message = inputError[p1 == kAudio ? kAudio : kVideo];
            break;
        }
        case EC_HOST_SIGNAL:
            code = EXIT_SIGNAL_BASE + static_cast<int>(p1);
            break;
        default:
            break;
        }
    }
    if (code == EXIT_OK) {
        std::lock_guard<std::mutex> t(textLock);
        if (!unsentText.empty()) code = EXIT_UNSENT, message = EndOfStreamDrain::UnsentText(o.drainTimeout, unsentText);
    }
    stop = true;
    for (auto& fd : feeders) fd->RequestStop();
    if (control.joinable()) control.join();
    runFigures.SetPhase(RunPhase::Ended);
    web.reset();  // no request reaches the writer while the graph stops
    // Stopping the graph closes the writer, which unpublishes when still connected, and releases
    // a feeder the writer holds back; the feeders are joined after it.
    graphRef->Stop();
    for (auto& fd : feeders) fd->Stop();
    if (!message.empty()) reporter.Error(message);
    graphRef->RemoveFilter(source.get());
    graphRef->RemoveFilter(filter);
    return code;
}

// --hold: the graph stays stopped until the writer reports the connection that the web page (or
// its API) asked for; a stopped graph connects at once.
// The writer's own graph event about a connect it was asked for, and its "connect done" value.
constexpr LONG kWriterConnectEvent = 67;
constexpr LONG_PTR kWriterConnectDone = 5;

HRESULT Publisher::Impl::Hold(CFilterGraph* graph, int32_t* lastStatus) {
    reporter.Notice("holding: nothing connects until Connect is pressed on the web page (or POST /api/connect)");
    bool connectDone = false;
    while (!stop) {
        LONG ev = 0;
        LONG_PTR p1 = 0, p2 = 0;
        if (graph->GetEvent(&ev, &p1, &p2, kEventWaitMs) != S_OK) continue;
        // The connected status comes from inside the connect, before the writer has marked itself
        // connected; a graph run before its connect-done event would start without the stream.
        connectDone |= ev == kWriterConnectEvent && p1 == kWriterConnectDone;
        if (connectDone && *lastStatus == RTMP_STATUS_CONNECTED) return S_OK;
        if (ev != EC_HOST_STATUS) continue;
        const auto status = static_cast<int32_t>(p1);
        if (status != *lastStatus) reporter.Status(status, streamText);
        *lastStatus = status;
        runFigures.OnStatus(status, Seconds());
        if (connectDone && status == RTMP_STATUS_CONNECTED) return S_OK;
    }
    return E_ABORT;
}

ControlResult Publisher::Impl::Execute(IBaseFilter* filter, const ControlCommand& c) {
    ControlResult r = ExecuteControl(filter, c);
    reporter.Control(KindName(c.kind), r.ok, r.message);
    return r;
}

}  // namespace app
