/*
 * sigtrace_adapter.h - one adapter board as the trace application sees it:
 * its discovery thread, its table of discovered signalling entities and the
 * activation of their traces.
 *
 * Model. The main thread makes one CVQSigTraceAdapter per board that the host
 * library announces (adapter-added event), calls Init with the board's handle
 * and frees it on the adapter-removed event. Init adds the adapter's console
 * page, starts the adapter's own thread and starts discovery (Synchronize).
 * The thread receives the board's answers on a filter of its own (user
 * context 1 = the board's handle widened to 64 bits), hands each to its
 * Handle...Response operation, which registers entities in the entity table
 * and asks the next questions, and, when no question of the current round is
 * awaited any more, posts one adapter-ready message (0x0B080101, 424-byte
 * payload) to this process's own filters. The main thread then activates the
 * traces (ActivateAllTraces, activation messages 0x0B080102).
 *
 * Discovery rounds. The requests an answer prompts (a list's items) wait in
 * the round's queue and go out in its order, 64 at most awaited at once, so
 * that a board of thousands of entities is asked at the pace its link
 * answers, with what the process holds for it bounded. Lists go before the
 * items they name; the items of the families the run traces (TraceFirst)
 * before those of the others, which wait until the traced families' requests
 * are all answered, so that the table's places go to what is traced first.
 * An item is asked only while the table has a place for it beyond those the
 * items awaited may take; once the table is full, the items left are counted
 * past it by family without being asked (a board of any size is asked about
 * as much as its first 128 entities). Every request is filed
 * in the round's request table with the serial number of each copy sent (the
 * board echoes it in its answer): an answer to any copy is taken, later ones
 * are dropped quietly; an answer whose serial is not awaited (an earlier
 * round's, one given up) is logged and dropped. A request is sent again once
 * 5 s passed (on the adapter's clock, replaceable for tests) both since it
 * left the board's send queue in this process and since the board last
 * answered one of the round's requests, so that one waiting behind others for
 * the link is not taken for lost (and one a board that answers nothing holds
 * in the queue is neither sent again nor given up); at most 3 times, then it
 * is given up with a line naming what it covered (each kind of line once a
 * second at most, the others counted). The copy it no longer waits for
 * (sent again, given up, or of a round a new one replaced) is told to the
 * host library (VQXAbandonAwaitedResponse), whose flow control towards the
 * board would otherwise hold the board's queue until its 60 s time-out. A request
 * whose send fails is tried again 5 s after the try, by the same count.
 * Every entity the board offers and the table does not take is counted
 * (GetLeftOut): past the 128 of the table, not discovered (its request given
 * up or its answer refused), or left out by a round cut short (Clear during
 * a round). Synchronize starts a new round with empty tables and counts;
 * each completed round posts exactly one adapter-ready message.
 *
 * Board answers are read through one bounded cursor over the received
 * payload: a parameters answer that does not cover every field it reads is
 * logged and counts as answered with nothing registered or sent; lists,
 * feature entries and ISDN trunks are read as far as the payload reaches
 * (a count that overruns it is cut to the whole entries present, logged once).
 * The wire layout of the exchanges is in docs/board-discovery.md.
 *
 * Threads and locks. The adapter mutex (recursive) guards every field and the
 * entity table. Run holds it except while it waits for a message and during
 * its 1 s back-off; the main thread (Init, Synchronize, the activation
 * operations, destruction) and the console thread (the page) take it for each
 * call. On the main thread the order is application mutex, then adapter
 * mutex; the adapter thread never takes the application mutex. A send of the
 * adapter thread waits for room in the board's queue at most until
 * EndDiscovery (also the first step of Clear), which never takes the mutex.
 *
 * Results: 0x02000000 unless said otherwise; failures are logged once at the
 * error level as "CVQSigTraceAdapter::<operation>: <text> (<code>)
 * CVQSigTraceAdapter:<line>".
 */
#ifndef SIGTRACE_ADAPTER_H
#define SIGTRACE_ADAPTER_H

#include <functional>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "sigtrace_entity.h"
#include "vqcafexception.h"
#include "vqcaflogtrace.h"
#include "vqcafmutex.h"
#include "vqcafpool.h"
#include "vqcafclipage.h"
#include "vqcafptr.h"
#include "vqcafstring.h"
#include "vqcafthread.h"
#include "vqx_clock.h"
#include "vqx_host_filter.h"
#include "vqx_host_peer.h"
#include "vqx_log_limit.h"

namespace VQCAF {

class CVQSigTraceAdapterPage;  /* the adapter's console page (sigtrace_adapter_page.h) */
class CVQSigTraceCfgCmdLine;   /* the application's command line (sigtrace_cfg_cmdline.h) */

/* Application-internal messages (message group 0x0B08, type event, to 0xDA000000). */
constexpr u32 QUELLAN_NOTIF_ADAPTER_READY = 0x0B080101u;
constexpr u32 QUELLAN_NOTIF_ACTIVATE_MONITORING = 0x0B080102u;
constexpr u32 VQ_SIGTRACE_NOTIF_READY_SIZE = 424u;     /* payload bytes of the adapter-ready message */
constexpr u32 VQ_SIGTRACE_NOTIF_ACTIVATE_SIZE = 688u;  /* payload bytes of the activation message */
/* Payload offsets shared by both messages: the adapter information record at 8. */
constexpr u32 VQ_SIGTRACE_NOTIF_OFFSET_INFO = 8u;
constexpr u32 VQ_SIGTRACE_NOTIF_OFFSET_HANDLE = 12u;
constexpr u32 VQ_SIGTRACE_NOTIF_OFFSET_NAME2 = 160u;   /* second identifying text */
constexpr u32 VQ_SIGTRACE_NOTIF_OFFSET_NAME = 288u;    /* adapter name */
/* Activation message only. */
constexpr u32 VQ_SIGTRACE_NOTIF_OFFSET_ENTITY = 420u;
constexpr u32 VQ_SIGTRACE_NOTIF_OFFSET_GROUP = 548u;
constexpr u32 VQ_SIGTRACE_NOTIF_OFFSET_PORT = 676u;
constexpr u32 VQ_SIGTRACE_NOTIF_OFFSET_PCAP = 680u;
constexpr u32 VQ_SIGTRACE_NOTIF_OFFSET_EXTENDED = 684u;
constexpr u32 VQ_SIGTRACE_NOTIF_NAME_FIELD = 128u;     /* entity and group fields, terminator included */

constexpr u32 VQ_SIGTRACE_MAX_ENTITIES = 128u;         /* entity table of one adapter */
constexpr u32 VQ_SIGTRACE_RESEND_AFTER_MS = 5000u;     /* an unanswered request is sent again after this */
constexpr u32 VQ_SIGTRACE_MAX_RESENDS = 3u;            /* then given up */
constexpr u32 VQ_SIGTRACE_MAX_IN_FLIGHT = 64u;         /* requests of a round awaited at once */
constexpr u32 VQ_SIGTRACE_MAX_QUEUED = 1u << 18;       /* requests of a round waiting for their turn */
constexpr u32 VQ_SIGTRACE_RECEIVE_WAIT_MS = 100u;
constexpr u32 VQ_SIGTRACE_BACKOFF_MS = 1000u;

/* What a discovery round left out of the entity table, in entities. */
struct SVQDiscoveryLeftOut {
  static constexpr u32 kTypes = 8;  /* entity types, VQ_SIGTRACE_TYPE_* */
  u32 un32PastTable = 0;      /* answered, or not asked once the table was full, past the table's 128 */
  u32 un32NotDiscovered = 0;  /* of requests given up or answers refused */
  u32 un32CutShort = 0;       /* of requests not answered when the round was cut short */
  u32 aun32PastTableOf[kTypes] = {};  /* un32PastTable by entity type */
  u32 Total() const { return un32PastTable + un32NotDiscovered + un32CutShort; }
  /* un32PastTable by family, "70 CASR2, 2 SS7" (types in order; "" for none). */
  std::string PastTableByFamily() const;
};

class CVQSigTraceAdapter : public CVQCAFLogTrace, public CVQCAFThread {
 public:
  typedef CVQCAFPool<CVQSigTraceEntityParams> EntityTable;

  /* Log sub-module 37, default priority, no event queue; empty table of
   * 128 entities (case-sensitive names). Nothing is started. */
  CVQSigTraceAdapter();
  /* Clear ("Clear Failed." logged on failure), then the members. */
  ~CVQSigTraceAdapter() override;

  /* ---------------------------------------------------- life cycle (main thread) */

  /*
   * Called once, right after the adapter-added event, with the board's
   * handle: reads the board's information record, adds the console
   * page, starts the thread and calls Synchronize. Failures (each followed by
   * Clear): 0x8200000F "CVQCAFComm must be initialized first"; 0x82000015
   * "Host information not found"; the console's code with "Failed to add CLI
   * page for adapter.".
   */
  u32 Init(unsigned int hAdapter);

  /* Starts a discovery round: empties the request and entity tables, clears
   * the ready flag, logs "<Sync> name: Started!" and asks the board for its
   * configuration. Any thread; always 0x02000000. */
  u32 Synchronize();

  /* The ready flag (1 once the current round completed), read under the mutex. */
  u32 IsAdapterReady();

  /* The families the command line traces (when it selects this adapter) take the table's places before the others:
   * from the next request on, their items are asked first, the others' once theirs are all answered. None set (the
   * default), or all five: every family alike. (sigtrace_adapter_activate.cpp) */
  void TraceFirst(const CVQSigTraceCfgCmdLine& CmdLine);

  /* Asks the thread to stop, and its sends to stop waiting for room in the
   * board's queue (such a send is dropped, its request counted as the round's
   * cut short); takes no mutex, returns at once. Any thread. */
  void EndDiscovery();

  /* EndDiscovery, then removes the page, stops the thread (waits for its
   * end), counts what an open round left out ("<Sync> name: discovery cut
   * short: N entities not discovered (M requests unanswered)"), gives the host
   * library back, keeps a copy of the entity table (GetTableAtClear) and
   * empties it. Later calls do nothing. 0x02000000. */
  u32 Clear();

  /* ---------------------------------------------------- thread */

  /* The discovery thread: receive (100 ms, mutex released), dispatch, resend
   * overdue requests, send queued ones as the 64 awaited allow, post the
   * adapter-ready message when a round completes. Its sends wait for room in
   * the board's queue until EndDiscovery. */
  void Run() override;
  /* Nothing: the adapter's thread has no event queue. */
  void OnEvent(CVQCAFEvent* pEvent) override;

  /* Posts the adapter-ready message (0x0B080101) of this adapter; the host
   * library's code with "VQXGetMsg failed" / "VQXSendMsg failed". The caller
   * holds the mutex. */
  u32 SendAdapterNotifReady();

  /* ---------------------------------------------------- activation (sigtrace_adapter_activate.cpp) */

  /* One activation message per discovered entity of a family the command
   * line enables, with the group the command line chooses, but for those
   * fnTracedElsewhere (when given) says are traced already. 0x02000000. */
  u32 ActivateAllTraces(CVQSigTraceCfgCmdLine& CmdLine,
                        const std::function<bool(const CVQSigTraceEntityParams&)>& fnTracedElsewhere = {});
  /* Whether the command line traces an entity of that type (one of no known family: yes). */
  static bool CommandLineSelects(const CVQSigTraceCfgCmdLine& CmdLine, u32 un32Type);
  /* What ActivateAllTraces activates, in the table's order: a copy of each
   * record with this adapter's name, the group the command line chooses and
   * the capture and extended flags it sends. */
  std::vector<CVQSigTraceEntityParams> CommandLineSelection(const CVQSigTraceCfgCmdLine& CmdLine);
  /* 1 and a copy of the record when the table holds exactly that name
   * (case-sensitive); 0 and pEntity untouched otherwise. */
  u32 GetEntityInformation(CVQCAFString& strName, CVQSigTraceEntityParams* pEntity);
  /* Posts one activation message (0x0B080102) to this process; the host
   * library's code on failure. The caller holds the mutex. */
  u32 SendAdapterNotifActivateMonitoring(CVQCAFString& strEntityName, CVQCAFString& strGroupName,
                                         unsigned int un32Port, unsigned int fCapFile, unsigned int fExtended);

  /* ---------------------------------------------------- board requests (adapter mutex held) */

  /* Each sends one board request of the catalogue (docs/board-discovery.md)
   * at once, whatever is awaited, files it in the round's request table and
   * returns 0x02000000, or the host library's code ("VQXGetMsg failed" /
   * "VQXSendMsg failed"; filed unsent then, tried again by the resend rule). */
  u32 SendAdapterConfigGet();
  u32 SendMtp2OpGetList();
  u32 SendMtp2OpLinkGetList(unsigned int un32Instance);
  u32 SendMtp2OpLinkGetParams(unsigned int un32Link);
  u32 SendLapdOpGetList();
  u32 SendLapdOpLinkGetList(unsigned int un32Instance);
  u32 SendLapdOpLinkGetParams(unsigned int un32Link);
  u32 SendIsdnOpGetList();
  u32 SendIsdnOpGetParams(unsigned int un32Instance);
  u32 SendCasr2OpGetList();
  u32 SendCasr2OpGetParams(unsigned int un32Instance);
  u32 SendTuclOpGetList();
  u32 SendTuclOpGetParams(unsigned int un32Instance);

  /* ---------------------------------------------------- board answers (adapter thread, mutex held) */

  /*
   * Each takes a received message (the address of its 88-byte header; the
   * payload at the header's payload start, un32PayloadLength bytes of it
   * read, never past un32Length) and stays the caller's. Returns 0x02000000;
   * the board's negative result when the answer carries one; 0x8200000A for
   * an answer too short for the fields it must hold, or (ISDN) an unknown
   * variant 0x82000001; 0x82000009 for null.
   */
  u32 HandleAdapterConfigGetResponse(unsigned int* pMsg);
  u32 HandleMtp2OpGetListResponse(unsigned int* pMsg);
  u32 HandleMtp2OpLinkGetListResponse(unsigned int* pMsg);
  u32 HandleMtp2OpLinkGetParamsResponse(unsigned int* pMsg);
  u32 HandleLapdOpGetListResponse(unsigned int* pMsg);
  u32 HandleLapdOpLinkGetListResponse(unsigned int* pMsg);
  u32 HandleLapdOpLinkGetParamsResponse(unsigned int* pMsg);
  u32 HandleIsdnOpGetListResponse(unsigned int* pMsg);
  u32 HandleIsdnOpGetParamsResponse(unsigned int* pMsg);
  u32 HandleCasr2OpGetListResponse(unsigned int* pMsg);
  u32 HandleCasr2OpGetParamsResponse(unsigned int* pMsg);
  u32 HandleTuclOpGetListResponse(unsigned int* pMsg);
  u32 HandleTuclOpGetParamsResponse(unsigned int* pMsg);

  /* ---------------------------------------------------- for the page, the application and tests */

  /* The adapter mutex: take it (CVQCAFMutexAutoGetGive) around every use of
   * the accessors below. */
  CVQCAFMutex& GetMutex() { return mMutex; }
  /* The board's name (information record offset 280); owned by the adapter. */
  const char* GetAdapterName() const { return mAdapterInfo.szName2; }
  const VQX_ADAPTER_INFO& GetAdapterInfo() const { return mAdapterInfo; }
  u32 GetAdapterHandle() const { return mhAdapter; }
  /* The discovered entities; walk with ResetNext / Next under the mutex. */
  EntityTable& GetEntityTable() { return mEntities; }
  /* The last TUCL instance the board listed (0: none). */
  u32 GetTuclInstanceId() const { return mun32TuclInstanceId; }
  /* Requests of the current round still awaited or waiting for their turn. */
  u32 GetOutstandingCount() const { return mun32OutstandingCount; }
  /* Requests of the current round answered (a copy's answer counted once). */
  u32 GetAnsweredCount() const { return mun32Answered; }
  /* What the current round (the last one once Clear ran) left out so far. */
  const SVQDiscoveryLeftOut& GetLeftOut() const { return mLeftOut; }
  /* The entities the table held when the first Clear had stopped the thread (empty before). */
  const std::vector<CVQSigTraceEntityParams>& GetTableAtClear() const { return mvTableAtClear; }
  /* Its console page (empty before Init and after Clear). */
  CVQCAFPtr<IVQCAFCliPage> GetPage();
  /* Replaces the clock of the resend timer (null: the library clock). */
  void SetClock(PFN_VQX_CLOCK_SOURCE pfnClock) { mpfnClock = pfnClock; }

  /* The catch clause of every operation, called inside the catch block: the
   * failure line of the framework's mapping ("op: text (code)
   * CVQSigTraceAdapter:line"), followed for an exception of no known kind
   * by "op: Un-handled exception: CVQSigTraceAdapter:line"; the code. */
  u32 CaughtFailure(const char* pszOperation, int nLine);

 private:
  /* One request of the round, sent or whose last send failed. */
  struct SRequest {
    u32 un32MsgId;    /* the request's id (catalogue) */
    u32 un32Item;     /* item identifier at payload 0x0C */
    u64 un64SentAt;   /* clock of the last copy's leaving the board's send queue (or of the last try, failed) */
    u64 un64QueuedAs; /* the last copy's place in the board's send queue while it may wait there, else 0 */
    u32 un32Resends;  /* sends after the first */
    bool fSent;       /* the last send succeeded: awaited */
    u32 aun32Serials[VQ_SIGTRACE_MAX_RESENDS + 1];  /* serial of each copy sent */
    u32 un32Copies;
  };
  /* A request waiting for its turn. */
  struct SAsked {
    u32 un32MsgId;
    u32 un32Item;
  };

  /* Sends the catalogue request un32MsgId about un32Item as a new request of
   * the round, or, with a key, the next copy of that one; files it in the
   * request table either way (unsent when the send fails, tried again by the
   * resend rule). */
  u32 SendRequest(const char* pszOperation, u32 un32MsgId, u32 un32Item, u32 un32Key = 0);
  /* Queues a request for its turn (Pump sends it), or counts it past the table when it registers entities and the
   * table is full. */
  void Ask(u32 un32MsgId, u32 un32Item);
  /* Sends queued requests while fewer than VQ_SIGTRACE_MAX_IN_FLIGHT are in the table, lists first, items while the
   * table has places for them, those of the families traced first; once the table is full, counts the items left
   * past it. */
  void Pump();
  /* The queue whose request goes next, or null when none may go now. */
  std::deque<SAsked>* NextQueue();
  /* Requests waiting in the three queues. */
  size_t QueuedCount() const;
  /* Counts entities of a type past the table. */
  void PastTable(u32 un32Type, u32 un32Count);
  /* Tells the host library that the last copy of the request is no longer awaited (when it was sent). */
  void Abandon(const SRequest& Request);
  /* The counts of the resend and give-up lines left out, each on a line of its own once its second is over (fAll:
   * whatever its second). */
  void TellLeftOutLines(bool fAll);
  /* Entities a request covers (a family's list: its resource count; else one), and its line's words for
   * them ("CAS R2 instance 17 not discovered"). */
  u32 Covers(u32 un32MsgId);
  CVQCAFString CoverText(u32 un32MsgId, u32 un32Item);
  /* The resource count a feature id fills from the configuration answer; null for an id of no family. */
  u32* FeatureCount(u32 un32FeatureId);
  /* Takes a zeroed message of un32Size payload bytes with its header set; a failure is logged under
     pszOperation and leaves *phMsg null. */
  u32 NewMsg(const char* pszOperation, u32 un32MsgId, u32 un32Type, u32 un32Size, u32 hAdapter, u64 un64Context1,
             VQX_MSG_HANDLE* phMsg);
  /* Dispatches one received message (Run, mutex held). */
  void DispatchAnswer(VQX_MSG_HANDLE hMsg);
  /* Sends again, or gives up, the requests (awaited or unsent) past the
   * resend delay. */
  void ResendOverdue();
  /* Posts the adapter-ready message once when the round has nothing awaited
   * or queued, after its lines of what it left out. */
  void CompleteRoundIfDone();
  /* The round's table-full line, when its table refused entities. */
  void LogPastTable();
  /* Sets the outstanding count from the request tables. */
  void CountOutstanding() { mun32OutstandingCount = static_cast<u32>(mRequests.size() + QueuedCount()); }
  u64 Now() const { return mpfnClock != nullptr ? mpfnClock() : VQXGetClock(); }
  /* Logs a failure line "op: text (code) CVQSigTraceAdapter:line" and returns the code. */
  u32 Failure(const char* pszOperation, const char* pszText, u32 un32Result, int nLine);
  /* The boundary of an answer handler: an answer shorter than a field it
   * needs (0x8200000A), or any other exception (the framework's mapping). */
  u32 ShortAnswer(const char* pszOperation, u32 un32Wanted, u32 un32End, int nLine);

  /* Shared steps of the answers (sigtrace_adapter_discovery.cpp). */
  /* Queues the request un32NextMsgId for each identifier of a list answer. */
  u32 HandleListResponse(unsigned int* pMsg, const char* pszOperation, const char* pszFailure, u32 un32NextMsgId,
                         bool fTucl = false);
  /* Files an entity under the board's name (the generated name when that is
   * taken and fLookUp is set), group name the generated name; null when the
   * table refuses it: a name taken (also the generated one) with its line,
   * counted not discovered; past the table's 128, counted for the round's one table-full line ("Too many
   * signaling entities detected (increase max entities per adapter): <board>,
   * N entities past its 128 not registered", when the round completes or is
   * cut short). */
  CVQSigTraceEntityParams* RegisterEntity(u32 un32Type, const char* pszBoardName, const CVQCAFString& strGenerated,
                                          bool fLookUp = true);
  /* The link parameters answers of MTP2 and LAPD (sigtrace_adapter_discovery_links.cpp). */
  u32 HandleLinkParams(unsigned int* pMsg, bool fLapd);

  CVQCAFMutex mMutex;                    /* adapter mutex: guards everything below */
  u32 mfCleared = 0;                     /* set by the first Clear */
  u32 mfReady = 0;                       /* the current round completed */
  VQX_LIB_HANDLE mhHostLib = nullptr;    /* borrowed from CVQCAFComm in Init */
  u32 mhAdapter = 0;                     /* the board's handle */
  u32 mun32OutstandingCount = 0;         /* requests of the round awaited (the request table's size) */
  u32 mun32NbMtp2 = 0;                   /* resource counts from the configuration answer */
  u32 mun32NbIsdn = 0;
  u32 mun32NbCasr2 = 0;
  u32 mun32NbTucl = 0;
  u32 mun32NbLapd = 0;
  CVQCAFPtr<CVQSigTraceAdapterPage> mpPage;  /* the console page */
  u64 mun64RequestContext = 0;           /* user context 1 of every request, key of the thread's filter */
  VQX_FILTER_HANDLE mhFilter = nullptr;  /* the thread's filter: made by Init before the first request, destroyed when the thread ends */
  EntityTable mEntities;                 /* discovered entities by name */
  VQX_ADAPTER_INFO mAdapterInfo{};       /* the host library's record of the board */
  u32 mun32TuclInstanceId = 0;           /* last TUCL instance listed */
  SVQDiscoveryLeftOut mLeftOut;          /* what the round left out so far */
  std::vector<CVQSigTraceEntityParams> mvTableAtClear; /* the table as Clear found it */

  std::map<u32, SRequest> mRequests;     /* requests of the round sent or unsent, by key (at most 64) */
  std::map<u32, u32> mSerials;           /* serial of each copy sent in the round: its request's key, 0 once answered */
  /* Requests of the round waiting for their turn, in order: lists, items of the families traced, the others' items. */
  enum { kQueueLists, kQueueTraced, kQueueOthers, kQueues };
  std::deque<SAsked> maQueued[kQueues];
  u32 mun32TracedTypes = 0;              /* bit per entity type the command line traces (TraceFirst); 0: none set */
  CVqxLogLimit mResendLines;             /* "not answered, sent again", once a second */
  CVqxLogLimit mGiveUpLines;             /* "given up", once a second */
  u32 mun32LastKey = 0;                  /* key of the round's last request */
  u32 mun32NotAsked = 0;                 /* requests of the round past what its queue holds */
  u32 mun32Answered = 0;                 /* requests of the round answered */
  u64 mun64LastAnswerAt = 0;             /* clock of the round's last awaited answer */
  u32 mfRoundOpen = 0;                   /* a round started and its ready message not yet posted */
  volatile u32 mfEnding = 0;             /* EndDiscovery: the thread's sends stop waiting for room */
  PFN_VQX_CLOCK_SOURCE mpfnClock = nullptr;
};

}  // namespace VQCAF

#endif
