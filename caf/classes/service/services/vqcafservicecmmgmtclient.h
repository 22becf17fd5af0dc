/*
 * vqcafservicecmmgmtclient.h - the configuration-management client, one
 * object per process (docs/cm-client.md).
 *
 * Model. The service offers 0x0B0C0200 and takes every configuration
 * manager service (0x0B0C0100) it detects, on any host, as a link of its
 * own; the first one is the manager it answers, the others stand by (their
 * requests are dropped) until it leaves, when the one detected next after
 * it is answered. The manager's three requests (validate, reload, database
 * maintenance) carry a number and the callback's arguments; each is passed to
 * the application's IVQCAFServiceCmMgmtClient and answered with the same
 * number and the callback's result. A manager sends a request again until it
 * is answered, and numbers its requests rising (serial order: they may wrap).
 * A request of a link runs at most once and in the order of the numbers
 * (CVQCAFCmLinkOrder), on the client's own thread, so that a link's messages
 * are taken as they come: a copy of one waiting or running is dropped; a copy
 * of one that ran is answered again (from the answers kept, or 0x82000011: it
 * ran, its answer is no longer kept), never run; a number at or below the
 * highest run that never ran is refused (0x8200000F), one that ran as another
 * request too (0x82000004). At most kQueuedMax requests wait, the lowest
 * numbers; past it the highest is dropped unanswered, named in a line once a
 * second, and no higher number runs before it until its manager sends it
 * again (or has not for kDroppedForgetMs). A manager that leaves takes its
 * waiting requests with it (named); a new link starts afresh.
 * A request that cannot be read whole,
 * or carries more than its layout (a text over 4096 bytes, bytes after the
 * last field), is refused: logged, answered with 0x82000010 (short) or
 * 0x8200000A (oversized) when its number could be read, the callback not
 * called. Without a registered application a request is answered 0x82000016.
 *
 * Calling order: Init, Register on GetInstance(), at the end Uninit (not from
 * a callback, and without holding a lock the callbacks take).
 *
 * Threads: requests arrive on the services library's thread and run on the
 * client's thread, which calls the application with the service mutex
 * released. Init, Register and Uninit run on the application's thread;
 * Uninit waits for the request running to end (its waiting ones are not run).
 */
#ifndef VQCAFSERVICECMMGMTCLIENT_H
#define VQCAFSERVICECMMGMTCLIENT_H

#include <atomic>
#include <bitset>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vqcafservice.h"
#include "vqx_log_limit.h"

namespace VQCAF {

constexpr u32 VQCAF_SERVICE_ID_CM_MANAGER = 0x0B0C0100u;
constexpr u32 VQCAF_SERVICE_ID_CM_CLIENT = 0x0B0C0200u;
constexpr u32 VQCAF_MSG_CM_OP_VALIDATE = 0x0B0C0001u;
constexpr u32 VQCAF_MSG_CM_OP_RELOAD = 0x0B0C0002u;
constexpr u32 VQCAF_MSG_CM_OP_DB_MAINTENANCE = 0x0B0C0003u;
/* The answer to request id r is r + 0x10. */
constexpr u32 VQCAF_MSG_CM_ANSWER_OFFSET = 0x10u;
constexpr u32 VQCAF_CM_MAX_TEXT = 4096u;

/*
 * One message of the family: u32 number, then the words and texts of its id
 * (big-endian, texts as the stream's strings):
 *   validate  0x0B0C0001: number, param 1, param 2, text
 *   reload    0x0B0C0002: number, param, text 1, text 2
 *   database  0x0B0C0003: number
 *   answers   0x0B0C0011..13: number, result
 * Unserialize: 0x82000010 when the message ends early (mfNumberRead tells
 * whether the number was read), 0x8200000A for a text over 4096 bytes.
 * ReadFrom also refuses bytes after the last field (0x8200000A).
 */
class CVQCAFMsgCmMgmt : public CVQCAFMsg {
 public:
  /* 0x82000013 from every operation for an id outside the family. */
  explicit CVQCAFMsgCmMgmt(u32 un32MsgId);
  VQX_RESULT Serialize(CVQCAFSerialize& s) override;
  VQX_RESULT Unserialize(CVQCAFSerialize& s) override;
  u32 SerializeSize() override;
  /* The whole payload of a received message, as Unserialize plus nothing left over. */
  VQX_RESULT ReadFrom(CVQCAFMsgBuffer& Msg);

  u32 mun32Number = 0;
  u32 maun32Word[2] = {};
  CVQCAFString mastrText[2];
  u32 mfNumberRead = 0;

 private:
  u32 mun32Words = 0, mun32Texts = 0;
  bool mfKnown = false;
};

class CVQCAFServiceCmMgmtClient;

/* A request as its manager numbered and filled it: what tells a copy (the
 * texts with every byte). A request that could not be read whole keeps its id
 * and number and is refused with rRefusal (0x02000000: read whole, it runs). */
struct VQCAF_CM_REQUEST_KEY {
  u32 un32Id = 0;
  u32 un32Number = 0;
  u32 aun32Word[2] = {};
  std::string astrText[2];
  VQX_RESULT rRefusal = 0x02000000u;
  bool operator==(const VQCAF_CM_REQUEST_KEY&) const = default;
};

/* A request in fixed size: its id, number and a digest of the rest, what a
 * link keeps of a request that ran. */
struct VQCAF_CM_REQUEST_MARK {
  u32 un32Id = 0;
  u32 un32Number = 0;
  u64 un64Digest = 0;
  bool operator==(const VQCAF_CM_REQUEST_MARK&) const = default;
  static VQCAF_CM_REQUEST_MARK Of(const VQCAF_CM_REQUEST_KEY& Key);
};

/* Whether request number a comes before b: numbers rise and wrap, so of two
 * numbers less than 2^31 apart the one behind is the earlier. */
inline bool VqcafCmBefore(u32 a, u32 b) { return static_cast<i32>(a - b) < 0; }

/*
 * The answers a manager's link gave lately, to answer a copy again: an answer
 * is kept while it is one of the last kAnsweredKept, or younger than
 * kAnsweredHoldMs, and kAnsweredMax answers at most are kept (the oldest goes
 * first), each in fixed size. A copy of an older one is still known by its
 * number (CVQCAFCmLinkOrder). Times are VQXGetClock's. Under the service mutex.
 */
class CVQCAFCmAnswers {
 public:
  static constexpr size_t kAnsweredKept = 16;
  static constexpr u64 kAnsweredHoldMs = 10000;
  static constexpr size_t kAnsweredMax = 1024;
  /* The answer given to Key, or null. */
  const VQX_RESULT* Find(const VQCAF_CM_REQUEST_KEY& Key) const { return Find(VQCAF_CM_REQUEST_MARK::Of(Key)); }
  const VQX_RESULT* Find(const VQCAF_CM_REQUEST_MARK& Mark) const;
  /* Whether an answer kept has that number (another request's, when Find does not find it). */
  bool HasNumber(u32 un32Number) const;
  /* Keeps Key's answer, given at un64NowMs, and lets go of those no longer kept. */
  void Add(const VQCAF_CM_REQUEST_KEY& Key, VQX_RESULT r, u64 un64NowMs) { Add(VQCAF_CM_REQUEST_MARK::Of(Key), r, un64NowMs); }
  void Add(const VQCAF_CM_REQUEST_MARK& Mark, VQX_RESULT r, u64 un64NowMs);
  size_t Count() const { return ma.size(); }

 private:
  struct Entry {
    VQCAF_CM_REQUEST_MARK Mark;
    VQX_RESULT r;
    u64 un64AtMs;
  };
  std::deque<Entry> ma; /* oldest first */
};

/*
 * Request numbers of one link as ranges in serial order, at most nMax ranges,
 * each with the time a number of it was last added. Under the service mutex.
 */
class CVQCAFCmNumbers {
 public:
  struct Range {
    u32 un32First;
    u32 un32Last;
    u64 un64SeenMs;
  };
  explicit CVQCAFCmNumbers(size_t nMax) : mnMax(nMax) {}
  /* Adds n, seen at un64NowMs (also when it is in already); false, nothing added, when it takes a range past nMax. */
  bool Add(u32 n, u64 un64NowMs);
  /* Makes the two neighbouring ranges closest to each other one (the numbers between them join). */
  void JoinClosest();
  /* Takes n out (what is left of its range counts as seen at un64NowMs; past nMax ranges the closest join); false
   * when absent. */
  bool Remove(u32 n, u64 un64NowMs);
  /* Takes out every number up to n (serial order). */
  void RemoveUpTo(u32 n);
  /* Takes out the ranges not seen for un64Ms at un64NowMs (a clock set back keeps them), and returns them. */
  std::vector<Range> TakeOlder(u64 un64NowMs, u64 un64Ms);
  bool Empty() const { return ma.empty(); }
  /* The numbers held (a joined range counts whole). */
  u64 Count() const;
  const std::vector<Range>& Ranges() const { return ma; }
  void Clear() { ma.clear(); }
  /* "3-22, 30": nCount ranges from the nFrom-th. */
  std::string Text(size_t nFrom = 0, size_t nCount = SIZE_MAX) const;
  /* "3-22", or "30" for a range of one. */
  static std::string Text(const Range& r);

 private:
  /* The first range that does not end before n. */
  std::vector<Range>::iterator Find(u32 n);
  size_t mnMax;
  std::vector<Range> ma; /* in serial order, apart and not adjacent */
};

/*
 * What decides when a request of one manager's link runs, and what a copy
 * gets: the requests waiting (at most kWaitingMax, by number), the highest
 * number run with marks of those run among the kRunMarks numbers up to it, the
 * answers kept, and the numbers the bound dropped that have not come again.
 * Fixed memory per link (the fields of the requests waiting aside). No request
 * runs before a lower number that waits or was dropped, so that requests run
 * in the order of their numbers whatever the bound dropped; a number dropped
 * and not sent again for kDroppedForgetMs is forgotten (its manager gave it
 * up) and holds the higher ones back no longer. Times are the caller's
 * (VQXGetClock). Under the service mutex.
 */
class CVQCAFCmLinkOrder {
 public:
  static constexpr size_t kWaitingMax = 1024;
  static constexpr u32 kRunMarks = 4096;
  static constexpr size_t kDroppedRangesMax = 64;
  static constexpr u64 kDroppedForgetMs = 30000;
  /* The answer to a copy of a request that ran whose answer is no longer kept. */
  static constexpr VQX_RESULT kRanNotKept = 0x82000011u;
  /* The answer to a request numbered at or below the highest run that never ran: its turn is past. */
  static constexpr VQX_RESULT kTurnPast = 0x8200000Fu;
  /* The answer to a request whose number ran as another request (other id or fields). */
  static constexpr VQX_RESULT kNumberUsed = 0x82000004u;

  enum class Fate {
    Queued,        /* waits for its turn */
    Dropped,       /* kWaitingMax of lower numbers wait: dropped unanswered */
    Copy,          /* the same request waits or runs: dropped, its answer comes when it ends */
    NumberBusy,    /* another request of that number waits or runs: dropped unanswered */
    AnsweredAgain, /* a copy of one that ran, its answer kept: r */
    Refused,       /* at or below the highest run: r is kRanNotKept, kTurnPast or kNumberUsed */
  };
  struct Arrival {
    Fate What = Fate::Queued;
    VQX_RESULT r = 0x02000000u;
    u32 un32Ahead = 0;     /* Queued: the requests waiting or running before it */
    bool fEvicted = false; /* Queued: the highest waiting was dropped to make room for it ... */
    u32 un32Evicted = 0;   /* ... this number */
  };
  /* Takes a request as it comes, at un64NowMs. */
  Arrival Arrive(VQCAF_CM_REQUEST_KEY&& Key, u64 un64NowMs);
  /* The request whose turn has come, now running; none when none waits, or a lower number dropped has not come again. */
  std::optional<VQCAF_CM_REQUEST_KEY> TakeNext();
  /* The request running ended with r at un64NowMs: kept to answer its copies. */
  void Ended(VQX_RESULT r, u64 un64NowMs);
  /* The numbers dropped that did not come again within kDroppedForgetMs: forgotten, and returned. */
  std::vector<CVQCAFCmNumbers::Range> ForgetDropped(u64 un64NowMs) { return mDropped.TakeOlder(un64NowMs, kDroppedForgetMs); }
  /* The numbers waiting, as ranges. */
  CVQCAFCmNumbers WaitingNumbers() const;
  size_t WaitingCount() const { return maWaiting.size(); }
  void Clear() { maWaiting.clear(); }
  const CVQCAFCmNumbers& Dropped() const { return mDropped; }
  /* Whether number n ran on this link (as far as the marks reach: further back, true). */
  bool Ran(u32 n) const;

 private:
  std::deque<VQCAF_CM_REQUEST_KEY> maWaiting; /* by number */
  std::optional<VQCAF_CM_REQUEST_MARK> mRunning;
  bool mfRan = false;
  u32 mun32Highest = 0;
  std::bitset<kRunMarks> mRunMarks; /* bit i: number mun32Highest - i ran */
  CVQCAFCmAnswers mAnswers;
  CVQCAFCmNumbers mDropped{kDroppedRangesMax};
};

/* One detected manager: the service's link to it, owned by the service. */
class CVQCAFCmManagerLink : public CVQCAFServiceInstance {
 public:
  CVQCAFCmManagerLink(CVQCAFServiceCmMgmtClient* pClient, const char* pszHost, u64 un64Serial)
      : mpClient(pClient), mstrHost(pszHost), mun64Serial(un64Serial) {}
  void OnMsgReceived(CVQCAFService* pService, CVQCAFMsgBuffer& Msg) override;
  const CVQCAFString& GetHost() const { return mstrHost; }
  /* Tells this link from any other of the client's, also one made later at the same address. */
  u64 GetSerial() const { return mun64Serial; }

  CVQCAFCmLinkOrder mOrder; /* service mutex */
  /* Numbers the bound dropped since its last line (32 ranges named, the numbers past them counted), the drops
   * counted, the line's limit (service mutex). */
  CVQCAFCmNumbers mDropLine{32};
  u32 mun32DropsUnnamed = 0;
  u32 mun32DropsInLine = 0;
  CVqxLogLimit mDropLimit;
  CVqxLogLimit mRefusalLimit; /* the lines of requests refused or dropped out of turn (service mutex) */

 private:
  CVQCAFServiceCmMgmtClient* mpClient;
  CVQCAFString mstrHost;
  u64 mun64Serial;
};

/* The client's thread, which runs the requests (vqcafservicecmmgmtclient.cpp). */
class CVQCAFCmRequestRunner;

class CVQCAFServiceCmMgmtClient : public CVQCAFService {
 public:
  static CVQCAFServiceCmMgmtClient* GetInstance() { return spInstance; }
  /* 0x82000011 when an instance exists (it stays); a failed registration
   * fails Init and leaves no instance. */
  static VQX_RESULT Init();
  /* Stops and destroys the instance; 0x02000000 also without one. */
  static VQX_RESULT Uninit();

  /* Requests waiting to run, at most (per manager). */
  static constexpr size_t kQueuedMax = CVQCAFCmLinkOrder::kWaitingMax;
  /* The client's thread looks at its links at least this often: the line of the requests dropped, the numbers
   * dropped that did not come again. */
  static constexpr u32 kPassMs = 500;

  /* Records the application's callbacks (null clears them). */
  void Register(IVQCAFServiceCmMgmtClient* p);
  /* A message from the manager of Link: answered when it is the manager
   * answered, else dropped (logged). */
  void OnManagerMsg(CVQCAFCmManagerLink& Link, CVQCAFMsgBuffer& Msg);

  /* Runs the requests whose turn has come until none is left or the thread
   * is asked to stop, and logs what is due (the client's thread). */
  void RunQueued();
  /* Starts the client's thread, then the service (0x82000008 when the
   * thread cannot be made). */
  VQX_RESULT Start(CVQCAFServiceInstance* pDefaultInstance) override;
  /* Stops the client's thread (the request running ends first; those waiting
   * are not run), then the service. */
  VQX_RESULT Stop() override;

  ~CVQCAFServiceCmMgmtClient() override;

 protected:
  CVQCAFServiceCmMgmtClient();
  CVQCAFServiceInstance* OnServiceConnected(CVQCAFService* pService, CVQCAFServiceInfo* pInfo) override;
  void OnServiceDisconnected(CVQCAFService* pService, CVQCAFServiceInstance* pInstance) override;
  /* The application's result for one request read whole (service mutex held on entry). */
  VQX_RESULT Dispatch(const VQCAF_CM_REQUEST_KEY& Request);
  /* Sends the answer to request un32Id number un32Number (service mutex). */
  void SendAnswer(CVQCAFCmManagerLink& Link, u32 un32Id, u32 un32Number, VQX_RESULT r);
  /* Takes a request of Link read whole (rRefusal 0x02000000) or to be refused with its rRefusal (service mutex). */
  void Take(CVQCAFCmManagerLink& Link, VQCAF_CM_REQUEST_KEY&& Key);
  /* Notes number n that the bound dropped, for Link's next line (service mutex). */
  void NoteDropped(CVQCAFCmManagerLink& Link, u32 n, u64 un64NowMs);
  /* Logs Link's dropped numbers when a line is due (fForce: now), and those it forgets (service mutex). */
  void LogDue(CVQCAFCmManagerLink& Link, u64 un64NowMs, bool fForce);
  /* Names Link's requests waiting, which are not run (its manager left, or fStops: the client stops), and lets them go
   * (service mutex). */
  void LetWaitingGo(CVQCAFCmManagerLink& Link, bool fStops);

  static CVQCAFServiceCmMgmtClient* spInstance;
  IVQCAFServiceCmMgmtClient* mpClient = nullptr;
  /* Every manager present, in the order detected; the first is answered. */
  std::vector<std::unique_ptr<CVQCAFCmManagerLink>> maManagers;
  u64 mun64NextSerial = 1;
  /* The request running and its link's serial (service mutex); each link holds its waiting ones. A request refused
   * takes its turn too, so that answers go in the order of the numbers: its refusal is sent, nothing run. */
  struct Running {
    u64 un64Link = 0;
    VQCAF_CM_REQUEST_KEY Key;
  };
  std::optional<Running> mRunning;
  std::atomic<bool> mfClosing{false}; /* Stop begun: nothing more is queued */
  std::unique_ptr<CVQCAFCmRequestRunner> mpRunner;
};

}  // namespace VQCAF

#endif
