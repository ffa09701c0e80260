#pragma once
// Runs tests/tools/fake_rtmp_server.py as a child and reads back its record: every handshake
// block and message it received or sent, in order, one JSON object per line.
#include <json/json.h>

#include <chrono>
#include <functional>
#include <memory>
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
    std::vector<uint8_t> bytes;  // body of a message, or a handshake/raw block
    Json::Value amf;             // decoded AMF0 values of commands and data messages
};

struct FakeRtmpOptions {
    std::vector<std::string> args;  // flags of the script (see its --help)
    double timeLimitSeconds = 60;   // the script's own bound
};

class FakeRtmpServer {
public:
    FakeRtmpServer() = default;
    ~FakeRtmpServer() { stop(); }
    FakeRtmpServer(const FakeRtmpServer&) = delete;
    FakeRtmpServer& operator=(const FakeRtmpServer&) = delete;

    // Launches the script and reads the port it chose (bounded).
    bool start(const FakeRtmpOptions& options, std::string* error = nullptr);
    int port() const { return m_port; }
    std::string url(const std::string& app, const std::string& stream) const;
    // SIGTERM (the script finishes its record and exits), SIGKILL after a bound.
    int stop();

    std::vector<FakeRtmpEntry> record() const;
    // The first entry for which pred holds, once the record has it (woken by inotify).
    std::optional<FakeRtmpEntry> waitFor(const std::function<bool(const FakeRtmpEntry&)>& pred,
                                         std::chrono::milliseconds timeout);
    // Names of the commands (type 20/17) the client sent, in order.
    static std::vector<std::string> commandNames(const std::vector<FakeRtmpEntry>& record);

private:
    std::string recordPath() const { return m_dir.file("record.jsonl"); }

    TempDir m_dir{"qv-fakertmp"};
    std::unique_ptr<ChildProcess> m_process;
    int m_port = 0;
};

}  // namespace qvtest
