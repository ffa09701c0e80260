#pragma once
// The connection parameters handed to CTCPClient::Connect. A copy of the last one (with the
// effective socket settings in place of the given ones) is kept for reconnecting.
#include <cstdint>
#include <string>

struct TCPClientParams {
    std::string host;               // server name or literal address
    int32_t port = 0;
    int32_t sleepDelay = 50;        // ms the receive thread waits between checks while no socket is open
    int32_t sendBufferSize = 0;     // bytes of the send buffer; 0 = no buffered sending
    int32_t sendPacketSize = 0;     // unit in which the send thread hands data to the socket
    int32_t socketBufferSize = 0;   // default for TcpBufSize
    int32_t sendTimeout = 0;        // default for SendTimeout, ms
    int32_t receiveTimeout = 0;     // default for ReceiveTimeout, ms
    int32_t noDelay = 1;            // default for TcpNoDelay
    int32_t connectTimeout = 0;     // seconds; 0 = blocking connect
    uint8_t secure = 0;             // TLS after the TCP connect
    uint8_t verifyPeer = 1;         // TLS: check the server's certificate and name
    std::string caFile{};           // TLS: PEM file of the CAs to trust; empty: the system's store
};
