/* vqcafservice.cpp - service instances and services (vqcafservice.h). */
#include "vqcafservice.h"

#include <stdio.h>

#include <new>

#include "vqcafcomm.h"
#include "vqcafexception.h"
#include "vqcaflog.h"
#include "vqcafservicedetector.h"
#include "vqx_host_filter.h"
#include "vqx_string.h"

namespace VQCAF {

/* ------------------------------------------------------------ instance */

VQX_RESULT CVQCAFServiceInstance::SetServiceInfo(CVQCAFServiceInfo* pInfo) {
  CVQCAFMutexAutoGetGive Guard(mpMutex);
  if (pInfo != nullptr) mServiceInfo = *pInfo;
  return VQX_RESULT_OK;
}

CVQCAFServiceInfo CVQCAFServiceInstance::GetServiceInfo() {
  CVQCAFMutexAutoGetGive Guard(mpMutex);
  return mServiceInfo;
}

void CVQCAFServiceInstance::SetReady(u32 fReady) {
  CVQCAFMutexAutoGetGive Guard(mpMutex);
  mfReady = fReady;
  mhInstance = nullptr;
}

namespace {
/* While it lives, the calling thread's sends stop waiting for room once the owner is stopping: its Stop waits for
   them (for the service's lock, then for the callback they may be in). */
class CSendWaitEndScope {
 public:
  explicit CSendWaitEndScope(const volatile u32* pfStopping)
      : mfSet(pfStopping != nullptr), mpfBefore(mfSet ? VQXSetThreadSendWaitEnd(pfStopping) : nullptr) {}
  ~CSendWaitEndScope() {
    if (mfSet) VQXSetThreadSendWaitEnd(mpfBefore);
  }
  CSendWaitEndScope(const CSendWaitEndScope&) = delete;
  CSendWaitEndScope& operator=(const CSendWaitEndScope&) = delete;

 private:
  bool mfSet;
  const volatile u32* mpfBefore;
};

/* Maps the exception being handled and, with an owner, logs it through the
 * owner (instance mutex released meanwhile). Called inside a catch block. */
VQX_RESULT SendFailure(CVQCAFService* pOwner, CVQCAFMutex* pMutex, int nLine) {
  const VQX_RESULT r = VQCAF_CURRENT_FAILURE("CVQCAFServiceInstance::SendMsg").un32Result;
  if (pOwner == nullptr) return r;
  const char* pszText = "(Un-handled exception)";
  try {
    throw;
  } catch (const CVQCAFException& e) {
    pszText = e.What();
  } catch (const std::bad_alloc&) {
    pszText = "std::bad_alloc";
  } catch (const std::length_error&) {
    pszText = "std::length_error";
  } catch (const std::out_of_range&) {
    pszText = "std::out_of_range";
  } catch (...) {
  }
  CVQCAFMutexAutoGiveGet Unlocked(pMutex);
  pOwner->LogTrace(VQERR, "CVQCAFServiceInstance::SendMsg: %s (0x%08X) 0x%08X %s:%d\n", pszText, 0u, r,
                   "vqcafservice.cpp", nLine);
  return r;
}
}  // namespace

VQX_RESULT CVQCAFServiceInstance::SendMsg(CVQCAFMsg& Msg, u32 fBroadcast) {
  CVQCAFMutexAutoGetGive Guard(mpMutex);
  try {
    if (fBroadcast == 0 && mhInstance == nullptr) return VQX_RESULT_NOT_READY;
    Msg.SetServiceInstanceHandle(mhInstance);
    CSendWaitEndScope EndOnStop(mpOwner != nullptr ? &mpOwner->mfStopping : nullptr);
    const VQX_RESULT r = CVQCAFServiceDetector::SendMsg(Msg, fBroadcast);
    return VQX_RESULT_FAILED(r) ? r : VQX_RESULT_OK;
  } catch (...) {
    return SendFailure(mpOwner, mpMutex, __LINE__);
  }
}

VQX_RESULT CVQCAFServiceInstance::SendMsg(CVQCAFMsgBuffer& Msg, u32 fBroadcast) {
  CVQCAFMutexAutoGetGive Guard(mpMutex);
  try {
    if (mhInstance == nullptr) return VQX_RESULT_NOT_READY;
    Msg.SetServiceInstanceHandle(mhInstance);
    CSendWaitEndScope EndOnStop(mpOwner != nullptr ? &mpOwner->mfStopping : nullptr);
    const VQX_RESULT r = CVQCAFServiceDetector::SendMsg(Msg, fBroadcast);
    return VQX_RESULT_FAILED(r) ? r : VQX_RESULT_OK;
  } catch (...) {
    return SendFailure(mpOwner, mpMutex, __LINE__);
  }
}

/* ------------------------------------------------------------- service */

CVQCAFService::CVQCAFService(const char* pszName, IVQCAFServiceHandler* pHandler)
    : CVQCAFLogTrace(VQCAF_SUBMODULE_SERVICE) {
  CVQCAFMutexAutoGetGive Guard(&mServiceMutex);
  mhRegistration = nullptr;
  mpHandler = pHandler != nullptr ? pHandler : static_cast<IVQCAFServiceHandler*>(this);
  mstrName = pszName != nullptr ? pszName : "";
}

CVQCAFService::~CVQCAFService() {
  if (mhRegistration != nullptr) {
    /* The derived parts (handler, instances) are gone already: callbacks must not reach them. */
    LogTrace(VQERR, "BUG: CVQCAFService destroyed while registered: the derived service must call Stop() in its "
                    "destructor\n");
    Stop();
  }
}

CVQCAFString CVQCAFService::GetServiceName() {
  CVQCAFMutexAutoGetGive Guard(&mServiceMutex);
  return mstrName;
}

CVQCAFServiceParams CVQCAFService::GetParam() {
  CVQCAFMutexAutoGetGive Guard(&mServiceMutex);
  return mParams;
}

VQX_RESULT CVQCAFService::Start(CVQCAFServiceInstance* pDefaultInstance) {
  CVQCAFMutexAutoGetGive Guard(&mServiceMutex);
  if (mhRegistration != nullptr) return VQX_RESULT_OK;
  __atomic_store_n(&mfStopping, 0u, __ATOMIC_RELEASE);
  VQX_LIB_HANDLE hLib = CVQCAFComm::GetHostLibInstance();
  if (hLib != nullptr) {
    VQXGetRemoteHostInfo(hLib, VQX_HOSTLIB_ADAPTER_HANDLE, &mParams.mServiceInfo.mHostInfo);
    CVQCAFComm::ReleaseHostLibInstance();
  } else {
    LogTrace(VQERR, "Bug: CVQCAFService::Start called before CVQCAFComm::Start\n");
  }
  mpDefaultInstance = pDefaultInstance;
  if (pDefaultInstance != nullptr) {
    pDefaultInstance->mpOwner = this;
    pDefaultInstance->mpMutex = &mServiceMutex;
    pDefaultInstance->SetReady(1);
  }
  const char* pszText = nullptr;
  VQX_RESULT Result = VQX_RESULT_OK;
  int nLine = 0;
  if (mParams.mServiceInfo.mun32ServiceId == 0) {
    pszText = "Derived class has not filled-out mParams from this base class!", Result = VQX_RESULT_NOT_INITIALIZED,
    nLine = __LINE__;
  } else {
    LogTrace(VQLV3, "Start: Registering service to service detector\n");
    Result = CVQCAFServiceDetector::Register(this);
    if (!VQX_RESULT_FAILED(Result)) return VQX_RESULT_OK;
    pszText = "CVQCAFServiceDetector::Register(this) failed", nLine = __LINE__;
  }
  LogTrace(VQERR, "%s", VqcafFormatFailureLine("CVQCAFService::Start", pszText, Result, __FILE__, nLine).c_str());
  return Result;
}

VQX_RESULT CVQCAFService::Stop() {
  /* Before the lock: a send waiting for room may hold it. */
  __atomic_store_n(&mfStopping, 1u, __ATOMIC_RELEASE);
  CVQCAFMutexAutoGetGive Guard(&mServiceMutex);
  if (mhRegistration == nullptr) return VQX_RESULT_OK;
  LogTrace(VQLV3, "Stop: Unregistering service to service detector\n");
  VQX_RESULT Result;
  {
    CVQCAFMutexAutoGiveGet Unlocked(&mServiceMutex);
    /* Its leaving is announced to the hosts: to one whose send queue is full, dropped with its line rather than
       waited for (that host learns it from its next list or as the link goes). */
    CSendWaitEndScope EndOnStop(&mfStopping);
    Result = CVQCAFServiceDetector::Unregister(this);
  }
  if (!VQX_RESULT_FAILED(Result)) return VQX_RESULT_OK;
  __atomic_store_n(&mfStopping, 0u, __ATOMIC_RELEASE);  // still registered: its sends wait again
  LogTrace(VQERR, "%s",
           VqcafFormatFailureLine("CVQCAFService::Stop", "CVQCAFServiceDetector::Unregister(this) failed", Result,
                                  __FILE__, __LINE__).c_str());
  return Result;
}

CVQCAFServiceInstance* CVQCAFService::OnServiceConnected(CVQCAFService*, CVQCAFServiceInfo*) {
  LogTrace(VQERR, "Error: CVQCAFService instance did not either re-implement OnServiceConnected, or passed "
                  "PIVQCAFServiceHandler!\n");
  return nullptr;
}

void CVQCAFService::OnServiceDisconnected(CVQCAFService*, CVQCAFServiceInstance*) {}

void CVQCAFService::OnMsgReceived(CVQCAFService* pService, CVQCAFMsgBuffer& Msg) {
  pService->LogTrace(VQLV0,
                     "CVQCAFService::OnMsgReceived: msg 0x%08X from no specific remote service ignored (we don't have "
                     "default instance to handle with)\n",
                     Msg.GetMsgId());
}

void CVQCAFService::LogTrace(_VQX_TRACE_LEVEL Level, const char* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  char* apsz[1] = {const_cast<char*>("")};
  LogTrace(Level, apsz, 0, pszFormat, args);
  va_end(args);
}

void CVQCAFService::LogTrace(_VQX_TRACE_LEVEL Level, const char* pszFormat, _VQX_VA_LIST& args) {
  char* apsz[1] = {const_cast<char*>("")};
  LogTrace(Level, apsz, 0, pszFormat, args);
}

void CVQCAFService::LogTrace(_VQX_TRACE_LEVEL Level, char** apszPrefix, u32 un32Count, const char* pszFormat,
                             _VQX_VA_LIST& args) {
  if (!IsLogTraceEnabled(mSubModId, Level)) return;
  char szName[256];
  snprintf(szName, sizeof(szName), "%s: ", mstrName.c_str());
  char* apsz[3] = {szName, nullptr, nullptr};
  u32 n = 1;
  for (u32 i = 0; i < un32Count && i < 2; i++) apsz[n++] = apszPrefix[i];
  CVQCAFLogTrace::LogTrace(Level, apsz, n, pszFormat, args);
}

}  // namespace VQCAF
