#pragma once
// A loopback TCP proxy for fault tests, run in-process on its own thread: it forwards every
// connection it accepts to a target port and can throttle the client-to-server direction to a
// bit rate, cut every open connection, stall (stop moving bytes in both directions without
// closing), and switch its target (a restarted server on a new port).
#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace sinktest {

class FaultProxy {
public:
    explicit FaultProxy(int targetPort);
    ~FaultProxy();
    FaultProxy(const FaultProxy&) = delete;
    FaultProxy& operator=(const FaultProxy&) = delete;

    // Binds 127.0.0.1 on a kernel-chosen port and starts the thread. false when it cannot.
    bool Start();
    void Stop();
    int Port() const { return m_port; }

    // Client-to-server rate in bits per second; 0 = unlimited.
    void Throttle(uint64_t bitsPerSecond);
    // Closes every open connection (both sides); new connections are still accepted.
    void Cut();
    // While stalled nothing is read or written on open connections.
    void Stall(bool on);
    // Where new connections go; 0 or a closed port makes them fail (the client is closed).
    void SetTarget(int port);

    uint64_t BytesUp() const { return m_bytesUp.load(); }
    uint64_t BytesDown() const { return m_bytesDown.load(); }
    int Accepted() const { return m_accepted.load(); }
    int Open();

private:
    struct Pair {
        int client = -1;
        int server = -1;
        std::vector<uint8_t> up;    // client -> server bytes not yet written
        std::vector<uint8_t> down;  // server -> client bytes not yet written
    };
    void Run();
    void Wake();
    void ClosePair(Pair& p);

    int m_listen = -1;
    int m_wake[2] = {-1, -1};
    int m_port = 0;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_target;
    std::atomic<uint64_t> m_rate{0};
    std::atomic<bool> m_stall{false};
    std::atomic<bool> m_cut{false};
    std::atomic<uint64_t> m_bytesUp{0};
    std::atomic<uint64_t> m_bytesDown{0};
    std::atomic<int> m_accepted{0};
    // Guards m_pairs' size for Open(); the pairs themselves belong to the proxy thread.
    std::mutex m_mutex;
    std::vector<Pair> m_pairs;
};

}  // namespace sinktest
