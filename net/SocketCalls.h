#pragma once
// The thin layer between the transport and the POSIX socket calls.
//
// Two things live here: the table that turns an errno into one of the few error cases the
// transport distinguishes (the cases Winsock names WSAEWOULDBLOCK, WSAEMSGSIZE, WSAECONNRESET,
// WSAENOBUFS, WSAESHUTDOWN and WSAETIMEDOUT), and a pair of replaceable send/recv functions so
// tests can make a socket fail in exactly the way they want.
#include <cstddef>
#include <sys/types.h>

namespace net {

enum class SocketError {
    None,
    WouldBlock,      // a non-blocking socket has no room / no data
    MessageTooLong,  // the datagram-style size limit; the sender splits and retries
    Reset,           // the peer reset or aborted the connection
    NoBuffers,       // the stack is out of buffer space
    Shutdown,        // the socket was shut down for sending
    TimedOut,        // SO_SNDTIMEO / SO_RCVTIMEO ran out, or the connection timed out
    Other,
};

// `blockingSocket`: a blocking socket reports an expired SO_SNDTIMEO/SO_RCVTIMEO as EAGAIN, which
// is then a time-out and not a "would block".
SocketError ClassifySocketError(int err, bool blockingSocket);

struct SocketCalls {
    // All behave like send(2)/recv(2): a count, or -1 with errno set. EINTR is retried by the
    // system implementation and never seen by the caller.
    ssize_t (*send)(int fd, const void* data, size_t length);
    ssize_t (*recv)(int fd, void* buffer, size_t capacity);
    // A send that never waits: what the socket takes at once (possibly less than asked, or -1
    // with EAGAIN when it takes nothing). Optional: without it nothing is sent this way.
    ssize_t (*sendAvailable)(int fd, const void* data, size_t length) = nullptr;
};

// send with MSG_NOSIGNAL (a closed peer gives EPIPE, never SIGPIPE), recv with no flags, and the
// never-waiting send with MSG_DONTWAIT on top.
const SocketCalls& SystemSocketCalls();

}  // namespace net
