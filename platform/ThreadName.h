#pragma once
#include <string_view>

namespace platform {

// Names the calling thread for debuggers, `top -H` and /proc (Linux keeps 15 characters; the
// end of a longer name is the part that tells threads apart, so that is what is kept).
void SetCurrentThreadName(std::string_view name);

}  // namespace platform
