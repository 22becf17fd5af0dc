/*
 * sigtrace_adapter_page.h - CVQSigTraceAdapterPage, one board's console page:
 * the entities its discovery found (name, description, group) and two
 * commands, 'r' (resynchronise the adapter at once) and 'a' (start monitoring
 * one entity in a group: entity, group, port, cap file).
 *
 * The adapter makes its page in Init, adds it to the console and removes it
 * in Clear. The console thread calls every operation; each takes the
 * adapter's mutex for its whole run (never the application mutex), so the
 * list is never read while the adapter thread fills it. The console may
 * still hold the page, or be inside one of its calls, when the adapter goes:
 * the adapter's Clear detaches the page, which waits for the calls under
 * way; afterwards no call reaches the adapter (the title is the page's own
 * copy). While disabled the
 * page draws at most the synchronisation line and takes no command.
 *
 * The add command posts the adapter's activate-monitoring message with the
 * typed entity, group and port; the cap-file answer is both the capture flag
 * and the extended flag (CAS R2 extended states). A CAS R2 entity is always
 * sent as text (capture flag 0), as the whole-adapter activation does.
 */
#ifndef SIGTRACE_ADAPTER_PAGE_H
#define SIGTRACE_ADAPTER_PAGE_H

#include <condition_variable>
#include <mutex>

#include "vqcafclipage.h"
#include "vqcaflogtrace.h"
#include "vqcafstring.h"

namespace VQCAF {

class CVQSigTraceAdapter;

class CVQSigTraceAdapterPage : public IVQCAFCliPage {
 public:
  /* Command numbers of the page. */
  static constexpr u32 kCmdResync = 6;
  static constexpr u32 kCmdAddEntity = 7;
  /* Lines that must stay free below an entity row. */
  static constexpr u32 kMinFreeLines = 16;

  /* pAdapter outlives the page (the adapter owns it). Enabled, not scrolled. */
  explicit CVQSigTraceAdapterPage(CVQSigTraceAdapter* pAdapter);
  ~CVQSigTraceAdapterPage() override = default;
  CVQSigTraceAdapterPage(const CVQSigTraceAdapterPage&) = delete;
  CVQSigTraceAdapterPage& operator=(const CVQSigTraceAdapterPage&) = delete;

  /* The synchronisation line while the adapter is not ready, then (enabled)
   * the title, the header and one row per entity from mun32Scroll down, with
   * the scroll notes; a scrolled list drifts back one row per refresh while
   * there is room. 0x02000000. */
  VQX_RESULT Display() override;
  /* 'r', 'a', ctrl-up, ctrl-down (see above); *pfHandled 1 for those. */
  VQX_RESULT HandleChoice(int nKey, _VQX_CLI_TOOLS_CMD* pCmd, unsigned int* pfHandled) override;
  /* 'a': field 0 must name an entity of the adapter exactly, field 1 must
   * not be empty; 'r' and the other fields are valid. */
  VQX_RESULT ValidateUserInput(_VQX_CLI_TOOLS_CMD* pCmd, unsigned int* pfValid) override;
  /* 'r': the adapter's Synchronize (its failure returned); 'a': keeps the
   * typed values as the next defaults and posts the activation. The command
   * number is reset to 0 in every case. */
  VQX_RESULT ApplyUserInput(_VQX_CLI_TOOLS_CMD* pCmd) override;
  /* The adapter's name (the page's copy). */
  const char* GetTitle() override;
  u32 IsEnabled() override;
  void SetEnabled(unsigned int fEnabled) override;
  const char* GetHelp() override;
  /* Enables the page. 0x02000000. */
  VQX_RESULT Attach();

  /* Entities skipped at the top of the list (tests read the scroll state). */
  u32 GetScroll() const { return mun32Scroll; }
  /* The adapter goes (called by it without its mutex): waits until no call
   * uses it; then every operation does nothing (disabled, title kept). */
  void Detach();

 private:
  /* One call's use of the adapter: null once detached. */
  class CPass {
   public:
    explicit CPass(CVQSigTraceAdapterPage& Page);
    ~CPass();
    CPass(const CPass&) = delete;
    CPass& operator=(const CPass&) = delete;
    CVQSigTraceAdapter* Adapter() const { return mpAdapter; }

   private:
    CVQSigTraceAdapterPage& mPage;
    CVQSigTraceAdapter* mpAdapter;
  };

  std::mutex mGateMutex;             /* guards mpAdapter and mun32Calls */
  std::condition_variable mGateCond; /* mun32Calls fell to 0 */
  u32 mun32Calls = 0;                /* calls holding a pass */
  CVQSigTraceAdapter* mpAdapter;     /* null once detached */
  CVQCAFString mstrTitle;            /* the adapter's name */
  _VQCAF_SUBMODULE_TYPE mSubModId;   /* the adapter's log sub-module */
  u32 mfEnabled = 1;
  u32 mun32Scroll = 0;
  u32 mfMoreAbove = 0;
  u32 mfMoreBelow = 0;
  CVQCAFString mEntityName;
  CVQCAFString mGroupName;
  u32 mun32Port = 0;
  u32 mfCapFile = 0;
};

}  // namespace VQCAF

#endif
