#include "apps/CommandLine.h"

#include <CLI/CLI.hpp>

#include <sstream>

#include "apps/ExitCodes.h"
#include "apps/ui/WebEndpoint.h"

namespace app {
namespace {

const char* const kDescription =
    "Publishes an H.264 (Annex B) and/or AAC (ADTS) elementary stream to an RTMP server in real time\n"
    "through the Quorvel RTMP Network Writer filter. Inputs are files, FIFOs or - (standard input);\n"
    "a FIFO fed by a live encoder is read as it comes.";

const char* const kFooter =
    "\nTIMING\n"
    "  Video units are timed by the frame rate of the sequence parameter set (--fps or 25 fps when it\n"
    "  carries none), audio frames by their sample count. Each unit is handed to the filter when the\n"
    "  graph clock reaches its time, as a live encoder would deliver it.\n"
    "  --timestamps poc (the default) orders pictures by picture order count, exact for B-pyramids.\n"
    "  Without --timestamps the TimestampModel setting decides (config set TimestampModel 1|2).\n"
    "\nCONTROL CHANNEL (--control FIFO, or - for standard input), one JSON object per line:\n"
    "  {\"cuepoint\": {\"name\": \"ad\", \"time\": 12.5}}        onCuePoint with the members as values\n"
    "  {\"metadata\": {\"title\": \"x\"}}                        @setDataFrame onMetaData\n"
    "  {\"invoke\": {\"name\": \"onText\", \"args\": {...}}}        a data message named name (\"store\": true\n"
    "                                                       prefixes @setDataFrame)\n"
    "  {\"command\": \"name\"} or {\"command\": {\"name\": \"n\", \"args\": {...}}}   an RTMP command\n"
    "  {\"clear-metadata\": true}  {\"restart\": true}  {\"drop-connection\": true}\n"
    "\nWEB PAGE (--ui [ADDR:]PORT; PORT alone is 127.0.0.1:PORT, IPv6 as [::1]:PORT, port 0 picks one)\n"
    "  Serves the writer's property page at http://ADDR:PORT/ (the URL is printed on stderr) and a REST API:\n"
    "  GET /api/status, /api/statistics, /api/options (PUT a JSON object to change options), /metrics\n"
    "  (Prometheus text); POST /api/cuepoint|metadata|invoke|command|restart|drop-connection with the\n"
    "  control channel's objects, POST /api/connect and /api/disconnect (which ends the run, status 0).\n"
    "  With --ui-token, and always off 127.0.0.1 and ::1, every request needs the token in the X-QV-Token\n"
    "  header (the page takes it from its URL, ?token=...); without --ui-token one is made and printed once\n"
    "  with the URL. Requests from another site's pages are refused.\n"
    "  --hold builds the graph with every option set, then waits: nothing connects until Connect is\n"
    "  pressed on the page (or POST /api/connect); once connected it publishes as usual.\n"
    "\nSEVERAL DESTINATIONS (URL URL..., --output URL, --config FILE)\n"
    "  The inputs are read once and published to every destination, each with its own connection,\n"
    "  reconnection and statistics; lines and JSON events name the destination ([N], \"destination\": N,\n"
    "  counted from 1 in the order given). A destination that falls behind misses units (its video\n"
    "  resumes at the next key frame) and never holds the others back. --config names a JSON file:\n"
    "    {\"outputs\": [{\"url\": \"rtmp://a/live/x\", \"user\": \"u\", \"password\": \"p\"}, ...]}\n"
    "  where each output may also set connect-args, record-mode, buffer-mode, buffer-size, socket-buffer,\n"
    "  reconnect-attempts, reconnect-interval and user-agent; the command line's options are every\n"
    "  output's defaults.\n"
    "  The exit status is 0 when every destination closed cleanly; otherwise it is the status of the\n"
    "  first destination, in the order given, that did not. Control lines go to every destination;\n"
    "  --ui and --hold take one destination.\n"
    "\nEXIT STATUS\n"
    "  0    the inputs ended and the stream was closed cleanly\n"
    "  1    the filter module could not be loaded or used\n"
    "  2    usage error or bad URL\n"
    "  3    an input is missing, unreadable, not H.264 Annex B / AAC ADTS, or stalled\n"
    "  4    could not connect or publish (server unreachable, refused or rejected the stream)\n"
    "  5    authentication failed (wrong user name or password)\n"
    "  6    the connection was lost and no reconnection attempt was left, the inputs ended while\n"
    "       reconnecting, or the server keeps closing the connection after large key frames\n"
    "  7    the inputs ended but the link did not take the rest of the stream within --drain-timeout\n"
    "  128+N  stopped by signal N (SIGINT 130, SIGTERM 143) after closing the stream cleanly\n"
    "\nSUBCOMMANDS\n"
    "  config get|set|unset|list   read or change the settings store (default key SOFTWARE\\Quorvel\\RtmpSink)\n"
    "  register|unregister|filters register the filter module, remove it, list registered filters\n";

CommandLine Exit(int code, std::string text, bool isError) {
    CommandLine c;
    c.mode = CommandLine::Mode::Exit;
    c.exitCode = code;
    c.output = std::move(text);
    c.outputIsError = isError;
    return c;
}

}  // namespace

CommandLine ParseCommandLine(int argc, const char* const* argv) {
    std::vector<std::string> args(argv, argv + argc);
    return ParseCommandLine(args);
}

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
    CommandLine cl;
    PublishOptions& p = cl.publish;
    ConfigOptions& c = cl.config;

    CLI::App app(kDescription, args.empty() ? "rtmpwriter" : "rtmpwriter");
    app.footer(kFooter);
    app.get_formatter()->column_width(34);
    app.require_subcommand(0, 1);

    std::vector<std::string> urls, outputs;
    app.add_option("URL", urls, "rtmp[t|e|s]://server[:port]/app[/inst]/stream to publish to (several: see below)");
    app.add_option("--output", outputs, "one more destination URL (repeatable)")->group("Destinations");
    app.add_option("--config", p.configFile, "JSON file of destinations with their own options, see below")
        ->check(CLI::ExistingFile)
        ->group("Destinations");
    app.add_option("--video", p.video, "H.264 Annex B input: file, FIFO or -")->group("Inputs");
    app.add_option("--audio", p.audio, "AAC ADTS input: file, FIFO or -")->group("Inputs");
    app.add_option("--fps", p.fps, "frame rate of video whose SPS carries no timing (25, 29.97, 30000/1001)")
        ->group("Inputs");
    app.add_option("--timestamps", p.timestamps, "timestamp behaviour: poc (default) or advanced")
        ->check(CLI::IsMember({"poc", "advanced"}))
        ->group("Inputs");

    const std::string conn = "Connection";
    app.add_option("--user", p.user, "user name for server authentication")->group(conn);
    app.add_option("--password", p.password, "password for server authentication")->group(conn);
    app.add_option("--reconnect-attempts", p.reconnectAttempts, "reconnection attempts after a drop (-1 unlimited; 5)")
        ->group(conn);
    app.add_option("--reconnect-interval", p.reconnectInterval, "least ms between two attempts (>= 100; 5000)")
        ->check(CLI::Range(100, 86400000))
        ->group(conn);
    app.add_option("--connect-timeout", p.connectTimeout, "TCP connect time-out in s (0 = wait as long as the system does)")
        ->check(CLI::Range(0, 3600))
        ->group(conn);
    app.add_option("--send-timeout", p.sendTimeout,
                   "ms a send may block before the connection counts as lost (8000: a shorter stall is ridden "
                   "out by the buffer mode; 0 = the filter's 2000)")
        ->check(CLI::Range(0, 3600000))
        ->group(conn);
    app.add_option("--receive-timeout", p.receiveTimeout, "socket receive time-out in ms (0 = default)")
        ->check(CLI::Range(0, 3600000))
        ->group(conn);
    app.add_flag("--fallback-ports", p.fallbackPorts, "try ports 443 and 80 when the first connect fails")->group(conn);
    app.add_flag("--fallback-tunnel", p.fallbackTunnel, "finally try the RTMPT tunnel (or plain RTMP)")->group(conn);
    app.add_flag("--start-without-connection", p.startWithoutConnection,
                 "start even when the server cannot be reached; keep trying")
        ->group(conn);
    app.add_option("--ca-file", p.caFile, "rtmps: trust the CA certificates of this PEM file instead of the system's")
        ->check(CLI::ExistingFile)
        ->group(conn);
    app.add_flag("--insecure", p.insecure, "rtmps: do not check the server's certificate (testing only)")->group(conn);
    app.add_option("--proxy", p.proxy, "HTTP proxy HOST:PORT for the RTMPT tunnel (rtmpt:// or --fallback-tunnel)")
        ->check([](const std::string& v) -> std::string {
            const size_t colon = v.rfind(':');
            if (colon == std::string::npos || colon == 0) return "expected HOST:PORT";
            const std::string port = v.substr(colon + 1);
            if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
                std::stoi(port) < 1 || std::stoi(port) > 65535)
                return "expected HOST:PORT with a port from 1 to 65535";
            return {};
        })
        ->group(conn);
    app.add_option("--user-agent", p.userAgent, "flashVer sent in connect")->group(conn);
    app.add_option("--connect-args", p.connectArgs, "JSON object of extra arguments sent with connect")->group(conn);
    app.add_option("--record-mode", p.recordMode, "publish type: live (default), record or append")
        ->check(CLI::IsMember({"live", "record", "append"}))
        ->group(conn);

    const std::string tx = "Transport";
    app.add_option("--buffer-size", p.bufferSize, "send buffer in bytes (0 .. 104857600)")
        ->check(CLI::Range(0, 104857600))
        ->group(tx);
    app.add_option("--packet-size", p.packetSize, "send packet size in bytes (0 .. 104857600)")
        ->check(CLI::Range(0, 104857600))
        ->group(tx);
    app.add_option("--socket-buffer", p.socketBuffer, "socket buffer in bytes (< 10485760)")
        ->check(CLI::Range(0, 10485759))
        ->group(tx);
    app.add_option("--buffer-mode", p.bufferMode, "when the network falls behind: wait (block the inputs) or drop (default)")
        ->check(CLI::IsMember({"wait", "drop"}))
        ->group(tx);
    app.add_flag("--tcp-nodelay", p.tcpNoDelay, "disable Nagle's algorithm")->group(tx);
    app.add_option("--drain-timeout", p.drainTimeout,
                   "ms the stream still queued when the inputs end may take to reach the server before it is "
                   "closed (10000); what is left then is reported, exit status 7")
        ->check(CLI::Range(0, 3600000))
        ->group(tx);

    const std::string st = "Stream";
    app.add_flag("--no-b-frames", p.noBFrames, "no B pictures: with --timestamps advanced, decoding time = presentation time")->group(st);
    app.add_flag("--no-padding", p.noPadding, "leave H.264 filler data out of the stream")->group(st);
    app.add_flag("--keep-sei", p.keepSei, "publish H.264 SEI units (captions, picture timing, user data) with the pictures")
        ->group(st);
    app.add_flag("--live", p.live, "live capture: video is timed by its arrival and inputs are never held back")->group(st);
    app.add_option("--audio-delay", p.audioDelay, "shift audio by this many ms")->group(st);
    app.add_flag("--timecode", p.timecode, "write time codes (onFI) into the stream")->group(st);
    app.add_option("--timecode-interval", p.timecodeInterval, "ms between time codes (1000)")
        ->check(CLI::Range(1, 86400000))
        ->group(st);
    app.add_option("--timecode-start", p.timecodeStart, "first time code in s since 1970")->group(st);
    app.add_flag("--timecode-system-time", p.timecodeSystemTime, "time codes from the system clock")->group(st);
    app.add_option("--absolute-time", p.absoluteTime, "absolute time reference, UTC s since 1970 (0 = off)")->group(st);

    const std::string out = "Reporting";
    app.add_flag("--stats", p.stats, "a statistics line per period on stderr (updated in place on a terminal)")
        ->group(out);
    app.add_option("--events", p.events, "json: one JSON object per status, statistics and text event on stdout")
        ->check(CLI::IsMember({"json"}))
        ->group(out);
    app.add_option("--log", p.log, "diagnostic log: a file path, or stderr")->group(out);
    app.add_option("--log-level", p.logLevel, "diagnostic detail 1 .. 9 (3)")->check(CLI::Range(1, 9))->group(out);
    app.add_option("--control", p.control, "FIFO (or - for stdin) of JSON control lines, see below")->group(out);
    app.add_option("--module", p.module, "filter module to load instead of the registered one")->group(out);

    const std::string web = "Web page";
    app.add_option("--ui", p.ui, "serve the property page, REST API and /metrics on [ADDR:]PORT, see below")
        ->check([](const std::string& v) -> std::string {
            std::string error;
            return ui::ParseWebEndpoint(v, &error) ? std::string() : error;
        })
        ->group(web);
    app.add_option("--ui-token", p.uiToken, "the token the web page and API need (8 to 128 of A-Z a-z 0-9 - . _ ~)")
        ->check([](const std::string& v) -> std::string {
            return ui::IsValidToken(v) ? std::string() : "a token is 8 to 128 letters, digits or -._~";
        })
        ->group(web);
    app.add_flag("--hold", p.hold, "build the graph but connect only when the web page (or POST /api/connect) says so")
        ->group(web);

    auto* config = app.add_subcommand("config", "read or change the settings store");
    config->require_subcommand(1);
    auto addKey = [&](CLI::App* sub) {
        sub->add_option("--key", c.key, "settings key (SOFTWARE\\Quorvel\\RtmpSink)");
        sub->add_flag("--machine", c.machine, "the machine-wide store instead of the user's");
    };
    auto* get = config->add_subcommand("get", "print one value");
    get->add_option("NAME", c.name, "value name")->required();
    addKey(get);
    auto* set = config->add_subcommand("set", "store one value (digits are stored as a number)");
    set->add_option("NAME", c.name, "value name")->required();
    set->add_option("VALUE", c.value, "the value")->required();
    set->add_flag("--string", c.asString, "store as text even when it is a number");
    addKey(set);
    auto* unset = config->add_subcommand("unset", "remove one value");
    unset->add_option("NAME", c.name, "value name")->required();
    addKey(unset);
    auto* list = config->add_subcommand("list", "print the values under the key");
    addKey(list);

    auto* reg = app.add_subcommand("register", "register the filter module in the settings store");
    reg->add_option("--module", cl.module, "module file (default: the one built with rtmpwriter)");
    auto* unreg = app.add_subcommand("unregister", "remove the filter module's registration");
    unreg->add_option("--module", cl.module, "module file (default: the one built with rtmpwriter)");
    app.add_subcommand("filters", "list the registered filters");

    std::vector<std::string> rev(args.rbegin(), args.rend());
    if (!rev.empty()) rev.pop_back();  // the program name
    try {
        app.parse(rev);
    } catch (const CLI::CallForHelp&) {
        return Exit(EXIT_OK, app.help(), false);
    } catch (const CLI::CallForAllHelp&) {
        return Exit(EXIT_OK, app.help("", CLI::AppFormatMode::All), false);
    } catch (const CLI::ParseError& e) {
        return Exit(EXIT_USAGE, std::string("rtmpwriter: ") + e.what() + " (see rtmpwriter --help)", true);
    }

    if (config->parsed()) {
        cl.mode = get->parsed() ? CommandLine::Mode::ConfigGet
                  : set->parsed() ? CommandLine::Mode::ConfigSet
                  : unset->parsed() ? CommandLine::Mode::ConfigUnset
                                     : CommandLine::Mode::ConfigList;
        return cl;
    }
    if (reg->parsed()) return cl.mode = CommandLine::Mode::Register, cl;
    if (unreg->parsed()) return cl.mode = CommandLine::Mode::Unregister, cl;
    if (app.got_subcommand("filters")) return cl.mode = CommandLine::Mode::Filters, cl;

    p.outputs = urls;
    p.outputs.insert(p.outputs.end(), outputs.begin(), outputs.end());
    if (!p.outputs.empty()) p.url = p.outputs.front();
    if (p.outputs.empty() && p.configFile.empty())
        return Exit(EXIT_USAGE, "rtmpwriter: no URL given (see rtmpwriter --help)", true);
    if (p.outputs.size() > 1 && !p.ui.empty())
        return Exit(EXIT_USAGE, "rtmpwriter: --ui shows one writer: give one destination", true);
    if (p.video.empty() && p.audio.empty())
        return Exit(EXIT_USAGE, "rtmpwriter: nothing to publish: give --video and/or --audio", true);
    if (p.video == "-" && p.audio == "-")
        return Exit(EXIT_USAGE, "rtmpwriter: only one input can be standard input", true);
    if (p.control == "-" && (p.video == "-" || p.audio == "-"))
        return Exit(EXIT_USAGE, "rtmpwriter: --control - needs standard input, which is already an input", true);
    if (!p.control.empty() && p.control != "-" && (p.control == p.video || p.control == p.audio))
        return Exit(EXIT_USAGE, "rtmpwriter: --control cannot be one of the inputs", true);
    if (p.hold && p.ui.empty())
        return Exit(EXIT_USAGE, "rtmpwriter: --hold needs --ui: only the web page or its API can say when to connect", true);
    if (!p.uiToken.empty() && p.ui.empty()) return Exit(EXIT_USAGE, "rtmpwriter: --ui-token needs --ui", true);
    cl.mode = CommandLine::Mode::Publish;
    return cl;
}

}  // namespace app
