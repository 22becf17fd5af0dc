/*
 * sigtrace_app.h - CVQSigTrace, the trace application: configuration, the
 * pools of adapters, trace groups and remote providers, the main loop and
 * its dispatch, the management callbacks and the clean-up.
 *
 * Model. main builds one CVQSigTrace (in a CVQCAFPtr), calls Init, then
 * MainLoop until the quit flag is set, then releases it. Init reads the XML
 * configuration (unless "-db"), brings the framework up (GlobalSetParam),
 * borrows the host library, adds the main console page, starts the
 * management clients ("-db") and the sig-trace server service,
 * prints the configuration and attaches the page. MainLoop receives on one
 * host-library filter: the adapter-added and -removed events (one
 * CVQSigTraceAdapter per board), the application's own adapter-ready and
 * activation messages (group 0x0B08), the boards' trace units and the
 * answers to trace on/off requests (docs/board-trace-messages.md), and the
 * remote hosts' path-down and removed events (what a provider's link lost).
 *
 * A unit is written by the group of its entity: the entity is found from the
 * sending board's name and the unit's trunk and timeslot mask (SS7, LAPD,
 * ISDN), trunk (CAS R2) or trace context id (IP); the SS7 link number is the
 * entity's 1-based position in its group. The entities are found through
 * mUnitIndex (sigtrace_unit_index.h), rebuilt from the pools on the first
 * unit after any of them changed: every path that attaches or detaches an
 * entity, or adds or removes an adapter, marks it stale. Every unit counts in
 * mun32PacketCount, also when no entity takes it.
 *
 * The run ends when mfQuit is set: the console's quit, the main page's 'Q',
 * the run time of "-e" (checked by the main loop, in ms), a broken standard
 * output in "-stdout" mode, a management shutdown, SIGTERM or SIGINT
 * (main's handler, VqSigTraceSignalQuit). Each of them but the framework
 * console's own quit also wakes the main loop's wait (RequestQuit). From
 * then on no send of the process waits for room in a peer's queue (such a
 * wait ends, the message dropped): the main loop's sends watch mfQuit, and a
 * signal (the watcher thread), RequestQuit and the clean-up end every wait.
 *
 * Clean-up (Clear, also run by the destructor): the boards' discoveries
 * ended (nothing more asked of a board), traces off at the boards
 * and capture off to every provider (each of its groups), the units taken in
 * until the boards have answered written (within 2 s; later ones are counted
 * in their groups' lost; 30 s at most, cut short by a SIGTERM or SIGINT that
 * comes during the close), no unit taken after that, adapters freed (what
 * each board's discovery left out of its table kept for the summary),
 * management clients stopped, the providers' links closed (what their TCP
 * had acknowledged read, what a closing cut counted) and what they delivered
 * until they were gone counted (CloseProviders), sig-trace service stopped,
 * groups closed (text files end "[END]"), providers freed, page removed, the
 * boards' links closed and the units read after the groups stopped taking
 * them counted in one line, host library given back, framework stopped but
 * for a running log (GlobalSetParam with the log's parameters alone: main's
 * exit code line reaches the log file, GlobalUninit stops it). It never holds the application mutex while it
 * waits for the console, a service or an adapter thread, whose callbacks
 * take that mutex.
 *
 * "-stdout": a write to standard output whose reader takes nothing waits
 * while the run goes on (nothing is lost), stops waiting once the run is
 * asked to end (what it holds is written by the close), and during the close
 * waits until a SIGTERM or SIGINT that comes during it or the 30 s cap, when
 * what it still holds is counted lost (StdoutWait).
 *
 * Threads and locks. The application mutex (recursive) guards every field
 * below. The main thread holds it except while it waits for a message (100
 * ms) and during the 1 s back-off after a receive error. Callback threads
 * take it for each call: the console thread (pages), the services thread
 * (providers, management clients). Lock order: application mutex, then an
 * adapter's mutex or the lock of the standard output's segments (under which
 * nothing else is taken).
 *
 * Results: 0x02000000 unless said otherwise; failures are logged once at the
 * error level as "CVQSigTrace::<operation>: <text> (<code>) CVQSigTrace:<line>".
 */
#ifndef SIGTRACE_APP_H
#define SIGTRACE_APP_H

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "sigtrace_adapter.h"
#include "sigtrace_cfg_cmdline.h"
#include "sigtrace_entity.h"
#include "sigtrace_log_limit.h"
#include "sigtrace_params_dao_xml.h"
#include "sigtrace_places.h"
#include "sigtrace_unit_index.h"
#include "sigtracegrp.h"
#include "vqcaf.h"
#include "vqcafcfgfile.h"
#include "vqcaflogtrace.h"
#include "vqcafmutex.h"
#include "vqcafpool.h"
#include "vqcafptr.h"
#include "vqcafservice.h"
#include "vqcafstring.h"
#include "vqx_host.h"
#include "vqx_host_filter.h"
#include "vqx_host_peer.h"

namespace VQCAF {

class CVQSigTracePage;             /* the main console page (sigtrace_page.h) */
class CVQSigTraceProviderEntity;   /* one remote trace provider (sigtrace_provider_entity.h) */
class CVQCAFServiceSigTraceServer; /* the sig-trace server service */

constexpr u32 QUELLAN_MAX_ADAPTERS = 32u;
static_assert(QUELLAN_MAX_ADAPTERS <= VQ_SIGTRACE_INDEX_MAX_ADAPTERS, "every adapter has its row in the unit index");
constexpr u32 QUELLAN_MAX_PROVIDERS = 20u;
/* Linked providers not served (their name another's, or no place among the 20) wait in the provider pool too,
 * this many at most; one beyond is refused for good, with its line. */
constexpr u32 VQ_SIGTRACE_MAX_WAITING_PROVIDERS = 64u;
/* The providers that left keep a loss line of their own (link losses whose group is not known) up to this
 * many; past it their lines fold into one. */
constexpr u32 VQ_SIGTRACE_LOSS_LINES_OF_PROVIDERS_GONE = 16u;
constexpr u32 VQ_SIGTRACE_STDOUT_POLL_MS = 1000u;  /* "-stdout": the output is checked this often */
constexpr u32 VQ_SIGTRACE_DRAIN_MS = 2000u;        /* the close writes what was taken in within this */
constexpr u32 VQ_SIGTRACE_DRAIN_CAP_MS = 30000u;   /* the close waits for the boards' last units this long at most */

/* The counts of a group given up for a new one (its boards gone), kept for
 * the summary, or for a group of the same name made later. */
struct SVQRetiredGroup {
  CVQCAFString strName;
  u32 un32Rx, un32Tx, un32Ext, un32Lost;
  bool fStdoutTaken; /* it wrote to a standard output its reader closed */
};

/* What a board left out of the trace, as its adapter ended (its last stay's, when it came back): what its discovery
 * left out of the table, and the entities the table took that the run traces and had not traced then (a discovery
 * cut short, an activation not taken yet). */
struct SVQBoardLeftOut {
  SVQDiscoveryLeftOut Discovery;
  u32 un32NotTraced = 0;
  bool fRemoved = false; /* the board went before the close: its discovery cut short by that */
  u32 Total() const { return Discovery.Total() + un32NotTraced; }
};

/* What a configuration file gave, read without the application mutex
 * (sigtrace_app.cpp). */
struct SVQConfigFile;

/* The reloads in the order they were asked: each takes the next number when
 * asked and runs (reads and applies) once every one before it has ended. */
struct SVQReloadOrder {
  std::mutex Mutex;
  std::condition_variable Ended;
  u64 un64Asked = 0; /* reloads asked so far */
  u64 un64Ended = 0; /* of them, those that ended (the next to run is this one) */
};

/* The host library's adapter-removed event carries the adapter name here. */
constexpr u32 VQ_SIGTRACE_REMOVED_OFFSET_NAME = 292u;  /* adapter name in the removed event's payload */

class CVQSigTrace : public CVQCAFLogTrace,
                    public IVQCAFServiceHandler,
                    public IVQCAFServiceAlmMgmtClient,
                    public IVQCAFServiceCmMgmtClient {
 public:
  typedef CVQCAFPool<CVQSigTraceAdapter> AdapterPool;
  typedef CVQCAFPool<CVQSigTraceGrp> GroupPool;
  typedef CVQCAFPool<CVQSigTraceProviderEntity> ProviderPool;

  /*
   * Keeps a copy of the parsed command line. Pools of 32 adapters (keyed by
   * adapter name), 64 groups (group name) and 20 providers served, 64 more
   * waiting (host name "." application name), all case-sensitive. With "-stdout" the log is brought
   * up at once, writing only to the log file (standard output carries the
   * trace stream alone).
   */
  explicit CVQSigTrace(const CVQSigTraceCfgCmdLine& CmdLine);
  /* Clear; a failure is logged as "Clear Failed.". */
  ~CVQSigTrace() override;
  CVQSigTrace(const CVQSigTrace&) = delete;
  CVQSigTrace& operator=(const CVQSigTrace&) = delete;

  /* ---------------------------------------------------- life cycle (main thread) */

  /*
   * Under the application mutex: name ("-name" or "quellan"); LoadFromXml of
   * GetConfigFilePath unless "-db" (a failure fails Init); GlobalSetParam;
   * host library, own host information and gateway port; main page added;
   * in "-db" mode the process- and configuration-management clients; the
   * sig-trace server service (with H.248 tracing off a provider's
   * registration is ignored with a line); PrintCfg;
   * InitalizeApplication. Any failure runs Clear and is returned; a read of
   * the file that a signal stopped too, mfStartStopped then set (the user's
   * stop: main ends in success).
   */
  u32 Init();
  /* Attaches the main page (its run clock starts). */
  u32 InitalizeApplication();
  /* The clean-up of the model above; later calls do nothing. A group that
   * had units and wrote none of them (its file never opened, a full disk)
   * fails the run: mun32RunResult is
   * then 0x82000001 (unless it held a failure already). */
  u32 Clear();

  /*
   * Runs until mfQuit is set (or returns at once when Init did not
   * succeed): one filter (adapter events, the hosts' path-down and removed
   * events, group 0x0B08, the five trace families' notifications and on/off
   * answers); each turn waits up to 100 ms
   * with the mutex released for what is waiting (1024 messages at most), then
   * dispatches the whole batch under one hold of it; a receive error is
   * logged and followed by 1 s of sleep without the mutex. Ends the run at
   * the "-e" time ("Test duration (%u) completed, quitting application!"),
   * and in "-stdout" mode when the output is found broken (checked every
   * 1000 ms). Returns the run's result (0x02000000, or the failure that ended
   * it).
   */
  u32 MainLoop();
  /* Sets the quit flag and wakes the main loop's wait at once (any thread:
   * the quit keys, a management shutdown, the signals' watcher). */
  void RequestQuit();

  /* Reloads the XML configuration from GetConfigFilePath; on success logs
   * "Config successfully reloaded\n" and resynchronises every adapter. Of
   * the framework's parameters, those a running framework takes (trace
   * levels, redundancy delays) are applied, the others are read at start
   * only (sigtrace_reload_params.h); the line names each one that changed
   * ("Config successfully reloaded; applied: ...; read at start only, not
   * applied: ..."), and so the groups that keep the format or protocol they
   * were made with ("capfile of group G", "protocol of group G"). Once each
   * adapter's discovery completes, what is traced on its board is what a
   * start with that file and command line would trace (SwitchOffUnselected);
   * until then the records of a board's earlier stay (away at the reload, or
   * back since) take its units when that start would keep them in their
   * group, and none when the file removed or moved them (HoldBackAfterReload).
   * A failure ("ReloadConfig failed.") keeps the previous configuration: a
   * file that does not exist (0x82000015, "Configuration file '%s' not
   * found"), one the store or a reader refuses (their code and line: a path
   * that is not a regular file or that cannot be read too), delays the host
   * library refuses, a reload during the close (0x8200000F). The file is
   * read without the application mutex: the main loop and the close go on
   * meanwhile. Reloads take effect in the order they were asked: one asked
   * while another runs waits for its end ("Reload of '%s' waits for the one
   * asked before it"), so that the last asked is the one in use, and each
   * result is that of its own file. Never called with the application mutex
   * held. */
  u32 ReloadConfig(unsigned int un32Param);
  /* The same from strPath, which becomes the configuration path only when
   * the reload succeeds (the console's and the manager's reloads). */
  u32 ReloadConfig(unsigned int un32Param, const CVQCAFString& strPath);
  /* The "-c" file, or in "-db" mode the second configuration path. */
  CVQCAFString& GetConfigFilePath();
  /*
   * Opens (or reopens) the store, reads the framework's common parameters
   * (from their defaults, the command line's gateway options over them) and
   * this application's section. A section the reader stops in fails the
   * load with the reader's code (its log line names the file and line), and
   * mSigTraceParams keeps the previous records; a file that does not exist is
   * success with nothing read, one that cannot be read or is not a regular
   * file a failure. Once Init is done, the common parameters go through
   * ApplyWhileRunning first. Only the change is made under the application
   * mutex.
   */
  u32 LoadFromXml(CVQCAFString strFileName);
  /* One line per configured record. */
  u32 PrintCfg();
  /* Takes and releases the application mutex; 1. */
  u32 IsApplicationReady();

  /* ---------------------------------------------------- groups (application mutex held) */

  /*
   * Finds or creates the group of Entity's group name (64 at most: a group
   * whose entities all belong to boards no longer present gives its place;
   * else "No more group context (increase QUELLAN_MAX_GROUPS define):
   * <adapter>:<entity> not traced", counted in the summary's "Entities not
   * traced: N"); refuses an entity traced elsewhere ("Trying to monitor
   * twice the same entity on %s, %s:%s conflict with %s:%s"; leaves it
   * where it is without that line while the discovery after a reload has not
   * completed on its board, which switches off first) and another
   * protocol ("Type mismatch: SS7, ISDN and SIP cannot be merged inside the
   * same group: <adapter>:<entity> not traced", counted). The same entity of
   * the same adapter again (resynchronised) is switched on again; a board
   * back after its removal takes over its own earlier record of the same
   * name, or of the same trunk and timeslots when the board no longer has an
   * entity of that record's name (renamed), counts going on. Another
   * adapter's entity whose name the group holds already is traced as
   * "<adapter>_<name>" (one line says so); the first keeps its name; one
   * whose name is taken there by another record still, of any board, is
   * refused ("Entity %s:%s cannot be traced in group %s: %s is taken there
   * by %s", counted). Sets the trace context id, keeps a copy, switches the
   * trace on.
   */
  u32 AttachEntityToGroup(CVQSigTraceAdapter& Adapter, CVQSigTraceEntityParams& Entity);
  /* The entities that found no group, of boards still present, attached
   * again where a place may be had now (run when a board is removed: its
   * groups may be given up); those of boards gone stay counted until their
   * board is back and attaches them. */
  void AttachEntitiesWaitingForGroup();
  /* Once Adapter.Clear ran (the board removed, fRemoved, or the close): what the board left out of the trace kept
   * for the summary's "Entities not traced" in place of what an earlier stay of it left out. */
  void KeepBoardLeftOut(CVQSigTraceAdapter& Adapter, bool fRemoved);
  /* Each turn of the main loop: the groups' buffered records to their
   * files, at once when the loop is idle (CVQSigTraceGrp::WriteOut); the
   * lines held back by the once-a-second limits, when due; and the first
   * open failure of each group ("Group %s cannot open its file %s: its
   * units are lost until it can"), also on standard error when no console
   * shows the log (daemon, service or "-stdout" mode), as is the group's
   * first write failure that lost records (a full disk: the later ones go
   * to the log only); and the count of units that found no traced entity
   * since the last line, once a second (LogUntracedUnitsDue). */
  void OnLoopTurn(bool fIdle);
  /* Once a second (fNow: at once), the boards and hosts the transport could not link for want of a peer record
   * (VQXGetPeersWaitingForRecord) are named among the sources left out: a board as one waiting for a place, a
   * host as "<host>.<application> (not linked: the 128 host records taken)" until it links (one that leaves
   * unlinked stays named). */
  void NoteUnlinkedPeers(bool fNow);
  /* Its step on the names the transport lists now (boards by serial number, hosts as "<host>.<application>"):
   * each named, once however often listed; a host listed last time and no longer is named no more when
   * fnLinkedHosts (the keys of the hosts linked now, asked only then) has it. */
  void NoteWaitingPeers(const std::vector<std::string>& aBoards, const std::vector<std::string>& aHosts,
                        const std::function<std::set<std::string>()>& fnLinkedHosts);
  /* "Units with no traced entity dropped: N more since the last line" when
   * its second is over, or (fAll: the close) when any were left out. */
  void LogUntracedUnitsDue(bool fAll);
  /* Closes every group's file and logs one line per group ("Group %s: %u
   * units written, %u lost"), those given up included, then "Units with no
   * traced entity: N dropped" when units found none, and "Entities not
   * traced: N" when some were left out (the entities a board's discovery
   * left out of its table among them); when the log cannot take them (a full disk),
   * or when a group that had units wrote none of them (every unit lost;
   * not a standard output taken and then closed by its reader), they also
   * go to standard error. Run by the clean-up; true in the
   * last case. */
  bool LogGroupSummaries();
  /* Switches the entity's trace off and removes it from the group. */
  u32 DetachEntity(CVQSigTraceGrp& Group, CVQSigTraceEntityParams& Entity);
  /* After a reload, once the board's discovery completed: each entity of
   * strAdapter traced in a group that vWanted (what the configuration and
   * the command line select, in the order a start attaches them) does not
   * give it first is switched off there, its record kept for its group's
   * summary (VQ_SIGTRACE_GONE_OFF until an attach takes it over); a kept one
   * takes its extended flag from vWanted. So is a record of the board's stay
   * before a removal (the board back may still trace it) when its
   * discovery found that entity again. */
  void SwitchOffUnselected(const CVQCAFString& strAdapter, const std::vector<CVQSigTraceEntityParams>& vWanted);
  /* After a reload, before strAdapter's discovery completes (its board away,
   * or back and not yet discovered): each record of the board's earlier stay
   * that vWanted (as for SwitchOffUnselected) gives its group takes the
   * board's units again (VQ_SIGTRACE_GONE_BOARD), another takes none until
   * then (VQ_SIGTRACE_GONE_HELD: removed or moved by the reload). */
  void HoldBackUnselected(const CVQCAFString& strAdapter, const std::vector<CVQSigTraceEntityParams>& vWanted);
  /* HoldBackUnselected with what the configuration in force and the command
   * line select on the board, its entities known by the records of its
   * earlier stay and by its last complete discovery (mBoardSelections); nothing
   * when the board has no such record. */
  void HoldBackAfterReload(const CVQCAFString& strAdapter);
  /* A record of the configuration traces Entity's entity on strAdapter (its
   * board's command-line activation of it would change nothing). */
  bool TracedByTheConfiguration(const CVQCAFString& strAdapter, const CVQSigTraceEntityParams& Entity);
  /* The configured records strAdapter (second name strName2) takes, in the
   * order a start attaches them; fnFind finds an entity the record names by
   * the board's own name (false: none). */
  std::vector<CVQSigTraceEntityParams> ConfiguredOn(
      const CVQCAFString& strAdapter, const CVQCAFString& strName2,
      const std::function<bool(CVQCAFString&, CVQSigTraceEntityParams&)>& fnFind);
  /* Sends the on/off request of one board entity (no-op for H.248 and
   * entities whose adapter is absent); *pfSent (optional) 1 when sent. */
  u32 SetEntityTrace(CVQSigTraceEntityParams& Entity, bool fOn, u32* pfSent = nullptr);

  /* ---------------------------------------------------- main-loop handlers (application mutex held) */

  /* Each takes a received message (the address of its 88-byte header,
   * payload at the header's payload start); the message stays the caller's. */
  u32 HandleNotifAdapterReady(unsigned int* pMsg);
  u32 HandleNotifActivateMonitoring(unsigned int* pMsg);
  /* A board added: its adapter made (AddAdapter). With 32 present it waits
   * for a place instead ("Too many adapters detected (or increase max
   * adapters): board <name> waits for a place (32 at most), traced once one
   * frees"), counted in "Entities not traced" until it has one. */
  u32 HandleNotifAdapterAdded(unsigned int* pMsg);
  /* A board removed: its adapter freed, its entities kept in their groups;
   * its place goes to the first board waiting for one (not once the close
   * began: the close takes no board events). A waiting board removed leaves
   * the queue. */
  u32 HandleNotifAdapterRemoved(unsigned int* pMsg);
  /* The adapter of a board made in the pool and its discovery started. */
  void AddAdapter(const CVQCAFString& strName, u32 hAdapter);
  /* A trace unit of one of the five families: read whole (refused with the
   * reader's text otherwise, one line a second per family with the count of
   * those left out), its entity found, written, counted. */
  u32 HandleTraceUnit(unsigned int* pMsg);
  /* The answer to a trace on/off request: a board's failure is logged. */
  u32 HandleTraceAnswer(unsigned int* pMsg);
  /* A remote host's or a board's path down: the messages its link's closing
   * cut (VQX_NOTIF_OFFSET_LOST), when the host is a provider's, are counted
   * lost in its group, or in its own summary line when it feeds several
   * groups (CountProviderLinkLost); a board's likewise (CountBoardLinkLost). */
  u32 HandleNotifGwDown(unsigned int* pMsg);
  /* A remote host removed: its paths' losses are all told, its provider's
   * host record (mProviderHosts) goes, unless a later process took the handle
   * (then FoldLossesOfProvidersGone). */
  u32 HandleNotifHostRemoved(unsigned int* pMsg);
  /* Dispatch of one received message by id (unknown ids are logged). */
  u32 DispatchMsg(unsigned int* pMsg);

  /* ---------------------------------------------------- remote providers (sigtrace_app_provider.cpp) */

  /* A new remote application: its provider (20 served at most). One whose
   * name ("<host>.<application>") is already served is told so at the error
   * level and waits, its registrations kept: it is served once the first has
   * left (OnServiceDisconnected). One that comes while 20 are served waits
   * likewise for a place ("Cannot allocate context (20 providers at most):
   * ..." names it), counted in "Entities not traced" until it is served; the
   * first to come is the first served once a place frees (mProviderPlaces).
   * Beyond VQ_SIGTRACE_MAX_WAITING_PROVIDERS waiting, a provider is refused
   * for good, with its line, and counted in "Entities not traced". Once the
   * close began none is served: one that links then is kept unserved until
   * its link closes with the others' ("Application %s linked during the
   * close: not served"), counted there too, and never told capture on. */
  CVQCAFServiceInstance* OnServiceConnected(CVQCAFService* pService, CVQCAFServiceInfo* pInfo) override;
  /* The provider freed (its entities stay in their groups). Its place or its
   * name goes to the first provider waiting for it, whose registrations are
   * then taken; not once the close began. Then the loss records of providers
   * that left are folded when they are many (FoldLossesOfProvidersGone). */
  void OnServiceDisconnected(CVQCAFService* pService, CVQCAFServiceInstance* pInstance) override;
  /* An H.248 registration: the group made or found, the provider its entity,
   * answered with the capture request of that group. Refused with its line:
   * another type, a group of another type, no group left (the provider is
   * then counted in "Entities not traced"). Nothing for a provider waiting
   * for its name (its registrations are replayed once it is served). Once
   * the close began, RegisterDuringClose. */
  u32 OnRegister(CVQSigTraceProviderEntity* pProvider, unsigned int un32Type, char* pszName, char* pszDescription);
  /* A registration once the close began: the provider is told capture off for that group; no group is made. A
   * provider served and not traced in that group is named on a line of its own and counted in "Entities not
   * traced" ("<key> (group "<name>": registered during the close)"). */
  u32 RegisterDuringClose(CVQSigTraceProviderEntity* pProvider, const char* pszName);
  u32 OnUnregister(CVQSigTraceProviderEntity* pProvider, unsigned int un32Type, char* pszName,
                   char* pszDescription);
  /* Writes the data through the provider's group; refused (with its line)
   * when the provider is not in an H.248 group of that name or the length
   * is over 10240, dropped (with its line) while the group's capture is off. */
  u32 OnTraceMsgReceived(CVQSigTraceProviderEntity* pProvider, unsigned int un32Type, char* pszName,
                         unsigned int un32Direction, unsigned char* pData, unsigned int un32Length);
  u32 ChangeProviderGroupState(CVQSigTraceGrp* pGroup, unsigned int un32State);
  /* A refusal of a provider's message, registration or link: pszText and
   * the names, "<text> (provider <key>, group "<name>")" (without the group
   * when pszGroup is null), logged in the failure form under pszOperation
   * once a second per text; the lines left out are counted in the next one
   * (" (and N more since the last line, providers <keys>)") or in a line of
   * their own (LogProviderRefusalsDue), which name the providers whose lines
   * were left out, at the error level unless Level says otherwise. Returns
   * un32Result. Application mutex held. */
  u32 RefuseProvider(const char* pszOperation, const char* pszText, const CVQCAFString& strProvider,
                     const char* pszGroup, u32 un32Result, int nLine, _VQX_TRACE_LEVEL Level = VQERR);
  /* The limit of those lines, for a provider's own refusals: true when the
   * line of pszText may be logged now, un32LeftOut then the lines left out
   * and strLeftOutFrom the providers of those (the provider strProvider is
   * noted when its line is left out). */
  bool AllowProviderRefusal(const char* pszText, const CVQCAFString& strProvider, u32& un32LeftOut,
                            std::string& strLeftOutFrom) {
    return mProviderRefusals.Allow(pszText, ClockMs(), un32LeftOut, strProvider.c_str(), &strLeftOutFrom);
  }
  /* "<text> N more time(s) since the last line (providers <keys>)" for each
   * text whose lines left out are due (main loop), or that left any out
   * (fAll: the close). */
  void LogProviderRefusalsDue(bool fAll);
  /* The provider served under this name ("<host>.<application>"), not one waiting for it; null when none. */
  CVQSigTraceProviderEntity* ProviderOf(const CVQCAFString& strKey);
  /* The providers served (not waiting). */
  u32 ServedProviders();
  /* A process of this name is linked (served or waiting) or its remote host is still known. */
  bool ProviderPresent(const std::string& strKey);
  /* Serves pWaiting (waiting for a name or a place that is now its): its registrations taken. */
  void ServeWaitingProvider(CVQSigTraceProviderEntity* pWaiting);
  /* Providers that left (ProviderPresent false) no longer need their records in the one group
   * (mProviderLinkLostIn); past VQ_SIGTRACE_LOSS_LINES_OF_PROVIDERS_GONE of them with a loss line of their own
   * (mProviderLinkLost), those lines fold into one (mun32ProvidersGoneLost), with a line. */
  void FoldLossesOfProvidersGone();
  /* The H.248 groups that have the provider strKey as an entity. */
  std::vector<CVQSigTraceGrp*> ProviderGroups(const CVQCAFString& strKey);
  /* Their names, "groups a, b", "group a" or "no group" (GroupNames). */
  std::string ProviderGroupNames(const CVQCAFString& strKey);
  static std::string GroupNames(const std::vector<CVQSigTraceGrp*>& aGroups);
  /* un32Lost messages of the provider strKey lost as its link closed: counted
   * in its group (CountUnseenLost), or apart when it feeds several groups or
   * none (mProviderLinkLost, a summary line of its own); a line says which. */
  void CountProviderLinkLost(const CVQCAFString& strKey, u32 un32Lost);
  /* A provider whose link losses were counted in its one group turns out to
   * feed another: its registration was on the link before the loss, handled
   * after it. Which group the lost messages were for is then not known: they
   * move to its line of their own, with a line. */
  void MoveProviderLinkLostApart(const CVQCAFString& strKey);
  /* un32Lost messages of the board hAdapter lost as its link closed: counted
   * in the group of its traced entities when they are all in one
   * (CountUnseenLost), or apart when they are in several
   * (mBoardLinkLost, a summary line of its own); a line says which. A board
   * that traces nothing (or is no longer known) had no unit among them. */
  void CountBoardLinkLost(u32 hAdapter, u32 un32Lost);

  /* ---------------------------------------------------- management ("-db") */

  void OnMgmtReady() override;
  /* Sets the quit flag; "graceful" or "immediate" in the log line. */
  void OnMgmtShutdown(u32 fGraceful) override;
  /* Runs GlobalPoll; its result. */
  u32 OnMgmtHeartBeat() override;
  u32 OnValidateConfig(u32 un32Param1, u32 un32Param2, CVQCAFString strText) override;
  u32 OnReloadConfig(u32 un32Param, CVQCAFString strText1, CVQCAFString strText2) override;
  u32 OnDbMaintenance() override;

  /* ---------------------------------------------------- state (application mutex) */

  CVQCAFMutex mAppMutex;                 /* the application mutex */
  CVQSigTraceCfgCmdLine mCmdLine;        /* the parsed command line ("-e" run time included) */
  CVQCAFString mstrAppName;              /* "-name", else "quellan" */
  _VQX_HOST_INFO mHostInfo;              /* this application's host information */
  u32 mun32GwPort = 0;                   /* gateway port in use */
  volatile u32 mfQuit = 0;               /* the main loop ends when set */
  std::atomic<bool> mfEnding{false};     /* the run was asked to end (any thread): configuration reads give up */
  u32 mun32PacketCount = 0;              /* trace units received */
  u32 mun32LostUnits = 0;                /* units no entity took, or refused by their reader */
  CVQSigTraceLogLimit maRefusalLimit[5]; /* a refusal line per trace family, once a second */
  CVQSigTraceLogLimits mProviderRefusals; /* the providers' refusal lines, once a second per text */
  /* A provider's remote host, by handle: its name and its process (unique host id), from its link until the host is
   * removed, so that the losses its links report (host path down) find the provider, even once it has left. */
  struct SVQProviderHost {
    CVQCAFString strKey;
    u64 un64UniqueId;
  };
  std::map<u32, SVQProviderHost> mProviderHosts;
  std::map<std::string, u32> mProviderLinkLost;  /* providers' link losses counted apart, by name */
  u32 mun32ProvidersGoneLost = 0;                /* those of providers that left, folded into one line */
  u32 mun32ProvidersGoneFolded = 0;              /* the providers' lines folded there */
  /* providers' link losses counted in their one group, by name: the group's name and the count */
  std::map<std::string, std::pair<std::string, u32>> mProviderLinkLostIn;
  /* The providers' places: 20 served, 64 waiting, by "<key>#<unique host id>" (ProviderPlaceId). Left out and
   * named, until served: "<key> (no place among the 20 providers)" waiting, "<key> (never served: 64 providers
   * waiting)" refused, "<key> (group "<name>")" for want of a group, "<key> (linked during the close)". */
  static_assert(QUELLAN_MAX_PROVIDERS == 20 && VQ_SIGTRACE_MAX_WAITING_PROVIDERS == 64, "the names give the limits");
  CVQSigTracePlaces mProviderPlaces{QUELLAN_MAX_PROVIDERS, VQ_SIGTRACE_MAX_WAITING_PROVIDERS,
                                    " (no place among the 20 providers)", " (never served: 64 providers waiting)"};
  /* boards' link losses counted apart, by name: the count, and its groups' names when last counted */
  std::map<std::string, std::pair<u32, std::string>> mBoardLinkLost;
  u64 mun64NextUnlinkedPoll = 0;         /* clock of the next NoteUnlinkedPeers */
  std::set<std::string> mHostsNotLinked; /* hosts waiting for a peer record at the last NoteUnlinkedPeers */
  u64 mun64LastProviderDataMs = 0;       /* clock of the last data message a provider delivered (0: none) */
  PFN_VQX_CLOCK_SOURCE mpfnClock = nullptr; /* clock of those limits (null: the library clock) */
  CVQSigTraceParams mSigTraceParams;     /* the configured records */
  AdapterPool mAdapters;                 /* 32, by adapter name */
  GroupPool mGroups;                     /* 64, by group name */
  ProviderPool mProviders;               /* 20 served and 64 waiting, by host name "." application name */
  u32 mun32EntityNumber = 0;             /* last provider entity number / trace context id taken */
  std::vector<SVQRetiredGroup> mvRetiredGroups; /* groups given up for new ones */
  std::set<std::string> mUntracedEntities;      /* "<adapter>:<entity>" left out (no group, name taken, type), until traced */
  /* The boards' places: 32 adapters (mAdapters); boards present beyond them wait, by name (their handle the tag),
   * named until they have one (the transport's peer records bound their number). */
  CVQSigTracePlaces mBoardPlaces{QUELLAN_MAX_ADAPTERS, 0xFFFFFFFFu, "", ""};
  /* What each board left out of the trace, kept as its adapter ends (removed, or at the close), in the order the
   * boards first ended. */
  std::vector<std::pair<std::string, SVQBoardLeftOut>> mvBoardEntitiesLeftOut;
  std::vector<CVQSigTraceEntityParams> mvWaitingForGroup; /* entities of boards present that found no group */
  CVQSigTraceUnitIndex mUnitIndex;       /* units' entities by key; Invalidate when the pools above change */
  /* boards whose traces a reload changes once their discovery completes: those present at the reload and those
   * away then that had entities traced (until the discovery after their return) */
  std::set<std::string> mReloadedBoards;
  /* A board's last complete discovery: its second name and what the command line selects there (empty when it
   * selects nothing), for the records of its earlier stay once a reload is made while it is away */
  struct SVQBoardSelection {
    CVQCAFString strName2;
    std::vector<CVQSigTraceEntityParams> vSelected;
  };
  std::map<std::string, SVQBoardSelection> mBoardSelections;
  u32 mun32UntracedUnits = 0;            /* of mun32LostUnits, those no traced entity took (the summary's line) */
  SVQReloadOrder mReloadOrder;           /* the reloads' turns (its own mutex, not the application's) */
  CVQSigTraceLogLimit mUntracedUnitsLimit; /* "... dropped: no traced entity", once a second */

  /* Framework parameters handed to GlobalSetParam. */
  CVQCAFLogParams mLogParams;
  CVQCAFCommParams mCommParams;
  _VQX_CLI_TOOLS_INIT_PARAMS mCliParams;
  CVQCAFGlobalsParams mGlobalsParams;

  CVQCAFPtr<IVQCAFCfgFile> mptrConfigFile;                    /* the opened XML store */
  CVQCAFPtr<CVQSigTraceParamsDaoXml> mptrSigTraceParamsDaoXml; /* reader of the ":signaling" section */
  CVQCAFPtr<IVQCAFCliPage> mptrPage;                          /* the main page, once added */
  CVQSigTracePage* mpPage = nullptr;                          /* the same page, for Attach */
  CVQCAFServiceSigTraceServer* mpSigTraceServer = nullptr;    /* running from Init to the close */
  VQX_LIB_HANDLE mhHostLib = nullptr;                          /* borrowed from the communication bridge */
  VQX_FILTER_HANDLE mhFilter = nullptr;                        /* the main loop's filter */
  u32 mfFrameworkUp = 0;                 /* GlobalSetParam was called */
  u32 mfMgmtClients = 0;                 /* the management clients run */
  u32 mfInitDone = 0;                    /* Init succeeded */
  u32 mfStartStopped = 0;                /* a signal stopped Init's read of the configuration file */
  u32 mfCleared = 0;                     /* Clear ran */
  u32 mun32RunResult = 0x02000000u;      /* what ended the run, or the close's failure */
  u64 mun64StartMs = 0;                  /* clock when the application was attached ("-e" counts from it) */
  u32 mun32SignalsAtStart = 0;           /* VqSigTraceQuitSignals when this application was made */
  u32 mun32SignalsAtClose = 0;           /* and when its close began (the run's own signals only) */
  u64 mun64CloseStartMs = 0;             /* clock when the close began; 0 before */
  u32 mfUnitsStopped = 0;                /* the close's filter no longer takes units */
  u32 mfUnmatchedCounted = 0;            /* and what no filter takes since is counted (units alone) */
  u64 mun64UnmatchedAtStop = 0;          /* the host library's RxMsgMatchNoQ just before */
  VQX_FILTER_HANDLE mhCloseSink = nullptr; /* the close's sink (StopTakingUnits to DropQueued) */

 private:
  /* The clock of the line limits, in ms. */
  u64 ClockMs() const { return mpfnClock != nullptr ? mpfnClock() : VQXGetClock(); }
  /* Logs the failure line and returns the code. Level: VQLV1 for a step whose own line named the cause, so that a
   * failure is one error line (the knock-ons traced). */
  u32 Failure(const char* pszOperation, const char* pszText, u32 un32Result, int nLine, _VQX_TRACE_LEVEL Level = VQERR);
  /* The file read into File without the application mutex: its store, its
   * common parameters and its records (File.fNone: it does not exist). */
  u32 ReadConfigFile(const CVQCAFString& strFileName, SVQConfigFile& File);
  /* What File gave made the configuration in use (application mutex held);
   * the reload's note on the common parameters added to *pstrNote (may be null). */
  u32 ApplyConfigFile(SVQConfigFile& File, std::string* pstrNote);
  /* The groups that the records of Params would make otherwise than they
   * stand, a group's format and protocol being its first record's ("capfile
   * of group G", "protocol of group G", separated by ", "). */
  std::string GroupsKept(const CVQSigTraceParams& Params);
  /* The command line's gateway options ("-gw", "-gw_addr_0", "-gw_addr_1") over Comm. */
  void CommandLineGateway(CVQCAFCommParams& Comm);
  /* The framework runs: hands it the reloaded parameters it takes while
   * running (a refusal of the host library fails the reload, nothing
   * changed), puts the running value back into the others, and notes both
   * in *pstrNote ("; applied: ..."). */
  u32 ApplyWhileRunning(CVQCAFLogParams& Log, CVQCAFCommParams& Comm, _VQX_CLI_TOOLS_INIT_PARAMS& Cli,
                        std::string* pstrNote);
  /* The group of this name, created with the entity's type and flags when
   * absent, in the place of a group of boards gone when the pool is full
   * (null: none such). */
  CVQSigTraceGrp* FindOrCreateGroup(const CVQSigTraceEntityParams& Entity);
  /* Gives up the first group whose entities are all no longer traced (their
   * boards gone, or switched off by a reload; not a pcap stream on standard
   * output): file closed, counts kept in mvRetiredGroups. False when there is none. */
  bool RetireGroupOfGoneBoards();
  /* The first group RetireGroupOfGoneBoards would give up (null: none). */
  CVQSigTraceGrp* GroupOfGoneBoards();
  /* The name an adapter is filed under in the pool (its board's name). */
  const char* AdapterName(CVQSigTraceAdapter& Adapter);
  /* Refills mUnitIndex from the adapters and the groups. */
  void RebuildUnitIndex();
  /* The adapter of the name at payload offset un32Offset (null: none). */
  CVQSigTraceAdapter* FindAdapterOf(unsigned int* pMsg, u32 un32Offset);
  /* Stops what Init started, in the clean-up order; the mutex is released
   * around every wait on another thread. */
  void Teardown();
  /* The close's end of the providers: their links closed (what their TCP had
   * acknowledged read and delivered, the messages a link's closing cut
   * counted), every provider's data delivered to it until its link's
   * disconnection (within VQ_SIGTRACE_DRAIN_CAP_MS, cut short by a signal
   * that comes during this wait), the hosts' path-down notifications counted,
   * the sig-trace service stopped. Data after the close's write time is
   * counted lost in its group: every message the server read from a
   * provider is written or counted before the summaries. */
  void CloseProviders();
  /* "-stdout": the console kept off-screen. */
  void StdoutConsole();
  /* The main loop's filter sets: adapter events, the application's own
   * messages, the on/off answers and, with fUnits, the trace units. */
  static std::vector<_VQX_FILTER_PARAMS> FilterSets(bool fUnits);
  /* Opens the main loop's filter. */
  u32 CreateFilter();
  /* At the close, after the traces went off and the providers were told
   * capture off: takes the units the main loop's filter holds or receives
   * until the boards have answered un32Answers off requests (a board
   * answers after the units it sent before; "Close: every traces-off
   * answered after %u ms") and the filter is empty, and, with the mutex
   * released, lets the providers' data in until none came for
   * VQ_SIGTRACE_DRAIN_MS ("Close: no provider data for %u ms"; a provider
   * has no answer that says it stopped); units and data are written within
   * VQ_SIGTRACE_DRAIN_MS and counted in their groups' lost after it. The
   * boards' wait ends early when nothing arrives from them for
   * VQ_SIGTRACE_DRAIN_MS ("Close: nothing received for %u ms (%u answer(s)
   * missing)"), all of it at VQ_SIGTRACE_DRAIN_CAP_MS, and at a SIGTERM or
   * SIGINT that comes during the close (CloseCutShort, checked at least
   * every 100 ms); then StopTakingUnits (without a filter: nothing more). */
  void DrainTraceUnits(u32 un32Answers);
  /* A provider delivered data within VQ_SIGTRACE_DRAIN_MS before un64Now. */
  bool ProvidersSending(u64 un64Now) const {
    return mun64LastProviderDataMs != 0 && un64Now - mun64LastProviderDataMs < VQ_SIGTRACE_DRAIN_MS;
  }
  /* A signal came during the close: a second one when a signal began it, a
   * first one when the run time, the console or the manager did. */
  bool CloseCutShort() const;
  /* The run time given by "-e" is over at un64Now (never without "-e"). */
  bool RunTimeOver(u64 un64Now) const;
  /* One receive of the close (up to un32WaitMs, mutex released): its units
   * to their groups, its on/off answers counted down from un32Answers. The
   * receive's result. */
  VQX_RESULT TakeClosingBatch(u32 un32WaitMs, u32& un32Answers);
  /* Every group's records counted lost instead of written (the close). */
  void DiscardGroups();
  /* The end of the drain: the groups discard, the filter stops taking
   * units ("Close: the groups take no more units"), and the units it still
   * holds are counted in their groups; none is taken after that, so every
   * unit taken in is in its group's summary. The units the boards still
   * send are dropped by the host library as taken by no filter, which
   * counts them (RxMsgMatchNoQ, noted here); every other message is taken
   * from then on by the close's sink, which frees it, so that count is of
   * units alone. */
  void StopTakingUnits();
  /* Once the groups are closed and the boards' links too (what their TCP
   * had acknowledged read, nothing more): the units read after the groups
   * stopped taking them, as the host library counted them, and those the
   * main loop's filter holds (only a filter that could not stop taking them
   * holds any), in the line
   * "Close: %llu trace unit(s) received too late to be written, dropped",
   * none where no unit was dropped. The sink goes. */
  void DropQueued();
  /* "-stdout": the answer to a write whose reader takes nothing (see the
   * model); StdoutWaitOf is its form for the segments. */
  EVQStdoutWait StdoutWait() const;
  static EVQStdoutWait StdoutWaitOf(void* pvApp);
};

/*
 * The quit flag of the running application, for main's signal handler
 * (SIGTERM, SIGINT) and for the main loop's broken-output check. Set by
 * VqSigTraceSetRunning; null when none runs.
 */
volatile u32* VqSigTraceQuitFlag();
void VqSigTraceSetRunning(volatile u32* pfQuit);
/* For main's SIGTERM and SIGINT handler (async-signal-safe): sets the quit
 * flag of the running application and writes one byte to the self-pipe that
 * its main loop watches, which wakes the loop's wait. */
void VqSigTraceSignalQuit();
/* SIGTERM and SIGINT received by the process so far (VqSigTraceSignalQuit
 * counts them). */
u32 VqSigTraceQuitSignals();

}  // namespace VQCAF

#endif
