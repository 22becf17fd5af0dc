/*
 * vqcmc_msgset.h - CVQCMCMsgset<T>, the owner of one call/media control
 * message whose payload is an attribute record T followed by room for
 * message elements.
 *
 * Model. A default holder takes a message from the core library (through the
 * client singleton's library handle) with the record zeroed and 4096 bytes
 * of element room; an adopting holder takes a received (message, payload)
 * pair. Either way the holder owns the message and releases it when
 * destroyed, through the bridge's host library (so also after the core
 * library has closed; with no bridge left it is kept). Derived classes
 * fill the record and its sets and copy them in and out of other
 * messages; a copy logs through the core library the singleton holds at
 * the time of the call (none: no line), never through one kept since. When the allocation fails the holder is empty
 * (null message and payload): writers then fail, nothing is written.
 * Instances: the play, record and event attributes (vqcmc_media_attributes.h).
 * Threads: a holder is used by one thread at a time; no lock.
 */
#ifndef VQCMC_MSGSET_H
#define VQCMC_MSGSET_H

#include "vqcmc_lib.h"
#include "vqx_host.h"

namespace VQCAF {

/* Element room of a default holder. */
constexpr u32 VQCMC_MSGSET_ELEMENT_ROOM = 4096u;

template <class T>
class CVQCMCMsgset {
 public:
  /* A new message: VQXMsgComputeSize(sizeof(T)) + 4096, rounded up to 8. */
  CVQCMCMsgset();
  /* The same with un32ElementRoom bytes of room (elements initialised only
   * when the room is not 0). */
  explicit CVQCMCMsgset(u32 un32ElementRoom);
  /* Adopts a received message and its payload (owned from then on). */
  CVQCMCMsgset(VQX_MSG_HANDLE hMsg, T* pPayload);
  CVQCMCMsgset(const CVQCMCMsgset&) = delete;
  CVQCMCMsgset& operator=(const CVQCMCMsgset&) = delete;
  /* Releases an owned message through the bridge; a failure, or no bridge,
   * is logged ("CVQCMCMsgset: Failed to free message"), destruction goes on. */
  virtual ~CVQCMCMsgset();

  VQX_MSG_HANDLE GetMsg() const { return mpMsg; }
  T* GetPayload() const { return mpPayload; }

  /*
   * The record's bytes after its first set word, which the core library
   * carries unchanged and the client objects fill (for instance the play
   * index and paused flag of a play attribute). 0x02000000; 0x82000014 on an
   * empty holder; 0x8200000A for an offset below 4 or past the record;
   * 0x82000009 for a null out pointer.
   */
  VQX_RESULT SetFixedByte(u32 un32Offset, u8 un8Value);
  VQX_RESULT GetFixedByte(u32 un32Offset, u8* pun8Value) const;

 protected:
  VQX_MSG_HANDLE mpMsg = nullptr;
  T* mpPayload = nullptr;
  u32 mfOwned = 1;
  u32 mfElementAdded = 0;

 private:
  void Allocate(u32 un32ElementRoom);
};

}  // namespace VQCAF

#endif
