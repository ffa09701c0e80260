#include "rtmp/session/RtmpAuth.h"

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/base64.h>
#include <cryptopp/filters.h>
#include <cryptopp/md5.h>

#include <array>
#include <ctime>

#include "foundation/Log.h"
#include "rtmp/ConnectionSettings.h"

namespace rtmp {

namespace {

using Digest = std::array<uint8_t, CryptoPP::Weak1::MD5::DIGESTSIZE>;

Digest Md5(std::string_view text) {
    Digest d{};
    CryptoPP::Weak1::MD5 md5;
    md5.CalculateDigest(d.data(), reinterpret_cast<const CryptoPP::byte*>(text.data()), text.size());
    return d;
}

bool Contains(std::string_view text, std::string_view what) { return text.find(what) != std::string_view::npos; }

bool NamesAdobe(std::string_view text) {
    // Some servers write the scheme name with a dot inside it; both spellings mean adobe.
    return Contains(text, "authmod=adobe") || Contains(text, "authmod=a.dobe");
}

// Copies the value after `key` up to the next '&' or the end. false (and `out` untouched) when
// the key is absent.
bool TakeValue(std::string_view text, std::string_view key, std::string& out) {
    size_t pos = text.find(key);
    if (pos == std::string_view::npos) return false;
    std::string_view rest = text.substr(pos + key.size());
    out.assign(rest.substr(0, rest.find('&')));
    return true;
}

}  // namespace

std::string Md5Hex(std::string_view text) {
    static constexpr char kDigits[] = "0123456789abcdef";
    Digest d = Md5(text);
    std::string out;
    out.reserve(d.size() * 2);
    for (uint8_t b : d) {
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0x0F]);
    }
    return out;
}

std::string Md5Base64(std::string_view text) {
    Digest d = Md5(text);
    std::string out;
    // Line breaks on, 72 per line: a 16-byte digest gives 24 characters and one '\n', dropped below.
    CryptoPP::StringSource src(d.data(), d.size(), true,
                               new CryptoPP::Base64Encoder(new CryptoPP::StringSink(out), true, 72));
    if (out.size() > 24) out.resize(24);
    return out;
}

std::string BuildAuthQuery(int32_t authType, std::string_view userName) {
    std::string q = authType == AUTH_LLNW ? "authmod=llnw&user=" : "authmod=adobe&user=";
    q.append(userName);
    return q;
}

std::string BuildAuthQuery(int32_t authType, const ConnectionSettings& settings) {
    return BuildAuthQuery(authType, settings.userName);
}

bool CRtmpAuth::ParseRefusal(std::string_view text) {
    bool answerable = false;
    if (Contains(text, "need auth")) {
        // First step refused: the server names the scheme it wants.
        if (NamesAdobe(text)) {
            m_bAuthNeeded = true;
            answerable = true;
            if (m_iAuthType == AUTH_LLNW) {
                m_iAuthType = AUTH_ADOBE;
                m_bAuthSwitched = true;
            }
        }
        if (Contains(text, "authmod=llnw")) {
            m_bAuthNeeded = true;
            answerable = true;
            if (m_iAuthType == AUTH_ADOBE) {
                m_iAuthType = AUTH_LLNW;
                m_bAuthSwitched = true;
            }
        }
        return answerable;
    }
    if (!Contains(text, "?reason=needauth")) return false;

    // The challenge: a present key always replaces the stored value, a missing one keeps it.
    bool salt = TakeValue(text, "salt=", m_sSalt);
    bool challenge = TakeValue(text, "challenge=", m_sChallenge);
    bool opaque = TakeValue(text, "opaque=", m_sOpaque);
    if (m_iAuthType == AUTH_ADOBE) {
        if ((salt && challenge && opaque) || NamesAdobe(text)) {
            m_bAuthNeeded = true;
            answerable = true;
        }
        if (Contains(text, "authmod=llnw")) {
            m_bAuthNeeded = true;
            answerable = true;
            m_iAuthType = AUTH_LLNW;
            m_bAuthSwitched = true;
        }
    }
    if (m_iAuthType == AUTH_LLNW) {
        if (Contains(text, "authmod=adobe")) {
            m_bAuthNeeded = true;
            answerable = true;
            m_iAuthType = AUTH_ADOBE;
            m_bAuthSwitched = true;
        }
        if (Contains(text, "authmod=llnw")) {
            m_sNonce.clear();
            TakeValue(text, "nonce=", m_sNonce);
            m_bAuthNeeded = true;
            answerable = true;
        }
    }
    return answerable;
}

std::string CRtmpAuth::ComputeAuthResponse(std::string_view app, std::string_view user, std::string_view password,
                                           std::string_view salt, std::string_view challenge,
                                           std::string_view opaque, std::string_view clientChallenge,
                                           int64_t nowSeconds) const {
    std::string query;
    if (m_iAuthType == AUTH_LLNW) {
        const std::string cnonce = Md5Hex(std::to_string(static_cast<int32_t>(static_cast<uint32_t>(nowSeconds))));
        const std::string ha1 = Md5Hex(std::string(user) + ":live:" + std::string(password));
        const std::string ha2 = Md5Hex("publish:/" + std::string(app));
        const std::string response =
            Md5Hex(ha1 + ":" + m_sNonce + ":" + kLlnwNc + ":" + cnonce + ":auth:" + ha2);
        query = "authmod=llnw&user=";
        query.append(user).append("&nonce=").append(m_sNonce).append("&nc=").append(kLlnwNc);
        query.append("&cnonce=").append(cnonce).append("&response=").append(response);
        LogTrace(3, "CRTMPClient: llnw response for user %.*s", static_cast<int>(user.size()), user.data());
        return query;
    }
    const std::string hash1 = Md5Base64(std::string(user) + std::string(salt) + std::string(password));
    const std::string response = Md5Base64(hash1 + std::string(challenge) + std::string(clientChallenge));
    query = "authmod=adobe&user=";
    query.append(user).append("&challenge=").append(clientChallenge).append("&response=").append(response);
    query.append("&opaque=").append(opaque);
    LogTrace(3, "CRTMPClient: adobe response for user %.*s", static_cast<int>(user.size()), user.data());
    return query;
}

std::string CRtmpAuth::ComputeAuthResponse(std::string_view app) const {
    return ComputeAuthResponse(app, m_sUser, m_sPassword, m_sSalt, m_sChallenge, m_sOpaque, m_sClientChallenge,
                               static_cast<int64_t>(std::time(nullptr)));
}

}  // namespace rtmp
