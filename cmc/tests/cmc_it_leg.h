/*
 * cmc_it_leg.h - what the integration tests of the call/media control client
 * objects against the stand-in server share: a journal of callbacks in the
 * order they ran, a leg and a mixer that write every callback they get
 * into it ("A:Accepted 183;"), and a listener that does the same with the
 * errors it is handed. Uses the client objects' public headers only. Callbacks run on
 * the core library's job threads, so the journal is locked.
 */
#ifndef CMC_IT_LEG_H
#define CMC_IT_LEG_H

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

#include "peers/wait_until.h"
#include "vqcmc_leg.h"
#include "vqcmc_mixer.h"

namespace cmcit {

using namespace VQCAF;

/* The callbacks seen, in order. */
class CJournal {
 public:
  void Add(const std::string& s) {
    std::lock_guard Lock(mGuard);
    mstr += s + ";";
  }
  std::string Get() {
    std::lock_guard Lock(mGuard);
    return mstr;
  }
  /* Runs fnAct, then waits (20 s at most) until the journal is what it was plus strAdd. */
  bool Step(const std::function<void()>& fnAct, const std::string& strAdd) {
    const std::string strWant = Get() + strAdd;
    fnAct();
    return peerwait::WaitUntil([&] { return Get() == strWant; }, 20000);
  }
  std::mutex mGuard;
  std::string mstr;
};

inline std::string Hex(u32 v) {
  char sz[16];
  std::snprintf(sz, sizeof sz, "%X", v);
  return sz;
}
/* A response's result: "ok", or the failure's code. */
inline std::string Result(i32 n32) { return n32 >= 0 ? "ok" : Hex(static_cast<u32>(n32)); }
/* The SIP status of a received protocol attribute (0: none). */
inline u32 Sip(CVQCMC_PROTOCOL_ATTRIBUTE& Attr) {
  return Attr.GetPayload() != nullptr && Attr.GetPayload()->un8Present != 0 ? Attr.GetPayload()->un16SipStatusCode : 0;
}

/* A response callback: its name and the result; the response is not marked handled. */
#define CMC_IT_RESPONSE(Cb, T, Name) \
  void Cb(T* p, unsigned int* pf) override { *pf = 0, Add(std::string(Name " ") + Result(p->Head.n32Result)); }

/* Errors handed to a listener: "<name>:<message>;", marked handled as told. */
class CItListener : public IVQCMCErrorListener {
 public:
  CItListener(CJournal& J, const char* pszName, u32 fHandle = 1) : mJ(J), mpszName(pszName), mfHandle(fHandle) {}
  void OnCmcLegError(unsigned int* pfHandled, CVQCMCLegError& e) override {
    mJ.Add(std::string(mpszName) + ":" + e.what());
    *pfHandled = mfHandle;
  }
  void OnCmcMixerError(unsigned int* pfHandled, CVQCMCMixerError& e) override {
    mJ.Add(std::string(mpszName) + ":" + e.what());
    *pfHandled = mfHandle;
  }
  CJournal& mJ;
  const char* mpszName;
  u32 mfHandle;
};

struct CItMutex {
  CVQCAFMutex mMutex;
};

/*
 * A leg that writes each callback into the journal under its name. Made on
 * the heap, it is its own free listener: FreeOnEnd makes the end of its call
 * (terminated, or dropped by the server) free it, and its destructor writes
 * "<name>:Freed".
 */
class CItLeg : private CItMutex, public CVQCMCLeg {
 public:
  /* A new outgoing leg (call leg, SIP, profile "p-<name>", called number 5551000). */
  CItLeg(CJournal& J, const char* pszName) : CItLeg(J, pszName, NewAttribute(pszName)) {}
  /* A new outgoing leg of that attribute (taken over). */
  CItLeg(CJournal& J, const char* pszName, CVQCMC_CALL_LEG_ATTRIBUTE_COMMON* pAttr)
      : CVQCMCLeg(0, CVQCAFPtr<CVQCMC_CALL_LEG_ATTRIBUTE_COMMON>(pAttr), nullptr, 0, &mMutex), mJ(J), mpszName(pszName) {
    SetFreeListener(this);
  }
  /* Adopts a leg the core library holds, in the given state. */
  CItLeg(CJournal& J, const char* pszName, u32 un32LegId, CVQCMC_CALL_LEG_ATTRIBUTE_COMMON& Attr,
         _VQCMC_MSG_CALL_LEG_STATE State)
      : CVQCMCLeg(un32LegId, CVQCAFPtr<CVQCMC_CALL_LEG_ATTRIBUTE_COMMON>(Copy(Attr)), nullptr, State, 0, &mMutex),
        mJ(J), mpszName(pszName) {
    SetFreeListener(this);
  }
  ~CItLeg() override { Add("Freed"); }
  static CVQCMC_CALL_LEG_ATTRIBUTE* NewAttribute(const char* pszName) {
    auto* p = new CVQCMC_CALL_LEG_ATTRIBUTE();
    p->GetProtocolType() = 2;
    p->GetCalledNumber() = "5551000";
    p->GetProfile().SetByProfileName((std::string("p-") + pszName).c_str());
    return p;
  }
  static CVQCMC_CALL_LEG_ATTRIBUTE* Copy(CVQCMC_CALL_LEG_ATTRIBUTE_COMMON& Attr) {
    auto* p = new CVQCMC_CALL_LEG_ATTRIBUTE();
    if (Attr.GetCallLegAttribute() != nullptr) *p = *Attr.GetCallLegAttribute();
    return p;
  }
  void Add(const std::string& s) { mJ.Add(std::string(mpszName) + ":" + s); }

  /* Responses: the callback's name and the result; the create's mapping id is kept. */
  void OnCreateCallResponse(_VQCMC_MSG_CMD_CALL_LEG_CREATE* p, unsigned int* pf) override {
    CVQCMCLeg::OnCreateCallResponse(p, pf);
    mun32Mapping = p->Head.un32MappingId;
    Add("Create " + Result(p->Head.n32Result));
  }
  CMC_IT_RESPONSE(OnAcceptCallResponse, _VQCMC_MSG_CMD_CALL_LEG_ACCEPT, "Accept")
  CMC_IT_RESPONSE(OnAlertCallResponse, _VQCMC_MSG_CMD_CALL_LEG_ALERT, "Alert")
  CMC_IT_RESPONSE(OnAnswerCallResponse, _VQCMC_MSG_CMD_CALL_LEG_ANSWER, "Answer")
  CMC_IT_RESPONSE(OnTerminateCallResponse, _VQCMC_MSG_CMD_CALL_LEG_TERMINATE, "Terminate")
  CMC_IT_RESPONSE(OnSendCallSuppInfoResponse, _VQCMC_MSG_CMD_CALL_SUPP_INFO, "SuppInfo")
  CMC_IT_RESPONSE(OnCallTransferRequestResponse, _VQCMC_MSG_CMD_CALL_TRANSFER_REQUEST, "TransferRequest")
  CMC_IT_RESPONSE(OnCallTransferProgressResponse, _VQCMC_MSG_CMD_CALL_TRANSFER_PROGRESS, "TransferProgress")
  CMC_IT_RESPONSE(OnCallTransferResponseResponse, _VQCMC_MSG_CMD_CALL_TRANSFER_RESPONSE, "TransferResponse")
  CMC_IT_RESPONSE(OnChangeProfileResponse, _VQCMC_MSG_CMD_MEDIA_PROFILE_CHANGE, "ChangeProfile")
  CMC_IT_RESPONSE(OnGetStatsResponse, _VQCMC_MSG_CMD_GET_STATS, "GetStats")
  CMC_IT_RESPONSE(OnJoinResponse, _VQCMC_MSG_CMD_JOIN, "Join")
  CMC_IT_RESPONSE(OnUnjoinResponse, _VQCMC_MSG_CMD_UNJOIN, "Unjoin")
  CMC_IT_RESPONSE(OnPlayStreamResponse, _VQCMC_MSG_CMD_PLAY, "Play")
  CMC_IT_RESPONSE(OnRecordStreamResponse, _VQCMC_MSG_CMD_RECORD, "Record")
  CMC_IT_RESPONSE(OnPauseStreamResponse, _VQCMC_MSG_CMD_PAUSE, "Pause")
  CMC_IT_RESPONSE(OnResumeStreamResponse, _VQCMC_MSG_CMD_RESUME, "Resume")
  CMC_IT_RESPONSE(OnStopStreamResponse, _VQCMC_MSG_CMD_STOP, "Stop")
  CMC_IT_RESPONSE(OnPlayDigitResponse, _VQCMC_MSG_CMD_DIGIT_PLAY, "PlayDigit")
  CMC_IT_RESPONSE(OnStartDigitCollectionResponse, _VQCMC_MSG_CMD_DIGIT_COLLECT_START, "StartDigits")
  CMC_IT_RESPONSE(OnStopDigitCollectionResponse, _VQCMC_MSG_CMD_DIGIT_COLLECT_STOP, "StopDigits")

  /* Notifications: the callback's name and what it was handed. */
  void OnCallAccepted(CVQCMC_PROTOCOL_ATTRIBUTE& a) override { Add("Accepted " + std::to_string(Sip(a))); }
  void OnCallAlerting(CVQCMC_PROTOCOL_ATTRIBUTE& a) override { Add("Alerting " + std::to_string(Sip(a))); }
  void OnCallAnswered(CVQCMC_PROTOCOL_ATTRIBUTE& a) override { Add("Answered " + std::to_string(Sip(a))); }
  void OnCallTerminatingIndication(_VQCMC_CALL_REASON& r, CVQCMC_PROTOCOL_ATTRIBUTE& a) override {
    Add("Terminating " + std::to_string(r.un32ReasonCode) + " " + std::to_string(Sip(a)));
  }
  void OnCallTerminated(_VQCMC_CALL_REASON& r, CVQCMC_PROTOCOL_ATTRIBUTE& a) override {
    Add("Terminated " + std::to_string(r.un32ReasonCode) + " " + std::to_string(Sip(a)));
    if (mfFreeOnEnd) FreeLeg();
  }
  void OnSendTerminateCall(_VQCMC_CALL_REASON& r) override { Add("SendTerminate " + std::to_string(r.un32ReasonCode)); }
  void OnCallSuppInfo(_VQCMC_SUPP_INFO_MSG_TYPE t, CVQCMC_PROTOCOL_ATTRIBUTE& a) override {
    Add("SuppInfo " + std::to_string(t) + " " + std::to_string(Sip(a)));
  }
  void OnCallTransferRequest(_VQCMC_CALL_TRANSFER& t, CVQCMC_PROTOCOL_ATTRIBUTE& a) override {
    Add(std::string("TransferRequest ") + CVQCMC_CALL_TRANSFER(t).GetTransferNumber(nullptr) + " " +
        std::to_string(Sip(a)));
  }
  void OnCallTransferProgress(CVQCMC_PROTOCOL_ATTRIBUTE& a) override { Add("TransferProgress " + std::to_string(Sip(a))); }
  void OnCallTransferResponse(_VQCMC_CALL_REASON& r, CVQCMC_PROTOCOL_ATTRIBUTE& a) override {
    Add("TransferResponse " + std::to_string(r.un32ReasonCode) + " " + std::to_string(Sip(a)));
  }
  void OnProfileChanged(CVQCMC_MEDIA_PROFILE& p, _VQCMC_MEDIA_REASON_CODE m, _VQCMC_CALL_REASON_CODE c) override {
    Add("ProfileChanged " + std::string(p.GetProfileName().c_str()) + " " + std::to_string(m) + " " +
        std::to_string(c) + " " + GetProfile().GetProfileName().c_str());
  }
  void OnStatsUpdated(_VQCMC_LEG_STATS& s, _VQCMC_GET_STATS_REASON_CODE r) override {
    Add("Stats " + std::to_string(r) + " " + Hex(s.aun32Counters[0]) + " " + Hex(s.aun32Counters[31]));
  }
  void OnSyncDone() override { Add("SyncDone"); }
  void OnSyncLost() override { Add("SyncLost"); }
  void OnLegError(CVQCMCLegError& e) override {
    Add("LegError " + std::string(e.what()) + " " + Hex(e.mun32Code) + " " + Hex(e.mun32MsgId) + " " +
        Hex(e.DetailWord(0) & 0xF) + " " + Hex(e.DetailWord(104)));
  }
  void OnJoinDone() override { Add("JoinDone"); }
  void OnUnjoinDone() override { Add("UnjoinDone"); }
  void OnStreamPlayingStarted(unsigned char i, unsigned char k, VQCMCMediaFileInfo const& f) override {
    Add("PlayingStarted " + std::to_string(i) + " " + std::to_string(k) + " " + f.strPath.c_str());
  }
  void OnStreamRecordingStarted(VQCMCMediaFileInfo const& f) override {
    Add(std::string("RecordingStarted ") + f.strPath.c_str());
  }
  void OnStreamPlayingDone(unsigned char i, _VQCMC_IVR_REASON_CODE r) override {
    Add("PlayingDone " + std::to_string(i) + " " + std::to_string(r));
  }
  void OnStreamRecordingDone(_VQCMC_IVR_REASON_CODE r) override { Add("RecordingDone " + std::to_string(r)); }
  void OnDigitPlayingDone() override { Add("DigitPlayingDone"); }
  void OnDigitCollected(CVQCMC_COLLECTED_DIGIT_ATTRIBUTE& d) override {
    Add(std::string("DigitCollected ") + d.GetCollectedDigits().c_str());
  }

  CJournal& mJ;
  const char* mpszName;
  bool mfFreeOnEnd = false;
  u32 mun32Mapping = 0;
};

/* The name a journal knows a leg by. */
inline std::string Name(CVQCMCLeg* pLeg) {
  auto* p = dynamic_cast<CItLeg*>(pLeg);
  return p != nullptr ? p->mpszName : "?";
}

/* A mixer that writes each callback into the journal; its own free listener, as the leg. */
class CItMixer : private CItMutex, public CVQCMCMixer {
 public:
  CItMixer(CJournal& J, const char* pszName)
      : CVQCMCMixer(0, CVQCAFPtr<CVQCMC_MIXER_ATTRIBUTE>(new CVQCMC_MIXER_ATTRIBUTE()), nullptr, 0, &mMutex),
        mJ(J), mpszName(pszName) {
    SetFreeListener(this);
  }
  ~CItMixer() override { Add("Freed"); }
  void Add(const std::string& s) { mJ.Add(std::string(mpszName) + ":" + s); }
  void OnMixerCreateResponse(_VQCMC_MSG_CMD_MIXER_CREATE* p, unsigned int* pf) override {
    CVQCMCMixer::OnMixerCreateResponse(p, pf);
    mun32Mapping = p->Head.un32MappingId;
    Add("Create " + Result(p->Head.n32Result));
  }
  CMC_IT_RESPONSE(OnMixerTerminateResponse, _VQCMC_MSG_CMD_MIXER_TERMINATE, "Terminate")
  CMC_IT_RESPONSE(OnMixerJoinResponse, _VQCMC_MSG_CMD_MIXER_LEG_JOIN, "Join")
  CMC_IT_RESPONSE(OnMixerUnjoinResponse, _VQCMC_MSG_CMD_MIXER_LEG_UNJOIN, "Unjoin")
  CMC_IT_RESPONSE(OnMixerPlayStreamResponse, _VQCMC_MSG_CMD_PLAY, "Play")
  CMC_IT_RESPONSE(OnMixerStopStreamResponse, _VQCMC_MSG_CMD_STOP, "Stop")
  void OnMixerCreated() override { Add("Created"); }
  void OnMixerTerminated() override {
    Add("Terminated");
    if (mfFreeOnEnd) FreeMixer();
  }
  void OnMixerSyncDone() override { Add("SyncDone"); }
  void OnMixerSyncLost() override { Add("SyncLost"); }
  void OnMixerLegJoinDone(CVQCMCLeg* pLeg) override { Add("JoinDone " + Name(pLeg)); }
  void OnMixerLegUnjoinDone(CVQCMCLeg* pLeg) override { Add("UnjoinDone " + Name(pLeg)); }
  void OnMixerStreamPlayingStarted(unsigned char i, unsigned char k, VQCMCMediaFileInfo const& f) override {
    Add("PlayingStarted " + std::to_string(i) + " " + std::to_string(k) + " " + f.strPath.c_str());
  }
  void OnMixerStreamPlayingDone(unsigned char i, _VQCMC_IVR_REASON_CODE r) override {
    Add("PlayingDone " + std::to_string(i) + " " + std::to_string(r));
  }
  CJournal& mJ;
  const char* mpszName;
  bool mfFreeOnEnd = false;
  u32 mun32Mapping = 0;
};

}  // namespace cmcit

#undef CMC_IT_RESPONSE

#endif
