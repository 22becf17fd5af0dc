/* The play, record and event attributes (vqcmc_media_attributes.h). */
#include "vqcmc_media_attributes.h"

#include <algorithm>
#include <cstring>

#include "vqcafcomm.h"
#include "vqcmc_lib_util.h"
#include "vqcmc_msg_internal.h"
#include "vqx_host_filter.h"
#include "vqx_msg_element.h"

namespace VQCAF {

namespace {

/* Largest element a set holds. */
constexpr u32 kMaxElement = 0xFFFFu;

/* "file://" for a path without "://" anywhere in it, else nothing. */
const char* UrlPrefix(const char* pszPath) {
  return strstr(pszPath, VQCMC_FILE_URL_MARK) != nullptr ? "" : VQCMC_FILE_URL_PREFIX;
}

/*
 * Size of an element holding a text of un64Text bytes and un32Extra more,
 * or 0 (logged, 0x8200000A for the caller) when it cannot be held: a larger
 * size would be cut to 16 bits by the element library while the whole text
 * is copied.
 */
u32 ElementSize(u64 un64Text, u32 un32Extra, const char* pszOperation) {
  if (un64Text + un32Extra > kMaxElement) {
    VQCMC_LOG_FAILURE(pszOperation, "Element too large", VQX_RESULT_INVALID_PARAM);
    return 0;
  }
  return static_cast<u32>(un64Text + un32Extra);
}

/* Writes prefix and path into a zero-filled element from pszOut on. */
void WriteUrl(char* pszOut, const char* pszPrefix, const char* pszPath) {
  const size_t nPrefix = strlen(pszPrefix);
  memcpy(pszOut, pszPrefix, nPrefix);
  memcpy(pszOut + nPrefix, pszPath, strlen(pszPath));
}

}  // namespace

/* ------------------------------------------------------------------ play */

VQX_RESULT CVQCMC_PLAY_ATTRIBUTE::AddPlayFilePath(const char* pszPath, unsigned int un32Param1, unsigned int un32Param2,
                                                  unsigned int un32Param3) {
  if (pszPath == nullptr) return VQX_RESULT_NULL_PARAM;
  const char* pszPrefix = UrlPrefix(pszPath);
  const u32 un32Size = ElementSize(strlen(pszPrefix) + strlen(pszPath), VQCMC_PLAY_FILE_ELEMENT_EXTRA,
                                   "CVQCMC_PLAY_ATTRIBUTE::AddPlayFilePath");
  if (un32Size == 0) return VQX_RESULT_INVALID_PARAM;
  void* pvElement = nullptr;
  VQX_RESULT Result;
  for (;;) {
    if (mpMsg == nullptr) {
      Result = VQX_RESULT_NOT_INITIALIZED;
    } else {
      const u32 un32Mark = VqxMsgElementMark(mpMsg);
      Result = VQXMsgElementAlloc(mpMsg, &mpPayload->setPlayFileParams, static_cast<u16>(un32Size), &pvElement);
      if (!VQX_RESULT_FAILED_OR_WARNING(Result)) break;
      // Any refusal, a warning too, is answered with a larger message. An element handed out with a
      // warning is taken back first, so that the list never keeps one without its path.
      if (VqxMsgElementMark(mpMsg) != un32Mark) {
        void* apSets[] = {&mpPayload->setPlayFileParams};
        VqxMsgElementUndo(mpMsg, un32Mark, apSets, 1);
      }
      if (mpMsg->un32PayloadMaxLength > kMaxElement) {
        Result = VQX_RESULT_OUT_OF_RANGE;
      } else {
        const u32 un32NewSize = std::min(2 * mpMsg->un32PayloadMaxLength, VQCMC_PLAY_MAX_MSG_SIZE);
        const CVQCAFHostLibPin Pin;  // the library the destructor releases through
        VQX_MSG_HANDLE hNew = nullptr;
        Result = VQXMsgElementDupMsgResize(Pin.Get(), mpMsg, reinterpret_cast<void**>(&hNew), un32NewSize);
        if (VQX_RESULT_SUCCEEDED(Result)) {
          VQXReleaseMsgDbg(Pin.Get(), &mpMsg, __FILE__, __LINE__);
          mpMsg = hNew;
          mpPayload = reinterpret_cast<_VQCMC_PLAY_ATTRIBUTE*>(reinterpret_cast<u8*>(mpMsg) + mpMsg->un32PayloadStart);
          continue;
        }
      }
    }
    // Every stop, whatever ended the growth, says so with the largest size.
    VqCmcLogLine("AddPlayFilePath: Maximum msgset size reached! (%u bytes)\n", VQCMC_PLAY_MAX_MSG_SIZE);
    return Result;
  }
  auto* pElement = static_cast<_VQCMC_PLAY_FILE_PARAMS*>(pvElement);
  WriteUrl(reinterpret_cast<char*>(pElement) + VQCMC_PLAY_FILE_OFFSET_URL, pszPrefix, pszPath);
  pElement->aun32Params[0] = un32Param1;
  pElement->aun32Params[1] = un32Param2;
  pElement->aun32Params[2] = un32Param3;
  return Result;
}

VQX_RESULT CVQCMC_PLAY_ATTRIBUTE::CopyTo(VQX_MSG_HANDLE hDstMsg, _VQCMC_PLAY_ATTRIBUTE* pDst) const {
  if (mpPayload == nullptr) return VQX_RESULT_NOT_INITIALIZED;
  return VQCmcLibMsgCopyPlayAttribute(VqCmcLiveLibHandle(), mpPayload, hDstMsg, pDst, sizeof(*pDst), nullptr);
}

VQX_RESULT CVQCMC_PLAY_ATTRIBUTE::CopyFrom(VQX_MSG_HANDLE hSrcMsg, const _VQCMC_PLAY_ATTRIBUTE* pSrc) {
  if (mpPayload == nullptr) return VQX_RESULT_NOT_INITIALIZED;
  if (hSrcMsg == nullptr) return VQX_RESULT_NULL_PARAM;
  return VQCmcLibMsgCopyPlayAttribute(VqCmcLiveLibHandle(), pSrc, mpMsg, mpPayload, sizeof(*pSrc), hSrcMsg);
}

/* ---------------------------------------------------------------- record */

VQX_RESULT CVQCMC_RECORD_ATTRIBUTE::AddRecFilePath(const char* pszPath) {
  if (pszPath == nullptr) return VQX_RESULT_NULL_PARAM;
  if (mpPayload == nullptr) return VQX_RESULT_NOT_INITIALIZED;
  const char* pszPrefix = UrlPrefix(pszPath);
  const u32 un32Size = ElementSize(strlen(pszPrefix) + strlen(pszPath), 1, "CVQCMC_RECORD_ATTRIBUTE::AddRecFilePath");
  if (un32Size == 0) return VQX_RESULT_INVALID_PARAM;
  void* pvElement = nullptr;
  const VQX_RESULT Result =
      VQXMsgElementAlloc(mpMsg, &mpPayload->setRecordFilePaths, static_cast<u16>(un32Size), &pvElement);
  if (VQX_RESULT_FAILED_OR_WARNING(Result)) return Result;
  WriteUrl(static_cast<char*>(pvElement), pszPrefix, pszPath);
  return Result;
}

VQX_RESULT CVQCMC_RECORD_ATTRIBUTE::CopyTo(VQX_MSG_HANDLE hDstMsg, _VQCMC_RECORD_ATTRIBUTE* pDst) const {
  if (mpPayload == nullptr) return VQX_RESULT_NOT_INITIALIZED;
  return VQCmcLibMsgCopyRecordAttribute(VqCmcLiveLibHandle(), mpPayload, hDstMsg, pDst, nullptr);
}

VQX_RESULT CVQCMC_RECORD_ATTRIBUTE::CopyFrom(VQX_MSG_HANDLE hSrcMsg, const _VQCMC_RECORD_ATTRIBUTE* pSrc) {
  if (mpPayload == nullptr) return VQX_RESULT_NOT_INITIALIZED;
  if (hSrcMsg == nullptr) return VQX_RESULT_NULL_PARAM;
  return VQCmcLibMsgCopyRecordAttribute(VqCmcLiveLibHandle(), pSrc, mpMsg, mpPayload, hSrcMsg);
}

/* ----------------------------------------------------------------- event */

CVQCMC_EVENT_ATTRIBUTE::CVQCMC_EVENT_ATTRIBUTE() { SetInterToneTimeout(VQCMC_EVENT_INTER_TONE_TIMEOUT_DEFAULT); }

CVQCMC_EVENT_ATTRIBUTE::CVQCMC_EVENT_ATTRIBUTE(VQX_MSG_HANDLE hMsg, _VQCMC_EVENT_ATTRIBUTE* pPayload)
    : CVQCMCMsgset(hMsg, pPayload) {
  SetInterToneTimeout(VQCMC_EVENT_INTER_TONE_TIMEOUT_DEFAULT);
}

void CVQCMC_EVENT_ATTRIBUTE::SetInterToneTimeout(unsigned short un16Timeout) {
  if (mpPayload != nullptr) mpPayload->un16InterToneTimeout = un16Timeout;
}

VQX_RESULT CVQCMC_EVENT_ATTRIBUTE::AddToneString(const char* pszTones) {
  if (pszTones == nullptr) return VQX_RESULT_NULL_PARAM;
  if (mpPayload == nullptr) return VQX_RESULT_NOT_INITIALIZED;
  const u32 un32Size = ElementSize(strlen(pszTones), 1, "CVQCMC_EVENT_ATTRIBUTE::AddToneString");
  if (un32Size == 0) return VQX_RESULT_INVALID_PARAM;
  void* pvElement = nullptr;
  const VQX_RESULT Result = VQXMsgElementAlloc(mpMsg, &mpPayload->setTones, static_cast<u16>(un32Size), &pvElement);
  if (VQX_RESULT_FAILED_OR_WARNING(Result)) return Result;
  memcpy(pvElement, pszTones, un32Size - 1);
  return Result;
}

VQX_RESULT CVQCMC_EVENT_ATTRIBUTE::CopyTo(VQX_MSG_HANDLE hDstMsg, _VQCMC_EVENT_ATTRIBUTE* pDst) const {
  if (mpPayload == nullptr) return VQX_RESULT_NOT_INITIALIZED;
  return VQCmcLibMsgCopyEventAttribute(VqCmcLiveLibHandle(), mpPayload, hDstMsg, pDst, nullptr);
}

VQX_RESULT CVQCMC_EVENT_ATTRIBUTE::CopyFrom(VQX_MSG_HANDLE hSrcMsg, const _VQCMC_EVENT_ATTRIBUTE* pSrc) {
  if (mpPayload == nullptr) return VQX_RESULT_NOT_INITIALIZED;
  if (hSrcMsg == nullptr) return VQX_RESULT_NULL_PARAM;
  return VQCmcLibMsgCopyEventAttribute(VqCmcLiveLibHandle(), pSrc, mpMsg, mpPayload, hSrcMsg);
}

}  // namespace VQCAF
