#include "parsers/BaseParser.h"

#include <cstring>
#include <new>

#include "foundation/Log.h"

namespace BS {

CBaseParser::CBaseParser() { ResetFormat(); }

CBaseParser::~CBaseParser() {
    // Not Free(): a virtual Reset must not be reached from the base destructor. The members'
    // own destructors release the buffer and the queued records.
}

bool CBaseParser::GetFormat(format_t* out) {
    if (out) *out = m_Format;
    return true;
}

bool CBaseParser::SetFormat(const format_t* in) {
    if (in) m_Format = *in;
    return true;
}

void CBaseParser::SetBitrate(int32_t bitsPerSecond) { m_iBitrate = bitsPerSecond; }

void CBaseParser::SetSecondValue(int32_t value) { m_iSecondValue = value; }

bool CBaseParser::Init(int32_t bufferSize, bool flag) {
    Free();
    platform::CAutoLock state(m_StateLock);
    platform::CAutoLock out(m_OutputLock);
    if (bufferSize < 1) {
        Log(LOG_ERROR, 0, "CBaseParser::Init: invalid buffer size %d", bufferSize);
        return false;
    }
    try {
        m_pBuffer = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(bufferSize));
    } catch (const std::bad_alloc&) {
        m_pBuffer.reset();
    }
    if (!m_pBuffer) {
        Log(LOG_ERROR | LOG_MEMORY, 0, "CBaseParser::Init: cannot allocate %d bytes", bufferSize);
        m_iBufferSize = 0;
        return false;
    }
    m_iBufferSize = bufferSize;
    m_bInitFlag = flag;
    Reset(0);
    return true;
}

void CBaseParser::Free() {
    Reset(0);
    platform::CAutoLock state(m_StateLock);
    platform::CAutoLock out(m_OutputLock);
    m_pBuffer.reset();
    m_iBufferSize = 0;
}

void CBaseParser::PutChunk(const data_t* record) {
    platform::CAutoLock state(m_StateLock);
    platform::CAutoLock out(m_OutputLock);
    if (!m_pBuffer || !record) return;
    const int32_t size = record->size_actual;
    if (size <= 0 || !record->data) return;

    if (size >= m_iBufferSize) {
        // A chunk that can never fit. What is buffered would be completed by whatever arrives
        // next, which is not its continuation, and a subclass may hold offsets into those bytes:
        // the parser starts again, as after an overflow, but records already finished stay.
        Log(LOG_ERROR, 0,
            "CBaseParser::PutChunk: Error chunk of %d bytes does not fit buffer_size %d: dropped "
            "with %d buffered bytes (pts %lld)",
            size, m_iBufferSize, m_iBufferFillness, static_cast<long long>(record->pts));
        std::deque<DataPtr> finished = std::move(m_OutputBuffer);
        Reset(0);
        m_OutputBuffer = std::move(finished);
        return;
    }

    if (m_iBufferFillness > m_iBufferSize - size) {
        Log(LOG_ERROR, 0, "CBaseParser::PutChunk: Error buffer overflow: fill %d + packet %d > buffer_size %d",
            m_iBufferFillness, size, m_iBufferSize);
        Reset(0);
        if (!m_pBuffer) return;
    }

    if (record->pts != NO_TIME) {
        m_TimeMap.push_back(TimeMapEntry{record->pts, m_iReceived, record->frame_type == FRAME_I ? 1 : 0});
    }
    std::memcpy(m_pBuffer.get() + m_iBufferFillness, record->data, static_cast<size_t>(size));
    m_iReceived += size;
    m_iBufferFillness += size;
    ParseData(m_pBuffer.get(), m_iBufferFillness - size, size);
}

bool CBaseParser::GetChunk(data_t** out, int32_t /*flush*/) {
    platform::CAutoLock lock(m_OutputLock);
    if (m_OutputBuffer.empty() || !out) return false;
    *out = m_OutputBuffer.front().release();
    m_OutputBuffer.pop_front();
    return true;
}

void CBaseParser::Reset(uint32_t flags) {
    platform::CAutoLock state(m_StateLock);
    m_iBufferFillness = 0;
    m_iConsumed = 0;
    m_iReceived = 0;
    m_iCurrentTime = 0;
    m_iTimeOffset = 0;
    if (flags & RESET_FORMAT) ResetFormat();
    platform::CAutoLock out(m_OutputLock);
    m_TimeMap.clear();
    m_OutputBuffer.clear();
}

int32_t CBaseParser::GetQueuedCount() {
    platform::CAutoLock lock(m_OutputLock);
    return static_cast<int32_t>(m_OutputBuffer.size());
}

void CBaseParser::Consume(int32_t n) {
    platform::CAutoLock lock(m_OutputLock);
    if (n <= 0) return;
    if (n > m_iBufferFillness) n = m_iBufferFillness;
    const int32_t rest = m_iBufferFillness - n;
    if (rest > 0) std::memmove(m_pBuffer.get(), m_pBuffer.get() + n, static_cast<size_t>(rest));
    m_iBufferFillness = rest;
    m_iConsumed += n;
}

bool CBaseParser::HasTimeAt(int32_t offset) {
    platform::CAutoLock lock(m_OutputLock);
    const int64_t p = m_iConsumed + offset;
    // Entries are appended in position order, so the front is the earliest.
    return !m_TimeMap.empty() && m_TimeMap.front().position <= p;
}

int64_t CBaseParser::TakeTimeAt(int32_t offset, int32_t& frameType) {
    platform::CAutoLock lock(m_OutputLock);
    int64_t result = m_iCurrentTime;
    frameType = FRAME_UNKNOWN;
    const int64_t p = m_iConsumed + offset;
    while (!m_TimeMap.empty() && m_TimeMap.front().position <= p) {
        result = m_TimeMap.front().time;
        if (m_TimeMap.front().key) frameType = FRAME_I;
        m_TimeMap.pop_front();
    }
    return result;
}

int64_t CBaseParser::OutputTime() const {
    if (m_iCurrentTime == NO_TIME) return NO_TIME;
    return m_iCurrentTime + m_iTimeOffset;
}

int64_t CBaseParser::BitTimeOfPosition() const {
    if (m_iBitrate == 0) return NO_TIME;
    return m_iConsumed * 8000 / m_iBitrate;
}

data_t* CBaseParser::MakeOutput(int32_t skip, int32_t length, int32_t headroom) {
    platform::CAutoLock lock(m_OutputLock);
    if (length < 1 || skip < 0 || headroom < 0 || !m_pBuffer) return nullptr;
    if (skip > m_iBufferFillness || length > m_iBufferFillness - skip) {
        Log(LOG_ERROR, 0, "CBaseParser::MakeOutput: %d bytes at %d are beyond the %d buffered bytes", length, skip,
            m_iBufferFillness);
        return nullptr;
    }
    if (headroom > INT32_MAX - length) return nullptr;
    const int64_t t = OutputTime();
    data_t* d = data_t::Create(headroom + length, false, t, t, BitTimeOfPosition());
    if (!d) {
        Log(LOG_ERROR | LOG_MEMORY, 0, "CBaseParser::MakeOutput: cannot allocate %d bytes", headroom + length);
        return nullptr;
    }
    if (headroom > 0) std::memset(d->data, 0, static_cast<size_t>(headroom));
    std::memcpy(d->data + headroom, m_pBuffer.get() + skip, static_cast<size_t>(length));
    return d;
}

void CBaseParser::QueueOutput(data_t* record) {
    if (!record) return;
    platform::CAutoLock lock(m_OutputLock);
    m_OutputBuffer.emplace_back(record);
}

void CBaseParser::ResetFormat() {
    m_Format = format_t{};
    // A fresh block is all zero apart from the frame-rate denominator and the two unset words.
    m_Format.kind = 0;
    m_Format.video = video_format_t{};
    m_Format.video.fps = 0.0;
    m_Format.video.fps_num = 0;
    m_Format.video.fps_den = 1;
    m_Format.video.aspect_x = 0;
    m_Format.video.aspect_y = 0;
    m_Format.unset1 = 0x7FFFFFFF;
    m_Format.unset2 = 0x7FFFFFFF;
}

}  // namespace BS
