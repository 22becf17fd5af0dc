/*
 * hostlib_rfilter_swap.cpp - byte order of the remote-filter message family
 * (group 0x020D, ids 0x0100 to 0x0107). Payload words travel in the
 * sender's order; a sender whose header word un32FixedTwo does not read 2
 * after the header's own restoration used the other order, and the words
 * this family defines are turned around. Applied on reception and again to
 * an answer before it goes back.
 */
#include <string.h>

#include "vqx_host_filter.h"
#include "peer/vqx_host_peer_internal.h"

namespace {

constexpr u32 kVersion = 5;
constexpr u32 kOffsetVersion = 8;
constexpr u32 kOffsetWord12 = 12;
constexpr u32 kOffsetFilterNumber = 16;
constexpr u32 kOffsetCount = 20;
constexpr u32 kOffsetSets = 24;
constexpr u32 kSetSize = sizeof(_VQX_FILTER_PARAMS);
constexpr u32 kSetSwappedWords = 7; /* version to serial; the user contexts stay as sent */
constexpr u32 kClearLength = 616;
constexpr u32 kShortLength = 104;   /* DESTROY, DONE, FLOW_CONTROL_LEVEL */
constexpr u32 kMaxSets = 128;

u32 Swap32(u32 v) { return __builtin_bswap32(v); }

u32 Get32(VQX_MSG_HANDLE hMsg, u32 un32Offset) {
  u32 v;
  memcpy(&v, VQXMsgPayload(hMsg) + un32Offset, sizeof(v));
  return v;
}

void SwapAt(VQX_MSG_HANDLE hMsg, u32 un32Offset) {
  const u32 v = Swap32(Get32(hMsg, un32Offset));
  memcpy(VQXMsgPayload(hMsg) + un32Offset, &v, sizeof(v));
}

bool LengthIs(u32 un32Length, u32 un32Expected) {
  return un32Length == un32Expected || Swap32(un32Length) == un32Expected;
}

VQX_RESULT Refuse(VQX_LIB_HANDLE hLib, const char* pszText) {
  VQX_LOG_V(hLib, 0, "VqxRemoteHostFiltersMsgSwap: %s\n", pszText);
  return VQX_RESULT_API_INVALID_MESSAGE;
}

}  // namespace

VQX_RESULT VqxRemoteHostFiltersMsgSwap(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg) {
  const u32 id = hMsg->un32MsgId;
  if (id < VQX_MSG_ID_GW_OP_HOST_FILTER_CLEAR || id > VQX_MSG_ID_GW_OP_HOST_FILTER_DONE ||
      id == VQX_MSG_ID_GW_OP_PEER_VALUE || id == VQX_MSG_ID_GW_OP_HOST_LIST || id == VQX_MSG_ID_GW_OP_ADAPTER_MSG_DELAY) {
    return VQX_RESULT_API_OK;
  }
  /* Every word read below must lie within the payload actually held. */
  if (hMsg->un32PayloadLength < kOffsetVersion + 8) return Refuse(hLib, "Invalid message size");
  const u32 un32Version = Get32(hMsg, kOffsetVersion);
  if (un32Version != kVersion && Swap32(un32Version) != kVersion) {
    const u32 un32Other = Swap32(un32Version);
    if ((un32Version >= 1 && un32Version <= 4) || (un32Other >= 1 && un32Other <= 4)) return VQX_RESULT_API_OK;
    return VQX_RESULT_API_INVALID_MESSAGE;
  }
  if (id == VQX_MSG_ID_GW_OP_HOST_FILTER_CLEAR && !LengthIs(hMsg->un32Length, kClearLength)) {
    return Refuse(hLib, "Invalid message size");
  }
  if ((id == VQX_MSG_ID_GW_OP_HOST_FILTER_DESTROY || id == VQX_MSG_ID_GW_OP_FLOW_CONTROL_LEVEL ||
       id == VQX_MSG_ID_GW_OP_HOST_FILTER_DONE) &&
      !LengthIs(hMsg->un32Length, kShortLength)) {
    return Refuse(hLib, "Invalid message size");
  }
  if (hMsg->un32FixedTwo == VQX_MSG_FIXED_TWO) return VQX_RESULT_API_OK;

  const bool fRequest = hMsg->MsgType == VQX_MSG_TYPE_REQUEST;
  if (fRequest && id == VQX_MSG_ID_GW_OP_HOST_FILTER_CREATE) {
    if (hMsg->un32PayloadLength < kOffsetSets) return Refuse(hLib, "Invalid message size (too small)");
    SwapAt(hMsg, kOffsetVersion);
    SwapAt(hMsg, kOffsetFilterNumber);
    SwapAt(hMsg, kOffsetCount);
    const u64 un64Count = Get32(hMsg, kOffsetCount);
    const u64 un64Needed = VQX_MSG_HEADER_SIZE + kOffsetSets + kSetSize * (un64Count == 0 ? 0 : un64Count);
    if (hMsg->un32Length < un64Needed || hMsg->un32PayloadLength + VQX_MSG_HEADER_SIZE < un64Needed) {
      return Refuse(hLib, "Invalid message size (too small)");
    }
    if (un64Count >= 1 && un64Count <= kMaxSets) {
      for (u32 k = 0; k < un64Count; k++) {
        for (u32 w = 0; w < kSetSwappedWords; w++) SwapAt(hMsg, kOffsetSets + k * kSetSize + w * 4);
      }
    }
    return VQX_RESULT_API_OK;
  }
  if (fRequest && id == VQX_MSG_ID_GW_OP_HOST_FILTER_DONE) {
    SwapAt(hMsg, kOffsetVersion);
    return VQX_RESULT_API_OK;
  }
  SwapAt(hMsg, kOffsetVersion);
  SwapAt(hMsg, kOffsetWord12);
  return VQX_RESULT_API_OK;
}
