/*
 * launchlib_lib.cpp - the launch library instance: process contexts, the
 * public operations, the notification handler and the periodic task run by
 * the library's thread. One recursive mutex guards the contexts; callbacks
 * are queued under it and made after it is released.
 */
#include "launchlib_internal.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "vqx_clock.h"
#include "vqx_host_filter.h"
#include "vqx_msg_element.h"

namespace {

constexpr size_t kThreadStack = 1u << 20;
constexpr u32 kNotifHostAddedMin = VQX_NOTIF_OFFSET_INFO + sizeof(_VQX_HOST_INFO);
constexpr u32 kNotifHostRemovedMin = VQX_NOTIF_OFFSET_HANDLE + 4;
constexpr u32 kNotifReadyMin = VQX_LAUNCH_OFFSET_WATCH + 1;
constexpr u32 kNotifShutdownMin = VQX_LAUNCH_OFFSET_NUMBER + 4;

u32 Rd32(const u8* p) {
  u32 v;
  memcpy(&v, p, 4);
  return v;
}

}  // namespace

/* The libraries' one clock, so that tests can step it by hand. */
u64 VqxLaunchNowMs() { return VQXGetClock(); }

void VqxLaunchLog(_VQX_LAUNCH_LIB* p, u32 un32Level, const char* pszFormat, ...) {
  if (un32Level < p->Params.un32MinLevel || p->fClosing.load()) return;
  va_list Args;
  va_start(Args, pszFormat);
  p->Params.pFctPrint(p->Params.pvPrintContext, un32Level, nullptr, pszFormat, Args);
  va_end(Args);
}

u32 VqxLaunchHeartbeatPeriod(const _VQX_LAUNCH_LIB_PARAMS& Params) {
  /* A heartbeat time of 0 has no third to fit in: heartbeats keep the plain period
   * instead of going out on every run of the task. */
  if (Params.un32HeartbeatTimeMs == 0) return VQX_LAUNCH_HEARTBEAT_PERIOD_MS;
  u32 un32Third = Params.un32HeartbeatTimeMs / 3;
  if (un32Third == 0) un32Third = 1;
  return un32Third < VQX_LAUNCH_HEARTBEAT_PERIOD_MS ? un32Third : VQX_LAUNCH_HEARTBEAT_PERIOD_MS;
}

u32 VqxLaunchTaskPeriod(const _VQX_LAUNCH_LIB_PARAMS& Params) {
  const u32 un32Part = Params.un32HeartbeatTimeMs / 16;
  return un32Part >= VQX_LAUNCH_TASK_PERIOD_MS ? VQX_LAUNCH_TASK_PERIOD_MS : (un32Part < 10 ? 10 : un32Part);
}

_VQX_LAUNCH_LIB_PROCESS_INFO VqxLaunchInfo(const VqxLaunchCtx& C) {
  _VQX_LAUNCH_LIB_PROCESS_INFO I{};
  I.un32AppId = C.un32Id;
  I.un32State = C.un32State;
  I.hHost = C.hHost;
  I.un32ProcessId = static_cast<u32>(C.Pid);
  I.fExited = C.fExited;
  I.un32ExitStatus = C.un32ExitStatus;
  return I;
}

void VqxLaunchQueue(_VQX_LAUNCH_LIB* p, VqxLaunchCtx& C, bool fReady) {
  if (!fReady) C.fShutdownReported = true;
  p->aPending.push_back({fReady, VqxLaunchInfo(C)});
}

void VqxLaunchFlush(_VQX_LAUNCH_LIB* p, std::unique_lock<std::recursive_mutex>& Lock) {
  while (!p->aPending.empty()) {
    std::vector<VqxLaunchPending> a;
    a.swap(p->aPending);
    Lock.unlock();
    for (auto& E : a) {
      if (p->fClosing.load()) break;
      auto Fct = E.fReady ? p->Params.pFctLaunchProcessReady : p->Params.pFctLaunchProcessShutdown;
      void* pv = E.fReady ? p->Params.pvReadyContext : p->Params.pvShutdownContext;
      if (Fct != nullptr) Fct(pv, p, &E.Info);
    }
    Lock.lock();
  }
}

VQX_RESULT VqxLaunchSendOp(_VQX_LAUNCH_LIB* p, VqxLaunchCtx& C, u32 un32MsgId) {
  if (p->Params.hLib == nullptr || C.hHost == 0) return VQX_RESULT_NOT_ACCESSIBLE;
  const bool fHb = un32MsgId == VQX_LAUNCH_MSG_ID_OP_HEARTBEAT;
  /* A process being shut down gets no more heartbeats. */
  if (fHb && (C.un32State == VQX_LAUNCH_STATE_MGMT_SHUTDOWN || C.un32State == VQX_LAUNCH_STATE_SHUTDOWN))
    return VQX_RESULT_INVALID_STATE;
  u32 un32Size = fHb ? VQX_LAUNCH_OP_HEARTBEAT_SIZE : VQX_LAUNCH_OP_SHUTDOWN_SIZE;
  if (fHb && !C.sParams.empty()) un32Size += VQXMsgElementComputeSize(static_cast<u32>(C.sParams.size() + 1));
  VQX_MSG_HANDLE hMsg = nullptr;
  VQX_RESULT r = VQXGetMsg(p->Params.hLib, un32Size, &hMsg);
  if (VQX_RESULT_FAILED(r)) return r;
  u8* pPayload = VQXMsgPayload(hMsg);
  memset(pPayload, 0, un32Size);
  hMsg->un32MsgId = un32MsgId;
  hMsg->MsgType = VQX_MSG_TYPE_EVENT;
  hMsg->hAdapter = C.hHost;
  u32 un32Version = VQX_LAUNCH_MSG_VERSION;
  /* The element set first: its set-up clears the record area. */
  if (fHb) VQXMsgElementInit(hMsg, VQX_LAUNCH_OFFSET_ELEMENTS + 4);
  memcpy(pPayload + VQX_LAUNCH_OFFSET_VERSION, &un32Version, 4);
  if (fHb) {
    ++C.un32HbCounter;
    memcpy(pPayload + VQX_LAUNCH_OFFSET_NUMBER, &C.un32HbCounter, 4);
    if (!C.sParams.empty()) VQXMsgElementStringAdd(hMsg, pPayload + VQX_LAUNCH_OFFSET_ELEMENTS, C.sParams.c_str());
    C.un64LastHbMs = VqxLaunchNowMs();
  } else {
    memcpy(pPayload + VQX_LAUNCH_OFFSET_NUMBER, &C.un32State, 4);
    hMsg->un32PayloadLength = VQX_LAUNCH_OP_SHUTDOWN_SIZE;
  }
  return VQXSendMsgEx(p->Params.hLib, &hMsg, nullptr);
}

/* An attached process has ended when its pid is free or names another process now. */
static bool AttachedGone(const VqxLaunchCtx& C) {
  u32 un32Ppid = 0;
  u64 un64Start = 0;
  return !VqxLaunchReadStat(C.Pid, &un32Ppid, &un64Start) || un64Start != C.un64Start;
}

void VqxLaunchKill(_VQX_LAUNCH_LIB* p, VqxLaunchCtx& C) {
  if (C.fLocked || C.Pid <= 0 || C.fExited) return;
  if (C.fAttached && AttachedGone(C)) {
    VqxLaunchLog(p, VQX_LAUNCH_LEVEL_ERR,
                 "Process %s.%u (AppId=%u) not killed: the attached process has ended (pid free or reused)\n",
                 p->Params.szName, static_cast<u32>(C.Pid), C.un32Id);
    C.fExited = 1;
    return;
  }
  VqxLaunchKillTree(C.Pid, C.fKillSingle != 0, C.fAttached ? C.un64Start : 0);
  C.fKilled = true;
}

VqxLaunchCtx* VqxLaunchFind(_VQX_LAUNCH_LIB* p, u32 un32Id) {
  auto It = p->Ctx.find(un32Id);
  return It == p->Ctx.end() ? nullptr : &It->second;
}

VqxLaunchCtx* VqxLaunchFindHost(_VQX_LAUNCH_LIB* p, u32 hHost) {
  if (hHost == 0) return nullptr;
  for (auto& [k, C] : p->Ctx)
    if (C.hHost == hHost) return &C;
  return nullptr;
}

/* A host record is from this machine when it gives an address and every
 * address it gives is loopback or one of our interfaces. */
static bool OnThisMachine(const _VQX_HOST_INFO& Info) {
  bool fAny = false;
  for (const char* psz : {Info.szIpAddress0, Info.szIpAddress1}) {
    if (psz[0] == '\0') continue;
    if (!VqxLaunchIsLocalAddress(psz)) return false;
    fAny = true;
  }
  return fAny;
}

bool VqxLaunchHoldsHostLink(_VQX_LAUNCH_LIB* p, u32 hHost, pid_t Pid) {
  if (p->Params.hLib == nullptr) return false;
  _VQX_PEER_LINK aLinks[VQX_PEER_MAX_LINKS];
  u32 un32Count = 0;
  return VQX_RESULT_SUCCEEDED(VQXGetRemoteHostLinks(p->Params.hLib, hHost, &un32Count, aLinks)) &&
         VqxLaunchHoldsPeerEnd(Pid, aLinks, un32Count);
}

/* Why a local host's claim of a pid is not believed (null: believed). A pid
 * not of ours must be attachable; and since any local program may claim any
 * pid, the claim holds only for the process at the other end of the host's
 * links. Fills the start time of an attachable process. */
static const char* ClaimRefused(_VQX_LAUNCH_LIB* p, u32 hHost, u32 un32Pid, bool fOurs, u64* pun64Start) {
  if (un32Pid > 0x7FFFFFFFu) return "no such process";
  const char* pszWhy = nullptr;
  if (!fOurs && !VqxLaunchAttachable(static_cast<pid_t>(un32Pid), pun64Start, &pszWhy)) return pszWhy;
  if (!p->pfnHoldsHostLink(p, hHost, static_cast<pid_t>(un32Pid))) return "not the process holding its connection";
  return nullptr;
}

static u32 LogLevel(const VqxLaunchCtx& C) { return C.fQuiet ? 1u : VQX_LAUNCH_LEVEL_MSG; }

/* Ends a context: state 7 reported through the shutdown callback. */
static void EndCtx(_VQX_LAUNCH_LIB* p, VqxLaunchCtx& C) {
  C.un32State = VQX_LAUNCH_STATE_DESTROYED;
  VqxLaunchLog(p, LogLevel(C), "Process %s.%u (AppId=%u) destroyed, exit status %u\n", p->Params.szName,
               static_cast<u32>(C.Pid), C.un32Id, C.un32ExitStatus);
  VqxLaunchQueue(p, C, false);
  C.fGone = true;
}

void VqxLaunchHandleMsg(_VQX_LAUNCH_LIB* p, const VQX_MSG_HEADER* pHdr, const u8* pPayload, u32 un32Len) {
  const u64 Now = VqxLaunchNowMs();
  switch (pHdr->un32MsgId) {
    case VQX_LAUNCH_MSG_ID_NOTIF_READY: {
      VqxLaunchCtx* C = VqxLaunchFindHost(p, pHdr->hAdapter);
      if (C == nullptr) return;
      if (un32Len < kNotifReadyMin) {
        VqxLaunchLog(p, VQX_LAUNCH_LEVEL_ERR, "LaunchLib thread: short ready notification (%u bytes) dropped\n", un32Len);
        return;
      }
      C->fWatch = pPayload[VQX_LAUNCH_OFFSET_WATCH] != 0;
      C->un64LastReadyMs = Now;
      C->un32Warned = 0;
      if (C->un32State < VQX_LAUNCH_STATE_READY) {
        C->un32State = VQX_LAUNCH_STATE_READY;
        VqxLaunchSendOp(p, *C, VQX_LAUNCH_MSG_ID_OP_HEARTBEAT);
        VqxLaunchQueue(p, *C, true);
      }
      return;
    }
    case VQX_LAUNCH_MSG_ID_NOTIF_SHUTDOWN: {
      VqxLaunchCtx* C = VqxLaunchFindHost(p, pHdr->hAdapter);
      if (C == nullptr) return;
      if (un32Len < kNotifShutdownMin) {
        VqxLaunchLog(p, VQX_LAUNCH_LEVEL_ERR, "LaunchLib thread: short shutdown notification (%u bytes) dropped\n",
                     un32Len);
        return;
      }
      if (C->un32State == VQX_LAUNCH_STATE_MGMT_SHUTDOWN || C->un32State == VQX_LAUNCH_STATE_SHUTDOWN)
        VqxLaunchQueue(p, *C, false);
      return;
    }
    case VQX_MSG_ID_API_NOTIF_HOST_ADDED: {
      if (un32Len < kNotifHostAddedMin) {
        VqxLaunchLog(p, VQX_LAUNCH_LEVEL_ERR, "LaunchLib thread: short host notification (%u bytes) dropped\n", un32Len);
        return;
      }
      _VQX_HOST_INFO Info;
      memcpy(&Info, pPayload + VQX_NOTIF_OFFSET_INFO, sizeof(Info));
      Info.szHostName[sizeof(Info.szHostName) - 1] = '\0';
      Info.szIpAddress0[sizeof(Info.szIpAddress0) - 1] = Info.szIpAddress1[sizeof(Info.szIpAddress1) - 1] = '\0';
      if (strcmp(Info.szHostName, p->szLocalHost) != 0) return;
      const u32 un32Pid = static_cast<u32>(Info.un64UniqueHostId & 0xFFFFFFFFu);
      /* A host name is only a claim: any host on the network may use ours. */
      if (!OnThisMachine(Info)) {
        VqxLaunchLog(p, VQX_LAUNCH_LEVEL_ERR,
                     "LaunchLib thread: host %s (pid %u) at %s/%s is not on this machine: ignored\n",
                     Info.szHostName, un32Pid, Info.szIpAddress0, Info.szIpAddress1);
        return;
      }
      VqxLaunchCtx* pFound = nullptr;
      for (auto& [k, C] : p->Ctx)
        if (!C.fGone && static_cast<u32>(C.Pid) == un32Pid) pFound = &C;
      if (pFound == nullptr && (!p->Params.fAttach || VqxLaunchFindHost(p, Info.hAdapter) != nullptr)) return;
      u64 un64Start = 0;
      if (const char* pszWhy = ClaimRefused(p, Info.hAdapter, un32Pid, pFound != nullptr, &un64Start)) {
        VqxLaunchLog(p, VQX_LAUNCH_LEVEL_ERR, "LaunchLib thread: host %s pid %u not attached: %s\n", Info.szHostName,
                     un32Pid, pszWhy);
        return;
      }
      if (pFound == nullptr) {
        if (p->Ctx.size() >= p->Params.un32MaxApplication) {
          VqxLaunchLog(p, VQX_LAUNCH_LEVEL_ERR, "No more context available\n");
          return;
        }
        VqxLaunchCtx N;
        N.un32Id = p->un32NextId++;
        N.Pid = static_cast<pid_t>(un32Pid);
        N.fAttached = true;
        N.un64Start = un64Start;
        N.un64StateMs = Now;
        pFound = &p->Ctx.emplace(N.un32Id, N).first->second;
      }
      pFound->hHost = Info.hAdapter;
      if (pFound->un32State <= VQX_LAUNCH_STATE_NOT_USING_ALM) {
        pFound->un32State = VQX_LAUNCH_STATE_HOSTLIB_STARTED;
        pFound->un64StateMs = Now;
        pFound->un64LastHbMs = 0;
        VqxLaunchSendOp(p, *pFound, VQX_LAUNCH_MSG_ID_OP_HEARTBEAT);
        VqxLaunchQueue(p, *pFound, true);
      }
      return;
    }
    case VQX_MSG_ID_API_NOTIF_HOST_REMOVED: {
      if (un32Len < kNotifHostRemovedMin) {
        VqxLaunchLog(p, VQX_LAUNCH_LEVEL_ERR, "LaunchLib thread: short host notification (%u bytes) dropped\n", un32Len);
        return;
      }
      VqxLaunchCtx* C = VqxLaunchFindHost(p, Rd32(pPayload + VQX_NOTIF_OFFSET_HANDLE));
      if (C == nullptr) return;
      C->hHost = 0;
      C->fHostRemoved = true;
      if (C->un32State != VQX_LAUNCH_STATE_DESTROYED && C->un32State != VQX_LAUNCH_STATE_SHUTDOWN) {
        C->un32State = VQX_LAUNCH_STATE_SHUTDOWN;
        C->un64StateMs = Now;
        VqxLaunchQueue(p, *C, false);
      }
      return;
    }
    default:
      VqxLaunchLog(p, VQX_LAUNCH_LEVEL_ERR, "LaunchLib thread: Invalid msg id=0x%08x\n", pHdr->un32MsgId);
  }
}

void VqxLaunchPeriodic(_VQX_LAUNCH_LIB* p) {
  const u64 Now = VqxLaunchNowMs();
  const _VQX_LAUNCH_LIB_PARAMS& P = p->Params;
  const u32 un32Period = VqxLaunchHeartbeatPeriod(P);
  for (auto& [k, C] : p->Ctx) {
    if (C.fGone) continue;
    /* The end of a child of ours, or of an attached process whose host went. */
    if (!C.fAttached && C.Pid > 0 && !C.fExited) {
      int Status = 0;
      if (waitpid(C.Pid, &Status, WNOHANG) == C.Pid) {
        C.fExited = 1;
        C.un32ExitStatus = WIFEXITED(Status) ? static_cast<u32>(WEXITSTATUS(Status))
                                             : 128u + static_cast<u32>(WTERMSIG(Status));
        EndCtx(p, C);
        continue;
      }
    } else if (C.fAttached && (C.fExited || (C.fHostRemoved && AttachedGone(C)))) {
      C.fExited = 1;
      EndCtx(p, C);
      continue;
    }
    const u64 Age = Now - C.un64StateMs;
    switch (C.un32State) {
      case VQX_LAUNCH_STATE_STARTING:
      case VQX_LAUNCH_STATE_HOSTLIB_STARTED:
        if (Age > P.un32StartingTimeMs) {
          C.un32State = VQX_LAUNCH_STATE_NOT_USING_ALM;
          C.un64StateMs = Now;
          VqxLaunchLog(p, LogLevel(C), "Process %s.%u (AppId=%u) is not using ALM messages\n", P.szName,
                       static_cast<u32>(C.Pid), C.un32Id);
          VqxLaunchQueue(p, C, true);
        } else if (C.un32State == VQX_LAUNCH_STATE_HOSTLIB_STARTED && Now - C.un64LastHbMs >= un32Period) {
          /* The first heartbeat may precede the client's link to us: repeat it. */
          VqxLaunchSendOp(p, C, VQX_LAUNCH_MSG_ID_OP_HEARTBEAT);
        }
        break;
      case VQX_LAUNCH_STATE_READY: {
        if (Now - C.un64LastHbMs >= un32Period) VqxLaunchSendOp(p, C, VQX_LAUNCH_MSG_ID_OP_HEARTBEAT);
        if (!C.fWatch || C.fLocked) break;
        const u64 Silent = Now - C.un64LastReadyMs;
        const u32 T = P.un32HeartbeatTimeMs;
        if (Silent > T) {
          VqxLaunchLog(p, VQX_LAUNCH_LEVEL_ERR,
                       "Error: Process %s.%s heart-beat watchdog timeout expired (%u > %u ms). Killing application NOW!\n",
                       P.szName, C.sName.c_str(), static_cast<u32>(Silent), T);
          VqxLaunchKill(p, C);
          C.fWatch = false;
        } else if (Silent > static_cast<u64>(T) * 3 / 4 && C.un32Warned < 2) {
          C.un32Warned = 2;
          VqxLaunchLog(p, VQX_LAUNCH_LEVEL_ERR, "Warning: Process %s.%s heart-beat silent for %u ms (3/4 of %u ms)\n",
                       P.szName, C.sName.c_str(), static_cast<u32>(Silent), T);
        } else if (Silent > T / 2 && C.un32Warned < 1) {
          C.un32Warned = 1;
          VqxLaunchLog(p, VQX_LAUNCH_LEVEL_ERR, "Warning: Process %s.%s heart-beat silent for %u ms (1/2 of %u ms)\n",
                       P.szName, C.sName.c_str(), static_cast<u32>(Silent), T);
        }
        break;
      }
      case VQX_LAUNCH_STATE_MGMT_SHUTDOWN:
      case VQX_LAUNCH_STATE_SHUTDOWN: {
        const u32 Limit = C.un32State == VQX_LAUNCH_STATE_MGMT_SHUTDOWN ? P.un32MgmtShutdownTimeMs : P.un32HeartbeatTimeMs;
        if (Age <= Limit || C.fKilled) break;
        if (C.fLocked) {
          /* Sent again each limit; a limit of 0 waits a heartbeat period instead of
           * sending on every run of the task. */
          if (Limit == 0 && Age < un32Period) break;
          VqxLaunchSendOp(p, C, VQX_LAUNCH_MSG_ID_OP_SHUTDOWN);
          C.un64StateMs = Now;
        } else if (C.fAttached && C.Pid <= 0) {
          EndCtx(p, C);
        } else {
          VqxLaunchLog(p, LogLevel(C), "Process %s.%s still shutting down after %u ms: killed\n", P.szName,
                       C.sName.c_str(), Limit);
          VqxLaunchKill(p, C);
        }
        break;
      }
      default:
        break;
    }
  }
  for (auto It = p->Ctx.begin(); It != p->Ctx.end();) It = It->second.fGone ? p->Ctx.erase(It) : std::next(It);
}

static void* ThreadMain(void* pv) {
  auto* p = static_cast<_VQX_LAUNCH_LIB*>(pv);
  u64 LastTask = 0;
  while (!p->fStop.load()) {
    u32 un32PeriodMs;
    {
      std::lock_guard<std::recursive_mutex> L(p->Mutex);
      un32PeriodMs = VqxLaunchTaskPeriod(p->Params);
    }
    VQX_MSG_HANDLE hMsg = nullptr;
    if (p->hFilter != nullptr) {
      VQXReceiveMsg(p->Params.hLib, p->hFilter, un32PeriodMs, &hMsg);
    } else {
      std::unique_lock<std::mutex> W(p->WakeMutex);
      p->WakeCv.wait_for(W, std::chrono::milliseconds(un32PeriodMs), [p] { return p->fStop.load(); });
    }
    std::unique_lock<std::recursive_mutex> Lock(p->Mutex);
    if (hMsg != nullptr) {
      u32 un32Len = hMsg->un32PayloadLength;
      if (un32Len > hMsg->un32PayloadMaxLength) un32Len = hMsg->un32PayloadMaxLength;
      VqxLaunchHandleMsg(p, hMsg, VQXMsgPayload(hMsg), un32Len);
      VQXReleaseMsgEx(p->Params.hLib, &hMsg);
    }
    /* Run the task on time even under a stream of notifications. */
    const u64 Now = VqxLaunchNowMs();
    if (Now - LastTask >= un32PeriodMs) {
      LastTask = Now;
      VqxLaunchPeriodic(p);
    }
    VqxLaunchFlush(p, Lock);
  }
  return nullptr;
}

static VQX_RESULT Destroy(_VQX_LAUNCH_LIB* p) {
  p->fClosing = true;
  p->fStop = true;
  if (p->fThread) {
    if (p->hFilter != nullptr) VQXWakeMsgFilter(p->Params.hLib, p->hFilter);
    {
      std::lock_guard<std::mutex> W(p->WakeMutex);
      p->WakeCv.notify_all();
    }
    pthread_join(p->Thread, nullptr);
  }
  if (p->hFilter != nullptr) VQXDestroyMsgFilterEx(p->Params.hLib, &p->hFilter);
  for (auto& [k, C] : p->Ctx) {
    if (C.un32State == VQX_LAUNCH_STATE_MGMT_SHUTDOWN || C.un32State == VQX_LAUNCH_STATE_SHUTDOWN) {
      C.fLocked = false;
      VqxLaunchKill(p, C);
    }
    if (!C.fAttached && C.Pid > 0 && !C.fExited) {
      /* Reaped when it has ended; a running child is left to the system. */
      int Status = 0;
      waitpid(C.Pid, &Status, C.fKilled ? 0 : WNOHANG);
    }
  }
  delete p;
  return VQX_RESULT_OK;
}

VQX_RESULT VQXLaunchLibOpen(_VQX_LAUNCH_LIB_PARAMS* pParams, VQX_LAUNCH_LIB_HANDLE* phOut) {
  if (phOut != nullptr) *phOut = nullptr;
  if (pParams == nullptr || phOut == nullptr || pParams->pFctPrint == nullptr) return VQX_RESULT_NULL_PARAM;
  if (pParams->un32MaxApplication == 0) return VQX_RESULT_INVALID_PARAM;
  auto* p = new (std::nothrow) _VQX_LAUNCH_LIB();
  if (p == nullptr) return VQX_RESULT_NOT_ENOUGH_MEMORY;
  p->Params = *pParams;
  p->Params.szName[sizeof(p->Params.szName) - 1] = '\0';
  if (p->Params.un32StartingTimeMs == 0) p->Params.un32StartingTimeMs = VQX_LAUNCH_DEFAULT_STARTING_MS;
  if (p->Params.un32HeartbeatTimeMs == 0) p->Params.un32HeartbeatTimeMs = VQX_LAUNCH_DEFAULT_HEARTBEAT_MS;
  if (p->Params.un32MgmtShutdownTimeMs == 0) p->Params.un32MgmtShutdownTimeMs = VQX_LAUNCH_DEFAULT_MGMT_SHUTDOWN_MS;
  snprintf(p->szLocalHost, sizeof(p->szLocalHost), "localhost");
  if (!p->Params.fAppManager) {
    *phOut = p;
    return VQX_RESULT_OK;
  }
  if (p->Params.hLib != nullptr) {
    _VQX_LIB_PARAMS Lp{};
    VQX_RESULT r = VQXGetLibParams(p->Params.hLib, &Lp);
    if (VQX_RESULT_FAILED(r)) {
      Destroy(p);
      return r;
    }
    snprintf(p->szLocalHost, sizeof(p->szLocalHost), "%s", Lp.szHostName);
    _VQX_FILTER_PARAMS aF[4]{};
    const u32 aIds[4] = {VQX_LAUNCH_MSG_ID_NOTIF_READY, VQX_LAUNCH_MSG_ID_NOTIF_SHUTDOWN,
                         VQX_MSG_ID_API_NOTIF_HOST_ADDED, VQX_MSG_ID_API_NOTIF_HOST_REMOVED};
    for (int i = 0; i < 4; ++i) {
      aF[i].un32Version = 1;
      aF[i].un32Mask = VQX_FILTER_MASK_MSG_ID;
      aF[i].MsgId = aIds[i];
    }
    r = VQXCreateMsgFilterEx(p->Params.hLib, 4, aF, &p->hFilter);
    if (VQX_RESULT_FAILED(r)) {
      Destroy(p);
      return r;
    }
  }
  pthread_attr_t Attr;
  pthread_attr_init(&Attr);
  pthread_attr_setstacksize(&Attr, kThreadStack);
  const int Err = pthread_create(&p->Thread, &Attr, ThreadMain, p);
  pthread_attr_destroy(&Attr);
  if (Err != 0) {
    Destroy(p);
    return VQX_RESULT_OUT_OF_RESOURCE;
  }
  p->fThread = true;
  *phOut = p;
  return VQX_RESULT_OK;
}

VQX_RESULT VQXLaunchLibClose(VQX_LAUNCH_LIB_HANDLE hLaunch) {
  if (hLaunch == nullptr) return VQX_RESULT_INVALID_HANDLE;
  return Destroy(hLaunch);
}
