/*
 * sigtrace_page.cpp - the application's main console page: the group table
 * and the operator's commands. Runs on the console thread; every operation
 * but Attach holds the application mutex throughout.
 */
#include "sigtrace_page.h"

#include <strings.h>

#include <cctype>

#include "sigtrace_adapter.h"
#include "sigtrace_app.h"
#include "sigtracegrp.h"
#include "vqcafhashkey.h"
#include "vqcaflog.h"
#include "vqx_clitools_cli.h"
#include "vqx_clock.h"
#include "vqx_string.h"

namespace VQCAF {

namespace {

constexpr const char* kSource = "CVQSigTracePage";
constexpr const char* kTableFormat = "    %-39s | %-5s | %-9s | %-9s | %-9s | %-9s | %-9s | %s\n";
constexpr const char* kNoteAbove = "\033[33m(more groups to display above, press ctrl-up-arrow to scroll down)\n";
constexpr const char* kNoteBelow = "\033[33m(more groups to display below, press ctrl-down-arrow to scroll up)\n";
constexpr const char* kHelp =
    "(\033[32mr\033[m) Reload configuration\n"
    "(\033[32mf\033[m) Split log file (continue logging to another segment)\n"
    "(\033[32mc\033[m) Clear screen\n"
    "(\033[32ms\033[m) Stop monitoring an entity\n"
    "(\033[32mg\033[m) Split log for a group\n"
    "(\033[32mctrl-up\033[m)   Scroll down group window\n"
    "(\033[32mctrl-down\033[m) Scroll up group window\n";

/* One field of a command: its label and its default value. */
struct SField {
  const char* pszLabel;
  const char* pszDefault;
};

void SetFields(_VQX_CLI_TOOLS_CMD* pCmd, u32 un32Cmd, std::initializer_list<SField> aFields) {
  pCmd->un32Cmd = un32Cmd;
  u32 i = 0;
  for (const SField& F : aFields) {
    Snprintf(pCmd->aszLabel[i], sizeof(pCmd->aszLabel[i]), "%s", F.pszLabel);
    Snprintf(pCmd->aszValue[i], sizeof(pCmd->aszValue[i]), "%s", F.pszDefault);
    i++;
  }
}

bool IsAll(const char* psz) { return strcasecmp(psz, "ALL") == 0; }

/* The provider-group answer, upper-cased in place: 1 yes, 0 no, -1 neither. */
int ReadYesNo(char* psz) {
  for (char* p = psz; *p != '\0'; p++) *p = static_cast<char>(toupper(static_cast<unsigned char>(*p)));
  if (strcmp(psz, "YES") == 0 || strcmp(psz, "Y") == 0) return 1;
  if (strcmp(psz, "NO") == 0 || strcmp(psz, "N") == 0) return 0;
  return -1;
}

u32 ClockMs() { return static_cast<u32>(VQXGetClock()); }

}  // namespace

CVQSigTracePage::CVQSigTracePage(CVQSigTrace* pSigTrace) : mpSigTrace(pSigTrace) {}

/* The catch clause of the page's operations: the failure line, the code returned. */
#define VQ_PAGE_CATCH(pszOperation)                                                          \
  catch (...) {                                                                              \
    const VQCAF_FAILURE F = VqcafCatchCurrentException((pszOperation), kSource, __LINE__);   \
    SubModLogTrace(VQCAF_SUBMODULE_VQLT, VQERR, "%s", F.strLine.c_str());                    \
    return F.un32Result;                                                                     \
  }

VQX_RESULT CVQSigTracePage::Display() {
  try {
    CVQSigTrace& App = *mpSigTrace;
    CVQCAFMutexAutoGetGive Lock(&App.mAppMutex);
    if (App.IsApplicationReady() == 0) {
      VqxCliToolsBlinkLine(mhCli);
      VqxCliToolsPrint(mhCli, "\033[33m********** STANDBY MODE ********** (waiting configuration from CM master)\033[m\n");
    }
    if (mfEnabled == 0) return VQX_RESULT_OK;
    const u32 un32Elapsed = (ClockMs() - mun32AttachTimeMs) / 1000;
    char szLimit[16] = "";
    if (App.mCmdLine.mun32ExecTimeMs != 0xFFFFFFFFu) Snprintf(szLimit, sizeof(szLimit), "/%u", App.mCmdLine.mun32ExecTimeMs / 1000);
    const _VQX_HOST_INFO& Host = App.mHostInfo;
    VqxCliToolsPrint(mhCli, "%.*s.%s - GW_PORT=\033[32m%u\033[m File:\033[32m%s\033[m\n",
                     static_cast<int>(sizeof(Host.szHostName)), Host.szHostName, App.mstrAppName.c_str(),
                     App.mun32GwPort, GetCurrentLogFile());
    auto& Groups = App.mGroups;
    VqxCliToolsPrint(mhCli, "Running \033[32m%u%s\033[m sec, \033[32m%u\033[m packets received, %u groups mun32Scroll=%u\n",
                     un32Elapsed, szLimit, App.mun32PacketCount, Groups.GetCount(), mun32Scroll);
    VqxCliToolsPrintFillLine(mhCli, '-');
    VqxCliToolsPrint(mhCli, "\n");
    VqxCliToolsPrint(mhCli, kTableFormat, "Group", "Type", "Nb", "RX", "TX", "EXT", "LOST", "Filename");
    VqxCliToolsPrint(mhCli, kTableFormat, "--------------------------------", "-----", "---------", "---------",
                     "---------", "---------", "---------", "---------");
    u32 un32Entities = 0, un32Rx = 0, un32Tx = 0, un32Ext = 0, un32Lost = 0;
    bool fMoreBelow = false;
    u32 un32Position = 0;
    Groups.ResetNext();
    for (CVQSigTraceGrp* g = Groups.Next(); g != nullptr; g = Groups.Next(), un32Position++) {
      un32Entities += static_cast<u32>(g->mvEntities.size());
      un32Rx += g->mun32RxCount;
      un32Tx += g->mun32TxCount;
      un32Ext += g->mun32ExtCount;
      un32Lost += g->mun32LostCount;
      if (un32Position < mun32Scroll) {
        if (un32Position == 0) VqxCliToolsPrint(mhCli, "%s", kNoteAbove);
        continue;
      }
      /* The groups below the screen still count into the totals. */
      if (fMoreBelow || VqxCliToolsGetRemainingLines(mhCli) < kMinFreeLines) {
        fMoreBelow = true;
        continue;
      }
      VqxCliToolsPrint(mhCli, "%s    %-39s | %-5s | %9u | %9u | %9u | %9u | %9u | %s\033[m\n",
                       g->mfCaptureOff ? "\033[31m" : "\033[32m", g->mstrName.c_str(),
                       VqSigTraceEntityTypeName(g->mun32Type), static_cast<u32>(g->mvEntities.size()), g->mun32RxCount,
                       g->mun32TxCount, g->mun32ExtCount, g->mun32LostCount, g->mfStdout ? "stdout" : g->mstrCurrentFile.c_str());
      for (const CVQSigTraceEntityParams& e : g->mvEntities) {
        if (VqxCliToolsGetRemainingLines(mhCli) < kMinFreeLines) {
          VqxCliToolsPrint(mhCli, "        %8s:%-46s\n", "", "too many entity in the same group");
          break;
        }
        CVQCAFString strLabel;
        if (g->mun32Type == VQ_SIGTRACE_TYPE_H248) strLabel = e.mstrName;
        else strLabel.Format("%s:%s", e.mstrAdapterName.c_str(), e.mstrName.c_str());
        VqxCliToolsPrint(mhCli, "        %-55s | %9u | %9u | %9u\n", strLabel.c_str(), e.mun32RxCount, e.mun32TxCount,
                         e.mun32ExtCount);
      }
    }
    VqxCliToolsPrint(mhCli, "\033[32m    %-39s | %-5s | %9u | %9u | %9u | %9u | %9u | %s\033[m\n", "TOTAL", "", un32Entities,
                     un32Rx, un32Tx, un32Ext, un32Lost, "");
    if (fMoreBelow) VqxCliToolsPrint(mhCli, "%s", kNoteBelow);
    return VQX_RESULT_OK;
  }
  VQ_PAGE_CATCH("CVQSigTracePage::Display")
}

VQX_RESULT CVQSigTracePage::HandleChoice(int nKey, _VQX_CLI_TOOLS_CMD* pCmd, unsigned int* pfHandled) {
  try {
    CVQSigTrace& App = *mpSigTrace;
    CVQCAFMutexAutoGetGive Lock(&App.mAppMutex);
    if (mfEnabled == 0 || pCmd == nullptr || pfHandled == nullptr) return VQX_RESULT_OK;
    switch (nKey) {
      case 'Q':
        SubModLogTrace(VQCAF_SUBMODULE_VQLT, VQMSG, "CVQSigTracePage::HandleChoice: manually quitting application!!");
        App.RequestQuit();
        break;
      case 'c':
        VqxCliToolsLogClearBuffer(mhCli);
        break;
      case 'f':
        (void)ForceLogRotate(nullptr, nullptr);
        break;
      case 'r':
        SetFields(pCmd, kCmdReload, {{"File: ", App.GetConfigFilePath().c_str()}});
        break;
      case 's':
        SetFields(pCmd, kCmdStopMonitoring,
                  {{"Adapter        : ", mAdapterName.c_str()}, {"Entity         : ", mEntityName.c_str()}});
        break;
      case 'g':
        if (mGroupName.GetLength() == 0) mGroupName = "ALL";
        SetFields(pCmd, kCmdSplitGroup, {{"Group          : ", mGroupName.c_str()}});
        break;
      case 'p':
        if (mGroupName.GetLength() == 0) {
          App.mGroups.ResetNext();
          if (CVQSigTraceGrp* g = App.mGroups.Next()) mGroupName = g->mstrName;
          App.mGroups.ResetNext();
        }
        SetFields(pCmd, kCmdProviderGroup, {{"Provider group : ", mGroupName.c_str()}, {"Enable         : ", "No"}});
        break;
      case VQX_CLI_TOOLS_KEY_CTRL_UP:
        if (mun32Scroll > 0) mun32Scroll--;
        break;
      case VQX_CLI_TOOLS_KEY_CTRL_DOWN:
        if (mun32Scroll < App.mGroups.GetCount()) mun32Scroll++;
        break;
      default:
        return VQX_RESULT_OK;
    }
    *pfHandled = 1;
    return VQX_RESULT_OK;
  }
  VQ_PAGE_CATCH("CVQSigTracePage::HandleChoice")
}

VQX_RESULT CVQSigTracePage::ValidateUserInput(_VQX_CLI_TOOLS_CMD* pCmd, unsigned int* pfValid) {
  try {
    CVQSigTrace& App = *mpSigTrace;
    CVQCAFMutexAutoGetGive Lock(&App.mAppMutex);
    if (mfEnabled == 0 || pCmd == nullptr || pfValid == nullptr) return VQX_RESULT_OK;
    const u32 un32Cmd = pCmd->un32Cmd;
    if (un32Cmd < kCmdReload || un32Cmd > kCmdProviderGroup) return VQX_RESULT_OK;
    const u32 i = pCmd->un32Index;
    char* pszValue = i < VQX_CLI_TOOLS_MAX_CMD_FIELDS ? pCmd->aszValue[i] : nullptr;
    const CVQCAFHashKeyString Key(pszValue != nullptr ? pszValue : "");
    bool fValid = false;
    if (un32Cmd == kCmdReload) {
      fValid = true;
    } else if (un32Cmd == kCmdStopMonitoring && i == 0) {
      fValid = App.mAdapters.Find(Key) != nullptr;
    } else if (un32Cmd == kCmdStopMonitoring && i == 1) {
      App.mGroups.ResetNext();
      for (CVQSigTraceGrp* g = App.mGroups.Next(); g != nullptr && !fValid; g = App.mGroups.Next())
        for (const CVQSigTraceEntityParams& e : g->mvEntities) fValid = fValid || e.mstrName == pszValue;
      App.mGroups.ResetNext();
    } else if (un32Cmd == kCmdSplitGroup && i == 0) {
      fValid = IsAll(pszValue) || App.mGroups.Find(Key) != nullptr;
    } else if (un32Cmd == kCmdProviderGroup && i == 0) {
      fValid = App.mGroups.Find(Key) != nullptr;
    } else if (un32Cmd == kCmdProviderGroup && i == 1) {
      fValid = ReadYesNo(pszValue) >= 0;
      if (!fValid) Snprintf(pszValue, VQX_CLI_TOOLS_CMD_TEXT_SIZE, "No");
    }
    *pfValid = fValid ? 1 : 0;
    return VQX_RESULT_OK;
  }
  VQ_PAGE_CATCH("CVQSigTracePage::ValidateUserInput")
}

VQX_RESULT CVQSigTracePage::ApplyUserInput(_VQX_CLI_TOOLS_CMD* pCmd) {
  if (pCmd == nullptr) return VQX_RESULT_OK;
  try {
    CVQSigTrace& App = *mpSigTrace;
    CVQCAFMutexAutoGetGive Lock(&App.mAppMutex);
    const u32 un32Cmd = pCmd->un32Cmd;
    pCmd->un32Cmd = 0;
    if (mfEnabled == 0) return VQX_RESULT_OK;
    auto& Groups = App.mGroups;
    if (un32Cmd == kCmdStopMonitoring) {
      mAdapterName = pCmd->aszValue[0];
      mEntityName = pCmd->aszValue[1];
      Groups.ResetNext();
      for (CVQSigTraceGrp* g = Groups.Next(); g != nullptr; g = Groups.Next()) {
        for (CVQSigTraceEntityParams& e : g->mvEntities) {
          if (e.mstrName == mEntityName.c_str() && e.mstrAdapterName == mAdapterName.c_str()) {
            Groups.ResetNext();
            CVQSigTraceEntityParams Entity(e); /* the group's copy goes away inside */
            (void)App.DetachEntity(*g, Entity);
            return VQX_RESULT_OK;
          }
        }
      }
    } else if (un32Cmd == kCmdReload) {
      /* The file is read without the application mutex, and the path taken only when it applies. */
      const CVQCAFString strPath(pCmd->aszValue[0]);
      VQX_RESULT r;
      {
        CVQCAFMutexAutoGiveGet Unlock(&App.mAppMutex);
        r = App.ReloadConfig(0, strPath);
      }
      if (VQX_RESULT_FAILED(r)) {
        SubModLogTrace(VQCAF_SUBMODULE_VQLT, VQERR, "%s",
                       VqcafFormatFailureLine("CVQSigTracePage::ApplyUserInput", "ReloadConfig failed.", r, kSource,
                                              __LINE__)
                           .c_str());
        return r;
      }
    } else if (un32Cmd == kCmdSplitGroup) {
      mGroupName = pCmd->aszValue[0];
      const bool fAll = IsAll(mGroupName.c_str());
      Groups.ResetNext();
      for (CVQSigTraceGrp* g = Groups.Next(); g != nullptr; g = Groups.Next())
        if (fAll || g->mstrName == mGroupName.c_str()) (void)g->ForceLogRotation();
    } else if (un32Cmd == kCmdProviderGroup) {
      mGroupName = pCmd->aszValue[0];
      const u32 un32State = ReadYesNo(pCmd->aszValue[1]) == 1 ? 1 : 0;
      if (CVQSigTraceGrp* g = Groups.Find(CVQCAFHashKeyString(mGroupName.c_str())))
        App.ChangeProviderGroupState(g, un32State);
    }
    return VQX_RESULT_OK;
  }
  VQ_PAGE_CATCH("CVQSigTracePage::ApplyUserInput")
}

const char* CVQSigTracePage::GetTitle() { return "SigTrace"; }

u32 CVQSigTracePage::IsEnabled() {
  CVQCAFMutexAutoGetGive Lock(&mpSigTrace->mAppMutex);
  return mfEnabled;
}

void CVQSigTracePage::SetEnabled(unsigned int fEnabled) {
  CVQCAFMutexAutoGetGive Lock(&mpSigTrace->mAppMutex);
  mfEnabled = fEnabled;
}

const char* CVQSigTracePage::GetHelp() { return kHelp; }

VQX_RESULT CVQSigTracePage::Attach() {
  mfEnabled = 1;
  mun32AttachTimeMs = ClockMs();
  return VQX_RESULT_OK;
}

}  // namespace VQCAF
