#pragma once
// Reads the XML that nginx's rtmp_stat page serves: applications, their live streams and the
// clients of each stream. Only the elements the tests look at are kept.
#include <string>
#include <string_view>
#include <vector>

namespace qvtest {

struct NginxStatClient {
    std::string address;
    std::string flashVer;
    bool publishing = false;
};

struct NginxStatStream {
    std::string app;
    std::string name;
    bool publishing = false;  // the stream has a publisher
    bool active = false;
    long long bytesIn = 0;
    std::vector<NginxStatClient> clients;
};

std::vector<NginxStatStream> parseNginxStats(std::string_view xml);

}  // namespace qvtest
