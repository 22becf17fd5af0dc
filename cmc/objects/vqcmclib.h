/*
 * vqcmclib.h - CVQCMCLib, the process-wide call/media control client
 * singleton, and CVQCMCLibParams, its parameters.
 *
 * Model. The framework life cycle (or an application) calls Init with the
 * parameters: the instance takes one host-library reference, creates its
 * two mutexes, the join-record pools registered with RegisterJoinPool and
 * the leg-id and mixer-id registries. Attach hands it the application's
 * user object and opens the core library (vqcmc_lib.h) with the default
 * and log callbacks below; Detach stops the core library; Uninit destroys
 * the instance (legs and mixers must be freed first). Legs and mixers take
 * the core-library handle from GetCmcLibHandle, register under their ids
 * (LegIdAdd / MixerIdAdd) and give the core library the entity callbacks
 * below; HandleMessage receives the library-wide messages.
 *
 * Locks, in the order taken: mpMsgMutex (one library-wide message at a
 * time), a leg's or mixer's own mutex, a join-record class mutex, mpIdMutex
 * (one registry call, or LegIdLock .. LegIdUnlock). All recursive.
 * Threads: Init, Attach, Detach, SetParam and Uninit from the application's
 * control thread, one at a time (Detach also from a library-wide handler's
 * user callback); GetInstance, the registries, the events and the
 * callbacks from any thread.
 * Results: 0x02000000 success; bit 31 set failure (vqx_result.h names).
 */
#ifndef VQCMCLIB_H
#define VQCMCLIB_H

#include <atomic>

#include "vqcaflogtrace.h"
#include "vqcmc_lib.h"
#include "vqx_hash.h"

namespace VQCAF {

class CVQCAFMutex;
class CVQCMCLeg;
class CVQCMCMixer;
class IVQCMCLibUser;
class CVQCMCLibUser;
class IVQCMCEvent;
class CVQCMC_JOIN_ATTRIBUTE;
class CVQCMC_MEDIA_PROFILE;

/* Parameters of the client stack (value class). */
class CVQCMCLibParams {
 public:
  CVQCMCLibParams() = default;

  /*
   * Reads "cmc_nb_threads = N" from a text file of "key = value" lines (the
   * key must be the whole text before "="; N is the number the value begins
   * with, decimal, 0x hexadecimal or leading-0 octal, read up to the first
   * character that does not fit: "12abc" is 12, no digits are 0; 1..200).
   * A line longer than 1022 characters is skipped. A missing file leaves the
   * parameters unchanged and returns 0x02000000 (logged). A value out of
   * range (past 32 bits included) keeps the value held before it, writes
   * "cmc_nb_threads too small, min is 1" or "cmc_nb_threads too big, max is
   * 200" into pszError (at least 256 bytes; set empty on entry) and returns
   * 0x8200000A; the later lines are not read.
   */
  VQX_RESULT LoadFromCfgFile(const char* pszPath, char* pszError);

  u32 mun32MaxLegs = VQCMC_LIB_DEFAULT_MAX_LEGS; /* legs; a third of it (rounded down) mixers */
  u32 mun32NbThreads = 1;                        /* core-library worker threads, 1..200 */
  u8 maun8Flags[4] = {1, 1, 1, 1};               /* sent to every server at registration */
};

/* One join-record pool: created with the instance, cleared with it. */
struct VQCMC_JOIN_POOL_HOOKS {
  VQX_RESULT (*pfnInit)(const CVQCMCLibParams& Params);
  void (*pfnClear)();
};

class CVQCMCLib : public CVQCAFLogTrace {
 public:
  /* ---------------------------------------------------------------- life cycle */

  /*
   * Creates the instance. 0x82000016 before GlobalInit; 0x82000011 when one
   * exists (that one stays); 0x8200000A without a communication bridge
   * (no host library), 0x82000007 when a registry or pool cannot be made:
   * then nothing is installed. Each failure is logged once.
   */
  static VQX_RESULT Init(CVQCMCLibParams& Params);
  /* Destroys the instance if there is one. Always 0x02000000. */
  static VQX_RESULT Uninit();
  /* The instance or null; any thread. */
  static CVQCMCLib* GetInstance() { return spInstance.load(std::memory_order_acquire); }
  /*
   * Stores the user and opens the core library (the user is kept even when
   * the open fails, so that a later Attach may retry). 0x82000011 with no
   * instance, or when the core library is open already; the open's code.
   */
  static VQX_RESULT Attach(CVQCMCLibUser* pUser);
  /*
   * Refuses every later command of legs and mixers (CommandRefusal) and stops the core library
   * (kept until Uninit), then clears the user under mpMsgMutex: a
   * library-wide handler running on another thread ends first, and no handler calls the user
   * once Detach has returned, so the user may go then. From inside a handler (the mutex is this
   * thread's already) it does not wait, and that handler makes no further call to the user.
   * Not to be called holding a leg's, mixer's or join record's mutex (they come after
   * mpMsgMutex). 0x82000011 with no instance.
   */
  static VQX_RESULT Detach();

  /*
   * 0x02000000 while legs and mixers may send commands; 0x82000014 (not initialised) with no
   * instance, before Attach and once Detach has begun: the core library would take nothing
   * more to its servers. Any thread.
   */
  static VQX_RESULT CommandRefusal();

  /* Sleeps in 100 ms steps until *pun32Quit is non-zero (tested before each sleep). */
  void Run(u32* pun32Quit);
  /*
   * Hands threads and flags to the core library (0x82000011 "Must attach
   * first" before Attach); on success stores them. The number of legs is
   * fixed at Attach: the stored mun32MaxLegs stays the open one.
   */
  VQX_RESULT SetParam(CVQCMCLibParams& Params);
  CVQCMCLibParams* GetParams() { return &mParams; }
  /* Gives the core library the current level of sub-module 5. 0x82000011 before Attach. */
  VQX_RESULT UpdateTraceLevel();
  /* *pun32Count: capacity on entry, records written on return (0 and 0x82000016 before Attach). */
  VQX_RESULT GetCMCServerList(u32* pun32Count, _VQCMC_LIB_CMCSERVER_INFO* paList);
  u32 GetActiveCMCServerBuildNumber() const { return mun32ActiveBuildNumber; }
  /* The core library handle (null until Attach). */
  VQCMC_LIB_HANDLE GetCmcLibHandle() const { return mhCmcLib; }
  CVQCMCLibUser* GetUser() const { return mpUser; }
  using CVQCAFLogTrace::LogTrace;

  /* ---------------------------------------------------------------- routing */

  /*
   * One library-wide message (*phMsg, taken in every case: the pointer is
   * cleared and the buffer released once). Under mpMsgMutex. A message whose
   * id has no handler: 0x82000010, logged "Could not handle message".
   */
  VQX_RESULT HandleMessage(VQX_MSG_HANDLE* phMsg);
  /* A server's access point statistics (the element set of a ready or call-leg-present
   * notification) to the attached user as one list; nothing for an empty set. */
  VQX_RESULT HandleNapStats(unsigned int* pSet);
  /* A library notification of at least un32Need payload bytes (else "Invalid
   * message"): fnWork(message, payload); the message released on return. */
  template <class T, u32 id, class F>
  VQX_RESULT LibNotif(VQX_MSG_HANDLE* phMsg, const char* pszHandler, u32 un32Need, F&& fnWork);

  /* Registries (id -> object), each call under mpIdMutex: add 0x82000005 when the id is
   * present (the first stays), 0x82000008 when full, 0x8200000A for a null or all-ones
   * object; remove 0x82000015 when absent; find null when absent. 0x82000014 when the
   * instance has no registries (made by TestInstall without them). */
  VQX_RESULT LegIdAdd(u32 un32LegId, CVQCMCLeg* pLeg);
  CVQCMCLeg* LegIdFind(u32 un32LegId);
  VQX_RESULT LegIdRemove(u32 un32LegId);
  VQX_RESULT MixerIdAdd(u32 un32MixerId, CVQCMCMixer* pMixer);
  CVQCMCMixer* MixerIdFind(u32 un32MixerId);
  VQX_RESULT MixerIdRemove(u32 un32MixerId);
  /* Hold mpIdMutex across a find and the use of its result (all four: the same mutex). */
  void LegIdLock();
  void LegIdUnlock();
  void MixerIdLock() { LegIdLock(); }
  void MixerIdUnlock() { LegIdUnlock(); }

  /*
   * Posts pEvent to the leg or mixer un32EntityId after un32DelayMs (0 or
   * 0xFFFFFFFF: at once); it comes back through the entity's event
   * callback. The event must live until delivered or cancelled. 0x82000011
   * before Attach, 0x82000014 after Detach (nothing would deliver it; not
   * logged); the core library's refusal.
   */
  VQX_RESULT SendEvent(u32 un32EntityId, IVQCMCEvent* pEvent, u32 un32DelayMs);
  VQX_RESULT SendLegEvent(u32 un32LegId, IVQCMCEvent* pEvent, u32 un32DelayMs) {
    return SendEvent(un32LegId, pEvent, un32DelayMs);
  }
  /* Cancels a posted event not yet delivered (the canceller keeps it). 0x82000011 before Attach. */
  VQX_RESULT CancelEvent(u32 un32EntityId, IVQCMCEvent* pEvent);
  VQX_RESULT CancelLegEvent(u32 un32LegId, IVQCMCEvent* pEvent) { return CancelEvent(un32LegId, pEvent); }

  /* ---------------------------------------------------------------- shared objects */

  /* Made by a successful Attach, destroyed with the instance: the join attribute and
   * the empty profile a leg hands out when it has none of its own. */
  static CVQCMC_JOIN_ATTRIBUTE* mpDummyAttr;
  static CVQCMC_MEDIA_PROFILE* mpDummyMediaProfile;

  /* A join-record class registers its pool once (a static initialiser): created by each
   * new instance in registration order, cleared in reverse. At most 4. */
  static void RegisterJoinPool(const VQCMC_JOIN_POOL_HOOKS& Hooks);

  /* Test hook: an instance over a core library the caller opened and keeps (not closed
   * here), with registries but no host library. 0x82000011 when one exists. */
  static VQX_RESULT TestInstall(VQCMC_LIB_HANDLE hCmcLib);
  /* Removes the instance (as Uninit). */
  static void TestUninstall();

 private:
  explicit CVQCMCLib(const CVQCMCLibParams& Params);
  ~CVQCMCLib() override;
  /* Constructor steps; the failure's code, logged (0x02000000 when all exist). */
  VQX_RESULT Construct(bool fHostLib);
  VQX_RESULT FillOpenParams(const CVQCMCLibParams& Params, u32 un32MaxLegs, _VQCMC_LIB_PARAMS* pOpen);
  VQX_RESULT Fail(const char* pszOperation, const char* pszText, u32 un32Detail, VQX_RESULT Result, int nLine);
  VQX_RESULT RegistryAdd(HVQXHASH hHash, u32 un32Id, const void* pvObject);
  void* RegistryFind(HVQXHASH hHash, u32 un32Id);
  VQX_RESULT RegistryRemove(HVQXHASH hHash, u32 un32Id);
  /* Gives the message back to its pool (through the core library or the host library). */
  void ReleaseMsg(VQX_MSG_HANDLE* phMsg);

  /* The library-wide notifications (vqcmclib_notif.cpp); each takes the message. */
  VQX_RESULT HandleCallLegPresent(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleCallLegFailure(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleCmcLibReady(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleCmcLibNotReady(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleLegSync(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleLinkSync(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleMixerSync(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleMixerLinkSync(VQX_MSG_HANDLE* phMsg);

  static std::atomic<CVQCMCLib*> spInstance;

  CVQCMCLibParams mParams;
  CVQCMCLibUser* mpUser = nullptr;
  CVQCAFMutex* mpMsgMutex = nullptr;
  CVQCAFMutex* mpIdMutex = nullptr;
  VQCMC_LIB_HANDLE mhCmcLib = nullptr;
  HVQXHASH mhHashOfLegId = nullptr;
  HVQXHASH mhHashOfMixerId = nullptr;
  VQX_LIB_HANDLE mhHostLib = nullptr;
  u32 mun32ActiveBuildNumber = 0;
  u32 mfOwnsCmcLib = 1;     /* 0 for a TestInstall instance */
  std::atomic<u32> mfDetached{0};  /* set by Detach before it stops the core library */
  u32 mun32PoolsMade = 0;   /* join pools created, cleared by the destructor */
};

/* ------------------------------------------------------------------ callbacks
 * Given to the core library; the handle argument is not used.
 *   VQCmcHandleLegCb / VQCmcHandleMixerCb: message callback of each leg (mixer),
 *     context the object: its HandleMessage.
 *   VQCmcHandleEventCb / VQCmcHandleMixerEventCb: event callback, context the object,
 *     key the IVQCMCEvent*: HandleLegEvent / HandleMixerEvent with the cancelled byte.
 *   VQCmcHandleDefaultCb: the open's message callback: the instance's HandleMessage
 *     (no instance: the message is left to the core library, which releases it).
 *   VQCmcLogTraceCb: the open's log callback, context the instance (a CVQCAFLogTrace):
 *     the line through the context's log when its level passes the context's sub-module.
 * The leg callbacks are defined with the leg, the mixer ones with the mixer. */
void VQCmcHandleLegCb(VQCMC_LIB_HANDLE hLib, void* pvLeg, VQX_MSG_HANDLE* phMsg);
void VQCmcHandleMixerCb(VQCMC_LIB_HANDLE hLib, void* pvMixer, VQX_MSG_HANDLE* phMsg);
void VQCmcHandleEventCb(VQCMC_LIB_HANDLE hLib, void* pvLeg, u64 un64Event, u8* pfCancelled);
void VQCmcHandleMixerEventCb(VQCMC_LIB_HANDLE hLib, void* pvMixer, u64 un64Event, u8* pfCancelled);
void VQCmcHandleDefaultCb(VQCMC_LIB_HANDLE hLib, void* pvContext, VQX_MSG_HANDLE* phMsg);
void VQCmcLogTraceCb(void* pvContext, u32 un32Reserved, u32 un32Level, const char* pszFormat, va_list Args);

/* The event pointer as the core library carries it (its event key), and back. */
inline u64 VqCmcEventKey(IVQCMCEvent* pEvent) { return reinterpret_cast<uintptr_t>(pEvent); }
inline IVQCMCEvent* VqCmcEventFromKey(u64 un64Key) {
  return reinterpret_cast<IVQCMCEvent*>(static_cast<uintptr_t>(un64Key));
}

}  // namespace VQCAF

#endif
