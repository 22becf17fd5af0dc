/*
 * sigtrace_app_loop.cpp - the main loop and the handling of the adapter
 * events and of the application's own messages: an adapter per board, the
 * configured entities attached when a board is ready, the activation
 * messages of the selected entities; and of the remote hosts' path-down and
 * removed events, for what a provider's link lost as it closed.
 *
 * Main thread only, under the application mutex (released while waiting).
 */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "sigtrace_adapter_wire_internal.h"
#include "sigtrace_app.h"
#include "sigtrace_board_trace.h"

namespace VQCAF {

namespace {

constexpr u32 kReceiveTimeout = 0x82010003u;  /* nothing arrived within the wait */
constexpr u32 kFilterAwakened = 0x82010210u;  /* the filter was woken */

/* Messages taken per receive: as many as the library hands out at once. A
 * reader that takes sixteen at a time falls behind a board's burst (the
 * library's lock changes hands every sixteen units, and once behind every
 * unit costs more); a whole batch still takes no more than a few
 * milliseconds, text included, before the console and the providers get
 * their turn. */
constexpr u32 kReceiveBatch = VQX_MAX_MSG_PER_RECEIVE_LOOP;

/* A NUL-terminated text of at most un32Size bytes at un32Offset of the payload
 * ("" when the payload does not hold the whole field). */
CVQCAFString PayloadText(const CVQSigTraceCursor& c, u32 un32Offset, u32 un32Size) {
  if (!c.Has(un32Offset) || c.Size() - un32Offset < un32Size) return CVQCAFString();
  const std::span<const u8> b = c.Bytes(un32Offset, un32Size);
  const auto itEnd = std::find(b.begin(), b.end(), u8{0});
  return CVQCAFString(std::string(b.begin(), itEnd).c_str());
}

/* The configured record's adapter field names this board: its name or its
 * second identifying text, case-blind; an empty field names no board. */
bool NamesBoard(const CVQSigTraceEntityParams& E, const CVQCAFString& strName, const CVQCAFString& strName2) {
  if (E.mstrAdapterName.IsEmpty()) return false;
  return CVQSigTraceCfgCmdLine::IsAdapterSelected(E.mstrAdapterName.c_str(), strName.c_str()) ||
         (!strName2.IsEmpty() && CVQSigTraceCfgCmdLine::IsAdapterSelected(E.mstrAdapterName.c_str(), strName2.c_str()));
}

/* Standard output's read end is gone (the reader closed the pipe). */
bool StdoutBroken() {
  pollfd p{STDOUT_FILENO, POLLOUT, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
}

/* SIGTERM and SIGINT received so far by the process: the first ends the
 * run, one during the close cuts it short. Lock-free, for the handler. */
std::atomic<u32> s_un32QuitSignals{0};
static_assert(std::atomic<u32>::is_always_lock_free, "counted from a signal handler");

/* The signals' self-pipe: made once (by the first main loop) and never
 * closed, so that a late signal never writes into a descriptor reused since.
 * Non-blocking: a full pipe already holds a wake-up. */
std::atomic<int> s_anQuitPipe[2] = {-1, -1};

void OpenQuitPipe() {
  static std::once_flag s_Once;
  std::call_once(s_Once, [] {
    int an[2];
    if (pipe2(an, O_CLOEXEC | O_NONBLOCK) != 0) return;
    s_anQuitPipe[0].store(an[0]);
    s_anQuitPipe[1].store(an[1]);
  });
}

void PokeQuitPipe() {
  const int n = s_anQuitPipe[1].load();
  if (n >= 0) {
    const ssize_t nWritten = write(n, "q", 1);
    (void)nWritten;
  }
}

/* While the main loop runs: a thread that waits on the self-pipe and wakes
 * the loop's receive for each signal (the host library's wake-up is no call
 * for a signal handler). */
class CQuitWatcher {
 public:
  explicit CQuitWatcher(std::function<void()> fnWake) : mfnWake(std::move(fnWake)), mThread([this] { Run(); }) {}
  ~CQuitWatcher() {
    mfStop.store(true);
    PokeQuitPipe();
    mThread.join();
  }
  CQuitWatcher(const CQuitWatcher&) = delete;
  CQuitWatcher& operator=(const CQuitWatcher&) = delete;

 private:
  void Run() {
    const int nRead = s_anQuitPipe[0].load();
    while (nRead >= 0 && !mfStop.load()) {
      pollfd p{nRead, POLLIN, 0};
      if (poll(&p, 1, -1) < 0 && errno != EINTR) return;
      char a[64];
      while (read(nRead, a, sizeof(a)) > 0) {
      }
      if (!mfStop.load()) mfnWake();
    }
  }
  std::function<void()> mfnWake;
  std::atomic<bool> mfStop{false};
  std::thread mThread;
};

}  // namespace

void VqSigTraceSignalQuit() {
  s_un32QuitSignals.fetch_add(1);
  if (volatile u32* pfQuit = VqSigTraceQuitFlag()) *pfQuit = 1;
  PokeQuitPipe();
}

u32 VqSigTraceQuitSignals() { return s_un32QuitSignals.load(); }

void CVQSigTrace::RequestQuit() {
  mfEnding = true;
  mfQuit = 1;
  /* The close begins: a send waiting for room no longer holds it (the main thread may wait for a lock such a
   * sender holds). */
  if (mhHostLib != nullptr) VQXEndSendWaits(mhHostLib);
  if (mhHostLib != nullptr && mhFilter != nullptr) VQXWakeMsgFilter(mhHostLib, mhFilter);
}

std::vector<_VQX_FILTER_PARAMS> CVQSigTrace::FilterSets(bool fUnits) {
  /* Adapter events, the boards' and remote hosts' path-down events (what a
   * link lost), the remote hosts' removed events, the application's own messages, the five
   * families' on/off answers and, while units are taken, their units: an
   * answer that comes after the units stopped is taken still, so that what
   * the host library counts as taken by no filter then is units only. */
  std::vector<_VQX_FILTER_PARAMS> aSets;
  const auto Add = [&](u32 un32Mask, u32 un32Id, u32 un32Group) {
    _VQX_FILTER_PARAMS S{};
    S.un32Version = 1, S.un32Mask = un32Mask, S.MsgId = un32Id, S.MsgGroup = un32Group;
    aSets.push_back(S);
  };
  Add(VQX_FILTER_MASK_MSG_ID, VQX_MSG_ID_API_NOTIF_ADAPTER_ADDED, 0);
  Add(VQX_FILTER_MASK_MSG_ID, VQX_MSG_ID_API_NOTIF_ADAPTER_REMOVED, 0);
  Add(VQX_FILTER_MASK_MSG_ID, VQX_MSG_ID_API_NOTIF_ADAPTER_GW_DOWN, 0);
  Add(VQX_FILTER_MASK_MSG_ID, VQX_MSG_ID_API_NOTIF_HOST_GW_DOWN, 0);
  Add(VQX_FILTER_MASK_MSG_ID, VQX_MSG_ID_API_NOTIF_HOST_REMOVED, 0);
  Add(VQX_FILTER_MASK_MSG_GROUP, 0, QUELLAN_NOTIF_ADAPTER_READY >> 16);
  for (EVQTraceFamily e : {EVQTraceFamily::Ss7, EVQTraceFamily::Lapd, EVQTraceFamily::Isdn, EVQTraceFamily::Casr2,
                           EVQTraceFamily::Ip}) {
    if (fUnits) Add(VQX_FILTER_MASK_MSG_ID, VqTraceFamily(e).un32NotifId, 0);
    Add(VQX_FILTER_MASK_MSG_ID, VqTraceFamily(e).un32RequestId, 0);
  }
  return aSets;
}

u32 CVQSigTrace::CreateFilter() {
  std::vector<_VQX_FILTER_PARAMS> aSets = FilterSets(true);
  const VQX_RESULT r = VQXCreateMsgFilterDbg(mhHostLib, static_cast<u32>(aSets.size()), aSets.data(), &mhFilter,
                                             __FILE__, __LINE__);
  if (VQX_RESULT_FAILED(r)) return Failure("CVQSigTrace::CreateFilter", "Failed to create hostlib filter", r, __LINE__);
  return VQX_RESULT_OK;
}

u32 CVQSigTrace::MainLoop() {
  static constexpr const char* kOp = "CVQSigTrace::MainLoop";
  CVQCAFMutexAutoGetGive Lock(&mAppMutex);
  if (mfInitDone == 0 || mhFilter == nullptr) return Failure(kOp, "Init must succeed first", VQX_RESULT_INVALID_STATE, __LINE__);
  u64 un64NextStdoutCheck = VQXGetClock() + VQ_SIGTRACE_STDOUT_POLL_MS;
  OpenQuitPipe();  /* a signal before it only set the flag, which the loop reads first */
  const VQX_LIB_HANDLE hLib = mhHostLib;
  const VQX_FILTER_HANDLE hFilter = mhFilter;  /* both stay until the clean-up, after this loop */
  /* A signal begins the close: no thread's wait for room in a peer's queue holds it, whatever this thread waits
   * for (a lock that such a sender holds); this thread's own sends stop waiting once the run is to end. */
  CQuitWatcher Watcher([hLib, hFilter] {
    VQXEndSendWaits(hLib);
    VQXWakeMsgFilter(hLib, hFilter);
  });
  const struct SendWaitEnd {
    const volatile u32* pfBefore;
    ~SendWaitEnd() { VQXSetThreadSendWaitEnd(pfBefore); }
  } MainSends{VQXSetThreadSendWaitEnd(&mfQuit)};
  while (mfQuit == 0) {
    /* What is waiting, in bounded batches: the mutex is given back only
     * around the wait, so the console and the providers get their turn
     * between two batches. A batch is dispatched whole, quit or not: its
     * messages have left the filter, where the close's drain looks. */
    VQX_MSG_HANDLE ahMsg[kReceiveBatch];
    u32 un32Count = kReceiveBatch;
    VQX_RESULT r;
    {
      CVQCAFMutexAutoGiveGet Unlock(&mAppMutex);
      r = VQXSendReceiveMsgMultipleDbg(mhHostLib, 0, nullptr, mhFilter, VQ_SIGTRACE_RECEIVE_WAIT_MS, &un32Count, ahMsg,
                                       __FILE__, __LINE__);
    }
    if (VQX_RESULT_SUCCEEDED(r)) {
      const u32 un32Taken = std::min(un32Count, kReceiveBatch);
      for (u32 i = 0; i < un32Taken; i++) {
        if (ahMsg[i] != nullptr) DispatchMsg(reinterpret_cast<unsigned int*>(ahMsg[i]));
      }
      /* Given back together once the batch is written: the library's
       * buffer lock is taken in one run rather than between two units,
       * where the transport's reader waited on it. */
      for (u32 i = 0; i < un32Taken; i++) {
        if (ahMsg[i] != nullptr) VQXReleaseMsgDbg(mhHostLib, &ahMsg[i], __FILE__, __LINE__);
      }
    } else if (r != kReceiveTimeout && r != kFilterAwakened) {
      Failure(kOp, "VQXReceiveMsg failed", r, __LINE__);
      CVQCAFMutexAutoGiveGet Unlock(&mAppMutex);
      std::this_thread::sleep_for(std::chrono::milliseconds(VQ_SIGTRACE_BACKOFF_MS));
    }
    OnLoopTurn(r == kReceiveTimeout);
    LogProviderRefusalsDue(false);
    NoteUnlinkedPeers(false);
    const u64 un64Now = VQXGetClock();
    if (RunTimeOver(un64Now)) {
      LogTrace(VQMSG, "Test duration (%u) completed, quitting application!", mCmdLine.mun32ExecTimeMs);
      mfQuit = 1;
    }
    if (mCmdLine.mfStdout != 0 && un64Now >= un64NextStdoutCheck) {
      un64NextStdoutCheck = un64Now + VQ_SIGTRACE_STDOUT_POLL_MS;
      if (StdoutBroken()) {
        LogTrace(VQERR, "Standard output closed by its reader, quitting application!");
        mfQuit = 1;
      }
    }
  }
  mfEnding = true;
  LogTrace(VQMSG, "MainLoop ended (0x%08X)", mun32RunResult);
  return mun32RunResult;
}

u32 CVQSigTrace::DispatchMsg(unsigned int* pMsg) {
  if (pMsg == nullptr) return VQX_RESULT_NULL_PARAM;
  const u32 un32Id = reinterpret_cast<const VQX_MSG_HEADER*>(pMsg)->un32MsgId;
  switch (un32Id) {
    case VQX_MSG_ID_API_NOTIF_ADAPTER_ADDED: return HandleNotifAdapterAdded(pMsg);
    case VQX_MSG_ID_API_NOTIF_ADAPTER_REMOVED: return HandleNotifAdapterRemoved(pMsg);
    case QUELLAN_NOTIF_ADAPTER_READY: return HandleNotifAdapterReady(pMsg);
    case QUELLAN_NOTIF_ACTIVATE_MONITORING: return HandleNotifActivateMonitoring(pMsg);
    case VQX_MSG_ID_API_NOTIF_ADAPTER_GW_DOWN:
    case VQX_MSG_ID_API_NOTIF_HOST_GW_DOWN: return HandleNotifGwDown(pMsg);
    case VQX_MSG_ID_API_NOTIF_HOST_REMOVED: return HandleNotifHostRemoved(pMsg);
    default: break;
  }
  if (VqTraceFamilyOfNotif(un32Id) != nullptr) return HandleTraceUnit(pMsg);
  if (VqTraceFamilyOfRequest(un32Id) != nullptr) return HandleTraceAnswer(pMsg);
  LogTrace(VQERR, "MainLoop: not supported MsgId=0x%08x", un32Id);
  return VQX_RESULT_INVALID_PARAM;
}

const char* CVQSigTrace::AdapterName(CVQSigTraceAdapter& Adapter) {
  const CVQCAFHashKeyString* pKey = mAdapters.GetKey(&Adapter);
  return pKey != nullptr ? pKey->c_str() : Adapter.GetAdapterName();
}

CVQSigTraceAdapter* CVQSigTrace::FindAdapterOf(unsigned int* pMsg, u32 un32Offset) {
  const CVQCAFString strName = PayloadText(vqdisc::AnswerPayload(pMsg), un32Offset, VQ_SIGTRACE_NOTIF_NAME_FIELD);
  return strName.IsEmpty() ? nullptr : mAdapters.Find(CVQCAFHashKeyString(strName));
}

u32 CVQSigTrace::HandleNotifAdapterAdded(unsigned int* pMsg) {
  static constexpr const char* kOp = "CVQSigTrace::HandleNotifAdapterAdded";
  try {
    const CVQSigTraceCursor c = vqdisc::AnswerPayload(pMsg);
    const CVQCAFString strName = PayloadText(c, VQ_SIGTRACE_NOTIF_OFFSET_NAME, VQ_SIGTRACE_NOTIF_NAME_FIELD);
    if (strName.IsEmpty()) return Failure(kOp, "Adapter added without a name", VQX_RESULT_INVALID_PARAM, __LINE__);
    const u32 hAdapter = vqdisc::Le32(c, VQ_SIGTRACE_NOTIF_OFFSET_HANDLE);
    if (mAdapters.Find(CVQCAFHashKeyString(strName)) != nullptr) {
      LogTrace(VQMSG, "Adapter %s added again: already known", strName.c_str());
      return VQX_RESULT_OK;
    }
    /* Every place taken: it waits for the first that frees; known as waiting, its handle is kept up to date. */
    const CVQSigTracePlaces::EVQPlace Place = mBoardPlaces.Arrive(strName.c_str(), strName.c_str(), mAdapters.GetCount(), hAdapter);
    if (Place == CVQSigTracePlaces::EVQPlace::StillWaiting) return VQX_RESULT_OK;
    if (Place == CVQSigTracePlaces::EVQPlace::Served) {
      AddAdapter(strName, hAdapter);
      return VQX_RESULT_OK;
    }
    static_assert(QUELLAN_MAX_ADAPTERS == 32, "the line names the limit");
    const std::string strText = std::string("Too many adapters detected: board ") +
                                strName.c_str() + " waits for a place (32 at most), traced once one frees";
    return Failure(kOp, strText.c_str(), VQX_RESULT_OUT_OF_RESOURCE, __LINE__);
  } catch (const CVQSigTraceTruncated&) {
    return Failure(kOp, "Adapter added event too short", VQX_RESULT_INVALID_PARAM, __LINE__);
  }
}

void CVQSigTrace::AddAdapter(const CVQCAFString& strName, u32 hAdapter) {
  CVQSigTraceAdapter* pAdapter = mAdapters.Alloc(CVQCAFDebugInfo(__FILE__, __LINE__), CVQCAFHashKeyString(strName));
  if (pAdapter == nullptr) {
    Failure("CVQSigTrace::AddAdapter", (std::string("Cannot allocate the adapter of board ") + strName.c_str()).c_str(),
            VQX_RESULT_NOT_ENOUGH_MEMORY, __LINE__);
    mBoardPlaces.NameLeftOut(strName.c_str());
    return;
  }
  LogTrace(VQMSG, "\033[32mAdapter %s added (handle 0x%08X)\033[m", strName.c_str(), hAdapter);
  /* What the command line traces on it takes the table's places first. */
  if (mCmdLine.IsAdapterSelected(strName.c_str())) pAdapter->TraceFirst(mCmdLine);
  (void)pAdapter->Init(hAdapter);
  mUnitIndex.Invalidate(); /* its entities' units carry the new handle */
  /* Back after a reload: its units go on into the groups the configuration keeps them in, until its discovery
   * completes (what the reload removed or moved takes none). */
  if (mReloadedBoards.count(strName.c_str()) != 0) HoldBackAfterReload(strName);
}

u32 CVQSigTrace::HandleNotifAdapterRemoved(unsigned int* pMsg) {
  CVQSigTraceAdapter* pAdapter = FindAdapterOf(pMsg, VQ_SIGTRACE_REMOVED_OFFSET_NAME);
  if (pAdapter == nullptr) {
    const CVQCAFString strName =
        PayloadText(vqdisc::AnswerPayload(pMsg), VQ_SIGTRACE_REMOVED_OFFSET_NAME, VQ_SIGTRACE_NOTIF_NAME_FIELD);
    if (mBoardPlaces.Leave(strName.c_str()))
      LogTrace(VQMSG, "Adapter %s removed while it waited for a place", strName.c_str());
    return VQX_RESULT_OK;
  }
  LogTrace(VQMSG, "\033[31mAdapter %s removed\033[m", AdapterName(*pAdapter));
  /* Its entities stay in their groups, for their counts: when the board
   * comes back, each entity it still has takes its record over
   * (AttachEntityToGroup); after a reload meanwhile, those the configuration
   * no longer selects there are switched off (SwitchOffUnselected). Those
   * switched off already stay so. */
  const CVQCAFString strName(AdapterName(*pAdapter));
  /* Its thread stopped, what it left out is kept for the summary, while its records still tell what it traced. */
  pAdapter->Clear();
  KeepBoardLeftOut(*pAdapter, true);
  mGroups.ResetNext();
  for (CVQSigTraceGrp* g = mGroups.Next(); g != nullptr; g = mGroups.Next())
    for (CVQSigTraceEntityParams& E : g->mvEntities)
      if (E.mun32Type != VQ_SIGTRACE_TYPE_H248 && E.mstrAdapterName == strName && E.mfGone == 0)
        E.mfGone = VQ_SIGTRACE_GONE_BOARD;
  mGroups.ResetNext();
  mAdapters.Free(CVQCAFDebugInfo(__FILE__, __LINE__), pAdapter);
  mUnitIndex.Invalidate();
  CVQSigTracePlaces::SVQWaiting Next;
  if (mBoardPlaces.ServeNext(mAdapters.GetCount(), nullptr, &Next)) {
    LogTrace(VQMSG, "Adapter %s: its place goes to %s, the first board waiting for one", strName.c_str(),
             Next.strName.c_str());
    AddAdapter(CVQCAFString(Next.strName.c_str()), Next.un32Tag);
  }
  AttachEntitiesWaitingForGroup(); /* its groups may give their place now */
  return VQX_RESULT_OK;
}

u32 CVQSigTrace::HandleNotifGwDown(unsigned int* pMsg) {
  try {
    const CVQSigTraceCursor c = vqdisc::AnswerPayload(pMsg);
    const u32 un32Lost = vqdisc::Le32(c, VQX_NOTIF_OFFSET_LOST);
    if (un32Lost == 0) return VQX_RESULT_OK;
    if (reinterpret_cast<const VQX_MSG_HEADER*>(pMsg)->un32MsgId == VQX_MSG_ID_API_NOTIF_ADAPTER_GW_DOWN) {
      CountBoardLinkLost(vqdisc::Le32(c, VQX_NOTIF_OFFSET_HANDLE), un32Lost);
      return VQX_RESULT_OK;
    }
    const auto it = mProviderHosts.find(vqdisc::Le32(c, VQX_NOTIF_OFFSET_HANDLE));
    if (it == mProviderHosts.end()) {
      /* No provider's: no trace data of this server's. */
      LogTrace(VQMSG, "Host 0x%08X: %u message(s) lost as its link closed, not a provider's",
               vqdisc::Le32(c, VQX_NOTIF_OFFSET_HANDLE), un32Lost);
      return VQX_RESULT_OK;
    }
    CountProviderLinkLost(it->second.strKey, un32Lost);
    return VQX_RESULT_OK;
  } catch (const CVQSigTraceTruncated&) {
    return Failure("CVQSigTrace::HandleNotifGwDown", "Path-down event too short", VQX_RESULT_INVALID_PARAM, __LINE__);
  }
}

u32 CVQSigTrace::HandleNotifHostRemoved(unsigned int* pMsg) {
  /* 8 handle, 16 the host's record: its paths' losses came before, in the same queue. */
  constexpr u32 kInfoOffset = 16u;
  constexpr u32 kIdOffset = kInfoOffset + offsetof(_VQX_HOST_INFO, un64UniqueHostId);
  try {
    const CVQSigTraceCursor c = vqdisc::AnswerPayload(pMsg);
    const u64 un64Id = vqdisc::Le32(c, kIdOffset) | static_cast<u64>(vqdisc::Le32(c, kIdOffset + 4)) << 32;
    const auto it = mProviderHosts.find(vqdisc::Le32(c, VQX_NOTIF_OFFSET_HANDLE));
    /* A later process of the handle keeps its record. */
    if (it != mProviderHosts.end() && it->second.un64UniqueId == un64Id) {
      mProviderHosts.erase(it);
      FoldLossesOfProvidersGone();
    }
    return VQX_RESULT_OK;
  } catch (const CVQSigTraceTruncated&) {
    return Failure("CVQSigTrace::HandleNotifHostRemoved", "Host removed event too short", VQX_RESULT_INVALID_PARAM,
                   __LINE__);
  }
}

u32 CVQSigTrace::HandleNotifAdapterReady(unsigned int* pMsg) {
  static constexpr const char* kOp = "CVQSigTrace::HandleNotifAdapterReady";
  CVQSigTraceAdapter* pAdapter = FindAdapterOf(pMsg, VQ_SIGTRACE_NOTIF_OFFSET_NAME);
  if (pAdapter == nullptr)
    return Failure(kOp, "Adapter context not found, when receiving QUELLAN_NOTIF_ADAPTER_READY", VQX_RESULT_FAIL, __LINE__);
  const CVQSigTraceCursor c = vqdisc::AnswerPayload(pMsg);
  const CVQCAFString strName(AdapterName(*pAdapter));
  const CVQCAFString strName2 = PayloadText(c, VQ_SIGTRACE_NOTIF_OFFSET_NAME2, VQ_SIGTRACE_NOTIF_NAME_FIELD);
  /* After a reload, the ready message of the discovery that followed it
   * (one of the discovery before it attaches, and the next one follows), or
   * of the board's first discovery when it was away at the reload. */
  const bool fComplete = pAdapter->IsAdapterReady() != 0;
  const bool fReloaded = mReloadedBoards.count(strName.c_str()) != 0 && fComplete;
  std::vector<CVQSigTraceEntityParams> vConfigured =
      ConfiguredOn(strName, strName2, [pAdapter](CVQCAFString& strEntity, CVQSigTraceEntityParams& Entity) {
        return pAdapter->GetEntityInformation(strEntity, &Entity) != 0;
      });
  const bool fSelected = mCmdLine.IsAdapterSelected(strName.c_str());
  if (fComplete) {
    /* Kept for a reload made while the board is away: its units go on into the groups that keep them. Not from a
     * ready message a later discovery overtook: its table is that discovery's, being filled. */
    SVQBoardSelection& Selection = mBoardSelections[strName.c_str()];
    Selection.strName2 = strName2;
    Selection.vSelected.clear();
    if (fSelected) Selection.vSelected = pAdapter->CommandLineSelection(mCmdLine);
    for (CVQSigTraceEntityParams& E : Selection.vSelected) E.mstrAdapterName = strName;
  }
  if (fReloaded) {
    /* What a start with this configuration would trace on the board: the
     * configured entities first, then those the command line activates. */
    mReloadedBoards.erase(strName.c_str());
    mUnitIndex.Invalidate(); /* its records take its units again */
    std::vector<CVQSigTraceEntityParams> vWanted = vConfigured;
    const std::vector<CVQSigTraceEntityParams>& vSelected = mBoardSelections[strName.c_str()].vSelected;
    vWanted.insert(vWanted.end(), vSelected.begin(), vSelected.end());
    SwitchOffUnselected(strName, vWanted);
  }
  for (CVQSigTraceEntityParams& Entity : vConfigured) AttachEntityToGroup(*pAdapter, Entity);
  if (fSelected) {
    LogTrace(VQMSG,
             "\033[32mActivate all signaling entities on %s SS7=%u ISDN=%u CASR2=%u SIP=%u H248=%u TXT2PCAP=%u "
             "EXTENDED=%u\033[m",
             strName.c_str(), mCmdLine.mfSs7, mCmdLine.mfIsdn, mCmdLine.mfCasr2, mCmdLine.mfIp, mCmdLine.mfH248,
             mCmdLine.mfCapFormat, mCmdLine.mfCasr2Extended);
    /* An entity the file traces in a group of its own stays there: no activation (nor its line) for it. */
    pAdapter->ActivateAllTraces(mCmdLine, [&](const CVQSigTraceEntityParams& E) { return TracedByTheConfiguration(strName, E); });
  }
  return VQX_RESULT_OK;
}

std::vector<CVQSigTraceEntityParams> CVQSigTrace::ConfiguredOn(
    const CVQCAFString& strAdapter, const CVQCAFString& strName2,
    const std::function<bool(CVQCAFString&, CVQSigTraceEntityParams&)>& fnFind) {
  std::vector<CVQSigTraceEntityParams> vConfigured;
  for (const CVQSigTraceEntityParams& Configured : mSigTraceParams) {
    if (Configured.mun32Type == VQ_SIGTRACE_TYPE_H248) continue;  /* providers' groups, never a board's */
    CVQSigTraceEntityParams Entity;
    if (Configured.mun32Type == VQ_SIGTRACE_TYPE_BY_NAME) {
      CVQCAFString strEntity = Configured.mstrName;
      if (!fnFind(strEntity, Entity)) continue;
      Entity.mstrGroupName = Configured.mstrGroupName;
      Entity.mfCapFile = Configured.mfCapFile;
      Entity.mfExtended = Configured.mfExtended;
    } else {
      if (!NamesBoard(Configured, strAdapter, strName2)) continue;
      Entity = Configured;
    }
    Entity.mstrAdapterName = strAdapter;
    if (Entity.mun32Type == VQ_SIGTRACE_TYPE_CASR2) Entity.mfCapFile = 0;
    Entity.mfConfigured = 1;
    vConfigured.push_back(Entity);
  }
  return vConfigured;
}

void CVQSigTrace::HoldBackAfterReload(const CVQCAFString& strAdapter) {
  /* The records of the board's earlier stay stand for its entities until its discovery completes: an entity the
   * file names by the board's own name is the one a record holds under that name (or as "<board>_<name>"). */
  std::map<std::string, const CVQSigTraceEntityParams*> Earlier;
  const std::string strPrefix = std::string(strAdapter.c_str()) + "_";
  mGroups.ResetNext();
  for (CVQSigTraceGrp* g = mGroups.Next(); g != nullptr; g = mGroups.Next())
    for (const CVQSigTraceEntityParams& R : g->mvEntities) {
      if ((R.mfGone != VQ_SIGTRACE_GONE_BOARD && R.mfGone != VQ_SIGTRACE_GONE_HELD) ||
          strcasecmp(R.mstrAdapterName.c_str(), strAdapter.c_str()) != 0)
        continue;
      const std::string strName(R.mstrName.c_str());
      Earlier.emplace(strName, &R);
      if (strName.rfind(strPrefix, 0) == 0) Earlier.emplace(strName.substr(strPrefix.size()), &R);
    }
  mGroups.ResetNext();
  if (Earlier.empty()) return;
  const auto itSelection = mBoardSelections.find(strAdapter.c_str());
  const CVQCAFString strName2 = itSelection != mBoardSelections.end() ? itSelection->second.strName2 : CVQCAFString();
  std::vector<CVQSigTraceEntityParams> vWanted =
      ConfiguredOn(strAdapter, strName2, [&](CVQCAFString& strEntity, CVQSigTraceEntityParams& Entity) {
        const auto it = Earlier.find(strEntity.c_str());
        if (it != Earlier.end()) Entity = *it->second;
        return it != Earlier.end();
      });
  if (itSelection != mBoardSelections.end())
    vWanted.insert(vWanted.end(), itSelection->second.vSelected.begin(), itSelection->second.vSelected.end());
  HoldBackUnselected(strAdapter, vWanted);
}

u32 CVQSigTrace::HandleNotifActivateMonitoring(unsigned int* pMsg) {
  static constexpr const char* kOp = "CVQSigTrace::HandleNotifActivateMonitoring";
  CVQSigTraceAdapter* pAdapter = FindAdapterOf(pMsg, VQ_SIGTRACE_NOTIF_OFFSET_NAME);
  if (pAdapter == nullptr)
    return Failure(kOp, "Adapter context not found, when receiving QUELLAN_NOTIF_ACTIVATE_MONITORING", VQX_RESULT_FAIL,
                   __LINE__);
  try {
    const CVQSigTraceCursor c = vqdisc::AnswerPayload(pMsg);
    CVQCAFString strEntity = PayloadText(c, VQ_SIGTRACE_NOTIF_OFFSET_ENTITY, VQ_SIGTRACE_NOTIF_NAME_FIELD);
    CVQSigTraceEntityParams Entity;
    if (strEntity.IsEmpty() || pAdapter->GetEntityInformation(strEntity, &Entity) == 0) return VQX_RESULT_OK;
    const CVQCAFString strGroup = PayloadText(c, VQ_SIGTRACE_NOTIF_OFFSET_GROUP, VQ_SIGTRACE_NOTIF_NAME_FIELD);
    if (strGroup.IsEmpty()) return Failure(kOp, "Activation without a group name", VQX_RESULT_INVALID_PARAM, __LINE__);
    Entity.mstrGroupName = strGroup;
    Entity.mun32Port = vqdisc::Le32(c, VQ_SIGTRACE_NOTIF_OFFSET_PORT);
    Entity.mfCapFile = vqdisc::Le32(c, VQ_SIGTRACE_NOTIF_OFFSET_PCAP) != 0 ? 1 : 0;
    Entity.mfExtended = vqdisc::Le32(c, VQ_SIGTRACE_NOTIF_OFFSET_EXTENDED) != 0 ? 1 : 0;
    /* CAS R2 is written as text whatever the run time. */
    if (Entity.mun32Type == VQ_SIGTRACE_TYPE_CASR2) Entity.mfCapFile = 0;
    return AttachEntityToGroup(*pAdapter, Entity);
  } catch (const CVQSigTraceTruncated&) {
    return Failure(kOp, "Activation message too short", VQX_RESULT_INVALID_PARAM, __LINE__);
  }
}

}  // namespace VQCAF
