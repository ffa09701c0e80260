// rtmpwriter: publish H.264 / AAC elementary streams to an RTMP server through the Quorvel RTMP
// Network Writer filter. See rtmpwriter --help.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <thread>

#include "apps/AdminCommands.h"
#include "apps/CommandLine.h"
#include "apps/ExitCodes.h"
#include "apps/Publisher.h"

namespace {

// Guards g_publisher: written by the main thread around the run, read by the signal thread,
// which calls OnSignal under it (so the run cannot end mid-call). Outermost: the publisher's
// locks come after it.
std::mutex g_publisherLock;
app::Publisher* g_publisher = nullptr;

// SIGINT and SIGTERM are taken by one thread with sigwait, so the close runs as ordinary code:
// the first closes the stream cleanly, a second one ends the process at once.
void SignalThread(sigset_t set) {
    int count = 0;
    for (;;) {
        int signo = 0;
        if (sigwait(&set, &signo) != 0) continue;
        if (++count > 1) _exit(app::EXIT_SIGNAL_BASE + signo);
        std::lock_guard<std::mutex> g(g_publisherLock);
        if (g_publisher) g_publisher->OnSignal(signo);
        else _exit(app::EXIT_SIGNAL_BASE + signo);
    }
}

// Points fd 2 at /dev/null and returns a stream on the original stderr.
FILE* QuietStderr() {
    const int keep = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    FILE* f = keep >= 0 ? ::fdopen(keep, "w") : nullptr;
    FILE* result = stderr;
    if (f && null >= 0 && ::dup2(null, STDERR_FILENO) >= 0) result = f;
    if (null >= 0) ::close(null);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    app::CommandLine cl = app::ParseCommandLine(argc, argv);
    if (cl.mode == app::CommandLine::Mode::Exit) {
        std::fprintf(cl.outputIsError ? stderr : stdout, "%s\n", cl.output.c_str());
        return cl.exitCode;
    }
    // The filter module writes its debugger output to the process's stderr. That is log noise
    // for a user: it goes to /dev/null unless --log stderr asks for it, and the host keeps the
    // real stderr for its own one-line messages.
    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    FILE* err = stderr;
    const bool loadsModule = cl.mode == app::CommandLine::Mode::Publish || cl.mode == app::CommandLine::Mode::Register ||
                             cl.mode == app::CommandLine::Mode::Unregister;
    if (loadsModule && cl.publish.log != "stderr") err = QuietStderr();
    if (cl.mode != app::CommandLine::Mode::Publish) return app::RunAdminCommand(cl, stdout, err);

    std::signal(SIGPIPE, SIG_IGN);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);  // every thread started from here inherits it
    std::thread(SignalThread, set).detach();

    app::Publisher publisher(cl.publish, stdout, err, terminal);
    {
        std::lock_guard<std::mutex> g(g_publisherLock);
        g_publisher = &publisher;
    }
    const int code = publisher.Run();
    {
        std::lock_guard<std::mutex> g(g_publisherLock);
        g_publisher = nullptr;
    }
    std::fflush(stdout);
    std::fflush(err);
    // The writer's threads may still be winding down inside the module; nothing is left to do.
    _exit(code);
}
