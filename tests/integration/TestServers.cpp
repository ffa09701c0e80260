#include "TestServers.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string_view>

namespace qvtest {
namespace {

constexpr const char* kHost = "127.0.0.1";

// A TCP socket bound (port 0: any free one) or connected to an IPv4 host:port.
int loopbackSocket(int port, bool connectIt, const std::string& host = kHost) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    const int fd = ::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) == 1 ? ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
    auto* sa = reinterpret_cast<sockaddr*>(&addr);
    if (fd >= 0 && (connectIt ? ::connect(fd, sa, sizeof addr) : ::bind(fd, sa, sizeof addr)) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

// The body of the next <tag> element from pos on; elements of one name do not nest on the page.
std::optional<std::string_view> nextElement(std::string_view xml, const std::string& tag, size_t& pos) {
    const size_t start = xml.find("<" + tag + ">", pos);
    const size_t end = start == std::string_view::npos ? start : xml.find("</" + tag + ">", start);
    if (end == std::string_view::npos) return std::nullopt;
    pos = end + tag.size() + 3;
    return xml.substr(start + tag.size() + 2, end - start - tag.size() - 2);
}

}  // namespace

std::optional<int> freeTcpPort(const std::string& host) {
    const int fd = loopbackSocket(0, false, host);
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    const bool ok = fd >= 0 && ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    if (fd >= 0) ::close(fd);
    return ok ? std::optional<int>(ntohs(addr.sin_port)) : std::nullopt;
}

bool tcpAccepts(const std::string& host, int port, std::chrono::milliseconds) {
    const int fd = loopbackSocket(port, true, host);  // loopback: refused or accepted at once
    if (fd >= 0) ::close(fd);
    return fd >= 0;
}

std::optional<std::string> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out.flush());
}

std::string rtmpUrl(const std::string& host, int port, const std::string& app, const std::string& stream,
                    const std::string& user, const std::string& password) {
    std::string url = "rtmp://";
    if (!user.empty()) url += user + ":" + password + "@";
    url += host.find(':') != std::string::npos ? "[" + host + "]" : host;
    // Piece by piece: g++ 12 -O3 warns wrongly about overlapping copies in "a" + b + "c" chains.
    url += ':';
    url += std::to_string(port);
    url += '/';
    url += app;
    if (!stream.empty()) {
        url += '/';
        url += stream;
    }
    return url;
}

std::optional<Json::Value> ffprobeJson(const std::string& path, const std::vector<std::string>& sections,
                                       std::chrono::milliseconds timeout, std::string* error) {
    TempDir dir("qv-ffprobe");
    ChildProcess probe;
    ChildProcess::Options o;
    o.argv = {"ffprobe", "-v", "error", "-of", "json"};
    o.argv.insert(o.argv.end(), sections.begin(), sections.end());
    o.argv.push_back(path);
    o.captureStdout = true;
    o.stderrFile = dir.file("stderr.txt");
    std::string why;
    Json::Value root;
    if (probe.start(o, &why)) {
        const std::string out = probe.readAll(timeout);
        const auto status = probe.wait(std::chrono::seconds(5));
        std::istringstream in(out);
        if (status != 0)
            why = "ffprobe failed on " + path + ": " + readFile(dir.file("stderr.txt")).value_or("");
        else if (!Json::parseFromStream(Json::CharReaderBuilder(), in, &root, &why))
            why = "ffprobe output is not JSON: " + why;
        else
            return root;
    }
    if (error) *error = why;
    return std::nullopt;
}

NginxServer::NginxServer(NginxOptions options) : m_options(options) {}

bool NginxServer::start(std::string* error) {
    std::string why = "mkdtemp failed";
    // A port found free can be taken before nginx binds it: retry with new ones.
    for (int attempt = 0; m_dir.ok() && attempt < 3; ++attempt)
        if (startOnce(why)) return true;
    if (error) *error = why;
    return false;
}

bool NginxServer::startOnce(std::string& error) {
    stop();
    const auto rtmp = m_options.rtmpPort ? std::optional<int>(m_options.rtmpPort) : freeTcpPort();
    const auto http = freeTcpPort();
    if (!rtmp || !http || *rtmp == *http) {
        error = "no free port";
        return false;
    }
    m_rtmpPort = *rtmp;
    m_httpPort = *http;
    const std::string d = m_dir.path();
    std::error_code ec;
    std::filesystem::create_directories(d + "/tmp", ec);
    std::filesystem::create_directories(d + "/rec", ec);
    // One process (no master): stopping it by PID leaves no worker behind.
    std::string c = "load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;\n"
                    "daemon off;\nmaster_process off;\nworker_processes 1;\n";
    if (::getuid() == 0) c += "user root;\n";  // the recorder writes into our directory
    c += "pid " + d + "/nginx.pid;\nerror_log " + d + "/error.log info;\nevents { worker_connections 64; }\n";
    c += "rtmp { server { listen " + std::string(kHost) + ":" + std::to_string(m_rtmpPort) + ";\n";
    c += "  application live { live on;\n";
    if (m_options.record) c += "    record all; record_path " + d + "/rec; record_unique off; record_suffix .flv;\n";
    c += "} } }\nhttp { access_log " + d + "/access.log;\n";
    for (const char* t : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        c += "  " + std::string(t) + "_temp_path " + d + "/tmp/" + t + ";\n";
    c += "  server { listen " + std::string(kHost) + ":" + std::to_string(m_httpPort) +
         "; location /stat { rtmp_stat all; } } }\n";
    if (!writeFile(m_dir.file("nginx.conf"), c)) {
        error = "cannot write the config";
        return false;
    }
    m_process = std::make_unique<ChildProcess>();
    ChildProcess::Options o;
    o.argv = {"nginx", "-c", m_dir.file("nginx.conf"), "-p", d + "/", "-e", m_dir.file("error.log")};
    o.stderrFile = m_dir.file("stderr.log");
    if (!m_process->start(o, &error)) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        int fds[2] = {loopbackSocket(m_rtmpPort, true), loopbackSocket(m_httpPort, true)};
        for (int fd : fds)
            if (fd >= 0) ::close(fd);
        if (fds[0] >= 0 && fds[1] >= 0) return true;
        // The wait is the pause between probes and notices an early exit.
        if (m_process->wait(std::chrono::milliseconds(20))) {
            error = "nginx exited: " + readFile(m_dir.file("stderr.log")).value_or("") + errorLog();
            return false;
        }
    }
    error = "nginx did not open its ports in time";
    stop();
    return false;
}

void NginxServer::stop() {
    if (m_process) m_process->stop(SIGQUIT, std::chrono::seconds(5));
}

std::optional<std::string> NginxServer::fetchStats() {
    httplib::Client client(kHost, m_httpPort);
    client.set_connection_timeout(2, 0);
    client.set_read_timeout(5, 0);
    auto res = client.Get("/stat");
    if (!res || res->status != 200) return std::nullopt;
    return res->body;
}

bool NginxServer::isPublishing(const std::string& app, const std::string& stream) {
    const auto xml = fetchStats();
    size_t a = 0;
    while (auto appBody = xml ? nextElement(*xml, "application", a) : std::nullopt) {
        size_t n = 0, s = 0;
        if (nextElement(*appBody, "name", n) != app) continue;
        while (auto st = nextElement(*appBody, "stream", s)) {
            size_t m = 0;
            if (nextElement(*st, "name", m) == stream && st->find("<publishing/>") != std::string_view::npos)
                return true;
        }
    }
    return false;
}

bool NginxServer::waitPublishing(const std::string& app, const std::string& stream, bool state,
                                 std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (isPublishing(app, stream) == state) return true;
        // The page is the only view of nginx's state: poll it; the wait is the pause and notices
        // that nginx died.
        if (std::chrono::steady_clock::now() >= deadline || !m_process ||
            m_process->wait(std::chrono::milliseconds(50)))
            return isPublishing(app, stream) == state;
    }
}

}  // namespace qvtest
