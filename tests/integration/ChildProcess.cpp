#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace qvtest {
namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

int openOut(const std::string& path) {
    return ::open(path.empty() ? "/dev/null" : path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

}  // namespace

ChildProcess::~ChildProcess() {
    if (m_pid > 0 && !m_status) stop(SIGTERM, std::chrono::seconds(3));
    for (int fd : {m_pidFd, m_stdout})
        if (fd >= 0) ::close(fd);
}

bool ChildProcess::start(const Options& options, std::string* error) {
    auto fail = [error](const std::string& text) {
        if (error) *error = text;
        return false;
    };
    if (m_pid > 0 || options.argv.empty()) return fail("already started, or no command");
    std::vector<std::string> args = options.argv;
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int outPipe[2] = {-1, -1}, execPipe[2] = {-1, -1};
    const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int err = openOut(options.stderrFile);
    int out = -1;
    if (!options.captureStdout) out = openOut(options.stdoutFile);
    else if (::pipe2(outPipe, O_CLOEXEC) == 0) out = outPipe[1];
    const bool fdsOk = in >= 0 && err >= 0 && out >= 0 && ::pipe2(execPipe, O_CLOEXEC) == 0;
    const pid_t parent = ::getpid();
    const pid_t pid = fdsOk ? ::fork() : -1;
    if (pid == 0) {
        // Only async-signal-safe calls until exec: the parent has other threads.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(127);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::execvp(argv[0], argv.data());
        const int code = errno;
        [[maybe_unused]] ssize_t n = ::write(execPipe[1], &code, sizeof code);
        ::_exit(127);
    }
    const std::string why = std::strerror(errno);
    for (int fd : {in, err, out, execPipe[1]})
        if (fd >= 0) ::close(fd);
    if (pid < 0) {
        for (int fd : {outPipe[0], execPipe[0]})
            if (fd >= 0) ::close(fd);
        return fail("cannot start " + options.argv[0] + ": " + why);
    }
    int execErrno = 0;
    ssize_t got;
    do got = ::read(execPipe[0], &execErrno, sizeof execErrno);
    while (got < 0 && errno == EINTR);
    ::close(execPipe[0]);
    m_pid = pid;
    m_stdout = outPipe[0];
    m_pidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (got > 0) {
        wait(std::chrono::seconds(2));
        return fail("cannot run " + options.argv[0] + ": " + std::strerror(execErrno));
    }
    return true;
}

bool ChildProcess::readSome(Clock::time_point deadline) {
    if (m_stdout < 0) return false;
    pollfd p{m_stdout, POLLIN, 0};
    int ready;
    while ((ready = ::poll(&p, 1, msLeft(deadline))) < 0 && errno == EINTR) {}
    if (ready <= 0) return false;
    char chunk[65536];
    const ssize_t n = ::read(m_stdout, chunk, sizeof chunk);
    if (n <= 0) {
        ::close(m_stdout);
        m_stdout = -1;
        return false;
    }
    m_buffer.append(chunk, static_cast<size_t>(n));
    return true;
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const size_t nl = m_buffer.find('\n');
        if (nl != std::string::npos) {
            std::string line = m_buffer.substr(0, nl);
            m_buffer.erase(0, nl + 1);
            return line;
        }
        if (!readSome(deadline)) break;
    }
    if (m_stdout >= 0 || m_buffer.empty()) return std::nullopt;
    return std::exchange(m_buffer, {});
}

std::string ChildProcess::readAll(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (readSome(deadline)) {}
    return std::exchange(m_buffer, {});
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (m_pid > 0 && !m_status) {
        int status = 0;
        const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
        } else if (r < 0 && errno != EINTR) {
            m_status = -1;  // reaped elsewhere
        } else if (msLeft(deadline) == 0) {
            break;
        } else {
            pollfd p{m_pidFd, POLLIN, 0};  // without a pidfd, poll only naps
            ::poll(&p, 1, m_pidFd >= 0 ? msLeft(deadline) : std::min(msLeft(deadline), 10));
        }
    }
    return m_status;
}

bool ChildProcess::signal(int signo) {
    return m_pid > 0 && !m_status && ::kill(m_pid, signo) == 0;
}

int ChildProcess::stop(int signo, std::chrono::milliseconds grace) {
    if (m_pid <= 0) return -1;
    if (!m_status && (!signal(signo) || !wait(grace))) {
        signal(SIGKILL);
        wait(std::chrono::seconds(5));
    }
    return m_status.value_or(-1);
}

}  // namespace qvtest
