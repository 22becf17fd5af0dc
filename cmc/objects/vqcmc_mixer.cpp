/*
 * CVQCMCMixer: construction and destruction, the dispatch of received
 * messages (one table of kind, id -> handler), the request/response/error
 * routing with the pending-listener table, posted events, the free protocol,
 * the change of serialisation and the mixer's log; the core library's
 * callbacks VQCmcHandleMixerCb and VQCmcHandleMixerEventCb.
 */
#include "vqcmc_mixer.h"

#include <cstdarg>
#include <cstdint>
#include <cstring>

#include "vqcaflog.h"
#include "vqcmc_leg_internal.h"
#include "vqx_string.h"

namespace VQCAF {

/* ------------------------------------------------------------ dispatch table */

/* Responses (kind 2) and notifications (kind 4) the mixer handles; every other
 * id stays with the mixer and is released here, never handed on under its mutex. */
const CVQCMCMixer::HandlerRow CVQCMCMixer::s_aRows[] = {
    {VQCMC_MSG_KIND_RESPONSE, VQCMC_MSG_CMD_MIXER_CREATE, &CVQCMCMixer::HandleMixerCreateResponse},
    {VQCMC_MSG_KIND_RESPONSE, VQCMC_MSG_CMD_MIXER_TERMINATE, &CVQCMCMixer::HandleMixerTerminateResponse},
    {VQCMC_MSG_KIND_RESPONSE, VQCMC_MSG_CMD_MIXER_SET_ATTRIBUTE, &CVQCMCMixer::HandleMixerSetAttributeResponse},
    {VQCMC_MSG_KIND_RESPONSE, VQCMC_MSG_CMD_PLAY, &CVQCMCMixer::HandlePlayStreamResponse},
    {VQCMC_MSG_KIND_RESPONSE, VQCMC_MSG_CMD_RECORD, &CVQCMCMixer::HandleRecordStreamResponse},
    {VQCMC_MSG_KIND_RESPONSE, VQCMC_MSG_CMD_PAUSE, &CVQCMCMixer::HandlePauseStreamResponse},
    {VQCMC_MSG_KIND_RESPONSE, VQCMC_MSG_CMD_RESUME, &CVQCMCMixer::HandleResumeStreamResponse},
    {VQCMC_MSG_KIND_RESPONSE, VQCMC_MSG_CMD_STOP, &CVQCMCMixer::HandleStopStreamResponse},
    {VQCMC_MSG_KIND_RESPONSE, VQCMC_MSG_CMD_MIXER_LEG_JOIN, &CVQCMCMixer::HandleMixerLegJoinResponse},
    {VQCMC_MSG_KIND_RESPONSE, VQCMC_MSG_CMD_MIXER_MIXER_JOIN, &CVQCMCMixer::HandleMixerMixerJoinResponse},
    {VQCMC_MSG_KIND_RESPONSE, VQCMC_MSG_CMD_MIXER_LEG_UNJOIN, &CVQCMCMixer::HandleMixerLegUnjoinResponse},
    {VQCMC_MSG_KIND_RESPONSE, VQCMC_MSG_CMD_MIXER_MIXER_UNJOIN, &CVQCMCMixer::HandleMixerMixerUnjoinResponse},
    {VQCMC_MSG_KIND_NOTIFICATION, VQCMC_MSG_NOTIF_PLAYING_STARTED, &CVQCMCMixer::HandleStreamPlayingStarted},
    {VQCMC_MSG_KIND_NOTIFICATION, VQCMC_MSG_NOTIF_PLAYING_DONE, &CVQCMCMixer::HandleStreamPlayingDone},
    {VQCMC_MSG_KIND_NOTIFICATION, VQCMC_MSG_NOTIF_MIXER_LEG_JOIN_DONE, &CVQCMCMixer::HandleMixerLegJoinDone},
    {VQCMC_MSG_KIND_NOTIFICATION, VQCMC_MSG_NOTIF_MIXER_MIXER_JOIN_DONE, &CVQCMCMixer::HandleMixerMixerJoinDone},
    {VQCMC_MSG_KIND_NOTIFICATION, VQCMC_MSG_NOTIF_MIXER_LEG_UNJOIN_DONE, &CVQCMCMixer::HandleMixerLegUnjoinDone},
    {VQCMC_MSG_KIND_NOTIFICATION, VQCMC_MSG_NOTIF_MIXER_MIXER_UNJOIN_DONE, &CVQCMCMixer::HandleMixerMixerUnjoinDone},
    {VQCMC_MSG_KIND_NOTIFICATION, VQCMC_MSG_NOTIF_MIXER_CREATED, &CVQCMCMixer::HandleMixerCreated},
    {VQCMC_MSG_KIND_NOTIFICATION, VQCMC_MSG_NOTIF_MIXER_TERMINATED, &CVQCMCMixer::HandleMixerTerminated},
    {VQCMC_MSG_KIND_NOTIFICATION, VQCMC_MSG_NOTIF_MIXER_ATTRIBUTE_CHANGED, &CVQCMCMixer::HandleMixerAttributeChanged},
    {VQCMC_MSG_KIND_NOTIFICATION, VQCMC_MSG_NOTIF_MIXER_ERROR, &CVQCMCMixer::HandleMixerError},
    {VQCMC_MSG_KIND_NOTIFICATION, VQCMC_LIB_MSG_NOTIF_MIXER_TERMINATED, &CVQCMCMixer::HandleMixerTerminated},
    {VQCMC_MSG_KIND_NOTIFICATION, VQCMC_LIB_MSG_NOTIF_MIXER_SYNC_DONE, &CVQCMCMixer::HandleMixerSyncDone},
    {VQCMC_MSG_KIND_NOTIFICATION, VQCMC_LIB_MSG_NOTIF_MIXER_SYNC_LOST, &CVQCMCMixer::HandleMixerSyncLost},
};

void CVQCMCMixer::LogFailure(const char* pszOperation, const char* pszText, u32 un32Detail, VQX_RESULT Result,
                             int nLine, const char* pszFile) {
  LogTrace(VQERR, "CVQCMCMixer::%s: %s (0x%08X) 0x%08X %s:%d\n", pszOperation, pszText, un32Detail, Result,
           VqxFileNameFromPath(pszFile), nLine);
}

/* ------------------------------------------------------------ construction */

void CVQCMCMixer::Construct(unsigned int un32MixerId, CVQCAFPtr<CVQCMC_MIXER_ATTRIBUTE>& pAttribute,
                            IVQCMCFreeListener<CVQCMCMixer>* pFreeListener, unsigned int un32SerialisationId,
                            CVQCAFMutex* pMutex, _VQCMC_LIB_MIXER_PARAMS* pParams) {
  mpMutex = pMutex;
  mun32MixerId = un32MixerId;
  mfSynchronized = 1;
  mpAttribute = pAttribute;
  mpFreeListener = pFreeListener;
  *pParams = _VQCMC_LIB_MIXER_PARAMS{};
  pParams->un32Kind = 2;
  pParams->EntityId = un32MixerId;
  pParams->un32SerialisationId = un32SerialisationId;
  pParams->pvUserContext = this;
  pParams->Callback.pFctCallback = VQCmcHandleMixerCb;
  pParams->Callback.pFctEventCallback = VQCmcHandleMixerEventCb;
  pParams->Callback.pvLegUserContext = this;
}

CVQCMCMixer::CVQCMCMixer(unsigned int un32MixerId, CVQCAFPtr<CVQCMC_MIXER_ATTRIBUTE> pAttribute,
                         IVQCMCFreeListener<CVQCMCMixer>* pFreeListener, unsigned int un32SerialisationId,
                         CVQCAFMutex* pMutex)
    : CVQCAFLogTrace(VQCAF_SUBMODULE_CALL) {
  Construct(un32MixerId, pAttribute, pFreeListener, un32SerialisationId, pMutex, &mLibParams);
  CVQCMCLib* pLib = CVQCMCLib::GetInstance();
  if (un32MixerId != 0) {
    // Adopting: the registry entry first, so that an id another object represents is refused
    // before its core-library mixer is pointed at this one.
    const VQX_RESULT AddResult = pLib == nullptr ? VQX_RESULT_NOT_INITIALIZED : pLib->MixerIdAdd(un32MixerId, this);
    if (VQX_RESULT_FAILED(AddResult)) {
      LogTrace(VQERR, "Failed to insert mixer into CVQCMCLib hash by MixerId. MixerId 0x%08X, Result 0x%08X",
               un32MixerId, AddResult);
      mun32InvalidResult = AddResult;
      return;
    }
    mfRegistered = 1;
    const VQX_RESULT Result = VQCmcLibMixerModify(VqCmcLiveLibHandle(), &mLibParams);
    if (VQX_RESULT_FAILED(Result)) {
      LogFailure("CVQCMCMixer", "VQCmcLibMixerModify Failed.", 0, Result, __LINE__);
      pLib->MixerIdRemove(un32MixerId);
      mfRegistered = 0;
      mun32InvalidResult = Result;
      return;
    }
    mfCreated = 1;
  } else {
    const VQX_RESULT Result = VQCmcLibMixerCreate(VqCmcLiveLibHandle(), &mLibParams);
    if (VQX_RESULT_FAILED(Result)) {
      LogFailure("CVQCMCMixer", "VQCmcLibMixerCreate Failed.", 0, Result, __LINE__);
      mun32InvalidResult = VqCmcCreateFailure(Result);
      return;
    }
    mun32MixerId = mLibParams.EntityId;
    const VQX_RESULT AddResult =
        pLib == nullptr ? VQX_RESULT_NOT_INITIALIZED : pLib->MixerIdAdd(mun32MixerId, this);
    if (VQX_RESULT_FAILED(AddResult)) {
      LogTrace(VQERR, "Failed to insert mixer into CVQCMCLib hash by MixerId. MixerId 0x%08X, Result 0x%08X",
               mun32MixerId, AddResult);
    } else {
      mfRegistered = 1;
    }
  }
  mfOwnsLibMixer = 1;
  mfValidMixerCtx = 1;
}

CVQCMCMixer::~CVQCMCMixer() {
  if (const u32 un32Legs = GetJoinedLegs(nullptr); un32Legs != 0) {
    LogTrace(VQERR, "CVQCMCMixer::~CVQCMCMixer: mixer is still joined to %u legs\n", un32Legs);
  }
  if (const u32 un32Mixers = GetJoinedMixers(nullptr); un32Mixers != 0) {
    LogTrace(VQERR, "CVQCMCMixer::~CVQCMCMixer: mixer is still joined to %u other mixers\n", un32Mixers);
  }
  MixerSetUnjoined(0u);  // no record keeps this mixer once it is gone
  if (mfRegistered != 0) {
    CVQCMCLib* pLib = CVQCMCLib::GetInstance();
    const VQX_RESULT Result = pLib == nullptr ? VQX_RESULT_NOT_INITIALIZED : pLib->MixerIdRemove(mun32MixerId);
    if (VQX_RESULT_FAILED(Result)) {
      LogTrace(VQERR, "Failed to remove mixer from CVQCMCLib hash by MixerId. MixerId 0x%08X, Result 0x%08X",
               mun32MixerId, Result);
    }
  }
  if (mun32MixerId != 0 && mfValidMixerCtx != 0 && mfOwnsLibMixer != 0) {
    VQCmcLibMixerDestroy(VqCmcLiveLibHandle(), mun32MixerId);
  }
  mun32MixerId = 0;
}

/* ------------------------------------------------------------ queries */

u32 CVQCMCMixer::IsPlayingStream(unsigned char un8Index, unsigned int* pfPaused) const {
  const bool fKnown = un8Index < VQCMC_MIXER_NB_PLAYS;
  const u32 fInProgress = fKnown && maun32PlaysInProgress[un8Index] != 0 ? 1u : 0u;
  if (pfPaused != nullptr) *pfPaused = fInProgress != 0 && maun8PlayPaused[un8Index] == 0 ? 0u : 1u;
  return fInProgress;
}

u32 CVQCMCMixer::IsRecordingStream(unsigned int* pfPaused) const {
  const u32 fInProgress = mun32RecordsInProgress != 0 ? 1u : 0u;
  if (pfPaused != nullptr) *pfPaused = fInProgress != 0 && mun8RecordPaused == 0 ? 0u : 1u;
  return fInProgress;
}

CVQCAFPtr<CVQCMC_MIXER_ATTRIBUTE> CVQCMCMixer::GetMixerAttributes() {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  return mpAttribute;
}

VQX_RESULT CVQCMCMixer::CopyMixer(VQX_MSG_HANDLE, _VQCMC_MIXER* pRecord) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  if (pRecord == nullptr || mpAttribute.IsNull()) return VQX_RESULT_NULL_PARAM;
  CopyMixerFrom(*mpAttribute, pRecord);
  return VQX_RESULT_OK;
}

/* ------------------------------------------------------------ dispatch */

VQX_RESULT CVQCMCMixer::HandleMessage(VQX_MSG_HANDLE* phMsg) {
  if (phMsg == nullptr || *phMsg == nullptr) return VQX_RESULT_NULL_PARAM;
  VQX_MSG_HANDLE hMsg = VqCmcTake(phMsg);
  const u32 un32Id = hMsg->un32MsgId;
  const u32 un32Kind = hMsg->MsgType;
  VQX_RESULT Result = VQX_RESULT_OK;
  {
    CVQCAFMutexAutoGetGive Lock(mpMutex);
    mun32Dispatching++;
    if (un32Kind == VQCMC_MSG_KIND_COMMAND) {
      Result = VQX_RESULT_INVALID_MESSAGE;
    } else if (un32Kind == VQCMC_MSG_KIND_RESPONSE && VqCmcDropStrayResponse(*this, "CVQCMCMixer", mRequests, hMsg)) {
      // Answered already, or never asked: released below, heard by no one.
    } else if (un32Kind == VQCMC_MSG_KIND_RESPONSE || un32Kind == VQCMC_MSG_KIND_NOTIFICATION) {
      if (un32Kind == VQCMC_MSG_KIND_RESPONSE) UpdateMappingId(hMsg);
      Result = VQX_RESULT_INVALID_MESSAGE;
      for (const HandlerRow& Row : s_aRows) {
        if (Row.un32Kind == un32Kind && Row.un32Id == un32Id) {
          Result = (this->*Row.pfnHandler)(&hMsg);
          break;
        }
      }
    }
    mun32Dispatching--;
  }
  VqCmcLegReleaseMsg(&hMsg);  // what no handler took
  if (VQX_RESULT_FAILED(Result)) LogFailure("HandleMessage", "Could not handle message", un32Id, Result, __LINE__);
  CheckFreeMixer();
  return Result;
}

void CVQCMCMixer::UpdateMappingId(VQX_MSG_HANDLE hMsg) {
  const _VQCMC_MSG_HEAD* pHead = reinterpret_cast<const _VQCMC_MSG_HEAD*>(VQXMsgPayload(hMsg));
  if (mpAttribute.IsNull() ||
      VQX_RESULT_FAILED(VqCmcCheckRecord(hMsg, pHead, offsetof(_VQCMC_MSG_HEAD, un32MappingId) + sizeof(u32)))) {
    return;
  }
  const u32 un32New = pHead->un32MappingId;
  if (un32New == 0) return;
  u32& un32Mapping = mpAttribute->GetMappingId();
  if (un32Mapping != 0 && un32Mapping != un32New) {
    LogTrace(VQERR, "CVQCMCMixer::HandleMessage: Error, mappingId appears to have changed from 0x%08X to 0x%08X!\n",
             un32Mapping, un32New);
  }
  un32Mapping = un32New;
}

/* ------------------------------------------------------------ requests and errors */

VQX_RESULT CVQCMCMixer::HandleRequest(VQX_MSG_HANDLE hMsg, IVQCMCErrorListener* pListener) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  const char* pszStep = "";
  const VQX_RESULT Result = mRequests.Remember(hMsg, pListener, &pszStep);
  if (VQX_RESULT_FAILED(Result)) LogFailure("HandleRequest", pszStep, 0, Result, __LINE__);
  return Result;
}

void CVQCMCMixer::ForgetRequest(u32 un32Serial) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  mRequests.Forget(un32Serial);
}

void CVQCMCMixer::FailPendingRequests(VQX_RESULT Result, const char* pszText) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  mRequests.TakeAll([&](u32 un32MsgId, IVQCMCErrorListener* pListener) {
    if (pListener == nullptr) return;
    CVQCMCMixerError Error(Result, pszText, VqxFileNameFromPath(__FILE__), __LINE__);
    Error.mun32MsgId = un32MsgId;
    HandleCmcError(Error, pListener);
  });
}

VQX_RESULT CVQCMCMixer::HandleResponse(VQX_MSG_HANDLE hMsg, unsigned int fHandled, unsigned int un32Result,
                                       const char* pszText) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  IVQCMCErrorListener* pListener = mRequests.Take(hMsg);
  if (fHandled == 0 && static_cast<i32>(un32Result) < 0 && pListener != nullptr) {
    CVQCMCMixerError Error(un32Result, pszText, VqxFileNameFromPath(__FILE__), __LINE__);
    Error.mun32MsgId = hMsg == nullptr ? 0 : hMsg->un32MsgId;
    HandleCmcError(Error, pListener);
  }
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCMixer::HandleCmcError(CVQCMCMixerError& Error, IVQCMCErrorListener* pListener) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  unsigned int fHandled = 0;
  if (pListener != nullptr) {
    pListener->OnCmcMixerError(&fHandled, Error);
    if (fHandled != 0) return VQX_RESULT_OK;
  }
  OnMixerError(Error);
  return VQX_RESULT_OK;
}

VQX_RESULT CVQCMCMixer::HandleMixerEvent(void* pvEvent, unsigned char* pfSkip) {
  {
    CVQCAFMutexAutoGetGive Lock(mpMutex);
    mun32Dispatching++;
    IVQCMCEvent* pEvent = static_cast<IVQCMCEvent*>(pvEvent);
    if ((pfSkip == nullptr || *pfSkip == 0) && pEvent != nullptr) {
      CVQCMCMixerErrorEvent* pErrorEvent =
          pEvent->GetType() == VQCMC_EVENT_TYPE_ERROR ? dynamic_cast<CVQCMCMixerErrorEvent*>(pEvent) : nullptr;
      if (pErrorEvent != nullptr) {
        CVQCMCMixerErrorEvent Copy(*pErrorEvent);
        delete pErrorEvent;
        OnMixerError(Copy);
      } else {
        // Every other type, 2 included, is the application's own event.
        OnMixerEvent(pEvent);
      }
    }
    mun32Dispatching--;
  }
  CheckFreeMixer();
  return VQX_RESULT_OK;
}

/* ------------------------------------------------------------ free protocol */

VQX_RESULT CVQCMCMixer::FreeMixer() {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  if (GetJoinedLegs(nullptr) != 0) LogTrace(VQERR, "CVQCMCMixer::FreeMixer: mixer is still joined with other legs\n");
  if (GetJoinedMixers(nullptr) != 0) {
    LogTrace(VQERR, "CVQCMCMixer::FreeMixer: mixer is still joined with other mixers\n");
  }
  mfBeingFreed = 1;
  return VQX_RESULT_OK;
}

void CVQCMCMixer::SetFreeListener(IVQCMCFreeListener<CVQCMCMixer>* pListener) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  mpFreeListener = pListener;
}

VQX_RESULT CVQCMCMixer::CheckFreeMixer() {
  IVQCMCFreeListener<CVQCMCMixer>* pListener = nullptr;
  {
    CVQCAFMutexAutoGetGive Lock(mpMutex);
    if (mpFreeListener == nullptr || mfBeingFreed == 0) return VQX_RESULT_OK;
    pListener = mpFreeListener;
  }
  mCallPins.CloseForFree();  // a peer's thread calling into this mixer finishes first
  const VQX_RESULT Result = pListener->Free(this);
  if (VQX_RESULT_FAILED(Result)) LogFailure("CheckFreeMixer", "Could not free mixer", 0, Result, __LINE__);
  return Result;
}

VQX_RESULT CVQCMCMixer::Free(CVQCMCMixer* pMixer) {
  delete pMixer;
  return VQX_RESULT_OK;
}

/* ------------------------------------------------------------ serialisation */

VQX_RESULT CVQCMCMixer::ReSerialize(CVQCAFMutex* pMutex, unsigned int un32SerialisationId) {
  CVQCAFMutexAutoGetGive Lock(mpMutex);
  mpMutex = pMutex;
  if (mfValidMixerCtx == 0) return VQX_RESULT_OK;
  _VQCMC_LIB_MIXER_PARAMS Params{};
  VQX_RESULT Result = VQCmcLibMixerFind(VqCmcLiveLibHandle(), mun32MixerId, &Params);
  if (VQX_RESULT_FAILED(Result)) {
    LogFailure("ReSerialize", "Failed to find current mixer context in cmclib.", 0, Result, __LINE__);
    return Result;
  }
  if (Params.un32SerialisationId == un32SerialisationId) return VQX_RESULT_OK;
  Params.un32SerialisationId = un32SerialisationId;
  Result = VQCmcLibMixerModify(VqCmcLiveLibHandle(), &Params);
  if (VQX_RESULT_FAILED(Result)) {
    LogFailure("ReSerialize", "VQCmcLibMixerModify Failed.", 0, Result, __LINE__);
    return Result;
  }
  mLibParams.un32SerialisationId = un32SerialisationId;
  return VQX_RESULT_OK;
}

/* ------------------------------------------------------------ log */

void CVQCMCMixer::LogTrace(_VQX_TRACE_LEVEL Level, const char* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  LogTrace(Level, pszFormat, args);
  va_end(args);
}

void CVQCMCMixer::LogTrace(_VQX_TRACE_LEVEL Level, const char* pszFormat, _VQX_VA_LIST& args) {
  LogTrace(Level, nullptr, 0, pszFormat, args);
}

void CVQCMCMixer::LogTrace(_VQX_TRACE_LEVEL Level, char** apszPrefix, u32 un32Count, const char* pszFormat,
                           _VQX_VA_LIST& args) {
  if (static_cast<u32>(GetSubModTraceLevel(mSubModId)) > static_cast<u32>(Level)) return;
  CVQCAFLogTrace::LogTrace(Level, apszPrefix, un32Count, pszFormat, args);
}

/* ------------------------------------------------------------ core library callbacks */

void VQCmcHandleMixerCb(VQCMC_LIB_HANDLE, void* pvMixer, VQX_MSG_HANDLE* phMsg) {
  if (pvMixer != nullptr) static_cast<CVQCMCMixer*>(pvMixer)->HandleMessage(phMsg);
}

void VQCmcHandleMixerEventCb(VQCMC_LIB_HANDLE, void* pvMixer, u64 un64Event, u8* pfCancelled) {
  if (pvMixer != nullptr) {
    static_cast<CVQCMCMixer*>(pvMixer)->HandleMixerEvent(VqCmcEventFromKey(un64Event), pfCancelled);
  }
}

}  // namespace VQCAF
