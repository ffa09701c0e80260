#pragma once
// The web page's HTTP server (cpp-httplib on its own thread pool): the page and its event stream,
// the REST API and /metrics, behind one access check. Only the server's own origin may send
// requests from a browser; a token is needed off the loopback address (or when one is given);
// changes go by POST or PUT only. Stop ends the event streams and the server within a few
// seconds: every wait inside it is bounded.
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "apps/ui/PageHost.h"
#include "apps/ui/WebBackend.h"
#include "apps/ui/WebEndpoint.h"

namespace httplib {
class Server;
class Request;
class Response;
}  // namespace httplib

namespace app::ui {

struct RouteContext;

class WebServer {
public:
    // token: empty when none is required. pageError: why `page` is not open, if it is not.
    WebServer(WebEndpoint endpoint, std::string token, PageHost& page, std::string pageError, WebBackend& backend);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Binds and starts serving; false and the reason when the address cannot be had.
    bool Start(std::string* error);
    void Stop();
    int Port() const { return m_port; }
    // The page's address, with the token when one is required.
    std::string PageUrl() const;

private:
    bool Refuse(const httplib::Request& req, httplib::Response& res);
    bool IsOwnOrigin(const std::string& origin, const httplib::Request& req) const;

    const WebEndpoint m_endpoint;
    const std::string m_token;
    std::unique_ptr<RouteContext> m_ctx;
    std::unique_ptr<httplib::Server> m_server;
    int m_port = 0;
    std::vector<std::string> m_origins;      // scheme://authority of our own page
    std::vector<std::string> m_authorities;  // Host headers taken when no token guards the server
    std::thread m_thread;                    // runs the server's accept loop, Start to Stop
    std::future<void> m_done;                // ready once that loop has returned
};

}  // namespace app::ui
