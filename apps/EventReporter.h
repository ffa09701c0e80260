#pragma once
// What the host tells its user while streaming: status changes, statistics and the filter's
// text events, either for people (short lines on stderr; the statistics line updates in place
// on a terminal) or for programs (--events json: one JSON object per line on stdout, statistics
// fields named). Errors are always a single line on stderr. Callable from any thread.
#include <json/json.h>

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "sink/SinkStatistics.h"

namespace app {

class EventReporter {
public:
    struct Config {
        bool json = false;         // --events json
        bool stats = false;        // --stats
        bool statusLines = false;  // human status lines on stderr
        bool terminal = false;     // stderr is a terminal: the statistics line updates in place
        // With several destinations, which one this reporter speaks for (1, 2, ... in the order
        // given): every line starts with "[N] " and every JSON object carries "destination": N.
        // 0: the only one, nothing added.
        int destination = 0;
    };
    // The HTTP tunnel's figures, when the connection is tunnelled.
    struct TunnelFigures {
        bool on = false;
        int32_t requests = 0;  // requests posted on the current connection
        int32_t interval = 0;  // the polling interval the server gave last
    };
    EventReporter(Config config, FILE* out, FILE* err);

    void Started(const std::string& url, const std::string& video, const std::string& audio);
    void Status(int32_t status, const std::string& stream);
    void Statistics(const RTMPStatistics& s, double seconds) { Statistics(s, seconds, TunnelFigures()); }
    void Statistics(const RTMPStatistics& s, double seconds, const TunnelFigures& tunnel);
    void Text(const std::string& category, const std::string& message);
    void Control(const std::string& command, bool ok, const std::string& detail);
    void Ended(int exitCode, double seconds);
    // One line on stderr, prefixed with the program name.
    void Error(const std::string& message);
    // Something the user should know that does not stop the stream: one line on stderr (and a
    // "notice" event with --events json).
    void Notice(const std::string& message);

    // The statistics record as a JSON object with named fields.
    static Json::Value StatisticsJson(const RTMPStatistics& s);
    // The human statistics line.
    static std::string StatisticsLine(const RTMPStatistics& s, double seconds);
    static const char* StatusName(int32_t status);

private:
    void EmitJson(Json::Value v);
    // One line on stderr: "rtmpwriter: [N] text".
    void Line(const std::string& text);
    std::string Tag() const;
    void Info(const std::string& line);
    void EndStatsLine();

    const Config m_config;
    FILE* const m_out;
    FILE* const m_err;
    // Guards both streams and m_statsLineOpen: any thread reporting takes it for one line.
    // Innermost: nothing else is locked while it is held.
    std::mutex m_lock;
    bool m_statsLineOpen = false;  // an in-place statistics line is on the terminal
};

}  // namespace app
