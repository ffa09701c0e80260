#pragma once
// The control channel: a script writes one JSON object per line to inject cue points, metadata,
// data messages and RTMP commands into the running stream, or to restart or drop the
// connection. Sans I/O: LineSplitter cuts bytes into lines, ParseControlLine turns a line into a
// ControlCommand, and PairList / ArgumentList hold the filter-side forms of the values.
#include <json/json.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/Variant.h"
#include "sink/KeyValuePair.h"

namespace app {

class LineSplitter {
public:
    static constexpr size_t kMaxLine = 64u << 10;
    void Push(std::span<const uint8_t> bytes);
    // The next complete line without its end (\n or \r\n); a line longer than kMaxLine is
    // returned cut to that length and flagged, and its rest is dropped.
    std::optional<std::string> Next(bool* tooLong = nullptr);
    // The unterminated rest at the end of the input, if any.
    std::optional<std::string> Rest();

private:
    std::string m_buf;
    bool m_discarding = false;  // inside the rest of an overlong line
    std::deque<std::pair<std::string, bool>> m_lines;
};

struct ControlCommand {
    enum class Kind { CuePoint, Metadata, Invoke, Command, ClearMetadata, Restart, DropConnection };
    Kind kind = Kind::CuePoint;
    std::string name;      // invoke and command name
    Json::Value values;    // cue point / metadata members, invoke / command arguments (object or null)
    bool store = false;    // invoke: prefix "@setDataFrame" so the server keeps it
};
const char* KindName(ControlCommand::Kind kind);

// Parses one JSON text with a bounded nesting depth; false and a one-line reason ("not valid
// JSON: Line 1, Column 2 Syntax error: ...") when it is not JSON.
bool ParseJson(std::string_view text, Json::Value& out, std::string* error);

// Nothing (and *error set) for a line that is not one of the documented objects.
std::optional<ControlCommand> ParseControlLine(std::string_view line, std::string* error);

// The members of a JSON object, in name order, as key/value pairs: strings as text, booleans, integers that fit
// 32 bits as int32, other numbers as double. Objects, arrays and nulls have no pair form.
class PairList {
public:
    bool Build(const Json::Value& object, std::string* error);
    const KeyValuePair* const* data() const { return m_ptrs.data(); }
    int32_t count() const { return static_cast<int32_t>(m_ptrs.size()); }

private:
    std::deque<std::string> m_texts;
    std::deque<int32_t> m_ints;
    std::deque<double> m_doubles;
    std::deque<uint8_t> m_bools;
    std::vector<KeyValuePair> m_pairs;
    std::vector<const KeyValuePair*> m_ptrs;
};

// The members of a JSON object as a key/value list variant for an RTMP command: strings, booleans
// and integers; nested objects as nested lists. Other numbers, nulls and arrays are left out.
class ArgumentList {
public:
    ArgumentList() = default;
    ~ArgumentList();
    ArgumentList(const ArgumentList&) = delete;
    ArgumentList& operator=(const ArgumentList&) = delete;

    void Build(const Json::Value& object, int depth = 0);
    const VARIANT& variant() const { return m_variant; }
    uint32_t count() const { return m_list.count; }

private:
    std::deque<std::wstring> m_names;
    std::vector<const wchar_t*> m_namePtrs;
    std::vector<VARIANT> m_values;
    std::vector<std::unique_ptr<ArgumentList>> m_children;
    KeyValueList m_list;
    VARIANT m_variant;
};

}  // namespace app
