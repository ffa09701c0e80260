#pragma once
// Peers for publishing through the RTMPT HTTP tunnel: the gateway (scripts/rtmpt_gateway.py) in
// front of an RTMP server, Debian's tinyproxy as the HTTP proxy, and a PAC file server.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "TempDir.h"

namespace httplib {
class Server;
}

namespace qvtest {

// Waits until pred holds for the whole text of the file (which need not exist yet), woken by
// inotify on its directory; a child that exits ends the wait early. The text that satisfied
// pred; nothing on time-out or when the child exited first.
std::optional<std::string> waitForFileText(const std::string& path, const std::function<bool(const std::string&)>& pred,
                                           std::chrono::milliseconds timeout, ChildProcess* child = nullptr);

// One line of the gateway's request log.
struct RtmptRequest {
    int connection = 0;          // the gateway's count of HTTP connections, from 1
    std::string method, target;  // the target as in the request line: a path or an absolute URI
    int64_t bodySize = 0;
    int status = 0;
    int64_t responseSize = 0;    // the body of the answer (before any chunked framing)
    std::string path() const;    // the target without scheme and authority
    std::string command() const; // "open", "send", "idle", "close", or what else the path began with
};

struct RtmptGatewayOptions {
    int rtmpPort = 0;                      // the RTMP server behind the gateway, on 127.0.0.1
    std::string fault;                     // "", "404", "no-interval", "chunked" or "oversize"
    std::optional<double> endAfterSeconds; // sessions older than this are ended
};

class RtmptGateway {
public:
    ~RtmptGateway() { stop(); }
    // Launches the script; it picks its own port and reports it (bounded wait).
    bool start(const RtmptGatewayOptions& options, std::string* error = nullptr);
    int stop() { return m_process.stop(SIGTERM, std::chrono::seconds(5)); }
    int port() const { return m_port; }
    std::string url(const std::string& app, const std::string& stream) const {
        return "rtmpt://127.0.0.1:" + std::to_string(m_port) + "/" + app + "/" + stream;
    }
    std::string logPath() const { return m_dir.file("requests.log"); }
    std::vector<RtmptRequest> requests() const;
    // The first logged request for which pred holds, once the log has it.
    std::optional<RtmptRequest> waitFor(const std::function<bool(const RtmptRequest&)>& pred,
                                        std::chrono::milliseconds timeout);
    // Ends every open session (SIGUSR1) as the server side would: each one's next answer says
    // "Connection: close". The number of sessions ended, once the gateway has done it.
    std::optional<int> endSessions(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    std::string errors() const;

private:
    TempDir m_dir{"qv-rtmptgw"};
    ChildProcess m_process;
    int m_port = 0;
};

// Debian's tinyproxy on 127.0.0.1 in the foreground, with its own config, log and pid file.
// It logs every request line ("Request (file descriptor N): POST http://... HTTP/1.1"), forwards
// absolute-URI requests in origin form with "Connection: close", and closes the client's
// connection after every answer without saying so in the answer.
class TinyProxy {
public:
    ~TinyProxy() { stop(); }
    bool start(std::string* error = nullptr);
    int stop() { return m_process ? m_process->stop(SIGTERM, std::chrono::seconds(5)) : -1; }
    int port() const { return m_port; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port); }
    std::string log() const;
    // True once the log contains text.
    bool waitForLog(const std::string& text, std::chrono::milliseconds timeout);

private:
    bool startOnce(std::string& error);

    TempDir m_dir{"qv-tinyproxy"};
    std::unique_ptr<ChildProcess> m_process;
    int m_port = 0;
};

// Serves a proxy auto-config text at /proxy.pac (application/x-ns-proxy-autoconfig) from a
// thread of this process; other paths get 404.
class PacServer {
public:
    explicit PacServer(std::string pac);
    ~PacServer();
    PacServer(const PacServer&) = delete;
    PacServer& operator=(const PacServer&) = delete;

    bool start(std::string* error = nullptr);
    void stop();
    int port() const { return m_port; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/proxy.pac"; }
    void setPac(std::string pac);
    int fetches() const { return m_fetches.load(); }

private:
    // Guards m_pac: written by setPac (test thread), read by the server's handler threads; a
    // leaf lock, nothing else is taken under it.
    mutable std::mutex m_lock;
    std::string m_pac;
    std::atomic<int> m_fetches{0};
    std::unique_ptr<httplib::Server> m_server;
    std::thread m_thread;
    int m_port = 0;
};

}  // namespace qvtest
