/* vqcafservicealmmgmt.cpp - process management in both roles (see its header). */
#include "vqcafservicealmmgmt.h"

#include <cstring>
#include <new>

#include "vqcafcomm.h"
#include "vqcafexception.h"
#include "vqcaflog.h"

namespace VQCAF {

namespace {

constexpr struct {
  u32 un32State;
  const char* pszName;
} kStateNames[] = {{0, "Not present        "},  {1, "Starting           "}, {2, "Not using ALM msgs "},
                   {3, "Hostlib started    "},  {4, "Ready              "}, {5, "Management shutdown"},
                   {6, "Shutdown           "},  {7, "Destroyed          "}};
constexpr const char* kUnknownState = "Unknown            ";

/* The second failure-line form of the framework's Init operations. */
void LogInitFailure(CVQCAFLogTrace* pLog, const char* pszText, VQX_RESULT r, int nLine) {
  const char* pszFmt = "CVQCAFServiceAlmMgmt::Init: %s (0x%08X) 0x%08X %s:%d\n";
  if (pLog != nullptr)
    pLog->LogTrace(VQERR, pszFmt, pszText, 0u, r, "vqcafservicealmmgmt.cpp", nLine);
  else
    ::VQCAF::LogTrace(VQERR, pszFmt, pszText, 0u, r, "vqcafservicealmmgmt.cpp", nLine);
}

}  // namespace

CVQCAFServiceAlmMgmt* CVQCAFServiceAlmMgmt::spInstance = nullptr;

const char* VqcafAlmStateName(u32 un32State) {
  for (auto& Row : kStateNames)
    if (Row.un32State == un32State) return Row.pszName;
  return kUnknownState;
}

void VQCAFAlmMgmtLogPrint(void* pContext, u32 Level, const char*, const char* pszFormat, va_list Args) {
  va_list Copy;
  va_copy(Copy, Args);
  static_cast<CVQCAFServiceAlmMgmt*>(pContext)->LogTrace(static_cast<_VQX_TRACE_LEVEL>(Level), pszFormat, Copy);
  va_end(Copy);
}

void VQCAFAlmMgmtProcessReady(void* pContext, VQX_LAUNCH_LIB_HANDLE, _VQX_LAUNCH_LIB_PROCESS_INFO* pInfo) {
  static_cast<CVQCAFServiceAlmMgmt*>(pContext)->OnMgmtReady(
      pInfo->un32AppId, static_cast<_VQX_LAUNCH_LIB_PROCESS_STATE>(pInfo->un32State));
}

void VQCAFAlmMgmtProcessShutdown(void* pContext, VQX_LAUNCH_LIB_HANDLE, _VQX_LAUNCH_LIB_PROCESS_INFO* pInfo) {
  static_cast<CVQCAFServiceAlmMgmt*>(pContext)->OnMgmtShutdown(
      pInfo->un32AppId, static_cast<_VQX_LAUNCH_LIB_PROCESS_STATE>(pInfo->un32State), pInfo->fExited,
      pInfo->un32ExitStatus);
}

CVQCAFServiceAlmMgmt::CVQCAFServiceAlmMgmt(u32 fMaster) : CVQCAFService("AlmMgmt", nullptr), mApplications(16) {
  CVQCAFMutexAutoGetGive Guard(&mServiceMutex);
  mfMaster = fMaster;
  mParams.mServiceInfo.mun32ServiceId = fMaster ? VQCAF_SERVICE_ID_ALM_MASTER : VQCAF_SERVICE_ID_ALM_CLIENT;
  mParams.mServiceInfo.maun32DetectedRemoteServiceId[0] = fMaster ? VQCAF_SERVICE_ID_ALM_CLIENT
                                                                  : VQCAF_SERVICE_ID_ALM_MASTER;
  mhLib = CVQCAFComm::GetHostLibInstance();
  if (mhLib == nullptr)
    VqcafReportFailure("CVQCAFServiceAlmMgmt", "CVQCAFComm::Init must be called first", VQX_RESULT_NOT_READY,
                       __FILE__, __LINE__);
}

CVQCAFServiceAlmMgmt::~CVQCAFServiceAlmMgmt() {
  try {
    /* Stopped first: no detector callback may reach a half-destroyed service. */
    Stop();
    CVQCAFMutexAutoGetGive Guard(&mServiceMutex);
    if (mhLaunchLib != nullptr) {
      LogTrace(VQLV2, "Closing launch library\n");
      VQX_LAUNCH_LIB_HANDLE h = mhLaunchLib;
      mhLaunchLib = nullptr;
      {
        CVQCAFMutexAutoGiveGet Unlock(&mServiceMutex);
        VQXLaunchLibClose(h);
      }
      LogTrace(VQLV2, "Successfully closed launch library\n");
    }
    if (mhLib != nullptr) CVQCAFComm::ReleaseHostLibInstance();
    mhLib = nullptr;
  } catch (...) {
    VqcafReportCurrentException("~CVQCAFServiceAlmMgmt", __FILE__, __LINE__);
  }
}

VQX_RESULT CVQCAFServiceAlmMgmt::OpenLaunchLib(u32 un32MaxApplication) {
  _VQX_LAUNCH_LIB_PARAMS P{};
  P.hLib = mhLib;
  snprintf(mszLaunchName, sizeof(mszLaunchName), "vqoam_%u_%u_%u.", 2u, 7u, 11u);
  memcpy(P.szName, mszLaunchName, sizeof(P.szName));
  P.szName[sizeof(P.szName) - 1] = '\0';
  P.pFctPrint = VQCAFAlmMgmtLogPrint;
  P.pvPrintContext = this;
  P.un32MinLevel = 1;
  P.pFctLaunchProcessReady = VQCAFAlmMgmtProcessReady;
  P.pvReadyContext = this;
  P.pFctLaunchProcessShutdown = VQCAFAlmMgmtProcessShutdown;
  P.pvShutdownContext = this;
  P.un32MaxApplication = un32MaxApplication;
  P.fAppManager = 1;
  P.fAttach = 1;
  P.un32StartingTimeMs = 5000;
  P.un32MgmtShutdownTimeMs = 60000;
  P.un32HeartbeatTimeMs = 5000;
  return VQXLaunchLibOpen(&P, &mhLaunchLib);
}

VQX_RESULT CVQCAFServiceAlmMgmt::Init(u32 fMaster, u32 un32MaxApplication, IVQCAFServiceAlmMgmt* pMaster,
                                      IVQCAFServiceAlmMgmtClient* pClient) {
  if (spInstance != nullptr) {
    LogInitFailure(spInstance, "Cannot init twice.", VQX_RESULT_INVALID_OPERATION, __LINE__);
    return VQX_RESULT_INVALID_OPERATION;
  }
  CVQCAFServiceAlmMgmt* p = nullptr;
  const char* pszText = nullptr;
  VQX_RESULT r = VQX_RESULT_OK;
  int nLine = 0;
  try {
    p = new (std::nothrow) CVQCAFServiceAlmMgmt(fMaster);
    if (p == nullptr) {
      LogInitFailure(nullptr, "Failed to allocate CVQCAFServiceAlmMgmt", VQX_RESULT_OUT_OF_MEMORY, __LINE__);
      return VQX_RESULT_OUT_OF_MEMORY;
    }
    spInstance = p;
    {
      CVQCAFMutexAutoGetGive Guard(&p->mServiceMutex);
      if (fMaster) {
        p->mpMaster = pMaster;
        p->mpClient = pClient;
        p->LogTrace(VQLV2, "Opening launch library\n");
        r = p->OpenLaunchLib(un32MaxApplication);
        if (VQX_RESULT_FAILED(r)) {
          pszText = "Failed to open launch library.", nLine = __LINE__;
        } else {
          p->LogTrace(VQLV2, "Successfully opened launch library\n");
          if (p->mhLaunchLib == nullptr) r = VQX_RESULT_FAIL, pszText = "Creating CVQCAFServiceAlmMgmt Failed.", nLine = __LINE__;
        }
      } else {
        _VQX_FILTER_PARAMS f{};
        f.un32Mask = VQX_FILTER_MASK_MSG_GROUP;
        f.MsgGroup = VQX_LAUNCH_MSG_ID_OP_HEARTBEAT >> 16;
        p->mParams.maFilters.push_back(f);
      }
    }
    /* Unregistered, the process would never be managed: a failed Start fails Init. */
    if (!VQX_RESULT_FAILED(r) && VQX_RESULT_FAILED(r = p->Start(nullptr))) pszText = "Start failed.", nLine = __LINE__;
  } catch (...) {
    VQCAF_FAILURE F = VqcafCatchCurrentException("CVQCAFServiceAlmMgmt::Init", __FILE__, __LINE__);
    r = F.un32Result;
    pszText = "Exception";
    nLine = __LINE__;
  }
  if (!VQX_RESULT_FAILED(r)) return VQX_RESULT_OK;
  LogInitFailure(p, pszText, r, nLine);
  spInstance = nullptr;
  delete p;
  return r;
}

VQX_RESULT CVQCAFServiceAlmMgmt::Uninit() {
  try {
    if (spInstance != nullptr) {
      spInstance->Stop();
      delete spInstance;
      spInstance = nullptr;
    }
    return VQX_RESULT_OK;
  } catch (...) {
    return VqcafCatchCurrentException("CVQCAFServiceAlmMgmt::Uninit", __FILE__, __LINE__).un32Result;
  }
}

void CVQCAFServiceAlmMgmt::Register(IVQCAFServiceAlmMgmtClient* p) {
  CVQCAFMutexAutoGetGive Guard(&mServiceMutex);
  if (mpClient != nullptr) LogTrace(VQMSG, "CVQCAFServiceAlmMgmt::Register: Someone is already registered\n");
  mpClient = p;
}

void CVQCAFServiceAlmMgmt::Register(IVQCAFServiceAlmMgmt* p) {
  CVQCAFMutexAutoGetGive Guard(&mServiceMutex);
  if (mpMaster != nullptr) LogTrace(VQMSG, "CVQCAFServiceAlmMgmt::Register: Someone is already registered\n");
  mpMaster = p;
}

CVQCAFServiceInstance* CVQCAFServiceAlmMgmt::OnServiceConnected(CVQCAFService*, CVQCAFServiceInfo* pInfo) {
  CVQCAFMutexAutoGetGive Guard(&mServiceMutex);
  _VQX_LIB_PARAMS Lp{};
  if (VQX_LIB_HANDLE h = CVQCAFComm::GetHostLibInstance()) {
    VQXGetLibParams(h, &Lp);
    CVQCAFComm::ReleaseHostLibInstance();
  }
  char szRemote[sizeof(pInfo->mHostInfo.szHostName) + 1] = {};
  memcpy(szRemote, pInfo->mHostInfo.szHostName, sizeof(pInfo->mHostInfo.szHostName));
  Lp.szHostName[sizeof(Lp.szHostName) - 1] = '\0';
  if (strcmp(szRemote, Lp.szHostName) != 0) {
    LogTrace(VQLV1, "OnServiceConnected: Ignoring remote service on host %s (only local process handled here)\n",
             szRemote);
    return nullptr;
  }
  if (mfMaster) {
    if (pInfo->mun32ServiceId == VQCAF_SERVICE_ID_ALM_CLIENT)
      VQXLaunchLibSendHeartbeat(mhLaunchLib, pInfo->mHostInfo.hAdapter);
    else
      LogTrace(VQERR, "OnServiceConnected: WARNING! 2 masters detected in the same system (VQX_GW_PORT)!!!!\n");
    return nullptr;
  }
  if (mfMasterDetected) return nullptr;
  mfMasterDetected = 1;
  LogTrace(VQLV2, "OnServiceConnected master detected\n");
  return this;
}

void CVQCAFServiceAlmMgmt::OnServiceDisconnected(CVQCAFService*, CVQCAFServiceInstance*) {
  CVQCAFMutexAutoGetGive Guard(&mServiceMutex);
  mfMasterDetected = 0;
  LogTrace(VQLV2, "OnServiceDisconnected\n");
}

void CVQCAFServiceAlmMgmt::Reply(CVQCAFMsg& Msg, const char* pszFailText) {
  CVQCAFMsgBuffer Answer;
  VQX_RESULT r = Answer.SerializeFromMsg(Msg, nullptr);
  if (!VQX_RESULT_FAILED(r)) r = SendMsg(Answer, 0);
  if (VQX_RESULT_FAILED(r))
    LogTrace(VQERR, "%s", VqcafFormatFailureLine("CVQCAFServiceAlmMgmt::OnMsgReceived", pszFailText, r, __FILE__,
                                                 __LINE__).c_str());
}

void CVQCAFServiceAlmMgmt::OnMsgReceived(CVQCAFService*, CVQCAFMsgBuffer& Msg) {
  constexpr const char* kOp = "CVQCAFServiceAlmMgmt::OnMsgReceived";
  try {
    CVQCAFMutexAutoGetGive Guard(&mServiceMutex);
    if (mfMaster) {
      LogTrace(VQERR, "%s", VqcafFormatFailureLine(kOp, "ALM master should not receive messages",
                                                   VQX_RESULT_INVALID_STATE, __FILE__, __LINE__).c_str());
      return;
    }
    const u32 un32Id = Msg.GetMsgId();
    if (un32Id == VQX_LAUNCH_MSG_ID_OP_HEARTBEAT || un32Id == VQX_LAUNCH_MSG_ID_OP_SHUTDOWN) {
      CVQCAFMsgAlmMgmtOpHeartbeat Hb;
      CVQCAFMsgAlmMgmtOpShutdown Sd;
      const VQX_RESULT r = un32Id == VQX_LAUNCH_MSG_ID_OP_HEARTBEAT ? Msg.UnserializeToMsg(Hb, nullptr)
                                                                     : Msg.UnserializeToMsg(Sd, nullptr);
      if (VQX_RESULT_FAILED(r)) {
        /* Never answer with bytes we did not read. */
        LogTrace(VQERR, "%s", VqcafFormatFailureLine(kOp, "Short management operation dropped", r, __FILE__,
                                                     __LINE__).c_str());
        return;
      }
      if (un32Id == VQX_LAUNCH_MSG_ID_OP_HEARTBEAT) {
        const u32 un32Nb = Hb.mRecord.un32Number;
        LogTrace(VQLV0, "Heartbeat nb=%u\n", un32Nb);
        if (IVQCAFServiceAlmMgmtClient* pClient = mpClient) {
          u32 un32Result;
          {
            CVQCAFMutexAutoGiveGet Unlock(&mServiceMutex);
            un32Result = pClient->OnMgmtHeartBeat();
          }
          /* A warning (bit 30) withholds the answer just as a failure does: the
           * master's watchdog then sees the application as not answering. */
          if (VQX_RESULT_FAILED_OR_WARNING(un32Result)) {
            LogTrace(VQERR, "Heartbeat nb=%u returned error code 0x%08X!\n", un32Nb, un32Result);
            return;
          }
        }
        CVQCAFMsgAlmMgmtNotifReady Ready;
        Ready.mRecord.un32Version = VQX_LAUNCH_MSG_VERSION;
        Ready.mRecord.un32Word = un32Nb;
        Ready.mRecord.byWatch = 1;
        Reply(Ready, "Failed to send CVQCAFMsgAlmMgmtNotifReady to detected master");
        if (mfReadyNotified) return;
        mfReadyNotified = 1;
        IVQCAFServiceAlmMgmt* pMaster = mpMaster;
        IVQCAFServiceAlmMgmtClient* pClient = mpClient;
        CVQCAFMutexAutoGiveGet Unlock(&mServiceMutex);
        if (pMaster != nullptr) pMaster->OnMgmtReady(0, VQX_LAUNCH_STATE_READY);
        if (pClient != nullptr) pClient->OnMgmtReady();
      } else {
        const u32 un32State = Sd.mRecord.un32Word;
        LogTrace(VQMSG, "Shutdown request (%s)\n", VqcafAlmStateName(un32State));
        CVQCAFMsgAlmMgmtNotifShutdown Ack;
        Ack.mRecord.un32Version = VQX_LAUNCH_MSG_VERSION;
        Ack.mRecord.un32Word = un32State;
        Reply(Ack, "Failed to send CVQCAFMsgAlmMgmtNotifShutdown to detected master");
        IVQCAFServiceAlmMgmt* pMaster = mpMaster;
        IVQCAFServiceAlmMgmtClient* pClient = mpClient;
        CVQCAFMutexAutoGiveGet Unlock(&mServiceMutex);
        if (pMaster != nullptr) pMaster->OnMgmtShutdown(0, static_cast<_VQX_LAUNCH_LIB_PROCESS_STATE>(un32State), 0, 0);
        if (pClient != nullptr) pClient->OnMgmtShutdown(un32State == VQX_LAUNCH_STATE_MGMT_SHUTDOWN ? 1u : 0u);
      }
    } else if (un32Id == 0x0B000100u) {
      LogTrace(VQMSG, "ALM master connected\n");
    } else if (un32Id == 0x0B000200u) {
      LogTrace(VQMSG, "ALM master disconnected\n");
    } else {
      LogTrace(VQERR, "OnMsgReceived not supported MsgId=0x%08x\n", un32Id);
    }
  } catch (const std::exception&) {
    VQCAF_FAILURE F = VqcafCatchCurrentException(kOp, __FILE__, __LINE__);
    LogTrace(VQERR, "%s", F.strLine.c_str());
  }
}

u32 CVQCAFServiceAlmMgmt::OnMgmtHeartBeat() {
  CVQCAFMutexAutoGetGive Guard(&mServiceMutex);
  IVQCAFServiceAlmMgmtClient* pClient = mpClient;
  if (pClient == nullptr) return VQX_RESULT_OK;
  LogTrace(VQLV0, "CVQCAFServiceAlmMgmt::OnMgmtHeartBeat\n");
  u32 r;
  {
    CVQCAFMutexAutoGiveGet Unlock(&mServiceMutex);
    r = pClient->OnMgmtHeartBeat();
  }
  if (VQX_RESULT_FAILED(r)) {
    LogTrace(VQERR, "%s", VqcafFormatFailureLine("OnMgmtHeartBeat", "Heartbeat returned error\n", r, __FILE__,
                                                 __LINE__).c_str());
    return r;
  }
  return VQX_RESULT_OK;
}

void CVQCAFServiceAlmMgmt::OnMgmtReady(u32 un32AppId, _VQX_LAUNCH_LIB_PROCESS_STATE State) {
  CVQCAFMutexAutoGetGive Guard(&mServiceMutex);
  IVQCAFServiceAlmMgmt* p = mApplications.Find(un32AppId);
  if (p == nullptr) p = mpMaster;
  LogTrace(VQLV0, "CVQCAFServiceAlmMgmt::OnMgmtReady: AppId=%u state=%s\n", un32AppId, VqcafAlmStateName(State));
  IVQCAFServiceAlmMgmtClient* pClient = mpClient;
  CVQCAFMutexAutoGiveGet Unlock(&mServiceMutex);
  if (p != nullptr) p->OnMgmtReady(un32AppId, State);
  if (pClient != nullptr) pClient->OnMgmtReady();
}

void CVQCAFServiceAlmMgmt::OnMgmtShutdown(u32 un32AppId, _VQX_LAUNCH_LIB_PROCESS_STATE State, u8 fExited,
                                          u32 un32ExitStatus) {
  CVQCAFMutexAutoGetGive Guard(&mServiceMutex);
  IVQCAFServiceAlmMgmt* p = mApplications.Find(un32AppId);
  if (p != nullptr)
    mApplications.Remove(un32AppId);
  else
    p = mpMaster;
  LogTrace(VQLV0, "CVQCAFServiceAlmMgmt::OnMgmtShutdown: AppId=%u state=%s\n", un32AppId, VqcafAlmStateName(State));
  IVQCAFServiceAlmMgmtClient* pClient = mpClient;
  CVQCAFMutexAutoGiveGet Unlock(&mServiceMutex);
  if (p != nullptr) p->OnMgmtShutdown(un32AppId, State, fExited, un32ExitStatus);
  if (pClient != nullptr) pClient->OnMgmtShutdown(State == VQX_LAUNCH_STATE_MGMT_SHUTDOWN ? 1u : 0u);
}

VQX_RESULT CVQCAFServiceAlmMgmt::SetParams(u32 un32StartingMs, u32 un32HeartbeatMs, u32 un32MgmtShutdownMs) {
  CVQCAFMutexAutoGetGive Guard(&mServiceMutex);
  const char* pszText = nullptr;
  VQX_RESULT r = VQX_RESULT_OK;
  _VQX_LAUNCH_LIB_PARAMS P{};
  if (!mfMaster)
    r = VQX_RESULT_INVALID_STATE, pszText = "API reserved for master mode";
  else if (VQX_RESULT_FAILED(r = VQXLaunchLibGetParams(mhLaunchLib, &P)))
    pszText = "VQXLaunchLibGetParams failed.";
  if (pszText == nullptr) {
    P.un32StartingTimeMs = un32StartingMs;
    P.un32HeartbeatTimeMs = un32HeartbeatMs;
    P.un32MgmtShutdownTimeMs = un32MgmtShutdownMs;
    if (VQX_RESULT_FAILED(r = VQXLaunchLibSetParams(mhLaunchLib, &P))) pszText = "VQXLaunchLibSetParams failed.";
  }
  if (pszText == nullptr) return VQX_RESULT_OK;
  LogTrace(VQERR, "%s", VqcafFormatFailureLine("SetParams", pszText, r, __FILE__, __LINE__).c_str());
  return r;
}

VQX_RESULT CVQCAFServiceAlmMgmt::CreateApplication(const char* pszPath, const char* pszParams,
                                                   const char* pszWorkDir, u32* pun32AppId,
                                                   IVQCAFServiceAlmMgmt* pApp, u32 fQuiet) {
  try {
    CVQCAFMutexAutoGetGive Guard(&mServiceMutex);
    _VQX_LAUNCH_LIB_CREATE_PROCESS C{};
    C.pszPath = pszPath;
    C.pszParams = pszParams;
    C.pszWorkDir = pszWorkDir;
    C.fQuiet = fQuiet;
    u32 un32AppId = 0;
    const VQX_RESULT r = VQXLaunchLibCreateProcess(mhLaunchLib, &C, &un32AppId);
    if (pun32AppId != nullptr) *pun32AppId = 0;
    if (VQX_RESULT_FAILED(r)) {
      LogTrace(VQERR, "%s", VqcafFormatFailureLine("CreateApplication", "CreateApplication failed", r, __FILE__,
                                                   __LINE__).c_str());
      return r;
    }
    if (pApp != nullptr) mApplications.Insert(un32AppId, pApp);
    if (pun32AppId != nullptr) *pun32AppId = un32AppId;
    return VQX_RESULT_OK;
  } catch (...) {
    return VqcafReportCurrentException("CreateApplication", __FILE__, __LINE__);
  }
}

VQX_RESULT CVQCAFServiceAlmMgmt::DestroyApplication(u32 un32AppId, u32 fGraceful) {
  try {
    CVQCAFMutexAutoGetGive Guard(&mServiceMutex);
    const VQX_RESULT r = fGraceful ? VQXLaunchLibManagementShutdown(mhLaunchLib, un32AppId)
                                   : VQXLaunchLibForceShutdown(mhLaunchLib, un32AppId);
    if (!VQX_RESULT_FAILED(r)) return VQX_RESULT_OK;
    LogTrace(VQERR, "%s", VqcafFormatFailureLine("DestroyApplication", "DestroyApplication failed", r, __FILE__,
                                                 __LINE__).c_str());
    return r;
  } catch (...) {
    return VqcafReportCurrentException("DestroyApplication", __FILE__, __LINE__);
  }
}

VQX_RESULT CVQCAFServiceAlmMgmt::LockApplication(u32 un32AppId, u32 fLock) {
  CVQCAFMutexAutoGetGive Guard(&mServiceMutex);
  return VQXLaunchLibLockApplication(mhLaunchLib, un32AppId, fLock);
}

VQX_RESULT CVQCAFServiceAlmMgmt::GetApplicationInfo(u32 un32AppId, _VQX_LAUNCH_LIB_PROCESS_INFO* pInfo) {
  CVQCAFMutexAutoGetGive Guard(&mServiceMutex);
  _VQX_HOST_INFO Host;
  return VQXLaunchLibGetProcessInfo(mhLaunchLib, un32AppId, &Host, pInfo);
}

VQX_RESULT CVQCAFServiceAlmMgmt::GetApplicationName(u32 un32AppId, CVQCAFString& strName) {
  try {
    CVQCAFMutexAutoGetGive Guard(&mServiceMutex);
    _VQX_HOST_INFO Host;
    _VQX_LAUNCH_LIB_PROCESS_INFO Info;
    const VQX_RESULT r = VQXLaunchLibGetProcessInfo(mhLaunchLib, un32AppId, &Host, &Info);
    Host.szApplicationName[sizeof(Host.szApplicationName) - 1] = '\0';
    strName = Host.szApplicationName;
    return r;
  } catch (...) {
    return VqcafReportCurrentException("GetApplicationName", __FILE__, __LINE__);
  }
}

}  // namespace VQCAF
