/*
 * test_compose.cpp - searches and composition: an INVITE's headers composed
 * by the adds equal the independent encoder's bytes (testing/golden/sipie),
 * cursor walks end, reads never write, and every refused or failing add
 * leaves the payload as it was.
 */
#include "support/sipie_fixture.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <utility>

namespace {

std::string S(const char* sz)
{
    return sz != nullptr ? sz : "(null)";
}

using Results = std::vector<VQX_RESULT>;

// The calls gen_compose.py encodes, in its order.
void ComposeHeaders(void* m, void* h)
{
    void* pVia = nullptr;
    EXPECT_EQ((Results{
                  VQ500SipHeaderAdd_Via(m, h, 1, 1, "pc33.atlanta.com", 5060, &pVia),
                  VQ500SipHeaderAdd_MaxForwards(m, h, 70),
                  VQ500SipHeaderAdd_To(m, h, "Bob", "sip", "bob", nullptr, "biloxi.com", 0),
                  VQ500SipHeaderAdd_From(m, h, "Alice", "SIP", "alice", nullptr, "atlanta.com", 0),
                  VQ500SipHeaderAdd_FromTag(m, h, "1928301774"),
                  VQ500SipHeaderAdd_CallId(m, h, "a84b4c76e66710@pc33.atlanta.com"),
                  VQ500SipHeaderAdd_CSeq(m, h, 1, 314159),
                  VQ500SipHeaderAdd_Contact(m, h, nullptr, "sip", "alice", nullptr, "192.0.2.4", 0, nullptr),
                  VQ500SipHeaderAdd_Route(m, h, 1, "sip", "ss1.atlanta.com", 0, nullptr),
                  VQ500SipHeaderAdd_ContentType(m, h, 5, 2),
                  VQ500SipHeaderAdd_Extension(m, h, "P-Test", "yes"),
                  VQ500SipAcceptLanguageAdd(m, h, "en"),
                  VQ500SipAcceptLanguageAdd(m, h, "fr"),
                  VQ500SipHeaderAdd_Event(m, h, "refer", "7"),
                  VQ500SipHeaderAdd_SubScState(m, h, 2, 600, 3),
                  VQ500SipHeaderAdd_Replaces(m, h, "c1", "tt", "ft"),
                  VQ500SipHeaderAdd_ReferTo(m, h, nullptr, "sip", "carol", nullptr, "cleveland.com", 0, "c1", "tt",
                                            "ft"),
              }),
              Results(17, VQX_RESULT_OK));
    EXPECT_EQ(VQ500SipHeaderAdd_Warning(m, h, 399, "atlanta.com", "Bad"), VQX_RESULT_OK);
    EXPECT_NE(pVia, nullptr);
}

TEST(Compose, InviteHeadersEqualTheIndependentEncoder)
{
    TestMsg msg(8);
    ComposeHeaders(msg.Msg(), msg.At(0));
    EXPECT_EQ(msg.Bytes(), ReadGolden("compose_headers.bin"));
}

// Searches over the composed set: the cursor walk of one type ends, a
// parameter is found by exact name, the Refer-To's URI headers walk by
// position, and reading twice changes nothing.
TEST(Compose, SearchesWalkAndNeverWrite)
{
    TestMsg msg(8);
    ComposeHeaders(msg.Msg(), msg.At(0));
    void* h = msg.At(0);
    VQ500SipHeaderAdd_Via(msg.Msg(), h, 2, 1, "second.example", 0, nullptr);
    const std::vector<u8> before = msg.Bytes();

    std::vector<u16> cursors;
    u16 cur = 0;
    for (int i = 0; i < 5 && VQ500SipHeaderFind(h, 54, &cur, nullptr) != nullptr; ++i) cursors.push_back(cur);
    EXPECT_EQ(cursors, (std::vector<u16>{1, 17})) << "Via walk";
    EXPECT_EQ(cur, 18) << "count + 1 after the last";
    cur = 40;
    EXPECT_EQ(VQ500SipHeaderFind(h, 54, &cur, nullptr), nullptr);
    EXPECT_EQ(cur, 41) << "start past the count";

    auto* pEvent = static_cast<SipHeaderEventIe*>(VQ500SipHeaderFind(h, 60, nullptr, nullptr));
    ASSERT_NE(pEvent, nullptr);
    // A token value reads as a C text; the set, name, cursor and size are all a caller gives.
    const char* szId = VQ500SipParameterFind(&pEvent->msParameter, "id", nullptr, nullptr);
    EXPECT_STREQ(szId, "7");
    EXPECT_EQ(VQ500SipParameterFind(&pEvent->msParameter, "ID", nullptr, nullptr), nullptr) << "exact names";

    auto* pRefer = static_cast<SipHeaderReferToIe*>(VQ500SipHeaderFind(h, 64, nullptr, nullptr));
    ASSERT_NE(pRefer, nullptr);
    const SipAddrspecIe* a = &pRefer->stNameAddr.u.alt1.stAddrspec;
    // The scheme text says whether there are URI headers: exactly sip, sips
    // or im; any other finds nothing and leaves the cursor alone.
    struct Row {
        const char* scheme;
        const char* name;
        u16 start;
        const char* value;
        u16 next;
    };
    for (const Row& r : {Row{"sip", "Replaces", 0, "c1", 1}, Row{"sip", "Replaces", 1, nullptr, 4},
                         Row{"sip", "to-tag", 0, "tt", 2}, Row{"sips", "from-tag", 2, "ft", 3},
                         Row{"im", "from-tag", 3, nullptr, 4}, Row{"sip", "x", 9, nullptr, 10},
                         Row{"SIP", "Replaces", 0, nullptr, 0}, Row{"tel", "to-tag", 1, nullptr, 1},
                         Row{"sipx", "Replaces", 0, nullptr, 0}, Row{nullptr, "Replaces", 0, nullptr, 0}}) {
        u16 c = r.start;
        char* v = VQ500SipUriHeaderFind(a, r.scheme, r.name, &c, nullptr);
        EXPECT_EQ(v != nullptr ? std::string(v) : "(null)", r.value != nullptr ? r.value : "(null)") << r.name;
        EXPECT_EQ(c, r.next) << S(r.scheme) << " " << r.name << " from " << r.start;
    }
    // A tel address spec holds no URI to read headers from, whatever the
    // scheme text says.
    TestMsg tel(sizeof(SipAddrspecIe));
    auto* pTel = reinterpret_cast<SipAddrspecIe*>(tel.At(0));
    ASSERT_EQ(VQ500SipAddrspecFill(tel.Msg(), pTel, "tel", "+1", nullptr, nullptr, 0), VQX_RESULT_OK);
    u16 c = 0;
    EXPECT_EQ(VQ500SipUriHeaderFind(pTel, "sip", "x", &c, nullptr), nullptr);
    EXPECT_EQ(c, 0);
    auto* pContact = static_cast<SipHeaderContactIe*>(VQ500SipHeaderFind(h, 12, nullptr, nullptr));
    ASSERT_NE(pContact, nullptr);
    EXPECT_EQ(GetU32(&pContact->u.alt2.stContactParam.stNameAddr.u.alt1.stAddrspec.u.alt1.stUri.stHostPort), 2u)
        << "four numbers: IPv4 host type";
    EXPECT_EQ(msg.Bytes(), before) << "readers wrote";
}

// A value comes back as a C text: a token, or a quoted value that needs no
// unquoting (two quotes alone), as its text in the message; a quoted one
// without its quotes as a copy in the calling thread's buffer.
// The message is never written. The parameter search gives what the value
// read of its element gives. The largest value an element holds comes back
// whole, and a kept pointer reads the same after longer reads.
TEST(Compose, ValueReadsAreCTextsOfTheCallingThread)
{
    TestMsg msg(8, 0x20000);
    void* m = msg.Msg();
    // The largest: quotes and NUL fill an element of 0xFFFF bytes.
    const std::string longish(1023, 'v'), longer(4000, 'w'), largest(0xFFFF - 3, 'z');
    struct Row {
        const char* stored;
        bool quoted;
        const char* read;
    };
    const Row rows[] = {
        {"abc", true, "abc"},   {"a", true, "a"},       {"", true, "\"\""},
        {"\"x", false, "\"x"}, {"tok", false, "tok"},  {"\"q\"", false, "\"q\""},  // a token keeps its quotes
        {longish.c_str(), true, longish.c_str()},     {longish.c_str(), false, longish.c_str()},
        {longer.c_str(), true, longer.c_str()},       {longer.c_str(), false, longer.c_str()},
        {largest.c_str(), true, largest.c_str()},
    };
    for (const Row& r : rows) {
        ASSERT_EQ((r.quoted ? VQ500SipParamaterAdd_QStr : VQ500SipParamaterAdd_Tok)(m, msg.At(0), "n", r.stored),
                  VQX_RESULT_OK);
    }
    const std::vector<u8> before = msg.Bytes();
    const char* pPayload = reinterpret_cast<const char*>(msg.Payload());
    const auto value = [&](u16 i) {
        return &static_cast<const SipParameterIe*>(VQXMsgElementGet(msg.At(0), i, nullptr))->stValue;
    };
    for (u16 i = 0; i < std::size(rows); ++i) {
        const Row& r = rows[i];
        const std::string row = std::string(r.stored).substr(0, 8) + (r.quoted ? " quoted" : " token");
        const size_t nLength = strlen(r.read != nullptr ? r.read : r.stored);
        u16 c = i;
        EXPECT_EQ(ParamValue(msg.At(0), "n", &c), S(r.read)) << row;
        EXPECT_EQ(c, i + 1) << row;
        u16 un16Length = 0;
        const char* p = VQ500SipValueGet(value(i), &un16Length);
        EXPECT_EQ(S(p), S(r.read)) << row;
        EXPECT_EQ(un16Length, nLength) << row;
        if (r.quoted && r.stored[0] != '\0') {
            EXPECT_FALSE(p >= pPayload && p < pPayload + msg.Used()) << row << ": a copy inside the message";
        } else {
            EXPECT_EQ(p, VQ500SipStringGet(&value(i)->msText)) << row << ": not the text in the message";
        }
    }
    // Kept pointers, on a thread of their own whose buffer starts empty:
    // each longer read of either kind leaves the earlier ones as they were.
    // Then, after the largest, a copy stays as read while the copies after
    // it come, with it, to 32 KiB, wherever in the buffer it was made
    // (twenty places over the buffer's turns).
    std::thread([&] {
        std::vector<std::pair<u16, const char*>> kept;
        for (const u16 i : {1, 4, 6, 9, 8}) {  // a quoted, tok, 1023 quoted, 4000 token, 4000 quoted
            kept.emplace_back(i, VQ500SipValueGet(value(i)));
            for (const auto& [k, p] : kept) {
                EXPECT_EQ(S(p), S(rows[k].read)) << "kept row " << k << " after row " << i;
            }
        }
        const char* pLargest = VQ500SipValueGet(value(10));
        EXPECT_EQ(S(pLargest), largest);
        // The largest leaves 3 bytes at the buffer's end: a copy of 3 needs 4
        // with its NUL, so it goes back to the start where the largest began.
        EXPECT_EQ(VQ500SipValueGet(value(0)), pLargest) << "the NUL past the buffer's end";
        for (int n = 0; n < 20; ++n) {
            VQ500SipValueGet(value(6));  // moves the next copy on by 1024
            const char* p = VQ500SipValueGet(value(0));
            for (int j = 0; j < 7; ++j) {
                VQ500SipValueGet(value(8));  // 4 + 7 * 4001 bytes in all
            }
            EXPECT_STREQ(p, "abc") << "place " << n;
        }
    }).join();
    u16 un16Length = 7;
    EXPECT_EQ(VQ500SipParameterFind(msg.At(0), "absent", nullptr, nullptr, &un16Length), nullptr);
    EXPECT_EQ(un16Length, 0) << "missing";
    EXPECT_EQ(VQ500SipValueGet(nullptr), nullptr);
    EXPECT_EQ(VQ500SipParameterFind(msg.At(0), nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(msg.Bytes(), before);
    EXPECT_EQ(VQ500SipStringGet(msg.At(4)), nullptr) << "empty field";
}

// An element without its NUL, or shorter than the words a search reads,
// never matches.
TEST(Compose, MalformedElementsNeverMatch)
{
    TestMsg msg(16);
    u8* pText = msg.Alloc(msg.At(0), 3);
    memcpy(pText, "abc", 3);
    EXPECT_EQ(VQ500SipStringGet(msg.At(0)), nullptr);
    PutU32(msg.Alloc(msg.At(4), 2), 54);  // 2 bytes: no type word
    EXPECT_EQ(VQ500SipHeaderFind(msg.At(4), 0, nullptr, nullptr), nullptr);
    u8* pStd = msg.Alloc(msg.At(8), 4);
    PutU32(pStd, 1);  // standard contact parameter without its second word
    EXPECT_EQ(VQ500SipContactParamsFind_StandardParam(msg.At(8), 0, nullptr, nullptr), nullptr);
    u8* pParam = msg.Alloc(msg.At(12), 8);  // parameter record cut short
    EXPECT_EQ(VQ500SipParameterFind(msg.At(12), "", nullptr, nullptr), nullptr);
    (void)pParam;
}

// Every refused or failing add leaves the payload as it was: refusals before
// allocation, and failures after it (no room, a text too long) undone.
TEST(Compose, FailedAddsLeaveThePayloadUnchanged)
{
    const std::string big(65534, 'q');
    const std::string longExt(506, 'v');
    using Add = std::function<VQX_RESULT(void*, void*)>;
    struct Row {
        const char* name;
        u32 capacity;
        Add add;
        VQX_RESULT want;
    };
    const Row rows[] = {
        {"unknown scheme", 4096, [](void* m, void* s) { return VQ500SipHeaderAdd_To(m, s, 0, "ftp", "u", 0, "h", 0); },
         VQX_RESULT_INVALID_PARAM},
        {"lr on tel", 4096, [](void* m, void* s) { return VQ500SipHeaderAdd_Route(m, s, 1, "tel", "h", 0, nullptr); },
         VQX_RESULT_INVALID_PARAM},
        {"host type 4", 4096, [](void* m, void* s) { return VQ500SipHeaderAdd_Via(m, s, 1, 4, "h", 0, nullptr); },
         VQX_RESULT_INVALID_PARAM},
        {"extension of 511", 4096,
         [&](void* m, void* s) { return VQ500SipHeaderAdd_Extension(m, s, "Xxxx", longExt.c_str()); },
         VQX_RESULT_INVALID_PARAM},
        {"quoted 65534", 0x30000, [&](void* m, void* s) { return VQ500SipParamaterAdd_QStr(m, s, "n", big.c_str()); },
         VQX_RESULT_INVALID_PARAM},
        {"no room for the text", 64,
         [](void* m, void* s) { return VQ500SipHeaderAdd_CallId(m, s, "a-call-id-that-does-not-fit-any-more"); },
         VQX_RESULT_BUFFER_TOO_SMALL},
        {"no room for the language text", 72,
         [](void* m, void* s) { return VQ500SipAcceptLanguageAdd(m, s, "de"); }, VQX_RESULT_BUFFER_TOO_SMALL},
        {"no From for the tag", 4096, [](void* m, void* s) { return VQ500SipHeaderAdd_FromTag(m, s, "t"); },
         VQX_RESULT_NOT_FOUND},
        {"Event id without room", 120, [](void* m, void* s) { return VQ500SipHeaderAdd_Event(m, s, "e", "1"); },
         VQX_RESULT_BUFFER_TOO_SMALL},
    };
    for (const Row& r : rows) {
        TestMsg msg(8, r.capacity);
        ASSERT_EQ(VQ500SipHeaderAdd_MaxForwards(msg.Msg(), msg.At(0), 70), VQX_RESULT_OK);
        const std::vector<u8> before = msg.Bytes();
        EXPECT_EQ(r.add(msg.Msg(), msg.At(0)), r.want) << r.name;
        EXPECT_EQ(msg.Bytes(), before) << r.name;
        EXPECT_EQ(VqxMsgElementCheckSet(msg.Msg(), msg.At(0)), VQX_RESULT_OK) << r.name;
    }
}

// Address rules: scheme kinds, host types, the tel number's '+', "other"
// parameters of a tel address, duplication into another message.
TEST(Compose, AddressRulesAndDuplication)
{
    struct Row {
        const char* scheme;
        const char* user;
        const char* host;
        u32 kind;
        u32 detail;  // host type (URI kinds) or number type (tel)
    };
    const Row rows[] = {{"sips", "u", "10.0.0.255", 2, 2}, {"im", "u", "[2001:db8::1]", 4, 3},
                        {"sip", "u", "10.0.0.256", 1, 1}, {"sip", "u", "1.2.3", 1, 1},
                        {"tel", "+4930", nullptr, 3, 2},  {"TEL", "030", nullptr, 3, 1},
                        {"mailto", "a@b", nullptr, 5, 0}, {nullptr, "rest", nullptr, 5, 0}};
    for (const Row& r : rows) {
        TestMsg msg(sizeof(SipAddrspecIe));
        auto* a = reinterpret_cast<SipAddrspecIe*>(msg.At(0));
        ASSERT_EQ(VQ500SipAddrspecFill(msg.Msg(), a, r.scheme, r.user, nullptr, r.host, 0), VQX_RESULT_OK) << r.user;
        EXPECT_EQ(a->eAddrspecType, r.kind) << r.user;
        if (r.kind == 3) {
            EXPECT_EQ(a->u.alt3.stTelUri.eTelNumType, r.detail) << r.user;
            EXPECT_STREQ(VQ500SipStringGet(&a->u.alt3.stTelUri.msText), r.user + (r.detail == 2)) << r.user;
            EXPECT_EQ(VQ500SipAddrSpecAdd_OtherParam(msg.Msg(), a, "x", "y"), VQX_RESULT_OK);
            EXPECT_EQ(VQ500SipHeaderFind(&a->u.alt3.stTelUri.msTelParam, 8, nullptr, nullptr) != nullptr, true);
        } else if (r.kind != 5) {
            EXPECT_EQ(a->u.alt1.stUri.stHostPort.stHost.eHostType, r.detail) << r.host;
        }
    }
    TestMsg src(8), dst(8, 200);
    ComposeHeaders(src.Msg(), src.At(0));
    u16 cur = 0;
    EXPECT_EQ(VQ500SipHeaderDup(64, &cur, src.At(0), dst.Msg(), dst.At(0)), VQX_RESULT_BUFFER_TOO_SMALL);
    EXPECT_EQ(VQXMsgElementCount(dst.At(0)), 0) << "failed copy removed";
    cur = 0;
    EXPECT_EQ(VQ500SipHeaderDup(9, &cur, src.At(0), dst.Msg(), dst.At(0)), VQX_RESULT_OK);
    EXPECT_EQ(VQ500SipHeaderDup(9, &cur, src.At(0), dst.Msg(), dst.At(0)), VQX_RESULT_NOT_FOUND);
}

// Remote-Party-ID: the golden header, token rows, and refusals that add nothing.
TEST(Compose, RemotePartyId)
{
    TestMsg msg(8);
    ASSERT_EQ(VQ500SipHeaderAdd_RemotePartyId(msg.Msg(), msg.At(0), "Alice", "sip", "alice", nullptr, "atlanta.com", 0,
                                              "party=calling; screen=no;privacy=full;id-type=x1"),
              VQX_RESULT_OK);
    EXPECT_EQ(msg.Bytes(), ReadGolden("compose_rpi.bin"));
    auto* h = static_cast<SipHeaderRemPartyIe*>(VQ500SipHeaderFind(msg.At(0), 80, nullptr, nullptr));
    ASSERT_NE(h, nullptr);
    EXPECT_NE(VQ500SipRpiTokenFind(&h->stRpid.msRpiToken, 4, nullptr, nullptr), nullptr);

    struct Row {
        const char* params;
        VQX_RESULT r;
        u16 tokens;
    };
    const std::string longText = "party=" + std::string(300, 'p');
    const Row rows[] = {
        {nullptr, VQX_RESULT_OK, 0},
        {"party=called;id-type=", VQX_RESULT_OK, 1},  // a name without value ends the split
        {longText.c_str(), VQX_RESULT_OK, 1},         // no cut at 255
        {"screen=maybe", VQX_RESULT_INVALID_PARAM, 0},
        {"party=calling;screen =no", VQX_RESULT_NOT_IMPLEMENTED, 0},
        {"Privacy=full", VQX_RESULT_NOT_IMPLEMENTED, 0},
    };
    for (const Row& r : rows) {
        TestMsg m(8);
        const std::vector<u8> before = m.Bytes();
        EXPECT_EQ(VQ500SipHeaderAdd_RemotePartyId(m.Msg(), m.At(0), nullptr, "sip", "u", nullptr, "h", 0, r.params), r.r)
            << (r.params ? r.params : "(null)");
        auto* hh = static_cast<SipHeaderRemPartyIe*>(VQ500SipHeaderFind(m.At(0), 80, nullptr, nullptr));
        if (r.r != VQX_RESULT_OK) {
            EXPECT_EQ(m.Bytes(), before) << r.params;
            continue;
        }
        ASSERT_NE(hh, nullptr);
        EXPECT_EQ(VQXMsgElementCount(&hh->stRpid.msRpiToken), r.tokens) << (r.params ? r.params : "(null)");
    }
    TestMsg m(8);
    SipRpiTokenIe* pTok = reinterpret_cast<SipRpiTokenIe*>(1);
    EXPECT_EQ(VQ500SipRpiTokenAdd(m.Msg(), m.At(0), 5, "x", &pTok), VQX_RESULT_NOT_IMPLEMENTED);
    EXPECT_EQ(pTok, nullptr);
    EXPECT_EQ(VQ500SipRpiTokenAdd(m.Msg(), m.At(0), 2, "other", &pTok), VQX_RESULT_OK);
    ASSERT_NE(pTok, nullptr);
    EXPECT_EQ(pTok->u.alt2.stRpiPartyValue.eEnum, 3u);
    EXPECT_STREQ(VQ500SipStringGet(&pTok->u.alt2.stRpiPartyValue.msText), "other");
}

// Every Remote-Party-ID privacy value, both ways: the token text fills its
// number (by the token add and by the header's parameter text), and the
// number names back, up to the value just past the last. Texts are exact:
// any other, a change of case included, is the extension value with the
// text kept; a listed one keeps no text.
TEST(Compose, RemotePartyIdPrivacyValues)
{
    struct Row {
        u32 value;
        const char* name;
        const char* token;  // the text that fills the value, or none
    };
    const Row rows[] = {
        {0, "RPI_PRIV_TYPE_FIRST", nullptr}, {1, "RPI_PRIV_TYPE_FULL", "full"},
        {2, "RPI_PRIV_TYPE_NAME", "name"},   {3, "RPI_PRIV_TYPE_URI", "uri"},
        {4, "RPI_PRIV_TYPE_OFF", "off"},     {5, "RPI_PRIV_TYPE_EXTN", "Full"},
        {5, "RPI_PRIV_TYPE_EXTN", "offx"},   {6, "RPI_PRIV_TYPE_LAST", nullptr},
        {7, "Unknown", nullptr},
    };
    const u32 constants[] = {VQ500_SIP_RPI_PRIV_TYPE_FIRST, VQ500_SIP_RPI_PRIV_TYPE_FULL, VQ500_SIP_RPI_PRIV_TYPE_NAME,
                             VQ500_SIP_RPI_PRIV_TYPE_URI,   VQ500_SIP_RPI_PRIV_TYPE_OFF,  VQ500_SIP_RPI_PRIV_TYPE_EXTN,
                             VQ500_SIP_RPI_PRIV_TYPE_LAST};
    for (const Row& r : rows) {
        EXPECT_STREQ(VQ500_SIP_RPI_PRIV_TYPE_STRING(static_cast<i32>(r.value)), r.name) << r.value;
        if (r.value < std::size(constants)) {
            EXPECT_EQ(constants[r.value], r.value) << r.name;
        }
        if (r.token == nullptr) {
            continue;
        }
        TestMsg m(8);
        const std::string params = std::string("privacy=") + r.token;
        ASSERT_EQ(
            VQ500SipHeaderAdd_RemotePartyId(m.Msg(), m.At(0), nullptr, "sip", "u", nullptr, "h", 0, params.c_str()),
            VQX_RESULT_OK)
            << r.token;
        SipRpiTokenIe* pAdded = nullptr;
        ASSERT_EQ(VQ500SipRpiTokenAdd(m.Msg(), m.At(4), 4, r.token, &pAdded), VQX_RESULT_OK) << r.token;
        auto* h = static_cast<SipHeaderRemPartyIe*>(VQ500SipHeaderFind(m.At(0), 80, nullptr, nullptr));
        ASSERT_NE(h, nullptr) << r.token;
        for (const SipRpiTokenIe* t :
             {static_cast<const SipRpiTokenIe*>(VQ500SipRpiTokenFind(&h->stRpid.msRpiToken, 4, nullptr, nullptr)),
              static_cast<const SipRpiTokenIe*>(pAdded)}) {
            ASSERT_NE(t, nullptr) << r.token;
            ASSERT_EQ(VQXMsgElementCount(&t->u.alt4.msRpiPrivacyVal), 1) << r.token;
            const auto* e =
                static_cast<const SipRpiPrivacyValIe*>(VQXMsgElementGet(&t->u.alt4.msRpiPrivacyVal, 0, nullptr));
            EXPECT_EQ(e->stRpiPrivElem.eEnum, r.value) << r.token;
            EXPECT_STREQ(VQ500_SIP_RPI_PRIV_TYPE_STRING(static_cast<i32>(e->stRpiPrivElem.eEnum)), r.name) << r.token;
            EXPECT_EQ(S(VQ500SipStringGet(&e->stRpiPrivElem.msText)), r.value == 5 ? r.token : "(null)") << r.token;
        }
    }
}

}  // namespace
