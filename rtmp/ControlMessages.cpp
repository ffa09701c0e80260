#include "rtmp/ControlMessages.h"

#include <span>

#include "rtmp/AmfWriter.h"

namespace rtmp {

namespace {

BS::DataPtr FourBytes(uint32_t v) {
    BS::DataPtr rec(BS::data_t::Create(4, false, 0, 0, NO_TIME));
    if (!rec) return nullptr;
    CAmfWriter(std::span<uint8_t>(rec->data, 4)).U32(v);
    return rec;
}

}  // namespace

BS::DataPtr BuildSetChunkSize(int32_t chunkSize) { return FourBytes(static_cast<uint32_t>(chunkSize)); }
BS::DataPtr BuildAcknowledgement(uint32_t bytesReceived) { return FourBytes(bytesReceived); }
BS::DataPtr BuildWindowAckSize(uint32_t windowSize) { return FourBytes(windowSize); }

BS::DataPtr BuildSetPeerBandwidth(uint32_t bandwidth) {
    BS::DataPtr rec(BS::data_t::Create(5, false, 0, 0, NO_TIME));
    if (!rec) return nullptr;
    CAmfWriter w(std::span<uint8_t>(rec->data, 5));
    w.U32(bandwidth);
    w.U8(PEER_BANDWIDTH_LIMIT_DYNAMIC);
    return rec;
}

BS::DataPtr BuildPingResponse(uint32_t timestamp, int64_t dts) {
    BS::DataPtr rec(BS::data_t::Create(6, false, dts, dts, NO_TIME));
    if (!rec) return nullptr;
    CAmfWriter w(std::span<uint8_t>(rec->data, 6));
    w.U16(USER_CONTROL_PING_RESPONSE);
    w.U32(timestamp);
    return rec;
}

}  // namespace rtmp
