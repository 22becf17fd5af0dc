/*
 * sigtrace_adapter_activate.cpp - trace activation on one adapter: which of
 * its discovered entities the command line selects and into which group,
 * posted as activation messages (0x0B080102) to this process's main thread,
 * which attaches each entity to its group when it takes the message.
 *
 * Called on the main thread (TraceFirst, ActivateAllTraces,
 * GetEntityInformation) and on the console thread (the page's add command);
 * each takes the adapter mutex.
 */
#include <string.h>

#include <algorithm>

#include "sigtrace_adapter.h"
#include "sigtrace_cfg_cmdline.h"
#include "vqcafhashkey.h"
#include "vqcaflog.h"
#include "vqx_host.h"
#include "vqx_string.h"

namespace VQCAF {

namespace {

using C = CVQSigTraceCfgCmdLine;

/* One traced family: the command-line flag that enables it, its group when
 * regrouping (null: one group per entity), whether "-old" gives each entity
 * its own group, and whether it is always written as text. */
struct FamilyRow {
  u32 un32Type;
  u32 C::*pfEnabled;
  const char* pszRegroup;
  bool fOldSplits;
  bool fTextOnly;
};
constexpr FamilyRow kFamilies[] = {
    {VQ_SIGTRACE_TYPE_SS7, &C::mfSs7, "SS7", false, false},
    {VQ_SIGTRACE_TYPE_ISDN, &C::mfIsdn, "ISDN", true, false},
    {VQ_SIGTRACE_TYPE_LAPD, &C::mfIsdn, "LAPD", true, false},
    {VQ_SIGTRACE_TYPE_CASR2, &C::mfCasr2, nullptr, false, true},
    {VQ_SIGTRACE_TYPE_IP, &C::mfIp, "IP", false, false},
};
/* The group of an entity of no family above. */
constexpr const char* kUnknownGroup = "UNK";
constexpr u32 kMaxNameLength = VQ_SIGTRACE_NOTIF_NAME_FIELD - 1;

const FamilyRow* FindFamily(u32 un32Type) {
  for (const FamilyRow& F : kFamilies) {
    if (F.un32Type == un32Type) return &F;
  }
  return nullptr;
}

}  // namespace

bool CVQSigTraceAdapter::CommandLineSelects(const CVQSigTraceCfgCmdLine& CmdLine, u32 un32Type) {
  const FamilyRow* pFamily = FindFamily(un32Type);
  return pFamily == nullptr || CmdLine.*(pFamily->pfEnabled) != 0;
}

void CVQSigTraceAdapter::TraceFirst(const CVQSigTraceCfgCmdLine& CmdLine) {
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  mun32TracedTypes = 0;
  for (const FamilyRow& F : kFamilies)
    if (CmdLine.*(F.pfEnabled) != 0) mun32TracedTypes |= 1u << F.un32Type;
}

std::vector<CVQSigTraceEntityParams> CVQSigTraceAdapter::CommandLineSelection(const CVQSigTraceCfgCmdLine& CmdLine) {
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  /* The name field of the record is 128 bytes and need not be terminated. */
  const CVQCAFString strAdapter(mAdapterInfo.szName2, static_cast<u32>(strnlen(mAdapterInfo.szName2, sizeof(mAdapterInfo.szName2))));
  std::vector<CVQSigTraceEntityParams> vSelected;
  mEntities.ResetNext();
  for (CVQSigTraceEntityParams* p = mEntities.Next(); p != nullptr; p = mEntities.Next()) {
    if (!CommandLineSelects(CmdLine, p->mun32Type)) continue;
    const FamilyRow* pFamily = FindFamily(p->mun32Type);
    CVQSigTraceEntityParams E = *p;
    E.mstrAdapterName = strAdapter;
    E.mstrGroupName = kUnknownGroup;
    if (pFamily != nullptr) {
      const bool fOwnGroup = CmdLine.mfRegroup == 0 || pFamily->pszRegroup == nullptr ||
                             (pFamily->fOldSplits && CmdLine.mfOldIsdnCap != 0);
      if (fOwnGroup) E.mstrGroupName.Format("%s_%s", strAdapter.c_str(), p->mstrGroupName.c_str());
      else E.mstrGroupName = pFamily->pszRegroup;
    }
    E.mfCapFile = pFamily != nullptr && pFamily->fTextOnly ? 0 : (CmdLine.mfCapFormat != 0 ? 1 : 0);
    E.mfExtended = CmdLine.mfCasr2Extended != 0 ? 1 : 0;
    vSelected.push_back(E);
  }
  return vSelected;
}

u32 CVQSigTraceAdapter::ActivateAllTraces(CVQSigTraceCfgCmdLine& CmdLine,
                                          const std::function<bool(const CVQSigTraceEntityParams&)>& fnTracedElsewhere) {
  static constexpr const char* kOp = "CVQSigTraceAdapter::ActivateAllTraces";
  try {
    CVQCAFMutexAutoGetGive Lock(&mMutex);
    for (CVQSigTraceEntityParams& E : CommandLineSelection(CmdLine))
      if (!fnTracedElsewhere || !fnTracedElsewhere(E))
        (void)SendAdapterNotifActivateMonitoring(E.mstrName, E.mstrGroupName, E.mun32Port, E.mfCapFile, E.mfExtended);
    return VQX_RESULT_OK;
  } catch (...) {
    return CaughtFailure(kOp, __LINE__);
  }
}

u32 CVQSigTraceAdapter::GetEntityInformation(CVQCAFString& strName, CVQSigTraceEntityParams* pEntity) {
  if (pEntity == nullptr) return 0;
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  const CVQSigTraceEntityParams* pFound = mEntities.Find(CVQCAFHashKeyString(strName.c_str()));
  if (pFound == nullptr) return 0;
  *pEntity = *pFound;
  return 1;
}

u32 CVQSigTraceAdapter::SendAdapterNotifActivateMonitoring(CVQCAFString& strEntityName, CVQCAFString& strGroupName,
                                                           unsigned int un32Port, unsigned int fCapFile,
                                                           unsigned int fExtended) {
  static constexpr const char* kOp = "CVQSigTraceAdapter::SendAdapterNotifActivateMonitoring";
  const CVQCAFString strAdapter(mAdapterInfo.szName2, static_cast<u32>(strnlen(mAdapterInfo.szName2, sizeof(mAdapterInfo.szName2))));
  LogTrace(VQMSG, "\033[33mActivate traces on %s:%s in group=%s", strAdapter.c_str(), strEntityName.c_str(),
           strGroupName.c_str());
  /* A cut name would name another entity, or merge two groups: refuse it. */
  if (strEntityName.GetLength() > kMaxNameLength || strGroupName.GetLength() > kMaxNameLength) {
    char szText[128];
    Snprintf(szText, sizeof(szText), "Name longer than %u characters (entity %u, group %u)", kMaxNameLength,
             strEntityName.GetLength(), strGroupName.GetLength());
    return Failure(kOp, szText, VQX_RESULT_INVALID_PARAM, __LINE__);
  }
  VQX_MSG_HANDLE hMsg = nullptr;
  u32 r = NewMsg(kOp, QUELLAN_NOTIF_ACTIVATE_MONITORING, VQX_MSG_TYPE_EVENT, VQ_SIGTRACE_NOTIF_ACTIVATE_SIZE,
                 VQX_HOSTLIB_ADAPTER_HANDLE, 0, &hMsg);
  if (VQX_RESULT_FAILED(r)) return r;
  u8* pPayload = VQXMsgPayload(hMsg);
  if (hMsg->un32PayloadLength == VQ_SIGTRACE_NOTIF_ACTIVATE_SIZE) {
    memcpy(pPayload + VQ_SIGTRACE_NOTIF_OFFSET_INFO, &mAdapterInfo, sizeof(mAdapterInfo));
    memcpy(pPayload + VQ_SIGTRACE_NOTIF_OFFSET_ENTITY, strEntityName.c_str(), strEntityName.GetLength());
    memcpy(pPayload + VQ_SIGTRACE_NOTIF_OFFSET_GROUP, strGroupName.c_str(), strGroupName.GetLength());
    const u32 aun32Values[] = {un32Port, fCapFile, fExtended};
    memcpy(pPayload + VQ_SIGTRACE_NOTIF_OFFSET_PORT, aun32Values, sizeof(aun32Values));
  }
  r = VQXSendMsgDbg(mhHostLib, &hMsg, nullptr, __FILE__, __LINE__);
  if (VQX_RESULT_FAILED(r)) return Failure(kOp, "VQXSendMsg failed", r, __LINE__);
  return VQX_RESULT_OK;
}

static_assert(VQ_SIGTRACE_NOTIF_OFFSET_INFO + sizeof(VQX_ADAPTER_INFO) == VQ_SIGTRACE_NOTIF_OFFSET_ENTITY);
static_assert(VQ_SIGTRACE_NOTIF_OFFSET_ENTITY + VQ_SIGTRACE_NOTIF_NAME_FIELD == VQ_SIGTRACE_NOTIF_OFFSET_GROUP);
static_assert(VQ_SIGTRACE_NOTIF_OFFSET_GROUP + VQ_SIGTRACE_NOTIF_NAME_FIELD == VQ_SIGTRACE_NOTIF_OFFSET_PORT);
static_assert(VQ_SIGTRACE_NOTIF_OFFSET_PORT + 4 == VQ_SIGTRACE_NOTIF_OFFSET_PCAP);
static_assert(VQ_SIGTRACE_NOTIF_OFFSET_PCAP + 4 == VQ_SIGTRACE_NOTIF_OFFSET_EXTENDED);
static_assert(VQ_SIGTRACE_NOTIF_OFFSET_EXTENDED + 4 == VQ_SIGTRACE_NOTIF_ACTIVATE_SIZE);

}  // namespace VQCAF
