#include "rtmp/JsonAmf0.h"

#include "foundation/Log.h"

namespace rtmp {

namespace {

constexpr size_t MARGIN = 16;
constexpr size_t CONTAINER_SIZE = 8;

// Bytes a scalar member's value takes, as budgeted before writing.
size_t ScalarSize(const Json::Value& v) {
    if (v.isIntegral() || v.isDouble()) return v.isConvertibleTo(Json::realValue) ? amf0::NUMBER_SIZE : amf0::NULL_SIZE;
    if (v.isString()) {
        const char* b = nullptr;
        const char* e = nullptr;
        v.getString(&b, &e);
        return amf0::StringSize(static_cast<size_t>(e - b));
    }
    if (v.isBool()) return amf0::BOOLEAN_SIZE;
    return amf0::NULL_SIZE;
}

bool WriteScalar(CAmfWriter& w, const Json::Value& v) {
    if (v.isIntegral() || v.isDouble()) {
        if (!v.isConvertibleTo(Json::realValue)) return w.Null();
        return w.Number(v.asDouble());
    }
    if (v.isString()) {
        const char* b = nullptr;
        const char* e = nullptr;
        v.getString(&b, &e);
        return w.String(std::string_view(b, static_cast<size_t>(e - b)));
    }
    if (v.isBool()) return w.Boolean(v.asBool());
    return w.Null();
}

// Room left under `capacity` once `used` bytes are written, keeping the margin.
size_t Budget(size_t capacity, size_t used) {
    return capacity > MARGIN + used ? capacity - MARGIN - used : 0;
}

}  // namespace

bool ParseJson(std::string_view json, Json::Value& root) {
    Json::Reader reader;
    return reader.parse(json.data(), json.data() + json.size(), root, false);
}

bool WriteConnectArguments(CAmfWriter& w, std::string_view json) {
    Json::Value root;
    if (!ParseJson(json, root)) {
        Log(LOG_ERROR, 1, "RTMP connect arguments are not valid JSON; none are sent");
        return false;
    }
    if (!root.isObject()) {
        Log(LOG_ERROR, 1, "RTMP connect arguments are not a JSON object; none are sent");
        return false;
    }
    const size_t start = w.Size();
    if (!w.ObjectStart()) return false;
    for (auto it = root.begin(); it != root.end(); ++it) {
        const std::string name = it.name();
        if (name.empty()) continue;
        const Json::Value& v = *it;
        // Arrays and objects have no place among the connect arguments: they go as null.
        const size_t need = amf0::PropertyNameSize(name.size()) + (v.isArray() || v.isObject() ? amf0::NULL_SIZE : ScalarSize(v));
        if (need > Budget(CONNECT_ARGS_ALLOWANCE, w.Size() - start)) {
            Log(LOG_ERROR, 1, "RTMP connect argument %s does not fit and is left out", name.c_str());
            continue;
        }
        if (!w.PropertyName(name)) return false;
        if (v.isArray() || v.isObject()) {
            if (!w.Null()) return false;
        } else if (!WriteScalar(w, v)) {
            return false;
        }
    }
    return w.ObjectEnd();
}

bool WriteJsonMembers(CAmfWriter& w, const Json::Value& value, size_t capacity, int level) {
    if (!value.isObject()) return false;
    if (capacity < MARGIN) return true;
    const size_t start = w.Size();
    for (auto it = value.begin(); it != value.end(); ++it) {
        const std::string name = it.name();
        if (name.empty()) continue;
        const Json::Value& v = *it;
        const bool container = v.isArray() || v.isObject();
        const size_t need = amf0::PropertyNameSize(name.size()) + (container ? CONTAINER_SIZE : ScalarSize(v));
        const size_t used = w.Size() - start;
        if (need > Budget(capacity, used)) continue;
        if (!w.PropertyName(name)) return true;
        if (!container) {
            if (!WriteScalar(w, v)) return true;
            continue;
        }
        if (v.isArray()) {
            // A JSON array has no named members, so it is sent as an empty ECMA array.
            if (!w.EcmaArrayStart(0) || !w.ObjectEnd()) return true;
            continue;
        }
        if (!w.ObjectStart()) return true;
        if (level + 1 <= JSON_MAX_NESTING) {
            // The child may use what is left once this member's name and markers are counted.
            const size_t childCapacity = capacity - used - need;
            WriteJsonMembers(w, v, childCapacity, level + 1);
        }
        if (!w.ObjectEnd()) return true;
    }
    return true;
}

}  // namespace rtmp
