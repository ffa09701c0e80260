#pragma once
// Carries control commands to the writer, from whichever side they come: the lines of the
// --control channel (read here until the run stops) and the web API's requests.
#include <atomic>
#include <functional>
#include <string>

#include "apps/ControlChannel.h"
#include "apps/EventReporter.h"
#include "platform/dshow/Interfaces.h"

namespace app {

struct ControlResult {
    bool ok = false;
    std::string message;  // why not, in one line, when not ok
};

// Sends one command through the writer's interfaces.
ControlResult ExecuteControl(IBaseFilter* filter, const ControlCommand& c);

// Reads the control channel at `path` ("-" for standard input) line by line until it ends or
// `stop` is set; each line that parses goes to `execute`, the others are reported.
void ReadControlChannel(const std::string& path, const std::atomic<bool>& stop, EventReporter& reporter,
                        const std::function<void(const ControlCommand&)>& execute);

}  // namespace app
