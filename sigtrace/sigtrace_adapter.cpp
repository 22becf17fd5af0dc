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
#include <utility>
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
    /* The answers to the round replaced are no longer awaited: they hold the board's flow control no more. */
    for (const auto& [un32Key, Request] : mRequests) Abandon(Request);
    mRequests.clear();
    mSerials.clear();
    for (std::deque<SAsked>& Queue : maQueued) Queue.clear();
    CountOutstanding();
    mfReady = 0;
    mfRoundOpen = 1;
    mLeftOut = SVQDiscoveryLeftOut();
    mun64LastAnswerAt = 0;
    mun32NotAsked = 0;
    mun32Answered = 0;
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

void CVQSigTraceAdapter::EndDiscovery() {
  __atomic_store_n(&mfEnding, 1u, __ATOMIC_RELEASE);
  Stop(0);
}

u32 CVQSigTraceAdapter::Clear() {
  /* The thread is asked to stop before the adapter's mutex is taken: it holds the mutex through its sends, each of
   * which may wait for room in the board's queue (a board that reads but does not answer), and looks at the stop
   * between them. */
  EndDiscovery();
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
    if (mfRoundOpen != 0) {
      /* A round cut short: what it had not discovered yet is counted, with what it refused so far. */
      u32 un32CutShort = 0;
      for (const auto& [un32Key, Request] : mRequests) un32CutShort += Covers(Request.un32MsgId);
      for (const std::deque<SAsked>& Queue : maQueued)
        for (const SAsked& Asked : Queue) un32CutShort += Covers(Asked.un32MsgId);
      mLeftOut.un32CutShort = un32CutShort;
      LogTrace(VQMSG, "\033[36m<Sync> %s: discovery cut short: %u entities not discovered (%u requests unanswered)",
               GetAdapterName(), un32CutShort, static_cast<u32>(mRequests.size() + QueuedCount()));
      LogPastTable();
    }
    TellLeftOutLines(true);
    mRequests.clear();
    mSerials.clear();
    for (std::deque<SAsked>& Queue : maQueued) Queue.clear();
    CountOutstanding();
    mfRoundOpen = 0;
    /* What the table took and the application may not have traced yet (a round cut short, its activation not
     * taken): the application counts it. */
    mEntities.ResetNext();
    for (const CVQSigTraceEntityParams* p = mEntities.Next(); p != nullptr; p = mEntities.Next()) mvTableAtClear.push_back(*p);
    mEntities.ResetNext();
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
  /* This thread's sends wait for room in the board's queue only until EndDiscovery. */
  const volatile u32* pfSendWaitEndBefore = VQXSetThreadSendWaitEnd(&mfEnding);
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
      Pump();
      CompleteRoundIfDone();
      TellLeftOutLines(false);
    }
  } catch (...) {
    CaughtFailure("CVQSigTraceAdapter::Run", __LINE__);
  }
  /* Nothing is received for this board any more. Its board is told (a send that ends as the others do). */
  VQXDestroyMsgFilterDbg(mhHostLib, &mhFilter, __FILE__, __LINE__);
  mhFilter = nullptr;
  VQXSetThreadSendWaitEnd(pfSendWaitEndBefore);
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
  const auto itSerial = mSerials.find(hMsg->un32SerialNumber);
  const auto It = itSerial != mSerials.end() ? mRequests.find(itSerial->second) : mRequests.end();
  if (itSerial != mSerials.end() && itSerial->second == 0) {
    /* Another copy of a request answered already: its entities are in the table. */
    LogTrace(VQLV1, "CVQSigTraceAdapter::Run: %s: answer 0x%08x (serial %u) to a request answered already, dropped",
             GetAdapterName(), un32Id, hMsg->un32SerialNumber);
    return;
  }
  if (It == mRequests.end() || It->second.un32MsgId != un32Id) {
    /* An answer of an earlier round, or of a request given up: its entities would enter this round's table, or
     * be counted twice. */
    LogTrace(VQERR, "CVQSigTraceAdapter::Run: %s: answer 0x%08x (serial %u) not awaited, dropped",
             GetAdapterName(), un32Id, hMsg->un32SerialNumber);
    return;
  }
  /* Taken whichever copy it answers; the others' answers are dropped quietly. */
  const SRequest Request = It->second;
  for (u32 i = 0; i < Request.un32Copies; i++) mSerials[Request.aun32Serials[i]] = 0;
  mRequests.erase(It);
  mun32Answered++;
  mun64LastAnswerAt = Now();
  CountOutstanding();
  const u32 r = (this->*pAnswer->pfnHandle)(reinterpret_cast<unsigned int*>(hMsg));
  /* Refused (the board's failure, too short): what it covered is not discovered, its line said why. */
  if (VQX_RESULT_FAILED(r)) mLeftOut.un32NotDiscovered += Covers(Request.un32MsgId);
  Pump();
  CompleteRoundIfDone();
}

void CVQSigTraceAdapter::ResendOverdue() {
  if (mRequests.empty()) return;
  const u64 un64Now = Now();
  /* An awaited request is overdue once the board has answered none of the round's requests for the delay either:
   * before, it may be waiting behind them for the link. An unsent one is tried again the delay after its try. */
  const auto Since = [un64Now](u64 un64At) { return un64Now > un64At ? un64Now - un64At : 0; };
  const bool fQuiet = Since(mun64LastAnswerAt) >= VQ_SIGTRACE_RESEND_AFTER_MS;
  /* The copies that left the board's send queue since the last look: their clock starts now (the peer gone: all). */
  VQX_PEER_SEND_QUEUE Queue{};
  const bool fQueue = VQX_RESULT_SUCCEEDED(VQXGetPeerSendQueue(mhHostLib, mhAdapter, &Queue));
  std::vector<u32> aOverdue;
  for (auto& [un32Key, Request] : mRequests) {
    if (Request.un64QueuedAs != 0 && (!fQueue || Queue.un64Queued - Queue.un32Waiting >= Request.un64QueuedAs)) {
      Request.un64QueuedAs = 0;
      Request.un64SentAt = un64Now;
    }
    if (Request.un64QueuedAs == 0 && Since(Request.un64SentAt) >= VQ_SIGTRACE_RESEND_AFTER_MS && (fQuiet || !Request.fSent))
      aOverdue.push_back(un32Key);
  }
  char szLeftOut[64];
  for (u32 un32Key : aOverdue) {
    /* A stop ends the resends between two sends; what is left is counted as the round's cut short (Clear). */
    if (IsStopRequested() != 0) return;
    const SRequest Request = mRequests[un32Key];
    const vqdisc::SRequestKind* pKind = vqdisc::RequestKind(Request.un32MsgId);
    /* The copy sent last is no longer awaited as such: the board's queue does not wait for its answer any more. */
    Abandon(Request);
    u32 un32LeftOut = 0;
    if (Request.un32Resends < VQ_SIGTRACE_MAX_RESENDS) {
      if (Request.fSent && mResendLines.Allow(un64Now, un32LeftOut))
        LogTrace(VQMSG, "\033[36m<Sync> %s: %s (item %u) not answered, sent again%s", GetAdapterName(), pKind->pszName,
                 Request.un32Item, VqxLogLimitLeftOutText(un32LeftOut, szLeftOut, sizeof(szLeftOut)));
      SendRequest(pKind->pszSender, Request.un32MsgId, Request.un32Item, un32Key);
      continue;
    }
    /* Given up: an answer to one of its copies is no longer awaited. What it covered is counted, and said at the
     * error level once, when the round completes. */
    for (u32 i = 0; i < Request.un32Copies; i++) mSerials.erase(Request.aun32Serials[i]);
    mRequests.erase(un32Key);
    mLeftOut.un32NotDiscovered += Covers(Request.un32MsgId);
    if (mGiveUpLines.Allow(un64Now, un32LeftOut))
      LogTrace(VQMSG, Request.fSent ? "\033[36m<Sync> %s: %s (item %u) not answered after %u sends, given up: %s%s"
                                    : "\033[36m<Sync> %s: %s (item %u) could not be sent in %u tries, given up: %s%s",
               GetAdapterName(), pKind->pszName, Request.un32Item, Request.un32Resends + 1,
               CoverText(Request.un32MsgId, Request.un32Item).c_str(),
               VqxLogLimitLeftOutText(un32LeftOut, szLeftOut, sizeof(szLeftOut)));
  }
  CountOutstanding();
}

void CVQSigTraceAdapter::Abandon(const SRequest& Request) {
  if (!Request.fSent || Request.un32Copies == 0 || mhHostLib == nullptr) return;
  /* Not found: answered meanwhile, or past the library's own time-out; nothing is held for it either way. */
  VQXAbandonAwaitedResponse(mhHostLib, mAdapterInfo.hAdapter, Request.aun32Serials[Request.un32Copies - 1]);
}

void CVQSigTraceAdapter::TellLeftOutLines(bool fAll) {
  const u64 un64Now = Now();
  for (auto [pLimit, pszWhat] : {std::pair{&mResendLines, "requests not answered, sent again"},
                                 std::pair{&mGiveUpLines, "requests not answered, given up"}}) {
    u32 un32LeftOut = pLimit->TakeDue(un64Now);
    if (fAll && un32LeftOut == 0) un32LeftOut = std::exchange(*pLimit, CVqxLogLimit()).LeftOut();
    if (un32LeftOut != 0)
      LogTrace(VQMSG, "\033[36m<Sync> %s: %s: %u similar line(s) left out", GetAdapterName(), pszWhat, un32LeftOut);
  }
}

void CVQSigTraceAdapter::LogPastTable() {
  if (mLeftOut.un32PastTable != 0)
    LogTrace(VQERR, "Too many signaling entities detected (increase max entities per adapter): %s, %u entities past its %u "
                    "not registered (%s)", GetAdapterName(), mLeftOut.un32PastTable, VQ_SIGTRACE_MAX_ENTITIES,
             mLeftOut.PastTableByFamily().c_str());
}

std::string SVQDiscoveryLeftOut::PastTableByFamily() const {
  std::string str;
  for (u32 un32Type = 0; un32Type < kTypes; un32Type++)
    if (aun32PastTableOf[un32Type] != 0)
      str += (str.empty() ? "" : ", ") + std::to_string(aun32PastTableOf[un32Type]) + " " +
             VqSigTraceEntityTypeName(un32Type);
  return str;
}

void CVQSigTraceAdapter::CompleteRoundIfDone() {
  if (mfRoundOpen == 0 || !mRequests.empty() || QueuedCount() != 0) return;
  mfRoundOpen = 0;
  mfReady = 1;
  LogPastTable();
  if (mLeftOut.un32NotDiscovered != 0)
    LogTrace(VQERR, "Signaling entities not discovered: %s, %u entities (requests given up or answers refused)",
             GetAdapterName(), mLeftOut.un32NotDiscovered);
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
