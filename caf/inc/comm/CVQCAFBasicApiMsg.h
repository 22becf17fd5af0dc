/*
 * CVQCAFBasicApiMsg.h - VQCAF::CVQCAFBasicApiMsg<T, id>: one host message
 * seen as its payload record T, for the message id `id`.
 *
 * Model. The sending form allocates a message for id with extra bytes of
 * element room after T (0: no element set, the payload zero-filled); the
 * receiving form adopts a received message and shows its payload only when
 * the message carries id and holds a whole T inside its used payload. The
 * wrapper releases the message when destroyed while it still owns it.
 * Failures of the constructor and destructor are logged at VQERR as
 * "operation: text (code) CVQCAFBasicApiMsg:line", never thrown: a null
 * payload is what the caller tests. The host library is borrowed from the
 * framework's bridge (CVQCAFComm) only during the constructor and the
 * destructor. Defined and instantiated, once for every named call/media
 * control message, by its one user above the framework (the stack's
 * vqcmc_message.cpp); only CVQCMCMessage derives from it.
 * Threads: a wrapper belongs to one thread for its whole life.
 */
#ifndef CVQCAFBASICAPIMSG_H
#define CVQCAFBASICAPIMSG_H

#include "vqx_host.h"
#include "vqx_result.h"
#include "vqx_types.h"

namespace VQCAF {

template <class T, u32 id>
class CVQCAFBasicApiMsg {
 public:
  CVQCAFBasicApiMsg(const CVQCAFBasicApiMsg&) = delete;
  CVQCAFBasicApiMsg& operator=(const CVQCAFBasicApiMsg&) = delete;
  /* Releases the message it still owns; without the bridge logs
   * "CVQCAFComm::Init() must be called first!" (0x8200000F) and keeps it. */
  virtual ~CVQCAFBasicApiMsg();

  /* The payload (null: no buffer, a foreign id, or shorter than T). */
  T* GetPayload() const { return mpPayload; }
  VQX_MSG_HANDLE GetMsg() const { return mpMsg; }

 protected:
  /* Sending: (extra + sizeof(T)) rounded up to 8 bytes; header id, command,
   * used length min(capacity, sizeof(T)), local host, contexts 0. */
  explicit CVQCAFBasicApiMsg(u32 un32Extra);
  /* Receiving: adopts hMsg (released at destruction when fOwned). */
  CVQCAFBasicApiMsg(VQX_MSG_HANDLE hMsg, u32 fOwned);

  VQX_MSG_HANDLE mpMsg = nullptr;
  T* mpPayload = nullptr;
  u32 mfOwned = 0;
};

}  // namespace VQCAF

#endif
