/*
 * Message-element sets: sizes, round trips in both layouts, golden bytes,
 * duplication, resize, and every corruption the bounded calls must refuse.
 */
#include "vqx_msg_element.h"

#include "support/vqx_test_msg.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr u32 kLayouts[] = {VQX_MSG_ELEMENT_LAYOUT_32, VQX_MSG_ELEMENT_LAYOUT_16};

void PutBe32(u8* p, u32 v)
{
    p[0] = u8(v >> 24);
    p[1] = u8(v >> 16);
    p[2] = u8(v >> 8);
    p[3] = u8(v);
}

std::vector<u8> ReadGolden(const char* name)
{
    const char* dir = std::getenv("VQX_TEST_DATA");
    std::string path = std::string(dir != nullptr ? dir : "utillib/tests/data") + "/" + name;
    std::ifstream f(path, std::ios::binary);
    EXPECT_TRUE(f.good()) << path;
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

/* The whole buffer, to prove that a refused call wrote nothing. */
std::vector<u8> Snapshot(VqxTestMsg& msg)
{
    const u8* p = static_cast<const u8*>(msg.Msg());
    return {p, p + msg.BufferSize()};
}

VqxTestMsg MakeMsg(u32 un32Cap, u32 un32Struct, u32 un32Layout)
{
    VqxTestMsg msg(un32Cap);
    EXPECT_EQ(VqxMsgElementInitLayout(msg.Msg(), un32Struct, un32Layout), VQX_RESULT_OK);
    return msg;
}

u32* SetAt(VqxTestMsg& msg, u32 un32Off)
{
    return reinterpret_cast<u32*>(msg.Payload() + un32Off);
}

/* Builds the example of docs/msg-element-sets.md. */
void BuildExample(VqxTestMsg& msg)
{
    PutBe32(msg.Payload() + 8, 0x11223344);
    void* p = nullptr;
    ASSERT_EQ(VQXMsgElementAlloc(msg.Msg(), SetAt(msg, 0), 6, &p), VQX_RESULT_OK);
    const u8 a[] = {1, 2, 3, 4, 5, 6};
    std::memcpy(p, a, sizeof a);
    ASSERT_EQ(VQXMsgElementStringAdd(msg.Msg(), SetAt(msg, 4), "hi"), VQX_RESULT_OK);
    ASSERT_EQ(VQXMsgElementAlloc(msg.Msg(), SetAt(msg, 0), 4, &p), VQX_RESULT_OK);
    const u8 b[] = {0xAA, 0xBB, 0xCC, 0xDD};
    std::memcpy(p, b, sizeof b);
}

TEST(MsgElementSizes, ComputeSizes)
{
    struct Row {
        u32 in, msgSize, elemSize;
    } rows[] = {
        {0, 8, 8}, {1, 16, 16}, {7, 16, 16}, {8, 16, 16}, {9, 24, 24}, {40, 48, 48}, {80, 88, 88}, {65535, 65544, 65544},
        {0xFFFFFFFFu, 0xFFFFFFF8u, 0xFFFFFFF8u},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(VQXMsgComputeSize(r.in, 0, 0), r.msgSize) << "size " << r.in;
        EXPECT_EQ(VQXMsgElementComputeSize(r.in), r.elemSize) << "size " << r.in;
    }
}

TEST(MsgElementInit, FitsOrZeroesEverything)
{
    struct Row {
        u32 cap, structSize;
        VQX_RESULT result;
        u32 used;
    } rows[] = {
        {8, 0, VQX_RESULT_OK, 8},        {16, 8, VQX_RESULT_OK, 16},     {16, 9, VQX_RESULT_BUFFER_TOO_SMALL, 0},
        {4136, 40, VQX_RESULT_OK, 48},   {64, 56, VQX_RESULT_OK, 64},    {63 + 1, 57, VQX_RESULT_BUFFER_TOO_SMALL, 0},
        {16, 0xFFFFFFFFu, VQX_RESULT_BUFFER_TOO_SMALL, 0},
    };
    for (const Row& r : rows) {
        VqxTestMsg msg(r.cap);
        msg.Header()->un32PayloadLength = 3;
        EXPECT_EQ(VQXMsgElementInit(msg.Msg(), r.structSize), r.result) << "cap " << r.cap << " struct " << r.structSize;
        const u8* pay = msg.Payload();
        if (r.result == VQX_RESULT_OK) {
            EXPECT_EQ(msg.Header()->un32PayloadLength, r.used);
            for (u32 i = 0; i < r.used - 8; ++i) {
                ASSERT_EQ(pay[i], 0) << "byte " << i;
            }
            const u8 marker[] = {0xED, 0xDA, 0x21, 0x43, 0x34, 0x12, 0xAD, 0xDE};
            EXPECT_EQ(std::memcmp(pay + r.used - 8, marker, 8), 0);
        } else {
            EXPECT_EQ(msg.Header()->un32PayloadLength, 3u) << "length left as it was";
            for (u32 i = 0; i < msg.Header()->un32PayloadMaxLength; ++i) {
                ASSERT_EQ(pay[i], 0) << "byte " << i;
            }
        }
    }
    EXPECT_EQ(VQXMsgElementInit(nullptr, 8), VQX_RESULT_NULL_PARAM);
    VqxTestMsg msg(64);
    EXPECT_EQ(VqxMsgElementInitLayout(msg.Msg(), 8, 24), VQX_RESULT_INVALID_PARAM);
}

TEST(MsgElementGolden, SmallMessageBothLayouts)
{
    const struct {
        u32 layout;
        const char* file;
    } rows[] = {{VQX_MSG_ELEMENT_LAYOUT_32, "msg_element_32.bin"}, {VQX_MSG_ELEMENT_LAYOUT_16, "msg_element_16.bin"}};
    for (const auto& r : rows) {
        VqxTestMsg msg = MakeMsg(128, 12, r.layout);
        BuildExample(msg);
        const std::vector<u8> golden = ReadGolden(r.file);
        ASSERT_EQ(msg.Header()->un32PayloadLength, golden.size()) << r.file;
        EXPECT_EQ(std::vector<u8>(msg.Payload(), msg.Payload() + golden.size()), golden) << r.file;
    }
}

class MsgElementLayout : public ::testing::TestWithParam<u32> {};

TEST_P(MsgElementLayout, AllocGetCountGetNext)
{
    const u32 layout = GetParam();
    const u32 align = layout == VQX_MSG_ELEMENT_LAYOUT_32 ? 8 : 4;
    VqxTestMsg msg = MakeMsg(0x30000, 16, layout);
    const u16 sizes[] = {1, 7, 8, 9, 100, 65535, 3};
    std::vector<u8*> elems;
    for (size_t i = 0; i < std::size(sizes); ++i) {
        void* p = reinterpret_cast<void*>(1);
        ASSERT_EQ(VQXMsgElementAlloc(msg.Msg(), SetAt(msg, 0), sizes[i], &p), VQX_RESULT_OK) << "element " << i;
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % align, 0u) << "element " << i;
        const u8* b = static_cast<u8*>(p);
        for (u16 k = 0; k < sizes[i]; ++k) {
            ASSERT_EQ(b[k], 0) << "zero-filled, element " << i << " byte " << k;
        }
        std::memset(p, int(0x10 + i), sizes[i]);
        elems.push_back(static_cast<u8*>(p));
        /* An element of the second set between each, interleaving the two. */
        ASSERT_EQ(VQXMsgElementStringAdd(msg.Msg(), SetAt(msg, 8), std::to_string(i).c_str()), VQX_RESULT_OK);
    }
    EXPECT_EQ(msg.Header()->un32PayloadLength % 8, 0u);
    ASSERT_EQ(VQXMsgElementCount(SetAt(msg, 0)), std::size(sizes));
    ASSERT_EQ(VQXMsgElementCount(SetAt(msg, 8)), std::size(sizes));
    EXPECT_EQ(VqxMsgElementCheckSet(msg.Msg(), SetAt(msg, 0)), VQX_RESULT_OK);
    EXPECT_EQ(VqxMsgElementCheckSet(msg.Msg(), SetAt(msg, 8)), VQX_RESULT_OK);

    const void* prev = nullptr;
    for (u16 i = 0; i < std::size(sizes); ++i) {
        u16 size = 0;
        void* p = VQXMsgElementGet(SetAt(msg, 0), i, &size);
        EXPECT_EQ(p, elems[i]) << "elements never move, element " << i;
        EXPECT_EQ(size, sizes[i]);
        EXPECT_EQ(static_cast<u8*>(p)[size - 1], u8(0x10 + i));
        u16 nextSize = 0;
        EXPECT_EQ(VQXMsgElementGetNext(SetAt(msg, 0), prev, &nextSize), p);
        EXPECT_EQ(nextSize, sizes[i]);
        prev = p;
        EXPECT_STREQ(static_cast<char*>(VQXMsgElementGet(SetAt(msg, 8), i, nullptr)), std::to_string(i).c_str());
    }
    u16 size = 77;
    EXPECT_EQ(VQXMsgElementGetNext(SetAt(msg, 0), prev, &size), nullptr);
    EXPECT_EQ(size, 0);
    size = 77;
    EXPECT_EQ(VQXMsgElementGet(SetAt(msg, 0), u16(std::size(sizes)), &size), nullptr);
    EXPECT_EQ(size, 0);
}

TEST_P(MsgElementLayout, EmptyAndNullSets)
{
    VqxTestMsg msg = MakeMsg(64, 8, GetParam());
    u16 size = 5;
    EXPECT_EQ(VQXMsgElementCount(SetAt(msg, 0)), 0);
    EXPECT_EQ(VQXMsgElementCount(nullptr), 0);
    EXPECT_EQ(VQXMsgElementGet(SetAt(msg, 0), 0, &size), nullptr);
    EXPECT_EQ(size, 0);
    size = 5;
    EXPECT_EQ(VQXMsgElementGetNext(SetAt(msg, 0), nullptr, &size), nullptr);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(VQXMsgElementGet(nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(VQXMsgElementGetNext(nullptr, nullptr, nullptr), nullptr);
}

TEST_P(MsgElementLayout, NestedSetInsideAnElement)
{
    VqxTestMsg msg = MakeMsg(512, 8, GetParam());
    void* outer = nullptr;
    ASSERT_EQ(VQXMsgElementAlloc(msg.Msg(), SetAt(msg, 0), 16, &outer), VQX_RESULT_OK);
    u32* inner = static_cast<u32*>(outer) + 1;
    ASSERT_EQ(VQXMsgElementStringAdd(msg.Msg(), inner, "alpha"), VQX_RESULT_OK);
    ASSERT_EQ(VQXMsgElementStringAdd(msg.Msg(), inner, "beta"), VQX_RESULT_OK);
    EXPECT_EQ(VQXMsgElementCount(inner), 2);
    EXPECT_STREQ(static_cast<char*>(VQXMsgElementGet(inner, 1, nullptr)), "beta");
    EXPECT_EQ(VqxMsgElementCheckSet(msg.Msg(), inner), VQX_RESULT_OK);
}

TEST_P(MsgElementLayout, NoRoomLeavesMessageUntouched)
{
    /* Capacity 48: 8 fixed + 8 marker leaves 32 bytes of elements. */
    VqxTestMsg msg = MakeMsg(48, 8, GetParam());
    void* p = nullptr;
    u32 n = 0;
    while (VQXMsgElementAlloc(msg.Msg(), SetAt(msg, 0), 1, &p) == VQX_RESULT_OK) {
        ASSERT_LT(++n, 100u);
    }
    EXPECT_EQ(n, GetParam() == VQX_MSG_ELEMENT_LAYOUT_32 ? 2u : 4u);
    const std::vector<u8> before = Snapshot(msg);
    p = reinterpret_cast<void*>(1);
    EXPECT_EQ(VQXMsgElementAlloc(msg.Msg(), SetAt(msg, 0), 1, &p), VQX_RESULT_BUFFER_TOO_SMALL);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(Snapshot(msg), before);
    EXPECT_EQ(VQXMsgElementCount(SetAt(msg, 0)), n);
}

TEST_P(MsgElementLayout, PayloadLimitBeyondLargeCapacity)
{
    VqxTestMsg msg = MakeMsg(0x50000, 8, GetParam());
    void* p = nullptr;
    u32 n = 0;
    VQX_RESULT r;
    while ((r = VQXMsgElementAlloc(msg.Msg(), SetAt(msg, 0), 60000, &p)) == VQX_RESULT_OK) {
        ASSERT_LT(++n, 10u);
    }
    EXPECT_EQ(r, VQX_RESULT_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 4u);
    EXPECT_LE(msg.Header()->un32PayloadLength, VQX_MSG_ELEMENT_MAX_PAYLOAD);
    EXPECT_EQ(VqxMsgElementCheckSet(msg.Msg(), SetAt(msg, 0)), VQX_RESULT_OK);
}

TEST_P(MsgElementLayout, StringAdd)
{
    VqxTestMsg msg = MakeMsg(0x20000, 8, GetParam());
    const std::vector<u8> before = Snapshot(msg);
    EXPECT_EQ(VQXMsgElementStringAdd(msg.Msg(), SetAt(msg, 0), nullptr), VQX_RESULT_INVALID_PARAM);
    const std::string tooLong(65535, 'x');
    EXPECT_EQ(VQXMsgElementStringAdd(msg.Msg(), SetAt(msg, 0), tooLong.c_str()), VQX_RESULT_INVALID_PARAM);
    EXPECT_EQ(Snapshot(msg), before);

    ASSERT_EQ(VQXMsgElementStringAdd(msg.Msg(), SetAt(msg, 0), ""), VQX_RESULT_OK);
    const std::string longest(65534, 'y');
    ASSERT_EQ(VQXMsgElementStringAdd(msg.Msg(), SetAt(msg, 0), longest.c_str()), VQX_RESULT_OK);
    u16 size = 0;
    EXPECT_STREQ(static_cast<char*>(VQXMsgElementGet(SetAt(msg, 0), 0, &size)), "");
    EXPECT_EQ(size, 1);
    EXPECT_EQ(static_cast<char*>(VQXMsgElementGet(SetAt(msg, 0), 1, &size)), longest);
    EXPECT_EQ(size, 65535);
    EXPECT_EQ(VQXMsgElementStringAdd(nullptr, SetAt(msg, 0), "a"), VQX_RESULT_NULL_PARAM);
}

INSTANTIATE_TEST_SUITE_P(BothLayouts, MsgElementLayout, ::testing::ValuesIn(kLayouts),
                         [](const ::testing::TestParamInfo<u32>& info) { return "Layout" + std::to_string(info.param); });

/* ---- duplication ---- */

struct CopyLog {
    std::vector<std::pair<const void*, u16>> calls;
    u32 failAt = ~0u;
    void* expectedMsg = nullptr;
};

i32 RecordingCopy(void* ctx, const void* src, void* dstMsg, void* dst, u16 size)
{
    auto* log = static_cast<CopyLog*>(ctx);
    if (dstMsg != log->expectedMsg) {
        return i32(VQX_RESULT_INVALID_PARAM);
    }
    if (log->calls.size() == log->failAt) {
        log->calls.emplace_back(src, size);
        return i32(VQX_RESULT_FAIL);
    }
    log->calls.emplace_back(src, size);
    /* Reverse the bytes, so that the test sees the copy function ran. */
    for (u16 i = 0; i < size; ++i) {
        static_cast<u8*>(dst)[i] = static_cast<const u8*>(src)[size - 1 - i];
    }
    return i32(VQX_RESULT_OK);
}

void FillSource(VqxTestMsg& msg, u32 setOff, u32 count)
{
    for (u32 i = 0; i < count; ++i) {
        void* p = nullptr;
        ASSERT_EQ(VQXMsgElementAlloc(msg.Msg(), SetAt(msg, setOff), u16(3 + i), &p), VQX_RESULT_OK);
        for (u32 k = 0; k < 3 + i; ++k) {
            static_cast<u8*>(p)[k] = u8(i * 16 + k);
        }
    }
}

TEST(MsgElementDupSet, PlainCopyAcrossLayouts)
{
    for (u32 srcLayout : kLayouts) {
        for (u32 dstLayout : kLayouts) {
            VqxTestMsg src = MakeMsg(512, 8, srcLayout);
            FillSource(src, 0, 4);
            VqxTestMsg dst = MakeMsg(512, 8, dstLayout);
            ASSERT_EQ(VQXMsgElementStringAdd(dst.Msg(), SetAt(dst, 4), "old"), VQX_RESULT_OK);
            ASSERT_EQ(VQXMsgElementDupSet(SetAt(src, 0), dst.Msg(), SetAt(dst, 4), nullptr, nullptr), VQX_RESULT_OK);
            ASSERT_EQ(VQXMsgElementCount(SetAt(dst, 4)), 4) << "destination emptied first";
            for (u16 i = 0; i < 4; ++i) {
                u16 sSize = 0, dSize = 0;
                const void* s = VQXMsgElementGet(SetAt(src, 0), i, &sSize);
                const void* d = VQXMsgElementGet(SetAt(dst, 4), i, &dSize);
                ASSERT_EQ(sSize, dSize);
                EXPECT_EQ(std::memcmp(s, d, sSize), 0) << srcLayout << "->" << dstLayout << " element " << i;
            }
            EXPECT_EQ(VqxMsgElementCheckSet(dst.Msg(), SetAt(dst, 4)), VQX_RESULT_OK);
        }
    }
}

TEST(MsgElementDupSet, CopyFunctionAndFailureMidway)
{
    VqxTestMsg src = MakeMsg(512, 8, VQX_MSG_ELEMENT_LAYOUT_32);
    FillSource(src, 0, 4);
    VqxTestMsg dst = MakeMsg(512, 8, VQX_MSG_ELEMENT_LAYOUT_32);

    CopyLog log;
    log.expectedMsg = dst.Msg();
    ASSERT_EQ(VQXMsgElementDupSet(SetAt(src, 0), dst.Msg(), SetAt(dst, 0), RecordingCopy, &log), VQX_RESULT_OK);
    ASSERT_EQ(log.calls.size(), 4u);
    for (u16 i = 0; i < 4; ++i) {
        u16 size = 0;
        EXPECT_EQ(log.calls[i].first, VQXMsgElementGet(SetAt(src, 0), i, &size));
        EXPECT_EQ(log.calls[i].second, size);
        const u8* d = static_cast<u8*>(VQXMsgElementGet(SetAt(dst, 0), i, nullptr));
        EXPECT_EQ(d[0], u8(i * 16 + size - 1)) << "copied by the copy function, element " << i;
    }

    CopyLog failing;
    failing.expectedMsg = dst.Msg();
    failing.failAt = 2;
    EXPECT_EQ(VQXMsgElementDupSet(SetAt(src, 0), dst.Msg(), SetAt(dst, 4), RecordingCopy, &failing), VQX_RESULT_FAIL);
    EXPECT_EQ(failing.calls.size(), 3u) << "stops at the failing element";
    EXPECT_EQ(VQXMsgElementCount(SetAt(dst, 4)), 3) << "elements before the failure stay";
    EXPECT_EQ(VqxMsgElementCheckSet(dst.Msg(), SetAt(dst, 4)), VQX_RESULT_OK);
}

TEST(MsgElementDupSet, IntoTheSameSetConvertsInPlace)
{
    VqxTestMsg msg = MakeMsg(512, 8, VQX_MSG_ELEMENT_LAYOUT_16);
    FillSource(msg, 0, 3);
    const u32 used = msg.Header()->un32PayloadLength;
    CopyLog log;
    log.expectedMsg = msg.Msg();
    ASSERT_EQ(VQXMsgElementDupSet(SetAt(msg, 0), msg.Msg(), SetAt(msg, 0), RecordingCopy, &log), VQX_RESULT_OK);
    EXPECT_EQ(log.calls.size(), 3u);
    EXPECT_EQ(msg.Header()->un32PayloadLength, used) << "nothing appended";
    EXPECT_EQ(VQXMsgElementCount(SetAt(msg, 0)), 3);
    /* Without a copy function the same set is left as it is. */
    const std::vector<u8> before = Snapshot(msg);
    ASSERT_EQ(VQXMsgElementDupSet(SetAt(msg, 0), msg.Msg(), SetAt(msg, 0), nullptr, nullptr), VQX_RESULT_OK);
    EXPECT_EQ(Snapshot(msg), before);
}

TEST(MsgElementDupSet, WithinOneMessageAndEmptySource)
{
    VqxTestMsg msg = MakeMsg(512, 16, VQX_MSG_ELEMENT_LAYOUT_32);
    FillSource(msg, 0, 3);
    ASSERT_EQ(VQXMsgElementDupSet(SetAt(msg, 0), msg.Msg(), SetAt(msg, 4), nullptr, nullptr), VQX_RESULT_OK);
    EXPECT_EQ(VQXMsgElementCount(SetAt(msg, 4)), 3);
    EXPECT_EQ(std::memcmp(VQXMsgElementGet(SetAt(msg, 0), 2, nullptr), VQXMsgElementGet(SetAt(msg, 4), 2, nullptr), 5), 0);
    /* An empty source empties the destination and succeeds. */
    ASSERT_EQ(VQXMsgElementDupSet(SetAt(msg, 8), msg.Msg(), SetAt(msg, 4), nullptr, nullptr), VQX_RESULT_OK);
    EXPECT_EQ(*SetAt(msg, 4), 0u);
    EXPECT_EQ(VQXMsgElementDupSet(nullptr, msg.Msg(), SetAt(msg, 4), nullptr, nullptr), VQX_RESULT_NULL_PARAM);
    EXPECT_EQ(VQXMsgElementDupSet(SetAt(msg, 0), nullptr, SetAt(msg, 4), nullptr, nullptr), VQX_RESULT_NULL_PARAM);
    EXPECT_EQ(VQXMsgElementDupSet(SetAt(msg, 0), msg.Msg(), nullptr, nullptr, nullptr), VQX_RESULT_NULL_PARAM);
}

TEST(MsgElementDupSet, NoRoomMidwayKeepsWhatWasCopied)
{
    VqxTestMsg src = MakeMsg(512, 8, VQX_MSG_ELEMENT_LAYOUT_32);
    FillSource(src, 0, 4);
    /* Room for two 16-byte elements only. */
    VqxTestMsg dst = MakeMsg(48, 8, VQX_MSG_ELEMENT_LAYOUT_32);
    EXPECT_EQ(VQXMsgElementDupSet(SetAt(src, 0), dst.Msg(), SetAt(dst, 0), nullptr, nullptr),
              VQX_RESULT_BUFFER_TOO_SMALL);
    EXPECT_EQ(VQXMsgElementCount(SetAt(dst, 0)), 2);
    EXPECT_EQ(VqxMsgElementCheckSet(dst.Msg(), SetAt(dst, 0)), VQX_RESULT_OK);
}

/* A deep copy: each outer element holds a nested string set that the copy
 * function duplicates, as the information-element copies do. */
i32 DeepCopy(void*, const void* src, void* dstMsg, void* dst, u16 size)
{
    std::memcpy(dst, src, size);
    const void* srcInner = static_cast<const u8*>(src) + 4;
    void* dstInner = static_cast<u8*>(dst) + 4;
    return i32(VQXMsgElementDupSet(srcInner, dstMsg, dstInner, nullptr, nullptr));
}

TEST(MsgElementDupSet, NestedDeepCopy)
{
    VqxTestMsg src = MakeMsg(1024, 8, VQX_MSG_ELEMENT_LAYOUT_32);
    for (int i = 0; i < 3; ++i) {
        void* p = nullptr;
        ASSERT_EQ(VQXMsgElementAlloc(src.Msg(), SetAt(src, 0), 8, &p), VQX_RESULT_OK);
        *static_cast<u32*>(p) = u32(i);
        ASSERT_EQ(VQXMsgElementStringAdd(src.Msg(), static_cast<u8*>(p) + 4, ("text" + std::to_string(i)).c_str()),
                  VQX_RESULT_OK);
    }
    VqxTestMsg dst = MakeMsg(1024, 8, VQX_MSG_ELEMENT_LAYOUT_16);
    ASSERT_EQ(VQXMsgElementDupSet(SetAt(src, 0), dst.Msg(), SetAt(dst, 0), DeepCopy, nullptr), VQX_RESULT_OK);
    ASSERT_EQ(VQXMsgElementCount(SetAt(dst, 0)), 3);
    for (u16 i = 0; i < 3; ++i) {
        u8* e = static_cast<u8*>(VQXMsgElementGet(SetAt(dst, 0), i, nullptr));
        EXPECT_EQ(*reinterpret_cast<u32*>(e), i);
        EXPECT_STREQ(static_cast<char*>(VQXMsgElementGet(e + 4, 0, nullptr)), ("text" + std::to_string(i)).c_str());
        EXPECT_EQ(VqxMsgElementCheckSet(dst.Msg(), e + 4), VQX_RESULT_OK);
    }
}

/* ---- resize ---- */

class MsgElementResize : public ::testing::Test {
protected:
    void TearDown() override { VqxMsgElementSetAllocator(nullptr, nullptr); }
};

TEST_F(MsgElementResize, CopiesHeaderFieldsAndSets)
{
    VqxTestMsg msg = MakeMsg(64, 8, VQX_MSG_ELEMENT_LAYOUT_32);
    ASSERT_EQ(VQXMsgElementStringAdd(msg.Msg(), SetAt(msg, 0), "abc"), VQX_RESULT_OK);
    VQX_TEST_MSG_HEADER* h = msg.Header();
    h->un32MsgId = 0x0A010051;
    h->MsgType = 1;
    h->hAdapter = 0xDA000000;
    h->un64UserContext1 = 0x1122334455667788ull;
    h->un64UserContext2 = 0x99AABBCCDDEEFF00ull;
    h->un32SerialNumber = 7;

    void* pNew = reinterpret_cast<void*>(1);
    EXPECT_EQ(VQXMsgElementDupMsgResize(nullptr, msg.Msg(), &pNew, 128), VQX_RESULT_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(pNew, nullptr) << "no allocator registered";

    VQX_TEST_MSG_LIB lib;
    ASSERT_EQ(VqxMsgElementSetAllocator(VqxTestMsgAlloc, VqxTestMsgRelease), VQX_RESULT_OK);
    ASSERT_EQ(VQXMsgElementDupMsgResize(&lib, msg.Msg(), &pNew, 128), VQX_RESULT_OK);
    VqxTestMsg grown = VqxTestMsg::Adopt(pNew);
    const VQX_TEST_MSG_HEADER* g = grown.Header();
    EXPECT_EQ(g->un32PayloadMaxLength, 128u);
    EXPECT_EQ(g->un32MsgId, h->un32MsgId);
    EXPECT_EQ(g->MsgType, h->MsgType);
    EXPECT_EQ(g->hAdapter, h->hAdapter);
    EXPECT_EQ(g->un64UserContext1, h->un64UserContext1);
    EXPECT_EQ(g->un64UserContext2, h->un64UserContext2);
    EXPECT_EQ(g->un32SerialNumber, 0u) << "the new message keeps its own serial number";
    EXPECT_EQ(g->un32PayloadLength, h->un32PayloadLength);
    EXPECT_EQ(std::memcmp(grown.Payload(), msg.Payload(), h->un32PayloadLength), 0);
    /* The copy's sets are valid and can grow into the new room. */
    EXPECT_STREQ(static_cast<char*>(VQXMsgElementGet(SetAt(grown, 0), 0, nullptr)), "abc");
    ASSERT_EQ(VQXMsgElementStringAdd(grown.Msg(), SetAt(grown, 0), std::string(60, 'z').c_str()), VQX_RESULT_OK);
    EXPECT_EQ(VQXMsgElementCount(SetAt(grown, 0)), 2);
    EXPECT_EQ(lib.un32Allocs, 1u);
}

TEST_F(MsgElementResize, Refusals)
{
    VqxTestMsg msg = MakeMsg(64, 8, VQX_MSG_ELEMENT_LAYOUT_32);
    ASSERT_EQ(VQXMsgElementStringAdd(msg.Msg(), SetAt(msg, 0), "abc"), VQX_RESULT_OK);
    const u32 used = msg.Header()->un32PayloadLength;
    VQX_TEST_MSG_LIB lib;
    ASSERT_EQ(VqxMsgElementSetAllocator(VqxTestMsgAlloc, VqxTestMsgRelease), VQX_RESULT_OK);
    void* pNew = nullptr;
    EXPECT_EQ(VQXMsgElementDupMsgResize(&lib, msg.Msg(), &pNew, used - 8), VQX_RESULT_BUFFER_TOO_SMALL);
    EXPECT_EQ(lib.un32Allocs, 0u);
    EXPECT_EQ(VQXMsgElementDupMsgResize(&lib, msg.Msg(), &pNew, used), VQX_RESULT_OK) << "exactly the used length";
    VqxTestMsg exact = VqxTestMsg::Adopt(pNew);

    lib.fFail = true;
    EXPECT_EQ(VQXMsgElementDupMsgResize(&lib, msg.Msg(), &pNew, 256), VQX_RESULT_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(pNew, nullptr);
    lib.fFail = false;
    lib.un32Shortchange = 70;
    EXPECT_EQ(VQXMsgElementDupMsgResize(&lib, msg.Msg(), &pNew, 96), VQX_RESULT_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(pNew, nullptr);
    EXPECT_EQ(lib.un32Releases, 1u) << "a short message is given back";

    EXPECT_EQ(VQXMsgElementDupMsgResize(&lib, nullptr, &pNew, 256), VQX_RESULT_NULL_PARAM);
    EXPECT_EQ(VQXMsgElementDupMsgResize(&lib, msg.Msg(), nullptr, 256), VQX_RESULT_NULL_PARAM);
    msg.Header()->un32PayloadLength = msg.Header()->un32PayloadMaxLength + 8;
    EXPECT_EQ(VQXMsgElementDupMsgResize(&lib, msg.Msg(), &pNew, 0x1000), VQX_RESULT_MISMATCH);
    EXPECT_EQ(VqxMsgElementSetAllocator(VqxTestMsgAlloc, nullptr), VQX_RESULT_NULL_PARAM);
}

/* ---- corruption: every bounded call refuses, writes nothing, never reads
 * outside the buffer (the ci preset runs this under AddressSanitizer) ---- */

struct Corruption {
    const char* name;
    void (*apply)(VqxTestMsg& msg);
    u32 setOff; /* set word handed to the calls */
    VQX_RESULT expected;
};

/* The fixture: the golden example (set A at 0 with two elements, set B at 4
 * with one), in the 32-bit layout; used payload 72, capacity 128. */
const Corruption kCorruptions[] = {
    {"used above 0x40000", [](VqxTestMsg& m) { m.Header()->un32PayloadLength = 0x40008; }, 0, VQX_RESULT_MISMATCH},
    {"used above capacity", [](VqxTestMsg& m) { m.Header()->un32PayloadLength = 136; }, 0, VQX_RESULT_MISMATCH},
    {"used not a multiple of 8", [](VqxTestMsg& m) { m.Header()->un32PayloadLength = 68; }, 0,
     VQX_RESULT_INVALID_MESSAGE},
    {"used zero", [](VqxTestMsg& m) { m.Header()->un32PayloadLength = 0; }, 0, VQX_RESULT_NOT_INITIALIZED},
    {"end marker overwritten", [](VqxTestMsg& m) { m.Payload()[70] ^= 0xFF; }, 0, VQX_RESULT_NOT_INITIALIZED},
    {"used shortened to a non-marker", [](VqxTestMsg& m) { m.Header()->un32PayloadLength = 64; }, 0,
     VQX_RESULT_NOT_INITIALIZED},
    {"set word on the end marker", [](VqxTestMsg&) {}, 64, VQX_RESULT_MISMATCH},
    {"set word past the used payload", [](VqxTestMsg&) {}, 96, VQX_RESULT_MISMATCH},
    {"set word not 4-byte aligned", [](VqxTestMsg&) {}, 2, VQX_RESULT_INVALID_PARAM},
    {"first element past the end", [](VqxTestMsg& m) { PutBe32(m.Payload(), 0x80020000u | 100); }, 0,
     VQX_RESULT_MISMATCH},
    {"first element not 8-aligned", [](VqxTestMsg& m) { PutBe32(m.Payload(), 0x80020005u); }, 0,
     VQX_RESULT_INVALID_MESSAGE},
    {"nonzero word with count 0", [](VqxTestMsg& m) { PutBe32(m.Payload(), 0x80000004u); }, 0,
     VQX_RESULT_INVALID_MESSAGE},
    {"nonzero word with distance 0", [](VqxTestMsg& m) { PutBe32(m.Payload(), 0x80020000u); }, 0,
     VQX_RESULT_INVALID_MESSAGE},
    {"element size runs past the used payload", [](VqxTestMsg& m) { PutBe32(m.Payload() + 0x30, 0x30); }, 0,
     VQX_RESULT_MISMATCH},
    {"element size above 65535", [](VqxTestMsg& m) { PutBe32(m.Payload() + 0x10, 0x10006); }, 0,
     VQX_RESULT_INVALID_MESSAGE},
    {"link past the end", [](VqxTestMsg& m) { PutBe32(m.Payload() + 0x14, 0x100); }, 0, VQX_RESULT_MISMATCH},
    {"link shorter than the element", [](VqxTestMsg& m) { PutBe32(m.Payload() + 0x14, 8); }, 0,
     VQX_RESULT_INVALID_MESSAGE},
    {"link huge", [](VqxTestMsg& m) { PutBe32(m.Payload() + 0x14, 0xFFFFFFF8u); }, 0, VQX_RESULT_INVALID_MESSAGE},
    {"count above the chain", [](VqxTestMsg& m) { PutBe32(m.Payload(), 0x80030004u); }, 0,
     VQX_RESULT_INVALID_MESSAGE},
    {"count below the chain", [](VqxTestMsg& m) { PutBe32(m.Payload(), 0x80010004u); }, 0,
     VQX_RESULT_INVALID_MESSAGE},
    {"set layout unlike the message", [](VqxTestMsg& m) { PutBe32(m.Payload(), 0x00020004u); }, 0,
     VQX_RESULT_INVALID_MESSAGE},
};

TEST(MsgElementCorruption, BoundedCallsRefuseAndWriteNothing)
{
    for (const Corruption& c : kCorruptions) {
        VqxTestMsg msg = MakeMsg(128, 12, VQX_MSG_ELEMENT_LAYOUT_32);
        BuildExample(msg);
        c.apply(msg);
        const std::vector<u8> before = Snapshot(msg);
        u32* set = SetAt(msg, c.setOff);

        EXPECT_EQ(VqxMsgElementCheckSet(msg.Msg(), set), c.expected) << c.name;
        void* p = reinterpret_cast<void*>(1);
        EXPECT_EQ(VQXMsgElementAlloc(msg.Msg(), set, 4, &p), c.expected) << c.name;
        EXPECT_EQ(p, nullptr) << c.name;
        EXPECT_EQ(VQXMsgElementStringAdd(msg.Msg(), set, "x"), c.expected) << c.name;
        /* A source inside the destination message is checked before the
         * destination is emptied. */
        if (c.setOff == 0) {
            EXPECT_EQ(VQXMsgElementDupSet(set, msg.Msg(), SetAt(msg, 4), nullptr, nullptr), c.expected) << c.name;
        }
        EXPECT_EQ(Snapshot(msg), before) << c.name << ": nothing written";
    }
}

TEST(MsgElementCorruption, SetOnlyReadersStopOnBrokenChains)
{
    /* Each row breaks set A (two elements) of the example; the readers give
     * the elements before the first inconsistency and nothing after. */
    const struct {
        const char* name;
        u32 setWord, link0;
        u32 readable; /* elements Get and GetNext still return */
    } rows[] = {
        {"intact", 0x80020004u, 0x20, 2},
        {"count above the chain", 0x80030004u, 0x20, 1},
        {"count below the chain", 0x80010004u, 0x20, 0},
        {"link shorter than the element", 0x80020004u, 8, 0},
        {"link not a multiple of 8", 0x80020004u, 0x21, 0},
        {"count 0 with a distance", 0x80000004u, 0x20, 0},
    };
    for (const auto& r : rows) {
        VqxTestMsg msg = MakeMsg(128, 12, VQX_MSG_ELEMENT_LAYOUT_32);
        BuildExample(msg);
        PutBe32(msg.Payload(), r.setWord);
        PutBe32(msg.Payload() + 0x14, r.link0);
        u32 n = 0;
        for (u16 i = 0; i < 4; ++i) {
            u16 size = 9;
            if (VQXMsgElementGet(SetAt(msg, 0), i, &size) != nullptr) {
                EXPECT_EQ(i, n) << r.name;
                ++n;
            } else {
                EXPECT_EQ(size, 0) << r.name;
            }
        }
        EXPECT_EQ(n, r.readable) << r.name;
        u32 walked = 0;
        for (const void* p = VQXMsgElementGetNext(SetAt(msg, 0), nullptr, nullptr); p != nullptr && walked < 4;
             p = VQXMsgElementGetNext(SetAt(msg, 0), p, nullptr)) {
            ++walked;
        }
        /* GetNext does not know the index of the element it is given, so it
         * follows links while they are well formed. */
        if (r.readable > 0) {
            EXPECT_GE(walked, r.readable) << r.name;
            EXPECT_LE(walked, 2u) << r.name;
        } else {
            EXPECT_EQ(walked, 0u) << r.name;
        }
    }

    /* A broken source in another message stops the duplication; what was
     * copied before stays. */
    VqxTestMsg msg = MakeMsg(128, 12, VQX_MSG_ELEMENT_LAYOUT_32);
    BuildExample(msg);
    PutBe32(msg.Payload(), 0x80030004u);
    VqxTestMsg dst = MakeMsg(256, 8, VQX_MSG_ELEMENT_LAYOUT_32);
    EXPECT_EQ(VQXMsgElementDupSet(SetAt(msg, 0), dst.Msg(), SetAt(dst, 0), nullptr, nullptr),
              VQX_RESULT_INVALID_MESSAGE);
    EXPECT_EQ(VQXMsgElementCount(SetAt(dst, 0)), 1);
}

TEST(MsgElementCorruption, NullAndZeroArguments)
{
    VqxTestMsg msg = MakeMsg(64, 8, VQX_MSG_ELEMENT_LAYOUT_32);
    const std::vector<u8> before = Snapshot(msg);
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(VQXMsgElementAlloc(nullptr, SetAt(msg, 0), 4, &p), VQX_RESULT_NULL_PARAM);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(VQXMsgElementAlloc(msg.Msg(), nullptr, 4, &p), VQX_RESULT_NULL_PARAM);
    EXPECT_EQ(VQXMsgElementAlloc(msg.Msg(), SetAt(msg, 0), 4, nullptr), VQX_RESULT_NULL_PARAM);
    EXPECT_EQ(VQXMsgElementAlloc(msg.Msg(), SetAt(msg, 0), 0, &p), VQX_RESULT_INVALID_PARAM);
    EXPECT_EQ(VqxMsgElementCheckSet(nullptr, SetAt(msg, 0)), VQX_RESULT_NULL_PARAM);
    EXPECT_EQ(VqxMsgElementCheckSet(msg.Msg(), nullptr), VQX_RESULT_NULL_PARAM);
    /* A set word in the header, before the payload. */
    EXPECT_EQ(VQXMsgElementAlloc(msg.Msg(), msg.Msg(), 4, &p), VQX_RESULT_MISMATCH);
    EXPECT_EQ(Snapshot(msg), before);
}

} // namespace
