/*
 * vqcafservicecmmgmtclient.h - the configuration-management client, one
 * object per process (docs/cm-client.md).
 *
 * Model. The service offers 0x0B0C0200 and takes every configuration
 * manager service (0x0B0C0100) it detects, on any host, as a link of its
 * own; the first one is the manager it answers, the others stand by (their
 * requests are dropped) until it leaves, when the one detected next after
 * it is answered. The manager's three requests (validate, reload,
 * database maintenance) carry a number and the callback's arguments; each is
 * passed to the application's IVQCAFServiceCmMgmtClient and answered with the
 * same number and the callback's result. A manager sends a request again
 * until it is answered. Requests run one at a time, in the order they came,
 * on the client's own thread, so that a link's messages are taken as they
 * come: a copy (the same id, number and fields from the same manager) of one
 * waiting or running is dropped, not queued again; a copy of one answered
 * gets the same answer again (the answers kept: CVQCAFCmAnswers), so that the
 * callback runs once per request and the last asked runs last. At most
 * kQueuedMax requests wait; past it one is dropped unanswered (its manager
 * sends it again). A manager that leaves takes its waiting requests with it.
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
 * texts with every byte). */
struct VQCAF_CM_REQUEST_KEY {
  u32 un32Id = 0;
  u32 un32Number = 0;
  u32 aun32Word[2] = {};
  std::string astrText[2];
  bool operator==(const VQCAF_CM_REQUEST_KEY&) const = default;
};

/*
 * The answers a manager's link gave lately, to answer a copy again. A copy
 * comes after its answer only when the manager sent it before the answer
 * reached it: an answer is kept while it is one of the last kAnsweredKept, or
 * younger than kAnsweredHoldMs, and kAnsweredMax answers at most are kept
 * (the oldest goes first). Times are VQXGetClock's. Under the service mutex.
 */
class CVQCAFCmAnswers {
 public:
  static constexpr size_t kAnsweredKept = 16;
  static constexpr u64 kAnsweredHoldMs = 10000;
  static constexpr size_t kAnsweredMax = 1024;
  /* The answer given to Key, or null. */
  const VQX_RESULT* Find(const VQCAF_CM_REQUEST_KEY& Key) const;
  /* Keeps Key's answer, given at un64NowMs, and lets go of those no longer kept. */
  void Add(const VQCAF_CM_REQUEST_KEY& Key, VQX_RESULT r, u64 un64NowMs);
  size_t Count() const { return ma.size(); }

 private:
  struct Entry {
    VQCAF_CM_REQUEST_KEY Key;
    VQX_RESULT r;
    u64 un64AtMs;
  };
  std::deque<Entry> ma; /* oldest first */
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

  CVQCAFCmAnswers mAnswered; /* service mutex */

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

  /* Requests waiting to run, at most. */
  static constexpr size_t kQueuedMax = 1024;

  /* Records the application's callbacks (null clears them). */
  void Register(IVQCAFServiceCmMgmtClient* p);
  /* A message from the manager of Link: answered when it is the manager
   * answered, else dropped (logged). */
  void OnManagerMsg(CVQCAFCmManagerLink& Link, CVQCAFMsgBuffer& Msg);

  /* Runs the waiting requests in order until none is left or the thread is
   * asked to stop (the client's thread). */
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
  /* Queues a request of Link read whole (rRefusal 0x02000000) or refused with rRefusal; drops it when the client
   * stops or kQueuedMax wait already (service mutex). */
  void Queue(CVQCAFCmManagerLink& Link, VQCAF_CM_REQUEST_KEY&& Key, VQX_RESULT rRefusal);
  /* Whether a request of that link is waiting or running (service mutex). */
  bool IsWaiting(u64 un64Link, const VQCAF_CM_REQUEST_KEY& Key) const;

  static CVQCAFServiceCmMgmtClient* spInstance;
  IVQCAFServiceCmMgmtClient* mpClient = nullptr;
  /* Every manager present, in the order detected; the first is answered. */
  std::vector<std::unique_ptr<CVQCAFCmManagerLink>> maManagers;
  u64 mun64NextSerial = 1;
  /* The requests waiting, oldest first, and the one running, each with its link's serial (service mutex). A
   * request refused takes its turn too, so that answers go in the order asked: its refusal is sent, nothing run. */
  struct Queued {
    u64 un64Link = 0;
    VQCAF_CM_REQUEST_KEY Key;
    bool fRefused = false;
    VQX_RESULT rRefusal = 0;
  };
  std::deque<Queued> maQueued;
  std::optional<Queued> mRunning;
  std::atomic<bool> mfClosing{false}; /* Stop begun: nothing more is queued */
  CVqxLogLimit mFullLimit;            /* the line of a request dropped with the queue full (service mutex) */
  std::unique_ptr<CVQCAFCmRequestRunner> mpRunner;
};

}  // namespace VQCAF

#endif
