#include "rtmp/AMF3.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <new>

#include "foundation/Log.h"
#include "rtmp/RtmpDefs.h"

namespace {

constexpr uint32_t TIMESTAMP_EXTENDED = 0xFFFFFF;
constexpr int32_t HEADER_SIZE_BY_FORMAT[4] = {12, 8, 4, 1};
constexpr uint8_t FORMAT_0 = 0x00;
constexpr uint8_t FORMAT_1 = 0x40;
constexpr uint8_t FORMAT_3 = 0xC0;
constexpr uint8_t VERSION_PLAIN = 3;
constexpr int32_t INITIAL_MESSAGE_BYTES = 0x10000;
constexpr uint8_t VERSION_RTMPE = 6;
// Keyframe / inter frame in the video tag's first nibble; codec 7 is AVC.
constexpr uint8_t VIDEO_KEY_FRAME = 1;
constexpr uint8_t VIDEO_INTER_FRAME = 2;
constexpr uint8_t VIDEO_CODEC_AVC = 7;

uint32_t Read24(const uint8_t* p) { return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2]; }
uint32_t Read32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
uint8_t* Put24(uint8_t* o, uint32_t v) {
    o[0] = uint8_t(v >> 16);
    o[1] = uint8_t(v >> 8);
    o[2] = uint8_t(v);
    return o + 3;
}
uint8_t* Put32(uint8_t* o, uint32_t v) {
    o[0] = uint8_t(v >> 24);
    o[1] = uint8_t(v >> 16);
    o[2] = uint8_t(v >> 8);
    o[3] = uint8_t(v);
    return o + 4;
}

// Signed differences and sums of times that may be NO_TIME or otherwise extreme: wrap instead
// of overflowing; `ok` tells whether the true value fitted.
int64_t Sub(int64_t a, int64_t b, bool& ok) {
    int64_t r = 0;
    ok = !__builtin_sub_overflow(a, b, &r);
    return r;
}
int64_t WrapAdd(int64_t a, int64_t b) { return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b)); }

}  // namespace

AMF3::AMF3() : m_wallClock([] { return static_cast<int64_t>(std::time(nullptr)); }) {}

AMF3::~AMF3() = default;

bool AMF3::Init() {
    platform::CAutoLock lock(m_lock);
    m_rx.reset();
    for (auto& s : m_rxStreams) s.message.reset();
    m_rx.reset(new (std::nothrow) uint8_t[RECEIVE_CAPACITY]);
    ResetLocked();
    if (!m_rx) Log(LOG_ERROR, 0, "AMF3::Init: no memory for the receive buffer");
    return m_rx != nullptr;
}

void AMF3::Reset() {
    platform::CAutoLock lock(m_lock);
    ResetLocked();
}

void AMF3::ResetLocked() {
    m_rxStart = 0;
    m_rxHeld = 0;
    m_rxChunkSize = DEFAULT_CHUNK_SIZE;
    m_txChunkSize = DEFAULT_CHUNK_SIZE;
    m_baseTime = 0;
    m_baseFixed = false;
    m_hsState = HS_WAIT_S0;
    m_rtmpe = false;
    for (auto& s : m_txStreams) s = SendState{};
    for (int32_t i = 0; i < CHUNK_STREAMS; ++i) {
        ReceiveState& s = m_rxStreams[static_cast<size_t>(i)];
        s.header = Header{};
        s.header.chunkStreamId = i;
        s.remaining = 0;
        s.extended = false;
        s.message.reset();
    }
}

void AMF3::SetBaseTimeMode(bool enabled, int32_t referenceSeconds) {
    platform::CAutoLock lock(m_lock);
    m_baseMode = enabled;
    m_baseReference = referenceSeconds;
}

void AMF3::SetAbsoluteTime(int64_t ms) {
    platform::CAutoLock lock(m_lock);
    m_absoluteTime = ms;
}

void AMF3::SetWallClock(WallClock clock) {
    platform::CAutoLock lock(m_lock);
    if (clock)
        m_wallClock = std::move(clock);
    else
        m_wallClock = [] { return static_cast<int64_t>(std::time(nullptr)); };
}

int64_t AMF3::Now() const { return m_wallClock(); }

void AMF3::SetReceiveChunkSize(int32_t size) {
    platform::CAutoLock lock(m_lock);
    if (size < 1) {
        Log(LOG_ERROR, 0, "AMF3::SetReceiveChunkSize: chunk size %d refused, keeping %d", size, m_rxChunkSize);
        return;
    }
    m_rxChunkSize = size;
}

void AMF3::SetSendChunkSize(int32_t size) {
    platform::CAutoLock lock(m_lock);
    if (size < 1) {
        Log(LOG_ERROR, 0, "AMF3::SetSendChunkSize: chunk size %d refused, keeping %d", size, m_txChunkSize);
        return;
    }
    m_txChunkSize = size;
}

int32_t AMF3::GetReceiveChunkSize() const {
    platform::CAutoLock lock(m_lock);
    return m_rxChunkSize;
}
int32_t AMF3::GetSendChunkSize() const {
    platform::CAutoLock lock(m_lock);
    return m_txChunkSize;
}
int32_t AMF3::GetHandshakeState() const {
    platform::CAutoLock lock(m_lock);
    return m_hsState;
}
bool AMF3::IsRtmpe() const {
    platform::CAutoLock lock(m_lock);
    return m_rtmpe;
}
int64_t AMF3::GetBaseTime() const {
    platform::CAutoLock lock(m_lock);
    return m_baseTime;
}
bool AMF3::IsBaseTimeFixed() const {
    platform::CAutoLock lock(m_lock);
    return m_baseFixed;
}
uint32_t AMF3::GetHandshakeTime() const {
    platform::CAutoLock lock(m_lock);
    return m_hsTime;
}
uint32_t AMF3::GetHandshakeZero() const {
    platform::CAutoLock lock(m_lock);
    return m_hsZero;
}

// ---------------------------------------------------------------------------------------------
// Receive side

void AMF3::PutData(std::span<const uint8_t> bytes) {
    platform::CAutoLock lock(m_lock);
    if (!m_rx || bytes.empty()) return;
    const size_t cap = static_cast<size_t>(RECEIVE_CAPACITY);
    if (bytes.size() > cap - m_rxHeld) {
        // The buffer never grows: what is held is given up so the newest bytes can be kept.
        Log(LOG_ERROR, 1, "AMF3::PutData: %d bytes do not fit beside %d held; the held bytes are dropped",
            static_cast<int>(bytes.size()), static_cast<int>(m_rxHeld));
        m_rxStart = 0;
        m_rxHeld = 0;
        if (bytes.size() > cap) bytes = bytes.first(cap);
    }
    if (bytes.size() > cap - m_rxStart - m_rxHeld) {
        std::memmove(m_rx.get(), m_rx.get() + m_rxStart, m_rxHeld);
        m_rxStart = 0;
    }
    std::memcpy(m_rx.get() + m_rxStart + m_rxHeld, bytes.data(), bytes.size());
    m_rxHeld += bytes.size();
}

void AMF3::Consume(size_t bytes) {
    m_rxStart += bytes;
    m_rxHeld -= bytes;
    if (m_rxHeld == 0) m_rxStart = 0;
}

BS::DataPtr AMF3::TakeBlock(int32_t bytes) {
    BS::DataPtr block(BS::data_t::Create(bytes, false, 0, 0, NO_TIME));
    if (!block) return nullptr;
    std::memcpy(block->data, m_rx.get() + m_rxStart, static_cast<size_t>(bytes));
    Consume(static_cast<size_t>(bytes));
    return block;
}

BS::DataPtr AMF3::GetMessage(int mode, Header* header) {
    platform::CAutoLock lock(m_lock);
    if (!m_rx) return nullptr;
    if (mode == MODE_HANDSHAKE) return GetHandshakeBlock();
    if (mode == MODE_CHUNKS || mode == MODE_CHUNKS_ALT) return GetChunkMessage(header);
    return nullptr;
}

BS::DataPtr AMF3::GetHandshakeBlock() {
    if (m_rxHeld == 0) return nullptr;
    const uint8_t* p = m_rx.get() + m_rxStart;
    switch (m_hsState) {
    case HS_WAIT_S0: {
        const int version = p[0];
        if (version != VERSION_PLAIN && version != VERSION_RTMPE) {
            Log(LOG_ERROR, 0, "AMF3::Protocol version %d. We do not support AMF version other than 3 or 6", version);
            return nullptr;
        }
        if (version == VERSION_PLAIN)
            Log(LOG_TRACE, 3, "AMF3::Protocol version %d. We do not support AMF version other than 3", version);
        else
            Log(LOG_TRACE, 0, "AMF3::Protocol version %d (RTMPE)", version);
        BS::DataPtr block = TakeBlock(1);
        if (!block) return nullptr;
        m_rtmpe = version == VERSION_RTMPE;
        m_hsState = HS_WAIT_S1;
        return block;
    }
    case HS_WAIT_S1:
    case HS_WAIT_S2: {
        if (m_rxHeld < static_cast<size_t>(HANDSHAKE_BLOCK_BYTES)) return nullptr;
        const uint32_t time = Read32(p);
        const uint32_t zero = Read32(p + 4);
        BS::DataPtr block = TakeBlock(HANDSHAKE_BLOCK_BYTES);
        if (!block) return nullptr;
        m_hsTime = time;
        m_hsZero = zero;
        if (m_hsState == HS_WAIT_S1) {
            if (zero != 0) Log(LOG_TRACE, 1, "AMF3::S0 zeros field contains %d", static_cast<int>(zero));
            m_hsState = HS_WAIT_S2;
        } else {
            // The server's timeline starts now: after a reconnection it continues from the
            // time elapsed since the publication's reference time.
            m_baseTime = 0;
            const int64_t now = Now();
            if (m_baseMode && now > m_baseReference) m_baseTime = (now - m_baseReference) * 1000;
            m_hsState = HS_DONE;
        }
        return block;
    }
    default:
        return nullptr;
    }
}

bool AMF3::GrowMessage(ReceiveState& s, int32_t filled, int32_t needed) {
    BS::data_t* cur = s.message.get();
    if (cur->size_max >= needed) return true;
    const int64_t doubled = static_cast<int64_t>(cur->size_max) * 2;
    const int32_t cap = static_cast<int32_t>(std::min<int64_t>(s.header.length, std::max<int64_t>(needed, doubled)));
    BS::DataPtr bigger(BS::data_t::Create(cap, false, cur->dts, cur->pts, NO_TIME));
    if (!bigger) return false;
    std::memcpy(bigger->data, cur->data, static_cast<size_t>(filled));
    s.message = std::move(bigger);
    return true;
}

BS::DataPtr AMF3::GetChunkMessage(Header* out) {
    for (;;) {
        if (m_rxHeld == 0) return nullptr;
        const uint8_t* p = m_rx.get() + m_rxStart;
        const int format = p[0] >> 6;
        const int32_t csid = p[0] & 0x3F;
        const size_t headerSize = static_cast<size_t>(HEADER_SIZE_BY_FORMAT[format]);
        if (m_rxHeld < headerSize) return nullptr;
        ReceiveState& s = m_rxStreams[static_cast<size_t>(csid)];

        // Decode into locals; the chunk stream's state changes only once the whole chunk is here.
        Header h = s.header;
        uint32_t delta = static_cast<uint32_t>(h.lastDelta);
        bool extended = s.extended;
        int32_t remaining = s.remaining;
        uint32_t field = 0;
        if (format <= 2) field = Read24(p + 1);
        if (format <= 1) {
            h.length = static_cast<int32_t>(Read24(p + 4));
            h.type = p[7];
        }
        if (format == 0) h.streamId = Read32(p + 8);
        if (format <= 2) extended = field == TIMESTAMP_EXTENDED;
        const size_t extBytes = extended ? 4 : 0;
        if (m_rxHeld < headerSize + extBytes) return nullptr;
        if (format <= 2) {
            const uint32_t value = extended ? Read32(p + headerSize) : field;
            if (format == 0) {
                h.timestamp = value;
                delta = 0;
            } else {
                delta = value;
            }
        }

        const bool startsMessage = format <= 2 || remaining == 0;
        if (startsMessage) {
            if (h.length == UNKNOWN) {
                // Continuing a message whose length was never announced: nothing sensible can
                // be assembled, so the header is skipped and parsing goes on.
                Log(LOG_ERROR, 0, "AMF3::GetMessage: chunk stream %d continues a message it never started", csid);
                Consume(headerSize + extBytes);
                continue;
            }
            remaining = h.length;
        }
        const int32_t payload = std::min(m_rxChunkSize, remaining);
        if (m_rxHeld < headerSize + extBytes + static_cast<size_t>(payload)) return nullptr;

        // The whole chunk is here: commit.
        if (format <= 2 && s.remaining > 0) {
            Log(LOG_ERROR, 0, "AMF3::GetMessage: new header on chunk stream %d drops a message of %d bytes with %d to come",
                csid, s.header.length, s.remaining);
            s.message.reset();
        }
        h.headerSize = static_cast<int32_t>(headerSize);
        h.chunkStreamId = csid;
        s.extended = extended;
        if (startsMessage) {
            const int64_t running = h.timestamp == NO_TIME ? 0 : h.timestamp;
            const int64_t stamp = WrapAdd(running, delta);
            h.timestamp = stamp;
            h.lastDelta = static_cast<int32_t>(delta);
            // Room for what is announced, but a length a server merely claims gets a bounded
            // start; the record grows as chunks actually arrive.
            const int32_t initial = std::min(h.length, INITIAL_MESSAGE_BYTES);
            s.message.reset(BS::data_t::Create(initial, false, stamp, stamp, NO_TIME));
            if (!s.message) Log(LOG_ERROR, 0, "AMF3::GetMessage: no memory for a message of %d bytes", h.length);
        }
        s.header = h;
        const int32_t offset = h.length - remaining;
        if (s.message && !GrowMessage(s, offset, offset + payload)) {
            Log(LOG_ERROR, 0, "AMF3::GetMessage: no memory for a message of %d bytes", h.length);
            s.message.reset();
        }
        if (s.message && payload > 0)
            std::memcpy(s.message->data + offset, p + headerSize + extBytes, static_cast<size_t>(payload));
        s.remaining = remaining - payload;
        Consume(headerSize + extBytes + static_cast<size_t>(payload));
        if (s.remaining > 0) continue;
        if (!s.message) continue;  // lost to a failed allocation; logged above
        BS::DataPtr msg = std::move(s.message);
        msg->size_actual = h.length;
        if (out) *out = h;
        return msg;
    }
}

// ---------------------------------------------------------------------------------------------
// Send side

BS::DataPtr AMF3::Prepare(BS::data_t& msg, int32_t csid, int32_t type, uint32_t sid, bool forceFullHeader) {
    platform::CAutoLock lock(m_lock);
    // Ids 0 and 1 would announce the longer basic-header forms.
    if (csid < 2 || csid >= CHUNK_STREAMS) {
        Log(LOG_ERROR, 0, "AMF3::Prepare: chunk stream id %d cannot be written", csid);
        return nullptr;
    }
    if (msg.size_actual < 0 || (msg.size_actual > 0 && msg.data == nullptr)) {
        Log(LOG_ERROR, 0, "AMF3::Prepare: record without a body (size %d)", msg.size_actual);
        return nullptr;
    }
    const int32_t extra = type == RTMP_PT_VIDEO ? VIDEO_PREFIX_BYTES : 0;
    if (msg.size_actual > MAX_MESSAGE_BYTES - extra) {
        Log(LOG_ERROR, 0, "AMF3::Prepare: message of %d bytes is too long for a chunk header", msg.size_actual);
        return nullptr;
    }
    SendState& s = m_txStreams[static_cast<size_t>(csid)];

    bool full = forceFullHeader;
    int64_t duration = 0;
    if (msg.dts == NO_TIME) {
        msg.dts = s.lastDts;
        LogTrace(5, "AMF3::Prepare Reset Duration to zero");
    } else if (s.lastDts == NO_TIME) {
        full = true;
        LogTrace(5, "AMF3::Prepare: SetFullHeader duration NONE");
    } else {
        bool ok = true;
        duration = Sub(msg.dts, s.lastDts, ok);
        if (!ok || duration < 0) {
            full = true;
            LogTrace(3, "AMF3::Prepare: SetFullHeader duration %lld (%lld-%lld", static_cast<long long>(duration),
                     static_cast<long long>(msg.dts), static_cast<long long>(s.lastDts));
        }
    }
    // A format-0 header carries the chunk stream's last time; the message's own only when the
    // chunk stream carried none before.
    const int64_t headerDts = s.lastDts == NO_TIME ? msg.dts : s.lastDts;
    const size_t headerSize = (!full && sid == s.streamId) ? 8 : 12;

    // The base time is fixed at the first media message of a connection.
    int64_t baseTime = m_baseTime;
    const bool fixBase = (type == RTMP_PT_AUDIO || type == RTMP_PT_VIDEO) && !m_baseFixed;
    if (fixBase && m_baseMode) {
        if (m_absoluteTime == NO_TIME) {
            const int64_t now = Now();
            if (now > m_baseReference) {
                baseTime = std::max(baseTime, (now - m_baseReference) * 1000);
                LogTrace(1, "AMF3::Prepare: New BaseTime2 %lld", static_cast<long long>(baseTime));
            }
        } else {
            bool ok = true;
            const int64_t diff = Sub(m_absoluteTime, static_cast<int64_t>(m_baseReference) * 1000, ok);
            baseTime = ok ? std::max<int64_t>(0, diff) : (m_absoluteTime > 0 ? INT64_MAX : 0);
            LogTrace(1, "AMF3::Prepare: New BaseTime %lld", static_cast<long long>(baseTime));
        }
    }

    // Header fields.
    uint32_t tsField = 0;
    bool extended = false;
    uint32_t extendedValue = 0;
    if (headerSize == 12) {
        const int64_t t = WrapAdd(baseTime, headerDts == NO_TIME ? 0 : headerDts);
        const uint32_t low = static_cast<uint32_t>(t);
        if (low >= TIMESTAMP_EXTENDED) {
            tsField = TIMESTAMP_EXTENDED;
            extended = true;
            extendedValue = low;
        } else {
            if (t < 0 || t > 0xFFFFFFFFLL)
                Log(LOG_ERROR, 0, "AMF3::Prepare: Overflow timestamp - sid %x  type %d  size %d  dts %lld time %lld / 0x%x / %d",
                    sid, type, msg.size_actual, static_cast<long long>(msg.dts), static_cast<long long>(t), low,
                    static_cast<int>(low));
            tsField = low;
        }
    } else {
        if (duration < 0 || duration >= TIMESTAMP_EXTENDED)
            Log(LOG_ERROR, 0, "AMF3::Prepare: Overflow duration - sid %x  type %d  size %d  dts %lld  time %lld / 0x%x / %d",
                sid, type, msg.size_actual, static_cast<long long>(msg.dts), static_cast<long long>(duration),
                static_cast<uint32_t>(duration), static_cast<int>(duration));
        tsField = static_cast<uint32_t>(duration) & 0xFFFFFF;
    }

    uint8_t prefix[VIDEO_PREFIX_BYTES] = {};
    if (type == RTMP_PT_VIDEO) {
        const bool key = msg.frame_type == FRAME_I || msg.config;
        bool ok = true;
        int64_t cts = Sub(msg.pts, msg.dts, ok);
        if (!ok || cts < -999 || cts > 999)
            Log(LOG_ERROR, 0, "AMF3::Prepare: Composition time - sid %x  type %d  size %d  pts %lld  dts %lld  diff %lld",
                sid, type, msg.size_actual, static_cast<long long>(msg.pts), static_cast<long long>(msg.dts),
                static_cast<long long>(cts));
        if (!ok || cts < 0) cts = 0;
        prefix[0] = static_cast<uint8_t>(((key ? VIDEO_KEY_FRAME : VIDEO_INTER_FRAME) << 4) | VIDEO_CODEC_AVC);
        prefix[1] = msg.config ? 0 : 1;
        Put24(prefix + 2, static_cast<uint32_t>(cts));
        if (key)
            LogTrace(3, "AMF3::Prepare: Keyframe time - dts %lld  sts %d  size %d", static_cast<long long>(msg.dts),
                     static_cast<int>(tsField == TIMESTAMP_EXTENDED ? extendedValue : tsField), msg.size_actual);
    } else {
        LogTrace(9, "AMF3::Prepare: type=%d not handled", type);
    }

    // Layout: the prefix counts toward the first chunk; later chunks take a one-byte header
    // (and the extended timestamp again) each.
    const size_t body = static_cast<size_t>(msg.size_actual);
    const size_t chunk = static_cast<size_t>(m_txChunkSize);
    const size_t extBytes = extended ? 4 : 0;
    const size_t firstBody = std::min(body, chunk > static_cast<size_t>(extra) ? chunk - extra : 0);
    const size_t rest = body - firstBody;
    const size_t continuations = (rest + chunk - 1) / chunk;
    const size_t total = headerSize + extBytes + static_cast<size_t>(extra) + body + continuations * (1 + extBytes);

    BS::DataPtr out(BS::data_t::Create(static_cast<int32_t>(total), msg.config, msg.dts, msg.pts, msg.bts));
    if (!out) {
        Log(LOG_ERROR, 0, "AMF3::Prepare: no memory for %d bytes", static_cast<int>(total));
        return nullptr;
    }
    out->frame_type = msg.frame_type;

    // Commit the per-connection and per-chunk-stream state only now that the bytes will exist.
    if (fixBase) {
        m_baseFixed = true;
        m_baseTime = baseTime;
    }
    s.streamId = sid;
    s.lastDts = msg.dts;

    const uint8_t basic = static_cast<uint8_t>(csid);
    uint8_t* o = out->data;
    *o++ = static_cast<uint8_t>((headerSize == 12 ? FORMAT_0 : FORMAT_1) | basic);
    o = Put24(o, tsField);
    o = Put24(o, static_cast<uint32_t>(msg.size_actual + extra));
    *o++ = static_cast<uint8_t>(type);
    if (headerSize == 12) o = Put32(o, sid);
    if (extended) o = Put32(o, extendedValue);
    if (extra > 0) {
        std::memcpy(o, prefix, static_cast<size_t>(extra));
        o += extra;
    }
    const uint8_t* src = msg.data;
    if (firstBody > 0) {
        std::memcpy(o, src, firstBody);
        o += firstBody;
        src += firstBody;
    }
    for (size_t left = rest; left > 0;) {
        *o++ = static_cast<uint8_t>(FORMAT_3 | basic);
        if (extended) o = Put32(o, extendedValue);
        const size_t n = std::min(left, chunk);
        std::memcpy(o, src, n);
        o += n;
        src += n;
        left -= n;
    }
    return out;
}
