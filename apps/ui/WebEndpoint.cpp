#include "apps/ui/WebEndpoint.h"

#include <arpa/inet.h>
#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <random>

namespace app::ui {

std::string WebEndpoint::Authority(int actualPort) const {
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(actualPort);
}

std::optional<WebEndpoint> ParseWebEndpoint(std::string_view text, std::string* error) {
    auto fail = [&](const std::string& why) -> std::optional<WebEndpoint> {
        if (error) *error = why;
        return std::nullopt;
    };
    const std::string expected = "expected [ADDR:]PORT, e.g. 8080, 127.0.0.1:8080 or [::1]:8080";
    WebEndpoint e;
    std::string_view port = text;
    const size_t colon = text.rfind(':');
    if (colon != std::string_view::npos) {
        std::string_view addr = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (addr.size() >= 2 && addr.front() == '[' && addr.back() == ']') {
            addr = addr.substr(1, addr.size() - 2);
            e.ipv6 = true;
        }
        e.host = std::string(addr);
        unsigned char buf[16];
        if (e.ipv6 ? inet_pton(AF_INET6, e.host.c_str(), buf) != 1 : inet_pton(AF_INET, e.host.c_str(), buf) != 1)
            return fail("\"" + std::string(text) + "\": not a numeric " + (e.ipv6 ? "IPv6" : "IPv4") +
                        " address; " + expected);
        e.loopback = e.ipv6 ? e.host == "::1" : e.host == "127.0.0.1";
    }
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos)
        return fail("\"" + std::string(text) + "\": " + expected);
    e.port = std::stoi(std::string(port));
    if (e.port > 65535) return fail("\"" + std::string(text) + "\": the port must be 0 to 65535");
    return e;
}

bool IsValidToken(std::string_view token) {
    if (token.size() < 8 || token.size() > 128) return false;
    for (char c : token)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
              c == '_' || c == '~'))
            return false;
    return true;
}

std::string GenerateToken() {
    unsigned char bytes[16] = {};
    size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n > 0) got += static_cast<size_t>(n);
        else if (n < 0 && errno != EINTR) break;
    }
    if (got < sizeof bytes) {  // a kernel without getrandom: the library's device
        std::random_device device;
        for (unsigned char& b : bytes) b = static_cast<unsigned char>(device());
    }
    std::string hex;
    char two[3];
    for (unsigned char b : bytes) std::snprintf(two, sizeof two, "%02x", b), hex += two;
    return hex;
}

std::vector<std::string> OwnOrigins(const WebEndpoint& e, int actualPort) {
    const std::string port = ":" + std::to_string(actualPort);
    std::vector<std::string> origins{"http://" + e.Authority(actualPort)};
    if (e.loopback) origins.push_back("http://localhost" + port);
    return origins;
}

bool SameSecret(std::string_view a, std::string_view b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
    return diff == 0;
}

}  // namespace app::ui
