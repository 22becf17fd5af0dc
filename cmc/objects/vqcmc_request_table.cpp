/*
 * CVQCMCRequestTable: the commands of a leg or mixer waiting for their
 * responses, the oldest few in a small array, the others found by serial
 * number in constant time and chained in sending order
 * (vqcmc_request_table.h).
 */
#include "vqcmc_request_table.h"

#include <algorithm>
#include <iterator>
#include <new>

namespace VQCAF {

namespace {

/* A hash emptied after a burst gives its bucket array back beyond this many buckets; a leg with
 * a few commands in flight at a time keeps its small one. */
constexpr size_t kKeptBuckets = 1024;

}  // namespace

VQX_RESULT CVQCMCRequestTable::Remember(VQX_MSG_HANDLE hMsg, IVQCMCErrorListener* pListener, const char** ppszStep) {
  if (mpDefault == nullptr) mpDefault = pListener;
  const bool fOwn = pListener != nullptr && pListener != mpDefault;
  if (hMsg == nullptr) return fOwn ? VQX_RESULT_NULL_PARAM : VQX_RESULT_OK;
  if (fOwn && mun32Count >= mun32Capacity) {
    *ppszStep = "VQXHashInsert Failed.";
    return VQX_RESULT_OUT_OF_RESOURCE;
  }
  const Command Cmd{hMsg->un32SerialNumber, hMsg->un32MsgId, fOwn ? pListener : nullptr};
  if (mBySerial.empty() && mun32Inline < kInline) {
    Forget(Cmd.un32Serial);  // the numbering came round on a command still waiting
    maInline[mun32Inline++] = Cmd;
  } else {
    Request* pEntry = nullptr;
    try {
      pEntry = Insert(Cmd.un32Serial);
      if (pEntry == nullptr) {
        Forget(Cmd.un32Serial);
        pEntry = Insert(Cmd.un32Serial);
      }
    } catch (const std::bad_alloc&) {
      *ppszStep = "VQXHashCreateWithKey Failed.";
      return VQX_RESULT_NOT_ENOUGH_MEMORY;
    }
    *pEntry = {Cmd, mpNewest, nullptr};
    (mpNewest != nullptr ? mpNewest->pNewer : mpOldest) = pEntry;
    mpNewest = pEntry;
  }
  if (fOwn) mun32Count++;
  return VQX_RESULT_OK;
}

CVQCMCRequestTable::Request* CVQCMCRequestTable::Insert(u32 un32Serial) {
  if (mun32Spare == 0) {
    const auto [it, fInserted] = mBySerial.try_emplace(un32Serial);
    return fInserted ? &it->second : nullptr;
  }
  Map::node_type& Spare = maSpare[mun32Spare - 1];
  Spare.key() = un32Serial;
  auto Inserted = mBySerial.insert(std::move(Spare));  // on a throw the entry stays spare
  if (!Inserted.inserted) {
    Spare = std::move(Inserted.node);
    return nullptr;
  }
  mun32Spare--;
  return &Inserted.position->second;
}

bool CVQCMCRequestTable::TakeSerial(u32 un32Serial, IVQCMCErrorListener** ppListener) {
  const auto pInline = std::find_if(maInline, maInline + mun32Inline,
                                    [&](const Command& Cmd) { return Cmd.un32Serial == un32Serial; });
  if (pInline != maInline + mun32Inline) {
    *ppListener = pInline->pListener;
    std::copy(pInline + 1, maInline + mun32Inline, pInline);
    mun32Inline--;
  } else {
    const auto it = mBySerial.empty() ? mBySerial.end() : mBySerial.find(un32Serial);
    if (it == mBySerial.end()) return false;
    Request& Entry = it->second;
    (Entry.pOlder != nullptr ? Entry.pOlder->pNewer : mpOldest) = Entry.pNewer;
    (Entry.pNewer != nullptr ? Entry.pNewer->pOlder : mpNewest) = Entry.pOlder;
    *ppListener = Entry.Cmd.pListener;
    if (mun32Spare < std::size(maSpare)) {
      maSpare[mun32Spare++] = mBySerial.extract(it);
    } else {
      mBySerial.erase(it);
    }
    if (mBySerial.empty() && mBySerial.bucket_count() > kKeptBuckets) Map().swap(mBySerial);
  }
  if (*ppListener != nullptr) mun32Count--;
  return true;
}

IVQCMCErrorListener* CVQCMCRequestTable::Take(VQX_MSG_HANDLE hMsg) {
  IVQCMCErrorListener* pListener = nullptr;
  if (hMsg == nullptr || !TakeSerial(hMsg->un32SerialNumber, &pListener)) return nullptr;
  return pListener != nullptr ? pListener : mpDefault;
}

void CVQCMCRequestTable::Forget(u32 un32Serial) {
  IVQCMCErrorListener* pListener = nullptr;
  TakeSerial(un32Serial, &pListener);
}

void CVQCMCRequestTable::Clear() {
  mun32Inline = 0;
  Map().swap(mBySerial);
  mpOldest = mpNewest = nullptr;
  mun32Count = 0;
}

}  // namespace VQCAF
