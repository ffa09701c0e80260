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

// CPU ticks of each thread of `pid`, by thread id, with its name.
void SampleThreads(pid_t pid, std::map<int, std::pair<std::string, long>>& seen) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    FILE* ls = popen(("ls " + dir + " 2>/dev/null").c_str(), "r");
    if (!ls) return;
    int tid;
    while (fscanf(ls, "%d", &tid) == 1) {
        std::ifstream f(dir + "/" + std::to_string(tid) + "/stat");
        std::string all((std::istreambuf_iterator<char>(f)), {});
        const size_t open = all.find('('), close = all.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        std::istringstream rest(all.substr(close + 2));
        std::string field;
        long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && rest >> field; ++i) {
            if (i == 14) utime = std::stol(field);
            if (i == 15) stime = std::stol(field);
        }
        seen[tid] = {all.substr(open + 1, close - open - 1), utime + stime};
    }
    pclose(ls);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s RTMPWRITER FIXTURE_DIR\n", argv[0]);
        return 2;
    }
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
    std::printf("publish exit %d; busy loopback traffic %.1f MB/s over 10 connections\n", code,
                static_cast<double>(busyBytes.load()) / 1e6 / 10.0);
    std::printf("cpu ticks: capture threads %ld, rest of the publish %ld; share %.1f%% (target <= 25%%)%s\n", sniffer, rest,
                rest ? 100.0 * static_cast<double>(sniffer) / static_cast<double>(rest) : 0.0,
                measured ? "" : " [no wire figures were reported]");
    return code == 0 ? 0 : 1;
}
