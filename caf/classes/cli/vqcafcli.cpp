/*
 * vqcafcli.cpp - CVQCAFCli: the console's own keys and commands, the page
 * list, and page calls made outside every console lock.
 */
#include "vqcafcli.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <atomic>
#include <chrono>
#include <string>

#include "vqcafcfgfile.h"
#include "vqcafexception.h"

namespace VQCAF {

namespace {

std::atomic<PFN_VQCAF_TRACE_LEVEL_CHANGED> g_pfnTraceLevelChanged{nullptr};

constexpr const char* kConsoleHelp =
    "(\033[32mq\033[m) Quit application\n"
    "(\033[32mT\033[m) Set the trace level of a sub-module\n"
    "(\033[32m\\\033[m) Rotate the log file\n"
    "(\033[32mTab\033[m / \033[32mshift-Tab\033[m) Next / previous page\n"
    "(\033[32mPgUp\033[m / \033[32mPgDn\033[m) Scroll the log\n"
    "(\033[32mh\033[m) This help, (\033[32ml\033[m) Page list, (\033[32mEsc\033[m) Close\n";

void SetLabel(_VQX_CLI_TOOLS_CMD* pCmd, u32 i, const char* pszLabel, const char* pszValue) {
  snprintf(pCmd->aszLabel[i], VQX_CLI_TOOLS_CMD_TEXT_SIZE, "%s", pszLabel);
  snprintf(pCmd->aszValue[i], VQX_CLI_TOOLS_CMD_TEXT_SIZE, "%s", pszValue);
}

/* Sub-module by its name (blanks of the four-character names ignored, any
 * case); -1 for "ALL", -2 for none. */
int FindSubMod(const char* pszName) {
  if (strcasecmp(pszName, "ALL") == 0) return -1;
  for (u32 i = 0; i < VQCAF_SUBMODULE_COUNT; i++) {
    std::string strName = GetSubModName(i);
    while (!strName.empty() && strName.back() == ' ') strName.pop_back();
    if (!strName.empty() && strName != "????" && strcasecmp(strName.c_str(), pszName) == 0) return static_cast<int>(i);
  }
  return -2;
}

bool ParseLevel(const char* pszText, u32* pun32Level) {
  if (pszText[0] < '0' || pszText[0] > '9') return false;
  return VQX_RESULT_SUCCEEDED(VqcafCfgParseU32(pszText, pun32Level));
}

}  // namespace

void VqcafSetTraceLevelChangedHook(PFN_VQCAF_TRACE_LEVEL_CHANGED pfn) { g_pfnTraceLevelChanged = pfn; }

CVQCAFCli::CVQCAFCli() = default;

CVQCAFCli::~CVQCAFCli() { Close(); }

VQX_RESULT CVQCAFCli::Open(const _VQX_CLI_TOOLS_INIT_PARAMS& Params, volatile u32* pfQuit) {
  if (mhCli != nullptr) return VQCAF_REPORT_FAILURE("CVQCAFCli::Open", "Console already open", VQX_RESULT_INVALID_STATE);
  _VQX_CLI_TOOLS_INIT_PARAMS P = Params;
  P.pvContext = this;
  P.pfnDisplay = &CVQCAFCli::Display;
  P.pfnHandleKey = &CVQCAFCli::HandleKey;
  P.pfnValidate = &CVQCAFCli::Validate;
  P.pfnApply = &CVQCAFCli::Apply;
  mpfQuit = pfQuit;
  VQX_CLI_TOOLS_HANDLE h = nullptr;
  const VQX_RESULT r = VqxCliToolsOpen(&P, &h);
  if (VQX_RESULT_FAILED(r)) return VQCAF_REPORT_FAILURE("CVQCAFCli::Open", "VqxCliToolsOpen failed", r);
  mhCli = h;
  mfListening = VQX_RESULT_SUCCEEDED(AddLogTraceListener(this));
  return VQX_RESULT_OK;
}

void CVQCAFCli::Close() {
  if (mfListening) RemoveLogTraceListener(this);
  mfListening = false;
  VqxCliToolsClose(mhCli.exchange(nullptr));  // joins the console thread: no page call after this
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  mCmdPage = CVQCAFPtr<IVQCAFCliPage>();
}

VQX_RESULT CVQCAFCli::AddPage(CVQCAFPtr<IVQCAFCliPage> Page) {
  if (Page.IsNull()) return VQX_RESULT_NULL_PARAM;
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  for (const auto& p : maPages) {
    if (p.Get() == Page.Get()) return VQX_RESULT_ACCESS_DENIED;
  }
  Page->mhCli = mhCli;
  maPages.push_back(Page);
  VqxCliToolsRequestRefresh(mhCli);
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCAFCli::RemovePage(CVQCAFPtr<IVQCAFCliPage> Page, CVQCAFMutex* pHeldMutex) {
  if (Page.IsNull()) return VQX_RESULT_NULL_PARAM;
  CVQCAFPtr<IVQCAFCliPage> Dropped; /* released outside the lock */
  {
    CVQCAFMutexAutoGetGive Lock(&mMutex);
    size_t i = 0;
    while (i < maPages.size() && maPages[i].Get() != Page.Get()) i++;
    if (i == maPages.size()) return VQX_RESULT_NOT_FOUND;
    Dropped = maPages[i];
    maPages.erase(maPages.begin() + static_cast<long>(i));
    if (mun32Current > i || (mun32Current == i && mun32Current >= maPages.size() && mun32Current > 0)) mun32Current--;
    if (mCmdPage.Get() == Page.Get()) mCmdPage = CVQCAFPtr<IVQCAFCliPage>();
  }
  {
    std::lock_guard<std::mutex> Lock(mCallMutex);
    if (mCallThread == std::this_thread::get_id() || mpInCall != Page.Get()) return VQX_RESULT_OK;
  }
  CVQCAFMutexAutoGiveGet Give(pHeldMutex);  // a page waiting for it can finish its call
  std::unique_lock<std::mutex> Lock(mCallMutex);
  if (!mCallCond.wait_for(Lock, std::chrono::milliseconds(VQCAF_CLI_REMOVE_WAIT_MS),
                          [&] { return mpInCall != Page.Get(); })) {
    Lock.unlock();
    LogTrace(VQERR, "CVQCAFCli::RemovePage: the console is still inside page '%s' after %u ms; not waiting longer\n",
             Page->GetTitle(), VQCAF_CLI_REMOVE_WAIT_MS);
  }
  return VQX_RESULT_OK;
}

void CVQCAFCli::Enter(IVQCAFCliPage* p) {
  std::lock_guard<std::mutex> Lock(mCallMutex);
  mpInCall = p;
  mCallThread = std::this_thread::get_id();
}

void CVQCAFCli::Leave() {
  {
    std::lock_guard<std::mutex> Lock(mCallMutex);
    mpInCall = nullptr;
    mCallThread = std::thread::id();
  }
  mCallCond.notify_all();
}

CVQCAFPtr<IVQCAFCliPage> CVQCAFCli::Current() {
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  if (mun32Current >= maPages.size()) return CVQCAFPtr<IVQCAFCliPage>();
  return maPages[mun32Current];
}

void CVQCAFCli::Display(void* pv, VQX_CLI_TOOLS_HANDLE h) { static_cast<CVQCAFCli*>(pv)->OnDisplay(h); }
void CVQCAFCli::HandleKey(void* pv, int nKey, _VQX_CLI_TOOLS_CMD* pCmd, u32* pfHandled) {
  static_cast<CVQCAFCli*>(pv)->OnKey(nKey, pCmd, pfHandled);
}
void CVQCAFCli::Validate(void* pv, _VQX_CLI_TOOLS_CMD* pCmd, u32* pfValid) {
  static_cast<CVQCAFCli*>(pv)->OnValidate(pCmd, pfValid);
}
void CVQCAFCli::Apply(void* pv, _VQX_CLI_TOOLS_CMD* pCmd) { static_cast<CVQCAFCli*>(pv)->OnApply(pCmd); }

void CVQCAFCli::OnDisplay(VQX_CLI_TOOLS_HANDLE h) {
  CVQCAFPtr<IVQCAFCliPage> Page;
  Overlay Shown;
  std::string strHeader, strList;
  {
    CVQCAFMutexAutoGetGive Lock(&mMutex);
    Shown = mOverlay;
    if (mun32Current < maPages.size()) Page = maPages[mun32Current];
    if (!Page.IsNull()) Page->mhCli = h;  // pages listed before Open learn the handle here
    char sz[64];
    snprintf(sz, sizeof(sz), "Page %u/%zu: ", maPages.empty() ? 0u : mun32Current + 1, maPages.size());
    strHeader = sz;
    for (size_t i = 0; i < maPages.size(); i++) {
      snprintf(sz, sizeof(sz), "(\033[32m%zu\033[m) ", i + 1);
      strList += std::string(sz) + maPages[i]->GetTitle() + "\n";
    }
  }
  try {
    Enter(Page.Get());
    const char* pszTitle = Page.IsNull() ? "(no page)" : Page->GetTitle();
    VqxCliToolsPrint(h, "%s\033[1m%s\033[m\n", strHeader.c_str(), pszTitle);
    if (Shown == Overlay::kHelp) {
      VqxCliToolsPrint(h, "%s", kConsoleHelp);
      if (!Page.IsNull()) VqxCliToolsPrint(h, "%s", Page->GetHelp());
    } else if (Shown == Overlay::kPages) {
      VqxCliToolsPrint(h, "Pages:\n%s", strList.c_str());
    } else if (!Page.IsNull()) {
      Page->Display();
    }
  } catch (...) {
    VQCAF_CURRENT_FAILURE("CVQCAFCli::Display");
  }
  Leave();
}

void CVQCAFCli::OnKey(int nKey, _VQX_CLI_TOOLS_CMD* pCmd, u32* pfHandled) {
  CVQCAFPtr<IVQCAFCliPage> Page;
  {
    CVQCAFMutexAutoGetGive Lock(&mMutex);
    *pfHandled = 1;
    const u32 un32Count = static_cast<u32>(maPages.size());
    if (mOverlay == Overlay::kPages && nKey >= '1' && nKey <= '9' && static_cast<u32>(nKey - '1') < un32Count) {
      mun32Current = static_cast<u32>(nKey - '1');
      mOverlay = Overlay::kNone;
      return;
    }
    switch (nKey) {
      case 'q':
        pCmd->un32Cmd = kCmdQuit;
        SetLabel(pCmd, 0, "Quit application (y/n)? ", "n");
        return;
      case 'T':
        pCmd->un32Cmd = kCmdTraceLevel;
        SetLabel(pCmd, 0, "Sub-module (name or ALL) : ", "ALL");
        SetLabel(pCmd, 1, "Trace level              : ", "2147483645");
        return;
      case '\\':
        ForceLogRotate(nullptr, nullptr);
        return;
      case '\t':
        if (un32Count != 0) mun32Current = (mun32Current + 1) % un32Count;
        return;
      case VQX_CLI_TOOLS_KEY_BACK_TAB:
        if (un32Count != 0) mun32Current = (mun32Current + un32Count - 1) % un32Count;
        return;
      case VQX_CLI_TOOLS_KEY_PAGE_UP:
        VqxCliToolsLogScroll(mhCli, 5);
        return;
      case VQX_CLI_TOOLS_KEY_PAGE_DOWN:
        VqxCliToolsLogScroll(mhCli, -5);
        return;
      case 'h':
        mOverlay = mOverlay == Overlay::kHelp ? Overlay::kNone : Overlay::kHelp;
        return;
      case 'l':
        mOverlay = mOverlay == Overlay::kPages ? Overlay::kNone : Overlay::kPages;
        return;
      case VQX_CLI_TOOLS_KEY_ESCAPE:
        mOverlay = Overlay::kNone;
        return;
      default:
        break;
    }
    *pfHandled = 0;
    if (mOverlay != Overlay::kNone || mun32Current >= un32Count) return;
    Page = maPages[mun32Current];
  }
  Enter(Page.Get());
  try {
    Page->HandleChoice(nKey, pCmd, pfHandled);
  } catch (...) {
    VQCAF_CURRENT_FAILURE("CVQCAFCli::HandleKey");
  }
  Leave();
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  mCmdPage = pCmd->un32Cmd != 0 ? Page : CVQCAFPtr<IVQCAFCliPage>();
}

void CVQCAFCli::OnValidate(_VQX_CLI_TOOLS_CMD* pCmd, u32* pfValid) {
  *pfValid = 0;
  const char* pszValue = pCmd->aszValue[pCmd->un32Index];
  u32 un32Level = 0;
  if (pCmd->un32Cmd == kCmdQuit) {
    *pfValid = strcasecmp(pszValue, "y") == 0 || strcasecmp(pszValue, "n") == 0;
    return;
  }
  if (pCmd->un32Cmd == kCmdTraceLevel) {
    *pfValid = pCmd->un32Index == 0 ? FindSubMod(pszValue) != -2 : ParseLevel(pszValue, &un32Level);
    return;
  }
  CVQCAFPtr<IVQCAFCliPage> Page;
  {
    CVQCAFMutexAutoGetGive Lock(&mMutex);
    Page = mCmdPage;
  }
  if (Page.IsNull()) return;
  Enter(Page.Get());
  try {
    unsigned int fValid = 0;
    Page->ValidateUserInput(pCmd, &fValid);
    *pfValid = fValid;
  } catch (...) {
    VQCAF_CURRENT_FAILURE("CVQCAFCli::Validate");
  }
  Leave();
}

void CVQCAFCli::OnApply(_VQX_CLI_TOOLS_CMD* pCmd) {
  if (pCmd->un32Cmd == kCmdQuit) {
    if (strcasecmp(pCmd->aszValue[0], "y") == 0 && mpfQuit != nullptr) *mpfQuit = 1;
    return;
  }
  if (pCmd->un32Cmd == kCmdTraceLevel) {
    ApplyUserInputSetTraceLevel(pCmd);
    return;
  }
  CVQCAFPtr<IVQCAFCliPage> Page;
  {
    CVQCAFMutexAutoGetGive Lock(&mMutex);
    Page.Swap(mCmdPage);
  }
  if (Page.IsNull()) return;
  Enter(Page.Get());
  try {
    Page->ApplyUserInput(pCmd);
  } catch (...) {
    VQCAF_CURRENT_FAILURE("CVQCAFCli::Apply");
  }
  Leave();
}

VQX_RESULT CVQCAFCli::ApplyUserInputSetTraceLevel(_VQX_CLI_TOOLS_CMD* pCmd) {
  if (pCmd == nullptr) return VQX_RESULT_NULL_PARAM;
  const int nSubMod = FindSubMod(pCmd->aszValue[0]);
  u32 un32Level = 0;
  if (nSubMod == -2 || !ParseLevel(pCmd->aszValue[1], &un32Level))
    return VQCAF_REPORT_FAILURE("CVQCAFCli::ApplyUserInputSetTraceLevel", "Invalid sub-module or level",
                                VQX_RESULT_INVALID_PARAM);
  for (u32 i = 0; i < VQCAF_SUBMODULE_COUNT; i++) {
    if (nSubMod == -1 || static_cast<u32>(nSubMod) == i) SetSubModTraceLevel(static_cast<_VQCAF_SUBMODULE_TYPE>(i), un32Level);
  }
  LogTrace(VQMSG, "Trace level of %s set to %s\n", pCmd->aszValue[0], GetTraceLevelName(un32Level));
  if (PFN_VQCAF_TRACE_LEVEL_CHANGED pfn = g_pfnTraceLevelChanged.load()) {
    const VQX_RESULT r = pfn();
    if (VQX_RESULT_FAILED(r)) return VQCAF_REPORT_FAILURE("CVQCAFCli::ApplyUserInputSetTraceLevel", "UpdateTraceLevel Failed.", r);
  }
  return VQX_RESULT_OK;
}

void CVQCAFCli::OnLogTrace(_VQX_TRACE_LEVEL, _VQCAF_SUBMODULE_TYPE, const char* pszText, u32) {
  VqxCliToolsLogAppend(mhCli, pszText);
}

}  // namespace VQCAF
