#pragma once
// The destinations of one run: the URLs of the command line, then the outputs of the --config
// file, each with the command line's options and what its own entry sets (credentials, connect
// arguments, publish type, buffer mode, reconnection, user agent).
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "apps/CommandLine.h"

namespace app {

// More than this many outputs in one process is taken for a mistake in the file.
constexpr size_t kMaxDestinations = 1000;

// The file's text as the destinations it adds to `base`'s; nothing, with the reason, when the
// text is not such a file.
std::optional<std::vector<PublishOptions>> ParseDestinations(const PublishOptions& base, std::string_view configText,
                                                             std::string* error);
// Every destination of the run, the file read when there is one.
std::optional<std::vector<PublishOptions>> ResolveDestinations(const PublishOptions& base, std::string* error);

}  // namespace app
