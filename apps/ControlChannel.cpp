#include "apps/ControlChannel.h"

#include <limits>

#include "foundation/TextConvert.h"

namespace app {
namespace {

constexpr int kMaxDepth = 8;

}  // namespace

bool ParseJson(std::string_view text, Json::Value& out, std::string* error) {
    Json::CharReaderBuilder b;
    b["collectComments"] = false;
    b["stackLimit"] = 32;
    std::unique_ptr<Json::CharReader> r(b.newCharReader());
    std::string errs;
    bool ok = false;
    try {
        ok = r->parse(text.data(), text.data() + text.size(), &out, &errs);
    } catch (const std::exception&) {
        // jsoncpp throws when the nesting passes the stack limit.
        errs = "nested too deeply";
    }
    if (!ok) {
        if (error) {
            *error = "not valid JSON";
            const size_t nl = errs.find('\n', errs.find('\n') + 1);
            if (!errs.empty()) *error += ": " + errs.substr(0, nl == std::string::npos ? errs.size() : nl);
            // jsoncpp's report: "* Line 1, Column 1\n  Syntax error: ..." on one line, plainly.
            std::string plain;
            for (char c : *error) {
                if (c == '\n' || c == '*') c = ' ';
                if (c == ' ' && (plain.empty() || plain.back() == ' ' || plain.back() == ':')) {
                    if (!plain.empty() && plain.back() == ':') plain += ' ';
                    continue;
                }
                plain += c;
            }
            while (!plain.empty() && plain.back() == ' ') plain.pop_back();
            *error = plain;
        }
        return false;
    }
    return true;
}

namespace {

bool IsTrue(const Json::Value& v) { return v.isBool() && v.asBool(); }

}  // namespace

void LineSplitter::Push(std::span<const uint8_t> bytes) {
    for (uint8_t b : bytes) {
        const char c = static_cast<char>(b);
        if (c == '\n') {
            if (!m_buf.empty() && m_buf.back() == '\r') m_buf.pop_back();
            if (m_discarding) m_discarding = false;
            else m_lines.emplace_back(std::move(m_buf), false);
            m_buf.clear();
            continue;
        }
        if (m_discarding) continue;
        if (m_buf.size() >= kMaxLine) {
            m_lines.emplace_back(std::move(m_buf), true);
            m_buf.clear();
            m_discarding = true;
            continue;
        }
        m_buf.push_back(c);
    }
}

std::optional<std::string> LineSplitter::Next(bool* tooLong) {
    if (m_lines.empty()) return std::nullopt;
    auto [line, longFlag] = std::move(m_lines.front());
    m_lines.pop_front();
    if (tooLong) *tooLong = longFlag;
    return line;
}

std::optional<std::string> LineSplitter::Rest() {
    if (m_buf.empty() || m_discarding) return std::nullopt;
    std::string rest = std::move(m_buf);
    m_buf.clear();
    return rest;
}

const char* KindName(ControlCommand::Kind kind) {
    switch (kind) {
    case ControlCommand::Kind::CuePoint: return "cuepoint";
    case ControlCommand::Kind::Metadata: return "metadata";
    case ControlCommand::Kind::Invoke: return "invoke";
    case ControlCommand::Kind::Command: return "command";
    case ControlCommand::Kind::ClearMetadata: return "clear-metadata";
    case ControlCommand::Kind::Restart: return "restart";
    case ControlCommand::Kind::DropConnection: return "drop-connection";
    }
    return "?";
}

std::optional<ControlCommand> ParseControlLine(std::string_view line, std::string* error) {
    Json::Value root;
    if (!ParseJson(line, root, error)) return std::nullopt;
    auto fail = [&](std::string why) -> std::optional<ControlCommand> {
        if (error) *error = std::move(why);
        return std::nullopt;
    };
    if (!root.isObject() || root.size() != 1) return fail("expected an object with exactly one member");
    const std::string key = root.getMemberNames().front();
    const Json::Value& v = root[key];
    ControlCommand c;
    if (key == "cuepoint" || key == "metadata") {
        c.kind = key == "cuepoint" ? ControlCommand::Kind::CuePoint : ControlCommand::Kind::Metadata;
        if (!v.isObject() || v.empty()) return fail("\"" + key + "\" needs an object with at least one member");
        c.values = v;
        return c;
    }
    if (key == "invoke") {
        c.kind = ControlCommand::Kind::Invoke;
        if (!v.isObject() || !v["name"].isString() || v["name"].asString().empty())
            return fail("\"invoke\" needs {\"name\": \"...\", \"args\": {...}}");
        c.name = v["name"].asString();
        const Json::Value& args = v["args"];
        if (!args.isNull() && !args.isObject()) return fail("\"invoke\" args must be an object");
        c.values = args.isNull() ? Json::Value(Json::objectValue) : args;
        if (v.isMember("store") && !v["store"].isBool()) return fail("\"invoke\" store must be true or false");
        c.store = IsTrue(v["store"]);
        return c;
    }
    if (key == "command") {
        c.kind = ControlCommand::Kind::Command;
        if (v.isString()) {
            c.name = v.asString();
        } else if (v.isObject() && v["name"].isString()) {
            c.name = v["name"].asString();
            const Json::Value& args = v["args"];
            if (!args.isNull() && !args.isObject()) return fail("\"command\" args must be an object");
            c.values = args;
        }
        if (c.name.empty()) return fail("\"command\" needs a name: \"name\" or {\"name\": \"...\", \"args\": {...}}");
        return c;
    }
    if (key == "clear-metadata" || key == "restart" || key == "drop-connection") {
        if (!IsTrue(v)) return fail("\"" + key + "\" takes the value true");
        c.kind = key == "clear-metadata" ? ControlCommand::Kind::ClearMetadata
                 : key == "restart"      ? ControlCommand::Kind::Restart
                                         : ControlCommand::Kind::DropConnection;
        return c;
    }
    return fail("unknown control \"" + key + "\"");
}

bool PairList::Build(const Json::Value& object, std::string* error) {
    m_pairs.clear();
    m_ptrs.clear();
    if (!object.isObject()) {
        if (error) *error = "expected an object";
        return false;
    }
    m_pairs.reserve(object.size());
    for (auto it = object.begin(); it != object.end(); ++it) {
        const Json::Value& v = *it;
        KeyValuePair p;
        m_texts.push_back(it.name());
        p.key = m_texts.back().c_str();
        if (v.isString()) {
            m_texts.push_back(v.asString());
            p.value = m_texts.back().c_str();
            p.type = m_texts.back().size() < 4096 ? KVP_TEXT : KVP_TEXT_WHOLE;
        } else if (v.isBool()) {
            m_bools.push_back(v.asBool() ? 1 : 0);
            p.value = &m_bools.back();
            p.type = KVP_BOOL;
        } else if (v.isInt() && v.asInt64() >= std::numeric_limits<int32_t>::min() &&
                   v.asInt64() <= std::numeric_limits<int32_t>::max()) {
            m_ints.push_back(static_cast<int32_t>(v.asInt64()));
            p.value = &m_ints.back();
            p.type = KVP_INT32;
        } else if (v.isNumeric()) {
            m_doubles.push_back(v.asDouble());
            p.value = &m_doubles.back();
            p.type = KVP_DOUBLE;
        } else {
            if (error) *error = "member \"" + it.name() + "\": only strings, numbers and booleans can be sent here";
            m_pairs.clear();
            return false;
        }
        m_pairs.push_back(p);
    }
    for (const KeyValuePair& p : m_pairs) m_ptrs.push_back(&p);
    return true;
}

ArgumentList::~ArgumentList() {
    // Nested lists are owned by m_children; only the texts belong to the variants.
    for (VARIANT& v : m_values)
        if (v.vt == VT_BSTR) VariantClear(&v);
}

void ArgumentList::Build(const Json::Value& object, int depth) {
    if (object.isObject() && depth < kMaxDepth) {
        for (auto it = object.begin(); it != object.end(); ++it) {
            const Json::Value& v = *it;
            VARIANT var;
            if (v.isString()) {
                var.vt = VT_BSTR;
                var.bstrVal = SysAllocString(Utf8ToWide(v.asString()).c_str());
            } else if (v.isBool()) {
                var.vt = VT_BOOL;
                var.boolVal = v.asBool() ? VARIANT_TRUE : VARIANT_FALSE;
            } else if (v.isInt() && v.asInt64() >= std::numeric_limits<int32_t>::min() &&
                       v.asInt64() <= std::numeric_limits<int32_t>::max()) {
                var.vt = VT_INT;
                var.intVal = static_cast<int32_t>(v.asInt64());
            } else if (v.isObject()) {
                auto child = std::make_unique<ArgumentList>();
                child->Build(v, depth + 1);
                var = child->variant();
                m_children.push_back(std::move(child));
            } else {
                continue;  // no RTMP command form for fractions, nulls and arrays
            }
            m_names.push_back(Utf8ToWide(it.name()));
            m_values.push_back(var);
        }
    }
    for (const std::wstring& n : m_names) m_namePtrs.push_back(n.c_str());
    m_list.names = m_namePtrs.data();
    m_list.values = m_values.data();
    m_list.count = static_cast<uint32_t>(m_values.size());
    m_variant.vt = VT_KEYVALUELIST;
    m_variant.pkvlVal = &m_list;
}

}  // namespace app
