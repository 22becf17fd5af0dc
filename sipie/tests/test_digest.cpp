/*
 * test_digest.cpp - digest credentials: the RFC 2617 and RFC 7616 vectors,
 * whole Authorization headers against rows computed with Python hashlib
 * (testing/golden/sipie/digest_vectors.py: names, forms, order, response),
 * and the refusals that add nothing.
 */
#include "support/sipie_fixture.h"
#include "vq500_sip_digest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>

namespace {

std::vector<std::string> Fields(const std::string& line)
{
    std::vector<std::string> v;
    std::stringstream ss(line);
    for (std::string f; std::getline(ss, f, '|');) v.push_back(f);
    return v;
}

const char* Opt(const std::string& s)
{
    return s == "-" ? nullptr : s.c_str();
}

void Bytes1To8(u8* p, size_t n)
{
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<u8>(i + 1);
}

// Challenge at 0, request line at 8, header set at 72.
struct AuthMsg {
    TestMsg msg{72 + 8};
    SipAuthSchemeIe* Challenge() { return reinterpret_cast<SipAuthSchemeIe*>(msg.At(0)); }
    SipRequestLineIe* Line() { return reinterpret_cast<SipRequestLineIe*>(msg.At(8)); }
    void* Set() { return msg.At(72); }

    // Challenge parameters as name/value, quoted unless the name is "algorithm".
    void Challenge(std::vector<std::pair<const char*, const char*>> params)
    {
        ASSERT_EQ(VQ500SipStringAdd(msg.Msg(), &Challenge()->msText, "Digest"), VQX_RESULT_OK);
        for (const auto& [name, value] : params) {
            if (value == nullptr) continue;
            auto add = std::string(name) == "algorithm" ? VQ500SipParamaterAdd_Tok : VQ500SipParamaterAdd_QStr;
            ASSERT_EQ(add(msg.Msg(), &Challenge()->msParameter, name, value), VQX_RESULT_OK);
        }
    }
    void Line(const std::string& method, const char* szExt, std::string uri)
    {
        u32 m = 0;
        for (i32 i = 1; i < 40 && m == 0; ++i) m = method == VQ500_SIP_METHOD_TYPE_STRING(i) ? u32(i) : 0;
        char *sc, *us, *pw, *ho, *pa;
        u32 port;
        VQ500SipAddrspecStrParseString(uri.data(), &sc, &us, &pw, &ho, &pa, &port);
        ASSERT_EQ(VQ500SipRequestLineFill(msg.Msg(), Line(), m, sc, us, pw, ho, port), VQX_RESULT_OK) << uri;
        if (szExt != nullptr) {
            ASSERT_EQ(VQ500SipMethodFill(msg.Msg(), &Line()->stMethod, m, szExt), VQX_RESULT_OK);
        }
    }
    // "scheme name=value,..." of the credentials of the header found at index i.
    std::string Credentials(u32 type)
    {
        auto* h = static_cast<SipHeaderAuthorizationIe*>(VQ500SipHeaderFind(Set(), type, nullptr, nullptr));
        if (h == nullptr) return "(none)";
        std::string s = VQ500SipStringGet(&h->stAuthScheme.msText);
        for (u16 i = 0; i < VQXMsgElementCount(&h->stAuthScheme.msParameter); ++i) {
            auto* p = static_cast<SipParameterIe*>(VQXMsgElementGet(&h->stAuthScheme.msParameter, i, nullptr));
            s += std::string(i ? "," : " ") + VQ500SipStringGet(&p->msText) + "=" + VQ500SipStringGet(&p->stValue.msText);
        }
        return s;
    }
};

TEST(Digest, RfcVectorsAndHex)
{
    HASHHEX ha1, resp;
    DigestCalcHA1("", "Mufasa", "testrealm@host.com", "Circle Of Life", nullptr, nullptr, ha1);
    DigestCalcResponse(ha1, "dcd98b7102dd2f0e8b11d0f600bfb0c093", "00000001", "0a4f113b", "auth", "GET",
                       "/dir/index.html", nullptr, resp);
    EXPECT_STREQ(resp, "6629fae49393a05397450978507c4ef1") << "RFC 2617 3.5";
    DigestCalcHA1("MD5", "Mufasa", "http-auth@example.org", "Circle of Life", nullptr, nullptr, ha1);
    DigestCalcResponse(ha1, "7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v", "00000001",
                       "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ", "auth", "GET", "/dir/index.html", nullptr,
                       resp);
    EXPECT_STREQ(resp, "8ca523f5e9506fed4657c9700eebdbec") << "RFC 7616 3.9.1";
    u8 bin[16] = {};
    CvtHex(bin, ha1);
    EXPECT_STREQ(ha1, "00000000000000000000000000000000");
    bin[0] = 0xAB;
    bin[15] = 0x0F;
    CvtHex(bin, ha1);
    EXPECT_STREQ(ha1, "ab00000000000000000000000000000f");
}

TEST(Digest, HeadersEqualTheHashlibRows)
{
    VqxSipDigestSetRandom(Bytes1To8);
    const std::vector<u8> file = ReadGolden("digest_rows.txt");
    std::stringstream rows(std::string(file.begin(), file.end()));
    int n = 0;
    for (std::string line; std::getline(rows, line) && n < 100; ++n) {
        const auto f = Fields(line);
        ASSERT_EQ(f.size(), 14u) << line;
        AuthMsg a;
        // One row names the challenge's parameters in upper case: matched case-blind.
        const bool fUpper = n == 2;
        a.Challenge({{fUpper ? "REALM" : "realm", Opt(f[3])}, {fUpper ? "Nonce" : "nonce", Opt(f[4])},
                     {"algorithm", Opt(f[5])}, {"qop", Opt(f[6])}, {"opaque", Opt(f[7])}});
        a.Line(f[8], Opt(f[9]), f[10]);
        VqxSipDigestSetNonceCount(static_cast<u32>(std::stoul(f[12], nullptr, 16)));
        const std::vector<u8> before = a.msg.Bytes();
        EXPECT_EQ(VQ500SipHeaderAdd_Authorization(a.msg.Msg(), a.Set(), a.Challenge(), a.Line(), Opt(f[1]),
                                                  Opt(f[2])),
                  VQX_RESULT_OK)
            << f[0];
        EXPECT_EQ(a.Credentials(6), f[13]) << f[0];
        // All but the header set word and the old end marker stay as they were.
        std::vector<u8> after = a.msg.Bytes(), was = before;
        std::fill_n(after.begin() + 72, 4, 0);
        std::fill_n(was.begin() + 72, 4, 0);
        EXPECT_TRUE(std::equal(was.begin(), was.end() - 8, after.begin())) << f[0] << ": challenge written";
    }
    EXPECT_EQ(n, 5);
    VqxSipDigestSetRandom(nullptr);
}

TEST(Digest, RefusalsAddNothingAndCountsStep)
{
    struct Row {
        const char* name;
        const char* realm;
        const char* nonce;
        const char* alg;
        const char* qop;
        VQX_RESULT r;
    };
    const Row rows[] = {
        {"auth-int only", "r", "n", nullptr, "auth-int", VQX_RESULT_NOT_SUPPORTED},
        {"no auth in the list", "r", "n", nullptr, "auth-int,,auth-conf", VQX_RESULT_NOT_SUPPORTED},
        {"empty qop", "r", "n", nullptr, "", VQX_RESULT_NOT_SUPPORTED},
        {"SHA-256", "r", "n", "SHA-256", "auth", VQX_RESULT_NOT_SUPPORTED},
        {"no nonce", "r", nullptr, nullptr, "auth", VQX_RESULT_MISMATCH},
        {"no realm", nullptr, "n", nullptr, nullptr, VQX_RESULT_MISMATCH},
    };
    VqxSipDigestSetRandom(nullptr);
    VqxSipDigestSetNonceCount(5);
    for (const Row& r : rows) {
        AuthMsg a;
        a.Challenge({{"realm", r.realm}, {"nonce", r.nonce}, {"algorithm", r.alg}, {"qop", r.qop}});
        a.Line("INVITE", nullptr, "sip:b@h");
        const std::vector<u8> before = a.msg.Bytes();
        EXPECT_EQ(VQ500SipHeaderAdd_ProxyAuthorization(a.msg.Msg(), a.Set(), a.Challenge(), a.Line(), "u", "p"), r.r)
            << r.name;
        EXPECT_EQ(a.msg.Bytes(), before) << r.name;
    }
    // Nothing refused used a count; two headers carry counts one apart, and
    // every client nonce is new.
    AuthMsg a;
    a.Challenge({{"realm", "r"}, {"nonce", "n"}, {"qop", "auth"}});
    a.Line("INVITE", nullptr, "sip:b@h");
    std::vector<std::string> nc, cnonce;
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(VQ500SipHeaderAdd_ProxyAuthorization(a.msg.Msg(), a.Set(), a.Challenge(), a.Line(), "u", "p"),
                  VQX_RESULT_OK);
        u16 cur = 0;
        for (int k = 0; k <= i; ++k) VQ500SipHeaderFind(a.Set(), 36, &cur, nullptr);
        auto* h = static_cast<SipHeaderAuthorizationIe*>(VQXMsgElementGet(a.Set(), u16(cur - 1), nullptr));
        nc.push_back(ParamValue(&h->stAuthScheme.msParameter, "nc"));
        cnonce.push_back(ParamValue(&h->stAuthScheme.msParameter, "cnonce"));
    }
    EXPECT_EQ(nc, (std::vector<std::string>{"00000005", "00000006"}));
    EXPECT_NE(cnonce[0], cnonce[1]);
    EXPECT_EQ(cnonce[0].size(), 16u);
}

}  // namespace
