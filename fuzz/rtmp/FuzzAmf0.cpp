// Server message bodies through the AMF0 readers the way the dispatch reads them, plus the JSON
// converter on the same bytes as text.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "platform/DebugOutput.h"
#include "rtmp/Amf0Reader.h"
#include "rtmp/JsonAmf0.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        platform::SetDebugOutputSink([](std::string_view) {});
        return true;
    }();
    (void)quiet;
    const std::span<const uint8_t> body(data, size);

    // A command: name, transaction, markers, then an information object read property by
    // property until its end.
    rtmp::CAmf0Reader r(body);
    (void)r.ReadString();
    (void)r.ReadNumber();
    while (r.SkipNullOrObject() != rtmp::CAmf0Reader::Marker::None) {
    }
    (void)r.ReadNumber();
    size_t last = r.Position();
    while (!r.AtPropertyListEnd()) {
        (void)r.ReadPropertyName();
        (void)r.ReadValueAsText();
        if (r.Position() <= last) __builtin_trap();  // the loop must always move on
        last = r.Position();
    }
    (void)rtmp::StatusText(body);

    // Every reader from every offset.
    for (size_t off = 0; off < size && off < 512; ++off) {
        rtmp::CAmf0Reader a(body, off);
        (void)a.ReadValueAsText();
        rtmp::CAmf0Reader b(body, off);
        (void)b.ReadString();
        (void)b.ReadPropertyName();
    }

    // The same bytes as JSON text.
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<uint8_t> out(4096);
    rtmp::CAmfWriter w(out);
    rtmp::WriteConnectArguments(w, text);
    Json::Value root;
    if (rtmp::ParseJson(text, root)) {
        rtmp::CAmfWriter m(out);
        rtmp::WriteJsonMembers(m, root, out.size(), 0);
    }
    return 0;
}
