/* vqcafservicecmmgmtclient.cpp - the configuration-management client (see its header). */
#include "vqcafservicecmmgmtclient.h"

#include <string.h>

#include <algorithm>
#include <new>

#include "vqcafcomm.h"
#include "vqcafexception.h"
#include "vqcafservicedetector.h"
#include "vqcafthread.h"
#include "vqx_clock.h"

namespace VQCAF {

namespace {

/* What follows the number in each message of the family. */
constexpr struct {
  u32 un32Id;
  u32 un32Words;
  u32 un32Texts;
} kLayouts[] = {
    {VQCAF_MSG_CM_OP_VALIDATE, 2, 1},
    {VQCAF_MSG_CM_OP_RELOAD, 1, 2},
    {VQCAF_MSG_CM_OP_DB_MAINTENANCE, 0, 0},
    {VQCAF_MSG_CM_OP_VALIDATE + VQCAF_MSG_CM_ANSWER_OFFSET, 1, 0},
    {VQCAF_MSG_CM_OP_RELOAD + VQCAF_MSG_CM_ANSWER_OFFSET, 1, 0},
    {VQCAF_MSG_CM_OP_DB_MAINTENANCE + VQCAF_MSG_CM_ANSWER_OFFSET, 1, 0},
};

constexpr const char* kOpReceived = "CVQCAFServiceCmMgmtClient::OnMsgReceived";

/* A read that ran out of bytes is a short message; a length past the stream's limit is oversized. */
VQX_RESULT ReadResult(VQX_RESULT r) {
  if (r == VQX_RESULT_OUT_OF_RANGE) return VQX_RESULT_INVALID_PARAM;
  return r == VQX_RESULT_OUT_OF_RESOURCE ? VQX_RESULT_INVALID_MESSAGE : r;
}

/* Wakes the client's thread: requests are waiting. */
constexpr u32 kEventQueued = 1;

}  // namespace

/* The client's thread: each wake-up runs everything waiting, so that a wake-up its full event queue refuses is not
 * missed (one already queued runs it). */
class CVQCAFCmRequestRunner : public CVQCAFThread {
 public:
  explicit CVQCAFCmRequestRunner(CVQCAFServiceCmMgmtClient* pClient)
      : CVQCAFThread(VQCAF_THREAD_PRIO_DEFAULT, 4), mpClient(pClient) {}
  ~CVQCAFCmRequestRunner() override { Stop(1); }
  void OnEvent(CVQCAFEvent*) override { mpClient->RunQueued(); }

 private:
  CVQCAFServiceCmMgmtClient* mpClient;
};

const VQX_RESULT* CVQCAFCmAnswers::Find(const VQCAF_CM_REQUEST_KEY& Key) const {
  for (auto it = ma.rbegin(); it != ma.rend(); ++it)
    if (it->Key == Key) return &it->r;
  return nullptr;
}

void CVQCAFCmAnswers::Add(const VQCAF_CM_REQUEST_KEY& Key, VQX_RESULT r, u64 un64NowMs) {
  ma.push_back({Key, r, un64NowMs});
  const auto Old = [un64NowMs](const Entry& e) { return un64NowMs >= e.un64AtMs && un64NowMs - e.un64AtMs >= kAnsweredHoldMs; };
  while (ma.size() > kAnsweredMax || (ma.size() > kAnsweredKept && Old(ma.front()))) ma.pop_front();
}

CVQCAFMsgCmMgmt::CVQCAFMsgCmMgmt(u32 un32MsgId) : CVQCAFMsg(un32MsgId) {
  for (const auto& Row : kLayouts)
    if (Row.un32Id == un32MsgId) mun32Words = Row.un32Words, mun32Texts = Row.un32Texts, mfKnown = true;
}

VQX_RESULT CVQCAFMsgCmMgmt::Serialize(CVQCAFSerialize& s) {
  if (!mfKnown) return VQX_RESULT_NOT_SUPPORTED;
  VQX_RESULT r = s.Write(mun32Number);
  for (u32 i = 0; i < mun32Words && !VQX_RESULT_FAILED(r); i++) r = s.Write(maun32Word[i]);
  for (u32 i = 0; i < mun32Texts && !VQX_RESULT_FAILED(r); i++) r = s.Write(mastrText[i]);
  return r;
}

VQX_RESULT CVQCAFMsgCmMgmt::Unserialize(CVQCAFSerialize& s) {
  mfNumberRead = 0;
  if (!mfKnown) return VQX_RESULT_NOT_SUPPORTED;
  VQX_RESULT r = s.Read(mun32Number);
  if (VQX_RESULT_FAILED(r)) return ReadResult(r);
  mfNumberRead = 1;
  for (u32 i = 0; i < mun32Words && !VQX_RESULT_FAILED(r); i++) r = s.Read(maun32Word[i]);
  for (u32 i = 0; i < mun32Texts && !VQX_RESULT_FAILED(r); i++) {
    r = s.Read(mastrText[i]);
    if (!VQX_RESULT_FAILED(r) && mastrText[i].GetLength() > VQCAF_CM_MAX_TEXT) r = VQX_RESULT_INVALID_PARAM;
  }
  return ReadResult(r);
}

VQX_RESULT CVQCAFMsgCmMgmt::ReadFrom(CVQCAFMsgBuffer& Msg) {
  const VQX_RESULT r = Msg.UnserializeToMsg(*this, nullptr);
  const VQX_MSG_HANDLE h = Msg.GetMsgHandle(0);
  if (!VQX_RESULT_FAILED(r) && h != nullptr && Msg.GetCurrentSeek() != h->un32PayloadLength)
    return VQX_RESULT_INVALID_PARAM;  // bytes after the last field
  return r;
}

u32 CVQCAFMsgCmMgmt::SerializeSize() {
  u32 un32Size = 4 + 4 * mun32Words;
  for (u32 i = 0; i < mun32Texts; i++) un32Size += 4 + mastrText[i].GetLength();
  return un32Size;
}

CVQCAFServiceCmMgmtClient* CVQCAFServiceCmMgmtClient::spInstance = nullptr;

CVQCAFServiceCmMgmtClient::CVQCAFServiceCmMgmtClient() : CVQCAFService("CmMgmtClient", nullptr) {
  CVQCAFMutexAutoGetGive Guard(&mServiceMutex);
  mSubModId = VQCAF_SUBMODULE_CM;
  mParams.mServiceInfo.mun32ServiceId = VQCAF_SERVICE_ID_CM_CLIENT;
  mParams.mServiceInfo.maun32DetectedRemoteServiceId[0] = VQCAF_SERVICE_ID_CM_MANAGER;
  _VQX_FILTER_PARAMS f{};
  f.un32Version = 1;
  f.un32Mask = VQX_FILTER_MASK_MSG_GROUP;
  f.MsgGroup = VQCAF_MSG_CM_OP_VALIDATE >> 16;
  mParams.maFilters.push_back(f);
  mpRunner = std::make_unique<CVQCAFCmRequestRunner>(this);
}

/* Stopped here, while this object's callbacks can still run. */
CVQCAFServiceCmMgmtClient::~CVQCAFServiceCmMgmtClient() { Stop(); }

VQX_RESULT CVQCAFServiceCmMgmtClient::Start(CVQCAFServiceInstance* pDefaultInstance) {
  mfClosing = false;
  const u32 r = mpRunner->Start(0);
  if (VQX_RESULT_FAILED(r) && r != VQX_RESULT_INVALID_STATE)  // 0x8200000F: running already
    return VQCAF_REPORT_FAILURE("CVQCAFServiceCmMgmtClient::Start", "The client's thread could not start", r);
  return CVQCAFService::Start(pDefaultInstance);
}

VQX_RESULT CVQCAFServiceCmMgmtClient::Stop() {
  mfClosing = true;
  /* Asked first, waited for last: the service's stop ends an answer's send waiting for room (which holds the
   * service mutex), and its links' departures let go of the requests waiting. */
  mpRunner->Stop(0);
  const VQX_RESULT r = CVQCAFService::Stop();
  mpRunner->Stop(1);
  CVQCAFMutexAutoGetGive Guard(&mServiceMutex);
  if (!maQueued.empty())
    LogTrace(VQMSG, "%u request(s) waiting not run: the client stops\n", static_cast<u32>(maQueued.size()));
  maQueued.clear();
  return r;
}

VQX_RESULT CVQCAFServiceCmMgmtClient::Init() {
  if (spInstance != nullptr) return VQCAF_REPORT_FAILURE("CVQCAFServiceCmMgmtClient::Init", "Cannot init twice.",
                                                         VQX_RESULT_INVALID_OPERATION);
  CVQCAFServiceCmMgmtClient* p = nullptr;
  try {
    p = new (std::nothrow) CVQCAFServiceCmMgmtClient();  // its filter list and thread may still throw
  } catch (...) {
    return VqcafReportCurrentException("CVQCAFServiceCmMgmtClient::Init", __FILE__, __LINE__);
  }
  if (p == nullptr)
    return VQCAF_REPORT_FAILURE("CVQCAFServiceCmMgmtClient::Init", "Failed to allocate CVQCAFServiceCmMgmtClient",
                                VQX_RESULT_OUT_OF_MEMORY);
  spInstance = p;
  /* Unregistered, no manager would ever reach the process: a failed Start fails Init. */
  const VQX_RESULT r = p->Start(nullptr);
  if (!VQX_RESULT_FAILED(r)) return VQX_RESULT_OK;
  VQCAF_REPORT_FAILURE("CVQCAFServiceCmMgmtClient::Init", "Start failed.", r);
  spInstance = nullptr;
  delete p;
  return r;
}

VQX_RESULT CVQCAFServiceCmMgmtClient::Uninit() {
  CVQCAFServiceCmMgmtClient* p = spInstance;
  spInstance = nullptr;
  delete p;
  return VQX_RESULT_OK;
}

void CVQCAFServiceCmMgmtClient::Register(IVQCAFServiceCmMgmtClient* p) {
  CVQCAFMutexAutoGetGive Guard(&mServiceMutex);
  if (mpClient != nullptr && p != nullptr)
    LogTrace(VQMSG, "CVQCAFServiceCmMgmtClient::Register: Someone is already registered\n");
  mpClient = p;
}

CVQCAFServiceInstance* CVQCAFServiceCmMgmtClient::OnServiceConnected(CVQCAFService*, CVQCAFServiceInfo* pInfo) {
  CVQCAFMutexAutoGetGive Guard(&mServiceMutex);
  char szHost[sizeof(pInfo->mHostInfo.szHostName) + 1] = {};
  memcpy(szHost, pInfo->mHostInfo.szHostName, sizeof(pInfo->mHostInfo.szHostName));
  maManagers.push_back(std::make_unique<CVQCAFCmManagerLink>(this, szHost, mun64NextSerial++));
  if (maManagers.size() == 1) {
    LogTrace(VQLV2, "OnServiceConnected manager detected on host %s\n", szHost);
  } else {
    LogTrace(VQMSG, "OnServiceConnected: the manager on host %s stands by while the one on host %s is linked\n",
             szHost, maManagers.front()->GetHost().c_str());
  }
  return maManagers.back().get();
}

void CVQCAFServiceCmMgmtClient::OnServiceDisconnected(CVQCAFService*, CVQCAFServiceInstance* pInstance) {
  CVQCAFMutexAutoGetGive Guard(&mServiceMutex);
  for (auto it = maManagers.begin(); it != maManagers.end(); ++it) {
    if (it->get() != pInstance) continue;
    const bool fAnswered = it == maManagers.begin();
    const CVQCAFString strHost = (*it)->GetHost();
    const u64 un64Serial = (*it)->GetSerial();
    maManagers.erase(it);
    LogTrace(VQLV2, "OnServiceDisconnected\n");
    /* Nobody is left to answer: its requests waiting are not run (the one running ends unanswered). */
    const size_t nDropped = std::erase_if(maQueued, [un64Serial](const Queued& q) { return q.un64Link == un64Serial; });
    if (nDropped != 0 && mfClosing)
      LogTrace(VQMSG, "The client stops: %u waiting request(s) of the manager on host %s not run\n",
               static_cast<u32>(nDropped), strHost.c_str());
    else if (nDropped != 0)
      LogTrace(VQMSG, "CM manager on host %s left: its %u waiting request(s) not run\n", strHost.c_str(),
               static_cast<u32>(nDropped));
    /* A manager still present takes over: its requests are answered from now on. */
    if (fAnswered && !maManagers.empty())
      LogTrace(VQMSG, "CM manager on host %s left; the one on host %s is linked now\n", strHost.c_str(),
               maManagers.front()->GetHost().c_str());
    return;
  }
}

VQX_RESULT CVQCAFServiceCmMgmtClient::Dispatch(const VQCAF_CM_REQUEST_KEY& Request) {
  IVQCAFServiceCmMgmtClient* pClient = mpClient;
  if (pClient == nullptr) {
    LogTrace(VQERR, "%s", VqcafFormatFailureLine(kOpReceived, "No application registered", VQX_RESULT_NOT_READY,
                                                 __FILE__, __LINE__).c_str());
    return VQX_RESULT_NOT_READY;
  }
  CVQCAFString astrText[2];
  for (u32 i = 0; i < 2; i++)
    astrText[i] = CVQCAFString(Request.astrText[i].data(), static_cast<u32>(Request.astrText[i].size()));
  CVQCAFMutexAutoGiveGet Unlock(&mServiceMutex);
  switch (Request.un32Id) {
    case VQCAF_MSG_CM_OP_VALIDATE:
      return pClient->OnValidateConfig(Request.aun32Word[0], Request.aun32Word[1], astrText[0]);
    case VQCAF_MSG_CM_OP_RELOAD:
      return pClient->OnReloadConfig(Request.aun32Word[0], astrText[0], astrText[1]);
    default:
      return pClient->OnDbMaintenance();
  }
}

void CVQCAFServiceCmMgmtClient::SendAnswer(CVQCAFCmManagerLink& Link, u32 un32Id, u32 un32Number, VQX_RESULT r) {
  VQX_RESULT s;
  try {
    CVQCAFMsgCmMgmt Answer(un32Id + VQCAF_MSG_CM_ANSWER_OFFSET);
    Answer.mun32Number = un32Number;
    Answer.maun32Word[0] = r;
    CVQCAFMsgBuffer Out;
    s = Out.SerializeFromMsg(Answer, nullptr);
    if (!VQX_RESULT_FAILED(s)) s = Link.SendMsg(Out, 0);
  } catch (...) {
    s = VqcafCatchCurrentException(kOpReceived, __FILE__, __LINE__).un32Result;
  }
  if (VQX_RESULT_FAILED(s))
    LogTrace(VQERR, "%s", VqcafFormatFailureLine(kOpReceived, "Failed to send the answer to the manager", s,
                                                 __FILE__, __LINE__).c_str());
}

bool CVQCAFServiceCmMgmtClient::IsWaiting(u64 un64Link, const VQCAF_CM_REQUEST_KEY& Key) const {
  const auto Same = [&](const Queued& q) { return !q.fRefused && q.un64Link == un64Link && q.Key == Key; };
  return (mRunning && Same(*mRunning)) || std::any_of(maQueued.begin(), maQueued.end(), Same);
}

void CVQCAFServiceCmMgmtClient::Queue(CVQCAFCmManagerLink& Link, VQCAF_CM_REQUEST_KEY&& Key, VQX_RESULT rRefusal) {
  const u32 un32Id = Key.un32Id, un32Number = Key.un32Number;
  if (mfClosing) {
    LogTrace(VQLV1, "Request 0x%08X nb=%u dropped: the client stops\n", un32Id, un32Number);
    return;
  }
  if (maQueued.size() >= kQueuedMax) {
    u32 un32LeftOut = 0;
    char szLeftOut[64];
    if (mFullLimit.Allow(VQXGetClock(), un32LeftOut))
      LogTrace(VQERR, "Request 0x%08X nb=%u dropped unanswered: %u requests wait already%s\n", un32Id, un32Number,
               static_cast<u32>(maQueued.size()), VqxLogLimitLeftOutText(un32LeftOut, szLeftOut, sizeof(szLeftOut)));
    return;
  }
  const size_t nBefore = maQueued.size() + (mRunning ? 1 : 0);
  maQueued.push_back({Link.GetSerial(), std::move(Key), VQX_RESULT_FAILED(rRefusal), rRefusal});
  if (nBefore != 0)
    LogTrace(VQLV1, "Request 0x%08X nb=%u waits for %u request(s) before it\n", un32Id, un32Number,
             static_cast<u32>(nBefore));
  mpRunner->EventPost(CVQCAFEvent(kEventQueued));
}

void CVQCAFCmManagerLink::OnMsgReceived(CVQCAFService*, CVQCAFMsgBuffer& Msg) { mpClient->OnManagerMsg(*this, Msg); }

void CVQCAFServiceCmMgmtClient::OnManagerMsg(CVQCAFCmManagerLink& Link, CVQCAFMsgBuffer& Msg) {
  try {
    CVQCAFMutexAutoGetGive Guard(&mServiceMutex);
    const u32 un32Id = Msg.GetMsgId();
    if (un32Id == VQCAF_MSG_SERVICE_CONNECTED || un32Id == VQCAF_MSG_SERVICE_DISCONNECTED) {
      LogTrace(VQMSG, "CM manager %s on host %s\n", un32Id == VQCAF_MSG_SERVICE_CONNECTED ? "connected" : "disconnected",
               Link.GetHost().c_str());
      return;
    }
    if (un32Id < VQCAF_MSG_CM_OP_VALIDATE || un32Id > VQCAF_MSG_CM_OP_DB_MAINTENANCE) {
      LogTrace(VQERR, "OnMsgReceived not supported MsgId=0x%08x\n", un32Id);
      return;
    }
    if (maManagers.empty() || maManagers.front().get() != &Link) {
      LogTrace(VQLV1, "Request 0x%08X of the standby manager on host %s dropped\n", un32Id, Link.GetHost().c_str());
      return;
    }
    CVQCAFMsgCmMgmt Request(un32Id);
    const VQX_RESULT r = Request.ReadFrom(Msg);
    const VQX_MSG_HANDLE h = Msg.GetMsgHandle(0);
    if (VQX_RESULT_FAILED(r)) {
      CVQCAFString strText;
      strText.Format("%s request 0x%08X (number %u, %u bytes) refused",
                     r == VQX_RESULT_INVALID_PARAM ? "Oversized" : "Short", un32Id, Request.mun32Number,
                     h != nullptr ? h->un32PayloadLength : 0u);
      LogTrace(VQERR, "%s", VqcafFormatFailureLine(kOpReceived, strText.c_str(), r, __FILE__, __LINE__).c_str());
      if (!Request.mfNumberRead) return;  // nothing to answer to
    }
    const u32 un32Number = Request.mun32Number;
    VQCAF_CM_REQUEST_KEY Key;
    Key.un32Id = un32Id, Key.un32Number = un32Number;
    for (u32 i = 0; i < 2 && VQX_RESULT_SUCCEEDED(r); i++) {
      Key.aun32Word[i] = Request.maun32Word[i];
      Key.astrText[i].assign(Request.mastrText[i].c_str(), Request.mastrText[i].GetLength());
    }
    if (VQX_RESULT_FAILED(r)) {
      Queue(Link, std::move(Key), r);
      return;
    }
    /* The manager sends a request again until it is answered: a copy is answered, or left to the one waiting. */
    if (const VQX_RESULT* pr = Link.mAnswered.Find(Key)) {
      LogTrace(VQLV1, "Request 0x%08X nb=%u sent again: answered again, not run twice\n", un32Id, un32Number);
      SendAnswer(Link, un32Id, un32Number, *pr);
      return;
    }
    if (IsWaiting(Link.GetSerial(), Key)) {
      LogTrace(VQLV1, "Request 0x%08X nb=%u sent again while it waits or runs: not queued twice\n", un32Id, un32Number);
      return;
    }
    Queue(Link, std::move(Key), VQX_RESULT_OK);
  } catch (const std::exception&) {
    VQCAF_FAILURE F = VqcafCatchCurrentException(kOpReceived, __FILE__, __LINE__);
    LogTrace(VQERR, "%s", F.strLine.c_str());
  }
}

void CVQCAFServiceCmMgmtClient::RunQueued() {
  static constexpr const char* kOpRun = "CVQCAFServiceCmMgmtClient::RunQueued";
  CVQCAFMutexAutoGetGive Guard(&mServiceMutex);
  while (!maQueued.empty() && mpRunner->IsStopRequested() == 0) {
    mRunning = std::move(maQueued.front());
    maQueued.pop_front();
    const u32 un32Id = mRunning->Key.un32Id, un32Number = mRunning->Key.un32Number;
    VQX_RESULT r = mRunning->rRefusal;
    if (!mRunning->fRefused) {
      LogTrace(VQMSG, "Request 0x%08X nb=%u\n", un32Id, un32Number);
      try {
        r = Dispatch(mRunning->Key);
      } catch (...) {
        VQCAF_FAILURE F = VqcafCatchCurrentException(kOpRun, __FILE__, __LINE__);
        LogTrace(VQERR, "%s", F.strLine.c_str());
        r = F.un32Result;
      }
    }
    Queued Done = std::move(*mRunning);
    mRunning.reset();
    const auto it = std::find_if(maManagers.begin(), maManagers.end(),
                                 [&](const auto& p) { return p->GetSerial() == Done.un64Link; });
    if (it == maManagers.end()) {
      LogTrace(VQMSG, "Request 0x%08X nb=%u ended (0x%08X) %s: not answered\n", un32Id, un32Number, r,
               mfClosing ? "as the client stops" : "after its manager left");
      continue;
    }
    try {
      if (!Done.fRefused) (*it)->mAnswered.Add(Done.Key, r, VQXGetClock());
    } catch (...) {
      /* Not kept: a copy would run again, but this answer still goes. */
      VQCAF_FAILURE F = VqcafCatchCurrentException(kOpRun, __FILE__, __LINE__);
      LogTrace(VQERR, "%s", F.strLine.c_str());
    }
    SendAnswer(**it, un32Id, un32Number, r);
  }
}

}  // namespace VQCAF
