#pragma once
// ICodecAPI: generic access to a component's settings by GUID key with VARIANT values, in the
// Windows SDK's slot order.
#include "platform/com/Unknown.h"
#include "platform/com/Variant.h"
#include "platform/dshow/Uuids.h"

struct IStream;  // settings streams are not used here; the slots exist for the layout

struct ICodecAPI : IUnknown {
    virtual HRESULT IsSupported(const GUID* Api) = 0;
    virtual HRESULT IsModifiable(const GUID* Api) = 0;
    virtual HRESULT GetParameterRange(const GUID* Api, VARIANT* ValueMin, VARIANT* ValueMax,
                                      VARIANT* SteppingDelta) = 0;
    virtual HRESULT GetParameterValues(const GUID* Api, VARIANT** Values, ULONG* ValuesCount) = 0;
    virtual HRESULT GetDefaultValue(const GUID* Api, VARIANT* Value) = 0;
    virtual HRESULT GetValue(const GUID* Api, VARIANT* Value) = 0;
    virtual HRESULT SetValue(const GUID* Api, VARIANT* Value) = 0;
    virtual HRESULT RegisterForEvent(const GUID* Api, LONG_PTR userData) = 0;
    virtual HRESULT UnregisterForEvent(const GUID* Api) = 0;
    virtual HRESULT SetAllDefaults() = 0;
    virtual HRESULT SetValueWithNotify(const GUID* Api, VARIANT* Value, GUID** ChangedParam,
                                       ULONG* ChangedParamCount) = 0;
    virtual HRESULT SetAllDefaultsWithNotify(GUID** ChangedParam, ULONG* ChangedParamCount) = 0;
    virtual HRESULT GetAllSettings(IStream* pStream) = 0;
    virtual HRESULT SetAllSettings(IStream* pStream) = 0;
    virtual HRESULT SetAllSettingsWithNotify(IStream* pStream, GUID** ChangedParam, ULONG* ChangedParamCount) = 0;
};
