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

constexpr auto kPortTimeout = std::chrono::milliseconds(10000);
constexpr auto kStopGrace = std::chrono::milliseconds(5000);

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The file's bytes from offset on (empty when it is shorter or missing).
std::string readFrom(const std::string& path, size_t offset)
{
    std::ifstream in(path, std::ios::binary);
    if (!in || !in.seekg(static_cast<std::streamoff>(offset)))
        return {};
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::vector<uint8_t> fromHex(const std::string& hex)
{
    std::vector<uint8_t> out;
    out.reserve(hex.size() / 2);
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        const int hi = hexValue(hex[i]);
        const int lo = hexValue(hex[i + 1]);
        if (hi < 0 || lo < 0)
            break;
        out.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return out;
}

std::string FakeRtmpServer::scriptPath()
{
    return QV_FAKE_RTMP_SERVER_SCRIPT;
}

FakeRtmpServer::FakeRtmpServer() : m_dir(std::make_unique<TempDir>("qv-fakertmp")) {}

FakeRtmpServer::~FakeRtmpServer()
{
    stop();
}

bool FakeRtmpServer::start(const FakeRtmpOptions& options, std::string* error)
{
    auto fail = [error](const std::string& text) {
        if (error)
            *error = text;
        return false;
    };
    if (!m_dir->ok())
        return fail("mkdtemp failed");
    if (m_process)
        return fail("already started");
    m_host = options.host;
    std::vector<std::string> argv = {"python3", scriptPath(), "--record", recordPath(),
                                     "--host", options.host,
                                     "--time-limit", std::to_string(options.timeLimitSeconds)};
    if (!options.scenario.isNull()) {
        const std::string scenario = m_dir->file("scenario.json");
        Json::StreamWriterBuilder builder;
        if (!writeFile(scenario, Json::writeString(builder, options.scenario)))
            return fail("cannot write " + scenario);
        argv.push_back("--scenario");
        argv.push_back(scenario);
    }
    argv.insert(argv.end(), options.args.begin(), options.args.end());
    m_process = std::make_unique<ChildProcess>();
    ChildProcess::Options child;
    child.argv = argv;
    child.captureStdout = true;
    child.stderrFile = m_dir->file("stderr.txt");
    if (!m_process->start(child, error))
        return false;
    const auto line = m_process->readLine(kPortTimeout);
    if (!line || line->rfind("PORT ", 0) != 0) {
        stop();
        return fail("the fake server reported no port: " + line.value_or("(nothing)") + " " +
                    stderrText());
    }
    m_port = std::atoi(line->c_str() + 5);
    return m_port > 0 || fail("bad port line " + *line);
}

std::string FakeRtmpServer::url(const std::string& app, const std::string& stream,
                                const std::string& user, const std::string& password) const
{
    return rtmpUrl(m_host, m_port, app, stream, user, password);
}

std::optional<int> FakeRtmpServer::waitExit(std::chrono::milliseconds timeout)
{
    if (!m_process)
        return std::nullopt;
    return m_process->wait(timeout);
}

int FakeRtmpServer::stop()
{
    return m_process ? m_process->stop(SIGTERM, kStopGrace) : -1;
}

std::string FakeRtmpServer::stderrText() const
{
    return readFile(m_dir->file("stderr.txt")).value_or("");
}

std::vector<FakeRtmpEntry> FakeRtmpServer::record() const
{
    return parseRecord(readFile(recordPath()).value_or(""));
}

std::optional<FakeRtmpEntry> FakeRtmpServer::waitFor(const std::function<bool(const FakeRtmpEntry&)>& pred,
                                                     std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const int fd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    // Watch before the first read, so no line written in between goes unnoticed.
    const bool watching = fd >= 0 && ::inotify_add_watch(fd, recordPath().c_str(), IN_MODIFY | IN_CLOSE_WRITE) >= 0;
    std::optional<FakeRtmpEntry> found;
    size_t consumed = 0;  // bytes of whole lines already looked at
    while (!found) {
        const std::string text = readFrom(recordPath(), consumed);
        const size_t end = text.rfind('\n');
        if (end != std::string::npos) {
            for (auto& e : parseRecord(text.substr(0, end + 1))) {
                if (pred(e)) {
                    found = std::move(e);
                    break;
                }
            }
            consumed += end + 1;
        }
        if (found)
            break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        // Without inotify, re-read at a modest pace; with it, wake on the next write.
        const int wait = watching ? static_cast<int>(left.count()) : static_cast<int>(std::min<long long>(left.count(), 20));
        if (watching) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, wait) > 0) {
                char events[4096];
                while (::read(fd, events, sizeof events) > 0) {
                }
            }
        } else {
            ::poll(nullptr, 0, wait);
        }
    }
    if (fd >= 0)
        ::close(fd);
    return found;
}

std::vector<FakeRtmpEntry> FakeRtmpServer::parseRecord(const std::string& text)
{
    std::vector<FakeRtmpEntry> entries;
    std::istringstream lines(text);
    std::string line;
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    while (std::getline(lines, line)) {
        Json::Value v;
        std::string errors;
        if (line.empty() || !reader->parse(line.data(), line.data() + line.size(), &v, &errors) ||
            !v.isObject())
            continue;
        FakeRtmpEntry e;
        e.seq = v.get("seq", -1).asInt64();
        e.conn = v.get("conn", -1).asInt();
        e.dir = v.get("dir", "").asString();
        e.kind = v.get("kind", "").asString();
        e.block = v.get("block", "").asString();
        e.name = v.get("name", "").asString();
        e.type = v.get("type", -1).asInt();
        e.csid = v.get("csid", -1).asInt();
        e.streamId = v.get("stream_id", -1).asInt64();
        e.timestamp = v.get("timestamp", -1).asInt64();
        e.fmt = v.get("fmt", -1).asInt();
        if (v.isMember("body"))
            e.bytes = fromHex(v["body"].asString());
        else if (v.isMember("hex"))
            e.bytes = fromHex(v["hex"].asString());
        e.amf = v.get("amf", Json::Value());
        e.raw = std::move(v);
        entries.push_back(std::move(e));
    }
    return entries;
}

std::vector<std::string> FakeRtmpServer::commandNames(const std::vector<FakeRtmpEntry>& record, int conn)
{
    std::vector<std::string> names;
    for (const auto& e : record) {
        if (e.dir == "in" && e.kind == "message" && (e.type == 20 || e.type == 17) &&
            (conn < 0 || e.conn == conn))
            names.push_back(e.name);
    }
    return names;
}

}  // namespace qvtest
