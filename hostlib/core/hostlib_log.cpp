/*
 * hostlib_log.cpp - the library's logging path and its log thread.
 *
 * The library never prints under its lock: lines are formatted at once,
 * queued in a ring of 2048 lines and printed by the log thread through the
 * user's error and trace streams and callbacks. A full ring drops lines and
 * counts them; the log thread reports the count once. The log thread also
 * keeps the library's notion of "now" fresh and, through the gateway glue,
 * retries local addresses that were not settled at open.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "vqx_clock.h"
#include "core/vqx_host_internal.h"
#include "vqx_string.h"

namespace {

void VqxPrintTrace(VQX_LIB* pLib, const char* pszLine) {
  VqxMutexGet(pLib->hOutputCriticalSection);
  if (pLib->Params.pTraceFile != nullptr) {
    fputs(pszLine, pLib->Params.pTraceFile);
    fflush(pLib->Params.pTraceFile);
  }
  if (pLib->Params.pFctTraceCallback != nullptr) {
    pLib->Params.pFctTraceCallback(pLib->Params.pvTraceContext, reinterpret_cast<VQX_LIB_HANDLE>(pLib), pszLine);
  }
  VqxMutexGive(pLib->hOutputCriticalSection);
}

void VqxPrintLine(VQX_LIB* pLib, const char* pszLine, u32 un32Level) {
  if (un32Level == 0) {
    VqxHostLibPrintError(reinterpret_cast<VQX_LIB_HANDLE>(pLib), pszLine);
  } else {
    VqxPrintTrace(pLib, pszLine);
  }
}

/* Takes every queued line out of the ring (under the log-queue lock). */
u32 VqxTakeLines(VQX_LIB* pLib, VQX_LOG_LINE* paOut, u32* pun32Dropped) {
  VqxMutexGet(pLib->hTraceQueueCriticalSection);
  const u32 un32Count = pLib->un32LogCount;
  for (u32 i = 0; i < un32Count; i++) {
    paOut[i] = pLib->aLogRing[(pLib->un32LogHead + i) % VQX_LIB_LOG_QUEUE_SIZE];
  }
  pLib->un32LogHead = (pLib->un32LogHead + un32Count) % VQX_LIB_LOG_QUEUE_SIZE;
  pLib->un32LogCount = 0;
  *pun32Dropped = pLib->un32LogDropped;
  pLib->un32LogDropped = 0;
  VqxMutexGive(pLib->hTraceQueueCriticalSection);
  return un32Count;
}

/* One round of printing: the dropped count first, then every queued line. */
void VqxPrintQueuedLines(VQX_LIB* pLib, VQX_LOG_LINE* paLines) {
  u32 un32Dropped = 0;
  const u32 un32Count = VqxTakeLines(pLib, paLines, &un32Dropped);
  if (un32Dropped != 0) {
    char szLine[160];
    Snprintf(szLine, sizeof(szLine),
             "ERROR: Hostlib dropped %u traces, due to higher traces rate than print rate", un32Dropped);
    VqxHostLibPrintError(reinterpret_cast<VQX_LIB_HANDLE>(pLib), szLine);
  }
  for (u32 i = 0; i < un32Count; i++) {
    VqxPrintLine(pLib, paLines[i].pszLine, paLines[i].un32Level);
    free(paLines[i].pszLine);
  }
}

u32 VqxLogThread(void* pvLib) {
  VQX_LIB* pLib = static_cast<VQX_LIB*>(pvLib);
  VQX_LIB_HANDLE hLib = reinterpret_cast<VQX_LIB_HANDLE>(pLib);
  VQX_LOG_LINE* paLines = static_cast<VQX_LOG_LINE*>(malloc(sizeof(VQX_LOG_LINE) * VQX_LIB_LOG_QUEUE_SIZE));
  while (pLib->fLogThreadRunning.load()) {
    VqxMutexGet(pLib->hTraceQueueCriticalSection);
    const u32 un32Queued = pLib->un32LogCount;
    VqxMutexGive(pLib->hTraceQueueCriticalSection);
    if (un32Queued == 0) {
      VqxEventWait(pLib->pLogEvent, 1000);
      VqxEventClear(pLib->pLogEvent);
    }
    VqxHostLibCriticalSectionEnter(hLib);
    VqxHostLibRefreshNow(hLib);
    VqxHostLibLogLeftOut(hLib);
    const VQX_HOSTLIB_GATEWAY_GLUE* pGlue = VqxHostLibGatewayGlue();
    if ((pLib->fGw0Settled == 0 || pLib->fGw1Settled == 0) && pGlue != nullptr &&
        pGlue->pFctIpAddressesUpdate != nullptr &&
        pLib->un64Now - pLib->un64LastAddressRefresh >= VQX_LIB_ADDRESS_REFRESH_MS) {
      pLib->un64LastAddressRefresh = pLib->un64Now;
      pGlue->pFctIpAddressesUpdate(hLib);
    }
    VqxHostLibCriticalSectionLeave(hLib);
    if (paLines != nullptr) VqxPrintQueuedLines(pLib, paLines);
  }
  /* Lines queued before the stop request are printed, not lost. */
  if (paLines != nullptr) VqxPrintQueuedLines(pLib, paLines);
  free(paLines);
  VqxMutexGet(pLib->hTraceQueueCriticalSection);
  pLib->fLogThreadExited = 1;
  VqxEventSetNow(pLib->pLogExitEvent);
  VqxMutexGive(pLib->hTraceQueueCriticalSection);
  return 0;
}

}  // namespace

void VqxHostLibRefreshNow(VQX_LIB_HANDLE hLib) {
  VQX_LIB* pLib = VqxLib(hLib);
  pLib->un64Now = VQXGetClock();
  pLib->un32WallClockNow = static_cast<u32>(time(nullptr));
}

void VqxHostLibPrintError(VQX_LIB_HANDLE hLib, const char* pszLine) {
  VQX_LIB* pLib = VqxLib(hLib);
  VqxMutexGet(pLib->hOutputCriticalSection);
  if (pLib->pErrorFile != nullptr) {
    fputs(pszLine, pLib->pErrorFile);
    fflush(pLib->pErrorFile);
    if (pLib->Params.pFctErrorCallback != nullptr) {
      pLib->Params.pFctErrorCallback(pLib->Params.pvErrorContext, hLib, pszLine);
    }
  } else if (pLib->Params.pFctErrorCallback != nullptr) {
    pLib->Params.pFctErrorCallback(pLib->Params.pvErrorContext, hLib, pszLine);
  } else {
    fputs(pszLine, stderr);
  }
  VqxMutexGive(pLib->hOutputCriticalSection);
}

bool VqxHostLibLogKeeps(VQX_LIB_HANDLE hLib, u32 un32Level) {
  const VQX_LIB* pLib = VqxLib(hLib);
  /* Before the log thread runs every line goes to standard error. */
  if (pLib == nullptr || pLib->pLogEvent == nullptr || pLib->hTraceQueueCriticalSection == nullptr) return true;
  return un32Level == 0 || un32Level >= pLib->un32TraceLevel.load(std::memory_order_relaxed);
}

void VqxHostLibLogV(VQX_LIB_HANDLE hLib, u32 un32Level, const char* pszFormat, va_list vaArgs) {
  VQX_LIB* pLib = VqxLib(hLib);
  if (pLib == nullptr || pLib->pLogEvent == nullptr || pLib->hTraceQueueCriticalSection == nullptr) {
    /* Before the log thread, an error line of the open (a refused setting) reaches the error callback given
       there, the application's log, as soon as the output lock exists; the rest goes to standard error. */
    if (pLib != nullptr && un32Level == 0 && pLib->hOutputCriticalSection != nullptr) {
      char szLine[VQX_LIB_LOG_LINE_SIZE];
      Vsnprintf(szLine, VQX_LIB_LOG_LINE_SIZE - 1, pszFormat, vaArgs);
      VqxHostLibPrintError(hLib, szLine);
      return;
    }
    vfprintf(stderr, pszFormat, vaArgs);
    return;
  }
  if (!VqxHostLibLogKeeps(hLib, un32Level)) return;

  /* Leading newlines of the format are skipped while more text follows. */
  while (pszFormat[0] == '\n' && pszFormat[1] != '\0') pszFormat++;

  VqxMutexGet(pLib->hTraceQueueCriticalSection);
  if (pLib->un32LogCount >= VQX_LIB_LOG_QUEUE_SIZE) {
    pLib->un32LogDropped++;
    VqxMutexGive(pLib->hTraceQueueCriticalSection);
    return;
  }
  char szLine[VQX_LIB_LOG_LINE_SIZE];
  Vsnprintf(szLine, VQX_LIB_LOG_LINE_SIZE - 1, pszFormat, vaArgs);
  if (szLine[0] == '\0') {
    VqxMutexGive(pLib->hTraceQueueCriticalSection);
    return;
  }
  if (pLib->Params.fPrintThroughLogThread == 0) {
    VqxMutexGive(pLib->hTraceQueueCriticalSection);
    VqxPrintLine(pLib, szLine, un32Level);
    return;
  }
  char* pszCopy = strdup(szLine);
  if (pszCopy == nullptr) {
    VqxMutexGive(pLib->hTraceQueueCriticalSection);
    VqxHostLibPrintError(hLib, "ERROR: Out of memory to post messages to print to hostlib print thread!\n");
    return;
  }
  VQX_LOG_LINE& rSlot = pLib->aLogRing[(pLib->un32LogHead + pLib->un32LogCount) % VQX_LIB_LOG_QUEUE_SIZE];
  rSlot.pszLine = pszCopy;
  rSlot.un32Level = un32Level;
  pLib->un32LogCount++;
  VqxMutexGive(pLib->hTraceQueueCriticalSection);
  VqxEventSetNow(pLib->pLogEvent);
}

namespace {

/* What a count logged on its own names, by kind. */
const struct {
  const char* pszOperation;
  const char* pszWhat;
} s_aLimitedKinds[VQX_LOG_LIMITED_NB_KINDS] = {
    {"VqxHostGwLibRxHandler", "message shorter than its header"},
    {"VqxHostGwLibRxHandler", "message with sizes beyond its bytes"},
    {"VqxFilterApply", "payload maximum too large"},
    {"VqxFilterApply", "length too large"},
    {"VqxFilterApply", "payload length above its maximum"},
    {"VqxFilterApply", "payload start beyond the length"},
    {"VqxFilterApply", "length beyond the bytes received"},
    {"VqxFilterApply", "unsupported payload start"},
    {"VqxMsgSendTo", "message dropped by the receiving thread, its send fifo full"},
    {"VqxMsgSendTo", "send waiting for room in a full send fifo"},
    {"VqxMsgSendTo", "send dropped while its peer's messages wait unread"},
    {"VQXHostPostReadyMessagesToGwLib", "TxPending fifo full, message not kept for retransmission"},
};

}  // namespace

thread_local u32 t_un32VqxTransportDepth = 0;

bool VqxHostLibLogLimited(VQX_LIB_HANDLE hLib, u32 un32Kind, const char* pszFormat, ...) {
  u32 un32LeftOut = 0;
  if (!VqxLib(hLib)->aLogLimit[un32Kind].Allow(VQXGetClock(), un32LeftOut)) return false;
  char szLine[VQX_LIB_LOG_LINE_SIZE];
  va_list vaArgs;
  va_start(vaArgs, pszFormat);
  Vsnprintf(szLine, sizeof(szLine), pszFormat, vaArgs);
  va_end(vaArgs);
  /* The count goes before the line's newline. */
  size_t n = strlen(szLine);
  if (n != 0 && szLine[n - 1] == '\n') szLine[--n] = '\0';
  char szLeftOut[64];
  VqxHostLibLog(hLib, 0, "%s%s\n", szLine, VqxLogLimitLeftOutText(un32LeftOut, szLeftOut, sizeof(szLeftOut)));
  return true;
}

void VqxHostLibLogLeftOut(VQX_LIB_HANDLE hLib) {
  VQX_LIB* pLib = VqxLib(hLib);
  for (u32 i = 0; i < VQX_LOG_LIMITED_NB_KINDS; i++) {
    const u32 un32LeftOut = pLib->aLogLimit[i].TakeDue(pLib->un64Now);
    if (un32LeftOut != 0) {
      VqxHostLibLog(hLib, 0, "%s: %s: %u similar line(s) left out\n", s_aLimitedKinds[i].pszOperation,
                    s_aLimitedKinds[i].pszWhat, un32LeftOut);
    }
  }
}

void VqxHostLibLog(VQX_LIB_HANDLE hLib, u32 un32Level, const char* pszFormat, ...) {
  va_list vaArgs;
  va_start(vaArgs, pszFormat);
  VqxHostLibLogV(hLib, un32Level, pszFormat, vaArgs);
  va_end(vaArgs);
}

VQX_RESULT VqxHostLibLogThreadStart(VQX_LIB_HANDLE hLib) {
  VQX_LIB* pLib = VqxLib(hLib);
  VQX_RESULT result = VqxEventCreate(&pLib->pLogExitEvent);
  if (VQX_RESULT_FAILED(result)) return result;
  VQX_EVENT* pLogEvent = nullptr;
  result = VqxEventCreate(&pLogEvent);
  if (VQX_RESULT_FAILED(result)) return result;
  pLib->fLogThreadExited = 0;
  pLib->fLogThreadRunning.store(1);
  VQX_THREAD_PARAMS params = {"hostlib_log", VQX_THREAD_DEFAULT_STACK_SIZE, VQX_THREAD_PRIORITY_NORMAL};
  /* From here lines are queued (the thread prints them once it runs); before, they go to standard error. */
  pLib->pLogEvent = pLogEvent;
  result = VqxThreadCreate(&pLib->LogThread, VqxLogThread, pLib, &params);
  if (VQX_RESULT_FAILED(result)) {
    pLib->fLogThreadRunning.store(0);
    pLib->pLogEvent = nullptr;
    VqxEventFree(pLogEvent);
  }
  return result;
}

void VqxHostLibLogThreadStop(VQX_LIB_HANDLE hLib) {
  VQX_LIB* pLib = VqxLib(hLib);
  if (pLib->LogThread.fCreated != 0) {
    pLib->fLogThreadRunning.store(0);
    VqxEventSetNow(pLib->pLogEvent);
    /* The log thread takes the library lock each round: wait without it. */
    const u32 un32Levels = VqxHostLibLockReleaseAll(hLib);
    for (;;) {
      VqxMutexGet(pLib->hTraceQueueCriticalSection);
      const u32 fExited = pLib->fLogThreadExited;
      VqxMutexGive(pLib->hTraceQueueCriticalSection);
      if (fExited != 0) break;
      VqxEventWait(pLib->pLogExitEvent, VQX_LIB_THREAD_WAIT_STEP_MS);
    }
    VqxThreadJoin(&pLib->LogThread, nullptr);
    VqxHostLibLockRetake(hLib, un32Levels);
  }
  VQX_EVENT* pLogEvent = pLib->pLogEvent;
  pLib->pLogEvent = nullptr;
  VqxEventFree(pLogEvent);
  VqxEventFree(pLib->pLogExitEvent);
  pLib->pLogExitEvent = nullptr;
}

void VqxHostLibLogQueueFree(VQX_LIB_HANDLE hLib) {
  VQX_LIB* pLib = VqxLib(hLib);
  for (u32 i = 0; i < pLib->un32LogCount; i++) free(pLib->aLogRing[(pLib->un32LogHead + i) % VQX_LIB_LOG_QUEUE_SIZE].pszLine);
  pLib->un32LogCount = 0;
}
