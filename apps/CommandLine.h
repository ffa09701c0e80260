#pragma once
// The command line of rtmpwriter: publishing options, and the subcommands for the settings
// store (config get|set|unset|list) and module registration (register, unregister, filters).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace app {

struct PublishOptions {
    std::string url;  // the destination (the first of `outputs` until they are split up)
    // Every destination given as URL arguments and --output, in order; with --config, those of
    // the file come after them.
    std::vector<std::string> outputs;
    std::string configFile;  // --config: JSON file of destinations with their own options
    std::string video, audio;
    std::string user, password;
    std::optional<int32_t> reconnectAttempts, reconnectInterval;
    std::optional<int32_t> connectTimeout, sendTimeout, receiveTimeout;
    std::optional<int32_t> bufferSize, packetSize, socketBuffer;
    std::string bufferMode;  // "", "wait", "drop"
    int32_t drainTimeout = 10000;  // ms the end of the stream may take to leave over the link
    bool noBFrames = false, tcpNoDelay = false, noPadding = false, keepSei = false;
    bool fallbackPorts = false, fallbackTunnel = false, startWithoutConnection = false;
    std::string userAgent;
    std::string connectArgs;
    std::string proxy;       // "" or HOST:PORT of an HTTP proxy for the tunnel
    std::string caFile;      // rtmps: PEM file of the CAs to trust ("" = the system's store)
    bool insecure = false;   // rtmps: take any certificate
    std::string recordMode;  // "", "live", "record", "append"
    bool timecode = false, timecodeSystemTime = false;
    std::optional<int32_t> timecodeInterval, timecodeStart;
    std::optional<uint32_t> absoluteTime;
    bool live = false;
    int32_t audioDelay = 0;
    std::string fps;         // "" or a rate
    std::string timestamps;  // "", "advanced", "poc"
    bool stats = false;
    std::string events;      // "" or "json"
    std::string log;         // "" (off), "stderr" or a file path
    int32_t logLevel = 3;
    std::string control;     // "" (none), "-" (stdin) or a path
    std::string module;      // module file to load instead of the registered one
    std::string ui;          // "" (no web page) or [ADDR:]PORT to serve it on
    std::string uiToken;     // the token the web page needs ("" = none, or a made one off loopback)
    bool hold = false;       // build the graph, connect only when asked through the web page
};

struct ConfigOptions {
    std::string key = "SOFTWARE\\Quorvel\\RtmpSink";
    std::string name, value;
    bool machine = false;
    bool asString = false;
};

struct CommandLine {
    enum class Mode { Publish, ConfigGet, ConfigSet, ConfigUnset, ConfigList, Register, Unregister, Filters, Exit };
    Mode mode = Mode::Exit;
    PublishOptions publish;
    ConfigOptions config;
    std::string module;   // for register/unregister/filters
    int exitCode = 0;     // Mode::Exit: what to exit with
    std::string output;   // Mode::Exit: text for stdout (help) or stderr (error)
    bool outputIsError = false;
};

CommandLine ParseCommandLine(int argc, const char* const* argv);
CommandLine ParseCommandLine(const std::vector<std::string>& args);  // args[0] is the program name

}  // namespace app
