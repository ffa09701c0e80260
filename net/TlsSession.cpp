#include "net/TlsSession.h"

#include <arpa/inet.h>
#include <cerrno>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace net {

struct TlsSession::Handles {
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx{nullptr, &SSL_CTX_free};
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl{nullptr, &SSL_free};
    // The server certificate's subject, seen while the chain was checked: a failed handshake
    // keeps no peer certificate to ask afterwards.
    std::string leafSubject;
};

namespace {

std::string NameText(X509_NAME* name) {
    if (name == nullptr) return "(no subject)";
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
    if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253) < 0) return "(unreadable subject)";
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string("(empty subject)");
}

// The oldest error on OpenSSL's per-thread queue as text, the queue emptied, so errors of one
// session never show up under another.
std::string TakeOpenSslError(const char* fallback) {
    const unsigned long e = ERR_get_error();
    ERR_clear_error();
    if (e == 0) return fallback;
    const char* reason = ERR_reason_error_string(e);
    return reason ? reason : fallback;
}

// The slot of an SSL object that points at its session's handles (for the verify callback).
int SessionIndex() {
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

int RememberLeaf(int preverified, X509_STORE_CTX* store) {
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* h = ssl ? static_cast<TlsSession::Handles*>(SSL_get_ex_data(ssl, SessionIndex())) : nullptr;
    if (h != nullptr && h->leafSubject.empty()) {
        if (X509* leaf = X509_STORE_CTX_get0_cert(store)) h->leafSubject = NameText(X509_get_subject_name(leaf));
    }
    return preverified;
}

bool IsAddressLiteral(const std::string& host) {
    in6_addr a6;
    in_addr a4;
    return inet_pton(AF_INET, host.c_str(), &a4) == 1 || inet_pton(AF_INET6, host.c_str(), &a6) == 1;
}

}  // namespace

std::string StripAddressBrackets(const std::string& host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
    return host;
}

TlsSession::TlsSession() : m_h(std::make_unique<Handles>()) {}
TlsSession::~TlsSession() = default;

std::unique_ptr<TlsSession> TlsSession::Create(int fd, const std::string& host, const TlsOptions& options,
                                               std::string* error) {
    ERR_clear_error();
    auto s = std::make_unique<TlsSession>();
    Handles& h = *s->m_h;
    h.ctx.reset(SSL_CTX_new(TLS_client_method()));
    if (!h.ctx) {
        *error = "TLS setup failed: " + TakeOpenSslError("no TLS context");
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(h.ctx.get(), TLS1_2_VERSION);
    // Partial writes let a send report progress (its time-out counts from the last progress);
    // the moving buffer lets a retried write continue from the caller's next offset.
    SSL_CTX_set_mode(h.ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (options.verifyPeer) {
        const int loaded = options.caFile.empty()
                               ? SSL_CTX_set_default_verify_paths(h.ctx.get())
                               : SSL_CTX_load_verify_locations(h.ctx.get(), options.caFile.c_str(), nullptr);
        if (loaded != 1) {
            *error = options.caFile.empty() ? "cannot read the system's CA certificates: " +
                                                  TakeOpenSslError("unknown reason")
                                            : "cannot read the CA file " + options.caFile + ": " +
                                                  TakeOpenSslError("unknown reason");
            return nullptr;
        }
        SSL_CTX_set_verify(h.ctx.get(), SSL_VERIFY_PEER, &RememberLeaf);
    } else {
        SSL_CTX_set_verify(h.ctx.get(), SSL_VERIFY_NONE, nullptr);
    }
    h.ssl.reset(SSL_new(h.ctx.get()));
    if (!h.ssl || SSL_set_fd(h.ssl.get(), fd) != 1) {
        *error = "TLS setup failed: " + TakeOpenSslError("no TLS session");
        return nullptr;
    }
    SSL_set_ex_data(h.ssl.get(), SessionIndex(), &h);
    const std::string name = StripAddressBrackets(host);
    const bool literal = IsAddressLiteral(name);
    // SNI carries names only; an address is checked against the certificate's IP entries.
    if (!literal && !name.empty()) SSL_set_tlsext_host_name(h.ssl.get(), name.c_str());
    if (options.verifyPeer) {
        X509_VERIFY_PARAM* param = SSL_get0_param(h.ssl.get());
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        const int set = literal ? X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str())
                                : X509_VERIFY_PARAM_set1_host(param, name.c_str(), 0);
        if (set != 1) {
            *error = "TLS setup failed: cannot check the name " + name;
            return nullptr;
        }
    }
    SSL_set_connect_state(h.ssl.get());
    return s;
}

TlsIo TlsSession::Classify(int ret, int* count) {
    if (ret > 0) {
        if (count) *count = ret;
        return TlsIo::Done;
    }
    if (count) *count = 0;
    const int saved = errno;
    switch (SSL_get_error(m_h->ssl.get(), ret)) {
        case SSL_ERROR_WANT_READ:
            return TlsIo::WantRead;
        case SSL_ERROR_WANT_WRITE:
            return TlsIo::WantWrite;
        case SSL_ERROR_ZERO_RETURN:
            ERR_clear_error();
            return TlsIo::Closed;
        case SSL_ERROR_SYSCALL:
            m_iErrno = ERR_peek_error() == 0 ? saved : 0;
            m_sError = TakeOpenSslError(m_iErrno != 0 ? "socket error" : "the connection closed");
            // An EOF without close_notify is how most servers end a session.
            return m_iErrno == 0 ? TlsIo::Closed : TlsIo::Failed;
        case SSL_ERROR_SSL: {
            m_iErrno = 0;
            m_sError = TakeOpenSslError("TLS error");
            // OpenSSL 3 reports an EOF in the middle of a record as a protocol error.
            if (m_sError == "unexpected eof while reading") return TlsIo::Closed;
            return TlsIo::Failed;
        }
        default:
            m_iErrno = 0;
            m_sError = TakeOpenSslError("TLS error");
            return TlsIo::Failed;
    }
}

TlsIo TlsSession::Handshake() {
    ERR_clear_error();
    const TlsIo io = Classify(SSL_do_handshake(m_h->ssl.get()), nullptr);
    if (io != TlsIo::Failed && io != TlsIo::Closed) return io;
    const long verify = SSL_get_verify_result(m_h->ssl.get());
    if (verify == X509_V_ERR_HOSTNAME_MISMATCH || verify == X509_V_ERR_IP_ADDRESS_MISMATCH) {
        m_sError = "host name mismatch";
    } else if (verify != X509_V_OK) {
        m_sError = "certificate not trusted: " + (m_h->leafSubject.empty() ? "(no certificate)" : m_h->leafSubject);
        m_sVerifyReason = X509_verify_cert_error_string(verify);
    } else if (io == TlsIo::Closed) {
        m_sError = "the server closed the connection during the TLS handshake";
    } else {
        m_sError = "TLS handshake failed: " + m_sError;
    }
    return TlsIo::Failed;
}

TlsIo TlsSession::Read(uint8_t* buffer, int capacity, int* count) {
    ERR_clear_error();
    return Classify(SSL_read(m_h->ssl.get(), buffer, capacity), count);
}

TlsIo TlsSession::Write(const uint8_t* data, int length, int* count) {
    ERR_clear_error();
    return Classify(SSL_write(m_h->ssl.get(), data, length), count);
}

void TlsSession::SendCloseNotify() {
    ERR_clear_error();
    if (SSL_is_init_finished(m_h->ssl.get())) SSL_shutdown(m_h->ssl.get());
    ERR_clear_error();
}

std::string TlsSession::Description() const {
    const SSL_CIPHER* cipher = SSL_get_current_cipher(m_h->ssl.get());
    return std::string(SSL_get_version(m_h->ssl.get())) + " " + (cipher ? SSL_CIPHER_get_name(cipher) : "?");
}

}  // namespace net
