/*
 * vqcmc_message.h - CVQCMCMessage<T, id>: a call/media control command,
 * response or notification as its typed payload (CVQCAFBasicApiMsg), with
 * the handle of the core library taken from the client singleton.
 *
 * Model. A client object builds a command with 4096 bytes of element room
 * (a play command: the element bytes of its play attribute), tests the
 * payload, fills it and hands it on; a handler wraps a received message,
 * reads the payload (null: "Invalid message") and lets the wrapper release
 * the message. The pairs (T, id) are the named rows of the message
 * catalogue (vqcmc_msg_catalogue.def), all instantiated in
 * vqcmc_message.cpp; no other pair links.
 * LegMsgProcess and MixerMsgProcess hand the buffer to the core library,
 * which sends or releases it; the wrapper then owns nothing.
 * Threads: one thread for the wrapper's life; the client singleton must
 * exist while it is built (without it the library handle is null).
 */
#ifndef VQCMC_MESSAGE_H
#define VQCMC_MESSAGE_H

#include "CVQCAFBasicApiMsg.h"
#include "vqcmc_lib.h"

namespace VQCAF {

template <class T, u32 id>
class CVQCMCMessage : public CVQCAFBasicApiMsg<T, id> {
 public:
  /* Sending form with un32Extra bytes of element room. */
  explicit CVQCMCMessage(u32 un32Extra);
  /* A literal count (0, 4096) picks the sending form, not a null message. */
  explicit CVQCMCMessage(int nExtra) : CVQCMCMessage(static_cast<u32>(nExtra)) {}
  /* Receiving form: processed from the start; owned (released at
   * destruction, whatever its id) unless fOwned is 0. */
  explicit CVQCMCMessage(VQX_MSG_HANDLE hMsg, u32 fOwned = 1);
  ~CVQCMCMessage() override = default;

  VQCMC_LIB_HANDLE GetCmcLibHandle() const { return mhCmcLib; }
  /* Nonzero once handed over, and from the start for a received message. */
  u32 IsProcessed() const { return mfProcessed; }

  /* Hands the message to the core library for that leg (mixer) with the user
   * value for the upper half of user context 1, and returns the library's
   * result. 0x8200000F without calling it: no payload, already handed over,
   * or a received message. The library takes the buffer on every path but a
   * null library handle (0x82000009), where the wrapper keeps and releases it. */
  VQX_RESULT LegMsgProcess(u32 un32LegId, u32 un32UserValue);
  VQX_RESULT MixerMsgProcess(u32 un32MixerId, u32 un32UserValue);

 private:
  using PFCT_PROCESS = VQX_RESULT (*)(VQCMC_LIB_HANDLE, u32, u32, VQX_MSG_HANDLE*);
  VQX_RESULT HandOver(PFCT_PROCESS pfnProcess, u32 un32Id, u32 un32UserValue);

  VQCMC_LIB_HANDLE mhCmcLib = nullptr;
  u32 mfProcessed = 0;
};

}  // namespace VQCAF

#endif
