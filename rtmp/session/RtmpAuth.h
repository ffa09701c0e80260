#pragma once
// Challenge-response authentication of the publishing connection, for the two schemes that
// servers announce through "authmod": adobe (salted MD5, Base64) and llnw (digest-like MD5, hex).
//
// The state here is fed by the `_error` replies of the receive thread and read by the connection
// sequence on the connecting thread; CRTMPClient serialises the two (the replies arrive while the
// connecting thread waits on the reply event), so this class has no lock of its own.
#include <cstdint>
#include <string>
#include <string_view>

struct ConnectionSettings;

namespace rtmp {

constexpr int32_t AUTH_ADOBE = 0;
constexpr int32_t AUTH_LLNW = 1;

// Lowercase hexadecimal MD5 of `text` (32 characters).
std::string Md5Hex(std::string_view text);
// MD5 of `text`, Base64-encoded, 24 characters (the encoder's line break cut off).
std::string Md5Base64(std::string_view text);

// The first-step query that tells the server which scheme and user we want.
std::string BuildAuthQuery(int32_t authType, std::string_view userName);
std::string BuildAuthQuery(int32_t authType, const ConnectionSettings& settings);

class CRtmpAuth {
public:
    // Any 8-character Base64 text of 4 bytes will do; it never changes, so answers are reproducible.
    static constexpr const char* kClientChallenge = "UXZSTA==";
    static constexpr const char* kLlnwNc = "0000001";

    explicit CRtmpAuth(int32_t authType = AUTH_ADOBE) : m_iAuthType(authType) {}

    // Reads the server's refusal text (the `description` of an `_error`). Returns true when the
    // text asked for authentication in a way we can answer: the caller then forgets the error.
    bool ParseRefusal(std::string_view description);

    // The response query for the next connect, for the current scheme. The llnw cnonce comes from
    // `nowSeconds` (UTC seconds; its low 32 bits as a signed number).
    std::string ComputeAuthResponse(std::string_view app, std::string_view user, std::string_view password,
                                    std::string_view salt, std::string_view challenge, std::string_view opaque,
                                    std::string_view clientChallenge, int64_t nowSeconds) const;
    // The same with the stored challenge fields and the current time.
    std::string ComputeAuthResponse(std::string_view app) const;

    int32_t m_iAuthType;
    std::string m_sAuthQuery;  // query attached to the next connect's app/tcUrl
    std::string m_sUser;
    std::string m_sPassword;
    std::string m_sSalt;
    std::string m_sChallenge;
    std::string m_sOpaque;
    std::string m_sNonce;
    std::string m_sClientChallenge = kClientChallenge;
    bool m_bAuthNeeded = false;
    bool m_bAuthSwitched = false;
};

}  // namespace rtmp
