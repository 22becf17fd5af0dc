/*
 * vqcafclipage.h - IVQCAFCliPage, one page of the framework console.
 *
 * The console (CVQCAFCli) calls a page on its own thread, holding none of its
 * own locks, so a page may take its application's mutexes freely. The page
 * prints through mhCli (stored by the console when the page is added) with
 * VqxCliToolsPrint and its kin, from inside Display only.
 */
#ifndef VQCAFCLIPAGE_H
#define VQCAFCLIPAGE_H

#include "vqx_clitools_cli.h"
#include "vqx_result.h"
#include "vqx_types.h"

namespace VQCAF {

class IVQCAFCliPage {
 public:
  virtual ~IVQCAFCliPage() = default;
  /* Draws the page's lines. */
  virtual VQX_RESULT Display() = 0;
  /* A key the console did not take. Sets *pfHandled when the page used it; a
   * command starts by setting pCmd->un32Cmd and the labels and default values
   * of its fields (none: validated and applied at once). */
  virtual VQX_RESULT HandleChoice(int nKey, _VQX_CLI_TOOLS_CMD* pCmd, unsigned int* pfHandled) = 0;
  /* Field pCmd->un32Index has been typed: *pfValid non-zero to go on. */
  virtual VQX_RESULT ValidateUserInput(_VQX_CLI_TOOLS_CMD* pCmd, unsigned int* pfValid) = 0;
  /* Every field was valid. */
  virtual VQX_RESULT ApplyUserInput(_VQX_CLI_TOOLS_CMD* pCmd) = 0;
  virtual const char* GetTitle() = 0;
  virtual u32 IsEnabled() = 0;
  virtual void SetEnabled(unsigned int fEnabled) = 0;
  /* Lines of the help overlay for this page's keys. */
  virtual const char* GetHelp() { return ""; }

  VQX_CLI_TOOLS_HANDLE mhCli = nullptr;
};

}  // namespace VQCAF

#endif
