#pragma once
// A loopback TCP proxy for fault tests: forwards each connection it accepts to a target port and
// can throttle the client-to-server direction, cut every open connection (FIN, or RST as from a
// crashed peer), stall (move no bytes, close nothing; both ways or only towards the server) and
// switch its target (a restarted server on a new port).
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace sinktest {

class FaultProxy {
public:
    explicit FaultProxy(int targetPort) : m_target(targetPort) {}
    ~FaultProxy() { Stop(); }
    bool Start();  // binds 127.0.0.1 on a kernel-chosen port; false when it cannot
    void Stop();
    int Port() const { return m_port; }
    void Throttle(uint64_t bitsPerSecond) { m_rate = bitsPerSecond; }  // 0: unlimited
    void Cut(bool reset = false);  // new connections are still accepted
    void Stall(bool on, bool upstreamOnly = false);
    void SetTarget(int port) { m_target = port; }  // 0 or a closed port: new clients are closed

private:
    struct Conn;
    void Accept();
    void Pump(std::shared_ptr<Conn> c, bool up);
    bool Stalled(bool up) const { return m_stall && (up || !m_upstreamOnly); }
    int m_listen = -1, m_port = 0;
    std::atomic<bool> m_stop{false}, m_stall{false}, m_upstreamOnly{false};
    std::atomic<int> m_target;
    std::atomic<uint64_t> m_rate{0};
    std::mutex m_mutex;
    std::condition_variable m_unstalled;
    std::vector<std::weak_ptr<Conn>> m_conns;
    std::thread m_acceptor;
    std::vector<std::thread> m_pumps;
};

}  // namespace sinktest
