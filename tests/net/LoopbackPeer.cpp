#include "LoopbackPeer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "foundation/Log.h"
#include "platform/Settings.h"

namespace nettest {
namespace {

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

Listener::Listener(int family, int receiveBuffer, int backlog) : m_family(family) {
    m_fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) return;
    if (receiveBuffer > 0) setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_storage ss{};
    socklen_t len;
    if (family == AF_INET6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_loopback;
        len = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&ss);
        a->sin_family = AF_INET;
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof *a;
    }
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || ::listen(m_fd, backlog) != 0) {
        ::close(m_fd);
        m_fd = -1;
        return;
    }
    len = sizeof ss;
    getsockname(m_fd, reinterpret_cast<sockaddr*>(&ss), &len);
    m_port = family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port)
                                : ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

Listener::~Listener() {
    if (m_fd >= 0) ::close(m_fd);
}

int Listener::Accept(int timeoutMs) {
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return -1;
    return ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
}

Conn::~Conn() { Close(); }

void Conn::Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

bool Conn::SendAll(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::send(m_fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::vector<uint8_t> Conn::ReadExactly(size_t n, int timeoutMs) {
    std::vector<uint8_t> out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<uint8_t> buf(65536);
    while (out.size() < n) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, RemainingMs(deadline)) <= 0) break;
        ssize_t r = ::recv(m_fd, buf.data(), std::min(buf.size(), n - out.size()), 0);
        if (r <= 0) break;
        out.insert(out.end(), buf.begin(), buf.begin() + r);
    }
    return out;
}

std::vector<uint8_t> Conn::ReadUntilQuiet(int quietMs) {
    std::vector<uint8_t> out;
    std::vector<uint8_t> buf(65536);
    for (;;) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, quietMs) <= 0) break;
        ssize_t r = ::recv(m_fd, buf.data(), buf.size(), 0);
        if (r <= 0) break;
        out.insert(out.end(), buf.begin(), buf.begin() + r);
    }
    return out;
}

bool Conn::WaitEof(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<uint8_t> buf(65536);
    for (;;) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, RemainingMs(deadline)) <= 0) return false;
        ssize_t r = ::recv(m_fd, buf.data(), buf.size(), 0);
        if (r <= 0) return true;
    }
}

Drainer::Drainer(int fd, uint32_t seed) : m_fd(fd) {
    m_thread = std::thread([this, seed] {
        std::mt19937 rng(seed);
        std::uniform_int_distribution<size_t> size(1, 200000);
        std::vector<uint8_t> buf(200000);
        while (!m_stop.load()) {
            pollfd p{m_fd, POLLIN, 0};
            int ready = ::poll(&p, 1, 50);
            if (ready < 0 && errno != EINTR) break;
            if (ready <= 0) continue;
            ssize_t r = ::recv(m_fd, buf.data(), size(rng), 0);
            if (r <= 0) break;
            {
                std::lock_guard<std::mutex> g(m_mutex);
                m_data.insert(m_data.end(), buf.begin(), buf.begin() + r);
            }
            m_count.fetch_add(static_cast<size_t>(r));
        }
    });
}

Drainer::~Drainer() { Stop(); }

void Drainer::Stop() {
    m_stop.store(true);
    if (m_thread.joinable()) m_thread.join();
}

bool Drainer::WaitFor(size_t n, int timeoutMs) {
    return WaitUntil([&] { return m_count.load() >= n; }, timeoutMs);
}

std::vector<uint8_t> Drainer::Data() {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_data;
}

SettingsSandbox::SettingsSandbox() {
    char tmpl[] = "/tmp/qv-net-XXXXXX";
    const char* dir = mkdtemp(tmpl);
    m_dir = dir ? dir : "";
    setenv("QV_SETTINGS_USER", (m_dir + "/user.json").c_str(), 1);
    setenv("QV_SETTINGS_MACHINE", (m_dir + "/machine.json").c_str(), 1);
}

SettingsSandbox::~SettingsSandbox() {
    // Only the directory this sandbox created (the store adds lock and temporary files to it).
    std::error_code ec;
    if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ec);
}

void SettingsSandbox::SetTcp(const char* name, uint32_t value) {
    platform::settings::WriteDword(platform::settings::Scope::User, KEY_TCPCLIENT, name, value);
}

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    std::mt19937 rng(seed);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

}  // namespace nettest
