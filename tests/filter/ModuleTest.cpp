// The writer as an in-process module: its registration data in the settings store, creation by
// class id through the registered path, creation from a path without registration, and the
// module's unload answer. The test links none of the filter's code: everything it reaches goes
// through the module's exports and COM interfaces.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "filter/FilterInterfaces.h"
#include "filter/ModuleLoader.h"
#include "platform/Settings.h"
#include "platform/com/ComPtr.h"
#include "platform/dshow/Registration.h"
#include "platform/dshow/Uuids.h"

namespace settings = platform::settings;

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

TEST_F(WriterModule, RegistrationWritesClassesAndFilterMapperEntry) {
    EXPECT_EQ(modules::RegisteredModulePath(CLSID_QuorvelRTMPWriter), "");
    ASSERT_EQ(modules::CallModuleFunction(kModule, "DllRegisterServer"), S_OK);
    auto f = FindRegisteredFilter(CLSID_QuorvelRTMPWriter);
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->name, "Quorvel RTMP Network Writer");
    EXPECT_EQ(f->merit, 0x200000u);
    EXPECT_EQ(std::filesystem::canonical(f->serverPath), std::filesystem::canonical(kModule));
    EXPECT_EQ(f->threadingModel, "Both");
    ASSERT_EQ(f->pins.size(), 2u);
    const char* names[] = {"Video", "Audio"};
    const GUID* majors[] = {&MEDIATYPE_Video, &MEDIATYPE_Audio};
    for (size_t i = 0; i < 2; ++i) {
        const auto& p = f->pins[i];
        EXPECT_EQ(p.name, names[i]);
        EXPECT_TRUE(p.rendered);
        EXPECT_FALSE(p.output);
        EXPECT_FALSE(p.zero);
        EXPECT_FALSE(p.many);
        EXPECT_EQ(p.connectsToFilter, GuidToString(GUID_NULL));
        EXPECT_EQ(p.connectsToPin, "");
        ASSERT_EQ(p.types.size(), 1u);
        EXPECT_EQ(p.types[0].first, *majors[i]);
        EXPECT_EQ(p.types[0].second, GUID_NULL) << "any subtype";
    }
    auto page = settings::Read(settings::Scope::Machine, ClassKey(CLSID_QuorvelRTMPWriterPropertyPage), "");
    ASSERT_TRUE(page.has_value());
    EXPECT_EQ(page->str, "Quorvel RTMP Network Writer Property Page");
    EXPECT_FALSE(FindRegisteredFilter(CLSID_QuorvelRTMPWriterPropertyPage).has_value())
        << "the page is a class, not a filter";

    ASSERT_EQ(modules::CallModuleFunction(kModule, "DllUnregisterServer"), S_OK);
    EXPECT_FALSE(FindRegisteredFilter(CLSID_QuorvelRTMPWriter).has_value());
    EXPECT_EQ(modules::RegisteredModulePath(CLSID_QuorvelRTMPWriter), "");
}

TEST_F(WriterModule, CreatesTheFilterByClassId) {
    IBaseFilter* filter = nullptr;
    EXPECT_EQ(modules::CreateInstance(CLSID_QuorvelRTMPWriter, nullptr, IID_IBaseFilter,
                                      reinterpret_cast<void**>(&filter)),
              modules::REGDB_E_CLASSNOTREG);
    ASSERT_EQ(modules::CallModuleFunction(kModule, "DllRegisterServer"), S_OK);
    ASSERT_EQ(modules::CreateInstance(CLSID_QuorvelRTMPWriter, nullptr, IID_IBaseFilter,
                                      reinterpret_cast<void**>(&filter)),
              S_OK);
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(modules::CallModuleFunction(kModule, "DllCanUnloadNow"), S_FALSE) << "an object is alive";
    CLSID clsid{};
    ASSERT_EQ(filter->GetClassID(&clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_QuorvelRTMPWriter);
    FILTER_INFO info{};
    ASSERT_EQ(filter->QueryFilterInfo(&info), S_OK);
    EXPECT_STREQ(info.achName, L"Quorvel RTMP Network Writer");
    IPin* pin = nullptr;
    ASSERT_EQ(filter->FindPin(L"Audio", &pin), S_OK);
    PIN_DIRECTION dir;
    pin->QueryDirection(&dir);
    EXPECT_EQ(dir, PINDIR_INPUT);
    pin->Release();
    IRTMPOptions* options = nullptr;
    ASSERT_EQ(filter->QueryInterface(IID_IRTMPOptions, reinterpret_cast<void**>(&options)), S_OK);
    int32_t size = 0;
    EXPECT_EQ(options->GetOutputPacketSize(&size), S_OK);
    EXPECT_EQ(size, 1450);
    options->Release();
    filter->Release();
    EXPECT_EQ(modules::CallModuleFunction(kModule, "DllCanUnloadNow"), S_OK);
    EXPECT_GE(modules::FreeUnusedModules(), 1);
}

TEST_F(WriterModule, LoadsUnregisteredModuleFromAPath) {
    IUnknown* unk = nullptr;
    ASSERT_EQ(modules::CreateInstanceFromModule(kModule, CLSID_QuorvelRTMPWriter, nullptr, IID_IUnknown,
                                                reinterpret_cast<void**>(&unk)),
              S_OK);
    ICodecAPI* codec = nullptr;
    ASSERT_EQ(unk->QueryInterface(IID_ICodecAPI, reinterpret_cast<void**>(&codec)), S_OK);
    codec->Release();
    unk->Release();
    const GUID unknown = {0xdeadbeef, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
    EXPECT_EQ(modules::CreateInstanceFromModule(kModule, unknown, nullptr, IID_IUnknown,
                                                reinterpret_cast<void**>(&unk)),
              CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(modules::CreateInstanceFromModule(m_dir + "/missing.so", CLSID_QuorvelRTMPWriter, nullptr,
                                                IID_IUnknown, reinterpret_cast<void**>(&unk)),
              modules::CO_E_DLLNOTFOUND);
    EXPECT_EQ(modules::CallModuleFunction(kModule, "NoSuchExport"), E_NOINTERFACE);
}

TEST_F(WriterModule, ExportsOnlyTheEntryPoints) {
    void* h = dlopen(kModule.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(h, nullptr) << dlerror();
    for (const char* name : {"DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer", "DllUnregisterServer"})
        EXPECT_NE(dlsym(h, name), nullptr) << name;
    // The module's own copies of the shared libraries stay private to it.
    EXPECT_EQ(dlsym(h, "_Z7LogInitPKv"), nullptr);
    dlclose(h);
}

}  // namespace
