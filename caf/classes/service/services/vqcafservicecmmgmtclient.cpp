/* vqcafservicecmmgmtclient.cpp - the configuration-management client (see its header). */
#include "vqcafservicecmmgmtclient.h"

#include <string.h>

#include <algorithm>
#include <new>

#include "vqcafcomm.h"
#include "vqcafexception.h"
#include "vqcafhashkey.h"
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

/* The client's thread: each wake-up runs everything whose turn has come, so that a wake-up its full event queue
 * refuses is not missed (one already queued runs it); it also wakes every kPassMs for the lines due and the numbers
 * dropped that are not sent again. */
class CVQCAFCmRequestRunner : public CVQCAFThread {
 public:
  explicit CVQCAFCmRequestRunner(CVQCAFServiceCmMgmtClient* pClient)
      : CVQCAFThread(VQCAF_THREAD_PRIO_DEFAULT, 4), mpClient(pClient) {}
  ~CVQCAFCmRequestRunner() override { Stop(1); }
  void Run() override {
    CVQCAFEvent Event;
    while (IsStopRequested() == 0) {
      EventWait(&Event, CVQCAFServiceCmMgmtClient::kPassMs);
      if (IsStopRequested() == 0) mpClient->RunQueued();
    }
  }

 private:
  CVQCAFServiceCmMgmtClient* mpClient;
};

VQCAF_CM_REQUEST_MARK VQCAF_CM_REQUEST_MARK::Of(const VQCAF_CM_REQUEST_KEY& Key) {
  std::string strAll;
  const auto Word = [&strAll](u32 un32) { strAll.append(reinterpret_cast<const char*>(&un32), sizeof(un32)); };
  for (u32 un32 : {Key.aun32Word[0], Key.aun32Word[1], Key.rRefusal}) Word(un32);
  for (const std::string& strText : Key.astrText) {
    Word(static_cast<u32>(strText.size()));
    strAll += strText;
  }
  return {Key.un32Id, Key.un32Number,
          CVQCAFHashKeyString(CVQCAFString(strAll.data(), static_cast<u32>(strAll.size()))).Hash(true)};
}

const VQX_RESULT* CVQCAFCmAnswers::Find(const VQCAF_CM_REQUEST_MARK& Mark) const {
  for (auto it = ma.rbegin(); it != ma.rend(); ++it)
    if (it->Mark == Mark) return &it->r;
  return nullptr;
}

bool CVQCAFCmAnswers::HasNumber(u32 un32Number) const {
  return std::any_of(ma.begin(), ma.end(), [un32Number](const Entry& e) { return e.Mark.un32Number == un32Number; });
}

void CVQCAFCmAnswers::Add(const VQCAF_CM_REQUEST_MARK& Mark, VQX_RESULT r, u64 un64NowMs) {
  ma.push_back({Mark, r, un64NowMs});
  const auto Old = [un64NowMs](const Entry& e) { return un64NowMs >= e.un64AtMs && un64NowMs - e.un64AtMs >= kAnsweredHoldMs; };
  while (ma.size() > kAnsweredMax || (ma.size() > kAnsweredKept && Old(ma.front()))) ma.pop_front();
}

std::vector<CVQCAFCmNumbers::Range>::iterator CVQCAFCmNumbers::Find(u32 n) {
  return std::partition_point(ma.begin(), ma.end(), [n](const Range& r) { return VqcafCmBefore(r.un32Last, n); });
}

bool CVQCAFCmNumbers::Add(u32 n, u64 un64NowMs) {
  const auto it = Find(n);
  if (it != ma.end() && !VqcafCmBefore(n, it->un32First)) {  // in already
    it->un64SeenMs = un64NowMs;
    return true;
  }
  const bool fPrev = it != ma.begin() && std::prev(it)->un32Last + 1 == n;
  const bool fNext = it != ma.end() && n + 1 == it->un32First;
  if (fPrev && fNext) {
    std::prev(it)->un32Last = it->un32Last;
    std::prev(it)->un64SeenMs = un64NowMs;
    ma.erase(it);
  } else if (fPrev) {
    std::prev(it)->un32Last = n, std::prev(it)->un64SeenMs = un64NowMs;
  } else if (fNext) {
    it->un32First = n, it->un64SeenMs = un64NowMs;
  } else {
    if (ma.size() >= mnMax) return false;
    ma.insert(it, {n, n, un64NowMs});
  }
  return true;
}

void CVQCAFCmNumbers::JoinClosest() {
  if (ma.size() < 2) return;
  size_t iBest = 0;
  for (size_t i = 1; i + 1 < ma.size(); i++)
    if (ma[i + 1].un32First - ma[i].un32Last < ma[iBest + 1].un32First - ma[iBest].un32Last) iBest = i;
  ma[iBest].un32Last = ma[iBest + 1].un32Last;
  ma[iBest].un64SeenMs = std::max(ma[iBest].un64SeenMs, ma[iBest + 1].un64SeenMs);
  ma.erase(ma.begin() + static_cast<std::ptrdiff_t>(iBest) + 1);
}

bool CVQCAFCmNumbers::Remove(u32 n, u64 un64NowMs) {
  const auto it = Find(n);
  if (it == ma.end() || VqcafCmBefore(n, it->un32First)) return false;
  it->un64SeenMs = un64NowMs;
  if (it->un32First == it->un32Last) {
    ma.erase(it);
  } else if (n == it->un32First) {
    it->un32First++;
  } else if (n == it->un32Last) {
    it->un32Last--;
  } else {
    const Range Upper = {n + 1, it->un32Last, un64NowMs};
    it->un32Last = n - 1;
    ma.insert(std::next(it), Upper);
    if (ma.size() > mnMax) JoinClosest();
  }
  return true;
}

void CVQCAFCmNumbers::RemoveUpTo(u32 n) {
  const auto it = Find(n + 1);  // the first range that reaches past n
  ma.erase(ma.begin(), it);
  if (!ma.empty() && !VqcafCmBefore(n, ma.front().un32First)) ma.front().un32First = n + 1;
}

std::vector<CVQCAFCmNumbers::Range> CVQCAFCmNumbers::TakeOlder(u64 un64NowMs, u64 un64Ms) {
  std::vector<Range> aOld;
  std::erase_if(ma, [&](const Range& r) {
    if (un64NowMs < r.un64SeenMs || un64NowMs - r.un64SeenMs < un64Ms) return false;
    aOld.push_back(r);
    return true;
  });
  return aOld;
}

u64 CVQCAFCmNumbers::Count() const {
  u64 un64 = 0;
  for (const Range& r : ma) un64 += static_cast<u64>(r.un32Last - r.un32First) + 1;
  return un64;
}

std::string CVQCAFCmNumbers::Text(size_t nFrom, size_t nCount) const {
  std::string strText;
  for (size_t i = nFrom; i < ma.size() && i - nFrom < nCount; i++) {
    if (!strText.empty()) strText += ", ";
    strText += Text(ma[i]);
  }
  return strText;
}

std::string CVQCAFCmNumbers::Text(const Range& r) {
  std::string strText = std::to_string(r.un32First);
  if (r.un32Last == r.un32First) return strText;
  strText += '-';
  return strText += std::to_string(r.un32Last);
}

CVQCAFCmLinkOrder::Arrival CVQCAFCmLinkOrder::Arrive(VQCAF_CM_REQUEST_KEY&& Key, u64 un64NowMs) {
  const u32 n = Key.un32Number;
  const VQCAF_CM_REQUEST_MARK Mark = VQCAF_CM_REQUEST_MARK::Of(Key);
  if (mRunning && mRunning->un32Number == n) return {*mRunning == Mark ? Fate::Copy : Fate::NumberBusy};
  const auto ByNumber = [](const VQCAF_CM_REQUEST_KEY& k, u32 un32) { return VqcafCmBefore(k.un32Number, un32); };
  const auto it = std::lower_bound(maWaiting.begin(), maWaiting.end(), n, ByNumber);
  if (it != maWaiting.end() && it->un32Number == n) return {*it == Key ? Fate::Copy : Fate::NumberBusy};
  /* At or below the highest run: a copy, or a request whose turn is past; never run. */
  if (mfRan && !VqcafCmBefore(mun32Highest, n)) {
    if (const VQX_RESULT* pr = mAnswers.Find(Mark)) return {Fate::AnsweredAgain, *pr};
    if (mAnswers.HasNumber(n)) return {Fate::Refused, kNumberUsed};
    return {Fate::Refused, Ran(n) ? kRanNotKept : kTurnPast};
  }
  Arrival a;
  if (maWaiting.size() >= kWaitingMax) {
    if (!VqcafCmBefore(n, maWaiting.back().un32Number)) {
      if (!mDropped.Add(n, un64NowMs)) mDropped.JoinClosest(), mDropped.Add(n, un64NowMs);
      return {Fate::Dropped};
    }
    /* The lowest numbers wait: the highest makes room, and is dropped. */
    a.fEvicted = true, a.un32Evicted = maWaiting.back().un32Number;
    maWaiting.pop_back();
    if (!mDropped.Add(a.un32Evicted, un64NowMs)) mDropped.JoinClosest(), mDropped.Add(a.un32Evicted, un64NowMs);
  }
  const auto itAt = std::lower_bound(maWaiting.begin(), maWaiting.end(), n, ByNumber);
  a.un32Ahead = static_cast<u32>(itAt - maWaiting.begin()) + (mRunning ? 1 : 0);
  maWaiting.insert(itAt, std::move(Key));
  mDropped.Remove(n, un64NowMs);
  return a;
}

std::optional<VQCAF_CM_REQUEST_KEY> CVQCAFCmLinkOrder::TakeNext() {
  if (maWaiting.empty() || mRunning) return std::nullopt;
  const u32 n = maWaiting.front().un32Number;
  if (!mDropped.Empty() && VqcafCmBefore(mDropped.Ranges().front().un32First, n)) return std::nullopt;
  std::optional<VQCAF_CM_REQUEST_KEY> Next(std::move(maWaiting.front()));
  maWaiting.pop_front();
  const u32 un32Step = n - mun32Highest;
  if (!mfRan || un32Step >= kRunMarks) {
    mRunMarks.reset();
  } else {
    mRunMarks <<= un32Step;
  }
  mRunMarks.set(0);
  mfRan = true, mun32Highest = n;
  mDropped.RemoveUpTo(n);  // a number joined in by JoinClosest that never was dropped
  mRunning = VQCAF_CM_REQUEST_MARK::Of(*Next);
  return Next;
}

void CVQCAFCmLinkOrder::Ended(VQX_RESULT r, u64 un64NowMs) {
  if (mRunning) mAnswers.Add(*mRunning, r, un64NowMs);
  mRunning.reset();
}

bool CVQCAFCmLinkOrder::Ran(u32 n) const {
  if (!mfRan || VqcafCmBefore(mun32Highest, n)) return false;
  const u32 un32Back = mun32Highest - n;
  return un32Back >= kRunMarks || mRunMarks.test(un32Back);
}

CVQCAFCmNumbers CVQCAFCmLinkOrder::WaitingNumbers() const {
  CVQCAFCmNumbers Numbers(SIZE_MAX);
  for (const VQCAF_CM_REQUEST_KEY& Key : maWaiting) Numbers.Add(Key.un32Number, 0);
  return Numbers;
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
  for (const auto& p : maManagers) LetWaitingGo(*p, true);
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

void CVQCAFServiceCmMgmtClient::LetWaitingGo(CVQCAFCmManagerLink& Link, bool fStops) {
  const u32 un32Waiting = static_cast<u32>(Link.mOrder.WaitingCount());
  if (un32Waiting == 0) return;
  /* Named by number, in lines of 64 ranges at most. */
  constexpr size_t kRangesPerLine = 64;
  const CVQCAFCmNumbers Numbers = Link.mOrder.WaitingNumbers();
  const size_t nRanges = Numbers.Ranges().size();
  const char* pszMore = nRanges > kRangesPerLine ? " ..." : "";
  if (fStops) {
    LogTrace(VQMSG, "The client stops: %u waiting request(s) of the manager on host %s not run: nb=%s%s\n",
             un32Waiting, Link.GetHost().c_str(), Numbers.Text(0, kRangesPerLine).c_str(), pszMore);
  } else {
    LogTrace(VQMSG, "CM manager on host %s left: its %u waiting request(s) not run: nb=%s%s\n", Link.GetHost().c_str(),
             un32Waiting, Numbers.Text(0, kRangesPerLine).c_str(), pszMore);
  }
  for (size_t i = kRangesPerLine; i < nRanges; i += kRangesPerLine)
    LogTrace(VQMSG, "... not run either: nb=%s%s\n", Numbers.Text(i, kRangesPerLine).c_str(),
             i + kRangesPerLine < nRanges ? " ..." : "");
  Link.mOrder.Clear();
}

void CVQCAFServiceCmMgmtClient::OnServiceDisconnected(CVQCAFService*, CVQCAFServiceInstance* pInstance) {
  CVQCAFMutexAutoGetGive Guard(&mServiceMutex);
  for (auto it = maManagers.begin(); it != maManagers.end(); ++it) {
    if (it->get() != pInstance) continue;
    const bool fAnswered = it == maManagers.begin();
    CVQCAFCmManagerLink& Link = **it;
    const CVQCAFString strHost = Link.GetHost();
    LogTrace(VQLV2, "OnServiceDisconnected\n");
    /* Nobody is left to answer: its requests waiting are not run; the one running ends, unanswered. */
    LogDue(Link, VQXGetClock(), true);
    LetWaitingGo(Link, mfClosing);
    if (mRunning && mRunning->un64Link == Link.GetSerial())
      LogTrace(VQMSG, "CM manager on host %s left while its request 0x%08X nb=%u runs: it runs to its end, its answer "
               "sent to nobody\n", strHost.c_str(), mRunning->Key.un32Id, mRunning->Key.un32Number);
    maManagers.erase(it);
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

void CVQCAFServiceCmMgmtClient::NoteDropped(CVQCAFCmManagerLink& Link, u32 n, u64 un64NowMs) {
  Link.mun32DropsInLine++;
  if (!Link.mDropLine.Add(n, un64NowMs)) Link.mun32DropsUnnamed++;
  LogDue(Link, un64NowMs, false);
}

void CVQCAFServiceCmMgmtClient::LogDue(CVQCAFCmManagerLink& Link, u64 un64NowMs, bool fForce) {
  u32 un32LeftOut = 0;
  if (Link.mun32DropsInLine != 0 && (Link.mDropLimit.Allow(un64NowMs, un32LeftOut) || fForce)) {
    /* A drop is normal under a flood: the manager sends the request again, and it runs in its turn. */
    char szUnnamed[48] = "";
    if (Link.mun32DropsUnnamed != 0) snprintf(szUnnamed, sizeof(szUnnamed), " and %u more", Link.mun32DropsUnnamed);
    LogTrace(VQMSG, "%u request(s) of the manager on host %s dropped unanswered: %u requests wait already; nb=%s%s (each "
             "runs in its turn once sent again)\n", Link.mun32DropsInLine, Link.GetHost().c_str(),
             static_cast<u32>(CVQCAFCmLinkOrder::kWaitingMax), Link.mDropLine.Text().c_str(), szUnnamed);
    Link.mun32DropsInLine = Link.mun32DropsUnnamed = 0;
    Link.mDropLine.Clear();
  }
  for (const CVQCAFCmNumbers::Range& r : Link.mOrder.ForgetDropped(un64NowMs))
    LogTrace(VQMSG, "Request(s) nb=%s of the manager on host %s dropped and not sent again for %u s: forgotten, the "
             "higher numbers run\n", CVQCAFCmNumbers::Text(r).c_str(), Link.GetHost().c_str(),
             static_cast<u32>(CVQCAFCmLinkOrder::kDroppedForgetMs / 1000));
}

void CVQCAFServiceCmMgmtClient::Take(CVQCAFCmManagerLink& Link, VQCAF_CM_REQUEST_KEY&& Key) {
  const u32 un32Id = Key.un32Id, un32Number = Key.un32Number;
  if (mfClosing) {
    LogTrace(VQLV1, "Request 0x%08X nb=%u dropped: the client stops\n", un32Id, un32Number);
    return;
  }
  const u64 un64NowMs = VQXGetClock();
  const CVQCAFCmLinkOrder::Arrival a = Link.mOrder.Arrive(std::move(Key), un64NowMs);
  using Fate = CVQCAFCmLinkOrder::Fate;
  u32 un32LeftOut = 0;
  char szLeftOut[64];
  switch (a.What) {
    case Fate::Queued:
      if (a.un32Ahead != 0)
        LogTrace(VQLV1, "Request 0x%08X nb=%u waits for %u request(s) before it\n", un32Id, un32Number, a.un32Ahead);
      if (a.fEvicted) NoteDropped(Link, a.un32Evicted, un64NowMs);
      mpRunner->EventPost(CVQCAFEvent(kEventQueued));
      return;
    case Fate::Dropped:
      NoteDropped(Link, un32Number, un64NowMs);
      return;
    case Fate::Copy:
      LogTrace(VQLV1, "Request 0x%08X nb=%u sent again while it waits or runs: not queued twice\n", un32Id, un32Number);
      return;
    case Fate::AnsweredAgain:
      LogTrace(VQLV1, "Request 0x%08X nb=%u sent again: answered again, not run twice\n", un32Id, un32Number);
      SendAnswer(Link, un32Id, un32Number, a.r);
      return;
    case Fate::NumberBusy:
      /* Not answered: the answer of that number goes to the request waiting or running. */
      if (Link.mRefusalLimit.Allow(un64NowMs, un32LeftOut))
        LogTrace(VQERR, "Request 0x%08X nb=%u dropped: another request of that number waits or runs%s\n", un32Id,
                 un32Number, VqxLogLimitLeftOutText(un32LeftOut, szLeftOut, sizeof(szLeftOut)));
      return;
    case Fate::Refused:
      if (a.r == CVQCAFCmLinkOrder::kRanNotKept) {
        LogTrace(VQLV1, "Request 0x%08X nb=%u sent again: it ran, its answer is no longer kept: answered 0x%08X, not "
                 "run twice\n", un32Id, un32Number, a.r);
      } else if (Link.mRefusalLimit.Allow(un64NowMs, un32LeftOut)) {
        LogTrace(VQERR, "Request 0x%08X nb=%u refused (0x%08X): %s%s\n", un32Id, un32Number, a.r,
                 a.r == CVQCAFCmLinkOrder::kNumberUsed ? "its number ran as another request"
                                                       : "a higher number ran already, requests run in number order",
                 VqxLogLimitLeftOutText(un32LeftOut, szLeftOut, sizeof(szLeftOut)));
      }
      SendAnswer(Link, un32Id, un32Number, a.r);
      return;
  }
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
    Key.rRefusal = VQX_RESULT_FAILED(r) ? r : VQX_RESULT_OK;
    Take(Link, std::move(Key));
  } catch (const std::exception&) {
    VQCAF_FAILURE F = VqcafCatchCurrentException(kOpReceived, __FILE__, __LINE__);
    LogTrace(VQERR, "%s", F.strLine.c_str());
  }
}

void CVQCAFServiceCmMgmtClient::RunQueued() {
  static constexpr const char* kOpRun = "CVQCAFServiceCmMgmtClient::RunQueued";
  CVQCAFMutexAutoGetGive Guard(&mServiceMutex);
  for (const auto& p : maManagers) LogDue(*p, VQXGetClock(), false);
  /* The manager answered is the first: the others' requests are not taken. */
  while (!maManagers.empty() && mpRunner->IsStopRequested() == 0) {
    std::optional<VQCAF_CM_REQUEST_KEY> Next = maManagers.front()->mOrder.TakeNext();
    if (!Next) break;
    mRunning = Running{maManagers.front()->GetSerial(), std::move(*Next)};
    const VQCAF_CM_REQUEST_KEY& Key = mRunning->Key;
    const u32 un32Id = Key.un32Id, un32Number = Key.un32Number;
    VQX_RESULT r = Key.rRefusal;
    if (!VQX_RESULT_FAILED(r)) {
      LogTrace(VQMSG, "Request 0x%08X nb=%u\n", un32Id, un32Number);
      try {
        r = Dispatch(Key);
      } catch (...) {
        VQCAF_FAILURE F = VqcafCatchCurrentException(kOpRun, __FILE__, __LINE__);
        LogTrace(VQERR, "%s", F.strLine.c_str());
        r = F.un32Result;
      }
    }
    const u64 un64Link = mRunning->un64Link;
    mRunning.reset();
    const auto it = std::find_if(maManagers.begin(), maManagers.end(),
                                 [&](const auto& p) { return p->GetSerial() == un64Link; });
    if (it == maManagers.end()) {
      LogTrace(VQMSG, "Request 0x%08X nb=%u ended (0x%08X) %s: not answered\n", un32Id, un32Number, r,
               mfClosing ? "as the client stops" : "after its manager left");
      continue;
    }
    try {
      (*it)->mOrder.Ended(r, VQXGetClock());
    } catch (...) {
      /* Not kept: a copy is answered that it ran, and this answer still goes. */
      VQCAF_FAILURE F = VqcafCatchCurrentException(kOpRun, __FILE__, __LINE__);
      LogTrace(VQERR, "%s", F.strLine.c_str());
    }
    SendAnswer(**it, un32Id, un32Number, r);
  }
}

}  // namespace VQCAF
