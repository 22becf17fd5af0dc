/*
 * vqcmc_mixer.h - CVQCMCMixer, the application's object for one conference
 * mixer held by a remote call/media control server, and its three callback
 * interfaces.
 *
 * Model. A mixer owns one mixer of the core library: id 0 creates a new one
 * (the library chooses the id), another id adopts the one the library holds.
 * Responses and notifications come back through HandleMessage and become the
 * virtual callbacks below, whose defaults do nothing (a failed create marks
 * the mixer terminating). A command remembers its error listener as a leg
 * does: the first one ever given becomes the default, others wait per
 * request (serial number, at most 20) for their response; a negative result
 * reaches the listener, then OnMixerError unless the listener handled it. A
 * command whose response will not come fails the same way, before the
 * notification that says so: at synchronisation lost (0x8201020A), and when
 * the mixer is terminated or its create refused (0x8200000F). A response to
 * no command in flight is dropped with a line, as a leg's is.
 * Freeing: FreeMixer marks the mixer; the check at the end of the message or
 * event being handled hands it to its free listener (the mixer's own Free
 * deletes it).
 * Ownership: a message handed to HandleMessage belongs to the mixer, which
 * clears the caller's pointer and releases it exactly once.
 * Results: 0x02000000 success; bit 31 set failure (0x8200000A invalid
 * message, 0x82000008 20 listeners pending, 0x82000010 a message the mixer
 * does not handle); failures are logged at VQERR as
 * "CVQCMCMixer::<operation>: %s (0x%08X) 0x%08X %s:%d\n".
 * Threads: commands on the application's threads, messages and events on the
 * core library's job threads, under the mixer's recursive mutex (may be
 * shared with legs and mixers, null for none). State queries read unlocked.
 */
#ifndef VQCMC_MIXER_H
#define VQCMC_MIXER_H

#include "vqcafmutex.h"
#include "vqcafptr.h"
#include "vqcaflogtrace.h"
#include "vqcmc_attributes.h"
#include "vqcmc_error.h"
#include "vqcmc_leg_if.h"
#include "vqcmc_listener.h"
#include "vqcmc_media_attributes.h"
#include "vqcmc_message.h"
#include "vqcmc_mixer_join.h"
#include "vqcmclib.h"
#include "vqcmc_request_table.h"

namespace VQCAF {

class CVQCMCMixer;

/* Play streams of a mixer (indexes 0..3); the record stream is apart. */
constexpr u32 VQCMC_MIXER_NB_PLAYS = 4u;
constexpr u32 VQCMC_MIXER_MAX_PENDING_LISTENERS = 20u;

class IVQCMCMixer {
 public:
  virtual ~IVQCMCMixer() = default;
  virtual void OnMixerCreateResponse(_VQCMC_MSG_CMD_MIXER_CREATE* pPayload, unsigned int* pfHandled) = 0;
  virtual void OnMixerTerminateResponse(_VQCMC_MSG_CMD_MIXER_TERMINATE* pPayload, unsigned int* pfHandled) = 0;
  virtual void OnMixerSetAttributeResponse(_VQCMC_MSG_CMD_MIXER_SET_ATTRIBUTE* pPayload, unsigned int* pfHandled) = 0;
  virtual void OnMixerCreated() = 0;
  virtual void OnMixerEvent(IVQCMCEvent* pEvent) = 0;
  virtual void OnMixerError(CVQCMCMixerError& Error) = 0;
  virtual void OnMixerTerminated() = 0;
  virtual void OnMixerSyncDone() = 0;
  virtual void OnMixerSyncLost() = 0;
  virtual void OnMixerAttributeChanged() = 0;
};

class IVQCMCMixerJoin {
 public:
  virtual ~IVQCMCMixerJoin() = default;
  virtual void OnMixerJoinResponse(_VQCMC_MSG_CMD_MIXER_LEG_JOIN* pPayload, unsigned int* pfHandled) = 0;
  virtual void OnMixerJoinResponse(_VQCMC_MSG_CMD_MIXER_MIXER_JOIN* pPayload, unsigned int* pfHandled) = 0;
  virtual void OnMixerUnjoinResponse(_VQCMC_MSG_CMD_MIXER_LEG_UNJOIN* pPayload, unsigned int* pfHandled) = 0;
  virtual void OnMixerUnjoinResponse(_VQCMC_MSG_CMD_MIXER_MIXER_UNJOIN* pPayload, unsigned int* pfHandled) = 0;
  virtual void OnMixerLegJoinDone(CVQCMCLeg* pLeg) = 0;
  virtual void OnMixerMixerJoinDone(CVQCMCMixer* pMixer) = 0;
  virtual void OnMixerLegUnjoinDone(CVQCMCLeg* pLeg) = 0;
  virtual void OnMixerMixerUnjoinDone(CVQCMCMixer* pMixer) = 0;
};

class IVQCMCMixerStream {
 public:
  virtual ~IVQCMCMixerStream() = default;
  virtual void OnMixerPlayStreamResponse(_VQCMC_MSG_CMD_PLAY* pPayload, unsigned int* pfHandled) = 0;
  virtual void OnMixerRecordStreamResponse(_VQCMC_MSG_CMD_RECORD* pPayload, unsigned int* pfHandled) = 0;
  virtual void OnMixerPauseStreamResponse(_VQCMC_MSG_CMD_PAUSE* pPayload, unsigned int* pfHandled) = 0;
  virtual void OnMixerResumeStreamResponse(_VQCMC_MSG_CMD_RESUME* pPayload, unsigned int* pfHandled) = 0;
  virtual void OnMixerStopStreamResponse(_VQCMC_MSG_CMD_STOP* pPayload, unsigned int* pfHandled) = 0;
  virtual void OnMixerStreamPlayingStarted(unsigned char un8Index, unsigned char un8Flag,
                                           VQCMCMediaFileInfo const& File) = 0;
  virtual void OnMixerStreamRecordingStarted(VQCMCMediaFileInfo const& File) = 0;
  virtual void OnMixerStreamPlayingDone(unsigned char un8Index, _VQCMC_IVR_REASON_CODE Reason) = 0;
  virtual void OnMixerStreamRecordingDone(_VQCMC_IVR_REASON_CODE Reason) = 0;
};

class CVQCMCMixer : public IVQCMCMixer,
                    public IVQCMCMixerJoin,
                    public IVQCMCMixerStream,
                    public IVQCMCFreeListener<CVQCMCMixer>,
                    public CVQCAFLogTrace {
 public:
  /* Id 0: a new core-library mixer; another id: adopts the library's mixer
   * of that id (fails, context invalid, when another mixer object represents it).
   * A mixer not valid sends nothing: its commands fail with its construction's
   * failure, 0x8201020A when no server was ready to make it. */
  CVQCMCMixer(unsigned int un32MixerId, CVQCAFPtr<CVQCMC_MIXER_ATTRIBUTE> pAttribute,
              IVQCMCFreeListener<CVQCMCMixer>* pFreeListener, unsigned int un32SerialisationId, CVQCAFMutex* pMutex);
  /* Removes what this object registered: its registry entry, its core-library mixer. */
  ~CVQCMCMixer() override;

  /* ------------------------------------------------ IVQCMCMixer defaults */
  /* A negative result marks the mixer terminating. */
  void OnMixerCreateResponse(_VQCMC_MSG_CMD_MIXER_CREATE* pPayload, unsigned int* pfHandled) override;
  void OnMixerTerminateResponse(_VQCMC_MSG_CMD_MIXER_TERMINATE*, unsigned int* p) override { Unhandled(p); }
  void OnMixerSetAttributeResponse(_VQCMC_MSG_CMD_MIXER_SET_ATTRIBUTE*, unsigned int* p) override { Unhandled(p); }
  void OnMixerCreated() override {}
  void OnMixerEvent(IVQCMCEvent*) override {}
  void OnMixerError(CVQCMCMixerError&) override {}
  void OnMixerTerminated() override {}
  void OnMixerSyncDone() override {}
  void OnMixerSyncLost() override {}
  void OnMixerAttributeChanged() override {}

  /* The default free listener: deletes the mixer. */
  VQX_RESULT Free(CVQCMCMixer* pMixer) override;
  /* Takes the message (*phMsg cleared, released once), dispatches it by kind
   * and id, then runs the free check. Kind 1 and ids the mixer does not
   * handle: 0x82000010 ("Could not handle message"); other kinds than 1, 2
   * and 4, and responses to no command in flight: dropped, 0x02000000; a
   * handler's failure is returned. */
  virtual VQX_RESULT HandleMessage(VQX_MSG_HANDLE* phMsg);

  /* -------------------------------------------- IVQCMCMixerJoin defaults */
  void OnMixerJoinResponse(_VQCMC_MSG_CMD_MIXER_LEG_JOIN*, unsigned int* p) override { Unhandled(p); }
  void OnMixerJoinResponse(_VQCMC_MSG_CMD_MIXER_MIXER_JOIN*, unsigned int* p) override { Unhandled(p); }
  void OnMixerUnjoinResponse(_VQCMC_MSG_CMD_MIXER_LEG_UNJOIN*, unsigned int* p) override { Unhandled(p); }
  void OnMixerUnjoinResponse(_VQCMC_MSG_CMD_MIXER_MIXER_UNJOIN*, unsigned int* p) override { Unhandled(p); }

  /* ------------------------------------------ IVQCMCMixerStream defaults */
  void OnMixerPlayStreamResponse(_VQCMC_MSG_CMD_PLAY*, unsigned int* p) override { Unhandled(p); }
  void OnMixerRecordStreamResponse(_VQCMC_MSG_CMD_RECORD*, unsigned int* p) override { Unhandled(p); }
  void OnMixerPauseStreamResponse(_VQCMC_MSG_CMD_PAUSE*, unsigned int* p) override { Unhandled(p); }
  void OnMixerResumeStreamResponse(_VQCMC_MSG_CMD_RESUME*, unsigned int* p) override { Unhandled(p); }
  void OnMixerStopStreamResponse(_VQCMC_MSG_CMD_STOP*, unsigned int* p) override { Unhandled(p); }
  void OnMixerLegJoinDone(CVQCMCLeg*) override {}
  void OnMixerMixerJoinDone(CVQCMCMixer*) override {}
  void OnMixerLegUnjoinDone(CVQCMCLeg*) override {}
  void OnMixerMixerUnjoinDone(CVQCMCMixer*) override {}
  void OnMixerStreamPlayingStarted(unsigned char, unsigned char, VQCMCMediaFileInfo const&) override {}
  void OnMixerStreamRecordingStarted(VQCMCMediaFileInfo const&) override {}
  void OnMixerStreamPlayingDone(unsigned char, _VQCMC_IVR_REASON_CODE) override {}
  void OnMixerStreamRecordingDone(_VQCMC_IVR_REASON_CODE) override {}

  /* ------------------------------------------------- mixer commands
   * Every command of this class (these and the joins) first fails with 0x82000014 once the
   * library is detached or gone: nothing sent, no listener or callback.
   * Each: state checks (free requested: 0x8200000F silently; terminating:
   * 0x8200000F traced at level 1), the command filled, the listener
   * remembered, the message handed to the core library; a later failure
   * reaches the listener and OnMixerError as "CVQCMCMixer::<command> Failed".
   * A command whose hand-over failed leaves no count raised and no listener kept. */
  /* No state checks; created once handed over. */
  VQX_RESULT MixerCreate(IVQCMCErrorListener* pListener);
  /* Refused (0x8200000F) out of synchronisation or when already called; a
   * terminate that could not be sent may be tried again. Once sent, every
   * join record of the mixer is unjoin pending: the server ends them with it. */
  VQX_RESULT MixerTerminate(IVQCMCErrorListener* pListener);
  /* The mixer the core library holds under that id; 0x8200000B when it has no object. */
  static VQX_RESULT MixerTerminate(unsigned int un32MixerId, IVQCMCErrorListener* pListener);
  /* After the state checks the mixer's attribute is replaced by the given one
   * and stays so whatever follows (a failed send included); a null attribute
   * is refused (0x82000009, "CopyMixer Failed") and the held one kept. */
  VQX_RESULT MixerSetAttribute(CVQCAFPtr<CVQCMC_MIXER_ATTRIBUTE> pAttribute, IVQCMCErrorListener* pListener);
  /* Play index (byte 15 of the attribute) 0..3, else 0x8200000A; the slot is
   * busy (paused as byte 16 says) once handed over. */
  VQX_RESULT MixerPlayStream(CVQCMC_PLAY_ATTRIBUTE& Attribute, IVQCMCErrorListener* pListener);
  VQX_RESULT MixerRecordStream(CVQCMC_RECORD_ATTRIBUTE& Attribute, IVQCMCErrorListener* pListener);
  /* Sent for any index; only a play index 0..3 has its paused flag changed. */
  VQX_RESULT MixerPauseStream(unsigned int fPlay, unsigned int fRecord, unsigned char un8Index,
                              IVQCMCErrorListener* pListener);
  VQX_RESULT MixerResumeStream(unsigned int fPlay, unsigned int fRecord, unsigned char un8Index,
                               IVQCMCErrorListener* pListener);
  VQX_RESULT MixerStopStream(unsigned int fPlay, unsigned int fRecord, unsigned char un8Index,
                             IVQCMCErrorListener* pListener);
  /* Terminates and frees itself once terminated; when the terminate cannot be
   * sent, freed after the message or event being handled (at once outside one):
   * the caller must not touch it after the call. */
  void RefuseMixer();
  /* Refuses the core library's mixer of that id (found while resynchronising);
   * an id the library does not know, or a terminate not sent: freed at once. */
  static void RefuseMixer(unsigned int un32MixerId, CVQCMC_MIXER_ATTRIBUTE& Attribute);

  /* Refuses a link the core library holds after re-synchronising: the unjoin
   * sent for the mixer; once sent, the record of the pair is unjoin pending.
   * The attribute pointer selects the kind of peer and is not read. */
  static void RefuseMixerLink(unsigned int un32MixerId, unsigned int un32LegId, CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE*);
  static void RefuseMixerLink(unsigned int un32MixerId, unsigned int un32PeerId, CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE*);
  /* Re-synchronisation (under the mixer's mutex): the streams the server
   * reports (play elements: index at 15, paused at 16; the record element's
   * paused at 70) replace the counts, with one playing-done (reason 5) for
   * each play or record counted before (fCountedBefore; a mixer just made
   * counted none) and not reported any more. */
  void SyncStreams(u32* pPlaySet, u32* pRecordSet, bool fCountedBefore);

  /* ------------------------------------------- joins (vqcmc_mixer_join.cpp)
   * A leg joins as listener (receives the mix), speaker (is mixed in), both
   * or neither (null attribute); a mixer joins in the directions its
   * attribute names, mixer 1 being this one. A join is recorded, join
   * pending, once its command is handed over, and confirmed by its join
   * done; an unjoin marks the record unjoin pending and its unjoin done
   * removes it. Refused (0x8200000F) while either party is freed or
   * terminating (joins) or this mixer is freed or out of synchronisation
   * (unjoins); a listener that receives from a leg or listens to another
   * mixer: 0x8200000F; a null mixer attribute, this mixer as the peer or a
   * pair without a record: 0x82000011. Join state changes under the records'
   * class mutexes only: no operation here holds two object mutexes, and a
   * peer mixer's own mutex is never taken. The done callbacks of a mixer-mixer join go to
   * the record's lower-id mixer (without its mutex when it is the peer). */
  virtual VQX_RESULT MixerJoin(CVQCMCLeg* pLeg, CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE* pAttribute, IVQCMCErrorListener* pListener);
  virtual VQX_RESULT MixerJoin(CVQCMCMixer* pMixer, CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE* pAttribute,
                               IVQCMCErrorListener* pListener);
  virtual VQX_RESULT MixerUnjoin(CVQCMCLeg* pLeg, IVQCMCErrorListener* pListener);
  virtual VQX_RESULT MixerUnjoin(CVQCMCMixer* pMixer, IVQCMCErrorListener* pListener);
  /* Records the join (an existing record takes the new flags and moves on the
   * leg where they say); fPending marks it join pending. Nothing sent. */
  virtual void MixerSetJoined(CVQCMCLeg* pLeg, CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE* pAttribute, unsigned int fPending);
  virtual void MixerSetJoined(CVQCMCMixer* pMixer, CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE* pAttribute,
                              unsigned int fPending);
  /* Drops the join with that leg or mixer; the u32 form drops every join of the mixer. No callback. */
  virtual void MixerSetUnjoined(CVQCMCLeg* pLeg);
  virtual void MixerSetUnjoined(CVQCMCMixer* pMixer);
  virtual void MixerSetUnjoined(unsigned int);
  /* Drops the record's join, then the unjoin-done callback. */
  void CallMixerLegUnjoinDone(CVQCAFPtr<CVQCMCMixerJoinedLeg> pJoin);
  void CallMixerMixerUnjoinDone(CVQCAFPtr<CVQCMCMixerJoinedMixer> pJoin);
  /* Number of joined legs; the vector (when given) receives them in join order. */
  virtual u32 GetJoinedLegs(std::vector<CVQCMCLeg*>* paLegs);
  /* Number of joined mixers; the vector receives the peers of the higher-id list, then of the lower-id list. */
  virtual u32 GetJoinedMixers(std::vector<CVQCMCMixer*>* paMixers);
  /* The joined leg of that id (null: none) sharing the record's attribute, and its pending flags. */
  virtual CVQCMCLeg* GetJoinedLegAttributes(unsigned int un32LegId,
                                            CVQCAFPtr<CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE>* ppAttribute,
                                            unsigned int* pfJoinPending, unsigned int* pfUnjoinPending);
  /* The joined mixer of that id (null: none), its directions seen from this mixer, its pending flags. */
  virtual CVQCMCMixer* GetJoinedMixerAttributes(unsigned int un32MixerId,
                                                CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE* pAttribute,
                                                unsigned int* pfJoinPending, unsigned int* pfUnjoinPending);

  /* ------------------------------------------------------- logging */
  void LogTrace(_VQX_TRACE_LEVEL Level, const char* pszFormat, ...) override __attribute__((format(printf, 3, 4)));
  void LogTrace(_VQX_TRACE_LEVEL Level, const char* pszFormat, _VQX_VA_LIST& args) override;
  void LogTrace(_VQX_TRACE_LEVEL Level, char** apszPrefix, u32 un32Count, const char* pszFormat,
                _VQX_VA_LIST& args) override;

  /* --------------------------------------------------- state queries */
  u32 GetMixerId() const { return mun32MixerId; }
  u32 IsValidMixerCtx() const { return mfValidMixerCtx; }
  u32 IsTerminating() const { return mfValidMixerCtx == 0 ? 1u : mfTerminating; }
  u32 IsSynchronized() const { return mfSynchronized; }
  u32 IsCreated() const { return mfCreated; }
  /* Whether that play has plays in progress; *pfPaused (when given) is 0 only
   * for a play in progress and not paused. An index past the plays answers idle. */
  u32 IsPlayingStream(unsigned char un8Index, unsigned int* pfPaused) const;
  u32 IsRecordingStream(unsigned int* pfPaused) const;
  u32 IsPlayingDigit() const { return 0; }
  u32 IsPlayingEvent() const { return 0; }
  /* One more reference to the mixer's attribute (taken under the mutex). */
  CVQCAFPtr<CVQCMC_MIXER_ATTRIBUTE> GetMixerAttributes();
  /* The attribute into a mixer description (bytes 3-7 and 24-31 untouched). */
  VQX_RESULT CopyMixer(VQX_MSG_HANDLE hMsg, _VQCMC_MIXER* pRecord);

  /* ------------------------------------------------- free protocol */
  VQX_RESULT FreeMixer();
  void SetFreeListener(IVQCMCFreeListener<CVQCMCMixer>* pListener);
  /* Hands a marked mixer to its free listener (mutex released first), once no
   * peer's thread is calling it or handing it out (it waits for them). */
  VQX_RESULT CheckFreeMixer();
  /* Delivers a posted event (pfSkip non-zero: cancelled); an error event
   * (type 3) goes to OnMixerError and is deleted, any other type to
   * OnMixerEvent. Then the free check. */
  VQX_RESULT HandleMixerEvent(void* pvEvent, unsigned char* pfSkip);
  /* Changes the mutex and the core library's serialisation id. */
  VQX_RESULT ReSerialize(CVQCAFMutex* pMutex, unsigned int un32SerialisationId);

  /* ----------------------------------------------- request machinery */
  VQX_RESULT HandleRequest(VQX_MSG_HANDLE hMsg, IVQCMCErrorListener* pListener);
  VQX_RESULT HandleResponse(VQX_MSG_HANDLE hMsg, unsigned int fHandled, unsigned int un32Result, const char* pszText);
  VQX_RESULT HandleCmcError(CVQCMCMixerError& Error, IVQCMCErrorListener* pListener);
  u32 GetPendingListenerCount() const { return mRequests.GetCount(); }

 protected:
  static void Unhandled(unsigned int* pfHandled) {
    if (pfHandled != nullptr) *pfHandled = 0;
  }
  void LogFailure(const char* pszOperation, const char* pszText, u32 un32Detail, VQX_RESULT Result, int nLine,
                  const char* pszFile = __builtin_FILE());
  /* Removes the listener remembered for a request whose send failed. */
  void ForgetRequest(u32 un32Serial);
  /* The mixer will get no further responses: each command still waiting fails to its listener (or
   * the default one), oldest first, with Result and pszText (then OnMixerError unless handled). */
  void FailPendingRequests(VQX_RESULT Result, const char* pszText);
  /* A command's failure after its state checks: the error to the listener (else
   * OnMixerError), the failure line with pszStep; returns Result. */
  VQX_RESULT ReportFailure(const char* pszOperation, const char* pszErrorText, const char* pszStep,
                           VQX_RESULT Result, IVQCMCErrorListener* pListener, int nLine);
  static void CopyMixerFrom(const CVQCMC_MIXER_ATTRIBUTE& Attr, _VQCMC_MIXER* pRecord);
  /* Marks every join record of this mixer (legs, and mixers on either side) unjoin pending. */
  void SetJoinsUnjoinPending();

 private:
  using PFN_HANDLER = VQX_RESULT (CVQCMCMixer::*)(VQX_MSG_HANDLE*);
  struct HandlerRow {
    u32 un32Kind;
    u32 un32Id;
    PFN_HANDLER pfnHandler;
  };
  static const HandlerRow s_aRows[];

  void Construct(unsigned int un32MixerId, CVQCAFPtr<CVQCMC_MIXER_ATTRIBUTE>& pAttribute,
                 IVQCMCFreeListener<CVQCMCMixer>* pFreeListener, unsigned int un32SerialisationId,
                 CVQCAFMutex* pMutex, _VQCMC_LIB_MIXER_PARAMS* pParams);
  void UpdateMappingId(VQX_MSG_HANDLE hMsg);
  /* False (nothing sent) while free requested or terminating. */
  bool Refusable(const char* pszOp);
  /* 0x82000014, traced at level 1, when CVQCMCLib::CommandRefusal refuses: the command then sends
   * nothing and calls no listener or callback. */
  VQX_RESULT LibraryRefusal(const char* pszOperation);
  /* Version and mixer id words, listener remembered, handed over. */
  template <class T, u32 id>
  VQX_RESULT SendBuilt(CVQCMCMessage<T, id>& Msg, u32 un32Version, const char* pszOp, const char* pszError,
                       IVQCMCErrorListener* pListener);
  /* Pause (nPaused 1), resume (0) and stop (-1: no flag changes). */
  template <class T, u32 id>
  VQX_RESULT StreamControl(const char* pszOp, const char* pszError, unsigned int fPlay, unsigned int fRecord,
                           unsigned char un8Index, int nPaused, IVQCMCErrorListener* pListener);
  /* RefuseMixer's steps: its own free listener, refused, terminate; the terminate's result. */
  VQX_RESULT Refuse();
  /* RefuseMixerLink's unjoin for the mixer and its peer; the mixer's object, when there is one,
   * awaits its answer as one of its own commands. True once handed over. */
  template <class T, u32 id>
  static bool SendRefusalUnjoin(u32 un32MixerId, u32 un32PeerId);
  /* The response sequence: callback with the handled word, then HandleResponse. */
  template <class T, u32 id>
  VQX_RESULT HandleMixerResponse(VQX_MSG_HANDLE* phMsg, void (CVQCMCMixer::*pfnCallback)(T*, unsigned int*),
                                 const char* pszHandler, const char* pszText, i32* pn32Result = nullptr);
  /* A notification whose word 7 must be this mixer's id: 0x8200000A otherwise. */
  VQX_RESULT CheckedNotif(VQX_MSG_HANDLE* phMsg, const char* pszHandler, const char* pszText,
                          void (CVQCMCMixer::*pfnCallback)());

  VQX_RESULT HandleMixerCreateResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleMixerTerminateResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleMixerSetAttributeResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleMixerCreated(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleMixerTerminated(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleMixerAttributeChanged(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleMixerError(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleMixerSyncDone(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleMixerSyncLost(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandlePlayStreamResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleRecordStreamResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandlePauseStreamResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleResumeStreamResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleStopStreamResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleStreamPlayingDone(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleStreamPlayingStarted(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleMixerLegJoinResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleMixerMixerJoinResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleMixerLegUnjoinResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleMixerMixerUnjoinResponse(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleMixerLegJoinDone(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleMixerMixerJoinDone(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleMixerLegUnjoinDone(VQX_MSG_HANDLE* phMsg);
  VQX_RESULT HandleMixerMixerUnjoinDone(VQX_MSG_HANDLE* phMsg);
  /* A join command's steps after its checks: payload (ids at 32 and 36, fnFill
   * for the rest), listener remembered, handed over for un32Peer. */
  template <class T, u32 id, class F>
  VQX_RESULT SendJoin(CVQCMCMessage<T, id>& Msg, const char* pszOp, const char* pszError, u32 un32First,
                      u32 un32Second, u32 un32Peer, IVQCMCErrorListener* pListener, F&& fnFill);
  /* A join response: the response sequence, then the server's result and the peer id (context). */
  template <class T, u32 id>
  VQX_RESULT JoinResponse(VQX_MSG_HANDLE* phMsg, void (CVQCMCMixer::*pfnCallback)(T*, unsigned int*),
                          const char* pszHandler, const char* pszText, i32* pn32Result, u32* pun32Peer);

 protected:
  CVQCAFMutex* mpMutex = nullptr;
  u32 mfValidMixerCtx = 0;
  u32 mfCreated = 0;
  u32 mfTerminating = 0;
  u32 mun32MixerId = 0;
  u32 mfSynchronized = 1;
  u32 maun32PlaysInProgress[VQCMC_MIXER_NB_PLAYS] = {};
  u32 mun32RecordsInProgress = 0;
  u8 maun8PlayPaused[VQCMC_MIXER_NB_PLAYS] = {};
  u8 mun8RecordPaused = 0;
  u32 mfRefused = 0;
  CVQCAFPtr<CVQCMC_MIXER_ATTRIBUTE> mpAttribute;
  IVQCMCFreeListener<CVQCMCMixer>* mpFreeListener = nullptr;
  u32 mfBeingFreed = 0;
  CVQCMCRequestTable mRequests{VQCMC_MIXER_MAX_PENDING_LISTENERS};
  /* What this object registered, and so removes. */
  u32 mfRegistered = 0;
  u32 mfOwnsLibMixer = 0;
  /* While not valid, what its commands fail with: the construction's failure (VqCmcCreateFailure). */
  VQX_RESULT mun32InvalidResult = VQX_RESULT_OK;
  /* Messages and events being handled (a refusal's free then waits for their end). */
  u32 mun32Dispatching = 0;
  _VQCMC_LIB_MIXER_PARAMS mLibParams{};
  /* Joins, under the records' class mutexes: legs, mixers with a lower id
   * (this one is mixer2), mixers with a higher id (this one is mixer1). */
  CVQCMCMixerLegList mJoinedLegs;
  CVQCMCMixerHighList mJoinedMixersHigh;
  CVQCMCMixerLowList mJoinedMixersLow;
  friend class CVQCMCMixerJoinedLeg;
  friend class CVQCMCMixerJoinedMixer;
  /* Held by a peer's thread while it calls this object or hands it out (vqcmc_join_list.h). */
  CVQCMCPins mCallPins;
  template <class T>
  friend class CVQCMCPinned;
};

}  // namespace VQCAF

#endif
