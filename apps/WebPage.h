#pragma once
// The web page of a run (--ui) as the run sees it. Its code (the HTTP server, the property page's
// host, the REST API) is a module of its own, loaded only when --ui asks for it: a run without
// the page maps none of the HTTP, compression and TLS libraries that server needs.
#include <functional>
#include <memory>
#include <string>

#include "apps/CommandLine.h"
#include "apps/EventReporter.h"
#include "apps/RunFigures.h"
#include "apps/ui/WebBackend.h"

namespace app {

struct WebPageHooks {
    std::function<ui::Outcome(const ControlCommand&)> control;  // runs and reports a command
    std::function<double()> seconds;                           // since the run started
    std::function<void()> userStop;  // the user is about to disconnect the writer
};

class WebPage {
public:
    virtual ~WebPage() = default;
    // Opens the property page and starts serving; false and the reason when it cannot listen.
    virtual bool Start(const std::string& modulePath, std::string* error) = 0;
};

// The module's one entry point, by this name: a new page (owned by the caller) on the run's
// options, writer, figures and reporter, which all outlive it.
using OpenWebPageFn = WebPage* (*)(const PublishOptions* options, IBaseFilter* filter, RunFigures* figures,
                                   EventReporter* reporter, const WebPageHooks* hooks);
inline constexpr const char* kOpenWebPageSymbol = "qv_rtmpwriter_open_web_page";

// Where the module is: $QV_RTMPWRITER_WEB, else beside the program.
std::string WebPageModulePath();
// Loads the module (once) and makes the page; nothing, and the reason, when it cannot.
std::unique_ptr<WebPage> OpenWebPage(const PublishOptions& options, IBaseFilter* filter, RunFigures& figures,
                                     EventReporter& reporter, WebPageHooks hooks, std::string* error);

}  // namespace app
