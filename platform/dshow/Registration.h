#pragma once
// Self-registration of a module's classes: the COM class keys (CLSID\{...} with its name and
// InprocServer32 entry) and, for filters, the filter mapper's entry (name, merit, pins and
// their media types), written to the machine-wide settings store that stands in for the
// registry. A host finds registered filters through FindRegisteredFilter.
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/com/ClassFactory.h"
#include "platform/dshow/DShowTypes.h"

struct AMOVIESETUP_MEDIATYPE {
    const CLSID* clsMajorType;
    const CLSID* clsMinorType;  // &GUID_NULL: any subtype
};

struct AMOVIESETUP_PIN {
    LPCWSTR strName;
    BOOL bRendered;
    BOOL bOutput;
    BOOL bZero;
    BOOL bMany;
    const CLSID* clsConnectsToFilter;  // null or &GUID_NULL: any filter
    LPCWSTR strConnectsToPin;          // null: any pin
    UINT nMediaTypes;
    const AMOVIESETUP_MEDIATYPE* lpMediaType;
};

struct AMOVIESETUP_FILTER {
    const CLSID* clsID;
    LPCWSTR strName;
    DWORD dwMerit;
    UINT nPins;
    const AMOVIESETUP_PIN* lpPin;
};

// Registers (true) or unregisters (false) every template; modulePath names the module in the
// InprocServer32 entries. SELFREG_E_CLASS when the store cannot be written.
HRESULT AMovieDllRegisterServer2(std::span<const CFactoryTemplate> templates, bool bRegister, const char* modulePath);

// What the filter mapper holds for a registered filter, read back.
struct RegisteredFilter {
    std::string name;
    DWORD merit = 0;
    std::string serverPath;      // InprocServer32
    std::string threadingModel;  // InprocServer32\ThreadingModel
    struct Pin {
        std::string name;
        bool rendered = false, output = false, zero = false, many = false;
        std::string connectsToFilter, connectsToPin;
        std::vector<std::pair<GUID, GUID>> types;  // major type, subtype
    };
    std::vector<Pin> pins;
};
std::optional<RegisteredFilter> FindRegisteredFilter(REFCLSID clsid);
// The class key of a class id: "CLSID\{...}".
std::string ClassKey(REFCLSID clsid);
// The filter mapper's key of a filter: "CLSID\{083863F1-...}\Instance\{...}".
std::string FilterMapperKey(REFCLSID clsid);
