#pragma once
// One publishing run of rtmpwriter: checks the destinations' URLs, opens and probes the inputs,
// loads the filter module, makes one destination (writer, graph, connection) per URL, connects
// them, feeds the inputs to every one in real time, carries control lines to them and lets each
// report what its graph events say until the inputs end, its connection is gone or a signal
// comes.
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>

#include "apps/CommandLine.h"

namespace app {

// Where the filter module comes from: --module, else $QV_RTMPWRITER_MODULE, else the module
// built with this program when it is there, else the registered one (empty: none found).
std::string ResolveModulePath(const std::string& explicitPath);

class Publisher {
public:
    Publisher(PublishOptions options, FILE* out, FILE* err, bool errIsTerminal);
    ~Publisher();
    Publisher(const Publisher&) = delete;
    Publisher& operator=(const Publisher&) = delete;

    // The whole run; returns the exit status (ExitCodes.h).
    int Run();
    // From the signal thread: stop and close the stream cleanly.
    void OnSignal(int signo);

    struct Impl;

private:
    std::unique_ptr<Impl> m;
};

}  // namespace app
