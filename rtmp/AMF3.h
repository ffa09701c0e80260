#pragma once
// The chunk codec: turns outgoing messages into RTMP chunks and reassembles the chunks a server
// sends (after cutting out the three handshake blocks). It does no I/O: bytes go in through
// PutData and come out of Prepare; complete messages come out of GetMessage.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "foundation/Data.h"
#include "platform/ReentrantLock.h"

class AMF3 {
public:
    static constexpr int32_t RECEIVE_CAPACITY = 0x100000;
    static constexpr int32_t CHUNK_STREAMS = 64;
    static constexpr int32_t DEFAULT_CHUNK_SIZE = 128;
    static constexpr int32_t HANDSHAKE_BLOCK_BYTES = 1536;
    static constexpr int32_t MAX_MESSAGE_BYTES = 0xFFFFFF;  // the header's 24-bit length
    static constexpr int32_t VIDEO_PREFIX_BYTES = 5;
    static constexpr uint32_t NO_STREAM = 0x7FFFFFFF;
    static constexpr int32_t UNKNOWN = 0x7FFFFFFF;

    // GetMessage modes.
    static constexpr int MODE_HANDSHAKE = 1;
    static constexpr int MODE_CHUNKS = 2;
    static constexpr int MODE_CHUNKS_ALT = 3;

    // Handshake states: waiting for S0, S1, S2; done.
    static constexpr int32_t HS_WAIT_S0 = 0;
    static constexpr int32_t HS_WAIT_S1 = 1;
    static constexpr int32_t HS_WAIT_S2 = 2;
    static constexpr int32_t HS_DONE = 3;

    // What the receive side last saw on a chunk stream, handed out with each message.
    struct Header {
        int32_t headerSize = UNKNOWN;  // 12, 8, 4 or 1
        int32_t chunkStreamId = 0;
        int64_t timestamp = NO_TIME;   // running timestamp of the chunk stream
        int32_t length = UNKNOWN;
        int32_t type = 0;
        uint32_t streamId = NO_STREAM; // as read: the little-endian id arrives swapped
        int32_t lastDelta = 0;
    };

    // Wall-clock time in UTC seconds since 1970; replaceable so tests can place the handshake.
    using WallClock = std::function<int64_t()>;

    AMF3();
    ~AMF3();
    AMF3(const AMF3&) = delete;
    AMF3& operator=(const AMF3&) = delete;

    // Allocates the receive buffer and resets; false without memory.
    bool Init();
    // Back to the state of a fresh connection.
    void Reset();
    void SetBaseTimeMode(bool enabled, int32_t referenceSeconds);
    void SetAbsoluteTime(int64_t ms);
    void SetWallClock(WallClock clock);

    void PutData(std::span<const uint8_t> bytes);
    // Mode 1: the next handshake block (S0, S1, S2). Modes 2 and 3: the next complete message,
    // with the chunk stream's header copied to `header` (may be null). Null when nothing is ready.
    BS::DataPtr GetMessage(int mode, Header* header);

    // The chunked bytes of one message. `streamIdSwapped` is written most significant byte
    // first. A record without a dts takes the chunk stream's last one (and `msg.dts` is
    // changed). Null when the message cannot be written (logged) or without memory.
    BS::DataPtr Prepare(BS::data_t& msg, int32_t chunkStreamId, int32_t type, uint32_t streamIdSwapped,
                        bool forceFullHeader);

    // Values below 1 are refused (logged) and the size stays.
    void SetReceiveChunkSize(int32_t size);
    void SetSendChunkSize(int32_t size);
    int32_t GetReceiveChunkSize() const;
    int32_t GetSendChunkSize() const;
    int32_t GetHandshakeState() const;
    bool IsRtmpe() const;
    int64_t GetBaseTime() const;
    bool IsBaseTimeFixed() const;
    // Time and zero fields of the last S1 / S2 block.
    uint32_t GetHandshakeTime() const;
    uint32_t GetHandshakeZero() const;

private:
    struct SendState {
        uint32_t streamId = NO_STREAM;
        int64_t lastDts = NO_TIME;
    };
    struct ReceiveState {
        Header header;
        int32_t remaining = 0;     // bytes of the current message still to come
        bool extended = false;     // the message's header carried a 4-byte extended field
        BS::DataPtr message;       // under assembly while remaining > 0 (null if it could not be had)
    };

    BS::DataPtr GetHandshakeBlock();
    BS::DataPtr GetChunkMessage(Header* header);
    BS::DataPtr TakeBlock(int32_t bytes);
    void Consume(size_t bytes);
    // Makes room for `needed` bytes, keeping the `filled` bytes already assembled.
    bool GrowMessage(ReceiveState& s, int32_t filled, int32_t needed);
    void ResetLocked();
    int64_t Now() const;

    // Guards every member below; each public operation holds it for its whole run. Taken by the
    // receive thread (PutData, GetMessage), the connecting thread and the multiplex thread
    // (Prepare). Innermost: the client's send and receive locks are taken before it, and nothing
    // is locked while it is held.
    mutable platform::CReentrantLock m_lock;

    std::unique_ptr<uint8_t[]> m_rx;  // RECEIVE_CAPACITY bytes; held bytes start at m_rxStart
    size_t m_rxStart = 0;
    size_t m_rxHeld = 0;
    int32_t m_rxChunkSize = DEFAULT_CHUNK_SIZE;
    int32_t m_txChunkSize = DEFAULT_CHUNK_SIZE;
    uint32_t m_hsTime = 0;
    uint32_t m_hsZero = 0;
    int32_t m_baseReference = 0;  // seconds
    bool m_baseMode = false;
    int64_t m_baseTime = 0;       // ms added to every format-0 timestamp
    bool m_baseFixed = false;
    std::array<ReceiveState, CHUNK_STREAMS> m_rxStreams;
    std::array<SendState, CHUNK_STREAMS> m_txStreams;
    int64_t m_absoluteTime = NO_TIME;
    int32_t m_hsState = HS_WAIT_S0;
    bool m_rtmpe = false;
    WallClock m_wallClock;
};
