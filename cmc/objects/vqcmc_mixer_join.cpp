/*
 * Mixer joins: the join records (CVQCMCMixerJoinedLeg, CVQCMCMixerJoinedMixer:
 * pools, class mutexes, the lists and slots of legs and mixers they link
 * into) and the mixer's side of a join: the four commands, their responses,
 * the join-done and unjoin-done notifications, the bookkeeping that keeps
 * records and lists in step, the queries, and the leg's mixer-join queries.
 *
 * Locks. Everything two objects share (the records, both objects' lists,
 * the leg's listener slot) changes under the record kind's class mutex,
 * taken after the calling mixer's own mutex and never with another object
 * mutex: a peer mixer's or a leg's mutex is never taken here, so two mixers
 * joined both ways and unjoining each other on two threads cannot wait on
 * each other. The two class mutexes are never held together. A done
 * callback made on a peer mixer, or handing out a peer (the lower-id mixer,
 * the leg), pins it under the class mutex first: its free waits for the call.
 */
#include <algorithm>
#include <vector>

#include "vqcafmutex.h"
#include "vqcmc_mixer_internal.h"
#include "vqx_string.h"

namespace VQCAF {

CVQCAFPool64<CVQCAFPtr<CVQCMCMixerJoinedLeg>>* CVQCMCMixerJoinedLeg::s_pPoolOfMixerJoinedLegs = nullptr;
CVQCAFMutex* CVQCMCMixerJoinedLeg::s_pMutexOfMixerJoinedLegs = nullptr;
CVQCAFPool64<CVQCAFPtr<CVQCMCMixerJoinedMixer>>* CVQCMCMixerJoinedMixer::s_pPoolOfMixerJoinedMixers = nullptr;
CVQCAFMutex* CVQCMCMixerJoinedMixer::s_pMutexOfMixerJoinedMixers = nullptr;

namespace {

constexpr u32 kOffsetFirstId = VQCMC_PAYLOAD_OFFSET_WORD8;
constexpr u32 kOffsetSecondId = VQCMC_PAYLOAD_OFFSET_WORD9;
constexpr u32 kOffsetFlag1 = 40u;  /* listener, or joined from 1 to 2 */
constexpr u32 kOffsetFlag2 = 41u;  /* speaker, or joined from 2 to 1 */

/* The singleton makes the pools: as many leg records as legs, a third of it of mixer records. */
[[maybe_unused]] const bool g_fRegistered = [] {
  CVQCMCLib::RegisterJoinPool(VQCMC_JOIN_POOL_HOOKS{
      [](const CVQCMCLibParams& Params) {
        return CVQCMCMixerJoinedLeg::Init(CVQCAFDebugInfo(__FILE__, __LINE__), Params.mun32MaxLegs);
      },
      [] { CVQCMCMixerJoinedLeg::Clear(); }});
  CVQCMCLib::RegisterJoinPool(VQCMC_JOIN_POOL_HOOKS{
      [](const CVQCMCLibParams& Params) {
        return CVQCMCMixerJoinedMixer::Init(CVQCAFDebugInfo(__FILE__, __LINE__), Params.mun32MaxLegs / 3);
      },
      [] { CVQCMCMixerJoinedMixer::Clear(); }});
  return true;
}();

struct LegLock : CVQCAFMutexAutoGetGive {
  LegLock() : CVQCAFMutexAutoGetGive(CVQCMCMixerJoinedLeg::GetMutex()) {}
};
struct MixerLock : CVQCAFMutexAutoGetGive {
  MixerLock() : CVQCAFMutexAutoGetGive(CVQCMCMixerJoinedMixer::GetMutex()) {}
};

/* The mutex and the pool of a record kind (shared by both kinds' Init). */
template <class P>
VQX_RESULT MakePool(const CVQCAFDebugInfo& DebugInfo, u32 un32Max, CVQCAFMutex** ppMutex, P** ppPool) {
  try {
    *ppMutex = new CVQCAFMutex;
    *ppPool = new P(DebugInfo, un32Max, 1);
  } catch (...) {
  }
  return *ppMutex == nullptr || *ppPool == nullptr ? VQX_RESULT_OUT_OF_MEMORY : VQX_RESULT_OK;
}

/* A record's pool element under a key, taken while the class mutex is held (null: none). */
template <class R>
R* Stored(CVQCAFPool64<CVQCAFPtr<R>>* pPool, u64 un64Key) {
  CVQCAFPtr<R>* pElement = pPool == nullptr ? nullptr : pPool->Find(un64Key);
  return pElement == nullptr ? nullptr : pElement->Get();
}

/* A new record under the key; empty for a key in use or a full pool. */
template <class R>
CVQCAFPtr<R> Store(CVQCAFPool64<CVQCAFPtr<R>>* pPool, u64 un64Key) {
  if (pPool == nullptr || pPool->Find(un64Key) != nullptr) return {};
  const CVQCAFDebugInfo Debug(__FILE__, __LINE__);
  CVQCAFPtr<R>* pElement = pPool->Alloc(Debug, un64Key);
  if (pElement == nullptr) return {};
  CVQCAFPtr<R> p;
  try {
    p = new R;
  } catch (...) {
    pPool->Free(Debug, pElement);
    return {};
  }
  *pElement = p;
  return p;
}

/* The pool's reference to the record released (the record goes with the last), its element freed. */
template <class R>
void Unstore(CVQCAFPool64<CVQCAFPtr<R>>* pPool, CVQCAFPtr<R>* pElement) {
  pElement->Release();
  pPool->Free(CVQCAFDebugInfo(__FILE__, __LINE__), pElement);
}

}  // namespace

/* ------------------------------------------------------------ mixer-leg records */

CVQCMCMixerJoinedLeg::~CVQCMCMixerJoinedLeg() {
  mpLeg = nullptr;
  mpMixer = nullptr;
  mpAttribute.Release();
}

VQX_RESULT CVQCMCMixerJoinedLeg::Init(const CVQCAFDebugInfo& DebugInfo, u32 un32Max) {
  return MakePool(DebugInfo, un32Max, &s_pMutexOfMixerJoinedLegs, &s_pPoolOfMixerJoinedLegs);
}

VQX_RESULT CVQCMCMixerJoinedLeg::Clear() {
  if (s_pPoolOfMixerJoinedLegs != nullptr) {
    // Records left are freed with the pool: unlinked first, so that no leg or mixer keeps them.
    LegLock Lock;
    s_pPoolOfMixerJoinedLegs->ResetNext();
    for (auto* p = s_pPoolOfMixerJoinedLegs->Next(); p != nullptr; p = s_pPoolOfMixerJoinedLegs->Next()) {
      CVQCMCMixerJoinedLeg* pJoin = p->Get();
      if (pJoin == nullptr || pJoin->mpLeg == nullptr || pJoin->mpMixer == nullptr) continue;
      RemoveFromLeg(pJoin);
      pJoin->mpMixer->mJoinedLegs.Remove(pJoin);
    }
    s_pPoolOfMixerJoinedLegs->ResetNext();
  }
  delete s_pMutexOfMixerJoinedLegs;
  s_pMutexOfMixerJoinedLegs = nullptr;
  delete s_pPoolOfMixerJoinedLegs;
  s_pPoolOfMixerJoinedLegs = nullptr;
  return VQX_RESULT_OK;
}

u32 CVQCMCMixerJoinedLeg::GetCount() {
  LegLock Lock;
  return s_pPoolOfMixerJoinedLegs == nullptr ? 0 : s_pPoolOfMixerJoinedLegs->GetCount();
}

CVQCAFPtr<CVQCMCMixerJoinedLeg> CVQCMCMixerJoinedLeg::Find(u32 un32MixerId, u32 un32LegId) {
  if (s_pPoolOfMixerJoinedLegs == nullptr) return {};
  LegLock Lock;
  auto* pElement = s_pPoolOfMixerJoinedLegs->Find(CVQCMCMixerJoinedLegKey(un32MixerId, un32LegId));
  return pElement == nullptr ? CVQCAFPtr<CVQCMCMixerJoinedLeg>() : *pElement;
}

bool CVQCMCMixerJoinedLeg::RemoveFromLeg(CVQCMCMixerJoinedLeg* pJoin) {
  CVQCMCLeg* pLeg = pJoin->mpLeg;
  if (pLeg->mpListenerMixerJoin != pJoin) {
    return pLeg->mSpeakerMixers.Remove(pJoin) || pLeg->mOtherMixerJoins.Remove(pJoin);
  }
  // A listener kept aside while the slot was taken takes it now.
  pLeg->mpListenerMixerJoin = nullptr;
  for (CVQCMCMixerJoinedLeg* p = pLeg->mOtherMixerJoins.First(); p != nullptr; p = CVQCMCLegMixerList::Next(p)) {
    if (p->mpAttribute->IsListener() != 0) {
      pLeg->mOtherMixerJoins.Remove(p);
      pLeg->mpListenerMixerJoin = p;
      break;
    }
  }
  return true;
}

void CVQCMCMixerJoinedLeg::PlaceOnLeg(CVQCMCMixerJoinedLeg* pJoin) {
  CVQCMCLeg* pLeg = pJoin->mpLeg;
  const bool fListener = pJoin->mpAttribute->IsListener() != 0;
  const bool fSpeaker = !fListener && pJoin->mpAttribute->IsSpeaker() != 0;
  if (fListener ? pLeg->mpListenerMixerJoin == pJoin
                : (fSpeaker ? pLeg->mSpeakerMixers : pLeg->mOtherMixerJoins).Contains(pJoin)) {
    return;  // where its flags say already
  }
  RemoveFromLeg(pJoin);
  if (!fListener) {
    (fSpeaker ? pLeg->mSpeakerMixers : pLeg->mOtherMixerJoins).Append(pJoin);
    return;
  }
  // The newest listener takes the slot; one of another mixer there stays reachable from the leg.
  if (pLeg->mpListenerMixerJoin != nullptr) pLeg->mOtherMixerJoins.Append(pLeg->mpListenerMixerJoin);
  pLeg->mpListenerMixerJoin = pJoin;
}

CVQCAFPtr<CVQCMCMixerJoinedLeg> CVQCMCMixerJoinedLeg::Alloc(CVQCMCMixer* pMixer, CVQCMCLeg* pLeg,
                                                            CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE* pAttribute) {
  if (pMixer == nullptr || pLeg == nullptr || pAttribute == nullptr || s_pPoolOfMixerJoinedLegs == nullptr) return {};
  LegLock Lock;
  CVQCAFPtr<CVQCMCMixerJoinedLeg> pJoin =
      Store(s_pPoolOfMixerJoinedLegs, CVQCMCMixerJoinedLegKey(pMixer->GetMixerId(), pLeg->GetLegId()));
  if (pJoin.IsNull()) return {};
  pJoin->mpLeg = pLeg;
  pJoin->mpMixer = pMixer;
  pJoin->mpAttribute = new CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE(*pAttribute);
  PlaceOnLeg(pJoin.Get());
  pMixer->mJoinedLegs.Append(pJoin.Get());
  return pJoin;
}

VQX_RESULT CVQCMCMixerJoinedLeg::Destroy(u32 un32MixerId, u32 un32LegId) {
  if (s_pPoolOfMixerJoinedLegs == nullptr) return VQX_RESULT_NOT_FOUND;
  LegLock Lock;
  const u64 un64Key = CVQCMCMixerJoinedLegKey(un32MixerId, un32LegId);
  auto* pElement = s_pPoolOfMixerJoinedLegs->Find(un64Key);
  if (pElement == nullptr) return VQX_RESULT_NOT_FOUND;
  CVQCMCMixerJoinedLeg* pJoin = pElement->Get();
  if (pJoin != nullptr && pJoin->mpLeg != nullptr && pJoin->mpMixer != nullptr) {
    if (!RemoveFromLeg(pJoin)) {
      pJoin->mpMixer->LogTrace(
          VQERR, "Bug: Failed to remove mixer/leg association from leg's list, should have been in that list!");
    }
    if (!pJoin->mpMixer->mJoinedLegs.Remove(pJoin)) {
      pJoin->mpMixer->LogTrace(
          VQERR, "Bug: Failed to remove mixer/leg association from mixer's list, should have been in that list!");
    }
  }
  Unstore(s_pPoolOfMixerJoinedLegs, pElement);
  return VQX_RESULT_OK;
}

void CVQCMCMixerJoinedLeg::GetMixerLeg(CVQCMCMixer** ppMixer, CVQCMCLeg** ppLeg) {
  LegLock Lock;
  if (ppMixer != nullptr) *ppMixer = mpMixer;
  if (ppLeg != nullptr) *ppLeg = mpLeg;
}

u32 CVQCMCMixerJoinedLeg::IsUnjoinPending() {
  LegLock Lock;
  return mfUnjoinPending;
}

/* ------------------------------------------------------------ mixer-mixer records */

VQX_RESULT CVQCMCMixerJoinedMixer::Init(const CVQCAFDebugInfo& DebugInfo, u32 un32Max) {
  return MakePool(DebugInfo, un32Max, &s_pMutexOfMixerJoinedMixers, &s_pPoolOfMixerJoinedMixers);
}

VQX_RESULT CVQCMCMixerJoinedMixer::Clear() {
  if (s_pPoolOfMixerJoinedMixers != nullptr) {
    MixerLock Lock;
    s_pPoolOfMixerJoinedMixers->ResetNext();
    for (auto* p = s_pPoolOfMixerJoinedMixers->Next(); p != nullptr; p = s_pPoolOfMixerJoinedMixers->Next()) {
      CVQCMCMixerJoinedMixer* pJoin = p->Get();
      if (pJoin == nullptr || pJoin->mpMixer1 == nullptr || pJoin->mpMixer2 == nullptr) continue;
      pJoin->mpMixer1->mJoinedMixersLow.Remove(pJoin);
      pJoin->mpMixer2->mJoinedMixersHigh.Remove(pJoin);
    }
    s_pPoolOfMixerJoinedMixers->ResetNext();
  }
  delete s_pMutexOfMixerJoinedMixers;
  s_pMutexOfMixerJoinedMixers = nullptr;
  delete s_pPoolOfMixerJoinedMixers;
  s_pPoolOfMixerJoinedMixers = nullptr;
  return VQX_RESULT_OK;
}

u32 CVQCMCMixerJoinedMixer::GetCount() {
  MixerLock Lock;
  return s_pPoolOfMixerJoinedMixers == nullptr ? 0 : s_pPoolOfMixerJoinedMixers->GetCount();
}

CVQCAFPtr<CVQCMCMixerJoinedMixer> CVQCMCMixerJoinedMixer::Find(u32 un32MixerIdA, u32 un32MixerIdB) {
  if (s_pPoolOfMixerJoinedMixers == nullptr) return {};
  MixerLock Lock;
  auto* pElement = s_pPoolOfMixerJoinedMixers->Find(CVQCMCMixerJoinedMixerKey(un32MixerIdA, un32MixerIdB));
  return pElement == nullptr ? CVQCAFPtr<CVQCMCMixerJoinedMixer>() : *pElement;
}

CVQCAFPtr<CVQCMCMixerJoinedMixer> CVQCMCMixerJoinedMixer::Alloc(CVQCMCMixer* pA, CVQCMCMixer* pB,
                                                                CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE* pAttribute) {
  if (pA == nullptr || pB == nullptr || pAttribute == nullptr || s_pPoolOfMixerJoinedMixers == nullptr) return {};
  MixerLock Lock;
  CVQCAFPtr<CVQCMCMixerJoinedMixer> pJoin =
      Store(s_pPoolOfMixerJoinedMixers, CVQCMCMixerJoinedMixerKey(pA->GetMixerId(), pB->GetMixerId()));
  if (pJoin.IsNull()) return {};
  const bool fSwap = pA->GetMixerId() > pB->GetMixerId();
  pJoin->mpMixer1 = fSwap ? pB : pA;
  pJoin->mpMixer2 = fSwap ? pA : pB;
  pJoin->mpMixer1->mJoinedMixersLow.Append(pJoin.Get());
  pJoin->mpMixer2->mJoinedMixersHigh.Append(pJoin.Get());
  return pJoin;
}

VQX_RESULT CVQCMCMixerJoinedMixer::Destroy(u32 un32MixerIdA, u32 un32MixerIdB) {
  if (s_pPoolOfMixerJoinedMixers == nullptr) return VQX_RESULT_NOT_FOUND;
  MixerLock Lock;
  const u64 un64Key = CVQCMCMixerJoinedMixerKey(un32MixerIdA, un32MixerIdB);
  auto* pElement = s_pPoolOfMixerJoinedMixers->Find(un64Key);
  if (pElement == nullptr) return VQX_RESULT_NOT_FOUND;
  CVQCMCMixerJoinedMixer* pJoin = pElement->Get();
  if (pJoin != nullptr && pJoin->mpMixer1 != nullptr && pJoin->mpMixer2 != nullptr) {
    if (!pJoin->mpMixer1->mJoinedMixersLow.Remove(pJoin)) {
      pJoin->mpMixer1->LogTrace(
          VQERR, "Bug: Failed to remove mixer/mixer association from mixer1's list, should have been in that list!");
    }
    if (!pJoin->mpMixer2->mJoinedMixersHigh.Remove(pJoin)) {
      pJoin->mpMixer2->LogTrace(
          VQERR, "Bug: Failed to remove mixer/mixer association from mixer2's list, should have been in that list!");
    }
  }
  Unstore(s_pPoolOfMixerJoinedMixers, pElement);
  return VQX_RESULT_OK;
}

void CVQCMCMixerJoinedMixer::GetMixers(CVQCMCMixer** ppFirst, CVQCMCMixer** ppSecond) {
  MixerLock Lock;
  const bool fBackward = mfJoined2To1 != 0 && mfJoined1To2 == 0;
  if (ppFirst != nullptr) *ppFirst = fBackward ? mpMixer2 : mpMixer1;
  if (ppSecond != nullptr) *ppSecond = fBackward ? mpMixer1 : mpMixer2;
}

/* ------------------------------------------------------------ commands */

template <class T, u32 id, class F>
VQX_RESULT CVQCMCMixer::SendJoin(CVQCMCMessage<T, id>& Msg, const char* pszOp, const char* pszError, u32 un32First,
                                 u32 un32Second, u32 un32Peer, IVQCMCErrorListener* pListener, F&& fnFill) {
  u8* pbyPayload = reinterpret_cast<u8*>(Msg.GetPayload());
  if (pbyPayload == nullptr) {
    return ReportFailure(pszOp, pszError, "Message allocation failed", VQX_RESULT_NOT_ENOUGH_MEMORY, pListener,
                         __LINE__);
  }
  *VqCmcAt(pbyPayload, VQCMC_PAYLOAD_OFFSET_LIB_BUILT) = VQCMC_PAYLOAD_LIB_BUILT_MARK;
  *VqCmcAt(pbyPayload, kOffsetFirstId) = un32First;
  *VqCmcAt(pbyPayload, kOffsetSecondId) = un32Second;
  fnFill(pbyPayload);
  const u32 un32Serial = Msg.GetMsg()->un32SerialNumber;
  VQX_RESULT Result = HandleRequest(Msg.GetMsg(), pListener);
  if (VQX_RESULT_FAILED(Result)) {
    return ReportFailure(pszOp, pszError, "HandleRequest Failed.", Result, pListener, __LINE__);
  }
  Result = mfValidMixerCtx != 0 ? Msg.MixerMsgProcess(mun32MixerId, un32Peer) : mun32InvalidResult;
  if (VQX_RESULT_FAILED(Result)) {
    ForgetRequest(un32Serial);
    return ReportFailure(pszOp, pszError, "ProcessMsg Failed", Result, pListener, __LINE__);
  }
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCMixer::MixerJoin(CVQCMCLeg* pLeg, CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE* pAttribute,
                                  IVQCMCErrorListener* pListener) {
  static const char kOp[] = "MixerJoin";
  static const char kError[] = "CVQCMCMixer::MixerJoin Failed";
  if (const VQX_RESULT Refused = LibraryRefusal("MixerJoin"); VQX_RESULT_FAILED(Refused)) return Refused;
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_MSG_CMD_MIXER_LEG_JOIN, VQCMC_MSG_CMD_MIXER_LEG_JOIN> Msg(VQCMC_MSG_ELEMENT_ROOM);
  CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE Default;
  if (pAttribute == nullptr) pAttribute = &Default;
  if (pLeg == nullptr) return ReportFailure(kOp, kError, "Null leg", VQX_RESULT_NULL_PARAM, pListener, __LINE__);
  if (mfBeingFreed != 0 || pLeg->IsBeingFreed() != 0) {
    LogTrace(VQLV1, "CVQCMCMixer::MixerJoin: This function cannot be used on a call or a mixer that is being freed.\n");
    return VQX_RESULT_INVALID_STATE;
  }
  if (mfTerminating != 0 || pLeg->IsTerminating() != 0) {
    LogTrace(VQLV1, "CVQCMCMixer::MixerJoin: This function cannot be used on a call or a mixer in the terminating "
                    "state.\n");
    return VQX_RESULT_INVALID_STATE;
  }
  if (pAttribute->IsListener() != 0) {
    const char* pszRefused = nullptr;
    if (pLeg->IsJoined(nullptr, nullptr, nullptr) != 0) {
      pszRefused = "Call leg is already joined as a destination with another leg, must unjoin first";
    } else if (CVQCMCMixer* pOther = pLeg->GetListenerMixer(nullptr); pOther != nullptr && pOther != this) {
      pszRefused = "Call leg is already joined as a destination with another mixer, must unjoin first";
    }
    if (pszRefused != nullptr) {
      return ReportFailure(kOp, kError, pszRefused, VQX_RESULT_INVALID_STATE, pListener, __LINE__);
    }
  }
  LogTrace(VQLV1, "CVQCMCMixer::MixerJoin\n");
  const VQX_RESULT Result = SendJoin(Msg, kOp, kError, mun32MixerId, pLeg->GetLegId(), pLeg->GetLegId(), pListener,
                                     [&](u8* pbyPayload) {
                                       pbyPayload[kOffsetFlag1] = static_cast<u8>(pAttribute->IsListener());
                                       pbyPayload[kOffsetFlag2] = static_cast<u8>(pAttribute->IsSpeaker());
                                     });
  if (VQX_RESULT_FAILED(Result)) return Result;
  MixerSetJoined(pLeg, pAttribute, 1);
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCMixer::MixerJoin(CVQCMCMixer* pMixer, CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE* pAttribute,
                                  IVQCMCErrorListener* pListener) {
  static const char kOp[] = "MixerJoin";
  static const char kError[] = "CVQCMCMixer::MixerJoin Failed";
  if (const VQX_RESULT Refused = LibraryRefusal("MixerJoin"); VQX_RESULT_FAILED(Refused)) return Refused;
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_MSG_CMD_MIXER_MIXER_JOIN, VQCMC_MSG_CMD_MIXER_MIXER_JOIN> Msg(VQCMC_MSG_ELEMENT_ROOM);
  if (pAttribute == nullptr) {
    return ReportFailure(kOp, kError, "Join attribute is null, cannot join.", VQX_RESULT_INVALID_OPERATION, pListener,
                         __LINE__);
  }
  if (pMixer == nullptr) return ReportFailure(kOp, kError, "Null mixer", VQX_RESULT_NULL_PARAM, pListener, __LINE__);
  if (pMixer == this) {
    return ReportFailure(kOp, kError, "A mixer cannot be joined to itself", VQX_RESULT_INVALID_OPERATION, pListener,
                         __LINE__);
  }
  // The other mixer's flags are read without its mutex, as a leg's are.
  if (mfBeingFreed != 0 || pMixer->mfBeingFreed != 0) {
    LogTrace(VQLV1, "CVQCMCMixer::MixerJoin: This function cannot be used on a mixer that is being freed.\n");
    return VQX_RESULT_INVALID_STATE;
  }
  if (mfTerminating != 0 || pMixer->mfTerminating != 0) {
    LogTrace(VQLV1, "CVQCMCMixer::MixerJoin: This function cannot be used on a mixer in the terminating state.\n");
    return VQX_RESULT_INVALID_STATE;
  }
  LogTrace(VQLV1, "CVQCMCMixer::MixerJoin\n");
  const u32 un32Other = pMixer->GetMixerId();
  const VQX_RESULT Result = SendJoin(Msg, kOp, kError, mun32MixerId, un32Other, un32Other, pListener,
                                     [&](u8* pbyPayload) {
                                       pbyPayload[kOffsetFlag1] = static_cast<u8>(pAttribute->IsJoinedFrom1to2());
                                       pbyPayload[kOffsetFlag2] = static_cast<u8>(pAttribute->IsJoinedFrom2to1());
                                     });
  if (VQX_RESULT_FAILED(Result)) return Result;
  MixerSetJoined(pMixer, pAttribute, 1);
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCMixer::MixerUnjoin(CVQCMCLeg* pLeg, IVQCMCErrorListener* pListener) {
  static const char kOp[] = "MixerUnjoin";
  static const char kError[] = "CVQCMCMixer::MixerUnjoin Failed";
  if (const VQX_RESULT Refused = LibraryRefusal("MixerUnjoin"); VQX_RESULT_FAILED(Refused)) return Refused;
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_MSG_CMD_MIXER_LEG_UNJOIN, VQCMC_MSG_CMD_MIXER_LEG_UNJOIN> Msg(VQCMC_MSG_ELEMENT_ROOM);
  if (mfBeingFreed != 0) return VQX_RESULT_INVALID_STATE;
  if (mfSynchronized == 0) {
    LogTrace(VQLV3, "CVQCMCMixer::MixerUnjoin: Unjoin was called when out of sync. Ignoring.\n");
    return VQX_RESULT_INVALID_STATE;
  }
  CVQCAFPtr<CVQCMCMixerJoinedLeg> pJoin;
  if (pLeg != nullptr) pJoin = CVQCMCMixerJoinedLeg::Find(mun32MixerId, pLeg->GetLegId());
  if (pJoin.IsNull()) {
    return ReportFailure(kOp, kError, "Mixer and Leg are not joined", VQX_RESULT_INVALID_OPERATION, pListener,
                         __LINE__);
  }
  LogTrace(VQLV1, "CVQCMCMixer::MixerUnjoin\n");
  const VQX_RESULT Result = SendJoin(Msg, kOp, kError, mun32MixerId, pLeg->GetLegId(), pLeg->GetLegId(), pListener,
                                     [](u8*) {});
  if (VQX_RESULT_FAILED(Result)) return Result;
  LegLock JLock;
  pJoin->mfUnjoinPending = 1;
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCMixer::MixerUnjoin(CVQCMCMixer* pMixer, IVQCMCErrorListener* pListener) {
  static const char kOp[] = "MixerUnjoin";
  static const char kError[] = "CVQCMCMixer::MixerUnjoin Failed";
  if (const VQX_RESULT Refused = LibraryRefusal("MixerUnjoin"); VQX_RESULT_FAILED(Refused)) return Refused;
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_MSG_CMD_MIXER_MIXER_UNJOIN, VQCMC_MSG_CMD_MIXER_MIXER_UNJOIN> Msg(VQCMC_MSG_ELEMENT_ROOM);
  if (mfBeingFreed != 0) return VQX_RESULT_INVALID_STATE;
  if (mfSynchronized == 0) {
    LogTrace(VQLV3, "CVQCMCMixer::MixerUnjoin: Unjoin was called when out of sync. Ignoring.\n");
    return VQX_RESULT_INVALID_STATE;
  }
  CVQCAFPtr<CVQCMCMixerJoinedMixer> pJoin;
  if (pMixer != nullptr) pJoin = CVQCMCMixerJoinedMixer::Find(mun32MixerId, pMixer->GetMixerId());
  if (pJoin.IsNull()) {
    return ReportFailure(kOp, kError, "Both mixer are not joined", VQX_RESULT_INVALID_OPERATION, pListener, __LINE__);
  }
  LogTrace(VQLV1, "CVQCMCMixer::MixerUnjoin\n");
  // The other mixer's id first, this mixer's second: the reverse of the join.
  const u32 un32Other = pMixer->GetMixerId();
  const VQX_RESULT Result = SendJoin(Msg, kOp, kError, un32Other, mun32MixerId, un32Other, pListener, [](u8*) {});
  if (VQX_RESULT_FAILED(Result)) return Result;
  MixerLock JLock;
  pJoin->mfUnjoinPending = 1;
  return VQX_RESULT_OK;
}

/* ------------------------------------------------------------ bookkeeping */

void CVQCMCMixer::MixerSetJoined(CVQCMCLeg* pLeg, CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE* pAttribute, unsigned int fPending) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  if (pLeg == nullptr || mfBeingFreed != 0 || pLeg->IsBeingFreed() != 0) return;
  CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE Default;
  if (pAttribute == nullptr) pAttribute = &Default;
  LegLock JLock;
  CVQCMCMixerJoinedLeg* pJoin =
      Stored(CVQCMCMixerJoinedLeg::s_pPoolOfMixerJoinedLegs, CVQCMCMixerJoinedLegKey(mun32MixerId, pLeg->GetLegId()));
  if (pJoin == nullptr) {
    pJoin = CVQCMCMixerJoinedLeg::Alloc(this, pLeg, pAttribute).Get();  // the pool keeps it
  } else {
    // A rejoin takes the new flags, and the record moves where they say on the leg.
    pJoin->mpAttribute->SetListener(pAttribute->IsListener());
    pJoin->mpAttribute->SetSpeaker(pAttribute->IsSpeaker());
    CVQCMCMixerJoinedLeg::PlaceOnLeg(pJoin);
  }
  if (pJoin == nullptr) {
    LogFailure("MixerSetJoined", "Failed to allocate Mixer/Leg join context", 0, VQX_RESULT_FAIL, __LINE__);
    return;
  }
  if (fPending != 0) pJoin->mfJoinPending = 1;
}

void CVQCMCMixer::MixerSetJoined(CVQCMCMixer* pMixer, CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE* pAttribute,
                                 unsigned int fPending) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  if (pMixer == nullptr || mfBeingFreed != 0 || pMixer->mfBeingFreed != 0) return;
  CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE Default;
  if (pAttribute == nullptr) pAttribute = &Default;
  MixerLock JLock;
  CVQCMCMixerJoinedMixer* pJoin = Stored(CVQCMCMixerJoinedMixer::s_pPoolOfMixerJoinedMixers,
                                         CVQCMCMixerJoinedMixerKey(mun32MixerId, pMixer->GetMixerId()));
  if (pJoin == nullptr) pJoin = CVQCMCMixerJoinedMixer::Alloc(pMixer, this, pAttribute).Get();
  if (pJoin == nullptr) {
    LogFailure("MixerSetJoined", "Failed to allocate Mixer/Mixer join context", 0, VQX_RESULT_FAIL, __LINE__);
    return;
  }
  // The attribute's mixer 1 is this mixer; the record keeps its own orientation.
  const u8 f1To2 = static_cast<u8>(pAttribute->IsJoinedFrom1to2() != 0);
  const u8 f2To1 = static_cast<u8>(pAttribute->IsJoinedFrom2to1() != 0);
  const bool fMixer1 = pJoin->mpMixer1 == this;
  pJoin->mfJoined1To2 = fMixer1 ? f1To2 : f2To1;
  pJoin->mfJoined2To1 = fMixer1 ? f2To1 : f1To2;
  if (fPending != 0) pJoin->mfJoinPending = 1;
}

void CVQCMCMixer::MixerSetUnjoined(CVQCMCLeg* pLeg) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  if (pLeg != nullptr) CVQCMCMixerJoinedLeg::Destroy(mun32MixerId, pLeg->GetLegId());
}

void CVQCMCMixer::MixerSetUnjoined(CVQCMCMixer* pMixer) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  if (pMixer != nullptr) CVQCMCMixerJoinedMixer::Destroy(mun32MixerId, pMixer->GetMixerId());
}

void CVQCMCMixer::MixerSetUnjoined(unsigned int) {
  // Every join of this mixer, the peers' lists changed under the class mutexes only:
  // no peer mixer's own mutex is taken (two mixers dropping each other cannot wait).
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  {
    LegLock JLock;
    std::vector<CVQCMCMixerJoinedLeg*> aLegs;
    mJoinedLegs.Snapshot(aLegs);
    for (CVQCMCMixerJoinedLeg* p : aLegs) CVQCMCMixerJoinedLeg::Destroy(mun32MixerId, p->mpLeg->GetLegId());
  }
  MixerLock JLock;
  std::vector<CVQCMCMixerJoinedMixer*> aMixers;
  mJoinedMixersHigh.Snapshot(aMixers);
  mJoinedMixersLow.Snapshot(aMixers);
  // A record of this mixer with itself (a server's link naming it twice) is in both lists: dropped once.
  std::sort(aMixers.begin(), aMixers.end());
  aMixers.erase(std::unique(aMixers.begin(), aMixers.end()), aMixers.end());
  for (CVQCMCMixerJoinedMixer* p : aMixers) {
    CVQCMCMixerJoinedMixer::Destroy(p->mpMixer1->GetMixerId(), p->mpMixer2->GetMixerId());
  }
}

void CVQCMCMixer::SetJoinsUnjoinPending() {
  {
    LegLock JLock;
    for (auto* p = mJoinedLegs.First(); p != nullptr; p = CVQCMCMixerLegList::Next(p)) p->mfUnjoinPending = 1;
  }
  MixerLock JLock;
  for (auto* p = mJoinedMixersHigh.First(); p != nullptr; p = CVQCMCMixerHighList::Next(p)) p->mfUnjoinPending = 1;
  for (auto* p = mJoinedMixersLow.First(); p != nullptr; p = CVQCMCMixerLowList::Next(p)) p->mfUnjoinPending = 1;
}

void CVQCMCMixer::CallMixerLegUnjoinDone(CVQCAFPtr<CVQCMCMixerJoinedLeg> pJoin) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  if (pJoin.IsNull()) return;
  CVQCMCPinned<CVQCMCLeg> Leg;  // the leg handed out may be freed on its own thread meanwhile
  {
    LegLock JLock;
    CVQCMCLeg* pLeg = pJoin->mpLeg;
    // Dropped already by another path (the leg's end): nothing left to report.
    if (pLeg == nullptr || pJoin->mpMixer != this || !mJoinedLegs.Contains(pJoin.Get())) return;
    Leg.Pin(pLeg, nullptr);
    MixerSetUnjoined(pLeg);  // this mixer's own mutex only, held already
    pJoin->mfUnjoinPending = 0;
  }
  pJoin.Release();
  if (Leg.Get() != nullptr) OnMixerLegUnjoinDone(Leg.Get());
}

void CVQCMCMixer::CallMixerMixerUnjoinDone(CVQCAFPtr<CVQCMCMixerJoinedMixer> pJoin) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  if (pJoin.IsNull()) return;
  // The peer (the callback's target or its argument) may be freed on its own thread meanwhile.
  CVQCMCPinned<CVQCMCMixer> Mixer1, Mixer2;
  {
    MixerLock JLock;
    CVQCMCMixer* pMixer1 = pJoin->mpMixer1;
    CVQCMCMixer* pMixer2 = pJoin->mpMixer2;
    if (pMixer1 == nullptr || pMixer2 == nullptr || !pMixer1->mJoinedMixersLow.Contains(pJoin.Get())) return;
    Mixer1.Pin(pMixer1, this);
    Mixer2.Pin(pMixer2, this);
    // The record leaves both mixers' lists under the class mutex: the peer's own mutex,
    // which its thread may hold while it waits for this one, is not taken.
    if (pMixer1 == this) {
      MixerSetUnjoined(pMixer2);
    } else {
      CVQCMCMixerJoinedMixer::Destroy(pMixer1->GetMixerId(), pMixer2->GetMixerId());
    }
  }
  pJoin.Release();
  if (Mixer1.Get() != nullptr && Mixer2.Get() != nullptr) Mixer1.Get()->OnMixerMixerUnjoinDone(Mixer2.Get());
}

/* ------------------------------------------------------------ queries */

u32 CVQCMCMixer::GetJoinedLegs(std::vector<CVQCMCLeg*>* paLegs) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  LegLock JLock;
  if (paLegs != nullptr) {
    paLegs->clear();
    for (CVQCMCMixerJoinedLeg* p = mJoinedLegs.First(); p != nullptr; p = CVQCMCMixerLegList::Next(p)) {
      paLegs->push_back(p->mpLeg);
    }
  }
  return mJoinedLegs.GetCount();
}

u32 CVQCMCMixer::GetJoinedMixers(std::vector<CVQCMCMixer*>* paMixers) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  MixerLock JLock;
  if (paMixers != nullptr) {
    paMixers->clear();
    for (auto* p = mJoinedMixersHigh.First(); p != nullptr; p = CVQCMCMixerHighList::Next(p)) {
      paMixers->push_back(p->mpMixer1);
    }
    for (auto* p = mJoinedMixersLow.First(); p != nullptr; p = CVQCMCMixerLowList::Next(p)) {
      paMixers->push_back(p->mpMixer2);
    }
  }
  return mJoinedMixersHigh.GetCount() + mJoinedMixersLow.GetCount();
}

CVQCMCLeg* CVQCMCMixer::GetJoinedLegAttributes(unsigned int un32LegId,
                                               CVQCAFPtr<CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE>* ppAttribute,
                                               unsigned int* pfJoinPending, unsigned int* pfUnjoinPending) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  if (pfJoinPending != nullptr) *pfJoinPending = 0;
  if (pfUnjoinPending != nullptr) *pfUnjoinPending = 0;
  CVQCAFPtr<CVQCMCMixerJoinedLeg> pJoin = CVQCMCMixerJoinedLeg::Find(mun32MixerId, un32LegId);
  if (pJoin.IsNull()) return nullptr;
  LegLock JLock;
  if (ppAttribute != nullptr) *ppAttribute = pJoin->mpAttribute;
  if (pfJoinPending != nullptr) *pfJoinPending = pJoin->mfJoinPending;
  if (pfUnjoinPending != nullptr) *pfUnjoinPending = pJoin->mfUnjoinPending;
  return pJoin->mpLeg;
}

CVQCMCMixer* CVQCMCMixer::GetJoinedMixerAttributes(unsigned int un32MixerId,
                                                   CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE* pAttribute,
                                                   unsigned int* pfJoinPending, unsigned int* pfUnjoinPending) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  if (pfJoinPending != nullptr) *pfJoinPending = 0;
  if (pfUnjoinPending != nullptr) *pfUnjoinPending = 0;
  CVQCAFPtr<CVQCMCMixerJoinedMixer> pJoin = CVQCMCMixerJoinedMixer::Find(mun32MixerId, un32MixerId);
  if (pJoin.IsNull()) return nullptr;
  MixerLock JLock;
  if (pfJoinPending != nullptr) *pfJoinPending = pJoin->mfJoinPending;
  if (pfUnjoinPending != nullptr) *pfUnjoinPending = pJoin->mfUnjoinPending;
  const bool fMixer1 = pJoin->mpMixer1 == this;
  if (pAttribute != nullptr) {
    pAttribute->SetJoinedFrom1to2(fMixer1 ? pJoin->mfJoined1To2 : pJoin->mfJoined2To1);
    pAttribute->SetJoinedFrom2to1(fMixer1 ? pJoin->mfJoined2To1 : pJoin->mfJoined1To2);
  }
  return fMixer1 ? pJoin->mpMixer2 : pJoin->mpMixer1;
}

CVQCMCMixer* CVQCMCLeg::GetListenerMixer(CVQCMCMixer** ppMixer) {
  LegLock JLock;
  if (mpListenerMixerJoin == nullptr) return nullptr;
  if (ppMixer != nullptr) *ppMixer = mpListenerMixerJoin->mpMixer;
  return mpListenerMixerJoin->mpMixer;
}

CVQCMCMixer* CVQCMCLeg::GetSpeakerMixers(std::vector<CVQCMCMixer*>* paMixers) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  LegLock JLock;
  if (paMixers != nullptr) {
    paMixers->clear();
    for (auto* p = mSpeakerMixers.First(); p != nullptr; p = CVQCMCLegMixerList::Next(p)) {
      paMixers->push_back(p->mpMixer);
    }
  }
  return mSpeakerMixers.First() == nullptr ? nullptr : mSpeakerMixers.First()->mpMixer;
}

void CVQCMCLeg::LogStillJoined() {
  const u32 un32Legs = GetJoinedLegs(nullptr);
  bool fListener = false;
  u32 un32ListenerMixer = 0;
  u32 un32Speakers = 0;
  {
    LegLock JLock;
    fListener = mpListenerMixerJoin != nullptr;
    if (fListener && mpListenerMixerJoin->mpMixer != nullptr) {
      un32ListenerMixer = mpListenerMixerJoin->mpMixer->GetMixerId();
    }
    un32Speakers = mSpeakerMixers.GetCount();
  }
  if (un32Legs != 0) LogTrace(VQERR, "CVQCMCLeg::~CVQCMCLeg: Leg is still joined to %u other Legs\n", un32Legs);
  if (fListener) {
    LogTrace(VQERR, "CVQCMCLeg::~CVQCMCLeg: leg 0x%08X is still joined as listener to a mixer (0x%08X)\n",
             mun32LegId, un32ListenerMixer);
  }
  if (un32Speakers != 0) {
    LogTrace(VQERR, "CVQCMCLeg::~CVQCMCLeg: leg 0x%08X is still joined as a speaker to %u mixers\n", mun32LegId,
             un32Speakers);
  }
}

void CVQCMCLeg::DropMixerJoins() {
  // Every record of this leg, wherever its flags put it: none outlives the leg.
  LegLock JLock;
  std::vector<CVQCMCMixerJoinedLeg*> aJoins;
  if (mpListenerMixerJoin != nullptr) aJoins.push_back(mpListenerMixerJoin);
  mSpeakerMixers.Snapshot(aJoins);
  mOtherMixerJoins.Snapshot(aJoins);
  for (CVQCMCMixerJoinedLeg* p : aJoins) CVQCMCMixerJoinedLeg::Destroy(p->mpMixer->GetMixerId(), mun32LegId);
}

/* ------------------------------------------------------------ handlers */

template <class T, u32 id>
VQX_RESULT CVQCMCMixer::JoinResponse(VQX_MSG_HANDLE* phMsg, void (CVQCMCMixer::*pfnCallback)(T*, unsigned int*),
                                     const char* pszHandler, const char* pszText, i32* pn32Result, u32* pun32Peer) {
  // The peer is the caller value the command was handed over with.
  *pun32Peer = static_cast<u32>((*phMsg)->un64UserContext1 >> 32);
  *pn32Result = 0;
  return HandleMixerResponse<T, id>(phMsg, pfnCallback, pszHandler, pszText, pn32Result);
}

VQX_RESULT CVQCMCMixer::HandleMixerLegJoinResponse(VQX_MSG_HANDLE* phMsg) {
  i32 n32Result = 0;
  u32 un32Leg = 0;
  const VQX_RESULT Result = JoinResponse<_VQCMC_MSG_CMD_MIXER_LEG_JOIN, VQCMC_MSG_CMD_MIXER_LEG_JOIN>(
      phMsg, &CVQCMCMixer::OnMixerJoinResponse, "HandleMixerLegJoinResponse",
      "MixerJoin() Request failed on CMC server", &n32Result, &un32Leg);
  if (VQX_RESULT_SUCCEEDED(Result) && n32Result < 0) {
    // Refused by the server: the join recorded when the command left is undone.
    if (auto pJoin = CVQCMCMixerJoinedLeg::Find(mun32MixerId, un32Leg); pJoin) CallMixerLegUnjoinDone(pJoin);
  }
  return Result;
}

VQX_RESULT CVQCMCMixer::HandleMixerMixerJoinResponse(VQX_MSG_HANDLE* phMsg) {
  i32 n32Result = 0;
  u32 un32Other = 0;
  const VQX_RESULT Result = JoinResponse<_VQCMC_MSG_CMD_MIXER_MIXER_JOIN, VQCMC_MSG_CMD_MIXER_MIXER_JOIN>(
      phMsg, &CVQCMCMixer::OnMixerJoinResponse, "HandleMixerMixerJoinResponse",
      "MixerJoin() Request failed on CMC server", &n32Result, &un32Other);
  if (VQX_RESULT_SUCCEEDED(Result) && n32Result < 0) {
    if (auto pJoin = CVQCMCMixerJoinedMixer::Find(mun32MixerId, un32Other); pJoin) CallMixerMixerUnjoinDone(pJoin);
  }
  return Result;
}

VQX_RESULT CVQCMCMixer::HandleMixerLegUnjoinResponse(VQX_MSG_HANDLE* phMsg) {
  // A refused unjoin leaves the record unjoin pending, as sent.
  i32 n32Result = 0;
  u32 un32Leg = 0;
  return JoinResponse<_VQCMC_MSG_CMD_MIXER_LEG_UNJOIN, VQCMC_MSG_CMD_MIXER_LEG_UNJOIN>(
      phMsg, &CVQCMCMixer::OnMixerUnjoinResponse, "HandleMixerLegUnjoinResponse",
      "MixerUnjoin() Request failed on CMC server", &n32Result, &un32Leg);
}

VQX_RESULT CVQCMCMixer::HandleMixerMixerUnjoinResponse(VQX_MSG_HANDLE* phMsg) {
  i32 n32Result = 0;
  u32 un32Other = 0;
  return JoinResponse<_VQCMC_MSG_CMD_MIXER_MIXER_UNJOIN, VQCMC_MSG_CMD_MIXER_MIXER_UNJOIN>(
      phMsg, &CVQCMCMixer::OnMixerUnjoinResponse, "HandleMixerMixerUnjoinResponse",
      "MixerUnjoin() Request failed on CMC server", &n32Result, &un32Other);
}

VQX_RESULT CVQCMCMixer::HandleMixerLegJoinDone(VQX_MSG_HANDLE* phMsg) {
  CVQCMCMessage<_VQCMC_MSG_NOTIF_MIXER_LEG_JOIN_DONE, VQCMC_MSG_NOTIF_MIXER_LEG_JOIN_DONE> Msg(VqCmcTake(phMsg));
  u8* pbyPayload = reinterpret_cast<u8*>(VqCmcPayload(Msg));
  if (pbyPayload == nullptr) {
    LogFailure("HandleMixerLegJoinDone", "Invalid message", 0, VQX_RESULT_INVALID_PARAM, __LINE__);
    return VQX_RESULT_INVALID_PARAM;
  }
  auto pJoin = CVQCMCMixerJoinedLeg::Find(*VqCmcAt(pbyPayload, kOffsetFirstId), *VqCmcAt(pbyPayload, kOffsetSecondId));
  if (pJoin.IsNull()) {
    LogFailure("HandleMixerLegJoinDone", "Received MixerLegJoinDone for unknown join context!", 0,
               VQX_RESULT_NOT_FOUND, __LINE__);
    return VQX_RESULT_NOT_FOUND;
  }
  CVQCMCPinned<CVQCMCLeg> Leg;
  {
    LegLock JLock;
    pJoin->mfJoinPending = 0;
    // A record dropped since the find (its leg gone or going) names no leg to hand out.
    if (mJoinedLegs.Contains(pJoin.Get())) Leg.Pin(pJoin->mpLeg, nullptr);
  }
  if (Leg.Get() != nullptr) OnMixerLegJoinDone(Leg.Get());
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCMixer::HandleMixerMixerJoinDone(VQX_MSG_HANDLE* phMsg) {
  CVQCMCMessage<_VQCMC_MSG_NOTIF_MIXER_MIXER_JOIN_DONE, VQCMC_MSG_NOTIF_MIXER_MIXER_JOIN_DONE> Msg(VqCmcTake(phMsg));
  u8* pbyPayload = reinterpret_cast<u8*>(VqCmcPayload(Msg));
  if (pbyPayload == nullptr) {
    LogFailure("HandleMixerMixerJoinDone", "Invalid message", 0, VQX_RESULT_INVALID_PARAM, __LINE__);
    return VQX_RESULT_INVALID_PARAM;
  }
  auto pJoin =
      CVQCMCMixerJoinedMixer::Find(*VqCmcAt(pbyPayload, kOffsetFirstId), *VqCmcAt(pbyPayload, kOffsetSecondId));
  if (pJoin.IsNull()) {
    LogFailure("HandleMixerMixerJoinDone", "Received MixerMixerJoinDone for unknown join context!", 0,
               VQX_RESULT_NOT_FOUND, __LINE__);
    return VQX_RESULT_NOT_FOUND;
  }
  CVQCMCPinned<CVQCMCMixer> Mixer1, Mixer2;
  {
    MixerLock JLock;
    pJoin->mfJoinPending = 0;
    // A record dropped since the find (a mixer gone or going) names no mixer to call.
    if (pJoin->mpMixer1 != nullptr && pJoin->mpMixer1->mJoinedMixersLow.Contains(pJoin.Get())) {
      Mixer1.Pin(pJoin->mpMixer1, this);
      Mixer2.Pin(pJoin->mpMixer2, this);
    }
  }
  if (Mixer1.Get() != nullptr && Mixer2.Get() != nullptr) Mixer1.Get()->OnMixerMixerJoinDone(Mixer2.Get());
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCMixer::HandleMixerLegUnjoinDone(VQX_MSG_HANDLE* phMsg) {
  CVQCMCMessage<_VQCMC_MSG_NOTIF_MIXER_LEG_UNJOIN_DONE, VQCMC_MSG_NOTIF_MIXER_LEG_UNJOIN_DONE> Msg(VqCmcTake(phMsg));
  u8* pbyPayload = reinterpret_cast<u8*>(VqCmcPayload(Msg));
  if (pbyPayload == nullptr) {
    LogFailure("HandleMixerLegUnjoinDone", "Invalid message", 0, VQX_RESULT_INVALID_PARAM, __LINE__);
    return VQX_RESULT_INVALID_PARAM;
  }
  const u32 un32Mixer = *VqCmcAt(pbyPayload, kOffsetFirstId);
  const u32 un32Leg = *VqCmcAt(pbyPayload, kOffsetSecondId);
  auto pJoin = CVQCMCMixerJoinedLeg::Find(un32Mixer, un32Leg);
  if (pJoin.IsNull()) {
    LogTrace(VQLV2,
             "CVQCMCMixer::HandleMixerLegUnjoinDone: Can't find corresponding CVQCMCMixerJoinedLeg instance for Mixer "
             "0x%08X, leg 0x%08X\n%39s(normal after re-sync of refused leg/mixer)\n",
             un32Mixer, un32Leg, "");
  } else {
    CallMixerLegUnjoinDone(pJoin);
  }
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCMixer::HandleMixerMixerUnjoinDone(VQX_MSG_HANDLE* phMsg) {
  CVQCMCMessage<_VQCMC_MSG_NOTIF_MIXER_MIXER_UNJOIN_DONE, VQCMC_MSG_NOTIF_MIXER_MIXER_UNJOIN_DONE> Msg(
      VqCmcTake(phMsg));
  u8* pbyPayload = reinterpret_cast<u8*>(VqCmcPayload(Msg));
  const u32 un32Mixer = pbyPayload == nullptr ? 0 : *VqCmcAt(pbyPayload, kOffsetFirstId);
  if (pbyPayload == nullptr || un32Mixer != mun32MixerId) {
    LogFailure("HandleMixerMixerUnjoinDone",
               pbyPayload == nullptr ? "Invalid message" : "Invalid mixer id in event mixer unjoin done", 0,
               VQX_RESULT_INVALID_PARAM, __LINE__);
    return VQX_RESULT_INVALID_PARAM;
  }
  const u32 un32Other = *VqCmcAt(pbyPayload, kOffsetSecondId);
  auto pJoin = CVQCMCMixerJoinedMixer::Find(mun32MixerId, un32Other);
  if (pJoin.IsNull()) {
    LogTrace(VQLV2,
             "CVQCMCMixer::HandleMixerMixerUnjoinDone: Can't find corresponding CVQCMCMixerJoinedMixer instance for "
             "Mixer 0x%08X, Mixer 0x%08X\n%41s(normal after re-sync of refused mixer)\n",
             un32Mixer, un32Other, "");
  } else {
    CallMixerMixerUnjoinDone(pJoin);
  }
  return VQX_RESULT_OK;
}

}  // namespace VQCAF
