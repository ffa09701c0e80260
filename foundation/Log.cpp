// Placeholder until the full log lands: level-0 lines go to the debugger output.
#include "foundation/Log.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/DebugOutput.h"
#include "platform/Settings.h"

bool LogEnabled(uint32_t mask, uint32_t level) { return (mask & 0xFF) != 0 && level == 0; }

static void WriteV(uint32_t mask, uint32_t level, const char* fmt, va_list ap) {
    if (!LogEnabled(mask, level)) return;
    char buf[2048];
    vsnprintf(buf, sizeof buf, fmt, ap);
    platform::OutputDebugString(std::string(buf) + "\r\n");
}
void Log(uint32_t mask, uint32_t level, const char* fmt, ...) {
    va_list ap; va_start(ap, fmt); WriteV(mask, level, fmt, ap); va_end(ap);
}
void Log(uint32_t, uint32_t, const wchar_t*, ...) {}
void LogTrace(uint32_t level, const char* fmt, ...) {
    va_list ap; va_start(ap, fmt); WriteV(LOG_TRACE, level, fmt, ap); va_end(ap);
}
void LogTrace(const char* fmt, ...) {
    va_list ap; va_start(ap, fmt); WriteV(LOG_TRACE, 4, fmt, ap); va_end(ap);
}
void LogInit(const void*) {}
int LogRedirect(intptr_t h, uint32_t, platform::CReentrantLock*) { return h == 0 ? 1 : 0; }
void LogClose() {}
int getRegistryKey(const char* keyPath, const char* valueName, int def) {
    using namespace platform::settings;
    for (Scope s : {Scope::User, Scope::Machine}) {
        auto v = Read(s, keyPath, valueName);
        if (!v) continue;
        if (v->type == Type::Dword) return static_cast<int>(v->dword);
        return std::atoi(v->str.c_str());
    }
    return def;
}
int getRegistryString(const char*, const char*, char*, uint32_t, int*) { return -1; }
