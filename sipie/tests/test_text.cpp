/*
 * test_text.cpp - texts: URI split and composition rows (IPv6 references,
 * '?' headers, ports, tel numbers), address spec to text, Content-Type,
 * Diversion and User-to-User lines, status bodies.
 */
#include "support/sipie_fixture.h"
#include "vq500_sip_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string S(const char* sz)
{
    return sz != nullptr ? sz : "(null)";
}

// scheme|user|password|host|params|port of a split.
std::string Split(const char* szUri)
{
    std::string text = szUri;
    char *sc, *us, *pw, *ho, *pa;
    u32 port = 99;
    VQ500SipAddrspecStrParseString(text.data(), &sc, &us, &pw, &ho, &pa, &port);
    return S(sc) + "|" + S(us) + "|" + S(pw) + "|" + S(ho) + "|" + S(pa) + "|" + std::to_string(port);
}

TEST(Text, UriSplit)
{
    const std::pair<const char*, const char*> rows[] = {
        {"sip:alice@atlanta.com:5070;transport=tcp", "sip|alice|(null)|atlanta.com|transport=tcp|5070"},
        {"alice@atlanta.com", "(null)|alice|(null)|atlanta.com|(null)|0"},
        {"sip:atlanta.com", "sip|(null)|(null)|atlanta.com|(null)|0"},
        {"SIPS:alice:secret@atlanta.com", "SIPS|alice|secret|atlanta.com|(null)|0"},
        {"tel:+1-201-555-0123", "tel|+1-201-555-0123|(null)|(null)|(null)|0"},
        {"no separator", "(null)|(null)|(null)|(null)|(null)|0"},
        {"sip:[2001:db8::1]:5061;lr", "sip|(null)|(null)|[2001:db8::1]|lr|5061"},
        {"sip:bob@[2001:db8::10]", "sip|bob|(null)|[2001:db8::10]|(null)|0"},
        /* the colon after ']' starts the port, also without a scheme */
        {"[2001:db8::1]:5060", "(null)|(null)|(null)|[2001:db8::1]|(null)|5060"},
        {"sip:bob@[::1]:5062;lr", "sip|bob|(null)|[::1]|lr|5062"},
        /* URI headers stay behind the parameters; without parameters they are dropped */
        {"sip:bob@host;x=1?subject=a@b", "sip|bob|(null)|host|x=1?subject=a@b|0"},
        {"sip:bob@host:5070;transport=tcp;lr?h=v&i=w", "sip|bob|(null)|host|transport=tcp;lr?h=v&i=w|5070"},
        {"sip:[::1]:5062;lr?h=v", "sip|(null)|(null)|[::1]|lr?h=v|5062"},
        {"sip:bob@host:5060?h=v", "sip|bob|(null)|host|(null)|5060"},
        {"sip:host?h=v;x", "sip|(null)|(null)|host|(null)|0"},
        {"sip:host:65536", "sip|(null)|(null)|host|(null)|0"},
        {"sip:host:50a", "sip|(null)|(null)|host|(null)|0"},
        {"example.com:5060", "(null)|(null)|(null)|example.com|(null)|5060"},
        {"alice:pw@example.com", "(null)|alice|pw|example.com|(null)|0"},
    };
    for (const auto& [uri, want] : rows) EXPECT_EQ(Split(uri), want) << uri;
}

TEST(Text, UriComposition)
{
    struct Row {
        const char *scheme, *user, *password, *host, *params;
        u32 port;
        u16 size;
        const char* want;
    };
    const Row rows[] = {
        {"sip", "alice", nullptr, "atlanta.com", nullptr, 5060, 64, "sip:alice@atlanta.com:5060"},
        {"sip", "alice", "pw", "h", "lr", 0, 64, "sip:alice:pw@h;lr"},
        {"sip", "bob", nullptr, "host", "x=1?h=v", 5060, 64, "sip:bob@host:5060;x=1?h=v"},
        {"tel", "+1234", nullptr, nullptr, nullptr, 0, 64, "tel:+1234"},
        {"sip", nullptr, nullptr, "2001:db8::1", nullptr, 5061, 64, "sip:[2001:db8::1]:5061"},
        {"sip", nullptr, nullptr, "[::1]", nullptr, 65536, 64, "sip:[::1]"},
        {"sip", "alice", nullptr, "atlanta.com", nullptr, 5060, 10, "sip:alice"},
        {"", "", "", "", "", 0, 4, ""},
    };
    for (const Row& r : rows) {
        char out[64];
        memset(out, 'X', sizeof out);
        VQ500SipAddrspecStrCreateString(r.scheme, r.user, r.password, r.host, r.params, r.port, r.size, out);
        EXPECT_STREQ(out, r.want);
        EXPECT_EQ(out[r.size - 1 < 63 ? r.size : 63], 'X') << r.want << ": wrote past size";
    }
}

TEST(Text, AddrspecToTextAndUserAddress)
{
    struct Row {
        const char *scheme, *user, *host;
        u32 port;
        VQX_RESULT r;
        const char* want;
    };
    const Row rows[] = {
        {"sip", "alice", "atlanta.com", 5060, VQX_RESULT_OK, "sip:alice@atlanta.com:5060"},
        {"tel", "+4930123", nullptr, 0, VQX_RESULT_OK, "tel:+4930123"},
        {"tel", "030123", nullptr, 0, VQX_RESULT_OK, "tel:030123"},
        {"im", "bob", "2001:db8::2", 0, VQX_RESULT_OK, "im:bob@[2001:db8::2]"},
        {"mailto", "a@b.c", nullptr, 0, VQX_RESULT_OK, "mailto:a@b.c"},
        {"http", "//example.com:80/x", nullptr, 0, VQX_RESULT_OK, "http://example.com:80/x"},
        {"sip", "alice", nullptr, 0, VQX_RESULT_INVALID_PARAM, ""},
    };
    for (const Row& r : rows) {
        TestMsg msg(sizeof(SipAddrspecIe));
        auto* a = reinterpret_cast<SipAddrspecIe*>(msg.At(0));
        ASSERT_EQ(VQ500SipAddrspecFill(msg.Msg(), a, r.scheme, r.user, nullptr, r.host, r.port), VQX_RESULT_OK);
        char out[64] = "junk";
        EXPECT_EQ(VQ500SipAddrspecCreateString(a, sizeof out, out), r.r) << r.want;
        EXPECT_STREQ(out, r.want);
        VQ500_SIP_USER_ADDR ua;
        const bool fUser = a->eAddrspecType <= 3;
        EXPECT_EQ(VQ500SipAddrspecCreateUserAddr(a, &ua), fUser ? VQX_RESULT_OK : VQX_RESULT_INVALID_OPERATION);
        if (fUser && a->eAddrspecType != 3) {
            EXPECT_EQ(ua.un32Port, r.port) << r.want;
        }
    }
}

TEST(Text, ContentType)
{
    struct Row {
        const char* text;
        VQX_RESULT r;
        u32 type, sub;
        const char* ext;   // stored extension texts "type/sub"
        const char* param; // value of "boundary"
        const char* shown;
    };
    const Row rows[] = {
        {"application/sdp", VQX_RESULT_OK, 5, 2, "", nullptr, "application/sdp"},
        {" Multipart / MIXED ;boundary=b1", VQX_RESULT_OK, 7, 1, "", "b1", "multipart/mixed"},
        {"text/plain", VQX_RESULT_OK, 1, 7, "/plain", nullptr, "text/plain"},
        /* a type is compared over the length given: a shortened one names the type */
        {"app/sdp", VQX_RESULT_OK, 5, 2, "", nullptr, "application/sdp"},
        {"MULTI/mixed;boundary=x", VQX_RESULT_OK, 7, 1, "", "x", "multipart/mixed"},
        {"t/html", VQX_RESULT_OK, 1, 7, "/html", nullptr, "text/html"},
        {"m/sdp", VQX_RESULT_OK, 6, 2, "", nullptr, "message/sdp"},
        {"applications/sdp", VQX_RESULT_OK, 8, 2, "applications/", nullptr, "applications/sdp"},
        {"apq/sdp", VQX_RESULT_OK, 8, 2, "apq/", nullptr, "apq/sdp"},
        /* a subtype is named whole: the registered message/sip stays itself */
        {"message/sip", VQX_RESULT_OK, 6, 7, "/sip", nullptr, "message/sip"},
        {"application", VQX_RESULT_INVALID_PARAM, 0, 0, "", nullptr, ""},
        {"/sdp", VQX_RESULT_INVALID_PARAM, 0, 0, "", nullptr, ""},
        {"a b/c", VQX_RESULT_INVALID_PARAM, 0, 0, "", nullptr, ""},
    };
    for (const Row& r : rows) {
        TestMsg msg(8);
        const std::vector<u8> before = msg.Bytes();
        ASSERT_EQ(VQ500SipHeaderAddStr_ContentType(msg.Msg(), msg.At(0), r.text), r.r) << r.text;
        if (r.r != VQX_RESULT_OK) {
            EXPECT_EQ(msg.Bytes(), before) << r.text;
            continue;
        }
        auto* ct = static_cast<SipHeaderContenttypeIe*>(VQ500SipHeaderFind(msg.At(0), 20, nullptr, nullptr));
        ASSERT_NE(ct, nullptr) << r.text;
        EXPECT_EQ(ct->stMediatype.eMediaType, r.type) << r.text;
        EXPECT_EQ(ct->stMediasubtype.eMediaSubType, r.sub) << r.text;
        const char* t = VQ500SipStringGet(&ct->stMediatype.msText);
        const char* s = VQ500SipStringGet(&ct->stMediasubtype.msText);
        EXPECT_EQ(std::string(t ? t : "") + "/" + (s ? s : ""), std::string(r.ext).find('/') == std::string::npos
                                                                     ? "/" : r.ext) << r.text;
        EXPECT_EQ(ParamValue(&ct->msParameter, "boundary"), S(r.param)) << r.text;
        char out[32];
        EXPECT_EQ(VQ500SipHeaderCreateString_ContentType(ct, sizeof out, out), VQX_RESULT_OK);
        EXPECT_STREQ(out, r.shown);
    }
    SipHeaderContenttypeIe bad{};
    char out[8];
    EXPECT_EQ(VQ500SipHeaderCreateString_ContentType(&bad, sizeof out, out), VQX_RESULT_INVALID_MESSAGE);
}

TEST(Text, DiversionAndUserToUserLines)
{
    // address|reason|counter|limit|privacy|screen
    const std::pair<const char*, const char*> div[] = {
        {"Diversion: <sip:a@h;reason=x>;reason=user-busy;counter=2", "sip:a@h;reason=x|user-busy|2|-|-|-"},
        {"diversion:<tel:+1>; Privacy=full;screen=no;limit=3", "tel:+1|-|-|3|full|no"},
        {"Diversion: sip:b@h;xreason=1;reason=", "sip:b@h|-|-|-|-|-"},
        {"Diversions: <x>", "not found"},
        {"Via: Diversion", "not found"},
        {"Diversion <x>", "not found"},
    };
    for (const auto& [line, want] : div) {
        std::string text = line;
        char* p[6];
        const VQX_RESULT r = VQ500SipHeaderGetStr_Diversion(text.data(), &p[0], &p[1], &p[2], &p[3], &p[4], &p[5]);
        std::string got = r == VQX_RESULT_NOT_FOUND ? "not found" : "";
        for (int i = 0; r == VQX_RESULT_OK && i < 6; ++i) got += (i ? "|" : "") + (p[i] ? std::string(p[i]) : "-");
        EXPECT_EQ(got, want) << line;
    }
    const std::pair<const char*, const char*> uui[] = {
        {"User-to-User: 56a390f3d2b7310023;encoding=hex;purpose=isdn-uui;content=isdn-uui",
         "56a390f3d2b7310023|hex|isdn-uui|isdn-uui"},
        {"user-to-user:00;Content=x;xencoding=y", "00|-|-|x"},
        {"User-to-User", "not found"},
    };
    for (const auto& [line, want] : uui) {
        std::string text = line;
        char* p[4];
        const VQX_RESULT r = VQ500SipHeaderGetStr_UUI(text.data(), &p[0], &p[1], &p[2], &p[3]);
        std::string got = r == VQX_RESULT_NOT_FOUND ? "not found" : "";
        for (int i = 0; r == VQX_RESULT_OK && i < 4; ++i) got += (i ? "|" : "") + (p[i] ? std::string(p[i]) : "-");
        EXPECT_EQ(got, want) << line;
    }
    TestMsg msg(8);
    EXPECT_EQ(VQ500SipHeaderAddStr_Diversion(msg.Msg(), msg.At(0), "sip:a@h", "unconditional", "1", nullptr, "", "yes"),
              VQX_RESULT_OK);
    EXPECT_EQ(VQ500SipHeaderAddStr_UUI(msg.Msg(), msg.At(0), "00ff", "hex", nullptr, nullptr), VQX_RESULT_OK);
    EXPECT_EQ(VQ500SipHeaderAddStr_UUI(msg.Msg(), msg.At(0), nullptr, "hex", nullptr, nullptr), VQX_RESULT_NULL_PARAM);
    const std::string big(600, 'd');
    EXPECT_EQ(VQ500SipHeaderAddStr_UUI(msg.Msg(), msg.At(0), big.c_str(), nullptr, nullptr, nullptr),
              VQX_RESULT_INVALID_PARAM) << "over 510: refused, not cut";
    const char* want[] = {"Diversion:<sip:a@h>;reason=unconditional;counter=1;screen=yes", "User-to-User:00ff;encoding=hex"};
    u16 cur = 0;
    for (const char* w : want) {
        auto* h = static_cast<SipHeaderExtnIe*>(VQ500SipHeaderFind(msg.At(0), 92, &cur, nullptr));
        ASSERT_NE(h, nullptr);
        EXPECT_STREQ(VQ500SipStringGet(&h->msText), w);
    }
    EXPECT_EQ(VQXMsgElementCount(msg.At(0)), 2);
}

TEST(Text, StatusBodies)
{
    char out[64];
    VQ500FormatStatusCodeBody(200, out, sizeof out);
    EXPECT_STREQ(out, (std::string("SIP/2.0 200 ") + SIP_STATUS_STRING(200)).c_str());
    VQ500FormatStatusCodeBody(99, out, 12);
    EXPECT_STREQ(out, "SIP/2.0  99");
    const std::pair<const char*, int> rows[] = {{"SIP/2.0 486 Busy Here", 486}, {"SIP/2.0  99 x", 99},
                                                {"SIP/2.0 1234", 123},          {"SIP/2.0 x", -1},
                                                {"SIP/2.1 200 OK", -1},         {"", -1},
                                                /* blanks before the code do not count into its width */
                                                {"SIP/2.0  486 Busy Here", 486}, {"SIP/2.0    5", 5},
                                                {"SIP/2.0 \t 603", 603},        {"SIP/2.0  ", -1},
                                                {"SIP/2.0 -5", -1},              {"SIP/2.0486", -1}};
    for (const auto& [text, code] : rows) {
        u16 c = 7;
        EXPECT_EQ(VQ500GetStatusCodeBody(text, &c), code < 0 ? VQX_RESULT_INVALID_PARAM : VQX_RESULT_OK) << text;
        EXPECT_EQ(c, code < 0 ? 0 : code) << text;
    }
    // NOTIFY body: Content-Type message/sipfrag and the text with its NUL;
    // a text over 127 characters adds nothing, and neither does a full message.
    struct Row {
        const char* extra;
        u32 capacity;
        VQX_RESULT r;
    };
    const std::string longExtra(110, 'e');
    for (const Row& r : {Row{"Trying", 4096, VQX_RESULT_OK}, Row{longExtra.c_str(), 4096, VQX_RESULT_INVALID_PARAM},
                         Row{"Trying", 140, VQX_RESULT_BUFFER_TOO_SMALL}}) {
        TestMsg msg(sizeof(SipBodyIe) + 8, r.capacity);
        auto* body = reinterpret_cast<SipBodyIe*>(msg.At(8));
        const std::vector<u8> before = msg.Bytes();
        EXPECT_EQ(VQ500SipBodyFill_SinglePart_NotifyEventMsg(msg.Msg(), body, msg.At(0), 100, r.extra), r.r);
        if (r.r != VQX_RESULT_OK) {
            EXPECT_EQ(msg.Bytes(), before) << r.capacity;
            continue;
        }
        auto* ct = static_cast<SipHeaderContenttypeIe*>(VQ500SipHeaderFind(msg.At(0), 20, nullptr, nullptr));
        ASSERT_NE(ct, nullptr);
        EXPECT_EQ(ct->stMediatype.eMediaType * 10 + ct->stMediasubtype.eMediaSubType, 65u);
        EXPECT_EQ(body->eBodyType * 10 + body->u.alt2.stBodySinglePart.eBodyPartType, 22u);
        EXPECT_EQ(S(VQ500SipStringGet(&body->u.alt2.stBodySinglePart.u.alt2.msText)),
                  std::string("SIP/2.0 100 ") + SIP_STATUS_STRING(100) + " Trying");
    }
}

}  // namespace
