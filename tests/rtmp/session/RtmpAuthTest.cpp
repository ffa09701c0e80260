// Authentication answers checked byte for byte against digests computed independently
// (python hashlib + base64), and the refusal parser's scheme switching.
#include "rtmp/session/RtmpAuth.h"

#include <gtest/gtest.h>

#include "rtmp/ConnectionSettings.h"

using namespace rtmp;

TEST(RtmpAuthDigest, KnownVectors) {
    EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Md5Base64("abc"), "kAFQmDzST7DWlj99KOF/cg==");
    EXPECT_EQ(Md5Base64("abc").size(), 24u);  // no trailing line break
    EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(RtmpAuthQuery, FirstStepNamesSchemeAndUser) {
    EXPECT_EQ(BuildAuthQuery(AUTH_ADOBE, "alice"), "authmod=adobe&user=alice");
    EXPECT_EQ(BuildAuthQuery(AUTH_LLNW, "bob"), "authmod=llnw&user=bob");
    ConnectionSettings cs;
    cs.userName = "u&x";  // no escaping is applied
    EXPECT_EQ(BuildAuthQuery(AUTH_ADOBE, cs), "authmod=adobe&user=u&x");
}

TEST(RtmpAuthResponse, AdobeSaltedDigest) {
    CRtmpAuth auth(AUTH_ADOBE);
    // hash1 = B64(MD5("alice"+"s4lt"+"secret")) = nMFgoFYWB/+t4XoQgEzhGg==
    // response = B64(MD5(hash1 + "ch4l" + "UXZSTA=="))
    EXPECT_EQ(auth.ComputeAuthResponse("live", "alice", "secret", "s4lt", "ch4l", "op", "UXZSTA==", 0),
              "authmod=adobe&user=alice&challenge=UXZSTA==&response=kN9SzJJdEiUWUuzcbOS2+Q==&opaque=op");
    // No opaque: the key is still written with an empty value.
    std::string q = auth.ComputeAuthResponse("live", "alice", "secret", "s4lt", "ch4l", "", "UXZSTA==", 0);
    EXPECT_EQ(q.substr(q.size() - 8), "&opaque=");
}

TEST(RtmpAuthResponse, LlnwDigestWithTimeBasedCnonce) {
    CRtmpAuth auth(AUTH_LLNW);
    auth.m_sNonce = "n0nce";
    // cnonce = md5hex("1700000000"); ha1 = md5hex("bob:live:pw"); ha2 = md5hex("publish:/live")
    EXPECT_EQ(auth.ComputeAuthResponse("live", "bob", "pw", "", "", "", "UXZSTA==", 1700000000),
              "authmod=llnw&user=bob&nonce=n0nce&nc=0000001&cnonce=24920decf83f6960b80f737a28eeafc1"
              "&response=6d559ade6c18947b17a88208d103e78f");
    // The cnonce is the digest of the low 32 bits read as a signed number.
    std::string q = auth.ComputeAuthResponse("live", "bob", "pw", "", "", "", "", 0x80000000LL);
    EXPECT_NE(q.find("&cnonce=034ff5946105f089278eea60c488a90b&"), std::string::npos) << q;
    // Different seconds, different cnonce; nc stays fixed.
    std::string a = auth.ComputeAuthResponse("live", "bob", "pw", "", "", "", "", 100);
    std::string b = auth.ComputeAuthResponse("live", "bob", "pw", "", "", "", "", 101);
    EXPECT_NE(a, b);
    EXPECT_NE(a.find("&nc=0000001&"), std::string::npos);
}

TEST(RtmpAuthRefusal, NeedAuthSwitchesScheme) {
    CRtmpAuth auth(AUTH_ADOBE);
    EXPECT_TRUE(auth.ParseRefusal("[ AccessManager.Reject ] : [ code=403 need auth; authmod=adobe ] : "));
    EXPECT_TRUE(auth.m_bAuthNeeded);
    EXPECT_FALSE(auth.m_bAuthSwitched);
    EXPECT_EQ(auth.m_iAuthType, AUTH_ADOBE);

    CRtmpAuth l(AUTH_ADOBE);
    EXPECT_TRUE(l.ParseRefusal("[ AccessManager.Reject ] : [ code=403 need auth; authmod=llnw ] : "));
    EXPECT_TRUE(l.m_bAuthNeeded);
    EXPECT_TRUE(l.m_bAuthSwitched);
    EXPECT_EQ(l.m_iAuthType, AUTH_LLNW);
    // ... and back, with the dotted spelling some servers use.
    l.m_bAuthSwitched = false;
    EXPECT_TRUE(l.ParseRefusal("code=403 need auth; authmod=a.dobe"));
    EXPECT_TRUE(l.m_bAuthSwitched);
    EXPECT_EQ(l.m_iAuthType, AUTH_ADOBE);

    // "need auth" without a scheme we know is not answerable.
    CRtmpAuth n(AUTH_ADOBE);
    EXPECT_FALSE(n.ParseRefusal("need auth; authmod=digest"));
    EXPECT_FALSE(n.m_bAuthNeeded);
}

TEST(RtmpAuthRefusal, AdobeChallengeValuesAreStored) {
    CRtmpAuth auth(AUTH_ADOBE);
    auth.m_sOpaque = "old";
    EXPECT_TRUE(auth.ParseRefusal(
        "[ AccessManager.Reject ] : [ authmod=adobe ] : ?reason=needauth&user=alice&salt=S1&challenge=C2&opaque=O3"));
    EXPECT_TRUE(auth.m_bAuthNeeded);
    EXPECT_EQ(auth.m_sSalt, "S1");
    EXPECT_EQ(auth.m_sChallenge, "C2");
    EXPECT_EQ(auth.m_sOpaque, "O3");  // at the end of the text: taken to the end

    // Missing opaque keeps the older value; present keys replace theirs. Without all three keys and
    // without the scheme name, the refusal is not answerable.
    CRtmpAuth b(AUTH_ADOBE);
    b.m_sOpaque = "keep";
    EXPECT_FALSE(b.ParseRefusal("?reason=needauth&salt=x&challenge=y"));
    EXPECT_FALSE(b.m_bAuthNeeded);
    EXPECT_EQ(b.m_sSalt, "x");
    EXPECT_EQ(b.m_sChallenge, "y");
    EXPECT_EQ(b.m_sOpaque, "keep");
    EXPECT_TRUE(b.ParseRefusal("?reason=needauth&salt=&challenge=y2&opaque=z"));
    EXPECT_EQ(b.m_sSalt, "");
    EXPECT_EQ(b.m_sOpaque, "z");
}

TEST(RtmpAuthRefusal, LlnwNonce) {
    CRtmpAuth auth(AUTH_LLNW);
    auth.m_sNonce = "stale";
    EXPECT_TRUE(auth.ParseRefusal("[ AccessManager.Reject ] : [ authmod=llnw ] : ?reason=needauth&user=bob&nonce=abc123"));
    EXPECT_TRUE(auth.m_bAuthNeeded);
    EXPECT_FALSE(auth.m_bAuthSwitched);
    EXPECT_EQ(auth.m_sNonce, "abc123");
    // A llnw refusal without a nonce clears the stored one.
    EXPECT_TRUE(auth.ParseRefusal("authmod=llnw ?reason=needauth&user=bob"));
    EXPECT_EQ(auth.m_sNonce, "");

    // An adobe client that receives an llnw challenge switches and takes the nonce.
    CRtmpAuth a(AUTH_ADOBE);
    EXPECT_TRUE(a.ParseRefusal("[ authmod=llnw ] : ?reason=needauth&user=bob&nonce=n1&x=y"));
    EXPECT_EQ(a.m_iAuthType, AUTH_LLNW);
    EXPECT_TRUE(a.m_bAuthSwitched);
    EXPECT_EQ(a.m_sNonce, "n1");

    // An llnw client told adobe switches back.
    CRtmpAuth c(AUTH_LLNW);
    EXPECT_TRUE(c.ParseRefusal("[ authmod=adobe ] : ?reason=needauth&salt=a&challenge=b&opaque=c"));
    EXPECT_EQ(c.m_iAuthType, AUTH_ADOBE);
    EXPECT_TRUE(c.m_bAuthSwitched);
}

TEST(RtmpAuthRefusal, OtherRefusalsAreNotAuthentication) {
    CRtmpAuth auth(AUTH_ADOBE);
    EXPECT_FALSE(auth.ParseRefusal("[ Server.Reject ] : (_defaultRoot_, _defaultVHost_) : Application folder (x) is missing."));
    EXPECT_FALSE(auth.ParseRefusal("[ AccessManager.Reject ] : [ code=403 ] : "));
    EXPECT_FALSE(auth.ParseRefusal(""));
    EXPECT_FALSE(auth.m_bAuthNeeded);
    EXPECT_FALSE(auth.m_bAuthSwitched);
}
