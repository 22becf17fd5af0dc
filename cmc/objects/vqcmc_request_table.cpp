/*
 * CVQCMCRequestTable: the commands of a leg or mixer waiting for their
 * responses, in sending order; responses mostly come in that order, so a
 * search from the oldest finds them first.
 */
#include "vqcmc_request_table.h"

#include <algorithm>
#include <new>

namespace VQCAF {

VQX_RESULT CVQCMCRequestTable::Remember(VQX_MSG_HANDLE hMsg, IVQCMCErrorListener* pListener, const char** ppszStep) {
  if (mpDefault == nullptr) mpDefault = pListener;
  const bool fOwn = pListener != nullptr && pListener != mpDefault;
  if (hMsg == nullptr) return fOwn ? VQX_RESULT_NULL_PARAM : VQX_RESULT_OK;
  if (fOwn && mun32Count >= mun32Capacity) {
    *ppszStep = "VQXHashInsert Failed.";
    return VQX_RESULT_OUT_OF_RESOURCE;
  }
  try {
    maRequests.push_back({hMsg->un32SerialNumber, hMsg->un32MsgId, fOwn ? pListener : nullptr});
  } catch (const std::bad_alloc&) {
    *ppszStep = "VQXHashCreateWithKey Failed.";
    return VQX_RESULT_NOT_ENOUGH_MEMORY;
  }
  if (fOwn) mun32Count++;
  return VQX_RESULT_OK;
}

IVQCMCErrorListener* CVQCMCRequestTable::Take(VQX_MSG_HANDLE hMsg) {
  if (hMsg == nullptr) return mpDefault;
  const auto it = std::find_if(maRequests.begin(), maRequests.end(),
                               [&](const Request& Entry) { return Entry.un32Serial == hMsg->un32SerialNumber; });
  if (it == maRequests.end()) return mpDefault;
  IVQCMCErrorListener* pListener = it->pListener;
  if (pListener != nullptr) mun32Count--;
  maRequests.erase(it);
  return pListener != nullptr ? pListener : mpDefault;
}

void CVQCMCRequestTable::Forget(u32 un32Serial) {
  const auto it = std::find_if(maRequests.begin(), maRequests.end(),
                               [&](const Request& Entry) { return Entry.un32Serial == un32Serial; });
  if (it == maRequests.end()) return;
  if (it->pListener != nullptr) mun32Count--;
  maRequests.erase(it);
}

void CVQCMCRequestTable::Clear() {
  maRequests.clear();
  mun32Count = 0;
}

}  // namespace VQCAF
