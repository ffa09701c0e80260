// Placeholder until the settings store lands: everything reads as missing.
#include "platform/Settings.h"
namespace platform::settings {
std::optional<Value> Read(Scope, std::string_view, std::string_view) { return std::nullopt; }
bool KeyExists(Scope, std::string_view) { return false; }
bool CreateKey(Scope, std::string_view) { return false; }
bool WriteDword(Scope, std::string_view, std::string_view, uint32_t) { return false; }
bool WriteString(Scope, std::string_view, std::string_view, std::string_view) { return false; }
bool DeleteValue(Scope, std::string_view, std::string_view) { return false; }
bool DeleteKey(Scope, std::string_view) { return false; }
std::vector<std::pair<std::string, Value>> ListValues(Scope, std::string_view) { return {}; }
std::vector<std::string> ListSubkeys(Scope, std::string_view) { return {}; }
std::string FilePath(Scope) { return {}; }
}  // namespace platform::settings
