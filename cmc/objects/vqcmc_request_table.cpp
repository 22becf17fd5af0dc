/*
 * CVQCMCRequestTable: the pending error listeners of a leg's or mixer's
 * commands, keyed by the command's serial number in a host-library hash.
 */
#include "vqcmc_request_table.h"

#include <cstdint>

namespace VQCAF {

VQX_RESULT CVQCMCRequestTable::Remember(VQX_MSG_HANDLE hMsg, IVQCMCErrorListener* pListener, const char** ppszStep) {
  if (pListener == nullptr) return VQX_RESULT_OK;
  if (mpDefault == nullptr || pListener == mpDefault) {
    mpDefault = pListener;
    return VQX_RESULT_OK;
  }
  if (hMsg == nullptr) return VQX_RESULT_NULL_PARAM;
  if (mhTable == nullptr) {
    mhTable = VQXHashCreateWithKeyInternal(mun32Capacity, mpszName, 0);
    if (mhTable == nullptr) {
      *ppszStep = "VQXHashCreateWithKey Failed.";
      return VQX_RESULT_NOT_ENOUGH_MEMORY;
    }
  }
  const VQX_RESULT Result = VQXHashInsert(mhTable, hMsg->un32SerialNumber, reinterpret_cast<uintptr_t>(pListener));
  if (VQX_RESULT_FAILED(Result)) {
    *ppszStep = "VQXHashInsert Failed.";
    return Result;
  }
  mun32Count++;
  return VQX_RESULT_OK;
}

IVQCMCErrorListener* CVQCMCRequestTable::Take(VQX_MSG_HANDLE hMsg) {
  u64 un64Listener = 0;
  if (hMsg != nullptr && mhTable != nullptr &&
      VQX_RESULT_SUCCEEDED(VQXHashRemove(mhTable, hMsg->un32SerialNumber, &un64Listener))) {
    mun32Count--;
    return reinterpret_cast<IVQCMCErrorListener*>(static_cast<uintptr_t>(un64Listener));
  }
  return mpDefault;
}

void CVQCMCRequestTable::Forget(u32 un32Serial) {
  if (mhTable != nullptr && VQX_RESULT_SUCCEEDED(VQXHashRemove(mhTable, un32Serial, nullptr))) mun32Count--;
}

void CVQCMCRequestTable::Clear() {
  if (mhTable != nullptr) VQXHashDestroy(mhTable);
  mhTable = nullptr;
  mun32Count = 0;
}

}  // namespace VQCAF
