// The web page's own routes: the page, its state, the event stream of its changes, and the
// user's clicks, edits and Apply, carried to the property page through the dialog model.
#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include "apps/ui/PageAssets.h"
#include "apps/ui/Routes.h"

namespace app::ui {
namespace {

using namespace std::chrono_literals;
using ::ui::ControlState;
using ::ui::DialogModel;

// How often a quiet stream says it is alive (a proxy or browser may drop a silent one), and how
// long one wait on the model may last, which bounds how long the server's stop waits for it.
constexpr auto kHeartbeat = 10s;
constexpr auto kWaitSlice = 250ms;
// The page's figures change up to 25 times a second (the refresh thread's period); a reader takes
// in two a second, and the statistics behind most of them change once a second. So pushes are
// paced like a token bucket: one token every 500 ms, at most four held. While the figures move,
// their changes go together twice a second (a browser watching costs the stream two wake-ups a
// second, not one per change); after a quiet spell the few pushes a person's clicks make (a check
// box, Apply's dirty flag, the status Connect brings) go at once.
constexpr auto kPushInterval = 500ms;
constexpr double kPushBurst = 4;
// Each open stream holds one of the server's threads; the rest stay for the other requests.
constexpr int kMaxEventStreams = 4;

const char* KindName(ControlKind k) {
    switch (k) {
    case ControlKind::Edit: return "edit";
    case ControlKind::Button: return "button";
    case ControlKind::CheckBox: return "checkbox";
    case ControlKind::Text: return "text";
    }
    return "?";
}

Json::Value Optional(const std::optional<std::string>& s) { return s ? Json::Value(*s) : Json::Value(); }

// A control's value as the stream and the state carry it; a password's text never.
Json::Value ValueJson(const ControlState& c) {
    Json::Value v(Json::objectValue);
    v["id"] = c.id;
    if (c.password) v["set"] = c.set;
    else v["text"] = c.text;
    v["checked"] = c.checked;
    return v;
}

Json::Value StateJson(RouteContext& ctx) {
    const ::ui::DialogState s = ctx.page.Model().State();
    Json::Value out(Json::objectValue);
    out["title"] = ctx.page.Title();
    out["open"] = s.open;
    out["dirty"] = s.dirty;
    if (!ctx.pageError.empty()) out["error"] = ctx.pageError;
    Json::Value controls(Json::arrayValue);
    for (const ControlState& c : s.controls) {
        Json::Value v = ValueJson(c);
        v["kind"] = KindName(c.kind);
        v["label"] = c.label;
        v["unit"] = Optional(c.unit);
        v["group"] = Optional(c.group);
        if (c.password) v["password"] = true;
        controls.append(v);
    }
    out["controls"] = controls;
    return out;
}

// The stream's events are written out directly: they go several a second to every browser
// watching, and a JSON writer built for each cost more than the rest of a push.
std::string ControlEvent(const ControlState& c) {
    std::string e = "event: control\ndata: {\"id\":" + std::to_string(c.id);
    if (c.password) e += c.set ? ",\"set\":true" : ",\"set\":false";
    else e += ",\"text\":" + Json::valueToQuotedString(c.text.c_str());
    return e + (c.checked ? ",\"checked\":true}\n\n" : ",\"checked\":false}\n\n");
}

std::string DirtyEvent(bool dirty) {
    return dirty ? "event: dirty\ndata: {\"dirty\":true}\n\n" : "event: dirty\ndata: {\"dirty\":false}\n\n";
}

// What an event stream keeps between the calls of its provider.
struct EventStream {
    bool started = false;
    uint64_t sequence = 0;
    std::chrono::steady_clock::time_point lastWrite = std::chrono::steady_clock::now();
    double tokens = kPushBurst;  // pushes that may go without waiting, as of lastWrite
};

// The whole state as a burst: every control, then the dirty flag.
std::string Burst(const ::ui::DialogState& s) {
    std::string text;
    for (const ControlState& c : s.controls) text += ControlEvent(c);
    return text + DirtyEvent(s.dirty);
}

bool ServeEvents(RouteContext& ctx, EventStream& st, httplib::DataSink& sink) {
    DialogModel& model = ctx.page.Model();
    auto write = [&](const std::string& text) {
        const auto now = std::chrono::steady_clock::now();
        st.tokens = std::min(kPushBurst, st.tokens + std::chrono::duration<double>(now - st.lastWrite) / kPushInterval) - 1;
        st.lastWrite = now;
        return sink.write(text.data(), text.size());
    };
    if (!st.started) {
        st.started = true;
        const ::ui::DialogState s = model.State();
        st.sequence = s.sequence;
        return write("retry: 2000\n\n" + Burst(s));
    }
    // Short of a whole token: wait until one has come.
    if (st.tokens < 1) {
        const auto due = st.lastWrite + std::chrono::duration_cast<std::chrono::steady_clock::duration>((1 - st.tokens) * kPushInterval);
        std::this_thread::sleep_until(due);
    }
    while (!ctx.stopping.load()) {
        const ::ui::DialogChanges d = model.WaitForChanges(st.sequence, kWaitSlice);
        if (d.sequence != st.sequence) {
            st.sequence = d.sequence;
            if (d.closed) {
                const ::ui::DialogState s = model.State();
                st.sequence = s.sequence;
                return write(Burst(s));
            }
            std::string text;
            for (const ControlState& c : d.controls) text += ControlEvent(c);
            if (d.dirtyChanged) text += DirtyEvent(d.dirty);
            if (!text.empty()) return write(text);
        }
        if (std::chrono::steady_clock::now() - st.lastWrite >= kHeartbeat) return write(": alive\n\n");
        if (!sink.is_writable()) return false;
    }
    return false;
}

// The model's answer to a user action, as HTTP.
bool Answer(httplib::Response& res, RouteContext& ctx, DialogModel::Result r, int id, const char* needs) {
    switch (r) {
    case DialogModel::Result::Ok: return true;
    case DialogModel::Result::NoDialog:
        SendError(res, 409, ctx.pageError.empty() ? "the property page is not open" : ctx.pageError);
        return false;
    case DialogModel::Result::UnknownControl: SendError(res, 400, "no control " + std::to_string(id)); return false;
    case DialogModel::Result::WrongKind:
        SendError(res, 400, "control " + std::to_string(id) + " " + needs);
        return false;
    }
    return false;
}

std::optional<ControlState> FindControl(RouteContext& ctx, int id) {
    for (ControlState& c : ctx.page.Model().State().controls)
        if (c.id == id) return c;
    return std::nullopt;
}

void Command(RouteContext& ctx, const std::string& text, httplib::Response& res) {
    Json::Value body;
    if (!ReadJsonBody(text, res, body)) return;
    if (!body.isObject() || !body["id"].isInt())
        return SendError(res, 400, "expected {\"id\": N}, {\"id\": N, \"text\": \"...\"} or {\"id\": N, \"checked\": true|false}");
    const int id = body["id"].asInt();
    DialogModel& model = ctx.page.Model();
    if (body.isMember("text")) {
        if (!body["text"].isString()) return SendError(res, 400, "\"text\" must be a string");
        if (!Answer(res, ctx, model.UserSetText(id, body["text"].asString()), id, "is not an edit box")) return;
    } else if (body.isMember("checked")) {
        if (!body["checked"].isBool()) return SendError(res, 400, "\"checked\" must be true or false");
        if (!Answer(res, ctx, model.UserSetCheck(id, body["checked"].asBool()), id, "is not a check box")) return;
    } else {
        const std::optional<ControlState> c = FindControl(ctx, id);
        if (c && c->kind == ControlKind::Button) {
            const Outcome o = ctx.backend.BeforePageClick(c->label);
            if (!o.ok()) return SendError(res, o.status, o.error);
        }
        if (!Answer(res, ctx, model.UserClick(id), id, "is not a button")) return;
    }
    Json::Value out(Json::objectValue);
    out["result"] = "ok";
    out["dirty"] = model.State().dirty;
    SendJson(res, 200, out);
}

void Apply(RouteContext& ctx, const std::string& text, httplib::Response& res) {
    Json::Value body;
    if (!ReadJsonBody(text, res, body)) return;
    const Json::Value& values = body.isObject() ? body["controls"] : Json::Value::nullSingleton();
    if (!values.isObject())
        return SendError(res, 400, "expected {\"controls\": {\"<id>\": \"text\" or true|false, ...}}");
    if (!ctx.page.IsOpen()) return SendError(res, 409, ctx.pageError.empty() ? "the property page is not open" : ctx.pageError);
    // Every value is checked before any is stored.
    std::vector<std::pair<int, const Json::Value*>> todo;
    for (auto it = values.begin(); it != values.end(); ++it) {
        const std::string key = it.name();
        const bool numeric = !key.empty() && key.size() < 10 && key.find_first_not_of("0123456789") == std::string::npos;
        const std::optional<ControlState> c = numeric ? FindControl(ctx, std::stoi(key)) : std::nullopt;
        if (!c) return SendError(res, 400, "no control \"" + key + "\"");
        if (c->kind == ControlKind::Edit && !it->isString())
            return SendError(res, 400, "control " + key + " is an edit box: its value must be a string");
        if (c->kind == ControlKind::CheckBox && !it->isBool())
            return SendError(res, 400, "control " + key + " is a check box: its value must be true or false");
        if (c->kind != ControlKind::Edit && c->kind != ControlKind::CheckBox)
            return SendError(res, 400, "control " + key + " has no value to apply");
        todo.emplace_back(c->id, &*it);
    }
    DialogModel& model = ctx.page.Model();
    for (const auto& [id, v] : todo) {
        const DialogModel::Result r = v->isBool() ? model.UserSetCheck(id, v->asBool()) : model.UserSetText(id, v->asString());
        if (!Answer(res, ctx, r, id, "changed kind")) return;
    }
    const HRESULT hr = ctx.page.Apply();
    if (FAILED(hr)) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
        return SendError(res, 400, std::string("the property page could not apply the values (") + code + ")");
    }
    SendJson(res, 200, StateJson(ctx));
}

}  // namespace

void AddUiRoutes(httplib::Server& server, RouteContext& ctx) {
    server.Get("/", [&ctx](const httplib::Request&, httplib::Response& res) {
        std::string title = ctx.page.Title();
        if (title.empty()) title = "rtmpwriter";
        res.set_header("Content-Security-Policy",
                       "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; connect-src 'self'; "
                       "frame-ancestors 'none'; base-uri 'none'; form-action 'none'");
        SendBody(res, RenderPage(title, ctx.page.Model().State(), ctx.pageError), "text/html; charset=utf-8");
    });
    server.Get("/ui/state", [&ctx](const httplib::Request&, httplib::Response& res) { SendJson(res, 200, StateJson(ctx)); });
    server.Get("/ui/events", [&ctx](const httplib::Request&, httplib::Response& res) {
        if (ctx.eventStreams.fetch_add(1) >= kMaxEventStreams) {
            ctx.eventStreams.fetch_sub(1);
            return SendError(res, 503, "too many event streams are open");
        }
        auto st = std::make_shared<EventStream>();
        res.set_header("Cache-Control", "no-store");
        res.set_chunked_content_provider(
            "text/event-stream",
            [&ctx, st](size_t, httplib::DataSink& sink) { return ServeEvents(ctx, *st, sink); },
            [&ctx](bool) { ctx.eventStreams.fetch_sub(1); });
    });
    OnBody(server, "POST", "/ui/command",
           [&ctx](const httplib::Request&, const std::string& body, httplib::Response& res) { Command(ctx, body, res); });
    OnBody(server, "POST", "/ui/apply",
           [&ctx](const httplib::Request&, const std::string& body, httplib::Response& res) { Apply(ctx, body, res); });
}

}  // namespace app::ui
