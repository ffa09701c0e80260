#include "TestServers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace qvtest {
namespace {

// Socket address for a numeric loopback host ("127.0.0.1" or "::1").
bool makeAddress(const std::string& host, int port, sockaddr_storage& addr, socklen_t& len)
{
    std::memset(&addr, 0, sizeof addr);
    auto* v4 = reinterpret_cast<sockaddr_in*>(&addr);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&addr);
    if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        len = sizeof(sockaddr_in);
        return true;
    }
    if (::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        len = sizeof(sockaddr_in6);
        return true;
    }
    return false;
}

}  // namespace

std::optional<int> freeTcpPort(const std::string& host)
{
    sockaddr_storage addr;
    socklen_t len = 0;
    if (!makeAddress(host, 0, addr, len))
        return std::nullopt;
    const int fd = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return std::nullopt;
    std::optional<int> port;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port = addr.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port)
                                         : ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
    }
    ::close(fd);
    return port;
}

bool tcpAccepts(const std::string& host, int port, std::chrono::milliseconds timeout)
{
    sockaddr_storage addr;
    socklen_t len = 0;
    if (!makeAddress(host, port, addr, len))
        return false;
    const int fd = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0;
    if (!ok && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) == 1) {
            int soError = 0;
            socklen_t soLen = sizeof soError;
            ok = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &soLen) == 0 && soError == 0;
        }
    }
    ::close(fd);
    return ok;
}

std::optional<std::string> readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool writeFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out.flush());
}

std::string rtmpUrl(const std::string& host, int port, const std::string& app,
                    const std::string& stream, const std::string& user, const std::string& password)
{
    std::string url = "rtmp://";
    if (!user.empty())
        url += user + ":" + password + "@";
    url += host.find(':') != std::string::npos ? "[" + host + "]" : host;
    // Appended piece by piece: g++ 12 at -O3 warns (wrongly) about overlapping copies in the
    // temporaries that "a" + b + "c" chains create.
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

ChildProcess::Options ffmpegPublishCommand(const std::string& url, double seconds,
                                           const std::string& stderrFile, bool withAudio)
{
    ChildProcess::Options o;
    o.argv = {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "warning", "-re",
              "-f", "lavfi", "-i", "testsrc=size=320x240:rate=25"};
    if (withAudio) {
        for (const char* a : {"-re", "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100"})
            o.argv.push_back(a);
    }
    for (const char* a : {"-t", ""})
        o.argv.push_back(*a ? a : std::to_string(seconds));
    for (const char* a : {"-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency",
                          "-g", "25", "-pix_fmt", "yuv420p"})
        o.argv.push_back(a);
    if (withAudio) {
        for (const char* a : {"-c:a", "aac", "-b:a", "64k"})
            o.argv.push_back(a);
    }
    o.argv.push_back("-f");
    o.argv.push_back("flv");
    o.argv.push_back(url);
    o.stderrFile = stderrFile;
    return o;
}

}  // namespace qvtest
