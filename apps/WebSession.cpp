#include "apps/WebSession.h"

#include <mutex>

#include "filter/CodecApiKeys.h"
#include "filter/FilterInterfaces.h"
#include "platform/com/ComPtr.h"

namespace app {
namespace {

constexpr HRESULT kInvalidPassword = MakeHResult(0x80070056u);

// The writer's own answer: whether its sink holds a connection now.
bool WriterConnected(IBaseFilter* filter) {
    CComPtr<IBaseFilter> f(filter);
    CComPtr<ICodecAPI> api;
    VARIANT v;
    VariantInit(&v);
    return SUCCEEDED(f.As(IID_ICodecAPI, api)) && SUCCEEDED(api->GetValue(&CODECAPI_QV_Connected, &v)) &&
           v.vt == VT_BOOL && v.boolVal != VARIANT_FALSE;
}

}  // namespace

WebSession::WebSession(const PublishOptions& options, IBaseFilter* filter, RunFigures& figures, EventReporter& reporter,
                       Hooks hooks)
    : m_options(options), m_filter(filter), m_figures(figures), m_reporter(reporter), m_hooks(std::move(hooks)) {}

WebSession::~WebSession() { Stop(); }

bool WebSession::Start(const std::string& modulePath, std::string* error) {
    std::string parseError;
    const std::optional<ui::WebEndpoint> endpoint = ui::ParseWebEndpoint(m_options.ui, &parseError);
    if (!endpoint) return *error = "--ui " + parseError, false;
    std::string pageError = m_page.Open(m_filter, modulePath);
    if (!pageError.empty())
        m_reporter.Error("web page: " + pageError + "; it shows no controls, the REST API and /metrics work without it");
    std::string token = m_options.uiToken;
    if (token.empty() && !endpoint->loopback) token = ui::GenerateToken();
    m_server = std::make_unique<ui::WebServer>(*endpoint, token, m_page, pageError, *this);
    if (!m_server->Start(error)) {
        m_server.reset();
        m_page.Close();
        return false;
    }
    m_reporter.Error("web page at " + m_server->PageUrl());
    return true;
}

void WebSession::Stop() {
    if (m_server) m_server->Stop();
    m_server.reset();
    m_page.Close();
}

RunSnapshot WebSession::Figures() { return m_figures.Snapshot(m_hooks.seconds()); }

ui::Outcome WebSession::Control(const ControlCommand& command) { return m_hooks.control(command); }

ui::Outcome WebSession::Connect() {
    ui::Outcome result = ui::Outcome::Ok();
    auto connect = [&] {
        if (WriterConnected(m_filter)) return void(result = ui::Outcome::Fail(409, "already connected"));
        if (m_figures.Snapshot(0).phase != RunPhase::Held)
            return void(result = ui::Outcome::Fail(409, "the run is not held: the writer connects and reconnects by itself"));
        CComPtr<IBaseFilter> f(m_filter);
        CComPtr<IRTMPOptions> opt;
        if (FAILED(f.As(IID_IRTMPOptions, opt))) return void(result = ui::Outcome::Fail(500, "the writer has no connection interface"));
        const HRESULT hr = opt->ConnectServer();
        if (hr == kInvalidPassword)
            result = ui::Outcome::Fail(502, "authentication failed for " + m_options.url + " (check the user name and password)");
        else if (FAILED(hr))
            result = ui::Outcome::Fail(502, "cannot connect to " + m_options.url + " (the events say why)");
    };
    // One connect at a time, and none beside the page's own Connect button.
    if (m_page.Model().RunExclusive(connect) == ::ui::DialogModel::Result::NoDialog) {
        std::lock_guard<std::mutex> g(m_connectLock);
        connect();
    }
    return result;
}

ui::Outcome WebSession::Disconnect() {
    CComPtr<IBaseFilter> f(m_filter);
    CComPtr<IRTMPOptions> opt;
    if (FAILED(f.As(IID_IRTMPOptions, opt))) return ui::Outcome::Fail(500, "the writer has no connection interface");
    if (m_figures.Snapshot(0).phase == RunPhase::Streaming) m_hooks.userStop();
    opt->Disconnect();
    return ui::Outcome::Ok();
}

ui::Outcome WebSession::BeforePageClick(const std::string& label) {
    const RunSnapshot s = m_figures.Snapshot(0);
    if (label == "Connect") {
        if (WriterConnected(m_filter)) return ui::Outcome::Fail(409, "already connected");
        if (s.phase != RunPhase::Held)
            return ui::Outcome::Fail(409, "the run is not held: the writer connects and reconnects by itself");
    }
    if (label == "Disconnect" && s.phase == RunPhase::Streaming) m_hooks.userStop();
    return ui::Outcome::Ok();
}

}  // namespace app
