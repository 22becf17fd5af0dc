/*
 * hostlib_stats.cpp - the statistics record and its printout.
 *
 * The printout is logged as error lines in pieces of up to 1024 characters
 * (the log queue's lines stay short); the record is a snapshot taken under
 * the library lock and the buffer mutex.
 */
#include <stdarg.h>
#include <string.h>

#include "core/vqx_host_internal.h"
#include "vqx_string.h"

namespace {

/* Accumulates text and logs it in pieces that never split a formatted item. */
class VqxStatsPrinter {
 public:
  explicit VqxStatsPrinter(VQX_LIB_HANDLE hLib) : mhLib(hLib) { mszPiece[0] = '\0'; }
  ~VqxStatsPrinter() { Flush(); }

  void Add(const char* pszFormat, ...) __attribute__((format(printf, 2, 3))) {
    char szItem[VQX_LIB_STATS_PIECE_SIZE];
    va_list vaArgs;
    va_start(vaArgs, pszFormat);
    Vsnprintf(szItem, sizeof(szItem), pszFormat, vaArgs);
    va_end(vaArgs);
    const size_t itemLength = strlen(szItem);
    if (mLength + itemLength >= VQX_LIB_STATS_PIECE_SIZE) Flush();
    mLength += static_cast<size_t>(Snprintf(mszPiece + mLength, sizeof(mszPiece) - mLength, "%s", szItem));
  }

  void Flush() {
    if (mLength == 0) return;
    VQX_LOG_V(mhLib, 0, "%s", mszPiece);
    mLength = 0;
    mszPiece[0] = '\0';
  }

 private:
  VQX_LIB_HANDLE mhLib;
  char mszPiece[VQX_LIB_STATS_PIECE_SIZE];
  size_t mLength = 0;
};

thread_local VqxStatsPrinter* s_pPeerPrinter = nullptr; /* set only while VQXLibStats runs the peers printout */

void VqxStatsPeerPiece(VQX_LIB_HANDLE, const char* pszFormat, ...) {
  char szItem[VQX_LIB_STATS_PIECE_SIZE];
  va_list vaArgs;
  va_start(vaArgs, pszFormat);
  Vsnprintf(szItem, sizeof(szItem), pszFormat, vaArgs);
  va_end(vaArgs);
  if (s_pPeerPrinter != nullptr) s_pPeerPrinter->Add("%s", szItem);
}

/* Message counters in printout order. */
struct VQX_COUNTER_ROW {
  const char* pszName;
  u64 _VQX_LIB_STATS::*pField;
};
constexpr VQX_COUNTER_ROW s_aCounterRows[] = {
    {"RxMsg", &_VQX_LIB_STATS::RxMsg},
    {"RxMsgRedundant", &_VQX_LIB_STATS::RxMsgRedundant},
    {"RxMsgQueued", &_VQX_LIB_STATS::RxMsgQueued},
    {"RxMsgNotQueued", &_VQX_LIB_STATS::RxMsgNotQueued},
    {"RxMsgConsumedByApp", &_VQX_LIB_STATS::RxMsgConsumedByApp},
    {"RxMsgDroppedFilter", &_VQX_LIB_STATS::RxMsgDroppedFilter},
    {"TxMsg", &_VQX_LIB_STATS::TxMsg},
    {"TxMsgQueued", &_VQX_LIB_STATS::TxMsgQueued},
    {"TxMsgDropped", &_VQX_LIB_STATS::TxMsgDropped},
    {"TxRetransmit", &_VQX_LIB_STATS::TxRetransmit},
    {"TxPureAck", &_VQX_LIB_STATS::TxPureAck},
    {"RxOverflow", &_VQX_LIB_STATS::RxOverflow},
    {"RxMsgMatchNoQ", &_VQX_LIB_STATS::RxMsgMatchNoQ},
    {"SignoMatchNoQ", &_VQX_LIB_STATS::SignoMatchNoQ},
    {"RxMsgCopy", &_VQX_LIB_STATS::RxMsgCopy},
    {"RxPureAck", &_VQX_LIB_STATS::RxPureAck},
    {"MsgSerial", &_VQX_LIB_STATS::MsgSerial},
    {"FilterAlloc", &_VQX_LIB_STATS::FilterAlloc},
    {"FilterFreed", &_VQX_LIB_STATS::FilterFreed},
    {"ImpFilterAlloc", &_VQX_LIB_STATS::ImpFilterAlloc},
    {"ImpFilterFreed", &_VQX_LIB_STATS::ImpFilterFreed},
    {"FilterOwned", &_VQX_LIB_STATS::FilterOwned},
    {"AdapterList", &_VQX_LIB_STATS::AdapterList},
    {"AdapterAdd", &_VQX_LIB_STATS::AdapterAdd},
    {"AdapterHAAdd", &_VQX_LIB_STATS::AdapterHAAdd},
    {"AdapterRem", &_VQX_LIB_STATS::AdapterRem},
    {"DebugHashItems", &_VQX_LIB_STATS::DebugHashItems},
};

/* Snapshot; the caller holds the library lock. */
void VqxFillStats(VQX_LIB* pLib, _VQX_LIB_STATS* pStats) {
  memset(pStats, 0, sizeof(*pStats));
  pStats->un32StructVersion = 1;
  {
    std::lock_guard<std::mutex> guard(pLib->BufMutex);
    const VQX_BUF_COUNTERS& buf = pLib->BufCounters;
    pStats->un64BufPoolHit = buf.un64Hit;
    pStats->un64BufPoolHitRelease = buf.un64HitRelease;
    pStats->un64BufPoolMissAlloc = buf.un64MissAlloc;
    pStats->un64BufPoolMissFree = buf.un64MissFree;
    pStats->CurrentAllocated = static_cast<u32>(buf.un64Hit + buf.un64MissAlloc - buf.un64MissFree - buf.un64HitRelease);
    const VQX_BUF_CLASS_TABLE* pTable = pLib->pBufClasses;
    pStats->un32NbBufPools = pTable != nullptr ? pTable->un32NbClasses : 0;
    for (u32 i = 0; i < pStats->un32NbBufPools; i++) {
      const VQX_BUF_CLASS& c = pTable->aClasses[i];
      pStats->aBufPool[i] = {c.un32BufSize,
                             c.un32NbFree,
                             c.un32NbConfigured,
                             static_cast<u32>(c.un64Taken),
                             static_cast<u32>(c.un64Returned),
                             static_cast<u32>(c.un64MissAlloc),
                             static_cast<u32>(c.un64MissFree)};
    }
  }
  const VQX_LIB_COUNTERS& m = pLib->Counters;
  pStats->RxMsg = m.RxMsg;
  pStats->RxMsgRedundant = m.RxMsgRedundant;
  pStats->RxMsgQueued = m.RxMsgQueued;
  pStats->RxMsgNotQueued = m.RxMsgNotQueued;
  pStats->RxMsgConsumedByApp = m.RxMsgConsumedByApp;
  pStats->RxMsgDroppedFilter = m.RxMsgDroppedFilter;
  pStats->TxMsg = m.TxMsg;
  pStats->TxMsgQueued = m.TxMsgQueued;
  pStats->TxMsgDropped = m.TxMsgDropped;
  pStats->TxRetransmit = m.TxRetransmit;
  pStats->TxPureAck = m.TxPureAck;
  pStats->RxOverflow = m.RxOverflow;
  pStats->RxMsgMatchNoQ = m.RxMsgMatchNoQ;
  pStats->SignoMatchNoQ = m.SignoMatchNoQ;
  pStats->RxMsgCopy = m.RxMsgCopy;
  pStats->RxPureAck = m.RxPureAck;
  pStats->MsgSerial = m.MsgSerial;
  pStats->FilterAlloc = m.FilterAlloc;
  pStats->FilterFreed = m.FilterFreed;
  pStats->ImpFilterAlloc = m.ImpFilterAlloc;
  pStats->ImpFilterFreed = m.ImpFilterFreed;
  pStats->FilterOwned = m.FilterOwned;
  pStats->AdapterList = m.AdapterList;
  pStats->AdapterAdd = m.AdapterAdd;
  pStats->AdapterHAAdd = m.AdapterHAAdd;
  pStats->AdapterRem = m.AdapterRem;
  pStats->DebugHashItems = m.DebugHashItems;
}

}  // namespace

VQX_RESULT VQXLibGetStats(VQX_LIB_HANDLE hLib, _VQX_LIB_STATS* pStats) {
  if (hLib == nullptr) {
    fprintf(stderr, "VQXLibGetStats: %s\n", "VQX_RESULT_API_INVALID_LIB_HANDLE");
    return VQX_RESULT_API_INVALID_LIB_HANDLE;
  }
  if (pStats == nullptr) {
    VQX_LOG_V(hLib, 0, "VQXLibGetStats: %s\n", "VQX_RESULT_API_NULL_PARAM");
    return VQX_RESULT_API_NULL_PARAM;
  }
  VqxHostLibCriticalSectionEnter(hLib);
  VqxFillStats(VqxLib(hLib), pStats);
  VqxHostLibCriticalSectionLeave(hLib);
  return VQX_RESULT_API_OK;
}

VQX_RESULT VQXLibStats(VQX_LIB_HANDLE hLib) {
  if (hLib == nullptr) {
    fprintf(stderr, "VQXLibStats: %s\n", "VQX_RESULT_API_INVALID_LIB_HANDLE");
    return VQX_RESULT_API_INVALID_LIB_HANDLE;
  }
  VQX_LIB* pLib = VqxLib(hLib);
  _VQX_LIB_STATS stats;
  VqxHostLibCriticalSectionEnter(hLib);
  VqxFillStats(pLib, &stats);
  {
    VqxStatsPrinter printer(hLib);
    printer.Add("VQXLibStats:\n");
    printer.Add("  BufPoolHit          = %llu\n", static_cast<unsigned long long>(stats.un64BufPoolHit));
    printer.Add("  BufPoolHitRelease   = %llu\n", static_cast<unsigned long long>(stats.un64BufPoolHitRelease));
    printer.Add("  BufPoolMissAlloc    = %llu\n", static_cast<unsigned long long>(stats.un64BufPoolMissAlloc));
    printer.Add("  BufPoolMissFree     = %llu\n", static_cast<unsigned long long>(stats.un64BufPoolMissFree));
    printer.Add("  CurrentAllocated    = %u\n", stats.CurrentAllocated);
    u32 un32LargestClass = 0;
    for (u32 i = 0; i < stats.un32NbBufPools; i++) {
      const _VQX_LIB_STATS_BUF_POOL& pool = stats.aBufPool[i];
      printer.Add("  BufPool size %u: (%u/%u in pool)\n", pool.un32BufSize, pool.un32NbInPool, pool.un32NbMax);
      printer.Add("    Hit = %u, HitRelease = %u, MissAlloc = %u, MissFree = %u\n", pool.un32Hit,
                  pool.un32HitRelease, pool.un32MissAlloc, pool.un32MissFree);
      if (pool.un32BufSize > un32LargestClass) un32LargestClass = pool.un32BufSize;
    }
    unsigned long long ullBigMissAlloc, ullBigMissFree;
    {
      std::lock_guard<std::mutex> guard(pLib->BufMutex);
      ullBigMissAlloc = pLib->BufCounters.un64BigMissAlloc;
      ullBigMissFree = pLib->BufCounters.un64BigMissFree;
    }
    printer.Add("  BufPool size > %u: (no buffer pool)\n", un32LargestClass);
    printer.Add("    MissAlloc = %llu, MissFree = %llu\n", ullBigMissAlloc, ullBigMissFree);
    for (const VQX_COUNTER_ROW& row : s_aCounterRows) {
      if (row.pField == &_VQX_LIB_STATS::SignoMatchNoQ) {
        printer.Add("  %-20s= 0x%X\n", row.pszName, static_cast<u32>(stats.*row.pField));
      } else {
        printer.Add("  %-20s= %llu\n", row.pszName, static_cast<unsigned long long>(stats.*row.pField));
      }
    }
    printer.Add("  Adapters:\n");
    if (pLib->pFctStatsPeers != nullptr) {
      s_pPeerPrinter = &printer;
      pLib->pFctStatsPeers(hLib, VqxStatsPeerPiece);
      s_pPeerPrinter = nullptr;
    }
    printer.Add("VQXLibStats end\n\n");
  }
  VqxHostLibCriticalSectionLeave(hLib);
  return VQX_RESULT_API_OK;
}
