#include "TunnelServers.h"

#include <httplib.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "TestServers.h"

namespace qvtest {

std::optional<std::string> waitForFileText(const std::string& path, const std::function<bool(const std::string&)>& pred,
                                           std::chrono::milliseconds timeout, ChildProcess* child) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // The directory is watched, not the file: the file may not exist yet. Watching starts
    // before the first read, so that nothing written in between goes unnoticed.
    const std::string dir = std::filesystem::path(path).parent_path();
    const int fd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    const bool watching =
        fd >= 0 && ::inotify_add_watch(fd, dir.c_str(), IN_MODIFY | IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO) >= 0;
    std::optional<std::string> found;
    while (watching) {
        if (auto text = readFile(path); text && pred(*text)) {
            found = std::move(text);
            break;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0 || (child && child->wait(std::chrono::milliseconds(0)))) break;
        // A child that dies writes nothing more: the slice bounds how late its exit is noticed.
        pollfd p{fd, POLLIN, 0};
        char events[4096];
        if (::poll(&p, 1, static_cast<int>(child ? std::min<int64_t>(left, 100) : left)) > 0)
            while (::read(fd, events, sizeof events) > 0) {
            }
    }
    if (fd >= 0) ::close(fd);
    return found;
}

std::string RtmptRequest::path() const {
    if (!target.starts_with("http://")) return target;
    const size_t slash = target.find('/', 7);
    return slash == std::string::npos ? "/" : target.substr(slash);
}

std::string RtmptRequest::command() const {
    const std::string p = path();
    const size_t end = p.find('/', 1);
    return p.size() > 1 ? p.substr(1, end == std::string::npos ? std::string::npos : end - 1) : "";
}

namespace {
std::vector<RtmptRequest> parseRequests(const std::string& text) {
    std::vector<RtmptRequest> out;
    std::istringstream in(text);
    // A line still being written has no newline yet: getline then meets the end of the text.
    for (std::string line; std::getline(in, line) && !in.eof();) {
        std::istringstream fields(line);
        RtmptRequest r;
        if (fields >> r.connection >> r.method >> r.target >> r.bodySize >> r.status >> r.responseSize) out.push_back(r);
    }
    return out;
}
}  // namespace

bool RtmptGateway::start(const RtmptGatewayOptions& options, std::string* error) {
    ChildProcess::Options child{.argv = {"python3", QV_RTMPT_GATEWAY_SCRIPT, "--listen", "127.0.0.1:0", "--rtmp",
                                         "127.0.0.1:" + std::to_string(options.rtmpPort), "--log", logPath()},
                                .captureStdout = true, .stdoutFile = {}, .stderrFile = m_dir.file("stderr.txt")};
    if (!options.fault.empty()) child.argv.insert(child.argv.end(), {"--fault", options.fault});
    if (options.endAfterSeconds) child.argv.insert(child.argv.end(), {"--end-after", std::to_string(*options.endAfterSeconds)});
    if (!m_dir.ok() || !m_process.start(child, error)) return false;
    const auto line = m_process.readLine(std::chrono::seconds(10));
    if (line && line->starts_with("LISTENING ") && (m_port = std::atoi(line->c_str() + 10)) > 0) return true;
    stop();
    if (error) *error = "the gateway reported no port: " + line.value_or("(nothing)") + " " + errors();
    return false;
}

std::vector<RtmptRequest> RtmptGateway::requests() const { return parseRequests(readFile(logPath()).value_or("")); }

std::optional<RtmptRequest> RtmptGateway::waitFor(const std::function<bool(const RtmptRequest&)>& pred,
                                                  std::chrono::milliseconds timeout) {
    std::optional<RtmptRequest> found;
    waitForFileText(
        logPath(),
        [&](const std::string& text) {
            for (const auto& r : parseRequests(text))
                if (pred(r)) return found = r, true;
            return false;
        },
        timeout, &m_process);
    return found;
}

std::optional<int> RtmptGateway::endSessions(std::chrono::milliseconds timeout) {
    if (!m_process.signal(SIGUSR1)) return std::nullopt;
    const auto line = m_process.readLine(timeout);
    if (!line || !line->starts_with("ENDED ")) return std::nullopt;
    return std::atoi(line->c_str() + 6);
}

std::string RtmptGateway::errors() const { return readFile(m_dir.file("stderr.txt")).value_or(""); }

bool TinyProxy::start(std::string* error) {
    std::string why = "mkdtemp failed";
    // A port found free can be taken before tinyproxy binds it: retry with new ones.
    for (int attempt = 0; m_dir.ok() && attempt < 3; ++attempt)
        if (startOnce(why)) return true;
    if (error) *error = why;
    return false;
}

bool TinyProxy::startOnce(std::string& error) {
    stop();
    const auto port = freeTcpPort();
    if (!port) return (error = "no free port", false);
    m_port = *port;
    std::filesystem::remove(m_dir.file("tinyproxy.log"));
    // No ConnectPort line: CONNECT is allowed to every port. As root it stays root (it only
    // warns), so it can write into our directory.
    std::ostringstream c;
    c << "Port " << m_port << "\nListen 127.0.0.1\nTimeout 60\nMaxClients 32\nAllow 127.0.0.1\nDisableViaHeader Yes\n"
      << "LogLevel Info\nLogFile \"" << m_dir.file("tinyproxy.log") << "\"\nPidFile \"" << m_dir.file("tinyproxy.pid") << "\"\n";
    writeFile(m_dir.file("tinyproxy.conf"), c.str());
    m_process = std::make_unique<ChildProcess>();
    const ChildProcess::Options o{{"tinyproxy", "-d", "-c", m_dir.file("tinyproxy.conf")}, false, {}, m_dir.file("stderr.log")};
    if (!m_process->start(o, &error)) return false;
    if (waitForFileText(m_dir.file("tinyproxy.log"), [](const std::string& t) { return t.find("Accepting connections") != std::string::npos; },
                        std::chrono::seconds(10), m_process.get()))
        return true;
    error = "tinyproxy did not start: " + readFile(m_dir.file("stderr.log")).value_or("") + log();
    stop();
    return false;
}

std::string TinyProxy::log() const { return readFile(m_dir.file("tinyproxy.log")).value_or(""); }

bool TinyProxy::waitForLog(const std::string& text, std::chrono::milliseconds timeout) {
    return waitForFileText(m_dir.file("tinyproxy.log"), [&](const std::string& t) { return t.find(text) != std::string::npos; },
                           timeout, m_process.get())
        .has_value();
}

PacServer::PacServer(std::string pac) : m_pac(std::move(pac)), m_server(std::make_unique<httplib::Server>()) {
    m_server->Get("/proxy.pac", [this](const httplib::Request&, httplib::Response& res) {
        ++m_fetches;
        const std::lock_guard guard(m_lock);
        res.set_content(m_pac, "application/x-ns-proxy-autoconfig");
    });
}

PacServer::~PacServer() { stop(); }

bool PacServer::start(std::string* error) {
    // The socket listens once bound: a request made before the thread accepts waits in the backlog.
    m_port = m_thread.joinable() ? m_port : m_server->bind_to_any_port("127.0.0.1");
    if (m_port <= 0) {
        if (error) *error = "the PAC server cannot bind a port";
        return false;
    }
    if (!m_thread.joinable()) m_thread = std::thread([this] { m_server->listen_after_bind(); });
    return true;
}

void PacServer::stop() {
    if (!m_thread.joinable()) return;
    m_server->stop();
    m_thread.join();
}

void PacServer::setPac(std::string pac) {
    const std::lock_guard guard(m_lock);
    m_pac = std::move(pac);
}

}  // namespace qvtest
