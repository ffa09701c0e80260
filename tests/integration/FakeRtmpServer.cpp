#include "FakeRtmpServer.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <fstream>

#include "TestServers.h"

namespace qvtest {

std::pair<std::vector<FakeRtmpEntry>, size_t> FakeRtmpServer::parse(size_t offset) const {
    std::ifstream in(m_dir.file("record.jsonl"), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    std::vector<FakeRtmpEntry> entries;
    const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    // A line without its newline yet (eof) is still being written.
    for (std::string line; std::getline(in, line) && !in.eof(); offset += line.size() + 1) {
        Json::Value v;
        if (!reader->parse(line.data(), line.data() + line.size(), &v, nullptr) || !v.isObject()) continue;
        const std::string hex = v["body"].asString();
        std::vector<uint8_t> bytes(hex.size() / 2);
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
        entries.push_back({v, v["seq"].asInt64(), v.get("conn", -1).asInt(), v["dir"].asString(), v["kind"].asString(),
                           v["block"].asString(), v["name"].asString(), v.get("type", -1).asInt(), v.get("csid", -1).asInt(),
                           v.get("stream_id", -1).asInt64(), v.get("timestamp", -1).asInt64(), std::move(bytes), v["amf"]});
    }
    return {std::move(entries), offset};
}

bool FakeRtmpServer::start(const FakeRtmpOptions& options, std::string* error) {
    ChildProcess::Options child{.argv = {"python3", QV_FAKE_RTMP_SERVER_SCRIPT, "--record", m_dir.file("record.jsonl")},
                                .captureStdout = true, .stdoutFile = {}, .stderrFile = m_dir.file("stderr.txt")};
    child.argv.insert(child.argv.end(), options.args.begin(), options.args.end());
    if (!m_dir.ok() || !m_process.start(child, error)) return false;
    const auto line = m_process.readLine(std::chrono::seconds(10));
    if (line && line->rfind("PORT ", 0) == 0 && (m_port = std::atoi(line->c_str() + 5)) > 0) return true;
    stop();
    if (error)
        *error = "the fake server reported no port: " + line.value_or("(nothing)") + " " +
                 readFile(m_dir.file("stderr.txt")).value_or("");
    return false;
}

std::optional<FakeRtmpEntry> FakeRtmpServer::waitFor(const std::function<bool(const FakeRtmpEntry&)>& pred,
                                                     std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // Watching before the first read, so that no line written in between goes unnoticed.
    const int fd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    const bool watching = fd >= 0 && ::inotify_add_watch(fd, m_dir.file("record.jsonl").c_str(), IN_MODIFY | IN_CLOSE_WRITE) >= 0;
    std::optional<FakeRtmpEntry> found;
    for (size_t offset = 0; watching;) {
        auto [entries, next] = parse(offset);
        offset = next;
        for (auto& e : entries)
            if (!found && pred(e)) found = std::move(e);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        char events[4096];
        if (found || left.count() <= 0) break;
        if (::poll(&p, 1, static_cast<int>(left.count())) > 0)
            while (::read(fd, events, sizeof events) > 0) {
            }
    }
    if (fd >= 0) ::close(fd);
    return found;
}

}  // namespace qvtest
