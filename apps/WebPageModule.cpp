// The web page's module (librtmpwriter_webpage.so): rtmpwriter loads it for --ui.
#include "apps/WebPage.h"
#include "apps/WebSession.h"

extern "C" __attribute__((visibility("default"))) app::WebPage* qv_rtmpwriter_open_web_page(
    const app::PublishOptions* options, IBaseFilter* filter, app::RunFigures* figures, app::EventReporter* reporter,
    const app::WebPageHooks* hooks) {
    try {
        return new app::WebSession(*options, filter, *figures, *reporter, *hooks);
    } catch (...) {
        return nullptr;  // out of memory: the run says it has no page
    }
}
