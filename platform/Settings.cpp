#include "platform/Settings.h"

#include <cstdlib>
#include <strings.h>

#include "platform/SettingsFile.h"

namespace platform::settings {
namespace {

// Registry key and value names compare without regard to ASCII case.
bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// Trims separators so "SOFTWARE\\X\\" and "SOFTWARE\\X" name the same key.
std::string_view Normalise(std::string_view path) {
    while (!path.empty() && path.front() == '\\') path.remove_prefix(1);
    while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
    return path;
}

// The member of `obj` whose name matches `name` case-insensitively; null when none.
const Json::Value* FindMember(const Json::Value& obj, std::string_view name, std::string* actual = nullptr) {
    if (!obj.isObject()) return nullptr;
    for (auto it = obj.begin(); it != obj.end(); ++it) {
        const std::string n = it.name();
        if (SameName(n, name)) {
            if (actual) *actual = n;
            return &*it;
        }
    }
    return nullptr;
}

// The stored spelling of a key path, or the caller's when the key is new.
std::string StoredName(const Json::Value& doc, std::string_view name) {
    std::string actual;
    if (FindMember(doc, name, &actual)) return actual;
    return std::string(name);
}

std::optional<Value> ToValue(const Json::Value& v) {
    Value out;
    if (v.isString()) {
        out.type = Type::String;
        out.str = v.asString();
        return out;
    }
    if (v.isUInt()) {
        out.type = Type::Dword;
        out.dword = v.asUInt();
        return out;
    }
    return std::nullopt;  // a type the registry readers do not know
}

// A parent created late (the file was written by hand with only the leaf key) takes the spelling
// its existing descendant already uses, so one key never appears under two spellings.
std::string SpellingFromDescendant(const Json::Value& doc, std::string_view prefix) {
    for (const std::string& n : doc.getMemberNames()) {
        if (n.size() > prefix.size() && n[prefix.size()] == '\\' &&
            SameName(std::string_view(n).substr(0, prefix.size()), prefix)) {
            return n.substr(0, prefix.size());
        }
    }
    return std::string(prefix);
}

// Adds the key and every parent, as registry key creation does.
bool EnsureKey(Json::Value& doc, std::string_view path) {
    bool changed = false;
    for (size_t pos = 0;;) {
        size_t next = path.find('\\', pos);
        std::string_view prefix = path.substr(0, next);
        if (!FindMember(doc, prefix)) {
            doc[SpellingFromDescendant(doc, prefix)] = Json::Value(Json::objectValue);
            changed = true;
        }
        if (next == std::string_view::npos) break;
        pos = next + 1;
    }
    return changed;
}

std::string EnvOr(const char* var, const std::string& fallback) {
    const char* v = std::getenv(var);
    return (v && *v) ? std::string(v) : fallback;
}

SettingsFile FileFor(Scope scope) { return SettingsFile(FilePath(scope)); }

bool WriteValue(Scope scope, std::string_view keyPath, std::string_view name, Json::Value value) {
    keyPath = Normalise(keyPath);
    if (keyPath.empty()) return false;
    return FileFor(scope).Modify([&](Json::Value& doc) {
        EnsureKey(doc, keyPath);
        Json::Value& key = doc[StoredName(doc, keyPath)];
        if (!key.isObject()) key = Json::Value(Json::objectValue);  // hand-edited into something else
        key[StoredName(key, name)] = value;
        return true;
    });
}

}  // namespace

std::string FilePath(Scope scope) {
    if (scope == Scope::Machine) return EnvOr("QV_SETTINGS_MACHINE", "/etc/quorvel/settings.json");
    std::string base = EnvOr("XDG_CONFIG_HOME", "");
    if (base.empty()) base = EnvOr("HOME", "/tmp") + "/.config";
    return EnvOr("QV_SETTINGS_USER", base + "/quorvel/settings.json");
}

std::optional<Value> Read(Scope scope, std::string_view keyPath, std::string_view name) {
    const Json::Value doc = FileFor(scope).Load();
    const Json::Value* key = FindMember(doc, Normalise(keyPath));
    if (!key) return std::nullopt;
    const Json::Value* v = FindMember(*key, name);
    if (!v) return std::nullopt;
    return ToValue(*v);
}

bool KeyExists(Scope scope, std::string_view keyPath) {
    return FindMember(FileFor(scope).Load(), Normalise(keyPath)) != nullptr;
}

bool CreateKey(Scope scope, std::string_view keyPath) {
    keyPath = Normalise(keyPath);
    if (keyPath.empty()) return false;
    // An existing key opens without a write, so a read-only machine-wide file still serves it.
    if (KeyExists(scope, keyPath)) return true;
    return FileFor(scope).Modify([&](Json::Value& doc) { return EnsureKey(doc, keyPath); });
}

bool WriteDword(Scope scope, std::string_view keyPath, std::string_view name, uint32_t value) {
    return WriteValue(scope, keyPath, name, Json::Value(Json::UInt(value)));
}

bool WriteString(Scope scope, std::string_view keyPath, std::string_view name, std::string_view value) {
    return WriteValue(scope, keyPath, name, Json::Value(std::string(value)));
}

bool DeleteValue(Scope scope, std::string_view keyPath, std::string_view name) {
    keyPath = Normalise(keyPath);
    bool found = false;
    bool ok = FileFor(scope).Modify([&](Json::Value& doc) {
        std::string keyName;
        if (!FindMember(doc, keyPath, &keyName)) return false;
        Json::Value& key = doc[keyName];
        if (!key.isObject()) return false;
        std::string valueName;
        if (!FindMember(key, name, &valueName)) return false;
        key.removeMember(valueName);
        found = true;
        return true;
    });
    return ok && found;
}

bool DeleteKey(Scope scope, std::string_view keyPath) {
    keyPath = Normalise(keyPath);
    if (keyPath.empty()) return false;
    bool found = false;
    bool ok = FileFor(scope).Modify([&](Json::Value& doc) {
        std::vector<std::string> doomed;
        for (const std::string& n : doc.getMemberNames()) {
            std::string_view sv(n);
            if (SameName(sv, keyPath) ||
                (sv.size() > keyPath.size() && sv[keyPath.size()] == '\\' &&
                 SameName(sv.substr(0, keyPath.size()), keyPath))) {
                doomed.push_back(n);
            }
        }
        for (const std::string& n : doomed) doc.removeMember(n);
        found = !doomed.empty();
        return found;
    });
    return ok && found;
}

std::vector<std::pair<std::string, Value>> ListValues(Scope scope, std::string_view keyPath) {
    std::vector<std::pair<std::string, Value>> out;
    const Json::Value doc = FileFor(scope).Load();
    const Json::Value* key = FindMember(doc, Normalise(keyPath));
    if (!key || !key->isObject()) return out;
    for (auto it = key->begin(); it != key->end(); ++it) {
        if (auto v = ToValue(*it)) out.emplace_back(it.name(), std::move(*v));
    }
    return out;
}

std::vector<std::string> ListSubkeys(Scope scope, std::string_view keyPath) {
    keyPath = Normalise(keyPath);
    std::vector<std::string> out;
    const Json::Value doc = FileFor(scope).Load();
    for (const std::string& n : doc.getMemberNames()) {
        std::string_view sv(n);
        if (sv.size() <= keyPath.size() + 1 || sv[keyPath.size()] != '\\') continue;
        if (!SameName(sv.substr(0, keyPath.size()), keyPath)) continue;
        std::string_view rest = sv.substr(keyPath.size() + 1);
        if (rest.find('\\') == std::string_view::npos) out.emplace_back(rest);
    }
    return out;
}

}  // namespace platform::settings
