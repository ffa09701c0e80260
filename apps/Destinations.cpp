#include "apps/Destinations.h"

#include <json/json.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <sstream>

namespace app {
namespace {

// A config file is a few kilobytes; anything far larger is not one.
constexpr size_t kMaxConfigBytes = 4 << 20;

PublishOptions ForUrl(const PublishOptions& base, const std::string& url) {
    PublishOptions o = base;
    o.url = url;
    o.outputs = {url};
    return o;
}

// One entry of "outputs" onto a copy of the command line's options; the reason when it is bad.
std::string ApplyEntry(const Json::Value& e, PublishOptions& o) {
    if (!e.isObject()) return "is not an object";
    if (!e.isMember("url") || !e["url"].isString() || e["url"].asString().empty()) return "has no \"url\"";
    o.url = e["url"].asString();
    o.outputs = {o.url};
    auto text = [&](const char* key, std::string& into) -> std::string {
        if (!e.isMember(key)) return {};
        if (!e[key].isString()) return std::string("\"") + key + "\" is not a string";
        into = e[key].asString();
        return {};
    };
    auto oneOf = [&](const char* key, std::string& into, std::initializer_list<const char*> allowed) -> std::string {
        if (std::string bad = text(key, into); !bad.empty()) return bad;
        if (!e.isMember(key)) return {};
        for (const char* a : allowed)
            if (into == a) return {};
        return std::string("\"") + key + "\": \"" + into + "\" is not one of the allowed values";
    };
    auto number = [&](const char* key, std::optional<int32_t>& into, int64_t lo, int64_t hi) -> std::string {
        if (!e.isMember(key)) return {};
        if (!e[key].isIntegral() || e[key].asLargestInt() < lo || e[key].asLargestInt() > hi)
            return std::string("\"") + key + "\" needs a whole number from " + std::to_string(lo) + " to " +
                   std::to_string(hi);
        into = static_cast<int32_t>(e[key].asLargestInt());
        return {};
    };
    for (const std::string& key : e.getMemberNames()) {
        static const char* const known[] = {"url",        "user",         "password",           "connect-args",
                                            "record-mode", "buffer-mode", "reconnect-attempts", "reconnect-interval",
                                            "user-agent", "buffer-size",  "socket-buffer"};
        bool ok = false;
        for (const char* k : known) ok = ok || key == k;
        if (!ok) return "has an unknown option \"" + key + "\"";
    }
    std::string bad;
    if (bad.empty()) bad = text("user", o.user);
    if (bad.empty()) bad = text("password", o.password);
    if (bad.empty()) bad = text("user-agent", o.userAgent);
    if (bad.empty()) bad = oneOf("record-mode", o.recordMode, {"live", "record", "append"});
    if (bad.empty()) bad = oneOf("buffer-mode", o.bufferMode, {"wait", "drop"});
    if (bad.empty()) bad = number("reconnect-attempts", o.reconnectAttempts, -1, INT32_MAX);
    if (bad.empty()) bad = number("reconnect-interval", o.reconnectInterval, 100, 86400000);
    if (bad.empty()) bad = number("buffer-size", o.bufferSize, 0, 104857600);
    if (bad.empty()) bad = number("socket-buffer", o.socketBuffer, 0, 10485759);
    if (bad.empty() && e.isMember("connect-args")) {
        // Kept as the text the command line would have given.
        if (!e["connect-args"].isObject()) return "\"connect-args\" is not an object";
        Json::StreamWriterBuilder w;
        w["indentation"] = "";
        o.connectArgs = Json::writeString(w, e["connect-args"]);
    }
    return bad;
}

}  // namespace

std::optional<std::vector<PublishOptions>> ParseDestinations(const PublishOptions& base, std::string_view configText,
                                                             std::string* error) {
    Json::Value root;
    Json::CharReaderBuilder b;
    b["stackLimit"] = 32;
    b["rejectDupKeys"] = true;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    std::string why;
    bool ok = false;
    try {
        ok = r->parse(configText.data(), configText.data() + configText.size(), &root, &why);
    } catch (const std::exception& e) {
        why = e.what();  // nested beyond the stack limit
    }
    if (!ok) {
        while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
        *error = "not JSON: " + why;
        return std::nullopt;
    }
    if (!root.isObject() || !root.isMember("outputs") || !root["outputs"].isArray()) {
        *error = "expected {\"outputs\": [{\"url\": ...}, ...]}";
        return std::nullopt;
    }
    const Json::Value& list = root["outputs"];
    if (list.size() > kMaxDestinations) {
        *error = "more than " + std::to_string(kMaxDestinations) + " outputs";
        return std::nullopt;
    }
    std::vector<PublishOptions> out;
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
        PublishOptions o = base;
        if (std::string bad = ApplyEntry(list[i], o); !bad.empty()) {
            *error = "output " + std::to_string(i + 1) + " " + bad;
            return std::nullopt;
        }
        out.push_back(std::move(o));
    }
    return out;
}

std::optional<std::vector<PublishOptions>> ResolveDestinations(const PublishOptions& base, std::string* error) {
    std::vector<PublishOptions> all;
    for (const std::string& url : base.outputs) all.push_back(ForUrl(base, url));
    if (!base.configFile.empty()) {
        std::ifstream f(base.configFile, std::ios::binary);
        std::ostringstream text;
        if (f) text << f.rdbuf();
        if (!f || text.str().size() > kMaxConfigBytes) {
            *error = "--config " + base.configFile + ": " + (f ? "too large for a config file" : "cannot be read");
            return std::nullopt;
        }
        auto more = ParseDestinations(base, text.str(), error);
        if (!more) {
            *error = "--config " + base.configFile + ": " + *error;
            return std::nullopt;
        }
        for (PublishOptions& o : *more) all.push_back(std::move(o));
    }
    if (all.empty()) *error = "--config " + base.configFile + ": no outputs";
    else if (all.size() > kMaxDestinations) *error = "more than " + std::to_string(kMaxDestinations) + " destinations";
    else return all;
    return std::nullopt;
}

}  // namespace app
