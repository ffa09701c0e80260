#pragma once
// rtmpwriter's web page for one run (--ui): the writer's property page hosted in a dialog model,
// the web server in front of it, and the run's side of the web API: its figures, the control
// commands (through the same path as the --control channel), connect while the run is held, and
// disconnect, which ends the run as the user's choice.
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "apps/CommandLine.h"
#include "apps/EventReporter.h"
#include "apps/RunFigures.h"
#include "apps/WebPage.h"
#include "apps/ui/PageHost.h"
#include "apps/ui/WebBackend.h"
#include "apps/ui/WebServer.h"

namespace app {

class WebSession final : public WebPage, public ui::WebBackend {
public:
    using Hooks = WebPageHooks;
    WebSession(const PublishOptions& options, IBaseFilter* filter, RunFigures& figures, EventReporter& reporter, Hooks hooks);
    ~WebSession();

    // Opens the property page (a page that cannot be had is said in one line; the API works
    // without it) and starts serving; false and the reason when the server cannot listen.
    bool Start(const std::string& modulePath, std::string* error) override;
    // Stops the server, then closes the page.
    void Stop();

    RunSnapshot Figures() override;
    IBaseFilter* Filter() override { return m_filter; }
    ui::Outcome Control(const ControlCommand& command) override;
    ui::Outcome Connect() override;
    ui::Outcome Disconnect() override;
    ui::Outcome BeforePageClick(const std::string& label) override;

private:
    const PublishOptions& m_options;
    IBaseFilter* const m_filter;
    RunFigures& m_figures;
    EventReporter& m_reporter;
    Hooks m_hooks;
    // Serializes the API's connects when no page's dialog does it (DialogModel::RunExclusive).
    // Taken alone: the writer's connect runs under it.
    std::mutex m_connectLock;
    ui::PageHost m_page;
    std::unique_ptr<ui::WebServer> m_server;
};

}  // namespace app
