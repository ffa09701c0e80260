#include "apps/ui/FilterOptions.h"

#include <array>
#include <optional>
#include <vector>

#include "filter/CodecApiKeys.h"
#include "filter/FilterInterfaces.h"
#include "foundation/TextConvert.h"
#include "platform/com/ComPtr.h"
#include "platform/com/TaskMem.h"

namespace app::ui {
namespace {

// How an option's value looks in JSON and in the codec API.
enum class Type {
    Int,        // VT_I4
    UInt,       // VT_UI4
    Bool,       // VT_BOOL
    Text,       // VT_BSTR
    Secret,     // VT_BSTR, never read back
    BufferMode, // VT_UI4: "wait" (0) or "drop" (1)
    RecordMode, // VT_I4: "live" (0), "record" (1) or "append" (2)
    Url,        // IFileSinkFilter
    LiveMode,   // ISinkMode
    AudioDelay, // ISinkMode, ms
};

struct Option {
    const char* name;
    Type type;
    const GUID* key;  // codec-API key, or null for the other interfaces
};

constexpr std::array kOptions{
    Option{"url", Type::Url, nullptr},
    Option{"outputBufferSize", Type::Int, &CODECAPI_QV_OutputBufferSize},
    Option{"outputPacketSize", Type::Int, &CODECAPI_QV_OutputPacketSize},
    Option{"socketBufferSize", Type::Int, &CODECAPI_QV_SocketBufferSize},
    Option{"allowBFrames", Type::Bool, &CODECAPI_QV_AllowBFrames},
    Option{"tcpNoDelay", Type::Bool, &CODECAPI_QV_TcpNoDelay},
    Option{"passthroughPadding", Type::Bool, &CODECAPI_QV_PassthroughPadding},
    Option{"userName", Type::Text, &CODECAPI_QV_UserName},
    Option{"password", Type::Secret, &CODECAPI_QV_Password},
    Option{"reconnectAttempts", Type::Int, &CODECAPI_QV_ReconnectAttempts},
    Option{"reconnectInterval", Type::Int, &CODECAPI_QV_ReconnectInterval},
    Option{"startWithoutConnection", Type::Bool, &CODECAPI_QV_StartWithoutConnection},
    Option{"writeTimecode", Type::Bool, &CODECAPI_QV_WriteTimecode},
    Option{"timecodeInterval", Type::Int, &CODECAPI_QV_TimecodeInterval},
    Option{"firstTimecode", Type::Int, &CODECAPI_QV_FirstTimecode},
    Option{"embedSystemTime", Type::Bool, &CODECAPI_QV_EmbedSystemTime},
    Option{"absoluteTime", Type::UInt, &CODECAPI_QV_AbsoluteTime},
    Option{"bufferMode", Type::BufferMode, &CODECAPI_QV_BufferMode},
    Option{"sendTimeout", Type::Int, &CODECAPI_QV_SendTimeout},
    Option{"receiveTimeout", Type::Int, &CODECAPI_QV_ReceiveTimeout},
    Option{"connectTimeout", Type::Int, &CODECAPI_QV_ConnectTimeout},
    Option{"fallbackPorts", Type::Bool, &CODECAPI_QV_FallbackPortsDefault},
    Option{"fallbackTunnel", Type::Bool, &CODECAPI_QV_FallbackTunnelDefault},
    Option{"userAgent", Type::Text, &CODECAPI_QV_UserAgent},
    Option{"recordMode", Type::RecordMode, &CODECAPI_QV_RecordMode},
    Option{"liveMode", Type::LiveMode, nullptr},
    Option{"audioDelay", Type::AudioDelay, nullptr},
};

constexpr std::array<const char*, 2> kBufferModes{"wait", "drop"};
constexpr std::array<const char*, 3> kRecordModes{"live", "record", "append"};

const Option* FindOption(const std::string& name) {
    for (const Option& o : kOptions)
        if (name == o.name) return &o;
    return nullptr;
}

template <size_t N>
int IndexOf(const std::array<const char*, N>& names, const std::string& v) {
    for (size_t i = 0; i < N; ++i)
        if (v == names[i]) return static_cast<int>(i);
    return -1;
}

// A VARIANT cleared when it goes.
struct Value {
    VARIANT v;
    Value() { VariantInit(&v); }
    ~Value() { VariantClear(&v); }
    Value(const Value&) = delete;
    Value& operator=(const Value&) = delete;
};

struct Interfaces {
    CComPtr<ICodecAPI> api;
    CComPtr<IFileSinkFilter> sink;
    CComPtr<ISinkMode> mode;
    explicit Interfaces(IBaseFilter* filter) {
        CComPtr<IBaseFilter> f(filter);
        f.As(IID_ICodecAPI, api);
        f.As(IID_IFileSinkFilter, sink);
        f.As(IID_ISinkMode, mode);
    }
};

std::optional<Json::Value> Read(Interfaces& i, const Option& o) {
    if (o.type == Type::Url) {
        LPOLESTR url = nullptr;
        if (!i.sink || FAILED(i.sink->GetCurFile(&url, nullptr))) return std::nullopt;
        Json::Value v = url ? WideToUtf8(url) : "";
        CoTaskMemFree(url);
        return v;
    }
    if (o.type == Type::LiveMode || o.type == Type::AudioDelay) {
        if (!i.mode) return std::nullopt;
        BOOL live = FALSE;
        int32_t delay = 0;
        if (o.type == Type::LiveMode) return SUCCEEDED(i.mode->GetLiveMode(&live)) ? std::optional(Json::Value(live != 0)) : std::nullopt;
        return SUCCEEDED(i.mode->GetAudioDelay(&delay)) ? std::optional(Json::Value(delay)) : std::nullopt;
    }
    Value val;
    if (!i.api || FAILED(i.api->GetValue(o.key, &val.v))) return std::nullopt;
    const VARIANT& v = val.v;
    switch (o.type) {
    case Type::Int: if (v.vt == VT_I4) return Json::Value(v.lVal); break;
    case Type::UInt: if (v.vt == VT_UI4) return Json::Value(v.ulVal); break;
    case Type::Bool: if (v.vt == VT_BOOL) return Json::Value(v.boolVal != VARIANT_FALSE); break;
    case Type::Text: if (v.vt == VT_BSTR) return Json::Value(v.bstrVal ? WideToUtf8(v.bstrVal) : ""); break;
    case Type::Secret: if (v.vt == VT_BSTR) return Json::Value(v.bstrVal && *v.bstrVal); break;
    case Type::BufferMode: if (v.vt == VT_UI4) return Json::Value(kBufferModes[v.ulVal == 0 ? 0 : 1]); break;
    case Type::RecordMode:
        if (v.vt == VT_I4 && v.lVal >= 0 && v.lVal < 3) return Json::Value(kRecordModes[static_cast<size_t>(v.lVal)]);
        break;
    default: break;
    }
    return std::nullopt;
}

// What is wrong with `v` as a value of `o`; empty when it fits.
std::string TypeError(const Option& o, const Json::Value& v) {
    const std::string name = std::string("\"") + o.name + "\"";
    switch (o.type) {
    case Type::Int:
    case Type::AudioDelay:
        return v.isInt() ? "" : name + " needs a whole number from -2147483648 to 2147483647";
    case Type::UInt: return v.isUInt() ? "" : name + " needs a whole number from 0 to 4294967295";
    case Type::Bool:
    case Type::LiveMode: return v.isBool() ? "" : name + " needs true or false";
    case Type::Text:
    case Type::Secret:
    case Type::Url: return v.isString() ? "" : name + " needs a string";
    case Type::BufferMode:
        return v.isString() && IndexOf(kBufferModes, v.asString()) >= 0 ? "" : name + " needs \"wait\" or \"drop\"";
    case Type::RecordMode:
        return v.isString() && IndexOf(kRecordModes, v.asString()) >= 0 ? ""
                                                                        : name + " needs \"live\", \"record\" or \"append\"";
    }
    return name + " cannot be set";
}

HRESULT Write(Interfaces& i, const Option& o, const Json::Value& json) {
    if (o.type == Type::Url) return i.sink ? i.sink->SetFileName(Utf8ToWide(json.asString()).c_str(), nullptr) : E_NOINTERFACE;
    if (o.type == Type::LiveMode) return i.mode ? i.mode->SetLiveMode(json.asBool() ? TRUE : FALSE) : E_NOINTERFACE;
    if (o.type == Type::AudioDelay) return i.mode ? i.mode->SetAudioDelay(json.asInt()) : E_NOINTERFACE;
    if (!i.api) return E_NOINTERFACE;
    VARIANT v;
    VariantInit(&v);
    com::CBstr text;
    switch (o.type) {
    case Type::Int: v.vt = VT_I4, v.lVal = json.asInt(); break;
    case Type::UInt: v.vt = VT_UI4, v.ulVal = json.asUInt(); break;
    case Type::Bool: v.vt = VT_BOOL, v.boolVal = json.asBool() ? VARIANT_TRUE : VARIANT_FALSE; break;
    case Type::Text:
    case Type::Secret:
        *text.out() = SysAllocString(Utf8ToWide(json.asString()).c_str());
        v.vt = VT_BSTR, v.bstrVal = text.get();
        break;
    case Type::BufferMode: v.vt = VT_UI4, v.ulVal = static_cast<uint32_t>(IndexOf(kBufferModes, json.asString())); break;
    case Type::RecordMode: v.vt = VT_I4, v.lVal = IndexOf(kRecordModes, json.asString()); break;
    default: return E_INVALIDARG;
    }
    return i.api->SetValue(o.key, &v);
}

}  // namespace

Json::Value ReadOptions(IBaseFilter* filter) {
    Interfaces i(filter);
    Json::Value out(Json::objectValue);
    for (const Option& o : kOptions)
        if (std::optional<Json::Value> v = Read(i, o)) out[o.type == Type::Secret ? "passwordSet" : o.name] = *v;
    return out;
}

std::string WriteOptions(IBaseFilter* filter, const Json::Value& changes) {
    if (!changes.isObject()) return "expected a JSON object of option names and values";
    if (changes.empty()) return "no option given";
    std::vector<std::pair<const Option*, const Json::Value*>> todo;
    for (auto it = changes.begin(); it != changes.end(); ++it) {
        const Option* o = FindOption(it.name());
        if (!o) return "unknown option \"" + it.name() + "\"";
        if (std::string why = TypeError(*o, *it); !why.empty()) return why;
        todo.emplace_back(o, &*it);
    }
    Interfaces i(filter);
    std::string refused;
    for (const auto& [o, v] : todo)
        if (Write(i, *o, *v) != S_OK) refused += (refused.empty() ? "" : ", ") + std::string(o->name);
    return refused.empty() ? "" : "the writer refused " + refused + " (out of range?); the other options were set";
}

}  // namespace app::ui
