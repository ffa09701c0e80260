#pragma once
// One TLS client session over a connected, non-blocking TCP socket (OpenSSL).
//
// Every call here returns at once: it does what the socket allows now and says what it waits for
// (WantRead / WantWrite). The caller does the waiting outside any lock, so a receive waiting for
// data never holds up a send on another thread. The object itself is not thread safe: its owner
// serialises all calls on it.
#include <cstdint>
#include <memory>
#include <string>

namespace net {

struct TlsOptions {
    // false: any certificate is taken (no chain, no name check).
    bool verifyPeer = true;
    // PEM file of the CA certificates to trust instead of the system's store; empty: the system's.
    std::string caFile;
};

enum class TlsIo {
    Done,       // the step completed (Read/Write: *count bytes moved)
    WantRead,   // the socket must become readable first
    WantWrite,  // the socket must become writable first
    Closed,     // the peer ended the session (close_notify or the TCP connection closed)
    Failed,     // a protocol or socket error; Error() and SocketErrno() tell which
};

class TlsSession {
public:
    // `host` is the server name as the user gave it (brackets of an IPv6 literal removed): it
    // goes out as SNI unless it is an address literal, and the certificate must name it.
    // nullptr with *error set when the TLS state cannot be made (bad CA file, no memory).
    struct Handles;
    TlsSession();

    static std::unique_ptr<TlsSession> Create(int fd, const std::string& host, const TlsOptions& options,
                                              std::string* error);
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    TlsIo Handshake();
    TlsIo Read(uint8_t* buffer, int capacity, int* count);
    TlsIo Write(const uint8_t* data, int length, int* count);
    // Best effort, never waits: tells the server the session ends on purpose.
    void SendCloseNotify();

    // After Failed: the text a user can act on ("certificate not trusted: <subject>", "host name
    // mismatch", or OpenSSL's reason).
    const std::string& Error() const { return m_sError; }
    // After Failed: the errno of a socket error underneath, 0 for a TLS-level failure.
    int SocketErrno() const { return m_iErrno; }
    // After a failed certificate check: OpenSSL's reason, for the log.
    const std::string& VerifyReason() const { return m_sVerifyReason; }
    // The negotiated protocol and cipher, for the log.
    std::string Description() const;

private:
    TlsIo Classify(int ret, int* count);

    std::unique_ptr<Handles> m_h;
    std::string m_sError;
    std::string m_sVerifyReason;
    int m_iErrno = 0;
};

// "[::1]" -> "::1"; any other text unchanged.
std::string StripAddressBrackets(const std::string& host);

}  // namespace net
