#pragma once
// Helpers for the client tests that run without a server: a client that captures what it would
// write to the socket, server messages written out as chunk bytes, and a decoder for what the
// client wrote (a second codec on the receiving end).
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "rtmp/AMF3.h"
#include "rtmp/session/RTMPClient.h"

using Bytes = std::vector<uint8_t>;

struct RTMPClientTestAccess {
    static bool Error(const CRTMPClient& c) { return c.m_bError.load(); }
    static bool BadName(const CRTMPClient& c) { return c.m_bBadName.load(); }
    static void SetCreateStreamPending(CRTMPClient& c, bool on) { c.m_bCreateStreamPending.store(on); }
    static bool ReplySet(const CRTMPClient& c) { return c.m_evReply.IsSet(); }
    static bool StatusSet(const CRTMPClient& c) { return c.m_evStatus.IsSet(); }
    static bool HandshakeEvent(const CRTMPClient& c, int i) {
        return (i == 0 ? c.m_evS0 : i == 1 ? c.m_evS1 : c.m_evS2).IsSet();
    }
    static bool AuthNeeded(CRTMPClient& c) {
        platform::CAutoLock l(c.m_AuthLock);
        return c.m_Auth.m_bAuthNeeded;
    }
    static bool AuthSwitched(CRTMPClient& c) {
        platform::CAutoLock l(c.m_AuthLock);
        return c.m_Auth.m_bAuthSwitched;
    }
    static std::string Nonce(CRTMPClient& c) {
        platform::CAutoLock l(c.m_AuthLock);
        return c.m_Auth.m_sNonce;
    }
    static void SetBuffered(CRTMPClient& c, bool on) { c.m_bSendBuffered.store(on); }
};

// Everything the client hands to the transport, in order; nothing reaches a socket.
class CapturingClient : public CRTMPClient {
public:
    using CRTMPClient::Send;
    int Send(const uint8_t* data, int length, bool block) override {
        std::lock_guard<std::mutex> g(m_mutex);
        m_wire.insert(m_wire.end(), data, data + length);
        ++m_blockingWrites;
        return TCP_DATA_PRESENT;
    }
    int SendBuffered(const uint8_t* data, int length) override {
        std::lock_guard<std::mutex> g(m_mutex);
        m_wire.insert(m_wire.end(), data, data + length);
        ++m_bufferedWrites;
        return TCP_DATA_PRESENT;
    }
    Bytes Wire() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_wire;
    }
    void ClearWire() {
        std::lock_guard<std::mutex> g(m_mutex);
        m_wire.clear();
    }
    void Feed(const Bytes& b) { OnReceive(b.data(), static_cast<int>(b.size()), nullptr); }

    int m_blockingWrites = 0;
    int m_bufferedWrites = 0;

private:
    std::mutex m_mutex;
    Bytes m_wire;
};

// --- AMF0 values, written out the way a server writes them.
// Built by reserve + push_back: g++ 12 at -O3 misreads an insert into a short initialised vector
// as an out-of-bounds copy (-Warray-bounds).
inline Bytes A0Str(const std::string& s) {
    Bytes b;
    b.reserve(3 + s.size());
    b.push_back(0x02);
    b.push_back(static_cast<uint8_t>(s.size() >> 8));
    b.push_back(static_cast<uint8_t>(s.size()));
    for (char c : s) b.push_back(static_cast<uint8_t>(c));
    return b;
}
inline Bytes A0Num(double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, 8);
    Bytes b{0x00};
    for (int i = 7; i >= 0; --i) b.push_back(static_cast<uint8_t>(bits >> (i * 8)));
    return b;
}
inline Bytes A0Null() { return {0x05}; }
inline Bytes A0Prop(const std::string& name, const Bytes& value) {
    Bytes b;
    b.reserve(2 + name.size() + value.size());
    b.push_back(static_cast<uint8_t>(name.size() >> 8));
    b.push_back(static_cast<uint8_t>(name.size()));
    for (char c : name) b.push_back(static_cast<uint8_t>(c));
    b.insert(b.end(), value.begin(), value.end());
    return b;
}
inline Bytes A0Obj(std::initializer_list<Bytes> props) {
    Bytes b{0x03};
    for (const Bytes& p : props) b.insert(b.end(), p.begin(), p.end());
    b.insert(b.end(), {0x00, 0x00, 0x09});
    return b;
}
inline Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
inline Bytes Be32(uint32_t v) {
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
            static_cast<uint8_t>(v)};
}

// One server message as chunks: a format-0 header on `cs`, then format-3 continuations every
// `chunkSize` bytes.
inline Bytes ServerMessage(uint8_t cs, uint8_t type, const Bytes& body, uint32_t timestamp = 0,
                           uint32_t streamId = 0, size_t chunkSize = 128) {
    Bytes b{static_cast<uint8_t>(cs & 0x3F),
            static_cast<uint8_t>(timestamp >> 16), static_cast<uint8_t>(timestamp >> 8), static_cast<uint8_t>(timestamp),
            static_cast<uint8_t>(body.size() >> 16), static_cast<uint8_t>(body.size() >> 8),
            static_cast<uint8_t>(body.size()), type,
            // the message stream id is little-endian on the wire
            static_cast<uint8_t>(streamId), static_cast<uint8_t>(streamId >> 8), static_cast<uint8_t>(streamId >> 16),
            static_cast<uint8_t>(streamId >> 24)};
    for (size_t off = 0; off < body.size(); off += chunkSize) {
        if (off) b.push_back(static_cast<uint8_t>(0xC0 | (cs & 0x3F)));
        size_t n = std::min(chunkSize, body.size() - off);
        b.insert(b.end(), body.begin() + static_cast<std::ptrdiff_t>(off),
                 body.begin() + static_cast<std::ptrdiff_t>(off + n));
    }
    return b;
}

struct WireMessage {
    AMF3::Header header;
    Bytes body;
};

// Reassembles what the client wrote, as a server would.
inline std::vector<WireMessage> Decode(const Bytes& wire, int32_t chunkSize = 128) {
    AMF3 codec;
    codec.Init();
    codec.SetReceiveChunkSize(chunkSize);
    codec.PutData(wire);
    std::vector<WireMessage> out;
    for (;;) {
        WireMessage m;
        BS::DataPtr d = codec.GetMessage(AMF3::MODE_CHUNKS, &m.header);
        if (!d) break;
        m.body.assign(d->data, d->data + d->size_actual);
        out.push_back(std::move(m));
    }
    return out;
}

inline std::string AsText(const Bytes& b) { return std::string(b.begin(), b.end()); }
