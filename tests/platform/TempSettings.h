#pragma once
// A private settings world for one test: both scope files in a fresh mkdtemp directory, and the
// debugger output captured.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>

#include <gtest/gtest.h>

#include "platform/DebugOutput.h"

namespace qvtest {

class TempSettings {
public:
    TempSettings() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "qv-settings-XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        m_dir = tmpl;
        m_user = m_dir + "/user/settings.json";
        m_machine = m_dir + "/machine/settings.json";
        ::setenv("QV_SETTINGS_USER", m_user.c_str(), 1);
        ::setenv("QV_SETTINGS_MACHINE", m_machine.c_str(), 1);
        platform::SetDebugOutputSink([this](std::string_view t) {
            std::lock_guard<std::mutex> g(m_mutex);
            m_debug.append(t);
        });
    }
    ~TempSettings() {
        platform::SetDebugOutputSink({});
        ::unsetenv("QV_SETTINGS_USER");
        ::unsetenv("QV_SETTINGS_MACHINE");
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }

    const std::string& Dir() const { return m_dir; }
    const std::string& UserFile() const { return m_user; }
    const std::string& MachineFile() const { return m_machine; }
    std::string Debug() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_debug;
    }
    void ClearDebug() {
        std::lock_guard<std::mutex> g(m_mutex);
        m_debug.clear();
    }
    static void WriteText(const std::string& path, const std::string& text) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    }
    static std::string ReadText(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

private:
    std::string m_dir, m_user, m_machine;
    std::mutex m_mutex;  // guards m_debug: any thread logs, the test reads
    std::string m_debug;
};

}  // namespace qvtest
