#pragma once
// Where the web page listens and who may use it: --ui [ADDR:]PORT parsed into a bind address,
// whether the address is the loopback one (then no token is needed unless one is given), the
// token itself, and the origins a browser may send requests from.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace app::ui {

struct WebEndpoint {
    std::string host = "127.0.0.1";  // numeric; IPv6 without brackets
    int port = 0;                    // 0: any free port
    bool ipv6 = false;
    bool loopback = true;            // 127.0.0.1 or ::1 exactly

    // host:port as it goes into a URL ([::1]:8080).
    std::string Authority(int actualPort) const;
};

// "PORT", "ADDR:PORT" or "[V6ADDR]:PORT" with a numeric address; nothing and *error otherwise.
std::optional<WebEndpoint> ParseWebEndpoint(std::string_view text, std::string* error);
// A token a user may choose: 8 to 128 characters of letters, digits and -._~ (safe in a URL).
bool IsValidToken(std::string_view token);
// 128 random bits as 32 hex digits.
std::string GenerateToken();
// The origins (scheme://authority) of the server's own page: its bind address, and the names
// of the loopback address.
std::vector<std::string> OwnOrigins(const WebEndpoint& e, int actualPort);
// Comparison that takes the same time wherever the texts differ.
bool SameSecret(std::string_view a, std::string_view b);

}  // namespace app::ui
