// The send path of CTCPClient against loopback peers: when buffering is on, whole packets,
// the tail and the send-all request, flushing during a pass, blocking and non-blocking sends,
// the send time-out and what it does to the connection, and byte-exact delivery.
#include <sys/socket.h>

#include <algorithm>
#include <future>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "LoopbackPeer.h"
#include "RecordingClient.h"

using namespace nettest;

namespace {

class TcpSendTest : public ::testing::Test {
protected:
    TCPClientParams Params(const Listener& l, int bufferSize, int packetSize) {
        TCPClientParams p;
        p.host = l.Host();
        p.port = l.Port();
        p.sleepDelay = 5;
        p.sendBufferSize = bufferSize;
        p.sendPacketSize = packetSize;
        return p;
    }
    SettingsSandbox settings;
};

// An append answers the last send result: nothing yet, or whatever the send thread did last.
bool Accepted(int rc) { return rc == TCP_OK || rc == TCP_DATA_PRESENT; }

}  // namespace

TEST_F(TcpSendTest, BufferingIsOnOnlyWhenThePacketIsSmallerThanTheBuffer) {
    Listener listener(AF_INET);
    RecordingClient client;
    const std::pair<int, int> off[] = {{1000, 1000}, {1000, 2000}, {0, 100}, {1000, 0}, {-5, -10}};
    for (auto [buffer, packet] : off) {
        ASSERT_EQ(client.Connect(Params(listener, buffer, packet)), TCP_OK);
        Conn peer(listener.Accept(5000));
        EXPECT_FALSE(client.IsSendBuffered()) << buffer << "/" << packet;
    }
    ASSERT_EQ(client.Connect(Params(listener, 1000, 999)), TCP_OK);
    Conn peer(listener.Accept(5000));
    EXPECT_TRUE(client.IsSendBuffered());
}

TEST_F(TcpSendTest, UnbufferedSendsCountEveryByteWhateverTheResult) {
    Listener listener(AF_INET);
    RecordingClient client;
    ASSERT_EQ(client.Connect(Params(listener, 0, 0)), TCP_OK);
    Conn peer(listener.Accept(5000));
    auto data = Pattern(5000, 9);
    EXPECT_EQ(client.Send(data.data(), 3000, false), TCP_DATA_PRESENT);
    EXPECT_EQ(client.SendBuffered(data.data() + 3000, 2000), TCP_DATA_PRESENT);
    EXPECT_EQ(peer.ReadExactly(5000, 5000), data);
    EXPECT_EQ(client.GetTotalBytesSent(), 5000u);
    client.Close();
    EXPECT_NE(client.Send(data.data(), 100, true), TCP_DATA_PRESENT);  // no socket any more
    EXPECT_EQ(client.GetTotalBytesSent(), 5100u);
}

TEST_F(TcpSendTest, WholePacketsLeaveAtOnceAndTheTailWaitsForTheSendAllRequest) {
    Listener listener(AF_INET);
    RecordingClient client;
    ASSERT_EQ(client.Connect(Params(listener, 65536, 4096)), TCP_OK);
    Conn peer(listener.Accept(5000));
    ASSERT_TRUE(peer.Valid());
    auto data = Pattern(10000 + 50, 11);
    // 10000 bytes: two whole packets go out, 1808 bytes stay behind.
    EXPECT_TRUE(Accepted(client.SendBuffered(data.data(), 10000)));
    auto got = peer.ReadExactly(8192, 5000);
    ASSERT_EQ(got.size(), 8192u);
    EXPECT_TRUE(peer.ReadUntilQuiet(300).empty());
    EXPECT_EQ(client.GetSendBufferFillness(), 1808);
    // A buffered append of less than a packet adds to the tail; still nothing leaves.
    EXPECT_EQ(client.SendBuffered(data.data() + 10000, 20), TCP_DATA_PRESENT);
    EXPECT_TRUE(peer.ReadUntilQuiet(200).empty());
    // Send asks for everything, tail included.
    EXPECT_EQ(client.Send(data.data() + 10020, 30, true), TCP_DATA_PRESENT);
    EXPECT_EQ(client.GetSendBufferFillness(), 0);
    auto rest = peer.ReadExactly(data.size() - 8192, 5000);
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_EQ(got, data);
    EXPECT_EQ(client.GetTotalBytesSent(), data.size());
}

namespace {

// Socket calls that pass through to the system and note on which thread each kind of send ran;
// the no-wait send can be told to take at most `availableCap` bytes (a nearly full socket).
struct SendWatch {
    static inline std::atomic<int> availableCap{1 << 30};
    static inline std::mutex mutex;  // guards the two lists: senders write, the test reads
    static inline std::vector<std::thread::id> blockingThreads, availableThreads;
    static ssize_t Blocking(int fd, const void* data, size_t length) {
        {
            std::lock_guard<std::mutex> g(mutex);
            blockingThreads.push_back(std::this_thread::get_id());
        }
        return ::send(fd, data, length, MSG_NOSIGNAL);
    }
    static ssize_t Available(int fd, const void* data, size_t length) {
        {
            std::lock_guard<std::mutex> g(mutex);
            availableThreads.push_back(std::this_thread::get_id());
        }
        const size_t n = std::min<size_t>(length, static_cast<size_t>(availableCap.load()));
        return ::send(fd, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    static ssize_t Recv(int fd, void* buffer, size_t capacity) { return ::recv(fd, buffer, capacity, 0); }
    static void Reset(int cap) {
        std::lock_guard<std::mutex> g(mutex);
        availableCap = cap;
        blockingThreads.clear();
        availableThreads.clear();
    }
};
constexpr net::SocketCalls kWatchedCalls{SendWatch::Blocking, SendWatch::Recv, SendWatch::Available};

}  // namespace

// Whole packets the socket can take at once leave on the producer's own thread, without waking
// the send thread; what the socket does not take then is the send thread's, in order.
TEST_F(TcpSendTest, WholePacketsTheSocketTakesAtOnceLeaveOnTheProducersThread) {
    Listener listener(AF_INET);
    RecordingClient client;
    ASSERT_EQ(client.Connect(Params(listener, 65536, 4096)), TCP_OK);
    Conn peer(listener.Accept(5000));
    ASSERT_TRUE(peer.Valid());
    client.SetSocketCalls(&kWatchedCalls);
    auto data = Pattern(30000, 31);

    SendWatch::Reset(1 << 30);
    EXPECT_TRUE(Accepted(client.SendBuffered(data.data(), 10000)));
    EXPECT_EQ(client.GetSendBufferFillness(), 1808);  // at once: no waiting for a thread
    EXPECT_EQ(peer.ReadExactly(8192, 5000), std::vector<uint8_t>(data.begin(), data.begin() + 8192));
    {
        std::lock_guard<std::mutex> g(SendWatch::mutex);
        EXPECT_TRUE(SendWatch::blockingThreads.empty());
        ASSERT_EQ(SendWatch::availableThreads.size(), 1u);
        EXPECT_EQ(SendWatch::availableThreads[0], std::this_thread::get_id());
    }

    // The socket takes only 1000 of the 8192 bytes of whole packets now: the send thread goes
    // on from there with ordinary sends (whole packets of what is left: 8192 of 10808).
    SendWatch::Reset(1000);
    EXPECT_TRUE(Accepted(client.SendBuffered(data.data() + 10000, 10000)));
    constexpr size_t kSecond = 1000 + 8192;
    auto got = peer.ReadExactly(kSecond, 5000);
    EXPECT_EQ(got, std::vector<uint8_t>(data.begin() + 8192, data.begin() + 8192 + kSecond));
    EXPECT_TRUE(WaitUntil([&] { return client.GetSendBufferFillness() == 20000 - 8192 - static_cast<int>(kSecond); }, 5000));
    {
        std::lock_guard<std::mutex> g(SendWatch::mutex);
        ASSERT_FALSE(SendWatch::blockingThreads.empty());
        for (auto id : SendWatch::blockingThreads) EXPECT_NE(id, std::this_thread::get_id());
    }
    EXPECT_EQ(client.Send(data.data() + 20000, 10000, true), TCP_DATA_PRESENT);
    auto rest = peer.ReadExactly(30000 - 8192 - kSecond, 5000);
    EXPECT_EQ(rest, std::vector<uint8_t>(data.begin() + 8192 + kSecond, data.end()));
    EXPECT_EQ(client.GetTotalBytesSent(), 30000u);
    client.SetSocketCalls(nullptr);
}

TEST_F(TcpSendTest, DataLargerThanTheBufferGoesOutWholeAndInOrder) {
    for (int family : {AF_INET, AF_INET6}) {
        Listener listener(family);
        RecordingClient client;
        ASSERT_EQ(client.Connect(Params(listener, 65536, 4096)), TCP_OK);
        Conn peer(listener.Accept(5000));
        Drainer drain(peer.Fd(), 5);
        auto data = Pattern(3 * 1024 * 1024 + 77, 12);
        EXPECT_EQ(client.Send(data.data(), static_cast<int>(data.size()), true), TCP_DATA_PRESENT);
        EXPECT_EQ(client.GetSendBufferFillness(), 0);
        ASSERT_TRUE(drain.WaitFor(data.size(), 20000));
        drain.Stop();
        EXPECT_EQ(drain.Data(), data) << listener.Host();
        EXPECT_EQ(client.GetTotalBytesSent(), data.size());
    }
}

TEST_F(TcpSendTest, FlushDuringAPassDropsTheRestAndLaterDataFollowsTheSentPrefix) {
    settings.SetTcp("TcpBufSize", 8192);
    settings.SetTcp("SendTimeout", 20000);
    Listener listener(AF_INET, 4096);
    RecordingClient client;
    constexpr int kPacket = 4096;
    ASSERT_EQ(client.Connect(Params(listener, 1 << 20, kPacket)), TCP_OK);
    Conn peer(listener.Accept(5000));
    ASSERT_TRUE(peer.Valid());
    auto data = Pattern((1 << 20) - kPacket, 13);
    ASSERT_TRUE(Accepted(client.SendBuffered(data.data(), static_cast<int>(data.size()))));
    // The pass is under way and stuck on a peer that does not read.
    ASSERT_TRUE(WaitUntil([&] { return client.GetTotalBytesSent() > 0; }, 5000));

    platform::CEvent flushing(true, false);
    auto flush = std::async(std::launch::async, [&] {
        flushing.Set();
        client.FlushSendBuffer();
    });
    ASSERT_TRUE(flushing.Wait(5000));
    // The flush cannot finish while the pass is stuck.
    EXPECT_EQ(flush.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    Drainer drain(peer.Fd(), 6);
    ASSERT_EQ(flush.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(client.GetSendBufferFillness(), 0);

    const uint8_t marker[] = {'E', 'N', 'D', '!'};
    EXPECT_EQ(client.Send(marker, 4, true), TCP_DATA_PRESENT);
    ASSERT_TRUE(WaitUntil(
        [&] {
            auto d = drain.Data();
            return d.size() >= 4 && std::equal(marker, marker + 4, d.end() - 4);
        },
        10000));
    drain.Stop();
    auto got = drain.Data();
    const size_t prefix = got.size() - 4;
    EXPECT_LT(prefix, data.size()) << "the pass did not stop at the flush";
    EXPECT_EQ(prefix % kPacket, 0u);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + static_cast<long>(prefix), data.begin()));
}

TEST_F(TcpSendTest, ANonBlockingSendReturnsAfterAPassABlockingOneOnlyWhenTheBufferIsEmpty) {
    settings.SetTcp("TcpBufSize", 8192);
    settings.SetTcp("SendTimeout", 20000);
    settings.SetTcp("ReceiveTimeout", 20000);
    Listener listener(AF_INET, 4096);
    RecordingClient client;
    ASSERT_EQ(client.Connect(Params(listener, 2 << 20, 4096)), TCP_OK);
    Conn peer(listener.Accept(5000));
    ASSERT_TRUE(peer.Valid());
    auto a = Pattern(256 * 1024, 14);
    auto b = Pattern(512 * 1024, 15);
    auto c = Pattern(100 * 1000, 16);
    ASSERT_TRUE(Accepted(client.SendBuffered(a.data(), static_cast<int>(a.size()))));
    ASSERT_TRUE(WaitUntil([&] { return client.GetTotalBytesSent() > 0; }, 5000));

    // B is appended while the pass over A runs; a non-blocking Send returns once that pass is
    // done, with B still waiting (the peer reads A only).
    auto nonBlocking = std::async(std::launch::async, [&] { return client.Send(b.data(), static_cast<int>(b.size()), false); });
    ASSERT_TRUE(WaitUntil([&] { return client.GetSendBufferFillness() > static_cast<int>(a.size()); }, 5000));
    EXPECT_EQ(peer.ReadExactly(a.size(), 20000), a);
    ASSERT_EQ(nonBlocking.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(nonBlocking.get(), TCP_DATA_PRESENT);
    EXPECT_GT(client.GetSendBufferFillness(), 0);

    // A blocking Send does not come back while anything waits.
    auto blocking = std::async(std::launch::async, [&] { return client.Send(c.data(), static_cast<int>(c.size()), true); });
    EXPECT_EQ(blocking.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    Drainer drain(peer.Fd(), 7);
    ASSERT_EQ(blocking.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(blocking.get(), TCP_DATA_PRESENT);
    EXPECT_EQ(client.GetSendBufferFillness(), 0);
    ASSERT_TRUE(drain.WaitFor(b.size() + c.size(), 20000));
    drain.Stop();
    std::vector<uint8_t> expected = b;
    expected.insert(expected.end(), c.begin(), c.end());
    EXPECT_EQ(drain.Data(), expected);
}

TEST_F(TcpSendTest, APeerThatStopsReadingTimesOutAndTheNextReceiveTimeOutCloses) {
    settings.SetTcp("TcpBufSize", 8192);
    settings.SetTcp("SendTimeout", 300);
    settings.SetTcp("ReceiveTimeout", 300);
    Listener listener(AF_INET, 4096);
    RecordingClient client;
    ASSERT_EQ(client.Connect(Params(listener, 256 * 1024, 4096)), TCP_OK);
    Conn peer(listener.Accept(5000));
    ASSERT_TRUE(peer.Valid());
    auto chunk = Pattern(64 * 1024, 17);
    int rc = TCP_OK;
    for (int i = 0; i < 400 && rc != TCP_TIMEOUT && rc != TCP_SHUTDOWN; ++i)
        rc = client.SendBuffered(chunk.data(), static_cast<int>(chunk.size()));
    EXPECT_TRUE(rc == TCP_TIMEOUT || rc == TCP_SHUTDOWN) << rc;
    EXPECT_TRUE(client.GetSendTimeoutFlag());
    ASSERT_TRUE(client.closed.Wait(5000));
    EXPECT_EQ(client.closeCalls.load(), 1);
    EXPECT_TRUE(WaitUntil([&] { return !client.IsConnected(); }, 5000));
    EXPECT_TRUE(client.GetSendTimeoutFlag());  // only the next Connect clears it
    EXPECT_TRUE(peer.WaitEof(10000));
    // Sends on the closed connection come back at once.
    EXPECT_EQ(client.SendBuffered(chunk.data(), 100), TCP_TIMEOUT);
    client.Send(chunk.data(), 100, true);

    ASSERT_EQ(client.Connect(Params(listener, 256 * 1024, 4096)), TCP_OK);
    EXPECT_FALSE(client.GetSendTimeoutFlag());
}

TEST_F(TcpSendTest, AnUnbufferedSendToAStalledPeerTimesOut) {
    settings.SetTcp("TcpBufSize", 8192);
    settings.SetTcp("SendTimeout", 200);
    Listener listener(AF_INET, 4096);
    RecordingClient client;
    ASSERT_EQ(client.Connect(Params(listener, 0, 0)), TCP_OK);
    Conn peer(listener.Accept(5000));
    auto data = Pattern(8 << 20, 18);
    EXPECT_EQ(client.Send(data.data(), static_cast<int>(data.size()), true), TCP_TIMEOUT);
    EXPECT_FALSE(client.GetSendTimeoutFlag());  // only the send thread raises the flag
    EXPECT_TRUE(client.IsConnected());
}

TEST_F(TcpSendTest, ACloseWakesAProducerWaitingForRoom) {
    settings.SetTcp("TcpBufSize", 8192);
    settings.SetTcp("SendTimeout", 20000);
    Listener listener(AF_INET, 4096);
    RecordingClient client;
    ASSERT_EQ(client.Connect(Params(listener, 128 * 1024, 4096)), TCP_OK);
    Conn peer(listener.Accept(5000));
    auto chunk = Pattern(60 * 1024, 19);
    auto producer = std::async(std::launch::async, [&] {
        int rc = TCP_OK;
        for (int i = 0; i < 1000 && rc != TCP_SHUTDOWN && rc != TCP_TIMEOUT && client.IsConnected(); ++i)
            rc = client.SendBuffered(chunk.data(), static_cast<int>(chunk.size()));
        return rc;
    });
    EXPECT_EQ(producer.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    // Close waits for the stuck send thread; the peer lets it finish by reading.
    Drainer drain(peer.Fd(), 8);
    client.Close();
    ASSERT_EQ(producer.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    // Waiting for room when the buffer went: TCP_SHUTDOWN; between two appends: the last result.
    const int rc = producer.get();
    EXPECT_TRUE(rc == TCP_SHUTDOWN || rc == TCP_DATA_PRESENT) << rc;
    // With the buffer gone a send does nothing and reports the last result.
    const uint64_t before = client.GetTotalBytesSent();
    EXPECT_EQ(client.Send(chunk.data(), 10, false), client.GetLastSendResult());
    EXPECT_EQ(client.SendBuffered(chunk.data(), 10), client.GetLastSendResult());
    EXPECT_EQ(client.GetTotalBytesSent(), before);
}

TEST_F(TcpSendTest, EveryByteArrivesOnceAndInOrderUnderRandomWriteSizes) {
    struct Case {
        int family;
        int buffer;
        int packet;
    };
    for (Case k : {Case{AF_INET, 256 * 1024, 4096}, Case{AF_INET6, 100000, 1400}, Case{AF_INET, 0, 0}}) {
        Listener listener(k.family);
        RecordingClient client;
        ASSERT_EQ(client.Connect(Params(listener, k.buffer, k.packet)), TCP_OK);
        Conn peer(listener.Accept(5000));
        Drainer drain(peer.Fd(), static_cast<uint32_t>(k.packet + 1));
        auto data = Pattern(12 << 20, static_cast<uint32_t>(k.buffer));
        std::mt19937 rng(static_cast<uint32_t>(k.packet));
        std::uniform_int_distribution<int> size(1, 150000);
        size_t pos = 0;
        while (pos < data.size()) {
            int n = std::min<int>(size(rng), static_cast<int>(data.size() - pos));
            int rc;
            switch (rng() % 3) {
                case 0: rc = client.SendBuffered(data.data() + pos, n); break;
                case 1: rc = client.Send(data.data() + pos, n, false); break;
                default: rc = client.Send(data.data() + pos, n, true); break;
            }
            ASSERT_NE(rc, TCP_SHUTDOWN);
            ASSERT_NE(rc, TCP_TIMEOUT);
            pos += static_cast<size_t>(n);
        }
        client.Send(nullptr, 0, true);  // empties what is left, tail included
        ASSERT_TRUE(drain.WaitFor(data.size(), 30000)) << drain.Count();
        drain.Stop();
        EXPECT_EQ(drain.Data(), data);
        EXPECT_EQ(client.GetTotalBytesSent(), data.size());
        EXPECT_EQ(client.GetSendBufferFillness(), 0);
    }
}
