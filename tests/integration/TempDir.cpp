#include "TempDir.h"

#include <cstdlib>
#include <filesystem>
#include <vector>

namespace qvtest {

TempDir::TempDir(const std::string& prefix)
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()))
        m_path = buf.data();
}

TempDir::~TempDir()
{
    const char* keep = std::getenv("QV_KEEP_TEST_DIRS");
    if (m_path.empty() || (keep && *keep == '1'))
        return;
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

}  // namespace qvtest
