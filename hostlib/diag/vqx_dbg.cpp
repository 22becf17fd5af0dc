/*
 * vqx_dbg.cpp - the verifying entry points (...Dbg). When the library was
 * opened through VQXOpenLibDbg, every message and filter an application
 * holds is recorded in a tracking table with the caller's file and line;
 * handles the table does not know are refused before the plain operation
 * runs, and what was never given back is printed at close. Otherwise the
 * twins call the plain operations.
 *
 * One library per process is registered. The table has its own recursive
 * lock, always taken inside the library lock (library lock first).
 */
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <mutex>

#include "vqx_clock.h"
#include "filter/vqx_filter_internal.h"
#include "vqx_host_peer.h"
#include "vqx_pool.h"

namespace {

#define VQX_DBG_TABLE_SIZE 32768u
#define VQX_DBG_KIND_FREE 0u
#define VQX_DBG_KIND_FILTER 1u
#define VQX_DBG_KIND_MSG 2u
#define VQX_DBG_TRACK_MARK 0xDB00DB00u
#define VQX_DBG_TAG_COMPARE_SIZE 20u
#define VQX_DBG_PRINT_SIZE 4096u

constexpr u32 VqxFourCc(const char (&s)[5]) {
  return u32(u8(s[0])) | u32(u8(s[1])) << 8 | u32(u8(s[2])) << 16 | u32(u8(s[3])) << 24;
}
constexpr u32 kMagicLib = VqxFourCc("BILH");
constexpr u32 kMagicMsg = VqxFourCc("HMSG");
constexpr u32 kMagicFilter = VqxFourCc("ADAH");
static_assert(kMagicFilter == VQX_FILTER_MAGIC_DBG);

struct VQX_DBG_RECORD {
  u64 un64Address;
  u32 un32Kind;
  u32 un32Line;
  const char* pszFile;
  u64 un64Clock;
};

struct VQX_DBG_STATE {
  VQX_MUTEX_HANDLE hLock;
  HVQXPOOLOFBUFFERS64 hTable;
};

std::atomic<VQX_LIB_HANDLE> s_hDebugLib{nullptr};
std::mutex s_RegisterMutex;

u64 VqxDbgKey(void*, const void* pRecord) { return static_cast<const VQX_DBG_RECORD*>(pRecord)->un64Address; }

VQX_DBG_STATE* VqxDbg(VQX_LIB_HANDLE hLib) { return static_cast<VQX_DBG_STATE*>(VqxLib(hLib)->pvDebug); }

u64 VqxAddr(const void* p) { return static_cast<u64>(reinterpret_cast<uintptr_t>(p)); }

/* The common failure line of a twin; without a library it goes to standard error. */
void VqxDbgLog(VQX_LIB_HANDLE hLib, const char* pszFile, u32 un32Line, const char* pszLabel, VQX_RESULT Result,
               const void* pvDetail) {
  const char* pszDescription = "";
  VQXGetErrorDescription(Result, &pszDescription);
  char szDetail[32] = "";
  if (pvDetail != nullptr) {
    snprintf(szDetail, sizeof(szDetail), "(0x%08lX)", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(pvDetail)));
  }
  if (hLib == nullptr) {
    fprintf(stderr, "%s:%d> %s: %s %s\n", pszFile, static_cast<int>(un32Line), pszLabel, pszDescription, szDetail);
    return;
  }
  VQX_LOG_V(hLib, 0, "%s:%d> %s: %s %s\n", pszFile, static_cast<int>(un32Line), pszLabel, pszDescription, szDetail);
}

/* The layer is active in this process (some library was opened through VQXOpenLibDbg). */
bool VqxDbgOn() { return s_hDebugLib.load() != nullptr; }

VQX_RESULT VqxDbgCheckLib(VQX_LIB_HANDLE hLib) {
  if (hLib == nullptr || hLib != s_hDebugLib.load()) return VQX_RESULT_API_INVALID_LIB_HANDLE;
  if (VqxLib(hLib)->un32DebugMagic != kMagicLib) return VQX_RESULT_API_CORRUPTED_LIB;
  return VQX_RESULT_OK;
}

/* Library check of a twin: logs (without a library) and returns the failure, or 0. */
VQX_RESULT VqxDbgLibOrFail(VQX_LIB_HANDLE hLib, const char* pszFile, u32 un32Line, const char* pszLabel) {
  const VQX_RESULT result = VqxDbgCheckLib(hLib);
  if (VQX_RESULT_FAILED(result)) {
    VqxDbgLog(nullptr, pszFile, un32Line, pszLabel, result, hLib);
    return result;
  }
  return 0;
}

VQX_DBG_RECORD* VqxDbgFind(VQX_LIB_HANDLE hLib, const void* pvObject) {
  return static_cast<VQX_DBG_RECORD*>(VQXPoolOfBuffers64Find(VqxDbg(hLib)->hTable, VqxAddr(pvObject)));
}

/* Message check. Never reads a buffer the library no longer holds. */
VQX_RESULT VqxDbgCheckMsg(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg) {
  if (hMsg == nullptr) return VQX_RESULT_API_INVALID_MSG_HANDLE;
  VQX_DBG_STATE* pDbg = VqxDbg(hLib);
  VqxMutexGet(pDbg->hLock);
  const VQX_DBG_RECORD* pRecord = VqxDbgFind(hLib, hMsg);
  VQX_RESULT result = VQX_RESULT_OK;
  if (pRecord == nullptr) {
    /* Unknown to the table: either a message the layer never saw, or one given back already. */
    if (VQX_RESULT_FAILED(VqxBufCheck(hLib, hMsg)) || hMsg->un32TrackMark == VQX_DBG_TRACK_MARK) {
      result = VQX_RESULT_API_INVALID_MSG_HANDLE;
    }
  } else if (pRecord->un32Kind != VQX_DBG_KIND_MSG) {
    result = VQX_RESULT_API_INVALID_HANDLE;
  } else if (hMsg->un32TrackMagic != kMagicMsg) {
    result = VQX_RESULT_API_CORRUPTED_MSG;
  }
  VqxMutexGive(pDbg->hLock);
  return result;
}

VQX_RESULT VqxDbgCheckFilter(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter) {
  VQX_DBG_STATE* pDbg = VqxDbg(hLib);
  VqxMutexGet(pDbg->hLock);
  const VQX_DBG_RECORD* pRecord = hFilter != nullptr ? VqxDbgFind(hLib, hFilter) : nullptr;
  VQX_RESULT result = VQX_RESULT_OK;
  if (pRecord == nullptr) {
    result = VQX_RESULT_API_INVALID_FIL_HANDLE;
  } else if (pRecord->un32Kind != VQX_DBG_KIND_FILTER) {
    result = VQX_RESULT_API_INVALID_HANDLE;
  } else if (hFilter->un32DbgMagic1 != kMagicFilter || hFilter->un32DbgMagic2 != kMagicFilter) {
    result = VQX_RESULT_API_CORRUPTED_FILTER;
  }
  VqxMutexGive(pDbg->hLock);
  return result;
}

/* Records an object; 0x82010008 when the table is full. Caller holds the library lock. */
VQX_RESULT VqxDbgAdd(VQX_LIB_HANDLE hLib, const void* pvObject, u32 un32Kind, const char* pszFile, u32 un32Line) {
  VQX_DBG_STATE* pDbg = VqxDbg(hLib);
  VqxMutexGet(pDbg->hLock);
  VQX_DBG_RECORD* pRecord = VqxDbgFind(hLib, pvObject);
  if (pRecord == nullptr) {
    pRecord = static_cast<VQX_DBG_RECORD*>(VQXPoolOfBuffers64Alloc(pDbg->hTable, VqxAddr(pvObject)));
    if (pRecord != nullptr) VqxLib(hLib)->Counters.DebugHashItems++;
  }
  if (pRecord != nullptr) *pRecord = VQX_DBG_RECORD{VqxAddr(pvObject), un32Kind, un32Line, pszFile, VQXGetClock()};
  VqxMutexGive(pDbg->hLock);
  return pRecord != nullptr ? VQX_RESULT_OK : VQX_RESULT_API_OUT_OF_RESOURCE;
}

void VqxDbgRemove(VQX_LIB_HANDLE hLib, const void* pvObject) {
  VQX_DBG_STATE* pDbg = VqxDbg(hLib);
  VqxMutexGet(pDbg->hLock);
  VQX_DBG_RECORD* pRecord = VqxDbgFind(hLib, pvObject);
  if (pRecord != nullptr) {
    pRecord->un32Kind = VQX_DBG_KIND_FREE;
    VQXPoolOfBuffers64Free(pDbg->hTable, pRecord);
    u64& count = VqxLib(hLib)->Counters.DebugHashItems;
    if (count != 0) count--;
  }
  VqxMutexGive(pDbg->hLock);
}

/* A message handed to the application: marked and recorded (a full table only warns). */
void VqxDbgAddMsgOrWarn(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg, const char* pszFile, u32 un32Line,
                        const char* pszWarnLabel) {
  hMsg->un32TrackMagic = kMagicMsg;
  hMsg->un32TrackMark = VQX_DBG_TRACK_MARK;
  if (VQX_RESULT_FAILED(VqxDbgAdd(hLib, hMsg, VQX_DBG_KIND_MSG, pszFile, un32Line))) {
    VQX_LOG_V(hLib, 0, "%s:%d> Warning: %s: Debug Hash table is full\n", pszFile, static_cast<int>(un32Line),
              pszWarnLabel);
  }
}

/* A message leaving the application (send, release). */
void VqxDbgRemoveMsg(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg) {
  VqxDbgRemove(hLib, hMsg);
  hMsg->un32TrackMagic = VQX_MSG_TRACK_MAGIC_DEFAULT;
}

void VqxDbgAddFilter(VQX_LIB_HANDLE hLib, VQX_FILTER* pFilter, const char* pszFile, u32 un32Line, VQX_RESULT* pResult) {
  pFilter->un32DbgMagic1 = pFilter->un32DbgMagic2 = kMagicFilter;
  *pResult = VqxDbgAdd(hLib, pFilter, VQX_DBG_KIND_FILTER, pszFile, un32Line);
}

void VqxSetCreationSite(VQX_FILTER* pFilter, const char* pszFile, u32 un32Line) {
  pFilter->fCreationSiteKnown = 1;
  pFilter->pszFile = pszFile;
  pFilter->un32Line = un32Line;
}

/* Checks every marked message of an array; a bad one is logged and dropped from it. */
void VqxDbgScreenArray(VQX_LIB_HANDLE hLib, u32 un32Count, VQX_MSG_HANDLE* pahMsg, const char* pszFile, u32 un32Line,
                       const char* pszLabel) {
  for (u32 i = 0; i < un32Count && pahMsg != nullptr; i++) {
    if (pahMsg[i] == nullptr) continue;
    if (VQX_RESULT_FAILED(VqxDbgCheckMsg(hLib, pahMsg[i]))) {
      VQX_LOG_V(hLib, 0, "%s:%d> %s: invalid message 0x%p\n", pszFile, static_cast<int>(un32Line), pszLabel,
                static_cast<void*>(pahMsg[i]));
      pahMsg[i] = nullptr;
      continue;
    }
    VqxDbgRemoveMsg(hLib, pahMsg[i]);
  }
}

/* Leak report lines of one parameter set. */
void VqxDbgPrintSetFields(char* psz, size_t size, const _VQX_FILTER_PARAMS& p, bool fNot) {
  const u32 m = fNot ? (p.un32Mask >> VQX_FILTER_MASK_NOT_SHIFT) : p.un32Mask;
  const char* pszNot = fNot ? "NOT " : "";
  size_t n = strlen(psz);
  auto add = [&](const char* pszFmt, auto... args) {
    if (n < size) n += static_cast<size_t>(snprintf(psz + n, size - n, pszFmt, args...));
  };
  if (m & VQX_FILTER_MASK_ADAPTER) add("%shAdapter=0x%08x ", pszNot, p.hAdapter);
  if (m & VQX_FILTER_MASK_MSG_TYPE) add("%sMsgType=0x%08x ", pszNot, p.MsgTypeMask);
  if (m & VQX_FILTER_MASK_MSG_ID) add("%sMsgId=0x%08x ", pszNot, p.MsgId);
  if (m & VQX_FILTER_MASK_MSG_GROUP) add("%sMsgGroup=0x%08x ", pszNot, p.MsgGroup);
  if (m & VQX_FILTER_MASK_SERIAL) add("%sSerial=0x%08x ", pszNot, p.un32SerialNumber);
  if (m & VQX_FILTER_MASK_USER_CONTEXT1) {
    add("%sUser1=0x%08x%08x ", pszNot, static_cast<u32>(p.un64UserContext1 >> 32), static_cast<u32>(p.un64UserContext1));
  }
  if (m & VQX_FILTER_MASK_USER_CONTEXT2) {
    add("%sUser2=0x%08x%08x ", pszNot, static_cast<u32>(p.un64UserContext2 >> 32), static_cast<u32>(p.un64UserContext2));
  }
}

void VqxDbgUnregister(VQX_LIB_HANDLE hLib) {
  std::lock_guard<std::mutex> guard(s_RegisterMutex);
  VQX_DBG_STATE* pDbg = VqxDbg(hLib);
  if (s_hDebugLib.load() == hLib) s_hDebugLib.store(nullptr);
  VqxLib(hLib)->un32DebugMagic = 0;
  VqxLib(hLib)->pFctTestMsgDbg = nullptr;
  if (pDbg != nullptr) {
    if (pDbg->hTable != nullptr) VQXPoolOfBuffers64Destroy(pDbg->hTable);
    if (pDbg->hLock != nullptr) VqxMutexDestroy(pDbg->hLock);
    delete pDbg;
    VqxLib(hLib)->pvDebug = nullptr;
  }
}

}  // namespace

/* ------------------------------------------------------------ internal */

u32 VqxDebugActive(VQX_LIB_HANDLE hLib) { return hLib != nullptr && hLib == s_hDebugLib.load() ? 1u : 0u; }

void VqxDebugAddMsg(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg, const char* pszFile, u32 un32Line) {
  if (VqxDebugActive(hLib)) VqxDbgAddMsgOrWarn(hLib, hMsg, pszFile, un32Line, "VQXReceiveMsgDbg");
}

bool VqxDebugTakeBackMsg(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg, const char* pszFile, u32 un32Line) {
  if (!VqxDebugActive(hLib)) return true;
  if (VQX_RESULT_FAILED(VqxDbgCheckMsg(hLib, hMsg))) {
    VQX_LOG_V(hLib, 0, "%s:%d> invalid message 0x%p\n", pszFile, static_cast<int>(un32Line), static_cast<void*>(hMsg));
    return false;
  }
  VqxDbgRemoveMsg(hLib, hMsg);
  return true;
}

namespace {
VQX_RESULT VqxDbgTestMsgHook(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg);
}

/* ------------------------------------------------------------ open / close */

VQX_RESULT VQXOpenLibDbg(_VQX_LIB_PARAMS* pParams, VQX_LIB_HANDLE* phLib, const char* pszReleaseTag,
                         u32 un32BuildNumber, const char* pszFile, u32 un32Line) {
  static const char* const kFmt = "%s:%d> VqxOpenLibDbg: %s\n";
  const int line = static_cast<int>(un32Line);
  if (phLib != nullptr) *phLib = nullptr;
  char szText[512];
  if (pszReleaseTag == nullptr || strncmp(pszReleaseTag, VQX_HOSTLIB_RELEASE_TAG, VQX_DBG_TAG_COMPARE_SIZE) != 0) {
    snprintf(szText, sizeof(szText), "ERROR: Application linked with '%s', hostlib is '%s' !!!",
             pszReleaseTag != nullptr ? pszReleaseTag : "(null)", VQX_HOSTLIB_RELEASE_TAG);
    fprintf(stderr, kFmt, pszFile, line, szText);
    return VQX_RESULT_API_MISMATCH;
  }
  if (un32BuildNumber != VQX_HOSTLIB_BUILD_NUMBER) {
    snprintf(szText, sizeof(szText), "ERROR: Application linked with build number 0x%08X, hostlib is 0x%08X !!!",
             un32BuildNumber, VQX_HOSTLIB_BUILD_NUMBER);
    fprintf(stderr, kFmt, pszFile, line, szText);
    return VQX_RESULT_API_MISMATCH;
  }
  VQX_LIB_HANDLE hLib = nullptr;
  VQX_RESULT result = VQXOpenLib(pParams, &hLib);
  if (VQX_RESULT_FAILED(result)) {
    const char* pszDescription = "";
    VQXGetErrorDescription(result, &pszDescription);
    fprintf(stderr, kFmt, pszFile, line, pszDescription);
    return result;
  }
  VQX_DBG_STATE* pDbg = new (std::nothrow) VQX_DBG_STATE{};
  const char* pszFailure = nullptr;
  if (pDbg == nullptr || VQX_RESULT_FAILED(VqxMutexCreate(&pDbg->hLock))) {
    VQX_LOG_V(hLib, 0, "VqxDebugInit: %s\n", "Could not create DebugSem Semaphore");
    pszFailure = "Debug Init failed";
    result = VQX_RESULT_API_NOT_ENOUGH_MEMORY;
  } else {
    pDbg->hTable = VQXPoolOfBuffers64Create(VQX_DBG_TABLE_SIZE, sizeof(VQX_DBG_RECORD), VqxDbgKey, nullptr, 0);
    if (pDbg->hTable == nullptr) {
      VQX_LOG_V(hLib, 0, "VqxDebugInit: %s\n", "Could not create debug pool table");
      pszFailure = "Debug Init failed";
      result = VQX_RESULT_API_NOT_ENOUGH_MEMORY;
    }
  }
  VqxLib(hLib)->pvDebug = pDbg;
  if (pszFailure == nullptr) {
    std::lock_guard<std::mutex> guard(s_RegisterMutex);
    if (s_hDebugLib.load() != nullptr) {
      pszFailure = "Debug Add failed";
      result = VQX_RESULT_API_FAIL;
    } else {
      VqxLib(hLib)->un32DebugMagic = kMagicLib;
      VqxLib(hLib)->pFctTestMsgDbg = VqxDbgTestMsgHook;
      s_hDebugLib.store(hLib);
    }
  }
  if (pszFailure != nullptr) {
    VQX_LOG_V(hLib, 0, kFmt, pszFile, line, pszFailure);
    VqxDbgUnregister(hLib);
    VQXCloseLibEx(&hLib);
    return result;
  }
  *phLib = hLib;
  return VQX_RESULT_API_OK;
}

VQX_RESULT VQXCloseLibDbg(VQX_LIB_HANDLE* phLib, const char* pszFile, u32 un32Line) {
  if (phLib == nullptr || *phLib == nullptr) {
    VqxDbgLog(nullptr, pszFile, un32Line, "VqxCloseLibDbg", VQX_RESULT_API_INVALID_LIB_HANDLE, nullptr);
    return VQX_RESULT_API_INVALID_LIB_HANDLE;
  }
  VQX_LIB_HANDLE hLib = *phLib;
  /* A twin waiting for messages is let out first: what it takes is recorded and reported before the table goes. */
  VqxHostLibLetCallsOut(hLib);
  if (VqxDebugActive(hLib)) {
    VQXPrintLeakDbg(hLib);
  } else if (VqxDbgOn()) {
    VqxDbgLog(hLib, pszFile, un32Line, "VqxCloseLibDbg", VQX_RESULT_API_INVALID_LIB_HANDLE, hLib);
  }
  if (VqxLib(hLib)->pvDebug != nullptr) VqxDbgUnregister(hLib);
  return VQXCloseLibEx(phLib);
}

/* ------------------------------------------------------------ messages */

VQX_RESULT VQXGetMsgDbg(VQX_LIB_HANDLE hLib, u32 un32PayloadSize, VQX_MSG_HANDLE* phMsg, const char* pszFile,
                        u32 un32Line) {
  if (!VqxDbgOn() || hLib == nullptr || phMsg == nullptr) {
    const VQX_RESULT result = VQXGetMsg(hLib, un32PayloadSize, phMsg);
    if (VQX_RESULT_SUCCEEDED(result)) VqxBufChangeFile(hLib, *phMsg, pszFile, un32Line);
    return result;
  }
  if (const VQX_RESULT bad = VqxDbgLibOrFail(hLib, pszFile, un32Line, "VqxGetMsgDbg")) {
    *phMsg = nullptr;
    return bad;
  }
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  const VQX_RESULT result = VqxMsgAllocateInternal(hLib, un32PayloadSize, phMsg, 0, pszFile, un32Line);
  if (VQX_RESULT_SUCCEEDED(result)) VqxDbgAddMsgOrWarn(hLib, *phMsg, pszFile, un32Line, "VQXGetMsgDbg");
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  if (VQX_RESULT_FAILED(result)) VqxDbgLog(hLib, pszFile, un32Line, "VqxGetMsgDbg", result, nullptr);
  return result;
}

VQX_RESULT VQXGetMsgFromPoolDbg(VQX_LIB_HANDLE hLib, VQX_POOL_OF_MESSAGES_HANDLE hPool, u32 un32PayloadSize,
                                VQX_MSG_HANDLE* phMsg, const char* pszFile, u32 un32Line) {
  if (!VqxDbgOn()) return VQXGetMsgFromPool(hLib, hPool, un32PayloadSize, phMsg);
  if (const VQX_RESULT bad = VqxDbgLibOrFail(hLib, pszFile, un32Line, "VQXGetMsgFromPoolDbg")) {
    if (phMsg != nullptr) *phMsg = nullptr;
    return bad;
  }
  const VQX_RESULT result = VQXGetMsgFromPool(hLib, hPool, un32PayloadSize, phMsg);
  if (VQX_RESULT_FAILED(result)) {
    VqxDbgLog(hLib, pszFile, un32Line, "VQXGetMsgFromPoolDbg", result, nullptr);
    return result;
  }
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  VqxBufChangeFile(hLib, *phMsg, pszFile, un32Line);
  VqxDbgAddMsgOrWarn(hLib, *phMsg, pszFile, un32Line, "VQXGetMsgDbg");
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  return result;
}

VQX_RESULT VQXReleaseMsgDbg(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE* phMsg, const char* pszFile, u32 un32Line) {
  static const char* const kLabel = "VqxReleaseMsgDbg";
  if (!VqxDbgOn()) return VQXReleaseMsgEx(hLib, phMsg);
  if (const VQX_RESULT bad = VqxDbgLibOrFail(hLib, pszFile, un32Line, kLabel)) return bad;
  VQX_MSG_HANDLE hMsg = phMsg != nullptr ? *phMsg : nullptr;
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  VQX_RESULT result = VqxDbgCheckMsg(hLib, hMsg);
  if (VQX_RESULT_SUCCEEDED(result)) {
    VqxDbgRemoveMsg(hLib, hMsg);
    result = VQXReleaseMsgEx(hLib, phMsg);
  }
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  if (VQX_RESULT_FAILED(result)) VqxDbgLog(hLib, pszFile, un32Line, kLabel, result, hMsg);
  return result;
}

namespace {

/* Called by VQXTestMsgEx (under the library lock) while the layer is active: the message must be tracked. */
VQX_RESULT VqxDbgTestMsgHook(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg) {
  if (!VqxDebugActive(hLib)) return VQX_RESULT_OK;
  VQX_DBG_STATE* pDbg = VqxDbg(hLib);
  VqxMutexGet(pDbg->hLock);
  const VQX_DBG_RECORD* pRecord = hMsg != nullptr ? VqxDbgFind(hLib, hMsg) : nullptr;
  const u32 un32Kind = pRecord != nullptr ? pRecord->un32Kind : VQX_DBG_KIND_FREE;
  VqxMutexGive(pDbg->hLock);
  if (pRecord == nullptr) {
    VQX_LOG_V(hLib, 0, "%s\n", "Unknown message handle");
    return VQX_RESULT_API_INVALID_MSG_HANDLE;
  }
  if (un32Kind != VQX_DBG_KIND_MSG) {
    VQX_LOG_V(hLib, 0, "%s\n", "Invalid message information");
    return VQX_RESULT_API_INVALID_HANDLE;
  }
  return VQX_RESULT_OK;
}

}  // namespace

VQX_RESULT VQXTestMsgDbg(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE hMsg) {
  if (VqxDbgCheckLib(hLib) != VQX_RESULT_OK) {
    fprintf(stderr, "%s\n", "Invalid library handle");
    return VQX_RESULT_API_INVALID_LIB_HANDLE;
  }
  return VQXTestMsgEx(hLib, hMsg, 0, 0);
}

/* ------------------------------------------------------------ sending */

namespace {

VQX_RESULT VqxDbgSendCommon(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE* phMsg, VQX_FILTER_HANDLE* phImplicit,
                            const _VQX_SEND_MSG2_PARAMS* pParams2, const char* pszFile, u32 un32Line,
                            const char* pszLabel) {
  if (const VQX_RESULT bad = VqxDbgLibOrFail(hLib, pszFile, un32Line, pszLabel)) return bad;
  VQX_MSG_HANDLE hMsg = phMsg != nullptr ? *phMsg : nullptr;
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  VQX_RESULT result = VqxDbgCheckMsg(hLib, hMsg);
  if (VQX_RESULT_FAILED(result)) {
    /* Refused: the message stays with the caller. */
    VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
    VqxDbgLog(hLib, pszFile, un32Line, pszLabel, result, hMsg);
    return result;
  }
  VqxDbgRemoveMsg(hLib, hMsg);
  VQX_FILTER_HANDLE hImplicit = nullptr;
  if (pParams2 != nullptr) {
    _VQX_SEND_MSG2_PARAMS params = *pParams2;
    if (params.phImplicitFilter != nullptr) params.phImplicitFilter = &hImplicit;
    result = VQXSendMsg2Ex(hLib, phMsg, &params);
    if (pParams2->phImplicitFilter != nullptr) *pParams2->phImplicitFilter = hImplicit;
  } else {
    result = VQXSendMsgEx(hLib, phMsg, phImplicit != nullptr ? &hImplicit : nullptr);
    if (phImplicit != nullptr) *phImplicit = hImplicit;
  }
  if (hImplicit != nullptr) {
    VqxSetCreationSite(hImplicit, pszFile, un32Line);
    VQX_RESULT added;
    VqxDbgAddFilter(hLib, hImplicit, pszFile, un32Line, &added);
  }
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  if (VQX_RESULT_FAILED(result) && result != VQX_RESULT_API_INVALID_ADA_HANDLE) {
    VqxDbgLog(hLib, pszFile, un32Line, pszLabel, result, nullptr);
  }
  return result;
}

}  // namespace

VQX_RESULT VQXSendMsgDbg(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE* phMsg, VQX_FILTER_HANDLE* phImplicitFilter,
                         const char* pszFile, u32 un32Line) {
  if (!VqxDbgOn()) return VQXSendMsgEx(hLib, phMsg, phImplicitFilter);
  return VqxDbgSendCommon(hLib, phMsg, phImplicitFilter, nullptr, pszFile, un32Line, "VQXSendMsgDbg");
}

VQX_RESULT VQXSendMsg2Dbg(VQX_LIB_HANDLE hLib, VQX_MSG_HANDLE* phMsg, const _VQX_SEND_MSG2_PARAMS* pParams,
                          const char* pszFile, u32 un32Line) {
  if (!VqxDbgOn()) return VQXSendMsg2Ex(hLib, phMsg, pParams);
  static const _VQX_SEND_MSG2_PARAMS kNone = {nullptr, nullptr};
  return VqxDbgSendCommon(hLib, phMsg, nullptr, pParams != nullptr ? pParams : &kNone, pszFile, un32Line,
                          "VQXSendMsg2Dbg");
}

VQX_RESULT VQXSendMsgMultipleDbg(VQX_LIB_HANDLE hLib, u32 un32Count, VQX_MSG_HANDLE* pahMsg, const char* pszFile,
                                 u32 un32Line) {
  static const char* const kLabel = "VQXSendMsgMultipleDbg";
  if (!VqxDbgOn()) return VQXSendMsgMultipleEx(hLib, un32Count, pahMsg);
  if (const VQX_RESULT bad = VqxDbgLibOrFail(hLib, pszFile, un32Line, kLabel)) return bad;
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  VqxDbgScreenArray(hLib, un32Count, pahMsg, pszFile, un32Line, kLabel);
  const VQX_RESULT result = VQXSendMsgMultipleEx(hLib, un32Count, pahMsg);
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  if (VQX_RESULT_FAILED(result) && result != VQX_RESULT_API_INVALID_ADA_HANDLE) {
    VqxDbgLog(hLib, pszFile, un32Line, kLabel, result, nullptr);
  }
  return result;
}

/* ------------------------------------------------------------ receiving */

namespace {

bool VqxSilentReceiveResult(VQX_RESULT result) {
  return result == VQX_RESULT_API_TIMEOUT || result == VQX_RESULT_API_FILTER_AWAKENED ||
         result == VQX_RESULT_API_ADA_NOT_READY;
}

/* Library and filter checks of a twin that reads a filter; 0 when both pass. */
VQX_RESULT VqxDbgLibAndFilter(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter, const char* pszFile, u32 un32Line,
                              const char* pszLabel) {
  if (const VQX_RESULT bad = VqxDbgLibOrFail(hLib, pszFile, un32Line, pszLabel)) return bad;
  const VQX_RESULT result = VqxDbgCheckFilter(hLib, hFilter);
  if (VQX_RESULT_FAILED(result)) {
    VqxDbgLog(hLib, pszFile, un32Line, pszLabel, result, hFilter);
    return result;
  }
  return 0;
}

}  // namespace

VQX_RESULT VQXReceiveMsgDbg(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter, u32 un32TimeoutMs, VQX_MSG_HANDLE* phMsg,
                            const char* pszFile, u32 un32Line) {
  static const char* const kLabel = "VQXReceiveMsgDbg";
  if (!VqxDbgOn()) return VQXReceiveMsg(hLib, hFilter, un32TimeoutMs, phMsg);
  if (const VQX_RESULT bad = VqxDbgLibAndFilter(hLib, hFilter, pszFile, un32Line, kLabel)) return bad;
  const VqxReceiveCallScope inside(hLib); /* the close lets it out before the library goes */
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  const VQX_RESULT result = VQXReceiveMsg(hLib, hFilter, un32TimeoutMs, phMsg);
  if (VQX_RESULT_SUCCEEDED(result)) VqxDbgAddMsgOrWarn(hLib, *phMsg, pszFile, un32Line, kLabel);
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  if (VQX_RESULT_FAILED(result) && !VqxSilentReceiveResult(result)) {
    VqxDbgLog(hLib, pszFile, un32Line, kLabel, result, nullptr);
  }
  return result;
}

VQX_RESULT VQXReceiveMsgMultipleDbg(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter, u32 un32TimeoutMs,
                                    u32* pun32Count, VQX_MSG_HANDLE* pahMsg, const char* pszFile, u32 un32Line) {
  static const char* const kLabel = "VQXReceiveMsgMultipleDbg";
  if (!VqxDbgOn()) return VQXReceiveMsgMultiple(hLib, hFilter, un32TimeoutMs, pun32Count, pahMsg);
  if (const VQX_RESULT bad = VqxDbgLibAndFilter(hLib, hFilter, pszFile, un32Line, kLabel)) return bad;
  const VqxReceiveCallScope inside(hLib); /* the close lets it out before the library goes */
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  const VQX_RESULT result = VQXReceiveMsgMultiple(hLib, hFilter, un32TimeoutMs, pun32Count, pahMsg);
  if (VQX_RESULT_SUCCEEDED(result)) {
    for (u32 i = 0; i < *pun32Count; i++) VqxDbgAddMsgOrWarn(hLib, pahMsg[i], pszFile, un32Line, kLabel);
  }
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  if (VQX_RESULT_FAILED(result) && result != VQX_RESULT_API_TIMEOUT && result != VQX_RESULT_API_FILTER_AWAKENED) {
    VqxDbgLog(hLib, pszFile, un32Line, kLabel, result, nullptr);
  }
  return result;
}

VQX_RESULT VQXSendReceiveMsgMultipleDbg(VQX_LIB_HANDLE hLib, u32 un32NbToSend, VQX_MSG_HANDLE* pahToSend,
                                        VQX_FILTER_HANDLE hFilter, u32 un32TimeoutMs, u32* pun32Count,
                                        VQX_MSG_HANDLE* pahMsg, const char* pszFile, u32 un32Line) {
  static const char* const kLabel = "VQXSendReceiveMsgMultipleDbg";
  if (!VqxDbgOn()) {
    return VQXSendReceiveMsgMultiple(hLib, un32NbToSend, pahToSend, hFilter, un32TimeoutMs, pun32Count, pahMsg);
  }
  if (const VQX_RESULT bad = VqxDbgLibAndFilter(hLib, hFilter, pszFile, un32Line, kLabel)) return bad;
  const VqxReceiveCallScope inside(hLib); /* the close lets it out before the library goes */
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  VqxDbgScreenArray(hLib, un32NbToSend, pahToSend, pszFile, un32Line, kLabel);
  const VQX_RESULT result =
      VQXSendReceiveMsgMultiple(hLib, un32NbToSend, pahToSend, hFilter, un32TimeoutMs, pun32Count, pahMsg);
  if (VQX_RESULT_SUCCEEDED(result)) {
    for (u32 i = 0; i < *pun32Count; i++) VqxDbgAddMsgOrWarn(hLib, pahMsg[i], pszFile, un32Line, kLabel);
  }
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  if (VQX_RESULT_FAILED(result) && result != VQX_RESULT_API_TIMEOUT && result != VQX_RESULT_API_FILTER_AWAKENED) {
    VqxDbgLog(hLib, pszFile, un32Line, kLabel, result, nullptr);
  }
  return result;
}

VQX_RESULT VQXWaitMsgDbg(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter, u32 un32TimeoutMs, u32* pun32Count,
                         const char* pszFile, u32 un32Line) {
  static const char* const kLabel = "VQXWaitMsgDbg";
  if (!VqxDbgOn()) return VQXWaitMsg(hLib, hFilter, un32TimeoutMs, pun32Count);
  if (const VQX_RESULT bad = VqxDbgLibAndFilter(hLib, hFilter, pszFile, un32Line, kLabel)) return bad;
  const VqxReceiveCallScope inside(hLib); /* the close lets it out before the library goes */
  const VQX_RESULT result = VQXWaitMsg(hLib, hFilter, un32TimeoutMs, pun32Count);
  if (VQX_RESULT_FAILED(result) && result != VQX_RESULT_API_TIMEOUT && result != VQX_RESULT_API_FILTER_AWAKENED) {
    VqxDbgLog(hLib, pszFile, un32Line, kLabel, result, nullptr);
  }
  return result;
}

VQX_RESULT VQXFlushMsgsDbg(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter, u32* pun32Count, const char* pszFile,
                           u32 un32Line) {
  static const char* const kLabel = "VqxFlushMsgsDbg";
  if (!VqxDbgOn()) return VQXFlushMsgs(hLib, hFilter, pun32Count);
  if (const VQX_RESULT bad = VqxDbgLibAndFilter(hLib, hFilter, pszFile, un32Line, kLabel)) return bad;
  const VQX_RESULT result = VQXFlushMsgs(hLib, hFilter, pun32Count);
  if (VQX_RESULT_FAILED(result)) VqxDbgLog(hLib, pszFile, un32Line, kLabel, result, nullptr);
  return result;
}

/* ------------------------------------------------------------ filters */

VQX_RESULT VQXCreateMsgFilterDbg(VQX_LIB_HANDLE hLib, u32 un32NbParams, _VQX_FILTER_PARAMS* paParams,
                                 VQX_FILTER_HANDLE* phFilter, const char* pszFile, u32 un32Line) {
  static const char* const kLabel = "VqxCreateMsgFilterDbg";
  const bool fOn = VqxDbgOn();
  if (fOn) {
    if (const VQX_RESULT bad = VqxDbgLibOrFail(hLib, pszFile, un32Line, kLabel)) {
      if (phFilter != nullptr) *phFilter = nullptr;
      return bad;
    }
  }
  if (hLib == nullptr) return VQXCreateMsgFilterEx(hLib, un32NbParams, paParams, phFilter);
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  VQX_RESULT result = VQXCreateMsgFilterEx(hLib, un32NbParams, paParams, phFilter);
  if (VQX_RESULT_SUCCEEDED(result)) {
    VqxSetCreationSite(*phFilter, pszFile, un32Line);
    if (fOn) {
      VQX_RESULT added;
      VqxDbgAddFilter(hLib, *phFilter, pszFile, un32Line, &added);
      if (VQX_RESULT_FAILED(added)) {
        VQXDestroyMsgFilterEx(hLib, phFilter);
        result = added;
      }
    }
  }
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  if (fOn && VQX_RESULT_FAILED(result)) VqxDbgLog(hLib, pszFile, un32Line, kLabel, result, nullptr);
  return result;
}

VQX_RESULT VQXModifyMsgFilterDbg(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter, u32 un32NbParams,
                                 _VQX_FILTER_PARAMS* paParams, const _VQX_FILTER_CALLBACK_PARAMS* pCallbacks,
                                 const char* pszFile, u32 un32Line) {
  static const char* const kLabel = "VqxModifyMsgFilterDbg";
  if (!VqxDbgOn()) return VQXModifyMsgFilter(hLib, hFilter, un32NbParams, paParams, pCallbacks);
  if (const VQX_RESULT bad = VqxDbgLibOrFail(hLib, pszFile, un32Line, kLabel)) return bad;
  const VQX_RESULT result = VQXModifyMsgFilter(hLib, hFilter, un32NbParams, paParams, pCallbacks);
  if (VQX_RESULT_FAILED(result)) VqxDbgLog(hLib, pszFile, un32Line, kLabel, result, nullptr);
  return result;
}

VQX_RESULT VQXDestroyMsgFilterDbg(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE* phFilter, const char* pszFile,
                                  u32 un32Line) {
  static const char* const kLabel = "VqxDestroyMsgFilterDbg";
  if (!VqxDbgOn()) return VQXDestroyMsgFilterEx(hLib, phFilter);
  VQX_FILTER_HANDLE hFilter = phFilter != nullptr ? *phFilter : nullptr;
  if (const VQX_RESULT bad = VqxDbgLibAndFilter(hLib, hFilter, pszFile, un32Line, kLabel)) return bad;
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  VqxDbgRemove(hLib, hFilter);
  hFilter->un32DbgMagic1 = hFilter->un32DbgMagic2 = 0;
  const VQX_RESULT result = VQXDestroyMsgFilterEx(hLib, phFilter);
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  if (VQX_RESULT_FAILED(result)) VqxDbgLog(hLib, pszFile, un32Line, kLabel, result, hFilter);
  return result;
}

VQX_RESULT VQXWakeMsgFilterDbg(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter, const char* pszFile, u32 un32Line) {
  static const char* const kLabel = "VqxWakeMsgFilterDbg";
  if (!VqxDbgOn()) return VQXWakeMsgFilter(hLib, hFilter);
  if (const VQX_RESULT bad = VqxDbgLibAndFilter(hLib, hFilter, pszFile, un32Line, kLabel)) return bad;
  const VQX_RESULT result = VQXWakeMsgFilter(hLib, hFilter);
  if (VQX_RESULT_FAILED(result)) VqxDbgLog(hLib, pszFile, un32Line, kLabel, result, nullptr);
  return result;
}

namespace {

/* Twins whose only check is the library's. */
template <typename PLAIN>
VQX_RESULT VqxDbgLibOnlyTwin(VQX_LIB_HANDLE hLib, const char* pszFile, u32 un32Line, const char* pszLabel,
                             PLAIN plain) {
  const bool fOn = VqxDbgOn();
  if (fOn) {
    if (const VQX_RESULT bad = VqxDbgLibOrFail(hLib, pszFile, un32Line, pszLabel)) return bad;
  }
  const VQX_RESULT result = plain();
  if (fOn && VQX_RESULT_FAILED(result)) VqxDbgLog(hLib, pszFile, un32Line, pszLabel, result, nullptr);
  return result;
}

}  // namespace

VQX_RESULT VQXCreateAssociationDbg(VQX_LIB_HANDLE hLib, const char* pszFile, u32 un32Line) {
  return VqxDbgLibOnlyTwin(hLib, pszFile, un32Line, "VQXCreateAssociationDbg", [&] { return VQXCreateAssociation(hLib); });
}

VQX_RESULT VQXDestroyAssociationDbg(VQX_LIB_HANDLE hLib, const char* pszFile, u32 un32Line) {
  return VqxDbgLibOnlyTwin(hLib, pszFile, un32Line, "VQXDestroyAssociationDbg",
                           [&] { return VQXDestroyAssociation(hLib); });
}

VQX_RESULT VQXGetAdaptersListDbg(VQX_LIB_HANDLE hLib, u32 un32Capacity, u32* pun32Count, u32* pahAdapters,
                                 const char* pszFile, u32 un32Line) {
  return VqxDbgLibOnlyTwin(hLib, pszFile, un32Line, "VqxGetAdaptersListDbg",
                           [&] { return VQXGetAdaptersList(hLib, un32Capacity, pun32Count, pahAdapters); });
}

VQX_RESULT VQXGetRemoteHostsListDbg(VQX_LIB_HANDLE hLib, u32 un32Capacity, u32* pun32Count, u32* pahHosts,
                                    const char* pszFile, u32 un32Line) {
  return VqxDbgLibOnlyTwin(hLib, pszFile, un32Line, "VqxGetRemoteHostsListDbg",
                           [&] { return VQXGetRemoteHostsList(hLib, un32Capacity, pun32Count, pahHosts); });
}

/* ------------------------------------------------------------ printouts */

VQX_RESULT VQXPrintLeakDbg(VQX_LIB_HANDLE hLib) {
  if (!VqxDebugActive(hLib)) {
    if (hLib != nullptr) {
      VQX_LOG_V(hLib, 0, "************************ (VQX_DEBUG_API not enabled) ***************************\n");
    } else {
      fprintf(stderr, "************************ (VQX_DEBUG_API not enabled) ***************************\n");
    }
    return VQX_RESULT_OK;
  }
  VQX_DBG_STATE* pDbg = VqxDbg(hLib);
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  VqxMutexGet(pDbg->hLock);
  VQX_LOG_V(hLib, 0, "************************ VQX_DEBUG_API ***************************\n");
  const u64 un64Now = VQXGetClock();
  for (void* pv = VQXPoolOfBuffers64First(pDbg->hTable); pv != nullptr; pv = VQXPoolOfBuffers64Next(pDbg->hTable, pv)) {
    const VQX_DBG_RECORD* pRecord = static_cast<const VQX_DBG_RECORD*>(pv);
    const u32 un32Age = static_cast<u32>(un64Now - pRecord->un64Clock);
    if (pRecord->un32Kind == VQX_DBG_KIND_FILTER) {
      const VQX_FILTER* pFilter = reinterpret_cast<const VQX_FILTER*>(pRecord->un64Address);
      VQX_LOG_V(hLib, 0, "Filter 0x%p (%d Msg pending), allocated %ums ago at\n  %s:%u\n",
                static_cast<const void*>(pFilter), static_cast<int>(pFilter->un32Count), un32Age, pRecord->pszFile,
                pRecord->un32Line);
      for (u32 i = 0; i < pFilter->un32NbParams; i++) {
        char szSet[1024];
        snprintf(szSet, sizeof(szSet), "    %d %s", static_cast<int>(i), i < pFilter->un32NbNegative ? "[NEGATIVE] " : "");
        VqxDbgPrintSetFields(szSet, sizeof(szSet), pFilter->aParams[i], false);
        VqxDbgPrintSetFields(szSet, sizeof(szSet), pFilter->aParams[i], true);
        VQX_LOG_V(hLib, 0, "%s\n  ", szSet);
      }
      VQX_LOG_V(hLib, 0, "\n");
    } else if (pRecord->un32Kind == VQX_DBG_KIND_MSG) {
      const _VQX_MSG_HEADER* pMsg = reinterpret_cast<const _VQX_MSG_HEADER*>(pRecord->un64Address);
      VQX_LOG_V(hLib, 0,
                "MsgId 0x%08X (addr 0x%p, type %u, from 0x%08X), allocated %ums ago at\n  %s:%u\n  Serial number %u, "
                "UserCtx1 0x%llx, UserCtx2 0x%llx\n",
                pMsg->un32MsgId, static_cast<const void*>(pMsg), pMsg->MsgType, pMsg->hAdapter, un32Age,
                pRecord->pszFile, pRecord->un32Line, pMsg->un32SerialNumber,
                static_cast<unsigned long long>(pMsg->un64UserContext1),
                static_cast<unsigned long long>(pMsg->un64UserContext2));
    }
  }
  VQX_LOG_V(hLib, 0, "******************** end VQX_DEBUG_API dump **********************\n");
  VqxMutexGive(pDbg->hLock);
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  return VQX_RESULT_API_OK;
}

namespace {

struct VQX_FIELD_LINE {
  u32 un32Bit;
  const char* pszFormat; /* one u32 or one u64 value */
  bool f64;
};
const VQX_FIELD_LINE s_aFieldLines[] = {
    {VQX_FILTER_MASK_ADAPTER, "        %shAdapter         %s: 0x%08X\n", false},
    {VQX_FILTER_MASK_MSG_TYPE, "        %sMsgTypeMask      %s: 0x%08X\n", false},
    {VQX_FILTER_MASK_MSG_ID, "        %sMsgId            %s: 0x%08X\n", false},
    {VQX_FILTER_MASK_MSG_GROUP, "        %sMsgGroup         %s: 0x%08X\n", false},
    {VQX_FILTER_MASK_SERIAL, "        %sun32SerialNumber %s: %u\n", false},
    {VQX_FILTER_MASK_USER_CONTEXT1, "        %sun64UserContext1 %s: 0x%llx\n", true},
    {VQX_FILTER_MASK_USER_CONTEXT2, "        %sun64UserContext2 %s: 0x%llx\n", true},
};

u64 VqxFieldValue(const _VQX_FILTER_PARAMS& p, u32 un32Bit) {
  switch (un32Bit) {
    case VQX_FILTER_MASK_ADAPTER: return p.hAdapter;
    case VQX_FILTER_MASK_MSG_TYPE: return p.MsgTypeMask;
    case VQX_FILTER_MASK_MSG_ID: return p.MsgId;
    case VQX_FILTER_MASK_MSG_GROUP: return p.MsgGroup;
    case VQX_FILTER_MASK_SERIAL: return p.un32SerialNumber;
    case VQX_FILTER_MASK_USER_CONTEXT1: return p.un64UserContext1;
    default: return p.un64UserContext2;
  }
}

/* One filter's block; caller holds the library lock. */
void VqxPrintFilterBlock(VQX_LIB_HANDLE hLib, const VQX_FILTER* pFilter) {
  char sz[VQX_DBG_PRINT_SIZE];
  size_t n = 0;
  auto add = [&](const char* pszFmt, auto... args) {
    if (n < sizeof(sz)) n += static_cast<size_t>(snprintf(sz + n, sizeof(sz) - n, pszFmt, args...));
  };
  add("%s:%d>\n    Filter 0x%p ( %s%s%s)\n", pFilter->fCreationSiteKnown ? pFilter->pszFile : "",
      static_cast<int>(pFilter->fCreationSiteKnown ? pFilter->un32Line : 0), static_cast<const void*>(pFilter),
      pFilter->fImplicit ? "implicit " : "", pFilter->fLostMessages ? "LostMessages " : "",
      pFilter->un32State == VQX_FILTER_STATE_ACTIVE ? "active " : "");
  add("    %d / %d Msg waiting, %llu msg received\n", static_cast<int>(pFilter->un32Count),
      static_cast<int>(pFilter->un32PeakCount), static_cast<unsigned long long>(pFilter->un64MsgQueued));
  add("    %llu + %llu calls to VQXReceiveMsg\n", static_cast<unsigned long long>(pFilter->un64RxCallsWithMsg),
      static_cast<unsigned long long>(pFilter->un64RxCallsWithoutMsg));
  add("    %u ms elapsed since last read\n",
      pFilter->un64LastReadTick != 0 ? static_cast<u32>(VQXGetClock() - pFilter->un64LastReadTick) : 0u);
  for (u32 i = 0; i < pFilter->un32NbParams; i++) {
    const _VQX_FILTER_PARAMS& p = pFilter->aParams[i];
    add("    Params %u / %u%s:\n", i + 1, pFilter->un32NbParams, i < pFilter->un32NbNegative ? " [NEGATIVE]" : "");
    for (u32 fNot = 0; fNot < 2; fNot++) {
      const u32 m = fNot ? (p.un32Mask >> VQX_FILTER_MASK_NOT_SHIFT) : p.un32Mask;
      for (const VQX_FIELD_LINE& line : s_aFieldLines) {
        if (!(m & line.un32Bit)) continue;
        const u64 v = VqxFieldValue(p, line.un32Bit);
        if (line.f64) {
          add(line.pszFormat, fNot ? "NOT " : "", fNot ? "" : "    ", static_cast<unsigned long long>(v));
        } else {
          add(line.pszFormat, fNot ? "NOT " : "", fNot ? "" : "    ", static_cast<u32>(v));
        }
      }
    }
  }
  VQX_LOG_V(hLib, 0, "%s", sz);
}

}  // namespace

VQX_RESULT VQXPrintFilterDbg(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE hFilter) {
  if (hLib == nullptr) return VQX_RESULT_API_INVALID_LIB_HANDLE;
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  const bool fKnown = VqxFilterIsKnown(hLib, hFilter);
  if (fKnown) VqxPrintFilterBlock(hLib, hFilter);
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  return fKnown ? VQX_RESULT_API_OK : VQX_RESULT_API_INVALID_FIL_HANDLE;
}

VQX_RESULT VQXPrintFiltersDbg(VQX_LIB_HANDLE hLib) {
  if (hLib == nullptr || VqxLib(hLib)->un32Magic != VQX_LIB_MAGIC_OPEN) {
    fprintf(stderr, "%s\n", "Invalid library handle");
    return VQX_RESULT_API_INVALID_LIB_HANDLE;
  }
  VQX_LIB* pLib = VqxLib(hLib);
  VQX_HOSTLIB_CRITICAL_SECTION_ENTER(hLib);
  if (VQX_FILTER_LIB* pFl = VqxFilterLib(hLib)) {
    for (const VQX_FILTER* p = pFl->pImplicitFirst; p != nullptr; p = p->pNext) VqxPrintFilterBlock(hLib, p);
    for (const VQX_FILTER* p = pFl->pActiveFirst; p != nullptr; p = p->pNext) VqxPrintFilterBlock(hLib, p);
  }
  VQX_HOSTLIB_CRITICAL_SECTION_LEAVE(hLib);
  std::lock_guard<std::mutex> guard(pLib->BufMutex);
  const VQX_BUF_COUNTERS& c = pLib->BufCounters;
  VQX_LOG_V(hLib, 0, "Total cumulative alloc:  %llu (%llu from pool, %llu malloc)\n",
            static_cast<unsigned long long>(c.un64Hit + c.un64MissAlloc + c.un64BigMissAlloc),
            static_cast<unsigned long long>(c.un64Hit),
            static_cast<unsigned long long>(c.un64MissAlloc + c.un64BigMissAlloc));
  VQX_LOG_V(hLib, 0, "Total cumulative freed:  %llu (%llu into pool, %llu malloc)\n",
            static_cast<unsigned long long>(c.un64HitRelease + c.un64MissFree + c.un64BigMissFree),
            static_cast<unsigned long long>(c.un64HitRelease),
            static_cast<unsigned long long>(c.un64MissFree + c.un64BigMissFree));
  if (const VQX_BUF_CLASS_TABLE* pTable = pLib->pBufClasses) {
    for (u32 i = 0; i < pTable->un32NbClasses; i++) {
      const VQX_BUF_CLASS& k = pTable->aClasses[i];
      VQX_LOG_V(hLib, 0, "    Pool %u (%4u bytes):\n", i, k.un32BufSize);
      VQX_LOG_V(hLib, 0, "        %u / %u messages in pool\n", k.un32NbFree, k.un32NbConfigured);
      VQX_LOG_V(hLib, 0, "        Cumulative alloc:  %llu (%llu from pool, %llu malloc)\n",
                static_cast<unsigned long long>(k.un64Taken + k.un64MissAlloc),
                static_cast<unsigned long long>(k.un64Taken), static_cast<unsigned long long>(k.un64MissAlloc));
      VQX_LOG_V(hLib, 0, "        Cumulative freed:  %llu (%llu into pool, %llu malloc)\n",
                static_cast<unsigned long long>(k.un64Returned + k.un64MissFree),
                static_cast<unsigned long long>(k.un64Returned), static_cast<unsigned long long>(k.un64MissFree));
    }
  }
  return VQX_RESULT_API_OK;
}

/* ------------------------------------------------------------ random */

u32 VQX_RAND(void) {
  static std::mutex s_Mutex;
  static drand48_data s_State;
  static bool s_fSeeded = false;
  std::lock_guard<std::mutex> guard(s_Mutex);
  if (!s_fSeeded) {
    srand48_r(static_cast<long>(VQXGetClock() + static_cast<u64>(time(nullptr))), &s_State);
    s_fSeeded = true;
  }
  long value = 0;
  mrand48_r(&s_State, &value);
  return static_cast<u32>(value);
}
