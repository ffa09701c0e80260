#include "platform/SettingsFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <json/reader.h>
#include <json/writer.h>

#include "platform/DebugOutput.h"

namespace platform::settings {
namespace {

std::mutex g_reportedMutex;            // guards g_reported; leaf lock, any thread
std::set<std::string> g_reported;      // paths whose malformed content was already reported

void ReportOnce(const std::string& path, const std::string& why) {
    {
        std::lock_guard<std::mutex> g(g_reportedMutex);
        if (!g_reported.insert(path).second) return;
    }
    OutputDebugString("Settings file " + path + " is malformed and is read as empty: " + why + "\r\n");
}

// mkdir -p for the directory part of `path`; failures show up when the file is opened.
void MakeParentDirs(const std::string& path) {
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        ::mkdir(path.substr(0, pos).c_str(), 0755);
    }
}

class FdCloser {
public:
    explicit FdCloser(int fd) : m_fd(fd) {}
    ~FdCloser() {
        if (m_fd >= 0) ::close(m_fd);
    }
    FdCloser(const FdCloser&) = delete;
    FdCloser& operator=(const FdCloser&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

SettingsFile::LoadResult SettingsFile::LoadInto(Json::Value& doc) const {
    doc = Json::Value(Json::objectValue);
    std::ifstream in(m_path, std::ios::binary);
    if (!in) return LoadResult::Missing;
    std::stringstream buf;
    buf << in.rdbuf();
    const std::string text = buf.str();
    if (text.find_first_not_of(" \t\r\n") == std::string::npos) return LoadResult::Ok;

    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["stackLimit"] = 64;  // the store is two levels deep; anything deeper is not ours
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value parsed;
    std::string errors;
    bool ok = false;
    try {
        ok = reader->parse(text.data(), text.data() + text.size(), &parsed, &errors);
    } catch (const std::exception& e) {  // the nesting cap reports itself by throwing
        errors = e.what();
    }
    if (!ok) {
        ReportOnce(m_path, errors);
        return LoadResult::Malformed;
    }
    if (!parsed.isObject()) {
        ReportOnce(m_path, "the top level is not an object");
        return LoadResult::Malformed;
    }
    doc = std::move(parsed);
    return LoadResult::Ok;
}

Json::Value SettingsFile::Load() const {
    Json::Value doc;
    LoadInto(doc);
    return doc;
}

bool SettingsFile::Store(const Json::Value& doc) const {
    std::string tmpl = m_path + ".XXXXXX";
    int fd = ::mkstemp(tmpl.data());
    if (fd < 0) return false;
    FdCloser closer(fd);
    Json::StreamWriterBuilder wb;
    wb["indentation"] = "  ";
    const std::string text = Json::writeString(wb, doc) + "\n";
    bool ok = ::fchmod(fd, 0644) == 0 && WriteAll(fd, text) && ::fsync(fd) == 0;
    if (ok) ok = ::rename(tmpl.c_str(), m_path.c_str()) == 0;
    if (!ok) ::unlink(tmpl.c_str());
    return ok;
}

bool SettingsFile::Modify(const std::function<bool(Json::Value& doc)>& edit) const {
    MakeParentDirs(m_path);
    const std::string lockPath = m_path + ".lock";
    FdCloser lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (lock.get() < 0) return false;
    int rc;
    do {
        rc = ::flock(lock.get(), LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) return false;

    Json::Value doc;
    if (LoadInto(doc) == LoadResult::Malformed) {
        // Keep the unreadable content for a human to look at instead of silently losing it.
        ::rename(m_path.c_str(), (m_path + ".corrupt").c_str());
    }
    try {
        if (!edit(doc)) return true;
        return Store(doc);  // the lock is released when `lock` closes
    } catch (const std::exception& e) {
        OutputDebugString("Settings file " + m_path + " not updated: " + e.what() + "\r\n");
        return false;
    }
}

}  // namespace platform::settings
