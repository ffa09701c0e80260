#include "sink/CommandArguments.h"

#include <algorithm>
#include <functional>
#include <string>

#include "foundation/Log.h"
#include "platform/com/Dispatch.h"
#include "rtmp/Amf3Values.h"

namespace sink {
namespace {

using MemberFn = std::function<void(const wchar_t* name, const VARIANT& value)>;

// Calls fn for each member of an automation object, in the object's enumeration order.
void ForEachDispatchMember(IDispatch* object, const MemberFn& fn) {
    if (!object) return;
    IDispatchEx* ex = nullptr;
    if (FAILED(object->QueryInterface(IID_IDispatchEx, reinterpret_cast<void**>(&ex))) || !ex) return;
    DISPID id = DISPID_STARTENUM;
    for (int n = 0; n < kMaxArgumentMembers; ++n) {
        DISPID next = DISPID_UNKNOWN;
        if (ex->GetNextDispID(fdexEnumAll, id, &next) != S_OK) break;
        id = next;
        com::CBstr name;
        if (FAILED(ex->GetMemberName(id, name.out()))) continue;
        VARIANT value;
        DISPPARAMS none;
        if (FAILED(ex->InvokeEx(id, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &value, nullptr, nullptr))) {
            VariantClear(&value);
            continue;
        }
        fn(name.get(), value);
        VariantClear(&value);
    }
    ex->Release();
}

void ForEachListMember(const KeyValueList* list, const MemberFn& fn) {
    if (!list || !list->names || !list->values) return;
    const uint32_t count = std::min<uint32_t>(list->count, kMaxArgumentMembers);
    for (uint32_t i = 0; i < count; ++i) {
        if (!list->names[i]) continue;
        fn(list->names[i], list->values[i]);
    }
}

void ForEachMember(const VARIANT& v, const MemberFn& fn) {
    if (v.vt == VT_DISPATCH) ForEachDispatchMember(v.pdispVal, fn);
    else if (v.vt == VT_KEYVALUELIST) ForEachListMember(v.pkvlVal, fn);
}

// A member value is nested when it is an object of the same kind as its container.
bool IsNested(VARTYPE container, const VARIANT& v) {
    return (container == VT_DISPATCH && v.vt == VT_DISPATCH) || (container == VT_KEYVALUELIST && v.vt == VT_KEYVALUELIST);
}

bool IsIntegerInRange(const VARIANT& v, int32_t& out) {
    int64_t value;
    if (v.vt == VT_UI4) value = v.ulVal;
    else if (v.vt == VT_INT) value = v.intVal;
    else return false;
    if (value < rtmp::amf3::U29_MIN || value > rtmp::amf3::U29_MAX) return false;
    out = static_cast<int32_t>(value);
    return true;
}

bool WriteNested(rtmp::CAmfWriter& w, const VARIANT& object, int depth);

// One value; the switch marker precedes it only at the top level. Values of types without an
// encoding are left out entirely (their name too).
bool WriteValue(rtmp::CAmfWriter& w, VARTYPE container, const VARIANT& v, bool top, int depth,
                const std::string* name) {
    std::string text;
    int32_t integer = 0;
    const bool nested = IsNested(container, v);
    if (v.vt == VT_BSTR) {
        if (!com::WideToNarrow(v.bstrVal ? v.bstrVal : L"", kMaxArgumentText, text)) return true;
    } else if (v.vt == VT_BOOL) {
    } else if (v.vt == VT_UI4 || v.vt == VT_INT) {
        if (!IsIntegerInRange(v, integer)) return true;
    } else if (!nested) {
        return true;
    }
    if (name && !rtmp::amf3::WriteStringValue(w, *name)) return false;
    if (nested) return WriteNested(w, v, depth + 1);
    if (v.vt == VT_BSTR) return rtmp::amf3::WriteString(w, text, top);
    if (v.vt == VT_BOOL) return rtmp::amf3::WriteBoolean(w, v.boolVal == VARIANT_TRUE, top);
    return rtmp::amf3::WriteInteger(w, integer, top, true);
}

bool WriteNested(rtmp::CAmfWriter& w, const VARIANT& object, int depth) {
    if (!rtmp::amf3::WriteObjectStart(w, 2)) return false;
    bool ok = true;
    if (depth <= kMaxArgumentNesting) {
        ForEachMember(object, [&](const wchar_t* wname, const VARIANT& value) {
            if (!ok) return;
            std::string name;
            if (!com::WideToNarrow(wname, kMaxArgumentText, name) || name.empty()) return;
            ok = WriteValue(w, object.vt, value, false, depth, &name);
        });
    }
    // The empty name closes the object.
    return ok && w.U8(0x01);
}

}  // namespace

bool WriteCommandArguments(rtmp::CAmfWriter& w, const VARIANT& arguments) {
    if (arguments.vt != VT_DISPATCH && arguments.vt != VT_KEYVALUELIST) return true;
    bool ok = true;
    ForEachMember(arguments, [&](const wchar_t* wname, const VARIANT& value) {
        if (!ok) return;
        std::string name;
        if (!com::WideToNarrow(wname, kMaxArgumentText, name)) return;
        ok = WriteValue(w, arguments.vt, value, true, 0, nullptr);
    });
    if (!ok) Log(LOG_ERROR, 2, "RTMP command: arguments do not fit the message");
    return ok;
}

}  // namespace sink
