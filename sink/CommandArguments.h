#pragma once
// Turns the argument of an RTMP command (an automation object or a key/value list) into AMF3
// values inside the command message: at the top level only the values, each behind the
// switch-to-AMF3 marker; a member that is itself an object or list becomes a dynamic anonymous
// object with named members.
#include "platform/com/Variant.h"
#include "rtmp/AmfWriter.h"

namespace sink {

// Objects nested deeper than this are written empty (a script object may refer to itself).
constexpr int kMaxArgumentNesting = 8;
// Members read from one object at most.
constexpr int kMaxArgumentMembers = 4096;
// Names and texts are converted to at most this many bytes.
constexpr size_t kMaxArgumentText = 4096;

// Appends the flat form of `arguments` (VT_DISPATCH or VT_KEYVALUELIST); any other type adds
// nothing. Returns false when the writer ran out of room.
bool WriteCommandArguments(rtmp::CAmfWriter& w, const VARIANT& arguments);

}  // namespace sink
