#include "apps/AdminCommands.h"

#include <string>

#include "apps/ExitCodes.h"
#include "apps/Publisher.h"
#include "filter/FilterInterfaces.h"
#include "filter/ModuleLoader.h"
#include "foundation/TextConvert.h"
#include "platform/Settings.h"
#include "platform/com/Guid.h"
#include "platform/dshow/Registration.h"

namespace app {
namespace {

using platform::settings::Scope;
using platform::settings::Type;
using platform::settings::Value;

std::string Show(const Value& v) {
    return v.type == Type::Dword ? std::to_string(v.dword) : "\"" + v.str + "\"";
}

bool AllDigits(const std::string& s) {
    return !s.empty() && s.size() <= 10 && s.find_first_not_of("0123456789") == std::string::npos &&
           std::stoull(s) <= 0xFFFFFFFFull;
}

int Config(const CommandLine& cl, FILE* out, FILE* err) {
    const ConfigOptions& c = cl.config;
    const Scope scope = c.machine ? Scope::Machine : Scope::User;
    switch (cl.mode) {
    case CommandLine::Mode::ConfigGet: {
        // Without --machine: what the system reads, the user's value before the machine's.
        std::optional<Value> v = platform::settings::Read(scope, c.key, c.name);
        if (!v && !c.machine) v = platform::settings::Read(Scope::Machine, c.key, c.name);
        if (!v) {
            std::fprintf(err, "rtmpwriter: %s\\%s is not set\n", c.key.c_str(), c.name.c_str());
            return EXIT_USAGE;
        }
        std::fprintf(out, "%s\n", v->type == Type::Dword ? std::to_string(v->dword).c_str() : v->str.c_str());
        return EXIT_OK;
    }
    case CommandLine::Mode::ConfigSet: {
        const bool ok = (!c.asString && AllDigits(c.value))
                            ? platform::settings::WriteDword(scope, c.key, c.name, static_cast<uint32_t>(std::stoull(c.value)))
                            : platform::settings::WriteString(scope, c.key, c.name, c.value);
        if (!ok) {
            std::fprintf(err, "rtmpwriter: cannot write %s\n", platform::settings::FilePath(scope).c_str());
            return EXIT_INTERNAL;
        }
        return EXIT_OK;
    }
    case CommandLine::Mode::ConfigUnset:
        if (!platform::settings::DeleteValue(scope, c.key, c.name)) {
            std::fprintf(err, "rtmpwriter: %s\\%s is not set\n", c.key.c_str(), c.name.c_str());
            return EXIT_USAGE;
        }
        return EXIT_OK;
    default: {
        std::fprintf(out, "# %s (%s)\n", c.key.c_str(), platform::settings::FilePath(scope).c_str());
        for (const auto& [name, value] : platform::settings::ListValues(scope, c.key))
            std::fprintf(out, "%s = %s\n", name.c_str(), Show(value).c_str());
        for (const std::string& sub : platform::settings::ListSubkeys(scope, c.key))
            std::fprintf(out, "%s\\\n", sub.c_str());
        return EXIT_OK;
    }
    }
}

int Registration(const CommandLine& cl, FILE* out, FILE* err) {
    const bool reg = cl.mode == CommandLine::Mode::Register;
    std::string path = ResolveModulePath(cl.module);
    if (path.empty()) {
        std::fprintf(err, "rtmpwriter: no filter module found; name one with --module\n");
        return EXIT_INTERNAL;
    }
    const HRESULT hr = modules::CallModuleFunction(path, reg ? "DllRegisterServer" : "DllUnregisterServer");
    if (FAILED(hr)) {
        std::fprintf(err, "rtmpwriter: %s of %s failed (0x%08X)\n", reg ? "registration" : "unregistration", path.c_str(),
                     static_cast<unsigned>(hr));
        return EXIT_INTERNAL;
    }
    std::fprintf(out, "%s %s\n", reg ? "registered" : "unregistered", path.c_str());
    return EXIT_OK;
}

int Filters(FILE* out) {
    // The filter mapper keeps one subkey per filter beside ours.
    std::string instances = FilterMapperKey(CLSID_QuorvelRTMPWriter);
    instances = instances.substr(0, instances.rfind('\\'));
    int n = 0;
    for (const std::string& sub : platform::settings::ListSubkeys(Scope::Machine, instances)) {
        std::optional<GUID> clsid = GuidFromString(sub);
        if (!clsid) continue;
        std::optional<RegisteredFilter> f = FindRegisteredFilter(*clsid);
        if (!f) continue;
        ++n;
        std::fprintf(out, "%s  %s  merit 0x%X  %s\n", sub.c_str(), f->name.c_str(), static_cast<unsigned>(f->merit),
                     f->serverPath.c_str());
        for (const auto& pin : f->pins)
            std::fprintf(out, "    pin %s%s\n", pin.name.c_str(), pin.output ? " (output)" : " (input)");
    }
    if (n == 0) std::fprintf(out, "no filters registered (rtmpwriter register)\n");
    return EXIT_OK;
}

}  // namespace

int RunAdminCommand(const CommandLine& cl, FILE* out, FILE* err) {
    switch (cl.mode) {
    case CommandLine::Mode::Register:
    case CommandLine::Mode::Unregister: return Registration(cl, out, err);
    case CommandLine::Mode::Filters: return Filters(out);
    default: return Config(cl, out, err);
    }
}

}  // namespace app
