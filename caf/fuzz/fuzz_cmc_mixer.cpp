/*
 * fuzz_cmc_mixer.cpp - received messages into a mixer (CVQCMCMixer::
 * HandleMessage: every id the mixer dispatches, and others, of any kind,
 * with any payload). A read past a payload, a message released twice or not
 * at all, or a count gone wrong is what the sanitizers catch.
 *
 * Input: u8 id index, u8 kind, the payload (at most 8 KiB).
 */
#include <cstdio>

#include "cmc_fuzz_harness.h"
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
  QuietMixer() : CVQCMCMixer(0, CVQCAFPtr<CVQCMC_MIXER_ATTRIBUTE>(new CVQCMC_MIXER_ATTRIBUTE()), nullptr, 0, nullptr) {}
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
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8* pData, size_t nSize) {
  static bool fOpen = (cmcfuzz::Open(), true);
  (void)fOpen;
  // One mixer for the whole run: the messages move it through its states as a server would.
  static QuietMixer Mixer;
  if (nSize > 8192 + 2) return 0;
  cmcfuzz::Message(kIds, pData, nSize, [](VQX_MSG_HANDLE* ph) { Mixer.HandleMessage(ph); });
  Mixer.Check();
  return 0;
}
