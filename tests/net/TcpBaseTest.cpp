// CTCPBase: the errno table, the whole-buffer send and the single receive driven through the
// socket seam, and the socket options, connect and shutdown on real loopback sockets.
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "LoopbackPeer.h"
#include "net/TCPBase.h"

using namespace nettest;

namespace {

// A scripted socket: accepts at most `maxPerCall` bytes per send, answers EMSGSIZE above
// `tooLongAbove`, and fails with `failErrno` once `failAfter` bytes went through.
struct FakeSocket {
    std::vector<uint8_t> sent;
    size_t maxPerCall = SIZE_MAX;
    size_t tooLongAbove = SIZE_MAX;
    size_t failAfter = SIZE_MAX;
    int failErrno = 0;
    bool returnZero = false;
    int calls = 0;
    // recv script
    ssize_t recvResult = 0;
    int recvErrno = 0;
};
FakeSocket g_fake;

ssize_t FakeSend(int, const void* data, size_t length) {
    ++g_fake.calls;
    if (g_fake.returnZero) return 0;
    if (g_fake.sent.size() >= g_fake.failAfter) {
        errno = g_fake.failErrno;
        return -1;
    }
    if (length > g_fake.tooLongAbove) {
        errno = EMSGSIZE;
        return -1;
    }
    size_t n = std::min({length, g_fake.maxPerCall, g_fake.failAfter - g_fake.sent.size()});
    auto* p = static_cast<const uint8_t*>(data);
    g_fake.sent.insert(g_fake.sent.end(), p, p + n);
    return static_cast<ssize_t>(n);
}

ssize_t FakeRecv(int, void* buffer, size_t capacity) {
    if (g_fake.recvResult > 0) {
        memset(buffer, 'x', std::min(capacity, static_cast<size_t>(g_fake.recvResult)));
        return g_fake.recvResult;
    }
    errno = g_fake.recvErrno;
    return g_fake.recvResult;
}

constexpr net::SocketCalls kFakeCalls{FakeSend, FakeRecv};

// Exposes the descriptor so a test can hand the object a socket of its own.
class TestBase : public CTCPBase {
public:
    void Adopt(int fd) { m_socket.store(fd); }
};

class TcpBaseFake : public ::testing::Test {
protected:
    void SetUp() override {
        g_fake = FakeSocket{};
        base.SetSocketCalls(&kFakeCalls);
    }
    TestBase base;
};

}  // namespace

TEST(SocketErrorTable, AnExpiredTimeOutIsNotAWouldBlock) {
    using net::SocketError;
    // On the blocking sockets the transport uses, EAGAIN is what an expired SO_SNDTIMEO gives.
    EXPECT_EQ(net::ClassifySocketError(EAGAIN, true), SocketError::TimedOut);
    EXPECT_EQ(net::ClassifySocketError(EAGAIN, false), SocketError::WouldBlock);
    EXPECT_EQ(net::ClassifySocketError(EWOULDBLOCK, false), SocketError::WouldBlock);
    EXPECT_EQ(net::ClassifySocketError(ETIMEDOUT, false), SocketError::TimedOut);
    EXPECT_EQ(net::ClassifySocketError(EBADF, true), SocketError::Other);
    EXPECT_EQ(net::ClassifySocketError(0, true), SocketError::None);
}

TEST_F(TcpBaseFake, EmptySendDoesNotTouchTheSocket) {
    EXPECT_EQ(base.Send(nullptr, 0), TCP_NO_DATA);
    uint8_t b = 1;
    EXPECT_EQ(base.Send(&b, -5), TCP_NO_DATA);
    EXPECT_EQ(g_fake.calls, 0);
}

TEST_F(TcpBaseFake, ShortWritesAreResumedUntilEverythingWentOut) {
    g_fake.maxPerCall = 7;
    auto data = Pattern(1000, 3);
    EXPECT_EQ(base.Send(data.data(), 1000), TCP_DATA_PRESENT);
    EXPECT_EQ(g_fake.sent, data);
}

TEST_F(TcpBaseFake, MessageTooLongSplitsInHalvesAndKeepsTheOrder) {
    g_fake.tooLongAbove = 100;
    auto data = Pattern(1001, 4);
    EXPECT_EQ(base.Send(data.data(), 1001), TCP_DATA_PRESENT);
    EXPECT_EQ(g_fake.sent, data);
}

TEST_F(TcpBaseFake, MessageTooLongForASingleByteIsAnErrorNotARecursion) {
    g_fake.tooLongAbove = 0;
    uint8_t b[4] = {1, 2, 3, 4};
    EXPECT_EQ(base.Send(b, 4), TCP_ERROR);
    EXPECT_TRUE(g_fake.sent.empty());
}

TEST_F(TcpBaseFake, TimeOutAfterPartOfTheDataStillReportsTimeOut) {
    g_fake.maxPerCall = 10;
    g_fake.failAfter = 30;
    g_fake.failErrno = EAGAIN;
    auto data = Pattern(100, 5);
    EXPECT_EQ(base.Send(data.data(), 100), TCP_TIMEOUT);
    EXPECT_EQ(g_fake.sent, std::vector<uint8_t>(data.begin(), data.begin() + 30));
}

TEST_F(TcpBaseFake, NoBuffersReportsWhetherAnythingWentOut) {
    uint8_t b[50] = {};
    g_fake.failAfter = 0;
    g_fake.failErrno = ENOBUFS;
    EXPECT_EQ(base.Send(b, 50), TCP_NO_DATA);
    g_fake = FakeSocket{};
    g_fake.maxPerCall = 20;
    g_fake.failAfter = 20;
    g_fake.failErrno = ENOBUFS;
    EXPECT_EQ(base.Send(b, 50), TCP_DATA_PRESENT);
    EXPECT_EQ(g_fake.sent.size(), 20u);
}

TEST_F(TcpBaseFake, ClosedResetAndUnknownErrors) {
    uint8_t b[8] = {};
    const std::pair<int, int> cases[] = {
        {ECONNRESET, TCP_SHUTDOWN}, {EPIPE, TCP_SHUTDOWN}, {ESHUTDOWN, TCP_SHUTDOWN},
        {ETIMEDOUT, TCP_TIMEOUT},   {EBADF, TCP_ERROR},    {EINVAL, TCP_ERROR},
    };
    for (auto [err, expected] : cases) {
        g_fake = FakeSocket{};
        g_fake.failAfter = 0;
        g_fake.failErrno = err;
        EXPECT_EQ(base.Send(b, 8), expected) << "errno " << err;
        EXPECT_EQ(g_fake.calls, 1) << "errno " << err;
    }
    g_fake = FakeSocket{};
    g_fake.returnZero = true;
    EXPECT_EQ(base.Send(b, 8), TCP_ERROR);  // a send that makes no progress must not spin
}

TEST_F(TcpBaseFake, WouldBlockOnANonBlockingSocketIsAnError) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    fcntl(pair[0], F_SETFL, fcntl(pair[0], F_GETFL) | O_NONBLOCK);
    base.Adopt(pair[0]);
    g_fake.failAfter = 0;
    g_fake.failErrno = EAGAIN;
    uint8_t b[8] = {};
    EXPECT_EQ(base.Send(b, 8), TCP_ERROR);
    base.TCPShutDown();  // closes pair[0]
    EXPECT_EQ(base.GetSocketHandle(), CTCPBase::kNoSocket);
    ::close(pair[1]);
}

TEST_F(TcpBaseFake, ReceiveResults) {
    uint8_t buf[64];
    int count = 99;
    EXPECT_EQ(base.Recv(buf, sizeof buf, &count), TCP_ERROR);  // no socket
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    base.Adopt(pair[0]);
    g_fake.recvResult = 12;
    EXPECT_EQ(base.Recv(buf, sizeof buf, &count), TCP_DATA_PRESENT);
    EXPECT_EQ(count, 12);
    g_fake.recvResult = -1;
    g_fake.recvErrno = EAGAIN;
    EXPECT_EQ(base.Recv(buf, sizeof buf, &count), TCP_TIMEOUT);
    g_fake.recvErrno = ECONNRESET;
    EXPECT_EQ(base.Recv(buf, sizeof buf, &count), TCP_SHUTDOWN);
    g_fake.recvResult = 0;
    EXPECT_EQ(base.Recv(buf, sizeof buf, &count), TCP_SHUTDOWN);
    EXPECT_EQ(count, 0);
    base.TCPShutDown();
    ::close(pair[1]);
}

TEST(TcpBaseOptions, TimeOutsStoreFirstAndApplyOnlyWithASocket) {
    CTCPBase base;
    EXPECT_EQ(base.SetReceiveTimeout(0), 1);  // no socket
    EXPECT_EQ(base.SetSendTimeout(0), 1);
    ASSERT_EQ(base.CreateSocket(AF_INET), TCP_OK);
    EXPECT_EQ(base.SetReceiveTimeout(0), -2);  // nothing stored yet
    EXPECT_EQ(base.SetSendTimeout(0), -2);
    EXPECT_EQ(base.SetReceiveTimeout(1250), 0);
    EXPECT_EQ(base.SetSendTimeout(300), 0);
    timeval tv{};
    socklen_t len = sizeof tv;
    ASSERT_EQ(getsockopt(base.GetSocketHandle(), SOL_SOCKET, SO_RCVTIMEO, &tv, &len), 0);
    EXPECT_NEAR(tv.tv_sec * 1000 + tv.tv_usec / 1000, 1250, 8);  // the kernel rounds to its tick
    ASSERT_EQ(getsockopt(base.GetSocketHandle(), SOL_SOCKET, SO_SNDTIMEO, &tv, &len), 0);
    EXPECT_EQ(tv.tv_sec * 1000 + tv.tv_usec / 1000, 300);
    EXPECT_EQ(base.SetNoDelay(false), TCP_OK);
    int v = 0;
    len = sizeof v;
    getsockopt(base.GetSocketHandle(), IPPROTO_TCP, TCP_NODELAY, &v, &len);
    EXPECT_EQ(v, 1);
    EXPECT_EQ(base.SetNoDelay(true), TCP_OK);
    getsockopt(base.GetSocketHandle(), IPPROTO_TCP, TCP_NODELAY, &v, &len);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(base.SetSendBufferSize(65536), 0);
    EXPECT_GE(base.GetSendBufferSize(), 65536);
    base.TCPShutDown();
    EXPECT_EQ(base.GetSendBufferSize(), -1);
}

namespace {

struct Resolved {
    addrinfo* list = nullptr;
    ~Resolved() {
        if (list) freeaddrinfo(list);
    }
};

double SecondsSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

}  // namespace

TEST(TcpBaseConnect, PeerCloseMakesTheNextReceiveShutdownWithNoBytes) {
    Listener listener(AF_INET);
    ASSERT_GT(listener.Port(), 0);
    CTCPBase base;
    Resolved r;
    ASSERT_EQ(CTCPBase::Resolve("127.0.0.1", listener.Port(), &r.list), 0);
    ASSERT_EQ(base.CreateSocket(r.list->ai_family), TCP_OK);
    ASSERT_EQ(base.ConnectSocket("127.0.0.1", listener.Port(), 0, false, r.list, false), TCP_OK);
    EXPECT_TRUE(base.IsConnected());
    EXPECT_GT(base.GetOwnPort(), 0);
    Conn peer(listener.Accept(5000));
    ASSERT_TRUE(peer.Valid());
    ASSERT_TRUE(peer.SendAll("abc"));
    uint8_t buf[16];
    int count = -1;
    ASSERT_EQ(base.Recv(buf, sizeof buf, &count), TCP_DATA_PRESENT);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), count), "abc");
    peer.Close();
    EXPECT_EQ(base.Recv(buf, sizeof buf, &count), TCP_SHUTDOWN);
    EXPECT_EQ(count, 0);
    base.TCPShutDown();
    EXPECT_FALSE(base.IsConnected());
}

TEST(TcpBaseConnect, ClosedPortFailsAtOnceAndLeavesTheSocketBlocking) {
    int port;
    {
        Listener gone(AF_INET);
        port = gone.Port();
    }
    CTCPBase base;
    Resolved r;
    ASSERT_EQ(CTCPBase::Resolve("127.0.0.1", port, &r.list), 0);
    ASSERT_EQ(base.CreateSocket(AF_INET), TCP_OK);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(base.ConnectSocket("127.0.0.1", port, 3, false, r.list, false), TCP_CONNECT_FAILED);
    EXPECT_LT(SecondsSince(t0), 2.0);
    const int fd = base.GetSocketHandle();
    ASSERT_NE(fd, CTCPBase::kNoSocket);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    // The socket stays open after a failed connect, and so does the flag, until shut down.
    EXPECT_TRUE(base.IsConnected());
    base.TCPShutDown();
    EXPECT_FALSE(base.IsConnected());
}

TEST(TcpBaseConnect, ConnectTimeOutAgainstAListenerWithAFullBacklog) {
    Listener listener(AF_INET, 0, 0);
    ASSERT_GT(listener.Port(), 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(listener.Port()));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Fill the accept queue: once a connect does not complete, SYNs are being dropped.
    std::vector<int> fillers;
    bool full = false;
    for (int i = 0; i < 32 && !full; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        fillers.push_back(fd);
        ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
        pollfd p{fd, POLLOUT, 0};
        full = ::poll(&p, 1, 300) == 0;
    }
    if (!full) {
        for (int fd : fillers) ::close(fd);
        GTEST_SKIP() << "the kernel kept accepting connections; no way to stall a loopback connect";
    }
    CTCPBase base;
    Resolved r;
    ASSERT_EQ(CTCPBase::Resolve("127.0.0.1", listener.Port(), &r.list), 0);
    ASSERT_EQ(base.CreateSocket(AF_INET), TCP_OK);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(base.ConnectSocket("127.0.0.1", listener.Port(), 1, false, r.list, false), TCP_CONNECT_FAILED);
    const double took = SecondsSince(t0);
    EXPECT_GE(took, 0.9);
    EXPECT_LT(took, 3.0);
    EXPECT_EQ(fcntl(base.GetSocketHandle(), F_GETFL) & O_NONBLOCK, 0);
    base.TCPShutDown();
    for (int fd : fillers) ::close(fd);
}

TEST(TcpBaseConnect, AddressesAreTriedInOrderAcrossFamilies) {
    Listener listener(AF_INET);
    ASSERT_GT(listener.Port(), 0);
    // First ::1 (nobody listens there on this port), then 127.0.0.1.
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_addr = in6addr_loopback;
    v6.sin6_port = htons(static_cast<uint16_t>(listener.Port()));
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    v4.sin_port = htons(static_cast<uint16_t>(listener.Port()));
    addrinfo second{};
    second.ai_family = AF_INET;
    second.ai_socktype = SOCK_STREAM;
    second.ai_addr = reinterpret_cast<sockaddr*>(&v4);
    second.ai_addrlen = sizeof v4;
    addrinfo first{};
    first.ai_family = AF_INET6;
    first.ai_socktype = SOCK_STREAM;
    first.ai_addr = reinterpret_cast<sockaddr*>(&v6);
    first.ai_addrlen = sizeof v6;
    first.ai_next = &second;

    CTCPBase base;
    ASSERT_EQ(base.CreateSocket(AF_INET6), TCP_OK);
    base.SetReceiveTimeout(700);
    EXPECT_EQ(base.ConnectSocket("dual.test", listener.Port(), 2, false, &first, false), TCP_OK);
    Conn peer(listener.Accept(5000));
    ASSERT_TRUE(peer.Valid());
    // The fresh socket for the second address got the stored time-out again.
    timeval tv{};
    socklen_t len = sizeof tv;
    getsockopt(base.GetSocketHandle(), SOL_SOCKET, SO_RCVTIMEO, &tv, &len);
    EXPECT_EQ(tv.tv_sec * 1000 + tv.tv_usec / 1000, 700);
    const uint8_t ping[] = {'p', 'i', 'n', 'g'};
    EXPECT_EQ(base.Send(ping, 4), TCP_DATA_PRESENT);
    auto got = peer.ReadExactly(4, 5000);
    EXPECT_EQ(std::string(got.begin(), got.end()), "ping");
    base.TCPShutDown();
}

TEST(TcpBaseConnect, LiteralAddressesOfBothFamilies) {
    for (int family : {AF_INET, AF_INET6}) {
        Listener listener(family);
        ASSERT_GT(listener.Port(), 0);
        CTCPBase base;
        ASSERT_EQ(base.CreateSocket(family), TCP_OK);
        EXPECT_EQ(base.ConnectSocket(listener.Host().c_str(), listener.Port(), 0, false, nullptr, true), TCP_OK)
            << listener.Host();
        Conn peer(listener.Accept(5000));
        EXPECT_TRUE(peer.Valid());
        base.TCPShutDown();
    }
    CTCPBase bad;
    ASSERT_EQ(bad.CreateSocket(AF_INET), TCP_OK);
    EXPECT_EQ(bad.ConnectSocket("not-an-address", 1, 0, false, nullptr, true), TCP_CONNECT_FAILED);
    EXPECT_EQ(bad.ConnectSocket("whatever", 1, 0, false, nullptr, false), TCP_CONNECT_FAILED);
}

TEST(TcpBaseConnect, SecureTransportConnectsButIsNotOffered) {
    Listener listener(AF_INET);
    CTCPBase base;
    Resolved r;
    ASSERT_EQ(CTCPBase::Resolve("127.0.0.1", listener.Port(), &r.list), 0);
    ASSERT_EQ(base.CreateSocket(AF_INET), TCP_OK);
    EXPECT_EQ(base.ConnectSocket("127.0.0.1", listener.Port(), 0, true, r.list, false), TCP_NOT_SUPPORTED);
    EXPECT_FALSE(base.IsConnected());
    Conn peer(listener.Accept(5000));
    EXPECT_TRUE(peer.Valid());  // the TCP connect itself went through
}
