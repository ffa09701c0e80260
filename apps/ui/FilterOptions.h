#pragma once
// The writer's options by name, read and written through the filter's own interfaces (the codec
// API's keys, IFileSinkFilter for the URL, ISinkMode for live mode and the audio delay), as JSON
// for the web API. The password is write-only: reading gives "passwordSet" instead.
#include <json/json.h>

#include <string>

#include "platform/dshow/Interfaces.h"

namespace app::ui {

// Every option's current value; an option the writer cannot read is left out.
Json::Value ReadOptions(IBaseFilter* filter);

// Sets the members of `changes` in name order. Every name and value type is checked before
// anything is set: an unknown name or a value of the wrong type sets nothing. Returns the error
// ("" when all were taken); names the writer refused are listed in it, the others are set.
std::string WriteOptions(IBaseFilter* filter, const Json::Value& changes);

}  // namespace app::ui
