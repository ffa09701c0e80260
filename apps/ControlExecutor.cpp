#include "apps/ControlExecutor.h"

#include <vector>

#include "apps/InputStream.h"
#include "filter/CodecApiKeys.h"
#include "filter/FilterInterfaces.h"
#include "foundation/TextConvert.h"
#include "platform/com/ComPtr.h"

namespace app {
namespace {

HRESULT Trigger(ICodecAPI* api, const GUID& key) {
    VARIANT v;
    v.vt = VT_EMPTY;
    v.byref = nullptr;
    return api->SetValue(&key, &v);
}

}  // namespace

ControlResult ExecuteControl(IBaseFilter* filter, const ControlCommand& c) {
    CComPtr<IBaseFilter> f(filter);
    CComPtr<IRTMPMetadataSink> meta;
    CComPtr<IRTMPCommandSink> cmd;
    CComPtr<ICodecAPI> api;
    if (FAILED(f.As(IID_IRTMPMetadataSink, meta)) || FAILED(f.As(IID_IRTMPCommandSink, cmd)) ||
        FAILED(f.As(IID_ICodecAPI, api)))
        return {false, "the writer does not take script data or commands"};
    const std::string kind = KindName(c.kind);
    HRESULT hr = E_FAIL;
    std::string error;
    switch (c.kind) {
    case ControlCommand::Kind::CuePoint:
    case ControlCommand::Kind::Metadata: {
        PairList pairs;
        if (!pairs.Build(c.values, &error)) return {false, kind + ": " + error};
        hr = c.kind == ControlCommand::Kind::CuePoint ? meta->SendCuepoint(pairs.data(), pairs.count())
                                                      : meta->SendMetadata(pairs.count(), pairs.data(), 0);
        break;
    }
    case ControlCommand::Kind::Invoke: {
        Json::StreamWriterBuilder b;
        b["indentation"] = "";
        const std::string args = Json::writeString(b, c.values);
        hr = meta->SendInvokeString(Utf8ToWide(c.name).c_str(), Utf8ToWide(args).c_str(), L"", c.store ? 0 : 1);
        break;
    }
    case ControlCommand::Kind::Command: {
        ArgumentList args;
        if (c.values.isObject()) args.Build(c.values);
        hr = cmd->SendRTMPCommand(Utf8ToWide(c.name).c_str(), c.values.isObject() ? &args.variant() : nullptr, nullptr, 0);
        break;
    }
    case ControlCommand::Kind::ClearMetadata: hr = meta->ClearMetadata(); break;
    case ControlCommand::Kind::Restart: hr = Trigger(api.get(), CODECAPI_QV_RestartStream); break;
    case ControlCommand::Kind::DropConnection: hr = Trigger(api.get(), CODECAPI_QV_DropConnection); break;
    }
    if (SUCCEEDED(hr)) return {true, {}};
    return {false, kind + ": the writer refused it (not connected?)"};
}

void ReadControlChannel(const std::string& path, const std::atomic<bool>& stop, EventReporter& reporter,
                        const std::function<void(const ControlCommand&)>& execute) {
    InputStream in;
    std::string error;
    if (!in.Open(path, &error)) {
        reporter.Control("open", false, error);
        return;
    }
    LineSplitter lines;
    std::vector<uint8_t> buf(4096);
    int lineNo = 0;
    auto handle = [&](const std::string& line, bool tooLong) {
        ++lineNo;
        if (line.find_first_not_of(" \t\r") == std::string::npos) return;
        std::string why;
        std::optional<ControlCommand> c = tooLong ? std::nullopt : ParseControlLine(line, &why);
        if (tooLong) why = "line longer than 64 KiB";
        if (!c) {
            reporter.Control("parse", false, "line " + std::to_string(lineNo) + ": " + why);
            return;
        }
        execute(*c);
    };
    while (!stop) {
        size_t got = 0;
        const InputStream::Result r = in.Read(buf.data(), buf.size(), &got, stop, &error);
        if (r == InputStream::Result::Data) {
            lines.Push({buf.data(), got});
            bool tooLong = false;
            while (auto line = lines.Next(&tooLong)) handle(*line, tooLong);
            continue;
        }
        if (r == InputStream::Result::End) {
            if (auto rest = lines.Rest()) handle(*rest, false);
            // A FIFO ends with each writer; the next one opens it again.
            if (in.IsLive() && path != "-" && in.Open(path, &error)) continue;
        } else if (r == InputStream::Result::Error) {
            reporter.Control("read", false, error);
        }
        return;
    }
}

}  // namespace app
