#pragma once
// The file behind one settings scope: a JSON document mapping each key path to an object of its
// values (a DWORD is a JSON unsigned number, a string a JSON string).
//
// Readers never lock: a writer replaces the file by renaming a fully written temporary file over
// it, so a reader sees either the old or the new document, never half of one. Writers serialise
// their read-modify-write through an flock'ed "<file>.lock", which works across processes and,
// because every writer opens its own descriptor, across threads as well.
#include <functional>
#include <string>

#include <json/value.h>

namespace platform::settings {

class SettingsFile {
public:
    explicit SettingsFile(std::string path) : m_path(std::move(path)) {}

    // The whole document; an empty object when the file is missing or malformed (a malformed
    // file is reported once per path on the debugger output).
    Json::Value Load() const;
    // Runs `edit` on the current document under the writer lock and stores the result when
    // `edit` returns true. false when the lock, the temporary file or the rename fails.
    bool Modify(const std::function<bool(Json::Value& doc)>& edit) const;

    const std::string& Path() const { return m_path; }

private:
    enum class LoadResult { Ok, Missing, Malformed };
    LoadResult LoadInto(Json::Value& doc) const;
    bool Store(const Json::Value& doc) const;

    std::string m_path;
};

}  // namespace platform::settings
