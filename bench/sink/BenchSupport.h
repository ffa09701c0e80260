#pragma once
// Shared by the sink benchmarks: media made once into a cache directory, a private nginx, the
// connection settings, and CPU/RSS readings of this process and of a child peer.
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TestServers.h"
#include "rtmp/RtmpUrl.h"
#include "sink/RTMPSink.h"

namespace sinkbench {

inline double CpuSeconds(int who) {
    rusage u{};
    getrusage(who, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

inline long RssKb(pid_t pid = 0) {
    std::ifstream in(pid ? "/proc/" + std::to_string(pid) + "/status" : std::string("/proc/self/status"));
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return 0;
}

// Per thread of this process: name, CPU seconds and context switches (voluntary, forced), read
// from /proc. Explains a CPU figure: on a paced stream the cost is mostly wake-ups.
inline void PrintThreads(double seconds) {
    std::printf("  threads (name: cpu s, switches/s voluntary+forced):\n");
    const std::string base = "/proc/self/task/";
    for (const auto& entry : std::filesystem::directory_iterator(base)) {
        const std::string dir = entry.path().string() + "/";
        std::string name, line;
        std::ifstream(dir + "comm") >> name;
        // The scheduler's exact run time (ms) rather than the tick-sampled utime/stime of `stat`:
        // paced threads wake on millisecond boundaries, just like the tick, and are over-charged.
        double cpu = 0;
        std::ifstream sched(dir + "sched");
        while (std::getline(sched, line))
            if (line.rfind("se.sum_exec_runtime", 0) == 0) cpu = std::strtod(line.c_str() + line.find(':') + 1, nullptr) / 1e3;
        long vol = 0, forced = 0;
        std::ifstream status(dir + "status");
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) vol = std::strtol(line.c_str() + 24, nullptr, 10);
            if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) forced = std::strtol(line.c_str() + 27, nullptr, 10);
        }
        std::printf("    %-16s %6.3f  %6.1f + %5.1f\n", name.c_str(), cpu, static_cast<double>(vol) / seconds,
                    static_cast<double>(forced) / seconds);
    }
}

inline bool Exists(const std::string& p) {
    struct stat st{};
    return stat(p.c_str(), &st) == 0 && st.st_size > 0;
}

inline int Sh(const std::string& cmd) { return std::system(cmd.c_str()); }

// NAME.h264 (Annex B), NAME.aac (ADTS), NAME.packets.csv and NAME.flv (both, for the ffmpeg peer)
// in `dir`, made once. Synthetic sources, so no media has to be fetched.
inline bool MakeMedia(const std::string& dir, const std::string& name, const std::string& size, int seconds,
                      const std::string& videoOpts) {
    Sh("mkdir -p '" + dir + "'");
    const std::string base = dir + "/" + name;
    if (Exists(base + ".flv") && Exists(base + ".h264") && Exists(base + ".aac")) return true;
    std::fprintf(stderr, "making %s (%s, %d s) ...\n", name.c_str(), size.c_str(), seconds);
    const std::string ff = "ffmpeg -nostdin -hide_banner -loglevel error -y ";
    const std::string s = std::to_string(seconds);
    if (Sh(ff + "-f lavfi -i testsrc2=size=" + size + ":rate=30:duration=" + s + " -c:v libx264 -pix_fmt yuv420p -g 60 " +
           videoOpts + " -f tee -map 0:v '[f=h264]" + base + ".h264|[f=nut]" + base + ".nut'") != 0)
        return false;
    if (Sh(ff + "-f lavfi -i sine=frequency=440:sample_rate=48000 -t " + s + " -c:a aac -b:a 96k -ac 2 -f adts " +
           base + ".aac") != 0)
        return false;
    if (Sh("ffprobe -v error -show_packets -show_entries packet=pts_time,dts_time,duration_time,size,flags -of csv=p=0 " +
           base + ".nut > " + base + ".packets.csv") != 0)
        return false;
    return Sh(ff + "-i " + base + ".nut -i " + base + ".aac -map 0:v -map 1:a -c copy -f flv " + base + ".flv") == 0;
}

inline ConnectionSettings Settings(const std::string& url, int w, int h) {
    rtmp::SplitUrlResult split = rtmp::SplitUrl(url);
    ConnectionSettings s;
    s.url = split.baseUrl;
    s.host = split.host;
    s.app = split.app;
    s.streamName = split.stream;
    s.port = split.port;
    s.outputBufferSize = 262144;
    s.outputPacketSize = 1450;
    s.socketBufferSize = 131072;
    s.connectTimeout = 5;
    s.allowBFrames = 1;
    s.bufferMode = 1;
    s.passthroughPadding = true;
    s.videoFormat.kind = BS::FORMAT_KIND_VIDEO;
    s.videoFormat.codec = BS::CODEC_H264;
    s.videoFormat.video.width = w;
    s.videoFormat.video.height = h;
    s.videoFormat.video.fps = 30;
    s.audioFormat.kind = BS::FORMAT_KIND_AUDIO;
    s.audioFormat.codec = BS::CODEC_AAC;
    s.audioFormat.audio.sample_rate = 48000;
    s.audioFormat.audio.channels = 2;
    return s;
}

// A private nginx-rtmp for many publishers (the test harness's server is sized for tests): one
// process, live application "live", no recording.
class BenchNginx {
    // Loopback connects are refused or accepted at once.
    static bool Accepts(int port) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0) return false;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
        ::close(fd);
        return ok;
    }

public:
    bool Start() {
        for (int attempt = 0; attempt < 5; ++attempt) {
            const auto port = qvtest::freeTcpPort();
            if (!port) continue;
            m_port = *port;
            std::string c = "load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;\n"
                            "daemon off;\nmaster_process off;\nworker_processes 1;\n";
            if (::getuid() == 0) c += "user root;\n";
            c += "pid " + m_dir.file("nginx.pid") + ";\nerror_log " + m_dir.file("error.log") + " warn;\n";
            c += "events { worker_connections 4096; }\n";
            c += "rtmp { server { listen 127.0.0.1:" + std::to_string(m_port) +
                 "; application live { live on; } } }\n";
            if (!qvtest::writeFile(m_dir.file("nginx.conf"), c)) return false;
            m_process = std::make_unique<qvtest::ChildProcess>();
            qvtest::ChildProcess::Options o;
            o.argv = {"nginx", "-c", m_dir.file("nginx.conf"), "-p", m_dir.path() + "/", "-e", m_dir.file("error.log")};
            if (!m_process->start(o)) continue;
            for (int i = 0; i < 100; ++i) {
                if (Accepts(m_port)) return true;
                if (m_process->wait(std::chrono::milliseconds(50))) break;
            }
            m_process->stop(SIGKILL, std::chrono::milliseconds(1000));
        }
        return false;
    }
    ~BenchNginx() {
        if (m_process) m_process->stop(SIGQUIT, std::chrono::milliseconds(3000));
    }
    std::string Url(const std::string& stream) const { return qvtest::rtmpUrl("127.0.0.1", m_port, "live", stream); }

private:
    qvtest::TempDir m_dir{"qv-bench-nginx"};
    std::unique_ptr<qvtest::ChildProcess> m_process;
    int m_port = 0;
};

// A private settings store so a developer's own settings do not change the figures.
inline void PrivateSettings(const qvtest::TempDir& dir) {
    setenv("QV_SETTINGS_USER", dir.file("user.json").c_str(), 1);
    setenv("QV_SETTINGS_MACHINE", dir.file("machine.json").c_str(), 1);
}

struct PeerRun {
    double cpu = 0;      // s
    double wall = 0;     // s
    long maxRssKb = 0;
    int status = -1;
};

// ffmpeg started as a child (fork/exec, so its rusage is its own) and measured when it ends;
// started before a run of our own, the two share whatever the machine is doing meanwhile.
struct Peer {
    pid_t pid = -1;
    std::chrono::steady_clock::time_point start;
};

inline Peer StartFfmpeg(const std::vector<std::string>& args) {
    Peer p;
    p.start = std::chrono::steady_clock::now();
    p.pid = fork();
    if (p.pid == 0) {
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        freopen("/dev/null", "w", stderr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return p;
}

inline PeerRun FinishFfmpeg(const Peer& p) {
    PeerRun r;
    if (p.pid < 0) return r;
    int status = 0;
    rusage u{};
    wait4(p.pid, &status, 0, &u);
    r.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - p.start).count();
    r.cpu = static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
            static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    r.maxRssKb = u.ru_maxrss;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

inline PeerRun RunFfmpeg(const std::vector<std::string>& args) { return FinishFfmpeg(StartFfmpeg(args)); }

}  // namespace sinkbench
