#pragma once
// CTCPClient: the socket of CTCPBase turned into a connection with a receive thread that hands
// every block read to OnReceive, and an optional send thread that drains a send buffer in
// whole packets so the producer never waits on the network.
//
// Virtual slots (the protocol client derives from this class and relies on the order):
//   0 destructor, 1 Send(data, length) [CTCPBase], 2 Connect, 3 Close, 4 Terminate,
//   5 OnReceive, 6 OnCloseConnection, 7 Send(data, length, block), 8 SendBuffered.
// A derived class that overrides OnReceive/OnCloseConnection must call Close() and then
// Terminate() in its own destructor, so the receive thread is stopped before its members go.
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "foundation/WorkerThread.h"
#include "net/TCPBase.h"
#include "net/TCPClientParams.h"
#include "net/TCPSnifferStats.h"
#include "platform/Event.h"

class CTCPClient : public CTCPBase {
public:
    static constexpr int kReceiveBufferSize = 65536;
    static constexpr int kDefaultTcpBufSize = 0x20000;
    static constexpr int kDefaultSendTimeoutMs = 2000;
    static constexpr int kDefaultReceiveTimeoutMs = 1000;

    CTCPClient();
    ~CTCPClient() override;

    using CTCPBase::Send;
    virtual int Connect(TCPClientParams params);                                    // slot 2
    virtual bool Close();                                                            // slot 3
    virtual bool Terminate();                                                        // slot 4
    virtual void OnReceive(const uint8_t* data, int length, std::atomic<bool>* reconnectRequest);  // slot 5
    virtual void OnCloseConnection();                                                // slot 6
    virtual int Send(const uint8_t* data, int length, bool block);                  // slot 7
    // One call appends one whole message of the protocol layer (FlushSendBuffer keeps a
    // message already partly sent whole).
    virtual int SendBuffered(const uint8_t* data, int length);                      // slot 8

    // Discards the messages waiting in the send buffer that have not started; one already partly
    // on the wire (or still being appended) is kept whole. The socket is untouched.
    void FlushSendBuffer();

    // For the protocol layer's "wait until the transport has closed": false at once while the
    // socket is open; otherwise waits for the receive thread's current pass and answers whether
    // the socket is still closed.
    bool WaitUntilClosed();

    void SetReconnectRequest(bool on) { m_bReconnectRequest.store(on); }
    // Called on the receive thread after it has replaced, on request, a connection the peer
    // closed; set once by the owner before its first connect.
    void SetReconnectedHandler(std::function<void()> handler) { m_OnReconnected = std::move(handler); }
    bool GetReconnectRequest() const { return m_bReconnectRequest.load(); }

    // Statistics.
    int GetSendBufferFillness() const { return send_buffer_fillness.load(); }
    uint64_t GetTotalBytesSent() const { return m_uTotalBytesSent.load(); }
    bool GetSendTimeoutFlag() const { return m_iSendTimeoutFlag.load() != 0; }
    double GetEstimatedOutputBandwidth() const { return estimated_output_bandwidth.load(); }
    int GetLastSendResult() const { return m_iLastSendResult.load(); }
    bool IsSendBuffered() const { return bSendBuffered.load() != 0; }
    // The parameters of the last successful connect, with the effective socket settings.
    TCPClientParams GetStoredParams();

    // Traffic sniffer (raw-socket statistics). Without one every figure reads 0.
    // Start: 0 when running (or already there), else the sniffer's negative error code.
    int StartSniffer();
    void AddSnifferPortPair(int localPort, int remotePort);
    void DestroySniffer();
    TCPSnifferStats GetSnifferStats(int localPort, int remotePort);
    // The port the socket is really connected to (a fallback port, a proxy's), -1 when none.
    int GetPeerPort() const;
    // Registers the connection's real pair (own port, peer port) with the sniffer, if both are known.
    void WatchConnection();
    // Where the sniffer comes from; the default captures on the local IPv4 interfaces.
    using SnifferFactory = std::function<std::unique_ptr<ITCPSniffer>()>;
    static void SetSnifferFactory(SnifferFactory factory);

    // A producer that appends several messages in a row (the sink's multiplex thread releasing
    // the units due at one moment) holds its own appends back from the socket until it is done,
    // so they leave in one write. Appends of other threads are not held. Release writes (or
    // hands to the send thread) what is due; a hold never outlives the holder's next release.
    void HoldSends();
    void ReleaseSends();

private:
    void ReceiveThreadProc(CWorkerThread* self);
    void SendThreadProc(CWorkerThread* self);
    bool IsDataPending();
    void BufferedSend();
    // Removes the first `sent` waiting bytes (under the send-buffer lock).
    void RemoveSent(int sent);
    // The producer's own try at the waiting whole packets, never waiting: true when nothing is
    // left for the send thread (all whole packets taken, or nothing to send).
    bool SendWaitingNow();
    void ReleaseSendBuffers();
    void WakeSendThread() { ev_send_new_data.Set(); }
    int SendDirect(const uint8_t* data, int length);
    // The producer's append; `endsMessage` is false for the leading pieces of a message too large
    // for the buffer.
    int AppendMessage(const uint8_t* data, int length, bool endsMessage);
    // Asks the send thread for everything waiting and waits until the buffer is empty (`block`)
    // or the next piece has gone out.
    void WaitUntilSent(bool block);
    void ForgetMessageMarks();  // under m_SendBufferLock

    std::atomic<int> bSendBuffered{1};
    std::atomic<int> m_iSleepDelay{10};
    const int m_iReceiveBufferSize = kReceiveBufferSize;
    std::vector<uint8_t> m_ReceiveBuffer;  // used by the receive thread only; freed by Terminate

    CWorkerThread m_ReceiveThread;
    CWorkerThread m_SendThread;

    platform::CEvent m_evReceiveStop{true, false};
    platform::CEvent ev_send_new_data{false, false};    // also wakes the idle send thread
    platform::CEvent ev_send_data_sent{false, false};
    platform::CEvent ev_send_thread_exit{true, false};
    platform::CEvent ev_send_send_all_event{true, false};
    platform::CEvent ev_flush_send_buffer{true, false};

    // The buffer bytes: [0, fillness) are waiting. The producer appends behind the fillness under
    // m_SendBufferLock; the send thread reads the waiting bytes without it (they do not move
    // until it compacts them itself, under the lock).
    std::unique_ptr<uint8_t[]> send_buffer;
    std::unique_ptr<uint8_t[]> send_buffer_aux;
    std::atomic<int> send_buffer_size{0};
    std::atomic<int> send_buffer_fillness{0};
    std::atomic<int> send_packet_size{0};
    // Message boundaries of the waiting bytes, counted in bytes ever appended (guarded by
    // m_SendBufferLock): m_uRemoved bytes have left, m_uFrontStart is where the first message not
    // wholly sent begins, m_MessageEnds the ends of the complete messages still waiting. Bytes
    // behind the last end belong to a message still being appended.
    std::deque<uint64_t> m_MessageEnds;
    uint64_t m_uAppended = 0;
    uint64_t m_uRemoved = 0;
    uint64_t m_uFrontStart = 0;

    // The thread whose appends are held back (HoldSends); no thread when none is.
    std::atomic<std::thread::id> m_HoldingThread{};

    std::atomic<uint64_t> m_uTotalBytesSent{0};
    std::atomic<double> estimated_output_bandwidth{0.0};
    std::atomic<int> m_iLastSendResult{0};

    // Lock order of the transport, outermost first (a protocol layer deriving from this class puts
    // its own locks between m_ReceiveLoopLock and m_BufferedSendLock):
    //   m_ReceiveLoopLock -> m_BufferedSendLock -> m_SendLock | m_RecvLock -> m_SocketLock
    //   -> m_SendBufferLock -> m_ConnectedLock.
    // Nothing waits for a lock earlier in this list while holding a later one. Closing needs only
    // m_SocketLock and m_SendBufferLock (one after the other), so any thread may close, also one
    // that holds the send lock or runs a receive pass.
    //
    // m_ReceiveLoopLock: one pass of the receive thread (taken by it, also around the Close or
    // reconnect that pass runs), the whole of Connect after the old connection is closed (caller
    // thread), and WaitUntilClosed (protocol layer).
    platform::CReentrantLock m_ReceiveLoopLock;
    // m_BufferedSendLock: one BufferedSend pass and the pending-data test (send thread),
    // FlushSendBuffer (any thread), and a producer's no-wait pass (SendWaitingNow, which only
    // tries the lock and holds the send and send-buffer locks for its one non-blocking send).
    platform::CReentrantLock m_BufferedSendLock;
    // m_SendBufferLock: send_buffer/send_buffer_aux contents, their allocation and release: append
    // (producer thread), compaction (send thread), flush (any thread), Connect and Close (the
    // connecting/closing thread, the receive thread).
    platform::CReentrantLock m_SendBufferLock;

    std::unique_ptr<ITCPSniffer> m_pSniffer;  // guarded by m_SocketLock
    std::atomic<int> m_iSendTimeoutFlag{0};
    std::atomic<bool> m_bReconnectRequest{false};
    std::function<void()> m_OnReconnected;  // set before the first connect, then only read
    TCPClientParams m_StoredParams;  // guarded by m_SocketLock
    std::atomic<int> m_iStoredSendTimeout{0};
    std::atomic<int> m_iStoredReceiveTimeout{0};
    bool m_bTerminated = false;  // guarded by m_SocketLock
};
