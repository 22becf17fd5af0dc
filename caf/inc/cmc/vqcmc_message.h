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
 * The hand-over to the core library (leg and mixer message processing) is
 * not offered yet: the core library does not provide it.
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

 private:
  VQCMC_LIB_HANDLE mhCmcLib = nullptr;
  u32 mfProcessed = 0;
};

}  // namespace VQCAF

#endif
