/*
 * hostlib_msg.cpp - host messages: allocation, copy, release, integrity
 * checks and the header byte order on the wire.
 *
 * Allocation and copy run under the library lock (the serial counter);
 * release needs only the release-list lock, so any thread may release; the
 * release list is freed in one batch at the next leave of the library lock.
 */
#include <endian.h>
#include <stdio.h>
#include <string.h>

#include "msg/hostlib_msg_internal.h"

namespace {

/* Header fields converted on the way to and from the wire (all but the id,
 * which the receive side converts first on its own). */
struct VQX_SWAPPED_FIELD {
  u32 un32Offset;
  u32 un32Width;  /* bytes */
};
constexpr VQX_SWAPPED_FIELD s_aSwappedFields[] = {
    {offsetof(_VQX_MSG_HEADER, MsgType), 4},
    {offsetof(_VQX_MSG_HEADER, un32Length), 4},
    {offsetof(_VQX_MSG_HEADER, un32PayloadLength), 4},
    {offsetof(_VQX_MSG_HEADER, un32PayloadMaxLength), 4},
    {offsetof(_VQX_MSG_HEADER, un32PayloadStart), 4},
    {offsetof(_VQX_MSG_HEADER, hAdapter), 4},
    {offsetof(_VQX_MSG_HEADER, un32TrackMagic), 4},
    {offsetof(_VQX_MSG_HEADER, un32FixedTwo), 4},
    {offsetof(_VQX_MSG_HEADER, un32TimeStamp), 4},
    {offsetof(_VQX_MSG_HEADER, un32TxSeq), 4},
    {offsetof(_VQX_MSG_HEADER, un32TrackMark), 4},
    {offsetof(_VQX_MSG_HEADER, un32PiggyAck), 4},
    {offsetof(_VQX_MSG_HEADER, un64SourceUniqueId), 8},
    {offsetof(_VQX_MSG_HEADER, un16FragInfo), 2},
    {offsetof(_VQX_MSG_HEADER, un16ConnectionCount), 2},
};

/* Host order <-> big-endian of one field in place (the same operation both ways). */
void VqxSwapField(u8* pbyHeader, const VQX_SWAPPED_FIELD& field) {
  u8* p = pbyHeader + field.un32Offset;
  switch (field.un32Width) {
    case 2: {
      u16 v;
      memcpy(&v, p, 2);
      v = htobe16(v);
      memcpy(p, &v, 2);
      break;
    }
    case 4: {
      u32 v;
      memcpy(&v, p, 4);
      v = htobe32(v);
      memcpy(p, &v, 4);
      break;
    }
    default: {
      u64 v;
      memcpy(&v, p, 8);
      v = htobe64(v);
      memcpy(p, &v, 8);
      break;
    }
  }
}

/* The swapped fields that lie wholly within the first un32HeaderSize bytes. */
void VqxSwapHeaderFields(VQX_MSG_HANDLE hMsg, u32 un32HeaderSize = VQX_MSG_HEADER_SIZE) {
  for (const VQX_SWAPPED_FIELD& field : s_aSwappedFields) {
    if (field.un32Offset + field.un32Width <= un32HeaderSize) VqxSwapField(reinterpret_cast<u8*>(hMsg), field);
  }
}

/* Error line on standard error for calls that have no usable library. */
void VqxPrintNoLib(const char* pszOperation, VQX_RESULT Result) {
  char szName[128];
  fprintf(stderr, "%s: %s\n", pszOperation, VqxResultName(Result, szName, sizeof(szName)));
}

void VqxLogResult(VQX_LIB_HANDLE hLib, const char* pszOperation, VQX_RESULT Result) {
  char szName[128];
  VQX_LOG_V(hLib, 0, "%s: %s\n", pszOperation, VqxResultName(Result, szName, sizeof(szName)));
}

/* Deferred release shared by the public and the internal form. */
VQX_RESULT VqxMsgRelease(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg, u32 fAllowSent) {
  const VQX_RESULT result = VqxBufReleaseDeferred(hLib, hMsg, fAllowSent);
  if (result != VQX_RESULT_OUT_OF_RESOURCE) return result;
  /* The list is full: free this one at once. */
  VqxHostLibCriticalSectionEnter(hLib);
  const VQX_RESULT freeResult = VqxBufFree(hLib, hMsg);
  VqxHostLibCriticalSectionLeave(hLib);
  return freeResult;
}

}  // namespace

/* ----------------------------------------------------------- allocation */

VQX_RESULT VqxMsgAllocateInternal(VQX_LIB_HANDLE hLib, u32 un32PayloadSize, VQX_MSG_HANDLE* phMsg, u32 fOversize,
                                  const char* pszFile, u32 un32Line) {
  VQX_LIB* pLib = VqxLib(hLib);
  *phMsg = nullptr;
  /* 64-bit sum: a payload size near 2^32 must not wrap into a small buffer. */
  const u64 un64Size = u64{un32PayloadSize} + VQX_MSG_HEADER_SIZE;
  if (un64Size > 0xFFFFFFFFull) {
    VQX_LOG_V(hLib, 0, "%s\n", "VqxMsgAllocate: This message size is invalid");
    return VQX_RESULT_API_MSGSZ_INVALID;
  }
  if (un64Size > VQX_MSG_MAX_BUFFER_SIZE && !fOversize) {
    VQX_LOG_V(hLib, 0, "%s\n", "VqxMsgAllocate: This message size is not supported");
    return VQX_RESULT_API_MSGSZ_NOT_SUPPORTED;
  }
  const u32 un32Size = un64Size < VQX_MSG_MIN_BUFFER_SIZE ? VQX_MSG_MIN_BUFFER_SIZE : static_cast<u32>(un64Size);
  VQX_MSG_HANDLE hMsg = static_cast<VQX_MSG_HANDLE>(VqxBufMalloc(hLib, un32Size, 0, pszFile, un32Line));
  if (hMsg == nullptr) {
    VQX_LOG_V(hLib, 0, "%s\n", "VqxMsgAllocate: VQX_RESULT_API_NOT_ENOUGH_MEMORY");
    return VQX_RESULT_API_NOT_ENOUGH_MEMORY;
  }
  const u32 un32Serial = ++pLib->Counters.MsgSerial;
  memset(hMsg, 0, sizeof(_VQX_MSG_HEADER));
  hMsg->un32MsgId = VQX_MSG_ID_NOT_SET;
  hMsg->MsgType = VQX_MSG_TYPE_NOT_SET;
  hMsg->un32Length = un32Size;
  hMsg->un32PayloadMaxLength = un32Size - VQX_MSG_HEADER_SIZE;
  hMsg->un32PayloadStart = VQX_MSG_HEADER_SIZE;
  hMsg->un32SerialNumber = un32Serial;
  hMsg->un32TrackMagic = VQX_MSG_TRACK_MAGIC_DEFAULT;
  hMsg->un32FixedTwo = VQX_MSG_FIXED_TWO;
  /* The second payload word is always present (96-byte minimum) and starts at 0. */
  memset(VQXMsgPayload(hMsg) + 4, 0, 4);
  *phMsg = hMsg;
  return VQX_RESULT_API_OK;
}

VQX_RESULT VQXGetMsg(VQX_LIB_HANDLE hLib, u32 un32PayloadSize, VQX_MSG_HANDLE* phMsg) {
  if (hLib == nullptr) {
    VqxPrintNoLib("VQXGetMsg", VQX_RESULT_API_INVALID_LIB_HANDLE);
    return VQX_RESULT_API_INVALID_LIB_HANDLE;
  }
  if (phMsg == nullptr) {
    VqxLogResult(hLib, "VQXGetMsg", VQX_RESULT_API_NULL_PARAM);
    return VQX_RESULT_API_NULL_PARAM;
  }
  VqxHostLibCriticalSectionEnter(hLib);
  const VQX_RESULT result = VqxMsgAllocateInternal(hLib, un32PayloadSize, phMsg, 0, __FILE__, __LINE__);
  VqxHostLibCriticalSectionLeave(hLib);
  return result;
}

VQX_MSG_HANDLE VqxMsgCopyCreate(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg) {
  if (VQX_RESULT_FAILED(VqxMsgCheckHeader(hLib, hMsg))) return nullptr;
  VQX_MSG_HANDLE hCopy = nullptr;
  if (VQX_RESULT_FAILED(VqxMsgAllocateInternal(hLib, hMsg->un32Length, &hCopy, 0, __FILE__, __LINE__))) return nullptr;
  const u32 un32Serial = hCopy->un32SerialNumber;
  memcpy(hCopy, hMsg, hMsg->un32Length);
  hCopy->un32SerialNumber = un32Serial;
  VqxLib(hLib)->Counters.RxMsgCopy++;
  return hCopy;
}

/* ---------------------------------------------------------------- release */

VQX_RESULT VQXReleaseMsgEx(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE* phMsg) {
  if (hLib == nullptr) {
    VqxPrintNoLib("VQXReleaseMsg", VQX_RESULT_API_INVALID_LIB_HANDLE);
    return VQX_RESULT_API_INVALID_LIB_HANDLE;
  }
  if (phMsg == nullptr || *phMsg == nullptr) {
    VqxLogResult(hLib, "VQXReleaseMsg", VQX_RESULT_API_INVALID_MSG_HANDLE);
    return VQX_RESULT_API_INVALID_MSG_HANDLE;
  }
  VQX_MSG_HANDLE hMsg = *phMsg;
  *phMsg = nullptr;
  const VQX_RESULT result = VqxMsgRelease(hLib, hMsg, 0);
  if (VQX_RESULT_FAILED(result)) VqxLogResult(hLib, "VQXReleaseMsg", result);
  return result;
}

VQX_RESULT VqxMsgReleaseInternal(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg) {
  if (hMsg == nullptr) return VQX_RESULT_API_INVALID_MSG_HANDLE;
  const VQX_RESULT result = VqxMsgRelease(hLib, hMsg, 1);
  if (VQX_RESULT_FAILED(result)) VqxLogResult(hLib, "VqxMsgReleaseInternal", result);
  return result;
}

namespace {

/* The calling thread's record of refused sends (VQXSetThreadSendRefusals), null when none. */
thread_local VQX_SEND_REFUSALS* t_pSendRefusals = nullptr;

}  // namespace

VQX_SEND_REFUSALS* VQXSetThreadSendRefusals(VQX_SEND_REFUSALS* pRefusals) {
  VQX_SEND_REFUSALS* pBefore = t_pSendRefusals;
  t_pSendRefusals = pRefusals;
  return pBefore;
}

void VqxMsgRefused(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg, VQX_RESULT result) {
  VQX_SEND_REFUSALS* p = t_pSendRefusals;
  /* Marked sent by the send: its sender's again, as allocated. */
  if (p != nullptr && p->un32Count < p->un32Max && VQX_RESULT_SUCCEEDED(VqxBufMarkReceived(hLib, hMsg))) {
    p->pahMsg[p->un32Count] = hMsg;
    p->paResult[p->un32Count++] = result;
    return;
  }
  VqxMsgReleaseInternal(hLib, hMsg);
}

/* ---------------------------------------------------------------- checks */

VQX_RESULT VqxMsgCheckHeader(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg) {
  /* Liveness and size in one trip through the buffer mutex. */
  u64 un64Usable = 0;
  const VQX_RESULT result = VqxBufCheck(hLib, hMsg, &un64Usable);
  if (VQX_RESULT_FAILED(result)) return result;
  /* Nothing of the header is read before the buffer is known to hold one. */
  if (un64Usable < VQX_MSG_HEADER_SIZE) return VQX_RESULT_API_MSGSZ_INVALID;
  if (hMsg->un32PayloadStart != VQX_MSG_HEADER_SIZE || hMsg->un32Length < VQX_MSG_HEADER_SIZE ||
      hMsg->un32Length > un64Usable || hMsg->un32PayloadMaxLength != hMsg->un32Length - VQX_MSG_HEADER_SIZE ||
      hMsg->un32PayloadLength > hMsg->un32PayloadMaxLength) {
    return VQX_RESULT_API_MSGSZ_INVALID;
  }
  return VQX_RESULT_OK;
}

VQX_RESULT VqxMsgCheckReceivedHeader(const _VQX_MSG_HEADER* pHeader, u64 un64BufSize) {
  if (pHeader == nullptr || un64BufSize < VQX_MSG_RECEIVED_MIN_SIZE) return VQX_RESULT_API_MSGSZ_INVALID;
  const u64 un64Length = pHeader->un32Length;
  /* A header shorter than its own size words cannot be read. */
  if (un64Length > un64BufSize || pHeader->un32PayloadStart < VQX_MSG_RECEIVED_MIN_SIZE ||
      pHeader->un32PayloadStart > un64Length ||
      u64{pHeader->un32PayloadStart} + pHeader->un32PayloadLength > un64Length ||
      pHeader->un32PayloadLength > pHeader->un32PayloadMaxLength ||
      u64{pHeader->un32PayloadStart} + pHeader->un32PayloadMaxLength > un64Length) {
    return VQX_RESULT_API_MSGSZ_INVALID;
  }
  return VQX_RESULT_OK;
}

VQX_RESULT VQXTestMsgEx(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg, u32 un32Value1, u32 un32Value2) {
  if (hLib == nullptr) return VQX_RESULT_API_INVALID_LIB_HANDLE;
  if (hMsg == nullptr) return VQX_RESULT_API_INVALID_MSG_HANDLE;
  VqxHostLibCriticalSectionEnter(hLib);
  VQX_RESULT result = VQX_RESULT_OK;
  if (VqxLib(hLib)->pFctTestMsgDbg != nullptr) result = VqxLib(hLib)->pFctTestMsgDbg(hLib, hMsg);
  if (VQX_RESULT_SUCCEEDED(result)) result = VqxMsgCheckHeader(hLib, hMsg);
  if (VQX_RESULT_SUCCEEDED(result)) {
    (void)un32Value1;
    (void)un32Value2;
    result = VqxBufTest(hLib, hMsg);
  }
  VqxHostLibCriticalSectionLeave(hLib);
  return VQX_RESULT_SUCCEEDED(result) ? VQX_RESULT_API_OK : result;
}

/* ------------------------------------------------------------ byte order */

VQX_RESULT VQXHostSwapMsgToSend(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg) {
  const VQX_RESULT result = VqxMsgCheckHeader(hLib, hMsg);
  if (VQX_RESULT_FAILED(result)) return result;
  hMsg->un32LocalWord = 0;
  hMsg->un64SourceUniqueId = VqxLib(hLib)->un64UniqueHostId;
  hMsg->un32MsgId = htobe32(hMsg->un32MsgId);
  VqxSwapHeaderFields(hMsg);
  return VQX_RESULT_OK;
}

void VqxHostSwapMsgIdReceived(VQX_MSG_HANDLE hMsg) { hMsg->un32MsgId = be32toh(hMsg->un32MsgId); }

void VqxHostSwapMsgReceived(VQX_MSG_HANDLE hMsg, u32 un32Size) {
  if (un32Size < VQX_MSG_RECEIVED_MIN_SIZE) return;
  u32 un32Start;
  memcpy(&un32Start, reinterpret_cast<const u8*>(hMsg) + VQX_MSG_OFFSET_PAYLOAD_START, 4);
  un32Start = be32toh(un32Start);
  u32 un32Header = un32Start < VQX_MSG_HEADER_SIZE ? un32Start : VQX_MSG_HEADER_SIZE;
  if (un32Header < VQX_MSG_RECEIVED_MIN_SIZE) un32Header = VQX_MSG_RECEIVED_MIN_SIZE; /* refused by the size check */
  VqxSwapHeaderFields(hMsg, un32Header < un32Size ? un32Header : un32Size);
}

VQX_RESULT VqxMsgWidenReceived(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE* phMsg) {
  VQX_MSG_HANDLE hMsg = *phMsg;
  const u32 un32Start = hMsg->un32PayloadStart;
  if (un32Start >= VQX_MSG_HEADER_SIZE) return VQX_RESULT_API_OK;
  const u32 un32Grow = VQX_MSG_HEADER_SIZE - un32Start;
  const u32 un32PayloadArea = hMsg->un32Length - un32Start;
  VQX_MSG_HANDLE hWide = nullptr;
  const VQX_RESULT result = VqxMsgAllocateInternal(hLib, un32PayloadArea, &hWide, 0, __FILE__, __LINE__);
  if (VQX_RESULT_FAILED(result)) {
    VqxMsgReleaseInternal(hLib, hMsg);
    *phMsg = nullptr;
    return result;
  }
  u8* pbyDst = reinterpret_cast<u8*>(hWide);
  const u8* pbySrc = reinterpret_cast<const u8*>(hMsg);
  memcpy(pbyDst, pbySrc, un32Start);
  memset(pbyDst + un32Start, 0, un32Grow);
  memcpy(pbyDst + VQX_MSG_HEADER_SIZE, pbySrc + un32Start, un32PayloadArea);
  hWide->un32Length = hMsg->un32Length + un32Grow;
  hWide->un32PayloadStart = VQX_MSG_HEADER_SIZE;
  hWide->un32PayloadMaxLength = hWide->un32Length - VQX_MSG_HEADER_SIZE;
  VqxMsgReleaseInternal(hLib, hMsg);
  *phMsg = hWide;
  return VQX_RESULT_API_OK;
}
