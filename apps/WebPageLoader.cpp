#include <dlfcn.h>

#include <filesystem>
#include <mutex>

#include "apps/WebPage.h"

namespace app {

std::string WebPageModulePath() {
    if (const char* env = std::getenv("QV_RTMPWRITER_WEB"); env && *env) return env;
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : (self.parent_path() / "librtmpwriter_webpage.so").string();
}

std::unique_ptr<WebPage> OpenWebPage(const PublishOptions& options, IBaseFilter* filter, RunFigures& figures,
                                     EventReporter& reporter, WebPageHooks hooks, std::string* error) {
    // Loaded once and never unloaded: pages made by it may be destroyed at any time after.
    static std::mutex lock;
    static OpenWebPageFn open = nullptr;
    static std::string loadError;
    {
        std::lock_guard<std::mutex> g(lock);
        if (!open && loadError.empty()) {
            const std::string path = WebPageModulePath();
            void* h = path.empty() ? nullptr : dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (h) open = reinterpret_cast<OpenWebPageFn>(dlsym(h, kOpenWebPageSymbol));
            if (!open) {
                const char* why = dlerror();
                loadError = "the web page's module " + (path.empty() ? std::string("(not found)") : path) +
                            " cannot be loaded" + (why ? std::string(": ") + why : std::string());
            }
        }
        if (!open) return *error = loadError, nullptr;
    }
    WebPage* page = open(&options, filter, &figures, &reporter, &hooks);
    if (!page) *error = "the web page's module made no page";
    return std::unique_ptr<WebPage>(page);
}

}  // namespace app
