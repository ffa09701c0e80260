#include "apps/ui/WebServer.h"

#include <httplib.h>

#include <chrono>
#include <memory>

#include "apps/ControlChannel.h"
#include "apps/ui/Routes.h"

namespace app::ui {
namespace {

using namespace std::chrono_literals;

// The bounds of a connection: an idle keep-alive connection, a slow request or a client that
// stops reading all let a server thread go within these, so Stop never waits longer.
constexpr time_t kKeepAliveSeconds = 1;
constexpr time_t kReadSeconds = 2;
constexpr time_t kWriteSeconds = 2;
constexpr size_t kMaxBody = 1u << 20;
constexpr auto kStopBound = 10s;

bool IsWildcard(const WebEndpoint& e) { return e.host == "0.0.0.0" || e.host == "::"; }

const char* DefaultMessage(int status) {
    switch (status) {
    case 400: return "bad request";
    case 404: return "no such path";
    case 405: return "method not allowed";
    case 413: return "request body too large (1 MiB at most)";
    case 414: return "request URI too long";
    default: return status >= 500 ? "internal error" : "request refused";
    }
}

}  // namespace

const Route* FindRoute(std::string_view path) {
    for (const Route& r : kRoutes)
        if (path == r.path) return &r;
    return nullptr;
}

bool AllowsMethod(const Route& r, std::string_view method) {
    std::string_view list = r.methods;
    while (!list.empty()) {
        const size_t comma = list.find(',');
        std::string_view m = list.substr(0, comma);
        while (!m.empty() && m.front() == ' ') m.remove_prefix(1);
        if (m == method) return true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

void SendBody(httplib::Response& res, std::string body, const char* contentType) {
    // A body of known length given through a provider goes out as it is. A body set as content
    // is compressed for a browser that accepts it, with brotli at its best (slowest) setting:
    // 8 ms of the writer's CPU for the page, 4 ms for a state, to save a few kilobytes on a
    // loopback or LAN link. The event stream is never compressed either.
    auto text = std::make_shared<const std::string>(std::move(body));
    res.set_content_provider(text->size(), contentType, [text](size_t offset, size_t length, httplib::DataSink& sink) {
        return offset <= text->size() && length <= text->size() - offset && sink.write(text->data() + offset, length);
    });
}

void SendJson(httplib::Response& res, int status, const Json::Value& body) {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["emitUTF8"] = true;
    b["precision"] = 15;  // 9.945, not 9.9450000000000003
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    SendBody(res, Json::writeString(b, body) + "\n", "application/json");
}

void SendError(httplib::Response& res, int status, const std::string& message) {
    Json::Value v(Json::objectValue);
    v["error"] = message;
    SendJson(res, status, v);
}

void OnBody(httplib::Server& server, std::string_view method, const std::string& path, BodyHandler handler) {
    auto read = [handler](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
        std::string body;
        if (req.has_header("Content-Length") || req.has_header("Transfer-Encoding")) {
            const bool whole = reader([&](const char* data, size_t n) {
                if (body.size() + n > kMaxBody) return false;
                body.append(data, n);
                return true;
            });
            if (!whole) return SendError(res, body.size() >= kMaxBody / 2 ? 413 : 400, "the request body could not be read whole (1 MiB at most)");
        }
        handler(req, body, res);
    };
    if (method == "PUT") server.Put(path, read);
    else server.Post(path, read);
}

bool ReadJsonBody(const std::string& body, httplib::Response& res, Json::Value& out, const Json::Value* empty) {
    if (body.find_first_not_of(" \t\r\n") == std::string::npos) {
        if (empty) return out = *empty, true;
        SendError(res, 400, "the request needs a JSON body");
        return false;
    }
    std::string error;
    if (ParseJson(body, out, &error)) return true;
    SendError(res, 400, error);
    return false;
}

WebServer::WebServer(WebEndpoint endpoint, std::string token, PageHost& page, std::string pageError, WebBackend& backend)
    : m_endpoint(std::move(endpoint)),
      m_token(std::move(token)),
      m_ctx(std::make_unique<RouteContext>(page, std::move(pageError), backend)),
      m_server(std::make_unique<httplib::Server>()) {}

WebServer::~WebServer() { Stop(); }

bool WebServer::IsOwnOrigin(const std::string& origin, const httplib::Request& req) const {
    for (const std::string& o : m_origins)
        if (origin == o) return true;
    // Bound to every address: the page is reached under whatever name the user typed, and the
    // token guards it.
    return IsWildcard(m_endpoint) && req.has_header("Host") && origin == "http://" + req.get_header_value("Host");
}

// The access check before any handler runs; true when it answered the request itself.
bool WebServer::Refuse(const httplib::Request& req, httplib::Response& res) {
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("X-Frame-Options", "DENY");
    res.set_header("Referrer-Policy", "no-referrer");
    auto refuse = [&](int status, const std::string& why) {
        SendError(res, status, why);
        res.set_header("Connection", "close");  // its body, if any, was not read
        return true;
    };
    if (req.has_header("Origin") && !IsOwnOrigin(req.get_header_value("Origin"), req))
        return refuse(403, "requests from another origin are refused");
    // Without a token, a page of another site whose name was pointed at the loopback address
    // would be same-origin with us; it still says its own name in Host.
    if (m_token.empty() && req.has_header("Host")) {
        const std::string host = req.get_header_value("Host");
        bool known = false;
        for (const std::string& a : m_authorities) known = known || host == a;
        if (!known) return refuse(403, "unexpected Host \"" + host + "\"");
    }
    const Route* route = FindRoute(req.path);
    if (!m_token.empty() && (!route || route->needsToken)) {
        std::string given = req.get_header_value("X-QV-Token");
        // A browser's EventSource cannot send headers: the stream alone takes it in the query.
        if (given.empty() && req.path == "/ui/events") given = req.get_param_value("token");
        if (given.empty()) return refuse(401, "this server needs its token in the X-QV-Token header");
        if (!SameSecret(given, m_token)) return refuse(403, "wrong token");
    }
    if (!route) return refuse(404, "no such path: " + req.path);
    if (!AllowsMethod(*route, req.method)) {
        refuse(405, req.method + " is not allowed on " + req.path + " (allowed: " + route->methods + ")");
        res.set_header("Allow", route->methods);
        return true;
    }
    return false;
}

bool WebServer::Start(std::string* error) {
    httplib::Server& s = *m_server;
    s.set_keep_alive_timeout(kKeepAliveSeconds);
    s.set_read_timeout(kReadSeconds, 0);
    s.set_write_timeout(kWriteSeconds, 0);
    s.set_payload_max_length(kMaxBody);
    s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        return Refuse(req, res) ? httplib::Server::HandlerResponse::Handled : httplib::Server::HandlerResponse::Unhandled;
    });
    s.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty() || res.content_provider_) return httplib::Server::HandlerResponse::Unhandled;
        SendError(res, res.status, DefaultMessage(res.status));
        return httplib::Server::HandlerResponse::Handled;
    }));
    s.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
        std::string what = "internal error";
        try {
            if (ep) std::rethrow_exception(ep);
        } catch (const std::exception& e) {
            what += std::string(": ") + e.what();
        } catch (...) {
        }
        SendError(res, 500, what);
    });
    AddUiRoutes(s, *m_ctx);
    AddApiRoutes(s, *m_ctx);

    m_port = m_endpoint.port;
    if (m_port == 0) m_port = s.bind_to_any_port(m_endpoint.host);
    else if (!s.bind_to_port(m_endpoint.host, m_port)) m_port = -1;
    if (m_port <= 0) {
        if (error)
            *error = "cannot listen on " + m_endpoint.Authority(m_endpoint.port) +
                     " (the port is taken, or the address is not one of this machine's)";
        return false;
    }
    m_origins = OwnOrigins(m_endpoint, m_port);
    for (const std::string& o : m_origins) m_authorities.push_back(o.substr(o.find("://") + 3));
    std::packaged_task<void()> loop([this] { m_server->listen_after_bind(); });
    m_done = loop.get_future();
    m_thread = std::thread(std::move(loop));
    return true;
}

void WebServer::Stop() {
    if (!m_thread.joinable()) return;
    m_ctx->stopping = true;
    // A stop that comes before the accept loop has begun does not reach it: repeat it until the
    // loop has returned.
    const auto deadline = std::chrono::steady_clock::now() + kStopBound;
    do m_server->stop();
    while (m_done.wait_for(20ms) != std::future_status::ready && std::chrono::steady_clock::now() < deadline);
    if (m_done.wait_for(0ms) == std::future_status::ready) {
        m_thread.join();
        return;
    }
    // A handler still inside the writer past the bound: the process is ending, so the server is
    // left to it rather than destroyed under its threads.
    m_thread.detach();
    (void)m_server.release();
    (void)m_ctx.release();
}

std::string WebServer::PageUrl() const {
    return "http://" + m_endpoint.Authority(m_port) + "/" + (m_token.empty() ? "" : "?token=" + m_token);
}

}  // namespace app::ui
