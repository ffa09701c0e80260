#include "apps/InputStream.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace app {
namespace {

constexpr int kPollMs = 100;

std::string Reason(const std::string& what, const std::string& path, int err) {
    return what + " " + path + ": " + std::strerror(err);
}

}  // namespace

InputStream::~InputStream() { Close(); }

void InputStream::Close() {
    if (m_fd >= 0 && m_ownFd) ::close(m_fd);
    m_fd = -1;
}

bool InputStream::Open(const std::string& path, std::string* error) {
    Close();
    m_path = path;
    if (path == "-") {
        m_fd = STDIN_FILENO;
        m_ownFd = false;
    } else {
        struct stat st{};
        if (::stat(path.c_str(), &st) != 0) {
            if (error) *error = Reason("cannot open", path, errno);
            return false;
        }
        if (S_ISDIR(st.st_mode)) {
            if (error) *error = "cannot read " + path + ": it is a directory";
            return false;
        }
        // Non-blocking so a FIFO opens before its writer appears; reads block again below.
        m_fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (m_fd < 0) {
            if (error) *error = Reason("cannot open", path, errno);
            return false;
        }
        m_ownFd = true;
        const int flags = ::fcntl(m_fd, F_GETFL);
        if (flags >= 0) ::fcntl(m_fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    struct stat st{};
    if (::fstat(m_fd, &st) != 0) {
        if (error) *error = Reason("cannot read", path, errno);
        Close();
        return false;
    }
    m_live = !S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode);
    return true;
}

InputStream::Result InputStream::Read(uint8_t* buffer, size_t capacity, size_t* got, const std::atomic<bool>& stop,
                                      std::string* error) {
    *got = 0;
    if (m_fd < 0) return Result::End;
    for (;;) {
        if (stop.load()) return Result::Stopped;
        pollfd pfd{m_fd, POLLIN, 0};
        // A FIFO whose writer has not come yet reports nothing here (no hang-up before a writer).
        const int r = ::poll(&pfd, 1, kPollMs);
        if (r < 0) {
            if (errno == EINTR) continue;
            if (error) *error = Reason("cannot read", m_path, errno);
            return Result::Error;
        }
        if (r == 0) continue;
        const ssize_t n = ::read(m_fd, buffer, capacity);
        if (n > 0) {
            *got = static_cast<size_t>(n);
            return Result::Data;
        }
        if (n == 0) return Result::End;
        if (errno == EINTR || errno == EAGAIN) continue;
        if (error) *error = Reason("cannot read", m_path, errno);
        return Result::Error;
    }
}

}  // namespace app
