/*
 * vqcafservicealmmgmt.h - process management ("ALM"), one object per process.
 *
 * Client role: offers 0x08250200, links the master service 0x08250100 of the
 * same host, answers each heartbeat operation with a ready notification and
 * acknowledges shutdown operations before telling the application
 * (IVQCAFServiceAlmMgmtClient). Master role: opens the launch library, which
 * starts, watches and stops applications; their events reach
 * IVQCAFServiceAlmMgmt (one per application or the master's).
 * Messages of group 0x0825 are raw records in native order (no envelope):
 * docs/launch-lib.md.
 *
 * Threads: callbacks come from the services library's threads and the
 * launch library's thread; every call into an interface is made with the
 * service mutex released. Lock order: service mutex, then launch library.
 */
#ifndef VQCAFSERVICEALMMGMT_H
#define VQCAFSERVICEALMMGMT_H

#include <cstddef>

#include "vqcafhashlist.h"
#include "vqcafservice.h"
#include "vqx_launch.h"

namespace VQCAF {

constexpr u32 VQCAF_SERVICE_ID_ALM_MASTER = 0x08250100u;
constexpr u32 VQCAF_SERVICE_ID_ALM_CLIENT = 0x08250200u;

class IVQCAFServiceAlmMgmt {
 public:
  virtual ~IVQCAFServiceAlmMgmt() = default;
  virtual void OnMgmtReady(u32 un32AppId, _VQX_LAUNCH_LIB_PROCESS_STATE State) = 0;
  virtual void OnMgmtShutdown(u32 un32AppId, _VQX_LAUNCH_LIB_PROCESS_STATE State, u8 fExited,
                              u32 un32ExitStatus) = 0;
};

/* Records of the four messages (offsets in docs/launch-lib.md). */
struct VQCAF_ALM_OP_HEARTBEAT {
  u32 aun32Zero[2];
  u32 un32Version;
  u32 un32Number;
  u8 abyZero[36];
  u32 un32ElementSet;
};
static_assert(sizeof(VQCAF_ALM_OP_HEARTBEAT) == 56);
static_assert(offsetof(VQCAF_ALM_OP_HEARTBEAT, un32Number) == VQX_LAUNCH_OFFSET_NUMBER);
static_assert(offsetof(VQCAF_ALM_OP_HEARTBEAT, un32ElementSet) == VQX_LAUNCH_OFFSET_ELEMENTS);

struct VQCAF_ALM_RECORD48 {
  u32 aun32Zero[2];
  u32 un32Version;
  u32 un32Word;  /* heartbeat number or state */
  u8 byWatch;    /* ready notification only */
  u8 abyZero[31];
};
static_assert(sizeof(VQCAF_ALM_RECORD48) == 48);
static_assert(offsetof(VQCAF_ALM_RECORD48, byWatch) == VQX_LAUNCH_OFFSET_WATCH);

/* One record raw as the whole payload. Reading clears the record first and
 * refuses a payload shorter than it (0x82000010). */
template <class R, u32 Id>
class CVQCAFMsgAlmMgmtRecord : public CVQCAFMsg {
 public:
  CVQCAFMsgAlmMgmtRecord() : CVQCAFMsg(Id), mRecord() { SetMinSize(sizeof(R)); }
  VQX_RESULT Serialize(CVQCAFSerialize& s) override { return s.Write(sizeof(R), &mRecord); }
  VQX_RESULT Unserialize(CVQCAFSerialize& s) override {
    mRecord = R();
    const VQX_RESULT r = s.Read(sizeof(R), &mRecord);
    if (VQX_RESULT_FAILED(r)) mRecord = R();
    return VQX_RESULT_FAILED(r) ? VQX_RESULT_INVALID_MESSAGE : r;
  }
  u32 SerializeSize() override { return sizeof(R); }
  R mRecord;
};
using CVQCAFMsgAlmMgmtOpHeartbeat = CVQCAFMsgAlmMgmtRecord<VQCAF_ALM_OP_HEARTBEAT, VQX_LAUNCH_MSG_ID_OP_HEARTBEAT>;
using CVQCAFMsgAlmMgmtOpShutdown = CVQCAFMsgAlmMgmtRecord<VQCAF_ALM_RECORD48, VQX_LAUNCH_MSG_ID_OP_SHUTDOWN>;
using CVQCAFMsgAlmMgmtNotifReady = CVQCAFMsgAlmMgmtRecord<VQCAF_ALM_RECORD48, VQX_LAUNCH_MSG_ID_NOTIF_READY>;
using CVQCAFMsgAlmMgmtNotifShutdown = CVQCAFMsgAlmMgmtRecord<VQCAF_ALM_RECORD48, VQX_LAUNCH_MSG_ID_NOTIF_SHUTDOWN>;

/* Display name of a state, padded with blanks to 19 characters ("Unknown" otherwise). */
const char* VqcafAlmStateName(u32 un32State);

void VQCAFAlmMgmtLogPrint(void* pContext, u32 Level, const char* pszColour, const char* pszFormat, va_list Args);
void VQCAFAlmMgmtProcessReady(void* pContext, VQX_LAUNCH_LIB_HANDLE hLaunchLib, _VQX_LAUNCH_LIB_PROCESS_INFO* pInfo);
void VQCAFAlmMgmtProcessShutdown(void* pContext, VQX_LAUNCH_LIB_HANDLE hLaunchLib,
                                 _VQX_LAUNCH_LIB_PROCESS_INFO* pInfo);

/* A service to the outside; the management interface is a private base, through which
 * the launch library's reports reach it (and the table of applications). */
class CVQCAFServiceAlmMgmt : public CVQCAFService, private IVQCAFServiceAlmMgmt {
 public:
  static CVQCAFServiceAlmMgmt* GetInstance() { return spInstance; }
  /* 0x82000011 when an instance exists (it stays); a failing registration
   * or launch library fails Init and leaves no instance. */
  static VQX_RESULT Init(u32 fMaster, u32 un32MaxApplication, IVQCAFServiceAlmMgmt* pMaster,
                         IVQCAFServiceAlmMgmtClient* pClient);
  static VQX_RESULT Uninit();

  void Register(IVQCAFServiceAlmMgmtClient* p);
  void Register(IVQCAFServiceAlmMgmt* p);
  /* The client's result; a failure (bit 31) is logged and returned, a warning
   * counts as success here (the message path withholds the answer for both). */
  virtual u32 OnMgmtHeartBeat();
  void OnMsgReceived(CVQCAFService* pService, CVQCAFMsgBuffer& Msg) override;

  /* Master role. 0x8200000C without the launch library (client role).
   * SetParams: 0x8200000F in the client role; the three times (ms) go to the
   * launch library as given, 0 included (no defaults, unlike at opening). */
  VQX_RESULT SetParams(u32 un32StartingMs, u32 un32HeartbeatMs, u32 un32MgmtShutdownMs);
  VQX_RESULT CreateApplication(const char* pszPath, const char* pszParams, const char* pszWorkDir, u32* pun32AppId,
                               IVQCAFServiceAlmMgmt* pApp, u32 fQuiet);
  VQX_RESULT DestroyApplication(u32 un32AppId, u32 fGraceful);
  VQX_RESULT LockApplication(u32 un32AppId, u32 fLock);
  VQX_RESULT GetApplicationInfo(u32 un32AppId, _VQX_LAUNCH_LIB_PROCESS_INFO* pInfo);
  VQX_RESULT GetApplicationName(u32 un32AppId, CVQCAFString& strName);
  void OnMgmtReady(u32 un32AppId, _VQX_LAUNCH_LIB_PROCESS_STATE State) override;
  void OnMgmtShutdown(u32 un32AppId, _VQX_LAUNCH_LIB_PROCESS_STATE State, u8 fExited, u32 un32ExitStatus) override;

  ~CVQCAFServiceAlmMgmt() override;

 protected:
  explicit CVQCAFServiceAlmMgmt(u32 fMaster);
  CVQCAFServiceInstance* OnServiceConnected(CVQCAFService* pService, CVQCAFServiceInfo* pInfo) override;
  void OnServiceDisconnected(CVQCAFService* pService, CVQCAFServiceInstance* pInstance) override;
  VQX_RESULT OpenLaunchLib(u32 un32MaxApplication);
  void Reply(CVQCAFMsg& Msg, const char* pszFailText);

  static CVQCAFServiceAlmMgmt* spInstance;
  u32 mfMaster = 0;
  u32 mfMasterDetected = 0;
  VQX_LAUNCH_LIB_HANDLE mhLaunchLib = nullptr;
  IVQCAFServiceAlmMgmtClient* mpClient = nullptr;
  IVQCAFServiceAlmMgmt* mpMaster = nullptr;
  u32 mfReadyNotified = 0;
  char mszLaunchName[32] = {};
  CVQCAFHashList<IVQCAFServiceAlmMgmt, unsigned int> mApplications;
  VQX_LIB_HANDLE mhLib = nullptr;
};

}  // namespace VQCAF

#endif
