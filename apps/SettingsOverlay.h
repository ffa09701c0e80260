#pragma once
// The settings one run of rtmpwriter needs (its timestamp behaviour, where the filter logs)
// without touching the user's store: the user's settings file is copied into a private
// directory, the copy takes the run's values, and QV_SETTINGS_USER points the filter module at
// it. The machine-wide store is read as it is. The directory goes when the overlay does.
#include <cstdint>
#include <string>
#include <string_view>

namespace app {

class SettingsOverlay {
public:
    SettingsOverlay() = default;
    ~SettingsOverlay();
    SettingsOverlay(const SettingsOverlay&) = delete;
    SettingsOverlay& operator=(const SettingsOverlay&) = delete;

    // Must run before the filter module is loaded and before any other thread starts.
    bool Create(std::string* error);
    bool SetDword(std::string_view key, std::string_view name, uint32_t value);
    bool SetString(std::string_view key, std::string_view name, std::string_view value);
    const std::string& file() const { return m_file; }
    // The user's own file behind the overlay.
    const std::string& original() const { return m_original; }

private:
    std::string m_dir;
    std::string m_file;
    std::string m_original;
    std::string m_savedEnv;
    bool m_hadEnv = false;
};

}  // namespace app
