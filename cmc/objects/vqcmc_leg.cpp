/*
 * CVQCMCLeg: construction and destruction, the dispatch of received messages
 * (tables of id -> handler), the request/response/error routing with the
 * pending-listener table, posted events, the free protocol, the change of
 * serialisation and the leg's log. Called by the core library's jobs
 * (VQCmcHandleLegCb, VQCmcHandleEventCb below) and by the application.
 */
#include "vqcmc_leg.h"

#include <cstdarg>
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "vqcaflog.h"
#include "vqcafcomm.h"
#include "vqcmc_leg_internal.h"
#include "vqx_clock.h"
#include "vqx_string.h"

namespace VQCAF {

/* ------------------------------------------------------------ dispatch tables */

/* Responses (kind 2) the leg handles; any other id answers as unknown. */
const CVQCMCLeg::HandlerRow CVQCMCLeg::s_aResponseRows[] = {
    {VQCMC_MSG_CMD_CALL_LEG_CREATE, &CVQCMCLeg::HandleCreateCallResponse},
    {VQCMC_MSG_CMD_CALL_LEG_ACCEPT, &CVQCMCLeg::HandleAcceptCallResponse},
    {VQCMC_MSG_CMD_CALL_LEG_ALERT, &CVQCMCLeg::HandleAlertCallResponse},
    {VQCMC_MSG_CMD_CALL_LEG_ANSWER, &CVQCMCLeg::HandleAnswerCallResponse},
    {VQCMC_MSG_CMD_CALL_LEG_TERMINATE, &CVQCMCLeg::HandleTerminateCallResponse},
    {VQCMC_MSG_CMD_CALL_SUPP_INFO, &CVQCMCLeg::HandleSendCallSuppInfoResponse},
    {VQCMC_MSG_CMD_GET_STATS, &CVQCMCLeg::HandleGetStatsResponse},
    {VQCMC_MSG_CMD_MEDIA_PROFILE_CHANGE, &CVQCMCLeg::HandleChangeProfileResponse},
    {VQCMC_MSG_CMD_CALL_TRANSFER_REQUEST, &CVQCMCLeg::HandleSendCallTransferReqResponse},
    {VQCMC_MSG_CMD_CALL_TRANSFER_PROGRESS, &CVQCMCLeg::HandleSendCallTransferProgressResponse},
    {VQCMC_MSG_CMD_CALL_TRANSFER_RESPONSE, &CVQCMCLeg::HandleSendCallTransferRspResponse},
    {VQCMC_MSG_CMD_PLAY, &CVQCMCLeg::HandlePlayStreamResponse},
    {VQCMC_MSG_CMD_RECORD, &CVQCMCLeg::HandleRecordStreamResponse},
    {VQCMC_MSG_CMD_PAUSE, &CVQCMCLeg::HandlePauseStreamResponse},
    {VQCMC_MSG_CMD_RESUME, &CVQCMCLeg::HandleResumeStreamResponse},
    {VQCMC_MSG_CMD_STOP, &CVQCMCLeg::HandleStopStreamResponse},
    {VQCMC_MSG_CMD_DIGIT_PLAY, &CVQCMCLeg::HandlePlayDigitResponse},
    {VQCMC_MSG_CMD_DIGIT_COLLECT_START, &CVQCMCLeg::HandleStartDigitCollectionResponse},
    {VQCMC_MSG_CMD_DIGIT_COLLECT_STOP, &CVQCMCLeg::HandleStopDigitCollectionResponse},
    {VQCMC_MSG_CMD_EVENT_PLAY, &CVQCMCLeg::HandlePlayEventResponse},
    {VQCMC_MSG_CMD_EVENT_CANCEL, &CVQCMCLeg::HandleCancelEventResponse},
    {VQCMC_MSG_CMD_EVENT_COLLECT_START, &CVQCMCLeg::HandleStartEventCollectionResponse},
    {VQCMC_MSG_CMD_EVENT_COLLECT_STOP, &CVQCMCLeg::HandleStopEventCollectionResponse},
    {VQCMC_MSG_CMD_JOIN, &CVQCMCLeg::HandleJoinResponse},
    {VQCMC_MSG_CMD_UNJOIN, &CVQCMCLeg::HandleUnjoinResponse},
    {0, nullptr},
};

/* Notifications (kind 4) the leg handles. */
const CVQCMCLeg::HandlerRow CVQCMCLeg::s_aNotificationRows[] = {
    {VQCMC_MSG_NOTIF_CALL_LEG_ACCEPTED, &CVQCMCLeg::HandleCallAccepted},
    {VQCMC_MSG_NOTIF_CALL_LEG_ALERTING, &CVQCMCLeg::HandleCallAlerting},
    {VQCMC_MSG_NOTIF_CALL_LEG_ANSWERED, &CVQCMCLeg::HandleCallAnswered},
    {VQCMC_MSG_NOTIF_CALL_LEG_TERMINATING_INDICATION, &CVQCMCLeg::HandleCallTerminatingIndication},
    {VQCMC_MSG_NOTIF_CALL_LEG_TERMINATED, &CVQCMCLeg::HandleCallTerminated},
    {VQCMC_MSG_NOTIF_CALL_SUPP_INFO, &CVQCMCLeg::HandleCallSuppInfo},
    {VQCMC_MSG_NOTIF_STATS_UPDATED, &CVQCMCLeg::HandleStatsUpdated},
    {VQCMC_MSG_NOTIF_MEDIA_PROFILE_CHANGED, &CVQCMCLeg::HandleProfileChanged},
    {VQCMC_MSG_NOTIF_LEG_ERROR, &CVQCMCLeg::HandleLegError},
    {VQCMC_MSG_NOTIF_CALL_TRANSFER_REQUEST, &CVQCMCLeg::HandleCallTransferRequest},
    {VQCMC_MSG_NOTIF_CALL_TRANSFER_PROGRESS, &CVQCMCLeg::HandleCallTransferProgress},
    {VQCMC_MSG_NOTIF_CALL_TRANSFER_RESPONSE, &CVQCMCLeg::HandleCallTransferResponse},
    {VQCMC_LIB_MSG_NOTIF_LEG_TERMINATED, &CVQCMCLeg::HandleLegTerminated},
    {VQCMC_LIB_MSG_NOTIF_LEG_SYNC_DONE, &CVQCMCLeg::HandleLegSyncDone},
    {VQCMC_LIB_MSG_NOTIF_LEG_SYNC_LOST, &CVQCMCLeg::HandleLegSyncLost},
    {VQCMC_MSG_NOTIF_PLAYING_STARTED, &CVQCMCLeg::HandleStreamPlayingStarted},
    {VQCMC_MSG_NOTIF_PLAYING_DONE, &CVQCMCLeg::HandleStreamPlayingDone},
    {VQCMC_MSG_NOTIF_DIGIT_PLAYING_DONE, &CVQCMCLeg::HandleDigitPlayingDone},
    {VQCMC_MSG_NOTIF_EVENT_PLAYING_DONE, &CVQCMCLeg::HandleEventPlayingDone},
    {VQCMC_MSG_NOTIF_DIGIT_COLLECTED, &CVQCMCLeg::HandleDigitCollected},
    {VQCMC_MSG_NOTIF_EVENT_COLLECTED, &CVQCMCLeg::HandleEventCollected},
    {VQCMC_MSG_NOTIF_JOIN_DONE, &CVQCMCLeg::HandleJoinDone},
    {VQCMC_MSG_NOTIF_UNJOIN_DONE, &CVQCMCLeg::HandleUnjoinDone},
    {0, nullptr},
};

CVQCMCLeg::PFN_HANDLER CVQCMCLeg::FindHandler(const HandlerRow* pRows, u32 un32Id) {
  for (; pRows->pfnHandler != nullptr; pRows++) {
    if (pRows->un32Id == un32Id) return pRows->pfnHandler;
  }
  return nullptr;
}

/* ------------------------------------------------------------ helpers */

void VqCmcLegReleaseMsg(VQX_MSG_HANDLE* phMsg) {
  if (phMsg == nullptr || *phMsg == nullptr) return;
  VQX_LIB_HANDLE hLib = CVQCAFComm::GetHostLibInstance();
  if (hLib == nullptr) {
    // Without the bridge the message cannot be given back; it is not ours to keep either.
    *phMsg = nullptr;
    return;
  }
  VQXReleaseMsgDbg(hLib, phMsg, __FILE__, __LINE__);
  *phMsg = nullptr;
  CVQCAFComm::ReleaseHostLibInstance();
}

bool VqCmcStrayResponseLine(CVQCAFLogTrace& Object, const char* pszClass, CVQCMCRequestTable& Requests,
                            VQX_MSG_HANDLE hMsg) {
  CVqxLogLimit& Limit = Requests.mStrayLines;
  if (Requests.Awaits(hMsg)) {
    if (const u32 un32LeftOut = Limit.TakeDue(VQXGetClock()); un32LeftOut != 0) {
      Object.LogTrace(VQERR,
                      "%s::HandleMessage: Responses to no command in flight dropped: %u similar line(s) left out\n",
                      pszClass, un32LeftOut);
    }
    return false;
  }
  // A refused create closes the leg or mixer in the core library whatever the object made of it:
  // its handler ends the object, with no listener told (no command of it is in flight any more).
  const auto* pHead = reinterpret_cast<const _VQCMC_MSG_HEAD*>(VQXMsgPayload(hMsg));
  const u32 un32Id = hMsg->un32MsgId;
  const bool fCreate = un32Id == VQCMC_MSG_CMD_CALL_LEG_CREATE || un32Id == VQCMC_MSG_CMD_MIXER_CREATE;
  if (fCreate && VQX_RESULT_SUCCEEDED(VqCmcCheckRecord(hMsg, pHead, sizeof(*pHead))) && pHead->n32Result < 0) {
    return false;
  }
  u32 un32LeftOut = 0;
  if (Limit.Allow(VQXGetClock(), un32LeftOut)) {
    char szLeftOut[64];
    Object.LogTrace(VQERR, "%s::HandleMessage: Response 0x%08X (serial %u) answers no command in flight: dropped%s\n",
                    pszClass, hMsg->un32MsgId, hMsg->un32SerialNumber,
                    VqxLogLimitLeftOutText(un32LeftOut, szLeftOut, sizeof(szLeftOut)));
  }
  return true;
}

void VqCmcLegErrorFill(CVQCMCLegError& Error, u32 un32Code, const char* pszText, const char* pszFile, u32 un32Line,
                       u32 un32MsgId) {
  Error.mun32Code = un32Code;
  Error.mstrMessage = pszText;
  Error.mpszFile = pszFile;
  Error.mun32Line = un32Line;
  Error.mun32MsgId = un32MsgId;
}

void VqCmcLegErrorSetDetail(CVQCMCLegError& Error, const u8* pbyDetail, u32 un32Size) {
  memcpy(Error.mabyDetail, pbyDetail, std::min<u32>(un32Size, sizeof(Error.mabyDetail)));
}

void CVQCMCLeg::LogFailure(const char* pszOperation, const char* pszText, u32 un32Detail, VQX_RESULT Result,
                           int nLine, const char* pszFile) {
  LogTrace(VQERR, "CVQCMCLeg::%s: %s (0x%08X) 0x%08X %s:%d\n", pszOperation, pszText, un32Detail, Result,
           VqxFileNameFromPath(pszFile), nLine);
}

/* ------------------------------------------------------------ construction */

void CVQCMCLeg::Construct(unsigned int un32LegId, CVQCAFPtr<CVQCMC_CALL_LEG_ATTRIBUTE_COMMON>& pAttributes,
                          IVQCMCFreeListener<CVQCMCLeg>* pFreeListener, _VQCMC_MSG_CALL_LEG_STATE State,
                          unsigned int un32SerialisationId, CVQCAFMutex* pMutex, _VQCMC_LIB_LEG_PARAMS* pParams) {
  mpMutex = pMutex;
  mState = State;
  mun32LegId = un32LegId;
  mfValidCallCtx = 0;
  mfTerminating = 0;
  const u32 fAnswered = State == VQCMC_CALL_LEG_STATE_ANSWERED ? 1u : 0u;
  mfAccepted = mfAlerted = mfAnswered = fAnswered;
  mfSynchronized = 1;
  mpAttributes = pAttributes;
  mpFreeListener = pFreeListener;
  *pParams = _VQCMC_LIB_LEG_PARAMS{};
  pParams->un32Kind = 1;
  pParams->EntityId = un32LegId;
  pParams->un32SerialisationId = un32SerialisationId;
  pParams->pvUserContext = this;
  pParams->Callback.pFctCallback = VQCmcHandleLegCb;
  pParams->Callback.pFctEventCallback = VQCmcHandleEventCb;
  pParams->Callback.pvLegUserContext = this;
  pParams->LegType = 1;
}

CVQCMCLeg::CVQCMCLeg(unsigned int un32LegId, CVQCAFPtr<CVQCMC_CALL_LEG_ATTRIBUTE_COMMON> pAttributes,
                     IVQCMCFreeListener<CVQCMCLeg>* pFreeListener, unsigned int un32SerialisationId,
                     CVQCAFMutex* pMutex)
    : CVQCAFLogTrace(VQCAF_SUBMODULE_CALL) {
  Construct(un32LegId, pAttributes, pFreeListener, VQCMC_CALL_LEG_STATE_OUTGOING, un32SerialisationId, pMutex,
            &mLibParams);
  const VQX_RESULT Result = VQCmcLibLegCreate(VqCmcLiveLibHandle(), &mLibParams);
  if (VQX_RESULT_FAILED(Result)) {
    LogFailure("CVQCMCLeg", "VQCmcLibLegCreate Failed.", 0, Result, __LINE__);
    mun32InvalidResult = VqCmcCreateFailure(Result);
    return;
  }
  if (un32LegId == 0) mun32LegId = mLibParams.EntityId;
  mfOwnsLibLeg = 1;
  CVQCMCLib* pLib = CVQCMCLib::GetInstance();
  const VQX_RESULT AddResult = pLib == nullptr ? VQX_RESULT_NOT_INITIALIZED : pLib->LegIdAdd(mun32LegId, this);
  if (VQX_RESULT_FAILED(AddResult)) {
    LogTrace(VQERR, "Failed to insert leg into CVQCMCLib hash by LegId. LegId 0x%08X, Result 0x%08X", mun32LegId,
             AddResult);
  } else {
    mfRegistered = 1;
  }
  mfValidCallCtx = 1;
}

CVQCMCLeg::CVQCMCLeg(unsigned int un32LegId, CVQCAFPtr<CVQCMC_CALL_LEG_ATTRIBUTE_COMMON> pAttributes,
                     IVQCMCFreeListener<CVQCMCLeg>* pFreeListener, _VQCMC_MSG_CALL_LEG_STATE State,
                     unsigned int un32SerialisationId, CVQCAFMutex* pMutex)
    : CVQCAFLogTrace(VQCAF_SUBMODULE_CALL) {
  Construct(un32LegId, pAttributes, pFreeListener, State, un32SerialisationId, pMutex, &mLibParams);
  // The registry entry first: an id another object represents is refused before its
  // core-library leg is pointed at this object.
  CVQCMCLib* pLib = CVQCMCLib::GetInstance();
  const VQX_RESULT AddResult = pLib == nullptr ? VQX_RESULT_NOT_INITIALIZED : pLib->LegIdAdd(mun32LegId, this);
  if (VQX_RESULT_FAILED(AddResult)) {
    LogTrace(VQERR, "Failed to insert leg into CVQCMCLib hash by LegId. LegId 0x%08X, Result 0x%08X", mun32LegId,
             AddResult);
    mun32InvalidResult = AddResult;
    return;
  }
  mfRegistered = 1;
  const VQX_RESULT Result = VQCmcLibLegModify(VqCmcLiveLibHandle(), &mLibParams);
  if (VQX_RESULT_FAILED(Result)) {
    LogFailure("CVQCMCLeg", "VQCmcLibLegModify Failed.", 0, Result, __LINE__);
    pLib->LegIdRemove(mun32LegId);
    mfRegistered = 0;
    mun32InvalidResult = Result;
    return;
  }
  mfOwnsLibLeg = 1;
  mfValidCallCtx = 1;
}

CVQCMCLeg::~CVQCMCLeg() {
  LogStillJoined();
  SetUnjoined(nullptr);
  mRequests.Clear();
  if (mfRegistered != 0) {
    CVQCMCLib* pLib = CVQCMCLib::GetInstance();
    const VQX_RESULT Result = pLib == nullptr ? VQX_RESULT_NOT_INITIALIZED : pLib->LegIdRemove(mun32LegId);
    if (VQX_RESULT_FAILED(Result)) {
      LogTrace(VQERR, "Failed to remove leg from CVQCMCLib hash by LegId. LegId 0x%08X, Result 0x%08X", mun32LegId,
               Result);
    }
  }
  if (mun32LegId != 0 && mfValidCallCtx != 0 && mfOwnsLibLeg != 0) {
    VQCmcLibLegDestroy(VqCmcLiveLibHandle(), mun32LegId);
  }
  mun32LegId = 0;
}

/* ------------------------------------------------------------ queries */

u32 CVQCMCLeg::IsPlayingStream(unsigned char un8Index, unsigned int* pfPaused) const {
  const bool fKnown = un8Index < VQCMC_LEG_NB_STREAMS;
  const u32 fInProgress = fKnown && maun32StreamsInProgress[un8Index] != 0 ? 1u : 0u;
  if (pfPaused != nullptr) *pfPaused = fInProgress != 0 && maun8StreamPaused[un8Index] == 0 ? 0u : 1u;
  return fInProgress;
}

/* ------------------------------------------------------------ dispatch */

VQX_RESULT CVQCMCLeg::HandleMessage(VQX_MSG_HANDLE* phMsg) {
  if (phMsg == nullptr || *phMsg == nullptr) return VQX_RESULT_NULL_PARAM;
  VQX_MSG_HANDLE hMsg = *phMsg;
  *phMsg = nullptr;
  const u32 un32Id = hMsg->un32MsgId;
  const u32 un32Kind = hMsg->MsgType;
  VQX_RESULT Result = VQX_RESULT_OK;
  {
    CVQCAFMutexAutoGetGive Lock(mpMutex);
    mun32Dispatching++;  // a free asked for by a callback waits for the end of this message
    if (un32Kind == VQCMC_MSG_KIND_COMMAND) {
      Result = VQX_RESULT_INVALID_MESSAGE;
    } else if (un32Kind == VQCMC_MSG_KIND_RESPONSE && VqCmcDropStrayResponse(*this, "CVQCMCLeg", mRequests, hMsg)) {
      // Answered already, or never asked: released below, heard by no one.
    } else if (un32Kind == VQCMC_MSG_KIND_RESPONSE || un32Kind == VQCMC_MSG_KIND_NOTIFICATION) {
      if (un32Kind == VQCMC_MSG_KIND_RESPONSE) UpdateMappingId(hMsg);
      const PFN_HANDLER pfnHandler =
          FindHandler(un32Kind == VQCMC_MSG_KIND_RESPONSE ? s_aResponseRows : s_aNotificationRows, un32Id);
      // An id without a handler stays with the leg: released below, never handed on under this mutex.
      Result = pfnHandler == nullptr ? VQX_RESULT_INVALID_MESSAGE : (this->*pfnHandler)(&hMsg);
    }
    mun32Dispatching--;
  }
  VqCmcLegReleaseMsg(&hMsg);
  if (VQX_RESULT_FAILED(Result)) LogFailure("HandleMessage", "Could not handle message", un32Id, Result, __LINE__);
  CheckFreeLeg();
  return VQX_RESULT_FAILED(Result) ? Result : VQX_RESULT_OK;
}

void CVQCMCLeg::UpdateMappingId(VQX_MSG_HANDLE hMsg) {
  const _VQCMC_MSG_HEAD* pHead = reinterpret_cast<const _VQCMC_MSG_HEAD*>(VQXMsgPayload(hMsg));
  if (mpAttributes.IsNull() ||
      VQX_RESULT_FAILED(VqCmcCheckRecord(hMsg, pHead, offsetof(_VQCMC_MSG_HEAD, un32MappingId) + sizeof(u32)))) {
    return;
  }
  const u32 un32New = pHead->un32MappingId;
  if (un32New == 0) return;
  u32& un32Mapping = mpAttributes->GetMappingId();
  if (un32Mapping != 0 && un32Mapping != un32New) {
    LogTrace(VQERR, "CVQCMCLeg::HandleMessage: Error, mappingId appears to have changed from 0x%08X to 0x%08X!\n",
             un32Mapping, un32New);
  }
  un32Mapping = un32New;
  mpAttributes->GetAttrLegId() = mun32LegId;
}

/* ------------------------------------------------------------ requests and errors */

VQX_RESULT CVQCMCLeg::LibraryRefusal(const char* pszOperation) {
  return VqCmcLibraryRefusal(*this, "CVQCMCLeg", pszOperation);
}

VQX_RESULT CVQCMCLeg::HandleRequest(VQX_MSG_HANDLE hMsg, IVQCMCErrorListener* pListener) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  const char* pszStep = "";
  const VQX_RESULT Result = mRequests.Remember(hMsg, pListener, &pszStep);
  if (VQX_RESULT_FAILED(Result)) LogFailure("HandleRequest", pszStep, 0, Result, __LINE__);
  return Result;
}

void CVQCMCLeg::ForgetRequest(u32 un32Serial) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  mRequests.Forget(un32Serial);
}

void CVQCMCLeg::FailPendingRequests(VQX_RESULT Result, const char* pszText) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  mRequests.TakeAll([&](u32 un32MsgId, IVQCMCErrorListener* pListener) {
    if (pListener == nullptr) return;
    CVQCMCLegError Error;
    VqCmcLegErrorFill(Error, Result, pszText, __FILE__, __LINE__, un32MsgId);
    HandleCmcError(Error, pListener);
  });
}

VQX_RESULT CVQCMCLeg::HandleResponse(VQX_MSG_HANDLE hMsg, unsigned int fHandled, unsigned int un32Result,
                                     const char* pszText) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  IVQCMCErrorListener* pListener = mRequests.Take(hMsg);
  if (fHandled == 0 && static_cast<i32>(un32Result) < 0 && pListener != nullptr) {
    CVQCMCLegError Error;
    VqCmcLegErrorFill(Error, un32Result, pszText, __FILE__, __LINE__, hMsg == nullptr ? 0 : hMsg->un32MsgId);
    HandleCmcError(Error, pListener);
  }
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCLeg::HandleCmcError(CVQCMCLegError& Error, IVQCMCErrorListener* pListener) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  unsigned int fHandled = 0;
  if (pListener != nullptr) {
    pListener->OnCmcLegError(&fHandled, Error);
    if (fHandled != 0) return VQX_RESULT_OK;
  }
  OnLegError(Error);
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCLeg::ReportFailure(const char* pszOperation, const char* pszErrorText, const char* pszStep,
                                    VQX_RESULT Result, IVQCMCErrorListener* pListener, int nLine,
                                    const char* pszFile) {
  CVQCMCLegError Error(Result, pszErrorText, VqxFileNameFromPath(pszFile), static_cast<u32>(nLine));
  HandleCmcError(Error, pListener);
  LogFailure(pszOperation, pszStep, 0, Result, nLine, pszFile);
  return Result;
}

VQX_RESULT CVQCMCLeg::LegError(CVQCMCLegError* pError, IVQCMCErrorListener* pListener) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  if (mfBeingFreed != 0) return VQX_RESULT_INVALID_STATE;
  if (pError == nullptr) return VQX_RESULT_NULL_PARAM;
  CVQCMCLegErrorEvent* pEvent = new CVQCMCLegErrorEvent(pError);
  CVQCMCLib* pLib = CVQCMCLib::GetInstance();
  const VQX_RESULT Result =
      pLib == nullptr ? VQX_RESULT_INVALID_OPERATION : pLib->SendEvent(mun32LegId, pEvent, 0);
  if (VQX_RESULT_SUCCEEDED(Result)) return VQX_RESULT_OK;
  delete pEvent;  // never posted: nobody else will delete it
  return ReportFailure("LegError", "CVQCMCLeg::LegError Failed", "SendEvent Failed!", Result, pListener, __LINE__);
}

VQX_RESULT CVQCMCLeg::HandleLegEvent(void* pvEvent, unsigned char* pfSkip) {
  {
    CVQCAFMutexAutoGetGive Lock(mpMutex);
    mun32Dispatching++;
    IVQCMCEvent* pEvent = static_cast<IVQCMCEvent*>(pvEvent);
    if ((pfSkip == nullptr || *pfSkip == 0) && pEvent != nullptr) {
      CVQCMCLegErrorEvent* pErrorEvent =
          pEvent->GetType() == VQCMC_EVENT_TYPE_ERROR ? dynamic_cast<CVQCMCLegErrorEvent*>(pEvent) : nullptr;
      if (pErrorEvent != nullptr) {
        CVQCMCLegErrorEvent Copy(*pErrorEvent);
        delete pErrorEvent;
        OnLegError(Copy);
      } else {
        // Every other type, 2 included, is the application's own event.
        OnLegEvent(pEvent);
      }
    }
    mun32Dispatching--;
  }
  CheckFreeLeg();
  return VQX_RESULT_OK;
}

/* ------------------------------------------------------------ free protocol */

VQX_RESULT CVQCMCLeg::FreeLeg() {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  if (IsJoined(nullptr, nullptr, nullptr) != 0) {
    LogTrace(VQERR, "CVQCMCLeg::FreeLeg: leg is still joined with an other leg\n");
  }
  mfBeingFreed = 1;
  return VQX_RESULT_OK;
}

void CVQCMCLeg::SetFreeListener(IVQCMCFreeListener<CVQCMCLeg>* pListener) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  mpFreeListener = pListener;
}

VQX_RESULT CVQCMCLeg::CheckFreeLeg() {
  IVQCMCFreeListener<CVQCMCLeg>* pListener = nullptr;
  {
    CVQCAFMutexAutoGetGive Lock(mpMutex);
    if (mpFreeListener == nullptr || mfBeingFreed == 0) return VQX_RESULT_OK;
    pListener = mpFreeListener;
  }
  mCallPins.CloseForFree();  // a peer's thread calling into this leg finishes first
  const VQX_RESULT Result = pListener->Free(this);
  if (VQX_RESULT_FAILED(Result)) LogFailure("CheckFreeLeg", "Could not free leg", 0, Result, __LINE__);
  return Result;
}

VQX_RESULT CVQCMCLeg::Free(CVQCMCLeg* pLeg) {
  delete pLeg;
  return VQX_RESULT_OK;
}

/* ------------------------------------------------------------ serialisation */

VQX_RESULT CVQCMCLeg::ReSerialize(CVQCAFMutex* pMutex, unsigned int un32SerialisationId) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  mpMutex = pMutex;
  if (mfValidCallCtx == 0) return VQX_RESULT_OK;
  _VQCMC_LIB_LEG_PARAMS Params{};
  VQX_RESULT Result = VQCmcLibLegFind(VqCmcLiveLibHandle(), mun32LegId, &Params);
  if (VQX_RESULT_FAILED(Result)) {
    LogFailure("ReSerialize", "Failed to find current leg context in cmclib.", 0, Result, __LINE__);
    return Result;
  }
  if (Params.un32SerialisationId == un32SerialisationId) return VQX_RESULT_OK;
  Params.un32SerialisationId = un32SerialisationId;
  Result = VQCmcLibLegModify(VqCmcLiveLibHandle(), &Params);
  if (VQX_RESULT_FAILED(Result)) {
    LogFailure("ReSerialize", "VQCmcLibLegModify Failed.", 0, Result, __LINE__);
    return Result;
  }
  mLibParams.un32SerialisationId = un32SerialisationId;
  return VQX_RESULT_OK;
}

/* ------------------------------------------------------------ log */

void CVQCMCLeg::LogTrace(_VQX_TRACE_LEVEL Level, const char* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  LogTrace(Level, pszFormat, args);
  va_end(args);
}

void CVQCMCLeg::LogTrace(_VQX_TRACE_LEVEL Level, const char* pszFormat, _VQX_VA_LIST& args) {
  LogTrace(Level, nullptr, 0, pszFormat, args);
}

void CVQCMCLeg::LogTrace(_VQX_TRACE_LEVEL Level, char** apszPrefix, u32 un32Count, const char* pszFormat,
                         _VQX_VA_LIST& args) {
  if (static_cast<u32>(GetSubModTraceLevel(mSubModId)) > static_cast<u32>(Level)) return;
  CVQCAFLogTrace::LogTrace(Level, apszPrefix, un32Count, pszFormat, args);
}

/* ------------------------------------------------------------ core library callbacks */

void VQCmcHandleLegCb(VQCMC_LIB_HANDLE, void* pvLeg, VQX_MSG_HANDLE* phMsg) {
  if (pvLeg != nullptr) static_cast<CVQCMCLeg*>(pvLeg)->HandleMessage(phMsg);
}

void VQCmcHandleEventCb(VQCMC_LIB_HANDLE, void* pvLeg, u64 un64Event, u8* pfCancelled) {
  if (pvLeg != nullptr) static_cast<CVQCMCLeg*>(pvLeg)->HandleLegEvent(VqCmcEventFromKey(un64Event), pfCancelled);
}

}  // namespace VQCAF
