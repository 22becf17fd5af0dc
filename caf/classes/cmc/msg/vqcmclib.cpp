/* CVQCMCLib's singleton members used by the message classes, and their log helpers. */
#include "vqcmclib.h"

#include <atomic>
#include <cstdarg>
#include <cstring>

#include "vqcaflog.h"
#include "vqcmc_msg_internal.h"
#include "vqx_msg_element.h"
#include "vqx_string.h"

namespace VQCAF {

namespace {
std::atomic<CVQCMCLib*> s_pInstance{nullptr};
}  // namespace

CVQCMCLib::CVQCMCLib(VQCMC_LIB_HANDLE hCmcLib) : CVQCAFLogTrace(VQCAF_SUBMODULE_CMC), mhCmcLib(hCmcLib) {}

CVQCMCLib* CVQCMCLib::GetInstance() { return s_pInstance.load(); }

VQX_RESULT CVQCMCLib::TestInstall(VQCMC_LIB_HANDLE hCmcLib) {
  CVQCMCLib* pNew = new CVQCMCLib(hCmcLib);
  CVQCMCLib* pNone = nullptr;
  if (!s_pInstance.compare_exchange_strong(pNone, pNew)) {
    delete pNew;
    return VQX_RESULT_INVALID_OPERATION;
  }
  return VQX_RESULT_OK;
}

void CVQCMCLib::TestUninstall() { delete s_pInstance.exchange(nullptr); }

void VqCmcLogLine(const char* pszFormat, ...) {
  char szLine[1024];
  va_list args;
  va_start(args, pszFormat);
  vsnprintf(szLine, sizeof(szLine), pszFormat, args);
  va_end(args);
  if (CVQCMCLib* pLib = CVQCMCLib::GetInstance()) {
    pLib->LogTrace(VQERR, "%s", szLine);
  } else {
    SubModLogTrace(VQCAF_SUBMODULE_CMC, VQERR, "%s", szLine);
  }
}

void VqCmcLogFailure(const char* pszOperation, const char* pszText, VQX_RESULT Result, const char* pszFile,
                     int nLine) {
  VqCmcLogLine("%s: %s (%X) %s:%d\n", pszOperation, pszText, Result, VqxFileNameFromPath(pszFile), nLine);
}

VQX_RESULT VqCmcCheckRecord(VQX_MSG_HANDLE hMsg, const void* pvRecord, u32 un32Size) {
  if (hMsg == nullptr || pvRecord == nullptr) return VQX_RESULT_NULL_PARAM;
  if (hMsg->un32PayloadLength > hMsg->un32PayloadMaxLength) return VQX_RESULT_MISMATCH;
  const uintptr_t uStart = reinterpret_cast<uintptr_t>(VQXMsgPayload(hMsg));
  const uintptr_t uRecord = reinterpret_cast<uintptr_t>(pvRecord);
  if (uRecord < uStart || uRecord - uStart > hMsg->un32PayloadLength ||
      hMsg->un32PayloadLength - (uRecord - uStart) < un32Size) {
    return VQX_RESULT_MISMATCH;
  }
  return VQX_RESULT_OK;
}

VQX_RESULT VqCmcCheckRecordSet(VQX_MSG_HANDLE hMsg, const void* pvRecord, u32 un32Size, const void* pvSet) {
  const VQX_RESULT Result = VqCmcCheckRecord(hMsg, pvRecord, un32Size);
  return VQX_RESULT_FAILED(Result) ? Result : VqxMsgElementCheckSet(hMsg, pvSet);
}

VQX_RESULT VqCmcCopyRecord(VQX_MSG_HANDLE hSrcMsg, const void* pSrc, u32 un32Size, const u32* paun32Sets, u32 un32NbSets,
                           VQX_MSG_HANDLE hDstMsg, void* pDst, const char* pszOperation, PFN_VQX_MSG_ELEMENT_COPY pfnCopy,
                           void* pvContext) {
  if (pSrc == nullptr || pDst == nullptr || hDstMsg == nullptr) return VQX_RESULT_NULL_PARAM;
  const u8* pbySrc = static_cast<const u8*>(pSrc);
  if (hSrcMsg != nullptr) {
    VQX_RESULT Result = VqCmcCheckRecord(hSrcMsg, pSrc, un32Size);
    for (u32 i = 0; i < un32NbSets && VQX_RESULT_SUCCEEDED(Result); i++) {
      Result = VqxMsgElementCheckSet(hSrcMsg, pbySrc + paun32Sets[i]);
    }
    if (VQX_RESULT_FAILED(Result)) {
      VqCmcLogFailure(pszOperation, "Malformed attribute refused", Result, __FILE__, __LINE__);
      return Result;
    }
  }
  if (pSrc == pDst) return VQX_RESULT_OK;
  u8* pbyDst = static_cast<u8*>(pDst);
  // Set links are relative to their words: an overlapping copy would move the source's words under it.
  if (pbyDst < pbySrc + un32Size && pbySrc < pbyDst + un32Size) return VQX_RESULT_INVALID_PARAM;
  memcpy(pDst, pSrc, un32Size);
  for (u32 i = 0; i < un32NbSets; i++) memset(pbyDst + paun32Sets[i], 0, sizeof(VQXMsgElementSet));
  for (u32 i = 0; i < un32NbSets; i++) {
    const VQX_RESULT Result = VQXMsgElementDupSet(pbySrc + paun32Sets[i], hDstMsg, pbyDst + paun32Sets[i], pfnCopy, pvContext);
    if (VQX_RESULT_FAILED(Result)) {
      VqCmcLogFailure(pszOperation, "VQXMsgElementDupSet Failed", Result, __FILE__, __LINE__);
      return Result;
    }
  }
  return VQX_RESULT_OK;
}

u32 VqCmcFieldLength(const char* pszField, u32 un32Field) {
  const void* pvNul = memchr(pszField, 0, un32Field);
  return pvNul == nullptr ? un32Field : static_cast<u32>(static_cast<const char*>(pvNul) - pszField);
}

}  // namespace VQCAF
