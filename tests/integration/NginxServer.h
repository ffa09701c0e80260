#pragma once
// A private nginx with the RTMP module for publishing tests: its own config, pid file, logs,
// temp paths and recordings in a mkdtemp directory, listening on 127.0.0.1 at free high ports
// (RTMP and the HTTP statistics page), run in the foreground as our child and stopped by PID.
#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "NginxStats.h"
#include "TempDir.h"

namespace qvtest {

struct NginxOptions {
    std::string app = "live";
    bool record = true;            // record all to recordDir()/<stream>.flv
    int chunkSize = 4096;          // the server's outgoing chunk size (nginx default 4096)
    std::string extraAppConfig;    // more directives for the application block
};

class NginxServer {
public:
    explicit NginxServer(NginxOptions options = {});
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    // Writes the config, launches nginx and waits (bounded) until the RTMP port accepts.
    bool start(std::string* error = nullptr);
    // Graceful quit, then SIGKILL after a bound; waits for the process. Safe to call twice.
    void stop();
    bool running();

    pid_t pid() const { return m_process ? m_process->pid() : -1; }
    int rtmpPort() const { return m_rtmpPort; }
    int httpPort() const { return m_httpPort; }
    const std::string& dir() const { return m_dir->path(); }
    std::string recordDir() const { return m_dir->file("rec"); }
    std::string recordFile(const std::string& stream) const { return recordDir() + "/" + stream + ".flv"; }
    std::string url(const std::string& stream) const;
    std::string errorLog() const;

    // The statistics page (XML); nothing when nginx does not answer.
    std::optional<std::string> fetchStats();
    std::vector<NginxStatStream> stats();
    // Whether the stream is listed with a publishing client.
    bool isPublishing(const std::string& app, const std::string& stream);
    // Polls the statistics page until the stream's publishing state is `state` or the time runs out.
    bool waitPublishing(const std::string& app, const std::string& stream, bool state,
                        std::chrono::milliseconds timeout);

private:
    bool startOnce(std::string& error);
    std::string config() const;

    NginxOptions m_options;
    std::unique_ptr<TempDir> m_dir;
    std::unique_ptr<ChildProcess> m_process;
    int m_rtmpPort = 0;
    int m_httpPort = 0;
};

}  // namespace qvtest
