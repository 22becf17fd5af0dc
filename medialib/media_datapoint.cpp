/*
 * media_datapoint.cpp - copying a media server data point (224 bytes, layout
 * in docs/media-data-point.md) into another message: the bytes, then the
 * message-element sets it names, rebuilt in the destination message.
 */
#include "media_internal.h"
#include "vqx_msg_element.h"

namespace {

constexpr u32 kKindOffset = 0;
constexpr u32 kSetOffset = 24;     /* element set of kinds 1 and 3 */
constexpr u32 kCountOffset = 28;   /* kind 3 (output): number of further sets */
constexpr u32 kSetsOffset = 40;    /* further set i at 40 + 24 * i */
constexpr u32 kSetsStride = 24;
constexpr u32 kMaxSets = (VQX_MEDIA_DATA_POINT_SIZE - kSetsOffset - sizeof(VQXMsgElementSet)) / kSetsStride + 1;
static_assert(kSetsOffset + (kMaxSets - 1) * kSetsStride + sizeof(VQXMsgElementSet) <= VQX_MEDIA_DATA_POINT_SIZE);
static_assert(kSetsOffset + kMaxSets * kSetsStride + sizeof(VQXMsgElementSet) > VQX_MEDIA_DATA_POINT_SIZE);

VQX_RESULT VqxDupSet(const u8* s, void* pMsg, u8* d, u32 un32Offset) {
  return VQXMsgElementDupSet(s + un32Offset, pMsg, d + un32Offset, nullptr, nullptr);
}

}  // namespace

VQX_RESULT VQXMediaServerCopyInputDataPoint(void*, const void* pSrc, void* pMsg, void* pDst) {
  if (pSrc == nullptr || pMsg == nullptr || pDst == nullptr) return VQX_RESULT_NULL_PARAM;
  const u8* s = static_cast<const u8*>(pSrc);
  u8* d = static_cast<u8*>(pDst);
  std::memmove(d, s, VQX_MEDIA_DATA_POINT_SIZE);
  const u32 un32Kind = VqxLoad32(s + kKindOffset);
  if (un32Kind == 1 || un32Kind == 3) return VqxDupSet(s, pMsg, d, kSetOffset);
  return VQX_RESULT_OK;
}

VQX_RESULT VQXMediaServerCopyOutputDataPoint(void*, const void* pSrc, void* pMsg, void* pDst) {
  if (pSrc == nullptr || pMsg == nullptr || pDst == nullptr) return VQX_RESULT_NULL_PARAM;
  const u8* s = static_cast<const u8*>(pSrc);
  u8* d = static_cast<u8*>(pDst);
  const u32 un32Kind = VqxLoad32(s + kKindOffset);
  const u32 un32Count = VqxLoad32(s + kCountOffset);
  /* Sets past the data point's end would be read from whatever follows it. */
  if (un32Kind == 3 && un32Count > kMaxSets) return VQX_RESULT_INVALID_PARAM;
  std::memmove(d, s, VQX_MEDIA_DATA_POINT_SIZE);
  if (un32Kind == 1) return VqxDupSet(s, pMsg, d, kSetOffset);
  if (un32Kind != 3) return VQX_RESULT_OK;
  VQX_RESULT res = VqxDupSet(s, pMsg, d, kSetOffset);
  for (u32 i = 0; i < un32Count; ++i) res = VqxDupSet(s, pMsg, d, kSetsOffset + kSetsStride * i);
  return res;
}
