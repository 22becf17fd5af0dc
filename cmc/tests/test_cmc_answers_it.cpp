/*
 * Answers and ends of a leg against the stand-in server (testing/cmcsim) on
 * 127.0.0.1: 100,000 digit plays whose answers the server holds and then
 * sends at once, in order or the last first, all reach the leg (none is
 * refused by a full job queue, none is failed as lost when the call ends),
 * and when none ever comes the call's end fails each once; digit plays sent
 * flat out while the server answers each at once are all answered, with the
 * default queues and with small ones, and beside a flood of notifications
 * each command accepted is answered or failed to its listener;
 * a malformed end of a call or mixer (cut short, or of another message
 * type) leaves it hearing what follows, its proper end included; an answer
 * the server sends twice reaches the leg and its listener once.
 */
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <map>

#include "cmc_it_leg.h"
#include "cmc_test_support.h"
#include "vqcmc_lib_internal.h"

namespace {

using cmcit::CItLeg;
using cmcit::CItListener;
using cmcit::CItMixer;
using cmcit::CJournal;

constexpr u32 kBurst = 100000;
/* Digit plays of the flat-out sender: VQX_CMC_FLAT_OUT when set, else all 100,000 in an optimised
 * build and fewer under the sanitizers, whose threads run several times slower. */
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr u32 kFlatOutDefault = 20000;
#else
constexpr u32 kFlatOutDefault = 100000;
#endif
const u32 kFlatOut = getenv("VQX_CMC_FLAT_OUT") != nullptr ? static_cast<u32>(atoi(getenv("VQX_CMC_FLAT_OUT")))
                                                           : kFlatOutDefault;
const std::string kDigitPlay = "0x0A010061";
/* The long runs' waits: failed once nothing moved for kStallMs (a stall), else given up to kCapMs (a loaded machine
 * may run them slowly, within the test's own time limit). */
constexpr unsigned kStallMs = 15000, kCapMs = 240000;

/* A leg that counts its digit-play answers instead of writing each into the journal. */
class CCountingLeg : public CItLeg {
 public:
  using CItLeg::CItLeg;
  void OnPlayDigitResponse(_VQCMC_MSG_CMD_DIGIT_PLAY* p, unsigned int* pf) override {
    *pf = 0;
    (p->Head.n32Result >= 0 ? mun32Ok : mun32Failed)++;
  }
  std::atomic<u32> mun32Ok{0}, mun32Failed{0};
};

/* A listener that counts the failures it is handed, by their text. */
class CCountingListener : public IVQCMCErrorListener {
 public:
  void OnCmcLegError(unsigned int* pfHandled, CVQCMCLegError& e) override {
    std::lock_guard Lock(mGuard);
    mCounts[e.what()]++;
    *pfHandled = 1;
  }
  void OnCmcMixerError(unsigned int*, CVQCMCMixerError&) override {}
  std::map<std::string, u32> Counts() {
    std::lock_guard Lock(mGuard);
    return mCounts;
  }
  std::mutex mGuard;
  std::map<std::string, u32> mCounts;
};

class CmcAnswersIt : public testing::Test {
 protected:
  void SetUp() override { Run.Open("cmc_answers_it"); }
  void TearDown() override {
    EXPECT_EQ(Run.Server.Violations(), 0) << Run.Server.Command("stats");
    if (mfClosed) return;
    // A freed leg's journal line comes first in its destructor: the job that freed it ends after.
    EXPECT_TRUE(peerwait::WaitUntil(
        [&] {
          _VQCMC_LIB_STATS Stats{};
          return VQX_RESULT_SUCCEEDED(VQCmcLibGetStats(Run.mhCmc, &Stats)) && Stats.un32JobsQueued == 0 &&
                 Stats.un32JobsRunning == 0;
        },
        20000));
    Run.Close();
  }
  /* A call on a leg that counts its digit-play answers (L its default listener), the stand-in's log off. */
  void Call(CJournal& J, CCountingListener& L, CCountingLeg*& A) {
    A = new CCountingLeg(J, "A");
    A->mfFreeOnEnd = true;
    ASSERT_TRUE(J.Step([&] { EXPECT_EQ(A->CreateCall(nullptr, &L), VQX_RESULT_OK); }, "A:Create ok;")) << J.Get();
    ASSERT_EQ(Run.Server.Command("log off"), "ok");
  }
  /* The call's end: the leg freed, un32Lost of its requests failed to the listener as lost before. */
  void End(CJournal& J, CCountingListener& L, CCountingLeg* A, u32 un32Lost) {
    EXPECT_TRUE(J.Step(Run.Notify(VQCMC_MSG_NOTIF_CALL_LEG_TERMINATED, A->GetLegId(), "reason=16"),
                       "A:Terminated 16 0;A:Freed;"))
        << J.Get();
    using Counts = std::map<std::string, u32>;
    const Counts Lost{{"Request lost: terminated before its response", un32Lost}};
    EXPECT_EQ(L.Counts(), un32Lost == 0 ? Counts{} : Lost);
  }
  /* The stand-in holds the answers of kBurst digit plays on one leg (its default listener), then
   * sends them at once; every one reaches the leg, and the call's end finds none still waiting.
   * Without a release (no answer ever comes) the call's end fails each to the listener once. */
  void Burst(const char* pszRelease) {
    CJournal J;
    CCountingListener L;
    CCountingLeg* A = nullptr;
    Call(J, L, A);
    if (HasFatalFailure()) return;
    ASSERT_EQ(Run.Server.Command("hold"), "ok");
    const auto Sent = std::chrono::steady_clock::now();
    for (u32 i = 0; i < kBurst; i++) ASSERT_EQ(A->PlayDigit("1", &L), VQX_RESULT_OK) << i;
    ASSERT_TRUE(peerwait::WaitWhileProgress([&] { return Run.Server.Stat("held"); }, kBurst, kStallMs, kCapMs))
        << Run.Server.Command("stats");
    std::printf("held after %.2f s\n", std::chrono::duration<double>(std::chrono::steady_clock::now() - Sent).count());
    if (pszRelease != nullptr) {
      const auto Start = std::chrono::steady_clock::now();
      ASSERT_EQ(Run.Server.Command(pszRelease), "ok");
      EXPECT_TRUE(peerwait::WaitWhileProgress([&] { return A->mun32Ok + A->mun32Failed; }, kBurst, kStallMs, kCapMs))
          << A->mun32Ok << " answers";
      std::printf("%s: %u of %u answers in %.2f s\n", pszRelease, A->mun32Ok.load(), kBurst,
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count());
    }
    EXPECT_EQ(A->mun32Ok, pszRelease != nullptr ? kBurst : 0u);
    End(J, L, A, pszRelease != nullptr ? 0 : kBurst);
  }
  /* One leg sends kFlatOut digit plays as fast as it can while the stand-in answers each at once: the sender waits
   * for room in the send queue while the answers come in, and every play is answered. */
  void FlatOut() {
    CJournal J;
    CCountingListener L;
    CCountingLeg* A = nullptr;
    Call(J, L, A);
    if (HasFatalFailure()) return;
    const auto Start = std::chrono::steady_clock::now();
    for (u32 i = 0; i < kFlatOut; i++) ASSERT_EQ(A->PlayDigit("1", &L), VQX_RESULT_OK) << i;
    EXPECT_TRUE(peerwait::WaitWhileProgress([&] { return A->mun32Ok + A->mun32Failed; }, kFlatOut, kStallMs, kCapMs))
        << A->mun32Ok << " answers, " << Run.Server.Command("stats");
    std::printf("flat out: %u of %u answered in %.2f s\n", A->mun32Ok.load(), kFlatOut,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count());
    EXPECT_EQ(A->mun32Ok, kFlatOut);
    End(J, L, A, 0);
  }
  CmcServerRun Run;
  bool mfClosed = false; /* the test closed the run itself */
};

TEST_F(CmcAnswersIt, BurstOfHeldAnswersInOrderLosesNone) { Burst("release"); }

TEST_F(CmcAnswersIt, BurstOfHeldAnswersReversedLosesNone) { Burst("release reversed"); }

TEST_F(CmcAnswersIt, BurstNeverAnsweredFailsEachOnceAtTheEnd) { Burst(nullptr); }

TEST_F(CmcAnswersIt, FlatOutSenderAnsweredAtOnce) { FlatOut(); }

/* The same with a send queue of 32 and a receive fifo of 16, so the remote hosts' bound: the cycle of a sender
 * waiting for room that only the reading of the answers frees comes within the first plays, also in the slower
 * builds of the sanitizers. */
class CmcSmallQueuesIt : public CmcAnswersIt {
 protected:
  void SetUp() override {
    Run.Open("cmc_answers_it", [](CVQCAFCommParams& P) {
      P.mun32SendFifoSize = 32;
      P.mun32ReceiveFifoSize = 16;
    });
  }
};

TEST_F(CmcSmallQueuesIt, FlatOutSenderAnsweredAtOnce) { FlatOut(); }

/* The stand-in stopped (SIGSTOP) while a leg sends flat out: the sender waits for room holding the core library's
 * lock, which the intake waits for, which the stop waits for. Detach returns all the same, the waiting send failing
 * with 0x82010218 (its message dropped); later commands are refused. The rest of the close, the stand-in still
 * stopped, returns too: the core library's (the end of its filter, told to the server, dropped rather than waited
 * for), then the framework's (which ends every send's wait first, and gives up on what the server does not take). */
TEST_F(CmcSmallQueuesIt, DetachLetsOutASenderWaitingOnAStoppedServer) {
  CJournal J;
  CCountingListener L;
  CCountingLeg* A = nullptr;
  Call(J, L, A);
  if (HasFatalFailure()) return;
  struct Stopped {
    explicit Stopped(pid_t p) : pid(p) { kill(pid, SIGSTOP); }
    ~Stopped() { kill(pid, SIGCONT); }
    pid_t pid;
  } stopped(Run.Server.Pid());
  std::atomic<u32> un32Sent{0};
  std::atomic<VQX_RESULT> last{0};
  peerwait::BoundedThread sender([&] {
    VQX_RESULT r = VQX_RESULT_OK;
    for (u32 i = 0; i < 10000000 && r == VQX_RESULT_OK; i++) {
      if ((r = A->PlayDigit("1", &L)) == VQX_RESULT_OK) un32Sent++;
    }
    last = r;
  });
  // Waiting for room, once the sockets are full too: the sender keeps the core library's lock to itself (a command
  // holds it a few microseconds) and sends nothing more, seen 200 times in a row.
  u32 un32Held = 0, un32SentSeen = 0;
  ASSERT_TRUE(cmcpeer::WaitUntil(
      [&] {
        const bool fFree = VqxMutexTryGet(Run.mhCmc->hThreadSem) == VQX_RESULT_OK;
        if (fFree) VqxMutexGive(Run.mhCmc->hThreadSem);
        un32Held = fFree || un32Sent != un32SentSeen ? 0 : un32Held + 1;
        un32SentSeen = un32Sent;
        return un32Held >= 200;
      },
      60000))
      << un32Sent << " sent";
  auto Detached = std::async(std::launch::async, [] { return CVQCMCLib::Detach(); });
  const bool fReturned = Detached.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  if (!fReturned) kill(Run.Server.Pid(), SIGCONT); /* lets a hung Detach end before the assertion */
  ASSERT_TRUE(fReturned) << "Detach waited for the stopped server";
  EXPECT_EQ(Detached.get(), VQX_RESULT_OK);
  ASSERT_TRUE(sender.JoinWithin(10000));
  EXPECT_EQ(last.load(), VQX_RESULT_API_TXMSG_DROPPED) << un32Sent << " sent";
  EXPECT_EQ(A->PlayDigit("1", &L), VQX_RESULT_NOT_INITIALIZED);
  EXPECT_EQ(A->FreeLeg(), VQX_RESULT_OK);
  EXPECT_EQ(A->CheckFreeLeg(), VQX_RESULT_OK);
  // The core library's close first, then the framework's as the process ends (it first ends every send's wait).
  auto Closed = std::async(std::launch::async, [&] { Run.Close([] { CVQCAFComm::EndSendWaits(); }); });
  const bool fClosed = Closed.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  kill(Run.Server.Pid(), SIGCONT);
  mfClosed = true;
  EXPECT_TRUE(fClosed) << "the close waited for the stopped server";
}

/* The resident memory of this process, in KiB (0 when unknown). */
long RssKiB() {
  std::ifstream Status("/proc/self/status");
  for (std::string strLine; std::getline(Status, strLine);)
    if (strLine.rfind("VmRSS:", 0) == 0) return atol(strLine.c_str() + 6);
  return 0;
}

/* A leg sends flat out beside a flood of notifications (for a leg the client does not know). Its sender waits for room
 * holding the core library's lock, so the flood piles up unread, to the bound past which every wait for room ends
 * with its batch dropped (0x82010218). Every command accepted concludes all the same, answered or failed to its own
 * listener, none left waiting for the end of the call. Rows: the stand-in deaf while the flood comes, until a batch
 * was dropped (the bound reached for sure), the sender then stopped; and a stand-in that reads all along, the sender
 * going on for kFlatOut accepted commands (VQX_CMC_FLOOD sets that row's flood, for measurements). */
TEST_F(CmcSmallQueuesIt, FlatOutSenderBesideAFloodConcludesEveryCommand) {
  const u32 un32Flood = getenv("VQX_CMC_FLOOD") != nullptr ? static_cast<u32>(atoi(getenv("VQX_CMC_FLOOD"))) : 100000;
  const struct {
    const char* pszName;
    bool fDeaf;
    u32 un32Flood;
  } aRows[] = {{"deaf while the flood comes", true, 40000}, {"reading all along", false, un32Flood}};
  for (const auto& Row : aRows) {
    SCOPED_TRACE(Row.pszName);
    CJournal J;
    CCountingListener L;
    CCountingLeg* A = nullptr;
    Call(J, L, A);
    if (HasFatalFailure()) return;
    const auto Dropped = [&] {
      _VQX_LIB_STATS Stats{};
      VQXLibGetStats(Run.mhCmc->hVqxLib, &Stats);
      return Stats.TxMsgDropped;
    };
    const u64 un64Dropped = Dropped();
    const long nRssBefore = RssKiB();
    if (Row.fDeaf) {
      ASSERT_EQ(Run.Server.Command("deaf"), "ok");
    }
    std::atomic<bool> fStop{false};
    std::atomic<u32> un32Accepted{0}, un32Refused{0};
    peerwait::BoundedThread sender([&] {
      for (u32 i = 0; i < 5000000 && !fStop; i++) (A->PlayDigit("1", &L) == VQX_RESULT_OK ? un32Accepted : un32Refused)++;
    });
    const auto Flood = [&] {
      return Run.Server.Command("events 0x0A010012 " + std::to_string(Row.un32Flood) + " 0xDEAD") == "ok";
    };
    if (Row.fDeaf) {
      // Waiting for room once the sockets are full: the sender keeps the library's lock, seen 200 times in a row.
      u32 un32Held = 0;
      ASSERT_TRUE(cmcpeer::WaitUntil(
          [&] {
            const bool fFree = VqxMutexTryGet(Run.mhCmc->hThreadSem) == VQX_RESULT_OK;
            if (fFree) VqxMutexGive(Run.mhCmc->hThreadSem);
            return (un32Held = fFree ? 0 : un32Held + 1) >= 200;
          },
          60000));
      ASSERT_TRUE(Flood());
      EXPECT_TRUE(cmcpeer::WaitUntil([&] { return Dropped() > un64Dropped; }, 120000)) << "a batch dropped at the bound";
      fStop = true;
      ASSERT_EQ(Run.Server.Command("hear", 60), "ok");
    } else {
      ASSERT_TRUE(Flood());
      EXPECT_TRUE(peerwait::WaitWhileProgress([&] { return std::min<u32>(un32Accepted, kFlatOut); }, kFlatOut, kStallMs,
                                              kCapMs));
      fStop = true;
    }
    ASSERT_TRUE(sender.JoinWithin(60000));
    const auto Concluded = [&] { return A->mun32Ok + A->mun32Failed; };
    EXPECT_TRUE(peerwait::WaitWhileProgress(Concluded, un32Accepted, kStallMs, kCapMs)) << Run.Server.Command("stats");
    std::printf("%s: %u accepted (%u refused at once), %u answered, %u failed, %u not concluded; %llu dropped at "
                "the bound; resident +%ld KiB\n",
                Row.pszName, un32Accepted.load(), un32Refused.load(), A->mun32Ok.load(), A->mun32Failed.load(),
                un32Accepted - Concluded(), static_cast<unsigned long long>(Dropped() - un64Dropped),
                RssKiB() - nRssBefore);
    EXPECT_EQ(Concluded(), un32Accepted.load());
    if (Row.fDeaf) {
      EXPECT_GT(A->mun32Failed, 0u) << "each command of a dropped batch failed to its listener";
    }
    EXPECT_TRUE(J.Step(Run.Notify(VQCMC_MSG_NOTIF_CALL_LEG_TERMINATED, A->GetLegId(), "reason=16"),
                       "A:Terminated 16 0;A:Freed;"))
        << J.Get();
    EXPECT_EQ(L.Counts().count("Request lost: terminated before its response"), 0u) << "none waited for the end";
  }
}

/* A call-terminated notification or a terminating indication, cut short or whole with another message type, and a
 * mixer's end of another type: the client refuses them, and the leg or mixer still hears what follows; a refused end
 * changes nothing (the leg is not terminating), so the leg still joins a mixer. */
TEST_F(CmcAnswersIt, MalformedEndLeavesTheLegOrMixerHearing) {
  constexpr u32 kEnded = VQCMC_MSG_NOTIF_CALL_LEG_TERMINATED, kEnding = VQCMC_MSG_NOTIF_CALL_LEG_TERMINATING_INDICATION;
  const struct {
    const char* pszName;
    u32 un32Id; /* the end refused */
    const char* pszFields;
  } aRows[] = {
      {"cut to 40 bytes", kEnded, "reason=16 cut=40"},
      {"a response's type", kEnded, "reason=16 kind=2"},
      {"a command's type", kEnded, "reason=16 kind=1"},
      {"terminating, cut to 40 bytes", kEnding, "reason=16 cut=40"},
      {"terminating, a byte short of its protocol attribute", kEnding, "reason=16 cut=183"},
      {"terminating, a response's type", kEnding, "reason=16 kind=2"},
  };
  CJournal J, JM;
  CItListener L(J, "L");
  auto* M = new CItMixer(JM, "M");
  M->mfFreeOnEnd = true;
  ASSERT_TRUE(JM.Step([&] { EXPECT_EQ(M->MixerCreate(&L), VQX_RESULT_OK); }, "M:Create ok;")) << JM.Get();
  CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE Listener;
  Listener.SetListener(1);
  for (const auto& Row : aRows) {
    auto* A = new CItLeg(J, "A");
    A->mfFreeOnEnd = true;
    ASSERT_TRUE(J.Step([&] { EXPECT_EQ(A->CreateCall(nullptr, &L), VQX_RESULT_OK); }, "A:Create ok;")) << Row.pszName;
    const u32 un32Leg = A->GetLegId();
    Run.Notify(Row.un32Id, un32Leg, Row.pszFields)();
    // Answers come in order behind the notification: this one is heard once it has been refused.
    EXPECT_TRUE(J.Step([&] { EXPECT_EQ(A->PlayDigit("5", &L), VQX_RESULT_OK); }, "A:PlayDigit ok;"))
        << Row.pszName << ": " << J.Get();
    EXPECT_TRUE(JM.Step([&] { EXPECT_EQ(M->MixerJoin(A, &Listener, &L), VQX_RESULT_OK); }, "M:Join ok;"))
        << Row.pszName << ": " << JM.Get();
    EXPECT_TRUE(
        J.Step(Run.Notify(VQCMC_MSG_NOTIF_CALL_LEG_TERMINATED, un32Leg, "reason=16"), "A:Terminated 16 0;A:Freed;"))
        << Row.pszName << ": " << J.Get();
  }
  Run.Notify(VQCMC_MSG_NOTIF_MIXER_TERMINATED, M->GetMixerId(), "kind=2")();
  EXPECT_TRUE(JM.Step(Run.Notify(VQCMC_MSG_NOTIF_MIXER_TERMINATED, M->GetMixerId()), "M:Terminated;M:Freed;"))
      << JM.Get();
}

/* A server that answers a command twice: the leg's callback and the command's listener hear it once,
 * whether that listener is the leg's default one or one of the command's own. */
TEST_F(CmcAnswersIt, AnswerSentTwiceIsHeardOnce) {
  CJournal J;
  CItListener L(J, "L"), Own(J, "Own");
  auto* A = new CItLeg(J, "A");
  A->mfFreeOnEnd = true;
  ASSERT_TRUE(J.Step([&] { EXPECT_EQ(A->CreateCall(nullptr, &L), VQX_RESULT_OK); }, "A:Create ok;")) << J.Get();
  ASSERT_TRUE(Run.Server.Answer(kDigitPlay, "0x82000005", "keep twice"));
  const std::string strFailed = "PlayDigit() Request failed on CMC server classes/cmc/CVQCMCLeg:6759;";
  EXPECT_EQ(A->PlayDigit("1", &Own), VQX_RESULT_OK);
  EXPECT_EQ(A->PlayDigit("2", &L), VQX_RESULT_OK);
  ASSERT_TRUE(cmcpeer::WaitUntil([&] { return Run.Server.Stat("0x0a010061") == 2; }, 20000));
  // A third answer, sent once, comes behind both doubles: once it is heard, so are they.
  ASSERT_TRUE(Run.Server.Answer(kDigitPlay, "0x02000000"));
  EXPECT_EQ(A->PlayDigit("3", &L), VQX_RESULT_OK);
  const std::string strOnce = "A:Create ok;A:PlayDigit 82000005;Own:" + strFailed + "A:PlayDigit 82000005;L:" +
                              strFailed + "A:PlayDigit ok;";
  EXPECT_TRUE(peerwait::WaitUntil([&] { return J.Get() == strOnce; }, 20000)) << J.Get();
  EXPECT_TRUE(J.Step(Run.Notify(VQCMC_MSG_NOTIF_CALL_LEG_TERMINATED, A->GetLegId(), "reason=16"),
                     "A:Terminated 16 0;A:Freed;"))
      << J.Get();
}

}  // namespace
