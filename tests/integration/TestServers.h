#pragma once
// Test servers for the publishing client: a private nginx with the RTMP module, the scriptable
// fake RTMP server (tests/tools/fake_rtmp_server.py) and an ffprobe wrapper, plus the small
// network and file helpers they share. Nothing here depends on the product's libraries.
#include <chrono>
#include <optional>
#include <string>

#include "ChildProcess.h"
#include "FakeRtmpServer.h"
#include "FfprobeJson.h"
#include "NginxServer.h"
#include "TempDir.h"

namespace qvtest {

// A TCP port that was free a moment ago on the loopback address: bound to port 0 and closed.
// Another process may take it before it is used, so callers retry on "address in use".
std::optional<int> freeTcpPort(const std::string& host = "127.0.0.1");

// Whether a TCP connection to host:port is accepted within the time-out.
bool tcpAccepts(const std::string& host, int port, std::chrono::milliseconds timeout);

std::optional<std::string> readFile(const std::string& path);
bool writeFile(const std::string& path, const std::string& text);

// "rtmp://[user:password@]host:port/app/stream" with "[::1]" for an IPv6 host.
std::string rtmpUrl(const std::string& host, int port, const std::string& app,
                    const std::string& stream, const std::string& user = {},
                    const std::string& password = {});

// ffmpeg publishing `seconds` of a 320x240 25 fps test pattern (H.264, one key frame a second,
// AAC sine tone when withAudio) as FLV to url, paced to real time.
ChildProcess::Options ffmpegPublishCommand(const std::string& url, double seconds,
                                           const std::string& stderrFile, bool withAudio = false);

}  // namespace qvtest
