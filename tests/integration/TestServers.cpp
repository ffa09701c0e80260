#include "TestServers.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace qvtest {

std::optional<int> freeTcpPort() {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    if (fd >= 0) ::close(fd);
    return ok ? std::optional<int>(ntohs(addr.sin_port)) : std::nullopt;
}

std::optional<std::string> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    return static_cast<bool>(out << text << std::flush);
}

std::string rtmpUrl(const std::string& host, int port, const std::string& app, const std::string& stream) {
    return "rtmp://" + host + ':' + std::to_string(port) + '/' + app + (stream.empty() ? "" : "/") + stream;
}

std::optional<std::string_view> xmlElement(std::string_view xml, const std::string& tag, size_t* pos) {
    const size_t start = xml.find("<" + tag + ">", pos ? *pos : 0);
    const size_t end = start == std::string_view::npos ? start : xml.find("</" + tag + ">", start);
    if (end == std::string_view::npos) return std::nullopt;
    if (pos) *pos = end + tag.size() + 3;
    return xml.substr(start + tag.size() + 2, end - start - tag.size() - 2);
}

std::optional<Json::Value> ffprobeJson(const std::string& path, const std::vector<std::string>& sections,
                                       std::chrono::milliseconds timeout, std::string* error) {
    TempDir dir("qv-ffprobe");
    ChildProcess probe;
    ChildProcess::Options o{{"ffprobe", "-v", "error", "-of", "json"}, false, dir.file("out.json"), dir.file("err.txt")};
    o.argv.insert(o.argv.end(), sections.begin(), sections.end());
    o.argv.push_back(path);
    std::string why;
    Json::Value root;
    const bool ran = probe.start(o, &why);
    std::ifstream in(dir.file("out.json"));
    if (ran && probe.wait(timeout) != 0) why = "ffprobe failed on " + path + ": " + readFile(dir.file("err.txt")).value_or("");
    else if (ran && Json::parseFromStream(Json::CharReaderBuilder(), in, &root, &why)) return root;
    if (error) *error = why;
    return std::nullopt;
}

std::pair<int, std::string> checkRecording(const std::vector<std::string>& args, std::chrono::milliseconds timeout) {
    TempDir dir("qv-check");
    ChildProcess checker;
    ChildProcess::Options o{{"python3", QV_CHECK_RECORDING_SCRIPT}, false, dir.file("report.txt"), dir.file("report.txt")};
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    std::string why;
    if (!checker.start(o, &why)) return {-1, why};
    const int code = checker.wait(timeout).value_or(-1);
    return {code, readFile(dir.file("report.txt")).value_or("") + (code < 0 ? "(the checker did not end in time)\n" : "")};
}

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
    if (!rtmp || !http || *rtmp == *http) return (error = "no free port", false);
    m_rtmpPort = *rtmp;
    m_httpPort = *http;
    const std::string d = m_dir.path();
    std::filesystem::create_directories(d + "/rec");
    // One process (no master): stopping it by PID leaves no worker behind. As root it stays root:
    // the recorder writes into our directory. A config nginx cannot read shows in its stderr.
    std::ostringstream c;
    if (!m_options.streamConfig.empty()) c << "load_module /usr/lib/nginx/modules/ngx_stream_module.so;\n";
    c << "load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;\ndaemon off; master_process off; worker_processes 1;"
      << (::getuid() == 0 ? " user root;" : "") << "\npid " << d << "/nginx.pid; error_log " << d << "/error.log info;\n"
      << "events { worker_connections 64; }\nrtmp { server { listen " << m_options.listenHost << ":" << m_rtmpPort << "; application live { live on; "
      << (m_options.record ? "record all; record_path " + d + "/rec; record_suffix .flv; record_unique " +
                                 (m_options.unique ? "on;" : "off;") : "") << " }"
      << (m_options.maxMessageMb ? " max_message " + std::to_string(m_options.maxMessageMb) + "M;" : "") << " } }\n"
      << "http { access_log " << d << "/access.log;";
    for (const char* t : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) c << ' ' << t << "_temp_path " << d << '/' << t << ';';
    c << "\n  server { listen 127.0.0.1:" << m_httpPort << "; location /stat { rtmp_stat all; } } }\n";
    if (!m_options.streamConfig.empty()) c << "stream { " << m_options.streamConfig << " }\n";
    writeFile(m_dir.file("nginx.conf"), c.str());
    m_process = std::make_unique<ChildProcess>();
    const ChildProcess::Options o{{"nginx", "-c", d + "/nginx.conf", "-p", d + "/", "-e", d + "/error.log"}, false, {}, d + "/stderr.log"};
    if (!m_process->start(o, &error)) return false;
    // nginx opens all its ports before it serves any: the statistics page tells both are ready.
    // The wait is the pause between probes and notices an early exit.
    for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10); !fetchStats();) {
        if (m_process->wait(std::chrono::milliseconds(20)))
            return (error = "nginx exited: " + readFile(d + "/stderr.log").value_or("") + errorLog(), false);
        if (std::chrono::steady_clock::now() < deadline) continue;
        error = "nginx did not open its ports in time";
        stop();
        return false;
    }
    return true;
}

std::vector<std::string> NginxServer::recordFiles(const std::string& stream) const {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(m_dir.file("rec"), ec))
        if (const std::string name = e.path().filename(); name.starts_with(stream + "-") && name.ends_with(".flv"))
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
}

std::optional<std::string> NginxServer::fetchStats() {
    httplib::Client client("127.0.0.1", m_httpPort);
    client.set_connection_timeout(2, 0);
    client.set_read_timeout(5, 0);
    auto res = client.Get("/stat");
    return res && res->status == 200 ? std::optional(res->body) : std::nullopt;
}

bool NginxServer::isPublishing(const std::string& app, const std::string& stream) {
    const std::string xml = fetchStats().value_or("");
    size_t a = 0;
    while (auto appBody = xmlElement(xml, "application", &a)) {
        size_t s = 0;
        if (xmlElement(*appBody, "name") != app) continue;
        while (auto st = xmlElement(*appBody, "stream", &s))
            if (xmlElement(*st, "name") == stream && st->find("<publishing/>") != std::string_view::npos) return true;
    }
    return false;
}

bool NginxServer::waitPublishing(const std::string& app, const std::string& stream, bool state,
                                 std::chrono::milliseconds timeout) {
    // The page is the only view of nginx's state: poll it; the wait is the pause and notices that
    // nginx died.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (isPublishing(app, stream) != state)
        if (std::chrono::steady_clock::now() >= deadline || !m_process || m_process->wait(std::chrono::milliseconds(50)))
            return isPublishing(app, stream) == state;
    return true;
}

}  // namespace qvtest
