#pragma once
// A child process for the test servers and tools. It gets SIGTERM when the thread that started it
// exits (PR_SET_PDEATHSIG), so a crashed test leaves no server behind: start children from the
// test's own thread.
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace qvtest {

class ChildProcess {
public:
    struct Options {
        std::vector<std::string> argv;  // argv[0] is looked up in PATH
        bool captureStdout = false;     // read it with readLine()/readAll()
        std::string stdoutFile;         // when not captured; empty = /dev/null
        std::string stderrFile;         // empty = /dev/null
    };

    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool start(const Options& options, std::string* error = nullptr);
    pid_t pid() const { return m_pid; }
    // One line of the captured stdout without its newline; nothing on EOF or time-out.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    // The rest of the captured stdout up to EOF, bounded by the time-out.
    std::string readAll(std::chrono::milliseconds timeout);
    // The exit code, or 128 + signal number; nothing on time-out.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    bool signal(int signo);
    // Sends signo, SIGKILL after grace; the exit status.
    int stop(int signo, std::chrono::milliseconds grace);

private:
    bool readSome(std::chrono::steady_clock::time_point deadline);

    pid_t m_pid = -1;
    int m_pidFd = -1;
    int m_stdout = -1;
    std::string m_buffer;
    std::optional<int> m_status;
};

}  // namespace qvtest
