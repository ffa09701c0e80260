#include "net/SocketCalls.h"

#include <cerrno>
#include <sys/socket.h>

namespace net {
namespace {

struct ErrorRow {
    int err;
    SocketError blocking;     // meaning on a blocking socket (the transport's normal mode)
    SocketError nonBlocking;  // meaning on a non-blocking socket (connect with a time-out)
};

// The one place where errno values meet the transport's error cases.
constexpr ErrorRow kErrorTable[] = {
    {EAGAIN, SocketError::TimedOut, SocketError::WouldBlock},
#if EWOULDBLOCK != EAGAIN
    {EWOULDBLOCK, SocketError::TimedOut, SocketError::WouldBlock},
#endif
    {EINPROGRESS, SocketError::WouldBlock, SocketError::WouldBlock},
    {EMSGSIZE, SocketError::MessageTooLong, SocketError::MessageTooLong},
    {ECONNRESET, SocketError::Reset, SocketError::Reset},
    {ECONNABORTED, SocketError::Reset, SocketError::Reset},
    {ENOBUFS, SocketError::NoBuffers, SocketError::NoBuffers},
    {ENOMEM, SocketError::NoBuffers, SocketError::NoBuffers},
    // Linux reports a send after shutdown(SHUT_WR), or after the peer went away, as EPIPE.
    {EPIPE, SocketError::Shutdown, SocketError::Shutdown},
    {ESHUTDOWN, SocketError::Shutdown, SocketError::Shutdown},
    {ETIMEDOUT, SocketError::TimedOut, SocketError::TimedOut},
};

ssize_t SystemSend(int fd, const void* data, size_t length) {
    ssize_t r;
    do {
        r = ::send(fd, data, length, MSG_NOSIGNAL);
    } while (r < 0 && errno == EINTR);
    return r;
}

ssize_t SystemRecv(int fd, void* buffer, size_t capacity) {
    ssize_t r;
    do {
        r = ::recv(fd, buffer, capacity, 0);
    } while (r < 0 && errno == EINTR);
    return r;
}

ssize_t SystemSendAvailable(int fd, const void* data, size_t length) {
    ssize_t r;
    do {
        r = ::send(fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (r < 0 && errno == EINTR);
    return r;
}

constexpr SocketCalls kSystemCalls{SystemSend, SystemRecv, SystemSendAvailable};

}  // namespace

SocketError ClassifySocketError(int err, bool blockingSocket) {
    if (err == 0) return SocketError::None;
    for (const ErrorRow& row : kErrorTable) {
        if (row.err == err) return blockingSocket ? row.blocking : row.nonBlocking;
    }
    return SocketError::Other;
}

const SocketCalls& SystemSocketCalls() { return kSystemCalls; }

}  // namespace net
