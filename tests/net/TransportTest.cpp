// CTCPBase and CTCPClient against scripted sockets (the SocketCalls seam) and loopback peers.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <mutex>
#include <random>

#include <gtest/gtest.h>

#include "foundation/Log.h"
#include "net/TCPClient.h"
#include "platform/Settings.h"
#include "tests/platform/TempSettings.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;
constexpr auto kReady = std::future_status::ready, kRunning = std::future_status::timeout;

template <typename F>
bool WaitUntil(F condition, int timeoutMs = 5000) {
    for (const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs); !condition();) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(2ms);
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
    return getsockopt(fd, level, name, &value, &len), value;
}
int TimeoutMs(int fd, int name) {
    const timeval tv = Get<timeval>(fd, SOL_SOCKET, name);
    return static_cast<int>(tv.tv_sec * 1000 + tv.tv_usec / 1000);
}
int Ioctl(int fd, unsigned long request, int value = -1) { return ::ioctl(fd, request, &value) == 0 ? value : -1; }

// One accepted connection (owns the descriptor).
struct Conn {
    explicit Conn(int f) : fd(f) {}
    Conn(Conn&& o) noexcept : fd(std::exchange(o.fd, -1)) {}
    ~Conn() { Close(); }
    void Close() {
        if (fd >= 0) ::close(std::exchange(fd, -1));
    }
    // Short texts go out in one call on loopback.
    bool Say(const std::string& t) { return ::send(fd, t.data(), t.size(), MSG_NOSIGNAL) == ssize_t(t.size()); }
    // Reads until n bytes, the end of the stream (sets *eof) or timeoutMs without a byte.
    Bytes Read(size_t n, int timeoutMs, bool* eof = nullptr) {
        const timeval tv{timeoutMs / 1000, timeoutMs % 1000 * 1000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        Bytes out, buf(65536);
        for (ssize_t r = 1; r > 0 && out.size() < n;) {
            r = ::recv(fd, buf.data(), std::min(buf.size(), n - out.size()), 0);
            if (r > 0) out.insert(out.end(), buf.begin(), buf.begin() + r);
            else if (eof) *eof = r == 0 || errno != EAGAIN;
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
    explicit Listener(int f = AF_INET, int receiveBuffer = 0) : family(f), fd(::socket(f, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        if (receiveBuffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        const timeval acceptWait{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &acceptWait, sizeof acceptWait);
        sockaddr_in6 v6{AF_INET6, 0, 0, in6addr_loopback, 0};
        sockaddr_in v4{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        auto* a = f == AF_INET6 ? reinterpret_cast<sockaddr*>(&v6) : reinterpret_cast<sockaddr*>(&v4);
        socklen_t len = f == AF_INET6 ? sizeof v6 : sizeof v4;
        if (::bind(fd, a, len) == 0 && ::listen(fd, 16) == 0 && getsockname(fd, a, &len) == 0)
            port = ntohs(f == AF_INET6 ? v6.sin6_port : v4.sin_port);
    }
    ~Listener() { ::close(fd); }
    std::string Host() const { return family == AF_INET6 ? "::1" : "127.0.0.1"; }
    Conn Accept() { return Conn(::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC)); }  // -1 after 5 s
    int family, fd, port = 0;
};

// A scripted socket: takes at most maxPerCall bytes per send, answers EMSGSIZE above tooLongAbove,
// and once failAfter bytes went through fails with failErrno (returns 0 when that is 0).
struct FakeSocket {
    size_t maxPerCall = SIZE_MAX, tooLongAbove = SIZE_MAX, failAfter = SIZE_MAX;
    int failErrno = 0, calls = 0, recvErrno = 0;
    Bytes sent{};
    ssize_t recvResult = 0;
} g_fake;

constexpr net::SocketCalls kFakeCalls{
    [](int, const void* data, size_t length) -> ssize_t {
        auto& f = g_fake;
        ++f.calls;
        errno = f.sent.size() >= f.failAfter ? f.failErrno : EMSGSIZE;
        if (f.sent.size() >= f.failAfter) return f.failErrno ? -1 : 0;
        if (length > f.tooLongAbove) return -1;
        const size_t n = std::min({length, f.maxPerCall, f.failAfter - f.sent.size()});
        f.sent.insert(f.sent.end(), static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + n);
        return static_cast<ssize_t>(n);
    },
    [](int, void*, size_t) {
        errno = g_fake.recvErrno;
        return g_fake.recvResult;
    }};

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

// An expired time-out on a blocking socket is not a would-block.
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

// The addresses of a name are tried in order across families, each on a fresh socket that gets the
// stored options and is left blocking after the timed connect.
TEST(TcpBase, AddressesAreTriedInOrderEachOnAFreshSocketWithTheStoredOptions) {
    Listener listener(AF_INET);
    // First ::1 (nobody listens there on this port), then 127.0.0.1.
    const uint16_t port = htons(static_cast<uint16_t>(listener.port));
    sockaddr_in6 v6{AF_INET6, port, 0, in6addr_loopback, 0};
    sockaddr_in v4{AF_INET, port, {htonl(INADDR_LOOPBACK)}, {}};
    addrinfo second{0, AF_INET, SOCK_STREAM, 0, sizeof v4, reinterpret_cast<sockaddr*>(&v4), nullptr, nullptr};
    addrinfo first{0, AF_INET6, SOCK_STREAM, 0, sizeof v6, reinterpret_cast<sockaddr*>(&v6), nullptr, &second};
    CTCPBase base;
    ASSERT_EQ(base.CreateSocket(AF_INET6), TCP_OK);
    EXPECT_EQ(base.SetReceiveTimeout(1250), 0);
    EXPECT_EQ(base.SetSendTimeout(300), 0);
    EXPECT_EQ(base.ConnectSocket("dual.test", listener.port, 2, false, &first, false), TCP_OK);
    Conn peer = listener.Accept();
    const int fd = base.GetSocketHandle();
    EXPECT_NEAR(TimeoutMs(fd, SO_RCVTIMEO), 1250, 8);  // the kernel rounds to its tick
    EXPECT_EQ(TimeoutMs(fd, SO_SNDTIMEO), 300);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(base.Send(Text("ping"), 4), TCP_DATA_PRESENT);
    EXPECT_EQ(peer.Read(4, 5000), Bytes({'p', 'i', 'n', 'g'}));
}

// Data written just before the close arrives although the peer's bytes wait unread (they would make
// the kernel reset the connection and drop our queue). A sender that shuts the socket down itself
// when a write fails, still holding the send lock (as a protocol layer does on a lost connection),
// and another thread closing it both return.
TEST(TcpClose, DataWrittenJustBeforeArrivesAndAFailingSenderAndAConcurrentCloseBothReturn) {
    struct ShutDownOnSendError : CTCPBase {
        int Send(const uint8_t* data, int length) override {
            platform::CAutoLock g(m_SendLock);
            const int rc = CTCPBase::Send(data, length);
            if (rc != TCP_DATA_PRESENT) TCPShutDown();
            return rc;
        }
    };
    // The peer's small receive window keeps most of our bytes in our own send queue.
    Listener listener(AF_INET, 4096);
    for (bool concurrent : {false, true}) {
        SCOPED_TRACE(concurrent);
        ShutDownOnSendError base;
        addrinfo* list = nullptr;
        ASSERT_EQ(CTCPBase::Resolve("127.0.0.1", listener.port, &list), 0);
        ASSERT_EQ(base.CreateSocket(AF_INET), TCP_OK);
        EXPECT_EQ(base.ConnectSocket("127.0.0.1", listener.port, 0, false, list, false), TCP_OK);
        freeaddrinfo(list);
        Conn peer = listener.Accept();
        const int fd = base.GetSocketHandle();
        if (!concurrent) {
            base.SetSendTimeout(10000);
            base.SetSendBufferSize(1 << 20);
            ASSERT_TRUE(peer.Say(std::string(1500, 'r')));
            ASSERT_TRUE(WaitUntil([&] { return Ioctl(fd, FIONREAD) >= 1500; }));
            const Bytes data = Pattern(160 * 1024, 11);
            ASSERT_EQ(base.Send(data.data(), static_cast<int>(data.size())), TCP_DATA_PRESENT);
            ASSERT_GT(Ioctl(fd, SIOCOUTQ), 0);  // else the close could not lose anything
            base.TCPShutDown();
            EXPECT_EQ(base.GetSocketHandle(), CTCPBase::kNoSocket);
            bool eof = false;
            EXPECT_TRUE(peer.Read(SIZE_MAX, 10000, &eof) == data);
            EXPECT_TRUE(eof);
            continue;
        }
        const Bytes data = Pattern(8 << 20, 3);  // far more than both socket buffers hold
        auto writer = std::async(std::launch::async, [&] { return base.Send(data.data(), static_cast<int>(data.size())); });
        ASSERT_TRUE(WaitUntil([&] { return Ioctl(fd, SIOCOUTQ) > 0; }));
        ASSERT_EQ(writer.wait_for(0ms), kRunning);
        auto closer = std::async(std::launch::async, [&] { return base.TCPShutDown(); });
        // A hung thread cannot be joined: the only clear report left is to end the program.
        if (closer.wait_for(20s) != kReady || writer.wait_for(20s) != kReady) {
            fprintf(stderr, "FATAL: send or close did not return within 20 s (deadlock)\n");
            std::_Exit(1);
        }
        EXPECT_EQ(closer.get(), 0);
        EXPECT_EQ(writer.get(), TCP_SHUTDOWN);
        EXPECT_FALSE(base.IsConnected());
        EXPECT_TRUE(peer.WaitEof(10000));
    }
}

namespace {

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

// A private settings store (in place before the client exists), a listener whose accepted
// sockets have a small receive buffer, and a client.
class TcpClientTest : public ::testing::Test {
protected:
    void Set(const char* name, uint32_t value) {
        platform::settings::WriteDword(platform::settings::Scope::User, KEY_TCPCLIENT, name, value);
    }
    static TCPClientParams Params(const Listener& l, int bufferSize = 0, int packetSize = 0) {
        return {.host = l.Host(), .port = l.port, .sleepDelay = 5, .sendBufferSize = bufferSize, .sendPacketSize = packetSize};
    }
    // Connects `client` to `listener` and answers the accepted peer.
    Conn Start(int bufferSize = 0, int packetSize = 0) {
        EXPECT_EQ(client.Connect(Params(listener, bufferSize, packetSize)), TCP_OK);
        return listener.Accept();
    }
    // Small socket buffers on both ends, so a peer that does not read stalls the sender at once.
    void Stalling(uint32_t sendTimeoutMs) {
        Set("TcpBufSize", 8192);
        Set("SendTimeout", sendTimeoutMs);
    }
    qvtest::TempSettings settings;
    Listener listener{AF_INET, 4096};
    RecordingClient client;
};

// An append answers the last send result: nothing yet, or whatever the send thread did last.
bool Accepted(int rc) { return rc == TCP_OK || rc == TCP_DATA_PRESENT; }

}  // namespace

// A reconnect asked for from the receive callback (as the protocol layer does) goes to the stored
// host again through the client's own Close and without the close callback; a peer's close is
// reported once, through the derived Close.
TEST_F(TcpClientTest, AReconnectRequestReconnectsSilentlyAndAPeerCloseIsReportedOnce) {
    Set("ReceiveTimeout", 400);
    const std::pair<int, const char*> cases[] = {{AF_INET, ""}, {AF_INET6, ""}, {AF_INET, "localhost"}};
    for (auto [family, host] : cases) {
        SCOPED_TRACE(family);
        Listener server(family);
        RecordingClient c;
        TCPClientParams p = Params(server, 65536, 1024);
        if (*host) p.host = host;
        ASSERT_EQ(c.Connect(p), TCP_OK) << p.host;
        Conn first = server.Accept();
        c.requestReconnectOnData.store(true);
        ASSERT_TRUE(first.Say("close"));
        ASSERT_TRUE(c.dataArrived.Wait(5000));
        c.requestReconnectOnData.store(false);
        first.Close();
        Conn peer = server.Accept();
        ASSERT_GE(peer.fd, 0);
        ASSERT_TRUE(WaitUntil([&] { return !c.GetReconnectRequest(); }));
        EXPECT_TRUE(c.IsConnected());
        EXPECT_EQ(c.closeCalls.load() + c.closeOverrideCalls.load(), 0);
        EXPECT_EQ(TimeoutMs(c.GetSocketHandle(), SO_RCVTIMEO), 400);
        EXPECT_TRUE(c.IsSendBuffered());
        c.Send(Text("ok"), 2, true);
        EXPECT_EQ(peer.Read(2, 5000), Bytes({'o', 'k'}));
        ASSERT_TRUE(peer.Say("again"));
        EXPECT_TRUE(WaitUntil([&] { return c.Received() == "closeagain"; }));
        EXPECT_FALSE(c.WaitUntilClosed());
        peer.Close();
        ASSERT_TRUE(c.closed.Wait(5000));
        EXPECT_TRUE(WaitUntil([&] { return c.WaitUntilClosed(); }));
        EXPECT_EQ(c.closeCalls.load(), 1);
        EXPECT_EQ(c.closeOverrideCalls.load(), 1);
    }
}

TEST_F(TcpClientTest, ConnectFailures) {
    TCPClientParams p = Params(Listener());  // closed again at once
    p.connectTimeout = 2;
    EXPECT_EQ(client.Connect(p), TCP_CONNECT_FAILED);
    p.host = "this name does not resolve";
    EXPECT_EQ(client.Connect(p), TCP_SOCKET_FAILED);
    // A listener that never answers the TLS hello: the handshake ends with the connect time-out.
    p = Params(listener);
    p.secure = 1;
    p.connectTimeout = 1;
    EXPECT_EQ(client.Connect(p), TCP_CONNECT_FAILED);
    EXPECT_EQ(client.GetTransportError(), "TLS handshake timed out");
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
        Set("TcpBufSize", r.buf);
        Set("SendTimeout", r.send);
        Set("ReceiveTimeout", r.receive);
        if (r.noDelay == 0) Set("TcpNoDelay", 0);
        ASSERT_EQ(client.Connect(p), TCP_OK);
        peers.push_back(listener.Accept());
        const TCPClientParams s = client.GetStoredParams();
        const int fd = client.GetSocketHandle();
        EXPECT_EQ(std::tuple(s.socketBufferSize, s.sendTimeout, s.receiveTimeout, s.noDelay, TimeoutMs(fd, SO_SNDTIMEO),
                             TimeoutMs(fd, SO_RCVTIMEO), Get<int>(fd, IPPROTO_TCP, TCP_NODELAY)),
                  std::tuple(r.storedBuf, r.storedSend, r.storedReceive, static_cast<int>(r.noDelay), r.storedSend,
                             r.storedReceive, static_cast<int>(r.noDelay)));
        EXPECT_GE(Get<int>(fd, SOL_SOCKET, SO_SNDBUF), r.storedBuf);
    }
    EXPECT_EQ(client.closeOverrideCalls.load(), 1);
    EXPECT_TRUE(peers[0].WaitEof(5000));
    EXPECT_EQ(client.Send(Text("abc"), 3, true), TCP_DATA_PRESENT);
    EXPECT_EQ(peers[1].Read(3, 5000), Bytes({'a', 'b', 'c'}));
    EXPECT_EQ(client.closeCalls.load(), 0);  // a deliberate close is not a lost connection
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
    EXPECT_TRUE(WaitUntil([&] { return client.GetSendBufferFillness() == 20020 - 17384; }));
    EXPECT_TRUE(peer.Read(1, 200).empty());  // nothing more leaves
    EXPECT_EQ(client.Send(data.data() + 20020, 9980, true), TCP_DATA_PRESENT);
    EXPECT_EQ(peer.Read(30000 - 17384, 5000), Slice(data, 17384, 30000));
    EXPECT_EQ(client.GetTotalBytesSent(), 30000u);
    client.SetSocketCalls(nullptr);
}

// The peer reads one chunk stream: a flush (which waits for the stuck pass) drops the messages
// that have not started and finishes the one on the wire, also one too large for the buffer whose
// producer is still appending it.
TEST_F(TcpClientTest, AFlushDropsTheMessagesNotStartedAndFinishesTheOneOnTheWire) {
    Stalling(20000);
    constexpr int kPacket = 4096;
    struct Row { int buffer; size_t first; };
    for (const Row row : {Row{1 << 20, 512 * 1024}, Row{64 << 10, 300 << 10}}) {
        SCOPED_TRACE(row.first);
        Conn peer = Start(row.buffer, kPacket);
        const bool fits = static_cast<int>(row.first) < row.buffer;
        const Bytes first = Pattern(row.first, 13), later = Pattern(256 * 1024, 12);
        auto producer = std::async(std::launch::async, [&] {
            const int rc = client.SendBuffered(first.data(), static_cast<int>(first.size()));
            if (fits) client.SendBuffered(later.data(), static_cast<int>(later.size()));
            return rc;
        });
        ASSERT_TRUE(WaitUntil([&] { return client.GetTotalBytesSent() > 0; }));  // the pass is stuck
        if (fits) {
            ASSERT_EQ(producer.wait_for(5s), kReady);
        }
        auto flush = std::async(std::launch::async, [&] { client.FlushSendBuffer(); });
        EXPECT_EQ(flush.wait_for(200ms), kRunning);
        auto reader = std::async(std::launch::async, [&] { return peer.Read(SIZE_MAX, 20000); });
        ASSERT_EQ(flush.wait_for(20s), kReady);
        ASSERT_EQ(producer.wait_for(20s), kReady);
        EXPECT_TRUE(Accepted(producer.get()));
        EXPECT_EQ(client.Send(Text("END!"), 4, true), TCP_DATA_PRESENT);
        client.Close();
        Bytes expected = first;
        expected.insert(expected.end(), {'E', 'N', 'D', '!'});
        const Bytes got = reader.get();
        EXPECT_TRUE(got == expected) << got.size() << " bytes: a message was torn, or one not started went out";
    }
}

// Against a peer that reads only when told: a non-blocking send returns once the pass running at
// the call is done, a blocking one only when the buffer is empty, and a close wakes a producer
// that waits for room.
TEST_F(TcpClientTest, SendsWaitForThePassOrTheEmptyBufferAndACloseWakesAProducerWaitingForRoom) {
    Stalling(20000);
    Conn peer = Start(2 << 20, 4096);
    const auto a = Pattern(256 * 1024, 14), b = Pattern(512 * 1024, 15), c = Pattern(100 * 1000, 16);
    ASSERT_TRUE(Accepted(client.SendBuffered(a.data(), static_cast<int>(a.size()))));
    ASSERT_TRUE(WaitUntil([&] { return client.GetTotalBytesSent() > 0; }));
    auto nonBlocking = std::async(std::launch::async, [&] { return client.Send(b.data(), static_cast<int>(b.size()), false); });
    ASSERT_TRUE(WaitUntil([&] { return client.GetSendBufferFillness() > static_cast<int>(a.size()); }));
    EXPECT_EQ(peer.Read(a.size(), 20000), a);
    ASSERT_EQ(nonBlocking.wait_for(20s), kReady);
    EXPECT_EQ(nonBlocking.get(), TCP_DATA_PRESENT);
    EXPECT_GT(client.GetSendBufferFillness(), 0);  // b waits
    auto blocking = std::async(std::launch::async, [&] { return client.Send(c.data(), static_cast<int>(c.size()), true); });
    EXPECT_EQ(blocking.wait_for(300ms), kRunning);
    auto reader = std::async(std::launch::async, [&] { return peer.Read(b.size() + c.size(), 20000); });
    ASSERT_EQ(blocking.wait_for(20s), kReady);
    EXPECT_EQ(blocking.get(), TCP_DATA_PRESENT);
    EXPECT_EQ(client.GetSendBufferFillness(), 0);
    Bytes expected = b;
    expected.insert(expected.end(), c.begin(), c.end());
    EXPECT_EQ(reader.get(), expected);

    auto producer = std::async(std::launch::async, [&] {
        int rc = TCP_OK;
        for (int i = 0; i < 1000 && rc != TCP_SHUTDOWN && rc != TCP_TIMEOUT && client.IsConnected(); ++i)
            rc = client.SendBuffered(a.data(), static_cast<int>(a.size()));
        return rc;
    });
    EXPECT_EQ(producer.wait_for(300ms), kRunning);
    // Close waits for the stuck send thread; the peer lets it finish by reading.
    auto eof = std::async(std::launch::async, [&] { return peer.WaitEof(20000); });
    client.Close();
    ASSERT_EQ(producer.wait_for(20s), kReady);
    // Waiting for room when the buffer went: TCP_SHUTDOWN; between two appends: the last result.
    const int rc = producer.get();
    EXPECT_TRUE(rc == TCP_SHUTDOWN || rc == TCP_DATA_PRESENT) << rc;
    EXPECT_TRUE(eof.get());
}

// Unbuffered: the send reports the time-out and the connection stays. Buffered: the send thread
// raises the time-out flag and the next receive time-out closes the connection.
TEST_F(TcpClientTest, APeerThatStopsReadingTimesOut) {
    Stalling(300);
    Set("ReceiveTimeout", 300);
    const auto chunk = Pattern(64 * 1024, 17);
    for (bool buffered : {false, true}) {
        SCOPED_TRACE(buffered);
        if (buffered) Set("ReceiveTimeout", 2000);
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
        // The flag is up and the connection still stands (a byte from the peer restarts the
        // receive time-out): a message too large to wait for room comes back at once.
        ASSERT_TRUE(peer.Say("x"));
        if (rc == TCP_TIMEOUT && client.dataArrived.Wait(5000)) {
            const auto big = Pattern(600 * 1024, 18);  // more than the buffer after its first piece
            const auto start = Clock::now();
            EXPECT_EQ(client.SendBuffered(big.data(), static_cast<int>(big.size())), TCP_TIMEOUT);
            EXPECT_LT(Clock::now() - start, 200ms);
        }
        ASSERT_TRUE(client.closed.Wait(5000));
        EXPECT_EQ(client.closeCalls.load(), 1);
        EXPECT_TRUE(WaitUntil([&] { return !client.IsConnected(); }));
        EXPECT_TRUE(peer.WaitEof(10000));
        EXPECT_EQ(client.SendBuffered(chunk.data(), 100), TCP_TIMEOUT);  // at once on the closed connection
        Conn next = Start(256 * 1024, 4096);
        EXPECT_FALSE(client.GetSendTimeoutFlag());
    }
}

TEST_F(TcpClientTest, EveryByteArrivesOnceAndInOrderUnderRandomWriteSizes) {
    // Buffering is on only when the packet is smaller than the buffer.
    const std::tuple<int, int, int, bool> cases[] = {
        {AF_INET, 256 * 1024, 4096, true}, {AF_INET6, 100000, 1400, true}, {AF_INET, 100000, 100000, false}};
    for (auto [family, buffer, packet, buffered] : cases) {
        SCOPED_TRACE(buffer);
        Listener server(family);
        RecordingClient c;
        ASSERT_EQ(c.Connect(Params(server, buffer, packet)), TCP_OK);
        Conn peer = server.Accept();
        EXPECT_EQ(c.IsSendBuffered(), buffered);
        const auto data = Pattern(12 << 20, static_cast<uint32_t>(buffer));
        auto reader = std::async(std::launch::async, [&] { return peer.Read(data.size(), 30000); });
        std::mt19937 rng(static_cast<uint32_t>(packet + family));
        for (size_t pos = 0, n; pos < data.size(); pos += n) {
            n = std::min<size_t>(std::uniform_int_distribution<size_t>(1, 150000)(rng), data.size() - pos);
            const int length = static_cast<int>(n), way = static_cast<int>(rng() % 3);
            const int rc = way == 0 ? c.SendBuffered(data.data() + pos, length) : c.Send(data.data() + pos, length, way == 2);
            ASSERT_TRUE(rc != TCP_SHUTDOWN && rc != TCP_TIMEOUT) << rc;
        }
        c.Send(nullptr, 0, true);  // empties what is left, tail included
        EXPECT_TRUE(reader.get() == data);
        EXPECT_EQ(c.GetTotalBytesSent(), data.size());
        EXPECT_EQ(c.GetSendBufferFillness(), 0);
    }
}
