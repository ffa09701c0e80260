// Transport figures, each measured against a peer in the same run:
//  (a) buffered sending of 1 GB through CTCPClient to a loopback sink that reads as fast as it
//      can, as a ratio to plain blocking send() of the same bytes on a plain socket;
//  (b) CPU time of the process while a connected client sits idle for 10 s.
// Usage: bench_tcp_send [megabytes=1024] [idle-seconds=10]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "net/TCPClient.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Sink {
    int listenFd = -1;
    int port = 0;
    std::atomic<uint64_t> received{0};
    std::thread thread;

    Sink() {
        listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(listenFd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(listenFd, 4) != 0) {
            perror("sink");
            std::exit(1);
        }
        getsockname(listenFd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    // Accepts one connection and reads it to the end on its own thread.
    void Start() {
        received = 0;
        thread = std::thread([this] {
            pollfd p{listenFd, POLLIN, 0};
            if (::poll(&p, 1, 10000) <= 0) return;
            int fd = ::accept(listenFd, nullptr, nullptr);
            std::vector<uint8_t> buf(1 << 20);
            for (;;) {
                ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
                if (n <= 0) break;
                received.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
            }
            ::close(fd);
        });
    }
    void Join() {
        if (thread.joinable()) thread.join();
    }
    ~Sink() { ::close(listenFd); }
};

double PlainSend(Sink& sink, const std::vector<uint8_t>& chunk, uint64_t total) {
    sink.Start();
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(sink.port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        perror("connect");
        std::exit(1);
    }
    const auto t0 = Clock::now();
    uint64_t sent = 0;
    while (sent < total) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(chunk.size(), total - sent));
        size_t off = 0;
        while (off < want) {
            ssize_t n = ::send(fd, chunk.data() + off, want - off, MSG_NOSIGNAL);
            if (n <= 0) {
                perror("send");
                std::exit(1);
            }
            off += static_cast<size_t>(n);
        }
        sent += want;
    }
    ::shutdown(fd, SHUT_WR);
    sink.Join();
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    ::close(fd);
    if (sink.received.load() != total) {
        std::fprintf(stderr, "plain: sink got %llu of %llu bytes\n", (unsigned long long)sink.received.load(),
                     (unsigned long long)total);
        std::exit(1);
    }
    return seconds;
}

double BufferedSend(Sink& sink, const std::vector<uint8_t>& chunk, uint64_t total, int bufferSize, int packetSize) {
    sink.Start();
    CTCPClient client;
    TCPClientParams p;
    p.host = "127.0.0.1";
    p.port = sink.port;
    p.sendBufferSize = bufferSize;
    p.sendPacketSize = packetSize;
    if (client.Connect(p) != TCP_OK || !client.IsSendBuffered()) {
        std::fprintf(stderr, "buffered: connect failed\n");
        std::exit(1);
    }
    const auto t0 = Clock::now();
    uint64_t sent = 0;
    while (sent < total) {
        int want = static_cast<int>(std::min<uint64_t>(chunk.size(), total - sent));
        int rc = client.SendBuffered(chunk.data(), want);
        if (rc == TCP_SHUTDOWN || rc == TCP_TIMEOUT) {
            std::fprintf(stderr, "buffered: send failed %d\n", rc);
            std::exit(1);
        }
        sent += static_cast<uint64_t>(want);
    }
    client.Send(nullptr, 0, true);  // waits until the buffer is empty
    client.Close();
    sink.Join();
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    if (sink.received.load() != total || client.GetTotalBytesSent() != total) {
        std::fprintf(stderr, "buffered: sink got %llu, client counted %llu of %llu bytes\n",
                     (unsigned long long)sink.received.load(), (unsigned long long)client.GetTotalBytesSent(),
                     (unsigned long long)total);
        std::exit(1);
    }
    return seconds;
}

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    const uint64_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    const int idleSeconds = argc > 2 ? std::atoi(argv[2]) : 10;
    const uint64_t total = megabytes << 20;

    // A private, empty settings store: the figures are those of the built-in defaults.
    char tmpl[] = "/tmp/qv-bench-net-XXXXXX";
    const char* dir = mkdtemp(tmpl);
    if (!dir) return 1;
    setenv("QV_SETTINGS_USER", (std::string(dir) + "/user.json").c_str(), 1);
    setenv("QV_SETTINGS_MACHINE", (std::string(dir) + "/machine.json").c_str(), 1);

    std::vector<uint8_t> chunk(64 * 1024);
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<uint8_t>(i * 131 + 7);

    Sink sink;
    struct Config {
        int buffer;
        int packet;
    };
    const Config configs[] = {{1 << 20, 16 * 1024}, {4 << 20, 64 * 1024}};
    std::printf("buffered send of %llu MB to a loopback sink, best of 3 (alternating with plain send())\n",
                (unsigned long long)megabytes);
    for (Config c : configs) {
        double plainBest = 1e9, bufferedBest = 1e9;
        for (int round = 0; round < 3; ++round) {
            plainBest = std::min(plainBest, PlainSend(sink, chunk, total));
            bufferedBest = std::min(bufferedBest, BufferedSend(sink, chunk, total, c.buffer, c.packet));
        }
        const double mb = static_cast<double>(total) / (1 << 20);
        std::printf("  buffer %7d packet %6d: plain %7.0f MB/s, buffered %7.0f MB/s, ratio %.2f\n", c.buffer, c.packet,
                    mb / plainBest, mb / bufferedBest, plainBest / bufferedBest);
    }

    if (idleSeconds > 0) {
        sink.Start();
        CTCPClient client;
        TCPClientParams p;
        p.host = "127.0.0.1";
        p.port = sink.port;
        p.sendBufferSize = 1 << 20;
        p.sendPacketSize = 16 * 1024;
        if (client.Connect(p) != TCP_OK) return 1;
        const uint8_t hello[] = {1, 2, 3};
        client.Send(hello, 3, true);
        const double cpu0 = CpuSeconds();
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));  // the measurement itself
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        const double cpu = CpuSeconds() - cpu0;
        std::printf("idle connected client (buffered, receive and send threads running): %.4f s CPU in %.1f s = %.3f%% "
                    "of one core\n",
                    cpu, wall, 100.0 * cpu / wall);
        client.Close();
        sink.Join();
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
