/*
 * vqcafservicedetector.cpp - the service detector (vqcafservicedetector.h).
 * The singleton sits under a process lock with a count of callers inside
 * ("pins"), as the bridge does, so Uninit never destroys a mutex in use.
 */
#include "vqcafservicedetector.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "vqcafcomm.h"
#include "vqcafexception.h"
#include "vqcaflog.h"
#include "vqx_string.h"

namespace VQCAF {

namespace {

std::mutex s_LifeMutex;
std::condition_variable s_LifeCond;
CVQCAFServiceDetector* s_pInstance = nullptr;
u32 s_un32Pins = 0;

CVQCAFServiceDetector* Pin() {
  std::lock_guard<std::mutex> Lock(s_LifeMutex);
  if (s_pInstance != nullptr) s_un32Pins++;
  return s_pInstance;
}
void Unpin() {
  std::lock_guard<std::mutex> Lock(s_LifeMutex);
  s_un32Pins--;
  s_LifeCond.notify_all();
}
class CPinned {
 public:
  CPinned() : mp(Pin()) {}
  ~CPinned() {
    if (mp != nullptr) Unpin();
  }
  CVQCAFServiceDetector* Get() const { return mp; }

 private:
  CVQCAFServiceDetector* mp;
};

CVQCAFServiceInstance* AsInstance(CVQCAFPoolPointerElement* p) {
  return static_cast<CVQCAFServiceInstance*>(p->GetPointer());
}

}  // namespace

/* -------------------------------------------------- connected message */

CVQCAFMsgServiceConnected::CVQCAFMsgServiceConnected(u32 un32MsgId) : CVQCAFMsg(un32MsgId) {
  SetMinSize(SerializeSize());
}
CVQCAFMsgServiceConnected::CVQCAFMsgServiceConnected(u32 un32MsgId, CVQCAFServiceInfo& Info)
    : CVQCAFMsg(un32MsgId), mServiceInfo(Info) {
  SetMinSize(SerializeSize());
}

/* ---------------------------------------------------------- life cycle */

CVQCAFServiceDetector::CVQCAFServiceDetector()
    : CVQCAFLogTrace(VQCAF_SUBMODULE_SERVICE), mPool(VQCAF_DEBUG_INFO, VQCAF_SERVICE_DETECTOR_MAX_PAIRS, 1, 1, 0) {
  _VQX_SERVICES_LIB_OPEN_PARAMS Params{};
  Params.un32MaxServices = VQX_SERVICES_LIB_DEFAULT_MAX_SERVICES;
  Params.pFctRemoteServiceConnected = VQCAFServiceDetectorServiceConnected;
  Params.pvRemoteServiceConnectedContext = this;
  Params.pFctMsgReceived = VQCAFServiceDetectorServiceMsgReceived;
  Params.pvMsgReceivedContext = this;
  Params.pFctPrint = VQCAFServiceDetectorLogPrint;
  Params.pvPrintContext = this;
  const u32 un32Level = GetSubModTraceLevel(VQCAF_SUBMODULE_SERVICE);
  Params.un32TraceLevel = un32Level < 4 ? un32Level + 1 : un32Level;
  mhHostLib = CVQCAFComm::GetHostLibInstance();
  if (mhHostLib == nullptr) {
    Failure("CVQCAFServiceDetector::CVQCAFServiceDetector", "CVQCAFComm::Init must be called first.", VQX_RESULT_OK,
            __LINE__);
    return;
  }
  LogTrace(VQLV2, "Opening Services Library\n");
  const VQX_RESULT r = VQXServicesOpenLib(&Params, mhHostLib, &mhServicesLib);
  if (VQX_RESULT_FAILED(r)) {
    Failure("CVQCAFServiceDetector::CVQCAFServiceDetector", "Failed to open Services Library.", r, __LINE__);
    if (mhServicesLib != nullptr) VQXServicesCloseLib(mhServicesLib);
    mhServicesLib = nullptr;
    return;
  }
  LogTrace(VQLV2, "Successfully opened Services Library\n");
}

CVQCAFServiceDetector::~CVQCAFServiceDetector() {
  if (mhServicesLib != nullptr) {
    LogTrace(VQLV2, "Closing Services Library\n");
    VQXServicesCloseLib(mhServicesLib);
    LogTrace(VQLV2, "Successfully closed Services Library\n");
  }
  if (mhHostLib != nullptr) CVQCAFComm::ReleaseHostLibInstance();
}

void CVQCAFServiceDetector::Failure(const char* pszOperation, const char* pszText, VQX_RESULT Result, int nLine) {
  LogTrace(VQERR, "%s", VqcafFormatFailureLine(pszOperation, pszText, Result, __FILE__, nLine).c_str());
}

VQX_RESULT CVQCAFServiceDetector::Init() {
  std::unique_lock<std::mutex> Lock(s_LifeMutex);
  const char* pszText = nullptr;
  VQX_RESULT Result = VQX_RESULT_OK;
  int nLine = 0;
  if (s_pInstance != nullptr) {
    pszText = "Cannot init twice.", Result = VQX_RESULT_INVALID_OPERATION, nLine = __LINE__;
  } else {
    CVQCAFServiceDetector* p = nullptr;
    try {
      p = new CVQCAFServiceDetector();
    } catch (...) {
      return VqcafReportCurrentException("CVQCAFServiceDetector::Init", __FILE__, __LINE__);
    }
    if (p->mhServicesLib != nullptr) {
      s_pInstance = p;
      return VQX_RESULT_OK;
    }
    delete p;
    pszText = "Creating CVQCAFServiceDetector Failed.", Result = VQX_RESULT_FAIL, nLine = __LINE__;
  }
  SubModLogTrace(VQCAF_SUBMODULE_SERVICE, VQERR, "CVQCAFServiceDetector::Init: %s (0x%08X) 0x%08X %s:%d\n", pszText, 0u,
                 Result, VqxFileNameFromPath(__FILE__), nLine);
  return Result;
}

VQX_RESULT CVQCAFServiceDetector::Uninit() {
  std::unique_lock<std::mutex> Lock(s_LifeMutex);
  CVQCAFServiceDetector* p = s_pInstance;
  if (p == nullptr) return VQX_RESULT_OK;
  s_pInstance = nullptr;
  const u32 un32OwnLevels = p->mMutex.GetHeldCount();
  while (s_un32Pins > un32OwnLevels) {
    if (!s_LifeCond.wait_for(Lock, std::chrono::seconds(5), [&] { return s_un32Pins <= un32OwnLevels; })) {
      p->LogTrace(VQERR, "CVQCAFServiceDetector::Uninit: waiting for %u thread(s) still using the detector\n",
                  s_un32Pins - un32OwnLevels);
    }
  }
  s_un32Pins = 0;
  Lock.unlock();
  if (un32OwnLevels != 0) {
    p->LogTrace(VQERR, "BUG: CVQCAFServiceDetector::Uninit(): Called before ReleaseInstance() been called by all owners!");
  }
  p->mMutex.GiveAll();
  try {
    delete p;
  } catch (...) {
    return VqcafReportCurrentException("CVQCAFServiceDetector::Uninit", __FILE__, __LINE__);
  }
  return VQX_RESULT_OK;
}

CVQCAFServiceDetector* CVQCAFServiceDetector::GetInstance() {
  CVQCAFServiceDetector* p = Pin();
  if (p != nullptr) {
    p->mMutex.Get();
    p->mun32NbOwners++;
  }
  return p;
}

void CVQCAFServiceDetector::ReleaseInstance() {
  if (mun32NbOwners == 0 || mMutex.GetHeldCount() == 0) {
    LogTrace(VQERR, "CVQCAFServiceDetector::ReleaseInstance() called too many times!");
    return;
  }
  mun32NbOwners--;
  mMutex.Give();
  Unpin();
}

CVQCAFString CVQCAFServiceDetector::BuildServiceInstanceKey(CVQCAFService* pService, u32* hRemoteService) {
  CVQCAFString str;
  str.Format("%p.%p", static_cast<void*>(pService), static_cast<void*>(hRemoteService));
  return str;
}

/* -------------------------------------------------- register and send */

VQX_RESULT CVQCAFServiceDetector::Register(CVQCAFService* pService) {
  CPinned p;
  return p.Get() != nullptr ? p.Get()->RegisterPrivate(pService) : VQX_RESULT_NOT_READY;
}
VQX_RESULT CVQCAFServiceDetector::Unregister(CVQCAFService* pService) {
  CPinned p;
  return p.Get() != nullptr ? p.Get()->UnregisterPrivate(pService) : VQX_RESULT_NOT_READY;
}
VQX_RESULT CVQCAFServiceDetector::SendMsg(CVQCAFMsg& Msg, u32 fBroadcast) {
  CPinned p;
  return p.Get() != nullptr ? p.Get()->SendMsgPrivate(Msg, fBroadcast) : VQX_RESULT_NOT_READY;
}
VQX_RESULT CVQCAFServiceDetector::SendMsg(CVQCAFMsgBuffer& Msg, u32 fBroadcast) {
  CPinned p;
  return p.Get() != nullptr ? p.Get()->SendMsgPrivate(Msg, fBroadcast) : VQX_RESULT_NOT_READY;
}

VQX_RESULT CVQCAFServiceDetector::RegisterPrivate(CVQCAFService* pService) {
  CVQCAFMutexAutoGetGive Guard(&mMutex);
  CVQCAFServiceParams Params;
  {
    CVQCAFMutexAutoGiveGet Unlocked(&mMutex);
    Params = pService->GetParam();
  }
  if (pService->mhRegistration != nullptr) {
    Failure("CVQCAFServiceDetector::Register", "Service already registered.", VQX_RESULT_INVALID_STATE, __LINE__);
    return VQX_RESULT_INVALID_STATE;
  }
  _VQX_SERVICES_LIB_SERVICE_PARAMS Record{};
  Params.CopyToParamsStruct(Record);
  const VQX_RESULT r = VQXServicesServiceRegister(mhServicesLib, &Record, pService, &pService->mhRegistration);
  Params.ReleaseCopy();
  if (VQX_RESULT_FAILED(r)) {
    Failure("CVQCAFServiceDetector::Register", "VQXServicesServiceRegister failed", r, __LINE__);
    return r;
  }
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCAFServiceDetector::UnregisterPrivate(CVQCAFService* pService) {
  CVQCAFMutexAutoGetGive Guard(&mMutex);
  u32* h = pService->mhRegistration;
  if (h == nullptr) {
    Failure("CVQCAFServiceDetector::Unregister", "Service not registered.", VQX_RESULT_INVALID_STATE, __LINE__);
    return VQX_RESULT_INVALID_STATE;
  }
  VQX_RESULT r;
  {
    CVQCAFMutexAutoGiveGet Unlocked(&mMutex);
    r = VQXServicesServiceUnregister(mhServicesLib, h);
  }
  if (VQX_RESULT_FAILED(r)) {
    Failure("CVQCAFServiceDetector::Unregister", "VQXServicesServiceUnregister failed", r, __LINE__);
    return r;
  }
  pService->mhRegistration = nullptr;
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCAFServiceDetector::SendMsgPrivate(CVQCAFMsg& Msg, u32 fBroadcast) {
  CVQCAFMutexAutoGetGive Guard(&mMutex);
  CVQCAFMsgBuffer Buffer;
  const VQX_RESULT r = Buffer.SerializeFromMsg(Msg, nullptr);
  if (VQX_RESULT_FAILED(r)) {
    Failure("CVQCAFServiceDetector::SendMsgPrivate", "Failed to serialize message to buffer\n", r, __LINE__);
    return r;
  }
  return SendMsgPrivate(Buffer, fBroadcast);
}

VQX_RESULT CVQCAFServiceDetector::SendMsgPrivate(CVQCAFMsgBuffer& Msg, u32 fBroadcast) {
  CVQCAFMutexAutoGetGive Guard(&mMutex);
  if (Msg.GetMsgHandle(0) == nullptr) {
    Failure("CVQCAFServiceDetector::SendMsgPrivate", "Message not initalized!", VQX_RESULT_INVALID_MESSAGE, __LINE__);
    return VQX_RESULT_INVALID_MESSAGE;
  }
  /* One owner at a time: the library takes the message only when it tries to send it. */
  u32* pMsg = reinterpret_cast<u32*>(Msg.GetMsgHandle(0));
  const VQX_RESULT r = VQXServicesServiceSendMsg(mhServicesLib, Msg.GetServiceInstanceHandle(), &pMsg, fBroadcast ? 1 : 0);
  if (pMsg == nullptr) Msg.GetMsgHandle(1);
  return VQX_RESULT_FAILED(r) ? r : VQX_RESULT_OK;
}

/* ------------------------------------------------------------ callbacks */

void CVQCAFServiceDetector::VQCAFServiceDetectorServiceConnected(void* pvContext, u32*, u32*, void* pvServiceContext,
                                                                 u32* hRemoteService,
                                                                 _VQX_SERVICES_LIB_SERVICE_INFO* pInfo, u32 fConnected) {
  CVQCAFServiceDetector* p = static_cast<CVQCAFServiceDetector*>(pvContext);
  CVQCAFService* pService = static_cast<CVQCAFService*>(pvServiceContext);
  if (fConnected == 0) {
    p->OnServiceDisconnected(pService, hRemoteService);
  } else {
    p->OnServiceConnected(pService, hRemoteService, pInfo);
  }
}

void CVQCAFServiceDetector::VQCAFServiceDetectorServiceMsgReceived(void* pvContext, u32*, u32*, void* pvServiceContext,
                                                                   u32* hRemoteService, u32** pphMsg) {
  static_cast<CVQCAFServiceDetector*>(pvContext)->OnMsgReceived(static_cast<CVQCAFService*>(pvServiceContext),
                                                                 hRemoteService, pphMsg);
}

void CVQCAFServiceDetector::VQCAFServiceDetectorLogPrint(void* pvContext, u32 un32Level, char*, char* pszFormat,
                                                         va_list args) {
  va_list Copy;
  va_copy(Copy, args);
  static_cast<CVQCAFServiceDetector*>(pvContext)->LogTrace(static_cast<_VQX_TRACE_LEVEL>(un32Level), pszFormat, Copy);
  va_end(Copy);
}

void CVQCAFServiceDetector::OnServiceConnected(CVQCAFService* pService, u32* hRemoteService,
                                               _VQX_SERVICES_LIB_SERVICE_INFO* pInfo) {
  static const char* const kOp = "CVQCAFServiceDetector::OnServiceConnected";
  try {
    CVQCAFMutexAutoGetGive Guard(&mMutex);
    CVQCAFServiceInfo Info;
    Info = *pInfo;
    const _VQX_HOST_INFO& h = Info.mHostInfo;
    pService->LogTrace(VQLV2,
                       "OnServiceConnected: Remote service connected: id 0x%08X on %s.%s (handle 0x%p, application "
                       "0x%08X%08X)\n",
                       Info.mun32ServiceId, h.szHostName, h.szApplicationName, static_cast<void*>(hRemoteService),
                       static_cast<u32>(h.un64UniqueHostId >> 32), static_cast<u32>(h.un64UniqueHostId));
    IVQCAFServiceHandler* pHandler = pService->mpHandler;
    CVQCAFServiceInstance* pInstance;
    {
      CVQCAFMutexAutoGiveGet Unlocked(&mMutex);
      pInstance = pHandler->OnServiceConnected(pService, &Info);
    }
    if (pInstance == nullptr) {
      pService->LogTrace(VQLV2, "OnServiceConnected: Remote service 0x%p ignored by application's service handler\n",
                         static_cast<void*>(hRemoteService));
      return;
    }
    pService->LogTrace(VQLV2, "OnServiceConnected: Created service instance for remote service 0x%p\n",
                       static_cast<void*>(hRemoteService));
    if (pInstance->IsReady()) {
      Failure(kOp, "Bug in service implementation. Returned PCVQCAFServiceInstance object that is already in use!",
              VQX_RESULT_INVALID_STATE, __LINE__);
      return;
    }
    const CVQCAFString strKey = BuildServiceInstanceKey(pService, hRemoteService);
    const char* pszRefused = nullptr;
    VQX_RESULT Refusal = VQX_RESULT_OK;
    CVQCAFPoolPointerElement* pElement = nullptr;
    if (mPool.Find(CVQCAFHashKeyString(strKey.c_str())) != nullptr) {
      pszRefused = "Duplicate pair of local service and remote instance, not supported", Refusal = VQX_RESULT_ACCESS_DENIED;
    } else if ((pElement = mPool.Alloc(VQCAF_DEBUG_INFO, CVQCAFHashKeyString(strKey.c_str()))) == nullptr) {
      pszRefused = "Failed to allocate service instance reference", Refusal = VQX_RESULT_OUT_OF_RESOURCE;
    }
    if (pszRefused != nullptr) {
      Failure(kOp, pszRefused, Refusal, __LINE__);
      /* The application gave the instance away: it gets it back. */
      CVQCAFMutexAutoGiveGet Unlocked(&mMutex);
      pHandler->OnServiceDisconnected(pService, pInstance);
      return;
    }
    pElement->SetPointer(pInstance);
    CVQCAFMsgServiceConnected Msg(VQCAF_MSG_SERVICE_CONNECTED, Info);
    CVQCAFMsgBuffer Buffer;
    CVQCAFMutexAutoGiveGet Unlocked(&mMutex);
    pInstance->mpOwner = pService;
    pInstance->mpMutex = &pService->mServiceMutex;
    pInstance->SetReady(1);
    pInstance->SetServiceInfo(&Info);
    pInstance->mhInstance = hRemoteService;
    Buffer.SerializeFromMsg(Msg, nullptr);
    Buffer.SetServiceInstanceHandle(pInstance->GetServiceInstanceHandle());
    Buffer.Seek(0);
    pInstance->OnMsgReceived(pService, Buffer);
  } catch (...) {
    const VQCAF_FAILURE f = VQCAF_CURRENT_FAILURE(kOp);
    LogTrace(VQERR, "%s", f.strLine.c_str());
  }
}

void CVQCAFServiceDetector::OnServiceDisconnected(CVQCAFService* pService, u32* hRemoteService) {
  static const char* const kOp = "CVQCAFServiceDetector::OnServiceDisconnected";
  try {
    CVQCAFMutexAutoGetGive Guard(&mMutex);
    CVQCAFPoolPointerElement* pElement =
        mPool.Find(CVQCAFHashKeyString(BuildServiceInstanceKey(pService, hRemoteService).c_str()));
    if (pElement == nullptr) {
      pService->LogTrace(VQLV1,
                         "OnServiceDisconnected: Remote service 0x%p disconnected (but was ignored by application "
                         "anyways)\n",
                         static_cast<void*>(hRemoteService));
      return;
    }
    CVQCAFServiceInstance* pInstance = AsInstance(pElement);
    CVQCAFServiceInfo Info;
    {
      /* The instance's lock is its service's, taken before this one (a send holds it): never under it. */
      CVQCAFMutexAutoGiveGet Unlocked(&mMutex);
      Info = pInstance->GetServiceInfo();
    }
    const _VQX_HOST_INFO& h = Info.mHostInfo;
    pService->LogTrace(VQLV2,
                       "OnServiceDisconnected: Remote service disconnected: id 0x%08X on %s.%s (handle 0x%p, "
                       "application 0x%08X%08X)\n",
                       Info.mun32ServiceId, h.szHostName, h.szApplicationName, static_cast<void*>(hRemoteService),
                       static_cast<u32>(h.un64UniqueHostId >> 32), static_cast<u32>(h.un64UniqueHostId));
    {
      CVQCAFMsgServiceConnected Msg(VQCAF_MSG_SERVICE_DISCONNECTED, Info);
      CVQCAFMsgBuffer Buffer;
      CVQCAFMutexAutoGiveGet Unlocked(&mMutex);
      Buffer.SerializeFromMsg(Msg, nullptr);
      Buffer.SetServiceInstanceHandle(pInstance->GetServiceInstanceHandle());
      Buffer.Seek(0);
      pInstance->OnMsgReceived(pService, Buffer);
      pInstance->SetReady(0);
    }
    const VQX_RESULT r = mPool.Free(VQCAF_DEBUG_INFO, pElement);
    if (VQX_RESULT_FAILED(r)) Failure(kOp, "Failed to remove from pool of service instances references", r, __LINE__);
    CVQCAFMutexAutoGiveGet Unlocked(&mMutex);
    pService->mpHandler->OnServiceDisconnected(pService, pInstance);
  } catch (...) {
    const VQCAF_FAILURE f = VQCAF_CURRENT_FAILURE(kOp);
    LogTrace(VQERR, "%s", f.strLine.c_str());
  }
}

void CVQCAFServiceDetector::OnMsgReceived(CVQCAFService* pService, u32* hRemoteService, u32** pphMsg) {
  try {
    CVQCAFMutexAutoGetGive Guard(&mMutex);
    VQX_MSG_HANDLE hMsg = reinterpret_cast<VQX_MSG_HANDLE>(*pphMsg);
    CVQCAFServiceInstance* pTarget = nullptr;
    CVQCAFPoolPointerElement* pElement =
        hRemoteService != nullptr
            ? mPool.Find(CVQCAFHashKeyString(BuildServiceInstanceKey(pService, hRemoteService).c_str()))
            : nullptr;
    if (pElement != nullptr) {
      pTarget = AsInstance(pElement);
      pService->LogTrace(VQLV0, "CVQCAFServiceDetector::OnMsgReceived: msg 0x%08X for remote service 0x%p\n",
                         hMsg->un32MsgId, static_cast<void*>(hRemoteService));
    } else if (pService->mpDefaultInstance != nullptr) {
      pTarget = pService->mpDefaultInstance;
      pService->LogTrace(VQLV0,
                         "CVQCAFServiceDetector::OnMsgReceived: msg 0x%08X from no specific remote service, just "
                         "matching filter for this service.\n",
                         hMsg->un32MsgId);
    } else if (hRemoteService != nullptr) {
      pService->LogTrace(VQMSG,
                         "CVQCAFServiceDetector::OnMsgReceived: msg 0x%08X from remote service 0x%p ignored (we did "
                         "not create local instance for)\n",
                         hMsg->un32MsgId, static_cast<void*>(hRemoteService));
      return;
    } else {
      pService->LogTrace(VQLV0,
                         "CVQCAFServiceDetector::OnMsgReceived: msg 0x%08X from no specific remote service ignored (we "
                         "don't have default instance to handle with)\n",
                         hMsg->un32MsgId);
      return;
    }
    CVQCAFMsgBuffer Buffer(hMsg);
    *pphMsg = nullptr;
    Buffer.SetServiceInstanceHandle(pTarget->GetServiceInstanceHandle());
    CVQCAFMutexAutoGiveGet Unlocked(&mMutex);
    pTarget->OnMsgReceived(pService, Buffer);
  } catch (...) {
    const VQCAF_FAILURE f = VQCAF_CURRENT_FAILURE("CVQCAFServiceDetector::OnMsgReceived");
    LogTrace(VQERR, "%s", f.strLine.c_str());
  }
}

}  // namespace VQCAF
