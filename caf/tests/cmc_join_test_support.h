/*
 * cmc_join_test_support.h - what the leg join tests share: a leg that writes
 * its join callbacks and trace lines down (callbacks may come from a peer's
 * thread: guarded), a half-duplex attribute, and the client objects'
 * fixture (cmc_test_support.h) with the delivery of join messages to a leg.
 */
#ifndef CMC_JOIN_TEST_SUPPORT_H
#define CMC_JOIN_TEST_SUPPORT_H

#include <mutex>

#include "cmc_test_support.h"
#include "vqcmc_leg.h"

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
  using CVQCMCLeg::mJoinedLegs1;
  using CVQCMCLeg::mJoinedLegs2;
  u32 mfLegacy;
  std::mutex mGuard;  // join-done callbacks of a peer run on the peer's thread
  std::string mstrCalls, mstrTrace;
};

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
    return Leg.HandleMessage(&h);
  }
};

#endif
