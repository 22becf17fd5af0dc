/*
 * test_golden.cpp - a whole INVITE tree (request line, Via, From with tag,
 * To, CSeq, Contact with q, Route with lr, a multipart body with an opaque
 * part and an SDP part) against the golden payloads of tests/data, built by
 * an independent encoder (gen_invite.py) in host order and byte-reversed.
 */
#include "support/sipie_fixture.h"

#include <gtest/gtest.h>

namespace {

struct GoldenCase {
    const char* szName;
    const char* szFrom;
    const char* szTo;
    IeCopyContext ctx;
};

// Copied into an empty message, in the copy's depth-first order, each
// conversion gives the other file byte for byte.
TEST(Golden, InviteCopiesAndConverts)
{
    const GoldenCase cases[] = {
        {"reversed to host", "invite_swapped.bin", "invite_host.bin", SwapContext(0)},
        {"host to reversed", "invite_host.bin", "invite_swapped.bin", SwapContext(2)},
        {"host to host", "invite_host.bin", "invite_host.bin", HostContext()},
    };
    for (const GoldenCase& c : cases) {
        TestMsg src(ReadGolden(c.szFrom));
        TestMsg dst(160);
        IeCopyContext ctx = c.ctx;
        ctx.pSrcMsg = src.Msg();
        LogCapture::Lines().clear();
        EXPECT_EQ(static_cast<u32>(VQ500SipMessageRequestCopy(&ctx, src.Payload(), dst.Msg(), dst.Payload())),
                  VQX_RESULT_OK)
            << c.szName;
        EXPECT_EQ(dst.Bytes(), ReadGolden(c.szTo)) << c.szName;
        EXPECT_TRUE(LogCapture::Lines().empty()) << c.szName;
    }
}

// Converted in place, the tree gives the other file; and back again.
TEST(Golden, InviteInPlace)
{
    TestMsg msg(ReadGolden("invite_swapped.bin"));
    IeCopyContext ctx = SwapContext(0, msg.Msg());
    EXPECT_EQ(static_cast<u32>(VQ500SipMessageRequestCopy(&ctx, msg.Payload(), msg.Msg(), msg.Payload())), VQX_RESULT_OK);
    EXPECT_EQ(msg.Bytes(), ReadGolden("invite_host.bin"));
    ctx.un32SrcOrder = 2;
    EXPECT_EQ(static_cast<u32>(VQ500SipMessageRequestCopy(&ctx, msg.Payload(), msg.Msg(), msg.Payload())), VQX_RESULT_OK);
    EXPECT_EQ(msg.Bytes(), ReadGolden("invite_swapped.bin"));
}

// The header set alone, through the set duplication and the header
// dispatcher as the call/media control layer does it, and the body alone.
TEST(Golden, HeaderSetAndBody)
{
    TestMsg src(ReadGolden("invite_host.bin"));
    TestMsg whole(160);
    IeCopyContext ctx = HostContext(src.Msg());
    ASSERT_EQ(static_cast<u32>(VQ500SipMessageRequestCopy(&ctx, src.Payload(), whole.Msg(), whole.Payload())), VQX_RESULT_OK);
    TestMsg headers(160);
    EXPECT_EQ(VQXMsgElementDupSet(src.At(68), headers.Msg(), headers.At(68), VQ500SipHeaderCopy, &ctx), VQX_RESULT_OK);
    EXPECT_EQ(VQXMsgElementCount(headers.At(68)), 6u);
    TestMsg body(160);
    EXPECT_EQ(static_cast<u32>(VQ500SipBodyCopy(&ctx, src.At(72), body.Msg(), body.At(72))), VQX_RESULT_OK);
    EXPECT_EQ(VQXMsgElementCount(body.At(76)), 2u);
    // The header elements carry the same bytes as in the whole copy.
    for (u16 i = 0; i < 6; ++i) {
        u16 un16A = 0;
        u16 un16B = 0;
        const u8* pA = static_cast<const u8*>(VQXMsgElementGet(headers.At(68), i, &un16A));
        const u8* pB = static_cast<const u8*>(VQXMsgElementGet(whole.At(68), i, &un16B));
        ASSERT_TRUE(pA != nullptr && pB != nullptr && un16A == un16B) << i;
        EXPECT_EQ(GetU32(pA), GetU32(pB)) << i;
    }
}

// The call/media control layer copies single headers between calls: it
// appends a zero-filled element of the record's size to the destination set,
// then copies the found header onto it within host order.
TEST(Golden, SingleHeaderCopiesOntoNewElements)
{
    struct HeaderRow {
        const char* szName;
        i32 (*pfnCopy)(const IeCopyContext*, const void*, void*, void*);
        u32 un32Type;
        u16 un16Size;
        u32 un32NameAddr; // offset of a name-addr made addr-spec only (0: none)
    };
    const HeaderRow rows[] = {
        {"Privacy", VQ500SipHeaderPrivacyCopy, 87, 16, 0},
        {"P-Preferred-Identity", VQ500SipHeaderPPreferredIdCopy, 89, 72, 4},
        {"P-Asserted-Identity", VQ500SipHeaderPAssertedIdCopy, 88, 72, 4},
        {"RPID privacy", VQ500SipHeaderRpidPrivCopy, 79, 12, 0},
        {"Remote-Party-ID", VQ500SipHeaderRemPartyCopy, 80, 76, 4},
    };
    const IeCopyContext ctx{0, 2, nullptr, nullptr};
    for (const HeaderRow& row : rows) {
        TestMsg src(4);
        u8* pSrc = src.Alloc(src.At(0), row.un16Size);
        PutU32(pSrc, row.un32Type);
        if (row.un32NameAddr != 0) {
            PutU32(pSrc + row.un32NameAddr, 2);       // addr-spec only
            PutU32(pSrc + row.un32NameAddr + 12, 1);  // sip URI
            src.AddString(pSrc + row.un32NameAddr + 16 + 8, "carol");
            PutU32(pSrc + row.un32NameAddr + 32, 1);  // host name
        } else if (row.un32Type == 87) {
            PutU32(pSrc + 4, 3);                      // privacy "user"
            src.AddString(pSrc + 8, "user");
        }
        TestMsg dst(4);
        u8* pDst = dst.Alloc(dst.At(0), row.un16Size);
        EXPECT_EQ(static_cast<u32>(row.pfnCopy(&ctx, pSrc, dst.Msg(), pDst)), VQX_RESULT_OK) << row.szName;
        EXPECT_EQ(dst.Bytes(), src.Bytes()) << row.szName;
    }
}

} // namespace
