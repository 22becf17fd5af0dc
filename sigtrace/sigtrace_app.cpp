/*
 * sigtrace_app.cpp - the application's life cycle: construction, Init (the
 * framework brought up in order), the configuration (load, reload, print),
 * the management callbacks of "-db" mode and the clean-up.
 *
 * Init, MainLoop and the destructor run on the main thread; ReloadConfig also
 * on the console thread (main page) and the services thread (configuration
 * manager). Everything runs under the application mutex (sigtrace_app.h),
 * which the clean-up gives back whenever it waits for another thread.
 */
#include "sigtrace_app.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "sigtrace_board_trace.h"
#include "sigtrace_page.h"
#include "sigtrace_provider_entity.h"
#include "sigtrace_reload_params.h"
#include "vqcafcomm.h"
#include "vqcafmsgsigtrace.h"
#include "vqcafparamsdaoxml.h"
#include "vqcafservicealmmgmt.h"
#include "vqcafservicecmmgmtclient.h"
#include "vqcafservicesigtraceserver.h"

namespace VQCAF {

namespace {

constexpr const char* kSource = "CVQSigTrace";
constexpr const char* kDefaultAppName = "quellan";
constexpr const char* kRootName = "quellan";
constexpr u32 kMaxApplications = 30u;      /* process management, client role */
constexpr u32 kOffSendWaitMs = 500u;       /* the clean-up lets the off requests leave */
constexpr u32 kProviderLookMs = 20u;       /* without boards, the close looks this often whether providers stopped */

std::atomic<volatile u32*> s_pfQuit{nullptr};

/* The messages the host library received and no filter took (RxMsgMatchNoQ); false when it cannot say. */
bool TakenByNoFilter(VQX_LIB_HANDLE hLib, u64& un64Count) {
  _VQX_LIB_STATS Stats{};
  if (VQX_RESULT_FAILED(VQXLibGetStats(hLib, &Stats))) return false;
  un64Count = Stats.RxMsgMatchNoQ;
  return true;
}

/* The close's sink frees what it takes as it comes, on the library's receive thread. */
void FreeSunk(void* /*pvContext*/, VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE /*hFilter*/, u32* pun32Count,
              VQX_MSG_HANDLE* pahMsg) {
  for (u32 i = 0; i < *pun32Count; i++)
    if (pahMsg[i] != nullptr) VQXReleaseMsgDbg(hLib, &pahMsg[i], __FILE__, __LINE__);
  *pun32Count = 0;
}

/* The close's sink: a filter of every message but the trace units (the boards' five families' and the providers'
 * data), freed as they come. While it stands, what no filter takes is a unit. */
VQX_RESULT OpenCloseSink(VQX_LIB_HANDLE hLib, VQX_FILTER_HANDLE* phSink) {
  std::vector<_VQX_FILTER_PARAMS> aSets;
  const auto Add = [&](u32 un32Mask, u32 un32Id) {
    _VQX_FILTER_PARAMS S{};
    S.un32Version = 1, S.un32Mask = un32Mask, S.MsgId = un32Id;
    aSets.push_back(S);
  };
  for (EVQTraceFamily e : {EVQTraceFamily::Ss7, EVQTraceFamily::Lapd, EVQTraceFamily::Isdn, EVQTraceFamily::Casr2,
                           EVQTraceFamily::Ip})
    Add(VQX_FILTER_MASK_NEGATIVE | VQX_FILTER_MASK_MSG_ID, VqTraceFamily(e).un32NotifId);
  Add(VQX_FILTER_MASK_NEGATIVE | VQX_FILTER_MASK_MSG_ID, VQCAF_MSG_SIGTRACE_DATA);
  Add(0, 0); /* every other message */
  VQX_RESULT r = VQXCreateMsgFilterDbg(hLib, static_cast<u32>(aSets.size()), aSets.data(), phSink, __FILE__, __LINE__);
  if (VQX_RESULT_FAILED(r)) return r;
  _VQX_FILTER_CALLBACK_PARAMS Callbacks{};
  Callbacks.pFctFilterMsgReceived = FreeSunk;
  Callbacks.un32FilterMaxMsgPerCallback = VQX_MAX_MSG_PER_RECEIVE_LOOP;
  r = VQXModifyMsgFilterDbg(hLib, *phSink, 0, nullptr, &Callbacks, __FILE__, __LINE__);
  if (VQX_RESULT_FAILED(r)) VQXDestroyMsgFilterDbg(hLib, phSink, __FILE__, __LINE__);
  return r;
}

}  // namespace

volatile u32* VqSigTraceQuitFlag() { return s_pfQuit.load(); }
void VqSigTraceSetRunning(volatile u32* pfQuit) { s_pfQuit.store(pfQuit); }

CVQSigTrace::CVQSigTrace(const CVQSigTraceCfgCmdLine& CmdLine)
    : CVQCAFLogTrace(VQCAF_SUBMODULE_VQLT),
      mCmdLine(CmdLine),
      mHostInfo(),
      mAdapters(CVQCAFDebugInfo(__FILE__, __LINE__), QUELLAN_MAX_ADAPTERS, 1, 1, 0),
      mGroups(CVQCAFDebugInfo(__FILE__, __LINE__), QUELLAN_MAX_GROUPS, 1, 1, 0),
      mProviders(CVQCAFDebugInfo(__FILE__, __LINE__), QUELLAN_MAX_PROVIDERS + VQ_SIGTRACE_MAX_WAITING_PROVIDERS, 1, 1, 0) {
  VqxCliToolsInitParamsDefault(&mCliParams);
  mGlobalsParams.mpLogParams = &mLogParams;
  mGlobalsParams.mpCommParams = &mCommParams;
  mGlobalsParams.mpCliParams = &mCliParams;
  mGlobalsParams.mpfQuit = &mfQuit;
  VqSigTraceSetRunning(&mfQuit);
  mun32SignalsAtStart = VqSigTraceQuitSignals();
  StdoutConsole();
  if (mCmdLine.mfStdout != 0) {
    CVQSigTraceSegment::SetStdoutWait(&StdoutWaitOf, this);
    /* The log file from the start: no line may reach the trace stream. */
    CVQCAFGlobalsParams LogOnly;
    LogOnly.mpLogParams = &mLogParams;
    if (VQX_RESULT_SUCCEEDED(GlobalSetParam(&LogOnly))) mfFrameworkUp = 1;
  }
}

CVQSigTrace::~CVQSigTrace() {
  if (VQX_RESULT_FAILED(Clear())) LogTrace(VQERR, "Clear Failed.");
  if (VqSigTraceQuitFlag() == &mfQuit) VqSigTraceSetRunning(nullptr);
  if (CVQSigTraceSegment::GetStdoutWaitContext() == this) CVQSigTraceSegment::SetStdoutWait(nullptr, nullptr);
}

EVQStdoutWait CVQSigTrace::StdoutWaitOf(void* pvApp) { return static_cast<const CVQSigTrace*>(pvApp)->StdoutWait(); }

EVQStdoutWait CVQSigTrace::StdoutWait() const {
  const u64 un64Now = VQXGetClock();
  if (mun64CloseStartMs == 0) {
    /* The run goes on: nothing is lost. Asked to end (the run time too, which only the main loop checks): the
     * main loop must get to the close, which writes what is held. */
    return mfQuit != 0 || (mun64StartMs != 0 && RunTimeOver(un64Now)) ? EVQStdoutWait::Leave : EVQStdoutWait::Wait;
  }
  /* The close's limits, as for its other waits. */
  if (CloseCutShort()) return EVQStdoutWait::Interrupted;
  if (un64Now - mun64CloseStartMs >= VQ_SIGTRACE_DRAIN_CAP_MS) return EVQStdoutWait::TimedOut;
  return EVQStdoutWait::Wait;
}

void CVQSigTrace::StdoutConsole() {
  /* "-stdout": the trace stream alone on standard output; the console keeps
   * its pages (the adapters' too) but never draws nor reads a terminal. */
  if (mCmdLine.mfStdout != 0) mCliParams.fOffScreen = 1;
}

u32 CVQSigTrace::Failure(const char* pszOperation, const char* pszText, u32 un32Result, int nLine,
                         _VQX_TRACE_LEVEL Level) {
  LogTrace(Level, "%s", VqcafFormatFailureLine(pszOperation, pszText, un32Result, kSource, nLine).c_str());
  return un32Result;
}

/* ------------------------------------------------------------ Init */

u32 CVQSigTrace::Init() {
  static constexpr const char* kOp = "CVQSigTrace::Init";
  u32 r = VQX_RESULT_OK;
  {
    CVQCAFMutexAutoGetGive Lock(&mAppMutex);
    try {
      mstrAppName = mCmdLine.mAppName.IsEmpty() ? CVQCAFString(kDefaultAppName) : mCmdLine.mAppName;
      mCommParams.mApplicationName = mstrAppName;
      /* Lines of the read printed before the log was up ("-stdout" brings it up earlier). */
      const bool fLogBeforeRead = IsLogInitialized() != 0;
      if (mCmdLine.mun32DbMode == 0) {
        r = LoadFromXml(GetConfigFilePath());
        if (VQX_RESULT_FAILED(r) && mfStartStopped == 0) r = Failure(kOp, "LoadFromXml failed", r, __LINE__, VQLV1);
      }
      if (r == VQX_RESULT_OK) {
        CommandLineGateway(mCommParams);
        if (mCmdLine.mfStdout != 0 && mfFrameworkUp != 0) {
          /* The log brought up by the constructor restarts under the configured name. */
          CVQCAFGlobalsParams Empty;
          GlobalSetParam(&Empty);
        }
        r = GlobalSetParam(&mGlobalsParams);
        mfFrameworkUp = 1;
        if (VQX_RESULT_FAILED(r)) r = Failure(kOp, "GlobalSetParam failed", r, __LINE__, VQLV1);
      }
      if (r == VQX_RESULT_OK && !fLogBeforeRead && mptrSigTraceParamsDaoXml.Get() != nullptr)
        for (const std::string& strLine : mptrSigTraceParamsDaoXml->GivenUp()) LogTrace(VQERR, "%s", strLine.c_str());
      if (r == VQX_RESULT_OK) {
        mhHostLib = CVQCAFComm::GetHostLibInstance();
        if (mhHostLib == nullptr) r = Failure(kOp, "CVQCAFComm must be initialized first", VQX_RESULT_INVALID_STATE, __LINE__);
      }
      if (r == VQX_RESULT_OK) {
        _VQX_LIB_INFO Info{};
        Info.un32StructVersion = 1;
        VQXGetLibInfo(mhHostLib, &Info);
        mHostInfo.un32StructVersion = 1;
        mHostInfo.hAdapter = VQX_HOSTLIB_ADAPTER_HANDLE;
        memcpy(mHostInfo.szHostName, Info.szHostName, sizeof(mHostInfo.szHostName));
        mHostInfo.szHostName[sizeof(mHostInfo.szHostName) - 1] = '\0';
        snprintf(mHostInfo.szApplicationName, sizeof(mHostInfo.szApplicationName), "%s", mstrAppName.c_str());
        mHostInfo.un64UniqueHostId = Info.un64UniqueHostId;
        mun32GwPort = Info.LibParams.un16GwPort;
        r = CreateFilter();
      }
      if (r == VQX_RESULT_OK) {
        mpPage = new CVQSigTracePage(this);
        mptrPage = CVQCAFPtr<IVQCAFCliPage>(mpPage);
        CVQCAFCli* pCli = GetCli();
        /* Without a console the page stays unlisted. */
        if (pCli != nullptr) {
          const VQX_RESULT rPage = pCli->AddPage(mptrPage);
          if (VQX_RESULT_FAILED(rPage)) r = Failure(kOp, "Failed to add CLI page.", rPage, __LINE__);
        }
      }
      if (r == VQX_RESULT_OK && mCmdLine.mun32DbMode != 0) {
        mfMgmtClients = 1;
        r = CVQCAFServiceAlmMgmt::Init(0, kMaxApplications, nullptr, nullptr);
        if (VQX_RESULT_SUCCEEDED(r)) CVQCAFServiceAlmMgmt::GetInstance()->Register(static_cast<IVQCAFServiceAlmMgmtClient*>(this));
        else r = Failure(kOp, "CVQCAFServiceAlmMgmt::Init failed", r, __LINE__);
        if (VQX_RESULT_SUCCEEDED(r)) {
          r = CVQCAFServiceCmMgmtClient::Init();
          if (VQX_RESULT_SUCCEEDED(r)) CVQCAFServiceCmMgmtClient::GetInstance()->Register(this);
          else r = Failure(kOp, "CVQCAFServiceCmMgmtClient::Init failed", r, __LINE__);
        }
        if (VQX_RESULT_SUCCEEDED(r)) r = VQX_RESULT_OK;
      }
      /* Also with H.248 tracing off: a provider that registers is then told so in the log (OnRegister). */
      if (r == VQX_RESULT_OK) {
        mpSigTraceServer = new CVQCAFServiceSigTraceServer(this);
        r = mpSigTraceServer->Start();
        if (VQX_RESULT_FAILED(r)) r = Failure(kOp, "Failed to start the sig-trace server service", r, __LINE__);
        else r = VQX_RESULT_OK;
      }
      if (r == VQX_RESULT_OK) {
        if (mCmdLine.mun32DbMode != 0)
          LogTrace(VQMSG, "-db mode: the configuration file '%s' is not read; the configuration manager's reload names "
                          "the file to read", mCmdLine.mCfgFile.c_str());
        PrintCfg();
        r = InitalizeApplication();
      }
    } catch (...) {
      VQCAF_FAILURE F = VQCAF_CURRENT_FAILURE(kOp);
      LogTrace(VQERR, "%s", F.strLine.c_str());
      r = F.un32Result;
    }
    if (r == VQX_RESULT_OK) mfInitDone = 1;
  }
  if (r != VQX_RESULT_OK) Clear();
  return r;
}

u32 CVQSigTrace::InitalizeApplication() {
  CVQCAFMutexAutoGetGive Lock(&mAppMutex);
  mun64StartMs = VQXGetClock();
  if (mpPage != nullptr) mpPage->Attach();
  return VQX_RESULT_OK;
}

u32 CVQSigTrace::IsApplicationReady() {
  CVQCAFMutexAutoGetGive Lock(&mAppMutex);
  return 1;
}

/* ------------------------------------------------------------ configuration */

CVQCAFString& CVQSigTrace::GetConfigFilePath() {
  return mCmdLine.mun32DbMode != 0 ? mCmdLine.mCfgPath : mCmdLine.mCfgFile;
}

void CVQSigTrace::CommandLineGateway(CVQCAFCommParams& Comm) {
  /* The command line's gateway options win over the file's. */
  if (mCmdLine.mun32GwPort != 0) Comm.mun16GwPort = static_cast<u16>(mCmdLine.mun32GwPort);
  if (!mCmdLine.mGwAddr0.IsEmpty()) snprintf(Comm.mszGwAddress0, sizeof(Comm.mszGwAddress0), "%s", mCmdLine.mGwAddr0.c_str());
  if (!mCmdLine.mGwAddr1.IsEmpty()) snprintf(Comm.mszGwAddress1, sizeof(Comm.mszGwAddress1), "%s", mCmdLine.mGwAddr1.c_str());
}

/* What a configuration file gave: everything is read into these copies
 * first, so that a file that fails leaves the configuration in use as it was. */
struct SVQConfigFile {
  bool fNone = false;    /* the file does not exist */
  bool fStopped = false; /* the read was given up: the run was asked to end */
  CVQCAFPtr<IVQCAFCfgFile> ptrStore;
  CVQCAFPtr<CVQSigTraceParamsDaoXml> ptrDao;
  CVQSigTraceParams Params;
  CVQCAFLogParams Log;
  CVQCAFCommParams Comm;
  _VQX_CLI_TOOLS_INIT_PARAMS Cli;
};

u32 CVQSigTrace::LoadFromXml(CVQCAFString strFileName) {
  SVQConfigFile File;
  const u32 r = ReadConfigFile(strFileName, File);
  /* Only a start goes on without a file; a reload refuses it (ReloadConfig). */
  if (VQX_RESULT_SUCCEEDED(r) && File.fNone)
    LogTrace(VQMSG, "No configuration file '%s': the command line alone applies", strFileName.c_str());
  if (File.fStopped && mfInitDone == 0) {
    /* The user's stop (a signal) before the start was done: nothing is wrong with the file. */
    mfStartStopped = 1;
    LogTrace(VQMSG, "Stopped by a signal while reading the configuration file '%s': the server ends without starting",
             strFileName.c_str());
  }
  if (VQX_RESULT_FAILED(r) || File.fNone) return r;
  CVQCAFMutexAutoGetGive Lock(&mAppMutex);
  return ApplyConfigFile(File, nullptr);
}

u32 CVQSigTrace::ReadConfigFile(const CVQCAFString& strFileName, SVQConfigFile& File) {
  static constexpr const char* kOp = "CVQSigTrace::LoadFromXml";
  try {
    /* Only a file that does not exist is no configuration: one that cannot
     * be read is refused by the store with the system's reason. */
    struct stat St {};
    if (strFileName.IsEmpty() || (stat(strFileName.c_str(), &St) != 0 && (errno == ENOENT || errno == ENOTDIR))) {
      File.fNone = true;
      return VQX_RESULT_OK;
    }
    bool fFirst;
    {
      CVQCAFMutexAutoGetGive Lock(&mAppMutex);
      fFirst = mptrSigTraceParamsDaoXml.Get() == nullptr;
    }
    /* A run asked to end gives a long read up: the close does not wait for it. */
    const u32 un32Signals = mun32SignalsAtStart;
    const auto GiveUp = [this, un32Signals] { return mfEnding.load() || VqSigTraceQuitSignals() != un32Signals; };
    /* Each step's own line names what stopped it (the file and line refused, the read given up): these only trace
     * where the read stopped, and a read given up because the run is ending is no failure of the file. */
    const auto Stopped = [&](const char* pszText, u32 r, int nLine) {
      File.fStopped = GiveUp();
      return File.fStopped ? r : Failure(kOp, pszText, r, nLine, VQLV1);
    };
    CVQCAFCfgFileXml* pStore = new CVQCAFCfgFileXml(strFileName.c_str());
    pStore->SetGiveUp(GiveUp);
    File.ptrStore = CVQCAFPtr<IVQCAFCfgFile>(pStore);
    VQX_RESULT r = File.ptrStore->Open();
    if (VQX_RESULT_FAILED(r)) return Stopped("Cannot open the configuration file", r, __LINE__);
    /* From the defaults, not over what an earlier file set: an attribute taken
     * out of the file is back to its default, and a list is the file's alone. */
    File.Comm.mApplicationName = mstrAppName;
    VqxCliToolsInitParamsDefault(&File.Cli);
    r = CVQCAFParamsDaoXml::ReadCommonParams(*File.ptrStore, File.Log, File.Comm, File.Cli);
    if (VQX_RESULT_FAILED(r)) return Stopped("Failed to read the common parameters", r, __LINE__);
    CommandLineGateway(File.Comm);
    File.ptrDao = CVQCAFPtr<CVQSigTraceParamsDaoXml>(new CVQSigTraceParamsDaoXml(File.ptrStore, kRootName));
    File.ptrDao->SetGiveUp(GiveUp);
    r = fFirst ? File.ptrDao->Init() : File.ptrDao->Reload();
    if (VQX_RESULT_FAILED(r)) {
      return Stopped(fFirst ? "mptrSigTraceParamsDaoXml->Init failed" : "mptrSigTraceParamsDaoXml->Reload failed", r,
                     __LINE__);
    }
    r = File.ptrDao->GetParams(File.Params);
    if (VQX_RESULT_FAILED(r)) return Stopped("mptrSigTraceParamsDaoXml->GetParams(mSigTraceParams) failed", r, __LINE__);
    return VQX_RESULT_OK;
  } catch (...) {
    VQCAF_FAILURE F = VQCAF_CURRENT_FAILURE(kOp);
    LogTrace(VQERR, "%s", F.strLine.c_str());
    return F.un32Result;
  }
}

u32 CVQSigTrace::ApplyConfigFile(SVQConfigFile& File, std::string* pstrNote) {
  CVQCAFMutexAutoGetGive Lock(&mAppMutex);
  if (mfInitDone != 0 && mfFrameworkUp != 0) {
    const u32 r = ApplyWhileRunning(File.Log, File.Comm, File.Cli, pstrNote);
    if (VQX_RESULT_FAILED(r)) return r;
  }
  mptrConfigFile = File.ptrStore;
  mptrSigTraceParamsDaoXml = File.ptrDao;
  mSigTraceParams = std::move(File.Params);
  mLogParams = File.Log;
  mCommParams = File.Comm;
  mCliParams = File.Cli;
  StdoutConsole();
  return VQX_RESULT_OK;
}

u32 CVQSigTrace::ApplyWhileRunning(CVQCAFLogParams& Log, CVQCAFCommParams& Comm, _VQX_CLI_TOOLS_INIT_PARAMS& Cli,
                                   std::string* pstrNote) {
  std::string strApplied, strStartOnly;
  VqSigTraceSplitReloadedParams({&mLogParams, &mCommParams, &mCliParams}, {&Log, &Comm, &Cli}, strApplied, strStartOnly);
  if (memcmp(&Comm.mNetworkRedundancyParams, &mCommParams.mNetworkRedundancyParams,
             sizeof(Comm.mNetworkRedundancyParams)) != 0) {
    /* Every other value is the running one: only the delays change. */
    const VQX_RESULT r = CVQCAFComm::SetParam(Comm);
    if (VQX_RESULT_FAILED(r))
      return Failure("CVQSigTrace::ReloadConfig", "The host library refused the new redundancy delays", r, __LINE__);
  }
  for (u32 i = 0; i < VQCAF_SUBMODULE_COUNT; i++)
    SetSubModTraceLevel(static_cast<_VQCAF_SUBMODULE_TYPE>(i), Log.maun32SubModTraceLevel[i]);
  if (pstrNote != nullptr) {
    if (!strApplied.empty()) *pstrNote += "; applied: " + strApplied;
    if (!strStartOnly.empty()) *pstrNote += "; read at start only, not applied: " + strStartOnly;
  }
  return VQX_RESULT_OK;
}

u32 CVQSigTrace::ReloadConfig(unsigned int un32Param) {
  CVQCAFString strPath;
  {
    CVQCAFMutexAutoGetGive Lock(&mAppMutex);
    strPath = GetConfigFilePath();
  }
  return ReloadConfig(un32Param, strPath);
}

namespace {

/* A reload's turn in the order asked: taken when made, waited for, and handed to the next one when it goes. */
class CReloadTurn {
 public:
  explicit CReloadTurn(SVQReloadOrder& Order) : mOrder(Order) {
    std::lock_guard<std::mutex> Lock(mOrder.Mutex);
    mun64Turn = mOrder.un64Asked++;
  }
  ~CReloadTurn() {
    {
      std::lock_guard<std::mutex> Lock(mOrder.Mutex);
      mOrder.un64Ended++;
    }
    mOrder.Ended.notify_all();
  }
  CReloadTurn(const CReloadTurn&) = delete;
  CReloadTurn& operator=(const CReloadTurn&) = delete;
  /* Whether an earlier one still runs. */
  bool MustWait() {
    std::lock_guard<std::mutex> Lock(mOrder.Mutex);
    return mOrder.un64Ended != mun64Turn;
  }
  void Wait() {
    std::unique_lock<std::mutex> Lock(mOrder.Mutex);
    mOrder.Ended.wait(Lock, [this] { return mOrder.un64Ended == mun64Turn; });
  }

 private:
  SVQReloadOrder& mOrder;
  u64 mun64Turn = 0;
};

}  // namespace

u32 CVQSigTrace::ReloadConfig(unsigned int /*un32Param*/, const CVQCAFString& strPath) {
  static constexpr const char* kOp = "CVQSigTrace::ReloadConfig";
  /* In the order asked: one asked later and read sooner would be applied first, and then overwritten. */
  CReloadTurn Turn(mReloadOrder);
  if (Turn.MustWait()) {
    LogTrace(VQMSG, "Reload of '%s' waits for the one asked before it", strPath.c_str());
    Turn.Wait();
  }
  /* Read while the main loop and the close go on: only the change waits for them. */
  SVQConfigFile File;
  u32 r = ReadConfigFile(strPath, File);
  if (VQX_RESULT_SUCCEEDED(r) && File.fNone) {
    /* A reload names the file to read: without it there is nothing to apply. */
    CVQCAFString strText;
    strText.Format("Configuration file '%s' not found", strPath.c_str());
    r = Failure(kOp, strText.c_str(), VQX_RESULT_NOT_FOUND, __LINE__);
  }
  CVQCAFMutexAutoGetGive Lock(&mAppMutex);
  if (VQX_RESULT_SUCCEEDED(r) && mfCleared != 0) r = Failure(kOp, "The server is closing", VQX_RESULT_INVALID_STATE, __LINE__);
  std::string strNote;
  if (VQX_RESULT_SUCCEEDED(r)) r = ApplyConfigFile(File, &strNote);
  if (VQX_RESULT_FAILED(r)) return Failure(kOp, "ReloadConfig failed.", r, __LINE__);
  GetConfigFilePath() = strPath;
  const std::string strKept = GroupsKept(mSigTraceParams);
  if (!strKept.empty()) {
    static constexpr const char* kStartOnly = "; read at start only, not applied: ";
    strNote += strNote.find(kStartOnly) == std::string::npos ? kStartOnly + strKept : ", " + strKept;
  }
  LogTrace(VQMSG, "Config successfully reloaded%s\n", strNote.c_str());
  PrintCfg();
  /* Each board's traces follow the file once its discovery completes (HandleNotifAdapterReady): those present
   * now, and those away, which may come back with their traces still on. Until then the records of a board's
   * earlier stay that the file removed or moved take none of its units (HoldBackAfterReload, now for the boards
   * present, at their return for the others). */
  mGroups.ResetNext();
  for (CVQSigTraceGrp* g = mGroups.Next(); g != nullptr; g = mGroups.Next())
    for (const CVQSigTraceEntityParams& E : g->mvEntities)
      if (E.mun32Type != VQ_SIGTRACE_TYPE_H248 && E.mfGone != VQ_SIGTRACE_GONE_OFF)
        mReloadedBoards.insert(E.mstrAdapterName.c_str());
  mGroups.ResetNext();
  std::vector<CVQCAFString> vPresent;
  mAdapters.ResetNext();
  for (CVQSigTraceAdapter* p = mAdapters.Next(); p != nullptr; p = mAdapters.Next()) {
    vPresent.emplace_back(AdapterName(*p));
    mReloadedBoards.insert(AdapterName(*p));
    p->Synchronize();
  }
  mAdapters.ResetNext();
  for (const CVQCAFString& strAdapter : vPresent) HoldBackAfterReload(strAdapter);
  return VQX_RESULT_OK;
}

std::string CVQSigTrace::GroupsKept(const CVQSigTraceParams& Params) {
  std::string strKept;
  std::set<std::string> Seen;
  for (const CVQSigTraceEntityParams& E : Params) {
    /* A group is made as its first record says; a record named by the board takes its type there. */
    if (E.mun32Type == VQ_SIGTRACE_TYPE_H248 || !Seen.insert(E.mstrGroupName.c_str()).second) continue;
    const CVQSigTraceGrp* pGroup = mGroups.Find(CVQCAFHashKeyString(E.mstrGroupName));
    if (pGroup == nullptr) continue;
    const u32 fPcap = E.mun32Type == VQ_SIGTRACE_TYPE_CASR2 ? 0u : (E.mfCapFile != 0 ? 1u : 0u);
    if (E.mun32Type != VQ_SIGTRACE_TYPE_BY_NAME && pGroup->mun32Type != E.mun32Type)
      strKept += std::string(strKept.empty() ? "" : ", ") + "protocol of group " + E.mstrGroupName.c_str();
    else if ((pGroup->mfPcap != 0 ? 1u : 0u) != fPcap)
      strKept += std::string(strKept.empty() ? "" : ", ") + "capfile of group " + E.mstrGroupName.c_str();
  }
  return strKept;
}

u32 CVQSigTrace::PrintCfg() {
  CVQCAFMutexAutoGetGive Lock(&mAppMutex);
  LogTrace(VQMSG, "Configuration: %u entities, SS7=%u ISDN=%u CASR2=%u SIP=%u H248=%u TXT2PCAP=%u EXTENDED=%u "
                  "REGROUP=%u STDOUT=%u RUNTIME=%u adapter=%s",
           static_cast<u32>(mSigTraceParams.Count()), mCmdLine.mfSs7, mCmdLine.mfIsdn, mCmdLine.mfCasr2,
           mCmdLine.mfIp, mCmdLine.mfH248, mCmdLine.mfCapFormat, mCmdLine.mfCasr2Extended, mCmdLine.mfRegroup,
           mCmdLine.mfStdout, mCmdLine.mun32ExecTimeMs, mCmdLine.mAdapterName.c_str());
  u32 i = 0;
  for (const CVQSigTraceEntityParams& E : mSigTraceParams) {
    LogTrace(VQMSG, "  [%u] %-5s adapter=%s group=%s name=%s cap=%u ext=%u trunk=%u ts=0x%08X mask=0x%02X "
                    "eth=%s ip=%s port=%u transport=%u",
             i++, VqSigTraceEntityTypeName(E.mun32Type), E.mstrAdapterName.c_str(), E.mstrGroupName.c_str(),
             E.mstrName.c_str(), E.mfCapFile, E.mfExtended, E.mun32Trunk, E.mun32TimeslotMask, E.mun8BitMask,
             E.mstrEthPort.c_str(), E.mstrIpMask.c_str(), E.mun32Port, E.mun32Transport);
  }
  return VQX_RESULT_OK;
}

/* ------------------------------------------------------------ management ("-db") */

void CVQSigTrace::OnMgmtReady() { LogTrace(VQMSG, "OnMgmtReady"); }

void CVQSigTrace::OnMgmtShutdown(u32 fGraceful) {
  CVQCAFMutexAutoGetGive Lock(&mAppMutex);
  LogTrace(VQMSG, "OnMgmtShutdown: %s shutdown requested, quitting application!", fGraceful ? "graceful" : "immediate");
  RequestQuit();
}

u32 CVQSigTrace::OnMgmtHeartBeat() { return GlobalPoll(); }

u32 CVQSigTrace::OnValidateConfig(u32 /*un32Param1*/, u32 /*un32Param2*/, CVQCAFString /*strText*/) {
  return VQX_RESULT_OK;
}

u32 CVQSigTrace::OnReloadConfig(u32 un32Param, CVQCAFString strText1, CVQCAFString /*strText2*/) {
  /* The manager names the configuration file: the application's path from
   * now on ("-db" mode has no other) once it is read and applied. */
  return ReloadConfig(un32Param, strText1);
}

u32 CVQSigTrace::OnDbMaintenance() { return VQX_RESULT_OK; }

/* ------------------------------------------------------------ clean-up */

u32 CVQSigTrace::Clear() {
  mfEnding = true;
  {
    CVQCAFMutexAutoGetGive Lock(&mAppMutex);
    if (mfCleared != 0) return VQX_RESULT_OK;
    mfCleared = 1;
  }
  try {
    Teardown();
  } catch (...) {
    VQCAF_FAILURE F = VQCAF_CURRENT_FAILURE("CVQSigTrace::Clear");
    LogTrace(VQERR, "%s", F.strLine.c_str());
    return F.un32Result;
  }
  return VQX_RESULT_OK;
}

void CVQSigTrace::Teardown() {
  CVQCAFMutexAutoGetGive Lock(&mAppMutex);
  mun32SignalsAtClose = VqSigTraceQuitSignals();
  mun64CloseStartMs = std::max<u64>(VQXGetClock(), 1);
  const CVQCAFDebugInfo Here(__FILE__, __LINE__);
  /* 0. No wait for room in a peer's queue holds the close (a board that reads but does not answer), and the
   * boards' discoveries end: nothing more is asked of a board. */
  if (mhHostLib != nullptr) VQXEndSendWaits(mhHostLib);
  NoteUnlinkedPeers(true);
  mAdapters.ResetNext();
  for (CVQSigTraceAdapter* p = mAdapters.Next(); p != nullptr; p = mAdapters.Next()) p->EndDiscovery();
  mAdapters.ResetNext();
  /* 1. Traces off at the boards, while the adapters are still known, and
   * capture off to every provider; then what was taken in before they
   * stopped is written (or counted lost past the write time). */
  u32 un32OffSent = 0;
  mGroups.ResetNext();
  for (CVQSigTraceGrp* pGroup = mGroups.Next(); pGroup != nullptr; pGroup = mGroups.Next())
    for (CVQSigTraceEntityParams& E : pGroup->mvEntities) {
      u32 fSent = 0;
      SetEntityTrace(E, false, &fSent);
      un32OffSent += fSent;
    }
  /* 2. Capture off to every provider, for each of its groups. */
  std::vector<std::pair<CVQSigTraceProviderEntity*, CVQCAFString>> aOff;
  mProviders.ResetNext();
  for (CVQSigTraceProviderEntity* p = mProviders.Next(); p != nullptr; p = mProviders.Next())
    if (p->mfWaiting == 0) aOff.emplace_back(p, p->GetKey());
  mProviders.ResetNext();
  for (const auto& [p, strKey] : aOff)
    for (CVQSigTraceGrp* pGroup : ProviderGroups(strKey)) p->SendCaptureRequest(0, pGroup->mstrName.c_str());
  if (mhHostLib != nullptr) VQXWaitSentMsg(mhHostLib, kOffSendWaitMs);
  DrainTraceUnits(un32OffSent);
  /* 3. Adapters: each stops its thread and removes its page (neither takes this mutex); what its discovery left
   * out is kept for the summary. */
  mAdapters.ResetNext();
  for (CVQSigTraceAdapter* p = mAdapters.Next(); p != nullptr; p = mAdapters.Next()) {
    p->Clear();
    KeepBoardLeftOut(*p, false);
  }
  mAdapters.ResetNext();
  mAdapters.Clear(Here);
  mUnitIndex.Invalidate();
  /* 4. Management clients, whose managers are remote hosts too. */
  if (mfMgmtClients != 0) {
    mfMgmtClients = 0;
    CVQCAFMutexAutoGiveGet Unlock(&mAppMutex);
    CVQCAFServiceCmMgmtClient::Uninit();
    CVQCAFServiceAlmMgmt::Uninit();
  }
  /* 5. The providers: their links closed, what they delivered counted, the sig-trace service stopped. */
  CloseProviders();
  /* 6. Groups: text files end with their trailer; one summary line each. */
  LogProviderRefusalsDue(true);
  LogUntracedUnitsDue(true);
  if (LogGroupSummaries() && !VQX_RESULT_FAILED(mun32RunResult)) {
    LogTrace(VQERR, "A group wrote none of its units: the run failed");
    mun32RunResult = VQX_RESULT_FAIL;
  }
  mGroups.Clear(Here);
  mUnitIndex.Invalidate();
  /* 7. Providers. */
  mProviders.Clear(Here);
  /* 8. The main page: the console may be inside it, waiting for this mutex. */
  if (mptrPage.Get() != nullptr) {
    CVQCAFPtr<IVQCAFCliPage> Page = mptrPage;
    mptrPage = CVQCAFPtr<IVQCAFCliPage>();
    mpPage = nullptr;
    if (CVQCAFCli* pCli = GetCli()) pCli->RemovePage(Page, &mAppMutex);
  }
  /* 9. The host library: the boards' links closed first, what their TCP had
   * acknowledged read as they close, so that every unit a board saw delivered
   * is counted and nothing more is read once the units dropped after the
   * groups stopped taking them are counted. */
  if (mhHostLib != nullptr) VQXCloseAdaptersGw(mhHostLib);
  if (mhFilter != nullptr) {
    DropQueued();
    VQXDestroyMsgFilterEx(mhHostLib, &mhFilter);
  }
  mhFilter = nullptr;
  if (mhHostLib != nullptr) CVQCAFComm::ReleaseHostLibInstance();
  mhHostLib = nullptr;
  /* 10. The framework: console, detector, communication. A log that runs
   * stays up for main's last lines (the exit code), down at GlobalUninit. */
  if (mfFrameworkUp != 0) {
    mfFrameworkUp = 0;
    CVQCAFGlobalsParams Rest;
    if (IsLogInitialized() != 0) Rest.mpLogParams = &mLogParams;
    CVQCAFMutexAutoGiveGet Unlock(&mAppMutex);
    GlobalSetParam(&Rest);
  }
}

void CVQSigTrace::CloseProviders() {
  if (mpSigTraceServer == nullptr) return;
  /* Every message a provider's TCP had acknowledged is read (the links shut down first: what comes later is
   * refused), and its delivery to the provider ends with the link's disconnection: once every provider has gone,
   * nothing of theirs is on its way. Groups past the close's write time count what still comes as lost. */
  const bool fLinksClosed = mhHostLib != nullptr;
  if (fLinksClosed) {
    CVQCAFMutexAutoGiveGet Unlock(&mAppMutex);
    VQXWaitSentMsg(mhHostLib, kOffSendWaitMs); /* the management clients' last words leave first */
    VQXCloseHostsGw(mhHostLib);
  }
  /* What is left is on its way inside this process: a signal that cut the close short does not end this wait, a
   * further one does. */
  const u64 un64Start = VQXGetClock();
  const u32 un32Signals = VqSigTraceQuitSignals();
  while (fLinksClosed && mProviders.GetCount() != 0 && VqSigTraceQuitSignals() == un32Signals &&
         VQXGetClock() - un64Start < VQ_SIGTRACE_DRAIN_CAP_MS) {
    CVQCAFMutexAutoGiveGet Unlock(&mAppMutex);
    std::this_thread::sleep_for(std::chrono::milliseconds(kProviderLookMs));
  }
  if (fLinksClosed && mProviders.GetCount() != 0)
    LogTrace(VQERR, "Close: %u provider(s) still delivering after %u ms: what the services library holds for them is "
                    "dropped", mProviders.GetCount(), static_cast<u32>(VQXGetClock() - un64Start));
  /* The hosts' path-down events, with what their links' closing cut, wait in the main loop's filter. */
  u32 un32Answers = 0;
  if (mhHostLib != nullptr && mhFilter != nullptr) {
    VQX_RESULT r;
    do {
      r = TakeClosingBatch(0, un32Answers);
    } while (VQX_RESULT_SUCCEEDED(r) || r == VQX_RESULT_API_FILTER_AWAKENED);
  }
  /* The sig-trace service: its instances' callbacks take the application mutex. */
  CVQCAFServiceSigTraceServer* pServer = mpSigTraceServer;
  mpSigTraceServer = nullptr;
  CVQCAFMutexAutoGiveGet Unlock(&mAppMutex);
  pServer->Stop();
  delete pServer;
}

void CVQSigTrace::DiscardGroups() {
  mGroups.ResetNext();
  for (CVQSigTraceGrp* pGroup = mGroups.Next(); pGroup != nullptr; pGroup = mGroups.Next()) pGroup->mfDiscard = 1;
  mGroups.ResetNext();
}

bool CVQSigTrace::RunTimeOver(u64 un64Now) const {
  return mCmdLine.mun32ExecTimeMs != 0xFFFFFFFFu && un64Now - mun64StartMs >= mCmdLine.mun32ExecTimeMs;
}

bool CVQSigTrace::CloseCutShort() const {
  const u32 un32Before = mun32SignalsAtClose - mun32SignalsAtStart;
  const u32 un32Now = VqSigTraceQuitSignals() - mun32SignalsAtStart;
  /* Two signals close to each other may both be in before the close begins. */
  return un32Now > un32Before || un32Now >= 2;
}

void CVQSigTrace::DrainTraceUnits(u32 un32Answers) {
  const bool fBoards = mhHostLib != nullptr && mhFilter != nullptr;
  const u64 un64Start = VQXGetClock();
  u64 un64LastMsg = un64Start;
  bool fDiscarding = false, fProvidersWaited = false;
  for (;;) {
    const u64 un64Now = VQXGetClock();
    const bool fProviders = ProvidersSending(un64Now);
    fProvidersWaited = fProvidersWaited || fProviders;
    if (CloseCutShort()) {
      LogTrace(VQMSG, "Close: cut short by a signal, the units still owed are counted as lost");
      break;
    }
    /* A board that keeps sending without answering cannot hold the close
     * for ever, nor one that went silent. */
    if (un64Now - un64Start >= VQ_SIGTRACE_DRAIN_CAP_MS) {
      LogTrace(VQMSG, "Close: still taking units after %u ms (%u answer(s) missing), the units still owed are counted as lost",
               VQ_SIGTRACE_DRAIN_CAP_MS, un32Answers);
      break;
    }
    if (un32Answers != 0 && un64Now - un64LastMsg >= VQ_SIGTRACE_DRAIN_MS) {
      LogTrace(VQMSG, "Close: nothing received for %u ms (%u answer(s) missing)", VQ_SIGTRACE_DRAIN_MS, un32Answers);
      if (!fProviders) break;
      un32Answers = 0; /* the boards are given up; the providers' data is still let in */
    }
    if (!fDiscarding && un64Now - un64Start >= VQ_SIGTRACE_DRAIN_MS) {
      /* Past the write time the units are only counted, in their groups'
       * lost: cheaper than writing, so the close follows the boards. */
      LogTrace(VQMSG, "Close: units still arriving after %u ms are counted as lost", VQ_SIGTRACE_DRAIN_MS);
      DiscardGroups();
      fDiscarding = true;
    }
    if (!fBoards) {
      /* The providers' data alone: it comes in on the services thread. */
      if (!fProviders) break;
      CVQCAFMutexAutoGiveGet Unlock(&mAppMutex);
      std::this_thread::sleep_for(std::chrono::milliseconds(kProviderLookMs));
      continue;
    }
    const u32 un32Missing = un32Answers;
    const VQX_RESULT r =
        TakeClosingBatch(un32Answers != 0 || fProviders ? VQ_SIGTRACE_RECEIVE_WAIT_MS : 0, un32Answers);
    if (un32Missing != 0 && un32Answers == 0)
      LogTrace(VQMSG, "Close: every traces-off answered after %u ms", static_cast<u32>(VQXGetClock() - un64Start));
    if (r == VQX_RESULT_API_FILTER_AWAKENED) continue; /* a late wake-up of the main loop */
    if (VQX_RESULT_FAILED(r)) {
      if (r == VQX_RESULT_API_TIMEOUT && (un32Answers != 0 || fProviders)) continue;
      break; /* everything answered and taken, or the filter is gone */
    }
    un64LastMsg = VQXGetClock();
  }
  if (fProvidersWaited && !ProvidersSending(VQXGetClock()))
    LogTrace(VQMSG, "Close: no provider data for %u ms", VQ_SIGTRACE_DRAIN_MS);
  if (fBoards) StopTakingUnits();
}

VQX_RESULT CVQSigTrace::TakeClosingBatch(u32 un32WaitMs, u32& un32Answers) {
  VQX_MSG_HANDLE ahMsg[VQX_MAX_MSG_PER_RECEIVE_LOOP];
  u32 un32Count = VQX_MAX_MSG_PER_RECEIVE_LOOP;
  VQX_RESULT r;
  {
    CVQCAFMutexAutoGiveGet Unlock(&mAppMutex);
    r = VQXReceiveMsgMultipleDbg(mhHostLib, mhFilter, un32WaitMs, &un32Count, ahMsg, __FILE__, __LINE__);
  }
  if (VQX_RESULT_FAILED(r)) return r;
  const u32 un32Taken = std::min(un32Count, VQX_MAX_MSG_PER_RECEIVE_LOOP);
  for (u32 i = 0; i < un32Taken; i++) {
    if (ahMsg[i] == nullptr) continue;
    const u32 un32Id = ahMsg[i]->un32MsgId;
    if (VqTraceFamilyOfNotif(un32Id) != nullptr) {
      HandleTraceUnit(reinterpret_cast<unsigned int*>(ahMsg[i]));
    } else if (VqTraceFamilyOfRequest(un32Id) != nullptr) {
      HandleTraceAnswer(reinterpret_cast<unsigned int*>(ahMsg[i]));
      if (un32Answers != 0) un32Answers--;
    } else if (un32Id == VQX_MSG_ID_API_NOTIF_HOST_GW_DOWN || un32Id == VQX_MSG_ID_API_NOTIF_HOST_REMOVED ||
               un32Id == VQX_MSG_ID_API_NOTIF_ADAPTER_GW_DOWN) {
      DispatchMsg(reinterpret_cast<unsigned int*>(ahMsg[i])); /* what a provider's or a board's link lost */
    } /* boards coming or going no longer matter */
  }
  for (u32 i = 0; i < un32Taken; i++) {
    if (ahMsg[i] != nullptr) VQXReleaseMsgDbg(mhHostLib, &ahMsg[i], __FILE__, __LINE__);
  }
  return r;
}

void CVQSigTrace::StopTakingUnits() {
  static constexpr const char* kOp = "CVQSigTrace::StopTakingUnits";
  DiscardGroups();
  /* Once the filter takes no more units, what it holds is a known number: each unit is counted in its group before
   * the summaries. Those the boards still send are taken by no filter and the host library counts them: every other
   * message (a discovery answer once its adapter's thread ended, the managers' once their clients stopped ...) is
   * the close's sink's from before the filter stops taking units, so that this count is of units alone. */
  const VQX_RESULT rSink = OpenCloseSink(mhHostLib, &mhCloseSink);
  if (VQX_RESULT_FAILED(rSink))
    Failure(kOp, "The close's sink could not be made: units received once the groups take no more are not counted",
            rSink, __LINE__);
  u64 un64Unmatched = 0;
  const bool fCounted = VQX_RESULT_SUCCEEDED(rSink) && TakenByNoFilter(mhHostLib, un64Unmatched);
  std::vector<_VQX_FILTER_PARAMS> aSets = FilterSets(false);
  const VQX_RESULT r =
      VQXModifyMsgFilterDbg(mhHostLib, mhFilter, static_cast<u32>(aSets.size()), aSets.data(), nullptr, __FILE__, __LINE__);
  const bool fStopped = VQX_RESULT_SUCCEEDED(r);
  if (fStopped) {
    LogTrace(VQMSG, "Close: the groups take no more units");
    mfUnitsStopped = 1;
    mfUnmatchedCounted = fCounted ? 1 : 0;
    mun64UnmatchedAtStop = un64Unmatched;
  }
  /* A filter that still takes units gives one batch only, so that a board
   * that keeps sending cannot hold the close: what comes later is counted
   * by DropQueued. */
  if (!fStopped) Failure(kOp, "The filter still takes units", r, __LINE__);
  u32 un32Answers = 0;
  VQX_RESULT rTake;
  do {
    rTake = TakeClosingBatch(0, un32Answers);
  } while (fStopped && (VQX_RESULT_SUCCEEDED(rTake) || rTake == VQX_RESULT_API_FILTER_AWAKENED));
}

void CVQSigTrace::DropQueued() {
  u32 un32Units = 0;
  /* The boards' links are closed: nothing more comes from a board. What the filter holds now is read, each unit
   * counted (there are some only where it could not stop taking them); what comes meanwhile is no unit. */
  _VQX_FILTER_STATS Stats{};
  const u32 un32Waiting =
      VQX_RESULT_SUCCEEDED(VQXLibGetFilterStats(mhHostLib, mhFilter, &Stats)) ? Stats.un32NbMsgWaiting : 0;
  VQX_MSG_HANDLE hMsg = nullptr;
  for (u32 i = 0; i < un32Waiting && VQX_RESULT_SUCCEEDED(VQXReceiveMsgDbg(mhHostLib, mhFilter, 0, &hMsg, __FILE__, __LINE__)) &&
                  hMsg != nullptr;
       i++) {
    if (VqTraceFamilyOfNotif(hMsg->un32MsgId) != nullptr) un32Units++;
    VQXReleaseMsgDbg(mhHostLib, &hMsg, __FILE__, __LINE__);
  }
  VQXFlushMsgs(mhHostLib, mhFilter, nullptr);
  /* Read from the boards after the filter stopped taking units: taken by no filter, units alone while the sink stood. */
  u64 un64Unmatched = mun64UnmatchedAtStop;
  if (mfUnmatchedCounted == 0 || !TakenByNoFilter(mhHostLib, un64Unmatched)) un64Unmatched = mun64UnmatchedAtStop;
  if (mhCloseSink != nullptr) VQXDestroyMsgFilterDbg(mhHostLib, &mhCloseSink, __FILE__, __LINE__);
  mhCloseSink = nullptr;
  const u64 un64Dropped = un32Units + (un64Unmatched - mun64UnmatchedAtStop);
  if (un64Dropped != 0)
    LogTrace(VQERR, "Close: %llu trace unit(s) received too late to be written, dropped",
             static_cast<unsigned long long>(un64Dropped));
}

}  // namespace VQCAF
