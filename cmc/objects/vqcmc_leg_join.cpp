/*
 * Leg-to-leg joins: the join records (CVQCMCLegJoinedLeg: pool, class mutex,
 * the two lists of each leg) and the leg's side of a join: Join and Unjoin,
 * their responses, the join-done and unjoin-done notifications, the
 * bookkeeping that keeps records and joined-leg pointers in step, and the
 * queries.
 *
 * Locks. Everything that two legs share (the records, both legs' lists and
 * their joined-leg pointers) changes under the records' class mutex, taken
 * after the calling leg's own mutex and never with a second leg mutex: a
 * join handled on one leg's serialisation therefore never waits for the
 * other leg, and two legs unjoining each other on two threads cannot
 * deadlock. Walks copy the list under the class mutex and work on the copy.
 * A leg pointer read from a record is valid while the class mutex is held:
 * a leg's destructor drops its records under that mutex first. A done
 * callback made on (or handing out) the peer after the mutex is released
 * holds a pin on it, which keeps it from its free listener meanwhile.
 */
#include <algorithm>
#include <vector>

#include "vqcafmutex.h"
#include "vqcmc_leg.h"
#include "vqcmc_leg_internal.h"
#include "vqx_string.h"

namespace VQCAF {

CVQCAFPool64<CVQCAFPtr<CVQCMCLegJoinedLeg>>* CVQCMCLegJoinedLeg::s_pPoolOfLegJoinedLegs = nullptr;
CVQCAFMutex* CVQCMCLegJoinedLeg::s_pMutexOfLegJoinedLegs = nullptr;

namespace {

constexpr u32 kOffsetOption = 28u;
constexpr u32 kOffsetLegId = 32u;
constexpr u32 kOffsetOtherLegId = 36u;
constexpr u32 kOffsetFullDuplex = 40u;

/* The singleton makes the pool with the configured number of legs. */
[[maybe_unused]] const bool g_fRegistered = [] {
  CVQCMCLib::RegisterJoinPool(VQCMC_JOIN_POOL_HOOKS{
      [](const CVQCMCLibParams& Params) {
        return CVQCMCLegJoinedLeg::Init(CVQCAFDebugInfo(__FILE__, __LINE__), Params.mun32MaxLegs);
      },
      [] { CVQCMCLegJoinedLeg::Clear(); }});
  return true;
}();

/* The class mutex for a scope (nothing when there is none). */
struct JoinLock : CVQCAFMutexAutoGetGive {
  JoinLock() : CVQCAFMutexAutoGetGive(CVQCMCLegJoinedLeg::GetMutex()) {}
};

u8 FullDuplexOf(CVQCMC_JOIN_ATTRIBUTE* pAttribute) { return pAttribute == nullptr ? 1 : pAttribute->IsFullDuplex(); }

}  // namespace

/* ------------------------------------------------------------ records */

VQX_RESULT CVQCMCLegJoinedLeg::Init(const CVQCAFDebugInfo& DebugInfo, u32 un32Max) {
  try {
    // Held only around record and list updates, never across a wait or a callback: a plain
    // recursive lock, without the priority-inheriting kernel path.
    s_pMutexOfLegJoinedLegs = new CVQCAFMutex(false);
    s_pPoolOfLegJoinedLegs = new CVQCAFPool64<CVQCAFPtr<CVQCMCLegJoinedLeg>>(DebugInfo, un32Max, 1);
  } catch (...) {
  }
  return s_pMutexOfLegJoinedLegs == nullptr || s_pPoolOfLegJoinedLegs == nullptr ? VQX_RESULT_OUT_OF_MEMORY
                                                                                 : VQX_RESULT_OK;
}

VQX_RESULT CVQCMCLegJoinedLeg::Clear() {
  if (s_pPoolOfLegJoinedLegs != nullptr) {
    // The records the pool still holds are deleted with it: unlinked first, so that no leg
    // keeps a list or a joined-leg pointer into freed records.
    CVQCAFMutexAutoGetGive Lock(s_pMutexOfLegJoinedLegs);
    s_pPoolOfLegJoinedLegs->ResetNext();
    for (auto* p = s_pPoolOfLegJoinedLegs->Next(); p != nullptr; p = s_pPoolOfLegJoinedLegs->Next()) {
      CVQCMCLegJoinedLeg* pJoin = p->Get();
      if (pJoin == nullptr || pJoin->mpLeg1 == nullptr || pJoin->mpLeg2 == nullptr) continue;
      pJoin->mpLeg1->mJoinedLegs2.Remove(pJoin);
      pJoin->mpLeg2->mJoinedLegs1.Remove(pJoin);
      if (pJoin->mpLeg1->mpJoinedLeg == pJoin->mpLeg2) pJoin->mpLeg1->mpJoinedLeg = nullptr;
      if (pJoin->mpLeg2->mpJoinedLeg == pJoin->mpLeg1) pJoin->mpLeg2->mpJoinedLeg = nullptr;
    }
    s_pPoolOfLegJoinedLegs->ResetNext();
  }
  delete s_pMutexOfLegJoinedLegs;
  s_pMutexOfLegJoinedLegs = nullptr;
  delete s_pPoolOfLegJoinedLegs;
  s_pPoolOfLegJoinedLegs = nullptr;
  return VQX_RESULT_OK;
}

u32 CVQCMCLegJoinedLeg::GetCount() {
  JoinLock Lock;
  return s_pPoolOfLegJoinedLegs == nullptr ? 0 : s_pPoolOfLegJoinedLegs->GetCount();
}

CVQCAFPtr<CVQCMCLegJoinedLeg> CVQCMCLegJoinedLeg::Find(u32 un32LegIdA, u32 un32LegIdB) {
  if (s_pPoolOfLegJoinedLegs == nullptr) return {};
  JoinLock Lock;
  CVQCAFPtr<CVQCMCLegJoinedLeg>* pElement = s_pPoolOfLegJoinedLegs->Find(CVQCMCLegJoinedLegKey(un32LegIdA, un32LegIdB));
  return pElement == nullptr ? CVQCAFPtr<CVQCMCLegJoinedLeg>() : *pElement;
}

CVQCAFPtr<CVQCMCLegJoinedLeg> CVQCMCLegJoinedLeg::Alloc(CVQCMCLeg* pA, CVQCMCLeg* pB,
                                                        CVQCMC_JOIN_ATTRIBUTE* pAttribute) {
  if (pA == nullptr || pB == nullptr || s_pPoolOfLegJoinedLegs == nullptr) return {};
  const u8 fFull = FullDuplexOf(pAttribute);
  const bool fSwap = pA->GetLegId() > pB->GetLegId();
  const u64 un64Key = CVQCMCLegJoinedLegKey(pA->GetLegId(), pB->GetLegId());
  JoinLock Lock;
  // A pair that has a record is refused here, under the same lock as the insertion (no
  // reference taken for the check, no window for another record of the pair).
  if (s_pPoolOfLegJoinedLegs->Find(un64Key) != nullptr) return {};
  const CVQCAFDebugInfo Debug(__FILE__, __LINE__);
  CVQCAFPtr<CVQCMCLegJoinedLeg>* pElement = s_pPoolOfLegJoinedLegs->Alloc(Debug, un64Key);
  if (pElement == nullptr) return {};
  CVQCAFPtr<CVQCMCLegJoinedLeg> pJoin;
  try {
    pJoin = new CVQCMCLegJoinedLeg;
  } catch (...) {
    s_pPoolOfLegJoinedLegs->Free(Debug, pElement);
    return {};
  }
  *pElement = pJoin;
  pJoin->mpLeg1 = fSwap ? pB : pA;
  pJoin->mpLeg2 = fSwap ? pA : pB;
  pJoin->mfJoined1To2 = fSwap ? fFull : 1;
  pJoin->mfJoined2To1 = fSwap ? 1 : fFull;
  pJoin->mpLeg1->mJoinedLegs2.Append(pJoin.Get());
  pJoin->mpLeg2->mJoinedLegs1.Append(pJoin.Get());
  return pJoin;
}

VQX_RESULT CVQCMCLegJoinedLeg::Destroy(u32 un32LegIdA, u32 un32LegIdB) {
  if (s_pPoolOfLegJoinedLegs == nullptr) return VQX_RESULT_NOT_FOUND;
  JoinLock Lock;
  CVQCAFPtr<CVQCMCLegJoinedLeg>* pElement = s_pPoolOfLegJoinedLegs->Find(CVQCMCLegJoinedLegKey(un32LegIdA, un32LegIdB));
  if (pElement == nullptr) return VQX_RESULT_NOT_FOUND;
  CVQCMCLegJoinedLeg* pJoin = pElement->Get();
  if (pJoin != nullptr && pJoin->mpLeg1 != nullptr && pJoin->mpLeg2 != nullptr) {
    if (!pJoin->mpLeg1->mJoinedLegs2.Remove(pJoin)) {
      pJoin->mpLeg1->LogTrace(
          VQERR, "Bug: Failed to remove Leg/Leg association from Leg1's list, should have been in that list!");
    }
    if (!pJoin->mpLeg2->mJoinedLegs1.Remove(pJoin)) {
      pJoin->mpLeg2->LogTrace(
          VQERR, "Bug: Failed to remove Leg/Leg association from Leg2's list, should have been in that list!");
    }
  }
  pElement->Release();
  s_pPoolOfLegJoinedLegs->Free(CVQCAFDebugInfo(__FILE__, __LINE__), pElement);
  return VQX_RESULT_OK;
}

void CVQCMCLegJoinedLeg::GetLegs(CVQCMCLeg** ppFirst, CVQCMCLeg** ppSecond) {
  JoinLock Lock;
  const bool fForward = mfJoined1To2 != 0;
  if (ppFirst != nullptr) *ppFirst = fForward ? mpLeg1 : mpLeg2;
  if (ppSecond != nullptr) *ppSecond = fForward ? mpLeg2 : mpLeg1;
}

/* ------------------------------------------------------------ commands */

template <class M, class F>
VQX_RESULT CVQCMCLegJoinedLeg::SendCommand(CVQCMCLeg& Leg, M& Msg, const char* pszOp, const char* pszError,
                                           u32 un32Other, IVQCMCErrorListener* pListener, F&& fnFill) {
  auto* pPayload = Msg.GetPayload();
  if (pPayload == nullptr) {
    return Leg.ReportFailure(pszOp, pszError, "Message allocation failed", VQX_RESULT_NOT_ENOUGH_MEMORY, pListener,
                             __LINE__);
  }
  *VqCmcAt(pPayload, VQCMC_PAYLOAD_OFFSET_LIB_BUILT) = VQCMC_PAYLOAD_LIB_BUILT_MARK;
  *VqCmcAt(pPayload, kOffsetLegId) = Leg.GetLegId();
  *VqCmcAt(pPayload, kOffsetOtherLegId) = un32Other;
  fnFill(pPayload);
  const u32 un32Serial = Msg.GetMsg()->un32SerialNumber;
  VQX_RESULT Result = Leg.HandleRequest(Msg.GetMsg(), pListener);
  if (VQX_RESULT_FAILED(Result)) {
    return Leg.ReportFailure(pszOp, pszError, "HandleRequest Failed.", Result, pListener, __LINE__);
  }
  Result = Leg.mfValidCallCtx != 0 ? Msg.LegMsgProcess(Leg.GetLegId(), un32Other) : Leg.mun32InvalidResult;
  if (VQX_RESULT_FAILED(Result)) {
    Leg.ForgetRequest(un32Serial);
    return Leg.ReportFailure(pszOp, pszError, "ProcessMsg Failed", Result, pListener, __LINE__);
  }
  return VQX_RESULT_OK;
}

template <class M, class T>
VQX_RESULT CVQCMCLegJoinedLeg::ReadResponse(CVQCMCLeg& Leg, M& Msg, void (CVQCMCLeg::*pfnCallback)(T*, unsigned int*),
                                            const char* pszHandler, const char* pszText, u32* pun32Result,
                                            u32* pun32Other) {
  T* pPayload = VqCmcPayload(Msg);
  if (pPayload == nullptr) {
    Leg.LogFailure(pszHandler, "Invalid message", 0, VQX_RESULT_INVALID_PARAM, __LINE__);
    return VQX_RESULT_INVALID_PARAM;
  }
  *pun32Other = static_cast<u32>(Msg.GetMsg()->un64UserContext1 >> 32);
  *pun32Result = *VqCmcAt(pPayload, VQCMC_PAYLOAD_OFFSET_WORD7);
  unsigned int fHandled = 0;
  (Leg.*pfnCallback)(pPayload, &fHandled);
  const VQX_RESULT Result = Leg.HandleResponse(Msg.GetMsg(), fHandled, *pun32Result, pszText);
  if (VQX_RESULT_FAILED(Result)) Leg.LogFailure(pszHandler, "HandleResponse Failed", 0, Result, __LINE__);
  return Result;
}

VQX_RESULT CVQCMCLeg::Join(CVQCMCLeg* pLeg, IVQCMCErrorListener* pListener, unsigned int un32Option,
                           CVQCMC_JOIN_ATTRIBUTE* pAttribute) {
  static const char kOp[] = "Join";
  static const char kError[] = "CVQCMCLeg::Join Failed";
  if (const VQX_RESULT Refused = LibraryRefusal("Join"); VQX_RESULT_FAILED(Refused)) return Refused;
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_MSG_CMD_JOIN, VQCMC_MSG_CMD_JOIN> Msg(VQCMC_MSG_ELEMENT_ROOM);
  if (pLeg == nullptr) return ReportFailure(kOp, kError, "Null leg", VQX_RESULT_NULL_PARAM, pListener, __LINE__);
  if (pLeg == this) {
    return ReportFailure(kOp, kError, "A leg cannot be joined to itself", VQX_RESULT_INVALID_OPERATION, pListener,
                         __LINE__);
  }
  CVQCMC_JOIN_ATTRIBUTE Default;
  if (pAttribute == nullptr) pAttribute = GetJoinAttributes();
  if (pAttribute == nullptr) pAttribute = &Default;  // before the library is attached: full duplex
  const u8 fFull = pAttribute->IsFullDuplex();
  if (mfBeingFreed != 0 || pLeg->IsBeingFreed() != 0) {
    LogTrace(VQLV1, "CVQCMCLeg::Join: This function cannot be used on a call that is being freed.\n");
    return VQX_RESULT_INVALID_STATE;
  }
  if (mState == VQCMC_CALL_LEG_STATE_TERMINATED || pLeg->GetState() == VQCMC_CALL_LEG_STATE_TERMINATED) {
    LogTrace(VQLV1, "CVQCMCLeg::Join: This function cannot be used on a call in the terminating state.\n");
    return VQX_RESULT_INVALID_STATE;
  }
  LogTrace(VQLV1, "CVQCMCLeg::Join\n");
  const char* pszRefused = nullptr;
  // A leg that listens to a mixer receives no other leg's media either.
  const bool fSourceListens = GetListenerMixer(nullptr) != nullptr;
  const bool fDestinationListens = pLeg->GetListenerMixer(nullptr) != nullptr;
  {
    JoinLock JLock;
    if (fFull != 0 && mpJoinedLeg != nullptr && mpJoinedLeg != pLeg) {
      pszRefused = "Source call leg is already joined as a destination with another leg, must unjoin first";
    } else if (fFull != 0 && fSourceListens) {
      pszRefused = "Source call leg is already joined as a destination with another mixer, must unjoin first";
    } else if (pLeg->mpJoinedLeg != nullptr && pLeg->mpJoinedLeg != this) {
      pszRefused = "Destination call leg is already joined as a destination with another leg, must unjoin first";
    } else if (fDestinationListens) {
      pszRefused = "Destination call leg is already joined as a destination with another mixer, must unjoin first";
    }
  }
  if (pszRefused != nullptr) {
    return ReportFailure(kOp, kError, pszRefused, VQX_RESULT_INVALID_STATE, pListener, __LINE__);
  }
  const VQX_RESULT Result = CVQCMCLegJoinedLeg::SendCommand(*this, Msg, kOp, kError, pLeg->GetLegId(), pListener,
                                                            [&](_VQCMC_MSG_CMD_JOIN* pPayload) {
                                                              *VqCmcAt<u8>(pPayload, kOffsetOption) =
                                                                  static_cast<u8>(un32Option);
                                                              *VqCmcAt<u8>(pPayload, kOffsetFullDuplex) = fFull;
                                                            });
  if (VQX_RESULT_FAILED(Result)) return Result;
  SetJoined(pLeg, pAttribute, 1);
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCLeg::Unjoin(CVQCMCLeg* pLeg, IVQCMCErrorListener* pListener) {
  static const char kOp[] = "Unjoin";
  static const char kError[] = "CVQCMCLeg::Unjoin Failed";
  if (const VQX_RESULT Refused = LibraryRefusal("Unjoin"); VQX_RESULT_FAILED(Refused)) return Refused;
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_MSG_CMD_UNJOIN, VQCMC_MSG_CMD_UNJOIN> Msg(VQCMC_MSG_ELEMENT_ROOM);
  if (mfBeingFreed != 0) return VQX_RESULT_INVALID_STATE;
  if (mfSynchronized == 0) {
    LogTrace(VQLV3, "CVQCMCLeg::Unjoin: Unjoin was called when out of sync. Ignoring.\n");
    return VQX_RESULT_INVALID_STATE;
  }
  CVQCAFPtr<CVQCMCLegJoinedLeg> pJoin;
  u32 un32Other = 0;
  {
    JoinLock JLock;
    if (pLeg == nullptr) pLeg = mpJoinedLeg;
    if (pLeg != nullptr) {
      un32Other = pLeg->GetLegId();
      pJoin = CVQCMCLegJoinedLeg::Find(mun32LegId, un32Other);
    }
    if (pJoin && pJoin->mfUnjoinPending != 0) return VQX_RESULT_OK;
  }
  if (pLeg == nullptr) {
    return ReportFailure(kOp, kError, "Leg is not joined to any source leg", VQX_RESULT_INVALID_OPERATION, pListener,
                         __LINE__);
  }
  if (pJoin.IsNull()) {
    return ReportFailure(kOp, kError, "These legs are not joined", VQX_RESULT_INVALID_OPERATION, pListener, __LINE__);
  }
  LogTrace(VQLV1, "CVQCMCLeg::Unjoin\n");
  const VQX_RESULT Result = CVQCMCLegJoinedLeg::SendCommand(*this, Msg, kOp, kError, un32Other, pListener,
                                                            [](_VQCMC_MSG_CMD_UNJOIN*) {});
  if (VQX_RESULT_FAILED(Result)) return Result;
  JoinLock JLock;
  pJoin->mfUnjoinPending = 1;
  return VQX_RESULT_OK;
}

/* ------------------------------------------------------------ bookkeeping */

void CVQCMCLeg::SetJoined(CVQCMCLeg* pLeg, CVQCMC_JOIN_ATTRIBUTE* pAttribute, unsigned int fPending) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  if (pLeg == nullptr || mfBeingFreed != 0 || pLeg->IsBeingFreed() != 0) return;
  JoinLock JLock;
  CVQCAFPtr<CVQCMCLegJoinedLeg> pJoin = CVQCMCLegJoinedLeg::Find(mun32LegId, pLeg->GetLegId());
  if (pJoin.IsNull()) pJoin = CVQCMCLegJoinedLeg::Alloc(this, pLeg, pAttribute);
  if (pJoin.IsNull()) {
    LogFailure("SetJoined", "Failed to allocate Leg/Leg join context", 0, VQX_RESULT_FAIL, __LINE__);
    return;
  }
  const u8 fFull = FullDuplexOf(pAttribute);
  const bool fLeg1 = pJoin->mpLeg1 == this;
  pJoin->mfJoined1To2 = fLeg1 ? 1 : fFull;
  pJoin->mfJoined2To1 = fLeg1 ? fFull : 1;
  pLeg->mpJoinedLeg = this;
  if (fFull != 0) mpJoinedLeg = pLeg;
  if (fPending != 0) pJoin->mfJoinPending = 1;
}

void CVQCMCLeg::UnjoinPair(CVQCMCLeg* pA, CVQCMCLeg* pB) {
  JoinLock JLock;
  if (pA->mpJoinedLeg == pB) pA->mpJoinedLeg = nullptr;
  if (pB->mpJoinedLeg == pA) pB->mpJoinedLeg = nullptr;
  CVQCMCLegJoinedLeg::Destroy(pA->GetLegId(), pB->GetLegId());
}

void CVQCMCLeg::SetUnjoined(CVQCMCLeg* pLeg) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  if (pLeg != nullptr) {
    UnjoinPair(this, pLeg);
    return;
  }
  // Every join of this leg: the peers are touched under the class mutexes only, never their own.
  {
    JoinLock JLock;
    std::vector<CVQCMCLegJoinedLeg*> aJoins;
    mJoinedLegs1.Snapshot(aJoins);
    mJoinedLegs2.Snapshot(aJoins);
    // A record of this leg with itself (a server's link naming it twice) is in both lists: dropped once.
    std::sort(aJoins.begin(), aJoins.end());
    aJoins.erase(std::unique(aJoins.begin(), aJoins.end()), aJoins.end());
    for (CVQCMCLegJoinedLeg* pJoin : aJoins) UnjoinPair(pJoin->mpLeg1, pJoin->mpLeg2);
  }
  DropMixerJoins();
}

void CVQCMCLeg::CallUnjoinDone(CVQCAFPtr<CVQCMCLegJoinedLeg> pJoin) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  if (pJoin.IsNull()) return;
  // The peer (called, or handed out) may be freed on its own thread meanwhile.
  CVQCMCPinned<CVQCMCLeg> Leg1, Leg2;
  CVQCMC_JOIN_ATTRIBUTE Attribute;
  {
    JoinLock JLock;
    CVQCMCLeg* pLeg1 = pJoin->mpLeg1;
    CVQCMCLeg* pLeg2 = pJoin->mpLeg2;
    Attribute.IsFullDuplex() = pJoin->mfJoined1To2 != 0 && pJoin->mfJoined2To1 != 0 ? 1 : 0;
    // Destroyed already by another path (the peer's end): nothing left to report.
    if (pLeg1 == nullptr || pLeg2 == nullptr || !pLeg1->mJoinedLegs2.Contains(pJoin.Get())) return;
    Leg1.Pin(pLeg1, this);
    Leg2.Pin(pLeg2, this);
    // Cleared here under the class mutex instead of under leg1's own mutex, which this
    // thread must not take while holding this leg's (two legs unjoining each other).
    UnjoinPair(pLeg1, pLeg2);
  }
  pJoin.Release();
  CVQCMCLeg* pLeg1 = Leg1.Get();
  CVQCMCLeg* pLeg2 = Leg2.Get();
  if (UseLegacyOnJoinDone() != 0) {
    if (pLeg1 != nullptr) pLeg1->OnUnjoinDone();
    if (pLeg2 != nullptr && pLeg2 != pLeg1) pLeg2->OnUnjoinDone();
  } else if (pLeg1 != nullptr && pLeg2 != nullptr) {
    OnUnjoinDone(pLeg1 != this ? pLeg1 : pLeg2, &Attribute);
  }
}

/* ------------------------------------------------------------ queries */

u32 CVQCMCLeg::GetJoinedLegs(std::vector<CVQCMCLeg*>* paLegs) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  JoinLock JLock;
  if (paLegs != nullptr) {
    paLegs->clear();
    for (CVQCMCLegJoinedLeg* p = mJoinedLegs1.First(); p != nullptr; p = CVQCMCLegJoinList1::Next(p)) {
      paLegs->push_back(p->mpLeg1);
    }
    for (CVQCMCLegJoinedLeg* p = mJoinedLegs2.First(); p != nullptr; p = CVQCMCLegJoinList2::Next(p)) {
      paLegs->push_back(p->mpLeg2);
    }
  }
  return mJoinedLegs1.GetCount() + mJoinedLegs2.GetCount();
}

CVQCMCLeg* CVQCMCLeg::GetJoinedLegAttributes(unsigned int un32LegId, CVQCMC_JOIN_ATTRIBUTE* pAttribute) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCAFPtr<CVQCMCLegJoinedLeg> pJoin = CVQCMCLegJoinedLeg::Find(mun32LegId, un32LegId);
  if (pJoin.IsNull()) return nullptr;
  JoinLock JLock;
  if (pAttribute != nullptr) {
    pAttribute->IsFullDuplex() = pJoin->mfJoined1To2 != 0 && pJoin->mfJoined2To1 != 0 ? 1 : 0;
  }
  if (pJoin->mpLeg1 == this) return pJoin->mpLeg2;
  return pJoin->mpLeg2 == this ? pJoin->mpLeg1 : nullptr;
}

u32 CVQCMCLeg::IsJoined(CVQCMCLeg** ppLeg, unsigned int* pfJoinPending, unsigned int* pfUnjoinPending) {
  JoinLock JLock;
  if (pfJoinPending != nullptr) *pfJoinPending = 0;
  if (pfUnjoinPending != nullptr) *pfUnjoinPending = 0;
  if (ppLeg != nullptr) *ppLeg = mpJoinedLeg;
  if (mpJoinedLeg == nullptr) return 0;
  CVQCAFPtr<CVQCMCLegJoinedLeg> pJoin = CVQCMCLegJoinedLeg::Find(mun32LegId, mpJoinedLeg->GetLegId());
  if (!pJoin.IsNull()) {
    if (pfJoinPending != nullptr) *pfJoinPending = pJoin->mfJoinPending;
    if (pfUnjoinPending != nullptr) *pfUnjoinPending = pJoin->mfUnjoinPending;
  }
  return 1;
}

/* ------------------------------------------------------------ handlers */

VQX_RESULT CVQCMCLeg::HandleJoinResponse(VQX_MSG_HANDLE* phMsg) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_MSG_CMD_JOIN, VQCMC_MSG_CMD_JOIN> Msg(VqCmcTake(phMsg));
  u32 un32Result = 0, un32Other = 0;
  const VQX_RESULT Result = CVQCMCLegJoinedLeg::ReadResponse(
      *this, Msg, &CVQCMCLeg::OnJoinResponse, "HandleJoinResponse",
      "Join() Request failed on CMC server classes/cmc/CVQCMCLeg:5782", &un32Result, &un32Other);
  if (VQX_RESULT_FAILED(Result)) return Result;
  if (static_cast<i32>(un32Result) < 0) {
    // Refused by the server: the join recorded when the command left is undone.
    CVQCAFPtr<CVQCMCLegJoinedLeg> pJoin = CVQCMCLegJoinedLeg::Find(mun32LegId, un32Other);
    if (!pJoin.IsNull()) CallUnjoinDone(pJoin);
  }
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCLeg::HandleUnjoinResponse(VQX_MSG_HANDLE* phMsg) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_MSG_CMD_UNJOIN, VQCMC_MSG_CMD_UNJOIN> Msg(VqCmcTake(phMsg));
  u32 un32Result = 0, un32Other = 0;
  const VQX_RESULT Result = CVQCMCLegJoinedLeg::ReadResponse(
      *this, Msg, &CVQCMCLeg::OnUnjoinResponse, "HandleUnjoinResponse",
      "Unjoin() Request failed on CMC server classes/cmc/CVQCMCLeg:5860", &un32Result, &un32Other);
  if (VQX_RESULT_FAILED(Result)) return Result;
  if (static_cast<i32>(un32Result) < 0) {
    // The join stays; a later Unjoin must send again instead of answering "already unjoining".
    CVQCAFPtr<CVQCMCLegJoinedLeg> pJoin = CVQCMCLegJoinedLeg::Find(mun32LegId, un32Other);
    JoinLock JLock;
    if (!pJoin.IsNull()) pJoin->mfUnjoinPending = 0;
  }
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCLeg::HandleJoinDone(VQX_MSG_HANDLE* phMsg) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_MSG_NOTIF_JOIN_DONE, VQCMC_MSG_NOTIF_JOIN_DONE> Msg(VqCmcTake(phMsg));
  _VQCMC_MSG_NOTIF_JOIN_DONE* pPayload = VqCmcPayload(Msg);
  if (pPayload == nullptr) {
    LogFailure("HandleJoinDone", "Invalid message", 0, VQX_RESULT_INVALID_PARAM, __LINE__);
    return VQX_RESULT_INVALID_PARAM;
  }
  CVQCAFPtr<CVQCMCLegJoinedLeg> pJoin =
      CVQCMCLegJoinedLeg::Find(*VqCmcAt(pPayload, kOffsetLegId), *VqCmcAt(pPayload, kOffsetOtherLegId));
  if (pJoin.IsNull()) {
    LogFailure("HandleJoinDone", "Received JoinDone for unknown join context!", 0, VQX_RESULT_NOT_FOUND, __LINE__);
    return VQX_RESULT_NOT_FOUND;
  }
  // The legs read and pinned under the class mutex: the peer may be freed on its own thread meanwhile.
  CVQCMCPinned<CVQCMCLeg> First, Second;
  CVQCMC_JOIN_ATTRIBUTE Attribute;
  const bool fLegacy = UseLegacyOnJoinDone() != 0;
  {
    JoinLock JLock;
    pJoin->mfJoinPending = 0;
    Attribute.IsFullDuplex() = pJoin->mfJoined1To2 != 0 && pJoin->mfJoined2To1 != 0 ? 1 : 0;
    CVQCMCLeg* pFirst = pJoin->mpLeg1;
    CVQCMCLeg* pSecond = pJoin->mpLeg2;
    if (!fLegacy) pJoin->GetLegs(&pFirst, &pSecond);  // the class mutex is recursive
    // A record dropped since the find (a leg gone or going) names no leg to call.
    if (pJoin->mpLeg1 != nullptr && pJoin->mpLeg1->mJoinedLegs2.Contains(pJoin.Get())) {
      First.Pin(pFirst, this);
      Second.Pin(pSecond, this);
    }
  }
  if (fLegacy) {
    if (First.Get() != nullptr) First.Get()->OnJoinDone();
    if (Second.Get() != nullptr) Second.Get()->OnJoinDone();
  } else if (First.Get() != nullptr && Second.Get() != nullptr) {
    First.Get()->OnJoinDone(Second.Get(), &Attribute);
  }
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCLeg::HandleUnjoinDone(VQX_MSG_HANDLE* phMsg) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<_VQCMC_MSG_NOTIF_UNJOIN_DONE, VQCMC_MSG_NOTIF_UNJOIN_DONE> Msg(VqCmcTake(phMsg));
  _VQCMC_MSG_NOTIF_UNJOIN_DONE* pPayload = VqCmcPayload(Msg);
  if (pPayload == nullptr) {
    LogFailure("HandleUnjoinDone", "Invalid message", 0, VQX_RESULT_INVALID_PARAM, __LINE__);
    return VQX_RESULT_INVALID_PARAM;
  }
  const u32 un32A = *VqCmcAt(pPayload, kOffsetLegId);
  const u32 un32B = *VqCmcAt(pPayload, kOffsetOtherLegId);
  CVQCAFPtr<CVQCMCLegJoinedLeg> pJoin = CVQCMCLegJoinedLeg::Find(un32A, un32B);
  if (pJoin.IsNull()) {
    LogTrace(VQLV2,
             "CVQCMCLeg::HandleUnjoinDone: no join context for legs 0x%08X and 0x%08X (normal after the "
             "resynchronisation of a refused leg)\n",
             un32A, un32B);
  } else {
    CallUnjoinDone(pJoin);
  }
  return VQX_RESULT_OK;
}

}  // namespace VQCAF
