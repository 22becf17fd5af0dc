/*
 * vqcmclib.h - CVQCMCLib, the call/media control client singleton: here only
 * the three members the message and attribute classes use (GetInstance,
 * GetCmcLibHandle, LogTrace on sub-module 5 "CMC "); the client objects
 * complete the class.
 *
 * Model. At most one instance per process, reached through GetInstance (null
 * before it exists). It holds the handle of an opened core library. Tests
 * install one over a core library they opened themselves (TestInstall) and
 * remove it (TestUninstall) before closing that library.
 * Threads: GetInstance and LogTrace from any thread; install and removal
 * while no attribute object is in use.
 */
#ifndef VQCMCLIB_H
#define VQCMCLIB_H

#include "vqcaflogtrace.h"
#include "vqcmc_lib.h"

namespace VQCAF {

class CVQCMCLib : public CVQCAFLogTrace {
 public:
  /* The singleton, or null. */
  static CVQCMCLib* GetInstance();
  /* The core library handle (null until the library is opened). */
  VQCMC_LIB_HANDLE GetCmcLibHandle() const { return mhCmcLib; }
  using CVQCAFLogTrace::LogTrace;

  /* Test hook: a singleton over hCmcLib (the caller keeps the library).
   * 0x82000011 when one exists already. */
  static VQX_RESULT TestInstall(VQCMC_LIB_HANDLE hCmcLib);
  /* Removes the installed singleton; nothing when there is none. */
  static void TestUninstall();

 private:
  explicit CVQCMCLib(VQCMC_LIB_HANDLE hCmcLib);
  ~CVQCMCLib() override = default;

  VQCMC_LIB_HANDLE mhCmcLib;
};

}  // namespace VQCAF

#endif
