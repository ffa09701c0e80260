// The REST API for scripts and monitoring: status and statistics, the writer's options, the
// control commands of the --control channel, connect and disconnect, and /metrics.
#include <cmath>

#include "apps/EventReporter.h"
#include "apps/ui/FilterOptions.h"
#include "apps/ui/Metrics.h"
#include "apps/ui/Routes.h"

namespace app::ui {
namespace {

std::string Compact(const Json::Value& v) {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["emitUTF8"] = true;
    return Json::writeString(b, v);
}

void SendOutcome(httplib::Response& res, const Outcome& o) {
    if (!o.ok()) return SendError(res, o.status, o.error);
    Json::Value out(Json::objectValue);
    out["result"] = "ok";
    SendJson(res, 200, out);
}

Json::Value Status(RouteContext& ctx) {
    const RunSnapshot s = ctx.backend.Figures();
    Json::Value v(Json::objectValue);
    v["state"] = s.connectionState();
    v["phase"] = PhaseName(s.phase);
    v["connected"] = s.connected();
    v["url"] = s.url;
    v["reconnects"] = Json::Int64(s.reconnects);
    v["uptime"] = std::round(s.seconds * 1000) / 1000;
    v["page"] = ctx.page.IsOpen();
    return v;
}

Json::Value Statistics(RouteContext& ctx) {
    const RunSnapshot s = ctx.backend.Figures();
    Json::Value v = EventReporter::StatisticsJson(s.statistics);
    v["time"] = std::round(s.statisticsSeconds * 1000) / 1000;
    v["connected"] = s.connected();
    return v;
}

// A control command from its route: the body is the --control object ({"cuepoint": {...}}) or
// just its value ({...}); the commands that take `true` need no body.
void Control(RouteContext& ctx, const std::string& kind, const std::string& text, httplib::Response& res) {
    const Json::Value yes(true);
    const bool flag = kind == "restart" || kind == "drop-connection" || kind == "clear-metadata";
    Json::Value body;
    if (!ReadJsonBody(text, res, body, flag ? &yes : nullptr)) return;
    Json::Value line(Json::objectValue);
    if (body.isObject() && body.size() == 1 && body.isMember(kind)) line = body;
    else line[kind] = body;
    std::string error;
    const std::optional<ControlCommand> c = ParseControlLine(Compact(line), &error);
    if (!c) return SendError(res, 400, error);
    SendOutcome(res, ctx.backend.Control(*c));
}

}  // namespace

void AddApiRoutes(httplib::Server& server, RouteContext& ctx) {
    server.Get("/api/status", [&ctx](const httplib::Request&, httplib::Response& res) { SendJson(res, 200, Status(ctx)); });
    server.Get("/api/statistics",
               [&ctx](const httplib::Request&, httplib::Response& res) { SendJson(res, 200, Statistics(ctx)); });
    server.Get("/api/options", [&ctx](const httplib::Request&, httplib::Response& res) {
        SendJson(res, 200, ReadOptions(ctx.backend.Filter()));
    });
    OnBody(server, "PUT", "/api/options", [&ctx](const httplib::Request&, const std::string& text, httplib::Response& res) {
        Json::Value body;
        if (!ReadJsonBody(text, res, body)) return;
        if (std::string error = WriteOptions(ctx.backend.Filter(), body); !error.empty()) return SendError(res, 400, error);
        SendJson(res, 200, ReadOptions(ctx.backend.Filter()));
    });
    for (const char* kind : {"cuepoint", "metadata", "clear-metadata", "invoke", "command", "restart", "drop-connection"}) {
        OnBody(server, "POST", std::string("/api/") + kind,
               [&ctx, k = std::string(kind)](const httplib::Request&, const std::string& body, httplib::Response& res) {
                   Control(ctx, k, body, res);
               });
    }
    OnBody(server, "POST", "/api/connect", [&ctx](const httplib::Request&, const std::string&, httplib::Response& res) {
        SendOutcome(res, ctx.backend.Connect());
    });
    OnBody(server, "POST", "/api/disconnect", [&ctx](const httplib::Request&, const std::string&, httplib::Response& res) {
        SendOutcome(res, ctx.backend.Disconnect());
    });
    server.Get("/metrics", [&ctx](const httplib::Request&, httplib::Response& res) {
        res.set_header("Cache-Control", "no-store");
        SendBody(res, FormatMetrics(ctx.backend.Figures()), kMetricsContentType);
    });
}

}  // namespace app::ui
