/*
 * vqcmc_request_table.h - the error listeners of one leg's or mixer's
 * commands waiting for their responses. The first listener ever given
 * becomes the default one and is never held per request; any other waits
 * under its command's serial number (at most the table's capacity) until
 * the response takes it. Not a public header.
 * Threads: none inside; the owner calls it under its own mutex.
 */
#ifndef VQCMC_REQUEST_TABLE_H
#define VQCMC_REQUEST_TABLE_H

#include "vqcmc_listener.h"
#include "vqx_hash.h"
#include "vqx_host.h"

namespace VQCAF {

class CVQCMCRequestTable {
 public:
  CVQCMCRequestTable(const char* pszName, u32 un32Capacity) : mpszName(pszName), mun32Capacity(un32Capacity) {}
  ~CVQCMCRequestTable() { Clear(); }
  CVQCMCRequestTable(const CVQCMCRequestTable&) = delete;
  CVQCMCRequestTable& operator=(const CVQCMCRequestTable&) = delete;

  /* Remembers the listener of hMsg's command (null: nothing). 0x82000012 when the
   * table cannot be made, the insert's failure (0x82000008 full); *ppszStep then
   * names the failed step ("VQXHashCreateWithKey Failed." / "VQXHashInsert Failed."). */
  VQX_RESULT Remember(VQX_MSG_HANDLE hMsg, IVQCMCErrorListener* pListener, const char** ppszStep);
  /* The listener of a response: the one remembered under its serial (removed), else the default. */
  IVQCMCErrorListener* Take(VQX_MSG_HANDLE hMsg);
  /* Drops the entry of a command whose send failed. */
  void Forget(u32 un32Serial);
  /* Drops every entry (no response will come any more). */
  void Clear();
  u32 GetCount() const { return mun32Count; }

 private:
  const char* mpszName;
  u32 mun32Capacity;
  IVQCMCErrorListener* mpDefault = nullptr;
  HVQXHASH mhTable = nullptr;
  u32 mun32Count = 0;
};

}  // namespace VQCAF

#endif
