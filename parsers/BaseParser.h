#pragma once
// Abstract base of the elementary-stream parsers.
//
// A parser owns a linear input buffer that arbitrary chunks of one elementary stream are
// appended to, a map from input stream positions to the times that came with the chunks, and a
// queue of finished output records. A subclass implements ParseData: it looks at the newly
// appended bytes, cuts out complete units with MakeOutput/QueueOutput and drops the bytes it has
// used with Consume. The whole class is sans-I/O: bytes in through PutChunk, records out through
// GetChunk.
//
// Virtual slot order matters to the sink and to the subclasses (they add their own slots after
// ParseData); new virtual operations are only ever appended.
#include <cstdint>
#include <deque>
#include <memory>

#include "foundation/Data.h"
#include "foundation/Format.h"
#include "foundation/Types.h"
#include "platform/ReentrantLock.h"

namespace BS {

class CBaseParser {
public:
    // One time stamp that arrived with an input chunk.
    struct TimeMapEntry {
        int64_t time;      // ms, the chunk's pts
        int64_t position;  // stream position of the chunk's first byte (received when it arrived)
        int32_t key;       // 1 when the chunk was a sync point (FRAME_I)
    };

    CBaseParser();
    virtual ~CBaseParser();
    CBaseParser(const CBaseParser&) = delete;
    CBaseParser& operator=(const CBaseParser&) = delete;

    // 1. Copies the track format block to `out`; a null target is accepted. Returns true.
    virtual bool GetFormat(format_t* out);
    // 2. Copies `in` over the track format block. Returns true.
    virtual bool SetFormat(const format_t* in);
    // 3. Nominal bit rate in bits per second; 0 means unknown (bts then stays NO_TIME).
    virtual void SetBitrate(int32_t bitsPerSecond);
    // 4. Stores the format's fourth value; nothing in the parsers depends on it.
    virtual void SetSecondValue(int32_t value);
    // 5. Frees, then allocates the input buffer and resets. false when the memory cannot be had
    //    (the parser is then left without a buffer and PutChunk does nothing).
    virtual bool Init(int32_t bufferSize, bool flag);
    // 6. Resets and frees the input buffer.
    virtual void Free();
    // 7. Appends the record's payload and parses it. The record stays the caller's.
    virtual void PutChunk(const data_t* record);
    // 8. Pops the oldest finished record into *out (ownership passes to the caller). false when
    //    the queue is empty or out is null. The base ignores `flush`.
    virtual bool GetChunk(data_t** out, int32_t flush);
    // 9. Drops all input and queued output and zeroes the positions and times. Bit 0 of `flags`
    //    also re-initialises the track format block. Subclasses test further bits.
    virtual void Reset(uint32_t flags);
    // 10. Number of finished records waiting in the output queue.
    virtual int32_t GetQueuedCount();
    // 11. Removes n bytes from the front of the input buffer; n is clamped to [0, fill].
    virtual void Consume(int32_t n);
    // 12. Called after each append: `buffer` is the input buffer, the new bytes are
    //     [offset, offset + length). Implementations parse whole units out of the buffer.
    virtual void ParseData(uint8_t* buffer, int32_t offset, int32_t length) = 0;

    // Flag bits of Reset.
    static constexpr uint32_t RESET_FORMAT = 1u;     // also re-initialise the track format block
    static constexpr uint32_t RESET_RESTART = 2u;    // a restart: subclasses keep what was announced

protected:
    // --- helpers for subclasses; callers are inside ParseData (the locks are held) ---

    // True when some time-map entry lies at or before the byte at buffer offset `offset`.
    bool HasTimeAt(int32_t offset);
    // The time that applies to the byte at buffer offset `offset`: the time of the last chunk
    // that started at or before it, else current_time. Entries passed are consumed. frameType
    // becomes FRAME_I when one of the consumed entries was a key entry, else FRAME_UNKNOWN.
    int64_t TakeTimeAt(int32_t offset, int32_t& frameType);
    // A record of headroom + length bytes; `length` bytes from buffer offset `skip` go to payload
    // offset `headroom` (the headroom bytes are zero). dts = pts = current_time + time_offset,
    // bts from the stream position. nullptr when length < 1 or the bytes are not in the buffer.
    data_t* MakeOutput(int32_t skip, int32_t length, int32_t headroom);
    // consumed * 8000 / bitrate in ms, or NO_TIME when the bit rate is unknown.
    int64_t BitTimeOfPosition() const;
    // Appends a finished record to the output queue; the queue owns it from now on. Null ignored.
    void QueueOutput(data_t* record);

    // The valid input bytes start at Buffer() and run for BufferFill() bytes. Consume moves the
    // remaining bytes to the front, so this pointer (and ParseData's `buffer`) stays the front.
    uint8_t* Buffer() { return m_pBuffer.get(); }
    int32_t BufferFill() const { return m_iBufferFillness; }
    int32_t BufferSize() const { return m_iBufferSize; }
    // Stream position of the first buffered byte, and bytes appended, since the last reset.
    int64_t ConsumedBytes() const { return m_iConsumed; }
    int64_t ReceivedBytes() const { return m_iReceived; }
    bool InitFlag() const { return m_bInitFlag; }
    int32_t Bitrate() const { return m_iBitrate; }
    int32_t SecondValue() const { return m_iSecondValue; }
    // current_time + time_offset, or NO_TIME when current_time is not set (no overflow).
    int64_t OutputTime() const;

    // The subclass's running time in ms (the time of the next unit, without offset), and the
    // correction added to it when records are created. Written by the subclass inside ParseData.
    int64_t m_iCurrentTime = 0;
    int64_t m_iTimeOffset = 0;
    // Per-track format description, copied whole in and out. Subclass constructors set kind and
    // codec; the subclasses update it from the stream.
    format_t m_Format;

    // Guards the input buffer, fill, time map and output queue. Written and read on whichever
    // thread calls into the parser (the sink's streaming threads, or the thread draining the
    // graph). Lock order: after m_StateLock; innermost of the parser's locks.
    platform::CReentrantLock m_OutputLock;
    // Guards resets (positions, times, subclass state). Same threads as above. Lock order:
    // taken before m_OutputLock; the sink's lock, when held, comes before both.
    platform::CReentrantLock m_StateLock;

private:
    std::unique_ptr<uint8_t[]> m_pBuffer;
    int32_t m_iBufferSize = 0;
    int32_t m_iBufferFillness = 0;
    int64_t m_iConsumed = 0;
    int64_t m_iReceived = 0;
    std::deque<TimeMapEntry> m_TimeMap;
    bool m_bInitFlag = false;
    std::deque<DataPtr> m_OutputBuffer;
    int32_t m_iBitrate = 0;
    int32_t m_iSecondValue = 0;

    void ResetFormat();
};

}  // namespace BS
