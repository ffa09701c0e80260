#include "platform/ThreadName.h"

#include <pthread.h>

#include <string>

namespace platform {

void SetCurrentThreadName(std::string_view name) {
    constexpr size_t kMax = 15;
    if (name.size() > kMax) name = name.substr(name.size() - kMax);
    const std::string n(name);
    pthread_setname_np(pthread_self(), n.c_str());
}

}  // namespace platform
