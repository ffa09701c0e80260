#pragma once
// The host's side of in-process modules: find the module of a class id in the settings store
// (CLSID\{...}\InprocServer32), load it, ask its DllGetClassObject for the class factory and
// create the object. A module that is not registered can be loaded from a path the host names.
// Loaded modules stay loaded until FreeUnusedModules finds that they can go.
#include <string>

#include "platform/com/Unknown.h"

namespace modules {

// The registered module of a class id (per-user registration first); empty when none.
std::string RegisteredModulePath(REFCLSID clsid);

// Creates the class from the registered module. REGDB_E_CLASSNOTREG when the class is not
// registered; CO_E_DLLNOTFOUND when the module cannot be loaded; else the factory's result.
HRESULT CreateInstance(REFCLSID clsid, IUnknown* pUnkOuter, REFIID riid, void** ppv);

// The same from the module at `path`, registered or not.
HRESULT CreateInstanceFromModule(const std::string& path, REFCLSID clsid, IUnknown* pUnkOuter, REFIID riid,
                                 void** ppv);

// Calls an exported function of the module at `path` (loading it): "DllRegisterServer" and the
// like. E_NOINTERFACE when the module has no such export.
HRESULT CallModuleFunction(const std::string& path, const char* name);

// Unloads every module whose DllCanUnloadNow answers S_OK; returns how many went.
int FreeUnusedModules();

constexpr HRESULT REGDB_E_CLASSNOTREG = MakeHResult(0x80040154u);
constexpr HRESULT CO_E_DLLNOTFOUND = MakeHResult(0x800401F8u);

}  // namespace modules
