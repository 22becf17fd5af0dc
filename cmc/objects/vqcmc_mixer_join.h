/*
 * vqcmc_mixer_join.h - the records of a mixer's joins: CVQCMCMixerJoinedLeg
 * (one per mixer and leg) and CVQCMCMixerJoinedMixer (one per pair of mixers).
 *
 * Model. As the leg-to-leg records: each kind keeps its records in one
 * process-wide pool (the pool element holds one reference, every Find or
 * Alloc hands out another) made by the client singleton's constructor and
 * cleared by its destructor, and links each record into one list of each
 * joined object. A mixer-leg record sits in the mixer's joined-leg list and,
 * by its flags, in one place of the leg: the leg's listener slot (listener;
 * a listener of another mixer already there moves to the leg's other-joins
 * list and comes back when the slot frees), its speaker list (speaker only),
 * or its other-joins list (neither flag): every record of a leg is reachable
 * from it and dies with it. A mixer-mixer record sits in mixer1's lower-id
 * list and mixer2's higher-id list; mixer1 has the lower id (the first mixer
 * given on equal ids) and the direction flags speak of that orientation.
 * Locks: each kind's class mutex guards its pool, its records' fields and the
 * lists and slots the records link into; it comes after any leg or mixer
 * mutex, and no object mutex is ever taken while it is held. An object
 * pointer read from a record is valid while the class mutex is held: legs
 * and mixers drop their records under it before they go.
 * Results: 0x02000000; 0x82000015 no such record or pool; 0x82000007 Init
 * could not make the mutex or the pool.
 */
#ifndef VQCMC_MIXER_JOIN_H
#define VQCMC_MIXER_JOIN_H

#include "vqcafdebuginfo.h"
#include "vqcafpool64.h"
#include "vqcafptr.h"
#include "vqcmc_attributes.h"
#include "vqcmc_join_list.h"
#include "vqx_result.h"

namespace VQCAF {

class CVQCAFMutex;
class CVQCMCLeg;
class CVQCMCMixer;

/* (mixer id << 32) + leg id: the order of the ids matters. */
constexpr u64 CVQCMCMixerJoinedLegKey(u32 un32MixerId, u32 un32LegId) {
  return (static_cast<u64>(un32MixerId) << 32) + un32LegId;
}
/* (larger id << 32) + smaller id: the same key for (a, b) and (b, a). */
constexpr u64 CVQCMCMixerJoinedMixerKey(u32 a, u32 b) {
  return a > b ? (static_cast<u64>(a) << 32) + b : (static_cast<u64>(b) << 32) + a;
}

class CVQCMCMixerJoinedLeg {
 public:
  CVQCMCMixerJoinedLeg() = default;
  virtual ~CVQCMCMixerJoinedLeg();
  CVQCMCMixerJoinedLeg(const CVQCMCMixerJoinedLeg&) = delete;
  CVQCMCMixerJoinedLeg& operator=(const CVQCMCMixerJoinedLeg&) = delete;

  /* Makes the class mutex, then the pool of un32Max records. */
  static VQX_RESULT Init(const CVQCAFDebugInfo& DebugInfo, u32 un32Max);
  /* Unlinks the records left, then destroys the mutex and the pool (which frees them). */
  static VQX_RESULT Clear();
  /* A new reference to the record of (mixer, leg), or empty. */
  static CVQCAFPtr<CVQCMCMixerJoinedLeg> Find(u32 un32MixerId, u32 un32LegId);
  /* A record stored and placed by the attribute's flags; empty for a null
   * argument, no pool, a pair that has a record already or a full pool. */
  static CVQCAFPtr<CVQCMCMixerJoinedLeg> Alloc(CVQCMCMixer* pMixer, CVQCMCLeg* pLeg,
                                               CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE* pAttribute);
  /* Unlinks the record of (mixer, leg) and frees its pool element. */
  static VQX_RESULT Destroy(u32 un32MixerId, u32 un32LegId);
  /* Moves a listed record to the place of the leg its flags name (class mutex held). */
  static void PlaceOnLeg(CVQCMCMixerJoinedLeg* pJoin);

  void GetMixerLeg(CVQCMCMixer** ppMixer, CVQCMCLeg** ppLeg);
  u32 IsUnjoinPending();

  static CVQCAFMutex* GetMutex() { return s_pMutexOfMixerJoinedLegs; }
  /* Records in the pool (0 without one). */
  static u32 GetCount();

  static CVQCAFPool64<CVQCAFPtr<CVQCMCMixerJoinedLeg>>* s_pPoolOfMixerJoinedLegs;
  static CVQCAFMutex* s_pMutexOfMixerJoinedLegs;

  CVQCMCLeg* mpLeg = nullptr;
  CVQCMCMixer* mpMixer = nullptr;
  CVQCAFPtr<CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE> mpAttribute;
  CVQCMCJoinLink<CVQCMCMixerJoinedLeg> mLegLink;  /* the leg's speaker or other-joins list */
  CVQCMCJoinLink<CVQCMCMixerJoinedLeg> mMixerLink;
  u8 mfJoinPending = 0;
  u8 mfUnjoinPending = 0;

 private:
  /* Takes the record out of the leg's slot or list; the slot refilled from the others. */
  static bool RemoveFromLeg(CVQCMCMixerJoinedLeg* pJoin);
};

class CVQCMCMixerJoinedMixer {
 public:
  CVQCMCMixerJoinedMixer() = default;
  virtual ~CVQCMCMixerJoinedMixer() { mpMixer1 = mpMixer2 = nullptr; }
  CVQCMCMixerJoinedMixer(const CVQCMCMixerJoinedMixer&) = delete;
  CVQCMCMixerJoinedMixer& operator=(const CVQCMCMixerJoinedMixer&) = delete;

  static VQX_RESULT Init(const CVQCAFDebugInfo& DebugInfo, u32 un32Max);
  static VQX_RESULT Clear();
  /* Any id order. */
  static CVQCAFPtr<CVQCMCMixerJoinedMixer> Find(u32 un32MixerIdA, u32 un32MixerIdB);
  /* Direction flags clear: the caller sets them. */
  static CVQCAFPtr<CVQCMCMixerJoinedMixer> Alloc(CVQCMCMixer* pA, CVQCMCMixer* pB,
                                                 CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE* pAttribute);
  static VQX_RESULT Destroy(u32 un32MixerIdA, u32 un32MixerIdB);

  /* (sending, receiving) for a join from 2 to 1 only; (mixer1, mixer2) otherwise. */
  void GetMixers(CVQCMCMixer** ppFirst, CVQCMCMixer** ppSecond);

  static CVQCAFMutex* GetMutex() { return s_pMutexOfMixerJoinedMixers; }
  static u32 GetCount();

  static CVQCAFPool64<CVQCAFPtr<CVQCMCMixerJoinedMixer>>* s_pPoolOfMixerJoinedMixers;
  static CVQCAFMutex* s_pMutexOfMixerJoinedMixers;

  CVQCMCMixer* mpMixer1 = nullptr;
  CVQCMCMixer* mpMixer2 = nullptr;
  u8 mfJoined1To2 = 0;
  u8 mfJoined2To1 = 0;
  CVQCMCJoinLink<CVQCMCMixerJoinedMixer> mMixer2Link;
  CVQCMCJoinLink<CVQCMCMixerJoinedMixer> mMixer1Link;
  u8 mfJoinPending = 0;
  u8 mfUnjoinPending = 0;
};

/* The leg's speaker and other-joins lists, the mixer's joined-leg list. */
using CVQCMCLegMixerList = CVQCMCJoinList<CVQCMCMixerJoinedLeg, &CVQCMCMixerJoinedLeg::mLegLink>;
using CVQCMCMixerLegList = CVQCMCJoinList<CVQCMCMixerJoinedLeg, &CVQCMCMixerJoinedLeg::mMixerLink>;
/* A mixer's higher-id list (it is mixer2) and lower-id list (it is mixer1). */
using CVQCMCMixerHighList = CVQCMCJoinList<CVQCMCMixerJoinedMixer, &CVQCMCMixerJoinedMixer::mMixer2Link>;
using CVQCMCMixerLowList = CVQCMCJoinList<CVQCMCMixerJoinedMixer, &CVQCMCMixerJoinedMixer::mMixer1Link>;

}  // namespace VQCAF

#endif
