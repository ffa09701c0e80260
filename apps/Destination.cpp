#include "apps/Destination.h"

#include <chrono>
#include <cstring>
#include <filesystem>

#include "apps/EndOfStreamDrain.h"
#include "apps/ExitCodes.h"
#include "apps/WebPage.h"
#include "filter/CodecApiKeys.h"
#include "filter/InputPin.h"
#include "filter/ModuleLoader.h"
#include "foundation/TextConvert.h"
#include "platform/dshow/Uuids.h"
#include "rtmp/RtmpUrl.h"
#include "rtmp/session/PublishVerdicts.h"
#include "sink/EndOfStreamText.h"

namespace app {
namespace {

constexpr HRESULT kInvalidPassword = MakeHResult(0x80070056u);
// The control loop's wait for the next graph event; every source of work posts one, so this only
// bounds how long a wait may last.
constexpr LONG kEventWaitMs = 1000;
// Posted by the callbacks when the server keeps the session but will not take the stream.
constexpr long EC_HOST_NOT_ACCEPTED = 0x8A04;   // every publish answered with BadName
constexpr long EC_HOST_MESSAGE_LIMIT = 0x8A05;  // closed again right after a large picture
// A server that closes right after a large picture once may have met a coincidence; twice is
// its limit.
constexpr int kMessageLimitCloses = 2;
// The writer's own default number of reconnection attempts.
constexpr int32_t kDefaultReconnectAttempts = 5;
const char* const kNeverConnectedLoss = "RTMP disconnection from server while encoding";
// --hold: the writer's own graph event about a connect it was asked for, and its "connect done"
// value.
constexpr LONG kWriterConnectEvent = 67;
constexpr LONG_PTR kWriterConnectDone = 5;

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The URL problem in words, or empty when the URL can be published to.
std::string UrlProblem(const std::string& url) {
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

// The writer calls back on its own threads, possibly after its destination has gone (the module
// stays loaded); the callbacks reach a destination only while it is registered here.
// Status changes come per writer. Text events go to every callback of the process alike, so with
// several destinations each text is given to the destination whose thread it came on: the
// host's own threads (connect, control loop, the pins' delivery threads) are marked, and a
// writer thread is known once a status change of that writer came on it. A writer posts the
// verdict text of a publication on the thread that reports the status just after, so a text
// from a thread not known yet is kept on that thread and handed over with its first status.
struct LiveDestinations {
    // Guards `live` and `unattributed`. Taken by the writer's threads in the callbacks (possibly
    // under the writer's own locks) and by the threads that register or remove a destination.
    // Outermost of the host's locks: a destination's graph, text and reporter locks come after it.
    std::mutex lock;
    std::vector<Destination*> live;
    EventReporter* unattributed = nullptr;  // reports the texts no destination can be given
    bool Has(Destination* d) const {
        for (Destination* x : live)
            if (x == d) return true;
        return false;
    }
};
LiveDestinations& Live() {
    static LiveDestinations registry;
    return registry;
}
// The destination the current thread works for (see LiveDestinations).
thread_local Destination* t_destination = nullptr;
struct PendingText {
    std::string category, message;
};
// Texts of this thread that no destination could be given yet; the latest few.
constexpr size_t kPendingTexts = 8;
thread_local std::vector<PendingText> t_pending;

EventReporter::Config ReporterConfig(const PublishOptions& o, int number, bool terminal) {
    // Statistics lines of several destinations cannot share one line updated in place.
    const bool inPlace = terminal && number == 0;
    return EventReporter::Config{o.events == "json", o.stats, terminal || o.stats, inPlace, number};
}

}  // namespace

std::string CheckUrl(const std::string& url) { return UrlProblem(url); }

Destination::Destination(PublishOptions options, int number, RunContext run, FILE* out, FILE* err, bool terminal)
    : m_o(std::move(options)),
      m_number(number),
      m_run(std::move(run)),
      m_reporter(ReporterConfig(m_o, number, terminal), out, err),
      m_runFigures(m_o.url) {}

Destination::~Destination() {
    Release();
    {
        std::lock_guard<std::mutex> g(Live().lock);
        std::erase(Live().live, this);
    }
    if (m_filter) {
        CComPtr<IRTMPStatusNotify> notify;
        if (SUCCEEDED(m_filter.As(IID_IRTMPStatusNotify, notify))) notify->ClearStatusNotifyHandler();
    }
}

int Destination::Fail(int code, const std::string& message) {
    m_reporter.Error(message);
    return code;
}

std::string Destination::LastError() {
    std::lock_guard<std::mutex> t(m_textLock);
    return m_lastError;
}

void Destination::Post(long code, LONG_PTR p1) {
    std::lock_guard<std::mutex> g(m_graphLock);
    if (m_graph) m_graph->Notify(code, p1, 0);
}

void Destination::InputFailed(int input, const std::string& error) {
    {
        std::lock_guard<std::mutex> t(m_textLock);
        m_inputError[input == kAudioInput ? kAudioInput : kVideoInput] = error;
    }
    Post(EC_HOST_INPUT_FAILED, input);
}

void Destination::Interrupt() {
    Post(EC_HOST_SIGNAL, m_run.signal->load());
    std::lock_guard<std::mutex> g(m_connectingLock);
    if (m_connecting) m_connecting->Disconnect();
}

CSourceOutputPin* Destination::Pin(int input) const {
    return m_pinOf[input] >= 0 && m_source ? m_source->SourcePin(m_pinOf[input]) : nullptr;
}

void Destination::SetUnattributedReporter(EventReporter* reporter) {
    std::lock_guard<std::mutex> g(Live().lock);
    Live().unattributed = reporter;
}

void Destination::OwnThisThread() { t_destination = this; }

void Destination::StatusThunk(void* context, void*, int32_t status) {
    LiveDestinations& l = Live();
    std::lock_guard<std::mutex> g(l.lock);
    auto* d = static_cast<Destination*>(context);
    if (!l.Has(d)) return;
    t_destination = d;
    for (const PendingText& t : t_pending) d->OnText(t.category, t.message, false);
    t_pending.clear();
    d->OnStatus(status);
}

int Destination::TextThunk(void*, const wchar_t* category, const wchar_t* message) {
    LiveDestinations& l = Live();
    std::lock_guard<std::mutex> g(l.lock);
    if (l.live.empty()) return 0;
    const std::string cat = category ? WideToUtf8(category) : "";
    const std::string msg = message ? WideToUtf8(message) : "";
    if (l.live.size() == 1) {
        l.live.front()->OnText(cat, msg, true);
    } else if (l.Has(t_destination)) {
        t_destination->OnText(cat, msg, true);
    } else {
        if (t_pending.size() == kPendingTexts) t_pending.erase(t_pending.begin());
        t_pending.push_back({cat, msg});
        if (l.unattributed) l.unattributed->Text(cat, msg);
    }
    return 0;
}

void Destination::OnStatus(int32_t status) {
    // The verdict came on this thread just before: a connection that publishes into nothing
    // is not reported as connected, however often its status is repeated.
    if (status != RTMP_STATUS_CONNECTED) m_notAccepted = false, m_refusalPosted = false;
    if (status == RTMP_STATUS_CONNECTED && m_notAccepted) {
        if (!m_refusalPosted.exchange(true)) Post(EC_HOST_NOT_ACCEPTED, 0);
        return;
    }
    if (status == RTMP_STATUS_CONNECTED) m_confirmed = true;
    Post(EC_HOST_STATUS, status);
}

void Destination::OnText(const std::string& cat, const std::string& msg, bool report) {
    // A start without connection marks the stream as "streaming" before any server took it;
    // losing what never stood is no news.
    if (cat == "error" && msg == kNeverConnectedLoss && !m_confirmed) return;
    if (cat == "error") {
        std::lock_guard<std::mutex> t(m_textLock);
        m_lastError = msg;
        if (msg.starts_with(rtmp::kMessageLimitText)) m_limitText = msg;
    }
    if (cat == "error" && msg.starts_with(rtmp::kPublishNotAcceptedText)) m_notAccepted = true;
    if (cat == "error" && msg.starts_with(rtmp::kMessageLimitText) && ++m_limitCloses == kMessageLimitCloses)
        Post(EC_HOST_MESSAGE_LIMIT, 0);
    if (cat == "error" && msg.starts_with(sink::kUnsentAtEndText)) {
        std::lock_guard<std::mutex> t(m_textLock);
        m_unsentText = msg.substr(sink::kUnsentAtEndText.size());
    }
    if (report) m_reporter.Text(cat, msg);
}

int Destination::Check() {
    if (std::string bad = CheckUrl(m_o.url); !bad.empty()) return Fail(EXIT_USAGE, bad);
    if (!m_o.connectArgs.empty()) {
        Json::Value args;
        Json::CharReaderBuilder b;
        b["stackLimit"] = 32;
        std::unique_ptr<Json::CharReader> r(b.newCharReader());
        bool ok = false;
        try {
            ok = r->parse(m_o.connectArgs.data(), m_o.connectArgs.data() + m_o.connectArgs.size(), &args, nullptr);
        } catch (const std::exception&) {
            ok = false;  // nested beyond the stack limit
        }
        if (!ok || !args.isObject())
            return Fail(EXIT_USAGE, "--connect-args needs a JSON object, e.g. '{\"key\": \"value\"}'");
    }
    return -1;
}

int Destination::Create() {
    IBaseFilter* raw = nullptr;
    const HRESULT hr = modules::CreateInstanceFromModule(*m_run.modulePath, CLSID_QuorvelRTMPWriter, nullptr, IID_IBaseFilter,
                                                         reinterpret_cast<void**>(&raw));
    if (FAILED(hr) || !raw) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
        return Fail(EXIT_INTERNAL, "cannot create the writer from " + *m_run.modulePath + " (" + code + ")");
    }
    m_filter = CComPtr<IBaseFilter>::Attach(raw);
    {
        std::lock_guard<std::mutex> g(Live().lock);
        Live().live.push_back(this);
    }
    if (std::string bad = ApplyOptions(); !bad.empty()) return Fail(EXIT_USAGE, bad);
    return -1;
}

std::string Destination::ApplyOptions() {
    const PublishOptions& o = m_o;
    CComPtr<IFileSinkFilter> sink;
    CComPtr<IRTMPOptions> opt;
    CComPtr<ISinkMode> mode;
    CComPtr<ITimecode> tc;
    CComPtr<ICodecAPI> api;
    CComPtr<IRTMPStatusNotify> notify;
    if (FAILED(m_filter.As(IID_IFileSinkFilter, sink)) || FAILED(m_filter.As(IID_IRTMPOptions, opt)) ||
        FAILED(m_filter.As(IID_ISinkMode, mode)) || FAILED(m_filter.As(IID_ITimecode, tc)) ||
        FAILED(m_filter.As(IID_ICodecAPI, api)) || FAILED(m_filter.As(IID_IRTMPStatusNotify, notify)))
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
    // One registration for the process, whichever writer makes it (see LiveDestinations).
    SetKeyPointer(api.get(), CODECAPI_QV_EventCallbackContext, &Live());
    SetKeyPointer(api.get(), CODECAPI_QV_EventCallbackCommit, nullptr);
    return {};
}

int Destination::Build(const std::vector<std::unique_ptr<ElementaryInput>>& inputs) {
    m_graphRef = CComPtr<CFilterGraph>::Attach(CFilterGraph::Create());
    m_graphRef->SetSyncSource(m_run.clock);

    std::vector<CPushSource::PinDesc> specs;
    for (int i : {kVideoInput, kAudioInput}) {
        if (!inputs[i]) continue;
        m_pinOf[i] = static_cast<int>(specs.size());
        specs.push_back({i == kVideoInput ? L"Video Out" : L"Audio Out", {inputs[i]->MediaType()}, 4 << 20, 8});
    }
    m_source = CComPtr<CPushSource>::Attach(CPushSource::Create(L"Elementary streams", specs));
    if (FAILED(m_graphRef->AddFilter(m_source.get(), L"Elementary streams")) ||
        FAILED(m_graphRef->AddFilter(m_filter.get(), L"Quorvel RTMP Network Writer")))
        return Fail(EXIT_INTERNAL, "cannot build the graph");
    for (int i : {kVideoInput, kAudioInput}) {
        if (m_pinOf[i] < 0) continue;
        m_source->SourcePin(m_pinOf[i])->SetThreadStart([this] { OwnThisThread(); });
        IPin* in = nullptr;
        if (FAILED(m_filter->FindPin(i == kVideoInput ? L"Video" : L"Audio", &in)) || !in)
            return Fail(EXIT_INTERNAL, "the writer has no input pin for the stream");
        const HRESULT hr = m_graphRef->ConnectDirect(m_source->SourcePin(m_pinOf[i]), in, nullptr);
        in->Release();
        if (FAILED(hr))
            return Fail(EXIT_INPUT, inputs[i]->path() + ": the writer does not accept " + inputs[i]->Describe());
    }
    {
        std::lock_guard<std::mutex> g(m_graphLock);
        m_graph = m_graphRef.get();
    }
    if (FAILED(m_filter.As(IID_IRTMPOptions, m_opt))) return Fail(EXIT_INTERNAL, "the writer has no connection interface");
    m_filter.As(IID_ICodecAPI, m_figures);
    m_videoText = inputs[kVideoInput] ? inputs[kVideoInput]->Describe() : "";
    m_audioText = inputs[kAudioInput] ? inputs[kAudioInput]->Describe() : "";
    for (int i : {kVideoInput, kAudioInput})
        if (inputs[i]) m_runFigures.SetInput(i == kVideoInput, 0, 0);
    if (!m_o.ui.empty()) {
        auto control = [this](const ControlCommand& c) {
            const ControlResult r = Execute(c);
            return r.ok ? ui::Outcome::Ok() : ui::Outcome::Fail(409, r.message);
        };
        std::string why;
        m_web = OpenWebPage(m_o, m_filter.get(), m_runFigures, m_reporter,
                            WebPageHooks{control, m_run.seconds, [this] { m_userStopped = true; }}, &why);
        if (!m_web) return Fail(EXIT_INTERNAL, why);
        if (!m_web->Start(*m_run.modulePath, &why)) return Fail(EXIT_USAGE, why);
    }
    return -1;
}

int Destination::Connect() {
    OwnThisThread();
    if (*m_run.stop) return EXIT_SIGNAL_BASE + m_run.signal->load();
    {
        std::lock_guard<std::mutex> g(m_connectingLock);
        m_connecting = m_opt.get();
    }
    m_runFigures.SetPhase(m_o.hold ? RunPhase::Held : RunPhase::Connecting);
    HRESULT hr = m_o.hold ? Hold(&m_heldStatus) : m_opt->ConnectServer();
    {
        std::lock_guard<std::mutex> g(m_connectingLock);
        m_connecting = nullptr;
    }
    if (*m_run.stop) {
        m_opt->Disconnect();  // interrupted while connecting: unpublish what was just published
        return EXIT_SIGNAL_BASE + m_run.signal->load();
    }
    if (hr == kInvalidPassword)
        return Fail(EXIT_AUTH, "authentication failed for " + m_o.url + " (check --user and --password)");
    if (FAILED(hr)) {
        std::string why = LastError();
        return Fail(EXIT_CONNECT, "cannot publish to " + m_o.url + (why.empty() ? "" : ": " + why));
    }
    return -1;
}

int Destination::Start() {
    OwnThisThread();
    if (FAILED(m_graphRef->Run())) {
        std::string why = LastError();
        return Fail(EXIT_CONNECT, "cannot publish to " + m_o.url + (why.empty() ? "" : ": " + why));
    }
    m_runFigures.SetPhase(RunPhase::Streaming);
    m_reporter.Started(m_o.url, m_videoText, m_audioText);
    return -1;
}

int Destination::Loop(std::vector<EndOfStreamDrain::Tap> inputs, std::vector<bool> isVideo) {
    OwnThisThread();
    const PublishOptions& o = m_o;
    auto TunnelFiguresNow = [this] {
        EventReporter::TunnelFigures t;
        VARIANT v;
        VariantInit(&v);
        if (!m_figures || FAILED(m_figures->GetValue(&CODECAPI_QV_TunnelRequests, &v)) || v.lVal <= 0) return t;
        t.on = true;
        t.requests = v.lVal;
        VariantInit(&v);
        if (SUCCEEDED(m_figures->GetValue(&CODECAPI_QV_TunnelPollingInterval, &v))) t.interval = v.lVal;
        return t;
    };
    const int inputCount = static_cast<int>(inputs.size());
    EndOfStreamDrain drain(inputs, o.drainTimeout);
    bool everConnected = m_heldStatus == RTMP_STATUS_CONNECTED;
    int32_t lastStatus = m_heldStatus;
    int32_t streamStatus = -1;    // the last status before the closing one
    int32_t refusals = 0;         // publications in a row the server did not accept
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
        m_inputsEnded = drain.EndsPushed();
        for (size_t k = 0; k < inputs.size(); ++k)
            m_runFigures.SetInput(isVideo[k], inputs[k].feeder->UnitsSent(inputs[k].output),
                                  inputs[k].Pin()->Dropped() + inputs[k].feeder->UnitsMissed(inputs[k].output));
        LONG ev = 0;
        LONG_PTR p1 = 0, p2 = 0;
        if (m_graphRef->GetEvent(&ev, &p1, &p2, drain.WaitMs(kEventWaitMs)) != S_OK) continue;
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
            CComPtr<ICodecAPI> api;
            if (SUCCEEDED(m_filter.As(IID_ICodecAPI, api))) SetKeyPointer(api.get(), CODECAPI_QV_DropConnection, nullptr);
            break;
        }
        case EC_HOST_MESSAGE_LIMIT: {
            code = everConnected ? EXIT_CONNECTION_LOST : EXIT_CONNECT;
            std::lock_guard<std::mutex> t(m_textLock);
            message = "publishing to " + o.url + " failed: " + m_limitText;
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
                const double now = m_run.seconds();
                m_reporter.Statistics(*reinterpret_cast<const RTMPStatistics*>(p1), now, TunnelFiguresNow());
                m_runFigures.OnStatistics(*reinterpret_cast<const RTMPStatistics*>(p1), now);
            }
            break;
        case EC_HOST_STATUS: {
            const auto status = static_cast<int32_t>(p1);
            // The writer repeats its status when the graph starts; report changes only.
            if (status != lastStatus) m_reporter.Status(status, o.url);
            lastStatus = status;
            m_runFigures.OnStatus(status, m_run.seconds());
            if (status == RTMP_STATUS_CONNECTED) everConnected = true, refusals = 0;
            if (status == RTMP_STATUS_CONNECTED && (o.stats || o.events == "json") && !wireFiguresOff) {
                const std::string why = StartWireFigures(m_filter.get());
                // Said once: the stream goes on, only these figures stay 0.
                if (!why.empty())
                    wireFiguresOff = true,
                    m_reporter.Notice("round-trip time and acknowledged bitrate are off: " + why);
            }
            const bool allEnded = m_inputsEnded.load() >= inputCount;
            if (status != RTMP_STATUS_DISCONNECTED || !allEnded) streamStatus = status;
            // After the last input ended the writer closes the stream itself: EC_COMPLETE follows.
            if (status == RTMP_STATUS_DISCONNECTED && !allEnded && m_userStopped) {
                code = EXIT_OK;
                m_reporter.Notice("disconnected from the web page; the run ends");
            } else if (status == RTMP_STATUS_DISCONNECTED && !allEnded) {
                code = everConnected ? EXIT_CONNECTION_LOST : EXIT_CONNECT;
                const std::string why = LastError();
                message = everConnected ? "the connection to " + o.url + " was lost and no reconnection attempt is left"
                                        : "cannot publish to " + o.url + (why.empty() ? "" : ": " + why);
            }
            break;
        }
        case EC_HOST_INPUT_FAILED: {
            std::lock_guard<std::mutex> t(m_textLock);
            code = EXIT_INPUT;
            message = m_inputError[p1 == kAudioInput ? kAudioInput : kVideoInput];
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
        std::lock_guard<std::mutex> t(m_textLock);
        if (!m_unsentText.empty()) code = EXIT_UNSENT, message = EndOfStreamDrain::UnsentText(o.drainTimeout, m_unsentText);
    }
    m_endMessage = message;
    for (size_t k = 0; k < inputs.size(); ++k) m_missed[isVideo[k] ? 0 : 1] += inputs[k].feeder->UnitsMissed(inputs[k].output);
    return code;
}

void Destination::Finish(int code) {
    if (m_finished) return;
    m_finished = true;
    OwnThisThread();
    m_runFigures.SetPhase(RunPhase::Ended);
    m_web.reset();  // no request reaches the writer while the graph stops
    // Stopping the graph closes the writer, which unpublishes when still connected, and releases
    // a feeder the writer holds back.
    if (m_graphRef) m_graphRef->Stop();
    if (!m_endMessage.empty()) m_reporter.Error(m_endMessage);
    if (m_missed[0] + m_missed[1] > 0)
        m_reporter.Notice("this destination fell behind the others and missed " + std::to_string(m_missed[0]) +
                          " video and " + std::to_string(m_missed[1]) + " audio units (video resumed at key frames)");
    if (m_number > 0) m_reporter.Ended(code, m_run.seconds());
}

void Destination::Release() {
    {
        std::lock_guard<std::mutex> g(m_graphLock);
        m_graph = nullptr;  // the graph leaves the callbacks' reach before it goes
    }
    if (!m_graphRef) return;
    m_graphRef->Stop();
    if (m_source) m_graphRef->RemoveFilter(m_source.get());
    if (m_filter) m_graphRef->RemoveFilter(m_filter.get());
    m_graphRef = nullptr;  // once: the destructor's call finds nothing left to do
}

// --hold: the graph stays stopped until the writer reports the connection that the web page (or
// its API) asked for; a stopped graph connects at once.
HRESULT Destination::Hold(int32_t* lastStatus) {
    m_reporter.Notice("holding: nothing connects until Connect is pressed on the web page (or POST /api/connect)");
    bool connectDone = false;
    while (!*m_run.stop) {
        LONG ev = 0;
        LONG_PTR p1 = 0, p2 = 0;
        if (m_graphRef->GetEvent(&ev, &p1, &p2, kEventWaitMs) != S_OK) continue;
        // The connected status comes from inside the connect, before the writer has marked itself
        // connected; a graph run before its connect-done event would start without the stream.
        connectDone |= ev == kWriterConnectEvent && p1 == kWriterConnectDone;
        if (connectDone && *lastStatus == RTMP_STATUS_CONNECTED) return S_OK;
        if (ev != EC_HOST_STATUS) continue;
        const auto status = static_cast<int32_t>(p1);
        if (status != *lastStatus) m_reporter.Status(status, m_o.url);
        *lastStatus = status;
        m_runFigures.OnStatus(status, m_run.seconds());
        if (connectDone && status == RTMP_STATUS_CONNECTED) return S_OK;
    }
    return E_ABORT;
}

ControlResult Destination::Execute(const ControlCommand& c) {
    ControlResult r = ExecuteControl(m_filter.get(), c);
    m_reporter.Control(KindName(c.kind), r.ok, r.message);
    return r;
}

}  // namespace app
