// rtmpwriter over TLS and IPv6: nginx's stream module terminates TLS (a throwaway CA made here
// with the openssl CLI) in front of the private nginx-rtmp, which also listens on [::1]. The
// recordings are judged frame for frame; the failures must each end in one clear line, the
// connect exit code and no hang; ffmpeg publishing rtmps:// to the same front end cross-checks it.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <iostream>

#include "TestServers.h"
#include "apps/ExitCodes.h"

using namespace std::chrono_literals;
using qvtest::ChildProcess;

namespace {

std::string Fixture(const std::string& name) { return std::string(QV_FIXTURE_DIR) + "/" + name; }

// Runs a command to its end (bounded), its output in `log`; the exit code, -1 on a hang.
int RunCommand(const std::vector<std::string>& args, const std::string& log, std::chrono::seconds bound = 60s) {
    ChildProcess p;
    if (!p.start({args, false, log, log})) return -1;
    const auto code = p.wait(bound);
    return code ? *code : (p.stop(SIGKILL, 1s), -1);
}

// A listener that accepts nothing: the kernel completes the TCP connect, nobody ever answers.
struct SilentListener {
    SilentListener() {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), len) == 0 && ::listen(fd, 4) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port = ntohs(a.sin_port);
    }
    ~SilentListener() { ::close(fd); }
    int fd = -1, port = 0;
};

// nginx-rtmp on [::1] with TLS front ends on 127.0.0.1: `tls` with the good certificate,
// `other` with the other name's. Ports stay the same across a restart.
struct Front {
    std::unique_ptr<qvtest::NginxServer> server;
    int rtmp = 0, tls = 0, other = 0;
    explicit operator bool() const { return server != nullptr; }
};
class SecureTransport : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(pki->ok());
        // The CA, a certificate for localhost/127.0.0.1/::1 and one for another name, all signed by it.
        const std::string d = pki->path();
        const std::string script =
            "set -e; cd " + d +
            "; openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj /CN=qv-test-ca;"
            " cert() { openssl req -newkey rsa:2048 -nodes -keyout $1.key -out $1.csr -subj /CN=$2;"
            " printf 'subjectAltName=%s\\n' $3 > $1.ext;"
            " openssl x509 -req -in $1.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile $1.ext -out $1.pem; };"
            " cert good localhost DNS:localhost,IP:127.0.0.1,IP:::1; cert other other.example DNS:other.example";
        ASSERT_EQ(RunCommand({"sh", "-c", script}, d + "/openssl.log"), 0) << qvtest::readFile(d + "/openssl.log").value_or("");
        std::string error;
        ASSERT_TRUE((nginx = StartNginx(false, &error))) << error;
    }
    static void TearDownTestSuite() { nginx.server.reset(); }

    static Front StartNginx(bool unique, std::string* error) {
        Front f;
        f.rtmp = qvtest::freeTcpPort().value_or(0);
        f.tls = qvtest::freeTcpPort().value_or(0);
        f.other = qvtest::freeTcpPort().value_or(0);
        std::string stream;
        for (auto [port, cert] : {std::pair{f.tls, "good"}, std::pair{f.other, "other"}})
            stream += "server { listen 127.0.0.1:" + std::to_string(port) + " ssl; ssl_certificate " + pki->file(std::string(cert) + ".pem") +
                      "; ssl_certificate_key " + pki->file(std::string(cert) + ".key") + "; proxy_pass [::1]:" + std::to_string(f.rtmp) + "; } ";
        f.server = std::make_unique<qvtest::NginxServer>(
            qvtest::NginxOptions{.rtmpPort = f.rtmp, .unique = unique, .listenHost = "[::1]", .streamConfig = stream});
        if (!f.server->start(error)) f.server.reset();
        return f;
    }
    std::vector<std::string> Writer(const std::string& url, const std::string& v, const std::string& a) const {
        return {QV_RTMPWRITER, url, "--video", Fixture(v + ".h264"), "--audio", Fixture(a + ".aac"), "--connect-timeout", "3"};
    }
    static int Check(const std::vector<std::string>& files, const std::string& v, const std::string& a, int lost = 0) {
        std::vector<std::string> args{"--segments"};
        args.insert(args.end(), files.begin(), files.end());
        args.insert(args.end(), {"--video", Fixture(v + ".h264"), "--audio", Fixture(a + ".aac")});
        if (lost) args.insert(args.end(), {"--lost", std::to_string(lost)});
        const auto [code, verdict] = qvtest::checkRecording(args, 120s);
        std::cout << verdict;
        return code;
    }

    static inline std::unique_ptr<qvtest::TempDir> pki = std::make_unique<qvtest::TempDir>("qv-pki");
    static inline Front nginx;
    qvtest::TempDir dir{"qv-tls"};
};

// Publishing: rtmps with the test's CA, and IPv6 to the bracketed literal; both recordings must
// match their inputs frame for frame. ffmpeg publishing rtmps:// to the same front end shows the
// front end is a TLS peer that some other client accepts, not one shaped after ours.
TEST_F(SecureTransport, PublishesOverTlsAndIpv6FrameForFrame) {
    struct Row {
        std::string name, url;
        std::vector<std::string> extra;
    };
    const std::string tls = "rtmps://localhost:" + std::to_string(nginx.tls) + "/live/";
    const std::vector<Row> rows{{"tls", tls + "tls", {"--ca-file", pki->file("ca.pem")}},
                                {"ipv6", "rtmp://[::1]:" + std::to_string(nginx.rtmp) + "/live/ipv6", {}}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        auto args = Writer(r.url, "x264def", "aac48s");
        args.insert(args.end(), r.extra.begin(), r.extra.end());
        const std::string log = dir.file(r.name + ".err");
        EXPECT_EQ(RunCommand(args, log, 90s), 0) << qvtest::readFile(log).value_or("");
        EXPECT_TRUE(nginx.server->waitPublishing("live", r.name, false, 10s));
        EXPECT_EQ(Check({nginx.server->recordFile(r.name)}, "x264def", "aac48s"), 0);
    }
    const std::string log = dir.file("ffmpeg.txt");
    EXPECT_EQ(RunCommand({"ffmpeg", "-nostdin", "-loglevel", "error", "-re", "-i", Fixture("x264def.nut"), "-c", "copy", "-f", "flv", "-tls_verify", "1", "-ca_file", pki->file("ca.pem"), tls + "ffmpeg"},
                  log, 90s),
              0)
        << qvtest::readFile(log).value_or("");
    EXPECT_TRUE(nginx.server->waitPublishing("live", "ffmpeg", false, 10s));
    const auto probe = qvtest::ffprobeJson(nginx.server->recordFile("ffmpeg"));
    ASSERT_TRUE(probe);
    ASSERT_GE((*probe)["streams"].size(), 1u);
    EXPECT_EQ((*probe)["streams"][0]["codec_name"], "h264");
}

// Each failure: the connect exit code within the connect time-out (3 s, plus the start-up), and
// one line on stderr that says what to fix.
TEST_F(SecureTransport, FailuresEndInOneClearLineAndTheConnectExitCode) {
    SilentListener silent;
    ASSERT_GT(silent.port, 0);
    struct Row {
        std::string name, url, line;
        std::vector<std::string> extra;
    };
    const auto at = [](int port, const char* host = "localhost") {
        return std::string("rtmps://") + host + ":" + std::to_string(port) + "/live/s";
    };
    const std::vector<Row> rows{
        {"untrusted", at(nginx.tls), "certificate not trusted: CN=localhost", {}},
        {"other name", at(nginx.other), "host name mismatch", {"--ca-file", pki->file("ca.pem")}},
        {"stalled", at(silent.port), "TLS handshake timed out", {}},
        {"plain RTMP on the TLS port", at(nginx.rtmp, "[::1]"), "TLS handshake", {"--ca-file", pki->file("ca.pem")}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        auto args = Writer(r.url, "x264def", "aac48s");
        args.insert(args.end(), r.extra.begin(), r.extra.end());
        const std::string log = dir.file("fail.err");
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(RunCommand(args, log, 30s), app::EXIT_CONNECT);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 12s);
        const std::string err = qvtest::readFile(log).value_or("");
        EXPECT_NE(err.find(r.line), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }
    // --insecure takes the untrusted certificate, and says so.
    auto args = Writer(at(nginx.tls), "x264def", "aac48s");
    args.push_back("--insecure");
    EXPECT_EQ(RunCommand(args, dir.file("insecure.err"), 90s), 0);
    EXPECT_NE(qvtest::readFile(dir.file("insecure.err")).value_or("").find("--insecure"), std::string::npos);
}

// The server goes away mid-stream over TLS and comes back on the same ports: the writer
// reconnects through the TLS front end and the second segment decodes.
TEST_F(SecureTransport, ARestartOfTheServerMidStreamIsSurvived) {
    std::string error;
    Front f = StartNginx(true, &error);
    ASSERT_TRUE(f) << error;
    auto args = Writer("rtmps://localhost:" + std::to_string(f.tls) + "/live/restart", "rt20", "aac20");
    args.insert(args.end(), {"--ca-file", pki->file("ca.pem"), "--reconnect-attempts=-1", "--reconnect-interval", "500"});
    ChildProcess writer;
    ASSERT_TRUE(writer.start({args, false, {}, dir.file("restart.err")}, &error)) << error;
    EXPECT_FALSE(writer.wait(6s));
    f.server->stop();
    EXPECT_FALSE(writer.wait(2s));
    ASSERT_TRUE(f.server->start(&error)) << error;
    EXPECT_EQ(writer.wait(90s), 0) << qvtest::readFile(dir.file("restart.err")).value_or("");
    EXPECT_TRUE(f.server->waitPublishing("live", "restart", false, 10s));
    const auto files = f.server->recordFiles("restart");
    EXPECT_EQ(files.size(), 2u);
    EXPECT_EQ(Check(files, "rt20", "aac20", 8), 0);
}

}  // namespace
