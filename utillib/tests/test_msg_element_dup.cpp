// Set duplication from another message against the element-by-element path: for each row, the same source set is
// duplicated into three identical destinations, by VQXMsgElementDupSet alone, through a copy function, and by
// VQXMsgElementAlloc plus memcpy per element (the reference). The three whole buffers must be equal byte for byte
// and the results those of the row: both layouts, a set that does not fit, a count above the chain (its last element
// is then refused, the ones before stay).
#include "support/vqx_test_support.h"
#include "vqx_msg_element.h"

namespace {

constexpr u32 k32 = VQX_MSG_ELEMENT_LAYOUT_32, k16 = VQX_MSG_ELEMENT_LAYOUT_16;

i32 CopyBytes(void*, const void* src, void*, void* dst, u16 size) {
  std::memcpy(dst, src, size);
  return i32(VQX_RESULT_OK);
}

// The reference: appends the first n source elements in turn (following the links), stopping at a refusal.
VQX_RESULT ByElement(const void* pSrcSet, size_t n, VqxTestMsg& dst, void* pDstSet) {
  *static_cast<u32*>(pDstSet) = 0;
  u16 size = 0;
  const void* p = VQXMsgElementGetNext(pSrcSet, nullptr, &size);
  for (size_t i = 0; i < n && p != nullptr; ++i, p = VQXMsgElementGetNext(pSrcSet, p, &size)) {
    void* pNew = nullptr;
    const VQX_RESULT r = VQXMsgElementAlloc(dst.Msg(), pDstSet, size, &pNew);
    if (VQX_RESULT_FAILED(r)) return r;
    std::memcpy(pNew, p, size);
  }
  return VQX_RESULT_OK;
}

TEST(MsgElementDupSetPaths, MatchTheElementByElementPath) {
  const struct { const char* name; u32 srcLayout, dstLayout, dstCap; std::vector<u16> sizes; bool fBreakCount; VQX_RESULT expected; } rows[] = {
      {"32 to 32", k32, k32, 1024, {1, 7, 8, 9, 16, 100}, false, VQX_RESULT_OK},
      {"16 to 16", k16, k16, 1024, {1, 3, 4, 5, 12, 100}, false, VQX_RESULT_OK},
      {"32 to 16", k32, k16, 1024, {4, 5, 8, 60}, false, VQX_RESULT_OK},
      {"16 to 32", k16, k32, 1024, {4, 5, 8, 60}, false, VQX_RESULT_OK},
      {"one element", k32, k32, 1024, {20}, false, VQX_RESULT_OK},
      {"room for three of five", k32, k32, 96, {8, 8, 8, 8, 8}, false, VQX_RESULT_BUFFER_TOO_SMALL},
      {"room for none", k16, k16, 40, {40}, false, VQX_RESULT_BUFFER_TOO_SMALL},
      {"count beyond the chain", k32, k32, 1024, {5, 6, 7}, true, VQX_RESULT_INVALID_MESSAGE},
      {"16-bit count beyond the chain", k16, k32, 1024, {5, 6}, true, VQX_RESULT_INVALID_MESSAGE}};
  for (const auto& r : rows) {
    VqxTestMsg src(2048);
    ASSERT_EQ(VqxMsgElementInitLayout(src.Msg(), 8, r.srcLayout), VQX_RESULT_OK) << r.name;
    for (size_t i = 0; i < r.sizes.size(); ++i) {
      void* p = nullptr;
      ASSERT_EQ(VQXMsgElementAlloc(src.Msg(), src.Set(0), r.sizes[i], &p), VQX_RESULT_OK) << r.name;
      for (u16 k = 0; k < r.sizes[i]; ++k) static_cast<u8*>(p)[k] = u8(0x11 * i + k);
    }
    if (r.fBreakCount) src.Payload()[1] += 1;  // the set word's count one above its chain
    std::vector<VqxTestMsg> dst;
    for (int i = 0; i < 3; ++i) {
      dst.emplace_back(r.dstCap);
      ASSERT_EQ(VqxMsgElementInitLayout(dst[i].Msg(), 12, r.dstLayout), VQX_RESULT_OK) << r.name;
      ASSERT_EQ(VQXMsgElementStringAdd(dst[i].Msg(), dst[i].Set(8), "x"), VQX_RESULT_OK) << r.name;
      *dst[i].Set(4) = 0x01020304;  // emptied by each path
    }
    EXPECT_EQ(VQXMsgElementDupSet(src.Set(0), dst[0].Msg(), dst[0].Set(4), nullptr, nullptr), r.expected) << r.name;
    EXPECT_EQ(VQXMsgElementDupSet(src.Set(0), dst[1].Msg(), dst[1].Set(4), CopyBytes, nullptr), r.expected) << r.name;
    const VQX_RESULT ref = ByElement(src.Set(0), r.sizes.size() - r.fBreakCount, dst[2], dst[2].Set(4));
    EXPECT_EQ(ref, r.fBreakCount ? VQX_RESULT_OK : r.expected) << r.name;
    EXPECT_EQ(dst[0].Bytes(), dst[2].Bytes()) << r.name;
    EXPECT_EQ(dst[1].Bytes(), dst[2].Bytes()) << r.name;
    EXPECT_EQ(VqxMsgElementCheckSet(dst[0].Msg(), dst[0].Set(4)), VQX_RESULT_OK) << r.name;
  }
}

// The copier against the calls it stands for: every word of a source message made wild in turn (set words, element
// headers, its end marker, its header's length and capacity), each mutation copied set by set into a roomy and a
// tight destination, once by a copier and once by VqxMsgElementCheckSet + VQXMsgElementDupSet. Results and whole
// buffers must agree after every call: a refused source set leaves the destination untouched, appends made by other
// calls between two copier calls are seen, a nested copy through the copier's own element function works.
struct CopyJob {
  VqxMsgElementCopier* pCopier;  // null: the reference path
  const void* pSrcMsg;
};

VQX_RESULT CopySet(CopyJob& job, const void* pSrcSet, void* pDstMsg, void* pDstSet, PFN_VQX_MSG_ELEMENT_COPY pfn) {
  if (job.pCopier != nullptr) return VqxMsgElementCopierDupSet(job.pCopier, pSrcSet, pDstSet, pfn, &job);
  const VQX_RESULT r = job.pSrcMsg != nullptr ? VqxMsgElementCheckSet(job.pSrcMsg, pSrcSet) : VQX_RESULT_OK;
  return VQX_RESULT_FAILED(r) ? r : VQXMsgElementDupSet(pSrcSet, pDstMsg, pDstSet, pfn, &job);
}

// Elements of 8 bytes hold a set word at 0: copied as a nested set, the rest as bytes.
i32 NestedCopy(void* pv, const void* src, void* pDstMsg, void* dst, u16 size) {
  std::memcpy(dst, src, size);
  if (size != 8) return i32(VQX_RESULT_OK);
  return i32(CopySet(*static_cast<CopyJob*>(pv), src, pDstMsg, dst, NestedCopy));
}

// Sets at 0 (one text), 4 (three elements), 8 (one element naming a set of one text), 12 (empty).
VqxTestMsg CopierSource(u32 layout) {
  VqxTestMsg src(512);
  EXPECT_EQ(VqxMsgElementInitLayout(src.Msg(), 16, layout), VQX_RESULT_OK);
  EXPECT_EQ(VQXMsgElementStringAdd(src.Msg(), src.Set(0), "alpha"), VQX_RESULT_OK);
  for (u16 size : {3, 9, 16}) {
    void* p = nullptr;
    EXPECT_EQ(VQXMsgElementAlloc(src.Msg(), src.Set(4), size, &p), VQX_RESULT_OK);
    std::memset(p, 0x30 + size, size);
  }
  void* pNest = nullptr;
  EXPECT_EQ(VQXMsgElementAlloc(src.Msg(), src.Set(8), 8, &pNest), VQX_RESULT_OK);
  EXPECT_EQ(VQXMsgElementStringAdd(src.Msg(), pNest, "inner"), VQX_RESULT_OK);
  return src;
}

// Copies the four sets as bytes into dst sets 0..12 and through NestedCopy into 16..28, with an append by another
// call in between; returns every result.
Results CopyAll(CopyJob& job, const VqxTestMsg& src, VqxTestMsg& dst) {
  auto& s = const_cast<VqxTestMsg&>(src);
  Results r;
  for (int i = 0; i < 8; ++i) {
    if (i == 5) r.push_back(VQXMsgElementStringAdd(dst.Msg(), dst.Set(40), "between"));
    r.push_back(CopySet(job, s.Set(4 * (i % 4)), dst.Msg(), dst.Set(4 * i), i < 4 ? nullptr : NestedCopy));
  }
  return r;
}

TEST(MsgElementCopier, AgreesWithCheckAndDupOnEveryWildWord) {
  const u32 masks[] = {0x00010000, 0x80000000, 0x00000008, 0x000000FF, 0x00FF0000, 0xFFFFFFFF};
  u32 un32Refused = 0;
  for (u32 layout : {k32, k16}) {
    const VqxTestMsg pristine = CopierSource(layout);
    const u32 un32Used = const_cast<VqxTestMsg&>(pristine).Used();
    // Payload words, then the header's length and capacity (offsets past the payload stand for those).
    for (u32 off = 0; off < un32Used + 8; off += 4) {
      for (u32 mask : masks) {
        for (u32 dstCap : {1024u, 200u}) {
          SCOPED_TRACE(testing::Message() << "layout " << layout << " word " << off << " ^" << std::hex << mask << std::dec
                                          << " capacity " << dstCap);
          VqxTestMsg src = CopierSource(layout);
          u32& word = off < un32Used ? *src.Set(off) : src.Field(off == un32Used ? VQX_MSG_OFFSET_PAYLOAD_LENGTH
                                                                                  : VQX_MSG_OFFSET_PAYLOAD_MAX_LENGTH);
          word ^= off < un32Used ? __builtin_bswap32(mask) : mask;
          std::vector<VqxTestMsg> dst;
          for (int i = 0; i < 2; ++i) {
            dst.emplace_back(dstCap);
            ASSERT_EQ(VqxMsgElementInitLayout(dst[i].Msg(), 48, layout), VQX_RESULT_OK);
          }
          VqxMsgElementCopier copier;
          ASSERT_EQ(VqxMsgElementCopierOpen(src.Msg(), dst[0].Msg(), &copier), VQX_RESULT_OK);
          CopyJob fast{&copier, src.Msg()}, ref{nullptr, src.Msg()};
          const Results got = CopyAll(fast, src, dst[0]);
          EXPECT_EQ(got, CopyAll(ref, src, dst[1]));
          EXPECT_EQ(dst[0].Bytes(), dst[1].Bytes());
          un32Refused += u32(std::count_if(got.begin(), got.end(), [](VQX_RESULT r) { return VQX_RESULT_FAILED(r); }));
        }
      }
    }
  }
  EXPECT_GT(un32Refused, 500u);  // the mutations reach the checks
}

// Unchecked, within one message, into a destination that changes under the copier, and null arguments.
TEST(MsgElementCopier, UncheckedInPlaceAndRefusals) {
  for (u32 layout : {k32, k16}) {
    SCOPED_TRACE(layout);
    const VqxTestMsg src = CopierSource(layout);
    std::vector<VqxTestMsg> dst;
    for (int i = 0; i < 2; ++i) {
      dst.emplace_back(1024);
      ASSERT_EQ(VqxMsgElementInitLayout(dst[i].Msg(), 48, layout), VQX_RESULT_OK);
    }
    VqxMsgElementCopier copier;
    ASSERT_EQ(VqxMsgElementCopierOpen(nullptr, dst[0].Msg(), &copier), VQX_RESULT_OK);
    CopyJob fast{&copier, nullptr}, ref{nullptr, nullptr};
    EXPECT_EQ(CopyAll(fast, src, dst[0]), Results(9, VQX_RESULT_OK));
    EXPECT_EQ(CopyAll(ref, src, dst[1]), Results(9, VQX_RESULT_OK));
    EXPECT_EQ(dst[0].Bytes(), dst[1].Bytes());
    // The copy's sets into other sets of the same message, checked within it as it grows.
    ASSERT_EQ(VqxMsgElementCopierOpen(dst[0].Msg(), dst[0].Msg(), &copier), VQX_RESULT_OK);
    fast.pSrcMsg = dst[0].Msg();
    ref.pSrcMsg = dst[1].Msg();
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(CopySet(fast, dst[0].Set(16 + 4 * i), dst[0].Msg(), dst[0].Set(44), NestedCopy),
                CopySet(ref, dst[1].Set(16 + 4 * i), dst[1].Msg(), dst[1].Set(44), NestedCopy)) << i;
      EXPECT_EQ(dst[0].Bytes(), dst[1].Bytes()) << i;
    }
    // The end marker overwritten behind the copier's back: refused as the duplication refuses it.
    ASSERT_EQ(VqxMsgElementCopierOpen(nullptr, dst[0].Msg(), &copier), VQX_RESULT_OK);
    fast.pSrcMsg = ref.pSrcMsg = nullptr;
    auto& s = const_cast<VqxTestMsg&>(src);
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(CopySet(i == 0 ? fast : ref, s.Set(0), dst[i].Msg(), dst[i].Set(44), nullptr), VQX_RESULT_OK);
      std::memset(dst[i].Payload() + dst[i].Used() - 8, 0, 8);
      EXPECT_EQ(CopySet(i == 0 ? fast : ref, s.Set(0), dst[i].Msg(), dst[i].Set(44), nullptr), VQX_RESULT_NOT_INITIALIZED);
    }
    EXPECT_EQ(dst[0].Bytes(), dst[1].Bytes());
  }
  // One element of every size up to 40 bytes (the short copies' cases), by a checked copier and by the duplication.
  for (u16 size = 1; size <= 40; ++size) {
    std::vector<VqxTestMsg> m;
    for (int i = 0; i < 3; ++i) {
      m.emplace_back(256);
      ASSERT_EQ(VQXMsgElementInit(m[i].Msg(), 8), VQX_RESULT_OK);
    }
    void* p = nullptr;
    ASSERT_EQ(VQXMsgElementAlloc(m[0].Msg(), m[0].Set(0), size, &p), VQX_RESULT_OK);
    for (u16 k = 0; k < size; ++k) static_cast<u8*>(p)[k] = u8(k + 1);
    VqxMsgElementCopier copier;
    ASSERT_EQ(VqxMsgElementCopierOpen(m[0].Msg(), m[1].Msg(), &copier), VQX_RESULT_OK);
    EXPECT_EQ(VqxMsgElementCopierDupSet(&copier, m[0].Set(0), m[1].Set(4), nullptr, nullptr), VQX_RESULT_OK) << size;
    EXPECT_EQ(VQXMsgElementDupSet(m[0].Set(0), m[2].Msg(), m[2].Set(4), nullptr, nullptr), VQX_RESULT_OK) << size;
    EXPECT_EQ(m[1].Bytes(), m[2].Bytes()) << size;
  }
  // A checked copier given a set word past its source (here past the buffer): refused before the word is read.
  {
    const VqxTestMsg src = CopierSource(k32);
    VqxTestMsg dst(1024);
    ASSERT_EQ(VQXMsgElementInit(dst.Msg(), 48), VQX_RESULT_OK);
    VqxMsgElementCopier copier;
    auto& s = const_cast<VqxTestMsg&>(src);
    ASSERT_EQ(VqxMsgElementCopierOpen(s.Msg(), dst.Msg(), &copier), VQX_RESULT_OK);
    const std::vector<u8> before = dst.Bytes();
    EXPECT_EQ(VqxMsgElementCopierDupSet(&copier, s.Payload() + 512, dst.Set(0), nullptr, nullptr), VQX_RESULT_MISMATCH);
    EXPECT_EQ(dst.Bytes(), before);
  }
  VqxMsgElementCopier copier;
  VqxTestMsg msg(64);
  ASSERT_EQ(VQXMsgElementInit(msg.Msg(), 8), VQX_RESULT_OK);
  ASSERT_EQ(VqxMsgElementCopierOpen(nullptr, nullptr, &copier), VQX_RESULT_OK);
  EXPECT_EQ((Results{VqxMsgElementCopierOpen(nullptr, msg.Msg(), nullptr), VqxMsgElementCopierDupSet(nullptr, msg.Set(0), msg.Set(4), nullptr, nullptr),
                     VqxMsgElementCopierDupSet(&copier, msg.Set(0), msg.Set(4), nullptr, nullptr)}),
            Results(3, VQX_RESULT_NULL_PARAM));
}

}  // namespace
