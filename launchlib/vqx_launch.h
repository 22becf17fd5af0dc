/*
 * vqx_launch.h - the launch library: starts applications on this host,
 * follows each through its states (0 to 7), answers their ready and shutdown
 * notifications over the host library, kills one whose ready notifications
 * stop (with its process tree) and shuts them down gracefully or at once.
 *
 * Model. VQXLaunchLibOpen builds a library with a fixed number of process
 * contexts. With fAppManager set, one thread (1 MiB stack) receives the
 * notifications of group 0x0825 and the host-added/-removed notifications,
 * and runs the periodic task (heartbeats, watchdog, starting and shutdown
 * times, reaping) at least every 100 ms. Callbacks (ready, shutdown, print)
 * are made with the library's mutex released; none is made once
 * VQXLaunchLibClose has begun. Layout details: docs/launch-lib.md.
 *
 * Results: 0x02000000 on success; failures have bit 31 set.
 */
#ifndef VQX_LAUNCH_H
#define VQX_LAUNCH_H

#include <stdarg.h>
#include <stddef.h>

#include "vqx_host.h"
#include "vqx_host_peer.h"
#include "vqx_result.h"
#include "vqx_types.h"

typedef struct _VQX_LAUNCH_LIB* VQX_LAUNCH_LIB_HANDLE;

/* Trace levels of the print callback. */
#define VQX_LAUNCH_LEVEL_MSG 0x7FFFFFFDu
#define VQX_LAUNCH_LEVEL_ERR 0x7FFFFFFEu

/* Messages of group 0x0825 (payloads in the sender's native byte order). */
#define VQX_LAUNCH_MSG_ID_OP_HEARTBEAT 0x08250001u
#define VQX_LAUNCH_MSG_ID_OP_SHUTDOWN 0x08250002u
#define VQX_LAUNCH_MSG_ID_NOTIF_READY 0x08250011u
#define VQX_LAUNCH_MSG_ID_NOTIF_SHUTDOWN 0x08250013u
#define VQX_LAUNCH_MSG_VERSION 1u
#define VQX_LAUNCH_OP_HEARTBEAT_SIZE 64u     /* without the command-line element */
#define VQX_LAUNCH_OP_HEARTBEAT_RECORD 56u   /* what a client reads */
#define VQX_LAUNCH_OP_SHUTDOWN_SIZE 48u
#define VQX_LAUNCH_NOTIF_SIZE 48u
#define VQX_LAUNCH_OFFSET_VERSION 8u
#define VQX_LAUNCH_OFFSET_NUMBER 12u         /* heartbeat number or state */
#define VQX_LAUNCH_OFFSET_WATCH 16u          /* ready notification: watch byte */
#define VQX_LAUNCH_OFFSET_ELEMENTS 52u       /* heartbeat: element set word */

/* Library defaults and periods (ms). */
#define VQX_LAUNCH_DEFAULT_STARTING_MS 5000u
#define VQX_LAUNCH_DEFAULT_HEARTBEAT_MS 5000u
#define VQX_LAUNCH_DEFAULT_MGMT_SHUTDOWN_MS 600000u
#define VQX_LAUNCH_HEARTBEAT_PERIOD_MS 2000u
#define VQX_LAUNCH_TASK_PERIOD_MS 100u
#define VQX_LAUNCH_MAX_ENV 64u

typedef enum _VQX_LAUNCH_LIB_PROCESS_STATE {
  VQX_LAUNCH_STATE_NOT_PRESENT = 0,
  VQX_LAUNCH_STATE_STARTING = 1,
  VQX_LAUNCH_STATE_NOT_USING_ALM = 2,
  VQX_LAUNCH_STATE_HOSTLIB_STARTED = 3,
  VQX_LAUNCH_STATE_READY = 4,
  VQX_LAUNCH_STATE_MGMT_SHUTDOWN = 5,
  VQX_LAUNCH_STATE_SHUTDOWN = 6,
  VQX_LAUNCH_STATE_DESTROYED = 7
} _VQX_LAUNCH_LIB_PROCESS_STATE;

/* Report on one process (24 bytes). */
typedef struct _VQX_LAUNCH_LIB_PROCESS_INFO {
  u32 un32AppId;
  u32 un32State;      /* _VQX_LAUNCH_LIB_PROCESS_STATE */
  u32 hHost;          /* 0 until the process's host library is seen */
  u32 un32ProcessId;
  u8 fExited;         /* set once waitpid reported the end */
  u8 abyPad[3];
  u32 un32ExitStatus;
} _VQX_LAUNCH_LIB_PROCESS_INFO;
static_assert(sizeof(_VQX_LAUNCH_LIB_PROCESS_INFO) == 24);
static_assert(offsetof(_VQX_LAUNCH_LIB_PROCESS_INFO, un32State) == 4);
static_assert(offsetof(_VQX_LAUNCH_LIB_PROCESS_INFO, hHost) == 8);
static_assert(offsetof(_VQX_LAUNCH_LIB_PROCESS_INFO, un32ProcessId) == 12);
static_assert(offsetof(_VQX_LAUNCH_LIB_PROCESS_INFO, fExited) == 16);
static_assert(offsetof(_VQX_LAUNCH_LIB_PROCESS_INFO, un32ExitStatus) == 20);

typedef void (*PFCT_VQX_LAUNCH_PRINT)(void* pvContext, u32 Level, const char* pszColour, const char* pszFormat,
                                      va_list Args);
typedef void (*PFCT_VQX_LAUNCH_PROCESS)(void* pvContext, VQX_LAUNCH_LIB_HANDLE hLaunchLib,
                                        _VQX_LAUNCH_LIB_PROCESS_INFO* pInfo);

/* Parameter record (128 bytes). */
typedef struct _VQX_LAUNCH_LIB_PARAMS {
  VQX_LIB_HANDLE hLib;                     /* null: nothing managed over the network */
  char szName[32];
  PFCT_VQX_LAUNCH_PRINT pFctPrint;         /* required */
  void* pvPrintContext;
  u32 un32MinLevel;                        /* lines of a lower level are dropped */
  u32 un32Pad0;
  PFCT_VQX_LAUNCH_PROCESS pFctLaunchProcessReady;
  void* pvReadyContext;
  PFCT_VQX_LAUNCH_PROCESS pFctLaunchProcessShutdown;
  void* pvShutdownContext;
  u32 un32MaxApplication;                  /* number of process contexts, not 0 */
  u8 fAppManager;                          /* thread, filter and periodic task */
  u8 fAttach;                              /* unknown local host libraries get a context */
  u8 abyPad1[2];
  u32 un32StartingTimeMs;                  /* 0 at open: 5000 */
  u32 un32MgmtShutdownTimeMs;              /* 0 at open: 600000 */
  u32 un32HeartbeatTimeMs;                 /* 0 at open: 5000; watchdog and immediate shutdown */
  u8 abyReserved[12];
} _VQX_LAUNCH_LIB_PARAMS;
static_assert(sizeof(_VQX_LAUNCH_LIB_PARAMS) == 128);
static_assert(offsetof(_VQX_LAUNCH_LIB_PARAMS, szName) == 8);
static_assert(offsetof(_VQX_LAUNCH_LIB_PARAMS, pFctPrint) == 40);
static_assert(offsetof(_VQX_LAUNCH_LIB_PARAMS, un32MinLevel) == 56);
static_assert(offsetof(_VQX_LAUNCH_LIB_PARAMS, pFctLaunchProcessReady) == 64);
static_assert(offsetof(_VQX_LAUNCH_LIB_PARAMS, pFctLaunchProcessShutdown) == 80);
static_assert(offsetof(_VQX_LAUNCH_LIB_PARAMS, un32MaxApplication) == 96);
static_assert(offsetof(_VQX_LAUNCH_LIB_PARAMS, fAppManager) == 100);
static_assert(offsetof(_VQX_LAUNCH_LIB_PARAMS, fAttach) == 101);
static_assert(offsetof(_VQX_LAUNCH_LIB_PARAMS, un32StartingTimeMs) == 104);
static_assert(offsetof(_VQX_LAUNCH_LIB_PARAMS, un32MgmtShutdownTimeMs) == 108);
static_assert(offsetof(_VQX_LAUNCH_LIB_PARAMS, un32HeartbeatTimeMs) == 112);

/* Create-process record (1072 bytes); texts borrowed for the call. */
typedef struct _VQX_LAUNCH_LIB_CREATE_PROCESS {
  const char* pszPath;            /* searched along PATH when it holds no '/' */
  const char* pszParams;          /* split at blanks, double quotes grouping */
  const char* pszWorkDir;         /* null: unchanged */
  const char* pszLibPath;         /* put in front of LD_LIBRARY_PATH; null/empty: unchanged */
  u32 un32NbEnv;                  /* at most 64 */
  u32 un32Pad;
  const char* apszEnvName[VQX_LAUNCH_MAX_ENV];
  const char* apszEnvValue[VQX_LAUNCH_MAX_ENV]; /* PATH and LD_LIBRARY_PATH are not set */
  u32 fQuiet;                     /* the process's events logged at level 1 */
  u8 fKillSingleProcess;          /* 0: kill the whole tree */
  u8 abyPad[3];
} _VQX_LAUNCH_LIB_CREATE_PROCESS;
static_assert(sizeof(_VQX_LAUNCH_LIB_CREATE_PROCESS) == 1072);
static_assert(offsetof(_VQX_LAUNCH_LIB_CREATE_PROCESS, un32NbEnv) == 32);
static_assert(offsetof(_VQX_LAUNCH_LIB_CREATE_PROCESS, apszEnvName) == 40);
static_assert(offsetof(_VQX_LAUNCH_LIB_CREATE_PROCESS, apszEnvValue) == 552);
static_assert(offsetof(_VQX_LAUNCH_LIB_CREATE_PROCESS, fQuiet) == 1064);
static_assert(offsetof(_VQX_LAUNCH_LIB_CREATE_PROCESS, fKillSingleProcess) == 1068);

/* Checks, defaults (times of 0), contexts, mutex, thread. 0x82000009 null
 * record, output or print callback; 0x8200000A no context; *phOut null on failure. */
VQX_RESULT VQXLaunchLibOpen(_VQX_LAUNCH_LIB_PARAMS* pParams, VQX_LAUNCH_LIB_HANDLE* phOut);
/* Stops the thread, kills the processes still shutting down (5, 6), frees. 0x8200000C null. */
VQX_RESULT VQXLaunchLibClose(VQX_LAUNCH_LIB_HANDLE hLaunch);
/* Starts a process (state 1, reported at once). *pun32AppId 0 on failure.
 * Ids are never reused while the library is open. */
VQX_RESULT VQXLaunchLibCreateProcess(VQX_LAUNCH_LIB_HANDLE hLaunch, const _VQX_LAUNCH_LIB_CREATE_PROCESS* pCreate,
                                     u32* pun32AppId);
/* The record as stored. 0x8200000C null handle, 0x82000009 null output. */
VQX_RESULT VQXLaunchLibGetParams(VQX_LAUNCH_LIB_HANDLE hLaunch, _VQX_LAUNCH_LIB_PARAMS* pOut);
/* 0x82000013 when the maximum, callbacks or fAppManager change (logged); the
 * record is stored as given, times of 0 included (no defaults, unlike at
 * open): 0 ms of starting, shutdown or watchdog time means no grace at all. */
VQX_RESULT VQXLaunchLibSetParams(VQX_LAUNCH_LIB_HANDLE hLaunch, const _VQX_LAUNCH_LIB_PARAMS* pParams);
/* Both outputs zeroed, the host's application name preset to "NotAvailable".
 * 0x8200000C unknown id, 0x8200000F no host library, 0x82000015 host not seen. */
VQX_RESULT VQXLaunchLibGetProcessInfo(VQX_LAUNCH_LIB_HANDLE hLaunch, u32 un32AppId, _VQX_HOST_INFO* pHostInfo,
                                      _VQX_LAUNCH_LIB_PROCESS_INFO* pInfo);
VQX_RESULT VQXLaunchLibLockApplication(VQX_LAUNCH_LIB_HANDLE hLaunch, u32 un32AppId, u32 fLock);
VQX_RESULT VQXLaunchLibManagementShutdown(VQX_LAUNCH_LIB_HANDLE hLaunch, u32 un32AppId);
VQX_RESULT VQXLaunchLibForceShutdown(VQX_LAUNCH_LIB_HANDLE hLaunch, u32 un32AppId);
/* A heartbeat at once to the context of that host; 0x82000017 none. */
VQX_RESULT VQXLaunchLibSendHeartbeat(VQX_LAUNCH_LIB_HANDLE hLaunch, u32 hHost);

#endif
