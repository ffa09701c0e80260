#include "NginxServer.h"

#include <httplib.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>

#include "TestServers.h"

namespace qvtest {
namespace {

constexpr const char* kHost = "127.0.0.1";
constexpr auto kStartTimeout = std::chrono::milliseconds(10000);
constexpr auto kStopGrace = std::chrono::milliseconds(5000);
constexpr int kStartAttempts = 3;

}  // namespace

NginxServer::NginxServer(NginxOptions options)
    : m_options(std::move(options)), m_dir(std::make_unique<TempDir>("qv-nginx"))
{
}

NginxServer::~NginxServer()
{
    stop();
}

std::string NginxServer::url(const std::string& stream) const
{
    return rtmpUrl(kHost, m_rtmpPort, m_options.app, stream);
}

std::string NginxServer::errorLog() const
{
    return readFile(m_dir->file("error.log")).value_or("");
}

std::string NginxServer::config() const
{
    const std::string d = m_dir->path();
    std::string c;
    c += "load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;\n";
    // One process: stopping it by PID leaves no worker behind.
    c += "daemon off;\nmaster_process off;\nworker_processes 1;\n";
    if (::getuid() == 0)
        c += "user root;\n";  // the recorder must write into our directory
    c += "pid " + d + "/nginx.pid;\n";
    c += "error_log " + d + "/error.log info;\n";
    c += "events { worker_connections 64; }\n";
    c += "rtmp {\n  server {\n";
    c += "    listen " + std::string(kHost) + ":" + std::to_string(m_rtmpPort) + ";\n";
    c += "    chunk_size " + std::to_string(m_options.chunkSize) + ";\n";
    c += "    application " + m_options.app + " {\n      live on;\n";
    if (m_options.record) {
        c += "      record all;\n      record_path " + d + "/rec;\n";
        c += "      record_unique off;\n      record_suffix .flv;\n";
    }
    c += m_options.extraAppConfig;
    c += "    }\n  }\n}\n";
    c += "http {\n  access_log " + d + "/access.log;\n";
    for (const char* t : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        c += "  " + std::string(t) + "_temp_path " + d + "/tmp/" + t + ";\n";
    c += "  server {\n";
    c += "    listen " + std::string(kHost) + ":" + std::to_string(m_httpPort) + ";\n";
    c += "    location /stat { rtmp_stat all; }\n  }\n}\n";
    return c;
}

bool NginxServer::start(std::string* error)
{
    std::string why;
    if (!m_dir->ok()) {
        why = "mkdtemp failed";
    } else {
        // A port found free can be taken by another process before nginx binds it: retry with new ones.
        for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
            if (startOnce(why))
                return true;
        }
    }
    if (error)
        *error = why;
    return false;
}

bool NginxServer::startOnce(std::string& error)
{
    stop();
    const auto rtmp = freeTcpPort(kHost);
    const auto http = freeTcpPort(kHost);
    if (!rtmp || !http || *rtmp == *http) {
        error = "no free port";
        return false;
    }
    m_rtmpPort = *rtmp;
    m_httpPort = *http;
    std::error_code ec;
    std::filesystem::create_directories(m_dir->file("tmp"), ec);
    std::filesystem::create_directories(recordDir(), ec);
    const std::string conf = m_dir->file("nginx.conf");
    if (!writeFile(conf, config())) {
        error = "cannot write " + conf;
        return false;
    }
    m_process = std::make_unique<ChildProcess>();
    ChildProcess::Options options;
    options.argv = {"nginx", "-c", conf, "-p", m_dir->path() + "/", "-e", m_dir->file("error.log")};
    options.stderrFile = m_dir->file("stderr.log");
    if (!m_process->start(options, &error))
        return false;
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (tcpAccepts(kHost, m_rtmpPort, std::chrono::milliseconds(200)) &&
            tcpAccepts(kHost, m_httpPort, std::chrono::milliseconds(200)))
            return true;
        // Waiting on the process doubles as the pause between probes and notices an early exit.
        if (m_process->wait(std::chrono::milliseconds(20))) {
            error = "nginx exited: " + readFile(m_dir->file("stderr.log")).value_or("") + errorLog();
            return false;
        }
    }
    error = "nginx did not open its ports in time";
    stop();
    return false;
}

void NginxServer::stop()
{
    if (m_process)
        m_process->stop(SIGQUIT, kStopGrace);
}

bool NginxServer::running()
{
    return m_process && m_process->started() && !m_process->wait(std::chrono::milliseconds(0));
}

std::optional<std::string> NginxServer::fetchStats()
{
    httplib::Client client(kHost, m_httpPort);
    client.set_connection_timeout(2, 0);
    client.set_read_timeout(5, 0);
    auto res = client.Get("/stat");
    if (!res || res->status != 200)
        return std::nullopt;
    return res->body;
}

std::vector<NginxStatStream> NginxServer::stats()
{
    const auto xml = fetchStats();
    return xml ? parseNginxStats(*xml) : std::vector<NginxStatStream>{};
}

bool NginxServer::isPublishing(const std::string& app, const std::string& stream)
{
    for (const auto& s : stats()) {
        if (s.app != app || s.name != stream || !s.publishing)
            continue;
        for (const auto& c : s.clients)
            if (c.publishing)
                return true;
    }
    return false;
}

bool NginxServer::waitPublishing(const std::string& app, const std::string& stream, bool state,
                                 std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (isPublishing(app, stream) == state)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        // The statistics page is the only view of nginx's state: poll it, stopping early if
        // nginx died (the wait is the pause between polls).
        if (!m_process || m_process->wait(std::chrono::milliseconds(50)))
            return isPublishing(app, stream) == state;
    }
}

}  // namespace qvtest
