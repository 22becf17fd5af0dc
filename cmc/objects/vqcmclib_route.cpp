/*
 * vqcmclib_route.cpp - how the core library reaches CVQCMCLib: the default
 * and log callbacks, the library-wide dispatcher HandleMessage, the leg-id
 * and mixer-id registries, and the events posted to legs and mixers.
 * Callbacks run on the core library's job threads with its lock released;
 * HandleMessage holds mpMsgMutex for the whole handler, a registry call
 * holds mpIdMutex for the one hash call.
 */
#include <cstdio>

#include "vqcaflog.h"
#include "vqcafmutex.h"
#include "vqcmclib.h"
#include "vqx_string.h"

namespace VQCAF {

namespace {

/* The library-wide messages and their handlers; any other id is refused. */
struct NotifRoute {
  u32 un32Id;
  VQX_RESULT (CVQCMCLib::*pfnHandler)(VQX_MSG_HANDLE*);
};

}  // namespace

VQX_RESULT CVQCMCLib::HandleMessage(VQX_MSG_HANDLE* phMsg) {
  if (phMsg == nullptr || *phMsg == nullptr) return VQX_RESULT_NULL_PARAM;
  static const NotifRoute kRoutes[] = {
      {0x0A010011u, &CVQCMCLib::HandleCallLegPresent}, {0x0A010016u, &CVQCMCLib::HandleCallLegFailure},
      {0x0A020001u, &CVQCMCLib::HandleCmcLibReady},    {0x0A020002u, &CVQCMCLib::HandleCmcLibNotReady},
      {0x0A020003u, &CVQCMCLib::HandleLegSync},        {0x0A020005u, &CVQCMCLib::HandleLinkSync},
      {0x0A020008u, &CVQCMCLib::HandleMixerSync},      {0x0A02000Cu, &CVQCMCLib::HandleMixerLinkSync},
  };
  const u32 un32Id = (*phMsg)->un32MsgId;
  CVQCAFMutexAutoGetGive Lock(mpMsgMutex);
  VQX_RESULT Result = VQX_RESULT_INVALID_MESSAGE;
  for (const NotifRoute& Route : kRoutes) {
    if (Route.un32Id == un32Id) {
      Result = (this->*Route.pfnHandler)(phMsg);
      break;
    }
  }
  if (VQX_RESULT_FAILED(Result)) Fail("CVQCMCLib::HandleMessage", "Could not handle message", un32Id, Result, __LINE__);
  // The message is taken on every path: what a handler left is given back here, once.
  ReleaseMsg(phMsg);
  return VQX_RESULT_FAILED(Result) ? Result : VQX_RESULT_OK;
}

void CVQCMCLib::ReleaseMsg(VQX_MSG_HANDLE* phMsg) {
  if (*phMsg == nullptr) return;
  if (mhCmcLib != nullptr) {
    VQCmcLibMsgRelease(mhCmcLib, phMsg);
  } else if (mhHostLib != nullptr) {
    VQXReleaseMsgDbg(mhHostLib, phMsg, __FILE__, __LINE__);
  }
  *phMsg = nullptr;
}

/* ------------------------------------------------------------------ registries */

VQX_RESULT CVQCMCLib::RegistryAdd(HVQXHASH hHash, u32 un32Id, const void* pvObject) {
  if (hHash == nullptr) return VQX_RESULT_NOT_INITIALIZED;
  if (pvObject == nullptr) return VQX_RESULT_INVALID_PARAM;
  CVQCAFMutexAutoGetGive Lock(mpIdMutex);
  return VQXHashInsert(hHash, un32Id, reinterpret_cast<uintptr_t>(pvObject));
}

void* CVQCMCLib::RegistryFind(HVQXHASH hHash, u32 un32Id) {
  if (hHash == nullptr) return nullptr;
  u64 un64Value = 0;
  CVQCAFMutexAutoGetGive Lock(mpIdMutex);
  if (VQX_RESULT_FAILED(VQXHashFind(hHash, un32Id, &un64Value))) return nullptr;
  return reinterpret_cast<void*>(static_cast<uintptr_t>(un64Value));
}

VQX_RESULT CVQCMCLib::RegistryRemove(HVQXHASH hHash, u32 un32Id) {
  if (hHash == nullptr) return VQX_RESULT_NOT_INITIALIZED;
  CVQCAFMutexAutoGetGive Lock(mpIdMutex);
  return VQXHashRemove(hHash, un32Id, nullptr);
}

VQX_RESULT CVQCMCLib::LegIdAdd(u32 un32LegId, CVQCMCLeg* pLeg) { return RegistryAdd(mhHashOfLegId, un32LegId, pLeg); }
CVQCMCLeg* CVQCMCLib::LegIdFind(u32 un32LegId) { return static_cast<CVQCMCLeg*>(RegistryFind(mhHashOfLegId, un32LegId)); }
VQX_RESULT CVQCMCLib::LegIdRemove(u32 un32LegId) { return RegistryRemove(mhHashOfLegId, un32LegId); }
VQX_RESULT CVQCMCLib::MixerIdAdd(u32 un32MixerId, CVQCMCMixer* pMixer) {
  return RegistryAdd(mhHashOfMixerId, un32MixerId, pMixer);
}
CVQCMCMixer* CVQCMCLib::MixerIdFind(u32 un32MixerId) {
  return static_cast<CVQCMCMixer*>(RegistryFind(mhHashOfMixerId, un32MixerId));
}
VQX_RESULT CVQCMCLib::MixerIdRemove(u32 un32MixerId) { return RegistryRemove(mhHashOfMixerId, un32MixerId); }
void CVQCMCLib::LegIdLock() { CVQCAFMutexGetPrivate(mpIdMutex, __FILE__, __LINE__); }
void CVQCMCLib::LegIdUnlock() { CVQCAFMutexGivPrivate(mpIdMutex, __FILE__, __LINE__); }

/* ------------------------------------------------------------------ events */

VQX_RESULT CVQCMCLib::SendEvent(u32 un32EntityId, IVQCMCEvent* pEvent, u32 un32DelayMs) {
  if (mhCmcLib == nullptr) return VQX_RESULT_INVALID_OPERATION;
  // A stopped core library drops its jobs: the event would never come back, nor be deleted.
  if (mfDetached.load(std::memory_order_acquire) != 0) return VQX_RESULT_NOT_INITIALIZED;
  const VQX_RESULT Result = VQCmcLibEntityEvent(mhCmcLib, un32EntityId, VqCmcEventKey(pEvent), un32DelayMs);
  return VQX_RESULT_FAILED(Result) ? Result : VQX_RESULT_OK;
}

VQX_RESULT CVQCMCLib::CancelEvent(u32 un32EntityId, IVQCMCEvent* pEvent) {
  if (mhCmcLib == nullptr) {
    return Fail("CVQCMCLib::CancelEvent", "Must attach first", 0, VQX_RESULT_INVALID_OPERATION, __LINE__);
  }
  const VQX_RESULT Result = VQCmcLibEntityEventCancel(mhCmcLib, un32EntityId, VqCmcEventKey(pEvent));
  return VQX_RESULT_FAILED(Result) ? Result : VQX_RESULT_OK;
}

/* ------------------------------------------------------------------ callbacks */

void VQCmcHandleDefaultCb(VQCMC_LIB_HANDLE, void*, VQX_MSG_HANDLE* phMsg) {
  // Without an instance the message stays in *phMsg and the core library releases it.
  if (CVQCMCLib* pLib = CVQCMCLib::GetInstance()) pLib->HandleMessage(phMsg);
}

void VQCmcLogTraceCb(void* pvContext, u32, u32 un32Level, const char* pszFormat, va_list Args) {
  if (pvContext == nullptr || pszFormat == nullptr) return;
  CVQCAFLogTrace* pLog = static_cast<CVQCAFLogTrace*>(pvContext);
  if (static_cast<u32>(GetSubModTraceLevel(pLog->GetLogSubModId())) > un32Level) return;
  va_list Copy;
  va_copy(Copy, Args);
  pLog->LogTrace(static_cast<_VQX_TRACE_LEVEL>(un32Level), pszFormat, Copy);
  va_end(Copy);
}

}  // namespace VQCAF
