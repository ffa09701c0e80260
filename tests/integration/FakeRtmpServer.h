#pragma once
// Runs tests/tools/fake_rtmp_server.py as a child with a scenario and reads back its record:
// every handshake block and message it received or sent, in order, one JSON object per line.
#include <json/json.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "TempDir.h"

namespace qvtest {

// One line of the record. `raw` keeps every field; the common ones are copied out.
struct FakeRtmpEntry {
    Json::Value raw;
    int64_t seq = -1;
    int conn = -1;              // connection index, -1 for server-wide lines
    std::string dir;            // "in" (from the client), "out" (to the client) or empty
    std::string kind;           // "handshake", "message", "raw", "connection", "auth", "note", ...
    std::string block;          // handshake: "C0", "C1", "S0", "S1", "S2", "C2"
    std::string name;           // command or data message name (first AMF0 string)
    int type = -1;              // message type id
    int csid = -1;              // chunk stream id
    int64_t streamId = -1;      // message stream id (little-endian on the wire, decoded)
    int64_t timestamp = -1;     // absolute message timestamp
    int fmt = -1;               // chunk format of the message's first chunk
    std::vector<uint8_t> bytes; // body of a message, or the block of a handshake/raw line
    Json::Value amf;            // decoded AMF0 values of commands and data messages
};

struct FakeRtmpOptions {
    std::vector<std::string> args;  // command-line flags of the script (see its --help)
    Json::Value scenario;           // written to a file and passed as --scenario when not null
    std::string host = "127.0.0.1"; // or "::1"
    double timeLimitSeconds = 60;   // the script's own bound
};

class FakeRtmpServer {
public:
    FakeRtmpServer();
    ~FakeRtmpServer();
    FakeRtmpServer(const FakeRtmpServer&) = delete;
    FakeRtmpServer& operator=(const FakeRtmpServer&) = delete;

    // Launches the script and reads the port it chose (bounded).
    bool start(const FakeRtmpOptions& options, std::string* error = nullptr);
    int port() const { return m_port; }
    std::string url(const std::string& app, const std::string& stream,
                    const std::string& user = {}, const std::string& password = {}) const;

    // Waits for the script to exit by its own rules: exit code, or nothing on time-out.
    std::optional<int> waitExit(std::chrono::milliseconds timeout);
    // SIGTERM (the script writes its last line and exits), SIGKILL after a bound.
    int stop();
    pid_t pid() const { return m_process ? m_process->pid() : -1; }

    std::vector<FakeRtmpEntry> record() const;
    // Waits until the record holds an entry for which pred is true and returns it; nothing on
    // time-out. Woken by changes of the record file (inotify), not by polling.
    std::optional<FakeRtmpEntry> waitFor(const std::function<bool(const FakeRtmpEntry&)>& pred,
                                         std::chrono::milliseconds timeout);
    std::string recordPath() const { return m_dir->file("record.jsonl"); }
    std::string stderrText() const;
    const TempDir& dir() const { return *m_dir; }

    // Lines of one text in record format (skips lines that are not JSON objects).
    static std::vector<FakeRtmpEntry> parseRecord(const std::string& text);
    // Names of the commands (type 20/17) the client sent, in order, optionally of one connection.
    static std::vector<std::string> commandNames(const std::vector<FakeRtmpEntry>& record, int conn = -1);

    static std::string scriptPath();

private:
    std::unique_ptr<TempDir> m_dir;
    std::unique_ptr<ChildProcess> m_process;
    std::string m_host;
    int m_port = 0;
};

std::vector<uint8_t> fromHex(const std::string& hex);

}  // namespace qvtest
