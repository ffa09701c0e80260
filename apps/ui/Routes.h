#pragma once
// Inside the web server: the routes it serves with the methods each takes (the access check
// answers 404 and 405 from this table before any handler runs), what the handlers share, and
// the JSON answers they give.
#include <httplib.h>
#include <json/json.h>

#include <atomic>
#include <functional>
#include <string>
#include <string_view>

#include "apps/ui/PageHost.h"
#include "apps/ui/WebBackend.h"

namespace app::ui {

struct Route {
    const char* path;
    const char* methods;  // as for an Allow header
    bool needsToken;      // when a token is required at all
};
inline constexpr Route kRoutes[] = {
    {"/", "GET, HEAD", false},
    {"/ui/state", "GET, HEAD", true},
    {"/ui/events", "GET", true},
    {"/ui/command", "POST", true},
    {"/ui/apply", "POST", true},
    {"/api/status", "GET, HEAD", true},
    {"/api/statistics", "GET, HEAD", true},
    {"/api/options", "GET, HEAD, PUT", true},
    {"/api/cuepoint", "POST", true},
    {"/api/metadata", "POST", true},
    {"/api/clear-metadata", "POST", true},
    {"/api/invoke", "POST", true},
    {"/api/command", "POST", true},
    {"/api/restart", "POST", true},
    {"/api/drop-connection", "POST", true},
    {"/api/connect", "POST", true},
    {"/api/disconnect", "POST", true},
    {"/metrics", "GET, HEAD", true},
};
const Route* FindRoute(std::string_view path);
bool AllowsMethod(const Route& r, std::string_view method);

struct RouteContext {
    RouteContext(PageHost& p, std::string error, WebBackend& b) : page(p), pageError(std::move(error)), backend(b) {}
    PageHost& page;
    std::string pageError;  // why there is no page, when there is none
    WebBackend& backend;
    std::atomic<bool> stopping{false};
    std::atomic<int> eventStreams{0};  // open /ui/events streams
};

// A POST or PUT handler with the request's body read (empty when the request has none: a bare
// `curl -X POST` sends no length).
using BodyHandler = std::function<void(const httplib::Request&, const std::string& body, httplib::Response&)>;
void OnBody(httplib::Server& server, std::string_view method, const std::string& path, BodyHandler handler);

// The answer's body, sent uncompressed whatever the client accepts.
void SendBody(httplib::Response& res, std::string body, const char* contentType);
void SendJson(httplib::Response& res, int status, const Json::Value& body);
void SendError(httplib::Response& res, int status, const std::string& message);
// The request's body as JSON; false and a 400 answer when it is not. An empty body reads as
// `empty` when given, else it is an error too.
bool ReadJsonBody(const std::string& body, httplib::Response& res, Json::Value& out, const Json::Value* empty = nullptr);

void AddUiRoutes(httplib::Server& server, RouteContext& ctx);
void AddApiRoutes(httplib::Server& server, RouteContext& ctx);

}  // namespace app::ui
