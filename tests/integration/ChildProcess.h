#pragma once
// A child process for the test servers and tools (nginx, the fake RTMP server, ffmpeg, ffprobe).
// The child gets SIGTERM when the thread that started it exits (PR_SET_PDEATHSIG), so a test that
// crashes leaves no server behind; start children from the test's own thread, not from a helper
// thread that ends early.
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace qvtest {

class ChildProcess {
public:
    struct Options {
        std::vector<std::string> argv;  // argv[0] is looked up in PATH unless it holds a '/'
        bool captureStdout = false;     // read it with readLine()/readAll()
        std::string stdoutFile;         // used when not captured; empty = /dev/null
        std::string stderrFile;         // empty = /dev/null
    };

    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool start(const Options& options, std::string* error = nullptr);
    pid_t pid() const { return m_pid; }
    bool started() const { return m_pid > 0; }

    // One line of the captured stdout without its newline; nothing on EOF or time-out.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    // Everything left on the captured stdout up to EOF, bounded by the time-out.
    std::string readAll(std::chrono::milliseconds timeout);

    // Waits for the child to end: its exit code, or 128 + signal number; nothing on time-out.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    bool signal(int signo);
    // Sends signo, waits up to grace, then SIGKILL and waits again. Returns the exit status.
    int stop(int signo, std::chrono::milliseconds grace);

private:
    pid_t m_pid = -1;
    int m_pidFd = -1;
    int m_stdout = -1;
    std::string m_lineBuffer;
    std::optional<int> m_status;
};

// Full path of an executable found in PATH (or the name itself when it holds a '/').
std::string findExecutable(const std::string& name);

}  // namespace qvtest
