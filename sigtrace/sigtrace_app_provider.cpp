/*
 * sigtrace_app_provider.cpp - the application's side of the remote trace
 * providers: one CVQSigTraceProviderEntity per remote application offering
 * the provider service, its H.248 group, its data written there, and the
 * console's capture switch of a provider group.
 *
 * OnServiceConnected / OnServiceDisconnected run on the services thread and
 * take the application mutex; OnRegister, OnUnregister and OnTraceMsgReceived
 * are called by a provider with it held (its OnMsgReceived), and
 * ChangeProviderGroupState by the console page with it held.
 *
 * A provider's group is named by the name it registers (the group writes its
 * files under that name through its own neutralising, so a name cannot leave
 * the trace directory); the provider is the entity "<host>.<application>" in
 * it. The group's format is the configured h248 record's capfile when the
 * configuration has one, else the command line's.
 *
 * Every refusal (a link beyond the pool, a registration, unregistration or
 * data message that cannot be taken) has its line naming the provider and
 * the group, once a second per kind of line (RefuseProvider); data for a
 * group whose capture the console switched off is dropped, with its line.
 */
#include <cstring>

#include "sigtrace_app.h"
#include "sigtrace_provider_entity.h"
#include "vqcafdebuginfo.h"
#include "vqcafhashkey.h"

namespace VQCAF {

namespace {

/* Data for a group switched off: the console's doing, not the provider's fault (a message-level line). */
constexpr const char* kCaptureOffDrop = "Data dropped: the group's capture is off";

/* The provider's entity in the group, or null. */
CVQSigTraceEntityParams* FindProviderEntity(CVQSigTraceGrp& Group, const CVQCAFString& strKey) {
  for (CVQSigTraceEntityParams& e : Group.mvEntities)
    if (e.mstrName == strKey.c_str()) return &e;
  return nullptr;
}

/* The boundary's catch clause: the failure line under the application's
 * sub-module; the code. */
u32 Caught(CVQSigTrace& App, const char* pszOperation, int nLine) {
  const VQCAF_FAILURE F = VqcafCatchCurrentException(pszOperation, "CVQSigTrace", nLine);
  App.LogTrace(VQERR, "%s", F.strLine.c_str());
  return F.un32Result;
}

}  // namespace

CVQCAFServiceInstance* CVQSigTrace::OnServiceConnected(CVQCAFService* /*pService*/, CVQCAFServiceInfo* pInfo) {
  try {
    CVQCAFMutexAutoGetGive Lock(&mAppMutex);
    if (pInfo == nullptr) return nullptr;
    const _VQX_HOST_INFO& Host = pInfo->mHostInfo;
    const CVQCAFString strKey = CVQSigTraceProviderEntity::KeyOf(Host);
    const CVQCAFHashKeyString Key(strKey.c_str());
    if (mProviders.Find(Key) != nullptr) {
      LogTrace(VQMSG, "OnServiceConnected: Application %s already present", strKey.c_str());
      return nullptr;
    }
    LogTrace(VQMSG, "OnServiceConnected: New application %s detected", strKey.c_str());
    CVQSigTraceProviderEntity* p = mProviders.Alloc(VQCAF_DEBUG_INFO, Key);
    if (p == nullptr) {
      static_assert(QUELLAN_MAX_PROVIDERS == 20, "the refusal names the limit");
      RefuseProvider("CVQSigTrace::OnServiceConnected", "Cannot allocate context (20 providers at most)", strKey,
                     nullptr, VQX_RESULT_OUT_OF_RESOURCE, __LINE__);
      return nullptr;
    }
    p->mpAppMutex = &mAppMutex;
    p->mpSigTrace = this;
    memcpy(&p->mHostInfo, &Host, sizeof(p->mHostInfo));
    return p;
  } catch (...) {
    Caught(*this, "CVQSigTrace::OnServiceConnected", __LINE__);
    return nullptr;
  }
}

void CVQSigTrace::OnServiceDisconnected(CVQCAFService* /*pService*/, CVQCAFServiceInstance* pInstance) {
  CVQCAFMutexAutoGetGive Lock(&mAppMutex);
  /* The link is gone and nothing reaches the instance any more: free it. Its
   * entity stays in its group (the group keeps its counters and file). */
  mProviders.ResetNext();
  for (CVQSigTraceProviderEntity* p = mProviders.Next(); p != nullptr; p = mProviders.Next()) {
    if (p == pInstance) {
      mProviders.ResetNext();
      (void)mProviders.Free(VQCAF_DEBUG_INFO, p);
      return;
    }
  }
}

u32 CVQSigTrace::OnRegister(CVQSigTraceProviderEntity* pProvider, unsigned int un32Type, char* pszName,
                            char* /*pszDescription*/) {
  static constexpr const char* kOp = "CVQSigTrace::OnRegister";
  try {
    if (pProvider == nullptr || pszName == nullptr) return VQX_RESULT_NULL_PARAM;
    const CVQCAFString strKey = pProvider->GetKey();
    if (un32Type == VQCAF_SIGTRACE_TYPE_H248 && mCmdLine.mfH248 == 0)
      return RefuseProvider(kOp, "Registration ignored: H.248 tracing is off (-h248 not given)", strKey, pszName,
                            VQX_RESULT_NOT_READY, __LINE__, VQMSG);
    if (pszName[0] == '\0')
      return RefuseProvider(kOp, "Empty provider name refused", strKey, pszName, VQX_RESULT_INVALID_PARAM, __LINE__);
    CVQSigTraceEntityParams Entity;
    Entity.mun32Type = VQ_SIGTRACE_TYPE_H248;
    Entity.mstrGroupName = pszName;
    Entity.mstrName = pProvider->GetKey();
    /* The configured h248 record sets the provider groups' format. */
    Entity.mfCapFile = mCmdLine.mfCapFormat != 0 ? 1 : 0;
    for (const CVQSigTraceEntityParams& R : mSigTraceParams)
      if (R.mun32Type == VQ_SIGTRACE_TYPE_H248) Entity.mfCapFile = R.mfCapFile;
    CVQSigTraceGrp* pGroup = mGroups.Find(CVQCAFHashKeyString(pszName));
    if (pGroup != nullptr && pGroup->mun32Type != VQ_SIGTRACE_TYPE_H248)
      return RefuseProvider(kOp, "Type mismatch: Several providers using same name but different type", strKey, pszName,
                            VQX_RESULT_INVALID_PARAM, __LINE__);
    if (pGroup == nullptr) pGroup = FindOrCreateGroup(Entity);
    if (pGroup == nullptr)
      return RefuseProvider(kOp, "No more group context (increase QUELLAN_MAX_GROUPS define)", strKey, pszName,
                            VQX_RESULT_OUT_OF_RESOURCE, __LINE__);
    if (FindProviderEntity(*pGroup, Entity.mstrName) == nullptr) {
      Entity.mun32ProviderEntityId = ++mun32EntityNumber;
      Entity.mfCapFile = pGroup->mfPcap;
      pGroup->mvEntities.push_back(Entity);
      mUnitIndex.Invalidate();
      LogTrace(VQMSG, "Allocate entity: add \033[32m%s\033[m in group \033[32m%s\033[m %s", Entity.mstrName.c_str(),
               pGroup->mstrName.c_str(), pGroup->IsPcap() ? "CAP" : "FORMAT");
    }
    /* A group whose capture the console switched off keeps it off. */
    return pProvider->SendCaptureRequest(pGroup->mfCaptureOff != 0 ? 0 : 1);
  } catch (...) {
    return Caught(*this, "CVQSigTrace::OnRegister", __LINE__);
  }
}

u32 CVQSigTrace::OnUnregister(CVQSigTraceProviderEntity* pProvider, unsigned int /*un32Type*/, char* pszName,
                              char* /*pszDescription*/) {
  if (pProvider == nullptr || pszName == nullptr) return VQX_RESULT_NULL_PARAM;
  const CVQCAFString strKey = pProvider->GetKey();
  CVQSigTraceGrp* pGroup = mGroups.Find(CVQCAFHashKeyString(pszName));
  if (pGroup != nullptr && pGroup->mun32Type == VQ_SIGTRACE_TYPE_H248) {
    for (auto it = pGroup->mvEntities.begin(); it != pGroup->mvEntities.end(); ++it) {
      if (it->mstrName != strKey.c_str()) continue;
      LogTrace(VQMSG, "Free entity: \033[32m %s\033[m in group \033[32m%s\033[m", strKey.c_str(),
               pGroup->mstrName.c_str());
      pGroup->mvEntities.erase(it);
      mUnitIndex.Invalidate();
      return VQX_RESULT_OK;
    }
  }
  return RefuseProvider("CVQSigTrace::OnUnregister", "Unregister refused: the provider is not in that group", strKey,
                        pszName, VQX_RESULT_NOT_FOUND, __LINE__);
}

u32 CVQSigTrace::OnTraceMsgReceived(CVQSigTraceProviderEntity* pProvider, unsigned int un32Type, char* pszName,
                                    unsigned int un32Direction, unsigned char* pData, unsigned int un32Length) {
  static constexpr const char* kOp = "CVQSigTrace::OnTraceMsgReceived";
  if (pProvider == nullptr || pszName == nullptr || pData == nullptr) return VQX_RESULT_NULL_PARAM;
  LogTrace(VQLV1, "\033[32mMessage received from entity. Type: %u Name: %s Direction: %u\033[m", un32Type, pszName,
           un32Direction);
  const CVQCAFString strKey = pProvider->GetKey();
  if (un32Length > VQCAF_SIGTRACE_MAX_DATA)
    return RefuseProvider(kOp, "Data length over 10240 bytes refused", strKey, pszName, VQX_RESULT_INVALID_PARAM, __LINE__);
  CVQSigTraceGrp* pGroup = mGroups.Find(CVQCAFHashKeyString(pszName));
  CVQSigTraceEntityParams* pEntity =
      pGroup != nullptr && pGroup->mun32Type == VQ_SIGTRACE_TYPE_H248 ? FindProviderEntity(*pGroup, strKey) : nullptr;
  if (pEntity == nullptr)
    return RefuseProvider(kOp, "Data refused: the provider is not in that group", strKey, pszName, VQX_RESULT_NOT_FOUND,
                          __LINE__);
  /* The console switched the group's capture off: nothing is written for it (a provider told so stops sending;
   * what was in flight, or one that does not obey, is dropped here). */
  if (pGroup->mfCaptureOff != 0)
    return RefuseProvider(kOp, kCaptureOffDrop, strKey, pszName, VQX_RESULT_INVALID_STATE, __LINE__, VQMSG);
  return pGroup->WriteH248PacketData(*pEntity, un32Direction, un32Length, pData);
}

u32 CVQSigTrace::RefuseProvider(const char* pszOperation, const char* pszText, const CVQCAFString& strProvider,
                                const char* pszGroup, u32 un32Result, int nLine, _VQX_TRACE_LEVEL Level) {
  u32 un32LeftOut = 0;
  if (!AllowProviderRefusal(pszText, un32LeftOut)) return un32Result;
  const CVQCAFString strText = VqSigTraceRefusalText(pszText, strProvider, pszGroup, un32LeftOut);
  LogTrace(Level, "%s", VqcafFormatFailureLine(pszOperation, strText.c_str(), un32Result, "CVQSigTrace", nLine).c_str());
  return un32Result;
}

void CVQSigTrace::LogProviderRefusalsDue(bool fAll) {
  mProviderRefusals.TakeDue(ClockMs(), fAll, [&](const char* pszText, u32 un32LeftOut) {
    LogTrace(strcmp(pszText, kCaptureOffDrop) == 0 ? VQMSG : VQERR, "%s %u more time(s) since the last line", pszText,
             un32LeftOut);
  });
}

u32 CVQSigTrace::ChangeProviderGroupState(CVQSigTraceGrp* pGroup, unsigned int un32State) {
  if (pGroup == nullptr) return VQX_RESULT_NULL_PARAM;
  if (pGroup->mun32Type != VQ_SIGTRACE_TYPE_H248) {
    LogTrace(VQERR, "ChangeProviderGroupState is only supported for entity type H248");
    return VQX_RESULT_INVALID_PARAM;
  }
  LogTrace(VQMSG, "ChangeState: %s packet capture for group: %s", un32State != 0 ? "Enable" : "Disable",
           pGroup->mstrName.c_str());
  pGroup->mfCaptureOff = un32State == 0 ? 1 : 0;
  for (const CVQSigTraceEntityParams& e : pGroup->mvEntities) {
    if (CVQSigTraceProviderEntity* p = mProviders.Find(CVQCAFHashKeyString(e.mstrName.c_str())))
      (void)p->SendCaptureRequest(un32State);
  }
  return VQX_RESULT_OK;
}

}  // namespace VQCAF
