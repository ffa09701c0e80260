#include "NginxStats.h"

#include <cstdlib>

namespace qvtest {
namespace {

// The element's body between <tag> and its matching </tag>, starting the search at pos; pos is
// moved past the closing tag. Elements of one name do not nest in the stat page's layout.
bool nextElement(std::string_view xml, std::string_view tag, size_t& pos, std::string_view& body)
{
    const std::string open = "<" + std::string(tag) + ">";
    const std::string close = "</" + std::string(tag) + ">";
    const size_t start = xml.find(open, pos);
    if (start == std::string_view::npos)
        return false;
    const size_t end = xml.find(close, start + open.size());
    if (end == std::string_view::npos)
        return false;
    body = xml.substr(start + open.size(), end - start - open.size());
    pos = end + close.size();
    return true;
}

// Text of the first <tag> in xml that comes before any nested element named in `before`.
std::string firstText(std::string_view xml, std::string_view tag, std::string_view before = {})
{
    size_t pos = 0;
    std::string_view body;
    if (!nextElement(xml, tag, pos, body))
        return {};
    if (!before.empty()) {
        const size_t nested = xml.find("<" + std::string(before) + ">");
        if (nested != std::string_view::npos && nested < pos)
            return {};
    }
    return std::string(body);
}

// Whether <flag/> appears in xml outside the nested <child> elements.
bool hasOwnFlag(std::string_view xml, std::string_view flag, std::string_view child)
{
    const std::string marker = "<" + std::string(flag) + "/>";
    const std::string open = "<" + std::string(child) + ">";
    const std::string close = "</" + std::string(child) + ">";
    size_t pos = 0;
    while (pos < xml.size()) {
        const size_t nextChild = xml.find(open, pos);
        const size_t stop = nextChild == std::string_view::npos ? xml.size() : nextChild;
        const size_t found = xml.substr(pos, stop - pos).find(marker);
        if (found != std::string_view::npos)
            return true;
        if (nextChild == std::string_view::npos)
            return false;
        const size_t end = xml.find(close, nextChild);
        if (end == std::string_view::npos)
            return false;
        pos = end + close.size();
    }
    return false;
}

}  // namespace

std::vector<NginxStatStream> parseNginxStats(std::string_view xml)
{
    std::vector<NginxStatStream> streams;
    size_t appPos = 0;
    std::string_view app;
    while (nextElement(xml, "application", appPos, app)) {
        const std::string appName = firstText(app, "name", "live");
        size_t streamPos = 0;
        std::string_view stream;
        while (nextElement(app, "stream", streamPos, stream)) {
            NginxStatStream s;
            s.app = appName;
            s.name = firstText(stream, "name", "client");
            s.publishing = hasOwnFlag(stream, "publishing", "client");
            s.active = hasOwnFlag(stream, "active", "client");
            s.bytesIn = std::atoll(firstText(stream, "bytes_in", "client").c_str());
            size_t clientPos = 0;
            std::string_view client;
            while (nextElement(stream, "client", clientPos, client)) {
                NginxStatClient c;
                c.address = firstText(client, "address");
                c.flashVer = firstText(client, "flashver");
                c.publishing = client.find("<publishing/>") != std::string_view::npos;
                s.clients.push_back(std::move(c));
            }
            streams.push_back(std::move(s));
        }
    }
    return streams;
}

}  // namespace qvtest
