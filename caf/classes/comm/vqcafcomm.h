/*
 * vqcafcomm.h - CVQCAFComm, the one object through which the framework and
 * the application reach the host messaging library.
 *
 * Model. At most one bridge per process. Init opens the host library with
 * both gateway transports off; Start switches them; SetParam changes the
 * library's parameters while it runs; Uninit closes it. Everyone else borrows
 * the library handle with GetHostLibInstance / ReleaseHostLibInstance (a use
 * count checked at destruction; lending takes no lock), or holds the whole bridge exclusively with
 * GetInstance / ReleaseInstance (same thread, paired).
 *
 * Life cycle and threads. Init, SetParam, Start and Uninit come from the
 * framework life cycle; the other operations from any thread. Uninit clears
 * the singleton first, so that no new caller reaches it, then waits for the
 * callers already inside (and for owners on other threads; after 5 s it logs
 * what it waits for) before it destroys the bridge and its mutex.
 *
 * Results: 0x02000000 unless said otherwise; the host library's results are
 * passed through. Failures are logged once on sub-module 9 ("COMM").
 */
#ifndef VQCAFCOMM_H
#define VQCAFCOMM_H

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "vqcafcommparams.h"
#include "vqcaflogtrace.h"
#include "vqcafmutex.h"
#include "vqcafptr.h"
#include "vqx_host_peer.h"

namespace VQCAF {

/* The bridge's close waits for what was sent to be taken by the peers (in their filters, as their acknowledgements
   say; VQXGetTxPendingCount): at most this long in all, and not longer than this without one message taken (a peer
   that reads nothing); what is left then is dropped, and said. */
constexpr u32 VQCAF_COMM_CLOSE_SEND_WAIT_MS = 30000;
constexpr u32 VQCAF_COMM_CLOSE_SEND_STALL_MS = 5000;

/* That wait: looks at the messages still queued (Pending), waiting a step between looks (WaitStep), until none is
   left, VQCAF_COMM_CLOSE_SEND_WAIT_MS have passed or none was taken for VQCAF_COMM_CLOSE_SEND_STALL_MS, by Now
   (ms). Returns the messages left, *pun64WaitedMs the time it took. */
u64 VqcafWaitSentBounded(const std::function<u64()>& Pending, const std::function<void()>& WaitStep,
                         const std::function<u64()>& Now, u64* pun64WaitedMs);

/* The lines the close logs at the error level once that wait ended, from the library's account at its start and at
   its end (VQXGetTxAccount) and the time it took: what is known lost (still in the send fifos, or freed from them
   with a peer removed meanwhile) on one line, what was handed to the transport and not acknowledged (a peer may
   still read it, or may not) on another; none when the peers took everything. */
std::vector<std::string> VqcafCloseSentLines(const VQX_TX_ACCOUNT& Start, const VQX_TX_ACCOUNT& End, u64 un64WaitedMs);

class CVQCAFComm : private CVQCAFLogTrace {
 public:
  /* 0x82000016 "Please call VQCAF::GlobalInit() first" without the globals
   * object; 0x82000011 "Cannot init twice."; 0x82000001 "Creating CVQCAFComm
   * Failed." when the library does not open (no singleton then). */
  static VQX_RESULT Init(CVQCAFCommParams& Params);
  /* Destroys the singleton if there is one (see the model); 0x02000000. */
  static VQX_RESULT Uninit();
  static bool IsInitialized();
  /* The process is closing: every send waiting for room in the library, now or later, fails at once instead
   * (0x82010218, its message counted dropped), since the close waits for the threads inside the framework.
   * 0x82000016 without a bridge. */
  static VQX_RESULT EndSendWaits();

  /* The bridge with its mutex taken and one owner counted, or null. Pair with
   * ReleaseInstance on the same thread. */
  static CVQCAFComm* GetInstance();
  void ReleaseInstance();

  /* The library handle with one user counted; null without a bridge. */
  static VQX_LIB_HANDLE GetHostLibInstance();
  /* One user less; nothing without a bridge. */
  static void ReleaseHostLibInstance();
  /* The library handle pinned for one short operation (Uninit waits until it
   * is unpinned), or null; no user is counted. Pair with UnpinHostLib when
   * the handle is not null. */
  static VQX_LIB_HANDLE PinHostLib();
  static void UnpinHostLib();

  /* 0x82000016 without a bridge; 0x8200000F without an open library; the
   * library's failure (VQXModifLibParams, then VQXConfigureNetworkRedundancy). */
  static VQX_RESULT SetParam(CVQCAFCommParams& Params);
  /* Switches the adapters' and hosts' gateway transports. 0x82000016 without a bridge. */
  static VQX_RESULT Start(u32 fAdaptersOn, u32 fHostsOn);
  /* The library's validation, nothing applied. 0x82000016 without a bridge. */
  static VQX_RESULT ValidateParam(CVQCAFCommParams& Params);
  /* 0x82000001 without a bridge; otherwise the library's result, *pun32Port 0 on failure. */
  static VQX_RESULT GetGwPort(u32* pun32Port);
  /* This process's application name / host name as the library publishes them. 0x82000001 without a bridge. */
  static VQX_RESULT GetApplicationName(CVQCAFString& strName);
  static VQX_RESULT GetHostName(CVQCAFString& strName);

  /* Fills L for an open (before the library is open) or a change (after). P's
   * empty application name becomes "UnnamedApp_0x%08X" with the process id. */
  void BuildHostLibParams(CVQCAFCommParams& P, _VQX_LIB_PARAMS* pL);

  /* Status handler for the host library (not installed by the bridge): logs
   * the cause and answers the action. */
  static void VQCAFCommHostLibErrorHandler(void* pvContext, VQX_LIB_HANDLE hLib, u32 hAdapter,
                                           _VQX_LIB_ERROR_INFO* pInfo, _VQX_LIB_ERROR_ACTION* pAction);

  using CVQCAFLogTrace::LogTrace;

 private:
  explicit CVQCAFComm(CVQCAFCommParams& Params);
  ~CVQCAFComm() override;
  /* The close's wait for what was sent (VQCAF_COMM_CLOSE_SEND_WAIT_MS, VQCAF_COMM_CLOSE_SEND_STALL_MS): what is
     still queued when it gives up is logged as dropped, with its count. */
  void WaitSent();

  VQX_RESULT SetParamPrivate(CVQCAFCommParams& Params);
  VQX_RESULT StartPrivate(u32 fAdaptersOn, u32 fHostsOn);
  VQX_RESULT ValidateParamPrivate(CVQCAFCommParams& Params);
  VQX_RESULT GetGwPortPrivate(u32* pun32Port);
  VQX_RESULT GetApplicationNameInstancePrivate(CVQCAFString& strName);
  VQX_RESULT GetHostNameInstancePrivate(CVQCAFString& strName);
  VQX_LIB_HANDLE GetHostLibInstancePrivate();
  void ReleaseHostLibInstancePrivate();
  VQX_RESULT LocalHostInfo(_VQX_HOST_INFO* pInfo);

  friend void VQCAFCommLogPrint(void* pvContext, VQX_LIB_HANDLE hLib, const char* pszText);
  friend void VQCAFCommLogPrintError(void* pvContext, VQX_LIB_HANDLE hLib, const char* pszText);

  VQX_LIB_HANDLE mhHostLib;
  CVQCAFMutex mMutex;
  u32 mun32NbOwners;
  std::atomic<u32> mun32NbHostLibUsers;
  CVQCAFPtr<CVQCAFCommParams> mpParams;
};

/* The host library pinned for one short operation (an allocation or a release): the bridge cannot
 * close meanwhile. Get() is null when there is no bridge, and then nothing is pinned. Two atomic
 * operations, where a counted loan (GetHostLibInstance) costs six. */
class CVQCAFHostLibPin {
 public:
  CVQCAFHostLibPin() : mh(CVQCAFComm::PinHostLib()) {}
  ~CVQCAFHostLibPin() {
    if (mh != nullptr) CVQCAFComm::UnpinHostLib();
  }
  CVQCAFHostLibPin(const CVQCAFHostLibPin&) = delete;
  CVQCAFHostLibPin& operator=(const CVQCAFHostLibPin&) = delete;
  VQX_LIB_HANDLE Get() const { return mh; }

 private:
  VQX_LIB_HANDLE mh;
};

/* The library's print callbacks (context: the bridge). */
void VQCAFCommLogPrint(void* pvContext, VQX_LIB_HANDLE hLib, const char* pszText);
void VQCAFCommLogPrintError(void* pvContext, VQX_LIB_HANDLE hLib, const char* pszText);

}  // namespace VQCAF

#endif
