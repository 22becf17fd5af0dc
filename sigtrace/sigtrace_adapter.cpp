/*
 * sigtrace_adapter.cpp - the adapter's life cycle and its discovery thread:
 * Init, Synchronize, Run with its dispatch of the thirteen answers, the
 * round's request table (resend, give-up, answers not awaited), the
 * adapter-ready message and Clear.
 *
 * The main thread calls Init, Synchronize (configuration reload) and the
 * destructor; the console page calls Synchronize; the adapter's own thread
 * runs Run. Everything runs under the adapter mutex (sigtrace_adapter.h).
 */
#include "sigtrace_adapter.h"

#include <string.h>

#include <chrono>
#include <thread>
#include <vector>

#include "sigtrace_adapter_page.h"
#include "sigtrace_adapter_wire_internal.h"
#include "sigtracegrp.h"
#include "vqcaf.h"
#include "vqcafcomm.h"
#include "vqx_string.h"

namespace VQCAF {

namespace {

/* The file name that failure lines carry. */
constexpr const char* kSource = "CVQSigTraceAdapter";

constexpr u32 kReceiveTimeout = 0x82010003u;  /* nothing arrived within the wait */
constexpr u32 kFilterAwakened = 0x82010210u;  /* the filter was woken */

/* The answer handlers, by the message id of their request. */
struct SAnswer {
  u32 un32MsgId;
  u32 (CVQSigTraceAdapter::*pfnHandle)(unsigned int*);
};
constexpr SAnswer kAnswers[] = {
    {0x04090001u, &CVQSigTraceAdapter::HandleAdapterConfigGetResponse},
    {0x04210005u, &CVQSigTraceAdapter::HandleMtp2OpGetListResponse},
    {0x04210014u, &CVQSigTraceAdapter::HandleMtp2OpLinkGetListResponse},
    {0x04210012u, &CVQSigTraceAdapter::HandleMtp2OpLinkGetParamsResponse},
    {0x04540005u, &CVQSigTraceAdapter::HandleLapdOpGetListResponse},
    {0x04540014u, &CVQSigTraceAdapter::HandleLapdOpLinkGetListResponse},
    {0x04540012u, &CVQSigTraceAdapter::HandleLapdOpLinkGetParamsResponse},
    {0x04080004u, &CVQSigTraceAdapter::HandleIsdnOpGetListResponse},
    {0x04080003u, &CVQSigTraceAdapter::HandleIsdnOpGetParamsResponse},
    {0x04510004u, &CVQSigTraceAdapter::HandleCasr2OpGetListResponse},
    {0x04510003u, &CVQSigTraceAdapter::HandleCasr2OpGetParamsResponse},
    {0x04390004u, &CVQSigTraceAdapter::HandleTuclOpGetListResponse},
    {0x04390003u, &CVQSigTraceAdapter::HandleTuclOpGetParamsResponse},
};

/* Texts of the record end inside their fields, whatever the library handed us. */
void TerminateTexts(VQX_ADAPTER_INFO& Info) {
  Info.szIpAddress0[sizeof(Info.szIpAddress0) - 1] = '\0';
  Info.szIpAddress1[sizeof(Info.szIpAddress1) - 1] = '\0';
  Info.szName[sizeof(Info.szName) - 1] = '\0';
  Info.szName2[sizeof(Info.szName2) - 1] = '\0';
}

}  // namespace

CVQSigTraceAdapter::CVQSigTraceAdapter()
    : CVQCAFLogTrace(VQCAF_SUBMODULE_VQLT),
      CVQCAFThread(VQCAF_THREAD_PRIO_DEFAULT, 0),
      mEntities(CVQCAFDebugInfo(__FILE__, __LINE__), VQ_SIGTRACE_MAX_ENTITIES, 1, 1, 1) {}

CVQSigTraceAdapter::~CVQSigTraceAdapter() {
  if (VQX_RESULT_FAILED(Clear())) LogTrace(VQERR, "Clear Failed.");
}

u32 CVQSigTraceAdapter::Failure(const char* pszOperation, const char* pszText, u32 un32Result, int nLine) {
  LogTrace(VQERR, "%s", VqcafFormatFailureLine(pszOperation, pszText, un32Result, kSource, nLine).c_str());
  return un32Result;
}

u32 CVQSigTraceAdapter::ShortAnswer(const char* pszOperation, u32 un32Wanted, u32 un32End, int nLine) {
  char szText[96];
  Snprintf(szText, sizeof(szText), "Answer too short (%u bytes, byte %u needed)", un32End, un32Wanted);
  return Failure(pszOperation, szText, VQX_RESULT_INVALID_PARAM, nLine);
}

u32 CVQSigTraceAdapter::CaughtFailure(const char* pszOperation, int nLine) {
  const VQCAF_FAILURE F = VqcafCatchCurrentException(pszOperation, kSource, nLine);
  LogTrace(VQERR, "%s", F.strLine.c_str());
  /* An exception of no known kind: where it was caught, on a line of its own. */
  if (VqSigTraceCaughtForeign()) LogTrace(VQERR, "%s: Un-handled exception: %s:%u\n", pszOperation, kSource, static_cast<unsigned>(nLine));
  return F.un32Result;
}

/* ------------------------------------------------------------ life cycle */

u32 CVQSigTraceAdapter::Init(unsigned int hAdapter) {
  static constexpr const char* kOp = "CVQSigTraceAdapter::Init";
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  u32 un32Result = VQX_RESULT_OK;
  try {
    mhAdapter = hAdapter;
    mhHostLib = CVQCAFComm::GetHostLibInstance();
    if (mhHostLib == nullptr) {
      un32Result = Failure(kOp, "CVQCAFComm must be initialized first", VQX_RESULT_INVALID_STATE, __LINE__);
    }
    mun64RequestContext = hAdapter;
    if (un32Result == VQX_RESULT_OK) {
      VQX_ADAPTER_INFO Info{};
      if (VQX_RESULT_FAILED(VQXGetAdapterInfo(mhHostLib, hAdapter, &Info))) {
        un32Result = Failure(kOp, "Host information not found", VQX_RESULT_NOT_FOUND, __LINE__);
      } else {
        TerminateTexts(Info);
        mAdapterInfo = Info;
      }
    }
    if (un32Result == VQX_RESULT_OK) {
      mpPage = new CVQSigTraceAdapterPage(this);
      CVQCAFCli* pCli = GetCli();
      const VQX_RESULT r =
          pCli != nullptr ? pCli->AddPage(CVQCAFPtr<IVQCAFCliPage>(mpPage)) : VQX_RESULT_NOT_INITIALIZED;
      if (VQX_RESULT_FAILED(r)) un32Result = Failure(kOp, "Failed to add CLI page for adapter.", r, __LINE__);
    }
    if (un32Result == VQX_RESULT_OK) {
      /* The answers' filter exists before the first request goes out, so
       * that an answer quicker than the thread's start is not lost. */
      _VQX_FILTER_PARAMS Set{};
      Set.un32Version = 1;
      Set.un32Mask = VQX_FILTER_MASK_USER_CONTEXT1;
      Set.un64UserContext1 = mun64RequestContext;
      const VQX_RESULT r = VQXCreateMsgFilterDbg(mhHostLib, 1, &Set, &mhFilter, __FILE__, __LINE__);
      if (VQX_RESULT_FAILED(r)) un32Result = Failure(kOp, "Failed to create hostlib filter", r, __LINE__);
    }
  } catch (...) {
    un32Result = CaughtFailure(kOp, __LINE__);
  }
  if (un32Result != VQX_RESULT_OK) {
    Clear();
    return un32Result;
  }
  Start(0);
  Synchronize();
  return VQX_RESULT_OK;
}

u32 CVQSigTraceAdapter::Synchronize() {
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  try {
    mEntities.Clear(CVQCAFDebugInfo(__FILE__, __LINE__));
    mRequests.clear();
    mUnsent.clear();
    CountOutstanding();
    mfReady = 0;
    mfRoundOpen = 1;
    mun32EntitiesRefused = 0;
    LogTrace(VQMSG, "\033[36m<Sync> %s: Started!", GetAdapterName());
    SendAdapterConfigGet();
  } catch (...) {
    CaughtFailure("CVQSigTraceAdapter::Synchronize", __LINE__);
  }
  return VQX_RESULT_OK;
}

CVQCAFPtr<IVQCAFCliPage> CVQSigTraceAdapter::GetPage() {
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  return CVQCAFPtr<IVQCAFCliPage>(mpPage);
}

u32 CVQSigTraceAdapter::IsAdapterReady() {
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  return mfReady;
}

u32 CVQSigTraceAdapter::Clear() {
  /* The thread is asked to stop before the adapter's mutex is taken: it holds the mutex through a round of sends
   * (thousands for a board of many entities) and looks at the stop between them. */
  Stop(0);
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  if (mfCleared != 0) return VQX_RESULT_OK;
  mfCleared = 1;
  try {
    if (mpPage) {
      mpPage->SetEnabled(0);
      CVQCAFPtr<IVQCAFCliPage> Page(mpPage);
      CVQCAFMutexAutoGiveGet Unlock(&mMutex);
      if (CVQCAFCli* pCli = GetCli()) pCli->RemovePage(Page);
      /* The console may still hold the page: none of its calls reaches this adapter from here on. */
      mpPage->Detach();
    }
    mpPage.Release();
    /* The thread is woken from its wait rather than found at its next turn. */
    if (mhFilter != nullptr) VQXWakeMsgFilter(mhHostLib, mhFilter);
    {
      CVQCAFMutexAutoGiveGet Unlock(&mMutex);
      Stop(1);
    }
    /* The thread destroys its filter when it ends; this one was never used. */
    if (mhFilter != nullptr) VQXDestroyMsgFilterDbg(mhHostLib, &mhFilter, __FILE__, __LINE__);
    mhFilter = nullptr;
    if (mhHostLib != nullptr) CVQCAFComm::ReleaseHostLibInstance();
    mhHostLib = nullptr;
    mRequests.clear();
    mUnsent.clear();
    CountOutstanding();
    mfRoundOpen = 0;
    mEntities.Clear(CVQCAFDebugInfo(__FILE__, __LINE__));
  } catch (...) {
    return CaughtFailure("CVQSigTraceAdapter::Clear", __LINE__);
  }
  return VQX_RESULT_OK;
}

/* ------------------------------------------------------------ thread */

void CVQSigTraceAdapter::OnEvent(CVQCAFEvent* /*pEvent*/) {}

void CVQSigTraceAdapter::Run() {
  CVQCAFMutexAutoGetGive Lock(&mMutex);
  if (mhFilter == nullptr) return;
  try {
    while (IsStopRequested() == 0) {
      VQX_MSG_HANDLE hMsg = nullptr;
      VQX_RESULT r;
      {
        CVQCAFMutexAutoGiveGet Unlock(&mMutex);
        r = VQXReceiveMsgDbg(mhHostLib, mhFilter, VQ_SIGTRACE_RECEIVE_WAIT_MS, &hMsg, __FILE__, __LINE__);
      }
      if (r == kReceiveTimeout || r == kFilterAwakened) {
        /* nothing received */
      } else if (VQX_RESULT_FAILED(r)) {
        LogTrace(VQERR, "CVQSigTraceAdapter::Run: Failed to read from filter (0x%08x)", r);
        CVQCAFMutexAutoGiveGet Unlock(&mMutex);
        /* One second of back-off, cut short by a stop request. */
        for (u32 i = 0; i < VQ_SIGTRACE_BACKOFF_MS / 10 && IsStopRequested() == 0; i++)
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
      } else {
        struct Release {
          VQX_LIB_HANDLE h;
          VQX_MSG_HANDLE& m;
          ~Release() {
            if (m != nullptr) VQXReleaseMsgDbg(h, &m, __FILE__, __LINE__);
          }
        } Releaser{mhHostLib, hMsg};
        DispatchAnswer(hMsg);
      }
      ResendOverdue();
    }
  } catch (...) {
    CaughtFailure("CVQSigTraceAdapter::Run", __LINE__);
  }
  /* Nothing is received for this board any more. */
  VQXDestroyMsgFilterDbg(mhHostLib, &mhFilter, __FILE__, __LINE__);
  mhFilter = nullptr;
}

void CVQSigTraceAdapter::DispatchAnswer(VQX_MSG_HANDLE hMsg) {
  const u32 un32Id = hMsg->un32MsgId;
  const SAnswer* pAnswer = nullptr;
  for (const SAnswer& a : kAnswers)
    if (a.un32MsgId == un32Id) pAnswer = &a;
  if (pAnswer == nullptr) {
    LogTrace(VQERR, "CVQSigTraceAdapter::Run: Unexpected message id (0x%08x) received", un32Id);
    return;
  }
  auto It = mRequests.find(hMsg->un32SerialNumber);
  if (It == mRequests.end() || It->second.un32MsgId != un32Id) {
    /* An answer of an earlier round, given up, or a copy: its entities would
     * enter this round's table twice. */
    LogTrace(VQERR, "CVQSigTraceAdapter::Run: %s: answer 0x%08x (serial %u) not awaited, dropped",
             GetAdapterName(), un32Id, hMsg->un32SerialNumber);
    return;
  }
  mRequests.erase(It);
  CountOutstanding();
  (this->*pAnswer->pfnHandle)(reinterpret_cast<unsigned int*>(hMsg));
  CompleteRoundIfDone();
}

void CVQSigTraceAdapter::ResendOverdue() {
  if (mRequests.empty() && mUnsent.empty()) return;
  const u64 un64Now = Now();
  std::vector<std::pair<u32, SRequest>> Overdue;
  for (const auto& [un32Serial, Request] : mRequests)
    if (un64Now - Request.un64SentAt >= VQ_SIGTRACE_RESEND_AFTER_MS) Overdue.emplace_back(un32Serial, Request);
  for (const auto& [un32Serial, Request] : Overdue) {
    /* A stop ends the round between two sends: a board of many entities has thousands overdue, and a send may
       wait for room in the board's queue. What is left is asked again at the board's next synchronisation. */
    if (IsStopRequested() != 0) return;
    const vqdisc::SRequestKind* pKind = vqdisc::RequestKind(Request.un32MsgId);
    mRequests.erase(un32Serial);
    if (Request.un32Resends >= VQ_SIGTRACE_MAX_RESENDS) {
      LogTrace(VQERR, "\033[36m<Sync> %s: %s (item %u) not answered after %u sends, given up", GetAdapterName(),
               pKind->pszName, Request.un32Item, Request.un32Resends + 1);
      continue;
    }
    LogTrace(VQMSG, "\033[36m<Sync> %s: %s (item %u) not answered, sent again", GetAdapterName(), pKind->pszName,
             Request.un32Item);
    SendRequest(pKind->pszSender, Request.un32MsgId, Request.un32Item, Request.un32Resends + 1);
  }
  /* Sends that failed: tried again by the same rule (a failed try is filed again by SendRequest). */
  std::vector<SRequest> Unsent;
  for (auto it = mUnsent.begin(); it != mUnsent.end();) {
    if (un64Now - it->un64SentAt >= VQ_SIGTRACE_RESEND_AFTER_MS) {
      Unsent.push_back(*it);
      it = mUnsent.erase(it);
    } else {
      ++it;
    }
  }
  for (const SRequest& Request : Unsent) {
    if (IsStopRequested() != 0) return;
    const vqdisc::SRequestKind* pKind = vqdisc::RequestKind(Request.un32MsgId);
    if (Request.un32Resends >= VQ_SIGTRACE_MAX_RESENDS) {
      LogTrace(VQERR, "\033[36m<Sync> %s: %s (item %u) could not be sent in %u tries, given up", GetAdapterName(),
               pKind->pszName, Request.un32Item, Request.un32Resends + 1);
      continue;
    }
    SendRequest(pKind->pszSender, Request.un32MsgId, Request.un32Item, Request.un32Resends + 1);
  }
  CountOutstanding();
  CompleteRoundIfDone();
}

void CVQSigTraceAdapter::CompleteRoundIfDone() {
  if (mfRoundOpen == 0 || !mRequests.empty() || !mUnsent.empty()) return;
  mfRoundOpen = 0;
  mfReady = 1;
  if (mun32EntitiesRefused != 0)
    LogTrace(VQERR, "Too many signaling entities detected (increase max entities per adapter): %s, %u entities past its %u "
                    "not registered", GetAdapterName(), mun32EntitiesRefused, VQ_SIGTRACE_MAX_ENTITIES);
  SendAdapterNotifReady();
}

u32 CVQSigTraceAdapter::SendAdapterNotifReady() {
  static constexpr const char* kOp = "CVQSigTraceAdapter::SendAdapterNotifReady";
  LogTrace(VQMSG, "\033[36m<Sync> %s: NotifReady", GetAdapterName());
  VQX_MSG_HANDLE hMsg = nullptr;
  u32 r = NewMsg(kOp, QUELLAN_NOTIF_ADAPTER_READY, VQX_MSG_TYPE_EVENT, VQ_SIGTRACE_NOTIF_READY_SIZE,
                 VQX_HOSTLIB_ADAPTER_HANDLE, 0, &hMsg);
  if (VQX_RESULT_FAILED(r)) return r;
  u8* pPayload = VQXMsgPayload(hMsg);
  if (hMsg->un32PayloadLength >= VQ_SIGTRACE_NOTIF_OFFSET_INFO + sizeof(mAdapterInfo))
    memcpy(pPayload + VQ_SIGTRACE_NOTIF_OFFSET_INFO, &mAdapterInfo, sizeof(mAdapterInfo));
  r = VQXSendMsgDbg(mhHostLib, &hMsg, nullptr, __FILE__, __LINE__);
  if (VQX_RESULT_FAILED(r)) return Failure(kOp, "VQXSendMsg failed", r, __LINE__);
  return VQX_RESULT_OK;
}

static_assert(VQ_SIGTRACE_NOTIF_OFFSET_INFO + sizeof(VQX_ADAPTER_INFO) + 4 == VQ_SIGTRACE_NOTIF_READY_SIZE);
static_assert(VQ_SIGTRACE_NOTIF_OFFSET_INFO + offsetof(VQX_ADAPTER_INFO, hAdapter) == VQ_SIGTRACE_NOTIF_OFFSET_HANDLE);
static_assert(VQ_SIGTRACE_NOTIF_OFFSET_INFO + offsetof(VQX_ADAPTER_INFO, szName) == VQ_SIGTRACE_NOTIF_OFFSET_NAME2);
static_assert(VQ_SIGTRACE_NOTIF_OFFSET_INFO + offsetof(VQX_ADAPTER_INFO, szName2) == VQ_SIGTRACE_NOTIF_OFFSET_NAME);

}  // namespace VQCAF
