#pragma once
// A child process for the test servers and tools. It gets SIGTERM when the thread that started it
// exits (PR_SET_PDEATHSIG), so a crashed test leaves no server behind: start children from the
// test's own thread.
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace qvtest {

class ChildProcess {
public:
    struct Options {
        std::vector<std::string> argv;  // argv[0] is looked up in PATH
        bool captureStdout = false;     // read it with readLine()
        std::string stdoutFile;         // when not captured; empty = /dev/null
        std::string stderrFile;         // empty = /dev/null
    };

    ChildProcess() = default;
    ~ChildProcess() {
        if (m_pid > 0 && !m_status) stop(SIGTERM, std::chrono::seconds(3));
        for (int fd : {m_pidFd, m_stdout})
            if (fd >= 0) ::close(fd);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // A command that cannot be run exits with 127, as from a shell.
    bool start(const Options& options, std::string* error = nullptr) {
        if (m_pid > 0 || options.argv.empty()) {
            if (error) *error = "already started, or no command";
            return false;
        }
        std::vector<std::string> args = options.argv;
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int outPipe[2] = {-1, -1};
        const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC), err = openOut(options.stderrFile);
        const int out = !options.captureStdout ? openOut(options.stdoutFile) : ::pipe2(outPipe, O_CLOEXEC) ? -1 : outPipe[1];
        const pid_t parent = ::getpid();
        const pid_t pid = in >= 0 && err >= 0 && out >= 0 ? ::fork() : -1;
        if (pid == 0) {
            // Only async-signal-safe calls until exec: the parent has other threads.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parent) ::_exit(127);
            ::dup2(in, 0);
            ::dup2(out, 1);
            ::dup2(err, 2);
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        if (pid < 0 && error) *error = "cannot start " + args[0] + ": " + std::strerror(errno);
        for (int fd : {in, err, out, pid < 0 ? outPipe[0] : -1})
            if (fd >= 0) ::close(fd);
        if (pid < 0) return false;
        m_pid = pid;
        m_stdout = outPipe[0];
        m_pidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
        return true;
    }

    // One line of the captured stdout without its newline; nothing on EOF or time-out.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        size_t nl;
        while ((nl = m_buffer.find('\n')) == std::string::npos) {
            pollfd p{m_stdout, POLLIN, 0};
            char chunk[4096];
            const ssize_t n = m_stdout >= 0 && ::poll(&p, 1, msLeft(deadline)) > 0 ? ::read(m_stdout, chunk, sizeof chunk) : -1;
            if (n <= 0) return std::nullopt;
            m_buffer.append(chunk, static_cast<size_t>(n));
        }
        std::string line = m_buffer.substr(0, nl);
        m_buffer.erase(0, nl + 1);
        return line;
    }

    // The exit code, or 128 + signal number; nothing on time-out.
    std::optional<int> wait(std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        for (int status = 0; m_pid > 0 && !m_status;) {
            rusage usage{};
            const pid_t r = ::wait4(m_pid, &status, WNOHANG, &usage);
            if (r == m_pid) m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            if (r == m_pid) m_maxRssKb = usage.ru_maxrss;
            else if (r < 0 && errno != EINTR) m_status = -1;  // reaped elsewhere
            else if (msLeft(deadline) == 0) break;
            pollfd p{m_pidFd, POLLIN, 0};  // without a pidfd, poll only naps
            if (!m_status) ::poll(&p, 1, m_pidFd >= 0 ? msLeft(deadline) : std::min(msLeft(deadline), 10));
        }
        return m_status;
    }

    // The peak resident set of the process that ended, in KiB; 0 before.
    long maxRssKb() const { return m_maxRssKb; }

    bool signal(int signo) { return m_pid > 0 && !m_status && ::kill(m_pid, signo) == 0; }

    // Sends signo, SIGKILL after grace; the exit status.
    int stop(int signo, std::chrono::milliseconds grace) {
        if (m_pid > 0 && !m_status && (!signal(signo) || !wait(grace))) {
            signal(SIGKILL);
            wait(std::chrono::seconds(5));
        }
        return m_status.value_or(-1);
    }

private:
    using Clock = std::chrono::steady_clock;
    static int msLeft(Clock::time_point deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return static_cast<int>(std::clamp<int64_t>(left, 0, 1 << 30));
    }
    static int openOut(const std::string& path) {
        return ::open(path.empty() ? "/dev/null" : path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    }

    pid_t m_pid = -1;
    int m_pidFd = -1, m_stdout = -1;
    std::string m_buffer;
    std::optional<int> m_status;
    long m_maxRssKb = 0;
};

}  // namespace qvtest
