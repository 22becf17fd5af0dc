/*
 * sigtrace_page.h - CVQSigTracePage, the trace application's main console
 * page: a live table of the trace groups (type, entity count, RX, TX, EXT,
 * file) with each group's entities and the totals, and the operator's keys:
 *   'Q' quit the application, 'c' clear the console log, 'f' rotate the
 *   framework log, 'r' reload the configuration (command 6: file),
 *   's' stop monitoring one entity (command 7: adapter, entity),
 *   'g' split a group's file or every group's ("ALL") (command 8: group),
 *   'p' switch a provider group's capture (command 9: group, enable),
 *   ctrl-up / ctrl-down scroll the table by one group.
 *
 * The application makes the page in Init, adds it to the console (first
 * page: shown at start) and calls Attach once the framework is up; its
 * clean-up removes it. The console thread calls every operation but Attach;
 * each takes the application mutex for its whole run. The page shows the
 * elapsed run time against the "-e" limit but does not end the run: the
 * application's main loop does that on its own clock, whatever is shown.
 */
#ifndef SIGTRACE_PAGE_H
#define SIGTRACE_PAGE_H

#include "vqcafclipage.h"
#include "vqcafstring.h"

namespace VQCAF {

class CVQSigTrace;

class CVQSigTracePage : public IVQCAFCliPage {
 public:
  /* Command numbers of the page. */
  static constexpr u32 kCmdReload = 6;
  static constexpr u32 kCmdStopMonitoring = 7;
  static constexpr u32 kCmdSplitGroup = 8;
  static constexpr u32 kCmdProviderGroup = 9;
  /* Lines that must stay free below a group or entity line. */
  static constexpr u32 kMinFreeLines = 22;

  /* pSigTrace outlives the page. Disabled, not scrolled. */
  explicit CVQSigTracePage(CVQSigTrace* pSigTrace);
  ~CVQSigTracePage() override = default;
  CVQSigTracePage(const CVQSigTracePage&) = delete;
  CVQSigTracePage& operator=(const CVQSigTracePage&) = delete;

  /* The standby line while the application is not ready; then (enabled) the
   * host line, the running line, the group table from mun32Scroll down with
   * the totals and the scroll notes. 0x02000000. */
  VQX_RESULT Display() override;
  /* The keys above; *pfHandled 1 for those. Nothing while disabled. */
  VQX_RESULT HandleChoice(int nKey, _VQX_CLI_TOOLS_CMD* pCmd, unsigned int* pfHandled) override;
  /* 6: valid. 7: an adapter of that exact name / an entity of that exact
   * name in some group. 8: "ALL" (any case) or a group of that exact name.
   * 9: a group of that exact name / YES, Y, NO, N (upper-cased in place;
   * anything else becomes "No" and is refused). */
  VQX_RESULT ValidateUserInput(_VQX_CLI_TOOLS_CMD* pCmd, unsigned int* pfValid) override;
  /* Acts on the typed values; the command number is reset to 0 in every
   * case. A failed reload returns its code. */
  VQX_RESULT ApplyUserInput(_VQX_CLI_TOOLS_CMD* pCmd) override;
  /* "SigTrace". */
  const char* GetTitle() override;
  u32 IsEnabled() override;
  void SetEnabled(unsigned int fEnabled) override;
  const char* GetHelp() override;
  /* Enables the page and starts its run-time count. The caller holds the
   * application mutex. 0x02000000. */
  VQX_RESULT Attach();

  u32 GetScroll() const { return mun32Scroll; }

 private:
  CVQSigTrace* mpSigTrace;
  u32 mfEnabled = 0;
  u32 mun32AttachTimeMs = 0;
  u32 mun32Scroll = 0;
  CVQCAFString mAdapterName;
  CVQCAFString mEntityName;
  CVQCAFString mGroupName;
};

}  // namespace VQCAF

#endif
