// Arbitrary server bytes into the client's receive callback, in the handshake phase and in the
// chunk phase, cut into reads of varying size. No socket: answers the dispatch sends go nowhere.
//
// Input: byte 0 = phase (bit 0: start in the handshake phase) and read size (bits 1..4, an index
// into sizes around the codec's boundaries), the rest = what the server sends.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/DebugOutput.h"
#include "rtmp/session/RTMPClient.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One client for the whole run: constructing one starts the transport's receive thread.
    static std::unique_ptr<CRTMPClient> client = [] {
        // Bad input is logged line by line; writing those lines would be most of the run.
        platform::SetDebugOutputSink([](std::string_view) {});
        return std::make_unique<CRTMPClient>();
    }();
    if (size < 1) return 0;
    const bool handshake = (data[0] & 1) != 0;
    static constexpr size_t kReadSizes[16] = {1,   2,    7,    12,   64,   127,  128,  129,
                                               255, 1000, 1535, 1536, 1537, 3073, 4096, 65536};
    const size_t readSize = kReadSizes[(data[0] >> 1) & 0x0F];
    client->ResetReceiveSide();
    client->SetReceiveMode(handshake ? CRTMPClient::RECEIVE_HANDSHAKE : CRTMPClient::RECEIVE_CHUNKS);
    // The three handshake blocks, then the chunk phase, as a real connection goes.
    const size_t handshakeBytes = handshake ? 1 + 2 * 1536 : 0;
    size_t pos = 1;
    while (pos < size) {
        if (handshake && pos - 1 >= handshakeBytes) client->SetReceiveMode(CRTMPClient::RECEIVE_CHUNKS);
        size_t n = size - pos < readSize ? size - pos : readSize;
        if (handshake && pos - 1 < handshakeBytes && n > handshakeBytes - (pos - 1)) n = handshakeBytes - (pos - 1);
        client->OnReceive(data + pos, static_cast<int>(n), nullptr);
        pos += n;
    }
    return 0;
}
