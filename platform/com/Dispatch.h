#pragma once
// The object-reference side of automation values: GUIDs, IUnknown, IDispatch and the
// IDispatchEx interface through which script objects passed as command arguments are read
// (members enumerated by id, named, and read as properties).
#include <cstdint>
#include <cstring>

#include "platform/com/Variant.h"

#include "platform/com/Unknown.h"

using DISPID = int32_t;
using LCID = uint32_t;
constexpr DISPID DISPID_STARTENUM = -1;
constexpr DISPID DISPID_UNKNOWN = -1;
constexpr uint32_t fdexEnumDefault = 1;
constexpr uint32_t fdexEnumAll = 2;
constexpr uint16_t DISPATCH_METHOD = 1;
constexpr uint16_t DISPATCH_PROPERTYGET = 2;
constexpr uint16_t DISPATCH_PROPERTYPUT = 4;
constexpr LCID LOCALE_USER_DEFAULT = 1024;

struct DISPPARAMS {
    VARIANT* rgvarg = nullptr;
    DISPID* rgdispidNamedArgs = nullptr;
    uint32_t cArgs = 0;
    uint32_t cNamedArgs = 0;
};
struct EXCEPINFO;
struct IServiceProvider;
struct ITypeInfo;

inline constexpr IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IDispatchEx = {0xA6EF9860, 0xC720, 0x11D0, {0x93, 0x37, 0x00, 0xA0, 0xC9, 0x0D, 0xCA, 0xA9}};

struct IDispatch : IUnknown {
    virtual HRESULT GetTypeInfoCount(uint32_t* count) = 0;
    virtual HRESULT GetTypeInfo(uint32_t index, LCID lcid, ITypeInfo** info) = 0;
    virtual HRESULT GetIDsOfNames(REFIID riid, wchar_t** names, uint32_t count, LCID lcid, DISPID* ids) = 0;
    virtual HRESULT Invoke(DISPID id, REFIID riid, LCID lcid, uint16_t flags, DISPPARAMS* params, VARIANT* result,
                           EXCEPINFO* excep, uint32_t* argErr) = 0;

protected:
    ~IDispatch() = default;
};

struct IDispatchEx : IDispatch {
    virtual HRESULT GetDispID(BSTR name, uint32_t flags, DISPID* id) = 0;
    virtual HRESULT InvokeEx(DISPID id, LCID lcid, uint16_t flags, DISPPARAMS* params, VARIANT* result,
                             EXCEPINFO* excep, IServiceProvider* caller) = 0;
    virtual HRESULT DeleteMemberByName(BSTR name, uint32_t flags) = 0;
    virtual HRESULT DeleteMemberByDispID(DISPID id) = 0;
    virtual HRESULT GetMemberProperties(DISPID id, uint32_t fetch, uint32_t* props) = 0;
    // name receives a BSTR owned by the caller.
    virtual HRESULT GetMemberName(DISPID id, BSTR* name) = 0;
    // S_FALSE when there is no member after `id`.
    virtual HRESULT GetNextDispID(uint32_t flags, DISPID id, DISPID* next) = 0;
    virtual HRESULT GetNameSpaceParent(IUnknown** parent) = 0;

protected:
    ~IDispatchEx() = default;
};
