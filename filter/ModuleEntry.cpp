// The module's entry points: the class factory over the two templates (the filter and its
// property page), self-registration with the filter mapper's data, and the log set up when the
// module is loaded. Only the four Dll* functions leave the module.
#include <dlfcn.h>

#include <span>

#include "filter/FilterInterfaces.h"
#include "filter/RTMPSinkProperties.h"
#include "filter/Renderer.h"
#include "foundation/Log.h"
#include "platform/com/ClassFactory.h"
#include "platform/dshow/Registration.h"
#include "platform/dshow/Uuids.h"

#define QV_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr const wchar_t* kPageName = L"Quorvel RTMP Network Writer Property Page";

const AMOVIESETUP_MEDIATYPE kVideoTypes[] = {{&MEDIATYPE_Video, &GUID_NULL}};
const AMOVIESETUP_MEDIATYPE kAudioTypes[] = {{&MEDIATYPE_Audio, &GUID_NULL}};
const AMOVIESETUP_PIN kPins[] = {
    {L"Video", TRUE, FALSE, FALSE, FALSE, &GUID_NULL, nullptr, 1, kVideoTypes},
    {L"Audio", TRUE, FALSE, FALSE, FALSE, &GUID_NULL, nullptr, 1, kAudioTypes},
};
// Do-not-use merit: automatic graph building must never pick a network writer.
const AMOVIESETUP_FILTER kFilter = {&CLSID_QuorvelRTMPWriter, CRenderer::kFilterName, MERIT_DO_NOT_USE, 2, kPins};

const CFactoryTemplate kTemplates[] = {
    {CRenderer::kFilterName, &CLSID_QuorvelRTMPWriter, &CRenderer::CreateInstance, nullptr, &kFilter},
    {kPageName, &CLSID_QuorvelRTMPWriterPropertyPage, &CRTMPSinkProperties::CreateInstance, nullptr, nullptr},
};

std::string ModulePath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(&ModulePath), &info) == 0 || !info.dli_fname) return {};
    return info.dli_fname;
}

__attribute__((constructor)) void ModuleLoaded() {
    LogInit(reinterpret_cast<const void*>(&ModuleLoaded));
    Log(LOG_TRACE, 1, "DirectShow: DllEntryPoint DLL_PROCESS_ATTACH");
}

}  // namespace

QV_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    return ComGetClassObject(std::span<const CFactoryTemplate>(kTemplates), rclsid, riid, ppv);
}

QV_EXPORT HRESULT DllCanUnloadNow() { return ComCanUnloadNow(); }

QV_EXPORT HRESULT DllRegisterServer() {
    const std::string path = ModulePath();
    return AMovieDllRegisterServer2(std::span<const CFactoryTemplate>(kTemplates), true, path.c_str());
}

QV_EXPORT HRESULT DllUnregisterServer() {
    return AMovieDllRegisterServer2(std::span<const CFactoryTemplate>(kTemplates), false, nullptr);
}
