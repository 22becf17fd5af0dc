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

}  // namespace
