/*
 * vqcafcomm.cpp - the communication bridge (see vqcafcomm.h): open and close
 * of the host library, the lent handle, parameter changes, the transports'
 * switch, and the library's print callbacks.
 *
 * The singleton pointer lives under a small process lock together with a
 * count of callers inside the bridge ("pins"); Uninit clears the pointer
 * under that lock and waits for the pins before it destroys the bridge, so no
 * thread ever takes a mutex that is being destroyed.
 */
#include "vqcafcomm.h"

#include <string.h>
#include <unistd.h>

#include <cstdio>
#include <chrono>
#include <atomic>
#include <thread>
#include <mutex>
#include <string_view>

#include "vqcafexception.h"
#include "vqcafglobals.h"
#include "vqcaflog.h"
#include "vqx_clock.h"
#include "vqx_string.h"

namespace VQCAF {

namespace {

/* Init and Uninit one at a time; the singleton and the pins are atomics so
 * that lending the library costs no lock (a caller pins, then looks). */
std::mutex s_LifeMutex;
std::atomic<CVQCAFComm*> s_pInstance{nullptr}; /* the singleton (spInstance) */
std::atomic<u32> s_un32Pins{0};                 /* callers inside the bridge, owners included */

CVQCAFComm* Pin() {
  s_un32Pins.fetch_add(1);
  CVQCAFComm* p = s_pInstance.load();
  if (p == nullptr) s_un32Pins.fetch_sub(1);
  return p;
}
void Unpin() { s_un32Pins.fetch_sub(1); }
/* Pins the bridge for one static operation. */
class CPinned {
 public:
  CPinned() : mp(Pin()) {}
  ~CPinned() {
    if (mp != nullptr) Unpin();
  }
  CVQCAFComm* operator->() const { return mp; }
  explicit operator bool() const { return mp != nullptr; }

 private:
  CVQCAFComm* mp;
};

constexpr u32 kNotOk = 0xC0000000u; /* failure or warning bits */

/* Texts of the library's error lines that are operator messages, not errors (a board whose link the application
 * closed with VQXCloseAdaptersGw; a listed gateway entry looked for by its name; a peer that closed its link: what it
 * may not have received, when anything, has its own error line). */
constexpr std::string_view kMessageTexts[] = {"VqxHostSendAdapterAddedEvent", " removed\n", " gw0 UP\n",
                                              " gw1 UP\n", " gw0 DOWN (", " gw1 DOWN (",
                                              " removed (cause: Hostlib Closing)\n", ") names no IPv4 address: ",
                                              " removed (cause: Socket closed in a clean manner)\n"};

}  // namespace

/* ------------------------------------------------------------ life cycle */

VQX_RESULT CVQCAFComm::Init(CVQCAFCommParams& Params) {
  const char* pszText = nullptr;
  VQX_RESULT Result = VQX_RESULT_OK;
  int nLine = 0;
  std::unique_lock<std::mutex> Lock(s_LifeMutex);
  CVQCAFComm* pRunning = s_pInstance.load();
  if (GetGlobals() == nullptr) {
    pszText = "Please call VQCAF::GlobalInit() first", Result = VQX_RESULT_NOT_READY, nLine = __LINE__;
  } else if (pRunning != nullptr) {
    pszText = "Cannot init twice.", Result = VQX_RESULT_INVALID_OPERATION, nLine = __LINE__;
    pRunning->LogTrace(VQERR, "CVQCAFComm::Init: %s (0x%08X) 0x%08X %s:%d\n", pszText, 0u, Result,
                          VqxFileNameFromPath(__FILE__), nLine);
    return Result;
  } else {
    CVQCAFComm* p = nullptr;
    try {
      p = new CVQCAFComm(Params);
    } catch (...) {
      return VqcafReportCurrentException("CVQCAFComm::Init", __FILE__, __LINE__);
    }
    if (p->mhHostLib != nullptr) {
      s_pInstance.store(p);
      return VQX_RESULT_OK;
    }
    /* The host library named its cause, the constructor where it stopped: a message, not a second error. */
    pszText = "Creating CVQCAFComm Failed.", Result = VQX_RESULT_FAIL, nLine = __LINE__;
    p->LogTrace(VQMSG, "CVQCAFComm::Init: %s (0x%08X) 0x%08X %s:%d\n", pszText, 0u, Result,
                VqxFileNameFromPath(__FILE__), nLine);
    delete p;
    return Result;
  }
  ::VQCAF::LogTrace(VQERR, "CVQCAFComm::Init: %s (0x%08X) 0x%08X %s:%d\n", pszText, 0u, Result,
                    VqxFileNameFromPath(__FILE__), nLine);
  return Result;
}

VQX_RESULT CVQCAFComm::Uninit() {
  std::unique_lock<std::mutex> Lock(s_LifeMutex);
  CVQCAFComm* p = s_pInstance.exchange(nullptr);
  if (p == nullptr) return VQX_RESULT_OK;
  /* Owners on this thread would wait for themselves: only other threads are waited for. */
  const u32 un32OwnLevels = p->mMutex.GetHeldCount();
  auto Next = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (s_un32Pins.load() > un32OwnLevels) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (std::chrono::steady_clock::now() > Next) {
      p->LogTrace(VQERR, "CVQCAFComm::Uninit: waiting for %u thread(s) still using the bridge\n",
                  s_un32Pins.load() - un32OwnLevels);
      Next += std::chrono::seconds(5);
    }
  }
  s_un32Pins.fetch_sub(un32OwnLevels);
  if (un32OwnLevels != 0) {
    p->LogTrace(VQERR, "BUG: CVQCAFComm::Uninit(): Called before ReleaseInstance() been called by all owners!");
  }
  p->mMutex.GiveAll();
  try {
    delete p;
  } catch (...) {
    return VqcafReportCurrentException("CVQCAFComm::Uninit", __FILE__, __LINE__);
  }
  return VQX_RESULT_OK;
}

bool CVQCAFComm::IsInitialized() { return s_pInstance.load() != nullptr; }

VQX_RESULT CVQCAFComm::EndSendWaits() {
  CPinned p;
  /* The handle is set once at construction and cleared only by the destructor, which waits for the pins. */
  return p ? VQXEndSendWaits(p->mhHostLib) : VQX_RESULT_NOT_READY;
}

CVQCAFComm::CVQCAFComm(CVQCAFCommParams& Params)
    : CVQCAFLogTrace(VQCAF_SUBMODULE_COMM),
      mhHostLib(nullptr),
      mun32NbOwners(0),
      mun32NbHostLibUsers(0),
      mpParams(new CVQCAFCommParams()) {
  _VQX_LIB_PARAMS L;
  BuildHostLibParams(Params, &L);
  LogTrace(VQLV2, "Opening VQX Host Library\n");
  const VQX_RESULT Result = VQXOpenLib(&L, &mhHostLib);
  if (VQX_RESULT_FAILED(Result)) {
    /* The library's own line named the cause (a refused setting, a transport's port): this one, a message, where
     * the bridge stopped. */
    LogTrace(VQMSG, "%s", VqcafFormatFailureLine("CVQCAFComm::CVQCAFComm", "Failed to open host Library.", Result,
                                                 __FILE__, __LINE__).c_str());
    if (mhHostLib != nullptr) VQXCloseLibDbg(&mhHostLib, __FILE__, __LINE__);
    mhHostLib = nullptr;
    return;
  }
  LogTrace(VQLV2, "Successfully opened VQX Host Library\n");
  _VQX_LIB_INFO* pInfo = new _VQX_LIB_INFO();
  VQXGetLibInfo(mhHostLib, pInfo);
  const _VQX_LIB_PARAMS& lp = pInfo->LibParams;
  static const char kStars[] = "*****************************************";
  static_assert(sizeof(kStars) == 42);
  LogTrace(VQMSG, "\033[32m%s\n", kStars);
  /* "<gw0>/<gw1>": the separator stays when the second path has no address, so the line's form never changes. */
  LogTrace(VQMSG, "\033[32m* %s.%s: VQX Library %s (0x%08X). Local IPs are %s/%s, VQX_GW_PORT=%u\n", pInfo->szHostName,
           pInfo->szApplicationName, pInfo->szLibReleaseTag, pInfo->un32LibBuildNumber, pInfo->szLocalGw0Address,
           pInfo->szLocalGw1Address, static_cast<u32>(lp.un16GwPort));
  LogTrace(VQMSG, "\033[32m%s\n", kStars);
  delete pInfo;
}

CVQCAFComm::~CVQCAFComm() {
  if (mun32NbHostLibUsers != 0) {
    LogTrace(VQERR,
             "BUG: CVQCAFComm::~CVQCAFComm(): Destroying before ReleaseHostLibInstance() been called by all owners!");
  }
  if (mhHostLib != nullptr) {
    LogTrace(VQLV2, "Waiting for VQX Host library to deliver all sent messages...\n");
    WaitSent();
    LogTrace(VQLV2, "Closing VQX Host Library\n");
    VQXCloseLibDbg(&mhHostLib, __FILE__, __LINE__);
    LogTrace(VQLV2, "Successfully closed VQX Host Library\n");
    mhHostLib = nullptr;
  }
}

u64 VqcafWaitSentBounded(const std::function<u64()>& Pending, const std::function<void()>& WaitStep,
                         const std::function<u64()>& Now, u64* pun64WaitedMs) {
  u64 un64Left = Pending();
  const u64 un64Start = Now();
  u64 un64Moved = un64Start, un64Now = un64Start;
  while (un64Left != 0 && un64Now - un64Start < VQCAF_COMM_CLOSE_SEND_WAIT_MS &&
         un64Now - un64Moved < VQCAF_COMM_CLOSE_SEND_STALL_MS) {
    WaitStep();
    const u64 un64Count = Pending();
    un64Now = Now();
    if (un64Count < un64Left) un64Moved = un64Now;
    un64Left = un64Count;
  }
  *pun64WaitedMs = un64Now - un64Start;
  return un64Left;
}

std::vector<std::string> VqcafCloseSentLines(const VQX_TX_ACCOUNT& Start, const VQX_TX_ACCOUNT& End, u64 un64WaitedMs) {
  const u64 un64Dropped = End.un64Queued + (End.un64Dropped - Start.un64Dropped);
  const u64 un64Unacked = End.un64Unacked + (End.un64UnackedFreed - Start.un64UnackedFreed);
  /* Nothing left to wait for while something was not taken: a peer removed meanwhile took it with it. */
  const char* pszWhy = End.un64Queued + End.un64Unacked == 0                ? "their peer gone"
                       : un64WaitedMs >= VQCAF_COMM_CLOSE_SEND_WAIT_MS ? "the wait's bound reached"
                                                                        : "none taken any more";
  std::vector<std::string> aLines;
  const auto Line = [&](u64 un64Count, const char* pszWhat) {
    if (un64Count == 0) return;
    char sz[256];
    snprintf(sz, sizeof(sz), "Closing VQX Host Library with %llu sent message(s) %s (%s after %llu ms)",
             static_cast<unsigned long long>(un64Count), pszWhat, pszWhy, static_cast<unsigned long long>(un64WaitedMs));
    aLines.push_back(sz);
  };
  Line(un64Dropped, "not taken by their peers, dropped");
  Line(un64Unacked, "not acknowledged by their peers, not known to be taken");
  return aLines;
}

void CVQCAFComm::WaitSent() {
  const auto Account = [&] {
    VQX_TX_ACCOUNT a{};
    return VQX_RESULT_FAILED(VQXGetTxAccount(mhHostLib, &a)) ? VQX_TX_ACCOUNT{} : a;
  };
  const VQX_TX_ACCOUNT Start = Account();
  const u64 un64Queued = Start.un64Queued + Start.un64Unacked;
  if (un64Queued == 0) return;
  LogTrace(VQMSG, "Waiting up to %u ms for the peers to take %llu sent message(s)\n", VQCAF_COMM_CLOSE_SEND_WAIT_MS,
           static_cast<unsigned long long>(un64Queued));
  u64 un64WaitedMs = 0;
  /* In steps, so that a peer that stopped taking ends the wait before the whole bound; once the send fifos are
     empty, the acknowledgements of what is on its way are looked for every 10 ms. */
  VqcafWaitSentBounded(
      [&] {
        const VQX_TX_ACCOUNT a = Account();
        return a.un64Queued + a.un64Unacked;
      },
      [&] {
        VQXWaitSentMsg(mhHostLib, 100);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      },
      [] { return VQXGetClock(); }, &un64WaitedMs);
  for (const std::string& strLine : VqcafCloseSentLines(Start, Account(), un64WaitedMs)) {
    LogTrace(VQERR, "%s\n", strLine.c_str());
  }
}

/* ---------------------------------------------------------- lending */

CVQCAFComm* CVQCAFComm::GetInstance() {
  CVQCAFComm* p = Pin();
  if (p != nullptr) {
    p->mMutex.Get();
    p->mun32NbOwners++;
  }
  return p;
}

void CVQCAFComm::ReleaseInstance() {
  if (mun32NbOwners == 0 || mMutex.GetHeldCount() == 0) {
    LogTrace(VQERR, "CVQCAFComm::ReleaseInstance() called too many times!");
    return;
  }
  mun32NbOwners--;
  mMutex.Give();
  Unpin();
}

VQX_LIB_HANDLE CVQCAFComm::GetHostLibInstance() {
  CPinned p;
  return p ? p->GetHostLibInstancePrivate() : nullptr;
}
void CVQCAFComm::ReleaseHostLibInstance() {
  CPinned p;
  if (p) p->ReleaseHostLibInstancePrivate();
}
VQX_LIB_HANDLE CVQCAFComm::PinHostLib() {
  CVQCAFComm* p = Pin();
  VQX_LIB_HANDLE h = p != nullptr ? p->mhHostLib : nullptr;
  if (p != nullptr && h == nullptr) Unpin();
  return h;
}
void CVQCAFComm::UnpinHostLib() { Unpin(); }
/* The count is bookkeeping for the destructor's check: an atomic, so that
 * lending the handle never waits for an owner of the bridge. */
VQX_LIB_HANDLE CVQCAFComm::GetHostLibInstancePrivate() {
  mun32NbHostLibUsers.fetch_add(1);
  return mhHostLib;
}
void CVQCAFComm::ReleaseHostLibInstancePrivate() {
  u32 un32Users = mun32NbHostLibUsers.load();
  while (un32Users != 0 && !mun32NbHostLibUsers.compare_exchange_weak(un32Users, un32Users - 1)) {
  }
  if (un32Users == 0) LogTrace(VQERR, "CVQCAFComm::ReleaseHostLibInstance() called too many times!");
}

/* ------------------------------------------------------- parameters */

void CVQCAFComm::BuildHostLibParams(CVQCAFCommParams& P, _VQX_LIB_PARAMS* pL) {
  _VQX_LIB_PARAMS& L = *pL;
  memset(&L, 0, sizeof(L));
  if (P.mApplicationName.IsEmpty()) P.mApplicationName.Format("UnnamedApp_0x%08X", static_cast<u32>(getpid()));
  if (mhHostLib != nullptr) {
    const VQX_RESULT r = VQXGetLibParams(mhHostLib, &L);
    if (VQX_RESULT_FAILED(r)) LogTrace(VQERR, "VQXGetLibParams failed (result 0x%08X)", r);
    P.CVQCAFCliCopyParamsToHostLibParams(L);
  } else {
    L.un32StructVersion = 1;
    L.szHostName[0] = '\0';
    P.CVQCAFCliCopyParamsToHostLibParams(L);
    L.fAdaptersGwOff = 1;
    L.fHostsGwOn = 0;
    L.un32TransportType = 1;
    L.pFctErrorCallback = VQCAFCommLogPrintError;
    L.pvErrorContext = this;
    L.pFctTraceCallback = VQCAFCommLogPrint;
    L.pvTraceContext = this;
    L.un32TraceLevel = P.mun32HostLibTraceLevel;
  }
  if (L.NetworkRedundancy.fValid != 0 && L.NetworkRedundancy.un32PollDelayMs == 0) {
    u32 un32Poll = L.NetworkRedundancy.un32NetworkDownDelayMs / 3;
    if (un32Poll < 100) un32Poll = 100;
    L.NetworkRedundancy.un32PollDelayMs = un32Poll;
    LogTrace(VQERR, "CVQCAFComm::BuildHostLibParams: Invalid value for un32PollDelayMs (0). Will change to %ums",
             un32Poll);
  }
}

VQX_RESULT CVQCAFComm::SetParam(CVQCAFCommParams& Params) {
  CPinned p;
  return p ? p->SetParamPrivate(Params) : VQX_RESULT_NOT_READY;
}

VQX_RESULT CVQCAFComm::SetParamPrivate(CVQCAFCommParams& Params) {
  CVQCAFMutexAutoGetGive Guard(&mMutex);
  const char* pszText = nullptr;
  VQX_RESULT Result = VQX_RESULT_OK;
  int nLine = 0;
  if (mhHostLib == nullptr) {
    pszText = "Init must be called first.", Result = VQX_RESULT_INVALID_STATE, nLine = __LINE__;
  } else {
    _VQX_LIB_PARAMS L;
    BuildHostLibParams(Params, &L);
    LogTrace(VQLV2, "Modifying VQX Host Library parameters\n");
    VQX_RESULT ResultRedundancy = VQX_RESULT_OK;
    {
      CVQCAFMutexAutoGiveGet Unlocked(&mMutex);
      Result = VQXModifLibParams(mhHostLib, &L);
      if ((Result & kNotOk) == 0) ResultRedundancy = VQXConfigureNetworkRedundancy(mhHostLib, 0, &L.NetworkRedundancy);
    }
    if (VQX_RESULT_FAILED(Result)) {
      pszText = "VQXModifLibParams failed.", nLine = __LINE__;
    } else if (VQX_RESULT_FAILED(ResultRedundancy)) {
      /* The library kept its old redundancy record: the change did not fully apply. */
      pszText = "VQXConfigureNetworkRedundancy failed.", Result = ResultRedundancy, nLine = __LINE__;
    } else {
      LogTrace(VQLV2, "Successfully modified VQX Host Library\n");
      return VQX_RESULT_OK;
    }
  }
  LogTrace(VQERR, "%s", VqcafFormatFailureLine("CVQCAFComm::SetParam", pszText, Result, __FILE__, nLine).c_str());
  return Result;
}

VQX_RESULT CVQCAFComm::Start(u32 fAdaptersOn, u32 fHostsOn) {
  CPinned p;
  return p ? p->StartPrivate(fAdaptersOn, fHostsOn) : VQX_RESULT_NOT_READY;
}

VQX_RESULT CVQCAFComm::StartPrivate(u32 fAdaptersOn, u32 fHostsOn) {
  CVQCAFMutexAutoGetGive Guard(&mMutex);
  _VQX_TRACE_LEVEL Level = VQERR;
  const char* pszText = nullptr;
  VQX_RESULT Result = VQX_RESULT_INVALID_STATE;
  int nLine = __LINE__;
  if (mhHostLib != nullptr) {
    _VQX_LIB_PARAMS L{};
    Result = VQXGetLibParams(mhHostLib, &L);
    if (VQX_RESULT_FAILED(Result)) {
      pszText = "VQXGetLibParams failed.", nLine = __LINE__;
    } else {
      L.fHostsGwOn = fHostsOn;
      L.fAdaptersGwOff = fAdaptersOn == 0 ? 1 : 0;
      Result = VQXModifLibParams(mhHostLib, &L);
      if (!VQX_RESULT_FAILED(Result)) return VQX_RESULT_OK;
      /* The library named the cause (a transport that could not start): a message of where it stopped. */
      pszText = "VQXModifLibParams failed.", nLine = __LINE__, Level = VQMSG;
    }
  } else {
    pszText = "Init must be called first.";
  }
  LogTrace(Level, "CVQCAFComm::Start: %s (0x%08X) 0x%08X %s:%d\n", pszText, 0u, Result, VqxFileNameFromPath(__FILE__),
           nLine);
  return Result;
}

VQX_RESULT CVQCAFComm::ValidateParam(CVQCAFCommParams& Params) {
  CPinned p;
  return p ? p->ValidateParamPrivate(Params) : VQX_RESULT_NOT_READY;
}

VQX_RESULT CVQCAFComm::ValidateParamPrivate(CVQCAFCommParams& Params) {
  CVQCAFMutexAutoGetGive Guard(&mMutex);
  const char* pszText = "Init must be called first.";
  VQX_RESULT Result = VQX_RESULT_INVALID_STATE;
  int nLine = __LINE__;
  if (mhHostLib != nullptr) {
    _VQX_LIB_PARAMS L;
    BuildHostLibParams(Params, &L);
    {
      CVQCAFMutexAutoGiveGet Unlocked(&mMutex);
      Result = VQXValidateLibParams(mhHostLib, &L);
    }
    if (!VQX_RESULT_FAILED(Result)) return VQX_RESULT_OK;
    pszText = "VQXValidateLibParams failed.", nLine = __LINE__;
  }
  LogTrace(VQERR, "%s", VqcafFormatFailureLine("CVQCAFComm::ValidateParam", pszText, Result, __FILE__, nLine).c_str());
  return Result;
}

/* ---------------------------------------------------------- queries */

VQX_RESULT CVQCAFComm::GetGwPort(u32* pun32Port) {
  CPinned p;
  return p ? p->GetGwPortPrivate(pun32Port) : VQX_RESULT_FAIL;
}
VQX_RESULT CVQCAFComm::GetGwPortPrivate(u32* pun32Port) {
  CVQCAFMutexAutoGetGive Guard(&mMutex);
  if (pun32Port == nullptr) return VQX_RESULT_NULL_PARAM;
  *pun32Port = 0;
  _VQX_LIB_PARAMS L{};
  const VQX_RESULT Result = VQXGetLibParams(mhHostLib, &L);
  if ((Result & kNotOk) == 0) *pun32Port = L.un16GwPort;
  return Result;
}

VQX_RESULT CVQCAFComm::LocalHostInfo(_VQX_HOST_INFO* pInfo) {
  CVQCAFMutexAutoGetGive Guard(&mMutex);
  return VQXGetRemoteHostInfo(mhHostLib, VQX_HOSTLIB_ADAPTER_HANDLE, pInfo);
}
VQX_RESULT CVQCAFComm::GetApplicationName(CVQCAFString& strName) {
  CPinned p;
  return p ? p->GetApplicationNameInstancePrivate(strName) : VQX_RESULT_FAIL;
}
VQX_RESULT CVQCAFComm::GetApplicationNameInstancePrivate(CVQCAFString& strName) {
  _VQX_HOST_INFO Info{};
  const VQX_RESULT Result = LocalHostInfo(&Info);
  if ((Result & kNotOk) == 0) strName = Info.szApplicationName;
  return Result;
}
VQX_RESULT CVQCAFComm::GetHostName(CVQCAFString& strName) {
  CPinned p;
  return p ? p->GetHostNameInstancePrivate(strName) : VQX_RESULT_FAIL;
}
VQX_RESULT CVQCAFComm::GetHostNameInstancePrivate(CVQCAFString& strName) {
  _VQX_HOST_INFO Info{};
  const VQX_RESULT Result = LocalHostInfo(&Info);
  if ((Result & kNotOk) == 0) strName = Info.szHostName;
  return Result;
}

/* -------------------------------------------------------- callbacks */

void VQCAFCommLogPrint(void* pvContext, VQX_LIB_HANDLE, const char* pszText) {
  static_cast<CVQCAFComm*>(pvContext)->LogTrace(VQLV4, "%s", pszText);
}

void VQCAFCommLogPrintError(void* pvContext, VQX_LIB_HANDLE, const char* pszText) {
  const std::string_view sv(pszText);
  _VQX_TRACE_LEVEL Level = VQERR;
  for (std::string_view s : kMessageTexts) {
    if (sv.find(s) != std::string_view::npos) Level = VQMSG;
  }
  static_cast<CVQCAFComm*>(pvContext)->LogTrace(Level, "%s", pszText);
}

void CVQCAFComm::VQCAFCommHostLibErrorHandler(void* pvContext, VQX_LIB_HANDLE, u32, _VQX_LIB_ERROR_INFO* pInfo,
                                              _VQX_LIB_ERROR_ACTION* pAction) {
  CVQCAFComm* p = static_cast<CVQCAFComm*>(pvContext);
  const int nCount = static_cast<int>(pInfo->un32MsgCount);
  u32 un32Action = 0;
  switch (pInfo->un32Cause) {
    case 1:
      p->LogTrace(VQERR, "WARNING: Host lib RX fifo FULL (%d messages), dropping adapter\n", nCount);
      un32Action = 2;
      break;
    case 2:
      p->LogTrace(VQERR, "WARNING: Host lib TX fifo FULL (%d messages, last write was %dms ago), blocking...\n", nCount,
                  static_cast<int>(pInfo->un32Value));
      un32Action = 16;
      break;
    case 3:
      un32Action = 16;
      break;
    case 4:
      if (pInfo->un32Value != 0) {
        p->LogTrace(VQERR, "WARNING: Host lib RX fifo high watermark passed (%d messages)\n", nCount);
      } else {
        p->LogTrace(VQERR, "WARNING cleared: Host lib RX fifo low watermark passed (%d messages)\n", nCount);
      }
      break;
    default:
      p->LogTrace(VQERR, "WARNING: VQX Error handler called with unknown cause %d\n", static_cast<int>(pInfo->un32Cause));
      break;
  }
  if (pAction != nullptr) pAction->un32Action = un32Action;
}

}  // namespace VQCAF
