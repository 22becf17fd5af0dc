/*
 * test_osip_oracle.cpp - libosip2 as an oracle: URIs typed from RFC 3261
 * 19.1.3, the RFC 4475 torture messages and RFC 5118, plus generated mixes,
 * split by VQ500SipAddrspecStrParseString and by osip_uri_parse agree on
 * every part, and our composed text parses back to the same parts;
 * Content-Type values agree with osip_content_type_parse. Rows where the two
 * differ by design say why.
 */
#include "support/sipie_fixture.h"
#include "vq500_sip_text.h"

#include <gtest/gtest.h>
#include <osipparser2/osip_parser.h>

#include <sstream>
#include <string>

namespace {

struct Parts {
    std::string scheme, user, password, host, params;
    u32 port = 0;
    bool operator==(const Parts&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Parts& p)
{
    return os << p.scheme << "|" << p.user << "|" << p.password << "|" << p.host << "|" << p.params << "|" << p.port;
}

std::string S(const char* sz)
{
    return sz != nullptr ? sz : "";
}

Parts Ours(const std::string& uri)
{
    std::string text = uri;
    char *sc, *us, *pw, *ho, *pa;
    Parts p;
    VQ500SipAddrspecStrParseString(text.data(), &sc, &us, &pw, &ho, &pa, &p.port);
    p.scheme = S(sc), p.user = S(us), p.password = S(pw), p.host = S(ho), p.params = S(pa);
    // osip gives an IPv6 reference without its brackets.
    if (p.host.size() > 2 && p.host.front() == '[' && p.host.back() == ']') p.host = p.host.substr(1, p.host.size() - 2);
    return p;
}

/* A URI header name or value as it stands in URI text (osip unescapes
 * them): what RFC 3261 25.1 does not allow unescaped is escaped again. */
std::string Hvalue(const std::string& text)
{
    std::string out;
    for (const unsigned char c : text) {
        if (isalnum(c) || strchr("-_.!~*'()[]/?:+$", c) != nullptr) {
            out += static_cast<char>(c);
        } else {
            char sz[4];
            snprintf(sz, sizeof sz, "%%%02X", c);
            out += sz;
        }
    }
    return out;
}

bool Osip(const std::string& uri, Parts& p)
{
    osip_uri_t* u = nullptr;
    osip_uri_init(&u);
    const bool ok = osip_uri_parse(u, uri.c_str()) == 0;
    if (ok) {
        p.scheme = S(u->scheme), p.user = S(u->username), p.password = S(u->password), p.host = S(u->host);
        p.port = u->port != nullptr ? static_cast<u32>(std::stoul(u->port)) : 0;
        for (int i = 0; i < osip_list_size(&u->url_params); ++i) {
            auto* prm = static_cast<osip_uri_param_t*>(osip_list_get(&u->url_params, i));
            p.params += (i ? ";" : "") + S(prm->gname) + (prm->gvalue ? "=" + S(prm->gvalue) : "");
        }
        // Our split keeps the URI headers in the parameter text behind the
        // parameters (and drops them where there are none).
        for (int i = 0; !p.params.empty() && i < osip_list_size(&u->url_headers); ++i) {
            auto* h = static_cast<osip_uri_header_t*>(osip_list_get(&u->url_headers, i));
            p.params += (i ? "&" : "?") + Hvalue(S(h->gname)) + (h->gvalue ? "=" + Hvalue(S(h->gvalue)) : "");
        }
    }
    osip_uri_free(u);
    return ok;
}

const char* const kCorpus[] = {
    // RFC 3261 19.1.3
    "sip:alice@atlanta.com",
    "sip:alice:secretword@atlanta.com;transport=tcp",
    "sips:alice@atlanta.com?subject=project%20x&priority=urgent",
    "sip:+1-212-555-1212:1234@gateway.com;user=phone",
    "sips:1212@gateway.com",
    "sip:alice@192.0.2.4",
    "sip:atlanta.com;method=REGISTER?to=alice%40atlanta.com",
    "sip:alice;day=tuesday@atlanta.com",
    // RFC 4475 (3.1.1.1, 3.1.1.2, 3.1.1.6, 3.1.2.x request URIs)
    "sip:vivekg@chair-dnrc.example.com;unknownparam",
    "sip:vivekg@chair-dnrc.example.com:5060",
    "sip:1_unusual.URI~(to-be!sure)&isn't+it$/crazy?,/;;*:&it+has=1,weird!*pas$wo~d_too.(doesn't-it)@example.com",
    "sip:j_user@example.com;maddr=192.0.2.1;ttl=1",
    "sip:example.com;lr",
    // RFC 5118
    "sip:[2001:db8::10]",
    "sip:[2001:db8::10]:5070",
    "sip:user@[2001:db8::10];transport=tcp",
    "sip:[2001:db8::9:1];lr",
    "sips:user@[2001:db8::10]:5061?h=v",
};

TEST(OsipOracle, UrisAgreeAndRoundTrip)
{
    std::vector<std::string> corpus(std::begin(kCorpus), std::end(kCorpus));
    // Generated mixes: user, password, host, port, parameters, headers.
    for (const char* user : {"", "alice", "+1-212", "a;b=c"})
        for (const char* pw : {"", "pw"})
            for (const char* host : {"atlanta.com", "192.0.2.4", "[2001:db8::1]"})
                for (const char* port : {"", ":5060", ":1"})
                    for (const char* params : {"", ";transport=tcp;lr"})
                        for (const char* headers : {"", "?h=v"}) {
                            if (*user == '\0' && *pw != '\0') continue;
                            std::string u = std::string("sip:") + user + (*pw ? ":" : "") + pw + (*user ? "@" : "");
                            corpus.push_back(u + host + port + params + headers);
                        }
    int checked = 0;
    for (const std::string& uri : corpus) {
        Parts want;
        ASSERT_TRUE(Osip(uri, want)) << uri;
        const Parts got = Ours(uri);
        EXPECT_EQ(got, want) << uri;
        // Our composition of our parts parses back to them.
        char out[512];
        std::string ph = got.host.find(':') != std::string::npos ? "[" + got.host + "]" : got.host;
        VQ500SipAddrspecStrCreateString(got.scheme.c_str(), got.user.c_str(), got.password.c_str(), ph.c_str(),
                                        got.params.c_str(), got.port, sizeof out, out);
        Parts back;
        ASSERT_TRUE(Osip(out, back)) << out;
        EXPECT_EQ(back, want) << uri << " composed as " << out;
        ++checked;
    }
    EXPECT_GT(checked, 200);
}

// Differences by design, each with its reason.
TEST(OsipOracle, DifferencesByDesign)
{
    struct Row {
        const char* uri;
        const char* ours;
        const char* why;
    };
    const Row rows[] = {
        {"sip:host:65536", "sip|||host||0", "ports above 65535 read as none; osip keeps the text"},
        {"sip:%61lice@atlanta.com;transport=TCP", "sip|%61lice||atlanta.com|transport=TCP|0",
         "the split is in place and keeps escapes (RFC 4475 3.1.1.1); osip unescapes the user"},
        {"sip:user;par=u%40example.net@example.com", "sip|user;par=u%40example.net||example.com||0",
         "escaped '@' stays escaped in the user; osip unescapes it"},
        {"tel:+1-201-555-0123", "tel|+1-201-555-0123||||0", "a tel number is our user; osip keeps tel URIs as text"},
    };
    for (const Row& r : rows) {
        Parts p = Ours(r.uri);
        std::ostringstream os;
        os << p.scheme << "|" << p.user << "|" << p.password << "|" << p.host << "|" << p.params << "|" << p.port;
        EXPECT_EQ(os.str(), r.ours) << r.uri << ": " << r.why;
        Parts o;
        EXPECT_TRUE(!Osip(r.uri, o) || !(o == p)) << r.uri << " no longer differs: " << r.why;
    }
}

TEST(OsipOracle, ContentTypesAgree)
{
    const char* const rows[] = {"application/sdp", "multipart/mixed;boundary=b1", "text/plain", "Application/SDP",
                                "message/sipfrag;version=2.0", "application/x-custom;a=1;b=2", "image/jpeg",
                                "multipart/related;type=application/sdp"};
    for (const char* text : rows) {
        osip_content_type_t* ct = nullptr;
        osip_content_type_init(&ct);
        ASSERT_EQ(osip_content_type_parse(ct, text), 0) << text;
        std::string want = S(ct->type) + "/" + S(ct->subtype);
        for (int i = 0; i < osip_list_size(&ct->gen_params); ++i) {
            auto* prm = static_cast<osip_generic_param_t*>(osip_list_get(&ct->gen_params, i));
            want += ";" + S(prm->gname) + "=" + S(prm->gvalue);
        }
        osip_content_type_free(ct);

        TestMsg msg(8);
        ASSERT_EQ(VQ500SipHeaderAddStr_ContentType(msg.Msg(), msg.At(0), text), VQX_RESULT_OK) << text;
        auto* h = static_cast<SipHeaderContenttypeIe*>(VQ500SipHeaderFind(msg.At(0), 20, nullptr, nullptr));
        char out[64];
        ASSERT_EQ(VQ500SipHeaderCreateString_ContentType(h, sizeof out, out), VQX_RESULT_OK);
        std::string got = out;
        for (u16 i = 0; i < VQXMsgElementCount(&h->msParameter); ++i) {
            auto* prm = static_cast<SipParameterIe*>(VQXMsgElementGet(&h->msParameter, i, nullptr));
            u16 un16Length = 0;
            const char* szValue = VQ500SipValueGet(&prm->stValue, &un16Length);
            got += ";" + S(VQ500SipStringGet(&prm->msText)) + "=" + ValueText(szValue, un16Length);
        }
        // Our names of the listed types are lower case; osip keeps the text's case.
        for (auto* s : {&want, &got})
            for (char& c : *s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(got, want) << text;
    }
}

}  // namespace
