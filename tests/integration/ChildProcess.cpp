#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace qvtest {
namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

int openTarget(const std::string& path, bool forWrite)
{
    const char* name = path.empty() ? "/dev/null" : path.c_str();
    const int flags = forWrite ? (O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC) : (O_RDONLY | O_CLOEXEC);
    return ::open(name, flags, 0644);
}

int decodeStatus(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

std::string findExecutable(const std::string& name)
{
    if (name.find('/') != std::string::npos)
        return name;
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string candidate = dirs.substr(start, end - start);
        candidate += (candidate.empty() ? "" : "/") + name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return {};
}

ChildProcess::~ChildProcess()
{
    if (m_pid > 0 && !m_status)
        stop(SIGTERM, std::chrono::milliseconds(3000));
    if (m_pidFd >= 0)
        ::close(m_pidFd);
    if (m_stdout >= 0)
        ::close(m_stdout);
}

bool ChildProcess::start(const Options& options, std::string* error)
{
    auto fail = [error](const std::string& text) {
        if (error)
            *error = text;
        return false;
    };
    if (m_pid > 0)
        return fail("already started");
    if (options.argv.empty())
        return fail("no command");
    const std::string path = findExecutable(options.argv[0]);
    if (path.empty())
        return fail(options.argv[0] + " not found in PATH");

    std::vector<std::string> args = options.argv;
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    int outPipe[2] = {-1, -1};
    int execPipe[2] = {-1, -1};
    const int in = openTarget({}, false);
    const int err = openTarget(options.stderrFile, true);
    int out = -1;
    if (options.captureStdout) {
        if (::pipe2(outPipe, O_CLOEXEC) == 0)
            out = outPipe[1];
    } else {
        out = openTarget(options.stdoutFile, true);
    }
    const bool fdsOk = in >= 0 && err >= 0 && out >= 0 && ::pipe2(execPipe, O_CLOEXEC) == 0;
    auto closeAll = [&] {
        for (int fd : {in, err, out, outPipe[0], execPipe[0], execPipe[1]})
            if (fd >= 0)
                ::close(fd);
    };
    if (!fdsOk) {
        closeAll();
        return fail(std::string("cannot set up the child's files: ") + std::strerror(errno));
    }

    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        closeAll();
        return fail(std::string("fork: ") + std::strerror(errno));
    }
    if (pid == 0) {
        // Only async-signal-safe calls from here to exec: the parent may have other threads.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(127);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::execv(path.c_str(), argv.data());
        const int code = errno;
        [[maybe_unused]] ssize_t n = ::write(execPipe[1], &code, sizeof code);
        ::_exit(127);
    }
    ::close(execPipe[1]);
    execPipe[1] = -1;
    int execErrno = 0;
    ssize_t got;
    do {
        got = ::read(execPipe[0], &execErrno, sizeof execErrno);
    } while (got < 0 && errno == EINTR);
    ::close(execPipe[0]);
    execPipe[0] = -1;
    ::close(in);
    ::close(err);
    ::close(out);
    m_pid = pid;
    m_stdout = outPipe[0];
    m_pidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (got > 0) {
        wait(std::chrono::milliseconds(2000));
        return fail("cannot run " + path + ": " + std::strerror(execErrno));
    }
    return true;
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (true) {
        const size_t nl = m_lineBuffer.find('\n');
        if (nl != std::string::npos) {
            std::string line = m_lineBuffer.substr(0, nl);
            m_lineBuffer.erase(0, nl + 1);
            return line;
        }
        if (m_stdout < 0)
            return std::nullopt;
        pollfd p{m_stdout, POLLIN, 0};
        const int ready = ::poll(&p, 1, remainingMs(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return std::nullopt;
        char chunk[4096];
        const ssize_t n = ::read(m_stdout, chunk, sizeof chunk);
        if (n <= 0) {
            ::close(m_stdout);
            m_stdout = -1;
            if (m_lineBuffer.empty())
                return std::nullopt;
            std::string rest;
            rest.swap(m_lineBuffer);
            return rest;
        }
        m_lineBuffer.append(chunk, static_cast<size_t>(n));
    }
}

std::string ChildProcess::readAll(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    std::string all;
    all.swap(m_lineBuffer);
    while (m_stdout >= 0) {
        pollfd p{m_stdout, POLLIN, 0};
        const int ready = ::poll(&p, 1, remainingMs(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        char chunk[65536];
        const ssize_t n = ::read(m_stdout, chunk, sizeof chunk);
        if (n <= 0) {
            ::close(m_stdout);
            m_stdout = -1;
            break;
        }
        all.append(chunk, static_cast<size_t>(n));
    }
    return all;
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout)
{
    if (m_status || m_pid <= 0)
        return m_status;
    const auto deadline = Clock::now() + timeout;
    while (true) {
        int status = 0;
        const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            m_status = decodeStatus(status);
            return m_status;
        }
        if (r < 0 && errno != EINTR) {
            m_status = -1;  // reaped elsewhere; nothing more to learn
            return m_status;
        }
        const int left = remainingMs(deadline);
        if (left == 0)
            return std::nullopt;
        if (m_pidFd >= 0) {
            pollfd p{m_pidFd, POLLIN, 0};
            ::poll(&p, 1, left);
        } else {
            // No pidfd (old kernel): fall back to short naps; nothing else signals a child's end.
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(left, 10)));
        }
    }
}

bool ChildProcess::signal(int signo)
{
    if (m_pid <= 0 || m_status)
        return false;
    return ::kill(m_pid, signo) == 0;
}

int ChildProcess::stop(int signo, std::chrono::milliseconds grace)
{
    if (m_pid <= 0)
        return -1;
    if (!m_status) {
        signal(signo);
        if (!wait(grace)) {
            signal(SIGKILL);
            wait(std::chrono::milliseconds(5000));
        }
    }
    return m_status.value_or(-1);
}

}  // namespace qvtest
