/*
 * launchlib_internal.h - inside the launch library only: the instance, its
 * process contexts and the steps shared by the thread and the operations.
 * Everything here runs under _VQX_LAUNCH_LIB::Mutex unless said otherwise.
 */
#ifndef LAUNCHLIB_INTERNAL_H
#define LAUNCHLIB_INTERNAL_H

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "launchlib_proc_internal.h"
#include "vqx_launch.h"

struct VqxLaunchCtx {
  u32 un32Id = 0;
  u32 un32State = VQX_LAUNCH_STATE_STARTING;
  u32 hHost = 0;
  pid_t Pid = 0;
  u8 fExited = 0;
  u32 un32ExitStatus = 0;
  std::string sName;      /* program base name, for log lines */
  std::string sParams;    /* command-line parameters, sent with each heartbeat */
  bool fQuiet = false;
  u8 fKillSingle = 0;
  bool fLocked = false;
  bool fWatch = false;
  bool fAttached = false;     /* not started here: seen through its host library */
  u64 un64Start = 0;          /* attached: its start time, so that a reused pid is never signalled */
  bool fHostRemoved = false;
  bool fKilled = false;
  bool fShutdownReported = false;
  bool fGone = false;         /* erased at the end of the periodic task */
  u32 un32Warned = 0;         /* 1: half, 2: three quarters */
  u32 un32HbCounter = 0;
  u64 un64StateMs = 0;        /* when the current state began */
  u64 un64LastHbMs = 0;
  u64 un64LastReadyMs = 0;
};

struct VqxLaunchPending {
  bool fReady;
  _VQX_LAUNCH_LIB_PROCESS_INFO Info;
};

/* Whether the process Pid holds the other end of the host's links: the claim
 * of a pid in a host record is believed only then. */
bool VqxLaunchHoldsHostLink(_VQX_LAUNCH_LIB* p, u32 hHost, pid_t Pid);

struct _VQX_LAUNCH_LIB {
  _VQX_LAUNCH_LIB_PARAMS Params{};
  char szLocalHost[128]{};
  std::recursive_mutex Mutex;
  std::map<u32, VqxLaunchCtx> Ctx;
  u32 un32NextId = 1;                 /* never reused while open */
  std::vector<VqxLaunchPending> aPending;
  VQX_FILTER_HANDLE hFilter = nullptr;
  pthread_t Thread{};
  bool fThread = false;
  std::atomic<bool> fStop{false};
  std::atomic<bool> fClosing{false};  /* no callback once set */
  std::mutex WakeMutex;
  std::condition_variable WakeCv;
  /* VqxLaunchHoldsHostLink; a test that feeds hand-made notifications, with no
   * host library and so no links, puts its own here. */
  bool (*pfnHoldsHostLink)(_VQX_LAUNCH_LIB* p, u32 hHost, pid_t Pid) = VqxLaunchHoldsHostLink;
};

u64 VqxLaunchNowMs();
void VqxLaunchLog(_VQX_LAUNCH_LIB* p, u32 un32Level, const char* pszFormat, ...)
    __attribute__((format(printf, 3, 4)));
/* Heartbeat period: min(2000, heartbeat time / 3) ms, at least 1; 2000 for a heartbeat time of 0. */
u32 VqxLaunchHeartbeatPeriod(const _VQX_LAUNCH_LIB_PARAMS& Params);
/* Periodic task: every min(100, heartbeat time / 16) ms, at least 10 ms,
 * so that a kill follows the watchdog time closely. */
u32 VqxLaunchTaskPeriod(const _VQX_LAUNCH_LIB_PARAMS& Params);
_VQX_LAUNCH_LIB_PROCESS_INFO VqxLaunchInfo(const VqxLaunchCtx& C);
/* Queues a ready (or shutdown) callback with the context's report. */
void VqxLaunchQueue(_VQX_LAUNCH_LIB* p, VqxLaunchCtx& C, bool fReady);
/* Makes the queued callbacks with the mutex released. */
void VqxLaunchFlush(_VQX_LAUNCH_LIB* p, std::unique_lock<std::recursive_mutex>& Lock);
/* Sends a heartbeat or shutdown operation to the context's host; 0x82000017 without one,
 * 0x8200000F for a heartbeat to a process in state 5 or 6 (none is sent while shutting down). */
VQX_RESULT VqxLaunchSendOp(_VQX_LAUNCH_LIB* p, VqxLaunchCtx& C, u32 un32MsgId);
void VqxLaunchKill(_VQX_LAUNCH_LIB* p, VqxLaunchCtx& C);
VqxLaunchCtx* VqxLaunchFind(_VQX_LAUNCH_LIB* p, u32 un32Id);
VqxLaunchCtx* VqxLaunchFindHost(_VQX_LAUNCH_LIB* p, u32 hHost);
/* One received message (payload of un32Len bytes, checked before reading). */
void VqxLaunchHandleMsg(_VQX_LAUNCH_LIB* p, const VQX_MSG_HEADER* pHdr, const u8* pPayload, u32 un32Len);
/* Reaping, starting time, heartbeats, watchdog, shutdown times. */
void VqxLaunchPeriodic(_VQX_LAUNCH_LIB* p);

#endif
