#pragma once
// Shared by the publishing client's end-to-end tests: a private settings store (so waits can be
// shortened), the host's text events collected from the callback queue, and connection settings
// for a server on the loopback address.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "TempDir.h"
#include "foundation/EventCallbacks.h"
#include "foundation/Log.h"
#include "platform/Settings.h"
#include "rtmp/ConnectionSettings.h"
#include "rtmp/RtmpUrl.h"

namespace rtmpit {

// Text events as the host receives them. The callback queue is process-wide and keeps its
// entries, so one collector serves every test of the process and is cleared per test.
class EventLog {
public:
    static EventLog& Instance() {
        static EventLog log;
        return log;
    }
    void Clear() {
        std::lock_guard<std::mutex> g(m_mutex);
        m_events.clear();
    }
    std::vector<std::pair<std::string, std::string>> Events() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_events;
    }
    int Count(const std::string& category, const std::string& text) {
        std::lock_guard<std::mutex> g(m_mutex);
        return static_cast<int>(std::count(m_events.begin(), m_events.end(), std::make_pair(category, text)));
    }
    bool Has(const std::string& category, const std::string& text) { return Count(category, text) > 0; }
    // Index of the first matching event at or after `from`, -1 when none.
    int IndexOf(const std::string& category, const std::string& text, int from = 0) {
        std::lock_guard<std::mutex> g(m_mutex);
        for (size_t i = static_cast<size_t>(from); i < m_events.size(); ++i)
            if (m_events[i].first == category && m_events[i].second == text) return static_cast<int>(i);
        return -1;
    }

private:
    EventLog() { RegisterEventCallback(this, &EventLog::OnEvent); }
    static std::string Narrow(const wchar_t* w) {
        std::string s;
        for (; w && *w; ++w) s.push_back(*w < 128 ? static_cast<char>(*w) : '?');
        return s;
    }
    static int OnEvent(void* ctx, const wchar_t* category, const wchar_t* message) {
        auto* self = static_cast<EventLog*>(ctx);
        std::lock_guard<std::mutex> g(self->m_mutex);
        self->m_events.emplace_back(Narrow(category), Narrow(message));
        return 0;
    }
    std::mutex m_mutex;
    std::vector<std::pair<std::string, std::string>> m_events;
};

// A private settings store for the test, with the client's waits shortened.
class SessionFixture : public ::testing::Test {
protected:
    static constexpr uint32_t kWaitDelayMs = 1500;

    void SetUp() override {
        ASSERT_TRUE(m_settingsDir.ok());
        setenv("QV_SETTINGS_USER", m_settingsDir.file("user.json").c_str(), 1);
        setenv("QV_SETTINGS_MACHINE", m_settingsDir.file("machine.json").c_str(), 1);
        ASSERT_TRUE(platform::settings::WriteDword(platform::settings::Scope::User, KEY_RTMPSINK, "WaitDelay",
                                                   kWaitDelayMs));
        EventLog::Instance().Clear();
    }

    static ConnectionSettings Settings(const std::string& host, int port, const std::string& app = "live",
                                       const std::string& stream = "cam1") {
        const std::string hostPart = host.find(':') != std::string::npos ? "[" + host + "]" : host;
        rtmp::SplitUrlResult split = rtmp::SplitUrl("rtmp://" + hostPart + ":" + std::to_string(port) + "/" + app +
                                                    "/" + stream);
        ConnectionSettings s;
        s.url = split.baseUrl;
        s.host = split.host;
        s.app = split.app;
        s.streamName = split.stream;
        s.port = port;
        s.connectTimeout = 5;
        return s;
    }

    qvtest::TempDir m_settingsDir{"qv-rtmpsession"};
};

}  // namespace rtmpit
