#pragma once
// JSON text to AMF0, for the extra connect arguments and for commands described in JSON.
#include <cstddef>
#include <string_view>

#include <json/json.h>

#include "rtmp/AmfWriter.h"

namespace rtmp {

// The space the extra connect arguments may take after the command object.
constexpr size_t CONNECT_ARGS_ALLOWANCE = 8192;
// Containers nested deeper than this are written empty.
constexpr int JSON_MAX_NESTING = 2;

// Appends one AMF0 object holding the members of the JSON object in `json`: numbers, strings
// and booleans as such, anything else as null. A text that does not parse or whose root is not
// an object appends nothing and returns false. Members that do not fit into the allowance are
// skipped, and the next one is tried.
bool WriteConnectArguments(CAmfWriter& w, std::string_view json);

// Writes the members of a JSON object as AMF0 properties (the caller writes the surrounding
// markers): arrays become empty ECMA arrays, objects are written one level deeper up to
// JSON_MAX_NESTING. `capacity` bounds what may be written (less a 16-byte margin); a capacity
// below 16 writes nothing. Returns false when `value` is not an object.
bool WriteJsonMembers(CAmfWriter& w, const Json::Value& value, size_t capacity, int level);

// Parses `json` with the JSON reader; false when it does not parse.
bool ParseJson(std::string_view json, Json::Value& root);

}  // namespace rtmp
