/*
 * Network access point statistics: one object per record of a server's
 * report, handed to the application as one list (CVQCMCLib::HandleNapStats).
 */
#include <algorithm>
#include <cstring>

#include "vqcmc_libuser.h"
#include "vqcmclib.h"
#include "vqx_msg_element.h"

namespace VQCAF {

namespace {
/* Bytes of a record its statistics type makes meaningful. */
u32 NapStatsExtent(u32 un32Type) {
  switch (un32Type) {
    case 2: return sizeof(_VQCMC_NAP_STATS);
    case 1: case 3: case 4: return 192;
    default: return 0;
  }
}
}  // namespace

CVQCAFNapStats::CVQCAFNapStats(const _VQCMC_NAP_STATS* pStats, u32 un32Available) {
  memset(&mNapStats, 0, sizeof(mNapStats));
  if (pStats == nullptr || un32Available < offsetof(_VQCMC_NAP_STATS, un32StatsType) + sizeof(u32)) return;
  u32 un32Type = 0;
  memcpy(&un32Type, &pStats->un32StatsType, sizeof(un32Type));
  // A record shorter than its type's extent: what is there, the rest zero.
  memcpy(&mNapStats, pStats, std::min(NapStatsExtent(un32Type), un32Available));
}

VQX_RESULT CVQCMCLib::HandleNapStats(unsigned int* pSet) {
  CVQCAFMutexAutoGetGive Lock(mpMsgMutex);  // the user, as Detach clears it
  CVQCMCLibUser* pUser = mpUser;
  if (pSet == nullptr || *pSet == 0 || pUser == nullptr) return VQX_RESULT_OK;
  std::vector<CVQCAFPtr<CVQCAFNapStats>> aStats;
  u16 un16Size = 0;
  for (void* pv = VQXMsgElementGetNext(pSet, nullptr, &un16Size); pv != nullptr;
       pv = VQXMsgElementGetNext(pSet, pv, &un16Size)) {
    aStats.emplace_back(new CVQCAFNapStats(static_cast<const _VQCMC_NAP_STATS*>(pv), un16Size));
  }
  pUser->OnNapStatsUpdated(aStats);
  return VQX_RESULT_OK;
}

}  // namespace VQCAF
