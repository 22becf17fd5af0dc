/* A leg joined to a mixer (or linked to a leg) by a resynchronising server, on the worker pool: the job
 * queued under the leg's old key runs after the other's running job and before the leg's next one,
 * never beside them. */
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <set>

#include "support/cmc_fixture.h"
#include "vqcmc_lib_mixer_internal.h"

namespace {

/* +seq on entry, -seq on exit; the callbacks of held sequence numbers wait. */
struct Trace {
  std::mutex Mutex;
  std::condition_variable Cond;
  std::vector<i32> aEvents;
  std::set<i32> aHeld{1, 2};
  size_t At(i32 n) const { return std::find(aEvents.begin(), aEvents.end(), n) - aEvents.begin(); }
  /* Lets one held seq go (0: all), then waits (bounded) until the event n is seen. */
  bool ReleaseAndWait(i32 n32Release, i32 n32Ended) {
    std::unique_lock<std::mutex> lock(Mutex);
    n32Release != 0 ? (void)aHeld.erase(n32Release) : aHeld.clear();
    Cond.notify_all();
    return Cond.wait_for(lock, std::chrono::seconds(20), [&] { return At(n32Ended) < aEvents.size(); });
  }
};

void OnMsg(VQCMC_LIB_HANDLE, void* pv, VQX_MSG_HANDLE* phMsg) {
  Trace* p = static_cast<Trace*>(pv);
  i32 n32Seq = 0;
  memcpy(&n32Seq, VQXMsgPayload(*phMsg) + 36, 4);
  std::unique_lock<std::mutex> lock(p->Mutex);
  p->aEvents.push_back(n32Seq), p->Cond.notify_all();
  p->Cond.wait_for(lock, std::chrono::seconds(20), [&] { return p->aHeld.count(n32Seq) == 0; });
  p->aEvents.push_back(-n32Seq), p->Cond.notify_all();
}

using MixerLinkPool = CmcTest;

TEST_F(MixerLinkPool, JobsOfTheOldKeyMoveWithTheLeg) {
  ASSERT_EQ(Open(2), VQX_RESULT_OK);
  for (u32 un32Round = 0; un32Round < 10; un32Round++) {
    Trace trace;
    const u32 un32Base = 0x100 + un32Round * 0x10, aMaps[] = {0x6000 + un32Base, 0x7000 + un32Base};
    _VQCMC_ENTITY_CTX* pLeg = Leg(un32Base + 1, 0x100, OnMsg, nullptr, &trace);
    _VQCMC_ENTITY_CTX* pOther = Leg(un32Base + 2, 0x100, OnMsg, nullptr, &trace);
    /* Odd rounds: a leg-to-leg link (NotifLinkSync, the same mapping-id words) in place of the mixer. */
    const bool fLink = (un32Round & 1) != 0;
    _VQCMC_ENTITY_CTX* pMixer = fLink ? Leg(un32Base + 3, 0x100, OnMsg, nullptr, &trace) : nullptr;
    Locked([&] {
      VqCmcLibEntityInsertMapId(mhCmc, aMaps[1], pLeg);
      if (fLink) return VqCmcLibEntityInsertMapId(mhCmc, aMaps[0], pMixer);
      return VqCmcLibMixerCreate(mhCmc, Host(0x100), un32Base + 3, aMaps[0], &pMixer);
    });
    pMixer->Params.Callback = {OnMsg, nullptr, &trace};
    auto Post = [&](_VQCMC_ENTITY_CTX* p, i32 n32Seq) {
      VQX_MSG_HANDLE h = Msg(0x0A010101u, 0x100, VQX_MSG_TYPE_EVENT, 40);
      memcpy(VQXMsgPayload(h) + 36, &n32Seq, 4);
      Locked([&] { return VqCmcThreadJobPost(mhCmc, p, 0, p->Params.un32SerialisationId, &h); });
    };
    Post(pMixer, 1); /* both workers held */
    Post(pOther, 2);
    ASSERT_TRUE(trace.ReleaseAndWait(-1, 1) && trace.ReleaseAndWait(-1, 2)); /* -1: lets nothing go */
    Post(pLeg, 3);                                                           /* queued under the leg's own key */
    VQX_MSG_HANDLE h =
        Msg(fLink ? VQCMC_SRV_NOTIF_LINK_SYNC : VQCMC_SRV_NOTIF_MIXER_LINK_SYNC, 0x100, VQX_MSG_TYPE_EVENT, 64);
    memcpy(VQXMsgPayload(h) + 40, aMaps, sizeof(aMaps));
    Locked([&] { return (fLink ? VqCmcLinkMsgHandleNotifLinkSync : VqCmcMixerMsgHandle)(mhCmc, Host(0x100), &h); });
    if (h != nullptr) VQXReleaseMsgEx(mhVqx, &h);
    Post(pLeg, 4);   /* under the mixer's key */
    Post(pOther, 5); /* runs on the worker 2 frees while 3 waits behind 1 */
    ASSERT_TRUE(trace.ReleaseAndWait(2, -5));
    EXPECT_TRUE(trace.ReleaseAndWait(0, -4)) << "round " << un32Round;
    std::lock_guard<std::mutex> guard(trace.Mutex);
    EXPECT_TRUE(trace.At(-1) < trace.At(3) && trace.At(-3) < trace.At(4) && trace.At(-5) < trace.At(3))
        << "round " << un32Round;
  }
}

}  // namespace
