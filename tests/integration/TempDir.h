#pragma once
// A private directory from mkdtemp, removed with its contents on destruction; tests running in
// parallel never share one. Set QV_KEEP_TEST_DIRS=1 to keep them for a post-mortem.
#include <string>

namespace qvtest {

class TempDir {
public:
    explicit TempDir(const std::string& prefix = "qvtest");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool ok() const { return !m_path.empty(); }
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

}  // namespace qvtest
