// Proxy discovery: the component's key and the environment (one table), and PAC files served on
// loopback and evaluated by libproxy, including a PAC server that never answers.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>
#include <httplib.h>

#include "foundation/Log.h"
#include "net/ProxySettings.h"
#include "platform/Settings.h"
#include "tests/platform/TempSettings.h"

using namespace platform::settings;

namespace {

int g_anchor;  // names this executable's log key
constexpr int kAll = PROXY_FROM_SETTINGS | PROXY_FROM_AUTOCONFIG_URL | PROXY_AUTODETECT;
#if defined(__SANITIZE_THREAD__)
constexpr bool kTsan = true;
#elif defined(__has_feature)
constexpr bool kTsan = __has_feature(thread_sanitizer);
#else
constexpr bool kTsan = false;
#endif
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAsan = true;
#else
constexpr bool kAsan = false;
#endif

void SetEnv(const char* name, const char* value) {
    if (value) ::setenv(name, value, 1);
    else ::unsetenv(name);
}

class ProxySettings : public ::testing::Test {
protected:
    void SetUp() override {
        LogResetForTests();
        ASSERT_TRUE(WriteDword(Scope::User, "SOFTWARE\\DebugZeph\\net_proxy_test", "TRACE", 1));
        LogInit(&g_anchor);
        for (const char* v : {"http_proxy", "HTTP_PROXY", "no_proxy", "NO_PROXY"}) ::unsetenv(v);
        env.ClearDebug();
    }
    void TearDown() override { LogResetForTests(); }
    bool Logged(const std::string& line) { return env.Debug().find("  " + line + "\r\n") != std::string::npos; }
    qvtest::TempSettings env;
};

struct Row {
    const char* name;
    int ownEnable;          // -1: no value
    const char* ownServer;  // nullptr: no value
    const char *httpProxy, *upperHttpProxy, *noProxy;
    const char* destination;
    int flags, portIn;
    bool result;
    const char* host;
    int port;
    const char* line;    // must be logged
    const char* absent;  // must not be logged (nullptr: no check)
};

const Row kRows[] = {
    {"system http= entry before https=", -1, nullptr, "http=sys.lan:8080;https=secure.lan:443", nullptr, nullptr,
     "http://media.example", kAll, 0, true, "sys.lan", 8080, "GetProxySettings: System Proxy Enable 1", nullptr},
    {"component plain host:port", 1, "proxy.lan:3128", nullptr, nullptr, nullptr, "http://media.example", kAll, 0,
     true, "proxy.lan", 3128, "GetProxySettings: Zeph Proxy Enable 1", nullptr},
    {"socks only", 1, "socks=s.lan:1080", nullptr, nullptr, nullptr, "http://media.example", kAll, 0, false, "prior", 0,
     "GetProxySettings: ProxyServer no http setting socks=s.lan:1080", nullptr},
    {"https and ftp only", 1, "https=a.lan:1;ftp=b.lan:2", nullptr, nullptr, nullptr, "http://media.example", kAll,
     0, false, "prior", 0, "GetProxySettings: ProxyServer no http setting https=a.lan:1;ftp=b.lan:2", nullptr},
    {"component shadows system", 1, "own.lan:81", "http://sys.lan:82/", nullptr, nullptr, "http://media.example",
     kAll, 0, true, "own.lan", 81, "GetProxySettings: Zeph Proxy Enable 1", "System Proxy Enable"},
    {"no colon leaves the port", 1, "bare.lan", nullptr, nullptr, nullptr, "http://media.example", kAll, 8080, true,
     "bare.lan", 8080, "GetProxySettings: Zeph Proxy Enable 1", nullptr},
    {"cut mark first leaves all", 1, ";x.lan:1", nullptr, nullptr, nullptr, "http://media.example", kAll, 7, true,
     "prior", 7, "GetProxySettings: Zeph Proxy Enable 1", nullptr},
    {"port out of range", 1, "h.lan:99999", nullptr, nullptr, nullptr, "http://media.example", kAll, 0, true,
     "h.lan", 0, "GetProxySettings: bad proxy port in h.lan:99999", nullptr},
    {"component enabled without server", 1, nullptr, "sys.lan:1", nullptr, nullptr, "http://media.example", kAll, 0,
     false, "prior", 0, "GetProxySettings: Failed to read ProxyServer value", "System Proxy Enable"},
    {"nothing set", -1, nullptr, nullptr, nullptr, nullptr, "http://media.example", kAll, 0, false, "prior", 0,
     "GetProxySettings: System Proxy Enable 0", nullptr},
    {"component disabled, system used", 0, "own.lan:81", "sys.lan:82", nullptr, nullptr, "http://media.example",
     kAll, 0, true, "sys.lan", 82, "GetProxySettings: Zeph Proxy Enable 0", nullptr},
    {"environment URL with user and path", -1, nullptr, "http://u:pw@sys.lan:3128/x", nullptr, nullptr,
     "http://media.example", kAll, 0, true, "sys.lan", 3128, "GetProxySettings: System Proxy Enable 1", nullptr},
    {"upper-case variable", -1, nullptr, nullptr, "up.lan:8000", nullptr, "http://media.example", kAll, 0, true,
     "up.lan", 8000, "GetProxySettings: System Proxy Enable 1", nullptr},
    {"IPv6 literal", -1, nullptr, "http://[::1]:3129/", nullptr, nullptr, "http://media.example", kAll, 0, true,
     "::1", 3129, "GetProxySettings: System Proxy Enable 1", nullptr},
    {"no_proxy suffix", -1, nullptr, "sys.lan:1", nullptr, "localhost, .example", "http://media.example", kAll, 0,
     false, "prior", 0, "GetProxySettings: media.example is listed in no_proxy", nullptr},
    {"no_proxy star", -1, nullptr, "sys.lan:1", nullptr, "*", "http://media.example:1935", kAll, 0, false, "prior", 0,
     "GetProxySettings: media.example is listed in no_proxy", nullptr},
    {"no_proxy partial label", -1, nullptr, "sys.lan:1", nullptr, "ample,other.example", "http://media.example",
     kAll, 0, true, "sys.lan", 1, "GetProxySettings: System Proxy Enable 1", "listed in no_proxy"},
    {"a PAC reference is no proxy", -1, nullptr, "pac+http://127.0.0.1:1/x.pac", nullptr, nullptr,
     "http://media.example", PROXY_FROM_SETTINGS, 0, false, "prior", 0, "GetProxySettings: System Proxy Enable 0",
     nullptr},
    {"settings not asked", 1, "proxy.lan:3128", nullptr, nullptr, nullptr, "http://media.example",
     PROXY_FROM_AUTOCONFIG_URL | PROXY_AUTODETECT, 0, false, "prior", 0,
     "GetProxySettings: Failed to read ProxyServer value", "Zeph Proxy Enable"},
};

}  // namespace

TEST_F(ProxySettings, ComponentKeyAndEnvironmentTable) {
    for (const Row& r : kRows) {
        SCOPED_TRACE(r.name);
        DeleteKey(Scope::User, KEY_PROXY);
        ASSERT_TRUE(r.ownEnable < 0 || WriteDword(Scope::User, KEY_PROXY, "ProxyEnable", uint32_t(r.ownEnable)));
        ASSERT_TRUE(!r.ownServer || WriteString(Scope::User, KEY_PROXY, "ProxyServer", r.ownServer));
        SetEnv("http_proxy", r.httpProxy), SetEnv("HTTP_PROXY", r.upperHttpProxy), SetEnv("no_proxy", r.noProxy);
        env.ClearDebug();
        std::string host = "prior";  // a miss leaves the caller's values
        int port = r.portIn;
        EXPECT_EQ(GetProxySettings(host, port, r.destination, r.flags), r.result);
        EXPECT_EQ(host, r.host);
        EXPECT_EQ(port, r.port);
        EXPECT_TRUE(Logged(r.line)) << env.Debug();
        EXPECT_TRUE(!r.absent || env.Debug().find(r.absent) == std::string::npos) << env.Debug();
    }
    EXPECT_TRUE(DirectlyUseProxyIfEnabled());
    ASSERT_TRUE(WriteDword(Scope::Machine, KEY_PROXY, "DirectlyUseProxyIfEnabled", 0));
    EXPECT_FALSE(DirectlyUseProxyIfEnabled());
}

TEST_F(ProxySettings, PacFileChoosesTheProxyPerHost) {
    // libproxy's PAC runner starts a thread in the lookup's child, which ThreadSanitizer refuses after
    // a fork of a threaded process; the lookup then fails (bounded) instead of answering.
    if (kTsan) GTEST_SKIP() << "ThreadSanitizer stops threads started after a multi-threaded fork";
    // This compiler's AddressSanitizer does not reset its allocator's locks in a forked child (the
    // C library's allocator does): a fork while one of the PAC server's threads allocates leaves
    // the lookup's child hanging until the time-out.
    if (kAsan) GTEST_SKIP() << "AddressSanitizer's allocator is not fork-safe here";
    httplib::Server server;
    const int pacPort = server.bind_to_any_port("127.0.0.1");
    ASSERT_GT(pacPort, 0);
    const std::string base = "http://127.0.0.1:" + std::to_string(pacPort), pacUrl = base + "/proxy.pac",
                      ownUrl = base + "/own.pac";
    SetEnv("http_proxy", ("pac+" + pacUrl).c_str());  // before the server's threads start
    const std::string proxy = "127.0.0.1:" + std::to_string(pacPort + 1);
    server.Get("/(proxy|own).pac", [&](const httplib::Request&, httplib::Response& res) {
        const std::string pac = "function FindProxyForURL(url, host) {\n  return host == \"media.example\" ? "
                                "\"PROXY " + proxy + "; DIRECT\" : \"DIRECT; PROXY " + proxy + "\";\n}\n";
        res.set_content(pac, "application/x-ns-proxy-autoconfig");
    });
    std::thread serving([&] { server.listen_after_bind(); });

    struct Case {
        bool ownUrl;
        const char* destination;
        bool result;
        int port;
        std::string line;
    } cases[] = {
        {false, "http://media.example", true, pacPort + 1,  // the system's "pac+" reference
         "GetProxySettings: auto-config pac+" + pacUrl + " answers http://" + proxy + " direct://"},
        {true, "http://media.example", true, pacPort + 1, "GetProxySettings: auto-config pac+" + ownUrl + " answers"},
        {true, "http://other.example", false, 0, "GetProxySettings: auto-config pac+" + ownUrl + " answers direct:// http://" + proxy},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.destination);
        ASSERT_TRUE(!c.ownUrl || WriteString(Scope::User, KEY_PROXY, "AutoConfigURL", ownUrl));
        env.ClearDebug();
        std::string host;
        int port = 0;
        EXPECT_EQ(GetProxySettings(host, port, c.destination, kAll), c.result);
        EXPECT_EQ(host, c.result ? "127.0.0.1" : "");
        EXPECT_EQ(port, c.port);
        EXPECT_NE(env.Debug().find(c.line), std::string::npos) << env.Debug();
    }
    EXPECT_TRUE(Logged("GetProxySettings: System Proxy Enable 0"));  // DIRECT falls through to the settings
    server.stop();
    serving.join();
}

TEST_F(ProxySettings, PacServerThatNeverAnswersIsCutOffAtTheBound) {
    // Accepted by the kernel's backlog and then never served.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), len), 0);
    ASSERT_EQ(::listen(fd, 8), 0);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    const std::string pacUrl = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/slow.pac";
    ASSERT_TRUE(WriteString(Scope::User, KEY_PROXY, "AutoConfigURL", pacUrl));
    ASSERT_TRUE(WriteDword(Scope::User, KEY_PROXY, "AutoProxyTimeout", 700));

    const auto start = std::chrono::steady_clock::now();
    std::string host;
    int port = 0;
    EXPECT_FALSE(GetProxySettings(host, port, "http://media.example", kAll));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_GE(ms.count(), 650);
    EXPECT_LT(ms.count(), 1700);  // well before the child's own alarm
    EXPECT_TRUE(Logged("GetProxySettings: auto-config pac+" + pacUrl + " gave no answer within 700 ms")) << env.Debug();
    EXPECT_TRUE(Logged("GetProxySettings: System Proxy Enable 0"));
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "the lookup's child was reaped";
    ::close(fd);
}
