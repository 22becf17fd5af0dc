/*
 * vqcaflog.cpp - the framework log's front end (see vqcaflog.h).
 *
 * The filter is one relaxed atomic load per line, done before anything is
 * formatted. A line that passes is formatted on the caller's stack (time
 * stamp from a per-thread cache refreshed once a second), handed to the
 * listeners under a shared lock, then copied into the writer's queue.
 * The writer object is created by the first InitLog and never destroyed, so
 * a thread that logs while another one closes the log never sees it vanish.
 */
#include "vqcaflog.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <new>

#include "vqcafdiag.h"
#include "vqcafexception.h"
#include "vqcaflogdao.h"

namespace VQCAF {

namespace {

/* How long ForceLogRotate waits for the writer. */
constexpr u32 ROTATE_TIMEOUT_MS = 10000u;
/* "YYYY-MM-DD HH:MM:SS.mmm LEVEL SUBMx " at most. */
constexpr u32 HEADER_MAX = 40u;

std::atomic<u32> s_aun32Levels[VQCAF_SUBMODULE_COUNT];  // all 0: every line passes

// Read-held while listeners are called, so that logging threads never wait
// for each other here (a listener may take a lock that another logging thread
// holds); written by Add/Remove, which thereby wait for calls in progress.
std::shared_mutex s_ListenerMutex;
IVQCAFLogTraceListener* s_apListeners[VQCAF_LOG_MAX_LISTENERS];
std::atomic<u32> s_un32ListenerCount{0};
thread_local bool t_fInListener = false;

std::mutex s_InitMutex;  // InitLog, UninitLog, ForceLogRotate

// HoldErrorLines: one relaxed load per error line while nothing is held.
std::atomic<bool> s_fHoldErrors{false};
std::mutex s_HeldMutex;
std::vector<std::string> s_vHeld;  // under s_HeldMutex

void Hold(const char* pLine, u32 un32Length) {
  std::lock_guard<std::mutex> Lock(s_HeldMutex);
  if (s_fHoldErrors.load(std::memory_order_relaxed) && s_vHeld.size() < VQCAF_LOG_MAX_HELD_LINES)
    s_vHeld.emplace_back(pLine, un32Length);
}
std::atomic<CVQCAFLogDao*> s_pDao{nullptr};
bool s_fFirstInitDone = false;  // under s_InitMutex

u32 SubModIndex(u32 un32SubMod) { return un32SubMod < VQCAF_SUBMODULE_COUNT ? un32SubMod : static_cast<u32>(VQCAF_SUBMODULE_BASE); }

bool Passes(u32 un32SubMod, u32 un32Level) {
  return un32Level >= s_aun32Levels[SubModIndex(un32SubMod)].load(std::memory_order_relaxed);
}

u32 AppendText(char* pDest, const char* pszText) {
  const size_t n = strlen(pszText);
  memcpy(pDest, pszText, n);
  return static_cast<u32>(n);
}

/* Writes the line header into p (HEADER_MAX bytes available); returns its length. */
u32 FormatHeader(char* p, u32 un32Level, u32 un32SubMod) {
  thread_local time_t t_CachedSecond = -1;
  thread_local char t_acDateTime[24];
  timespec Now{};
  clock_gettime(CLOCK_REALTIME, &Now);
  if (Now.tv_sec != t_CachedSecond) {
    struct tm Tm {};
    localtime_r(&Now.tv_sec, &Tm);
    strftime(t_acDateTime, sizeof(t_acDateTime), "%Y-%m-%d %H:%M:%S", &Tm);
    t_CachedSecond = Now.tv_sec;
  }
  u32 n = AppendText(p, t_acDateTime);
  const u32 un32Ms = static_cast<u32>(Now.tv_nsec / 1000000L);
  p[n++] = '.';
  p[n++] = static_cast<char>('0' + un32Ms / 100u);
  p[n++] = static_cast<char>('0' + (un32Ms / 10u) % 10u);
  p[n++] = static_cast<char>('0' + un32Ms % 10u);
  p[n++] = ' ';
  n += AppendText(p + n, GetTraceLevelName(un32Level));
  p[n++] = ' ';
  n += AppendText(p + n, GetSubModName(un32SubMod));
  p[n++] = ' ';
  return n;
}

void DispatchToListeners(u32 un32Level, u32 un32SubMod, const char* pszText, u32 un32Length) {
  if (s_un32ListenerCount.load(std::memory_order_acquire) == 0 || t_fInListener) return;
  std::shared_lock<std::shared_mutex> Lock(s_ListenerMutex);
  t_fInListener = true;
  for (u32 i = 0; i < VQCAF_LOG_MAX_LISTENERS; i++) {
    if (s_apListeners[i] == nullptr) continue;
    try {
      s_apListeners[i]->OnLogTrace(static_cast<_VQX_TRACE_LEVEL>(un32Level),
                                   static_cast<_VQCAF_SUBMODULE_TYPE>(un32SubMod), pszText, un32Length);
    } catch (...) {
      // A listener must not break the caller's log line; its failure goes to the file.
      VQCAF_FAILURE Failure = VQCAF_CURRENT_FAILURE("IVQCAFLogTraceListener::OnLogTrace");
      SubModLogTrace(VQCAF_SUBMODULE_BASE, VQERR, "%s", Failure.strLine.c_str());
    }
  }
  t_fInListener = false;
}

/* Formats and delivers one line that passed the filter. */
void EmitLine(u32 un32SubMod, u32 un32Level, char** apszPrefix, u32 un32PrefixCount, const char* pszFormat,
              va_list args) {
  // Header, text, the added newline and the terminator.
  char acLine[HEADER_MAX + VQCAF_LOG_MAX_TEXT + 2];
  const u32 un32Header = FormatHeader(acLine, un32Level, un32SubMod);
  char* pText = acLine + un32Header;
  const u32 un32Room = VQCAF_LOG_MAX_TEXT + 1;  // text and terminator
  u32 un32Length = 0;
  bool fCut = false;
  for (u32 i = 0; i < un32PrefixCount && apszPrefix != nullptr; i++) {
    if (apszPrefix[i] == nullptr) continue;
    const size_t n = strlen(apszPrefix[i]);
    const size_t nCopy = n < un32Room - 1 - un32Length ? n : un32Room - 1 - un32Length;
    memcpy(pText + un32Length, apszPrefix[i], nCopy);
    un32Length += static_cast<u32>(nCopy);
    fCut = fCut || nCopy < n;
  }
  pText[un32Length] = '\0';
  if (pszFormat != nullptr && !fCut) {
    const int n = vsnprintf(pText + un32Length, un32Room - un32Length, pszFormat, args);
    if (n > 0) {
      fCut = static_cast<u32>(n) >= un32Room - un32Length;
      un32Length = fCut ? VQCAF_LOG_MAX_TEXT : un32Length + static_cast<u32>(n);
    }
  }
  if (fCut) {
    const u32 un32Mark = static_cast<u32>(strlen(VQCAF_LOG_TRUNCATED_MARK));
    un32Length = VQCAF_LOG_MAX_TEXT;
    memcpy(pText + un32Length - un32Mark, VQCAF_LOG_TRUNCATED_MARK, un32Mark);
    pText[un32Length] = '\0';
  }

  DispatchToListeners(un32Level, un32SubMod, pText, un32Length);

  if (un32Length == 0 || pText[un32Length - 1] != '\n') pText[un32Length++] = '\n';
  const u32 un32Total = un32Header + un32Length;
  CVQCAFLogDao* pDao = s_pDao.load(std::memory_order_acquire);
  if (pDao == nullptr || !pDao->Append(acLine, un32Total)) {
    // No log file: standard error keeps the line.
    (void)fwrite(acLine, 1, un32Total, stderr);
  } else if (un32Level >= VQERR && s_fHoldErrors.load(std::memory_order_relaxed)) {
    Hold(acLine, un32Total);
  }
}

void EmitLineF(u32 un32SubMod, u32 un32Level, const char* pszFormat, ...) __attribute__((format(printf, 3, 4)));
void EmitLineF(u32 un32SubMod, u32 un32Level, const char* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  EmitLine(un32SubMod, un32Level, nullptr, 0, pszFormat, args);
  va_end(args);
}

/* The foundation's diagnostics land in the log under the base sub-module. */
void DiagPrinter(void* /*pvContext*/, u32 un32Level, const char* pszLine) {
  if (Passes(VQCAF_SUBMODULE_BASE, un32Level)) EmitLineF(VQCAF_SUBMODULE_BASE, un32Level, "%s", pszLine);
}

void UninitLogAtExit() { (void)UninitLog(); }

}  // namespace

CVQCAFLogParams::CVQCAFLogParams()
    : mstrBaseName("vqcaf"), mstrExtension("log"), mun32QueueSize(VQCAF_LOG_DEFAULT_QUEUE_SIZE) {
  for (u32& un32Level : maun32SubModTraceLevel) un32Level = VQMSG;
}

void LogTrace(_VQX_TRACE_LEVEL Level, const char* pszFormat, ...) {
  if (!Passes(VQCAF_SUBMODULE_BASE, Level)) return;
  va_list args;
  va_start(args, pszFormat);
  EmitLine(VQCAF_SUBMODULE_BASE, Level, nullptr, 0, pszFormat, args);
  va_end(args);
}

void SubModLogTrace(_VQCAF_SUBMODULE_TYPE SubMod, _VQX_TRACE_LEVEL Level, const char* pszFormat, ...) {
  if (!Passes(SubMod, Level)) return;
  va_list args;
  va_start(args, pszFormat);
  EmitLine(SubMod, Level, nullptr, 0, pszFormat, args);
  va_end(args);
}

void SubModLogTraceV(_VQCAF_SUBMODULE_TYPE SubMod, _VQX_TRACE_LEVEL Level, char** apszPrefix,
                     u32 un32PrefixCount, const char* pszFormat, va_list args) {
  if (!Passes(SubMod, Level)) return;
  EmitLine(SubMod, Level, apszPrefix, un32PrefixCount, pszFormat, args);
}

_VQX_TRACE_LEVEL GetSubModTraceLevel(_VQCAF_SUBMODULE_TYPE SubMod) {
  const u32 un32SubMod = static_cast<u32>(SubMod);
  if (un32SubMod >= VQCAF_SUBMODULE_COUNT) return VQLV0;
  return static_cast<_VQX_TRACE_LEVEL>(s_aun32Levels[un32SubMod].load(std::memory_order_relaxed));
}

u32 SetSubModTraceLevel(_VQCAF_SUBMODULE_TYPE SubMod, u32 un32Level) {
  const u32 un32SubMod = static_cast<u32>(SubMod);
  if (un32SubMod >= VQCAF_SUBMODULE_COUNT) return VQX_RESULT_INVALID_PARAM;
  s_aun32Levels[un32SubMod].store(un32Level, std::memory_order_relaxed);
  return VQX_RESULT_OK;
}

u32 AddLogTraceListener(IVQCAFLogTraceListener* pListener) {
  if (pListener == nullptr) return VQX_RESULT_NULL_PARAM;
  if (t_fInListener) return VQX_RESULT_INVALID_STATE;  // the listener mutex is held by this thread
  std::unique_lock<std::shared_mutex> Lock(s_ListenerMutex);
  u32 un32Free = VQCAF_LOG_MAX_LISTENERS;
  for (u32 i = 0; i < VQCAF_LOG_MAX_LISTENERS; i++) {
    if (s_apListeners[i] == pListener) return VQX_RESULT_ACCESS_DENIED;
    if (s_apListeners[i] == nullptr && un32Free == VQCAF_LOG_MAX_LISTENERS) un32Free = i;
  }
  if (un32Free == VQCAF_LOG_MAX_LISTENERS) return VQX_RESULT_OUT_OF_RESOURCE;
  s_apListeners[un32Free] = pListener;
  s_un32ListenerCount.fetch_add(1, std::memory_order_release);
  return VQX_RESULT_OK;
}

u32 RemoveLogTraceListener(IVQCAFLogTraceListener* pListener) {
  if (pListener == nullptr) return VQX_RESULT_NULL_PARAM;
  if (t_fInListener) return VQX_RESULT_INVALID_STATE;
  std::unique_lock<std::shared_mutex> Lock(s_ListenerMutex);
  for (u32 i = 0; i < VQCAF_LOG_MAX_LISTENERS; i++) {
    if (s_apListeners[i] == pListener) {
      s_apListeners[i] = nullptr;
      s_un32ListenerCount.fetch_sub(1, std::memory_order_release);
      return VQX_RESULT_OK;
    }
  }
  return VQX_RESULT_NOT_FOUND;
}

u32 InitLog(const CVQCAFLogParams& Params) {
  try {
    std::lock_guard<std::mutex> Lock(s_InitMutex);
    CVQCAFLogDao* pDao = s_pDao.load();
    if (pDao != nullptr && pDao->IsOpen()) return VQCAF_REPORT_FAILURE("InitLog", "Log already initialized", VQX_RESULT_INVALID_STATE);
    if (Params.mstrBaseName.IsEmpty()) return VQCAF_REPORT_FAILURE("InitLog", "Empty log file base name", VQX_RESULT_INVALID_PARAM);
    if (pDao == nullptr) {
      pDao = new CVQCAFLogDao();  // lives until the end of the process
      s_pDao.store(pDao, std::memory_order_release);
    }
    const u32 un32QueueSize = Params.mun32QueueSize < VQCAF_LOG_MIN_QUEUE_SIZE ? VQCAF_LOG_MIN_QUEUE_SIZE : Params.mun32QueueSize;
    const u32 un32Result = pDao->Open(Params.mstrBaseName.c_str(), Params.mstrExtension.c_str(), un32QueueSize);
    if (VQX_RESULT_FAILED(un32Result)) return VQCAF_REPORT_FAILURE("InitLog", "Failed to open the log file", un32Result);
    for (u32 i = 0; i < VQCAF_SUBMODULE_COUNT; i++) {
      s_aun32Levels[i].store(Params.maun32SubModTraceLevel[i], std::memory_order_relaxed);
    }
    if (!s_fFirstInitDone) {
      // Installed once for good: without a log file the printer still ends on
      // standard error, and each install costs the foundation a record.
      VqcafSetDiagPrinter(&DiagPrinter, nullptr);
      // An application that exits without UninitLog still gets every line written.
      (void)atexit(&UninitLogAtExit);
      s_fFirstInitDone = true;
    }
    return VQX_RESULT_OK;
  }
  VQCAF_CATCH_RETURN("InitLog")
}

u32 UninitLog() {
  std::lock_guard<std::mutex> Lock(s_InitMutex);
  CVQCAFLogDao* pDao = s_pDao.load();
  if (pDao == nullptr || !pDao->IsOpen()) return VQX_RESULT_OK;
  (void)pDao->Close();
  for (auto& Level : s_aun32Levels) Level.store(VQLV0, std::memory_order_relaxed);
  return VQX_RESULT_OK;
}

u32 IsLogInitialized() {
  CVQCAFLogDao* pDao = s_pDao.load(std::memory_order_acquire);
  return pDao != nullptr && pDao->IsOpen() ? 1u : 0u;
}

u32 FlushLog(u32 un32TimeoutMs) {
  CVQCAFLogDao* pDao = s_pDao.load(std::memory_order_acquire);
  return pDao != nullptr ? pDao->Flush(un32TimeoutMs) : VQX_RESULT_NOT_INITIALIZED;
}

u32 ForceLogRotate(CVQCAFString* pstrOldFile, CVQCAFString* pstrNewFile) {
  try {
    std::lock_guard<std::mutex> Lock(s_InitMutex);
    CVQCAFLogDao* pDao = s_pDao.load();
    if (pDao == nullptr || !pDao->IsOpen()) {
      LogTrace(VQERR, "ForceLogRotate failed, logdao not initialized yet (please call InitLog)\n");
      return VQX_RESULT_FAIL;
    }
    LogTrace(VQMSG, "Closing log file %s (rotating to new segment).\n", GetCurrentLogFile());
    CVQCAFString strOld, strNew;
    const u32 un32Result = pDao->Rotate(&strOld, &strNew, ROTATE_TIMEOUT_MS);
    if (VQX_RESULT_FAILED(un32Result)) return VQCAF_REPORT_FAILURE("ForceLogRotate", "Failed to open a new log segment", un32Result);
    LogTrace(VQMSG, "New log segment after split is %s\n", strNew.c_str());
    if (pstrOldFile != nullptr) *pstrOldFile = strOld;
    if (pstrNewFile != nullptr) *pstrNewFile = strNew;
    return VQX_RESULT_OK;
  }
  VQCAF_CATCH_RETURN("ForceLogRotate")
}

const char* GetCurrentLogFile() {
  CVQCAFLogDao* pDao = s_pDao.load(std::memory_order_acquire);
  const char* pszName = pDao != nullptr ? pDao->GetCurrentFile() : nullptr;
  return pszName != nullptr ? pszName : VQCAF_LOG_NOT_AVAILABLE;
}

u64 GetLogDroppedCount() {
  CVQCAFLogDao* pDao = s_pDao.load(std::memory_order_acquire);
  return pDao != nullptr ? pDao->GetDroppedCount() : 0u;
}

void HoldErrorLines() {
  std::lock_guard<std::mutex> Lock(s_HeldMutex);
  s_vHeld.clear();
  s_fHoldErrors.store(true, std::memory_order_relaxed);
}

std::vector<std::string> TakeHeldErrorLines() {
  std::lock_guard<std::mutex> Lock(s_HeldMutex);
  s_fHoldErrors.store(false, std::memory_order_relaxed);
  std::vector<std::string> v;
  v.swap(s_vHeld);
  return v;
}

}  // namespace VQCAF
