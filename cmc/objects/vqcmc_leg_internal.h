/*
 * vqcmc_leg_internal.h - what the files of CVQCMCLeg share: the release of a
 * message no handler took, the filling of a response's error, and the check
 * that a received payload holds the bytes a handler reads (the core library
 * handle is VqCmcLiveLibHandle, vqcmc_msg_internal.h). Not a public header.
 */
#ifndef VQCMC_LEG_INTERNAL_H
#define VQCMC_LEG_INTERNAL_H

#include <cstring>

#include "vqcmc_leg.h"
#include "vqcmc_message.h"
#include "vqcmc_msg_internal.h"

namespace VQCAF {

/* Gives a message back to the host library and clears the pointer (nothing for null). */
void VqCmcLegReleaseMsg(VQX_MSG_HANDLE* phMsg);
/* A response's error: code, message, file, line and the response's message id. */
void VqCmcLegErrorFill(CVQCMCLegError& Error, u32 un32Code, const char* pszText, const char* pszFile, u32 un32Line,
                       u32 un32MsgId);
/* The detail block of a leg-error notification into the error. */
void VqCmcLegErrorSetDetail(CVQCMCLegError& Error, const u8* pbyDetail, u32 un32Size);

/* CVQCMCLib::CommandRefusal for a command of a leg or mixer: the refusal (0x82000014) traced on the
 * object at level 1 as "<class>::<operation>: ...". */
inline VQX_RESULT VqCmcLibraryRefusal(CVQCAFLogTrace& Object, const char* pszClass, const char* pszOperation) {
  const VQX_RESULT Result = CVQCMCLib::CommandRefusal();
  if (VQX_RESULT_FAILED(Result)) {
    Object.LogTrace(VQLV1, "%s::%s: The call/media control library is stopped or not initialised.\n", pszClass,
                    pszOperation);
  }
  return Result;
}

/* Why a leg or mixer its creating constructor could not make in the core library stays without
 * one: the library's "no server available" (0x82000015) is the not-ready code (0x8201020A) that the
 * commands of the entities it holds get in the same outage; any other failure is its own code. */
inline VQX_RESULT VqCmcCreateFailure(VQX_RESULT Result) {
  return Result == VQX_RESULT_NOT_FOUND ? VQX_RESULT_API_ADA_NOT_READY : Result;
}

/* How the commands of a leg or mixer still waiting fail once no response will come: the server
 * lost the synchronisation (and the answers with it: the not-ready code), or the leg or mixer ended. */
inline constexpr char kVqCmcLostToSync[] = "Request lost: synchronisation with the CMC server lost";
inline constexpr char kVqCmcLostToEnd[] = "Request lost: terminated before its response";

/* Whether the response hMsg is to be dropped: it answers no command the leg or mixer has waiting
 * in Requests (answered already, failed when no answer was to come any more, or never sent), so
 * that no callback or listener hears of a command twice or of one it never had; a refused create
 * is not dropped, since the core library closes the leg or mixer on it. Each drop is a
 * line at VQERR, "<class>::HandleMessage: Response 0x%08X (serial %u) answers no command in
 * flight: dropped", at most one a second per object; the count of those left out goes with the
 * next one, or on its own with the next response taken once the second is over. */
bool VqCmcStrayResponseLine(CVQCAFLogTrace& Object, const char* pszClass, CVQCMCRequestTable& Requests,
                            VQX_MSG_HANDLE hMsg);
inline bool VqCmcDropStrayResponse(CVQCAFLogTrace& Object, const char* pszClass, CVQCMCRequestTable& Requests,
                                   VQX_MSG_HANDLE hMsg) {
  if (Requests.Awaits(hMsg) && Requests.mStrayLines.LeftOut() == 0) return false;  // the common case
  return VqCmcStrayResponseLine(Object, pszClass, Requests, hMsg);
}

/* A reason the leg builds itself: the code, the other 12 bytes zero. */
inline void VqCmcReasonInit(_VQCMC_CALL_REASON& Reason, u32 un32Code) {
  memset(&Reason, 0, sizeof(Reason));
  Reason.un32ReasonCode = un32Code;
}
inline u32 VqCmcReasonCode(const _VQCMC_CALL_REASON& Reason) { return Reason.un32ReasonCode; }

/* Takes the message out of the caller's pointer (the wrapper built on it owns it). */
inline VQX_MSG_HANDLE VqCmcTake(VQX_MSG_HANDLE* phMsg) {
  VQX_MSG_HANDLE hMsg = *phMsg;
  *phMsg = nullptr;
  return hMsg;
}

/* The payload of a received message when it is of the wrapper's id and its
 * used payload holds at least un32Need bytes; else null ("Invalid message"). */
template <class T, u32 id>
T* VqCmcPayload(const CVQCMCMessage<T, id>& Msg, u32 un32Need = sizeof(T)) {
  T* pPayload = Msg.GetPayload();
  if (pPayload == nullptr || VQX_RESULT_FAILED(VqCmcCheckRecord(Msg.GetMsg(), pPayload, un32Need))) return nullptr;
  return pPayload;
}

/* A u32 (or record) at a byte offset of a checked payload. */
template <class R = u32, class T>
R* VqCmcAt(T* pPayload, u32 un32Offset) {
  return reinterpret_cast<R*>(reinterpret_cast<u8*>(pPayload) + un32Offset);
}

/* The file of a checked playing-started payload: none for version 1; from
 * version 2 the host id at 40 and the path element of the set at 36. */
inline void VqCmcReadStartedFile(VQX_MSG_HANDLE hMsg, u8* pbyPayload, VQCMCMediaFileInfo& Info) {
  if (*VqCmcAt(pbyPayload, VQCMC_PAYLOAD_OFFSET_LIB_BUILT) <= 1) return;
  u32* pSet = VqCmcAt(pbyPayload, 36);
  if (VQX_RESULT_FAILED(VqCmcCheckRecordSet(hMsg, pbyPayload, 48, pSet))) pSet = nullptr;
  u64 un64Host = 0;
  memcpy(&un64Host, pbyPayload + 40, sizeof(un64Host));
  CVQCMCLeg::BuildMediaFileInfo(pSet, un64Host, Info);
}

/* The command and response sequences the leg's command files share. */
template <class T, u32 id>
VQX_RESULT CVQCMCLeg::SendBuilt(CVQCMCMessage<T, id>& Msg, const char* pszLogOp, const char* pszError,
                                IVQCMCErrorListener* pListener) {
  const u32 un32Serial = Msg.GetMsg()->un32SerialNumber;
  VQX_RESULT Result = HandleRequest(Msg.GetMsg(), pListener);
  if (VQX_RESULT_FAILED(Result)) {
    return ReportFailure(pszLogOp, pszError, "HandleRequest Failed.", Result, pListener, __LINE__);
  }
  // A leg that has no core-library leg of its own sends nothing: its construction's failure stands.
  Result = mfValidCallCtx != 0 ? Msg.LegMsgProcess(GetLegId(), 0) : mun32InvalidResult;
  if (VQX_RESULT_FAILED(Result)) {
    ForgetRequest(un32Serial);
    return ReportFailure(pszLogOp, pszError, "ProcessMsg Failed", Result, pListener, __LINE__);
  }
  return VQX_RESULT_OK;
}

template <class T, u32 id>
VQX_RESULT CVQCMCLeg::HandleCallResponse(VQX_MSG_HANDLE* phMsg, void (CVQCMCLeg::*pfnCallback)(T*, unsigned int*),
                                         const char* pszHandler, const char* pszText, T** ppPayload) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  CVQCMCMessage<T, id> Msg(VqCmcTake(phMsg));
  T* pPayload = VqCmcPayload(Msg);
  if (pPayload == nullptr) {
    LogFailure(pszHandler, "Invalid message", 0, VQX_RESULT_INVALID_PARAM, __LINE__);
    return VQX_RESULT_INVALID_PARAM;
  }
  if (ppPayload != nullptr) *ppPayload = pPayload;
  const u32 un32Result = *VqCmcAt(pPayload, VQCMC_PAYLOAD_OFFSET_WORD7);
  // A refused play (stream, digits, event) is no longer in progress.
  if (u32* pun32Plays = FailedPlayCounter(id, pPayload); pun32Plays != nullptr && static_cast<i32>(un32Result) < 0) {
    if (*pun32Plays > 0) (*pun32Plays)--;
  }
  unsigned int fHandled = 0;
  (this->*pfnCallback)(pPayload, &fHandled);
  const VQX_RESULT Result = HandleResponse(Msg.GetMsg(), fHandled, un32Result, pszText);
  if (VQX_RESULT_FAILED(Result)) {
    LogFailure(pszHandler, "HandleResponse Failed", 0, Result, __LINE__);
    return Result;
  }
  return VQX_RESULT_OK;
}

}  // namespace VQCAF

#endif
