#pragma once
// Runs tests/tools/fake_rtmp_server.py as a child and reads back its record: every handshake
// block and message it received or sent, in order, one JSON object per line.
#include <json/json.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <optional>

#include "ChildProcess.h"
#include "TempDir.h"

namespace qvtest {

// One line of the record. `raw` keeps every field; the common ones are copied out.
struct FakeRtmpEntry {
    Json::Value raw;
    int64_t seq = -1;
    int conn = -1;
    std::string dir;   // "in" (from the client), "out" (to the client) or empty
    std::string kind;  // "handshake", "message", "raw", "auth"
    std::string block; // handshake: "C0", "C1", "S0", "S1", "S2", "C2"
    std::string name;  // first AMF0 string of a command or data message
    int type = -1, csid = -1;
    int64_t streamId = -1, timestamp = -1;  // timestamp: absolute
    std::vector<uint8_t> bytes;  // body of a message, handshake block or raw bytes
    Json::Value amf;             // decoded AMF0 values of commands and data messages
};

struct FakeRtmpOptions {
    std::vector<std::string> args;  // flags of the script (see its --help)
};

class FakeRtmpServer {
public:
    ~FakeRtmpServer() { stop(); }
    // Launches the script and reads the port it chose (bounded).
    bool start(const FakeRtmpOptions& options, std::string* error = nullptr);
    int port() const { return m_port; }
    std::string url(const std::string& app, const std::string& stream) const {
        return "rtmp://127.0.0.1:" + std::to_string(m_port) + "/" + app + "/" + stream;
    }
    // SIGTERM (the script finishes its record and exits), SIGKILL after a bound.
    int stop() { return m_process.stop(SIGTERM, std::chrono::seconds(5)); }
    std::vector<FakeRtmpEntry> record() const { return parse(0).first; }
    // The first entry for which pred holds, once the record has it (woken by inotify).
    std::optional<FakeRtmpEntry> waitFor(const std::function<bool(const FakeRtmpEntry&)>& pred,
                                         std::chrono::milliseconds timeout);

private:
    // Whole lines of the record from `offset` on, and the offset past them.
    std::pair<std::vector<FakeRtmpEntry>, size_t> parse(size_t offset) const;

    TempDir m_dir{"qv-fakertmp"};
    ChildProcess m_process;
    int m_port = 0;
};

}  // namespace qvtest
