#include <gtest/gtest.h>

#include "platform/Settings.h"
#include "platform/dshow/Registration.h"
#include "platform/dshow/Uuids.h"
#include "tests/platform/TempSettings.h"

namespace {

constexpr CLSID CLSID_Writer = {0xb4fb59c5, 0x983b, 0x4d96, {0x92, 0x04, 0xf8, 0xb0, 0xe4, 0x67, 0x04, 0xee}};
constexpr CLSID CLSID_Page = {0xefc673de, 0xe20e, 0x4699, {0x83, 0x31, 0x95, 0x22, 0xc5, 0xdf, 0x7a, 0x6d}};

const AMOVIESETUP_MEDIATYPE kVideoTypes[] = {{&MEDIATYPE_Video, &GUID_NULL}};
const AMOVIESETUP_MEDIATYPE kAudioTypes[] = {{&MEDIATYPE_Audio, &GUID_NULL}};
const AMOVIESETUP_PIN kPins[] = {
    {L"Video", TRUE, FALSE, FALSE, FALSE, &GUID_NULL, nullptr, 1, kVideoTypes},
    {L"Audio", TRUE, FALSE, FALSE, FALSE, &GUID_NULL, nullptr, 1, kAudioTypes},
};
const AMOVIESETUP_FILTER kFilter = {&CLSID_Writer, L"Quorvel RTMP Network Writer", MERIT_DO_NOT_USE, 2, kPins};

CUnknown* CreateNothing(IUnknown*, HRESULT* phr) {
    *phr = E_OUTOFMEMORY;
    return nullptr;
}

const CFactoryTemplate kTemplates[] = {
    {L"Quorvel RTMP Network Writer", &CLSID_Writer, CreateNothing, nullptr, &kFilter},
    {L"Quorvel RTMP Network Writer Property Page", &CLSID_Page, CreateNothing, nullptr, nullptr},
};

TEST(Registration, RegistersClassesAndFilterAndUnregistersThem) {
    qvtest::TempSettings env;
    EXPECT_FALSE(FindRegisteredFilter(CLSID_Writer));
    ASSERT_EQ(AMovieDllRegisterServer2(kTemplates, true, "/opt/quorvel/librtmpwriter.so"), S_OK);

    auto f = FindRegisteredFilter(CLSID_Writer);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->name, "Quorvel RTMP Network Writer");
    EXPECT_EQ(f->merit, 0x200000u);
    EXPECT_EQ(f->serverPath, "/opt/quorvel/librtmpwriter.so");
    EXPECT_EQ(f->threadingModel, "Both");
    ASSERT_EQ(f->pins.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        const auto& pin = f->pins[i];
        EXPECT_EQ(pin.name, i == 0 ? "Video" : "Audio");
        EXPECT_TRUE(pin.rendered && !pin.output && !pin.zero && !pin.many);
        EXPECT_EQ(pin.connectsToFilter, "{00000000-0000-0000-0000-000000000000}");
        ASSERT_EQ(pin.types.size(), 1u);
        EXPECT_TRUE(pin.types[0].first == (i == 0 ? MEDIATYPE_Video : MEDIATYPE_Audio));
        EXPECT_TRUE(pin.types[0].second == GUID_NULL);
    }
    // The property page is a class without a filter mapper entry.
    using platform::settings::Scope;
    auto page = platform::settings::Read(Scope::Machine, "CLSID\\{EFC673DE-E20E-4699-8331-9522C5DF7A6D}", "");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->str, "Quorvel RTMP Network Writer Property Page");
    EXPECT_FALSE(FindRegisteredFilter(CLSID_Page));
    // Keys are found whatever the letter case, as registry keys are.
    EXPECT_TRUE(platform::settings::KeyExists(Scope::Machine, "clsid\\{b4fb59c5-983b-4d96-9204-f8b0e46704ee}"));

    // Registering again does not duplicate pins.
    ASSERT_EQ(AMovieDllRegisterServer2(kTemplates, true, "/other/path.so"), S_OK);
    f = FindRegisteredFilter(CLSID_Writer);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->pins.size(), 2u);
    EXPECT_EQ(f->serverPath, "/other/path.so");

    ASSERT_EQ(AMovieDllRegisterServer2(kTemplates, false, nullptr), S_OK);
    EXPECT_FALSE(FindRegisteredFilter(CLSID_Writer));
    EXPECT_FALSE(platform::settings::KeyExists(Scope::Machine, ClassKey(CLSID_Page)));
}

TEST(Registration, UnwritableStoreIsReported) {
    qvtest::TempSettings env;
    // A machine-wide store under a path that is a file, not a directory, cannot be written.
    qvtest::TempSettings::WriteText(env.Dir() + "/blocker", "x");
    ::setenv("QV_SETTINGS_MACHINE", (env.Dir() + "/blocker/settings.json").c_str(), 1);
    EXPECT_EQ(AMovieDllRegisterServer2(kTemplates, true, "/x.so"), SELFREG_E_CLASS);
}

}  // namespace
