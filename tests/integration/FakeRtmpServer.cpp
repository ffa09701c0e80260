#include "FakeRtmpServer.h"

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "TestServers.h"

#ifndef QV_FAKE_RTMP_SERVER_SCRIPT
#error "QV_FAKE_RTMP_SERVER_SCRIPT must name tests/tools/fake_rtmp_server.py"
#endif

namespace qvtest {
namespace {

std::vector<uint8_t> fromHex(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// Whole lines of the record from `offset` on; a line still being written is left for later.
std::vector<FakeRtmpEntry> parseLines(const std::string& path, size_t* offset) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    if (in && in.seekg(static_cast<std::streamoff>(*offset)))
        text << in.rdbuf();
    const std::string all = text.str();
    std::istringstream lines(all.substr(0, all.rfind('\n') + 1));
    *offset += lines.str().size();
    std::vector<FakeRtmpEntry> entries;
    const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    for (std::string line; std::getline(lines, line);) {
        Json::Value v;
        if (!reader->parse(line.data(), line.data() + line.size(), &v, nullptr) || !v.isObject())
            continue;
        entries.push_back({v, v["seq"].asInt64(), v.get("conn", -1).asInt(), v["dir"].asString(), v["kind"].asString(),
                           v["block"].asString(), v["name"].asString(), v.get("type", -1).asInt(), v.get("csid", -1).asInt(),
                           v.get("stream_id", -1).asInt64(), v.get("timestamp", -1).asInt64(),
                           fromHex(v.isMember("body") ? v["body"].asString() : v["hex"].asString()), v["amf"]});
    }
    return entries;
}

}  // namespace

bool FakeRtmpServer::start(const FakeRtmpOptions& options, std::string* error) {
    ChildProcess::Options child;
    child.argv = {"python3", QV_FAKE_RTMP_SERVER_SCRIPT, "--record", recordPath(), "--time-limit",
                  std::to_string(options.timeLimitSeconds)};
    child.argv.insert(child.argv.end(), options.args.begin(), options.args.end());
    child.captureStdout = true;
    m_process = std::make_unique<ChildProcess>();
    child.stderrFile = m_dir.file("stderr.txt");
    if (!m_dir.ok() || !m_process->start(child, error))
        return false;
    const auto line = m_process->readLine(std::chrono::seconds(10));
    if (line && line->rfind("PORT ", 0) == 0 && (m_port = std::atoi(line->c_str() + 5)) > 0)
        return true;
    stop();
    if (error)
        *error = "the fake server reported no port: " + line.value_or("(nothing)") + " " +
                 readFile(m_dir.file("stderr.txt")).value_or("");
    return false;
}

std::string FakeRtmpServer::url(const std::string& app, const std::string& stream) const {
    return rtmpUrl("127.0.0.1", m_port, app, stream);
}

int FakeRtmpServer::stop() {
    return m_process ? m_process->stop(SIGTERM, std::chrono::seconds(5)) : -1;
}

std::vector<FakeRtmpEntry> FakeRtmpServer::record() const {
    size_t offset = 0;
    return parseLines(recordPath(), &offset);
}

std::optional<FakeRtmpEntry> FakeRtmpServer::waitFor(const std::function<bool(const FakeRtmpEntry&)>& pred,
                                                     std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // Watching before the first read, so that no line written in between goes unnoticed.
    const int fd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd < 0 || ::inotify_add_watch(fd, recordPath().c_str(), IN_MODIFY | IN_CLOSE_WRITE) < 0)
        return std::nullopt;
    std::optional<FakeRtmpEntry> found;
    size_t offset = 0;
    for (char events[4096];;) {
        for (auto& e : parseLines(recordPath(), &offset))
            if (!found && pred(e))
                found = std::move(e);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (found || left.count() <= 0)
            break;
        if (::poll(&p, 1, static_cast<int>(left.count())) > 0)
            while (::read(fd, events, sizeof events) > 0) {
            }
    }
    ::close(fd);
    return found;
}

std::vector<std::string> FakeRtmpServer::commandNames(const std::vector<FakeRtmpEntry>& record) {
    std::vector<std::string> names;
    for (const auto& e : record)
        if (e.dir == "in" && e.kind == "message" && (e.type == 20 || e.type == 17))
            names.push_back(e.name);
    return names;
}

}  // namespace qvtest
