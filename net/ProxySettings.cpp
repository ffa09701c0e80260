// Proxy discovery for the HTTP tunnel: automatic (libproxy), the component's key, the environment.
#include "net/ProxySettings.h"

#include <fcntl.h>
#include <poll.h>
#include <dlfcn.h>
#include <proxy.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "foundation/Log.h"
#include "net/SharedLibrary.h"

namespace {

constexpr int kDefaultAutoProxyTimeoutMs = 5000;
constexpr int kMinAutoProxyTimeoutMs = 100, kMaxAutoProxyTimeoutMs = 60000;
constexpr size_t kMaxAnswerBytes = 4096;  // a proxy list longer than this is not a sane answer
constexpr uint32_t kSettingBytes = 2048;

std::string Lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return out;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

std::optional<std::string> ReadString(const char* key, const char* name) {
    char buffer[kSettingBytes];
    if (getRegistryString(key, name, buffer, sizeof buffer, nullptr) != 0) return std::nullopt;
    return std::string(buffer);
}

// The environment's value of a lower-case name, else of its upper-case twin; empty when neither.
std::string Env(const char* lower, const char* upper) {
    const char* v = std::getenv(lower);
    if (!v || !*v) v = std::getenv(upper);
    return v ? v : "";
}

// Leading decimal digits after optional blanks; 0 (with a log line) when there is no usable port.
int ParsePort(std::string_view text, std::string_view whole) {
    text = Trim(text);
    int port = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (ec != std::errc() || end == text.data() || port < 1 || port > 65535) {
        Log(LOG_TRACE, 0, "GetProxySettings: bad proxy port in %.*s", int(whole.size()), whole.data());
        return 0;
    }
    return port;
}

// "host:port" or "host" (port left alone); "[v6]:port" keeps its brackets off the host, since a
// split at the first colon would leave "[" as the host.
void SplitHostPort(std::string_view spec, std::string& host, int& port) {
    if (spec.size() > 1 && spec.front() == '[') {
        const size_t close = spec.find(']');
        if (close != std::string_view::npos) {
            host = spec.substr(1, close - 1);
            const std::string_view rest = spec.substr(close + 1);
            if (!rest.empty() && rest.front() == ':') port = ParsePort(rest.substr(1), spec);
            return;
        }
    }
    const size_t colon = spec.find(':');
    if (colon == std::string_view::npos) {
        host = spec;
        return;
    }
    host = spec.substr(0, colon);
    port = ParsePort(spec.substr(colon + 1), spec);
}

// A ProxyServer text as the component's key or the system holds it.
bool ParseProxyServer(const std::string& text, std::string& proxyHost, int& port) {
    try {
        std::string_view spec = Trim(text);
        const bool perProtocol = text.find("http=") != std::string::npos || text.find("https=") != std::string::npos ||
                                 text.find("ftp=") != std::string::npos || text.find("socks=") != std::string::npos;
        if (perProtocol) {
            const size_t at = spec.find("http=");
            if (at == std::string_view::npos) {
                Log(LOG_TRACE, 1, "GetProxySettings: ProxyServer no http setting %s", text.c_str());
                return false;
            }
            spec.remove_prefix(at + 5);
        }
        size_t cut = spec.find('/');
        if (cut == std::string_view::npos) cut = spec.find(';');
        // A text that starts with its cut mark names nothing to split; the caller's values stay.
        if (cut == 0) return true;
        if (cut != std::string_view::npos) spec = spec.substr(0, cut);
        SplitHostPort(Trim(spec), proxyHost, port);
        return true;
    } catch (...) {
        Log(LOG_TRACE, 0, "GetProxySettings: Failed - Exception raised");
        return false;
    }
}

// The environment writes proxies as URLs ("http://user:pw@host:3128/"); the ProxyServer rules
// expect "host:port".
std::string EnvProxyToServerText(std::string_view value) {
    if (const size_t scheme = value.find("://"); scheme != std::string_view::npos) value.remove_prefix(scheme + 3);
    if (const size_t slash = value.find('/'); slash != std::string_view::npos) value = value.substr(0, slash);
    if (const size_t at = value.rfind('@'); at != std::string_view::npos) value.remove_prefix(at + 1);
    return std::string(value);
}

// The host of a URL, lower case, without userinfo, port or IPv6 brackets.
std::string HostOfUrl(std::string_view url) {
    if (const size_t scheme = url.find("://"); scheme != std::string_view::npos) url.remove_prefix(scheme + 3);
    if (const size_t end = url.find_first_of("/?#"); end != std::string_view::npos) url = url.substr(0, end);
    if (const size_t at = url.rfind('@'); at != std::string_view::npos) url.remove_prefix(at + 1);
    if (!url.empty() && url.front() == '[') {
        const size_t close = url.find(']');
        return Lower(url.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
    }
    return Lower(url.substr(0, url.find(':')));
}

// no_proxy: comma-separated host names or domain suffixes (".lan", "lan" and "*.lan" alike), "*"
// for every host. Address ranges are not understood.
bool ListedInNoProxy(const std::string& host) {
    const std::string list = Env("no_proxy", "NO_PROXY");
    if (host.empty() || list.empty()) return false;
    std::string_view rest = list;
    while (!rest.empty()) {
        const size_t comma = rest.find(',');
        std::string entry = Lower(Trim(rest.substr(0, comma)));
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
        if (entry == "*") return true;
        if (std::count(entry.begin(), entry.end(), ':') == 1) entry.resize(entry.find(':'));  // "host:port"
        if (entry.rfind("*.", 0) == 0) entry.erase(0, 1);
        if (!entry.empty() && entry.front() == '.') entry.erase(0, 1);
        if (entry.empty()) continue;
        if (host == entry) return true;
        if (host.size() > entry.size() && host.compare(host.size() - entry.size(), entry.size(), entry) == 0 &&
            host[host.size() - entry.size() - 1] == '.')
            return true;
    }
    return false;
}

// ---- The automatic lookup ------------------------------------------------------------------------
//
// libproxy reads its configuration from the environment at each lookup (http_proxy="pac+URL" or
// "wpad://"), and a PAC fetch from a server that accepts but never answers blocks for good. Setting
// the environment races with every other thread's getenv, and a blocked call cannot be cancelled.
// So the lookup runs in a forked child: it sets its own environment, asks libproxy, writes the
// answer to a pipe and exits; the parent waits on the pipe for at most the time-out and then kills
// the child. What remains: a lock another thread held at the fork (glibc resets malloc's, stdio's
// and the loader's) stays held in the child, which then hangs until it is killed; the lookup then
// counts as a time-out and the next sources are asked.

// libproxy is opened the first time a lookup is asked for, in the parent before the fork (it brings
// D-Bus, systemd and crypto libraries along: about a megabyte resident).
struct LibProxy {
    pxProxyFactory* (*factoryNew)() = nullptr;
    char** (*getProxies)(pxProxyFactory*, const char*) = nullptr;
    bool ok() const { return factoryNew && getProxies; }
};
const LibProxy& OpenLibProxy() {
    static const LibProxy lib = [] {
        LibProxy l;
        void* h = net::OpenSharedLibrary("libproxy.so.1", "GetProxySettings");
        if (!h) return l;
        l.factoryNew = reinterpret_cast<pxProxyFactory* (*)()>(::dlsym(h, "px_proxy_factory_new"));
        l.getProxies = reinterpret_cast<char** (*)(pxProxyFactory*, const char*)>(::dlsym(h, "px_proxy_factory_get_proxies"));
        return l;
    }();
    return lib;
}

struct AutoAnswer {
    bool answered = false;
    std::vector<std::string> proxies;  // in libproxy's order: "http://host:port", "direct://", ...
};

[[noreturn]] void ChildLookup(const LibProxy& lib, int out, pid_t parent, const char* config, const char* url,
                              unsigned alarmSeconds) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(3);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGALRM, SIG_DFL);
    ::alarm(alarmSeconds);  // the child ends itself even if the parent never gets to kill it
    // The host's sockets and files must not outlive their owner's close in this copy.
    if (out > 3) ::close_range(3, unsigned(out) - 1, 0);
    ::close_range(unsigned(out) + 1, ~0u, 0);
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "ftp_proxy", "FTP_PROXY",
                             "no_proxy", "NO_PROXY"})
        ::unsetenv(name);
    ::setenv("http_proxy", config, 1);
    pxProxyFactory* factory = lib.factoryNew();
    if (!factory) ::_exit(2);
    char** proxies = lib.getProxies(factory, url);
    if (!proxies) ::_exit(2);
    std::string text;
    for (char** p = proxies; *p; ++p) text.append(*p).push_back('\n');
    text.push_back('\n');  // an empty line ends the answer (a write end may linger in other forks)
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(out, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ::_exit(4);
        done += size_t(n);
    }
    ::_exit(0);
}

AutoAnswer LookupAutomatically(const std::string& config, const std::string& url, int timeoutMs) {
    AutoAnswer answer;
    const LibProxy& lib = OpenLibProxy();
    if (!lib.ok()) return answer;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        Log(LOG_TRACE, 0, "GetProxySettings: auto-config lookup of %s failed: pipe: %s", config.c_str(),
            std::strerror(errno));
        return answer;
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        ChildLookup(lib, fds[1], parent, config.c_str(), url.c_str(), unsigned(timeoutMs / 1000 + 2));
    }
    ::close(fds[1]);
    if (pid < 0) {
        Log(LOG_TRACE, 0, "GetProxySettings: auto-config lookup of %s failed: fork: %s", config.c_str(),
            std::strerror(errno));
        ::close(fds[0]);
        return answer;
    }

    std::string text;
    bool ended = false, complete = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!ended && !complete) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fds[0], POLLIN, 0};
        const int r = ::poll(&p, 1, int(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        char buf[512];
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ended = true;
            break;
        }
        text.append(buf, size_t(n));
        complete = text.front() == '\n' || text.find("\n\n") != std::string::npos;
        if (text.size() > kMaxAnswerBytes) break;
    }
    ::close(fds[0]);
    if (!complete) ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!complete) {
        if (ended || text.size() > kMaxAnswerBytes)
            Log(LOG_TRACE, 0, "GetProxySettings: auto-config lookup of %s failed: no answer from libproxy",
                config.c_str());
        else
            Log(LOG_TRACE, 0, "GetProxySettings: auto-config %s gave no answer within %d ms", config.c_str(),
                timeoutMs);
        return answer;
    }
    answer.answered = true;
    std::string_view rest = text;
    for (size_t nl; (nl = rest.find('\n')) != std::string_view::npos && nl > 0; rest.remove_prefix(nl + 1))
        answer.proxies.emplace_back(rest.substr(0, nl));
    return answer;
}

// The first usable entry of a libproxy answer: an HTTP proxy gives host and port; "direct://"
// before any of them means no proxy; other kinds (socks://) cannot carry the tunnel and are skipped.
bool ProxyFromAnswer(const AutoAnswer& answer, std::string& proxyHost, int& port) {
    for (const std::string& entry : answer.proxies) {
        if (entry.rfind("direct://", 0) == 0) return false;
        if (entry.rfind("http://", 0) != 0) continue;
        const std::string spec = EnvProxyToServerText(entry);
        // An answer without a port is no answer: there is nothing to connect to.
        if (spec.find(':') == std::string::npos) return false;
        std::string host;
        int p = port;
        SplitHostPort(spec, host, p);
        proxyHost = host;
        port = p;
        return true;
    }
    return false;
}

int AutoProxyTimeoutMs() {
    return std::clamp(getRegistryKey(KEY_PROXY, "AutoProxyTimeout", kDefaultAutoProxyTimeoutMs),
                      kMinAutoProxyTimeoutMs, kMaxAutoProxyTimeoutMs);
}

bool TryAutomatic(std::string& proxyHost, int& port, const std::string& destinationUrl, int flags) {
    std::string configUrl;
    bool fromSystem = false;
    if (auto own = ReadString(KEY_PROXY, "AutoConfigURL")) {
        configUrl = *own;
    } else if (const std::string sys = Env("http_proxy", "HTTP_PROXY"); sys.rfind("pac+", 0) == 0) {
        configUrl = sys.substr(4);
        fromSystem = true;
    }
    if (destinationUrl.size() < 2) return false;
    const std::string host = HostOfUrl(destinationUrl);
    const bool usePac = configUrl.size() >= 2 && (flags & PROXY_FROM_AUTOCONFIG_URL) != 0;
    // WPAD asks DNS for "wpad" on every connect; on networks without it that is seconds of waiting
    // for nothing, so it runs only where a setting asks for it.
    const bool useWpad =
        (flags & PROXY_AUTODETECT) != 0 && getRegistryKey(KEY_PROXY, "AutoDetectProxy", 0) != 0;
    if (!usePac && !useWpad) return false;
    if (fromSystem && ListedInNoProxy(host)) {
        Log(LOG_TRACE, 1, "GetProxySettings: %s is listed in no_proxy", host.c_str());
        return false;
    }
    const int timeoutMs = AutoProxyTimeoutMs();
    const std::string configs[] = {usePac ? "pac+" + configUrl : std::string(), useWpad ? "wpad://" : ""};
    for (const std::string& config : configs) {
        if (config.empty()) continue;
        const AutoAnswer answer = LookupAutomatically(config, destinationUrl, timeoutMs);
        if (!answer.answered) continue;
        std::string joined;
        for (const std::string& p : answer.proxies) joined += (joined.empty() ? "" : " ") + p;
        Log(LOG_TRACE, 1, "GetProxySettings: auto-config %s answers %s", config.c_str(), joined.c_str());
        if (ProxyFromAnswer(answer, proxyHost, port)) return true;
    }
    return false;
}

bool TrySettings(std::string& proxyHost, int& port, const std::string& destinationUrl) {
    std::optional<std::string> server;
    const int own = getRegistryKey(KEY_PROXY, "ProxyEnable", 0);
    Log(LOG_TRACE, 1, "GetProxySettings: Zeph Proxy Enable %d", own);
    if (own != 0) {
        server = ReadString(KEY_PROXY, "ProxyServer");
    } else {
        // The system's settings are the environment; "pac+URL" names an auto-config file, which
        // the automatic step has already asked, not a proxy.
        const std::string sys = Env("http_proxy", "HTTP_PROXY");
        const int enabled = !sys.empty() && sys.rfind("pac+", 0) != 0;
        Log(LOG_TRACE, 1, "GetProxySettings: System Proxy Enable %d", enabled);
        if (!enabled) {
            Log(LOG_TRACE, 0, "GetProxySettings: Failed to read ProxyServer value");
            return false;
        }
        if (const std::string host = HostOfUrl(destinationUrl); ListedInNoProxy(host)) {
            Log(LOG_TRACE, 1, "GetProxySettings: %s is listed in no_proxy", host.c_str());
            return false;
        }
        server = EnvProxyToServerText(sys);
    }
    if (!server) {
        Log(LOG_TRACE, 0, "GetProxySettings: Failed to read ProxyServer value");
        return false;
    }
    return ParseProxyServer(*server, proxyHost, port);
}

}  // namespace

bool GetProxySettings(std::string& proxyHost, int& port, const std::string& destinationUrl, int flags) {
    try {
        if (flags > 1 && TryAutomatic(proxyHost, port, destinationUrl, flags)) return true;
        if ((flags & PROXY_FROM_SETTINGS) == 0) {
            Log(LOG_TRACE, 0, "GetProxySettings: Failed to read ProxyServer value");
            return false;
        }
        return TrySettings(proxyHost, port, destinationUrl);
    } catch (...) {
        Log(LOG_TRACE, 0, "GetProxySettings: Failed - Exception raised");
        return false;
    }
}

bool DirectlyUseProxyIfEnabled() { return getRegistryKey(KEY_PROXY, "DirectlyUseProxyIfEnabled", 1) != 0; }
