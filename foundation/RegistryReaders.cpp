// The two settings readers every subsystem uses: per user first, then machine-wide.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/Log.h"
#include "platform/Settings.h"

namespace {

using platform::settings::Scope;
using platform::settings::Type;

// Decimal text as the registry readers take it; nullopt-like false when there is no number.
bool ParseDecimal(const std::string& text, int* out) {
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str()) return false;
    if (errno == ERANGE || v > UINT32_MAX || v < INT32_MIN) return false;
    *out = static_cast<int>(static_cast<uint32_t>(v));  // as wide as a DWORD, like the DWORD path
    return true;
}

}  // namespace

int getRegistryKey(const char* keyPath, const char* valueName, int defaultValue) {
    int result = defaultValue;
    if (keyPath && valueName) {
        for (Scope scope : {Scope::User, Scope::Machine}) {
            auto v = platform::settings::Read(scope, keyPath, valueName);
            if (!v) continue;  // key or value missing here: ask the next scope
            if (v->type == Type::Dword) {
                result = static_cast<int>(v->dword);
            } else if (!ParseDecimal(v->str, &result)) {
                result = defaultValue;
            }
            break;
        }
    }
    Log(LOG_TRACE, 5, "getRegistryKey %s %s returns %d (default %d)", keyPath ? keyPath : "",
        valueName ? valueName : "", result, defaultValue);
    return result;
}

int getRegistryString(const char* keyPath, const char* valueName, char* buffer, uint32_t bufferBytes, int* hive) {
    if (buffer && bufferBytes > 0) buffer[0] = '\0';
    int rc = -1;
    if (keyPath && valueName && buffer && bufferBytes > 0) {
        for (Scope scope : {Scope::User, Scope::Machine}) {
            auto v = platform::settings::Read(scope, keyPath, valueName);
            if (!v || v->type != Type::String) continue;
            const size_t n = std::min<size_t>(v->str.size(), bufferBytes - 1);
            std::memcpy(buffer, v->str.data(), n);
            buffer[n] = '\0';
            if (hive) *hive = scope == Scope::User ? 0 : 1;
            rc = 0;
            break;
        }
    }
    const char* text = (buffer && bufferBytes > 0) ? buffer : "";
    Log(LOG_TRACE, 5, "getRegistryKey %s %s returns %d %s", keyPath ? keyPath : "", valueName ? valueName : "",
        static_cast<int>(std::strlen(text)), text);
    return rc;
}
