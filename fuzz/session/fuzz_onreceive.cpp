// Arbitrary server bytes into the client's receive callback, in the handshake phase and in the
// chunk phase, cut into reads of varying size. No socket: answers the dispatch sends go nowhere.
//
// Input: byte 0 = phase (bit 0: start in the handshake phase) and read size (bits 1..4, an index
// into sizes around the codec's boundaries), the rest = what the server sends.
#include <memory>

#include "fuzz/FuzzSupport.h"
#include "rtmp/session/RTMPClient.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Quiet();
    static const auto client = std::make_unique<CRTMPClient>();  // one for the run: each starts the transport's receive thread
    if (size < 1) return 0;
    static constexpr size_t kReadSizes[16] = {1, 2, 7, 12, 64, 127, 128, 129, 255, 1000, 1535, 1536, 1537, 3073, 4096, 65536};
    const size_t readSize = kReadSizes[(data[0] >> 1) & 0x0F];
    const size_t handshakeBytes = (data[0] & 1) ? 1 + 2 * 1536 : 0;  // the three blocks, then chunks, as a real connection goes
    client->ResetReceiveSide();
    client->SetReceiveMode(handshakeBytes ? CRTMPClient::RECEIVE_HANDSHAKE : CRTMPClient::RECEIVE_CHUNKS);
    fuzz::Pieces({data + 1, size - 1}, [&](size_t pos) { return pos < handshakeBytes ? std::min(readSize, handshakeBytes - pos) : readSize; },
                 [&](std::span<const uint8_t> read, size_t pos) {
                     if (handshakeBytes && pos >= handshakeBytes) client->SetReceiveMode(CRTMPClient::RECEIVE_CHUNKS);
                     client->OnReceive(read.data(), static_cast<int>(read.size()), nullptr);
                 });
    return 0;
}
