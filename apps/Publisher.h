#pragma once
// One publishing run of rtmpwriter: checks the URL, opens and probes the inputs, loads the
// filter module and creates the writer through its class factory, sets the options through
// the filter's interfaces, builds the graph (push source -> writer, one system clock), connects,
// runs, feeds the inputs in real time, carries control lines to the filter and reports what the
// graph events say until the inputs end, the connection is gone or a signal comes.
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>

#include "apps/CommandLine.h"

namespace app {

// The host's own graph events, posted into the graph's queue so the control loop waits on one
// queue for everything.
constexpr long EC_HOST_SIGNAL = 0x8A01;        // param 1: the signal number
constexpr long EC_HOST_STATUS = 0x8A02;        // param 1: the writer's status
constexpr long EC_HOST_INPUT_FAILED = 0x8A03;  // param 1: the input index (0 video, 1 audio)

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
