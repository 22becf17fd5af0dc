/*
 * vqcmc_leg_if.h - the callback interfaces of a call leg (IVQCMCLeg,
 * IVQCMCCallLeg, IVQCMCStream, IVQCMCTone) and the value types they carry.
 *
 * Model. CVQCMCLeg (vqcmc_leg.h) implements all four with empty defaults; an
 * application derives from the leg and overrides what it wants to hear. A
 * response callback gets its command's payload and a handled word (0 on
 * entry): setting it to non-zero keeps the failure from the error listeners.
 * Every reference handed to a callback is valid only during the call.
 * Threads: callbacks run on the core library's job threads with the leg's
 * mutex held.
 */
#ifndef VQCMC_LEG_IF_H
#define VQCMC_LEG_IF_H

#include <vector>

#include "vqcafstring.h"
#include "vqcmc_msg_catalogue.h"
#include "vqx_host_peer.h"

struct _VQCMC_CALL_REASON;
struct _VQCMC_LEG_STATS;

/* Leg states. */
enum _VQCMC_MSG_CALL_LEG_STATE : u32 {
  VQCMC_CALL_LEG_STATE_INCOMING = 1,
  VQCMC_CALL_LEG_STATE_OUTGOING = 2,
  VQCMC_CALL_LEG_STATE_ANSWERED = 4,
  VQCMC_CALL_LEG_STATE_TERMINATED = 5,
};

/* Call reason codes: ITU-T Q.850 causes (1..127), the server's own (200..218),
 * SIP status codes (400..606); names: VqCmcCallReasonName. */
enum _VQCMC_CALL_REASON_CODE : u32 { VQCMC_CALL_REASON_SYNC_DROP = 205 };

/* Server codes carried through to the callbacks unchanged. */
enum _VQCMC_MEDIA_REASON_CODE : u32 {};
enum _VQCMC_GET_STATS_REASON_CODE : u32 {};
enum _VQCMC_IVR_REASON_CODE : u32 {};

/* Supplementary-information message types (names: VqCmcSuppInfoName). */
enum _VQCMC_SUPP_INFO_MSG_TYPE : u32 {
  VQCMC_SUPP_INFO_SIP_CALL_PROGRESS = 1,
  VQCMC_SUPP_INFO_SS7_CALL_PROGRESS = 100,
  VQCMC_SUPP_INFO_ISDN_CALL_PROGRESS = 200,
};

namespace VQCAF {

class CVQCMCLeg;
class CVQCMCLegError;
class CVQCMC_PROTOCOL_ATTRIBUTE;
class CVQCMC_MEDIA_PROFILE;
class CVQCMC_JOIN_ATTRIBUTE;
class CVQCMC_COLLECTED_DIGIT_ATTRIBUTE;
class IVQCMCEvent;

/* A media file of a play or record: the host that holds it (zero when none is
 * named) and its path (empty when none). */
struct VQCMCMediaFileInfo {
  _VQX_HOST_INFO HostInfo{};
  CVQCAFString strPath;
};

class IVQCMCLeg {
 public:
  virtual ~IVQCMCLeg() = default;
  virtual void OnLegEvent(IVQCMCEvent* pEvent) = 0;
  virtual void OnLegError(CVQCMCLegError& Error) = 0;
  virtual void OnCallTerminated(_VQCMC_CALL_REASON& Reason, CVQCMC_PROTOCOL_ATTRIBUTE& Attribute) = 0;
  virtual void OnSendTerminateCall(_VQCMC_CALL_REASON& Reason) = 0;
  virtual void OnSyncDone() = 0;
  virtual void OnSyncLost() = 0;
  virtual void OnProfileChanged(CVQCMC_MEDIA_PROFILE& Profile, _VQCMC_MEDIA_REASON_CODE MediaReason,
                                _VQCMC_CALL_REASON_CODE CallReason) = 0;
  virtual void OnJoinResponse(_VQCMC_MSG_CMD_JOIN* pPayload, unsigned int* pfHandled) = 0;
  virtual void OnUnjoinResponse(_VQCMC_MSG_CMD_UNJOIN* pPayload, unsigned int* pfHandled) = 0;
  virtual void OnChangeProfileResponse(_VQCMC_MSG_CMD_MEDIA_PROFILE_CHANGE* pPayload, unsigned int* pfHandled) = 0;
  virtual void OnGetStatsResponse(_VQCMC_MSG_CMD_GET_STATS* pPayload, unsigned int* pfHandled) = 0;
  virtual void OnStatsUpdated(_VQCMC_LEG_STATS& Stats, _VQCMC_GET_STATS_REASON_CODE Reason) = 0;
  virtual unsigned int UseLegacyOnJoinDone() = 0;
  virtual void OnJoinDone() = 0;
  virtual void OnUnjoinDone() = 0;
  virtual void OnJoinDone(CVQCMCLeg* pPeer, CVQCMC_JOIN_ATTRIBUTE* pAttribute) = 0;
  virtual void OnUnjoinDone(CVQCMCLeg* pPeer, CVQCMC_JOIN_ATTRIBUTE* pAttribute) = 0;
  virtual void OnProfileChanged(CVQCMC_MEDIA_PROFILE&) {}
  virtual void OnProfileChanged(CVQCMC_MEDIA_PROFILE&, _VQCMC_MEDIA_REASON_CODE) {}
};

class IVQCMCCallLeg {
 public:
  virtual ~IVQCMCCallLeg() = default;
  virtual void OnCallAccepted(CVQCMC_PROTOCOL_ATTRIBUTE& Attribute) = 0;
  virtual void OnCallAlerting(CVQCMC_PROTOCOL_ATTRIBUTE& Attribute) = 0;
  virtual void OnCallAnswered(CVQCMC_PROTOCOL_ATTRIBUTE& Attribute) = 0;
  virtual void OnCallTerminatingIndication(_VQCMC_CALL_REASON& Reason, CVQCMC_PROTOCOL_ATTRIBUTE& Attribute) = 0;
  virtual void OnCallSuppInfo(_VQCMC_SUPP_INFO_MSG_TYPE Type, CVQCMC_PROTOCOL_ATTRIBUTE& Attribute) = 0;
  virtual void OnCallTransferRequest(_VQCMC_CALL_TRANSFER& Transfer, CVQCMC_PROTOCOL_ATTRIBUTE& Attribute) = 0;
  virtual void OnCallTransferProgress(CVQCMC_PROTOCOL_ATTRIBUTE& Attribute) = 0;
  virtual void OnCallTransferResponse(_VQCMC_CALL_REASON& Reason, CVQCMC_PROTOCOL_ATTRIBUTE& Attribute) = 0;
  virtual void OnCreateCallResponse(_VQCMC_MSG_CMD_CALL_LEG_CREATE* pPayload, unsigned int* pfHandled) = 0;
  virtual void OnAcceptCallResponse(_VQCMC_MSG_CMD_CALL_LEG_ACCEPT* pPayload, unsigned int* pfHandled) = 0;
  virtual void OnAlertCallResponse(_VQCMC_MSG_CMD_CALL_LEG_ALERT* pPayload, unsigned int* pfHandled) = 0;
  virtual void OnAnswerCallResponse(_VQCMC_MSG_CMD_CALL_LEG_ANSWER* pPayload, unsigned int* pfHandled) = 0;
  virtual void OnTerminateCallResponse(_VQCMC_MSG_CMD_CALL_LEG_TERMINATE* pPayload, unsigned int* pfHandled) = 0;
  virtual void OnSendCallSuppInfoResponse(_VQCMC_MSG_CMD_CALL_SUPP_INFO* pPayload, unsigned int* pfHandled) = 0;
  virtual void OnCallTransferRequestResponse(_VQCMC_MSG_CMD_CALL_TRANSFER_REQUEST* pPayload,
                                             unsigned int* pfHandled) = 0;
  virtual void OnCallTransferProgressResponse(_VQCMC_MSG_CMD_CALL_TRANSFER_PROGRESS* pPayload,
                                              unsigned int* pfHandled) = 0;
  virtual void OnCallTransferResponseResponse(_VQCMC_MSG_CMD_CALL_TRANSFER_RESPONSE* pPayload,
                                              unsigned int* pfHandled) = 0;
};

class IVQCMCStream {
 public:
  virtual ~IVQCMCStream() = default;
  virtual void OnStreamPlayingStarted(unsigned char un8PlayIndex, unsigned char un8Paused,
                                      VQCMCMediaFileInfo const& File) = 0;
  virtual void OnStreamRecordingStarted(VQCMCMediaFileInfo const& File) = 0;
  virtual void OnStreamPlayingDone(unsigned char un8PlayIndex, _VQCMC_IVR_REASON_CODE Reason) = 0;
  virtual void OnStreamRecordingDone(_VQCMC_IVR_REASON_CODE Reason) = 0;
  virtual void OnPlayStreamResponse(_VQCMC_MSG_CMD_PLAY* pPayload, unsigned int* pfHandled) = 0;
  virtual void OnRecordStreamResponse(_VQCMC_MSG_CMD_RECORD* pPayload, unsigned int* pfHandled) = 0;
  virtual void OnPauseStreamResponse(_VQCMC_MSG_CMD_PAUSE* pPayload, unsigned int* pfHandled) = 0;
  virtual void OnResumeStreamResponse(_VQCMC_MSG_CMD_RESUME* pPayload, unsigned int* pfHandled) = 0;
  virtual void OnStopStreamResponse(_VQCMC_MSG_CMD_STOP* pPayload, unsigned int* pfHandled) = 0;
};

class IVQCMCTone {
 public:
  virtual ~IVQCMCTone() = default;
  virtual void OnDigitPlayingDone() = 0;
  virtual void OnDigitCollected(CVQCMC_COLLECTED_DIGIT_ATTRIBUTE& Digits) = 0;
  virtual void OnEventPlayingDone() = 0;
  virtual void OnEventCollected(CVQCAFString const& strEvents) = 0;
  virtual void OnPlayDigitResponse(_VQCMC_MSG_CMD_DIGIT_PLAY* pPayload, unsigned int* pfHandled) = 0;
  virtual void OnStartDigitCollectionResponse(_VQCMC_MSG_CMD_DIGIT_COLLECT_START* pPayload,
                                              unsigned int* pfHandled) = 0;
  virtual void OnStopDigitCollectionResponse(_VQCMC_MSG_CMD_DIGIT_COLLECT_STOP* pPayload,
                                             unsigned int* pfHandled) = 0;
  virtual void OnPlayEventResponse(_VQCMC_MSG_CMD_EVENT_PLAY* pPayload, unsigned int* pfHandled) = 0;
  virtual void OnCancelEventResponse(_VQCMC_MSG_CMD_EVENT_CANCEL* pPayload, unsigned int* pfHandled) = 0;
  virtual void OnStartEventCollectionResponse(_VQCMC_MSG_CMD_EVENT_COLLECT_START* pPayload,
                                              unsigned int* pfHandled) = 0;
  virtual void OnStopEventCollectionResponse(_VQCMC_MSG_CMD_EVENT_COLLECT_STOP* pPayload,
                                             unsigned int* pfHandled) = 0;
};

}  // namespace VQCAF

#endif
