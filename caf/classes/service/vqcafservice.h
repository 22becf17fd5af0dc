/*
 * vqcafservice.h - services and service instances of the framework.
 *
 * Model. A CVQCAFService (derived by each concrete service, which fills
 * mParams: service id, detected remote ids, filters) is registered with the
 * service detector by Start. For each matching remote service that comes up,
 * the handler's OnServiceConnected returns a CVQCAFServiceInstance (or null
 * to ignore it): the local end of the link. The instance then receives, in
 * order and one at a time: the service-connected message (0x0B000100), the
 * remote service's messages, the service-disconnected message (0x0B000200);
 * then SetReady(0) and the handler's OnServiceDisconnected, after which the
 * application may destroy it. Nothing reaches an instance after that.
 *
 * Threads. Callbacks come from the services library's threads with no
 * framework lock held. Stop (and destroying a service) waits for a callback
 * of that service in progress on another thread, so never stop a service
 * while holding a lock that its callbacks take; Stop inside one of its own
 * callbacks does not wait for itself. A derived service calls Stop in its own
 * destructor (the base destructor reports a service still registered).
 */
#ifndef VQCAFSERVICE_H
#define VQCAFSERVICE_H

#include "vqcaflogtrace.h"
#include "vqcafmsg.h"
#include "vqcafmutex.h"
#include "vqcafserviceinfo.h"
#include "vqcafstring.h"

namespace VQCAF {

class CVQCAFService;
class CVQCAFServiceInstance;
class CVQCAFServiceDetector;

class IVQCAFServiceHandler {
 public:
  virtual ~IVQCAFServiceHandler() = default;
  /* The instance for this remote service (pInfo valid during the call), or null to ignore it. */
  virtual CVQCAFServiceInstance* OnServiceConnected(CVQCAFService* pService, CVQCAFServiceInfo* pInfo) = 0;
  /* The instance is unlinked (also an instance that was refused): the application owns it again. */
  virtual void OnServiceDisconnected(CVQCAFService* pService, CVQCAFServiceInstance* pInstance) = 0;
};

class IVQCAFServiceAlmMgmtClient {
 public:
  virtual ~IVQCAFServiceAlmMgmtClient() = default;
  virtual void OnMgmtReady() = 0;
  virtual void OnMgmtShutdown(u32 un32State) = 0;
  /* A result code; a failure (bit 31) or a warning (bit 30) withholds the ready
   * answer, so the master's watchdog may kill the process. */
  virtual u32 OnMgmtHeartBeat() = 0;
};

/* A configuration manager's requests (CVQCAFServiceCmMgmtClient); each result
 * code goes back to the manager in the answer. */
class IVQCAFServiceCmMgmtClient {
 public:
  virtual ~IVQCAFServiceCmMgmtClient() = default;
  virtual u32 OnValidateConfig(u32 un32Param1, u32 un32Param2, CVQCAFString strText) = 0;
  virtual u32 OnReloadConfig(u32 un32Param, CVQCAFString strText1, CVQCAFString strText2) = 0;
  virtual u32 OnDbMaintenance() = 0;
};

class IVQCAFServiceInstance {
 public:
  virtual ~IVQCAFServiceInstance() = default;
  virtual void OnMsgReceived(CVQCAFService* pService, CVQCAFMsgBuffer& Msg) = 0;
  virtual VQX_RESULT SendMsg(CVQCAFMsgBuffer& Msg, u32 fBroadcast) = 0;
  virtual VQX_RESULT SendMsg(CVQCAFMsg& Msg, u32 fBroadcast) = 0;
  virtual CVQCAFServiceInfo GetServiceInfo() = 0;
};

class CVQCAFServiceInstance : public IVQCAFServiceInstance {
 public:
  CVQCAFServiceInstance() = default;
  ~CVQCAFServiceInstance() override = default;

  /* The message form: 0x82000016 when unlinked and not a broadcast. The buffer
   * form: 0x82000016 whenever unlinked. Otherwise the detector's result. */
  VQX_RESULT SendMsg(CVQCAFMsgBuffer& Msg, u32 fBroadcast) override;
  VQX_RESULT SendMsg(CVQCAFMsg& Msg, u32 fBroadcast) override;
  CVQCAFServiceInfo GetServiceInfo() override;

  virtual u32 IsReady() { return mfReady; }
  virtual u32* GetServiceInstanceHandle() { return mhInstance; }
  virtual VQX_RESULT SetServiceInfo(CVQCAFServiceInfo* pInfo);
  /* Ready flag = fReady; the handle is cleared in both cases. */
  virtual void SetReady(u32 fReady);

 private:
  friend class CVQCAFService;
  friend class CVQCAFServiceDetector;
  CVQCAFServiceInfo mServiceInfo;
  CVQCAFMutex* mpMutex = nullptr;
  CVQCAFService* mpOwner = nullptr;
  u32 mfReady = 0;
  u32* mhInstance = nullptr;
};

class CVQCAFService : private IVQCAFServiceHandler, public CVQCAFServiceInstance, public CVQCAFLogTrace {
 public:
  /* pHandler null: the service is its own handler (and ignores every remote service). */
  CVQCAFService(const char* pszName, IVQCAFServiceHandler* pHandler);
  ~CVQCAFService() override;

  virtual CVQCAFServiceParams GetParam();
  virtual CVQCAFString GetServiceName();
  /* Registers with the detector. 0x82000014 when mParams has no service id;
   * the detector's failure; 0x02000000 also when already started. */
  virtual VQX_RESULT Start(CVQCAFServiceInstance* pDefaultInstance);
  /* Unregisters (every link's disconnection delivered first, on this thread). 0x02000000 when not started.
   * Waits for a callback of this service in progress on another thread: never call it holding a lock that
   * the handler or the instances take in their callbacks. Inside its own callback it does not wait for itself.
   * A send of the service's or its instances' waiting for room, on any thread, ends as it begins: that send
   * fails with 0x82010218 (its message counted dropped), as does each such send until the next Start. */
  virtual VQX_RESULT Stop();

  void LogTrace(_VQX_TRACE_LEVEL Level, const char* pszFormat, ...) override __attribute__((format(printf, 3, 4)));
  void LogTrace(_VQX_TRACE_LEVEL Level, const char* pszFormat, _VQX_VA_LIST& args) override;
  /* Puts "<name>: " first and passes at most the first 2 prefixes on. */
  void LogTrace(_VQX_TRACE_LEVEL Level, char** apszPrefix, u32 un32Count, const char* pszFormat,
                _VQX_VA_LIST& args) override;

  /* The service seen as an instance: messages for no instance are ignored. */
  void OnMsgReceived(CVQCAFService* pService, CVQCAFMsgBuffer& Msg) override;

  IVQCAFServiceHandler* GetHandler() { return mpHandler; }
  CVQCAFServiceInstance* GetDefaultInstance() { return mpDefaultInstance; }
  u32* GetRegistrationHandle() { return mhRegistration; }

 protected:
  CVQCAFServiceInstance* OnServiceConnected(CVQCAFService* pService, CVQCAFServiceInfo* pInfo) override;
  void OnServiceDisconnected(CVQCAFService* pService, CVQCAFServiceInstance* pInstance) override;

  CVQCAFServiceParams mParams;
  CVQCAFMutex mServiceMutex;

 private:
  friend class CVQCAFServiceDetector;
  friend class CVQCAFServiceInstance;
  IVQCAFServiceHandler* mpHandler = nullptr;
  volatile u32 mfStopping = 0; /* set by Stop before it waits; read by the library's waits for room */
  CVQCAFServiceInstance* mpDefaultInstance = nullptr;
  CVQCAFString mstrName;
  u32* mhRegistration = nullptr;
};

}  // namespace VQCAF

#endif
