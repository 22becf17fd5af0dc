/*
 * sigtrace_adapter_page.cpp - one adapter's console page: its entity list
 * and the resynchronise and add-entity commands. Runs on the console
 * thread; every operation but Attach holds a pass on the adapter and the
 * adapter mutex throughout.
 */
#include "sigtrace_adapter_page.h"

#include <stdlib.h>

#include "sigtrace_adapter.h"
#include "sigtrace_cfg_cmdline.h"
#include "vqcafhashkey.h"
#include "vqcaflog.h"
#include "vqx_clitools_cli.h"
#include "vqx_string.h"

namespace VQCAF {

namespace {

constexpr const char* kSource = "CVQSigTraceAdapterPage";
constexpr const char* kRowFormat = "    %-32s | %-34s | %-s\n";
constexpr const char* kHelp =
    "(\033[32mr\033[m) Resynchronize adapter\n"
    "(\033[32ma\033[m) Add entity to monitor\n";

/* The add command's fields: labels 25 wide, colon in column 24. */
constexpr const char* kAddLabels[] = {
    "Entity                 : ",
    "Group                  : ",
    "Port (0 for all ports) : ",
    "Cap file               : ",
};

/* Entity descriptions by protocol: the time-division ones show trunk,
 * timeslot mask and bit mask. */
struct DescRow {
  u32 un32Type;
  const char* pszFormat;
};
constexpr DescRow kTdmDescriptions[] = {
    {VQ_SIGTRACE_TYPE_SS7, "SS7  (trk=%2u tsmask=%08X-%02X)"},
    {VQ_SIGTRACE_TYPE_ISDN, "ISDN (trk=%2u tsmask=%08X-%02X)"},
    {VQ_SIGTRACE_TYPE_LAPD, "LAPD (trk=%2u tsmask=%08X-%02X)"},
};

CVQCAFString Description(const CVQSigTraceEntityParams& E) {
  CVQCAFString str;
  for (const DescRow& D : kTdmDescriptions) {
    if (D.un32Type == E.mun32Type) {
      str.Format(D.pszFormat, E.mun32Trunk, E.mun32TimeslotMask, static_cast<u32>(E.mun8BitMask));
      return str;
    }
  }
  if (E.mun32Type == VQ_SIGTRACE_TYPE_CASR2) str.Format("CASR2 (trk=%2u)", E.mun32Trunk);
  else if (E.mun32Type == VQ_SIGTRACE_TYPE_IP) str.Format("IP  (%s %s:%u)", E.mstrEthPort.c_str(), E.mstrIpMask.c_str(), E.mun32Port);
  else str = E.mstrName;
  return str;
}

/* Leading decimal digits; anything else reads as 0. */
u32 ReadDecimal(const char* psz) { return static_cast<u32>(strtoul(psz, nullptr, 10)); }

}  // namespace

CVQSigTraceAdapterPage::CVQSigTraceAdapterPage(CVQSigTraceAdapter* pAdapter)
    : mpAdapter(pAdapter),
      mstrTitle(pAdapter->GetAdapterName()),
      mSubModId(pAdapter->GetLogSubModId()) {}

CVQSigTraceAdapterPage::CPass::CPass(CVQSigTraceAdapterPage& Page) : mPage(Page) {
  std::lock_guard<std::mutex> Lock(mPage.mGateMutex);
  mpAdapter = mPage.mpAdapter;
  if (mpAdapter != nullptr) mPage.mun32Calls++;
}

CVQSigTraceAdapterPage::CPass::~CPass() {
  if (mpAdapter == nullptr) return;
  std::lock_guard<std::mutex> Lock(mPage.mGateMutex);
  if (--mPage.mun32Calls == 0) mPage.mGateCond.notify_all();
}

void CVQSigTraceAdapterPage::Detach() {
  std::unique_lock<std::mutex> Lock(mGateMutex);
  mpAdapter = nullptr;
  mGateCond.wait(Lock, [&] { return mun32Calls == 0; });
}

/* The start of an operation: its pass, the adapter (the operation returns
 * Result once the page is detached) and the adapter's mutex. */
#define VQ_ADAPTER_PAGE_ENTER(Result)                  \
  const CPass Pass(*this);                             \
  CVQSigTraceAdapter* const pAdapter = Pass.Adapter(); \
  if (pAdapter == nullptr) return Result;              \
  CVQCAFMutexAutoGetGive Lock(&pAdapter->GetMutex())

/* The catch clause of the page's operations: the failure line under the
 * adapter's sub-module, the code returned. */
#define VQ_ADAPTER_PAGE_CATCH(pszOperation)                                                       \
  catch (...) {                                                                                   \
    const VQCAF_FAILURE F = VqcafCatchCurrentException((pszOperation), kSource, __LINE__);        \
    SubModLogTrace(mSubModId, VQERR, "%s", F.strLine.c_str());                                    \
    return F.un32Result;                                                                          \
  }

VQX_RESULT CVQSigTraceAdapterPage::Display() {
  try {
    VQ_ADAPTER_PAGE_ENTER(VQX_RESULT_OK);
    if (pAdapter->IsAdapterReady() == 0) {
      VqxCliToolsBlinkLine(mhCli);
      VqxCliToolsPrint(mhCli, "\033[33m********** Synchronization in progress ********** \033[m\n");
    }
    if (mfEnabled == 0) return VQX_RESULT_OK;
    const VQX_ADAPTER_INFO& I = pAdapter->GetAdapterInfo();
    /* Each text is read within its field of the board's record. */
    VqxCliToolsPrint(mhCli, "%.*s.%.*s - (%.*s-%.*s)\n", static_cast<int>(sizeof(I.szName)), I.szName,
                     static_cast<int>(sizeof(I.szName2)), I.szName2, static_cast<int>(sizeof(I.szIpAddress0)),
                     I.szIpAddress0, static_cast<int>(sizeof(I.szIpAddress1)), I.szIpAddress1);
    VqxCliToolsPrintFillLine(mhCli, '-');
    VqxCliToolsPrint(mhCli, "\n");
    mfMoreAbove = 0;
    mfMoreBelow = 0;
    VqxCliToolsPrint(mhCli, kRowFormat, "Name", "Desc", "Group");
    VqxCliToolsPrint(mhCli, kRowFormat, "--------------------------------", "--------------------------------",
                     "-----------");
    CVQSigTraceAdapter::EntityTable& Table = pAdapter->GetEntityTable();
    Table.ResetNext();
    u32 un32Position = 0;
    for (CVQSigTraceEntityParams* p = Table.Next(); p != nullptr; p = Table.Next(), un32Position++) {
      if (un32Position < mun32Scroll) {
        if (mfMoreAbove == 0)
          VqxCliToolsPrint(mhCli, "\033[33m(more entity to display above, press ctrl-up-arrow to scroll down)\n");
        mfMoreAbove = 1;
        continue;
      }
      if (VqxCliToolsGetRemainingLines(mhCli) < kMinFreeLines) {
        VqxCliToolsPrint(mhCli, "\033[33m(more entities to display below, press ctrl-down-arrow to scroll up)\n");
        mfMoreBelow = 1;
        break;
      }
      VqxCliToolsPrint(mhCli, kRowFormat, p->mstrName.c_str(), Description(*p).c_str(), p->mstrGroupName.c_str());
    }
    /* Room again (a taller terminal): the list drifts back one row per refresh. */
    if (mun32Scroll > 0 && VqxCliToolsGetRemainingLines(mhCli) > kMinFreeLines) mun32Scroll--;
    return VQX_RESULT_OK;
  }
  VQ_ADAPTER_PAGE_CATCH("CVQSigTraceAdapterPage::Display")
}

VQX_RESULT CVQSigTraceAdapterPage::HandleChoice(int nKey, _VQX_CLI_TOOLS_CMD* pCmd, unsigned int* pfHandled) {
  try {
    VQ_ADAPTER_PAGE_ENTER(VQX_RESULT_OK);
    if (mfEnabled == 0 || pCmd == nullptr || pfHandled == nullptr) return VQX_RESULT_OK;
    switch (nKey) {
      case 'r':
        pCmd->un32Cmd = kCmdResync;
        break;
      case 'a': {
        pCmd->un32Cmd = kCmdAddEntity;
        CVQCAFString astrDefaults[4] = {mEntityName, mGroupName, "", ""};
        astrDefaults[2].Format("%u", mun32Port);
        astrDefaults[3].Format("%u", mfCapFile);
        for (u32 i = 0; i < 4; i++) {
          Snprintf(pCmd->aszLabel[i], sizeof(pCmd->aszLabel[i]), "%s", kAddLabels[i]);
          Snprintf(pCmd->aszValue[i], sizeof(pCmd->aszValue[i]), "%s", astrDefaults[i].c_str());
        }
        break;
      }
      case VQX_CLI_TOOLS_KEY_CTRL_UP:
        if (mfMoreAbove != 0 && mun32Scroll > 0) mun32Scroll--;
        break;
      case VQX_CLI_TOOLS_KEY_CTRL_DOWN:
        if (mfMoreBelow != 0) mun32Scroll++;
        break;
      default:
        return VQX_RESULT_OK;
    }
    *pfHandled = 1;
    return VQX_RESULT_OK;
  }
  VQ_ADAPTER_PAGE_CATCH("CVQSigTraceAdapterPage::HandleChoice")
}

VQX_RESULT CVQSigTraceAdapterPage::ValidateUserInput(_VQX_CLI_TOOLS_CMD* pCmd, unsigned int* pfValid) {
  try {
    VQ_ADAPTER_PAGE_ENTER(VQX_RESULT_OK);
    if (mfEnabled == 0 || pCmd == nullptr || pfValid == nullptr) return VQX_RESULT_OK;
    if (pCmd->un32Cmd == kCmdResync) {
      *pfValid = 1;
    } else if (pCmd->un32Cmd == kCmdAddEntity && pCmd->un32Index < VQX_CLI_TOOLS_MAX_CMD_FIELDS) {
      const char* pszValue = pCmd->aszValue[pCmd->un32Index];
      if (pCmd->un32Index == 0)
        *pfValid = pAdapter->GetEntityTable().Find(CVQCAFHashKeyString(pszValue)) != nullptr ? 1 : 0;
      else if (pCmd->un32Index == 1)
        *pfValid = pszValue[0] != 0 ? 1 : 0;
      else
        *pfValid = 1;
    }
    return VQX_RESULT_OK;
  }
  VQ_ADAPTER_PAGE_CATCH("CVQSigTraceAdapterPage::ValidateUserInput")
}

VQX_RESULT CVQSigTraceAdapterPage::ApplyUserInput(_VQX_CLI_TOOLS_CMD* pCmd) {
  if (pCmd == nullptr) return VQX_RESULT_OK;
  const u32 un32Cmd = pCmd->un32Cmd;
  pCmd->un32Cmd = 0;
  try {
    VQ_ADAPTER_PAGE_ENTER(VQX_RESULT_OK);
    if (mfEnabled == 0) return VQX_RESULT_OK;
    if (un32Cmd == kCmdResync) {
      const VQX_RESULT r = pAdapter->Synchronize();
      if (VQX_RESULT_FAILED(r)) {
        SubModLogTrace(pAdapter->GetLogSubModId(), VQERR, "%s",
                       VqcafFormatFailureLine("CVQSigTraceAdapterPage::ApplyUserInput", "Resynchronize adapter failed.",
                                              r, kSource, __LINE__)
                           .c_str());
        return r;
      }
    } else if (un32Cmd == kCmdAddEntity) {
      mEntityName = pCmd->aszValue[0];
      mGroupName = pCmd->aszValue[1];
      mun32Port = ReadDecimal(pCmd->aszValue[2]);
      mfCapFile = ReadDecimal(pCmd->aszValue[3]) != 0 ? 1 : 0;
      /* CAS R2 is always traced as text, as the whole-adapter activation does. */
      CVQSigTraceEntityParams Entity;
      const bool fCasr2 = pAdapter->GetEntityInformation(mEntityName, &Entity) != 0 &&
                          Entity.mun32Type == VQ_SIGTRACE_TYPE_CASR2;
      /* The one answer is both the capture flag and the CAS R2 extended flag. */
      (void)pAdapter->SendAdapterNotifActivateMonitoring(mEntityName, mGroupName, mun32Port, fCasr2 ? 0 : mfCapFile,
                                                          mfCapFile);
    }
    return VQX_RESULT_OK;
  }
  VQ_ADAPTER_PAGE_CATCH("CVQSigTraceAdapterPage::ApplyUserInput")
}

const char* CVQSigTraceAdapterPage::GetTitle() { return mstrTitle.c_str(); }

u32 CVQSigTraceAdapterPage::IsEnabled() {
  VQ_ADAPTER_PAGE_ENTER(0);
  return mfEnabled;
}

void CVQSigTraceAdapterPage::SetEnabled(unsigned int fEnabled) {
  VQ_ADAPTER_PAGE_ENTER();
  mfEnabled = fEnabled != 0 ? 1 : 0;
}

const char* CVQSigTraceAdapterPage::GetHelp() { return kHelp; }

VQX_RESULT CVQSigTraceAdapterPage::Attach() {
  mfEnabled = 1;
  return VQX_RESULT_OK;
}

}  // namespace VQCAF
