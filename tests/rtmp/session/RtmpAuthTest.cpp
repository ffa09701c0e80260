// Authentication answers against digests computed independently (python hashlib + base64), and
// the refusal parser's scheme switching.
#include "rtmp/session/RtmpAuth.h"

#include <gtest/gtest.h>

#include <tuple>

using namespace rtmp;

TEST(RtmpAuth, Responses) {
    CRtmpAuth adobe(AUTH_ADOBE);
    // hash1 = B64(MD5("alice"+"s4lt"+"secret")); response = B64(MD5(hash1 + "ch4l" + "UXZSTA=="))
    EXPECT_EQ(adobe.ComputeAuthResponse("live", "alice", "secret", "s4lt", "ch4l", "op", "UXZSTA==", 0),
              "authmod=adobe&user=alice&challenge=UXZSTA==&response=kN9SzJJdEiUWUuzcbOS2+Q==&opaque=op");
    const std::string noOpaque = adobe.ComputeAuthResponse("live", "alice", "secret", "s4lt", "ch4l", "", "UXZSTA==", 0);
    EXPECT_EQ(noOpaque.substr(noOpaque.size() - 8), "&opaque=");

    CRtmpAuth llnw(AUTH_LLNW);
    llnw.m_sNonce = "n0nce";
    // cnonce = md5hex("1700000000"); ha1 = md5hex("bob:live:pw"); ha2 = md5hex("publish:/live")
    EXPECT_EQ(llnw.ComputeAuthResponse("live", "bob", "pw", "", "", "", "UXZSTA==", 1700000000),
              "authmod=llnw&user=bob&nonce=n0nce&nc=0000001&cnonce=24920decf83f6960b80f737a28eeafc1&response=6d559ade6c18947b17a88208d103e78f");
    // The cnonce digests the low 32 bits read as a signed number.
    const std::string q = llnw.ComputeAuthResponse("live", "bob", "pw", "", "", "", "", 0x80000000LL);
    EXPECT_NE(q.find("&cnonce=034ff5946105f089278eea60c488a90b&"), std::string::npos) << q;
}

TEST(RtmpAuth, RefusalsSwitchSchemeAndStoreChallenges) {
    // stored: salt|challenge|opaque|nonce after the refusal, from "s|c|o|n".
    const struct { int32_t from; const char* text; bool answerable; int32_t to; bool switched; const char* stored; } cases[] = {
        {AUTH_ADOBE, "[ AccessManager.Reject ] : [ code=403 need auth; authmod=adobe ] : ", true, AUTH_ADOBE, false, "s|c|o|n"},
        {AUTH_ADOBE, "[ AccessManager.Reject ] : [ code=403 need auth; authmod=llnw ] : ", true, AUTH_LLNW, true, "s|c|o|n"},
        {AUTH_LLNW, "code=403 need auth; authmod=a.dobe", true, AUTH_ADOBE, true, "s|c|o|n"},
        {AUTH_ADOBE, "need auth; authmod=digest", false, AUTH_ADOBE, false, "s|c|o|n"},
        {AUTH_ADOBE, "[ AccessManager.Reject ] : [ authmod=adobe ] : ?reason=needauth&user=alice&salt=S1&challenge=C2&opaque=O3", true, AUTH_ADOBE, false,
         "S1|C2|O3|n"},
        {AUTH_ADOBE, "?reason=needauth&salt=x&challenge=y", false, AUTH_ADOBE, false, "x|y|o|n"},
        {AUTH_ADOBE, "?reason=needauth&salt=&challenge=y2&opaque=z", true, AUTH_ADOBE, false, "|y2|z|n"},
        {AUTH_LLNW, "[ AccessManager.Reject ] : [ authmod=llnw ] : ?reason=needauth&user=bob&nonce=abc123", true, AUTH_LLNW, false, "s|c|o|abc123"},
        {AUTH_LLNW, "authmod=llnw ?reason=needauth&user=bob", true, AUTH_LLNW, false, "s|c|o|"},
        {AUTH_ADOBE, "[ authmod=llnw ] : ?reason=needauth&user=bob&nonce=n1&x=y", true, AUTH_LLNW, true, "s|c|o|n1"},
        {AUTH_LLNW, "[ authmod=adobe ] : ?reason=needauth&salt=a&challenge=b&opaque=c", true, AUTH_ADOBE, true, "a|b|c|n"},
        {AUTH_ADOBE, "[ Server.Reject ] : (_defaultRoot_, _defaultVHost_) : Application folder (x) is missing.", false, AUTH_ADOBE, false, "s|c|o|n"},
        {AUTH_ADOBE, "[ AccessManager.Reject ] : [ code=403 ] : ", false, AUTH_ADOBE, false, "s|c|o|n"},
        {AUTH_ADOBE, "", false, AUTH_ADOBE, false, "s|c|o|n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        CRtmpAuth a(c.from);
        a.m_sSalt = "s", a.m_sChallenge = "c", a.m_sOpaque = "o", a.m_sNonce = "n";
        const bool answerable = a.ParseRefusal(c.text);
        EXPECT_EQ(std::tuple(answerable, a.m_bAuthNeeded, a.m_iAuthType, a.m_bAuthSwitched),
                  std::tuple(c.answerable, c.answerable, c.to, c.switched));
        EXPECT_EQ(a.m_sSalt + "|" + a.m_sChallenge + "|" + a.m_sOpaque + "|" + a.m_sNonce, c.stored);
    }
}
