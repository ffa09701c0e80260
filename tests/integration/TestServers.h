#pragma once
// Test servers for the publishing client: a private nginx with the RTMP module, the scriptable
// fake RTMP server (tests/tools/fake_rtmp_server.py) and ffprobe. Nothing here uses the product.
#include <json/json.h>

#include <memory>
#include <string_view>

#include "ChildProcess.h"
#include "FakeRtmpServer.h"
#include "TempDir.h"

namespace qvtest {

// A loopback port that was free a moment ago; another process may take it first.
std::optional<int> freeTcpPort();
std::optional<std::string> readFile(const std::string& path);
bool writeFile(const std::string& path, const std::string& text);
std::string rtmpUrl(const std::string& host, int port, const std::string& app, const std::string& stream);
// The body of the next <tag> element from *pos on (*pos moves past it); elements of one name do not
// nest on nginx's statistics page.
std::optional<std::string_view> xmlElement(std::string_view xml, const std::string& tag, size_t* pos = nullptr);

// ffprobe's JSON report (-of json) on a media file.
std::optional<Json::Value> ffprobeJson(const std::string& path,
                                       const std::vector<std::string>& sections = {"-show_format", "-show_streams"},
                                       std::chrono::milliseconds timeout = std::chrono::seconds(60),
                                       std::string* error = nullptr);

// Judges a recording against its inputs with scripts/check_recording.py (arguments as the script
// takes them): its exit code (-1 when it did not run or end in time) and its report.
std::pair<int, std::string> checkRecording(const std::vector<std::string>& args,
                                           std::chrono::milliseconds timeout = std::chrono::seconds(120));

struct NginxOptions {
    bool record = true;  // record all to recordFile(<stream>)
    int rtmpPort = 0;    // 0: a free one
    bool unique = false; // a file per publication instead, listed by recordFiles(<stream>)
    int maxMessageMb = 0;  // 0: nginx's own limit (1 MB)
    std::string listenHost = "127.0.0.1";  // of the RTMP port; "[::1]" for IPv6
    std::string streamConfig{};  // non-empty: the body of a stream{} block (TCP/TLS front ends)
};

// A private nginx-rtmp in a mkdtemp directory on 127.0.0.1, run in the foreground as our child,
// with the rtmp_stat page on a second port.
class NginxServer {
public:
    explicit NginxServer(NginxOptions options = {}) : m_options(options) {}
    ~NginxServer() { stop(); }

    // Launches nginx and waits (bounded) until it serves.
    bool start(std::string* error = nullptr);
    void stop() {  // graceful quit, SIGKILL after a bound
        if (m_process) m_process->stop(SIGQUIT, std::chrono::seconds(5));
    }
    int rtmpPort() const { return m_rtmpPort; }
    std::string recordFile(const std::string& stream) const { return m_dir.file("rec/" + stream + ".flv"); }
    // The files of each publication in the order they started (unique only; the name holds the
    // second it started, so two publications within one second share a file).
    std::vector<std::string> recordFiles(const std::string& stream) const;
    std::string url(const std::string& stream) const { return rtmpUrl("127.0.0.1", m_rtmpPort, "live", stream); }
    std::string errorLog() const { return readFile(m_dir.file("error.log")).value_or(""); }
    // The statistics page (XML); nothing when nginx does not answer.
    std::optional<std::string> fetchStats();
    // Polls the statistics page until `stream` of `app` has (or has no) publisher.
    bool waitPublishing(const std::string& app, const std::string& stream, bool state,
                        std::chrono::milliseconds timeout);

private:
    bool startOnce(std::string& error);
    bool isPublishing(const std::string& app, const std::string& stream);

    NginxOptions m_options;
    TempDir m_dir{"qv-nginx"};
    std::unique_ptr<ChildProcess> m_process;
    int m_rtmpPort = 0, m_httpPort = 0;
};

}  // namespace qvtest
