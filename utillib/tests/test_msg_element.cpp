// Message-element sets: sizes, round trips in both layouts, golden bytes, limits, undo of appends, duplication,
// resize, and every corruption the bounded calls must refuse without writing (AddressSanitizer in the ci preset).
#include "support/vqx_test_support.h"
#include "vqx_msg_element.h"

#include <numeric>

namespace {

constexpr u32 k32 = VQX_MSG_ELEMENT_LAYOUT_32, k16 = VQX_MSG_ELEMENT_LAYOUT_16;
using Elems = std::vector<std::pair<const u8*, u16>>;
using Strings = std::vector<std::string>;

void PutBe32(u8* p, u32 v) { for (int i = 0; i < 4; ++i) p[i] = u8(v >> (24 - 8 * i)); }

VqxTestMsg MakeMsg(u32 un32Cap, u32 un32Struct, u32 un32Layout = k32) {
  VqxTestMsg msg(un32Cap);
  EXPECT_EQ(VqxMsgElementInitLayout(msg.Msg(), un32Struct, un32Layout), VQX_RESULT_OK);
  return msg;
}

// Appends one element holding the bytes; null when refused.
u8* Add(VqxTestMsg& m, void* pSet, const std::vector<u8>& bytes) {
  void* p = nullptr;
  EXPECT_EQ(VQXMsgElementAlloc(m.Msg(), pSet, u16(bytes.size()), &p), VQX_RESULT_OK);
  return p != nullptr ? static_cast<u8*>(std::memcpy(p, bytes.data(), bytes.size())) : nullptr;
}

// Every element of a set as (data, size), by index (Get) and by walking (GetNext): both must agree and end with
// null and size 0.
Elems Elements(const void* pSet) {
  Elems byIndex, byWalk;
  u16 size = 9, sizeWalk = 9;
  for (void* p; byIndex.size() < 100 && (p = VQXMsgElementGet(pSet, u16(byIndex.size()), &size));) byIndex.emplace_back(static_cast<u8*>(p), size);
  for (const void* p = nullptr; byWalk.size() < 100 && (p = VQXMsgElementGetNext(pSet, p, &sizeWalk));) byWalk.emplace_back(static_cast<const u8*>(p), sizeWalk);
  EXPECT_EQ(size + sizeWalk, 0) << "size past the end";
  EXPECT_EQ(byWalk, byIndex);
  EXPECT_EQ(VQXMsgElementCount(pSet), byIndex.size());
  return byIndex;
}

Strings Contents(const void* pSet) {  // the bytes of every element
  Strings v;
  for (const auto& [p, size] : Elements(pSet)) v.emplace_back(reinterpret_cast<const char*>(p), size);
  return v;
}

VQX_RESULT Str(VqxTestMsg& m, void* pSet, const char* psz) { return VQXMsgElementStringAdd(m.Msg(), pSet, psz); }
VQX_RESULT Dup(const void* pSrc, VqxTestMsg& dst, void* pDst, PFN_VQX_MSG_ELEMENT_COPY pfn = nullptr, void* pv = nullptr) {
  return VQXMsgElementDupSet(pSrc, dst.Msg(), pDst, pfn, pv);
}
// Every check also goes through a checker opened on the message: the two must agree.
VQX_RESULT Check(VqxTestMsg& m, const void* pSet) {
  VqxMsgElementChecker checker;
  const VQX_RESULT rOpen = VqxMsgElementCheckerOpen(m.Msg(), &checker);
  const VQX_RESULT r = VqxMsgElementCheckSet(m.Msg(), pSet);
  EXPECT_EQ(VqxMsgElementCheckSetIn(&checker, pSet), r);
  if (VQX_RESULT_FAILED(rOpen)) {
    EXPECT_EQ(rOpen, r);
  }
  return r;
}

// The example of docs/msg-element-sets.md: a 12-byte structure with set A at 0, set B at 4, u32 0x11223344 at 8.
void BuildExample(VqxTestMsg& msg) {
  PutBe32(msg.Payload() + 8, 0x11223344);
  Add(msg, msg.Set(0), {1, 2, 3, 4, 5, 6});
  EXPECT_EQ(Str(msg, msg.Set(4), "hi"), VQX_RESULT_OK);
  Add(msg, msg.Set(0), {0xAA, 0xBB, 0xCC, 0xDD});
}

TEST(MsgElement, SizesInitAndTheGoldenExample) {
  const u32 sizes[][2] = {{0, 8}, {1, 16}, {7, 16}, {8, 16}, {9, 24}, {80, 88}, {65535, 65544}, {~0u, ~7u}};
  for (auto [in, out] : sizes) EXPECT_EQ(std::pair(VQXMsgComputeSize(in, 0, 0), VQXMsgElementComputeSize(in)), std::pair(out, out)) << in;
  // Init writes the end marker after the rounded structure, or zeroes the whole capacity and leaves the length.
  const u8 marker[] = {0xED, 0xDA, 0x21, 0x43, 0x34, 0x12, 0xAD, 0xDE};
  const struct { u32 cap, structSize, used; } rows[] = {  // used 0: refused with 0x8200001A
      {8, 0, 8}, {16, 8, 16}, {16, 9, 0}, {4136, 40, 48}, {64, 56, 64}, {64, 57, 0}, {16, ~0u, 0}};
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << "cap " << r.cap << " struct " << r.structSize);
    VqxTestMsg msg(r.cap);
    msg.Used() = 3;
    EXPECT_EQ(VQXMsgElementInit(msg.Msg(), r.structSize), r.used ? VQX_RESULT_OK : VQX_RESULT_BUFFER_TOO_SMALL);
    const u32 zeroed = r.used ? r.used - 8 : msg.Cap();
    EXPECT_TRUE(u32(std::count(msg.Payload(), msg.Payload() + zeroed, 0)) == zeroed && msg.Used() == (r.used ? r.used : 3u) &&
                (!r.used || std::memcmp(msg.Payload() + r.used - 8, marker, 8) == 0)) << "zeroed, length, end marker";
  }
  EXPECT_EQ(VQXMsgElementInit(nullptr, 8), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(VqxMsgElementInitLayout(VqxTestMsg(64).Msg(), 8, 24), VQX_RESULT_INVALID_PARAM);
  for (const auto& [layout, file] : {std::pair{k32, "msg_element_32.bin"}, std::pair{k16, "msg_element_16.bin"}}) {
    VqxTestMsg msg = MakeMsg(128, 12, layout);
    BuildExample(msg);
    EXPECT_EQ(std::vector<u8>(msg.Payload(), msg.Payload() + msg.Used()), VqxTestReadGolden(file)) << file;
  }
}

class MsgElementLayout : public ::testing::TestWithParam<u32> {};

TEST_P(MsgElementLayout, AppendGetWalkAndLimits) {
  VqxTestMsg msg = MakeMsg(0x50000, 16, GetParam());
  EXPECT_TRUE(Elements(msg.Set(0)).empty() && Elements(nullptr).empty());
  const u16 sizes[] = {1, 7, 8, 9, 100, 65535, 3};
  Elems added;
  Strings want0, want8;
  for (u16 i = 0; i < std::size(sizes); ++i) {
    void* p = nullptr;
    ASSERT_EQ(VQXMsgElementAlloc(msg.Msg(), msg.Set(0), sizes[i], &p), VQX_RESULT_OK) << "element " << i;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % (GetParam() / 4), 0u) << "8-aligned (32-bit), 4-aligned (16-bit) " << i;
    EXPECT_EQ(std::count(static_cast<u8*>(p), static_cast<u8*>(p) + sizes[i], 0), sizes[i]) << "zeroed " << i;
    added.emplace_back(static_cast<u8*>(std::memset(p, 0x10 + i, sizes[i])), sizes[i]);
    want0.emplace_back(sizes[i], char(0x10 + i));
    want8.push_back(std::to_string(i) + '\0');
    // An element of the second set between each, interleaving the two.
    ASSERT_EQ(Str(msg, msg.Set(8), std::to_string(i).c_str()), VQX_RESULT_OK);
  }
  EXPECT_EQ(Elements(msg.Set(0)), added) << "elements never move";
  EXPECT_EQ(Contents(msg.Set(0)), want0);
  EXPECT_EQ(Contents(msg.Set(8)), want8);  // sets inside elements: the undo and deep-copy cases
  // Texts are below 65535 bytes; 0x40000 bounds the used payload (about 128 KiB so far) although the capacity is
  // larger: two more elements of 60000 bytes fit, not three (the capacity bound: the resize case).
  // Refusals of null arguments and of an empty element write nothing either.
  const std::string longest(65534, 'y');
  void* p = &msg;
  EXPECT_EQ((Results{Str(msg, msg.Set(4), std::string(65535, 'x').c_str()), Str(msg, msg.Set(4), nullptr), Str(msg, msg.Set(4), ""),
                     VQXMsgElementStringAdd(nullptr, msg.Set(4), "a"), VQXMsgElementAlloc(nullptr, msg.Set(4), 4, &p),
                     VQXMsgElementAlloc(msg.Msg(), msg.Set(4), 4, nullptr), VqxMsgElementCheckSet(nullptr, msg.Set(4)),
                     VQXMsgElementAlloc(msg.Msg(), msg.Set(4), 0, &p), Str(msg, msg.Set(4), longest.c_str())}),
            (Results{VQX_RESULT_INVALID_PARAM, VQX_RESULT_INVALID_PARAM, VQX_RESULT_OK, VQX_RESULT_NULL_PARAM, VQX_RESULT_NULL_PARAM,
                     VQX_RESULT_NULL_PARAM, VQX_RESULT_NULL_PARAM, VQX_RESULT_INVALID_PARAM, VQX_RESULT_OK}));
  VqxMsgElementChecker nullChecker, checker;
  EXPECT_EQ((Results{VqxMsgElementCheckerOpen(nullptr, &nullChecker), VqxMsgElementCheckSetIn(&nullChecker, msg.Set(4)),
                     VqxMsgElementCheckerOpen(msg.Msg(), nullptr), VqxMsgElementCheckerOpen(msg.Msg(), &checker),
                     VqxMsgElementCheckSetIn(nullptr, msg.Set(4)), VqxMsgElementCheckSetIn(&checker, nullptr)}),
            (Results{VQX_RESULT_NULL_PARAM, VQX_RESULT_NULL_PARAM, VQX_RESULT_NULL_PARAM, VQX_RESULT_OK, VQX_RESULT_NULL_PARAM,
                     VQX_RESULT_NULL_PARAM}));
  EXPECT_TRUE(p == nullptr && Contents(msg.Set(4)) == (Strings{{"", 1}, longest + '\0'}));
  VQX_RESULT r = VQX_RESULT_OK;
  u32 n = 0;
  for (; n < 10 && (r = VQXMsgElementAlloc(msg.Msg(), msg.Set(12), 60000, &p)) == VQX_RESULT_OK;) ++n;
  EXPECT_TRUE(r == VQX_RESULT_BUFFER_TOO_SMALL && !p && n == 2 && msg.Used() <= VQX_MSG_ELEMENT_MAX_PAYLOAD) << r << " " << n;
  EXPECT_EQ((Results{Check(msg, msg.Set(0)), Check(msg, msg.Set(8)), Check(msg, msg.Set(12))}), Results(3, VQX_RESULT_OK));
}

TEST_P(MsgElementLayout, UndoRestoresTheMessageAtTheMark) {
  // A composer marks the message, appends an element, a text inside it and a text to set B, and on a later failure
  // undoes them: the message is byte for byte what it was at the mark (set B empty before or not), appends go on
  // from there; refusals write nothing.
  VqxTestMsg msg = MakeMsg(512, 8, GetParam());
  ASSERT_EQ(Str(msg, msg.Set(0), "kept"), VQX_RESULT_OK);
  void* p = nullptr;
  void* apSets[] = {msg.Set(0), msg.Set(4)};
  for (bool fOuterB : {false, true}) {
    ASSERT_TRUE(!fOuterB || Str(msg, msg.Set(4), "b0") == VQX_RESULT_OK);
    // The message as far as it is defined: header and used payload (the undo zeroes what it drops past the mark).
    const auto used = [&msg] { const std::vector<u8> b = msg.Bytes(); return std::vector<u8>(b.begin(), b.begin() + VQX_MSG_HEADER_SIZE + msg.Used()); };
    const std::vector<u8> before = used();
    const u32 mark = VqxMsgElementMark(msg.Msg());
    ASSERT_EQ((Results{VQXMsgElementAlloc(msg.Msg(), msg.Set(0), 16, &p), Str(msg, p, "inner"), Str(msg, msg.Set(4), "b1")}),
              Results(3, VQX_RESULT_OK));
    EXPECT_EQ(VqxMsgElementUndo(msg.Msg(), mark, apSets, 2), VQX_RESULT_OK) << fOuterB;
    EXPECT_EQ(used(), before) << fOuterB;
    ASSERT_EQ(Str(msg, msg.Set(0), "again"), VQX_RESULT_OK);
    EXPECT_EQ(Contents(msg.Set(0)), (Strings{{"kept", 5}, {"again", 6}})) << fOuterB;
    EXPECT_EQ(VqxMsgElementUndo(msg.Msg(), mark, apSets, 1), VQX_RESULT_OK);
  }
  const u32 mark = VqxMsgElementMark(msg.Msg());
  ASSERT_EQ(VQXMsgElementAlloc(msg.Msg(), msg.Set(0), 8, &p), VQX_RESULT_OK);
  const std::vector<u8> after = msg.Bytes();
  void* apInner[] = {p};  // a set word inside what the undo would drop
  EXPECT_EQ((Results{VqxMsgElementUndo(nullptr, mark, apSets, 1), VqxMsgElementUndo(msg.Msg(), mark, nullptr, 1),
                     VqxMsgElementUndo(msg.Msg(), msg.Used() + 8, apSets, 1), VqxMsgElementUndo(msg.Msg(), mark + 4, apSets, 1),
                     VqxMsgElementUndo(msg.Msg(), 0, apSets, 1), VqxMsgElementUndo(msg.Msg(), mark, apInner, 1)}),
            (Results{VQX_RESULT_NULL_PARAM, VQX_RESULT_NULL_PARAM, VQX_RESULT_INVALID_PARAM, VQX_RESULT_INVALID_PARAM,
                     VQX_RESULT_INVALID_PARAM, VQX_RESULT_MISMATCH}))
      << "null message, null set list; mark past the used payload, not a multiple of 8, below the end marker";
  EXPECT_EQ(msg.Bytes(), after);
}

INSTANTIATE_TEST_SUITE_P(BothLayouts, MsgElementLayout, ::testing::Values(k32, k16),
                         [](const auto& info) { return "Layout" + std::to_string(info.param); });

// ---- duplication (layouts, room and broken sources against the element-by-element path: test_msg_element_dup.cpp) ----

void FillSource(VqxTestMsg& msg, void* pSet, u32 count) {  // element i: 3 + i bytes counting up from i * 16
  for (u32 i = 0; i < count; ++i) Add(msg, pSet, [&] { std::vector<u8> v(3 + i); return std::iota(v.begin(), v.end(), u8(i * 16)), v; }());
}

// A copy function that records its calls, reverses the bytes (so the test sees it ran) and fails at call failAt.
struct CopyLog {
  void* expectedMsg;
  size_t failAt = ~size_t(0);
  Elems calls = {};
  static i32 Copy(void* ctx, const void* src, void* dstMsg, void* dst, u16 size) {
    auto* log = static_cast<CopyLog*>(ctx);
    auto* p = static_cast<const u8*>(src);
    if (dstMsg != log->expectedMsg) return i32(VQX_RESULT_INVALID_PARAM);
    log->calls.emplace_back(p, size);
    return log->calls.size() == log->failAt + 1 ? i32(VQX_RESULT_FAIL) : (std::reverse_copy(p, p + size, static_cast<u8*>(dst)), i32(VQX_RESULT_OK));
  }
};

TEST(MsgElementDupSet, CopyFunctionWithinOneMessageAndIntoTheSameSet) {
  // Each element goes to the copy function with the destination message; a failure stops at that element: the ones
  // before stay, the failing one stays zero-filled. Source and destination in one message, or in two.
  for (const auto& [failAt, fOneMsg] : {std::pair{size_t(4), false}, std::pair{size_t(2), false}, std::pair{size_t(4), true}, std::pair{size_t(2), true}}) {
    VqxTestMsg src = MakeMsg(512, 8), other = MakeMsg(512, 8, k16);
    VqxTestMsg& dst = fOneMsg ? src : other;
    FillSource(src, src.Set(0), 4);
    CopyLog log{dst.Msg(), failAt};
    EXPECT_EQ(Dup(src.Set(0), dst, dst.Set(4), CopyLog::Copy, &log), failAt < 4 ? VQX_RESULT_FAIL : VQX_RESULT_OK);
    Elems calls = Elements(src.Set(0));
    Strings want = Contents(src.Set(0));
    calls.resize(std::min<size_t>(failAt + 1, 4)), want.resize(calls.size());
    for (auto& e : want) std::reverse(e.begin(), e.end());
    if (failAt < 4) want.back().assign(want.back().size(), '\0');
    EXPECT_EQ(log.calls, calls) << failAt;
    EXPECT_EQ(Contents(dst.Set(4)), want) << failAt;
    EXPECT_TRUE(Dup(dst.Set(4), dst, dst.Set(0)) == VQX_RESULT_OK && Contents(dst.Set(0)) == want) << "within its message, no copy function";
  }
  VqxTestMsg msg = MakeMsg(512, 16);
  FillSource(msg, msg.Set(0), 3);
  EXPECT_TRUE(Dup(msg.Set(8), msg, msg.Set(0)) == VQX_RESULT_OK && *msg.Set(0) == 0u) << "an empty source empties the destination";
  EXPECT_EQ((Results{Dup(nullptr, msg, msg.Set(4)), VQXMsgElementDupSet(msg.Set(0), nullptr, msg.Set(4), nullptr, nullptr),
                     Dup(msg.Set(0), msg, nullptr)}),
            Results(3, VQX_RESULT_NULL_PARAM));
  // Into the same set, each element goes to the copy function in place and nothing is appended; without a copy
  // function nothing changes.
  VqxTestMsg m16 = MakeMsg(512, 8, k16);
  FillSource(m16, m16.Set(0), 3);
  const u32 used = m16.Used();
  const std::vector<u8> before = m16.Bytes();
  CopyLog same{m16.Msg()};
  EXPECT_TRUE(Dup(m16.Set(0), m16, m16.Set(0)) == VQX_RESULT_OK && m16.Bytes() == before);
  ASSERT_EQ(Dup(m16.Set(0), m16, m16.Set(0), CopyLog::Copy, &same), VQX_RESULT_OK);
  EXPECT_TRUE(same.calls.size() == 3 && m16.Used() == used && Elements(m16.Set(0)).size() == 3);
}

// A deep copy: each outer element holds a nested string set that the copy function duplicates in turn, as the
// information-element copies do (the destination grows while its own set is being filled).
i32 DeepCopy(void*, const void* src, void* dstMsg, void* dst, u16 size) {
  std::memcpy(dst, src, size);
  return i32(VQXMsgElementDupSet(static_cast<const u8*>(src) + 4, dstMsg, static_cast<u8*>(dst) + 4, nullptr, nullptr));
}

TEST(MsgElementDupSet, NestedDeepCopy) {
  VqxTestMsg src = MakeMsg(1024, 8), dst = MakeMsg(1024, 8, k16);
  for (u8 i = 0; i < 3; ++i) ASSERT_EQ(Str(src, Add(src, src.Set(0), {i, 0, 0, 0, 0, 0, 0, 0}) + 4, std::to_string(i).c_str()), VQX_RESULT_OK);
  ASSERT_EQ(Dup(src.Set(0), dst, dst.Set(0), DeepCopy), VQX_RESULT_OK);
  Strings copies;  // the first byte of each outer element, then its nested texts
  for (const auto& [p, size] : Elements(dst.Set(0))) {
    copies.push_back(std::to_string(p[0]) + ":" + Contents(p + 4).at(0));
    EXPECT_EQ(Check(dst, p + 4), VQX_RESULT_OK);
  }
  EXPECT_EQ(copies, (Strings{{"0:0", 4}, {"1:1", 4}, {"2:2", 4}}));
}

// (result, new message) of one resize through the library that hLib stands for.
std::pair<VQX_RESULT, void*> Resize(VQX_TEST_MSG_LIB* pLib, VqxTestMsg& m, u32 un32Size) {
  void* pNew = &m;
  const VQX_RESULT r = VQXMsgElementDupMsgResize(pLib, m.Msg(), &pNew, un32Size);
  return {r, pNew};
}

TEST(MsgElementResize, CopiesHeaderFieldsAndSetsThroughTheRegisteredAllocator) {
  VqxTestMsg msg = MakeMsg(64, 8);
  ASSERT_EQ(Str(msg, msg.Set(0), "abc"), VQX_RESULT_OK);
  const u32 used = msg.Used();
  for (u32 off = 0; off < VQX_MSG_HEADER_SIZE; off += 4) msg.Field(off) = off < 8 || off >= 24 ? 0xC0DE0000u + off : msg.Field(off);
  const u32 copied[] = {0, 4, 12, 28, 32, 36, 48, 52};  // message id and type, payload length, adapter, user contexts
  VQX_TEST_MSG_LIB lib;
  const std::pair<VQX_RESULT, void*> noMemory(VQX_RESULT_NOT_ENOUGH_MEMORY, nullptr);
  EXPECT_EQ(Resize(&lib, msg, 128), noMemory) << "no allocator registered";
  ASSERT_EQ(VqxMsgElementSetAllocator(VqxTestMsgAlloc, VqxTestMsgRelease), VQX_RESULT_OK);
  EXPECT_EQ(Resize(&lib, msg, used - 8).first, VQX_RESULT_BUFFER_TOO_SMALL);
  EXPECT_EQ(lib.un32Allocs, 0u);
  auto [r, pNew] = Resize(&lib, msg, used);  // exactly the used length
  EXPECT_EQ(r, VQX_RESULT_OK);
  VqxTestMsg::Adopt(pNew);
  std::tie(r, pNew) = Resize(&lib, msg, 128);
  ASSERT_EQ(r, VQX_RESULT_OK);
  VqxTestMsg grown = VqxTestMsg::Adopt(pNew), fresh(128);
  for (u32 off = 0; off < VQX_MSG_HEADER_SIZE; off += 4)  // the others (serial number included) stay as allocated
    EXPECT_EQ(grown.Field(off), (std::count(copied, std::end(copied), off) ? msg : fresh).Field(off)) << "header offset " << off;
  EXPECT_EQ(std::memcmp(grown.Payload(), msg.Payload(), used), 0);
  // The copy's sets are valid and can grow into the new room, up to its capacity exactly.
  EXPECT_EQ((Results{Str(grown, grown.Set(0), std::string(60, 'z').c_str()), Str(grown, grown.Set(0), "1234567"), Str(grown, grown.Set(0), "")}),
            (Results{VQX_RESULT_OK, VQX_RESULT_OK, VQX_RESULT_BUFFER_TOO_SMALL})) << "8 bytes left: no room for an element";
  EXPECT_EQ(Contents(grown.Set(0)), (Strings{{"abc", 4}, std::string(60, 'z') + '\0', {"1234567", 8}}));
  // Refusals: allocation refused; a message shorter than asked (given back); null arguments; a broken message.
  lib.fFail = true;
  EXPECT_EQ(Resize(&lib, msg, 256), noMemory);
  lib.fFail = false, lib.un32Shortchange = 70;
  EXPECT_EQ(Resize(&lib, msg, 96), noMemory);
  EXPECT_EQ(std::pair(lib.un32Allocs, lib.un32Releases), std::pair(3u, 1u));
  EXPECT_EQ((Results{VQXMsgElementDupMsgResize(&lib, nullptr, &pNew, 256), VQXMsgElementDupMsgResize(&lib, msg.Msg(), nullptr, 256),
                     VqxMsgElementSetAllocator(VqxTestMsgAlloc, nullptr)}),
            Results(3, VQX_RESULT_NULL_PARAM));
  msg.Used() = msg.Cap() + 8;
  EXPECT_EQ(Resize(&lib, msg, 0x1000).first, VQX_RESULT_MISMATCH);
  VqxMsgElementSetAllocator(nullptr, nullptr);
}

// ---- corruption of the golden example (set A at 0 with two elements, set B at 4 with one; 32-bit layout; used
// payload 72, capacity 128) ----

TEST(MsgElementCorruption, BoundedCallsRefuseAndWriteNothing) {
  using M = VqxTestMsg&;
  const struct {
    const char* name;
    void (*apply)(M);
    int setOff;  // set word handed to the calls, from the payload start
    VQX_RESULT expected;
  } rows[] = {
      {"used above 0x40000", [](M m) { m.Used() = 0x40008; }, 0, VQX_RESULT_MISMATCH},
      {"used above capacity", [](M m) { m.Used() = 136; }, 0, VQX_RESULT_MISMATCH},
      {"used not a multiple of 8", [](M m) { m.Used() = 68; }, 0, VQX_RESULT_INVALID_MESSAGE},
      {"used zero", [](M m) { m.Used() = 0; }, 0, VQX_RESULT_NOT_INITIALIZED},
      {"end marker overwritten", [](M m) { m.Payload()[70] ^= 0xFF; }, 0, VQX_RESULT_NOT_INITIALIZED},
      {"set word on the end marker", [](M) {}, 64, VQX_RESULT_MISMATCH},
      {"set word in the header", [](M) {}, -int(VQX_MSG_HEADER_SIZE), VQX_RESULT_MISMATCH},
      {"set word not 4-byte aligned", [](M) {}, 2, VQX_RESULT_INVALID_PARAM},
      {"first element past the end", [](M m) { PutBe32(m.Payload(), 0x80020000u | 100); }, 0, VQX_RESULT_MISMATCH},
      {"first element not 8-aligned", [](M m) { PutBe32(m.Payload(), 0x80020005u); }, 0, VQX_RESULT_INVALID_MESSAGE},
      {"nonzero word with count 0", [](M m) { PutBe32(m.Payload(), 0x80000004u); }, 0, VQX_RESULT_INVALID_MESSAGE},
      {"nonzero word, distance 0", [](M m) { PutBe32(m.Payload(), 0x80020000u); }, 0, VQX_RESULT_INVALID_MESSAGE},
      {"element size past the used payload", [](M m) { PutBe32(m.Payload() + 0x30, 0x30); }, 0, VQX_RESULT_MISMATCH},
      {"element size above 65535", [](M m) { PutBe32(m.Payload() + 0x10, 0x10006); }, 0, VQX_RESULT_INVALID_MESSAGE},
      {"link past the end", [](M m) { PutBe32(m.Payload() + 0x14, 0x100); }, 0, VQX_RESULT_MISMATCH},
      {"link shorter than the element", [](M m) { PutBe32(m.Payload() + 0x14, 8); }, 0, VQX_RESULT_INVALID_MESSAGE},
      {"link huge", [](M m) { PutBe32(m.Payload() + 0x14, 0xFFFFFFF8u); }, 0, VQX_RESULT_INVALID_MESSAGE},
      {"count above the chain", [](M m) { PutBe32(m.Payload(), 0x80030004u); }, 0, VQX_RESULT_INVALID_MESSAGE},
      {"count below the chain", [](M m) { PutBe32(m.Payload(), 0x80010004u); }, 0, VQX_RESULT_INVALID_MESSAGE},
      {"set layout unlike the message", [](M m) { PutBe32(m.Payload(), 0x00020004u); }, 0, VQX_RESULT_INVALID_MESSAGE},
      {"null set", [](M) {}, INT32_MIN, VQX_RESULT_NULL_PARAM},
  };
  for (const auto& c : rows) {
    VqxTestMsg msg = MakeMsg(128, 12);
    BuildExample(msg);
    c.apply(msg);
    const std::vector<u8> before = msg.Bytes();
    u32* set = c.setOff == INT32_MIN ? nullptr : msg.Set(c.setOff);
    void* p = &msg;
    // A source inside the destination message is checked before the destination is emptied.
    EXPECT_EQ((Results{Check(msg, set), VQXMsgElementAlloc(msg.Msg(), set, 4, &p), Str(msg, set, "x"),
                       c.setOff == 0 ? Dup(set, msg, msg.Set(4)) : c.expected}),
              Results(4, c.expected))
        << c.name;
    EXPECT_TRUE(p == nullptr && msg.Bytes() == before) << c.name << ": nothing written";
  }
}

TEST(MsgElementCorruption, SetOnlyReadersStopOnBrokenChains) {
  // Set A of the example with a count above its chain, then below it: Get gives the elements before the first
  // inconsistency and nothing after; GetNext, which cannot know the index of the element it is given, follows the
  // well-formed links. A broken source in another message stops a duplication; what was copied before stays.
  for (const auto& [setWord, readable] : {std::pair{0x80030004u, 1u}, std::pair{0x80010004u, 0u}}) {
    VqxTestMsg msg = MakeMsg(128, 12), dst = MakeMsg(256, 8);
    BuildExample(msg);
    PutBe32(msg.Payload(), setWord);
    u16 size = 9;
    const void* p = VQXMsgElementGetNext(msg.Set(0), nullptr, nullptr);
    EXPECT_EQ((std::vector<bool>{VQXMsgElementGet(msg.Set(0), 0, nullptr) != nullptr, VQXMsgElementGet(msg.Set(0), 1, &size) != nullptr,
                                 size != 0, p != nullptr && VQXMsgElementGetNext(msg.Set(0), p, nullptr) != nullptr}),
              (std::vector<bool>{readable != 0, false, false, readable != 0})) << setWord;
    EXPECT_TRUE(Dup(msg.Set(0), dst, dst.Set(0)) == VQX_RESULT_INVALID_MESSAGE && VQXMsgElementCount(dst.Set(0)) == readable) << setWord;
  }
}

}  // namespace
