#include "platform/dshow/Registration.h"

#include "platform/Settings.h"
#include "platform/dshow/Uuids.h"

namespace settings = platform::settings;
using settings::Scope;

namespace {

// Names in the tables are wide; the store holds UTF-8.
std::string Narrow(LPCWSTR w) {
    std::string out;
    if (!w) return out;
    for (; *w; ++w) {
        auto c = static_cast<uint32_t>(*w);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | ((c >> 18) & 0x07));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// The unnamed value of a key, as the registry has one.
constexpr const char* kDefaultValue = "";

bool RegisterClass(const CFactoryTemplate& t, const char* modulePath) {
    std::string key = ClassKey(*t.m_ClsID);
    std::string server = key + "\\InprocServer32";
    return settings::WriteString(Scope::Machine, key, kDefaultValue, Narrow(t.m_Name)) &&
           settings::WriteString(Scope::Machine, server, kDefaultValue, modulePath ? modulePath : "") &&
           settings::WriteString(Scope::Machine, server, "ThreadingModel", "Both");
}

bool RegisterFilter(const AMOVIESETUP_FILTER& f) {
    std::string key = FilterMapperKey(*f.clsID);
    if (!settings::WriteString(Scope::Machine, key, "FriendlyName", Narrow(f.strName)) ||
        !settings::WriteString(Scope::Machine, key, "CLSID", GuidToString(*f.clsID)) ||
        !settings::WriteDword(Scope::Machine, key, "Merit", f.dwMerit))
        return false;
    for (UINT i = 0; i < f.nPins; ++i) {
        const AMOVIESETUP_PIN& p = f.lpPin[i];
        std::string pk = key + "\\Pins\\" + std::to_string(i);
        bool ok = settings::WriteString(Scope::Machine, pk, "Name", Narrow(p.strName)) &&
                  settings::WriteDword(Scope::Machine, pk, "Rendered", p.bRendered ? 1 : 0) &&
                  settings::WriteDword(Scope::Machine, pk, "Output", p.bOutput ? 1 : 0) &&
                  settings::WriteDword(Scope::Machine, pk, "Zero", p.bZero ? 1 : 0) &&
                  settings::WriteDword(Scope::Machine, pk, "Many", p.bMany ? 1 : 0) &&
                  settings::WriteString(Scope::Machine, pk, "ConnectsToFilter",
                                        GuidToString(p.clsConnectsToFilter ? *p.clsConnectsToFilter : GUID_NULL)) &&
                  settings::WriteString(Scope::Machine, pk, "ConnectsToPin", Narrow(p.strConnectsToPin));
        if (!ok) return false;
        for (UINT t = 0; t < p.nMediaTypes; ++t) {
            const AMOVIESETUP_MEDIATYPE& mt = p.lpMediaType[t];
            std::string tk = pk + "\\Types\\" + std::to_string(t);
            if (!settings::WriteString(Scope::Machine, tk, "MajorType",
                                       GuidToString(mt.clsMajorType ? *mt.clsMajorType : GUID_NULL)) ||
                !settings::WriteString(Scope::Machine, tk, "SubType",
                                       GuidToString(mt.clsMinorType ? *mt.clsMinorType : GUID_NULL)))
                return false;
        }
    }
    return true;
}

std::string ReadString(const std::string& key, const char* name) {
    auto v = settings::Read(Scope::Machine, key, name);
    return v && v->type == settings::Type::String ? v->str : std::string();
}

DWORD ReadDword(const std::string& key, const char* name) {
    auto v = settings::Read(Scope::Machine, key, name);
    return v && v->type == settings::Type::Dword ? v->dword : 0;
}

}  // namespace

std::string ClassKey(REFCLSID clsid) { return "CLSID\\" + GuidToString(clsid); }

std::string FilterMapperKey(REFCLSID clsid) {
    return "CLSID\\" + GuidToString(CLSID_LegacyAmFilterCategory) + "\\Instance\\" + GuidToString(clsid);
}

HRESULT AMovieDllRegisterServer2(std::span<const CFactoryTemplate> templates, bool bRegister, const char* modulePath) {
    for (const CFactoryTemplate& t : templates) {
        if (!t.m_ClsID) continue;
        const AMOVIESETUP_FILTER* f = t.m_pAMovieSetup_Filter;
        if (bRegister) {
            // A re-registration replaces what an older version wrote, pins included.
            settings::DeleteKey(Scope::Machine, ClassKey(*t.m_ClsID));
            if (f && f->clsID) settings::DeleteKey(Scope::Machine, FilterMapperKey(*f->clsID));
            if (!RegisterClass(t, modulePath)) return SELFREG_E_CLASS;
            if (f && f->clsID && !RegisterFilter(*f)) return SELFREG_E_CLASS;
        } else {
            settings::DeleteKey(Scope::Machine, ClassKey(*t.m_ClsID));
            if (f && f->clsID) settings::DeleteKey(Scope::Machine, FilterMapperKey(*f->clsID));
        }
    }
    return S_OK;
}

std::optional<RegisteredFilter> FindRegisteredFilter(REFCLSID clsid) {
    std::string key = FilterMapperKey(clsid);
    if (!settings::KeyExists(Scope::Machine, key)) return std::nullopt;
    RegisteredFilter r;
    r.name = ReadString(key, "FriendlyName");
    r.merit = ReadDword(key, "Merit");
    std::string server = ClassKey(clsid) + "\\InprocServer32";
    r.serverPath = ReadString(server, kDefaultValue);
    r.threadingModel = ReadString(server, "ThreadingModel");
    // Pins and types are numbered from 0 in registration order; the first gap ends the list.
    for (int i = 0;; ++i) {
        std::string pk = key + "\\Pins\\" + std::to_string(i);
        if (!settings::KeyExists(Scope::Machine, pk)) break;
        RegisteredFilter::Pin p;
        p.name = ReadString(pk, "Name");
        p.rendered = ReadDword(pk, "Rendered") != 0;
        p.output = ReadDword(pk, "Output") != 0;
        p.zero = ReadDword(pk, "Zero") != 0;
        p.many = ReadDword(pk, "Many") != 0;
        p.connectsToFilter = ReadString(pk, "ConnectsToFilter");
        p.connectsToPin = ReadString(pk, "ConnectsToPin");
        for (int t = 0;; ++t) {
            std::string tk = pk + "\\Types\\" + std::to_string(t);
            if (!settings::KeyExists(Scope::Machine, tk)) break;
            auto major = GuidFromString(ReadString(tk, "MajorType"));
            auto minor = GuidFromString(ReadString(tk, "SubType"));
            p.types.emplace_back(major.value_or(GUID_NULL), minor.value_or(GUID_NULL));
        }
        r.pins.push_back(std::move(p));
    }
    return r;
}
