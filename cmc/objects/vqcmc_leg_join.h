/*
 * vqcmc_leg_join.h - CVQCMCLegJoinedLeg, the record of one leg-to-leg join.
 *
 * Model. Each join of two legs is one record shared by both: kept in a
 * process-wide pool under CVQCMCLegJoinedLegKey of the two ids (the pool
 * element holds one reference, every Find or Alloc hands out another) and
 * linked into one list of each leg: leg2's first list (the joins in which
 * it has the higher id) and leg1's second list. leg1 is the leg with the
 * lower id. The direction flags speak of the record's own orientation.
 * The pool and the class mutex are made by the client singleton's
 * constructor (a registered join pool) and cleared by its destructor.
 * Locks: the class mutex comes after any leg mutex; it guards the pool, the
 * records' fields, the legs' two lists and their joined-leg pointers. No leg
 * mutex is ever taken while it is held.
 * Results: 0x02000000; 0x82000015 no such record or pool; 0x82000007 Init
 * could not make the mutex or the pool.
 */
#ifndef VQCMC_LEG_JOIN_H
#define VQCMC_LEG_JOIN_H

#include "vqcafdebuginfo.h"
#include "vqcafpool64.h"
#include "vqcafptr.h"
#include "vqcmc_join_list.h"
#include "vqx_result.h"

namespace VQCAF {

class CVQCAFMutex;
class CVQCMCLeg;
class CVQCMC_JOIN_ATTRIBUTE;
class IVQCMCErrorListener;

/* (larger id << 32) + smaller id: the same key for (a, b) and (b, a). */
constexpr u64 CVQCMCLegJoinedLegKey(u32 a, u32 b) {
  return a > b ? (static_cast<u64>(a) << 32) + b : (static_cast<u64>(b) << 32) + a;
}

class CVQCMCLegJoinedLeg {
 public:
  CVQCMCLegJoinedLeg() = default;
  virtual ~CVQCMCLegJoinedLeg() { mpLeg1 = mpLeg2 = nullptr; }
  CVQCMCLegJoinedLeg(const CVQCMCLegJoinedLeg&) = delete;
  CVQCMCLegJoinedLeg& operator=(const CVQCMCLegJoinedLeg&) = delete;

  /* Makes the class mutex, then the pool of un32Max records. */
  static VQX_RESULT Init(const CVQCAFDebugInfo& DebugInfo, u32 un32Max);
  /* Destroys both (records still present are freed and traced by the pool). */
  static VQX_RESULT Clear();
  /* A new reference to the pair's record, or empty (any id order). */
  static CVQCAFPtr<CVQCMCLegJoinedLeg> Find(u32 un32LegIdA, u32 un32LegIdB);
  /* A record for (A, B) stored and linked, direction A -> B on, B -> A for a
   * full-duplex attribute (or none); empty for a null leg, no pool, a pair
   * that has a record already or a full pool. */
  static CVQCAFPtr<CVQCMCLegJoinedLeg> Alloc(CVQCMCLeg* pA, CVQCMCLeg* pB, CVQCMC_JOIN_ATTRIBUTE* pAttribute);
  /* Unlinks the pair's record from its legs and frees its pool element. */
  static VQX_RESULT Destroy(u32 un32LegIdA, u32 un32LegIdB);

  /* (sending, receiving) for a one-way join; (leg1, leg2) for two-way. */
  void GetLegs(CVQCMCLeg** ppFirst, CVQCMCLeg** ppSecond);

  /* The class mutex (null outside Init .. Clear); the record fields below change under it. */
  static CVQCAFMutex* GetMutex() { return s_pMutexOfLegJoinedLegs; }
  /* Records in the pool (0 without one). */
  static u32 GetCount();

  static CVQCAFPool64<CVQCAFPtr<CVQCMCLegJoinedLeg>>* s_pPoolOfLegJoinedLegs;
  static CVQCAFMutex* s_pMutexOfLegJoinedLegs;

  CVQCMCLeg* mpLeg1 = nullptr;
  CVQCMCLeg* mpLeg2 = nullptr;
  CVQCMCJoinLink<CVQCMCLegJoinedLeg> mLeg2Link;
  CVQCMCJoinLink<CVQCMCLegJoinedLeg> mLeg1Link;
  u8 mfJoined1To2 = 0;
  u8 mfJoined2To1 = 0;
  u8 mfJoinPending = 0;
  u8 mfUnjoinPending = 0;

 private:
  friend class CVQCMCLeg;
  /* What the leg's join and unjoin share (this class is the leg's friend): the
   * payload checked, its head and leg ids written, fnFill(payload) for the
   * rest, the listener remembered, the message handed over with un32Other as
   * the caller value; a failure reported as the leg's commands report it. */
  template <class M, class F>
  static VQX_RESULT SendCommand(CVQCMCLeg& Leg, M& Msg, const char* pszOp, const char* pszError, u32 un32Other,
                                IVQCMCErrorListener* pListener, F&& fnFill);
  /* The response steps: payload check, the callback with its handled word, HandleResponse; the
   * result word into *pun32Result and the other leg's id (context) into *pun32Other. */
  template <class M, class T>
  static VQX_RESULT ReadResponse(CVQCMCLeg& Leg, M& Msg, void (CVQCMCLeg::*pfnCallback)(T*, unsigned int*),
                                 const char* pszHandler, const char* pszText, u32* pun32Result, u32* pun32Other);
};

/* A leg's first list (joins in which it is leg2) and its second list (it is leg1). */
using CVQCMCLegJoinList1 = CVQCMCJoinList<CVQCMCLegJoinedLeg, &CVQCMCLegJoinedLeg::mLeg2Link>;
using CVQCMCLegJoinList2 = CVQCMCJoinList<CVQCMCLegJoinedLeg, &CVQCMCLegJoinedLeg::mLeg1Link>;

}  // namespace VQCAF

#endif
