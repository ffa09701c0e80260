#include "net/SharedLibrary.h"

#include <dlfcn.h>

#include "foundation/Log.h"

namespace net {

void* OpenSharedLibrary(const char* soname, const char* who) {
    void* h = ::dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        const char* why = ::dlerror();
        Log(LOG_ERROR, 1, "%s: %s cannot be loaded: %s", who, soname, why ? why : "?");
    }
    return h;
}

}  // namespace net
