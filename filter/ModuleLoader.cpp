#include "filter/ModuleLoader.h"

#include <dlfcn.h>

#include <map>
#include <mutex>

#include "foundation/Log.h"
#include "platform/Settings.h"
#include "platform/com/ClassFactory.h"
#include "platform/dshow/Registration.h"

namespace modules {
namespace {

using GetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, void**);
using NoArgFn = HRESULT (*)();

// Guards g_modules. Taken by any host thread that loads, calls into or frees a module; never
// held while a module's code runs object creation, only while looking it up or unloading.
std::mutex g_lock;
std::map<std::string, void*>& Modules() {
    static std::map<std::string, void*> modules;  // path -> dlopen handle
    return modules;
}

void* Load(const std::string& path) {
    std::lock_guard<std::mutex> g(g_lock);
    auto it = Modules().find(path);
    if (it != Modules().end()) return it->second;
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        const char* err = dlerror();
        Log(LOG_ERROR, 0, "ModuleLoader: cannot load %s: %s", path.c_str(), err ? err : "?");
        return nullptr;
    }
    Modules().emplace(path, h);
    return h;
}

}  // namespace

std::string RegisteredModulePath(REFCLSID clsid) {
    namespace settings = platform::settings;
    const std::string key = ClassKey(clsid) + "\\InprocServer32";
    for (settings::Scope scope : {settings::Scope::User, settings::Scope::Machine}) {
        auto v = settings::Read(scope, key, "");
        if (v && v->type == settings::Type::String && !v->str.empty()) return v->str;
    }
    return {};
}

HRESULT CreateInstanceFromModule(const std::string& path, REFCLSID clsid, IUnknown* pUnkOuter, REFIID riid,
                                 void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    void* h = Load(path);
    if (!h) return CO_E_DLLNOTFOUND;
    auto get = reinterpret_cast<GetClassObjectFn>(dlsym(h, "DllGetClassObject"));
    if (!get) return CO_E_DLLNOTFOUND;
    IClassFactory* factory = nullptr;
    HRESULT hr = get(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr) || !factory) return FAILED(hr) ? hr : E_FAIL;
    hr = factory->CreateInstance(pUnkOuter, riid, ppv);
    factory->Release();
    return hr;
}

HRESULT CreateInstance(REFCLSID clsid, IUnknown* pUnkOuter, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    const std::string path = RegisteredModulePath(clsid);
    if (path.empty()) return REGDB_E_CLASSNOTREG;
    return CreateInstanceFromModule(path, clsid, pUnkOuter, riid, ppv);
}

HRESULT CallModuleFunction(const std::string& path, const char* name) {
    void* h = Load(path);
    if (!h) return CO_E_DLLNOTFOUND;
    auto fn = reinterpret_cast<NoArgFn>(dlsym(h, name));
    if (!fn) return E_NOINTERFACE;
    return fn();
}

int FreeUnusedModules() {
    std::lock_guard<std::mutex> g(g_lock);
    int freed = 0;
    for (auto it = Modules().begin(); it != Modules().end();) {
        auto canUnload = reinterpret_cast<NoArgFn>(dlsym(it->second, "DllCanUnloadNow"));
        if (canUnload && canUnload() == S_OK) {
            dlclose(it->second);
            it = Modules().erase(it);
            ++freed;
        } else {
            ++it;
        }
    }
    return freed;
}

}  // namespace modules
