// Server message bodies through the AMF0 readers the way the dispatch reads them, plus the JSON
// converter on the same bytes as text.
#include <string_view>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "rtmp/Amf0Reader.h"
#include "rtmp/JsonAmf0.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Quiet();
    const std::span<const uint8_t> body(data, size);
    // A command: name, transaction, markers, then an information object read property by
    // property until its end.
    rtmp::CAmf0Reader r(body);
    (void)r.ReadString(), (void)r.ReadNumber();
    while (r.SkipNullOrObject() != rtmp::CAmf0Reader::Marker::None) {
    }
    (void)r.ReadNumber();
    for (size_t last = r.Position(); !r.AtPropertyListEnd(); last = r.Position()) {
        (void)r.ReadPropertyName(), (void)r.ReadValueAsText();
        fuzz::Check(r.Position() > last, "the property loop does not move on");
    }
    (void)rtmp::StatusText(body);
    for (size_t off = 0; off < size && off < 512; ++off) {  // every reader from every offset
        (void)rtmp::CAmf0Reader(body, off).ReadValueAsText();
        rtmp::CAmf0Reader b(body, off);
        (void)b.ReadString(), (void)b.ReadPropertyName();
    }
    // The same bytes as JSON text.
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<uint8_t> out(4096);
    rtmp::CAmfWriter w(out), m(out);
    rtmp::WriteConnectArguments(w, text);
    Json::Value root;
    if (rtmp::ParseJson(text, root)) rtmp::WriteJsonMembers(m, root, out.size(), 0);
    return 0;
}
