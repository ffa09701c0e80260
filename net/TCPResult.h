#pragma once
// Result codes shared by every send, receive and connect operation of the transport and passed
// on unchanged by the protocol layer above it.

constexpr int TCP_OK = 0;              // done, nothing further to report
constexpr int TCP_NO_DATA = 1;         // nothing transferred (empty send, or no buffers before any byte)
constexpr int TCP_DATA_PRESENT = 2;    // data was sent or received
constexpr int TCP_SHUTDOWN = 3;        // closed or reset
constexpr int TCP_CONNECT_FAILED = 4;  // connect failed or timed out
constexpr int TCP_TIMEOUT = 5;         // the socket's send or receive time-out ran out
constexpr int TCP_SOCKOPT_FAILED = 6;  // TCP_NODELAY could not be set
constexpr int TCP_SOCKET_FAILED = 7;   // name resolution or socket creation failed
constexpr int TCP_ERROR = 8;           // would block, unknown send error, or receive without a socket
constexpr int TCP_NOT_SUPPORTED = 9;   // secure transport requested; not provided
