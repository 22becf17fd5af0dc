/*
 * vqcmc_leg.h - CVQCMCLeg, the application's object for one call leg held by
 * a remote call/media control server.
 *
 * Model. A leg owns one leg of the core library: the creating constructor
 * makes a new one (id 0: the library chooses), the adopting constructor takes
 * over one the library already holds (an incoming call, a leg found again
 * after resynchronisation). Commands become typed command messages handed to
 * the core library; responses and notifications come back through
 * HandleMessage and become the virtual callbacks of the four interfaces
 * (vqcmc_leg_if.h), whose defaults here do nothing. A command remembers its
 * error listener: the first listener ever given becomes the leg's default,
 * others wait per request (keyed by the message's serial number, at most 20
 * at a time) for the response, which reports a negative result to it and
 * then, unless the listener marked the error handled, to OnLegError. A
 * command whose response will not come fails the same way, before the
 * notification that says so: at synchronisation lost (0x8201020A), and when
 * the leg is terminated or its create refused (0x8200000F). A response to
 * no command in flight (a second answer, or one to a command never sent or
 * already failed) is dropped with a line: each command is heard of once.
 * Freeing: FreeLeg marks the leg; the free check at the end of the message
 * or event being handled hands it to its free listener (the leg's own Free
 * deletes it). Nothing of the leg may be touched after that.
 * Ownership: a message handed to HandleMessage belongs to the leg, which
 * clears the caller's pointer and releases the message exactly once.
 * Results: 0x02000000 success; bit 31 set failure (0x8200000A invalid
 * parameter or message, 0x8200000F refused by the state, 0x82000008 20
 * listeners pending, 0x82000010 a message the leg does not handle,
 * 0x82000013 not supported); failures are logged once at VQERR as
 * "CVQCMCLeg::<operation>: %s (0x%08X) 0x%08X %s:%d\n".
 * Threads: commands on the application's threads, messages and events on the
 * core library's job threads; every operation that touches more than one
 * field holds the leg's recursive mutex (given at construction, may be shared
 * by several legs, null for none). The state queries read one field unlocked.
 */
#ifndef VQCMC_LEG_H
#define VQCMC_LEG_H

#include "vqcafmutex.h"
#include "vqcafptr.h"
#include "vqcaflogtrace.h"
#include "vqcmc_attributes.h"
#include "vqcmc_generic_headers.h"
#include "vqcmc_leg_attributes.h"
#include "vqcmc_error.h"
#include "vqcmc_listener.h"
#include "vqcmc_media_attributes.h"
#include "vqcmc_leg_if.h"
#include "vqcmc_leg_join.h"
#include "vqcmc_message.h"
#include "vqcmc_mixer_join.h"
#include "vqcmc_protocol_attribute.h"
#include "vqcmc_request_table.h"
#include "vqcmclib.h"
#include "vqx_hash.h"

namespace VQCAF {

/* Number of play streams (indexes 0..3) plus the record stream (index 4). */
constexpr u32 VQCMC_LEG_NB_STREAMS = 5u;
/* Extra-number slots of the data to transmit. */
constexpr u32 VQCMC_LEG_NB_EXTRA_NUMBERS = 5u;
/* Requests whose own error listener waits for the response. */
constexpr u32 VQCMC_LEG_MAX_PENDING_LISTENERS = 20u;

/* Name of a supplementary-information type; "Unknown" for any other. */
const char* VqCmcSuppInfoName(u32 un32Type);
/* Name of a call reason code; "Unknown" for any other. */
const char* VqCmcCallReasonName(u32 un32Code);

class CVQCMCLeg : public IVQCMCLeg,
                  public IVQCMCCallLeg,
                  public IVQCMCStream,
                  public IVQCMCTone,
                  public IVQCMCFreeListener<CVQCMCLeg>,
                  public CVQCAFLogTrace {
 public:
  /* A new outgoing leg in the core library (leg id 0: the library's choice). When the library
   * cannot make it the leg is not valid and its commands send nothing and fail with the library's
   * code, 0x8201020A when no server was ready. */
  CVQCMCLeg(unsigned int un32LegId, CVQCAFPtr<CVQCMC_CALL_LEG_ATTRIBUTE_COMMON> pAttributes,
            IVQCMCFreeListener<CVQCMCLeg>* pFreeListener, unsigned int un32SerialisationId, CVQCAFMutex* pMutex);
  /* Adopts a leg the core library holds; fails (not valid) when another leg
   * object already represents that id: its commands then fail with that code
   * (0x82000005) and send nothing. */
  CVQCMCLeg(unsigned int un32LegId, CVQCAFPtr<CVQCMC_CALL_LEG_ATTRIBUTE_COMMON> pAttributes,
            IVQCMCFreeListener<CVQCMCLeg>* pFreeListener, _VQCMC_MSG_CALL_LEG_STATE State,
            unsigned int un32SerialisationId, CVQCAFMutex* pMutex);
  /* Removes what this object registered: its registry entry, its core-library leg. */
  ~CVQCMCLeg() override;

  /* ------------------------------------------------ IVQCMCLeg defaults */
  void OnLegEvent(IVQCMCEvent*) override {}
  void OnLegError(CVQCMCLegError&) override {}
  void OnCallTerminated(_VQCMC_CALL_REASON&, CVQCMC_PROTOCOL_ATTRIBUTE&) override {}
  void OnSendTerminateCall(_VQCMC_CALL_REASON&) override {}
  void OnSyncDone() override {}
  void OnSyncLost() override {}
  void OnProfileChanged(CVQCMC_MEDIA_PROFILE&, _VQCMC_MEDIA_REASON_CODE, _VQCMC_CALL_REASON_CODE) override {}
  void OnJoinResponse(_VQCMC_MSG_CMD_JOIN*, unsigned int* pfHandled) override { Unhandled(pfHandled); }
  void OnUnjoinResponse(_VQCMC_MSG_CMD_UNJOIN*, unsigned int* pfHandled) override { Unhandled(pfHandled); }
  void OnChangeProfileResponse(_VQCMC_MSG_CMD_MEDIA_PROFILE_CHANGE*, unsigned int* pfHandled) override {
    Unhandled(pfHandled);
  }
  void OnGetStatsResponse(_VQCMC_MSG_CMD_GET_STATS*, unsigned int* pfHandled) override { Unhandled(pfHandled); }
  void OnStatsUpdated(_VQCMC_LEG_STATS&, _VQCMC_GET_STATS_REASON_CODE) override {}
  unsigned int UseLegacyOnJoinDone() override { return 1; }
  void OnJoinDone() override {}
  void OnUnjoinDone() override {}
  void OnJoinDone(CVQCMCLeg*, CVQCMC_JOIN_ATTRIBUTE*) override {}
  void OnUnjoinDone(CVQCMCLeg*, CVQCMC_JOIN_ATTRIBUTE*) override {}
  using IVQCMCLeg::OnProfileChanged;

  /* Always 0: a leg has no link of its own. */
  virtual unsigned int GetLinkId() { return 0; }
  /* The library's shared join attribute (null before the library is attached). */
  virtual CVQCMC_JOIN_ATTRIBUTE* GetJoinAttributes() { return CVQCMCLib::mpDummyAttr; }
  /*
   * Ends the call: refused (0x8200000F) out of synchronisation or when
   * already called; else state 5, OnSendTerminateCall, and the terminate
   * command of the leg's type. A command that could not be sent is returned
   * and the state put back, so that the terminate may be retried.
   */
  virtual VQX_RESULT TerminateCall(_VQCMC_CALL_REASON& Reason, CVQCMC_PROTOCOL_ATTRIBUTE* pAttribute,
                                   IVQCMCErrorListener* pListener);

  /* -------------------------------------------- IVQCMCCallLeg defaults */
  void OnCallAccepted(CVQCMC_PROTOCOL_ATTRIBUTE&) override {}
  void OnCallAlerting(CVQCMC_PROTOCOL_ATTRIBUTE&) override {}
  void OnCallAnswered(CVQCMC_PROTOCOL_ATTRIBUTE&) override {}
  void OnCallTerminatingIndication(_VQCMC_CALL_REASON&, CVQCMC_PROTOCOL_ATTRIBUTE&) override {}
  void OnCallSuppInfo(_VQCMC_SUPP_INFO_MSG_TYPE, CVQCMC_PROTOCOL_ATTRIBUTE&) override {}
  void OnCallTransferRequest(_VQCMC_CALL_TRANSFER&, CVQCMC_PROTOCOL_ATTRIBUTE&) override {}
  void OnCallTransferProgress(CVQCMC_PROTOCOL_ATTRIBUTE&) override {}
  void OnCallTransferResponse(_VQCMC_CALL_REASON&, CVQCMC_PROTOCOL_ATTRIBUTE&) override {}
  /* A negative result first marks the leg terminated (state 5, terminating). */
  void OnCreateCallResponse(_VQCMC_MSG_CMD_CALL_LEG_CREATE* pPayload, unsigned int* pfHandled) override;
  void OnAcceptCallResponse(_VQCMC_MSG_CMD_CALL_LEG_ACCEPT*, unsigned int* p) override { Unhandled(p); }
  void OnAlertCallResponse(_VQCMC_MSG_CMD_CALL_LEG_ALERT*, unsigned int* p) override { Unhandled(p); }
  void OnAnswerCallResponse(_VQCMC_MSG_CMD_CALL_LEG_ANSWER*, unsigned int* p) override { Unhandled(p); }
  void OnTerminateCallResponse(_VQCMC_MSG_CMD_CALL_LEG_TERMINATE*, unsigned int* p) override { Unhandled(p); }
  void OnSendCallSuppInfoResponse(_VQCMC_MSG_CMD_CALL_SUPP_INFO*, unsigned int* p) override { Unhandled(p); }
  void OnCallTransferRequestResponse(_VQCMC_MSG_CMD_CALL_TRANSFER_REQUEST*, unsigned int* p) override {
    Unhandled(p);
  }
  void OnCallTransferProgressResponse(_VQCMC_MSG_CMD_CALL_TRANSFER_PROGRESS*, unsigned int* p) override {
    Unhandled(p);
  }
  void OnCallTransferResponseResponse(_VQCMC_MSG_CMD_CALL_TRANSFER_RESPONSE*, unsigned int* p) override {
    Unhandled(p);
  }

  /* ---------------------------------------------- IVQCMCStream defaults */
  void OnStreamPlayingStarted(unsigned char, unsigned char, VQCMCMediaFileInfo const&) override {}
  void OnStreamRecordingStarted(VQCMCMediaFileInfo const&) override {}
  void OnStreamPlayingDone(unsigned char, _VQCMC_IVR_REASON_CODE) override {}
  void OnStreamRecordingDone(_VQCMC_IVR_REASON_CODE) override {}
  void OnPlayStreamResponse(_VQCMC_MSG_CMD_PLAY*, unsigned int* p) override { Unhandled(p); }
  void OnRecordStreamResponse(_VQCMC_MSG_CMD_RECORD*, unsigned int* p) override { Unhandled(p); }
  void OnPauseStreamResponse(_VQCMC_MSG_CMD_PAUSE*, unsigned int* p) override { Unhandled(p); }
  void OnResumeStreamResponse(_VQCMC_MSG_CMD_RESUME*, unsigned int* p) override { Unhandled(p); }
  void OnStopStreamResponse(_VQCMC_MSG_CMD_STOP*, unsigned int* p) override { Unhandled(p); }

  /* ------------------------------------------------ IVQCMCTone defaults */
  void OnDigitPlayingDone() override {}
  void OnDigitCollected(CVQCMC_COLLECTED_DIGIT_ATTRIBUTE&) override {}
  void OnEventPlayingDone() override {}
  void OnEventCollected(CVQCAFString const&) override {}
  void OnPlayDigitResponse(_VQCMC_MSG_CMD_DIGIT_PLAY*, unsigned int* p) override { Unhandled(p); }
  void OnStartDigitCollectionResponse(_VQCMC_MSG_CMD_DIGIT_COLLECT_START*, unsigned int* p) override {
    Unhandled(p);
  }
  void OnStopDigitCollectionResponse(_VQCMC_MSG_CMD_DIGIT_COLLECT_STOP*, unsigned int* p) override {
    Unhandled(p);
  }
  void OnPlayEventResponse(_VQCMC_MSG_CMD_EVENT_PLAY*, unsigned int* p) override { Unhandled(p); }
  void OnCancelEventResponse(_VQCMC_MSG_CMD_EVENT_CANCEL*, unsigned int* p) override { Unhandled(p); }
  void OnStartEventCollectionResponse(_VQCMC_MSG_CMD_EVENT_COLLECT_START*, unsigned int* p) override {
    Unhandled(p);
  }
  void OnStopEventCollectionResponse(_VQCMC_MSG_CMD_EVENT_COLLECT_STOP*, unsigned int* p) override {
    Unhandled(p);
  }

  /* ----------------------------------------------- call-control commands
   * Each command of this class (these, the streams, digits, tones and joins) first fails with
   * 0x82000014 once the library is detached or gone: nothing sent, no listener or callback.
   * Each: precondition (else 0x8200000F, traced at level 1, no error), the
   * command message filled from the leg and the arguments, the listener
   * remembered, the message handed to the core library; a later failure
   * reaches the listener and OnLegError as "CVQCMCLeg::<command> Failed". */
  /* Type 1: CreateCallSignalingMedia; type 2: CreateCallMediaOnly; else 0x8200000A. */
  VQX_RESULT CreateCall(CVQCMC_PROTOCOL_ATTRIBUTE* pAttribute, IVQCMCErrorListener* pListener);
  VQX_RESULT CreateCallSignalingMedia(CVQCMC_PROTOCOL_ATTRIBUTE* pAttribute, IVQCMCErrorListener* pListener);
  VQX_RESULT CreateCallMediaOnly(IVQCMCErrorListener* pListener);
  VQX_RESULT AcceptCall(CVQCMC_PROTOCOL_ATTRIBUTE* pAttribute, IVQCMCErrorListener* pListener);
  VQX_RESULT AlertCall(CVQCMC_PROTOCOL_ATTRIBUTE* pAttribute, IVQCMCErrorListener* pListener);
  VQX_RESULT AnswerCall(CVQCMC_PROTOCOL_ATTRIBUTE* pAttribute, IVQCMCErrorListener* pListener);
  /* Supplementary information 100 (SS7), 200 (ISDN) or 1 with SIP status 183;
   * the command's result; 0x82000013 for another protocol. */
  VQX_RESULT ProgressCall(CVQCMC_PROTOCOL_ATTRIBUTE* pAttribute, IVQCMCErrorListener* pListener);
  VQX_RESULT SendCallSuppInfo(_VQCMC_SUPP_INFO_MSG_TYPE Type, CVQCMC_PROTOCOL_ATTRIBUTE* pAttribute,
                              IVQCMCErrorListener* pListener);
  VQX_RESULT CallTransferRequest(CVQCMC_CALL_TRANSFER const& Transfer, CVQCMC_PROTOCOL_ATTRIBUTE* pAttribute,
                                 IVQCMCErrorListener* pListener);
  VQX_RESULT CallTransferProgress(CVQCMC_PROTOCOL_ATTRIBUTE* pAttribute, IVQCMCErrorListener* pListener);
  VQX_RESULT CallTransferResponse(const _VQCMC_CALL_REASON& Reason, CVQCMC_PROTOCOL_ATTRIBUTE* pAttribute,
                                  IVQCMCErrorListener* pListener);
  /* The leg registered in the core library under un32LegId; 0x8200000B when it has no object. */
  static VQX_RESULT TerminateCall(unsigned int un32LegId, _VQCMC_CALL_REASON& Reason,
                                  CVQCMC_PROTOCOL_ATTRIBUTE* pAttribute, IVQCMCErrorListener* pListener);
  VQX_RESULT TerminateCallSignalingMedia(_VQCMC_CALL_REASON& Reason, CVQCMC_PROTOCOL_ATTRIBUTE* pAttribute,
                                         IVQCMCErrorListener* pListener);
  VQX_RESULT TerminateCallMediaOnly(_VQCMC_CALL_REASON& Reason, IVQCMCErrorListener* pListener);
  /* Terminates with this code and frees itself: after the terminated
   * notification (which calls no callback and leaves the joins to the
   * destructor, which reports and drops them), or at once when the terminate
   * cannot be sent. */
  void RefuseLeg(_VQCMC_CALL_REASON_CODE Code, CVQCMC_PROTOCOL_ATTRIBUTE* pAttribute);
  /* A re-synchronised leg no object represents: a leg object for it (adopted,
   * answered, when the core library holds it) refused with Code. */
  static void RefuseLeg(unsigned int un32LegId, CVQCMC_CALL_LEG_ATTRIBUTE_COMMON& Attribute,
                        _VQCMC_CALL_REASON_CODE Code, CVQCMC_PROTOCOL_ATTRIBUTE* pProtocol);
  /* The link's unjoin sent to the first leg; once sent, its record is unjoin pending. */
  static void RefuseLink(unsigned int un32FirstLegId, unsigned int un32SecondLegId);
  /* Re-synchronisation (under the leg's mutex): the streams the server
   * reports (play elements: index at 15, paused at 16; the record element's
   * paused at 70) replace the counts, with one playing-done (reason 5) for
   * each play or record counted before (fCountedBefore; a leg just made
   * counted none) and not reported any more. */
  void SyncStreams(u32* pPlaySet, u32* pRecordSet, bool fCountedBefore);
  VQX_RESULT ChangeProfile(IVQCMCErrorListener* pListener, unsigned int fFlag);
  VQX_RESULT GetStats(IVQCMCErrorListener* pListener);

  /* --------------------- streams, digits, tones (vqcmc_leg_stream.cpp, vqcmc_leg_digit.cpp)
   * Each: freed or terminated leg 0x8200000F (no error object), else the
   * command handed over as the call-control commands are. Plays are counted
   * from hand-over to a refused response or their playing-done notification;
   * a play index of 4 or more is refused by PlayStream (0x8200000A) and read
   * from a server message touches no stream field. */
  VQX_RESULT PlayStream(CVQCMC_PLAY_ATTRIBUTE& Attribute, IVQCMCErrorListener* pListener);
  VQX_RESULT RecordStream(CVQCMC_RECORD_ATTRIBUTE& Attribute, IVQCMCErrorListener* pListener);
  VQX_RESULT PauseStream(u32 fPlay, u32 fRecord, u8 un8PlayIndex, IVQCMCErrorListener* pListener);
  VQX_RESULT ResumeStream(u32 fPlay, u32 fRecord, u8 un8PlayIndex, IVQCMCErrorListener* pListener);
  VQX_RESULT StopStream(u32 fPlay, u32 fRecord, u8 un8PlayIndex, IVQCMCErrorListener* pListener);
  /* At most 63 digits are sent; a null string sends none. The string form passes its characters. */
  VQX_RESULT PlayDigit(const char* pszDigits, IVQCMCErrorListener* pListener);
  VQX_RESULT PlayDigit(const CVQCAFString& strDigits, IVQCMCErrorListener* pListener);
  /* The digit string as one string element, un32First and un32Second (the server's collection
   * parameters) copied unchanged; a null string: 0x8200000A "VQXMsgElementStringAdd Failed.". */
  VQX_RESULT StartDigitCollection(const char* pszDigitString, IVQCMCErrorListener* pListener, u32 un32First,
                                  u32 un32Second);
  VQX_RESULT StartDigitCollection(const CVQCAFString& strDigitString, IVQCMCErrorListener* pListener, u32 un32First,
                                  u32 un32Second);
  VQX_RESULT StopDigitCollection(IVQCMCErrorListener* pListener);
  VQX_RESULT PlayEvent(CVQCMC_EVENT_ATTRIBUTE& Attribute, IVQCMCErrorListener* pListener);
  VQX_RESULT CancelEvent(IVQCMCErrorListener* pListener);
  /* The tone mask of Attribute, un32First copied unchanged. */
  VQX_RESULT StartEventCollection(CVQCMC_EVENT_ATTRIBUTE& Attribute, IVQCMCErrorListener* pListener, u32 un32First);
  VQX_RESULT StopEventCollection(IVQCMCErrorListener* pListener);
  /* A notification's file: the host of un64HostId (when the host library knows
   * it) and the first element of pFileSet (null: none) read within its size. */
  static void BuildMediaFileInfo(u32* pFileSet, u64 un64HostId, VQCMCMediaFileInfo& Info);

  /* Takes the message (*phMsg cleared, released once), dispatches it by kind
   * and id, then runs the free check. Kind 1 and ids the leg does not handle:
   * 0x82000010 (logged "Could not handle message"); kinds other than 1, 2
   * and 4, and responses to no command in flight: dropped, 0x02000000; a
   * handler's failure is returned. */
  virtual VQX_RESULT HandleMessage(VQX_MSG_HANDLE* phMsg);

  /* ------------------------------------------- leg joins (vqcmc_leg_join.cpp)
   * Join: this leg's media to pLeg, and back for a full-duplex attribute (null:
   * the library's); refused (0x8200000F) while either leg is freed or
   * terminated, or when a receiving leg already receives from another leg;
   * pLeg this leg: 0x82000011, nothing sent (as a failure: listener, OnLegError).
   * The record exists, join pending, once the command is handed over.
   * Unjoin: the pair's unjoin (pLeg null: the leg this one receives from);
   * 0x82000011 for a pair without a record; a pair already unjoining: 0x02000000.
   * Join state lives under the records' class mutex: no operation here holds
   * two leg mutexes, and walks run over a snapshot of the lists. */
  VQX_RESULT Join(CVQCMCLeg* pLeg, IVQCMCErrorListener* pListener, unsigned int un32Option,
                  CVQCMC_JOIN_ATTRIBUTE* pAttribute);
  VQX_RESULT Unjoin(CVQCMCLeg* pLeg, IVQCMCErrorListener* pListener);
  /* Records the join with pLeg (pAttribute not null); fPending marks it join pending. */
  void SetJoined(CVQCMCLeg* pLeg, CVQCMC_JOIN_ATTRIBUTE* pAttribute, unsigned int fPending);
  /* Drops the join with pLeg, or every join of this leg (mixer joins included) for null; no
   * callback, nothing sent. */
  void SetUnjoined(CVQCMCLeg* pLeg);
  /* Drops the record's join, then the unjoin-done callbacks. */
  void CallUnjoinDone(CVQCAFPtr<CVQCMCLegJoinedLeg> pJoin);
  /* Number of leg joins; when given, the vector receives the other leg of each. */
  virtual u32 GetJoinedLegs(std::vector<CVQCMCLeg*>* paLegs);
  /* The other leg of the join with un32LegId (null when none) and its duplex flag. */
  virtual CVQCMCLeg* GetJoinedLegAttributes(unsigned int un32LegId, CVQCMC_JOIN_ATTRIBUTE* pAttribute);
  /* 1 when this leg receives from a leg (written to *ppLeg) with the record's pending flags. */
  u32 IsJoined(CVQCMCLeg** ppLeg, unsigned int* pfJoinPending, unsigned int* pfUnjoinPending);
  /* The mixer this leg listens to (also into *ppMixer when given); null, *ppMixer untouched, when none. */
  virtual CVQCMCMixer* GetListenerMixer(CVQCMCMixer** ppMixer);
  /* The first mixer this leg speaks to (null: none); the vector receives every one in join order. */
  virtual CVQCMCMixer* GetSpeakerMixers(std::vector<CVQCMCMixer*>* paMixers);

  /* --------------------------------------------------- state queries */
  u32 IsValidCallCtx() const { return mfValidCallCtx; }
  u32 IsTerminating() const { return mfValidCallCtx == 0 ? 1u : mfTerminating; }
  u32 IsAccepted() const { return mfAccepted; }
  u32 IsAlerted() const { return mfAlerted; }
  u32 IsAnswered() const { return mfAnswered; }
  u32 IsSynchronized() const { return mfSynchronized; }
  u32 IsBeingFreed() const { return mfBeingFreed; }
  /* Whether the stream has plays in progress; *pfPaused (when given) is 0
   * only for a stream in progress and not paused. An index past the streams
   * answers as an idle stream. */
  u32 IsPlayingStream(unsigned char un8Index, unsigned int* pfPaused) const;
  u32 IsRecordingStream(unsigned int* pfPaused) const { return IsPlayingStream(VQCMC_LEG_NB_STREAMS - 1, pfPaused); }
  u32 IsPlayingDigit() const { return mun32DigitPlays != 0; }
  u32 IsPlayingEvent() const { return mun32EventPlays != 0; }
  u32 GetLegId() const { return mun32LegId; }
  _VQCMC_MSG_CALL_LEG_STATE GetState() const { return mState; }
  /* The attribute object itself (no reference taken; may be null). */
  CVQCMC_CALL_LEG_ATTRIBUTE_COMMON* GetAttributes() const { return mpAttributes.Get(); }

  /* ------------------------------------------------- free protocol */
  /* Marks the leg; it is deleted by its free listener after the message or
   * event being handled. */
  VQX_RESULT FreeLeg();
  void SetFreeListener(IVQCMCFreeListener<CVQCMCLeg>* pListener);
  /* Hands a marked leg to its free listener (mutex released first), once no
   * peer's thread is calling it or handing it out (it waits for them). */
  VQX_RESULT CheckFreeLeg();
  /* The default free listener: deletes the leg. */
  VQX_RESULT Free(CVQCMCLeg* pLeg) override;

  /* Delivers a posted event (pfSkip non-zero: cancelled, nothing delivered);
   * an error event (type 3) goes to OnLegError and is deleted, any other
   * type to OnLegEvent. Then the free check. */
  VQX_RESULT HandleLegEvent(void* pvEvent, unsigned char* pfSkip);
  /* Changes the mutex and the core library's serialisation id. */
  VQX_RESULT ReSerialize(CVQCAFMutex* pMutex, unsigned int un32SerialisationId);

  /* ----------------------------------------------- request machinery */
  /* Remembers the listener of a command about to be sent (see the model). */
  VQX_RESULT HandleRequest(VQX_MSG_HANDLE hMsg, IVQCMCErrorListener* pListener);
  /* Reports a response's negative result to its request's listener (else the
   * default one) unless fHandled, and to no one when no request of it is in
   * flight; always 0x02000000. */
  VQX_RESULT HandleResponse(VQX_MSG_HANDLE hMsg, unsigned int fHandled, unsigned int un32Result, const char* pszText);
  /* The listener, then OnLegError unless the listener marked it handled. */
  VQX_RESULT HandleCmcError(CVQCMCLegError& Error, IVQCMCErrorListener* pListener);
  /* Posts the error to the leg itself as an error event; 0x8200000F while being freed. */
  VQX_RESULT LegError(CVQCMCLegError* pError, IVQCMCErrorListener* pListener);
  /* Number of listeners of their own (not the default one) waiting for their commands' responses. */
  u32 GetPendingListenerCount() const { return mRequests.GetCount(); }

  /* ------------------------------------- attributes and data to send */
  /* The attributes' leg type; 1 when the leg has no attribute object. */
  u32 GetLegType() const;
  VQX_RESULT CopyLegCommon(VQX_MSG_HANDLE hMsg, _VQCMC_COMMON_LEG* pRecord);
  VQX_RESULT CopyLeg(VQX_MSG_HANDLE hMsg, _VQCMC_LEG* pRecord);
  VQX_RESULT CopyLegUpdate(VQX_MSG_HANDLE hMsg, _VQCMC_CALL_LEG_UPDATE* pRecord);
  VQX_RESULT SetProfile(CVQCMC_MEDIA_PROFILE& Profile);
  CVQCMC_MEDIA_PROFILE& GetProfile();
  VQX_RESULT SetUuiToTransmit(CVQCAFPtr<CVQCMCUserToUserInfo> pUui);
  VQX_RESULT SetUuiToTransmit(CVQCMCUserToUserInfo& Uui);
  CVQCAFPtr<CVQCMCUserToUserInfo> GetUuiToTransmit();
  VQX_RESULT SetSs7RawDataToTransmit(CVQCAFPtr<CVQCMCSs7RawData> pData);
  /* Slot by number type: 0, 1, 2 and 5, 10, 12; 3, 4, 6-9 and 11 refused
   * (0x82000013); above 12 accepted and never sent. */
  VQX_RESULT SetExtraNbToTransmit(CVQCAFPtr<CVQCMCExtraNumber> pNumber);
  /* Appends the held items to the attribute's generic headers (UUI, SS7 raw
   * data, extra-number slots 1, 2, 3, 5, 4) and drops them; the caller holds
   * the mutex. */
  VQX_RESULT InsertGenericHeader(VQX_MSG_HANDLE hMsg, _VQCMC_PROTOCOL_ATTRIBUTE* pProtocol);
  /* Traces the attribute's protocol content at level 0, within its elements. */
  void PrintProtocolInfo(char const* pszLabel, CVQCMC_PROTOCOL_ATTRIBUTE& Attribute);

  /* ------------------------------------------------------- logging */
  void LogTrace(_VQX_TRACE_LEVEL Level, const char* pszFormat, ...) override __attribute__((format(printf, 3, 4)));
  void LogTrace(_VQX_TRACE_LEVEL Level, const char* pszFormat, _VQX_VA_LIST& args) override;
  void LogTrace(_VQX_TRACE_LEVEL Level, char** apszPrefix, u32 un32Count, const char* pszFormat,
                _VQX_VA_LIST& args) override;

 protected:
  static void Unhandled(unsigned int* pfHandled) {
    if (pfHandled != nullptr) *pfHandled = 0;
  }
  /* The failure line "CVQCMCLeg::<op>: %s (0x%08X) 0x%08X %s:%d\n". */
  void LogFailure(const char* pszOperation, const char* pszText, u32 un32Detail, VQX_RESULT Result, int nLine,
                  const char* pszFile = __builtin_FILE());
  /* A command's failure after its precondition: an error (pszErrorText, this
   * file, nLine) to the listener and OnLegError, then the failure line with
   * pszStep; returns Result. */
  VQX_RESULT ReportFailure(const char* pszOperation, const char* pszErrorText, const char* pszStep,
                           VQX_RESULT Result, IVQCMCErrorListener* pListener, int nLine,
                           const char* pszFile = __builtin_FILE());

 private:
  using PFN_HANDLER = VQX_RESULT (CVQCMCLeg::*)(VQX_MSG_HANDLE*);
  struct HandlerRow {
    u32 un32Id;
    PFN_HANDLER pfnHandler;
  };
  static const HandlerRow s_aResponseRows[];
  static const HandlerRow s_aNotificationRows[];
  static PFN_HANDLER FindHandler(const HandlerRow* pRows, u32 un32Id);

  void Construct(unsigned int un32LegId, CVQCAFPtr<CVQCMC_CALL_LEG_ATTRIBUTE_COMMON>& pAttributes,
                 IVQCMCFreeListener<CVQCMCLeg>* pFreeListener, _VQCMC_MSG_CALL_LEG_STATE State,
                 unsigned int un32SerialisationId, CVQCAFMutex* pMutex, _VQCMC_LIB_LEG_PARAMS* pParams);
  /* Registers the constructed leg (valid only when the core library leg is
   * ours and the registry took this object). */
  void Register(const char* pszText, VQX_RESULT Result);
  /* The leg will get no further responses: each command still waiting fails to its listener (or
   * the default one), oldest first, with Result and pszText (then OnLegError unless handled). */
  void FailPendingRequests(VQX_RESULT Result, const char* pszText);
  /* Removes the listener remembered for a request whose send failed. */
  void ForgetRequest(u32 un32Serial);
  /* A response's mapping id into the attributes (logged when it changed). */
  void UpdateMappingId(VQX_MSG_HANDLE hMsg);
  /* Where a call-control command carries its parts (payload byte offsets). */
  enum class LegRecord : u8 { Leg, Update, Common };
  struct CommandLayout {
    const char* pszLogOp;      /* operation of the failure line */
    const char* pszError;      /* message of the error object */
    LegRecord Record;
    u16 un16RecordOffset;
    u16 un16ProtocolOffset;    /* 0: neither attribute nor generic headers */
  };
  /* Steps after the precondition: payload present, leg record, attribute,
   * generic headers, version word, listener, hand-over. */
  template <class T, u32 id>
  VQX_RESULT RunCommand(CVQCMCMessage<T, id>& Msg, const CommandLayout& Layout, CVQCMC_PROTOCOL_ATTRIBUTE* pAttribute,
                        IVQCMCErrorListener* pListener, u32 un32Version = 1);
  /* A filled command: listener remembered, handed to the core library. */
  template <class T, u32 id>
  VQX_RESULT SendBuilt(CVQCMCMessage<T, id>& Msg, const char* pszLogOp, const char* pszError,
                       IVQCMCErrorListener* pListener);
  /* The response sequence: callback with the handled word, then HandleResponse. */
  template <class T, u32 id>
  VQX_RESULT HandleCallResponse(VQX_MSG_HANDLE* phMsg, void (CVQCMCLeg::*pfnCallback)(T*, unsigned int*),
                                const char* pszHandler, const char* pszText, T** ppPayload = nullptr);
  /* A received protocol attribute at that offset into Attr when its first byte says present. */
  bool ReadProtocol(VQX_MSG_HANDLE hMsg, u8* pbyPayload, u32 un32Offset, CVQCMC_PROTOCOL_ATTRIBUTE& Attr);
  /* A notification carrying a protocol attribute: payload of at least un32Need bytes (else
   * "Invalid message"), the attribute read and traced, then fnCallback(payload, attribute). */
  template <class T, u32 id, class F>
  VQX_RESULT AttributeNotif(VQX_MSG_HANDLE* phMsg, const char* pszHandler, const char* pszLabel, u32 un32Need,
                            u32 un32ProtocolOffset, F&& fnCallback);
  /* Accepted, alerting, answered: update, attribute, trace, callback (pbyPayload null: invalid). */
  VQX_RESULT CallProgressNotif(VQX_MSG_HANDLE hMsg, u8* pbyPayload, const char* pszHandler, const char* pszLabel,
                               void (CVQCMCLeg::*pfnCallback)(CVQCMC_PROTOCOL_ATTRIBUTE&));
  /* The call-leg attribute when the leg is a call leg with one, else null. */
  CVQCMC_CALL_LEG_ATTRIBUTE* CallLegAttribute() const;
  /* The 5 extra-number slot of a number type, or -1 when refused, -2 ignored. */
  static int ExtraNumberSlot(u32 un32NumberType);
  /* Streams, digits and tones. */
  VQX_RESULT HandlePlayStreamResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleRecordStreamResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandlePauseStreamResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleResumeStreamResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleStopStreamResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleStreamPlayingStarted(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleStreamPlayingDone(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandlePlayDigitResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleStartDigitCollectionResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleStopDigitCollectionResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandlePlayEventResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleCancelEventResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleStartEventCollectionResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleStopEventCollectionResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleDigitPlayingDone(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleEventPlayingDone(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleDigitCollected(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleEventCollected(VQX_MSG_HANDLE* phMsg);
  /* 0x82000014 once the library is stopped or gone (LibraryRefusal), else 0x8200000F for a freed
   * leg (silently) or a terminated one (traced at level 1). */
  VQX_RESULT CheckCommandState(const char* pszOperation);
  /* 0x82000014, traced at level 1, when CVQCMCLib::CommandRefusal refuses: the command then sends
   * nothing and calls no listener or callback. */
  VQX_RESULT LibraryRefusal(const char* pszOperation);
  /* Pause (nPaused 1), resume (0) or stop (-1: no field changed). */
  template <class T, u32 id>
  VQX_RESULT StreamControl(const char* pszOperation, const char* pszError, u32 fPlay, u32 fRecord, u8 un8Index,
                           int nPaused, IVQCMCErrorListener* pListener);
  /* A digit or tone command: fnFill(msg, payload, &detail) fills it; *pun32Plays counts a sent play. */
  template <class T, u32 id, class F>
  VQX_RESULT ToneCommand(const char* pszOperation, const char* pszError, IVQCMCErrorListener* pListener,
                         u32* pun32Plays, F&& fnFill);
  /* A digit or tone notification of at least un32Need bytes: fnWork(payload, bytes in use). */
  template <class T, u32 id, class F>
  VQX_RESULT ToneNotif(VQX_MSG_HANDLE* phMsg, const char* pszHandler, u32 un32Need, F&& fnWork);
  /* The play counter a refused response of that id lowers (null: none, or a play index past the streams). */
  u32* FailedPlayCounter(u32 un32Id, const void* pPayload);
  /* One play or record of the entry finished: count lowered (not below 0), not paused. */
  void EndStream(u32 un32Entry);

  VQX_RESULT HandleCreateCallResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleAcceptCallResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleAlertCallResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleAnswerCallResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleTerminateCallResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleSendCallSuppInfoResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleGetStatsResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleChangeProfileResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleSendCallTransferReqResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleSendCallTransferProgressResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleSendCallTransferRspResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleCallAccepted(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleCallAlerting(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleCallAnswered(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleCallTerminatingIndication(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleCallTerminated(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleLegTerminated(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleCallSuppInfo(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleCallTransferRequest(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleCallTransferProgress(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleCallTransferResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleProfileChanged(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleStatsUpdated(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleLegSyncDone(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleLegSyncLost(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleLegError(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleJoinResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleUnjoinResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleJoinDone(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleUnjoinDone(VQX_MSG_HANDLE* phMsg);
  /* Every mixer join of this leg dropped (the mixer-leg class mutex only). */
  void DropMixerJoins();
  /* The destructor's lines for joins still held: legs, listener mixer, speaker mixers. */
  void LogStillJoined();
  /* The join pointers of the pair cleared and its record destroyed (class mutex only). */
  static void UnjoinPair(CVQCMCLeg* pA, CVQCMCLeg* pB);

 protected:
  CVQCAFMutex* mpMutex = nullptr;
  u32 mfValidCallCtx = 0;
  u32 mfTerminating = 0;
  u32 mfAccepted = 0;
  u32 mfAlerted = 0;
  u32 mfAnswered = 0;
  _VQCMC_MSG_CALL_LEG_STATE mState = VQCMC_CALL_LEG_STATE_OUTGOING;
  u32 mun32LegId = 0;
  u32 mfSynchronized = 1;
  u32 maun32StreamsInProgress[VQCMC_LEG_NB_STREAMS] = {};
  u8 maun8StreamPaused[VQCMC_LEG_NB_STREAMS] = {};
  u32 mun32DigitPlays = 0;
  u32 mun32EventPlays = 0;
  u32 mfRefused = 0;
  CVQCAFPtr<CVQCMC_CALL_LEG_ATTRIBUTE_COMMON> mpAttributes;
  CVQCAFPtr<CVQCMCUserToUserInfo> mpUuiToTransmit;
  CVQCAFPtr<CVQCMCSs7RawData> mpSs7RawDataToTransmit;
  CVQCAFPtr<CVQCMCExtraNumber> mapExtraNbToTransmit[VQCMC_LEG_NB_EXTRA_NUMBERS];
  IVQCMCFreeListener<CVQCMCLeg>* mpFreeListener = nullptr;
  u32 mfBeingFreed = 0;
  /* The commands waiting for their responses and their listeners, the default one included. */
  CVQCMCRequestTable mRequests{VQCMC_LEG_MAX_PENDING_LISTENERS};
  /* What this object registered, and so removes: its registry entry, the core-library leg. */
  u32 mfRegistered = 0;
  /* Messages and events being handled (a free then waits for their end). */
  u32 mun32Dispatching = 0;
  u32 mfOwnsLibLeg = 0;
  /* While not valid, what its commands fail with: the construction's failure (VqCmcCreateFailure). */
  VQX_RESULT mun32InvalidResult = VQX_RESULT_OK;
  _VQCMC_LIB_LEG_PARAMS mLibParams{};
  /* Leg joins, under the records' class mutex: this leg as leg2, as leg1, and
   * the leg whose media this leg receives. */
  CVQCMCLegJoinList1 mJoinedLegs1;
  CVQCMCLegJoinList2 mJoinedLegs2;
  CVQCMCLeg* mpJoinedLeg = nullptr;
  /* Mixer joins, under the mixer-leg records' class mutex: the record of the mixer
   * this leg listens to, those it speaks to, and the rest (neither flag, or a
   * listener of another mixer while the slot is taken). */
  CVQCMCMixerJoinedLeg* mpListenerMixerJoin = nullptr;
  CVQCMCLegMixerList mSpeakerMixers;
  CVQCMCLegMixerList mOtherMixerJoins;
  friend class CVQCMCLegJoinedLeg;
  friend class CVQCMCMixerJoinedLeg;
  /* Held by a peer's thread while it calls this object or hands it out (vqcmc_join_list.h). */
  CVQCMCPins mCallPins;
  template <class T>
  friend class CVQCMCPinned;
};

}  // namespace VQCAF

#endif
