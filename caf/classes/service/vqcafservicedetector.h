/*
 * vqcafservicedetector.h - the one object through which framework services
 * use the services library, and the service-connected message.
 *
 * Model. Init opens the services library over the bridge's host library;
 * Register / Unregister / SendMsg serve CVQCAFService and its instances; the
 * library's callbacks become OnServiceConnected / OnMsgReceived /
 * OnServiceDisconnected calls on services, handlers and instances. One
 * reference per linked (service, remote service) pair, at most 1024.
 *
 * Guarantees on top of the services library's order (one callback per
 * service at a time: connect, messages, disconnect): an instance that cannot
 * be linked because its pair already exists (0x82000005) or the 1024 pairs
 * are taken (0x82000008) is handed back at once through the handler's
 * OnServiceDisconnected; one still linked elsewhere (0x8200000F) is not.
 *
 * Life cycle. Uninit clears the detector first (no new caller reaches it),
 * waits for callers inside it and for owners on other threads (logging every
 * 5 s what it waits for), then closes the library and destroys it.
 */
#ifndef VQCAFSERVICEDETECTOR_H
#define VQCAFSERVICEDETECTOR_H

#include "vqcafpool.h"
#include "vqcafservice.h"

namespace VQCAF {

constexpr u32 VQCAF_MSG_SERVICE_CONNECTED = 0x0B000100u;
constexpr u32 VQCAF_MSG_SERVICE_DISCONNECTED = 0x0B000200u;
constexpr u32 VQCAF_SERVICE_DETECTOR_MAX_PAIRS = 1024u;

/* Tells an instance that its remote service came (0x0B000100) or went (0x0B000200). */
class CVQCAFMsgServiceConnected : public CVQCAFMsg {
 public:
  explicit CVQCAFMsgServiceConnected(u32 un32MsgId);
  CVQCAFMsgServiceConnected(u32 un32MsgId, CVQCAFServiceInfo& Info);
  VQX_RESULT Serialize(CVQCAFSerialize& s) override { return mServiceInfo.Serialize(s); }
  VQX_RESULT Unserialize(CVQCAFSerialize& s) override { return mServiceInfo.Unserialize(s); }
  u32 SerializeSize() override { return mServiceInfo.SerializeSize(); }
  CVQCAFServiceInfo mServiceInfo;
};

class CVQCAFServiceDetector : private CVQCAFLogTrace {
 public:
  /* 0x82000011 when one exists; 0x82000001 when the library does not open. */
  static VQX_RESULT Init();
  static VQX_RESULT Uninit();
  /* The detector with its mutex taken (pair with ReleaseInstance), or null. */
  static CVQCAFServiceDetector* GetInstance();
  void ReleaseInstance();

  /* 0x82000016 without a detector; 0x8200000F already / not registered. */
  static VQX_RESULT Register(CVQCAFService* pService);
  static VQX_RESULT Unregister(CVQCAFService* pService);
  /* The message's or buffer's service-instance handle names the remote
   * service. 0x82000016 without a detector; 0x82000010 an empty buffer. */
  static VQX_RESULT SendMsg(CVQCAFMsg& Msg, u32 fBroadcast);
  static VQX_RESULT SendMsg(CVQCAFMsgBuffer& Msg, u32 fBroadcast);

  /* Library callbacks (context: the detector). */
  static void VQCAFServiceDetectorServiceConnected(void* pvContext, u32* hLib, u32* hService, void* pvServiceContext,
                                                   u32* hRemoteService, _VQX_SERVICES_LIB_SERVICE_INFO* pInfo,
                                                   u32 fConnected);
  static void VQCAFServiceDetectorServiceMsgReceived(void* pvContext, u32* hLib, u32* hService, void* pvServiceContext,
                                                     u32* hRemoteService, u32** pphMsg);
  static void VQCAFServiceDetectorLogPrint(void* pvContext, u32 un32Level, char* pszText, char* pszFormat,
                                           va_list args);

  static CVQCAFString BuildServiceInstanceKey(CVQCAFService* pService, u32* hRemoteService);

 private:
  CVQCAFServiceDetector();
  ~CVQCAFServiceDetector() override;
  VQX_RESULT RegisterPrivate(CVQCAFService* pService);
  VQX_RESULT UnregisterPrivate(CVQCAFService* pService);
  VQX_RESULT SendMsgPrivate(CVQCAFMsg& Msg, u32 fBroadcast);
  VQX_RESULT SendMsgPrivate(CVQCAFMsgBuffer& Msg, u32 fBroadcast);
  void OnServiceConnected(CVQCAFService* pService, u32* hRemoteService, _VQX_SERVICES_LIB_SERVICE_INFO* pInfo);
  void OnServiceDisconnected(CVQCAFService* pService, u32* hRemoteService);
  void OnMsgReceived(CVQCAFService* pService, u32* hRemoteService, u32** pphMsg);
  void Failure(const char* pszOperation, const char* pszText, VQX_RESULT Result, int nLine);

  VQX_SERVICES_LIB_HANDLE mhServicesLib = nullptr;
  VQX_LIB_HANDLE mhHostLib = nullptr;
  CVQCAFPool<CVQCAFPoolPointerElement> mPool;
  CVQCAFMutex mMutex;
  u32 mun32NbOwners = 0;
};

}  // namespace VQCAF

#endif
