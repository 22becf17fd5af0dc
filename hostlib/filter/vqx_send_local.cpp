/*
 * vqx_send_local.cpp - the send calls and the routing of one message:
 * local destinations are delivered to this process's filters; remote
 * destinations go through the peer route when one is connected.
 *
 * Every send takes the message once the library handle is valid: it is
 * delivered, queued, or freed on failure, and the caller's handle cleared.
 */
#include <string.h>

#include <atomic>
#include <string>

#include "filter/vqx_filter_internal.h"

namespace {

#define VQX_LOCAL_HANDLE_FIRST 0xDA000000u
#define VQX_LOCAL_HANDLE_LAST 0xDA00FFFFu
#define VQX_BOARD_GROUP_HANDLE_MASK 0xFF000000u
#define VQX_BOARD_GROUP_HANDLE_TAG 0xEA000000u
#define VQX_BOARD_GROUP_LOCAL_BIT 0x20000000u /* cleared: 0xEA...... becomes 0xCA...... */
#define VQX_BROADCAST_HANDLE 0xFFFFFFFFu
#define VQX_TRACE_WORDS_MAX 21u
#define VQX_TRACE_LEVEL_MSG 2u   /* the trace line itself */
#define VQX_TRACE_LEVEL_WORDS 1u /* the payload words on it */

std::atomic<PFCT_VQX_SEND_TO_PEER> s_pFctSendToPeer{nullptr};

/* Message groups a local or board-group destination carries. */
struct VQX_GROUP_RANGE {
  u32 un32First;
  u32 un32Last;
};
const VQX_GROUP_RANGE s_aLocalGroups[] = {{0x020F, 0x020F}, {0x0300, 0x03FF}, {0x0600, 0x0BFF}};
const VQX_GROUP_RANGE s_aBoardGroups[] = {{0x0400, 0x05FF}};

template <size_t N>
bool VqxGroupIn(const VQX_GROUP_RANGE (&aRanges)[N], u32 un32Group) {
  for (const VQX_GROUP_RANGE& r : aRanges) {
    if (un32Group >= r.un32First && un32Group <= r.un32Last) return true;
  }
  return false;
}

bool VqxIsLocal(u32 hAdapter) { return hAdapter >= VQX_LOCAL_HANDLE_FIRST && hAdapter <= VQX_LOCAL_HANDLE_LAST; }

/* fHandBack: a refusal of a message whose header held, handed back to its sender when it asked (VqxMsgRefused). */
VQX_RESULT VqxSendFail(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg, const char* pszText, VQX_RESULT Result,
                       bool fHandBack = false) {
  VQX_LOG_V(hLib, 0, "VqxMsgSend: Msg=0x%08x %s\n", hMsg->un32MsgId, pszText);
  if (fHandBack) {
    VqxMsgRefused(hLib, hMsg, Result);
  } else {
    VqxMsgReleaseInternal(hLib, hMsg);
  }
  return Result;
}

/* Type and id checks shared by the send calls; 0 when the message may go. */
VQX_RESULT VqxCheckTypeAndId(VQX_MSG_HANDLE hMsg) {
  if (hMsg->MsgType < VQX_MSG_TYPE_REQUEST || hMsg->MsgType > VQX_MSG_TYPE_EVENT) {
    return VQX_RESULT_API_MSGTYPE_NOT_INITIALIZED;
  }
  if (hMsg->un32MsgId == VQX_MSG_ID_NOT_SET) return VQX_RESULT_API_MSGID_NOT_INITIALIZED;
  return 0;
}

/*
 * Shared body of the single sends. Takes the message; *phImplicit (optional)
 * receives an awaited-response filter.
 */
VQX_RESULT VqxSendOne(VQX_LIB_HANDLE hLib, const char* pszOp, VQX_MSG_HANDLE* phMsg, VQX_FILTER_HANDLE* phImplicit,
                      VQX_FILTER* pCoalescing) {
  char szName[128];
  if (phImplicit != nullptr) *phImplicit = nullptr;
  if (phMsg == nullptr || *phMsg == nullptr) {
    VQX_LOG_V(hLib, 0, "%s: %s\n", pszOp, "VQX_RESULT_API_INVALID_MSG_HANDLE");
    return VQX_RESULT_API_INVALID_MSG_HANDLE;
  }
  const VqxSendCallScope inside(hLib);
  VQX_MSG_HANDLE hMsg = *phMsg;
  *phMsg = nullptr;
  if (VQX_RESULT_FAILED(VqxBufCheck(hLib, hMsg))) {
    VQX_LOG_V(hLib, 0, "%s: %s\n", pszOp, "VQX_RESULT_API_INVALID_MSG_HANDLE");
    return VQX_RESULT_API_INVALID_MSG_HANDLE;
  }
  const VQX_RESULT check = VqxCheckTypeAndId(hMsg);
  if (check != 0) {
    VQX_LOG_V(hLib, 0, "%s: %s\n", pszOp, VqxResultName(check, szName, sizeof(szName)));
    VqxMsgReleaseInternal(hLib, hMsg);
    return check;
  }
  VqxLibLockEnterSpinning(hLib);
  if (VqxFilterLib(hLib) == nullptr) {
    VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
    VqxMsgReleaseInternal(hLib, hMsg);
    VQX_LOG_V(hLib, 0, "%s: %s\n", pszOp, "VQX_RESULT_API_NOT_INITIALIZED");
    return VQX_RESULT_API_NOT_INITIALIZED;
  }
  if (pCoalescing != nullptr) {
    if (VqxFilterIsKnown(hLib, pCoalescing) && pCoalescing->fOwnerKnown) {
      VQX_MSG_HANDLE* pLink = reinterpret_cast<VQX_MSG_HANDLE*>(reinterpret_cast<u8*>(hMsg) +
                                                                 pCoalescing->un32HeldLinkOffset);
      *pLink = nullptr;
      if (pCoalescing->hHeldLast != nullptr) {
        *reinterpret_cast<VQX_MSG_HANDLE*>(reinterpret_cast<u8*>(pCoalescing->hHeldLast) +
                                           pCoalescing->un32HeldLinkOffset) = hMsg;
      } else {
        pCoalescing->hHeldFirst = hMsg;
      }
      pCoalescing->hHeldLast = hMsg;
      pCoalescing->un32HeldCount++;
      VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
      return VQX_RESULT_OK;
    }
  }
  VQX_FILTER* pImplicit = nullptr;
  if (phImplicit != nullptr) {
    VQX_RESULT result = VqxFilterImplicitAllocate(hLib, &pImplicit);
    if (VQX_RESULT_SUCCEEDED(result)) {
      _VQX_FILTER_PARAMS& set = pImplicit->aParams[0];
      set = _VQX_FILTER_PARAMS{};
      set.un32Version = 1;
      set.un32Mask = VQX_FILTER_MASK_ADAPTER | VQX_FILTER_MASK_SERIAL;
      set.hAdapter = hMsg->hAdapter;
      set.un32SerialNumber = hMsg->un32SerialNumber;
      pImplicit->un32NbParams = 1;
      result = VqxFilterActivate(hLib, pImplicit);
      if (VQX_RESULT_FAILED(result)) VqxFilterImplicitRelease(hLib, pImplicit);
    }
    if (VQX_RESULT_FAILED(result)) {
      VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
      VqxMsgReleaseInternal(hLib, hMsg);
      VQX_LOG_V(hLib, 0, "%s: %s\n", pszOp, "Failed to create implicit filter");
      return result;
    }
  }
  const VQX_RESULT result = VqxMsgSend(hLib, hMsg, nullptr);
  if (VQX_RESULT_FAILED(result) && pImplicit != nullptr) {
    VqxFilterDeactivate(hLib, pImplicit, nullptr);
    VqxFilterImplicitRelease(hLib, pImplicit);
    pImplicit = nullptr;
  }
  if (phImplicit != nullptr) *phImplicit = pImplicit;
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  if (VQX_RESULT_FAILED(result) && result != VQX_RESULT_API_INVALID_ADA_HANDLE) {
    VQX_LOG_V(hLib, 0, "%s: %s\n", pszOp, "Failed to send message");
  }
  return result;
}

}  // namespace

void VqxHostLibSetPeerSend(PFCT_VQX_SEND_TO_PEER pFct) { s_pFctSendToPeer.store(pFct); }

void VqxTraceMsg(VQX_LIB_HANDLE hLib, u32 fReceived, VQX_MSG_HANDLE hMsg) {
  const _VQX_LIB_PARAMS& params = VqxLib(hLib)->Params;
  if ((params.pTraceFile == nullptr && params.pFctTraceCallback == nullptr) ||
      params.un32TraceLevel > VQX_TRACE_LEVEL_MSG) {
    return;
  }
  char szLine[96 + VQX_TRACE_WORDS_MAX * 9];
  int n = snprintf(szLine, sizeof(szLine), "%s 0x%08X Serial=0x%08X, Len=0x%08X, Pay=0x%08X, ", fReceived ? "RX" : "TX",
                   hMsg->un32MsgId, hMsg->un32SerialNumber, hMsg->un32Length, hMsg->un32PayloadLength);
  if (fReceived) n += snprintf(szLine + n, sizeof(szLine) - static_cast<size_t>(n), "ptr=%p ", static_cast<void*>(hMsg));
  /* Payload words from byte 8 (the first 8 bytes chain queued messages); they are the more detailed level. */
  const u8* pbyPayload = VQXMsgPayload(hMsg);
  const u32 un32Words = params.un32TraceLevel <= VQX_TRACE_LEVEL_WORDS ? VQX_TRACE_WORDS_MAX : 0;
  for (u32 off = 8, w = 0; off + 4 <= hMsg->un32PayloadLength && w < un32Words; off += 4, w++) {
    u32 un32Word;
    memcpy(&un32Word, pbyPayload + off, sizeof(un32Word));
    n += snprintf(szLine + n, sizeof(szLine) - static_cast<size_t>(n), "%08x ", un32Word);
  }
  VQX_LOG_V(hLib, VQX_TRACE_LEVEL_MSG, "%s\n", szLine);
}

VQX_RESULT VqxMsgSend(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg, VQX_BATCH_CONTEXT* pBatch) {
  if (hMsg->un32Length > VQX_MSG_MAX_BUFFER_SIZE) {
    /* The header itself is not trusted here: the line names no message id. */
    VQX_LOG_V(hLib, 0, "VqxMsgSend: %s\n", "This message is too huge");
    VqxMsgReleaseInternal(hLib, hMsg);
    return VQX_RESULT_API_MSGSZ_NOT_SUPPORTED;
  }
  if (hMsg->un32Length - VQX_MSG_HEADER_SIZE != hMsg->un32PayloadMaxLength) {
    return VqxSendFail(hLib, hMsg, "invalid un32PayloadMaxLength", VQX_RESULT_API_MSGSZ_INVALID);
  }
  if (hMsg->un32PayloadLength > hMsg->un32PayloadMaxLength) {
    return VqxSendFail(hLib, hMsg, "invalid un32PayloadLength", VQX_RESULT_API_MSGSZ_INVALID);
  }
  const u32 un32Group = VQX_MSG_GROUP(hMsg->un32MsgId);
  if ((hMsg->un32PayloadLength % 8) != 0 && !(un32Group >= 0x0B00 && un32Group <= 0x0BFF) &&
      !VqxIsLocal(hMsg->hAdapter)) {
    return VqxSendFail(hLib, hMsg, "message is not 64 bits", VQX_RESULT_API_MSGSZ_INVALID);
  }
  /* The header must also agree with the buffer really held (a length beyond it would be read past its end). */
  const VQX_RESULT headerCheck = VqxMsgCheckHeader(hLib, hMsg);
  if (VQX_RESULT_FAILED(headerCheck)) {
    return VqxSendFail(hLib, hMsg, "header does not match its buffer", headerCheck);
  }
  const VQX_RESULT marked = VqxBufMarkSent(hLib, hMsg);
  if (VQX_RESULT_FAILED(marked)) {
    /* Already sent or freed: it is not ours to free again. */
    VQX_LOG_V(hLib, 0, "VqxMsgSend: Msg=0x%08x %s\n", hMsg->un32MsgId, "Can't Send Message, already sent/freed ?");
    return marked;
  }
  VqxTraceMsg(hLib, 0, hMsg);
  hMsg->un32Length = hMsg->un32PayloadLength + VQX_MSG_HEADER_SIZE;
  hMsg->un32PayloadMaxLength = hMsg->un32PayloadLength;

  const u32 hAdapter = hMsg->hAdapter;
  if (VqxIsLocal(hAdapter) || (hAdapter & VQX_BOARD_GROUP_HANDLE_MASK) == VQX_BOARD_GROUP_HANDLE_TAG) {
    if (VqxIsLocal(hAdapter)) {
      if (!VqxGroupIn(s_aLocalGroups, un32Group)) {
        return VqxSendFail(hLib, hMsg, "VQX_HOSTLIB_ADAPTER_HANDLE must have VQX_ID_CLASS_USER_DEFINE MsId Group ",
                           VQX_RESULT_API_INVALID_ADA_HANDLE, true);
      }
    } else {
      if (!VqxGroupIn(s_aBoardGroups, un32Group)) {
        return VqxSendFail(hLib, hMsg, "VQX_HOSTLIB_ADAPTER_HANDLE must have VQX_ID_CLASS_VQ500 MsId Group ",
                           VQX_RESULT_API_INVALID_ADA_HANDLE, true);
      }
      hMsg->hAdapter = hAdapter & ~VQX_BOARD_GROUP_LOCAL_BIT;
    }
    if (!VqxMsgDispatchLocal(hLib, hMsg, 1, pBatch)) {
      VqxLib(hLib)->Counters.RxMsgMatchNoQ++;
      VqxLib(hLib)->Counters.SignoMatchNoQ = hMsg->un32MsgId;
      VqxMsgReleaseInternal(hLib, hMsg);
    }
    return VQX_RESULT_API_OK;
  }
  if (hAdapter == VQX_BROADCAST_HANDLE && hMsg->MsgType != VQX_MSG_TYPE_EVENT) {
    return VqxSendFail(hLib, hMsg, "Only events can only broadcasted!", VQX_RESULT_API_ILLEGAL_BROADCAST_MSG_TYPE,
                       true);
  }
  PFCT_VQX_SEND_TO_PEER pFct = s_pFctSendToPeer.load();
  if (pFct != nullptr) return pFct(hLib, hMsg);
  if (hAdapter == VQX_BROADCAST_HANDLE) {
    /* No remote host is known without the peer layer: nobody wants the event. */
    VqxMsgReleaseInternal(hLib, hMsg);
    return VQX_RESULT_API_OK;
  }
  return VqxSendFail(hLib, hMsg, "no route to adapters and remote hosts (peer send path not connected)",
                     VQX_RESULT_API_NOT_IMPLEMENTED, true);
}

VQX_RESULT VQXSendMsgEx(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE* phMsg, VQX_FILTER_HANDLE* phImplicitFilter) {
  if (hLib == nullptr) {
    fprintf(stderr, "VQXSendMsg: %s\n", "VQX_RESULT_API_INVALID_LIB_HANDLE");
    return VQX_RESULT_API_INVALID_LIB_HANDLE;
  }
  return VqxSendOne(hLib, "VQXSendMsg", phMsg, phImplicitFilter, nullptr);
}

VQX_RESULT VQXSendMsg2Ex(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE* phMsg, const _VQX_SEND_MSG2_PARAMS* pParams) {
  if (hLib == nullptr) {
    fprintf(stderr, "VQXSendMsg2: %s\n", "VQX_RESULT_API_INVALID_LIB_HANDLE");
    return VQX_RESULT_API_INVALID_LIB_HANDLE;
  }
  VQX_FILTER_HANDLE* phImplicit = pParams != nullptr ? pParams->phImplicitFilter : nullptr;
  VQX_FILTER* pCoalescing = pParams != nullptr ? pParams->hCoalescingFilter : nullptr;
  if (phImplicit != nullptr && pCoalescing != nullptr) {
    VQX_LOG_V(hLib, 0, "VQXSendMsg2: %s\n", "Can't use both phImplicitFilter and hCoalescingFilter at the same time");
    *phImplicit = nullptr;
    if (phMsg != nullptr && *phMsg != nullptr) VqxMsgReleaseInternal(hLib, *phMsg);
    if (phMsg != nullptr) *phMsg = nullptr;
    return VQX_RESULT_API_INVALID_PARAM;
  }
  return VqxSendOne(hLib, "VQXSendMsg2", phMsg, phImplicit, pCoalescing);
}

VQX_RESULT VQXSendMsgMultipleEx(VQX_LIB_HANDLE hLib, u32 un32Count, VQX_MSG_HANDLE* pahMsg) {
  if (hLib == nullptr) {
    fprintf(stderr, "VQXSendMsgMultiple: %s\n", "VQX_RESULT_API_INVALID_LIB_HANDLE");
    return VQX_RESULT_API_INVALID_LIB_HANDLE;
  }
  if (un32Count != 0 && pahMsg == nullptr) {
    VQX_LOG_V(hLib, 0, "VQXSendMsgMultiple: %s\n", "VQX_RESULT_API_NULL_PARAM");
    return VQX_RESULT_API_NULL_PARAM;
  }
  const VqxSendCallScope inside(hLib);
  VQX_RESULT result = VQX_RESULT_OK;
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  for (u32 i = 0; i < un32Count; i++) {
    VQX_MSG_HANDLE hMsg = pahMsg[i];
    pahMsg[i] = nullptr;
    if (hMsg == nullptr) continue;
    if (VQX_RESULT_FAILED(VqxBufCheck(hLib, hMsg))) {
      VQX_LOG_V(hLib, 0, "VQXSendMsgMultiple[%u]: VQX_RESULT_API_INVALID_MSG_HANDLE\n", i);
      result = VQX_RESULT_API_INVALID_MSG_HANDLE;
      continue;
    }
    const bool fBadType = hMsg->MsgType < VQX_MSG_TYPE_REQUEST || hMsg->MsgType > VQX_MSG_TYPE_EVENT;
    const bool fBadId = hMsg->un32MsgId == VQX_MSG_ID_NOT_SET;
    if (fBadType) VQX_LOG_V(hLib, 0, "VQXSendMsgMultiple[%u]: VQX_RESULT_API_MSGTYPE_NOT_INITIALIZED\n", i);
    if (fBadId) VQX_LOG_V(hLib, 0, "VQXSendMsgMultiple[%u]: VQX_RESULT_API_MSGID_NOT_INITIALIZED\n", i);
    if (fBadType || fBadId) {
      VqxMsgReleaseInternal(hLib, hMsg);
      result = fBadType ? VQX_RESULT_API_MSGTYPE_NOT_INITIALIZED : VQX_RESULT_API_MSGID_NOT_INITIALIZED;
      continue;
    }
    const VQX_RESULT one = VqxFilterLib(hLib) != nullptr ? VqxMsgSend(hLib, hMsg, nullptr)
                                                          : (VqxMsgReleaseInternal(hLib, hMsg), VQX_RESULT_API_NOT_INITIALIZED);
    if (VQX_RESULT_FAILED(one)) result = one;
  }
  VqxKickMsgSendToGwLib(hLib, 0);
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  return result;
}
