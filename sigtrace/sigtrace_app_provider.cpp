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
 * the group, once a second per kind of line (RefuseProvider), the count of
 * those left out naming their providers; data for a group whose capture the
 * console switched off is dropped, with its line. A provider registers any
 * number of groups (H.248 only), each switched under its own name.
 *
 * A second process of a name already served waits (mfWaiting, its own pool
 * key "<name>#<its unique host id>") and is served, its registrations taken
 * then, once the first has left; so does one that comes while 20 are served,
 * until a place frees (the first to come first), counted meanwhile in the
 * summary's "Entities not traced", as is one refused for good past 64
 * waiting: the places' rule, the boards' too (sigtrace_places.h). Once the
 * close began none is served or told capture on. What a provider's link
 * loses as it closes within a batch (the host's path-down notification, main
 * loop) is counted in the provider's group, or in a summary line of its own
 * when its groups cannot be told apart; past 16 providers that left with such
 * a line, theirs fold into one.
 */
#include <algorithm>
#include <array>
#include <set>
#include <cstring>

#include "sigtrace_app.h"
#include "sigtrace_provider_entity.h"
#include "vqx_gwlib.h"
#include "vqcafdebuginfo.h"
#include "vqcafhashkey.h"

namespace VQCAF {

namespace {
/* A count that stops at its largest value instead of wrapping. */
void AddCapped(u32& un32Sum, u32 un32Add) { un32Sum = un32Sum > 0xFFFFFFFFu - un32Add ? 0xFFFFFFFFu : un32Sum + un32Add; }
}  // namespace

namespace {

/* Data for a group switched off: the console's doing, not the provider's fault (a message-level line). */
constexpr const char* kCaptureOffDrop = "Data dropped: the group's capture is off";
/* A provider waiting its turn for a place: a normal wait, not an error (a message-level line). */
constexpr const char* kWaitsForPlace = "Cannot allocate context (20 providers at most): it waits, served once a place frees";

/* The level of a kind of refusal line: the error level but for what is normal. */
_VQX_TRACE_LEVEL RefusalLevel(const char* pszText) {
  return strcmp(pszText, kCaptureOffDrop) == 0 || strcmp(pszText, kWaitsForPlace) == 0 ? VQMSG : VQERR;
}

/* The provider's entity in the group, or null. */
CVQSigTraceEntityParams* FindProviderEntity(CVQSigTraceGrp& Group, const CVQCAFString& strKey) {
  for (CVQSigTraceEntityParams& e : Group.mvEntities)
    if (e.mstrName == strKey.c_str()) return &e;
  return nullptr;
}

/* The name's suffix of a host the transport could not link (every host record taken). */
static_assert(VQX_GW_MAX_HOST_PEERS == 128, "the suffix names the limit");
constexpr const char* kNotLinkedSuffix = " (not linked: the 128 host records taken)";

/* A provider's id among the places: its name and its process. */
std::string PlaceIdOf(const _VQX_HOST_INFO& Host) {
  CVQCAFString str;
  str.Format("%s#%016llX", CVQSigTraceProviderEntity::KeyOf(Host).c_str(),
             static_cast<unsigned long long>(Host.un64UniqueHostId));
  return str.c_str();
}

/* The boundary's catch clause: the failure line under the application's
 * sub-module; the code. */
u32 Caught(CVQSigTrace& App, const char* pszOperation, int nLine) {
  const VQCAF_FAILURE F = VqcafCatchCurrentException(pszOperation, "CVQSigTrace", nLine);
  App.LogTrace(VQERR, "%s", F.strLine.c_str());
  return F.un32Result;
}

}  // namespace

void CVQSigTrace::NoteUnlinkedPeers(bool fNow) {
  const u64 un64Now = mpfnClock != nullptr ? mpfnClock() : VQXGetClock();
  if (mhHostLib == nullptr || (!fNow && un64Now < mun64NextUnlinkedPoll)) return;
  mun64NextUnlinkedPoll = un64Now + 1000;
  std::vector<std::string> aWaiting[2]; /* boards, hosts */
  for (const u32 fHosts : {0u, 1u}) {
    u32 un32Count = 0;
    if (VQX_RESULT_FAILED(VQXGetPeersWaitingForRecord(mhHostLib, fHosts, 0, &un32Count, nullptr)) || un32Count == 0)
      continue;
    std::vector<std::array<char, VQX_PEER_WAITING_NAME_SIZE>> aNames(un32Count); /* the transport bounds the queue */
    static_assert(sizeof(aNames[0]) == VQX_PEER_WAITING_NAME_SIZE, "one name per row");
    if (VQX_RESULT_FAILED(VQXGetPeersWaitingForRecord(mhHostLib, fHosts, un32Count, &un32Count,
                                                      reinterpret_cast<char(*)[VQX_PEER_WAITING_NAME_SIZE]>(aNames.data()))))
      continue;
    for (u32 i = 0; i < std::min<u32>(un32Count, static_cast<u32>(aNames.size())); i++) aWaiting[fHosts].emplace_back(aNames[i].data());
  }
  NoteWaitingPeers(aWaiting[0], aWaiting[1], [this] {
    std::set<std::string> Linked;
    std::array<u32, VQX_GW_MAX_HOST_PEERS> ahHosts{};
    u32 un32Hosts = 0;
    if (VQX_RESULT_SUCCEEDED(VQXGetRemoteHostsList(mhHostLib, static_cast<u32>(ahHosts.size()), &un32Hosts, ahHosts.data())))
      for (u32 i = 0; i < std::min<u32>(un32Hosts, static_cast<u32>(ahHosts.size())); i++) {
        _VQX_HOST_INFO Info{};
        if (VQX_RESULT_SUCCEEDED(VQXGetRemoteHostInfo(mhHostLib, ahHosts[i], &Info)))
          Linked.insert(CVQSigTraceProviderEntity::KeyOf(Info).c_str());
      }
    return Linked;
  });
}

void CVQSigTrace::NoteWaitingPeers(const std::vector<std::string>& aBoards, const std::vector<std::string>& aHosts,
                                   const std::function<std::set<std::string>()>& fnLinkedHosts) {
  for (const std::string& strBoard : aBoards) mBoardPlaces.NameLeftOut(strBoard); /* as a board linked past the 32 */
  std::set<std::string> WaitingHosts(aHosts.begin(), aHosts.end());
  for (const std::string& strHost : WaitingHosts) mProviderPlaces.NameLeftOut(strHost + kNotLinkedSuffix);
  /* A host no longer waiting linked (named no more: served, or waiting for a place, once its service is seen) or
   * left unlinked (named still). */
  std::erase_if(mHostsNotLinked, [&](const std::string& strName) { return WaitingHosts.count(strName) != 0; });
  if (!mHostsNotLinked.empty())
    for (const std::string& strKey : fnLinkedHosts())
      if (mHostsNotLinked.count(strKey) != 0) mProviderPlaces.UnnameLeftOut(strKey + kNotLinkedSuffix);
  mHostsNotLinked = std::move(WaitingHosts);
}

CVQCAFServiceInstance* CVQSigTrace::OnServiceConnected(CVQCAFService* /*pService*/, CVQCAFServiceInfo* pInfo) {
  try {
    CVQCAFMutexAutoGetGive Lock(&mAppMutex);
    if (pInfo == nullptr) return nullptr;
    const _VQX_HOST_INFO& Host = pInfo->mHostInfo;
    const CVQCAFString strKey = CVQSigTraceProviderEntity::KeyOf(Host);
    const std::string strId = PlaceIdOf(Host);
    const CVQSigTraceProviderEntity* pNamed = ProviderOf(strKey);
    if (mProviders.Find(CVQCAFHashKeyString(strId.c_str())) != nullptr ||
        (pNamed != nullptr && pNamed->mHostInfo.un64UniqueHostId == Host.un64UniqueHostId)) {
      LogTrace(VQMSG, "OnServiceConnected: Application %s already present", strKey.c_str());
      return nullptr;
    }
    /* A second process of a name served waits for the name, any one while every place is taken for a place;
     * either under a key of its own until it is served. Once the close began none is served: one that links
     * then is kept (its link closes with the others') and never sent capture on. */
    const bool fClosing = mun64CloseStartMs != 0;
    const CVQSigTracePlaces::EVQPlace Place =
        fClosing ? CVQSigTracePlaces::EVQPlace::Waiting
                 : mProviderPlaces.Arrive(strId, strKey.c_str(), ServedProviders(), 0, pNamed == nullptr);
    const u32 un32Waiting = Place == CVQSigTracePlaces::EVQPlace::Served ? CVQSigTraceProviderEntity::kServed
                            : fClosing                                   ? CVQSigTraceProviderEntity::kLinkedDuringClose
                            : pNamed != nullptr                          ? CVQSigTraceProviderEntity::kWaitingForName
                                                                         : CVQSigTraceProviderEntity::kWaitingForPlace;
    CVQSigTraceProviderEntity* p = nullptr;
    if (Place != CVQSigTracePlaces::EVQPlace::Refused) {
      p = mProviders.Alloc(VQCAF_DEBUG_INFO,
                           CVQCAFHashKeyString(un32Waiting == CVQSigTraceProviderEntity::kServed ? strKey.c_str() : strId.c_str()));
      if (p == nullptr) { /* every record taken (providers linked during the close among them) */
        (void)mProviderPlaces.Leave(strId);
        mProviderPlaces.NameRefused(strKey.c_str());
      }
    }
    if (p == nullptr) {
      static_assert(QUELLAN_MAX_PROVIDERS == 20 && VQ_SIGTRACE_MAX_WAITING_PROVIDERS == 64, "the refusal names the limits");
      RefuseProvider("CVQSigTrace::OnServiceConnected",
                     "Cannot allocate context (20 providers at most, 64 more waiting): never served", strKey, nullptr,
                     VQX_RESULT_OUT_OF_RESOURCE, __LINE__);
      return nullptr;
    }
    if (un32Waiting == CVQSigTraceProviderEntity::kWaitingForName)
      LogTrace(VQERR, "OnServiceConnected: Application %s already present: this one (0x%016llX) is served once the "
                      "name is free", strKey.c_str(), static_cast<unsigned long long>(Host.un64UniqueHostId));
    else if (un32Waiting == CVQSigTraceProviderEntity::kWaitingForPlace)
      RefuseProvider("CVQSigTrace::OnServiceConnected", kWaitsForPlace, strKey, nullptr, VQX_RESULT_OUT_OF_RESOURCE,
                     __LINE__, RefusalLevel(kWaitsForPlace));
    else if (fClosing) {
      LogTrace(VQMSG, "OnServiceConnected: Application %s linked during the close: not served", strKey.c_str());
      mProviderPlaces.NameLeftOut(std::string(strKey.c_str()) + " (linked during the close)");
    } else
      LogTrace(VQMSG, "OnServiceConnected: New application %s detected", strKey.c_str());
    p->mpAppMutex = &mAppMutex;
    p->mpSigTrace = this;
    p->mfWaiting = un32Waiting;
    memcpy(&p->mHostInfo, &Host, sizeof(p->mHostInfo));
    mProviderHosts[Host.hAdapter] = SVQProviderHost{strKey, Host.un64UniqueHostId};
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
  CVQSigTraceProviderEntity* pGone = nullptr;
  mProviders.ResetNext();
  for (CVQSigTraceProviderEntity* p = mProviders.Next(); p != nullptr && pGone == nullptr; p = mProviders.Next())
    if (p == pInstance) pGone = p;
  mProviders.ResetNext();
  if (pGone == nullptr) return;
  const CVQCAFString strKey = pGone->GetKey();
  const bool fServed = pGone->mfWaiting == CVQSigTraceProviderEntity::kServed;
  if (!fServed) (void)mProviderPlaces.Leave(PlaceIdOf(pGone->mHostInfo));
  (void)mProviders.Free(VQCAF_DEBUG_INFO, pGone);
  /* The name is free: the first process waiting for it is served now, with the groups it registered; else the
   * place is, for the first provider that waits for one and whose name no other process holds. The close serves
   * none. */
  if (!fServed || mun64CloseStartMs != 0) {
    FoldLossesOfProvidersGone();
    return;
  }
  CVQSigTracePlaces::SVQWaiting Next;
  const u32 un32Served = ServedProviders();
  const bool fName = mProviderPlaces.ServeNext(
      un32Served, [&](const CVQSigTracePlaces::SVQWaiting& W) { return W.strName == strKey.c_str(); }, &Next);
  if (fName || mProviderPlaces.ServeNext(un32Served, [&](const CVQSigTracePlaces::SVQWaiting& W) {
        return W.fNamed && ProviderOf(CVQCAFString(W.strName.c_str())) == nullptr;
      }, &Next)) {
    CVQSigTraceProviderEntity* pNext = nullptr;
    mProviders.ResetNext();
    for (CVQSigTraceProviderEntity* p = mProviders.Next(); p != nullptr; p = mProviders.Next())
      if (p->mfWaiting != CVQSigTraceProviderEntity::kServed && PlaceIdOf(p->mHostInfo) == Next.strId) pNext = p;
    mProviders.ResetNext();
    if (fName && pNext != nullptr)
      LogTrace(VQMSG, "OnServiceDisconnected: Application %s left: the one waiting for its name (0x%016llX) is served",
               strKey.c_str(), static_cast<unsigned long long>(pNext->mHostInfo.un64UniqueHostId));
    else if (pNext != nullptr)
      LogTrace(VQMSG, "OnServiceDisconnected: Application %s left: its place goes to %s (0x%016llX), the first one "
                      "waiting for a place", strKey.c_str(), pNext->GetKey().c_str(),
               static_cast<unsigned long long>(pNext->mHostInfo.un64UniqueHostId));
    if (pNext != nullptr) ServeWaitingProvider(pNext);
  }
  FoldLossesOfProvidersGone();
}

void CVQSigTrace::ServeWaitingProvider(CVQSigTraceProviderEntity* pWaiting) {
  pWaiting->mfWaiting = CVQSigTraceProviderEntity::kServed;
  const std::vector<VQCAF_SIGTRACE_REGISTER_INFO> aRegistered = pWaiting->mvRegistered;
  for (VQCAF_SIGTRACE_REGISTER_INFO R : aRegistered) OnRegister(pWaiting, R.un32Type, R.szName, R.szDescription);
}

u32 CVQSigTrace::ServedProviders() {
  u32 n = 0;
  mProviders.ResetNext();
  for (CVQSigTraceProviderEntity* p = mProviders.Next(); p != nullptr; p = mProviders.Next())
    n += p->mfWaiting == CVQSigTraceProviderEntity::kServed ? 1 : 0;
  mProviders.ResetNext();
  return n;
}

bool CVQSigTrace::ProviderPresent(const std::string& strKey) {
  for (const auto& [h, Host] : mProviderHosts)
    if (strKey == Host.strKey.c_str()) return true;
  bool fLinked = false;
  mProviders.ResetNext();
  for (CVQSigTraceProviderEntity* p = mProviders.Next(); p != nullptr && !fLinked; p = mProviders.Next())
    fLinked = strKey == p->GetKey().c_str();
  mProviders.ResetNext();
  return fLinked;
}

void CVQSigTrace::FoldLossesOfProvidersGone() {
  std::erase_if(mProviderLinkLostIn, [&](const auto& In) { return !ProviderPresent(In.first); });
  u32 un32Gone = 0;
  for (const auto& [strKey, un32Lost] : mProviderLinkLost) un32Gone += ProviderPresent(strKey) ? 0 : 1;
  if (un32Gone <= VQ_SIGTRACE_LOSS_LINES_OF_PROVIDERS_GONE) return;
  u32 un32Lost = 0;
  std::erase_if(mProviderLinkLost, [&](const auto& Lost) {
    if (ProviderPresent(Lost.first)) return false;
    AddCapped(un32Lost, Lost.second);
    return true;
  });
  AddCapped(mun32ProvidersGoneLost, un32Lost);
  mun32ProvidersGoneFolded += un32Gone;
  LogTrace(VQMSG, "Providers that left: the link losses of %u of them (%u message(s)) folded into one summary line",
           un32Gone, un32Lost);
}

CVQSigTraceProviderEntity* CVQSigTrace::ProviderOf(const CVQCAFString& strKey) {
  CVQSigTraceProviderEntity* pFound = nullptr;
  mProviders.ResetNext();
  for (CVQSigTraceProviderEntity* p = mProviders.Next(); p != nullptr && pFound == nullptr; p = mProviders.Next())
    if (p->mfWaiting == 0 && p->GetKey() == strKey) pFound = p;
  mProviders.ResetNext();
  return pFound;
}

std::vector<CVQSigTraceGrp*> CVQSigTrace::ProviderGroups(const CVQCAFString& strKey) {
  std::vector<CVQSigTraceGrp*> aGroups;
  mGroups.ResetNext();
  for (CVQSigTraceGrp* g = mGroups.Next(); g != nullptr; g = mGroups.Next())
    if (g->mun32Type == VQ_SIGTRACE_TYPE_H248 && FindProviderEntity(*g, strKey) != nullptr) aGroups.push_back(g);
  mGroups.ResetNext();
  return aGroups;
}

std::string CVQSigTrace::ProviderGroupNames(const CVQCAFString& strKey) { return GroupNames(ProviderGroups(strKey)); }

void CVQSigTrace::CountProviderLinkLost(const CVQCAFString& strKey, u32 un32Lost) {
  const std::vector<CVQSigTraceGrp*> aGroups = ProviderGroups(strKey);
  if (aGroups.size() == 1) {
    aGroups[0]->CountUnseenLost(un32Lost);
    auto& In = mProviderLinkLostIn[strKey.c_str()];
    if (In.first != aGroups[0]->mstrName.c_str()) In = {aGroups[0]->mstrName.c_str(), 0};
    AddCapped(In.second, un32Lost);
    LogTrace(VQMSG, "Provider %s: %u message(s) lost as its link closed, counted in group %s", strKey.c_str(), un32Lost,
             aGroups[0]->mstrName.c_str());
    return;
  }
  /* Several groups (or none): which of them each message was for is not known. */
  AddCapped(mProviderLinkLost[strKey.c_str()], un32Lost);
  LogTrace(VQMSG, "Provider %s: %u message(s) lost as its link closed, counted on a line of their own (%s)",
           strKey.c_str(), un32Lost, ProviderGroupNames(strKey).c_str());
}

void CVQSigTrace::MoveProviderLinkLostApart(const CVQCAFString& strKey) {
  const auto it = mProviderLinkLostIn.find(strKey.c_str());
  if (it == mProviderLinkLostIn.end() || ProviderGroups(strKey).size() < 2) return;
  const auto [strGroup, un32Lost] = it->second;
  mProviderLinkLostIn.erase(it);
  CVQSigTraceGrp* pGroup = mGroups.Find(CVQCAFHashKeyString(strGroup.c_str()));
  if (pGroup == nullptr) return; /* given its place: its summary was taken as it stood */
  pGroup->UncountUnseenLost(un32Lost);
  AddCapped(mProviderLinkLost[strKey.c_str()], un32Lost);
  LogTrace(VQMSG, "Provider %s: %u message(s) lost as its link closed, moved from group %s to a line of their own (%s)",
           strKey.c_str(), un32Lost, strGroup.c_str(), ProviderGroupNames(strKey).c_str());
}

u32 CVQSigTrace::OnRegister(CVQSigTraceProviderEntity* pProvider, unsigned int un32Type, char* pszName,
                            char* /*pszDescription*/) {
  static constexpr const char* kOp = "CVQSigTrace::OnRegister";
  try {
    if (pProvider == nullptr || pszName == nullptr) return VQX_RESULT_NULL_PARAM;
    const CVQCAFString strKey = pProvider->GetKey();
    if (un32Type != VQCAF_SIGTRACE_TYPE_H248)
      return RefuseProvider(kOp, "Register refused: not of type H.248 (1), the one traced", strKey, pszName,
                            VQX_RESULT_INVALID_PARAM, __LINE__);
    if (mCmdLine.mfH248 == 0)
      return RefuseProvider(kOp, "Registration ignored: H.248 tracing is off (-h248 not given)", strKey, pszName,
                            VQX_RESULT_NOT_READY, __LINE__, VQMSG);
    if (mun64CloseStartMs != 0) return RegisterDuringClose(pProvider, pszName);
    /* Registered once the process served under its name has left (OnServiceDisconnected). */
    if (pProvider->mfWaiting != 0) return VQX_RESULT_OK;
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
    const std::string strUntraced = std::string(strKey.c_str()) + " (group \"" + pszName + "\")";
    if (pGroup == nullptr) {
      mProviderPlaces.NameLeftOut(strUntraced); /* counted in the summary's "Entities not traced", named there */
      return RefuseProvider(kOp, "No more group context (increase QUELLAN_MAX_GROUPS define)", strKey, pszName,
                            VQX_RESULT_OUT_OF_RESOURCE, __LINE__);
    }
    mProviderPlaces.UnnameLeftOut(strUntraced);
    if (FindProviderEntity(*pGroup, Entity.mstrName) == nullptr) {
      Entity.mun32ProviderEntityId = ++mun32EntityNumber;
      Entity.mfCapFile = pGroup->mfPcap;
      pGroup->mvEntities.push_back(Entity);
      mUnitIndex.Invalidate();
      LogTrace(VQMSG, "Allocate entity: add \033[32m%s\033[m in group \033[32m%s\033[m %s", Entity.mstrName.c_str(),
               pGroup->mstrName.c_str(), pGroup->IsPcap() ? "CAP" : "FORMAT");
      MoveProviderLinkLostApart(strKey);
    }
    /* A group whose capture the console switched off keeps it off. */
    return pProvider->SendCaptureRequest(pGroup->mfCaptureOff != 0 ? 0 : 1, pGroup->mstrName.c_str());
  } catch (...) {
    return Caught(*this, "CVQSigTrace::OnRegister", __LINE__);
  }
}

u32 CVQSigTrace::RegisterDuringClose(CVQSigTraceProviderEntity* pProvider, const char* pszName) {
  const CVQCAFString strKey = pProvider->GetKey();
  CVQSigTraceGrp* pGroup = mGroups.Find(CVQCAFHashKeyString(pszName));
  const bool fTraced = pGroup != nullptr && pGroup->mun32Type == VQ_SIGTRACE_TYPE_H248 &&
                       pProvider->mfWaiting == CVQSigTraceProviderEntity::kServed &&
                       FindProviderEntity(*pGroup, strKey) != nullptr;
  /* One not served is named already (waiting, or linked during the close). */
  if (!fTraced && pProvider->mfWaiting == CVQSigTraceProviderEntity::kServed) {
    mProviderPlaces.NameLeftOut(std::string(strKey.c_str()) + " (group \"" + pszName + "\": registered during the close)");
    RefuseProvider("CVQSigTrace::OnRegister", "Registration during the close: not traced", strKey, pszName,
                   VQX_RESULT_INVALID_STATE, __LINE__, VQMSG);
  }
  return pProvider->SendCaptureRequest(0, pszName);
}

u32 CVQSigTrace::OnUnregister(CVQSigTraceProviderEntity* pProvider, unsigned int /*un32Type*/, char* pszName,
                              char* /*pszDescription*/) {
  if (pProvider == nullptr || pszName == nullptr) return VQX_RESULT_NULL_PARAM;
  const CVQCAFString strKey = pProvider->GetKey();
  if (pProvider->mfWaiting != CVQSigTraceProviderEntity::kServed) {
    /* In no group yet: not registered there once it is served. */
    std::erase_if(pProvider->mvRegistered, [&](const VQCAF_SIGTRACE_REGISTER_INFO& R) {
      return strncmp(R.szName, pszName, sizeof(R.szName)) == 0;
    });
    return VQX_RESULT_OK;
  }
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
  if (pProvider->mfWaiting == CVQSigTraceProviderEntity::kWaitingForPlace)
    return RefuseProvider(kOp, "Data refused: the provider waits for a place (20 providers at most)", strKey, pszName,
                          VQX_RESULT_OUT_OF_RESOURCE, __LINE__);
  CVQSigTraceGrp* pGroup = mGroups.Find(CVQCAFHashKeyString(pszName));
  /* A process waiting for its name is in no group: the entity of that name is the served one's. */
  CVQSigTraceEntityParams* pEntity = pGroup != nullptr && pGroup->mun32Type == VQ_SIGTRACE_TYPE_H248 &&
                                             pProvider->mfWaiting == 0
                                         ? FindProviderEntity(*pGroup, strKey)
                                         : nullptr;
  if (pEntity == nullptr)
    return RefuseProvider(kOp, "Data refused: the provider is not in that group", strKey, pszName, VQX_RESULT_NOT_FOUND,
                          __LINE__);
  /* The console switched the group's capture off: nothing is written for it (a provider told so stops sending;
   * what was in flight, or one that does not obey, is dropped here). */
  if (pGroup->mfCaptureOff != 0)
    return RefuseProvider(kOp, kCaptureOffDrop, strKey, pszName, VQX_RESULT_INVALID_STATE, __LINE__, RefusalLevel(kCaptureOffDrop));
  return pGroup->WriteH248PacketData(*pEntity, un32Direction, un32Length, pData);
}

u32 CVQSigTrace::RefuseProvider(const char* pszOperation, const char* pszText, const CVQCAFString& strProvider,
                                const char* pszGroup, u32 un32Result, int nLine, _VQX_TRACE_LEVEL Level) {
  u32 un32LeftOut = 0;
  std::string strFrom;
  if (!AllowProviderRefusal(pszText, strProvider, un32LeftOut, strFrom)) return un32Result;
  const CVQCAFString strText = VqSigTraceRefusalText(pszText, strProvider, pszGroup, un32LeftOut, strFrom);
  LogTrace(Level, "%s", VqcafFormatFailureLine(pszOperation, strText.c_str(), un32Result, "CVQSigTrace", nLine).c_str());
  return un32Result;
}

void CVQSigTrace::LogProviderRefusalsDue(bool fAll) {
  mProviderRefusals.TakeDue(ClockMs(), fAll, [&](const char* pszText, u32 un32LeftOut, const char* pszFrom) {
    LogTrace(RefusalLevel(pszText), "%s %u more time(s) since the last line%s%s%s",
             pszText, un32LeftOut, *pszFrom != '\0' ? " (providers " : "", pszFrom, *pszFrom != '\0' ? ")" : "");
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
  /* The close has told every provider capture off: none is told on again. */
  if (un32State != 0 && mun64CloseStartMs != 0) return VQX_RESULT_OK;
  for (const CVQSigTraceEntityParams& e : pGroup->mvEntities) {
    if (CVQSigTraceProviderEntity* p = ProviderOf(e.mstrName)) (void)p->SendCaptureRequest(un32State, pGroup->mstrName.c_str());
  }
  return VQX_RESULT_OK;
}

}  // namespace VQCAF
