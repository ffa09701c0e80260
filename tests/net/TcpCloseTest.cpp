// CTCPBase's close path on real loopback sockets: data written just before a close reaches the
// peer even when the peer's own bytes still wait unread on our side, and a sender that shuts the
// socket down after a failed write cannot deadlock against another thread closing it.
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>

#include <gtest/gtest.h>

#include "LoopbackPeer.h"
#include "net/TCPBase.h"

using namespace nettest;

namespace {

struct Resolved {
    addrinfo* list = nullptr;
    ~Resolved() {
        if (list) freeaddrinfo(list);
    }
};

bool ConnectTo(CTCPBase& base, const Listener& listener) {
    Resolved r;
    if (CTCPBase::Resolve(listener.Host().c_str(), listener.Port(), &r.list) != 0 || !r.list) return false;
    if (base.CreateSocket(r.list->ai_family) != TCP_OK) return false;
    return base.ConnectSocket(listener.Host().c_str(), listener.Port(), 0, false, r.list, false) == TCP_OK;
}

int Ioctl(int fd, unsigned long request) {
    int value = -1;
    if (::ioctl(fd, request, &value) != 0) return -1;
    return value;
}

// A hung thread cannot be joined; the only clear report left is to stop the whole test program.
template <typename T>
void FinishesOrAbort(std::future<T>& f, const char* what) {
    if (f.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        fprintf(stderr, "FATAL: %s did not return within 20 s (deadlock)\n", what);
        fflush(stderr);
        std::_Exit(1);
    }
}

// A socket object that shuts itself down when a write fails, while it still holds the send lock
// (the way a protocol layer reacts to a lost connection in the middle of a message).
class ShutDownOnSendError : public CTCPBase {
public:
    int Send(const uint8_t* data, int length) override {
        platform::CAutoLock g(m_SendLock);
        const int rc = CTCPBase::Send(data, length);
        if (rc != TCP_DATA_PRESENT) TCPShutDown();
        return rc;
    }
};

}  // namespace

TEST(TcpClose, DataWrittenJustBeforeTheCloseArrivesWhileThePeersBytesWaitUnread) {
    // The peer's small receive window keeps most of our bytes in our own send queue at the close.
    Listener listener(AF_INET, 4096);
    ASSERT_GT(listener.Port(), 0);
    SettingsSandbox settings;
    CTCPBase base;
    ASSERT_TRUE(ConnectTo(base, listener));
    // A stalled peer turns into a failed send instead of a hung test.
    base.SetSendTimeout(10000);
    base.SetSendBufferSize(1 << 20);
    Conn peer(listener.Accept(5000));
    ASSERT_TRUE(peer.Valid());
    const int fd = base.GetSocketHandle();

    // The peer answers before it reads anything; nobody on our side reads the answer.
    ASSERT_TRUE(peer.SendAll(std::string(1500, 'r')));
    ASSERT_TRUE(WaitUntil([&] { return Ioctl(fd, FIONREAD) >= 1500; }, 5000));

    constexpr size_t kSize = 160 * 1024;
    const std::vector<uint8_t> data = Pattern(kSize, 11);
    ASSERT_EQ(base.Send(data.data(), static_cast<int>(kSize)), TCP_DATA_PRESENT);
    // Without bytes still queued the close could not lose anything and the test would prove nothing.
    ASSERT_GT(Ioctl(fd, SIOCOUTQ), 0);
    base.TCPShutDown();
    EXPECT_FALSE(base.IsConnected());
    EXPECT_EQ(base.GetSocketHandle(), CTCPBase::kNoSocket);

    // Only now does the peer start reading: every byte, in order, then an orderly end.
    const std::vector<uint8_t> got = peer.ReadExactly(kSize, 10000);
    ASSERT_EQ(got.size(), kSize);
    EXPECT_TRUE(got == data);
    char extra;
    EXPECT_EQ(::recv(peer.Fd(), &extra, 1, 0), 0) << "expected end of stream, errno " << errno;
}

TEST(TcpClose, ASenderThatShutsDownAfterAFailedWriteAndAConcurrentCloseBothReturn) {
    Listener listener(AF_INET, 4096);
    ASSERT_GT(listener.Port(), 0);
    SettingsSandbox settings;
    ShutDownOnSendError base;
    ASSERT_TRUE(ConnectTo(base, listener));
    Conn peer(listener.Accept(5000));
    ASSERT_TRUE(peer.Valid());
    const int fd = base.GetSocketHandle();

    // Far more than both socket buffers hold: the writer blocks inside send() with the send lock.
    const std::vector<uint8_t> data = Pattern(8 << 20, 3);
    std::future<int> writer = std::async(std::launch::async, [&] {
        return base.Send(data.data(), static_cast<int>(data.size()));
    });
    ASSERT_TRUE(WaitUntil([&] { return Ioctl(fd, SIOCOUTQ) > 0; }, 5000));
    ASSERT_EQ(writer.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);

    std::future<int> closer = std::async(std::launch::async, [&] { return base.TCPShutDown(); });
    FinishesOrAbort(closer, "the closing thread");
    FinishesOrAbort(writer, "the writing thread");
    EXPECT_EQ(closer.get(), 0);
    EXPECT_EQ(writer.get(), TCP_SHUTDOWN);
    EXPECT_FALSE(base.IsConnected());
    EXPECT_EQ(base.GetSocketHandle(), CTCPBase::kNoSocket);
    // The peer sees the bytes that went out and then the end of the connection.
    EXPECT_TRUE(peer.WaitEof(10000));
}
