// CTCPClient: connection life cycle, the receive thread and its callbacks, the settings with
// their fallbacks, and reconnecting on request; all against loopback peers run by the test.
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

#include <gtest/gtest.h>

#include "LoopbackPeer.h"
#include "RecordingClient.h"
#include "foundation/Log.h"

using namespace nettest;

namespace {

class TcpClientTest : public ::testing::Test {
protected:
    TCPClientParams Params(const Listener& l) {
        TCPClientParams p;
        p.host = l.Host();
        p.port = l.Port();
        p.sleepDelay = 5;
        return p;
    }
    SettingsSandbox settings;
};

int SocketOption(int fd, int level, int name) {
    int v = -1;
    socklen_t len = sizeof v;
    getsockopt(fd, level, name, &v, &len);
    return v;
}

int TimeoutMs(int fd, int name) {
    timeval tv{};
    socklen_t len = sizeof tv;
    getsockopt(fd, SOL_SOCKET, name, &tv, &len);
    return static_cast<int>(tv.tv_sec * 1000 + tv.tv_usec / 1000);
}

}  // namespace

TEST_F(TcpClientTest, DataReachesOnReceiveAndAPeerCloseIsReportedOnce) {
    for (int family : {AF_INET, AF_INET6}) {
        Listener listener(family);
        ASSERT_GT(listener.Port(), 0);
        RecordingClient client;
        ASSERT_EQ(client.Connect(Params(listener)), TCP_OK) << listener.Host();
        EXPECT_TRUE(client.IsConnected());
        Conn peer(listener.Accept(5000));
        ASSERT_TRUE(peer.Valid());
        ASSERT_TRUE(peer.SendAll("server says hi"));
        ASSERT_TRUE(WaitUntil([&] { return client.Received().size() >= 14; }, 5000));
        auto got = client.Received();
        EXPECT_EQ(std::string(got.begin(), got.end()), "server says hi");
        peer.Close();
        ASSERT_TRUE(client.closed.Wait(5000));
        EXPECT_TRUE(WaitUntil([&] { return !client.IsConnected(); }, 5000));
        EXPECT_TRUE(client.WaitUntilClosed());
        EXPECT_EQ(client.closeCalls.load(), 1);
        EXPECT_GE(client.closeOverrideCalls.load(), 1);  // the receive thread closes through the derived Close
    }
}

TEST_F(TcpClientTest, NamesResolveToEitherFamily) {
    Listener v4(AF_INET);
    RecordingClient client;
    TCPClientParams p = Params(v4);
    p.host = "localhost";
    p.connectTimeout = 2;
    ASSERT_EQ(client.Connect(p), TCP_OK);
    Conn peer(v4.Accept(5000));
    EXPECT_TRUE(peer.Valid());
    EXPECT_FALSE(client.WaitUntilClosed());
    client.Close();

    Listener v6(AF_INET6);
    TCPClientParams literal = Params(v6);  // "::1"
    ASSERT_EQ(client.Connect(literal), TCP_OK);
    Conn peer6(v6.Accept(5000));
    EXPECT_TRUE(peer6.Valid());
}

TEST_F(TcpClientTest, ConnectFailures) {
    int port;
    {
        Listener gone(AF_INET);
        port = gone.Port();
    }
    RecordingClient client;
    TCPClientParams p;
    p.host = "127.0.0.1";
    p.port = port;
    p.connectTimeout = 2;
    EXPECT_EQ(client.Connect(p), TCP_CONNECT_FAILED);
    p.host = "this name does not resolve";
    EXPECT_EQ(client.Connect(p), TCP_SOCKET_FAILED);
    Listener listener(AF_INET);
    p = Params(listener);
    p.secure = 1;
    EXPECT_EQ(client.Connect(p), TCP_NOT_SUPPORTED);
    EXPECT_FALSE(client.IsConnected());
}

TEST_F(TcpClientTest, SettingsOfZeroFallBackAndNonZeroSettingsWin) {
    settings.SetTcp("TcpBufSize", 0);
    settings.SetTcp("SendTimeout", 0);
    settings.SetTcp("ReceiveTimeout", 0);
    Listener listener(AF_INET);
    RecordingClient client;
    TCPClientParams p = Params(listener);
    p.socketBufferSize = 5000;  // the setting (0) overrides it, then falls back
    ASSERT_EQ(client.Connect(p), TCP_OK);
    TCPClientParams stored = client.GetStoredParams();
    EXPECT_EQ(stored.socketBufferSize, 131072);
    EXPECT_EQ(stored.sendTimeout, 2000);
    EXPECT_EQ(stored.receiveTimeout, 1000);
    EXPECT_EQ(stored.noDelay, 1);
    const int fd = client.GetSocketHandle();
    EXPECT_EQ(TimeoutMs(fd, SO_SNDTIMEO), 2000);
    EXPECT_EQ(TimeoutMs(fd, SO_RCVTIMEO), 1000);
    EXPECT_GE(SocketOption(fd, SOL_SOCKET, SO_SNDBUF), 131072);
    EXPECT_EQ(SocketOption(fd, IPPROTO_TCP, TCP_NODELAY), 1);

    settings.SetTcp("TcpNoDelay", 0);
    settings.SetTcp("SendTimeout", 700);
    settings.SetTcp("ReceiveTimeout", 600);
    settings.SetTcp("TcpBufSize", 32768);
    ASSERT_EQ(client.Connect(p), TCP_OK);  // closes the first connection first
    EXPECT_EQ(client.closeOverrideCalls.load(), 1);
    const int fd2 = client.GetSocketHandle();
    EXPECT_EQ(TimeoutMs(fd2, SO_SNDTIMEO), 700);
    EXPECT_EQ(TimeoutMs(fd2, SO_RCVTIMEO), 600);
    EXPECT_EQ(SocketOption(fd2, IPPROTO_TCP, TCP_NODELAY), 0);
    stored = client.GetStoredParams();
    EXPECT_EQ(stored.socketBufferSize, 32768);
    EXPECT_EQ(stored.noDelay, 0);
    EXPECT_EQ(client.closeCalls.load(), 0);  // a deliberate close is not a lost connection
}

TEST_F(TcpClientTest, AConnectWhileConnectedClosesTheOldConnectionFirst) {
    Listener listener(AF_INET);
    RecordingClient client;
    ASSERT_EQ(client.Connect(Params(listener)), TCP_OK);
    Conn first(listener.Accept(5000));
    ASSERT_TRUE(first.Valid());
    ASSERT_EQ(client.Connect(Params(listener)), TCP_OK);
    EXPECT_EQ(client.closeOverrideCalls.load(), 1);
    EXPECT_TRUE(first.WaitEof(5000));
    Conn second(listener.Accept(5000));
    ASSERT_TRUE(second.Valid());
    const uint8_t msg[] = {1, 2, 3};
    EXPECT_EQ(client.Send(msg, 3, true), TCP_DATA_PRESENT);
    EXPECT_EQ(second.ReadExactly(3, 5000), std::vector<uint8_t>(msg, msg + 3));
}

TEST_F(TcpClientTest, AReconnectRequestReconnectsToTheStoredHostWithoutTheCloseCallback) {
    settings.SetTcp("ReceiveTimeout", 400);
    Listener listener(AF_INET);
    RecordingClient client;
    TCPClientParams p = Params(listener);
    p.sendBufferSize = 65536;
    p.sendPacketSize = 1024;
    ASSERT_EQ(client.Connect(p), TCP_OK);
    const int firstPort = client.GetOwnPort();
    Conn first(listener.Accept(5000));
    ASSERT_TRUE(first.Valid());
    // The protocol layer asks for it from its receive callback, as the tunnel does.
    client.requestReconnectOnData.store(true);
    ASSERT_TRUE(first.SendAll("close"));
    ASSERT_TRUE(client.dataArrived.Wait(5000));
    EXPECT_TRUE(client.GetReconnectRequest());
    client.requestReconnectOnData.store(false);
    first.Close();

    Conn second(listener.Accept(5000));
    ASSERT_TRUE(second.Valid());
    ASSERT_TRUE(WaitUntil([&] { return !client.GetReconnectRequest(); }, 5000));
    EXPECT_TRUE(client.IsConnected());
    EXPECT_NE(client.GetOwnPort(), firstPort);
    EXPECT_EQ(client.closeCalls.load(), 0);
    EXPECT_EQ(client.closeOverrideCalls.load(), 0);  // the client's own Close, not the derived one
    TCPClientParams stored = client.GetStoredParams();
    EXPECT_EQ(stored.receiveTimeout, 400);
    EXPECT_EQ(TimeoutMs(client.GetSocketHandle(), SO_RCVTIMEO), 400);
    EXPECT_TRUE(client.IsSendBuffered());
    // The new connection works both ways.
    const uint8_t msg[] = {'o', 'k'};
    client.Send(msg, 2, true);
    EXPECT_EQ(second.ReadExactly(2, 5000), std::vector<uint8_t>(msg, msg + 2));
    ASSERT_TRUE(second.SendAll("again"));
    EXPECT_TRUE(WaitUntil(
        [&] {
            auto r = client.Received();
            return r.size() >= 10 && std::string(r.end() - 5, r.end()) == "again";
        },
        5000));
}

TEST_F(TcpClientTest, AReceiveTimeOutAloneKeepsTheConnection) {
    settings.SetTcp("ReceiveTimeout", 50);
    Listener listener(AF_INET);
    RecordingClient client;
    ASSERT_EQ(client.Connect(Params(listener)), TCP_OK);
    Conn peer(listener.Accept(5000));
    ASSERT_TRUE(peer.Valid());
    // Several receive time-outs pass while the peer stays silent.
    EXPECT_FALSE(client.closed.Wait(400));
    EXPECT_TRUE(client.IsConnected());
    ASSERT_TRUE(peer.SendAll("late"));
    EXPECT_TRUE(client.dataArrived.Wait(5000));
}

TEST_F(TcpClientTest, SnifferFiguresReadZeroWithoutASniffer) {
    RecordingClient client;
    EXPECT_LT(client.StartSniffer(), 0);
    client.AddSnifferPortPair(1, 2);
    TCPSnifferStats s = client.GetSnifferStats(1, 2);
    EXPECT_EQ(s.packetsSent + s.packetsReceived + s.segmentsAcknowledged + s.payloadAcknowledged, 0u);
    EXPECT_EQ(s.roundTripTimeMs, 0u);
}

TEST_F(TcpClientTest, DestroyingAConnectedBaseClientReturnsPromptly) {
    settings.SetTcp("ReceiveTimeout", 200);
    Listener listener(AF_INET);
    auto t0 = std::chrono::steady_clock::now();
    {
        CTCPClient client;
        TCPClientParams p;
        p.host = listener.Host();
        p.port = listener.Port();
        ASSERT_EQ(client.Connect(p), TCP_OK);
        Conn peer(listener.Accept(5000));
        ASSERT_TRUE(peer.Valid());
    }
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 3.0);
}

TEST_F(TcpClientTest, TheLogNamesWhatHappened) {
    char path[] = "/tmp/qv-net-log-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(LogRedirect(fd, 7, nullptr), 0);
    {
        Listener listener(AF_INET);
        RecordingClient client;
        TCPClientParams p = Params(listener);
        p.sendBufferSize = 1000;
        p.sendPacketSize = 1000;
        ASSERT_EQ(client.Connect(p), TCP_OK);
        Conn peer(listener.Accept(5000));
        ASSERT_TRUE(peer.Valid());
        peer.Close();
        ASSERT_TRUE(client.closed.Wait(5000));
    }
    LogClose();
    std::string text;
    {
        FILE* f = fopen(path, "rb");
        ASSERT_NE(f, nullptr);
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
        fclose(f);
    }
    unlink(path);
    ::close(fd);
    for (const char* line : {"getaddrinfo (server=\"127.0.0.1\", port=\"",
                             "CTCPClient::Connect 127.0.0.1: ", "CTCPClient::Connect Warning: buffered send is disabled",
                             "setsockopt IPPROTO_TCP, TCP_NODELAY=1", "Error: TCP Recv : 0 0",
                             "CTCPClient::Receive returned error 3", "TCPShutDown: Closing TCP socket",
                             "CTCPClient::receive_thread_proc exit"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line;
    }
}
