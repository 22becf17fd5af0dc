/*
 * vqcmc_request_table.h - the commands of one leg or mixer waiting for their
 * responses, and the error listener each one's failure goes to. The first
 * listener ever given becomes the default one; a command with the default
 * listener, or none, waits unlimited and its failure goes to the default
 * listener of the moment; a command with another listener holds one of the
 * table's slots (at most its capacity) until its response, or until the
 * server is known to send none any more (TakeAll), takes it. Commands are
 * kept in the order they were sent. Not a public header.
 * Threads: none inside; the owner calls it under its own mutex.
 */
#ifndef VQCMC_REQUEST_TABLE_H
#define VQCMC_REQUEST_TABLE_H

#include <utility>
#include <vector>

#include "vqcmc_listener.h"
#include "vqx_host.h"

namespace VQCAF {

class CVQCMCRequestTable {
 public:
  explicit CVQCMCRequestTable(u32 un32Capacity) : mun32Capacity(un32Capacity) {}
  CVQCMCRequestTable(const CVQCMCRequestTable&) = delete;
  CVQCMCRequestTable& operator=(const CVQCMCRequestTable&) = delete;

  /* Remembers hMsg's command and its listener (null hMsg: nothing kept). 0x82000008 when the
   * listener needs a slot and all are held, 0x82000012 when no memory is left, 0x82000009 for a
   * null hMsg with a listener of its own; *ppszStep then names the failed step
   * ("VQXHashInsert Failed." / "VQXHashCreateWithKey Failed."). */
  VQX_RESULT Remember(VQX_MSG_HANDLE hMsg, IVQCMCErrorListener* pListener, const char** ppszStep);
  /* The listener of a response: the one of its command (taken out), else the default. */
  IVQCMCErrorListener* Take(VQX_MSG_HANDLE hMsg);
  /* Drops the command of a send that failed. */
  void Forget(u32 un32Serial);
  /* Takes every command still waiting out, then, oldest first, fnEach(command id, its listener
   * or the default one, null when there is none). Commands remembered meanwhile (by fnEach) stay. */
  template <class F>
  void TakeAll(F&& fnEach) {
    std::vector<Request> aTaken;
    aTaken.swap(maRequests);
    mun32Count = 0;
    for (const Request& Entry : aTaken) {
      std::forward<F>(fnEach)(Entry.un32MsgId, Entry.pListener != nullptr ? Entry.pListener : mpDefault);
    }
  }
  /* Drops every command (no listener is told). */
  void Clear();
  /* Slots held: commands waiting with a listener of their own. */
  u32 GetCount() const { return mun32Count; }

 private:
  struct Request {
    u32 un32Serial;
    u32 un32MsgId;
    IVQCMCErrorListener* pListener; /* null: the default listener's */
  };
  u32 mun32Capacity;
  IVQCMCErrorListener* mpDefault = nullptr;
  std::vector<Request> maRequests;
  u32 mun32Count = 0;
};

}  // namespace VQCAF

#endif
