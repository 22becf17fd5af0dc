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

}  // namespace VQCAF
