// The writer as an in-process module, reached only through its exports and COM interfaces:
// registration in the settings store, creation by class id or from a path, and unloading.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "filter/FilterInterfaces.h"
#include "filter/ModuleLoader.h"
#include "platform/Settings.h"
#include "platform/dshow/Registration.h"
#include "platform/dshow/Uuids.h"

namespace {

const std::string kModule = QV_WRITER_MODULE;

class WriterModule : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qv_filter_module_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        setenv("QV_SETTINGS_USER", (m_dir + "/user.json").c_str(), 1);
        setenv("QV_SETTINGS_MACHINE", (m_dir + "/machine.json").c_str(), 1);
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }
    std::string m_dir;
};

TEST_F(WriterModule, RegistersCreatesByClassIdAndUnloads) {
    IBaseFilter* filter = nullptr;
    auto create = [&] {
        return modules::CreateInstance(CLSID_QuorvelRTMPWriter, nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&filter));
    };
    EXPECT_EQ(create(), modules::REGDB_E_CLASSNOTREG);
    ASSERT_EQ(modules::CallModuleFunction(kModule, "DllRegisterServer"), S_OK);
    auto f = FindRegisteredFilter(CLSID_QuorvelRTMPWriter);  // its listing is checked by the integration tests
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(std::filesystem::canonical(f->serverPath), std::filesystem::canonical(kModule));
    EXPECT_FALSE(FindRegisteredFilter(CLSID_QuorvelRTMPWriterPropertyPage).has_value()) << "the page is no filter";
    ASSERT_EQ(create(), S_OK);
    EXPECT_EQ(modules::CallModuleFunction(kModule, "DllCanUnloadNow"), S_FALSE) << "an object is alive";
    filter->Release();
    EXPECT_EQ(modules::CallModuleFunction(kModule, "DllCanUnloadNow"), S_OK);
    EXPECT_GE(modules::FreeUnusedModules(), 1);

    ASSERT_EQ(modules::CallModuleFunction(kModule, "DllUnregisterServer"), S_OK);
    EXPECT_FALSE(FindRegisteredFilter(CLSID_QuorvelRTMPWriter).has_value());
    EXPECT_EQ(modules::RegisteredModulePath(CLSID_QuorvelRTMPWriter), "");
}

TEST_F(WriterModule, LoadsUnregisteredModuleFromAPathAndExportsOnlyTheEntryPoints) {
    IUnknown* unk = nullptr;
    auto fromModule = [&](const std::string& path, const GUID& clsid) {
        return modules::CreateInstanceFromModule(path, clsid, nullptr, IID_IUnknown, reinterpret_cast<void**>(&unk));
    };
    ASSERT_EQ(fromModule(kModule, CLSID_QuorvelRTMPWriter), S_OK);
    unk->Release();
    EXPECT_EQ(fromModule(kModule, {0xdeadbeef, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}}), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(fromModule(m_dir + "/missing.so", CLSID_QuorvelRTMPWriter), modules::CO_E_DLLNOTFOUND);
    EXPECT_EQ(modules::CallModuleFunction(kModule, "NoSuchExport"), E_NOINTERFACE);

    void* h = dlopen(kModule.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(h, nullptr) << dlerror();
    for (const char* name : {"DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer", "DllUnregisterServer"})
        EXPECT_NE(dlsym(h, name), nullptr) << name;
    EXPECT_EQ(dlsym(h, "_Z7LogInitPKv"), nullptr) << "the module's copies of the shared libraries stay private";
    dlclose(h);
}

}  // namespace
