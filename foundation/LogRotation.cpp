#include "foundation/LogRotation.h"

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr size_t kMaxBase = 256;
}

std::string LogBaseName(const std::string& target) {
    // Only a "." in the file name counts: "/var/x.d/app" has no extension to cut.
    const size_t slash = target.rfind('/');
    const size_t dot = target.rfind('.');
    std::string base = target;
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) base = target.substr(0, dot);
    if (base.size() > kMaxBase) base.resize(kMaxBase);
    return base;
}

std::string RotatedLogName(const std::string& base, int index) {
    return index == 0 ? base + ".log" : base + "." + std::to_string(index) + ".log";
}

void RotateLogFiles(const std::string& target, int keep) {
    if (target.empty() || keep <= 0) return;
    const std::string base = LogBaseName(target);
    for (int i = keep - 1; i >= 0; --i) {
        const std::string src = RotatedLogName(base, i);
        struct stat st;
        if (::stat(src.c_str(), &st) != 0) continue;
        if (i == keep - 1) {
            ::unlink(src.c_str());
        } else {
            ::rename(src.c_str(), RotatedLogName(base, i + 1).c_str());
        }
    }
}
