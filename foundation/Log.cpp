#include "foundation/Log.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <mutex>
#include <string>
#include <strings.h>
#include <unistd.h>

#include "foundation/LogRotation.h"
#include "foundation/TextConvert.h"
#include "platform/Clock.h"
#include "platform/DebugOutput.h"
#include "platform/Settings.h"

#ifndef QV_VERSION_MAJOR
#define QV_VERSION_MAJOR 0
#define QV_VERSION_MINOR 0
#define QV_VERSION_PATCH 0
#endif

namespace {

using platform::settings::Scope;

constexpr int kCategories = 8;
constexpr const char* kCategoryNames[kCategories] = {"TIMING",  "TRACE",   "MEMORY",  "LOCKING",
                                                     "ERROR",   "CUSTOM1", "CUSTOM2", "CUSTOM3"};
constexpr size_t kLineChars = 2048;
constexpr size_t kNarrowPrefixMax = 1948;
constexpr size_t kModuleNameMax = 2048;
constexpr size_t kShortNameLen = 14;
constexpr size_t kTargetMax = 130;
constexpr int kKeepFiles = 5;
constexpr uint32_t kTimeoutDefault = 0xFFFFFFFFu;

struct LogState {
    std::atomic<bool> on{true};
    std::atomic<uint32_t> level[kCategories] = {};
    std::atomic<bool> timing{false};
    std::atomic<uint32_t> start{0};
    // The host's lock, taken before outLock around every write while a redirect is in force.
    std::atomic<platform::CReentrantLock*> extLock{nullptr};

    // Guards every field below. Any thread takes it to write a line; init, redirect and close take
    // it to switch the output. Lock order: the host's external lock, then this one, then the
    // debugger output's own mutex.
    platform::CReentrantLock outLock;
    int fd = -1;                  // -1: the debugger output
    bool console = false;         // fd is stdout, which is never closed
    bool noPrefix = false;
    std::string target;           // LogToFile as opened
    std::string savedTarget;      // what a redirect of -1 goes back to
    uint32_t saved[kCategories] = {};
    std::string moduleName;       // file name without directory
    std::string shortName;        // the line prefix: first 14 characters of moduleName
    std::string modulePath;
    uint32_t version[2] = {0, 0};

    std::mutex initMutex;  // guards inited; outermost, taken only by LogInit and the test reset
    bool inited = false;
};

LogState& S() {
    static LogState s;
    return s;
}

bool WriteAll(int fd, std::string_view text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
    char buf[kLineChars];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

// Takes the host's external lock (when a redirect supplied one) and then outLock, in that order,
// for everything that writes or switches the output.
class OutputGuard {
public:
    OutputGuard() : m_ext(S().extLock.load()) {
        if (m_ext) m_ext->Lock();  // both locks nest, so a thread already inside passes through
        S().outLock.Lock();
    }
    ~OutputGuard() {
        S().outLock.Unlock();
        if (m_ext) m_ext->Unlock();
    }
    OutputGuard(const OutputGuard&) = delete;
    OutputGuard& operator=(const OutputGuard&) = delete;

private:
    platform::CReentrantLock* const m_ext;  // the lock actually taken, even if a redirect swaps it
};

// Writes text to the current output, falling back to the debugger output when there is none or
// the write fails.
void Output(std::string_view text) {
    LogState& s = S();
    OutputGuard g;
    if (s.fd >= 0 && WriteAll(s.fd, text)) return;
    platform::OutputDebugString(text);
}

// Caller holds outLock.
std::string Prefix(bool wide) {
    LogState& s = S();
    if (s.noPrefix) return {};
    const uint32_t tid = platform::GetCurrentThreadId();
    std::string p;
    if (s.timing.load()) {
        const int ms = static_cast<int>(platform::timeGetTime() - s.start.load());
        p = Format("%s\t(%4x) %8d  ", s.shortName.c_str(), tid, ms);
    } else {
        p = Format(wide ? "%s\t(%x)  " : "%s\t(%4x)  ", s.shortName.c_str(), tid);
    }
    if (p.size() > kNarrowPrefixMax) p.resize(kNarrowPrefixMax);
    return p;
}

// Finishes one formatted message: a trailing backslash continues the line instead of ending it.
void WriteMessage(std::string msg, bool wide) {
    if (!msg.empty() && msg.back() == '\\') {
        msg.pop_back();
        if (!wide && !msg.empty() && msg.back() == '\n' && (msg.size() < 2 || msg[msg.size() - 2] != '\r')) {
            msg.insert(msg.size() - 1, 1, '\r');
        }
    } else {
        msg += "\r\n";
    }
    OutputGuard g;
    std::string line = Prefix(wide);
    line += msg;
    Output(line);
}

void WriteV(uint32_t mask, uint32_t level, const char* fmt, va_list ap) {
    if (!LogEnabled(mask, level) || !fmt) return;
    char buf[kLineChars];
    std::vsnprintf(buf, kLineChars, fmt, ap);
    WriteMessage(buf, false);
}

// --- target handling; callers hold outLock ---

void CloseOutputLocked() {
    LogState& s = S();
    if (s.fd < 0) return;
    Output("Closing Log: " + s.moduleName + "\r\n");
    if (!s.console) ::close(s.fd);
    s.fd = -1;
    s.console = false;
    s.noPrefix = false;
}

void WriteHeaderLocked() {
    LogState& s = S();
    const uint32_t tid = platform::GetCurrentThreadId();
    char date[32] = "", clock[32] = "";
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    if (::localtime_r(&now, &tm)) {
        std::strftime(date, sizeof date, "%Y-%m-%d", &tm);
        std::strftime(clock, sizeof clock, "%H:%M:%S", &tm);
    }
    // The header lines carry their own prefix with time 0, whatever the no-prefix flag says.
    Output(Format("\r\n%s\t(%4x) %8d  === zephLogInit === Module: %s - %s   %s   %s   %x %x", s.shortName.c_str(),
                  tid, 0, date, clock, s.moduleName.c_str(), "", s.version[0], s.version[1]) +
           "\r\n");
    Output(Format("%s\t(%4x) %8d  Module Path: %s", s.shortName.c_str(), tid, 0, s.modulePath.c_str()) + "\r\n");
}

void OpenTargetLocked(const std::string& target) {
    LogState& s = S();
    s.on = true;
    if (::strcasecmp(target.c_str(), "Console") == 0) {
        // No window to allocate on Linux: the process's standard output is the console.
        s.fd = STDOUT_FILENO;
        s.console = true;
        s.noPrefix = true;
    } else if (::strcasecmp(target.c_str(), "Debug") == 0 || ::strcasecmp(target.c_str(), "Debugger") == 0 ||
               ::strcasecmp(target.c_str(), "Deb") == 0) {
        s.fd = -1;
    } else {
        int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) {
            s.fd = fd;
            platform::OutputDebugString("Logging to " + target + "\r\n");
        } else {
            const int err = errno;
            platform::OutputDebugString(Format("%s - Error %d, Could not open Logfile: %s", s.moduleName.c_str(),
                                               err, target.c_str()) +
                                        "\r\n\r\n");
        }
    }
    WriteHeaderLocked();
    s.target = target;
    s.savedTarget = target;
}

// Reads the eight thresholds and TIMEOUT from one key, creating missing values; each threshold
// becomes the larger of what it was and what the key says.
void ReadThresholds(Scope scope, const std::string& key) {
    LogState& s = S();
    auto readDword = [&](const char* name, uint32_t created) -> uint32_t {
        auto v = platform::settings::Read(scope, key, name);
        if (v && v->type == platform::settings::Type::Dword) return v->dword;
        if (!platform::settings::WriteDword(scope, key, name, created)) {
            Log(LOG_ERROR, 1, "Could not create subkey %s", name);
        }
        return created;
    };
    for (int i = 0; i < kCategories; ++i) {
        const uint32_t v = readDword(kCategoryNames[i], 0);
        const uint32_t cur = s.level[i].load();
        s.level[i] = std::max(cur, v);
        platform::CAutoLock g(s.outLock);
        s.saved[i] = s.level[i].load();
    }
    readDword("TIMEOUT", kTimeoutDefault);  // nothing acts on it; it is kept for the tools that set it
}

void FindModuleIdentity(const void* address) {
    LogState& s = S();
    std::string path;
    Dl_info info{};
    if (address && ::dladdr(address, &info) != 0 && info.dli_fname && *info.dli_fname) path = info.dli_fname;
    // The main program may be reported by its command-line name; /proc knows the real file.
    if (path.empty() || path.find('/') == std::string::npos) {
        char buf[PATH_MAX];
        ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
        if (n > 0) path.assign(buf, static_cast<size_t>(n));
    }
    char resolved[PATH_MAX];
    if (!path.empty() && ::realpath(path.c_str(), resolved)) path = resolved;
    std::string name = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    if (name.size() > kModuleNameMax) name.resize(kModuleNameMax);
    platform::CAutoLock g(s.outLock);
    s.modulePath = path;
    s.moduleName = name;
    s.shortName = name.substr(0, kShortNameLen);
    s.version[0] = (uint32_t{QV_VERSION_MAJOR} << 16) | uint32_t{QV_VERSION_MINOR};
    s.version[1] = uint32_t{QV_VERSION_PATCH} << 16;
}

}  // namespace

bool LogEnabled(uint32_t mask, uint32_t level) {
    LogState& s = S();
    if ((mask & 0xFF) == 0 || !s.on.load()) return false;
    if (level == 0) return true;
    for (int i = 0; i < kCategories; ++i) {
        if ((mask & (1u << i)) && level <= s.level[i].load()) return true;
    }
    return false;
}

void Log(uint32_t mask, uint32_t level, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    WriteV(mask, level, fmt, ap);
    va_end(ap);
}

void Log(uint32_t mask, uint32_t level, const wchar_t* fmt, ...) {
    if (!LogEnabled(mask, level) || !fmt) return;
    wchar_t buf[kLineChars];
    va_list ap;
    va_start(ap, fmt);
    if (std::vswprintf(buf, kLineChars, fmt, ap) < 0) buf[kLineChars - 1] = L'\0';
    va_end(ap);
    WriteMessage(WideToUtf8(buf), true);
}

void LogTrace(uint32_t level, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    WriteV(LOG_TRACE, level, fmt, ap);
    va_end(ap);
}

void LogTrace(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    WriteV(LOG_TRACE, 4, fmt, ap);
    va_end(ap);
}

void LogInit(const void* moduleAddress) {
    LogState& s = S();
    std::lock_guard<std::mutex> init(s.initMutex);
    if (s.inited) return;
    s.inited = true;

    FindModuleIdentity(moduleAddress);
    platform::OutputDebugString(s.moduleName + "\r\n");

    const std::string moduleKey = std::string(KEY_DEBUGZEPH) + "\\" + s.moduleName;
    if (!platform::settings::CreateKey(Scope::User, moduleKey)) {
        Log(LOG_ERROR, 0, "Could not access module key");
    } else {
        std::string target;
        auto v = platform::settings::Read(Scope::User, moduleKey, "LogToFile");
        if (v && v->type == platform::settings::Type::String) {
            target = v->str.substr(0, kTargetMax);
        } else {
            platform::OutputDebugString("LogToFile value not found in " + moduleKey + "\r\n");
            platform::settings::WriteString(Scope::User, moduleKey, "LogToFile", "");
        }
        {
            OutputGuard g;
            Output("InitLog: " + s.moduleName + "\r\n");
            CloseOutputLocked();
            RotateLogFiles(target, kKeepFiles);
            if (!target.empty()) {
                OpenTargetLocked(target);
            } else {
                platform::OutputDebugString("No log file configured for " + s.moduleName + "\r\n");
            }
            if (!s.on.load()) {
                platform::OutputDebugString("Logging is off\r\n");
                Output(" - no logging\r\n\r\n");
            }
        }
        ReadThresholds(Scope::User, moduleKey);
    }

    s.start = platform::timeGetTime();
    s.timing = true;
    const std::string globalKey = std::string(KEY_DEBUGZEPH) + "\\GLOBAL";
    if (!platform::settings::CreateKey(Scope::Machine, globalKey)) {
        Log(LOG_ERROR, 1, "Could not access GLOBAL module key");
    } else {
        ReadThresholds(Scope::Machine, globalKey);
    }
    s.start = platform::timeGetTime();
}

int LogRedirect(intptr_t handle, uint32_t level, platform::CReentrantLock* lock) {
    LogState& s = S();
    OutputGuard g;
    CloseOutputLocked();
    if (handle == 0) return 1;
    if (handle == -1) {
        s.extLock = nullptr;
        if (!s.savedTarget.empty()) {
            for (int i = 0; i < kCategories; ++i) s.level[i] = s.saved[i];
            OpenTargetLocked(s.savedTarget);
        }
        return 0;
    }
    // Our own descriptor, so closing the log later never closes the host's.
    int fd = handle > 0 && handle <= INT_MAX ? ::fcntl(static_cast<int>(handle), F_DUPFD_CLOEXEC, 3) : -1;
    if (fd < 0) return 1;
    s.fd = fd;
    s.console = false;
    s.noPrefix = false;
    for (int i : {1, 4, 5}) s.level[i] = level;  // TRACE, ERROR, CUSTOM1
    s.extLock = lock;
    return 0;
}

void LogClose() {
    OutputGuard g;
    CloseOutputLocked();
}

std::string LogModuleName() {
    LogState& s = S();
    platform::CAutoLock g(s.outLock);
    return s.moduleName;
}

void LogResetForTests() {
    LogState& s = S();
    std::lock_guard<std::mutex> init(s.initMutex);
    platform::CAutoLock g(s.outLock);
    if (s.fd >= 0 && !s.console) ::close(s.fd);
    s.fd = -1;
    s.console = false;
    s.noPrefix = false;
    s.on = true;
    for (int i = 0; i < kCategories; ++i) {
        s.level[i] = 0;
        s.saved[i] = 0;
    }
    s.timing = false;
    s.start = 0;
    s.extLock = nullptr;
    s.target.clear();
    s.savedTarget.clear();
    s.moduleName.clear();
    s.shortName.clear();
    s.modulePath.clear();
    s.inited = false;
}
