#include "apps/SettingsOverlay.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/Settings.h"

namespace app {

using platform::settings::Scope;

SettingsOverlay::~SettingsOverlay() {
    if (m_dir.empty()) return;
    if (m_hadEnv) ::setenv("QV_SETTINGS_USER", m_savedEnv.c_str(), 1);
    else ::unsetenv("QV_SETTINGS_USER");
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);  // our own mkdtemp directory
}

bool SettingsOverlay::Create(std::string* error) {
    m_original = platform::settings::FilePath(Scope::User);
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/rtmpwriter-settings-XXXXXX";
    if (!::mkdtemp(templ.data())) {
        if (error) *error = "cannot create a private settings directory in " + std::string(tmp && *tmp ? tmp : "/tmp");
        return false;
    }
    m_dir = templ;
    m_file = m_dir + "/settings.json";
    std::error_code ec;
    if (std::filesystem::exists(m_original, ec)) {
        std::filesystem::copy_file(m_original, m_file, ec);
        if (ec) {
            if (error) *error = "cannot read the settings file " + m_original + ": " + ec.message();
            return false;
        }
    }
    if (const char* old = std::getenv("QV_SETTINGS_USER")) {
        m_hadEnv = true;
        m_savedEnv = old;
    }
    ::setenv("QV_SETTINGS_USER", m_file.c_str(), 1);
    return true;
}

bool SettingsOverlay::SetDword(std::string_view key, std::string_view name, uint32_t value) {
    return platform::settings::WriteDword(Scope::User, key, name, value);
}

bool SettingsOverlay::SetString(std::string_view key, std::string_view name, std::string_view value) {
    return platform::settings::WriteString(Scope::User, key, name, value);
}

}  // namespace app
