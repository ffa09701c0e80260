#include "foundation/EventCallbacks.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <exception>
#include <string>

#include "foundation/Log.h"
#include "foundation/TextConvert.h"
#include "platform/ReentrantLock.h"

namespace {

constexpr size_t kMaxCallbacks = 255;
constexpr size_t kMessageChars = 2048;

struct Entry {
    EventCallback fn = nullptr;
    void* context = nullptr;
};

struct Registry {
    // Guards entries/count. Taken by any thread that registers or posts, and held while the
    // callbacks run so they are served one at a time in registration order. Outermost of the
    // foundation locks: the log's output lock is taken inside it.
    platform::CReentrantLock lock;
    Entry entries[kMaxCallbacks];
    size_t count = 0;
};

Registry& TheRegistry() {
    static Registry r;
    return r;
}

void Deliver(const Entry& e, const wchar_t* category, const wchar_t* message) {
    if (!e.fn || !category || !message) return;
    try {
        e.fn(e.context, category, message);
    } catch (...) {
        Log(LOG_ERROR, 0, "*** SendEvent Exception!");
    }
}

void Dispatch(const std::wstring& category, const std::wstring& message) {
    Registry& r = TheRegistry();
    for (size_t i = 0; i < r.count; ++i) Deliver(r.entries[i], category.c_str(), message.c_str());
}

}  // namespace

int32_t RegisterEventCallback(void* context, EventCallback callback) {
    Registry& r = TheRegistry();
    platform::CAutoLock g(r.lock);
    if (r.count >= kMaxCallbacks) {
        Log(LOG_ERROR, 0, "Internal Error: callback queue>255");
        return 1;
    }
    for (size_t i = 0; i < r.count; ++i) {
        if (r.entries[i].fn == callback && r.entries[i].context == context) return 0;
    }
    r.entries[r.count++] = Entry{callback, context};
    return 0;
}

void PostEvent(const char* category, const char* fmt, ...) {
    Registry& r = TheRegistry();
    platform::CAutoLock g(r.lock);
    try {
        char buf[kMessageChars];
        buf[0] = '\0';
        if (fmt) {
            va_list ap;
            va_start(ap, fmt);
            std::vsnprintf(buf, sizeof buf, fmt, ap);
            va_end(ap);
        }
        const char* cat = category ? category : "";
        Log(LOG_TRACE, 1, "OnEvent(%s)=%s", cat, buf);
        Dispatch(Utf8ToWide(cat), Utf8ToWide(buf));
    } catch (...) {
        Log(LOG_ERROR, 0, "*** OnEvent Exception!");
    }
}

void PostEvent(const wchar_t* category, const wchar_t* fmt, ...) {
    Registry& r = TheRegistry();
    platform::CAutoLock g(r.lock);
    try {
        wchar_t buf[kMessageChars];
        buf[0] = L'\0';
        if (fmt) {
            va_list ap;
            va_start(ap, fmt);
            // A too long message is cut, not dropped (vswprintf leaves the buffer unterminated then).
            if (std::vswprintf(buf, kMessageChars, fmt, ap) < 0) buf[kMessageChars - 1] = L'\0';
            va_end(ap);
        }
        const std::wstring cat = category ? category : L"";
        Log(LOG_TRACE, 1, "OnEvent(%s)=%s", WideToUtf8(cat).c_str(), WideToUtf8(buf).c_str());
        Dispatch(cat, buf);
    } catch (...) {
        Log(LOG_ERROR, 0, "*** OnEvent Exception!");
    }
}

void ResetEventCallbacksForTests() {
    Registry& r = TheRegistry();
    platform::CAutoLock g(r.lock);
    r.count = 0;
}
