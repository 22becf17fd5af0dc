/*
 * cmc_join_test_support.h - what the join tests share: a leg and a mixer
 * that write their join callbacks and trace lines down (callbacks may come
 * from a peer's thread: guarded), a half-duplex attribute, and the client
 * objects' fixture (cmc_test_support.h) with the delivery of join messages.
 */
#ifndef CMC_JOIN_TEST_SUPPORT_H
#define CMC_JOIN_TEST_SUPPORT_H

#include <mutex>

#include "cmc_test_support.h"
#include "vqcmc_leg.h"
#include "vqcmc_mixer.h"

struct MutexHolder {
  CVQCAFMutex mMutex;
};

class JoinLeg : private MutexHolder, public CVQCMCLeg {
 public:
  explicit JoinLeg(u32 un32Id, u32 fLegacy = 1)
      : CVQCMCLeg(un32Id, CVQCAFPtr<CVQCMC_CALL_LEG_ATTRIBUTE_COMMON>(new CVQCMC_CALL_LEG_ATTRIBUTE()), nullptr,
                  VQCMC_CALL_LEG_STATE_INCOMING, 0, &mMutex),
        mfLegacy(fLegacy) {}
  void LogTrace(_VQX_TRACE_LEVEL, char**, u32, const char* pszFormat, _VQX_VA_LIST& args) override {
    char sz[512];
    vsnprintf(sz, sizeof(sz), pszFormat, args);
    std::lock_guard Lock(mGuard);
    mstrTrace += std::string(sz) + "|";
  }
  unsigned int UseLegacyOnJoinDone() override { return mfLegacy; }
  void OnJoinDone() override { Add("JoinDone;"); }
  void OnUnjoinDone() override { Add("UnjoinDone;"); }
  void OnJoinDone(CVQCMCLeg* p, CVQCMC_JOIN_ATTRIBUTE* a) override { Peer("JoinDone", p, a); }
  void OnUnjoinDone(CVQCMCLeg* p, CVQCMC_JOIN_ATTRIBUTE* a) override { Peer("UnjoinDone", p, a); }
  void OnLegError(CVQCMCLegError& e) override { Add(std::string("Error:") + e.what() + ";"); }
  void Add(const std::string& s) {
    std::lock_guard Lock(mGuard);
    mstrCalls += s;
  }
  void Peer(const char* psz, CVQCMCLeg* p, CVQCMC_JOIN_ATTRIBUTE* a) {
    Add(std::string(psz) + "(" + std::to_string(p->GetLegId()) + "," + std::to_string(a->IsFullDuplex()) +
        ");");
  }
  using CVQCMCLeg::mfRefused;
  using CVQCMCLeg::mJoinedLegs1;
  using CVQCMCLeg::mJoinedLegs2;
  u32 mfLegacy;
  std::mutex mGuard;  // join-done callbacks of a peer run on the peer's thread
  std::string mstrCalls, mstrTrace;
};

/* An adopted mixer id (no server: not valid, not terminating by its flag) on its own mutex. */
class JoinMixer : private MutexHolder, public CVQCMCMixer {
 public:
  explicit JoinMixer(u32 un32Id)
      : CVQCMCMixer(un32Id, CVQCAFPtr<CVQCMC_MIXER_ATTRIBUTE>(new CVQCMC_MIXER_ATTRIBUTE()), nullptr, 0, &mMutex) {}
  void LogTrace(_VQX_TRACE_LEVEL, char**, u32, const char* pszFormat, _VQX_VA_LIST& args) override {
    char sz[512];
    vsnprintf(sz, sizeof(sz), pszFormat, args);
    std::lock_guard Lock(mGuard);
    mstrTrace += std::string(sz) + "|";
  }
  void OnMixerLegJoinDone(CVQCMCLeg* p) override { Add("LegJoinDone", p->GetLegId()); }
  void OnMixerLegUnjoinDone(CVQCMCLeg* p) override { Add("LegUnjoinDone", p->GetLegId()); }
  void OnMixerMixerJoinDone(CVQCMCMixer* p) override { Add("MixerJoinDone", p->GetMixerId()); }
  void OnMixerMixerUnjoinDone(CVQCMCMixer* p) override { Add("MixerUnjoinDone", p->GetMixerId()); }
  void OnMixerJoinResponse(_VQCMC_MSG_CMD_MIXER_LEG_JOIN*, unsigned int*) override { Add("JoinResponse", 0); }
  void OnMixerUnjoinResponse(_VQCMC_MSG_CMD_MIXER_LEG_UNJOIN*, unsigned int*) override { Add("UnjoinResponse", 0); }
  void OnMixerError(CVQCMCMixerError& e) override { Add(std::string("Error:") + e.what(), 0); }
  void OnMixerStreamPlayingStarted(unsigned char i, unsigned char k, VQCMCMediaFileInfo const& f) override {
    Add("PlayStarted" + std::to_string(k) + "/" + std::string(f.strPath.c_str()), i);
  }
  void OnMixerStreamRecordingStarted(VQCMCMediaFileInfo const&) override { Add("RecordStarted", 0); }
  void OnMixerStreamPlayingDone(unsigned char i, _VQCMC_IVR_REASON_CODE r) override {
    Add("PlayDone" + std::to_string(r), i);
  }
  void OnMixerStreamRecordingDone(_VQCMC_IVR_REASON_CODE r) override { Add("RecordDone" + std::to_string(r), 0); }
  void Add(const std::string& s, u32 un32Id) {
    std::lock_guard Lock(mGuard);
    mstrCalls += s + "(" + std::to_string(un32Id) + ");";
  }
  CVQCAFMutex& Mutex() { return mMutex; }
  std::string Calls() {
    std::lock_guard Lock(mGuard);
    return mstrCalls;
  }
  using CVQCMCMixer::maun32PlaysInProgress;
  using CVQCMCMixer::maun8PlayPaused;
  using CVQCMCMixer::mun32RecordsInProgress;
  using CVQCMCMixer::mJoinedLegs;
  using CVQCMCMixer::mJoinedMixersHigh;
  using CVQCMCMixer::mJoinedMixersLow;
  std::mutex mGuard;
  std::string mstrCalls, mstrTrace;
};

inline CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE LegJoin(u32 fListener, u32 fSpeaker) {
  CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE a;
  a.SetListener(fListener);
  a.SetSpeaker(fSpeaker);
  return a;
}
inline CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE MixerJoin(u32 f1To2, u32 f2To1) {
  CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE a;
  a.SetJoinedFrom1to2(f1To2);
  a.SetJoinedFrom2to1(f2To1);
  return a;
}

inline CVQCMC_JOIN_ATTRIBUTE Half() {
  CVQCMC_JOIN_ATTRIBUTE a;
  a.IsFullDuplex() = 0;
  return a;
}

class CmcJoinTest : public CmcLibTest {
 protected:
  /* A received join message: kind, id, the result at 28 and the two leg ids at 32 and 36 (a
   * payload under 40 bytes: none), the other leg in the upper half of the context. */
  VQX_RESULT Deliver(CVQCMCLeg& Leg, u32 un32Kind, u32 un32Id, u32 un32A, u32 un32B, u32 un32Result = 0,
                     u32 un32Size = 56) {
    VQX_MSG_HANDLE h = un32Size < 40
                           ? Received(un32Kind, un32Id, un32Size, {})
                           : Received(un32Kind, un32Id, un32Size, {{28, un32Result}, {32, un32A}, {36, un32B}});
    h->un64UserContext1 = static_cast<u64>(un32B) << 32 | un32A;
    Asked(Leg, h);
    return Leg.HandleMessage(&h);
  }
  /* The same to a mixer: the peer id in the upper half of the context. */
  VQX_RESULT Deliver(CVQCMCMixer& Mixer, u32 un32Kind, u32 un32Id, u32 un32A, u32 un32B, u32 un32Result = 0,
                     u32 un32Size = 80) {
    VQX_MSG_HANDLE h = un32Size < 40
                           ? Received(un32Kind, un32Id, un32Size, {})
                           : Received(un32Kind, un32Id, un32Size, {{28, un32Result}, {32, un32A}, {36, un32B}});
    h->un64UserContext1 = static_cast<u64>(un32B) << 32 | Mixer.GetMixerId();
    Asked(Mixer, h);
    return Mixer.HandleMessage(&h);
  }
};

#endif
