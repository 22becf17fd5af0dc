/*
 * fuzz_cmc_mixer.cpp - received messages into a mixer (CVQCMCMixer::
 * HandleMessage: every id the mixer dispatches, and others, of any kind,
 * with any payload), between joins recorded and dropped as a server's
 * re-synchronisation would (mixer 5 with leg 9, mixers 3 and 9), so that the
 * join notifications and responses find records to confirm, undo and drop.
 * A read past a payload, a message released twice or not at all, a count
 * gone wrong or a list out of step is what the sanitizers and checks catch.
 *
 * Input: u8 join step (bits 0-1: none, a leg join, a mixer join, all
 * dropped; bits 2-3 the attribute's two flags, bit 4 pending, bit 5 the
 * mixer 9 instead of 3), u8 id index, u8 kind, the payload (at most 8 KiB).
 */
#include <cstdio>

#include "cmc_fuzz_harness.h"
#include "vqcmc_leg.h"
#include "vqcmc_mixer.h"

using namespace VQCAF;

namespace {

/* The ids a mixer dispatches, and neighbours it does not. */
constexpr u32 kIds[] = {
    VQCMC_MSG_CMD_MIXER_CREATE, VQCMC_MSG_CMD_MIXER_TERMINATE, VQCMC_MSG_CMD_MIXER_SET_ATTRIBUTE,
    VQCMC_MSG_CMD_MIXER_LEG_JOIN, VQCMC_MSG_CMD_MIXER_MIXER_JOIN, VQCMC_MSG_CMD_MIXER_LEG_UNJOIN,
    VQCMC_MSG_CMD_MIXER_MIXER_UNJOIN, VQCMC_MSG_CMD_PLAY, VQCMC_MSG_CMD_RECORD, VQCMC_MSG_CMD_PAUSE,
    VQCMC_MSG_CMD_RESUME, VQCMC_MSG_CMD_STOP, VQCMC_MSG_NOTIF_MIXER_CREATED, VQCMC_MSG_NOTIF_MIXER_TERMINATED,
    VQCMC_MSG_NOTIF_MIXER_ATTRIBUTE_CHANGED, VQCMC_MSG_NOTIF_MIXER_ERROR, VQCMC_MSG_NOTIF_MIXER_LEG_JOIN_DONE,
    VQCMC_MSG_NOTIF_MIXER_MIXER_JOIN_DONE, VQCMC_MSG_NOTIF_MIXER_LEG_UNJOIN_DONE,
    VQCMC_MSG_NOTIF_MIXER_MIXER_UNJOIN_DONE, VQCMC_MSG_NOTIF_PLAYING_DONE, VQCMC_MSG_NOTIF_PLAYING_STARTED,
    VQCMC_LIB_MSG_NOTIF_MIXER_TERMINATED, VQCMC_LIB_MSG_NOTIF_MIXER_SYNC_DONE, VQCMC_LIB_MSG_NOTIF_MIXER_SYNC_LOST,
    VQCMC_MSG_NOTIF_CALL_LEG_ALERTING, 0x0A019999u,
};

/* A mixer whose trace lines are formatted (every argument read) and dropped,
 * and whose counts must stay within what it was sent. */
class QuietMixer : public CVQCMCMixer {
 public:
  explicit QuietMixer(u32 un32Id)
      : CVQCMCMixer(un32Id, CVQCAFPtr<CVQCMC_MIXER_ATTRIBUTE>(new CVQCMC_MIXER_ATTRIBUTE()), nullptr, 0, nullptr) {}
  void LogTrace(_VQX_TRACE_LEVEL, char**, u32, const char* pszFormat, _VQX_VA_LIST& args) override {
    char sz[1024];
    vsnprintf(sz, sizeof(sz), pszFormat, args);
  }
  void Check() const {
    // Nothing was sent: no message may raise a count.
    for (u32 n : maun32PlaysInProgress) {
      if (n != 0) abort();
    }
    if (mun32RecordsInProgress != 0) abort();
    if (!mJoinedLegs.Check() || !mJoinedMixersHigh.Check() || !mJoinedMixersLow.Check()) abort();
  }
};

/* The join step of an input byte (see the input). */
void Join(u8 un8Step, QuietMixer& Mixer, QuietMixer& Low, QuietMixer& High, CVQCMCLeg& Leg) {
  const u32 f1 = (un8Step >> 2) & 1, f2 = (un8Step >> 3) & 1, fPending = (un8Step >> 4) & 1;
  switch (un8Step & 3) {
    case 1: {
      CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE a;
      a.SetListener(f1), a.SetSpeaker(f2);
      Mixer.MixerSetJoined(&Leg, &a, fPending);
      break;
    }
    case 2: {
      CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE a;
      a.SetJoinedFrom1to2(f1), a.SetJoinedFrom2to1(f2);
      Mixer.MixerSetJoined((un8Step & 0x20) != 0 ? &High : &Low, &a, fPending);
      break;
    }
    case 3:
      Mixer.MixerSetUnjoined(0u);
      break;
    default:
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8* pData, size_t nSize) {
  static bool fOpen = (cmcfuzz::Open(), true);
  (void)fOpen;
  // One mixer for the whole run: the messages move it through its states as a server would.
  static QuietMixer Mixer(5), Low(3), High(9);
  static CVQCMCLeg Leg(9, CVQCAFPtr<CVQCMC_CALL_LEG_ATTRIBUTE_COMMON>(new CVQCMC_CALL_LEG_ATTRIBUTE()), nullptr,
                       VQCMC_CALL_LEG_STATE_ANSWERED, 0, nullptr);
  if (nSize < 1 || nSize > 8192 + 3) return 0;
  Join(pData[0], Mixer, Low, High, Leg);
  cmcfuzz::Message(kIds, pData + 1, nSize - 1, Mixer);
  Mixer.Check();
  Low.Check();
  High.Check();
  // The leg's own view agrees with the records (only this mixer joins it).
  const u32 un32Records = CVQCMCMixerJoinedLeg::GetCount();
  if (un32Records > 1 || Mixer.GetJoinedLegs(nullptr) != un32Records) abort();
  return 0;
}
