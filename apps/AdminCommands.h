#pragma once
// The subcommands that do not stream: the settings store (config get|set|unset|list) and the
// filter module's registration (register, unregister, filters).
#include <cstdio>

#include "apps/CommandLine.h"

namespace app {

int RunAdminCommand(const CommandLine& cl, FILE* out, FILE* err);

}  // namespace app
