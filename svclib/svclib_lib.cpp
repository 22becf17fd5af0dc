/*
 * svclib_lib.cpp - the services library (vqx_services.h): registered
 * services, the remote services known per host, the receive thread that
 * reads the host library and routes, and one delivery thread per service.
 *
 * Locking. One library mutex guards every table and queue. It is never held
 * while a callback runs or while the host library sends or receives (the
 * host library may block). A service's delivery state (fDelivering, the
 * delivering thread) lets Unregister wait for a callback in progress.
 */
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "svclib_proto.h"
#include "vqx_host_filter.h"
#include "vqx_services.h"

namespace {

constexpr u32 kRxTimeoutMs = 100;
/* Messages a service may have waiting for its thread, and their bytes (lengths, header included): past either the
   receive thread waits until the service took them down to half, so that a flood waits unread in the host
   library's filter, whose bound holds the senders back (in their own queues and sockets), rather than filling this
   process's memory here. In bytes too: a provider's message is about 10 KiB whatever the data it carries. An empty
   queue takes any message. */
constexpr size_t kServiceQueueMax = 1024;
constexpr u64 kServiceQueueMaxBytes = 2u * 1024u * 1024u;
constexpr u32 kWaitLogSeconds = 5;
constexpr u32 kMaxFilterSets = VQX_FILTER_MAX_PARAMS;

/* A remote service as a host announced it. */
struct Remote {
  u32* h;      /* our handle for it, never reused */
  u32 hHost;   /* the host library's handle of its host */
  VqxSvcProtoService Entry;
};

/* One thing to deliver to a service, in order. */
struct Item {
  enum class Kind { kConnect, kDisconnect, kMsg };
  Item(Kind k, u32* h) : kind(k), hRemote(h) {}
  Kind kind;
  u32* hRemote;
  _VQX_SERVICES_LIB_SERVICE_INFO Info{}; /* connect: the remote's record (user context in strContext) */
  std::string strContext;
  VQX_MSG_HANDLE hMsg = nullptr;
};

struct Service {
  u32* h = nullptr;
  _VQX_SERVICES_LIB_SERVICE_PARAMS Params{};
  std::string strContext;
  void* pvContext = nullptr;
  std::deque<Item> Queue;
  u64 un64QueueBytes = 0; /* of its messages */
  std::map<u32*, bool> Links;     /* remote handles linked (connect queued, disconnect not yet) */
  std::map<u32*, bool> Delivered; /* remote handles whose connect was delivered and disconnect not yet */
  std::condition_variable Cond;
  bool fClosing = false;
  bool fDelivering = false;
  std::thread::id DeliveringThread;
  std::thread Thread;
};

}  // namespace

struct _VQX_SERVICES_LIB {
  _VQX_SERVICES_LIB_OPEN_PARAMS Params{};
  VQX_LIB_HANDLE hHostLib = nullptr;
  VQX_FILTER_HANDLE hFilter = nullptr;
  u64 un64UniqueId = 0;
  std::mutex Mutex;
  std::condition_variable Cond; /* a service's delivery ended */
  std::map<u32*, std::shared_ptr<Service>> Services;
  std::map<u32, std::map<u32, Remote>> Hosts; /* host handle -> sender's key -> remote */
  std::map<u32, u64> HostIds;                 /* host handle -> unique id of its last list */
  uintptr_t unNextRemote = 1;
  uintptr_t unNextService = 1;
  u32 un32NextKey = 1;
  bool fStop = false;
  std::thread RxThread;
};

namespace {

using Lib = _VQX_SERVICES_LIB;

void Log(Lib* p, u32 un32Level, const char* pszFormat, ...) __attribute__((format(printf, 3, 4)));
void Log(Lib* p, u32 un32Level, const char* pszFormat, ...) {
  if (p->Params.pFctPrint == nullptr || un32Level < p->Params.un32TraceLevel) return;
  va_list args;
  va_start(args, pszFormat);
  p->Params.pFctPrint(p->Params.pvPrintContext, un32Level, nullptr, const_cast<char*>(pszFormat), args);
  va_end(args);
}

u32* LibHandle(Lib* p) { return reinterpret_cast<u32*>(p); }

/* One filter set as the host library applies it (exclusive claims count as matches). */
bool SetMatches(const _VQX_FILTER_PARAMS& f, const _VQX_MSG_HEADER& m) {
  const u32 un32Match = f.un32Mask;
  auto Field = [&](u32 un32Bit) -> int {  // 1 equal, 0 differ
    switch (un32Bit) {
      case VQX_FILTER_MASK_ADAPTER: return m.hAdapter == f.hAdapter;
      case VQX_FILTER_MASK_MSG_TYPE: return (m.MsgType & f.MsgTypeMask) != 0;
      case VQX_FILTER_MASK_MSG_ID: return m.un32MsgId == f.MsgId;
      case VQX_FILTER_MASK_MSG_GROUP: return (m.un32MsgId >> 16) == f.MsgGroup;
      case VQX_FILTER_MASK_SERIAL: return m.un32SerialNumber == f.un32SerialNumber;
      case VQX_FILTER_MASK_USER_CONTEXT1: return m.un64UserContext1 == f.un64UserContext1;
      default: return m.un64UserContext2 == f.un64UserContext2;
    }
  };
  static constexpr struct { u32 un32Exclusive, un32Bit; } kExclusive[] = {
      {VQX_FILTER_MASK_EXCLUSIVE_ADAPTER, VQX_FILTER_MASK_ADAPTER},
      {VQX_FILTER_MASK_EXCLUSIVE_MSG_GROUP, VQX_FILTER_MASK_MSG_GROUP},
      {VQX_FILTER_MASK_EXCLUSIVE_USER_CONTEXT1, VQX_FILTER_MASK_USER_CONTEXT1},
      {VQX_FILTER_MASK_EXCLUSIVE_USER_CONTEXT2, VQX_FILTER_MASK_USER_CONTEXT2}};
  u32 un32Bits = un32Match & VQX_FILTER_MASK_MATCH_ALL;
  for (const auto& e : kExclusive) {
    if (un32Match & e.un32Exclusive) un32Bits |= e.un32Bit;
  }
  for (u32 b = 1; b <= VQX_FILTER_MASK_USER_CONTEXT2; b <<= 1) {
    if ((un32Bits & b) && !Field(b)) return false;
    if ((un32Match & (b << VQX_FILTER_MASK_NOT_SHIFT)) && Field(b)) return false;
  }
  return true;
}

_VQX_FILTER_PARAMS GroupSet(u32 un32Group);

/* A service wants a message when a positive set matches and no negative one does. */
bool ServiceWants(const Service& s, const _VQX_MSG_HEADER& m) {
  bool fPositive = false;
  for (u32 i = 0; i < s.Params.un32NbFilters; i++) {
    const _VQX_FILTER_PARAMS& f = s.Params.aFilters[i];
    const bool fMatch = SetMatches(f, m);
    if (f.un32Mask & VQX_FILTER_MASK_NEGATIVE) {
      if (fMatch) return false;
    } else {
      fPositive = fPositive || fMatch;
    }
  }
  return fPositive;
}

_VQX_FILTER_PARAMS GroupSet(u32 un32Group) {
  _VQX_FILTER_PARAMS f{};
  f.un32Version = 1;
  f.un32Mask = VQX_FILTER_MASK_MSG_GROUP;
  f.MsgGroup = un32Group;
  return f;
}

_VQX_FILTER_PARAMS IdSet(u32 un32Id) {
  _VQX_FILTER_PARAMS f{};
  f.un32Version = 1;
  f.un32Mask = VQX_FILTER_MASK_MSG_ID;
  f.MsgId = un32Id;
  return f;
}

/* The library filter's sets: the protocol's group, the host added / removed
 * notifications, and every service's positive sets, without claims. */
std::vector<_VQX_FILTER_PARAMS> BaseSets() {
  return {GroupSet(VQX_SVC_PROTO_GROUP), IdSet(VQX_MSG_ID_API_NOTIF_HOST_ADDED), IdSet(VQX_MSG_ID_API_NOTIF_HOST_REMOVED)};
}
std::vector<_VQX_FILTER_PARAMS> FilterSetsLocked(Lib* p) {
  std::vector<_VQX_FILTER_PARAMS> a = BaseSets();
  for (const auto& [h, s] : p->Services) {
    for (u32 i = 0; i < s->Params.un32NbFilters; i++) {
      _VQX_FILTER_PARAMS f = s->Params.aFilters[i];
      if (f.un32Mask & VQX_FILTER_MASK_NEGATIVE) continue;
      f.un32Mask &= ~VQX_FILTER_MASK_EXCLUSIVE_ALL;
      a.push_back(f);
    }
  }
  return a;
}

bool Detects(const Service& s, u32 un32Id) {
  return un32Id != 0 && (s.Params.Info.aun32DetectedRemoteServiceId[0] == un32Id ||
                         s.Params.Info.aun32DetectedRemoteServiceId[1] == un32Id);
}

void Wake(Service& s) { s.Cond.notify_all(); }

/* Queues the connection of remote r to service s (library locked). Not when the host library no longer knows its
 * host (gone since its list came, its removal on its way): the service would be told of a remote of no name. Its
 * host's next list links it, should it come back. */
void LinkLocked(Lib* p, Service& s, const Remote& r) {
  Item it{Item::Kind::kConnect, r.h};
  it.Info.un32ServiceId = r.Entry.un32ServiceId;
  it.Info.aun32DetectedRemoteServiceId[0] = r.Entry.aun32Detected[0];
  it.Info.aun32DetectedRemoteServiceId[1] = r.Entry.aun32Detected[1];
  const VQX_RESULT rInfo = VQXGetRemoteHostInfo(p->hHostLib, r.hHost, &it.Info.HostInfo);
  if (VQX_RESULT_FAILED(rInfo)) {
    Log(p, 0x7FFFFFFD, "Services: service 0x%08X of host 0x%08X not linked: the host is gone (0x%08X)\n",
        r.Entry.un32ServiceId, r.hHost, rInfo);
    return;
  }
  it.strContext = r.Entry.strUserContext;
  s.Links[r.h] = true;
  s.Queue.push_back(std::move(it));
  Wake(s);
}

/* Queues the disconnection of remote handle h from every service linked to it (library locked). */
void UnlinkEverywhereLocked(Lib* p, u32* h) {
  for (auto& [hs, s] : p->Services) {
    if (s->Links.erase(h) != 0) {
      s->Queue.push_back(Item{Item::Kind::kDisconnect, h});
      Wake(*s);
    }
  }
}

void ForgetHostLocked(Lib* p, u32 hHost) {
  auto it = p->Hosts.find(hHost);
  if (it == p->Hosts.end()) return;
  for (auto& [key, r] : it->second) UnlinkEverywhereLocked(p, r.h);
  p->Hosts.erase(it);
  p->HostIds.erase(hHost);
}

/* Sends payload bytes as message un32Id to hDest (0xFFFFFFFF: every host). Library not locked. */
void SendProto(Lib* p, u32 hDest, u32 un32Id, const std::string& strPayload) {
  VQX_MSG_HANDLE h = nullptr;
  if (VQX_RESULT_FAILED(VQXGetMsg(p->hHostLib, static_cast<u32>(strPayload.size()), &h))) return;
  h->un32MsgId = un32Id;
  h->MsgType = VQX_MSG_TYPE_EVENT;
  h->hAdapter = hDest;
  h->un32PayloadLength = static_cast<u32>(strPayload.size());
  memcpy(VQXMsgPayload(h), strPayload.data(), strPayload.size());
  const VQX_RESULT r = VQXSendMsgEx(p->hHostLib, &h, nullptr);
  if (VQX_RESULT_FAILED(r)) Log(p, 1, "Services: message 0x%08X to 0x%08X not sent (0x%08X)\n", un32Id, hDest, r);
}

std::string OwnListLocked(Lib* p) {
  VqxSvcProtoList List{p->un64UniqueId, {}};
  for (const auto& [h, s] : p->Services) {
    if (s->fClosing) continue;
    VqxSvcProtoService e{static_cast<u32>(reinterpret_cast<uintptr_t>(s->h)), s->Params.Info.un32ServiceId,
                         {s->Params.Info.aun32DetectedRemoteServiceId[0], s->Params.Info.aun32DetectedRemoteServiceId[1]},
                         s->strContext};
    List.aServices.push_back(std::move(e));
  }
  return VqxSvcProtoEncodeList(List);
}

void UpdateFilter(Lib* p) {
  std::vector<_VQX_FILTER_PARAMS> a;
  {
    std::lock_guard<std::mutex> Lock(p->Mutex);
    a = FilterSetsLocked(p);
  }
  VQXModifyMsgFilter(p->hHostLib, p->hFilter, static_cast<u32>(a.size()), a.data(), nullptr);
}

void Announce(Lib* p) {
  std::string strList;
  {
    std::lock_guard<std::mutex> Lock(p->Mutex);
    strList = OwnListLocked(p);
  }
  SendProto(p, 0xFFFFFFFFu, VQX_SVC_MSG_ID_LIST, strList);
}

/* A list from hHost replaces what was known of it. */
void OnList(Lib* p, u32 hHost, const VqxSvcProtoList& List) {
  std::lock_guard<std::mutex> Lock(p->Mutex);
  auto itId = p->HostIds.find(hHost);
  if (itId != p->HostIds.end() && itId->second != List.un64SenderUniqueId) ForgetHostLocked(p, hHost);  // a new process
  p->HostIds[hHost] = List.un64SenderUniqueId;
  std::map<u32, Remote>& Known = p->Hosts[hHost];
  std::map<u32, Remote> Next;
  for (const VqxSvcProtoService& e : List.aServices) {
    auto it = Known.find(e.un32Key);
    if (it != Known.end() && it->second.Entry == e) {
      Next.emplace(e.un32Key, std::move(it->second));
      Known.erase(it);
    } else {
      Next.emplace(e.un32Key, Remote{reinterpret_cast<u32*>(p->unNextRemote++), hHost, e});
    }
  }
  for (auto& [key, r] : Known) UnlinkEverywhereLocked(p, r.h);  // gone (or changed: a new handle)
  Known = std::move(Next);
  for (auto& [key, r] : Known) {
    for (auto& [hs, s] : p->Services) {
      if (!s->fClosing && Detects(*s, r.Entry.un32ServiceId) && s->Links.count(r.h) == 0) LinkLocked(p, *s, r);
    }
  }
}

/* A service's queue holds 1/un32Div of its bound or more, in messages or bytes (an empty one never). */
bool QueueOver(const Service& s, u32 un32Div) {
  return !s.Queue.empty() &&
         (s.Queue.size() * un32Div >= kServiceQueueMax || s.un64QueueBytes * un32Div >= kServiceQueueMaxBytes);
}

/* Routes one service message: a copy to every service that wants it but the last. */
void Route(Lib* p, VQX_MSG_HANDLE hMsg) {
  std::unique_lock<std::mutex> Lock(p->Mutex);
  /* Room first in every service that wants it: once one is full, until it is down to half (its thread notifies
     then; steps so that a stop is seen). */
  const auto Over = [&](u32 un32Div) {
    for (auto& [hs, s] : p->Services) {
      if (!s->fClosing && QueueOver(*s, un32Div) && ServiceWants(*s, *hMsg)) return true;
    }
    return false;
  };
  if (Over(1)) {
    while (!p->fStop && Over(2)) p->Cond.wait_for(Lock, std::chrono::milliseconds(kRxTimeoutMs));
  }
  std::vector<std::pair<Service*, u32*>> Targets;
  auto itHost = p->Hosts.find(hMsg->hAdapter);
  for (auto& [hs, s] : p->Services) {
    if (s->fClosing || !ServiceWants(*s, *hMsg)) continue;
    u32* hRemote = nullptr;
    if (itHost != p->Hosts.end()) {
      for (auto& [key, r] : itHost->second) {
        if (Detects(*s, r.Entry.un32ServiceId) && s->Links.count(r.h) != 0) hRemote = r.h;
      }
    }
    Targets.emplace_back(s.get(), hRemote);
  }
  for (size_t i = 0; i < Targets.size(); i++) {
    VQX_MSG_HANDLE h = hMsg;
    if (i + 1 < Targets.size()) {
      h = nullptr;
      if (VQX_RESULT_FAILED(VQXGetMsg(p->hHostLib, hMsg->un32PayloadMaxLength, &h))) continue;
      const u32 un32Serial = h->un32SerialNumber;
      memcpy(h, hMsg, VQX_MSG_HEADER_SIZE + hMsg->un32PayloadLength);
      h->un32SerialNumber = un32Serial;
      h->un32TrackMagic = VQX_MSG_TRACK_MAGIC_DEFAULT;
      h->un32TrackMark = 0;
      h->un32Length = hMsg->un32Length;
    } else {
      hMsg = nullptr;
    }
    Item it{Item::Kind::kMsg, Targets[i].second};
    it.hMsg = h;
    Targets[i].first->un64QueueBytes += h->un32Length;
    Targets[i].first->Queue.push_back(std::move(it));
    Wake(*Targets[i].first);
  }
  Lock.unlock();
  if (hMsg != nullptr) VQXReleaseMsgEx(p->hHostLib, &hMsg);
}

void OnHostMsg(Lib* p, VQX_MSG_HANDLE hMsg) {
  const u32 hHost = hMsg->hAdapter;
  const u8* pby = VQXMsgPayload(hMsg);
  switch (hMsg->un32MsgId) {
    case VQX_MSG_ID_API_NOTIF_HOST_ADDED: {
      std::string strList;
      {
        std::lock_guard<std::mutex> Lock(p->Mutex);
        strList = OwnListLocked(p);
      }
      u32 hAdded = hHost;
      if (hMsg->un32PayloadLength >= VQX_NOTIF_OFFSET_INFO + sizeof(_VQX_HOST_INFO))
        memcpy(&hAdded, pby + VQX_NOTIF_OFFSET_INFO + offsetof(_VQX_HOST_INFO, hAdapter), 4);
      SendProto(p, hAdded, VQX_SVC_MSG_ID_LIST, strList);
      break;
    }
    case VQX_MSG_ID_API_NOTIF_HOST_REMOVED: {
      u32 hRemoved = hHost;
      if (hMsg->un32PayloadLength >= VQX_NOTIF_OFFSET_HANDLE + 4) memcpy(&hRemoved, pby + VQX_NOTIF_OFFSET_HANDLE, 4);
      std::lock_guard<std::mutex> Lock(p->Mutex);
      ForgetHostLocked(p, hRemoved);
      break;
    }
    case VQX_SVC_MSG_ID_LIST: {
      VqxSvcProtoList List;
      const u32 r = VqxSvcProtoDecodeList(pby, hMsg->un32PayloadLength, &List);
      if (r == VQX_RESULT_OK) {
        OnList(p, hHost, List);
      } else {
        Log(p, 0x7FFFFFFE, "Services: service list from 0x%08X refused (0x%08X)\n", hHost, r);
      }
      break;
    }
    case VQX_SVC_MSG_ID_LIST_REQUEST:
      if (VqxSvcProtoDecodeRequest(pby, hMsg->un32PayloadLength) == VQX_RESULT_OK) {
        std::string strList;
        {
          std::lock_guard<std::mutex> Lock(p->Mutex);
          strList = OwnListLocked(p);
        }
        SendProto(p, hHost, VQX_SVC_MSG_ID_LIST, strList);
      }
      break;
    default:
      if ((hMsg->un32MsgId >> 16) == VQX_SVC_PROTO_GROUP || (hMsg->un32MsgId >> 16) == 0x0201) break;
      Route(p, hMsg);
      return;  // Route owns the message
  }
  VQXReleaseMsgEx(p->hHostLib, &hMsg);
}

void RxThread(Lib* p) {
  for (;;) {
    {
      std::lock_guard<std::mutex> Lock(p->Mutex);
      if (p->fStop) return;
    }
    VQX_MSG_HANDLE hMsg = nullptr;
    if (VQXReceiveMsg(p->hHostLib, p->hFilter, kRxTimeoutMs, &hMsg) == VQX_RESULT_API_OK) OnHostMsg(p, hMsg);
  }
}

/* Delivers one item (no lock held); keeps the record of delivered connections. */
void Deliver(Lib* p, Service& s, Item& it) {
  switch (it.kind) {
    case Item::Kind::kConnect:
      it.Info.un32ServiceUserContextSize = static_cast<u32>(it.strContext.size());
      it.Info.pbyServiceUserContext = it.strContext.empty() ? nullptr : reinterpret_cast<u8*>(it.strContext.data());
      p->Params.pFctRemoteServiceConnected(p->Params.pvRemoteServiceConnectedContext, LibHandle(p), s.h, s.pvContext,
                                           it.hRemote, &it.Info, 1);
      break;
    case Item::Kind::kDisconnect:
      p->Params.pFctRemoteServiceConnected(p->Params.pvRemoteServiceConnectedContext, LibHandle(p), s.h, s.pvContext,
                                           it.hRemote, nullptr, 0);
      break;
    case Item::Kind::kMsg: {
      u32* pMsg = reinterpret_cast<u32*>(it.hMsg);
      p->Params.pFctMsgReceived(p->Params.pvMsgReceivedContext, LibHandle(p), s.h, s.pvContext, it.hRemote, &pMsg);
      VQX_MSG_HANDLE hLeft = reinterpret_cast<VQX_MSG_HANDLE>(pMsg);
      if (hLeft != nullptr) VQXReleaseMsgEx(p->hHostLib, &hLeft);
      break;
    }
  }
}

void ServiceThread(Lib* p, std::shared_ptr<Service> ps) {
  Service& s = *ps;
  std::unique_lock<std::mutex> Lock(p->Mutex);
  for (;;) {
    s.Cond.wait(Lock, [&] { return s.fClosing || !s.Queue.empty(); });
    if (s.fClosing) return;
    Item it = std::move(s.Queue.front());
    s.Queue.pop_front();
    if (it.hMsg != nullptr) s.un64QueueBytes -= std::min<u64>(s.un64QueueBytes, it.hMsg->un32Length);
    if (it.kind == Item::Kind::kConnect) s.Delivered[it.hRemote] = true;
    if (it.kind == Item::Kind::kDisconnect && s.Delivered.erase(it.hRemote) == 0) continue;  // never told: drop
    s.fDelivering = true;
    s.DeliveringThread = std::this_thread::get_id();
    Lock.unlock();
    Deliver(p, s, it);
    Lock.lock();
    s.fDelivering = false;
    /* An unregister waits for this delivery, the receive thread for room down to half: not woken for nothing at
       every message of a full queue. */
    if (s.fClosing || !QueueOver(s, 2)) p->Cond.notify_all();
  }
}

/* Takes a service out (library locked on entry and exit); delivers its disconnections on this thread. */
void UnregisterLocked(Lib* p, std::unique_lock<std::mutex>& Lock, std::shared_ptr<Service> ps) {
  Service& s = *ps;
  s.fClosing = true;
  p->Services.erase(s.h);
  Wake(s);
  const bool fSelf = s.fDelivering && s.DeliveringThread == std::this_thread::get_id();
  while (s.fDelivering && !fSelf) {
    if (!p->Cond.wait_for(Lock, std::chrono::seconds(kWaitLogSeconds), [&] { return !s.fDelivering; })) {
      Log(p, 0x7FFFFFFE,
          "VQXServicesServiceUnregister: service 0x%08X still waits for its callback in progress on another thread "
          "(is a lock held that the callback takes?)\n",
          s.Params.Info.un32ServiceId);
    }
  }
  std::deque<Item> Pending = std::move(s.Queue);
  s.un64QueueBytes = 0;
  std::map<u32*, bool> Delivered = std::move(s.Delivered);
  s.Links.clear();
  Lock.unlock();
  for (Item& it : Pending) {
    if (it.hMsg != nullptr) VQXReleaseMsgEx(p->hHostLib, &it.hMsg);
  }
  for (auto& [hRemote, f] : Delivered) {
    Item it{Item::Kind::kDisconnect, hRemote};
    Deliver(p, s, it);
  }
  if (fSelf) {
    s.Thread.detach();  // returns to its loop after this callback and ends there
  } else if (s.Thread.joinable()) {
    s.Thread.join();
  }
  Lock.lock();
}

}  // namespace

VQX_RESULT VQXServicesOpenLib(const _VQX_SERVICES_LIB_OPEN_PARAMS* pParams, VQX_LIB_HANDLE hHostLib,
                              VQX_SERVICES_LIB_HANDLE* phLib) {
  if (pParams == nullptr || phLib == nullptr) return VQX_RESULT_NULL_PARAM;
  *phLib = nullptr;
  if (hHostLib == nullptr) return VQX_RESULT_INVALID_HANDLE;
  if (pParams->pFctRemoteServiceConnected == nullptr || pParams->pFctMsgReceived == nullptr)
    return VQX_RESULT_NOT_SUPPORTED;
  Lib* p = new (std::nothrow) Lib();
  if (p == nullptr) return VQX_RESULT_NOT_ENOUGH_MEMORY;
  p->Params = *pParams;
  if (p->Params.un32MaxServices == 0) p->Params.un32MaxServices = VQX_SERVICES_LIB_DEFAULT_MAX_SERVICES;
  p->hHostLib = hHostLib;
  std::unique_ptr<_VQX_LIB_INFO> pInfo(new (std::nothrow) _VQX_LIB_INFO());
  std::vector<_VQX_FILTER_PARAMS> Sets;
  try {
    Sets = BaseSets();
  } catch (const std::bad_alloc&) {
    pInfo.reset();
  }
  if (pInfo == nullptr) {
    delete p;
    return VQX_RESULT_OUT_OF_MEMORY;
  }
  VQXGetLibInfo(hHostLib, pInfo.get());
  p->un64UniqueId = pInfo->un64UniqueHostId;
  if (VQX_RESULT_FAILED(VQXCreateMsgFilterEx(hHostLib, static_cast<u32>(Sets.size()), Sets.data(), &p->hFilter))) {
    delete p;
    return VQX_RESULT_OUT_OF_MEMORY;
  }
  try {
    p->RxThread = std::thread(RxThread, p);
  } catch (...) {
    VQXDestroyMsgFilterEx(hHostLib, &p->hFilter);
    delete p;
    return VQX_RESULT_OUT_OF_MEMORY;
  }
  try {
    SendProto(p, 0xFFFFFFFFu, VQX_SVC_MSG_ID_LIST_REQUEST, VqxSvcProtoEncodeRequest());
  } catch (const std::bad_alloc&) {
    VQXServicesCloseLib(p);
    return VQX_RESULT_OUT_OF_MEMORY;
  }
  *phLib = p;
  return VQX_RESULT_OK;
}

VQX_RESULT VQXServicesCloseLib(VQX_SERVICES_LIB_HANDLE p) {
  if (p == nullptr) return VQX_RESULT_INVALID_HANDLE;
  {
    std::lock_guard<std::mutex> Lock(p->Mutex);
    p->fStop = true;
  }
  VQXWakeMsgFilter(p->hHostLib, p->hFilter);
  p->RxThread.join();
  std::unique_lock<std::mutex> Lock(p->Mutex);
  while (!p->Services.empty()) UnregisterLocked(p, Lock, p->Services.begin()->second);
  Lock.unlock();
  VQXDestroyMsgFilterEx(p->hHostLib, &p->hFilter);
  delete p;
  return VQX_RESULT_OK;
}

VQX_RESULT VQXServicesServiceRegister(VQX_SERVICES_LIB_HANDLE p, const _VQX_SERVICES_LIB_SERVICE_PARAMS* pParams,
                                      void* pvServiceContext, u32** phService) {
  if (p == nullptr) return VQX_RESULT_INVALID_HANDLE;
  if (pParams == nullptr || phService == nullptr) return VQX_RESULT_NULL_PARAM;
  *phService = nullptr;
  const _VQX_SERVICES_LIB_SERVICE_INFO& In = pParams->Info;
  if (pParams->un32NbFilters > VQX_SERVICES_LIB_MAX_FILTERS || In.un32ServiceUserContextSize > VQX_SERVICES_LIB_MAX_USER_CONTEXT ||
      (In.un32ServiceUserContextSize != 0 && In.pbyServiceUserContext == nullptr)) {
    Log(p, 0x7FFFFFFE, "VQXServicesServiceRegister: %s\n", "Invalid service parameters.");
    return VQX_RESULT_INVALID_PARAM;
  }
  std::shared_ptr<Service> ps;
  try {
    ps = std::make_shared<Service>();
    ps->strContext.assign(reinterpret_cast<const char*>(In.pbyServiceUserContext), In.un32ServiceUserContextSize);
  } catch (const std::bad_alloc&) {
    return VQX_RESULT_OUT_OF_MEMORY;  // the user context cannot be copied
  }
  ps->Params = *pParams;
  ps->Params.Info.pbyServiceUserContext = nullptr;
  ps->pvContext = pvServiceContext;
  {
    std::unique_lock<std::mutex> Lock(p->Mutex);
    for (const auto& [h, s] : p->Services) {
      if (s->Params.Info.un32ServiceId == In.un32ServiceId) {
        Log(p, 0x7FFFFFFE, "VQXServicesServiceRegister: %s\n", "ServiceId already registered.");
        return VQX_RESULT_ACCESS_DENIED;
      }
    }
    /* Out of memory or threads: whatever was entered is undone, the service's thread stopped. */
    try {
      size_t nSets = FilterSetsLocked(p).size() + pParams->un32NbFilters;
      if (p->Services.size() >= p->Params.un32MaxServices || nSets > kMaxFilterSets ||
          p->Services.size() >= VQX_SVC_PROTO_MAX_SERVICES) {
        Log(p, 0x7FFFFFFE, "VQXServicesServiceRegister: %s\n", "Maximum number of registered services reached.");
        return VQX_RESULT_OUT_OF_RESOURCE;
      }
      ps->h = reinterpret_cast<u32*>(p->unNextService++);
      p->Services[ps->h] = ps;
      ps->Thread = std::thread(ServiceThread, p, ps);
      for (auto& [hHost, Known] : p->Hosts) {
        for (auto& [key, r] : Known) {
          if (Detects(*ps, r.Entry.un32ServiceId)) LinkLocked(p, *ps, r);
        }
      }
    } catch (...) {
      if (ps->Thread.joinable()) UnregisterLocked(p, Lock, ps);
      p->Services.erase(ps->h);
      return VQX_RESULT_OUT_OF_MEMORY;
    }
  }
  try {
    UpdateFilter(p);
    Announce(p);
  } catch (const std::bad_alloc&) {
    VQXServicesServiceUnregister(p, ps->h);
    return VQX_RESULT_OUT_OF_MEMORY;
  }
  *phService = ps->h;
  return VQX_RESULT_OK;
}

VQX_RESULT VQXServicesServiceSendMsg(VQX_SERVICES_LIB_HANDLE p, u32* hRemoteService, u32** pphMsg, i32 fBroadcast) {
  if (p == nullptr) return VQX_RESULT_INVALID_HANDLE;
  if (pphMsg == nullptr || *pphMsg == nullptr) return VQX_RESULT_NULL_PARAM;
  VQX_MSG_HANDLE hMsg = reinterpret_cast<VQX_MSG_HANDLE>(*pphMsg);
  if (fBroadcast != 0) {
    hMsg->MsgType = VQX_MSG_TYPE_EVENT;
    hMsg->hAdapter = 0xFFFFFFFFu;
  } else {
    std::lock_guard<std::mutex> Lock(p->Mutex);
    u32 hHost = 0;
    for (const auto& [h, Known] : p->Hosts) {
      for (const auto& [key, r] : Known) {
        if (r.h == hRemoteService && hRemoteService != nullptr) hHost = h;
      }
    }
    if (hHost == 0) return VQX_RESULT_INVALID_HANDLE;
    hMsg->hAdapter = hHost;
  }
  *pphMsg = nullptr;
  const VQX_RESULT r = VQXSendMsgEx(p->hHostLib, &hMsg, nullptr);
  return VQX_RESULT_FAILED(r) ? r : VQX_RESULT_OK;
}

VQX_RESULT VQXServicesServiceUnregister(VQX_SERVICES_LIB_HANDLE p, u32* hService) {
  if (p == nullptr) return VQX_RESULT_INVALID_HANDLE;
  std::unique_lock<std::mutex> Lock(p->Mutex);
  auto it = p->Services.find(hService);
  if (it == p->Services.end()) return VQX_RESULT_INVALID_HANDLE;
  UnregisterLocked(p, Lock, it->second);
  Lock.unlock();
  try {
    UpdateFilter(p);
    Announce(p);
  } catch (const std::bad_alloc&) {
    return VQX_RESULT_OUT_OF_MEMORY;  // gone here, the other hosts not yet told
  }
  return VQX_RESULT_OK;
}
