/*
 * vqcafcli.h - CVQCAFCli, the framework console: the shell over the console
 * engine (vqx_clitools_cli.h) that owns the page list and the console's own
 * keys (docs/console.md).
 *
 * Keys taken before the page: 'q' (quit, confirmed with y/n; sets the quit
 * flag), 'T' (sub-module and trace level), '\\' (log rotation), Tab and
 * reverse Tab (next and previous page), Page Up/Down (log scrolling), 'h'
 * (help overlay with the page's GetHelp), 'l' (page-list overlay; a digit
 * picks a page), Escape (closes an overlay). Every other key goes to the
 * current page. A refresh draws the header and the current page, and no page
 * while an overlay is on.
 *
 * Locks. mMutex guards the page list and the console's state and is never
 * held while a page is called: the console keeps a CVQCAFPtr share of the
 * page for the call, so pages may be added and removed under application
 * mutexes that Display itself takes. RemovePage returns once the console is
 * no longer inside that page (see RemovePage for a caller holding the
 * page's mutex).
 *
 * Log lines reach the console's log buffer through a log listener.
 */
#ifndef VQCAFCLI_H
#define VQCAFCLI_H

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "vqcafclipage.h"
#include "vqcaflog.h"
#include "vqcafmutex.h"
#include "vqcafptr.h"

namespace VQCAF {

/* Called after the console changed trace levels (the call/media control
 * stack registers its UpdateTraceLevel here). */
typedef VQX_RESULT (*PFN_VQCAF_TRACE_LEVEL_CHANGED)();
void VqcafSetTraceLevelChangedHook(PFN_VQCAF_TRACE_LEVEL_CHANGED pfn);

constexpr u32 VQCAF_CLI_REMOVE_WAIT_MS = 2000u;

class CVQCAFCli : public IVQCAFLogTraceListener {
 public:
  /* The console's own command numbers (pages use small numbers). */
  static constexpr u32 kCmdTraceLevel = 0xC0DE0001u;
  static constexpr u32 kCmdQuit = 0xC0DE0002u;

  CVQCAFCli();
  ~CVQCAFCli() override;
  CVQCAFCli(const CVQCAFCli&) = delete;
  CVQCAFCli& operator=(const CVQCAFCli&) = delete;

  /* Opens the engine with these parameters (callbacks are the console's) and
   * starts feeding the log buffer. pfQuit (may be null) is set to 1 by a
   * confirmed quit. 0x8200000F when open; the engine's codes. */
  VQX_RESULT Open(const _VQX_CLI_TOOLS_INIT_PARAMS& Params, volatile u32* pfQuit);
  /* Stops the engine's thread and the log feed; pages stay listed. */
  void Close();
  VQX_CLI_TOOLS_HANDLE GetHandle() const { return mhCli; }

  /* Appends a page (the first one added is shown first) and gives it the
   * console handle. 0x82000009 null page; 0x82000005 already listed. */
  VQX_RESULT AddPage(CVQCAFPtr<IVQCAFCliPage> Page);
  /*
   * Removes a page; returns once the console has left it (at once on the
   * console thread). pHeldMutex: a mutex the caller holds and the page's calls
   * take (application, adapter); it is given back completely while waiting,
   * so that a page call blocked on it can end. A caller that holds such a
   * mutex without naming it is not kept forever: after
   * VQCAF_CLI_REMOVE_WAIT_MS the wait ends with an error line (the page object
   * itself stays alive through the console's share). 0x82000015 not listed.
   */
  VQX_RESULT RemovePage(CVQCAFPtr<IVQCAFCliPage> Page, CVQCAFMutex* pHeldMutex = nullptr);
  /* Applies the 'T' command: field 0 a sub-module name or "ALL", field 1 the
   * level (number as the configuration store reads it). */
  VQX_RESULT ApplyUserInputSetTraceLevel(_VQX_CLI_TOOLS_CMD* pCmd);

  void OnLogTrace(_VQX_TRACE_LEVEL Level, _VQCAF_SUBMODULE_TYPE SubMod, const char* pszText, u32 un32Length) override;

 private:
  enum class Overlay { kNone, kHelp, kPages };
  static void Display(void* pv, VQX_CLI_TOOLS_HANDLE h);
  static void HandleKey(void* pv, int nKey, _VQX_CLI_TOOLS_CMD* pCmd, u32* pfHandled);
  static void Validate(void* pv, _VQX_CLI_TOOLS_CMD* pCmd, u32* pfValid);
  static void Apply(void* pv, _VQX_CLI_TOOLS_CMD* pCmd);
  void OnDisplay(VQX_CLI_TOOLS_HANDLE h);
  void OnKey(int nKey, _VQX_CLI_TOOLS_CMD* pCmd, u32* pfHandled);
  void OnValidate(_VQX_CLI_TOOLS_CMD* pCmd, u32* pfValid);
  void OnApply(_VQX_CLI_TOOLS_CMD* pCmd);
  /* The current page (shared), or empty. */
  CVQCAFPtr<IVQCAFCliPage> Current();
  /* Marks the console as inside / outside a page call. */
  void Enter(IVQCAFCliPage* p);
  void Leave();

  CVQCAFMutex mMutex;
  std::vector<CVQCAFPtr<IVQCAFCliPage>> maPages;
  u32 mun32Current = 0;
  Overlay mOverlay = Overlay::kNone;
  CVQCAFPtr<IVQCAFCliPage> mCmdPage; /* page whose command is being typed */
  volatile u32* mpfQuit = nullptr;
  std::atomic<VQX_CLI_TOOLS_HANDLE> mhCli{nullptr};
  bool mfListening = false;

  std::mutex mCallMutex; /* leaf: guards mpInCall */
  std::condition_variable mCallCond;
  IVQCAFCliPage* mpInCall = nullptr;
  std::thread::id mCallThread;
};

}  // namespace VQCAF

#endif
