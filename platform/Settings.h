#pragma once
// The settings store that stands in for the registry: two scopes (per user, then machine-wide),
// keys named by backslash paths ("SOFTWARE\\Quorvel\\RtmpSink"; compared case-insensitively, like
// registry keys), values that are DWORDs or strings.
//
// Files: per user $QV_SETTINGS_USER, else $XDG_CONFIG_HOME/quorvel/settings.json, else
// ~/.config/quorvel/settings.json; machine-wide $QV_SETTINGS_MACHINE, else /etc/quorvel/settings.json.
// Tests point both variables at temporary files.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform::settings {

enum class Scope { User, Machine };
enum class Type { Dword, String };

struct Value {
    Type type = Type::Dword;
    uint32_t dword = 0;
    std::string str;
};

// Reads one value; nullopt when the key or the value is missing (or the file unreadable).
std::optional<Value> Read(Scope scope, std::string_view keyPath, std::string_view name);
bool KeyExists(Scope scope, std::string_view keyPath);
// Creates the key (and its parents) when missing. false when the file cannot be written.
bool CreateKey(Scope scope, std::string_view keyPath);
bool WriteDword(Scope scope, std::string_view keyPath, std::string_view name, uint32_t value);
bool WriteString(Scope scope, std::string_view keyPath, std::string_view name, std::string_view value);
bool DeleteValue(Scope scope, std::string_view keyPath, std::string_view name);
bool DeleteKey(Scope scope, std::string_view keyPath);
// The values directly under a key, and the names of its direct subkeys.
std::vector<std::pair<std::string, Value>> ListValues(Scope scope, std::string_view keyPath);
std::vector<std::string> ListSubkeys(Scope scope, std::string_view keyPath);
// The file behind a scope (for messages and for the host's `config` command).
std::string FilePath(Scope scope);

}  // namespace platform::settings
