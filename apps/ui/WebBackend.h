#pragma once
// What the web server asks of the publishing run: its figures, the writer to read and set options
// on, and the actions a user may take (control commands, connect, disconnect). The run implements
// it; every method may be called from any of the server's threads.
#include <string>

#include "apps/ControlChannel.h"
#include "apps/RunFigures.h"
#include "platform/dshow/Interfaces.h"

namespace app::ui {

// An action's result: the HTTP status it maps to and, on failure, the one-line reason.
struct Outcome {
    int status = 200;
    std::string error;
    static Outcome Ok() { return {}; }
    static Outcome Fail(int status, std::string error) { return {status, std::move(error)}; }
    bool ok() const { return status < 300; }
};

class WebBackend {
public:
    virtual RunSnapshot Figures() = 0;
    virtual IBaseFilter* Filter() = 0;
    // The same path as a --control line: the result is also reported as a control event.
    virtual Outcome Control(const ControlCommand& command) = 0;
    virtual Outcome Connect() = 0;
    virtual Outcome Disconnect() = 0;
    // Before a click on the page's button of this label reaches the page: a refusal, or Ok.
    virtual Outcome BeforePageClick(const std::string& label) = 0;

protected:
    ~WebBackend() = default;
};

}  // namespace app::ui
