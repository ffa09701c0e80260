#pragma once
// A CTCPClient that records what its callbacks saw, the way the protocol client will use them.
#include <atomic>
#include <mutex>
#include <vector>

#include "net/TCPClient.h"
#include "platform/Event.h"

namespace nettest {

class RecordingClient : public CTCPClient {
public:
    ~RecordingClient() override {
        Close();
        Terminate();
    }
    void OnReceive(const uint8_t* data, int length, std::atomic<bool>* reconnect) override {
        {
            std::lock_guard<std::mutex> g(m_mutex);
            m_received.insert(m_received.end(), data, data + length);
        }
        if (requestReconnectOnData.load()) reconnect->store(true);
        dataArrived.Set();
    }
    void OnCloseConnection() override {
        closeCalls.fetch_add(1);
        closed.Set();
    }
    bool Close() override {
        closeOverrideCalls.fetch_add(1);
        return CTCPClient::Close();
    }
    std::vector<uint8_t> Received() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_received;
    }

    std::atomic<int> closeCalls{0};
    std::atomic<int> closeOverrideCalls{0};
    std::atomic<bool> requestReconnectOnData{false};
    platform::CEvent closed{true, false};
    platform::CEvent dataArrived{false, false};

private:
    std::mutex m_mutex;  // guards m_received: receive thread writes, test thread reads
    std::vector<uint8_t> m_received;
};

}  // namespace nettest
