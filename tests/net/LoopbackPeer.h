#pragma once
// Loopback peers for the transport tests: a listener on 127.0.0.1 or ::1 with a kernel-chosen
// port, the accepted connection with bounded reads, a background reader, and a private settings
// store. Every wait here has a deadline.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>

namespace nettest {

class Listener {
public:
    // receiveBuffer > 0 shrinks SO_RCVBUF before listen so accepted sockets inherit it.
    explicit Listener(int family = AF_INET, int receiveBuffer = 0, int backlog = 16);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    int Port() const { return m_port; }
    int Fd() const { return m_fd; }
    std::string Host() const { return m_family == AF_INET6 ? "::1" : "127.0.0.1"; }
    // The accepted descriptor, or -1 when nobody connected within timeoutMs.
    int Accept(int timeoutMs);

private:
    int m_fd = -1;
    int m_port = 0;
    int m_family;
};

// One accepted connection (owns the descriptor).
class Conn {
public:
    explicit Conn(int fd = -1) : m_fd(fd) {}
    ~Conn();
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;
    Conn(Conn&& o) noexcept : m_fd(o.m_fd) { o.m_fd = -1; }

    int Fd() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    void Close();
    bool SendAll(const std::string& text);
    // Reads until n bytes, EOF, or the deadline; returns what arrived.
    std::vector<uint8_t> ReadExactly(size_t n, int timeoutMs);
    // Reads whatever arrives until nothing more comes for quietMs (or EOF).
    std::vector<uint8_t> ReadUntilQuiet(int quietMs);
    // true when the peer closed (EOF or reset) within timeoutMs; data before it is discarded.
    bool WaitEof(int timeoutMs);

private:
    int m_fd;
};

// Reads a connection on its own thread as fast as it can, in random-sized reads, until EOF,
// error or Stop; keeps every byte.
class Drainer {
public:
    explicit Drainer(int fd, uint32_t seed = 1);
    ~Drainer();
    size_t Count() const { return m_count.load(); }
    // Waits until at least n bytes arrived (true) or the deadline passed.
    bool WaitFor(size_t n, int timeoutMs);
    void Stop();
    std::vector<uint8_t> Data();

private:
    int m_fd;
    std::atomic<bool> m_stop{false};
    std::atomic<size_t> m_count{0};
    std::mutex m_mutex;  // guards m_data; reader thread writes, test thread reads
    std::vector<uint8_t> m_data;
    std::thread m_thread;
};

// A private settings store (both scopes) in a fresh temporary directory, removed at the end.
class SettingsSandbox {
public:
    SettingsSandbox();
    ~SettingsSandbox();
    void SetTcp(const char* name, uint32_t value);

private:
    std::string m_dir;
};

std::vector<uint8_t> Pattern(size_t n, uint32_t seed);

// Bounded polling for a condition the code under test does not signal.
template <typename F>
bool WaitUntil(F condition, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace nettest
