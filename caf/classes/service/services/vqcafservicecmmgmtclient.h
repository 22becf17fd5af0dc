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
 * until it is answered, and a link's messages come one at a time: the copies
 * sent while a request is handled wait for its end; a copy (the same id,
 * number and fields from the same manager) of one of the last 16 answered
 * gets the same answer again, so that the callback runs once per request.
 * A request that cannot be read whole,
 * or carries more than its layout (a text over 4096 bytes, bytes after the
 * last field), is refused: logged, answered with 0x82000010 (short) or
 * 0x8200000A (oversized) when its number could be read, the callback not
 * called. Without a registered application a request is answered 0x82000016.
 *
 * Calling order: Init, Register on GetInstance(), at the end Uninit (not from
 * a callback, and without holding a lock the callbacks take).
 *
 * Threads: requests arrive on the services library's thread; the application
 * is called with the service mutex released. Init, Register and Uninit run on
 * the application's thread.
 */
#ifndef VQCAFSERVICECMMGMTCLIENT_H
#define VQCAFSERVICECMMGMTCLIENT_H

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "vqcafservice.h"

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

/* A request as its manager numbered and filled it: what tells a copy. */
struct VQCAF_CM_REQUEST_KEY {
  u32 un32Id = 0;
  u32 un32Number = 0;
  u32 aun32Word[2] = {};
  std::string astrText[2];
  bool operator==(const VQCAF_CM_REQUEST_KEY&) const = default;
};

/* One detected manager: the service's link to it, owned by the service. */
class CVQCAFCmManagerLink : public CVQCAFServiceInstance {
 public:
  CVQCAFCmManagerLink(CVQCAFServiceCmMgmtClient* pClient, const char* pszHost) : mpClient(pClient), mstrHost(pszHost) {}
  void OnMsgReceived(CVQCAFService* pService, CVQCAFMsgBuffer& Msg) override;
  const CVQCAFString& GetHost() const { return mstrHost; }

  /* The last requests answered, with their results, newest last (service mutex). */
  static constexpr size_t kAnsweredKept = 16;
  std::deque<std::pair<VQCAF_CM_REQUEST_KEY, VQX_RESULT>> maAnswered;

 private:
  CVQCAFServiceCmMgmtClient* mpClient;
  CVQCAFString mstrHost;
};

class CVQCAFServiceCmMgmtClient : public CVQCAFService {
 public:
  static CVQCAFServiceCmMgmtClient* GetInstance() { return spInstance; }
  /* 0x82000011 when an instance exists (it stays); a failed registration
   * fails Init and leaves no instance. */
  static VQX_RESULT Init();
  /* Stops and destroys the instance; 0x02000000 also without one. */
  static VQX_RESULT Uninit();

  /* Records the application's callbacks (null clears them). */
  void Register(IVQCAFServiceCmMgmtClient* p);
  /* A message from the manager of Link: answered when it is the manager
   * answered, else dropped (logged). */
  void OnManagerMsg(CVQCAFCmManagerLink& Link, CVQCAFMsgBuffer& Msg);

  ~CVQCAFServiceCmMgmtClient() override;

 protected:
  CVQCAFServiceCmMgmtClient();
  CVQCAFServiceInstance* OnServiceConnected(CVQCAFService* pService, CVQCAFServiceInfo* pInfo) override;
  void OnServiceDisconnected(CVQCAFService* pService, CVQCAFServiceInstance* pInstance) override;
  /* The application's result for one request read whole (service mutex held on entry). */
  VQX_RESULT Dispatch(CVQCAFMsgCmMgmt& Request);

  static CVQCAFServiceCmMgmtClient* spInstance;
  IVQCAFServiceCmMgmtClient* mpClient = nullptr;
  /* Every manager present, in the order detected; the first is answered. */
  std::vector<std::unique_ptr<CVQCAFCmManagerLink>> maManagers;
};

}  // namespace VQCAF

#endif
