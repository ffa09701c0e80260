#pragma once
// Pieces of CTCPBase shared by its source files (TCPBase.cpp, TCPBaseTls.cpp); not for users.
#include <fcntl.h>

#include "net/TCPBase.h"

namespace net::detail {

inline bool SetNonBlocking(int fd, bool on) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return fcntl(fd, F_SETFL, flags) == 0;
}

}  // namespace net::detail

// Counts the calling thread into a socket call for its lifetime and reads the descriptor only
// after that, so TCPShutDown (which empties m_socket first and then waits for the count to reach
// 0) can never close a descriptor a call is about to use.
class CTCPBase::SocketUse {
public:
    explicit SocketUse(CTCPBase& base) : m_base(base) {
        m_base.m_iSocketUsers.fetch_add(1);
        // The generation first: a descriptor read after it belongs to that generation or is none.
        generation = m_base.m_uSocketGeneration.load();
        fd = m_base.m_socket.load();
        closing = fd == kNoSocket && m_base.m_bClosing.load();
    }
    ~SocketUse() {
        if (m_base.m_iSocketUsers.fetch_sub(1) == 1 && m_base.m_bWaitingForUsers.load()) m_base.m_evSocketIdle.Set();
    }
    SocketUse(const SocketUse&) = delete;
    SocketUse& operator=(const SocketUse&) = delete;

    int fd;
    uint32_t generation;
    // The descriptor was taken away by a TCPShutDown still under way: the call answers as the
    // shut-down socket would have, so a send or receive caught by a close reports "shut down"
    // whether it came just before or just after the descriptor went.
    bool closing;

private:
    CTCPBase& m_base;
};

