#pragma once
// The exit status of rtmpwriter, one value per kind of outcome, so scripts can tell a typo from
// a dead server. --help prints this table; keep the two in step.
namespace app {

enum ExitCode : int {
    EXIT_OK = 0,                 // the inputs ended and the stream was closed cleanly
    EXIT_INTERNAL = 1,           // the filter module could not be loaded or refused the graph
    EXIT_USAGE = 2,              // bad command line or bad URL
    EXIT_INPUT = 3,              // an input is missing, unreadable or not the format it should be
    EXIT_CONNECT = 4,            // no connection to the server (unreachable, refused, rejected)
    EXIT_AUTH = 5,               // the server refused the user name or password
    EXIT_CONNECTION_LOST = 6,    // the connection dropped and stayed down: no attempt left, the
                                 // inputs ended while reconnecting, or the server refuses the stream
    EXIT_UNSENT = 7,             // the inputs ended, but the link did not take the rest in --drain-timeout
    EXIT_SIGNAL_BASE = 128,      // stopped by a signal: 128 + its number, after a clean close
};

}  // namespace app
