// The packet capture's CPU cost while rtmpwriter publishes 720p at about 3 Mbit/s to a private
// nginx, with 10 other busy TCP connections on loopback: the capture threads' CPU time as a share
// of the rest of the publishing process in the same run (target: at most 25%).
// usage: bench_sniffer RTMPWRITER FIXTURE_DIR
#include <arpa/inet.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "TestServers.h"

namespace {

// CPU time of each thread of `pid` in ns (schedstat: a clock tick is too coarse for a thread that
// wakes a few hundred times a second), by thread id, with its name.
void SampleThreads(pid_t pid, std::map<int, std::pair<std::string, long>>& seen) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    FILE* ls = popen(("ls " + dir + " 2>/dev/null").c_str(), "r");
    if (!ls) return;
    int tid;
    while (fscanf(ls, "%d", &tid) == 1) {
        const std::string task = dir + "/" + std::to_string(tid);
        std::ifstream comm(task + "/comm"), sched(task + "/schedstat");
        std::string name;
        long ns = 0;
        if (!std::getline(comm, name) || !(sched >> ns)) continue;
        seen[tid] = {name, ns};
    }
    pclose(ls);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s RTMPWRITER FIXTURE_DIR\n", argv[0]);
        return 2;
    }
    // Loopback's 64 KB segments would carry a whole picture each, so no acknowledgement would
    // ever name a kept segment and the capture's matching would go unmeasured. In a private
    // namespace of its own the bench gives loopback a real link's MTU and no segmentation offload.
    const bool inNamespace = std::getenv("QV_BENCH_NAMESPACE") != nullptr;
    if (!inNamespace && geteuid() == 0) {
        setenv("QV_BENCH_NAMESPACE", "1", 1);
        std::vector<char*> again{const_cast<char*>("unshare"), const_cast<char*>("--net"), const_cast<char*>("--")};
        for (int i = 0; i < argc; ++i) again.push_back(argv[i]);
        again.push_back(nullptr);
        execvp("unshare", again.data());
        std::fprintf(stderr, "unshare: %s; measuring on the machine's loopback\n", std::strerror(errno));
    }
    if (inNamespace && std::system("ip link set lo mtu 1500 gso_max_segs 1 up") != 0)
        return std::fprintf(stderr, "cannot set up the namespace's loopback\n"), 1;
    qvtest::NginxServer nginx;
    std::string error;
    if (!nginx.start(&error)) return std::fprintf(stderr, "nginx: %s\n", error.c_str()), 1;

    // Ten busy loopback connections the capture must look past.
    std::atomic<bool> stop{false};
    std::vector<std::thread> busy;
    const int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(ls, 16);
    getsockname(ls, reinterpret_cast<sockaddr*>(&a), &len);
    std::atomic<uint64_t> busyBytes{0};
    for (int i = 0; i < 10; ++i) {
        const int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
        const int s = accept(ls, nullptr, nullptr);
        busy.emplace_back([c, &stop] {
            std::vector<char> b(16384, 'b');
            while (!stop && send(c, b.data(), b.size(), MSG_NOSIGNAL) > 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(500));  // ~30 MB/s each, not a core each
            }
            close(c);
        });
        busy.emplace_back([s, &busyBytes] {
            char b[65536];
            ssize_t n;
            while ((n = recv(s, b, sizeof b, 0)) > 0) busyBytes += static_cast<uint64_t>(n);
            close(s);
        });
    }

    qvtest::TempDir dir{"qv-bench-sniffer"};
    setenv("QV_SETTINGS_USER", dir.file("user.json").c_str(), 1);
    setenv("QV_SETTINGS_MACHINE", dir.file("machine.json").c_str(), 1);
    const std::string fixtures = argv[2];
    const std::string url = nginx.url("bench"), video = fixtures + "/thr10.h264", audio = fixtures + "/aac10.aac",
                      out = dir.file("out.txt");
    std::vector<std::string> args{argv[1], url, "--video", video, "--audio", audio, "--events", "json"};
    std::vector<char*> cargs;
    for (auto& x : args) cargs.push_back(x.data());
    cargs.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[1], &fa, nullptr, cargs.data(), environ) != 0) return std::fprintf(stderr, "cannot run rtmpwriter\n"), 1;
    posix_spawn_file_actions_destroy(&fa);
    std::map<int, std::pair<std::string, long>> threads;
    int status = 0, code = -1;
    for (int i = 0; i < 600; ++i) {  // bounded: 60 s
        SampleThreads(pid, threads);
        if (waitpid(pid, &status, WNOHANG) == pid) {
            code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // sampling period
    }
    if (code == -1) kill(pid, SIGKILL), waitpid(pid, &status, 0);
    stop = true;
    for (auto& t : busy) t.join();
    close(ls);
    long sniffer = 0, rest = 0;
    for (const auto& [tid, v] : threads) (v.first.rfind("qv-sniff", 0) == 0 ? sniffer : rest) += v.second;
    const std::string events = qvtest::readFile(out).value_or("");
    size_t all = 0, zero = 0;
    for (size_t at = 0; (at = events.find("\"ackBitrate\":", at)) != std::string::npos; ++at, ++all)
        zero += events.compare(at + 13, 2, "0,") == 0;
    const bool measured = all > zero;
    std::printf("publish exit %d; loopback MTU %s; busy loopback traffic %.1f MB/s over 10 connections\n", code,
                inNamespace ? "1500 (private namespace)" : "the machine's",
                static_cast<double>(busyBytes.load()) / 1e6 / 10.0);
    std::printf("cpu: capture threads %.1f ms, rest of the publish %.1f ms; share %.1f%% (target <= 25%%)%s\n",
                static_cast<double>(sniffer) / 1e6, static_cast<double>(rest) / 1e6,
                rest ? 100.0 * static_cast<double>(sniffer) / static_cast<double>(rest) : 0.0,
                measured ? "" : " [no wire figures were reported]");
    return code == 0 ? 0 : 1;
}
