// The transport against scripted sockets (the SocketCalls seam) and loopback peers: CTCPBase's
// send and receive results, options, connect and close path, then CTCPClient's life cycle,
// settings, reconnecting and send path. Every wait has a deadline.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <mutex>
#include <random>

#include <gtest/gtest.h>

#include "foundation/Log.h"
#include "net/TCPClient.h"
#include "platform/Settings.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

template <typename F>
bool WaitUntil(F condition, int timeoutMs) {
    for (const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs); !condition();) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

Bytes Pattern(size_t n, uint32_t seed) {
    Bytes v(n);
    std::mt19937 rng(seed);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

Bytes Slice(const Bytes& v, size_t from, size_t to) {
    return Bytes(v.begin() + static_cast<long>(from), v.begin() + static_cast<long>(to));
}

const uint8_t* Text(const char* text) { return reinterpret_cast<const uint8_t*>(text); }

template <typename T>
T Get(int fd, int level, int name, T value = T{}) {
    socklen_t len = sizeof value;
    getsockopt(fd, level, name, &value, &len);
    return value;
}
int TimeoutMs(int fd, int name) {
    const timeval tv = Get<timeval>(fd, SOL_SOCKET, name);
    return static_cast<int>(tv.tv_sec * 1000 + tv.tv_usec / 1000);
}
int Ioctl(int fd, unsigned long request) {
    int value = -1;
    return ::ioctl(fd, request, &value) == 0 ? value : -1;
}

// One accepted connection (owns the descriptor).
struct Conn {
    explicit Conn(int f) : fd(f) {}
    Conn(Conn&& o) noexcept : fd(o.fd) { o.fd = -1; }
    ~Conn() { Close(); }
    void Close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    // Short texts go out in one call on loopback.
    bool Say(const std::string& t) { return ::send(fd, t.data(), t.size(), MSG_NOSIGNAL) == ssize_t(t.size()); }
    // Reads until n bytes, the end of the stream (sets *eof) or the deadline.
    Bytes Read(size_t n, int timeoutMs, bool* eof = nullptr) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        Bytes out, buf(65536);
        for (pollfd p{fd, POLLIN, 0}; out.size() < n;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
            const ssize_t r = ::recv(fd, buf.data(), std::min(buf.size(), n - out.size()), 0);
            if (r <= 0 && eof) *eof = true;
            if (r <= 0) break;
            out.insert(out.end(), buf.begin(), buf.begin() + r);
        }
        return out;
    }
    bool WaitEof(int timeoutMs) {
        bool eof = false;
        Read(SIZE_MAX, timeoutMs, &eof);
        return eof;
    }
    int fd;
};

// A listener on 127.0.0.1 or ::1 with a kernel-chosen port. receiveBuffer > 0 shrinks SO_RCVBUF
// before listen so accepted sockets inherit it.
struct Listener {
    explicit Listener(int f = AF_INET, int receiveBuffer = 0) : family(f) {
        fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receiveBuffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_storage ss{};
        auto* v4 = reinterpret_cast<sockaddr_in*>(&ss);
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&ss);
        socklen_t len = family == AF_INET6 ? sizeof *v6 : sizeof *v4;
        ss.ss_family = static_cast<sa_family_t>(family);
        if (family == AF_INET6) v6->sin6_addr = in6addr_loopback;
        else v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&ss), len) == 0 && ::listen(fd, 16) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) == 0)
            port = ntohs(family == AF_INET6 ? v6->sin6_port : v4->sin_port);
    }
    ~Listener() { ::close(fd); }
    std::string Host() const { return family == AF_INET6 ? "::1" : "127.0.0.1"; }
    Conn Accept() {
        pollfd p{fd, POLLIN, 0};
        return Conn(::poll(&p, 1, 5000) > 0 ? ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC) : -1);
    }
    int family, fd, port = 0;
};

int ConnectTo(CTCPBase& base, const Listener& listener) {
    addrinfo* list = nullptr;
    if (CTCPBase::Resolve(listener.Host().c_str(), listener.port, &list) != 0) return -1;
    int rc = base.CreateSocket(list->ai_family);
    if (rc == TCP_OK) rc = base.ConnectSocket(listener.Host().c_str(), listener.port, 0, false, list, false);
    freeaddrinfo(list);
    return rc;
}

// A scripted socket: takes at most maxPerCall bytes per send, answers EMSGSIZE above tooLongAbove,
// and once failAfter bytes went through fails with failErrno (returns 0 when that is 0).
struct FakeSocket {
    size_t maxPerCall = SIZE_MAX, tooLongAbove = SIZE_MAX, failAfter = SIZE_MAX;
    int failErrno = 0;
    Bytes sent{};
    int calls = 0;
    ssize_t recvResult = 0;
    int recvErrno = 0;
} g_fake;

ssize_t FakeSend(int, const void* data, size_t length) {
    ++g_fake.calls;
    errno = g_fake.sent.size() >= g_fake.failAfter ? g_fake.failErrno : EMSGSIZE;
    if (g_fake.sent.size() >= g_fake.failAfter) return g_fake.failErrno ? -1 : 0;
    if (length > g_fake.tooLongAbove) return -1;
    const size_t n = std::min({length, g_fake.maxPerCall, g_fake.failAfter - g_fake.sent.size()});
    g_fake.sent.insert(g_fake.sent.end(), static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + n);
    return static_cast<ssize_t>(n);
}
ssize_t FakeRecv(int, void*, size_t) {
    errno = g_fake.recvErrno;
    return g_fake.recvResult;
}
constexpr net::SocketCalls kFakeCalls{FakeSend, FakeRecv};

// Holds one end of a socket pair so the object has a descriptor whose blocking mode it can test.
struct SeamBase : CTCPBase {
    SeamBase() {
        socketpair(AF_UNIX, SOCK_STREAM, 0, pair);
        m_socket.store(pair[0]);
        SetSocketCalls(&kFakeCalls);
    }
    ~SeamBase() override {
        TCPShutDown();
        ::close(pair[1]);
    }
    int pair[2] = {-1, -1};
};

}  // namespace

TEST(TcpBaseSeam, AnExpiredTimeOutOnABlockingSocketIsNotAWouldBlock) {
    EXPECT_EQ(net::ClassifySocketError(EAGAIN, true), net::SocketError::TimedOut);
    EXPECT_EQ(net::ClassifySocketError(EAGAIN, false), net::SocketError::WouldBlock);
    EXPECT_EQ(net::ClassifySocketError(EBADF, true), net::SocketError::Other);
}

TEST(TcpBaseSeam, SendResults) {
    struct Case {
        const char* what;
        size_t maxPerCall, tooLongAbove, failAfter;
        int failErrno, length, expected;
        size_t sent;
        int calls;  // -1: any
        bool nonBlocking = false;
    };
    constexpr size_t N = SIZE_MAX;
    const Case cases[] = {
        {"empty", N, N, N, 0, 0, TCP_NO_DATA, 0, 0},
        {"short writes are resumed", 7, N, N, 0, 1000, TCP_DATA_PRESENT, 1000, -1},
        {"EMSGSIZE splits in halves", N, 100, N, 0, 1001, TCP_DATA_PRESENT, 1001, -1},
        {"EMSGSIZE for one byte", N, 0, N, 0, 4, TCP_ERROR, 0, -1},
        {"time-out after part", 10, N, 30, EAGAIN, 100, TCP_TIMEOUT, 30, -1},
        {"no buffers before any byte", N, N, 0, ENOBUFS, 50, TCP_NO_DATA, 0, 1},
        {"no buffers after some", 20, N, 20, ENOBUFS, 50, TCP_DATA_PRESENT, 20, -1},
        {"reset", N, N, 0, ECONNRESET, 8, TCP_SHUTDOWN, 0, 1},
        {"peer gone", N, N, 0, EPIPE, 8, TCP_SHUTDOWN, 0, 1},
        {"connection timed out", N, N, 0, ETIMEDOUT, 8, TCP_TIMEOUT, 0, 1},
        {"unknown", N, N, 0, EBADF, 8, TCP_ERROR, 0, 1},
        {"no progress must not spin", N, N, 0, 0, 8, TCP_ERROR, 0, 1},
        {"would block", N, N, 0, EAGAIN, 8, TCP_ERROR, 0, 1, true},
    };
    const Bytes data = Pattern(1001, 3);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SeamBase base;
        if (c.nonBlocking) fcntl(base.pair[0], F_SETFL, O_NONBLOCK);
        g_fake = FakeSocket{c.maxPerCall, c.tooLongAbove, c.failAfter, c.failErrno};
        EXPECT_EQ(base.Send(data.data(), c.length), c.expected);
        EXPECT_EQ(g_fake.sent, Slice(data, 0, c.sent));
        EXPECT_TRUE(c.calls < 0 || g_fake.calls == c.calls) << g_fake.calls;
    }
}

TEST(TcpBaseSeam, ReceiveResults) {
    uint8_t buf[64];
    int count = 99;
    EXPECT_EQ(CTCPBase().Recv(buf, sizeof buf, &count), TCP_ERROR);  // no socket
    SeamBase base;
    const std::tuple<ssize_t, int, int> cases[] = {
        {12, 0, TCP_DATA_PRESENT}, {-1, EAGAIN, TCP_TIMEOUT}, {-1, ECONNRESET, TCP_SHUTDOWN}, {0, 0, TCP_SHUTDOWN}};
    for (auto [result, err, expected] : cases) {
        g_fake.recvResult = result;
        g_fake.recvErrno = err;
        EXPECT_EQ(base.Recv(buf, sizeof buf, &count), expected) << result << " " << err;
        EXPECT_TRUE(result < 0 || count == result) << count;
    }
}

TEST(TcpBaseOptions, TimeOutsStoreFirstAndApplyOnlyWithASocket) {
    CTCPBase base;
    EXPECT_EQ(base.SetReceiveTimeout(0), 1);  // no socket
    ASSERT_EQ(base.CreateSocket(AF_INET), TCP_OK);
    EXPECT_EQ(base.SetSendTimeout(0), -2);  // nothing stored yet
    EXPECT_EQ(base.SetReceiveTimeout(1250), 0);
    EXPECT_EQ(base.SetSendTimeout(300), 0);
    const int fd = base.GetSocketHandle();
    EXPECT_NEAR(TimeoutMs(fd, SO_RCVTIMEO), 1250, 8);  // the kernel rounds to its tick
    EXPECT_EQ(TimeoutMs(fd, SO_SNDTIMEO), 300);
    for (bool disable : {false, true}) {
        EXPECT_EQ(base.SetNoDelay(disable), TCP_OK);
        EXPECT_EQ(Get<int>(fd, IPPROTO_TCP, TCP_NODELAY), disable ? 0 : 1);
    }
    EXPECT_EQ(base.SetSendBufferSize(65536), 0);
    EXPECT_GE(base.GetSendBufferSize(), 65536);
    base.TCPShutDown();
    EXPECT_EQ(base.GetSendBufferSize(), -1);
}

TEST(TcpBaseConnect, AddressesAreTriedInOrderAcrossFamiliesEachOnAFreshSocket) {
    Listener listener(AF_INET);
    // First ::1 (nobody listens there on this port), then 127.0.0.1.
    const uint16_t port = htons(static_cast<uint16_t>(listener.port));
    sockaddr_in6 v6{AF_INET6, port, 0, in6addr_loopback, 0};
    sockaddr_in v4{AF_INET, port, {htonl(INADDR_LOOPBACK)}, {}};
    addrinfo second{0, AF_INET, SOCK_STREAM, 0, sizeof v4, reinterpret_cast<sockaddr*>(&v4), nullptr, nullptr};
    addrinfo first{0, AF_INET6, SOCK_STREAM, 0, sizeof v6, reinterpret_cast<sockaddr*>(&v6), nullptr, &second};
    CTCPBase base;
    ASSERT_EQ(base.CreateSocket(AF_INET6), TCP_OK);
    base.SetReceiveTimeout(700);
    EXPECT_EQ(base.ConnectSocket("dual.test", listener.port, 2, false, &first, false), TCP_OK);
    Conn peer = listener.Accept();
    EXPECT_EQ(TimeoutMs(base.GetSocketHandle(), SO_RCVTIMEO), 700);  // stored, applied again
    EXPECT_EQ(fcntl(base.GetSocketHandle(), F_GETFL) & O_NONBLOCK, 0);  // blocking after a timed connect
    EXPECT_EQ(base.Send(Text("ping"), 4), TCP_DATA_PRESENT);
    EXPECT_EQ(peer.Read(4, 5000), Bytes({'p', 'i', 'n', 'g'}));
}

TEST(TcpClose, DataWrittenJustBeforeTheCloseArrivesWhileThePeersBytesWaitUnread) {
    // The peer's small receive window keeps most of our bytes in our own send queue at the close.
    Listener listener(AF_INET, 4096);
    CTCPBase base;
    ASSERT_EQ(ConnectTo(base, listener), TCP_OK);
    base.SetSendTimeout(10000);
    base.SetSendBufferSize(1 << 20);
    Conn peer = listener.Accept();
    const int fd = base.GetSocketHandle();
    // Unread bytes at close() would make the kernel reset the connection and drop our queue.
    ASSERT_TRUE(peer.Say(std::string(1500, 'r')));
    ASSERT_TRUE(WaitUntil([&] { return Ioctl(fd, FIONREAD) >= 1500; }, 5000));
    const Bytes data = Pattern(160 * 1024, 11);
    ASSERT_EQ(base.Send(data.data(), static_cast<int>(data.size())), TCP_DATA_PRESENT);
    ASSERT_GT(Ioctl(fd, SIOCOUTQ), 0);  // else the close could not lose anything
    base.TCPShutDown();
    EXPECT_EQ(base.GetSocketHandle(), CTCPBase::kNoSocket);
    bool eof = false;
    EXPECT_TRUE(peer.Read(SIZE_MAX, 10000, &eof) == data);
    EXPECT_TRUE(eof);
}

// A sender that shuts the socket down itself when a write fails, still holding the send lock
// (as a protocol layer does on a lost connection), against another thread closing it.
TEST(TcpClose, ASenderThatShutsDownAfterAFailedWriteAndAConcurrentCloseBothReturn) {
    struct ShutDownOnSendError : CTCPBase {
        int Send(const uint8_t* data, int length) override {
            platform::CAutoLock g(m_SendLock);
            const int rc = CTCPBase::Send(data, length);
            if (rc != TCP_DATA_PRESENT) TCPShutDown();
            return rc;
        }
    } base;
    Listener listener(AF_INET, 4096);
    ASSERT_EQ(ConnectTo(base, listener), TCP_OK);
    Conn peer = listener.Accept();
    const Bytes data = Pattern(8 << 20, 3);  // far more than both socket buffers hold
    auto writer = std::async(std::launch::async, [&] { return base.Send(data.data(), static_cast<int>(data.size())); });
    ASSERT_TRUE(WaitUntil([&] { return Ioctl(base.GetSocketHandle(), SIOCOUTQ) > 0; }, 5000));
    ASSERT_EQ(writer.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    auto closer = std::async(std::launch::async, [&] { return base.TCPShutDown(); });
    // A hung thread cannot be joined: the only clear report left is to end the program.
    if (closer.wait_for(std::chrono::seconds(20)) != std::future_status::ready ||
        writer.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        fprintf(stderr, "FATAL: send or close did not return within 20 s (deadlock)\n");
        std::_Exit(1);
    }
    EXPECT_EQ(closer.get(), 0);
    EXPECT_EQ(writer.get(), TCP_SHUTDOWN);
    EXPECT_FALSE(base.IsConnected());
    EXPECT_TRUE(peer.WaitEof(10000));
}

namespace {

// A private settings store in a fresh temporary directory, removed at the end.
struct SettingsSandbox {
    SettingsSandbox() {
        char tmpl[] = "/tmp/qv-net-XXXXXX";
        if (mkdtemp(tmpl)) dir = tmpl;
        setenv("QV_SETTINGS_USER", (dir + "/user.json").c_str(), 1);
        setenv("QV_SETTINGS_MACHINE", (dir + "/machine.json").c_str(), 1);
    }
    ~SettingsSandbox() {
        std::error_code ec;
        if (!dir.empty()) std::filesystem::remove_all(dir, ec);
    }
    void Set(const char* name, uint32_t value) {
        platform::settings::WriteDword(platform::settings::Scope::User, KEY_TCPCLIENT, name, value);
    }
    std::string dir;
};

// A CTCPClient that records what its callbacks saw, the way the protocol client uses them.
struct RecordingClient : CTCPClient {
    ~RecordingClient() override {
        Close();
        Terminate();
    }
    void OnReceive(const uint8_t* data, int length, std::atomic<bool>* reconnect) override {
        {
            std::lock_guard<std::mutex> g(mutex);
            received.append(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
        }
        if (requestReconnectOnData.load()) reconnect->store(true);
        dataArrived.Set();
    }
    void OnCloseConnection() override {
        closeCalls.fetch_add(1);
        closed.Set();
    }
    bool Close() override {
        closeOverrideCalls.fetch_add(1);
        return CTCPClient::Close();
    }
    std::string Received() {
        std::lock_guard<std::mutex> g(mutex);
        return received;
    }
    std::atomic<int> closeCalls{0}, closeOverrideCalls{0};  // OnCloseConnection, Close
    std::atomic<bool> requestReconnectOnData{false};
    platform::CEvent closed{true, false}, dataArrived{false, false};
    std::mutex mutex;  // received: the receive thread writes, the test reads
    std::string received;
};

class TcpClientTest : public ::testing::Test {
protected:
    static TCPClientParams Params(const Listener& l, int bufferSize = 0, int packetSize = 0) {
        TCPClientParams p;
        p.host = l.Host();
        p.port = l.port;
        p.sleepDelay = 5;
        p.sendBufferSize = bufferSize;
        p.sendPacketSize = packetSize;
        return p;
    }
    // Connects `client` to `listener` and answers the accepted peer.
    Conn Start(int bufferSize = 0, int packetSize = 0) {
        EXPECT_EQ(client.Connect(Params(listener, bufferSize, packetSize)), TCP_OK);
        return listener.Accept();
    }
    // Small socket buffers on both ends, so a peer that does not read stalls the sender at once.
    void Stalling(uint32_t sendTimeoutMs) {
        settings.Set("TcpBufSize", 8192);
        settings.Set("SendTimeout", sendTimeoutMs);
    }
    SettingsSandbox settings;
    Listener listener{AF_INET, 4096};
    RecordingClient client;
};

// An append answers the last send result: nothing yet, or whatever the send thread did last.
bool Accepted(int rc) { return rc == TCP_OK || rc == TCP_DATA_PRESENT; }

}  // namespace

TEST_F(TcpClientTest, DataReachesOnReceiveAndAPeerCloseIsReportedOnce) {
    const std::pair<int, const char*> cases[] = {{AF_INET, ""}, {AF_INET6, ""}, {AF_INET, "localhost"}};
    for (auto [family, host] : cases) {
        Listener listener(family);
        RecordingClient client;
        TCPClientParams p = Params(listener);
        if (*host) p.host = host;
        ASSERT_EQ(client.Connect(p), TCP_OK) << p.host;
        Conn peer = listener.Accept();
        ASSERT_TRUE(peer.Say("server says hi"));
        EXPECT_TRUE(WaitUntil([&] { return client.Received() == "server says hi"; }, 5000));
        EXPECT_FALSE(client.WaitUntilClosed());
        peer.Close();
        ASSERT_TRUE(client.closed.Wait(5000));
        EXPECT_TRUE(WaitUntil([&] { return client.WaitUntilClosed(); }, 5000));
        EXPECT_EQ(client.closeCalls.load(), 1);
        EXPECT_EQ(client.closeOverrideCalls.load(), 1);  // the receive thread closes through the derived Close
    }
}

TEST_F(TcpClientTest, ConnectFailures) {
    TCPClientParams p = Params(Listener());  // closed again at once
    p.connectTimeout = 2;
    EXPECT_EQ(client.Connect(p), TCP_CONNECT_FAILED);
    p.host = "this name does not resolve";
    EXPECT_EQ(client.Connect(p), TCP_SOCKET_FAILED);
    p = Params(listener);
    p.secure = 1;
    EXPECT_EQ(client.Connect(p), TCP_NOT_SUPPORTED);
    EXPECT_FALSE(client.IsConnected());
}

TEST_F(TcpClientTest, SettingsOfZeroFallBackNonZeroOnesWinAndAConnectClosesTheOldConnection) {
    struct Row {
        uint32_t buf, send, receive, noDelay;  // noDelay 1: not set, the parameter's 1 applies
        int storedBuf, storedSend, storedReceive;
    };
    const Row rows[] = {{0, 0, 0, 1, 131072, 2000, 1000}, {32768, 700, 600, 0, 32768, 700, 600}};
    TCPClientParams p = Params(listener);
    p.socketBufferSize = 5000;  // the setting overrides it
    std::vector<Conn> peers;
    for (const Row& r : rows) {
        settings.Set("TcpBufSize", r.buf);
        settings.Set("SendTimeout", r.send);
        settings.Set("ReceiveTimeout", r.receive);
        if (r.noDelay == 0) settings.Set("TcpNoDelay", 0);
        ASSERT_EQ(client.Connect(p), TCP_OK);
        peers.push_back(listener.Accept());
        const TCPClientParams s = client.GetStoredParams();
        EXPECT_EQ(std::tuple(s.socketBufferSize, s.sendTimeout, s.receiveTimeout, s.noDelay),
                  std::tuple(r.storedBuf, r.storedSend, r.storedReceive, static_cast<int>(r.noDelay)));
        const int fd = client.GetSocketHandle();
        EXPECT_EQ(TimeoutMs(fd, SO_SNDTIMEO), r.storedSend);
        EXPECT_EQ(TimeoutMs(fd, SO_RCVTIMEO), r.storedReceive);
        EXPECT_EQ(Get<int>(fd, IPPROTO_TCP, TCP_NODELAY), static_cast<int>(r.noDelay));
        EXPECT_GE(Get<int>(fd, SOL_SOCKET, SO_SNDBUF), r.storedBuf);
    }
    EXPECT_EQ(client.closeOverrideCalls.load(), 1);
    EXPECT_TRUE(peers[0].WaitEof(5000));
    EXPECT_EQ(client.Send(Text("abc"), 3, true), TCP_DATA_PRESENT);
    EXPECT_EQ(peers[1].Read(3, 5000), Bytes({'a', 'b', 'c'}));
    EXPECT_EQ(client.closeCalls.load(), 0);  // a deliberate close is not a lost connection
}

TEST_F(TcpClientTest, AReconnectRequestReconnectsToTheStoredHostWithoutTheCloseCallback) {
    settings.Set("ReceiveTimeout", 400);
    Conn first = Start(65536, 1024);
    const int firstPort = client.GetOwnPort();
    // The protocol layer asks for it from its receive callback.
    client.requestReconnectOnData.store(true);
    ASSERT_TRUE(first.Say("close"));
    ASSERT_TRUE(client.dataArrived.Wait(5000));
    client.requestReconnectOnData.store(false);
    first.Close();
    Conn second = listener.Accept();
    ASSERT_GE(second.fd, 0);
    ASSERT_TRUE(WaitUntil([&] { return !client.GetReconnectRequest(); }, 5000));
    EXPECT_TRUE(client.IsConnected());
    EXPECT_NE(client.GetOwnPort(), firstPort);
    EXPECT_EQ(client.closeCalls.load(), 0);
    EXPECT_EQ(client.closeOverrideCalls.load(), 0);  // the client's own Close, not the derived one
    EXPECT_EQ(TimeoutMs(client.GetSocketHandle(), SO_RCVTIMEO), 400);
    EXPECT_TRUE(client.IsSendBuffered());
    client.Send(Text("ok"), 2, true);
    EXPECT_EQ(second.Read(2, 5000), Bytes({'o', 'k'}));
    ASSERT_TRUE(second.Say("again"));
    EXPECT_TRUE(WaitUntil([&] { return client.Received() == "closeagain"; }, 5000));
}

namespace {

// System calls whose no-wait send takes at most `cap` bytes (a nearly full socket).
std::atomic<size_t> g_cap{SIZE_MAX};
ssize_t CappedSend(int fd, const void* data, size_t length) {
    return ::send(fd, data, std::min(length, g_cap.load()), MSG_NOSIGNAL | MSG_DONTWAIT);
}
const net::SocketCalls kCappedCalls{net::SystemSocketCalls().send, net::SystemSocketCalls().recv, CappedSend};

}  // namespace

// Whole packets the socket takes at once leave on the producer's thread; what it does not take is
// the send thread's, still in whole packets; the tail waits for a send-all request.
TEST_F(TcpClientTest, WholePacketsLeaveAtOnceAndTheTailWaitsForTheSendAllRequest) {
    Conn peer = Start(65536, 4096);
    g_cap = SIZE_MAX;
    client.SetSocketCalls(&kCappedCalls);
    const auto data = Pattern(30000, 31);
    EXPECT_TRUE(Accepted(client.SendBuffered(data.data(), 10000)));
    EXPECT_EQ(client.GetSendBufferFillness(), 1808);  // at once: no waiting for a thread
    EXPECT_EQ(peer.Read(8192, 5000), Slice(data, 0, 8192));
    EXPECT_TRUE(Accepted(client.SendBuffered(data.data() + 10000, 20)));  // less than a packet
    EXPECT_TRUE(peer.Read(1, 200).empty());  // nothing more leaves

    // The socket takes 1000 of the 8192 bytes of whole packets: then the send thread sends 8192
    // of the 10828 left and keeps the tail.
    g_cap = 1000;
    EXPECT_TRUE(Accepted(client.SendBuffered(data.data() + 10020, 10000)));
    EXPECT_EQ(peer.Read(9192, 5000), Slice(data, 8192, 17384));
    EXPECT_TRUE(WaitUntil([&] { return client.GetSendBufferFillness() == 20020 - 17384; }, 5000));
    EXPECT_TRUE(peer.Read(1, 200).empty());  // nothing more leaves
    EXPECT_EQ(client.Send(data.data() + 20020, 9980, true), TCP_DATA_PRESENT);
    EXPECT_EQ(peer.Read(30000 - 17384, 5000), Slice(data, 17384, 30000));
    EXPECT_EQ(client.GetTotalBytesSent(), 30000u);
    client.SetSocketCalls(nullptr);
}

TEST_F(TcpClientTest, FlushDuringAPassDropsTheRestAndLaterDataFollowsTheSentPrefix) {
    Stalling(20000);
    constexpr int kPacket = 4096;
    Conn peer = Start(1 << 20, kPacket);
    const auto data = Pattern((1 << 20) - kPacket, 13);
    ASSERT_TRUE(Accepted(client.SendBuffered(data.data(), static_cast<int>(data.size()))));
    ASSERT_TRUE(WaitUntil([&] { return client.GetTotalBytesSent() > 0; }, 5000));  // the pass is stuck
    platform::CEvent flushing(true, false);
    auto flush = std::async(std::launch::async, [&] {
        flushing.Set();
        client.FlushSendBuffer();
    });
    ASSERT_TRUE(flushing.Wait(5000));
    EXPECT_EQ(flush.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    auto reader = std::async(std::launch::async, [&] { return peer.Read(SIZE_MAX, 20000); });
    ASSERT_EQ(flush.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(client.GetSendBufferFillness(), 0);
    EXPECT_EQ(client.Send(Text("END!"), 4, true), TCP_DATA_PRESENT);
    client.Close();
    const auto got = reader.get();
    ASSERT_GE(got.size(), 4u);
    const size_t prefix = got.size() - 4;
    EXPECT_EQ(std::string(got.begin() + static_cast<long>(prefix), got.end()), "END!");
    EXPECT_LT(prefix, data.size()) << "the pass did not stop at the flush";
    EXPECT_EQ(prefix % kPacket, 0u);
    EXPECT_EQ(Slice(got, 0, prefix), Slice(data, 0, prefix));
}

TEST_F(TcpClientTest, ANonBlockingSendReturnsAfterAPassABlockingOneOnlyWhenTheBufferIsEmpty) {
    Stalling(20000);
    Conn peer = Start(2 << 20, 4096);
    const auto a = Pattern(256 * 1024, 14), b = Pattern(512 * 1024, 15), c = Pattern(100 * 1000, 16);
    ASSERT_TRUE(Accepted(client.SendBuffered(a.data(), static_cast<int>(a.size()))));
    ASSERT_TRUE(WaitUntil([&] { return client.GetTotalBytesSent() > 0; }, 5000));
    // B is appended while the pass over A runs; the non-blocking Send returns once that pass is
    // done, with B still waiting (the peer reads A only).
    auto nonBlocking = std::async(std::launch::async, [&] { return client.Send(b.data(), static_cast<int>(b.size()), false); });
    ASSERT_TRUE(WaitUntil([&] { return client.GetSendBufferFillness() > static_cast<int>(a.size()); }, 5000));
    EXPECT_EQ(peer.Read(a.size(), 20000), a);
    ASSERT_EQ(nonBlocking.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(nonBlocking.get(), TCP_DATA_PRESENT);
    EXPECT_GT(client.GetSendBufferFillness(), 0);
    auto blocking = std::async(std::launch::async, [&] { return client.Send(c.data(), static_cast<int>(c.size()), true); });
    EXPECT_EQ(blocking.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    auto reader = std::async(std::launch::async, [&] { return peer.Read(b.size() + c.size(), 20000); });
    ASSERT_EQ(blocking.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(blocking.get(), TCP_DATA_PRESENT);
    EXPECT_EQ(client.GetSendBufferFillness(), 0);
    Bytes expected = b;
    expected.insert(expected.end(), c.begin(), c.end());
    EXPECT_EQ(reader.get(), expected);
}

// Unbuffered: the send reports the time-out and the connection stays. Buffered: the send thread
// raises the time-out flag and the next receive time-out closes the connection.
TEST_F(TcpClientTest, APeerThatStopsReadingTimesOut) {
    Stalling(300);
    settings.Set("ReceiveTimeout", 300);
    const auto chunk = Pattern(64 * 1024, 17);
    for (bool buffered : {false, true}) {
        SCOPED_TRACE(buffered ? "buffered" : "unbuffered");
        Conn peer = Start(buffered ? 256 * 1024 : 0, 4096);
        int rc = TCP_OK;
        for (int i = 0; i < 400 && rc != TCP_TIMEOUT && rc != TCP_SHUTDOWN; ++i)
            rc = client.Send(chunk.data(), static_cast<int>(chunk.size()), false);
        EXPECT_EQ(client.GetSendTimeoutFlag(), buffered);
        if (!buffered) {
            EXPECT_EQ(rc, TCP_TIMEOUT);
            EXPECT_FALSE(client.closed.Wait(700));  // receive time-outs alone keep the connection
            EXPECT_TRUE(client.IsConnected());
            ASSERT_TRUE(peer.Say("late"));
            EXPECT_TRUE(client.dataArrived.Wait(5000));
            client.Close();  // before the peer goes, which would be a lost connection
            continue;
        }
        EXPECT_TRUE(rc == TCP_TIMEOUT || rc == TCP_SHUTDOWN) << rc;
        ASSERT_TRUE(client.closed.Wait(5000));
        EXPECT_EQ(client.closeCalls.load(), 1);
        EXPECT_TRUE(WaitUntil([&] { return !client.IsConnected(); }, 5000));
        EXPECT_TRUE(peer.WaitEof(10000));
        EXPECT_EQ(client.SendBuffered(chunk.data(), 100), TCP_TIMEOUT);  // at once on the closed connection
        Conn next = Start(256 * 1024, 4096);
        EXPECT_FALSE(client.GetSendTimeoutFlag());
    }
}

TEST_F(TcpClientTest, ACloseWakesAProducerWaitingForRoom) {
    Stalling(20000);
    Conn peer = Start(128 * 1024, 4096);
    const auto chunk = Pattern(60 * 1024, 19);
    auto producer = std::async(std::launch::async, [&] {
        int rc = TCP_OK;
        for (int i = 0; i < 1000 && rc != TCP_SHUTDOWN && rc != TCP_TIMEOUT && client.IsConnected(); ++i)
            rc = client.SendBuffered(chunk.data(), static_cast<int>(chunk.size()));
        return rc;
    });
    EXPECT_EQ(producer.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    // Close waits for the stuck send thread; the peer lets it finish by reading.
    auto reader = std::async(std::launch::async, [&] { return peer.WaitEof(20000); });
    client.Close();
    ASSERT_EQ(producer.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    // Waiting for room when the buffer went: TCP_SHUTDOWN; between two appends: the last result.
    const int rc = producer.get();
    EXPECT_TRUE(rc == TCP_SHUTDOWN || rc == TCP_DATA_PRESENT) << rc;
    EXPECT_TRUE(reader.get());
    const uint64_t before = client.GetTotalBytesSent();
    EXPECT_EQ(client.Send(chunk.data(), 10, false), client.GetLastSendResult());
    EXPECT_EQ(client.GetTotalBytesSent(), before);
}

TEST_F(TcpClientTest, EveryByteArrivesOnceAndInOrderUnderRandomWriteSizes) {
    // Buffering is on only when the packet is smaller than the buffer.
    const std::tuple<int, int, int, bool> cases[] = {
        {AF_INET, 256 * 1024, 4096, true}, {AF_INET6, 100000, 1400, true}, {AF_INET, 100000, 100000, false}};
    for (auto [family, buffer, packet, buffered] : cases) {
        SCOPED_TRACE(buffer);
        Listener listener(family);
        RecordingClient client;
        ASSERT_EQ(client.Connect(Params(listener, buffer, packet)), TCP_OK);
        Conn peer = listener.Accept();
        EXPECT_EQ(client.IsSendBuffered(), buffered);
        const auto data = Pattern(12 << 20, static_cast<uint32_t>(buffer));
        auto reader = std::async(std::launch::async, [&] { return peer.Read(data.size(), 30000); });
        std::mt19937 rng(static_cast<uint32_t>(packet + family));
        for (size_t pos = 0, n; pos < data.size(); pos += n) {
            n = std::min<size_t>(std::uniform_int_distribution<size_t>(1, 150000)(rng), data.size() - pos);
            const int length = static_cast<int>(n), way = static_cast<int>(rng() % 3);
            const int rc = way == 0 ? client.SendBuffered(data.data() + pos, length)
                                    : client.Send(data.data() + pos, length, way == 2);
            ASSERT_TRUE(rc != TCP_SHUTDOWN && rc != TCP_TIMEOUT) << rc;
        }
        client.Send(nullptr, 0, true);  // empties what is left, tail included
        EXPECT_TRUE(reader.get() == data);
        EXPECT_EQ(client.GetTotalBytesSent(), data.size());
        EXPECT_EQ(client.GetSendBufferFillness(), 0);
    }
}
