/*
 * test_crafted.cpp - crafted payloads: elements smaller than their records,
 * the deepest nesting a payload holds (on a 64 KiB thread stack), set words
 * that share elements, corrupt set words in a message from outside, and a
 * destination without room. Each ends in a failure code, never outside the
 * elements (the sanitizers watch).
 */
#include "support/sipie_fixture.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <functional>
#include <iterator>

namespace {

// A header element of 4 bytes for every header type: the record of the type
// does not fit, nothing is read or written past the element.
TEST(Crafted, UndersizedHeaderAndAttributeElements)
{
    const IeCopyContext ctx = HostContext();
    for (u32 un32Type = 0; un32Type <= 93; ++un32Type) {
        TestMsg src(4);
        TestMsg dst(4);
        PutU32(src.Alloc(src.At(0), 4), un32Type);
        const u32 un32Want = un32Type == 0 || un32Type == 93 ? VQX_RESULT_INVALID_PARAM : VQX_RESULT_INVALID_MESSAGE;
        EXPECT_EQ(VQXMsgElementDupSet(src.At(0), dst.Msg(), dst.At(0), VQ500SipHeaderCopy, const_cast<IeCopyContext*>(&ctx)),
                  un32Want)
            << "header type " << un32Type;
        EXPECT_EQ(static_cast<u32>(VQ500SipHeaderMsgsetCopy(&ctx, src.At(0), dst.Msg(), dst.At(0))), un32Want)
            << "header type " << un32Type;
    }
    for (u32 un32Type = 0; un32Type <= 91; ++un32Type) {
        TestMsg src(4);
        TestMsg dst(4);
        PutU32(src.Alloc(src.At(0), 4), un32Type);
        const bool fTypeOnly = un32Type >= 5 && un32Type <= 7 ? true : un32Type == 89;
        const bool fUnknown = un32Type == 0 || un32Type == 74 || un32Type == 75 || un32Type >= 90;
        const u32 un32Want = fTypeOnly ? VQX_RESULT_OK : fUnknown ? VQX_RESULT_INVALID_PARAM : VQX_RESULT_INVALID_MESSAGE;
        EXPECT_EQ(static_cast<u32>(VQ500SdpAttributeMsgsetCopy(&ctx, src.At(0), dst.Msg(), dst.At(0))), un32Want)
            << "attribute type " << un32Type;
    }
    // The log tells which record did not fit, at each level.
    TestMsg src(4);
    TestMsg dst(4);
    PutU32(src.Alloc(src.At(0), 4), 12);
    LogCapture::Lines().clear();
    EXPECT_EQ(static_cast<u32>(VQ500SipHeaderCopy(const_cast<IeCopyContext*>(&ctx), VQXMsgElementGet(src.At(0), 0, nullptr),
                                                  dst.Msg(), dst.At(0), 4)),
              VQX_RESULT_INVALID_MESSAGE);
    EXPECT_EQ(LogCapture::Masked(),
              (std::vector<std::string>{
                  "VQ500SipHeaderContactCopy: VQ500SipHeaderContactCopy Failed (82000010) value=0x00000000 vq500_sip_ie_cpy.cpp:N",
                  "VQ500SipHeaderCopy: VQ500SipHeaderContactCopy Failed (82000010) value=0x00000000 vq500_sip_ie_cpy.cpp:N"}));
}

// Every record copy in its element form: one byte short of its record it
// refuses the element; at its size a zero-filled record copies or meets a
// choice value 0 that selects nothing; a null element is refused.
template <typename Entry, size_t N>
void CheckElementForms(const Entry (&entries)[N])
{
    IeCopyContext ctx = SwapContext(0);
    ctx.pfnLog = nullptr;
    for (const Entry& e : entries) {
        TestMsg src(4);
        TestMsg dst(4);
        u8* pSrc = src.Alloc(src.At(0), e.un16Size);
        u8* pDst = dst.Alloc(dst.At(0), e.un16Size);
        EXPECT_EQ(static_cast<u32>(e.pfnCopy(&ctx, pSrc, dst.Msg(), pDst, static_cast<u16>(e.un16Size - 1))),
                  VQX_RESULT_INVALID_MESSAGE)
            << e.szCopy;
        const u32 r = static_cast<u32>(e.pfnCopy(&ctx, pSrc, dst.Msg(), pDst, e.un16Size));
        EXPECT_TRUE(r == VQX_RESULT_OK || r == VQX_RESULT_INVALID_PARAM) << e.szCopy << std::hex << " " << r;
        EXPECT_EQ(static_cast<u32>(e.pfnCopy(&ctx, nullptr, dst.Msg(), pDst, e.un16Size)), VQX_RESULT_NULL_PARAM)
            << e.szCopy;
    }
}

TEST(Crafted, EveryRecordInElementForm)
{
    CheckElementForms(g_kaVq500SipIeCopies);
    CheckElementForms(g_kaVq500SdpIeCopies);
    EXPECT_EQ(std::size(g_kaVq500SipIeCopies) + std::size(g_kaVq500SdpIeCopies), 317u);
}

/* The library's bound: 64 nested sets fit a 64 KiB thread stack. The
 * sanitizers' redzones make every frame larger; they get twice the room. */
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kSmallStack = 128 * 1024;
#else
constexpr size_t kSmallStack = 64 * 1024;
#endif

/* Runs fn on a thread of that stack. */
void OnSmallStack(const std::function<void()>& fn)
{
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, kSmallStack), 0);
    pthread_t thread;
    auto run = [](void* pv) -> void* {
        (*static_cast<const std::function<void()>*>(pv))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, run, const_cast<std::function<void()>*>(&fn)), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
}

/* Multipart bodies nested un32Levels deep (a body at payload 0); beside the
 * part that goes deeper, each level has un32Side parts whose body is a
 * multipart of one part without a body: sets side by side, one deeper than
 * the level's own. Returns the levels built. */
u32 NestBodies(TestMsg& msg, u32 un32Levels, u32 un32Side)
{
    auto* pBody = reinterpret_cast<_VQ500_SIP_BODY*>(msg.Payload());
    auto part = [&msg](_VQ500_SIP_BODY* pIn) -> _VQ500_SIP_BODY* {
        void* pv = nullptr;
        if (VQXMsgElementAlloc(msg.Msg(), &pIn->u.alt3.msBodyMultiPart, sizeof(_VQ500_SIP_BODY_MULTI_PART), &pv) !=
            VQX_RESULT_OK) {
            return nullptr;
        }
        _VQ500_SIP_BODY* pPartBody = &static_cast<_VQ500_SIP_BODY_MULTI_PART*>(pv)->stBody;
        pPartBody->eBodyType = 1;
        return pPartBody;
    };
    u32 un32Built = 0;
    for (; un32Built < un32Levels; ++un32Built) {
        pBody->eBodyType = 3;
        for (u32 i = 0; i < un32Side; ++i) {
            _VQ500_SIP_BODY* pSide = part(pBody);
            if (pSide == nullptr) {
                return un32Built;
            }
            pSide->eBodyType = 3;
            if (part(pSide) == nullptr) {
                pSide->eBodyType = 1;
                return un32Built;
            }
        }
        _VQ500_SIP_BODY* pNext = part(pBody);
        if (pNext == nullptr) {
            pBody->eBodyType = un32Side == 0 ? 1 : 3;
            break;
        }
        pBody = pNext;
    }
    return un32Built;
}

/* Capability attributes holding attribute sets, the same shape: beside the
 * one that goes deeper, un32Side capability attributes each holding a set
 * of one type-only attribute. */
u32 NestAttributes(TestMsg& msg, u32 un32Levels, u32 un32Side)
{
    auto capability = [&msg](void* pSet) -> u8* {
        void* pv = nullptr;
        if (VQXMsgElementAlloc(msg.Msg(), pSet, 12, &pv) != VQX_RESULT_OK) {
            return nullptr;
        }
        PutU32(pv, 73);                        // capability parameter
        PutU32(static_cast<u8*>(pv) + 4, 2);   // holding a set of attributes
        return static_cast<u8*>(pv) + 8;
    };
    u8* pSet = msg.Payload();
    u32 un32Built = 0;
    for (; un32Built < un32Levels; ++un32Built) {
        for (u32 i = 0; i < un32Side; ++i) {
            u8* pSideSet = capability(pSet);
            void* pv = nullptr;
            if (pSideSet == nullptr || VQXMsgElementAlloc(msg.Msg(), pSideSet, 4, &pv) != VQX_RESULT_OK) {
                return un32Built;
            }
            PutU32(pv, 5);  // an attribute of its type word alone
        }
        pSet = capability(pSet);
        if (pSet == nullptr) {
            break;
        }
    }
    return un32Built;
}

struct NestRow {
    const char* szName;
    u32 (*pfnBuild)(TestMsg&, u32, u32);
    i32 (*pfnCopy)(const IeCopyContext*, const void*, void*, void*);
    u32 un32Levels;
    u32 un32Side;
    u32 un32Result;
};

// The bound is on depth: sets side by side, far more than 64 in sum, copy.
TEST(Crafted, DeepestNesting)
{
    const NestRow rows[] = {
        {"bodies 64", NestBodies, VQ500SipBodyCopy, 64, 0, VQX_RESULT_OK},
        {"bodies 65", NestBodies, VQ500SipBodyCopy, 65, 0, VQX_RESULT_INVALID_MESSAGE},
        {"bodies to the payload's end", NestBodies, VQ500SipBodyCopy, 100000, 0, VQX_RESULT_INVALID_MESSAGE},
        {"bodies 2 deep, 200 sets side by side", NestBodies, VQ500SipBodyCopy, 1, 200, VQX_RESULT_OK},
        {"bodies 63 deep, 2 side sets a level", NestBodies, VQ500SipBodyCopy, 63, 2, VQX_RESULT_OK},
        {"bodies 64 deep, a side set at 65", NestBodies, VQ500SipBodyCopy, 64, 1, VQX_RESULT_INVALID_MESSAGE},
        {"attributes 64", NestAttributes, VQ500SdpAttributeMsgsetCopy, 64, 0, VQX_RESULT_OK},
        {"attributes 65", NestAttributes, VQ500SdpAttributeMsgsetCopy, 65, 0, VQX_RESULT_INVALID_MESSAGE},
        {"attributes to the payload's end", NestAttributes, VQ500SdpAttributeMsgsetCopy, 100000, 0,
         VQX_RESULT_INVALID_MESSAGE},
        {"attributes 2 deep, 200 sets side by side", NestAttributes, VQ500SdpAttributeMsgsetCopy, 1, 200, VQX_RESULT_OK},
        {"attributes 63 deep, 2 side sets a level", NestAttributes, VQ500SdpAttributeMsgsetCopy, 63, 2, VQX_RESULT_OK},
        {"attributes 64 deep, a side set at 65", NestAttributes, VQ500SdpAttributeMsgsetCopy, 64, 1,
         VQX_RESULT_INVALID_MESSAGE},
    };
    for (const NestRow& row : rows) {
        TestMsg src(88, VQX_MSG_ELEMENT_MAX_PAYLOAD);
        const u32 un32Built = row.pfnBuild(src, row.un32Levels, row.un32Side);
        EXPECT_GE(un32Built, std::min<u32>(row.un32Levels, 2000)) << row.szName;
        TestMsg dst(88, VQX_MSG_ELEMENT_MAX_PAYLOAD);
        u32 un32Result = 0;
        OnSmallStack([&] {
            const IeCopyContext ctx{1, 2, nullptr, src.Msg()};
            un32Result = static_cast<u32>(row.pfnCopy(&ctx, src.Payload(), dst.Msg(), dst.Payload()));
        });
        EXPECT_EQ(un32Result, row.un32Result) << row.szName;
        if (un32Result == VQX_RESULT_OK) {
            // Converted back in place, the copy is the source again.
            const IeCopyContext back{1, 0, nullptr, dst.Msg()};
            EXPECT_EQ(static_cast<u32>(row.pfnCopy(&back, dst.Payload(), dst.Msg(), dst.Payload())), VQX_RESULT_OK)
                << row.szName;
            EXPECT_EQ(dst.Bytes(), src.Bytes()) << row.szName;
        }
    }
}

// Two parts per level whose bodies name the same next level: 2^20 visits
// would follow from a few kilobytes; the copy stops at the payload's worth.
TEST(Crafted, SharedSets)
{
    TestMsg src(88, 0x10000);
    u8* pBody = src.Payload();
    u8* pShare = nullptr;
    PutU32(pBody, 3);
    for (int level = 0; level < 20; ++level) {
        u8* pPart1 = src.Alloc(pBody + 4, 92);
        u8* pPart2 = src.Alloc(pBody + 4, 92);
        if (pShare != nullptr) {
            // The previous level's second part names this level's parts too.
            const u32 un32Word = __builtin_bswap32(GetU32(pBody + 4));
            const u32 un32Header = src.Offset(pBody + 4) + (un32Word & 0xFFFF) * 4;
            PutU32(pShare, __builtin_bswap32((un32Word & 0xFFFF0000u) | ((un32Header - src.Offset(pShare)) / 4)));
        }
        PutU32(pPart1 + 4, 3);
        PutU32(pPart2 + 4, 3);
        pBody = pPart1 + 4;
        pShare = pPart2 + 8;
    }
    TestMsg dst(88, VQX_MSG_ELEMENT_MAX_PAYLOAD);
    const IeCopyContext ctx{0, 2, nullptr, src.Msg()};
    EXPECT_EQ(static_cast<u32>(VQ500SipBodyCopy(&ctx, src.Payload(), dst.Msg(), dst.Payload())), VQX_RESULT_INVALID_MESSAGE);
    // In place the same.
    EXPECT_EQ(static_cast<u32>(VQ500SipBodyCopy(&ctx, src.Payload(), src.Msg(), src.Payload())), VQX_RESULT_INVALID_MESSAGE);
}

// Every word of the golden message made into a wild set word: a checked copy
// ends in a result, failures are the set checks' codes.
TEST(Crafted, CorruptSetWords)
{
    const std::vector<u8> golden = ReadGolden("invite_host.bin");
    const u32 mutations[] = {0x8001FFFFu, 0xFFFF0001u, 0x80010001u, 0x00010002u};
    u32 un32Failed = 0;
    for (u32 off = 0; off + 8 < golden.size(); off += 4) {
        for (u32 un32Word : mutations) {
            TestMsg src(golden);
            PutU32(src.At(off), __builtin_bswap32(un32Word));
            TestMsg dst(160);
            for (u32 un32Swap = 0; un32Swap < 2; ++un32Swap) {
                const IeCopyContext ctx{un32Swap, 2, nullptr, src.Msg()};
                const u32 r = static_cast<u32>(VQ500SipMessageRequestCopy(&ctx, src.Payload(), dst.Msg(), dst.Payload()));
                if (VQX_RESULT_FAILED(r)) {
                    ++un32Failed;
                    EXPECT_TRUE(r == VQX_RESULT_MISMATCH || r == VQX_RESULT_INVALID_MESSAGE || r == VQX_RESULT_INVALID_PARAM ||
                                r == VQX_RESULT_BUFFER_TOO_SMALL)
                        << std::hex << r << " at " << off;
                }
            }
        }
    }
    EXPECT_GT(un32Failed, 100u);
}

// A destination without room: the append's code comes up unchanged.
TEST(Crafted, DestinationFull)
{
    TestMsg src(ReadGolden("invite_host.bin"));
    TestMsg dst(160, 400);
    const IeCopyContext ctx = HostContext(src.Msg());
    EXPECT_EQ(static_cast<u32>(VQ500SipMessageRequestCopy(&ctx, src.Payload(), dst.Msg(), dst.Payload())),
              VQX_RESULT_BUFFER_TOO_SMALL);
}

} // namespace
